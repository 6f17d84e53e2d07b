// The host bus's internal requests: URB submission through the core, the port requests, and the
// lifetime of a pending transfer's request (pending, cancelled, completed exactly once).

#include "bus/bus_state.h"

namespace sim {

namespace {

// True when the caller may complete the request; false when its cancel routine has been called
// (or is about to be) and will complete it.
bool ClaimFromCancel(PIRP irp) {
    return IoSetCancelRoutine(irp, nullptr) != nullptr;
}

// Finishes the transfer in the core and completes its request. Called with no lock held, at
// DISPATCH_LEVEL or below, by the one party that owns the transfer.
NTSTATUS CompleteTransfer(core::Transfer& transfer) {
    PIRP irp = static_cast<PIRP>(transfer.Request());
    const NTSTATUS status = TheBus->Core.Finish(transfer);
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = 0;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

// Cancel routine of every pending transfer. Called by IoCancelIrp with the cancel spin lock
// held, which it drops first; then it takes the bus lock. It completes the request itself: a
// transfer still queued ends with USBD_STATUS_CANCELED and whatever it had moved; one that the
// controller or an abort had already taken off ends with the result it had.
VOID NTAPI CancelTransfer(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    IoReleaseCancelSpinLock(Irp->CancelIrql);
    auto* transfer = static_cast<core::Transfer*>(Irp->Tail.Overlay.DriverContext[0]);
    {
        std::lock_guard<std::mutex> lock(TheBus->Controller.Lock());
        if (transfer->FrontEnd == static_cast<std::uint32_t>(Owner::Schedule)) {
            TheBus->Core.Cancel(*transfer);
            transfer->FrontEnd = static_cast<std::uint32_t>(Owner::CancelRoutine);
        }
    }
    CompleteTransfer(*transfer);
}

// IOCTL_INTERNAL_USB_SUBMIT_URB. Refusals and URBs served at once complete here; a transfer is
// queued (or, with immediate completion, run here when the device has its data).
NTSTATUS SubmitUrb(ConnectionRecord& link, PIRP irp, PURB urb) {
    if (urb == nullptr)
        return CompleteNow(irp, STATUS_INVALID_PARAMETER);
    std::unique_lock<std::mutex> lock(TheBus->Controller.Lock());
    core::SubmitOutcome outcome = TheBus->Core.Submit(link, urb, irp);
    std::vector<core::Transfer*> ended;
    ClaimEnded(outcome.Ended, ended);
    if (outcome.What == core::SubmitOutcome::Action::Complete) {
        lock.unlock();
        // Transfers the request ended (an abort-pipe's) complete before it does.
        CompleteClaimed(ended);
        return CompleteNow(irp, outcome.Status);
    }

    core::Transfer& transfer = *outcome.Pending;
    if (TheBus->Options.ImmediateCompletion && TheBus->Core.RunNow(transfer)) {
        transfer.FrontEnd = static_cast<std::uint32_t>(Owner::Completer);
        lock.unlock();
        return CompleteTransfer(transfer);
    }
    IoMarkIrpPending(irp);
    irp->Tail.Overlay.DriverContext[0] = &transfer;
    TheBus->Core.Queue(transfer, TheBus->Controller.QueueMicroframe());
    IoSetCancelRoutine(irp, CancelTransfer);
    if (irp->Cancel && ClaimFromCancel(irp)) {
        // Cancelled before it was queued, and the cancel routine was not called: end it here.
        TheBus->Core.Cancel(transfer);
        transfer.FrontEnd = static_cast<std::uint32_t>(Owner::Completer);
        lock.unlock();
        CompleteTransfer(transfer);
        return STATUS_PENDING;
    }
    PortRecord* port = link.Port;
    lock.unlock();
    // Woken with the lock free, the schedule thread does not wake only to wait for it. Nothing is
    // lost: it looks for queued work under the lock before it sleeps.
    TheBus->Controller.Notify();
    if (outcome.Unplug)
        TheBus->Post([port] { Disconnect(*port); });
    return STATUS_PENDING;
}

} // namespace

NTSTATUS CompleteNow(PIRP irp, NTSTATUS status) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = 0;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

void ClaimEnded(core::TransferList& ended, std::vector<core::Transfer*>& claimed) {
    while (core::ScheduledTransfer* item = ended.PopFront()) {
        core::Transfer* transfer = core::Transfer::From(item);
        if (ClaimFromCancel(static_cast<PIRP>(transfer->Request()))) {
            transfer->FrontEnd = static_cast<std::uint32_t>(Owner::Completer);
            claimed.push_back(transfer);
        } else {
            transfer->FrontEnd = static_cast<std::uint32_t>(Owner::CancelRoutine);
        }
    }
}

void CompleteClaimed(std::vector<core::Transfer*>& claimed) {
    if (claimed.empty())
        return;
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    for (core::Transfer* transfer : claimed)
        CompleteTransfer(*transfer);
    KeLowerIrql(old);
    claimed.clear();
}

bool BusState::Claim(core::Transfer& transfer) {
    const bool mine = ClaimFromCancel(static_cast<PIRP>(transfer.Request()));
    transfer.FrontEnd = static_cast<std::uint32_t>(mine ? Owner::Completer : Owner::CancelRoutine);
    return mine;
}

void BusState::Deliver(core::Transfer& transfer) {
    CompleteTransfer(transfer);
}

// Dispatch routine of the bus driver for IRP_MJ_INTERNAL_DEVICE_CONTROL. The function driver
// above calls it through IofCallDriver at up to DISPATCH_LEVEL (a completion routine may
// resubmit); no lock of the caller is held. It completes the request or, for a queued transfer,
// returns STATUS_PENDING and leaves it to the host controller or the cancel routine.
NTSTATUS NTAPI DispatchInternalDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    ConnectionRecord& link = *ConnectionOf(DeviceObject);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    switch (stack->Parameters.DeviceIoControl.IoControlCode) {
    case IOCTL_INTERNAL_USB_SUBMIT_URB:
        return SubmitUrb(link, Irp, static_cast<PURB>(stack->Parameters.Others.Argument1));
    default: {
        NTSTATUS result;
        {
            std::lock_guard<std::mutex> lock(TheBus->Controller.Lock());
            result = TheBus->Core.PortRequest(link, stack->Parameters.DeviceIoControl.IoControlCode,
                                              stack->Parameters.Others.Argument1);
        }
        return CompleteNow(Irp, result);
    }
    }
}

} // namespace sim
