// Small deliberately broken drivers, one per rule: each test passes only if the verifier
// catches the fault (ExpectViolation reports a check that did not fire), and names its site.
#include "test_driver.h"

#include <sstream>
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

// ---------------------------------------------------------------------------------------------
// A routine handed something that is not what it takes (never initialised, unknown, freed, or
// called at the wrong IRQL) reports one violation of the right kind, whose message names the
// routine and the address it was handed, and touches nothing.

std::string HexOf(const void* p) {
    std::ostringstream text;
    text << std::showbase << std::hex << reinterpret_cast<std::uintptr_t>(p);
    return text.str();
}

// Memory that is no IRP, MDL, event, resource or device the host kernel knows.
alignas(16) unsigned char g_bogus[512];

struct MisuseCase {
    const char* Label;
    Check Kind;
    // Makes the call; returns what the violation's message must say.
    std::string (*Call)();
};

void PrintTo(const MisuseCase& c, std::ostream* out) {
    *out << c.Label;
}

class Misuse : public ::testing::TestWithParam<MisuseCase> {};

TEST_P(Misuse, IsReportedOnceAsWhatTheRoutineWasHanded) {
    const MisuseCase& c = GetParam();
    std::string expected;
    {
        Expect e(c.Kind);
        expected = c.Call();
    }
    auto violations = host::Verifier::Violations();
    ASSERT_EQ(violations.size(), 1u) << c.Label;
    EXPECT_EQ(violations[0].Kind, c.Kind);
    EXPECT_NE(violations[0].Message.find(expected), std::string::npos)
        << violations[0].Message << "\nexpected: " << expected;
}

PIRP BogusIrp() {
    return reinterpret_cast<PIRP>(g_bogus);
}
PMDL BogusMdl() {
    return reinterpret_cast<PMDL>(g_bogus);
}

// Acquires a resource that was never initialised, in a critical region as an acquirer must be:
// refused, and the resource left as it was. Returns what the report must say.
std::string AcquireUninitialised(BOOLEAN(NTAPI* acquire)(PERESOURCE, BOOLEAN),
                                 const char* routine) {
    ERESOURCE resource{};
    KeEnterCriticalRegion();
    EXPECT_FALSE(acquire(&resource, TRUE)) << routine;
    KeLeaveCriticalRegion();
    EXPECT_EQ(resource.ActiveCount, 0) << routine;
    return std::string(routine) + " on " + HexOf(&resource) + ", not an initialised resource";
}

