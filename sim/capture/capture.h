// Capture of the simulated USB traffic to a pcap file that Wireshark and tshark read as USBPcap
// (link type 249), the format a Windows capture of the real camera would have.
//
// The bus driver calls one Write routine when it accepts a URB and one when it completes it. The
// records here are plain values on purpose: this header knows nothing of the host kernel, so the
// bus maps its URB to them and nothing else has to include kernel declarations to capture.

#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <mutex>
#include <span>
#include <system_error>

namespace sim {

// Time of an event on the host kernel's scaled clock, counted from any fixed origin (the start of
// the session is the natural one). pcap keeps microseconds; finer parts are dropped. The writer
// never reads a clock itself, so a capture shows the time the driver saw, not the wall clock.
using CaptureTime = std::chrono::nanoseconds;

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

// Writes a pcap file of USBPcap records.
//
// Data goes where USBPcap puts it, and the writer applies that rule itself so the bus can always
// pass the transfer buffer: bytes sent to the device travel with the submission, bytes read from
// it with the completion, and the buffer passed with the other event of the pair is left out.
// At completion the buffer is what the transfer actually moved.
//
// Every routine may be called from any thread; records are written whole, one at a time, in the
// order the calls take the writer's lock. A routine throws std::invalid_argument for a record
// that cannot be described (a bus bug worth stopping for). A failing file never throws from a
// Write routine, since the host-controller thread has no one to hand the exception to: the first
// error is kept, later records are dropped, and Error() and Flush() report it.
class PcapWriter {
  public:
    // Records longer than the snapshot length are cut to it, as any capture tool does, while the
    // header still tells how many bytes moved; a session with longer URBs passes a larger one.
    static constexpr std::uint32_t DefaultSnapLength = 256 * 1024;
    // Below this a large isochronous header could be cut; Wireshark refuses longer USBPcap
    // records than the maximum.
    static constexpr std::uint32_t MinSnapLength = 65535;
    static constexpr std::uint32_t MaxSnapLength = 128 * 1024 * 1024;
    // Windows takes at most this many packets in one isochronous URB.
    static constexpr std::size_t MaxIsoPackets = 1024;

    // Creates (or truncates) the file and writes the pcap global header; throws std::system_error
    // if the file cannot be written.
    explicit PcapWriter(const std::filesystem::path& file,
                        std::uint32_t snapLength = DefaultSnapLength);
    PcapWriter(const PcapWriter&) = delete;
    PcapWriter& operator=(const PcapWriter&) = delete;
    ~PcapWriter() = default;

    // A control transfer as submitted: the setup record, and for a host-to-device request with
    // data a second record carrying that data.
    void WriteControlSubmit(const UrbRef& urb, const SetupPacket& setup,
                            std::span<const std::uint8_t> buffer, CaptureTime time);
    // Its completion, carrying the data a device-to-host request read. The setup packet is the
    // one submitted; it gives the direction.
    void WriteControlComplete(const UrbRef& urb, const SetupPacket& setup, std::int32_t status,
                              std::span<const std::uint8_t> buffer, CaptureTime time);

    void WriteBulkSubmit(const UrbRef& urb, DataPipe pipe, std::span<const std::uint8_t> buffer,
                         CaptureTime time);
    void WriteBulkComplete(const UrbRef& urb, DataPipe pipe, std::int32_t status,
                           std::span<const std::uint8_t> buffer, CaptureTime time);

    // Isochronous transfers carry their packet list both ways; the buffer is the whole transfer
    // buffer, which the packets' offsets index. The error count is the number of packets with a
    // status other than success.
    void WriteIsoSubmit(const UrbRef& urb, std::uint32_t startFrame,
                        std::span<const IsoPacket> packets, std::span<const std::uint8_t> buffer,
                        CaptureTime time);
    void WriteIsoComplete(const UrbRef& urb, std::int32_t status, std::uint32_t startFrame,
                          std::span<const IsoPacket> packets, std::span<const std::uint8_t> buffer,
                          CaptureTime time);

    // URBs that move no data (abort or reset pipe, select configuration, ...) go in as bare
    // request information (USBPcap's IRP-information transfer type), so the capture still shows
    // when they happened; Wireshark names them by their function.
    void WriteUrbSubmit(const UrbRef& urb, CaptureTime time);
    void WriteUrbComplete(const UrbRef& urb, std::int32_t status, CaptureTime time);

    // Pushes what is written to the file, so a capture can be read while the session runs.
    std::error_code Flush();
    // The first failure to write, or no error.
    std::error_code Error() const;

  private:
    struct Record;
    // Writes the records of one event together, so no other thread's record lands between the
    // setup and the data of one control transfer.
    void Append(std::span<const Record> records, CaptureTime time);
    void Append(const Record& record, CaptureTime time);

    struct FileCloser {
        void operator()(std::FILE* file) const { std::fclose(file); }
    };

    mutable std::mutex Lock;
    std::unique_ptr<std::FILE, FileCloser> File;
    std::uint32_t SnapLength;
    std::error_code FirstError;
};

} // namespace sim
