// The host backend: the simulated system in this process. Opening the system builds a world
// (bus, cameras, the driver loaded through its DriverEntry into the host PnP manager) and waits
// until every camera has come up, firmware download and renumeration included, so that callers
// see what they would see on a machine where the cameras were plugged in a while ago.
// Requests go through the host kernel's user-mode front end, which gives the driver the same
// buffers, MDLs and status handling the platform's I/O manager does.
#include "host_backend.h"

#include "../backend.h"
#include "host/host_kernel.h"
#include "world/world.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

extern "C" DRIVER_INITIALIZE DriverEntry;

namespace tovrik::sdk {
namespace {

// The host kernel is one per process (one clock, one PnP manager), so is the world.
std::atomic<bool> worldExists{false};

std::u16string UserPath(std::uint32_t number) {
    std::u16string path = u"\\\\.\\Tovrik318QX-";
    path += static_cast<char16_t>(0x30 + number);
    return path;
}

class FrontEndChannel final : public Channel {
  public:
    explicit FrontEndChannel(host::Handle handle) : handle_(handle) {}
    FrontEndChannel(const FrontEndChannel&) = delete;
    FrontEndChannel& operator=(const FrontEndChannel&) = delete;
    ~FrontEndChannel() override { host::FrontEnd::Close(handle_); }

    RawResult Ioctl(std::uint32_t code, std::span<const std::uint8_t> input,
                    std::span<std::uint8_t> output) override {
        host::FrontEnd::IoctlResult result =
            host::FrontEnd::DeviceIoControl(handle_, code, input, output);
        return {result.Status, static_cast<std::uint64_t>(result.Information)};
    }
    host::Handle Handle() const { return handle_; }

