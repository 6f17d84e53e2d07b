// Intel HEX as the camera's firmware uses it: 16-bit addresses, data records (type 00) and one
// end-of-file record (type 01). Shared by the stand-in generator, the build-time converter and
// their tests.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace tovrik::firmware {

// Most data bytes in one driver record (FIRMWARE_RECORD.Data).
inline constexpr std::size_t kMaxRecordData = 16;

// One data record: bytes for device memory starting at an address.
struct DataRecord {
    std::uint16_t address = 0;
    std::vector<std::uint8_t> data;

    // One past the last address written, as a 32-bit value so a record ending at 0xFFFF has an
    // end of 0x10000 rather than wrapping to 0.
    std::uint32_t end() const { return address + static_cast<std::uint32_t>(data.size()); }

    bool operator==(const DataRecord&) const = default;
};

// A HEX file that cannot be used, with the line it was found on (0 when it concerns the whole
// file).
class HexError : public std::runtime_error {
  public:
    HexError(std::size_t line, const std::string& message);
    std::size_t line() const { return line_; }

  private:
    std::size_t line_;
};

// The data records of a HEX file, in file order. Every checksum is verified; data records with no
// bytes are dropped (they write nothing); everything after the end-of-file record must be blank.
// Refuses other record types (extended addresses, start addresses): the camera's memory is
// addressed with 16 bits and its CPU starts at 0. Also refuses a record that runs past 0xFFFF and
// a file without an end-of-file record, which is usually a truncated one.
std::vector<DataRecord> parse_intel_hex(std::string_view text);

// The same records with none longer than max_data bytes: a long record becomes consecutive
// records of max_data bytes and a shorter last one, in its place in the order.
std::vector<DataRecord> split_records(std::span<const DataRecord> records,
                                      std::size_t max_data = kMaxRecordData);

// Device memory as the records leave it, from address 0 to the highest address written; bytes no
// record writes are 0. Empty when there are no records.
std::vector<std::uint8_t> memory_image(std::span<const DataRecord> records);

// The records as Intel HEX text (upper-case digits, one record a line, LF line ends), closed by
// the end-of-file record.
std::string format_intel_hex(std::span<const DataRecord> records);

// Whole-file helpers; both throw std::runtime_error naming the path when the file cannot be used.
std::string read_file(const std::filesystem::path& path);
// Writes through a temporary file in the same folder and renames it, so a failed run never leaves
// a half-written output that a build tool could take for up to date.
void write_file_atomically(const std::filesystem::path& path, std::string_view contents);

} // namespace tovrik::firmware
