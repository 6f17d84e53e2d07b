// The simulated world in one piece: a host-controller bus with N Tovrik cameras plugged in, for
// tests, the SDK's host backend and the command-line tool.
//
// The world does not know the driver. Whoever builds a world passes the function driver's
// DriverEntry (the world loads it and makes it the PnP manager's function driver), or none, and
// then sends requests to the bus directly (bare ports).
#pragma once

#include "bus/bus.h"
#include "camera/camera.h"
#include "hc/controller.h"

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

namespace sim {

struct CameraOptions {
    // Power on running the camera program (own identity 0x5A17/0x0E15): no download needed.
    bool OwnIdentity = false;
    // Descriptor sets to present instead of the defaults (bytes must outlive the world).
    std::optional<DescriptorSet> Foreign;
    std::optional<DescriptorSet> Own;
    std::uint32_t FrameWidth = kDefaultFrameWidth;
    std::uint32_t FrameHeight = kDefaultFrameHeight;
    // Faults armed before the camera is plugged in.
    std::vector<FaultRule> Faults;
};

struct WorldOptions {
    std::vector<CameraOptions> Cameras{CameraOptions{}};
    hc::Timing Timing = hc::Timing::HighSpeed;
    bool VirtualTime = false;
    unsigned BulkPacketsPerMicroframe = hc::DefaultBulkPacketsPerMicroframe;
    bool ImmediateCompletion = false;
    // Kernel time per real time for the whole host kernel; 0 leaves the clock as it is.
    double ClockScale = 0;
    // Capture every URB to this pcap file (USBPcap); empty: no capture.
    std::filesystem::path CaptureFile;
    // The function driver to load over every camera; null: the cameras are plugged in bare,
    // with no PnP report, for tests that talk to the bus themselves.
    PDRIVER_INITIALIZE FunctionDriver = nullptr;
    // Plug the cameras in when the world is built (otherwise call Plug).
    bool PlugAtStart = true;
    std::uint32_t RenumerationDelayMs = 20;
};

class World {
  public:
    explicit World(WorldOptions options);
    // Unplugs every camera, lets the PnP manager remove the stacks and unloads the driver.
    ~World();
    World(const World&) = delete;
    World& operator=(const World&) = delete;

    std::size_t CameraCount() const;
    // Plugs camera i in (again); for a driver-less world the PDO is bare.
    void Plug(std::size_t camera);
    // The camera leaves the bus: a surprise removal with whatever is pending.
    void Unplug(std::size_t camera);
    // The camera's current PDO (a new one after each renumeration), or null.
    PDEVICE_OBJECT Pdo(std::size_t camera) const;
    // Waits until the camera is on the bus with its own identity (after the camera program was
    // started it leaves and comes back so); false when that did not happen within `timeoutMs`
    // kernel milliseconds and at least `realFloor` of real time, a guard wide enough for a
    // loaded machine. A camera that powered on running its program is there at once.
    static constexpr std::chrono::milliseconds kHangGuard{60'000};
    bool WaitForRenumeration(std::size_t camera, std::uint32_t timeoutMs = 10'000,
                             std::chrono::milliseconds realFloor = kHangGuard);
    std::uint32_t Connections(std::size_t camera) const;

    // The camera model, under the bus lock.
    void WithCamera(std::size_t camera, const std::function<void(Camera&)>& action);
    hc::EndpointCounters Counters(std::size_t camera, std::uint8_t endpoint) const;
    // How well the paced host controller kept real time.
    hc::ControllerStats ControllerStats() const;
    void ResetCounters();
    void SetPortStatus(std::size_t camera, bool connected, bool enabled);
    void AddFault(std::size_t camera, const FaultRule& rule);
    void ClearFaults(std::size_t camera);

    // Holds the schedule so a batch of URBs can be queued before the first microframe; every
    // Hold needs a Release.
    void HoldSchedule();
    void ReleaseSchedule();
    // Until no transfer the schedule can move is queued.
    void WaitIdle();

    PDRIVER_OBJECT FunctionDriver() const;
    Bus& UsbBus();

  private:
    struct Parts;
    std::unique_ptr<Parts> Self;
};

// Fills a camera's storage with the images it recognises: the driver's two firmware images
// (the stand-ins, or the camera's own files given to the build).
void LoadExpectedImages(CameraStorage& storage);

} // namespace sim
