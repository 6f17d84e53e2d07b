// Capture of the simulated USB traffic to a pcap file that Wireshark and tshark read as USBPcap
// (link type 249), the format a Windows capture of the real camera would have.
//
// The host bus hands every event of its core to Write; tests and tools may call the Write routine
// of one kind directly. The records are plain values on purpose: this header knows nothing of the
// host kernel. The bytes are the bus core's encoding (core/usbpcap.h); this writer adds the file,
// its lock and the error handling of a user-mode program.

#pragma once

#include "core/usbpcap.h"

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

// The record vocabulary is the bus core's (core/usbpcap.h), which also encodes the records.
using usbpcap::DataPipe;
using usbpcap::IsoPacket;
using usbpcap::SetupPacket;
using usbpcap::UrbRef;

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
    static constexpr std::uint32_t DefaultSnapLength = usbpcap::DefaultSnapLength;
    // Below this a large isochronous header could be cut; Wireshark refuses longer USBPcap
    // records than the maximum.
    static constexpr std::uint32_t MinSnapLength = usbpcap::MinSnapLength;
    static constexpr std::uint32_t MaxSnapLength = usbpcap::MaxSnapLength;
    // Windows takes at most this many packets in one isochronous URB.
    static constexpr std::size_t MaxIsoPackets = usbpcap::MaxIsoPackets;

    // Creates (or truncates) the file and writes the pcap global header; throws std::system_error
    // if the file cannot be written.
    explicit PcapWriter(const std::filesystem::path& file,
                        std::uint32_t snapLength = DefaultSnapLength);
    PcapWriter(const PcapWriter&) = delete;
    PcapWriter& operator=(const PcapWriter&) = delete;
    ~PcapWriter() = default;

    // Any event, as the bus core describes it (its time included).
    void Write(const usbpcap::CaptureEvent& event);

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
    // Encodes one event and writes its records together, so no other thread's record lands
    // between the setup and the data of one control transfer.
    void Append(usbpcap::CaptureEvent event, CaptureTime time);

    struct FileCloser {
        // Writes and Flush() report their failures (Error()); after the last Flush() closing
        // has nothing left to write.
        void operator()(std::FILE* file) const { (void)std::fclose(file); }
    };

    mutable std::mutex Lock;
    std::unique_ptr<std::FILE, FileCloser> File;
    std::uint32_t SnapLength;
    std::error_code FirstError;
    // Where events are encoded, under Lock.
    std::unique_ptr<std::uint8_t[]> Scratch;
};

} // namespace sim
