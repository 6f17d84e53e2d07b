// Host declarations: the kernel routines, the call-site macros the verifier uses to
// name the driver's call sites, and the operations the platform implements inline.
#pragma once

#ifndef TOVRIK_PLATFORM_KERNEL_INSIDE
#error "include platform/kernel.h, not this header"
#endif

// ---------------------------------------------------------------------------------------------
// Kernel routines. Each is provided by the host kernel (its manifest lists them); the ones the
// platform implements as inline code in its headers are inline here too, with the same effect.

extern "C" {

// Pool
PVOID NTAPI ExAllocatePool(POOL_TYPE PoolType, SIZE_T NumberOfBytes);
PVOID NTAPI ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag);
VOID NTAPI ExFreePool(PVOID P);
VOID NTAPI ExFreePoolWithTag(PVOID P, ULONG Tag);

// IRQL and spin locks
KIRQL NTAPI KeGetCurrentIrql(void);
VOID NTAPI KeRaiseIrql(KIRQL NewIrql, PKIRQL OldIrql);
VOID NTAPI KeLowerIrql(KIRQL NewIrql);
KIRQL NTAPI KeRaiseIrqlToDpcLevel(void);
KIRQL NTAPI KeAcquireSpinLockRaiseToDpc(PKSPIN_LOCK SpinLock);
VOID NTAPI KeReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql);
VOID NTAPI KeAcquireSpinLockAtDpcLevel(PKSPIN_LOCK SpinLock);
VOID NTAPI KeReleaseSpinLockFromDpcLevel(PKSPIN_LOCK SpinLock);

// Dispatcher objects and time
VOID NTAPI KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State);
LONG NTAPI KeSetEvent(PRKEVENT Event, KPRIORITY Increment, BOOLEAN Wait);
VOID NTAPI KeClearEvent(PRKEVENT Event);
LONG NTAPI KeResetEvent(PRKEVENT Event);
LONG NTAPI KeReadStateEvent(PRKEVENT Event);
NTSTATUS NTAPI KeWaitForSingleObject(PVOID Object, KWAIT_REASON WaitReason,
                                     KPROCESSOR_MODE WaitMode, BOOLEAN Alertable,
                                     PLARGE_INTEGER Timeout);
NTSTATUS NTAPI KeDelayExecutionThread(KPROCESSOR_MODE WaitMode, BOOLEAN Alertable,
                                      PLARGE_INTEGER Interval);
VOID NTAPI KeQuerySystemTime(PLARGE_INTEGER CurrentTime);
VOID NTAPI KeEnterCriticalRegion(void);
VOID NTAPI KeLeaveCriticalRegion(void);

// Executive resources (reader/writer locks)
NTSTATUS NTAPI ExInitializeResourceLite(PERESOURCE Resource);
NTSTATUS NTAPI ExDeleteResourceLite(PERESOURCE Resource);
BOOLEAN NTAPI ExAcquireResourceSharedLite(PERESOURCE Resource, BOOLEAN Wait);
BOOLEAN NTAPI ExAcquireResourceExclusiveLite(PERESOURCE Resource, BOOLEAN Wait);
BOOLEAN NTAPI ExAcquireSharedStarveExclusive(PERESOURCE Resource, BOOLEAN Wait);
VOID NTAPI ExReleaseResourceLite(PERESOURCE Resource);

// Objects, names and links
VOID NTAPI RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString);
NTSTATUS NTAPI IoCreateDevice(PDRIVER_OBJECT DriverObject, ULONG DeviceExtensionSize,
                              PUNICODE_STRING DeviceName, DEVICE_TYPE DeviceType,
                              ULONG DeviceCharacteristics, BOOLEAN Exclusive,
                              PDEVICE_OBJECT* DeviceObject);
