// Reads back what the capture writer produced, independently of it, so the tests check the file
// and not the writer's own idea of it.
#pragma once

#include <cstdint>
#include <filesystem>
#include <span>
#include <vector>

namespace sim::test {

// A directory of its own under the system's temporary folder, removed with everything in it.
class TempDir {
  public:
    TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    ~TempDir();

    const std::filesystem::path& Path() const { return Dir; }
    std::filesystem::path File(const char* name) const { return Dir / name; }

  private:
    std::filesystem::path Dir;
};

std::vector<std::uint8_t> ReadBytes(const std::filesystem::path& file);

std::uint16_t U16At(std::span<const std::uint8_t> bytes, std::size_t offset);
std::uint32_t U32At(std::span<const std::uint8_t> bytes, std::size_t offset);
std::uint64_t U64At(std::span<const std::uint8_t> bytes, std::size_t offset);

struct PcapRecord {
    std::uint32_t Seconds = 0;
    std::uint32_t Micros = 0;
    std::uint32_t OriginalLength = 0;
    std::vector<std::uint8_t> Bytes; // as captured: USBPcap header, then data

    // Fields of the USBPcap header every record has.
    std::uint16_t HeaderLength() const { return U16At(Bytes, 0); }
    std::uint64_t IrpId() const { return U64At(Bytes, 2); }
    std::uint8_t Info() const { return Bytes.at(16); }
    std::uint8_t Endpoint() const { return Bytes.at(21); }
    std::uint8_t Transfer() const { return Bytes.at(22); }
    std::uint32_t DataLength() const { return U32At(Bytes, 23); }
    std::span<const std::uint8_t> Header() const { return std::span(Bytes).first(HeaderLength()); }
    std::span<const std::uint8_t> Data() const { return std::span(Bytes).subspan(HeaderLength()); }
};

struct PcapFile {
    std::vector<std::uint8_t> GlobalHeader;
    std::vector<PcapRecord> Records;
};

// Fails the calling test (and returns what it has) on a file that does not parse whole.
PcapFile ReadPcap(const std::filesystem::path& file);

} // namespace sim::test
