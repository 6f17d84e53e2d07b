// The whole life of cameras before any image moves, through the host PnP manager and the
// simulated world: plugged in with a foreign identity, started, given both images after the start
// delay, renumerated, the old device removed, the new one started without a download, opened,
// stopped, opened again, restarted and removed, with one, two and eleven cameras; and a capture
// of the bring-up that tshark dissects without complaint.
#include "bringup.h"
#include "support/requested_waits.h"

#include "tovrik/tovrik.h"
#include "world/world.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <map>
#include <mutex>
#include <sstream>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace tovrik_test {
namespace {

// What happened below and inside the driver, in kernel time: every URB as it reached the bus,
// and every PnP request of the driver with its device's link name and how long it took.
struct Journal {
    struct Urb {
        PDEVICE_OBJECT Pdo;
        USHORT Function;
        LONGLONG Time;
        std::optional<VendorWrite> Write;
        bool Configures = false; // a select-configuration with a configuration, not the unconfigure
    };
    struct Pnp {
        PDEVICE_OBJECT Fdo;
        PDEVICE_OBJECT Pdo;
        std::u16string Link;
        UCHAR Minor;
        LONGLONG Begin;
        LONGLONG End;
        NTSTATUS Returned;
    };
    std::mutex Mutex;
    std::vector<Urb> Urbs;
    std::vector<Pnp> Requests;
    PDRIVER_DISPATCH BusInternal = nullptr;
    PDRIVER_DISPATCH DriverPnp = nullptr;

    std::vector<VendorWrite> WritesTo(PDEVICE_OBJECT pdo) {
        std::lock_guard lock(Mutex);
        std::vector<VendorWrite> writes;
        for (const Urb& urb : Urbs) {
            if (urb.Pdo == pdo && urb.Write) {
                writes.push_back(*urb.Write);
            }
        }
        return writes;
    }
    std::vector<Pnp> RequestsOf(PDEVICE_OBJECT pdo) {
        std::lock_guard lock(Mutex);
        std::vector<Pnp> requests;
        for (const Pnp& request : Requests) {
            if (request.Pdo == pdo) {
                requests.push_back(request);
            }
        }
        return requests;
    }
    // From the nth configuring select-configuration URB sent to the PDO to the first firmware write
    // after it, or, when none follows within that start, to the end of that start request.
    LONGLONG StartDelay(PDEVICE_OBJECT pdo, std::size_t nthStart) {
        std::lock_guard lock(Mutex);
        std::size_t seen = 0;
        LONGLONG selected = 0;
        for (const Urb& urb : Urbs) {
            if (urb.Pdo != pdo)
                continue;
            if (urb.Configures && seen++ == nthStart) {
                selected = urb.Time;
            } else if (selected != 0 && urb.Write) {
                return urb.Time - selected;
            }
        }
        EXPECT_NE(selected, 0) << "no configuration for start " << nthStart;
        for (const Pnp& request : Requests) {
            if (request.Pdo == pdo && request.Minor == IRP_MN_START_DEVICE &&
                request.Begin <= selected && request.End >= selected) {
                return request.End - selected;
            }
        }
        ADD_FAILURE() << "no start around configuration " << nthStart;
        return 0;
    }
};

Journal* TheJournal = nullptr;

NTSTATUS JournalBusInternal(PDEVICE_OBJECT device, PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    if (stack->Parameters.DeviceIoControl.IoControlCode == IOCTL_INTERNAL_USB_SUBMIT_URB) {
        auto urb = static_cast<PURB>(stack->Parameters.Others.Argument1);
        Journal::Urb entry{device, urb->UrbHeader.Function, host::Clock::Now(), std::nullopt,
                           urb->UrbHeader.Function == URB_FUNCTION_SELECT_CONFIGURATION &&
                               urb->UrbSelectConfiguration.ConfigurationDescriptor != nullptr};
        if (urb->UrbHeader.Function == URB_FUNCTION_VENDOR_DEVICE) {
            auto& request = urb->UrbControlVendorClassRequest;
            if ((request.TransferFlags & USBD_TRANSFER_DIRECTION_IN) == 0) {
                auto* data = static_cast<const std::uint8_t*>(request.TransferBuffer);
                entry.Write = VendorWrite{
                    request.Request, request.Value,
                    std::vector<std::uint8_t>(data, data + request.TransferBufferLength)};
            }
        }
        std::lock_guard lock(TheJournal->Mutex);
        TheJournal->Urbs.push_back(std::move(entry));
    }
    return TheJournal->BusInternal(device, irp);
}

NTSTATUS JournalDriverPnp(PDEVICE_OBJECT fdo, PIRP irp) {
    PDEVICE_EXTENSION extension = DeviceExtensionOf(fdo);
    Journal::Pnp entry{fdo,
                       extension->PhysicalDeviceObject,
                       std::u16string(extension->SymbolicLinkName),
                       IoGetCurrentIrpStackLocation(irp)->MinorFunction,
                       host::Clock::Now(),
                       0,
                       0};
    // Neither the request nor the device may be touched after this: removal deletes the device.
    const NTSTATUS returned = TheJournal->DriverPnp(fdo, irp);
    entry.Returned = returned;
    entry.End = host::Clock::Now();
    std::lock_guard lock(TheJournal->Mutex);
    TheJournal->Requests.push_back(std::move(entry));
    return returned;
}

struct Scenario {
    const char* Label;
    std::size_t Cameras;
    double ClockScale;
};

class BringupScenario : public ::testing::TestWithParam<Scenario> {
  protected:
    void SetUp() override {
        BulkTimeoutMs = 3000;
        DeviceSlotsTried = 0;
    }
    void TearDown() override {
        world_.reset();
        TheJournal = nullptr;
    }

