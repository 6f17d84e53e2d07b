// The host controller's schedule: which transfer moves how many bytes in which microframe.
//
// This is the arithmetic of a USB 2.0 high-speed bus and nothing else: no threads, no clock, no
// kernel, no allocation. A front end owns one (inside its BusCore), holds its bus lock around
// every call, steps it one microframe at a time and completes what it reports finished. Keeping
// the arithmetic apart makes it deterministic: the same queue of transfers gives the same
// counters on every run, however the steps are paced.
//
// The model:
// - A microframe is 125 us. Transfers are served from the microframe the caller names when it
//   queues them (Queue's eligibleFrom): the front end knows the clock, the schedule does not.
// - Periodic endpoints (isochronous, interrupt) have their bandwidth reserved: every Interval
//   microframes one service of up to MaxPacket x (1 + additional transactions) bytes.
// - An isochronous IN stream runs from its first service until its pipe is aborted or closed.
//   The camera sends a packet in every service of a running stream; a service with no packet
//   slot ready (nothing queued, or the next transfer not yet eligible) is a lost packet. The loss
//   is counted, and the camera told, when the stream's next packet is served: a client that
//   queued nothing for StreamStopServices services has stopped its stream instead, and those
//   services are nobody's loss. So the count never depends on when the schedule is stepped.
// - Bulk and control endpoints share what is left: at most BulkPacketsPerMicroframe packets per
//   microframe (13 x 512 bytes is what fits in a high-speed microframe beside the periodic
//   reservation; typical controllers fit 10), handed out one packet at a time, round robin over
//   the endpoints with something to send. A packet shorter than the endpoint's maximum ends its
//   transfer. A NAK costs its slot; the endpoint is tried again in the same microframe only after
//   the host has sent the device something (an OUT or control transfer moved), which is all that
//   can change the device's answer.
// - Elastic microframes (for virtual time): a microframe whose bulk packets were not all used
//   because nothing was left to send, and in which no periodic endpoint is active, stays open;
//   a transfer queued while it is open is served in it, with the packets it has left. So what a
//   bus of infinitely fast clients does no longer depends on how fast this machine's threads
//   queue the next transfer.
// - Unthrottled, every queued transfer moves completely in the first step that sees it.
//
// Memory: the endpoint table lives in caller-owned storage (EndpointSlot array); transfers are
// linked into the queues through their own members, so nothing is allocated here.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace sim::core {

inline constexpr std::uint64_t MicroframeNanoseconds = 125'000;
inline constexpr unsigned MicroframesPerFrame = 8;
inline constexpr unsigned DefaultBulkPacketsPerMicroframe = 13;
inline constexpr std::uint64_t NoMicroframe = ~std::uint64_t{0};

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
    // Isochronous services of an active endpoint with no transfer ready: packets the device sent
    // (or expected) that nobody took.
    std::uint64_t LostIsoPackets = 0;
    // The first and the last microframe in which the endpoint moved a packet; NoMicroframe
    // before the first. Between them lies the bus time its transfers took.
    std::uint64_t FirstActiveMicroframe = NoMicroframe;
    std::uint64_t LastActiveMicroframe = NoMicroframe;
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
class TransferList;

// The room to offer a bulk or interrupt transfer with `remaining` bytes to go in one call that
// may carry many packets of `packet` bytes: every whole packet that fits, or, when less than one
// is left, the rest.
inline std::uint32_t RoomInWholePackets(std::uint32_t remaining, std::uint32_t packet) {
    return remaining < packet || packet == 0 ? remaining : remaining - remaining % packet;
}

// One queued URB, seen by the schedule. The bus derives from it: the schedule decides when and
// how much, the transfer moves the bytes (it knows the buffer and the device). The virtual
// members have bodies (no pure virtuals: a kernel image has no runtime to catch a call to one)
// and there is no virtual destructor (nothing is deleted through this type).
class ScheduledTransfer {
  public:
    // Bulk, interrupt and control transfers. Called by Step, under the caller's bus lock, with
    // the room the transfer's buffer offers this call: for bulk and interrupt a whole number of
    // the endpoint's packets, or the less than one packet left at the end of the buffer (0 only
    // for a transfer that asked for no data), never a whole packet and a part of one
    // (RoomInWholePackets). The device sends whole packets all the same: a packet bigger than
    // the room left is the transfer's to refuse. Must not block.
    virtual PacketOutcome MovePacket(std::uint32_t room) { return {PacketResult::Error, 0}; }
    // Bytes the transfer still wants; 0 once it asked for nothing more.
    virtual std::uint32_t Remaining() const { return 0; }

