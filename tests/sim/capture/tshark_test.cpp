// The proof that the format is right: Wireshark's own dissector reads a short session back and
// finds what was sent, with nothing malformed.

#include "capture/capture.h"
#include "pcap_file.h"

#include <cstdio>
#include <map>
#include <memory>
#include <numeric>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <vector>

#include <gtest/gtest.h>

namespace sim {
namespace {

using namespace std::chrono_literals;

constexpr const char* Tshark = TOVRIK_TSHARK;

std::string Quoted(const std::string& word) {
    std::string quoted = "'";
    for (char c : word) {
        quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    }
    return quoted + "'";
}

struct TsharkRun {
    int ExitCode = -1;
    std::string Output;
};

// tshark's stderr only carries notices (such as running as root) that are no part of the result.
TsharkRun RunTshark(const std::vector<std::string>& arguments) {
    std::string command = Quoted(Tshark);
    for (const std::string& argument : arguments) {
        command += ' ' + Quoted(argument);
    }
    command += " 2>/dev/null";
    TsharkRun run;
    struct Closer {
        int* ExitCode;
        void operator()(std::FILE* pipe) const {
            const int status = pclose(pipe);
            *ExitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        }
    };
    {
        std::unique_ptr<std::FILE, Closer> pipe(popen(command.c_str(), "r"), Closer{&run.ExitCode});
        if (!pipe) {
            return run;
        }
        char chunk[4096];
        while (std::size_t got = std::fread(chunk, 1, sizeof chunk, pipe.get())) {
            run.Output.append(chunk, got);
        }
    }
    return run;
}

// One map per frame, from field name to tshark's rendering of it (empty when absent).
std::vector<std::map<std::string, std::string>> Dissect(const std::filesystem::path& file,
                                                        const std::vector<std::string>& fields) {
    std::vector<std::string> arguments{"-r", file.string(), "-T", "fields"};
    for (const std::string& field : fields) {
        arguments.insert(arguments.end(), {"-e", field});
    }
    const TsharkRun run = RunTshark(arguments);
    EXPECT_EQ(run.ExitCode, 0) << "tshark failed on " << file;
    std::vector<std::map<std::string, std::string>> frames;
    std::istringstream lines(run.Output);
    for (std::string line; std::getline(lines, line);) {
        std::map<std::string, std::string>& frame = frames.emplace_back();
        std::istringstream values(line);
        std::string value;
        for (const std::string& field : fields) {
            std::getline(values, value, '\t');
            frame[field] = value;
            value.clear();
        }
    }
    return frames;
}

// What the camera's driver does first and most: write device memory, read the device
// descriptor, read an image block, stream, stop a pipe.
void WriteSession(const std::filesystem::path& file) {
    PcapWriter writer(file);

    const UrbRef memoryWrite{.IrpId = 0x1000, .Function = 0x0017, .Device = 3};
    const auto holdInReset = SetupPacket::Make(0x40, 0xA0, 0x7F92, 0x0000, 1);
    const std::uint8_t resetByte[] = {0x01};
    writer.WriteControlSubmit(memoryWrite, holdInReset, resetByte, 1000us);
    writer.WriteControlComplete(memoryWrite, holdInReset, 0, resetByte, 1125us);

    const UrbRef descriptorRead{.IrpId = 0x2000, .Function = 0x000b, .Device = 3};
    const auto getDescriptor = SetupPacket::Make(0x80, 0x06, 0x0100, 0x0000, 18);
    const std::uint8_t device[18] = {18,   0x01, 0x00, 0x02, 0xff, 0xff, 0xff, 64,   0x17,
                                     0x5a, 0x15, 0x0e, 0x01, 0x00, 0x00, 0x00, 0x00, 0x01};
    writer.WriteControlSubmit(descriptorRead, getDescriptor, {}, 2000us);
    writer.WriteControlComplete(descriptorRead, getDescriptor, 0, device, 2250us);

    const UrbRef imageRead{.IrpId = 0x3000, .Function = 0x0009, .Device = 3, .Endpoint = 0x82};
    std::vector<std::uint8_t> block(512);
    std::iota(block.begin(), block.end(), std::uint8_t{0});
    writer.WriteBulkSubmit(imageRead, DataPipe::Bulk, block, 3000us);
    writer.WriteBulkComplete(imageRead, DataPipe::Bulk, 0, block, 3125us);

    // Eight microframes of 64 bytes; the sixth was missed by the schedule and is lost.
    const UrbRef stream{.IrpId = 0x4000, .Function = 0x000a, .Device = 3, .Endpoint = 0x81};
    std::vector<IsoPacket> packets(8);
    for (std::uint32_t i = 0; i < packets.size(); ++i) {
        packets[i].Offset = i * 64;
    }
    std::vector<std::uint8_t> streamBuffer(8 * 64, 0x5a);
    writer.WriteIsoSubmit(stream, 0x100, packets, streamBuffer, 4000us);
    for (std::uint32_t i = 0; i < packets.size(); ++i) {
        packets[i].Length = i == 5 ? 0 : 64;
        packets[i].Status = i == 5 ? static_cast<std::int32_t>(0xC0020000) : 0;
    }
    writer.WriteIsoComplete(stream, 0, 0x100, packets, streamBuffer, 5000us);

    const UrbRef abort{.IrpId = 0x5000, .Function = 0x0002, .Device = 3, .Endpoint = 0x81};
    writer.WriteUrbSubmit(abort, 6000us);
    writer.WriteUrbComplete(abort, 0, 6010us);
}

class CaptureTshark : public testing::Test {
  protected:
    void SetUp() override {
        if (std::string(Tshark).empty()) {
            GTEST_SKIP() << "tshark was not found when the build was configured";
        }
        WriteSession(Capture);
    }

