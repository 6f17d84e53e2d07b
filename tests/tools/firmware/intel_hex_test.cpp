// The Intel HEX reader the converter is built on: what it accepts, what it refuses and where, and
// how it splits and lays out records.
#include "intel_hex.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace fw = tovrik::firmware;

namespace {

constexpr std::string_view kEnd = ":00000001FF\n";

// 3 bytes at 0x0000 (LJMP 0x0080) and 2 at 0x0080, out of order.
constexpr std::string_view kSmall = ":02008000123438\n"
                                    ":030000000200807B\n";

std::vector<std::uint8_t> bytes(std::initializer_list<int> values) {
    std::vector<std::uint8_t> out;
    for (int v : values) {
        out.push_back(static_cast<std::uint8_t>(v));
    }
    return out;
}

TEST(IntelHexRead, KeepsFileOrderAndAcceptsCommonVariations) {
    // Lower-case digits, CRLF line ends, blank lines, and an empty data record that writes
    // nothing are all found in files from real tool chains.
    const auto records = fw::parse_intel_hex(":02008000123438\r\n"
                                             "\r\n"
                                             ":00001000f0\r\n"
                                             ":030000000200807b\r\n"
                                             ":00000001ff\r\n");
    const std::vector<fw::DataRecord> expected{{0x0080, bytes({0x12, 0x34})},
                                               {0x0000, bytes({0x02, 0x00, 0x80})}};
    EXPECT_EQ(records, expected);
}

struct BadFile {
    const char* name;
    std::string text;
    std::size_t line;
    const char* message;
};

// Names the case in test output instead of dumping its bytes.
void PrintTo(const BadFile& c, std::ostream* os) {
    *os << c.name;
}

class IntelHexRefuses : public testing::TestWithParam<BadFile> {};

TEST_P(IntelHexRefuses, NamesTheLineAndTheFault) {
    const auto& bad = GetParam();
    try {
        fw::parse_intel_hex(bad.text);
        FAIL() << "accepted";
    } catch (const fw::HexError& e) {
        EXPECT_EQ(e.line(), bad.line);
        EXPECT_NE(std::string(e.what()).find(bad.message), std::string::npos) << e.what();
    }
}

INSTANTIATE_TEST_SUITE_P(
    Faults, IntelHexRefuses,
    testing::Values(
        BadFile{"BadChecksum", ":02008000123439\n" + std::string(kEnd), 1, "checksum is 39"},
        BadFile{"ChecksumOfEndRecord", ":02008000123438\n:00000001FE\n", 2, "checksum"},
        BadFile{"ExtendedLinearAddress", ":020000040000FA\n" + std::string(kEnd), 1,
                "record type 04 (extended linear address) is not supported"},
        BadFile{"UnknownType", ":00000007F9\n" + std::string(kEnd), 1, "record type 07"},
        BadFile{"TruncatedLine", ":02008000123438\n:0300000002008\n" + std::string(kEnd), 2,
                "truncated"},
        BadFile{"LineLongerThanCount", ":0200800012343800\n" + std::string(kEnd), 1,
                "longer than its count"},
        BadFile{"MissingColon", "02008000123438\n" + std::string(kEnd), 1, "start with ':'"},
        BadFile{"NotHex", ":0200800012G438\n" + std::string(kEnd), 1, "'G4'"},
        BadFile{"NoEndRecord", ":02008000123438\n", 0, "no end-of-file record"},
        BadFile{"DataAfterEnd", std::string(kEnd) + ":02008000123438\n", 2, "after the end"},
        BadFile{"PastTopOfMemory", ":02FFFF001234BA\n" + std::string(kEnd), 1,
                "past address FFFF"}),
    [](const auto& info) { return info.param.name; });

TEST(IntelHexSplit, LongRecordsBecomeRecordsOfSixteenInPlace) {
    std::vector<std::uint8_t> forty(40);
    for (std::size_t i = 0; i < forty.size(); ++i) {
        forty[i] = static_cast<std::uint8_t>(i);
    }
    const std::vector<fw::DataRecord> in{{0x0100, forty}, {0x0010, bytes({1, 2, 3})}};
    const auto out = fw::split_records(in);

    ASSERT_EQ(out.size(), 4u);
    EXPECT_EQ(out[0], (fw::DataRecord{0x0100, {forty.begin(), forty.begin() + 16}}));
    EXPECT_EQ(out[1], (fw::DataRecord{0x0110, {forty.begin() + 16, forty.begin() + 32}}));
    EXPECT_EQ(out[2], (fw::DataRecord{0x0120, {forty.begin() + 32, forty.end()}}));
    EXPECT_EQ(out[3], in[1]);
}

TEST(IntelHexImage, StartsAtZeroAndFillsGapsWithZero) {
    const auto records = fw::parse_intel_hex(std::string(kSmall) + std::string(kEnd));
    const auto image = fw::memory_image(records);
    ASSERT_EQ(image.size(), 0x82u);
    EXPECT_EQ(image[0], 0x02);
    EXPECT_EQ(image[2], 0x80);
    EXPECT_EQ(image[3], 0x00);
    EXPECT_EQ(image[0x7F], 0x00);
    EXPECT_EQ(image[0x80], 0x12);
    EXPECT_EQ(image[0x81], 0x34);
}

TEST(IntelHexWrite, ReadsBackWhatItWrote) {
    const std::vector<fw::DataRecord> records{{0xFFF0, std::vector<std::uint8_t>(16, 0xA5)},
                                              {0x0000, bytes({0x02, 0x00, 0x80})}};
    const auto text = fw::format_intel_hex(records);
    EXPECT_TRUE(text.ends_with(kEnd));
    EXPECT_EQ(fw::parse_intel_hex(text), records);
}

} // namespace
