// A camera whose configuration descriptor set is as large as its 16-bit wTotalLength allows: the
// start reads it whole in control transfers of at most 0xFFFF bytes and comes up, and an
// interface selection over the same set works.
#include "support/world_test.h"

#include <vector>

namespace tovrik_test {
namespace {

class LargeConfigurationTest : public WorldTest {};

// The camera program's own configuration set grown to `total` bytes by class-specific
// descriptors at its end (each at most 255 bytes and at least 2), wTotalLength saying so.
std::vector<std::uint8_t> GrownConfiguration(std::size_t total) {
    std::span<const std::uint8_t> own = sim::DefaultOwnDescriptors().Configuration;
    std::vector<std::uint8_t> set(own.begin(), own.end());
    while (set.size() < total) {
        std::size_t left = total - set.size();
        std::size_t length = left > 255 ? 255 : left;
        // Never leave a single byte for the last descriptor.
        if (left > 255 && left - length < 2) {
            length = 200;
        }
        set.push_back(static_cast<std::uint8_t>(length));
        set.push_back(0x24);
        set.resize(set.size() + length - 2, 0);
    }
    set[2] = static_cast<std::uint8_t>(total);
    set[3] = static_cast<std::uint8_t>(total >> 8);
    return set;
}

TEST_F(LargeConfigurationTest, ASetOfUpTo65535BytesIsReadWholeAndTheCameraStarts) {
    for (std::size_t total : {std::size_t{0xFFF0}, std::size_t{0xFFFF}}) {
        SCOPED_TRACE(total);
        // The bytes outlive the world, as the camera model asks.
        static std::vector<std::uint8_t> configuration;
        configuration = GrownConfiguration(total);
        ASSERT_EQ(configuration.size(), total);
        sim::DescriptorSet own = sim::DefaultOwnDescriptors();
        own.Configuration = configuration;

        sim::WorldOptions options = OwnCameras();
        options.Cameras[0].Own = own;
        StartWorld(std::move(options));
        ASSERT_NE(handle_, 0u) << "a valid configuration set failed the start";
        EXPECT_TRUE(Extension()->Started);
        ASSERT_NE(Extension()->InterfaceInfo, nullptr);
        EXPECT_EQ(Extension()->InterfaceInfo->NumberOfPipes, 4u);

        // The selection reads the same set again, in one piece.
        EXPECT_EQ(Call(IOCTL_TOVRIK_SET_INTERFACE, Bytes{0, 2}, 0).Status, STATUS_SUCCESS);
        EXPECT_EQ(Extension()->InterfaceInfo->NumberOfPipes, 4u);
        TearDown();
        handle_ = 0;
    }
}

} // namespace
} // namespace tovrik_test
