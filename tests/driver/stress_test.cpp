// Many callers at once, every kind of transfer, interface changes, and the camera removed at a
// random moment: every request ends, nothing is left behind, and no completion touches a device
// that is gone. Run under the sanitizer builds as well.
#include "support/world_test.h"

#include <atomic>
#include <random>
#include <thread>

namespace tovrik_test {
namespace {

class StressTest : public WorldTest {};

bool DeviceGone(NTSTATUS status) {
    return status == STATUS_DEVICE_REMOVED || status == STATUS_DELETE_PENDING;
}

TEST_F(StressTest, MixedTransfersWhileTheCameraIsRemovedAtARandomMoment) {
    for (unsigned round = 0; round < 3; round++) {
        SCOPED_TRACE(round);
        StartWorld(OwnCameras());
        host::Clock::SetScale(20);
        BulkTimeoutMs = 500;

        std::atomic<bool> gone{false};
        std::atomic<int> requests{0};
        auto worker = [&](auto body) {
            return std::thread([&, body] {
                while (!gone.load()) {
                    NTSTATUS status = body();
                    requests++;
                    if (DeviceGone(status)) {
                        return;
                    }
                }
            });
        };
        std::vector<std::thread> threads;
        threads.push_back(worker([&] {
            Bytes buffer(64 * 1024);
            return Call(IOCTL_TOVRIK_BULK_READ, PipeIndex(2), buffer).Status;
        }));
        threads.push_back(worker([&] {
            Bytes buffer(300000);
            return Call(IOCTL_TOVRIK_CHUNKED_READ, PipeIndex(2), buffer).Status;
        }));
        threads.push_back(worker([&] {
            Bytes buffer(32 * (1024 + 12));
            return Call(IOCTL_TOVRIK_ISO_READ, RecordBytes(ISO_REQUEST{3, 1024, 32, 8, 2}), buffer)
                .Status;
        }));
        threads.push_back(worker([&] {
            NTSTATUS status =
                Call(IOCTL_TOVRIK_START_ISO_STREAM, RecordBytes(ISO_REQUEST{3, 1024, 64, 8, 4}), 0)
                    .Status;
            if (DeviceGone(status)) {
                return status;
            }
            Bytes buffer(16 * (1024 + 12));
            for (int i = 0; i < 5; i++) {
                status = Call(IOCTL_TOVRIK_READ_ISO_STREAM,
                              RecordBytes(ISO_REQUEST{0, 1024, 16, 0, 0}), buffer)
                             .Status;
                if (DeviceGone(status)) {
                    return status;
                }
            }
            return Call(IOCTL_TOVRIK_STOP_ISO_STREAM, {}, 0).Status;
        }));
        threads.push_back(worker([&] {
            return Call(IOCTL_TOVRIK_SET_INTERFACE, {0, 0}, 0).Status;
        }));
        threads.push_back(worker([&] { return Call(IOCTL_TOVRIK_GET_PIPE_INFO, {}, 256).Status; }));

        std::mt19937 random(1234 + round);
        std::this_thread::sleep_for(std::chrono::milliseconds(20 + random() % 60));
        world_->Unplug(0);
        host::Pnp::WaitIdle();
        gone = true;
        for (auto& thread : threads) {
            thread.join();
        }
        EXPECT_GT(requests.load(), 6);
        host::FrontEnd::Close(handle_);
        handle_ = 0;
        world_.reset();
    }
}

} // namespace
} // namespace tovrik_test
