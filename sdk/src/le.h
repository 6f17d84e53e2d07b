// Little-endian reads from the driver's records, whatever the host's byte order and alignment.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace tovrik::sdk {

inline std::uint16_t Le16(std::span<const std::uint8_t> b, std::size_t at) {
    return static_cast<std::uint16_t>(b[at] | b[at + 1] << 8);
}
inline std::uint32_t Le32(std::span<const std::uint8_t> b, std::size_t at) {
    return static_cast<std::uint32_t>(Le16(b, at)) | static_cast<std::uint32_t>(Le16(b, at + 2))
                                                         << 16;
}
inline std::uint64_t Le64(std::span<const std::uint8_t> b, std::size_t at) {
    return static_cast<std::uint64_t>(Le32(b, at)) | static_cast<std::uint64_t>(Le32(b, at + 4))
                                                         << 32;
}

} // namespace tovrik::sdk
