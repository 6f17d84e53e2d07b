// The simulated Tovrik 318QX: an EZ-USB-family controller with 64 KiB of RAM, its 8051 held in
// reset or running one of two programs, and the camera firmware's command and data endpoints.
//
// The model is freestanding on purpose. It makes no OS call, starts no thread, throws nothing and
// allocates nothing: the caller owns every byte (CameraStorage for the big arrays, the Camera
// object for the rest, descriptor bytes and canned replies for as long as the camera lives). That
// lets the same model sit under our host kernel's bus today and under another kernel's bus later.
//
// The bus talks to it through the members of Camera below. The model has no clock: it answers
// each call at once, and the bus decides when a call happens (its schedule) and what a result
// means for the URB (completion, pending, error). The model is not thread-safe; the bus
// serialises all calls to one camera, for instance under its own spin lock. No member blocks,
// so they may be called at DISPATCH_LEVEL.

#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

namespace sim {

// ---------------------------------------------------------------------------------------------
// Constants of the chip and of the camera firmware.

inline constexpr std::uint32_t kCameraMemoryBytes = 0x10000;

// The CPU control register (CPUCS). The two chip generations put it at different addresses and
// the driver writes both; this model answers at both, and they are one register.
inline constexpr std::uint16_t kCpucsAddressOld = 0x7F92;
inline constexpr std::uint16_t kCpucsAddressNew = 0xE600;
inline constexpr std::uint8_t kCpucsReset = 0x01; // bit 0: the 8051 is held in reset

// Vendor requests served by the chip itself: 0xA0 reads and writes RAM (and CPUCS) whatever the
// CPU does; 0xA3 is served by the loader program only.
inline constexpr std::uint8_t kRequestMemory = 0xA0;
inline constexpr std::uint8_t kRequestExternalMemory = 0xA3;

// Identity of a camera running its own program. Anything else makes the driver download firmware.
inline constexpr std::uint16_t kOwnVendorId = 0x5A17;
inline constexpr std::uint16_t kOwnProductId = 0x0E15;
// Identity of the bare chip in the default descriptors: same vendor, another product, so a driver
// that compares only the vendor would wrongly skip the download and a test would see it.
inline constexpr std::uint16_t kForeignVendorId = 0x5A17;
inline constexpr std::uint16_t kForeignProductId = 0x0E10;

// Command packets on the command endpoint. Byte 0 is the command.
inline constexpr std::uint32_t kCommandPacketBytes = 64;
inline constexpr std::uint8_t kCommandStartFrame = 2;
inline constexpr std::uint8_t kCommandEndFrame = 3;

inline constexpr std::uint32_t kDefaultFrameWidth = 1280;
inline constexpr std::uint32_t kDefaultFrameHeight = 960;

// ---------------------------------------------------------------------------------------------
// Test patterns. Pure functions, so a test (or the capture tool's tests) can check every byte a
// transfer delivered without a camera at hand.

// Pixel (x, y) of frame `frame` (frames count from 0 since the camera program started), a 16-bit
// value sent little-endian. It depends on the frame number and on the pixel's index
// y * width + x: frame 0 starts 0000, 0001, 0002, ... so a hex dump is readable, and every other
// frame and every 65536-pixel stretch is XORed with its own constant, so a piece of data that
// lands at the wrong offset or comes from the wrong frame never matches.
std::uint16_t FramePixel(std::uint32_t frame, std::uint32_t x, std::uint32_t y,
                         std::uint32_t width);

// Byte `offset` of frame `frame` as it travels on the image endpoint.
std::uint8_t FrameByte(std::uint32_t frame, std::uint64_t offset);

// Fills `out` with the frame bytes from `offset` on.
void FillFrameBytes(std::uint32_t frame, std::uint64_t offset, std::span<std::uint8_t> out);

// Byte `offset` of the isochronous packet with sequence number `sequence` from IN endpoint
// `endpoint` (the address, 0x83 say). Bytes 0 to 3 are the sequence number, little-endian; the
// rest mix offset, sequence and endpoint, so a packet from the wrong place never matches.
std::uint8_t IsoPacketByte(std::uint8_t endpoint, std::uint32_t sequence, std::uint32_t offset);

// Fills `out` with the packet of that sequence number, from its first byte.
void FillIsoPacket(std::uint8_t endpoint, std::uint32_t sequence, std::span<std::uint8_t> out);

// The sequence number carried by a packet of at least 4 bytes.
inline std::uint32_t IsoPacketSequence(std::span<const std::uint8_t> packet) {
    return static_cast<std::uint32_t>(packet[0]) | static_cast<std::uint32_t>(packet[1]) << 8 |
           static_cast<std::uint32_t>(packet[2]) << 16 |
           static_cast<std::uint32_t>(packet[3]) << 24;
}

// ---------------------------------------------------------------------------------------------
// Descriptors.

// One identity's descriptors. The bytes are served exactly as given, malformed or not, and must
// outlive the camera. Strings[i] is string descriptor i (index 0 the language list); an empty
// entry or an index past the end is a string the device does not have.
struct DescriptorSet {
    std::span<const std::uint8_t> Device;
    std::span<const std::uint8_t>
        Configuration; // the whole set: configuration, interfaces, endpoints
    std::span<const std::span<const std::uint8_t>> Strings;
};

// The chip before its firmware runs (idVendor 0x5A17, idProduct 0x0E10): one configuration, one
// interface with a bulk OUT 0x01 and a bulk IN 0x81.
DescriptorSet DefaultForeignDescriptors();

// The camera running its program (0x5A17/0x0E15), high speed, one configuration, interface 0:
//   alt 0: 0x01 bulk OUT 512 (commands), 0x81 bulk IN 512 (status), 0x82 bulk IN 512 (image),
//          0x83 isochronous IN 1024, one transaction per microframe;
//   alt 1: no endpoints;
//   alt 2: the three bulk endpoints, then 0x83 isochronous IN 0x1400 (3 x 1024 per microframe).
DescriptorSet DefaultOwnDescriptors();

enum class EndpointKind : std::uint8_t { Control = 0, Isochronous = 1, Bulk = 2, Interrupt = 3 };

// An endpoint as its descriptor declares it, with its place in the configuration.
struct EndpointDescription {
    std::uint8_t Address = 0; // bit 7 set: IN
    EndpointKind Kind = EndpointKind::Control;
    std::uint16_t MaxPacketSize = 0; // bits 0-10 of wMaxPacketSize
    std::uint8_t Multiplier = 1;     // transactions per microframe: 1 + bits 11-12 (isochronous
                                     // and interrupt only; 1 for bulk)
    std::uint8_t Interval = 0;
    std::uint8_t InterfaceNumber = 0;
    std::uint8_t AlternateSetting = 0;
    std::uint8_t PipeIndex = 0; // position within its alternate setting, as the host numbers pipes

