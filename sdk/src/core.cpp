// The typed calls: each builds its code's input record, sizes the output the way the driver
// expects it, sends the request through the backend, and decodes what came back. Decoding only
// trusts the bytes the driver reported (Information), never the rest of the buffer.
#include "backend.h"
#include "le.h"
#include "tovrik/sdk.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>

struct tovrik_device {
    tovrik_system* System = nullptr;
    std::uint32_t Number = 0;
    std::unique_ptr<tovrik::sdk::Channel> Channel;
};

namespace tovrik::sdk {

tovrik_system* AdoptBackend(std::unique_ptr<Backend> backend) {
    auto* system = new (std::nothrow) tovrik_system;
    if (system != nullptr)
        system->Backend = std::move(backend);
    return system;
}

} // namespace tovrik::sdk

namespace {

using tovrik::sdk::RawResult;
using Bytes = std::span<const std::uint8_t>;

template <typename Result> Result Start(const RawResult& raw) {
    Result result{};
    result.status = raw.Status;
    result.information = raw.Information;
    return result;
}

// The bytes of the output the driver vouched for: Information, never more than the buffer.
std::size_t Reported(const RawResult& raw, std::size_t capacity) {
    if (raw.Status < 0)
        return 0;
    return static_cast<std::size_t>(std::min<std::uint64_t>(raw.Information, capacity));
}

RawResult Send(tovrik_device* device, std::uint32_t code, Bytes input,
               std::span<std::uint8_t> output) {
    if (device == nullptr || !device->Channel)
        return {TOVRIK_STATUS_INVALID_HANDLE, 0};
    return device->Channel->Ioctl(code, input, output);
}

template <typename Record> Bytes AsBytes(const Record& record) {
    return {reinterpret_cast<const std::uint8_t*>(&record), sizeof record};
}

std::span<std::uint8_t> Buffer(void* buffer, std::uint32_t length) {
    if (buffer == nullptr)
        return {};
    return {static_cast<std::uint8_t*>(buffer), length};
}

// The write codes of the direct methods send the caller's data through the output buffer; the
// driver only reads it, so handing it over without a copy is safe.
std::span<std::uint8_t> ConstBuffer(const void* buffer, std::uint32_t length) {
    return Buffer(const_cast<void*>(buffer), length);
}

tovrik_result Simple(tovrik_device* device, std::uint32_t code, Bytes input) {
    return Start<tovrik_result>(Send(device, code, input, {}));
}

tovrik_data_result Data(tovrik_device* device, std::uint32_t code, Bytes input,
                        std::span<std::uint8_t> output) {
    RawResult raw = Send(device, code, input, output);
    auto result = Start<tovrik_data_result>(raw);
    result.data = output.data();
    result.length = static_cast<std::uint32_t>(Reported(raw, output.size()));
    return result;
}

// A request whose input is the caller's record and whose output is the caller's data buffer.
template <typename Record>
tovrik_data_result DataWithRecord(tovrik_device* device, std::uint32_t code, const Record* request,
                                  void* data, std::uint32_t dataLength) {
    if (request == nullptr)
        return Start<tovrik_data_result>({TOVRIK_STATUS_INVALID_PARAMETER, 0});
    return Data(device, code, AsBytes(*request), Buffer(data, dataLength));
}

// A request that answers one 32-bit little-endian value.
tovrik_u32_result U32(tovrik_device* device, std::uint32_t code) {
    std::array<std::uint8_t, 4> buffer{};
    RawResult raw = Send(device, code, {}, buffer);
    auto result = Start<tovrik_u32_result>(raw);
    if (Reported(raw, buffer.size()) == 4)
        result.value = tovrik::sdk::Le32(buffer, 0);
    return result;
}

tovrik_data_result Pipe(tovrik_device* device, std::uint32_t code, std::uint32_t pipe,
                        std::span<std::uint8_t> buffer) {
    PIPE_INDEX_REQUEST request{pipe};
    return Data(device, code, AsBytes(request), buffer);
}

tovrik_packets_result Packets(const RawResult& raw, std::span<std::uint8_t> buffer,
                              std::uint32_t packetSize, std::uint32_t packets) {
    auto result = Start<tovrik_packets_result>(raw);
    result.data = buffer.data();
    result.packet_size = packetSize;
    std::uint64_t dataBytes = std::uint64_t{packetSize} * packets;
    // Only a successful transfer whose whole layout fits the buffer is split; anything else
    // would point the caller past its own memory. Divided, not multiplied out: the layout's
    // size need not fit 64 bits.
    if (raw.Status < 0 ||
        (packets != 0 && std::uint64_t{packetSize} + 12 > buffer.size() / packets))
        return result;
    result.data_length = static_cast<std::uint32_t>(dataBytes);
    result.descriptors = buffer.data() + dataBytes;
    result.packet_count = packets;
    return result;
}

// An isochronous transfer: the caller's request record in, its buffer of packets and
// descriptors out.
tovrik_packets_result Iso(tovrik_device* device, std::uint32_t code, const ISO_REQUEST* request,
                          void* buffer, std::uint32_t bufferLength) {
    if (request == nullptr)
        return Start<tovrik_packets_result>({TOVRIK_STATUS_INVALID_PARAMETER, 0});
    auto output = Buffer(buffer, bufferLength);
    RawResult raw = Send(device, code, AsBytes(*request), output);
    return Packets(raw, output, request->PacketSize, request->PacketCount);
}

// UTF-16LE code units to UTF-8, pairing surrogates; anything unpaired becomes U+FFFD.
std::string Utf8FromUtf16(Bytes units) {
    std::string text;
    auto append = [&text](std::uint32_t c) {
        if (c < 0x80) {
            text += static_cast<char>(c);
        } else if (c < 0x800) {
            text += static_cast<char>(0xC0 | (c >> 6));
            text += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            text += static_cast<char>(0xE0 | (c >> 12));
            text += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            text += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            text += static_cast<char>(0xF0 | (c >> 18));
            text += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            text += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            text += static_cast<char>(0x80 | (c & 0x3F));
        }
    };
    std::size_t count = units.size() / 2;
    for (std::size_t i = 0; i < count; ++i) {
        std::uint32_t unit = tovrik::sdk::Le16(units, 2 * i);
        if (unit >= 0xD800 && unit < 0xDC00 && i + 1 < count) {
            std::uint32_t low = tovrik::sdk::Le16(units, 2 * i + 2);
            if (low >= 0xDC00 && low < 0xE000) {
                append(0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00));
                ++i;
                continue;
            }
        }
        append(unit >= 0xD800 && unit < 0xE000 ? 0xFFFD : unit);
    }
    return text;
}

} // namespace

