// The data path through driver, host kernel, simulated bus and camera:
// (b) a 4 MiB chunked read with the bus unthrottled, against memcpy of 4 MiB;
// (c) on the USB 2.0 high-speed schedule, the share of the bulk limit (13 x 512 bytes per 125 us
//     microframe) a chunked read reaches and the share single 64 KiB reads reach, from the bus's
//     own microframe counts;
// (d) an isochronous stream at 3 x 1024 bytes per microframe, read every 8 ms of kernel time:
//     packets lost on the bus, sequence gaps the reader sees, packets dropped at full rings.
//
// Each benchmark builds its own world (one may exist per process at a time), and reports ratios
// only; see README.md for what each number means and for the figures of a run.
#include "bench_rig.h"

#include "transfer/iso.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

namespace tovrik_bench {
namespace {

using WallClock = std::chrono::steady_clock;

constexpr std::uint32_t kChunkedBytes = 4u << 20;
constexpr std::uint32_t kSingleBytes = 64u << 10;
// Frames of exactly 4 MiB: one chunked read takes a whole frame and never ends short.
constexpr std::uint32_t kFrameWidth = 2048;
constexpr std::uint32_t kFrameHeight = 1024;
// What the high-speed bus can carry in bulk per microframe in this model.
constexpr double kBulkBytesPerMicroframe = 13.0 * 512.0;
// 100-ns units of kernel time.
constexpr LONGLONG kUnitsPerMillisecond = 10'000;

double Seconds(WallClock::duration d) {
    return std::chrono::duration<double>(d).count();
}

std::uint32_t ReadU32(const std::uint8_t* p) {
    std::uint32_t v;
    std::memcpy(&v, p, sizeof(v));
    return v;
}

double EnvironmentNumber(const char* name, double fallback) {
    const char* text = std::getenv(name);
    if (text == nullptr || *text == '\0')
        return fallback;
    char* end = nullptr;
    const double value = std::strtod(text, &end);
    return end != text && value > 0 ? value : fallback;
}

// ---------------------------------------------------------------------------------------------
// (b) Chunked read, unthrottled bus, vs memcpy.

void BM_ChunkedReadUnthrottled(benchmark::State& state) {
    Rig rig(CameraWorld(sim::hc::Timing::Unthrottled, false, kFrameWidth, kFrameHeight), 1);
    if (!rig.Ready()) {
        state.SkipWithError("the device did not come up");
        return;
    }
    const Bytes pipe = RecordBytes(PIPE_INDEX_REQUEST{kImagePipe});
    Bytes image(kChunkedBytes);
    Bytes source(kChunkedBytes, 0x5A);
    Bytes copy(kChunkedBytes);
    Bytes pattern(kChunkedBytes);

    // One read outside the measurement, checked byte for byte: frame 0 of the camera.
    auto first = rig.Call(IOCTL_TOVRIK_CHUNKED_READ, pipe, image);
    sim::FillFrameBytes(0, 0, pattern);
    if (first.Status != STATUS_SUCCESS || first.Information != kChunkedBytes || image != pattern) {
        state.SkipWithError("the first chunked read did not return frame 0");
        return;
    }

    double readSeconds = 0;
    double copySeconds = 0;
    double fillSeconds = 0;
    std::uint32_t frame = 1;
    for (auto _ : state) {
        auto start = WallClock::now();
        std::memcpy(copy.data(), source.data(), kChunkedBytes);
        benchmark::DoNotOptimize(copy.data());
        benchmark::ClobberMemory();
        copySeconds += Seconds(WallClock::now() - start);

        start = WallClock::now();
        auto result = rig.Call(IOCTL_TOVRIK_CHUNKED_READ, pipe, image);
        const double read = Seconds(WallClock::now() - start);
        if (result.Status != STATUS_SUCCESS || result.Information != kChunkedBytes) {
            state.SkipWithError("a chunked read failed");
            return;
        }
        readSeconds += read;

        // The camera model's own work for the same bytes: it computes every byte it sends.
        start = WallClock::now();
        sim::FillFrameBytes(frame++, 0, pattern);
        benchmark::DoNotOptimize(pattern.data());
        fillSeconds += Seconds(WallClock::now() - start);
        state.SetIterationTime(read);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * kChunkedBytes);
    // Above 1: faster than the baseline.
    state.counters["read_x_memcpy"] = copySeconds / readSeconds;
    // What part of a read's time the camera model spends making the bytes.
    state.counters["camera_share_of_read"] = fillSeconds / readSeconds;
    // The read without the camera's own work, against memcpy: driver, host kernel and bus.
    state.counters["path_x_memcpy"] = copySeconds / std::max(readSeconds - fillSeconds, 1e-12);
    state.counters["verifier_violations"] = static_cast<double>(rig.Violations());
}
BENCHMARK(BM_ChunkedReadUnthrottled)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(40);

// ---------------------------------------------------------------------------------------------
// (c) Share of the high-speed bulk limit, chunked vs single 64 KiB reads.

struct BusUse {
    double Bytes = 0;
    // Microframes the schedule's clock moved on while the reads ran, including every turnaround
    // between them: what the reads cost the bus.
    double Span = 0;
    // Microframes in which a transfer was queued on the image endpoint.
    double ImageMicroframes = 0;
    double ImageIdle = 0;
    double CommandMicroframes = 0;
    double Reads = 0;
};

// Runs `reads` (which returns false on a failure) and adds what it cost the bus to `use`. Called
// right after a read has completed, so the schedule's clock is current (paced, it moves on only
// while it serves): the span then starts where a read in a row of reads would start.
template <typename Reads> bool Measure(Rig& rig, BusUse& use, Reads reads) {
    const sim::hc::EndpointCounters image0 = rig.World().Counters(0, kImageEndpoint);
    const sim::hc::EndpointCounters command0 = rig.World().Counters(0, kCommandEndpoint);
    const std::uint64_t start = rig.Microframe();
    if (!reads())
        return false;
    const std::uint64_t end = rig.Microframe();
    const sim::hc::EndpointCounters image1 = rig.World().Counters(0, kImageEndpoint);
    const sim::hc::EndpointCounters command1 = rig.World().Counters(0, kCommandEndpoint);
    use.Bytes += static_cast<double>(image1.Bytes - image0.Bytes);
    use.Span += static_cast<double>(end - start);
    use.ImageMicroframes +=
        static_cast<double>((image1.ActiveMicroframes + image1.IdleMicroframes) -
                            (image0.ActiveMicroframes + image0.IdleMicroframes));
    use.ImageIdle += static_cast<double>(image1.IdleMicroframes - image0.IdleMicroframes);
    use.CommandMicroframes +=
        static_cast<double>((command1.ActiveMicroframes + command1.IdleMicroframes) -
                            (command0.ActiveMicroframes + command0.IdleMicroframes));
    return true;
}

double Share(double bytes, double microframes) {
    return microframes > 0 ? bytes / (microframes * kBulkBytesPerMicroframe) : 0;
}

// Arg 0: virtual time (the schedule steps as fast as it can, its clock stands still while nothing
// is queued). Arg 1: paced on the kernel clock at real time, so every turnaround of the host side
// costs bus time as it would on a machine.
void BM_BulkShareHighSpeed(benchmark::State& state) {
    const bool virtualTime = state.range(0) == 0;
    Rig rig(CameraWorld(sim::hc::Timing::HighSpeed, virtualTime, kFrameWidth, kFrameHeight), 1);
    if (!rig.Ready()) {
        state.SkipWithError("the device did not come up");
        return;
    }
    const Bytes pipe = RecordBytes(PIPE_INDEX_REQUEST{kImagePipe});
    Bytes image(kChunkedBytes);
    constexpr int kChunkedReads = 4;
    constexpr int kSingleReads = 64;

    auto chunked = [&] {
        auto r = rig.Call(IOCTL_TOVRIK_CHUNKED_READ, pipe, image);
        return r.Status == STATUS_SUCCESS && r.Information == kChunkedBytes;
    };
    auto single = [&] {
        auto r = rig.Call(IOCTL_TOVRIK_BULK_READ, pipe,
                          std::span<std::uint8_t>(image.data(), kSingleBytes));
        return r.Status == STATUS_SUCCESS && r.Information == kSingleBytes;
    };

    BusUse chunkedUse;
    BusUse singleUse;
    for (auto _ : state) {
        const auto start = WallClock::now();
        bool ok = chunked() && Measure(rig, chunkedUse, [&] {
                      for (int i = 0; i < kChunkedReads; ++i)
                          if (!chunked())
                              return false;
                      return true;
                  });
        ok = ok && single() && Measure(rig, singleUse, [&] {
                 for (int i = 0; i < kSingleReads; ++i)
                     if (!single())
                         return false;
                 return true;
             });
        if (!ok) {
            state.SkipWithError("a read failed");
            return;
        }
        chunkedUse.Reads += kChunkedReads;
        singleUse.Reads += kSingleReads;
        state.SetIterationTime(Seconds(WallClock::now() - start));
    }
    const double chunkedShare = Share(chunkedUse.Bytes, chunkedUse.Span);
    const double singleShare = Share(singleUse.Bytes, singleUse.Span);
    state.counters["chunked_share"] = chunkedShare;
    state.counters["single_share"] = singleShare;
    state.counters["chunked_x_single"] = singleShare > 0 ? chunkedShare / singleShare : 0;
    // The same bytes over only the microframes a transfer was queued on the image endpoint: the
    // share while the data moves, without the commands and turnarounds around it.
    state.counters["chunked_data_share"] = Share(chunkedUse.Bytes, chunkedUse.ImageMicroframes);
    state.counters["single_data_share"] = Share(singleUse.Bytes, singleUse.ImageMicroframes);
    // Where the rest goes, in microframes per read.
    state.counters["chunked_uframes_per_read"] = chunkedUse.Span / chunkedUse.Reads;
    state.counters["chunked_idle_uframes_per_read"] = chunkedUse.ImageIdle / chunkedUse.Reads;
    state.counters["single_uframes_per_read"] = singleUse.Span / singleUse.Reads;
    state.counters["single_data_uframes_per_read"] = singleUse.ImageMicroframes / singleUse.Reads;
    state.counters["single_command_uframes_per_read"] =
        singleUse.CommandMicroframes / singleUse.Reads;
    state.counters["verifier_violations"] = static_cast<double>(rig.Violations());
}
BENCHMARK(BM_BulkShareHighSpeed)
    ->Arg(0)
    ->Arg(1)
    ->ArgName("paced")
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(3);

// ---------------------------------------------------------------------------------------------
// (d) The high-bandwidth isochronous stream, read every 8 ms.

constexpr std::uint32_t kStreamPacketBytes = 3 * 1024;
constexpr std::uint8_t kStreamEndpoint = 0x83;

// Sleeps until the kernel clock reaches `deadline` (100-ns units).
void SleepUntil(LONGLONG deadline) {
    for (;;) {
        const LONGLONG left = deadline - host::Clock::Now();
        if (left <= 0)
            return;
        const double realNanoseconds = static_cast<double>(left) * 100.0 / host::Clock::Scale();
        std::this_thread::sleep_for(
            std::chrono::nanoseconds(static_cast<std::int64_t>(realNanoseconds)));
    }
}

std::uint32_t DroppedUrbs(Rig& rig) {
    PDEVICE_EXTENSION extension = rig.Extension();
    PISO_TRANSFER stream = extension->Stream;
    // The completion routine counts under its put lock; a plain atomic read of a 32-bit counter
    // is all a look from outside needs.
    return stream != nullptr ? __atomic_load_n(&stream->DroppedUrbs, __ATOMIC_ACQUIRE) : 0;
}

// Args: ring capacity R in packets, packets per URB P, URBs N. The packet count comes from
// TOVRIK_BENCH_STREAM_PACKETS (default one million) and the clock scale from
// TOVRIK_BENCH_STREAM_CLOCK_SCALE (default 1: real time).
void BM_StreamHighBandwidth(benchmark::State& state) {
    // TOVRIK_BENCH_STREAM_R, _P and _N replace the registered shape, to look for the edge.
    const auto ringPackets = static_cast<std::uint32_t>(
        EnvironmentNumber("TOVRIK_BENCH_STREAM_R", static_cast<double>(state.range(0))));
    const auto packetsPerUrb = static_cast<std::uint32_t>(
        EnvironmentNumber("TOVRIK_BENCH_STREAM_P", static_cast<double>(state.range(1))));
    const auto urbCount = static_cast<std::uint32_t>(
        EnvironmentNumber("TOVRIK_BENCH_STREAM_N", static_cast<double>(state.range(2))));
    const auto target =
        static_cast<std::uint64_t>(EnvironmentNumber("TOVRIK_BENCH_STREAM_PACKETS", 1'000'000));
    const double scale = EnvironmentNumber("TOVRIK_BENCH_STREAM_CLOCK_SCALE", 1);
    const LONGLONG period = 8 * kUnitsPerMillisecond;

    // Paced: the reader's 8 ms and the bus's microframes run on the same kernel clock.
    Rig rig(CameraWorld(sim::hc::Timing::HighSpeed, false, sim::kDefaultFrameWidth,
                        sim::kDefaultFrameHeight),
            scale);
    if (!rig.Ready()) {
        state.SkipWithError("the device did not come up");
        return;
    }
    auto selected =
        rig.Call(IOCTL_TOVRIK_SET_INTERFACE, RecordBytes(INTERFACE_SELECTION{0, 2}), {});
    const int pipe = rig.PipeIndexOf(kStreamEndpoint);
    if (selected.Status != STATUS_SUCCESS || pipe < 0) {
        state.SkipWithError("no high-bandwidth isochronous pipe");
        return;
    }

    const ISO_REQUEST start{static_cast<std::uint32_t>(pipe), kStreamPacketBytes, ringPackets,
                            packetsPerUrb, urbCount};
    const ISO_REQUEST read{0, kStreamPacketBytes, ringPackets, 0, 0};
    Bytes output(static_cast<std::size_t>(ringPackets) * (kStreamPacketBytes + 12));

    std::uint64_t received = 0;
    std::uint64_t gaps = 0;
    std::uint64_t disorder = 0;
    std::uint64_t badDescriptors = 0;
    std::uint64_t reads = 0;
    std::uint64_t mostPerRead = 0;
    LONGLONG mostLate = 0;
    std::uint32_t dropped = 0;
    sim::hc::EndpointCounters bus0{};
    sim::hc::EndpointCounters bus1{};

    for (auto _ : state) {
        const auto wallStart = WallClock::now();
        if (rig.Call(IOCTL_TOVRIK_START_ISO_STREAM, RecordBytes(start), {}).Status !=
            STATUS_SUCCESS) {
            state.SkipWithError("the stream did not start");
            return;
        }
        bus0 = rig.World().Counters(0, kStreamEndpoint);
        bool haveExpected = false;
        std::uint32_t expected = 0;
        LONGLONG next = host::Clock::Now() + period;
        while (received + gaps < target) {
            SleepUntil(next);
            mostLate = std::max(mostLate, host::Clock::Now() - next);
            next += period;
            auto result = rig.Call(IOCTL_TOVRIK_READ_ISO_STREAM, RecordBytes(read), output);
            if (result.Status != STATUS_SUCCESS) {
                state.SkipWithError("a stream read failed");
                break;
            }
            ++reads;
            const std::uint64_t count = result.Information / (kStreamPacketBytes + 12);
            mostPerRead = std::max(mostPerRead, count);
            const std::uint8_t* descriptors = output.data() + count * kStreamPacketBytes;
            for (std::uint64_t k = 0; k < count; ++k) {
                const std::uint32_t sequence = ReadU32(output.data() + k * kStreamPacketBytes);
                if (haveExpected && sequence > expected)
                    gaps += sequence - expected;
                else if (haveExpected && sequence < expected)
                    ++disorder;
                haveExpected = true;
                expected = sequence + 1;
                if (ReadU32(descriptors + 12 * k + 4) != kStreamPacketBytes ||
                    ReadU32(descriptors + 12 * k + 8) != 0)
                    ++badDescriptors;
            }
            received += count;
        }
        // Before the stop: a stopped stream's endpoint stays in the schedule.
        bus1 = rig.World().Counters(0, kStreamEndpoint);
        dropped = DroppedUrbs(rig);
        rig.Call(IOCTL_TOVRIK_STOP_ISO_STREAM, {}, {});
        // The stream ends with its last slot; until then reads still drain the rings.
        while (rig.Call(IOCTL_TOVRIK_READ_ISO_STREAM, RecordBytes(read), output).Status ==
               STATUS_SUCCESS)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        state.SetIterationTime(Seconds(WallClock::now() - wallStart));
    }
    const double busPackets = static_cast<double>(bus1.Packets - bus0.Packets);
    const double busLost = static_cast<double>(bus1.LostIsoPackets - bus0.LostIsoPackets);
    state.counters["packets_read"] = static_cast<double>(received);
    state.counters["bus_packets"] = busPackets;
    state.counters["bus_lost"] = busLost;
    state.counters["sequence_gaps"] = static_cast<double>(gaps);
    state.counters["ring_full_drops"] = static_cast<double>(dropped) * packetsPerUrb;
    state.counters["out_of_order"] = static_cast<double>(disorder);
    state.counters["bad_descriptors"] = static_cast<double>(badDescriptors);
    // Packets the reader got of those the camera sent while it read.
    state.counters["delivered_share"] =
        static_cast<double>(received) / static_cast<double>(received + gaps);
    // How close the rings came to full: the most packets one read found, against the capacity.
    state.counters["peak_fill_share"] = static_cast<double>(mostPerRead) / ringPackets;
    // The latest a read came after its 8 ms tick, as a share of the ring's span of time.
    state.counters["worst_lateness_x_ring_span"] =
        static_cast<double>(mostLate) / (static_cast<double>(ringPackets) * 1250.0);
    state.counters["reads"] = static_cast<double>(reads);
    state.counters["verifier_violations"] = static_cast<double>(rig.Violations());
    state.counters["shape_R"] = ringPackets;
    state.counters["shape_P"] = packetsPerUrb;
    state.counters["shape_N"] = urbCount;
}
// R = 1024 packets (128 ms of stream, 3 MiB of data ring), P = 32 (4 ms per URB), N = 4.
BENCHMARK(BM_StreamHighBandwidth)
    ->Args({1024, 32, 4})
    ->ArgNames({"R", "P", "N"})
    ->UseManualTime()
    ->Unit(benchmark::kSecond)
    ->Iterations(1);

} // namespace
} // namespace tovrik_bench
