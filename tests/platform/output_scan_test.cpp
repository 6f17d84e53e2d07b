// The user-output scan at every vector width this machine runs: what it finds must be the first
// fill run and the first named address, wherever they sit against its groups of offsets and its
// tail.
#include "output_scan.h"

#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <vector>

namespace {

using host::detail::KernelSpan;
using host::detail::OutputScanWidths;
using host::detail::PoolFillRun;
using host::detail::ScanOutput;

constexpr std::uint8_t kFill = 0xC5;

std::set<std::uint64_t>& Named() {
    static std::set<std::uint64_t> named;
    return named;
}

std::optional<std::string> NameOf(std::uint64_t value) {
    if (Named().count(value))
        return "a live object";
    return std::nullopt;
}

// Bytes with no fill byte and no two equal neighbours (so no address either).
std::vector<std::uint8_t> Data(std::size_t size) {
    std::vector<std::uint8_t> bytes(size);
    for (std::size_t i = 0; i < size; ++i) {
        bytes[i] = static_cast<std::uint8_t>(i * 131 + 7);
        if (bytes[i] == kFill)
            bytes[i] ^= 1;
    }
    return bytes;
}

void Put(std::vector<std::uint8_t>& bytes, std::size_t offset, std::uint64_t value) {
    std::memcpy(bytes.data() + offset, &value, sizeof(value));
}

constexpr KernelSpan kNoKernel{UINTPTR_MAX, 0};
// Ends that agree in their top 16 bits, their third bytes 0x12 and 0x34 apart.
constexpr KernelSpan kSpan{0x00007F1200000000, 0x00007F3400000000};
// Sizes that end inside the first group of the widest scan, past it, and past several groups.
constexpr std::size_t kSizes[] = {40, 300, 1100, 2100};

class OutputScan : public ::testing::Test {
  protected:
    void TearDown() override { Named().clear(); }
};

TEST_F(OutputScan, TheFirstLongFillRunIsFoundWhereverItStarts) {
    for (std::size_t width : OutputScanWidths()) {
        for (std::size_t size : kSizes) {
            SCOPED_TRACE(testing::Message() << "width " << width << ", size " << size);
            for (std::size_t at = 0; at + PoolFillRun <= size; ++at) {
                auto bytes = Data(size);
                std::memset(bytes.data() + at, kFill, PoolFillRun);
                auto found = ScanOutput(bytes, kFill, kNoKernel, NameOf, width).FillRun;
                ASSERT_TRUE(found) << "run at " << at;
                EXPECT_EQ(*found, std::make_pair(at, PoolFillRun)) << "run at " << at;
                // One byte shorter is data.
                bytes[at] = 0;
                EXPECT_FALSE(ScanOutput(bytes, kFill, kNoKernel, NameOf, width).FillRun)
                    << "run of 15 at " << at + 1;
            }
        }
        // A short run just before a long one, two long ones, and one running to the end: the
        // first long run, whole.
        auto bytes = Data(1100);
        std::memset(bytes.data() + 250, kFill, 15);
        std::memset(bytes.data() + 266, kFill, 40);
        std::memset(bytes.data() + 700, kFill, 16);
        EXPECT_EQ(ScanOutput(bytes, kFill, kNoKernel, NameOf, width).FillRun,
                  std::make_pair(std::size_t{266}, std::size_t{40}));
        bytes = Data(1100);
        std::memset(bytes.data() + 1070, kFill, 30);
        EXPECT_EQ(ScanOutput(bytes, kFill, kNoKernel, NameOf, width).FillRun,
                  std::make_pair(std::size_t{1070}, std::size_t{30}));
    }
}

TEST_F(OutputScan, TheFirstNamedAddressIsFoundAtAnyOffset) {
    const std::uint64_t lowest = kSpan.Lowest;
    const std::uint64_t highest = kSpan.Highest - 1;
    const std::uint64_t middle = 0x00007F2012345678;
    Named() = {lowest, highest, middle, kSpan.Highest};
    for (std::size_t width : OutputScanWidths()) {
        for (std::size_t size : kSizes) {
            SCOPED_TRACE(testing::Message() << "width " << width << ", size " << size);
            for (std::size_t at = 0; at + 8 <= size; ++at) {
                for (std::uint64_t value : {lowest, highest, middle}) {
                    auto bytes = Data(size);
                    Put(bytes, at, value);
                    auto found = ScanOutput(bytes, kFill, kSpan, NameOf, width).Address;
                    ASSERT_TRUE(found) << std::hex << value << " at " << std::dec << at;
                    EXPECT_EQ(found->first, at);
                    EXPECT_EQ(found->second, "a live object");
                }
            }
        }
        // An unnamed value inside the span before a named one, and a named one just past the
        // span's end before it: the named one inside.
        auto bytes = Data(1100);
        Put(bytes, 100, middle + 1);
        Put(bytes, 300, kSpan.Highest);
        Put(bytes, 900, middle);
        auto found = ScanOutput(bytes, kFill, kSpan, NameOf, width).Address;
        ASSERT_TRUE(found);
        EXPECT_EQ(found->first, 900u);
        // No kernel memory yet: nothing is an address.
        EXPECT_FALSE(ScanOutput(bytes, kFill, kNoKernel, NameOf, width).Address);
    }
}

TEST_F(OutputScan, ASpanAcrossTopBitsIsLookedAtEverywhereAndBothFindingsStand) {
    // Ends that differ in their top 16 bits leave nothing to screen on.
    const KernelSpan wide{0x00007FFFFFFF0000, 0x0000800000010000};
    Named() = {0x0000800000000100};
    for (std::size_t width : OutputScanWidths()) {
        SCOPED_TRACE(testing::Message() << "width " << width);
        auto bytes = Data(1100);
        Put(bytes, 777, 0x0000800000000100);
        std::memset(bytes.data() + 513, kFill, 17);
        auto found = ScanOutput(bytes, kFill, wide, NameOf, width);
        ASSERT_TRUE(found.Address);
        EXPECT_EQ(found.Address->first, 777u);
        EXPECT_EQ(found.FillRun, std::make_pair(std::size_t{513}, std::size_t{17}));
        // Found in the other order, both still stand.
        Named() = {kSpan.Lowest + 5};
        bytes = Data(1100);
        Put(bytes, 20, kSpan.Lowest + 5);
        std::memset(bytes.data() + 1000, kFill, 16);
        found = ScanOutput(bytes, kFill, kSpan, NameOf, width);
        ASSERT_TRUE(found.Address);
        EXPECT_EQ(found.Address->first, 20u);
        EXPECT_EQ(found.FillRun, std::make_pair(std::size_t{1000}, PoolFillRun));
        Named() = {0x0000800000000100};
    }
}

TEST(OutputScanWidthsTest, TheNarrowestRunsEverywhere) {
    ASSERT_FALSE(OutputScanWidths().empty());
    EXPECT_EQ(OutputScanWidths().front(), 16u);
}

} // namespace
