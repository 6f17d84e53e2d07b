// URB submission, the port requests and the command packet on pipe 0.
//
// Every request here is a synchronous internal device control request built with
// IoBuildDeviceIoControlRequest: the platform frees it when it completes, after it has filled the
// status block and set the event on our stack. The driver never frees it.
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

PIRP BuildInternalRequest(PDEVICE_EXTENSION Extension, ULONG IoControlCode, PVOID Argument1,
                          PKEVENT Event, PIO_STATUS_BLOCK IoStatus) {
    PIRP irp = IoBuildDeviceIoControlRequest(IoControlCode, Extension->LowerDeviceObject, NULL, 0,
                                             NULL, 0, TRUE, Event, IoStatus);
    if (irp != NULL) {
        IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = Argument1;
    }
    return irp;
}

// Sends one internal request and waits for it without a time limit. When the platform cannot
// build the request nothing is sent and the caller sees STATUS_INSUFFICIENT_RESOURCES.
NTSTATUS SendInternalRequestAndWait(PDEVICE_EXTENSION Extension, ULONG IoControlCode,
                                    PVOID Argument1, BOOLEAN* Sent) {
    KEVENT event;
    IO_STATUS_BLOCK ioStatus;

    KeInitializeEvent(&event, NotificationEvent, FALSE);
    PIRP irp = BuildInternalRequest(Extension, IoControlCode, Argument1, &event, &ioStatus);
    *Sent = irp != NULL;
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

IO_COMPLETION_ROUTINE TimedUrbCompletion;

// Takes a time-limited request back for its waiting thread, which frees it.
NTSTATUS TimedUrbCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
    (void)DeviceObject;
    (void)Irp;
    KeSetEvent((PKEVENT)Context, IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

} // namespace

LARGE_INTEGER BulkTimeoutInterval(void) {
    LARGE_INTEGER interval;
    interval.QuadPart = ReadAcquire64(&BulkTimeoutMs) * -10000;
    return interval;
}

VOID PrepareSubmitUrbRequest(PIRP Irp, PURB Urb, PIO_COMPLETION_ROUTINE Routine, PVOID Context) {
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(Irp);
    next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
    next->Parameters.Others.Argument1 = Urb;
    IoSetCompletionRoutine(Irp, Routine, Context, TRUE, TRUE, TRUE);
}

PURB AllocateUrb(ULONG Size, USHORT Function) {
    PURB urb = (PURB)ExAllocatePool(NonPagedPool, Size);
    if (urb != NULL) {
        RtlZeroMemory(urb, Size);
        urb->UrbHeader.Length = (USHORT)Size;
        urb->UrbHeader.Function = Function;
    }
    return urb;
}

NTSTATUS SubmitUrb(PDEVICE_OBJECT DeviceObject, PURB Urb) {
    PDEVICE_EXTENSION extension = DeviceExtensionOf(DeviceObject);
    BOOLEAN sent;

    NTSTATUS status =
        SendInternalRequestAndWait(extension, IOCTL_INTERNAL_USB_SUBMIT_URB, Urb, &sent);
    if (!sent) {
        // Nothing went down, so the URB header says nothing about this attempt.
        return status;
    }
    return ApplyResultRule(extension, status, Urb);
}

NTSTATUS SubmitUrbWithTimeout(PDEVICE_OBJECT DeviceObject, PURB Urb, PIRP CallerIrp,
                              BOOLEAN SendEndCommand) {
    PDEVICE_EXTENSION extension = DeviceExtensionOf(DeviceObject);
    KEVENT event;

    // A request of our own rather than a threaded one: the platform frees a threaded request the
    // moment it completes, which can fall between a timed-out wait and the cancel. This one stays
    // ours until we free it, so the cancel can never reach a freed request.
    PIRP irp = IoAllocateIrp(extension->LowerDeviceObject->StackSize, FALSE);
    if (irp == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    PrepareSubmitUrbRequest(irp, Urb, TimedUrbCompletion, &event);

    NTSTATUS status = IofCallDriver(extension->LowerDeviceObject, irp);

    // The end command closes the framing as soon as the transfer is below us, while it may
    // still be running: the camera needs both commands around the data it is asked for.
    if (SendEndCommand) {
        SendPipeZeroCommand(DeviceObject, CallerIrp, TRUE);
    }

    LARGE_INTEGER interval = BulkTimeoutInterval();
    NTSTATUS waitStatus = STATUS_SUCCESS;
    if (status == STATUS_PENDING) {
        waitStatus = KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &interval);
        if (waitStatus == STATUS_TIMEOUT) {
            // Never return while the URB is below: it and the caller's buffer are in use there.
            IoCancelIrp(irp);
            KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, NULL);
        }
    } else {
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, NULL);
    }
    status = irp->IoStatus.Status;
    IoFreeIrp(irp);
    return ApplyResultRule(extension, waitStatus != STATUS_SUCCESS ? waitStatus : status, Urb);
}

NTSTATUS ResetPort(PDEVICE_OBJECT DeviceObject) {
    BOOLEAN sent;
    return SendInternalRequestAndWait(DeviceExtensionOf(DeviceObject),
                                      IOCTL_INTERNAL_USB_RESET_PORT, NULL, &sent);
}

NTSTATUS ResetPortIfDisabled(PDEVICE_OBJECT DeviceObject) {
    PDEVICE_EXTENSION extension = DeviceExtensionOf(DeviceObject);
    ULONG portStatus = 0;
    BOOLEAN sent;

    NTSTATUS status = SendInternalRequestAndWait(extension, IOCTL_INTERNAL_USB_GET_PORT_STATUS,
                                                 &portStatus, &sent);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    if ((portStatus & USBD_PORT_ENABLED) != 0 || (portStatus & USBD_PORT_CONNECTED) == 0) {
        return status;
    }
    // Connected but not enabled: the port needs a reset before the device can answer again.
    return ResetPort(DeviceObject);
}

NTSTATUS SendPipeZeroCommand(PDEVICE_OBJECT DeviceObject, PIRP Irp, BOOLEAN EndCommand) {
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
        if (packet != NULL) {
            ExFreePool(packet);
        }
        if (urb != NULL) {
            ExFreePool(urb);
        }
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
    if (NT_SUCCESS(status) && Irp != NULL) {
        Irp->IoStatus.Information = transfer->TransferBufferLength;
    }
    ExFreePool(urb);
    ExFreePool(packet);
    return status == STATUS_TIMEOUT ? STATUS_IO_TIMEOUT : status;
}
