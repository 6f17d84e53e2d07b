// The driver's request codes by name, for `ioctl CODE` and for naming requests in replies.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace tovrik::cli {

struct CodeName {
    const char* Name;
    std::uint32_t Code;
};

// The 27 codes, in code order.
std::span<const CodeName> Codes();
// "IOCTL_TOVRIK_GET_PIPE_INFO" for 0x222000; nothing for a code the driver does not define.
std::optional<std::string> NameOfCode(std::uint32_t code);
// A code by its name (with or without IOCTL_TOVRIK_, any case) or in hex (with or without
// 0x). Throws UsageError for anything else.
std::uint32_t ParseCode(std::string_view text);

} // namespace tovrik::cli