    // Isochronous transfers: the number of packets, and the service of packet `index` in
    // microframe `microframe` with at most `room` bytes (returns the bytes it carried). Called by
    // Step under the bus lock.
    virtual std::uint32_t IsoPacketCount() const { return 0; }
    virtual std::uint32_t MoveIsoPacket(std::uint32_t index, std::uint32_t room,
                                        std::uint64_t microframe) {
        return 0;
    }

    // Set by the schedule.
    std::uint64_t EligibleFrom = 0;
    // Microframe of the first service (isochronous: its first packet), or NoMicroframe before.
    std::uint64_t FirstService = NoMicroframe;
    // Microframe in which the transfer ended, or NoMicroframe while it is queued.
    std::uint64_t EndedIn = NoMicroframe;
    // A transfer that is never served (a fault) stays queued but does not keep a virtual clock
    // running.
    bool Parked = false;

  protected:
    ScheduledTransfer() = default;
    ~ScheduledTransfer() = default;
    ScheduledTransfer(const ScheduledTransfer&) = default;
    ScheduledTransfer& operator=(const ScheduledTransfer&) = default;

  private:
    friend class Schedule;
    friend class TransferList;
    ScheduledTransfer* Next = nullptr;
    ScheduledTransfer* Previous = nullptr;
    std::uint32_t NextPacket = 0;
    std::uint32_t QueuedOn = ~0u;
};

// A list of transfers out of the schedule (finished, flushed, taken off with their endpoint),
// linked through the transfers themselves. A transfer is in one list or queue at a time.
class TransferList {
  public:
    bool Empty() const { return Head == nullptr; }
    std::size_t Size() const { return Count; }
    ScheduledTransfer* Front() const { return Head; }
    void PushBack(ScheduledTransfer* transfer);
    // Appends every transfer of `other` and empties it.
    void Splice(TransferList& other);
    ScheduledTransfer* PopFront();
    // Takes `transfer` out of this list; false when it is not in it.
    bool Remove(ScheduledTransfer* transfer);
    static ScheduledTransfer* NextOf(const ScheduledTransfer* transfer) { return transfer->Next; }

  private:
    ScheduledTransfer* Head = nullptr;
    ScheduledTransfer* Tail = nullptr;
    std::size_t Count = 0;
};

struct EndpointSetup {
    EndpointKind Kind = EndpointKind::Bulk;
    // wMaxPacketSize as the descriptor gives it: bits 0-10 the size, bits 11-12 the additional
    // transactions per microframe of a high-bandwidth periodic endpoint.
    std::uint16_t MaxPacketField = 512;
    // Microframes between services of a periodic endpoint (1, 2, 4, ...).
    std::uint32_t Interval = 1;
    // The endpoint address; bit 7 set: an IN endpoint.
    std::uint8_t Address = 0;
};

// Isochronous services without a transfer: the device produced (or expected) packets that no
// one took. Called by Step under the bus lock, before the stream's next packet is served, so the
// device can advance its stream.
class LostPacketSink {
  public:
    virtual void PacketsLost(std::uint32_t packets, std::uint32_t room) {}

  protected:
    LostPacketSink() = default;
    ~LostPacketSink() = default;
};

using EndpointId = std::uint32_t;
inline constexpr EndpointId NoEndpoint = ~EndpointId{0};

// One endpoint's place in the schedule. Opaque to the caller, who only provides the memory.
class EndpointSlot {
  private:
    friend class Schedule;
    EndpointSetup Setup;
    LostPacketSink* Lost = nullptr;
    TransferList Queue;
    EndpointCounters Counters;
    bool Present = false;
    bool Used = false; // ever handed out (its counters stay readable until reused)
    bool MovedThisMicroframe = false;
    bool ServedThisMicroframe = false;
    bool NakedThisMicroframe = false;
    // The front transfer's last packet was NAKed: it may move in any microframe.
    bool NakedLastTry = false;
    // Microframe of the isochronous stream's last service; NoMicroframe: no stream runs.
    std::uint64_t LastService = NoMicroframe;
    std::uint32_t PacketSize = 0;
    std::uint32_t Transactions = 1;
};

// Storage for a schedule of at most N endpoints at once, for a caller that has no other place.
template <std::size_t N> struct ScheduleStorage;

// Not thread-safe: the front end serialises every call with its bus lock.
class Schedule {
  public:
    struct Options {
        bool Throttled = true;
        unsigned BulkPacketsPerMicroframe = DefaultBulkPacketsPerMicroframe;
        // Keep a microframe open while its bulk packets are not all used and nothing is left to
        // send (virtual time); see the model above.
        bool ElasticMicroframes = false;
        // Services without a transfer after which an isochronous stream counts as stopped by its
        // client rather than starved (a second at high speed).
        std::uint32_t StreamStopServices = 8000;
    };

    // The endpoint table (its size is the most endpoints at once) and two lists of as many ids
    // (the endpoints present, in the order they were added; the bulk pass's scratch).
    struct Memory {
        std::span<EndpointSlot> Slots;
        std::span<EndpointId> Order;
        std::span<EndpointId> Candidates;
    };

