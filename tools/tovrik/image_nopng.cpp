// The Windows tool is cross-built without libpng: frames go to raw files only.
#include "image.h"

namespace tovrik::cli {

bool CanWritePng() {
    return false;
}

void WriteGray16Png(const std::filesystem::path& path, std::uint32_t, std::uint32_t,
                    std::span<const std::uint8_t>) {
    throw FileError("cannot write '" + path.string() +
                    "': this build of the tool writes no PNG; use --raw");
}

} // namespace tovrik::cli
