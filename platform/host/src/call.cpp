// The call down a device stack: IofCallDriver moves the request to the next stack location and
// runs the target driver's dispatch routine, watching what the routine does with the request.
#include "requests.h"

#include <fmt/format.h>

namespace host {
namespace detail {

namespace {

NTSTATUS RunDispatch(PDRIVER_DISPATCH routine, PDEVICE_OBJECT device, PIRP irp,
                     const CallSite& site) {
    DriverRoutineScope scope(FrameKind::Dispatch, irp, device, {device->DriverObject, device},
                             site);
    RoutineCheck check("dispatch routine", site);
    NTSTATUS status = routine(device, irp);
    check.Finish();
    return status;
}

// Whether a request in `rec`'s state may be passed to a driver by this caller now; reports what
// it refuses. Called with the table lock held.
bool MayDispatch(const IrpRecord& rec, PIRP irp, const CallSite& site) {
    switch (rec.State) {
    case IrpState::Freed:
        ReportTouchedAfterFree(rec, "IofCallDriver with", site);
        return false;
    case IrpState::Completed:
        Violate(
            Check::IllegalTransition,
            fmt::format("IofCallDriver with {}: completed -> dispatched (it was completed at {})",
                        Describe(rec), rec.CompleteSite.ToString()),
            site);
        return false;
    case IrpState::Completing:
        if (!InCompletionOf(irp)) {
            Violate(Check::IllegalTransition,
                    fmt::format("IofCallDriver with {}: completing -> dispatched outside its "
                                "completion routine",
                                Describe(rec)),
                    site);
            return false;
        }
        return true;
    case IrpState::Dispatched:
    case IrpState::Pending:
        return !ReportIfPassedOn(rec, irp, "IofCallDriver with {}", site);
    case IrpState::Allocated:
        return true;
    }
    return true;
}

// Moves the request into `device`'s hands: state, stack location and the record of who holds it
// where. Returns false (reported) when the request has no location left.
bool TakeStackLocation(const IrpPtr& rec, PDEVICE_OBJECT device, PIRP irp, const CallSite& site,
                       std::uint64_t& generation, int& location) {
    {
        std::lock_guard lock(R().Mutex);
        if (!MayDispatch(*rec, irp, site))
            return false;
        if (irp->CurrentLocation <= 1) {
            Violate(
                Check::NoStackLocation,
                fmt::format("IofCallDriver to {} with {}: no stack location left (StackCount {})",
                            DeviceLabel(device), Describe(*rec), static_cast<int>(irp->StackCount)),
                site);
            return false;
        }
        rec->State = IrpState::Dispatched;
        generation = ++rec->Generation;
        rec->DispatchSite = site;
        rec->Location = location = irp->CurrentLocation - 1;
        rec->Holder = device;
    }
    irp->CurrentLocation--;
    irp->Tail.Overlay.CurrentStackLocation--;
    irp->Tail.Overlay.CurrentStackLocation->DeviceObject = device;
    if (location < device->StackSize)
        Violate(Check::NoStackLocation,
                fmt::format("IofCallDriver to {} (stack size {}) with {} locations left in {}",
                            DeviceLabel(device), static_cast<int>(device->StackSize), location,
                            Describe(*rec)),
                site);
    return true;
}

// After the dispatch routine: a pending return marks the request pending; any other return with
// the request still where it was handed over is a request the driver dropped.
void AfterDispatch(const IrpPtr& rec, PDEVICE_OBJECT device, NTSTATUS status,
                   std::uint64_t generation, int location, const CallSite& site) {
    std::lock_guard lock(R().Mutex);
    bool stillHere = (rec->State == IrpState::Dispatched || rec->State == IrpState::Pending) &&
                     rec->Generation == generation && rec->Location == location;
    if (status == STATUS_PENDING) {
        if (rec->State == IrpState::Dispatched)
            rec->State = IrpState::Pending;
        return;
    }
    if (!stillHere)
        return;
    Violate(Check::NeverCompleted,
            fmt::format("the dispatch routine of {} returned {} for {} without completing it, "
                        "passing it on or returning STATUS_PENDING",
                        DeviceLabel(device), StatusName(status), Describe(*rec)),
            site);
    rec->Reported = true;
    if (rec->Host) {
        std::lock_guard hostLock(rec->Host->Mutex);
        rec->Host->Abandoned = true;
        rec->Host->Cv.notify_all();
    }
}

} // namespace

NTSTATUS CallDriver(PDEVICE_OBJECT device, PIRP irp, const CallSite& site) {
    IrpPtr rec = FindIrpOrReport(irp, Check::BadArgument, "IofCallDriver with", site);
    if (!rec)
        return STATUS_INVALID_PARAMETER;
    if (!DeviceArgumentOrReport(device, true, "IofCallDriver to", site))
        return STATUS_NO_SUCH_DEVICE;
    ReportIrqlAbove(DISPATCH_LEVEL, "IofCallDriver", site);
    std::uint64_t generation = 0;
    int location = 0;
    if (!TakeStackLocation(rec, device, irp, site, generation, location))
        return STATUS_INVALID_PARAMETER;
    UCHAR major = irp->Tail.Overlay.CurrentStackLocation->MajorFunction;
    if (major > IRP_MJ_MAXIMUM_FUNCTION) {
        Violate(Check::BadArgument, fmt::format("IofCallDriver with major function {:#x}", major),
                site);
        return STATUS_INVALID_PARAMETER;
    }
    NTSTATUS status = RunDispatch(device->DriverObject->MajorFunction[major], device, irp, site);
    AfterDispatch(rec, device, status, generation, location, site);
    return status;
}

} // namespace detail
} // namespace host

using namespace host;
using namespace host::detail;

extern "C" {

NTSTATUS NTAPI IofCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    return CallDriver(DeviceObject, Irp, HOST_SITE());
}

// ---------------------------------------------------------------------------------------------
// Power

VOID NTAPI PoStartNextPowerIrp(PIRP Irp) {
    CallSite site = HOST_SITE();
    IrpPtr rec = FindIrpOrReport(Irp, Check::BadArgument, "PoStartNextPowerIrp with", site);
    if (!rec)
        return;
    if (IoGetCurrentIrpStackLocation(Irp)->MajorFunction != IRP_MJ_POWER)
        Violate(Check::BadArgument,
                fmt::format("PoStartNextPowerIrp with {}, which is not a power request", Hex(Irp)),
                site);
}

NTSTATUS NTAPI PoCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    CallSite site = HOST_SITE();
    if (FindIrp(Irp) && IoGetNextIrpStackLocation(Irp)->MajorFunction != IRP_MJ_POWER)
        Violate(Check::BadArgument,
                fmt::format("PoCallDriver with {}, which is not a power request", Hex(Irp)), site);
    return CallDriver(DeviceObject, Irp, site);
}

} // extern "C"
