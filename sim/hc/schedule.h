// The host controller's schedule: which transfer moves how many bytes in which microframe.
//
// This is the arithmetic of a USB 2.0 high-speed bus and nothing else: no threads, no clock, no
// kernel. The host controller (controller.h) owns one, holds its lock around every call, steps
// it one microframe at a time and completes what it reports finished. Keeping the arithmetic
// apart makes it deterministic: the same queue of transfers gives the same counters on every run,
// however the steps are paced.
//
// The model:
// - A microframe is 125 us. Transfers are served from the microframe after the one in which they
//   were queued; the caller says which microframe that is (Queue's eligibleFrom).
// - Periodic endpoints (isochronous, interrupt) have their bandwidth reserved: every Interval
//   microframes one service of up to MaxPacket x (1 + additional transactions) bytes. An
//   isochronous service with no transfer queued on an active endpoint is a lost packet.
// - Bulk and control endpoints share what is left: at most BulkPacketsPerMicroframe packets per
//   microframe (13 x 512 bytes is what fits in a high-speed microframe beside the periodic
//   reservation; typical controllers fit 10), handed out one packet at a time, round robin over
//   the endpoints with something to send. A packet shorter than the endpoint's maximum ends its
//   transfer.
// - Unthrottled, every queued transfer moves completely in the first step that sees it.
#pragma once

#include <cstdint>
#include <deque>
#include <vector>

namespace sim::hc {

inline constexpr std::uint64_t MicroframeNanoseconds = 125'000;
inline constexpr unsigned MicroframesPerFrame = 8;
inline constexpr unsigned DefaultBulkPacketsPerMicroframe = 13;

enum class EndpointKind : std::uint8_t { Control, Isochronous, Bulk, Interrupt };

// What one endpoint did, counted from its creation (or the last reset of the counters).
struct EndpointCounters {
    std::uint64_t Bytes = 0;
    // Transfers that ended, whatever their status.
    std::uint64_t Transfers = 0;
    std::uint64_t Packets = 0;
    // Microframes in which a transfer was queued on the endpoint and nothing moved: a transfer
    // waiting to be served (queued in the microframe before), a device that had nothing to send,
    // a starved endpoint.
    std::uint64_t IdleMicroframes = 0;
    // Microframes in which the endpoint moved at least one packet.
    std::uint64_t ActiveMicroframes = 0;
    // Isochronous services of an active endpoint with no transfer queued.
    std::uint64_t LostIsoPackets = 0;
};

// The answer of the device (or of a fault) to one packet.
enum class PacketResult : std::uint8_t {
    Data,  // moved Bytes; fewer than offered is a short packet
    Nak,   // the device had nothing (IN) or no room (OUT) this time; try again later
    Error, // the transfer ends with an error the transfer itself records
};

struct PacketOutcome {
    PacketResult Result = PacketResult::Data;
    std::uint32_t Bytes = 0;
};

class Schedule;

// One queued URB, seen by the schedule. The bus derives from it: the schedule decides when and
// how much, the transfer moves the bytes (it knows the buffer and the device).
class Transfer {
  public:
    virtual ~Transfer() = default;

    // Bulk, interrupt and control transfers. Called by Step, under the caller's schedule lock,
    // for one packet of at most `room` bytes; room is never 0 unless the transfer asked for no
    // data. Must not block.
    virtual PacketOutcome MovePacket(std::uint32_t room) = 0;
    // Bytes the transfer still wants; 0 once it asked for nothing more.
    virtual std::uint32_t Remaining() const = 0;

    // Isochronous transfers: the number of packets, and the service of packet `index` in
    // microframe `microframe` with at most `room` bytes. Called by Step under the schedule lock.
    virtual std::uint32_t IsoPacketCount() const { return 0; }
    // Returns the bytes the packet carried.
    virtual std::uint32_t MoveIsoPacket(std::uint32_t index, std::uint32_t room,
                                        std::uint64_t microframe) {
        return 0;
    }

