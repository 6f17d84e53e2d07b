// BYTE_RING: a fixed-size circular byte queue in non-paged memory between one producer (a
// completion routine, up to DISPATCH_LEVEL) and one consumer (a read request, PASSIVE_LEVEL).
//
// The copies are made without a lock: the producer alone moves WritePos, the consumer alone
// moves ReadPos. Only FillCount is shared; it changes with interlocked operations after the
// copy, which publishes the copied bytes to the other side (the full barrier of the interlocked
// operation releases them; the other side's interlocked read acquires them).
#pragma once

#include "platform/kernel.h"

typedef struct _BYTE_RING {
    PUCHAR WritePos;
    PUCHAR ReadPos;
    ULONG Capacity;
    // Bytes stored and not yet read. WritePos == ReadPos both when empty and when full.
    LONG volatile FillCount;
    PUCHAR Base;
} BYTE_RING, *PBYTE_RING;

// A new empty ring of Capacity bytes, or NULL when either allocation fails.
_IRQL_requires_max_(DISPATCH_LEVEL) _Must_inspect_result_ PBYTE_RING
    RingCreate(_In_ ULONG Capacity);

// Frees the storage, then the record. Only when neither side can call the ring any more.
_IRQL_requires_max_(DISPATCH_LEVEL) VOID RingRelease(_In_ PBYTE_RING Ring);

// Stores all Length bytes and returns Length, or stores nothing and returns 0 when they do not
// fit (never a part). Producer side only.
_IRQL_requires_max_(DISPATCH_LEVEL) ULONG
    RingPut(_Inout_ PBYTE_RING Ring, _In_reads_bytes_(Length) const UCHAR* Source,
            _In_ ULONG Length);

// Copies up to Length stored bytes out and removes them; returns how many. A request for more
// than the ring can ever hold returns 0. Consumer side only.
_IRQL_requires_max_(DISPATCH_LEVEL) ULONG
    RingGet(_Inout_ PBYTE_RING Ring, _Out_writes_bytes_to_(Length, return ) PUCHAR Destination,
            _In_ ULONG Length);

// Bytes that can be put right now; only grows while the producer is not putting.
_IRQL_requires_max_(DISPATCH_LEVEL) _Must_inspect_result_ ULONG RingFreeSpace(_In_ PBYTE_RING Ring);
