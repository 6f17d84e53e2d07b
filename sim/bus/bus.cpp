// The host bus as the world sees it: construction and teardown, ports, and the host kernel's
// side of the core's Transport (memory, the clock, the USBD version, capture).

#include "bus/bus_state.h"

#include "host/host_kernel.h"
#include "usbd/usbd.h"

#include <chrono>
#include <new>

namespace sim {

BusState* TheBus = nullptr;

BusState::BusState(const BusOptions& options)
    : Options(options),
      ScheduleMemory(std::make_unique<core::ScheduleStorage<kScheduleEndpoints>>()),
      Core(*this, hc::ScheduleOptionsFor(options.Controller), ScheduleMemory->View()),
      Controller(options.Controller, Core.Sched(), *this) {}

void* BusState::AllocateTransfer(std::size_t bytes) {
    return ::operator new(bytes, std::nothrow);
}

void BusState::FreeTransfer(void* block) {
    ::operator delete(block);
}

std::uint32_t BusState::UsbdiVersion() {
    return CurrentUsbdiVersion();
}

std::uint64_t BusState::Microframe() {
    return Controller.Microframe();
}

void BusState::Capture(const usbpcap::CaptureEvent& event) {
    CaptureFile->Write(event);
}

std::int64_t BusState::CaptureTime() {
    return (host::Clock::Now() - ClockOrigin) * 100;
}

Bus::Bus(const BusOptions& options) : Self(std::make_unique<BusState>(options)) {
    if (TheBus != nullptr)
        host::Verifier::Report(host::Check::ObjectMisuse,
                               "a second simulated bus while one exists");
    TheBus = Self.get();
    Self->ClockOrigin = host::Clock::Now();
    Self->Driver = host::CreateBusDriver(u"\\Driver\\usbsim");
    Self->Driver->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = DispatchInternalDeviceControl;
    Self->Driver->MajorFunction[IRP_MJ_PNP] = DispatchPnp;
    Self->Driver->MajorFunction[IRP_MJ_POWER] = DispatchPower;
    if (!options.CaptureFile.empty())
        Self->CaptureFile = std::make_unique<PcapWriter>(options.CaptureFile);
    PDRIVER_OBJECT driver = Self->Driver;
    Self->Controller.Start([driver] {
        static thread_local std::unique_ptr<host::DriverContextScope> scope;
        scope = std::make_unique<host::DriverContextScope>(driver, nullptr);
    });
    StartEventThread(*Self);
}

Bus::~Bus() {
    // Let pending port events (a renumeration under way) finish, then unplug what is left.
    StopEventThread(*Self);
    for (auto& port : Self->Ports)
        Disconnect(*port);
    host::Pnp::WaitIdle();
    Self->Controller.Stop();
    // PDOs the PnP manager never removed (a stack that is still open) are deleted with the bus.
    for (auto& port : Self->Ports)
        for (auto& connection : port->Connections)
            if (connection->Pdo != nullptr) {
                IoDeleteDevice(connection->Pdo);
                connection->Pdo = nullptr;
            }
    if (Self->CaptureFile)
        Self->CaptureFile->Flush();
    host::UnloadDriver(Self->Driver);
    TheBus = nullptr;
}

PDRIVER_OBJECT Bus::Driver() const {
    return Self->Driver;
}

PortId Bus::PlugBare(Camera& camera) {
    auto port = std::make_unique<PortRecord>(static_cast<PortId>(Self->Ports.size()), camera);
    port->Bare = true;
    PortRecord* raw = port.get();
    Self->Ports.push_back(std::move(port));
    CreateConnection(*raw);
    return raw->Id;
}

PortId Bus::Plug(Camera& camera, PDRIVER_OBJECT functionDriver) {
    const PortId id = PlugBare(camera);
    PortRecord& port = *Self->Ports[id];
    port.Bare = false;
    port.FunctionDriver = functionDriver;
    if (port.Current != nullptr) {
        port.Current->Reported = true;
        host::Pnp::DeviceArrived(port.Current->Pdo, functionDriver);
    }
    return id;
}

void Bus::Unplug(PortId port) {
    PortRecord& record = *Self->Ports.at(port);
    {
        std::lock_guard<std::mutex> lock(Self->Controller.Lock());
        record.Unplugged = true;
    }
    // A renumeration under way ends first (or sees the flag and stops), so none brings the
    // camera back after it left.
    WaitForPortEvents(*Self);
    Disconnect(record);
    std::lock_guard<std::mutex> lock(Self->Controller.Lock());
    record.Connected = false;
    record.Enabled = false;
}

PDEVICE_OBJECT Bus::Pdo(PortId port) const {
    std::lock_guard<std::mutex> lock(Self->Controller.Lock());
    const PortRecord& record = *Self->Ports.at(port);
    return record.Current != nullptr ? record.Current->Pdo : nullptr;
}

std::uint32_t Bus::Connections(PortId port) const {
    std::lock_guard<std::mutex> lock(Self->Controller.Lock());
    return static_cast<std::uint32_t>(Self->Ports.at(port)->Connections.size());
}

bool Bus::WaitForOwnIdentity(PortId port, std::uint32_t timeoutMs,
                             std::chrono::milliseconds realFloor) {
    const double scale = std::max(host::Clock::Scale(), 1e-9);
    const auto kernelBudget = std::chrono::duration_cast<std::chrono::steady_clock::duration>(
        std::chrono::duration<double, std::milli>(timeoutMs / scale));
    const auto deadline = std::chrono::steady_clock::now() +
                          std::max<std::chrono::steady_clock::duration>(kernelBudget, realFloor);
    std::unique_lock<std::mutex> lock(Self->Controller.Lock());
    return Self->ConnectionsChanged.wait_until(lock, deadline, [&] {
        const PortRecord& record = *Self->Ports.at(port);
        return record.Current != nullptr && record.Model().PresentsOwnIdentity();
    });
}

void Bus::SetPortStatus(PortId port, bool connected, bool enabled) {
    std::lock_guard<std::mutex> lock(Self->Controller.Lock());
    Self->Ports.at(port)->Connected = connected;
    Self->Ports.at(port)->Enabled = enabled;
}

std::uint32_t Bus::PortResets(PortId port) const {
    std::lock_guard<std::mutex> lock(Self->Controller.Lock());
    return Self->Ports.at(port)->Resets;
}

void Bus::AddFault(PortId port, const FaultRule& rule) {
    std::lock_guard<std::mutex> lock(Self->Controller.Lock());
    if (!Self->Ports.at(port)->AddFault(rule))
        host::Verifier::Report(host::Check::BadArgument,
                               "more fault rules on one port than the bus keeps");
}

void Bus::ClearFaults(PortId port) {
    std::lock_guard<std::mutex> lock(Self->Controller.Lock());
    Self->Ports.at(port)->ClearFaults();
}

hc::EndpointCounters Bus::Counters(PortId port, std::uint8_t endpoint) const {
    std::lock_guard<std::mutex> lock(Self->Controller.Lock());
    const PortRecord& record = *Self->Ports.at(port);
    const ConnectionRecord* connection = record.Current != nullptr ? record.Current
                                         : record.Connections.empty()
                                             ? nullptr
                                             : record.Connections.back().get();
    if (connection == nullptr)
        return {};
    return Self->Core.Counters(*connection, endpoint);
}

void Bus::ResetCounters() {
    std::lock_guard<std::mutex> lock(Self->Controller.Lock());
    Self->Core.Sched().ResetCounters();
    Self->Controller.ResetStats();
}

void Bus::WithCamera(PortId port, const std::function<void(Camera&)>& action) {
    std::lock_guard<std::mutex> lock(Self->Controller.Lock());
    action(Self->Ports.at(port)->Model());
}

hc::Controller& Bus::Controller() {
    return Self->Controller;
}

hc::ControllerStats Bus::ControllerStats() const {
    std::lock_guard<std::mutex> lock(Self->Controller.Lock());
    return Self->Controller.Stats();
}

} // namespace sim