VOID NTAPI IoDeleteDevice(PDEVICE_OBJECT DeviceObject);
NTSTATUS NTAPI IoCreateSymbolicLink(PUNICODE_STRING SymbolicLinkName, PUNICODE_STRING DeviceName);
NTSTATUS NTAPI IoDeleteSymbolicLink(PUNICODE_STRING SymbolicLinkName);
PDEVICE_OBJECT NTAPI IoAttachDeviceToDeviceStack(PDEVICE_OBJECT SourceDevice,
                                                 PDEVICE_OBJECT TargetDevice);
VOID NTAPI IoDetachDevice(PDEVICE_OBJECT TargetDevice);

// Requests
NTSTATUS NTAPI IofCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp);
VOID NTAPI IofCompleteRequest(PIRP Irp, CCHAR PriorityBoost);
PIRP NTAPI IoAllocateIrp(CCHAR StackSize, BOOLEAN ChargeQuota);
VOID NTAPI IoInitializeIrp(PIRP Irp, USHORT PacketSize, CCHAR StackSize);
VOID NTAPI IoReuseIrp(PIRP Irp, NTSTATUS Iostatus);
VOID NTAPI IoFreeIrp(PIRP Irp);
BOOLEAN NTAPI IoCancelIrp(PIRP Irp);
VOID NTAPI IoAcquireCancelSpinLock(PKIRQL Irql);
VOID NTAPI IoReleaseCancelSpinLock(KIRQL Irql);
PIRP NTAPI IoBuildDeviceIoControlRequest(ULONG IoControlCode, PDEVICE_OBJECT DeviceObject,
                                         PVOID InputBuffer, ULONG InputBufferLength,
                                         PVOID OutputBuffer, ULONG OutputBufferLength,
                                         BOOLEAN InternalDeviceIoControl, PKEVENT Event,
                                         PIO_STATUS_BLOCK IoStatusBlock);

// Memory descriptor lists
PMDL NTAPI IoAllocateMdl(PVOID VirtualAddress, ULONG Length, BOOLEAN SecondaryBuffer,
                         BOOLEAN ChargeQuota, PIRP Irp);
VOID NTAPI IoBuildPartialMdl(PMDL SourceMdl, PMDL TargetMdl, PVOID VirtualAddress, ULONG Length);
VOID NTAPI IoFreeMdl(PMDL Mdl);
PVOID NTAPI MmMapLockedPages(PMDL MemoryDescriptorList, KPROCESSOR_MODE AccessMode);
PVOID NTAPI MmMapLockedPagesSpecifyCache(PMDL MemoryDescriptorList, KPROCESSOR_MODE AccessMode,
                                         MEMORY_CACHING_TYPE CacheType, PVOID RequestedAddress,
                                         ULONG BugCheckOnFailure, ULONG Priority);
VOID NTAPI MmBuildMdlForNonPagedPool(PMDL MemoryDescriptorList);

// Power
VOID NTAPI PoStartNextPowerIrp(PIRP Irp);
NTSTATUS NTAPI PoCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp);

// Host only: the verifier names the driver's call site of every kernel routine. Each routine
// below is also a function-like macro of the same name that first notes __FILE__ and __LINE__
// for the calling thread and then calls the routine itself; the symbol, its address and its
// import name stay those of the routine. The host kernel's own sources see the plain routines.
VOID NTAPI HostNoteCallSite(const char* File, int Line);

} // extern "C"

