// URB submission: the result rule, the time limit and its cancellation, a request the platform
// cannot build, the port requests and the command packet on pipe 0, as exact conversations with
// the scripted bus.
#include "bringup.h"
#include "support/requested_waits.h"

#include <atomic>
#include <thread>

namespace tovrik_test {
namespace {

constexpr USBD_STATUS kEarlierError = USBD_STATUS_XACT_ERROR;
const USBD_PIPE_HANDLE kPipe0 = reinterpret_cast<USBD_PIPE_HANDLE>(0x7E000001ull);
const USBD_PIPE_HANDLE kImagePipe = reinterpret_cast<USBD_PIPE_HANDLE>(0x7E000082ull);

// A bulk read of 512 bytes on the image pipe, the kind of URB the time limit guards.
struct BulkUrb {
    BulkUrb() {
        urb = AllocateUrb(sizeof(_URB_BULK_OR_INTERRUPT_TRANSFER),
                          URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER);
        urb->UrbBulkOrInterruptTransfer.PipeHandle = kImagePipe;
        urb->UrbBulkOrInterruptTransfer.TransferFlags =
            USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK;
        urb->UrbBulkOrInterruptTransfer.TransferBuffer = data;
        urb->UrbBulkOrInterruptTransfer.TransferBufferLength = sizeof(data);
    }
    ~BulkUrb() { ExFreePool(urb); }
    PURB urb;
    std::uint8_t data[512] = {};
};

bool IsImageTransfer(PURB urb) {
    return urb->UrbHeader.Function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER &&
           urb->UrbBulkOrInterruptTransfer.PipeHandle == kImagePipe;
}

class SubmitTest : public StartedCameraTest {
  protected:
    void SetUp() override {
        StartedCameraTest::SetUp();
        // Real-time pace from here on: a 3 s limit must not run out while a completion from the
        // bus's other thread is on its way. Tests that measure the limit slow the clock less.
        host::Clock::SetScale(1);
    }

    // The command packets (bulk URBs on pipe 0) the bus saw, with their bytes.
    std::vector<SeenRequest> Commands() {
        std::vector<SeenRequest> commands;
        for (const SeenRequest& urb : Urbs(URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER)) {
            if (urb.As<_URB_BULK_OR_INTERRUPT_TRANSFER>().PipeHandle == kPipe0) {
                commands.push_back(urb);
            }
        }
        return commands;
    }

    NTSTATUS SendCommand(BOOLEAN end) {
        PipeTableLockShared(extension_);
        NTSTATUS status = SendPipeZeroCommand(fdo_, end);
        PipeTableUnlock(extension_);
        return status;
    }

