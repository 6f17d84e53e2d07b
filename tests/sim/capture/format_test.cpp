// The bytes of the file, field by field: what Wireshark relies on to dissect a capture.

#include "capture/capture.h"
#include "pcap_file.h"

#include <numeric>
#include <vector>

#include <gtest/gtest.h>

namespace sim {
namespace {

using test::PcapFile;
using test::PcapRecord;
using test::ReadPcap;
using test::TempDir;
using Bytes = std::vector<std::uint8_t>;
using namespace std::chrono_literals;

// Every multi-byte field holds different bytes, so a swapped field or a big-endian one shows.
constexpr UrbRef Urb{.IrpId = 0x1122334455667788,
                     .Function = 0x0017,
                     .Device = 0x0304,
                     .Endpoint = 0x00,
                     .Bus = 0x0102};
constexpr std::int32_t StallPid = static_cast<std::int32_t>(0xC0000004);
constexpr std::int32_t IsoNotAccessed = static_cast<std::int32_t>(0xC0020000);

Bytes Span(std::span<const std::uint8_t> bytes) {
    return {bytes.begin(), bytes.end()};
}

Bytes Pattern(std::size_t size) {
    Bytes bytes(size);
    std::iota(bytes.begin(), bytes.end(), std::uint8_t{1});
    return bytes;
}

// The 28-byte header of a control record of Urb, written out field by field, little-endian, as
// Wireshark reads it; the arguments are the fields that differ between the records of one
// transfer.
Bytes ControlHeader(std::uint32_t status, std::uint8_t info, std::uint8_t endpoint,
                    std::uint32_t dataLength, std::uint8_t stage) {
    Bytes header;
    auto field = [&](std::uint64_t value, int width) {
        for (int i = 0; i < width; ++i)
            header.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
    };
    field(28, 2);           // header length
    field(Urb.IrpId, 8);    // 88 77 66 55 44 33 22 11
    field(status, 4);       // USBD status
    field(Urb.Function, 2); // 17 00
    field(info, 1);         // 0 submission, 1 completion
    field(Urb.Bus, 2);      // 02 01
    field(Urb.Device, 2);   // 04 03
    field(endpoint, 1);     // with the direction bit
    field(2, 1);            // control transfer
    field(dataLength, 4);   // bytes after the header
    field(stage, 1);        // 0 setup, 1 data, 3 complete
    return header;
}

// Runs `write` on a fresh writer and reads the file back once the writer has closed it.
template <typename Write> PcapFile Capture(Write write, std::uint32_t snap = 65535) {
    TempDir dir;
    const auto file = dir.File("capture.pcap");
    {
        PcapWriter writer(file, snap);
        write(writer);
    }
    return ReadPcap(file);
}

TEST(CaptureFile, GlobalHeaderIsClassicPcapOfUsbPcapRecords) {
    const PcapFile pcap = Capture([](PcapWriter&) {}, 0x02345678);
    const Bytes expected{0xd4, 0xc3, 0xb2, 0xa1,  // magic: microsecond timestamps
                         0x02, 0x00, 0x04, 0x00,  // version 2.4
                         0x00, 0x00, 0x00, 0x00,  // UTC
                         0x00, 0x00, 0x00, 0x00,  // accuracy
                         0x78, 0x56, 0x34, 0x02,  // snapshot length
                         0xf9, 0x00, 0x00, 0x00}; // link type 249
    EXPECT_EQ(pcap.GlobalHeader, expected);
    EXPECT_TRUE(pcap.Records.empty());
}

TEST(CaptureFile, RefusesWhatCannotBeACapture) {
    TempDir dir;
    EXPECT_THROW(PcapWriter(dir.File("small.pcap"), PcapWriter::MinSnapLength - 1),
                 std::invalid_argument);
    EXPECT_THROW(PcapWriter(dir.File("large.pcap"), PcapWriter::MaxSnapLength + 1),
                 std::invalid_argument);
    EXPECT_THROW(PcapWriter(dir.File("no/such/folder.pcap")), std::system_error);
}

TEST(CaptureFile, ControlWriteIsSetupThenDataThenComplete) {
    const auto setup = SetupPacket::Make(0x40, 0xA0, 0x7F92, 0x0000, 1);
    const Bytes out{0x01};
    const PcapFile pcap = Capture([&](PcapWriter& writer) {
        writer.WriteControlSubmit(Urb, setup, out, 5s);
        writer.WriteControlComplete(Urb, setup, 0, out, 6s);
    });
    ASSERT_EQ(pcap.Records.size(), 3u);

    // A submission to endpoint 0 OUT: the setup stage carries the eight setup bytes.
    Bytes setupRecord = ControlHeader(0, 0x00, 0x00, 8, 0);
    setupRecord.insert(setupRecord.end(), {0x40, 0xa0, 0x92, 0x7f, 0x00, 0x00, 0x01, 0x00});
    EXPECT_EQ(pcap.Records[0].Bytes, setupRecord);

    // The data stage repeats the setup record's header but for its stage and length.
    EXPECT_EQ(Span(pcap.Records[1].Header()), ControlHeader(0, 0x00, 0x00, 1, 1));
    EXPECT_EQ(Span(pcap.Records[1].Data()), out);
    EXPECT_EQ(pcap.Records[1].Seconds, 5u);

    // The completion of a write carries no data: the bytes went out with the submission.
    const PcapRecord& complete = pcap.Records[2];
    EXPECT_EQ(complete.HeaderLength(), 28u);
    EXPECT_EQ(complete.Info(), 0x01);
    EXPECT_EQ(complete.Bytes[27], 3) << "complete stage";
    EXPECT_EQ(complete.DataLength(), 0u);
    EXPECT_EQ(complete.Bytes.size(), 28u);
    EXPECT_EQ(complete.Seconds, 6u);
}

TEST(CaptureFile, ControlReadTakesItsDirectionFromTheSetupPacket) {
    const auto setup = SetupPacket::Make(0x80, 0x06, 0x0100, 0x0000, 18);
    const Bytes descriptor = Pattern(18);
    UrbRef urb = Urb;
    urb.Endpoint = 0x00; // the bus hands over the pipe's number; the setup packet says IN
    const PcapFile pcap = Capture([&](PcapWriter& writer) {
        // A read's buffer at submission holds nothing yet and must not be logged.
        writer.WriteControlSubmit(urb, setup, descriptor, 1s);
        writer.WriteControlComplete(urb, setup, StallPid, descriptor, 2s);
    });
    ASSERT_EQ(pcap.Records.size(), 2u);

    const PcapRecord& submit = pcap.Records[0];
    EXPECT_EQ(submit.Endpoint(), 0x80);
    EXPECT_EQ(submit.DataLength(), 8u);
    EXPECT_EQ(Span(submit.Data()), Span(setup.Bytes));

    // The completion of endpoint 0 IN: STALL_PID, the descriptor's 18 bytes, the complete stage.
    EXPECT_EQ(Span(pcap.Records[1].Header()),
              ControlHeader(static_cast<std::uint32_t>(StallPid), 0x01, 0x80, 18, 3));
    EXPECT_EQ(Span(pcap.Records[1].Data()), descriptor);
}

// Which event of a transfer carries its bytes, for both pipe kinds and both directions.
TEST(CaptureFile, BulkAndInterruptDataGoWithTheEventThatHasThem) {
    struct Case {
        const char* Label;
        DataPipe Pipe;
        std::uint8_t Endpoint;
        bool Completion;
        bool CarriesData;
    };
    const Case cases[] = {
        {"bulk OUT submission", DataPipe::Bulk, 0x02, false, true},
        {"bulk OUT completion", DataPipe::Bulk, 0x02, true, false},
        {"bulk IN submission", DataPipe::Bulk, 0x82, false, false},
        {"bulk IN completion", DataPipe::Bulk, 0x82, true, true},
        {"interrupt IN submission", DataPipe::Interrupt, 0x81, false, false},
        {"interrupt IN completion", DataPipe::Interrupt, 0x81, true, true},
    };
    const Bytes buffer = Pattern(300);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Label);
        UrbRef urb = Urb;
        urb.Function = 0x0009;
        urb.Endpoint = c.Endpoint;
        const PcapFile pcap = Capture([&](PcapWriter& writer) {
            if (c.Completion) {
                writer.WriteBulkComplete(urb, c.Pipe, StallPid, buffer, 0s);
            } else {
                writer.WriteBulkSubmit(urb, c.Pipe, buffer, 0s);
            }
        });
        ASSERT_EQ(pcap.Records.size(), 1u);
        const PcapRecord& record = pcap.Records[0];
        EXPECT_EQ(record.HeaderLength(), 27u);
        EXPECT_EQ(test::U32At(record.Bytes, 10), c.Completion ? 0xC0000004u : 0u) << "status";
        EXPECT_EQ(record.Info(), c.Completion ? 1 : 0);
        EXPECT_EQ(record.Endpoint(), c.Endpoint);
        EXPECT_EQ(record.Transfer(), static_cast<std::uint8_t>(c.Pipe));
        EXPECT_EQ(Span(record.Data()), c.CarriesData ? buffer : Bytes{});
        EXPECT_EQ(record.DataLength(), record.Data().size());
    }
}

