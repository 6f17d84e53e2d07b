// C++ view of the SDK: owning handles for the system and its cameras, and the typed calls as
// members. Request results are the C records (a failed request is a status, not an exception);
// only opening a system or a camera throws, because without it there is nothing to return.
// Calls whose output has no fixed size own their buffer here, as a vector.
#pragma once

#include "tovrik/sdk.h"

#include <algorithm>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace tovrik {

inline std::string StatusName(std::int32_t status) {
    return tovrik_status_name(status);
}
inline std::string UsbdStatusName(std::uint32_t status) {
    return tovrik_usbd_status_name(status);
}
// The version of the SDK library the program runs with ("1.1.0").
inline std::string SdkVersion() {
    return tovrik_sdk_version(nullptr, nullptr, nullptr);
}

class Error : public std::runtime_error {
  public:
    Error(const std::string& what, std::int32_t status)
        : std::runtime_error(what + ": " + StatusName(status)), status_(status) {}
    std::int32_t Status() const { return status_; }

  private:
    std::int32_t status_;
};

// A result with the output the call owns: `Bytes` holds the bytes the driver reported.
struct BytesResult {
    std::int32_t Status = 0;
    std::uint64_t Information = 0;
    std::vector<std::uint8_t> Bytes;
    bool Succeeded() const { return Status >= 0; }
};

// A packet transfer's result: the buffer, and the split into data and descriptors.
struct PacketsResult {
    std::int32_t Status = 0;
    std::uint64_t Information = 0;
    std::vector<std::uint8_t> Buffer;
    std::uint32_t PacketSize = 0;
    std::vector<ISO_PACKET_DESCRIPTOR> Descriptors;
    std::span<const std::uint8_t> Data() const {
        return {Buffer.data(), std::size_t{PacketSize} * Descriptors.size()};
    }
    std::span<const std::uint8_t> Packet(std::size_t i) const {
        return {Buffer.data() + std::size_t{PacketSize} * i, PacketSize};
    }
};

class Device {
  public:
    Device() = default;
    explicit Device(tovrik_device* device) : device_(device) {}

    tovrik_device* get() const { return device_.get(); }
    std::uint32_t Number() const { return tovrik_device_number(device_.get()); }
    explicit operator bool() const { return static_cast<bool>(device_); }

    tovrik_result Ioctl(std::uint32_t code, std::span<const std::uint8_t> input,
                        std::span<std::uint8_t> output) {
        return tovrik_ioctl(get(), code, input.data(), Size(input), output.data(), Size(output));
    }
    // The raw call with an output buffer of `outputLength` bytes, cut to what the driver reported.
    BytesResult Ioctl(std::uint32_t code, std::span<const std::uint8_t> input,
                      std::uint32_t outputLength) {
        BytesResult out;
        out.Bytes.resize(outputLength);
        tovrik_result r =
            tovrik_ioctl(get(), code, input.data(), Size(input), out.Bytes.data(), outputLength);
        return Finish(out, r.status, r.information);
    }

