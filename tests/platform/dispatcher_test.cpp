// Events and waits on the scaled clock, spin locks, executive resources, pool fault injection.
#include "test_driver.h"

#include <algorithm>
#include <chrono>
#include <thread>

namespace {

using Real = std::chrono::steady_clock;

double RealSeconds(Real::time_point since) {
    return std::chrono::duration<double>(Real::now() - since).count();
}

LARGE_INTEGER Interval(LONGLONG hundredNs) {
    LARGE_INTEGER t;
    t.QuadPart = hundredNs;
    return t;
}

struct WaitCase {
    const char* Label;
    enum Kind { None, Zero, Relative, Absolute, AbsolutePast } How;
    bool Signalled;
    NTSTATUS Expected;
    double KernelSecondsAtLeast;
};

class Waits : public ::testing::TestWithParam<WaitCase> {};

TEST_P(Waits, EndAsTheirTimeoutSaysOnTheScaledClock) {
    const WaitCase& c = GetParam();
    host::Clock::SetScale(1000); // 3 s of kernel time in 3 ms
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, c.Signalled);
    LARGE_INTEGER timeout{};
    LONGLONG start = host::Clock::Now();
    switch (c.How) {
    case WaitCase::Zero:
        timeout.QuadPart = 0;
        break;
    case WaitCase::Relative:
        timeout.QuadPart = host::Clock::Relative(3000);
        break;
    case WaitCase::Absolute:
        timeout.QuadPart = start + 30000000;
        break;
    case WaitCase::AbsolutePast:
        timeout.QuadPart = start - 10;
        break;
    case WaitCase::None:
        break;
    }
    auto realStart = Real::now();
    NTSTATUS status = KeWaitForSingleObject(&event, Executive, KernelMode, FALSE,
                                            c.How == WaitCase::None ? nullptr : &timeout);
    EXPECT_EQ(status, c.Expected) << c.Label;
    EXPECT_GE(host::Clock::Now() - start, static_cast<LONGLONG>(c.KernelSecondsAtLeast * 1e7))
        << c.Label;
    EXPECT_LT(RealSeconds(realStart), 1.0) << c.Label;
}

INSTANTIATE_TEST_SUITE_P(
    Table, Waits,
    ::testing::Values(
        WaitCase{"signalled_no_timeout", WaitCase::None, true, STATUS_SUCCESS, 0},
        WaitCase{"signalled_relative", WaitCase::Relative, true, STATUS_SUCCESS, 0},
        WaitCase{"zero_polls", WaitCase::Zero, false, STATUS_TIMEOUT, 0},
        WaitCase{"relative_3s", WaitCase::Relative, false, STATUS_TIMEOUT, 3.0},
        WaitCase{"absolute_3s", WaitCase::Absolute, false, STATUS_TIMEOUT, 3.0},
        WaitCase{"absolute_past_ends_at_once", WaitCase::AbsolutePast, false, STATUS_TIMEOUT, 0},
        WaitCase{"absolute_past_but_signalled", WaitCase::AbsolutePast, true, STATUS_SUCCESS, 0}),
    [](const auto& info) { return std::string(info.param.Label); });

TEST(Dispatcher, WaitEndsWhenAnotherThreadSetsTheEvent) {
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    std::thread setter([&] {
        LARGE_INTEGER delay = Interval(host::Clock::Relative(5));
        KeDelayExecutionThread(KernelMode, FALSE, &delay);
        KIRQL old;
        KeRaiseIrql(DISPATCH_LEVEL, &old);
        EXPECT_EQ(KeSetEvent(&event, IO_NO_INCREMENT, FALSE), 0);
        KeLowerIrql(old);
    });
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
    setter.join();
    EXPECT_EQ(KeReadStateEvent(&event), 1); // a notification event stays signalled
    EXPECT_EQ(KeResetEvent(&event), 1);
    EXPECT_EQ(KeReadStateEvent(&event), 0);
}

TEST(Dispatcher, SynchronizationEventReleasesOneWaiterAndResets) {
    host::Clock::SetScale(1000);
    KEVENT event;
    KeInitializeEvent(&event, SynchronizationEvent, FALSE);
    std::atomic<int> woken{0};
    auto waiter = [&] {
        LARGE_INTEGER t = Interval(host::Clock::Relative(2000));
        woken += KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &t) == STATUS_SUCCESS;
    };
    std::thread a(waiter), b(waiter);
    KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
    a.join();
    b.join();
    EXPECT_EQ(woken, 1);
    EXPECT_EQ(KeReadStateEvent(&event), 0);
}

