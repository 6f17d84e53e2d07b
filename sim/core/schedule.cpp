#include "core/schedule.h"

namespace sim::core {

namespace {

bool Periodic(EndpointKind kind) {
    return kind == EndpointKind::Isochronous || kind == EndpointKind::Interrupt;
}

template <typename T> T Min(T a, T b) {
    return a < b ? a : b;
}

// A NAKing transfer may move whenever the device has something: the next event is at most a
// frame away.
constexpr std::uint64_t kNakRetryMicroframes = MicroframesPerFrame;

// The first microframe at or after `from` in which an endpoint of this interval is served.
std::uint64_t ServiceAtOrAfter(std::uint64_t from, std::uint32_t interval) {
    return (from + interval - 1) / interval * interval;
}

} // namespace

// --- Lists ------------------------------------------------------------------------------------

void TransferList::PushBack(ScheduledTransfer* transfer) {
    transfer->Next = nullptr;
    transfer->Previous = Tail;
    if (Tail != nullptr)
        Tail->Next = transfer;
    else
        Head = transfer;
    Tail = transfer;
    ++Count;
}

void TransferList::Splice(TransferList& other) {
    if (other.Head == nullptr)
        return;
    if (Tail != nullptr) {
        Tail->Next = other.Head;
        other.Head->Previous = Tail;
    } else {
        Head = other.Head;
    }
    Tail = other.Tail;
    Count += other.Count;
    other.Head = other.Tail = nullptr;
    other.Count = 0;
}

ScheduledTransfer* TransferList::PopFront() {
    ScheduledTransfer* transfer = Head;
    if (transfer != nullptr)
        Remove(transfer);
    return transfer;
}

bool TransferList::Remove(ScheduledTransfer* transfer) {
    // Membership is checked by walking: lists are short, and a wrong answer would corrupt them.
    ScheduledTransfer* at = Head;
    while (at != nullptr && at != transfer)
        at = at->Next;
    if (at == nullptr)
        return false;
    if (transfer->Previous != nullptr)
        transfer->Previous->Next = transfer->Next;
    else
        Head = transfer->Next;
    if (transfer->Next != nullptr)
        transfer->Next->Previous = transfer->Previous;
    else
        Tail = transfer->Previous;
    transfer->Next = transfer->Previous = nullptr;
    --Count;
    return true;
}

// --- Endpoints --------------------------------------------------------------------------------

Schedule::Schedule(Options options, Memory memory)
    : Settings_(options), Slots(memory.Slots), Order(memory.Order), Candidates(memory.Candidates) {
    if (Settings_.BulkPacketsPerMicroframe == 0)
        Settings_.BulkPacketsPerMicroframe = 1;
    // The lists must have room for every slot.
    if (Order.size() < Slots.size() || Candidates.size() < Slots.size())
        Slots = Slots.first(Min(Order.size(), Candidates.size()));
    SlotsLeft = Settings_.BulkPacketsPerMicroframe;
}

EndpointSlot* Schedule::SlotOf(EndpointId id) {
    return id < Slots.size() ? &Slots[id] : nullptr;
}

const EndpointSlot* Schedule::SlotOf(EndpointId id) const {
    return id < Slots.size() ? &Slots[id] : nullptr;
}

EndpointId Schedule::AddEndpoint(const EndpointSetup& setup, LostPacketSink* lost) {
    // Round the table from where the last search ended, so a removed endpoint's counters stay
    // readable for as long as possible.
    for (std::size_t tried = 0; tried < Slots.size(); ++tried) {
        const std::size_t index = (NextSlot + tried) % Slots.size();
        EndpointSlot& endpoint = Slots[index];
        if (endpoint.Present)
            continue;
        NextSlot = index + 1;
        endpoint = EndpointSlot{};
        endpoint.Setup = setup;
        if (endpoint.Setup.Interval == 0)
            endpoint.Setup.Interval = 1;
        endpoint.Lost = lost;
        endpoint.PacketSize = setup.MaxPacketField & 0x7FF;
        if (endpoint.PacketSize == 0)
            endpoint.PacketSize = setup.Kind == EndpointKind::Control ? 64 : 1;
        // Only periodic endpoints may carry more than one transaction per microframe.
        endpoint.Transactions = Periodic(setup.Kind) ? 1 + ((setup.MaxPacketField >> 11) & 3) : 1;
        if (endpoint.Transactions > 3)
            endpoint.Transactions = 3;
        endpoint.Present = true;
        endpoint.Used = true;
        Order[PresentCount++] = static_cast<EndpointId>(index);
        return static_cast<EndpointId>(index);
    }
    return NoEndpoint;
}

void Schedule::Flush(EndpointId id, TransferList& out) {
    EndpointSlot* endpoint = SlotOf(id);
    if (endpoint == nullptr)
        return;
    while (ScheduledTransfer* transfer = endpoint->Queue.PopFront()) {
        transfer->QueuedOn = ~0u;
        out.PushBack(transfer);
    }
    endpoint->LastService = NoMicroframe;
    endpoint->NakedLastTry = false;
}

void Schedule::RemoveEndpoint(EndpointId id, TransferList& out) {
    EndpointSlot* endpoint = SlotOf(id);
    if (endpoint == nullptr || !endpoint->Present)
        return;
    Flush(id, out);
    endpoint->Present = false;
    std::size_t at = 0;
    while (at < PresentCount && Order[at] != id)
        ++at;
    for (; at + 1 < PresentCount; ++at)
        Order[at] = Order[at + 1];
    if (PresentCount > 0)
        --PresentCount;
}

void Schedule::Queue(EndpointId id, ScheduledTransfer* transfer, std::uint64_t eligibleFrom) {
    EndpointSlot* endpoint = SlotOf(id);
    if (endpoint == nullptr)
        return;
    transfer->EligibleFrom = eligibleFrom;
    transfer->NextPacket = 0;
    transfer->EndedIn = NoMicroframe;
    transfer->QueuedOn = id;
    endpoint->Queue.PushBack(transfer);
}

bool Schedule::Remove(ScheduledTransfer* transfer) {
    EndpointSlot* endpoint = SlotOf(transfer->QueuedOn);
    if (endpoint == nullptr || !endpoint->Queue.Remove(transfer))
        return false;
    transfer->QueuedOn = ~0u;
    return true;
}

// --- Serving ----------------------------------------------------------------------------------

bool Schedule::Eligible(const ScheduledTransfer* transfer, std::uint64_t microframe) {
    return transfer != nullptr && !transfer->Parked && transfer->EligibleFrom <= microframe;
}

void Schedule::Finish(EndpointSlot& endpoint, TransferList& finished) {
    ScheduledTransfer* transfer = endpoint.Queue.PopFront();
    transfer->QueuedOn = ~0u;
    transfer->EndedIn = Current;
    ++endpoint.Counters.Transfers;
    finished.PushBack(transfer);
}

void Schedule::CountDrought(EndpointSlot& endpoint) {
    if (endpoint.LastService == NoMicroframe)
        return;
    // Services strictly between the last one and this one.
    const std::uint32_t interval = endpoint.Setup.Interval;
    const std::uint64_t missed = (Current - 1) / interval - endpoint.LastService / interval;
    if (missed == 0 || missed > Settings_.StreamStopServices)
        return;
    endpoint.Counters.LostIsoPackets += missed;
    if (endpoint.Lost != nullptr)
        endpoint.Lost->PacketsLost(static_cast<std::uint32_t>(missed),
                                   endpoint.PacketSize * endpoint.Transactions);
}

void Schedule::ServePeriodic(EndpointSlot& endpoint, TransferList& finished) {
    const std::uint32_t service = endpoint.PacketSize * endpoint.Transactions;
    ScheduledTransfer* front = endpoint.Queue.Front();
    // Nothing ready: a running stream's packet is lost, counted at its next service.
    if (!Eligible(front, Current))
        return;
    if (front->FirstService == NoMicroframe)
        front->FirstService = Current;

    if (endpoint.Setup.Kind == EndpointKind::Isochronous) {
        CountDrought(endpoint);
        endpoint.LastService = Current;
        const std::uint32_t bytes = front->MoveIsoPacket(front->NextPacket, service, Current);
        ++front->NextPacket;
        CountMoved(endpoint, bytes, 1);
        if (front->NextPacket >= front->IsoPacketCount())
            Finish(endpoint, finished);
        return;
    }

    // Interrupt: up to the endpoint's transactions this service.
    for (std::uint32_t transaction = 0; transaction < endpoint.Transactions; ++transaction) {
        const std::uint32_t room = Min(endpoint.PacketSize, front->Remaining());
        const PacketOutcome outcome = front->MovePacket(room);
        if (outcome.Result == PacketResult::Nak)
            return;
        if (outcome.Result == PacketResult::Error) {
            Finish(endpoint, finished);
            return;
        }
        CountMoved(endpoint, outcome.Bytes, 1);
        if (EndsTransfer(outcome, room, *front)) {
            Finish(endpoint, finished);
            return;
        }
    }
}

void Schedule::CountMoved(EndpointSlot& endpoint, std::uint32_t bytes, std::uint32_t packets) {
    endpoint.Counters.Bytes += bytes;
    endpoint.Counters.Packets += packets;
    endpoint.MovedThisMicroframe = true;
    MovedInStep = true;
}

bool Schedule::EndsTransfer(const PacketOutcome& outcome, std::uint32_t room,
                            const ScheduledTransfer& transfer) {
    // A short packet, the last one, or the zero-length packet of an empty transfer.
    return outcome.Bytes < room || transfer.Remaining() == 0 || room == 0;
}

unsigned Schedule::ServeBulk(TransferList& finished) {
    std::size_t count = 0;
    for (std::size_t i = 0; i < PresentCount; ++i) {
        const EndpointSlot& endpoint = Slots[Order[i]];
        if (!Periodic(endpoint.Setup.Kind) && !endpoint.Queue.Empty())
            Candidates[count++] = Order[i];
    }
    if (count == 0)
        return SlotsLeft;

    while (SlotsLeft > 0) {
        bool progress = false;
        // The host sent the device something this round: an endpoint that NAKed may now have
        // an answer.
        bool sent = false;
        for (std::size_t k = 0; k < count && SlotsLeft > 0; ++k) {
            EndpointSlot& endpoint = Slots[Candidates[(RoundRobin + k) % count]];
            if (endpoint.NakedThisMicroframe || endpoint.Queue.Empty())
                continue;
            ScheduledTransfer* front = endpoint.Queue.Front();
            if (!Eligible(front, Current))
                continue;
            if (front->FirstService == NoMicroframe)
                front->FirstService = Current;
            // A control transfer takes one slot for all its stages: its packets are at most
            // 64 bytes and it is rare next to the data, so modelling its stages would change
            // nothing a test can see.
            const bool control = endpoint.Setup.Kind == EndpointKind::Control;
            const std::uint32_t room =
                control ? front->Remaining() : Min(endpoint.PacketSize, front->Remaining());
            const PacketOutcome outcome = front->MovePacket(room);
            --SlotsLeft;
            progress = true;
            endpoint.NakedLastTry = outcome.Result == PacketResult::Nak;
            if (outcome.Result == PacketResult::Nak) {
                endpoint.NakedThisMicroframe = true;
                continue;
            }
            sent = sent || control || (endpoint.Setup.Address & 0x80) == 0;
            if (outcome.Result == PacketResult::Error) {
                Finish(endpoint, finished);
                continue;
            }
            CountMoved(endpoint, outcome.Bytes, 1);
            if (EndsTransfer(outcome, room, *front))
                Finish(endpoint, finished);
        }
        if (!progress)
            break;
        if (sent)
            for (std::size_t k = 0; k < count; ++k)
                Slots[Candidates[k]].NakedThisMicroframe = false;
    }
    ++RoundRobin;
    return SlotsLeft;
}

void Schedule::ServeUnthrottled(EndpointSlot& endpoint, TransferList& finished) {
    const std::uint32_t service = endpoint.PacketSize * endpoint.Transactions;
    const bool control = endpoint.Setup.Kind == EndpointKind::Control;
    while (Eligible(endpoint.Queue.Front(), Current)) {
        ScheduledTransfer* front = endpoint.Queue.Front();
        if (front->FirstService == NoMicroframe)
            front->FirstService = Current;
        if (endpoint.Setup.Kind == EndpointKind::Isochronous) {
            const std::uint32_t packets = front->IsoPacketCount();
            for (std::uint32_t i = front->NextPacket; i < packets; ++i) {
                endpoint.Counters.Bytes += front->MoveIsoPacket(i, service, Current);
                ++endpoint.Counters.Packets;
            }
            front->NextPacket = packets;
            endpoint.MovedThisMicroframe = true;
            MovedInStep = true;
            Finish(endpoint, finished);
            continue;
        }
        // Every whole packet the transfer wants in one go (the device ends it short if it has
        // less), then the packet that ends inside its buffer, if any.
        PacketOutcome outcome;
        std::uint32_t room = 0;
        do {
            room = control ? front->Remaining()
                           : RoomInWholePackets(front->Remaining(), endpoint.PacketSize);
            outcome = front->MovePacket(room);
            if (outcome.Result == PacketResult::Nak)
                return;
            if (outcome.Result == PacketResult::Data) {
                CountMoved(endpoint, outcome.Bytes,
                           room == 0
                               ? 1
                               : (outcome.Bytes + endpoint.PacketSize - 1) / endpoint.PacketSize);
            }
        } while (outcome.Result == PacketResult::Data && !EndsTransfer(outcome, room, *front));
        // A whole transfer, a short one or a failed one: in each case it has ended.
        Finish(endpoint, finished);
    }
}

void Schedule::Step(TransferList& finished) {
    const std::size_t finishedBefore = finished.Size();
    MovedInStep = false;
    // An open microframe had no periodic work when it was left open, so its periodic services
    // are done; a periodic transfer queued since then closes it and waits for the next.
    const bool freshMicroframe = !OpenMicroframe;
    for (std::size_t i = 0; i < PresentCount; ++i) {
        EndpointSlot& endpoint = Slots[Order[i]];
        if (!Settings_.Throttled) {
            ServeUnthrottled(endpoint, finished);
            endpoint.ServedThisMicroframe = true;
        } else if (Periodic(endpoint.Setup.Kind)) {
            if (freshMicroframe && Current % endpoint.Setup.Interval == 0) {
                const bool queuedBefore = !endpoint.Queue.Empty();
                ServePeriodic(endpoint, finished);
                endpoint.ServedThisMicroframe = queuedBefore;
            }
        } else {
            endpoint.ServedThisMicroframe =
                endpoint.ServedThisMicroframe || !endpoint.Queue.Empty();
        }
    }
    unsigned unused = 0;
    if (Settings_.Throttled)
        unused = ServeBulk(finished);

    Moved = finished.Size() != finishedBefore || MovedInStep;
    // Left open only when nothing at all is waiting: a NAKing device, a transfer not yet
    // eligible or an active stream make time pass.
    OpenMicroframe = Settings_.ElasticMicroframes && Settings_.Throttled && unused > 0 &&
                     unused < Settings_.BulkPacketsPerMicroframe && !HasWork();
    if (!OpenMicroframe)
        CloseMicroframe();
}

void Schedule::CloseMicroframe() {
    for (std::size_t i = 0; i < PresentCount; ++i) {
        EndpointSlot& endpoint = Slots[Order[i]];
        if (endpoint.MovedThisMicroframe) {
            ++endpoint.Counters.ActiveMicroframes;
            if (endpoint.Counters.FirstActiveMicroframe == NoMicroframe)
                endpoint.Counters.FirstActiveMicroframe = Current;
            endpoint.Counters.LastActiveMicroframe = Current;
        } else if (endpoint.ServedThisMicroframe && Settings_.Throttled)
            ++endpoint.Counters.IdleMicroframes;
        endpoint.MovedThisMicroframe = false;
        endpoint.ServedThisMicroframe = false;
        endpoint.NakedThisMicroframe = false;
    }
    OpenMicroframe = false;
    SlotsLeft = Settings_.BulkPacketsPerMicroframe;
    ++Current;
}

void Schedule::SkipTo(std::uint64_t microframe) {
    if (OpenMicroframe)
        CloseMicroframe();
    if (microframe > Current)
        Current = microframe;
}

bool Schedule::HasQueuedTransfers() const {
    for (std::size_t i = 0; i < PresentCount; ++i) {
        const EndpointSlot& endpoint = Slots[Order[i]];
        if (!endpoint.Queue.Empty() && !endpoint.Queue.Front()->Parked)
            return true;
    }
    return false;
}

std::uint64_t Schedule::NextEventMicroframe() const {
    std::uint64_t next = NoMicroframe;
    for (std::size_t i = 0; i < PresentCount; ++i) {
        const EndpointSlot& endpoint = Slots[Order[i]];
        const ScheduledTransfer* front = endpoint.Queue.Front();
        if (front == nullptr || front->Parked)
            continue;
        const std::uint64_t start = front->EligibleFrom > Current ? front->EligibleFrom : Current;
        std::uint64_t end = start;
        if (!Settings_.Throttled || endpoint.Setup.Kind == EndpointKind::Control) {
            end = start;
        } else if (Periodic(endpoint.Setup.Kind)) {
            const std::uint32_t interval = endpoint.Setup.Interval;
            end = ServiceAtOrAfter(start, interval);
            if (endpoint.Setup.Kind == EndpointKind::Isochronous) {
                const std::uint32_t count = front->IsoPacketCount();
                const std::uint32_t left =
                    count > front->NextPacket ? count - front->NextPacket : 1;
                end += std::uint64_t{left - 1} * interval;
            }
        } else if (endpoint.NakedLastTry) {
            end = start + kNakRetryMicroframes - 1;
        } else {
            // Even alone on the bus it needs this many microframes' packets.
            const std::uint64_t packets =
                (std::uint64_t{front->Remaining()} + endpoint.PacketSize - 1) / endpoint.PacketSize;
            const std::uint64_t microframes = (packets + Settings_.BulkPacketsPerMicroframe - 1) /
                                              Settings_.BulkPacketsPerMicroframe;
            end = start + (microframes > 0 ? microframes - 1 : 0);
        }
        next = Min(next, end);
    }
    return next;
}

EndpointCounters Schedule::Counters(EndpointId id) const {
    const EndpointSlot* endpoint = SlotOf(id);
    if (endpoint == nullptr || !endpoint->Used)
        return {};
    EndpointCounters counters = endpoint->Counters;
    // An open microframe counts as it will when it closes.
    if (OpenMicroframe && endpoint->Present) {
        if (endpoint->MovedThisMicroframe) {
            ++counters.ActiveMicroframes;
            if (counters.FirstActiveMicroframe == NoMicroframe)
                counters.FirstActiveMicroframe = Current;
            counters.LastActiveMicroframe = Current;
        } else if (endpoint->ServedThisMicroframe)
            ++counters.IdleMicroframes;
    }
    return counters;
}

void Schedule::ResetCounters() {
    for (EndpointSlot& endpoint : Slots)
        endpoint.Counters = EndpointCounters{};
}

std::uint32_t Schedule::BytesPerService(EndpointId id) const {
    const EndpointSlot* endpoint = SlotOf(id);
    return endpoint == nullptr ? 0 : endpoint->PacketSize * endpoint->Transactions;
}

bool Schedule::IsPeriodic(EndpointId id) const {
    const EndpointSlot* endpoint = SlotOf(id);
    return endpoint != nullptr && Periodic(endpoint->Setup.Kind);
}

} // namespace sim::core
