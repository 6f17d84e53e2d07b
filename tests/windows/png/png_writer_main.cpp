// The Windows tool's PNG writer (tools/tovrik/image_wic.cpp) as a program of its own, so that its
// test can run it under Wine without a camera:
//
//   png_writer RAW WIDTH HEIGHT OUTPUT.png
//
// RAW holds WIDTH x HEIGHT pixels of 16 bits, little-endian, as the camera sends them. Exits 0
// when the PNG is written, 1 with the writer's message when it is not, 2 for bad arguments.
#include "image.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

int main(int argc, char** argv) {
    if (argc != 5) {
        std::fprintf(stderr, "usage: png_writer RAW WIDTH HEIGHT OUTPUT.png\n");
        return 2;
    }
    std::ifstream in(argv[1], std::ios::binary);
    if (!in) {
        std::fprintf(stderr, "png_writer: cannot read %s\n", argv[1]);
        return 2;
    }
    std::vector<std::uint8_t> pixels((std::istreambuf_iterator<char>(in)),
                                     std::istreambuf_iterator<char>());
    auto width = static_cast<std::uint32_t>(std::strtoul(argv[2], nullptr, 10));
    auto height = static_cast<std::uint32_t>(std::strtoul(argv[3], nullptr, 10));
    try {
        tovrik::cli::WriteGray16Png(argv[4], width, height, pixels);
    } catch (const tovrik::cli::FileError& e) {
        std::fprintf(stderr, "png_writer: %s\n", e.what());
        return 1;
    }
    return 0;
}
