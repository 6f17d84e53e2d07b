// The simulated host controller of the host kernel's bus: the hardware's schedule and its
// interrupt-and-DPC completion path, as two threads.
//
// The schedule thread steps the bus core's schedule. Paced (high speed on the scaled clock),
// microframes pass on the clock whether or not the thread keeps up: a transfer queued now is
// served from the clock's next microframe, the thread sleeps until the next microframe in which
// a transfer can end and then steps everything due at once (the results are those of stepping
// each microframe on time), and an isochronous stream whose next packet slot is not queued when
// its microframe comes loses that packet. What it finishes it hands to the completion thread,
// which delivers the completions at DISPATCH_LEVEL as a host controller's DPC does: a slow
// completion path delays completions, never the bus.
//
// In virtual time the schedule runs back to back instead, stands still while nothing is queued
// and delivers each step's completions itself before it steps on, so the same requests give
// the same microframes and counters on every run however this machine schedules its threads.
// Unthrottled, every queued transfer moves in the next step, and the schedule thread delivers
// the completions too (nothing there runs on a clock a slow completion could hold up).
//
// The controller's lock is the bus's lock: it guards the bus core, its schedule, every transfer's
// state and every camera behind the bus (the camera model is not thread-safe). It is a plain mutex
// of the simulation, never a kernel spin lock, and it is never held while a request is completed
// or a kernel routine that may call back into a driver runs.
#pragma once

#include "core/core.h"
#include "host/host_kernel.h"

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace sim::hc {

// The schedule's vocabulary, as the world and the tools name it.
using core::DefaultBulkPacketsPerMicroframe;
using core::EndpointCounters;
using core::MicroframeNanoseconds;
using core::MicroframesPerFrame;

enum class Timing : std::uint8_t {
    // Data moves at memory speed: every queued transfer moves in the next step.
    Unthrottled,
    // USB 2.0 high speed: 125 us microframes on the scaled clock.
    HighSpeed,
};

struct ControllerOptions {
    Timing Mode = Timing::HighSpeed;
    // Step microframes back to back instead of pacing them against the clock; the clock of the
    // schedule then stands still whenever nothing is queued. Gives the same counters for the
    // same requests on every run.
    bool VirtualTime = false;
    unsigned BulkPacketsPerMicroframe = DefaultBulkPacketsPerMicroframe;
};

// The schedule's settings for a controller's options.
core::Schedule::Options ScheduleOptionsFor(const ControllerOptions& options);

// How well the paced controller kept real time, in microframes of the scaled clock.
struct ControllerStats {
    // Transfers finished, and how late the schedule thread stepped the microframe each ended
    // in (0 when it stepped it while that microframe ran): the most, and the sum.
    std::uint64_t Transfers = 0;
    std::uint64_t MaxLagMicroframes = 0;
    std::uint64_t TotalLagMicroframes = 0;
    // From the microframe a transfer ended in to the delivery of its completion: the most.
    std::uint64_t MaxCompletionDelayMicroframes = 0;
    // Microframes jumped over because the thread fell more than 10 s of the clock behind.
    std::uint64_t JumpedMicroframes = 0;
};

// Where the controller hands finished transfers: the bus.
class Completions {
  public:
    // Called by the schedule thread under the controller's lock right after the schedule
    // reported the transfer finished, before any other thread can see it gone: the bus decides
    // there who completes the request. False: a cancel routine owns it now (and may free it as
    // soon as the lock is dropped), so the controller must not touch it again.
    virtual bool Claim(core::Transfer& transfer) = 0;
    // Called by the completion thread at DISPATCH_LEVEL, with no lock held, for each transfer
    // the schedule thread claimed, in the order they ended: the bus finishes it and completes
    // the request; the controller forgets it.
    virtual void Deliver(core::Transfer& transfer) = 0;

  protected:
    ~Completions() = default;
};

class Controller {
  public:
    // Steps `schedule` (the bus core's) and hands what finishes to `completions`.
    Controller(ControllerOptions options, core::Schedule& schedule, Completions& completions);
    ~Controller();
    Controller(const Controller&) = delete;
    Controller& operator=(const Controller&) = delete;

    // Starts both threads. `enter` runs first on each (the bus sets up the host kernel's driver
    // context there).
    void Start(std::function<void()> enter = {});
    // Stops them; completions already handed over are delivered first, transfers still queued
    // stay queued (the bus ends them).
    void Stop();

    std::mutex& Lock() { return Mutex; }
    // The schedule; use only with Lock() held.
    core::Schedule& Sched() { return Engine; }
    const ControllerOptions& Options() const { return Settings; }

    // The microframe from which a transfer queued now is served (with Lock() held): paced, the
    // clock's next microframe; in virtual time the schedule's current one. A transfer queued
    // by a completion is served no sooner than the second microframe after the one its
    // completed transfer ended in: the completion came at the start of the next.
    std::uint64_t QueueMicroframe() const;
    // Wakes the schedule thread after a transfer was queued (with or without Lock()).
    void Notify();

    // The bus's microframe counter now (with Lock() held): paced, the clock's; otherwise the
    // schedule's.
    std::uint64_t Microframe() const;

    // While held (counted), the controller steps nothing: a test queues a batch and releases it
    // so that the whole batch is there for the first microframe.
    void Hold();
    void Release();

    // Blocks until no transfer that the schedule can move is queued and no completion waits to
    // be delivered or is being delivered. Transfers parked by a fault do not count.
    void WaitIdle();
    // Virtual time keeps a microframe open for the next transfer of an instant host; a
    // measurement that must begin on a microframe of its own closes it first.
    void CloseMicroframe();

    // With Lock() held.
    ControllerStats Stats() const { return Measured; }
    void ResetStats() { Measured = ControllerStats{}; }

  private:
    struct Finished {
        core::Transfer* Transfer;
        std::uint64_t EndedIn;
    };

    // What each of the controller's threads does first, before its loop.
    void EnterThread() const;
    void RunSchedule();
    void RunCompletions();
    bool Paced() const;
    std::uint64_t ClockMicroframe() const;
    // Waits (lock held by `lock`) until the clock reaches `microframe` or someone wakes the thread.
    void SleepUntil(std::unique_lock<std::mutex>& lock, std::uint64_t microframe);
    // Hands what a step finished to the completion thread, or delivers it on this thread when
    // the controller is not paced (lock held by `lock`).
    void HandOver(core::TransferList& finished, std::unique_lock<std::mutex>& lock);
    // Delivers every completion handed over, with the lock dropped meanwhile.
    void Deliver(std::unique_lock<std::mutex>& lock);
    bool Quiet() const;

    ControllerOptions Settings;
    core::Schedule& Engine;
    Completions& Sink;
    mutable std::mutex Mutex;
    std::condition_variable Wake;
    std::condition_variable Idle;
    std::condition_variable CompletionsReady;
    // Kernel threads: they run driver code (completion routines, resubmissions) on a stack the
    // size of the platform's.
    host::KernelThread ScheduleThread;
    host::KernelThread CompletionThread;
    // The thread delivering completions now.
    std::thread::id DelivererId;
    std::function<void()> Enter;
    bool Stopping = false;
    bool ScheduleEnded = false;
    unsigned Holds = 0;
    std::deque<Finished> Completed;
    bool DeliveringBatch = false;
    // The microframe the transfer being delivered ended in (read on the completion thread).
    std::uint64_t DeliveringEndedIn = 0;
    std::int64_t ClockOrigin = 0;
    std::uint64_t MicroframeOrigin = 0;
    ControllerStats Measured;
};

} // namespace sim::hc
