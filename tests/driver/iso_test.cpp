// One-shot isochronous transfers and the isochronous stream against the simulated camera.
#include "support/world_test.h"

namespace tovrik_test {
namespace {

constexpr std::uint32_t kIsoPipe = 3;

class IsoTest : public WorldTest {};

std::uint32_t ReadUlong(const std::uint8_t* bytes) {
    return bytes[0] | (bytes[1] << 8) | (bytes[2] << 16) | (static_cast<std::uint32_t>(bytes[3]) << 24);
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
    // The URBs of four slots interleave over the buffer in the order the bus served them, each
    // resubmitted at once from its completion: the camera's sequence numbers run on from packet
    // to packet without a gap.
    std::uint32_t first = ReadUlong(output.data());
    for (std::uint32_t p = 0; p < 64; p++) {
        const std::uint8_t* descriptor = output.data() + 64 * 1024 + 12 * p;
        EXPECT_EQ(ReadUlong(descriptor), (p % 8) * 1024) << "packet " << p;
        EXPECT_EQ(ReadUlong(descriptor + 4), 1024u) << "packet " << p;
        EXPECT_EQ(ReadUlong(descriptor + 8), 0u) << "packet " << p;
        EXPECT_EQ(ReadUlong(output.data() + 1024 * p), first + p) << "packet " << p;
    }
}

} // namespace
} // namespace tovrik_test
