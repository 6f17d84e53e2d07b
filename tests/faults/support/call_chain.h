// Call chains of the running program: taken cheaply where something happens (raw return
// addresses), named later in one go (function, source file and line, inlined frames included)
// from the program's own debug information.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace tovrik_faults {

// Return addresses, innermost first.
using RawChain = std::vector<const void*>;

// Up to `depth` return addresses of the calling thread, innermost first, without the frames of
// this routine itself.
RawChain TakeRawChain(int depth = 64);

struct SourceFrame {
    std::string Function;
    std::string File; // relative to the source tree when inside it, else as the debug info says
    int Line = 0;
};

// Names return addresses with addr2line over the program's own file. Every address is named
// once; frames that come from inlining are listed before the frame they were inlined into.
class Symbolizer {
  public:
    // `sourceRoot`: the absolute path of the source tree, cut from the front of file names.
    explicit Symbolizer(std::string sourceRoot);

    // Names every address of the chains that is not named yet (one addr2line run), then
    // returns the frames of one chain, innermost first. False when addr2line could not run.
    bool Name(const std::vector<RawChain>& chains);
    std::vector<SourceFrame> Frames(const RawChain& chain) const;

  private:
    std::string Root;
    std::map<const void*, std::vector<SourceFrame>> Named;
};

} // namespace tovrik_faults
