// (c) The share of the high-speed bulk limit (13 packets of 512 bytes per 125 us microframe:
// 53,248,000 bytes/s) that the driver's reads get from the bus, counted by the bus itself: bytes
// over the microframes from the read's start command to its last data packet. Per sample one
// 4 MiB chunked read (a whole frame), or 64 single 64 KiB bulk reads; min / median / max over
// the samples.
//
// Arg 0: virtual time. The schedule runs back to back and stands still while nothing is queued,
// so what is counted is what the driver makes the bus do, the same on every run. Arg 1: paced at
// real time on the clock: the host's turnaround between the start command and the first piece
// costs bus time, as it would on a machine.
#include "bench_rig.h"
#include "measure.h"

#include <benchmark/benchmark.h>

namespace tovrik_bench {
namespace {

constexpr std::uint32_t kChunkedBytes = 4u << 20;
constexpr std::uint32_t kSingleBytes = 64u << 10;
// Frames of exactly 4 MiB: one chunked read takes a whole frame and never ends short.
constexpr std::uint32_t kFrameWidth = 2048;
constexpr std::uint32_t kFrameHeight = 1024;
constexpr double kBulkBytesPerMicroframe = 13.0 * 512.0;

int Samples() {
    return SmallRun() ? 1 : static_cast<int>(EnvironmentNumber("TOVRIK_BENCH_SAMPLES", 9));
}

struct Use {
    double Bytes = 0;
    double Microframes = 0;
};

// The bus's counters around `reads`: image bytes, and the microframes from the first the
// command endpoint was active in to the last the image endpoint was.
template <typename Reads> bool Measure(Rig& rig, Reads reads, Use& use) {
    // Each sample begins on a microframe of its own (virtual time keeps the last one open for
    // an instant host).
    rig.World().WaitIdle();
    rig.World().UsbBus().Controller().CloseMicroframe();
    rig.World().ResetCounters();
    if (!reads())
        return false;
    const sim::hc::EndpointCounters image = rig.World().Counters(0, kImageEndpoint);
    const sim::hc::EndpointCounters command = rig.World().Counters(0, kCommandEndpoint);
    if (image.LastActiveMicroframe == sim::core::NoMicroframe ||
        command.FirstActiveMicroframe == sim::core::NoMicroframe)
        return false;
    use.Bytes = static_cast<double>(image.Bytes);
    use.Microframes =
        static_cast<double>(image.LastActiveMicroframe - command.FirstActiveMicroframe + 1);
    return true;
}

void BM_BulkShareHighSpeed(benchmark::State& state) {
    const bool virtualTime = state.range(0) == 0;
    Rig rig(CameraWorld(sim::hc::Timing::HighSpeed, virtualTime, kFrameWidth, kFrameHeight), 1);
    if (!rig.ReadyOrSkip(state))
        return;
    const Bytes pipe = RecordBytes(PIPE_INDEX_REQUEST{kImagePipe});
    Bytes image(kChunkedBytes);
    const auto chunked = [&] {
        auto r = rig.Call(IOCTL_TOVRIK_CHUNKED_READ, pipe, image);
        return r.Status == STATUS_SUCCESS && r.Information == kChunkedBytes;
    };
    const auto singles = [&] {
        for (int i = 0; i < 64; ++i) {
            auto r = rig.Call(IOCTL_TOVRIK_BULK_READ, pipe,
                              std::span<std::uint8_t>(image.data(), kSingleBytes));
            if (r.Status != STATUS_SUCCESS || r.Information != kSingleBytes)
                return false;
        }
        return true;
    };

    const double loadBefore = LoadAverage();
    for (auto _ : state) {
        std::vector<double> chunkedShare, chunkedMicroframes, singleShare, singleMicroframes;
        for (int i = 0; i < Samples(); ++i) {
            Use use;
            if (!Measure(rig, chunked, use)) {
                state.SkipWithError("a chunked read failed");
                return;
            }
            chunkedShare.push_back(use.Bytes / (use.Microframes * kBulkBytesPerMicroframe));
            chunkedMicroframes.push_back(use.Microframes);
            if (!Measure(rig, singles, use)) {
                state.SkipWithError("a single read failed");
                return;
            }
            singleShare.push_back(use.Bytes / (use.Microframes * kBulkBytesPerMicroframe));
            singleMicroframes.push_back(use.Microframes / 64);
        }
        Report(state, "chunked_share", chunkedShare);
        Report(state, "chunked_uframes_per_read", chunkedMicroframes);
        Report(state, "single_share", singleShare);
        Report(state, "single_uframes_per_read", singleMicroframes);
        state.counters["samples"] = Samples();
    }
    const sim::hc::ControllerStats controller = rig.World().ControllerStats();
    state.counters["controller_max_lag_uframes"] =
        static_cast<double>(controller.MaxLagMicroframes);
    state.counters["load_average"] = (loadBefore + LoadAverage()) / 2;
    state.counters["verifier_violations"] = static_cast<double>(rig.Violations());
}
BENCHMARK(BM_BulkShareHighSpeed)
    ->Arg(0)
    ->Arg(1)
    ->ArgName("paced")
    ->Iterations(1)
    ->Unit(benchmark::kSecond);

} // namespace
} // namespace tovrik_bench
