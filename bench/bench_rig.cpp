#include "bench_rig.h"

#include "usb/usb.h"

#include <atomic>
#include <cstdio>
#include <cstring>
#include <mutex>

namespace tovrik_bench {

namespace {

// The first few violations are printed in full; the rest only counted, so that a violation that
// repeats on every request does not bury the benchmark's own output.
constexpr unsigned kViolationsPrinted = 3;
std::atomic<unsigned> violationsSeen{0};

void ReportViolation(const host::Violation& violation) {
    const unsigned seen = violationsSeen.fetch_add(1);
    if (seen < kViolationsPrinted) {
        std::fprintf(stderr, "host verifier [%s] at %s: %s\n", host::CheckName(violation.Kind),
                     violation.Site.ToString().c_str(), violation.Message.c_str());
    } else if (seen == kViolationsPrinted) {
        std::fprintf(stderr, "host verifier: further violations are counted, not printed\n");
    }
}

} // namespace

sim::WorldOptions CameraWorld(sim::hc::Timing timing, bool virtualTime, std::uint32_t frameWidth,
                              std::uint32_t frameHeight) {
    sim::WorldOptions options;
    sim::CameraOptions camera;
    camera.OwnIdentity = true;
    camera.FrameWidth = frameWidth;
    camera.FrameHeight = frameHeight;
    options.Cameras = {camera};
    options.Timing = timing;
    options.VirtualTime = virtualTime;
    options.FunctionDriver = DriverEntry;
    return options;
}

Rig::Rig(sim::WorldOptions options, double clockScale) {
    BulkTimeoutMs = 3000;
    previousReporter_ = host::Verifier::SetReporter(ReportViolation);
    violationsBefore_ = host::Verifier::Violations().size();
    // The device start waits 3 s of kernel time; nothing measured happens before the scale is
    // set to what the benchmark needs. 100 times real time, not faster: the driver gives each
    // control transfer of the bring-up 5 s of kernel time, 50 ms here, which a loaded or
    // sanitized run's controller still meets (at 1000, 5 ms, it often did not).
    options.ClockScale = 100;
    world_ = std::make_unique<sim::World>(std::move(options));
    if (!world_->WaitForRenumeration(0))
        return;
    host::Pnp::WaitIdle();
    // The PnP manager may still be starting the device when the camera is on the bus.
    for (int attempt = 0; attempt < 1000 && handle_ == 0; ++attempt) {
        if (host::FrontEnd::Open(u"\\\\.\\Tovrik318QX-0", &handle_) != STATUS_SUCCESS) {
            handle_ = 0;
            host::Pnp::WaitIdle();
        }
    }
    host::Clock::SetScale(clockScale);
}

Rig::~Rig() {
    if (handle_ != 0)
        host::FrontEnd::Close(handle_);
    // A fast clock for the removal's own waits.
    host::Clock::SetScale(1000);
    world_.reset();
    host::Clock::SetScale(1);
    host::Verifier::SetReporter(previousReporter_);
}

bool Rig::ReadyOrSkip(benchmark::State& state) const {
    if (!Ready())
        state.SkipWithError("the device did not come up");
    return Ready();
}

std::size_t Rig::Violations() const {
    return host::Verifier::Violations().size() - violationsBefore_;
}

host::FrontEnd::IoctlResult Rig::Call(ULONG code, const Bytes& input,
                                      std::span<std::uint8_t> output) {
    return host::FrontEnd::DeviceIoControl(handle_, code, input, output);
}

PDEVICE_EXTENSION Rig::Extension() {
    return DeviceExtensionOf(host::Pnp::TopOf(world_->Pdo(0)));
}

std::uint64_t Rig::Microframe() {
    sim::hc::Controller& controller = world_->UsbBus().Controller();
    std::lock_guard<std::mutex> lock(controller.Lock());
    return controller.Microframe();
}

int Rig::PipeIndexOf(std::uint8_t endpoint) {
    // USBD_INTERFACE_INFORMATION as the driver hands it out: a 24-byte header (pipe count at
    // 16), then 24 bytes per pipe (endpoint address at 2).
    Bytes table(24 + 24 * 32);
    auto result = Call(IOCTL_TOVRIK_GET_PIPE_INFO, {}, table);
    if (result.Status != STATUS_SUCCESS || result.Information < 24)
        return -1;
    std::uint32_t pipes = 0;
    std::memcpy(&pipes, table.data() + 16, sizeof(pipes));
    for (std::uint32_t i = 0; i < pipes && 24 + 24 * (i + 1) <= result.Information; ++i) {
        if (table[24 + 24 * i + 2] == endpoint)
            return static_cast<int>(i);
    }
    return -1;
}

} // namespace tovrik_bench
