// The SDK's own logic against a scripted backend: what goes on the wire for each typed call,
// and how outputs are decoded, above all that decoding trusts only the bytes the driver
// reported and never points a caller past its buffer.
#include "backend.h"
#include "tovrik/sdk.hpp"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace {

using tovrik::sdk::RawResult;

struct Call {
    std::uint32_t Code = 0;
    std::vector<std::uint8_t> Input;
    std::uint8_t* Output = nullptr;
    std::size_t OutputLength = 0;
};

// A channel whose answers the test scripts: it records each request and runs `Answer` on the
// output buffer, as a driver would.
struct Script {
    std::vector<Call> Calls;
    std::function<RawResult(const Call&, std::span<std::uint8_t>)> Answer =
        [](const Call&, std::span<std::uint8_t>) {
            return RawResult{0, 0};
        };
    std::vector<std::uint32_t> Present{0};
};

class ScriptedChannel final : public tovrik::sdk::Channel {
  public:
    explicit ScriptedChannel(Script& script) : script_(script) {}
    RawResult Ioctl(std::uint32_t code, std::span<const std::uint8_t> input,
                    std::span<std::uint8_t> output) override {
        Call call{code, {input.begin(), input.end()}, output.data(), output.size()};
        script_.Calls.push_back(call);
        return script_.Answer(call, output);
    }

  private:
    Script& script_;
};

class ScriptedBackend final : public tovrik::sdk::Backend {
  public:
    explicit ScriptedBackend(Script& script) : script_(script) {}
    std::int32_t Open(std::uint32_t number,
                      std::unique_ptr<tovrik::sdk::Channel>& channel) override {
        for (std::uint32_t n : script_.Present) {
            if (n == number) {
                channel = std::make_unique<ScriptedChannel>(script_);
                return 0;
            }
        }
        return TOVRIK_STATUS_OBJECT_NAME_NOT_FOUND;
    }

  private:
    Script& script_;
};

class SdkCore : public ::testing::Test {
  protected:
    void SetUp() override {
        system_ = tovrik::sdk::AdoptBackend(std::make_unique<ScriptedBackend>(script_));
        ASSERT_EQ(tovrik_open(system_, 0, &device_), 0);
    }
    void TearDown() override {
        tovrik_close(device_);
        tovrik_system_close(system_);
    }
    // The driver writes `bytes` at the start of the output and reports `information`.
    void Answer(std::vector<std::uint8_t> bytes, std::uint64_t information,
                std::int32_t status = 0) {
        script_.Answer = [bytes, information, status](const Call&, std::span<std::uint8_t> out) {
            if (!bytes.empty() && !out.empty()) {
                std::memcpy(out.data(), bytes.data(), std::min(bytes.size(), out.size()));
            }
            return RawResult{status, information};
        };
    }

    Script script_;
    tovrik_system* system_ = nullptr;
    tovrik_device* device_ = nullptr;
};

std::vector<std::uint8_t> PipeTable(std::uint32_t pipes) {
    std::vector<std::uint8_t> t(24 + 24 * pipes, 0);
    t[0] = static_cast<std::uint8_t>(t.size());
    t[1] = static_cast<std::uint8_t>(t.size() >> 8);
    t[3] = 2;    // alternate setting
    t[4] = 0xFF; // class
    t[16] = static_cast<std::uint8_t>(pipes);
    for (std::uint32_t i = 0; i < pipes; ++i) {
        std::uint8_t* p = &t[24 + 24 * i];
        p[0] = 0x00;
        p[1] = 0x02;                                // 512
        p[2] = static_cast<std::uint8_t>(0x81 + i); // endpoint
        p[3] = 1;
        p[4] = 2;                                   // bulk
        p[8] = static_cast<std::uint8_t>(0x10 + i); // handle, low byte
        p[15] = 0x7F;                               // handle, high byte
        p[16] = 0xFF;
        p[17] = 0xFF;
        p[18] = 0x3F; // 0x3FFFFF
        p[20] = static_cast<std::uint8_t>(i);
    }
    return t;
}

