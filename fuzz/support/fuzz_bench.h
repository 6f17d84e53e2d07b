// The world the driver's fuzz targets run in: the driver loaded once, a simulated bus, and for
// each input a fresh camera plugged in and started, used, unplugged and removed. Every input
// starts from the same state, so a crash found by the fuzzer replays from its input alone.
//
// Whatever the host kernel's verifier finds (a request completed twice, a leak, output carrying
// kernel addresses or unwritten pool...) stops the program as a crash, so the fuzzer keeps the
// input.
#pragma once

#include "camera/camera.h"
#include "host/host_kernel.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <vector>

namespace tovrik_fuzz {

struct CameraSetup {
    // Descriptors the camera presents while it runs its program (own identity); default: the
    // camera's own.
    std::optional<sim::DescriptorSet> Own;
    std::uint32_t FrameWidth = 64;
    std::uint32_t FrameHeight = 48;
};

// The host kernel's verifier takes 16 or more bytes of the pool's fill (0xC5) in a row, in what a
// request returns to user mode, for pool the driver never wrote. Device data never looks like
// that by chance, but a fuzzer learns the value from the check's own comparisons and feeds it
// through the camera (descriptors, memory it writes and reads back), where the driver rightly
// returns it. Bytes of an input that the camera may hand back go through this first: every
// 0xC5 past `longest` in a row becomes 0xC4, so what the check finds is the driver's.
void LimitPoolFillRuns(std::span<std::uint8_t> bytes, std::size_t longest);

class FuzzBench {
  public:
    // The one bench of the program, made on first use.
    static FuzzBench& Get();

    // Plugs a new camera running its program in and waits for its start. Returns the start's
    // status (a failure when AddDevice refused it).
    NTSTATUS Plug(const CameraSetup& setup);
    // Opens the camera's device; false when it cannot be opened.
    bool Open();
    // Plug and Open for a camera that must come up: a start that a loaded machine let run into a
    // control transfer's time limit is tried again on a slower clock, down to real time (where
    // the limit is the platform's 5 s); one that does not come up even then is a finding.
    void PlugStarted(const CameraSetup& setup);
    host::FrontEnd::IoctlResult Call(ULONG code, std::span<const std::uint8_t> input,
                                     std::span<std::uint8_t> output);
    // Closes the handle, unplugs the camera, waits for the removal and checks that the input left
    // nothing behind (pool, requests, device objects); a finding stops the program.
    void Unplug();

    // Kernel time per real time while requests run (the start runs faster): a 3 s time limit
    // is 0.3 ms of real time, so an input that waits out limits still runs quickly.
    static constexpr double kRequestClockScale = 10000;

  private:
    FuzzBench();
    void NewBus();

    PDRIVER_OBJECT Driver = nullptr;
    std::unique_ptr<struct BenchParts> Parts;
    host::Handle Handle = 0;
    std::uint32_t Plugged = 0;
    double StartClockScale = kRequestClockScale;
    std::size_t BaselinePool = 0;
};

} // namespace tovrik_fuzz
