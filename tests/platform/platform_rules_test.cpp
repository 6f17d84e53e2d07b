// Rules the platform enforces (its I/O manager relies on them, its verifier stops the machine on
// them) that a driver on the host kernel must not get away with: the pending flag and the value a
// dispatch routine returns agreeing, pool requests the platform refuses, and the bytes a threaded
// buffered request says it returns. And the platform's own event semantics, which a waiter on the
// host must get as it would there.
#include "test_driver.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <thread>

using namespace hktest;

namespace {

// Collects what the verifier reports while alive, whatever the check, instead of failing the
// test: these tests ask only that the host says something.
class CollectReports {
  public:
    CollectReports()
        : previous_(host::Verifier::SetReporter([this](const host::Violation& v) {
              std::lock_guard lock(mutex_);
              messages_.push_back(v.Message);
          })) {}
    ~CollectReports() { host::Verifier::SetReporter(previous_); }
    CollectReports(const CollectReports&) = delete;
    CollectReports& operator=(const CollectReports&) = delete;

    std::size_t Count() {
        std::lock_guard lock(mutex_);
        return messages_.size();
    }

  private:
    std::mutex mutex_;
    std::vector<std::string> messages_;
    host::Verifier::Reporter previous_;
};

// ---------------------------------------------------------------------------------------------
// A dispatch routine's STATUS_PENDING and the pending flag of its stack location

enum class PendingMismatch {
    ReturnsPendingUnmarked, // completes later on another thread, never calls IoMarkIrpPending
    MarksThenReturnsSuccess // IoMarkIrpPending, completes at once, returns STATUS_SUCCESS
};

PendingMismatch g_mismatch = PendingMismatch::ReturnsPendingUnmarked;
std::atomic<PIRP> g_unmarked{nullptr};

NTSTATUS NTAPI OpenOrClose(PDEVICE_OBJECT, PIRP irp) {
    irp->IoStatus.Status = STATUS_SUCCESS;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI MismatchedControl(PDEVICE_OBJECT, PIRP irp) {
    irp->IoStatus.Information = 0;
    if (g_mismatch == PendingMismatch::ReturnsPendingUnmarked) {
        g_unmarked = irp;
        return STATUS_PENDING;
    }
    IoMarkIrpPending(irp);
    irp->IoStatus.Status = STATUS_SUCCESS;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}

class PendingAgreement : public ::testing::TestWithParam<PendingMismatch> {
  protected:
    void SetUp() override {
        g_mismatch = GetParam();
        g_unmarked = nullptr;
        driver_ = host::CreateBusDriver(u"\\Driver\\pendtest");
        driver_->MajorFunction[IRP_MJ_CREATE] = OpenOrClose;
        driver_->MajorFunction[IRP_MJ_CLOSE] = OpenOrClose;
        driver_->MajorFunction[IRP_MJ_CLEANUP] = OpenOrClose;
        driver_->MajorFunction[IRP_MJ_DEVICE_CONTROL] = MismatchedControl;
        device_ = CreateLinkedDevice(driver_, deviceName_, linkName_);
        ASSERT_NE(device_, nullptr);
    }
    void TearDown() override {
        DeleteLinkedDevice(device_, linkName_);
        host::UnloadDriver(driver_);
    }

    PDRIVER_OBJECT driver_ = nullptr;
    PDEVICE_OBJECT device_ = nullptr;
    std::u16string deviceName_ = u"\\Device\\PendTest";
    std::u16string linkName_ = u"\\DosDevices\\PendTest";
};

// The platform's I/O manager decides from the pending flag at the top of the completion walk
// whether the caller, which saw the dispatch routine's return value, finishes the request itself
// or its completion does: a STATUS_PENDING nobody marked leaves a caller waiting for a completion
// that never reaches it, and a mark with a synchronous return finishes the request twice. Both
// are a driver's fault the host must report, not smooth over.
TEST_P(PendingAgreement, DisagreementBetweenReturnAndFlagIsReported) {
    host::Handle h = 0;
    ASSERT_EQ(host::FrontEnd::Open(u"\\\\.\\PendTest", &h), STATUS_SUCCESS);
    std::size_t reported;
    {
        CollectReports reports;
        std::thread completer;
        if (GetParam() == PendingMismatch::ReturnsPendingUnmarked) {
            completer = std::thread([] {
                // Bounded in real time: the request arrives as soon as the call below is made.
                for (int i = 0; i < 20000 && g_unmarked.load() == nullptr; ++i)
                    std::this_thread::sleep_for(std::chrono::milliseconds(1));
                PIRP irp = g_unmarked.exchange(nullptr);
                if (!irp)
                    return;
                irp->IoStatus.Status = STATUS_SUCCESS;
                KIRQL old;
                KeRaiseIrql(DISPATCH_LEVEL, &old);
                IoCompleteRequest(irp, IO_NO_INCREMENT);
                KeLowerIrql(old);
            });
        }
        auto result = host::FrontEnd::DeviceIoControl(
            h, CTL_CODE(FILE_DEVICE_UNKNOWN, 0x810, METHOD_BUFFERED, FILE_ANY_ACCESS), {}, 0);
        if (completer.joinable())
            completer.join();
        EXPECT_EQ(result.Status, STATUS_SUCCESS);
        reported = reports.Count();
    }
    EXPECT_GE(reported, 1u) << "the dispatch routine's return value and the pending flag of its "
                               "location disagree, and the host said nothing";
    EXPECT_EQ(host::FrontEnd::Close(h), STATUS_SUCCESS);
}

INSTANTIATE_TEST_SUITE_P(Both, PendingAgreement,
                         ::testing::Values(PendingMismatch::ReturnsPendingUnmarked,
                                           PendingMismatch::MarksThenReturnsSuccess),
                         [](const auto& info) {
                             return std::string(info.param ==
                                                        PendingMismatch::ReturnsPendingUnmarked
                                                    ? "returns_pending_unmarked"
                                                    : "marks_then_returns_success");
                         });

// ---------------------------------------------------------------------------------------------
// Pool requests the platform refuses

// A zero-byte request is a fault the platform's verifier stops the machine on (it usually means a
// length nobody checked); the host must say so rather than hand out a block.
TEST(PlatformPool, ZeroByteAllocationIsReported) {
    std::size_t reported;
    void* p;
    {
        CollectReports reports;
        p = ExAllocatePool(NonPagedPool, 0);
        reported = reports.Count();
    }
    if (p)
        ExFreePool(p);
    EXPECT_GE(reported, 1u) << "ExAllocatePool(NonPagedPool, 0) returned " << p
                            << " and nothing was reported";
}

// Sizes no pool can satisfy get NULL, as on the platform: never a small block whose size wrapped
// while it was rounded up. Asked in a child process: a block granted for such a size is recorded
// with that size, and freeing or scanning it would take the rest of the run down with it.
TEST(PlatformPool, SizesNearTheTopOfTheAddressSpaceGetNoBlock) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    for (SIZE_T bytes : {~SIZE_T{0}, ~SIZE_T{0} - 7, ~SIZE_T{0} - 15}) {
        EXPECT_EXIT(
            {
                host::Verifier::SetReporter([](const host::Violation&) {});
                void* p = ExAllocatePool(NonPagedPool, bytes);
                std::_Exit(p == nullptr ? 0 : 1);
            },
            ::testing::ExitedWithCode(0), "")
            << "a request for " << bytes << " bytes was granted a block";
    }
}

// ---------------------------------------------------------------------------------------------
// A threaded buffered request's Information

// The platform copies Information bytes of the system buffer into the caller's output, whatever
// the output's length, so a driver that reports more than the output holds overruns its caller.
// The host clamps the copy (so the test's memory survives) but must report it, as the front end
// does for a user's buffered request.
NTSTATUS NTAPI ReportsMoreThanTheOutputHolds(PDEVICE_OBJECT, PIRP irp) {
    PIO_STACK_LOCATION s = IoGetCurrentIrpStackLocation(irp);
    ULONG out = s->Parameters.DeviceIoControl.OutputBufferLength;
    std::memset(irp->AssociatedIrp.SystemBuffer, 0x5C, out);
    irp->IoStatus.Status = STATUS_SUCCESS;
    irp->IoStatus.Information = out + 4;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}

TEST(PlatformThreaded, BufferedInformationPastTheOutputLengthIsReported) {
    TestStack stack({"A"});
    stack.Driver()->MajorFunction[IRP_MJ_DEVICE_CONTROL] = ReportsMoreThanTheOutputHolds;
    unsigned char out[12];
    std::memset(out, 0xEE, sizeof(out));
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb{};
    std::size_t reported;
    {
        CollectReports reports;
        PIRP irp = IoBuildDeviceIoControlRequest(
            CTL_CODE(FILE_DEVICE_UNKNOWN, 2, METHOD_BUFFERED, FILE_ANY_ACCESS), stack.Top(),
            nullptr, 0, out, 4, FALSE, &event, &iosb);
        ASSERT_NE(irp, nullptr);
        EXPECT_EQ(IoCallDriver(stack.Top(), irp), STATUS_SUCCESS);
        reported = reports.Count();
    }
    EXPECT_EQ(out[3], 0x5C);
    EXPECT_EQ(out[4], 0xEE); // nothing past the output the caller named
    EXPECT_GE(reported, 1u) << "Information " << iosb.Information
                            << " past an output of 4 bytes went unreported";
}

// A relative timeout as long as the type holds means "practically never" on the platform; it must
// not wrap into a deadline already past and time out at once.
TEST(PlatformEvents, TheLongestRelativeTimeoutDoesNotRunOutAtOnce) {
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    std::atomic<bool> blocked{false};
    std::thread setter([&] {
        // Set only once the wait below has blocked, so the set never finds the event before it.
        blocked = host::WaitForBlockedWaits(&event, 1);
        KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
    });
    LARGE_INTEGER longest;
    longest.QuadPart = -0x7FFFFFFFFFFFFFFFLL;
    NTSTATUS status = KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &longest);
    setter.join();
    EXPECT_TRUE(blocked) << "the wait never blocked";
    EXPECT_EQ(status, STATUS_SUCCESS) << "a wait of about 29,000 years ran out at once";
}

