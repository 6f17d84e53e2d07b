#include "capture/capture.h"

#include <cerrno>
#include <limits>
#include <stdexcept>
#include <vector>

#include <fmt/format.h>
#include <fmt/std.h>

namespace sim {

namespace {

constexpr std::uint32_t PcapMagic = 0xa1b2c3d4;
constexpr std::uint16_t PcapMajor = 2;
constexpr std::uint16_t PcapMinor = 4;
constexpr std::uint32_t LinkTypeUsbPcap = 249;

// USBPcap's fixed header, then the control stage byte or the isochronous block.
constexpr std::uint16_t BaseHeaderLength = 27;
constexpr std::uint16_t IsoBlockLength = 12;
constexpr std::uint16_t IsoPacketLength = 12;

constexpr std::uint8_t InfoCompletion = 0x01;
constexpr std::uint8_t EndpointIn = 0x80;

enum class Transfer : std::uint8_t {
    Isochronous = 0,
    Interrupt = 1,
    Control = 2,
    Bulk = 3,
    // A URB that is no transfer; Wireshark shows only its function.
    IrpInfo = 0xfe,
};

enum class ControlStage : std::uint8_t { Setup = 0, Data = 1, Status = 2, Complete = 3 };

// Everything in both headers is little-endian whatever the host, so a capture made anywhere
// reads the same.
class LittleEndian {
  public:
    explicit LittleEndian(std::size_t reserve) { Bytes.reserve(reserve); }

    void U8(std::uint8_t value) { Bytes.push_back(value); }
    void U16(std::uint16_t value) { Put(value, 2); }
    void U32(std::uint32_t value) { Put(value, 4); }
    void I32(std::int32_t value) { Put(static_cast<std::uint32_t>(value), 4); }
    void U64(std::uint64_t value) { Put(value, 8); }

    std::span<const std::uint8_t> View() const { return Bytes; }

  private:
    void Put(std::uint64_t value, int size) {
        for (int i = 0; i < size; ++i) {
            Bytes.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
        }
    }

