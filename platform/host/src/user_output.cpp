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

// The span every kernel allocation so far has fallen in. Only values inside it are looked up.
std::atomic<std::uintptr_t> g_lowest{UINTPTR_MAX};
std::atomic<std::uintptr_t> g_highest{0};

// The first run of the pool fill at least PoolFillRun long: its offset and length.
std::optional<std::pair<std::size_t, std::size_t>>
FindFillRun(std::span<const std::uint8_t> bytes) {
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

// What a value is, if it is a kernel address the host knows: a declared object's name (inside
// its range counts), or the kind of pool block or object that starts there.
std::optional<std::string> KernelAddressName(std::uint64_t value) {
    {
        std::lock_guard lock(Decl().Mutex);
        auto it = Decl().Ranges.upper_bound(value);
        if (it != Decl().Ranges.begin()) {
            --it;
            if (value < it->second.End)
                return fmt::format("{}{}", value == it->first ? "" : "inside ", it->second.What);
        }
    }
    if (PoolAddressKind(value))
        return DescribePoolBlock(reinterpret_cast<const void*>(value))
            .value_or("the address of a pool block");
    for (auto lookup : {RequestAddressKind, ObjectAddressKind, FileObjectAddressKind})
        if (const char* kind = lookup(value))
            return fmt::format("the address of {}", kind);
    return std::nullopt;
}

// The first 8 bytes, at any offset, that hold a kernel address the host knows, and its name.
std::optional<std::pair<std::size_t, std::string>>
FindKernelAddress(std::span<const std::uint8_t> bytes) {
    const std::uintptr_t lowest = g_lowest.load(std::memory_order_relaxed);
    const std::uintptr_t highest = g_highest.load(std::memory_order_relaxed);
    for (std::size_t i = 0; i + sizeof(std::uint64_t) <= bytes.size(); ++i) {
        std::uint64_t value;
        std::memcpy(&value, bytes.data() + i, sizeof(value));
        if (value < lowest || value >= highest)
            continue;
        if (auto name = KernelAddressName(value))
            return std::make_pair(i, std::move(*name));
    }
    return std::nullopt;
}

} // namespace

void NoteKernelMemory(const void* p, std::size_t bytes) {
    auto begin = reinterpret_cast<std::uintptr_t>(p);
    auto end = begin + std::max<std::size_t>(bytes, 1);
    std::uintptr_t seen = g_lowest.load(std::memory_order_relaxed);
    while (begin < seen && !g_lowest.compare_exchange_weak(seen, begin, std::memory_order_relaxed))
        ;
    seen = g_highest.load(std::memory_order_relaxed);
    while (end > seen && !g_highest.compare_exchange_weak(seen, end, std::memory_order_relaxed))
        ;
}

void CheckUserOutput(std::span<const std::uint8_t> bytes, const std::string& request,
                     const CallSite& site) {
    if (auto run = FindFillRun(bytes))
        Violate(Check::KernelDataToUser,
                fmt::format("{} returned {} bytes of never-written pool to user mode: the pool's "
                            "fill byte {:#04x} at bytes {}..{} of the {}-byte output",
                            request, run->second, PoolFillByte, run->first,
                            run->first + run->second - 1, bytes.size()),
                site);
    if (auto found = FindKernelAddress(bytes)) {
        std::uint64_t value;
        std::memcpy(&value, bytes.data() + found->first, sizeof(value));
        Violate(Check::KernelDataToUser,
                fmt::format("{} returned a kernel address to user mode: bytes {}..{} of the "
                            "output hold {:#x}, {}",
                            request, found->first, found->first + 7, value, found->second),
                site);
    }
}

} // namespace detail

void KernelAddresses::Declare(const void* begin, std::size_t bytes, std::string what) {
    auto address = reinterpret_cast<std::uintptr_t>(begin);
    detail::NoteKernelMemory(begin, bytes);
    std::lock_guard lock(detail::Decl().Mutex);
    detail::Decl().Ranges[address] = {address + std::max<std::size_t>(bytes, 1), std::move(what)};
}

void KernelAddresses::Withdraw(const void* begin) {
    std::lock_guard lock(detail::Decl().Mutex);
    detail::Decl().Ranges.erase(reinterpret_cast<std::uintptr_t>(begin));
}

} // namespace host
