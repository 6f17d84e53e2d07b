// What the parts of the host kernel share among themselves and show nobody else.
//
// Locking: each part keeps its own std::mutex (pool, requests and MDLs, objects, PnP, front end,
// verifier) and the dispatcher keeps the one lock + condition variable that every dispatcher
// object and timed wait uses, as the platform's dispatcher lock does. No host lock is ever held
// while driver code runs, so a driver can call back into any routine from any routine.
#pragma once

#include "host/host_kernel.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <unordered_map>
#include <vector>

namespace host::detail {

// The driver (and device) in whose name the thread runs now: pool it allocates is charged to it.
struct DriverContext {
    PDRIVER_OBJECT Driver = nullptr;
    PDEVICE_OBJECT Device = nullptr;
};

struct HeldLock {
    PKSPIN_LOCK Lock;
    CallSite Site;
};

// A driver routine the host kernel is running on this thread for a request.
enum class FrameKind { Dispatch, Completion, Cancel };
struct Frame {
    FrameKind Kind;
    PIRP Irp;
    PDEVICE_OBJECT Device;
    int Location;    // the request's CurrentLocation when the routine was called
    CallSite Site{}; // the call that ran it (IofCallDriver, IofCompleteRequest, IoCancelIrp)
};

struct ThreadState {
    std::uint64_t Id = 0;
    bool NestingReported = false; // the verifier said once that requests nest too deep here
    KIRQL Irql = PASSIVE_LEVEL;
    bool HasSite = false;
    CallSite Noted;
    std::vector<HeldLock> Locks;
    int CriticalRegion = 0;
    std::vector<DriverContext> Contexts;
    std::vector<Frame> Frames;
    std::unordered_map<PERESOURCE, int> SharedHeld;
    bool IsPnpThread = false;
};

ThreadState& Thread();
CallSite TakeSite(const void* returnAddress);
#define HOST_SITE() ::host::detail::TakeSite(__builtin_return_address(0))

void Violate(Check kind, std::string message, const CallSite& site);
// Reports `routine` called above the highest IRQL it may run at ("<routine> at IRQL 2").
void ReportIrqlAbove(KIRQL highest, const char* routine, const CallSite& site);
// The source line of an instruction (a driver's faulting write), from the program's debug
// information; just the address when it has none.
CallSite SiteOfInstruction(const void* instruction);
// The platform would stop the machine here (a bug check): report it, say so on stderr whatever
// reporter is installed, and stop the program.
[[noreturn]] void BugCheck(const std::string& message, const CallSite& site);
// A routine the host kernel has only in part was asked for the part it lacks: stop the program
// and say which, rather than pretend.
[[noreturn]] void Unsupported(const char* routine, const char* what);

DriverContext CurrentContext();
struct ContextScope {
    ContextScope(PDRIVER_OBJECT driver, PDEVICE_OBJECT device);
    ~ContextScope();
};

// What a signal handler may read of the thread it interrupted: the driver routine the host runs
// there, if any. A trivial thread_local, so reading it never allocates.
struct RoutineMark {
    PDEVICE_OBJECT Device = nullptr;
    FrameKind Kind = FrameKind::Dispatch;
    bool Active = false;
};
RoutineMark& CurrentRoutineMark();

// While a driver routine runs on this thread for a request: its frame (where the verifier knows
// the thread to be) and the driver context pool is charged to. Entering one checks how deep
// request submission and completion nest on this thread: past KernelStackLevels the verifier
// reports a kernel stack overflow, past twice that the host stops as the platform would have.
constexpr std::size_t KernelStackLevels = 32;
class DriverRoutineScope {
  public:
    DriverRoutineScope(FrameKind kind, PIRP irp, PDEVICE_OBJECT device, DriverContext context,
                       const CallSite& site);
    ~DriverRoutineScope();
    DriverRoutineScope(const DriverRoutineScope&) = delete;
    DriverRoutineScope& operator=(const DriverRoutineScope&) = delete;