    NTSTATUS SubmitWithTimeout(PURB urb, BOOLEAN end) {
        PipeTableLockShared(extension_);
        NTSTATUS endStatus = STATUS_PENDING;
        NTSTATUS status = SubmitUrbWithTimeout(fdo_, urb, end ? &endStatus : nullptr);
        if (end) {
            EXPECT_NE(endStatus, STATUS_PENDING) << "the end command's status is reported";
        }
        PipeTableUnlock(extension_);
        return status;
    }
};

TEST_F(SubmitTest, TheResultRuleJoinsRequestAndUrbStatus) {
    struct Case {
        const char* Label;
        NTSTATUS Request;
        USBD_STATUS Urb;
        NTSTATUS Result;
        USBD_STATUS LastAfter;
    };
    const Case cases[] = {
        {"request succeeds, URB stalled", STATUS_SUCCESS, USBD_STATUS_STALL_PID,
         STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID},
        {"both fail: the request's error wins, the URB's is kept", STATUS_DEVICE_NOT_CONNECTED,
         USBD_STATUS_DEV_NOT_RESPONDING, STATUS_DEVICE_NOT_CONNECTED,
         USBD_STATUS_DEV_NOT_RESPONDING},
        {"both succeed: the earlier error stays", STATUS_SUCCESS, USBD_STATUS_SUCCESS,
         STATUS_SUCCESS, kEarlierError},
        {"request fails, URB clean", STATUS_INSUFFICIENT_RESOURCES, USBD_STATUS_SUCCESS,
         STATUS_INSUFFICIENT_RESOURCES, kEarlierError},
        {"a warning-class request status with a URB error", STATUS_TIMEOUT, USBD_STATUS_CRC,
         STATUS_UNSUCCESSFUL, USBD_STATUS_CRC},
        {"a warning-class request status alone is the result", STATUS_TIMEOUT, USBD_STATUS_SUCCESS,
         STATUS_TIMEOUT, kEarlierError},
        {"a negative non-error-class USBD status counts as an error", STATUS_SUCCESS,
         USBD_STATUS_INVALID_PARAMETER, STATUS_UNSUCCESSFUL, USBD_STATUS_INVALID_PARAMETER},
    };
    for (const Case& c : cases) {
        for (UrbReply::When when : {UrbReply::When::Now, UrbReply::When::Later}) {
            SCOPED_TRACE(std::string(c.Label) +
                         (when == UrbReply::When::Now ? ", completed at once" : ", pended"));
            Override = [reply = UrbReply{when, c.Request, c.Urb}](PURB) { return reply; };
            extension_->LastUsbdStatus = kEarlierError;

            PURB urb = AllocateUrb(sizeof(_URB_GET_CURRENT_FRAME_NUMBER),
                                   URB_FUNCTION_GET_CURRENT_FRAME_NUMBER);
            EXPECT_EQ(SubmitUrb(fdo_, urb), c.Result);
            EXPECT_EQ(extension_->LastUsbdStatus, c.LastAfter);
            ExFreePool(urb);

            BulkUrb bulk;
            extension_->LastUsbdStatus = kEarlierError;
            EXPECT_EQ(SubmitWithTimeout(bulk.urb, FALSE), c.Result)
                << "the time-limited path, same rule";
            EXPECT_EQ(extension_->LastUsbdStatus, c.LastAfter);
        }
    }
}

TEST_F(SubmitTest, ARequestThePlatformCannotBuildSendsNothingAndLeavesTheLastErrorAlone) {
    struct Case {
        const char* Label;
        std::function<NTSTATUS()> Call;
    };
    PURB urb =
        AllocateUrb(sizeof(_URB_GET_CURRENT_FRAME_NUMBER), URB_FUNCTION_GET_CURRENT_FRAME_NUMBER);
    // A stale error in the header must not be taken for this attempt's.
    urb->UrbHeader.Status = USBD_STATUS_STALL_PID;
    BulkUrb bulk;
    bulk.urb->UrbHeader.Status = USBD_STATUS_STALL_PID;
    bus_.PortStatus = USBD_PORT_CONNECTED;
    const Case cases[] = {
        {"SubmitUrb", [&] { return SubmitUrb(fdo_, urb); }},
        {"SubmitUrbWithTimeout", [&] { return SubmitWithTimeout(bulk.urb, FALSE); }},
        {"ResetPort", [&] { return ResetPort(fdo_); }},
        {"ResetPortIfDisabled", [&] { return ResetPortIfDisabled(fdo_); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Label);
        extension_->LastUsbdStatus = kEarlierError;
        host::FaultInjection::FailNth(1, host::AllocationKind::Irp);
        EXPECT_EQ(c.Call(), STATUS_INSUFFICIENT_RESOURCES);
        EXPECT_TRUE(bus_.Seen().empty());
        EXPECT_EQ(extension_->LastUsbdStatus, kEarlierError);
        host::FaultInjection::Reset();
    }

    // A command that cannot go sends nothing.
    host::FaultInjection::FailNth(1, host::AllocationKind::Irp);
    EXPECT_EQ(SendCommand(FALSE), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_TRUE(bus_.Seen().empty());
    ExFreePool(urb);
}

TEST_F(SubmitTest, ATimedOutUrbIsCancelledAfterThreeSecondsAndWaitedFor) {
    // Slow enough that scheduling noise is small against the 3 s being measured.
    host::Clock::SetScale(50);
    struct Case {
        const char* Label;
        NTSTATUS CompleteWith;
        USBD_STATUS UrbStatus;
        NTSTATUS Result;
    };
    const Case cases[] = {
        {"cancelled URB carries an error", STATUS_CANCELLED, USBD_STATUS_CANCELED,
         STATUS_UNSUCCESSFUL},
        {"the transfer ended cleanly as it was cancelled", STATUS_SUCCESS, USBD_STATUS_SUCCESS,
         STATUS_TIMEOUT},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Label);
        UrbHold hold(pdo_, IsImageTransfer);
        BulkUrb bulk;
        std::atomic<bool> returned{false};
        NTSTATUS result = STATUS_PENDING;

        const LONGLONG before = host::Clock::Now();
        const std::size_t mark = RequestedWaits::Mark();
        std::thread caller([&] {
            result = SubmitWithTimeout(bulk.urb, FALSE);
            returned = true;
        });
        ASSERT_TRUE(hold.WaitUntilCancelled());
        const LONGLONG elapsed = host::Clock::Now() - before;
        EXPECT_GE(elapsed, 3 * kSecond);
        // The time limit the driver asked for (how much later a loaded machine woke it is not
        // the driver's doing).
        const std::vector<LONGLONG> limits =
            RequestedWaits::Relative(mark, RequestedWait::Kind::Wait);
        ASSERT_FALSE(limits.empty());
        EXPECT_EQ(limits.front(), 3 * kSecond);
        // The request is cancelled but still below: the caller's URB and buffer are in use.
        EXPECT_FALSE(returned.load());
        hold.Complete(c.CompleteWith, c.UrbStatus);
        caller.join();
        EXPECT_EQ(result, c.Result);
    }
    EXPECT_EQ(extension_->LastUsbdStatus, USBD_STATUS_CANCELED);
}

TEST_F(SubmitTest, AZeroOrNegativeLimitCancelsAPendingUrbAtOnce) {
    host::Clock::SetScale(10);
    Override = [](PURB urb) -> std::optional<UrbReply> {
        if (IsImageTransfer(urb)) {
            return UrbReply{UrbReply::When::Never};
        }
        return std::nullopt;
    };
    for (LONG64 limit : {LONG64{0}, LONG64{-1}, LONG64{-5000}}) {
        SCOPED_TRACE("BulkTimeoutMs " + std::to_string(limit));
        BulkTimeoutMs = limit;
        BulkUrb bulk;
        const std::size_t mark = RequestedWaits::Mark();
        EXPECT_EQ(SubmitWithTimeout(bulk.urb, FALSE), STATUS_UNSUCCESSFUL);
        for (LONGLONG limit : RequestedWaits::Relative(mark, RequestedWait::Kind::Wait))
            EXPECT_EQ(limit, 0) << "no time limit to wait out";
        EXPECT_EQ(bus_.Pending(), 0u);
        EXPECT_EQ(bulk.urb->UrbHeader.Status, USBD_STATUS_CANCELED);
    }
}

TEST_F(SubmitTest, TheEndCommandFollowsTheUrbAtOnceWhetherItCompletedOrNot) {
    // Completed at once: the end command still goes.
    {
        BulkUrb bulk;
        EXPECT_EQ(SubmitWithTimeout(bulk.urb, TRUE), STATUS_SUCCESS);
        std::vector<SeenRequest> seen = bus_.Seen();
        ASSERT_EQ(seen.size(), 2u);
        EXPECT_EQ(seen[0].As<_URB_BULK_OR_INTERRUPT_TRANSFER>().PipeHandle, kImagePipe);
        EXPECT_EQ(seen[1].As<_URB_BULK_OR_INTERRUPT_TRANSFER>().PipeHandle, kPipe0);
        EXPECT_EQ(seen[1].OutData.at(0), COMMAND_END_FRAME);
    }
    bus_.ClearSeen();
    // Still pending: the end command is out before the wait, while the transfer is below.
    {
        UrbHold hold(pdo_, IsImageTransfer);
        BulkUrb bulk;
        NTSTATUS result = STATUS_PENDING;
        std::thread thread([&] { result = SubmitWithTimeout(bulk.urb, TRUE); });
        ASSERT_TRUE(hold.WaitUntilHeld());
        for (int spin = 0; Commands().empty() && spin < 1'000'000; spin++) {
            std::this_thread::yield();
        }
        ASSERT_EQ(Commands().size(), 1u);
        EXPECT_FALSE(hold.Cancelled());
        hold.Complete(STATUS_SUCCESS, USBD_STATUS_SUCCESS);
        thread.join();
        EXPECT_EQ(result, STATUS_SUCCESS);
    }
}

TEST_F(SubmitTest, PortResetOnlyForAConnectedPortThatIsNotEnabled) {
    struct Case {
        const char* Label;
        ULONG Port;
        NTSTATUS StatusResult;
        bool Reset;
        NTSTATUS Result;
    };
    const NTSTATUS resetResult = STATUS_DEVICE_BUSY;
    const Case cases[] = {
        {"connected and enabled", USBD_PORT_CONNECTED | USBD_PORT_ENABLED, STATUS_SUCCESS, false,
         STATUS_SUCCESS},
        {"not connected", 0, STATUS_SUCCESS, false, STATUS_SUCCESS},
        {"enabled without connection", USBD_PORT_ENABLED, STATUS_SUCCESS, false, STATUS_SUCCESS},
        {"connected, not enabled", USBD_PORT_CONNECTED, STATUS_SUCCESS, true, resetResult},
        {"the status request fails", USBD_PORT_CONNECTED, STATUS_DEVICE_NOT_CONNECTED, false,
         STATUS_DEVICE_NOT_CONNECTED},
    };
    bus_.ResetPortResult = resetResult;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Label);
        bus_.ClearSeen();
        bus_.PortStatus = c.Port;
        bus_.PortStatusResult = c.StatusResult;
        EXPECT_EQ(ResetPortIfDisabled(fdo_), c.Result);
        std::vector<ULONG> codes;
        for (const SeenRequest& request : bus_.Seen()) {
            codes.push_back(request.IoControlCode);
        }
        std::vector<ULONG> expected = {IOCTL_INTERNAL_USB_GET_PORT_STATUS};
        if (c.Reset) {
            expected.push_back(IOCTL_INTERNAL_USB_RESET_PORT);
        }
        EXPECT_EQ(codes, expected);
    }
    bus_.ClearSeen();
    EXPECT_EQ(ResetPort(fdo_), resetResult) << "the bare reset asks nothing first";
    ASSERT_EQ(bus_.Seen().size(), 1u);
    EXPECT_EQ(bus_.Seen()[0].IoControlCode, IOCTL_INTERNAL_USB_RESET_PORT);
}

TEST_F(SubmitTest, CommandPacketsAreSixtyFourBytesWithTheCommandInByteZero) {
    EXPECT_EQ(SendCommand(FALSE), STATUS_SUCCESS);
    EXPECT_EQ(SendCommand(TRUE), STATUS_SUCCESS);
    std::vector<SeenRequest> commands = Commands();
    ASSERT_EQ(commands.size(), 2u);
    for (std::size_t i = 0; i < 2; i++) {
        auto urb = commands[i].As<_URB_BULK_OR_INTERRUPT_TRANSFER>();
        EXPECT_EQ(urb.Hdr.Length, 128u);
        EXPECT_EQ(urb.TransferFlags, static_cast<ULONG>(USBD_SHORT_TRANSFER_OK))
            << "pipe 0 is an OUT endpoint";
        EXPECT_EQ(urb.TransferBufferLength, 64u);
        EXPECT_EQ(urb.TransferBufferMDL, nullptr);
        EXPECT_EQ(urb.UrbLink, nullptr);
        ASSERT_EQ(commands[i].OutData.size(), 64u);
        EXPECT_EQ(commands[i].OutData[0], i == 0 ? COMMAND_START_FRAME : COMMAND_END_FRAME);
    }
}

TEST_F(SubmitTest, ACommandThatFailsOrTimesOutSaysSo) {
    struct Case {
        const char* Label;
        UrbReply Reply;
        NTSTATUS Result;
    };
    const Case cases[] = {
        {"stalled",
         {UrbReply::When::Now, STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID},
         STATUS_UNSUCCESSFUL},
        {"URB error under a successful request",
         {UrbReply::When::Later, STATUS_SUCCESS, USBD_STATUS_CRC},
         STATUS_UNSUCCESSFUL},
        {"the bus reports a time-out",
         {UrbReply::When::Now, STATUS_TIMEOUT, USBD_STATUS_SUCCESS},
         STATUS_IO_TIMEOUT},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Label);
        Override = [reply = c.Reply](PURB) { return reply; };
        EXPECT_EQ(SendCommand(FALSE), c.Result);
    }
    Override = nullptr;
    // Without pool for the packet or for its URB nothing goes and nothing is left behind.
    for (std::uint64_t nth : {1, 2}) {
        bus_.ClearSeen();
        host::FaultInjection::FailNth(nth, host::AllocationKind::Pool);
        EXPECT_EQ(SendCommand(FALSE), STATUS_NO_MEMORY);
        EXPECT_TRUE(bus_.Seen().empty());
        host::FaultInjection::Reset();
    }
}

