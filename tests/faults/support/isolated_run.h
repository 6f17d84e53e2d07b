// Runs a piece of a test in a child process of its own, bounded in real time: a crash (a bug
// check of the host kernel, a sanitizer report, a signal) or a hang ends that child only, and
// the caller is told which it was and goes on with the next run.
#pragma once

#include <functional>
#include <string>

namespace tovrik_faults {

struct IsolatedResult {
    bool Hung = false;   // killed after the time limit
    std::string Crash;   // how the child ended when it did not end normally; empty otherwise
    std::string Payload; // what the body returned
    bool Ended() const { return !Hung && Crash.empty(); }
    std::string Problem() const;
};

// Forks; the child runs `body` and hands back what it returns. The caller must not have started
// threads of the host kernel or the simulation (the child would have none of them): build the
// world inside the body. Verifier violations in the child are the body's to collect.
IsolatedResult RunIsolated(double realSecondsLimit, const std::function<std::string()>& body);

} // namespace tovrik_faults
