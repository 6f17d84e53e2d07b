// Plug and Play: start (forwarded first, then configured), stop (passed down, then
// deconfigured), query-capabilities (surprise removal is fine for this device), remove (drain
// and tear down). Every other request goes down untouched.
#include "frame/frame.h"
#include "transfer/transfer.h"
#include "usb/usb.h"

namespace {

// How long the removal waits for the requests and the stream to end before it aborts every
// pipe again.
#define REMOVE_ABORT_ROUND_MS 250

// Sends the request down and waits until every lower driver has completed it. On return the
// request is back in this driver's hands, not completed.
_IRQL_requires_(PASSIVE_LEVEL) NTSTATUS
    ForwardAndWait(_In_ PDEVICE_OBJECT DeviceObject, _Inout_ PIRP Irp) {
    PAGED_CODE();
    PDEVICE_EXTENSION extension = DeviceExtensionOf(DeviceObject);
    KEVENT event;

    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IoCopyCurrentIrpStackLocationToNext(Irp);
    IoSetCompletionRoutine(Irp, ForwardCompletion, &event, TRUE, TRUE, TRUE);
    NTSTATUS status = IofCallDriver(extension->LowerDeviceObject, Irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, NULL);
        status = Irp->IoStatus.Status;
    }
    return status;
}

NTSTATUS PassDown(PDEVICE_EXTENSION Extension, PIRP Irp) {
    IoSkipCurrentIrpStackLocation(Irp);
    return IofCallDriver(Extension->LowerDeviceObject, Irp);
}

_IRQL_requires_(PASSIVE_LEVEL) NTSTATUS
    StartDevice(_In_ PDEVICE_OBJECT DeviceObject, _Inout_ PIRP Irp) {
    PAGED_CODE();
    PDEVICE_EXTENSION extension = DeviceExtensionOf(DeviceObject);

    NTSTATUS status = ForwardAndWait(DeviceObject, Irp);
    if (!NT_SUCCESS(status)) {
        // Information stays as the lower drivers left it.
        Irp->IoStatus.Status = status;
        IofCompleteRequest(Irp, IO_NO_INCREMENT);
        return status;
    }
    status = ConfigureDevice(DeviceObject);
    CompleteRequest(Irp, status, 0);
    // Only exactly STATUS_SUCCESS starts the device; a positive status does not.
    if (status == STATUS_SUCCESS) {
        WriteBooleanRelease(&extension->Started, TRUE);
    }
    return status;
}

_IRQL_requires_(PASSIVE_LEVEL) NTSTATUS
    QueryCapabilities(_In_ PDEVICE_OBJECT DeviceObject, _Inout_ PIRP Irp) {
    PAGED_CODE();
    PDEVICE_EXTENSION extension = DeviceExtensionOf(DeviceObject);
    PDEVICE_CAPABILITIES capabilities =
        IoGetCurrentIrpStackLocation(Irp)->Parameters.DeviceCapabilities.Capabilities;

    if (capabilities->Version == 0) {
        return PassDown(extension, Irp);
    }
    NTSTATUS status = ForwardAndWait(DeviceObject, Irp);
    if (NT_SUCCESS(status)) {
        capabilities->SurpriseRemovalOK = 1;
    }
    Irp->IoStatus.Status = status;
    IofCompleteRequest(Irp, IO_NO_INCREMENT);
    return status;
}

// Aborts every pipe of the current table: the transfers that would hold the removal's drain up
// end. The aborts must not wait behind an interface selection that is itself waiting for one of
// those transfers.
_IRQL_requires_(PASSIVE_LEVEL) VOID AbortEveryPipe(_In_ PDEVICE_OBJECT DeviceObject) {
    PAGED_CODE();
    PDEVICE_EXTENSION extension = DeviceExtensionOf(DeviceObject);
    PipeTableLockSharedStarveExclusive(extension);
    PUSBD_INTERFACE_INFORMATION table = extension->InterfaceInfo;
    if (table != NULL) {
        for (ULONG i = 0; i < table->NumberOfPipes; i++) {
            AbortPipe(DeviceObject, table->Pipes[i].PipeHandle);
        }
    }
    PipeTableUnlock(extension);
}