TEST_F(SdkCore, PipeTableIsDecodedFromTheReportedBytesOnly) {
    auto table = PipeTable(3);
    Answer(table, table.size());
    tovrik_pipe_info_result r = tovrik_get_pipe_info(device_);
    ASSERT_EQ(script_.Calls.size(), 1u);
    EXPECT_EQ(script_.Calls[0].Code, IOCTL_TOVRIK_GET_PIPE_INFO);
    EXPECT_TRUE(script_.Calls[0].Input.empty());
    // Room for the largest table an interface can have, so the driver never refuses it as short.
    EXPECT_EQ(script_.Calls[0].OutputLength, TOVRIK_PIPE_TABLE_MAX_BYTES);
    EXPECT_TRUE(r.present);
    EXPECT_EQ(r.length, 96);
    EXPECT_EQ(r.alternate_setting, 2);
    EXPECT_EQ(r.interface_class, 0xFF);
    ASSERT_EQ(r.pipes_decoded, 3u);
    EXPECT_EQ(r.pipes[2].endpoint_address, 0x83);
    EXPECT_EQ(r.pipes[2].maximum_packet_size, 512);
    EXPECT_EQ(r.pipes[2].pipe_type, TOVRIK_PIPE_BULK);
    EXPECT_EQ(r.pipes[2].pipe_handle, 0x7F00000000000012ull);
    EXPECT_EQ(r.pipes[2].maximum_transfer_size, 0x3FFFFFu);
    EXPECT_EQ(r.pipes[2].pipe_flags, 2u);
    EXPECT_EQ(r.raw_length, 96u);

    // The table claims three pipes but only one was reported: one is decoded.
    Answer(table, 48);
    r = tovrik_get_pipe_info(device_);
    EXPECT_EQ(r.number_of_pipes, 3u);
    EXPECT_EQ(r.pipes_decoded, 1u);
    EXPECT_EQ(r.raw_length, 48u);

    // No table (a device not configured) and a failed request decode nothing.
    Answer(table, 0);
    EXPECT_FALSE(tovrik_get_pipe_info(device_).present);
    Answer(table, table.size(), TOVRIK_STATUS_INVALID_PARAMETER);
    r = tovrik_get_pipe_info(device_);
    EXPECT_FALSE(r.present);
    EXPECT_EQ(r.raw_length, 0u);
    EXPECT_EQ(r.status, TOVRIK_STATUS_INVALID_PARAMETER);
}

TEST_F(SdkCore, StringDescriptorsDecodeToUtf8WithinTheirOwnLength) {
    // "Aé" then U+1F4F7 as a surrogate pair, then an unpaired high surrogate.
    std::vector<std::uint8_t> d{12, 3, 'A', 0, 0xE9, 0, 0x3D, 0xD8, 0xF7, 0xDC, 0x00, 0xD8};
    Answer(d, d.size());
    auto r = tovrik_get_string_descriptor(device_, 2, 0x0409);
    ASSERT_EQ(script_.Calls.back().Input, (std::vector<std::uint8_t>{2, 0, 0x09, 0x04}));
    EXPECT_EQ(std::string(r.utf8), "A\xC3\xA9\xF0\x9F\x93\xB7\xEF\xBF\xBD");
    EXPECT_EQ(r.raw_length, 12u);

    // bLength says 4 bytes: the characters after it are not text even though they came.
    d[0] = 4;
    Answer(d, d.size());
    EXPECT_EQ(std::string(tovrik_get_string_descriptor(device_, 2, 0x0409).utf8), "A");

    // Index 0 is the language list.
    Answer({6, 3, 0x09, 0x04, 0x07, 0x04}, 6);
    r = tovrik_get_string_descriptor(device_, 0, 0);
    ASSERT_EQ(r.language_id_count, 2u);
    EXPECT_EQ(r.language_ids[0], 0x0409);
    EXPECT_EQ(r.language_ids[1], 0x0407);
    EXPECT_STREQ(r.utf8, "");
}

