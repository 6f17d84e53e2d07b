// The simulated bus driver.
//
// USBD status choices, made as the platform's USB 2.0 stack makes them:
//
// | Refusal                                              | URB status                      |
// Request status               |
// |------------------------------------------------------|---------------------------------|------------------------------|
// | no URB, header Length too small for the function     | USBD_STATUS_INVALID_PARAMETER   |
// STATUS_INVALID_PARAMETER     | | function the bus does not serve                      |
// USBD_STATUS_INVALID_URB_FUNCTION| STATUS_INVALID_PARAMETER     | | pipe handle not of the current
// configuration         | USBD_STATUS_INVALID_PIPE_HANDLE | STATUS_INVALID_PARAMETER     | |
// direction flag against the endpoint, wrong pipe type,| USBD_STATUS_INVALID_PARAMETER   |
// STATUS_INVALID_PARAMETER     | | buffer longer than its MDL, packet count 0, over     | | | |
// 1024 or not a multiple of 8, packet offsets out of   |                                 | | |
// order                                                |                                 | | |
// isochronous start frame out of reach                 | USBD_STATUS_BAD_START_FRAME     |
// STATUS_INVALID_PARAMETER     | | select-interface of a setting the device lacks       |
// USBD_STATUS_INTERFACE_NOT_FOUND | STATUS_INVALID_PARAMETER     | | interface record shorter than
// its pipes need         | USBD_STATUS_BUFFER_TOO_SMALL    | STATUS_INVALID_PARAMETER     | |
// periodic bandwidth over 80 % of a microframe         | USBD_STATUS_NO_BANDWIDTH        |
// STATUS_INSUFFICIENT_RESOURCES| | device gone (before or while the URB pends)          |
// USBD_STATUS_DEVICE_GONE         | STATUS_DEVICE_NOT_CONNECTED  | | cancelled, or ended by
// abort-pipe                    | USBD_STATUS_CANCELED            | STATUS_CANCELLED             |
// | the device stalls                                    | USBD_STATUS_STALL_PID           |
// STATUS_UNSUCCESSFUL          | | the device does not answer on that endpoint          |
// USBD_STATUS_DEV_NOT_RESPONDING  | STATUS_UNSUCCESSFUL          |
//
// A short IN transfer without USBD_SHORT_TRANSFER_OK ends with USBD_STATUS_DATA_UNDERRUN and
// STATUS_UNSUCCESSFUL, TransferBufferLength holding the bytes that did arrive: that is what the
// USB 2.0 host controller drivers report for an early short packet the caller did not allow
// (the flag is honoured for bulk, interrupt and control transfers alike). The pipe stays usable;
// nothing on the device halted.
//
// An isochronous URB ends with USBD_STATUS_SUCCESS unless every packet failed
// (USBD_STATUS_ISOCH_REQUEST_FAILED, STATUS_UNSUCCESSFUL); the per-packet statuses tell the rest.

#include "bus/bus.h"

#include "capture/capture.h"
#include "host/host_kernel.h"
#include "usbd/usbd.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

namespace sim {

namespace {

constexpr std::uint32_t kMaxIsoPackets = 1024;
// 80 % of the 7500 bytes of a high-speed microframe may be reserved for periodic endpoints.
constexpr std::uint32_t kPeriodicBytesPerMicroframe = 6000;

struct Connection;
struct PortRecord;

struct Pipe : hc::LostPacketSink {
    Connection* Owner = nullptr;
    EndpointDescription Endpoint;
    hc::EndpointId Schedule = 0;
    std::uint32_t MaximumTransferSize = 0;

    // Called by the schedule under the bus lock for a service nobody took: the camera produces
    // the packet all the same, so its sequence numbers show the loss.
    void PacketLost(std::uint32_t room) override;
};

struct Configuration {
    std::uint8_t Value = 0;
    std::vector<Pipe*> Pipes; // of the selected alternate settings
};

// What the bus knows of one PDO: a device between its arrival and its departure. A renumerated
// camera is a new connection on the same port.
struct Connection {
    PortRecord* Port = nullptr;
    std::uint32_t Number = 0; // USB address in captures
    PDEVICE_OBJECT Pdo = nullptr;
    bool Gone = false;
    bool Reported = false; // the PnP manager was told of the arrival
    hc::EndpointId DefaultPipe = 0;
    Configuration* Current = nullptr;
    // Every pipe and configuration ever handed out stays allocated until the bus goes, so a
    // stale handle can never alias a new one.
    std::vector<std::unique_ptr<Pipe>> AllPipes;
    std::vector<std::unique_ptr<Configuration>> AllConfigurations;
    std::map<std::uint8_t, hc::EndpointId> Endpoints; // by address, of the current pipes
    std::vector<std::uint8_t> Scratch;
};

struct PortRecord {
    PortId Id = 0;
    Camera* Device = nullptr;
    PDRIVER_OBJECT FunctionDriver = nullptr;
    bool Bare = false;
    std::vector<std::unique_ptr<Connection>> Connections;
    Connection* Current = nullptr;
    bool Connected = true;
    bool Enabled = true;
    std::uint32_t Resets = 0;
    struct ActiveRule {
        FaultRule Rule;
        std::uint32_t Seen = 0;
        std::uint32_t Applied = 0;
    };
    std::vector<ActiveRule> Faults;
};

// The device extension of every PDO: the one pointer the dispatch routines need.
struct PDO_EXTENSION {
    Connection* Link;
};

class UrbTransfer;

} // namespace

struct BusState {
    BusOptions Options;
    hc::Controller Controller;
    PDRIVER_OBJECT Driver = nullptr;
    std::vector<std::unique_ptr<PortRecord>> Ports;
    std::unique_ptr<PcapWriter> Capture;
    std::int64_t ClockOrigin = 0;
    std::uint32_t NextConnection = 1;
    std::condition_variable ConnectionsChanged;

    // The bus's own worker: renumerations and unplugs that a request triggers run here, since
    // they wait and report to the PnP manager, which the thread of a completing URB must not do.
    std::mutex EventLock;
    std::condition_variable EventWake;
    std::deque<std::function<void()>> Events;
    std::thread EventThread;
    bool EventStop = false;
    std::atomic<unsigned> EventsRunning{0};

    explicit BusState(const BusOptions& options)
        : Options(options), Controller(options.Controller) {}

