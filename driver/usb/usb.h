// The USB request layer: URB submission, port requests, the command packet on pipe 0, device
// configuration and interface selection, the pipe table, and the small descriptor, pipe and
// control operations. Every routine here that sends something waits for it, so each runs at
// PASSIVE_LEVEL in the thread of the operation that needs it, never in a completion routine; only
// the two URB builders at the end (and the time-limit interval) may run at DISPATCH_LEVEL.
#pragma once

#include "frame/frame.h"

// The driver's one tunable value: the time limit of bulk and chunked transfers in milliseconds,
// shared by every device. 3000 at load; changed only by the time-limit request.
extern LONG64 BulkTimeoutMs;

// The relative wait interval, in 100-ns units, for the current BulkTimeoutMs. A zero limit gives
// an interval of 0 and a negative one a positive (absolute, long past) time: both end at once.
_IRQL_requires_max_(DISPATCH_LEVEL) LARGE_INTEGER BulkTimeoutInterval(void);

// ---- Submission -----------------------------------------------------------------------------

// How long a URB sent with SubmitUrb may take: every control transfer (and the command packet
// on pipe 0) of a device that stops answering would otherwise hold its caller for ever, with
// the caller's thread unkillable. USB 2.0 gives a device at most 5 s to finish a request with a
// data stage, and WinUSB bounds the default pipe's transfers with the same 5 s.
#define USB_REQUEST_TIMEOUT_MS 5000

// The most a control transfer's data stage holds (its setup packet's wLength is 16 bits). A
// descriptor read into a larger buffer asks for this much and gets the same descriptor.
#define CONTROL_TRANSFER_MAX_LENGTH 0xFFFF

// Sends the URB down with IOCTL_INTERNAL_USB_SUBMIT_URB and waits for it at most
// USB_REQUEST_TIMEOUT_MS; a URB still below then is cancelled and waited for, and the result is
// STATUS_IO_TIMEOUT (its USB status, if an error, is kept as the last error). Otherwise the
// result follows one rule: a negative request status is returned as it is; otherwise a negative
// USBD status in the URB header gives STATUS_UNSUCCESSFUL. A negative USBD status is always
// remembered in LastUsbdStatus. STATUS_INSUFFICIENT_RESOURCES with nothing sent when no IRP can
// be had. The URB stays the caller's. (Not _Must_inspect_result_: unconfiguring the device and
// the first of the two CPU control writes go on whatever the device answered.)
_IRQL_requires_max_(PASSIVE_LEVEL) NTSTATUS
    SubmitUrb(_In_ PDEVICE_OBJECT DeviceObject, _Inout_ PURB Urb);

// As SubmitUrb, but waits at most BulkTimeoutMs, the caller's setting for data transfers; on
// time-out the request is cancelled and waited for, so it never returns while the URB is still
// below. Returns STATUS_TIMEOUT when the cancelled URB carries no error. With EndCommandStatus
// the end command (byte 3) goes out on pipe 0 right after the URB has been handed down, before
// the wait, and its status lands there; the caller then holds the pipe table shared.
_IRQL_requires_max_(PASSIVE_LEVEL) _Must_inspect_result_ NTSTATUS
    SubmitUrbWithTimeout(_In_ PDEVICE_OBJECT DeviceObject, _Inout_ PURB Urb,
                         _Out_opt_ NTSTATUS* EndCommandStatus);

// Resets the port when it is connected but not enabled; returns the status of the last port
// request sent.
_IRQL_requires_max_(PASSIVE_LEVEL) NTSTATUS ResetPortIfDisabled(_In_ PDEVICE_OBJECT DeviceObject);

// Resets the port unconditionally and returns the reset's status.
_IRQL_requires_max_(PASSIVE_LEVEL) _Must_inspect_result_ NTSTATUS
    ResetPort(_In_ PDEVICE_OBJECT DeviceObject);

// Sends the 64-byte command packet on pipe 0 (byte 0 = 3 with EndCommand, 2 otherwise) and
// returns its status; STATUS_UNSUCCESSFUL, with nothing sent, when there is no pipe 0. The
// caller's request is not touched: its Information is the data transfer's alone. The caller
// holds the pipe table shared.
_IRQL_requires_max_(PASSIVE_LEVEL) _Must_inspect_result_
    _Requires_lock_held_(DeviceExtensionOf(DeviceObject)->PipeTableLock) NTSTATUS
    SendPipeZeroCommand(_In_ PDEVICE_OBJECT DeviceObject, _In_ BOOLEAN EndCommand);

#define COMMAND_PACKET_LENGTH 64
#define COMMAND_START_FRAME 2
#define COMMAND_END_FRAME 3

// ---- The pipe table ---------------------------------------------------------------------------
//
// InterfaceInfo is read by many operations at once and replaced by an interface selection. Every
// reader holds PipeTableLock shared from its lookup until it no longer uses the entry; the
// selection takes it exclusive. The waits happen at PASSIVE_LEVEL inside a critical region, which
// each lock routine enters and PipeTableUnlock leaves.

