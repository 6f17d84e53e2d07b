// Every place in the driver's source that allocates: each call of a kernel routine that can fail
// for want of memory (pool, requests, MDLs, the USBD request builder, device objects, system
// mappings), and each call of a driver routine that hands its caller something it allocated
// (a pointer-returning routine that allocates, found by following the calls to a fixed point).
// Read from the source itself, so that a new allocation cannot be missed by the sweep.
#pragma once

#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace tovrik_faults {

struct AllocationSite {
    std::string File;          // relative to the source tree: "driver/usb/submit.cpp"
    int Line = 0;              // the line that names the routine called
    int LastLine = 0;          // the last line of the statement (a call may span lines)
    std::string Routine;       // what is called: "ExAllocatePool", "AllocateUrb"
    std::string Function;      // the routine the call is in
    std::string Label() const; // "driver/usb/submit.cpp:171 ExAllocatePool in SendPipeZeroCommand"
};

// A routine definition found in a source, with the calls its body makes.
struct ScannedRoutine {
    std::string Name;
    bool ReturnsPointer = false;
    struct Call {
        std::string Name;
        int Line;
        int LastLine;
    };
    std::vector<Call> Calls;
};

struct DriverAllocations {
    std::vector<AllocationSite> Sites;
    // Every routine definition, by source file.
    std::map<std::string, std::vector<ScannedRoutine>> Routines;
    // Driver routines that return something they allocated: a chain is followed through them
    // to the caller, whose call is the site that counts.
    std::set<std::string> Helpers;
};

// The kernel routines that can fail for want of a resource.
const std::set<std::string>& AllocatingKernelRoutines();

// Scans every .cpp and .h below `sourceRoot`/driver. The sources are formatted by the project's
// .clang-format: routine definitions start in column 0 and end with a '}' in column 0.
DriverAllocations ScanDriverSources(const std::filesystem::path& sourceRoot);

// The same scan over one source text (for the scanner's own test).
void ScanSource(const std::string& file, const std::string& text, DriverAllocations& into);
void FindHelpers(DriverAllocations& allocations);

} // namespace tovrik_faults
