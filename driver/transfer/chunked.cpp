// Chunked bulk transfer: one large buffer cut into pieces of at most 64 KiB, all handed to the
// lower driver at once so that the host controller holds the whole transfer queued.
//
// The operation owns every piece's IRP, MDL and URB from allocation until it frees them after
// the last piece has come back; a piece's completion only counts it. So the cancel pass can hand
// IoCancelIrp any piece that went down without racing a free, and the operation never returns
// while a partial MDL over the caller's buffer is still below.
#include "transfer/transfer.h"
#include "usb/usb.h"

typedef struct _CHUNK_CONTEXT {
    PURB Urb;
    PDEVICE_OBJECT DeviceObject;
    PIRP Irp;
    PMDL Mdl;
} CHUNK_CONTEXT, *PCHUNK_CONTEXT;

namespace {

IO_COMPLETION_ROUTINE ChunkCompletion;

// Counts one piece back: adds what it moved when it succeeded; the last one signals the done
// event, and so does the first piece the bus failed. A host controller halts a pipe whose
// transfer failed: the pieces behind it would wait for the time limit, and the caller would hear
// a time-out instead of the error. Runs at up to DISPATCH_LEVEL, possibly before IofCallDriver
// has returned. The IRP stays with the operation (STATUS_MORE_PROCESSING_REQUIRED).
_Use_decl_annotations_ NTSTATUS ChunkCompletion(PDEVICE_OBJECT Unused, PIRP Irp, PVOID Context) {
    NONPAGED_CODE();
    PCHUNK_CONTEXT entry = (PCHUNK_CONTEXT)Context;
    PDEVICE_EXTENSION extension = DeviceExtensionOf(entry->DeviceObject);
    (void)Unused;

    KIRQL oldIrql = KeAcquireSpinLockRaiseToDpc(&extension->ChunkLock);
    if (NT_SUCCESS(Irp->IoStatus.Status)) {
        extension->ChunkedBytesDone += entry->Urb->UrbBulkOrInterruptTransfer.TransferBufferLength;
    } else if (Irp->IoStatus.Status != STATUS_CANCELLED && !extension->ChunkPieceFailed &&
               !ReadBooleanAcquire(&extension->RemovePending)) {
        extension->ChunkPieceFailed = TRUE;
        KeSetEvent(&extension->ChunkDoneEvent, EVENT_INCREMENT, FALSE);
    }
    // Each piece handed down comes back once, and the count was set before the first went.
    NT_ASSERT(extension->ChunksOutstanding > 0);
    extension->ChunksOutstanding--;
    if (extension->ChunksOutstanding == 0) {
        KeSetEvent(&extension->ChunkDoneEvent, EVENT_INCREMENT, FALSE);
    }
    KeReleaseSpinLock(&extension->ChunkLock, oldIrql);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

_IRQL_requires_max_(DISPATCH_LEVEL) VOID FreePiece(_Inout_ PCHUNK_CONTEXT Entry) {
    NONPAGED_CODE();
    if (Entry->Mdl != NULL) {
        if (Entry->Irp != NULL) {
            Entry->Irp->MdlAddress = NULL;
        }
        IoFreeMdl(Entry->Mdl);
    }
    if (Entry->Irp != NULL) {
        IoFreeIrp(Entry->Irp);
    }
    FreePoolIfAllocated(Entry->Urb);
    Entry->Mdl = NULL;
    Entry->Irp = NULL;
    Entry->Urb = NULL;
}

// Builds piece Index over [Offset, Offset + Length) of the caller's buffer. FALSE when an
// allocation fails; whatever was built for the piece is then freed.
_IRQL_requires_max_(DISPATCH_LEVEL) _Must_inspect_result_ BOOLEAN
    BuildPiece(_In_ PDEVICE_OBJECT DeviceObject, _Out_ PCHUNK_CONTEXT Entry, _In_ PMDL CallerMdl,
               _In_ PUSBD_PIPE_INFORMATION Pipe, _In_ ULONG Offset, _In_ ULONG Length) {
    NONPAGED_CODE();
    PDEVICE_EXTENSION extension = DeviceExtensionOf(DeviceObject);
    PUCHAR virtualAddress = (PUCHAR)MmGetMdlVirtualAddress(CallerMdl);

    Entry->DeviceObject = DeviceObject;
    Entry->Irp = IoAllocateIrp((CCHAR)(extension->LowerDeviceObject->StackSize + 1), FALSE);
    if (Entry->Irp != NULL) {
        // Sized for this piece alone: an MDL over the whole buffer for every piece would take
        // page arrays quadratic in the buffer's length (128 MiB of them for a 64 MiB read).
        Entry->Mdl = IoAllocateMdl(virtualAddress + Offset, Length, FALSE, FALSE, Entry->Irp);
    }
    Entry->Urb = AllocateUrb(sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER),
                             URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER);
    if (Entry->Irp == NULL || Entry->Mdl == NULL || Entry->Urb == NULL) {
        FreePiece(Entry);
        return FALSE;
    }
    IoBuildPartialMdl(CallerMdl, Entry->Mdl, virtualAddress + Offset, Length);

    struct _URB_BULK_OR_INTERRUPT_TRANSFER* transfer = &Entry->Urb->UrbBulkOrInterruptTransfer;
    transfer->PipeHandle = Pipe->PipeHandle;
    transfer->TransferFlags =
        USBD_SHORT_TRANSFER_OK | (PipeIsIn(Pipe) ? USBD_TRANSFER_DIRECTION_IN : 0);
    transfer->TransferBufferLength = MmGetMdlByteCount(Entry->Mdl);
    transfer->TransferBufferMDL = Entry->Mdl;

    PrepareSubmitUrbRequest(Entry->Irp, Entry->Urb, ChunkCompletion, Entry);
    return TRUE;
}

// TRUE when the done event came from a failed piece while others are still below. The event is
// cleared under the lock, so that it comes again only when the last piece is back (a failure
// signals once per transfer).
_IRQL_requires_max_(DISPATCH_LEVEL) _Must_inspect_result_ BOOLEAN
    PieceFailedBeforeTheRest(_In_ PDEVICE_EXTENSION Extension) {
    NONPAGED_CODE();
    KIRQL oldIrql = KeAcquireSpinLockRaiseToDpc(&Extension->ChunkLock);
    BOOLEAN early = Extension->ChunkPieceFailed && Extension->ChunksOutstanding > 0;
    if (early) {
        KeClearEvent(&Extension->ChunkDoneEvent);
    }
    KeReleaseSpinLock(&Extension->ChunkLock, oldIrql);
    return early;
}

_IRQL_requires_max_(DISPATCH_LEVEL) _Must_inspect_result_ ULONG
    ReadChunkCounter(_In_ PDEVICE_EXTENSION Extension, _In_ ULONG* Counter) {
    NONPAGED_CODE();
    KIRQL oldIrql = KeAcquireSpinLockRaiseToDpc(&Extension->ChunkLock);
    ULONG value = *Counter;
    KeReleaseSpinLock(&Extension->ChunkLock, oldIrql);
    return value;
}

// What the pieces left in the caller's buffer, once every one of them is back. The data is the
// caller's from the buffer's start up to the first piece that did not move all its bytes. That
// piece having failed fails the transfer (with its status by the submission rule, its USB error
// kept as the last error); so does any later piece that moved data, which would leave a hole
// before it. Otherwise the transfer succeeds with the bytes up to and including that short
// piece, as a single read that ends short does. *Moved is never more than the buffer holds.
_IRQL_requires_max_(DISPATCH_LEVEL) _Must_inspect_result_ NTSTATUS
    CollectPieces(_In_ PDEVICE_EXTENSION Extension, _In_reads_(Pieces) PCHUNK_CONTEXT Contexts,
                  _In_ ULONG Pieces, _In_ ULONG Length, _Out_ ULONG* Moved) {
    NONPAGED_CODE();
    ULONG contiguous = 0;
    BOOLEAN ended = FALSE;
    BOOLEAN errorKept = FALSE;
    NTSTATUS status = STATUS_SUCCESS;

    *Moved = 0;
    for (ULONG i = 0; i < Pieces; i++) {
        ULONG offset = i * CHUNK_SIZE;
        ULONG pieceLength = Length - offset < CHUNK_SIZE ? Length - offset : CHUNK_SIZE;
        NTSTATUS pieceStatus = Contexts[i].Irp->IoStatus.Status;
        USBD_STATUS usbdStatus = Contexts[i].Urb->UrbHeader.Status;
        ULONG pieceMoved = Contexts[i].Urb->UrbBulkOrInterruptTransfer.TransferBufferLength;
        if (pieceMoved > pieceLength) {
            pieceMoved = pieceLength;
        }
        BOOLEAN failed = !NT_SUCCESS(pieceStatus) || USBD_ERROR(usbdStatus);
        // The pieces cancelled behind a failed one must not hide its error.
        if (USBD_ERROR(usbdStatus) && (!errorKept || usbdStatus != USBD_STATUS_CANCELED)) {
            WriteRelease(&Extension->LastUsbdStatus, usbdStatus);
            errorKept = TRUE;
        }
        if (ended) {
            if (!failed && pieceMoved != 0 && NT_SUCCESS(status)) {
                status = STATUS_DEVICE_DATA_ERROR;
            }
            continue;
        }
        if (failed) {
            status = NT_SUCCESS(pieceStatus) ? STATUS_UNSUCCESSFUL : pieceStatus;
            ended = TRUE;
            continue;
        }
        contiguous += pieceMoved;
        ended = pieceMoved < pieceLength;
    }
    if (NT_SUCCESS(status)) {
        *Moved = contiguous;
    }
    return status;
}

// After a failed hand-over the pipe may be halted; a failed reset means the port may be down.
_IRQL_requires_(PASSIVE_LEVEL) VOID
    RecoverPipe(_In_ PDEVICE_OBJECT DeviceObject, _In_ PUSBD_PIPE_INFORMATION Pipe) {
    PAGED_CODE();
    PURB urb = AllocateUrb(sizeof(struct _URB_PIPE_REQUEST), URB_FUNCTION_RESET_PIPE);
    NTSTATUS status = STATUS_INSUFFICIENT_RESOURCES;
    if (urb != NULL) {
        urb->UrbPipeRequest.PipeHandle = Pipe->PipeHandle;
        status = SubmitUrb(DeviceObject, urb);
        ExFreePool(urb);
    }
    if (!NT_SUCCESS(status)) {
        ResetPortIfDisabled(DeviceObject);
    }
}

} // namespace

