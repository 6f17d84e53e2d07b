// PNG through libpng's simplified interface: it reports errors as a message instead of a
// longjmp through our frames, and writes 16-bit linear samples exactly as given.
#include "image.h"

#include <fmt/format.h>
#include <png.h>

#include <vector>

namespace tovrik::cli {

bool CanWritePng() {
    return true;
}

void WriteGray16Png(const std::filesystem::path& path, std::uint32_t width, std::uint32_t height,
                    std::span<const std::uint8_t> pixels) {
    RequireGray16Frame(path, width, height, pixels);
    // libpng takes samples in the machine's order; the camera's are little-endian on the wire.
    std::vector<png_uint_16> samples(std::size_t{width} * height);
    for (std::size_t i = 0; i < samples.size(); ++i)
        samples[i] = static_cast<png_uint_16>(pixels[2 * i] | pixels[2 * i + 1] << 8);
    MakeParentFolders(path);
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    image.width = width;
    image.height = height;
    image.format = PNG_FORMAT_LINEAR_Y; // one 16-bit channel
    int written =
        png_image_write_to_file(&image, path.string().c_str(), 0, samples.data(), 0, nullptr);
    std::string message = image.message;
    png_image_free(&image);
    if (written == 0)
        throw FileError(fmt::format("cannot write '{}': {}", path.string(), message));
}

} // namespace tovrik::cli
