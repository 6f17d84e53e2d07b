// Requests as a driver sees them: stack locations, the order and arguments of completion
// routines, STATUS_MORE_PROCESSING_REQUIRED, the pending flag, threaded requests, and reuse.
#include "test_driver.h"

#include <future>
#include <optional>
#include <thread>

using namespace hktest;

namespace {

TEST(Requests, FreshIrpHasItsLocationsRightAfterItAndNoCurrentOne) {
    PIRP irp = IoAllocateIrp(3, FALSE);
    ASSERT_NE(irp, nullptr);
    EXPECT_EQ(irp->StackCount, 3);
    EXPECT_EQ(irp->CurrentLocation, 4);
    auto* first = reinterpret_cast<PIO_STACK_LOCATION>(irp + 1);
    EXPECT_EQ(IoGetNextIrpStackLocation(irp), first + 2);
    EXPECT_EQ(irp->Size, IoSizeOfIrp(3));
    EXPECT_EQ(host::IrpState(irp), "allocated");
    IoFreeIrp(irp);
    EXPECT_EQ(host::IrpState(irp), "freed");
}

TEST(Requests, CallDriverMovesToTheNextLocationAndNamesTheDevice) {
    TestStack stack({"A", "B"});
    stack(0).Do.What = Action::PassCopy;
    stack(1).Do.What = Action::Pend;
    EXPECT_EQ(stack[0]->StackSize, 2);
    Originator o;
    NTSTATUS returned;
    PIRP irp = o.Send(stack.Top(), IRP_MJ_INTERNAL_DEVICE_CONTROL, SL_INVOKE_ON_SUCCESS, &returned);
    EXPECT_EQ(returned, STATUS_PENDING);
    EXPECT_EQ(irp->CurrentLocation, 1);
    EXPECT_EQ(IoGetCurrentIrpStackLocation(irp)->DeviceObject, stack[1]);
    EXPECT_EQ((IoGetCurrentIrpStackLocation(irp) + 1)->DeviceObject, stack[0]);
    EXPECT_EQ(host::IrpState(irp), "pending");
    CompleteHeld(stack(1), STATUS_SUCCESS);
    o.Wait();
    IoFreeIrp(irp);
}

TEST(Requests, CompletionRoutinesRunBottomUpWithTheDeviceOfTheLocationAbove) {
    TestStack stack({"A", "B", "C"});
    stack(0).Do.What = Action::PassCopy;
    stack(1).Do.What = Action::PassCopy;
    stack(2).Do.What = Action::Complete;
    Originator o;
    PIRP irp = o.Send(stack.Top());
    ASSERT_TRUE(o.Called);
    auto log = stack.Log();
    ASSERT_EQ(log.size(), 2u);
    EXPECT_EQ(log[0].Who, "B");
    EXPECT_EQ(log[0].Device, stack[1]);
    EXPECT_EQ(log[1].Who, "A");
    EXPECT_EQ(log[1].Device, stack[0]);
    // The routine at the top location belongs to nobody's device.
    EXPECT_EQ(o.DeviceSeen, nullptr);
    IoFreeIrp(irp);
}

TEST(Requests, MoreProcessingRequiredStopsTheWalkUntilTheRequestIsCompletedAgain) {
    TestStack stack({"A", "B", "C"});
    stack(0).Do.What = Action::PassCopy;
    stack(1).Do.What = Action::PassCopy;
    stack(1).Do.RoutineReturns = STATUS_MORE_PROCESSING_REQUIRED;
    stack(2).Do.What = Action::Complete;
    Originator o;
    PIRP irp = o.Send(stack.Top());
    EXPECT_FALSE(o.Called);
    ASSERT_EQ(stack.Log().size(), 1u);
    EXPECT_EQ(host::IrpState(irp), "allocated"); // back with B, which stopped the walk
    EXPECT_EQ(IoGetCurrentIrpStackLocation(irp)->DeviceObject, stack[1]);
    irp->IoStatus.Status = STATUS_SUCCESS;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    EXPECT_TRUE(o.Called);
    ASSERT_EQ(stack.Log().size(), 2u);
    EXPECT_EQ(stack.Log()[1].Who, "A");
    IoFreeIrp(irp);
}

struct InvokeCase {
    const char* Label;
    NTSTATUS Status;
    bool Cancelled;
    UCHAR Flags;
    bool Invoked;
};

class InvokeFlags : public ::testing::TestWithParam<InvokeCase> {};

TEST_P(InvokeFlags, RoutineRunsExactlyWhenItsFlagMatches) {
    const InvokeCase& c = GetParam();
    TestStack stack({"A", "B"});
    stack(0).Do.What = Action::PassCopy;
    stack(0).Do.InvokeFlags = c.Flags;
    stack(1).Do.What = Action::Complete;
    stack(1).Do.Status = c.Status;
    Originator o;
    PIRP irp = o.Send(stack.Top(), IRP_MJ_INTERNAL_DEVICE_CONTROL,
                      SL_INVOKE_ON_SUCCESS | SL_INVOKE_ON_ERROR | SL_INVOKE_ON_CANCEL, nullptr,
                      c.Cancelled);
    EXPECT_EQ(stack.Log().size(), c.Invoked ? 1u : 0u) << c.Label;
    EXPECT_TRUE(o.Called);
    EXPECT_EQ(irp->IoStatus.Status, c.Status);
    IoFreeIrp(irp);
}

INSTANTIATE_TEST_SUITE_P(
    Table, InvokeFlags,
    ::testing::Values(
        InvokeCase{"success/on-success", STATUS_SUCCESS, false, SL_INVOKE_ON_SUCCESS, true},
        InvokeCase{"success/on-error", STATUS_SUCCESS, false, SL_INVOKE_ON_ERROR, false},
        InvokeCase{"success/on-cancel", STATUS_SUCCESS, false, SL_INVOKE_ON_CANCEL, false},
        InvokeCase{"warning/on-success", (NTSTATUS)0x80000005L, false, SL_INVOKE_ON_SUCCESS, false},
        InvokeCase{"warning/on-error", (NTSTATUS)0x80000005L, false, SL_INVOKE_ON_ERROR, true},
        InvokeCase{"error/on-error", STATUS_UNSUCCESSFUL, false, SL_INVOKE_ON_ERROR, true},
        InvokeCase{"error/on-success", STATUS_UNSUCCESSFUL, false, SL_INVOKE_ON_SUCCESS, false},
        InvokeCase{"cancelled-error/on-cancel", STATUS_CANCELLED, true, SL_INVOKE_ON_CANCEL, true},
        InvokeCase{"cancelled-success/on-cancel", STATUS_SUCCESS, true, SL_INVOKE_ON_CANCEL, true},
        InvokeCase{"cancelled-error/on-success", STATUS_CANCELLED, true, SL_INVOKE_ON_SUCCESS,
                   false},
        InvokeCase{"none", STATUS_SUCCESS, false, 0, false}),
    [](const auto& info) {
        std::string s = info.param.Label;
        for (auto& ch : s)
            if (!isalnum(static_cast<unsigned char>(ch)))
                ch = '_';
        return s;
    });

// PendingReturned as each routine sees it, for a bottom driver that completes at once or pends,
// with a middle level that has no routine or has one that does or does not pass the flag up.
struct PendingCase {
    const char* Label;
    bool BottomPends;
    bool MiddleRoutine;
    bool MiddlePropagates;
    bool MiddleSees;
    bool TopSees;
};

class PendingReturned : public ::testing::TestWithParam<PendingCase> {};

TEST_P(PendingReturned, FlowsUpAsTheRoutinesPassIt) {
    const PendingCase& c = GetParam();
    // A has no routine of its own (copy only) so the flag must cross its location by the walk.
    TestStack stack({"A", "B", "C"});
    stack(0).Do.What = Action::PassCopy;
    stack(0).Do.SetRoutine = false;
    stack(1).Do.What = Action::PassCopy;
    stack(1).Do.SetRoutine = c.MiddleRoutine;
    stack(1).Do.PropagatePending = c.MiddlePropagates;
    stack(2).Do.What = c.BottomPends ? Action::Pend : Action::Complete;
    Originator o;
    NTSTATUS returned;
    PIRP irp = o.Send(stack.Top(), IRP_MJ_INTERNAL_DEVICE_CONTROL,
                      SL_INVOKE_ON_SUCCESS | SL_INVOKE_ON_ERROR | SL_INVOKE_ON_CANCEL, &returned);
    if (c.BottomPends) {
        EXPECT_EQ(returned, STATUS_PENDING);
        std::thread([&] { CompleteHeld(stack(2), STATUS_SUCCESS); }).join();
    }
    o.Wait();
    auto log = stack.Log();
    if (c.MiddleRoutine) {
        ASSERT_EQ(log.size(), 1u) << c.Label;
        EXPECT_EQ(log[0].PendingReturned, c.MiddleSees) << c.Label;
    }
    EXPECT_EQ(o.PendingReturned, c.TopSees) << c.Label;
    IoFreeIrp(irp);
}

INSTANTIATE_TEST_SUITE_P(
    Table, PendingReturned,
    ::testing::Values(PendingCase{"sync", false, true, true, false, false},
                      PendingCase{"pended_no_middle_routine", true, false, false, false, true},
                      PendingCase{"pended_middle_propagates", true, true, true, true, true},
                      PendingCase{"pended_middle_swallows", true, true, false, true, false}),
    [](const auto& info) { return std::string(info.param.Label); });

// A threaded request: the I/O manager copies the status to the caller's block, sets the
// caller's event and frees the request itself, whether the driver completes at once or later.
struct ThreadedCase {
    const char* Label;
    bool Pends;
    NTSTATUS Status;
};

class Threaded : public ::testing::TestWithParam<ThreadedCase> {};

TEST_P(Threaded, StatusBlockFilledEventSetRequestFreed) {
    const ThreadedCase& c = GetParam();
    TestStack stack({"A"});
    stack(0).Do.What = c.Pends ? Action::Pend : Action::Complete;
    stack(0).Do.Status = c.Status;
    stack(0).Do.Information = 77;
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb;
    iosb.Status = (NTSTATUS)0xDEADBEEF;
    iosb.Information = 0xDEADBEEF;
    PIRP irp = IoBuildDeviceIoControlRequest(IOCTL_INTERNAL_USB_SUBMIT_URB, stack.Top(), nullptr, 0,
                                             nullptr, 0, TRUE, &event, &iosb);
    ASSERT_NE(irp, nullptr);
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    EXPECT_EQ(next->MajorFunction, IRP_MJ_INTERNAL_DEVICE_CONTROL);
    EXPECT_EQ(next->Parameters.DeviceIoControl.IoControlCode, (ULONG)IOCTL_INTERNAL_USB_SUBMIT_URB);
    EXPECT_EQ(next->Parameters.Others.Argument1, nullptr);
    int urb = 0;
    next->Parameters.Others.Argument1 = &urb;
    NTSTATUS status = IoCallDriver(stack.Top(), irp);
    if (c.Pends) {
        EXPECT_EQ(status, STATUS_PENDING);
        EXPECT_EQ(KeReadStateEvent(&event), 0);
        std::thread([&] { CompleteHeld(stack(0), c.Status, 77); }).join();
    }
    LARGE_INTEGER zero{};
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &zero), STATUS_SUCCESS)
        << c.Label;
    EXPECT_EQ(iosb.Status, c.Status);
    EXPECT_EQ(iosb.Information, 77u);
    EXPECT_EQ(host::IrpState(irp), "freed");
}

