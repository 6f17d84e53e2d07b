// One-shot isochronous transfers, and the URB builder the stream shares.
#include "transfer/iso.h"
#include "usb/usb.h"

namespace {

VOID FillIsoUrb(PISO_TRANSFER Transfer, PURB Urb, PUCHAR Data) {
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

VOID SetSlotRequest(PISO_URB_SLOT Slot, PIO_COMPLETION_ROUTINE Routine) {
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(Slot->Irp);
    next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    next->Parameters.Others.Argument1 = Slot->Urb;
    next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
    IoSetCompletionRoutine(Slot->Irp, Routine, Slot, TRUE, TRUE, TRUE);
}

IO_COMPLETION_ROUTINE IsoCompletion;

// Copies the URB's packet descriptors into the caller's descriptor area, then sends the slot's
// next group, or ends the slot after its last one. A cancelled URB, or a device being removed,
// ends the slot early: nothing more would come of resubmitting.
NTSTATUS IsoCompletion(PDEVICE_OBJECT Unused, PIRP Irp, PVOID Context) {
    PISO_URB_SLOT slot = (PISO_URB_SLOT)Context;
    PISO_TRANSFER transfer = slot->Transfer;
    PDEVICE_EXTENSION extension = DeviceExtensionOf(transfer->DeviceObject);
    (void)Unused;

    // A URB the bus refused as a whole carries no packet results of its own: its packets are
    // reported with the URB's status and no data, not as the successes we preset.
    USBD_STATUS urbStatus = slot->Urb->UrbHeader.Status;
    if (!NT_SUCCESS(Irp->IoStatus.Status) && USBD_ERROR(urbStatus)) {
        for (ULONG j = 0; j < transfer->PacketsPerUrb; j++) {
            PUSBD_ISO_PACKET_DESCRIPTOR packet = &slot->Urb->UrbIsochronousTransfer.IsoPacket[j];
            if (packet->Status == USBD_STATUS_SUCCESS) {
                packet->Status = urbStatus;
                packet->Length = 0;
            }
        }
    }
    RtlCopyMemory(transfer->Descriptors + (SIZE_T)slot->StartPacket * ISO_DESCRIPTOR_SIZE,
                  slot->Urb->UrbIsochronousTransfer.IsoPacket,
                  (SIZE_T)transfer->PacketsPerUrb * ISO_DESCRIPTOR_SIZE);
    slot->StartPacket += transfer->UrbCount * transfer->PacketsPerUrb;

    BOOLEAN lastGroup = slot->StartPacket >= transfer->TotalPackets;
    BOOLEAN endEarly =
        Irp->IoStatus.Status == STATUS_CANCELLED || ReadBooleanAcquire(&extension->RemovePending);
    if (lastGroup || endEarly) {
        slot->EndedEarly = !lastGroup;
        FreeIsoSlot(slot);
        KeSetEvent(&slot->DoneEvent, EVENT_INCREMENT, FALSE);
        return STATUS_MORE_PROCESSING_REQUIRED;
    }
    PrepareIsoSlot(slot, IsoCompletion);
    IofCallDriver(extension->LowerDeviceObject, slot->Irp);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

} // namespace

BOOLEAN IsoShapeIsSound(ULONG PacketSize, ULONG PacketsPerUrb, ULONG UrbCount) {
    if (PacketSize == 0 || PacketsPerUrb == 0 || UrbCount == 0 ||
        PacketsPerUrb > ISO_MAX_PACKETS_PER_URB) {
        return FALSE;
    }
    ULONG64 group = (ULONG64)PacketsPerUrb * UrbCount;
    ULONG64 bytes = group * PacketSize;
    return group <= 0xFFFFFFFFull && bytes <= 0xFFFFFFFFull;
}

NTSTATUS BuildIsoUrb(PISO_TRANSFER Transfer, ULONG Index, PIO_COMPLETION_ROUTINE Routine) {
    PDEVICE_EXTENSION extension = DeviceExtensionOf(Transfer->DeviceObject);
    PISO_URB_SLOT slot = &Transfer->Slots[Index];

    slot->Transfer = Transfer;
    slot->StartPacket = Index * Transfer->PacketsPerUrb;
    slot->EndedEarly = FALSE;
    KeInitializeEvent(&slot->DoneEvent, NotificationEvent, FALSE);
    slot->Urb = (PURB)ExAllocatePool(NonPagedPool, IsoUrbSize(Transfer->PacketsPerUrb));
    slot->Irp = IoAllocateIrp((CCHAR)(extension->LowerDeviceObject->StackSize + 1), FALSE);
    if (slot->Urb == NULL || slot->Irp == NULL) {
        FreeIsoSlot(slot);
        return STATUS_NO_MEMORY;
    }
    FillIsoUrb(Transfer, slot->Urb,
               Transfer->Buffer + (SIZE_T)slot->StartPacket * Transfer->PacketSize);
    SetSlotRequest(slot, Routine);
    return STATUS_SUCCESS;
}

VOID PrepareIsoSlot(PISO_URB_SLOT Slot, PIO_COMPLETION_ROUTINE Routine) {
    PISO_TRANSFER transfer = Slot->Transfer;
    FillIsoUrb(transfer, Slot->Urb,
               transfer->Buffer + (SIZE_T)Slot->StartPacket * transfer->PacketSize);
    IoReuseIrp(Slot->Irp, STATUS_SUCCESS);
    SetSlotRequest(Slot, Routine);
}

VOID FreeIsoSlot(PISO_URB_SLOT Slot) {
    if (Slot->Irp != NULL) {
        IoFreeIrp(Slot->Irp);
        Slot->Irp = NULL;
    }
    if (Slot->Urb != NULL) {
        ExFreePool(Slot->Urb);
        Slot->Urb = NULL;
    }
}

NTSTATUS IsoTransfer(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PDEVICE_EXTENSION extension = DeviceExtensionOf(DeviceObject);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    const UCHAR* input = (const UCHAR*)Irp->AssociatedIrp.SystemBuffer;
    ULONG pipeIndex = ReadUlongLe(input + FIELD_OFFSET(ISO_REQUEST, PipeIndex));
    ULONG packetSize = ReadUlongLe(input + FIELD_OFFSET(ISO_REQUEST, PacketSize));
    ULONG totalPackets = ReadUlongLe(input + FIELD_OFFSET(ISO_REQUEST, PacketCount));
    ULONG packetsPerUrb = ReadUlongLe(input + FIELD_OFFSET(ISO_REQUEST, PacketsPerUrb));
    ULONG urbCount = ReadUlongLe(input + FIELD_OFFSET(ISO_REQUEST, UrbCount));
    PUSBD_PIPE_INFORMATION pipe;

    PipeTableLockShared(extension);
    NTSTATUS status = DataPipeByIndex(extension, pipeIndex, TRUE, &pipe);
    if (!NT_SUCCESS(status)) {
        PipeTableUnlock(extension);
        return status;
    }
    ULONG group = packetsPerUrb * urbCount;
    if (!IsoShapeIsSound(packetSize, packetsPerUrb, urbCount) || totalPackets == 0 ||
        totalPackets % group != 0 ||
        (ULONG64)totalPackets * (packetSize + (ULONG64)ISO_DESCRIPTOR_SIZE) > 0xFFFFFFFFull) {
        PipeTableUnlock(extension);
        return STATUS_INVALID_PARAMETER;
    }
    ULONG dataBytes = totalPackets * packetSize;
    if (stack->Parameters.DeviceIoControl.OutputBufferLength <
        dataBytes + totalPackets * ISO_DESCRIPTOR_SIZE) {
        PipeTableUnlock(extension);
        return STATUS_UNSUCCESSFUL;
    }
    PUCHAR buffer = (PUCHAR)MdlSystemAddress(Irp->MdlAddress);
    if (buffer == NULL) {
        PipeTableUnlock(extension);
        return STATUS_INSUFFICIENT_RESOURCES;
    }

    PISO_TRANSFER transfer = (PISO_TRANSFER)ExAllocatePool(NonPagedPool, sizeof(ISO_TRANSFER));
    PISO_URB_SLOT slots =
        (PISO_URB_SLOT)ExAllocatePool(NonPagedPool, (SIZE_T)urbCount * sizeof(ISO_URB_SLOT));
    if (transfer == NULL || slots == NULL) {
        if (transfer != NULL) {
            ExFreePool(transfer);
        }
        if (slots != NULL) {
            ExFreePool(slots);
        }
        PipeTableUnlock(extension);
        return STATUS_NO_MEMORY;
    }
    RtlZeroMemory(transfer, sizeof(*transfer));
    RtlZeroMemory(slots, (SIZE_T)urbCount * sizeof(ISO_URB_SLOT));
    transfer->DeviceObject = DeviceObject;
    transfer->PacketSize = packetSize;
    transfer->TotalPackets = totalPackets;
    transfer->Pipe = *pipe;
    transfer->Buffer = buffer;
    transfer->BufferBytes = dataBytes;
    transfer->Descriptors = buffer + dataBytes;
    transfer->PacketsPerUrb = packetsPerUrb;
    transfer->UrbCount = urbCount;
    transfer->Slots = slots;

    // Every slot is built before any goes down, so a failed allocation submits nothing.
    for (ULONG i = 0; i < urbCount && NT_SUCCESS(status); i++) {
        status = BuildIsoUrb(transfer, i, IsoCompletion);
    }
    if (NT_SUCCESS(status)) {
        for (ULONG i = 0; i < urbCount; i++) {
            IofCallDriver(extension->LowerDeviceObject, slots[i].Irp);
        }
        for (ULONG i = 0; i < urbCount; i++) {
            KeWaitForSingleObject(&slots[i].DoneEvent, Executive, KernelMode, FALSE, NULL);
            if (slots[i].EndedEarly) {
                status = STATUS_CANCELLED;
            }
        }
    } else {
        for (ULONG i = 0; i < urbCount; i++) {
            FreeIsoSlot(&slots[i]);
        }
    }
    ExFreePool(slots);
    ExFreePool(transfer);
    PipeTableUnlock(extension);
    return status;
}