    void Build(const Scenario& scenario, std::filesystem::path capture = {}) {
        sim::WorldOptions options;
        options.Cameras.assign(scenario.Cameras, sim::CameraOptions{});
        options.Timing = sim::hc::Timing::Unthrottled;
        options.ClockScale = scenario.ClockScale;
        options.CaptureFile = std::move(capture);
        options.FunctionDriver = DriverEntry;
        options.PlugAtStart = false;
        world_ = std::make_unique<sim::World>(std::move(options));
        TheJournal = &journal_;
        PDRIVER_OBJECT bus = world_->UsbBus().Driver();
        journal_.BusInternal = bus->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL];
        bus->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = JournalBusInternal;
        PDRIVER_OBJECT driver = world_->FunctionDriver();
        journal_.DriverPnp = driver->MajorFunction[IRP_MJ_PNP];
        driver->MajorFunction[IRP_MJ_PNP] = JournalDriverPnp;
    }

    // Waits (bounded in kernel time) until the camera's current PDO has a started stack above it
    // and the PnP manager has nothing left to do.
    PDEVICE_OBJECT WaitStarted(std::size_t camera) {
        // A hang guard in both clocks: on a fast clock 120 s of kernel time is a moment that a
        // loaded machine can spend before the PnP manager's thread runs at all.
        const LONGLONG deadline = host::Clock::Now() + 120 * kSecond;
        const auto realDeadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        for (;;) {
            host::Pnp::WaitIdle();
            PDEVICE_OBJECT pdo = world_->Pdo(camera);
            PDEVICE_OBJECT top = pdo != nullptr ? host::Pnp::TopOf(pdo) : nullptr;
            if (top != nullptr && top != pdo && DeviceExtensionOf(top)->Started) {
                return pdo;
            }
            if (host::Clock::Now() > deadline && std::chrono::steady_clock::now() > realDeadline) {
                ADD_FAILURE() << "camera " << camera << " never came up again";
                return nullptr;
            }
            std::this_thread::yield();
        }
    }

