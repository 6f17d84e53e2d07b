// Every routine the manifest says the host kernel provides is really there: the table below is
// generated from platform/host/manifest.txt, and a name the host kernel lacks fails the link.
#include "host/host_kernel.h"

#include <gtest/gtest.h>

#include <string>

namespace {

struct Routine {
    const char* Name;
    const void* Address;
};

#define TOVRIK_HOST_ROUTINE(name) {#name, reinterpret_cast<const void*>(&name)},
const Routine Manifest[] = {
#include "host/manifest_table.inc"
};
#undef TOVRIK_HOST_ROUTINE

TEST(Manifest, EveryListedRoutineIsDefined) {
    ASSERT_GT(std::size(Manifest), 40u);
    for (const auto& routine : Manifest)
        EXPECT_NE(routine.Address, nullptr) << routine.Name;
}

} // namespace
