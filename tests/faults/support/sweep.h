// The allocation sweep: a scenario is run once to record every allocation the driver makes in it
// (kind, call chain, and its ordinal among the allocations of the same chain), then once more for
// each chosen allocation with exactly that one failed. Every run must end: no crash, no verifier
// violation, nothing left allocated, no hang (bounded in real time), the request that needed the
// allocation answered with a failure status, and the camera usable afterwards or cleanly refused
// at start.
#pragma once

#include "allocation_sites.h"
#include "call_chain.h"
#include "camera_session.h"

#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace tovrik_faults {

// One request (or PnP action) of a scenario.
struct Step {
    std::string Name;
    std::function<NTSTATUS(CameraSession&)> Run;
    // When an allocation failed inside it, the step must answer a failure status. False for
    // actions that cannot report one (a removal, a close).
    bool MustFail = true;
    // The step starts the device: when it fails, the camera must be refused cleanly afterwards.
    bool Starts = false;
    // What the step answers with nothing failed: success, or this failure.
    NTSTATUS Answer = STATUS_SUCCESS;
};

struct Scenario {
    std::string Name;
    SessionOptions Options;
    // Brings the camera to where the steps start; never swept (its allocations are another
    // scenario's). Returns false when that failed, which fails the sweep.
    std::function<bool(CameraSession&)> Setup;
    std::vector<Step> Steps;
    // After the steps, with no allocation failing: empty when the camera is as it must be,
    // else what is wrong. `startFailed`: a start among the steps answered a failure, so the
    // camera must have been refused cleanly rather than be usable. Defaults to ProbeCamera.
    std::function<std::string(CameraSession&, bool startFailed)> Check;
    // Also run once with the attach of the new device to the stack refused.
    bool SweepAttach = false;
};

// One allocation as the recording run saw it.
struct RecordedAllocation {
    host::AllocationKind Kind;
    RawChain Chain;
    std::size_t StepIndex;
};

// The allocations of one chain: the same driver frames, innermost first.
struct ChainRecord {
    std::string Key;                  // the driver frames as "file:line" from the innermost
    std::vector<SourceFrame> Frames;  // the driver frames
    host::AllocationKind Kind;        // what the innermost routine allocates
    std::set<RawChain> RawChains;     // the full chains that map to it
    std::size_t Count = 0;            // how many allocations of the chain the scenario makes
    std::vector<std::string> Reaches; // the source sites the chain passes, innermost first
    std::string Site;                 // the one that counts: outermost of Reaches
    std::string StepName;             // the step of its first allocation
};

// One allocation to fail: the `Ordinal`-th of a chain's allocations in the run.
struct Injection {
    const ChainRecord* Chain;
    std::size_t Ordinal;
};

struct RunVerdict {
    std::string Label;
    std::vector<std::string> Problems;
};

struct SweepTotals {
    std::size_t Scenarios = 0;
    std::size_t Allocations = 0; // recorded, over every scenario
    std::size_t Chains = 0;
    std::size_t ErrorPathChains = 0; // of Chains: found only on the error path of a failure
    std::size_t Runs = 0;            // runs with one allocation failed
    // Runs whose allocation did not come again in three tries (a path that depends on timing).
    std::size_t NotRepeated = 0;
    std::vector<RunVerdict> Failed;
    // Source site -> number of runs whose failed allocation passed it.
    std::map<std::string, std::size_t> SiteRuns;
    // Source site -> kinds it allocated.
    std::map<std::string, std::set<std::string>> SiteKinds;
    // Allocations whose innermost driver frame is no known site: the scan missed a routine.
    std::set<std::string> Unlisted;
};

class Sweep {
  public:
    // `sourceRoot`: the source tree (its driver/ folder is scanned). `allOrdinals`: fail every
    // allocation of a chain; otherwise the first two, the middle one and the last two.
    Sweep(std::string sourceRoot, bool allOrdinals, double runLimitSeconds);

    void Run(const Scenario& scenario, SweepTotals& totals);

    const DriverAllocations& Allocations() const { return Static; }

    // What one run showed.
    struct Outcome {
        std::vector<NTSTATUS> Statuses;
        std::optional<std::size_t> FiredInStep; // the step in which the first one failed
        std::size_t Fired = 0;                  // how many injections fired
        bool StartFailed = false;
        std::string CheckProblem;
        std::vector<std::string> Violations;
        std::string Ended; // empty, or how the run failed to end (a crash, a hang)
    };

  private:
    // One run of the scenario in a child process, bounded in real time. The injections fail in
    // turn (the second is counted from the moment the first failed: an allocation of the error
    // path). `record` receives every allocation of a run without injections, and the
    // allocations made after the last injection of one with them.
    Outcome RunOnce(const Scenario& scenario, const std::vector<Injection>& injections,
                    bool failAttach, std::vector<RecordedAllocation>* record);
    // RunOnce, and once more on a clock ten times slower when a request ran into the driver's
    // 5 s control-transfer limit, which the test clock makes 50 ms of real time: a loaded
    // machine, not the driver, unless the slower clock times out too.
    Outcome RunPatiently(const Scenario& scenario, const std::vector<Injection>& injections,
                         bool failAttach, std::vector<RecordedAllocation>* record);
    // `injected`: how many injections the run had (all must have fired). `baseline`: nothing
    // failed, so every step must have answered success.
    void Judge(const Scenario& scenario, const Outcome& outcome, const std::string& label,
               std::size_t injected, bool baseline, SweepTotals& totals);
    std::vector<ChainRecord> Chains(const std::vector<RecordedAllocation>& record,
                                    const Scenario& scenario, SweepTotals& totals);

    std::string Root;
    bool AllOrdinals;
    double RunLimit;
    DriverAllocations Static;
    Symbolizer Names;
};

const char* KindName(host::AllocationKind kind);

} // namespace tovrik_faults