#ifndef TOVRIK_HOST_KERNEL_IMPLEMENTATION
#define TOVRIK_HOST_SITE_(call) (HostNoteCallSite(__FILE__, __LINE__), call)
#define ExAllocatePool(a, b) TOVRIK_HOST_SITE_(ExAllocatePool(a, b))
#define ExAllocatePoolWithTag(a, b, c) TOVRIK_HOST_SITE_(ExAllocatePoolWithTag(a, b, c))
#define ExFreePool(a) TOVRIK_HOST_SITE_(ExFreePool(a))
#define ExFreePoolWithTag(a, b) TOVRIK_HOST_SITE_(ExFreePoolWithTag(a, b))
#define KeGetCurrentIrql() TOVRIK_HOST_SITE_(KeGetCurrentIrql())
#define KeRaiseIrql(a, b) TOVRIK_HOST_SITE_(KeRaiseIrql(a, b))
#define KeLowerIrql(a) TOVRIK_HOST_SITE_(KeLowerIrql(a))
#define KeRaiseIrqlToDpcLevel() TOVRIK_HOST_SITE_(KeRaiseIrqlToDpcLevel())
#define KeAcquireSpinLockRaiseToDpc(a) TOVRIK_HOST_SITE_(KeAcquireSpinLockRaiseToDpc(a))
#define KeReleaseSpinLock(a, b) TOVRIK_HOST_SITE_(KeReleaseSpinLock(a, b))
#define KeAcquireSpinLockAtDpcLevel(a) TOVRIK_HOST_SITE_(KeAcquireSpinLockAtDpcLevel(a))
#define KeReleaseSpinLockFromDpcLevel(a) TOVRIK_HOST_SITE_(KeReleaseSpinLockFromDpcLevel(a))
#define KeInitializeEvent(a, b, c) TOVRIK_HOST_SITE_(KeInitializeEvent(a, b, c))
#define KeSetEvent(a, b, c) TOVRIK_HOST_SITE_(KeSetEvent(a, b, c))
#define KeClearEvent(a) TOVRIK_HOST_SITE_(KeClearEvent(a))
#define KeResetEvent(a) TOVRIK_HOST_SITE_(KeResetEvent(a))
#define KeReadStateEvent(a) TOVRIK_HOST_SITE_(KeReadStateEvent(a))
#define KeWaitForSingleObject(a, b, c, d, e) TOVRIK_HOST_SITE_(KeWaitForSingleObject(a, b, c, d, e))
#define KeDelayExecutionThread(a, b, c) TOVRIK_HOST_SITE_(KeDelayExecutionThread(a, b, c))
#define KeQuerySystemTime(a) TOVRIK_HOST_SITE_(KeQuerySystemTime(a))
#define KeEnterCriticalRegion() TOVRIK_HOST_SITE_(KeEnterCriticalRegion())
#define KeLeaveCriticalRegion() TOVRIK_HOST_SITE_(KeLeaveCriticalRegion())
#define ExInitializeResourceLite(a) TOVRIK_HOST_SITE_(ExInitializeResourceLite(a))
#define ExDeleteResourceLite(a) TOVRIK_HOST_SITE_(ExDeleteResourceLite(a))
#define ExAcquireResourceSharedLite(a, b) TOVRIK_HOST_SITE_(ExAcquireResourceSharedLite(a, b))
#define ExAcquireResourceExclusiveLite(a, b) TOVRIK_HOST_SITE_(ExAcquireResourceExclusiveLite(a, b))
#define ExAcquireSharedStarveExclusive(a, b) TOVRIK_HOST_SITE_(ExAcquireSharedStarveExclusive(a, b))
#define ExReleaseResourceLite(a) TOVRIK_HOST_SITE_(ExReleaseResourceLite(a))
#define RtlInitUnicodeString(a, b) TOVRIK_HOST_SITE_(RtlInitUnicodeString(a, b))
#define IoCreateDevice(a, b, c, d, e, f, g) TOVRIK_HOST_SITE_(IoCreateDevice(a, b, c, d, e, f, g))
#define IoDeleteDevice(a) TOVRIK_HOST_SITE_(IoDeleteDevice(a))
#define IoCreateSymbolicLink(a, b) TOVRIK_HOST_SITE_(IoCreateSymbolicLink(a, b))
#define IoDeleteSymbolicLink(a) TOVRIK_HOST_SITE_(IoDeleteSymbolicLink(a))
#define IoAttachDeviceToDeviceStack(a, b) TOVRIK_HOST_SITE_(IoAttachDeviceToDeviceStack(a, b))
#define IoDetachDevice(a) TOVRIK_HOST_SITE_(IoDetachDevice(a))
#define IofCallDriver(a, b) TOVRIK_HOST_SITE_(IofCallDriver(a, b))
#define IofCompleteRequest(a, b) TOVRIK_HOST_SITE_(IofCompleteRequest(a, b))
#define IoAllocateIrp(a, b) TOVRIK_HOST_SITE_(IoAllocateIrp(a, b))
#define IoInitializeIrp(a, b, c) TOVRIK_HOST_SITE_(IoInitializeIrp(a, b, c))
#define IoReuseIrp(a, b) TOVRIK_HOST_SITE_(IoReuseIrp(a, b))
#define IoFreeIrp(a) TOVRIK_HOST_SITE_(IoFreeIrp(a))
#define IoCancelIrp(a) TOVRIK_HOST_SITE_(IoCancelIrp(a))
#define IoAcquireCancelSpinLock(a) TOVRIK_HOST_SITE_(IoAcquireCancelSpinLock(a))
#define IoReleaseCancelSpinLock(a) TOVRIK_HOST_SITE_(IoReleaseCancelSpinLock(a))
#define IoBuildDeviceIoControlRequest(a, b, c, d, e, f, g, h, i)                                   \
    TOVRIK_HOST_SITE_(IoBuildDeviceIoControlRequest(a, b, c, d, e, f, g, h, i))