    NTSTATUS OpenStatus(unsigned number) {
        host::Handle handle = 0;
        NTSTATUS status = host::FrontEnd::Open(UserPath(number), &handle);
        if (handle != 0) {
            EXPECT_EQ(host::FrontEnd::Close(handle), STATUS_SUCCESS);
        }
        return status;
    }

    void ExpectDelay(LONGLONG measured, LONGLONG slots, const char* which) {
        const LONGLONG expected = (slots + 1) * 15'000'000;
        EXPECT_GE(measured, expected) << which;
        // What the driver asked for is exact; how much later a loaded machine woke the thread
        // is not the driver's doing.
        const std::vector<LONGLONG> delays =
            RequestedWaits::Relative(DelayMark, RequestedWait::Kind::Delay);
        EXPECT_NE(std::find(delays.begin(), delays.end(), expected), delays.end())
            << which << ": no start delay of " << expected;
    }
    // Start delays requested since this mark count for ExpectDelay.
    std::size_t DelayMark = 0;

    // Brings every camera up in turn, as the scenario wants it; `own` gets the new PDOs.
    void BringUpAll(std::size_t cameras, std::vector<PDEVICE_OBJECT>& own);

    Journal journal_;
    std::unique_ptr<sim::World> world_;
};

void BringupScenario::BringUpAll(std::size_t cameras, std::vector<PDEVICE_OBJECT>& own) {
    const std::vector<VendorWrite> download = [] {
        std::vector<VendorWrite> writes = ExpectedDownload(FirmwareImageA);
        std::vector<VendorWrite> second = ExpectedDownload(FirmwareImageB);
        writes.insert(writes.end(), second.begin(), second.end());
        return writes;
    }();
    for (std::size_t k = 0; k < cameras; k++) {
        SCOPED_TRACE("camera " + std::to_string(k));
        const std::u16string link =
            u"\\DosDevices\\Tovrik318QX-" + std::u16string(1, static_cast<char16_t>(0x30 + k));

        // Foreign identity: number k (the cameras before hold 0 to k - 1), delay, both images.
        std::size_t earlier;
        {
            std::lock_guard lock(journal_.Mutex);
            earlier = journal_.Requests.size();
        }
        DelayMark = RequestedWaits::Mark();
        world_->Plug(k);
        // The camera may have left and come back before Plug returns: the foreign device is the
        // one whose start came first.
        PDEVICE_OBJECT foreign = nullptr;
        {
            std::lock_guard lock(journal_.Mutex);
            ASSERT_GT(journal_.Requests.size(), earlier);
            EXPECT_EQ(journal_.Requests[earlier].Minor, IRP_MN_START_DEVICE);
            foreign = journal_.Requests[earlier].Pdo;
        }
        ASSERT_TRUE(world_->WaitForRenumeration(k))
            << "the camera never came back with its own identity";
        PDEVICE_OBJECT pdo = WaitStarted(k);
        ASSERT_NE(pdo, nullptr);
        ASSERT_NE(pdo, foreign);
        EXPECT_EQ(world_->Connections(k), 2u);

        std::vector<VendorWrite> writes = journal_.WritesTo(foreign);
        ASSERT_EQ(writes.size(), download.size());
        for (std::size_t i = 0; i < download.size(); i++) {
            ASSERT_EQ(writes[i], download[i]) << "write " << i;
        }
        world_->WithCamera(k, [](sim::Camera& camera) {
            EXPECT_EQ(camera.ViolationCount(), 0u);
            EXPECT_EQ(camera.Program(), sim::RunningProgram::Camera);
            EXPECT_EQ(camera.Counters().LoaderStarts, 1u);
            EXPECT_EQ(camera.Counters().CameraStarts, 1u);
            EXPECT_EQ(camera.Counters().ExternalWrites, 0u);
        });
        ExpectDelay(journal_.StartDelay(foreign, 0), static_cast<LONGLONG>(k + 1), "foreign start");

        // The old device: started, then surprise-removed and removed once the camera left.
        std::vector<Journal::Pnp> old = journal_.RequestsOf(foreign);
        ASSERT_EQ(old.size(), 3u);
        EXPECT_EQ(old[0].Minor, IRP_MN_START_DEVICE);
        EXPECT_EQ(old[0].Returned, STATUS_SUCCESS);
        EXPECT_EQ(old[0].Link, link);
        EXPECT_EQ(old[1].Minor, IRP_MN_SURPRISE_REMOVAL);
        EXPECT_EQ(old[2].Minor, IRP_MN_REMOVE_DEVICE);
        EXPECT_EQ(old[2].Returned, STATUS_SUCCESS);

        // The new device: the same number again, once the old one was gone; no download.
        std::vector<Journal::Pnp> fresh = journal_.RequestsOf(pdo);
        ASSERT_EQ(fresh.size(), 1u);
        EXPECT_EQ(fresh[0].Minor, IRP_MN_START_DEVICE);
        EXPECT_EQ(fresh[0].Returned, STATUS_SUCCESS);
        EXPECT_EQ(fresh[0].Link, link);
        EXPECT_GT(fresh[0].Begin, old[2].End);
        EXPECT_TRUE(journal_.WritesTo(pdo).empty());
        ExpectDelay(journal_.StartDelay(pdo, 0), static_cast<LONGLONG>(k + 1), "own start");
        EXPECT_EQ(OpenStatus(static_cast<unsigned>(k)), STATUS_SUCCESS);
        own.push_back(pdo);
    }
}