// ---------------------------------------------------------------------------------------------
// What setting an event does for the threads already waiting on it

// Waits on `event` on a thread of its own for up to a minute of kernel time (real time at the
// test's scale of 1): only a wake-up that never comes ends it by its timeout.
class EventWaiter {
  public:
    explicit EventWaiter(PKEVENT event)
        : thread_([this, event] {
              LARGE_INTEGER limit;
              limit.QuadPart = host::Clock::Relative(60000);
              result_ = KeWaitForSingleObject(event, Executive, KernelMode, FALSE, &limit);
          }) {}
    ~EventWaiter() {
        if (thread_.joinable())
            thread_.join();
    }
    EventWaiter(const EventWaiter&) = delete;
    EventWaiter& operator=(const EventWaiter&) = delete;

    NTSTATUS Result() {
        if (thread_.joinable())
            thread_.join();
        return result_;
    }

  private:
    std::atomic<NTSTATUS> result_{STATUS_PENDING};
    std::thread thread_;
};

// On the platform KeSetEvent satisfies the waits already blocked on the event there and then: a
// notification event cleared right after still releases every thread that was waiting, and a
// synchronization event set twice releases two waiters. A waiter that only looks at the state
// when it next runs misses both, and a test then waits for a wake-up the platform gives.
// An event of a type, not signalled, that two threads wait on (once Blocked() says they have
// blocked).
class TwoWaitersOn {
  public:
    explicit TwoWaitersOn(EVENT_TYPE type)
        : event_(type), first_(&event_.Event), second_(&event_.Event) {}
    PKEVENT Event() { return &event_.Event; }
    bool Blocked() { return host::WaitForBlockedWaits(Event(), 2); }
    EventWaiter& First() { return first_; }
    EventWaiter& Second() { return second_; }