#define IoAllocateMdl(a, b, c, d, e) TOVRIK_HOST_SITE_(IoAllocateMdl(a, b, c, d, e))
#define IoBuildPartialMdl(a, b, c, d) TOVRIK_HOST_SITE_(IoBuildPartialMdl(a, b, c, d))
#define IoFreeMdl(a) TOVRIK_HOST_SITE_(IoFreeMdl(a))
#define MmMapLockedPages(a, b) TOVRIK_HOST_SITE_(MmMapLockedPages(a, b))
#define MmMapLockedPagesSpecifyCache(a, b, c, d, e, f)                                             \
    TOVRIK_HOST_SITE_(MmMapLockedPagesSpecifyCache(a, b, c, d, e, f))
#define MmBuildMdlForNonPagedPool(a) TOVRIK_HOST_SITE_(MmBuildMdlForNonPagedPool(a))
#define PoStartNextPowerIrp(a) TOVRIK_HOST_SITE_(PoStartNextPowerIrp(a))
#define PoCallDriver(a, b) TOVRIK_HOST_SITE_(PoCallDriver(a, b))
#endif

#define IoCallDriver(DeviceObject, Irp) IofCallDriver((DeviceObject), (Irp))
#define IoCompleteRequest(Irp, PriorityBoost) IofCompleteRequest((Irp), (PriorityBoost))
#define IoSizeOfIrp(StackSize) ((USHORT)(sizeof(IRP) + ((StackSize) * (sizeof(IO_STACK_LOCATION)))))
#define KeInitializeSpinLock(SpinLock) (*(SpinLock) = 0)

// The system address of the buffer an MDL describes: the mapping it already has, or a new one
// that may fail (NULL), never a bug check. Priority: an MM_PAGE_PRIORITY, optionally with
// MdlMapping* flags. The same macro as the platform's.
#define MmGetSystemAddressForMdlSafe(Mdl, Priority)                                                \
    (((Mdl)->MdlFlags & (MDL_MAPPED_TO_SYSTEM_VA | MDL_SOURCE_IS_NONPAGED_POOL))                   \
         ? (Mdl)->MappedSystemVa                                                                   \
         : MmMapLockedPagesSpecifyCache((Mdl), KernelMode, MmCached, NULL, FALSE, (Priority)))

