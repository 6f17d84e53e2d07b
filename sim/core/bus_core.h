// The bus core: what a simulated USB bus driver does with a URB, whatever kernel it runs in.
//
// A bus driver is two halves. The front end is the part that belongs to one kernel: its request
// objects (IRPs), their completion and cancellation, the clock, its threads and locks, where the
// capture file goes. The core is the rest, the same for every kernel: it validates URBs as a
// strict bus driver does and refuses bad ones with the platform's statuses (urb_table.h), keeps
// each device's configuration and pipes, turns data URBs into transfers, moves their bytes
// between the caller's buffer and the camera model in the schedule's microframes (schedule.h),
// writes the results back into the URB, and describes every URB for a USBPcap capture
// (usbpcap.h). It is freestanding C++ like the camera model: no OS call, no exception, no RTTI,
// no thread or lock of its own, no allocation behind the caller's back (transfer records come
// from the front end's Transport, everything else from memory the front end hands in).
//
// The contract at the seam:
//
// - The bus lock. The front end has one lock that covers the core, the schedule and every camera
//   behind them (the camera model is not thread-safe). Every BusCore member says whether it is
//   called with that lock held or without it. The lock may be a spin lock: nothing in the core
//   blocks, and every call under it may run at DISPATCH_LEVEL. The core never calls the front
//   end's completion routine or anything that could call back into a driver under the lock;
//   the Transport members it calls under the lock are listed with them.
//
// - Who completes a request. The core never completes one. Submit tells the front end what to
//   do: complete the request now with the status given (a refusal, or a URB served at once), or
//   make it pending and queue the transfer it prepared. A queued transfer leaves the schedule
//   in one of three ways, and in each the front end decides, under the lock, who completes it:
//     1. Step reports it finished;
//     2. the core takes it off and hands it back in a TransferList (abort-pipe, a configuration
//        that closes its pipe, the device leaving the bus), its status already set;
//     3. the front end's cancel routine calls Cancel.
//   Exactly one party then calls Finish with the lock released: Finish writes the results into
//   the URB, captures the completion, frees the transfer record and returns the request status
//   the front end completes the request with. Against a cancel routine racing 1 or 2 the front
//   end arbitrates with its own means (IoSetCancelRoutine's return value, say) and records the
//   winner in Transfer::FrontEnd.
//
// - Time. The schedule counts microframes; it does not know the clock. The front end steps it
//   (Step, under the lock) as its clock says, names the microframe from which a queued transfer
//   may be served (Queue), and answers Transport::Microframe for the frame number URB.
//
// A minimal front end, in order: construct a BusCore over its Transport and memory; for each
// device, a Port (once per camera) and a Connection (once per appearance on the bus) with
// Connect; in IRP_MJ_INTERNAL_DEVICE_CONTROL, take the lock, call Submit, act on the outcome,
// drop the lock; in a timer or thread, take the lock, Step, claim what finished, drop the lock,
// Finish and complete each; when the device leaves, Disconnect and end what it hands back.
#pragma once

#include "camera/camera.h"
#include "core/schedule.h"
#include "core/urb_table.h"
#include "core/usbpcap.h"
#include "platform/kernel.h"

#include <cstddef>
#include <cstdint>
#include <span>

namespace sim::core {

class BusCore;
class Port;
class Connection;

// ---------------------------------------------------------------------------------------------
// Faults

// A fault the bus injects into the traffic of one port. A rule applies to the URBs that match
// it (function and endpoint), lets `Skip` of them through and then acts on the next `Times`
// (0: every one from then on).
struct FaultRule {
    enum class Kind : std::uint8_t {
        Stall,       // the device halts the endpoint: the transfer ends with USBD_STATUS_STALL_PID
                     // and every later one too, until a reset-pipe clears the halt
        NeverAnswer, // the transfer stays pending until it is cancelled or its pipe aborted
        ShortPacket, // an IN transfer ends short after ShortLength bytes
        UrbError,    // the transfer ends with UsbdStatus (and STATUS_UNSUCCESSFUL)
        PacketError, // isochronous packet Packet of the URB ends with UsbdStatus
        FailRequest, // the request is completed at once with Status and UsbdStatus
        Unplug,      // the device leaves the bus as this URB arrives (it stays pending and ends
                     // with USBD_STATUS_DEVICE_GONE), a surprise removal
    };
    Kind What = Kind::Stall;
    // 0xFFFF: any function.
    std::uint16_t Function = 0xFFFF;
    // Endpoint address (direction bit included); 0xFF: any; 0x00: the default pipe.
    std::uint8_t Endpoint = 0xFF;
    std::uint32_t Skip = 0;
    std::uint32_t Times = 1;
    std::uint32_t ShortLength = 0;
    std::uint32_t Packet = 0;
    USBD_STATUS UsbdStatus = USBD_STATUS_XACT_ERROR;
    NTSTATUS Status = STATUS_UNSUCCESSFUL;
};

inline constexpr std::size_t MaxFaultRules = 32;

// ---------------------------------------------------------------------------------------------
// Ports and connections

// A place on the bus where a camera is plugged in. It outlives the camera's appearances
// (connections): faults and the port's status belong here. Front-end memory; members are read
// and changed with the bus lock held.
class Port {
  public:
    explicit Port(Camera& camera) : Device(&camera) {}
    Port(const Port&) = delete;
    Port& operator=(const Port&) = delete;

