// The host kernel's own surface: what tests, the simulated bus, the SDK's host backend and the
// tools use to drive the system that the kernel routines of platform/kernel.h make up.
//
// Everything here is user-mode C++ and never seen by the driver. A driver (ours, the simulated
// bus, or a small one written by a test) talks to the host kernel only through the kernel
// routines; this header is for the parties around it: the one who loads drivers and plugs
// devices in (the PnP manager), the user who opens devices and sends requests (the front end),
// and the one who watches (clock, fault injection, pool report, verifier).
#pragma once

#include "platform/kernel.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <future>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace host {

// ---------------------------------------------------------------------------------------------
// Call sites

// A place in the source that called a kernel routine: file and line when the call went through
// the macros of the host declarations, otherwise the return address.
struct CallSite {
    const char* File = nullptr;
    int Line = 0;
    const void* ReturnAddress = nullptr;
    std::string ToString() const;
};

// Takes (and forgets) the site the calling thread noted with HostNoteCallSite. Kernel routines
// implemented outside platform/host (the USBD library in sim/) call it first thing, so that the
// verifier and fault injection can name their caller.
CallSite TakeCallSite();

// ---------------------------------------------------------------------------------------------
// Clock

// One clock for the whole host kernel, in 100-ns units of system time (as KeQuerySystemTime
// reports). Every timed wait runs on it. The scale says how many units of kernel time pass per
// unit of real time: SetScale(1000) makes a 3 s kernel wait take 3 ms. Changing the scale in the
// middle of a run keeps the clock monotonic and wakes timed waits so they use the new rate.
class Clock {
  public:
    static LONGLONG Now();
    static void SetScale(double kernelPerReal);
    static double Scale();
    // Kernel-time milliseconds as a relative wait interval (negative 100-ns units).
    static constexpr LONGLONG Relative(LONGLONG milliseconds) { return -milliseconds * 10000; }
};

// ---------------------------------------------------------------------------------------------
// Fault injection

enum class AllocationKind : unsigned {
    Pool = 1,     // ExAllocatePool, ExAllocatePoolWithTag
    Irp = 2,      // IoAllocateIrp, IoBuildDeviceIoControlRequest
    Mdl = 4,      // IoAllocateMdl
    Usbd = 8,     // the USBD request builder in sim/
    Device = 16,  // IoCreateDevice
    Mapping = 32, // system address space for an MDL's pages (MmMapLockedPages*)
    Any = 63,
};

// Decides whether an allocating routine fails. The rules hold until Reset (the per-test reset
// clears them). Allocations made by the host kernel for itself (the front end's system buffers,
// the PnP manager's requests) are never failed and never counted.
class FaultInjection {
  public:
    // Fail the k-th allocation of the given kinds counted from now (k = 1: the next one).
    static void FailNth(std::uint64_t k, AllocationKind kinds = AllocationKind::Any);
    // Fail allocations whose call site ends with `site` ("transfer/chunked.cpp:120", or just a
    // file name); `times` < 0 fails every one of them.
    static void FailAtSite(std::string site, int times = -1,
                           AllocationKind kinds = AllocationKind::Any);
    // Fail each allocation of the given kinds with this probability, reproducibly from `seed`.
    static void FailWithProbability(double probability, std::uint64_t seed,
                                    AllocationKind kinds = AllocationKind::Any);
    // Make the next `times` IoAttachDeviceToDeviceStack calls find their target being deleted,
    // so they return NULL.
    static void FailAttach(int times = 1);
    // A test's own rule, asked for every counted allocation that no rule above failed, on the
    // allocating thread and with no host lock held (it may take a backtrace or keep a log):
    // TRUE fails the allocation. An allocation sweep records call chains and fails one chosen
    // allocation with it. An empty function removes it.
    using Decider = std::function<bool(AllocationKind kind, const CallSite& site)>;
    static void SetDecider(Decider decider);
    static void Reset();
    // Asked by every allocating routine (and by the USBD request builder): TRUE means "fail it".
    // Counts the allocation.
    static bool ShouldFail(AllocationKind kind, const CallSite& site);
    // Allocations counted since the last Reset, and how many were failed.
    static std::uint64_t Counted();
    static std::uint64_t Failed();
};

// ---------------------------------------------------------------------------------------------
// Pool

