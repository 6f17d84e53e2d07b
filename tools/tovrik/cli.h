// The tool as a function, so tests can run it without a process: argv in, text out, the exit
// code back (0 done, 1 a request failed or the system did not open, 2 bad arguments).
#pragma once

#include <istream>
#include <ostream>

namespace tovrik::cli {

int Main(int argc, const char* const* argv, std::istream& in, std::ostream& out, std::ostream& err);

} // namespace tovrik::cli
