// The tool as a function, so tests can run it without a process: argv in, text out, the exit
// code back (0 done, 1 a request failed or the system did not open, 2 bad arguments).
#pragma once

#include "tovrik/sdk.hpp"

#include <cstdint>
#include <istream>
#include <ostream>

namespace tovrik::cli {

int Main(int argc, const char* const* argv, std::istream& in, std::ostream& out, std::ostream& err);

// The shell against a system the caller opened: one JSON line per input line, camera `device`
// unless a line says otherwise.
void RunShell(tovrik::System& system, std::uint32_t device, std::istream& in, std::ostream& out);

} // namespace tovrik::cli