    // Set by the schedule.
    std::uint64_t EligibleFrom = 0;
    // Microframe of the first service (isochronous: its first packet), or ~0 before.
    std::uint64_t FirstService = ~std::uint64_t{0};
    // A transfer that is never served (a fault) stays queued but does not keep a virtual clock
    // running.
    bool Parked = false;

  private:
    friend class Schedule;
    std::uint32_t NextPacket = 0;
    bool Ended = false;
};

struct EndpointSetup {
    EndpointKind Kind = EndpointKind::Bulk;
    // wMaxPacketSize as the descriptor gives it: bits 0-10 the size, bits 11-12 the additional
    // transactions per microframe of a high-bandwidth periodic endpoint.
    std::uint16_t MaxPacketField = 512;
    // Microframes between services of a periodic endpoint (1, 2, 4, ...).
    std::uint32_t Interval = 1;
};

// An isochronous service without a transfer: the device produced (or expected) a packet that
// no one took. Called by Step under the schedule lock, so the device can advance its stream.
class LostPacketSink {
  public:
    virtual ~LostPacketSink() = default;
    virtual void PacketLost(std::uint32_t room) = 0;
};

using EndpointId = std::uint32_t;

// Not thread-safe: the host controller serialises every call with its own lock.
class Schedule {
  public:
    struct Options {
        bool Throttled = true;
        unsigned BulkPacketsPerMicroframe = DefaultBulkPacketsPerMicroframe;
    };

    explicit Schedule(Options options);

    EndpointId AddEndpoint(const EndpointSetup& setup, LostPacketSink* lost = nullptr);
    // Takes the endpoint out of the schedule; its queued transfers are handed back (in queue
    // order) for the caller to end. Its counters stay readable.
    std::vector<Transfer*> RemoveEndpoint(EndpointId id);
    // Hands back every queued transfer of the endpoint and makes an isochronous endpoint
    // inactive again (an aborted stream loses no packets).
    std::vector<Transfer*> Flush(EndpointId id);

    // The transfer is served from microframe eligibleFrom on.
    void Queue(EndpointId id, Transfer* transfer, std::uint64_t eligibleFrom);
    // Takes one transfer out (cancellation); false when it is not queued (already finished).
    bool Remove(EndpointId id, Transfer* transfer);

    // Serves microframe `Now()` and advances to the next; transfers that ended are appended to
    // `finished` in the order they ended.
    void Step(std::vector<Transfer*>& finished);

    std::uint64_t Now() const { return Current; }
    // Jumps over microframes in which nothing can happen (the bus was idle); never backwards.
    void SkipTo(std::uint64_t microframe);

    // Whether a step could move anything: a transfer that is not parked, or an active
    // isochronous endpoint whose lost packets count.
    bool HasWork() const;
    bool HasQueuedTransfers() const;
    // Whether the last step moved a packet or ended a transfer.
    bool LastStepMoved() const { return Moved; }

    EndpointCounters Counters(EndpointId id) const;
    void ResetCounters();
    std::uint32_t BytesPerService(EndpointId id) const;

  private:
    struct Endpoint {
        EndpointSetup Setup;
        LostPacketSink* Lost = nullptr;
        std::deque<Transfer*> Queue;
        EndpointCounters Counters;
        bool Present = true;
        bool IsoActive = false;
        // Microframes in a row the isochronous endpoint found nothing queued.
        std::uint32_t IdleIsoMicroframes = 0;
        std::uint32_t PacketSize = 0;
        std::uint32_t Transactions = 1;
    };

    void ServePeriodic(Endpoint& endpoint, std::vector<Transfer*>& finished, bool& moved);
    void ServeBulk(std::vector<Transfer*>& finished, std::vector<bool>& moved);
    void ServeUnthrottled(Endpoint& endpoint, std::vector<Transfer*>& finished, bool& moved);
    static bool Eligible(const Transfer* transfer, std::uint64_t microframe);
    void Finish(Endpoint& endpoint, std::vector<Transfer*>& finished);

    Options Settings;
    std::vector<Endpoint> Endpoints;
    std::uint64_t Current = 0;
    std::size_t RoundRobin = 0;
    bool Moved = false;
};

} // namespace sim::hc