struct PoolBlock {
    const void* Address;
    std::size_t Size;
    ULONG Tag;
    CallSite Site;
    PDRIVER_OBJECT Driver; // the driver in whose routine it was allocated, or null
    PDEVICE_OBJECT Device; // the device in whose routine it was allocated, or null
    std::uint64_t Serial;  // allocation order
};

class Pool {
  public:
    static std::vector<PoolBlock> Outstanding();
    static std::size_t OutstandingCount();
    // Human-readable list of blocks allocated after `sinceSerial` and still there, with sites.
    static std::string LeakReport(std::uint64_t sinceSerial = 0);
    // Serial number the next allocation will get (a mark for LeakReport).
    static std::uint64_t NextSerial();
};

// ---------------------------------------------------------------------------------------------
// Verifier

// The checks, each with a name used in messages and by ExpectViolation.
enum class Check {
    DoubleCompletion,        // a request completed twice
    CompletedWithPending,    // IofCompleteRequest with IoStatus.Status == STATUS_PENDING
    NeverCompleted,          // in a driver at the end of a test or at driver unload
    TouchedAfterPassDown,    // used by a driver that had already passed it down or completed it
    TouchedAfterFree,        // any use of a freed IRP or MDL
    IllegalTransition,       // a request moved between lifetime states in a way nothing allows
    NoStackLocation,         // IofCallDriver with no stack location left
    WaitAtDispatch,          // a wait with a timeout other than zero at DISPATCH_LEVEL
    AllocationAboveDispatch, // pool allocated above DISPATCH_LEVEL (or paged pool above APC)
    TwoSpinLocks,            // a second spin lock taken while one is held
    SpinLockHeldOnReturn,    // a spin lock still held when a dispatch, completion or cancel routine
                             // returns
    IrqlNotRestored,         // IRQL differs on return from a dispatch, completion or cancel routine
    IrqlMisuse,       // raise to a lower / lower to a higher level, wrong level for a routine
    SpinLockMisuse,   // release of a lock not held, recursion
    FreedInFlight,    // an IRP or MDL freed while a lower driver holds the request
    BadFree,          // freeing an unknown or already freed block
    PoolLeakAtRemove, // a device's blocks still allocated when it is deleted
    PoolLeakAtUnload, // a driver's blocks still allocated when it is unloaded
    Leak,             // blocks, IRPs or MDLs allocated in a test and left at its end
    ResourceMisuse,   // ERESOURCE outside a critical region, released by a non-owner...
    MdlRange,         // a partial MDL outside its source, an MDL too small
    ObjectMisuse,     // device objects and links used against their rules
    BadArgument,      // anything else a kernel routine refuses
    BugCheck,         // the platform would have stopped the machine here; so does the host
    StackOverflow,    // request submission and completion nested deeper than a kernel stack holds
    WriteToReadOnlyBuffer, // a write into a buffer the platform locked for read access only
    KernelDataToUser,      // never-written pool or a kernel address in what user mode gets back
    IrqlContract,    // PAGED_CODE() and the like: a routine reached at an IRQL it must not run at
    AssertionFailed, // an NT_ASSERT that did not hold
};
const char* CheckName(Check check);

struct Violation {
    Check Kind;
    std::string Message; // what happened, with the states and sites involved
    CallSite Site;       // the call that broke the rule (File may be null)
};

class Verifier {
  public:
    // Every violation since the last Clear (the per-test reset clears).
    static std::vector<Violation> Violations();
    static std::size_t Count(Check kind);
    static void Clear();

    // Reports each violation that no ExpectViolation scope absorbs. Default: print to stderr.
    // The GoogleTest glue sets one that fails the running test at the violation's site.
    // Returns the reporter it replaces.
    using Reporter = std::function<void(const Violation&)>;
    static Reporter SetReporter(Reporter reporter);

    // While alive, violations of `kind` (from any thread) are expected: they are recorded but
    // not reported. At the end of the scope, if none fired, that absence is reported instead.
    class ExpectViolation {
      public:
        explicit ExpectViolation(Check kind);
        ~ExpectViolation();
        ExpectViolation(const ExpectViolation&) = delete;
        ExpectViolation& operator=(const ExpectViolation&) = delete;
        std::size_t Fired() const;

