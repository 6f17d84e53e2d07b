// The completion walk back up a device stack: completion routines honouring their invoke flags,
// STATUS_MORE_PROCESSING_REQUIRED, pending-returned, and what the I/O manager does at the top for
// the requests it built itself (threaded device-control requests, the front end's and the PnP
// manager's requests).
#include "requests.h"

#include <fmt/format.h>

#include <cstring>

namespace host {
namespace detail {

namespace {

// A request a driver allocated that no completion routine took back: the walk has nobody to hand
// it to.
void RefuseAtTop(const IrpPtr& rec, const CallSite& site) {
    std::lock_guard lock(R().Mutex);
    rec->State = IrpState::Completed;
    Violate(Check::IllegalTransition,
            fmt::format("{} came back to the top of its completion walk: completing -> completed. "
                        "A request a driver allocated must be taken back by a completion routine "
                        "that returns STATUS_MORE_PROCESSING_REQUIRED",
                        Describe(*rec)),
            site);
}

// IoBuildDeviceIoControlRequest's request: the output copied back, the status block written, the
// event set, the request freed.
void FinishThreaded(const IrpPtr& rec, PIRP irp, const CallSite& site) {
    PIO_STATUS_BLOCK iosb = irp->UserIosb;
    PKEVENT event = irp->UserEvent;
    IO_STATUS_BLOCK status = irp->IoStatus;
    // A buffered output goes back unless the status is an error (warnings still carry data).
    if (rec->Method == METHOD_BUFFERED && rec->SystemBuffer && rec->UserOutput &&
        (static_cast<ULONG>(status.Status) >> 30) != 3) {
        // The platform copies Information bytes whatever the output holds.
        if (status.Information > rec->OutputLength)
            Violate(Check::BadArgument,
                    fmt::format("buffered request completed with Information {} past its output "
                                "length {}",
                                status.Information, rec->OutputLength),
                    site);
        std::size_t n =
            status.Information < rec->OutputLength ? status.Information : rec->OutputLength;
        std::memcpy(rec->UserOutput, rec->SystemBuffer, n);
    }
    if (rec->SystemBuffer)
        PoolFree(rec->SystemBuffer, site, true);
    if (rec->OwnMdl)
        FreeHostMdl(rec->OwnMdl);
    {
        std::lock_guard lock(R().Mutex);
        rec->CompleteSite = rec->CompleteSite.File ? rec->CompleteSite : site;
        ReleaseIrpLocked(rec, site);
    }
    if (iosb)
        *iosb = status;
    if (event)
        SignalEvent(event);
}

// The front end's and the PnP manager's requests: their own finishing step, then the waiter.
void FinishHostRequest(const IrpPtr& rec, PIRP irp, const CallSite& site) {
    std::shared_ptr<HostRequest> request = rec->Host;
    if (request && request->Finish)
        request->Finish(irp);
    IO_STATUS_BLOCK status = irp->IoStatus;
    // Read before the request is released (and filled with the freed pattern).
    const bool pendingAtTop = irp->PendingReturned != 0;
    {
        std::lock_guard lock(R().Mutex);
        ReleaseIrpLocked(rec, site);
    }
    if (request) {
        std::lock_guard lock(request->Mutex);
        request->Iosb = status;
        request->PendingAtTop = pendingAtTop;
        request->Done = true;
        request->Cv.notify_all();
    }
}

// Runs at the top of the completion walk.
void FinishAtTop(const IrpPtr& rec, PIRP irp, const CallSite& site) {
    switch (rec->Kind) {
    case IrpKind::Driver:
    case IrpKind::CallerStorage:
        RefuseAtTop(rec, site);
        return;
    case IrpKind::Threaded:
        FinishThreaded(rec, irp, site);
        return;
    case IrpKind::Host:
        FinishHostRequest(rec, irp, site);
        return;
    }
}

NTSTATUS RunCompletion(PIO_COMPLETION_ROUTINE routine, PDEVICE_OBJECT device, PIRP irp,
                       PVOID context, const IrpRecord& rec, const CallSite& site) {
    DriverRoutineScope scope(FrameKind::Completion, irp, device,
                             device ? DriverContext{device->DriverObject, device} : rec.Owner,
                             site);
    RoutineCheck check("completion routine", site);
    NTSTATUS status = routine(device, irp, context);
    check.Finish();
    return status;
}

// An allocated request (one a completion routine took back, or a fresh one) may be completed
// only by the driver that holds it at its current location, and only once. Called with the
// table lock held.
bool MayCompleteTakenBack(const IrpRecord& rec, PIRP irp, const CallSite& site) {
    if (irp->CurrentLocation > irp->StackCount && rec.CompletedSinceInit) {
        Violate(Check::DoubleCompletion,
                fmt::format("{} completed twice: its first completion (at {}) already went up to "
                            "the request's originator",
                            Describe(rec), rec.CompleteSite.ToString()),
                site);
        return false;
    }
    if (const Frame* f = InnermostFrame(irp);
        f && f->Kind == FrameKind::Dispatch && f->Location < irp->CurrentLocation) {
        Violate(Check::DoubleCompletion,
                fmt::format("{} completed again by the dispatch routine of {} after its first "
                            "completion (at {}) went up past that driver",
                            Describe(rec), DeviceLabel(f->Device), rec.CompleteSite.ToString()),
                site);
        return false;
    }
    if (irp->CurrentLocation > irp->StackCount) {
        Violate(Check::IllegalTransition,
                fmt::format("IofCompleteRequest with {}: allocated -> completing, but it was never "
                            "passed to a driver",
                            Describe(rec)),
                site);
        return false;
    }
    return true;
}

// Whether a request in `rec`'s state may be completed by this caller now; reports what it refuses.
// Called with the table lock held.
bool MayComplete(const IrpRecord& rec, PIRP irp, const CallSite& site) {
    switch (rec.State) {
    case IrpState::Freed:
        if (rec.CompleteSite.File || rec.CompleteSite.ReturnAddress)
            Violate(Check::DoubleCompletion,
                    fmt::format("{} completed twice: first at {}, and it was freed after that",
                                Describe(rec), rec.CompleteSite.ToString()),
                    site);
        else
            ReportTouchedAfterFree(rec, "IofCompleteRequest with", site);
        return false;
    case IrpState::Completed:
        Violate(Check::DoubleCompletion,
                fmt::format("{} completed twice: first at {}", Describe(rec),
                            rec.CompleteSite.ToString()),
                site);
        return false;
    case IrpState::Completing:
        if (!InCompletionOf(irp)) {
            Violate(
                Check::DoubleCompletion,
                fmt::format("{} completed again while its completion (from {}) is still running",
                            Describe(rec), rec.CompleteSite.ToString()),
                site);
            return false;
        }
        return true;
    case IrpState::Allocated:
        return MayCompleteTakenBack(rec, irp, site);
    case IrpState::Dispatched:
    case IrpState::Pending:
        return !ReportIfPassedOn(rec, irp, "{} completed", site);
    }
    return true;
}

// Outcome of one step of the completion walk.
enum class Walk { Continue, Stop };

// A freed-while-completing verdict that could not wait any longer: the request is released here
// and the walk stops. Called with the table lock held.
Walk ReleaseFreedDuringCompletion(const IrpPtr& rec, const char* when) {
    rec->FreeAwaitsVerdict = false;
    Violate(Check::FreedInFlight,
            fmt::format("{} was freed at {} {}", Describe(*rec), rec->AwaitingFreeSite.ToString(),
                        when),
            rec->AwaitingFreeSite);
    ReleaseIrpLocked(rec, rec->AwaitingFreeSite);
    return Walk::Stop;
}

// Runs the completion routine of the location just popped, and decides from what it returned and
// did whether the walk goes on.
Walk InvokeCompletionRoutine(const IrpPtr& rec, PIRP irp, PIO_COMPLETION_ROUTINE routine,
                             PVOID context, const CallSite& site) {
    PDEVICE_OBJECT device = irp->CurrentLocation == irp->StackCount + 1
                                ? nullptr
                                : irp->Tail.Overlay.CurrentStackLocation->DeviceObject;
    std::uint64_t generation;
    const bool top = irp->CurrentLocation == irp->StackCount + 1;
    {
        std::lock_guard lock(R().Mutex);
        generation = rec->Generation;
        if (rec->FreeAwaitsVerdict)
            return ReleaseFreedDuringCompletion(rec, "before its completion routine ran");
        rec->TopRoutineRunning = top;
    }
    NTSTATUS result = RunCompletion(routine, device, irp, context, *rec, site);
    std::lock_guard lock(R().Mutex);
    if (rec->Generation == generation)
        rec->TopRoutineRunning = false; // else the request has moved on: the flag is its new walk's
    if (rec->FreeAwaitsVerdict) {
        rec->FreeAwaitsVerdict = false;
        if (result != STATUS_MORE_PROCESSING_REQUIRED) {
            Violate(Check::FreedInFlight,
                    fmt::format("{} was freed at {} while a completion routine ran, and the "
                                "routine returned {}, so the completion walk goes on over a freed "
                                "request",
                                Describe(*rec), rec->AwaitingFreeSite.ToString(),
                                StatusName(result)),
                    rec->AwaitingFreeSite);
        }
        ReleaseIrpLocked(rec, rec->AwaitingFreeSite);
        return Walk::Stop;
    }
    if (result == STATUS_MORE_PROCESSING_REQUIRED) {
        // The routine took the request back; from here it belongs to that driver.
        if (rec->Generation == generation && rec->State == IrpState::Completing) {
            rec->State = IrpState::Allocated;
            rec->Location = irp->CurrentLocation;
        }
        return Walk::Stop;
    }
    if (rec->Generation != generation) {
        Violate(Check::IllegalTransition,
                fmt::format("a completion routine of {} moved it to '{}' and then returned {} "
                            "instead of STATUS_MORE_PROCESSING_REQUIRED",
                            Describe(*rec), StateName(rec->State), StatusName(result)),
                site);
        return Walk::Stop;
    }
    return Walk::Continue;
}

// One location up: pops it, and runs its completion routine if its flags ask for this outcome.
Walk CompleteOneLocation(const IrpPtr& rec, PIRP irp, const CallSite& site) {
    PIO_STACK_LOCATION popped = irp->Tail.Overlay.CurrentStackLocation;
    irp->CurrentLocation++;
    irp->Tail.Overlay.CurrentStackLocation++;
    irp->PendingReturned = (popped->Control & SL_PENDING_RETURNED) ? TRUE : FALSE;
    NTSTATUS status = irp->IoStatus.Status;
    PIO_COMPLETION_ROUTINE routine = popped->CompletionRoutine;
    PVOID context = popped->Context;
    UCHAR control = popped->Control;
    bool cancelled = __atomic_load_n(&irp->Cancel, __ATOMIC_SEQ_CST);
    bool invoke = routine && ((NT_SUCCESS(status) && (control & SL_INVOKE_ON_SUCCESS)) ||
                              (!NT_SUCCESS(status) && (control & SL_INVOKE_ON_ERROR)) ||
                              (cancelled && (control & SL_INVOKE_ON_CANCEL)));
    // The location below the one now current belongs to nobody any more.
    std::memset(popped, 0, sizeof(*popped));
    if (!invoke) {
        if (irp->PendingReturned && irp->CurrentLocation <= irp->StackCount)
            IoMarkIrpPending(irp);
        return Walk::Continue;
    }
    return InvokeCompletionRoutine(rec, irp, routine, context, site);
}

} // namespace

void CompleteRequest(PIRP irp, const CallSite& site) {
    IrpPtr rec = FindIrpOrReport(irp, Check::BadArgument, "IofCompleteRequest with", site);
    if (!rec)
        return;
    ReportIrqlAbove(DISPATCH_LEVEL, "IofCompleteRequest", site);
    {
        std::lock_guard lock(R().Mutex);
        if (!MayComplete(*rec, irp, site))
            return;
        rec->State = IrpState::Completing;
        rec->TopRoutineRunning = false;
        rec->Generation++;
        rec->CompleteSite = site;
        rec->CompletedSinceInit = true;
        rec->Holder = nullptr;
    }
    if (irp->IoStatus.Status == STATUS_PENDING)
        Violate(Check::CompletedWithPending,
                fmt::format("{} completed with STATUS_PENDING", Describe(*rec)), site);
    if (__atomic_load_n(&irp->CancelRoutine, __ATOMIC_SEQ_CST))
        Violate(Check::BadArgument,
                fmt::format("{} completed with its cancel routine still set", Describe(*rec)),
                site);
    while (irp->CurrentLocation <= irp->StackCount)
        if (CompleteOneLocation(rec, irp, site) == Walk::Stop)
            return;
    {
        std::lock_guard lock(R().Mutex);
        if (rec->FreeAwaitsVerdict) {
            ReleaseFreedDuringCompletion(rec, "while the I/O manager was still completing it");
            return;
        }
    }
    FinishAtTop(rec, irp, site);
}

PIRP AllocateHostIrp(CCHAR stackSize, std::shared_ptr<HostRequest> request, const CallSite& site) {
    PIRP irp = NewIrp(stackSize, IrpKind::Host, site);
    if (!irp)
        Unsupported("the host's own request", "running out of memory");
    IrpPtr rec = FindIrp(irp);
    std::lock_guard lock(R().Mutex);
    rec->Host = std::move(request);
    rec->Owner = {};
    return irp;
}

RequestResult SendHostIrp(PDEVICE_OBJECT device, PIRP irp,
                          const std::shared_ptr<HostRequest>& request, const CallSite& site) {
    RequestResult result;
    result.Returned = CallDriver(device, irp, site);
    std::unique_lock lock(request->Mutex);
    request->Cv.wait(lock, [&] { return request->Done || request->Abandoned; });
    if (request->Done) {
        // The pending flag that reached the top and the value the dispatch returned must agree:
        // STATUS_PENDING without the flag leaves the caller waiting for a completion the
        // platform never delivers to it, and the flag with any other value finishes the request
        // twice.
        if ((result.Returned == STATUS_PENDING) != request->PendingAtTop)
            Violate(Check::IllegalTransition,
                    fmt::format("the dispatch routine returned {} but the pending flag at the top "
                                "of the completion walk was {}",
                                StatusName(result.Returned),
                                request->PendingAtTop ? "set" : "clear"),
                    site);
        result.Status = request->Iosb.Status;
        result.Information = request->Iosb.Information;
    } else {
        result.Status = result.Returned;
    }
    return result;
}

} // namespace detail
} // namespace host

using namespace host;
using namespace host::detail;

extern "C" {

NTSTATUS NTAPI HostInvalidDeviceRequest(PDEVICE_OBJECT device, PIRP irp) {
    irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
    irp->IoStatus.Information = 0;
    CompleteRequest(irp, {});
    return STATUS_INVALID_DEVICE_REQUEST;
}

VOID NTAPI IofCompleteRequest(PIRP Irp, CCHAR PriorityBoost) {
    CompleteRequest(Irp, HOST_SITE());
}

} // extern "C"