TEST(Dispatcher, DelayRunsOnTheScaledClock) {
    host::Clock::SetScale(1000);
    LONGLONG start = host::Clock::Now();
    auto realStart = Real::now();
    LARGE_INTEGER delay = Interval(host::Clock::Relative(1500));
    EXPECT_EQ(KeDelayExecutionThread(KernelMode, FALSE, &delay), STATUS_SUCCESS);
    EXPECT_GE(host::Clock::Now() - start, 15000000);
    EXPECT_LT(RealSeconds(realStart), 0.5);
}

TEST(Dispatcher, ScaleChangeMidWaitKeepsTimeMonotonicAndTakesEffect) {
    host::Clock::SetScale(1);
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    LONGLONG before = host::Clock::Now();
    auto realStart = Real::now();
    std::thread speeder([] {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        host::Clock::SetScale(100000);
    });
    LARGE_INTEGER t = Interval(host::Clock::Relative(60000)); // a minute of kernel time
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &t), STATUS_TIMEOUT);
    speeder.join();
    EXPECT_LT(RealSeconds(realStart), 5.0);
    LONGLONG after = host::Clock::Now();
    EXPECT_GE(after - before, 600000000);
    host::Clock::SetScale(0.5);
    EXPECT_GE(host::Clock::Now(), after);
}

TEST(Dispatcher, SystemTimeComesFromTheHostClock) {
    LARGE_INTEGER now;
    KeQuerySystemTime(&now);
    // After 2020 in units of 100 ns since 1601.
    EXPECT_GT(now.QuadPart, 132223104000000000LL);
    EXPECT_LE(now.QuadPart, host::Clock::Now());
}

// A wait that timed out has left the event's wait list: a later set stays in the event for the
// next wait instead of going to a wait that has already returned.
TEST(Dispatcher, AWaitThatTimedOutTakesNoLaterSet) {
    KEVENT event;
    KeInitializeEvent(&event, SynchronizationEvent, FALSE);
    EXPECT_FALSE(host::WaitForBlockedWaits(&event, 1, 0.01)) << "nobody waits yet";
    LARGE_INTEGER zero = Interval(0);
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &zero), STATUS_TIMEOUT);
    EXPECT_EQ(host::BlockedWaits(&event), 0u) << "a poll never blocks";
    std::atomic<NTSTATUS> result{STATUS_PENDING};
    std::thread waiter([&] {
        LARGE_INTEGER limit = Interval(host::Clock::Relative(60000));
        result = KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &limit);
    });
    EXPECT_TRUE(host::WaitForBlockedWaits(&event, 1));
    host::Clock::SetScale(1e6); // the waiter's minute now passes at once
    waiter.join();
    EXPECT_EQ(result, STATUS_TIMEOUT);
    EXPECT_EQ(host::BlockedWaits(&event), 0u);
    EXPECT_EQ(KeSetEvent(&event, IO_NO_INCREMENT, FALSE), 0);
    EXPECT_EQ(KeReadStateEvent(&event), 1) << "the set went to a wait that had already ended";
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &zero), STATUS_SUCCESS);
}

// A set that falls together with a waiter's timeout: either the wait returns success and the set
// is consumed, or it times out and the set stays in the event. Never both, never neither.
TEST(Dispatcher, ASetRacingATimeoutIsNeitherLostNorGivenTwice) {
    for (int round = 0; round < 200; ++round) {
        KEVENT event;
        KeInitializeEvent(&event, SynchronizationEvent, FALSE);
        std::atomic<NTSTATUS> result{STATUS_PENDING};
        std::thread waiter([&] {
            LARGE_INTEGER limit = Interval(-(round % 20) * 50); // up to 95 us of kernel time
            result = KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &limit);
        });
        if (round % 2)
            std::this_thread::yield();
        EXPECT_EQ(KeSetEvent(&event, IO_NO_INCREMENT, FALSE), 0);
        waiter.join();
        ASSERT_TRUE(result == STATUS_SUCCESS || result == STATUS_TIMEOUT) << "round " << round;
        EXPECT_EQ(KeReadStateEvent(&event), result == STATUS_SUCCESS ? 0 : 1)
            << "round " << round << ": the wait returned " << host::StatusName(result);
        EXPECT_EQ(host::BlockedWaits(&event), 0u) << "round " << round;
    }
}

