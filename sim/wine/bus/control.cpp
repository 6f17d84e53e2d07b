// The control requests of the bus device (sim/wine/control.h): create, close and the buffered
// device I/O controls usbsim.exe sends. Each is served in the caller's thread at PASSIVE_LEVEL
// and completed before the dispatch routine returns.
#include "wine/bus/bus.h"

namespace usbsim {

namespace {

NTSTATUS Complete(PIRP irp, NTSTATUS status, ULONG_PTR information) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = NT_SUCCESS(status) ? information : 0;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

// The request's input as a record of type T, or null when the input is not exactly that long.
template <typename T> const T* Input(PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    if (stack->Parameters.DeviceIoControl.InputBufferLength != sizeof(T))
        return nullptr;
    return static_cast<const T*>(irp->AssociatedIrp.SystemBuffer);
}

// Room for an output record of type T in the system buffer, or null when the caller gave less.
template <typename T> T* Output(PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    if (stack->Parameters.DeviceIoControl.OutputBufferLength < sizeof(T))
        return nullptr;
    return static_cast<T*>(irp->AssociatedIrp.SystemBuffer);
}

NTSTATUS Query(PIRP irp) {
    auto* state = Output<USBSIM_STATE>(irp);
    if (state == nullptr)
        return Complete(irp, STATUS_BUFFER_TOO_SMALL, 0);
    RtlZeroMemory(state, sizeof(*state));
    state->Ports = USBSIM_MAX_PORTS;
    {
        BusLock lock;
        for (const PORT& port : Bus->Ports) {
            USBSIM_PORT_INFO& info = state->Port[port.Index];
            info.State = PortStateLocked(port);
            if (port.Plugged) {
                ++state->Cameras;
                const sim::DeviceIdentity identity = port.Device->Identity();
                info.VendorId = identity.VendorId;
                info.ProductId = identity.ProductId;
            }
            info.Identity = port.Identity;
            info.Connections = port.Connections;
            info.Removals = port.Removals;
            info.Pending = static_cast<uint32_t>(
                InterlockedCompareExchange(const_cast<LONG*>(&port.Pending), 0, 0));
            info.Faults = port.Faults;
        }
    }
    StandInState(*state);
    CaptureState(*state);
    return Complete(irp, STATUS_SUCCESS, sizeof(*state));
}

NTSTATUS Plug(PIRP irp) {
    const auto* request = Input<USBSIM_PLUG>(irp);
    auto* reply = Output<USBSIM_PORT_REQUEST>(irp);
    if (request == nullptr || reply == nullptr)
        return Complete(irp, STATUS_INVALID_PARAMETER, 0);
    const USBSIM_PLUG plug = *request; // the reply shares the system buffer
    ULONG port = 0;
    const NTSTATUS status = PlugCamera(plug.Port, plug.Identity, &port);
    if (NT_SUCCESS(status))
        reply->Port = port;
    return Complete(irp, status, sizeof(*reply));
}

NTSTATUS PortRequest(PIRP irp, NTSTATUS (*action)(ULONG)) {
    const auto* request = Input<USBSIM_PORT_REQUEST>(irp);
    if (request == nullptr)
        return Complete(irp, STATUS_INVALID_PARAMETER, 0);
    return Complete(irp, action(request->Port), 0);
}

NTSTATUS Fault(PIRP irp) {
    const auto* request = Input<USBSIM_FAULT>(irp);
    if (request == nullptr)
        return Complete(irp, STATUS_INVALID_PARAMETER, 0);
    return Complete(irp, AddFault(*request), 0);
}

NTSTATUS Counters(PIRP irp) {
    const auto* request = Input<USBSIM_COUNTERS_REQUEST>(irp);
    auto* reply = Output<USBSIM_COUNTERS>(irp);
    if (request == nullptr || reply == nullptr)
        return Complete(irp, STATUS_INVALID_PARAMETER, 0);
    const USBSIM_COUNTERS_REQUEST asked = *request;
    USBSIM_COUNTERS counters = {};
    const NTSTATUS status = EndpointCounters(asked.Port, asked.Endpoint, counters);
    if (NT_SUCCESS(status))
        *reply = counters;
    return Complete(irp, status, sizeof(*reply));
}

NTSTATUS Capture(PIRP irp) {
    const auto* request = Input<USBSIM_CAPTURE>(irp);
    if (request == nullptr || request->Length > sizeof(request->Name) / sizeof(request->Name[0]))
        return Complete(irp, STATUS_INVALID_PARAMETER, 0);
    return Complete(irp, SetCaptureFile(request->Name, request->Length), 0);
}

} // namespace

NTSTATUS NTAPI DispatchCreateClose(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    return Complete(Irp, STATUS_SUCCESS, 0);
}

NTSTATUS NTAPI DispatchDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    if (*static_cast<DeviceKind*>(DeviceObject->DeviceExtension) != DeviceKind::Bus)
        return Complete(Irp, STATUS_INVALID_DEVICE_REQUEST, 0);
    switch (IoGetCurrentIrpStackLocation(Irp)->Parameters.DeviceIoControl.IoControlCode) {
    case IOCTL_USBSIM_QUERY:
        return Query(Irp);
    case IOCTL_USBSIM_PLUG:
        return Plug(Irp);
    case IOCTL_USBSIM_UNPLUG:
        return PortRequest(Irp, UnplugCamera);
    case IOCTL_USBSIM_ADD_FAULT:
        return Fault(Irp);
    case IOCTL_USBSIM_CLEAR_FAULTS:
        return PortRequest(Irp, ClearFaults);
    case IOCTL_USBSIM_COUNTERS:
        return Counters(Irp);
    case IOCTL_USBSIM_CAPTURE:
        return Capture(Irp);
    case IOCTL_USBSIM_FLUSH:
        DrainCapture();
        return Complete(Irp, STATUS_SUCCESS, 0);
    default:
        return Complete(Irp, STATUS_INVALID_DEVICE_REQUEST, 0);
    }
}

} // namespace usbsim