TEST_P(BringupScenario, ForeignCamerasComeUpRenumerateAndLiveThroughStopAndRemoval) {
    const Scenario& scenario = GetParam();
    Build(scenario);
    std::vector<PDEVICE_OBJECT> own;
    BringUpAll(scenario.Cameras, own);
    ASSERT_EQ(own.size(), scenario.Cameras);
    if (scenario.Cameras == 11) {
        EXPECT_EQ(std::u16string(DeviceExtensionOf(host::Pnp::TopOf(own[10]))->SymbolicLinkName),
                  u"\\DosDevices\\Tovrik318QX-:");
        EXPECT_EQ(OpenStatus(10), STATUS_SUCCESS);
    }

    for (std::size_t k = 0; k < own.size(); k++) {
        SCOPED_TRACE("camera " + std::to_string(k));
        const unsigned number = static_cast<unsigned>(k);
        host::RequestResult stop = host::Pnp::Stop(own[k]);
        EXPECT_EQ(stop.Status, STATUS_SUCCESS);
        EXPECT_EQ(stop.Returned, STATUS_SUCCESS);
        EXPECT_EQ(OpenStatus(number), STATUS_SUCCESS) << "a stopped camera still opens";
        DelayMark = RequestedWaits::Mark();
        EXPECT_EQ(host::Pnp::Start(own[k]).Status, STATUS_SUCCESS);
        // The start is complete before its dispatch routine has returned.
        host::Pnp::WaitIdle();
        // Every restart waits for the most recent AddDevice, the last camera's.
        ExpectDelay(journal_.StartDelay(own[k], 1), static_cast<LONGLONG>(own.size()), "restart");
        EXPECT_TRUE(journal_.WritesTo(own[k]).empty());
        EXPECT_EQ(OpenStatus(number), STATUS_SUCCESS);
    }

    for (std::size_t k = 0; k < own.size(); k++) {
        SCOPED_TRACE("camera " + std::to_string(k));
        world_->Unplug(k);
        host::Pnp::WaitIdle();
        std::vector<Journal::Pnp> requests = journal_.RequestsOf(own[k]);
        ASSERT_GE(requests.size(), 2u);
        EXPECT_EQ(requests.back().Minor, IRP_MN_REMOVE_DEVICE);
        EXPECT_EQ(requests.back().Returned, STATUS_SUCCESS);
        EXPECT_EQ(OpenStatus(static_cast<unsigned>(k)), STATUS_OBJECT_NAME_NOT_FOUND);
    }
    // Nothing of the driver's is left once every camera is gone (unload checks it again).
    for (const host::PoolBlock& block : host::Pool::Outstanding()) {
        EXPECT_NE(block.Driver, world_->FunctionDriver()) << block.Site.ToString();
    }
}

