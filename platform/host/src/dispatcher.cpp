// Dispatcher objects: events, waits, delays, and executive resources.
//
// Every object keeps its state in its own fields, changed only under the one dispatcher lock.
// A thread that has to block on an event leaves a wait record in the event's wait list, and the
// routine that signals the event satisfies the records there and then, as the platform's
// dispatcher does: a notification event releases every blocked waiter, a synchronization event
// one, its state consumed. The waiter then only reads the status its record holds, so what
// happens to the event between the set and the moment the waiter runs again (a clear, a second
// set) cannot take the wake-up back or lose it. Waiters sleep on the one condition variable,
// which also wakes timed waits when the clock's scale changes.
#include "internal.h"

#include <fmt/format.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
#include <deque>
#include <optional>
#include <thread>
#include <unordered_map>
#include <vector>

namespace host::detail {

std::chrono::steady_clock::time_point RealDeadline(LONGLONG deadline);

namespace {
// Marks an initialised event or resource in a field the platform keeps for its wait list.
constexpr ULONG_PTR EventMark = 0x4B45564E54ULL;  // "KEVNT"
constexpr ULONG_PTR ResourceMark = 0x45524553ULL; // "ERES"

// A wait blocked on an event: who waits, from where, and, once a set satisfied it, the status
// its KeWaitForSingleObject returns (STATUS_PENDING while it is still blocked). It lives on the
// waiting thread's stack and is in its event's wait list exactly while it is blocked there.
struct WaitRecord {
    PKEVENT Object;
    std::uint64_t Thread;
    CallSite Site;
    NTSTATUS Status = STATUS_PENDING;
    bool Listed = false; // in Object's wait list (false once satisfied, timed out or orphaned)
};

struct DispatcherState {
    std::mutex Mutex;
    std::condition_variable Cv;
    // The wait list of each event some thread is blocked on, oldest wait first. Kept here rather
    // than in the event's header, whose wait list fields mark it as initialised.
    std::unordered_map<const void*, std::deque<WaitRecord*>> WaitLists;
    // How many waits are listed: storage that goes away (EventStorageEnds) is looked at only
    // while some thread waits, so freeing pool costs nothing more when nobody does.
    std::atomic<std::size_t> Listed{0};
    // Tests waiting until threads have blocked (WaitForBlockedWaits), woken by each new block.
    std::condition_variable BlockCv;
    int BlockWatchers = 0;
};
DispatcherState& D() {
    static DispatcherState* state = new DispatcherState;
    return *state;
}

bool IsEvent(PKEVENT event) {
    return event && reinterpret_cast<ULONG_PTR>(event->Header.WaitListHead.Flink) == EventMark &&
           event->Header.Type <= SynchronizationEvent;
}

bool IsResource(PERESOURCE resource) {
    return resource &&
           reinterpret_cast<ULONG_PTR>(resource->SystemResourcesList.Flink) == ResourceMark;
}

// Whether `routine` was given an initialised event or resource; reports the misuse when not.
// Called with the dispatcher lock held, so the answer stands until the caller lets go of it.
bool CheckInitialised(bool initialised, Check kind, const char* routine, const void* object,
                      const char* what, const CallSite& site) {
    if (!initialised)
        Violate(kind, fmt::format("{} on {}, {}", routine, Hex(object), what), site);
    return initialised;
}

bool CheckEvent(PKEVENT event, const char* routine, const CallSite& site) {
    return CheckInitialised(IsEvent(event), Check::BadArgument, routine, event,
                            "which is not an initialised event", site);
}

bool CheckResource(PERESOURCE resource, const char* routine, const CallSite& site) {
    return CheckInitialised(IsResource(resource), Check::ResourceMisuse, routine, resource,
                            "not an initialised resource", site);
}

std::uint64_t Me() {
    return Thread().Id;
}

// The wait list routines below run with the dispatcher lock held.

void Block(WaitRecord& wait) {
    D().WaitLists[wait.Object].push_back(&wait);
    wait.Listed = true;
    D().Listed++;
    if (D().BlockWatchers)
        D().BlockCv.notify_all();
}

// Takes a wait that ends without being satisfied (timed out) out of its event's wait list.
void Unblock(WaitRecord& wait) {
    if (!wait.Listed)
        return;
    wait.Listed = false;
    D().Listed--;
    auto it = D().WaitLists.find(wait.Object);
    if (it == D().WaitLists.end())
        return;
    std::erase(it->second, &wait);
    if (it->second.empty())
        D().WaitLists.erase(it);
}

// Satisfies the waits blocked on `event` that its state now allows: every one for a notification
// event, which stays signalled; the oldest for a synchronization event, whose state it consumes.
void SatisfyWaits(PKEVENT event) {
    auto it = D().WaitLists.find(event);
    if (it == D().WaitLists.end())
        return;
    std::deque<WaitRecord*>& waits = it->second;
    while (!waits.empty() && event->Header.SignalState > 0) {
        WaitRecord* wait = waits.front();
        waits.pop_front();
        wait->Listed = false;
        D().Listed--;
        wait->Status = STATUS_SUCCESS;
        if (event->Header.Type == SynchronizationEvent)
            event->Header.SignalState = 0;
    }
    if (waits.empty())
        D().WaitLists.erase(it);
    D().Cv.notify_all();
}

// Sets `event` and satisfies its blocked waits; returns its previous state.
LONG SetEventLocked(PKEVENT event) {
    LONG previous = event->Header.SignalState;
    event->Header.SignalState = 1;
    SatisfyWaits(event);
    return previous;
}

void InitEventLocked(PKEVENT event, EVENT_TYPE type, bool state) {
    event->Header.Type = static_cast<UCHAR>(type);
    event->Header.Signalling = 0;
    event->Header.Size = sizeof(KEVENT) / sizeof(LONG);
    event->Header.Reserved1 = 0;
    event->Header.SignalState = state ? 1 : 0;
    event->Header.WaitListHead.Flink = reinterpret_cast<PLIST_ENTRY>(EventMark);
    event->Header.WaitListHead.Blink = reinterpret_cast<PLIST_ENTRY>(event);
}

// Initialising an event empties its wait list on the platform: the threads blocked on it are
// never woken by a later set and wait until their timeout, or for ever. The host does the same
// (so a later set cannot hide the fault) and reports it.
void OrphanWaits(PKEVENT event, const CallSite& site) {
    auto it = D().WaitLists.find(event);
    if (it == D().WaitLists.end())
        return;
    std::deque<WaitRecord*> waits = std::move(it->second);
    D().WaitLists.erase(it);
    for (WaitRecord* wait : waits)
        wait->Listed = false;
    D().Listed -= waits.size();
    Violate(Check::BadArgument,
            fmt::format("KeInitializeEvent on {} while {} thread(s) wait on it (the first, host "
                        "thread {}, since {}): they lose their wait and no later set wakes them",
                        Hex(event), waits.size(), waits.front()->Thread,
                        waits.front()->Site.ToString()),
            site);
}
} // namespace

void EventStorageEnds(const void* storage, std::size_t bytes, const char* how,
                      const CallSite& site) {
    if (D().Listed.load() == 0 || bytes == 0)
        return;
    std::vector<std::string> lost;
    {
        std::lock_guard lock(D().Mutex);
        const auto low = reinterpret_cast<std::uintptr_t>(storage);
        for (auto it = D().WaitLists.begin(); it != D().WaitLists.end();) {
            // Unsigned: below `low` wraps to far above `bytes`.
            if (reinterpret_cast<std::uintptr_t>(it->first) - low >= bytes) {
                ++it;
                continue;
            }
            const std::deque<WaitRecord*>& waits = it->second;
            for (WaitRecord* wait : waits)
                wait->Listed = false;
            D().Listed -= waits.size();
            lost.push_back(fmt::format(
                "{} {} while {} thread(s) wait on the event at {} inside it (the first, host "
                "thread {}, since {}): they lose their wait and no later set wakes them",
                how, Hex(storage), waits.size(), Hex(it->first), waits.front()->Thread,
                waits.front()->Site.ToString()));
            it = D().WaitLists.erase(it);
        }
    }
    for (const std::string& message : lost)
        Violate(Check::TouchedAfterFree, message, site);
}

std::mutex& DispatcherMutex() {
    return D().Mutex;
}
std::condition_variable& DispatcherCv() {
    return D().Cv;
}

void WakeTimedWaits() {
    std::lock_guard lock(D().Mutex);
    D().Cv.notify_all();
}

bool WaitUntil(std::unique_lock<std::mutex>& lock, LONGLONG deadline,
               const std::function<bool()>& ready) {
    for (;;) {
        if (ready && ready())
            return true;
        if (deadline != LLONG_MAX && Clock::Now() >= deadline)
            return false;
        // Wake at least every 100 ms of real time, so a waiter never depends on a notification
        // it might have missed between its look at the clock and its sleep.
        auto cap = std::chrono::steady_clock::now() + std::chrono::milliseconds(100);
        auto until = deadline == LLONG_MAX ? cap : std::min(cap, RealDeadline(deadline));
        D().Cv.wait_until(lock, until);
    }
}

void InitEvent(PKEVENT event, EVENT_TYPE type, bool state) {
    std::lock_guard lock(D().Mutex);
    InitEventLocked(event, type, state);
}

void SignalEvent(PKEVENT event) {
    std::lock_guard lock(D().Mutex);
    SetEventLocked(event);
}

// The deadline a timeout names, in kernel time: none (null), now (zero), relative (negative)
// or absolute (positive).
static LONGLONG DeadlineOf(const LARGE_INTEGER* timeout) {
    if (!timeout)
        return LLONG_MAX;
    LONGLONG t = timeout->QuadPart;
    LONGLONG deadline;
    // The longest relative timeouts lie past the clock's range: they never run out.
    if (t < 0)
        return __builtin_sub_overflow(Clock::Now(), t, &deadline) ? LLONG_MAX : deadline;
    if (t == 0)
        return LLONG_MIN;
    return t;
}

} // namespace host::detail