    bool In() const { return (Address & 0x80) != 0; }
    std::uint32_t BytesPerMicroframe() const {
        return static_cast<std::uint32_t>(MaxPacketSize) * Multiplier;
    }
};

// Walkers over a configuration descriptor set, robust against any bytes: a descriptor shorter
// than 2 bytes, or one running past the end of the set, ends the walk; interface descriptors
// shorter than 9 and endpoint descriptors shorter than 7 bytes are skipped. An alternate setting
// owns the endpoint descriptors that follow it up to the next interface descriptor, at most
// bNumEndpoints of them, since the host builds no pipe for the rest. When the same interface
// number and alternate setting appear twice, the first one counts.

// Whether the set has interface `number` with alternate setting `alternate`.
bool HasAlternateSetting(std::span<const std::uint8_t> configuration, std::uint8_t number,
                         std::uint8_t alternate);

// The endpoints of that alternate setting in pipe order; returns how many there are, which may
// exceed out.size() (only the first out.size() are written).
std::uint32_t ParseInterfaceEndpoints(std::span<const std::uint8_t> configuration,
                                      std::uint8_t number, std::uint8_t alternate,
                                      std::span<EndpointDescription> out);

// The interface number of the set's first interface descriptor, or -1 when it has none.
int FirstInterfaceNumber(std::span<const std::uint8_t> configuration);

// ---------------------------------------------------------------------------------------------
// Firmware images as memory content.

// What a program looks like in RAM: the bytes it puts at each address it covers. The model knows
// a program by content: when the CPU is let run and every covered address holds the image's byte,
// that program runs. Addresses the image does not cover are not compared; an image that covers
// nothing is never recognised, and neither is one covering 0x7F92 or 0xE600, since a write there
// reaches CPUCS and never RAM. Lives in CameraStorage; fill it before constructing the Camera.
class FirmwareImage {
  public:
    // Forgets everything: covers nothing.
    void Clear();
    // Adds bytes from `address` on; the address wraps at 64 KiB as device memory does. Later
    // bytes replace earlier ones at the same address.
    void Add(std::uint16_t address, std::span<const std::uint8_t> bytes);
    // Adds the data records of an image in the driver's 22-byte record layout (Length at 0,
    // Address little-endian at 2, Type at 4, 16 data bytes at 5), up to the first record whose
    // Type is not 0. False when a record claims more than 16 bytes or the span ends before the
    // end record; the records before that are kept.
    bool AddRecords(std::span<const std::uint8_t> records);

