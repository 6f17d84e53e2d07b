// What the request and MDL parts of the host kernel share: the side tables that hold each IRP's
// and MDL's record, and the lifetime states the verifier watches.
//
// The host's bookkeeping lives in side tables keyed by address, never in the request: a driver
// may write any field of an IRP it owns. Freed IRPs and MDLs stay in a quarantine for a while
// (their memory poisoned, their record kept), so a late use is named as such rather than landing
// in someone else's new request.
#pragma once

#include "internal.h"

#include <deque>
#include <string_view>

namespace host::detail {

enum class IrpState { Allocated, Dispatched, Pending, Completing, Completed, Freed };

inline const char* StateName(IrpState s) {
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
    // The completion routine of the top location (the allocating driver's own) is running: the
    // thread it hands the request to may set it up afresh before the routine has returned.
    bool TopRoutineRunning = false;
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
RequestTables& R();

// Table look-ups (null when the address is not an IRP or MDL the host knows).
IrpPtr FindIrp(PIRP irp);
MdlPtr FindMdl(PMDL mdl);
// The same for a routine that was handed the address: an unknown one is reported as `kind`,
// "<what> 0x..., which is not an IRP" (`what` names the routine: "IoFreeIrp of").
IrpPtr FindIrpOrReport(PIRP irp, Check kind, std::string_view what, const CallSite& site);
MdlPtr FindMdlOrReport(PMDL mdl, Check kind, std::string_view what, const CallSite& site);

// The innermost driver routine this thread runs for `irp`, if any.
const Frame* InnermostFrame(PIRP irp);
bool InCompletionOf(PIRP irp);
// Whether the dispatch routine this thread runs for `irp` had already passed it on (to another
// device, or further down its own stack), so that it no longer owns it: reports the touch as
// "<action> by the dispatch routine of ...", `action` a format naming the request by its {}.
// Called with the table lock held.
bool ReportIfPassedOn(const IrpRecord& rec, PIRP irp, const char* action, const CallSite& site);
// Reports a use of a freed request: "<what> IRP 0x... (...), freed at <where>" (`what` names the
// routine: "IoCancelIrp of").
void ReportTouchedAfterFree(const IrpRecord& rec, std::string_view what, const CallSite& site);

// Fresh IRPs and MDLs, and their release into quarantine. The *Locked helpers want R().Mutex.
void InitIrpFields(PIRP irp, USHORT packetSize, CCHAR stackSize);
PIRP NewIrp(CCHAR stackSize, IrpKind kind, const CallSite& site);
// A fresh record for an IRP in memory of `bytes` with `stackSize` locations, allocated at `site`.
void RegisterIrp(PIRP irp, IrpKind kind, std::size_t bytes, CCHAR stackSize, const CallSite& site);
// Puts a record back to allocated for IoInitializeIrp and IoReuseIrp. Wants R().Mutex.
inline void MarkStartedOver(IrpRecord& rec) {
    rec.State = IrpState::Allocated;
    rec.Generation++;
    rec.Holder = nullptr;
    rec.CompletedSinceInit = false;
}
void ReleaseIrpLocked(const IrpPtr& rec, const CallSite& site);
// `irp`: the request the MDL is allocated for (IoAllocateMdl's), if any.
PMDL NewMdl(void* va, ULONG length, bool hostOwned, const CallSite& site, PIRP irp = nullptr);
void FreeMdlLocked(const MdlPtr& rec, const CallSite& site);
std::uintptr_t MdlVa(PMDL mdl);

// "IRP 0x... (allocated at ..., last passed to a driver at ..., held by ...)".
std::string Describe(const IrpRecord& rec);

// The completion walk, from IofCompleteRequest and the host's own dispatch routines.
void CompleteRequest(PIRP irp, const CallSite& site);

// Maps an MDL's pages into system space for the Mm mapping routines.
PVOID MapMdl(const char* routine, PMDL mdl, MEMORY_CACHING_TYPE cacheType, ULONG bugCheckOnFailure,
             ULONG priority, bool safe, const CallSite& site);

} // namespace host::detail
