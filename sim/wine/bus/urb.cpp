// The bus core under Wine: the front end's transport, the internal requests of the PDOs, the
// pacing of the schedule, faults and counters.
//
// Validation, statuses, configuration, pipes, transfers, the schedule's microframes and the
// capture records are the core's (sim/core, the same code the host-kernel bus runs); this file
// only carries requests to it and back, as its seam asks (bus_core.h): one lock (Bus->Lock)
// around every call into it, completion never under that lock, and for each transfer that left
// the schedule exactly one party, settled under the lock, that finishes and completes it: the
// thread that took it off, or its cancel routine when IoCancelIrp got there first.
#include "wine/bus/bus.h"

#include "core/core.h"

#include <new>

namespace usbsim {

namespace {

using sim::core::BusCore;
using sim::core::ScheduledTransfer;
using sim::core::Transfer;
using sim::core::TransferList;

// Transfer::FrontEnd: who completes a transfer's request once it has left the schedule.
enum : std::uint32_t {
    kQueued = 0,        // in the schedule: the schedule may finish it, a cancel may take it
    kCompleter = 1,     // the thread that took it off finishes it
    kCancelRoutine = 2, // its cancel routine was called (or is about to be) and finishes it
};

// Enough endpoints for every port's default pipe and pipes, with room for the slots the
// schedule keeps unused until the others were.
constexpr std::size_t kEndpoints = 256;

LONG64 ClockOrigin;

// The microframe the clock says it is: 125 us since the bus started.
std::uint64_t ClockMicroframe() {
    return static_cast<std::uint64_t>((Now() - ClockOrigin) / 1'250);
}

PORT* PortOf(const sim::core::Port& core) {
    for (PORT& port : Bus->Ports)
        if (port.CorePort == &core)
            return &port;
    return nullptr;
}

class WineTransport final : public sim::core::Transport {
  public:
    void* AllocateTransfer(std::size_t bytes) override {
        return ExAllocatePoolWithTag(NonPagedPool, bytes, kPoolTag);
    }
    void FreeTransfer(void* block) override { ExFreePoolWithTag(block, kPoolTag); }

    // Wine runs every driver, and the copies of user buffers it passes them, in one address
    // space, and its MmMapLockedPagesSpecifyCache maps nothing (it returns NULL): the bytes an
    // MDL describes are reached at the address it describes, unless it carries a mapping.
    std::uint8_t* MapMdl(PMDL mdl) override {
        if ((mdl->MdlFlags & (MDL_MAPPED_TO_SYSTEM_VA | MDL_SOURCE_IS_NONPAGED_POOL)) != 0)
            return static_cast<std::uint8_t*>(mdl->MappedSystemVa);
        return static_cast<std::uint8_t*>(MmGetMdlVirtualAddress(mdl));
    }

    std::uint64_t Microframe() override { return ClockMicroframe(); }

    void RenumerationDue(sim::core::Port& core) override {
        if (PORT* port = PortOf(core))
            RenumerateLocked(*port);
    }

    bool Capturing() override { return CaptureActive(); }
    void Capture(const sim::usbpcap::CaptureEvent& event) override;
    std::int64_t CaptureTime() override { return (Now() - ClockOrigin) * 100; }
};

void WineTransport::Capture(const sim::usbpcap::CaptureEvent& event) {
    std::uint8_t small[512];
    const std::size_t need = sim::usbpcap::ScratchFor(event);
    std::uint8_t* scratch = small;
    if (need > sizeof(small)) {
        scratch = static_cast<std::uint8_t*>(ExAllocatePoolWithTag(NonPagedPool, need, kPoolTag));
        if (scratch == nullptr) {
            CaptureLost(STATUS_INSUFFICIENT_RESOURCES);
            return;
        }
    }
    const sim::usbpcap::EncodedEvent encoded = sim::usbpcap::Encode(
        event, sim::usbpcap::DefaultSnapLength, std::span<std::uint8_t>(scratch, need));
    if (encoded.Error != sim::usbpcap::EncodeError::None) {
        CaptureLost(STATUS_DATA_ERROR);
    } else {
        for (std::uint32_t i = 0; i < encoded.Count; ++i)
            CaptureRecord(encoded.Records[i].Header, encoded.Records[i].Data);
    }
    if (scratch != small)
        ExFreePoolWithTag(scratch, kPoolTag);
}

// The core and what it runs in, in one pool block (constructed in place: a kernel image has no
// runtime to run constructors of globals).
struct CORE {
    WineTransport Transport;
    sim::core::ScheduleStorage<kEndpoints> Storage;
    BusCore Core;
    // Transfers a departing device left behind, to be completed outside the lock.
    TransferList Gone;

    explicit CORE(sim::core::Schedule::Options options)
        : Core(Transport, options, Storage.View()) {}
};

CORE* Engine;

PIRP IrpOf(Transfer& transfer) {
    return static_cast<PIRP>(transfer.Request());
}

// Settles who completes a transfer that just left the schedule. Lock held. True when the caller
// does; false when the cancel routine has it.
bool Claim(Transfer& transfer) {
    const bool ours = IoSetCancelRoutine(IrpOf(transfer), nullptr) != nullptr;
    transfer.FrontEnd = ours ? kCompleter : kCancelRoutine;
    return ours;
}

// Keeps the transfers of `list` the caller completes, drops those a cancel routine completes.
void ClaimAll(TransferList& list, TransferList& mine) {
    while (ScheduledTransfer* item = list.PopFront()) {
        Transfer& transfer = *Transfer::From(item);
        if (Claim(transfer))
            mine.PushBack(item);
    }
}

// Writes the results into the URB, captures, frees the record and completes the request. No
// lock held.
void FinishAndComplete(Transfer& transfer) {
    PIRP irp = IrpOf(transfer);
    auto* port = static_cast<PORT*>(irp->Tail.Overlay.DriverContext[1]);
    const NTSTATUS status = Engine->Core.Finish(transfer);
    InterlockedDecrement(&port->Pending);
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = 0;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
}

void FinishAll(TransferList& list) {
    while (ScheduledTransfer* item = list.PopFront())
        FinishAndComplete(*Transfer::From(item));
}

// The cancel routine of every queued transfer. IoCancelIrp calls it holding the cancel spin
// lock, which it drops first. A transfer still in the schedule is taken off and ends with
// USBD_STATUS_CANCELED; one that something else took off already ends with the result it got.
// Either way this routine completes it.
VOID NTAPI CancelTransfer(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    IoReleaseCancelSpinLock(Irp->CancelIrql);
    Transfer& transfer = *static_cast<Transfer*>(Irp->Tail.Overlay.DriverContext[0]);
    {
        BusLock lock;
        if (transfer.FrontEnd == kQueued)
            Engine->Core.Cancel(transfer);
        transfer.FrontEnd = kCancelRoutine;
    }
    FinishAndComplete(transfer);
}

NTSTATUS CompleteNow(PIRP irp, NTSTATUS status) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = 0;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS SubmitUrb(CONNECTION& connection, PIRP irp, PURB urb) {
    PORT& port = *connection.Port;
    TransferList ended;
    bool unplug = false;
    NTSTATUS status;
    {
        BusLock lock;
        sim::core::SubmitOutcome outcome = Engine->Core.Submit(connection.Core, urb, irp);
        ClaimAll(outcome.Ended, ended);
        if (outcome.What == sim::core::SubmitOutcome::Action::Complete) {
            status = outcome.Status;
        } else {
            Transfer& transfer = *outcome.Pending;
            IoMarkIrpPending(irp);
            irp->Tail.Overlay.DriverContext[0] = &transfer;
            irp->Tail.Overlay.DriverContext[1] = &port;
            InterlockedIncrement(&port.Pending);
            transfer.FrontEnd = kQueued;
            // Served from the microframe the schedule serves next. An idle schedule is brought
            // to the present first, so a transfer never lands in microframes that are over; a
            // busy one is at most a worker round behind, and a transfer a completion routine
            // queues while the worker catches up is on time for the microframe after its
            // predecessor, as on a host controller.
            sim::core::Schedule& schedule = Engine->Core.Sched();
            if (!schedule.HasWork())
                schedule.SkipTo(ClockMicroframe());
            Engine->Core.Queue(transfer, schedule.Now());
            IoSetCancelRoutine(irp, CancelTransfer);
            if (irp->Cancel && IoSetCancelRoutine(irp, nullptr) != nullptr) {
                // Cancelled before it was queued, and its cancel routine was not called.
                Engine->Core.Cancel(transfer);
                transfer.FrontEnd = kCompleter;
                ended.PushBack(&transfer);
            }
            unplug = outcome.Unplug;
            status = STATUS_PENDING;
        }
    }
    // Transfers this request ended are complete before it is.
    FinishAll(ended);
    if (status != STATUS_PENDING)
        return CompleteNow(irp, status);
    if (unplug) {
        // The device leaves once this request is pending; the worker does it, at PASSIVE_LEVEL.
        BusLock lock;
        port.UnplugDue = TRUE;
    }
    WakeWorker();
    return STATUS_PENDING;
}

} // namespace

NTSTATUS StartCore() {
    ClockOrigin = Now();
    void* block = Allocate(sizeof(CORE));
    if (block == nullptr)
        return STATUS_INSUFFICIENT_RESOURCES;
    // USB 2.0 high-speed timing, in real time: 125-us microframes, 13 bulk packets in each.
    sim::core::Schedule::Options options;
    options.Throttled = true;
    Engine = new (block) CORE(options);
    return STATUS_SUCCESS;
}

void ConstructConnection(CONNECTION& connection) {
    new (&connection.Core) sim::core::Connection();
}

bool ArriveLocked(PORT& port, CONNECTION& connection) {
    const std::uint16_t address = static_cast<std::uint16_t>(Bus->NextAddress);
    if (!Engine->Core.Connect(connection.Core, *port.CorePort, address))
        return false;
    ++Bus->NextAddress;
    port.CorePort->Connected = true;
    port.CorePort->Enabled = true;
    // What the PnP manager will ask for: the device descriptor's identity and class.
    const std::span<const std::uint8_t> device = port.Device->DeviceDescriptor();
    if (device.size() >= 18) {
        connection.VendorId = static_cast<USHORT>(device[8] | device[9] << 8);
        connection.ProductId = static_cast<USHORT>(device[10] | device[11] << 8);
        connection.Revision = static_cast<USHORT>(device[12] | device[13] << 8);
        connection.Class = device[4];
        connection.SubClass = device[5];
        connection.Protocol = device[6];
    }
    connection.Present = TRUE;
    port.Current = &connection;
    port.ArrivalPending = FALSE;
    ++port.Connections;
    return true;
}

void DeviceGoneLocked(CONNECTION& connection) {
    TransferList ended;
    Engine->Core.Disconnect(connection.Core, ended);
    ClaimAll(ended, Engine->Gone);
    connection.Port->CorePort->Connected = false;
    connection.Port->CorePort->Enabled = false;
}

void CompleteGoneTransfers() {
    TransferList gone;
    {
        BusLock lock;
        gone.Splice(Engine->Gone);
    }
    FinishAll(gone);
}

bool RunSchedule() {
    bool busy = false;
    for (;;) {
        TransferList finished;
        {
            BusLock lock;
            sim::core::Schedule& schedule = Engine->Core.Sched();
            const std::uint64_t target = ClockMicroframe();
            // Every microframe up to the present, one at a time, handing out what each ended
            // before the next is served, so the driver's completion routines (which resubmit)
            // run in the microframe they would on a host controller, however late this thread
            // woke. An idle bus jumps to the present.
            while (finished.Empty() && schedule.Now() < target) {
                if (!schedule.HasWork()) {
                    schedule.SkipTo(target);
                    break;
                }
                TransferList ended;
                Engine->Core.Step(ended);
                ClaimAll(ended, finished);
            }
            busy = schedule.HasWork();
            if (finished.Empty())
                return busy;
        }
        FinishAll(finished);
    }
}

NTSTATUS NTAPI DispatchInternalDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    if (*static_cast<DeviceKind*>(DeviceObject->DeviceExtension) != DeviceKind::Pdo)
        return CompleteNow(Irp, STATUS_INVALID_DEVICE_REQUEST);
    CONNECTION& connection = *static_cast<PDO_EXTENSION*>(DeviceObject->DeviceExtension)->Link;
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    switch (stack->Parameters.DeviceIoControl.IoControlCode) {
    case IOCTL_INTERNAL_USB_SUBMIT_URB:
        return SubmitUrb(connection, Irp, static_cast<PURB>(stack->Parameters.Others.Argument1));
    default: {
        NTSTATUS status;
        {
            BusLock lock;
            status = Engine->Core.PortRequest(connection.Core,
                                              stack->Parameters.DeviceIoControl.IoControlCode,
                                              stack->Parameters.Others.Argument1);
        }
        return CompleteNow(Irp, status);
    }
    }
}

// --- Faults and counters (the control requests) ----------------------------------------------

void ClearFaultsLocked(PORT& port) {
    if (port.CorePort != nullptr)
        port.CorePort->ClearFaults();
    port.Faults = 0;
}

NTSTATUS AddFault(const USBSIM_FAULT& request) {
    if (request.Port >= USBSIM_MAX_PORTS || request.Kind > USBSIM_FAULT_UNPLUG ||
        request.Function > 0xFFFF || request.Endpoint > 0xFF)
        return STATUS_INVALID_PARAMETER;
    sim::core::FaultRule rule;
    rule.What = static_cast<sim::core::FaultRule::Kind>(request.Kind);
    rule.Function = static_cast<std::uint16_t>(request.Function);
    rule.Endpoint = static_cast<std::uint8_t>(request.Endpoint);
    rule.Skip = request.Skip;
    rule.Times = request.Times;
    rule.ShortLength = request.ShortLength;
    rule.Packet = request.Packet;
    rule.UsbdStatus = request.UsbdStatus;
    rule.Status = request.Status;
    BusLock lock;
    PORT& port = Bus->Ports[request.Port];
    if (!port.Plugged)
        return STATUS_NO_SUCH_DEVICE;
    if (!port.CorePort->AddFault(rule))
        return STATUS_INSUFFICIENT_RESOURCES;
    ++port.Faults;
    return STATUS_SUCCESS;
}

NTSTATUS ClearFaults(ULONG index) {
    if (index >= USBSIM_MAX_PORTS)
        return STATUS_INVALID_PARAMETER;
    BusLock lock;
    ClearFaultsLocked(Bus->Ports[index]);
    return STATUS_SUCCESS;
}

NTSTATUS EndpointCounters(ULONG index, ULONG endpoint, USBSIM_COUNTERS& out) {
    if (index >= USBSIM_MAX_PORTS || endpoint > 0xFF)
        return STATUS_INVALID_PARAMETER;
    BusLock lock;
    const PORT& port = Bus->Ports[index];
    if (port.Current == nullptr)
        return STATUS_NO_SUCH_DEVICE;
    const sim::core::EndpointCounters counters =
        Engine->Core.Counters(port.Current->Core, static_cast<std::uint8_t>(endpoint));
    out.Bytes = counters.Bytes;
    out.Transfers = counters.Transfers;
    out.Packets = counters.Packets;
    out.IdleMicroframes = counters.IdleMicroframes;
    out.ActiveMicroframes = counters.ActiveMicroframes;
    out.LostIsoPackets = counters.LostIsoPackets;
    return STATUS_SUCCESS;
}

} // namespace usbsim
