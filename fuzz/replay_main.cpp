// Replays inputs through a fuzz target without libFuzzer: every file named on the command line,
// and every file in the folders named, in name order. The normal build uses it to run the seed
// corpora and the kept regression inputs as tests; a crash or a finding stops it like the fuzzer,
// and so does an input that does not end within 30 s of real time (libFuzzer's -timeout).
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <thread>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

int main(int argc, char** argv) {
    std::vector<std::filesystem::path> inputs;
    for (int i = 1; i < argc; ++i) {
        std::filesystem::path path(argv[i]);
        if (!std::filesystem::exists(path)) {
            continue; // a target with no kept regression inputs yet
        }
        if (std::filesystem::is_directory(path)) {
            for (const auto& entry : std::filesystem::recursive_directory_iterator(path)) {
                if (entry.is_regular_file()) {
                    inputs.push_back(entry.path());
                }
            }
        } else {
            inputs.push_back(path);
        }
    }
    std::sort(inputs.begin(), inputs.end());
    // A watchdog: the input being replayed must end in time. It cannot be taken back, so the
    // program stops, naming it.
    std::atomic<std::size_t> finished{0};
    std::thread([&] {
        std::size_t seen = 0;
        auto started = std::chrono::steady_clock::now();
        for (;;) {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            std::size_t now = finished.load();
            if (now != seen) {
                seen = now;
                started = std::chrono::steady_clock::now();
            } else if (now < inputs.size() &&
                       std::chrono::steady_clock::now() - started > std::chrono::seconds(30)) {
                std::fprintf(stderr, "\n==TIMEOUT== %s did not end within 30 s\n",
                             inputs[now].string().c_str());
                std::fflush(stderr);
                std::_Exit(1);
            }
        }
    }).detach();
    for (const auto& path : inputs) {
        std::ifstream in(path, std::ios::binary);
        std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(in)),
                                        std::istreambuf_iterator<char>());
        std::printf("replaying %s (%zu bytes)\n", path.string().c_str(), bytes.size());
        std::fflush(stdout);
        LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
        finished++;
    }
    std::printf("%zu inputs replayed\n", inputs.size());
    return 0;
}
