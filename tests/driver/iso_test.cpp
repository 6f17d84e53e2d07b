// One-shot isochronous transfers and the isochronous stream against the simulated camera.
#include "support/world_test.h"

#include <set>

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

} // namespace
} // namespace tovrik_test