// Waits for Event, aborting every pipe again after each round it stays unsignalled. A request
// admitted before the gate closed may still have been waiting for a lock at the first aborts
// (behind a stuck transfer, or an interface selection queued behind one) and hand its URBs down
// afterwards; a stream may start that way too. Nothing else would end those URBs.
_IRQL_requires_(PASSIVE_LEVEL) VOID
    WaitAbortingLateTransfers(_In_ PDEVICE_OBJECT DeviceObject, _In_ PKEVENT Event) {
    PAGED_CODE();
    LARGE_INTEGER round;
    round.QuadPart = -(LONGLONG)REMOVE_ABORT_ROUND_MS * 10000;
    while (KeWaitForSingleObject(Event, Executive, KernelMode, FALSE, &round) == STATUS_TIMEOUT) {
        AbortEveryPipe(DeviceObject);
    }
}

// Tears the device down: closes the gate, ends the transfers other threads wait on, waits for
// every admitted request to leave, frees what the record owns, deletes the link and the device
// object, and passes the request down.
_IRQL_requires_(PASSIVE_LEVEL) NTSTATUS
    RemoveDevice(_In_ PDEVICE_OBJECT DeviceObject, _Inout_ PIRP Irp) {
    PAGED_CODE();
    PDEVICE_EXTENSION extension = DeviceExtensionOf(DeviceObject);

    WriteBooleanRelease(&extension->RemovePending, TRUE);
    // A running stream ends at its slots' next completions instead of resubmitting.
    RequestStreamStop(DeviceObject);
    AbortEveryPipe(DeviceObject);

    // Once for this request's own entry, once for the count AddDevice gave the device.
    IoGateLeave(DeviceObject);
    IoGateLeave(DeviceObject);
    WaitAbortingLateTransfers(DeviceObject, &extension->NoIoEvent);
    // The stream outlives its requests: no completion may touch the device after it is deleted.
    // A stream whose start came after the first aborts has slots below that only an abort ends.
    WaitAbortingLateTransfers(DeviceObject, &extension->StreamEndedEvent);
    WaitForStreamEnd(DeviceObject);

    FreePoolIfAllocated(extension->DeviceDescriptor);
    extension->DeviceDescriptor = NULL;
    FreePoolIfAllocated(extension->InterfaceInfo);
    extension->InterfaceInfo = NULL;
    if (extension->LinkCreated) {
        UNICODE_STRING linkName;
        extension->LinkCreated = FALSE;
        RtlInitUnicodeString(&linkName, extension->SymbolicLinkName);
        IoDeleteSymbolicLink(&linkName);
    }
    ExDeleteResourceLite(&extension->PipeTableLock);

    PDEVICE_OBJECT lowerDevice = extension->LowerDeviceObject;
    IoDetachDevice(lowerDevice);
    IoDeleteDevice(DeviceObject);
    // The extension is gone; the request goes to the device taken before the delete.
    IoSkipCurrentIrpStackLocation(Irp);
    return IofCallDriver(lowerDevice, Irp);
}

} // namespace

_Use_decl_annotations_ NTSTATUS ForwardCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp,
                                                  PVOID Context) {
    NONPAGED_CODE();
    (void)DeviceObject;
    (void)Irp;
    KeSetEvent((PKEVENT)Context, IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

_Use_decl_annotations_ NTSTATUS DispatchPnp(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PAGED_CODE();
    PDEVICE_EXTENSION extension = DeviceExtensionOf(DeviceObject);
    NTSTATUS status;

    if (!IoGateEnter(DeviceObject)) {
        return CompleteRequest(Irp, STATUS_DELETE_PENDING, 0);
    }

    switch (IoGetCurrentIrpStackLocation(Irp)->MinorFunction) {
    case IRP_MN_START_DEVICE:
        status = StartDevice(DeviceObject, Irp);
        break;
    case IRP_MN_REMOVE_DEVICE:
        // RemoveDevice leaves the gate itself, before its drain.
        return RemoveDevice(DeviceObject, Irp);
    case IRP_MN_STOP_DEVICE: {
        // The stop goes down first. The answer is the unconfiguration's, unless the stop is
        // still below: a request handed down and not yet finished is answered as pending.
        NTSTATUS passed = PassDown(extension, Irp);
        status = DeconfigureDevice(DeviceObject);
        if (passed == STATUS_PENDING) {
            status = STATUS_PENDING;
        }
        break;
    }
    case IRP_MN_QUERY_CAPABILITIES:
        status = QueryCapabilities(DeviceObject, Irp);
        break;
    default:
        status = PassDown(extension, Irp);
        break;
    }
    IoGateLeave(DeviceObject);
    return status;
}
