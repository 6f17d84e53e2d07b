// The build machine's side of the PNG writer's test: makes the test frames, writes them the way
// the host tool does (libpng, tools/tovrik/image_png.cpp), and reads PNG files back with libpng's
// low-level interface, which hands out the stored samples untouched.
//
//   png_pixels frame KIND WIDTH HEIGHT OUT.raw      a test frame (KIND: ramp, extremes, noise)
//   png_pixels libpng RAW WIDTH HEIGHT OUT.png      the host tool's PNG of a frame
//   png_pixels compare PNG RAW WIDTH HEIGHT         exit 0 when PNG is a 16-bit grayscale image
//                                                   of exactly RAW's pixels
#include "../../tools/tovrik/png_decode.h" // tests/tools/tovrik
#include "image.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

std::vector<std::uint8_t> ReadFile(const char* path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// Pixels that catch the faults a PNG writer can make with 16-bit samples: bytes swapped (0x00FF
// against 0xFF00), samples cut to 8 bits (low bytes that differ), rows misaligned (odd widths),
// and values at both ends.
std::vector<std::uint8_t> Frame(const std::string& kind, std::uint32_t width,
                                std::uint32_t height) {
    std::vector<std::uint8_t> raw(std::size_t{width} * height * 2);
    static const std::uint16_t kExtremes[] = {0x0000, 0xFFFF, 0x00FF, 0xFF00,
                                              0x8001, 0x0100, 0x7FFE};
    std::uint32_t state = 0x12345678u;
    for (std::size_t i = 0; i < raw.size() / 2; ++i) {
        std::uint16_t v = 0;
        if (kind == "ramp") {
            v = static_cast<std::uint16_t>((i % width) * 65535u / (width > 1 ? width - 1 : 1) ^
                                           (i / width) * 7u);
        } else if (kind == "extremes") {
            v = kExtremes[i % (sizeof kExtremes / sizeof kExtremes[0])];
        } else {
            state = state * 1664525u + 1013904223u;
            v = static_cast<std::uint16_t>(state >> 16);
        }
        raw[2 * i] = static_cast<std::uint8_t>(v);
        raw[2 * i + 1] = static_cast<std::uint8_t>(v >> 8);
    }
    return raw;
}

int Usage() {
    std::fprintf(stderr, "usage: png_pixels frame KIND W H OUT.raw | libpng RAW W H OUT.png | "
                         "compare PNG RAW W H\n");
    return 2;
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 6)
        return Usage();
    std::string verb = argv[1];
    if (verb == "frame") {
        auto raw =
            Frame(argv[2], std::strtoul(argv[3], nullptr, 10), std::strtoul(argv[4], nullptr, 10));
        std::ofstream(argv[5], std::ios::binary)
            .write(reinterpret_cast<const char*>(raw.data()),
                   static_cast<std::streamsize>(raw.size()));
        return 0;
    }
    std::uint32_t width = std::strtoul(argv[3], nullptr, 10);
    std::uint32_t height = std::strtoul(argv[4], nullptr, 10);
    if (verb == "libpng") {
        try {
            tovrik::cli::WriteGray16Png(argv[5], width, height, ReadFile(argv[2]));
        } catch (const tovrik::cli::FileError& e) {
            std::fprintf(stderr, "png_pixels: %s\n", e.what());
            return 1;
        }
        return 0;
    }
    if (verb != "compare")
        return Usage();
    width = std::strtoul(argv[4], nullptr, 10);
    height = std::strtoul(argv[5], nullptr, 10);
    auto raw = ReadFile(argv[3]);
    tovrik::test::DecodedPng png = tovrik::test::ReadPng(argv[2]);
    if (png.BitDepth != 16 || png.ColorType != PNG_COLOR_TYPE_GRAY) {
        std::printf("%s: bit depth %d, colour type %d; want 16-bit grayscale (0)\n", argv[2],
                    png.BitDepth, png.ColorType);
        return 1;
    }
    if (!png.Ok || png.Width != width || png.Height != height) {
        std::printf("%s: %u x %u (%s); want %u x %u\n", argv[2], png.Width, png.Height,
                    png.Ok ? "read" : "not read", width, height);
        return 1;
    }
    if (png.LittleEndian != raw) {
        std::size_t i = 0;
        while (i < raw.size() && png.LittleEndian[i] == raw[i])
            ++i;
        std::printf("%s: pixel %zu (x %zu, y %zu) is 0x%02X%02X, want 0x%02X%02X\n", argv[2], i / 2,
                    (i / 2) % width, (i / 2) / width, png.LittleEndian[i | 1],
                    png.LittleEndian[i & ~std::size_t{1}], raw[i | 1], raw[i & ~std::size_t{1}]);
        return 1;
    }
    std::printf("%s: %u x %u 16-bit grayscale, every pixel as sent\n", argv[2], width, height);
    return 0;
}
