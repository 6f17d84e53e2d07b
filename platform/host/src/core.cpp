// Threads, call sites, the clock, IRQL and spin locks, and the contract checks.
#include "internal.h"

#include <fmt/format.h>

#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <set>
#include <thread>

namespace host {
namespace detail {

namespace {
std::atomic<std::uint64_t> g_nextThreadId{1};
}

ThreadState& Thread() {
    thread_local ThreadState state;
    if (state.Id == 0)
        state.Id = g_nextThreadId.fetch_add(1);
    return state;
}

CallSite TakeSite(const void* returnAddress) {
    ThreadState& t = Thread();
    CallSite site;
    if (t.HasSite) {
        site = t.Noted;
        t.HasSite = false;
    }
    site.ReturnAddress = returnAddress;
    return site;
}

std::string Hex(const void* p) {
    return fmt::format("{:#x}", reinterpret_cast<std::uintptr_t>(p));
}

DriverContext CurrentContext() {
    ThreadState& t = Thread();
    return t.Contexts.empty() ? DriverContext{} : t.Contexts.back();
}

ContextScope::ContextScope(PDRIVER_OBJECT driver, PDEVICE_OBJECT device) {
    Thread().Contexts.push_back({driver, device});
}
ContextScope::~ContextScope() {
    Thread().Contexts.pop_back();
}

[[noreturn]] void Unsupported(const char* routine, const char* what) {
    (void)std::fprintf(stderr, "host kernel: %s: %s is not provided by the host kernel\n", routine,
                       what);
    (void)std::fflush(stderr);
    std::abort();
}

} // namespace detail

using namespace detail;

std::string CallSite::ToString() const {
    if (File)
        return fmt::format("{}:{}", File, Line);
    if (ReturnAddress) {
        Dl_info info{};
        if (dladdr(ReturnAddress, &info) && info.dli_sname)
            return fmt::format("{}+{:#x}", info.dli_sname,
                               reinterpret_cast<std::uintptr_t>(ReturnAddress) -
                                   reinterpret_cast<std::uintptr_t>(info.dli_saddr));
        return fmt::format("[{}]", Hex(ReturnAddress));
    }
    return "(unknown site)";
}

CallSite TakeCallSite() {
    return TakeSite(__builtin_return_address(0));
}

KIRQL CurrentIrql() {
    return Thread().Irql;
}

DriverContextScope::DriverContextScope(PDRIVER_OBJECT driver, PDEVICE_OBJECT device) {
    Thread().Contexts.push_back({driver, device});
}
DriverContextScope::~DriverContextScope() {
    Thread().Contexts.pop_back();
}

// ---------------------------------------------------------------------------------------------
// Clock

namespace {
struct ClockState {
    std::mutex Mutex;
    double Scale = 1.0;
    LONGLONG BaseKernel;
    std::chrono::steady_clock::time_point BaseReal;
    ClockState() {
        // System time counts 100-ns units from 1601; start from the real time of day.
        auto sinceUnix = std::chrono::duration_cast<std::chrono::nanoseconds>(
                             std::chrono::system_clock::now().time_since_epoch())
                             .count();
        BaseKernel = sinceUnix / 100 + 116444736000000000LL;
        BaseReal = std::chrono::steady_clock::now();
    }
    LONGLONG NowLocked() const {
        auto real = std::chrono::duration_cast<std::chrono::nanoseconds>(
                        std::chrono::steady_clock::now() - BaseReal)
                        .count();
        return BaseKernel + static_cast<LONGLONG>(static_cast<double>(real) / 100.0 * Scale);
    }
};
ClockState& C() {
    static ClockState* state = new ClockState;
    return *state;
}
} // namespace

LONGLONG Clock::Now() {
    std::lock_guard lock(C().Mutex);
    return C().NowLocked();
}

void Clock::SetScale(double kernelPerReal) {
    if (!(kernelPerReal > 0))
        Unsupported("host::Clock::SetScale", "a scale that is not positive");
    {
        std::lock_guard lock(C().Mutex);
        C().BaseKernel = C().NowLocked();
        C().BaseReal = std::chrono::steady_clock::now();
        C().Scale = kernelPerReal;
    }
    WakeTimedWaits();
}

double Clock::Scale() {
    std::lock_guard lock(C().Mutex);
    return C().Scale;
}

namespace detail {
// The real moment at which the kernel clock reaches `deadline`, at the current scale.
std::chrono::steady_clock::time_point RealDeadline(LONGLONG deadline) {
    std::lock_guard lock(C().Mutex);
    LONGLONG now = C().NowLocked();
    auto real = std::chrono::steady_clock::now();
    if (deadline <= now)
        return real;
    double ns = static_cast<double>(deadline - now) * 100.0 / C().Scale;
    if (ns > 3.6e12)
        ns = 3.6e12; // an hour at a time; the wait loop comes back for more
    return real + std::chrono::nanoseconds(static_cast<std::int64_t>(ns) + 1);
}
} // namespace detail

// ---------------------------------------------------------------------------------------------
// IRQL and spin locks

namespace detail {

KSPIN_LOCK CancelSpinLock = 0;

const char* IrqlName(KIRQL irql) {
    switch (irql) {
    case PASSIVE_LEVEL:
        return "PASSIVE_LEVEL";
    case APC_LEVEL:
        return "APC_LEVEL";
    case DISPATCH_LEVEL:
        return "DISPATCH_LEVEL";
    case HIGH_LEVEL:
        return "HIGH_LEVEL";
    default:
        return "a device IRQL";
    }
}

static ULONG_PTR LockTag() {
    return (Thread().Id << 1) | 1;
}

KIRQL AcquireSpinLock(PKSPIN_LOCK lock, const CallSite& site) {
    ThreadState& t = Thread();
    if (t.Irql > DISPATCH_LEVEL)
        Violate(Check::IrqlMisuse,
                fmt::format("spin lock {} acquired at IRQL {}", Hex(lock), t.Irql), site);
    if (!t.Locks.empty())
        Violate(Check::TwoSpinLocks,
                fmt::format("spin lock {} acquired while spin lock {} (acquired at {}) is held",
                            Hex(lock), Hex(t.Locks.back().Lock), t.Locks.back().Site.ToString()),
                site);
    KIRQL old = t.Irql;
    if (t.Irql < DISPATCH_LEVEL)
        t.Irql = DISPATCH_LEVEL;
    ULONG_PTR tag = LockTag();
    for (unsigned spins = 0;; ++spins) {
        ULONG_PTR expected = 0;
        if (__atomic_compare_exchange_n(lock, &expected, tag, false, __ATOMIC_ACQUIRE,
                                        __ATOMIC_RELAXED))
            break;
        if (expected == tag) {
            Violate(
                Check::SpinLockMisuse,
                fmt::format(
                    "spin lock {} acquired again by the thread that holds it (a deadlock on the "
                    "platform)",
                    Hex(lock)),
                site);
            break;
        }
        if (spins < 64) {
#if defined(__x86_64__) || defined(__i386__)
            __builtin_ia32_pause();
#endif
        } else {
            std::this_thread::yield();
        }
    }
    t.Locks.push_back({lock, site});
    return old;
}

void ReleaseSpinLock(PKSPIN_LOCK lock, KIRQL newIrql, const CallSite& site) {
    ThreadState& t = Thread();
    bool found = false;
    for (auto it = t.Locks.rbegin(); it != t.Locks.rend(); ++it) {
        if (it->Lock == lock) {
            t.Locks.erase(std::next(it).base());
            found = true;
            break;
        }
    }
    if (!found) {
        Violate(Check::SpinLockMisuse,
                fmt::format("spin lock {} released by a thread that does not hold it", Hex(lock)),
                site);
    } else {
        __atomic_store_n(lock, 0, __ATOMIC_RELEASE);
    }
    if (newIrql > t.Irql)
        Violate(Check::IrqlMisuse,
                fmt::format("spin lock release 'lowers' IRQL from {} to the higher level {}",
                            t.Irql, newIrql),
                site);
    t.Irql = newIrql;
}

RoutineCheck::RoutineCheck(const char* what, const CallSite& site)
    : What(what), Site(site), EntryIrql(Thread().Irql), EntryLocks(Thread().Locks.size()) {}

void RoutineCheck::Finish() {
    ThreadState& t = Thread();
    if (t.Locks.size() > EntryLocks) {
        const HeldLock& held = t.Locks.back();
        Violate(Check::SpinLockHeldOnReturn,
                fmt::format("{} returned holding spin lock {} acquired at {}", What, Hex(held.Lock),
                            held.Site.ToString()),
                held.Site);
        // Put the thread back as it was, so one fault is reported once.
        while (t.Locks.size() > EntryLocks) {
            __atomic_store_n(t.Locks.back().Lock, 0, __ATOMIC_RELEASE);
            t.Locks.pop_back();
        }
        t.Irql = EntryIrql; // raised by the lock it kept: one fault, one report
    }
    if (t.Irql != EntryIrql) {
        Violate(Check::IrqlNotRestored,
                fmt::format("{} was called at IRQL {} and returned at IRQL {}", What, EntryIrql,
                            t.Irql),
                Site);
        t.Irql = EntryIrql;
    }
}

} // namespace detail
} // namespace host

