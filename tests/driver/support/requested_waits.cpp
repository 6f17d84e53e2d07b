#include "requested_waits.h"

#include <mutex>

// The host declarations route the routines through macros that note the call site; the
// wrappers below name the routines themselves.
#undef KeWaitForSingleObject
#undef KeDelayExecutionThread

extern "C" {
NTSTATUS NTAPI __real_KeWaitForSingleObject(PVOID Object, KWAIT_REASON WaitReason,
                                            KPROCESSOR_MODE WaitMode, BOOLEAN Alertable,
                                            PLARGE_INTEGER Timeout);
NTSTATUS NTAPI __real_KeDelayExecutionThread(KPROCESSOR_MODE WaitMode, BOOLEAN Alertable,
                                             PLARGE_INTEGER Interval);
}

namespace tovrik_test {
namespace {

std::mutex Lock;
std::vector<RequestedWait> Log;

// Notes the wait when the driver asked for it, and gives the call site back to the routine so
// its verifier messages still name the driver's line.
void Note(RequestedWait::Kind kind, PLARGE_INTEGER interval) {
    const host::CallSite site = host::TakeCallSite();
    if (site.File != nullptr) {
        HostNoteCallSite(site.File, site.Line);
        const std::string file = site.File;
        if (interval != nullptr && file.find("/driver/") != std::string::npos) {
            std::lock_guard<std::mutex> guard(Lock);
            Log.push_back({kind, interval->QuadPart, file + ":" + std::to_string(site.Line)});
        }
    }
}

} // namespace

std::size_t RequestedWaits::Mark() {
    std::lock_guard<std::mutex> guard(Lock);
    return Log.size();
}

std::vector<RequestedWait> RequestedWaits::Since(std::size_t mark) {
    std::lock_guard<std::mutex> guard(Lock);
    return {Log.begin() + static_cast<std::ptrdiff_t>(std::min(mark, Log.size())), Log.end()};
}

std::vector<LONGLONG> RequestedWaits::Relative(std::size_t mark, RequestedWait::Kind kind) {
    std::vector<LONGLONG> out;
    for (const RequestedWait& wait : Since(mark))
        if (wait.What == kind && wait.Interval < 0)
            out.push_back(-wait.Interval);
    return out;
}

} // namespace tovrik_test

extern "C" NTSTATUS NTAPI __wrap_KeWaitForSingleObject(PVOID Object, KWAIT_REASON WaitReason,
                                                       KPROCESSOR_MODE WaitMode, BOOLEAN Alertable,
                                                       PLARGE_INTEGER Timeout) {
    tovrik_test::Note(tovrik_test::RequestedWait::Kind::Wait, Timeout);
    return __real_KeWaitForSingleObject(Object, WaitReason, WaitMode, Alertable, Timeout);
}

extern "C" NTSTATUS NTAPI __wrap_KeDelayExecutionThread(KPROCESSOR_MODE WaitMode, BOOLEAN Alertable,
                                                        PLARGE_INTEGER Interval) {
    tovrik_test::Note(tovrik_test::RequestedWait::Kind::Delay, Interval);
    return __real_KeDelayExecutionThread(WaitMode, Alertable, Interval);
}
