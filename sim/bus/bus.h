// The simulated USB bus driver of the host kernel: a driver with its own DRIVER_OBJECT, one PDO
// per connected camera, serving the internal requests a USB function driver sends down.
//
// What a driver above it sees is the documented behaviour of the platform's USB stack, made
// strict: every URB is checked as a careful bus driver checks it, and refused with the USBD
// status the platform uses (the table is in core/urb_table.h). This bus is the host kernel's
// front end over the bus core (sim/core), which it shares with the bus of the second kernel: here
// live the host's requests, PnP, threads and locks. Transfers complete from the host
// controller's thread at DISPATCH_LEVEL, never in the submitting call, unless immediate
// completion is asked for.
//
// This header is for the world (sim/world) and for tests; nothing here is visible to a driver.
#pragma once

#include "camera/camera.h"
#include "core/core.h"
#include "hc/controller.h"
#include "platform/kernel.h"

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>

namespace sim {

// A fault the bus injects into the traffic of one port (see core/bus_core.h).
using FaultRule = core::FaultRule;

struct BusOptions {
    hc::ControllerOptions Controller;
    // Complete transfers in the submitting call (a transfer the device NAKs still pends).
    bool ImmediateCompletion = false;
    // When set, every URB submission and completion is written there (USBPcap, link type 249).
    std::filesystem::path CaptureFile;
    // Kernel-time milliseconds between the camera program starting and the device leaving the
    // bus to come back with its own identity.
    std::uint32_t RenumerationDelayMs = 20;
};

using PortId = std::uint32_t;

// The bus's state, private to bus.cpp.
struct BusState;

class Bus {
  public:
    explicit Bus(const BusOptions& options);
    // Unplugs every port and waits for the PnP manager to finish with them.
    ~Bus();
    Bus(const Bus&) = delete;
    Bus& operator=(const Bus&) = delete;

    PDRIVER_OBJECT Driver() const;

    // Connects a camera (which must outlive the bus) to a new port: a PDO is created and its
    // arrival reported to the PnP manager, which loads `functionDriver` over it (null: the PnP
    // manager's default function driver; no driver at all if there is none). Waits until the
    // PnP manager has started the stack. Returns the port.
    PortId Plug(Camera& camera, PDRIVER_OBJECT functionDriver = nullptr);
    // Like Plug, without a PnP report: the PDO exists, and nobody is loaded over it. For tests
    // that send requests to the bus directly.
    PortId PlugBare(Camera& camera);
    // The device leaves the bus (a surprise removal): pending URBs end with
    // USBD_STATUS_DEVICE_GONE, new ones are refused with STATUS_DEVICE_NOT_CONNECTED, then the
    // departure goes to the PnP manager (for a bare port the PDO is deleted at once).
    void Unplug(PortId port);

    // The port's current PDO (a renumerated device has a new one); null when unplugged.
    PDEVICE_OBJECT Pdo(PortId port) const;
    // How many PDOs the port has had: 1 after Plug, 2 after one renumeration.
    std::uint32_t Connections(PortId port) const;
    // Waits until the port's camera is on the bus with its own identity, as a new PDO after a
    // renumeration; false once `timeoutMs` of kernel time and at least `realFloor` of real time
    // have passed without it (a loaded machine may take long in real time for little kernel
    // time on a fast clock).
    bool WaitForOwnIdentity(PortId port, std::uint32_t timeoutMs,
                            std::chrono::milliseconds realFloor);

    // Bits of IOCTL_INTERNAL_USB_GET_PORT_STATUS; a port reset sets enabled again.
    void SetPortStatus(PortId port, bool connected, bool enabled);
    std::uint32_t PortResets(PortId port) const;

    void AddFault(PortId port, const FaultRule& rule);
    void ClearFaults(PortId port);

    // Counters of an endpoint of the port's current connection (0x00: the default pipe).
    hc::EndpointCounters Counters(PortId port, std::uint8_t endpoint) const;
    // Every endpoint's counters and the controller's lag statistics back to zero.
    void ResetCounters();

    // Runs `action` on the port's camera under the bus lock (the model is not thread-safe).
    void WithCamera(PortId port, const std::function<void(Camera&)>& action);

    hc::Controller& Controller();
    // How well the paced controller kept real time.
    hc::ControllerStats ControllerStats() const;

  private:
    std::unique_ptr<BusState> Self;
};

} // namespace sim
