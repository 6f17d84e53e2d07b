// The PDOs' PnP and power requests, and the creation of a PDO for a device that arrives.

#include "bus/bus_state.h"

#include "host/host_kernel.h"

namespace sim {

ConnectionRecord* ConnectionOf(PDEVICE_OBJECT pdo) {
    return static_cast<PDO_EXTENSION*>(pdo->DeviceExtension)->Link;
}

// The PnP manager calls the PnP and power dispatch routines at PASSIVE_LEVEL, one request at a
// time per device; no lock of the caller is held. Each completes its request.
NTSTATUS NTAPI DispatchPnp(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    ConnectionRecord& link = *ConnectionOf(DeviceObject);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    NTSTATUS status = Irp->IoStatus.Status;
    bool remove = false;
    switch (stack->MinorFunction) {
    case IRP_MN_REMOVE_DEVICE: {
        status = STATUS_SUCCESS;
        // A device still on the bus keeps its PDO (the PnP manager may start it again); one
        // that has departed is gone for good.
        std::lock_guard<std::mutex> lock(TheBus->Controller.Lock());
        remove = link.Gone();
        break;
    }
    case IRP_MN_QUERY_CAPABILITIES:
        status = core::FillDeviceCapabilities(stack->Parameters.DeviceCapabilities.Capabilities,
                                              link.Port->Id + 1);
        break;
    default:
        // The host bus keeps no state of its own for the changes a PDO agrees to; anything
        // else is not ours to answer: the status stays as the sender set it.
        if (core::PdoAgreesTo(stack->MinorFunction))
            status = STATUS_SUCCESS;
        break;
    }
    Irp->IoStatus.Status = status;
    IofCompleteRequest(Irp, IO_NO_INCREMENT);
    if (remove) {
        link.Pdo = nullptr;
        IoDeleteDevice(DeviceObject);
        TheBus->ConnectionsChanged.notify_all();
    }
    return status;
}

NTSTATUS NTAPI DispatchPower(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    PoStartNextPowerIrp(Irp);
    const NTSTATUS status = core::PdoPowerStatus(stack->MinorFunction, Irp->IoStatus.Status);
    Irp->IoStatus.Status = status;
    IofCompleteRequest(Irp, IO_NO_INCREMENT);
    return status;
}

void CreateConnection(PortRecord& port) {
    PDEVICE_OBJECT pdo = nullptr;
    const NTSTATUS status = IoCreateDevice(TheBus->Driver, sizeof(PDO_EXTENSION), nullptr,
                                           FILE_DEVICE_UNKNOWN, 0, FALSE, &pdo);
    if (!NT_SUCCESS(status) || pdo == nullptr) {
        host::Verifier::Report(host::Check::BadArgument,
                               "the simulated bus could not create a PDO");
        return;
    }
    pdo->Flags |= DO_POWER_PAGABLE;
    pdo->Flags &= ~DO_DEVICE_INITIALIZING;
    auto connection = std::make_unique<ConnectionRecord>();
    connection->Port = &port;
    connection->Pdo = pdo;
    static_cast<PDO_EXTENSION*>(pdo->DeviceExtension)->Link = connection.get();
    std::lock_guard<std::mutex> lock(TheBus->Controller.Lock());
    if (!TheBus->Core.Connect(*connection, port, TheBus->NextConnection++))
        host::Verifier::Report(host::Check::BadArgument,
                               "the simulated bus's schedule has no room for another device");
    port.Current = connection.get();
    port.Connections.push_back(std::move(connection));
}

} // namespace sim