      private:
        std::shared_ptr<struct Expectation> expectation_;
    };

    // Report one violation (the simulated bus uses it for its own rules).
    static void Report(Check kind, std::string message, const CallSite& site = {});
};

// Memory holding kernel objects that the host kernel does not allocate itself, such as a bus
// driver's pipe and configuration records whose addresses are its handles. An address inside a
// declared range that reaches user mode is reported (KernelDataToUser) as a pool or object
// address is. The owner declares a range once the object exists and withdraws it before the
// memory goes; `what` names it in reports ("USB pipe handle").
class KernelAddresses {
  public:
    static void Declare(const void* begin, std::size_t bytes, std::string what);
    static void Withdraw(const void* begin);
};

// A system mapping of an MDL's pages that a driver asked for, as the mapping routine saw it.
struct MdlMapping {
    PMDL Mdl;
    bool Safe; // MmMapLockedPagesSpecifyCache; false: MmMapLockedPages, which cannot fail softly
    MEMORY_CACHING_TYPE CacheType;
    ULONG Priority; // the page priority, without the MdlMapping* flags
    bool NoExecute;
    bool NoWrite;
    bool Failed; // fault injection refused it
    CallSite Site;
};
// The mappings asked for since the start of the test, oldest first (the most recent 4096).
std::vector<MdlMapping> MdlMappings();

// Runs a driver's own threads (the simulated host controller, a DPC-like worker) in the name of
// a driver and device, so that pool they allocate is charged to them.
class DriverContextScope {
  public:
    DriverContextScope(PDRIVER_OBJECT driver, PDEVICE_OBJECT device);
    ~DriverContextScope();
    DriverContextScope(const DriverContextScope&) = delete;
    DriverContextScope& operator=(const DriverContextScope&) = delete;
};

// ---------------------------------------------------------------------------------------------
// Kernel stacks

// How deep request submission and completion may nest on one thread (IofCallDriver -> dispatch
// routine -> IofCompleteRequest -> completion routine -> IofCallDriver ...), counted in driver
// routines the host runs for requests. Deeper is a StackOverflow violation; twice as deep is a
// bug check, since the platform's stack was exhausted long before.
//
// Why 32: a kernel stack is 24 KiB. The system-service entry, the trap frame and the I/O
// manager's way down to the first driver take about 4 KiB of it; each level of nesting then costs
// an I/O manager frame and a driver routine's frame (register home space, saved registers and
// locals such as a URB or a request record), a modest 640 bytes together, so about
// 20 KiB / 640 B = 32 levels fit. On the platform each submission to the USB stack also passes
// through several drivers below this one (hub, port, host controller) that the simulated bus
// stands in for with a single dispatch routine, so the real stack runs out sooner, not later.
std::size_t KernelStackLevels();

// A thread for driver work that the platform runs on a kernel stack (a bus's host-controller
// thread completing requests, a worker standing in for a system thread or a DPC). Its stack is
// the size StackBytes() names instead of the 8 MiB a user thread gets, so recursion in driver
// code that the nesting count above does not see (a routine calling itself, a large local) ends
// at a depth comparable to the platform's, and is reported as a bug check rather than a bare
// crash. Joined when destroyed.
class KernelThread {
  public:
    KernelThread() = default;
    explicit KernelThread(std::function<void()> body);
    ~KernelThread();
    KernelThread(KernelThread&& other) noexcept;
    KernelThread& operator=(KernelThread&& other) noexcept; // joins the thread it held first
    KernelThread(const KernelThread&) = delete;
    KernelThread& operator=(const KernelThread&) = delete;
    bool Joinable() const { return joinable_; }
    void Join();

    // The stack each kernel thread gets in this build: room for twice KernelStackLevels() levels
    // of this build's own host and driver frames (which in a debug or sanitizer build are several
    // times the platform's optimised ones) plus the host's own work on the thread, and no more:
    // 192 KiB optimised, 320 KiB debug, 640 KiB with AddressSanitizer, 384 KiB with
    // ThreadSanitizer (the figures behind them are in stack.cpp).
    static std::size_t StackBytes();

  private:
    std::uintptr_t handle_ = 0;
    bool joinable_ = false;
};

