// Kernel stacks: a completion routine that submits again while the submission has not returned
// nests one level deeper each time, as on the platform; the verifier bounds that nesting, and a
// kernel thread's stack is sized so that the bound, not the host's stack, is what stops it.
#include "test_driver.h"

#include <cstdint>
#include <iostream>

using namespace hktest;
using host::Check;

namespace {

// The bus below refuses every request at once, from inside its dispatch routine.
NTSTATUS NTAPI RefuseAtOnce(PDEVICE_OBJECT, PIRP irp) {
    irp->IoStatus.Status = STATUS_UNSUCCESSFUL;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_UNSUCCESSFUL;
}

// A driver that resubmits its request from its completion routine, `Remaining` more times (-1:
// for ever), and notes how far down the stack each level runs.
struct Resubmitter {
    PDEVICE_OBJECT Bus = nullptr;
    int Remaining = 0;
    int Levels = 0;
    std::uintptr_t FirstFrame = 0;
    std::uintptr_t LastFrame = 0;

    static NTSTATUS NTAPI Completion(PDEVICE_OBJECT, PIRP irp, PVOID context) {
        auto* self = static_cast<Resubmitter*>(context);
        auto frame = reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0));
        if (self->Levels++ == 0)
            self->FirstFrame = frame;
        self->LastFrame = frame;
        if (self->Remaining != 0) {
            if (self->Remaining > 0)
                self->Remaining--;
            self->Submit(irp);
        }
        return STATUS_MORE_PROCESSING_REQUIRED;
    }

    void Submit(PIRP irp) {
        IoReuseIrp(irp, STATUS_SUCCESS);
        IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
        IoSetCompletionRoutine(irp, Completion, this, TRUE, TRUE, TRUE);
        IoCallDriver(Bus, irp);
    }

    // Bytes of stack one level of nesting took, between the first completion and the last.
    std::size_t BytesPerLevel() const {
        return Levels > 1 ? (FirstFrame - LastFrame) / static_cast<std::size_t>(Levels - 1) : 0;
    }
};

// Runs a resubmission chain of `resubmissions` levels past the first submission; returns the
// driver's record of it.
Resubmitter RunChain(int resubmissions) {
    TestStack stack({"Bus"});
    stack.Driver()->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = RefuseAtOnce;
    Resubmitter driver;
    driver.Bus = stack.Top();
    driver.Remaining = resubmissions;
    PIRP irp = IoAllocateIrp(stack.Top()->StackSize, FALSE);
    driver.Submit(irp);
    IoFreeIrp(irp);
    return driver;
}

// Each level is a completion routine and the bus's dispatch routine: 2 * (resubmissions + 1)
// driver routines at the deepest point.
int ResubmissionsToReach(std::size_t routines) {
    return static_cast<int>(routines / 2) - 1;
}

TEST(KernelStack, NestingUpToTheBoundIsQuietAndFitsAKernelThreadTwice) {
    Resubmitter chain;
    host::KernelThread thread(
        [&] { chain = RunChain(ResubmissionsToReach(host::KernelStackLevels())); });
    thread.Join();
    EXPECT_EQ(chain.Levels, ResubmissionsToReach(host::KernelStackLevels()) + 1);
    EXPECT_TRUE(host::Verifier::Violations().empty());
    // The stack must hold twice the bound (where the host stops the run) with room to spare, or
    // a chain the verifier is about to stop would crash the thread first.
    std::size_t perLevel = chain.BytesPerLevel();
    std::cout << "one level of resubmission takes " << perLevel << " bytes of stack in this build; "
              << "a kernel thread has " << host::KernelThread::StackBytes() << "\n";
    EXPECT_GT(perLevel, 0u);
    EXPECT_LT(2 * host::KernelStackLevels() * perLevel, host::KernelThread::StackBytes() * 3 / 4);
}

TEST(KernelStack, NestingPastTheBoundIsReportedOnceNamingTheChain) {
    std::size_t fired;
    {
        host::Verifier::ExpectViolation e(Check::StackOverflow);
        RunChain(ResubmissionsToReach(host::KernelStackLevels()) + 4);
        fired = e.Fired();
    }
    EXPECT_EQ(fired, 1u) << "one report per chain, not one per level";
    for (const auto& v : host::Verifier::Violations()) {
        if (v.Kind != Check::StackOverflow)
            continue;
        EXPECT_NE(v.Message.find("completion routine of its originator"), std::string::npos)
            << v.Message;
        EXPECT_NE(v.Message.find("dispatch routine of"), std::string::npos) << v.Message;
        ASSERT_NE(v.Site.File, nullptr);
        EXPECT_NE(std::string(v.Site.File).find("stack_test.cpp"), std::string::npos);
    }
    // A new chain on the same thread is judged afresh.
    {
        host::Verifier::ExpectViolation e(Check::StackOverflow);
        RunChain(ResubmissionsToReach(host::KernelStackLevels()) + 1);
    }
}

// A chain that never ends stops the run at twice the bound, on a kernel thread too: the stack
// is large enough for the host to say what happened.
TEST(KernelStackDeathTest, RunawayNestingIsABugCheck) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(
        {
            host::KernelThread thread([] { RunChain(-1); });
            thread.Join();
        },
        "bug check at .*stack_test.cpp:[0-9]+: kernel stack overflow: requests nest 65 driver "
        "routines deep");
}

// Recursion the nesting count cannot see: a routine calling itself with a sizeable local, with
// a way out the compiler cannot rule out.
volatile int g_recursionLimit = 1 << 30;
int Recurse(int depth) {
    volatile unsigned char local[512];
    local[0] = static_cast<unsigned char>(depth);
    if (depth >= g_recursionLimit)
        return local[0];
    return Recurse(depth + 1) + local[0];
}

TEST(KernelStackDeathTest, RecursionTheCountCannotSeeEndsOnAKernelThreadsStack) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(
        {
            host::KernelThread thread([] { Recurse(0); });
            thread.Join();
        },
        "kernel stack overflow on a kernel thread");
}

TEST(KernelThread, RunsItsBodyAndJoinsWhenMovedOrDestroyed) {
    std::atomic<int> ran{0};
    {
        host::KernelThread first([&] { ran++; });
        host::KernelThread second = std::move(first);
        EXPECT_FALSE(first.Joinable());
        EXPECT_TRUE(second.Joinable());
        first = host::KernelThread([&] { ran++; });
    }
    EXPECT_EQ(ran, 2);
}

} // namespace
