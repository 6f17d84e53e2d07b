// Reads a PNG back through libpng's low-level interface, which hands out the stored samples
// untouched (no gamma or colour handling), so a test sees exactly what the tool wrote.
#pragma once

#include <png.h>

#include <csetjmp>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace tovrik::test {

struct DecodedPng {
    bool Ok = false;
    std::uint32_t Width = 0;
    std::uint32_t Height = 0;
    int BitDepth = 0;
    int ColorType = -1;
    // The samples as the camera sends pixels: 16 bits little-endian, row by row.
    std::vector<std::uint8_t> LittleEndian;
};

// Nothing with a destructor lives between setjmp and a longjmp from libpng: the result is
// filled through a pointer made before setjmp.
inline void ReadPngInto(std::FILE* file, DecodedPng* out, std::vector<std::uint8_t>* row) {
    png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png != nullptr ? png_create_info_struct(png) : nullptr;
    if (png == nullptr || info == nullptr || setjmp(png_jmpbuf(png))) {
        png_destroy_read_struct(&png, &info, nullptr);
        out->Ok = false;
        return;
    }
    png_init_io(png, file);
    png_read_info(png, info);
    out->Width = png_get_image_width(png, info);
    out->Height = png_get_image_height(png, info);
    out->BitDepth = png_get_bit_depth(png, info);
    out->ColorType = png_get_color_type(png, info);
    if (out->BitDepth == 16 && out->ColorType == PNG_COLOR_TYPE_GRAY &&
        png_get_interlace_type(png, info) == PNG_INTERLACE_NONE) {
        row->resize(png_get_rowbytes(png, info));
        out->LittleEndian.resize(std::size_t{out->Width} * out->Height * 2);
        for (std::uint32_t y = 0; y < out->Height; ++y) {
            png_read_row(png, row->data(), nullptr);
            std::uint8_t* dst = out->LittleEndian.data() + std::size_t{y} * out->Width * 2;
            for (std::uint32_t x = 0; x < out->Width; ++x) {
                dst[2 * x] = (*row)[2 * x + 1]; // PNG stores 16-bit samples big-endian
                dst[2 * x + 1] = (*row)[2 * x];
            }
        }
        png_read_end(png, nullptr);
        out->Ok = true;
    }
    png_destroy_read_struct(&png, &info, nullptr);
}

inline DecodedPng ReadPng(const std::string& path) {
    DecodedPng out;
    std::vector<std::uint8_t> row;
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr)
        return out;
    ReadPngInto(file, &out, &row);
    std::fclose(file);
    return out;
}

} // namespace tovrik::test
