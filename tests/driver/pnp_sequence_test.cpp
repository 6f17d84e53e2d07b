// Plug and Play sequences against the simulated camera, with a handle open and transfers
// running: stop and start again, surprise removal then removal.
#include "support/world_test.h"

#include <thread>

namespace tovrik_test {
namespace {

constexpr std::uint32_t kIsoPipe = 3;
constexpr std::uint32_t kPacket = 1024;

class PnpSequenceTest : public WorldTest {
  protected:
    host::FrontEnd::IoctlResult StartStream() {
        return WorldTest::StartStream({kIsoPipe, kPacket, 64, 8, 4});
    }
};

TEST_F(PnpSequenceTest, StopAndStartAgainWithAStreamAndAnotherSetting) {
    StartWorld(OwnCameras());
    PDEVICE_OBJECT pdo = world_->Pdo(0);
    ASSERT_EQ(Call(IOCTL_TOVRIK_SET_INTERFACE, Bytes{0, 2}, 0).Status, STATUS_SUCCESS);
    ASSERT_EQ(StartStream().Status, STATUS_SUCCESS);

    host::RequestResult stop = host::Pnp::Stop(pdo);
    EXPECT_EQ(stop.Status, STATUS_SUCCESS);
    host::RequestResult start = host::Pnp::Start(pdo);
    EXPECT_EQ(start.Status, STATUS_SUCCESS);

    // The start's table: four pipes, the image pipe offered 0x3FFFFF.
    ASSERT_NE(Extension()->InterfaceInfo, nullptr);
    EXPECT_EQ(Extension()->InterfaceInfo->NumberOfPipes, 4u);
    EXPECT_EQ(Extension()->InterfaceInfo->Pipes[2].MaximumTransferSize, 0x3FFFFFu);

    // The stop closed the old stream's pipe below it, so that stream ends (its last completions
    // may still be on their way); a new one then runs on the new pipes.
    NTSTATUS started = StartStream().Status;
    for (int i = 0; i < 2000 && started == STATUS_DEVICE_BUSY; i++) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        started = StartStream().Status;
    }
    ASSERT_EQ(started, STATUS_SUCCESS);
    Bytes output;
    ULONG_PTR got = 0;
    for (int i = 0; i < 2000 && got == 0; i++) {
        auto read = ReadStream(kPacket, 8, output);
        ASSERT_EQ(read.Status, STATUS_SUCCESS);
        got = read.Information;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    EXPECT_GT(got, 0u);
    EXPECT_EQ(Call(IOCTL_TOVRIK_STOP_ISO_STREAM, {}, 0).Status, STATUS_SUCCESS);

    Bytes image(64 * 1024);
    EXPECT_EQ(Call(IOCTL_TOVRIK_BULK_READ, PipeIndex(2), image).Status, STATUS_SUCCESS);
}

TEST_F(PnpSequenceTest, AHandleOnTheLoaderDeviceOutlivesItsRenumeration) {
    sim::WorldOptions options = OwnCameras();
    options.Cameras[0].OwnIdentity = false;
    options.RenumerationDelayMs = 200000;
    BulkTimeoutMs = 3000;
    DeviceSlotsTried = 0;
    world_ = std::make_unique<sim::World>(std::move(options));
    host::Handle old = 0;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (host::FrontEnd::Open(u"\\\\.\\Tovrik318QX-0", &old) != STATUS_SUCCESS &&
           std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    ASSERT_NE(old, 0u);
    ASSERT_TRUE(world_->WaitForRenumeration(0, 1'000'000));
    host::Pnp::WaitIdle();

    ASSERT_EQ(host::FrontEnd::Open(u"\\\\.\\Tovrik318QX-1", &handle_), STATUS_SUCCESS);
    Bytes image(64 * 1024);
    EXPECT_EQ(Call(IOCTL_TOVRIK_BULK_READ, PipeIndex(2), image).Status, STATUS_SUCCESS);

    Bytes small(64);
    auto onOld = host::FrontEnd::DeviceIoControl(old, IOCTL_TOVRIK_BULK_READ, PipeIndex(1), small);
    EXPECT_FALSE(NT_SUCCESS(onOld.Status)) << host::StatusName(onOld.Status);
    auto descriptor =
        host::FrontEnd::DeviceIoControl(old, IOCTL_TOVRIK_GET_DEVICE_DESCRIPTOR, {}, 18);
    EXPECT_FALSE(NT_SUCCESS(descriptor.Status)) << host::StatusName(descriptor.Status);
    host::FrontEnd::Close(old);
    host::Pnp::WaitIdle();
    host::Handle again = 0;
    EXPECT_EQ(host::FrontEnd::Open(u"\\\\.\\Tovrik318QX-0", &again), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(Call(IOCTL_TOVRIK_BULK_READ, PipeIndex(2), image).Status, STATUS_SUCCESS);
}

} // namespace
} // namespace tovrik_test