TEST(CaptureFile, IsochronousRecordCarriesItsPacketList) {
    UrbRef urb = Urb;
    urb.Function = 0x000a;
    urb.Endpoint = 0x81;
    const Bytes buffer = Pattern(0x30);
    const IsoPacket asked[] = {{0x00, 0, 0}, {0x18, 0, 0}};
    const IsoPacket moved[] = {{0x00, 0x10, 0}, {0x18, 0, IsoNotAccessed}};
    const PcapFile pcap = Capture([&](PcapWriter& writer) {
        writer.WriteIsoSubmit(urb, 0x0a0b0c0d, asked, buffer, 1s);
        writer.WriteIsoComplete(urb, 0, 0x0a0b0c0d, moved, buffer, 2s);
    });
    ASSERT_EQ(pcap.Records.size(), 2u);

    const PcapRecord& submit = pcap.Records[0];
    EXPECT_EQ(submit.HeaderLength(), 27u + 12u + 2u * 12u);
    EXPECT_EQ(submit.Transfer(), 0);
    EXPECT_EQ(submit.DataLength(), 0u) << "an IN transfer has nothing to show before it completes";
    EXPECT_TRUE(submit.Data().empty());

    const Bytes isoBlock{0x0d, 0x0c, 0x0b, 0x0a, // start frame
                         0x02, 0x00, 0x00, 0x00, // packets
                         0x01, 0x00, 0x00, 0x00, // packets with an error
                         0x00, 0x00, 0x00, 0x00, 0x10, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
                         0x18, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x02, 0xc0};
    const PcapRecord& complete = pcap.Records[1];
    EXPECT_EQ(complete.HeaderLength(), 63u);
    EXPECT_EQ(complete.Info(), 1);
    EXPECT_EQ(complete.DataLength(), buffer.size());
    EXPECT_EQ(Span(complete.Header().subspan(27)), isoBlock);
    EXPECT_EQ(Span(complete.Data()), buffer) << "the whole buffer, which the offsets index";
}

