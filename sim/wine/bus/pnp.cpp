// Plug and Play and power requests of the bus device and of the PDOs.
//
// The PnP manager (Wine's) calls these at PASSIVE_LEVEL with no lock of the bus held. The bus
// device answers the bus relations query with the devices on the bus; each PDO answers what a USB
// hub's PDO answers: the IDs built from its device descriptor, the capabilities of a removable
// device, start, and the removal that deletes a PDO whose device has left the bus.
#include "wine/bus/bus.h"

namespace usbsim {

namespace {

NTSTATUS Complete(PIRP irp, NTSTATUS status) {
    irp->IoStatus.Status = status;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

// A pool copy of `count` characters (with every NUL they hold), for an ID or text the PnP manager
// frees with ExFreePool.
PWCHAR PoolText(const WCHAR* text, ULONG count) {
    auto* copy =
        static_cast<PWCHAR>(ExAllocatePoolWithTag(PagedPool, count * sizeof(WCHAR), kPoolTag));
    if (copy != nullptr)
        RtlCopyMemory(copy, text, count * sizeof(WCHAR));
    return copy;
}

// Appends `text` and, with `hex` digits, `value` in upper-case hex.
void Append(WCHAR* out, ULONG& at, const char* text) {
    while (*text != 0)
        out[at++] = static_cast<WCHAR>(*text++);
}
void AppendHex(WCHAR* out, ULONG& at, ULONG value, int digits) {
    for (int shift = (digits - 1) * 4; shift >= 0; shift -= 4)
        out[at++] = static_cast<WCHAR>("0123456789ABCDEF"[(value >> shift) & 0xF]);
}
void AppendDecimal(WCHAR* out, ULONG& at, ULONG value) {
    WCHAR digits[10];
    int n = 0;
    do {
        digits[n++] = static_cast<WCHAR>(L'0' + value % 10);
        value /= 10;
    } while (value != 0);
    while (n > 0)
        out[at++] = digits[--n];
}

// The IDs a USB hub reports for a device (one that is not composite): the device ID
// USB\VID_v&PID_p, the hardware IDs with and without &REV_r, the compatible IDs from the
// device's class, subclass and protocol, and an instance ID that names the port.
NTSTATUS QueryId(const CONNECTION& c, BUS_QUERY_ID_TYPE type, PWCHAR* result) {
    WCHAR text[160];
    ULONG at = 0;
    auto deviceId = [&] {
        Append(text, at, "USB\\VID_");
        AppendHex(text, at, c.VendorId, 4);
        Append(text, at, "&PID_");
        AppendHex(text, at, c.ProductId, 4);
    };
    switch (type) {
    case BusQueryDeviceID:
        deviceId();
        text[at++] = 0;
        break;
    case BusQueryHardwareIDs:
        deviceId();
        Append(text, at, "&REV_");
        AppendHex(text, at, c.Revision, 4);
        text[at++] = 0;
        deviceId();
        text[at++] = 0;
        text[at++] = 0;
        break;
    case BusQueryCompatibleIDs:
        Append(text, at, "USB\\Class_");
        AppendHex(text, at, c.Class, 2);
        Append(text, at, "&SubClass_");
        AppendHex(text, at, c.SubClass, 2);
        Append(text, at, "&Prot_");
        AppendHex(text, at, c.Protocol, 2);
        text[at++] = 0;
        Append(text, at, "USB\\Class_");
        AppendHex(text, at, c.Class, 2);
        Append(text, at, "&SubClass_");
        AppendHex(text, at, c.SubClass, 2);
        text[at++] = 0;
        Append(text, at, "USB\\Class_");
        AppendHex(text, at, c.Class, 2);
        text[at++] = 0;
        text[at++] = 0;
        break;
    case BusQueryInstanceID:
        Append(text, at, "USBSIM&PORT_");
        AppendDecimal(text, at, c.Port->Index + 1);
        text[at++] = 0;
        break;
    default:
        return STATUS_NOT_SUPPORTED;
    }
    *result = PoolText(text, at);
    return *result != nullptr ? STATUS_SUCCESS : STATUS_INSUFFICIENT_RESOURCES;
}

PDEVICE_RELATIONS Relations(ULONG count) {
    const SIZE_T bytes =
        sizeof(DEVICE_RELATIONS) + (count > 0 ? count - 1 : 0) * sizeof(PDEVICE_OBJECT);
    auto* relations =
        static_cast<PDEVICE_RELATIONS>(ExAllocatePoolWithTag(PagedPool, bytes, kPoolTag));
    if (relations != nullptr)
        relations->Count = 0;
    return relations;
}

NTSTATUS BusPnp(PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    if (stack->MinorFunction != IRP_MN_QUERY_DEVICE_RELATIONS ||
        stack->Parameters.QueryDeviceRelations.Type != BusRelations)
        return Complete(irp, irp->IoStatus.Status);
    PDEVICE_RELATIONS relations = Relations(USBSIM_MAX_PORTS);
    if (relations == nullptr)
        return Complete(irp, STATUS_INSUFFICIENT_RESOURCES);
    {
        BusLock lock;
        for (PORT& port : Bus->Ports) {
            CONNECTION* connection = port.Current;
            if (connection == nullptr || !connection->Present)
                continue;
            connection->Reported = TRUE;
            ObReferenceObject(connection->Pdo);
            relations->Objects[relations->Count++] = connection->Pdo;
        }
    }
    irp->IoStatus.Information = reinterpret_cast<ULONG_PTR>(relations);
    return Complete(irp, STATUS_SUCCESS);
}

NTSTATUS PdoPnp(PDEVICE_OBJECT device, PIRP irp) {
    CONNECTION& connection = *static_cast<PDO_EXTENSION*>(device->DeviceExtension)->Link;
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    NTSTATUS status = irp->IoStatus.Status;
    switch (stack->MinorFunction) {
    case IRP_MN_START_DEVICE: {
        BusLock lock;
        connection.Started = TRUE;
        status = STATUS_SUCCESS;
        break;
    }
    case IRP_MN_STOP_DEVICE: {
        BusLock lock;
        connection.Started = FALSE;
        status = STATUS_SUCCESS;
        break;
    }
    case IRP_MN_REMOVE_DEVICE: {
        bool gone;
        {
            BusLock lock;
            gone = !connection.Present;
            connection.Started = FALSE;
        }
        Complete(irp, STATUS_SUCCESS);
        // A device still on the bus keeps its PDO (the PnP manager may start it again); one that
        // left is gone for good.
        if (gone)
            ConnectionRemoved(connection);
        return STATUS_SUCCESS;
    }
    case IRP_MN_QUERY_ID: {
        PWCHAR id = nullptr;
        const NTSTATUS result = QueryId(connection, stack->Parameters.QueryId.IdType, &id);
        if (result == STATUS_NOT_SUPPORTED)
            break;
        status = result;
        if (NT_SUCCESS(result))
            irp->IoStatus.Information = reinterpret_cast<ULONG_PTR>(id);
        break;
    }
    case IRP_MN_QUERY_CAPABILITIES:
        status = sim::core::FillDeviceCapabilities(
            stack->Parameters.DeviceCapabilities.Capabilities, connection.Port->Index + 1);
        break;
    case IRP_MN_QUERY_DEVICE_TEXT:
        if (stack->Parameters.QueryDeviceText.DeviceTextType == DeviceTextDescription) {
            static const WCHAR text[] = L"USB camera (simulated)";
            PWCHAR copy = PoolText(text, sizeof(text) / sizeof(WCHAR));
            status = copy != nullptr ? STATUS_SUCCESS : STATUS_INSUFFICIENT_RESOURCES;
            irp->IoStatus.Information = reinterpret_cast<ULONG_PTR>(copy);
        }
        break;
    case IRP_MN_QUERY_DEVICE_RELATIONS:
        if (stack->Parameters.QueryDeviceRelations.Type == TargetDeviceRelation) {
            PDEVICE_RELATIONS relations = Relations(1);
            if (relations == nullptr) {
                status = STATUS_INSUFFICIENT_RESOURCES;
                break;
            }
            ObReferenceObject(device);
            relations->Objects[relations->Count++] = device;
            irp->IoStatus.Information = reinterpret_cast<ULONG_PTR>(relations);
            status = STATUS_SUCCESS;
        }
        break;
    default:
        // The other changes a PDO agrees to need nothing of this bus; anything else is not the
        // bus's to answer: the status stays as the sender set it.
        if (sim::core::PdoAgreesTo(stack->MinorFunction))
            status = STATUS_SUCCESS;
        break;
    }
    return Complete(irp, status);
}

} // namespace

NTSTATUS NTAPI DispatchPnp(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    if (*static_cast<DeviceKind*>(DeviceObject->DeviceExtension) == DeviceKind::Bus)
        return BusPnp(Irp);
    return PdoPnp(DeviceObject, Irp);
}

// Wine sends no power requests; a bus still answers them as the bottom of every stack does.
NTSTATUS NTAPI DispatchPower(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    PoStartNextPowerIrp(Irp);
    return Complete(Irp, sim::core::PdoPowerStatus(stack->MinorFunction, Irp->IoStatus.Status));
}

CONNECTION* CreateConnection(PORT& port) {
    auto* connection = static_cast<CONNECTION*>(Allocate(sizeof(CONNECTION)));
    if (connection == nullptr)
        return nullptr;
    PDEVICE_OBJECT pdo = nullptr;
    const NTSTATUS status =
        IoCreateDevice(Bus->Driver, sizeof(PDO_EXTENSION), nullptr, FILE_DEVICE_UNKNOWN,
                       FILE_AUTOGENERATED_DEVICE_NAME, FALSE, &pdo);
    if (!NT_SUCCESS(status)) {
        Free(connection);
        return nullptr;
    }
    auto* extension = static_cast<PDO_EXTENSION*>(pdo->DeviceExtension);
    extension->Kind = DeviceKind::Pdo;
    extension->Link = connection;
    ConstructConnection(*connection);
    connection->Port = &port;
    connection->Pdo = pdo;
    pdo->Flags |= DO_BUS_ENUMERATED_DEVICE | DO_POWER_PAGABLE;
    pdo->Flags &= ~DO_DEVICE_INITIALIZING;
    return connection;
}

} // namespace usbsim