_Use_decl_annotations_ NTSTATUS ChunkedTransfer(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PAGED_CODE();
    PDEVICE_EXTENSION extension = DeviceExtensionOf(DeviceObject);
    const UCHAR* input = (const UCHAR*)Irp->AssociatedIrp.SystemBuffer;
    ULONG pipeIndex = ReadUlongLe(input);
    PMDL callerMdl = Irp->MdlAddress;
    ULONG length = MmGetMdlByteCount(callerMdl);
    PUSBD_PIPE_INFORMATION pipe;

    PipeTableLockShared(extension);
    NTSTATUS status = DataPipeByIndex(extension, pipeIndex, FALSE, &pipe);
    // The write code's buffer is locked for reading only: an IN pipe would fill it. And every
    // piece holds an IRP, an MDL and a URB of non-paged pool until the transfer ends, so the
    // length a caller may ask for is bounded.
    if (NT_SUCCESS(status) &&
        ((OutputBufferIsReadOnly(Irp) && PipeIsIn(pipe)) || length > TOVRIK_CHUNKED_MAX_LENGTH)) {
        status = STATUS_INVALID_PARAMETER;
    }
    if (!NT_SUCCESS(status)) {
        PipeTableUnlock(extension);
        return status;
    }
    // The transfer fields exist once per device: one chunked transfer at a time, for its whole run.
    KeWaitForSingleObject(&extension->ChunkedTransferLock, Executive, KernelMode, FALSE, NULL);

    KeInitializeEvent(&extension->ChunkDoneEvent, NotificationEvent, FALSE);
    ULONG pieces = (length >> 16) + ((length & 0xFFFF) != 0 ? 1 : 0);
    ULONG arrayBytes = (pieces + 1) * sizeof(CHUNK_CONTEXT);
    PCHUNK_CONTEXT contexts = (PCHUNK_CONTEXT)ExAllocatePool(NonPagedPool, arrayBytes);
    if (contexts == NULL) {
        KeSetEvent(&extension->ChunkedTransferLock, IO_NO_INCREMENT, FALSE);
        PipeTableUnlock(extension);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlZeroMemory(contexts, arrayBytes);

    KIRQL oldIrql = KeAcquireSpinLockRaiseToDpc(&extension->ChunkLock);
    extension->ChunkContexts = contexts;
    extension->ChunkedBytesDone = 0;
    extension->ChunkPieceFailed = FALSE;
    // The full count before the first piece goes down: an early completion cannot reach 0.
    extension->ChunksOutstanding = pieces;
    KeReleaseSpinLock(&extension->ChunkLock, oldIrql);

    // Without its start command the camera sends nothing: no piece goes down, and the command's
    // failure is the answer.
    status = SendPipeZeroCommand(DeviceObject, FALSE);
    if (!NT_SUCCESS(status)) {
        oldIrql = KeAcquireSpinLockRaiseToDpc(&extension->ChunkLock);
        extension->ChunkContexts = NULL;
        extension->ChunksOutstanding = 0;
        KeReleaseSpinLock(&extension->ChunkLock, oldIrql);
        ExFreePool(contexts);
        KeSetEvent(&extension->ChunkedTransferLock, IO_NO_INCREMENT, FALSE);
        PipeTableUnlock(extension);
        return status;
    }

    ULONG submitted = 0;
    NTSTATUS loopStatus = STATUS_SUCCESS;
    for (ULONG offset = 0; submitted < pieces;) {
        ULONG pieceLength = length - offset < CHUNK_SIZE ? length - offset : CHUNK_SIZE;
        if (!BuildPiece(DeviceObject, &contexts[submitted], callerMdl, pipe, offset, pieceLength)) {
            loopStatus = STATUS_INSUFFICIENT_RESOURCES;
            break;
        }
        PIRP pieceIrp = contexts[submitted].Irp;
        submitted++;
        loopStatus = IofCallDriver(extension->LowerDeviceObject, pieceIrp);
        offset += pieceLength;
        if (!NT_SUCCESS(loopStatus)) {
            break;
        }
    }

    // Pieces never handed down are not waited for: take them off the count, and if the ones
    // that went down are already all back, nobody else will signal.
    if (submitted < pieces) {
        oldIrql = KeAcquireSpinLockRaiseToDpc(&extension->ChunkLock);
        extension->ChunksOutstanding -= pieces - submitted;
        if (extension->ChunksOutstanding == 0) {
            KeSetEvent(&extension->ChunkDoneEvent, IO_NO_INCREMENT, FALSE);
        }
        KeReleaseSpinLock(&extension->ChunkLock, oldIrql);
    }

    NTSTATUS endStatus = SendPipeZeroCommand(DeviceObject, TRUE);
    if (!NT_SUCCESS(loopStatus)) {
        RecoverPipe(DeviceObject, pipe);
    }

    if (submitted == 0) {
        status = loopStatus;
    } else {
        LARGE_INTEGER interval = BulkTimeoutInterval();
        NTSTATUS wait = KeWaitForSingleObject(&extension->ChunkDoneEvent, Executive, KernelMode,
                                              FALSE, &interval);
        // Data still moving earns one more period.
        if (wait == STATUS_TIMEOUT &&
            ReadChunkCounter(extension, &extension->ChunkedBytesDone) > 0) {
            wait = KeWaitForSingleObject(&extension->ChunkDoneEvent, Executive, KernelMode, FALSE,
                                         &interval);
        }
        BOOLEAN failedEarly = wait != STATUS_TIMEOUT && PieceFailedBeforeTheRest(extension);
        if (wait == STATUS_TIMEOUT || failedEarly) {
            for (ULONG i = 0; i < submitted; i++) {
                IoCancelIrp(contexts[i].Irp);
            }
            KeWaitForSingleObject(&extension->ChunkDoneEvent, Executive, KernelMode, FALSE, NULL);
        }
        // The bus halted the pipe at the failed piece; it runs again after a reset, now that
        // no piece is left on it.
        if (NT_SUCCESS(loopStatus) && ReadBooleanAcquire(&extension->ChunkPieceFailed)) {
            RecoverPipe(DeviceObject, pipe);
        }
        if (wait == STATUS_TIMEOUT) {
            // A time-out is a failure to the caller, as it is for a single bulk transfer.
            status = STATUS_IO_TIMEOUT;
        } else if (submitted < pieces) {
            // Part of the buffer was never handed down: the transfer did not do what was asked,
            // and the caller hears why rather than a success with a short count.
            status = loopStatus;
        } else {
            ULONG moved;
            status = CollectPieces(extension, contexts, pieces, length, &moved);
            // A frame whose end command was lost leaves the camera framing still: the next read
            // would fail. The caller hears it now, with this read.
            if (NT_SUCCESS(status) && !NT_SUCCESS(endStatus)) {
                status = endStatus;
                moved = 0;
            }
            Irp->IoStatus.Information = moved;
        }
    }

    // Every piece handed down is back: none is freed while the bus still holds it.
    NT_ASSERT(ReadChunkCounter(extension, &extension->ChunksOutstanding) == 0);
    for (ULONG i = 0; i < submitted; i++) {
        FreePiece(&contexts[i]);
    }
    oldIrql = KeAcquireSpinLockRaiseToDpc(&extension->ChunkLock);
    extension->ChunkContexts = NULL;
    KeReleaseSpinLock(&extension->ChunkLock, oldIrql);
    ExFreePool(contexts);

    KeSetEvent(&extension->ChunkedTransferLock, IO_NO_INCREMENT, FALSE);
    PipeTableUnlock(extension);
    return status;
}
