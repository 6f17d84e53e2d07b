#include "core/usbpcap.h"

namespace sim::usbpcap {

namespace {

constexpr std::uint32_t PcapMagic = 0xa1b2c3d4;
constexpr std::uint16_t PcapMajor = 2;
constexpr std::uint16_t PcapMinor = 4;

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

// Little-endian writer into a fixed span; running out of room is remembered, never overrun.
class Writer {
  public:
    explicit Writer(std::span<std::uint8_t> room) : Room(room) {}

    void U8(std::uint8_t value) { Put(value, 1); }
    void U16(std::uint16_t value) { Put(value, 2); }
    void U32(std::uint32_t value) { Put(value, 4); }
    void I32(std::int32_t value) { Put(static_cast<std::uint32_t>(value), 4); }
    void U64(std::uint64_t value) { Put(value, 8); }

    std::size_t Size() const { return Used; }
    bool Overflowed() const { return Overflow; }
    std::span<const std::uint8_t> Written() const { return Room.first(Used); }
    // The bytes from `from` on, to fill in later.
    std::span<std::uint8_t> At(std::size_t from) { return Room.subspan(from); }

  private:
    void Put(std::uint64_t value, int size) {
        if (Used + static_cast<std::size_t>(size) > Room.size()) {
            Overflow = true;
            return;
        }
        for (int i = 0; i < size; ++i)
            Room[Used++] = static_cast<std::uint8_t>(value >> (8 * i));
    }

    std::span<std::uint8_t> Room;
    std::size_t Used = 0;
    bool Overflow = false;
};

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

// Builds records one after the other in the scratch; each starts with room for its pcap header,
// filled in once the USBPcap header's length is known.
class Builder {
  public:
    Builder(const CaptureEvent& event, std::uint32_t snapLength, std::span<std::uint8_t> scratch)
        : Event(event), SnapLength(snapLength), Out(scratch) {}

    // Starts a record: the pcap header's place, then the part every USBPcap header shares.
    // `extra` counts what the caller appends after it.
    void Begin(std::size_t extra, std::uint8_t endpoint, std::int32_t status, bool completion,
               Transfer transfer, std::span<const std::uint8_t> data) {
        Start = Out.Size();
        Data = data;
        for (std::size_t i = 0; i < RecordHeaderBytes; ++i)
            Out.U8(0);
        if (data.size() > 0xFFFFFFFFull - 0xFFFF)
            Fail(EncodeError::DataTooLong, data.size());
        Out.U16(static_cast<std::uint16_t>(BaseHeaderBytes + extra));
        Out.U64(Event.Urb.IrpId);
        Out.I32(status);
        Out.U16(Event.Urb.Function);
        Out.U8(completion ? InfoCompletion : 0);
        Out.U16(Event.Urb.Bus);
        Out.U16(Event.Urb.Device);
        Out.U8(endpoint);
        Out.U8(static_cast<std::uint8_t>(transfer));
        Out.U32(static_cast<std::uint32_t>(data.size()));
    }

    Writer& Header() { return Out; }

    // Closes the record: fills in its pcap header, cuts the data to the snapshot length.
    void End() {
        if (Out.Overflowed()) {
            Fail(EncodeError::NoRoom, Out.Size());
            return;
        }
        if (Result.Error != EncodeError::None)
            return;
        const std::size_t header = Out.Size() - Start - RecordHeaderBytes;
        const std::size_t room = SnapLength > header ? SnapLength - header : 0;
        const std::size_t kept = Data.size() < room ? Data.size() : room;
        const std::int64_t micros = Event.TimeNanoseconds / 1000;
        Writer pcap(Out.At(Start));
        pcap.U32(static_cast<std::uint32_t>(micros / 1'000'000));
        pcap.U32(static_cast<std::uint32_t>(micros % 1'000'000));
        pcap.U32(static_cast<std::uint32_t>(header + kept));
        pcap.U32(static_cast<std::uint32_t>(header + Data.size()));
        EncodedRecord& record = Result.Records[Result.Count++];
        record.Header = Out.Written().subspan(Start);
        record.Data = Data.first(kept);
    }

    void Fail(EncodeError error, std::uint64_t detail) {
        if (Result.Error == EncodeError::None) {
            Result.Error = error;
            Result.Detail = detail;
        }
    }

    EncodedEvent Finish() {
        if (Result.Error != EncodeError::None)
            Result.Count = 0;
        return Result;
    }

