#include "hc/controller.h"

#include "host/host_kernel.h"

#include <algorithm>
#include <cerrno>
#include <chrono>

#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace sim::hc {

namespace {

// 100-ns units of the host kernel's clock in one microframe.
constexpr std::int64_t kClockUnitsPerMicroframe = MicroframeNanoseconds / 100;
// Steps without progress (a device that keeps NAKing) before a virtual-time or unthrottled
// controller rests a little instead of spinning.
constexpr unsigned kFruitlessStepsBeforeRest = 1024;
// Microframes the paced controller may fall behind a fast clock before it gives up catching up
// (10 s of kernel time): past that it jumps to the clock, as a host controller that lost its
// schedule would; the microframes jumped over move nothing (a running stream loses them).
constexpr std::uint64_t kMostMicroframesBehind = 80'000;
// Steps between chances for other threads (plug, unplug, submissions) to take the lock while
// the controller catches up.
constexpr unsigned kStepsBetweenYields = 32;
// Real-time bounds of one sleep of the paced thread: below the lower one a sleep costs more than
// it saves; past the upper one it rechecks anyway.
// The nice value of the controller's threads (below 0: more processor than ordinary threads).
constexpr int kControllerNice = -10;
constexpr std::int64_t kShortestSleepNs = 50'000;
constexpr std::int64_t kLongestSleepNs = 10'000'000;

} // namespace

namespace {

// The controller's threads stand for hardware and its DPC, which run before any ordinary thread
// of the platform. Where the machine allows it they get a higher share of the processor than the
// threads of the rest of the world; where it does not, they run as they are.
void RunAheadOfOrdinaryThreads() {
    errno = 0;
    setpriority(PRIO_PROCESS, static_cast<id_t>(syscall(SYS_gettid)), kControllerNice);
}

} // namespace

core::Schedule::Options ScheduleOptionsFor(const ControllerOptions& options) {
    const bool highSpeed = options.Mode == Timing::HighSpeed;
    return core::Schedule::Options{.Throttled = highSpeed,
                                   .BulkPacketsPerMicroframe = options.BulkPacketsPerMicroframe,
                                   .ElasticMicroframes = highSpeed && options.VirtualTime};
}

Controller::Controller(ControllerOptions options, core::Schedule& schedule,
                       Completions& completions)
    : Settings(options), Engine(schedule), Sink(completions) {}

Controller::~Controller() {
    Stop();
}

bool Controller::Paced() const {
    return Settings.Mode == Timing::HighSpeed && !Settings.VirtualTime;
}

void Controller::Start(std::function<void()> enter) {
    std::lock_guard<std::mutex> lock(Mutex);
    if (ScheduleThread.Joinable())
        return;
    Enter = std::move(enter);
    Stopping = false;
    ScheduleEnded = false;
    ClockOrigin = host::Clock::Now();
    MicroframeOrigin = Engine.Now();
    ScheduleThread = host::KernelThread([this] {
        EnterThread();
        RunSchedule();
    });
    // Paced, completions come from a context of their own, as a host controller's DPC.
    if (Paced())
        CompletionThread = host::KernelThread([this] {
            EnterThread();
            RunCompletions();
        });
}

void Controller::EnterThread() const {
    RunAheadOfOrdinaryThreads();
    if (Enter)
        Enter();
}

void Controller::Stop() {
    {
        std::lock_guard<std::mutex> lock(Mutex);
        Stopping = true;
    }
    Wake.notify_all();
    CompletionsReady.notify_all();
    if (ScheduleThread.Joinable())
        ScheduleThread.Join();
    // The schedule hands over nothing more; the completion thread delivers what it has.
    if (CompletionThread.Joinable())
        CompletionThread.Join();
}

std::uint64_t Controller::ClockMicroframe() const {
    const std::int64_t elapsed = host::Clock::Now() - ClockOrigin;
    return MicroframeOrigin + static_cast<std::uint64_t>(std::max<std::int64_t>(elapsed, 0)) /
                                  kClockUnitsPerMicroframe;
}

std::uint64_t Controller::QueueMicroframe() const {
    const bool fromCompletion = DeliveringBatch && std::this_thread::get_id() == DelivererId;
    std::uint64_t first = Engine.Now();
    if (Paced())
        first = std::max(first, ClockMicroframe() + 1);
    if (fromCompletion && Settings.Mode == Timing::HighSpeed)
        first = std::max(first, DeliveringEndedIn + 2);
    return first;
}

void Controller::Notify() {
    Wake.notify_all();
}

std::uint64_t Controller::Microframe() const {
    return Paced() ? std::max(ClockMicroframe(), Engine.Now()) : Engine.Now();
}

void Controller::Hold() {
    std::lock_guard<std::mutex> lock(Mutex);
    ++Holds;
}

void Controller::Release() {
    {
        std::lock_guard<std::mutex> lock(Mutex);
        if (Holds > 0)
            --Holds;
    }
    Wake.notify_all();
}

bool Controller::Quiet() const {
    return !DeliveringBatch && Completed.empty() && !Engine.HasQueuedTransfers();
}

void Controller::WaitIdle() {
    std::unique_lock<std::mutex> lock(Mutex);
    Idle.wait(lock, [this] { return Stopping || Quiet(); });
}