    bool Covers(std::uint16_t address) const {
        return (Covered[address >> 3] >> (address & 7) & 1) != 0;
    }
    std::uint8_t At(std::uint16_t address) const { return Bytes[address]; }
    std::uint32_t CoveredBytes() const { return CoveredCount; }
    // Whether `memory` (64 KiB) holds this image's byte at every covered address.
    bool Matches(std::span<const std::uint8_t> memory) const;

    std::array<std::uint8_t, kCameraMemoryBytes> Bytes{};
    std::array<std::uint8_t, kCameraMemoryBytes / 8> Covered{}; // one bit per address
    std::uint32_t CoveredCount = 0;
};

// The big arrays of one camera, owned by the caller (about 208 KiB). The Camera keeps a
// reference; it must outlive the Camera.
struct CameraStorage {
    std::array<std::uint8_t, kCameraMemoryBytes> Memory{}; // the chip's RAM
    FirmwareImage Loader;                                  // the image downloaded first
    FirmwareImage Program;                                 // the camera program
};

// ---------------------------------------------------------------------------------------------
// Requests and results.

// A control request's setup stage, as the bus received it.
struct SetupRequest {
    std::uint8_t RequestType =
        0; // bmRequestType: bit 7 device-to-host, bits 5-6 type, 0-4 recipient
    std::uint8_t Request = 0;
    std::uint16_t Value = 0;
    std::uint16_t Index = 0;
    std::uint16_t Length = 0;

