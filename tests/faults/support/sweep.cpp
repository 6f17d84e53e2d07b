#include "sweep.h"

#include "isolated_run.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <deque>
#include <sstream>
#include <cstdio>
#include <future>
#include <iostream>
#include <mutex>
#include <thread>

namespace tovrik_faults {

const char* KindName(host::AllocationKind kind) {
    switch (kind) {
    case host::AllocationKind::Pool:
        return "pool";
    case host::AllocationKind::Irp:
        return "IRP";
    case host::AllocationKind::Mdl:
        return "MDL";
    case host::AllocationKind::Usbd:
        return "USBD request";
    case host::AllocationKind::Device:
        return "device object";
    case host::AllocationKind::Mapping:
        return "MDL mapping";
    default:
        return "allocation";
    }
}

namespace {

// What the decider of one run knows; shared with the allocating threads.
struct DeciderState {
    std::mutex Mutex;
    std::atomic<std::size_t> Step{0};
    std::vector<RecordedAllocation>* Record = nullptr;
    std::vector<Injection> Injections;
    std::size_t Fired = 0; // injections done; the next one is Injections[Fired]
    std::size_t Seen = 0;  // allocations of its chain seen since the previous one fired
    std::optional<std::size_t> FiredInStep;
    // The callers of the run's body on its own thread: the same for every run only from the
    // body inward, so they are cut off every chain taken on that thread.
    RawChain Outer;
};

RawChain WithoutOuterFrames(RawChain chain, const RawChain& outer) {
    if (!outer.empty() && chain.size() >= outer.size() &&
        std::equal(outer.begin(), outer.end(), chain.end() - static_cast<long>(outer.size()))) {
        chain.resize(chain.size() - outer.size());
    }
    return chain;
}

bool StartsWith(const std::string& text, const char* prefix) {
    return text.rfind(prefix, 0) == 0;
}

// Who made an allocation: the first frame, from the innermost, of a driver of the host kernel:
// ours, or the simulated bus's own code. The frames of the allocating routines themselves (the
// host kernel, the USBD library the driver calls), of the sweep and of the standard library are
// passed over.
bool IsOwnerFrame(const SourceFrame& frame) {
    return StartsWith(frame.File, "driver/") ||
           (StartsWith(frame.File, "sim/") && !StartsWith(frame.File, "sim/usbd/"));
}

} // namespace

Sweep::Sweep(std::string sourceRoot, bool allOrdinals, double runLimitSeconds)
    : Root(sourceRoot), AllOrdinals(allOrdinals), RunLimit(runLimitSeconds),
      Static(ScanDriverSources(sourceRoot)), Names(sourceRoot) {}

namespace {

// The child's outcome as text lines for the parent: "S <status>", "F <step>", "C <problem>",
// "V <violation>", "A <kind> <step> <address>...".
std::string Encode(const Sweep::Outcome& outcome, const std::vector<RecordedAllocation>& record) {
    std::ostringstream out;
    for (NTSTATUS status : outcome.Statuses) {
        out << "S " << static_cast<long>(status) << "\n";
    }
    if (outcome.FiredInStep) {
        out << "F " << *outcome.FiredInStep << "\n";
    }
    out << "N " << outcome.Fired << "\n";
    if (outcome.StartFailed) {
        out << "X\n";
    }
    if (!outcome.CheckProblem.empty()) {
        out << "C " << outcome.CheckProblem << "\n";
    }
    for (const std::string& violation : outcome.Violations) {
        std::string line = violation;
        std::replace(line.begin(), line.end(), '\n', ' ');
        out << "V " << line << "\n";
    }
    for (const RecordedAllocation& allocation : record) {
        out << "A " << static_cast<unsigned>(allocation.Kind) << " " << allocation.StepIndex;
        for (const void* address : allocation.Chain) {
            out << " " << reinterpret_cast<std::uintptr_t>(address);
        }
        out << "\n";
    }
    return out.str();
}

void Decode(const std::string& payload, Sweep::Outcome& outcome,
            std::vector<RecordedAllocation>* record) {
    std::istringstream in(payload);
    for (std::string line; std::getline(in, line);) {
        if (line.empty()) {
            continue;
        }
        std::string rest = line.size() > 2 ? line.substr(2) : std::string();
        switch (line[0]) {
        case 'S':
            outcome.Statuses.push_back(static_cast<NTSTATUS>(std::stol(rest)));
            break;
        case 'F':
            outcome.FiredInStep = std::stoul(rest);
            break;
        case 'X':
            outcome.StartFailed = true;
            break;
        case 'N':
            outcome.Fired = std::stoul(rest);
            break;
        case 'C':
            outcome.CheckProblem = rest;
            break;
        case 'V':
            outcome.Violations.push_back(rest);
            break;
        case 'A':
            if (record != nullptr) {
                std::istringstream fields(rest);
                unsigned kind = 0;
                RecordedAllocation allocation{};
                fields >> kind >> allocation.StepIndex;
                allocation.Kind = static_cast<host::AllocationKind>(kind);
                for (std::uintptr_t address; fields >> address;) {
                    allocation.Chain.push_back(reinterpret_cast<const void*>(address));
                }
                record->push_back(std::move(allocation));
            }
            break;
        }
    }
}

} // namespace

Sweep::Outcome Sweep::RunOnce(const Scenario& scenario, const std::vector<Injection>& injections,
                              bool failAttach, std::vector<RecordedAllocation>* record) {
    bool recording = record != nullptr;
    // The body runs in a child process: the world, its threads and whatever goes wrong there
    // stay in the child. The decider state lives on the child's stack.
    auto body = [&scenario, &injections, failAttach, recording]() -> std::string {
        std::vector<std::string> violations;
        host::Verifier::SetReporter([&violations](const host::Violation& violation) {
            violations.push_back(std::string(host::CheckName(violation.Kind)) + " at " +
                                 violation.Site.ToString() + ": " + violation.Message);
        });
        auto state = std::make_shared<DeciderState>();
        state->Outer = TakeRawChain();
        state->Outer.erase(state->Outer.begin());
        std::vector<RecordedAllocation> allocations;
        state->Record = recording ? &allocations : nullptr;
        state->Injections = injections;
        Outcome outcome;
        host::BeginTest();
        {
            CameraSession session(scenario.Options);
            if (scenario.Setup && !scenario.Setup(session)) {
                outcome.CheckProblem = "the scenario's setup failed (no allocation was failed)";
            } else {
                if (failAttach) {
                    host::FaultInjection::FailAttach(1);
                }
                host::FaultInjection::SetDecider([state](host::AllocationKind kind,
                                                         const host::CallSite&) {
                    RawChain chain = WithoutOuterFrames(TakeRawChain(), state->Outer);
                    std::lock_guard lock(state->Mutex);
                    if (state->Fired == state->Injections.size()) {
                        if (state->Record != nullptr) {
                            state->Record->push_back({kind, std::move(chain), state->Step.load()});
                        }
                        return false;
                    }
                    const Injection& next = state->Injections[state->Fired];
                    if (!next.Chain->RawChains.count(chain) || ++state->Seen != next.Ordinal) {
                        return false;
                    }
                    if (state->Fired++ == 0) {
                        state->FiredInStep = state->Step.load();
                    }
                    state->Seen = 0;
                    return true;
                });
                for (std::size_t i = 0; i < scenario.Steps.size(); ++i) {
                    state->Step = i;
                    const Step& step = scenario.Steps[i];
                    NTSTATUS status = step.Run(session);
                    outcome.Statuses.push_back(status);
                    if (step.Starts && !NT_SUCCESS(status)) {
                        outcome.StartFailed = true;
                    }
                }
                host::FaultInjection::SetDecider({});
                host::FaultInjection::FailAttach(0);
                outcome.CheckProblem =
                    scenario.Check ? scenario.Check(session, outcome.StartFailed)
                                   : (outcome.StartFailed ? std::string() : ProbeCamera(session));
            }
        }
        host::FaultInjection::SetDecider({});
        host::EndTest();
        outcome.Violations = violations;
        {
            std::lock_guard lock(state->Mutex);
            outcome.FiredInStep = state->FiredInStep;
            outcome.Fired = state->Fired;
        }
        return Encode(outcome, allocations);
    };

    IsolatedResult result = RunIsolated(RunLimit, body);

    Outcome outcome;
    Decode(result.Payload, outcome, record);
    outcome.Ended = result.Problem();
    return outcome;
}

std::vector<ChainRecord> Sweep::Chains(const std::vector<RecordedAllocation>& record,
                                       const Scenario& scenario, SweepTotals& totals) {
    std::vector<RawChain> raw;
    for (const RecordedAllocation& allocation : record) {
        raw.push_back(allocation.Chain);
    }
    if (!Names.Name(raw)) {
        ADD_FAILURE() << "addr2line could not name the allocation call chains";
        return {};
    }
    std::vector<ChainRecord> chains;
    std::map<std::string, std::size_t> byKey;
    for (const RecordedAllocation& allocation : record) {
        std::vector<SourceFrame> frames = Names.Frames(allocation.Chain);
        auto owner = std::find_if(frames.begin(), frames.end(), IsOwnerFrame);
        if (owner == frames.end() || !StartsWith(owner->File, "driver/")) {
            // The bus's or the camera's own allocation, made in a routine the driver called.
            continue;
        }
        std::vector<SourceFrame> driverFrames;
        std::string key;
        for (const SourceFrame& frame : frames) {
            if (StartsWith(frame.File, "driver/")) {
                driverFrames.push_back(frame);
                key += frame.File + ":" + std::to_string(frame.Line) + " ";
            }
        }
        auto [it, added] = byKey.emplace(key, chains.size());
        if (added && std::getenv("TOVRIK_SWEEP_VERBOSE") != nullptr) {
            std::cout << "chain " << key << "\n";
            for (const SourceFrame& frame : frames) {
                std::cout << "    " << frame.Function << " " << frame.File << ":" << frame.Line
                          << "\n";
            }
        }
        if (added) {
            ChainRecord chain;
            chain.Key = key;
            chain.Frames = driverFrames;
            chain.Kind = allocation.Kind;
            chain.StepName = scenario.Steps.at(allocation.StepIndex).Name;
            // Follow the chain outward through the routines that hand their allocation to
            // their caller; the last call passed is the site that counts.
            for (const SourceFrame& frame : driverFrames) {
                const AllocationSite* site = nullptr;
                for (const AllocationSite& candidate : Static.Sites) {
                    if (candidate.File == frame.File && frame.Line >= candidate.Line &&
                        frame.Line <= candidate.LastLine) {
                        site = &candidate;
                        break;
                    }
                }
                if (site == nullptr) {
                    if (chain.Reaches.empty()) {
                        totals.Unlisted.insert(frame.File + ":" + std::to_string(frame.Line) +
                                               " in " + frame.Function);
                    }
                    break;
                }
                chain.Reaches.push_back(site->Label());
                chain.Site = site->Label();
                if (!Static.Helpers.count(site->Function)) {
                    break;
                }
            }
            chains.push_back(std::move(chain));
        }
        ChainRecord& chain = chains[it->second];
        chain.RawChains.insert(allocation.Chain);
        chain.Count++;
    }
    return chains;
}

Sweep::Outcome Sweep::RunPatiently(const Scenario& scenario,
                                   const std::vector<Injection>& injections, bool failAttach,
                                   std::vector<RecordedAllocation>* record) {
    constexpr double kSlowScale = 10;
    Outcome outcome = RunOnce(scenario, injections, failAttach, record);
    const bool timedOut = std::find(outcome.Statuses.begin(), outcome.Statuses.end(),
                                    STATUS_IO_TIMEOUT) != outcome.Statuses.end() ||
                          outcome.CheckProblem.find("STATUS_IO_TIMEOUT") != std::string::npos;
    if (!timedOut || scenario.Options.ClockScale <= kSlowScale) {
        return outcome;
    }
    Scenario slower = scenario;
    slower.Options.ClockScale = kSlowScale;
    if (record != nullptr) {
        record->clear();
    }
    return RunOnce(slower, injections, failAttach, record);
}

void Sweep::Judge(const Scenario& scenario, const Outcome& outcome, const std::string& label,
                  std::size_t injected, bool baseline, SweepTotals& totals) {
    RunVerdict verdict{label, {}};
    if (outcome.Ended.empty() && outcome.Fired != injected) {
        verdict.Problems.push_back("the allocation was not made again (the run is not repeatable)");
    }
    if (baseline) {
        for (std::size_t i = 0; i < outcome.Statuses.size(); ++i) {
            NTSTATUS answer = scenario.Steps.at(i).Answer;
            if (NT_SUCCESS(answer) ? !NT_SUCCESS(outcome.Statuses[i])
                                   : outcome.Statuses[i] != answer) {
                verdict.Problems.push_back("with nothing failed, \"" + scenario.Steps.at(i).Name +
                                           "\" answered " + host::StatusName(outcome.Statuses[i]));
            }
        }
    }
    if (outcome.FiredInStep) {
        std::size_t i = *outcome.FiredInStep;
        const Step& step = scenario.Steps.at(i);
        if (step.MustFail && i < outcome.Statuses.size() && NT_SUCCESS(outcome.Statuses[i])) {
            verdict.Problems.push_back("\"" + step.Name + "\" answered " +
                                       host::StatusName(outcome.Statuses[i]) +
                                       " although an allocation it needed failed");
        }
    }
    if (!outcome.CheckProblem.empty()) {
        verdict.Problems.push_back("afterwards: " + outcome.CheckProblem);
    }
    if (!outcome.Ended.empty()) {
        verdict.Problems.push_back("the run did not end normally: " + outcome.Ended);
    }
    for (const std::string& violation : outcome.Violations) {
        verdict.Problems.push_back("verifier: " + violation);
    }
    if (!verdict.Problems.empty()) {
        std::cout << "  FAULT " << label << "\n";
        for (const std::string& problem : verdict.Problems) {
            std::cout << "        " << problem << "\n";
        }
        std::cout << std::flush;
        totals.Failed.push_back(std::move(verdict));
    }
}

void Sweep::Run(const Scenario& scenario, SweepTotals& totals) {
    totals.Scenarios++;
    std::vector<RecordedAllocation> record;
    Outcome first = RunPatiently(scenario, {}, false, &record);
    Judge(scenario, first, scenario.Name + " with nothing failed", 0, true, totals);
    // Stable addresses: injections point into it while more chains are added.
    std::deque<ChainRecord> chains;
    std::set<std::string> known;
    for (ChainRecord& chain : Chains(record, scenario, totals)) {
        known.insert(chain.Key);
        chains.push_back(std::move(chain));
    }

    // Every chosen allocation of every chain, then the allocations that only the error paths of
    // those runs made, each failed after the failure that led there.
    std::deque<std::vector<Injection>> pending;
    std::size_t allocations = 0;
    for (const ChainRecord& chain : chains) {
        allocations += chain.Count;
        std::size_t n = chain.Count;
        std::vector<std::size_t> ordinals;
        if (AllOrdinals || n <= 5) {
            for (std::size_t k = 1; k <= n; ++k) {
                ordinals.push_back(k);
            }
        } else {
            ordinals = {1, 2, (n + 1) / 2, n - 1, n};
        }
        for (std::size_t ordinal : ordinals) {
            pending.push_back({{&chain, ordinal}});
        }
    }
    std::size_t runs = 0;
    std::size_t errorPaths = 0;
    while (!pending.empty()) {
        std::vector<Injection> injections = std::move(pending.front());
        pending.pop_front();
        std::string label = scenario.Name + ":";
        for (std::size_t i = 0; i < injections.size(); ++i) {
            const Injection& injection = injections[i];
            label += std::string(i == 0 ? " " : ", then on its error path ") +
                     KindName(injection.Chain->Kind) + " " + std::to_string(injection.Ordinal) +
                     (i == 0 ? " of " + std::to_string(injection.Chain->Count) : std::string()) +
                     " at " + injection.Chain->Site + " (" + injection.Chain->Key + ")";
        }
        std::vector<RecordedAllocation> after;
        // A path that depends on timing (a stream that ends by itself before a close would stop
        // it) may not come again: up to three tries. One that never does is said, and its run
        // counts for no site.
        Outcome outcome;
        for (int attempt = 0; attempt < 3; ++attempt) {
            after.clear();
            outcome = RunPatiently(scenario, injections, false, &after);
            if (outcome.Fired == injections.size() || !outcome.Ended.empty()) {
                break;
            }
        }
        runs++;
        if (outcome.Fired != injections.size() && outcome.Ended.empty()) {
            totals.NotRepeated++;
            std::cout << "  NOT REPEATED " << label << "\n";
            continue;
        }
        Judge(scenario, outcome, label, injections.size(), false, totals);
        const ChainRecord& last = *injections.back().Chain;
        for (const std::string& site : last.Reaches) {
            totals.SiteRuns[site]++;
            totals.SiteKinds[site].insert(KindName(last.Kind));
        }
        if (outcome.Fired != injections.size()) {
            continue;
        }
        for (ChainRecord& chain : Chains(after, scenario, totals)) {
            if (!known.insert(chain.Key).second) {
                continue;
            }
            errorPaths++;
            chain.StepName = scenario.Steps.at(outcome.FiredInStep.value_or(0)).Name;
            chains.push_back(std::move(chain));
            std::vector<Injection> deeper = injections;
            deeper.push_back({&chains.back(), 1});
            pending.push_back(std::move(deeper));
        }
    }
    if (scenario.SweepAttach) {
        const AllocationSite* attach = nullptr;
        for (const AllocationSite& site : Static.Sites) {
            if (site.Routine == "IoAttachDeviceToDeviceStack") {
                attach = &site;
            }
        }
        std::string label = scenario.Name + ": the attach to the device stack refused";
        Outcome outcome = RunPatiently(scenario, {}, true, nullptr);
        Judge(scenario, outcome, label, 0, false, totals);
        bool refused = std::any_of(outcome.Statuses.begin(), outcome.Statuses.end(),
                                   [](NTSTATUS s) { return !NT_SUCCESS(s); });
        if (!refused) {
            totals.Failed.push_back({label, {"the camera started although its attach failed"}});
        }
        if (attach != nullptr) {
            totals.SiteRuns[attach->Label()]++;
            totals.SiteKinds[attach->Label()].insert("attach");
        }
        runs++;
    }
    totals.Allocations += allocations;
    totals.Chains += chains.size();
    totals.ErrorPathChains += errorPaths;
    totals.Runs += runs;
    std::cout << "scenario \"" << scenario.Name << "\": " << allocations << " allocations in "
              << chains.size() - errorPaths << " call chains, " << errorPaths
              << " more chains on error paths, " << runs << " runs\n"
              << std::flush;
}

} // namespace tovrik_faults
