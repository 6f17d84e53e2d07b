// The committed stand-in images must have the layout of the camera's own firmware, because the
// driver's download and the simulated camera are tested with them; and the generator must still
// produce them byte for byte.
#include "intel_hex.h"
#include "support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <utility>
#include <vector>

namespace fw = tovrik::firmware;
namespace ft = tovrik::firmware::test;

namespace {

using Range = std::pair<std::uint32_t, std::uint32_t>; // first and last address, inclusive

struct Layout {
    const char* file;
    std::size_t records;
    std::size_t bytes;
    std::vector<Range> ranges;
};

// Names the case in test output instead of dumping its bytes.
void PrintTo(const Layout& c, std::ostream* os) {
    *os << c.file;
}

const std::filesystem::path kImages = TOVRIK_FW_STANDIN_DIR;

class StandInLayout : public testing::TestWithParam<Layout> {};

TEST_P(StandInLayout, MatchesTheCameraFirmware) {
    const auto& layout = GetParam();
    const auto text = fw::read_file(kImages / layout.file);
    const auto records = fw::parse_intel_hex(text);

    EXPECT_TRUE(text.ends_with("\n:00000001FF\n"));
    ASSERT_EQ(records.size(), layout.records);
    std::size_t bytes = 0;
    for (const auto& record : records) {
        EXPECT_LE(record.data.size(), fw::kMaxRecordData) << "at " << record.address;
        EXPECT_LE(record.end() - 1, 0x1B3Fu) << "at " << record.address;
        bytes += record.data.size();
    }
    EXPECT_EQ(bytes, layout.bytes);

    // Merge the records by address into the ranges they cover; any overlap shows up here.
    auto sorted = records;
    std::ranges::sort(sorted, {}, &fw::DataRecord::address);
    std::vector<Range> ranges;
    for (const auto& record : sorted) {
        if (!ranges.empty()) {
            ASSERT_GT(record.address, ranges.back().second) << "records overlap";
        }
        if (!ranges.empty() && record.address == ranges.back().second + 1) {
            ranges.back().second = record.end() - 1;
        } else {
            ranges.emplace_back(record.address, record.end() - 1);
        }
    }
    EXPECT_EQ(ranges, layout.ranges);

    EXPECT_NE(records.front().address, sorted.front().address) << "first record is the lowest";
    EXPECT_NE(records, sorted) << "records are in address order";
}

INSTANTIATE_TEST_SUITE_P(
    Images, StandInLayout,
    testing::Values(
        Layout{"loader.hex",
               58,
               784,
               {{0x0000, 0x0005}, {0x0043, 0x0045}, {0x0080, 0x0382}, {0x0400, 0x0403}}},
        Layout{"camera.hex",
               313,
               3986,
               {{0x0000, 0x0002},
                {0x0033, 0x0035},
                {0x0043, 0x0045},
                {0x004B, 0x004D},
                {0x0053, 0x0055},
                {0x0080, 0x1002}}}),
    [](const auto& info) { return std::string(info.param.file).substr(0, 6); });

TEST(StandIns, StartLikeAn8051ProgramAndDiffer) {
    const auto loader =
        fw::memory_image(fw::parse_intel_hex(fw::read_file(kImages / "loader.hex")));
    const auto camera =
        fw::memory_image(fw::parse_intel_hex(fw::read_file(kImages / "camera.hex")));
    // Reset vector: LJMP 0x0080.
    const std::vector<std::uint8_t> ljmp{0x02, 0x00, 0x80};
    EXPECT_TRUE(std::equal(ljmp.begin(), ljmp.end(), loader.begin()));
    EXPECT_TRUE(std::equal(ljmp.begin(), ljmp.end(), camera.begin()));
    // The simulated camera tells the images apart by content, so their bodies must differ.
    EXPECT_FALSE(std::equal(loader.begin() + 0x80, loader.begin() + 0x383, camera.begin() + 0x80));
}

TEST(StandIns, RegeneratingGivesTheCommittedFiles) {
    ft::ScratchDir scratch;
    const auto result = ft::run(scratch, fmt::format("{} --output-dir {}", TOVRIK_FW_GENERATOR,
                                                     ft::quoted(scratch.path())));
    ASSERT_EQ(result.exit_code, 0) << result.errors;
    for (const char* file : {"loader.hex", "camera.hex"}) {
        EXPECT_EQ(fw::read_file(scratch / file), fw::read_file(kImages / file)) << file;
    }
}

} // namespace
