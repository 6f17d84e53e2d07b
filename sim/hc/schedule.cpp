#include "hc/schedule.h"

#include <algorithm>

namespace sim::hc {

namespace {

bool Periodic(EndpointKind kind) {
    return kind == EndpointKind::Isochronous || kind == EndpointKind::Interrupt;
}

} // namespace

Schedule::Schedule(Options options) : Settings(options) {
    if (Settings.BulkPacketsPerMicroframe == 0)
        Settings.BulkPacketsPerMicroframe = 1;
}

EndpointId Schedule::AddEndpoint(const EndpointSetup& setup, LostPacketSink* lost) {
    Endpoint endpoint;
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
    Endpoints.push_back(std::move(endpoint));
    return static_cast<EndpointId>(Endpoints.size() - 1);
}

// A whole frame without a queued URB: the client stopped streaming.
constexpr std::uint32_t kIsoStoppedAfterIdleMicroframes = MicroframesPerFrame;

std::vector<Transfer*> Schedule::Flush(EndpointId id) {
    Endpoint& endpoint = Endpoints.at(id);
    std::vector<Transfer*> queued(endpoint.Queue.begin(), endpoint.Queue.end());
    endpoint.Queue.clear();
    endpoint.IsoActive = false;
    return queued;
}

std::vector<Transfer*> Schedule::RemoveEndpoint(EndpointId id) {
    std::vector<Transfer*> queued = Flush(id);
    Endpoints.at(id).Present = false;
    return queued;
}

void Schedule::Queue(EndpointId id, Transfer* transfer, std::uint64_t eligibleFrom) {
    Endpoint& endpoint = Endpoints.at(id);
    transfer->EligibleFrom = eligibleFrom;
    transfer->NextPacket = 0;
    transfer->Ended = false;
    endpoint.Queue.push_back(transfer);
    if (endpoint.Setup.Kind == EndpointKind::Isochronous) {
        endpoint.IsoActive = true;
        endpoint.IdleIsoMicroframes = 0;
    }
}

bool Schedule::Remove(EndpointId id, Transfer* transfer) {
    Endpoint& endpoint = Endpoints.at(id);
    auto found = std::find(endpoint.Queue.begin(), endpoint.Queue.end(), transfer);
    if (found == endpoint.Queue.end())
        return false;
    endpoint.Queue.erase(found);
    return true;
}

bool Schedule::Eligible(const Transfer* transfer, std::uint64_t microframe) {
    return transfer != nullptr && !transfer->Parked && transfer->EligibleFrom <= microframe;
}

void Schedule::Finish(Endpoint& endpoint, std::vector<Transfer*>& finished) {
    Transfer* transfer = endpoint.Queue.front();
    endpoint.Queue.pop_front();
    transfer->Ended = true;
    ++endpoint.Counters.Transfers;
    finished.push_back(transfer);
}

void Schedule::ServePeriodic(Endpoint& endpoint, std::vector<Transfer*>& finished, bool& moved) {
    const std::uint32_t service = endpoint.PacketSize * endpoint.Transactions;
    Transfer* front = endpoint.Queue.empty() ? nullptr : endpoint.Queue.front();
    if (!Eligible(front, Current)) {
        if (endpoint.Setup.Kind == EndpointKind::Isochronous && endpoint.IsoActive) {
            // A stream that left nothing queued for a whole frame has stopped, not fallen
            // behind: its client ended it, so the microframes after are not its losses.
            if (front == nullptr &&
                ++endpoint.IdleIsoMicroframes > kIsoStoppedAfterIdleMicroframes) {
                endpoint.IsoActive = false;
                return;
            }
            ++endpoint.Counters.LostIsoPackets;
            if (endpoint.Lost != nullptr)
                endpoint.Lost->PacketLost(service);
        }
        return;
    }
    endpoint.IdleIsoMicroframes = 0;
    if (front->FirstService == ~std::uint64_t{0})
        front->FirstService = Current;

    if (endpoint.Setup.Kind == EndpointKind::Isochronous) {
        const std::uint32_t bytes = front->MoveIsoPacket(front->NextPacket, service, Current);
        ++front->NextPacket;
        endpoint.Counters.Bytes += bytes;
        ++endpoint.Counters.Packets;
        moved = true;
        if (front->NextPacket >= front->IsoPacketCount())
            Finish(endpoint, finished);
        return;
    }

    // Interrupt: up to the endpoint's transactions this service.
    for (std::uint32_t transaction = 0; transaction < endpoint.Transactions; ++transaction) {
        const std::uint32_t room = std::min(endpoint.PacketSize, front->Remaining());
        const PacketOutcome outcome = front->MovePacket(room);
        if (outcome.Result == PacketResult::Nak)
            return;
        if (outcome.Result == PacketResult::Error) {
            Finish(endpoint, finished);
            return;
        }
        endpoint.Counters.Bytes += outcome.Bytes;
        ++endpoint.Counters.Packets;
        moved = true;
        if (outcome.Bytes < room || front->Remaining() == 0 || room == 0) {
            Finish(endpoint, finished);
            return;
        }
    }
}

void Schedule::ServeBulk(std::vector<Transfer*>& finished, std::vector<bool>& moved) {
    std::vector<std::size_t> candidates;
    for (std::size_t i = 0; i < Endpoints.size(); ++i) {
        const Endpoint& endpoint = Endpoints[i];
        if (endpoint.Present && !Periodic(endpoint.Setup.Kind) && !endpoint.Queue.empty())
            candidates.push_back(i);
    }
    if (candidates.empty())
        return;

    std::vector<bool> naked(Endpoints.size(), false);
    unsigned slots = Settings.BulkPacketsPerMicroframe;
    const std::size_t count = candidates.size();
    while (slots > 0) {
        bool progress = false;
        for (std::size_t k = 0; k < count && slots > 0; ++k) {
            const std::size_t index = candidates[(RoundRobin + k) % count];
            Endpoint& endpoint = Endpoints[index];
            if (naked[index] || endpoint.Queue.empty())
                continue;
            Transfer* front = endpoint.Queue.front();
            if (!Eligible(front, Current))
                continue;
            if (front->FirstService == ~std::uint64_t{0})
                front->FirstService = Current;
            // A control transfer takes one slot for all its stages: its packets are at most
            // 64 bytes and it is rare next to the data, so modelling its stages would change
            // nothing a test can see.
            const std::uint32_t room = endpoint.Setup.Kind == EndpointKind::Control
                                           ? front->Remaining()
                                           : std::min(endpoint.PacketSize, front->Remaining());
            const PacketOutcome outcome = front->MovePacket(room);
            --slots;
            progress = true;
            if (outcome.Result == PacketResult::Nak) {
                naked[index] = true;
                continue;
            }
            if (outcome.Result == PacketResult::Error) {
                Finish(endpoint, finished);
                continue;
            }
            endpoint.Counters.Bytes += outcome.Bytes;
            ++endpoint.Counters.Packets;
            moved[index] = true;
            if (outcome.Bytes < room || front->Remaining() == 0 || room == 0)
                Finish(endpoint, finished);
        }
        if (!progress)
            break;
    }
    ++RoundRobin;
}

void Schedule::ServeUnthrottled(Endpoint& endpoint, std::vector<Transfer*>& finished, bool& moved) {
    const std::uint32_t service = endpoint.PacketSize * endpoint.Transactions;
    while (Eligible(endpoint.Queue.empty() ? nullptr : endpoint.Queue.front(), Current)) {
        Transfer* front = endpoint.Queue.front();
        if (front->FirstService == ~std::uint64_t{0})
            front->FirstService = Current;
        if (endpoint.Setup.Kind == EndpointKind::Isochronous) {
            const std::uint32_t packets = front->IsoPacketCount();
            for (std::uint32_t i = front->NextPacket; i < packets; ++i) {
                endpoint.Counters.Bytes += front->MoveIsoPacket(i, service, Current);
                ++endpoint.Counters.Packets;
            }
            front->NextPacket = packets;
            moved = true;
            Finish(endpoint, finished);
            continue;
        }
        // Everything the transfer wants in one go: the device ends it short if it has less.
        const std::uint32_t room = front->Remaining();
        const PacketOutcome outcome = front->MovePacket(room);
        if (outcome.Result == PacketResult::Nak)
            return;
        if (outcome.Result == PacketResult::Data) {
            endpoint.Counters.Bytes += outcome.Bytes;
            endpoint.Counters.Packets +=
                room == 0 ? 1 : (outcome.Bytes + endpoint.PacketSize - 1) / endpoint.PacketSize;
            moved = true;
        }
        // A whole transfer, a short one or a failed one: in each case it has ended.
        Finish(endpoint, finished);
    }
}

void Schedule::Step(std::vector<Transfer*>& finished) {
    const std::size_t finishedBefore = finished.size();
    std::vector<bool> moved(Endpoints.size(), false);
    std::vector<bool> served(Endpoints.size(), false);
    for (std::size_t i = 0; i < Endpoints.size(); ++i) {
        Endpoint& endpoint = Endpoints[i];
        if (!endpoint.Present)
            continue;
        bool m = false;
        if (!Settings.Throttled) {
            ServeUnthrottled(endpoint, finished, m);
            served[i] = true;
        } else if (Periodic(endpoint.Setup.Kind)) {
            if (Current % endpoint.Setup.Interval == 0) {
                const bool queuedBefore = !endpoint.Queue.empty();
                ServePeriodic(endpoint, finished, m);
                served[i] = queuedBefore;
            }
        } else {
            served[i] = !endpoint.Queue.empty();
        }
        moved[i] = m;
    }
    if (Settings.Throttled)
        ServeBulk(finished, moved);

    for (std::size_t i = 0; i < Endpoints.size(); ++i) {
        Endpoint& endpoint = Endpoints[i];
        if (!endpoint.Present)
            continue;
        if (moved[i])
            ++endpoint.Counters.ActiveMicroframes;
        else if (served[i] && Settings.Throttled)
            ++endpoint.Counters.IdleMicroframes;
    }
    Moved = finished.size() != finishedBefore ||
            std::find(moved.begin(), moved.end(), true) != moved.end();
    ++Current;
}

void Schedule::SkipTo(std::uint64_t microframe) {
    if (microframe > Current)
        Current = microframe;
}

bool Schedule::HasWork() const {
    for (const Endpoint& endpoint : Endpoints) {
        if (!endpoint.Present)
            continue;
        if (endpoint.IsoActive && Settings.Throttled)
            return true;
        // Transfers of one endpoint go in order: one behind a parked transfer cannot move.
        if (!endpoint.Queue.empty() && !endpoint.Queue.front()->Parked)
            return true;
    }
    return false;
}

bool Schedule::HasQueuedTransfers() const {
    for (const Endpoint& endpoint : Endpoints)
        if (endpoint.Present && !endpoint.Queue.empty() && !endpoint.Queue.front()->Parked)
            return true;
    return false;
}

EndpointCounters Schedule::Counters(EndpointId id) const {
    return Endpoints.at(id).Counters;
}

void Schedule::ResetCounters() {
    for (Endpoint& endpoint : Endpoints)
        endpoint.Counters = EndpointCounters{};
}

std::uint32_t Schedule::BytesPerService(EndpointId id) const {
    const Endpoint& endpoint = Endpoints.at(id);
    return endpoint.PacketSize * endpoint.Transactions;
}

} // namespace sim::hc
