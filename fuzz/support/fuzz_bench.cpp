#include "fuzz_bench.h"

#include "bus/bus.h"
#include "world/world.h"

#include <cstdio>
#include <cstdlib>
#include <string>

#include "frame/frame.h"
#include "usb/usb.h"

namespace tovrik_fuzz {

// A bus keeps a record of every port it ever had: a new one every so many inputs keeps that
// bounded. The cameras of a bus live as long as it does.
constexpr std::uint32_t kInputsPerBus = 200;

struct BenchParts {
    std::unique_ptr<sim::Bus> Bus;
    sim::CameraStorage Storage;
    std::vector<std::unique_ptr<sim::Camera>> Cameras;
    std::vector<std::unique_ptr<std::vector<std::uint8_t>>> Descriptors;
    sim::PortId Port = 0;
};

namespace {

[[noreturn]] void Finding(const std::string& what) {
    std::fprintf(stderr, "\n==FINDING== %s\n", what.c_str());
    std::fflush(stderr);
    std::abort();
}

} // namespace

void LimitPoolFillRuns(std::span<std::uint8_t> bytes, std::size_t longest) {
    std::size_t run = 0;
    for (std::uint8_t& byte : bytes) {
        if (byte != 0xC5) {
            run = 0;
        } else if (run == longest) {
            byte = 0xC4;
            run = 0;
        } else {
            run++;
        }
    }
}

FuzzBench& FuzzBench::Get() {
    static FuzzBench* bench = new FuzzBench;
    return *bench;
}

FuzzBench::FuzzBench() : Parts(std::make_unique<BenchParts>()) {
    host::Verifier::SetReporter([](const host::Violation& violation) {
        Finding(std::string("host verifier [") + host::CheckName(violation.Kind) + "] at " +
                violation.Site.ToString() + ": " + violation.Message);
    });
    Driver = host::LoadDriver(DriverEntry);
    if (Driver == nullptr) {
        Finding("DriverEntry failed");
    }
    host::Pnp::SetFunctionDriver(Driver);
    sim::LoadExpectedImages(Parts->Storage);
}

void FuzzBench::NewBus() {
    Parts->Bus.reset();
    host::Pnp::WaitIdle();
    Parts->Cameras.clear();
    Parts->Descriptors.clear();
    sim::BusOptions options;
    options.Controller.VirtualTime = true;
    Parts->Bus = std::make_unique<sim::Bus>(options);
    BaselinePool = host::Pool::OutstandingCount();
}

NTSTATUS FuzzBench::Plug(const CameraSetup& setup) {
    if (Parts->Bus == nullptr || Plugged % kInputsPerBus == 0) {
        NewBus();
    }
    Plugged++;
    BulkTimeoutMs = 3000;
    DeviceSlotsTried = 0;
    // The start waits 3 s of kernel time for the controller: let that pass quickly, though not so
    // fast that the driver's 5 s bound on each control transfer (0.5 ms here) is shorter than a
    // loaded machine needs to serve one.
    host::Clock::SetScale(StartClockScale);
    sim::CameraConfig config;
    config.PowerOn = sim::PowerOnState::CameraRunning;
    config.FrameWidth = setup.FrameWidth;
    config.FrameHeight = setup.FrameHeight;
    if (setup.Own) {
        config.Own = *setup.Own;
    }
    Parts->Cameras.push_back(std::make_unique<sim::Camera>(Parts->Storage, config));
    host::Pnp::ClearHistory();
    Parts->Port = Parts->Bus->Plug(*Parts->Cameras.back(), Driver);
    host::Pnp::WaitIdle();
    host::Clock::SetScale(kRequestClockScale);
    PDEVICE_OBJECT pdo = Parts->Bus->Pdo(Parts->Port);
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    for (const host::PnpRecord& record : host::Pnp::History()) {
        if (record.Pdo == pdo && record.Minor == IRP_MN_START_DEVICE) {
            status = record.Result.Status;
        }
    }
    return status;
}

void FuzzBench::PlugStarted(const CameraSetup& setup) {
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    // Each try on a slower clock: at 100 the 5 s bound is 50 ms of real time, which a niced
    // fuzzer on a loaded machine can still miss (seen at load 6 to 12); the last try runs the
    // platform's own clock, so only a start that cannot finish in 5 s of real time is a finding.
    for (double scale : {kRequestClockScale, 1000.0, 100.0, 1.0}) {
        StartClockScale = scale;
        status = Plug(setup);
        if (status == STATUS_SUCCESS && Open()) {
            StartClockScale = kRequestClockScale;
            return;
        }
        Unplug();
        // A bus that an earlier input left with a long schedule (thousands of isochronous
        // packets still being served) can starve the next start: the next try gets a new bus.
        NewBus();
    }
    StartClockScale = kRequestClockScale;
    Finding("a camera with its own descriptors did not come up on any clock, real time included "
            "(the start answered " +
            host::StatusName(status) + ")");
}

bool FuzzBench::Open() {
    PDEVICE_OBJECT pdo = Parts->Bus->Pdo(Parts->Port);
    PDEVICE_OBJECT top = pdo != nullptr ? host::Pnp::TopOf(pdo) : nullptr;
    if (top == nullptr || top == pdo) {
        return false;
    }
    const WCHAR* link = DeviceExtensionOf(top)->SymbolicLinkName;
    std::u16string name;
    for (std::size_t i = 0; i < 26 && link[i] != 0; ++i) {
        name += static_cast<char16_t>(link[i]);
    }
    return host::FrontEnd::Open(name, &Handle) == STATUS_SUCCESS;
}

host::FrontEnd::IoctlResult FuzzBench::Call(ULONG code, std::span<const std::uint8_t> input,
                                            std::span<std::uint8_t> output) {
    return host::FrontEnd::DeviceIoControl(Handle, code, input, output);
}

void FuzzBench::Unplug() {
    if (Handle != 0) {
        host::FrontEnd::Close(Handle);
        Handle = 0;
    }
    Parts->Bus->Unplug(Parts->Port);
    host::Pnp::WaitIdle();
    if (Driver->DeviceObject != nullptr) {
        Finding("a device object of the driver is left after the camera was removed");
    }
    // The request table keeps every request of the process, so counting the ones in flight
    // costs more as the run goes on: every so many inputs is enough to catch one that stays.
    if (Plugged % 64 == 0 && host::IrpsInFlight() != 0) {
        Finding("requests still in a driver after the camera was removed");
    }
    if (host::Pool::OutstandingCount() != BaselinePool) {
        Finding("pool left allocated after the camera was removed:\n" + host::Pool::LeakReport());
    }
}

} // namespace tovrik_fuzz
