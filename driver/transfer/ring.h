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
PBYTE_RING RingCreate(ULONG Capacity);

// Frees the storage, then the record. Only when neither side can call the ring any more.
VOID RingRelease(PBYTE_RING Ring);

// Stores all Length bytes and returns Length, or stores nothing and returns 0 when they do not
// fit (never a part). Producer side only.
ULONG RingPut(PBYTE_RING Ring, const UCHAR* Source, ULONG Length);

// Copies up to Length stored bytes out and removes them; returns how many. A request for more
// than the ring can ever hold returns 0. Consumer side only.
ULONG RingGet(PBYTE_RING Ring, PUCHAR Destination, ULONG Length);

// Bytes that can be put right now; only grows while the producer is not putting.
ULONG RingFreeSpace(PBYTE_RING Ring);
