// The verifier: the checks by name, how a violation is reported (or absorbed by a test that
// expects it), the bug check that stops the program as the platform would stop the machine, and
// the source line of a faulting instruction.
#include "internal.h"

#include <fmt/format.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <dlfcn.h>
#include <set>

namespace host {
namespace detail {

CallSite SiteOfInstruction(const void* instruction) {
    CallSite site;
    site.ReturnAddress = instruction;
    Dl_info info{};
    if (!instruction || !dladdr(instruction, &info) || !info.dli_fname || !info.dli_fbase)
        return site;
    // Position-independent code: addr2line wants the offset within the object file.
    auto offset = reinterpret_cast<std::uintptr_t>(instruction) -
                  reinterpret_cast<std::uintptr_t>(info.dli_fbase);
    std::string object = info.dli_fname[0] ? info.dli_fname : "/proc/self/exe";
    if (object.find('\'') != std::string::npos)
        return site;
    std::string command = fmt::format("addr2line -e '{}' {:#x} 2>/dev/null", object, offset);
    // The command line is ours: a loaded object's path (quoted; a path with a quote is refused
    // above) and a number.
    FILE* pipe = ::popen(command.c_str(), "r"); // NOLINT(cert-env33-c)
    if (!pipe)
        return site;
    char line[4096] = {};
    bool got = std::fgets(line, sizeof(line), pipe) != nullptr;
    ::pclose(pipe);
    if (!got)
        return site;
    std::string text(line);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r'))
        text.pop_back();
    auto colon = text.rfind(':');
    if (colon == std::string::npos || text.compare(0, 2, "??") == 0)
        return site;
    char* end = nullptr;
    long number = std::strtol(text.c_str() + colon + 1, &end, 10);
    if (end == text.c_str() + colon + 1 || number <= 0 || number > INT_MAX)
        return site;
    // Call sites keep their file as a plain pointer: the names live as long as the program.
    static std::mutex mutex;
    static auto* names = new std::set<std::string>;
    std::lock_guard lock(mutex);
    site.File = names->insert(text.substr(0, colon)).first->c_str();
    site.Line = static_cast<int>(number);
    return site;
}

void BugCheck(const std::string& message, const CallSite& site) {
    std::string where = site.ToString();
    Violate(Check::BugCheck, message, site);
    (void)std::fprintf(stderr, "host kernel: bug check at %s: %s\n", where.c_str(),
                       message.c_str());
    (void)std::fflush(stderr);
    std::abort();
}

} // namespace detail

using namespace detail;

// ---------------------------------------------------------------------------------------------
// Verifier

const char* CheckName(Check check) {
    switch (check) {
    case Check::DoubleCompletion:
        return "double completion";
    case Check::CompletedWithPending:
        return "completed with STATUS_PENDING";
    case Check::NeverCompleted:
        return "request never completed";
    case Check::TouchedAfterPassDown:
        return "request touched after it was passed on";
    case Check::TouchedAfterFree:
        return "object touched after it was freed";
    case Check::IllegalTransition:
        return "illegal request state transition";
    case Check::NoStackLocation:
        return "no stack location left";
    case Check::WaitAtDispatch:
        return "wait at DISPATCH_LEVEL";
    case Check::AllocationAboveDispatch:
        return "allocation above DISPATCH_LEVEL";
    case Check::TwoSpinLocks:
        return "two spin locks held at once";
    case Check::SpinLockHeldOnReturn:
        return "spin lock held on return";
    case Check::IrqlNotRestored:
        return "IRQL not restored";
    case Check::IrqlMisuse:
        return "IRQL misuse";
    case Check::SpinLockMisuse:
        return "spin lock misuse";
    case Check::FreedInFlight:
        return "freed while in flight";
    case Check::BadFree:
        return "bad free";
    case Check::PoolLeakAtRemove:
        return "pool left at device removal";
    case Check::PoolLeakAtUnload:
        return "pool left at driver unload";
    case Check::Leak:
        return "leak at end of test";
    case Check::ResourceMisuse:
        return "resource misuse";
    case Check::MdlRange:
        return "MDL range";
    case Check::ObjectMisuse:
        return "object misuse";
    case Check::BadArgument:
        return "bad argument";
    case Check::BugCheck:
        return "bug check";
    case Check::StackOverflow:
        return "kernel stack overflow";
    case Check::WriteToReadOnlyBuffer:
        return "write to a buffer locked for read access";
    case Check::KernelDataToUser:
        return "kernel data returned to user mode";
    case Check::IrqlContract:
        return "IRQL contract";
    case Check::AssertionFailed:
        return "assertion failed";
    }
    return "?";
}

struct Expectation {
    Check Kind;
    std::atomic<std::size_t> Fired{0};
};

namespace {
struct VerifierState {
    std::mutex Mutex;
    std::vector<Violation> Violations;
    std::vector<std::shared_ptr<Expectation>> Expected;
    Verifier::Reporter Reporter;
};
VerifierState& V() {
    static VerifierState* state = new VerifierState; // outlives every thread at exit
    return *state;
}

void DefaultReport(const Violation& v) {
    (void)std::fprintf(stderr, "host verifier [%s] at %s: %s\n", CheckName(v.Kind),
                       v.Site.ToString().c_str(), v.Message.c_str());
}
} // namespace

void Verifier::Report(Check kind, std::string message, const CallSite& site) {
    Violation v{kind, std::move(message), site};
    Reporter reporter;
    bool absorbed = false;
    {
        std::lock_guard lock(V().Mutex);
        V().Violations.push_back(v);
        for (auto it = V().Expected.rbegin(); it != V().Expected.rend(); ++it) {
            if ((*it)->Kind == kind) {
                (*it)->Fired++;
                absorbed = true;
                break;
            }
        }
        reporter = V().Reporter;
    }
    if (absorbed)
        return;
    if (reporter)
        reporter(v);
    else
        DefaultReport(v);
}

namespace detail {
void Violate(Check kind, std::string message, const CallSite& site) {
    Verifier::Report(kind, std::move(message), site);
}

void ReportIrqlAbove(KIRQL highest, const char* routine, const CallSite& site) {
    KIRQL irql = Thread().Irql;
    if (irql > highest)
        Violate(Check::IrqlMisuse, fmt::format("{} at IRQL {}", routine, irql), site);
}
} // namespace detail

std::vector<Violation> Verifier::Violations() {
    std::lock_guard lock(V().Mutex);
    return V().Violations;
}

std::size_t Verifier::Count(Check kind) {
    std::lock_guard lock(V().Mutex);
    std::size_t n = 0;
    for (const auto& v : V().Violations)
        n += v.Kind == kind;
    return n;
}

void Verifier::Clear() {
    std::lock_guard lock(V().Mutex);
    V().Violations.clear();
}

Verifier::Reporter Verifier::SetReporter(Reporter reporter) {
    std::lock_guard lock(V().Mutex);
    std::swap(V().Reporter, reporter);
    return reporter;
}

Verifier::ExpectViolation::ExpectViolation(Check kind)
    : expectation_(std::make_shared<Expectation>()) {
    expectation_->Kind = kind;
    std::lock_guard lock(V().Mutex);
    V().Expected.push_back(expectation_);
}

Verifier::ExpectViolation::~ExpectViolation() {
    Reporter reporter;
    {
        std::lock_guard lock(V().Mutex);
        auto& list = V().Expected;
        for (auto it = list.begin(); it != list.end(); ++it) {
            if (*it == expectation_) {
                list.erase(it);
                break;
            }
        }
        reporter = V().Reporter;
    }
    if (expectation_->Fired == 0) {
        Violation v{
            expectation_->Kind,
            fmt::format("expected a '{}' violation, and none fired", CheckName(expectation_->Kind)),
            {}};
        if (reporter)
            reporter(v);
        else
            DefaultReport(v);
    }
}

std::size_t Verifier::ExpectViolation::Fired() const {
    return expectation_->Fired;
}

} // namespace host
