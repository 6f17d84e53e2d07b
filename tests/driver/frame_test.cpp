// Device creation, naming, the I/O gate, open/close and power, through the host PnP manager and
// the user-mode front end.
#include "support/camera_script.h"
#include "support/driver_test.h"

#include "tovrik/tovrik.h"

#include <atomic>
#include <thread>

namespace tovrik_test {
namespace {

class FrameTest : public ScriptedCameraTest {
  protected:
    std::u16string LinkOf(PDEVICE_OBJECT pdo) {
        return std::u16string(Extension(pdo)->SymbolicLinkName);
    }
};

TEST_F(FrameTest, NumbersCamerasFromZeroAndWritesTheNumberAsOneCharacter) {
    PDEVICE_OBJECT first = Plug();
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(LinkOf(first), u"\\DosDevices\\Tovrik318QX-0");
    EXPECT_EQ(DeviceSlotsTried, 1);

    std::vector<PDEVICE_OBJECT> cameras = {first};
    for (int n = 1; n <= 10; n++) {
        cameras.push_back(Plug());
        ASSERT_NE(cameras.back(), nullptr);
    }
    EXPECT_EQ(LinkOf(cameras[1]), u"\\DosDevices\\Tovrik318QX-1");
    // The eleventh camera is number 10: both names end in ':'.
    EXPECT_EQ(LinkOf(cameras[10]), u"\\DosDevices\\Tovrik318QX-:");
    EXPECT_EQ(DeviceSlotsTried, 11);

    host::Handle handle = 0;
    ASSERT_EQ(host::FrontEnd::Open(u"\\Device\\Tovrik318QX-:", &handle), STATUS_SUCCESS);
    EXPECT_EQ(host::FrontEnd::Close(handle), STATUS_SUCCESS);
    ASSERT_EQ(host::FrontEnd::Open(u"\\\\.\\Tovrik318QX-:", &handle), STATUS_SUCCESS);
    EXPECT_EQ(host::FrontEnd::Close(handle), STATUS_SUCCESS);
}

TEST_F(FrameTest, TheThirtyThirdCameraFindsNoNumberAndLeavesNothing) {
    std::vector<PDEVICE_OBJECT> cameras;
    for (int n = 0; n < TOVRIK_MAX_DEVICES; n++) {
        cameras.push_back(Plug());
        ASSERT_NE(cameras.back(), nullptr) << "camera " << n;
    }
    EXPECT_EQ(LinkOf(cameras[31]), u"\\DosDevices\\Tovrik318QX-O");

    host::Pnp::Arrival arrival;
    EXPECT_EQ(Plug(&arrival), nullptr);
    EXPECT_EQ(arrival.AddDevice, STATUS_OBJECT_NAME_COLLISION);
    EXPECT_EQ(DeviceSlotsTried, 32);
}

TEST_F(FrameTest, AFreedNumberGoesToTheNextCamera) {
    PDEVICE_OBJECT zero = Plug();
    PDEVICE_OBJECT one = Plug();
    ASSERT_NE(one, nullptr);
    Unplug(zero);

    PDEVICE_OBJECT next = Plug();
    ASSERT_NE(next, nullptr);
    EXPECT_EQ(LinkOf(next), u"\\DosDevices\\Tovrik318QX-0");
    EXPECT_EQ(DeviceSlotsTried, 1);
}

TEST_F(FrameTest, ANumberWhoseLinkIsTakenIsSkipped) {
    std::u16string link = u"\\DosDevices\\Tovrik318QX-0";
    std::u16string target = u"\\Device\\SomethingElse";
    UNICODE_STRING linkName = host::MakeUnicode(link);
    UNICODE_STRING targetName = host::MakeUnicode(target);
    ASSERT_EQ(IoCreateSymbolicLink(&linkName, &targetName), STATUS_SUCCESS);

    PDEVICE_OBJECT camera = Plug();
    ASSERT_NE(camera, nullptr);
    EXPECT_EQ(LinkOf(camera), u"\\DosDevices\\Tovrik318QX-1");
    EXPECT_EQ(DeviceSlotsTried, 2);
    // The device object made for number 0 is gone again: its name is free.
    host::Handle handle = 0;
    EXPECT_EQ(host::FrontEnd::Open(u"\\Device\\Tovrik318QX-0", &handle),
              STATUS_OBJECT_NAME_NOT_FOUND);

    EXPECT_EQ(IoDeleteSymbolicLink(&linkName), STATUS_SUCCESS);
}

TEST_F(FrameTest, ANewDeviceStartsWithItsRecordAsCreated) {
    bus_.StartResult = STATUS_UNSUCCESSFUL; // stays unstarted, so nothing touches the record
    PDEVICE_OBJECT pdo = Plug();
    ASSERT_NE(pdo, nullptr);
    PDEVICE_OBJECT fdo = Fdo(pdo);
    PDEVICE_EXTENSION extension = Extension(pdo);

    EXPECT_EQ(extension->PhysicalDeviceObject, pdo);
    EXPECT_NE(extension->LowerDeviceObject, nullptr);
    EXPECT_FALSE(extension->Started);
    EXPECT_TRUE(extension->LinkCreated);
    EXPECT_FALSE(extension->RemovePending);
    EXPECT_FALSE(extension->StreamStopRequested);
    EXPECT_EQ(extension->InterfaceInfo, nullptr);
    EXPECT_EQ(extension->DeviceDescriptor, nullptr);
    EXPECT_EQ(extension->ConfigurationHandle, nullptr);
    EXPECT_EQ(extension->ChunkContexts, nullptr);
    EXPECT_EQ(extension->StreamDataRing, nullptr);
    EXPECT_EQ(extension->IoCount, 1);
    EXPECT_EQ(extension->OpenCount, 0u);
    EXPECT_EQ(extension->LastUsbdStatus, 0);
    EXPECT_EQ(fdo->Flags & (DO_DEVICE_INITIALIZING | DO_DIRECT_IO | DO_POWER_PAGABLE),
              static_cast<ULONG>(DO_DIRECT_IO | DO_POWER_PAGABLE));
    EXPECT_EQ(fdo->DeviceType, static_cast<DEVICE_TYPE>(FILE_DEVICE_UNKNOWN));
}

TEST_F(FrameTest, OpensAreRefusedUntilAStartSucceeds) {
    bus_.StartResult = STATUS_INSUFFICIENT_RESOURCES;
    host::Pnp::Arrival arrival;
    PDEVICE_OBJECT pdo = Plug(&arrival);
    ASSERT_NE(pdo, nullptr);
    ASSERT_TRUE(arrival.Start.has_value());
    EXPECT_EQ(arrival.Start->Status, STATUS_INSUFFICIENT_RESOURCES);
    // The forwarded start failed, so configuration never began.
    EXPECT_TRUE(bus_.Seen().empty());

    host::Handle handle = 0;
    EXPECT_EQ(host::FrontEnd::Open(UserPath(0), &handle), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(handle, 0u);
    EXPECT_EQ(Extension(pdo)->OpenCount, 0u);

    bus_.StartResult = STATUS_SUCCESS;
    EXPECT_EQ(host::Pnp::Start(pdo).Status, STATUS_SUCCESS);
    ASSERT_EQ(host::FrontEnd::Open(UserPath(0), &handle), STATUS_SUCCESS);
    host::Handle second = 0;
    ASSERT_EQ(host::FrontEnd::Open(UserPath(0), &second), STATUS_SUCCESS);
    EXPECT_EQ(Extension(pdo)->OpenCount, 2u);
    host::FrontEnd::Close(handle);
    host::FrontEnd::Close(second);
    EXPECT_EQ(Extension(pdo)->OpenCount, 0u);
}

TEST_F(FrameTest, AFailedAttachLeavesNoDeviceAndNoLink) {
    host::FaultInjection::FailAttach(1);
    host::Pnp::Arrival arrival;
    EXPECT_EQ(Plug(&arrival), nullptr);
    EXPECT_EQ(arrival.AddDevice, STATUS_NO_SUCH_DEVICE);

    host::Handle handle = 0;
    EXPECT_EQ(host::FrontEnd::Open(UserPath(0), &handle), STATUS_OBJECT_NAME_NOT_FOUND);
    // Number 0 is free again for the next camera.
    PDEVICE_OBJECT camera = Plug();
    ASSERT_NE(camera, nullptr);
    EXPECT_EQ(LinkOf(camera), u"\\DosDevices\\Tovrik318QX-0");
}

TEST_F(FrameTest, PowerRequestsGoDownPresetToSuccessAlsoDuringUse) {
    PDEVICE_OBJECT pdo = Plug();
    POWER_STATE state;
    state.DeviceState = PowerDeviceD0;
    host::RequestResult result = host::Pnp::Power(pdo, IRP_MN_SET_POWER, DevicePowerState, state);
    EXPECT_EQ(result.Status, STATUS_SUCCESS);
    EXPECT_EQ(result.Information, 0u);
    state.SystemState = PowerSystemWorking;
    EXPECT_EQ(host::Pnp::Power(pdo, IRP_MN_QUERY_POWER, SystemPowerState, state).Status,
              STATUS_SUCCESS);
}

TEST_F(FrameTest, TheGateCountsAdmittedRequestsAndRefusesOnceRemovalBegins) {
    PDEVICE_OBJECT pdo = Plug();
    PDEVICE_OBJECT fdo = Fdo(pdo);
    PDEVICE_EXTENSION extension = Extension(pdo);

    ASSERT_TRUE(IoGateEnter(fdo));
    ASSERT_TRUE(IoGateEnter(fdo));
    EXPECT_EQ(extension->IoCount, 3);
    IoGateLeave(fdo);
    IoGateLeave(fdo);
    // The device's own count keeps the drain event down however many requests came and went.
    EXPECT_EQ(extension->IoCount, 1);
    EXPECT_EQ(KeReadStateEvent(&extension->NoIoEvent), 0);

    extension->RemovePending = TRUE;
    EXPECT_FALSE(IoGateEnter(fdo));
    EXPECT_EQ(extension->IoCount, 1) << "a refused request leaves the count as it found it";
    EXPECT_EQ(KeReadStateEvent(&extension->NoIoEvent), 0);

    // Once the device's own count is gone, a refused request's undo is the one that drains.
    IoGateLeave(fdo);
    EXPECT_EQ(KeReadStateEvent(&extension->NoIoEvent), 1);
    KeClearEvent(&extension->NoIoEvent);
    EXPECT_FALSE(IoGateEnter(fdo));
    EXPECT_EQ(extension->IoCount, 0);
    EXPECT_EQ(KeReadStateEvent(&extension->NoIoEvent), 1);

    // Back to an open gate so that the removal at the end of the test runs its real drain.
    KeClearEvent(&extension->NoIoEvent);
    extension->IoCount = 1;
    extension->RemovePending = FALSE;
}

TEST_F(FrameTest, RequestsRacingARemovalAreAdmittedOrRefusedAndAllComplete) {
    PDEVICE_OBJECT pdo = Plug();
    host::Handle handle = 0;
    ASSERT_EQ(host::FrontEnd::Open(UserPath(0), &handle), STATUS_SUCCESS);

    std::atomic<int> admitted{0};
    std::atomic<int> unexpected{0};
    std::vector<std::thread> callers;
    for (int t = 0; t < 4; t++) {
        callers.emplace_back([&] {
            for (;;) {
                auto result =
                    host::FrontEnd::DeviceIoControl(handle, IOCTL_TOVRIK_GET_PIPE_INFO, {}, 256);
                if (result.Status == STATUS_SUCCESS) {
                    admitted++;
                    continue;
                }
                // Refused by the gate while the removal drains, or by the platform once it is done.
                if ((result.Status != STATUS_DELETE_PENDING &&
                     result.Status != STATUS_DEVICE_REMOVED) ||
                    result.Information != 0) {
                    unexpected++;
                }
                return;
            }
        });
    }
    while (admitted.load() < 100) {
        std::this_thread::yield();
    }
    EXPECT_EQ(Unplug(pdo).Status, STATUS_SUCCESS);
    for (auto& caller : callers) {
        caller.join();
    }
    EXPECT_EQ(unexpected.load(), 0);
    host::FrontEnd::Close(handle);
}

} // namespace
} // namespace tovrik_test
