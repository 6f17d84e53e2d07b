// What user mode gets back from a request must hold nothing of the kernel's own: no pool the
// driver never wrote (it carries whatever the block held before, other processes' data on the
// platform), and no kernel address (it defeats address-space randomisation).
#include "internal.h"

#include <fmt/format.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstring>
#include <map>

namespace host {
namespace detail {

namespace {

// How many bytes of the pool's fill in a row count as never-written pool. A never-written buffer
// worth leaking is far longer, and a single stale 64-bit field is 8 bytes; 16 bytes is twice that
// so that data never trips it by chance: for arbitrary bytes the odds at a given offset are
// 2^-128, and image data would need 8 equal 16-bit samples (or 16 equal 8-bit ones) in a row at
// exactly the fill's value 0xC5C5, which neither the camera's patterns nor a real sensor's noise
// produce.
constexpr std::size_t PoolFillRun = 16;

struct DeclaredRange {
    std::uintptr_t End;
    std::string What;
};
struct Declared {
    std::mutex Mutex;
    std::map<std::uintptr_t, DeclaredRange> Ranges;
};
Declared& Decl() {
    static Declared* declared = new Declared;
    return *declared;
}

void CollectDeclared(std::vector<KernelRange>& out) {
    std::lock_guard lock(Decl().Mutex);
    for (const auto& [begin, range] : Decl().Ranges)
        out.push_back({begin, range.End, "declared kernel object", range.What});
}

// The first run of the pool fill at least PoolFillRun long: its offset and length.
std::optional<std::pair<std::size_t, std::size_t>> FindFillRun(std::span<const std::uint8_t> bytes) {
    std::size_t run = 0;
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        run = bytes[i] == PoolFillByte ? run + 1 : 0;
        if (run == PoolFillRun) {
            std::size_t start = i + 1 - run;
            std::size_t end = i + 1;
            while (end < bytes.size() && bytes[end] == PoolFillByte)
                ++end;
            return std::make_pair(start, end - start);
        }
    }
    return std::nullopt;
}

// The kernel addresses the host knows now: objects and blocks whose address alone counts
// (sorted), and declared ranges any address inside of which counts (a handful).
struct KnownAddresses {
    std::vector<KernelRange> Exact;
    std::vector<KernelRange> Inside;
    std::uintptr_t Lowest = UINTPTR_MAX;
    std::uintptr_t Highest = 0;

    KnownAddresses() {
        std::vector<KernelRange> all;
        CollectPoolAddresses(all);
        CollectRequestAddresses(all);
        CollectObjectAddresses(all);
        CollectFileObjectAddresses(all);
        CollectDeclared(all);
        for (auto& range : all) {
            Lowest = std::min(Lowest, range.Begin);
            Highest = std::max(Highest, range.End);
            (range.End - range.Begin > 1 ? Inside : Exact).push_back(std::move(range));
        }
        std::sort(Exact.begin(), Exact.end(),
                  [](const KernelRange& a, const KernelRange& b) { return a.Begin < b.Begin; });
    }

    const KernelRange* Find(std::uint64_t value) const {
        if (value < Lowest || value >= Highest)
            return nullptr;
        auto it = std::lower_bound(
            Exact.begin(), Exact.end(), value,
            [](const KernelRange& r, std::uint64_t v) { return r.Begin < v; });
        if (it != Exact.end() && it->Begin == value)
            return &*it;
        for (const auto& range : Inside)
            if (value >= range.Begin && value < range.End)
                return &range;
        return nullptr;
    }
};

// The first 8 bytes, at any offset, that hold a kernel address the host knows.
std::optional<std::pair<std::size_t, const KernelRange*>>
FindKernelAddress(std::span<const std::uint8_t> bytes, const KnownAddresses& known) {
    for (std::size_t i = 0; i + sizeof(std::uint64_t) <= bytes.size(); ++i) {
        std::uint64_t value;
        std::memcpy(&value, bytes.data() + i, sizeof(value));
        if (const KernelRange* range = known.Find(value))
            return std::make_pair(i, range);
    }
    return std::nullopt;
}

std::string Describe(const KernelRange& range, std::uint64_t value) {
    if (!range.What.empty())
        return fmt::format("{}{}", value == range.Begin ? "" : "inside ", range.What);
    if (std::string_view(range.Kind) == "pool block")
        if (auto block = DescribePoolBlock(reinterpret_cast<const void*>(range.Begin)))
            return *block;
    return fmt::format("the address of {}", range.Kind);
}

} // namespace

void CheckUserOutput(std::span<const std::uint8_t> bytes, const std::string& request) {
    if (bytes.empty())
        return;
    if (auto run = FindFillRun(bytes))
        Violate(Check::KernelDataToUser,
                fmt::format("{} returned {} bytes of never-written pool to user mode: the pool's "
                            "fill byte {:#04x} at bytes {}..{} of the {}-byte output",
                            request, run->second, PoolFillByte, run->first,
                            run->first + run->second - 1, bytes.size()),
                {});
    if (bytes.size() < sizeof(std::uint64_t))
        return;
    KnownAddresses known;
    if (auto found = FindKernelAddress(bytes, known)) {
        std::uint64_t value;
        std::memcpy(&value, bytes.data() + found->first, sizeof(value));
        Violate(Check::KernelDataToUser,
                fmt::format("{} returned a kernel address to user mode: bytes {}..{} of the "
                            "output hold {:#x}, {}",
                            request, found->first, found->first + 7, value,
                            Describe(*found->second, value)),
                {});
    }
}

} // namespace detail

void KernelAddresses::Declare(const void* begin, std::size_t bytes, std::string what) {
    auto address = reinterpret_cast<std::uintptr_t>(begin);
    std::lock_guard lock(detail::Decl().Mutex);
    detail::Decl().Ranges[address] = {address + std::max<std::size_t>(bytes, 1), std::move(what)};
}

void KernelAddresses::Withdraw(const void* begin) {
    std::lock_guard lock(detail::Decl().Mutex);
    detail::Decl().Ranges.erase(reinterpret_cast<std::uintptr_t>(begin));
}

} // namespace host
