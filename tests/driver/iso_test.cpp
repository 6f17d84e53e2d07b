// One-shot isochronous transfers and the isochronous stream against the simulated camera.
#include "support/world_test.h"

#include <set>
#include <thread>

namespace tovrik_test {
namespace {

constexpr std::uint32_t kIsoPipe = 3;

class IsoTest : public WorldTest {};

std::uint32_t ReadUlong(const std::uint8_t* bytes) {
    return bytes[0] | (bytes[1] << 8) | (bytes[2] << 16) |
           (static_cast<std::uint32_t>(bytes[3]) << 24);
}

TEST_F(IsoTest, OneShotReadFillsDataThenDescriptors) {
    StartWorld(OwnCameras());
    // Real time from here: four submissions then take far less than the eight microframes of
    // one URB, as on a real machine, so the bus serves the slots in the order they went down.
    host::Clock::SetScale(1);
    ISO_REQUEST request{kIsoPipe, 1024, 64, 8, 4};
    Bytes output(64 * (1024 + 12), 0xA5);
    auto result = Call(IOCTL_TOVRIK_ISO_READ, RecordBytes(request), output);
    ASSERT_EQ(result.Status, STATUS_SUCCESS);
    EXPECT_EQ(result.Information, 0u);
    // Each URB's eight packets are consecutive on the camera's sequence and every packet is a
    // different one: the data went straight into its place in the caller's buffer. (Which slot
    // the bus serves first depends on how fast the submissions come, so the groups' order is
    // not checked.)
    std::set<std::uint32_t> sequences;
    for (std::uint32_t p = 0; p < 64; p++) {
        const std::uint8_t* descriptor = output.data() + 64 * 1024 + 12 * p;
        EXPECT_EQ(ReadUlong(descriptor), (p % 8) * 1024) << "packet " << p;
        EXPECT_EQ(ReadUlong(descriptor + 4), 1024u) << "packet " << p;
        EXPECT_EQ(ReadUlong(descriptor + 8), 0u) << "packet " << p;
        std::uint32_t sequence = ReadUlong(output.data() + 1024 * p);
        sequences.insert(sequence);
        if (p % 8 != 0) {
            EXPECT_EQ(sequence, ReadUlong(output.data() + 1024 * (p - 1)) + 1) << "packet " << p;
        }
    }
    EXPECT_EQ(sequences.size(), 64u);
}

TEST_F(IsoTest, URBsTheBusRefusesEndTheTransferWithAFailure) {
    StartWorld(OwnCameras());
    // One packet per URB on a high-speed endpoint, which takes whole frames of 8: the bus
    // refuses each URB as it arrives. A hundred thousand of them used to be resubmitted one
    // inside the other's completion until the stack ran out.
    Bytes output(1300000, 0xA5);
    auto result =
        Call(IOCTL_TOVRIK_ISO_READ, RecordBytes(ISO_REQUEST{kIsoPipe, 1, 100000, 1, 1}), output);
    EXPECT_LT(result.Status, 0) << host::StatusName(result.Status);
    EXPECT_EQ(world_->Counters(0, 0x83).Transfers, 0u) << "the bus served none of them";

    // Three packets per URB: every URB refused, 12 of 12 packets failed. Not a success.
    Bytes small(12 * (1024 + 12), 0xA5);
    result = Call(IOCTL_TOVRIK_ISO_READ, RecordBytes(ISO_REQUEST{kIsoPipe, 1024, 12, 3, 1}), small);
    EXPECT_LT(result.Status, 0) << host::StatusName(result.Status);
    for (std::uint32_t p = 0; p < 12; p++) {
        EXPECT_LT(static_cast<std::int32_t>(ReadUlong(small.data() + 12 * 1024 + 12 * p + 8)), 0)
            << "packet " << p;
    }
}

TEST_F(IsoTest, ACameraPulledOutDuringAReadEndsIt) {
    StartWorld(OwnCameras());
    host::Clock::SetScale(1);
    // A second of packets, eight per URB; the camera leaves after a few milliseconds.
    constexpr std::uint32_t kPackets = 8000;
    Bytes output(kPackets * (1024 + 12), 0xA5);
    host::FrontEnd::IoctlResult result;
    std::thread reader([&] {
        result = Call(IOCTL_TOVRIK_ISO_READ,
                      RecordBytes(ISO_REQUEST{kIsoPipe, 1024, kPackets, 8, 4}), output);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    world_->Unplug(0);
    reader.join();
    // Whatever came before the camera left is there; the last packet never came.
    std::int32_t lastStatus = static_cast<std::int32_t>(
        ReadUlong(output.data() + kPackets * 1024 + 12 * (kPackets - 1) + 8));
    EXPECT_LT(lastStatus, 0);
    EXPECT_NE(result.Status, STATUS_PENDING);
}

} // namespace
} // namespace tovrik_test
