// The frame of every driver test: a fresh host kernel state, the driver loaded, a fast clock,
// the driver-wide values at their load-time values, and at the end the verifier's verdict on
// what the test left behind.
#pragma once

#include "camera_script.h"
#include "host/host_kernel.h"
#include "scripted_bus.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "frame/frame.h"
#include "usb/usb.h"

namespace tovrik_test {

// Kernel time runs this much faster than real time in driver tests: the 3 s start delay takes
// well under a millisecond.
inline constexpr double kFastClock = 100000.0;

class DriverTest : public ::testing::Test {
  protected:
    void SetUp() override;
    void TearDown() override;

    // Plugs a PDO of the scripted bus in: AddDevice, then start. Returns the PDO.
    PDEVICE_OBJECT Plug(host::Pnp::Arrival* arrival = nullptr);
    // Removes the stack over a PDO (IRP_MN_REMOVE_DEVICE) and deletes the PDO.
    host::RequestResult Unplug(PDEVICE_OBJECT pdo);
    // The function device object over a PDO, and its extension.
    PDEVICE_OBJECT Fdo(PDEVICE_OBJECT pdo);
    PDEVICE_EXTENSION Extension(PDEVICE_OBJECT pdo);

    PDRIVER_OBJECT driver_ = nullptr;
    ScriptedBus bus_;
    std::vector<PDEVICE_OBJECT> plugged_;
};

// A driver test whose bus answers as a camera script (the canned camera unless the test changes
// the script before plugging); a fixture answers chosen URBs itself by overriding Answer.
class ScriptedCameraTest : public DriverTest {
  protected:
    void SetUp() override;
    // Closes the handle PlugAndOpen opened, then unplugs and unloads.
    void TearDown() override;

    // Called for every URB that reaches the bus.
    virtual UrbReply Answer(PURB urb) { return script_.Answer(urb); }
    // Plugs the camera in, opens it as camera 0 and forgets what the bus saw of its bring-up.
    void PlugAndOpen();

    CameraScript script_;
    PDEVICE_OBJECT pdo_ = nullptr;
    host::Handle handle_ = 0;
};

// "\\.\Tovrik318QX-" + the character of device number n.
std::u16string UserPath(unsigned number);

} // namespace tovrik_test
