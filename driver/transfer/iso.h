// The records and the URB builder the one-shot isochronous transfer and the stream share, and
// the way both keep a slot's URB going without nesting one completion inside another.
#pragma once

#include "transfer/transfer.h"

// The caller's ISO_REQUEST, field by field: it is little-endian and may sit at any alignment.
static inline ISO_REQUEST ReadIsoRequest(const UCHAR* Bytes) {
    ISO_REQUEST request;
    request.PipeIndex = ReadUlongLe(Bytes + FIELD_OFFSET(ISO_REQUEST, PipeIndex));
    request.PacketSize = ReadUlongLe(Bytes + FIELD_OFFSET(ISO_REQUEST, PacketSize));
    request.PacketCount = ReadUlongLe(Bytes + FIELD_OFFSET(ISO_REQUEST, PacketCount));
    request.PacketsPerUrb = ReadUlongLe(Bytes + FIELD_OFFSET(ISO_REQUEST, PacketsPerUrb));
    request.UrbCount = ReadUlongLe(Bytes + FIELD_OFFSET(ISO_REQUEST, UrbCount));
    return request;
}

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
    // Set by the completion: the slot sends no further URB.
    BOOLEAN Ending;
    // The status of the slot's last completed request.
    NTSTATUS LastStatus;
    // One-shot transfer: whether the slot's next group may go down from its completion, or must
    // wait for the submitting thread, which sends the groups in order while it holds the slots
    // (ISO_SLOT_HELD, ISO_SLOT_PARKED, ISO_SLOT_RELEASED).
    LONG volatile Launch;
} ISO_URB_SLOT, *PISO_URB_SLOT;

#define ISO_SLOT_HELD 0
#define ISO_SLOT_PARKED 1
#define ISO_SLOT_RELEASED 2

struct _ISO_TRANSFER {
    PDEVICE_OBJECT DeviceObject;
    ULONG PacketSize;
    ULONG TotalPackets;
    // A copy of the pipe's entry, and its index: the stream outlives any one look at the pipe
    // table (which cannot be replaced while the stream exists).
    USBD_PIPE_INFORMATION Pipe;
    ULONG PipeIndex;
    PUCHAR Buffer;
    ULONG BufferBytes;
    PUCHAR Descriptors;
    ULONG PacketsPerUrb;
    ULONG UrbCount;
    // One-shot only: packets whose descriptor came back with success. Both: the first failure
    // status of a request, which the transfer (or the stream's start) answers when nothing
    // arrived.
    LONG volatile PacketsArrived;
    LONG volatile FirstFailure;
    // Stream only: URBs that came back with success.
    LONG volatile UrbsSucceeded;
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
    // Stream only: TRUE once the stream was published in the device record, whose release then
    // says so there.
    BOOLEAN Published;
    // Stream only: completed URBs whose packets did not fit into the rings.
    ULONG DroppedUrbs;
    PISO_URB_SLOT Slots;
};

// Builds slot Index's URB and IRP (completion routine: Routine) without submitting them.
// STATUS_NO_MEMORY when either cannot be allocated; nothing of the slot remains then.
_IRQL_requires_max_(DISPATCH_LEVEL) _Must_inspect_result_ NTSTATUS
    BuildIsoUrb(_Inout_ PISO_TRANSFER Transfer, _In_ ULONG Index,
                _In_ PIO_COMPLETION_ROUTINE Routine);

// Refills a slot's URB for its current StartPacket and readies its IRP to go down again.
_IRQL_requires_max_(DISPATCH_LEVEL) VOID
    PrepareIsoSlot(_Inout_ PISO_URB_SLOT Slot, _In_ PIO_COMPLETION_ROUTINE Routine);

// Frees a slot's URB and IRP.
_IRQL_requires_max_(DISPATCH_LEVEL) VOID FreeIsoSlot(_Inout_ PISO_URB_SLOT Slot);

// What happens to a slot after one of its URBs came back: TRUE when the slot's URB has been
// refilled (PrepareIsoSlot) and goes down again; FALSE when the slot has ended, after which the
// caller touches neither the slot nor its transfer.
typedef BOOLEAN ISO_SLOT_NEXT(PISO_URB_SLOT Slot);

// Passes the slot's prepared IRP down, and keeps doing so for as long as the lower driver
// completes it inside that call. A completion routine never resubmits from within the call that
// submitted its URB: a bus that refuses or finishes URBs at once would otherwise nest one
// submission and completion inside the next, as deep as the transfer is long, on a kernel stack
// of a few pages. The two sides tell by the rule every driver below keeps: a request it does not
// finish in the call is marked pending (PendingReturned in the completion) and the call answers
// STATUS_PENDING; one it finishes in the call is neither. So a completion that finds the request
// not pending returns at once (IsoSlotCompletedInCall) and this loop, in the frame that
// submitted, takes the next step; after STATUS_PENDING the completion carries on by itself and
// this routine returns without touching the slot. The stack holds at most one submission and
// one completion per slot.
_IRQL_requires_max_(DISPATCH_LEVEL) VOID
    SubmitIsoSlot(_Inout_ PISO_URB_SLOT Slot, _In_ ISO_SLOT_NEXT* Next);

// Called by a slot's completion routine once it has taken the URB's results: TRUE when the
// lower driver finished the request inside the call that submitted it, whose caller carries on;
// the completion then returns at once. FALSE: the completion carries on (Next, then
// SubmitIsoSlot).
static inline BOOLEAN IsoSlotCompletedInCall(PIRP Irp) {
    return !Irp->PendingReturned;
}

// Treats a URB the bus refused as a whole: it carries no packet results of its own, so its
// packets are given the URB's status and no data instead of the successes we preset.
_IRQL_requires_max_(DISPATCH_LEVEL) VOID
    MarkRefusedIsoPackets(_Inout_ PISO_URB_SLOT Slot, _In_ NTSTATUS RequestStatus);

// Packets per URB (P) and URBs (N) within what the driver serves: P from 1 to
// ISO_MAX_PACKETS_PER_URB, N from 1 to ISO_MAX_URBS.
_Must_inspect_result_ BOOLEAN IsoUrbShapeIsSound(_In_ ULONG PacketsPerUrb, _In_ ULONG UrbCount);

// The URB block size for P packets (12 bytes more than the descriptors strictly need).
static inline ULONG IsoUrbSize(ULONG PacketsPerUrb) {
    return (ULONG)sizeof(struct _URB_ISOCH_TRANSFER) + ISO_DESCRIPTOR_SIZE * PacketsPerUrb;
}