    test::TempDir Dir;
    std::filesystem::path Capture = Dir.File("session.pcap");
};

TEST_F(CaptureTshark, DissectsEveryStageOfTheSession) {
    const std::vector<std::string> fields{"usb.irp_id",
                                          "usb.irp_info.direction",
                                          "usb.transfer_type",
                                          "usb.control_stage",
                                          "usb.bmRequestType",
                                          "usb.setup.bRequest",
                                          "usb.setup.wValue",
                                          "usb.setup.wLength",
                                          "usb.bDescriptorType",
                                          "usb.idVendor",
                                          "usb.idProduct",
                                          "usb.endpoint_address",
                                          "usb.data_len",
                                          "usb.function",
                                          "usb.device_address",
                                          "usb.win32.iso_num_packets",
                                          "usb.win32.iso_error_count",
                                          "usb.win32.iso_data_len",
                                          "usb.win32.iso_status"};
    const auto frames = Dissect(Capture, fields);

    using Expect = std::map<std::string, std::string>;
    const std::string inLengths = "0x00000040,0x00000040,0x00000040,0x00000040,0x00000040,"
                                  "0x00000000,0x00000040,0x00000040";
    const std::string inStatuses = "0x00000000,0x00000000,0x00000000,0x00000000,0x00000000,"
                                   "0xc0020000,0x00000000,0x00000000";
    const std::vector<std::pair<const char*, Expect>> expected{
        {"memory write setup",
         {{"usb.irp_id", "0x0000000000001000"},
          {"usb.irp_info.direction", "0x00"},
          {"usb.transfer_type", "0x02"},
          {"usb.control_stage", "0"},
          {"usb.bmRequestType", "0x40"},
          {"usb.setup.bRequest", "160"},
          {"usb.setup.wValue", "0x7f92"},
          {"usb.setup.wLength", "1"},
          {"usb.endpoint_address", "0x00"},
          {"usb.data_len", "8"},
          {"usb.function", "0x0017"},
          {"usb.device_address", "3"}}},
        {"memory write data",
         {{"usb.irp_info.direction", "0x00"},
          {"usb.control_stage", "1"},
          {"usb.bmRequestType", "0x40"},
          {"usb.setup.bRequest", "160"},
          {"usb.setup.wValue", "0x7f92"},
          {"usb.endpoint_address", "0x00"},
          {"usb.data_len", "1"}}},
        {"memory write complete",
         {{"usb.irp_info.direction", "0x01"},
          {"usb.control_stage", "3"},
          {"usb.endpoint_address", "0x00"},
          {"usb.data_len", "0"}}},
        {"descriptor request",
         {{"usb.irp_id", "0x0000000000002000"},
          {"usb.control_stage", "0"},
          {"usb.bmRequestType", "0x80"},
          {"usb.setup.bRequest", "6"},
          {"usb.bDescriptorType", "0x01"},
          {"usb.setup.wLength", "18"},
          {"usb.endpoint_address", "0x80"},
          {"usb.data_len", "8"},
          {"usb.function", "0x000b"}}},
        {"descriptor response",
         {{"usb.irp_info.direction", "0x01"},
          {"usb.control_stage", "3"},
          {"usb.endpoint_address", "0x80"},
          {"usb.data_len", "18"},
          {"usb.bDescriptorType", "0x01"},
          {"usb.idVendor", "0x5a17"},
          {"usb.idProduct", "0x0e15"}}},
        {"image read submitted",
         {{"usb.transfer_type", "0x03"},
          {"usb.endpoint_address", "0x82"},
          {"usb.data_len", "0"},
          {"usb.function", "0x0009"}}},
        {"image read complete",
         {{"usb.irp_info.direction", "0x01"},
          {"usb.transfer_type", "0x03"},
          {"usb.endpoint_address", "0x82"},
          {"usb.data_len", "512"}}},
        {"stream submitted",
         {{"usb.transfer_type", "0x00"},
          {"usb.endpoint_address", "0x81"},
          {"usb.data_len", "0"},
          {"usb.win32.iso_num_packets", "8"},
          {"usb.win32.iso_error_count", "0"}}},
        {"stream complete",
         {{"usb.irp_info.direction", "0x01"},
          {"usb.endpoint_address", "0x81"},
          {"usb.data_len", "512"},
          {"usb.win32.iso_num_packets", "8"},
          {"usb.win32.iso_error_count", "1"},
          {"usb.win32.iso_data_len", inLengths},
          {"usb.win32.iso_status", inStatuses}}},
        {"abort submitted",
         {{"usb.transfer_type", "0xfe"},
          {"usb.function", "0x0002"},
          {"usb.endpoint_address", "0x81"}}},
        {"abort complete", {{"usb.irp_info.direction", "0x01"}, {"usb.transfer_type", "0xfe"}}},
    };

    ASSERT_EQ(frames.size(), expected.size());
    for (std::size_t i = 0; i < frames.size(); ++i) {
        const auto& [label, values] = expected[i];
        for (const auto& [field, value] : values) {
            EXPECT_EQ(frames[i].at(field), value)
                << "frame " << i + 1 << " (" << label << "), " << field;
        }
    }
}

TEST_F(CaptureTshark, FindsNothingMalformedOrWorthAWarning) {
    const TsharkRun run = RunTshark(
        {"-r", Capture.string(), "-Y", "_ws.malformed || _ws.expert.severity >= warning"});
    EXPECT_EQ(run.ExitCode, 0);
    EXPECT_EQ(run.Output, "");
}

} // namespace
} // namespace sim
