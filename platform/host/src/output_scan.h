// The scan behind the user-output check: finds in what a request hands back to user mode the
// first run of the pool's fill and the first live kernel address. Every output of every request
// passes through it, frames of megabytes included, so it screens a vector's width of offsets at
// a time and looks byte by byte only where a finding may be.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

namespace host::detail {

// How many bytes of the pool's fill in a row count as never-written pool. A never-written buffer
// worth leaking is far longer, and a single stale 64-bit field is 8 bytes; 16 bytes is twice that
// so that data never trips it by chance: for arbitrary bytes the odds at a given offset are
// 2^-128, and image data would need 8 equal 16-bit samples (or 16 equal 8-bit ones) in a row at
// exactly the fill's value 0xC5C5, which neither the camera's patterns nor a real sensor's noise
// produce.
inline constexpr std::size_t PoolFillRun = 16;

// The span every kernel allocation so far has fallen in: only values inside [Lowest, Highest)
// may be kernel addresses. Lowest >= Highest: no kernel memory yet.
struct KernelSpan {
    std::uintptr_t Lowest;
    std::uintptr_t Highest;
    bool Empty() const { return Lowest >= Highest; }
};

// What a value inside the span is, if it is a kernel address the host knows.
using AddressNamer = std::optional<std::string> (*)(std::uint64_t value);

struct OutputFindings {
    // The first run of the fill at least PoolFillRun long: its offset and whole length.
    std::optional<std::pair<std::size_t, std::size_t>> FillRun;
    // The first 8 bytes, at any offset, that `name` names: the offset and the name.
    std::optional<std::pair<std::size_t, std::string>> Address;
};

// The vector widths in bytes the scan runs at on this machine, narrowest first.
std::vector<std::size_t> OutputScanWidths();

// Scans `bytes` at `width` (one of OutputScanWidths(); 0: the widest).
OutputFindings ScanOutput(std::span<const std::uint8_t> bytes, std::uint8_t fill, KernelSpan kernel,
                          AddressNamer name, std::size_t width = 0);

} // namespace host::detail