    Camera& Model() const { return *Device; }

    // Bits of IOCTL_INTERNAL_USB_GET_PORT_STATUS; a port reset sets enabled again.
    bool Connected = true;
    bool Enabled = true;
    std::uint32_t Resets = 0;

    // False when MaxFaultRules are armed already.
    bool AddFault(const FaultRule& rule);
    void ClearFaults() { FaultCount = 0; }
    // The rule that acts on this URB, counting it against every rule it matches.
    const FaultRule* MatchFault(std::uint16_t function, std::uint8_t endpoint);

  private:
    struct ActiveRule {
        FaultRule Rule;
        std::uint32_t Seen = 0;
        std::uint32_t Applied = 0;
    };
    Camera* Device;
    ActiveRule Faults[MaxFaultRules];
    std::size_t FaultCount = 0;
};

inline constexpr std::size_t MaxPipes = 32;

// One pipe of a connection's current configuration.
class Pipe final : public LostPacketSink {
  public:
    // Isochronous services nobody took: the camera sent the packets all the same, so its
    // sequence numbers show the loss. Called by the schedule under the bus lock.
    void PacketsLost(std::uint32_t packets, std::uint32_t room) override;

  private:
    friend class BusCore;
    friend class Connection;
    Port* Owner = nullptr;
    EndpointDescription Endpoint;
    EndpointId Schedule = NoEndpoint;
    std::uint32_t MaximumTransferSize = 0;
    std::uint64_t Serial = 0; // 0: the slot is free
};

// A device between its arrival on a port and its departure (a renumerated camera is a new
// connection on the same port). Front-end memory (the PDO's extension, say), handed to Connect
// and left alone until Disconnect has run and every transfer of it has been finished.
class Connection {
  public:
    Connection() = default;
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    Port* OwnerPort() const { return Owner; }
    // USB address in captures.
    std::uint16_t Address() const { return UsbAddress; }
    bool Gone() const { return Departed; }
    bool Configured() const { return ConfigurationSerial != 0; }

  private:
    friend class BusCore;
    Pipe* FindPipe(USBD_PIPE_HANDLE handle);
    Pipe* FreePipe();

    Port* Owner = nullptr;
    std::uint16_t UsbAddress = 0;
    bool Departed = true;
    EndpointId DefaultPipe = NoEndpoint;
    std::uint64_t ConfigurationSerial = 0;
    std::uint8_t ConfigurationValue = 0;
    Pipe Pipes[MaxPipes];
    // The current schedule endpoint of each endpoint address (number | IN << 4).
    EndpointId ByAddress[32];
};

// ---------------------------------------------------------------------------------------------
// Transfers

enum class TransferKind : std::uint8_t { Control, BulkOrInterrupt, Isochronous };

// A URB that waits for the bus, from Submit to Finish. Records come from
// Transport::AllocateTransfer (isochronous ones with their packet results behind them) and go
// back through Transport::FreeTransfer in Finish.
class Transfer final : public ScheduledTransfer {
  public:
    // The front end's request (its IRP), as given to Submit.
    void* Request() const { return Irp; }
    PURB Urb() const { return Block; }
    TransferKind Kind() const { return What; }
    // The front end's own field: which party completes the request once it has left the
    // schedule. The core sets it to 0 when it prepares the transfer and never reads it.
    std::uint32_t FrontEnd = 0;

    // A transfer of the schedule, back as the record it is (every transfer the bus core queues
    // is one of these).
    static Transfer* From(ScheduledTransfer* transfer) { return static_cast<Transfer*>(transfer); }

