// The converter as the build runs it: the arrays it generated for this build, its refusal of bad
// files, its splitting of long records, and its memory images against binutils.
#include "intel_hex.h"
#include "support.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

// Last: the platform header defines macros (IN, OUT, VOID, ...) that no other header expects.
#include "driver/firmware/firmware_images.h"

namespace fw = tovrik::firmware;
namespace ft = tovrik::firmware::test;

namespace {

const std::filesystem::path kImages = TOVRIK_FW_STANDIN_DIR;

// The records of a driver image up to the first one that is not data; fails the test if the
// terminator is not the end record or a record breaks the format's rules.
std::vector<fw::DataRecord> driver_records(const FIRMWARE_RECORD* image) {
    std::vector<fw::DataRecord> out;
    for (; image->Type == 0; ++image) {
        EXPECT_LE(image->Length, FIRMWARE_RECORD_MAX_DATA);
        EXPECT_EQ(image->Reserved0, 0);
        EXPECT_EQ(image->Reserved1, 0);
        for (unsigned i = image->Length; i < FIRMWARE_RECORD_MAX_DATA; ++i) {
            EXPECT_EQ(image->Data[i], 0) << "past Length at " << image->Address;
        }
        out.push_back({image->Address, {image->Data, image->Data + image->Length}});
    }
    EXPECT_EQ(image->Type, 1);
    EXPECT_EQ(image->Length, 0);
    EXPECT_EQ(image->Address, 0);
    return out;
}

TEST(GeneratedImages, HoldTheConfiguredFilesRecordForRecord) {
    const auto a = fw::split_records(fw::parse_intel_hex(fw::read_file(TOVRIK_FW_A_HEX)));
    const auto b = fw::split_records(fw::parse_intel_hex(fw::read_file(TOVRIK_FW_B_HEX)));
    EXPECT_EQ(driver_records(FirmwareImageA), a);
    EXPECT_EQ(driver_records(FirmwareImageB), b);
}

// A file whose records carry 32 bytes, as some tool chains write them, starting at 0 so that
// binutils' image (which starts at the lowest address) lines up with ours.
std::string wide_records_file() {
    std::vector<fw::DataRecord> records;
    for (std::uint16_t base : {0x0040, 0x0000, 0x0100}) {
        std::vector<std::uint8_t> data(32);
        for (std::size_t i = 0; i < data.size(); ++i) {
            data[i] = static_cast<std::uint8_t>(base + 7 * i);
        }
        records.push_back({base, data});
    }
    records.push_back({0x0200, {0x22, 0x32, 0x00}});
    return fw::format_intel_hex(records);
}

TEST(Converter, SplitsWideRecordsIntoDriverRecordsOfSixteen) {
    ft::ScratchDir scratch;
    const auto wide = scratch.write("wide.hex", wide_records_file());
    const auto output = scratch / "images.cpp";
    const auto result =
        ft::run(scratch, fmt::format("{} source --image-a {} --image-b {} -o {}",
                                     TOVRIK_FW_CONVERTER, ft::quoted(wide),
                                     ft::quoted(kImages / "camera.hex"), ft::quoted(output)));
    ASSERT_EQ(result.exit_code, 0) << result.errors;

    const auto source = fw::read_file(output);
    const auto a = source.substr(0, source.find("FirmwareImageB"));
    std::vector<std::string> heads;
    for (std::size_t at = a.find("\n    {"); at != std::string::npos;
         at = a.find("\n    {", at + 1)) {
        heads.push_back(a.substr(at + 5, a.find(", {", at) - at - 5));
    }
    const std::vector<std::string> expected{
        "{16, 0, 0x0040, 0", "{16, 0, 0x0050, 0", "{16, 0, 0x0000, 0", "{16, 0, 0x0010, 0",
        "{16, 0, 0x0100, 0", "{16, 0, 0x0110, 0", "{ 3, 0, 0x0200, 0", "{ 0, 0, 0x0000, 1"};
    EXPECT_EQ(heads, expected);
}

struct RefusedFile {
    const char* name;
    const char* text;
    const char* message;
};

// Names the case in test output instead of dumping its bytes.
void PrintTo(const RefusedFile& c, std::ostream* os) {
    *os << c.name;
}

class ConverterRefuses : public testing::TestWithParam<RefusedFile> {};

TEST_P(ConverterRefuses, WithAMessageAndNoOutput) {
    ft::ScratchDir scratch;
    const auto bad = scratch.write("bad.hex", GetParam().text);
    const auto output = scratch / "images.cpp";
    const auto result =
        ft::run(scratch, fmt::format("{} source --image-a {} --image-b {} -o {}",
                                     TOVRIK_FW_CONVERTER, ft::quoted(kImages / "loader.hex"),
                                     ft::quoted(bad), ft::quoted(output)));
    EXPECT_NE(result.exit_code, 0);
    EXPECT_NE(result.errors.find("bad.hex: line"), std::string::npos) << result.errors;
    EXPECT_NE(result.errors.find(GetParam().message), std::string::npos) << result.errors;
    EXPECT_FALSE(std::filesystem::exists(output));
}

INSTANTIATE_TEST_SUITE_P(
    Faults, ConverterRefuses,
    testing::Values(RefusedFile{"BadChecksum", ":02008000123439\n:00000001FF\n", "checksum"},
                    RefusedFile{"UnknownType", ":020000040000FA\n:00000001FF\n", "record type 04"},
                    RefusedFile{"Truncated", ":0300000002008\n", "truncated"}),
    [](const auto& info) { return info.param.name; });

TEST(Converter, MemoryImageEqualsObjcopy) {
    const std::string objcopy = TOVRIK_FW_OBJCOPY;
    if (objcopy.empty()) {
        GTEST_SKIP() << "no objcopy on this machine";
    }
    ft::ScratchDir scratch;
    const auto wide = scratch.write("wide.hex", wide_records_file());
    for (const auto& hex : {kImages / "loader.hex", kImages / "camera.hex", wide}) {
        SCOPED_TRACE(hex.string());
        const auto ours = scratch / "ours.bin";
        const auto theirs = scratch / "theirs.bin";
        auto result = ft::run(scratch, fmt::format("{} binary -i {} -o {}", TOVRIK_FW_CONVERTER,
                                                   ft::quoted(hex), ft::quoted(ours)));
        ASSERT_EQ(result.exit_code, 0) << result.errors;
        result = ft::run(scratch, fmt::format("'{}' -I ihex -O binary {} {}", objcopy,
                                              ft::quoted(hex), ft::quoted(theirs)));
        ASSERT_EQ(result.exit_code, 0) << result.errors;
        const auto bytes = fw::read_file(ours);
        EXPECT_FALSE(bytes.empty());
        EXPECT_TRUE(bytes == fw::read_file(theirs)) << "the images differ";
    }
}

} // namespace
