#include "pcap_file.h"

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>

#include <gtest/gtest.h>

namespace sim::test {

TempDir::TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "tovrik-capture-XXXXXX");
    if (mkdtemp(pattern.data()) == nullptr) {
        throw std::filesystem::filesystem_error("mkdtemp", pattern,
                                                std::error_code(errno, std::generic_category()));
    }
    Dir = pattern;
}

TempDir::~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(Dir, ignored);
}

std::vector<std::uint8_t> ReadBytes(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

static std::uint64_t LittleEndianAt(std::span<const std::uint8_t> bytes, std::size_t offset,
                                    std::size_t size) {
    if (offset > bytes.size() || bytes.size() - offset < size) {
        throw std::out_of_range("field past the end of the record");
    }
    std::uint64_t value = 0;
    for (std::size_t i = 0; i < size; ++i) {
        value |= std::uint64_t{bytes[offset + i]} << (8 * i);
    }
    return value;
}

std::uint16_t U16At(std::span<const std::uint8_t> bytes, std::size_t offset) {
    return static_cast<std::uint16_t>(LittleEndianAt(bytes, offset, 2));
}

std::uint32_t U32At(std::span<const std::uint8_t> bytes, std::size_t offset) {
    return static_cast<std::uint32_t>(LittleEndianAt(bytes, offset, 4));
}

std::uint64_t U64At(std::span<const std::uint8_t> bytes, std::size_t offset) {
    return LittleEndianAt(bytes, offset, 8);
}

PcapFile ReadPcap(const std::filesystem::path& file) {
    const std::vector<std::uint8_t> bytes = ReadBytes(file);
    PcapFile pcap;
    if (bytes.size() < 24) {
        ADD_FAILURE() << file << " is too short for a pcap header: " << bytes.size() << " bytes";
        return pcap;
    }
    pcap.GlobalHeader.assign(bytes.begin(), bytes.begin() + 24);
    std::size_t at = 24;
    const std::span<const std::uint8_t> all(bytes);
    while (at < bytes.size()) {
        if (bytes.size() - at < 16) {
            ADD_FAILURE() << "record header cut short at offset " << at;
            break;
        }
        PcapRecord record;
        record.Seconds = U32At(all, at);
        record.Micros = U32At(all, at + 4);
        const std::uint32_t captured = U32At(all, at + 8);
        record.OriginalLength = U32At(all, at + 12);
        at += 16;
        if (bytes.size() - at < captured) {
            ADD_FAILURE() << "record of " << captured << " bytes at offset " << at
                          << " runs past the end of the file";
            break;
        }
        record.Bytes.assign(bytes.begin() + static_cast<std::ptrdiff_t>(at),
                            bytes.begin() + static_cast<std::ptrdiff_t>(at + captured));
        at += captured;
        if (record.Bytes.size() < 27 || record.HeaderLength() > record.Bytes.size()) {
            ADD_FAILURE() << "record " << pcap.Records.size() << " has no whole USBPcap header";
            break;
        }
        pcap.Records.push_back(std::move(record));
    }
    return pcap;
}

} // namespace sim::test
