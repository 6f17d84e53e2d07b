// The isochronous stream against the simulated camera: descriptors before data, packet-exact
// reads, sequence numbers in order while the reader keeps up, stop, busy refusals, removal.
#include "support/world_test.h"

#include "transfer/ring.h"

#include <algorithm>
#include <atomic>
#include <thread>

namespace tovrik_test {
namespace {

constexpr std::uint32_t kIsoPipe = 3;
constexpr std::uint32_t kPacket = 1024;

std::uint32_t ReadUlong(const std::uint8_t* bytes) {
    return bytes[0] | (bytes[1] << 8) | (bytes[2] << 16) |
           (static_cast<std::uint32_t>(bytes[3]) << 24);
}

class StreamTest : public WorldTest {
  protected:
    void SetUp() override { StartWorld(OwnCameras()); }

    host::FrontEnd::IoctlResult Start(ISO_REQUEST request) { return StartStream(request); }
    host::FrontEnd::IoctlResult ReadPackets(std::uint32_t count, Bytes& output) {
        return ReadStream(kPacket, count, output);
    }
    void StopAndDrain() {
        EXPECT_EQ(Call(IOCTL_TOVRIK_STOP_ISO_STREAM, {}, 0).Status, STATUS_SUCCESS);
        // Every slot ends at its next completion; then the rings go and reads find nothing.
        Bytes output;
        for (int i = 0; i < 2000 && ReadPackets(1, output).Status == STATUS_SUCCESS; i++) {
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
        EXPECT_EQ(ReadPackets(1, output).Status, STATUS_UNSUCCESSFUL);
    }
};

TEST_F(StreamTest, ReadsReturnWholePacketsThenTheirDescriptorsInOrder) {
    host::Clock::SetScale(1);
    ASSERT_EQ(Start({kIsoPipe, kPacket, 64, 8, 4}).Status, STATUS_SUCCESS);
    // Start allocates N × P × S bytes of URB buffers and rings of R × S and R × 12 bytes.
    ASSERT_NE(Extension()->StreamDataRing, nullptr);
    EXPECT_EQ(Extension()->StreamDataRing->Capacity, 64u * kPacket);
    EXPECT_EQ(Extension()->StreamPacketRing->Capacity, 64u * 12);
    StopAndDrain();

    // A ring of 128 ms, drained as fast as it fills: a reader that keeps up sees every packet
    // the bus delivered, in order. At real time the four URBs cover 4 ms: a loaded machine may
    // hold the completions back longer, and the packets the bus then loses are the only gaps.
    ASSERT_EQ(Start({kIsoPipe, kPacket, 1024, 8, 4}).Status, STATUS_SUCCESS);
    std::uint32_t expected = 0;
    bool first = true;
    std::uint32_t packets = 0;
    std::uint64_t missing = 0;
    Bytes output;
    while (packets < 1000) {
        auto result = ReadPackets(64, output);
        ASSERT_EQ(result.Status, STATUS_SUCCESS);
        std::uint32_t got = static_cast<std::uint32_t>(result.Information / (kPacket + 12));
        ASSERT_EQ(result.Information, got * (kPacket + 12))
            << "whole packets with their descriptors";
        const std::uint8_t* descriptors = output.data() + got * kPacket;
        for (std::uint32_t p = 0; p < got; p++) {
            std::uint32_t sequence = ReadUlong(output.data() + p * kPacket);
            if (!first) {
                ASSERT_GE(sequence, expected) << "after " << packets + p << " packets";
                missing += sequence - expected;
            }
            first = false;
            expected = sequence + 1;
            EXPECT_EQ(ReadUlong(descriptors + 12 * p), (p % 8) * kPacket)
                << "offset within its URB";
            EXPECT_EQ(ReadUlong(descriptors + 12 * p + 4), kPacket);
            EXPECT_EQ(ReadUlong(descriptors + 12 * p + 8), 0u);
        }
        packets += got;
        if (got == 0) {
            std::this_thread::yield();
        }
    }
    StopAndDrain();
    EXPECT_LE(missing, world_->Counters(0, 0x83).LostIsoPackets)
        << "a number missing is a packet the bus lost";
}

TEST_F(StreamTest, OneStreamAtATimeAndNoInterfaceChangeUnderIt) {
    host::Clock::SetScale(1);
    ASSERT_EQ(Start({kIsoPipe, kPacket, 64, 8, 4}).Status, STATUS_SUCCESS);
    EXPECT_EQ(Start({kIsoPipe, kPacket, 64, 8, 4}).Status, STATUS_DEVICE_BUSY);
    EXPECT_EQ(Call(IOCTL_TOVRIK_SET_INTERFACE, {0, 1}, 0).Status, STATUS_DEVICE_BUSY);
    StopAndDrain();
    // Gone: a new stream and a new interface are fine again.
    EXPECT_EQ(Call(IOCTL_TOVRIK_SET_INTERFACE, {0, 0}, 0).Status, STATUS_SUCCESS);
    ASSERT_EQ(Start({kIsoPipe, kPacket, 64, 8, 4}).Status, STATUS_SUCCESS);
    StopAndDrain();
}

TEST_F(StreamTest, ReadsAndStartsWithBadShapesAreRefused) {
    const ISO_REQUEST badStarts[] = {
        {kIsoPipe, 0, 64, 8, 4},                                 // no packet size
        {kIsoPipe, kPacket, 0, 8, 4},                            // no ring
        {kIsoPipe, kPacket, 64, 0, 4},                           // no packets per URB
        {kIsoPipe, kPacket, 64, 8, 0},                           // no URBs
        {kIsoPipe, kPacket, 64, 2048, 4},                        // over the bus's packets per URB
        {kIsoPipe, 0x10000, 0x10000, 8, 4},                      // a ring of 4 GiB
        {kIsoPipe, 0x100000, 64, 1024, 8},                       // URB buffers past 32 bits
        {kIsoPipe, kPacket, 64, 8, 65},                          // more URBs than the driver keeps
        {kIsoPipe, 1, TOVRIK_STREAM_MAX_RING_PACKETS + 1, 8, 4}, // a ring of too many packets
        {kIsoPipe, 4096, 0x10000, 8, 4},                         // a ring of 256 MiB
        {kIsoPipe, 1025, 64, 1024, 64},                          // URB buffers of more than 64 MiB
    };
    for (const ISO_REQUEST& request : badStarts) {
        EXPECT_EQ(Start(request).Status, STATUS_INVALID_PARAMETER)
            << request.PacketSize << " " << request.PacketCount << " " << request.PacketsPerUrb
            << " " << request.UrbCount;
    }
    EXPECT_EQ(Start({2, kPacket, 64, 8, 4}).Status, STATUS_INVALID_PARAMETER) << "a bulk pipe";
    EXPECT_EQ(Start({9, kPacket, 64, 8, 4}).Status, STATUS_INVALID_PARAMETER) << "past the table";
    EXPECT_EQ(Extension()->StreamDataRing, nullptr);

    ASSERT_EQ(Start({kIsoPipe, kPacket, 64, 8, 4}).Status, STATUS_SUCCESS);
    Bytes output(16 * (kPacket + 12) - 1);
    EXPECT_EQ(
        Call(IOCTL_TOVRIK_READ_ISO_STREAM, RecordBytes(ISO_REQUEST{0, kPacket, 16, 0, 0}), output)
            .Status,
        STATUS_INVALID_PARAMETER)
        << "one byte short";
    output.assign(16 * 12, 0);
    EXPECT_EQ(
        Call(IOCTL_TOVRIK_READ_ISO_STREAM, RecordBytes(ISO_REQUEST{0, 0, 16, 0, 0}), output).Status,
        STATUS_INVALID_PARAMETER)
        << "packet size 0";
    // More packets than the ring holds: the ring refuses a read larger than itself.
    output.assign(65 * (kPacket + 12), 0);
    auto tooMany =
        Call(IOCTL_TOVRIK_READ_ISO_STREAM, RecordBytes(ISO_REQUEST{0, kPacket, 65, 0, 0}), output);
    EXPECT_EQ(tooMany.Status, STATUS_SUCCESS);
    EXPECT_EQ(tooMany.Information, 0u);
    StopAndDrain();
}

TEST_F(StreamTest, AReaderThatFallsBehindLosesWholeUrbsNotOrder) {
    host::Clock::SetScale(1);
    ASSERT_EQ(Start({kIsoPipe, kPacket, 16, 8, 4}).Status, STATUS_SUCCESS);
    // Ring of 16 packets; let far more than that arrive.
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    Bytes output;
    auto result = ReadPackets(16, output);
    ASSERT_EQ(result.Status, STATUS_SUCCESS);
    ASSERT_EQ(result.Information, 16u * (kPacket + 12));
    // The ring kept the first two URBs' packets and dropped the rest whole: 16 in a row.
    std::uint32_t first = ReadUlong(output.data());
    for (std::uint32_t p = 1; p < 16; p++) {
        EXPECT_EQ(ReadUlong(output.data() + p * kPacket), first + p);
    }
    StopAndDrain();
}

TEST_F(StreamTest, AStartThatCannotAllocateLeavesNothingBehind) {
    // The stream record, its slots, its URB buffer, two rings of two blocks each, then a URB and
    // an IRP per slot: each failed in turn, then none.
    const ISO_REQUEST request{kIsoPipe, kPacket, 64, 8, 2};
    constexpr int kAllocations = 3 + 4 + 2 * 2;
    for (int k = 1; k <= kAllocations + 1; k++) {
        SCOPED_TRACE("allocation " + std::to_string(k));
        host::FaultInjection::FailNth(
            k, static_cast<host::AllocationKind>(static_cast<unsigned>(host::AllocationKind::Pool) |
                                                 static_cast<unsigned>(host::AllocationKind::Irp)));
        auto result = Start(request);
        host::FaultInjection::Reset();
        if (k <= kAllocations) {
            EXPECT_EQ(result.Status, STATUS_NO_MEMORY);
            EXPECT_EQ(Extension()->Stream, nullptr);
        } else {
            EXPECT_EQ(result.Status, STATUS_SUCCESS);
            EXPECT_EQ(Call(IOCTL_TOVRIK_STOP_ISO_STREAM, {}, 0).Status, STATUS_SUCCESS);
        }
    }
}

TEST_F(StreamTest, ReadersGetOnlyBytesTheCameraSent) {
    host::Clock::SetScale(1);
    // Places of 2048 bytes for packets of at most 1024: the rest of each place was never written
    // by the camera for this stream, and must not carry the pool's old bytes to the reader.
    constexpr std::uint32_t kPlace = 2048;
    ASSERT_EQ(Start({kIsoPipe, kPlace, 64, 8, 8}).Status, STATUS_SUCCESS);
    Bytes output(4 * (kPlace + 12));
    std::uint32_t got = 0;
    for (int i = 0; i < 2000 && got == 0; i++) {
        std::fill(output.begin(), output.end(), 0xA5);
        auto result = Call(IOCTL_TOVRIK_READ_ISO_STREAM,
                           RecordBytes(ISO_REQUEST{0, kPlace, 4, 0, 0}), output);
        ASSERT_EQ(result.Status, STATUS_SUCCESS);
        got = static_cast<std::uint32_t>(result.Information / (kPlace + 12));
        if (got == 0) {
            std::this_thread::sleep_for(std::chrono::microseconds(500));
        }
    }
    ASSERT_GT(got, 0u);
    for (std::uint32_t p = 0; p < got; p++) {
        std::uint32_t length = ReadUlong(output.data() + got * kPlace + 12 * p + 4);
        EXPECT_EQ(length, kPacket) << "packet " << p;
        const std::uint8_t* place = output.data() + p * kPlace;
        EXPECT_TRUE(
            std::all_of(place + length, place + kPlace, [](std::uint8_t b) { return b == 0; }))
            << "packet " << p << " carries bytes past its length";
    }
    StopAndDrain();
}

TEST_F(StreamTest, AStopReturnsOnceTheStreamIsGoneSoAStartCanFollowAtOnce) {
    host::Clock::SetScale(1);
    for (int round = 0; round < 3; round++) {
        SCOPED_TRACE("round " + std::to_string(round));
        ASSERT_EQ(Start({kIsoPipe, kPacket, 64, 8, 4}).Status, STATUS_SUCCESS);
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        EXPECT_EQ(Call(IOCTL_TOVRIK_STOP_ISO_STREAM, {}, 0).Status, STATUS_SUCCESS);
        EXPECT_EQ(Extension()->Stream, nullptr);
        Bytes output;
        EXPECT_EQ(ReadPackets(1, output).Status, STATUS_UNSUCCESSFUL);
    }
    // The interface can change right after a stop too.
    EXPECT_EQ(Call(IOCTL_TOVRIK_SET_INTERFACE, {0, 0}, 0).Status, STATUS_SUCCESS);

    // Aborting the stream's pipe ends the stream the same way; another pipe's abort does not.
    ASSERT_EQ(Start({kIsoPipe, kPacket, 64, 8, 4}).Status, STATUS_SUCCESS);
    EXPECT_EQ(Call(IOCTL_TOVRIK_ABORT_PIPE, PipeIndex(1), 0).Status, STATUS_SUCCESS);
    EXPECT_NE(Extension()->Stream, nullptr);
    EXPECT_EQ(Call(IOCTL_TOVRIK_ABORT_PIPE, PipeIndex(kIsoPipe), 0).Status, STATUS_SUCCESS);
    EXPECT_EQ(Extension()->Stream, nullptr);
    EXPECT_EQ(Start({kIsoPipe, kPacket, 64, 8, 4}).Status, STATUS_SUCCESS);
    StopAndDrain();
}

TEST_F(StreamTest, AStartWhoseUrbsAreAllRefusedFailsAndLeavesNoStream) {
    // One packet per URB on a high-speed endpoint, which takes whole frames of 8: the bus
    // refuses every URB as it arrives, so the stream never runs.
    const auto refused = Start({kIsoPipe, kPacket, 64, 1, 4});
    EXPECT_LT(refused.Status, 0) << host::StatusName(refused.Status);
    EXPECT_EQ(Extension()->Stream, nullptr);
    Bytes output;
    EXPECT_EQ(ReadPackets(1, output).Status, STATUS_UNSUCCESSFUL);
    // Nothing of it is left to stand in the way of a good start.
    ASSERT_EQ(Start({kIsoPipe, kPacket, 64, 8, 4}).Status, STATUS_SUCCESS);
    StopAndDrain();
}

TEST_F(StreamTest, ClosingTheLastHandleEndsTheStream) {
    host::Clock::SetScale(1);
    host::Handle second = 0;
    ASSERT_EQ(host::FrontEnd::Open(u"\\\\.\\Tovrik318QX-0", &second), STATUS_SUCCESS);
    ASSERT_EQ(Start({kIsoPipe, kPacket, 64, 8, 4}).Status, STATUS_SUCCESS);
    // Another handle is still open: the stream goes on for it.
    host::FrontEnd::Close(handle_);
    EXPECT_NE(Extension()->Stream, nullptr);
    // The last one: nobody could read or stop the stream any more.
    host::FrontEnd::Close(second);
    EXPECT_EQ(Extension()->Stream, nullptr);
    EXPECT_TRUE(KeReadStateEvent(&Extension()->StreamEndedEvent) != 0);
    ASSERT_EQ(host::FrontEnd::Open(u"\\\\.\\Tovrik318QX-0", &handle_), STATUS_SUCCESS);
    Bytes output;
    EXPECT_EQ(ReadPackets(1, output).Status, STATUS_UNSUCCESSFUL);
}

TEST_F(StreamTest, TheEndedEventNeverSaysNoStreamWhileOneExists) {
    host::Clock::SetScale(1);
    // A starter that tries again at once while the stream is busy ending, a stopper, and a
    // watcher that compares, under the stream lock, what the event says with what exists:
    // removal trusts the event, and a stream it missed would outlive the device.
    std::atomic<bool> done{false};
    std::atomic<int> started{0};
    std::atomic<int> lies{0};
    PDEVICE_EXTENSION extension = Extension();
    std::thread watcher([&] {
        while (!done) {
            KIRQL old = KeAcquireSpinLockRaiseToDpc(&extension->StreamLock);
            bool exists = extension->Stream != nullptr;
            bool saysNone = KeReadStateEvent(&extension->StreamEndedEvent) != 0;
            KeReleaseSpinLock(&extension->StreamLock, old);
            lies += exists && saysNone;
            std::this_thread::yield();
        }
    });
    std::thread starter([&] {
        while (!done) {
            if (Start({kIsoPipe, kPacket, 16, 8, 2}).Status == STATUS_SUCCESS) {
                started++;
            } else {
                std::this_thread::yield();
            }
        }
    });
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (started < 100 && std::chrono::steady_clock::now() < deadline) {
        Call(IOCTL_TOVRIK_STOP_ISO_STREAM, {}, 0);
    }
    done = true;
    starter.join();
    watcher.join();
    EXPECT_GE(started.load(), 100);
    EXPECT_EQ(lies.load(), 0);
    StopAndDrain();
}

TEST_F(StreamTest, RemovingTheCameraWhileItStreamsEndsTheStreamFirst) {
    host::Clock::SetScale(1);
    ASSERT_EQ(Start({kIsoPipe, kPacket, 64, 8, 4}).Status, STATUS_SUCCESS);
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    host::FrontEnd::Close(handle_);
    handle_ = 0;
    // Surprise removal, then removal, with the stream's URBs running: the verifier and the pool
    // report at the end of the test say whether a completion outlived the device.
    world_->Unplug(0);
    host::Pnp::WaitIdle();
}

} // namespace
} // namespace tovrik_test