    void Post(std::function<void()> event) {
        {
            std::lock_guard<std::mutex> lock(EventLock);
            Events.push_back(std::move(event));
        }
        EventWake.notify_all();
    }
};

namespace {

BusState* TheBus = nullptr; // the dispatch routines find the bus here; one bus at a time

CaptureTime CaptureNow() {
    return std::chrono::nanoseconds((host::Clock::Now() - TheBus->ClockOrigin) * 100);
}

Connection* ConnectionOf(PDEVICE_OBJECT pdo) {
    return static_cast<PDO_EXTENSION*>(pdo->DeviceExtension)->Link;
}

NTSTATUS RequestStatusFor(USBD_STATUS status) {
    switch (status) {
    case USBD_STATUS_SUCCESS:
        return STATUS_SUCCESS;
    case USBD_STATUS_CANCELED:
        return STATUS_CANCELLED;
    case USBD_STATUS_DEVICE_GONE:
        return STATUS_DEVICE_NOT_CONNECTED;
    case USBD_STATUS_NO_BANDWIDTH:
    case USBD_STATUS_INSUFFICIENT_RESOURCES:
        return STATUS_INSUFFICIENT_RESOURCES;
    case USBD_STATUS_INVALID_PARAMETER:
    case USBD_STATUS_INVALID_URB_FUNCTION:
    case USBD_STATUS_INVALID_PIPE_HANDLE:
    case USBD_STATUS_BAD_START_FRAME:
    case USBD_STATUS_INTERFACE_NOT_FOUND:
    case USBD_STATUS_BUFFER_TOO_SMALL:
        return STATUS_INVALID_PARAMETER;
    default:
        return STATUS_UNSUCCESSFUL;
    }
}

// Completes a request the bus refused or served at once, in the dispatch routine.
NTSTATUS CompleteNow(PIRP irp, PURB urb, USBD_STATUS usbd, NTSTATUS status) {
    if (urb != nullptr)
        urb->UrbHeader.Status = usbd;
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = 0;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS Refuse(PIRP irp, PURB urb, USBD_STATUS usbd) {
    return CompleteNow(irp, urb, usbd, RequestStatusFor(usbd));
}

UrbRef RefOf(const Connection* connection, PIRP irp, PURB urb, std::uint8_t endpoint) {
    UrbRef ref;
    ref.IrpId = reinterpret_cast<std::uintptr_t>(irp);
    ref.Function = urb->UrbHeader.Function;
    ref.Device = static_cast<std::uint16_t>(connection->Number);
    ref.Endpoint = endpoint;
    return ref;
}

void Pipe::PacketLost(std::uint32_t room) {
    Camera& camera = *Owner->Port->Device;
    if (Owner->Scratch.size() < room)
        Owner->Scratch.resize(room);
    if (Endpoint.In())
        camera.IsoIn(Endpoint.Address, std::span<std::uint8_t>(Owner->Scratch.data(), room));
}

// ---------------------------------------------------------------------------------------------
// Transfers

enum class TransferKind : std::uint8_t { Control, BulkOrInterrupt, Isochronous };

// Who completes a transfer's request once it leaves the schedule.
enum class Owner : std::uint8_t {
    Schedule,      // queued; the schedule may finish it, a cancel routine may take it out
    Completer,     // the thread that took it off completes it
    CancelRoutine, // its cancel routine was already called and completes it
};

class UrbTransfer final : public hc::CompletableTransfer {
  public:
    Connection* Link = nullptr;
    Pipe* Through = nullptr; // null for the default pipe
    PIRP Irp = nullptr;
    PURB Urb = nullptr;
    TransferKind Kind = TransferKind::Control;
    std::uint8_t Endpoint = 0;
    bool In = false;
    bool ShortOk = false;
    std::uint8_t* Buffer = nullptr;
    std::uint32_t Length = 0;
    std::uint32_t Done = 0;
    bool ControlRan = false;
    SetupRequest Setup;
    USBD_STATUS Usbd = USBD_STATUS_SUCCESS;
    std::uint32_t ShortAfter = ~0u;
    USBD_STATUS ForcedError = USBD_STATUS_SUCCESS;
    std::int64_t FaultPacket = -1;
    USBD_STATUS FaultPacketStatus = USBD_STATUS_SUCCESS;
    std::uint32_t Packets = 0;
    std::uint64_t FirstMicroframe = ~std::uint64_t{0};
    std::vector<std::uint32_t> PacketBytes;
    std::vector<USBD_STATUS> PacketStatus;
    Owner Who = Owner::Schedule;
    hc::EndpointId ScheduleEndpoint = 0;

    Camera& Device() { return *Link->Port->Device; }

    std::uint32_t Remaining() const override {
        if (Kind == TransferKind::Control)
            return ControlRan ? 0 : Length;
        return Length - Done;
    }

    hc::PacketOutcome Fail(USBD_STATUS status) {
        Usbd = status;
        return {hc::PacketResult::Error, 0};
    }

    // Called by the schedule under the bus lock.
    hc::PacketOutcome MovePacket(std::uint32_t room) override {
        if (ForcedError != USBD_STATUS_SUCCESS)
            return Fail(ForcedError);
        if (Kind == TransferKind::Control) {
            const ControlResult result =
                Device().Control(Setup, std::span<std::uint8_t>(Buffer, Length));
            ControlRan = true;
            if (Device().PendingEvents() & CameraEventRenumerate)
                Renumerate();
            if (result.Status == ControlStatus::Stall)
                return Fail(USBD_STATUS_STALL_PID);
            Done = In ? std::min(result.Length, Length) : Length;
            if (In && Done < Length && !ShortOk)
                Usbd = USBD_STATUS_DATA_UNDERRUN;
            return {hc::PacketResult::Data, Done};
        }
        const std::uint32_t allowed = ShortAfter > Done ? std::min(room, ShortAfter - Done) : 0;
        TransferResult result;
        if (In)
            result = Device().BulkIn(Endpoint, std::span<std::uint8_t>(Buffer + Done, allowed));
        else
            result = Device().BulkOut(Endpoint, std::span<const std::uint8_t>(Buffer + Done, room));
        switch (result.Status) {
        case TransferStatus::Ok:
        case TransferStatus::Short: {
            const std::uint32_t moved = std::min(result.Length, In ? allowed : room);
            Done += moved;
            if (In && moved < room && Done < Length && !ShortOk)
                Usbd = USBD_STATUS_DATA_UNDERRUN;
            return {hc::PacketResult::Data, moved};
        }
        case TransferStatus::Nak:
            return {hc::PacketResult::Nak, 0};
        case TransferStatus::Stall:
            return Fail(USBD_STATUS_STALL_PID);
        case TransferStatus::NoHandshake:
        default:
            return Fail(USBD_STATUS_DEV_NOT_RESPONDING);
        }
    }

    std::uint32_t IsoPacketCount() const override { return Packets; }

    std::uint32_t PacketCapacity(std::uint32_t index) const {
        const USBD_ISO_PACKET_DESCRIPTOR* packets = Urb->UrbIsochronousTransfer.IsoPacket;
        const std::uint32_t end = index + 1 < Packets ? packets[index + 1].Offset : Length;
        return end - packets[index].Offset;
    }

    // Called by the schedule under the bus lock.
    std::uint32_t MoveIsoPacket(std::uint32_t index, std::uint32_t room,
                                std::uint64_t microframe) override {
        if (index == 0)
            FirstMicroframe = microframe;
        const std::uint32_t offset = Urb->UrbIsochronousTransfer.IsoPacket[index].Offset;
        const std::uint32_t capacity = std::min(PacketCapacity(index), room);
        TransferResult result;
        if (In)
            result = Device().IsoIn(Endpoint, std::span<std::uint8_t>(Buffer + offset, capacity));
        else
            result =
                Device().IsoOut(Endpoint, std::span<const std::uint8_t>(Buffer + offset, capacity));
        USBD_STATUS status = USBD_STATUS_SUCCESS;
        std::uint32_t bytes = 0;
        switch (result.Status) {
        case TransferStatus::Ok:
        case TransferStatus::Short:
            bytes = std::min(result.Length, capacity);
            break;
        case TransferStatus::Nak:
            break; // nothing this microframe: an empty packet
        case TransferStatus::Stall:
            status = USBD_STATUS_STALL_PID;
            break;
        default:
            status = USBD_STATUS_DEV_NOT_RESPONDING;
            break;
        }
        if (static_cast<std::int64_t>(index) == FaultPacket) {
            status = FaultPacketStatus;
            bytes = 0;
        }
        PacketBytes[index] = bytes;
        PacketStatus[index] = status;
        return bytes;
    }

    // The camera program started: it leaves the bus after a moment and comes back as a new
    // device. Called under the bus lock; the work happens on the bus's event thread.
    void Renumerate();

    // Called by the controller thread under the bus lock when the schedule finished it. When a
    // cancel routine has already claimed the request, it completes and frees the transfer as
    // soon as it gets the lock: the controller must not look at it again.
    bool TakenOff() override {
        Who = ClaimFromCancel(Irp) ? Owner::Completer : Owner::CancelRoutine;
        return Who == Owner::Completer;
    }

    // Called by the controller thread at DISPATCH_LEVEL with no lock held, only for transfers
    // TakenOff kept.
    void Finished() override { Complete(); }

    // True when the caller may complete the request; false when its cancel routine has been
    // called (or is about to be) and will complete it.
    static bool ClaimFromCancel(PIRP irp) { return IoSetCancelRoutine(irp, nullptr) != nullptr; }

    // Writes the results into the URB, captures, completes the request and frees the transfer.
    // Called with no lock held, at DISPATCH_LEVEL or below, by exactly one owner.
    NTSTATUS Complete() {
        PURB urb = Urb;
        if (Kind == TransferKind::Isochronous) {
            auto& iso = urb->UrbIsochronousTransfer;
            std::uint32_t errors = 0;
            std::uint32_t total = 0;
            for (std::uint32_t i = 0; i < Packets; ++i) {
                if (Usbd == USBD_STATUS_CANCELED || Usbd == USBD_STATUS_DEVICE_GONE) {
                    if (FirstMicroframe == ~std::uint64_t{0} ||
                        PacketStatus[i] == USBD_STATUS_PENDING) {
                        PacketStatus[i] = USBD_STATUS_ISO_NOT_ACCESSED_BY_HW;
                        PacketBytes[i] = 0;
                    }
                }
                iso.IsoPacket[i].Length = In ? PacketBytes[i] : iso.IsoPacket[i].Length;
                iso.IsoPacket[i].Status = PacketStatus[i];
                if (USBD_ERROR(PacketStatus[i]))
                    ++errors;
                total += PacketBytes[i];
            }
            iso.ErrorCount = errors;
            if (FirstMicroframe != ~std::uint64_t{0})
                iso.StartFrame = static_cast<ULONG>(FirstMicroframe / hc::MicroframesPerFrame);
            if (In)
                iso.TransferBufferLength = total;
            if (Usbd == USBD_STATUS_SUCCESS && Packets > 0 && errors == Packets)
                Usbd = USBD_STATUS_ISOCH_REQUEST_FAILED;
        } else if (Kind == TransferKind::Control) {
            urb->UrbControlTransfer.TransferBufferLength = Done;
        } else {
            urb->UrbBulkOrInterruptTransfer.TransferBufferLength = Done;
        }
        urb->UrbHeader.Status = Usbd;
        CaptureCompletion();
        const NTSTATUS status = RequestStatusFor(Usbd);
        Irp->IoStatus.Status = status;
        Irp->IoStatus.Information = 0;
        PIRP irp = Irp;
        delete this;
        IofCompleteRequest(irp, IO_NO_INCREMENT);
        return status;
    }

    void CaptureSubmission();
    void CaptureCompletion();
};

void UrbTransfer::CaptureSubmission() {
    PcapWriter* capture = TheBus->Capture.get();
    if (capture == nullptr)
        return;
    const UrbRef ref = RefOf(Link, Irp, Urb, Endpoint);
    const std::span<const std::uint8_t> data(Buffer, Buffer ? Length : 0);
    if (Kind == TransferKind::Control) {
        capture->WriteControlSubmit(ref,
                                    SetupPacket::Make(Setup.RequestType, Setup.Request, Setup.Value,
                                                      Setup.Index, Setup.Length),
                                    data, CaptureNow());
    } else if (Kind == TransferKind::BulkOrInterrupt) {
        capture->WriteBulkSubmit(ref,
                                 Through->Endpoint.Kind == EndpointKind::Interrupt
                                     ? DataPipe::Interrupt
                                     : DataPipe::Bulk,
                                 data, CaptureNow());
    } else {
        std::vector<IsoPacket> packets(Packets);
        for (std::uint32_t i = 0; i < Packets; ++i)
            packets[i] = {Urb->UrbIsochronousTransfer.IsoPacket[i].Offset,
                          Urb->UrbIsochronousTransfer.IsoPacket[i].Length, 0};
        capture->WriteIsoSubmit(ref, Urb->UrbIsochronousTransfer.StartFrame, packets, data,
                                CaptureNow());
    }
}

void UrbTransfer::CaptureCompletion() {
    PcapWriter* capture = TheBus->Capture.get();
    if (capture == nullptr)
        return;
    const UrbRef ref = RefOf(Link, Irp, Urb, Endpoint);
    if (Kind == TransferKind::Control) {
        capture->WriteControlComplete(
            ref,
            SetupPacket::Make(Setup.RequestType, Setup.Request, Setup.Value, Setup.Index,
                              Setup.Length),
            Usbd, std::span<const std::uint8_t>(Buffer, Buffer ? Done : 0), CaptureNow());
    } else if (Kind == TransferKind::BulkOrInterrupt) {
        capture->WriteBulkComplete(
            ref,
            Through->Endpoint.Kind == EndpointKind::Interrupt ? DataPipe::Interrupt
                                                              : DataPipe::Bulk,
            Usbd, std::span<const std::uint8_t>(Buffer, Buffer ? Done : 0), CaptureNow());
    } else {
        const auto& iso = Urb->UrbIsochronousTransfer;
        std::vector<IsoPacket> packets(Packets);
        for (std::uint32_t i = 0; i < Packets; ++i)
            packets[i] = {iso.IsoPacket[i].Offset, iso.IsoPacket[i].Length,
                          iso.IsoPacket[i].Status};
        capture->WriteIsoComplete(ref, Usbd, iso.StartFrame, packets,
                                  std::span<const std::uint8_t>(Buffer, Buffer ? Length : 0),
                                  CaptureNow());
    }
}

// ---------------------------------------------------------------------------------------------
// Connections, pipes and their transfers (all with the bus lock held unless said otherwise)

hc::Schedule& Sched() {
    return TheBus->Controller.Sched();
}

// Takes every queued transfer of one schedule endpoint off and decides who completes each; the
// caller completes those in `out` after dropping the lock.
void TakeQueued(const std::vector<hc::Transfer*>& queued, USBD_STATUS status,
                std::vector<UrbTransfer*>& out) {
    for (hc::Transfer* item : queued) {
        auto* transfer = static_cast<UrbTransfer*>(item);
        transfer->Usbd = status;
        if (UrbTransfer::ClaimFromCancel(transfer->Irp)) {
            transfer->Who = Owner::Completer;
            out.push_back(transfer);
        } else {
            transfer->Who = Owner::CancelRoutine;
        }
    }
}

// Completes transfers taken off with TakeQueued. No lock held; raises to DISPATCH_LEVEL as the
// host controller's completions run there.
void CompleteTaken(std::vector<UrbTransfer*>& taken) {
    if (taken.empty())
        return;
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    for (UrbTransfer* transfer : taken)
        transfer->Complete();
    KeLowerIrql(old);
    taken.clear();
}

void ClosePipes(Connection& connection, const std::vector<Pipe*>& pipes, USBD_STATUS status,
                std::vector<UrbTransfer*>& taken) {
    for (Pipe* pipe : pipes) {
        TakeQueued(Sched().RemoveEndpoint(pipe->Schedule), status, taken);
        auto found = connection.Endpoints.find(pipe->Endpoint.Address);
        if (found != connection.Endpoints.end() && found->second == pipe->Schedule)
            connection.Endpoints.erase(found);
    }
}

Pipe* OpenPipe(Connection& connection, const EndpointDescription& endpoint,
               std::uint32_t maximumTransferSize) {
    auto pipe = std::make_unique<Pipe>();
    pipe->Owner = &connection;
    pipe->Endpoint = endpoint;
    pipe->MaximumTransferSize = maximumTransferSize;
    hc::EndpointSetup setup;
    switch (endpoint.Kind) {
    case EndpointKind::Isochronous:
        setup.Kind = hc::EndpointKind::Isochronous;
        break;
    case EndpointKind::Interrupt:
        setup.Kind = hc::EndpointKind::Interrupt;
        break;
    case EndpointKind::Control:
        setup.Kind = hc::EndpointKind::Control;
        break;
    default:
        setup.Kind = hc::EndpointKind::Bulk;
        break;
    }
    setup.MaxPacketField =
        static_cast<std::uint16_t>(endpoint.MaxPacketSize | ((endpoint.Multiplier - 1) << 11));
    // High-speed periodic endpoints: bInterval is an exponent, 2^(bInterval - 1) microframes.
    const unsigned exponent =
        endpoint.Interval == 0 ? 0 : std::min<unsigned>(endpoint.Interval - 1, 15);
    setup.Interval =
        setup.Kind == hc::EndpointKind::Isochronous || setup.Kind == hc::EndpointKind::Interrupt
            ? 1u << exponent
            : 1u;
    pipe->Schedule = Sched().AddEndpoint(
        setup, setup.Kind == hc::EndpointKind::Isochronous ? pipe.get() : nullptr);
    connection.Endpoints[endpoint.Address] = pipe->Schedule;
    Pipe* raw = pipe.get();
    connection.AllPipes.push_back(std::move(pipe));
    return raw;
}

void FillPipeInformation(USBD_PIPE_INFORMATION& info, const Pipe& pipe) {
    // A high-bandwidth endpoint reports the bytes of all its transactions in a microframe.
    info.MaximumPacketSize = static_cast<USHORT>(pipe.Endpoint.BytesPerMicroframe());
    info.EndpointAddress = pipe.Endpoint.Address;
    info.Interval = pipe.Endpoint.Interval;
    info.PipeType = static_cast<USBD_PIPE_TYPE>(pipe.Endpoint.Kind);
    info.PipeHandle = const_cast<Pipe*>(&pipe);
    info.MaximumTransferSize = pipe.MaximumTransferSize;
}

Pipe* FindPipe(Connection& connection, USBD_PIPE_HANDLE handle) {
    if (connection.Current == nullptr || handle == nullptr)
        return nullptr;
    for (Pipe* pipe : connection.Current->Pipes)
        if (pipe == handle)
            return pipe;
    return nullptr;
}

bool ControlToDevice(Connection& connection, std::uint8_t requestType, std::uint8_t request,
                     std::uint16_t value, std::uint16_t index) {
    SetupRequest setup;
    setup.RequestType = requestType;
    setup.Request = request;
    setup.Value = value;
    setup.Index = index;
    return connection.Port->Device->Control(setup, {}).Status == ControlStatus::Ok;
}

std::uint32_t PeriodicLoad(const std::vector<Pipe*>& pipes) {
    std::uint32_t bytes = 0;
    for (const Pipe* pipe : pipes)
        if (pipe->Endpoint.Kind == EndpointKind::Isochronous ||
            pipe->Endpoint.Kind == EndpointKind::Interrupt)
            bytes += pipe->Endpoint.BytesPerMicroframe();
    return bytes;
}

} // namespace

namespace {

// ---------------------------------------------------------------------------------------------
// Port events (the bus's event thread; no lock held on entry)

void CreateConnection(PortRecord& port);

// The device leaves the bus. Pending URBs end with USBD_STATUS_DEVICE_GONE; the PnP manager
// hears of the departure (a bare PDO, which no stack sits on, is deleted here instead).
void Disconnect(PortRecord& port) {
    std::vector<UrbTransfer*> taken;
    Connection* connection = nullptr;
    {
        std::lock_guard<std::mutex> lock(TheBus->Controller.Lock());
        connection = port.Current;
        if (connection == nullptr || connection->Gone)
            return;
        connection->Gone = true;
        port.Current = nullptr;
        if (connection->Current != nullptr)
            ClosePipes(*connection, connection->Current->Pipes, USBD_STATUS_DEVICE_GONE, taken);
        TakeQueued(Sched().RemoveEndpoint(connection->DefaultPipe), USBD_STATUS_DEVICE_GONE, taken);
        connection->Current = nullptr;
    }
    CompleteTaken(taken);
    if (connection->Reported) {
        host::Pnp::ReportDeparture(connection->Pdo);
    } else {
        PDEVICE_OBJECT pdo = connection->Pdo;
        connection->Pdo = nullptr;
        IoDeleteDevice(pdo);
    }
    TheBus->ConnectionsChanged.notify_all();
}

// A real camera leaves the bus milliseconds after its program starts, long after the few
// microseconds the host needs for the write that follows the release (the second CPU control
// register). A fast test clock must not shrink that below what a loaded machine needs.
constexpr double kLeastRealRenumerationMs = 5.0;

void Reconnect(PortRecord& port) {
    const double scale = std::max(host::Clock::Scale(), 1e-9);
    std::this_thread::sleep_for(std::chrono::duration<double, std::milli>(
        std::max(TheBus->Options.RenumerationDelayMs / scale, kLeastRealRenumerationMs)));
    Disconnect(port);
    {
        std::lock_guard<std::mutex> lock(TheBus->Controller.Lock());
        port.Device->Reconnect();
    }
    CreateConnection(port);
    Connection* connection = port.Current;
    if (!port.Bare && connection != nullptr) {
        connection->Reported = true;
        host::Pnp::ReportArrival(connection->Pdo, port.FunctionDriver);
    }
    TheBus->ConnectionsChanged.notify_all();
}

void UrbTransfer::Renumerate() {
    Device().TakeEvents();
    PortRecord* port = Link->Port;
    TheBus->Post([port] { Reconnect(*port); });
}

// ---------------------------------------------------------------------------------------------
// Faults

const FaultRule* MatchFault(PortRecord& port, std::uint16_t function, std::uint8_t endpoint) {
    for (PortRecord::ActiveRule& active : port.Faults) {
        const FaultRule& rule = active.Rule;
        if (rule.Function != 0xFFFF && rule.Function != function)
            continue;
        if (rule.Endpoint != 0xFF && rule.Endpoint != endpoint)
            continue;
        ++active.Seen;
        if (active.Seen <= rule.Skip)
            continue;
        if (rule.Times != 0 && active.Applied >= rule.Times)
            continue;
        ++active.Applied;
        return &active.Rule;
    }
    return nullptr;
}

// ---------------------------------------------------------------------------------------------
// Transfers: validation and queueing

// Cancel routine of every pending transfer. Called by IoCancelIrp with the cancel spin lock
// held, which it drops first; then it takes the bus lock. It completes the request itself: a
// transfer still queued ends with USBD_STATUS_CANCELED and whatever it had moved; one that the
// controller or an abort had already taken off ends with the result it had.
VOID NTAPI CancelTransfer(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    IoReleaseCancelSpinLock(Irp->CancelIrql);
    auto* transfer = static_cast<UrbTransfer*>(Irp->Tail.Overlay.DriverContext[0]);
    {
        std::lock_guard<std::mutex> lock(TheBus->Controller.Lock());
        if (transfer->Who == Owner::Schedule) {
            Sched().Remove(transfer->ScheduleEndpoint, transfer);
            transfer->Usbd = USBD_STATUS_CANCELED;
            transfer->Who = Owner::CancelRoutine;
        }
    }
    transfer->Complete();
}

bool ResolveBuffer(PVOID buffer, PMDL mdl, ULONG length, std::uint8_t*& out) {
    out = nullptr;
    if (mdl != nullptr) {
        if (MmGetMdlByteCount(mdl) < length)
            return false;
        out = static_cast<std::uint8_t*>(MmGetMdlVirtualAddress(mdl));
        return true;
    }
    out = static_cast<std::uint8_t*>(buffer);
    return length == 0 || buffer != nullptr;
}

// Queues a validated transfer, or runs it at once when immediate completion is on. Called with
// the bus lock held (the lock is released on return); the request is pending unless it was
// completed here.
NTSTATUS QueueTransfer(std::unique_lock<std::mutex>& lock, UrbTransfer* transfer,
                       hc::EndpointId endpoint, const FaultRule* fault) {
    PIRP irp = transfer->Irp;
    transfer->ScheduleEndpoint = endpoint;
    bool unplug = false;
    if (fault != nullptr) {
        switch (fault->What) {
        case FaultRule::Kind::Stall:
            if ((transfer->Endpoint & 0x0F) == 0)
                transfer->ForcedError = USBD_STATUS_STALL_PID;
            else
                transfer->Device().SetHalt(transfer->Endpoint);
            break;
        case FaultRule::Kind::NeverAnswer:
            transfer->Parked = true;
            break;
        case FaultRule::Kind::ShortPacket:
            transfer->ShortAfter = fault->ShortLength;
            break;
        case FaultRule::Kind::UrbError:
            transfer->ForcedError = fault->UsbdStatus;
            break;
        case FaultRule::Kind::PacketError:
            transfer->FaultPacket = fault->Packet;
            transfer->FaultPacketStatus = fault->UsbdStatus;
            break;
        case FaultRule::Kind::Unplug:
            unplug = true;
            transfer->Parked = true;
            break;
        case FaultRule::Kind::FailRequest:
            break;
        }
    }
    transfer->CaptureSubmission();

    if (TheBus->Options.ImmediateCompletion && !transfer->Parked) {
        bool ran = true;
        if (transfer->Kind == TransferKind::Isochronous) {
            const std::uint32_t room = Sched().BytesPerService(endpoint);
            for (std::uint32_t i = 0; i < transfer->Packets; ++i)
                transfer->MoveIsoPacket(i, room, TheBus->Controller.Microframe());
        } else {
            ran = transfer->MovePacket(transfer->Remaining()).Result != hc::PacketResult::Nak;
        }
        if (ran) {
            transfer->Who = Owner::Completer;
            lock.unlock();
            return transfer->Complete();
        }
    }

    IoMarkIrpPending(irp);
    irp->Tail.Overlay.DriverContext[0] = transfer;
    TheBus->Controller.Queue(endpoint, transfer);
    IoSetCancelRoutine(irp, CancelTransfer);
    if (irp->Cancel && UrbTransfer::ClaimFromCancel(irp)) {
        // Cancelled before it was queued, and the cancel routine was not called: end it here.
        Sched().Remove(endpoint, transfer);
        transfer->Usbd = USBD_STATUS_CANCELED;
        transfer->Who = Owner::Completer;
        lock.unlock();
        transfer->Complete();
        return STATUS_PENDING;
    }
    PortRecord* port = transfer->Link->Port;
    lock.unlock();
    if (unplug)
        TheBus->Post([port] { Disconnect(*port); });
    return STATUS_PENDING;
}

std::uint8_t RecipientOf(USHORT function) {
    switch (function) {
    case URB_FUNCTION_CLASS_INTERFACE:
    case URB_FUNCTION_VENDOR_INTERFACE:
        return 1;
    case URB_FUNCTION_CLASS_ENDPOINT:
    case URB_FUNCTION_VENDOR_ENDPOINT:
        return 2;
    case URB_FUNCTION_CLASS_OTHER:
    case URB_FUNCTION_VENDOR_OTHER:
        return 3;
    default:
        return 0;
    }
}

bool IsClass(USHORT function) {
    return function == URB_FUNCTION_CLASS_DEVICE || function == URB_FUNCTION_CLASS_INTERFACE ||
           function == URB_FUNCTION_CLASS_ENDPOINT || function == URB_FUNCTION_CLASS_OTHER;
}

} // namespace

namespace {

// ---------------------------------------------------------------------------------------------
// URB functions. Each is called by SubmitUrb with the bus lock held and the URB header's Length
// and Function read; each releases the lock and completes the request, or queues it.

struct Submission {
    std::unique_lock<std::mutex>& Lock;
    Connection& Link;
    PIRP Irp;
    PURB Urb;

