// Test patterns of the image and isochronous data, and firmware images as memory content.

#include "camera/camera.h"

namespace sim {
namespace {

// The constant a 65536-pixel stretch of a frame is XORed with. Both factors are odd, so no two
// frames (below 65536) and no two stretches share one; frame 0's first stretch gets 0.
std::uint16_t StretchKey(std::uint32_t frame, std::uint64_t pixel) {
    return static_cast<std::uint16_t>((frame * 0x9E37u) ^
                                      (static_cast<std::uint32_t>(pixel >> 16) * 0x5A5Bu));
}

std::uint16_t PixelAt(std::uint32_t frame, std::uint64_t pixel) {
    return static_cast<std::uint16_t>(static_cast<std::uint16_t>(pixel) ^ StretchKey(frame, pixel));
}

} // namespace

std::uint16_t FramePixel(std::uint32_t frame, std::uint32_t x, std::uint32_t y,
                         std::uint32_t width) {
    return PixelAt(frame, static_cast<std::uint64_t>(y) * width + x);
}

std::uint8_t FrameByte(std::uint32_t frame, std::uint64_t offset) {
    const std::uint16_t pixel = PixelAt(frame, offset >> 1);
    return static_cast<std::uint8_t>((offset & 1) != 0 ? pixel >> 8 : pixel);
}

void FillFrameBytes(std::uint32_t frame, std::uint64_t offset, std::span<std::uint8_t> out) {
    // This runs for every byte of every frame in the benchmarks, so whole pixels go two bytes at
    // a time; only a read that starts or ends inside a pixel takes the byte path.
    std::size_t i = 0;
    if ((offset & 1) != 0 && !out.empty()) {
        out[i++] = FrameByte(frame, offset);
    }
    std::uint64_t pixel = (offset + i) >> 1;
    for (; i + 2 <= out.size(); i += 2, ++pixel) {
        const std::uint16_t value = PixelAt(frame, pixel);
        out[i] = static_cast<std::uint8_t>(value);
        out[i + 1] = static_cast<std::uint8_t>(value >> 8);
    }
    if (i < out.size()) {
        out[i] = FrameByte(frame, offset + i);
    }
}

std::uint8_t IsoPacketByte(std::uint8_t endpoint, std::uint32_t sequence, std::uint32_t offset) {
    if (offset < 4) {
        return static_cast<std::uint8_t>(sequence >> (8 * offset));
    }
    // offset >> 8 keeps the pattern from repeating every 256 bytes within a 3 KiB packet.
    const std::uint32_t mixed = offset ^ ((offset >> 8) * 0x3Bu) ^ (sequence * 0x9Du) ^ endpoint;
    return static_cast<std::uint8_t>(mixed);
}

void FillIsoPacket(std::uint8_t endpoint, std::uint32_t sequence, std::span<std::uint8_t> out) {
    for (std::size_t i = 0; i < out.size(); ++i) {
        out[i] = IsoPacketByte(endpoint, sequence, static_cast<std::uint32_t>(i));
    }
}

void FirmwareImage::Clear() {
    Bytes.fill(0);
    Covered.fill(0);
    CoveredCount = 0;
}

void FirmwareImage::Add(std::uint16_t address, std::span<const std::uint8_t> bytes) {
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        const auto at = static_cast<std::uint16_t>(address + i);
        if (!Covers(at)) {
            Covered[at >> 3] = static_cast<std::uint8_t>(Covered[at >> 3] | 1u << (at & 7));
            ++CoveredCount;
        }
        Bytes[at] = bytes[i];
    }
}

bool FirmwareImage::AddRecords(std::span<const std::uint8_t> records) {
    constexpr std::size_t kRecordBytes = 22;
    constexpr std::size_t kMaxData = 16;
    for (std::size_t at = 0; records.size() - at >= kRecordBytes; at += kRecordBytes) {
        const auto record = records.subspan(at, kRecordBytes);
        if (record[4] != 0) {
            return true; // the end record
        }
        const std::size_t length = record[0];
        if (length > kMaxData) {
            return false;
        }
        const auto address = static_cast<std::uint16_t>(record[2] | record[3] << 8);
        Add(address, record.subspan(5, length));
    }
    return false; // ran out before the end record
}

bool FirmwareImage::Matches(std::span<const std::uint8_t> memory) const {
    if (CoveredCount == 0 || memory.size() < kCameraMemoryBytes) {
        return false;
    }
    for (std::size_t group = 0; group < Covered.size(); ++group) {
        const std::uint8_t bits = Covered[group];
        if (bits == 0) {
            continue;
        }
        for (std::size_t bit = 0; bit < 8; ++bit) {
            const std::size_t address = group * 8 + bit;
            if ((bits >> bit & 1) != 0 && memory[address] != Bytes[address]) {
                return false;
            }
        }
    }
    return true;
}

} // namespace sim
