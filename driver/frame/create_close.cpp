// Open and close. Neither uses the I/O gate and no per-open state exists.
#include "frame/frame.h"

NTSTATUS DispatchCreate(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PDEVICE_EXTENSION extension = DeviceExtensionOf(DeviceObject);

    if (!ReadBooleanAcquire(&extension->Started)) {
        return CompleteRequest(Irp, STATUS_UNSUCCESSFUL, 0);
    }
    // Opens may run in several threads at once; nobody reads the count, but keep it exact.
    InterlockedIncrement((LONG volatile*)&extension->OpenCount);
    return CompleteRequest(Irp, STATUS_SUCCESS, 0);
}

NTSTATUS DispatchClose(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PDEVICE_EXTENSION extension = DeviceExtensionOf(DeviceObject);

    InterlockedDecrement((LONG volatile*)&extension->OpenCount);
    return CompleteRequest(Irp, STATUS_SUCCESS, 0);
}
