// What does not depend on libpng.
#include "image.h"

#include <fmt/format.h>

#include <fstream>
#include <system_error>

namespace tovrik::cli {

void RequireGray16Frame(const std::filesystem::path& path, std::uint32_t width,
                        std::uint32_t height, std::span<const std::uint8_t> pixels) {
    if (pixels.size() != std::size_t{width} * height * 2)
        throw FileError(fmt::format("'{}': {} bytes are not a {} x {} frame of 16-bit pixels",
                                    path.string(), pixels.size(), width, height));
}

void WriteRaw(const std::filesystem::path& path, std::span<const std::uint8_t> bytes) {
    MakeParentFolders(path);
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
    out.close();
    if (!out)
        throw FileError(fmt::format("cannot write '{}'", path.string()));
}

std::filesystem::path NumberedPath(const std::filesystem::path& path, std::uint32_t index,
                                   std::uint32_t count) {
    if (count <= 1)
        return path;
    std::filesystem::path numbered = path;
    numbered.replace_filename(
        fmt::format("{}-{:04}{}", path.stem().string(), index + 1, path.extension().string()));
    return numbered;
}

void MakeParentFolders(const std::filesystem::path& path) {
    std::filesystem::path parent = path.parent_path();
    if (parent.empty())
        return;
    std::error_code error;
    std::filesystem::create_directories(parent, error);
    if (error)
        throw FileError(fmt::format("cannot create '{}': {}", parent.string(), error.message()));
}

} // namespace tovrik::cli
