// Submissions and completions arrive from the driver's threads and the host-controller thread at
// once; the file must still be a sequence of whole records.

#include "capture/capture.h"
#include "pcap_file.h"

#include <algorithm>
#include <latch>
#include <map>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

namespace sim {
namespace {

using namespace std::chrono_literals;

constexpr int Threads = 4;
constexpr std::uint32_t EventsPerThread = 300;

std::uint64_t IrpIdOf(int thread, std::uint32_t event) {
    return (std::uint64_t(thread) << 32) | event;
}

// Each record's bytes say whose they are, so bytes of two records mixed together show.
std::uint8_t FillOf(std::uint64_t irpId) {
    return static_cast<std::uint8_t>((irpId >> 32) * 64 + (irpId & 0x3f));
}

// Three kinds in turn: a control write (two records that must stay together), a bulk read of a
// size that changes every time, an isochronous read.
void WriteEvents(PcapWriter& writer, int thread) {
    std::vector<std::uint8_t> buffer;
    for (std::uint32_t event = 0; event < EventsPerThread; ++event) {
        const std::uint64_t irpId = IrpIdOf(thread, event);
        const auto time = std::chrono::microseconds(event);
        buffer.assign(16 + (event * 997) % 5000, FillOf(irpId));
        switch (event % 3) {
        case 0: {
            const UrbRef urb{.IrpId = irpId, .Function = 0x0017, .Device = 2, .Endpoint = 0x00};
            const auto setup = SetupPacket::Make(0x40, 0xA0, 0x1000, 0, 16);
            writer.WriteControlSubmit(urb, setup, std::span(buffer).first(16), time);
            break;
        }
        case 1: {
            const UrbRef urb{.IrpId = irpId, .Function = 0x0009, .Device = 2, .Endpoint = 0x82};
            writer.WriteBulkComplete(urb, DataPipe::Bulk, 0, buffer, time);
            break;
        }
        default: {
            const UrbRef urb{.IrpId = irpId, .Function = 0x000a, .Device = 2, .Endpoint = 0x81};
            const std::uint32_t quarter = static_cast<std::uint32_t>(buffer.size() / 4);
            const IsoPacket packets[] = {{0, quarter, 0},
                                         {quarter, quarter, 0},
                                         {2 * quarter, quarter, 0},
                                         {3 * quarter, 0, 0}};
            writer.WriteIsoComplete(urb, 0, event, packets, buffer, time);
            break;
        }
        }
    }
}

TEST(CaptureThreads, ConcurrentWritersLeaveWholeRecordsInOrder) {
    test::TempDir dir;
    const auto file = dir.File("threads.pcap");
    {
        PcapWriter writer(file);
        std::latch start(Threads);
        std::vector<std::jthread> writers;
        for (int thread = 0; thread < Threads; ++thread) {
            writers.emplace_back([&, thread] {
                start.arrive_and_wait();
                WriteEvents(writer, thread);
            });
        }
        writers.clear();
        ASSERT_FALSE(writer.Flush());
    }

    const test::PcapFile pcap = test::ReadPcap(file);
    // A control write is two records.
    const std::size_t perThread = EventsPerThread + (EventsPerThread + 2) / 3;
    ASSERT_EQ(pcap.Records.size(), Threads * perThread);

    std::map<std::uint32_t, std::int64_t> lastEvent; // per thread
    for (std::size_t i = 0; i < pcap.Records.size(); ++i) {
        const test::PcapRecord& record = pcap.Records[i];
        SCOPED_TRACE(testing::Message()
                     << "record " << i << ", IRP " << std::hex << record.IrpId());
        ASSERT_EQ(record.Bytes.size(), record.HeaderLength() + std::size_t{record.DataLength()});
        const auto thread = static_cast<std::uint32_t>(record.IrpId() >> 32);
        const auto event = static_cast<std::uint32_t>(record.IrpId());
        ASSERT_LT(thread, std::uint32_t{Threads});
        EXPECT_EQ(record.Micros, event) << "the timestamp belongs to the record it heads";

        const std::uint8_t stage = record.Transfer() == 2 ? record.Bytes.at(27) : 0xff;
        if (stage == 1) {
            // The data stage directly follows its own setup record.
            ASSERT_GT(i, 0u);
            EXPECT_EQ(pcap.Records[i - 1].IrpId(), record.IrpId());
            EXPECT_EQ(pcap.Records[i - 1].Bytes.at(27), 0) << "setup stage";
        } else {
            EXPECT_GT(std::int64_t{event}, lastEvent.contains(thread) ? lastEvent[thread] : -1)
                << "one thread's events keep their order";
            lastEvent[thread] = event;
        }
        if (stage != 0) {
            const auto data = record.Data();
            EXPECT_TRUE(std::all_of(data.begin(), data.end(), [&](std::uint8_t b) {
                return b == FillOf(record.IrpId());
            })) << "bytes of another record inside this one";
        }
    }
}

} // namespace
} // namespace sim