    bool In() const { return (RequestType & 0x80) != 0; }
};

enum class ControlStatus : std::uint8_t {
    Ok,    // the request completed; Length bytes moved in the data stage
    Stall, // the device stalled the request (unknown, malformed or refused)
};

struct ControlResult {
    ControlStatus Status = ControlStatus::Stall;
    std::uint32_t Length = 0;
};

enum class TransferStatus : std::uint8_t {
    Ok,          // Length == the size asked: the transfer may go on with more
    Short,       // IN only: Length < the size asked (0 for a zero-length packet): the device
                 // ended the transfer here; complete the URB with success and Length
    Nak,         // no data now (IN) or not accepted now (OUT), Length 0: keep the URB pending and
                 // ask again later; for isochronous IN, an empty packet this microframe
    Stall,       // the endpoint is halted: fail the URB with a stall and keep the halt until it
                 // is cleared (CLEAR_FEATURE, a reset-pipe, or ClearHalt)
    NoHandshake, // no such endpoint in the current configuration and alternate settings, or it
                 // has the wrong type or direction for this call: the device does not answer
};

struct TransferResult {
    TransferStatus Status = TransferStatus::NoHandshake;
    std::uint32_t Length = 0;
};

// A canned answer to a class or vendor request that the chip itself does not serve, so tests can
// check both data stages. The caller owns the array (CameraConfig::CannedReplies); the model
// writes Hits and Captured* into it.
struct CannedReply {
    std::uint8_t RequestType = 0x40; // matched in full: direction, type and recipient
    std::uint8_t Request = 0;
    std::uint16_t Value = 0;
    std::uint16_t Index = 0;
    bool AnyValue = false; // match every wValue
    bool AnyIndex = false; // match every wIndex
    bool Stall = false;    // answer with a stall instead of completing
    // Device-to-host: the data returned, cut to wLength (a shorter reply is a short data stage).
    std::span<const std::uint8_t> Reply;
    // Host-to-device: where the data stage is copied (cut to its size); all of it is accepted.
    std::span<std::uint8_t> Capture;

