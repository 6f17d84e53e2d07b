// Control transfers on the default pipe: descriptors, vendor and class requests, features.

#include "core/bus_core.h"

namespace sim::core {

SubmitOutcome BusCore::ControlTransfer(Request& r, const SetupRequest& setup, PVOID buffer,
                                       PMDL mdl, ULONG length, bool in, bool shortOk) {
    std::uint8_t* data = nullptr;
    if (length > 0xFFFF || !ResolveBuffer(buffer, mdl, length, data))
        return Refuse(r, USBD_STATUS_INVALID_PARAMETER);
    const FaultRule* fault = r.Link.Owner->MatchFault(r.Urb->UrbHeader.Function, 0x00);
    if (fault != nullptr && fault->What == FaultRule::Kind::FailRequest)
        return Immediate(r, fault->UsbdStatus, fault->Status);
    Transfer* transfer = NewTransfer(r, TransferKind::Control, 0);
    if (transfer == nullptr)
        return Refuse(r, USBD_STATUS_INSUFFICIENT_RESOURCES);
    transfer->Endpoint = 0;
    transfer->In = in;
    transfer->ShortOk = shortOk;
    transfer->Buffer = data;
    transfer->Length = length;
    transfer->Setup = setup;
    transfer->Setup.Length = static_cast<std::uint16_t>(length);
    transfer->ScheduleEndpoint = r.Link.DefaultPipe;
    return Prepared(r, transfer, fault);
}

SubmitOutcome BusCore::GetDescriptor(Request& r) {
    auto& request = r.Urb->UrbControlDescriptorRequest;
    SetupRequest setup;
    setup.RequestType = 0x80;
    setup.Request = 6; // GET_DESCRIPTOR
    setup.Value = static_cast<std::uint16_t>(request.DescriptorType << 8 | request.Index);
    setup.Index = request.LanguageId;
    return ControlTransfer(r, setup, request.TransferBuffer, request.TransferBufferMDL,
                           request.TransferBufferLength, true, true);
}

SubmitOutcome BusCore::VendorOrClass(Request& r, const UrbFunction& function) {
    auto& request = r.Urb->UrbControlVendorClassRequest;
    const bool in = (request.TransferFlags & USBD_TRANSFER_DIRECTION_IN) != 0;
    SetupRequest setup;
    setup.RequestType = VendorOrClassRequestType(function, in, request.RequestTypeReservedBits);
    setup.Request = request.Request;
    setup.Value = request.Value;
    setup.Index = request.Index;
    return ControlTransfer(r, setup, request.TransferBuffer, request.TransferBufferMDL,
                           request.TransferBufferLength, in,
                           (request.TransferFlags & USBD_SHORT_TRANSFER_OK) != 0);
}

SubmitOutcome BusCore::SetFeature(Request& r) {
    SetupRequest setup;
    setup.RequestType = 0x00;
    setup.Request = 3; // SET_FEATURE
    setup.Value = r.Urb->UrbControlFeatureRequest.FeatureSelector;
    setup.Index = r.Urb->UrbControlFeatureRequest.Index;
    return ControlTransfer(r, setup, nullptr, nullptr, 0, false, true);
}

// A standard request the bus itself sends (configuration, interface), answered at once under the
// lock: the host's own requests do not queue behind the function driver's.
bool BusCore::ControlToDevice(Connection& connection, std::uint8_t requestType,
                              std::uint8_t request, std::uint16_t value, std::uint16_t index) {
    SetupRequest setup;
    setup.RequestType = requestType;
    setup.Request = request;
    setup.Value = value;
    setup.Index = index;
    return connection.Owner->Model().Control(setup, {}).Status == ControlStatus::Ok;
}

// Called by the schedule (or RunNow) under the bus lock: the whole control transfer in one go.
PacketOutcome Transfer::MoveControl() {
    const ControlResult result = Model().Control(Setup, std::span<std::uint8_t>(Buffer, Length));
    ControlRan = true;
    if ((Model().PendingEvents() & CameraEventRenumerate) != 0) {
        // The camera program started: it leaves the bus after a moment and comes back as a new
        // device, which the front end plays out on its own thread.
        Model().TakeEvents();
        Bus->Link.RenumerationDue(*Owner);
    }
    if (result.Status == ControlStatus::Stall)
        return Fail(USBD_STATUS_STALL_PID);
    Done = In ? (result.Length < Length ? result.Length : Length) : Length;
    if (In && Done < Length && !ShortOk)
        Usbd = USBD_STATUS_DATA_UNDERRUN;
    return {PacketResult::Data, Done};
}

} // namespace sim::core
