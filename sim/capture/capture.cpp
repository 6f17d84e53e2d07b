#include "capture/capture.h"

#include <cerrno>
#include <limits>
#include <stdexcept>

#include <fmt/format.h>
#include <fmt/std.h>

namespace sim {

namespace {

std::error_code LastError() {
    return std::error_code(errno != 0 ? errno : EIO, std::generic_category());
}

// A record that cannot be described is a bus bug worth stopping for.
[[noreturn]] void Refuse(const usbpcap::CaptureEvent& event, const usbpcap::EncodedEvent& encoded) {
    switch (encoded.Error) {
    case usbpcap::EncodeError::TooManyPackets:
        throw std::invalid_argument(fmt::format("an isochronous URB has at most {} packets, not {}",
                                                usbpcap::MaxIsoPackets, encoded.Detail));
    case usbpcap::EncodeError::PacketPastBuffer: {
        const usbpcap::IsoPacket packet = event.Packets[static_cast<std::uint32_t>(encoded.Detail)];
        throw std::invalid_argument(fmt::format(
            "isochronous packet at offset {} with {} bytes runs past the {}-byte buffer",
            packet.Offset, packet.Length, event.Buffer.size()));
    }
    case usbpcap::EncodeError::DataTooLong:
        throw std::invalid_argument(
            fmt::format("a capture record holds at most 4 GiB, not {} bytes", encoded.Detail));
    case usbpcap::EncodeError::TimeOutOfRange:
        throw std::invalid_argument(fmt::format("capture time {} us does not fit a pcap timestamp",
                                                static_cast<std::int64_t>(encoded.Detail)));
    default:
        throw std::logic_error("a capture record did not fit the writer's scratch");
    }
}

usbpcap::CaptureEvent EventOf(usbpcap::EventKind kind, const UrbRef& urb) {
    usbpcap::CaptureEvent event;
    event.Kind = kind;
    event.Urb = urb;
    return event;
}

} // namespace

PcapWriter::PcapWriter(const std::filesystem::path& file, std::uint32_t snapLength)
    : SnapLength(snapLength), Scratch(new std::uint8_t[usbpcap::MaxEventHeaderBytes]) {
    if (snapLength < MinSnapLength || snapLength > MaxSnapLength) {
        throw std::invalid_argument(fmt::format("snapshot length {} is outside {}..{}", snapLength,
                                                MinSnapLength, MaxSnapLength));
    }
    errno = 0;
    File.reset(std::fopen(file.c_str(), "wb"));
    if (!File) {
        throw std::system_error(LastError(), fmt::format("cannot create capture {}", file));
    }
    const auto header = usbpcap::FileHeader(snapLength);
    // A file that opened but cannot take data shows it on a later write, and Error() says so.
    if (std::fwrite(header.data(), 1, header.size(), File.get()) != header.size()) {
        throw std::system_error(LastError(), fmt::format("cannot write capture {}", file));
    }
}

void PcapWriter::Write(const usbpcap::CaptureEvent& event) {
    Append(event, std::chrono::nanoseconds(event.TimeNanoseconds));
}

void PcapWriter::WriteControlSubmit(const UrbRef& urb, const SetupPacket& setup,
                                    std::span<const std::uint8_t> buffer, CaptureTime time) {
    usbpcap::CaptureEvent event = EventOf(usbpcap::EventKind::ControlSubmit, urb);
    event.Setup = setup;
    event.Buffer = buffer;
    Append(event, time);
}

void PcapWriter::WriteControlComplete(const UrbRef& urb, const SetupPacket& setup,
                                      std::int32_t status, std::span<const std::uint8_t> buffer,
                                      CaptureTime time) {
    usbpcap::CaptureEvent event = EventOf(usbpcap::EventKind::ControlComplete, urb);
    event.Setup = setup;
    event.Status = status;
    event.Buffer = buffer;
    Append(event, time);
}

void PcapWriter::WriteBulkSubmit(const UrbRef& urb, DataPipe pipe,
                                 std::span<const std::uint8_t> buffer, CaptureTime time) {
    usbpcap::CaptureEvent event = EventOf(usbpcap::EventKind::BulkSubmit, urb);
    event.Pipe = pipe;
    event.Buffer = buffer;
    Append(event, time);
}

void PcapWriter::WriteBulkComplete(const UrbRef& urb, DataPipe pipe, std::int32_t status,
                                   std::span<const std::uint8_t> buffer, CaptureTime time) {
    usbpcap::CaptureEvent event = EventOf(usbpcap::EventKind::BulkComplete, urb);
    event.Pipe = pipe;
    event.Status = status;
    event.Buffer = buffer;
    Append(event, time);
}

void PcapWriter::WriteIsoSubmit(const UrbRef& urb, std::uint32_t startFrame,
                                std::span<const IsoPacket> packets,
                                std::span<const std::uint8_t> buffer, CaptureTime time) {
    usbpcap::CaptureEvent event = EventOf(usbpcap::EventKind::IsoSubmit, urb);
    event.StartFrame = startFrame;
    event.Packets = usbpcap::IsoPacketSource::Of(packets);
    event.Buffer = buffer;
    Append(event, time);
}

void PcapWriter::WriteIsoComplete(const UrbRef& urb, std::int32_t status, std::uint32_t startFrame,
                                  std::span<const IsoPacket> packets,
                                  std::span<const std::uint8_t> buffer, CaptureTime time) {
    usbpcap::CaptureEvent event = EventOf(usbpcap::EventKind::IsoComplete, urb);
    event.Status = status;
    event.StartFrame = startFrame;
    event.Packets = usbpcap::IsoPacketSource::Of(packets);
    event.Buffer = buffer;
    Append(event, time);
}

void PcapWriter::WriteUrbSubmit(const UrbRef& urb, CaptureTime time) {
    Append(EventOf(usbpcap::EventKind::UrbSubmit, urb), time);
}

void PcapWriter::WriteUrbComplete(const UrbRef& urb, std::int32_t status, CaptureTime time) {
    usbpcap::CaptureEvent event = EventOf(usbpcap::EventKind::UrbComplete, urb);
    event.Status = status;
    Append(event, time);
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

void PcapWriter::Append(usbpcap::CaptureEvent event, CaptureTime time) {
    event.TimeNanoseconds = time.count();
    if (time.count() < 0 ||
        time.count() / 1'000'000'000 > std::numeric_limits<std::uint32_t>::max()) {
        throw std::invalid_argument(
            fmt::format("capture time {} us does not fit a pcap timestamp",
                        std::chrono::duration_cast<std::chrono::microseconds>(time).count()));
    }
    std::lock_guard guard(Lock);
    const usbpcap::EncodedEvent encoded = usbpcap::Encode(
        event, SnapLength, std::span<std::uint8_t>(Scratch.get(), usbpcap::MaxEventHeaderBytes));
    if (encoded.Error != usbpcap::EncodeError::None) {
        Refuse(event, encoded);
    }
    if (FirstError) {
        return;
    }
    std::FILE* file = File.get();
    errno = 0;
    for (std::uint32_t i = 0; i < encoded.Count; ++i) {
        const usbpcap::EncodedRecord& record = encoded.Records[i];
        if (std::fwrite(record.Header.data(), 1, record.Header.size(), file) !=
                record.Header.size() ||
            (!record.Data.empty() &&
             std::fwrite(record.Data.data(), 1, record.Data.size(), file) != record.Data.size())) {
            FirstError = LastError();
            return;
        }
    }
}

} // namespace sim
