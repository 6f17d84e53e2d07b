// Small deliberately broken drivers, one per rule: each test passes only if the verifier
// catches the fault (ExpectViolation reports a check that did not fire), and names its site.
#include "test_driver.h"

#include <thread>

using namespace hktest;
using host::Check;
using Expect = host::Verifier::ExpectViolation;

namespace {

int g_line = 0; // the line of the faulty call, noted by the broken routine

NTSTATUS NTAPI CompletesTwice(PDEVICE_OBJECT, PIRP irp) {
    irp->IoStatus.Status = STATUS_SUCCESS;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    g_line = __LINE__ + 1;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI CompletesWithPending(PDEVICE_OBJECT, PIRP irp) {
    irp->IoStatus.Status = STATUS_PENDING;
    g_line = __LINE__ + 1;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_PENDING;
}

NTSTATUS NTAPI ReturnsWithoutCompleting(PDEVICE_OBJECT, PIRP) {
    return STATUS_SUCCESS;
}

KSPIN_LOCK g_lockA, g_lockB;

NTSTATUS NTAPI KeepsASpinLock(PDEVICE_OBJECT, PIRP irp) {
    irp->IoStatus.Status = STATUS_SUCCESS;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    g_line = __LINE__ + 1;
    KeAcquireSpinLockRaiseToDpc(&g_lockA);
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI LeavesIrqlRaised(PDEVICE_OBJECT, PIRP irp) {
    irp->IoStatus.Status = STATUS_SUCCESS;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    KIRQL old;
    KeRaiseIrql(APC_LEVEL, &old);
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI CompletesAfterPassingDown(PDEVICE_OBJECT device, PIRP irp) {
    IoSkipCurrentIrpStackLocation(irp);
    NTSTATUS status = IoCallDriver(Ext(device)->Lower, irp);
    irp->IoStatus.Status = STATUS_SUCCESS;
    g_line = __LINE__ + 1;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

void* g_leaked = nullptr;
NTSTATUS NTAPI AllocatesForTheDevice(PDEVICE_OBJECT, PIRP irp) {
    g_line = __LINE__ + 1;
    g_leaked = ExAllocatePool(NonPagedPool, 40);
    irp->IoStatus.Status = STATUS_SUCCESS;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}

// Expects the violation to have named this file and the noted line.
void ExpectSite(Check kind) {
    for (const auto& v : host::Verifier::Violations()) {
        if (v.Kind != kind)
            continue;
        ASSERT_NE(v.Site.File, nullptr) << v.Message;
        EXPECT_NE(std::string(v.Site.File).find("verifier_test.cpp"), std::string::npos)
            << v.Site.ToString();
        EXPECT_EQ(v.Site.Line, g_line) << v.Message;
        return;
    }
    ADD_FAILURE() << "no violation of kind " << host::CheckName(kind);
}

// Sends the originator's request through a stack whose dispatch routine is `dispatch` and expects
// the verifier to report `kind` while it runs. Returns the request for the test to free.
PIRP SendExpecting(TestStack& stack, Originator& o, PDRIVER_DISPATCH dispatch, Check kind) {
    stack.Driver()->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = dispatch;
    Expect e(kind);
    return o.Send(stack.Top());
}

// One device, "A", whose dispatch routine is the broken `dispatch`, sent one request while the
// verifier expects `kind`; the request is freed with the stack.
struct BrokenDispatch {
    BrokenDispatch(PDRIVER_DISPATCH dispatch, Check kind)
        : Irp(SendExpecting(Stack, Origin, dispatch, kind)) {}
    ~BrokenDispatch() { IoFreeIrp(Irp); }
    BrokenDispatch(const BrokenDispatch&) = delete;
    BrokenDispatch& operator=(const BrokenDispatch&) = delete;

    TestStack Stack{{"A"}};
    Originator Origin;
    PIRP Irp;
};

TEST(Verifier, DoubleCompletion) {
    BrokenDispatch broken(CompletesTwice, Check::DoubleCompletion);
    ExpectSite(Check::DoubleCompletion);
}

TEST(Verifier, CompletionWithStatusPending) {
    BrokenDispatch broken(CompletesWithPending, Check::CompletedWithPending);
    ExpectSite(Check::CompletedWithPending);
}

TEST(Verifier, DispatchThatNeitherCompletesNorPasses) {
    TestStack stack({"A"});
    Originator o;
    SendExpecting(stack, o, ReturnsWithoutCompleting, Check::NeverCompleted);
}

TEST(Verifier, RequestNeverCompletedByTheEndOfTheTest) {
    HeldRequest held;
    {
        Expect e(Check::NeverCompleted);
        host::EndTest();
    }
    CompleteHeld(held.Stack(0), STATUS_SUCCESS);
    IoFreeIrp(held.Irp);
}

TEST(Verifier, WaitAtDispatchLevel) {
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    LARGE_INTEGER timeout;
    timeout.QuadPart = host::Clock::Relative(10);
    {
        Expect e(Check::WaitAtDispatch);
        g_line = __LINE__ + 1;
        EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout),
                  STATUS_TIMEOUT);
    }
    ExpectSite(Check::WaitAtDispatch);
    // A zero timeout is a poll, which DISPATCH_LEVEL allows.
    timeout.QuadPart = 0;
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout),
              STATUS_TIMEOUT);
    KeLowerIrql(old);
}

TEST(Verifier, AllocationAboveDispatch) {
    KIRQL old;
    KeRaiseIrql(HIGH_LEVEL, &old);
    void* p;
    {
        Expect e(Check::AllocationAboveDispatch);
        p = ExAllocatePool(NonPagedPool, 8);
    }
    KeLowerIrql(old);
    ExFreePool(p);
}

TEST(Verifier, TwoSpinLocksAtOnce) {
    KeInitializeSpinLock(&g_lockA);
    KeInitializeSpinLock(&g_lockB);
    KIRQL a = KeAcquireSpinLockRaiseToDpc(&g_lockA);
    {
        Expect e(Check::TwoSpinLocks);
        g_line = __LINE__ + 1;
        KIRQL b = KeAcquireSpinLockRaiseToDpc(&g_lockB);
        KeReleaseSpinLock(&g_lockB, b);
    }
    ExpectSite(Check::TwoSpinLocks);
    KeReleaseSpinLock(&g_lockA, a);
}

TEST(Verifier, SpinLockHeldOnReturnFromDispatch) {
    KeInitializeSpinLock(&g_lockA);
    BrokenDispatch broken(KeepsASpinLock, Check::SpinLockHeldOnReturn);
    ExpectSite(Check::SpinLockHeldOnReturn);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL) << "the caller's IRQL is put back";
    EXPECT_EQ(g_lockA, 0u);
}