  private:
    // Initialised before the waiters start (members are built in this order).
    struct Initialised {
        explicit Initialised(EVENT_TYPE type) { KeInitializeEvent(&Event, type, FALSE); }
        KEVENT Event;
    };
    Initialised event_;
    EventWaiter first_;
    EventWaiter second_;
};

TEST(PlatformEvents, ASetThatIsClearedAtOnceStillReleasesTheWaiters) {
    TwoWaitersOn waiters(NotificationEvent);
    PKEVENT event = waiters.Event();
    ASSERT_TRUE(waiters.Blocked());
    EXPECT_EQ(KeSetEvent(event, IO_NO_INCREMENT, FALSE), 0);
    KeClearEvent(event);
    EXPECT_EQ(waiters.First().Result(), STATUS_SUCCESS) << "the waiter missed the set";
    EXPECT_EQ(waiters.Second().Result(), STATUS_SUCCESS) << "the waiter missed the set";
    EXPECT_EQ(KeReadStateEvent(event), 0);
}

TEST(PlatformEvents, ASynchronizationEventSetTwiceReleasesTwoWaiters) {
    TwoWaitersOn waiters(SynchronizationEvent);
    PKEVENT event = waiters.Event();
    ASSERT_TRUE(waiters.Blocked());
    EXPECT_EQ(KeSetEvent(event, IO_NO_INCREMENT, FALSE), 0);
    // The set went to one blocked waiter: the event stays clear and the other waiter blocked.
    EXPECT_EQ(KeReadStateEvent(event), 0);
    EXPECT_EQ(host::BlockedWaits(event), 1u);
    EXPECT_EQ(KeSetEvent(event, IO_NO_INCREMENT, FALSE), 0);
    int released = (waiters.First().Result() == STATUS_SUCCESS) +
                   (waiters.Second().Result() == STATUS_SUCCESS);
    EXPECT_EQ(released, 2) << "a set was lost on a waiter that had not run yet";
    EXPECT_EQ(KeReadStateEvent(event), 0) << "each set was consumed by the waiter it released";
}

