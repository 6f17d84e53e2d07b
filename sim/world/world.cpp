#include "world/world.h"

#include "driver/firmware/firmware_images.h"
#include "host/host_kernel.h"

#include <span>

namespace sim {

namespace {

std::span<const std::uint8_t> RecordBytes(const FIRMWARE_RECORD* image) {
    std::size_t count = 0;
    while (image[count].Type == 0)
        ++count;
    return {reinterpret_cast<const std::uint8_t*>(image), (count + 1) * sizeof(FIRMWARE_RECORD)};
}

} // namespace

void LoadExpectedImages(CameraStorage& storage) {
    storage.Loader.Clear();
    storage.Program.Clear();
    storage.Loader.AddRecords(RecordBytes(FirmwareImageA));
    storage.Program.AddRecords(RecordBytes(FirmwareImageB));
}

struct World::Parts {
    WorldOptions Options;
    std::vector<std::unique_ptr<CameraStorage>> Storage;
    std::vector<std::unique_ptr<Camera>> Cameras;
    std::vector<std::optional<PortId>> Ports;
    PDRIVER_OBJECT Driver = nullptr;
    std::unique_ptr<Bus> Usb;
};

World::World(WorldOptions options) : Self(std::make_unique<Parts>()) {
    Self->Options = std::move(options);
    const WorldOptions& o = Self->Options;
    if (o.ClockScale > 0)
        host::Clock::SetScale(o.ClockScale);
    if (o.FunctionDriver != nullptr) {
        Self->Driver = host::LoadDriver(o.FunctionDriver);
        host::Pnp::SetFunctionDriver(Self->Driver);
    }
    BusOptions bus;
    bus.Controller.Mode = o.Timing;
    bus.Controller.VirtualTime = o.VirtualTime;
    bus.Controller.BulkPacketsPerMicroframe = o.BulkPacketsPerMicroframe;
    bus.ImmediateCompletion = o.ImmediateCompletion;
    bus.CaptureFile = o.CaptureFile;
    bus.RenumerationDelayMs = o.RenumerationDelayMs;
    Self->Usb = std::make_unique<Bus>(bus);

    for (const CameraOptions& camera : o.Cameras) {
        auto storage = std::make_unique<CameraStorage>();
        LoadExpectedImages(*storage);
        CameraConfig config;
        if (camera.Foreign)
            config.Foreign = *camera.Foreign;
        if (camera.Own)
            config.Own = *camera.Own;
        config.FrameWidth = camera.FrameWidth;
        config.FrameHeight = camera.FrameHeight;
        config.PowerOn =
            camera.OwnIdentity ? PowerOnState::CameraRunning : PowerOnState::HeldInReset;
        Self->Cameras.push_back(std::make_unique<Camera>(*storage, config));
        Self->Storage.push_back(std::move(storage));
        Self->Ports.push_back(std::nullopt);
    }
    if (o.PlugAtStart)
        for (std::size_t i = 0; i < Self->Cameras.size(); ++i)
            Plug(i);
}

World::~World() {
    Self->Usb.reset();
    host::Pnp::WaitIdle();
    if (Self->Driver != nullptr)
        host::UnloadDriver(Self->Driver);
}

std::size_t World::CameraCount() const {
    return Self->Cameras.size();
}

void World::Plug(std::size_t camera) {
    Camera& device = *Self->Cameras.at(camera);
    const PortId port = Self->Driver != nullptr ? Self->Usb->Plug(device, Self->Driver)
                                                : Self->Usb->PlugBare(device);
    Self->Ports.at(camera) = port;
    for (const FaultRule& rule : Self->Options.Cameras.at(camera).Faults)
        Self->Usb->AddFault(port, rule);
}

void World::Unplug(std::size_t camera) {
    if (Self->Ports.at(camera))
        Self->Usb->Unplug(*Self->Ports.at(camera));
}

PDEVICE_OBJECT World::Pdo(std::size_t camera) const {
    return Self->Ports.at(camera) ? Self->Usb->Pdo(*Self->Ports.at(camera)) : nullptr;
}

bool World::WaitForRenumeration(std::size_t camera, std::uint32_t timeoutMs,
                                std::chrono::milliseconds realFloor) {
    if (!Self->Ports.at(camera))
        return false;
    return Self->Usb->WaitForOwnIdentity(*Self->Ports.at(camera), timeoutMs, realFloor);
}

std::uint32_t World::Connections(std::size_t camera) const {
    return Self->Ports.at(camera) ? Self->Usb->Connections(*Self->Ports.at(camera)) : 0;
}

void World::WithCamera(std::size_t camera, const std::function<void(Camera&)>& action) {
    if (Self->Ports.at(camera)) {
        Self->Usb->WithCamera(*Self->Ports.at(camera), action);
    } else {
        action(*Self->Cameras.at(camera));
    }
}

hc::EndpointCounters World::Counters(std::size_t camera, std::uint8_t endpoint) const {
    return Self->Ports.at(camera) ? Self->Usb->Counters(*Self->Ports.at(camera), endpoint)
                                  : hc::EndpointCounters{};
}

hc::ControllerStats World::ControllerStats() const {
    return Self->Usb->ControllerStats();
}

void World::ResetCounters() {
    Self->Usb->ResetCounters();
}

void World::SetPortStatus(std::size_t camera, bool connected, bool enabled) {
    Self->Usb->SetPortStatus(Self->Ports.at(camera).value(), connected, enabled);
}

void World::AddFault(std::size_t camera, const FaultRule& rule) {
    Self->Usb->AddFault(Self->Ports.at(camera).value(), rule);
}

void World::ClearFaults(std::size_t camera) {
    Self->Usb->ClearFaults(Self->Ports.at(camera).value());
}

void World::HoldSchedule() {
    Self->Usb->Controller().Hold();
}
void World::ReleaseSchedule() {
    Self->Usb->Controller().Release();
}
void World::WaitIdle() {
    Self->Usb->Controller().WaitIdle();
}

PDRIVER_OBJECT World::FunctionDriver() const {
    return Self->Driver;
}
Bus& World::UsbBus() {
    return *Self->Usb;
}

} // namespace sim