TEST(CaptureFile, IsochronousPacketsMustLieInTheBufferTheyDescribe) {
    TempDir dir;
    PcapWriter writer(dir.File("iso.pcap"));
    UrbRef in = Urb;
    in.Endpoint = 0x81;
    const Bytes buffer(64);
    const IsoPacket pastTheEnd[] = {{0, 32, 0}, {32, 33, 0}};
    EXPECT_THROW(writer.WriteIsoComplete(in, 0, 0, pastTheEnd, buffer, 0s), std::invalid_argument);
    // Without data in the record there is nothing for the offsets to run past.
    EXPECT_NO_THROW(writer.WriteIsoSubmit(in, 0, pastTheEnd, buffer, 0s));

    const std::vector<IsoPacket> tooMany(PcapWriter::MaxIsoPackets + 1);
    EXPECT_THROW(writer.WriteIsoSubmit(in, 0, tooMany, {}, 0s), std::invalid_argument);
    ASSERT_FALSE(writer.Flush());

    const PcapFile pcap = ReadPcap(dir.File("iso.pcap"));
    EXPECT_EQ(pcap.Records.size(), 1u) << "a refused record leaves nothing behind";
}

TEST(CaptureFile, UrbWithoutTransferIsBareRequestInformation) {
    UrbRef urb = Urb;
    urb.Function = 0x0002; // abort pipe
    urb.Endpoint = 0x82;
    const PcapFile pcap = Capture([&](PcapWriter& writer) {
        writer.WriteUrbSubmit(urb, 0s);
        writer.WriteUrbComplete(urb, StallPid, 0s);
    });
    ASSERT_EQ(pcap.Records.size(), 2u);
    for (const PcapRecord& record : pcap.Records) {
        EXPECT_EQ(record.Bytes.size(), 27u);
        EXPECT_EQ(record.Transfer(), 0xfe);
        EXPECT_EQ(record.Endpoint(), 0x82);
        EXPECT_EQ(record.DataLength(), 0u);
    }
    EXPECT_EQ(pcap.Records[1].Info(), 1);
    EXPECT_EQ(test::U32At(pcap.Records[1].Bytes, 10), 0xC0000004u);
}

