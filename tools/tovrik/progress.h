// A line that redraws itself on a terminal while a long command runs. Silent when it has no
// stream: the tool gives it one only when standard output is a terminal and no JSON is asked
// for, so scripts and the shell never see carriage returns.
#pragma once

#include <chrono>
#include <cstdint>
#include <ostream>
#include <string>

namespace tovrik::cli {

class ProgressLine {
  public:
    explicit ProgressLine(std::ostream* out) : out_(out) {}
    ProgressLine(const ProgressLine&) = delete;
    ProgressLine& operator=(const ProgressLine&) = delete;
    ~ProgressLine() { Clear(); }

    bool Active() const { return out_ != nullptr; }
    // Redraws the line, at most ten times a second unless `force`.
    void Show(const std::string& text, bool force = false);
    // Wipes the line so the summary starts on a clean one.
    void Clear();

  private:
    std::ostream* out_;
    std::size_t width_ = 0;
    std::chrono::steady_clock::time_point last_{};
};

// Whether standard output is a terminal (one file per platform, chosen by the build).
bool StandardOutputIsTerminal();

// "[########            ]" for `done` of `total`.
std::string Bar(std::uint64_t done, std::uint64_t total, std::size_t width = 24);

// "12.3 MB" (decimal megabytes, as MB/s is).
std::string Megabytes(std::uint64_t bytes);

} // namespace tovrik::cli
