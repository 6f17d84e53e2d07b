// URB submission, the port requests and the command packet on pipe 0.
//
// A URB the driver waits for goes down in an IRP of its own (IoAllocateIrp), which stays the
// driver's until it frees it: a wait that runs out can cancel it without racing the platform's
// free of a threaded request. The port requests are threaded requests built with
// IoBuildDeviceIoControlRequest, which the platform frees when they complete.
#include "usb/usb.h"

LONG64 BulkTimeoutMs = 3000;

namespace {

// The result rule of both submission routines: a negative request status wins; a request that
// succeeded with a USB error in the URB header is a failure. The USB error itself survives only
// in LastUsbdStatus, which successful URBs never clear.
NTSTATUS ApplyResultRule(PDEVICE_EXTENSION Extension, NTSTATUS RequestStatus, PURB Urb) {
    USBD_STATUS usbdStatus = Urb->UrbHeader.Status;

    if (USBD_ERROR(usbdStatus)) {
        WriteRelease(&Extension->LastUsbdStatus, usbdStatus);
    }
    if (!NT_SUCCESS(RequestStatus)) {
        return RequestStatus;
    }
    return USBD_ERROR(usbdStatus) ? STATUS_UNSUCCESSFUL : RequestStatus;
}

// A threaded request: the platform builds it only at PASSIVE_LEVEL.
_IRQL_requires_(PASSIVE_LEVEL) _Must_inspect_result_ PIRP
    BuildInternalRequest(_In_ PDEVICE_EXTENSION Extension, _In_ ULONG IoControlCode,
                         _In_opt_ PVOID Argument1, _In_ PKEVENT Event,
                         _Out_ PIO_STATUS_BLOCK IoStatus) {
    PAGED_CODE();
    PIRP irp = IoBuildDeviceIoControlRequest(IoControlCode, Extension->LowerDeviceObject, NULL, 0,
                                             NULL, 0, TRUE, Event, IoStatus);
    if (irp != NULL) {
        IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = Argument1;
    }
    return irp;
}

// Sends one port request and waits for it without a time limit: the hub answers these itself,
// whatever the device does. When the platform cannot build the request nothing is sent and the
// caller sees STATUS_INSUFFICIENT_RESOURCES.
_IRQL_requires_(PASSIVE_LEVEL) NTSTATUS
    SendInternalRequestAndWait(_In_ PDEVICE_EXTENSION Extension, _In_ ULONG IoControlCode,
                               _In_opt_ PVOID Argument1) {
    PAGED_CODE();
    KEVENT event;
    IO_STATUS_BLOCK ioStatus;

    KeInitializeEvent(&event, NotificationEvent, FALSE);
    PIRP irp = BuildInternalRequest(Extension, IoControlCode, Argument1, &event, &ioStatus);
    if (irp == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    NTSTATUS status = IofCallDriver(Extension->LowerDeviceObject, irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&event, Suspended, KernelMode, FALSE, NULL);
        status = ioStatus.Status;
    }
    return status;
}

// What became of one URB sent and waited for.
struct URB_WAIT {
    NTSTATUS Status;  // the request's final status
    BOOLEAN Sent;     // FALSE: no IRP could be had, nothing went down
    BOOLEAN TimedOut; // the limit ran out and the request was cancelled (then waited for)
};

// Sends the URB down in an IRP of our own and waits for it at most Limit (relative, 100-ns
// units; computed by the caller). On time-out the request is cancelled and waited for without a
// limit: this never returns while the URB, and the buffer it names, are still below. With
// EndCommandStatus the end command goes out right after the URB has gone down, before the wait.
// The end command's own SubmitUrb passes no EndCommandStatus, so the chain SubmitUrb ->
// SendUrbAndWait -> SendPipeZeroCommand -> SubmitUrb stops there: two levels at the most.
_IRQL_requires_(PASSIVE_LEVEL) URB_WAIT
    // NOLINTNEXTLINE(misc-no-recursion): bounded at two levels, above
    SendUrbAndWait(_In_ PDEVICE_OBJECT DeviceObject, _Inout_ PURB Urb, _In_ LARGE_INTEGER Limit,
                   _Out_opt_ NTSTATUS* EndCommandStatus) {
    PAGED_CODE();
    PDEVICE_EXTENSION extension = DeviceExtensionOf(DeviceObject);
    URB_WAIT result = {STATUS_INSUFFICIENT_RESOURCES, FALSE, FALSE};
    KEVENT event;

    PIRP irp = IoAllocateIrp(extension->LowerDeviceObject->StackSize, FALSE);
    if (irp == NULL) {
        return result;
    }
    result.Sent = TRUE;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    // The request comes back to this thread, which frees it.
    PrepareSubmitUrbRequest(irp, Urb, ForwardCompletion, &event);

    NTSTATUS status = IofCallDriver(extension->LowerDeviceObject, irp);

    // The end command closes the framing as soon as the transfer is below us, while it may
    // still be running: the camera needs both commands around the data it is asked for.
    if (EndCommandStatus != NULL) {
        *EndCommandStatus = SendPipeZeroCommand(DeviceObject, TRUE);
    }

    if (status == STATUS_PENDING) {
        if (KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &Limit) == STATUS_TIMEOUT) {
            result.TimedOut = TRUE;
            // Never return while the URB is below: it and the caller's buffer are in use there.
            IoCancelIrp(irp);
            KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, NULL);
        }
    } else {
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, NULL);
    }
    // The completion routine has run (the event says so) and kept the request: it is ours to
    // free, and it carries its final status.
    NT_ASSERT(irp->IoStatus.Status != STATUS_PENDING);
    result.Status = irp->IoStatus.Status;
    IoFreeIrp(irp);
    return result;
}

} // namespace

