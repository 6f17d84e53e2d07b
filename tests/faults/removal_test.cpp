// The camera removed at every point: surprise removal with a handle open, removal at every URB of
// the bring-up (every record of the firmware download), at every URB of each request code, at
// each piece boundary of a chunked read, during a one-shot isochronous read, during a stream with
// a reader inside a read, and a removal while a transfer is stuck and a set-interface or a
// second chunked read waits behind it. Every request ends, removal completes within a bound,
// nothing is left behind; the sanitizer build runs the same cases for use after free.
#include "support/isolated_run.h"
#include "support/request_cases.h"

#include "frame/frame.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <cstdlib>
#include <chrono>
#include <functional>
#include <future>
#include <iostream>
#include <thread>

namespace tovrik_faults {
namespace {

// Real time a removal may take on a loaded machine, and a whole case at most.
constexpr double kRemovalBound = 20.0;
constexpr double kCaseBound = 120.0;

// What a case's body returns when the camera did not start before the case's point came; the
// status of the failed start may follow it.
constexpr const char* kDidNotStart = "the camera did not start";

// Only the start's own failure: with anything added to it (the verifier's findings, what the run
// left behind) the case failed for more than a slow start.
bool DidNotStart(const std::string& problem) {
    return problem.starts_with(kDidNotStart) && problem.find(';') == std::string::npos;
}

// Runs one case in a child process: `body` gets a session and returns what went wrong (empty
// when nothing). The verifier's findings and what the run left behind are added, and a crash or
// hang of the child is a failure of its own.
std::string RunCaseOnce(const SessionOptions& options,
                        const std::function<std::string(CameraSession&)>& body) {
    IsolatedResult result = RunIsolated(kCaseBound, [&]() -> std::string {
        std::vector<std::string> violations;
        host::Verifier::SetReporter([&violations](const host::Violation& violation) {
            violations.push_back(std::string(host::CheckName(violation.Kind)) + " at " +
                                 violation.Site.ToString() + ": " + violation.Message);
        });
        host::BeginTest();
        std::string problem;
        {
            CameraSession session(options);
            problem = body(session);
        }
        host::EndTest();
        for (const std::string& violation : violations) {
            problem += (problem.empty() ? "" : "; ") + ("verifier: " + violation);
        }
        return problem;
    });
    if (!result.Ended()) {
        return result.Problem() + (result.Payload.empty() ? "" : "; " + result.Payload);
    }
    return result.Payload;
}

// RunCaseOnce, and once more on a clock ten times slower when the camera did not start before
// the removal: on a loaded machine a control transfer of the start can run into the driver's 5 s
// limit, 50 ms of real time on the test clock. A start that fails there too is a fault.
std::string RunCase(const SessionOptions& options,
                    const std::function<std::string(CameraSession&)>& body) {
    std::string problem = RunCaseOnce(options, body);
    if (!DidNotStart(problem) || options.ClockScale <= 10) {
        return problem;
    }
    SessionOptions slower = options;
    slower.ClockScale = 10;
    problem = RunCaseOnce(slower, body);
    return DidNotStart(problem) ? problem + " on a clock ten times slower either" : problem;
}

// Whether the camera is off the bus and the driver's device for it is gone: polled, since the
// bus reports a departure from its own thread a little after the camera left.
bool RemovalCompletes(CameraSession& session) {
    auto deadline = std::chrono::steady_clock::now() +
                    std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                        std::chrono::duration<double>(kRemovalBound));
    while (std::chrono::steady_clock::now() < deadline) {
        if (session.WaitPnpIdle(kRemovalBound) && session.World().Pdo(0) == nullptr &&
            session.World().FunctionDriver()->DeviceObject == nullptr) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return false;
}

// After the camera left the bus: the requests of the case have ended (the caller joined them),
// the last handle closes, and the removal completes within the bound.
std::string CloseAndAwaitRemoval(CameraSession& session) {
    session.Close();
    if (!RemovalCompletes(session)) {
        return "the removal did not complete within " + std::to_string(kRemovalBound) +
               " s of real time";
    }
    return {};
}

// Whether the camera left the bus (a removal rule fired): the bus reports it from its own thread,
// so a departure is waited for before it counts as not coming -- `patience` of real time, or up
// to the removal bound while `settled` says the camera is not yet where it would be had no rule
// fired. A late departure is only taken for none, which ends a sequence of removal points early
// and never fails a case.
bool CameraLeft(
    CameraSession& session, double patience,
    const std::function<bool()>& settled = [] { return true; }) {
    auto start = std::chrono::steady_clock::now();
    for (;;) {
        if (session.World().Pdo(0) == nullptr) {
            return true;
        }
        auto waited = std::chrono::duration<double>(std::chrono::steady_clock::now() - start);
        if ((waited.count() > patience && settled()) || waited.count() > kRemovalBound) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

// Sends a request on its own thread; false when it has not ended within the bound.
bool RequestEnds(CameraSession& session, const RequestCase& request, NTSTATUS* status) {
    auto call = std::async(std::launch::async, [&] { return Send(session, request); });
    if (call.wait_for(std::chrono::duration<double>(kRemovalBound)) != std::future_status::ready) {
        // The request is still inside the driver: the child is ended by the case bound.
        return false;
    }
    *status = call.get();
    return true;
}

bool Started(CameraSession& session) {
    return session.PlugAndStart() == STATUS_SUCCESS && session.Open() == STATUS_SUCCESS;
}

TEST(Removal, SurpriseRemovalWithAHandleOpenAndRequestsAfterIt) {
    std::string problem = RunCase({}, [](CameraSession& s) -> std::string {
        if (!Started(s)) {
            return kDidNotStart;
        }
        s.Unplug();
        if (!s.WaitPnpIdle(kRemovalBound)) {
            return "the surprise removal did not complete";
        }
        // The handle is still open: every request now fails, none hangs.
        for (const RequestCase& request : GoodRequests(s.FrameBytes())) {
            NTSTATUS status = STATUS_PENDING;
            if (!RequestEnds(s, request, &status)) {
                return request.Name + " after the surprise removal did not end";
            }
            bool harmless = request.Code == IOCTL_TOVRIK_GET_PIPE_INFO ||
                            request.Code == IOCTL_TOVRIK_NO_OPERATION ||
                            request.Code == IOCTL_TOVRIK_GET_LAST_ERROR ||
                            request.Code == IOCTL_TOVRIK_GET_DRIVER_VERSION ||
                            request.Code == IOCTL_TOVRIK_SET_TIMEOUT ||
                            request.Code == IOCTL_TOVRIK_STOP_ISO_STREAM;
            if (!harmless && NT_SUCCESS(status)) {
                return request.Name + " to a camera that has gone answered " +
                       host::StatusName(status);
            }
        }
        return CloseAndAwaitRemoval(s);
    });
    EXPECT_EQ(problem, "");
}

// The camera leaves the bus as the `skip`-th URB of the bring-up (or of what follows) arrives.
sim::FaultRule UnplugAt(std::uint32_t skip, std::uint16_t function = 0xFFFF,
                        std::uint8_t endpoint = 0xFF) {
    sim::FaultRule rule;
    rule.What = sim::FaultRule::Kind::Unplug;
    rule.Function = function;
    rule.Endpoint = endpoint;
    rule.Skip = skip;
    rule.Times = 1;
    return rule;
}

TEST(Removal, AtEveryUrbOfTheBringUpOfAForeignCamera) {
    // Every URB of the foreign device's start (descriptors, configuration, both images record by
    // record, the CPU resets) and of the renumerated device's start, one removal point each,
    // until the camera comes up with no removal at all.
    std::size_t points = 0;
    std::vector<std::string> failures;
    for (std::uint32_t skip = 0;; ++skip) {
        SessionOptions options;
        options.Foreign = true;
        options.Faults = {UnplugAt(skip)};
        auto bringUp = [](CameraSession& s) -> std::string {
            NTSTATUS start = s.PlugAndStart();
            if (!CameraLeft(s, 0.3, [&s] { return s.CameraRunsItsProgram(); })) {
                // The rule never fired: the bring-up is over and the camera must work -- unless
                // its start failed and said so, which on a loaded machine is a control transfer
                // that ran into its time limit before the rule's URB came (RunCase tries that
                // once more on a slower clock).
                if (s.CameraRunsItsProgram()) {
                    return "LAST";
                }
                return NT_SUCCESS(start)
                           ? "the camera came up without its program"
                           : std::string(kDidNotStart) + " (" + host::StatusName(start) + ")";
            }
            return CloseAndAwaitRemoval(s);
        };
        std::string problem = RunCase(options, bringUp);
        if (std::getenv("TOVRIK_REMOVAL_VERBOSE") != nullptr) {
            std::cout << "removal at bring-up URB " << skip << ": " << problem << std::endl;
        }
        if (problem == "LAST") {
            break;
        }
        points++;
        if (!problem.empty()) {
            failures.push_back("removal at URB " + std::to_string(skip) + ": " + problem);
        }
        ASSERT_LT(skip, 5000u) << "the bring-up never completed";
    }
    std::cout << "removal points in the bring-up of a foreign camera: " << points << "\n";
    EXPECT_GT(points, 300u) << "every record of both images is a point";
    for (const std::string& failure : failures) {
        ADD_FAILURE() << failure;
    }
}

TEST(Removal, AtEveryUrbOfEachRequestCode) {
    std::size_t points = 0;
    SessionOptions defaults;
    for (const RequestCase& request :
         GoodRequests(defaults.FrameWidth * defaults.FrameHeight * 2)) {
        for (std::uint32_t skip = 0;; ++skip) {
            std::string problem = RunCase({}, [&](CameraSession& s) -> std::string {
                if (!Started(s) || (request.NeedsStream && StartStream(s) != STATUS_SUCCESS)) {
                    return kDidNotStart;
                }
                s.World().AddFault(0, UnplugAt(skip));
                NTSTATUS status = STATUS_PENDING;
                if (!RequestEnds(s, request, &status)) {
                    return "the request did not end after the removal";
                }
                bool fired = CameraLeft(s, 0.5);
                if (!fired) {
                    // No URB of the request was the skip-th: the request is done with. A stream
                    // still running is the removal's to end.
                    s.Unplug();
                }
                std::string removal = CloseAndAwaitRemoval(s);
                return removal.empty() && !fired ? "LAST" : removal;
            });
            if (problem == "LAST") {
                break;
            }
            points++;
            EXPECT_EQ(problem, "")
                << request.Name << " with the camera removed at its URB " << skip;
            if (skip > 64) {
                break; // the stream keeps sending URBs: enough points
            }
        }
    }
    std::cout << "removal points in the request codes: " << points << "\n";
}

TEST(Removal, AtEachPieceBoundaryOfAChunkedRead) {
    SessionOptions options;
    options.FrameWidth = 320;
    options.FrameHeight = 512; // 5 pieces of 64 KiB
    for (std::uint32_t piece = 0; piece < 5; ++piece) {
        std::string problem = RunCase(options, [&](CameraSession& s) -> std::string {
            if (!Started(s)) {
                return kDidNotStart;
            }
            s.World().AddFault(0, UnplugAt(piece, URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER, 0x82));
            RequestCase read{"CHUNKED_READ",
                             IOCTL_TOVRIK_CHUNKED_READ,
                             PipeIndex(kImagePipe),
                             s.FrameBytes(),
                             {}};
            NTSTATUS status = STATUS_PENDING;
            if (!RequestEnds(s, read, &status)) {
                return "the chunked read did not end after the removal";
            }
            if (NT_SUCCESS(status)) {
                return "the chunked read answered " + host::StatusName(status) +
                       " with the camera removed at piece " + std::to_string(piece);
            }
            return CloseAndAwaitRemoval(s);
        });
        EXPECT_EQ(problem, "") << "removal at piece " << piece;
    }
}

TEST(Removal, AtEachUrbOfAOneShotIsochronousRead) {
    // 64 packets, 8 per URB, 4 URBs below at once: 8 URBs in all.
    for (std::uint32_t urb = 0; urb < 8; ++urb) {
        std::string problem = RunCase({}, [&](CameraSession& s) -> std::string {
            if (!Started(s)) {
                return kDidNotStart;
            }
            s.World().AddFault(0, UnplugAt(urb, URB_FUNCTION_ISOCH_TRANSFER, 0x83));
            Bytes output(64 * (1024 + 12), 0xA5);
            auto read = std::async(std::launch::async, [&] {
                return s
                    .Call(IOCTL_TOVRIK_ISO_READ, RecordBytes(ISO_REQUEST{kIsoPipe, 1024, 64, 8, 4}),
                          output)
                    .Status;
            });
            if (read.wait_for(std::chrono::duration<double>(kRemovalBound)) !=
                std::future_status::ready) {
                return "the isochronous read did not end after the removal";
            }
            NTSTATUS status = read.get();
            if (NT_SUCCESS(status)) {
                // Packets that came before the removal may make it a success; then the packets
                // the removal cut off must say so in their descriptors.
                int failed = 0;
                for (int p = 0; p < 64; ++p) {
                    std::int32_t packetStatus;
                    std::memcpy(&packetStatus, output.data() + 64 * 1024 + 12 * p + 8, 4);
                    failed += packetStatus != 0;
                }
                if (failed == 0) {
                    return "the isochronous read answered " + host::StatusName(status) +
                           " with every packet a success, the camera removed at its URB " +
                           std::to_string(urb);
                }
            }
            return CloseAndAwaitRemoval(s);
        });
        EXPECT_EQ(problem, "") << "removal at isochronous URB " << urb;
    }
}

TEST(Removal, DuringAStreamWithAReaderInsideARead) {
    for (int round = 0; round < 4; ++round) {
        std::string problem = RunCase({}, [&](CameraSession& s) -> std::string {
            if (!Started(s) || StartStream(s) != STATUS_SUCCESS) {
                return "the stream did not start";
            }
            std::atomic<bool> stop{false};
            std::atomic<int> reads{0};
            std::thread reader([&] {
                Bytes output(16 * (1024 + 12));
                while (!stop) {
                    auto result = s.Call(IOCTL_TOVRIK_READ_ISO_STREAM,
                                         RecordBytes(ISO_REQUEST{0, 1024, 16, 0, 0}), output);
                    reads++;
                    if (!NT_SUCCESS(result.Status)) {
                        return;
                    }
                }
            });
            // Let the reader get going, so that the removal finds it inside a read.
            while (reads < 3 + round * 5) {
                std::this_thread::yield();
            }
            s.Unplug();
            bool idle = s.WaitPnpIdle(kRemovalBound);
            stop = true;
            reader.join();
            if (!idle) {
                return "the surprise removal did not complete with a reader running";
            }
            return CloseAndAwaitRemoval(s);
        });
        EXPECT_EQ(problem, "") << "round " << round;
    }
}

// The camera never answers these endpoints, and the bulk time limit is weeks: a transfer on them
// is stuck until someone aborts it.
void NeverAnswer(CameraSession& s, std::initializer_list<std::uint8_t> endpoints) {
    for (std::uint8_t endpoint : endpoints) {
        sim::FaultRule never;
        never.What = sim::FaultRule::Kind::NeverAnswer;
        never.Endpoint = endpoint;
        never.Times = 0;
        s.World().AddFault(0, never);
    }
    s.Call(IOCTL_TOVRIK_SET_TIMEOUT,
           RecordBytes(TIMEOUT_REQUEST{TOVRIK_TIMEOUT_SELECTOR_BULK, 0x7FFFFFFF}), 0);
}

// A bulk read on the status pipe (which NeverAnswer has made stuck), returned once it is below.
std::future<NTSTATUS> StuckBulkRead(CameraSession& s) {
    auto stuck = std::async(std::launch::async, [&s] {
        Bytes buffer(512);
        return s.Call(IOCTL_TOVRIK_BULK_READ, PipeIndex(kStatusPipe), buffer).Status;
    });
    while (host::IrpsInFlight() < 2) {
        std::this_thread::yield();
    }
    return stuck;
}

// Waits, in real time with a wide margin, until the device's pipe table lock is as `reached`
// wants it (a request holding it, or queued for it).
bool PipeTableReaches(CameraSession& s,
                      const std::function<bool(const host::ResourceState&)>& reached) {
    PDEVICE_EXTENSION extension = DeviceExtensionOf(s.World().FunctionDriver()->DeviceObject);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!reached(host::InspectResource(&extension->PipeTableLock))) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::yield();
    }
    return true;
}

// A request inside the device when the removal came, and whether it must have failed (one the
// removal's aborts ended) or only have ended.
struct Inside {
    std::future<NTSTATUS>* Request;
    const char* Name;
    bool MustFail;
};

// The PnP manager removes a device that is still on the bus (it was disabled): nobody below
// ends its transfers, the driver's removal must. The removal, then every request inside, must
// end within the bound; the problem, or empty.
std::string RemoveAndAwait(CameraSession& s, const std::string& behind,
                           std::initializer_list<Inside> inside) {
    PDEVICE_OBJECT pdo = s.World().Pdo(0);
    auto removal = std::async(std::launch::async, [pdo] { return host::Pnp::Remove(pdo); });
    if (removal.wait_for(std::chrono::duration<double>(kRemovalBound)) !=
        std::future_status::ready) {
        std::string problem = "the removal did not complete within " +
                              std::to_string(kRemovalBound) + " s of real time behind " + behind;
        // The requests still inside keep this case from returning until its bound ends it.
        std::cerr << problem << std::endl;
        return problem;
    }
    for (const Inside& request : inside) {
        if (request.Request->wait_for(std::chrono::duration<double>(kRemovalBound)) !=
            std::future_status::ready) {
            return std::string("the ") + request.Name + " did not end with the removal";
        }
        if (request.MustFail && NT_SUCCESS(request.Request->get())) {
            return std::string("the aborted ") + request.Name + " answered success";
        }
    }
    s.Close();
    return {};
}

std::future<NTSTATUS> SetInterface(CameraSession& s) {
    return std::async(std::launch::async, [&s] {
        return s.Call(IOCTL_TOVRIK_SET_INTERFACE, RecordBytes(INTERFACE_SELECTION{0, 0}), 0).Status;
    });
}

std::string StuckTransferThenRemoval(bool queueSetInterface) {
    return RunCase({}, [&](CameraSession& s) -> std::string {
        if (!Started(s)) {
            return kDidNotStart;
        }
        NeverAnswer(s, {0x81});
        auto stuck = StuckBulkRead(s);
        if (!queueSetInterface) {
            return RemoveAndAwait(s, "the stuck transfer", {{&stuck, "stuck transfer", true}});
        }
        auto selection = SetInterface(s);
        // The selection waits for the table behind the stuck transfer.
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        return RemoveAndAwait(
            s, "the stuck transfer and the waiting set-interface",
            {{&stuck, "stuck transfer", true}, {&selection, "set-interface", false}});
    });
}

TEST(Removal, OfADeviceWithATransferStuckBelow) {
    EXPECT_EQ(StuckTransferThenRemoval(false), "");
}

TEST(Removal, OfADeviceWithASetInterfaceQueuedBehindAStuckTransfer) {
    EXPECT_EQ(StuckTransferThenRemoval(true), "");
}

// Chunked reads of one device run one at a time: a second one waits inside the gate for the
// first. When the removal's aborts end the first, the second goes on and hands its pieces down
// after the aborts, on a pipe the camera never answers, with a time limit of weeks: nobody but the
// removal can end it, and the removal waits for it.
TEST(Removal, OfADeviceWithAChunkedReadQueuedBehindAStuckOne) {
    std::string problem = RunCase({}, [&](CameraSession& s) -> std::string {
        if (!Started(s)) {
            return kDidNotStart;
        }
        NeverAnswer(s, {0x81});
        auto chunkedRead = [&] {
            Bytes buffer(3 * 65536);
            return s.Call(IOCTL_TOVRIK_CHUNKED_READ, PipeIndex(kStatusPipe), buffer).Status;
        };
        auto first = std::async(std::launch::async, chunkedRead);
        // Until its pieces are below.
        while (host::IrpsInFlight() < 4) {
            std::this_thread::yield();
        }
        auto second = std::async(std::launch::async, chunkedRead);
        // The second holds the pipe table too, on its way to wait for the first.
        if (!PipeTableReaches(s, [](const host::ResourceState& r) { return r.Holders >= 2; })) {
            return std::string("the second chunked read never came to the pipe table");
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        return RemoveAndAwait(
            s, "a chunked read queued behind a stuck one",
            {{&first, "first chunked read", true}, {&second, "second chunked read", true}});
    });
    EXPECT_EQ(problem, "");
}

// A stream start that waits for the pipe table behind a set-interface, itself queued behind a
// stuck transfer: the removal's aborts end the transfer, the selection goes through, and the
// start then sends its URBs after the aborts, to an isochronous endpoint that sends nothing. The
// stream must end with the removal like one that was running when it began.
TEST(Removal, OfADeviceWithAStreamStartQueuedBehindASetInterface) {
    std::string problem = RunCase({}, [&](CameraSession& s) -> std::string {
        if (!Started(s)) {
            return kDidNotStart;
        }
        NeverAnswer(s, {0x81, 0x83});
        auto stuck = StuckBulkRead(s);
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        auto selection = SetInterface(s);
        if (!PipeTableReaches(
                s, [](const host::ResourceState& r) { return r.ExclusiveWaiters == 1; })) {
            return std::string("the set-interface never queued for the pipe table");
        }
        auto start = std::async(std::launch::async, [&] {
            return s
                .Call(IOCTL_TOVRIK_START_ISO_STREAM,
                      RecordBytes(ISO_REQUEST{kIsoPipe, 1024, 64, 8, 4}), 0)
                .Status;
        });
        if (!PipeTableReaches(s,
                              [](const host::ResourceState& r) { return r.SharedWaiters == 1; })) {
            return std::string("the stream start never queued for the pipe table");
        }
        return RemoveAndAwait(s, "a stream started after its aborts",
                              {{&stuck, "stuck transfer", true},
                               {&selection, "set-interface", false},
                               {&start, "stream start", false}});
    });
    EXPECT_EQ(problem, "");
}

} // namespace
} // namespace tovrik_faults
