// The records and the URB builder the one-shot isochronous transfer and the stream share.
#pragma once

#include "transfer/transfer.h"

typedef struct _ISO_TRANSFER ISO_TRANSFER, *PISO_TRANSFER;

// One URB in the lower driver at a time, reused with its IRP for every resubmission.
typedef struct _ISO_URB_SLOT {
    ULONG StartPacket;
    PISO_TRANSFER Transfer;
    PURB Urb;
    PIRP Irp;
    // One-shot transfer: signalled when the slot has carried its last URB.
    KEVENT DoneEvent;
    // One-shot transfer: the slot ended before its last group (cancelled, or the device is going).
    BOOLEAN EndedEarly;
} ISO_URB_SLOT, *PISO_URB_SLOT;

struct _ISO_TRANSFER {
    PDEVICE_OBJECT DeviceObject;
    ULONG PacketSize;
    ULONG TotalPackets;
    // A copy of the pipe's entry: the stream outlives any one look at the pipe table.
    USBD_PIPE_INFORMATION Pipe;
    PUCHAR Buffer;
    ULONG BufferBytes;
    PUCHAR Descriptors;
    ULONG PacketsPerUrb;
    ULONG UrbCount;
    // Stream only: slots whose URB has not ended yet.
    LONG volatile UrbsAlive;
    // Stream only: the running slots hold one reference together, each reader one of its own;
    // the last one releases the stream.
    LONG volatile References;
    PBYTE_RING DataRing;
    PBYTE_RING PacketRing;
    // Stream only: the two ring puts of one completion happen under it, so completions of
    // different slots never put at once (each ring has one producer).
    KSPIN_LOCK PutLock;
    // Stream only: completed URBs whose packets did not fit into the rings.
    ULONG DroppedUrbs;
    PISO_URB_SLOT Slots;
};

// Builds slot Index's URB and IRP (completion routine: Routine) without submitting them.
// STATUS_NO_MEMORY when either cannot be allocated; nothing of the slot remains then.
NTSTATUS BuildIsoUrb(PISO_TRANSFER Transfer, ULONG Index, PIO_COMPLETION_ROUTINE Routine);

// Refills a slot's URB for its current StartPacket and readies its IRP to go down again.
VOID PrepareIsoSlot(PISO_URB_SLOT Slot, PIO_COMPLETION_ROUTINE Routine);

// Frees a slot's URB and IRP.
VOID FreeIsoSlot(PISO_URB_SLOT Slot);

// The checks both the one-shot transfer and the stream make on packets per URB (P), URB count
// (N) and packet size (S): none is 0, P is within the bus's limit and every buffer product fits
// in 32 bits.
BOOLEAN IsoShapeIsSound(ULONG PacketSize, ULONG PacketsPerUrb, ULONG UrbCount);

// The URB block size for P packets (12 bytes more than the descriptors strictly need).
static inline ULONG IsoUrbSize(ULONG PacketsPerUrb) {
    return sizeof(struct _URB_ISOCH_TRANSFER) + ISO_DESCRIPTOR_SIZE * PacketsPerUrb;
}
