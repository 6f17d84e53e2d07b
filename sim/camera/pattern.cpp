// Test patterns of the image and isochronous data, and firmware images as memory content.

#include "camera/camera.h"

#include <algorithm>
#include <bit>
#include <cstring>

namespace sim {
namespace {

// The fills build 64-bit words whose lanes are the bytes in memory order.
static_assert(std::endian::native == std::endian::little, "the word-wide fills are little-endian");

// A value repeated in each 16-bit and each 8-bit lane of a word.
constexpr std::uint64_t kLanes16 = 0x0001000100010001ull;
constexpr std::uint64_t kLanes8 = 0x0101010101010101ull;

void StoreLittleEndian(std::uint8_t* at, std::uint64_t word) {
    std::memcpy(at, &word, sizeof word);
}

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
    // This runs for every byte of every frame, so it goes four pixels (one 64-bit word) at a
    // time: within a 65536-pixel stretch the key is one constant and the pixels count up, so a
    // word of four is the previous word plus four in each 16-bit lane, XORed with the key in
    // each lane. Only a read that starts or ends inside a word takes the byte path.
    std::size_t i = 0;
    if ((offset & 1) != 0 && !out.empty()) {
        out[i++] = FrameByte(frame, offset);
    }
    std::uint64_t pixel = (offset + i) >> 1;
    while (i + 2 <= out.size()) {
        // The whole pixels left in this stretch and in the output.
        const std::uint64_t stretchEnd = (pixel | 0xFFFF) + 1;
        const std::uint64_t pixels =
            std::min<std::uint64_t>(stretchEnd - pixel, (out.size() - i) / 2);
        const std::uint16_t key = StretchKey(frame, pixel);
        const std::uint64_t keys = kLanes16 * key;
        std::uint64_t lanes = kLanes16 * (pixel & 0xFFFF) + 0x0003000200010000ull;
        for (std::uint64_t w = 0; w < pixels / 4; ++w) {
            StoreLittleEndian(out.data() + i, lanes ^ keys);
            lanes += 0x0004000400040004ull;
            i += 8;
        }
        pixel += pixels / 4 * 4;
        for (std::uint64_t p = 0; p < pixels % 4; ++p, ++pixel, i += 2) {
            const auto value = static_cast<std::uint16_t>(static_cast<std::uint16_t>(pixel) ^ key);
            out[i] = static_cast<std::uint8_t>(value);
            out[i + 1] = static_cast<std::uint8_t>(value >> 8);
        }
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
    // Within a 256-byte block every byte is its offset's low byte XORed with one constant of the
    // block, so eight bytes go at once: the counting bytes of the word, XORed with the constant
    // in every byte. The sequence number at the start and a tail shorter than a word take the
    // byte path.
    std::size_t i = 0;
    for (; i < out.size() && i < 8; ++i) {
        out[i] = IsoPacketByte(endpoint, sequence, static_cast<std::uint32_t>(i));
    }
    while (i + 8 <= out.size()) {
        // The words left in this 256-byte block and in the output, from one constant.
        const auto block = static_cast<std::uint32_t>(i >> 8);
        const std::uint64_t constant =
            kLanes8 * static_cast<std::uint8_t>((block * 0x3Bu) ^ (sequence * 0x9Du) ^ endpoint);
        const std::size_t words =
            std::min<std::size_t>((256 - (i & 0xFF)) / 8, (out.size() - i) / 8);
        std::uint64_t counting = kLanes8 * (i & 0xFF) + 0x0706050403020100ull;
        for (std::size_t w = 0; w < words; ++w, i += 8) {
            StoreLittleEndian(out.data() + i, counting ^ constant);
            counting += 0x0808080808080808ull;
        }
    }
    for (; i < out.size(); ++i) {
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