_IRQL_requires_max_(APC_LEVEL) _Acquires_lock_(_Global_critical_region_)
    _Acquires_shared_lock_(Extension->PipeTableLock) VOID
    PipeTableLockShared(_Inout_ PDEVICE_EXTENSION Extension);
// Shared, even while an interface selection waits for exclusive access (never past one that
// holds it): for removal and the aborts, which must not queue behind a selection that itself
// waits for a stuck transfer, since their abort is what ends that transfer.
_IRQL_requires_max_(APC_LEVEL) _Acquires_lock_(_Global_critical_region_)
    _Acquires_shared_lock_(Extension->PipeTableLock) VOID
    PipeTableLockSharedStarveExclusive(_Inout_ PDEVICE_EXTENSION Extension);
_IRQL_requires_max_(APC_LEVEL) _Acquires_lock_(_Global_critical_region_)
    _Acquires_exclusive_lock_(Extension->PipeTableLock) VOID
    PipeTableLockExclusive(_Inout_ PDEVICE_EXTENSION Extension);
_IRQL_requires_max_(APC_LEVEL) _Releases_lock_(_Global_critical_region_)
    _Releases_lock_(Extension->PipeTableLock) VOID
    PipeTableUnlock(_Inout_ PDEVICE_EXTENSION Extension);

// The rules for a pipe index: no table gives STATUS_UNSUCCESSFUL, an index not below
// NumberOfPipes STATUS_INVALID_PARAMETER. Call with the table held.
_IRQL_requires_max_(APC_LEVEL)
    _Requires_lock_held_(Extension->PipeTableLock) _Must_inspect_result_ NTSTATUS
    PipeByIndex(_In_ PDEVICE_EXTENSION Extension, _In_ ULONG PipeIndex,
                _Outptr_result_maybenull_ PUSBD_PIPE_INFORMATION* Pipe);

// PipeByIndex plus the rules of a data transfer: the pipe type must be bulk or interrupt (or
// isochronous when Isochronous is set), else STATUS_INVALID_PARAMETER; the handle must not be
// NULL, else STATUS_UNSUCCESSFUL.
_IRQL_requires_max_(APC_LEVEL)
    _Requires_lock_held_(Extension->PipeTableLock) _Must_inspect_result_ NTSTATUS
    DataPipeByIndex(_In_ PDEVICE_EXTENSION Extension, _In_ ULONG PipeIndex,
                    _In_ BOOLEAN Isochronous,
                    _Outptr_result_maybenull_ PUSBD_PIPE_INFORMATION* Pipe);

static inline BOOLEAN PipeIsIn(const USBD_PIPE_INFORMATION* Pipe) {
    return (Pipe->EndpointAddress & USB_ENDPOINT_DIRECTION_MASK) != 0;
}

// ---- Configuration ----------------------------------------------------------------------------

// Start-time configuration: device descriptor, configuration descriptor set, the first interface
// selected and its pipe table stored, then the firmware step (delay and, for a foreign identity,
// the download). Returns the status of the descriptor and configuration steps.
_IRQL_requires_max_(PASSIVE_LEVEL) _Must_inspect_result_ NTSTATUS
    ConfigureDevice(_In_ PDEVICE_OBJECT DeviceObject);
_IRQL_requires_max_(PASSIVE_LEVEL) _Must_inspect_result_ NTSTATUS
    ReadConfiguration(_In_ PDEVICE_OBJECT DeviceObject);
_IRQL_requires_max_(PASSIVE_LEVEL) _Must_inspect_result_ NTSTATUS
    SelectConfiguration(_In_ PDEVICE_OBJECT DeviceObject,
                        _In_reads_bytes_(Length)
                            PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor,
                        _In_ ULONG Length);

// The whole configuration descriptor set in a pool block the caller frees, or NULL. The set has
// been checked: wTotalLength bytes arrived and every descriptor lies within them.
_IRQL_requires_max_(PASSIVE_LEVEL) _Must_inspect_result_ PUSB_CONFIGURATION_DESCRIPTOR
    ReadFullConfigurationDescriptor(_In_ PDEVICE_OBJECT DeviceObject);

// Selects an interface's alternate setting and replaces the pipe table; every pipe is offered
// transfers of up to 0xFFFF bytes.
_IRQL_requires_max_(PASSIVE_LEVEL) _Must_inspect_result_ NTSTATUS
    SelectAlternateInterface(_In_ PDEVICE_OBJECT DeviceObject, _In_ UCHAR InterfaceNumber,
                             _In_ UCHAR AlternateSetting);

// Puts the USB device into the unconfigured state. STATUS_NO_MEMORY when its URB cannot be
// allocated, else STATUS_SUCCESS whatever the bus said. The stored table stays.
_IRQL_requires_max_(PASSIVE_LEVEL) _Must_inspect_result_ NTSTATUS
    DeconfigureDevice(_In_ PDEVICE_OBJECT DeviceObject);