    tovrik_pipe_info_result PipeInfo() { return tovrik_get_pipe_info(get()); }
    // The simulated bus's counters of an endpoint address on this camera (see
    // tovrik_device_bus_counters); empty where there is no simulated bus.
    std::optional<tovrik_bus_counters> BusCounters(std::uint8_t endpoint) const {
        tovrik_bus_counters counters{};
        counters.struct_size = sizeof counters;
        if (tovrik_device_bus_counters(get(), endpoint, &counters) < 0)
            return std::nullopt;
        return counters;
    }
    tovrik_device_descriptor_result DeviceDescriptor() {
        return tovrik_get_device_descriptor(get());
    }
    // The whole configuration descriptor set: the 9-byte header first for its total length,
    // then the set (as much of it as `limit` allows).
    BytesResult ConfigurationDescriptor(std::uint32_t limit = 65535) {
        BytesResult out;
        out.Bytes.resize(9);
        auto head = tovrik_get_configuration_descriptor(get(), out.Bytes.data(), 9);
        std::uint32_t total = head.valid ? head.wTotalLength : 0;
        if (!head.valid || total <= 9)
            return Finish(out, head.status, head.information);
        out.Bytes.assign(std::min(total, limit), 0);
        auto all = tovrik_get_configuration_descriptor(get(), out.Bytes.data(), Size(out.Bytes));
        return Finish(out, all.status, all.information);
    }
    BytesResult VendorRequest(const VENDOR_DEVICE_REQUEST& request, std::uint32_t outputLength) {
        BytesResult out;
        out.Bytes.resize(outputLength);
        auto r = tovrik_vendor_request(get(), &request, out.Bytes.data(), outputLength);
        return Finish(out, r.status, r.information);
    }
    tovrik_result NoOperation() { return tovrik_no_operation(get()); }
    tovrik_result DownloadRam(std::span<const std::uint8_t> bytes) {
        return tovrik_download_ram(get(), bytes.data(), Size(bytes));
    }
    tovrik_result ResetPort() { return tovrik_reset_port(get()); }
    tovrik_result ResetPipe(std::uint32_t pipe) { return tovrik_reset_pipe(get(), pipe); }
    tovrik_result AbortPipe(std::uint32_t pipe) { return tovrik_abort_pipe(get(), pipe); }
    tovrik_result SetInterface(std::uint8_t number, std::uint8_t alternate) {
        return tovrik_set_interface(get(), number, alternate);
    }
    tovrik_string_descriptor_result
    StringDescriptor(std::uint8_t index, std::uint16_t language = TOVRIK_LANGUAGE_ENGLISH_US) {
        return tovrik_get_string_descriptor(get(), index, language);
    }
    tovrik_data_result BulkRead(std::uint32_t pipe, std::span<std::uint8_t> buffer) {
        return tovrik_bulk_read(get(), pipe, buffer.data(), Size(buffer));
    }
    tovrik_data_result BulkWrite(std::uint32_t pipe, std::span<const std::uint8_t> buffer) {
        return tovrik_bulk_write(get(), pipe, buffer.data(), Size(buffer));
    }
    tovrik_data_result ChunkedRead(std::uint32_t pipe, std::span<std::uint8_t> buffer) {
        return tovrik_chunked_read(get(), pipe, buffer.data(), Size(buffer));
    }
    tovrik_data_result ChunkedWrite(std::uint32_t pipe, std::span<const std::uint8_t> buffer) {
        return tovrik_chunked_write(get(), pipe, buffer.data(), Size(buffer));
    }
    tovrik_u32_result FrameNumber() { return tovrik_get_frame_number(get()); }
    // A control request; host to device sends `data`. Device to host goes only without data:
    // the driver refuses a device-to-host data stage on this code (its buffer is read-only).
    tovrik_data_result ControlRequest(const CLASS_VENDOR_REQUEST& request,
                                      std::span<std::uint8_t> data) {
        return tovrik_control_request(get(), &request, data.data(), Size(data));
    }
    tovrik_u32_result LastError() { return tovrik_get_last_error(get()); }
    // One-shot isochronous transfers; the buffer is sized for the request's layout.
    PacketsResult IsoRead(const ISO_REQUEST& request) { return Iso(request, false, {}); }
    PacketsResult IsoWrite(const ISO_REQUEST& request, std::span<const std::uint8_t> data) {
        return Iso(request, true, data);
    }
    tovrik_result WriteRam(std::uint16_t address, std::span<const std::uint8_t> bytes) {
        return tovrik_write_ram(get(), address, bytes.data(), Size(bytes));
    }
    tovrik_driver_version_result DriverVersion() { return tovrik_get_driver_version(get()); }
    tovrik_result StartIsoStream(const ISO_REQUEST& request) {
        return tovrik_start_iso_stream(get(), &request);
    }
    tovrik_result StopIsoStream() { return tovrik_stop_iso_stream(get()); }
    PacketsResult ReadIsoStream(std::uint32_t packetSize, std::uint32_t packets) {
        PacketsResult out;
        out.Buffer.resize(std::size_t{packets} * (std::size_t{packetSize} + 12));
        auto r =
            tovrik_read_iso_stream(get(), packetSize, packets, out.Buffer.data(), Size(out.Buffer));
        return Split(out, r);
    }
    tovrik_result SetFeature(std::uint16_t selector, std::uint16_t index) {
        return tovrik_set_feature(get(), selector, index);
    }
    tovrik_result SetTimeout(std::uint32_t selector, std::int32_t milliseconds) {
        return tovrik_set_timeout(get(), selector, milliseconds);
    }

