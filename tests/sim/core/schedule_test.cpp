// The schedule's arithmetic, with stand-in transfers whose device always has data: what moves in
// which microframe, and what the counters say about it.

#include "core/schedule.h"

#include <gtest/gtest.h>

#include <memory>
#include <vector>

namespace {

using sim::core::EndpointCounters;
using sim::core::EndpointKind;
using sim::core::EndpointSetup;
using sim::core::PacketOutcome;
using sim::core::PacketResult;
using sim::core::ScheduledTransfer;
using sim::core::TransferList;

// A schedule over storage of its own (the storage is a base so it exists before the schedule).
struct ScheduleMemory {
    std::unique_ptr<sim::core::ScheduleStorage<64>> Store =
        std::make_unique<sim::core::ScheduleStorage<64>>();
};

class Schedule : private ScheduleMemory, public sim::core::Schedule {
  public:
    explicit Schedule(Options options) : sim::core::Schedule(options, Store->View()) {}
};

// Finished transfers, in order, as a vector.
std::vector<ScheduledTransfer*> Drain(TransferList& list) {
    std::vector<ScheduledTransfer*> out;
    while (ScheduledTransfer* transfer = list.PopFront())
        out.push_back(transfer);
    return out;
}

// A bulk transfer against a device that has `available` bytes (then short), or NAKs for the
// first `naks` packets.
struct BulkTransfer : ScheduledTransfer {
    explicit BulkTransfer(std::uint32_t length, std::uint32_t available = ~0u, unsigned naks = 0)
        : Length(length), Available(available), Naks(naks) {}
    PacketOutcome MovePacket(std::uint32_t room) override {
        if (Naks > 0) {
            --Naks;
            return {PacketResult::Nak, 0};
        }
        const std::uint32_t bytes = std::min(room, Available - Done);
        Done += bytes;
        PacketSizes.push_back(bytes);
        return {PacketResult::Data, bytes};
    }
    std::uint32_t Remaining() const override { return Length - Done; }
    std::uint32_t Length;
    std::uint32_t Available;
    unsigned Naks;
    std::uint32_t Done = 0;
    std::vector<std::uint32_t> PacketSizes;
};

struct IsoTransfer : ScheduledTransfer {
    explicit IsoTransfer(std::uint32_t packets) : Microframes(packets, ~std::uint64_t{0}) {}
    std::uint32_t IsoPacketCount() const override {
        return static_cast<std::uint32_t>(Microframes.size());
    }
    std::uint32_t MoveIsoPacket(std::uint32_t index, std::uint32_t room,
                                std::uint64_t microframe) override {
        Microframes.at(index) = microframe;
        Room = room;
        return room;
    }
    PacketOutcome MovePacket(std::uint32_t) override { return {PacketResult::Error, 0}; }
    std::uint32_t Remaining() const override { return 0; }
    std::vector<std::uint64_t> Microframes;
    std::uint32_t Room = 0;
};

struct LostCounter : sim::core::LostPacketSink {
    void PacketsLost(std::uint32_t packets, std::uint32_t) override { Lost += packets; }
    unsigned Lost = 0;
};

constexpr std::uint32_t kUrb = 64 * 1024;
constexpr std::uint32_t kUrbs = 64;

// Steps until nothing is queued; returns the microframes used.
std::uint64_t RunDry(Schedule& schedule, std::vector<ScheduledTransfer*>* finished = nullptr) {
    TransferList ended;
    const std::uint64_t start = schedule.Now();
    while (schedule.HasQueuedTransfers()) {
        schedule.Step(ended);
        EXPECT_LT(schedule.Now() - start, 1'000'000u) << "the schedule never drains";
        if (schedule.Now() - start >= 1'000'000u)
            break;
    }
    if (finished != nullptr)
        *finished = Drain(ended);
    return schedule.Now() - start;
}

struct BulkCase {
    const char* Name;
    unsigned PacketsPerMicroframe;
    std::uint64_t Microframes; // for 64 queued URBs of 64 KiB
};

TEST(ScheduleTest, FullyQueuedBulkReadFillsEveryMicroframe) {
    for (const BulkCase& c :
         {BulkCase{"bus limit", 13, 631}, BulkCase{"typical controller", 10, 820}}) {
        SCOPED_TRACE(c.Name);
        Schedule schedule({.Throttled = true, .BulkPacketsPerMicroframe = c.PacketsPerMicroframe});
        const auto in = schedule.AddEndpoint({EndpointKind::Bulk, 512, 1});
        std::vector<std::unique_ptr<BulkTransfer>> urbs;
        for (std::uint32_t i = 0; i < kUrbs; ++i) {
            urbs.push_back(std::make_unique<BulkTransfer>(kUrb));
            schedule.Queue(in, urbs.back().get(), 0);
        }
        std::vector<ScheduledTransfer*> finished;
        EXPECT_EQ(RunDry(schedule, &finished), c.Microframes);

        const EndpointCounters counters = schedule.Counters(in);
        EXPECT_EQ(counters.Bytes, std::uint64_t{kUrbs} * kUrb);
        EXPECT_EQ(counters.Transfers, kUrbs);
        EXPECT_EQ(counters.Packets, kUrbs * kUrb / 512);
        EXPECT_EQ(counters.IdleMicroframes, 0u);
        EXPECT_EQ(counters.ActiveMicroframes, c.Microframes);
        EXPECT_EQ(counters.FirstActiveMicroframe, 0u);
        EXPECT_EQ(counters.LastActiveMicroframe, c.Microframes - 1);
        // Every microframe but the last carried the limit: the bytes say so.
        EXPECT_GT(counters.Bytes, (c.Microframes - 1) * c.PacketsPerMicroframe * 512);
        ASSERT_EQ(finished.size(), kUrbs);
        for (std::uint32_t i = 0; i < kUrbs; ++i)
            EXPECT_EQ(finished[i], urbs[i].get()) << "transfers of one endpoint end in order";
    }
}

TEST(ScheduleTest, OneUrbAtATimeShowsTheTurnaround) {
    Schedule schedule({});
    const auto in = schedule.AddEndpoint({EndpointKind::Bulk, 512, 1});
    std::vector<std::unique_ptr<BulkTransfer>> urbs;
    urbs.push_back(std::make_unique<BulkTransfer>(kUrb));
    schedule.Queue(in, urbs.back().get(), 0);
    TransferList finished;
    while (schedule.HasQueuedTransfers()) {
        Drain(finished);
        schedule.Step(finished);
        // The controller completes in the next microframe; a resubmission from the completion
        // routine is served in the one after.
        if (!finished.Empty() && urbs.size() < kUrbs) {
            urbs.push_back(std::make_unique<BulkTransfer>(kUrb));
            schedule.Queue(in, urbs.back().get(), schedule.Now() + 1);
        }
    }
    const EndpointCounters counters = schedule.Counters(in);
    EXPECT_EQ(counters.Bytes, std::uint64_t{kUrbs} * kUrb);
    // 128 packets in 10 microframes each (9 x 13 + 11), and one waiting microframe between URBs.
    EXPECT_EQ(counters.ActiveMicroframes, kUrbs * 10);
    EXPECT_EQ(counters.IdleMicroframes, kUrbs - 1);
    EXPECT_EQ(schedule.Now(), kUrbs * 10 + kUrbs - 1);
}

TEST(ScheduleTest, BulkEndpointsShareTheMicroframe) {
    Schedule schedule({});
    const auto a = schedule.AddEndpoint({EndpointKind::Bulk, 512, 1});
    const auto b = schedule.AddEndpoint({EndpointKind::Bulk, 512, 1});
    BulkTransfer ta(kUrb), tb(kUrb);
    schedule.Queue(a, &ta, 0);
    schedule.Queue(b, &tb, 0);
    TransferList finished;
    schedule.Step(finished);
    // 13 packets in all, alternating from the first endpoint.
    EXPECT_EQ(ta.PacketSizes.size() + tb.PacketSizes.size(), 13u);
    EXPECT_EQ(ta.PacketSizes.size(), 7u);
    schedule.Step(finished);
    EXPECT_EQ(ta.PacketSizes.size() + tb.PacketSizes.size(), 26u);
    EXPECT_EQ(ta.PacketSizes.size(), 13u) << "the round robin starts with the other one";
}

struct EndCase {
    const char* Name;
    std::uint32_t Length;
    std::uint32_t Available;
    unsigned Naks;
    std::uint32_t Done;
    std::uint64_t Microframes;
    std::uint64_t Idle;
};

TEST(ScheduleTest, HowBulkTransfersEnd) {
    const EndCase cases[] = {
        {"exact multiple of the packet size", 1024, ~0u, 0, 1024, 1, 0},
        {"device ends short mid-packet", 4096, 700, 0, 700, 1, 0},
        {"device ends short on a packet boundary", 8192, 1024, 0, 1024, 1, 0},
        {"last packet short by the transfer's length", 1000, ~0u, 0, 1000, 1, 0},
        {"zero-length transfer", 0, ~0u, 0, 0, 1, 0},
        {"device NAKs two microframes", 512, ~0u, 2, 512, 3, 2},
        {"longer than a microframe", 13 * 512 + 1, ~0u, 0, 13 * 512 + 1, 2, 0},
    };
    for (const EndCase& c : cases) {
        SCOPED_TRACE(c.Name);
        Schedule schedule({});
        const auto in = schedule.AddEndpoint({EndpointKind::Bulk, 512, 1});
        BulkTransfer transfer(c.Length, c.Available, c.Naks);
        schedule.Queue(in, &transfer, 0);
        EXPECT_EQ(RunDry(schedule), c.Microframes);
        EXPECT_EQ(transfer.Done, c.Done);
        EXPECT_EQ(schedule.Counters(in).IdleMicroframes, c.Idle);
        EXPECT_EQ(schedule.Counters(in).Transfers, 1u);
    }
}

TEST(ScheduleTest, IsochronousServicesAndLostPackets) {
    Schedule schedule({});
    LostCounter lost;
    // 3 x 1024 bytes per microframe.
    const auto iso = schedule.AddEndpoint({EndpointKind::Isochronous, 0x1400, 1, 0x83}, &lost);
    IsoTransfer first(8), second(8);
    schedule.Queue(iso, &first, 0);
    schedule.Queue(iso, &second, 0);
    TransferList finished;
    for (int i = 0; i < 16; ++i)
        schedule.Step(finished);
    ASSERT_EQ(finished.Size(), 2u);
    for (std::uint32_t p = 0; p < 8; ++p) {
        EXPECT_EQ(first.Microframes[p], p);
        EXPECT_EQ(second.Microframes[p], 8 + p) << "back to back: no gap";
    }
    EXPECT_EQ(first.Room, 3u * 1024);
    EXPECT_EQ(schedule.Counters(iso).LostIsoPackets, 0u);

    // Nothing queued on a running stream: five services without a packet slot. The loss is
    // known once the stream goes on; one queued now is served from the next microframe, so the
    // one in between is lost too.
    for (int i = 0; i < 5; ++i)
        schedule.Step(finished);
    EXPECT_FALSE(schedule.HasWork()) << "a starving stream needs no steps to count its loss";
    IsoTransfer late(8);
    schedule.Queue(iso, &late, schedule.Now() + 1);
    const std::uint64_t queuedIn = schedule.Now();
    for (int i = 0; i < 9; ++i)
        schedule.Step(finished);
    EXPECT_EQ(late.Microframes[0], queuedIn + 1);
    EXPECT_EQ(schedule.Counters(iso).LostIsoPackets, 6u);
    EXPECT_EQ(lost.Lost, 6u) << "the device is told, so its sequence numbers show the loss";

    // Skipping idle microframes (a paced front end that slept) counts the same.
    schedule.SkipTo(schedule.Now() + 100);
    IsoTransfer afterSleep(8);
    schedule.Queue(iso, &afterSleep, schedule.Now());
    for (int i = 0; i < 8; ++i)
        schedule.Step(finished);
    EXPECT_EQ(schedule.Counters(iso).LostIsoPackets, 6u + 100u);

    // An aborted stream is no longer running and loses nothing.
    TransferList flushed;
    schedule.Flush(iso, flushed);
    EXPECT_TRUE(flushed.Empty());
    for (int i = 0; i < 5; ++i)
        schedule.Step(finished);
    IsoTransfer restart(8);
    schedule.Queue(iso, &restart, schedule.Now());
    for (int i = 0; i < 8; ++i)
        schedule.Step(finished);
    EXPECT_EQ(schedule.Counters(iso).LostIsoPackets, 106u);
}

TEST(ScheduleTest, AStreamLeftAloneLongEnoughHasStoppedRatherThanLost) {
    Schedule schedule({.StreamStopServices = 16});
    const auto iso = schedule.AddEndpoint({EndpointKind::Isochronous, 1024, 1, 0x83});
    TransferList finished;
    IsoTransfer urbs[2] = {IsoTransfer(8), IsoTransfer(8)};
    for (int k = 0; k < 2; ++k) {
        schedule.Queue(iso, &urbs[k], schedule.Now());
        for (int i = 0; i < 8; ++i)
            schedule.Step(finished);
        schedule.SkipTo(schedule.Now() + 16 + k);
    }
    IsoTransfer last(8);
    schedule.Queue(iso, &last, schedule.Now());
    for (int i = 0; i < 8; ++i)
        schedule.Step(finished);
    EXPECT_EQ(schedule.Counters(iso).LostIsoPackets, 16u)
        << "16 services missed are a loss; 17 are a client that stopped";
}

TEST(ScheduleTest, IsochronousIntervalAndBulkBesideIt) {
    Schedule schedule({});
    // bInterval 4 at high speed: every 8th microframe.
    const auto iso = schedule.AddEndpoint({EndpointKind::Isochronous, 1024, 8});
    const auto bulk = schedule.AddEndpoint({EndpointKind::Bulk, 512, 1});
    IsoTransfer stream(2);
    BulkTransfer data(26 * 512);
    schedule.Queue(iso, &stream, 0);
    schedule.Queue(bulk, &data, 0);
    TransferList finished;
    for (int i = 0; i < 9; ++i)
        schedule.Step(finished);
    EXPECT_EQ(stream.Microframes[0], 0u);
    EXPECT_EQ(stream.Microframes[1], 8u);
    // The periodic reservation does not eat into the bulk packets.
    EXPECT_EQ(schedule.Counters(bulk).ActiveMicroframes, 2u);
    EXPECT_EQ(schedule.Counters(iso).IdleMicroframes, 0u) << "not idle between its services";
}

TEST(ScheduleTest, UnthrottledMovesEverythingInOneStep) {
    Schedule schedule({.Throttled = false});
    const auto in = schedule.AddEndpoint({EndpointKind::Bulk, 512, 1});
    const auto iso = schedule.AddEndpoint({EndpointKind::Isochronous, 1024, 1});
    std::vector<std::unique_ptr<BulkTransfer>> urbs;
    for (int i = 0; i < 8; ++i) {
        urbs.push_back(std::make_unique<BulkTransfer>(kUrb));
        schedule.Queue(in, urbs.back().get(), 0);
    }
    IsoTransfer stream(64);
    schedule.Queue(iso, &stream, 0);
    EXPECT_EQ(RunDry(schedule), 1u);
    EXPECT_EQ(schedule.Counters(in).Bytes, 8u * kUrb);
    EXPECT_EQ(schedule.Counters(iso).Packets, 64u);
    EXPECT_FALSE(schedule.HasWork()) << "unthrottled loses no isochronous packets";
}

// Unthrottled, a transfer is offered every whole packet it has room for in one call, then the
// rest of its buffer alone: never a whole packet and a part of one at once, so the device's
// packet that ends inside the buffer is one the transfer sees whole.
TEST(ScheduleTest, UnthrottledOffersWholePacketsThenTheTail) {
    Schedule schedule({.Throttled = false});
    const auto in = schedule.AddEndpoint({EndpointKind::Bulk, 512, 1});
    BulkTransfer odd(2 * 512 + 88), whole(2 * 512), tiny(100);
    schedule.Queue(in, &odd, 0);
    schedule.Queue(in, &whole, 0);
    schedule.Queue(in, &tiny, 0);
    EXPECT_EQ(RunDry(schedule), 1u);
    EXPECT_EQ(odd.PacketSizes, (std::vector<std::uint32_t>{1024, 88}));
    EXPECT_EQ(whole.PacketSizes, (std::vector<std::uint32_t>{1024}));
    EXPECT_EQ(tiny.PacketSizes, (std::vector<std::uint32_t>{100}));
    EXPECT_EQ(schedule.Counters(in).Packets, 3u + 2u + 1u);
}

TEST(ScheduleTest, CancelledAndParkedTransfers) {
    Schedule schedule({});
    const auto in = schedule.AddEndpoint({EndpointKind::Bulk, 512, 1});
    BulkTransfer stuck(512), behind(512);
    stuck.Parked = true;
    schedule.Queue(in, &stuck, 0);
    schedule.Queue(in, &behind, 0);
    EXPECT_FALSE(schedule.HasWork())
        << "a transfer the device never answers keeps no clock running";
    TransferList finished;
    schedule.Step(finished);
    EXPECT_EQ(behind.Done, 0u) << "a transfer waits behind the one its endpoint never answers";
    EXPECT_TRUE(schedule.Remove(&stuck));
    EXPECT_FALSE(schedule.Remove(&stuck));
    schedule.Step(finished);
    EXPECT_EQ(behind.Done, 512u);
    TransferList removed;
    schedule.RemoveEndpoint(in, removed);
    EXPECT_TRUE(removed.Empty());
}

} // namespace
