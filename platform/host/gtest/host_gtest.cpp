#include "host_gtest.h"

#include "host/host_kernel.h"

#include <gtest/gtest.h>

namespace host::testing {
namespace {

class Bracket : public ::testing::EmptyTestEventListener {
    void OnTestStart(const ::testing::TestInfo&) override { host::BeginTest(); }
    // Runs while the test is still the current one, so a failure here is that test's.
    void OnTestEnd(const ::testing::TestInfo&) override { host::EndTest(); }
};

void FailTest(const Violation& v) {
    const char* file = v.Site.File ? v.Site.File : "(host kernel)";
    ADD_FAILURE_AT(file, v.Site.Line) << "host verifier [" << CheckName(v.Kind) << "] at "
                                      << v.Site.ToString() << ": " << v.Message;
}

} // namespace

void InstallGTestGlue() {
    Verifier::SetReporter(FailTest);
    // GoogleTest calls the end of a test on its listeners in reverse order: appended after the
    // printer, the bracket's end runs first, so a test that leaves something behind is printed
    // as FAILED.
    ::testing::UnitTest::GetInstance()->listeners().Append(new Bracket);
}

} // namespace host::testing