TEST(SpinLocks, ExcludeEachOtherAndRaiseToDispatch) {
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    long counter = 0;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&] {
            for (int i = 0; i < 2000; ++i) {
                KIRQL old = KeAcquireSpinLockRaiseToDpc(&lock);
                EXPECT_EQ(old, PASSIVE_LEVEL);
                EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
                long seen = counter;
                counter = seen + 1;
                KeReleaseSpinLock(&lock, old);
            }
            EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
        });
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(counter, 8000);
    EXPECT_EQ(lock, 0u);
}

// A thread of its own that runs `body` inside a critical region, as every resource user must.
template <typename Body> std::thread InCriticalRegion(Body body) {
    return std::thread([body] {
        KeEnterCriticalRegion();
        body();
        KeLeaveCriticalRegion();
    });
}

// A thread that waits for `resource` exclusively, notes in `had` that it got it, and lets it go.
std::thread Writer(ERESOURCE& resource, std::atomic<bool>& had) {
    return InCriticalRegion([&resource, &had] {
        ExAcquireResourceExclusiveLite(&resource, TRUE);
        had = true;
        ExReleaseResourceLite(&resource);
    });
}

TEST(Resources, SharedTogetherExclusiveAlone) {
    ERESOURCE resource;
    ExInitializeResourceLite(&resource);
    KeEnterCriticalRegion();
    ASSERT_TRUE(ExAcquireResourceSharedLite(&resource, TRUE));
    std::atomic<bool> otherShared{false}, exclusiveGot{false}, exclusiveTry{true};
    std::thread reader = InCriticalRegion([&] {
        otherShared = ExAcquireResourceSharedLite(&resource, TRUE);
        ExReleaseResourceLite(&resource);
        exclusiveTry = ExAcquireResourceExclusiveLite(&resource, FALSE);
    });
    reader.join();
    EXPECT_TRUE(otherShared);
    EXPECT_FALSE(exclusiveTry);
    std::thread writer = Writer(resource, exclusiveGot);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_FALSE(exclusiveGot) << "exclusive granted while a shared holder remains";
    ExReleaseResourceLite(&resource);
    writer.join();
    EXPECT_TRUE(exclusiveGot);
    // Exclusive is recursive for its owner, and shuts out shared acquisition by others.
    ASSERT_TRUE(ExAcquireResourceExclusiveLite(&resource, TRUE));
    ASSERT_TRUE(ExAcquireResourceExclusiveLite(&resource, TRUE));
    std::thread tryReader =
        InCriticalRegion([&] { otherShared = ExAcquireResourceSharedLite(&resource, FALSE); });
    tryReader.join();
    EXPECT_FALSE(otherShared);
    ExReleaseResourceLite(&resource);
    ExReleaseResourceLite(&resource);
    KeLeaveCriticalRegion();
    ExDeleteResourceLite(&resource);
}

// Waits in real time (bounded widely) until `ready`, for a state another thread reaches.
template <typename F> bool Eventually(F ready) {
    auto start = Real::now();
    while (!ready()) {
        if (RealSeconds(start) > 30)
            return false;
        std::this_thread::yield();
    }
    return true;
}

