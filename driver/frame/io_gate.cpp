// The I/O gate: a count of requests in progress and a flag that closes it.
//
// IoGateEnter counts the request before it looks at RemovePending, so a request that passes the
// test is already counted when RemoveDevice starts its drain, and the drain waits for it.
#include "frame/frame.h"

_Use_decl_annotations_ BOOLEAN IoGateEnter(PDEVICE_OBJECT DeviceObject) {
    NONPAGED_CODE();
    PDEVICE_EXTENSION extension = DeviceExtensionOf(DeviceObject);

    InterlockedIncrement(&extension->IoCount);
    if (!ReadBooleanAcquire(&extension->RemovePending)) {
        return TRUE;
    }
    // Refused: undo our own count. If that was the last one, the drain is waiting for us.
    LONG remaining = InterlockedDecrement(&extension->IoCount);
    NT_ASSERT(remaining >= 0);
    if (remaining == 0) {
        KeSetEvent(&extension->NoIoEvent, IO_NO_INCREMENT, FALSE);
    }
    return FALSE;
}

_Use_decl_annotations_ VOID IoGateLeave(PDEVICE_OBJECT DeviceObject) {
    NONPAGED_CODE();
    PDEVICE_EXTENSION extension = DeviceExtensionOf(DeviceObject);

    // One leave per admitted entry, and one for the device's own count at removal: a count
    // below zero is a leave without its entry, and the drain would already have let removal on.
    LONG remaining = InterlockedDecrement(&extension->IoCount);
    NT_ASSERT(remaining >= 0);
    if (remaining == 0) {
        KeSetEvent(&extension->NoIoEvent, IO_NO_INCREMENT, FALSE);
    }
}

_Use_decl_annotations_ NTSTATUS CompleteRequest(PIRP Irp, NTSTATUS Status, ULONG_PTR Information) {
    NONPAGED_CODE();
    NT_ASSERT(Status != STATUS_PENDING);
    Irp->IoStatus.Status = Status;
    Irp->IoStatus.Information = Information;
    IofCompleteRequest(Irp, IO_NO_INCREMENT);
    return Status;
}
