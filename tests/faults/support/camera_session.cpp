#include "camera_session.h"

#include "frame/frame.h"
#include "usb/usb.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <future>
#include <thread>

namespace tovrik_faults {

CameraSession::CameraSession(SessionOptions options) : Options(std::move(options)) {
    // Transfers here are about faults, not speed: a limit of 100 s of kernel time (a second of
    // real time on the test clock) lets a whole image move on a loaded machine under the
    // sanitizers, and still ends a transfer that never will.
    BulkTimeoutMs = 100000;
    DeviceSlotsTried = 0;
    sim::WorldOptions world;
    sim::CameraOptions camera;
    camera.OwnIdentity = !Options.Foreign;
    camera.FrameWidth = Options.FrameWidth;
    camera.FrameHeight = Options.FrameHeight;
    world.Cameras = {camera};
    world.ClockScale = Options.ClockScale;
    world.VirtualTime = Options.VirtualTime;
    world.ImmediateCompletion = Options.ImmediateCompletion;
    world.FunctionDriver = DriverEntry;
    world.PlugAtStart = false;
    Sim = std::make_unique<sim::World>(std::move(world));
}

CameraSession::~CameraSession() {
    Close();
    Sim.reset();
}

NTSTATUS CameraSession::PlugAndStart() {
    host::Pnp::ClearHistory();
    // The world arms a camera's faults only once Plug has returned, after the start; these must
    // see the start's first URB. The port exists when AddDevice makes its first allocation:
    // arm them there (the camera is the bus's first port).
    if (!Options.Faults.empty()) {
        auto armed = std::make_shared<std::atomic<bool>>(false);
        std::vector<sim::FaultRule> rules = Options.Faults;
        sim::Bus* bus = &Sim->UsbBus();
        host::FaultInjection::SetDecider(
            [armed, rules, bus](host::AllocationKind, const host::CallSite&) {
                if (!armed->exchange(true)) {
                    for (const sim::FaultRule& rule : rules) {
                        bus->AddFault(0, rule);
                    }
                }
                return false;
            });
    }
    Sim->Plug(0);
    if (!Options.Faults.empty()) {
        host::FaultInjection::SetDecider({});
    }
    // The foreign camera's start has run the download by now; a camera program that started
    // leaves the bus and comes back, in real time, a few milliseconds later.
    bool running = false;
    Sim->WithCamera(
        0, [&](sim::Camera& camera) { running = camera.Program() == sim::RunningProgram::Camera; });
    if (Options.Foreign && running) {
        const double scale = host::Clock::Scale();
        Sim->WaitForRenumeration(0, static_cast<std::uint32_t>(5000 * scale));
    }
    // The bus reports the departure of the old device and the arrival of the new one from its
    // own thread: wait (bounded in real time) until the device the camera is now has had its
    // start, so that nothing of the bring-up is still to come when this returns.
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    for (;;) {
        host::Pnp::WaitIdle();
        PDEVICE_OBJECT current = Sim->Pdo(0);
        bool started = false;
        for (const host::PnpRecord& record : host::Pnp::History()) {
            started |= record.Pdo == current && record.Major == IRP_MJ_PNP &&
                       record.Minor == IRP_MN_START_DEVICE;
        }
        bool arrived = current != nullptr && host::Pnp::TopOf(current) != current;
        if (started || (!arrived && !(Options.Foreign && running)) ||
            std::chrono::steady_clock::now() > deadline) {
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    host::Pnp::WaitIdle();

    // The device the camera is now: its start's status, or a failure when it got none
    // (AddDevice refused it). A foreign device that took its firmware is gone by now; what
    // counts is the device the camera came back as.
    PDEVICE_OBJECT pdo = Sim->Pdo(0);
    NTSTATUS outcome = STATUS_UNSUCCESSFUL;
    for (const host::PnpRecord& record : host::Pnp::History()) {
        if (record.Pdo == pdo && record.Major == IRP_MJ_PNP &&
            record.Minor == IRP_MN_START_DEVICE) {
            outcome = record.Result.Status;
        }
    }
    return outcome;
}

NTSTATUS CameraSession::Open() {
    Close();
    // The camera's own link: its number is the lowest that was free when it was added.
    PDEVICE_OBJECT top = TopDevice();
    if (top == nullptr || top->DriverObject != Sim->FunctionDriver()) {
        return STATUS_NO_SUCH_DEVICE;
    }
    const WCHAR* link = DeviceExtensionOf(top)->SymbolicLinkName;
    std::u16string name;
    for (std::size_t i = 0; i < 26 && link[i] != 0; ++i) {
        name += static_cast<char16_t>(link[i]);
    }
    return host::FrontEnd::Open(name, &Handle);
}

void CameraSession::Close() {
    if (Handle != 0) {
        host::FrontEnd::Close(Handle);
        Handle = 0;
    }
}

host::FrontEnd::IoctlResult CameraSession::Call(ULONG code, const Bytes& input,
                                                ULONG outputLength) {
    return host::FrontEnd::DeviceIoControl(Handle, code, input, outputLength);
}

host::FrontEnd::IoctlResult CameraSession::Call(ULONG code, const Bytes& input,
                                                std::span<std::uint8_t> out) {
    return host::FrontEnd::DeviceIoControl(Handle, code, input, out);
}

void CameraSession::Unplug() {
    Sim->Unplug(0);
}

bool CameraSession::WaitPnpIdle(double realSeconds) {
    auto idle = std::async(std::launch::async, [] { host::Pnp::WaitIdle(); });
    return idle.wait_for(std::chrono::duration<double>(realSeconds)) == std::future_status::ready;
}

bool CameraSession::CameraRunsItsProgram() {
    bool own = false;
    Sim->WithCamera(0, [&](sim::Camera& camera) {
        own = camera.Program() == sim::RunningProgram::Camera && camera.PresentsOwnIdentity();
    });
    return own;
}

PDEVICE_OBJECT CameraSession::TopDevice() {
    PDEVICE_OBJECT pdo = Sim->Pdo(0);
    return pdo != nullptr ? host::Pnp::TopOf(pdo) : nullptr;
}

std::string ProbeCamera(CameraSession& session) {
    if (!session.IsOpen() && session.Open() != STATUS_SUCCESS) {
        return "the camera cannot be opened";
    }
    auto descriptor = session.Call(IOCTL_TOVRIK_GET_DEVICE_DESCRIPTOR, {}, 18);
    if (descriptor.Status != STATUS_SUCCESS || descriptor.Information != 18) {
        return "the device descriptor request answered " + host::StatusName(descriptor.Status);
    }
    auto table = session.Call(IOCTL_TOVRIK_GET_PIPE_INFO, {}, 256);
    if (table.Status != STATUS_SUCCESS || table.Information == 0) {
        return "the pipe table request answered " + host::StatusName(table.Status) + " with " +
               std::to_string(table.Information) + " bytes";
    }
    Bytes image(session.FrameBytes());
    auto read = session.Call(IOCTL_TOVRIK_BULK_READ, PipeIndex(kImagePipe), image);
    if (read.Status != STATUS_SUCCESS || read.Information != image.size()) {
        return "an image read answered " + host::StatusName(read.Status) + " with " +
               std::to_string(read.Information) + " of " + std::to_string(image.size()) + " bytes";
    }
    return {};
}

} // namespace tovrik_faults
