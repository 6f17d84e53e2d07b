// The frame of driver tests over the simulated world: the real bus, host controller and camera
// below the driver, user requests through the front end.
#pragma once

#include "host/host_kernel.h"
#include "request_bytes.h"
#include "world/world.h"

#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "frame/frame.h"
#include "tovrik/tovrik.h"
#include "usb/usb.h"

namespace tovrik_test {

class WorldTest : public ::testing::Test {
  protected:
    // Builds the world (cameras running their own program unless told otherwise), waits until
    // every camera is started, and opens camera 0.
    void StartWorld(sim::WorldOptions options);
    void TearDown() override;

    host::FrontEnd::IoctlResult Call(ULONG code, const Bytes& input, ULONG outputLength);
    host::FrontEnd::IoctlResult Call(ULONG code, const Bytes& input,
                                     std::span<std::uint8_t> output);
    PDEVICE_EXTENSION Extension(std::size_t camera = 0);

    static sim::WorldOptions OwnCameras(std::size_t count = 1);

    std::unique_ptr<sim::World> world_;
    host::Handle handle_ = 0;
};

} // namespace tovrik_test
