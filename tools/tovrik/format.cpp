#include "format.h"

#include <fmt/format.h>

#include <algorithm>
#include <cctype>

namespace tovrik::cli {

void CheckOutputLength(std::uint64_t length, std::string_view option) {
    if (length > kMaxBuffer)
        throw UsageError(fmt::format("{} {} is more than the {} bytes the tool allocates for one "
                                     "request",
                                     option, length, kMaxBuffer));
}

std::int64_t ParseInteger(std::string_view text, std::int64_t min, std::int64_t max,
                          std::string_view what) {
    auto bad = [&](std::string_view why) {
        return UsageError(fmt::format("{} '{}': {}", what, text, why));
    };
    std::string_view s = text;
    bool negative = false;
    if (!s.empty() && (s[0] == '-' || s[0] == '+')) {
        negative = s[0] == '-';
        s.remove_prefix(1);
    }
    int base = 10;
    if (s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) {
        base = 16;
        s.remove_prefix(2);
    }
    if (s.empty())
        throw bad("not a number");
    // Accumulated as a magnitude in 64 bits with an overflow test at each digit, so that a
    // 20-digit value is refused instead of wrapping.
    std::uint64_t magnitude = 0;
    for (char c : s) {
        int digit;
        if (c >= '0' && c <= '9')
            digit = c - '0';
        else if (base == 16 && c >= 'a' && c <= 'f')
            digit = c - 'a' + 10;
        else if (base == 16 && c >= 'A' && c <= 'F')
            digit = c - 'A' + 10;
        else
            throw bad("not a number");
        if (magnitude >
            (UINT64_MAX - static_cast<std::uint64_t>(digit)) / static_cast<std::uint64_t>(base))
            throw bad("out of range");
        magnitude =
            magnitude * static_cast<std::uint64_t>(base) + static_cast<std::uint64_t>(digit);
    }
    if (!negative && magnitude > static_cast<std::uint64_t>(max))
        throw bad(fmt::format("above {}", max));
    if (negative) {
        if (magnitude > static_cast<std::uint64_t>(INT64_MAX) + 1 ||
            (magnitude != 0 && -static_cast<std::int64_t>(magnitude - 1) - 1 < min))
            throw bad(fmt::format("below {}", min));
        return magnitude == 0 ? 0 : -static_cast<std::int64_t>(magnitude - 1) - 1;
    }
    return static_cast<std::int64_t>(magnitude);
}

std::vector<std::uint8_t> ParseHex(std::string_view text) {
    auto isSeparator = [](char c) {
        return std::isspace(static_cast<unsigned char>(c)) || c == ':' || c == ',' || c == '-';
    };
    auto nibble = [&](char c) -> int {
        if (c >= '0' && c <= '9')
            return c - '0';
        if (c >= 'a' && c <= 'f')
            return c - 'a' + 10;
        if (c >= 'A' && c <= 'F')
            return c - 'A' + 10;
        throw UsageError(fmt::format("hex bytes '{}': '{}' is not a hex digit", text, c));
    };
    std::vector<std::uint8_t> bytes;
    std::size_t i = 0;
    while (i < text.size()) {
        if (isSeparator(text[i])) {
            ++i;
            continue;
        }
        std::size_t end = i;
        while (end < text.size() && !isSeparator(text[end]))
            ++end;
        std::string_view token = text.substr(i, end - i);
        if (token.size() > 2 && token[0] == '0' && (token[1] == 'x' || token[1] == 'X'))
            token.remove_prefix(2);
        // One or two digits make one byte ("a" is 0a); a longer run is a string of whole bytes.
        if (token.size() == 1) {
            bytes.push_back(static_cast<std::uint8_t>(nibble(token[0])));
        } else {
            if (token.size() % 2 != 0)
                throw UsageError(
                    fmt::format("hex bytes '{}': odd number of digits in '{}'", text, token));
            for (std::size_t k = 0; k < token.size(); k += 2)
                bytes.push_back(
                    static_cast<std::uint8_t>(nibble(token[k]) << 4 | nibble(token[k + 1])));
        }
        i = end;
    }
    return bytes;
}

std::string HexString(std::span<const std::uint8_t> bytes) {
    std::string s;
    s.reserve(bytes.size() * 2);
    for (std::uint8_t b : bytes)
        s += fmt::format("{:02x}", b);
    return s;
}

std::string HexDump(std::span<const std::uint8_t> bytes, std::size_t perLine,
                    std::string_view indent) {
    std::string s;
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        if (i != 0)
            s += (perLine != 0 && i % perLine == 0) ? fmt::format("\n{}", indent) : " ";
        s += fmt::format("{:02x}", bytes[i]);
    }
    return s;
}

std::string Hex(std::uint64_t value, int digits) {
    return fmt::format("0x{:0{}X}", value, digits);
}

void Table::Render(std::ostream& out, std::string_view indent) const {
    std::vector<std::size_t> widths(headers_.size());
    auto widen = [&widths](const std::vector<std::string>& row) {
        if (widths.size() < row.size())
            widths.resize(row.size());
        for (std::size_t c = 0; c < row.size(); ++c)
            widths[c] = std::max(widths[c], row[c].size());
    };
    widen(headers_);
    for (const auto& row : rows_)
        widen(row);
    auto line = [&](const std::vector<std::string>& row) {
        std::string text(indent);
        for (std::size_t c = 0; c < row.size(); ++c) {
            text += row[c];
            if (c + 1 < row.size())
                text.append(widths[c] - row[c].size() + 2, ' ');
        }
        while (!text.empty() && text.back() == ' ')
            text.pop_back();
        out << text << '\n';
    };
    if (!headers_.empty())
        line(headers_);
    for (const auto& row : rows_)
        line(row);
}

} // namespace tovrik::cli
