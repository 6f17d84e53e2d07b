// Request records as the bytes user software hands the driver through DeviceIoControl.
#pragma once

#include "tovrik/tovrik.h"

#include <cstdint>
#include <cstring>
#include <vector>

namespace tovrik_test {

using Bytes = std::vector<std::uint8_t>;

template <typename T> Bytes RecordBytes(const T& record) {
    Bytes bytes(sizeof(T));
    std::memcpy(bytes.data(), &record, sizeof(T));
    return bytes;
}

inline Bytes PipeIndex(std::uint32_t index) {
    return RecordBytes(PIPE_INDEX_REQUEST{index});
}

} // namespace tovrik_test