    // Written by the model.
    std::uint32_t Hits = 0;
    std::uint32_t CapturedLength = 0; // bytes of the last host-to-device data stage
};

// ---------------------------------------------------------------------------------------------
// State the bus and tests can read.

struct DeviceIdentity {
    std::uint16_t VendorId = 0;
    std::uint16_t ProductId = 0;
};

// What the 8051 does.
enum class RunningProgram : std::uint8_t {
    None,         // held in reset
    Loader,       // the loader image: 0xA3 works
    Camera,       // the camera program: commands, image and isochronous data
    Unrecognised, // let run over memory that is neither image: it runs, but nothing happens
};

// Events the bus polls with TakeEvents (a bit mask).
enum CameraEvent : std::uint32_t {
    // The camera program has started and leaves the bus to come back with its own identity. The
    // model keeps answering as the old device until the bus calls Reconnect; the bus should
    // unplug the old device, call Reconnect, and plug the new one. Raised each time the camera
    // program starts.
    CameraEventRenumerate = 1u << 0,
};

enum class ViolationKind : std::uint8_t {
    // A 0xA0 write to an address other than CPUCS while the CPU runs: the download protocol
    // puts the CPU in reset first. The bytes are still written (the real chip would too).
    WriteWhileRunning,
    // A 0xA3 request while the loader is not running: stalled.
    ExternalWithoutLoader,
};

struct ViolationRecord {
    ViolationKind Kind = ViolationKind::WriteWhileRunning;
    std::uint8_t Request = 0;
    std::uint16_t Address = 0;                     // first offending address
    std::uint16_t Length = 0;                      // wLength of the request
    RunningProgram Program = RunningProgram::None; // what ran when it happened
};

inline constexpr std::uint32_t kViolationLogEntries = 16;

// The frame on the image endpoint.
struct FrameInfo {
    bool Active = false;     // a frame is being read out (bytes or its end packet still to go)
    bool EndPending = false; // all bytes went, the zero-length end packet has not
    std::uint32_t Number = 0;
    std::uint64_t Bytes = 0;  // size of the frame
    std::uint64_t Offset = 0; // bytes already delivered
};

// Counters since construction. Plain numbers, never reset by the model.
struct CameraCounters {
    std::uint32_t ControlRequests = 0;
    std::uint32_t ControlStalls = 0;
    std::uint32_t MemoryWrites = 0; // 0xA0 host-to-device requests
    std::uint32_t MemoryReads = 0;
    std::uint32_t ExternalWrites = 0; // 0xA3 requests served
    std::uint32_t ExternalReads = 0;
    std::uint32_t CpuResets = 0;   // CPUCS bit 0 went 0 -> 1
    std::uint32_t CpuReleases = 0; // CPUCS bit 0 went 1 -> 0
    std::uint32_t LoaderStarts = 0;
    std::uint32_t CameraStarts = 0;
    std::uint32_t UnrecognisedStarts = 0;
    std::uint32_t BusResets = 0;
    std::uint32_t Reconnects = 0;
    std::uint32_t StartCommands = 0;
    std::uint32_t EndCommands = 0;
    std::uint32_t UnknownCommands = 0;   // 64 bytes, command byte neither 2 nor 3: ignored
    std::uint32_t MalformedCommands = 0; // not 64 bytes: ignored whatever byte 0 says
    std::uint32_t FramesStarted = 0;
    std::uint32_t FramesCompleted = 0; // read out to the end, end packet included
    std::uint32_t FramesAbandoned = 0; // cut by a new start command
    std::uint64_t ImageBytes = 0;
    std::uint32_t StatusPackets = 0;
    std::uint32_t IsoPackets = 0;
    std::uint64_t IsoBytes = 0;
    std::uint64_t SinkBytes = 0; // OUT data taken and dropped (bulk, interrupt, isochronous)
};

// Status packet, served on every bulk or interrupt IN endpoint other than the image endpoint
// (the command endpoint included, when a test's descriptors make it an IN endpoint). 64 bytes,
// little-endian; a read gets at most 64 of them, ending short when it asked for more.
inline constexpr std::uint32_t kStatusPacketBytes = 64;
struct StatusPacketLayout {
    static constexpr std::uint32_t Program = 0;         // u8, RunningProgram
    static constexpr std::uint32_t Flags = 1;           // u8, bit 0 frame active, bit 1 end pending
    static constexpr std::uint32_t LastCommand = 2;     // u8, byte 0 of the last 64-byte command
    static constexpr std::uint32_t FramesStarted = 4;   // u32
    static constexpr std::uint32_t FramesCompleted = 8; // u32
    static constexpr std::uint32_t FrameNumber = 12;    // u32, the current or last frame
    static constexpr std::uint32_t BytesLeft = 16;      // u32, of the current frame (saturated)
    static constexpr std::uint32_t IgnoredCommands = 20; // u32, unknown + malformed
    // bytes 24 to 63 are 0
};

enum class PowerOnState : std::uint8_t {
    HeldInReset,   // a bare chip: RAM zero, CPU in reset, foreign identity
    CameraRunning, // as if the program came from a boot EEPROM: RAM holds the camera image, it
                   // runs, own identity, no renumeration event
};

struct CameraConfig {
    DescriptorSet Foreign = DefaultForeignDescriptors();
    DescriptorSet Own = DefaultOwnDescriptors();
    std::uint32_t FrameWidth = kDefaultFrameWidth;
    std::uint32_t FrameHeight = kDefaultFrameHeight;
    PowerOnState PowerOn = PowerOnState::HeldInReset;
    std::span<CannedReply> CannedReplies; // first match wins
};

// ---------------------------------------------------------------------------------------------
// The camera.
//
// Roles of the endpoints while the camera program runs. They follow what the driver addresses:
// pipe index 0 of the configuration's first interface (in its current alternate setting) is the
// command endpoint, pipe index 2 the image endpoint, wherever the descriptors put them:
//   - bulk/interrupt OUT at pipe 0: command packets;
//   - bulk/interrupt IN at pipe 2: the frame readout;
//   - any other bulk/interrupt IN: the status packet;
//   - isochronous IN: the continuous sequence-numbered stream;
//   - any other OUT (bulk, interrupt, isochronous): data taken and dropped.
// Without the camera program, bulk and interrupt endpoints NAK and isochronous IN ones send
// nothing; the endpoints still exist, halt and stall.
//
// The frame readout. A 64-byte command with byte 0 = 2 starts the next frame (numbered from 0
// each time the camera program starts) of FrameWidth x FrameHeight 16-bit pixels, dropping
// whatever the previous frame had left. Reads
// take consecutive bytes. The firmware sends the frame in packets of the image endpoint's
// wMaxPacketSize and ends it with a short packet, a zero-length one when the size is a multiple of
// wMaxPacketSize, so a read ends Short at the frame's end when it asked for more than was left (a
// read that takes exactly the last bytes is Ok, and the zero-length end packet, if any, goes to
// the next read). After the end every read NAKs until the next start command. Byte 0 = 3 (end of
// framing) is counted and changes nothing: the driver sends it right after handing its reads
// down, before any data has moved. Other bytes, and packets that are not 64 bytes long, are
// counted and ignored.
class Camera {
  public:
    // Power-on. Clears the RAM (or loads the camera image, for PowerOnState::CameraRunning);
    // the images in `storage` must be filled already. Unconfigured, address 0.
    Camera(CameraStorage& storage, const CameraConfig& config);

