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

    // The stream's start, and a read of `count` packets of `packetSize` bytes into `output`
    // (sized for them and filled with 0xA5 first, so that bytes the read left show).
    host::FrontEnd::IoctlResult StartStream(const ISO_REQUEST& request);
    host::FrontEnd::IoctlResult ReadStream(std::uint32_t packetSize, std::uint32_t count,
                                           Bytes& output);

    static sim::WorldOptions OwnCameras(std::size_t count = 1);

    std::unique_ptr<sim::World> world_;
    host::Handle handle_ = 0;
};

} // namespace tovrik_test