    NTSTATUS Refuse(USBD_STATUS status) {
        Lock.unlock();
        return ::sim::Refuse(Irp, Urb, status);
    }
    // A request served at once: captured as a bare URB and completed with success.
    NTSTATUS Served(std::uint8_t endpoint = 0) {
        if (TheBus->Capture) {
            const UrbRef ref = RefOf(&Link, Irp, Urb, endpoint);
            TheBus->Capture->WriteUrbSubmit(ref, CaptureNow());
            TheBus->Capture->WriteUrbComplete(ref, USBD_STATUS_SUCCESS, CaptureNow());
        }
        Lock.unlock();
        return CompleteNow(Irp, Urb, USBD_STATUS_SUCCESS, STATUS_SUCCESS);
    }
    bool LengthAtLeast(std::size_t bytes) const { return Urb->UrbHeader.Length >= bytes; }
};

NTSTATUS ControlTransfer(Submission& s, const SetupRequest& setup, PVOID buffer, PMDL mdl,
                         ULONG length, bool in, bool shortOk) {
    std::uint8_t* data = nullptr;
    if (length > 0xFFFF || !ResolveBuffer(buffer, mdl, length, data))
        return s.Refuse(USBD_STATUS_INVALID_PARAMETER);
    auto* transfer = new UrbTransfer;
    transfer->Link = &s.Link;
    transfer->Irp = s.Irp;
    transfer->Urb = s.Urb;
    transfer->Kind = TransferKind::Control;
    transfer->Endpoint = 0;
    transfer->In = in;
    transfer->ShortOk = shortOk;
    transfer->Buffer = data;
    transfer->Length = length;
    transfer->Setup = setup;
    transfer->Setup.Length = static_cast<std::uint16_t>(length);
    const FaultRule* fault = MatchFault(*s.Link.Port, s.Urb->UrbHeader.Function, 0x00);
    if (fault != nullptr && fault->What == FaultRule::Kind::FailRequest) {
        delete transfer;
        s.Lock.unlock();
        return CompleteNow(s.Irp, s.Urb, fault->UsbdStatus, fault->Status);
    }
    return QueueTransfer(s.Lock, transfer, s.Link.DefaultPipe, fault);
}

NTSTATUS GetDescriptor(Submission& s) {
    if (!s.LengthAtLeast(sizeof(_URB_CONTROL_DESCRIPTOR_REQUEST)))
        return s.Refuse(USBD_STATUS_INVALID_PARAMETER);
    auto& request = s.Urb->UrbControlDescriptorRequest;
    SetupRequest setup;
    setup.RequestType = 0x80;
    setup.Request = 6; // GET_DESCRIPTOR
    setup.Value = static_cast<std::uint16_t>(request.DescriptorType << 8 | request.Index);
    setup.Index = request.LanguageId;
    return ControlTransfer(s, setup, request.TransferBuffer, request.TransferBufferMDL,
                           request.TransferBufferLength, true, true);
}

NTSTATUS VendorOrClass(Submission& s) {
    if (!s.LengthAtLeast(sizeof(_URB_CONTROL_VENDOR_OR_CLASS_REQUEST)))
        return s.Refuse(USBD_STATUS_INVALID_PARAMETER);
    auto& request = s.Urb->UrbControlVendorClassRequest;
    const bool in = (request.TransferFlags & USBD_TRANSFER_DIRECTION_IN) != 0;
    SetupRequest setup;
    setup.RequestType = static_cast<std::uint8_t>(
        (in ? 0x80 : 0x00) | (IsClass(s.Urb->UrbHeader.Function) ? 0x20 : 0x40) |
        RecipientOf(s.Urb->UrbHeader.Function) | request.RequestTypeReservedBits);
    setup.Request = request.Request;
    setup.Value = request.Value;
    setup.Index = request.Index;
    return ControlTransfer(s, setup, request.TransferBuffer, request.TransferBufferMDL,
                           request.TransferBufferLength, in,
                           (request.TransferFlags & USBD_SHORT_TRANSFER_OK) != 0);
}

NTSTATUS SetFeatureToDevice(Submission& s) {
    if (!s.LengthAtLeast(sizeof(_URB_CONTROL_FEATURE_REQUEST)))
        return s.Refuse(USBD_STATUS_INVALID_PARAMETER);
    SetupRequest setup;
    setup.RequestType = 0x00;
    setup.Request = 3; // SET_FEATURE
    setup.Value = s.Urb->UrbControlFeatureRequest.FeatureSelector;
    setup.Index = s.Urb->UrbControlFeatureRequest.Index;
    return ControlTransfer(s, setup, nullptr, nullptr, 0, false, true);
}

// The fault rule that applies to a validated data transfer, and the transfer record for it.
// Null, with the lock dropped and `fault` set, when the rule fails the request at once (the
// caller completes it then).
UrbTransfer* NewTransfer(Submission& s, Pipe* pipe, TransferKind kind, bool in,
                         const FaultRule*& fault) {
    fault = MatchFault(*s.Link.Port, s.Urb->UrbHeader.Function, pipe->Endpoint.Address);
    if (fault != nullptr && fault->What == FaultRule::Kind::FailRequest) {
        s.Lock.unlock();
        return nullptr;
    }
    auto* transfer = new UrbTransfer;
    transfer->Link = &s.Link;
    transfer->Through = pipe;
    transfer->Irp = s.Irp;
    transfer->Urb = s.Urb;
    transfer->Kind = kind;
    transfer->Endpoint = pipe->Endpoint.Address;
    transfer->In = in;
    return transfer;
}

NTSTATUS BulkOrInterrupt(Submission& s) {
    if (!s.LengthAtLeast(sizeof(_URB_BULK_OR_INTERRUPT_TRANSFER)))
        return s.Refuse(USBD_STATUS_INVALID_PARAMETER);
    auto& request = s.Urb->UrbBulkOrInterruptTransfer;
    Pipe* pipe = FindPipe(s.Link, request.PipeHandle);
    if (pipe == nullptr)
        return s.Refuse(USBD_STATUS_INVALID_PIPE_HANDLE);
    if (pipe->Endpoint.Kind != EndpointKind::Bulk && pipe->Endpoint.Kind != EndpointKind::Interrupt)
        return s.Refuse(USBD_STATUS_INVALID_PARAMETER);
    const bool in = (request.TransferFlags & USBD_TRANSFER_DIRECTION_IN) != 0;
    if (in != pipe->Endpoint.In())
        return s.Refuse(USBD_STATUS_INVALID_PARAMETER);
    // A pipe's MaximumTransferSize is the client's own business since the XP-era stack: the
    // bus does not refuse a transfer for it, only for a buffer its MDL cannot hold.
    std::uint8_t* data = nullptr;
    if (!ResolveBuffer(request.TransferBuffer, request.TransferBufferMDL,
                       request.TransferBufferLength, data))
        return s.Refuse(USBD_STATUS_INVALID_PARAMETER);

    const FaultRule* fault = nullptr;
    UrbTransfer* transfer = NewTransfer(s, pipe, TransferKind::BulkOrInterrupt, in, fault);
    if (transfer == nullptr)
        return CompleteNow(s.Irp, s.Urb, fault->UsbdStatus, fault->Status);
    transfer->ShortOk = (request.TransferFlags & USBD_SHORT_TRANSFER_OK) != 0;
    transfer->Buffer = data;
    transfer->Length = request.TransferBufferLength;
    return QueueTransfer(s.Lock, transfer, pipe->Schedule, fault);
}

NTSTATUS Isochronous(Submission& s) {
    if (!s.LengthAtLeast(FIELD_OFFSET(_URB_ISOCH_TRANSFER, IsoPacket)))
        return s.Refuse(USBD_STATUS_INVALID_PARAMETER);
    auto& request = s.Urb->UrbIsochronousTransfer;
    const std::uint32_t packets = request.NumberOfPackets;
    // Packets over the high-speed limit are refused before the header length is computed from
    // their count, so no count can make the check wrap.
    if (packets == 0 || packets > kMaxIsoPackets || packets % hc::MicroframesPerFrame != 0)
        return s.Refuse(USBD_STATUS_INVALID_PARAMETER);
    if (!s.LengthAtLeast(FIELD_OFFSET(_URB_ISOCH_TRANSFER, IsoPacket) +
                         std::size_t{packets} * sizeof(USBD_ISO_PACKET_DESCRIPTOR)))
        return s.Refuse(USBD_STATUS_INVALID_PARAMETER);
    Pipe* pipe = FindPipe(s.Link, request.PipeHandle);
    if (pipe == nullptr)
        return s.Refuse(USBD_STATUS_INVALID_PIPE_HANDLE);
    if (pipe->Endpoint.Kind != EndpointKind::Isochronous)
        return s.Refuse(USBD_STATUS_INVALID_PARAMETER);
    const bool in = (request.TransferFlags & USBD_TRANSFER_DIRECTION_IN) != 0;
    if (in != pipe->Endpoint.In())
        return s.Refuse(USBD_STATUS_INVALID_PARAMETER);
    std::uint8_t* data = nullptr;
    if (request.TransferBufferLength == 0 ||
        !ResolveBuffer(request.TransferBuffer, request.TransferBufferMDL,
                       request.TransferBufferLength, data))
        return s.Refuse(USBD_STATUS_INVALID_PARAMETER);
    // Packet offsets: the first at 0 is not required, but each must start inside the buffer
    // and after the one before.
    for (std::uint32_t i = 0; i < packets; ++i) {
        const ULONG offset = request.IsoPacket[i].Offset;
        if (offset >= request.TransferBufferLength ||
            (i > 0 && offset <= request.IsoPacket[i - 1].Offset))
            return s.Refuse(USBD_STATUS_INVALID_PARAMETER);
    }
    const std::uint64_t frame = TheBus->Controller.Microframe() / hc::MicroframesPerFrame;
    std::uint64_t eligible = 0;
    if ((request.TransferFlags & USBD_START_ISO_TRANSFER_ASAP) == 0) {
        // An explicit start frame must lie ahead, but not more than 1024 frames.
        const std::uint64_t start = request.StartFrame;
        if (start <= frame || start > frame + 1024)
            return s.Refuse(USBD_STATUS_BAD_START_FRAME);
        eligible = start * hc::MicroframesPerFrame;
    }

    const FaultRule* fault = nullptr;
    UrbTransfer* transfer = NewTransfer(s, pipe, TransferKind::Isochronous, in, fault);
    if (transfer == nullptr)
        return CompleteNow(s.Irp, s.Urb, fault->UsbdStatus, fault->Status);
    transfer->ShortOk = true;
    transfer->Buffer = data;
    transfer->Length = request.TransferBufferLength;
    transfer->Packets = packets;
    transfer->PacketBytes.assign(packets, 0);
    transfer->PacketStatus.assign(packets, USBD_STATUS_PENDING);
    request.ErrorCount = 0;
    const NTSTATUS status = QueueTransfer(s.Lock, transfer, pipe->Schedule, fault);
    (void)eligible; // ASAP and explicit starts are both served from the next microframe on
    return status;
}

NTSTATUS PipeRequest(Submission& s) {
    // A caller that found a USBDI version below 0x101 sends the older, 4 bytes shorter header.
    const std::size_t full = sizeof(_URB_PIPE_REQUEST);
    const std::size_t minimum = CurrentUsbdiVersion() < 0x101 ? full - 4 : full;
    if (!s.LengthAtLeast(minimum))
        return s.Refuse(USBD_STATUS_INVALID_PARAMETER);
    Pipe* pipe = FindPipe(s.Link, s.Urb->UrbPipeRequest.PipeHandle);
    if (pipe == nullptr)
        return s.Refuse(USBD_STATUS_INVALID_PIPE_HANDLE);
    if (s.Urb->UrbHeader.Function == URB_FUNCTION_ABORT_PIPE) {
        std::vector<UrbTransfer*> taken;
        TakeQueued(Sched().Flush(pipe->Schedule), USBD_STATUS_CANCELED, taken);
        if (TheBus->Capture) {
            const UrbRef ref = RefOf(&s.Link, s.Irp, s.Urb, pipe->Endpoint.Address);
            TheBus->Capture->WriteUrbSubmit(ref, CaptureNow());
            TheBus->Capture->WriteUrbComplete(ref, USBD_STATUS_SUCCESS, CaptureNow());
        }
        s.Lock.unlock();
        // The aborted transfers are complete before the abort is.
        CompleteTaken(taken);
        return CompleteNow(s.Irp, s.Urb, USBD_STATUS_SUCCESS, STATUS_SUCCESS);
    }
    // Reset pipe: the host clears the halt on the device (CLEAR_FEATURE ENDPOINT_HALT) and
    // restarts the endpoint's data toggle.
    s.Link.Port->Device->ClearHalt(pipe->Endpoint.Address);
    return s.Served(pipe->Endpoint.Address);
}

NTSTATUS FrameNumber(Submission& s) {
    if (!s.LengthAtLeast(sizeof(_URB_GET_CURRENT_FRAME_NUMBER)))
        return s.Refuse(USBD_STATUS_INVALID_PARAMETER);
    s.Urb->UrbGetCurrentFrameNumber.FrameNumber =
        static_cast<ULONG>(TheBus->Controller.Microframe() / hc::MicroframesPerFrame);
    return s.Served();
}

// Fills the interface record of `pipes` pipes just opened for (number, alternate).
void FillInterface(USBD_INTERFACE_INFORMATION& info,
                   const std::span<const std::uint8_t> configuration, std::uint8_t number,
                   std::uint8_t alternate, const std::vector<Pipe*>& pipes, Configuration* handle) {
    // Class, subclass and protocol come from the interface descriptor itself.
    const auto* cursor = configuration.data();
    const auto* end = configuration.data() + configuration.size();
    while (cursor + 2 <= end && cursor[0] >= 2 && cursor + cursor[0] <= end) {
        if (cursor[1] == USB_INTERFACE_DESCRIPTOR_TYPE && cursor[0] >= 9 && cursor[2] == number &&
            cursor[3] == alternate) {
            info.Class = cursor[5];
            info.SubClass = cursor[6];
            info.Protocol = cursor[7];
            break;
        }
        cursor += cursor[0];
    }
    info.InterfaceNumber = number;
    info.AlternateSetting = alternate;
    info.InterfaceHandle = reinterpret_cast<USBD_INTERFACE_HANDLE>(
        reinterpret_cast<std::uintptr_t>(handle) + 1 + number);
    info.NumberOfPipes = static_cast<ULONG>(pipes.size());
    for (std::size_t i = 0; i < pipes.size(); ++i)
        FillPipeInformation(info.Pipes[i], *pipes[i]);
}

NTSTATUS SelectConfiguration(Submission& s) {
    constexpr std::size_t fixed = FIELD_OFFSET(_URB_SELECT_CONFIGURATION, Interface);
    if (!s.LengthAtLeast(fixed))
        return s.Refuse(USBD_STATUS_INVALID_PARAMETER);
    Connection& link = s.Link;
    Camera& camera = *link.Port->Device;
    std::vector<UrbTransfer*> taken;
    auto& request = s.Urb->UrbSelectConfiguration;

    if (request.ConfigurationDescriptor == nullptr) {
        // Unconfigure: every pipe closes, every handle becomes invalid.
        if (link.Current != nullptr)
            ClosePipes(link, link.Current->Pipes, USBD_STATUS_CANCELED, taken);
        link.Current = nullptr;
        ControlToDevice(link, 0x00, 9, 0, 0);
        request.ConfigurationHandle = nullptr;
        const NTSTATUS status = s.Served();
        CompleteTaken(taken);
        return status;
    }

    const std::span<const std::uint8_t> configuration = camera.ConfigurationDescriptor();
    const PUSB_CONFIGURATION_DESCRIPTOR given = request.ConfigurationDescriptor;
    if (given->bDescriptorType != USB_CONFIGURATION_DESCRIPTOR_TYPE || given->bLength < 9 ||
        given->wTotalLength < 9 || configuration.size() < 9)
        return s.Refuse(USBD_STATUS_INAVLID_CONFIGURATION_DESCRIPTOR);

    // The interface records follow the fixed part, each as long as its own Length says; the
    // caller lists as many as fit in the URB, one per interface of the configuration at most.
    struct Listed {
        PUSBD_INTERFACE_INFORMATION Info;
        std::uint32_t Pipes;
        EndpointDescription Endpoints[32];
    };
    std::vector<Listed> listed;
    const std::uint32_t interfaces = configuration[4];
    auto* cursor = reinterpret_cast<std::uint8_t*>(&request.Interface);
    auto* end = reinterpret_cast<std::uint8_t*>(s.Urb) + s.Urb->UrbHeader.Length;
    while (listed.size() < interfaces && cursor + GET_USBD_INTERFACE_SIZE(0) <= end) {
        auto* info = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(cursor);
        if (!HasAlternateSetting(configuration, info->InterfaceNumber, info->AlternateSetting))
            return s.Refuse(USBD_STATUS_INTERFACE_NOT_FOUND);
        Listed entry{info, 0, {}};
        entry.Pipes = ParseInterfaceEndpoints(configuration, info->InterfaceNumber,
                                              info->AlternateSetting, entry.Endpoints);
        if (entry.Pipes > 32 || info->Length < GET_USBD_INTERFACE_SIZE(entry.Pipes) ||
            cursor + GET_USBD_INTERFACE_SIZE(entry.Pipes) > end)
            return s.Refuse(USBD_STATUS_BUFFER_TOO_SMALL);
        listed.push_back(entry);
        cursor += info->Length;
    }
    if (listed.empty())
        return s.Refuse(USBD_STATUS_BUFFER_TOO_SMALL);

    // Bandwidth of the periodic endpoints of the new configuration.
    std::uint32_t periodic = 0;
    for (const Listed& entry : listed)
        for (std::uint32_t i = 0; i < entry.Pipes; ++i)
            if (entry.Endpoints[i].Kind == EndpointKind::Isochronous ||
                entry.Endpoints[i].Kind == EndpointKind::Interrupt)
                periodic += entry.Endpoints[i].BytesPerMicroframe();
    if (periodic > kPeriodicBytesPerMicroframe)
        return s.Refuse(USBD_STATUS_NO_BANDWIDTH);

    if (!ControlToDevice(link, 0x00, 9, configuration[5], 0))
        return s.Refuse(USBD_STATUS_SET_CONFIG_FAILED);
    for (const Listed& entry : listed)
        if (entry.Info->AlternateSetting != 0 &&
            !ControlToDevice(link, 0x01, 11, entry.Info->AlternateSetting,
                             entry.Info->InterfaceNumber))
            return s.Refuse(USBD_STATUS_STALL_PID);

    if (link.Current != nullptr)
        ClosePipes(link, link.Current->Pipes, USBD_STATUS_CANCELED, taken);
    auto configurationRecord = std::make_unique<Configuration>();
    Configuration* handle = configurationRecord.get();
    handle->Value = configuration[5];
    link.AllConfigurations.push_back(std::move(configurationRecord));
    for (const Listed& entry : listed) {
        std::vector<Pipe*> pipes;
        for (std::uint32_t i = 0; i < entry.Pipes; ++i)
            pipes.push_back(
                OpenPipe(link, entry.Endpoints[i], entry.Info->Pipes[i].MaximumTransferSize));
        FillInterface(*entry.Info, configuration, entry.Info->InterfaceNumber,
                      entry.Info->AlternateSetting, pipes, handle);
        handle->Pipes.insert(handle->Pipes.end(), pipes.begin(), pipes.end());
    }
    link.Current = handle;
    request.ConfigurationHandle = handle;
    const NTSTATUS status = s.Served();
    CompleteTaken(taken);
    return status;
}

NTSTATUS SelectInterface(Submission& s) {
    constexpr std::size_t fixed =
        FIELD_OFFSET(_URB_SELECT_INTERFACE, Interface) + GET_USBD_INTERFACE_SIZE(0);
    if (!s.LengthAtLeast(fixed))
        return s.Refuse(USBD_STATUS_INVALID_PARAMETER);
    Connection& link = s.Link;
    auto& request = s.Urb->UrbSelectInterface;
    if (link.Current == nullptr || request.ConfigurationHandle != link.Current)
        return s.Refuse(USBD_STATUS_INVALID_PARAMETER);
    const std::span<const std::uint8_t> configuration =
        link.Port->Device->ConfigurationDescriptor();
    USBD_INTERFACE_INFORMATION& info = request.Interface;
    if (!HasAlternateSetting(configuration, info.InterfaceNumber, info.AlternateSetting))
        return s.Refuse(USBD_STATUS_INTERFACE_NOT_FOUND);
    EndpointDescription endpoints[32];
    const std::uint32_t count = ParseInterfaceEndpoints(configuration, info.InterfaceNumber,
                                                        info.AlternateSetting, endpoints);
    if (count > 32)
        return s.Refuse(USBD_STATUS_BUFFER_TOO_SMALL);
    // GET_SELECT_INTERFACE_REQUEST_SIZE(count), with no pipe at all taking one entry less.
    const std::size_t needed = sizeof(_URB_SELECT_INTERFACE) +
                               std::size_t{count} * sizeof(USBD_PIPE_INFORMATION) -
                               sizeof(USBD_PIPE_INFORMATION);
    if (!s.LengthAtLeast(needed) || info.Length < GET_USBD_INTERFACE_SIZE(count))
        return s.Refuse(USBD_STATUS_BUFFER_TOO_SMALL);

    // The pipes of this interface's current setting go; the others stay.
    std::vector<Pipe*> closing, staying;
    for (Pipe* pipe : link.Current->Pipes)
        (pipe->Endpoint.InterfaceNumber == info.InterfaceNumber ? closing : staying)
            .push_back(pipe);
    std::uint32_t periodic = PeriodicLoad(staying);
    for (std::uint32_t i = 0; i < count; ++i)
        if (endpoints[i].Kind == EndpointKind::Isochronous ||
            endpoints[i].Kind == EndpointKind::Interrupt)
            periodic += endpoints[i].BytesPerMicroframe();
    if (periodic > kPeriodicBytesPerMicroframe)
        return s.Refuse(USBD_STATUS_NO_BANDWIDTH);
    if (!ControlToDevice(link, 0x01, 11, info.AlternateSetting, info.InterfaceNumber))
        return s.Refuse(USBD_STATUS_STALL_PID);

    std::vector<UrbTransfer*> taken;
    ClosePipes(link, closing, USBD_STATUS_CANCELED, taken);
    std::vector<Pipe*> opened;
    for (std::uint32_t i = 0; i < count; ++i)
        opened.push_back(OpenPipe(link, endpoints[i], info.Pipes[i].MaximumTransferSize));
    FillInterface(info, configuration, info.InterfaceNumber, info.AlternateSetting, opened,
                  link.Current);
    staying.insert(staying.end(), opened.begin(), opened.end());
    link.Current->Pipes = staying;
    const NTSTATUS status = s.Served();
    CompleteTaken(taken);
    return status;
}

NTSTATUS SubmitUrb(Connection& link, PIRP irp, PURB urb) {
    if (urb == nullptr)
        return CompleteNow(irp, nullptr, USBD_STATUS_SUCCESS, STATUS_INVALID_PARAMETER);
    std::unique_lock<std::mutex> lock(TheBus->Controller.Lock());
    Submission s{lock, link, irp, urb};
    if (link.Gone)
        return s.Refuse(USBD_STATUS_DEVICE_GONE);
    // The header must at least hold itself before anything else is read.
    if (urb->UrbHeader.Length < sizeof(_URB_HEADER))
        return s.Refuse(USBD_STATUS_INVALID_PARAMETER);
    urb->UrbHeader.Status = USBD_STATUS_PENDING;
    switch (urb->UrbHeader.Function) {
    case URB_FUNCTION_SELECT_CONFIGURATION:
        return SelectConfiguration(s);
    case URB_FUNCTION_SELECT_INTERFACE:
        return SelectInterface(s);
    case URB_FUNCTION_ABORT_PIPE:
    case URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL:
        return PipeRequest(s);
    case URB_FUNCTION_GET_CURRENT_FRAME_NUMBER:
        return FrameNumber(s);
    case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER:
        return BulkOrInterrupt(s);
    case URB_FUNCTION_ISOCH_TRANSFER:
        return Isochronous(s);
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE:
        return GetDescriptor(s);
    case URB_FUNCTION_SET_FEATURE_TO_DEVICE:
        return SetFeatureToDevice(s);
    case URB_FUNCTION_VENDOR_DEVICE:
    case URB_FUNCTION_VENDOR_INTERFACE:
    case URB_FUNCTION_VENDOR_ENDPOINT:
    case URB_FUNCTION_VENDOR_OTHER:
    case URB_FUNCTION_CLASS_DEVICE:
    case URB_FUNCTION_CLASS_INTERFACE:
    case URB_FUNCTION_CLASS_ENDPOINT:
    case URB_FUNCTION_CLASS_OTHER:
        return VendorOrClass(s);
    default:
        return s.Refuse(USBD_STATUS_INVALID_URB_FUNCTION);
    }
}

// ---------------------------------------------------------------------------------------------
// Dispatch routines of the bus driver. The PnP manager and the function driver above call them
// through IofCallDriver at PASSIVE_LEVEL (PnP, power) or up to DISPATCH_LEVEL (internal device
// control, which a completion routine may resubmit); no lock of the caller is held. Each
// completes its request or, for a queued transfer, returns STATUS_PENDING and leaves it to the
// host controller or the cancel routine.

NTSTATUS NTAPI DispatchInternalDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    Connection& link = *ConnectionOf(DeviceObject);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    switch (stack->Parameters.DeviceIoControl.IoControlCode) {
    case IOCTL_INTERNAL_USB_SUBMIT_URB:
        return SubmitUrb(link, Irp, static_cast<PURB>(stack->Parameters.Others.Argument1));
    case IOCTL_INTERNAL_USB_GET_PORT_STATUS: {
        auto* status = static_cast<PULONG>(stack->Parameters.Others.Argument1);
        if (status == nullptr)
            return CompleteNow(Irp, nullptr, 0, STATUS_INVALID_PARAMETER);
        std::unique_lock<std::mutex> lock(TheBus->Controller.Lock());
        if (link.Gone) {
            lock.unlock();
            *status = 0;
            return CompleteNow(Irp, nullptr, 0, STATUS_DEVICE_NOT_CONNECTED);
        }
        const ULONG bits = (link.Port->Connected ? USBD_PORT_CONNECTED : 0) |
                           (link.Port->Enabled ? USBD_PORT_ENABLED : 0);
        lock.unlock();
        *status = bits;
        return CompleteNow(Irp, nullptr, 0, STATUS_SUCCESS);
    }
    case IOCTL_INTERNAL_USB_RESET_PORT: {
        std::unique_lock<std::mutex> lock(TheBus->Controller.Lock());
        if (link.Gone || !link.Port->Connected) {
            lock.unlock();
            return CompleteNow(Irp, nullptr, 0, STATUS_DEVICE_NOT_CONNECTED);
        }
        // A reset leaves the device unconfigured; the bus puts the configuration and the
        // selected settings back, so the function driver's handles stay good.
        Camera& camera = *link.Port->Device;
        camera.BusReset();
        if (link.Current != nullptr) {
            ControlToDevice(link, 0x00, 9, link.Current->Value, 0);
            std::map<std::uint8_t, std::uint8_t> settings;
            for (const Pipe* pipe : link.Current->Pipes)
                settings[pipe->Endpoint.InterfaceNumber] = pipe->Endpoint.AlternateSetting;
            for (const auto& [number, alternate] : settings)
                if (alternate != 0)
                    ControlToDevice(link, 0x01, 11, alternate, number);
        }
        link.Port->Enabled = true;
        ++link.Port->Resets;
        lock.unlock();
        return CompleteNow(Irp, nullptr, 0, STATUS_SUCCESS);
    }
    default:
        return CompleteNow(Irp, nullptr, 0, STATUS_INVALID_DEVICE_REQUEST);
    }
}

NTSTATUS NTAPI DispatchPnp(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    Connection& link = *ConnectionOf(DeviceObject);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    NTSTATUS status = Irp->IoStatus.Status;
    bool remove = false;
    switch (stack->MinorFunction) {
    case IRP_MN_START_DEVICE:
    case IRP_MN_STOP_DEVICE:
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_SURPRISE_REMOVAL:
        status = STATUS_SUCCESS;
        break;
    case IRP_MN_REMOVE_DEVICE: {
        status = STATUS_SUCCESS;
        // A device still on the bus keeps its PDO (the PnP manager may start it again); one
        // that has departed is gone for good.
        std::lock_guard<std::mutex> lock(TheBus->Controller.Lock());
        remove = link.Gone;
        break;
    }
    case IRP_MN_QUERY_CAPABILITIES: {
        PDEVICE_CAPABILITIES caps = stack->Parameters.DeviceCapabilities.Capabilities;
        if (caps == nullptr || caps->Version != 1 || caps->Size < sizeof(DEVICE_CAPABILITIES)) {
            status = STATUS_UNSUCCESSFUL;
            break;
        }
        caps->DeviceD1 = 0;
        caps->DeviceD2 = 0;
        caps->LockSupported = 0;
        caps->EjectSupported = 0;
        caps->Removable = 1;
        caps->UniqueID = 0;
        caps->SurpriseRemovalOK = 1;
        caps->Address = link.Port->Id + 1;
        caps->UINumber = link.Port->Id + 1;
        for (int state = 0; state < POWER_SYSTEM_MAXIMUM; ++state)
            caps->DeviceState[state] = PowerDeviceD3;
        caps->DeviceState[PowerSystemWorking] = PowerDeviceD0;
        caps->SystemWake = PowerSystemUnspecified;
        caps->DeviceWake = PowerDeviceUnspecified;
        status = STATUS_SUCCESS;
        break;
    }
    default:
        break; // not ours to answer: the status stays as the sender set it
    }
    Irp->IoStatus.Status = status;
    IofCompleteRequest(Irp, IO_NO_INCREMENT);
    if (remove) {
        link.Pdo = nullptr;
        IoDeleteDevice(DeviceObject);
        TheBus->ConnectionsChanged.notify_all();
    }
    return status;
}

NTSTATUS NTAPI DispatchPower(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    PoStartNextPowerIrp(Irp);
    NTSTATUS status = Irp->IoStatus.Status;
    if (stack->MinorFunction == IRP_MN_SET_POWER || stack->MinorFunction == IRP_MN_QUERY_POWER)
        status = STATUS_SUCCESS;
    Irp->IoStatus.Status = status;
    IofCompleteRequest(Irp, IO_NO_INCREMENT);
    return status;
}

void CreateConnection(PortRecord& port) {
    PDEVICE_OBJECT pdo = nullptr;
    const NTSTATUS status = IoCreateDevice(TheBus->Driver, sizeof(PDO_EXTENSION), nullptr,
                                           FILE_DEVICE_UNKNOWN, 0, FALSE, &pdo);
    if (!NT_SUCCESS(status) || pdo == nullptr) {
        host::Verifier::Report(host::Check::BadArgument,
                               "the simulated bus could not create a PDO");
        return;
    }
    pdo->Flags |= DO_POWER_PAGABLE;
    pdo->Flags &= ~DO_DEVICE_INITIALIZING;
    auto connection = std::make_unique<Connection>();
    connection->Port = &port;
    connection->Pdo = pdo;
    static_cast<PDO_EXTENSION*>(pdo->DeviceExtension)->Link = connection.get();
    std::lock_guard<std::mutex> lock(TheBus->Controller.Lock());
    connection->Number = TheBus->NextConnection++;
    hc::EndpointSetup control;
    control.Kind = hc::EndpointKind::Control;
    control.MaxPacketField = 64;
    connection->DefaultPipe = Sched().AddEndpoint(control);
    connection->Endpoints[0x00] = connection->DefaultPipe;
    port.Current = connection.get();
    port.Connections.push_back(std::move(connection));
}

} // namespace

// ---------------------------------------------------------------------------------------------
// The bus as the world sees it

Bus::Bus(BusOptions options) : Self(std::make_unique<BusState>(options)) {
    if (TheBus != nullptr)
        host::Verifier::Report(host::Check::ObjectMisuse,
                               "a second simulated bus while one exists");
    TheBus = Self.get();
    Self->ClockOrigin = host::Clock::Now();
    Self->Driver = host::CreateBusDriver(u"\\Driver\\usbsim");
    Self->Driver->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = DispatchInternalDeviceControl;
    Self->Driver->MajorFunction[IRP_MJ_PNP] = DispatchPnp;
    Self->Driver->MajorFunction[IRP_MJ_POWER] = DispatchPower;
    if (!options.CaptureFile.empty())
        Self->Capture = std::make_unique<PcapWriter>(options.CaptureFile);
    PDRIVER_OBJECT driver = Self->Driver;
    Self->Controller.Start([driver] {
        static thread_local std::unique_ptr<host::DriverContextScope> scope;
        scope = std::make_unique<host::DriverContextScope>(driver, nullptr);
    });
    BusState* state = Self.get();
    Self->EventThread = std::thread([state] {
        host::DriverContextScope scope(state->Driver, nullptr);
        std::unique_lock<std::mutex> lock(state->EventLock);
        for (;;) {
            state->EventWake.wait(lock,
                                  [state] { return state->EventStop || !state->Events.empty(); });
            if (state->Events.empty())
                return;
            std::function<void()> event = std::move(state->Events.front());
            state->Events.pop_front();
            ++state->EventsRunning;
            lock.unlock();
            event();
            lock.lock();
            --state->EventsRunning;
            state->EventWake.notify_all();
        }
    });
}

Bus::~Bus() {
    // Let pending port events (a renumeration under way) finish, then unplug what is left.
    {
        std::unique_lock<std::mutex> lock(Self->EventLock);
        Self->EventWake.wait(lock,
                             [this] { return Self->Events.empty() && Self->EventsRunning == 0; });
        Self->EventStop = true;
    }
    Self->EventWake.notify_all();
    Self->EventThread.join();
    for (auto& port : Self->Ports)
        Disconnect(*port);
    host::Pnp::WaitIdle();
    Self->Controller.Stop();
    // PDOs the PnP manager never removed (a stack that is still open) are deleted with the bus.
    for (auto& port : Self->Ports)
        for (auto& connection : port->Connections)
            if (connection->Pdo != nullptr) {
                IoDeleteDevice(connection->Pdo);
                connection->Pdo = nullptr;
            }
    if (Self->Capture)
        Self->Capture->Flush();
    host::UnloadDriver(Self->Driver);
    TheBus = nullptr;
}

PDRIVER_OBJECT Bus::Driver() const {
    return Self->Driver;
}

PortId Bus::PlugBare(Camera& camera) {
    auto port = std::make_unique<PortRecord>();
    port->Id = static_cast<PortId>(Self->Ports.size());
    port->Device = &camera;
    port->Bare = true;
    PortRecord* raw = port.get();
    Self->Ports.push_back(std::move(port));
    CreateConnection(*raw);
    return raw->Id;
}

PortId Bus::Plug(Camera& camera, PDRIVER_OBJECT functionDriver) {
    const PortId id = PlugBare(camera);
    PortRecord& port = *Self->Ports[id];
    port.Bare = false;
    port.FunctionDriver = functionDriver;
    if (port.Current != nullptr) {
        port.Current->Reported = true;
        host::Pnp::DeviceArrived(port.Current->Pdo, functionDriver);
    }
    return id;
}

void Bus::Unplug(PortId port) {
    Disconnect(*Self->Ports.at(port));
    Self->Ports.at(port)->Connected = false;
    Self->Ports.at(port)->Enabled = false;
}

PDEVICE_OBJECT Bus::Pdo(PortId port) const {
    std::lock_guard<std::mutex> lock(Self->Controller.Lock());
    const PortRecord& record = *Self->Ports.at(port);
    return record.Current != nullptr ? record.Current->Pdo : nullptr;
}

std::uint32_t Bus::Connections(PortId port) const {
    std::lock_guard<std::mutex> lock(Self->Controller.Lock());
    return static_cast<std::uint32_t>(Self->Ports.at(port)->Connections.size());
}

bool Bus::WaitForOwnIdentity(PortId port, std::uint32_t timeoutMs) {
    const double scale = std::max(host::Clock::Scale(), 1e-9);
    const auto deadline = std::chrono::steady_clock::now() +
                          std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                              std::chrono::duration<double, std::milli>(timeoutMs / scale));
    std::unique_lock<std::mutex> lock(Self->Controller.Lock());
    return Self->ConnectionsChanged.wait_until(lock, deadline, [&] {
        const PortRecord& record = *Self->Ports.at(port);
        return record.Current != nullptr && record.Device->PresentsOwnIdentity();
    });
}

