// One-shot isochronous transfers, and the URB builder and slot loop the stream shares.
#include "transfer/iso.h"
#include "usb/usb.h"

namespace {

_IRQL_requires_max_(DISPATCH_LEVEL) VOID
    FillIsoUrb(_In_ PISO_TRANSFER Transfer, _Out_ PURB Urb, _In_ PUCHAR Data) {
    NONPAGED_CODE();
    ULONG size = IsoUrbSize(Transfer->PacketsPerUrb);
    struct _URB_ISOCH_TRANSFER* iso = &Urb->UrbIsochronousTransfer;

    RtlZeroMemory(Urb, size);
    iso->Hdr.Length = (USHORT)size;
    iso->Hdr.Function = URB_FUNCTION_ISOCH_TRANSFER;
    iso->PipeHandle = Transfer->Pipe.PipeHandle;
    iso->TransferFlags = USBD_START_ISO_TRANSFER_ASAP | USBD_SHORT_TRANSFER_OK |
                         (PipeIsIn(&Transfer->Pipe) ? USBD_TRANSFER_DIRECTION_IN : 0);
    iso->TransferBufferLength = Transfer->PacketsPerUrb * Transfer->PacketSize;
    iso->TransferBuffer = Data;
    iso->NumberOfPackets = Transfer->PacketsPerUrb;
    for (ULONG j = 0; j < Transfer->PacketsPerUrb; j++) {
        iso->IsoPacket[j].Offset = j * Transfer->PacketSize;
        iso->IsoPacket[j].Length = Transfer->PacketSize;
    }
}

IO_COMPLETION_ROUTINE IsoCompletion;

// Takes one URB's results into the transfer: its packet descriptors (when the caller gets them),
// the packets that arrived, its failure; then decides whether the slot sends another group.
_IRQL_requires_max_(DISPATCH_LEVEL) VOID TakeIsoResults(_Inout_ PISO_URB_SLOT Slot) {
    NONPAGED_CODE();
    PISO_TRANSFER transfer = Slot->Transfer;
    PDEVICE_EXTENSION extension = DeviceExtensionOf(transfer->DeviceObject);
    struct _URB_ISOCH_TRANSFER* iso = &Slot->Urb->UrbIsochronousTransfer;
    NTSTATUS status = Slot->LastStatus;

    MarkRefusedIsoPackets(Slot, status);
    LONG arrived = 0;
    for (ULONG j = 0; j < transfer->PacketsPerUrb; j++) {
        if (USBD_SUCCESS(iso->IsoPacket[j].Status)) {
            arrived++;
        }
    }
    InterlockedExchangeAdd(&transfer->PacketsArrived, arrived);
    if (USBD_ERROR(iso->Hdr.Status)) {
        WriteRelease(&extension->LastUsbdStatus, iso->Hdr.Status);
    }
    if (!NT_SUCCESS(status)) {
        InterlockedCompareExchange(&transfer->FirstFailure, status, 0);
    }
    if (transfer->Descriptors != NULL) {
        RtlCopyMemory(transfer->Descriptors + (SIZE_T)Slot->StartPacket * ISO_DESCRIPTOR_SIZE,
                      iso->IsoPacket, (SIZE_T)transfer->PacketsPerUrb * ISO_DESCRIPTOR_SIZE);
    }
    Slot->StartPacket += transfer->UrbCount * transfer->PacketsPerUrb;

    // A cancelled URB, or a device being removed, ends the slot early: nothing more would come
    // of resubmitting. So does a request the bus refused without running it: it would refuse
    // the next group for the same reason, and its packets keep the "not accessed" status they
    // were given at the start. A URB that ran and lost every packet (a burst of transaction
    // errors) costs only its own packets: the slot goes on with its next group.
    BOOLEAN lastGroup = Slot->StartPacket >= transfer->TotalPackets;
    BOOLEAN endEarly = status == STATUS_CANCELLED || ReadBooleanAcquire(&extension->RemovePending);
    BOOLEAN refused = !NT_SUCCESS(status) && iso->Hdr.Status != USBD_STATUS_ISOCH_REQUEST_FAILED;
    Slot->EndedEarly = endEarly && !lastGroup;
    Slot->Ending = lastGroup || endEarly || refused;
}

// After a completion: the slot's next group, or its end. The event is the last thing the slot
// touches: the waiting thread frees the slots as soon as it has seen every event.
_IRQL_requires_max_(DISPATCH_LEVEL) BOOLEAN IsoNext(_Inout_ PISO_URB_SLOT Slot) {
    NONPAGED_CODE();
    if (Slot->Ending) {
        FreeIsoSlot(Slot);
        KeSetEvent(&Slot->DoneEvent, EVENT_INCREMENT, FALSE);
        return FALSE;
    }
    PrepareIsoSlot(Slot, IsoCompletion);
    return TRUE;
}

// A group's place in the caller's buffer is fixed when its slot is set up, and the bus serves an
// endpoint's URBs in the order they arrive: the groups must go down in the order of their places.
// Once every slot has a URB below, each completion sends its slot's next group, behind the other
// slots' URBs. Before that, a slot that came back (the submitting thread lost the processor for a
// URB's time, or the bus answered inside the call) would send its second group ahead of another
// slot's first, and the packets would land out of time order; while the submitting thread holds
// the slots, such a slot parks instead, and that thread sends its next group in turn.
_IRQL_requires_max_(DISPATCH_LEVEL) BOOLEAN IsoNextInOrder(_Inout_ PISO_URB_SLOT Slot) {
    NONPAGED_CODE();
    if (!Slot->Ending && InterlockedCompareExchange(&Slot->Launch, ISO_SLOT_PARKED,
                                                    ISO_SLOT_HELD) == ISO_SLOT_HELD) {
        return FALSE;
    }
    return IsoNext(Slot);
}

_Use_decl_annotations_ NTSTATUS IsoCompletion(PDEVICE_OBJECT Unused, PIRP Irp, PVOID Context) {
    NONPAGED_CODE();
    PISO_URB_SLOT slot = (PISO_URB_SLOT)Context;
    (void)Unused;

    slot->LastStatus = Irp->IoStatus.Status;
    TakeIsoResults(slot);
    if (!IsoSlotCompletedInCall(Irp) && IsoNextInOrder(slot)) {
        SubmitIsoSlot(slot, IsoNextInOrder);
    }
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// Sends every slot's first group, then, round by round and in slot order, the next group of each
// slot that came back meanwhile, until a round finds none; then lets the slots go on by
// themselves. A slot that parks after the last round came back after every slot before it (the
// bus completes an endpoint's URBs in order), so sending its group at its release keeps the order.
_IRQL_requires_(PASSIVE_LEVEL) VOID LaunchIsoSlots(_Inout_ PISO_TRANSFER Transfer) {
    PAGED_CODE();
    PISO_URB_SLOT slots = Transfer->Slots;
    for (ULONG i = 0; i < Transfer->UrbCount; i++) {
        SubmitIsoSlot(&slots[i], IsoNextInOrder);
    }
    BOOLEAN sent;
    do {
        sent = FALSE;
        for (ULONG i = 0; i < Transfer->UrbCount; i++) {
            if (InterlockedCompareExchange(&slots[i].Launch, ISO_SLOT_HELD, ISO_SLOT_PARKED) ==
                ISO_SLOT_PARKED) {
                sent = TRUE;
                if (IsoNext(&slots[i])) {
                    SubmitIsoSlot(&slots[i], IsoNextInOrder);
                }
            }
        }
    } while (sent);
    for (ULONG i = 0; i < Transfer->UrbCount; i++) {
        if (InterlockedExchange(&slots[i].Launch, ISO_SLOT_RELEASED) == ISO_SLOT_PARKED &&
            IsoNext(&slots[i])) {
            SubmitIsoSlot(&slots[i], IsoNextInOrder);
        }
    }
}

// Every packet starts out as "not accessed": a group the transfer never sends (its slot ended
// early) keeps that, and the caller can tell it from a packet that came back empty.
_IRQL_requires_(PASSIVE_LEVEL) VOID PresetDescriptors(_Inout_ PISO_TRANSFER Transfer) {
    PAGED_CODE();
    PUSBD_ISO_PACKET_DESCRIPTOR descriptors = (PUSBD_ISO_PACKET_DESCRIPTOR)Transfer->Descriptors;
    for (ULONG p = 0; p < Transfer->TotalPackets; p++) {
        USBD_ISO_PACKET_DESCRIPTOR descriptor;
        descriptor.Offset = (p % Transfer->PacketsPerUrb) * Transfer->PacketSize;
        descriptor.Length = 0;
        descriptor.Status = USBD_STATUS_ISO_NOT_ACCESSED_BY_HW;
        // The descriptor area follows data of any length: it need not be aligned.
        RtlCopyMemory(&descriptors[p], &descriptor, sizeof(descriptor));
    }
}

// The tests of a one-shot request, in their order: the pipe, the direction against a buffer
// locked for reading only, the packet arithmetic, the room for data and descriptors, then the
// limits of what the driver serves.
_IRQL_requires_(PASSIVE_LEVEL)
    _Requires_lock_held_(Extension->PipeTableLock) _Must_inspect_result_ NTSTATUS
    CheckIsoRequest(_In_ PDEVICE_EXTENSION Extension, _In_ PIRP Irp, _In_ ULONG PipeIndex,
                    _In_ ULONG PacketSize, _In_ ULONG TotalPackets, _In_ ULONG PacketsPerUrb,
                    _In_ ULONG UrbCount, _Outptr_result_maybenull_ PUSBD_PIPE_INFORMATION* Pipe) {
    PAGED_CODE();
    NTSTATUS status = DataPipeByIndex(Extension, PipeIndex, TRUE, Pipe);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    // The write code locks the caller's buffer for reading only: an IN pipe would fill it.
    if (OutputBufferIsReadOnly(Irp) && PipeIsIn(*Pipe)) {
        return STATUS_INVALID_PARAMETER;
    }
    ULONG64 group = (ULONG64)PacketsPerUrb * UrbCount;
    if (group == 0 || group > 0xFFFFFFFFull || TotalPackets == 0 || TotalPackets % group != 0) {
        return STATUS_INVALID_PARAMETER;
    }
    ULONG64 needed = (ULONG64)TotalPackets * (PacketSize + (ULONG64)ISO_DESCRIPTOR_SIZE);
    if (IoGetCurrentIrpStackLocation(Irp)->Parameters.DeviceIoControl.OutputBufferLength < needed ||
        Irp->MdlAddress == NULL) {
        return STATUS_UNSUCCESSFUL;
    }
    if (PacketSize == 0 || !IsoUrbShapeIsSound(PacketsPerUrb, UrbCount)) {
        return STATUS_INVALID_PARAMETER;
    }
    return STATUS_SUCCESS;
}

} // namespace

_Use_decl_annotations_ BOOLEAN IsoUrbShapeIsSound(ULONG PacketsPerUrb, ULONG UrbCount) {
    return PacketsPerUrb != 0 && PacketsPerUrb <= ISO_MAX_PACKETS_PER_URB && UrbCount != 0 &&
           UrbCount <= ISO_MAX_URBS;
}

_Use_decl_annotations_ VOID SubmitIsoSlot(PISO_URB_SLOT Slot, ISO_SLOT_NEXT* Next) {
    NONPAGED_CODE();
    PDEVICE_OBJECT lower = DeviceExtensionOf(Slot->Transfer->DeviceObject)->LowerDeviceObject;

    for (;;) {
        // Pending: the URB is below, and its completion carries on whenever it comes (it may be
        // running already on another processor); the slot is not ours to touch any more.
        if (IofCallDriver(lower, Slot->Irp) == STATUS_PENDING) {
            return;
        }
        // Finished inside the call: its completion has run and returned, and left the next step
        // to this frame rather than take it one level deeper.
        if (!Next(Slot)) {
            return;
        }
    }
}

_Use_decl_annotations_ VOID MarkRefusedIsoPackets(PISO_URB_SLOT Slot, NTSTATUS RequestStatus) {
    NONPAGED_CODE();
    if (NT_SUCCESS(RequestStatus)) {
        return;
    }
    struct _URB_ISOCH_TRANSFER* iso = &Slot->Urb->UrbIsochronousTransfer;
    // A bus that refused the URB outright wrote nothing into it; one that failed it says why.
    USBD_STATUS urbStatus =
        USBD_ERROR(iso->Hdr.Status) ? iso->Hdr.Status : USBD_STATUS_ISO_NOT_ACCESSED_BY_HW;
    for (ULONG j = 0; j < Slot->Transfer->PacketsPerUrb; j++) {
        if (USBD_SUCCESS(iso->IsoPacket[j].Status)) {
            iso->IsoPacket[j].Status = urbStatus;
            iso->IsoPacket[j].Length = 0;
        }
    }
}

_Use_decl_annotations_ NTSTATUS BuildIsoUrb(PISO_TRANSFER Transfer, ULONG Index,
                                            PIO_COMPLETION_ROUTINE Routine) {
    NONPAGED_CODE();
    PDEVICE_EXTENSION extension = DeviceExtensionOf(Transfer->DeviceObject);
    PISO_URB_SLOT slot = &Transfer->Slots[Index];

    slot->Transfer = Transfer;
    slot->StartPacket = Index * Transfer->PacketsPerUrb;
    slot->EndedEarly = FALSE;
    slot->Ending = FALSE;
    slot->LastStatus = STATUS_SUCCESS;
    slot->Launch = ISO_SLOT_HELD;
    KeInitializeEvent(&slot->DoneEvent, NotificationEvent, FALSE);
    slot->Urb = (PURB)ExAllocatePool(NonPagedPool, IsoUrbSize(Transfer->PacketsPerUrb));
    slot->Irp = IoAllocateIrp((CCHAR)(extension->LowerDeviceObject->StackSize + 1), FALSE);
    if (slot->Urb == NULL || slot->Irp == NULL) {
        FreeIsoSlot(slot);
        return STATUS_NO_MEMORY;
    }
    FillIsoUrb(Transfer, slot->Urb,
               Transfer->Buffer + (SIZE_T)slot->StartPacket * Transfer->PacketSize);
    PrepareSubmitUrbRequest(slot->Irp, slot->Urb, Routine, slot);
    return STATUS_SUCCESS;
}

_Use_decl_annotations_ VOID PrepareIsoSlot(PISO_URB_SLOT Slot, PIO_COMPLETION_ROUTINE Routine) {
    NONPAGED_CODE();
    PISO_TRANSFER transfer = Slot->Transfer;
    FillIsoUrb(transfer, Slot->Urb,
               transfer->Buffer + (SIZE_T)Slot->StartPacket * transfer->PacketSize);
    IoReuseIrp(Slot->Irp, STATUS_SUCCESS);
    PrepareSubmitUrbRequest(Slot->Irp, Slot->Urb, Routine, Slot);
}

_Use_decl_annotations_ VOID FreeIsoSlot(PISO_URB_SLOT Slot) {
    NONPAGED_CODE();
    if (Slot->Irp != NULL) {
        IoFreeIrp(Slot->Irp);
        Slot->Irp = NULL;
    }
    FreePoolIfAllocated(Slot->Urb);
    Slot->Urb = NULL;
}

_Use_decl_annotations_ NTSTATUS IsoTransfer(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PAGED_CODE();
    PDEVICE_EXTENSION extension = DeviceExtensionOf(DeviceObject);
    ISO_REQUEST request = ReadIsoRequest((const UCHAR*)Irp->AssociatedIrp.SystemBuffer);
    PUSBD_PIPE_INFORMATION pipe;

    PipeTableLockShared(extension);
    NTSTATUS status =
        CheckIsoRequest(extension, Irp, request.PipeIndex, request.PacketSize, request.PacketCount,
                        request.PacketsPerUrb, request.UrbCount, &pipe);
    if (!NT_SUCCESS(status)) {
        PipeTableUnlock(extension);
        return status;
    }
    PUCHAR buffer = (PUCHAR)RequestBufferAddress(Irp);
    if (buffer == NULL) {
        PipeTableUnlock(extension);
        return STATUS_INSUFFICIENT_RESOURCES;
    }

    PISO_TRANSFER transfer = (PISO_TRANSFER)ExAllocatePool(NonPagedPool, sizeof(ISO_TRANSFER));
    PISO_URB_SLOT slots = (PISO_URB_SLOT)ExAllocatePool(NonPagedPool, (SIZE_T)request.UrbCount *
                                                                          sizeof(ISO_URB_SLOT));
    if (transfer == NULL || slots == NULL) {
        FreePoolIfAllocated(transfer);
        FreePoolIfAllocated(slots);
        PipeTableUnlock(extension);
        return STATUS_NO_MEMORY;
    }
    ULONG dataBytes = request.PacketCount * request.PacketSize;
    RtlZeroMemory(transfer, sizeof(*transfer));
    RtlZeroMemory(slots, (SIZE_T)request.UrbCount * sizeof(ISO_URB_SLOT));
    transfer->DeviceObject = DeviceObject;
    transfer->PacketSize = request.PacketSize;
    transfer->TotalPackets = request.PacketCount;
    transfer->Pipe = *pipe;
    transfer->Buffer = buffer;
    transfer->BufferBytes = dataBytes;
    // The read code's buffer takes the packet descriptors after the data. The write code's buffer
    // is locked for reading only (and its pipe, tested above, is an OUT pipe): its descriptors
    // stay with us, and the caller learns the outcome from the status alone.
    transfer->Descriptors = OutputBufferIsReadOnly(Irp) ? NULL : buffer + dataBytes;
    transfer->PacketsPerUrb = request.PacketsPerUrb;
    transfer->UrbCount = request.UrbCount;
    transfer->Slots = slots;
    if (transfer->Descriptors != NULL) {
        PresetDescriptors(transfer);
    }

    // Every slot is built before any goes down, so a failed allocation submits nothing.
    for (ULONG i = 0; i < request.UrbCount && NT_SUCCESS(status); i++) {
        status = BuildIsoUrb(transfer, i, IsoCompletion);
    }
    if (NT_SUCCESS(status)) {
        LaunchIsoSlots(transfer);
        for (ULONG i = 0; i < request.UrbCount; i++) {
            KeWaitForSingleObject(&slots[i].DoneEvent, Executive, KernelMode, FALSE, NULL);
            if (slots[i].EndedEarly) {
                status = STATUS_CANCELLED;
            }
        }
        // A transfer of which not one packet arrived failed, whatever each URB said: the caller
        // gets the first request's failure, or STATUS_UNSUCCESSFUL when the requests went
        // through and every packet failed (the USB error is then the last error).
        if (NT_SUCCESS(status) && ReadAcquire(&transfer->PacketsArrived) == 0) {
            NTSTATUS failure = (NTSTATUS)ReadAcquire(&transfer->FirstFailure);
            status = failure != 0 ? failure : STATUS_UNSUCCESSFUL;
        }
    } else {
        for (ULONG i = 0; i < request.UrbCount; i++) {
            FreeIsoSlot(&slots[i]);
        }
    }
    ExFreePool(slots);
    ExFreePool(transfer);
    PipeTableUnlock(extension);
    return status;
}