using tovrik::sdk::Le16;
using tovrik::sdk::Le32;
using tovrik::sdk::Le64;

extern "C" {

void tovrik_system_options_init(tovrik_system_options* options) {
    if (options == nullptr)
        return;
    *options = tovrik_system_options{};
    options->struct_size = sizeof *options;
    options->sim_cameras = 1;
    options->sim_identity = TOVRIK_SIM_IDENTITY_FOREIGN;
    options->sim_timing = TOVRIK_SIM_TIMING_UNTHROTTLED;
    options->sim_clock_scale = 1.0;
}

void tovrik_system_close(tovrik_system* system) {
    delete system;
}

std::uint64_t tovrik_system_time(tovrik_system* system) {
    return system != nullptr && system->Backend ? system->Backend->Now() : 0;
}

std::int32_t tovrik_system_bus_counters(tovrik_system* system, std::uint32_t camera,
                                        std::uint8_t endpoint, tovrik_bus_counters* counters) {
    if (system == nullptr || !system->Backend || counters == nullptr ||
        counters->struct_size < sizeof(tovrik_bus_counters))
        return TOVRIK_STATUS_INVALID_PARAMETER;
    return system->Backend->BusCounters(camera, endpoint, *counters);
}

std::int32_t tovrik_device_bus_counters(tovrik_device* device, std::uint8_t endpoint,
                                        tovrik_bus_counters* counters) {
    if (device == nullptr || !device->Channel || device->System == nullptr ||
        !device->System->Backend || counters == nullptr ||
        counters->struct_size < sizeof(tovrik_bus_counters))
        return TOVRIK_STATUS_INVALID_PARAMETER;
    return device->System->Backend->DeviceBusCounters(*device->Channel, endpoint, *counters);
}

double tovrik_system_clock_scale(tovrik_system* system) {
    return system != nullptr && system->Backend ? system->Backend->ClockScale() : 1.0;
}

size_t tovrik_device_path(std::uint32_t number, char* path, size_t capacity) {
    std::string text =
        std::string(TOVRIK_USER_PATH_PREFIX) + TOVRIK_DEVICE_NUMBER_CHARACTER(number);
    if (path != nullptr && capacity > 0) {
        std::size_t n = std::min(text.size(), capacity - 1);
        std::memcpy(path, text.data(), n);
        path[n] = '\0';
    }
    return text.size();
}

std::uint32_t tovrik_enumerate(tovrik_system* system, std::uint32_t* numbers,
                               std::uint32_t capacity) {
    if (system == nullptr || !system->Backend)
        return 0;
    // There is no registry of cameras to ask: a camera exists when its name opens, which is
    // also how the numbers are handed out (the lowest free one), so every number is tried.
    std::uint32_t found = 0;
    for (std::uint32_t n = 0; n < TOVRIK_MAX_CAMERAS; ++n) {
        std::unique_ptr<tovrik::sdk::Channel> channel;
        if (system->Backend->Open(n, channel) >= 0 && channel) {
            if (numbers != nullptr && found < capacity)
                numbers[found] = n;
            ++found;
        }
    }
    return found;
}

std::int32_t tovrik_open(tovrik_system* system, std::uint32_t number, tovrik_device** device) {
    if (device == nullptr)
        return TOVRIK_STATUS_INVALID_PARAMETER;
    *device = nullptr;
    if (system == nullptr || !system->Backend)
        return TOVRIK_STATUS_INVALID_HANDLE;
    if (number >= TOVRIK_MAX_CAMERAS)
        return TOVRIK_STATUS_OBJECT_NAME_NOT_FOUND;
    std::unique_ptr<tovrik::sdk::Channel> channel;
    std::int32_t status = system->Backend->Open(number, channel);
    if (status < 0)
        return status;
    if (!channel)
        return TOVRIK_STATUS_UNSUCCESSFUL;
    auto* opened = new (std::nothrow) tovrik_device;
    if (opened == nullptr)
        return TOVRIK_STATUS_NO_MEMORY;
    opened->System = system;
    opened->Number = number;
    opened->Channel = std::move(channel);
    ++system->OpenDevices;
    *device = opened;
    return status;
}

void tovrik_close(tovrik_device* device) {
    if (device == nullptr)
        return;
    if (device->System != nullptr)
        --device->System->OpenDevices;
    delete device;
}

std::uint32_t tovrik_device_number(const tovrik_device* device) {
    return device != nullptr ? device->Number : 0;
}

tovrik_result tovrik_ioctl(tovrik_device* device, std::uint32_t code, const void* input,
                           std::uint32_t input_length, void* output, std::uint32_t output_length) {
    Bytes in =
        input != nullptr ? Bytes{static_cast<const std::uint8_t*>(input), input_length} : Bytes{};
    return Start<tovrik_result>(Send(device, code, in, Buffer(output, output_length)));
}

tovrik_pipe_info_result tovrik_get_pipe_info(tovrik_device* device) {
    std::array<std::uint8_t, TOVRIK_PIPE_TABLE_MAX_BYTES> buffer{};
    RawResult raw = Send(device, IOCTL_TOVRIK_GET_PIPE_INFO, {}, buffer);
    auto result = Start<tovrik_pipe_info_result>(raw);
    std::size_t got = Reported(raw, buffer.size());
    result.raw_length = static_cast<std::uint32_t>(got);
    std::memcpy(result.raw, buffer.data(), got);
    if (got < TOVRIK_PIPE_TABLE_HEADER_BYTES)
        return result;
    Bytes table{buffer.data(), got};
    result.present = 1;
    result.length = Le16(table, 0);
    result.interface_number = table[2];
    result.alternate_setting = table[3];
    result.interface_class = table[4];
    result.interface_subclass = table[5];
    result.interface_protocol = table[6];
    result.interface_handle = Le64(table, 8);
    result.number_of_pipes = Le32(table, 16);
    std::size_t fit = (got - TOVRIK_PIPE_TABLE_HEADER_BYTES) / TOVRIK_PIPE_ENTRY_BYTES;
    std::uint32_t decoded = static_cast<std::uint32_t>(
        std::min<std::size_t>({fit, result.number_of_pipes, TOVRIK_MAX_PIPES}));
    for (std::uint32_t i = 0; i < decoded; ++i) {
        std::size_t at = TOVRIK_PIPE_TABLE_HEADER_BYTES + TOVRIK_PIPE_ENTRY_BYTES * i;
        tovrik_pipe& pipe = result.pipes[i];
        pipe.maximum_packet_size = Le16(table, at);
        pipe.endpoint_address = table[at + 2];
        pipe.interval = table[at + 3];
        pipe.pipe_type = Le32(table, at + 4);
        pipe.pipe_handle = Le64(table, at + 8);
        pipe.maximum_transfer_size = Le32(table, at + 16);
        pipe.pipe_flags = Le32(table, at + 20);
    }
    result.pipes_decoded = decoded;
    return result;
}

tovrik_device_descriptor_result tovrik_get_device_descriptor(tovrik_device* device) {
    std::array<std::uint8_t, 18> buffer{};
    RawResult raw = Send(device, IOCTL_TOVRIK_GET_DEVICE_DESCRIPTOR, {}, buffer);
    auto result = Start<tovrik_device_descriptor_result>(raw);
    std::size_t got = Reported(raw, buffer.size());
    std::memcpy(result.raw, buffer.data(), got);
    if (got < buffer.size())
        return result;
    Bytes d = buffer;
    tovrik_device_descriptor& out = result.descriptor;
    out.bLength = d[0];
    out.bDescriptorType = d[1];
    out.bcdUSB = Le16(d, 2);
    out.bDeviceClass = d[4];
    out.bDeviceSubClass = d[5];
    out.bDeviceProtocol = d[6];
    out.bMaxPacketSize0 = d[7];
    out.idVendor = Le16(d, 8);
    out.idProduct = Le16(d, 10);
    out.bcdDevice = Le16(d, 12);
    out.iManufacturer = d[14];
    out.iProduct = d[15];
    out.iSerialNumber = d[16];
    out.bNumConfigurations = d[17];
    result.valid = 1;
    return result;
}

tovrik_configuration_descriptor_result
tovrik_get_configuration_descriptor(tovrik_device* device, void* buffer,
                                    std::uint32_t buffer_length) {
    auto output = Buffer(buffer, buffer_length);
    RawResult raw = Send(device, IOCTL_TOVRIK_GET_CONFIGURATION_DESCRIPTOR, {}, output);
    auto result = Start<tovrik_configuration_descriptor_result>(raw);
    std::size_t got = Reported(raw, output.size());
    result.bytes = output.data();
    result.length = static_cast<std::uint32_t>(got);
    if (got < 9)
        return result;
    Bytes c{output.data(), got};
    result.wTotalLength = Le16(c, 2);
    result.bNumInterfaces = c[4];
    result.bConfigurationValue = c[5];
    result.iConfiguration = c[6];
    result.bmAttributes = c[7];
    result.bMaxPower = c[8];
    result.valid = 1;
    return result;
}

tovrik_data_result tovrik_vendor_request(tovrik_device* device,
                                         const VENDOR_DEVICE_REQUEST* request, void* data,
                                         std::uint32_t data_length) {
    return DataWithRecord(device, IOCTL_TOVRIK_VENDOR_REQUEST, request, data, data_length);
}

tovrik_result tovrik_no_operation(tovrik_device* device) {
    return Simple(device, IOCTL_TOVRIK_NO_OPERATION, {});
}

tovrik_result tovrik_download_ram(tovrik_device* device, const void* bytes, std::uint32_t length) {
    Bytes input =
        bytes != nullptr ? Bytes{static_cast<const std::uint8_t*>(bytes), length} : Bytes{};
    return Simple(device, IOCTL_TOVRIK_DOWNLOAD_RAM, input);
}

tovrik_result tovrik_reset_port(tovrik_device* device) {
    return Simple(device, IOCTL_TOVRIK_RESET_PORT, {});
}

tovrik_result tovrik_reset_pipe(tovrik_device* device, std::uint32_t pipe_index) {
    PIPE_INDEX_REQUEST request{pipe_index};
    return Simple(device, IOCTL_TOVRIK_RESET_PIPE, AsBytes(request));
}

tovrik_result tovrik_abort_pipe(tovrik_device* device, std::uint32_t pipe_index) {
    PIPE_INDEX_REQUEST request{pipe_index};
    return Simple(device, IOCTL_TOVRIK_ABORT_PIPE, AsBytes(request));
}

tovrik_result tovrik_set_interface(tovrik_device* device, std::uint8_t interface_number,
                                   std::uint8_t alternate_setting) {
    INTERFACE_SELECTION request{interface_number, alternate_setting};
    return Simple(device, IOCTL_TOVRIK_SET_INTERFACE, AsBytes(request));
}

tovrik_string_descriptor_result
tovrik_get_string_descriptor(tovrik_device* device, std::uint8_t index, std::uint16_t language_id) {
    STRING_DESCRIPTOR_REQUEST request{index, 0, language_id};
    // A string descriptor's length is one byte, so 255 bytes always hold the whole of it.
    std::array<std::uint8_t, 255> buffer{};
    RawResult raw = Send(device, IOCTL_TOVRIK_GET_STRING_DESCRIPTOR, AsBytes(request), buffer);
    auto result = Start<tovrik_string_descriptor_result>(raw);
    std::size_t got = Reported(raw, buffer.size());
    std::memcpy(result.raw, buffer.data(), got);
    result.raw_length = static_cast<std::uint32_t>(got);
    if (got < 2)
        return result;
    // The descriptor's own length bounds the text; a device claiming more than it sent is held
    // to what it sent.
    std::size_t end = std::min<std::size_t>(got, buffer[0]);
    Bytes units = end > 2 ? Bytes{buffer.data() + 2, end - 2} : Bytes{};
    if (index == 0) {
        result.language_id_count = static_cast<std::uint32_t>(units.size() / 2);
        for (std::uint32_t i = 0; i < result.language_id_count; ++i)
            result.language_ids[i] = Le16(units, std::size_t{2} * i);
        return result;
    }
    std::string text = Utf8FromUtf16(units);
    std::size_t n = std::min(text.size(), sizeof result.utf8 - 1);
    std::memcpy(result.utf8, text.data(), n);
    result.utf8[n] = '\0';
    return result;
}

tovrik_data_result tovrik_bulk_read(tovrik_device* device, std::uint32_t pipe_index, void* buffer,
                                    std::uint32_t length) {
    return Pipe(device, IOCTL_TOVRIK_BULK_READ, pipe_index, Buffer(buffer, length));
}

tovrik_data_result tovrik_bulk_write(tovrik_device* device, std::uint32_t pipe_index,
                                     const void* buffer, std::uint32_t length) {
    return Pipe(device, IOCTL_TOVRIK_BULK_WRITE, pipe_index, ConstBuffer(buffer, length));
}

tovrik_data_result tovrik_chunked_read(tovrik_device* device, std::uint32_t pipe_index,
                                       void* buffer, std::uint32_t length) {
    return Pipe(device, IOCTL_TOVRIK_CHUNKED_READ, pipe_index, Buffer(buffer, length));
}

tovrik_data_result tovrik_chunked_write(tovrik_device* device, std::uint32_t pipe_index,
                                        const void* buffer, std::uint32_t length) {
    return Pipe(device, IOCTL_TOVRIK_CHUNKED_WRITE, pipe_index, ConstBuffer(buffer, length));
}

tovrik_u32_result tovrik_get_frame_number(tovrik_device* device) {
    return U32(device, IOCTL_TOVRIK_GET_FRAME_NUMBER);
}

tovrik_data_result tovrik_control_request(tovrik_device* device,
                                          const CLASS_VENDOR_REQUEST* request, void* data,
                                          std::uint32_t data_length) {
    return DataWithRecord(device, IOCTL_TOVRIK_CONTROL_REQUEST, request, data, data_length);
}

tovrik_u32_result tovrik_get_last_error(tovrik_device* device) {
    return U32(device, IOCTL_TOVRIK_GET_LAST_ERROR);
}

tovrik_packets_result tovrik_iso_read(tovrik_device* device, const ISO_REQUEST* request,
                                      void* buffer, std::uint32_t buffer_length) {
    return Iso(device, IOCTL_TOVRIK_ISO_READ, request, buffer, buffer_length);
}

tovrik_packets_result tovrik_iso_write(tovrik_device* device, const ISO_REQUEST* request,
                                       void* buffer, std::uint32_t buffer_length) {
    return Iso(device, IOCTL_TOVRIK_ISO_WRITE, request, buffer, buffer_length);
}

ISO_PACKET_DESCRIPTOR tovrik_packet_descriptor(const tovrik_packets_result* result,
                                               std::uint32_t i) {
    ISO_PACKET_DESCRIPTOR descriptor{};
    if (result == nullptr || result->descriptors == nullptr || i >= result->packet_count)
        return descriptor;
    Bytes d{result->descriptors + std::size_t{12} * i, 12};
    descriptor.Offset = Le32(d, 0);
    descriptor.Length = Le32(d, 4);
    descriptor.Status = static_cast<std::int32_t>(Le32(d, 8));
    return descriptor;
}

const std::uint8_t* tovrik_packet_data(const tovrik_packets_result* result, std::uint32_t i) {
    if (result == nullptr || result->data == nullptr || i >= result->packet_count)
        return nullptr;
    return result->data + std::size_t{result->packet_size} * i;
}

tovrik_result tovrik_write_ram(tovrik_device* device, std::uint16_t address, const void* bytes,
                               std::uint32_t length) {
    std::array<std::uint8_t, 2> input{static_cast<std::uint8_t>(address),
                                      static_cast<std::uint8_t>(address >> 8)};
    return Start<tovrik_result>(
        Send(device, IOCTL_TOVRIK_WRITE_RAM, input, ConstBuffer(bytes, length)));
}

tovrik_driver_version_result tovrik_get_driver_version(tovrik_device* device) {
    std::array<std::uint8_t, 6> buffer{};
    RawResult raw = Send(device, IOCTL_TOVRIK_GET_DRIVER_VERSION, {}, buffer);
    auto result = Start<tovrik_driver_version_result>(raw);
    if (Reported(raw, buffer.size()) == 6) {
        result.version.Major = Le16(buffer, 0);
        result.version.Minor = Le16(buffer, 2);
        result.version.Build = Le16(buffer, 4);
    }
    return result;
}

tovrik_result tovrik_start_iso_stream(tovrik_device* device, const ISO_REQUEST* request) {
    if (request == nullptr)
        return Start<tovrik_result>({TOVRIK_STATUS_INVALID_PARAMETER, 0});
    return Simple(device, IOCTL_TOVRIK_START_ISO_STREAM, AsBytes(*request));
}

tovrik_result tovrik_stop_iso_stream(tovrik_device* device) {
    return Simple(device, IOCTL_TOVRIK_STOP_ISO_STREAM, {});
}

tovrik_packets_result tovrik_read_iso_stream(tovrik_device* device, std::uint32_t packet_size,
                                             std::uint32_t packet_count, void* buffer,
                                             std::uint32_t buffer_length) {
    ISO_REQUEST request{0, packet_size, packet_count, 0, 0};
    auto output = Buffer(buffer, buffer_length);
    RawResult raw = Send(device, IOCTL_TOVRIK_READ_ISO_STREAM, AsBytes(request), output);
    // Information is D data bytes plus 12 per packet read, each packet taking S bytes of data:
    // D (S + 12) / S bytes, so the packets read are Information / (S + 12).
    std::uint32_t packets = 0;
    if (raw.Status >= 0)
        packets = static_cast<std::uint32_t>(raw.Information / (std::uint64_t{packet_size} + 12));
    return Packets(raw, output, packet_size, std::min(packets, packet_count));
}

tovrik_result tovrik_set_feature(tovrik_device* device, std::uint16_t feature_selector,
                                 std::uint16_t index) {
    FEATURE_REQUEST request{feature_selector, index};
    return Simple(device, IOCTL_TOVRIK_SET_FEATURE, AsBytes(request));
}

tovrik_result tovrik_set_timeout(tovrik_device* device, std::uint32_t selector,
                                 std::int32_t milliseconds) {
    TIMEOUT_REQUEST request{selector, milliseconds};
    return Simple(device, IOCTL_TOVRIK_SET_TIMEOUT, AsBytes(request));
}

} // extern "C"
