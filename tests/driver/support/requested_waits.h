// What the driver asked the kernel clock for. Every timed wait the driver makes
// (KeWaitForSingleObject with a timeout, KeDelayExecutionThread) is recorded with its interval
// and call site, so a test asserts the delay or time limit the driver requested, not how soon a
// loaded machine woke the thread after it. The two routines are wrapped at link time
// (-Wl,--wrap, see tests/driver/CMakeLists.txt); the host kernel itself is unchanged.
#pragma once

#include "host/host_kernel.h"

#include <cstddef>
#include <string>
#include <vector>

namespace tovrik_test {

struct RequestedWait {
    enum class Kind { Wait, Delay } What;
    // As the driver passed it: negative relative, positive absolute, in 100-ns units.
    LONGLONG Interval;
    std::string Site; // file:line in driver/
};

class RequestedWaits {
  public:
    // A mark: the waits after it are those requested since.
    static std::size_t Mark();
    static std::vector<RequestedWait> Since(std::size_t mark);
    // The relative intervals (as positive 100-ns counts) of the waits or delays since `mark`.
    static std::vector<LONGLONG> Relative(std::size_t mark, RequestedWait::Kind kind);
};

} // namespace tovrik_test