    Camera(const Camera&) = delete;
    Camera& operator=(const Camera&) = delete;

    // --- Default pipe ------------------------------------------------------------------------

    // Called for every control transfer on endpoint 0, once the whole setup (and, host-to-device,
    // the whole data stage) is there. For a device-to-host request the model writes at most
    // min(setup.Length, data.size()) bytes into `data` and returns how many; for host-to-device
    // `data` holds what the host sent (min(setup.Length, data.size()) bytes are used). Served:
    //   standard: GET_STATUS, CLEAR_FEATURE/SET_FEATURE (endpoint halt, device remote wakeup),
    //     SET_ADDRESS, GET_DESCRIPTOR (device, configuration index 0, string, device qualifier),
    //     GET/SET_CONFIGURATION, GET/SET_INTERFACE; anything else stalls;
    //   vendor 0xA0 (0x40 write / 0xC0 read): RAM at wValue, the address wrapping from 0xFFFF
    //     to 0x0000 (the chip's address counter is 16 bits); a byte written to 0x7F92 or 0xE600
    //     goes to CPUCS instead, and releasing the reset starts whatever program RAM holds;
    //   vendor 0xA3 (0x40 / 0xC0): the same RAM access without CPUCS, only while the loader runs;
    //     otherwise a stall and a violation;
    //   other class and vendor requests: the first matching canned reply, else a stall.
    // After it returns, the bus checks TakeEvents: a release of the reset can raise Renumerate.
    ControlResult Control(const SetupRequest& setup, std::span<std::uint8_t> data);

    // --- Data endpoints ----------------------------------------------------------------------
    // `endpoint` is the endpoint address, direction bit included. The bus calls these when its
    // schedule gives the endpoint a turn, with as many bytes as it wants moved now: a whole URB,
    // or one packet at a time; the result is the same either way.

    // Bulk or interrupt OUT: the bytes of one transfer (a command is one 64-byte call). Ok means
    // all were taken; Nak means none were.
    TransferResult BulkOut(std::uint8_t endpoint, std::span<const std::uint8_t> data);

    // Bulk or interrupt IN: fills up to data.size() bytes (see TransferStatus). A zero-size call
    // is Ok with 0 and consumes nothing.
    TransferResult BulkIn(std::uint8_t endpoint, std::span<std::uint8_t> data);

    // Isochronous IN: one packet (one microframe's worth), min(packet.size(), the endpoint's
    // BytesPerMicroframe()) bytes, Ok with its length. Each packet served carries the next
    // sequence number of that endpoint (see FillIsoPacket); a zero-size call serves nothing and
    // uses no number. Nak (nothing this microframe) without the camera program.
    TransferResult IsoIn(std::uint8_t endpoint, std::span<std::uint8_t> packet);

    // Packets of isochronous IN `endpoint` that nobody took: the camera sends them all the same
    // (their sequence numbers are used up, their bytes counted), the host just had no buffer
    // for them. `room` is the service's size, as for IsoIn.
    void IsoSkip(std::uint8_t endpoint, std::uint32_t packets, std::uint32_t room);

    // Isochronous OUT: one packet, always taken whole (Ok).
    TransferResult IsoOut(std::uint8_t endpoint, std::span<const std::uint8_t> packet);

