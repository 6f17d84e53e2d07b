// Cancel routines and the cancel spin lock, also racing a completion; MDLs and partial MDLs.
#include "test_driver.h"

#include <cstring>
#include <thread>

using namespace hktest;

namespace {

// A device that queues its request with a cancel routine, the way a driver that pends does.
std::atomic<int> g_cancelCalls{0};
std::atomic<bool> g_cancelSawDispatch{false};

VOID NTAPI CancelQueued(PDEVICE_OBJECT device, PIRP irp) {
    g_cancelCalls++;
    g_cancelSawDispatch = KeGetCurrentIrql() == DISPATCH_LEVEL;
    Ext(device)->Held = nullptr;
    IoReleaseCancelSpinLock(irp->CancelIrql);
    irp->IoStatus.Status = STATUS_CANCELLED;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
}

NTSTATUS NTAPI QueueWithCancel(PDEVICE_OBJECT device, PIRP irp) {
    IoMarkIrpPending(irp);
    Ext(device)->Held = irp;
    IoSetCancelRoutine(irp, CancelQueued);
    return STATUS_PENDING;
}

// The driver's own completion path: whoever clears the cancel routine first owns the request.
void CompleteUnlessCancelled(TestExtension& ext, PIRP irp) {
    if (IoSetCancelRoutine(irp, nullptr) == nullptr)
        return; // the cancel routine has it
    ext.Held = nullptr;
    irp->IoStatus.Status = STATUS_SUCCESS;
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    KeLowerIrql(old);
}

TEST(Cancel, RoutineRunsOnceAtDispatchWithTheLockAndCompletes) {
    g_cancelCalls = 0;
    TestStack stack({"A"});
    stack.Driver()->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = QueueWithCancel;
    Originator o;
    PIRP irp = o.Send(stack.Top());
    EXPECT_FALSE(o.Called);
    EXPECT_TRUE(IoCancelIrp(irp));
    EXPECT_EQ(g_cancelCalls, 1);
    EXPECT_TRUE(g_cancelSawDispatch);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    EXPECT_TRUE(o.Called);
    EXPECT_EQ(irp->IoStatus.Status, STATUS_CANCELLED);
    EXPECT_TRUE(irp->Cancel);
    // Nothing left to call the second time.
    EXPECT_FALSE(IoCancelIrp(irp));
    EXPECT_EQ(g_cancelCalls, 1);
    IoFreeIrp(irp);
}

TEST(Cancel, WithoutARoutineOnlyTheFlagIsSet) {
    HeldRequest held;
    EXPECT_FALSE(IoCancelIrp(held.Irp));
    EXPECT_TRUE(held.Irp->Cancel);
    held.Complete();
    IoFreeIrp(held.Irp);
}

TEST(Cancel, RacingCompletionCompletesExactlyOnce) {
    TestStack stack({"A"});
    stack.Driver()->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = QueueWithCancel;
    g_cancelCalls = 0;
    int cancelled = 0;
    for (int round = 0; round < 300; ++round) {
        Originator o;
        PIRP irp = o.Send(stack.Top());
        std::thread completer([&] { CompleteUnlessCancelled(stack(0), irp); });
        BOOLEAN routineCalled = IoCancelIrp(irp);
        completer.join();
        o.Wait();
        cancelled += irp->IoStatus.Status == STATUS_CANCELLED;
        EXPECT_EQ(routineCalled != 0, irp->IoStatus.Status == STATUS_CANCELLED) << round;
        IoFreeIrp(irp);
    }
    EXPECT_EQ(g_cancelCalls, cancelled);
}

// ---------------------------------------------------------------------------------------------
// MDLs

TEST(Mdl, AllocateDescribesTheRangeAndAttachesToTheRequest) {
    PIRP irp = IoAllocateIrp(1, FALSE);
    auto* buffer = static_cast<unsigned char*>(ExAllocatePool(NonPagedPool, 3 * PAGE_SIZE));
    PMDL primary = IoAllocateMdl(buffer + 100, 5000, FALSE, FALSE, irp);
    PMDL secondary = IoAllocateMdl(buffer, 10, TRUE, FALSE, irp);
    ASSERT_NE(primary, nullptr);
    EXPECT_EQ(irp->MdlAddress, primary);
    EXPECT_EQ(primary->Next, secondary);
    EXPECT_EQ(MmGetMdlVirtualAddress(primary), buffer + 100);
    EXPECT_EQ(MmGetMdlByteCount(primary), 5000u);
    EXPECT_EQ(MmGetMdlByteOffset(primary),
              reinterpret_cast<std::uintptr_t>(buffer + 100) & (PAGE_SIZE - 1));
    EXPECT_EQ(primary->MdlFlags & (MDL_MAPPED_TO_SYSTEM_VA | MDL_SOURCE_IS_NONPAGED_POOL), 0);
    MmBuildMdlForNonPagedPool(primary);
    EXPECT_TRUE(primary->MdlFlags & MDL_SOURCE_IS_NONPAGED_POOL);
    EXPECT_EQ(primary->MappedSystemVa, buffer + 100);
    EXPECT_EQ(MmMapLockedPages(primary, KernelMode), buffer + 100);
    IoFreeIrp(irp);
    IoFreeMdl(secondary);
    IoFreeMdl(primary);
    ExFreePool(buffer);
}

struct PartialCase {
    const char* Label;
    std::ptrdiff_t Offset;
    ULONG Length;
    bool Valid;
    ULONG ExpectedCount;
};

class PartialMdl : public ::testing::TestWithParam<PartialCase> {};

TEST_P(PartialMdl, RangeIsCheckedAgainstTheSource) {
    const PartialCase& c = GetParam();
    constexpr ULONG SourceBytes = 200000;
    auto* buffer = static_cast<unsigned char*>(ExAllocatePool(NonPagedPool, SourceBytes));
    PMDL source = IoAllocateMdl(buffer, SourceBytes, FALSE, FALSE, nullptr);
    MmBuildMdlForNonPagedPool(source);
    PMDL target = IoAllocateMdl(buffer, SourceBytes, FALSE, FALSE, nullptr);
    target->ByteCount = 0xDEAD;
    {
        std::optional<host::Verifier::ExpectViolation> expect;
        if (!c.Valid)
            expect.emplace(host::Check::MdlRange);
        IoBuildPartialMdl(source, target, buffer + c.Offset, c.Length);
    }
    if (c.Valid) {
        EXPECT_EQ(MmGetMdlVirtualAddress(target), buffer + c.Offset) << c.Label;
        EXPECT_EQ(MmGetMdlByteCount(target), c.ExpectedCount) << c.Label;
        EXPECT_TRUE(target->MdlFlags & MDL_PARTIAL);
        EXPECT_EQ(target->MappedSystemVa, buffer + c.Offset); // inherited from non-paged pool
    } else {
        EXPECT_EQ(target->ByteCount, 0xDEADu) << "a refused partial MDL is left alone";
    }
    IoFreeMdl(target);
    IoFreeMdl(source);
    ExFreePool(buffer);
}

INSTANTIATE_TEST_SUITE_P(
    Table, PartialMdl,
    ::testing::Values(PartialCase{"first_chunk", 0, 65536, true, 65536},
                      PartialCase{"last_short_chunk", 196608, 3392, true, 3392},
                      PartialCase{"zero_length_is_the_rest", 196608, 0, true, 3392},
                      PartialCase{"whole", 0, 200000, true, 200000},
                      PartialCase{"one_past_the_end", 196608, 3393, false, 0},
                      PartialCase{"starts_before", -1, 10, false, 0},
                      PartialCase{"starts_at_end", 200000, 1, false, 0}),
    [](const auto& info) { return std::string(info.param.Label); });

TEST(Mdl, PartialOfALockedBufferIsMappedOnDemand) {
    std::vector<unsigned char> user(10000);
    PMDL source = nullptr;
    // A user buffer as the front end locks it: pages locked, not mapped.
    {
        PIRP irp = IoAllocateIrp(1, FALSE);
        source = IoAllocateMdl(user.data(), 10000, FALSE, FALSE, irp);
        source->MdlFlags |= MDL_PAGES_LOCKED;
        IoFreeIrp(irp);
    }
    PMDL part = IoAllocateMdl(user.data(), 10000, FALSE, FALSE, nullptr);
    IoBuildPartialMdl(source, part, user.data() + 4096, 100);
    EXPECT_EQ(part->MdlFlags & MDL_MAPPED_TO_SYSTEM_VA, 0);
    EXPECT_EQ(MmMapLockedPages(part, KernelMode), user.data() + 4096);
    EXPECT_TRUE(part->MdlFlags & MDL_MAPPED_TO_SYSTEM_VA);
    IoFreeMdl(part);
    IoFreeMdl(source);
}

// A user buffer as the front end locks it: pages locked, not mapped.
PMDL LockedMdl(std::vector<unsigned char>& user) {
    PMDL mdl = IoAllocateMdl(user.data(), static_cast<ULONG>(user.size()), FALSE, FALSE, nullptr);
    mdl->MdlFlags |= MDL_PAGES_LOCKED;
    return mdl;
}

TEST(Mdl, SafeMappingFailsSoftlyAndRecordsWhatWasAsked) {
    std::vector<unsigned char> user(5000);
    PMDL mdl = LockedMdl(user);
    host::FaultInjection::FailNth(1, host::AllocationKind::Mapping);
    EXPECT_EQ(MmGetSystemAddressForMdlSafe(mdl, NormalPagePriority | MdlMappingNoExecute), nullptr);
    EXPECT_EQ(mdl->MdlFlags & MDL_MAPPED_TO_SYSTEM_VA, 0) << "a failed mapping leaves no trace";
    EXPECT_EQ(MmGetSystemAddressForMdlSafe(mdl, HighPagePriority), user.data());
    // Mapped once, the macro uses the mapping without asking again.
    EXPECT_EQ(MmGetSystemAddressForMdlSafe(mdl, LowPagePriority), user.data());
    auto mappings = host::MdlMappings();
    ASSERT_EQ(mappings.size(), 2u);
    EXPECT_TRUE(mappings[0].Failed);
    EXPECT_TRUE(mappings[0].Safe);
    EXPECT_EQ(mappings[0].Priority, static_cast<ULONG>(NormalPagePriority));
    EXPECT_TRUE(mappings[0].NoExecute);
    EXPECT_FALSE(mappings[0].NoWrite);
    EXPECT_FALSE(mappings[1].Failed);
    EXPECT_EQ(mappings[1].Priority, static_cast<ULONG>(HighPagePriority));
    EXPECT_FALSE(mappings[1].NoExecute);
    ASSERT_NE(mappings[1].Site.File, nullptr);
    EXPECT_NE(std::string(mappings[1].Site.File).find("cancel_mdl_test.cpp"), std::string::npos);
    IoFreeMdl(mdl);
}

TEST(Mdl, SpecifyCacheRefusesWhatAKernelMappingCannotAsk) {
    std::vector<unsigned char> user(100);
    PMDL mdl = LockedMdl(user);
    {
        host::Verifier::ExpectViolation e(host::Check::BadArgument);
        EXPECT_EQ(MmMapLockedPagesSpecifyCache(mdl, KernelMode, MmCached, user.data(), FALSE,
                                               NormalPagePriority),
                  nullptr);
        EXPECT_EQ(MmMapLockedPagesSpecifyCache(mdl, KernelMode, MmCached, nullptr, FALSE, 7),
                  nullptr);
    }
    EXPECT_EQ(host::Verifier::Count(host::Check::BadArgument), 2u);
    IoFreeMdl(mdl);
}

// Two threads freeing one MDL at once: one frees it and the other is told it was already freed,
// every time, rather than both getting through and the MDL going into quarantine twice.
TEST(Mdl, FreedOnTwoThreadsAtOnceItIsFreedOnceAndTheSecondFreeIsReported) {
    constexpr int kRounds = 300;
    char buffer[64];
    host::Verifier::ExpectViolation e(host::Check::BadFree);
    for (int round = 0; round < kRounds; ++round) {
        PMDL mdl = IoAllocateMdl(buffer, sizeof(buffer), FALSE, FALSE, nullptr);
        ASSERT_NE(mdl, nullptr);
        std::atomic<int> ready{0};
        const auto free = [&] {
            ready++;
            while (ready.load() < 2)
                std::this_thread::yield();
            IoFreeMdl(mdl);
        };
        std::thread other(free);
        free();
        other.join();
    }
    EXPECT_EQ(host::Verifier::Count(host::Check::BadFree), static_cast<std::size_t>(kRounds));
}

// The old routine cannot return a failure: where the platform cannot map, it stops the machine.
TEST(MdlDeathTest, MmMapLockedPagesThatCannotMapIsABugCheck) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    std::vector<unsigned char> user(100);
    PMDL mdl = LockedMdl(user);
    EXPECT_DEATH(
        {
            host::FaultInjection::FailNth(1, host::AllocationKind::Mapping);
            MmMapLockedPages(mdl, KernelMode);
        },
        "bug check at .*cancel_mdl_test.cpp:[0-9]+: MmMapLockedPages could not map");
    IoFreeMdl(mdl);
}

} // namespace
