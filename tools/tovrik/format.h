// Text in and out of the tool: numbers and hex bytes as people type them, hex as scripts read
// it, and aligned tables.
#pragma once

#include <cstdint>
#include <limits>
#include <optional>
#include <ostream>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace tovrik::cli {

// A malformed argument; the tool reports it as a usage error (exit code 2).
class UsageError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// What the tool allocates for one request at most; a typo in a size should not eat the machine.
inline constexpr std::uint64_t kMaxBuffer = std::uint64_t{1} << 30;

// Refuses an output length above kMaxBuffer as a usage error naming `option`.
void CheckOutputLength(std::uint64_t length, std::string_view option);

// Decimal ("4096", "-1") or hexadecimal with 0x ("0x1000"), within [min, max]. A leading zero
// does not mean octal: "010" is ten.
std::int64_t ParseInteger(std::string_view text, std::int64_t min, std::int64_t max,
                          std::string_view what);

template <typename T> T ParseNumber(std::string_view text, std::string_view what) {
    constexpr auto min = static_cast<std::int64_t>(std::numeric_limits<T>::min());
    constexpr auto max = static_cast<std::uint64_t>(std::numeric_limits<T>::max()) >
                                 static_cast<std::uint64_t>(INT64_MAX)
                             ? INT64_MAX
                             : static_cast<std::int64_t>(std::numeric_limits<T>::max());
    return static_cast<T>(ParseInteger(text, min, max, what));
}

// Bytes in hex: "deadbeef", "de ad be ef", "de:ad:be:ef", "0xde,0xad". An empty text is no
// bytes.
std::vector<std::uint8_t> ParseHex(std::string_view text);

// Lowercase hex without separators ("" for none): what scripts get.
std::string HexString(std::span<const std::uint8_t> bytes);
// Lowercase hex bytes separated by spaces, 16 per line when `wrap`: what people read.
std::string HexDump(std::span<const std::uint8_t> bytes, std::size_t perLine = 16,
                    std::string_view indent = "");

// "0x%0*X".
std::string Hex(std::uint64_t value, int digits);

// Columns padded to their widest cell, two spaces apart; no trailing spaces.
class Table {
  public:
    explicit Table(std::vector<std::string> headers = {}) : headers_(std::move(headers)) {}
    void Add(std::vector<std::string> row) { rows_.push_back(std::move(row)); }
    bool Empty() const { return rows_.empty(); }
    void Render(std::ostream& out, std::string_view indent = "") const;

  private:
    std::vector<std::string> headers_;
    std::vector<std::vector<std::string>> rows_;
};

} // namespace tovrik::cli
