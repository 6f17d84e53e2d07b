// Requests and MDLs: allocation, the call down the stack, the completion walk back up, cancel,
// threaded device-control requests, and the lifetime state machine the verifier watches.
//
// The host's bookkeeping lives in side tables keyed by address, never in the request: a driver
// may write any field of an IRP it owns. Freed IRPs and MDLs stay in a quarantine for a while
// (their memory poisoned, their record kept), so a late use is named as such rather than landing
// in someone else's new request.
#include "internal.h"

#include <fmt/format.h>

#include <cstdlib>
#include <cstring>
#include <deque>
#include <thread>
#include <chrono>

namespace host {
namespace detail {

enum class IrpState { Allocated, Dispatched, Pending, Completing, Completed, Freed };

static const char* StateName(IrpState s) {
    switch (s) {
    case IrpState::Allocated:
        return "allocated";
    case IrpState::Dispatched:
        return "dispatched";
    case IrpState::Pending:
        return "pending";
    case IrpState::Completing:
        return "completing";
    case IrpState::Completed:
        return "completed";
    case IrpState::Freed:
        return "freed";
    }
    return "?";
}

// Who owns the request's memory and finishes it at the top of the completion walk.
enum class IrpKind {
    Driver,        // IoAllocateIrp: the driver frees it
    CallerStorage, // IoInitializeIrp over memory of the caller's own
    Threaded,      // IoBuildDeviceIoControlRequest: the I/O manager finishes and frees it
    Host,          // the front end's and the PnP manager's requests
};

namespace {

constexpr std::size_t QuarantineLength = 4096;
constexpr unsigned char FreedPattern = 0xDF;

struct IrpRecord {
    PIRP Irp;
    IrpKind Kind;
    IrpState State = IrpState::Allocated;
    std::uint64_t Generation = 0;
    std::uint64_t Serial = 0;
    std::size_t Bytes = 0;
    int StackCapacity = 0;
    int Location = 0; // CurrentLocation while in a driver
    PDEVICE_OBJECT Holder = nullptr;
    CallSite AllocSite, DispatchSite, CompleteSite, FreeSite;
    DriverContext Owner;
    bool Reported = false;
    bool CompletedSinceInit = false;
    // Freed by another thread while a completion routine of it was running: whether that was
    // legal is known only when the routine returns (STATUS_MORE_PROCESSING_REQUIRED: yes).
    bool FreeAwaitsVerdict = false;
    CallSite AwaitingFreeSite;
    std::shared_ptr<HostRequest> Host;
    // Threaded requests.
    void* SystemBuffer = nullptr;
    void* UserOutput = nullptr;
    ULONG OutputLength = 0;
    ULONG Method = 0;
    PMDL OwnMdl = nullptr;
};
using IrpPtr = std::shared_ptr<IrpRecord>;

struct MdlRecord {
    PMDL Mdl;
    bool Freed = false;
    bool HostOwned = false;
    bool Reported = false;
    std::uint64_t Serial;
    std::size_t Pages;
    PIRP Irp = nullptr;
    CallSite Site, FreeSite;
};
using MdlPtr = std::shared_ptr<MdlRecord>;

struct RequestTables {
    std::mutex Mutex;
    std::unordered_map<PIRP, IrpPtr> Irps;
    std::deque<PIRP> IrpQuarantine;
    std::unordered_map<PMDL, MdlPtr> Mdls;
    std::deque<PMDL> MdlQuarantine;
    std::uint64_t NextIrpSerial = 1;
    std::uint64_t NextMdlSerial = 1;
};
RequestTables& R() {
    static RequestTables* tables = new RequestTables;
    return *tables;
}

IrpPtr FindIrp(PIRP irp) {
    std::lock_guard lock(R().Mutex);
    auto it = R().Irps.find(irp);
    return it == R().Irps.end() ? nullptr : it->second;
}

MdlPtr FindMdl(PMDL mdl) {
    std::lock_guard lock(R().Mutex);
    auto it = R().Mdls.find(mdl);
    return it == R().Mdls.end() ? nullptr : it->second;
}

const Frame* InnermostFrame(PIRP irp) {
    auto& frames = Thread().Frames;
    for (auto it = frames.rbegin(); it != frames.rend(); ++it)
        if (it->Irp == irp)
            return &*it;
    return nullptr;
}

bool InCompletionOf(PIRP irp) {
    const Frame* f = InnermostFrame(irp);
    return f && f->Kind == FrameKind::Completion;
}

void InitIrpFields(PIRP irp, USHORT packetSize, CCHAR stackSize) {
    std::memset(irp, 0, packetSize);
    irp->Type = IO_TYPE_IRP;
    irp->Size = packetSize;
    irp->StackCount = stackSize;
    irp->CurrentLocation = static_cast<CHAR>(stackSize + 1);
    irp->ThreadListEntry.Flink = irp->ThreadListEntry.Blink = &irp->ThreadListEntry;
    irp->Tail.Overlay.CurrentStackLocation =
        reinterpret_cast<PIO_STACK_LOCATION>(irp + 1) + stackSize;
}

// Lets a freed IRP's memory go once it has sat in quarantine long enough. Called with the lock.
void QuarantineIrp(PIRP irp) {
    R().IrpQuarantine.push_back(irp);
    while (R().IrpQuarantine.size() > QuarantineLength) {
        PIRP old = R().IrpQuarantine.front();
        R().IrpQuarantine.pop_front();
        auto it = R().Irps.find(old);
        if (it != R().Irps.end() && it->second->State == IrpState::Freed) {
            R().Irps.erase(it);
            std::free(old);
        }
    }
}

void QuarantineMdl(PMDL mdl) {
    R().MdlQuarantine.push_back(mdl);
    while (R().MdlQuarantine.size() > QuarantineLength) {
        PMDL old = R().MdlQuarantine.front();
        R().MdlQuarantine.pop_front();
        auto it = R().Mdls.find(old);
        if (it != R().Mdls.end() && it->second->Freed) {
            R().Mdls.erase(it);
            std::free(old);
        }
    }
}

PIRP NewIrp(CCHAR stackSize, IrpKind kind, const CallSite& site) {
    std::size_t bytes =
        sizeof(IRP) + static_cast<std::size_t>(stackSize) * sizeof(IO_STACK_LOCATION);
    auto* irp = static_cast<PIRP>(std::aligned_alloc(16, (bytes + 15) & ~std::size_t(15)));
    if (!irp)
        return nullptr;
    InitIrpFields(irp, static_cast<USHORT>(bytes), stackSize);
    auto rec = std::make_shared<IrpRecord>();
    rec->Irp = irp;
    rec->Kind = kind;
    rec->Bytes = bytes;
    rec->StackCapacity = stackSize;
    rec->AllocSite = site;
    rec->Owner = CurrentContext();
    std::lock_guard lock(R().Mutex);
    rec->Serial = R().NextIrpSerial++;
    R().Irps[irp] = rec; // replaces a quarantined record only if its memory was already released
    return irp;
}

// Marks a record freed and puts its memory in quarantine (IRPs whose memory is the host's).
void ReleaseIrpLocked(const IrpPtr& rec, const CallSite& site) {
    rec->State = IrpState::Freed;
    rec->Generation++;
    rec->FreeSite = site;
    rec->Host.reset();
    if (rec->Kind == IrpKind::CallerStorage)
        return;
    std::memset(rec->Irp, FreedPattern, rec->Bytes);
    QuarantineIrp(rec->Irp);
}

std::string Describe(const IrpRecord& rec) {
    std::string out =
        fmt::format("IRP {} (allocated at {}", Hex(rec.Irp), rec.AllocSite.ToString());
    if (rec.DispatchSite.File || rec.DispatchSite.ReturnAddress)
        out += fmt::format(", last passed to a driver at {}", rec.DispatchSite.ToString());
    if (rec.Holder)
        out += fmt::format(", held by {}", DeviceLabel(rec.Holder));
    return out + ")";
}

void FreeMdlLocked(const MdlPtr& rec, const CallSite& site) {
    rec->Freed = true;
    rec->FreeSite = site;
    std::memset(rec->Mdl, FreedPattern, sizeof(MDL));
    QuarantineMdl(rec->Mdl);
}

PMDL NewMdl(void* va, ULONG length, bool hostOwned, const CallSite& site) {
    auto address = reinterpret_cast<std::uintptr_t>(va);
    std::size_t pages = ((address & (PAGE_SIZE - 1)) + length + PAGE_SIZE - 1) >> PAGE_SHIFT;
    std::size_t bytes = sizeof(MDL) + pages * sizeof(ULONG_PTR);
    auto* mdl = static_cast<PMDL>(std::calloc(1, bytes));
    if (!mdl)
        return nullptr;
    mdl->Size = static_cast<CSHORT>(bytes > 0x7FFF ? 0x7FFF : bytes);
    mdl->StartVa = reinterpret_cast<PVOID>(address & ~std::uintptr_t(PAGE_SIZE - 1));
    mdl->ByteOffset = static_cast<ULONG>(address & (PAGE_SIZE - 1));
    mdl->ByteCount = length;
    auto rec = std::make_shared<MdlRecord>();
    rec->Mdl = mdl;
    rec->HostOwned = hostOwned;
    rec->Pages = pages;
    rec->Site = site;
    std::lock_guard lock(R().Mutex);
    rec->Serial = R().NextMdlSerial++;
    R().Mdls[mdl] = rec;
    return mdl;
}

std::uintptr_t MdlVa(PMDL mdl) {
    return reinterpret_cast<std::uintptr_t>(MmGetMdlVirtualAddress(mdl));
}

} // namespace

std::string DeviceLabel(PDEVICE_OBJECT device);

std::uint64_t NextIrpSerial() {
    std::lock_guard lock(R().Mutex);
    return R().NextIrpSerial;
}

std::uint64_t NextMdlSerial() {
    std::lock_guard lock(R().Mutex);
    return R().NextMdlSerial;
}

// ---------------------------------------------------------------------------------------------
// Calling drivers

static NTSTATUS RunDispatch(PDRIVER_DISPATCH routine, PDEVICE_OBJECT device, PIRP irp,
                            const CallSite& site) {
    ThreadState& t = Thread();
    t.Frames.push_back({FrameKind::Dispatch, irp, device, irp->CurrentLocation});
    t.Contexts.push_back({device->DriverObject, device});
    RoutineCheck check("dispatch routine", site);
    NTSTATUS status = routine(device, irp);
    check.Finish();
    t.Contexts.pop_back();
    t.Frames.pop_back();
    return status;
}

NTSTATUS CallDriver(PDEVICE_OBJECT device, PIRP irp, const CallSite& site) {
    IrpPtr rec = FindIrp(irp);
    if (!rec) {
        Violate(Check::BadArgument,
                fmt::format("IofCallDriver with {}, which is not an IRP", Hex(irp)), site);
        return STATUS_INVALID_PARAMETER;
    }
    if (!IsCallableDevice(device)) {
        Violate(Check::ObjectMisuse,
                fmt::format("IofCallDriver to {}, which is not a device object (or was deleted)",
                            Hex(device)),
                site);
        return STATUS_NO_SUCH_DEVICE;
    }
    if (Thread().Irql > DISPATCH_LEVEL)
        Violate(Check::IrqlMisuse, fmt::format("IofCallDriver at IRQL {}", Thread().Irql), site);
    std::uint64_t generation;
    int location;
    {
        std::lock_guard lock(R().Mutex);
        switch (rec->State) {
        case IrpState::Freed:
            Violate(Check::TouchedAfterFree,
                    fmt::format("IofCallDriver with {}, freed at {}", Describe(*rec),
                                rec->FreeSite.ToString()),
                    site);
            return STATUS_INVALID_PARAMETER;
        case IrpState::Completed:
            Violate(Check::IllegalTransition,
                    fmt::format(
                        "IofCallDriver with {}: completed -> dispatched (it was completed at {})",
                        Describe(*rec), rec->CompleteSite.ToString()),
                    site);
            return STATUS_INVALID_PARAMETER;
        case IrpState::Completing:
            if (!InCompletionOf(irp)) {
                Violate(Check::IllegalTransition,
                        fmt::format("IofCallDriver with {}: completing -> dispatched outside its "
                                    "completion routine",
                                    Describe(*rec)),
                        site);
                return STATUS_INVALID_PARAMETER;
            }
            break;
        case IrpState::Dispatched:
        case IrpState::Pending: {
            const Frame* f = InnermostFrame(irp);
            if (f && f->Kind == FrameKind::Dispatch &&
                (f->Device != rec->Holder || f->Location > rec->Location)) {
                Violate(Check::TouchedAfterPassDown,
                        fmt::format("IofCallDriver with {} by the dispatch routine of {}, which "
                                    "had already passed "
                                    "it on to {}",
                                    Describe(*rec), DeviceLabel(f->Device),
                                    DeviceLabel(rec->Holder)),
                        site);
                return STATUS_INVALID_PARAMETER;
            }
            break;
        }
        case IrpState::Allocated:
            break;
        }
        if (irp->CurrentLocation <= 1) {
            Violate(
                Check::NoStackLocation,
                fmt::format("IofCallDriver to {} with {}: no stack location left (StackCount {})",
                            DeviceLabel(device), Describe(*rec), static_cast<int>(irp->StackCount)),
                site);
            return STATUS_INVALID_PARAMETER;
        }
        rec->State = IrpState::Dispatched;
        generation = ++rec->Generation;
        rec->DispatchSite = site;
        rec->Location = location = irp->CurrentLocation - 1;
        rec->Holder = device;
    }
    irp->CurrentLocation--;
    irp->Tail.Overlay.CurrentStackLocation--;
    PIO_STACK_LOCATION stack = irp->Tail.Overlay.CurrentStackLocation;
    stack->DeviceObject = device;
    if (location < device->StackSize)
        Violate(Check::NoStackLocation,
                fmt::format("IofCallDriver to {} (stack size {}) with {} locations left in {}",
                            DeviceLabel(device), static_cast<int>(device->StackSize), location,
                            Describe(*rec)),
                site);
    UCHAR major = stack->MajorFunction;
    if (major > IRP_MJ_MAXIMUM_FUNCTION) {
        Violate(Check::BadArgument, fmt::format("IofCallDriver with major function {:#x}", major),
                site);
        return STATUS_INVALID_PARAMETER;
    }
    PDRIVER_DISPATCH routine = device->DriverObject->MajorFunction[major];
    NTSTATUS status = RunDispatch(routine, device, irp, site);
    {
        std::lock_guard lock(R().Mutex);
        bool stillHere = (rec->State == IrpState::Dispatched || rec->State == IrpState::Pending) &&
                         rec->Generation == generation && rec->Location == location;
        if (status == STATUS_PENDING) {
            if (rec->State == IrpState::Dispatched)
                rec->State = IrpState::Pending;
        } else if (stillHere) {
            Violate(Check::NeverCompleted,
                    fmt::format("the dispatch routine of {} returned {} for {} without completing "
                                "it, passing it on "
                                "or returning STATUS_PENDING",
                                DeviceLabel(device), StatusName(status), Describe(*rec)),
                    site);
            rec->Reported = true;
            if (rec->Host) {
                std::lock_guard hostLock(rec->Host->Mutex);
                rec->Host->Abandoned = true;
                rec->Host->Cv.notify_all();
            }
        }
    }
    return status;
}

// Runs at the top of the completion walk.
static void FinishAtTop(const IrpPtr& rec, PIRP irp, const CallSite& site) {
    switch (rec->Kind) {
    case IrpKind::Driver:
    case IrpKind::CallerStorage: {
        std::lock_guard lock(R().Mutex);
        rec->State = IrpState::Completed;
        Violate(
            Check::IllegalTransition,
            fmt::format("{} came back to the top of its completion walk: completing -> completed. "
                        "A request a "
                        "driver allocated must be taken back by a completion routine that returns "
                        "STATUS_MORE_PROCESSING_REQUIRED",
                        Describe(*rec)),
            site);
        return;
    }
    case IrpKind::Threaded: {
        PIO_STATUS_BLOCK iosb = irp->UserIosb;
        PKEVENT event = irp->UserEvent;
        IO_STATUS_BLOCK status = irp->IoStatus;
        // A buffered output goes back unless the status is an error (warnings still carry data).
        if (rec->Method == METHOD_BUFFERED && rec->SystemBuffer && rec->UserOutput &&
            (static_cast<ULONG>(status.Status) >> 30) != 3) {
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
        return;
    }
    case IrpKind::Host: {
        std::shared_ptr<HostRequest> request = rec->Host;
        if (request && request->Finish)
            request->Finish(irp);
        IO_STATUS_BLOCK status = irp->IoStatus;
        {
            std::lock_guard lock(R().Mutex);
            ReleaseIrpLocked(rec, site);
        }
        if (request) {
            std::lock_guard lock(request->Mutex);
            request->Iosb = status;
            request->Done = true;
            request->Cv.notify_all();
        }
        return;
    }
    }
}

static NTSTATUS RunCompletion(PIO_COMPLETION_ROUTINE routine, PDEVICE_OBJECT device, PIRP irp,
                              PVOID context, const IrpRecord& rec, const CallSite& site) {
    ThreadState& t = Thread();
    t.Frames.push_back({FrameKind::Completion, irp, device, irp->CurrentLocation});
    if (device)
        t.Contexts.push_back({device->DriverObject, device});
    else
        t.Contexts.push_back(rec.Owner);
    RoutineCheck check("completion routine", site);
    NTSTATUS status = routine(device, irp, context);
    check.Finish();
    t.Contexts.pop_back();
    t.Frames.pop_back();
    return status;
}

static void CompleteRequest(PIRP irp, const CallSite& site) {
    IrpPtr rec = FindIrp(irp);
    if (!rec) {
        Violate(Check::BadArgument,
                fmt::format("IofCompleteRequest with {}, which is not an IRP", Hex(irp)), site);
        return;
    }
    if (Thread().Irql > DISPATCH_LEVEL)
        Violate(Check::IrqlMisuse, fmt::format("IofCompleteRequest at IRQL {}", Thread().Irql),
                site);
    {
        std::lock_guard lock(R().Mutex);
        switch (rec->State) {
        case IrpState::Freed:
            if (rec->CompleteSite.File || rec->CompleteSite.ReturnAddress)
                Violate(Check::DoubleCompletion,
                        fmt::format("{} completed twice: first at {}, and it was freed after that",
                                    Describe(*rec), rec->CompleteSite.ToString()),
                        site);
            else
                Violate(Check::TouchedAfterFree,
                        fmt::format("IofCompleteRequest with {}, freed at {}", Describe(*rec),
                                    rec->FreeSite.ToString()),
                        site);
            return;
        case IrpState::Completed:
            Violate(Check::DoubleCompletion,
                    fmt::format("{} completed twice: first at {}", Describe(*rec),
                                rec->CompleteSite.ToString()),
                    site);
            return;
        case IrpState::Completing:
            if (!InCompletionOf(irp)) {
                Violate(Check::DoubleCompletion,
                        fmt::format(
                            "{} completed again while its completion (from {}) is still running",
                            Describe(*rec), rec->CompleteSite.ToString()),
                        site);
                return;
            }
            break;
        case IrpState::Allocated:
            if (irp->CurrentLocation > irp->StackCount && rec->CompletedSinceInit) {
                Violate(
                    Check::DoubleCompletion,
                    fmt::format(
                        "{} completed twice: its first completion (at {}) already went up to the "
                        "request's originator",
                        Describe(*rec), rec->CompleteSite.ToString()),
                    site);
                return;
            }
            if (const Frame* f = InnermostFrame(irp);
                f && f->Kind == FrameKind::Dispatch && f->Location < irp->CurrentLocation) {
                Violate(Check::DoubleCompletion,
                        fmt::format("{} completed again by the dispatch routine of {} after its "
                                    "first completion "
                                    "(at {}) went up past that driver",
                                    Describe(*rec), DeviceLabel(f->Device),
                                    rec->CompleteSite.ToString()),
                        site);
                return;
            }
            if (irp->CurrentLocation > irp->StackCount) {
                Violate(Check::IllegalTransition,
                        fmt::format("IofCompleteRequest with {}: allocated -> completing, but it "
                                    "was never passed to "
                                    "a driver",
                                    Describe(*rec)),
                        site);
                return;
            }
            break;
        case IrpState::Dispatched:
        case IrpState::Pending: {
            const Frame* f = InnermostFrame(irp);
            if (f && f->Kind == FrameKind::Dispatch &&
                (f->Device != rec->Holder || f->Location > rec->Location)) {
                Violate(Check::TouchedAfterPassDown,
                        fmt::format("{} completed by the dispatch routine of {}, which had already "
                                    "passed it on to {}",
                                    Describe(*rec), DeviceLabel(f->Device),
                                    DeviceLabel(rec->Holder)),
                        site);
                return;
            }
            break;
        }
        }
        rec->State = IrpState::Completing;
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

    while (irp->CurrentLocation <= irp->StackCount) {
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
            continue;
        }
        PDEVICE_OBJECT device = irp->CurrentLocation == irp->StackCount + 1
                                    ? nullptr
                                    : irp->Tail.Overlay.CurrentStackLocation->DeviceObject;
        std::uint64_t generation;
        {
            std::lock_guard lock(R().Mutex);
            generation = rec->Generation;
            if (rec->FreeAwaitsVerdict) {
                rec->FreeAwaitsVerdict = false;
                Violate(Check::FreedInFlight,
                        fmt::format("{} was freed at {} before its completion routine ran",
                                    Describe(*rec), rec->AwaitingFreeSite.ToString()),
                        rec->AwaitingFreeSite);
                ReleaseIrpLocked(rec, rec->AwaitingFreeSite);
                return;
            }
        }
        NTSTATUS result = RunCompletion(routine, device, irp, context, *rec, site);
        std::lock_guard lock(R().Mutex);
        if (rec->FreeAwaitsVerdict) {
            rec->FreeAwaitsVerdict = false;
            if (result != STATUS_MORE_PROCESSING_REQUIRED) {
                Violate(Check::FreedInFlight,
                        fmt::format("{} was freed at {} while a completion routine ran, and the "
                                    "routine returned {}, "
                                    "so the completion walk goes on over a freed request",
                                    Describe(*rec), rec->AwaitingFreeSite.ToString(),
                                    StatusName(result)),
                        rec->AwaitingFreeSite);
            }
            ReleaseIrpLocked(rec, rec->AwaitingFreeSite);
            return;
        }
        if (result == STATUS_MORE_PROCESSING_REQUIRED) {
            // The routine took the request back; from here it belongs to that driver.
            if (rec->Generation == generation && rec->State == IrpState::Completing) {
                rec->State = IrpState::Allocated;
                rec->Location = irp->CurrentLocation;
            }
            return;
        }
        if (rec->Generation != generation) {
            Violate(
                Check::IllegalTransition,
                fmt::format(
                    "a completion routine of {} moved it to '{}' and then returned {} instead of "
                    "STATUS_MORE_PROCESSING_REQUIRED",
                    Describe(*rec), StateName(rec->State), StatusName(result)),
                site);
            return;
        }
    }
    {
        std::lock_guard lock(R().Mutex);
        if (rec->FreeAwaitsVerdict) {
            rec->FreeAwaitsVerdict = false;
            Violate(Check::FreedInFlight,
                    fmt::format("{} was freed at {} while the I/O manager was still completing it",
                                Describe(*rec), rec->AwaitingFreeSite.ToString()),
                    rec->AwaitingFreeSite);
            ReleaseIrpLocked(rec, rec->AwaitingFreeSite);
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
        result.Status = request->Iosb.Status;
        result.Information = request->Iosb.Information;
    } else {
        result.Status = result.Returned;
    }
    return result;
}

void IrpStorageFreed(void* p, const CallSite& site) {
    std::lock_guard lock(R().Mutex);
    auto it = R().Irps.find(static_cast<PIRP>(p));
    if (it == R().Irps.end() || it->second->Kind != IrpKind::CallerStorage)
        return;
    IrpPtr rec = it->second;
    if (rec->State == IrpState::Dispatched || rec->State == IrpState::Pending ||
        (rec->State == IrpState::Completing && !InCompletionOf(rec->Irp)))
        Violate(Check::FreedInFlight,
                fmt::format("the pool block holding {} was freed while the request is {}",
                            Describe(*rec), StateName(rec->State)),
                site);
    R().Irps.erase(it);
}

// A completion routine that woke a waiter may still be returning on another thread when that
// waiter goes on to remove and unload: give such walks a moment to unwind before judging.
void LetCompletionsUnwind(PDRIVER_OBJECT driver) {
    for (int attempt = 0; attempt < 2000; attempt++) {
        {
            std::lock_guard lock(R().Mutex);
            bool unwinding = false;
            for (auto& [irp, rec] : R().Irps) {
                bool ours = driver == nullptr || rec->Owner.Driver == driver ||
                            (rec->Holder && rec->Holder->DriverObject == driver);
                if (ours && rec->State == IrpState::Completing) {
                    unwinding = true;
                    break;
                }
            }
            if (!unwinding)
                return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

std::size_t RequestLeaksSince(std::uint64_t irpSerial, std::uint64_t mdlSerial) {
    LetCompletionsUnwind(nullptr);
    std::vector<std::tuple<Check, std::string, CallSite>> found;
    {
        std::lock_guard lock(R().Mutex);
        for (auto& [irp, rec] : R().Irps) {
            if (rec->Serial < irpSerial || rec->Reported || rec->State == IrpState::Freed)
                continue;
            if (rec->State == IrpState::Dispatched || rec->State == IrpState::Pending ||
                rec->State == IrpState::Completing) {
                rec->Reported = true;
                found.emplace_back(Check::NeverCompleted,
                                   fmt::format("{} is still {} at the end of the test",
                                               Describe(*rec), StateName(rec->State)),
                                   rec->DispatchSite);
            } else if (rec->Kind == IrpKind::Driver) {
                rec->Reported = true;
                found.emplace_back(
                    Check::Leak,
                    fmt::format("{} is still {} (never freed) at the end of the test",
                                Describe(*rec), StateName(rec->State)),
                    rec->AllocSite);
            }
        }
        for (auto& [mdl, rec] : R().Mdls) {
            if (rec->Serial < mdlSerial || rec->Reported || rec->Freed || rec->HostOwned)
                continue;
            rec->Reported = true;
            found.emplace_back(
                Check::Leak,
                fmt::format("MDL {} allocated at {} never freed", Hex(mdl), rec->Site.ToString()),
                rec->Site);
        }
    }
    for (auto& [check, message, site] : found)
        Violate(check, message, site);
    return found.size();
}

void DriverUnloadedRequests(PDRIVER_OBJECT driver) {
    LetCompletionsUnwind(driver);
    std::vector<std::pair<std::string, CallSite>> found;
    {
        std::lock_guard lock(R().Mutex);
        for (auto& [irp, rec] : R().Irps) {
            bool ours =
                rec->Owner.Driver == driver || (rec->Holder && rec->Holder->DriverObject == driver);
            if (!ours || rec->Reported)
                continue;
            if (rec->State == IrpState::Dispatched || rec->State == IrpState::Pending ||
                rec->State == IrpState::Completing) {
                rec->Reported = true;
                found.emplace_back(fmt::format("{} is still {} when its driver is unloaded",
                                               Describe(*rec), StateName(rec->State)),
                                   rec->DispatchSite);
            }
            if (rec->Owner.Driver == driver)
                rec->Owner = {};
        }
    }
    for (auto& [message, site] : found)
        Violate(Check::NeverCompleted, message, site);
}

std::size_t InFlight() {
    std::lock_guard lock(R().Mutex);
    std::size_t n = 0;
    for (auto& [irp, rec] : R().Irps)
        n += rec->State == IrpState::Dispatched || rec->State == IrpState::Pending;
    return n;
}

std::string StateOf(PIRP irp) {
    std::lock_guard lock(R().Mutex);
    auto it = R().Irps.find(irp);
    return it == R().Irps.end() ? "unknown" : StateName(it->second->State);
}

// ---------------------------------------------------------------------------------------------
// System mappings of MDLs

namespace {
struct MappingLog {
    std::mutex Mutex;
    std::deque<MdlMapping> Entries;
};
MappingLog& Mappings() {
    static MappingLog* log = new MappingLog;
    return *log;
}
void NoteMapping(const MdlMapping& mapping) {
    std::lock_guard lock(Mappings().Mutex);
    Mappings().Entries.push_back(mapping);
    if (Mappings().Entries.size() > 4096)
        Mappings().Entries.pop_front();
}
} // namespace

void ClearMdlMappings() {
    std::lock_guard lock(Mappings().Mutex);
    Mappings().Entries.clear();
}

// Maps the pages of a locked MDL into system space. Host memory is always mapped, so the system
// address is the described address; what the platform can refuse (system address space running
// short) fault injection refuses, and then the caller gets NULL or, if it asked for it, a bug
// check.
PVOID MapMdl(const char* routine, PMDL mdl, MEMORY_CACHING_TYPE cacheType, ULONG bugCheckOnFailure,
             ULONG priority, bool safe, const CallSite& site) {
    if (Thread().Irql > DISPATCH_LEVEL)
        Violate(Check::IrqlMisuse, fmt::format("{} at IRQL {}", routine, Thread().Irql), site);
    MdlPtr rec = FindMdl(mdl);
    if (!rec || rec->Freed) {
        Violate(rec ? Check::TouchedAfterFree : Check::BadArgument,
                fmt::format("{} of {}, not a live MDL", routine, Hex(mdl)), site);
        return nullptr;
    }
    if (mdl->MdlFlags & (MDL_MAPPED_TO_SYSTEM_VA | MDL_SOURCE_IS_NONPAGED_POOL))
        return mdl->MappedSystemVa;
    if (!(mdl->MdlFlags & (MDL_PAGES_LOCKED | MDL_PARTIAL))) {
        Violate(Check::BadArgument,
                fmt::format("{} of {}, whose pages are not locked", routine, Hex(mdl)), site);
        return nullptr;
    }
    MdlMapping mapping{mdl,
                       safe,
                       cacheType,
                       priority & ~(MdlMappingNoWrite | MdlMappingNoExecute),
                       (priority & MdlMappingNoExecute) != 0,
                       (priority & MdlMappingNoWrite) != 0,
                       false,
                       site};
    if (FaultInjection::ShouldFail(AllocationKind::Mapping, site)) {
        mapping.Failed = true;
        NoteMapping(mapping);
        if (bugCheckOnFailure)
            BugCheck(fmt::format("{} could not map the {} bytes of MDL {} into system space (the "
                                 "platform stops: no more system PTEs)",
                                 routine, mdl->ByteCount, Hex(mdl)),
                     site);
        return nullptr;
    }
    NoteMapping(mapping);
    mdl->MappedSystemVa = MmGetMdlVirtualAddress(mdl);
    mdl->MdlFlags |= MDL_MAPPED_TO_SYSTEM_VA;
    if (mdl->MdlFlags & MDL_PARTIAL)
        mdl->MdlFlags |= MDL_PARTIAL_HAS_BEEN_MAPPED;
    return mdl->MappedSystemVa;
}

// ---------------------------------------------------------------------------------------------
// MDLs the host makes for itself

PMDL AllocateHostMdl(void* va, ULONG length) {
    PMDL mdl = NewMdl(va, length, true, {});
    if (!mdl)
        Unsupported("the front end's MDL", "running out of memory");
    // The buffer is locked for the request, as probing and locking a caller's buffer leaves it;
    // it is not mapped into system space.
    mdl->MdlFlags = MDL_PAGES_LOCKED;
    return mdl;
}

void FreeHostMdl(PMDL mdl) {
    MdlPtr rec = FindMdl(mdl);
    std::lock_guard lock(R().Mutex);
    if (rec && !rec->Freed)
        FreeMdlLocked(rec, {});
}

} // namespace detail

std::string IrpState(PIRP irp) {
    return detail::StateOf(irp);
}
std::vector<MdlMapping> MdlMappings() {
    std::lock_guard lock(detail::Mappings().Mutex);
    return {detail::Mappings().Entries.begin(), detail::Mappings().Entries.end()};
}
std::size_t IrpsInFlight() {
    return detail::InFlight();
}

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

NTSTATUS NTAPI IofCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    return CallDriver(DeviceObject, Irp, HOST_SITE());
}

VOID NTAPI IofCompleteRequest(PIRP Irp, CCHAR PriorityBoost) {
    CompleteRequest(Irp, HOST_SITE());
}

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
        Violate(
            Check::TouchedAfterFree,
            fmt::format("{} of {}, freed at {}", routine, Describe(rec), rec.FreeSite.ToString()),
            site);
        return false;
    }
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
        auto fresh = std::make_shared<IrpRecord>();
        fresh->Irp = Irp;
        fresh->Kind = IrpKind::CallerStorage;
        fresh->Bytes = PacketSize;
        fresh->StackCapacity = StackSize;
        fresh->AllocSite = site;
        fresh->Owner = CurrentContext();
        std::lock_guard lock(R().Mutex);
        fresh->Serial = R().NextIrpSerial++;
        R().Irps[Irp] = fresh;
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
        rec->State = IrpState::Allocated;
        rec->Generation++;
        rec->Holder = nullptr;
        rec->CompletedSinceInit = false;
    }
    InitIrpFields(Irp, PacketSize, StackSize);
}

VOID NTAPI IoReuseIrp(PIRP Irp, NTSTATUS Iostatus) {
    CallSite site = HOST_SITE();
    IrpPtr rec = FindIrp(Irp);
    if (!rec) {
        Violate(Check::BadArgument,
                fmt::format("IoReuseIrp with {}, which is not an IRP", Hex(Irp)), site);
        return;
    }
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
        rec->State = IrpState::Allocated;
        rec->Generation++;
        rec->Holder = nullptr;
        rec->CompletedSinceInit = false;
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
    IrpPtr rec = FindIrp(Irp);
    if (!rec) {
        Violate(Check::BadFree, fmt::format("IoFreeIrp of {}, which is not an IRP", Hex(Irp)),
                site);
        return;
    }
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

BOOLEAN NTAPI IoCancelIrp(PIRP Irp) {
    CallSite site = HOST_SITE();
    IrpPtr rec = FindIrp(Irp);
    if (!rec) {
        Violate(Check::BadArgument,
                fmt::format("IoCancelIrp with {}, which is not an IRP", Hex(Irp)), site);
        return FALSE;
    }
    {
        std::lock_guard lock(R().Mutex);
        if (rec->State == IrpState::Freed) {
            Violate(Check::TouchedAfterFree,
                    fmt::format("IoCancelIrp of {}, freed at {}", Describe(*rec),
                                rec->FreeSite.ToString()),
                    site);
            return FALSE;
        }
    }
    if (Thread().Irql > DISPATCH_LEVEL)
        Violate(Check::IrqlMisuse, fmt::format("IoCancelIrp at IRQL {}", Thread().Irql), site);
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
    PDEVICE_OBJECT device = Irp->Tail.Overlay.CurrentStackLocation->DeviceObject;
    ThreadState& t = Thread();
    std::size_t locks = t.Locks.size() - 1; // the routine must give the cancel spin lock back
    t.Frames.push_back({FrameKind::Cancel, Irp, device, Irp->CurrentLocation});
    t.Contexts.push_back({device ? device->DriverObject : nullptr, device});
    routine(device, Irp);
    t.Contexts.pop_back();
    t.Frames.pop_back();
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
    return TRUE;
}

PIRP NTAPI IoBuildDeviceIoControlRequest(ULONG IoControlCode, PDEVICE_OBJECT DeviceObject,
                                         PVOID InputBuffer, ULONG InputBufferLength,
                                         PVOID OutputBuffer, ULONG OutputBufferLength,
                                         BOOLEAN InternalDeviceIoControl, PKEVENT Event,
                                         PIO_STATUS_BLOCK IoStatusBlock) {
    CallSite site = HOST_SITE();
    if (Thread().Irql != PASSIVE_LEVEL)
        Violate(Check::IrqlMisuse,
                fmt::format("IoBuildDeviceIoControlRequest at IRQL {}", Thread().Irql), site);
    if (!IsLiveDevice(DeviceObject)) {
        Violate(Check::ObjectMisuse,
                fmt::format("IoBuildDeviceIoControlRequest for {}, which is not a device object",
                            Hex(DeviceObject)),
                site);
        return nullptr;
    }
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
    ULONG method = IoControlCode & 3;
    rec->Method = method;
    switch (method) {
    case METHOD_BUFFERED:
        if (InputBufferLength || OutputBufferLength) {
            ULONG length =
                InputBufferLength > OutputBufferLength ? InputBufferLength : OutputBufferLength;
            void* system = PoolAllocate(NonPagedPool, length, 0x20206F49, site, true);
            if (InputBuffer && InputBufferLength)
                std::memcpy(system, InputBuffer, InputBufferLength);
            irp->AssociatedIrp.SystemBuffer = system;
            rec->SystemBuffer = system;
            rec->UserOutput = OutputBuffer;
            rec->OutputLength = OutputBufferLength;
        }
        irp->UserBuffer = OutputBuffer;
        break;
    case METHOD_IN_DIRECT:
    case METHOD_OUT_DIRECT:
        if (InputBufferLength) {
            void* system = PoolAllocate(NonPagedPool, InputBufferLength, 0x20206F49, site, true);
            std::memcpy(system, InputBuffer, InputBufferLength);
            irp->AssociatedIrp.SystemBuffer = system;
            rec->SystemBuffer = system;
        }
        if (OutputBufferLength) {
            rec->OwnMdl = AllocateHostMdl(OutputBuffer, OutputBufferLength);
            irp->MdlAddress = rec->OwnMdl;
        }
        break;
    case METHOD_NEITHER:
        next->Parameters.DeviceIoControl.Type3InputBuffer = InputBuffer;
        irp->UserBuffer = OutputBuffer;
        break;
    }
    return irp;
}

// ---------------------------------------------------------------------------------------------
// MDLs

PMDL NTAPI IoAllocateMdl(PVOID VirtualAddress, ULONG Length, BOOLEAN SecondaryBuffer,
                         BOOLEAN ChargeQuota, PIRP Irp) {
    CallSite site = HOST_SITE();
    if (Thread().Irql > DISPATCH_LEVEL)
        Violate(Check::AllocationAboveDispatch,
                fmt::format("IoAllocateMdl at IRQL {}", Thread().Irql), site);
    // The platform describes at most 64 MB less a page in one MDL; larger requests get none.
    if (Length > 64u * 1024 * 1024 - PAGE_SIZE)
        return nullptr;
    if (FaultInjection::ShouldFail(AllocationKind::Mdl, site))
        return nullptr;
    IrpPtr irpRec;
    if (Irp) {
        irpRec = FindIrp(Irp);
        if (!irpRec) {
            Violate(Check::BadArgument,
                    fmt::format("IoAllocateMdl for {}, which is not an IRP", Hex(Irp)), site);
            return nullptr;
        }
    }
    PMDL mdl = NewMdl(VirtualAddress, Length, false, site);
    if (!mdl)
        return nullptr;
    if (Irp) {
        MdlPtr rec = FindMdl(mdl);
        rec->Irp = Irp;
        if (!SecondaryBuffer) {
            if (Irp->MdlAddress)
                Violate(Check::BadArgument,
                        fmt::format(
                            "IoAllocateMdl replaces MDL {} of {} (pass SecondaryBuffer to chain)",
                            Hex(Irp->MdlAddress), Hex(Irp)),
                        site);
            Irp->MdlAddress = mdl;
        } else {
            PMDL* tail = &Irp->MdlAddress;
            while (*tail)
                tail = &(*tail)->Next;
            *tail = mdl;
        }
    }
    return mdl;
}

VOID NTAPI IoBuildPartialMdl(PMDL SourceMdl, PMDL TargetMdl, PVOID VirtualAddress, ULONG Length) {
    CallSite site = HOST_SITE();
    MdlPtr source = FindMdl(SourceMdl);
    MdlPtr target = FindMdl(TargetMdl);
    if (!source || source->Freed || !target || target->Freed) {
        Violate(!source || !target ? Check::BadArgument : Check::TouchedAfterFree,
                fmt::format("IoBuildPartialMdl from {} into {}: both must be live MDLs",
                            Hex(SourceMdl), Hex(TargetMdl)),
                site);
        return;
    }
    if (target->HostOwned) {
        Violate(Check::BadArgument, "IoBuildPartialMdl into an MDL the I/O manager owns", site);
        return;
    }
    std::uintptr_t begin = MdlVa(SourceMdl);
    std::uintptr_t end = begin + SourceMdl->ByteCount;
    auto va = reinterpret_cast<std::uintptr_t>(VirtualAddress);
    std::uint64_t length = Length ? Length : (va < end ? end - va : 0);
    if (va < begin || va + length > end || (Length == 0 && va >= end)) {
        Violate(
            Check::MdlRange,
            fmt::format(
                "IoBuildPartialMdl of {:#x}..{:#x} ({} bytes) outside its source MDL {:#x}..{:#x}",
                va, va + length, length, begin, end),
            site);
        return;
    }
    if (!(SourceMdl->MdlFlags & (MDL_PAGES_LOCKED | MDL_SOURCE_IS_NONPAGED_POOL | MDL_PARTIAL))) {
        Violate(Check::BadArgument,
                "IoBuildPartialMdl from an MDL whose pages are neither locked nor non-paged pool",
                site);
        return;
    }
    std::size_t pages = ((va & (PAGE_SIZE - 1)) + length + PAGE_SIZE - 1) >> PAGE_SHIFT;
    if (pages > target->Pages) {
        Violate(Check::MdlRange,
                fmt::format("IoBuildPartialMdl of {} pages into an MDL sized for {}", pages,
                            target->Pages),
                site);
        return;
    }
    TargetMdl->StartVa = reinterpret_cast<PVOID>(va & ~std::uintptr_t(PAGE_SIZE - 1));
    TargetMdl->ByteOffset = static_cast<ULONG>(va & (PAGE_SIZE - 1));
    TargetMdl->ByteCount = static_cast<ULONG>(length);
    TargetMdl->Process = SourceMdl->Process;
    CSHORT inherited = SourceMdl->MdlFlags &
                       (MDL_SOURCE_IS_NONPAGED_POOL | MDL_WRITE_OPERATION | MDL_IO_PAGE_READ);
    TargetMdl->MdlFlags = static_cast<CSHORT>(MDL_PARTIAL | inherited |
                                              (TargetMdl->MdlFlags & MDL_ALLOCATED_FIXED_SIZE));
    TargetMdl->MappedSystemVa =
        (inherited & MDL_SOURCE_IS_NONPAGED_POOL) ? VirtualAddress : nullptr;
}

VOID NTAPI IoFreeMdl(PMDL Mdl) {
    CallSite site = HOST_SITE();
    MdlPtr rec = FindMdl(Mdl);
    if (!rec) {
        Violate(Check::BadFree, fmt::format("IoFreeMdl of {}, which is not an MDL", Hex(Mdl)),
                site);
        return;
    }
    if (rec->Freed) {
        Violate(
            Check::BadFree,
            fmt::format("IoFreeMdl of {}, already freed at {}", Hex(Mdl), rec->FreeSite.ToString()),
            site);
        return;
    }
    if (rec->HostOwned) {
        Violate(Check::BadFree,
                fmt::format("IoFreeMdl of {}, an MDL the I/O manager owns", Hex(Mdl)), site);
        return;
    }
    if (rec->Irp) {
        if (IrpPtr irpRec = FindIrp(rec->Irp)) {
            std::lock_guard lock(R().Mutex);
            if (irpRec->State == IrpState::Dispatched || irpRec->State == IrpState::Pending) {
                Violate(Check::FreedInFlight,
                        fmt::format("IoFreeMdl of {} while its {} is {}", Hex(Mdl),
                                    Describe(*irpRec), StateName(irpRec->State)),
                        site);
                return;
            }
        }
    }
    std::lock_guard lock(R().Mutex);
    FreeMdlLocked(rec, site);
}

PVOID NTAPI MmMapLockedPages(PMDL MemoryDescriptorList, KPROCESSOR_MODE AccessMode) {
    CallSite site = HOST_SITE();
    if (AccessMode != KernelMode)
        Unsupported("MmMapLockedPages", "mapping into user space");
    // The platform has no way to say "no" here: a kernel-mode mapping it cannot make stops the
    // machine, which is why drivers use MmMapLockedPagesSpecifyCache instead.
    return MapMdl("MmMapLockedPages", MemoryDescriptorList, MmCached, TRUE, NormalPagePriority,
                  false, site);
}

PVOID NTAPI MmMapLockedPagesSpecifyCache(PMDL MemoryDescriptorList, KPROCESSOR_MODE AccessMode,
                                         MEMORY_CACHING_TYPE CacheType, PVOID RequestedAddress,
                                         ULONG BugCheckOnFailure, ULONG Priority) {
    CallSite site = HOST_SITE();
    if (AccessMode != KernelMode)
        Unsupported("MmMapLockedPagesSpecifyCache", "mapping into user space");
    if (RequestedAddress) {
        Violate(Check::BadArgument,
                "MmMapLockedPagesSpecifyCache with a requested address for a kernel-mode mapping",
                site);
        return nullptr;
    }
    if (CacheType != MmCached && CacheType != MmNonCached) {
        Violate(Check::BadArgument,
                fmt::format("MmMapLockedPagesSpecifyCache with caching type {}",
                            static_cast<int>(CacheType)),
                site);
        return nullptr;
    }
    ULONG priority = Priority & ~(MdlMappingNoWrite | MdlMappingNoExecute);
    if (priority != LowPagePriority && priority != NormalPagePriority &&
        priority != HighPagePriority) {
        Violate(Check::BadArgument,
                fmt::format("MmMapLockedPagesSpecifyCache with page priority {:#x}", Priority),
                site);
        return nullptr;
    }
    return MapMdl("MmMapLockedPagesSpecifyCache", MemoryDescriptorList, CacheType,
                  BugCheckOnFailure, Priority, true, site);
}

VOID NTAPI MmBuildMdlForNonPagedPool(PMDL MemoryDescriptorList) {
    CallSite site = HOST_SITE();
    MdlPtr rec = FindMdl(MemoryDescriptorList);
    if (!rec || rec->Freed) {
        Violate(rec ? Check::TouchedAfterFree : Check::BadArgument,
                fmt::format("MmBuildMdlForNonPagedPool of {}, not a live MDL",
                            Hex(MemoryDescriptorList)),
                site);
        return;
    }
    PMDL mdl = MemoryDescriptorList;
    if (!IsInPool(MmGetMdlVirtualAddress(mdl), mdl->ByteCount)) {
        Violate(Check::BadArgument,
                fmt::format(
                    "MmBuildMdlForNonPagedPool of {}: {} bytes at {} are not inside one pool block",
                    Hex(mdl), mdl->ByteCount, Hex(MmGetMdlVirtualAddress(mdl))),
                site);
        return;
    }
    mdl->MappedSystemVa = MmGetMdlVirtualAddress(mdl);
    mdl->MdlFlags |= MDL_SOURCE_IS_NONPAGED_POOL;
}

// ---------------------------------------------------------------------------------------------
// Power

VOID NTAPI PoStartNextPowerIrp(PIRP Irp) {
    CallSite site = HOST_SITE();
    IrpPtr rec = FindIrp(Irp);
    if (!rec) {
        Violate(Check::BadArgument,
                fmt::format("PoStartNextPowerIrp with {}, which is not an IRP", Hex(Irp)), site);
        return;
    }
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
