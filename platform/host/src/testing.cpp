// The per-test bracket: what a test starts from and what it must not leave behind.
#include "internal.h"

#include <fmt/format.h>

namespace host {
namespace {
struct Marks {
    std::mutex Mutex;
    std::uint64_t Pool = 0;
    std::uint64_t Irp = 0;
    std::uint64_t Mdl = 0;
};
Marks& M() {
    static Marks* marks = new Marks;
    return *marks;
}
} // namespace

void BeginTest() {
    Verifier::Clear();
    FaultInjection::Reset();
    Clock::SetScale(1.0);
    detail::ThreadState& t = detail::Thread();
    t.Irql = PASSIVE_LEVEL;
    t.Locks.clear();
    t.CriticalRegion = 0;
    std::lock_guard lock(M().Mutex);
    M().Pool = Pool::NextSerial();
    M().Irp = detail::NextIrpSerial();
    M().Mdl = detail::NextMdlSerial();
    detail::ClearMdlMappings();
}

std::size_t EndTest() {
    using namespace detail;
    // Work the test queued for the PnP manager (a departure, a deferred remove) belongs to it.
    WaitPnpIdleFor(10.0);
    std::uint64_t pool, irp, mdl;
    {
        std::lock_guard lock(M().Mutex);
        pool = M().Pool;
        irp = M().Irp;
        mdl = M().Mdl;
    }
    std::size_t found = RequestLeaksSince(irp, mdl) + PoolLeaksSince(pool);
    ThreadState& t = Thread();
    if (t.Irql != PASSIVE_LEVEL) {
        Violate(Check::IrqlNotRestored, fmt::format("the test ended at IRQL {}", t.Irql), {});
        t.Irql = PASSIVE_LEVEL;
        ++found;
    }
    if (!t.Locks.empty()) {
        Violate(Check::SpinLockHeldOnReturn,
                fmt::format("the test ended holding spin lock {} acquired at {}",
                            Hex(t.Locks.back().Lock), t.Locks.back().Site.ToString()),
                t.Locks.back().Site);
        for (auto& held : t.Locks)
            __atomic_store_n(held.Lock, 0, __ATOMIC_RELEASE);
        t.Locks.clear();
        ++found;
    }
    if (t.CriticalRegion != 0) {
        Violate(Check::ResourceMisuse,
                fmt::format("the test ended inside {} critical regions", t.CriticalRegion), {});
        t.CriticalRegion = 0;
        ++found;
    }
    return found;
}

} // namespace host
