// The host's SIGSEGV handler: writes into read-only views and kernel-stack overflows.
//
// Everything the handler touches is async-signal-safe: fixed slots of atomics, trivial
// thread_locals, mprotect, write and abort. The views' owners read what it noted in ordinary
// code, after the request has ended.
#include "faults.h"

#include <atomic>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <pthread.h>
#include <sys/mman.h>
#include <ucontext.h>
#include <unistd.h>

namespace host::detail {

namespace {

constexpr std::size_t PageBytes = 4096;

// One watched view: the pages of its mapping. Begin == 0: free. Claimed under the registry mutex,
// read by the handler.
struct ViewSlot {
    std::atomic<std::uintptr_t> Begin{0};
    std::atomic<std::uintptr_t> End{0};
    std::atomic<bool> Written{false};
    std::uintptr_t Address = 0;
    const void* Instruction = nullptr;
    PDEVICE_OBJECT Device = nullptr;
    FrameKind Kind = FrameKind::Dispatch;
    bool InDriverRoutine = false;
    std::atomic<bool> Noted{false}; // the fields above are complete
};
// As many read-only views as requests can be in flight at once; the front end's callers are a
// handful of threads, so this is never near full.
constexpr int SlotCount = 1024;
ViewSlot g_slots[SlotCount];
std::mutex g_slotMutex;

// The stack a kernel thread runs on, for the overflow test. Trivial, so the handler may read it.
struct StackBounds {
    std::uintptr_t Low = 0;
    std::uintptr_t High = 0;
};
thread_local constinit StackBounds t_stack{};
thread_local constinit RoutineMark t_routine{};

struct sigaction g_previous {};
std::once_flag g_installed;

void Say(const char* text) {
    std::size_t length = std::strlen(text);
    while (length > 0) {
        ssize_t n = ::write(2, text, length);
        if (n <= 0)
            return;
        text += n;
        length -= static_cast<std::size_t>(n);
    }
}

bool IsWrite(void* context) {
#if defined(__x86_64__)
    auto* uc = static_cast<ucontext_t*>(context);
    return (uc->uc_mcontext.gregs[REG_ERR] & 2) != 0;
#else
    (void)context;
    return true;
#endif
}

const void* FaultingInstruction(void* context) {
#if defined(__x86_64__)
    auto* uc = static_cast<ucontext_t*>(context);
    return reinterpret_cast<const void*>(uc->uc_mcontext.gregs[REG_RIP]);
#else
    (void)context;
    return nullptr;
#endif
}

// A write into a read-only view: note it, open the pages, let the instruction run again.
bool TakeViewWrite(std::uintptr_t address, void* context) {
    for (ViewSlot& slot : g_slots) {
        std::uintptr_t begin = slot.Begin.load(std::memory_order_acquire);
        if (begin == 0 || address < begin || address >= slot.End.load(std::memory_order_acquire))
            continue;
        if (!IsWrite(context))
            return false; // a read of a mapped read-only page cannot fault; not ours to explain
        if (!slot.Written.exchange(true)) {
            slot.Address = address;
            slot.Instruction = FaultingInstruction(context);
            slot.Device = t_routine.Device;
            slot.Kind = t_routine.Kind;
            slot.InDriverRoutine = t_routine.Active;
            slot.Noted.store(true, std::memory_order_release);
        }
        std::uintptr_t end = slot.End.load(std::memory_order_acquire);
        ::mprotect(reinterpret_cast<void*>(begin), end - begin, PROT_READ | PROT_WRITE);
        return true;
    }
    return false;
}

// A fault just below a kernel thread's stack: its guard page (or a frame too large for what was
// left) was reached. The platform stops with a double fault; so does the host, with a word first.
bool IsStackOverflow(std::uintptr_t address) {
    if (t_stack.Low == 0)
        return false;
    constexpr std::uintptr_t window =
        std::uintptr_t{1024} * 1024; // a large local may skip the guard page
    return address < t_stack.Low + PageBytes && address + window >= t_stack.Low;
}

void PassOn(int signal, siginfo_t* info, void* context) {
    if (g_previous.sa_flags & SA_SIGINFO) {
        if (g_previous.sa_sigaction) {
            g_previous.sa_sigaction(signal, info, context);
            return;
        }
    } else if (g_previous.sa_handler != SIG_DFL && g_previous.sa_handler != SIG_IGN) {
        g_previous.sa_handler(signal);
        return;
    }
    // The default action: put it back and let the faulting instruction fault again.
    struct sigaction fallback {};
    fallback.sa_handler = SIG_DFL;
    sigemptyset(&fallback.sa_mask);
    ::sigaction(signal, &fallback, nullptr);
}

void OnFault(int signal, siginfo_t* info, void* context) {
    auto address = reinterpret_cast<std::uintptr_t>(info->si_addr);
    if (TakeViewWrite(address, context))
        return;
    if (IsStackOverflow(address)) {
        Say("host kernel: bug check: kernel stack overflow on a kernel thread (its stack is "
            "sized like the platform's; see host::KernelThread::StackBytes). The platform stops "
            "here with a double fault.\n");
        std::abort();
    }
    PassOn(signal, info, context);
}

void InstallHandler() {
    std::call_once(g_installed, [] {
        struct sigaction action {};
        action.sa_sigaction = OnFault;
        action.sa_flags = SA_SIGINFO | SA_ONSTACK;
        sigemptyset(&action.sa_mask);
        ::sigaction(SIGSEGV, &action, &g_previous);
    });
}

} // namespace

RoutineMark& CurrentRoutineMark() {
    return t_routine;
}

// ---------------------------------------------------------------------------------------------
// Read-only views

ReadOnlyView::ReadOnlyView(std::span<const std::uint8_t> contents, const void* pageOffsetOf) {
    InstallHandler();
    std::size_t offset = reinterpret_cast<std::uintptr_t>(pageOffsetOf) & (PageBytes - 1);
    bytes_ = (offset + contents.size() + PageBytes - 1) & ~(PageBytes - 1);
    if (bytes_ == 0)
        bytes_ = PageBytes;
    void* mapping =
        ::mmap(nullptr, bytes_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (mapping == MAP_FAILED)
        Unsupported("the front end's read-only view", "running out of address space");
    base_ = static_cast<std::uint8_t*>(mapping);
    data_ = base_ + offset;
    if (!contents.empty())
        std::memcpy(data_, contents.data(), contents.size());
    ::mprotect(base_, bytes_, PROT_READ);
    std::lock_guard lock(g_slotMutex);
    for (int i = 0; i < SlotCount; ++i) {
        if (g_slots[i].Begin.load(std::memory_order_relaxed) != 0)
            continue;
        ViewSlot& slot = g_slots[i];
        slot.Written.store(false);
        slot.Noted.store(false);
        // The whole mapping is watched: a write past the copy's end, within its last page, is
        // as much a write into locked pages as one inside it.
        slot.End.store(reinterpret_cast<std::uintptr_t>(base_) + bytes_, std::memory_order_release);
        slot.Begin.store(reinterpret_cast<std::uintptr_t>(base_), std::memory_order_release);
        slot_ = i;
        return;
    }
    Unsupported("the front end's read-only view", "more views in flight than it has slots for");
}

ReadOnlyView::~ReadOnlyView() {
    {
        std::lock_guard lock(g_slotMutex);
        g_slots[slot_].Begin.store(0, std::memory_order_release);
        g_slots[slot_].End.store(0, std::memory_order_release);
    }
    ::munmap(base_, bytes_);
}

std::optional<ReadOnlyView::Write> ReadOnlyView::FirstWrite() const {
    const ViewSlot& slot = g_slots[slot_];
    if (!slot.Noted.load(std::memory_order_acquire))
        return std::nullopt;
    return Write{slot.Address, slot.Instruction, slot.Device, slot.Kind, slot.InDriverRoutine};
}

// ---------------------------------------------------------------------------------------------
// Kernel stack guard

KernelStackGuard::KernelStackGuard() {
    InstallHandler();
    pthread_attr_t attributes;
    if (pthread_getattr_np(pthread_self(), &attributes) == 0) {
        void* low = nullptr;
        std::size_t size = 0;
        if (pthread_attr_getstack(&attributes, &low, &size) == 0) {
            t_stack.Low = reinterpret_cast<std::uintptr_t>(low);
            t_stack.High = t_stack.Low + size;
        }
        pthread_attr_destroy(&attributes);
    }
    // The report runs on a signal stack; use the one the thread has (a sanitizer gives its
    // threads one), or one of our own.
    stack_t current{};
    if (::sigaltstack(nullptr, &current) == 0 && (current.ss_flags & SS_DISABLE)) {
        constexpr std::size_t bytes = std::size_t{64} * 1024;
        signalStack_ = std::malloc(bytes);
        stack_t ours{};
        ours.ss_sp = signalStack_;
        ours.ss_size = bytes;
        if (::sigaltstack(&ours, nullptr) != 0) {
            std::free(signalStack_);
            signalStack_ = nullptr;
        }
    }
}

KernelStackGuard::~KernelStackGuard() {
    t_stack = {};
    if (signalStack_) {
        stack_t off{};
        off.ss_flags = SS_DISABLE;
        ::sigaltstack(&off, nullptr);
        std::free(signalStack_);
    }
}

} // namespace host::detail