namespace host {
std::size_t BlockedWaits(const void* object) {
    std::lock_guard lock(detail::D().Mutex);
    auto it = detail::D().WaitLists.find(object);
    return it == detail::D().WaitLists.end() ? 0 : it->second.size();
}

bool WaitForBlockedWaits(const void* object, std::size_t count, double realSeconds) {
    // A day at most; NaN and negative bounds look once.
    realSeconds = realSeconds > 0 ? std::min(realSeconds, 86400.0) : 0.0;
    auto until = std::chrono::steady_clock::now() +
                 std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                     std::chrono::duration<double>(realSeconds));
    std::unique_lock lock(detail::D().Mutex);
    detail::D().BlockWatchers++;
    bool blocked = detail::D().BlockCv.wait_until(lock, until, [object, count] {
        auto it = detail::D().WaitLists.find(object);
        return it != detail::D().WaitLists.end() && it->second.size() >= count;
    });
    detail::D().BlockWatchers--;
    return blocked;
}

ResourceState InspectResource(PERESOURCE resource) {
    std::lock_guard lock(detail::D().Mutex);
    return {resource->ActiveCount, resource->Flag != 0, resource->NumberOfSharedWaiters,
            resource->NumberOfExclusiveWaiters};
}
} // namespace host

using namespace host;
using namespace host::detail;

