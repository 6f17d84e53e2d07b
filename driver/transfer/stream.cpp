// The continuous isochronous stream: N URBs kept running by their completion routines, whose
// packets go into two rings (descriptors and data) that read requests drain whenever they like.
//
// Lifetime: the stream is published in the device record under StreamLock. Its running slots
// hold one reference together, released by the slot that ends last after it has unpublished the
// stream; a read takes a reference of its own under StreamLock. Whoever drops the last reference
// frees the rings, buffer, slots and record, so a read never uses a ring being released, and
// only then says that no stream exists: a stop, a new start and removal wait for the memory to
// be given back, not only for the stream to be unpublished.
#include "transfer/iso.h"
#include "usb/usb.h"

namespace {

_IRQL_requires_max_(DISPATCH_LEVEL) VOID ReleaseStream(_In_ PISO_TRANSFER Stream) {
    NONPAGED_CODE();
    PDEVICE_EXTENSION extension = DeviceExtensionOf(Stream->DeviceObject);
    const BOOLEAN published = Stream->Published;
    if (Stream->Slots != NULL) {
        for (ULONG i = 0; i < Stream->UrbCount; i++) {
            FreeIsoSlot(&Stream->Slots[i]);
        }
        ExFreePool(Stream->Slots);
    }
    if (Stream->DataRing != NULL) {
        RingRelease(Stream->DataRing);
    }
    if (Stream->PacketRing != NULL) {
        RingRelease(Stream->PacketRing);
    }
    FreePoolIfAllocated(Stream->Buffer);
    ExFreePool(Stream);
    if (!published) {
        return;
    }
    // The event is set under the lock, with the test that no newer stream was published (none
    // can be while this one is releasing, as a start finds it existing); whoever waits on it
    // takes the lock before going on, so after the release below the device record is not
    // touched again.
    KIRQL oldIrql = KeAcquireSpinLockRaiseToDpc(&extension->StreamLock);
    extension->StreamReleasing = FALSE;
    if (extension->Stream == NULL) {
        KeSetEvent(&extension->StreamEndedEvent, IO_NO_INCREMENT, FALSE);
    }
    KeReleaseSpinLock(&extension->StreamLock, oldIrql);
}

_IRQL_requires_max_(DISPATCH_LEVEL) VOID DropReference(_In_ PISO_TRANSFER Stream) {
    NONPAGED_CODE();
    // Only a holder drops: a count below zero is a reference dropped twice.
    LONG remaining = InterlockedDecrement(&Stream->References);
    NT_ASSERT(remaining >= 0);
    if (remaining == 0) {
        ReleaseStream(Stream);
    }
}

// The stream's reference, or NULL when none runs; the caller drops it with DropReference.
_IRQL_requires_max_(DISPATCH_LEVEL) _Must_inspect_result_ PISO_TRANSFER
    ReferenceStream(_In_ PDEVICE_EXTENSION Extension) {
    NONPAGED_CODE();
    KIRQL oldIrql = KeAcquireSpinLockRaiseToDpc(&Extension->StreamLock);
    PISO_TRANSFER stream = Extension->Stream;
    if (stream != NULL) {
        // A published stream still holds its slots' reference: it is unpublished first.
        NT_ASSERT(ReadAcquire(&stream->References) > 0);
        InterlockedIncrement(&stream->References);
    }
    KeReleaseSpinLock(&Extension->StreamLock, oldIrql);
    return stream;
}

// Called by the slot that ends last: unpublishes the stream and gives up the slots' reference,
// which frees the stream unless a read still holds it (a read runs inside the I/O gate, which
// removal drains first). The stream counts as existing until that release has finished, which
// then says so (ReleaseStream).
_IRQL_requires_max_(DISPATCH_LEVEL) VOID EndStream(_In_ PISO_TRANSFER Stream) {
    NONPAGED_CODE();
    PDEVICE_EXTENSION extension = DeviceExtensionOf(Stream->DeviceObject);

    KIRQL oldIrql = KeAcquireSpinLockRaiseToDpc(&extension->StreamLock);
    extension->Stream = NULL;
    extension->StreamDataRing = NULL;
    extension->StreamPacketRing = NULL;
    extension->StreamReleasing = TRUE;
    KeReleaseSpinLock(&extension->StreamLock, oldIrql);
    DropReference(Stream);
}

// Only the bytes the device sent for this URB reach the rings: each packet's place beyond its
// real length (all of it for a packet that failed) is zeroed, since the slot's buffer still holds
// an earlier URB's packet there.
_IRQL_requires_max_(DISPATCH_LEVEL) VOID
    ClearUnsentBytes(_In_ PISO_TRANSFER Stream, _Inout_ PISO_URB_SLOT Slot) {
    NONPAGED_CODE();
    struct _URB_ISOCH_TRANSFER* iso = &Slot->Urb->UrbIsochronousTransfer;
    PUCHAR data = Stream->Buffer + (SIZE_T)Slot->StartPacket * Stream->PacketSize;

    for (ULONG j = 0; j < Stream->PacketsPerUrb; j++) {
        PUSBD_ISO_PACKET_DESCRIPTOR packet = &iso->IsoPacket[j];
        ULONG length = USBD_SUCCESS(packet->Status) ? packet->Length : 0;
        if (length > Stream->PacketSize) {
            length = Stream->PacketSize;
        }
        packet->Length = length;
        RtlZeroMemory(data + (SIZE_T)j * Stream->PacketSize + length, Stream->PacketSize - length);
    }
}

IO_COMPLETION_ROUTINE StreamCompletion;

// After a completion: the slot resubmits, or ends after a failed URB or once a stop was asked
// for. The slot that ends last ends the stream.
_IRQL_requires_max_(DISPATCH_LEVEL) BOOLEAN StreamNext(_Inout_ PISO_URB_SLOT Slot) {
    NONPAGED_CODE();
    PISO_TRANSFER stream = Slot->Transfer;
    PDEVICE_EXTENSION extension = DeviceExtensionOf(stream->DeviceObject);

    if (NT_SUCCESS(Slot->LastStatus)) {
        InterlockedIncrement(&stream->UrbsSucceeded);
    } else {
        InterlockedCompareExchange(&stream->FirstFailure, Slot->LastStatus, 0);
    }
    if (!NT_SUCCESS(Slot->LastStatus) || ReadBooleanAcquire(&extension->StreamStopRequested) ||
        ReadBooleanAcquire(&extension->RemovePending)) {
        FreeIsoSlot(Slot);
        LONG alive = InterlockedDecrement(&stream->UrbsAlive);
        NT_ASSERT(alive >= 0);
        if (alive == 0) {
            EndStream(stream);
        }
        return FALSE;
    }
    PrepareIsoSlot(Slot, StreamCompletion);
    return TRUE;
}

// Puts the URB's descriptors, then its data, into the rings (both or neither, so the rings stay
// in step packet for packet), then lets the slot go on.
_Use_decl_annotations_ NTSTATUS StreamCompletion(PDEVICE_OBJECT Unused, PIRP Irp, PVOID Context) {
    NONPAGED_CODE();
    PISO_URB_SLOT slot = (PISO_URB_SLOT)Context;
    PISO_TRANSFER stream = slot->Transfer;
    ULONG descriptorBytes = stream->PacketsPerUrb * ISO_DESCRIPTOR_SIZE;
    ULONG dataBytes = stream->PacketsPerUrb * stream->PacketSize;
    (void)Unused;

    slot->LastStatus = Irp->IoStatus.Status;
    MarkRefusedIsoPackets(slot, slot->LastStatus);
    ClearUnsentBytes(stream, slot);

    KIRQL oldIrql = KeAcquireSpinLockRaiseToDpc(&stream->PutLock);
    if (RingFreeSpace(stream->PacketRing) >= descriptorBytes &&
        RingFreeSpace(stream->DataRing) >= dataBytes) {
        RingPut(stream->PacketRing, (const UCHAR*)slot->Urb->UrbIsochronousTransfer.IsoPacket,
                descriptorBytes);
        RingPut(stream->DataRing, stream->Buffer + (SIZE_T)slot->StartPacket * stream->PacketSize,
                dataBytes);
    } else {
        // The reader is behind: new packets are dropped, not queued.
        stream->DroppedUrbs++;
    }
    KeReleaseSpinLock(&stream->PutLock, oldIrql);

    if (!IsoSlotCompletedInCall(Irp) && StreamNext(slot)) {
        SubmitIsoSlot(slot, StreamNext);
    }
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// The stream's shape within the driver's limits: URBs and packets per URB as for any
// isochronous transfer, a packet size, and rings and URB buffers no larger than the limits.
BOOLEAN StreamShapeIsSound(ULONG PacketSize, ULONG RingPackets, ULONG PacketsPerUrb,
                           ULONG UrbCount) {
    if (PacketSize == 0 || RingPackets == 0 || !IsoUrbShapeIsSound(PacketsPerUrb, UrbCount)) {
        return FALSE;
    }
    // Each ring takes a URB's block whole or not at all: rings smaller than one URB would drop
    // every packet the stream carried.
    if (RingPackets < PacketsPerUrb) {
        return FALSE;
    }
    return RingPackets <= TOVRIK_STREAM_MAX_RING_PACKETS &&
           (ULONG64)RingPackets * PacketSize <= TOVRIK_STREAM_MAX_RING_BYTES &&
           (ULONG64)UrbCount * PacketsPerUrb * PacketSize <= TOVRIK_STREAM_MAX_URB_BUFFER_BYTES;
}

// Waits until no stream exists, at most Timeout (NULL: without a limit). TRUE when none exists.
_IRQL_requires_(PASSIVE_LEVEL) BOOLEAN
    WaitUntilNoStream(_In_ PDEVICE_EXTENSION Extension, _In_opt_ PLARGE_INTEGER Timeout) {
    PAGED_CODE();
    for (;;) {
        if (KeWaitForSingleObject(&Extension->StreamEndedEvent, Executive, KernelMode, FALSE,
                                  Timeout) == STATUS_TIMEOUT) {
            return FALSE;
        }
        // The ending slot sets the event under the lock: taking it waits until that slot has
        // let go of the device record.
        KIRQL oldIrql = KeAcquireSpinLockRaiseToDpc(&Extension->StreamLock);
        BOOLEAN none = Extension->Stream == NULL && !Extension->StreamReleasing;
        KeReleaseSpinLock(&Extension->StreamLock, oldIrql);
        if (none) {
            return TRUE;
        }
    }
}

} // namespace

_Use_decl_annotations_ VOID InitializeTransferState(PDEVICE_OBJECT DeviceObject) {
    PAGED_CODE();
    PDEVICE_EXTENSION extension = DeviceExtensionOf(DeviceObject);

    KeInitializeEvent(&extension->ChunkedTransferLock, SynchronizationEvent, TRUE);
    extension->Stream = NULL;
    KeInitializeSpinLock(&extension->StreamLock);
    KeInitializeEvent(&extension->StreamStartLock, SynchronizationEvent, TRUE);
    KeInitializeEvent(&extension->StreamReadLock, SynchronizationEvent, TRUE);
    KeInitializeEvent(&extension->StreamEndedEvent, NotificationEvent, TRUE);
}

_Use_decl_annotations_ NTSTATUS StartIsoStream(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PAGED_CODE();
    PDEVICE_EXTENSION extension = DeviceExtensionOf(DeviceObject);
    ISO_REQUEST request = ReadIsoRequest((const UCHAR*)Irp->AssociatedIrp.SystemBuffer);
    PUSBD_PIPE_INFORMATION pipe;

    // The stream's memory is non-paged and lives as long as the stream: every size it takes
    // from the caller is held to the driver's limits.
    if (!StreamShapeIsSound(request.PacketSize, request.PacketCount, request.PacketsPerUrb,
                            request.UrbCount)) {
        // The pipe rules come first, as for every pipe operation.
        PipeTableLockShared(extension);
        NTSTATUS status = DataPipeByIndex(extension, request.PipeIndex, TRUE, &pipe);
        PipeTableUnlock(extension);
        return NT_SUCCESS(status) ? STATUS_INVALID_PARAMETER : status;
    }

    KeWaitForSingleObject(&extension->StreamStartLock, Executive, KernelMode, FALSE, NULL);
    PipeTableLockShared(extension);
    NTSTATUS status = DataPipeByIndex(extension, request.PipeIndex, TRUE, &pipe);
    PISO_TRANSFER stream = NULL;
    if (NT_SUCCESS(status) && StreamExists(extension)) {
        status = STATUS_DEVICE_BUSY;
    }
    if (NT_SUCCESS(status)) {
        stream = (PISO_TRANSFER)ExAllocatePool(NonPagedPool, sizeof(ISO_TRANSFER));
        status = stream != NULL ? STATUS_SUCCESS : STATUS_NO_MEMORY;
    }
    if (NT_SUCCESS(status)) {
        RtlZeroMemory(stream, sizeof(*stream));
        stream->DeviceObject = DeviceObject;
        stream->PacketSize = request.PacketSize;
        stream->Pipe = *pipe;
        stream->PipeIndex = request.PipeIndex;
        stream->PacketsPerUrb = request.PacketsPerUrb;
        stream->UrbCount = request.UrbCount;
        stream->UrbsAlive = (LONG)request.UrbCount;
        stream->References = 1;
        KeInitializeSpinLock(&stream->PutLock);
        stream->BufferBytes = request.UrbCount * request.PacketsPerUrb * request.PacketSize;
        // Each allocation is taken alone and the slot array zeroed at once, so a failure at
        // any point leaves ReleaseStream only blocks it may free.
        stream->Slots = (PISO_URB_SLOT)ExAllocatePool(NonPagedPool, (SIZE_T)request.UrbCount *
                                                                        sizeof(ISO_URB_SLOT));
        if (stream->Slots != NULL) {
            RtlZeroMemory(stream->Slots, (SIZE_T)request.UrbCount * sizeof(ISO_URB_SLOT));
            stream->Buffer = (PUCHAR)ExAllocatePool(NonPagedPool, stream->BufferBytes);
        }
        if (stream->Buffer != NULL) {
            // Never a byte of old pool into a ring, even for a packet the bus leaves untouched.
            RtlZeroMemory(stream->Buffer, stream->BufferBytes);
            // A stream's PacketCount is its rings' capacity in packets.
            stream->DataRing = RingCreate(request.PacketCount * request.PacketSize);
        }
        if (stream->DataRing != NULL) {
            stream->PacketRing = RingCreate(request.PacketCount * ISO_DESCRIPTOR_SIZE);
        }
        if (stream->PacketRing == NULL) {
            status = STATUS_NO_MEMORY;
        }
        for (ULONG i = 0; i < request.UrbCount && NT_SUCCESS(status); i++) {
            status = BuildIsoUrb(stream, i, StreamCompletion);
        }
        if (!NT_SUCCESS(status)) {
            // Nothing was published or submitted: the device's stream fields are as they were.
            ReleaseStream(stream);
            stream = NULL;
        }
    }
    if (NT_SUCCESS(status)) {
        WriteBooleanRelease(&extension->StreamStopRequested, FALSE);
        KIRQL oldIrql = KeAcquireSpinLockRaiseToDpc(&extension->StreamLock);
        // Starts run one at a time and this one found none: a running stream is never replaced.
        NT_ASSERT(extension->Stream == NULL && !extension->StreamReleasing);
        stream->Published = TRUE;
        extension->Stream = stream;
        extension->StreamDataRing = stream->DataRing;
        extension->StreamPacketRing = stream->PacketRing;
        KeClearEvent(&extension->StreamEndedEvent);
        KeReleaseSpinLock(&extension->StreamLock, oldIrql);
        // The stream ends only when every slot has ended, and a slot not yet submitted has not:
        // the slot array stays valid until the last submission has returned. The start keeps a
        // reference of its own meanwhile, so that it can still look at the stream afterwards.
        InterlockedIncrement(&stream->References);
        PISO_URB_SLOT slots = stream->Slots;
        for (ULONG i = 0; i < request.UrbCount; i++) {
            SubmitIsoSlot(&slots[i], StreamNext);
        }
        // A stream whose every URB came back failed before the start returned never ran (a
        // device gone after a surprise removal, a shape the bus refuses): the caller hears that
        // failure, and no stream is left behind, rather than a success with nothing to read.
        if (ReadAcquire(&stream->UrbsAlive) == 0 && ReadAcquire(&stream->UrbsSucceeded) == 0 &&
            ReadAcquire(&stream->FirstFailure) != 0) {
            status = (NTSTATUS)ReadAcquire(&stream->FirstFailure);
        }
        DropReference(stream);
    }
    PipeTableUnlock(extension);
    KeSetEvent(&extension->StreamStartLock, IO_NO_INCREMENT, FALSE);
    return status;
}

_Use_decl_annotations_ NTSTATUS ReadIsoStream(PDEVICE_OBJECT DeviceObject, ULONG PacketSize,
                                              ULONG PacketCount, PUCHAR Output, ULONG* Written) {
    PAGED_CODE();
    PDEVICE_EXTENSION extension = DeviceExtensionOf(DeviceObject);

    *Written = 0;
    KeWaitForSingleObject(&extension->StreamReadLock, Executive, KernelMode, FALSE, NULL);
    PISO_TRANSFER stream = ReferenceStream(extension);
    if (stream == NULL) {
        KeSetEvent(&extension->StreamReadLock, IO_NO_INCREMENT, FALSE);
        return STATUS_UNSUCCESSFUL;
    }
    // The rings hold packets of the stream's size: a read that cut them at another size would
    // leave the data ring inside a packet and out of step with the descriptors for every later
    // read. It is refused and takes nothing.
    if (PacketSize != stream->PacketSize) {
        DropReference(stream);
        KeSetEvent(&extension->StreamReadLock, IO_NO_INCREMENT, FALSE);
        return STATUS_INVALID_PARAMETER;
    }
    // Data first, then exactly as many descriptors as whole packets of data were taken: the
    // completions put descriptors before data, so those descriptors are already there.
    ULONG data = RingGet(stream->DataRing, Output, PacketCount * PacketSize);
    ULONG descriptors =
        RingGet(stream->PacketRing, Output + data, (data / PacketSize) * ISO_DESCRIPTOR_SIZE);
    *Written = data + descriptors;
    DropReference(stream);
    KeSetEvent(&extension->StreamReadLock, IO_NO_INCREMENT, FALSE);
    return STATUS_SUCCESS;
}

_Use_decl_annotations_ BOOLEAN StreamUsesPipe(PDEVICE_OBJECT DeviceObject, ULONG PipeIndex) {
    NONPAGED_CODE();
    PDEVICE_EXTENSION extension = DeviceExtensionOf(DeviceObject);
    KIRQL oldIrql = KeAcquireSpinLockRaiseToDpc(&extension->StreamLock);
    BOOLEAN uses = extension->Stream != NULL && extension->Stream->PipeIndex == PipeIndex;
    KeReleaseSpinLock(&extension->StreamLock, oldIrql);
    return uses;
}

_Use_decl_annotations_ VOID RequestStreamStop(PDEVICE_OBJECT DeviceObject) {
    NONPAGED_CODE();
    WriteBooleanRelease(&DeviceExtensionOf(DeviceObject)->StreamStopRequested, TRUE);
}

_Use_decl_annotations_ NTSTATUS StopIsoStream(PDEVICE_OBJECT DeviceObject) {
    PAGED_CODE();
    PDEVICE_EXTENSION extension = DeviceExtensionOf(DeviceObject);
    NTSTATUS status = STATUS_IO_TIMEOUT;

    // Asked once before the wait for a start that runs: a bus that finishes every URB inside
    // the call that sent it keeps the start's own thread resubmitting, and only the flag ends
    // those slots and lets the start return. A start not yet published clears the flag again.
    RequestStreamStop(DeviceObject);
    // And once with no start running: the stream stopped is the one there now, and a start that
    // came first cannot clear the stop flag after it was set.
    KeWaitForSingleObject(&extension->StreamStartLock, Executive, KernelMode, FALSE, NULL);
    RequestStreamStop(DeviceObject);
    for (ULONG attempt = 0; attempt < STREAM_STOP_ATTEMPTS; attempt++) {
        // Aborting the pipe ends the URBs below, and each slot ends at its completion. A slot
        // whose completion was already past its look at the flag may send one more URB after
        // the abort: the next round ends that one.
        PipeTableLockSharedStarveExclusive(extension);
        PISO_TRANSFER stream = ReferenceStream(extension);
        if (stream != NULL) {
            USBD_PIPE_HANDLE pipe = stream->Pipe.PipeHandle;
            DropReference(stream);
            AbortPipe(DeviceObject, pipe);
        }
        PipeTableUnlock(extension);

        LARGE_INTEGER interval;
        interval.QuadPart = -(LONGLONG)STREAM_STOP_WAIT_MS * 10000;
        if (WaitUntilNoStream(extension, &interval)) {
            status = STATUS_SUCCESS;
            break;
        }
    }
    // Still draining after the last attempt: the flag stays set and the last slot will end the
    // stream, but the caller hears that it is not gone yet.
    KeSetEvent(&extension->StreamStartLock, IO_NO_INCREMENT, FALSE);
    return status;
}

_Use_decl_annotations_ VOID WaitForStreamEnd(PDEVICE_OBJECT DeviceObject) {
    PAGED_CODE();
    WaitUntilNoStream(DeviceExtensionOf(DeviceObject), NULL);
}
