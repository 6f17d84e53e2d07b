// The tool as a function, so tests can run it without a process: argv in, text out, the exit
// code back (0 done, 1 a request failed or the system did not open, 2 bad arguments).
#pragma once

#include "tovrik/sdk.hpp"

#include <cstdint>
#include <istream>
#include <ostream>

namespace tovrik::cli {

int Main(int argc, const char* const* argv, std::istream& in, std::ostream& out, std::ostream& err);

struct ShellOptions {
    // Each command's tables instead of one JSON line.
    bool Human = false;
    // Where a human shell draws progress lines (a terminal), or null.
    std::ostream* Progress = nullptr;
};

// The shell against a system the caller opened: one JSON line per input line, camera `device`
// unless a line says otherwise. Returns how many lines failed (a request, a command, a parse).
std::uint32_t RunShell(tovrik::System& system, std::uint32_t device, std::istream& in,
                       std::ostream& out, const ShellOptions& options = {});

} // namespace tovrik::cli