INSTANTIATE_TEST_SUITE_P(
    Table, Misuse,
    ::testing::Values(
        MisuseCase{"unknown_irp_freed", Check::BadFree,
                   [] {
                       IoFreeIrp(BogusIrp());
                       return "IoFreeIrp of " + HexOf(g_bogus) + ", which is not an IRP";
                   }},
        MisuseCase{"unknown_irp_cancelled", Check::BadArgument,
                   [] {
                       EXPECT_FALSE(IoCancelIrp(BogusIrp()));
                       return "IoCancelIrp with " + HexOf(g_bogus) + ", which is not an IRP";
                   }},
        MisuseCase{"unknown_irp_completed", Check::BadArgument,
                   [] {
                       IoCompleteRequest(BogusIrp(), IO_NO_INCREMENT);
                       return "IofCompleteRequest with " + HexOf(g_bogus) + ", which is not an IRP";
                   }},
        MisuseCase{"unknown_irp_given_an_mdl", Check::BadArgument,
                   [] {
                       char buffer[16];
                       EXPECT_EQ(IoAllocateMdl(buffer, sizeof(buffer), FALSE, FALSE, BogusIrp()),
                                 nullptr);
                       return "IoAllocateMdl for " + HexOf(g_bogus) + ", which is not an IRP";
                   }},
        MisuseCase{"freed_irp_cancelled", Check::TouchedAfterFree,
                   [] {
                       PIRP irp = IoAllocateIrp(1, FALSE);
                       IoFreeIrp(irp);
                       EXPECT_FALSE(IoCancelIrp(irp));
                       return "IoCancelIrp of IRP " + HexOf(irp) + " (allocated at ";
                   }},
        MisuseCase{"unknown_mdl_freed", Check::BadFree,
                   [] {
                       IoFreeMdl(BogusMdl());
                       return "IoFreeMdl of " + HexOf(g_bogus) + ", which is not an MDL";
                   }},
        MisuseCase{"unknown_mdl_built", Check::BadArgument,
                   [] {
                       MmBuildMdlForNonPagedPool(BogusMdl());
                       return "MmBuildMdlForNonPagedPool of " + HexOf(g_bogus) + ", not a live MDL";
                   }},
        MisuseCase{"freed_mdl_mapped", Check::TouchedAfterFree,
                   [] {
                       char buffer[16];
                       PMDL mdl = IoAllocateMdl(buffer, sizeof(buffer), FALSE, FALSE, nullptr);
                       IoFreeMdl(mdl);
                       EXPECT_EQ(MmMapLockedPagesSpecifyCache(mdl, KernelMode, MmCached, nullptr,
                                                              FALSE, NormalPagePriority),
                                 nullptr);
                       return "MmMapLockedPagesSpecifyCache of " + HexOf(mdl) + ", not a live MDL";
                   }},
        MisuseCase{"uninitialised_event_set", Check::BadArgument,
                   [] {
                       KEVENT event{};
                       EXPECT_EQ(KeSetEvent(&event, IO_NO_INCREMENT, FALSE), 0);
                       EXPECT_EQ(event.Header.SignalState, 0) << "left as it was";
                       return "KeSetEvent on " + HexOf(&event) +
                              ", which is not an initialised event";
                   }},
        MisuseCase{"uninitialised_event_waited_for", Check::BadArgument,
                   [] {
                       KEVENT event{};
                       LARGE_INTEGER poll{};
                       EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &poll),
                                 STATUS_INVALID_PARAMETER);
                       return "KeWaitForSingleObject on " + HexOf(&event) +
                              ", which is not an initialised event";
                   }},
        MisuseCase{"uninitialised_resource_released", Check::ResourceMisuse,
                   [] {
                       ERESOURCE resource{};
                       ExReleaseResourceLite(&resource);
                       return "ExReleaseResourceLite on " + HexOf(&resource) +
                              ", not an initialised resource";
                   }},
        MisuseCase{"uninitialised_resource_acquired_shared", Check::ResourceMisuse,
                   [] {
                       return AcquireUninitialised(ExAcquireResourceSharedLite,
                                                   "ExAcquireResourceSharedLite");
                   }},
        MisuseCase{"uninitialised_resource_acquired_exclusive", Check::ResourceMisuse,
                   [] {
                       return AcquireUninitialised(ExAcquireResourceExclusiveLite,
                                                   "ExAcquireResourceExclusiveLite");
                   }},
        MisuseCase{"unknown_device_called", Check::ObjectMisuse,
                   [] {
                       PIRP irp = IoAllocateIrp(2, FALSE);
                       IoGetNextIrpStackLocation(irp)->MajorFunction =
                           IRP_MJ_INTERNAL_DEVICE_CONTROL;
                       auto* device = reinterpret_cast<PDEVICE_OBJECT>(g_bogus);
                       EXPECT_EQ(IoCallDriver(device, irp), STATUS_NO_SUCH_DEVICE);
                       EXPECT_EQ(host::IrpState(irp), "allocated") << "never passed on";
                       IoFreeIrp(irp);
                       return "IofCallDriver to " + HexOf(g_bogus) +
                              ", which is not a device object (or was deleted)";
                   }},
        MisuseCase{"unknown_device_given_a_request", Check::ObjectMisuse,
                   [] {
                       KEVENT done;
                       KeInitializeEvent(&done, NotificationEvent, FALSE);
                       IO_STATUS_BLOCK iosb{};
                       auto* device = reinterpret_cast<PDEVICE_OBJECT>(g_bogus);
                       EXPECT_EQ(IoBuildDeviceIoControlRequest(0x220000, device, nullptr, 0,
                                                               nullptr, 0, FALSE, &done, &iosb),
                                 nullptr);
                       return "IoBuildDeviceIoControlRequest for " + HexOf(g_bogus) +
                              ", which is not a device object";
                   }},
        MisuseCase{"passive_routine_at_dispatch", Check::IrqlMisuse,
                   [] {
                       UNICODE_STRING link;
                       RtlInitUnicodeString(&link, u"\\DosDevices\\NoSuchLink");
                       KIRQL old;
                       KeRaiseIrql(DISPATCH_LEVEL, &old);
                       EXPECT_EQ(IoDeleteSymbolicLink(&link), STATUS_OBJECT_NAME_NOT_FOUND);
                       KeLowerIrql(old);
                       return std::string("IoDeleteSymbolicLink at IRQL 2");
                   }}),
    [](const auto& info) { return std::string(info.param.Label); });

} // namespace