// Per-test bracket. BeginTest clears violations, fault injection and the clock scale (back to
// 1) and marks the pool and the request table; EndTest reports (as violations) what the test
// left: requests never completed, pool blocks, IRPs and MDLs allocated during the test and
// still there, a thread left above PASSIVE_LEVEL or holding a spin lock. Returns the count.
void BeginTest();
std::size_t EndTest();

// ---------------------------------------------------------------------------------------------
// Drivers and the PnP manager

// What one PnP or power request gave: the value the top driver's dispatch routine returned,
// and the request's final IoStatus once it was completed.
struct RequestResult {
    NTSTATUS Returned = STATUS_PENDING;
    NTSTATUS Status = STATUS_PENDING;
    ULONG_PTR Information = 0;
};

struct PnpRecord {
    PDEVICE_OBJECT Pdo;
    UCHAR Major;
    UCHAR Minor;
    RequestResult Result;
};

// Loads a driver linked into this program: a new DRIVER_OBJECT whose every major function
// completes with STATUS_INVALID_DEVICE_REQUEST until DriverEntry says otherwise, then
// DriverEntry at PASSIVE_LEVEL. Returns null (and the status) when DriverEntry fails.
PDRIVER_OBJECT LoadDriver(PDRIVER_INITIALIZE entry, std::u16string_view name = u"\\Driver\\tovrik",
                          NTSTATUS* status = nullptr);
// Calls DriverUnload, checks that no device, no request and no pool of the driver is left, and
// frees the driver object.
void UnloadDriver(PDRIVER_OBJECT driver);

// A bus driver's own driver object (the simulated bus is not loaded through DriverEntry; it
// fills MajorFunction itself). Free it with UnloadDriver.
PDRIVER_OBJECT CreateBusDriver(std::u16string_view name = u"\\Driver\\usbsim");

// The PnP manager. Requests run one at a time on its own system thread at PASSIVE_LEVEL, as
// the platform's PnP requests do; the calls here queue the work and, unless named Report*, wait
// for it. Report* may be called from any thread at any IRQL (a bus noticing a disconnect).
class Pnp {
  public:
    // The driver whose AddDevice is called for arriving devices that name no driver.
    static void SetFunctionDriver(PDRIVER_OBJECT driver);

    // A bus reports a new PDO: AddDevice(function driver, PDO), then IRP_MN_START_DEVICE to the
    // top of the new stack. `addDevice` is AddDevice's status; the start's result follows.
    struct Arrival {
        NTSTATUS AddDevice = STATUS_UNSUCCESSFUL;
        std::optional<RequestResult> Start;
    };
    static Arrival DeviceArrived(PDEVICE_OBJECT pdo, PDRIVER_OBJECT functionDriver = nullptr);
    static void ReportArrival(PDEVICE_OBJECT pdo, PDRIVER_OBJECT functionDriver = nullptr);
    // A bus reports that a PDO's device has gone: IRP_MN_SURPRISE_REMOVAL now, and
    // IRP_MN_REMOVE_DEVICE once no handle of the stack is open any more (at once when none is).
    static void ReportDeparture(PDEVICE_OBJECT pdo);
    static void DeviceDeparted(PDEVICE_OBJECT pdo);

    static RequestResult Start(PDEVICE_OBJECT pdo);
    static RequestResult Stop(PDEVICE_OBJECT pdo);
    static RequestResult SurpriseRemoval(PDEVICE_OBJECT pdo);
    static RequestResult Remove(PDEVICE_OBJECT pdo);
    // IRP_MN_QUERY_CAPABILITIES with a DEVICE_CAPABILITIES whose Size and Version the caller
    // chooses (the rest as the platform presets it: Address and UINumber all ones); the record
    // as the drivers left it comes back in `capabilities`.
    static RequestResult QueryCapabilities(PDEVICE_OBJECT pdo, USHORT size, USHORT version,
                                           DEVICE_CAPABILITIES* capabilities = nullptr);
    // Any other PnP minor code; `prepare` may fill the stack location's parameters.
    static RequestResult Send(PDEVICE_OBJECT pdo, UCHAR minor,
                              std::function<void(PIO_STACK_LOCATION)> prepare = {});
    // IRP_MJ_POWER: IRP_MN_SET_POWER or IRP_MN_QUERY_POWER with a system or device state.
    static RequestResult Power(PDEVICE_OBJECT pdo, UCHAR minor, POWER_STATE_TYPE type,
                               POWER_STATE state);

