// Every allocation the driver makes in each scenario, failed once: bring-up of a foreign camera,
// start of an own camera, each request code with good inputs, a chunked capture, a one-shot
// isochronous read, a stream started, read, stopped and started again, a stop and restart of the
// device, and removal. Prints the sites and runs; fails on any fault a run shows, and on any
// allocation call in the driver's source that no run reached.
#include "support/request_cases.h"
#include "support/sweep.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <iostream>
#include <thread>

namespace tovrik_faults {
namespace {

bool StartAndOpen(CameraSession& session) {
    return session.PlugAndStart() == STATUS_SUCCESS && session.Open() == STATUS_SUCCESS;
}

Step Request(std::string name, ULONG code, Bytes input, ULONG outputLength) {
    return {std::move(name), [=](CameraSession& session) {
                Bytes output(outputLength, 0xA5);
                return session.Call(code, input, output).Status;
            }};
}

// After a start that failed: the device refuses opens, and removal (at the end of the run)
// leaves nothing behind.
std::string RefusedCleanly(CameraSession& session) {
    return session.Open() == STATUS_SUCCESS ? "a device whose start failed accepts opens" : "";
}

std::string UsableOrRefused(CameraSession& session, bool startFailed) {
    if (startFailed) {
        return RefusedCleanly(session);
    }
    if (!session.CameraRunsItsProgram()) {
        return "every start answered success, but the camera is not running its program";
    }
    return ProbeCamera(session);
}

std::vector<Scenario> AllScenarios() {
    std::vector<Scenario> scenarios;

    Scenario foreign;
    foreign.Name = "bring-up of a foreign camera";
    foreign.Options.Foreign = true;
    // A start may get past an allocation failure (AddDevice takes the next device number when
    // a device object cannot be created): the bar is the camera usable afterwards, or refused.
    foreign.Steps = {{"plug in, download, renumerate, start",
                      [](CameraSession& s) { return s.PlugAndStart(); }, false, true}};
    foreign.Check = UsableOrRefused;
    foreign.SweepAttach = true;
    scenarios.push_back(foreign);

    Scenario own;
    own.Name = "start of an own camera";
    own.Steps = {
        {"plug in and start", [](CameraSession& s) { return s.PlugAndStart(); }, false, true}};
    own.Check = UsableOrRefused;
    own.SweepAttach = true;
    scenarios.push_back(own);

    SessionOptions defaults;
    for (const RequestCase& request :
         GoodRequests(defaults.FrameWidth * defaults.FrameHeight * 2)) {
        Scenario scenario;
        scenario.Name = request.Name;
        bool needsStream = request.NeedsStream;
        // The setup only needs a running stream. On a loaded machine the paced bus can fall so
        // far behind that every URB of a start fails and the start answers that failure: a
        // second start is then the setup, not a retry of what is swept.
        scenario.Setup = [needsStream](CameraSession& s) {
            return StartAndOpen(s) && (!needsStream || StartStream(s) == STATUS_SUCCESS ||
                                       StartStream(s) == STATUS_SUCCESS);
        };
        Step step{request.Name, [request](CameraSession& s) { return Send(s, request); }};
        step.Answer = request.Answer;
        if (request.Code == IOCTL_TOVRIK_STOP_ISO_STREAM) {
            // A stop whose abort cannot be sent still ends the stream, at the slots' next
            // completions: its answer may be a success, and what counts is the stream gone.
            step.MustFail = false;
            scenario.Check = [](CameraSession& s, bool) { return StreamIsGone(s); };
        }
        scenario.Steps = {step};
        scenarios.push_back(scenario);
    }

    Scenario chunked;
    chunked.Name = "chunked capture of a 5-piece frame";
    chunked.Options.FrameWidth = 320;
    chunked.Options.FrameHeight = 512;
    chunked.Setup = StartAndOpen;
    chunked.Steps = {Request("CHUNKED_READ of one frame", IOCTL_TOVRIK_CHUNKED_READ,
                             PipeIndex(kImagePipe), 320 * 512 * 2)};
    scenarios.push_back(chunked);

    Scenario iso;
    iso.Name = "one-shot isochronous read";
    iso.Setup = StartAndOpen;
    iso.Steps = {Request("ISO_READ of 64 packets", IOCTL_TOVRIK_ISO_READ,
                         RecordBytes(ISO_REQUEST{kIsoPipe, 1024, 64, 8, 4}), 64 * (1024 + 12))};
    scenarios.push_back(iso);

    Scenario stream;
    stream.Name = "stream start, read, stop and start again";
    stream.Setup = StartAndOpen;
    stream.Steps = {
        {"START_ISO_STREAM", StartStream},
        Request("READ_ISO_STREAM", IOCTL_TOVRIK_READ_ISO_STREAM,
                RecordBytes(ISO_REQUEST{0, 1024, 16, 0, 0}), 16 * (1024 + 12)),
        {"STOP_ISO_STREAM",
         [](CameraSession& s) { return s.Call(IOCTL_TOVRIK_STOP_ISO_STREAM, {}, 0).Status; },
         false},
        {"START_ISO_STREAM right after the stop", StartStream},
        {"STOP_ISO_STREAM again",
         [](CameraSession& s) { return s.Call(IOCTL_TOVRIK_STOP_ISO_STREAM, {}, 0).Status; },
         false},
    };
    // A stop may answer success without its abort (the slots end the stream anyway); then the
    // stream must be gone, and the camera usable.
    stream.Check = [](CameraSession& s, bool) {
        std::string gone = StreamIsGone(s);
        return gone.empty() ? ProbeCamera(s) : gone;
    };
    scenarios.push_back(stream);

    Scenario restart;
    restart.Name = "stop and restart of the device";
    restart.Setup = StartAndOpen;
    restart.Steps = {
        // A stop the PnP manager sends cannot be refused once it has gone down the stack.
        {"IRP_MN_STOP_DEVICE",
         [](CameraSession& s) { return host::Pnp::Stop(s.World().Pdo(0)).Status; }, false},
        {"IRP_MN_START_DEVICE",
         [](CameraSession& s) { return host::Pnp::Start(s.World().Pdo(0)).Status; }, true, true},
    };
    restart.Check = [](CameraSession& s, bool startFailed) {
        // The restarted device keeps its name and its open handle; a failed restart leaves a
        // device whose requests fail, which removal then takes away.
        return startFailed ? std::string() : ProbeCamera(s);
    };
    scenarios.push_back(restart);

    Scenario removal;
    removal.Name = "removal with a stream running and a handle open";
    removal.Setup = [](CameraSession& s) {
        return StartAndOpen(s) && StartStream(s) == STATUS_SUCCESS;
    };
    removal.Steps = {
        {"surprise removal",
         [](CameraSession& s) {
             s.Unplug();
             return s.WaitPnpIdle(30) ? STATUS_SUCCESS : STATUS_TIMEOUT;
         },
         false},
        {"close of the last handle, then removal",
         [](CameraSession& s) {
             s.Close();
             return s.WaitPnpIdle(30) ? STATUS_SUCCESS : STATUS_TIMEOUT;
         },
         false},
    };
    removal.Check = [](CameraSession& s, bool) {
        return s.World().FunctionDriver()->DeviceObject == nullptr
                   ? std::string()
                   : std::string("a device object of the driver is left after removal");
    };
    scenarios.push_back(removal);
    return scenarios;
}

TEST(AllocationSweep, EveryAllocationOfEveryScenarioFailedOnce) {
    const char* all = std::getenv("TOVRIK_SWEEP_ALL_ORDINALS");
    Sweep sweep(TOVRIK_SOURCE_DIR, all != nullptr && *all == '1', 120.0);
    ASSERT_FALSE(sweep.Allocations().Sites.empty());

    SweepTotals totals;
    const char* only = std::getenv("TOVRIK_SWEEP_ONLY");
    for (const Scenario& scenario : AllScenarios()) {
        if (only != nullptr && scenario.Name.find(only) == std::string::npos) {
            continue;
        }
        sweep.Run(scenario, totals);
    }

    std::cout << "\nAllocation sites in driver/ (" << sweep.Allocations().Sites.size()
              << "), runs that failed an allocation there:\n";
    std::vector<std::string> unreached;
    for (const AllocationSite& site : sweep.Allocations().Sites) {
        auto runs = totals.SiteRuns.find(site.Label());
        std::size_t count = runs != totals.SiteRuns.end() ? runs->second : 0;
        std::string kinds;
        for (const std::string& kind : totals.SiteKinds[site.Label()]) {
            kinds += (kinds.empty() ? "" : ", ") + kind;
        }
        std::cout << "  " << (count == 0 ? "  NONE " : "") << std::to_string(count) << "\t"
                  << site.Label() << (kinds.empty() ? "" : " [" + kinds + "]") << "\n";
        if (count == 0) {
            unreached.push_back(site.Label());
        }
    }
    std::cout << "\n"
              << totals.Scenarios << " scenarios, " << totals.Allocations
              << " allocations recorded in " << totals.Chains << " call chains, "
              << sweep.Allocations().Sites.size() << " allocation sites, " << totals.Runs
              << " runs with one allocation failed (" << totals.NotRepeated
              << " of them on a path that did not come again), " << totals.Failed.size()
              << " runs with a fault\n"
              << std::flush;

    for (const RunVerdict& verdict : totals.Failed) {
        std::string problems;
        for (const std::string& problem : verdict.Problems) {
            problems += "\n    " + problem;
        }
        ADD_FAILURE() << verdict.Label << problems;
    }
    for (const std::string& frame : totals.Unlisted) {
        ADD_FAILURE() << "an allocation made at " << frame
                      << ", which the source scan does not list as an allocation site";
    }
    if (only == nullptr) {
        for (const std::string& site : unreached) {
            ADD_FAILURE() << "no run failed the allocation at " << site;
        }
    }
}

} // namespace
} // namespace tovrik_faults