    PacketOutcome MovePacket(std::uint32_t room) override;
    std::uint32_t Remaining() const override;
    std::uint32_t IsoPacketCount() const override { return Packets; }
    std::uint32_t MoveIsoPacket(std::uint32_t index, std::uint32_t room,
                                std::uint64_t microframe) override;

  private:
    friend class BusCore;
    Transfer() = default;
    ~Transfer() = default;

    PacketOutcome Fail(USBD_STATUS status);
    PacketOutcome MoveControl();
    PacketOutcome MoveIn(std::uint32_t room);
    PacketOutcome NoData(TransferStatus status);
    std::uint32_t PacketCapacity(std::uint32_t index) const;
    Camera& Model() const { return Owner->Model(); }
    usbpcap::UrbRef Ref() const;
    void WriteResults();

    BusCore* Bus = nullptr;
    Port* Owner = nullptr;
    std::uint16_t DeviceAddress = 0;
    usbpcap::DataPipe PipeType = usbpcap::DataPipe::Bulk;
    void* Irp = nullptr;
    PURB Block = nullptr;
    TransferKind What = TransferKind::Control;
    std::uint8_t Endpoint = 0;
    bool In = false;
    bool ShortOk = false;
    bool ControlRan = false;
    std::uint8_t* Buffer = nullptr;
    std::uint32_t Length = 0;
    std::uint32_t Done = 0;
    // Bulk and interrupt: the endpoint's wMaxPacketSize, the size of every packet the device
    // sends but the last, short one of a transfer.
    std::uint32_t MaxPacket = 1;
    SetupRequest Setup;
    USBD_STATUS Usbd = USBD_STATUS_SUCCESS;
    std::uint32_t ShortAfter = ~0u;
    USBD_STATUS ForcedError = USBD_STATUS_SUCCESS;
    std::int64_t FaultPacket = -1;
    USBD_STATUS FaultPacketStatus = USBD_STATUS_SUCCESS;
    std::uint32_t Packets = 0;
    std::uint64_t FirstMicroframe = NoMicroframe;
    EndpointId ScheduleEndpoint = NoEndpoint;
    // Isochronous: Packets entries each, in the same allocation after the record.
    std::uint32_t* PacketBytes = nullptr;
    USBD_STATUS* PacketStatus = nullptr;
};

// ---------------------------------------------------------------------------------------------
// What the front end provides

// The front end's side of the seam. Every member has a body so no runtime support for pure
// virtual calls is needed; a front end overrides what its kernel does differently.
class Transport {
  public:
    // Memory for one transfer record of `bytes` bytes, aligned for any object; null when there
    // is none (the URB is refused with USBD_STATUS_INSUFFICIENT_RESOURCES). Called under the bus
    // lock, at DISPATCH_LEVEL or below.
    virtual void* AllocateTransfer(std::size_t bytes) { return nullptr; }
    // Gives back a record; called by Finish, without the lock.
    virtual void FreeTransfer(void* block) {}

    // The address through which the bus reads and writes the bytes an MDL describes (its
    // MmGetMdlByteCount bytes); null when it cannot be reached. Called under the lock.
    virtual std::uint8_t* MapMdl(PMDL mdl) {
        return static_cast<std::uint8_t*>(MmGetMdlVirtualAddress(mdl));
    }

    // USBD_GetUSBDIVersion's answer on this system: below 0x101 pipe requests have the older,
    // 4 bytes shorter header. Called under the lock.
    virtual std::uint32_t UsbdiVersion() { return 0x600; }

    // The bus's microframe counter now (a frame is 8 of them): the frame number URB and the
    // check of an isochronous transfer's start frame read it. Called under the lock.
    virtual std::uint64_t Microframe() { return 0; }

    // The camera program started: the device is to leave the bus and come back with its new
    // identity. Called under the lock (from Submit, Step or RunNow); the front end does the
    // work later, on a thread of its own, since it involves the PnP manager and waits.
    virtual void RenumerationDue(Port& port) {}

    // Capture. Capturing() is asked first (under the lock or not), so a bus without a capture
    // builds no event; Capture gets each event in order (submissions under the lock, completions
    // from Finish without it) and must not block at DISPATCH_LEVEL. CaptureTime is the event's
    // time, in nanoseconds on the front end's clock from any fixed origin. The event and the
    // bytes it points at are valid only during the call: a front end that writes later encodes
    // (usbpcap::Encode) or copies first.
    virtual bool Capturing() { return false; }
    virtual void Capture(const usbpcap::CaptureEvent& event) {}
    virtual std::int64_t CaptureTime() { return 0; }