TEST_F(SdkCore, RecordsGoOnTheWireInTheDriversLayout) {
    VENDOR_DEVICE_REQUEST vendor{0xA0, 0, 0x1234, 0x5678, 0x0010, 1, 0x5C};
    std::uint8_t data[16];
    tovrik_vendor_request(device_, &vendor, data, sizeof data);
    EXPECT_EQ(script_.Calls.back().Input,
              (std::vector<std::uint8_t>{0xA0, 0, 0x34, 0x12, 0x78, 0x56, 0x10, 0x00, 1, 0x5C}));
    EXPECT_EQ(script_.Calls.back().Output, data);

    CLASS_VENDOR_REQUEST control{1, 2, 3, 0, 0x55, 0, 0xBEEF, 0x0102};
    tovrik_control_request(device_, &control, nullptr, 0);
    EXPECT_EQ(script_.Calls.back().Input,
              (std::vector<std::uint8_t>{1, 2, 3, 0, 0x55, 0, 0xEF, 0xBE, 0x02, 0x01}));

    tovrik_set_timeout(device_, 1, -1);
    EXPECT_EQ(script_.Calls.back().Input,
              (std::vector<std::uint8_t>{1, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF}));
    tovrik_set_feature(device_, 1, 0x0203);
    EXPECT_EQ(script_.Calls.back().Input, (std::vector<std::uint8_t>{1, 0, 3, 2}));
    tovrik_set_interface(device_, 0, 2);
    EXPECT_EQ(script_.Calls.back().Input, (std::vector<std::uint8_t>{0, 2}));
    tovrik_abort_pipe(device_, 0xFFFFFFFF);
    EXPECT_EQ(script_.Calls.back().Input, (std::vector<std::uint8_t>{0xFF, 0xFF, 0xFF, 0xFF}));
    EXPECT_EQ(script_.Calls.back().OutputLength, 0u);

    // Writes of the direct methods hand the caller's bytes over as the output buffer, in place.
    const std::uint8_t bytes[5] = {1, 2, 3, 4, 5};
    tovrik_write_ram(device_, 0xE600, bytes, sizeof bytes);
    EXPECT_EQ(script_.Calls.back().Code, IOCTL_TOVRIK_WRITE_RAM);
    EXPECT_EQ(script_.Calls.back().Input, (std::vector<std::uint8_t>{0x00, 0xE6}));
    EXPECT_EQ(script_.Calls.back().Output, bytes);
    EXPECT_EQ(script_.Calls.back().OutputLength, 5u);
    tovrik_chunked_write(device_, 1, bytes, sizeof bytes);
    EXPECT_EQ(script_.Calls.back().Code, IOCTL_TOVRIK_CHUNKED_WRITE);
    EXPECT_EQ(script_.Calls.back().Input, (std::vector<std::uint8_t>{1, 0, 0, 0}));
    EXPECT_EQ(script_.Calls.back().Output, bytes);

    // Download sends the bytes as input, with no output.
    tovrik_download_ram(device_, bytes, sizeof bytes);
    EXPECT_EQ(script_.Calls.back().Input, (std::vector<std::uint8_t>(bytes, bytes + 5)));
    EXPECT_EQ(script_.Calls.back().OutputLength, 0u);
}

