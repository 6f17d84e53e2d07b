// The byte ring: one producer and one consumer, whole puts or none, wrap-around, and the two
// sides at once on two threads.
#include "support/driver_test.h"

#include "transfer/ring.h"

#include <numeric>
#include <thread>

namespace tovrik_test {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes Sequence(std::size_t count, std::uint8_t first = 0) {
    Bytes bytes(count);
    std::iota(bytes.begin(), bytes.end(), first);
    return bytes;
}

class RingTest : public ::testing::Test {
  protected:
    void TearDown() override {
        if (ring_ != nullptr) {
            RingRelease(ring_);
        }
    }
    PBYTE_RING ring_ = nullptr;
};

TEST_F(RingTest, PutsAreWholeOrNothingAndGetsTakeWhatIsThere) {
    ring_ = RingCreate(10);
    ASSERT_NE(ring_, nullptr);
    Bytes out(16, 0xEE);

    EXPECT_EQ(RingPut(ring_, Sequence(0).data(), 0), 0u);
    EXPECT_EQ(RingGet(ring_, out.data(), 0), 0u);
    EXPECT_EQ(RingGet(ring_, out.data(), 4), 0u) << "empty";

    EXPECT_EQ(RingPut(ring_, Sequence(7).data(), 7), 7u);
    // Four bytes when only three are free: nothing is stored.
    EXPECT_EQ(RingPut(ring_, Sequence(4).data(), 4), 0u);
    EXPECT_EQ(ring_->FillCount, 7);
    // Exactly the free three fill it; then write and read positions meet.
    EXPECT_EQ(RingPut(ring_, Sequence(3, 7).data(), 3), 3u);
    EXPECT_EQ(ring_->WritePos, ring_->ReadPos);
    EXPECT_EQ(ring_->WritePos, ring_->Base)
        << "a put ending at the end of the storage wraps to Base";

    // More than the ring can ever hold is refused even when it is full; exactly its capacity is
    // not.
    EXPECT_EQ(RingGet(ring_, out.data(), 11), 0u);
    EXPECT_EQ(RingGet(ring_, out.data(), 10), 10u);
    EXPECT_EQ(Bytes(out.begin(), out.begin() + 10), Sequence(10));
}

TEST_F(RingTest, CopiesThatCrossTheEndAreSplitAndKeepTheOrder) {
    ring_ = RingCreate(8);
    Bytes out(8);
    ASSERT_EQ(RingPut(ring_, Sequence(6).data(), 6), 6u);
    ASSERT_EQ(RingGet(ring_, out.data(), 5), 5u);
    // Write position 6 of 8: this put crosses the end.
    ASSERT_EQ(RingPut(ring_, Sequence(5, 100).data(), 5), 5u);
    EXPECT_EQ(ring_->WritePos, ring_->Base + 3);
    // Read position 5: asking for more than is stored returns what is stored, across the end.
    EXPECT_EQ(RingGet(ring_, out.data(), 8), 6u);
    EXPECT_EQ(Bytes(out.begin(), out.begin() + 6), (Bytes{5, 100, 101, 102, 103, 104}));
    EXPECT_EQ(ring_->ReadPos, ring_->Base + 3);
}

TEST_F(RingTest, AProducerAndAConsumerOnTwoThreadsLoseAndRepeatNothing) {
    ring_ = RingCreate(4093); // a size no put or get divides evenly, so positions keep moving
    constexpr std::size_t kTotal = 4 << 20;
    std::thread producer([&] {
        std::size_t sent = 0;
        std::uint8_t block[211];
        while (sent < kTotal) {
            std::size_t n = std::min(sizeof(block), kTotal - sent);
            for (std::size_t i = 0; i < n; i++) {
                block[i] = static_cast<std::uint8_t>((sent + i) * 7);
            }
            // The producer of the stream runs at DISPATCH_LEVEL.
            KIRQL old;
            KeRaiseIrql(DISPATCH_LEVEL, &old);
            ULONG put = RingPut(ring_, block, static_cast<ULONG>(n));
            KeLowerIrql(old);
            sent += put;
            if (put == 0) {
                std::this_thread::yield();
            }
        }
    });
    std::size_t received = 0;
    std::size_t wrong = 0;
    Bytes out(997);
    while (received < kTotal) {
        ULONG got = RingGet(ring_, out.data(), static_cast<ULONG>(out.size()));
        for (ULONG i = 0; i < got; i++) {
            wrong += out[i] != static_cast<std::uint8_t>((received + i) * 7);
        }
        received += got;
        if (got == 0) {
            std::this_thread::yield();
        }
    }
    producer.join();
    EXPECT_EQ(wrong, 0u);
    EXPECT_EQ(ring_->FillCount, 0);
}

TEST_F(RingTest, ACreateThatCannotGetItsStorageLeavesNothing) {
    host::FaultInjection::FailNth(2, host::AllocationKind::Pool);
    EXPECT_EQ(RingCreate(64), nullptr);
    host::FaultInjection::Reset();
}

} // namespace
} // namespace tovrik_test
