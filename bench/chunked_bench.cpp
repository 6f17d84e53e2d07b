// (b) What a frame capture costs the CPU, with the bus unthrottled so nothing waits: a chunked
// read of the frame (64 KiB pieces as partial MDLs) against one bulk read of the same frame, in
// CPU time of the whole process (the caller's thread, the controller's threads, the PnP and
// event threads of the world). The camera model computes every byte it sends; that pattern is
// measured alone on the same bytes and taken out, which leaves the path: driver, host kernel,
// bus.
#include "bench_rig.h"
#include "measure.h"

#include <benchmark/benchmark.h>

#include <algorithm>

namespace tovrik_bench {
namespace {

// A frame one bulk read may take whole (the image pipe's MaximumTransferSize is 0x3FFFFF):
// 2048 x 1000 pixels of 16 bits, 4,096,000 bytes, 63 chunked pieces.
constexpr std::uint32_t kFrameWidth = 2048;
constexpr std::uint32_t kFrameHeight = 1000;
constexpr std::uint32_t kFrameBytes = kFrameWidth * kFrameHeight * 2;
constexpr std::uint32_t kPieces = (kFrameBytes + 0xFFFF) / 0x10000;

int ReadsPerSample() {
    return SmallRun() ? 1 : 16;
}

void BM_ChunkedCaptureCpu(benchmark::State& state) {
    Rig rig(CameraWorld(sim::hc::Timing::Unthrottled, false, kFrameWidth, kFrameHeight), 1);
    if (!rig.ReadyOrSkip(state))
        return;
    const Bytes pipe = RecordBytes(PIPE_INDEX_REQUEST{kImagePipe});
    Bytes image(kFrameBytes);
    Bytes pattern(kFrameBytes);
    bool failed = false;

    // One of each outside the measurement, checked byte for byte against the camera's frames.
    std::uint32_t frame = 0;
    for (const ULONG code : {IOCTL_TOVRIK_CHUNKED_READ, IOCTL_TOVRIK_BULK_READ}) {
        auto result = rig.Call(code, pipe, image);
        sim::FillFrameBytes(frame++, 0, pattern);
        if (result.Status != STATUS_SUCCESS || result.Information != kFrameBytes ||
            image != pattern) {
            state.SkipWithError("a first read did not return the camera's frame");
            return;
        }
    }

    // CPU seconds of one read of a kind, averaged over a sample; the calling thread's share
    // (the driver's and the host kernel's work in the request) is noted on the side.
    double callerSeconds = 0;
    const auto sample = [&](ULONG code) {
        const double start = ProcessCpuSeconds();
        const double callerStart = ThreadCpuSeconds();
        for (int i = 0; i < ReadsPerSample(); ++i) {
            auto result = rig.Call(code, pipe, image);
            failed = failed || result.Status != STATUS_SUCCESS || result.Information != kFrameBytes;
        }
        callerSeconds = (ThreadCpuSeconds() - callerStart) / ReadsPerSample();
        return (ProcessCpuSeconds() - start) / ReadsPerSample();
    };
    // The camera's pattern alone over a frame, on this thread.
    const auto fillCost = [&] {
        Bytes bytes(kFrameBytes);
        const double start = ThreadCpuSeconds();
        for (int i = 0; i < ReadsPerSample(); ++i) {
            sim::FillFrameBytes(static_cast<std::uint32_t>(i), 0, bytes);
            benchmark::DoNotOptimize(bytes.data());
        }
        return (ThreadCpuSeconds() - start) / ReadsPerSample();
    };

    const double loadBefore = LoadAverage();
    for (auto _ : state) {
        std::vector<double> ratio;
        std::vector<double> perPiece;
        std::vector<double> bulkPath;
        std::vector<double> callerPerPiece;
        const auto chunkedSample = [&] {
            const double cpu = sample(IOCTL_TOVRIK_CHUNKED_READ);
            callerPerPiece.push_back(callerSeconds / kPieces * 1e6);
            return cpu;
        };
        for (const auto& [chunked, bulk] :
             Paired(Pairs(), chunkedSample, [&] { return sample(IOCTL_TOVRIK_BULK_READ); })) {
            const double fill = fillCost();
            ratio.push_back(chunked / bulk);
            perPiece.push_back(std::max(chunked - fill, 0.0) / kPieces * 1e6);
            bulkPath.push_back(std::max(bulk - fill, 0.0) * 1e6);
        }
        if (failed) {
            state.SkipWithError("a read failed");
            return;
        }
        // A chunked capture's CPU against one bulk read's, for the same frame.
        Report(state, "chunked_cpu_x_bulk", ratio);
        // The path's CPU per 64 KiB piece of the chunked read, the camera's pattern taken out.
        Report(state, "chunked_path_us_per_piece", perPiece);
        Report(state, "bulk_path_us_per_read", bulkPath);
        // Of that, the calling thread's: the driver's and the host kernel's work in the request,
        // as against the controller's threads (bus, camera, completions and thread switches).
        Report(state, "chunked_caller_us_per_piece", callerPerPiece);
        state.counters["pairs"] = Pairs();
    }
    state.counters["load_average"] = (loadBefore + LoadAverage()) / 2;
    state.counters["verifier_violations"] = static_cast<double>(rig.Violations());
}
BENCHMARK(BM_ChunkedCaptureCpu)->Iterations(1)->Unit(benchmark::kSecond);

} // namespace
} // namespace tovrik_bench