// Checks a configuration descriptor set of Received bytes before anyone parses it.
_Must_inspect_result_ BOOLEAN ConfigurationSetIsSound(_In_reads_bytes_(Received)
                                                          const USB_CONFIGURATION_DESCRIPTOR* Set,
                                                      _In_ ULONG Received);

// ---- Descriptor, pipe and control requests ----------------------------------------------------

// Reads a descriptor into Buffer: the transfer's status (SubmitUrb's rule, or
// STATUS_INSUFFICIENT_RESOURCES without pool for its URB); *Received gets the bytes that came
// (never more than Length), 0 on failure. A NULL buffer sends nothing and succeeds with 0 bytes.
_IRQL_requires_max_(PASSIVE_LEVEL) _Must_inspect_result_ NTSTATUS
    GetDescriptor(_In_ PDEVICE_OBJECT DeviceObject,
                  _Out_writes_bytes_to_opt_(Length, *Received) PVOID Buffer, _In_ ULONG Length,
                  _In_ UCHAR DescriptorType, _Out_ ULONG* Received);
_IRQL_requires_max_(PASSIVE_LEVEL) _Must_inspect_result_ NTSTATUS
    GetStringDescriptor(_In_ PDEVICE_OBJECT DeviceObject, _In_ UCHAR Index, _In_ USHORT LanguageId,
                        _Out_writes_bytes_to_opt_(Length, *Received) PVOID Buffer,
                        _In_ ULONG Length, _Out_ ULONG* Received);

// A class or vendor request described by the 10-byte record in the request's system buffer; the
// data stage uses the request's output buffer through its MDL. Sets Information on success.
_IRQL_requires_max_(PASSIVE_LEVEL) _Must_inspect_result_ NTSTATUS
    SendClassOrVendorRequest(_In_ PDEVICE_OBJECT DeviceObject, _Inout_ PIRP Irp);

// A vendor device request described by the 10-byte record at Record; a device-to-host request
// receives its data over the record. Returns the transfer's status (SubmitUrb's rule);
// *Received gets the bytes a successful device-to-host request received, else 0.
// RecordBufferLength is the size of the buffer that holds the record.
_IRQL_requires_max_(PASSIVE_LEVEL) _Must_inspect_result_ NTSTATUS
    SendVendorDeviceRequest(_In_ PDEVICE_OBJECT DeviceObject,
                            _Inout_updates_bytes_(RecordBufferLength) PUCHAR Record,
                            _In_ ULONG RecordBufferLength, _Out_ ULONG* Received);

_IRQL_requires_max_(PASSIVE_LEVEL) _Must_inspect_result_ NTSTATUS
    ResetPipe(_In_ PDEVICE_OBJECT DeviceObject, _In_ ULONG PipeIndex);
// Not _Must_inspect_result_: removal and a stream's stop abort what they can and go on.
_IRQL_requires_max_(PASSIVE_LEVEL) NTSTATUS
    AbortPipe(_In_ PDEVICE_OBJECT DeviceObject, _In_ USBD_PIPE_HANDLE PipeHandle);
// The pipe-table rules, then AbortPipe on that pipe's handle.
_IRQL_requires_max_(PASSIVE_LEVEL) _Must_inspect_result_ NTSTATUS
    AbortPipeByIndex(_In_ PDEVICE_OBJECT DeviceObject, _In_ ULONG PipeIndex);
// The current frame number, 0 on any failure.
_IRQL_requires_max_(PASSIVE_LEVEL) _Must_inspect_result_ ULONG
    GetCurrentFrameNumber(_In_ PDEVICE_OBJECT DeviceObject);
_IRQL_requires_max_(PASSIVE_LEVEL) _Must_inspect_result_ NTSTATUS
    SetDeviceFeature(_In_ PDEVICE_OBJECT DeviceObject, _In_ USHORT FeatureSelector,
                     _In_ USHORT Index);

// Readies an IRP of our own to carry Urb to the lower driver: its next stack location becomes an
// IOCTL_INTERNAL_USB_SUBMIT_URB request with the URB as Argument1, and Routine is called with
// Context on success, error and cancel alike. The caller then passes the IRP down. Completion
// routines use it to send a slot's URB again.
_IRQL_requires_max_(DISPATCH_LEVEL) VOID
    PrepareSubmitUrbRequest(_Inout_ PIRP Irp, _In_ PURB Urb, _In_ PIO_COMPLETION_ROUTINE Routine,
                            _In_opt_ PVOID Context);

// Allocates a zero-filled URB block of Size bytes with Length and Function set in its header;
// NULL when there is no pool.
_IRQL_requires_max_(DISPATCH_LEVEL) _Must_inspect_result_ __drv_allocatesMem(Mem)
PURB AllocateUrb(_In_ ULONG Size, _In_ USHORT Function);
