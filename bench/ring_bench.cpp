// (a) The driver's byte ring with its producer and consumer on two threads, against memcpy of the
// same bytes in the same pieces on one thread and, when Boost is there, against
// boost::lockfree::spsc_queue moving the same bytes between two threads.
//
// Every iteration runs all contenders back to back over the same buffers, so the machine's noise
// (two shared cores, builds next door) falls on each of them alike; only the ratios of the
// accumulated times are reported.
#include "transfer/ring.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <thread>
#include <vector>

#if defined(TOVRIK_BENCH_BOOST)
#include <boost/lockfree/spsc_queue.hpp>
#endif

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::size_t kRingBytes = 1 << 20;
// Source and destination are cycled over; bigger than the ring so the copies do not live in the
// ring's cache lines only.
constexpr std::size_t kSourceBytes = 2 << 20;
constexpr std::size_t kDestinationBytes = 2 << 20;
constexpr std::size_t kBytesPerIteration = 64 << 20;

// A side that finds the ring full (or empty) spins a little, then gives its core away: with two
// shared cores the other side may be waiting for exactly that core. Every two-thread contender
// waits the same way.
class Backoff {
  public:
    void Wait() {
        if (++spins_ < 64) {
#if defined(__x86_64__) || defined(__i386__)
            __builtin_ia32_pause();
#endif
        } else {
            spins_ = 0;
            std::this_thread::yield();
        }
    }
    void Reset() {
        spins_ = 0;
    }

  private:
    unsigned spins_ = 0;
};

struct Buffers {
    std::vector<std::uint8_t> Source = std::vector<std::uint8_t>(kSourceBytes);
    // Slack at the end: a consumer may receive a piece shorter than asked and place the next one
    // right after it.
    std::vector<std::uint8_t> Destination =
        std::vector<std::uint8_t>(kDestinationBytes + kRingBytes);

    Buffers() {
        for (std::size_t i = 0; i < Source.size(); ++i)
            Source[i] = static_cast<std::uint8_t>(i * 131 + 7);
    }
};

double Seconds(Clock::duration d) {
    return std::chrono::duration<double>(d).count();
}

double TimeMemcpy(Buffers& b, std::size_t piece) {
    const auto start = Clock::now();
    for (std::size_t done = 0; done < kBytesPerIteration; done += piece)
        std::memcpy(b.Destination.data() + done % kDestinationBytes,
                    b.Source.data() + done % kSourceBytes, piece);
    benchmark::DoNotOptimize(b.Destination.data());
    benchmark::ClobberMemory();
    return Seconds(Clock::now() - start);
}

// Runs `produce` on a second thread and `consume` on this one, both released at once; the time
// is from the release until the consumer has every byte.
template <typename Produce, typename Consume>
double TimeTwoThreads(Produce produce, Consume consume) {
    std::atomic<bool> ready{false};
    std::atomic<bool> go{false};
    std::thread producer([&] {
        ready.store(true, std::memory_order_release);
        while (!go.load(std::memory_order_acquire))
            std::this_thread::yield();
        produce();
    });
    while (!ready.load(std::memory_order_acquire))
        std::this_thread::yield();
    const auto start = Clock::now();
    go.store(true, std::memory_order_release);
    consume();
    const double seconds = Seconds(Clock::now() - start);
    producer.join();
    return seconds;
}

double TimeByteRing(PBYTE_RING ring, Buffers& b, std::size_t piece) {
    const ULONG length = static_cast<ULONG>(piece);
    return TimeTwoThreads(
        [&] {
            Backoff backoff;
            for (std::size_t sent = 0; sent < kBytesPerIteration; sent += piece) {
                // All or nothing, as the stream's completion puts a URB's worth.
                while (RingPut(ring, b.Source.data() + sent % kSourceBytes, length) == 0)
                    backoff.Wait();
                backoff.Reset();
            }
        },
        [&] {
            Backoff backoff;
            std::size_t received = 0;
            while (received < kBytesPerIteration) {
                const ULONG got =
                    RingGet(ring, b.Destination.data() + received % kDestinationBytes, length);
                if (got == 0) {
                    backoff.Wait();
                    continue;
                }
                backoff.Reset();
                received += got;
            }
        });
}

#if defined(TOVRIK_BENCH_BOOST)
using BoostQueue = boost::lockfree::spsc_queue<std::uint8_t>;

double TimeBoost(BoostQueue& queue, Buffers& b, std::size_t piece) {
    return TimeTwoThreads(
        [&] {
            Backoff backoff;
            for (std::size_t sent = 0; sent < kBytesPerIteration; sent += piece) {
                const std::uint8_t* from = b.Source.data() + sent % kSourceBytes;
                // The queue takes what fits; the rest follows, so the same pieces go in whole.
                for (std::size_t pushed = 0; pushed < piece;) {
                    const std::size_t n = queue.push(from + pushed, piece - pushed);
                    if (n == 0)
                        backoff.Wait();
                    else
                        backoff.Reset();
                    pushed += n;
                }
            }
        },
        [&] {
            Backoff backoff;
            std::size_t received = 0;
            while (received < kBytesPerIteration) {
                const std::size_t got =
                    queue.pop(b.Destination.data() + received % kDestinationBytes, piece);
                if (got == 0) {
                    backoff.Wait();
                    continue;
                }
                backoff.Reset();
                received += got;
            }
        });
}
#endif

// Arg: the bytes of one put (and the most one get asks for).
void BM_ByteRing(benchmark::State& state) {
    const auto piece = static_cast<std::size_t>(state.range(0));
    Buffers buffers;
    PBYTE_RING ring = RingCreate(kRingBytes);
    if (ring == nullptr) {
        state.SkipWithError("RingCreate failed");
        return;
    }
#if defined(TOVRIK_BENCH_BOOST)
    BoostQueue queue(kRingBytes);
#endif
    double memcpySeconds = 0;
    double ringSeconds = 0;
    double boostSeconds = 0;
    for (auto _ : state) {
        memcpySeconds += TimeMemcpy(buffers, piece);
        const double ringTime = TimeByteRing(ring, buffers, piece);
        ringSeconds += ringTime;
#if defined(TOVRIK_BENCH_BOOST)
        boostSeconds += TimeBoost(queue, buffers, piece);
#endif
        state.SetIterationTime(ringTime);
    }
    RingRelease(ring);
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kBytesPerIteration));
    // Above 1: faster than the baseline; 0.5 would be half its speed.
    state.counters["ring_x_memcpy"] = memcpySeconds / ringSeconds;
#if defined(TOVRIK_BENCH_BOOST)
    state.counters["ring_x_boost"] = boostSeconds / ringSeconds;
    state.counters["boost_x_memcpy"] = memcpySeconds / boostSeconds;
#else
    (void)boostSeconds;
#endif
}

// 4 KiB: small pieces; 24 KiB and 96 KiB: the data of one URB of the stream at 3072 bytes per
// packet with 8 and 32 packets per URB.
BENCHMARK(BM_ByteRing)
    ->Arg(4096)
    ->Arg(24576)
    ->Arg(98304)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(20);

} // namespace
