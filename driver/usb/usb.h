// The USB request layer: URB submission, port requests, the command packet on pipe 0, device
// configuration and interface selection, the pipe table, and the small descriptor, pipe and
// control operations. Every routine here waits for its URB, so each runs at PASSIVE_LEVEL in the
// thread of the operation that needs it, never in a completion routine.
#pragma once

#include "frame/frame.h"

// The driver's one tunable value: the time limit of bulk and chunked transfers in milliseconds,
// shared by every device. 3000 at load; changed only by the time-limit request.
extern LONG64 BulkTimeoutMs;

// The relative wait interval, in 100-ns units, for the current BulkTimeoutMs. A zero limit gives
// an interval of 0 and a negative one a positive (absolute, long past) time: both end at once.
LARGE_INTEGER BulkTimeoutInterval(void);

// ---- Submission -----------------------------------------------------------------------------

// How long a URB sent with SubmitUrb may take: every control transfer (and the command packet
// on pipe 0) of a device that stops answering would otherwise hold its caller for ever, with
// the caller's thread unkillable. USB 2.0 gives a device at most 5 s to finish a request with a
// data stage, and WinUSB bounds the default pipe's transfers with the same 5 s.
#define USB_REQUEST_TIMEOUT_MS 5000

// Sends the URB down with IOCTL_INTERNAL_USB_SUBMIT_URB and waits for it at most
// USB_REQUEST_TIMEOUT_MS; a URB still below then is cancelled and waited for, and the result is
// STATUS_IO_TIMEOUT (its USB status, if an error, is kept as the last error). Otherwise the
// result follows one rule: a negative request status is returned as it is; otherwise a negative
// USBD status in the URB header gives STATUS_UNSUCCESSFUL. A negative USBD status is always
// remembered in LastUsbdStatus. STATUS_INSUFFICIENT_RESOURCES with nothing sent when no IRP can
// be had. The URB stays the caller's.
NTSTATUS SubmitUrb(PDEVICE_OBJECT DeviceObject, PURB Urb);

// As SubmitUrb, but waits at most BulkTimeoutMs, the caller's setting for data transfers; on
// time-out the request is cancelled and waited for, so it never returns while the URB is still
// below. Returns STATUS_TIMEOUT when the cancelled URB carries no error. With EndCommandStatus
// the end command (byte 3) goes out on pipe 0 right after the URB has been handed down, before
// the wait, and its status lands there; the caller then holds the pipe table shared.
NTSTATUS SubmitUrbWithTimeout(PDEVICE_OBJECT DeviceObject, PURB Urb, NTSTATUS* EndCommandStatus);

// Resets the port when it is connected but not enabled; returns the status of the last port
// request sent.
NTSTATUS ResetPortIfDisabled(PDEVICE_OBJECT DeviceObject);

// Resets the port unconditionally and returns the reset's status.
NTSTATUS ResetPort(PDEVICE_OBJECT DeviceObject);

// Sends the 64-byte command packet on pipe 0 (byte 0 = 3 with EndCommand, 2 otherwise) and
// returns its status; STATUS_UNSUCCESSFUL, with nothing sent, when there is no pipe 0. The
// caller's request is not touched: its Information is the data transfer's alone. The caller
// holds the pipe table shared.
NTSTATUS SendPipeZeroCommand(PDEVICE_OBJECT DeviceObject, BOOLEAN EndCommand);

#define COMMAND_PACKET_LENGTH 64
#define COMMAND_START_FRAME 2
#define COMMAND_END_FRAME 3

// ---- The pipe table ---------------------------------------------------------------------------
//
// InterfaceInfo is read by many operations at once and replaced by an interface selection. Every
// reader holds PipeTableLock shared from its lookup until it no longer uses the entry; the
// selection takes it exclusive. The waits happen at PASSIVE_LEVEL inside a critical region.

VOID PipeTableLockShared(PDEVICE_EXTENSION Extension);
// Shared, even while an interface selection waits for exclusive access (never past one that
// holds it): for removal and the aborts, which must not queue behind a selection that itself
// waits for a stuck transfer, since their abort is what ends that transfer.
VOID PipeTableLockSharedStarveExclusive(PDEVICE_EXTENSION Extension);
VOID PipeTableLockExclusive(PDEVICE_EXTENSION Extension);
VOID PipeTableUnlock(PDEVICE_EXTENSION Extension);

// The rules for a pipe index: no table gives STATUS_UNSUCCESSFUL, an index not below
// NumberOfPipes STATUS_INVALID_PARAMETER. Call with the table held.
NTSTATUS PipeByIndex(PDEVICE_EXTENSION Extension, ULONG PipeIndex, PUSBD_PIPE_INFORMATION* Pipe);

