// The continuous isochronous stream: N URBs kept running by their completion routines, whose
// packets go into two rings (descriptors and data) that read requests drain whenever they like.
//
// Lifetime: the stream is published in the device record under StreamLock. Its running slots
// hold one reference together, released by the slot that ends last after it has unpublished the
// stream; a read takes a reference of its own under StreamLock. Whoever drops the last reference
// frees the rings, buffer, slots and record, so a read never uses a ring being released.
#include "transfer/iso.h"
#include "usb/usb.h"

namespace {

VOID ReleaseStream(PISO_TRANSFER Stream) {
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
    if (Stream->Buffer != NULL) {
        ExFreePool(Stream->Buffer);
    }
    ExFreePool(Stream);
}

VOID DropReference(PISO_TRANSFER Stream) {
    if (InterlockedDecrement(&Stream->References) == 0) {
        ReleaseStream(Stream);
    }
}

// The stream's reference, or NULL when none runs; the caller drops it with DropReference.
PISO_TRANSFER ReferenceStream(PDEVICE_EXTENSION Extension) {
    KIRQL oldIrql = KeAcquireSpinLockRaiseToDpc(&Extension->StreamLock);
    PISO_TRANSFER stream = Extension->Stream;
    if (stream != NULL) {
        InterlockedIncrement(&stream->References);
    }
    KeReleaseSpinLock(&Extension->StreamLock, oldIrql);
    return stream;
}

// Called by the slot that ends last: unpublishes the stream, gives up the slots' reference
// (which frees the stream unless a read still holds it; a read runs inside the I/O gate, which
// removal drains first), and only then tells removal the stream is gone: after the event is set
// neither the stream nor the device record is touched again.
VOID EndStream(PISO_TRANSFER Stream) {
    PDEVICE_EXTENSION extension = DeviceExtensionOf(Stream->DeviceObject);

    KIRQL oldIrql = KeAcquireSpinLockRaiseToDpc(&extension->StreamLock);
    extension->Stream = NULL;
    extension->StreamDataRing = NULL;
    extension->StreamPacketRing = NULL;
    KeReleaseSpinLock(&extension->StreamLock, oldIrql);
    DropReference(Stream);
    KeSetEvent(&extension->StreamEndedEvent, IO_NO_INCREMENT, FALSE);
}

IO_COMPLETION_ROUTINE StreamCompletion;

// Puts the URB's descriptors, then its data, into the rings (both or neither, so the rings stay
// in step packet for packet), then resubmits the URB, or ends the slot after a failed URB or
// once a stop was asked for.
NTSTATUS StreamCompletion(PDEVICE_OBJECT Unused, PIRP Irp, PVOID Context) {
    PISO_URB_SLOT slot = (PISO_URB_SLOT)Context;
    PISO_TRANSFER stream = slot->Transfer;
    PDEVICE_EXTENSION extension = DeviceExtensionOf(stream->DeviceObject);
    ULONG descriptorBytes = stream->PacketsPerUrb * ISO_DESCRIPTOR_SIZE;
    ULONG dataBytes = stream->PacketsPerUrb * stream->PacketSize;
    (void)Unused;

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

    if (!NT_SUCCESS(Irp->IoStatus.Status) || ReadBooleanAcquire(&extension->StreamStopRequested) ||
        ReadBooleanAcquire(&extension->RemovePending)) {
        FreeIsoSlot(slot);
        if (InterlockedDecrement(&stream->UrbsAlive) == 0) {
            EndStream(stream);
        }
        return STATUS_MORE_PROCESSING_REQUIRED;
    }
    PrepareIsoSlot(slot, StreamCompletion);
    IofCallDriver(extension->LowerDeviceObject, slot->Irp);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

} // namespace

VOID InitializeTransferState(PDEVICE_OBJECT DeviceObject) {
    PDEVICE_EXTENSION extension = DeviceExtensionOf(DeviceObject);

    KeInitializeEvent(&extension->ChunkedTransferLock, SynchronizationEvent, TRUE);
    extension->Stream = NULL;
    KeInitializeSpinLock(&extension->StreamLock);
    KeInitializeEvent(&extension->StreamStartLock, SynchronizationEvent, TRUE);
    KeInitializeEvent(&extension->StreamReadLock, SynchronizationEvent, TRUE);
    KeInitializeEvent(&extension->StreamEndedEvent, NotificationEvent, TRUE);
}

NTSTATUS StartIsoStream(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PDEVICE_EXTENSION extension = DeviceExtensionOf(DeviceObject);
    const UCHAR* input = (const UCHAR*)Irp->AssociatedIrp.SystemBuffer;
    ULONG pipeIndex = ReadUlongLe(input + FIELD_OFFSET(ISO_REQUEST, PipeIndex));
    ULONG packetSize = ReadUlongLe(input + FIELD_OFFSET(ISO_REQUEST, PacketSize));
    ULONG ringPackets = ReadUlongLe(input + FIELD_OFFSET(ISO_REQUEST, PacketCount));
    ULONG packetsPerUrb = ReadUlongLe(input + FIELD_OFFSET(ISO_REQUEST, PacketsPerUrb));
    ULONG urbCount = ReadUlongLe(input + FIELD_OFFSET(ISO_REQUEST, UrbCount));
    PUSBD_PIPE_INFORMATION pipe;

    // Ring capacities must fit the ring's signed count.
    if (!IsoShapeIsSound(packetSize, packetsPerUrb, urbCount) || ringPackets == 0 ||
        (ULONG64)ringPackets * packetSize > 0x7FFFFFFFull ||
        (ULONG64)ringPackets * ISO_DESCRIPTOR_SIZE > 0x7FFFFFFFull) {
        // The pipe rules come first, as for every pipe operation.
        PipeTableLockShared(extension);
        NTSTATUS status = DataPipeByIndex(extension, pipeIndex, TRUE, &pipe);
        PipeTableUnlock(extension);
        return NT_SUCCESS(status) ? STATUS_INVALID_PARAMETER : status;
    }

    KeWaitForSingleObject(&extension->StreamStartLock, Executive, KernelMode, FALSE, NULL);
    PipeTableLockShared(extension);
    NTSTATUS status = DataPipeByIndex(extension, pipeIndex, TRUE, &pipe);
    PISO_TRANSFER stream = NULL;
    if (NT_SUCCESS(status)) {
        KIRQL oldIrql = KeAcquireSpinLockRaiseToDpc(&extension->StreamLock);
        BOOLEAN busy = extension->Stream != NULL;
        KeReleaseSpinLock(&extension->StreamLock, oldIrql);
        if (busy) {
            status = STATUS_DEVICE_BUSY;
        }
    }
    if (NT_SUCCESS(status)) {
        stream = (PISO_TRANSFER)ExAllocatePool(NonPagedPool, sizeof(ISO_TRANSFER));
        status = stream != NULL ? STATUS_SUCCESS : STATUS_NO_MEMORY;
    }
    if (NT_SUCCESS(status)) {
        RtlZeroMemory(stream, sizeof(*stream));
        stream->DeviceObject = DeviceObject;
        stream->PacketSize = packetSize;
        stream->Pipe = *pipe;
        stream->PacketsPerUrb = packetsPerUrb;
        stream->UrbCount = urbCount;
        stream->UrbsAlive = (LONG)urbCount;
        stream->References = 1;
        KeInitializeSpinLock(&stream->PutLock);
        stream->BufferBytes = urbCount * packetsPerUrb * packetSize;
        stream->Buffer = (PUCHAR)ExAllocatePool(NonPagedPool, stream->BufferBytes);
        stream->DataRing = RingCreate(ringPackets * packetSize);
        stream->PacketRing = RingCreate(ringPackets * ISO_DESCRIPTOR_SIZE);
        stream->Slots =
            (PISO_URB_SLOT)ExAllocatePool(NonPagedPool, (SIZE_T)urbCount * sizeof(ISO_URB_SLOT));
        if (stream->Buffer == NULL || stream->DataRing == NULL || stream->PacketRing == NULL ||
            stream->Slots == NULL) {
            status = STATUS_NO_MEMORY;
        } else {
            RtlZeroMemory(stream->Slots, (SIZE_T)urbCount * sizeof(ISO_URB_SLOT));
            for (ULONG i = 0; i < urbCount && NT_SUCCESS(status); i++) {
                status = BuildIsoUrb(stream, i, StreamCompletion);
            }
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
        extension->Stream = stream;
        extension->StreamDataRing = stream->DataRing;
        extension->StreamPacketRing = stream->PacketRing;
        KeReleaseSpinLock(&extension->StreamLock, oldIrql);
        KeClearEvent(&extension->StreamEndedEvent);
        for (ULONG i = 0; i < urbCount; i++) {
            IofCallDriver(extension->LowerDeviceObject, stream->Slots[i].Irp);
        }
    }
    PipeTableUnlock(extension);
    KeSetEvent(&extension->StreamStartLock, IO_NO_INCREMENT, FALSE);
    return status;
}

NTSTATUS ReadIsoStream(PDEVICE_OBJECT DeviceObject, ULONG PacketSize, ULONG PacketCount,
                       PUCHAR Output, ULONG* Written) {
    PDEVICE_EXTENSION extension = DeviceExtensionOf(DeviceObject);

    *Written = 0;
    KeWaitForSingleObject(&extension->StreamReadLock, Executive, KernelMode, FALSE, NULL);
    PISO_TRANSFER stream = ReferenceStream(extension);
    if (stream == NULL) {
        KeSetEvent(&extension->StreamReadLock, IO_NO_INCREMENT, FALSE);
        return STATUS_UNSUCCESSFUL;
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

BOOLEAN StreamIsRunning(PDEVICE_OBJECT DeviceObject) {
    PDEVICE_EXTENSION extension = DeviceExtensionOf(DeviceObject);
    KIRQL oldIrql = KeAcquireSpinLockRaiseToDpc(&extension->StreamLock);
    BOOLEAN running = extension->Stream != NULL;
    KeReleaseSpinLock(&extension->StreamLock, oldIrql);
    return running;
}

VOID StopIsoStream(PDEVICE_OBJECT DeviceObject) {
    WriteBooleanRelease(&DeviceExtensionOf(DeviceObject)->StreamStopRequested, TRUE);
}

VOID WaitForStreamEnd(PDEVICE_OBJECT DeviceObject) {
    KeWaitForSingleObject(&DeviceExtensionOf(DeviceObject)->StreamEndedEvent, Executive, KernelMode,
                          FALSE, NULL);
}
