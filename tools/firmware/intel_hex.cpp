#include "intel_hex.h"

#include <fmt/format.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <optional>

namespace tovrik::firmware {
namespace {

constexpr std::uint8_t kTypeData = 0x00;
constexpr std::uint8_t kTypeEndOfFile = 0x01;

// What the record types we refuse are, so the message tells the user why the file is not one
// for this camera rather than only that a number was unexpected.
std::string_view record_type_name(std::uint8_t type) {
    switch (type) {
    case 0x02:
        return "extended segment address";
    case 0x03:
        return "start segment address";
    case 0x04:
        return "extended linear address";
    case 0x05:
        return "start linear address";
    default:
        return "unknown";
    }
}

std::optional<std::uint8_t> hex_digit(char c) {
    if (c >= '0' && c <= '9') {
        return static_cast<std::uint8_t>(c - '0');
    }
    if (c >= 'A' && c <= 'F') {
        return static_cast<std::uint8_t>(c - 'A' + 10);
    }
    if (c >= 'a' && c <= 'f') {
        return static_cast<std::uint8_t>(c - 'a' + 10);
    }
    return std::nullopt;
}

std::string_view trim(std::string_view s) {
    constexpr std::string_view kBlank = " \t\r\n\f\v";
    const auto first = s.find_first_not_of(kBlank);
    if (first == std::string_view::npos) {
        return {};
    }
    return s.substr(first, s.find_last_not_of(kBlank) - first + 1);
}

// The bytes of one record line (after the colon), checked for length and checksum.
std::vector<std::uint8_t> decode_line(std::string_view line, std::size_t number) {
    if (line.front() != ':') {
        throw HexError(number, "a record must start with ':'");
    }
    const std::string_view digits = line.substr(1);
    std::vector<std::uint8_t> bytes;
    bytes.reserve(digits.size() / 2);
    for (std::size_t i = 0; i + 1 < digits.size(); i += 2) {
        const auto high = hex_digit(digits[i]);
        const auto low = hex_digit(digits[i + 1]);
        if (!high || !low) {
            throw HexError(number,
                           fmt::format("'{}' is not a hexadecimal byte", digits.substr(i, 2)));
        }
        bytes.push_back(static_cast<std::uint8_t>(*high << 4 | *low));
    }
    // Count, two address bytes, type and checksum are always there.
    constexpr std::size_t kOverhead = 5;
    if (digits.size() % 2 != 0 || bytes.size() < kOverhead ||
        bytes.size() != kOverhead + bytes[0]) {
        const std::size_t declared = bytes.empty() ? 0 : bytes[0];
        if (digits.size() < 2 * (kOverhead + declared)) {
            throw HexError(number,
                           fmt::format("record is truncated: {} hexadecimal digits where "
                                       "a record of {} data bytes has {}",
                                       digits.size(), declared, 2 * (kOverhead + declared)));
        }
        throw HexError(
            number, fmt::format("record is longer than its count of {} data bytes says", declared));
    }
    unsigned sum = 0;
    for (const auto b : bytes) {
        sum += b;
    }
    if (sum % 256 != 0) {
        unsigned without_checksum = sum - bytes.back();
        throw HexError(number, fmt::format("checksum is {:02X}, the record's bytes need {:02X}",
                                           bytes.back(), (256 - without_checksum % 256) % 256));
    }
    return bytes;
}

} // namespace

HexError::HexError(std::size_t line, const std::string& message)
    : std::runtime_error(line == 0 ? message : fmt::format("line {}: {}", line, message)),
      line_(line) {}

std::vector<DataRecord> parse_intel_hex(std::string_view text) {
    std::vector<DataRecord> records;
    bool ended = false;
    std::size_t number = 0;
    while (!text.empty()) {
        const auto newline = text.find('\n');
        const std::string_view raw = text.substr(0, newline);
        text = newline == std::string_view::npos ? std::string_view{} : text.substr(newline + 1);
        ++number;

        const std::string_view line = trim(raw);
        if (line.empty()) {
            continue;
        }
        if (ended) {
            throw HexError(number, "content after the end-of-file record");
        }
        const auto bytes = decode_line(line, number);
        const std::uint8_t count = bytes[0];
        const auto address = static_cast<std::uint16_t>(bytes[1] << 8 | bytes[2]);
        const std::uint8_t type = bytes[3];

        if (type == kTypeEndOfFile) {
            if (count != 0) {
                throw HexError(number, "the end-of-file record carries data");
            }
            ended = true;
            continue;
        }
        if (type != kTypeData) {
            throw HexError(number,
                           fmt::format("record type {:02X} ({}) is not supported: only data (00) "
                                       "and end-of-file (01) records fit the camera's 16-bit "
                                       "memory",
                                       type, record_type_name(type)));
        }
        if (count == 0) {
            continue;
        }
        DataRecord record{address, {bytes.begin() + 4, bytes.end() - 1}};
        if (record.end() > 0x10000) {
            throw HexError(number, fmt::format("data at {:04X} runs past address FFFF", address));
        }
        records.push_back(std::move(record));
    }
    if (!ended) {
        throw HexError(0, "no end-of-file record (:00000001FF); the file is probably truncated");
    }
    return records;
}

std::vector<DataRecord> split_records(std::span<const DataRecord> records, std::size_t max_data) {
    std::vector<DataRecord> out;
    out.reserve(records.size());
    for (const auto& record : records) {
        for (std::size_t offset = 0; offset < record.data.size(); offset += max_data) {
            const std::size_t length = std::min(max_data, record.data.size() - offset);
            const auto first = record.data.begin() + static_cast<std::ptrdiff_t>(offset);
            out.push_back({static_cast<std::uint16_t>(record.address + offset),
                           {first, first + static_cast<std::ptrdiff_t>(length)}});
        }
    }
    return out;
}

std::vector<std::uint8_t> memory_image(std::span<const DataRecord> records) {
    std::uint32_t top = 0;
    for (const auto& record : records) {
        top = std::max(top, record.end());
    }
    std::vector<std::uint8_t> image(top, 0);
    for (const auto& record : records) {
        std::ranges::copy(record.data, image.begin() + record.address);
    }
    return image;
}

std::string format_intel_hex(std::span<const DataRecord> records) {
    std::string out;
    for (const auto& record : records) {
        if (record.data.size() > 255) {
            throw std::invalid_argument("an Intel HEX record holds at most 255 bytes");
        }
        const auto count = static_cast<std::uint8_t>(record.data.size());
        const auto high = static_cast<std::uint8_t>(record.address >> 8);
        const auto low = static_cast<std::uint8_t>(record.address & 0xFF);
        unsigned sum = count + high + low + kTypeData;
        fmt::format_to(std::back_inserter(out), ":{:02X}{:04X}{:02X}", count, record.address,
                       kTypeData);
        for (const auto b : record.data) {
            fmt::format_to(std::back_inserter(out), "{:02X}", b);
            sum += b;
        }
        fmt::format_to(std::back_inserter(out), "{:02X}\n", (256 - sum % 256) % 256);
    }
    out += ":00000001FF\n";
    return out;
}

std::string read_file(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        throw std::runtime_error(fmt::format("{}: cannot open", path.string()));
    }
    std::string contents{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    if (in.bad()) {
        throw std::runtime_error(fmt::format("{}: cannot read", path.string()));
    }
    return contents;
}

void write_file_atomically(const std::filesystem::path& path, std::string_view contents) {
    auto temporary = path;
    temporary += ".tmp";
    {
        std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
        out.write(contents.data(), static_cast<std::streamsize>(contents.size()));
        out.close();
        if (!out) {
            std::error_code ignored;
            std::filesystem::remove(temporary, ignored);
            throw std::runtime_error(fmt::format("{}: cannot write", temporary.string()));
        }
    }
    std::filesystem::rename(temporary, path);
}

} // namespace tovrik::firmware
