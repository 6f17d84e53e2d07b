// Isochronous packets as the tool counts them: how many came, how many bytes, which ended with
// an error, which were short, and where the sequence numbers the camera puts in the first four
// bytes of every packet jumped (a packet that never reached us).
#pragma once

#include "tovrik/sdk.hpp"

#include <nlohmann/json.hpp>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <span>

namespace tovrik::cli {

struct PacketStats {
    std::uint64_t Packets = 0;
    std::uint64_t Bytes = 0;        // real bytes: the descriptors' Length
    std::uint64_t ShortPackets = 0; // ended without error but below the packet size (empty ones too)
    std::uint64_t EmptyPackets = 0;
    std::map<std::int32_t, std::uint64_t> Errors; // USBD status → packets that ended with it
    // Sequence numbers of the packets that carried one (no error, at least 4 bytes).
    std::optional<std::uint32_t> FirstSequence;
    std::optional<std::uint32_t> LastSequence;
    std::uint64_t SequenceGaps = 0;       // places where the next number was skipped
    std::uint64_t LostSequenceNumbers = 0; // numbers skipped in all
    std::uint64_t OutOfOrder = 0;          // a number not above the one before it

    // One packet: its descriptor and its place of `packetSize` bytes in the data.
    void Add(const ISO_PACKET_DESCRIPTOR& descriptor, std::span<const std::uint8_t> place);
    std::uint64_t ErrorPackets() const;
    nlohmann::ordered_json ToJson() const;
};

// The payload of packets in a file: each packet's real bytes, one after the other.
class PayloadFile {
public:
    PayloadFile() = default;
    // Throws FileError when the file cannot be created.
    explicit PayloadFile(const std::filesystem::path& path);
    bool IsOpen() const { return out_.is_open(); }
    void Add(const ISO_PACKET_DESCRIPTOR& descriptor, std::span<const std::uint8_t> place);
    // Throws FileError when a write failed.
    void Close();
    std::uint64_t Bytes() const { return bytes_; }
    const std::filesystem::path& Path() const { return path_; }

private:
    std::filesystem::path path_;
    std::ofstream out_;
    std::uint64_t bytes_ = 0;
};

} // namespace tovrik::cli