extern "C" {

VOID NTAPI KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State) {
    CallSite site = HOST_SITE();
    if (Type != NotificationEvent && Type != SynchronizationEvent) {
        Violate(Check::BadArgument,
                fmt::format("KeInitializeEvent with event type {}", static_cast<int>(Type)), site);
        return;
    }
    std::lock_guard lock(D().Mutex);
    OrphanWaits(Event, site);
    InitEventLocked(Event, Type, State);
}

LONG NTAPI KeSetEvent(PRKEVENT Event, KPRIORITY Increment, BOOLEAN Wait) {
    CallSite site = HOST_SITE();
    if (Wait)
        Unsupported("KeSetEvent", "Wait = TRUE (keeping the dispatcher lock for a following wait)");
    ReportIrqlAbove(DISPATCH_LEVEL, "KeSetEvent", site);
    std::lock_guard lock(D().Mutex);
    if (!CheckEvent(Event, "KeSetEvent", site))
        return 0;
    return SetEventLocked(Event);
}

VOID NTAPI KeClearEvent(PRKEVENT Event) {
    CallSite site = HOST_SITE();
    std::lock_guard lock(D().Mutex);
    if (!CheckEvent(Event, "KeClearEvent", site))
        return;
    Event->Header.SignalState = 0;
}

