// Port events: a device that leaves the bus (unplugged, or renumerating after its program
// started) and comes back. They run on the bus's event thread, since they wait and report to the
// PnP manager, which the thread of a completing URB must not do.

#include "bus/bus_state.h"

#include "host/host_kernel.h"

#include <algorithm>
#include <chrono>

namespace sim {

namespace {

// A real camera leaves the bus milliseconds after its program starts, long after the few
// microseconds the host needs for the write that follows the release (the second CPU control
// register). A fast test clock must not shrink that below what a loaded machine needs.
constexpr double kLeastRealRenumerationMs = 5.0;

} // namespace

void BusState::Post(std::function<void()> event) {
    {
        std::lock_guard<std::mutex> lock(EventLock);
        Events.push_back(std::move(event));
    }
    EventWake.notify_all();
}

void BusState::RenumerationDue(core::Port& port) {
    auto* record = static_cast<PortRecord*>(&port);
    Post([record] { Reconnect(*record); });
}

void Disconnect(PortRecord& port) {
    std::vector<core::Transfer*> taken;
    ConnectionRecord* connection = nullptr;
    {
        std::lock_guard<std::mutex> lock(TheBus->Controller.Lock());
        connection = port.Current;
        if (connection == nullptr || connection->Gone())
            return;
        core::TransferList ended;
        TheBus->Core.Disconnect(*connection, ended);
        port.Current = nullptr;
        ClaimEnded(ended, taken);
    }
    CompleteClaimed(taken);
    if (connection->Reported) {
        host::Pnp::ReportDeparture(connection->Pdo);
    } else {
        PDEVICE_OBJECT pdo = connection->Pdo;
        connection->Pdo = nullptr;
        IoDeleteDevice(pdo);
    }
    TheBus->ConnectionsChanged.notify_all();
}

void Reconnect(PortRecord& port) {
    const double scale = std::max(host::Clock::Scale(), 1e-9);
    std::this_thread::sleep_for(std::chrono::duration<double, std::milli>(
        std::max(TheBus->Options.RenumerationDelayMs / scale, kLeastRealRenumerationMs)));
    {
        // Unplugged meanwhile: the camera has left for good. Unplug waits for this event, so a
        // renumeration that got past this point is over before Unplug takes the camera away.
        std::lock_guard<std::mutex> lock(TheBus->Controller.Lock());
        if (port.Unplugged)
            return;
    }
    Disconnect(port);
    {
        std::lock_guard<std::mutex> lock(TheBus->Controller.Lock());
        port.Model().Reconnect();
    }
    CreateConnection(port);
    ConnectionRecord* connection = port.Current;
    if (!port.Bare && connection != nullptr) {
        connection->Reported = true;
        host::Pnp::ReportArrival(connection->Pdo, port.FunctionDriver);
    }
    TheBus->ConnectionsChanged.notify_all();
}

void StartEventThread(BusState& state) {
    BusState* self = &state;
    state.EventThread = host::KernelThread([self] {
        host::DriverContextScope scope(self->Driver, nullptr);
        std::unique_lock<std::mutex> lock(self->EventLock);
        for (;;) {
            self->EventWake.wait(lock, [self] { return self->EventStop || !self->Events.empty(); });
            if (self->Events.empty())
                return;
            std::function<void()> event = std::move(self->Events.front());
            self->Events.pop_front();
            ++self->EventsRunning;
            lock.unlock();
            event();
            lock.lock();
            --self->EventsRunning;
            self->EventWake.notify_all();
        }
    });
}

void WaitForPortEvents(BusState& state) {
    std::unique_lock<std::mutex> lock(state.EventLock);
    state.EventWake.wait(lock,
                         [&state] { return state.Events.empty() && state.EventsRunning == 0; });
}

// Lets pending port events (a renumeration under way) finish, then ends the thread.
void StopEventThread(BusState& state) {
    WaitForPortEvents(state);
    {
        std::lock_guard<std::mutex> lock(state.EventLock);
        state.EventStop = true;
    }
    state.EventWake.notify_all();
    state.EventThread.Join();
}

} // namespace sim
