// The camera: the chip's own requests (RAM, CPUCS), the programs the 8051 can run, and the camera
// firmware's endpoints. The standard requests are in standard_requests.cpp.

#include "camera/camera.h"
#include "camera/replies.h"

#include <algorithm>
#include <cstring>

namespace sim {

using namespace replies;
namespace {

bool IsCpucs(std::uint16_t address) {
    return address == kCpucsAddressOld || address == kCpucsAddressNew;
}

void PutU32(std::span<std::uint8_t> out, std::uint32_t at, std::uint32_t value) {
    for (std::uint32_t i = 0; i < 4; ++i) {
        out[at + i] = static_cast<std::uint8_t>(value >> (8 * i));
    }
}

} // namespace

Camera::Camera(CameraStorage& storage, const CameraConfig& config)
    : storage_(storage), config_(config) {
    storage_.Memory.fill(0);
    for (auto& reply : config_.CannedReplies) {
        reply.Hits = 0;
        reply.CapturedLength = 0;
    }
    if (config_.PowerOn == PowerOnState::CameraRunning) {
        // A boot EEPROM would have put the program there before the CPU ran.
        const FirmwareImage& image = storage_.Program;
        for (std::uint32_t a = 0; a < kCameraMemoryBytes; ++a) {
            if (image.Covers(static_cast<std::uint16_t>(a))) {
                storage_.Memory[a] = image.At(static_cast<std::uint16_t>(a));
            }
        }
        cpucs_ = 0;
        program_ = RunningProgram::Camera;
        presentOwn_ = true;
        announcedOwn_ = true;
    }
    ResetUsbState();
}

// --- Bus lifecycle ---------------------------------------------------------------------------

void Camera::ResetUsbState() {
    address_ = 0;
    configuration_ = 0;
    remoteWakeup_ = false;
    alternate_.fill(0);
    halted_.fill(false);
    RecomputeActiveEndpoints();
}

void Camera::BusReset() {
    ++counters_.BusResets;
    ResetUsbState();
}

void Camera::Reconnect() {
    ++counters_.Reconnects;
    presentOwn_ = announcedOwn_;
    ResetUsbState();
}

// --- Identity and descriptors ----------------------------------------------------------------

DeviceIdentity Camera::Identity() const {
    const auto device = DeviceDescriptor();
    if (device.size() < 12) {
        return {};
    }
    return DeviceIdentity{static_cast<std::uint16_t>(device[8] | device[9] << 8),
                          static_cast<std::uint16_t>(device[10] | device[11] << 8)};
}

std::span<const std::uint8_t> Camera::StringDescriptor(std::uint8_t index) const {
    const auto strings = Presented().Strings;
    return index < strings.size() ? strings[index] : std::span<const std::uint8_t>{};
}

// --- Endpoints -------------------------------------------------------------------------------

void Camera::RecomputeActiveEndpoints() {
    activeCount_ = 0;
    if (configuration_ == 0) {
        return;
    }
    const auto set = ConfigurationDescriptor();
    const int first = FirstInterfaceNumber(set);
    // Each interface of the set contributes the endpoints of its current alternate setting. Past
    // kMaxActiveEndpoints (more than a chip can have) the rest are left out.
    for (int number = 0; number < 256; ++number) {
        const auto n = static_cast<std::uint8_t>(number);
        if (!HasAlternateSetting(set, n, alternate_[n])) {
            continue;
        }
        std::array<EndpointDescription, kMaxActiveEndpoints> found{};
        const std::uint32_t count = std::min<std::uint32_t>(
            ParseInterfaceEndpoints(set, n, alternate_[n], found), kMaxActiveEndpoints);
        for (std::uint32_t i = 0; i < count && activeCount_ < kMaxActiveEndpoints; ++i) {
            const EndpointDescription& e = found[i];
            Role use = Role::Sink;
            const bool camera = number == first;
            const bool bulkLike = e.Kind == EndpointKind::Bulk || e.Kind == EndpointKind::Interrupt;
            if (e.Kind == EndpointKind::Isochronous) {
                use = e.In() ? Role::Stream : Role::Sink;
            } else if (bulkLike && e.In()) {
                use = camera && e.PipeIndex == 2 ? Role::Image : Role::Status;
            } else if (bulkLike) {
                use = camera && e.PipeIndex == 0 ? Role::Command : Role::Sink;
            }
            active_[activeCount_++] = ActiveEndpoint{e, use};
        }
    }
}

const Camera::ActiveEndpoint* Camera::Active(std::uint8_t endpoint) const {
    for (std::uint32_t i = 0; i < activeCount_; ++i) {
        if (active_[i].Description.Address == endpoint &&
            active_[i].Description.Kind != EndpointKind::Control) {
            return &active_[i];
        }
    }
    return nullptr;
}

bool Camera::FindEndpoint(std::uint8_t endpoint, EndpointDescription& out) const {
    const ActiveEndpoint* e = Active(endpoint);
    if (e == nullptr) {
        return false;
    }
    out = e->Description;
    return true;
}

std::uint32_t Camera::InterfaceEndpoints(std::uint8_t number, std::uint8_t alternate,
                                         std::span<EndpointDescription> out) const {
    return ParseInterfaceEndpoints(ConfigurationDescriptor(), number, alternate, out);
}

void Camera::ClearInterfaceHalts(std::uint8_t number, std::uint8_t alternate) {
    std::array<EndpointDescription, kMaxActiveEndpoints> found{};
    const std::uint32_t count =
        std::min<std::uint32_t>(InterfaceEndpoints(number, alternate, found), kMaxActiveEndpoints);
    for (std::uint32_t i = 0; i < count; ++i) {
        ClearHalt(found[i].Address);
    }
}

// --- Control transfers -----------------------------------------------------------------------

ControlResult Camera::Stall() {
    ++counters_.ControlStalls;
    return ControlResult{ControlStatus::Stall, 0};
}

ControlResult Camera::Control(const SetupRequest& setup, std::span<std::uint8_t> data) {
    ++counters_.ControlRequests;
    data = data.first(std::min<std::size_t>(setup.Length, data.size()));
    if ((setup.RequestType & kTypeMask) == kTypeStandard) {
        return Standard(setup, data);
    }
    // The chip's own requests come before anything the firmware (or a test) answers.
    const std::uint8_t plain = setup.RequestType & 0x7F;
    if (plain == 0x40 && setup.Request == kRequestMemory) {
        return MemoryRequest(setup, data);
    }
    if (plain == 0x40 && setup.Request == kRequestExternalMemory) {
        return ExternalRequest(setup, data);
    }
    return Canned(setup, data);
}

ControlResult Camera::MemoryRequest(const SetupRequest& setup, std::span<std::uint8_t> data) {
    // The chip's USB core serves 0xA0 whatever the CPU does, through a 16-bit address counter:
    // a transfer that runs past 0xFFFF carries on at 0x0000.
    if (setup.In()) {
        ++counters_.MemoryReads;
        for (std::size_t i = 0; i < data.size(); ++i) {
            const auto address = static_cast<std::uint16_t>(setup.Value + i);
            data[i] = IsCpucs(address) ? cpucs_ : storage_.Memory[address];
        }
        return Done(static_cast<std::uint32_t>(data.size()));
    }
    ++counters_.MemoryWrites;
    bool flagged = false;
    // Byte by byte, in order: a CPUCS byte in the middle of a block takes effect there, and the
    // bytes after it land in a CPU that may now be running.
    for (std::size_t i = 0; i < data.size(); ++i) {
        const auto address = static_cast<std::uint16_t>(setup.Value + i);
        if (IsCpucs(address)) {
            WriteCpuControl(data[i]);
            continue;
        }
        if (!CpuInReset() && !flagged) {
            LogViolation(ViolationKind::WriteWhileRunning, setup, address);
            flagged = true;
        }
        storage_.Memory[address] = data[i];
    }
    return Done(static_cast<std::uint32_t>(data.size()));
}

ControlResult Camera::ExternalRequest(const SetupRequest& setup, std::span<std::uint8_t> data) {
    // Served by the loader's code, which reaches all 64 KiB as data memory; CPUCS is not among
    // what it writes (the 8051 cannot put itself in reset).
    if (program_ != RunningProgram::Loader) {
        LogViolation(ViolationKind::ExternalWithoutLoader, setup, setup.Value);
        return Stall();
    }
    for (std::size_t i = 0; i < data.size(); ++i) {
        const auto address = static_cast<std::uint16_t>(setup.Value + i);
        if (setup.In()) {
            data[i] = storage_.Memory[address];
        } else {
            storage_.Memory[address] = data[i];
        }
    }
    ++(setup.In() ? counters_.ExternalReads : counters_.ExternalWrites);
    return Done(static_cast<std::uint32_t>(data.size()));
}

ControlResult Camera::Canned(const SetupRequest& setup, std::span<std::uint8_t> data) {
    for (auto& reply : config_.CannedReplies) {
        if (reply.RequestType != setup.RequestType || reply.Request != setup.Request ||
            (!reply.AnyValue && reply.Value != setup.Value) ||
            (!reply.AnyIndex && reply.Index != setup.Index)) {
            continue;
        }
        ++reply.Hits;
        if (reply.Stall) {
            return Stall();
        }
        if (setup.In()) {
            return Done(Answer(data, reply.Reply));
        }
        reply.CapturedLength = static_cast<std::uint32_t>(data.size());
        Answer(reply.Capture, data);
        return Done(static_cast<std::uint32_t>(data.size()));
    }
    return Stall();
}

// --- The CPU and its programs ----------------------------------------------------------------

void Camera::WriteCpuControl(std::uint8_t value) {
    const bool wasInReset = CpuInReset();
    cpucs_ = value;
    if (!wasInReset && CpuInReset()) {
        ++counters_.CpuResets;
        program_ = RunningProgram::None;
    } else if (wasInReset && !CpuInReset()) {
        ++counters_.CpuReleases;
        StartProgram();
    }
}

void Camera::StartProgram() {
    // The camera image is tried first: should a caller's two images agree on everything both
    // cover, the download ends with the camera image and the camera is what it should get.
    if (storage_.Program.Matches(storage_.Memory)) {
        ++counters_.CameraStarts;
        program_ = RunningProgram::Camera;
        frame_ = FrameInfo{};
        nextFrame_ = 0;
        lastCommand_ = 0;
        isoSequence_.fill(0);
        // The firmware drops off the bus and comes back as itself.
        announcedOwn_ = true;
        events_ |= CameraEventRenumerate;
    } else if (storage_.Loader.Matches(storage_.Memory)) {
        ++counters_.LoaderStarts;
        program_ = RunningProgram::Loader;
    } else {
        ++counters_.UnrecognisedStarts;
        program_ = RunningProgram::Unrecognised;
    }
}

void Camera::LogViolation(ViolationKind kind, const SetupRequest& setup, std::uint16_t address) {
    if (violationCount_ < kViolationLogEntries) {
        violations_[violationCount_] =
            ViolationRecord{kind, setup.Request, address, setup.Length, program_};
    }
    if (violationCount_ != UINT32_MAX) {
        ++violationCount_;
    }
}

// --- Data endpoints --------------------------------------------------------------------------

TransferResult Camera::BulkOut(std::uint8_t endpoint, std::span<const std::uint8_t> data) {
    const ActiveEndpoint* e = Active(endpoint);
    if (e == nullptr || e->Description.In() || e->Description.Kind == EndpointKind::Isochronous) {
        return TransferResult{TransferStatus::NoHandshake, 0};
    }
    if (Halted(endpoint)) {
        return TransferResult{TransferStatus::Stall, 0};
    }
    if (program_ != RunningProgram::Camera) {
        return TransferResult{TransferStatus::Nak, 0};
    }
    if (e->Use == Role::Command) {
        Command(data);
    } else {
        counters_.SinkBytes += data.size();
    }
    return TransferResult{TransferStatus::Ok, static_cast<std::uint32_t>(data.size())};
}

void Camera::Command(std::span<const std::uint8_t> packet) {
    if (packet.size() != kCommandPacketBytes) {
        ++counters_.MalformedCommands;
        return;
    }
    lastCommand_ = packet[0];
    switch (packet[0]) {
    case kCommandStartFrame:
        ++counters_.StartCommands;
        if (frame_.Active) {
            ++counters_.FramesAbandoned;
        }
        frame_ = FrameInfo{true, false, nextFrame_++, FrameBytes(), 0};
        ++counters_.FramesStarted;
        break;
    case kCommandEndFrame:
        ++counters_.EndCommands;
        break;
    default:
        ++counters_.UnknownCommands;
        break;
    }
}

TransferResult Camera::BulkIn(std::uint8_t endpoint, std::span<std::uint8_t> data) {
    const ActiveEndpoint* e = Active(endpoint);
    if (e == nullptr || !e->Description.In() || e->Description.Kind == EndpointKind::Isochronous) {
        return TransferResult{TransferStatus::NoHandshake, 0};
    }
    if (Halted(endpoint)) {
        return TransferResult{TransferStatus::Stall, 0};
    }
    if (program_ != RunningProgram::Camera) {
        return TransferResult{TransferStatus::Nak, 0};
    }
    if (data.empty()) {
        return TransferResult{TransferStatus::Ok, 0};
    }
    return e->Use == Role::Image ? ReadImage(*e, data) : ReadStatus(data);
}

TransferResult Camera::ReadImage(const ActiveEndpoint& endpoint, std::span<std::uint8_t> data) {
    if (!frame_.Active) {
        return TransferResult{TransferStatus::Nak, 0};
    }
    const std::uint64_t left = frame_.Bytes - frame_.Offset;
    const auto n = static_cast<std::uint32_t>(std::min<std::uint64_t>(left, data.size()));
    FillFrameBytes(frame_.Number, frame_.Offset, data.first(n));
    frame_.Offset += n;
    counters_.ImageBytes += n;
    if (n < data.size()) {
        // The short (or zero-length) packet that ends the frame.
        FinishFrame();
        return TransferResult{TransferStatus::Short, n};
    }
    if (frame_.Offset == frame_.Bytes) {
        // The read took exactly the rest. The last packet was short unless the frame is a whole
        // number of packets; then a zero-length packet still has to go.
        const std::uint16_t packet = endpoint.Description.MaxPacketSize;
        if (packet != 0 && frame_.Bytes % packet == 0) {
            frame_.EndPending = true;
        } else {
            FinishFrame();
        }
    }
    return TransferResult{TransferStatus::Ok, n};
}

void Camera::FinishFrame() {
    frame_.Active = false;
    frame_.EndPending = false;
    ++counters_.FramesCompleted;
}

TransferResult Camera::ReadStatus(std::span<std::uint8_t> data) {
    std::array<std::uint8_t, kStatusPacketBytes> packet{};
    packet[StatusPacketLayout::Program] = static_cast<std::uint8_t>(program_);
    packet[StatusPacketLayout::Flags] =
        static_cast<std::uint8_t>((frame_.Active ? 1 : 0) | (frame_.EndPending ? 2 : 0));
    packet[StatusPacketLayout::LastCommand] = lastCommand_;
    PutU32(packet, StatusPacketLayout::FramesStarted, counters_.FramesStarted);
    PutU32(packet, StatusPacketLayout::FramesCompleted, counters_.FramesCompleted);
    PutU32(packet, StatusPacketLayout::FrameNumber, frame_.Number);
    const std::uint64_t left = frame_.Active ? frame_.Bytes - frame_.Offset : 0;
    PutU32(packet, StatusPacketLayout::BytesLeft,
           static_cast<std::uint32_t>(std::min<std::uint64_t>(left, UINT32_MAX)));
    PutU32(packet, StatusPacketLayout::IgnoredCommands,
           counters_.UnknownCommands + counters_.MalformedCommands);
    ++counters_.StatusPackets;
    const std::uint32_t n = Answer(data, packet);
    return TransferResult{n < data.size() ? TransferStatus::Short : TransferStatus::Ok, n};
}

const Camera::ActiveEndpoint* Camera::ActiveIsoIn(std::uint8_t endpoint) const {
    const ActiveEndpoint* e = Active(endpoint);
    if (e == nullptr || !e->Description.In() || e->Description.Kind != EndpointKind::Isochronous) {
        return nullptr;
    }
    return e;
}

TransferResult Camera::IsoIn(std::uint8_t endpoint, std::span<std::uint8_t> packet) {
    const ActiveEndpoint* e = ActiveIsoIn(endpoint);
    if (e == nullptr) {
        return TransferResult{TransferStatus::NoHandshake, 0};
    }
    if (Halted(endpoint)) {
        return TransferResult{TransferStatus::Stall, 0};
    }
    if (program_ != RunningProgram::Camera) {
        return TransferResult{TransferStatus::Nak, 0};
    }
    const auto n = static_cast<std::uint32_t>(
        std::min<std::size_t>(packet.size(), e->Description.BytesPerMicroframe()));
    if (n == 0) {
        return TransferResult{TransferStatus::Ok, 0};
    }
    FillIsoPacket(endpoint, isoSequence_[endpoint & 0x0F]++, packet.first(n));
    ++counters_.IsoPackets;
    counters_.IsoBytes += n;
    return TransferResult{TransferStatus::Ok, n};
}

void Camera::IsoSkip(std::uint8_t endpoint, std::uint32_t packets, std::uint32_t room) {
    // The same state changes as IsoIn, without bytes to write.
    const ActiveEndpoint* e = ActiveIsoIn(endpoint);
    if (e == nullptr || Halted(endpoint) || program_ != RunningProgram::Camera) {
        return;
    }
    const std::uint32_t n = std::min(room, e->Description.BytesPerMicroframe());
    if (n == 0) {
        return;
    }
    isoSequence_[endpoint & 0x0F] += packets;
    counters_.IsoPackets += packets;
    counters_.IsoBytes += std::uint64_t{n} * packets;
}

TransferResult Camera::IsoOut(std::uint8_t endpoint, std::span<const std::uint8_t> packet) {
    const ActiveEndpoint* e = Active(endpoint);
    if (e == nullptr || e->Description.In() || e->Description.Kind != EndpointKind::Isochronous) {
        return TransferResult{TransferStatus::NoHandshake, 0};
    }
    if (Halted(endpoint)) {
        return TransferResult{TransferStatus::Stall, 0};
    }
    counters_.SinkBytes += packet.size();
    return TransferResult{TransferStatus::Ok, static_cast<std::uint32_t>(packet.size())};
}

} // namespace sim
