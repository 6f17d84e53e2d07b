// DriverEntry of usbsim.sys: the bus device with its control link, the stand-ins for the
// routines Wine only stubs, and the bus's worker thread. The bus has no unload routine: it stays
// until the Wine server that runs it ends.
#include "wine/bus/bus.h"

namespace usbsim {

BUS* Bus;

void* Allocate(SIZE_T bytes) {
    void* block = ExAllocatePoolWithTag(NonPagedPool, bytes, kPoolTag);
    if (block != nullptr)
        RtlZeroMemory(block, bytes);
    return block;
}

void Free(void* block) {
    if (block != nullptr)
        ExFreePoolWithTag(block, kPoolTag);
}

LONG64 Now() {
    LARGE_INTEGER frequency;
    const LARGE_INTEGER counter = KeQueryPerformanceCounter(&frequency);
    const LONG64 f = frequency.QuadPart;
    return (counter.QuadPart / f) * 10'000'000 + (counter.QuadPart % f) * 10'000'000 / f;
}

} // namespace usbsim

extern "C" DRIVER_INITIALIZE DriverEntry;

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath) {
    using namespace usbsim;
    Bus = static_cast<BUS*>(Allocate(sizeof(BUS)));
    if (Bus == nullptr)
        return STATUS_INSUFFICIENT_RESOURCES;
    Bus->Driver = DriverObject;
    KeInitializeSpinLock(&Bus->Lock);
    KeInitializeEvent(&Bus->Wake, SynchronizationEvent, FALSE);
    for (ULONG i = 0; i < USBSIM_MAX_PORTS; ++i)
        Bus->Ports[i].Index = i;
    Bus->NextAddress = 1;

    DriverObject->MajorFunction[IRP_MJ_CREATE] = DispatchCreateClose;
    DriverObject->MajorFunction[IRP_MJ_CLOSE] = DispatchCreateClose;
    DriverObject->MajorFunction[IRP_MJ_DEVICE_CONTROL] = DispatchDeviceControl;
    DriverObject->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = DispatchInternalDeviceControl;
    DriverObject->MajorFunction[IRP_MJ_PNP] = DispatchPnp;
    DriverObject->MajorFunction[IRP_MJ_POWER] = DispatchPower;

    InitialiseCapture();
    NTSTATUS status = StartCore();
    if (!NT_SUCCESS(status)) {
        Free(Bus);
        return status;
    }
    // Without the stand-ins the first chunked transfer would end the process: no bus then.
    status = InstallStandIns();
    if (!NT_SUCCESS(status)) {
        Free(Bus);
        return status;
    }

    UNICODE_STRING name;
    RtlInitUnicodeString(&name, L"\\Device\\UsbSim");
    PDEVICE_OBJECT device = nullptr;
    status = IoCreateDevice(DriverObject, sizeof(BUS_EXTENSION), &name, FILE_DEVICE_BUS_EXTENDER,
                            FILE_DEVICE_SECURE_OPEN, FALSE, &device);
    if (!NT_SUCCESS(status)) {
        Free(Bus);
        return status;
    }
    static_cast<BUS_EXTENSION*>(device->DeviceExtension)->Kind = DeviceKind::Bus;
    UNICODE_STRING link;
    RtlInitUnicodeString(&link, L"\\DosDevices\\UsbSim");
    status = IoCreateSymbolicLink(&link, &name);
    if (!NT_SUCCESS(status)) {
        IoDeleteDevice(device);
        Free(Bus);
        return status;
    }
    Bus->Device = device;
    status = StartWorker();
    if (!NT_SUCCESS(status)) {
        IoDeleteSymbolicLink(&link);
        IoDeleteDevice(device);
        Free(Bus);
        return status;
    }
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}