// PipeByIndex plus the rules of a data transfer: the pipe type must be bulk or interrupt (or
// isochronous when Isochronous is set), else STATUS_INVALID_PARAMETER; the handle must not be
// NULL, else STATUS_UNSUCCESSFUL.
NTSTATUS DataPipeByIndex(PDEVICE_EXTENSION Extension, ULONG PipeIndex, BOOLEAN Isochronous,
                         PUSBD_PIPE_INFORMATION* Pipe);

static inline BOOLEAN PipeIsIn(const USBD_PIPE_INFORMATION* Pipe) {
    return (Pipe->EndpointAddress & USB_ENDPOINT_DIRECTION_MASK) != 0;
}

// ---- Configuration ----------------------------------------------------------------------------

// Start-time configuration: device descriptor, configuration descriptor set, the first interface
// selected and its pipe table stored, then the firmware step (delay and, for a foreign identity,
// the download). Returns the status of the descriptor and configuration steps.
NTSTATUS ConfigureDevice(PDEVICE_OBJECT DeviceObject);
NTSTATUS ReadConfiguration(PDEVICE_OBJECT DeviceObject);
NTSTATUS SelectConfiguration(PDEVICE_OBJECT DeviceObject,
                             PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor, ULONG Length);

// The whole configuration descriptor set in a pool block the caller frees, or NULL. The set has
// been checked: wTotalLength bytes arrived and every descriptor lies within them.
PUSB_CONFIGURATION_DESCRIPTOR ReadFullConfigurationDescriptor(PDEVICE_OBJECT DeviceObject);

// Selects an interface's alternate setting and replaces the pipe table; every pipe is offered
// transfers of up to 0xFFFF bytes.
NTSTATUS SelectAlternateInterface(PDEVICE_OBJECT DeviceObject, UCHAR InterfaceNumber,
                                  UCHAR AlternateSetting);

// Puts the USB device into the unconfigured state. STATUS_NO_MEMORY when its URB cannot be
// allocated, else STATUS_SUCCESS whatever the bus said. The stored table stays.
NTSTATUS DeconfigureDevice(PDEVICE_OBJECT DeviceObject);

// Checks a configuration descriptor set of Received bytes before anyone parses it.
BOOLEAN ConfigurationSetIsSound(const USB_CONFIGURATION_DESCRIPTOR* Set, ULONG Received);

// ---- Descriptor, pipe and control requests ----------------------------------------------------

// Reads a descriptor into Buffer: the transfer's status (SubmitUrb's rule, or
// STATUS_INSUFFICIENT_RESOURCES without pool for its URB); *Received gets the bytes that came
// (never more than Length), 0 on failure. A NULL buffer sends nothing and succeeds with 0 bytes.
NTSTATUS GetDescriptor(PDEVICE_OBJECT DeviceObject, PVOID Buffer, ULONG Length,
                       UCHAR DescriptorType, ULONG* Received);
NTSTATUS GetStringDescriptor(PDEVICE_OBJECT DeviceObject, UCHAR Index, USHORT LanguageId,
                             PVOID Buffer, ULONG Length, ULONG* Received);

// A class or vendor request described by the 10-byte record in the request's system buffer; the
// data stage uses the request's output buffer through its MDL. Sets Information on success.
NTSTATUS SendClassOrVendorRequest(PDEVICE_OBJECT DeviceObject, PIRP Irp);

// A vendor device request described by the 10-byte record at Record; a device-to-host request
// receives its data over the record. Returns the transfer's status (SubmitUrb's rule);
// *Received gets the bytes a successful device-to-host request received, else 0.
// RecordBufferLength is the size of the buffer that holds the record.
NTSTATUS SendVendorDeviceRequest(PDEVICE_OBJECT DeviceObject, PUCHAR Record,
                                 ULONG RecordBufferLength, ULONG* Received);

NTSTATUS ResetPipe(PDEVICE_OBJECT DeviceObject, ULONG PipeIndex);
NTSTATUS AbortPipe(PDEVICE_OBJECT DeviceObject, USBD_PIPE_HANDLE PipeHandle);
// The pipe-table rules, then AbortPipe on that pipe's handle.
NTSTATUS AbortPipeByIndex(PDEVICE_OBJECT DeviceObject, ULONG PipeIndex);
// The current frame number, 0 on any failure.
ULONG GetCurrentFrameNumber(PDEVICE_OBJECT DeviceObject);
NTSTATUS SetDeviceFeature(PDEVICE_OBJECT DeviceObject, USHORT FeatureSelector, USHORT Index);

// Readies an IRP of our own to carry Urb to the lower driver: its next stack location becomes an
// IOCTL_INTERNAL_USB_SUBMIT_URB request with the URB as Argument1, and Routine is called with
// Context on success, error and cancel alike. The caller then passes the IRP down.
VOID PrepareSubmitUrbRequest(PIRP Irp, PURB Urb, PIO_COMPLETION_ROUTINE Routine, PVOID Context);

// Allocates a zero-filled URB block of Size bytes with Length and Function set in its header.
PURB AllocateUrb(ULONG Size, USHORT Function);