  private:
    host::Handle handle_;
};

// The SDK's fault kinds as the simulated bus names them. ValidOptions has checked the kind, so
// the one not listed is TOVRIK_SIM_FAULT_UNPLUG.
constexpr std::pair<std::uint32_t, sim::FaultRule::Kind> kFaultKinds[] = {
    {TOVRIK_SIM_FAULT_STALL, sim::FaultRule::Kind::Stall},
    {TOVRIK_SIM_FAULT_NO_ANSWER, sim::FaultRule::Kind::NeverAnswer},
    {TOVRIK_SIM_FAULT_SHORT, sim::FaultRule::Kind::ShortPacket},
    {TOVRIK_SIM_FAULT_URB_ERROR, sim::FaultRule::Kind::UrbError},
    {TOVRIK_SIM_FAULT_PACKET_ERROR, sim::FaultRule::Kind::PacketError},
    {TOVRIK_SIM_FAULT_FAIL_REQUEST, sim::FaultRule::Kind::FailRequest},
};

sim::FaultRule::Kind FaultKind(std::uint32_t kind) {
    for (const auto& [sdkKind, busKind] : kFaultKinds)
        if (sdkKind == kind)
            return busKind;
    return sim::FaultRule::Kind::Unplug;
}

bool ValidOptions(const tovrik_system_options& o) {
    if (o.sim_cameras < 1 || o.sim_cameras > TOVRIK_MAX_CAMERAS)
        return false;
    if (o.sim_identity > TOVRIK_SIM_IDENTITY_OWN || o.sim_timing > TOVRIK_SIM_TIMING_HIGH_SPEED)
        return false;
    if (!(o.sim_clock_scale > 0))
        return false;
    if ((o.sim_device_descriptor == nullptr) != (o.sim_device_descriptor_length == 0))
        return false;
    if ((o.sim_configuration_descriptor == nullptr) != (o.sim_configuration_descriptor_length == 0))
        return false;
    if (o.sim_fault_count != 0 && o.sim_faults == nullptr)
        return false;
    for (std::uint32_t i = 0; i < o.sim_fault_count; ++i) {
        const tovrik_sim_fault& f = o.sim_faults[i];
        if (f.kind < TOVRIK_SIM_FAULT_STALL || f.kind > TOVRIK_SIM_FAULT_UNPLUG ||
            f.camera >= o.sim_cameras)
            return false;
    }
    return true;
}

// The caller's options, with the members an older caller's smaller record lacks at their
// defaults.
tovrik_system_options Resolve(const tovrik_system_options* given) {
    tovrik_system_options o;
    tovrik_system_options_init(&o);
    if (given != nullptr) {
        std::memcpy(&o, given, std::min<std::size_t>(given->struct_size, sizeof o));
        o.struct_size = sizeof o;
    }
    return o;
}

class HostBackend final : public Backend {
  public:
    explicit HostBackend(const tovrik_system_options& o) {
        if (o.sim_device_descriptor != nullptr)
            device_.assign(o.sim_device_descriptor,
                           o.sim_device_descriptor + o.sim_device_descriptor_length);
        if (o.sim_configuration_descriptor != nullptr)
            configuration_.assign(o.sim_configuration_descriptor,
                                  o.sim_configuration_descriptor +
                                      o.sim_configuration_descriptor_length);
        faults_.assign(o.sim_faults, o.sim_faults + o.sim_fault_count);

        sim::WorldOptions world;
        world.Cameras.assign(o.sim_cameras, sim::CameraOptions{});
        for (sim::CameraOptions& camera : world.Cameras) {
            camera.OwnIdentity = o.sim_identity == TOVRIK_SIM_IDENTITY_OWN;
            if (!device_.empty() || !configuration_.empty()) {
                sim::DescriptorSet own = sim::DefaultOwnDescriptors();
                if (!device_.empty())
                    own.Device = device_;
                if (!configuration_.empty())
                    own.Configuration = configuration_;
                camera.Own = own;
            }
        }
        world.Timing = o.sim_timing == TOVRIK_SIM_TIMING_HIGH_SPEED ? sim::hc::Timing::HighSpeed
                                                                    : sim::hc::Timing::Unthrottled;
        world.ClockScale = o.sim_clock_scale;
        if (o.sim_pcap_path != nullptr)
            world.CaptureFile = o.sim_pcap_path;
        world.FunctionDriver = DriverEntry;
        // The start results of this world's devices are read from the PnP manager's history:
        // none of an earlier world's (whose device addresses may come round again) may count.
        host::Pnp::ClearHistory();
        world_ = std::make_unique<sim::World>(std::move(world));
    }

    ~HostBackend() override {
        world_.reset();
        worldExists = false;
    }

