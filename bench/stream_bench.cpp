// (d) The high-bandwidth isochronous stream (alternate setting 2: 3 x 1024 bytes per microframe,
// 24.6 MB/s) at real time, read by a reader that stalls: it reads every poll period, and once
// every stall period it leaves a gap of the stall length between two reads. The reader checks
// every packet's sequence number and descriptor; the bus counts what it lost (microframes with
// no packet slot queued); the driver counts the URBs it dropped at full rings; the host
// controller counts how far it fell behind the clock. And the CPU the whole stream costs.
//
// Args: ring R packets, P packets per URB, N URBs, stall as a share of the ring's span in
// thousandths. Environment: TOVRIK_BENCH_STREAM_PACKETS (packets to read, default 1,000,000),
// TOVRIK_BENCH_STREAM_POLL_MS (default 8), TOVRIK_BENCH_STREAM_STALL_PERIOD_MS (default 1000),
// TOVRIK_BENCH_STREAM_STALL_MS (replaces the stall share).
#include "bench_rig.h"
#include "measure.h"

#include "packets.h"
#include "transfer/iso.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstring>
#include <thread>

namespace tovrik_bench {
namespace {

constexpr std::uint32_t kStreamPacketBytes = 3 * 1024;
constexpr std::uint8_t kStreamEndpoint = 0x83;
constexpr LONGLONG kUnitsPerMillisecond = 10'000;
constexpr double kMicroframeMs = 0.125;

std::uint32_t ReadU32(const std::uint8_t* p) {
    std::uint32_t v;
    std::memcpy(&v, p, sizeof(v));
    return v;
}

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
    PISO_TRANSFER stream = rig.Extension()->Stream;
    // The completion routine counts under its put lock; an atomic read of a 32-bit counter is
    // all a look from outside needs.
    return stream != nullptr ? __atomic_load_n(&stream->DroppedUrbs, __ATOMIC_ACQUIRE) : 0;
}

// The reader counts packets as `tovrik stream` does; what it adds is when it read.
struct Reader {
    tovrik::cli::PacketStats Packets;
    std::uint64_t Reads = 0;
    std::uint64_t MostPerRead = 0;
    LONGLONG LongestGap = 0; // kernel time between two reads