    // --- Endpoints, configuration and halts --------------------------------------------------

    // The endpoint with this address in the current configuration and alternate settings (false
    // while unconfigured, and for endpoint 0). What the bus checks a pipe against before it
    // schedules a transfer, and where it finds the bytes per microframe to reserve.
    bool FindEndpoint(std::uint8_t endpoint, EndpointDescription& out) const;

    // The endpoints of any alternate setting of the presented configuration, in pipe order (for
    // select-configuration and select-interface); as ParseInterfaceEndpoints.
    std::uint32_t InterfaceEndpoints(std::uint8_t number, std::uint8_t alternate,
                                     std::span<EndpointDescription> out) const;

    std::uint8_t Configuration() const { return configuration_; } // 0: unconfigured
    std::uint8_t AlternateSetting(std::uint8_t interfaceNumber) const {
        return alternate_[interfaceNumber];
    }
    std::uint8_t Address() const { return address_; }

    // Halt of a data endpoint: set by SET_FEATURE(ENDPOINT_HALT) or by the bus to inject a
    // stall; cleared by CLEAR_FEATURE, SET_CONFIGURATION, SET_INTERFACE (for that interface's
    // endpoints), BusReset and ClearHalt (the bus's reset-pipe). Endpoint 0 never halts.
    void SetHalt(std::uint8_t endpoint) { halted_[HaltSlot(endpoint)] = (endpoint & 0x0F) != 0; }
    void ClearHalt(std::uint8_t endpoint) { halted_[HaltSlot(endpoint)] = false; }
    bool Halted(std::uint8_t endpoint) const { return halted_[HaltSlot(endpoint)]; }

    // --- Bus lifecycle -----------------------------------------------------------------------

    // A port reset: address 0, unconfigured, alternate settings 0, halts and remote wakeup
    // cleared. The CPU, RAM, identity and frame are untouched.
    void BusReset();

    // The device comes back on the bus after a renumeration: from now on it presents the
    // identity of the program that announced it (own identity after the camera program), then
    // BusReset. Called by the bus between unplugging the old device and plugging the new one.
    void Reconnect();

    // Events raised since the last TakeEvents (CameraEvent bits); TakeEvents clears them.
    std::uint32_t PendingEvents() const { return events_; }
    std::uint32_t TakeEvents() {
        const std::uint32_t events = events_;
        events_ = 0;
        return events;
    }

    // --- Identity and descriptors (as presented now) -----------------------------------------

    // idVendor and idProduct of the presented device descriptor (0 when it is too short).
    DeviceIdentity Identity() const;
    bool PresentsOwnIdentity() const { return presentOwn_; }
    std::span<const std::uint8_t> DeviceDescriptor() const { return Presented().Device; }
    std::span<const std::uint8_t> ConfigurationDescriptor() const {
        return Presented().Configuration;
    }
    // Empty when the device has no such string.
    std::span<const std::uint8_t> StringDescriptor(std::uint8_t index) const;

    // --- The chip ----------------------------------------------------------------------------

    RunningProgram Program() const { return program_; }
    bool CpuInReset() const { return (cpucs_ & kCpucsReset) != 0; }
    std::uint8_t CpuControl() const { return cpucs_; }
    std::span<const std::uint8_t> Memory() const { return storage_.Memory; }

    // --- Observation -------------------------------------------------------------------------

    FrameInfo Frame() const { return frame_; }
    std::uint64_t FrameBytes() const {
        return static_cast<std::uint64_t>(config_.FrameWidth) * config_.FrameHeight * 2;
    }
    // The sequence number the next packet of isochronous IN `endpoint` will carry. Numbers
    // restart at 0 when the camera program starts; alternate-setting changes keep them.
    std::uint32_t NextIsoSequence(std::uint8_t endpoint) const {
        return isoSequence_[endpoint & 0x0F];
    }
    const CameraCounters& Counters() const { return counters_; }

