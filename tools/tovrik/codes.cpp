#include "codes.h"

#include "format.h"
#include "tovrik/tovrik.h"

#include <fmt/format.h>

#include <algorithm>
#include <cctype>
#include <string>

namespace tovrik::cli {

namespace {

#define TOVRIK_CODE(name)                                                                          \
    CodeName {                                                                                     \
#name, name                                                                                \
    }
constexpr CodeName kCodes[] = {
    TOVRIK_CODE(IOCTL_TOVRIK_GET_PIPE_INFO),
    TOVRIK_CODE(IOCTL_TOVRIK_GET_DEVICE_DESCRIPTOR),
    TOVRIK_CODE(IOCTL_TOVRIK_GET_CONFIGURATION_DESCRIPTOR),
    TOVRIK_CODE(IOCTL_TOVRIK_VENDOR_REQUEST),
    TOVRIK_CODE(IOCTL_TOVRIK_NO_OPERATION),
    TOVRIK_CODE(IOCTL_TOVRIK_DOWNLOAD_RAM),
    TOVRIK_CODE(IOCTL_TOVRIK_RESET_PORT),
    TOVRIK_CODE(IOCTL_TOVRIK_RESET_PIPE),
    TOVRIK_CODE(IOCTL_TOVRIK_ABORT_PIPE),
    TOVRIK_CODE(IOCTL_TOVRIK_SET_INTERFACE),
    TOVRIK_CODE(IOCTL_TOVRIK_GET_STRING_DESCRIPTOR),
    TOVRIK_CODE(IOCTL_TOVRIK_BULK_READ),
    TOVRIK_CODE(IOCTL_TOVRIK_BULK_WRITE),
    TOVRIK_CODE(IOCTL_TOVRIK_GET_FRAME_NUMBER),
    TOVRIK_CODE(IOCTL_TOVRIK_CONTROL_REQUEST),
    TOVRIK_CODE(IOCTL_TOVRIK_GET_LAST_ERROR),
    TOVRIK_CODE(IOCTL_TOVRIK_ISO_READ),
    TOVRIK_CODE(IOCTL_TOVRIK_ISO_WRITE),
    TOVRIK_CODE(IOCTL_TOVRIK_WRITE_RAM),
    TOVRIK_CODE(IOCTL_TOVRIK_GET_DRIVER_VERSION),
    TOVRIK_CODE(IOCTL_TOVRIK_START_ISO_STREAM),
    TOVRIK_CODE(IOCTL_TOVRIK_STOP_ISO_STREAM),
    TOVRIK_CODE(IOCTL_TOVRIK_READ_ISO_STREAM),
    TOVRIK_CODE(IOCTL_TOVRIK_SET_FEATURE),
    TOVRIK_CODE(IOCTL_TOVRIK_SET_TIMEOUT),
    TOVRIK_CODE(IOCTL_TOVRIK_CHUNKED_READ),
    TOVRIK_CODE(IOCTL_TOVRIK_CHUNKED_WRITE),
};
#undef TOVRIK_CODE

std::string Upper(std::string_view text) {
    std::string s(text);
    std::transform(s.begin(), s.end(), s.begin(),
                   [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    return s;
}

} // namespace

std::span<const CodeName> Codes() {
    return kCodes;
}

std::optional<std::string> NameOfCode(std::uint32_t code) {
    for (const CodeName& c : kCodes) {
        if (c.Code == code)
            return c.Name;
    }
    return std::nullopt;
}

std::uint32_t ParseCode(std::string_view text) {
    std::string name = Upper(text);
    for (const CodeName& c : kCodes) {
        std::string_view full = c.Name;
        if (name == full || "IOCTL_TOVRIK_" + name == full)
            return c.Code;
    }
    std::string_view digits = text;
    if (digits.size() > 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X'))
        digits.remove_prefix(2);
    bool hex = !digits.empty() && digits.size() <= 8 &&
               std::all_of(digits.begin(), digits.end(),
                           [](unsigned char c) { return std::isxdigit(c) != 0; });
    if (!hex)
        throw UsageError(
            fmt::format("code '{}': neither a hex code nor an IOCTL_TOVRIK_ name", text));
    return static_cast<std::uint32_t>(std::stoul(std::string(digits), nullptr, 16));
}

} // namespace tovrik::cli
