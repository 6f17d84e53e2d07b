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
    std::uint64_t Bytes = 0; // real bytes: the descriptors' Length
    std::uint64_t ShortPackets =
        0; // ended without error but below the packet size (empty ones too)
    std::uint64_t EmptyPackets = 0;
    std::map<std::int32_t, std::uint64_t> Errors; // USBD status → packets that ended with it
    // Sequence numbers of the packets that carried one (no error, at least 4 bytes), in the
    // order the packets are laid out. A camera never sends a number twice, so the numbers
    // missing are those between the lowest and the highest that no packet carried, whatever
    // order the packets came in.
    std::optional<std::uint32_t> FirstSequence;
    std::optional<std::uint32_t> LastSequence;
    std::uint64_t Numbered = 0;
    std::uint64_t SequenceGaps = 0; // places where the next packet skipped numbers forward
    std::uint64_t OutOfOrder = 0;   // a packet whose number is not above the one before it
    std::uint64_t LostSequenceNumbers() const;

    // One packet: its descriptor and its place of `packetSize` bytes in the data.
    void Add(const ISO_PACKET_DESCRIPTOR& descriptor, std::span<const std::uint8_t> place);
    std::uint64_t ErrorPackets() const;
    nlohmann::ordered_json ToJson() const;

  private:
    // Numbers unwrapped to 64 bits (each step taken as a signed 32-bit difference), so a stream
    // that runs past 2^32 packets keeps one line of numbers.
    std::int64_t unwrapped_ = 0;
    std::int64_t lowest_ = 0;
    std::int64_t highest_ = 0;
};

// The payload of packets in a file: each packet's real bytes, one after the other. The file is
// emptied only once its request has succeeded (Begin): until then it keeps what it held.
class PayloadFile {
  public:
    PayloadFile() = default;
    // Throws FileError when the file cannot be written.
    explicit PayloadFile(const std::filesystem::path& path);
    // The request succeeded: the file starts empty and takes the packets. A file that cannot be
    // opened now fails Close.
    void Begin();
    bool Begun() const { return begun_; }
    bool IsOpen() const { return out_.is_open(); }
    void Add(const ISO_PACKET_DESCRIPTOR& descriptor, std::span<const std::uint8_t> place);
    // Throws FileError when a write failed. Without Begin the file is left as it was (and one
    // the constructor created is removed).
    void Close();
    std::uint64_t Bytes() const { return bytes_; }
    const std::filesystem::path& Path() const { return path_; }

  private:
    std::filesystem::path path_;
    std::ofstream out_;
    std::uint64_t bytes_ = 0;
    bool created_ = false;
    bool begun_ = false;
};

} // namespace tovrik::cli