LONG NTAPI KeResetEvent(PRKEVENT Event) {
    CallSite site = HOST_SITE();
    std::lock_guard lock(D().Mutex);
    if (!CheckEvent(Event, "KeResetEvent", site))
        return 0;
    LONG previous = Event->Header.SignalState;
    Event->Header.SignalState = 0;
    return previous;
}

LONG NTAPI KeReadStateEvent(PRKEVENT Event) {
    CallSite site = HOST_SITE();
    std::lock_guard lock(D().Mutex);
    if (!CheckEvent(Event, "KeReadStateEvent", site))
        return 0;
    return Event->Header.SignalState;
}

NTSTATUS NTAPI KeWaitForSingleObject(PVOID Object, KWAIT_REASON WaitReason,
                                     KPROCESSOR_MODE WaitMode, BOOLEAN Alertable,
                                     PLARGE_INTEGER Timeout) {
    CallSite site = HOST_SITE();
    auto* event = static_cast<PKEVENT>(Object);
    ThreadState& t = Thread();
    bool poll = Timeout && Timeout->QuadPart == 0;
    if (t.Irql > DISPATCH_LEVEL) {
        Violate(Check::IrqlMisuse, fmt::format("KeWaitForSingleObject at IRQL {}", t.Irql), site);
        poll = true;
    } else if (t.Irql == DISPATCH_LEVEL && !poll) {
        Violate(Check::WaitAtDispatch,
                Timeout
                    ? fmt::format("KeWaitForSingleObject at DISPATCH_LEVEL with a timeout of {}",
                                  Timeout->QuadPart)
                    : std::string("KeWaitForSingleObject at DISPATCH_LEVEL with no timeout"),
                site);
        poll = true; // the platform would stop here; the test has failed, so do not hang it too
    }
    LONGLONG deadline = poll ? LLONG_MIN : DeadlineOf(Timeout);
    std::unique_lock lock(D().Mutex);
    if (!CheckEvent(event, "KeWaitForSingleObject", site))
        return STATUS_INVALID_PARAMETER;
    if (event->Header.SignalState > 0) {
        if (event->Header.Type == SynchronizationEvent)
            event->Header.SignalState = 0;
        return STATUS_SUCCESS;
    }
    if (deadline == LLONG_MIN)
        return STATUS_TIMEOUT;
    // Blocked until a set satisfies the record or the deadline passes, both decided under the
    // lock: a set that came first is never lost to the timeout, and no set can satisfy a wait
    // that has already timed out.
    WaitRecord wait{event, t.Id, site};
    Block(wait);
    if (!WaitUntil(lock, deadline, [&wait] { return wait.Status != STATUS_PENDING; })) {
        Unblock(wait);
        return STATUS_TIMEOUT;
    }
    return wait.Status;
}