// Stack-location operations: inline code in the platform's headers, the same here.
static inline PIO_STACK_LOCATION IoGetCurrentIrpStackLocation(PIRP Irp) {
    return Irp->Tail.Overlay.CurrentStackLocation;
}
static inline PIO_STACK_LOCATION IoGetNextIrpStackLocation(PIRP Irp) {
    return Irp->Tail.Overlay.CurrentStackLocation - 1;
}
static inline VOID IoSkipCurrentIrpStackLocation(PIRP Irp) {
    Irp->CurrentLocation++;
    Irp->Tail.Overlay.CurrentStackLocation++;
}
static inline VOID IoSetNextIrpStackLocation(PIRP Irp) {
    Irp->CurrentLocation--;
    Irp->Tail.Overlay.CurrentStackLocation--;
}
static inline VOID IoCopyCurrentIrpStackLocationToNext(PIRP Irp) {
    PIO_STACK_LOCATION current = IoGetCurrentIrpStackLocation(Irp);
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(Irp);
    __builtin_memcpy(next, current, FIELD_OFFSET(IO_STACK_LOCATION, CompletionRoutine));
    next->Control = 0;
}
static inline VOID IoSetCompletionRoutine(PIRP Irp, PIO_COMPLETION_ROUTINE CompletionRoutine,
                                          PVOID Context, BOOLEAN InvokeOnSuccess,
                                          BOOLEAN InvokeOnError, BOOLEAN InvokeOnCancel) {
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(Irp);
    next->CompletionRoutine = CompletionRoutine;
    next->Context = Context;
    next->Control = 0;
    if (InvokeOnSuccess)
        next->Control = SL_INVOKE_ON_SUCCESS;
    if (InvokeOnError)
        next->Control |= SL_INVOKE_ON_ERROR;
    if (InvokeOnCancel)
        next->Control |= SL_INVOKE_ON_CANCEL;
}
static inline VOID IoMarkIrpPending(PIRP Irp) {
    IoGetCurrentIrpStackLocation(Irp)->Control |= SL_PENDING_RETURNED;
}

// Interlocked operations: compiler intrinsics on the platform, full barriers.
static inline LONG InterlockedIncrement(LONG volatile* Addend) {
    return __atomic_add_fetch(Addend, 1, __ATOMIC_SEQ_CST);
}
static inline LONG InterlockedDecrement(LONG volatile* Addend) {
    return __atomic_sub_fetch(Addend, 1, __ATOMIC_SEQ_CST);
}
static inline LONG InterlockedExchangeAdd(LONG volatile* Addend, LONG Value) {
    return __atomic_fetch_add(Addend, Value, __ATOMIC_SEQ_CST);
}
static inline LONG InterlockedOr(LONG volatile* Destination, LONG Value) {
    return __atomic_fetch_or(Destination, Value, __ATOMIC_SEQ_CST);
}
static inline CHAR InterlockedExchange8(CHAR volatile* Target, CHAR Value) {
    return __atomic_exchange_n(Target, Value, __ATOMIC_SEQ_CST);
}

// The exchange and the compare-exchange of one width: the same two intrinsics for each.
// The type goes where parentheses could not stand.
// NOLINTBEGIN(bugprone-macro-parentheses)
#define TOVRIK_INTERLOCKED_EXCHANGES(Type, ExchangeName, CompareExchangeName)                      \
    static inline Type ExchangeName(Type volatile* Target, Type Value) {                           \
        return __atomic_exchange_n(Target, Value, __ATOMIC_SEQ_CST);                               \
    }                                                                                              \
    static inline Type CompareExchangeName(Type volatile* Destination, Type Exchange,              \
                                           Type Comparand) {                                       \
        __atomic_compare_exchange_n(Destination, &Comparand, Exchange, false, __ATOMIC_SEQ_CST,    \
                                    __ATOMIC_SEQ_CST);                                             \
        return Comparand;                                                                          \
    }
// NOLINTEND(bugprone-macro-parentheses)
TOVRIK_INTERLOCKED_EXCHANGES(LONG, InterlockedExchange, InterlockedCompareExchange)
TOVRIK_INTERLOCKED_EXCHANGES(PVOID, InterlockedExchangePointer, InterlockedCompareExchangePointer)
#undef TOVRIK_INTERLOCKED_EXCHANGES

static inline PDRIVER_CANCEL IoSetCancelRoutine(PIRP Irp, PDRIVER_CANCEL CancelRoutine) {
    return (PDRIVER_CANCEL)InterlockedExchangePointer((PVOID volatile*)&Irp->CancelRoutine,
                                                      (PVOID)CancelRoutine);
}
