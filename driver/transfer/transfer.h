// Data transfer: single bulk and interrupt transfers, chunked large transfers, one-shot
// isochronous transfers and the continuous isochronous stream.
//
// Every operation here is called by the device control dispatch in the caller's thread at
// PASSIVE_LEVEL, inside the I/O gate, and never completes the caller's request; each starts with
// PAGED_CODE(). The completion routines (pieces, isochronous slots, stream slots) run at up to
// DISPATCH_LEVEL in any thread; they never wait and never allocate, and they and everything they
// call start with NONPAGED_CODE().
#pragma once

#include "frame/frame.h"
#include "tovrik/tovrik.h"
#include "transfer/ring.h"

// Largest piece of a chunked transfer.
#define CHUNK_SIZE 0x10000
// Most packets one isochronous URB may carry at high speed.
#define ISO_MAX_PACKETS_PER_URB TOVRIK_ISO_MAX_PACKETS_PER_URB
// Most URBs one isochronous transfer or stream keeps below (one IRP and URB each).
#define ISO_MAX_URBS TOVRIK_ISO_MAX_URBS
// Bytes of one packet descriptor as the USB stack returns it.
#define ISO_DESCRIPTOR_SIZE 12

// One bulk or interrupt transfer covering the caller's whole buffer, in place through its MDL.
// An IN transfer on pipe 2 is framed by the start and end command packets. Limited in time by
// BulkTimeoutMs. Sets Information to the bytes moved on a status that is not negative.
_IRQL_requires_max_(PASSIVE_LEVEL) _Must_inspect_result_ NTSTATUS
    BulkTransfer(_In_ PDEVICE_OBJECT DeviceObject, _Inout_ PIRP Irp);

// One large transfer cut into pieces of at most 64 KiB, all handed down at once as partial MDLs
// over the caller's buffer, framed by the command packets. Chunked transfers of one device run
// one at a time. Returns only after every piece handed down has come back.
_IRQL_requires_max_(PASSIVE_LEVEL) _Must_inspect_result_ NTSTATUS
    ChunkedTransfer(_In_ PDEVICE_OBJECT DeviceObject, _Inout_ PIRP Irp);

// One bounded isochronous transfer: N URBs kept below at once and resubmitted from their
// completion until every packet has moved; data straight into the caller's buffer, then the
// packet descriptors after it.
_IRQL_requires_max_(PASSIVE_LEVEL) _Must_inspect_result_ NTSTATUS
    IsoTransfer(_In_ PDEVICE_OBJECT DeviceObject, _Inout_ PIRP Irp);

// Starts the continuous isochronous stream; returns at once with its URBs running.
// STATUS_DEVICE_BUSY while a stream exists.
_IRQL_requires_max_(PASSIVE_LEVEL) _Must_inspect_result_ NTSTATUS
    StartIsoStream(_In_ PDEVICE_OBJECT DeviceObject, _Inout_ PIRP Irp);

// Drains up to PacketCount packets of PacketSize data bytes and their descriptors into Output
// (PacketCount × (PacketSize + 12) bytes). *Written receives the bytes written. Read requests of
// one device run one at a time. STATUS_UNSUCCESSFUL when no stream exists.
_IRQL_requires_max_(PASSIVE_LEVEL) _Must_inspect_result_ NTSTATUS
    ReadIsoStream(_In_ PDEVICE_OBJECT DeviceObject, _In_ ULONG PacketSize, _In_ ULONG PacketCount,
                  _Out_writes_bytes_to_(PacketCount*(PacketSize + ISO_DESCRIPTOR_SIZE), *Written)
                      PUCHAR Output,
                  _Out_ ULONG* Written);

// Asks the stream to end: every slot ends at its next completion. Does not wait.
_IRQL_requires_max_(DISPATCH_LEVEL) VOID RequestStreamStop(_In_ PDEVICE_OBJECT DeviceObject);

// Ends the stream and returns once it is gone: asks it to stop, aborts its pipe so the URBs below
// come back now, and waits for the last slot, repeating the abort for a URB sent past it. At most
// STREAM_STOP_ATTEMPTS × STREAM_STOP_WAIT_MS; STATUS_IO_TIMEOUT when the stream is still draining
// then. STATUS_SUCCESS when no stream exists. Runs at PASSIVE_LEVEL without the pipe table held.
// (Not _Must_inspect_result_: the last handle's close stops what it can and goes on.)
_IRQL_requires_max_(PASSIVE_LEVEL) NTSTATUS StopIsoStream(_In_ PDEVICE_OBJECT DeviceObject);
#define STREAM_STOP_ATTEMPTS 5
#define STREAM_STOP_WAIT_MS 1000

// TRUE while a stream exists whose URBs go to the pipe with this index.
_IRQL_requires_max_(DISPATCH_LEVEL) _Must_inspect_result_ BOOLEAN
    StreamUsesPipe(_In_ PDEVICE_OBJECT DeviceObject, _In_ ULONG PipeIndex);

// Waits until no stream exists. Used by removal after it has closed the gate.
_IRQL_requires_max_(PASSIVE_LEVEL) VOID WaitForStreamEnd(_In_ PDEVICE_OBJECT DeviceObject);

// Per-device state of this folder, initialised when the device object is created.
_IRQL_requires_max_(PASSIVE_LEVEL) VOID InitializeTransferState(_In_ PDEVICE_OBJECT DeviceObject);
