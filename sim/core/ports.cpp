// Ports, connections and pipes: what the bus keeps of each device between its requests.

#include "core/bus_core.h"

namespace sim::core {

namespace {

std::size_t AddressSlot(std::uint8_t address) {
    return (address & 0x0F) | ((address & 0x80) >> 3);
}

EndpointKind ScheduleKindOf(sim::EndpointKind kind) {
    switch (kind) {
    case sim::EndpointKind::Isochronous:
        return EndpointKind::Isochronous;
    case sim::EndpointKind::Interrupt:
        return EndpointKind::Interrupt;
    case sim::EndpointKind::Control:
        return EndpointKind::Control;
    default:
        return EndpointKind::Bulk;
    }
}

} // namespace

// The handles are odd-looking numbers on purpose: a driver that dereferences one faults at once.
USBD_PIPE_HANDLE PipeHandleOf(std::uint64_t serial) {
    return reinterpret_cast<USBD_PIPE_HANDLE>(static_cast<std::uintptr_t>(serial << 8 | 0x0D));
}

USBD_CONFIGURATION_HANDLE ConfigurationHandleOf(std::uint64_t serial) {
    // Interface handles are this plus 1 + the interface number, below the next serial's.
    return reinterpret_cast<USBD_CONFIGURATION_HANDLE>(
        static_cast<std::uintptr_t>(serial << 12 | 0xC00));
}

// --- Ports ------------------------------------------------------------------------------------

bool Port::AddFault(const FaultRule& rule) {
    if (FaultCount == MaxFaultRules)
        return false;
    Faults[FaultCount++] = ActiveRule{rule, 0, 0};
    return true;
}

const FaultRule* Port::MatchFault(std::uint16_t function, std::uint8_t endpoint) {
    for (std::size_t i = 0; i < FaultCount; ++i) {
        ActiveRule& active = Faults[i];
        const FaultRule& rule = active.Rule;
        if (rule.Function != 0xFFFF && rule.Function != function)
            continue;
        if (rule.Endpoint != 0xFF && rule.Endpoint != endpoint)
            continue;
        ++active.Seen;
        if (active.Seen <= rule.Skip)
            continue;
        if (rule.Times != 0 && active.Applied >= rule.Times)
            continue;
        ++active.Applied;
        return &active.Rule;
    }
    return nullptr;
}

void Pipe::PacketsLost(std::uint32_t packets, std::uint32_t room) {
    if (Endpoint.In())
        Owner->Model().IsoSkip(Endpoint.Address, packets, room);
}

// --- Connections ------------------------------------------------------------------------------

Pipe* Connection::FindPipe(USBD_PIPE_HANDLE handle) {
    if (!Configured() || handle == nullptr)
        return nullptr;
    for (Pipe& pipe : Pipes)
        if (pipe.Serial != 0 && PipeHandleOf(pipe.Serial) == handle)
            return &pipe;
    return nullptr;
}

Pipe* Connection::FreePipe() {
    for (Pipe& pipe : Pipes)
        if (pipe.Serial == 0)
            return &pipe;
    return nullptr;
}

bool BusCore::Connect(Connection& connection, Port& port, std::uint16_t address) {
    EndpointSetup control;
    control.Kind = EndpointKind::Control;
    control.MaxPacketField = 64;
    const EndpointId defaultPipe = Engine.AddEndpoint(control);
    if (defaultPipe == NoEndpoint)
        return false;
    connection.Owner = &port;
    connection.UsbAddress = address;
    connection.Departed = false;
    connection.ConfigurationSerial = 0;
    connection.ConfigurationValue = 0;
    for (Pipe& pipe : connection.Pipes)
        pipe.Serial = 0;
    for (EndpointId& id : connection.ByAddress)
        id = NoEndpoint;
    connection.DefaultPipe = defaultPipe;
    connection.ByAddress[0] = defaultPipe;
    return true;
}

void BusCore::Disconnect(Connection& connection, TransferList& ended) {
    if (connection.Departed)
        return;
    connection.Departed = true;
    for (Pipe& pipe : connection.Pipes)
        if (pipe.Serial != 0)
            ClosePipe(connection, pipe, USBD_STATUS_DEVICE_GONE, ended);
    connection.ConfigurationSerial = 0;
    // The default pipe's counters stay readable through ByAddress.
    TransferList queued;
    Engine.RemoveEndpoint(connection.DefaultPipe, queued);
    TakeOff(queued, USBD_STATUS_DEVICE_GONE, ended);
}

void BusCore::TakeOff(TransferList& from, USBD_STATUS status, TransferList& ended) {
    while (ScheduledTransfer* item = from.PopFront()) {
        Transfer::From(item)->Usbd = status;
        ended.PushBack(item);
    }
}

Pipe* BusCore::OpenPipe(Connection& connection, const EndpointDescription& endpoint,
                        std::uint32_t maximumTransferSize) {
    Pipe* pipe = connection.FreePipe();
    if (pipe == nullptr)
        return nullptr;
    EndpointSetup setup;
    setup.Kind = ScheduleKindOf(endpoint.Kind);
    setup.Address = endpoint.Address;
    setup.MaxPacketField =
        static_cast<std::uint16_t>(endpoint.MaxPacketSize | ((endpoint.Multiplier - 1) << 11));
    // High-speed periodic endpoints: bInterval is an exponent, 2^(bInterval - 1) microframes.
    const unsigned exponent =
        endpoint.Interval == 0 ? 0 : (endpoint.Interval - 1u < 15u ? endpoint.Interval - 1u : 15u);
    setup.Interval =
        setup.Kind == EndpointKind::Isochronous || setup.Kind == EndpointKind::Interrupt
            ? 1u << exponent
            : 1u;
    const EndpointId id =
        Engine.AddEndpoint(setup, setup.Kind == EndpointKind::Isochronous ? pipe : nullptr);
    if (id == NoEndpoint)
        return nullptr;
    pipe->Owner = connection.Owner;
    pipe->Endpoint = endpoint;
    pipe->Schedule = id;
    pipe->MaximumTransferSize = maximumTransferSize;
    pipe->Serial = NextSerial++;
    connection.ByAddress[AddressSlot(endpoint.Address)] = id;
    return pipe;
}

void BusCore::ClosePipe(Connection& connection, Pipe& pipe, USBD_STATUS status,
                        TransferList& ended) {
    TransferList queued;
    Engine.RemoveEndpoint(pipe.Schedule, queued);
    TakeOff(queued, status, ended);
    EndpointId& current = connection.ByAddress[AddressSlot(pipe.Endpoint.Address)];
    if (current == pipe.Schedule)
        current = NoEndpoint;
    pipe.Serial = 0;
}

EndpointCounters BusCore::Counters(const Connection& connection, std::uint8_t endpoint) const {
    const EndpointId id = connection.ByAddress[AddressSlot(endpoint)];
    return id == NoEndpoint ? EndpointCounters{} : Engine.Counters(id);
}

// --- Port requests ----------------------------------------------------------------------------

NTSTATUS BusCore::PortStatus(const Connection& connection, ULONG& bits) const {
    bits = 0;
    if (connection.Departed)
        return STATUS_DEVICE_NOT_CONNECTED;
    bits = (connection.Owner->Connected ? USBD_PORT_CONNECTED : 0) |
           (connection.Owner->Enabled ? USBD_PORT_ENABLED : 0);
    return STATUS_SUCCESS;
}

NTSTATUS BusCore::ResetPort(Connection& connection) {
    Port& port = *connection.Owner;
    if (connection.Departed || !port.Connected)
        return STATUS_DEVICE_NOT_CONNECTED;
    // A reset leaves the device unconfigured; the bus puts the configuration and the selected
    // settings back, so the function driver's handles stay good.
    port.Model().BusReset();
    if (connection.Configured()) {
        ControlToDevice(connection, 0x00, 9, connection.ConfigurationValue, 0);
        for (unsigned number = 0; number < 256; ++number) {
            for (const Pipe& pipe : connection.Pipes) {
                if (pipe.Serial == 0 || pipe.Endpoint.InterfaceNumber != number)
                    continue;
                if (pipe.Endpoint.AlternateSetting != 0)
                    ControlToDevice(connection, 0x01, 11, pipe.Endpoint.AlternateSetting,
                                    static_cast<std::uint16_t>(number));
                break;
            }
        }
    }
    port.Enabled = true;
    ++port.Resets;
    return STATUS_SUCCESS;
}

NTSTATUS BusCore::PortRequest(Connection& connection, ULONG code, PVOID argument) {
    switch (code) {
    case IOCTL_INTERNAL_USB_GET_PORT_STATUS: {
        auto* status = static_cast<PULONG>(argument);
        if (status == nullptr)
            return STATUS_INVALID_PARAMETER;
        ULONG bits = 0;
        const NTSTATUS result = PortStatus(connection, bits);
        *status = bits;
        return result;
    }
    case IOCTL_INTERNAL_USB_RESET_PORT:
        return ResetPort(connection);
    default:
        return STATUS_INVALID_DEVICE_REQUEST;
    }
}

bool PdoAgreesTo(UCHAR minorFunction) {
    switch (minorFunction) {
    case IRP_MN_START_DEVICE:
    case IRP_MN_STOP_DEVICE:
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_SURPRISE_REMOVAL:
        return true;
    default:
        return false;
    }
}

NTSTATUS PdoPowerStatus(UCHAR minorFunction, NTSTATUS current) {
    return minorFunction == IRP_MN_SET_POWER || minorFunction == IRP_MN_QUERY_POWER ? STATUS_SUCCESS
                                                                                    : current;
}

NTSTATUS FillDeviceCapabilities(PDEVICE_CAPABILITIES caps, ULONG portNumber) {
    if (caps == nullptr || caps->Version != 1 || caps->Size < sizeof(DEVICE_CAPABILITIES))
        return STATUS_UNSUCCESSFUL;
    caps->DeviceD1 = 0;
    caps->DeviceD2 = 0;
    caps->LockSupported = 0;
    caps->EjectSupported = 0;
    caps->Removable = 1;
    caps->UniqueID = 0;
    caps->SurpriseRemovalOK = 1;
    caps->Address = portNumber;
    caps->UINumber = portNumber;
    for (int state = 0; state < POWER_SYSTEM_MAXIMUM; ++state)
        caps->DeviceState[state] = PowerDeviceD3;
    caps->DeviceState[PowerSystemWorking] = PowerDeviceD0;
    caps->SystemWake = PowerSystemUnspecified;
    caps->DeviceWake = PowerDeviceUnspecified;
    return STATUS_SUCCESS;
}

} // namespace sim::core
