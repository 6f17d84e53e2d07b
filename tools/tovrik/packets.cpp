#include "packets.h"

#include "format.h"
#include "image.h"

#include <fmt/format.h>

#include <algorithm>

namespace tovrik::cli {

namespace {

// The real bytes of a packet: a device may report more than the place holds; never read past it.
std::span<const std::uint8_t> RealBytes(const ISO_PACKET_DESCRIPTOR& d,
                                        std::span<const std::uint8_t> place) {
    return place.first(std::min<std::size_t>(d.Length, place.size()));
}

} // namespace

void PacketStats::Add(const ISO_PACKET_DESCRIPTOR& d, std::span<const std::uint8_t> place) {
    ++Packets;
    std::span<const std::uint8_t> bytes = RealBytes(d, place);
    Bytes += bytes.size();
    if (d.Status != 0) {
        ++Errors[d.Status];
        return;
    }
    if (bytes.size() < place.size())
        ++ShortPackets;
    if (bytes.empty())
        ++EmptyPackets;
    if (bytes.size() < 4)
        return;
    std::uint32_t sequence =
        static_cast<std::uint32_t>(bytes[0]) | static_cast<std::uint32_t>(bytes[1]) << 8 |
        static_cast<std::uint32_t>(bytes[2]) << 16 | static_cast<std::uint32_t>(bytes[3]) << 24;
    if (!FirstSequence)
        FirstSequence = sequence;
    if (LastSequence) {
        auto step = static_cast<std::int32_t>(sequence - *LastSequence);
        if (step <= 0)
            ++OutOfOrder;
        else if (step > 1)
            ++SequenceGaps;
        unwrapped_ += step;
        lowest_ = std::min(lowest_, unwrapped_);
        highest_ = std::max(highest_, unwrapped_);
    }
    LastSequence = sequence;
    ++Numbered;
}

std::uint64_t PacketStats::LostSequenceNumbers() const {
    if (Numbered == 0)
        return 0;
    auto span = static_cast<std::uint64_t>(highest_ - lowest_) + 1;
    return span > Numbered ? span - Numbered : 0;
}

std::uint64_t PacketStats::ErrorPackets() const {
    std::uint64_t n = 0;
    for (const auto& [status, count] : Errors)
        n += count;
    return n;
}

nlohmann::ordered_json PacketStats::ToJson() const {
    nlohmann::ordered_json errors = nlohmann::ordered_json::array();
    for (const auto& [status, count] : Errors)
        errors.push_back({{"usbd_status", Hex(static_cast<std::uint32_t>(status), 8)},
                          {"usbd_status_name", UsbdStatusName(static_cast<std::uint32_t>(status))},
                          {"packets", count}});
    auto optional = [](const std::optional<std::uint32_t>& v) {
        return v ? nlohmann::ordered_json(*v) : nlohmann::ordered_json(nullptr);
    };
    return {{"packets", Packets},
            {"bytes", Bytes},
            {"error_packets", ErrorPackets()},
            {"errors", errors},
            {"short_packets", ShortPackets},
            {"empty_packets", EmptyPackets},
            {"first_sequence", optional(FirstSequence)},
            {"last_sequence", optional(LastSequence)},
            {"sequence_gaps", SequenceGaps},
            {"lost_sequence_numbers", LostSequenceNumbers()},
            {"out_of_order", OutOfOrder}};
}

PayloadFile::PayloadFile(const std::filesystem::path& path) : path_(path) {
    MakeParentFolders(path);
    // Proved writable without touching what it holds: a request that is refused leaves an
    // earlier capture in the file as it was.
    std::error_code error;
    created_ = !std::filesystem::exists(path, error);
    std::ofstream probe(path, std::ios::binary | std::ios::app);
    if (!probe)
        throw FileError(fmt::format("cannot write '{}'", path.string()));
}

void PayloadFile::Begin() {
    if (path_.empty())
        return;
    begun_ = true;
    out_.open(path_, std::ios::binary | std::ios::trunc);
}

void PayloadFile::Add(const ISO_PACKET_DESCRIPTOR& d, std::span<const std::uint8_t> place) {
    if (!out_.is_open())
        return;
    std::span<const std::uint8_t> bytes = RealBytes(d, place);
    out_.write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
    bytes_ += bytes.size();
}

void PayloadFile::Close() {
    if (!begun_) {
        // Nothing was read: a file the probe created goes again.
        std::error_code error;
        if (created_)
            std::filesystem::remove(path_, error);
        return;
    }
    if (out_.is_open())
        out_.close();
    if (!out_)
        throw FileError(fmt::format("cannot write '{}'", path_.string()));
}

} // namespace tovrik::cli
