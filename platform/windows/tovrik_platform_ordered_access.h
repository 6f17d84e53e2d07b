// Ordered reads and writes of shared flags and counters.
//
// The current WDK declares these in wdm.h; the mingw-w64 DDK does not have them yet, so the
// Windows side supplies them here with the same names and meaning. On x64 plain loads already
// acquire and plain stores already release; the builtins keep the compiler from reordering.
#pragma once

#ifndef TOVRIK_PLATFORM_KERNEL_INSIDE
#error "include platform/kernel.h, not this header"
#endif

FORCEINLINE BOOLEAN ReadBooleanAcquire(BOOLEAN const volatile* Source) {
    return __atomic_load_n(Source, __ATOMIC_ACQUIRE);
}
FORCEINLINE VOID WriteBooleanRelease(BOOLEAN volatile* Destination, BOOLEAN Value) {
    __atomic_store_n(Destination, Value, __ATOMIC_RELEASE);
}
FORCEINLINE LONG ReadAcquire(LONG const volatile* Source) {
    return __atomic_load_n(Source, __ATOMIC_ACQUIRE);
}
FORCEINLINE VOID WriteRelease(LONG volatile* Destination, LONG Value) {
    __atomic_store_n(Destination, Value, __ATOMIC_RELEASE);
}
FORCEINLINE LONG64 ReadAcquire64(LONG64 const volatile* Source) {
    return __atomic_load_n(Source, __ATOMIC_ACQUIRE);
}
FORCEINLINE VOID WriteRelease64(LONG64 volatile* Destination, LONG64 Value) {
    __atomic_store_n(Destination, Value, __ATOMIC_RELEASE);
}
FORCEINLINE PVOID ReadPointerAcquire(PVOID const volatile* Source) {
    return __atomic_load_n(Source, __ATOMIC_ACQUIRE);
}
FORCEINLINE VOID WritePointerRelease(PVOID volatile* Destination, PVOID Value) {
    __atomic_store_n(Destination, Value, __ATOMIC_RELEASE);
}