  protected:
    Transport() = default;
    ~Transport() = default;
};

// ---------------------------------------------------------------------------------------------
// The core

// What the front end does with a URB after Submit.
struct SubmitOutcome {
    enum class Action : std::uint8_t {
        // Complete the request now with Status (the URB's header status is written already).
        Complete,
        // Mark the request pending and queue Pending (Queue, or RunNow first when the front end
        // completes at once); from then on the transfer owns the request.
        Queue,
    };
    Action What = Action::Complete;
    NTSTATUS Status = STATUS_SUCCESS;
    Transfer* Pending = nullptr;
    // Transfers this request ended (an abort-pipe, a configuration that closed their pipes),
    // their status set: the front end settles who completes each and ends them before it
    // completes this request.
    TransferList Ended;
    // A fault rule unplugs the device as this URB arrives: once the request is pending and the
    // lock dropped, the front end makes the device leave the bus.
    bool Unplug = false;
};

// The most bytes one packet (one isochronous service) can carry: three transactions of the
// largest wMaxPacketSize a descriptor can state.
inline constexpr std::uint32_t MaxServiceBytes = 3 * 0x800;

class BusCore {
  public:
    BusCore(Transport& transport, Schedule::Options options, Schedule::Memory memory);
    BusCore(const BusCore&) = delete;
    BusCore& operator=(const BusCore&) = delete;

    // The schedule, with the lock held: the front end steps it, reads counters, holds it.
    Schedule& Sched() { return Engine; }
    Transport& Front() { return Link; }

    // --- Connections (lock held) ------------------------------------------------------------

    // The camera on `port` appears on the bus as `connection`, with USB address `address`
    // (unique among the connections the capture will show). False when the schedule has no room
    // for its default pipe.
    bool Connect(Connection& connection, Port& port, std::uint16_t address);
    // The device leaves the bus: its pipes close, every transfer of it is taken off with
    // USBD_STATUS_DEVICE_GONE and appended to `ended`, later URBs are refused with that status.
    void Disconnect(Connection& connection, TransferList& ended);

    // --- Requests ---------------------------------------------------------------------------

    // IOCTL_INTERNAL_USB_SUBMIT_URB with `urb` for `connection`; `request` is the front end's
    // request object, kept in the transfer and captured as its identity. Lock held.
    SubmitOutcome Submit(Connection& connection, PURB urb, void* request);
    // Queues a transfer Submit prepared, to be served from microframe `eligibleFrom` on. Lock
    // held.
    void Queue(Transfer& transfer, std::uint64_t eligibleFrom);
    // Moves a prepared transfer completely now, for a front end that completes transfers in the
    // submitting call: true when it ran (Finish it), false when the device NAKed or a fault
    // parks it (Queue it). Lock held.
    bool RunNow(Transfer& transfer);
    // The front end's cancel routine: a transfer still queued is taken off and ends with
    // USBD_STATUS_CANCELED; one already taken off keeps its result. Lock held; Finish follows.
    void Cancel(Transfer& transfer);
    // Writes the transfer's results into its URB, captures the completion, frees the record and
    // returns the status to complete the request with. Called once per transfer, by the party
    // the front end chose, without the lock, at DISPATCH_LEVEL or below.
    NTSTATUS Finish(Transfer& transfer);

    // IOCTL_INTERNAL_USB_GET_PORT_STATUS: the port bits, or STATUS_DEVICE_NOT_CONNECTED. Lock
    // held.
    NTSTATUS PortStatus(const Connection& connection, ULONG& bits) const;
    // IOCTL_INTERNAL_USB_RESET_PORT: the device is reset and its configuration and selected
    // settings put back, so the function driver's handles stay good. Lock held.
    NTSTATUS ResetPort(Connection& connection);
    // The port requests of IRP_MJ_INTERNAL_DEVICE_CONTROL as every front end serves them:
    // GET_PORT_STATUS into the ULONG `argument` points to (STATUS_INVALID_PARAMETER for none),
    // RESET_PORT, and STATUS_INVALID_DEVICE_REQUEST for any other code. Lock held.
    NTSTATUS PortRequest(Connection& connection, ULONG code, PVOID argument);

    // --- Schedule ---------------------------------------------------------------------------

    // One microframe (Schedule::Step); finished transfers are appended to `finished`. Lock held.
    void Step(TransferList& finished) { Engine.Step(finished); }
    // Counters of an endpoint of the connection (0x00: the default pipe); zeros when it has no
    // such endpoint open. Lock held.
    EndpointCounters Counters(const Connection& connection, std::uint8_t endpoint) const;