  private:
    const CaptureEvent& Event;
    std::uint32_t SnapLength;
    Writer Out;
    std::size_t Start = 0;
    std::span<const std::uint8_t> Data;
    EncodedEvent Result;
};

void Control(Builder& b, const CaptureEvent& e, bool completion, ControlStage stage,
             std::span<const std::uint8_t> data) {
    b.Begin(1, ControlEndpoint(e.Urb, e.Setup), completion ? e.Status : 0, completion,
            Transfer::Control, data);
    b.Header().U8(static_cast<std::uint8_t>(stage));
    b.End();
}

void Iso(Builder& b, const CaptureEvent& e, bool completion, std::span<const std::uint8_t> data) {
    const IsoPacketSource& packets = e.Packets;
    if (packets.Count > MaxIsoPackets) {
        b.Fail(EncodeError::TooManyPackets, packets.Count);
        return;
    }
    std::uint32_t errors = 0;
    for (std::uint32_t i = 0; i < packets.Count; ++i) {
        const IsoPacket packet = packets[i];
        // Without data (IN at submission, OUT at completion) the offsets point into nothing
        // Wireshark looks at, so only a record that carries the buffer has to match it.
        if (!data.empty() &&
            std::uint64_t{packet.Offset} + packet.Length > std::uint64_t{data.size()}) {
            b.Fail(EncodeError::PacketPastBuffer, i);
            return;
        }
        errors += packet.Status != 0 ? 1 : 0;
    }
    b.Begin(IsoBlockBytes + IsoPacketBytes * packets.Count, e.Urb.Endpoint,
            completion ? e.Status : 0, completion, Transfer::Isochronous, data);
    Writer& h = b.Header();
    h.U32(e.StartFrame);
    h.U32(static_cast<std::uint32_t>(packets.Count));
    h.U32(errors);
    for (std::uint32_t i = 0; i < packets.Count; ++i) {
        const IsoPacket packet = packets[i];
        h.U32(packet.Offset);
        h.U32(packet.Length);
        h.I32(packet.Status);
    }
    b.End();
}

IsoPacket FromSpan(const void* context, std::uint32_t index) {
    return static_cast<const IsoPacket*>(context)[index];
}

} // namespace

IsoPacketSource IsoPacketSource::Of(std::span<const IsoPacket> packets) {
    return {packets.data(), FromSpan, packets.size()};
}

std::array<std::uint8_t, FileHeaderBytes> FileHeader(std::uint32_t snapLength) {
    std::array<std::uint8_t, FileHeaderBytes> bytes{};
    Writer header(bytes);
    header.U32(PcapMagic);
    header.U16(PcapMajor);
    header.U16(PcapMinor);
    header.I32(0); // timestamps are UTC
    header.U32(0); // their accuracy is not recorded, as every writer does
    header.U32(snapLength);
    header.U32(LinkType);
    return bytes;
}

std::size_t ScratchFor(const CaptureEvent& event) {
    switch (event.Kind) {
    case EventKind::ControlSubmit:
        return 2 * (RecordHeaderBytes + BaseHeaderBytes + 1);
    case EventKind::ControlComplete:
        return RecordHeaderBytes + BaseHeaderBytes + 1;
    case EventKind::IsoSubmit:
    case EventKind::IsoComplete:
        return RecordHeaderBytes + BaseHeaderBytes + IsoBlockBytes +
               IsoPacketBytes * event.Packets.Count;
    default:
        return RecordHeaderBytes + BaseHeaderBytes;
    }
}

EncodedEvent Encode(const CaptureEvent& event, std::uint32_t snapLength,
                    std::span<std::uint8_t> scratch) {
    Builder b(event, snapLength, scratch);
    const std::int64_t micros = event.TimeNanoseconds / 1000;
    if (event.TimeNanoseconds < 0 || micros / 1'000'000 > 0xFFFFFFFFLL) {
        b.Fail(EncodeError::TimeOutOfRange, static_cast<std::uint64_t>(micros));
        return b.Finish();
    }
    const bool in = (event.Urb.Endpoint & EndpointIn) != 0;
    switch (event.Kind) {
    case EventKind::ControlSubmit: {
        const std::span<const std::uint8_t> setup = event.Setup.Bytes;
        const auto out = DataFor(event.Setup.DeviceToHost(), false, event.Buffer);
        Control(b, event, false, ControlStage::Setup, setup);
        if (!out.empty())
            Control(b, event, false, ControlStage::Data, out);
        break;
    }
    case EventKind::ControlComplete:
        Control(b, event, true, ControlStage::Complete,
                DataFor(event.Setup.DeviceToHost(), true, event.Buffer));
        break;
    case EventKind::BulkSubmit:
    case EventKind::BulkComplete: {
        const bool completion = event.Kind == EventKind::BulkComplete;
        b.Begin(0, event.Urb.Endpoint, completion ? event.Status : 0, completion,
                static_cast<Transfer>(event.Pipe), DataFor(in, completion, event.Buffer));
        b.End();
        break;
    }
    case EventKind::IsoSubmit:
    case EventKind::IsoComplete: {
        const bool completion = event.Kind == EventKind::IsoComplete;
        Iso(b, event, completion, DataFor(in, completion, event.Buffer));
        break;
    }
    case EventKind::UrbSubmit:
    case EventKind::UrbComplete: {
        const bool completion = event.Kind == EventKind::UrbComplete;
        b.Begin(0, event.Urb.Endpoint, completion ? event.Status : 0, completion, Transfer::IrpInfo,
                {});
        b.End();
        break;
    }
    }
    return b.Finish();
}

} // namespace sim::usbpcap
