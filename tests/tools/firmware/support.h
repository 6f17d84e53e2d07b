// Helpers for the firmware tool tests: a scratch folder that cleans up after itself and a way to
// run the built programs.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <string>
#include <string_view>

#include <fmt/format.h>
#include <unistd.h>

#include "intel_hex.h"

namespace tovrik::firmware::test {

class ScratchDir {
  public:
    ScratchDir() {
        std::string pattern =
            (std::filesystem::temp_directory_path() / "tovrik-fw-XXXXXX").string();
        if (::mkdtemp(pattern.data()) == nullptr) {
            throw std::runtime_error("cannot create a scratch folder");
        }
        path_ = pattern;
    }
    ~ScratchDir() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;

    const std::filesystem::path& path() const { return path_; }
    std::filesystem::path operator/(std::string_view name) const { return path_ / name; }

    std::filesystem::path write(std::string_view name, std::string_view contents) const {
        const auto file = path_ / name;
        write_file_atomically(file, contents);
        return file;
    }

  private:
    std::filesystem::path path_;
};

struct RunResult {
    int exit_code;
    std::string errors;
};

// Runs a command line (arguments already quoted), collecting what it writes to stderr.
inline RunResult run(const ScratchDir& scratch, const std::string& command) {
    const auto errors = scratch / "stderr.txt";
    const int status = std::system(fmt::format("{} 2>'{}'", command, errors.string()).c_str());
    const int code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return {code, std::filesystem::exists(errors) ? read_file(errors) : std::string{}};
}

inline std::string quoted(const std::filesystem::path& path) {
    return fmt::format("'{}'", path.string());
}

} // namespace tovrik::firmware::test
