// (a) The driver's byte ring moving bytes from a producer thread to a consumer thread, against
// memcpy moving the same bytes in the same pieces on one thread, against
// boost::lockfree::spsc_queue<uint8_t> moving them between two threads, and against a bare ring
// of the same capacity (two indexes and two copies, nothing else): what this machine gives any
// ring that copies in on one core and out on another.
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
#include <functional>
#include <thread>
#include <vector>

#if defined(TOVRIK_BENCH_BOOST)
#include <boost/lockfree/spsc_queue.hpp>
#endif

namespace tovrik_bench {
namespace {

std::size_t WindowBytes() {
    return SmallRun() ? std::size_t{16} << 20 : std::size_t{1} << 30;
}
std::size_t BufferBytes() {
    return SmallRun() ? std::size_t{4} << 20 : std::size_t{64} << 20;
}

// The least a ring can do: the producer copies in and publishes its index, the consumer copies
// out and publishes its own, each index on a cache line of its own. What is left of a ring's
// time is the machine's: two copies, and every byte handed from one core's cache to the other's.
class BareRing {
  public:
    explicit BareRing(std::size_t capacity) : bytes_(capacity) {}
    // All `length` bytes, or nothing when they do not fit.
    bool Put(const std::uint8_t* from, std::size_t length) {
        const std::size_t written = written_.load(std::memory_order_relaxed);
        if (bytes_.size() - (written - read_.load(std::memory_order_acquire)) < length)
            return false;
        Copy(written, from, length,
             [](std::uint8_t* ring, const std::uint8_t* user, std::size_t n) {
                 std::memcpy(ring, user, n);
             });
        written_.store(written + length, std::memory_order_release);
        return true;
    }
    // All `length` bytes, or nothing when fewer are stored.
    bool Get(std::uint8_t* to, std::size_t length) {
        const std::size_t read = read_.load(std::memory_order_relaxed);
        if (written_.load(std::memory_order_acquire) - read < length)
            return false;
        Copy(read, to, length, [](std::uint8_t* ring, std::uint8_t* user, std::size_t n) {
            std::memcpy(user, ring, n);
        });
        read_.store(read + length, std::memory_order_release);
        return true;
    }

  private:
    // Applies `move` to the stretch of the ring at running position `at`, in two parts where it
    // wraps.
    template <typename User, typename Move>
    void Copy(std::size_t at, User user, std::size_t length, Move move) {
        const std::size_t offset = at % bytes_.size();
        const std::size_t first = std::min(length, bytes_.size() - offset);
        move(bytes_.data() + offset, user, first);
        move(bytes_.data(), user + first, length - first);
    }

    std::vector<std::uint8_t> bytes_;
    alignas(64) std::atomic<std::size_t> written_{0};
    alignas(64) std::atomic<std::size_t> read_{0};
};

// One side of a two-thread contender. A side that finds no room (or nothing) spins a little,
// then sleeps until the other side has moved something; each side counts what it moves and wakes
// the other. It sleeps rather than yields: on a loaded machine a thread that yields waits behind
// every other runnable thread, and both sides then spend most of the run waiting for the machine
// instead of for each other. Every two-thread contender waits the same way.
struct Moves {
    alignas(64) std::atomic<std::uint32_t> ByProducer{0};
    alignas(64) std::atomic<std::uint32_t> ByConsumer{0};
};

class Side {
  public:
    Side(std::atomic<std::uint32_t>& mine, std::atomic<std::uint32_t>& other)
        : mine_(mine), other_(other) {}
    // The other side's count, read before trying: a move after it ends the wait at once.
    std::uint32_t Seen() const { return other_.load(std::memory_order_acquire); }
    void Wait(std::uint32_t seen) {
        if (++spins_ < 64) {
#if defined(__x86_64__) || defined(__i386__)
            __builtin_ia32_pause();
#endif
        } else {
            spins_ = 0;
            other_.wait(seen, std::memory_order_acquire);
        }
    }
    void Moved() {
        spins_ = 0;
        mine_.fetch_add(1, std::memory_order_release);
        mine_.notify_one();
    }

