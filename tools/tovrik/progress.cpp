#include "progress.h"

#include <fmt/format.h>

#include <algorithm>

namespace tovrik::cli {

void ProgressLine::Show(const std::string& text, bool force) {
    if (out_ == nullptr)
        return;
    auto now = std::chrono::steady_clock::now();
    if (!force && now - last_ < std::chrono::milliseconds(100))
        return;
    last_ = now;
    // Pad over what the longer previous line left on the screen.
    std::string line = text;
    if (line.size() < width_)
        line.append(width_ - line.size(), ' ');
    width_ = text.size();
    *out_ << '\r' << line << std::flush;
}

void ProgressLine::Clear() {
    if (out_ == nullptr || width_ == 0)
        return;
    *out_ << '\r' << std::string(width_, ' ') << '\r' << std::flush;
    width_ = 0;
}

std::string Bar(std::uint64_t done, std::uint64_t total, std::size_t width) {
    std::size_t filled =
        total == 0 ? width : static_cast<std::size_t>(std::min(done, total) * width / total);
    // Built in place: chains of string additions trip GCC 12's -Wrestrict false positive at -O3.
    std::string bar(width + 2, ' ');
    bar.front() = '[';
    bar.back() = ']';
    std::fill_n(bar.begin() + 1, filled, '#');
    return bar;
}

std::string Megabytes(std::uint64_t bytes) {
    return fmt::format("{:.1f} MB", static_cast<double>(bytes) / 1e6);
}

} // namespace tovrik::cli
