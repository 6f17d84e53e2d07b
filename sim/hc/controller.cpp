#include "hc/controller.h"

#include "host/host_kernel.h"

#include <algorithm>
#include <chrono>

namespace sim::hc {

namespace {

// 100-ns units of the host kernel's clock in one microframe.
constexpr std::int64_t kClockUnitsPerMicroframe = MicroframeNanoseconds / 100;
// Steps without progress (a device that keeps NAKing) before a virtual-time or unthrottled
// controller rests a little instead of spinning.
constexpr unsigned kFruitlessStepsBeforeRest = 1024;
// Microframes the paced controller may fall behind a fast clock before it gives up catching up
// (10 s of kernel time): past that it jumps to the clock, as a host controller that lost its
// schedule would; the microframes jumped over move nothing and are not counted.
constexpr std::uint64_t kMostMicroframesBehind = 80'000;
// Steps between chances for other threads (plug, unplug, submissions) to take the lock while
// the controller catches up.
constexpr unsigned kStepsBetweenYields = 32;

} // namespace

core::Schedule::Options ScheduleOptionsFor(const ControllerOptions& options) {
    return core::Schedule::Options{.Throttled = options.Mode == Timing::HighSpeed,
                                   .BulkPacketsPerMicroframe = options.BulkPacketsPerMicroframe};
}

Controller::Controller(ControllerOptions options, core::Schedule& schedule,
                       Completions& completions)
    : Settings(options), Engine(schedule), Sink(completions) {}

Controller::~Controller() {
    Stop();
}

void Controller::Start(std::function<void()> enter) {
    std::lock_guard<std::mutex> lock(Mutex);
    if (Thread.joinable())
        return;
    Enter = std::move(enter);
    Stopping = false;
    ClockOrigin = host::Clock::Now();
    MicroframeOrigin = Engine.Now();
    Thread = std::thread([this] { Run(); });
}

void Controller::Stop() {
    {
        std::lock_guard<std::mutex> lock(Mutex);
        Stopping = true;
    }
    Wake.notify_all();
    if (Thread.joinable())
        Thread.join();
}

std::uint64_t Controller::ClockMicroframe() const {
    const std::int64_t elapsed = host::Clock::Now() - ClockOrigin;
    return MicroframeOrigin + static_cast<std::uint64_t>(std::max<std::int64_t>(elapsed, 0)) /
                                  kClockUnitsPerMicroframe;
}

std::uint64_t Controller::QueueMicroframe() const {
    const bool fromCompletion = Delivering && std::this_thread::get_id() == ControllerThread;
    return Engine.Now() + (fromCompletion ? 1 : 0);
}

void Controller::Notify() {
    Wake.notify_all();
}

std::uint64_t Controller::Microframe() const {
    return Engine.Now();
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

void Controller::WaitIdle() {
    std::unique_lock<std::mutex> lock(Mutex);
    Idle.wait(lock, [this] { return Stopping || (!Delivering && !Engine.HasQueuedTransfers()); });
}

void Controller::Run() {
    if (Enter)
        Enter();
    std::unique_lock<std::mutex> lock(Mutex);
    ControllerThread = std::this_thread::get_id();
    const bool paced = Settings.Mode == Timing::HighSpeed && !Settings.VirtualTime;
    unsigned fruitless = 0;
    unsigned sinceYield = 0;
    core::TransferList finished;
    std::vector<core::Transfer*> claimed;

    while (!Stopping) {
        // Paced, the bus keeps its microframes going while an isochronous stream is active (its
        // lost packets count); otherwise it rests until something is queued.
        const bool work = paced ? Engine.HasWork() : Engine.HasQueuedTransfers();
        if (Holds > 0 || !work) {
            Idle.notify_all();
            Wake.wait(lock);
            if (paced)
                Engine.SkipTo(ClockMicroframe());
            fruitless = 0;
            continue;
        }
        if (paced) {
            const std::uint64_t due = ClockMicroframe();
            if (due > Engine.Now() + kMostMicroframesBehind)
                Engine.SkipTo(due);
            if (Engine.Now() > due) {
                // Ahead of the clock: sleep (in real time) until the next microframe is due,
                // at least a little so a fast clock does not make this a busy loop.
                const double scale = std::max(host::Clock::Scale(), 1e-9);
                const auto realNanoseconds = static_cast<std::int64_t>(
                    static_cast<double>((Engine.Now() - due) * MicroframeNanoseconds) / scale);
                Wake.wait_for(lock, std::chrono::nanoseconds(std::clamp<std::int64_t>(
                                        realNanoseconds, 100'000, 2'000'000)));
                continue;
            }
        } else if (fruitless >= kFruitlessStepsBeforeRest) {
            Wake.wait_for(lock, std::chrono::milliseconds(1));
            fruitless = 0;
            continue;
        }

        Engine.Step(finished);
        fruitless = Engine.LastStepMoved() ? 0 : fruitless + 1;
        claimed.clear();
        while (core::ScheduledTransfer* item = finished.PopFront()) {
            core::Transfer* transfer = core::Transfer::From(item);
            if (Sink.Claim(*transfer))
                claimed.push_back(transfer);
        }
        if (!claimed.empty()) {
            // The completions of a microframe are delivered at the start of the next, outside
            // the lock, at DISPATCH_LEVEL as a host controller's DPC delivers them.
            Delivering = true;
            lock.unlock();
            KIRQL old;
            KeRaiseIrql(DISPATCH_LEVEL, &old);
            for (core::Transfer* transfer : claimed)
                Sink.Deliver(*transfer);
            KeLowerIrql(old);
            lock.lock();
            Delivering = false;
        }
        Idle.notify_all();
        if (++sinceYield >= kStepsBetweenYields) {
            // The mutex is not fair: without a pause a controller catching up would starve
            // every thread that wants the bus.
            sinceYield = 0;
            lock.unlock();
            std::this_thread::yield();
            lock.lock();
        }
    }
    Idle.notify_all();
}

} // namespace sim::hc