    Schedule(Options options, Memory memory);
    Schedule(const Schedule&) = delete;
    Schedule& operator=(const Schedule&) = delete;

    const Options& Settings() const { return Settings_; }

    // NoEndpoint when the table is full. A slot is reused only after every other free one was.
    EndpointId AddEndpoint(const EndpointSetup& setup, LostPacketSink* lost = nullptr);
    // How many more endpoints AddEndpoint can take.
    std::size_t FreeSlots() const { return Slots.size() - PresentCount; }
    // Takes the endpoint out of the schedule; its queued transfers are appended to `out` (in
    // queue order) for the caller to end. Its counters stay readable until the slot is reused.
    void RemoveEndpoint(EndpointId id, TransferList& out);
    // Appends every queued transfer of the endpoint to `out` and makes an isochronous endpoint
    // inactive again (an aborted stream loses no packets).
    void Flush(EndpointId id, TransferList& out);

    // The transfer is served from microframe eligibleFrom on.
    void Queue(EndpointId id, ScheduledTransfer* transfer, std::uint64_t eligibleFrom);
    // Takes one transfer out (cancellation); false when it is not queued (already finished).
    bool Remove(ScheduledTransfer* transfer);
    static bool IsQueued(const ScheduledTransfer* transfer) { return transfer->QueuedOn != ~0u; }

    // Serves microframe `Now()` and advances to the next (unless it stays open: Open());
    // transfers that ended are appended to `finished` in the order they ended.
    void Step(TransferList& finished);

    // The microframe the next Step serves.
    std::uint64_t Now() const { return Current; }
    // Whether microframe Now() has been served in part and stays open for more bulk packets.
    bool Open() const { return OpenMicroframe; }
    // Jumps over microframes in which nothing can happen (the bus was idle); never backwards.
    // An open microframe is closed first.
    void SkipTo(std::uint64_t microframe);

    // Whether a step could move anything: a transfer is queued that is not parked (nor queued
    // behind one that is).
    bool HasWork() const { return HasQueuedTransfers(); }
    bool HasQueuedTransfers() const;
    // The earliest microframe whose step may end a transfer, from what is queued now (a NAKing
    // transfer is retried every MicroframesPerFrame); NoMicroframe when nothing is queued. A
    // front end pacing the schedule on a clock may sleep until then, and step every microframe
    // up to it at once: the results are the same as stepping each on time.
    std::uint64_t NextEventMicroframe() const;
    // Microframes begun: Now(), and the open one.
    std::uint64_t Elapsed() const { return Current + (OpenMicroframe ? 1 : 0); }
    // Whether the last step moved a packet or ended a transfer.
    bool LastStepMoved() const { return Moved; }

    // Counters of a present or removed endpoint (zeros for an id never handed out).
    EndpointCounters Counters(EndpointId id) const;
    void ResetCounters();
    std::uint32_t BytesPerService(EndpointId id) const;
    bool IsPeriodic(EndpointId id) const;

  private:
    void ServePeriodic(EndpointSlot& endpoint, TransferList& finished);
    void CountDrought(EndpointSlot& endpoint);
    // Books what moved on the endpoint in this microframe.
    void CountMoved(EndpointSlot& endpoint, std::uint32_t bytes, std::uint32_t packets);
    static bool EndsTransfer(const PacketOutcome& outcome, std::uint32_t room,
                             const ScheduledTransfer& transfer);
    // Returns the bulk packets left unused because nothing more was ready.
    unsigned ServeBulk(TransferList& finished);
    void ServeUnthrottled(EndpointSlot& endpoint, TransferList& finished);
    static bool Eligible(const ScheduledTransfer* transfer, std::uint64_t microframe);
    void Finish(EndpointSlot& endpoint, TransferList& finished);
    void CloseMicroframe();
    bool PeriodicActive() const;
    EndpointSlot* SlotOf(EndpointId id);
    const EndpointSlot* SlotOf(EndpointId id) const;

    Options Settings_;
    std::span<EndpointSlot> Slots;
    std::span<EndpointId> Order;
    std::span<EndpointId> Candidates;
    std::size_t PresentCount = 0;
    std::size_t NextSlot = 0;
    std::uint64_t Current = 0;
    std::size_t RoundRobin = 0;
    unsigned SlotsLeft = 0;
    bool OpenMicroframe = false;
    bool Moved = false;
    bool MovedInStep = false;
};

template <std::size_t N> struct ScheduleStorage {
    EndpointSlot Slots[N];
    EndpointId Order[N];
    EndpointId Candidates[N];
    Schedule::Memory View() { return {Slots, Order, Candidates}; }
};

} // namespace sim::core
