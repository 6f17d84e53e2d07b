// The driver frame: the per-device record, the I/O gate, and the routines the platform calls.
//
// Every other folder of the driver reaches a device's state through DEVICE_EXTENSION, declared
// here, and enters and leaves the I/O gate through IoGateEnter and IoGateLeave.
#pragma once

#include "platform/kernel.h"

struct _BYTE_RING;
struct _CHUNK_CONTEXT;
struct _ISO_TRANSFER;

// The one per-device record. The platform allocates it zero-filled as the extension of the
// device object and frees it when RemoveDevice deletes that object.
typedef struct _DEVICE_EXTENSION {
    PDEVICE_OBJECT PhysicalDeviceObject;
    // Target of every request the driver sends down; valid from AddDevice until RemoveDevice
    // detaches it.
    PDEVICE_OBJECT LowerDeviceObject;
    // TRUE once a start has ended with STATUS_SUCCESS; never cleared. Opens are refused until then.
    BOOLEAN Started;
    // TRUE while the symbolic link exists, so that RemoveDevice deletes exactly what was created.
    BOOLEAN LinkCreated;
    USBD_CONFIGURATION_HANDLE ConfigurationHandle;
    PUSB_DEVICE_DESCRIPTOR DeviceDescriptor;
    // The pipe table of the selected interface, a pool copy as long as its own Length says.
    PUSBD_INTERFACE_INFORMATION InterfaceInfo;
    ULONG OpenCount;
    WCHAR SymbolicLinkName[26];
    // The most recent negative USBD status of a URB sent through the submission routines.
    LONG LastUsbdStatus;
    // The I/O gate: 1 for the device itself plus one per admitted request.
    LONG IoCount;
    KEVENT NoIoEvent;
    BOOLEAN RemovePending;
    BOOLEAN StreamStopRequested;
    struct _BYTE_RING* StreamDataRing;
    struct _BYTE_RING* StreamPacketRing;
    ULONG ChunksOutstanding;
    ULONG ChunkedBytesDone;
    struct _CHUNK_CONTEXT* ChunkContexts;
    KSPIN_LOCK ChunkLock;
    KEVENT ChunkDoneEvent;
    // A piece of the current chunked transfer failed on the bus; the first failure also sets
    // ChunkDoneEvent, so that the pieces behind it are ended at once (under ChunkLock).
    BOOLEAN ChunkPieceFailed;
    // Separates every reader of InterfaceInfo (shared) from the interface selection that frees
    // and replaces it (exclusive). Initialised with the device object, deleted with it.
    ERESOURCE PipeTableLock;
    // Chunked transfers share the fields above, so they run one at a time (a synchronization
    // event used as a lock, held for the whole transfer).
    KEVENT ChunkedTransferLock;
    // The running stream, NULL when none. Changed and taken (with a reference) under StreamLock,
    // which guards nothing else; the ring fields above change with it.
    struct _ISO_TRANSFER* Stream;
    // TRUE from the moment the stream is taken out of Stream until its memory has been given
    // back (the last reference may be a reader's): until then a stream still exists.
    BOOLEAN StreamReleasing;
    KSPIN_LOCK StreamLock;
    // Starts and stops of the stream run one at a time, and so do its reads.
    KEVENT StreamStartLock;
    KEVENT StreamReadLock;
    // Signalled while no stream exists; set and cleared only under StreamLock. Removal waits on
    // it before the device object goes; a stop waits on it before it returns.
    KEVENT StreamEndedEvent;
} DEVICE_EXTENSION, *PDEVICE_EXTENSION;

