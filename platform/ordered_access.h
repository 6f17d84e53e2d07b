// Ordered reads and writes of shared flags and counters.
//
// The current WDK declares these in wdm.h; mingw-w64's DDK does not have them yet, and the host
// kernel declares only what it implements itself, so both builds take them from here, with the
// platform's names and meaning. The ordering is spelled out with the compiler's atomic builtins:
// on x64 plain loads already acquire and plain stores already release, and the builtins keep the
// compiler from reordering and let ThreadSanitizer see the ordering in the host build.
#pragma once

#ifndef TOVRIK_PLATFORM_KERNEL_INSIDE
#error "include platform/kernel.h, not this header"
#endif

// One read-acquire and one write-release routine for each width the platform has.
// The type goes where parentheses could not stand.
// NOLINTBEGIN(bugprone-macro-parentheses)
#define TOVRIK_ORDERED_ACCESS(Type, Read, Write)                                                   \
    static inline Type Read(Type const volatile* Source) {                                         \
        return __atomic_load_n(Source, __ATOMIC_ACQUIRE);                                          \
    }                                                                                              \
    static inline VOID Write(Type volatile* Destination, Type Value) {                             \
        __atomic_store_n(Destination, Value, __ATOMIC_RELEASE);                                    \
    }
// NOLINTEND(bugprone-macro-parentheses)

TOVRIK_ORDERED_ACCESS(BOOLEAN, ReadBooleanAcquire, WriteBooleanRelease)
TOVRIK_ORDERED_ACCESS(LONG, ReadAcquire, WriteRelease)
TOVRIK_ORDERED_ACCESS(LONG64, ReadAcquire64, WriteRelease64)
TOVRIK_ORDERED_ACCESS(PVOID, ReadPointerAcquire, WritePointerRelease)

#undef TOVRIK_ORDERED_ACCESS
