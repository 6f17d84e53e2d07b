// Frames as files a person can open: 16-bit grayscale PNG (through libpng on the host, through the
// Windows Imaging Component on Windows: image_png.cpp, image_wic.cpp) and raw bytes.
#pragma once

#include <cstdint>
#include <filesystem>
#include <span>
#include <stdexcept>
#include <string>

namespace tovrik::cli {

// A file that could not be written; the command reports it instead of a request's status.
class FileError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// Whether this build can write PNG files. Both writers can; a writer for a system without a PNG
// encoder would answer false, and capture then asks for --raw before it reads a frame.
bool CanWritePng();

// Writes `pixels` (width × height pixels of 16 bits, little-endian, row by row, as the camera
// sends them) as a 16-bit grayscale PNG. Throws FileError.
void WriteGray16Png(const std::filesystem::path& path, std::uint32_t width, std::uint32_t height,
                    std::span<const std::uint8_t> pixels);

// Throws FileError, naming `path`, unless `pixels` holds exactly width × height pixels of 16 bits:
// what both PNG writers check before they create the file.
void RequireGray16Frame(const std::filesystem::path& path, std::uint32_t width,
                        std::uint32_t height, std::span<const std::uint8_t> pixels);

// Writes the bytes as they are. Throws FileError.
void WriteRaw(const std::filesystem::path& path, std::span<const std::uint8_t> bytes);

// The file for item `index` (from 0) of `count`: the path itself for a single item, else the
// number before the extension, "frame.png" → "frame-0001.png", so the files sort in order.
std::filesystem::path NumberedPath(const std::filesystem::path& path, std::uint32_t index,
                                   std::uint32_t count);

// Creates the folders above `path` when they are missing. Throws FileError.
void MakeParentFolders(const std::filesystem::path& path);

} // namespace tovrik::cli
