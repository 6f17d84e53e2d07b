// The simulated host controller: one thread that steps the schedule, paced against the host
// kernel's scaled clock or as fast as it can, and completes the transfers the schedule reports
// finished.
//
// The controller's lock is the bus's lock: it guards the schedule, every transfer's state and
// every camera behind the bus (the camera model is not thread-safe). It is a plain mutex of the
// simulation, never a kernel spin lock, and it is never held while a request is completed or a
// kernel routine that may call back into a driver runs.
#pragma once

#include "hc/schedule.h"

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace sim::hc {

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

// A transfer as the controller completes it. The bus derives from it.
class CompletableTransfer : public Transfer {
  public:
    // Called by the controller thread at DISPATCH_LEVEL, with no lock held, once the schedule
    // reported the transfer finished. The callee completes the request (or hands it to a cancel
    // routine that owns it); the controller forgets the transfer.
    virtual void Finished() = 0;
    // Called by the controller thread under the controller's lock right after the schedule
    // reported the transfer finished, before any other thread can see it gone: the bus decides
    // there who completes the request. False: a cancel routine owns it now (and may free it as
    // soon as the lock is dropped), so the controller must not touch it again, Finished included.
    virtual bool TakenOff() { return true; }
};

class Controller {
  public:
    explicit Controller(ControllerOptions options);
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
    Schedule& Sched() { return Engine; }
    const ControllerOptions& Options() const { return Settings; }

    // Queues a transfer (with Lock() held): it is served from the microframe after the one in
    // progress. A transfer queued by the controller thread while it completes transfers is in
    // the new microframe already, so its turn comes one microframe later.
    void Queue(EndpointId endpoint, CompletableTransfer* transfer);

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
    Schedule Engine;
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
