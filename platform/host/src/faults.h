// Memory faults the host kernel turns into reports: writes into pages the platform would have
// locked for read access only, and overflows of a kernel thread's stack.
//
// One SIGSEGV handler serves both; a fault that is neither goes on to the handler that was there
// before (the sanitizer's, or the default one), so nothing else changes.
#pragma once

#include "internal.h"

#include <span>

namespace host::detail {

// Pages of their own holding a copy of a caller's buffer, mapped read-only: what a driver gets for
// a METHOD_IN_DIRECT output buffer, which the platform locks for read access. A write into them
// faults; the handler notes the first such write (address, instruction, the driver routine that
// ran), makes the pages writable so the driver can go on, and the owner reports it when the
// request ends. The caller's own buffer never sees the write.
class ReadOnlyView {
  public:
    // The copy starts at the same offset within its first page as `pageOffsetOf` does.
    ReadOnlyView(std::span<const std::uint8_t> contents, const void* pageOffsetOf);
    ~ReadOnlyView();
    ReadOnlyView(const ReadOnlyView&) = delete;
    ReadOnlyView& operator=(const ReadOnlyView&) = delete;

    std::uint8_t* Data() const { return data_; }

    struct Write {
        std::uintptr_t Address;  // the first byte the faulting write touched
        const void* Instruction; // the code that wrote
        PDEVICE_OBJECT Device;   // the driver routine the host ran on that thread, if any
        FrameKind Kind;
        bool InDriverRoutine;
    };
    // The first write into the view, if any came.
    std::optional<Write> FirstWrite() const;

  private:
    std::uint8_t* base_ = nullptr; // the mapping
    std::size_t bytes_ = 0;        // its length, whole pages
    std::uint8_t* data_ = nullptr; // the copy inside it
    int slot_ = -1;                // where the fault handler finds it
};

// While alive on a thread: the thread's stack is watched for overflow (reported as a bug check),
// with a signal stack of its own to report from. Kernel threads hold one for their whole life.
class KernelStackGuard {
  public:
    KernelStackGuard();
    ~KernelStackGuard();
    KernelStackGuard(const KernelStackGuard&) = delete;
    KernelStackGuard& operator=(const KernelStackGuard&) = delete;

  private:
    void* signalStack_ = nullptr;
};

} // namespace host::detail