INSTANTIATE_TEST_SUITE_P(Cameras, BringupScenario,
                         ::testing::Values(Scenario{"one", 1, 50}, Scenario{"two", 2, 50},
                                           Scenario{"eleven", 11, 60}),
                         [](const ::testing::TestParamInfo<Scenario>& info) {
                             return info.param.Label;
                         });

// ---- The capture ------------------------------------------------------------------------------

#ifndef TOVRIK_TSHARK
#define TOVRIK_TSHARK ""
#endif

struct Tshark {
    int ExitCode = -1;
    std::string Output;
};

Tshark RunTshark(const std::string& arguments) {
    Tshark run;
    std::FILE* pipe =
        ::popen((std::string(TOVRIK_TSHARK) + " " + arguments + " 2>/dev/null").c_str(), "r");
    if (pipe == nullptr) {
        return run;
    }
    char chunk[4096];
    while (std::size_t got = std::fread(chunk, 1, sizeof chunk, pipe)) {
        run.Output.append(chunk, got);
    }
    const int status = ::pclose(pipe);
    run.ExitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return run;
}

class BringupCapture : public BringupScenario {};

TEST_F(BringupCapture, TsharkDissectsTheBringUpWithoutComplaint) {
    if (std::string(TOVRIK_TSHARK).empty()) {
        GTEST_SKIP() << "tshark was not found when the build was configured";
    }
    const std::filesystem::path directory =
        std::filesystem::temp_directory_path() / ("tovrik-bringup-" + std::to_string(::getpid()));
    std::filesystem::create_directories(directory);
    const std::filesystem::path file = directory / "bringup.pcap";

    Build(Scenario{"capture", 1, 50}, file);
    std::vector<PDEVICE_OBJECT> own;
    BringUpAll(1, own);
    ASSERT_EQ(own.size(), 1u);
    world_->Unplug(0);
    host::Pnp::WaitIdle();
    world_.reset(); // flushes and closes the capture
    TheJournal = nullptr;

    const std::string quoted = "'" + file.string() + "'";
    Tshark complaints =
        RunTshark("-r " + quoted + " -Y '_ws.malformed || _ws.expert.severity >= warning'");
    EXPECT_EQ(complaints.ExitCode, 0);
    EXPECT_EQ(complaints.Output, "");

    // The firmware writes are all there, in the order sent: the setup stages of 0xA0 requests
    // carry their addresses.
    Tshark writes = RunTshark(
        "-r " + quoted +
        " -Y 'usb.setup.bRequest == 160 && usb.irp_info.direction == 0 && usb.control_stage == 0'"
        " -T fields -e usb.setup.wValue");
    EXPECT_EQ(writes.ExitCode, 0);
    std::vector<std::string> addresses;
    std::istringstream lines(writes.Output);
    for (std::string line; std::getline(lines, line);) {
        addresses.push_back(line);
    }
    std::vector<std::string> expected;
    for (const FIRMWARE_RECORD* image : {FirmwareImageA, FirmwareImageB}) {
        for (const VendorWrite& write : ExpectedDownload(image)) {
            char text[16];
            std::snprintf(text, sizeof text, "0x%04x", write.Value);
            expected.push_back(text);
        }
    }
    EXPECT_EQ(addresses, expected);
    std::filesystem::remove_all(directory);
}

} // namespace
} // namespace tovrik_test
