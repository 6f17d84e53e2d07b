// The user-output scan, a vector's width of offsets at a time:
// - a run of the fill PoolFillRun long holds exactly one of the probe bytes, those at offsets
//   PoolFillRun - 1 modulo PoolFillRun, so a group of offsets may hold the start of the first
//   long run only if one of its probes is the fill;
// - when the kernel span's lowest and highest addresses agree in their top 16 bits (as a
//   process's addresses do), a value inside the span has those two top bytes and a third byte
//   between theirs. A group with no offset whose top two bytes match holds no kernel address;
//   one with such offsets is screened again on all three bytes before its values are named.
// Groups are taken in order, so what is found first is the first in the output. The body is
// inlined into one routine per vector width, each compiled for the instructions it needs.
#include "output_scan.h"

#include <algorithm>
#include <cstring>

namespace host::detail {
namespace {

std::uint64_t ValueAt(std::span<const std::uint8_t> bytes, std::size_t offset) {
    std::uint64_t value;
    std::memcpy(&value, bytes.data() + offset, sizeof(value));
    return value;
}

// Looks at the probes in [from, to) for the first run of the fill at least PoolFillRun long: the
// first probe that lies in a long enough run lies in the first such run.
void ScanFill(std::span<const std::uint8_t> bytes, std::uint8_t fill, std::size_t from,
              std::size_t to, OutputFindings& found) {
    to = std::min(to, bytes.size());
    for (std::size_t probe = from + (PoolFillRun - 1 - from % PoolFillRun); probe < to;
         probe += PoolFillRun) {
        if (bytes[probe] != fill)
            continue;
        std::size_t start = probe;
        while (start > 0 && bytes[start - 1] == fill)
            --start;
        std::size_t end = probe + 1;
        while (end < bytes.size() && bytes[end] == fill)
            ++end;
        if (end - start >= PoolFillRun) {
            found.FillRun = std::make_pair(start, end - start);
            return;
        }
    }
}

// Looks at the values at offsets [from, to) for the first one `name` names.
void ScanAddresses(std::span<const std::uint8_t> bytes, std::size_t from, std::size_t to,
                   const KernelSpan& kernel, AddressNamer name, OutputFindings& found) {
    for (std::size_t i = from; i < to && i + sizeof(std::uint64_t) <= bytes.size(); ++i) {
        const std::uint64_t value = ValueAt(bytes, i);
        if (value < kernel.Lowest || value >= kernel.Highest)
            continue;
        if (auto named = name(value)) {
            found.Address = std::make_pair(i, std::move(*named));
            return;
        }
    }
}

// (The vector types are spelled per width: GCC takes no template argument for vector_size.)
template <std::size_t Width> struct Vectors;
template <> struct Vectors<16> {
    using Lanes = std::uint8_t __attribute__((vector_size(16)));
    using Pairs = std::uint16_t __attribute__((vector_size(16)));
};
template <> struct Vectors<32> {
    using Lanes = std::uint8_t __attribute__((vector_size(32)));
    using Pairs = std::uint16_t __attribute__((vector_size(32)));
};
template <> struct Vectors<64> {
    using Lanes = std::uint8_t __attribute__((vector_size(64)));
    using Pairs = std::uint16_t __attribute__((vector_size(64)));
};

template <std::size_t Width>
[[gnu::always_inline]] inline OutputFindings ScanWith(std::span<const std::uint8_t> bytes,
                                                      std::uint8_t fillByte, KernelSpan kernel,
                                                      AddressNamer name) {
    // (No helper here takes or returns a vector: how they are passed differs between widths.)
    using Lanes = typename Vectors<Width>::Lanes;
    using Pairs = typename Vectors<Width>::Pairs;
    // Groups of 16 vectors: the check of a group's findings costs about as much as 4 vectors.
    constexpr std::size_t Group = 16 * Width;
    static_assert(Width % PoolFillRun == 0, "each vector holds whole probe strides");
    OutputFindings found;
    const std::uint64_t last = kernel.Highest - 1;
    // Without a span no value is an address; with one whose ends differ in their top 16 bits
    // every offset is looked at.
    const bool screenAddresses = !kernel.Empty() && (kernel.Lowest >> 48) == (last >> 48);
    const bool everyOffset = !kernel.Empty() && !screenAddresses;
    const Pairs top = Pairs{} + static_cast<std::uint16_t>(kernel.Lowest >> 48);
    const Lanes six = Lanes{} + static_cast<std::uint8_t>(kernel.Lowest >> 48);
    const Lanes seven = Lanes{} + static_cast<std::uint8_t>(kernel.Lowest >> 56);
    const Lanes thirdLow = Lanes{} + static_cast<std::uint8_t>(kernel.Lowest >> 40);
    const Lanes thirdSpan =
        Lanes{} + static_cast<std::uint8_t>((last >> 40) - (kernel.Lowest >> 40));
    const Lanes fill = Lanes{} + fillByte;
    // A vector loaded from offset 6 holds the probe bytes of its offsets (15, 31, ...) in lanes
    // 9, 25, ...
    Lanes probeLanes{};
    for (std::size_t lane = PoolFillRun - 1 - 6; lane < Width; lane += PoolFillRun)
        probeLanes[lane] = 0xFF;
    const auto anyBits = [](const void* vector) {
        std::uint64_t words[Width / sizeof(std::uint64_t)];
        std::memcpy(words, vector, Width);
        std::uint64_t all = 0;
        for (std::uint64_t word : words)
            all |= word;
        return all != 0;
    };

    std::size_t i = 0;
    // A group's last vector reads 7 bytes past its offsets.
    for (; !everyOffset && i + Group + 7 <= bytes.size(); i += Group) {
        const bool wantFill = !found.FillRun;
        const bool wantAddress = screenAddresses && !found.Address;
        if (!wantFill && !wantAddress)
            return found;
        Lanes fillHits{};
        Pairs topHits{};
        for (std::size_t at = i; at < i + Group; at += Width) {
            Lanes atSix, atSeven;
            std::memcpy(&atSix, bytes.data() + at + 6, Width);
            std::memcpy(&atSeven, bytes.data() + at + 7, Width);
            fillHits |= reinterpret_cast<Lanes>(atSix == fill) & probeLanes;
            // The top two bytes of the values at even offsets, then at odd ones.
            topHits |= reinterpret_cast<Pairs>(reinterpret_cast<Pairs>(atSix) == top) |
                       reinterpret_cast<Pairs>(reinterpret_cast<Pairs>(atSeven) == top);
        }
        if (wantFill && anyBits(&fillHits))
            ScanFill(bytes, fillByte, i, i + Group, found);
        if (!wantAddress || !anyBits(&topHits))
            continue;
        // The group holds a value whose top two bytes fit the span: its offsets whose top three
        // bytes fit too, in order.
        for (std::size_t at = i; at < i + Group && !found.Address; at += Width) {
            Lanes atFive, atSix, atSeven;
            std::memcpy(&atFive, bytes.data() + at + 5, Width);
            std::memcpy(&atSix, bytes.data() + at + 6, Width);
            std::memcpy(&atSeven, bytes.data() + at + 7, Width);
            const Lanes fromLow = atFive - thirdLow;
            const Lanes hits = reinterpret_cast<Lanes>((atSix == six) & (atSeven == seven) &
                                                       (fromLow <= thirdSpan));
            std::uint64_t words[Width / sizeof(std::uint64_t)];
            std::memcpy(words, &hits, Width);
            for (std::size_t w = 0; w < Width / sizeof(std::uint64_t) && !found.Address; ++w) {
                for (std::uint64_t word = words[w]; word != 0 && !found.Address;) {
                    const std::size_t lane = static_cast<std::size_t>(__builtin_ctzll(word)) / 8;
                    word &= ~(std::uint64_t{0xFF} << (lane * 8));
                    const std::size_t offset = at + w * sizeof(std::uint64_t) + lane;
                    ScanAddresses(bytes, offset, offset + 1, kernel, name, found);
                }
            }
        }
    }
    if (!found.FillRun)
        ScanFill(bytes, fillByte, i, bytes.size(), found);
    if (!found.Address && !kernel.Empty())
        ScanAddresses(bytes, i, bytes.size(), kernel, name, found);
    return found;
}

using Scanner = OutputFindings (*)(std::span<const std::uint8_t>, std::uint8_t, KernelSpan,
                                   AddressNamer);

OutputFindings Scan16(std::span<const std::uint8_t> bytes, std::uint8_t fill, KernelSpan kernel,
                      AddressNamer name) {
    return ScanWith<16>(bytes, fill, kernel, name);
}

#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__)
#define TOVRIK_WIDE_OUTPUT_SCAN 1
__attribute__((target("avx2"))) OutputFindings Scan32(std::span<const std::uint8_t> bytes,
                                                      std::uint8_t fill, KernelSpan kernel,
                                                      AddressNamer name) {
    return ScanWith<32>(bytes, fill, kernel, name);
}

__attribute__((target("arch=x86-64-v4"))) OutputFindings Scan64(std::span<const std::uint8_t> bytes,
                                                                std::uint8_t fill,
                                                                KernelSpan kernel,
                                                                AddressNamer name) {
    return ScanWith<64>(bytes, fill, kernel, name);
}
#endif

struct Width {
    std::size_t Bytes;
    Scanner Scan;
};

// The widths this machine runs, narrowest first.
const std::vector<Width>& Widths() {
    static const std::vector<Width> widths = [] {
        std::vector<Width> all{{16, Scan16}};
#ifdef TOVRIK_WIDE_OUTPUT_SCAN
        __builtin_cpu_init();
        if (__builtin_cpu_supports("avx2"))
            all.push_back({32, Scan32});
        if (__builtin_cpu_supports("x86-64-v4"))
            all.push_back({64, Scan64});
#endif
        return all;
    }();
    return widths;
}

} // namespace

std::vector<std::size_t> OutputScanWidths() {
    std::vector<std::size_t> bytes;
    for (const Width& width : Widths())
        bytes.push_back(width.Bytes);
    return bytes;
}

OutputFindings ScanOutput(std::span<const std::uint8_t> bytes, std::uint8_t fill, KernelSpan kernel,
                          AddressNamer name, std::size_t width) {
    const std::vector<Width>& widths = Widths();
    Scanner scan = widths.back().Scan;
    if (width != 0) {
        auto it = std::find_if(widths.begin(), widths.end(),
                               [&](const Width& w) { return w.Bytes == width; });
        scan = it != widths.end() ? it->Scan : widths.front().Scan;
    }
    return scan(bytes, fill, kernel, name);
}

} // namespace host::detail