// A writer queued behind a shared owner holds back new shared owners (removal must not stall
// behind such a writer, which is what starving it is for); ExAcquireSharedStarveExclusive walks
// past it, but not past an exclusive owner.
TEST(Resources, AQueuedWriterHoldsBackNewReadersUnlessTheyStarveIt) {
    ERESOURCE resource;
    ExInitializeResourceLite(&resource);
    KeEnterCriticalRegion();
    ASSERT_TRUE(ExAcquireResourceSharedLite(&resource, TRUE));
    std::atomic<bool> writerHad{false};
    std::thread writer = Writer(resource, writerHad);
    ASSERT_TRUE(Eventually([&] { return host::InspectResource(&resource).ExclusiveWaiters == 1; }));
    BOOLEAN plain = TRUE, starving = FALSE, starvingWaits = FALSE;
    InCriticalRegion([&] {
        plain = ExAcquireResourceSharedLite(&resource, FALSE);
        starving = ExAcquireSharedStarveExclusive(&resource, FALSE);
        if (starving)
            ExReleaseResourceLite(&resource);
        starvingWaits = ExAcquireSharedStarveExclusive(&resource, TRUE); // must not block
        if (starvingWaits)
            ExReleaseResourceLite(&resource);
    }).join();
    EXPECT_FALSE(plain) << "a new reader went ahead of the queued writer";
    EXPECT_TRUE(starving);
    EXPECT_TRUE(starvingWaits);
    // A reader that waits gets the resource only after the queued writer has had it.
    bool readerSawWriter = false;
    std::thread reader = InCriticalRegion([&] {
        ExAcquireResourceSharedLite(&resource, TRUE);
        readerSawWriter = writerHad;
        ExReleaseResourceLite(&resource);
    });
    ASSERT_TRUE(Eventually([&] { return host::InspectResource(&resource).SharedWaiters == 1; }));
    ExReleaseResourceLite(&resource);
    writer.join();
    reader.join();
    EXPECT_TRUE(readerSawWriter);
    // An exclusive owner keeps even a starving reader out, and may itself take it shared.
    ASSERT_TRUE(ExAcquireResourceExclusiveLite(&resource, TRUE));
    InCriticalRegion([&] { starving = ExAcquireSharedStarveExclusive(&resource, FALSE); }).join();
    EXPECT_FALSE(starving);
    EXPECT_TRUE(ExAcquireSharedStarveExclusive(&resource, FALSE));
    ExReleaseResourceLite(&resource);
    ExReleaseResourceLite(&resource);
    KeLeaveCriticalRegion();
    ExDeleteResourceLite(&resource);
}

// ---------------------------------------------------------------------------------------------
// Fault injection

TEST(FaultInjection, FailsTheKthAllocationOfTheChosenKinds) {
    host::FaultInjection::FailNth(3, host::AllocationKind::Pool);
    void* a = ExAllocatePool(NonPagedPool, 8);
    PIRP irp = IoAllocateIrp(1, FALSE); // not pool: not counted for the rule
    void* b = ExAllocatePool(NonPagedPool, 8);
    void* c = ExAllocatePool(NonPagedPool, 8);
    void* d = ExAllocatePool(NonPagedPool, 8);
    EXPECT_NE(a, nullptr);
    EXPECT_NE(irp, nullptr);
    EXPECT_NE(b, nullptr);
    EXPECT_EQ(c, nullptr);
    EXPECT_NE(d, nullptr);
    EXPECT_EQ(host::FaultInjection::Failed(), 1u);
    ExFreePool(a);
    ExFreePool(b);
    ExFreePool(d);
    IoFreeIrp(irp);
    host::FaultInjection::FailNth(1, host::AllocationKind::Irp);
    EXPECT_EQ(IoAllocateIrp(1, FALSE), nullptr);
    host::FaultInjection::FailNth(1, host::AllocationKind::Mdl);
    char buffer[16];
    EXPECT_EQ(IoAllocateMdl(buffer, 16, FALSE, FALSE, nullptr), nullptr);
}

TEST(FaultInjection, CountsEveryAllocationAndFailsOnlyWhileARuleIsInForce) {
    char buffer[16];
    const std::uint64_t before = host::FaultInjection::Counted();
    void* block = ExAllocatePool(NonPagedPool, 8);
    PIRP irp = IoAllocateIrp(1, FALSE);
    PMDL mdl = IoAllocateMdl(buffer, sizeof(buffer), FALSE, FALSE, nullptr);
    EXPECT_EQ(host::FaultInjection::Counted(), before + 3) << "counted with no rule in force";
    EXPECT_EQ(host::FaultInjection::Failed(), 0u);
    ASSERT_NE(block, nullptr);
    ASSERT_NE(irp, nullptr);
    ASSERT_NE(mdl, nullptr);
    IoFreeMdl(mdl);
    IoFreeIrp(irp);
    ExFreePool(block);
    // A rule spent by its last failure leaves every allocation alone; the next rule is in force
    // at once, and Reset ends it.
    host::FaultInjection::FailAtSite("dispatcher_test.cpp:" + std::to_string(__LINE__ + 3), 2);
    std::vector<void*> blocks;
    for (int i = 0; i < 4; ++i)
        blocks.push_back(ExAllocatePool(NonPagedPool, 8));
    EXPECT_EQ(blocks[0], nullptr);
    EXPECT_EQ(blocks[1], nullptr);
    EXPECT_NE(blocks[2], nullptr);
    EXPECT_NE(blocks[3], nullptr);
    host::FaultInjection::FailNth(2, host::AllocationKind::Pool);
    void* first = ExAllocatePool(NonPagedPool, 8);
    EXPECT_NE(first, nullptr);
    EXPECT_EQ(ExAllocatePool(NonPagedPool, 8), nullptr);
    EXPECT_EQ(host::FaultInjection::Failed(), 3u);
    host::FaultInjection::FailNth(1, host::AllocationKind::Pool);
    host::FaultInjection::Reset();
    void* after = ExAllocatePool(NonPagedPool, 8);
    EXPECT_NE(after, nullptr);
    EXPECT_EQ(host::FaultInjection::Counted(), 1u) << "Reset starts the count again";
    for (void* p : {blocks[2], blocks[3], first, after})
        ExFreePool(p);
}

