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
    ISO_REQUEST request{kIsoPipe, 1024, 64, 8, 4};
    Bytes output(64 * (1024 + 12), 0xA5);
    auto result = Call(IOCTL_TOVRIK_ISO_READ, RecordBytes(request), output);
    ASSERT_EQ(result.Status, STATUS_SUCCESS);
    EXPECT_EQ(result.Information, 0u);
    // The URBs of four slots interleave over the buffer in the order the bus served them: the
    // camera's sequence numbers run on within each URB and grow from one URB to the next (a fast
    // clock may let microframes pass between two submissions).
    for (std::uint32_t p = 0; p < 64; p++) {
        const std::uint8_t* descriptor = output.data() + 64 * 1024 + 12 * p;
        EXPECT_EQ(ReadUlong(descriptor), (p % 8) * 1024) << "packet " << p;
        EXPECT_EQ(ReadUlong(descriptor + 4), 1024u) << "packet " << p;
        EXPECT_EQ(ReadUlong(descriptor + 8), 0u) << "packet " << p;
        if (p % 8 != 0) {
            EXPECT_EQ(ReadUlong(output.data() + 1024 * p), ReadUlong(output.data() + 1024 * (p - 1)) + 1) << p;
        } else if (p > 0) {
            EXPECT_GT(ReadUlong(output.data() + 1024 * p), ReadUlong(output.data() + 1024 * (p - 1))) << p;
        }
    }
}

} // namespace
} // namespace tovrik_test