using namespace host;
using namespace host::detail;

extern "C" {

VOID NTAPI HostNoteCallSite(const char* File, int Line) {
    ThreadState& t = Thread();
    t.Noted.File = File;
    t.Noted.Line = Line;
    t.HasSite = true;
}

KIRQL NTAPI KeGetCurrentIrql(void) {
    (void)HOST_SITE();
    return Thread().Irql;
}

VOID NTAPI KeRaiseIrql(KIRQL NewIrql, PKIRQL OldIrql) {
    CallSite site = HOST_SITE();
    ThreadState& t = Thread();
    if (NewIrql < t.Irql)
        Violate(Check::IrqlMisuse,
                fmt::format("KeRaiseIrql to {} from the higher level {}", NewIrql, t.Irql), site);
    *OldIrql = t.Irql;
    t.Irql = NewIrql;
}

VOID NTAPI KeLowerIrql(KIRQL NewIrql) {
    CallSite site = HOST_SITE();
    ThreadState& t = Thread();
    if (NewIrql > t.Irql)
        Violate(Check::IrqlMisuse,
                fmt::format("KeLowerIrql to {} from the lower level {}", NewIrql, t.Irql), site);
    t.Irql = NewIrql;
}

KIRQL NTAPI KeRaiseIrqlToDpcLevel(void) {
    CallSite site = HOST_SITE();
    ThreadState& t = Thread();
    if (t.Irql > DISPATCH_LEVEL)
        Violate(Check::IrqlMisuse,
                fmt::format("KeRaiseIrqlToDpcLevel from the higher level {}", t.Irql), site);
    KIRQL old = t.Irql;
    t.Irql = DISPATCH_LEVEL;
    return old;
}

KIRQL NTAPI KeAcquireSpinLockRaiseToDpc(PKSPIN_LOCK SpinLock) {
    return AcquireSpinLock(SpinLock, HOST_SITE());
}

VOID NTAPI KeReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql) {
    ReleaseSpinLock(SpinLock, NewIrql, HOST_SITE());
}

