// The frame of driver tests over the simulated world: the real bus, host controller and camera
// below the driver, user requests through the front end.
#pragma once

#include "host/host_kernel.h"
#include "world/world.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <vector>

#include "frame/frame.h"
#include "tovrik/tovrik.h"
#include "usb/usb.h"

namespace tovrik_test {

using Bytes = std::vector<std::uint8_t>;

template <typename T> Bytes RecordBytes(const T& record) {
    Bytes bytes(sizeof(T));
    std::memcpy(bytes.data(), &record, sizeof(T));
    return bytes;
}

inline Bytes PipeIndex(std::uint32_t index) {
    return RecordBytes(PIPE_INDEX_REQUEST{index});
}

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