NTSTATUS NTAPI KeDelayExecutionThread(KPROCESSOR_MODE WaitMode, BOOLEAN Alertable,
                                      PLARGE_INTEGER Interval) {
    CallSite site = HOST_SITE();
    if (!Interval) {
        Violate(Check::BadArgument, "KeDelayExecutionThread with no interval", site);
        return STATUS_INVALID_PARAMETER;
    }
    ThreadState& t = Thread();
    if (t.Irql >= DISPATCH_LEVEL && Interval->QuadPart != 0) {
        Violate(Check::WaitAtDispatch,
                fmt::format("KeDelayExecutionThread at IRQL {} for {}", t.Irql, Interval->QuadPart),
                site);
        return STATUS_SUCCESS;
    }
    LONGLONG deadline = DeadlineOf(Interval);
    if (deadline == LLONG_MIN) {
        std::this_thread::yield();
        return STATUS_SUCCESS;
    }
    std::unique_lock lock(D().Mutex);
    WaitUntil(lock, deadline, {});
    return STATUS_SUCCESS;
}

// ---------------------------------------------------------------------------------------------
// Executive resources. Fields: ActiveCount = acquisitions held, Flag = 1 while exclusive,
// OwnerThread = the exclusive owner's host thread id, OwnerCount = its recursion depth.

