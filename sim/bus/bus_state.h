// The host bus's own state, shared by its files (bus.cpp, requests.cpp, pnp_power.cpp,
// renumeration.cpp) and by nothing else.
//
// Locking: the controller's lock (BusState::Controller.Lock()) is the bus lock of the core's
// contract (core/bus_core.h). It guards the core, the ports and connections below and the
// cameras; it is never held while a request is completed or the PnP manager is called.
#pragma once

#include "bus/bus.h"
#include "capture/capture.h"
#include "host/host_kernel.h"

#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace sim {

struct PortRecord;

// One PDO: a device between its arrival and its departure. A renumerated camera is a new
// connection on the same port.
struct ConnectionRecord : core::Connection {
    PortRecord* Port = nullptr;
    PDEVICE_OBJECT Pdo = nullptr;
    bool Reported = false; // the PnP manager was told of the arrival
};

struct PortRecord : core::Port {
    PortRecord(PortId id, Camera& camera) : core::Port(camera), Id(id) {}
    PortId Id;
    PDRIVER_OBJECT FunctionDriver = nullptr;
    bool Bare = false;
    // Every connection the port had; each stays allocated until the bus goes, since its PDO's
    // extension points at it.
    std::vector<std::unique_ptr<ConnectionRecord>> Connections;
    ConnectionRecord* Current = nullptr;
    // Set (under the controller's lock) when the camera is unplugged: a renumeration that was
    // under way does not bring it back.
    bool Unplugged = false;
};

// The device extension of every PDO: the one pointer the dispatch routines need.
struct PDO_EXTENSION {
    ConnectionRecord* Link;
};

// Who completes a transfer's request once it leaves the schedule (core::Transfer::FrontEnd).
enum class Owner : std::uint32_t {
    Schedule = 0,  // queued; the schedule may finish it, a cancel routine may take it out
    Completer,     // the thread that took it off completes it
    CancelRoutine, // its cancel routine was already called and completes it
};

// Room for the endpoints of every device the bus has at once (each has its default pipe and at
// most 32 more).
inline constexpr std::size_t kScheduleEndpoints = 1024;

struct BusState final : core::Transport, hc::Completions {
    explicit BusState(const BusOptions& options);

    BusOptions Options;
    std::unique_ptr<core::ScheduleStorage<kScheduleEndpoints>> ScheduleMemory;
    core::BusCore Core;
    hc::Controller Controller;
    PDRIVER_OBJECT Driver = nullptr;
    std::vector<std::unique_ptr<PortRecord>> Ports;
    std::unique_ptr<PcapWriter> CaptureFile;
    std::int64_t ClockOrigin = 0;
    std::uint16_t NextConnection = 1;
    std::condition_variable ConnectionsChanged;

    // The bus's own worker: renumerations and unplugs that a request triggers run here, since
    // they wait and report to the PnP manager, which the thread of a completing URB must not do.
    std::mutex EventLock;
    std::condition_variable EventWake;
    std::deque<std::function<void()>> Events;
    // A kernel thread: a departure completes the driver's requests (their completion routines
    // run on it) and reports to the PnP manager.
    host::KernelThread EventThread;
    bool EventStop = false;
    std::atomic<unsigned> EventsRunning{0};

    void Post(std::function<void()> event);

    // core::Transport
    void* AllocateTransfer(std::size_t bytes) override;
    void FreeTransfer(void* block) override;
    std::uint32_t UsbdiVersion() override;
    std::uint64_t Microframe() override;
    void RenumerationDue(core::Port& port) override;
    bool Capturing() override { return CaptureFile != nullptr; }
    void Capture(const usbpcap::CaptureEvent& event) override;
    std::int64_t CaptureTime() override;

    // hc::Completions
    bool Claim(core::Transfer& transfer) override;
    void Deliver(core::Transfer& transfer) override;
};

// The dispatch routines find the bus here; one bus at a time.
extern BusState* TheBus;

ConnectionRecord* ConnectionOf(PDEVICE_OBJECT pdo);

// Completes a request the bus refused or served at once, in the dispatch routine.
NTSTATUS CompleteNow(PIRP irp, NTSTATUS status);

// --- Transfers (requests.cpp) ------------------------------------------------------------------

// Decides, under the bus lock, who completes each transfer the core ended; those this thread
// completes go to `claimed`.
void ClaimEnded(core::TransferList& ended, std::vector<core::Transfer*>& claimed);
// Completes claimed transfers, with no lock held, at DISPATCH_LEVEL as the host controller's
// completions run.
void CompleteClaimed(std::vector<core::Transfer*>& claimed);

// --- PnP (pnp_power.cpp) -----------------------------------------------------------------------

NTSTATUS NTAPI DispatchPnp(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS NTAPI DispatchPower(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS NTAPI DispatchInternalDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp);
// A new PDO for the port's camera, connected to the core; becomes the port's current one.
void CreateConnection(PortRecord& port);

// --- Port events (renumeration.cpp; the bus's event thread, no lock held on entry) -------------

// The device leaves the bus: pending URBs end with USBD_STATUS_DEVICE_GONE; the PnP manager
// hears of the departure (a bare PDO, which no stack sits on, is deleted here instead).
void Disconnect(PortRecord& port);
// The camera program started: the device leaves and comes back as a new connection.
void Reconnect(PortRecord& port);
void StartEventThread(BusState& state);
// Waits until no port event is queued or running (a renumeration under way has finished).
void WaitForPortEvents(BusState& state);
void StopEventThread(BusState& state);

} // namespace sim