  private:
    RoutineMark Saved;
};

// Runs a driver routine with the checks every routine gets: the IRQL and the spin locks held
// must be the same on return as on entry.
struct RoutineCheck {
    RoutineCheck(const char* what, const CallSite& site);
    void Finish();
    const char* What;
    CallSite Site;
    KIRQL EntryIrql;
    std::size_t EntryLocks;
};

std::string Hex(const void* p);
std::string DeviceLabel(PDEVICE_OBJECT device);

// IRQL and spin locks, for the host's own use (no call-site bookkeeping).
KIRQL AcquireSpinLock(PKSPIN_LOCK lock, const CallSite& site);
const char* IrqlName(KIRQL irql); // "DISPATCH_LEVEL"
void ReleaseSpinLock(PKSPIN_LOCK lock, KIRQL newIrql, const CallSite& site);
extern KSPIN_LOCK CancelSpinLock;

// Dispatcher.
std::mutex& DispatcherMutex();
std::condition_variable& DispatcherCv();
void WakeTimedWaits();
// Waits under the dispatcher lock until `ready` or the kernel-time deadline (INT64_MAX: none).
// Returns whether `ready` became true.
bool WaitUntil(std::unique_lock<std::mutex>& lock, LONGLONG deadline,
               const std::function<bool()>& ready);
void SignalEvent(PKEVENT event);
void InitEvent(PKEVENT event, EVENT_TYPE type, bool state);
// Storage that may hold events goes away (`how`: "ExFreePool of", "IoDeleteDevice's extension
// at"): the waits blocked on an event inside it lose it, as on the platform, where its wait list
// is gone with the memory, and each such event is reported at `site`.
void EventStorageEnds(const void* storage, std::size_t bytes, const char* how,
                      const CallSite& site);

// Pool.
void* PoolAllocate(POOL_TYPE type, std::size_t bytes, ULONG tag, const CallSite& site,
                   bool hostOwned);
void PoolFree(void* p, const CallSite& site, bool hostOwned,
              std::optional<ULONG> tag = std::nullopt);
bool IsInPool(const void* p, std::size_t bytes);
std::optional<std::size_t> PoolBlockSize(const void* p);
void PoolDeviceDeleted(PDEVICE_OBJECT device);
void PoolDriverUnloaded(PDRIVER_OBJECT driver);
std::size_t PoolLeaksSince(std::uint64_t serial);

// Requests.
struct HostRequest {
    std::mutex Mutex;
    std::condition_variable Cv;
    bool Done = false;
    bool Abandoned = false; // the dispatch routine returned without completing or passing it on
    IO_STATUS_BLOCK Iosb{};
    bool PendingAtTop = false; // the IRP's PendingReturned when its walk reached the top
    // Runs at the top of the completion walk, on the completing thread, before the waiter wakes.
    std::function<void(PIRP)> Finish;
};
PIRP AllocateHostIrp(CCHAR stackSize, std::shared_ptr<HostRequest> request, const CallSite& site);
RequestResult SendHostIrp(PDEVICE_OBJECT device, PIRP irp,
                          const std::shared_ptr<HostRequest>& request, const CallSite& site);
PMDL AllocateHostMdl(void* va, ULONG length);
void FreeHostMdl(PMDL mdl);
void IrpStorageFreed(void* p, const CallSite& site);
std::size_t RequestLeaksSince(std::uint64_t irpSerial, std::uint64_t mdlSerial);
std::uint64_t NextIrpSerial();
std::uint64_t NextMdlSerial();
void ClearMdlMappings();
void DriverUnloadedRequests(PDRIVER_OBJECT driver);
NTSTATUS CallDriver(PDEVICE_OBJECT device, PIRP irp, const CallSite& site);
extern "C" NTSTATUS NTAPI HostInvalidDeviceRequest(PDEVICE_OBJECT device, PIRP irp);

// Objects.
bool IsLiveDevice(PDEVICE_OBJECT device);
// Live, or deleted while still referenced (a request may still be sent to it).
bool IsCallableDevice(PDEVICE_OBJECT device);
// Whether a routine was handed a device it may use (live, or with `evenIfDeleted` still
// referenced); reports the misuse as "<what> 0x..., which is not a device object" when not.
bool DeviceArgumentOrReport(PDEVICE_OBJECT device, bool evenIfDeleted, const char* what,
                            const CallSite& site);
// A new reference: to a live device, or (evenIfDeleted) to one other references still hold.
bool ReferenceDevice(PDEVICE_OBJECT device, bool evenIfDeleted = false);
void DereferenceDevice(PDEVICE_OBJECT device);
bool IsKnownDriver(PDRIVER_OBJECT driver);
PDEVICE_OBJECT AttachedTop(PDEVICE_OBJECT device);
PDEVICE_OBJECT BottomOf(PDEVICE_OBJECT device);
// Resolves a user or kernel name to the device it names (links followed); null when none.
PDEVICE_OBJECT ResolveName(std::u16string_view name);
PDRIVER_OBJECT NewDriverObject(std::u16string_view name, bool bus);
void DeleteDriverObject(PDRIVER_OBJECT driver);
void ResetDeviceGraveyard();

// PnP.
void HandleOpened(PDEVICE_OBJECT pdo);
void HandleClosed(PDEVICE_OBJECT pdo);
bool IsRemovalUnderway(PDEVICE_OBJECT pdo);
void WaitPnpIdleFor(double realSeconds);
bool TakeAttachFailure();

// What user mode gets back. Every allocation of kernel memory (pool, IRPs, MDLs, objects) widens
// the span of addresses that may be kernel addresses, so the output checks look up only values
// inside it; each table then says what a value is, if it is one of its live addresses
// (exactly, not inside), or null.
void NoteKernelMemory(const void* p, std::size_t bytes);
const char* PoolAddressKind(std::uintptr_t value);
const char* RequestAddressKind(std::uintptr_t value);
const char* ObjectAddressKind(std::uintptr_t value);
const char* FileObjectAddressKind(std::uintptr_t value);
// "the pool block of 40 bytes at 0x... tag 'Tovr' allocated at driver/x.cpp:12", or nullopt.
std::optional<std::string> DescribePoolBlock(const void* p);
// Reports what `bytes` would carry to user mode that must never get there: a run of the pool's
// fresh-allocation fill, or a live kernel address. `request` names the request in the report.
// `site` names the call that handed the output back (the driver's IofCompleteRequest).
void CheckUserOutput(std::span<const std::uint8_t> bytes, const std::string& request,
                     const CallSite& site);
// Where a request was last completed (the driver's IofCompleteRequest call), if known.
CallSite CompletionSiteOf(PIRP irp);
// The byte fresh pool is filled with.
extern const unsigned char PoolFillByte;

// Names.
std::u16string FoldName(std::u16string_view name);
std::optional<std::u16string> FromUnicode(PCUNICODE_STRING s, const char* routine,
                                          const CallSite& site);

} // namespace host::detail
