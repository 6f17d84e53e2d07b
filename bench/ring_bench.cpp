// (a) The driver's byte ring moving bytes from a producer thread to a consumer thread, against
// memcpy moving the same bytes in the same pieces on one thread, and against
// boost::lockfree::spsc_queue<uint8_t> moving them between two threads.
//
// Each sample is a window of at least 1 GiB (several scheduler slices long), from a 64 MiB source
// into a 64 MiB destination (larger than the caches, so every contender pays for memory), both
// a whole number of pieces long so no piece runs past either end. The contenders run in separate
// samples, paired (ring with memcpy, ring with boost) and alternated; the ratios of each pair's
// times are reported as min / median / max over the pairs.
#include "measure.h"

#include "transfer/ring.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <thread>
#include <vector>

#if defined(TOVRIK_BENCH_BOOST)
#include <boost/lockfree/spsc_queue.hpp>
#endif

namespace tovrik_bench {
namespace {

constexpr std::size_t kRingBytes = 1 << 20;

std::size_t WindowBytes() {
    return SmallRun() ? std::size_t{16} << 20 : std::size_t{1} << 30;
}
std::size_t BufferBytes() {
    return SmallRun() ? std::size_t{4} << 20 : std::size_t{64} << 20;
}

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

// Source and destination of a whole number of pieces; the window moves `Pieces` pieces,
// cycling over them.
struct Buffers {
    explicit Buffers(std::size_t piece)
        : Piece(piece), Count(BufferBytes() / piece), Pieces(WindowBytes() / piece),
          Source(Count * piece), Destination(Count * piece) {
        for (std::size_t i = 0; i < Source.size(); ++i)
            Source[i] = static_cast<std::uint8_t>(i * 131 + 7);
    }
    // Byte offset of piece k, in either buffer.
    std::size_t At(std::size_t k) const { return (k % Count) * Piece; }

    std::size_t Piece;
    std::size_t Count;
    std::size_t Pieces;
    std::vector<std::uint8_t> Source;
    std::vector<std::uint8_t> Destination;
};

double TimeMemcpy(Buffers& b) {
    const double start = WallSeconds();
    for (std::size_t k = 0; k < b.Pieces; ++k)
        std::memcpy(b.Destination.data() + b.At(k), b.Source.data() + b.At(k), b.Piece);
    benchmark::DoNotOptimize(b.Destination.data());
    benchmark::ClobberMemory();
    return WallSeconds() - start;
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
    const double start = WallSeconds();
    go.store(true, std::memory_order_release);
    consume();
    const double seconds = WallSeconds() - start;
    producer.join();
    return seconds;
}

double TimeByteRing(PBYTE_RING ring, Buffers& b) {
    const auto length = static_cast<ULONG>(b.Piece);
    return TimeTwoThreads(
        [&] {
            Backoff backoff;
            for (std::size_t k = 0; k < b.Pieces; ++k) {
                // All or nothing, as the stream's completion puts a URB's worth.
                while (RingPut(ring, b.Source.data() + b.At(k), length) == 0)
                    backoff.Wait();
                backoff.Reset();
            }
        },
        [&] {
            Backoff backoff;
            // The producer puts whole pieces, so each get takes one whole piece.
            for (std::size_t k = 0; k < b.Pieces;) {
                if (RingGet(ring, b.Destination.data() + b.At(k), length) == 0) {
                    backoff.Wait();
                    continue;
                }
                backoff.Reset();
                ++k;
            }
        });
}

#if defined(TOVRIK_BENCH_BOOST)
using BoostQueue = boost::lockfree::spsc_queue<std::uint8_t>;

double TimeBoost(BoostQueue& queue, Buffers& b) {
    return TimeTwoThreads(
        [&] {
            Backoff backoff;
            for (std::size_t k = 0; k < b.Pieces; ++k) {
                const std::uint8_t* from = b.Source.data() + b.At(k);
                // The queue takes what fits; the rest follows, so the same pieces go in whole.
                for (std::size_t pushed = 0; pushed < b.Piece;) {
                    const std::size_t n = queue.push(from + pushed, b.Piece - pushed);
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
            // A pop may end inside a piece; the next one finishes that piece first.
            for (std::size_t k = 0, within = 0; k < b.Pieces;) {
                const std::size_t got =
                    queue.pop(b.Destination.data() + b.At(k) + within, b.Piece - within);
                if (got == 0) {
                    backoff.Wait();
                    continue;
                }
                backoff.Reset();
                within += got;
                if (within == b.Piece) {
                    within = 0;
                    ++k;
                }
            }
        });
}
#endif

// Arg: the bytes of one put (and the most one get asks for).
void BM_ByteRing(benchmark::State& state) {
    const auto piece = static_cast<std::size_t>(state.range(0));
    Buffers buffers(piece);
    PBYTE_RING ring = RingCreate(kRingBytes);
    if (ring == nullptr) {
        state.SkipWithError("RingCreate failed");
        return;
    }
#if defined(TOVRIK_BENCH_BOOST)
    BoostQueue queue(kRingBytes);
#endif
    const double loadBefore = LoadAverage();
    for (auto _ : state) {
        const int pairs = Pairs();
        // Above 1: the ring is faster than the other; 0.5 would be half its speed.
        std::vector<double> versusMemcpy;
        for (const auto& [ringTime, memcpyTime] : Paired(
                 pairs, [&] { return TimeByteRing(ring, buffers); },
                 [&] { return TimeMemcpy(buffers); }))
            versusMemcpy.push_back(memcpyTime / ringTime);
        Report(state, "ring_x_memcpy", versusMemcpy);
#if defined(TOVRIK_BENCH_BOOST)
        std::vector<double> versusBoost;
        for (const auto& [ringTime, boostTime] : Paired(
                 pairs, [&] { return TimeByteRing(ring, buffers); },
                 [&] { return TimeBoost(queue, buffers); }))
            versusBoost.push_back(boostTime / ringTime);
        Report(state, "ring_x_boost", versusBoost);
#endif
        state.counters["pairs"] = pairs;
        state.counters["window_MiB"] = static_cast<double>(buffers.Pieces * piece) / (1 << 20);
    }
    RingRelease(ring);
    state.counters["load_average"] = (loadBefore + LoadAverage()) / 2;
}

// 4 KiB: small pieces; 24 KiB and 96 KiB: the data of one URB of the stream at 3072 bytes per
// packet with 8 and 32 packets per URB.
BENCHMARK(BM_ByteRing)->Arg(4096)->Arg(24576)->Arg(98304)->Iterations(1)->Unit(benchmark::kSecond);

} // namespace
} // namespace tovrik_bench