INSTANTIATE_TEST_SUITE_P(Table, Threaded,
                         ::testing::Values(ThreadedCase{"sync_success", false, STATUS_SUCCESS},
                                           ThreadedCase{"sync_error", false, STATUS_UNSUCCESSFUL},
                                           ThreadedCase{"pended_success", true, STATUS_SUCCESS},
                                           ThreadedCase{"pended_cancelled", true,
                                                        STATUS_CANCELLED}),
                         [](const auto& info) { return std::string(info.param.Label); });

NTSTATUS NTAPI EchoBuffered(PDEVICE_OBJECT, PIRP irp) {
    PIO_STACK_LOCATION s = IoGetCurrentIrpStackLocation(irp);
    auto* buffer = static_cast<unsigned char*>(irp->AssociatedIrp.SystemBuffer);
    for (ULONG i = 0; i < s->Parameters.DeviceIoControl.OutputBufferLength; ++i)
        buffer[i] = static_cast<unsigned char>(buffer[i] + 1);
    irp->IoStatus.Status = STATUS_SUCCESS;
    irp->IoStatus.Information = 3;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}

TEST(Requests, ThreadedBufferedRequestCopiesBackInformationBytes) {
    TestStack stack({"A"});
    stack.Driver()->MajorFunction[IRP_MJ_DEVICE_CONTROL] = EchoBuffered;
    unsigned char in[4] = {1, 2, 3, 4};
    unsigned char out[4] = {0xEE, 0xEE, 0xEE, 0xEE};
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb{};
    PIRP irp = IoBuildDeviceIoControlRequest(
        CTL_CODE(FILE_DEVICE_UNKNOWN, 1, METHOD_BUFFERED, FILE_ANY_ACCESS), stack.Top(), in, 4, out,
        4, FALSE, &event, &iosb);
    ASSERT_NE(irp, nullptr);
    EXPECT_EQ(IoGetNextIrpStackLocation(irp)->MajorFunction, IRP_MJ_DEVICE_CONTROL);
    EXPECT_EQ(IoCallDriver(stack.Top(), irp), STATUS_SUCCESS);
    EXPECT_EQ(out[0], 2);
    EXPECT_EQ(out[2], 4);
    EXPECT_EQ(out[3], 0xEE); // only Information bytes come back
}

