// One simulated camera under the driver, driven the way camera software drives it: plugged in,
// started (with the firmware download for a camera that shows a foreign identity), opened, sent
// requests, unplugged. Everything a fault test needs around one run, and nothing it asserts.
#pragma once

#include "driver/support/request_bytes.h"
#include "host/host_kernel.h"
#include "world/world.h"

#include <cstdint>
#include <string>
#include <memory>
#include <span>
#include <vector>

#include "tovrik/tovrik.h"

namespace tovrik_faults {

// The request records' bytes as the driver tests build them.
using tovrik_test::Bytes;
using tovrik_test::PipeIndex;
using tovrik_test::RecordBytes;

// The own camera's pipes in its alternate setting 0.
inline constexpr std::uint32_t kCommandPipe = 0; // bulk OUT 0x01
inline constexpr std::uint32_t kStatusPipe = 1;  // bulk IN 0x81
inline constexpr std::uint32_t kImagePipe = 2;   // bulk IN 0x82
inline constexpr std::uint32_t kIsoPipe = 3;     // isochronous IN 0x83

struct SessionOptions {
    // The camera powers on held in reset with the foreign identity: the start downloads both
    // images and the camera comes back as a new device.
    bool Foreign = false;
    // Kernel time per real time: the start delays and time limits shrink by this much. The
    // driver bounds each control transfer at 5 s of kernel time; at 100 that is 50 ms of real
    // time, which a loaded machine's host-controller thread still makes.
    double ClockScale = 100;
    // Bus faults in force from the first URB of the first start on (armed through the fault
    // injection's decider during the plug, so not for use together with an allocation sweep).
    std::vector<sim::FaultRule> Faults;
    // The host controller steps microframes back to back (the schedule's clock stands still
    // while nothing is queued), and optionally completes transfers in the submitting call.
    bool VirtualTime = false;
    bool ImmediateCompletion = false;
    std::uint32_t FrameWidth = 64;
    std::uint32_t FrameHeight = 48;
};

class CameraSession {
  public:
    // Loads the driver and builds the bus; the camera is not plugged in yet.
    explicit CameraSession(SessionOptions options = {});
    // Closes the handle, unplugs the camera, lets removal finish and unloads the driver.
    ~CameraSession();
    CameraSession(const CameraSession&) = delete;
    CameraSession& operator=(const CameraSession&) = delete;

    // Plugs the camera in and waits until the PnP manager is done with it (for a foreign camera
    // that took its firmware: until the renumerated device is started too). Returns the status
    // of the start of the device the camera is in the end, a failure when AddDevice refused it.
    NTSTATUS PlugAndStart();
    // Opens the camera's device; the status of the open.
    NTSTATUS Open();
    void Close();
    bool IsOpen() const { return Handle != 0; }

    host::FrontEnd::IoctlResult Call(ULONG code, const Bytes& input, ULONG outputLength);
    host::FrontEnd::IoctlResult Call(ULONG code, const Bytes& input, std::span<std::uint8_t> out);

    // The camera leaves the bus (surprise removal); the removal itself follows once the handle
    // is closed. Returns at once.
    void Unplug();
    // Waits for the PnP manager to finish its queued work, at most `realSeconds`; false when it
    // did not (a removal that hangs).
    bool WaitPnpIdle(double realSeconds);

    // Whether the camera runs its own program and is on the bus with its own identity.
    bool CameraRunsItsProgram();
    // A stack is over the camera's current device and the device was started.
    PDEVICE_OBJECT TopDevice();

    sim::World& World() { return *Sim; }

    // Frame bytes one image read returns.
    std::uint32_t FrameBytes() const { return Options.FrameWidth * Options.FrameHeight * 2; }

  private:
    SessionOptions Options;
    std::unique_ptr<sim::World> Sim;
    host::Handle Handle = 0;
};

// What a healthy started camera does: the device descriptor, the pipe table and one framed
// image read, each answered with success. Empty when all is well, else what went wrong.
std::string ProbeCamera(CameraSession& session);

} // namespace tovrik_faults
