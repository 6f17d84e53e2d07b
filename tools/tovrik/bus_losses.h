// Where a stream's missing packets went. The camera numbers every isochronous packet, so the
// tool sees how many never reached it; the simulated bus counts how many it dropped itself (a
// microframe with no packet slot queued); the rest were dropped by the driver because its ring
// was full. On a system without a simulated bus (Windows) nothing tells the two apart.
#pragma once

#include "tovrik/sdk.hpp"

#include <cstdint>
#include <optional>

namespace tovrik::cli {

// The bus counters of a pipe's endpoint, read before a transfer and once it has ended.
class BusWatch {
  public:
    // Reads the counters of the endpoint behind `pipe` (from the driver's pipe table), on the
    // device's own camera.
    BusWatch(tovrik::Device& device, std::uint32_t pipe);
    // Reads them again: call once the transfer or stream has ended, so that every loss between
    // packets it carried has been counted.
    void Finish();

    // Packets the bus dropped in between; empty without a simulated bus.
    std::optional<std::uint64_t> LostOnBus() const;
    // The host controller's lag, in microframes: how late it stepped a microframe in which a
    // transfer ended, and the longest from a transfer's end to its completion.
    std::optional<std::uint64_t> ControllerLag() const;
    std::optional<std::uint64_t> CompletionDelay() const;

  private:
    const tovrik::Device& device_;
    std::optional<std::uint8_t> endpoint_;
    std::optional<tovrik_bus_counters> before_;
    std::optional<tovrik_bus_counters> after_;
};

// A stream's missing sequence numbers, split by who dropped them.
struct LossSplit {
    std::uint64_t Missing = 0;
    std::optional<std::uint64_t> OnBus; // empty: no bus counters on this system
    std::uint64_t RingFull = 0;         // with bus counters: Missing - OnBus
};

LossSplit SplitLosses(std::uint64_t missing, const BusWatch& watch);

} // namespace tovrik::cli
