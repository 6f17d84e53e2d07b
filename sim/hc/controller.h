// The simulated host controller of the host kernel's bus: one thread that steps the bus core's
// schedule, paced against the host kernel's scaled clock or as fast as it can, and hands the
// transfers the schedule reports finished to the bus for completion.
//
// The controller's lock is the bus's lock: it guards the bus core, its schedule, every transfer's
// state and every camera behind the bus (the camera model is not thread-safe). It is a plain mutex
// of the simulation, never a kernel spin lock, and it is never held while a request is completed
// or a kernel routine that may call back into a driver runs.
#pragma once

#include "core/core.h"

#include <condition_variable>
#include <cstdint>
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
    // same queued work on every run.
    bool VirtualTime = false;
    unsigned BulkPacketsPerMicroframe = DefaultBulkPacketsPerMicroframe;
};

// The schedule's settings for a controller's options.
core::Schedule::Options ScheduleOptionsFor(const ControllerOptions& options);

// Where the controller hands finished transfers: the bus.
class Completions {
  public:
    // Called by the controller thread under the controller's lock right after the schedule
    // reported the transfer finished, before any other thread can see it gone: the bus decides
    // there who completes the request. False: a cancel routine owns it now (and may free it as
    // soon as the lock is dropped), so the controller must not touch it again.
    virtual bool Claim(core::Transfer& transfer) = 0;
    // Called by the controller thread at DISPATCH_LEVEL, with no lock held, for each transfer it
    // claimed: the bus finishes it and completes the request; the controller forgets it.
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

    // Starts the thread. `enter` runs first on the new thread (the bus sets up the host kernel's
    // driver context there).
    void Start(std::function<void()> enter = {});
    // Stops the thread; transfers still queued stay queued (the bus ends them).
    void Stop();

    std::mutex& Lock() { return Mutex; }
    // The schedule; use only with Lock() held.
    core::Schedule& Sched() { return Engine; }
    const ControllerOptions& Options() const { return Settings; }

    // The microframe from which a transfer queued now is served (with Lock() held): the one
    // after the microframe in progress. A transfer queued by the controller thread while it
    // completes transfers is in the new microframe already, so its turn comes one microframe
    // later.
    std::uint64_t QueueMicroframe() const;
    // Wakes the thread after a transfer was queued (with or without Lock()).
    void Notify();

    // The current microframe (with Lock() held).
    std::uint64_t Microframe() const;

    // While held (counted), the controller steps nothing: a test queues a batch and releases it
    // so that the whole batch is there for the first microframe.
    void Hold();
    void Release();

    // Blocks until no transfer that the schedule can move is queued and no completion is being
    // delivered. Transfers parked by a fault do not count.
    void WaitIdle();

  private:
    void Run();
    std::uint64_t ClockMicroframe() const;

    ControllerOptions Settings;
    core::Schedule& Engine;
    Completions& Sink;
    mutable std::mutex Mutex;
    std::condition_variable Wake;
    std::condition_variable Idle;
    std::thread Thread;
    std::function<void()> Enter;
    bool Stopping = false;
    bool Delivering = false;
    unsigned Holds = 0;
    std::thread::id ControllerThread;
    std::int64_t ClockOrigin = 0;
    std::uint64_t MicroframeOrigin = 0;
};

} // namespace sim::hc
