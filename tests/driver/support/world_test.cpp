#include "world_test.h"

namespace tovrik_test {

sim::WorldOptions WorldTest::OwnCameras(std::size_t count) {
    sim::WorldOptions options;
    options.Cameras.assign(count, sim::CameraOptions{});
    for (auto& camera : options.Cameras) {
        camera.OwnIdentity = true;
    }
    // A hundred times real time: the 3 s start delay takes 30 ms, and the driver's own limits
    // (5 s for a control transfer, 3 s for a bulk one) keep 50 and 30 ms of real time, room
    // for a loaded machine's late wake-ups.
    options.ClockScale = 100;
    options.FunctionDriver = DriverEntry;
    return options;
}

void WorldTest::StartWorld(sim::WorldOptions options) {
    BulkTimeoutMs = 3000;
    DeviceSlotsTried = 0;
    world_ = std::make_unique<sim::World>(std::move(options));
    for (std::size_t camera = 0; camera < world_->CameraCount(); camera++) {
        ASSERT_TRUE(world_->WaitForRenumeration(camera));
    }
    host::Pnp::WaitIdle();
    std::u16string path = u"\\\\.\\Tovrik318QX-0";
    ASSERT_EQ(host::FrontEnd::Open(path, &handle_), STATUS_SUCCESS);
}

void WorldTest::TearDown() {
    if (handle_ != 0) {
        host::FrontEnd::Close(handle_);
    }
    world_.reset();
}

host::FrontEnd::IoctlResult WorldTest::Call(ULONG code, const Bytes& input, ULONG outputLength) {
    return host::FrontEnd::DeviceIoControl(handle_, code, input, outputLength);
}

host::FrontEnd::IoctlResult WorldTest::Call(ULONG code, const Bytes& input,
                                            std::span<std::uint8_t> output) {
    return host::FrontEnd::DeviceIoControl(handle_, code, input, output);
}

host::FrontEnd::IoctlResult WorldTest::StartStream(const ISO_REQUEST& request) {
    return Call(IOCTL_TOVRIK_START_ISO_STREAM, RecordBytes(request), 0);
}

host::FrontEnd::IoctlResult WorldTest::ReadStream(std::uint32_t packetSize, std::uint32_t count,
                                                  Bytes& output) {
    output.assign(static_cast<std::size_t>(count) * (packetSize + 12), 0xA5);
    return Call(IOCTL_TOVRIK_READ_ISO_STREAM, RecordBytes(ISO_REQUEST{0, packetSize, count, 0, 0}),
                output);
}

PDEVICE_EXTENSION WorldTest::Extension(std::size_t camera) {
    return DeviceExtensionOf(host::Pnp::TopOf(world_->Pdo(camera)));
}

} // namespace tovrik_test
