// A device that stops answering: every control transfer's wait ends after 5 s with a time-out,
// and an abort or a removal still gets through while an interface selection waits behind the
// transfer that hangs (the abort being what ends that transfer).
#include "bringup.h"

#include "tovrik/tovrik.h"

#include <atomic>
#include <chrono>
#include <future>
#include <thread>

namespace tovrik_test {
namespace {

const USBD_PIPE_HANDLE kPipe0 = reinterpret_cast<USBD_PIPE_HANDLE>(0x7E000001ull);
const USBD_PIPE_HANDLE kStatusPipe = reinterpret_cast<USBD_PIPE_HANDLE>(0x7E000081ull);

// A guard against a hang, in real time and wide: far beyond what any of these steps takes.
constexpr auto kHangGuard = std::chrono::seconds(20);

std::vector<std::uint8_t> Ulong(std::uint32_t value) {
    return {static_cast<std::uint8_t>(value), static_cast<std::uint8_t>(value >> 8),
            static_cast<std::uint8_t>(value >> 16), static_cast<std::uint8_t>(value >> 24)};
}

// Matches the first URB that `pick` accepts, and only that one.
std::function<bool(PURB)> FirstOf(std::function<bool(PURB)> pick) {
    auto taken = std::make_shared<std::atomic<bool>>(false);
    return
        [pick = std::move(pick), taken](PURB urb) { return pick(urb) && !taken->exchange(true); };
}

bool OnPipe(PURB urb, USBD_PIPE_HANDLE pipe) {
    return urb->UrbHeader.Function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER &&
           urb->UrbBulkOrInterruptTransfer.PipeHandle == pipe;
}

class StuckDeviceTest : public OpenedCameraTest {
  protected:
    // The statuses the stuck read and the queued selection came back with.
    struct Outcome {
        NTSTATUS Read = STATUS_PENDING;
        NTSTATUS Select = STATUS_PENDING;
    };