    // Protocol violations: the total, and the first kViolationLogEntries of them (the first
    // mistake is the one that explains the rest).
    std::uint32_t ViolationCount() const { return violationCount_; }
    std::span<const ViolationRecord> Violations() const {
        return std::span<const ViolationRecord>(violations_)
            .first(violationCount_ < kViolationLogEntries ? violationCount_ : kViolationLogEntries);
    }
    void ClearViolations() { violationCount_ = 0; }

  private:
    enum class Role : std::uint8_t { Command, Image, Status, Stream, Sink };
    struct ActiveEndpoint {
        EndpointDescription Description;
        Role Use = Role::Sink;
    };
    static constexpr std::uint32_t kMaxActiveEndpoints = 32;

    static std::uint32_t HaltSlot(std::uint8_t endpoint) {
        return (endpoint & 0x0F) | ((endpoint & 0x80) >> 3);
    }

    const DescriptorSet& Presented() const { return presentOwn_ ? config_.Own : config_.Foreign; }
    const ActiveEndpoint* Active(std::uint8_t endpoint) const;
    void RecomputeActiveEndpoints();
    void ClearInterfaceHalts(std::uint8_t number, std::uint8_t alternate);
    void ResetUsbState();

    ControlResult Standard(const SetupRequest& setup, std::span<std::uint8_t> data);
    ControlResult GetStatus(const SetupRequest& setup, std::span<std::uint8_t> data);
    ControlResult Feature(const SetupRequest& setup);
    ControlResult SetAddress(const SetupRequest& setup);
    ControlResult GetConfiguration(const SetupRequest& setup, std::span<std::uint8_t> data);
    ControlResult SetConfiguration(const SetupRequest& setup);
    ControlResult GetInterface(const SetupRequest& setup, std::span<std::uint8_t> data);
    ControlResult SetInterface(const SetupRequest& setup);
    const ActiveEndpoint* ActiveIsoIn(std::uint8_t endpoint) const;
    ControlResult GetDescriptor(const SetupRequest& setup, std::span<std::uint8_t> data);
    ControlResult EndpointFeature(const SetupRequest& setup, bool set);
    ControlResult MemoryRequest(const SetupRequest& setup, std::span<std::uint8_t> data);
    ControlResult ExternalRequest(const SetupRequest& setup, std::span<std::uint8_t> data);
    ControlResult Canned(const SetupRequest& setup, std::span<std::uint8_t> data);
    ControlResult Stall();

    void WriteCpuControl(std::uint8_t value);
    void StartProgram();
    void LogViolation(ViolationKind kind, const SetupRequest& setup, std::uint16_t address);

    void Command(std::span<const std::uint8_t> packet);
    TransferResult ReadImage(const ActiveEndpoint& endpoint, std::span<std::uint8_t> data);
    TransferResult ReadStatus(std::span<std::uint8_t> data);
    void FinishFrame();

    CameraStorage& storage_;
    CameraConfig config_;

    bool presentOwn_ = false;   // the identity on the bus now
    bool announcedOwn_ = false; // the identity the running program will come back with
    std::uint32_t events_ = 0;

    std::uint8_t cpucs_ = kCpucsReset;
    RunningProgram program_ = RunningProgram::None;

    std::uint8_t address_ = 0;
    std::uint8_t configuration_ = 0;
    bool remoteWakeup_ = false;
    std::array<std::uint8_t, 256> alternate_{}; // by interface number
    std::array<bool, 32> halted_{};             // by HaltSlot
    std::array<ActiveEndpoint, kMaxActiveEndpoints> active_{};
    std::uint32_t activeCount_ = 0;

    FrameInfo frame_{};
    std::uint32_t nextFrame_ = 0;
    std::uint8_t lastCommand_ = 0;
    std::array<std::uint32_t, 16> isoSequence_{}; // by endpoint number

    CameraCounters counters_{};
    std::array<ViolationRecord, kViolationLogEntries> violations_{};
    std::uint32_t violationCount_ = 0;
};

} // namespace sim