    // A read's output: `count` packets of kStreamPacketBytes, then their descriptors.
    void Take(const Bytes& output, std::uint64_t count) {
        MostPerRead = std::max(MostPerRead, count);
        const std::uint8_t* descriptors = output.data() + count * kStreamPacketBytes;
        for (std::uint64_t k = 0; k < count; ++k) {
            const std::uint8_t* d = descriptors + 12 * k;
            const ISO_PACKET_DESCRIPTOR descriptor{ReadU32(d), ReadU32(d + 4),
                                                   static_cast<std::int32_t>(ReadU32(d + 8))};
            Packets.Add(descriptor, {output.data() + k * kStreamPacketBytes, kStreamPacketBytes});
        }
    }
    // Packets read and numbers the camera sent that never came: the stream's length so far.
    std::uint64_t Seen() const { return Packets.Packets + Packets.LostSequenceNumbers(); }
    // Packets that ended with an error or short of the packet size.
    std::uint64_t BadPackets() const { return Packets.ErrorPackets() + Packets.ShortPackets; }
};

void BM_StreamWithStallingReader(benchmark::State& state) {
    const auto ring = static_cast<std::uint32_t>(state.range(0));
    const auto perUrb = static_cast<std::uint32_t>(state.range(1));
    const auto urbs = static_cast<std::uint32_t>(state.range(2));
    const double ringSpanMs = ring * kMicroframeMs;
    const double stallMs = EnvironmentNumber(
        "TOVRIK_BENCH_STREAM_STALL_MS", ringSpanMs * static_cast<double>(state.range(3)) / 1000);
    const double pollMs = EnvironmentNumber("TOVRIK_BENCH_STREAM_POLL_MS", 8);
    const double stallPeriodMs = EnvironmentNumber("TOVRIK_BENCH_STREAM_STALL_PERIOD_MS", 1000);
    const auto target = static_cast<std::uint64_t>(
        SmallRun() ? 2000 : EnvironmentNumber("TOVRIK_BENCH_STREAM_PACKETS", 1'000'000));

    // Paced at real time: the reader's polls and the bus's microframes on one clock.
    Rig rig(CameraWorld(sim::hc::Timing::HighSpeed, false, sim::kDefaultFrameWidth,
                        sim::kDefaultFrameHeight),
            1);
    if (!rig.ReadyOrSkip(state))
        return;
    auto selected =
        rig.Call(IOCTL_TOVRIK_SET_INTERFACE, RecordBytes(INTERFACE_SELECTION{0, 2}), {});
    const int pipe = rig.PipeIndexOf(kStreamEndpoint);
    if (selected.Status != STATUS_SUCCESS || pipe < 0) {
        state.SkipWithError("no high-bandwidth isochronous pipe");
        return;
    }
    const ISO_REQUEST start{static_cast<std::uint32_t>(pipe), kStreamPacketBytes, ring, perUrb,
                            urbs};
    const ISO_REQUEST read{0, kStreamPacketBytes, ring, 0, 0};
    Bytes output(static_cast<std::size_t>(ring) * (kStreamPacketBytes + 12));

    Reader reader;
    std::uint32_t dropped = 0;
    // Ring-full drops found by a read that came within the ring's span of the one before, and
    // after a longer gap (a machine that held the reader back longer than the ring lasts). Of the
    // first, those found by a read that came no later than the stall asked for: the ones the
    // reader's own pattern cost, not a machine that held it back longer.
    std::uint64_t dropsWithinSpan = 0;
    std::uint64_t dropsWithinAskedStall = 0;
    std::uint64_t dropsAfterLongerGaps = 0;
    sim::hc::EndpointCounters bus;
    double cpu = 0;
    double wall = 0;
    const double loadBefore = LoadAverage();
    for (auto _ : state) {
        rig.World().ResetCounters();
        const double cpuStart = ProcessCpuSeconds();
        const double wallStart = WallSeconds();
        if (rig.Call(IOCTL_TOVRIK_START_ISO_STREAM, RecordBytes(start), {}).Status !=
            STATUS_SUCCESS) {
            state.SkipWithError("the stream did not start");
            return;
        }
        const LONGLONG poll = static_cast<LONGLONG>(pollMs * kUnitsPerMillisecond);
        const LONGLONG stall = static_cast<LONGLONG>(stallMs * kUnitsPerMillisecond);
        const LONGLONG stallPeriod = static_cast<LONGLONG>(stallPeriodMs * kUnitsPerMillisecond);
        LONGLONG next = host::Clock::Now() + poll;
        LONGLONG nextStall = host::Clock::Now() + stallPeriod;
        LONGLONG lastRead = host::Clock::Now();
        while (reader.Seen() < target) {
            // The stall: one gap of its length between two reads, then the grid again.
            if (next >= nextStall && stall > poll) {
                next = lastRead + stall;
                nextStall += stallPeriod;
            }
            SleepUntil(next);
            next += poll;
            const LONGLONG now = host::Clock::Now();
            const LONGLONG gap = now - lastRead;
            reader.LongestGap = std::max(reader.LongestGap, gap);
            lastRead = now;
            const std::uint32_t droppedBefore = dropped;
            dropped = DroppedUrbs(rig);
            const std::uint64_t newDrops = std::uint64_t{dropped - droppedBefore} * perUrb;
            const double gapMs = static_cast<double>(gap) / kUnitsPerMillisecond;
            if (gapMs <= ringSpanMs)
                dropsWithinSpan += newDrops;
            else
                dropsAfterLongerGaps += newDrops;
            if (gapMs <= std::max(stallMs, pollMs))
                dropsWithinAskedStall += newDrops;
            auto result = rig.Call(IOCTL_TOVRIK_READ_ISO_STREAM, RecordBytes(read), output);
            if (result.Status != STATUS_SUCCESS) {
                state.SkipWithError("a stream read failed");
                break;
            }
            ++reader.Reads;
            reader.Take(output, result.Information / (kStreamPacketBytes + 12));
        }
        dropped = DroppedUrbs(rig);
        rig.Call(IOCTL_TOVRIK_STOP_ISO_STREAM, {}, {});
        // The stream ends with its last slot; until then reads still drain the rings.
        while (rig.Call(IOCTL_TOVRIK_READ_ISO_STREAM, RecordBytes(read), output).Status ==
               STATUS_SUCCESS)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        cpu = ProcessCpuSeconds() - cpuStart;
        wall = WallSeconds() - wallStart;
        bus = rig.World().Counters(0, kStreamEndpoint);
    }
    const sim::hc::ControllerStats controller = rig.World().ControllerStats();
    state.counters["packets_read"] = static_cast<double>(reader.Packets.Packets);
    state.counters["lost_sequence_numbers"] =
        static_cast<double>(reader.Packets.LostSequenceNumbers());
    state.counters["sequence_gaps"] = static_cast<double>(reader.Packets.SequenceGaps);
    state.counters["bus_lost"] = static_cast<double>(bus.LostIsoPackets);
    state.counters["ring_full_drops"] = static_cast<double>(dropped) * perUrb;
    state.counters["ring_full_drops_within_span"] = static_cast<double>(dropsWithinSpan);
    state.counters["ring_full_drops_after_longer_gaps"] = static_cast<double>(dropsAfterLongerGaps);
    state.counters["ring_full_drops_within_asked_stall"] =
        static_cast<double>(dropsWithinAskedStall);
    state.counters["out_of_order"] = static_cast<double>(reader.Packets.OutOfOrder);
    state.counters["bad_packets"] = static_cast<double>(reader.BadPackets());
    // The reader's stall against the ring's span of time, as asked and as it happened.
    state.counters["stall_x_ring_span"] = stallMs / ringSpanMs;
    state.counters["longest_gap_x_ring_span"] =
        static_cast<double>(reader.LongestGap) / kUnitsPerMillisecond / ringSpanMs;
    state.counters["peak_fill_share"] = static_cast<double>(reader.MostPerRead) / ring;
    // The whole stream's CPU (bus, controller, driver, reader) as a share of one core.
    state.counters["cpu_share_of_a_core"] = wall > 0 ? cpu / wall : 0;
    state.counters["controller_max_lag_uframes"] =
        static_cast<double>(controller.MaxLagMicroframes);
    state.counters["controller_max_completion_delay_uframes"] =
        static_cast<double>(controller.MaxCompletionDelayMicroframes);
    state.counters["reads"] = static_cast<double>(reader.Reads);
    state.counters["load_average"] = (loadBefore + LoadAverage()) / 2;
    state.counters["verifier_violations"] = static_cast<double>(rig.Violations());
}
// R = 1024 packets (128 ms of stream, 3 MiB of data ring), P = 32 (4 ms per URB), N = 4 (16 ms
// queued); the reader stalls for 0.85 of the ring's span once a second.
BENCHMARK(BM_StreamWithStallingReader)
    ->Args({1024, 32, 4, 850})
    ->ArgNames({"R", "P", "N", "stall_permille"})
    ->Iterations(1)
    ->Unit(benchmark::kSecond);

} // namespace
} // namespace tovrik_bench