TEST_F(SdkCore, PacketOutputsSplitIntoDataAndDescriptors) {
    // Isochronous read of 3 packets of 5 bytes: data at 0, descriptors at 15 (not aligned).
    ISO_REQUEST request{3, 5, 3, 3, 1};
    std::vector<std::uint8_t> buffer(3 * (5 + 12), 0);
    script_.Answer = [](const Call&, std::span<std::uint8_t> out) {
        for (std::uint32_t p = 0; p < 3; ++p) {
            std::uint8_t* d = out.data() + 15 + 12 * p;
            d[0] = static_cast<std::uint8_t>(5 * p); // Offset
            d[4] = static_cast<std::uint8_t>(p + 1); // Length
            d[11] = p == 2 ? 0xC0 : 0;               // Status
        }
        return RawResult{0, 0}; // the driver reports 0 for these codes
    };
    auto r = tovrik_iso_read(device_, &request, buffer.data(),
                             static_cast<std::uint32_t>(buffer.size()));
    ASSERT_EQ(r.packet_count, 3u);
    EXPECT_EQ(r.data_length, 15u);
    EXPECT_EQ(r.descriptors, buffer.data() + 15);
    EXPECT_EQ(tovrik_packet_data(&r, 1), buffer.data() + 5);
    ISO_PACKET_DESCRIPTOR d = tovrik_packet_descriptor(&r, 2);
    EXPECT_EQ(d.Offset, 10u);
    EXPECT_EQ(d.Length, 3u);
    EXPECT_LT(d.Status, 0);
    EXPECT_EQ(tovrik_packet_data(&r, 3), nullptr);

    // A buffer one byte short of the layout: nothing is pointed at.
    r = tovrik_iso_read(device_, &request, buffer.data(),
                        static_cast<std::uint32_t>(buffer.size() - 1));
    EXPECT_EQ(r.packet_count, 0u);
    EXPECT_EQ(r.descriptors, nullptr);

    // A stream read reports D + 12 per packet read; the packets read follow from it.
    Answer({}, 2 * (5 + 12));
    r = tovrik_read_iso_stream(device_, 5, 3, buffer.data(),
                               static_cast<std::uint32_t>(buffer.size()));
    EXPECT_EQ(
        script_.Calls.back().Input,
        (std::vector<std::uint8_t>{0, 0, 0, 0, 5, 0, 0, 0, 3, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(r.packet_count, 2u);
    EXPECT_EQ(r.data_length, 10u);
    EXPECT_EQ(r.descriptors, buffer.data() + 10);
    Answer({}, 0);
    EXPECT_EQ(tovrik_read_iso_stream(device_, 5, 3, buffer.data(), 51).packet_count, 0u);
}

TEST_F(SdkCore, APacketLayoutTooLargeToCountIsNeverSplit) {
    // 4294967286 packets of 4294967295 bytes: the layout's size needs more than 64 bits, and
    // counted in 64 bits it comes round to less than a 4 GiB buffer. A transfer the driver
    // answered with success must still not be split over a buffer that cannot hold it.
    ISO_REQUEST request{3, 0xFFFFFFFFu, 0xFFFFFFF6u, 8, 4};
    std::vector<std::uint8_t> buffer(64, 0);
    Answer({}, 0);
    // Only the pointers are compared; nothing is read through them.
    auto r = tovrik_iso_read(device_, &request, buffer.data(), 0xFFFFFFFFu);
    EXPECT_EQ(r.packet_count, 0u);
    EXPECT_EQ(r.descriptors, nullptr);
    EXPECT_EQ(r.data_length, 0u);
}

TEST_F(SdkCore, FixedOutputsNeedAllTheirBytes) {
    Answer({1, 0, 1, 0, 0, 0}, 6);
    auto v = tovrik_get_driver_version(device_);
    EXPECT_EQ(v.version.Major, 1);
    EXPECT_EQ(v.version.Minor, 1);
    EXPECT_EQ(v.version.Build, 0);
    EXPECT_EQ(script_.Calls.back().OutputLength, 6u);

    Answer({0x04, 0x00, 0x00, 0xC0}, 4);
    EXPECT_EQ(tovrik_get_last_error(device_).value, 0xC0000004u);
    Answer({0x04, 0x00, 0x00, 0xC0}, 3);
    EXPECT_EQ(tovrik_get_last_error(device_).value, 0u);

    std::vector<std::uint8_t> d{18,   1,    0,    2, 0xFF, 0xFF, 0xFF, 64, 0x17,
                                0x5A, 0x15, 0x0E, 0, 1,    1,    2,    3,  1};
    Answer(d, 18);
    auto dd = tovrik_get_device_descriptor(device_);
    ASSERT_TRUE(dd.valid);
    EXPECT_EQ(dd.descriptor.idVendor, 0x5A17);
    EXPECT_EQ(dd.descriptor.idProduct, 0x0E15);
    EXPECT_EQ(dd.descriptor.bcdDevice, 0x0100);
    Answer(d, 17);
    EXPECT_FALSE(tovrik_get_device_descriptor(device_).valid);
}

TEST_F(SdkCore, CameraNumbersAndPaths) {
    script_.Present = {0, 5, 31};
    std::uint32_t numbers[2] = {};
    EXPECT_EQ(tovrik_enumerate(system_, numbers, 2), 3u);
    EXPECT_EQ(numbers[0], 0u);
    EXPECT_EQ(numbers[1], 5u);
    tovrik_device* device = nullptr;
    EXPECT_EQ(tovrik_open(system_, 4, &device), TOVRIK_STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(device, nullptr);
    EXPECT_EQ(tovrik_open(system_, 32, &device), TOVRIK_STATUS_OBJECT_NAME_NOT_FOUND);

    // Numbers past 9 continue in ASCII, as the driver names them.
    EXPECT_EQ(tovrik::System::Path(0), "\\\\.\\Tovrik318QX-0");
    EXPECT_EQ(tovrik::System::Path(10), "\\\\.\\Tovrik318QX-:");
    char small[8];
    EXPECT_EQ(tovrik_device_path(31, small, sizeof small), 17u);
    EXPECT_STREQ(small, "\\\\.\\Tov");

    // A closed device answers every call without reaching anything.
    EXPECT_EQ(tovrik_no_operation(nullptr).status, TOVRIK_STATUS_INVALID_HANDLE);
}

TEST(SdkNames, StatusesByNameOrHex) {
    EXPECT_STREQ(tovrik_status_name(0), "STATUS_SUCCESS");
    EXPECT_STREQ(tovrik_status_name(TOVRIK_STATUS_INVALID_PARAMETER), "STATUS_INVALID_PARAMETER");
    EXPECT_STREQ(tovrik_status_name(static_cast<std::int32_t>(0xC0000056)),
                 "STATUS_DELETE_PENDING");
    EXPECT_STREQ(tovrik_status_name(static_cast<std::int32_t>(0xC00000B5)), "STATUS_IO_TIMEOUT");
    EXPECT_STREQ(tovrik_status_name(0x102), "STATUS_TIMEOUT");
    EXPECT_STREQ(tovrik_status_name(static_cast<std::int32_t>(0xC0001234)), "0xC0001234");
    EXPECT_STREQ(tovrik_usbd_status_name(0xC0000004), "USBD_STATUS_STALL_PID");
    EXPECT_STREQ(tovrik_usbd_status_name(0), "USBD_STATUS_SUCCESS");
    EXPECT_STREQ(tovrik_usbd_status_name(0x12), "0x00000012");

    // The hex form of one thread is not overwritten by another's.
    const char* mine = tovrik_status_name(static_cast<std::int32_t>(0xC0001111));
    std::thread([] { tovrik_status_name(static_cast<std::int32_t>(0xC0002222)); }).join();
    EXPECT_STREQ(mine, "0xC0001111");
}

} // namespace