VOID NTAPI KeAcquireSpinLockAtDpcLevel(PKSPIN_LOCK SpinLock) {
    CallSite site = HOST_SITE();
    if (Thread().Irql != DISPATCH_LEVEL)
        Violate(Check::IrqlMisuse,
                fmt::format("KeAcquireSpinLockAtDpcLevel at IRQL {} (it needs DISPATCH_LEVEL)",
                            Thread().Irql),
                site);
    AcquireSpinLock(SpinLock, site);
}

VOID NTAPI KeReleaseSpinLockFromDpcLevel(PKSPIN_LOCK SpinLock) {
    CallSite site = HOST_SITE();
    ReleaseSpinLock(SpinLock, Thread().Irql, site);
}

VOID NTAPI IoAcquireCancelSpinLock(PKIRQL Irql) {
    *Irql = AcquireSpinLock(&CancelSpinLock, HOST_SITE());
}

VOID NTAPI IoReleaseCancelSpinLock(KIRQL Irql) {
    ReleaseSpinLock(&CancelSpinLock, Irql, HOST_SITE());
}

VOID NTAPI HostCheckIrqlAtMost(KIRQL Highest, const char* Contract, const char* Function,
                               const char* File, int Line) {
    (void)HOST_SITE();
    KIRQL irql = Thread().Irql;
    if (irql <= Highest)
        return;
    Violate(Check::IrqlContract,
            fmt::format("{} in {}: called at IRQL {} ({}); the routine may run at most at {}",
                        Contract, Function, irql, IrqlName(irql), IrqlName(Highest)),
            CallSite{File, Line, nullptr});
}

VOID NTAPI HostAssertionFailed(const char* Expression, const char* Function, const char* File,
                               int Line) {
    (void)HOST_SITE();
    Violate(
        Check::AssertionFailed,
        fmt::format("NT_ASSERT({}) failed in {} at IRQL {}", Expression, Function, Thread().Irql),
        CallSite{File, Line, nullptr});
}

VOID NTAPI KeEnterCriticalRegion(void) {
    (void)HOST_SITE();
    Thread().CriticalRegion++;
}

VOID NTAPI KeLeaveCriticalRegion(void) {
    CallSite site = HOST_SITE();
    ThreadState& t = Thread();
    if (t.CriticalRegion == 0) {
        Violate(Check::ResourceMisuse,
                "KeLeaveCriticalRegion without a matching KeEnterCriticalRegion", site);
        return;
    }
    t.CriticalRegion--;
}

VOID NTAPI KeQuerySystemTime(PLARGE_INTEGER CurrentTime) {
    (void)HOST_SITE();
    CurrentTime->QuadPart = Clock::Now();
}

} // extern "C"
