// A URB's way through the bus core: the checks every URB passes, the handler of its function,
// and the transfer that carries it until Finish.

#include "core/bus_core.h"

#include <new>

namespace sim::core {

BusCore::BusCore(Transport& transport, Schedule::Options options, Schedule::Memory memory)
    : Link(transport), Engine(options, memory) {}

SubmitOutcome BusCore::Submit(Connection& connection, PURB urb, void* request) {
    SubmitOutcome outcome;
    if (urb == nullptr) {
        outcome.Status = STATUS_INVALID_PARAMETER;
        return outcome;
    }
    Request r{connection, urb, request, nullptr};
    if (connection.Departed)
        return Refuse(r, USBD_STATUS_DEVICE_GONE);
    // The header must at least hold itself before anything else is read.
    if (urb->UrbHeader.Length < sizeof(_URB_HEADER))
        return Refuse(r, USBD_STATUS_INVALID_PARAMETER);
    urb->UrbHeader.Status = USBD_STATUS_PENDING;
    r.Function = FindUrbFunction(urb->UrbHeader.Function);
    if (r.Function == nullptr)
        return Refuse(r, USBD_STATUS_INVALID_URB_FUNCTION);
    // Pipe requests check their own length: it depends on the USBDI version.
    if (r.Function->Kind != UrbKind::PipeRequest && !r.LengthAtLeast(r.Function->MinimumLength))
        return Refuse(r, USBD_STATUS_INVALID_PARAMETER);
    switch (r.Function->Kind) {
    case UrbKind::SelectConfiguration:
        return SelectConfiguration(r);
    case UrbKind::SelectInterface:
        return SelectInterface(r);
    case UrbKind::PipeRequest:
        return PipeRequest(r);
    case UrbKind::FrameNumber:
        return FrameNumber(r);
    case UrbKind::BulkOrInterrupt:
        return BulkOrInterrupt(r);
    case UrbKind::Isochronous:
        return Isochronous(r);
    case UrbKind::GetDescriptor:
        return GetDescriptor(r);
    case UrbKind::SetFeature:
        return SetFeature(r);
    case UrbKind::VendorOrClass:
        return VendorOrClass(r, *r.Function);
    }
    return Refuse(r, USBD_STATUS_INVALID_URB_FUNCTION);
}

SubmitOutcome BusCore::Refuse(Request& r, USBD_STATUS status) {
    return Immediate(r, status, RequestStatusFor(status));
}

SubmitOutcome BusCore::Immediate(Request& r, USBD_STATUS usbd, NTSTATUS status) {
    r.Urb->UrbHeader.Status = usbd;
    SubmitOutcome outcome;
    outcome.Status = status;
    return outcome;
}

// A request served at once: captured as a bare URB and completed with success.
SubmitOutcome BusCore::Served(Request& r, std::uint8_t endpoint) {
    if (Link.Capturing()) {
        usbpcap::CaptureEvent event;
        event.Urb.IrpId = reinterpret_cast<std::uintptr_t>(r.Irp);
        event.Urb.Function = r.Urb->UrbHeader.Function;
        event.Urb.Device = r.Link.UsbAddress;
        event.Urb.Endpoint = endpoint;
        event.Kind = usbpcap::EventKind::UrbSubmit;
        Emit(event);
        event.Kind = usbpcap::EventKind::UrbComplete;
        event.Status = USBD_STATUS_SUCCESS;
        Emit(event);
    }
    return Immediate(r, USBD_STATUS_SUCCESS, STATUS_SUCCESS);
}

bool BusCore::ResolveBuffer(PVOID buffer, PMDL mdl, ULONG length, std::uint8_t*& out) {
    out = nullptr;
    if (mdl != nullptr) {
        if (MmGetMdlByteCount(mdl) < length)
            return false;
        out = Link.MapMdl(mdl);
        return out != nullptr || length == 0;
    }
    out = static_cast<std::uint8_t*>(buffer);
    return length == 0 || buffer != nullptr;
}

Transfer* BusCore::NewTransfer(Request& r, TransferKind kind, std::uint32_t packets) {
    // Isochronous packet results follow the record, in the same block.
    constexpr std::size_t align = alignof(Transfer);
    const std::size_t record = (sizeof(Transfer) + align - 1) / align * align;
    const std::size_t bytes =
        record + std::size_t{packets} * (sizeof(std::uint32_t) + sizeof(USBD_STATUS));
    void* block = Link.AllocateTransfer(bytes);
    if (block == nullptr)
        return nullptr;
    auto* transfer = new (block) Transfer;
    transfer->Bus = this;
    transfer->Owner = r.Link.Owner;
    transfer->DeviceAddress = r.Link.UsbAddress;
    transfer->Irp = r.Irp;
    transfer->Block = r.Urb;
    transfer->What = kind;
    transfer->Packets = packets;
    if (packets > 0) {
        auto* tail = static_cast<std::uint8_t*>(block) + record;
        transfer->PacketBytes = reinterpret_cast<std::uint32_t*>(tail);
        transfer->PacketStatus =
            reinterpret_cast<USBD_STATUS*>(tail + std::size_t{packets} * sizeof(std::uint32_t));
        for (std::uint32_t i = 0; i < packets; ++i) {
            transfer->PacketBytes[i] = 0;
            transfer->PacketStatus[i] = USBD_STATUS_PENDING;
        }
    }
    return transfer;
}

// A validated transfer, its fault applied: the front end queues it (or runs it at once).
SubmitOutcome BusCore::Prepared(Request& r, Transfer* transfer, const FaultRule* fault) {
    SubmitOutcome outcome;
    if (fault != nullptr) {
        switch (fault->What) {
        case FaultRule::Kind::Stall:
            if ((transfer->Endpoint & 0x0F) == 0)
                transfer->ForcedError = USBD_STATUS_STALL_PID;
            else
                transfer->Model().SetHalt(transfer->Endpoint);
            break;
        case FaultRule::Kind::NeverAnswer:
            transfer->Parked = true;
            break;
        case FaultRule::Kind::ShortPacket:
            transfer->ShortAfter = fault->ShortLength;
            break;
        case FaultRule::Kind::UrbError:
            transfer->ForcedError = fault->UsbdStatus;
            break;
        case FaultRule::Kind::PacketError:
            transfer->FaultPacket = fault->Packet;
            transfer->FaultPacketStatus = fault->UsbdStatus;
            break;
        case FaultRule::Kind::Unplug:
            outcome.Unplug = true;
            transfer->Parked = true;
            break;
        case FaultRule::Kind::FailRequest:
            break;
        }
    }
    Capture(*transfer, CapturePhase::Submission);
    outcome.What = SubmitOutcome::Action::Queue;
    outcome.Status = STATUS_PENDING;
    outcome.Pending = transfer;
    return outcome;
}

void BusCore::Queue(Transfer& transfer, std::uint64_t eligibleFrom) {
    Engine.Queue(transfer.ScheduleEndpoint, &transfer, eligibleFrom);
}

bool BusCore::RunNow(Transfer& transfer) {
    if (transfer.Parked)
        return false;
    if (transfer.What == TransferKind::Isochronous) {
        const std::uint32_t room = Engine.BytesPerService(transfer.ScheduleEndpoint);
        const std::uint64_t microframe = Link.Microframe();
        for (std::uint32_t i = 0; i < transfer.Packets; ++i)
            transfer.MoveIsoPacket(i, room, microframe);
        return true;
    }
    if (transfer.What == TransferKind::Control)
        return transfer.MovePacket(transfer.Remaining()).Result != PacketResult::Nak;
    // Every whole packet at once, then the packet that ends inside the buffer, if any: a device
    // that NAKs in between leaves the transfer to the schedule with what it moved so far.
    for (;;) {
        const std::uint32_t room = RoomInWholePackets(transfer.Remaining(), transfer.MaxPacket);
        const PacketOutcome outcome = transfer.MovePacket(room);
        if (outcome.Result == PacketResult::Nak)
            return false;
        if (outcome.Result == PacketResult::Error || outcome.Bytes < room ||
            transfer.Remaining() == 0)
            return true;
    }
}

void BusCore::Cancel(Transfer& transfer) {
    if (Engine.Remove(&transfer))
        transfer.Usbd = USBD_STATUS_CANCELED;
}

NTSTATUS BusCore::Finish(Transfer& transfer) {
    transfer.WriteResults();
    Capture(transfer, CapturePhase::Completion);
    const NTSTATUS status = RequestStatusFor(transfer.Usbd);
    transfer.~Transfer();
    Link.FreeTransfer(&transfer);
    return status;
}

// --- Capture ----------------------------------------------------------------------------------

namespace {

usbpcap::IsoPacket SubmittedPacket(const void* context, std::uint32_t index) {
    const auto* packets = static_cast<const USBD_ISO_PACKET_DESCRIPTOR*>(context);
    return {packets[index].Offset, packets[index].Length, 0};
}

usbpcap::IsoPacket CompletedPacket(const void* context, std::uint32_t index) {
    const auto* packets = static_cast<const USBD_ISO_PACKET_DESCRIPTOR*>(context);
    return {packets[index].Offset, packets[index].Length,
            static_cast<std::int32_t>(packets[index].Status)};
}

} // namespace

usbpcap::UrbRef Transfer::Ref() const {
    usbpcap::UrbRef ref;
    ref.IrpId = reinterpret_cast<std::uintptr_t>(Irp);
    ref.Function = Block->UrbHeader.Function;
    ref.Device = DeviceAddress;
    ref.Endpoint = Endpoint;
    return ref;
}

void BusCore::Emit(usbpcap::CaptureEvent& event) {
    event.TimeNanoseconds = Link.CaptureTime();
    Link.Capture(event);
}

void BusCore::Capture(const Transfer& transfer, CapturePhase phase) {
    if (!Link.Capturing())
        return;
    // A submission and its completion are written alike: the completion adds the status and
    // holds the bytes that moved, except an isochronous one, whose packets say what moved where
    // in the whole buffer.
    const bool completed = phase == CapturePhase::Completion;
    usbpcap::CaptureEvent event;
    event.Urb = transfer.Ref();
    if (completed)
        event.Status = transfer.Usbd;
    const std::uint32_t logged =
        completed && transfer.What != TransferKind::Isochronous ? transfer.Done : transfer.Length;
    event.Buffer = {transfer.Buffer, transfer.Buffer != nullptr ? logged : 0};
    switch (transfer.What) {
    case TransferKind::Control: {
        const SetupRequest& s = transfer.Setup;
        event.Kind =
            completed ? usbpcap::EventKind::ControlComplete : usbpcap::EventKind::ControlSubmit;
        event.Setup =
            usbpcap::SetupPacket::Make(s.RequestType, s.Request, s.Value, s.Index, s.Length);
        break;
    }
    case TransferKind::BulkOrInterrupt:
        event.Kind = completed ? usbpcap::EventKind::BulkComplete : usbpcap::EventKind::BulkSubmit;
        event.Pipe = transfer.PipeType;
        break;
    case TransferKind::Isochronous:
        event.Kind = completed ? usbpcap::EventKind::IsoComplete : usbpcap::EventKind::IsoSubmit;
        event.StartFrame = transfer.Block->UrbIsochronousTransfer.StartFrame;
        event.Packets = {transfer.Block->UrbIsochronousTransfer.IsoPacket,
                         completed ? CompletedPacket : SubmittedPacket, transfer.Packets};
        break;
    }
    Emit(event);
}

} // namespace sim::core
