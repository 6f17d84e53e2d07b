// A request's life outside the call and completion walks: allocation, setting up afresh, freeing,
// cancel, and the threaded device-control requests the I/O manager builds for a driver.
#include "requests.h"

#include <fmt/format.h>

#include <cstring>

using namespace host;
using namespace host::detail;

extern "C" {

PIRP NTAPI IoAllocateIrp(CCHAR StackSize, BOOLEAN ChargeQuota) {
    CallSite site = HOST_SITE();
    if (StackSize < 1) {
        Violate(Check::BadArgument,
                fmt::format("IoAllocateIrp with stack size {}", static_cast<int>(StackSize)), site);
        return nullptr;
    }
    if (Thread().Irql > DISPATCH_LEVEL)
        Violate(Check::AllocationAboveDispatch,
                fmt::format("IoAllocateIrp at IRQL {}", Thread().Irql), site);
    if (FaultInjection::ShouldFail(AllocationKind::Irp, site))
        return nullptr;
    return NewIrp(StackSize, IrpKind::Driver, site);
}

// Whether a request may be set up afresh (IoInitializeIrp, IoReuseIrp): not once freed, and not
// while a driver holds it. Called with the registry's lock held; reports what it refuses.
static bool MayStartOver(const IrpRecord& rec, PIRP irp, const char* routine,
                         const CallSite& site) {
    if (rec.State == IrpState::Freed) {
        ReportTouchedAfterFree(rec, fmt::format("{} of", routine), site);
        return false;
    }
    // The platform's I/O manager does not touch a request again once the routine of its top
    // location has returned STATUS_MORE_PROCESSING_REQUIRED, so the thread that routine handed
    // the request to may set it up afresh while the routine is still returning (the routine's
    // result is checked when it returns). Below the top, lower routines are still to come.
    if (rec.State == IrpState::Completing && !InCompletionOf(irp) && rec.Kind == IrpKind::Driver &&
        rec.TopRoutineRunning)
        return true;
    if (rec.State == IrpState::Dispatched || rec.State == IrpState::Pending ||
        (rec.State == IrpState::Completing && !InCompletionOf(irp))) {
        Violate(Check::IllegalTransition,
                fmt::format("{} of {}: {} -> allocated while a driver holds it", routine,
                            Describe(rec), StateName(rec.State)),
                site);
        return false;
    }
    return true;
}

VOID NTAPI IoInitializeIrp(PIRP Irp, USHORT PacketSize, CCHAR StackSize) {
    CallSite site = HOST_SITE();
    if (StackSize < 1 || PacketSize < IoSizeOfIrp(StackSize)) {
        Violate(Check::BadArgument,
                fmt::format("IoInitializeIrp with packet size {} for {} stack locations (needs {})",
                            PacketSize, static_cast<int>(StackSize), IoSizeOfIrp(StackSize)),
                site);
        return;
    }
    IrpPtr rec = FindIrp(Irp);
    if (!rec) {
        if (auto size = PoolBlockSize(Irp); size && *size < PacketSize) {
            Violate(
                Check::BadArgument,
                fmt::format("IoInitializeIrp of {} bytes in a pool block of {}", PacketSize, *size),
                site);
            return;
        }
        InitIrpFields(Irp, PacketSize, StackSize);
        RegisterIrp(Irp, IrpKind::CallerStorage, PacketSize, StackSize, site);
        return;
    }
    {
        std::lock_guard lock(R().Mutex);
        if (!MayStartOver(*rec, Irp, "IoInitializeIrp", site))
            return;
        if (PacketSize > rec->Bytes || StackSize > rec->StackCapacity) {
            Violate(
                Check::BadArgument,
                fmt::format("IoInitializeIrp of {} with {} bytes / {} locations; it has {} / {}",
                            Describe(*rec), PacketSize, static_cast<int>(StackSize), rec->Bytes,
                            rec->StackCapacity),
                site);
            return;
        }
        MarkStartedOver(*rec);
    }
    InitIrpFields(Irp, PacketSize, StackSize);
}

VOID NTAPI IoReuseIrp(PIRP Irp, NTSTATUS Iostatus) {
    CallSite site = HOST_SITE();
    IrpPtr rec = FindIrpOrReport(Irp, Check::BadArgument, "IoReuseIrp with", site);
    if (!rec)
        return;
    {
        std::lock_guard lock(R().Mutex);
        if (!MayStartOver(*rec, Irp, "IoReuseIrp", site))
            return;
        if (rec->Kind == IrpKind::Threaded || rec->Kind == IrpKind::Host) {
            Violate(Check::BadArgument,
                    fmt::format("IoReuseIrp of {}, a request the I/O manager owns", Describe(*rec)),
                    site);
            return;
        }
        MarkStartedOver(*rec);
    }
    if (__atomic_load_n(&Irp->CancelRoutine, __ATOMIC_SEQ_CST))
        Violate(Check::BadArgument,
                fmt::format("IoReuseIrp of {} with a cancel routine still set", Hex(Irp)), site);
    UCHAR flags = Irp->AllocationFlags;
    InitIrpFields(Irp, static_cast<USHORT>(rec->Bytes), static_cast<CCHAR>(rec->StackCapacity));
    Irp->AllocationFlags = flags;
    Irp->IoStatus.Status = Iostatus;
}

VOID NTAPI IoFreeIrp(PIRP Irp) {
    CallSite site = HOST_SITE();
    IrpPtr rec = FindIrpOrReport(Irp, Check::BadFree, "IoFreeIrp of", site);
    if (!rec)
        return;
    std::lock_guard lock(R().Mutex);
    switch (rec->State) {
    case IrpState::Freed:
        Violate(Check::BadFree,
                fmt::format("IoFreeIrp of {}, already freed at {}", Describe(*rec),
                            rec->FreeSite.ToString()),
                site);
        return;
    case IrpState::Dispatched:
    case IrpState::Pending:
        Violate(Check::FreedInFlight,
                fmt::format("IoFreeIrp of {} while it is {}: a lower driver still holds it",
                            Describe(*rec), StateName(rec->State)),
                site);
        return;
    case IrpState::Completing:
        if (!InCompletionOf(Irp)) {
            // The platform's I/O manager does not touch a request again once a completion routine
            // has returned STATUS_MORE_PROCESSING_REQUIRED, so the thread the routine woke may
            // free it while the routine is still returning. The verdict waits for the routine.
            if (rec->Kind == IrpKind::Driver && !rec->FreeAwaitsVerdict) {
                rec->FreeAwaitsVerdict = true;
                rec->AwaitingFreeSite = site;
                return;
            }
            Violate(Check::FreedInFlight,
                    fmt::format("IoFreeIrp of {} while its completion runs on another thread",
                                Describe(*rec)),
                    site);
            return;
        }
        break;
    default:
        break;
    }
    if (rec->Kind != IrpKind::Driver) {
        Violate(Check::BadFree,
                fmt::format("IoFreeIrp of {}, which {}", Describe(*rec),
                            rec->Kind == IrpKind::CallerStorage ? "lives in the caller's own memory"
                                                                : "the I/O manager frees itself"),
                site);
        return;
    }
    ReleaseIrpLocked(rec, site);
}

// Runs a cancel routine, which gets the cancel spin lock held and must give it back (and the
// caller's IRQL with it).
static void RunCancelRoutine(PDRIVER_CANCEL routine, PIRP Irp, KIRQL callerIrql,
                             const CallSite& site) {
    PDEVICE_OBJECT device = Irp->Tail.Overlay.CurrentStackLocation->DeviceObject;
    ThreadState& t = Thread();
    std::size_t locks = t.Locks.size() - 1; // the routine must give the cancel spin lock back
    {
        DriverRoutineScope scope(FrameKind::Cancel, Irp, device,
                                 {device ? device->DriverObject : nullptr, device}, site);
        routine(device, Irp);
    }
    if (t.Locks.size() > locks) {
        const HeldLock& held = t.Locks.back();
        Violate(Check::SpinLockHeldOnReturn,
                fmt::format("cancel routine of {} returned holding spin lock {}{} (acquired at {})",
                            Hex(Irp), Hex(held.Lock),
                            held.Lock == &CancelSpinLock ? " (the cancel spin lock)" : "",
                            held.Site.ToString()),
                site);
        while (t.Locks.size() > locks) {
            __atomic_store_n(t.Locks.back().Lock, 0, __ATOMIC_RELEASE);
            t.Locks.pop_back();
        }
        t.Irql = callerIrql;
    } else if (t.Irql != callerIrql) {
        Violate(
            Check::IrqlNotRestored,
            fmt::format("cancel routine of {} returned at IRQL {}; IoCancelIrp was called at {}",
                        Hex(Irp), t.Irql, callerIrql),
            site);
        t.Irql = callerIrql;
    }
}

BOOLEAN NTAPI IoCancelIrp(PIRP Irp) {
    CallSite site = HOST_SITE();
    IrpPtr rec = FindIrpOrReport(Irp, Check::BadArgument, "IoCancelIrp with", site);
    if (!rec)
        return FALSE;
    {
        std::lock_guard lock(R().Mutex);
        if (rec->State == IrpState::Freed) {
            ReportTouchedAfterFree(*rec, "IoCancelIrp of", site);
            return FALSE;
        }
    }
    ReportIrqlAbove(DISPATCH_LEVEL, "IoCancelIrp", site);
    KIRQL callerIrql = Thread().Irql;
    KIRQL irql = AcquireSpinLock(&CancelSpinLock, site);
    __atomic_store_n(&Irp->Cancel, TRUE, __ATOMIC_SEQ_CST);
    auto routine = reinterpret_cast<PDRIVER_CANCEL>(__atomic_exchange_n(
        reinterpret_cast<PVOID*>(&Irp->CancelRoutine), nullptr, __ATOMIC_SEQ_CST));
    if (!routine) {
        ReleaseSpinLock(&CancelSpinLock, irql, site);
        return FALSE;
    }
    Irp->CancelIrql = irql;
    RunCancelRoutine(routine, Irp, callerIrql, site);
    return TRUE;
}

// The buffers of a threaded device-control request, as the transfer method says: one system
// buffer for buffered requests, an input copy and an MDL over the output for the direct methods,
// the caller's own pointers for METHOD_NEITHER.
static void SetUpThreadedBuffers(IrpRecord& rec, PIRP irp, PVOID InputBuffer,
                                 ULONG InputBufferLength, PVOID OutputBuffer,
                                 ULONG OutputBufferLength, const CallSite& site) {
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    switch (rec.Method) {
    case METHOD_BUFFERED:
        if (InputBufferLength || OutputBufferLength) {
            ULONG length =
                InputBufferLength > OutputBufferLength ? InputBufferLength : OutputBufferLength;
            void* system = PoolAllocate(NonPagedPool, length, 0x20206F49, site, true);
            if (InputBuffer && InputBufferLength)
                std::memcpy(system, InputBuffer, InputBufferLength);
            irp->AssociatedIrp.SystemBuffer = system;
            rec.SystemBuffer = system;
            rec.UserOutput = OutputBuffer;
            rec.OutputLength = OutputBufferLength;
        }
        irp->UserBuffer = OutputBuffer;
        break;
    case METHOD_IN_DIRECT:
    case METHOD_OUT_DIRECT:
        if (InputBufferLength) {
            void* system = PoolAllocate(NonPagedPool, InputBufferLength, 0x20206F49, site, true);
            std::memcpy(system, InputBuffer, InputBufferLength);
            irp->AssociatedIrp.SystemBuffer = system;
            rec.SystemBuffer = system;
        }
        if (OutputBufferLength) {
            rec.OwnMdl = AllocateHostMdl(OutputBuffer, OutputBufferLength);
            irp->MdlAddress = rec.OwnMdl;
        }
        break;
    case METHOD_NEITHER:
        next->Parameters.DeviceIoControl.Type3InputBuffer = InputBuffer;
        irp->UserBuffer = OutputBuffer;
        break;
    }
}

PIRP NTAPI IoBuildDeviceIoControlRequest(ULONG IoControlCode, PDEVICE_OBJECT DeviceObject,
                                         PVOID InputBuffer, ULONG InputBufferLength,
                                         PVOID OutputBuffer, ULONG OutputBufferLength,
                                         BOOLEAN InternalDeviceIoControl, PKEVENT Event,
                                         PIO_STATUS_BLOCK IoStatusBlock) {
    CallSite site = HOST_SITE();
    ReportIrqlAbove(PASSIVE_LEVEL, "IoBuildDeviceIoControlRequest", site);
    if (!DeviceArgumentOrReport(DeviceObject, false, "IoBuildDeviceIoControlRequest for", site))
        return nullptr;
    if (FaultInjection::ShouldFail(AllocationKind::Irp, site))
        return nullptr;
    PIRP irp = NewIrp(DeviceObject->StackSize, IrpKind::Threaded, site);
    if (!irp)
        return nullptr;
    IrpPtr rec = FindIrp(irp);
    irp->UserIosb = IoStatusBlock;
    irp->UserEvent = Event;
    irp->RequestorMode = KernelMode;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction =
        InternalDeviceIoControl ? IRP_MJ_INTERNAL_DEVICE_CONTROL : IRP_MJ_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.OutputBufferLength = OutputBufferLength;
    next->Parameters.DeviceIoControl.InputBufferLength = InputBufferLength;
    next->Parameters.DeviceIoControl.IoControlCode = IoControlCode;
    rec->Method = IoControlCode & 3;
    SetUpThreadedBuffers(*rec, irp, InputBuffer, InputBufferLength, OutputBuffer,
                         OutputBufferLength, site);
    return irp;
}

} // extern "C"