TEST_F(SubmitTest, WithoutAPipeZeroNoCommandIsSent) {
    // Alternate setting 1 has no endpoints: a table, but no pipe 0.
    ASSERT_EQ(SelectAlternateInterface(fdo_, 0, 1), STATUS_SUCCESS);
    ASSERT_EQ(extension_->InterfaceInfo->NumberOfPipes, 0u);
    bus_.ClearSeen();
    EXPECT_EQ(SendCommand(FALSE), STATUS_UNSUCCESSFUL);
    EXPECT_TRUE(bus_.Seen().empty());
}

class CommandInTest : public BringupTest {};

TEST_F(CommandInTest, OnAnInPipeZeroTheCommandIsAnInTransfer) {
    script_.Configuration =
        ConfigurationBytes({{0, 0, {{0x81, 2, 512}, {0x02, 2, 512}, {0x82, 2, 512}}}});
    PDEVICE_OBJECT pdo = PlugStarted();
    bus_.ClearSeen();
    Override = [](PURB urb) -> std::optional<UrbReply> {
        if (urb->UrbHeader.Function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER) {
            urb->UrbBulkOrInterruptTransfer.TransferBufferLength = 10;
        }
        return std::nullopt;
    };
    PipeTableLockShared(Extension(pdo));
    EXPECT_EQ(SendPipeZeroCommand(Fdo(pdo), TRUE), STATUS_SUCCESS);
    PipeTableUnlock(Extension(pdo));
    std::vector<SeenRequest> seen = Urbs(URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER);
    ASSERT_EQ(seen.size(), 1u);
    auto urb = seen[0].As<_URB_BULK_OR_INTERRUPT_TRANSFER>();
    EXPECT_EQ(urb.TransferFlags,
              static_cast<ULONG>(USBD_SHORT_TRANSFER_OK | USBD_TRANSFER_DIRECTION_IN));
    EXPECT_EQ(urb.TransferBufferLength, 64u);
    EXPECT_EQ(urb.PipeHandle, reinterpret_cast<USBD_PIPE_HANDLE>(0x7E000081ull));
}

} // namespace
} // namespace tovrik_test
