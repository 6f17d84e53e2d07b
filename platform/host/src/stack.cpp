// Kernel stacks: how deep request submission and completion nest on a thread, and threads whose
// stacks are sized like the platform's.
#include "faults.h"

#include <fmt/format.h>

#include <pthread.h>

namespace host {
namespace detail {

namespace {

// Twice the bound: the platform's stack was gone long before, and the host must stop before its
// own (larger) stack goes too, so a runaway recursion ends in a report, not a bare crash.
constexpr std::size_t StopLevels = 2 * KernelStackLevels;

const char* KindName(FrameKind kind) {
    switch (kind) {
    case FrameKind::Dispatch:
        return "dispatch routine";
    case FrameKind::Completion:
        return "completion routine";
    case FrameKind::Cancel:
        return "cancel routine";
    }
    return "routine";
}

// "completion routine of \Device\X for IRP 0x..., dispatch routine of ..., ... (N in all)":
// the innermost few routines, newest first, and the outermost one.
std::string DescribeNesting(const std::vector<Frame>& frames) {
    constexpr std::size_t shown = 4;
    std::string out;
    auto describe = [](const Frame& f) {
        return fmt::format("{} of {} for IRP {} (run from {})", KindName(f.Kind),
                           f.Device ? DeviceLabel(f.Device) : std::string("its originator"),
                           Hex(f.Irp), f.Site.ToString());
    };
    for (std::size_t i = 0; i < frames.size() && i < shown; ++i)
        out += (i ? ", " : "") + describe(frames[frames.size() - 1 - i]);
    if (frames.size() > shown)
        out += fmt::format(", ..., outermost {}", describe(frames.front()));
    return out;
}

// Where to stand a nesting report: the innermost submission (a driver's IofCallDriver from inside
// a completion routine, the call that makes the nesting grow), else the call at hand.
CallSite NestingSite(const std::vector<Frame>& frames, const CallSite& site) {
    for (auto it = frames.rbegin(); it != frames.rend(); ++it)
        if (it->Kind == FrameKind::Dispatch && (it->Site.File || it->Site.ReturnAddress))
            return it->Site;
    return site;
}

void CheckNesting(ThreadState& t, const CallSite& at) {
    std::size_t depth = t.Frames.size();
    CallSite site = depth > KernelStackLevels ? NestingSite(t.Frames, at) : at;
    if (depth > StopLevels)
        BugCheck(fmt::format("kernel stack overflow: requests nest {} driver routines deep on this "
                             "thread, twice what a kernel stack holds ({}); innermost: {}",
                             depth, KernelStackLevels, DescribeNesting(t.Frames)),
                 site);
    if (depth > KernelStackLevels && !t.NestingReported) {
        t.NestingReported = true;
        Violate(Check::StackOverflow,
                fmt::format("requests nest {} driver routines deep on this thread; a kernel stack "
                            "holds about {} (submission from a completion routine that runs inside "
                            "the submission nests one level deeper each time): {}",
                            depth, KernelStackLevels, DescribeNesting(t.Frames)),
                site);
    }
}

} // namespace

DriverRoutineScope::DriverRoutineScope(FrameKind kind, PIRP irp, PDEVICE_OBJECT device,
                                       DriverContext context, const CallSite& site) {
    ThreadState& t = Thread();
    t.Frames.push_back({kind, irp, device, irp ? irp->CurrentLocation : 0, site});
    t.Contexts.push_back(context);
    RoutineMark& mark = CurrentRoutineMark();
    Saved = mark;
    mark = {device, kind, true};
    CheckNesting(t, site);
}

DriverRoutineScope::~DriverRoutineScope() {
    ThreadState& t = Thread();
    CurrentRoutineMark() = Saved;
    t.Contexts.pop_back();
    t.Frames.pop_back();
    if (t.Frames.empty())
        t.NestingReported = false;
}

} // namespace detail

using namespace detail;

std::size_t KernelStackLevels() {
    return detail::KernelStackLevels;
}

// ---------------------------------------------------------------------------------------------
// Kernel threads

static_assert(sizeof(pthread_t) <= sizeof(std::uintptr_t), "a thread handle fits the slot");

namespace {
struct ThreadStart {
    std::function<void()> Body;
};

void* RunKernelThread(void* argument) {
    std::unique_ptr<ThreadStart> start(static_cast<ThreadStart*>(argument));
    KernelStackGuard guard; // overflow reporting for this thread's stack
    start->Body();
    return nullptr;
}
} // namespace

// One level of request nesting (a completion routine submitting again: the driver's routine, the
// I/O manager's call down and completion walk, a bus dispatch routine that completes at once)
// measured 848 bytes of stack optimised, 2208 in a debug build, 4416 with AddressSanitizer and
// 2336 with ThreadSanitizer (the nesting test prints it). A real driver routine keeps more on its
// stack than the test's (a URB, a request record), so each build budgets about half as much
// again per level. The stack holds twice the nesting bound at that budget, where the verifier
// stops the run, plus 64 KiB for the host's own work on the thread (a bus's scheduling, the
// verifier's reports), with a quarter to spare. A platform stack is 24 KiB; these are 8 to 27
// times that only because a host level is 1.5 to 6 times a platform one and the host does more
// on the thread than a DPC would.
std::size_t KernelThread::StackBytes() {
#if defined(__SANITIZE_ADDRESS__)
    constexpr std::size_t perLevel = 6656;
#elif defined(__SANITIZE_THREAD__)
    constexpr std::size_t perLevel = 3584;
#elif defined(__OPTIMIZE__)
    constexpr std::size_t perLevel = 1280;
#else
    constexpr std::size_t perLevel = 3072;
#endif
    constexpr std::size_t bytes =
        (2 * detail::KernelStackLevels * perLevel + std::size_t{64} * 1024) * 5 / 4;
    return (bytes + 0xFFFF) & ~std::size_t(0xFFFF);
}

KernelThread::KernelThread(std::function<void()> body) {
    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    pthread_attr_setstacksize(&attributes, StackBytes());
    auto* start = new ThreadStart{std::move(body)};
    pthread_t thread;
    int failed = pthread_create(&thread, &attributes, RunKernelThread, start);
    pthread_attr_destroy(&attributes);
    if (failed) {
        delete start;
        Unsupported("host::KernelThread", "a thread the system refused to create");
    }
    handle_ = static_cast<std::uintptr_t>(thread);
    joinable_ = true;
}

KernelThread::~KernelThread() {
    if (joinable_)
        Join();
}

KernelThread::KernelThread(KernelThread&& other) noexcept
    : handle_(other.handle_), joinable_(other.joinable_) {
    other.joinable_ = false;
}

KernelThread& KernelThread::operator=(KernelThread&& other) noexcept {
    if (this != &other) {
        if (joinable_)
            Join();
        handle_ = other.handle_;
        joinable_ = other.joinable_;
        other.joinable_ = false;
    }
    return *this;
}

void KernelThread::Join() {
    if (!joinable_)
        Unsupported("host::KernelThread::Join", "joining a thread that is not joinable");
    pthread_join(static_cast<pthread_t>(handle_), nullptr);
    joinable_ = false;
}

} // namespace host