TEST(Verifier, IrqlNotRestoredByDispatch) {
    BrokenDispatch broken(LeavesIrqlRaised, Check::IrqlNotRestored);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
}

NTSTATUS NTAPI RaisingCompletion(PDEVICE_OBJECT, PIRP, PVOID) {
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

TEST(Verifier, IrqlNotRestoredByCompletionRoutine) {
    TestStack stack({"A"});
    PIRP irp = IoAllocateIrp(1, FALSE);
    IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    IoSetCompletionRoutine(irp, RaisingCompletion, nullptr, TRUE, TRUE, TRUE);
    {
        Expect e(Check::IrqlNotRestored);
        IoCallDriver(stack.Top(), irp);
    }
    IoFreeIrp(irp);
}

TEST(Verifier, IrqlMisuse) {
    Expect e(Check::IrqlMisuse);
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    KeRaiseIrql(APC_LEVEL, &old); // a raise to a lower level
    KeLowerIrql(PASSIVE_LEVEL);
}

TEST(Verifier, FreedIrpStillInFlight) {
    HeldRequest held;
    {
        Expect e(Check::FreedInFlight);
        IoFreeIrp(held.Irp);
    }
    EXPECT_EQ(host::IrpState(held.Irp), "pending") << "the refused free left it alone";
    held.Complete();
    IoFreeIrp(held.Irp);
}

TEST(Verifier, MdlFreedWhileItsRequestIsPending) {
    HeldRequest held; // pending below; a second request carries the MDL
    char buffer[64];
    PIRP irp = IoAllocateIrp(held.Stack.Top()->StackSize, FALSE);
    PMDL mdl = IoAllocateMdl(buffer, sizeof(buffer), FALSE, FALSE, irp);
    IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    // A second device holds this one.
    TestStack other({"B"});
    other(0).Do.What = Action::Pend;
    Originator second;
    IoSetCompletionRoutine(irp, Originator::Routine, &second, TRUE, TRUE, TRUE);
    KeInitializeEvent(&second.Done, NotificationEvent, FALSE);
    EXPECT_EQ(IoCallDriver(other.Top(), irp), STATUS_PENDING);
    {
        Expect e(Check::FreedInFlight);
        IoFreeMdl(mdl);
    }
    CompleteHeld(other(0), STATUS_SUCCESS);
    held.Complete();
    IoFreeMdl(mdl);
    IoFreeIrp(irp);
    IoFreeIrp(held.Irp);
}

TEST(Verifier, RequestTouchedAfterItWasPassedDown) {
    TestStack stack({"A", "B"});
    stack.Driver()->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = TestDispatch;
    stack(1).Do.What = Action::Pend;
    // A's own dispatch routine is the broken one.
    PDEVICE_OBJECT a = stack[0];
    // Route A's requests to the faulty routine through a device-specific check.
    static PDEVICE_OBJECT faulty;
    faulty = a;
    stack.Driver()->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = [](PDEVICE_OBJECT d,
                                                                       PIRP irp) -> NTSTATUS {
        return d == faulty ? CompletesAfterPassingDown(d, irp) : TestDispatch(d, irp);
    };
    Originator o;
    PIRP irp;
    {
        Expect e(Check::TouchedAfterPassDown);
        irp = o.Send(a);
    }
    ExpectSite(Check::TouchedAfterPassDown);
    CompleteHeld(stack(1), STATUS_SUCCESS);
    o.Wait();
    IoFreeIrp(irp);
}

TEST(Verifier, IllegalTransitionNamesBothStates) {
    HeldRequest held;
    {
        Expect e(Check::IllegalTransition);
        IoReuseIrp(held.Irp, STATUS_SUCCESS);
    }
    bool named = false;
    for (const auto& v : host::Verifier::Violations())
        named |= v.Kind == Check::IllegalTransition &&
                 v.Message.find("pending -> allocated") != std::string::npos;
    EXPECT_TRUE(named);
    held.Complete();
    IoFreeIrp(held.Irp);
}

TEST(Verifier, PoolLeftAtDeviceRemovalIsReportedOnceAtRemoval) {
    {
        // The stack is torn down at the end of this block, inside the expectation: the device is
        // deleted first (the block was allocated for it), then its driver is unloaded.
        Expect removal(Check::PoolLeakAtRemove);
        TestStack stack({"A"});
        stack.Driver()->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = AllocatesForTheDevice;
        Originator o;
        PIRP irp = o.Send(stack.Top());
        IoFreeIrp(irp);
    }
    ExpectSite(Check::PoolLeakAtRemove);
    EXPECT_EQ(host::Verifier::Count(Check::PoolLeakAtUnload), 0u);
    ExFreePool(g_leaked);
}

NTSTATUS NTAPI DriverAllocatesAtEntry(PDRIVER_OBJECT, PUNICODE_STRING) {
    g_leaked = ExAllocatePool(NonPagedPool, 16);
    return STATUS_SUCCESS;
}

TEST(Verifier, PoolLeftAtDriverUnload) {
    PDRIVER_OBJECT driver = host::LoadDriver(DriverAllocatesAtEntry, u"\\Driver\\leaky");
    ASSERT_NE(driver, nullptr);
    {
        Expect e(Check::PoolLeakAtUnload);
        host::UnloadDriver(driver);
    }
    ExFreePool(g_leaked);
}

TEST(Verifier, LeakAtTheEndOfATest) {
    void* p = ExAllocatePool(NonPagedPool, 8);
    {
        Expect e(Check::Leak);
        host::EndTest();
    }
    ExFreePool(p);
}

TEST(Verifier, BadFrees) {
    void* p = ExAllocatePool(NonPagedPool, 8);
    ExFreePool(p);
    Expect e(Check::BadFree);
    ExFreePool(p);
    int local;
    ExFreePool(&local);
}

TEST(Verifier, ResourceOutsideACriticalRegion) {
    ERESOURCE r;
    ExInitializeResourceLite(&r);
    {
        Expect e(Check::ResourceMisuse);
        ExAcquireResourceExclusiveLite(&r, TRUE);
    }
    ExReleaseResourceLite(&r);
    ExDeleteResourceLite(&r);
}

TEST(Verifier, CompletionOnAnotherThreadAtDispatchIsClean) {
    TestStack stack({"A", "B"});
    stack(0).Do.What = Action::PassCopy;
    stack(1).Do.What = Action::Pend;
    Originator o;
    PIRP irp = o.Send(stack.Top());
    std::thread([&] { CompleteHeld(stack(1), STATUS_SUCCESS); }).join();
    o.Wait();
    EXPECT_TRUE(host::Verifier::Violations().empty());
    IoFreeIrp(irp);
}

TEST(Verifier, AnExpectationThatDoesNotFireIsReported) {
    std::vector<host::Violation> seen;
    auto previous =
        host::Verifier::SetReporter([&](const host::Violation& v) { seen.push_back(v); });
    { Expect e(Check::DoubleCompletion); }
    host::Verifier::SetReporter(previous);
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_NE(seen[0].Message.find("none fired"), std::string::npos);
}

} // namespace