  private:
    std::atomic<std::uint32_t>& mine_;
    std::atomic<std::uint32_t>& other_;
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

// The ring's two copies of every piece on this one thread: each piece put, then taken. No
// second core and no waiting: what the copies cost, with the ring's bytes still in this core's
// cache when they are taken.
double TimeByteRingOneThread(PBYTE_RING ring, Buffers& b) {
    const auto length = static_cast<ULONG>(b.Piece);
    std::size_t lost = 0;
    const double start = WallSeconds();
    for (std::size_t k = 0; k < b.Pieces; ++k) {
        lost += RingPut(ring, b.Source.data() + b.At(k), length) != length;
        lost += RingGet(ring, b.Destination.data() + b.At(k), length) != length;
    }
    benchmark::DoNotOptimize(b.Destination.data());
    benchmark::ClobberMemory();
    const double seconds = WallSeconds() - start;
    return lost == 0 ? seconds : -1;
}

// How many cores the last two-thread run had on average: both threads' CPU over its wall time
// (2: the two sides ran at once throughout; 1: they took turns on one core).
double g_coresOfLastRun = 0;

// Runs `produce` on a second thread and `consume` on this one, both released at once; the time
// is from the release until the consumer has every byte.
template <typename Produce, typename Consume>
double TimeTwoThreads(Produce produce, Consume consume) {
    std::atomic<bool> ready{false};
    std::atomic<bool> go{false};
    double producerCpu = 0;
    std::thread producer([&] {
        ready.store(true, std::memory_order_release);
        while (!go.load(std::memory_order_acquire))
            std::this_thread::yield();
        const double cpu = ThreadCpuSeconds();
        produce();
        producerCpu = ThreadCpuSeconds() - cpu;
    });
    while (!ready.load(std::memory_order_acquire))
        std::this_thread::yield();
    const double start = WallSeconds();
    const double consumerStart = ThreadCpuSeconds();
    go.store(true, std::memory_order_release);
    consume();
    const double seconds = WallSeconds() - start;
    const double consumerCpu = ThreadCpuSeconds() - consumerStart;
    producer.join();
    g_coresOfLastRun = (producerCpu + consumerCpu) / seconds;
    return seconds;
}

// Moves every piece through a ring of whole pieces: `put(from)` stores one whole piece or
// nothing, `get(to)` takes one whole piece or nothing; either side waits while its call fails.
template <typename Put, typename Get> double TimeWholePieces(Buffers& b, Put put, Get get) {
    Moves moves;
    return TimeTwoThreads(
        [&] {
            Side side(moves.ByProducer, moves.ByConsumer);
            for (std::size_t k = 0; k < b.Pieces; ++k) {
                for (;;) {
                    const std::uint32_t seen = side.Seen();
                    if (put(b.Source.data() + b.At(k)))
                        break;
                    side.Wait(seen);
                }
                side.Moved();
            }
        },
        [&] {
            Side side(moves.ByConsumer, moves.ByProducer);
            for (std::size_t k = 0; k < b.Pieces;) {
                const std::uint32_t seen = side.Seen();
                if (!get(b.Destination.data() + b.At(k))) {
                    side.Wait(seen);
                    continue;
                }
                side.Moved();
                ++k;
            }
        });
}

double TimeByteRing(PBYTE_RING ring, Buffers& b) {
    const auto length = static_cast<ULONG>(b.Piece);
    // All or nothing, as the stream's completion puts a URB's worth; the producer puts whole
    // pieces, so each get takes one whole piece.
    return TimeWholePieces(
        b, [&](const std::uint8_t* from) { return RingPut(ring, from, length) != 0; },
        [&](std::uint8_t* to) { return RingGet(ring, to, length) != 0; });
}

double TimeBareRing(BareRing& ring, Buffers& b) {
    return TimeWholePieces(
        b, [&](const std::uint8_t* from) { return ring.Put(from, b.Piece); },
        [&](std::uint8_t* to) { return ring.Get(to, b.Piece); });
}

#if defined(TOVRIK_BENCH_BOOST)
using BoostQueue = boost::lockfree::spsc_queue<std::uint8_t>;

double TimeBoost(BoostQueue& queue, Buffers& b) {
    Moves moves;
    return TimeTwoThreads(
        [&] {
            Side side(moves.ByProducer, moves.ByConsumer);
            for (std::size_t k = 0; k < b.Pieces; ++k) {
                const std::uint8_t* from = b.Source.data() + b.At(k);
                // The queue takes what fits; the rest follows, so the same pieces go in whole.
                for (std::size_t pushed = 0; pushed < b.Piece;) {
                    const std::uint32_t seen = side.Seen();
                    const std::size_t n = queue.push(from + pushed, b.Piece - pushed);
                    if (n == 0) {
                        side.Wait(seen);
                        continue;
                    }
                    side.Moved();
                    pushed += n;
                }
            }
        },
        [&] {
            Side side(moves.ByConsumer, moves.ByProducer);
            // A pop may end inside a piece; the next one finishes that piece first.
            for (std::size_t k = 0, within = 0; k < b.Pieces;) {
                const std::uint32_t seen = side.Seen();
                const std::size_t got =
                    queue.pop(b.Destination.data() + b.At(k) + within, b.Piece - within);
                if (got == 0) {
                    side.Wait(seen);
                    continue;
                }
                side.Moved();
                within += got;
                if (within == b.Piece) {
                    within = 0;
                    ++k;
                }
            }
        });
}
#endif

// Args: the bytes of one put (and the most one get asks for), and the ring's capacity in KiB.
void BM_ByteRing(benchmark::State& state) {
    const auto piece = static_cast<std::size_t>(state.range(0));
    const auto ringBytes = static_cast<std::size_t>(state.range(1)) << 10;
    Buffers buffers(piece);
    PBYTE_RING ring = RingCreate(static_cast<ULONG>(ringBytes));
    if (ring == nullptr) {
        state.SkipWithError("RingCreate failed");
        return;
    }
#if defined(TOVRIK_BENCH_BOOST)
    BoostQueue queue(ringBytes);
#endif
    const double loadBefore = LoadAverage();
    bool lostPiece = false;
    for (auto _ : state) {
        const int pairs = Pairs();
        // Above 1: the ring is faster than the other; 0.5 would be half its speed.
        std::vector<double> versusMemcpy;
        std::vector<double> cores;
        const auto ringSample = [&] {
            const double seconds = TimeByteRing(ring, buffers);
            cores.push_back(g_coresOfLastRun);
            return seconds;
        };
        for (const auto& [ringTime, memcpyTime] :
             Paired(pairs, ringSample, [&] { return TimeMemcpy(buffers); }))
            versusMemcpy.push_back(memcpyTime / ringTime);
        Report(state, "ring_x_memcpy", versusMemcpy);
        // The cores the machine gave the ring's two threads in those runs: below 2 the ring
        // waited for the machine, not for its own copies.
        Report(state, "ring_cores", cores);
        // The ring's two copies on one thread against the same memcpy: the copies' cost alone.
        std::vector<double> oneThread;
        for (const auto& [ringTime, memcpyTime] : Paired(
                 pairs, [&] { return TimeByteRingOneThread(ring, buffers); },
                 [&] { return TimeMemcpy(buffers); })) {
            lostPiece = lostPiece || ringTime <= 0;
            oneThread.push_back(memcpyTime / ringTime);
        }
        Report(state, "ring_one_thread_x_memcpy", oneThread);
        // The two-thread ring paired with another contender: the other's time / the ring's.
        const auto versusRing = [&](const char* name, const std::function<double()>& other) {
            std::vector<double> ratios;
            for (const auto& [ringTime, otherTime] : Paired(
                     pairs, [&] { return TimeByteRing(ring, buffers); }, other))
                ratios.push_back(otherTime / ringTime);
            Report(state, name, ratios);
        };
        // Against the bare ring of the same capacity: 1 when the driver's ring costs nothing
        // beyond what the machine charges any ring.
        BareRing bare(ringBytes);
        versusRing("ring_x_bare_ring", [&] { return TimeBareRing(bare, buffers); });
#if defined(TOVRIK_BENCH_BOOST)
        versusRing("ring_x_boost", [&] { return TimeBoost(queue, buffers); });
#endif
        state.counters["pairs"] = pairs;
        state.counters["window_MiB"] = static_cast<double>(buffers.Pieces * piece) / (1 << 20);
    }
    RingRelease(ring);
    if (lostPiece)
        state.SkipWithError("a piece put on one thread did not come back whole");
    state.counters["load_average"] = (loadBefore + LoadAverage()) / 2;
}

// 4 KiB: small pieces; 24 KiB and 96 KiB: the data of one URB of the stream at 3072 bytes per
// packet with 8 and 32 packets per URB. Rings of 1 MiB, larger than a core's share of the caches
// beside the streaming source and destination, and of 256 KiB, which stay in them.
BENCHMARK(BM_ByteRing)
    ->ArgNames({"piece", "ring_KiB"})
    ->Args({4096, 1024})
    ->Args({24576, 1024})
    ->Args({98304, 1024})
    ->Args({24576, 256})
    ->Args({98304, 256})
    ->Iterations(1)
    ->Unit(benchmark::kSecond);

} // namespace
} // namespace tovrik_bench
