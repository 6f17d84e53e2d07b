// GoogleTest glue for the host kernel.
#pragma once

namespace host::testing {

// Makes every verifier violation fail the running test at the violation's call site, and
// brackets each test with host::BeginTest / host::EndTest, so what a test leaves behind
// (requests never completed, pool, IRPs, MDLs, a raised IRQL) fails that test. Call once after
// ::testing::InitGoogleTest; tovrik_host_gtest_main's main does.
void InstallGTestGlue();

} // namespace host::testing