NTSTATUS NTAPI ExInitializeResourceLite(PERESOURCE Resource) {
    (void)HOST_SITE();
    std::lock_guard lock(D().Mutex);
    __builtin_memset(Resource, 0, sizeof(*Resource));
    Resource->SystemResourcesList.Flink = reinterpret_cast<PLIST_ENTRY>(ResourceMark);
    Resource->SystemResourcesList.Blink = &Resource->SystemResourcesList;
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI ExDeleteResourceLite(PERESOURCE Resource) {
    CallSite site = HOST_SITE();
    std::lock_guard lock(D().Mutex);
    if (!CheckResource(Resource, "ExDeleteResourceLite", site))
        return STATUS_INVALID_PARAMETER;
    if (Resource->ActiveCount != 0 || Resource->NumberOfSharedWaiters ||
        Resource->NumberOfExclusiveWaiters)
        Violate(Check::ResourceMisuse,
                fmt::format("ExDeleteResourceLite on {} while it is held ({} holders, {} waiters)",
                            Hex(Resource), Resource->ActiveCount,
                            Resource->NumberOfSharedWaiters + Resource->NumberOfExclusiveWaiters),
                site);
    Resource->SystemResourcesList.Flink = nullptr;
    return STATUS_SUCCESS;
}

static bool ResourceEntryChecks(const char* routine, PERESOURCE Resource, BOOLEAN Wait,
                                const CallSite& site) {
    ThreadState& t = Thread();
    if (t.Irql >= DISPATCH_LEVEL) {
        Violate(Check::IrqlMisuse, fmt::format("{} at IRQL {}", routine, t.Irql), site);
        return false;
    }
    if (t.CriticalRegion == 0 && t.Irql < APC_LEVEL)
        Violate(
            Check::ResourceMisuse,
            fmt::format("{} outside a critical region (normal kernel APCs must be disabled first)",
                        routine),
            site);
    return true;
}

// What every acquisition starts with: the caller's IRQL and critical region, then, under the
// dispatcher lock (taken into `lock`), the resource itself. Answers at once for an acquisition
// refused (FALSE) and for one by the exclusive owner, granted one level deeper (TRUE); nullopt:
// the caller goes on, holding the lock.
static std::optional<BOOLEAN> StartAcquisition(const char* routine, PERESOURCE Resource,
                                               BOOLEAN Wait, std::unique_lock<std::mutex>& lock,
                                               const CallSite& site) {
    if (!ResourceEntryChecks(routine, Resource, Wait, site))
        return FALSE;
    lock = std::unique_lock(D().Mutex);
    if (!CheckResource(Resource, routine, site))
        return FALSE;
    if (Resource->Flag && Resource->OwnerThread == Me()) {
        Resource->OwnerCount++;
        return TRUE;
    }
    return std::nullopt;
}

// Waits under `lock` until the acquisition is `grantable`, counted among `waiters` meanwhile;
// answers false at once when it is not and the caller may not wait.
static bool WaitForGrant(std::unique_lock<std::mutex>& lock, BOOLEAN Wait, ULONG& waiters,
                         const std::function<bool()>& grantable) {
    if (grantable())
        return true;
    if (!Wait)
        return false;
    waiters++;
    WaitUntil(lock, LLONG_MAX, grantable);
    waiters--;
    return true;
}

// Shared acquisition. Granted at once to the exclusive owner (as a recursive acquisition) and
// when nobody owns the resource exclusively; a waiting exclusive acquirer holds back new shared
// owners (other than threads that already hold it shared) unless `starveExclusive`, which is the
// whole point of ExAcquireSharedStarveExclusive.
static BOOLEAN AcquireShared(const char* routine, PERESOURCE Resource, BOOLEAN Wait,
                             bool starveExclusive, const CallSite& site) {
    std::unique_lock<std::mutex> lock;
    if (auto answer = StartAcquisition(routine, Resource, Wait, lock, site))
        return *answer;
    ThreadState& t = Thread();
    auto grantable = [&] {
        return !Resource->Flag && (starveExclusive || Resource->NumberOfExclusiveWaiters == 0 ||
                                   t.SharedHeld[Resource] > 0);
    };
    if (!WaitForGrant(lock, Wait, Resource->NumberOfSharedWaiters, grantable))
        return FALSE;
    Resource->ActiveCount++;
    t.SharedHeld[Resource]++;
    return TRUE;
}

BOOLEAN NTAPI ExAcquireResourceSharedLite(PERESOURCE Resource, BOOLEAN Wait) {
    return AcquireShared("ExAcquireResourceSharedLite", Resource, Wait, false, HOST_SITE());
}

BOOLEAN NTAPI ExAcquireSharedStarveExclusive(PERESOURCE Resource, BOOLEAN Wait) {
    return AcquireShared("ExAcquireSharedStarveExclusive", Resource, Wait, true, HOST_SITE());
}

BOOLEAN NTAPI ExAcquireResourceExclusiveLite(PERESOURCE Resource, BOOLEAN Wait) {
    CallSite site = HOST_SITE();
    std::unique_lock<std::mutex> lock;
    if (auto answer =
            StartAcquisition("ExAcquireResourceExclusiveLite", Resource, Wait, lock, site))
        return *answer;
    ThreadState& t = Thread();
    auto it = t.SharedHeld.find(Resource);
    if (it != t.SharedHeld.end() && it->second > 0) {
        Violate(Check::ResourceMisuse,
                "ExAcquireResourceExclusiveLite by a thread that holds the resource shared (a "
                "deadlock on the "
                "platform)",
                site);
        return FALSE;
    }
    auto free = [&] { return Resource->ActiveCount == 0; };
    if (!WaitForGrant(lock, Wait, Resource->NumberOfExclusiveWaiters, free))
        return FALSE;
    Resource->Flag = 1;
    Resource->OwnerThread = Me();
    Resource->OwnerCount = 1;
    Resource->ActiveCount = 1;
    return TRUE;
}

VOID NTAPI ExReleaseResourceLite(PERESOURCE Resource) {
    CallSite site = HOST_SITE();
    ThreadState& t = Thread();
    std::lock_guard lock(D().Mutex);
    if (!CheckResource(Resource, "ExReleaseResourceLite", site))
        return;
    if (Resource->Flag && Resource->OwnerThread == Me()) {
        if (--Resource->OwnerCount == 0) {
            Resource->Flag = 0;
            Resource->OwnerThread = 0;
            Resource->ActiveCount = 0;
            D().Cv.notify_all();
        }
        return;
    }
    auto it = t.SharedHeld.find(Resource);
    if (it == t.SharedHeld.end() || it->second == 0) {
        Violate(Check::ResourceMisuse,
                "ExReleaseResourceLite by a thread that does not hold the resource", site);
        return;
    }
    if (--it->second == 0)
        t.SharedHeld.erase(it);
    if (--Resource->ActiveCount == 0)
        D().Cv.notify_all();
}

} // extern "C"