// The routine at the top location hands the request to another thread and, before it returns,
// waits until that thread has set the request up afresh.
struct Handoff {
    std::promise<void> Entered;
    std::promise<void> MayReturn;
    std::shared_future<void> MayReturnFuture = MayReturn.get_future().share();
    NTSTATUS Returns = STATUS_MORE_PROCESSING_REQUIRED;
};

NTSTATUS NTAPI HandsOffThenReturns(PDEVICE_OBJECT, PIRP, PVOID context) {
    auto* handoff = static_cast<Handoff*>(context);
    handoff->Entered.set_value();
    handoff->MayReturnFuture.wait();
    return handoff->Returns;
}

TEST(Requests, TheThreadATopRoutineHandsTheRequestToMayReuseItBeforeTheRoutineReturns) {
    // As on the platform, whose I/O manager leaves the request alone once the top routine has
    // returned STATUS_MORE_PROCESSING_REQUIRED: the other thread may reuse it in between, and
    // the routine's result decides whether that was right.
    for (NTSTATUS returns : {STATUS_MORE_PROCESSING_REQUIRED, STATUS_SUCCESS}) {
        TestStack stack({"A"});
        stack(0).Do.What = Action::Complete;
        PIRP irp = IoAllocateIrp(1, FALSE);
        IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
        Handoff handoff;
        handoff.Returns = returns;
        IoSetCompletionRoutine(irp, HandsOffThenReturns, &handoff, TRUE, TRUE, TRUE);
        std::thread completer([&] { IoCallDriver(stack.Top(), irp); });
        handoff.Entered.get_future().wait();
        IoReuseIrp(irp, STATUS_SUCCESS);
        EXPECT_EQ(host::IrpState(irp), "allocated");
        {
            std::optional<host::Verifier::ExpectViolation> expect;
            if (returns != STATUS_MORE_PROCESSING_REQUIRED) {
                // The I/O manager would go on completing a request that is already reused.
                expect.emplace(host::Check::IllegalTransition);
            }
            handoff.MayReturn.set_value();
            completer.join();
        }
        EXPECT_EQ(host::IrpState(irp), "allocated") << "the returning routine left it alone";
        IoFreeIrp(irp);
    }
}

TEST(Requests, ReuseKeepsTheSizeAndSetsTheStatus) {
    PIRP irp = IoAllocateIrp(2, FALSE);
    IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_PNP;
    irp->IoStatus.Information = 9;
    IoReuseIrp(irp, STATUS_CANCELLED);
    EXPECT_EQ(irp->StackCount, 2);
    EXPECT_EQ(irp->CurrentLocation, 3);
    EXPECT_EQ(irp->IoStatus.Status, STATUS_CANCELLED);
    EXPECT_EQ(irp->IoStatus.Information, 0u);
    IoInitializeIrp(irp, IoSizeOfIrp(1), 1);
    EXPECT_EQ(irp->StackCount, 1);
    EXPECT_EQ(IoGetNextIrpStackLocation(irp), reinterpret_cast<PIO_STACK_LOCATION>(irp + 1));
    IoFreeIrp(irp);
}

} // namespace
