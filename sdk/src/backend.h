// The seam between the SDK's calls and the system below them. The core (records, decoding,
// names) knows nothing of Windows or of the simulated world; each backend implements these two
// classes, and the build links exactly one backend into the library together with the core.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <span>

struct tovrik_system_options;
struct tovrik_bus_counters;

namespace tovrik::sdk {

struct RawResult {
    std::int32_t Status = 0;
    std::uint64_t Information = 0;
};

// An open camera. Ioctl behaves as DeviceIoControl does: the input is copied in, the output
// buffer is the caller's own memory, used in place (the direct methods read data out of it or
// write data into it), and on return it holds what the platform copied back.
class Channel {
  public:
    virtual ~Channel() = default;
    virtual RawResult Ioctl(std::uint32_t code, std::span<const std::uint8_t> input,
                            std::span<std::uint8_t> output) = 0;
};

class Backend {
  public:
    virtual ~Backend() = default;
    // Opens camera `number`; on failure returns the status and leaves `channel` empty.
    virtual std::int32_t Open(std::uint32_t number, std::unique_ptr<Channel>& channel) = 0;
    // The system's clock in 100-ns units and its speed against real time. The machine's
    // monotonic clock unless the backend keeps its own.
    virtual std::uint64_t Now() const {
        auto since = std::chrono::steady_clock::now().time_since_epoch();
        return static_cast<std::uint64_t>(
            std::chrono::duration_cast<std::chrono::nanoseconds>(since).count() / 100);
    }
    virtual double ClockScale() const { return 1.0; }
    // The simulated bus's counters (tovrik_system_bus_counters); a system without one has none.
    virtual std::int32_t BusCounters(std::uint32_t camera, std::uint8_t endpoint,
                                     tovrik_bus_counters& counters) const {
        return static_cast<std::int32_t>(0xC00000BB); // STATUS_NOT_SUPPORTED
    }
    // The same for the camera an open channel of this backend's is on
    // (tovrik_device_bus_counters).
    virtual std::int32_t DeviceBusCounters(const Channel& channel, std::uint8_t endpoint,
                                           tovrik_bus_counters& counters) const {
        return static_cast<std::int32_t>(0xC00000BB); // STATUS_NOT_SUPPORTED
    }
};

} // namespace tovrik::sdk

// The system handle of the C interface: owns its backend. Defined here so that a backend's
// tovrik_system_open (and a test's) can make one.
struct tovrik_system {
    std::unique_ptr<tovrik::sdk::Backend> Backend;
    std::uint32_t OpenDevices = 0;
};

namespace tovrik::sdk {
// Wraps a backend into a system handle for tovrik_system_open.
tovrik_system* AdoptBackend(std::unique_ptr<Backend> backend);
} // namespace tovrik::sdk