  private:
    // The URB being submitted, as the handlers see it.
    struct Request {
        Connection& Link;
        PURB Urb;
        void* Irp;
        const UrbFunction* Function;

        bool LengthAtLeast(std::size_t bytes) const { return Urb->UrbHeader.Length >= bytes; }
    };
    friend class Transfer;

    SubmitOutcome Refuse(Request& r, USBD_STATUS status);
    SubmitOutcome Served(Request& r, std::uint8_t endpoint = 0);
    SubmitOutcome Immediate(Request& r, USBD_STATUS usbd, NTSTATUS status);
    SubmitOutcome Prepared(Request& r, Transfer* transfer, const FaultRule* fault);

    // Handlers by function kind (control.cpp, data.cpp, configuration.cpp).
    SubmitOutcome GetDescriptor(Request& r);
    SubmitOutcome VendorOrClass(Request& r, const UrbFunction& function);
    SubmitOutcome SetFeature(Request& r);
    SubmitOutcome ControlTransfer(Request& r, const SetupRequest& setup, PVOID buffer, PMDL mdl,
                                  ULONG length, bool in, bool shortOk);
    SubmitOutcome BulkOrInterrupt(Request& r);
    SubmitOutcome Isochronous(Request& r);
    SubmitOutcome PipeRequest(Request& r);
    SubmitOutcome FrameNumber(Request& r);
    SubmitOutcome SelectConfiguration(Request& r);
    SubmitOutcome Unconfigure(Request& r);
    USBD_STATUS CheckListedInterfaces(Request& r, std::span<const std::uint8_t> configuration);
    void OpenListedInterfaces(Request& r, std::span<const std::uint8_t> configuration,
                              std::uint64_t serial);
    SubmitOutcome SelectInterface(Request& r);

    bool ResolveBuffer(PVOID buffer, PMDL mdl, ULONG length, std::uint8_t*& out);
    Transfer* NewTransfer(Request& r, TransferKind kind, std::uint32_t packets);
    Pipe* OpenPipe(Connection& connection, const EndpointDescription& endpoint,
                   std::uint32_t maximumTransferSize);
    void ClosePipe(Connection& connection, Pipe& pipe, USBD_STATUS status, TransferList& ended);
    void TakeOff(TransferList& from, USBD_STATUS status, TransferList& ended);
    bool ControlToDevice(Connection& connection, std::uint8_t requestType, std::uint8_t request,
                         std::uint16_t value, std::uint16_t index);
    void FillInterface(USBD_INTERFACE_INFORMATION& info,
                       std::span<const std::uint8_t> configuration, Pipe* const* pipes,
                       std::uint32_t count, std::uint64_t configurationSerial);
    enum class CapturePhase : std::uint8_t { Submission, Completion };
    void Capture(const Transfer& transfer, CapturePhase phase);
    void Emit(usbpcap::CaptureEvent& event);

    Transport& Link;
    Schedule Engine;
    std::uint64_t NextSerial = 1;
    // Where the device's packet goes when the caller's buffer has less room left than the
    // device sends (the bytes that fit are copied on, the rest overflowed): one bulk or interrupt
    // packet, or one isochronous service of up to three transactions. Used under the bus lock.
    std::uint8_t Scratch[MaxServiceBytes];
};

// Handles the bus hands out are opaque numbers (never addresses), unique for the bus's life, so a
// stale handle can never alias a new one.
USBD_PIPE_HANDLE PipeHandleOf(std::uint64_t serial);
USBD_CONFIGURATION_HANDLE ConfigurationHandleOf(std::uint64_t serial);

// A device's PDO answers IRP_MN_QUERY_CAPABILITIES alike on every bus: removable, surprise
// removal expected, D0 only while the system works, no wake. `portNumber` (from 1) is its address
// and UI number. STATUS_UNSUCCESSFUL for a record of another version or size.
NTSTATUS FillDeviceCapabilities(PDEVICE_CAPABILITIES caps, ULONG portNumber);
// The PnP state changes a device's PDO agrees to on every bus (start, stop, their queries and
// cancellations, surprise removal): it succeeds them, doing whatever its bus keeps for them.
bool PdoAgreesTo(UCHAR minorFunction);
// What a device's PDO answers a power request with on every bus: success for setting and querying
// a power state (it has no power of its own to manage), and otherwise the status `current` the
// sender set.
NTSTATUS PdoPowerStatus(UCHAR minorFunction, NTSTATUS current);

} // namespace sim::core
