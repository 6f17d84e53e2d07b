// Data transfers (bulk, interrupt, isochronous) and the pipe requests that act on them: their
// checks, how their bytes move, and what their URB says once they end.

#include "core/bus_core.h"

namespace sim::core {

namespace {

template <typename T> T Min(T a, T b) {
    return a < b ? a : b;
}

void CopyBytes(std::uint8_t* to, const std::uint8_t* from, std::uint32_t count) {
    for (std::uint32_t i = 0; i < count; ++i)
        to[i] = from[i];
}

} // namespace

// --- Validation -------------------------------------------------------------------------------

SubmitOutcome BusCore::BulkOrInterrupt(Request& r) {
    auto& request = r.Urb->UrbBulkOrInterruptTransfer;
    Pipe* pipe = r.Link.FindPipe(request.PipeHandle);
    if (pipe == nullptr)
        return Refuse(r, USBD_STATUS_INVALID_PIPE_HANDLE);
    const sim::EndpointKind kind = pipe->Endpoint.Kind;
    if (kind != sim::EndpointKind::Bulk && kind != sim::EndpointKind::Interrupt)
        return Refuse(r, USBD_STATUS_INVALID_PARAMETER);
    const bool in = (request.TransferFlags & USBD_TRANSFER_DIRECTION_IN) != 0;
    if (in != pipe->Endpoint.In())
        return Refuse(r, USBD_STATUS_INVALID_PARAMETER);
    // A pipe's MaximumTransferSize is the client's own business since the XP-era stack: the
    // bus does not refuse a transfer for it, only for a buffer its MDL cannot hold.
    std::uint8_t* data = nullptr;
    if (!ResolveBuffer(request.TransferBuffer, request.TransferBufferMDL,
                       request.TransferBufferLength, data))
        return Refuse(r, USBD_STATUS_INVALID_PARAMETER);

    const FaultRule* fault =
        r.Link.Owner->MatchFault(r.Urb->UrbHeader.Function, pipe->Endpoint.Address);
    if (fault != nullptr && fault->What == FaultRule::Kind::FailRequest)
        return Immediate(r, fault->UsbdStatus, fault->Status);
    Transfer* transfer = NewTransfer(r, TransferKind::BulkOrInterrupt, 0);
    if (transfer == nullptr)
        return Refuse(r, USBD_STATUS_INSUFFICIENT_RESOURCES);
    transfer->Endpoint = pipe->Endpoint.Address;
    transfer->PipeType = kind == sim::EndpointKind::Interrupt ? usbpcap::DataPipe::Interrupt
                                                              : usbpcap::DataPipe::Bulk;
    transfer->In = in;
    transfer->ShortOk = (request.TransferFlags & USBD_SHORT_TRANSFER_OK) != 0;
    transfer->Buffer = data;
    transfer->Length = request.TransferBufferLength;
    transfer->MaxPacket = pipe->Endpoint.MaxPacketSize != 0 ? pipe->Endpoint.MaxPacketSize : 1;
    transfer->ScheduleEndpoint = pipe->Schedule;
    return Prepared(r, transfer, fault);
}

SubmitOutcome BusCore::Isochronous(Request& r) {
    auto& request = r.Urb->UrbIsochronousTransfer;
    const std::uint32_t packets = request.NumberOfPackets;
    // Packets over the high-speed limit are refused before the header length is computed from
    // their count, so no count can make the check wrap.
    if (packets == 0 || packets > MaxIsoPackets || packets % MicroframesPerFrame != 0)
        return Refuse(r, USBD_STATUS_INVALID_PARAMETER);
    if (!r.LengthAtLeast(FIELD_OFFSET(_URB_ISOCH_TRANSFER, IsoPacket) +
                         std::size_t{packets} * sizeof(USBD_ISO_PACKET_DESCRIPTOR)))
        return Refuse(r, USBD_STATUS_INVALID_PARAMETER);
    Pipe* pipe = r.Link.FindPipe(request.PipeHandle);
    if (pipe == nullptr)
        return Refuse(r, USBD_STATUS_INVALID_PIPE_HANDLE);
    if (pipe->Endpoint.Kind != sim::EndpointKind::Isochronous)
        return Refuse(r, USBD_STATUS_INVALID_PARAMETER);
    const bool in = (request.TransferFlags & USBD_TRANSFER_DIRECTION_IN) != 0;
    if (in != pipe->Endpoint.In())
        return Refuse(r, USBD_STATUS_INVALID_PARAMETER);
    std::uint8_t* data = nullptr;
    if (request.TransferBufferLength == 0 ||
        !ResolveBuffer(request.TransferBuffer, request.TransferBufferMDL,
                       request.TransferBufferLength, data))
        return Refuse(r, USBD_STATUS_INVALID_PARAMETER);
    // Packet offsets: the first at 0 is not required, but each must start inside the buffer
    // and after the one before.
    for (std::uint32_t i = 0; i < packets; ++i) {
        const ULONG offset = request.IsoPacket[i].Offset;
        if (offset >= request.TransferBufferLength ||
            (i > 0 && offset <= request.IsoPacket[i - 1].Offset))
            return Refuse(r, USBD_STATUS_INVALID_PARAMETER);
    }
    if ((request.TransferFlags & USBD_START_ISO_TRANSFER_ASAP) == 0) {
        // An explicit start frame must lie ahead, but not more than 1024 frames. ASAP and
        // explicit starts are both served from the next microframe on.
        const std::uint64_t frame = Link.Microframe() / MicroframesPerFrame;
        const std::uint64_t start = request.StartFrame;
        if (start <= frame || start > frame + 1024)
            return Refuse(r, USBD_STATUS_BAD_START_FRAME);
    }

    const FaultRule* fault =
        r.Link.Owner->MatchFault(r.Urb->UrbHeader.Function, pipe->Endpoint.Address);
    if (fault != nullptr && fault->What == FaultRule::Kind::FailRequest)
        return Immediate(r, fault->UsbdStatus, fault->Status);
    Transfer* transfer = NewTransfer(r, TransferKind::Isochronous, packets);
    if (transfer == nullptr)
        return Refuse(r, USBD_STATUS_INSUFFICIENT_RESOURCES);
    transfer->Endpoint = pipe->Endpoint.Address;
    transfer->In = in;
    transfer->ShortOk = true;
    transfer->Buffer = data;
    transfer->Length = request.TransferBufferLength;
    transfer->ScheduleEndpoint = pipe->Schedule;
    request.ErrorCount = 0;
    return Prepared(r, transfer, fault);
}

SubmitOutcome BusCore::PipeRequest(Request& r) {
    // A caller that found a USBDI version below 0x101 sends the older, 4 bytes shorter header.
    const std::size_t full = r.Function->MinimumLength;
    if (!r.LengthAtLeast(Link.UsbdiVersion() < 0x101 ? full - 4 : full))
        return Refuse(r, USBD_STATUS_INVALID_PARAMETER);
    Pipe* pipe = r.Link.FindPipe(r.Urb->UrbPipeRequest.PipeHandle);
    if (pipe == nullptr)
        return Refuse(r, USBD_STATUS_INVALID_PIPE_HANDLE);
    if (r.Urb->UrbHeader.Function == URB_FUNCTION_ABORT_PIPE) {
        // The aborted transfers are complete before the abort is (the front end ends them
        // first).
        TransferList queued;
        Engine.Flush(pipe->Schedule, queued);
        TransferList ended;
        TakeOff(queued, USBD_STATUS_CANCELED, ended);
        SubmitOutcome outcome = Served(r, pipe->Endpoint.Address);
        outcome.Ended.Splice(ended);
        return outcome;
    }
    // Reset pipe: the host clears the halt on the device (CLEAR_FEATURE ENDPOINT_HALT) and
    // restarts the endpoint's data toggle.
    r.Link.Owner->Model().ClearHalt(pipe->Endpoint.Address);
    return Served(r, pipe->Endpoint.Address);
}

SubmitOutcome BusCore::FrameNumber(Request& r) {
    r.Urb->UrbGetCurrentFrameNumber.FrameNumber =
        static_cast<ULONG>(Link.Microframe() / MicroframesPerFrame);
    return Served(r);
}

// --- Moving bytes (the schedule calls these under the bus lock) -------------------------------

PacketOutcome Transfer::Fail(USBD_STATUS status) {
    Usbd = status;
    return {PacketResult::Error, 0};
}

std::uint32_t Transfer::Remaining() const {
    if (What == TransferKind::Control)
        return ControlRan ? 0 : Length;
    return Length - Done;
}

// A packet the device did not send: a NAK leaves the transfer waiting, a stall or no handshake
// ends it.
PacketOutcome Transfer::NoData(TransferStatus status) {
    switch (status) {
    case TransferStatus::Nak:
        return {PacketResult::Nak, 0};
    case TransferStatus::Stall:
        return Fail(USBD_STATUS_STALL_PID);
    default:
        return Fail(USBD_STATUS_DEV_NOT_RESPONDING);
    }
}

PacketOutcome Transfer::MovePacket(std::uint32_t room) {
    if (ForcedError != USBD_STATUS_SUCCESS)
        return Fail(ForcedError);
    if (What == TransferKind::Control)
        return MoveControl();
    if (In)
        return MoveIn(room);
    const TransferResult result =
        Model().BulkOut(Endpoint, std::span<const std::uint8_t>(Buffer + Done, room));
    switch (result.Status) {
    case TransferStatus::Ok:
    case TransferStatus::Short: {
        const std::uint32_t moved = Min(result.Length, room);
        Done += moved;
        return {PacketResult::Data, moved};
    }
    default:
        return NoData(result.Status);
    }
}

// A device sends every packet of its endpoint's size but the last, short one, whatever room the
// host has left: the host controller cannot ask for less. Whole packets go straight into the
// buffer; when less than a packet of room is left (none, for a zero-length read), the device's
// next packet goes to the bus's scratch place, what fits is kept, and a packet that did not fit
// is a babble: the transfer ends with USBD_STATUS_BABBLE_DETECTED and TransferBufferLength
// counts the bytes the buffer took.
PacketOutcome Transfer::MoveIn(std::uint32_t room) {
    const std::uint32_t faultLimit = ShortAfter > Done ? ShortAfter - Done : 0;
    std::uint8_t* place = Buffer + Done;
    std::uint32_t asked = room;
    bool scratch = false;
    if (faultLimit < room) {
        // A short-packet fault: the device ends the transfer there.
        asked = faultLimit;
    } else if (room == 0 || room % MaxPacket != 0) {
        place = Bus->Scratch;
        asked = Min(MaxPacket, MaxServiceBytes);
        scratch = true;
    }
    const TransferResult result = Model().BulkIn(Endpoint, std::span<std::uint8_t>(place, asked));
    switch (result.Status) {
    case TransferStatus::Ok:
    case TransferStatus::Short: {
        const std::uint32_t sent = Min(result.Length, asked);
        if (scratch) {
            const std::uint32_t kept = Min(sent, room);
            CopyBytes(Buffer + Done, place, kept);
            Done += kept;
            if (sent > room)
                return Fail(USBD_STATUS_BABBLE_DETECTED);
        } else {
            Done += sent;
        }
        if (sent < room && Done < Length && !ShortOk)
            Usbd = USBD_STATUS_DATA_UNDERRUN;
        return {PacketResult::Data, sent};
    }
    default:
        return NoData(result.Status);
    }
}

std::uint32_t Transfer::PacketCapacity(std::uint32_t index) const {
    const USBD_ISO_PACKET_DESCRIPTOR* packets = Block->UrbIsochronousTransfer.IsoPacket;
    const std::uint32_t end = index + 1 < Packets ? packets[index + 1].Offset : Length;
    return end - packets[index].Offset;
}

std::uint32_t Transfer::MoveIsoPacket(std::uint32_t index, std::uint32_t room,
                                      std::uint64_t microframe) {
    if (index == 0)
        FirstMicroframe = microframe;
    const std::uint32_t offset = Block->UrbIsochronousTransfer.IsoPacket[index].Offset;
    const std::uint32_t capacity = Min(PacketCapacity(index), room);
    // The device sends its whole service whatever the packet's place in the buffer: when the
    // place is smaller it goes to the scratch place first, and one that does not fit is an
    // overrun of that packet alone (Length 0, nothing kept), counted in ErrorCount.
    const bool scratch = In && capacity < room;
    if (scratch)
        room = Min(room, MaxServiceBytes);
    TransferResult result;
    if (scratch)
        result = Model().IsoIn(Endpoint, std::span<std::uint8_t>(Bus->Scratch, room));
    else if (In)
        result = Model().IsoIn(Endpoint, std::span<std::uint8_t>(Buffer + offset, capacity));
    else
        result = Model().IsoOut(Endpoint, std::span<const std::uint8_t>(Buffer + offset, capacity));
    USBD_STATUS status = USBD_STATUS_SUCCESS;
    std::uint32_t bytes = 0;
    switch (result.Status) {
    case TransferStatus::Ok:
    case TransferStatus::Short:
        if (!scratch) {
            bytes = Min(result.Length, capacity);
        } else if (result.Length > capacity) {
            status = USBD_STATUS_BABBLE_DETECTED;
        } else {
            bytes = result.Length;
            CopyBytes(Buffer + offset, Bus->Scratch, bytes);
        }
        break;
    case TransferStatus::Nak:
        break; // nothing this microframe: an empty packet
    case TransferStatus::Stall:
        status = USBD_STATUS_STALL_PID;
        break;
    default:
        status = USBD_STATUS_DEV_NOT_RESPONDING;
        break;
    }
    if (static_cast<std::int64_t>(index) == FaultPacket) {
        status = FaultPacketStatus;
        bytes = 0;
    }
    PacketBytes[index] = bytes;
    PacketStatus[index] = status;
    return bytes;
}

// --- Results ----------------------------------------------------------------------------------

void Transfer::WriteResults() {
    PURB urb = Block;
    if (What == TransferKind::Isochronous) {
        auto& iso = urb->UrbIsochronousTransfer;
        std::uint32_t errors = 0;
        std::uint32_t total = 0;
        const bool ended = Usbd == USBD_STATUS_CANCELED || Usbd == USBD_STATUS_DEVICE_GONE;
        for (std::uint32_t i = 0; i < Packets; ++i) {
            // Packets the controller never reached when the transfer was ended early.
            if (ended &&
                (FirstMicroframe == NoMicroframe || PacketStatus[i] == USBD_STATUS_PENDING)) {
                PacketStatus[i] = USBD_STATUS_ISO_NOT_ACCESSED_BY_HW;
                PacketBytes[i] = 0;
            }
            iso.IsoPacket[i].Length = In ? PacketBytes[i] : iso.IsoPacket[i].Length;
            iso.IsoPacket[i].Status = PacketStatus[i];
            if (USBD_ERROR(PacketStatus[i]))
                ++errors;
            total += PacketBytes[i];
        }
        iso.ErrorCount = errors;
        if (FirstMicroframe != NoMicroframe)
            iso.StartFrame = static_cast<ULONG>(FirstMicroframe / MicroframesPerFrame);
        if (In)
            iso.TransferBufferLength = total;
        if (Usbd == USBD_STATUS_SUCCESS && Packets > 0 && errors == Packets)
            Usbd = USBD_STATUS_ISOCH_REQUEST_FAILED;
    } else if (What == TransferKind::Control) {
        urb->UrbControlTransfer.TransferBufferLength = Done;
    } else {
        urb->UrbBulkOrInterruptTransfer.TransferBufferLength = Done;
    }
    urb->UrbHeader.Status = Usbd;
}

} // namespace sim::core