void Bus::SetPortStatus(PortId port, bool connected, bool enabled) {
    std::lock_guard<std::mutex> lock(Self->Controller.Lock());
    Self->Ports.at(port)->Connected = connected;
    Self->Ports.at(port)->Enabled = enabled;
}

std::uint32_t Bus::PortResets(PortId port) const {
    std::lock_guard<std::mutex> lock(Self->Controller.Lock());
    return Self->Ports.at(port)->Resets;
}

void Bus::AddFault(PortId port, const FaultRule& rule) {
    std::lock_guard<std::mutex> lock(Self->Controller.Lock());
    Self->Ports.at(port)->Faults.push_back({rule, 0, 0});
}

void Bus::ClearFaults(PortId port) {
    std::lock_guard<std::mutex> lock(Self->Controller.Lock());
    Self->Ports.at(port)->Faults.clear();
}

hc::EndpointCounters Bus::Counters(PortId port, std::uint8_t endpoint) const {
    std::lock_guard<std::mutex> lock(Self->Controller.Lock());
    const PortRecord& record = *Self->Ports.at(port);
    const Connection* connection = record.Current != nullptr    ? record.Current
                                   : record.Connections.empty() ? nullptr
                                                                : record.Connections.back().get();
    if (connection == nullptr)
        return {};
    auto found = connection->Endpoints.find(endpoint);
    if (found == connection->Endpoints.end())
        return {};
    return Self->Controller.Sched().Counters(found->second);
}

void Bus::ResetCounters() {
    std::lock_guard<std::mutex> lock(Self->Controller.Lock());
    Self->Controller.Sched().ResetCounters();
}

void Bus::WithCamera(PortId port, const std::function<void(Camera&)>& action) {
    std::lock_guard<std::mutex> lock(Self->Controller.Lock());
    action(*Self->Ports.at(port)->Device);
}

hc::Controller& Bus::Controller() {
    return Self->Controller;
}

} // namespace sim
