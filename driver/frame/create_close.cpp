// Open and close. No per-open state exists; only the stream stop at the last close uses the I/O
// gate.
#include "frame/frame.h"
#include "transfer/transfer.h"

_Use_decl_annotations_ NTSTATUS DispatchCreate(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PAGED_CODE();
    PDEVICE_EXTENSION extension = DeviceExtensionOf(DeviceObject);

    if (!ReadBooleanAcquire(&extension->Started)) {
        return CompleteRequest(Irp, STATUS_UNSUCCESSFUL, 0);
    }
    // Opens may run in several threads at once; nobody reads the count, but keep it exact.
    InterlockedIncrement((LONG volatile*)&extension->OpenCount);
    return CompleteRequest(Irp, STATUS_SUCCESS, 0);
}

_Use_decl_annotations_ NTSTATUS DispatchClose(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PAGED_CODE();
    PDEVICE_EXTENSION extension = DeviceExtensionOf(DeviceObject);

    // With the last handle gone nobody can read or stop a running stream any more: it ends now
    // rather than keep its non-paged buffers and URBs for whoever opens the camera next. This
    // happens at close, not cleanup: a platform need not send IRP_MJ_CLEANUP (Wine's does not),
    // and by close every request of the handle has ended. The stop goes through the I/O gate: a
    // close can come after removal (handles outlive the device), and removal ends the stream
    // itself; while the stop runs, removal waits for it.
    // A close comes once for each create that succeeded, so the count never goes below zero.
    LONG remaining = InterlockedDecrement((LONG volatile*)&extension->OpenCount);
    NT_ASSERT(remaining >= 0);
    if (remaining == 0 && IoGateEnter(DeviceObject)) {
        if (StreamExists(extension)) {
            StopIsoStream(DeviceObject);
        }
        IoGateLeave(DeviceObject);
    }
    return CompleteRequest(Irp, STATUS_SUCCESS, 0);
}
