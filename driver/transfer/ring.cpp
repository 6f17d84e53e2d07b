// The byte ring.
#include "transfer/ring.h"

namespace {

_IRQL_requires_max_(DISPATCH_LEVEL) LONG ReadFillCount(_In_ PBYTE_RING Ring) {
    // Acquires what the other side published with its interlocked update.
    return ReadAcquire(&Ring->FillCount);
}

} // namespace

_Use_decl_annotations_ PBYTE_RING RingCreate(ULONG Capacity) {
    NONPAGED_CODE();
    PBYTE_RING ring = (PBYTE_RING)ExAllocatePool(NonPagedPool, sizeof(BYTE_RING));
    if (ring == NULL) {
        return NULL;
    }
    ring->Base = (PUCHAR)ExAllocatePool(NonPagedPool, Capacity);
    if (ring->Base == NULL) {
        ExFreePool(ring);
        return NULL;
    }
    ring->Capacity = Capacity;
    ring->FillCount = 0;
    ring->WritePos = ring->Base;
    ring->ReadPos = ring->Base;
    return ring;
}

_Use_decl_annotations_ VOID RingRelease(PBYTE_RING Ring) {
    NONPAGED_CODE();
    ExFreePool(Ring->Base);
    ExFreePool(Ring);
}

_Use_decl_annotations_ ULONG RingFreeSpace(PBYTE_RING Ring) {
    NONPAGED_CODE();
    return Ring->Capacity - (ULONG)ReadFillCount(Ring);
}

_Use_decl_annotations_ ULONG RingPut(PBYTE_RING Ring, const UCHAR* Source, ULONG Length) {
    NONPAGED_CODE();
    // A stale count only makes the ring look fuller than it is: never an overwrite.
    if (Length == 0 || Length > RingFreeSpace(Ring)) {
        return 0;
    }
    PUCHAR end = Ring->Base + Ring->Capacity;
    ULONG tail = (ULONG)(end - Ring->WritePos);
    if (Length < tail) {
        RtlCopyMemory(Ring->WritePos, Source, Length);
        Ring->WritePos += Length;
    } else {
        // Up to the end of the storage, then the rest from its start; ending exactly at the end
        // leaves the position at Base.
        RtlCopyMemory(Ring->WritePos, Source, tail);
        RtlCopyMemory(Ring->Base, Source + tail, Length - tail);
        Ring->WritePos = Ring->Base + (Length - tail);
    }
    // The producer alone adds: the count it adds to never exceeds what it saw free.
    NT_ASSERT((ULONG)ReadFillCount(Ring) + Length <= Ring->Capacity);
    InterlockedExchangeAdd(&Ring->FillCount, (LONG)Length);
    return Length;
}

_Use_decl_annotations_ ULONG RingGet(PBYTE_RING Ring, PUCHAR Destination, ULONG Length) {
    NONPAGED_CODE();
    if (Length == 0 || Length > Ring->Capacity) {
        return 0;
    }
    // A stale count only makes the ring look emptier than it is: never a byte read twice.
    ULONG stored = (ULONG)ReadFillCount(Ring);
    if (stored == 0) {
        return 0;
    }
    ULONG count = Length < stored ? Length : stored;
    PUCHAR end = Ring->Base + Ring->Capacity;
    ULONG tail = (ULONG)(end - Ring->ReadPos);
    if (count < tail) {
        RtlCopyMemory(Destination, Ring->ReadPos, count);
        Ring->ReadPos += count;
    } else {
        RtlCopyMemory(Destination, Ring->ReadPos, tail);
        RtlCopyMemory(Destination + tail, Ring->Base, count - tail);
        Ring->ReadPos = Ring->Base + (count - tail);
    }
    // The consumer alone takes away: the count never drops below what it saw stored.
    NT_ASSERT((ULONG)ReadFillCount(Ring) >= count);
    InterlockedExchangeAdd(&Ring->FillCount, -(LONG)count);
    return count;
}