    // Every camera up: a foreign one has taken its firmware, left the bus and come back with
    // its own identity, and the driver has started the new device.
    std::int32_t BringUp(std::uint32_t identity) {
        const std::size_t cameras = world_->CameraCount();
        if (identity == TOVRIK_SIM_IDENTITY_FOREIGN) {
            for (std::size_t i = 0; i < cameras; ++i) {
                // The renumeration may already be over by the time this runs; waiting for one
                // more would wait for nothing.
                while (world_->Connections(i) < 2) {
                    if (!world_->WaitForRenumeration(i) && world_->Connections(i) < 2)
                        return TOVRIK_STATUS_UNSUCCESSFUL;
                }
            }
        }
        host::Pnp::WaitIdle();
        // The PnP manager may still be working through the renumerated devices' arrivals;
        // every camera is up once that many of them open. A driver that never starts a device
        // ends the wait: once 30 s of kernel time and 60 s of real time have passed (on a fast
        // clock 30 s of kernel time is a few milliseconds, which a loaded machine can spend
        // before the PnP manager's thread runs at all).
        const LONGLONG kernelDeadline = host::Clock::Now() + 30LL * 10'000'000;
        const auto realDeadline = std::chrono::steady_clock::now() + sim::World::kHangGuard;
        bool retried = false;
        for (;;) {
            if (Openable() >= cameras)
                break;
            // A start the driver failed is final: say why at once rather than after the wait.
            // Once, a start that ran out of time is tried again on a slower clock (below).
            if (const auto failed = FailedStart(cameras)) {
                if (failed->Status != STATUS_IO_TIMEOUT || retried)
                    return failed->Status;
                retried = true;
                StartAgainSlowly(failed->Pdo);
                continue;
            }
            if (host::Clock::Now() > kernelDeadline &&
                std::chrono::steady_clock::now() > realDeadline)
                return TOVRIK_STATUS_UNSUCCESSFUL;
            host::Pnp::WaitIdle();
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        for (std::size_t i = 0; i < cameras; ++i) {
            for (const tovrik_sim_fault& f : faults_) {
                if (f.camera == i)
                    world_->AddFault(i, Rule(f));
            }
        }
        return TOVRIK_STATUS_SUCCESS;
    }

    std::int32_t Open(std::uint32_t number, std::unique_ptr<Channel>& channel) override {
        host::Handle handle = 0;
        NTSTATUS status = host::FrontEnd::Open(UserPath(number), &handle);
        if (status < 0 || handle == 0)
            return status < 0 ? status : TOVRIK_STATUS_UNSUCCESSFUL;
        channel = std::make_unique<FrontEndChannel>(handle);
        return status;
    }

    // The host kernel's one clock: what the driver's time limits and delays run on.
    std::uint64_t Now() const override { return static_cast<std::uint64_t>(host::Clock::Now()); }
    double ClockScale() const override { return host::Clock::Scale(); }

    std::int32_t BusCounters(std::uint32_t camera, std::uint8_t endpoint,
                             tovrik_bus_counters& out) const override {
        const std::size_t cameras = world_->CameraCount();
        if (camera != TOVRIK_SIM_ALL_CAMERAS && camera >= cameras)
            return TOVRIK_STATUS_INVALID_PARAMETER;
        // The endpoint of every camera asked for, added up.
        out.transfers = out.packets = out.bytes = out.lost_packets = 0;
        for (std::size_t i = 0; i < cameras; ++i) {
            if (camera != TOVRIK_SIM_ALL_CAMERAS && i != camera)
                continue;
            const sim::hc::EndpointCounters c = world_->Counters(i, endpoint);
            out.transfers += c.Transfers;
            out.packets += c.Packets;
            out.bytes += c.Bytes;
            out.lost_packets += c.LostIsoPackets;
        }
        const sim::hc::ControllerStats controller = world_->ControllerStats();
        out.controller_max_lag_microframes = controller.MaxLagMicroframes;
        out.controller_max_completion_delay_microframes = controller.MaxCompletionDelayMicroframes;
        return TOVRIK_STATUS_SUCCESS;
    }

    // The camera a channel is on is the one whose PDO its handle was opened on; one that has
    // left the bus (a renumeration, an unplug) has no counters any more: STATUS_DELETE_PENDING,
    // as its requests get.
    std::int32_t DeviceBusCounters(const Channel& channel, std::uint8_t endpoint,
                                   tovrik_bus_counters& out) const override {
        const auto* frontEnd = dynamic_cast<const FrontEndChannel*>(&channel);
        PDEVICE_OBJECT pdo = frontEnd ? host::FrontEnd::PdoOf(frontEnd->Handle()) : nullptr;
        for (std::size_t i = 0; pdo != nullptr && i < world_->CameraCount(); ++i) {
            if (world_->Pdo(i) == pdo)
                return BusCounters(static_cast<std::uint32_t>(i), endpoint, out);
        }
        return TOVRIK_STATUS_DELETE_PENDING;
    }

    sim::World& World() { return *world_; }

  private:
    struct FailedStartRecord {
        PDEVICE_OBJECT Pdo;
        NTSTATUS Status;
    };

    // A device of this world whose latest start the driver answered with a failure.
    std::optional<FailedStartRecord> FailedStart(std::size_t cameras) const {
        std::vector<host::PnpRecord> history = host::Pnp::History();
        for (std::size_t i = 0; i < cameras; ++i) {
            PDEVICE_OBJECT pdo = world_->Pdo(i);
            auto last = std::find_if(history.rbegin(), history.rend(), [pdo](const auto& r) {
                return r.Pdo == pdo && r.Major == IRP_MJ_PNP && r.Minor == IRP_MN_START_DEVICE;
            });
            if (last != history.rend() && !NT_SUCCESS(last->Result.Status))
                return FailedStartRecord{pdo, last->Result.Status};
        }
        return std::nullopt;
    }

    // The driver bounds each control transfer of its start at 5 s of kernel time, which a fast
    // clock makes a few milliseconds of real time: a loaded machine that holds the simulated
    // bus's threads back that long fails the start. The world then does what a user would: it
    // removes the device and lets it arrive again (disable, enable), here on a clock slow enough
    // that the bound is half a second of real time.
    static void StartAgainSlowly(PDEVICE_OBJECT pdo) {
        constexpr double kSlowScale = 10;
        const double scale = host::Clock::Scale();
        host::Clock::SetScale(std::min(scale, kSlowScale));
        host::Pnp::Remove(pdo);
        host::Pnp::DeviceArrived(pdo);
        host::Clock::SetScale(scale);
    }

    std::size_t Openable() {
        std::size_t count = 0;
        for (std::uint32_t n = 0; n < TOVRIK_MAX_CAMERAS; ++n) {
            std::unique_ptr<Channel> channel;
            if (Open(n, channel) >= 0)
                ++count;
        }
        return count;
    }

    static sim::FaultRule Rule(const tovrik_sim_fault& f) {
        sim::FaultRule rule;
        rule.What = FaultKind(f.kind);
        rule.Function = f.urb_function;
        rule.Endpoint = f.endpoint;
        rule.Skip = f.skip;
        rule.Times = f.times;
        rule.ShortLength = f.short_length;
        rule.Packet = f.packet;
        if (f.usbd_status != 0)
            rule.UsbdStatus = f.usbd_status;
        if (f.status != 0)
            rule.Status = f.status;
        return rule;
    }

    std::vector<std::uint8_t> device_;
    std::vector<std::uint8_t> configuration_;
    std::vector<tovrik_sim_fault> faults_;
    std::unique_ptr<sim::World> world_;
};

} // namespace

sim::World* HostWorld(tovrik_system* system) {
    if (system == nullptr)
        return nullptr;
    auto* backend = dynamic_cast<HostBackend*>(system->Backend.get());
    return backend != nullptr ? &backend->World() : nullptr;
}

} // namespace tovrik::sdk

extern "C" const char* tovrik_backend_name(void) {
    return "host";
}

extern "C" std::int32_t tovrik_system_open(const tovrik_system_options* options,
                                           tovrik_system** system) {
    using namespace tovrik::sdk;
    if (system == nullptr)
        return TOVRIK_STATUS_INVALID_PARAMETER;
    *system = nullptr;
    tovrik_system_options o = Resolve(options);
    if (!ValidOptions(o))
        return TOVRIK_STATUS_INVALID_PARAMETER;
    if (worldExists.exchange(true))
        return TOVRIK_STATUS_NOT_SUPPORTED;
    std::unique_ptr<HostBackend> backend;
    try {
        backend = std::make_unique<HostBackend>(o);
    } catch (...) {
        worldExists = false;
        return TOVRIK_STATUS_UNSUCCESSFUL;
    }
    std::int32_t status = backend->BringUp(o.sim_identity);
    if (status < 0)
        return status;
    *system = AdoptBackend(std::move(backend));
    return *system != nullptr ? TOVRIK_STATUS_SUCCESS : TOVRIK_STATUS_NO_MEMORY;
}
