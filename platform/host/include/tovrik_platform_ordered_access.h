// Ordered reads and writes of shared flags and counters.
//
// The platform declares these in its headers (wdm.h); the host kernel gives them the same names
// and meaning, with the ordering spelled out so that ThreadSanitizer sees it.
#pragma once

#ifndef TOVRIK_PLATFORM_KERNEL_INSIDE
#error "include platform/kernel.h, not this header"
#endif

static inline BOOLEAN ReadBooleanAcquire(BOOLEAN const volatile* Source) {
    return __atomic_load_n(Source, __ATOMIC_ACQUIRE);
}
static inline VOID WriteBooleanRelease(BOOLEAN volatile* Destination, BOOLEAN Value) {
    __atomic_store_n(Destination, Value, __ATOMIC_RELEASE);
}
static inline LONG ReadAcquire(LONG const volatile* Source) {
    return __atomic_load_n(Source, __ATOMIC_ACQUIRE);
}
static inline VOID WriteRelease(LONG volatile* Destination, LONG Value) {
    __atomic_store_n(Destination, Value, __ATOMIC_RELEASE);
}
static inline LONG64 ReadAcquire64(LONG64 const volatile* Source) {
    return __atomic_load_n(Source, __ATOMIC_ACQUIRE);
}
static inline VOID WriteRelease64(LONG64 volatile* Destination, LONG64 Value) {
    __atomic_store_n(Destination, Value, __ATOMIC_RELEASE);
}
static inline PVOID ReadPointerAcquire(PVOID const volatile* Source) {
    return __atomic_load_n(Source, __ATOMIC_ACQUIRE);
}
static inline VOID WritePointerRelease(PVOID volatile* Destination, PVOID Value) {
    __atomic_store_n(Destination, Value, __ATOMIC_RELEASE);
}
