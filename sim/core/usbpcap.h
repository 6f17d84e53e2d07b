// The USBPcap record format (pcap link type 249): how a URB's submission and completion are
// written so that Wireshark and tshark dissect them as a Windows capture of the device would be.
//
// Encoding only: no file, no clock, no allocation, nothing thrown. A front end turns each
// CaptureEvent the bus core reports into records with Encode and writes them wherever its
// platform writes files (the host bus through PcapWriter, sim/capture; a kernel-mode bus through
// its own file). Every field is little-endian whatever the machine, so a capture made anywhere
// reads the same.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

namespace sim::usbpcap {

inline constexpr std::uint32_t LinkType = 249;
inline constexpr std::size_t FileHeaderBytes = 24;
// Each record: the pcap record header, then USBPcap's header, then the data.
inline constexpr std::size_t RecordHeaderBytes = 16;
inline constexpr std::size_t BaseHeaderBytes = 27;
inline constexpr std::size_t IsoBlockBytes = 12;
inline constexpr std::size_t IsoPacketBytes = 12;
// Windows takes at most this many packets in one isochronous URB.
inline constexpr std::size_t MaxIsoPackets = 1024;
// The longest header an event can need (an isochronous URB of MaxIsoPackets packets), pcap
// record header included; a control submission needs two small ones.
inline constexpr std::size_t MaxEventHeaderBytes =
    RecordHeaderBytes + BaseHeaderBytes + IsoBlockBytes + IsoPacketBytes * MaxIsoPackets;
// Records longer than the snapshot length are cut to it, as any capture tool does, while the
// header still tells how many bytes moved.
inline constexpr std::uint32_t DefaultSnapLength = 256 * 1024;
// Below this a large isochronous header could be cut; Wireshark refuses longer USBPcap records
// than the maximum.
inline constexpr std::uint32_t MinSnapLength = 65535;
inline constexpr std::uint32_t MaxSnapLength = 128 * 1024 * 1024;

// The URB a record belongs to; the same value goes with its submission and its completion.
struct UrbRef {
    // Any value unique among the requests in flight (the IRP's address will do); Wireshark pairs
    // a completion with its submission through it.
    std::uint64_t IrpId = 0;
    // The URB's function code (URB_FUNCTION_...), shown by Wireshark by name.
    std::uint16_t Function = 0;
    // USB address of the device.
    std::uint16_t Device = 0;
    // Endpoint address: the number, with bit 7 set for an IN endpoint. For control transfers only
    // the number counts; the direction comes from the setup packet.
    std::uint8_t Endpoint = 0;
    // Root hub number; the simulated world has one.
    std::uint16_t Bus = 1;
};

struct SetupPacket {
    std::array<std::uint8_t, 8> Bytes{};

    static constexpr SetupPacket Make(std::uint8_t requestType, std::uint8_t request,
                                      std::uint16_t value, std::uint16_t index,
                                      std::uint16_t length) {
        return SetupPacket{{requestType, request, static_cast<std::uint8_t>(value),
                            static_cast<std::uint8_t>(value >> 8), static_cast<std::uint8_t>(index),
                            static_cast<std::uint8_t>(index >> 8),
                            static_cast<std::uint8_t>(length),
                            static_cast<std::uint8_t>(length >> 8)}};
    }
    constexpr bool DeviceToHost() const { return (Bytes[0] & 0x80) != 0; }
};

// Pipes that carry plain data; the values are USBPcap's transfer codes.
enum class DataPipe : std::uint8_t { Interrupt = 1, Bulk = 3 };

// One packet of an isochronous transfer as the URB describes it: where its bytes sit in the
// transfer buffer, how many there are and its USBD status.
struct IsoPacket {
    std::uint32_t Offset = 0;
    std::uint32_t Length = 0;
    std::int32_t Status = 0;
};

// The packets of an isochronous event, read one at a time (from a URB's packet array, or from
// a list of IsoPacket).
struct IsoPacketSource {
    const void* Context = nullptr;
    IsoPacket (*At)(const void* context, std::uint32_t index) = nullptr;
    std::size_t Count = 0;

    IsoPacket operator[](std::uint32_t index) const { return At(Context, index); }
    static IsoPacketSource Of(std::span<const IsoPacket> packets);
};

enum class EventKind : std::uint8_t {
    // A control transfer as submitted: the setup record, and for a host-to-device request with
    // data a second record carrying that data.
    ControlSubmit,
    // Its completion, carrying the data a device-to-host request read. The setup packet is the
    // one submitted; it gives the direction.
    ControlComplete,
    BulkSubmit,
    BulkComplete,
    // Isochronous transfers carry their packet list both ways; the buffer is the whole transfer
    // buffer, which the packets' offsets index. The error count is the number of packets with a
    // status other than success.
    IsoSubmit,
    IsoComplete,
    // URBs that move no data (abort or reset pipe, select configuration, ...) go in as bare
    // request information (USBPcap's IRP-information transfer type), so the capture still shows
    // when they happened; Wireshark names them by their function.
    UrbSubmit,
    UrbComplete,
};

// One event of the bus. Data goes where USBPcap puts it, and Encode applies that rule itself so
// the bus can always pass the transfer buffer: bytes sent to the device travel with the
// submission, bytes read from it with the completion, and the buffer passed with the other event
// of the pair is left out. At completion the buffer is what the transfer actually moved.
struct CaptureEvent {
    EventKind Kind = EventKind::UrbSubmit;
    UrbRef Urb;
    SetupPacket Setup;              // control transfers
    DataPipe Pipe = DataPipe::Bulk; // bulk and interrupt transfers
    std::int32_t Status = 0;        // USBD status, completions only
    std::uint32_t StartFrame = 0;   // isochronous transfers
    IsoPacketSource Packets;        // isochronous transfers
    std::span<const std::uint8_t> Buffer;
    // Time of the event on the kernel's clock, counted from any fixed origin (the start of the
    // session is the natural one); pcap keeps microseconds.
    std::int64_t TimeNanoseconds = 0;
};

enum class EncodeError : std::uint8_t {
    None,
    TooManyPackets,   // more than MaxIsoPackets
    PacketPastBuffer, // an isochronous packet runs past the buffer the record carries
    DataTooLong,      // a record holds at most 4 GiB
    TimeOutOfRange,   // before the origin, or past what a pcap timestamp holds
    NoRoom,           // the scratch passed to Encode is too small
};

// One record ready to write: Header (pcap record header and USBPcap header), then Data (the
// part of the buffer the snapshot length keeps).
struct EncodedRecord {
    std::span<const std::uint8_t> Header;
    std::span<const std::uint8_t> Data;
};

struct EncodedEvent {
    EncodedRecord Records[2];
    std::uint32_t Count = 0;
    EncodeError Error = EncodeError::None;
    // For an error: the packet, byte count or time that could not be described.
    std::uint64_t Detail = 0;
};

// The pcap file header for a capture with this snapshot length.
std::array<std::uint8_t, FileHeaderBytes> FileHeader(std::uint32_t snapLength);

// How much scratch Encode needs for the event.
std::size_t ScratchFor(const CaptureEvent& event);

// The records of one event, their headers built in `scratch` (at least ScratchFor(event)
// bytes; MaxEventHeaderBytes always does). On error nothing is to be written.
EncodedEvent Encode(const CaptureEvent& event, std::uint32_t snapLength,
                    std::span<std::uint8_t> scratch);

} // namespace sim::usbpcap