TEST(FaultInjection, FailsAtANamedSite) {
    host::FaultInjection::FailAtSite("dispatcher_test.cpp:" + std::to_string(__LINE__ + 2), 1);
    for (int i = 0; i < 2; ++i) {
        void* p = ExAllocatePool(NonPagedPool, 8);
        EXPECT_EQ(p == nullptr, i == 0) << i;
        if (p)
            ExFreePool(p);
    }
    void* elsewhere = ExAllocatePool(NonPagedPool, 8);
    EXPECT_NE(elsewhere, nullptr);
    ExFreePool(elsewhere);
}

TEST(FaultInjection, ADeciderSeesEveryCountedAllocationAndFailsTheOnesItChooses) {
    std::vector<std::pair<host::AllocationKind, int>> seen;
    int line = __LINE__ + 9;
    host::FaultInjection::SetDecider([&](host::AllocationKind kind, const host::CallSite& site) {
        seen.emplace_back(kind, site.Line);
        // Calls back into the host kernel work: no host lock is held here.
        EXPECT_EQ(host::CurrentIrql(), PASSIVE_LEVEL);
        return seen.size() == 2;
    });
    std::vector<void*> blocks;
    for (int i = 0; i < 3; ++i)
        blocks.push_back(ExAllocatePool(NonPagedPool, 8));
    PIRP irp = IoAllocateIrp(1, FALSE);
    EXPECT_NE(blocks[0], nullptr);
    EXPECT_EQ(blocks[1], nullptr);
    EXPECT_NE(blocks[2], nullptr);
    ASSERT_EQ(seen.size(), 4u);
    EXPECT_EQ(seen[0], std::make_pair(host::AllocationKind::Pool, line));
    EXPECT_EQ(seen[3].first, host::AllocationKind::Irp);
    EXPECT_EQ(host::FaultInjection::Failed(), 1u);
    // A rule that fails an allocation decides alone; Reset forgets the decider.
    host::FaultInjection::FailNth(1, host::AllocationKind::Pool);
    EXPECT_EQ(ExAllocatePool(NonPagedPool, 8), nullptr);
    EXPECT_EQ(seen.size(), 4u);
    host::FaultInjection::Reset();
    void* after = ExAllocatePool(NonPagedPool, 8);
    EXPECT_EQ(seen.size(), 4u);
    ExFreePool(after);
    ExFreePool(blocks[0]);
    ExFreePool(blocks[2]);
    IoFreeIrp(irp);
}

TEST(FaultInjection, ProbabilityIsReproducibleFromTheSeed) {
    auto run = [] {
        host::FaultInjection::Reset();
        host::FaultInjection::FailWithProbability(0.3, 42);
        std::vector<bool> failed;
        for (int i = 0; i < 200; ++i) {
            void* p = ExAllocatePool(NonPagedPool, 8);
            failed.push_back(p == nullptr);
            if (p)
                ExFreePool(p);
        }
        return failed;
    };
    auto first = run(), second = run();
    EXPECT_EQ(first, second);
    auto failures = std::count(first.begin(), first.end(), true);
    EXPECT_GT(failures, 30);
    EXPECT_LT(failures, 100);
}

TEST(Pool, BlocksAreTrackedWithTheirSite) {
    std::uint64_t mark = host::Pool::NextSerial();
    void* p = ExAllocatePoolWithTag(NonPagedPool, 24, 0x74736554);
    std::string report = host::Pool::LeakReport(mark);
    EXPECT_NE(report.find("24 bytes"), std::string::npos) << report;
    EXPECT_NE(report.find("dispatcher_test.cpp"), std::string::npos) << report;
    ExFreePoolWithTag(p, 0x74736554);
    EXPECT_EQ(host::Pool::LeakReport(mark), "");
}

} // namespace
