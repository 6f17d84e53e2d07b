// What people and scripts type, and what scripts read back.
#include "codes.h"
#include "commands.h"
#include "format.h"

#include <gtest/gtest.h>

#include <sstream>

namespace tovrik::cli {
namespace {

TEST(ToolNumbers, DecimalAndHexWithinTheirType) {
    EXPECT_EQ(ParseNumber<std::uint16_t>("4096", "v"), 4096);
    EXPECT_EQ(ParseNumber<std::uint16_t>("0xE600", "v"), 0xE600);
    EXPECT_EQ(ParseNumber<std::uint16_t>("010", "v"), 10); // not octal
    EXPECT_EQ(ParseNumber<std::int32_t>("-1", "v"), -1);
    EXPECT_EQ(ParseNumber<std::int32_t>("-2147483648", "v"), INT32_MIN);
    EXPECT_EQ(ParseNumber<std::uint32_t>("0xFFFFFFFF", "v"), 0xFFFFFFFFu);
    for (const char* bad : {"", "0x", "12a", "1.5", "-", "65536", "-1", "99999999999999999999999"})
        EXPECT_THROW(ParseNumber<std::uint16_t>(bad, "v"), UsageError) << bad;
    EXPECT_THROW(ParseNumber<std::int32_t>("2147483648", "v"), UsageError);
    EXPECT_THROW(ParseNumber<std::int32_t>("-2147483649", "v"), UsageError);
    EXPECT_THROW(ParseNumber<std::uint8_t>("0x100", "v"), UsageError);
}

TEST(ToolHex, TheUsualSpellingsOfBytes) {
    const std::vector<std::uint8_t> deadbeef{0xDE, 0xAD, 0xBE, 0xEF};
    for (const char* text : {"deadbeef", "DEADBEEF", "de ad be ef", "de:ad:be:ef",
                             "0xde,0xad,0xbe,0xef", "0xdeadbeef", " de-ad  be ef "})
        EXPECT_EQ(ParseHex(text), deadbeef) << text;
    EXPECT_EQ(ParseHex("1 2 a"), (std::vector<std::uint8_t>{1, 2, 0x0A}));
    EXPECT_TRUE(ParseHex("").empty());
    for (const char* bad : {"abc", "zz", "de ad g0", "0x1 0x123"})
        EXPECT_THROW(ParseHex(bad), UsageError) << bad;
    EXPECT_EQ(HexString(deadbeef), "deadbeef");
    EXPECT_EQ(HexString({}), "");
    std::vector<std::uint8_t> seventeen(17, 0x01);
    EXPECT_EQ(HexDump(seventeen, 16, "  "),
              "01 01 01 01 01 01 01 01 01 01 01 01 01 01 01 01\n  01");
}

TEST(ToolCodes, ByNameOrHexAndOnlyThose) {
    EXPECT_EQ(Codes().size(), 27u);
    EXPECT_EQ(ParseCode("IOCTL_TOVRIK_GET_PIPE_INFO"), 0x222000u);
    EXPECT_EQ(ParseCode("ioctl_tovrik_chunked_write"), 0x2220A9u);
    EXPECT_EQ(ParseCode("GET_DRIVER_VERSION"), 0x222074u);
    EXPECT_EQ(ParseCode("0x22200C"), 0x22200Cu);
    EXPECT_EQ(ParseCode("222001"), 0x222001u);
    for (const char* bad : {"IOCTL_TOVRIK_NOPE", "0x", "0x123456789", "-1", "22 2000"})
        EXPECT_THROW(ParseCode(bad), UsageError) << bad;
    EXPECT_EQ(NameOfCode(0x22207C), "IOCTL_TOVRIK_STOP_ISO_STREAM");
    EXPECT_FALSE(NameOfCode(0x22200C).has_value());
    // Every name maps back to its own code.
    for (const CodeName& c : Codes())
        EXPECT_EQ(ParseCode(c.Name), c.Code);
}

TEST(ToolOutput, JsonCarriesTheContractFieldsFirst) {
    Reply r;
    r.Command = "ram write";
    r.Device = 3;
    r.Status = static_cast<std::int32_t>(0xC000000D);
    r.Information = 0;
    r.Output = {0x0A, 0xFF};
    r.Fields["address"] = "0x3000";
    Json j = ToJson(r);
    EXPECT_EQ(
        j.dump(),
        R"({"command":"ram write","device":3,"status":"0xC000000D","status_name":"STATUS_INVALID_PARAMETER",)"
        R"("information":0,"output":"0aff","address":"0x3000"})");
    r.Status = 0x102;
    r.Device.reset();
    r.Output.clear();
    j = ToJson(r);
    EXPECT_EQ(j["status"], "0x00000102");
    EXPECT_EQ(j["status_name"], "STATUS_TIMEOUT");
    EXPECT_EQ(j["output"], "");
    EXPECT_FALSE(j.contains("device"));
}

TEST(ToolOutput, TablesAlignWithoutTrailingSpace) {
    Table t({"pipe", "endpoint", "type"});
    t.Add({"0", "0x01", "bulk"});
    t.Add({"10", "0x83", ""});
    std::ostringstream out;
    t.Render(out, "  ");
    EXPECT_EQ(out.str(), "  pipe  endpoint  type\n"
                         "  0     0x01      bulk\n"
                         "  10    0x83\n");
}

} // namespace
} // namespace tovrik::cli