    std::vector<std::uint8_t> Bytes;
};

std::uint32_t CheckedDataLength(std::span<const std::uint8_t> data) {
    if (data.size() > std::numeric_limits<std::uint32_t>::max() - std::uint32_t{0xffff}) {
        throw std::invalid_argument(
            fmt::format("a capture record holds at most 4 GiB, not {} bytes", data.size()));
    }
    return static_cast<std::uint32_t>(data.size());
}

// The part every record shares; `headerLength` counts what the caller appends after it.
LittleEndian BaseHeader(std::uint16_t headerLength, const UrbRef& urb, std::uint8_t endpoint,
                        std::int32_t status, bool completion, Transfer transfer,
                        std::span<const std::uint8_t> data) {
    LittleEndian header(headerLength);
    header.U16(headerLength);
    header.U64(urb.IrpId);
    header.I32(status);
    header.U16(urb.Function);
    header.U8(completion ? InfoCompletion : 0);
    header.U16(urb.Bus);
    header.U16(urb.Device);
    header.U8(endpoint);
    header.U8(static_cast<std::uint8_t>(transfer));
    header.U32(CheckedDataLength(data));
    return header;
}

// USBPcap's rule for where data goes: OUT bytes exist once the request is made, IN bytes only
// once the device has answered.
std::span<const std::uint8_t> DataFor(bool in, bool completion,
                                      std::span<const std::uint8_t> buffer) {
    return in == completion ? buffer : std::span<const std::uint8_t>{};
}

std::uint8_t ControlEndpoint(const UrbRef& urb, const SetupPacket& setup) {
    return static_cast<std::uint8_t>((urb.Endpoint & ~EndpointIn) |
                                     (setup.DeviceToHost() ? EndpointIn : 0));
}

LittleEndian ControlHeader(const UrbRef& urb, const SetupPacket& setup, std::int32_t status,
                           bool completion, ControlStage stage,
                           std::span<const std::uint8_t> data) {
    LittleEndian header = BaseHeader(BaseHeaderLength + 1, urb, ControlEndpoint(urb, setup), status,
                                     completion, Transfer::Control, data);
    header.U8(static_cast<std::uint8_t>(stage));
    return header;
}

LittleEndian IsoHeader(const UrbRef& urb, std::int32_t status, bool completion,
                       std::uint32_t startFrame, std::span<const IsoPacket> packets,
                       std::span<const std::uint8_t> data) {
    if (packets.size() > PcapWriter::MaxIsoPackets) {
        throw std::invalid_argument(fmt::format("an isochronous URB has at most {} packets, not {}",
                                                PcapWriter::MaxIsoPackets, packets.size()));
    }
    std::uint32_t errors = 0;
    for (const IsoPacket& packet : packets) {
        // Without data (IN at submission, OUT at completion) the offsets point into nothing
        // Wireshark looks at, so only a record that carries the buffer has to match it.
        if (!data.empty() &&
            std::uint64_t{packet.Offset} + packet.Length > std::uint64_t{data.size()}) {
            throw std::invalid_argument(fmt::format(
                "isochronous packet at offset {} with {} bytes runs past the {}-byte buffer",
                packet.Offset, packet.Length, data.size()));
        }
        errors += packet.Status != 0 ? 1 : 0;
    }
    const auto headerLength = static_cast<std::uint16_t>(BaseHeaderLength + IsoBlockLength +
                                                         IsoPacketLength * packets.size());
    LittleEndian header = BaseHeader(headerLength, urb, urb.Endpoint, status, completion,
                                     Transfer::Isochronous, data);
    header.U32(startFrame);
    header.U32(static_cast<std::uint32_t>(packets.size()));
    header.U32(errors);
    for (const IsoPacket& packet : packets) {
        header.U32(packet.Offset);
        header.U32(packet.Length);
        header.I32(packet.Status);
    }
    return header;
}

std::error_code LastError() {
    return std::error_code(errno != 0 ? errno : EIO, std::generic_category());
}

} // namespace

struct PcapWriter::Record {
    LittleEndian Header;
    std::span<const std::uint8_t> Data;
};

PcapWriter::PcapWriter(const std::filesystem::path& file, std::uint32_t snapLength)
    : SnapLength(snapLength) {
    if (snapLength < MinSnapLength || snapLength > MaxSnapLength) {
        throw std::invalid_argument(fmt::format("snapshot length {} is outside {}..{}", snapLength,
                                                MinSnapLength, MaxSnapLength));
    }
    errno = 0;
    File.reset(std::fopen(file.c_str(), "wb"));
    if (!File) {
        throw std::system_error(LastError(), fmt::format("cannot create capture {}", file));
    }
    LittleEndian header(24);
    header.U32(PcapMagic);
    header.U16(PcapMajor);
    header.U16(PcapMinor);
    header.I32(0); // timestamps are UTC
    header.U32(0); // their accuracy is not recorded, as every writer does
    header.U32(snapLength);
    header.U32(LinkTypeUsbPcap);
    const auto bytes = header.View();
    // A file that opened but cannot take data shows it on a later write, and Error() says so.
    if (std::fwrite(bytes.data(), 1, bytes.size(), File.get()) != bytes.size()) {
        throw std::system_error(LastError(), fmt::format("cannot write capture {}", file));
    }
}

void PcapWriter::WriteControlSubmit(const UrbRef& urb, const SetupPacket& setup,
                                    std::span<const std::uint8_t> buffer, CaptureTime time) {
    const std::span<const std::uint8_t> setupBytes = setup.Bytes;
    const auto out = DataFor(setup.DeviceToHost(), false, buffer);
    const Record records[] = {
        {ControlHeader(urb, setup, 0, false, ControlStage::Setup, setupBytes), setupBytes},
        {ControlHeader(urb, setup, 0, false, ControlStage::Data, out), out},
    };
    Append(std::span(records, out.empty() ? 1 : 2), time);
}

void PcapWriter::WriteControlComplete(const UrbRef& urb, const SetupPacket& setup,
                                      std::int32_t status, std::span<const std::uint8_t> buffer,
                                      CaptureTime time) {
    const auto in = DataFor(setup.DeviceToHost(), true, buffer);
    Append({ControlHeader(urb, setup, status, true, ControlStage::Complete, in), in}, time);
}

void PcapWriter::WriteBulkSubmit(const UrbRef& urb, DataPipe pipe,
                                 std::span<const std::uint8_t> buffer, CaptureTime time) {
    const auto data = DataFor((urb.Endpoint & EndpointIn) != 0, false, buffer);
    Append({BaseHeader(BaseHeaderLength, urb, urb.Endpoint, 0, false, static_cast<Transfer>(pipe),
                       data),
            data},
           time);
}

void PcapWriter::WriteBulkComplete(const UrbRef& urb, DataPipe pipe, std::int32_t status,
                                   std::span<const std::uint8_t> buffer, CaptureTime time) {
    const auto data = DataFor((urb.Endpoint & EndpointIn) != 0, true, buffer);
    Append({BaseHeader(BaseHeaderLength, urb, urb.Endpoint, status, true,
                       static_cast<Transfer>(pipe), data),
            data},
           time);
}

void PcapWriter::WriteIsoSubmit(const UrbRef& urb, std::uint32_t startFrame,
                                std::span<const IsoPacket> packets,
                                std::span<const std::uint8_t> buffer, CaptureTime time) {
    const auto data = DataFor((urb.Endpoint & EndpointIn) != 0, false, buffer);
    Append({IsoHeader(urb, 0, false, startFrame, packets, data), data}, time);
}

void PcapWriter::WriteIsoComplete(const UrbRef& urb, std::int32_t status, std::uint32_t startFrame,
                                  std::span<const IsoPacket> packets,
                                  std::span<const std::uint8_t> buffer, CaptureTime time) {
    const auto data = DataFor((urb.Endpoint & EndpointIn) != 0, true, buffer);
    Append({IsoHeader(urb, status, true, startFrame, packets, data), data}, time);
}

void PcapWriter::WriteUrbSubmit(const UrbRef& urb, CaptureTime time) {
    Append({BaseHeader(BaseHeaderLength, urb, urb.Endpoint, 0, false, Transfer::IrpInfo, {}), {}},
           time);
}

void PcapWriter::WriteUrbComplete(const UrbRef& urb, std::int32_t status, CaptureTime time) {
    Append(
        {BaseHeader(BaseHeaderLength, urb, urb.Endpoint, status, true, Transfer::IrpInfo, {}), {}},
        time);
}

std::error_code PcapWriter::Flush() {
    std::lock_guard guard(Lock);
    if (!FirstError) {
        errno = 0;
        if (std::fflush(File.get()) != 0) {
            FirstError = LastError();
        }
    }
    return FirstError;
}

std::error_code PcapWriter::Error() const {
    std::lock_guard guard(Lock);
    return FirstError;
}

void PcapWriter::Append(const Record& record, CaptureTime time) {
    Append(std::span(&record, 1), time);
}

void PcapWriter::Append(std::span<const Record> records, CaptureTime time) {
    const auto micros = std::chrono::duration_cast<std::chrono::microseconds>(time).count();
    if (micros < 0 || micros / 1'000'000 > std::numeric_limits<std::uint32_t>::max()) {
        throw std::invalid_argument(
            fmt::format("capture time {} us does not fit a pcap timestamp", micros));
    }
    std::lock_guard guard(Lock);
    if (FirstError) {
        return;
    }
    std::FILE* file = File.get();
    errno = 0;
    for (const Record& each : records) {
        const auto header = each.Header.View();
        // The header always fits (the snapshot length is at least 64 KiB); only data is cut.
        const std::size_t kept =
            std::min(each.Data.size(), std::size_t{SnapLength} - header.size());
        LittleEndian pcap(16);
        pcap.U32(static_cast<std::uint32_t>(micros / 1'000'000));
        pcap.U32(static_cast<std::uint32_t>(micros % 1'000'000));
        pcap.U32(static_cast<std::uint32_t>(header.size() + kept));
        pcap.U32(static_cast<std::uint32_t>(header.size() + each.Data.size()));
        const auto pcapBytes = pcap.View();
        if (std::fwrite(pcapBytes.data(), 1, pcapBytes.size(), file) != pcapBytes.size() ||
            std::fwrite(header.data(), 1, header.size(), file) != header.size() ||
            (kept != 0 && std::fwrite(each.Data.data(), 1, kept, file) != kept)) {
            FirstError = LastError();
            return;
        }
    }
}

} // namespace sim
