// The I/O gate: a count of requests in progress and a flag that closes it.
//
// IoGateEnter counts the request before it looks at RemovePending, so a request that passes the
// test is already counted when RemoveDevice starts its drain, and the drain waits for it.
#include "frame/frame.h"

BOOLEAN IoGateEnter(PDEVICE_OBJECT DeviceObject) {
    PDEVICE_EXTENSION extension = DeviceExtensionOf(DeviceObject);

    InterlockedIncrement(&extension->IoCount);
    if (!ReadBooleanAcquire(&extension->RemovePending)) {
        return TRUE;
    }
    // Refused: undo our own count. If that was the last one, the drain is waiting for us.
    if (InterlockedDecrement(&extension->IoCount) == 0) {
        KeSetEvent(&extension->NoIoEvent, IO_NO_INCREMENT, FALSE);
    }
    return FALSE;
}

VOID IoGateLeave(PDEVICE_OBJECT DeviceObject) {
    PDEVICE_EXTENSION extension = DeviceExtensionOf(DeviceObject);

    if (InterlockedDecrement(&extension->IoCount) == 0) {
        KeSetEvent(&extension->NoIoEvent, IO_NO_INCREMENT, FALSE);
    }
}

NTSTATUS CompleteRequest(PIRP Irp, NTSTATUS Status, ULONG_PTR Information) {
    Irp->IoStatus.Status = Status;
    Irp->IoStatus.Information = Information;
    IofCompleteRequest(Irp, IO_NO_INCREMENT);
    return Status;
}