    // A read on the status pipe hangs with a time limit of a day; an interface selection queues
    // for the pipe table behind it; then `end` (an abort of that pipe, or the removal of the
    // device) must get through, since it is what ends the hanging read. Waiting behind the
    // selection, it would wait out the day (hours of real time here); the hang guard tells the
    // two apart.
    void EndAStuckReadBehindAQueuedSelection(const std::function<void()>& end, Outcome& outcome);
};

TEST_F(StuckDeviceTest, AControlTransferTheDeviceNeverAnswersEndsAfterFiveSeconds) {
    // Slow enough that the completions of the bus's thread never come near the limit.
    host::Clock::SetScale(50);
    struct Case {
        const char* Label;
        std::function<bool(PURB)> Pick;
        ULONG Code;
        std::vector<std::uint8_t> Input;
        NTSTATUS Status;
    };
    VENDOR_DEVICE_REQUEST write{0xA0, 0, 0x3000, 0, 3, 0, 0};
    std::vector<std::uint8_t> record(sizeof(write));
    std::memcpy(record.data(), &write, sizeof(write));
    const Case cases[] = {
        {"a vendor request",
         [](PURB urb) { return urb->UrbHeader.Function == URB_FUNCTION_VENDOR_DEVICE; },
         IOCTL_TOVRIK_VENDOR_REQUEST, record, STATUS_IO_TIMEOUT},
        // The camera's program held in reset takes no command: the read's start command times
        // out, and so does the read, without waiting out its own limit for data never coming.
        {"the start command of an image read", [](PURB urb) { return OnPipe(urb, kPipe0); },
         IOCTL_TOVRIK_BULK_READ, Ulong(2), STATUS_IO_TIMEOUT},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Label);
        UrbHold hold(pdo_, FirstOf(c.Pick));
        const LONGLONG before = host::Clock::Now();
        auto call = std::async(std::launch::async, [&] { return Ioctl(c.Code, c.Input, 64); });
        ASSERT_TRUE(hold.WaitUntilCancelled());
        EXPECT_GE(host::Clock::Now() - before, 5 * kSecond) << "the limit is 5 s of kernel time";
        // Cancelled, but the request does not end before the URB is back.
        EXPECT_EQ(call.wait_for(std::chrono::milliseconds(1)), std::future_status::timeout);
        hold.Complete(STATUS_CANCELLED, USBD_STATUS_CANCELED);
        ASSERT_EQ(call.wait_for(kHangGuard), std::future_status::ready);
        EXPECT_EQ(call.get().Status, c.Status);
        EXPECT_EQ(Extension(pdo_)->LastUsbdStatus, USBD_STATUS_CANCELED);
    }
}

void StuckDeviceTest::EndAStuckReadBehindAQueuedSelection(const std::function<void()>& end,
                                                          Outcome& outcome) {
    host::Clock::SetScale(100);
    UrbHold hold(pdo_, FirstOf([](PURB urb) { return OnPipe(urb, kStatusPipe); }));
    std::atomic<bool> ended{false};
    auto endTheRead = [&] {
        if (!ended.exchange(true)) {
            hold.Complete(STATUS_CANCELLED, USBD_STATUS_CANCELED);
        }
    };
    // The bus ends the pipe's transfers when it is aborted, as a host controller does.
    Override = [&](PURB urb) -> std::optional<UrbReply> {
        if (urb->UrbHeader.Function == URB_FUNCTION_ABORT_PIPE &&
            urb->UrbPipeRequest.PipeHandle == kStatusPipe) {
            endTheRead();
        }
        return std::nullopt;
    };
    // It answers from this frame's locals: gone with them, whichever way this returns.
    struct OverrideReset {
        std::function<std::optional<UrbReply>(PURB)>& Hook;
        ~OverrideReset() { Hook = nullptr; }
    } reset{Override};

    // The stuck read's own limit is a day: only the abort can end it.
    BulkTimeoutMs = 24LL * 60 * 60 * 1000;
    auto read =
        std::async(std::launch::async, [&] { return Ioctl(IOCTL_TOVRIK_BULK_READ, Ulong(1), 64); });
    ASSERT_TRUE(hold.WaitUntilHeld());
    const std::vector<std::uint8_t> firstSetting = {0, 0};
    auto select = std::async(std::launch::async,
                             [&] { return Ioctl(IOCTL_TOVRIK_SET_INTERFACE, firstSetting); });

    // Wait (bounded) until the selection is queued for exclusive access.
    const auto queuedBy = std::chrono::steady_clock::now() + kHangGuard;
    while (__atomic_load_n(&extension_->PipeTableLock.NumberOfExclusiveWaiters, __ATOMIC_ACQUIRE) ==
               0 &&
           std::chrono::steady_clock::now() < queuedBy) {
        std::this_thread::yield();
    }
    ASSERT_GT(extension_->PipeTableLock.NumberOfExclusiveWaiters, 0u);

    auto ending = std::async(std::launch::async, end);
    if (ending.wait_for(kHangGuard) != std::future_status::ready) {
        ADD_FAILURE() << "it never got past the queued selection";
        endTheRead();
        ending.wait();
    }
    ASSERT_EQ(read.wait_for(kHangGuard), std::future_status::ready);
    outcome.Read = read.get().Status;
    ASSERT_EQ(select.wait_for(kHangGuard), std::future_status::ready);
    outcome.Select = select.get().Status;
}

TEST_F(StuckDeviceTest, AnAbortGetsPastASelectionQueuedBehindAStuckTransfer) {
    NTSTATUS abort = STATUS_PENDING;
    Outcome outcome;
    EndAStuckReadBehindAQueuedSelection(
        [&] { abort = Ioctl(IOCTL_TOVRIK_ABORT_PIPE, Ulong(1)).Status; }, outcome);
    EXPECT_EQ(abort, STATUS_SUCCESS);
    EXPECT_EQ(outcome.Read, STATUS_CANCELLED) << "ended by the abort";
    EXPECT_EQ(outcome.Select, STATUS_SUCCESS);
}

TEST_F(StuckDeviceTest, ARemovalGetsPastASelectionQueuedBehindAStuckTransfer) {
    host::RequestResult removal;
    Outcome outcome;
    EndAStuckReadBehindAQueuedSelection([&] { removal = Unplug(pdo_); }, outcome);
    EXPECT_EQ(removal.Status, STATUS_SUCCESS);
    EXPECT_EQ(outcome.Read, STATUS_CANCELLED);
}

} // namespace
} // namespace tovrik_test
