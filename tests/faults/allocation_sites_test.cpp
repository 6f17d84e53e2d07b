// The source scan the allocation sweep relies on to know every allocation call of the driver: a
// call it missed would never be failed, so it is tested on its own, on sources written to trip it.
#include "support/allocation_sites.h"
#include "support/isolated_run.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <thread>

namespace tovrik_faults {
namespace {

std::vector<std::string> Labels(const DriverAllocations& allocations) {
    std::vector<std::string> labels;
    for (const AllocationSite& site : allocations.Sites) {
        labels.push_back(site.Label());
    }
    return labels;
}

TEST(AllocationSites, CallsThroughHelpersCommentsStringsAndLinesAreFoundAsTheyAre) {
    const char* source = R"(// ExAllocatePool(NonPagedPool, 1) in a comment is no call
#include "x.h"

namespace {

PURB NewBlock(ULONG Size) {
    PURB urb = (PURB)ExAllocatePool(NonPagedPool,
                                    Size);
    return urb;
}

} // namespace

PURB NewBlockTwice(void) {
    /* IoAllocateIrp(1, FALSE) */
    return NewBlock(8);
}

static inline PVOID Mapped(PMDL Mdl) {
    return MmGetSystemAddressForMdlSafe(Mdl, NormalPagePriority);
}

NTSTATUS Use(PDEVICE_OBJECT DeviceObject,
             PMDL Mdl) {
    const char* text = "IoAllocateMdl(";
    PURB urb =
        NewBlockTwice();
    PIRP irp = IoAllocateIrp(2, FALSE);
    PVOID data = Mapped(Mdl);
    NTSTATUS status = Submit(urb);
    return status;
}
)";
    DriverAllocations allocations;
    ScanSource("driver/x.cpp", source, allocations);
    FindHelpers(allocations);

    // Pointer-returning routines that allocate hand their caller the allocation, to a fixed
    // point; a routine returning a status does not.
    EXPECT_EQ(allocations.Helpers, (std::set<std::string>{"NewBlock", "NewBlockTwice", "Mapped"}));
    EXPECT_EQ(Labels(allocations), (std::vector<std::string>{
                                       "driver/x.cpp:7 ExAllocatePool in NewBlock",
                                       "driver/x.cpp:16 NewBlock in NewBlockTwice",
                                       "driver/x.cpp:20 MmGetSystemAddressForMdlSafe in Mapped",
                                       "driver/x.cpp:27 NewBlockTwice in Use",
                                       "driver/x.cpp:28 IoAllocateIrp in Use",
                                       "driver/x.cpp:29 Mapped in Use",
                                   }));
    // A statement over several lines: the debug information may name any of them.
    EXPECT_EQ(allocations.Sites[0].LastLine, 8);
}

TEST(AllocationSites, TheDriverScanFindsItsHelpersAndEveryKindOfAllocation) {
    DriverAllocations allocations = ScanDriverSources(TOVRIK_SOURCE_DIR);
    EXPECT_TRUE(allocations.Helpers.count("AllocateUrb"));
    std::set<std::string> routines;
    for (const AllocationSite& site : allocations.Sites) {
        routines.insert(site.Routine);
    }
    for (const char* kernel :
         {"ExAllocatePool", "IoAllocateIrp", "IoAllocateMdl", "IoBuildDeviceIoControlRequest",
          "USBD_CreateConfigurationRequestEx", "IoCreateDevice", "IoAttachDeviceToDeviceStack"}) {
        EXPECT_TRUE(routines.count(kernel)) << kernel;
    }
}

TEST(IsolatedRun, ACrashAndAHangEndOnlyTheChild) {
    IsolatedResult fine = RunIsolated(30, [] { return std::string("done"); });
    EXPECT_TRUE(fine.Ended());
    EXPECT_EQ(fine.Payload, "done");

    IsolatedResult crashed = RunIsolated(30, []() -> std::string {
        std::raise(SIGSEGV);
        return "unreachable";
    });
    // A signal, or (under the sanitizers, which catch it) an exit with their report.
    EXPECT_FALSE(crashed.Ended());
    EXPECT_FALSE(crashed.Crash.empty());
    EXPECT_FALSE(crashed.Hung);

    IsolatedResult hung = RunIsolated(0.2, []() -> std::string {
        for (;;) {
            std::this_thread::sleep_for(std::chrono::seconds(1));
        }
    });
    EXPECT_TRUE(hung.Hung);
}

} // namespace
} // namespace tovrik_faults
