// Descriptor requests against the simulated camera: what a caller gets back depends on the
// descriptor, not on how much room it offered beyond it.
#include "support/world_test.h"

#include <algorithm>

namespace tovrik_test {
namespace {

class DescriptorTest : public WorldTest {};

// A descriptor is at most 65,535 bytes (its length fields are 16 bits), and so is one control
// transfer: a caller that offers more room than that gets the same descriptor as one that
// offers just enough.
TEST_F(DescriptorTest, ARoomierBufferGetsTheSameDescriptor) {
    StartWorld(OwnCameras());
    struct Case {
        const char* Label;
        ULONG Code;
        Bytes Input;
    };
    const Case cases[] = {
        {"configuration", IOCTL_TOVRIK_GET_CONFIGURATION_DESCRIPTOR, {}},
        {"string 0 (languages)", IOCTL_TOVRIK_GET_STRING_DESCRIPTOR, {0, 0, 0, 0}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Label);
        auto fitting = Call(c.Code, c.Input, 0xFFFF);
        ASSERT_EQ(fitting.Status, STATUS_SUCCESS);
        ASSERT_GT(fitting.Information, 0u);
        for (ULONG room : {0x10000u, 0x20000u}) {
            SCOPED_TRACE(room);
            auto roomy = Call(c.Code, c.Input, room);
            EXPECT_EQ(roomy.Status, STATUS_SUCCESS);
            EXPECT_EQ(roomy.Information, fitting.Information);
            EXPECT_TRUE(roomy.Information == fitting.Information &&
                        std::equal(fitting.Output.begin(),
                                   fitting.Output.begin() + fitting.Information,
                                   roomy.Output.begin()));
        }
    }
}

} // namespace
} // namespace tovrik_test
