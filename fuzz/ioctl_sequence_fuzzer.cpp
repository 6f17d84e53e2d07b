// Fuzz target: a sequence of device I/O control requests against a started camera, as a hostile
// or buggy program could send them: any code, any input and output lengths and bytes, pipe
// indices, isochronous shapes.
//
// Input: up to 16 requests, each
//   u32 code (little-endian), u16 input length, u32 output length, u8 output fill byte,
//   then the input bytes.
// Output lengths are kept below 512 KiB (the test buffers are real memory; 8 chunked pieces), and
// the bulk time limit a request sets is kept at 1 s of kernel time at most: a longer limit on a
// pipe the camera never answers is a wait the caller asked for, not a fault. A write to the
// camera's memory is kept below 4 KiB + 128 bytes: it goes out 64 bytes a control transfer, so
// 512 KiB would be 8,192 transfers (an input's whole run time, for no path that 66 pieces, the
// short last piece and the 16-bit address wrapping past 0xFFFF do not already take). Input bytes
// 0xC5 become 0xC4 (LimitPoolFillRuns: the verifier's sign of never-written pool). Nothing else is
// changed.
#include "support/fuzz_bench.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "tovrik/tovrik.h"

namespace {

constexpr std::size_t kMaxRequests = 16;
constexpr std::uint32_t kMaxOutput = 512u << 10;
constexpr std::uint32_t kMaxRamWrite = (4u << 10) + 128;
constexpr std::int32_t kMaxTimeLimitMs = 1000;

std::uint32_t Read32(const std::uint8_t* p) {
    return p[0] | p[1] << 8 | p[2] << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    tovrik_fuzz::FuzzBench& bench = tovrik_fuzz::FuzzBench::Get();
    bench.PlugStarted({});
    std::size_t at = 0;
    for (std::size_t n = 0; n < kMaxRequests && size - at >= 11; ++n) {
        std::uint32_t code = Read32(data + at);
        std::size_t inputLength = data[at + 4] | data[at + 5] << 8;
        std::uint32_t outputLength = Read32(data + at + 6) % kMaxOutput;
        if (code == IOCTL_TOVRIK_WRITE_RAM) {
            outputLength %= kMaxRamWrite;
        }
        std::uint8_t fill = data[at + 10];
        at += 11;
        inputLength = std::min(inputLength, size - at);
        std::vector<std::uint8_t> input(data + at, data + at + inputLength);
        // Writes to the camera's memory from several requests can lie side by side and come
        // back as one read, so no fill byte reaches the camera at all.
        tovrik_fuzz::LimitPoolFillRuns(input, 0);
        at += inputLength;
        if (code == IOCTL_TOVRIK_SET_TIMEOUT && input.size() >= sizeof(TIMEOUT_REQUEST)) {
            std::int32_t limit;
            std::memcpy(&limit, input.data() + 4, 4);
            limit = std::min(limit, kMaxTimeLimitMs);
            std::memcpy(input.data() + 4, &limit, 4);
        }
        std::vector<std::uint8_t> output(outputLength, fill);
        bench.Call(code, input, output);
    }
    bench.Unplug();
    return 0;
}