_Use_decl_annotations_ LARGE_INTEGER BulkTimeoutInterval(void) {
    LARGE_INTEGER interval;
    interval.QuadPart = ReadAcquire64(&BulkTimeoutMs) * -10000;
    return interval;
}

_Use_decl_annotations_ VOID PrepareSubmitUrbRequest(PIRP Irp, PURB Urb,
                                                    PIO_COMPLETION_ROUTINE Routine, PVOID Context) {
    NONPAGED_CODE();
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(Irp);
    next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
    next->Parameters.Others.Argument1 = Urb;
    IoSetCompletionRoutine(Irp, Routine, Context, TRUE, TRUE, TRUE);
}

_Use_decl_annotations_ PURB AllocateUrb(ULONG Size, USHORT Function) {
    NONPAGED_CODE();
    PURB urb = (PURB)ExAllocatePool(NonPagedPool, Size);
    if (urb != NULL) {
        RtlZeroMemory(urb, Size);
        urb->UrbHeader.Length = (USHORT)Size;
        urb->UrbHeader.Function = Function;
    }
    return urb;
}

// NOLINTNEXTLINE(misc-no-recursion): bounded at two levels (SendUrbAndWait)
_Use_decl_annotations_ NTSTATUS SubmitUrb(PDEVICE_OBJECT DeviceObject, PURB Urb) {
    PAGED_CODE();
    LARGE_INTEGER limit;
    limit.QuadPart = -(LONGLONG)USB_REQUEST_TIMEOUT_MS * 10000;

    URB_WAIT wait = SendUrbAndWait(DeviceObject, Urb, limit, NULL);
    if (!wait.Sent) {
        // Nothing went down, so the URB header says nothing about this attempt.
        return wait.Status;
    }
    NTSTATUS status = ApplyResultRule(DeviceExtensionOf(DeviceObject), wait.Status, Urb);
    // A device that did not answer in time has failed the request, whatever the cancelled URB
    // says (its USB status is still kept as the last error); one that answered as the cancel
    // came keeps its result.
    return wait.TimedOut && !NT_SUCCESS(status) ? STATUS_IO_TIMEOUT : status;
}