// Setting an event up afresh while a thread waits on it empties its wait list on the platform:
// the waiter is never woken by a later set. The host must report the re-initialisation rather
// than let the waiter see the later set, which would hide the fault.
TEST(PlatformEvents, InitialisingAnEventWithAWaiterBlockedOnItIsReported) {
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    std::size_t reported;
    NTSTATUS result;
    {
        CollectReports reports;
        EventWaiter waiter(&event);
        ASSERT_TRUE(host::WaitForBlockedWaits(&event, 1));
        KeInitializeEvent(&event, NotificationEvent, FALSE);
        KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
        host::Clock::SetScale(1e6); // the waiter's minute now passes at once
        result = waiter.Result();
        reported = reports.Count();
    }
    EXPECT_GE(reported, 1u) << "an event was initialised while a thread waited on it, unreported";
    EXPECT_EQ(result, STATUS_TIMEOUT) << "the lost wait was satisfied by a later set";
    EXPECT_EQ(host::BlockedWaits(&event), 0u);
}

} // namespace

// Memory that holds an event goes away while a thread waits on it: a pool block freed, or the
// extension of a device deleted (a driver deleting its device while a request still waits on an
// event of its extension). On the platform the wait list goes with the memory and the waiter is
// never woken; the host reports it, and the waiter keeps only its timeout.
TEST(PlatformEvents, StorageThatGoesAwayUnderAWaitedEventIsReported) {
    struct Storage {
        const char* Label;
        PKEVENT (*Make)(PDRIVER_OBJECT driver, PDEVICE_OBJECT& device);
        void (*End)(PKEVENT event, PDEVICE_OBJECT device);
    };
    const Storage storages[] = {
        {"a pool block freed",
         [](PDRIVER_OBJECT, PDEVICE_OBJECT&) {
             return static_cast<PKEVENT>(ExAllocatePool(NonPagedPool, 2 * sizeof(KEVENT))) + 1;
         },
         [](PKEVENT event, PDEVICE_OBJECT) { ExFreePool(event - 1); }},
        {"a device's extension deleted",
         [](PDRIVER_OBJECT driver, PDEVICE_OBJECT& device) {
             EXPECT_EQ(IoCreateDevice(driver, sizeof(KEVENT), nullptr, FILE_DEVICE_UNKNOWN, 0,
                                      FALSE, &device),
                       STATUS_SUCCESS);
             return static_cast<PKEVENT>(device->DeviceExtension);
         },
         [](PKEVENT, PDEVICE_OBJECT device) { IoDeleteDevice(device); }},
    };
    PDRIVER_OBJECT driver = host::CreateBusDriver(u"\\Driver\\eventstorage");
    for (const Storage& storage : storages) {
        SCOPED_TRACE(storage.Label);
        host::Clock::SetScale(1);
        PDEVICE_OBJECT device = nullptr;
        PKEVENT event = storage.Make(driver, device);
        ASSERT_NE(event, nullptr);
        KeInitializeEvent(event, NotificationEvent, FALSE);
        std::size_t reported;
        NTSTATUS result;
        {
            CollectReports reports;
            EventWaiter waiter(event);
            ASSERT_TRUE(host::WaitForBlockedWaits(event, 1));
            storage.End(event, device);
            EXPECT_EQ(host::BlockedWaits(event), 0u) << "the freed event still has its waiter";
            host::Clock::SetScale(1e6); // the waiter's minute now passes at once
            result = waiter.Result();
            reported = reports.Count();
        }
        EXPECT_GE(reported, 1u)
            << "the event's memory went while a thread waited on it, unreported";
        EXPECT_EQ(result, STATUS_TIMEOUT);
    }
    host::UnloadDriver(driver);
}