TEST(CaptureFile, TimestampIsTheCallersTimeInMicroseconds) {
    TempDir dir;
    PcapWriter writer(dir.File("time.pcap"));
    UrbRef urb = Urb;
    urb.Endpoint = 0x82;
    writer.WriteUrbSubmit(urb, 3s + 1us + 999ns);
    writer.WriteUrbSubmit(urb, std::chrono::duration<std::int64_t, std::ratio<1, 10'000'000>>(
                                   12'345'678)); // the kernel's 100-ns units
    EXPECT_THROW(writer.WriteUrbSubmit(urb, -1us), std::invalid_argument);
    EXPECT_THROW(writer.WriteUrbSubmit(urb, std::chrono::seconds(std::int64_t{1} << 32)),
                 std::invalid_argument);
    ASSERT_FALSE(writer.Flush());

    const PcapFile pcap = ReadPcap(dir.File("time.pcap"));
    ASSERT_EQ(pcap.Records.size(), 2u);
    EXPECT_EQ(pcap.Records[0].Seconds, 3u);
    EXPECT_EQ(pcap.Records[0].Micros, 1u);
    EXPECT_EQ(pcap.Records[1].Seconds, 1u);
    EXPECT_EQ(pcap.Records[1].Micros, 234'567u);
}

TEST(CaptureFile, LongRecordIsCutToTheSnapshotLength) {
    UrbRef urb = Urb;
    urb.Endpoint = 0x82;
    const Bytes image = Pattern(100'000);
    const PcapFile pcap = Capture(
        [&](PcapWriter& writer) { writer.WriteBulkComplete(urb, DataPipe::Bulk, 0, image, 0s); },
        PcapWriter::MinSnapLength);
    ASSERT_EQ(pcap.Records.size(), 1u);
    const PcapRecord& record = pcap.Records[0];
    EXPECT_EQ(record.Bytes.size(), PcapWriter::MinSnapLength);
    EXPECT_EQ(record.OriginalLength, 27u + image.size());
    EXPECT_EQ(record.DataLength(), image.size()) << "the header tells what moved, cut or not";
    EXPECT_EQ(Span(record.Data()), Bytes(image.begin(), image.begin() + (65535 - 27)));
}

TEST(CaptureFile, FailingFileIsReportedNotThrown) {
    if (!std::filesystem::exists("/dev/full")) {
        GTEST_SKIP() << "no /dev/full to fail writes";
    }
    PcapWriter writer("/dev/full");
    UrbRef urb = Urb;
    urb.Endpoint = 0x82;
    // Larger than any stdio buffer, so the write reaches the device and fails inside the call.
    const Bytes image = Pattern(1 << 20);
    EXPECT_NO_THROW(writer.WriteBulkComplete(urb, DataPipe::Bulk, 0, image, 0s));
    EXPECT_EQ(writer.Error(), std::errc::no_space_on_device);
    EXPECT_NO_THROW(writer.WriteBulkComplete(urb, DataPipe::Bulk, 0, image, 0s));
    EXPECT_EQ(writer.Flush(), std::errc::no_space_on_device);
}

} // namespace
} // namespace sim
