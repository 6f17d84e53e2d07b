// The contracts a driver states in its source, checked in the host build: each broken routine
// below reaches a check at an IRQL (or with a value) its contract forbids, and the violation must
// name the routine's own file and line.
#include "test_driver.h"

using namespace hktest;
using host::Check;
using Expect = host::Verifier::ExpectViolation;

namespace {

int g_line = 0;

// A helper that waits or takes an ERESOURCE: passive-only, as its annotation and check say.
_IRQL_requires_max_(PASSIVE_LEVEL) VOID PassiveOnlyHelper(VOID) {
    g_line = __LINE__ + 1;
    PAGED_CODE();
}

// A completion routine runs at DISPATCH_LEVEL when a lower driver completes from its DPC; this
// one calls the passive-only helper anyway.
_IRQL_requires_max_(DISPATCH_LEVEL) NTSTATUS NTAPI
    CallsPassiveHelper(PDEVICE_OBJECT, PIRP, PVOID context) {
    PassiveOnlyHelper();
    KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

_IRQL_requires_max_(DISPATCH_LEVEL) VOID DispatchSafeHelper(VOID) {
    g_line = __LINE__ + 1;
    NONPAGED_CODE();
}

const host::Violation* Only(Check kind) {
    static host::Violation found;
    int n = 0;
    for (const auto& v : host::Verifier::Violations())
        if (v.Kind == kind) {
            found = v;
            ++n;
        }
    return n == 1 ? &found : nullptr;
}

void ExpectAtTheLine(const host::Violation* v, const char* routine) {
    ASSERT_NE(v, nullptr) << "exactly one violation expected";
    ASSERT_NE(v->Site.File, nullptr);
    EXPECT_NE(std::string(v->Site.File).find("contracts_test.cpp"), std::string::npos);
    EXPECT_EQ(v->Site.Line, g_line);
    EXPECT_NE(v->Message.find(routine), std::string::npos) << v->Message;
}

TEST(Contracts, APassiveOnlyRoutineReachedFromACompletionAtDispatchFails) {
    TestStack stack({"Bus"});
    stack(0).Do.What = Action::Pend;
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    PIRP irp = IoAllocateIrp(stack.Top()->StackSize, FALSE);
    IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    IoSetCompletionRoutine(irp, CallsPassiveHelper, &done, TRUE, TRUE, TRUE);
    EXPECT_EQ(IoCallDriver(stack.Top(), irp), STATUS_PENDING);
    {
        Expect e(Check::IrqlContract);
        CompleteHeld(stack(0), STATUS_SUCCESS); // at DISPATCH_LEVEL, as a DPC would
    }
    ExpectAtTheLine(Only(Check::IrqlContract), "PassiveOnlyHelper");
    EXPECT_NE(Only(Check::IrqlContract)->Message.find("at IRQL 2 (DISPATCH_LEVEL)"),
              std::string::npos);
    IoFreeIrp(irp);
}

TEST(Contracts, IrqlChecksHoldAtEveryLevelTheirRoutinesMayRunAt) {
    struct Case {
        KIRQL Irql;
        bool PagedFails;
        bool NonPagedFails;
    };
    // Paged code runs up to APC_LEVEL (the platform's own check), non-paged up to DISPATCH_LEVEL.
    for (Case c : {Case{PASSIVE_LEVEL, false, false}, Case{APC_LEVEL, false, false},
                   Case{DISPATCH_LEVEL, true, false}, Case{HIGH_LEVEL, true, true}}) {
        host::Verifier::Clear();
        KIRQL old;
        KeRaiseIrql(c.Irql, &old);
        {
            std::vector<host::Violation> seen;
            auto previous =
                host::Verifier::SetReporter([&](const host::Violation& v) { seen.push_back(v); });
            PassiveOnlyHelper();
            DispatchSafeHelper();
            host::Verifier::SetReporter(previous);
        }
        KeLowerIrql(old);
        std::size_t paged = 0, nonPaged = 0;
        for (const auto& v : host::Verifier::Violations()) {
            paged += v.Kind == Check::IrqlContract && v.Message.find("PAGED_CODE()") == 0;
            nonPaged += v.Kind == Check::IrqlContract && v.Message.find("NONPAGED_CODE()") == 0;
        }
        EXPECT_EQ(paged, c.PagedFails ? 1u : 0u) << "IRQL " << int(c.Irql);
        EXPECT_EQ(nonPaged, c.NonPagedFails ? 1u : 0u) << "IRQL " << int(c.Irql);
    }
    host::Verifier::Clear();
}

int g_evaluations = 0;
bool Counted(bool value) {
    ++g_evaluations;
    return value;
}

TEST(Contracts, NtAssertIsCheckedAtItsLineAndNtVerifyKeepsItsValue) {
    ULONG pipes = 3;
    {
        Expect e(Check::AssertionFailed);
        g_line = __LINE__ + 1;
        NT_ASSERT(pipes <= 2);
    }
    const host::Violation* v = Only(Check::AssertionFailed);
    ExpectAtTheLine(v, "pipes <= 2");
    NT_ASSERT(pipes == 3); // holds: quiet
    g_evaluations = 0;
    EXPECT_TRUE(NT_VERIFY(Counted(true)));
    {
        Expect e(Check::AssertionFailed);
        EXPECT_FALSE(NT_VERIFYMSG("the table is full", Counted(false)));
    }
    EXPECT_EQ(g_evaluations, 2) << "each expression evaluated exactly once";
}

// The annotations a dispatch routine and a lock-taking routine carry compile to nothing.
_Dispatch_type_(IRP_MJ_CREATE) _Dispatch_type_(IRP_MJ_CLOSE) DRIVER_DISPATCH AnnotatedDispatch;
_Use_decl_annotations_ NTSTATUS NTAPI AnnotatedDispatch(PDEVICE_OBJECT, PIRP irp) {
    irp->IoStatus.Status = STATUS_SUCCESS;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}

_IRQL_requires_max_(DISPATCH_LEVEL)
    _IRQL_raises_(DISPATCH_LEVEL) _IRQL_saves_ _Must_inspect_result_ KIRQL
    AnnotatedLock(_Inout_ PKSPIN_LOCK Lock) {
    NONPAGED_CODE();
    return KeAcquireSpinLockRaiseToDpc(Lock);
}

_IRQL_requires_(DISPATCH_LEVEL) VOID
    AnnotatedUnlock(_Inout_ PKSPIN_LOCK Lock, _In_ _IRQL_restores_ KIRQL Old) {
    KeReleaseSpinLock(Lock, Old);
}

TEST(Contracts, AnnotatedRoutinesRunAsWritten) {
    TestStack stack({"A"});
    stack.Driver()->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = AnnotatedDispatch;
    Originator o;
    PIRP irp = o.Send(stack.Top());
    EXPECT_TRUE(o.Called);
    IoFreeIrp(irp);
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    KIRQL old = AnnotatedLock(&lock);
    EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
    AnnotatedUnlock(&lock, old);
    EXPECT_TRUE(host::Verifier::Violations().empty());
}

} // namespace