_Use_decl_annotations_ NTSTATUS SubmitUrbWithTimeout(PDEVICE_OBJECT DeviceObject, PURB Urb,
                                                     NTSTATUS* EndCommandStatus) {
    PAGED_CODE();
    URB_WAIT wait = SendUrbAndWait(DeviceObject, Urb, BulkTimeoutInterval(), EndCommandStatus);
    if (!wait.Sent) {
        return wait.Status;
    }
    // The time-out itself is the result when the cancelled URB carries no error of its own.
    return ApplyResultRule(DeviceExtensionOf(DeviceObject),
                           wait.TimedOut ? STATUS_TIMEOUT : wait.Status, Urb);
}

_Use_decl_annotations_ NTSTATUS ResetPort(PDEVICE_OBJECT DeviceObject) {
    PAGED_CODE();
    return SendInternalRequestAndWait(DeviceExtensionOf(DeviceObject),
                                      IOCTL_INTERNAL_USB_RESET_PORT, NULL);
}

_Use_decl_annotations_ NTSTATUS ResetPortIfDisabled(PDEVICE_OBJECT DeviceObject) {
    PAGED_CODE();
    PDEVICE_EXTENSION extension = DeviceExtensionOf(DeviceObject);
    ULONG portStatus = 0;

    NTSTATUS status =
        SendInternalRequestAndWait(extension, IOCTL_INTERNAL_USB_GET_PORT_STATUS, &portStatus);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    if ((portStatus & USBD_PORT_ENABLED) != 0 || (portStatus & USBD_PORT_CONNECTED) == 0) {
        return status;
    }
    // Connected but not enabled: the port needs a reset before the device can answer again.
    return ResetPort(DeviceObject);
}

// NOLINTNEXTLINE(misc-no-recursion): bounded at two levels (SendUrbAndWait)
_Use_decl_annotations_ NTSTATUS SendPipeZeroCommand(PDEVICE_OBJECT DeviceObject,
                                                    BOOLEAN EndCommand) {
    PAGED_CODE();
    PDEVICE_EXTENSION extension = DeviceExtensionOf(DeviceObject);
    PUSBD_INTERFACE_INFORMATION table = extension->InterfaceInfo;

    if (table == NULL || table->NumberOfPipes == 0 || table->Pipes[0].PipeHandle == NULL) {
        return STATUS_UNSUCCESSFUL;
    }
    const USBD_PIPE_INFORMATION* pipe = &table->Pipes[0];

    PUCHAR packet = (PUCHAR)ExAllocatePool(NonPagedPool, COMMAND_PACKET_LENGTH);
    PURB urb = AllocateUrb(sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER),
                           URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER);
    if (packet == NULL || urb == NULL) {
        FreePoolIfAllocated(packet);
        FreePoolIfAllocated(urb);
        return STATUS_NO_MEMORY;
    }
    // Only byte 0 carries the command; the rest is sent as zeros rather than stale pool bytes.
    RtlZeroMemory(packet, COMMAND_PACKET_LENGTH);
    packet[0] = EndCommand ? COMMAND_END_FRAME : COMMAND_START_FRAME;

    struct _URB_BULK_OR_INTERRUPT_TRANSFER* transfer = &urb->UrbBulkOrInterruptTransfer;
    transfer->PipeHandle = pipe->PipeHandle;
    transfer->TransferFlags =
        USBD_SHORT_TRANSFER_OK | (PipeIsIn(pipe) ? USBD_TRANSFER_DIRECTION_IN : 0);
    transfer->TransferBufferLength = COMMAND_PACKET_LENGTH;
    transfer->TransferBuffer = packet;

    NTSTATUS status = SubmitUrb(DeviceObject, urb);
    ExFreePool(urb);
    ExFreePool(packet);
    return status == STATUS_TIMEOUT ? STATUS_IO_TIMEOUT : status;
}