  private:
    struct Closer {
        void operator()(tovrik_device* device) const { tovrik_close(device); }
    };

    template <typename Span> static std::uint32_t Size(const Span& s) {
        return static_cast<std::uint32_t>(s.size());
    }
    static BytesResult& Finish(BytesResult& out, std::int32_t status, std::uint64_t information) {
        out.Status = status;
        out.Information = information;
        out.Bytes.resize(status >= 0 ? std::min<std::uint64_t>(information, out.Bytes.size()) : 0);
        return out;
    }
    PacketsResult Iso(const ISO_REQUEST& request, bool write, std::span<const std::uint8_t> data) {
        PacketsResult out;
        std::size_t dataBytes = std::size_t{request.PacketSize} * request.PacketCount;
        out.Buffer.assign(dataBytes + std::size_t{12} * request.PacketCount, 0);
        std::copy_n(data.begin(), std::min(data.size(), dataBytes), out.Buffer.begin());
        auto r = write ? tovrik_iso_write(get(), &request, out.Buffer.data(), Size(out.Buffer))
                       : tovrik_iso_read(get(), &request, out.Buffer.data(), Size(out.Buffer));
        return Split(out, r);
    }
    static PacketsResult& Split(PacketsResult& out, const tovrik_packets_result& r) {
        out.Status = r.status;
        out.Information = r.information;
        out.PacketSize = r.packet_size;
        for (std::uint32_t i = 0; i < r.packet_count; ++i)
            out.Descriptors.push_back(tovrik_packet_descriptor(&r, i));
        return out;
    }

    std::unique_ptr<tovrik_device, Closer> device_;
};

class System {
  public:
    // Opens the system the build provides; `options` shapes the simulated world (null: defaults).
    static System Open(const tovrik_system_options* options = nullptr) {
        tovrik_system* system = nullptr;
        std::int32_t status = tovrik_system_open(options, &system);
        if (status < 0)
            throw Error("cannot open the camera system", status);
        return System(system);
    }

    tovrik_system* get() const { return system_.get(); }
    // The system's clock (100-ns units) and its speed against real time.
    std::uint64_t Time() const { return tovrik_system_time(get()); }
    double ClockScale() const { return tovrik_system_clock_scale(get()); }

    // The simulated bus's counters of an endpoint address (see tovrik_system_bus_counters);
    // empty where there is no simulated bus.
    std::optional<tovrik_bus_counters>
    BusCounters(std::uint8_t endpoint, std::uint32_t camera = TOVRIK_SIM_ALL_CAMERAS) const {
        tovrik_bus_counters counters{};
        counters.struct_size = sizeof counters;
        if (tovrik_system_bus_counters(get(), camera, endpoint, &counters) < 0)
            return std::nullopt;
        return counters;
    }

    std::vector<std::uint32_t> Cameras() const {
        std::vector<std::uint32_t> numbers(TOVRIK_MAX_CAMERAS);
        numbers.resize(tovrik_enumerate(get(), numbers.data(), TOVRIK_MAX_CAMERAS));
        return numbers;
    }

    Device OpenCamera(std::uint32_t number) const {
        tovrik_device* device = nullptr;
        std::int32_t status = tovrik_open(get(), number, &device);
        if (status < 0)
            throw Error("cannot open camera " + std::to_string(number), status);
        return Device(device);
    }

    static std::string Path(std::uint32_t number) {
        std::string path(tovrik_device_path(number, nullptr, 0), '\0');
        tovrik_device_path(number, path.data(), path.size() + 1);
        return path;
    }

  private:
    explicit System(tovrik_system* system) : system_(system) {}
    struct Closer {
        void operator()(tovrik_system* system) const { tovrik_system_close(system); }
    };
    std::unique_ptr<tovrik_system, Closer> system_;
};

} // namespace tovrik