    // The top of the stack built over a PDO (null when none or removed).
    static PDEVICE_OBJECT TopOf(PDEVICE_OBJECT pdo);
    // Waits until every queued PnP request has been served.
    static void WaitIdle();
    // Every PnP and power request sent, with its result, in order.
    static std::vector<PnpRecord> History();
    static void ClearHistory();
};

// ---------------------------------------------------------------------------------------------
// User-mode front end: what CreateFile, CloseHandle and DeviceIoControl do on the platform.

using Handle = std::uint64_t; // 0 is never a valid handle

class FrontEnd {
  public:
    // Opens "\\.\X" (or "\DosDevices\X", "\??\X", or a device name): IRP_MJ_CREATE to the top
    // of the stack of the device the name leads to. A refused create gives no handle.
    static NTSTATUS Open(std::u16string_view name, Handle* handle);
    // IRP_MJ_CLEANUP and IRP_MJ_CLOSE to the device the handle was opened on.
    static NTSTATUS Close(Handle handle);

    struct IoctlResult {
        NTSTATUS Status = STATUS_PENDING;   // the request's final IoStatus.Status
        NTSTATUS Returned = STATUS_PENDING; // what the dispatch routine returned
        ULONG_PTR Information = 0;
        std::vector<std::uint8_t> Output; // the caller's output buffer after the call
    };
    // DeviceIoControl with an output buffer of `outputLength` bytes, each preset to `poison`.
    static IoctlResult DeviceIoControl(Handle handle, ULONG code,
                                       std::span<const std::uint8_t> input, ULONG outputLength,
                                       std::uint8_t poison = 0xA5);
    // DeviceIoControl over the caller's own output buffer, used in place as the platform does
    // (the direct methods lock it and describe it with an MDL). METHOD_IN_DIRECT locks it for
    // read access only: the driver sees a copy in read-only pages, a write into them is a
    // WriteToReadOnlyBuffer violation, and the caller's buffer never changes. What comes back
    // (a buffered copy-back, a direct or METHOD_NEITHER output, Information bytes of it) is
    // checked for never-written pool and kernel addresses (KernelDataToUser).
    static IoctlResult DeviceIoControl(Handle handle, ULONG code,
                                       std::span<const std::uint8_t> input,
                                       std::span<std::uint8_t> output);
    static std::size_t OpenHandles();
    // The bottom of the stack a handle was opened on (the bus's PDO); null for no such handle.
    static PDEVICE_OBJECT PdoOf(Handle handle);
};

// ---------------------------------------------------------------------------------------------
// Small helpers for tests and tools

std::u16string ToU16(std::string_view ascii);
std::string ToUtf8(std::u16string_view text);
// The UNICODE_STRING view of a string (no copy; the string must outlive it).
UNICODE_STRING MakeUnicode(const std::u16string& text);
// The thread's current IRQL (without noting a call site).
KIRQL CurrentIrql();
// A name for a status value ("STATUS_PENDING"), or its hex form.
std::string StatusName(NTSTATUS status);
// The host kernel's view of an IRP's lifetime state, by name ("allocated", "dispatched",
// "pending", "completing", "completed", "freed"), or "unknown".
std::string IrpState(PIRP irp);
// Requests currently in a driver (dispatched or pending) and not yet completed.
std::size_t IrpsInFlight();
// Threads blocked right now in a wait on a dispatcher object (an event), read under the dispatcher
// lock: a wait that found the object signalled never blocks, and a blocked wait leaves the count
// once a set satisfies it or it times out.
std::size_t BlockedWaits(const void* object);
// Waits, at most `realSeconds` of real time, until at least `count` threads are blocked on
// `object`; whether they are. For tests that must know a thread is blocked before they go on.
bool WaitForBlockedWaits(const void* object, std::size_t count, double realSeconds = 30.0);
// The host's view of an executive resource, read under the dispatcher lock (for tests that must
// know a thread is queued on it before they go on).
struct ResourceState {
    int Holders = 0;
    bool Exclusive = false;
    ULONG SharedWaiters = 0;
    ULONG ExclusiveWaiters = 0;
};
ResourceState InspectResource(PERESOURCE resource);

} // namespace host
