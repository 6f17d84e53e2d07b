// The stream at the edges of what a caller may ask: rings too small for one URB, reads whose
// packet size is not the stream's. Each asks whether the stream can still deliver, packet for
// packet, what its start promised.
#include "support/world_test.h"

#include "transfer/iso.h"
#include "transfer/ring.h"

#include <chrono>
#include <thread>

namespace tovrik_test {
namespace {

constexpr std::uint32_t kIsoPipe = 3;
constexpr std::uint32_t kPacket = 1024;

class StreamEdgesTest : public WorldTest {
  protected:
    void SetUp() override { StartWorld(OwnCameras()); }

    // Waits (in real time, with a wide margin) until the data ring holds at least Bytes bytes.
    bool WaitForData(ULONG bytes) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (std::chrono::steady_clock::now() < deadline) {
            PBYTE_RING ring = Extension()->StreamDataRing;
            if (ring != nullptr && static_cast<ULONG>(ReadAcquire(&ring->FillCount)) >= bytes) {
                return true;
            }
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
        return false;
    }
    void Stop() { EXPECT_EQ(Call(IOCTL_TOVRIK_STOP_ISO_STREAM, {}, 0).Status, STATUS_SUCCESS); }
};

TEST_F(StreamEdgesTest, AStreamWhoseRingsCannotHoldOneUrbIsRefused) {
    host::Clock::SetScale(1);
    // Rings of 4 packets behind URBs of 8: every URB is one block too large for the rings, so
    // a stream started like this would drop every packet it ever carried while its start and
    // every read report success.
    const auto tooSmall = StartStream({kIsoPipe, kPacket, 4, 8, 4});
    if (tooSmall.Status == STATUS_SUCCESS) {
        // Show what the caller would get: nothing, ever, although the camera keeps sending.
        Bytes output;
        std::uint64_t got = 0;
        for (int i = 0; i < 50; i++) {
            got += ReadStream(kPacket, 4, output).Information;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        ADD_FAILURE() << "a start whose rings cannot take one URB succeeded; 50 reads over "
                         "50 ms returned "
                      << got << " bytes";
        Stop();
    }
    EXPECT_EQ(tooSmall.Status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Extension()->Stream, nullptr);

    // Rings of exactly one URB's packets are enough: they fill, a read empties them, the next
    // URB goes in.
    ASSERT_EQ(StartStream({kIsoPipe, kPacket, 8, 8, 4}).Status, STATUS_SUCCESS);
    ASSERT_TRUE(WaitForData(8 * kPacket));
    Bytes output;
    auto result = ReadStream(kPacket, 8, output);
    EXPECT_EQ(result.Status, STATUS_SUCCESS);
    EXPECT_EQ(result.Information, 8u * (kPacket + 12));
    Stop();
}

TEST_F(StreamEdgesTest, AReadWithAnotherPacketSizeLeavesTheRingsInStep) {
    host::Clock::SetScale(1);
    ASSERT_EQ(StartStream({kIsoPipe, kPacket, 64, 8, 4}).Status, STATUS_SUCCESS);
    ASSERT_TRUE(WaitForData(16 * kPacket));

    // A read that names packets of 512 bytes on a stream of 1024-byte packets. Whatever it is
    // answered, it must not take data and descriptors out of step: every later read of the
    // right size relies on the data ring holding whole packets and the descriptor ring holding
    // exactly one descriptor for each of them.
    Bytes output;
    const auto cut = ReadStream(kPacket / 2, 3, output);
    EXPECT_EQ(cut.Status, STATUS_INVALID_PARAMETER) << host::StatusName(cut.Status);
    EXPECT_EQ(cut.Information, 0u);

    PISO_TRANSFER stream = Extension()->Stream;
    ASSERT_NE(stream, nullptr);
    // The completions put both rings under the stream's put lock, and this thread is the only
    // reader: under that lock the two counts are a consistent pair.
    KIRQL oldIrql = KeAcquireSpinLockRaiseToDpc(&stream->PutLock);
    ULONG dataBytes = static_cast<ULONG>(ReadAcquire(&stream->DataRing->FillCount));
    ULONG descriptorBytes = static_cast<ULONG>(ReadAcquire(&stream->PacketRing->FillCount));
    KeReleaseSpinLock(&stream->PutLock, oldIrql);
    EXPECT_EQ(dataBytes % kPacket, 0u) << "the data ring now starts inside a packet";
    EXPECT_EQ(dataBytes / kPacket, descriptorBytes / 12)
        << dataBytes << " data bytes, " << descriptorBytes << " descriptor bytes";

    // What a reader of the right size then sees: descriptors that belong to its packets, each
    // one's Offset the packet's place within its URB, a multiple of the packet size.
    auto result = ReadStream(kPacket, 16, output);
    ASSERT_EQ(result.Status, STATUS_SUCCESS);
    std::uint32_t got = static_cast<std::uint32_t>(result.Information / (kPacket + 12));
    EXPECT_EQ(result.Information, got * (kPacket + 12)) << "whole packets with their descriptors";
    Stop();
}

} // namespace
} // namespace tovrik_test
