// Pool: every block tracked with its call site and the driver and device it was allocated for;
// and the fault injection that every allocating routine asks first.
#include "internal.h"

#include <fmt/format.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <random>

namespace host {
namespace detail {
namespace {

// Fresh pool is not zeroed on the platform; a pattern makes reads of unwritten bytes visible.
constexpr unsigned char FreshPattern = 0xC5;
constexpr unsigned char FreedPattern = 0xDF;
constexpr ULONG UntaggedTag = 0x656E6F4E; // "None", as the platform tags untagged blocks

struct Block {
    std::size_t Size;
    ULONG Tag;
    CallSite Site;
    PDRIVER_OBJECT Driver;
    PDEVICE_OBJECT Device;
    std::uint64_t Serial;
    bool HostOwned;
    bool Reported = false;
};

struct PoolState {
    std::mutex Mutex;
    std::map<std::uintptr_t, Block> Blocks;
    std::unordered_map<std::uintptr_t, CallSite> Freed; // until the address is handed out again
    std::uint64_t NextSerial = 1;
};
PoolState& P() {
    static PoolState* state = new PoolState;
    return *state;
}

std::string BlockLine(std::uintptr_t address, const Block& b) {
    return fmt::format("{} bytes at {:#x} tag '{}' allocated at {}", b.Size, address,
                       std::string(reinterpret_cast<const char*>(&b.Tag), 4), b.Site.ToString());
}

} // namespace

const unsigned char PoolFillByte = FreshPattern;

const char* PoolAddressKind(std::uintptr_t value) {
    std::lock_guard lock(P().Mutex);
    return P().Blocks.count(value) ? "pool block" : nullptr;
}

std::optional<std::string> DescribePoolBlock(const void* p) {
    std::lock_guard lock(P().Mutex);
    auto it = P().Blocks.find(reinterpret_cast<std::uintptr_t>(p));
    if (it == P().Blocks.end())
        return std::nullopt;
    return "the pool block of " + BlockLine(it->first, it->second);
}

// Far above what a pool of this machine could give, and below what the sanitizers' allocators
// refuse outright.
constexpr std::size_t kLargestPoolBlock = std::size_t{1} << 38;

void* PoolAllocate(POOL_TYPE type, std::size_t bytes, ULONG tag, const CallSite& site,
                   bool hostOwned) {
    KIRQL irql = Thread().Irql;
    if (irql > DISPATCH_LEVEL) {
        Violate(Check::AllocationAboveDispatch,
                fmt::format("pool allocation of {} bytes at IRQL {}", bytes, irql), site);
    } else if (type == PagedPool && irql > APC_LEVEL) {
        Violate(Check::AllocationAboveDispatch,
                fmt::format("paged pool allocation of {} bytes at IRQL {}", bytes, irql), site);
    }
    // Driver Verifier stops a driver that asks for no bytes at all.
    if (bytes == 0 && !hostOwned)
        Violate(Check::BadArgument, "pool allocation of zero bytes", site);
    if (!hostOwned && FaultInjection::ShouldFail(AllocationKind::Pool, site))
        return nullptr;
    // More than any machine's pool holds (the sizes near the top of the address space too, which
    // would wrap when rounded up): the platform answers NULL.
    if (bytes > kLargestPoolBlock)
        return nullptr;
    std::size_t rounded = (bytes + 15) & ~std::size_t(15);
    if (rounded == 0)
        rounded = 16;
    void* p = std::aligned_alloc(16, rounded);
    if (!p)
        return nullptr;
    std::memset(p, FreshPattern, rounded);
    NoteKernelMemory(p, rounded);
    DriverContext context = CurrentContext();
    std::lock_guard lock(P().Mutex);
    auto address = reinterpret_cast<std::uintptr_t>(p);
    P().Freed.erase(address);
    P().Blocks[address] =
        Block{bytes, tag, site, context.Driver, context.Device, P().NextSerial++, hostOwned};
    return p;
}

void PoolFree(void* p, const CallSite& site, bool hostOwned, std::optional<ULONG> tag) {
    if (!p) {
        Violate(Check::BadFree, "ExFreePool(NULL)", site);
        return;
    }
    ReportIrqlAbove(DISPATCH_LEVEL, "ExFreePool", site);
    auto address = reinterpret_cast<std::uintptr_t>(p);
    std::size_t size = 0;
    {
        std::lock_guard lock(P().Mutex);
        auto it = P().Blocks.find(address);
        if (it == P().Blocks.end()) {
            auto freed = P().Freed.find(address);
            if (freed != P().Freed.end())
                Violate(Check::BadFree,
                        fmt::format("ExFreePool of {}, already freed at {}", Hex(p),
                                    freed->second.ToString()),
                        site);
            else
                Violate(Check::BadFree,
                        fmt::format("ExFreePool of {}, which is not a pool block", Hex(p)), site);
            return;
        }
        if (it->second.HostOwned && !hostOwned) {
            Violate(Check::BadFree,
                    fmt::format("ExFreePool of {}, a buffer the I/O manager owns (allocated at {})",
                                Hex(p), it->second.Site.ToString()),
                    site);
            return;
        }
        if (tag && *tag != it->second.Tag)
            Violate(Check::BadFree,
                    fmt::format(
                        "ExFreePoolWithTag of {} with tag {:#x}; it was allocated with tag {:#x}",
                        Hex(p), *tag, it->second.Tag),
                    site);
        size = it->second.Size;
        P().Blocks.erase(it);
        P().Freed[address] = site;
    }
    // An IRP built in this block by IoInitializeIrp goes with it, and so do the wait lists of
    // the events in it.
    IrpStorageFreed(p, site);
    EventStorageEnds(p, size, "ExFreePool of", site);
    std::memset(p, FreedPattern, size);
    std::free(p);
}

bool IsInPool(const void* p, std::size_t bytes) {
    auto address = reinterpret_cast<std::uintptr_t>(p);
    std::lock_guard lock(P().Mutex);
    auto it = P().Blocks.upper_bound(address);
    if (it == P().Blocks.begin())
        return false;
    --it;
    return address >= it->first && address + bytes <= it->first + it->second.Size;
}

std::optional<std::size_t> PoolBlockSize(const void* p) {
    std::lock_guard lock(P().Mutex);
    auto it = P().Blocks.find(reinterpret_cast<std::uintptr_t>(p));
    if (it == P().Blocks.end())
        return std::nullopt;
    return it->second.Size;
}

namespace {
// Reports, once each, the blocks `select` picks (it may also take a block out of its owner's
// charge): `kind`, with `what` before the block's line. The reports are made after the lock is
// let go, so that a reporter may look at the pool. Returns how many it reported.
std::size_t ReportBlocks(Check kind, const std::string& what,
                         const std::function<bool(Block&)>& select) {
    std::vector<std::pair<std::string, CallSite>> leaks;
    {
        std::lock_guard lock(P().Mutex);
        for (auto& [address, block] : P().Blocks) {
            if (!select(block) || block.Reported)
                continue;
            block.Reported = true;
            leaks.emplace_back(BlockLine(address, block), block.Site);
        }
    }
    for (auto& [line, site] : leaks)
        Violate(kind, what + line, site);
    return leaks.size();
}
} // namespace

void PoolDeviceDeleted(PDEVICE_OBJECT device) {
    ReportBlocks(
        Check::PoolLeakAtRemove,
        fmt::format("device {} deleted with pool allocated for it still allocated: ", Hex(device)),
        [device](Block& block) {
            if (block.Device != device)
                return false;
            block.Device = nullptr;
            return true;
        });
}

void PoolDriverUnloaded(PDRIVER_OBJECT driver) {
    ReportBlocks(Check::PoolLeakAtUnload,
                 "driver unloaded with its pool still allocated: ", [driver](Block& block) {
                     if (block.Driver != driver)
                         return false;
                     block.Driver = nullptr;
                     block.Device = nullptr;
                     return true;
                 });
}

std::size_t PoolLeaksSince(std::uint64_t serial) {
    return ReportBlocks(Check::Leak, "pool block left at the end of the test: ",
                        [serial](const Block& block) { return block.Serial >= serial; });
}

} // namespace detail

using namespace detail;

std::vector<PoolBlock> Pool::Outstanding() {
    std::lock_guard lock(P().Mutex);
    std::vector<PoolBlock> out;
    for (const auto& [address, b] : P().Blocks)
        out.push_back({reinterpret_cast<const void*>(address), b.Size, b.Tag, b.Site, b.Driver,
                       b.Device, b.Serial});
    return out;
}

std::size_t Pool::OutstandingCount() {
    std::lock_guard lock(P().Mutex);
    return P().Blocks.size();
}

std::string Pool::LeakReport(std::uint64_t sinceSerial) {
    std::lock_guard lock(P().Mutex);
    std::string out;
    for (const auto& [address, b] : P().Blocks)
        if (b.Serial >= sinceSerial)
            out += BlockLine(address, b) + "\n";
    return out;
}

std::uint64_t Pool::NextSerial() {
    std::lock_guard lock(P().Mutex);
    return P().NextSerial;
}

// ---------------------------------------------------------------------------------------------
// Fault injection

namespace {
struct SiteRule {
    std::string Site;
    int Times;
    unsigned Kinds;
};
struct FaultState {
    std::mutex Mutex;
    // Every allocation asks: counted without the lock, which only a rule in force needs.
    std::atomic<std::uint64_t> Counted{0};
    std::atomic<std::uint64_t> Failed{0};
    // Whether any rule is in force (set with the lock held, whenever a rule changes).
    std::atomic<bool> Armed{false};
    std::uint64_t NthTarget = 0;
    std::uint64_t NthSeen = 0;
    unsigned NthKinds = 0;
    std::vector<SiteRule> Sites;
    double Probability = 0;
    unsigned ProbabilityKinds = 0;
    std::mt19937_64 Random;
    int FailAttach = 0;
    // Shared so that a decider being replaced may finish its call on another thread.
    std::shared_ptr<const FaultInjection::Decider> Decider;
};
FaultState& F() {
    static FaultState* state = new FaultState;
    return *state;
}

// With F().Mutex held, after any rule ShouldFail looks at changed.
void NoteRules() {
    FaultState& f = F();
    bool sites = false;
    for (const SiteRule& rule : f.Sites)
        sites = sites || rule.Times != 0;
    f.Armed.store(f.NthTarget != 0 || sites || f.Probability > 0 || f.Decider != nullptr,
                  std::memory_order_release);
}

bool EndsWith(const std::string& text, const std::string& tail) {
    return text.size() >= tail.size() &&
           text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}
} // namespace

void FaultInjection::FailNth(std::uint64_t k, AllocationKind kinds) {
    std::lock_guard lock(F().Mutex);
    F().NthTarget = k;
    F().NthSeen = 0;
    F().NthKinds = static_cast<unsigned>(kinds);
    NoteRules();
}

void FaultInjection::FailAtSite(std::string site, int times, AllocationKind kinds) {
    std::lock_guard lock(F().Mutex);
    F().Sites.push_back({std::move(site), times, static_cast<unsigned>(kinds)});
    NoteRules();
}

void FaultInjection::FailWithProbability(double probability, std::uint64_t seed,
                                         AllocationKind kinds) {
    std::lock_guard lock(F().Mutex);
    F().Probability = probability;
    F().ProbabilityKinds = static_cast<unsigned>(kinds);
    F().Random.seed(seed);
    NoteRules();
}

void FaultInjection::FailAttach(int times) {
    std::lock_guard lock(F().Mutex);
    F().FailAttach = times;
}

void FaultInjection::SetDecider(Decider decider) {
    std::lock_guard lock(F().Mutex);
    F().Decider = decider ? std::make_shared<const Decider>(std::move(decider)) : nullptr;
    NoteRules();
}

void FaultInjection::Reset() {
    std::lock_guard lock(F().Mutex);
    F().Decider = nullptr;
    F().Counted = 0;
    F().Failed = 0;
    F().NthTarget = F().NthSeen = 0;
    F().NthKinds = 0;
    F().Sites.clear();
    F().Probability = 0;
    F().ProbabilityKinds = 0;
    F().FailAttach = 0;
    NoteRules();
}

bool FaultInjection::ShouldFail(AllocationKind kind, const CallSite& site) {
    auto bit = static_cast<unsigned>(kind);
    F().Counted.fetch_add(1, std::memory_order_relaxed);
    // With no rule in force the answer is no, and nothing else is to be counted.
    if (!F().Armed.load(std::memory_order_acquire))
        return false;
    std::unique_lock lock(F().Mutex);
    bool fail = false;
    if (F().NthTarget && (F().NthKinds & bit) && ++F().NthSeen == F().NthTarget) {
        fail = true;
        F().NthTarget = 0;
    }
    // Every allocation comes here: the site's name is made only when there is a rule to match.
    if (!fail && site.File && !F().Sites.empty()) {
        std::string where = fmt::format("{}:{}", site.File, site.Line);
        for (auto& rule : F().Sites) {
            if (rule.Times == 0 || !(rule.Kinds & bit))
                continue;
            if (EndsWith(where, rule.Site) || EndsWith(site.File, rule.Site)) {
                fail = true;
                if (rule.Times > 0 && --rule.Times == 0)
                    NoteRules();
                break;
            }
        }
    }
    if (!fail && F().Probability > 0 && (F().ProbabilityKinds & bit)) {
        std::uniform_real_distribution<double> uniform(0.0, 1.0);
        fail = uniform(F().Random) < F().Probability;
    }
    if (!fail && F().Decider) {
        std::shared_ptr<const Decider> decider = F().Decider;
        lock.unlock();
        fail = (*decider)(kind, site);
        lock.lock();
    }
    if (fail) {
        F().Failed.fetch_add(1, std::memory_order_relaxed);
        NoteRules();
    }
    return fail;
}

std::uint64_t FaultInjection::Counted() {
    return F().Counted.load(std::memory_order_relaxed);
}

std::uint64_t FaultInjection::Failed() {
    return F().Failed.load(std::memory_order_relaxed);
}

namespace detail {
bool TakeAttachFailure() {
    std::lock_guard lock(F().Mutex);
    if (F().FailAttach <= 0)
        return false;
    F().FailAttach--;
    return true;
}
} // namespace detail

} // namespace host

using namespace host;
using namespace host::detail;

extern "C" {

PVOID NTAPI ExAllocatePool(POOL_TYPE PoolType, SIZE_T NumberOfBytes) {
    return PoolAllocate(PoolType, NumberOfBytes, UntaggedTag, HOST_SITE(), false);
}

PVOID NTAPI ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag) {
    return PoolAllocate(PoolType, NumberOfBytes, Tag, HOST_SITE(), false);
}

VOID NTAPI ExFreePool(PVOID P) {
    PoolFree(P, HOST_SITE(), false);
}

VOID NTAPI ExFreePoolWithTag(PVOID P, ULONG Tag) {
    PoolFree(P, HOST_SITE(), false, Tag);
}

} // extern "C"
