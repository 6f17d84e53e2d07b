// What the camera's files share about control requests: the fields of bmRequestType, the standard
// request codes, and how a reply is copied into the data stage. Private to sim/camera.
#pragma once

#include "camera/camera.h"

#include <algorithm>
#include <cstring>

namespace sim::replies {

// bmRequestType fields.
inline constexpr std::uint8_t kTypeMask = 0x60;
inline constexpr std::uint8_t kTypeStandard = 0x00;
inline constexpr std::uint8_t kRecipientMask = 0x1F;
inline constexpr std::uint8_t kRecipientDevice = 0;
inline constexpr std::uint8_t kRecipientInterface = 1;
inline constexpr std::uint8_t kRecipientEndpoint = 2;

// Standard requests and feature selectors.
inline constexpr std::uint8_t kGetStatus = 0;
inline constexpr std::uint8_t kClearFeature = 1;
inline constexpr std::uint8_t kSetFeature = 3;
inline constexpr std::uint8_t kSetAddress = 5;
inline constexpr std::uint8_t kGetDescriptor = 6;
inline constexpr std::uint8_t kGetConfiguration = 8;
inline constexpr std::uint8_t kSetConfiguration = 9;
inline constexpr std::uint8_t kGetInterface = 10;
inline constexpr std::uint8_t kSetInterface = 11;
inline constexpr std::uint16_t kFeatureEndpointHalt = 0;
inline constexpr std::uint16_t kFeatureRemoteWakeup = 1;

inline constexpr std::uint8_t kDescriptorDevice = 1;
inline constexpr std::uint8_t kDescriptorConfiguration = 2;
inline constexpr std::uint8_t kDescriptorString = 3;
inline constexpr std::uint8_t kDescriptorQualifier = 6;

// Copies what fits and says how much that was.
inline std::uint32_t Answer(std::span<std::uint8_t> data, std::span<const std::uint8_t> reply) {
    const std::size_t n = std::min(data.size(), reply.size());
    if (n != 0) {
        std::memcpy(data.data(), reply.data(), n);
    }
    return static_cast<std::uint32_t>(n);
}

inline ControlResult Done(std::uint32_t length) {
    return ControlResult{ControlStatus::Ok, length};
}

} // namespace sim::replies
