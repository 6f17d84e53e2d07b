// A simulated world with the driver over one camera, opened through the user-mode front end, as
// the benchmarks of the data path use it.
#pragma once

#include "host/host_kernel.h"
#include "world/world.h"

#include <benchmark/benchmark.h>

#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "frame/frame.h"
#include "tovrik/tovrik.h"

namespace tovrik_bench {

using Bytes = std::vector<std::uint8_t>;

// The image pipe: the driver frames reads from it with the two command packets.
inline constexpr std::uint32_t kImagePipe = 2;
inline constexpr std::uint8_t kImageEndpoint = 0x82;
inline constexpr std::uint8_t kCommandEndpoint = 0x01;

template <typename T> Bytes RecordBytes(const T& record) {
    const auto* p = reinterpret_cast<const std::uint8_t*>(&record);
    return Bytes(p, p + sizeof(T));
}

class Rig {
  public:
    // Builds the world (one camera running its own program), brings the device up on a fast
    // clock (the start has a 3 s kernel-time delay), opens camera 0 and sets `clockScale`.
    // Only one world may exist in a process at a time.
    Rig(sim::WorldOptions options, double clockScale);
    ~Rig();
    Rig(const Rig&) = delete;
    Rig& operator=(const Rig&) = delete;

    bool Ready() const { return handle_ != 0; }
    // Ready, or else the benchmark is marked skipped with the reason and the caller returns.
    bool ReadyOrSkip(benchmark::State& state) const;
    host::FrontEnd::IoctlResult Call(ULONG code, const Bytes& input,
                                     std::span<std::uint8_t> output);
    sim::World& World() { return *world_; }
    PDEVICE_EXTENSION Extension();
    // The schedule's current microframe: the next one it will serve.
    std::uint64_t Microframe();
    // Index of the first pipe of the current table with this endpoint address, or -1.
    int PipeIndexOf(std::uint8_t endpoint);
    // Verifier violations since the rig was built. A benchmark reports the count: a number
    // measured over a path the verifier objects to is worth knowing about.
    std::size_t Violations() const;

  private:
    std::unique_ptr<sim::World> world_;
    host::Handle handle_ = 0;
    std::size_t violationsBefore_ = 0;
    host::Verifier::Reporter previousReporter_;
};

// One camera running its own program under the driver, with frames of frameWidth x frameHeight
// 16-bit pixels.
sim::WorldOptions CameraWorld(sim::hc::Timing timing, bool virtualTime, std::uint32_t frameWidth,
                              std::uint32_t frameHeight);

} // namespace tovrik_bench