void Controller::CloseMicroframe() {
    std::lock_guard<std::mutex> lock(Mutex);
    Engine.SkipTo(Engine.Now());
}

void Controller::SleepUntil(std::unique_lock<std::mutex>& lock, std::uint64_t microframe) {
    const std::uint64_t now = ClockMicroframe();
    if (now >= microframe)
        return;
    const double scale = std::max(host::Clock::Scale(), 1e-9);
    const auto realNanoseconds = static_cast<std::int64_t>(
        static_cast<double>((microframe - now) * MicroframeNanoseconds) / scale);
    Wake.wait_for(lock, std::chrono::nanoseconds(std::clamp<std::int64_t>(
                            realNanoseconds, kShortestSleepNs, kLongestSleepNs)));
}

void Controller::HandOver(core::TransferList& finished, std::unique_lock<std::mutex>& lock) {
    const std::uint64_t clock = Paced() ? ClockMicroframe() : 0;
    std::size_t handed = 0;
    while (core::ScheduledTransfer* item = finished.PopFront()) {
        core::Transfer* transfer = core::Transfer::From(item);
        const std::uint64_t ended = transfer->EndedIn;
        ++Measured.Transfers;
        if (clock > ended) {
            Measured.MaxLagMicroframes = std::max(Measured.MaxLagMicroframes, clock - ended);
            Measured.TotalLagMicroframes += clock - ended;
        }
        if (!Sink.Claim(*transfer))
            continue;
        Completed.push_back({transfer, ended});
        ++handed;
    }
    if (handed == 0)
        return;
    if (Paced()) {
        CompletionsReady.notify_one();
        return;
    }
    // Unpaced, nothing runs on the clock: the schedule thread delivers the completions itself
    // before it steps on, which is what virtual time needs and saves the unthrottled bus a
    // thread switch per batch.
    Deliver(lock);
}

void Controller::Deliver(std::unique_lock<std::mutex>& lock) {
    std::vector<Finished> batch(Completed.begin(), Completed.end());
    Completed.clear();
    DeliveringBatch = true;
    DelivererId = std::this_thread::get_id();
    lock.unlock();
    // The completions of a microframe are delivered outside the lock, at DISPATCH_LEVEL as a
    // host controller's DPC delivers them.
    std::uint64_t longestDelay = 0;
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    for (const Finished& done : batch) {
        DeliveringEndedIn = done.EndedIn;
        if (Paced()) {
            const std::uint64_t now = ClockMicroframe();
            longestDelay = std::max(longestDelay, now > done.EndedIn ? now - done.EndedIn : 0);
        }
        Sink.Deliver(*done.Transfer);
    }
    KeLowerIrql(old);
    lock.lock();
    DeliveringBatch = false;
    Measured.MaxCompletionDelayMicroframes =
        std::max(Measured.MaxCompletionDelayMicroframes, longestDelay);
    Idle.notify_all();
    Wake.notify_all();
}

void Controller::RunSchedule() {
    std::unique_lock<std::mutex> lock(Mutex);
    const bool paced = Paced();
    const bool virtualTime = Settings.Mode == Timing::HighSpeed && Settings.VirtualTime;
    unsigned fruitless = 0;
    unsigned sinceYield = 0;
    core::TransferList finished;

    while (!Stopping) {
        // In virtual time the next microframe waits for this one's completions: what they queue
        // is part of what that microframe serves.
        if (Holds > 0 || (virtualTime && (DeliveringBatch || !Completed.empty())) ||
            !Engine.HasWork()) {
            Idle.notify_all();
            Wake.wait(lock);
            if (paced)
                Engine.SkipTo(ClockMicroframe());
            fruitless = 0;
            continue;
        }
        if (paced) {
            const std::uint64_t due = ClockMicroframe();
            if (due > Engine.Now() + kMostMicroframesBehind) {
                Measured.JumpedMicroframes += due - Engine.Now();
                Engine.SkipTo(due);
            }
            if (Engine.Now() > due) {
                // Every microframe due is stepped: sleep until the next one in which a transfer
                // can end, or until a new transfer wakes the thread.
                SleepUntil(lock, std::max(Engine.NextEventMicroframe(), Engine.Now()));
                continue;
            }
        } else if (fruitless >= kFruitlessStepsBeforeRest) {
            Wake.wait_for(lock, std::chrono::milliseconds(1));
            fruitless = 0;
            continue;
        }

        Engine.Step(finished);
        fruitless = Engine.LastStepMoved() ? 0 : fruitless + 1;
        HandOver(finished, lock);
        if (++sinceYield >= kStepsBetweenYields) {
            // The mutex is not fair: without a pause a controller catching up would starve
            // every thread that wants the bus.
            sinceYield = 0;
            lock.unlock();
            std::this_thread::yield();
            lock.lock();
        }
    }
    ScheduleEnded = true;
    CompletionsReady.notify_all();
    Idle.notify_all();
}

void Controller::RunCompletions() {
    std::unique_lock<std::mutex> lock(Mutex);
    for (;;) {
        // Once the schedule thread has ended nothing more comes: deliver what is left and end.
        CompletionsReady.wait(lock, [this] { return ScheduleEnded || !Completed.empty(); });
        if (Completed.empty())
            break;
        Deliver(lock);
    }
}

} // namespace sim::hc
