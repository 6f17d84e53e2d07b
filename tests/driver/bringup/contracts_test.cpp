// The driver's own contracts firing where they stand: a passive-only routine reached at
// DISPATCH_LEVEL stops at its PAGED_CODE(), the routines that may run at DISPATCH_LEVEL report
// their NONPAGED_CODE() above it, and the I/O gate's count asserts it never goes negative.
// Each report names the driver's own file and routine.
#include "bringup.h"

#include <cstdio>
#include <cstdlib>
#include <string>

namespace tovrik_test {
namespace {

using host::Check;

// The violations of one kind since the last Clear.
std::vector<host::Violation> ViolationsOf(Check kind) {
    std::vector<host::Violation> found;
    for (const host::Violation& v : host::Verifier::Violations()) {
        if (v.Kind == kind) {
            found.push_back(v);
        }
    }
    return found;
}

bool NamesSite(const host::Violation& v, const char* file) {
    return v.Site.File != nullptr && std::string(v.Site.File).find(file) != std::string::npos;
}

class ContractsTest : public StartedCameraTest {};

using ContractsDeathTest = ContractsTest;

// A checked build stops where the contract is broken; so does this reporter, before the routine
// builds a request it could not wait for at DISPATCH_LEVEL. The child prints what the verifier
// said, so the parent sees the contract, the routine and the driver's file and line.
[[noreturn]] void StopAtTheFirstViolation(const host::Violation& v) {
    std::fprintf(stderr, "violation %s: %s at %s:%d\n", host::CheckName(v.Kind), v.Message.c_str(),
                 v.Site.File != nullptr ? v.Site.File : "?", v.Site.Line);
    std::fflush(stderr);
    std::abort();
}

TEST_F(ContractsDeathTest, APassiveOnlyRoutineCalledAtDispatchLevelStopsAtItsPagedCodeCheck) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    PURB urb =
        AllocateUrb(sizeof(_URB_GET_CURRENT_FRAME_NUMBER), URB_FUNCTION_GET_CURRENT_FRAME_NUMBER);
    ASSERT_NE(urb, nullptr);
    // As a completion routine running in a DPC would call it.
    EXPECT_DEATH(
        {
            host::Verifier::SetReporter(StopAtTheFirstViolation);
            KIRQL old;
            KeRaiseIrql(DISPATCH_LEVEL, &old);
            SubmitUrb(fdo_, urb);
        },
        "violation [^:]*: PAGED_CODE\\(\\) in SubmitUrb: called at IRQL 2 \\(DISPATCH_LEVEL\\)"
        ".* at .*driver/usb/submit\\.cpp:[0-9]+");
    // In this process the routine was never called: the same URB still goes through at
    // PASSIVE_LEVEL with no contract broken.
    EXPECT_EQ(SubmitUrb(fdo_, urb), STATUS_SUCCESS);
    EXPECT_TRUE(ViolationsOf(Check::IrqlContract).empty());
    ExFreePool(urb);
}

TEST_F(ContractsTest, DispatchLevelRoutinesHoldUpToDispatchAndReportAboveIt) {
    // The gate is passed by requests at any IRQL up to DISPATCH_LEVEL: quiet there, reported at
    // an interrupt's level, once for the entry and once for the leave.
    for (KIRQL irql : {KIRQL(DISPATCH_LEVEL), KIRQL(HIGH_LEVEL)}) {
        SCOPED_TRACE("IRQL " + std::to_string(irql));
        host::Verifier::Clear();
        bool above = irql > DISPATCH_LEVEL;
        {
            std::optional<host::Verifier::ExpectViolation> expect;
            if (above) {
                expect.emplace(Check::IrqlContract);
            }
            KIRQL old;
            KeRaiseIrql(irql, &old);
            BOOLEAN admitted = IoGateEnter(fdo_);
            if (admitted) {
                IoGateLeave(fdo_);
            }
            KeLowerIrql(old);
            EXPECT_TRUE(admitted);
        }
        EXPECT_EQ(extension_->IoCount, 1) << "the checks report; the gate still counts";
        std::vector<host::Violation> seen = ViolationsOf(Check::IrqlContract);
        if (!above) {
            EXPECT_TRUE(seen.empty());
            continue;
        }
        ASSERT_EQ(seen.size(), 2u);
        EXPECT_EQ(seen[0].Message.rfind("NONPAGED_CODE() in IoGateEnter", 0), 0u)
            << seen[0].Message;
        EXPECT_EQ(seen[1].Message.rfind("NONPAGED_CODE() in IoGateLeave", 0), 0u)
            << seen[1].Message;
        for (const host::Violation& v : seen) {
            EXPECT_TRUE(NamesSite(v, "driver/frame/io_gate.cpp")) << v.Site.File;
        }
    }
    host::Verifier::Clear();
}

TEST_F(ContractsTest, TheGateCountGoingNegativeIsAnAssertionAtTheGate) {
    // Entries and leaves in pairs keep the device's own count, quietly.
    ASSERT_TRUE(IoGateEnter(fdo_));
    IoGateLeave(fdo_);
    EXPECT_EQ(extension_->IoCount, 1);
    EXPECT_TRUE(ViolationsOf(Check::AssertionFailed).empty());

    // A leave without its entry takes the device's own count: nothing can tell yet. A second
    // one takes the count below zero, which the gate asserts.
    {
        host::Verifier::ExpectViolation expect(Check::AssertionFailed);
        IoGateLeave(fdo_);
        EXPECT_EQ(expect.Fired(), 0u);
        IoGateLeave(fdo_);
        EXPECT_EQ(expect.Fired(), 1u);
    }
    std::vector<host::Violation> seen = ViolationsOf(Check::AssertionFailed);
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_NE(seen[0].Message.find("remaining >= 0"), std::string::npos) << seen[0].Message;
    EXPECT_NE(seen[0].Message.find("IoGateLeave"), std::string::npos) << seen[0].Message;
    EXPECT_TRUE(NamesSite(seen[0], "driver/frame/io_gate.cpp")) << seen[0].Site.File;

    // Put the device's own count back, so that its removal drains as it would have.
    extension_->IoCount = 1;
    KeClearEvent(&extension_->NoIoEvent);
    host::Verifier::Clear();
}

} // namespace
} // namespace tovrik_test