static inline PDEVICE_EXTENSION DeviceExtensionOf(PDEVICE_OBJECT DeviceObject) {
    return (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
}

// TRUE while a stream exists (running or draining). Its slots keep URBs on a pipe of the current
// pipe table, so the table may not be replaced meanwhile.
_IRQL_requires_max_(DISPATCH_LEVEL) _Must_inspect_result_ static inline BOOLEAN
    StreamExists(_In_ PDEVICE_EXTENSION Extension) {
    NONPAGED_CODE();
    KIRQL oldIrql = KeAcquireSpinLockRaiseToDpc(&Extension->StreamLock);
    BOOLEAN exists = Extension->Stream != NULL || Extension->StreamReleasing;
    KeReleaseSpinLock(&Extension->StreamLock, oldIrql);
    return exists;
}

// Device numbers run from 0 to 31; the number is the last character of both names.
#define TOVRIK_MAX_DEVICES 32

// The number of name slots the most recent AddDevice of the whole driver tried: the created
// device's number + 1, or 32 when every number failed. Read at start for the firmware delay.
extern LONG DeviceSlotsTried;

// I/O gate. IoGateEnter returns TRUE when the request is admitted and counted; the caller then
// calls IoGateLeave exactly once. FALSE means the device is being removed and nothing is owed.
// Both may run at any IRQL up to DISPATCH_LEVEL.
_IRQL_requires_max_(DISPATCH_LEVEL) _Must_inspect_result_ BOOLEAN
    IoGateEnter(_In_ PDEVICE_OBJECT DeviceObject);
_IRQL_requires_max_(DISPATCH_LEVEL) VOID IoGateLeave(_In_ PDEVICE_OBJECT DeviceObject);

// Completes a request with a status and Information, no priority boost, and returns the status.
// The driver never pends a request of its own: Status is never STATUS_PENDING.
_IRQL_requires_max_(DISPATCH_LEVEL) NTSTATUS
    CompleteRequest(_Inout_ PIRP Irp, _In_ NTSTATUS Status, _In_ ULONG_PTR Information);

// The routines the platform calls. The I/O manager and the PnP manager send create, close, device
// control and PnP requests at PASSIVE_LEVEL; power requests come at PASSIVE_LEVEL too, since
// AddDevice sets DO_POWER_PAGABLE, but DispatchPower does nothing that needs it.
extern "C" _IRQL_requires_(PASSIVE_LEVEL) DRIVER_INITIALIZE DriverEntry;
_IRQL_requires_(PASSIVE_LEVEL) DRIVER_UNLOAD Unload;
_IRQL_requires_(PASSIVE_LEVEL) DRIVER_ADD_DEVICE AddDevice;
_Dispatch_type_(IRP_MJ_CREATE) _IRQL_requires_(PASSIVE_LEVEL) DRIVER_DISPATCH DispatchCreate;
_Dispatch_type_(IRP_MJ_CLOSE) _IRQL_requires_(PASSIVE_LEVEL) DRIVER_DISPATCH DispatchClose;
_Dispatch_type_(IRP_MJ_POWER) _IRQL_requires_max_(DISPATCH_LEVEL) DRIVER_DISPATCH DispatchPower;
_Dispatch_type_(IRP_MJ_PNP) _IRQL_requires_(PASSIVE_LEVEL) DRIVER_DISPATCH DispatchPnp;

// Takes a request back from the lower drivers for the thread that waits on the event in Context:
// sets the event and keeps the request (STATUS_MORE_PROCESSING_REQUIRED, always). ForwardAndWait's
// dispatch routine then completes the request; SubmitUrb's waiting thread frees its own. Runs at
// up to DISPATCH_LEVEL in any thread.
IO_COMPLETION_ROUTINE ForwardCompletion;

// Creates device object DeviceNumber with its name and link (AddDevice's loop over the numbers).
_IRQL_requires_(PASSIVE_LEVEL) _Must_inspect_result_ NTSTATUS
    CreateDeviceObject(_In_ PDRIVER_OBJECT DriverObject, _Out_ PDEVICE_OBJECT* DeviceObject,
                       _In_ ULONG DeviceNumber);

// Frees a pool block if one was taken: for the paths that took several blocks and got only some,
// and for blocks that exist only in some cases.
static inline VOID FreePoolIfAllocated(_In_opt_ PVOID Block) {
    if (Block != NULL) {
        ExFreePool(Block);
    }
}

// Request records from user software are little-endian and may sit at any alignment.
static inline USHORT ReadUshortLe(const UCHAR* Bytes) {
    return (USHORT)(Bytes[0] | (Bytes[1] << 8));
}
static inline ULONG ReadUlongLe(const UCHAR* Bytes) {
    return (ULONG)Bytes[0] | ((ULONG)Bytes[1] << 8) | ((ULONG)Bytes[2] << 16) |
           ((ULONG)Bytes[3] << 24);
}

// TRUE when the request's output buffer was locked for reading only: the platform probes and
// locks the output buffer of a METHOD_IN_DIRECT request for read access, so the caller may have
// passed memory it cannot write itself (a read-only file mapping, a shared image). Not a byte of
// such a buffer may be written.
static inline BOOLEAN OutputBufferIsReadOnly(PIRP Irp) {
    ULONG code = IoGetCurrentIrpStackLocation(Irp)->Parameters.DeviceIoControl.IoControlCode;
    return (code & 3) == METHOD_IN_DIRECT;
}

// The system address of a request's locked buffer: its mapping when it has one (or was built for
// non-paged pool), else a new system mapping, no-execute, and read-only for a buffer the platform
// locked for reading only. NULL when the pages cannot be mapped: the form of the mapping routine
// that can fail, since the other one stops the machine when the system runs out of address space.
_IRQL_requires_max_(DISPATCH_LEVEL) _Must_inspect_result_ static inline PVOID
    RequestBufferAddress(_In_ PIRP Irp) {
    NONPAGED_CODE();
    ULONG priority = NormalPagePriority | MdlMappingNoExecute |
                     (OutputBufferIsReadOnly(Irp) ? MdlMappingNoWrite : 0);
    return MmGetSystemAddressForMdlSafe(Irp->MdlAddress, priority);
}
