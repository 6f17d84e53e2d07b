// Single bulk and interrupt transfers.
#include "transfer/transfer.h"
#include "usb/usb.h"

#define IMAGE_PIPE_INDEX 2

_Use_decl_annotations_ NTSTATUS BulkTransfer(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PAGED_CODE();
    PDEVICE_EXTENSION extension = DeviceExtensionOf(DeviceObject);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    const UCHAR* input = (const UCHAR*)Irp->AssociatedIrp.SystemBuffer;
    ULONG pipeIndex = ReadUlongLe(input);
    ULONG length = stack->Parameters.DeviceIoControl.OutputBufferLength;
    PUSBD_PIPE_INFORMATION pipe;

    // The table stays ours until the transfer is back: its handle names the pipe below.
    PipeTableLockShared(extension);
    NTSTATUS status = DataPipeByIndex(extension, pipeIndex, FALSE, &pipe);
    // The write code's buffer is locked for reading only: an IN pipe would fill it.
    if (NT_SUCCESS(status) &&
        (length > pipe->MaximumTransferSize || (OutputBufferIsReadOnly(Irp) && PipeIsIn(pipe)))) {
        status = STATUS_INVALID_PARAMETER;
    }
    if (!NT_SUCCESS(status)) {
        PipeTableUnlock(extension);
        return status;
    }

    // The direction is the endpoint's (the write code takes only OUT pipes). An image read is
    // framed by the two commands on pipe 0.
    BOOLEAN in = PipeIsIn(pipe);
    BOOLEAN wrapWithCommands = in && pipeIndex == IMAGE_PIPE_INDEX;

    // Taken before the start command: a start with no read and no end after it would leave the
    // camera in the middle of a frame.
    PURB urb = AllocateUrb(sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER),
                           URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER);
    if (urb == NULL) {
        PipeTableUnlock(extension);
        return STATUS_NO_MEMORY;
    }
    // Without its start command the camera sends nothing: the read would only wait out its time
    // limit, so the command's failure is the answer.
    if (wrapWithCommands) {
        status = SendPipeZeroCommand(DeviceObject, FALSE);
        if (!NT_SUCCESS(status)) {
            ExFreePool(urb);
            PipeTableUnlock(extension);
            return status;
        }
    }
    struct _URB_BULK_OR_INTERRUPT_TRANSFER* transfer = &urb->UrbBulkOrInterruptTransfer;
    transfer->PipeHandle = pipe->PipeHandle;
    transfer->TransferFlags = USBD_SHORT_TRANSFER_OK | (in ? USBD_TRANSFER_DIRECTION_IN : 0);
    transfer->TransferBufferLength = length;
    transfer->TransferBufferMDL = length != 0 ? Irp->MdlAddress : NULL;

    NTSTATUS endStatus = STATUS_SUCCESS;
    status = SubmitUrbWithTimeout(DeviceObject, urb, wrapWithCommands ? &endStatus : NULL);
    // A frame whose end command was lost leaves the camera framing still: the next read would
    // fail. The caller hears it now, with this read.
    if (NT_SUCCESS(status) && !NT_SUCCESS(endStatus)) {
        status = endStatus;
    }
    if (NT_SUCCESS(status)) {
        // The bytes actually moved: a short IN transfer ends without error.
        Irp->IoStatus.Information =
            transfer->TransferBufferLength < length ? transfer->TransferBufferLength : length;
    }
    ExFreePool(urb);
    PipeTableUnlock(extension);
    return status == STATUS_TIMEOUT ? STATUS_IO_TIMEOUT : status;
}
