// Data transfer: single bulk and interrupt transfers, chunked large transfers, one-shot
// isochronous transfers and the continuous isochronous stream.
//
// Every operation here is called by the device control dispatch in the caller's thread at
// PASSIVE_LEVEL, inside the I/O gate, and never completes the caller's request. The completion
// routines (pieces, isochronous slots, stream slots) run at up to DISPATCH_LEVEL in any thread;
// they never wait and never allocate.
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
NTSTATUS BulkTransfer(PDEVICE_OBJECT DeviceObject, PIRP Irp);

// One large transfer cut into pieces of at most 64 KiB, all handed down at once as partial MDLs
// over the caller's buffer, framed by the command packets. Chunked transfers of one device run
// one at a time. Returns only after every piece handed down has come back.
NTSTATUS ChunkedTransfer(PDEVICE_OBJECT DeviceObject, PIRP Irp);

// One bounded isochronous transfer: N URBs kept below at once and resubmitted from their
// completion until every packet has moved; data straight into the caller's buffer, then the
// packet descriptors after it.
NTSTATUS IsoTransfer(PDEVICE_OBJECT DeviceObject, PIRP Irp);

// Starts the continuous isochronous stream; returns at once with its URBs running.
// STATUS_DEVICE_BUSY while a stream exists.
NTSTATUS StartIsoStream(PDEVICE_OBJECT DeviceObject, PIRP Irp);

// Drains up to PacketCount packets of PacketSize data bytes and their descriptors into Output
// (PacketCount × (PacketSize + 12) bytes). *Written receives the bytes written. Read requests of
// one device run one at a time. STATUS_UNSUCCESSFUL when no stream exists.
NTSTATUS ReadIsoStream(PDEVICE_OBJECT DeviceObject, ULONG PacketSize, ULONG PacketCount,
                       PUCHAR Output, ULONG* Written);

// Asks the stream to end: every slot ends at its next completion. Does not wait.
VOID RequestStreamStop(PDEVICE_OBJECT DeviceObject);

// Ends the stream and returns once it is gone: asks it to stop, aborts its pipe so the URBs below
// come back now, and waits for the last slot, repeating the abort for a URB sent past it. At most
// STREAM_STOP_ATTEMPTS × STREAM_STOP_WAIT_MS; STATUS_IO_TIMEOUT when the stream is still draining
// then. STATUS_SUCCESS when no stream exists. Runs at PASSIVE_LEVEL without the pipe table held.
NTSTATUS StopIsoStream(PDEVICE_OBJECT DeviceObject);
#define STREAM_STOP_ATTEMPTS 5
#define STREAM_STOP_WAIT_MS 1000

// TRUE while a stream exists whose URBs go to the pipe with this index.
BOOLEAN StreamUsesPipe(PDEVICE_OBJECT DeviceObject, ULONG PipeIndex);

// Waits until no stream exists. Used by removal after it has closed the gate.
VOID WaitForStreamEnd(PDEVICE_OBJECT DeviceObject);

// Per-device state of this folder, initialised when the device object is created.
VOID InitializeTransferState(PDEVICE_OBJECT DeviceObject);
