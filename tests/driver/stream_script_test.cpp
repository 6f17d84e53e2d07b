// The stream over a scripted bus that answers every URB inside the call that sent it: the
// start's own thread then keeps the slots going, and a stop must still get in.
#include "support/camera_script.h"
#include "support/driver_test.h"
#include "support/request_bytes.h"

#include "tovrik/tovrik.h"

#include <atomic>
#include <chrono>
#include <future>
#include <thread>

namespace tovrik_test {
namespace {

constexpr ULONG kIsoInPipe = 3;

class StreamScriptTest : public ScriptedCameraTest {
  protected:
    void SetUp() override {
        ScriptedCameraTest::SetUp();
        PlugAndOpen();
    }

    UrbReply Answer(PURB urb) override {
        if (urb->UrbHeader.Function == URB_FUNCTION_ISOCH_TRANSFER) {
            // Every URB finishes before the call that sent it returns, with all its packets.
            // After kAtOnce of them the bus refuses the rest, so that a start nothing else
            // ended comes back anyway and the test can tell.
            if (++isoUrbs_ <= kAtOnce) {
                auto& iso = urb->UrbIsochronousTransfer;
                for (ULONG j = 0; j < iso.NumberOfPackets; j++) {
                    iso.IsoPacket[j].Status = USBD_STATUS_SUCCESS;
                }
                return UrbReply{UrbReply::When::Now, STATUS_SUCCESS, USBD_STATUS_SUCCESS};
            }
            return UrbReply{UrbReply::When::Now, STATUS_INVALID_PARAMETER,
                            USBD_STATUS_INVALID_PARAMETER};
        }
        return ScriptedCameraTest::Answer(urb);
    }

    static constexpr int kAtOnce = 200000;
    std::atomic<int> isoUrbs_{0};
};

TEST_F(StreamScriptTest, AStopEndsAStartWhoseBusAnswersEveryUrbInTheSubmittingCall) {
    auto start = std::async(std::launch::async, [&] {
        return host::FrontEnd::DeviceIoControl(handle_, IOCTL_TOVRIK_START_ISO_STREAM,
                                               RecordBytes(ISO_REQUEST{kIsoInPipe, 64, 64, 8, 2}),
                                               0)
            .Status;
    });
    // The start's thread is resubmitting once the bus has answered more URBs than it has slots.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (isoUrbs_.load() < 100 && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::yield();
    }
    ASSERT_GE(isoUrbs_.load(), 100);

    const NTSTATUS stop =
        host::FrontEnd::DeviceIoControl(handle_, IOCTL_TOVRIK_STOP_ISO_STREAM, {}, 0).Status;
    EXPECT_EQ(stop, STATUS_SUCCESS) << host::StatusName(stop);
    ASSERT_EQ(start.wait_for(std::chrono::seconds(30)), std::future_status::ready);
    EXPECT_EQ(start.get(), STATUS_SUCCESS);
    EXPECT_LT(isoUrbs_.load(), kAtOnce) << "the start came back only when the bus stopped "
                                           "answering at once, not at the stop";
}

} // namespace
} // namespace tovrik_test
