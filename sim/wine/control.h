// The private control interface of the simulated USB bus that runs under Wine's kernel
// (usbsim.sys), shared by the bus and by its control tool (usbsim.exe).
//
// The bus is a legacy kernel service. Besides its PDOs (one per plugged camera) it creates one
// control device, \Device\UsbSimControl with the link \DosDevices\UsbSim, which user mode opens
// as \\.\UsbSim and drives with the buffered requests below. Every request is served at once,
// in the caller's thread; none is ever left pending. Records are little-endian, packed as laid
// out (every field is naturally aligned), and the same in both builds since both are mingw-w64
// builds for x64.
//
// The requests change the bus the way hands change a real one: a camera is plugged into a port
// (arriving without firmware, "foreign", or running its program, "own"), pulled out (a surprise
// removal: whatever is pending ends with USBD_STATUS_DEVICE_GONE), plugged back; faults are armed
// on a port as the host-kernel bus arms them (FaultRule there).
#pragma once

#include <stdint.h>

// CTL_CODE(FILE_DEVICE_UNKNOWN, function, METHOD_BUFFERED, FILE_ANY_ACCESS), spelled out so the
// header needs neither the DDK nor windows.h.
#define USBSIM_CTL_CODE(function) ((0x22u << 16) | ((uint32_t)(function) << 2))

// Out: USBSIM_STATE.
#define IOCTL_USBSIM_QUERY USBSIM_CTL_CODE(0x900)
// In: USBSIM_PLUG. Out: USBSIM_PORT_REQUEST (the port it went to).
#define IOCTL_USBSIM_PLUG USBSIM_CTL_CODE(0x901)
// In: USBSIM_PORT_REQUEST.
#define IOCTL_USBSIM_UNPLUG USBSIM_CTL_CODE(0x902)
// In: USBSIM_FAULT.
#define IOCTL_USBSIM_ADD_FAULT USBSIM_CTL_CODE(0x903)
// In: USBSIM_PORT_REQUEST.
#define IOCTL_USBSIM_CLEAR_FAULTS USBSIM_CTL_CODE(0x904)
// In: USBSIM_COUNTERS_REQUEST. Out: USBSIM_COUNTERS.
#define IOCTL_USBSIM_COUNTERS USBSIM_CTL_CODE(0x905)
// In: USBSIM_CAPTURE (a file name): every URB from now on goes to that pcap file (USBPcap). An
// empty name ends the capture: what is queued is written and the file closed.
#define IOCTL_USBSIM_CAPTURE USBSIM_CTL_CODE(0x906)
// No buffers: writes everything captured so far to the file before it returns.
#define IOCTL_USBSIM_FLUSH USBSIM_CTL_CODE(0x907)

#define USBSIM_USER_PATH L"\\\\.\\UsbSim"
#define USBSIM_MAX_PORTS 8u
// Any free port (USBSIM_PLUG.Port).
#define USBSIM_ANY_PORT 0xFFFFFFFFu

enum USBSIM_IDENTITY {
    USBSIM_IDENTITY_FOREIGN = 0, // powers on held in reset: the chip's own identity, no program
    USBSIM_IDENTITY_OWN = 1,     // powers on running the camera program (0x5A17/0x0E15)
};

typedef struct USBSIM_PLUG {
    uint32_t Port; // a port that has no camera, or USBSIM_ANY_PORT for the lowest free one
    uint32_t Identity;
} USBSIM_PLUG;

typedef struct USBSIM_PORT_REQUEST {
    uint32_t Port;
} USBSIM_PORT_REQUEST;

// The fault kinds, as the host-kernel bus has them.
enum USBSIM_FAULT_KIND {
    USBSIM_FAULT_STALL = 0,        // the endpoint halts (the default pipe: that request stalls)
    USBSIM_FAULT_NEVER_ANSWER = 1, // the transfer pends until cancelled or its pipe aborted
    USBSIM_FAULT_SHORT_PACKET = 2, // an IN transfer ends after ShortLength bytes
    USBSIM_FAULT_URB_ERROR = 3,    // the transfer ends with UsbdStatus
    USBSIM_FAULT_PACKET_ERROR = 4, // isochronous packet Packet ends with UsbdStatus
    USBSIM_FAULT_FAIL_REQUEST = 5, // the request is completed at once with Status and UsbdStatus
    USBSIM_FAULT_UNPLUG = 6,       // the camera leaves the bus as this URB arrives
};

typedef struct USBSIM_FAULT {
    uint32_t Port;
    uint32_t Kind;
    uint32_t Function; // URB function, 0xFFFF: any
    uint32_t Endpoint; // endpoint address (direction bit included), 0xFF: any, 0x00: default pipe
    uint32_t Skip;     // matching URBs let through first
    uint32_t Times;    // matching URBs then acted on; 0: every one from then on
    uint32_t ShortLength;
    uint32_t Packet;
    int32_t UsbdStatus;
    int32_t Status;
} USBSIM_FAULT;

// Where a port's device is in its life, as the bus sees it.
enum USBSIM_PORT_STATE {
    USBSIM_PORT_EMPTY = 0,     // no camera
    USBSIM_PORT_ARRIVING = 1,  // on the bus, not reported to the PnP manager yet (a renumerated
                               // device waits until its old PDO is removed)
    USBSIM_PORT_REPORTED = 2,  // its PDO is in the bus relations, not started yet
    USBSIM_PORT_STARTED = 3,   // the PnP manager started its PDO
    USBSIM_PORT_DEPARTING = 4, // left the bus; its PDO waits for its removal
};

typedef struct USBSIM_PORT_INFO {
    uint32_t State;
    uint16_t VendorId; // of the descriptors the device presents now (0 when empty)
    uint16_t ProductId;
    uint32_t Identity;    // what the camera was plugged in as (USBSIM_IDENTITY)
    uint32_t Connections; // PDOs the port has had since the camera was plugged in
    uint32_t Removals;    // of those, removed by the PnP manager
    uint32_t Pending;     // URBs pending on the current device
    uint32_t Faults;      // rules armed
} USBSIM_PORT_INFO;

typedef struct USBSIM_STATE {
    uint32_t Ports; // USBSIM_MAX_PORTS
    uint32_t Cameras;
    USBSIM_PORT_INFO Port[USBSIM_MAX_PORTS];
    // The stand-ins the bus supplied to tovrik.sys for routines Wine's kernel lacks: how many
    // import slots it replaced when the image loaded, and how often each was called
    // (IoBuildPartialMdl, MmMapLockedPagesSpecifyCache).
    uint32_t StandInSlots;
    uint32_t Reserved;
    uint64_t PartialMdlCalls;
    uint64_t MapLockedPagesCalls;
    // The capture: whether a file is open, records and bytes written, records dropped because
    // the queue to the file was full, and the first error writing it (an NTSTATUS, 0 for none).
    uint32_t CaptureActive;
    int32_t CaptureError;
    uint64_t CaptureRecords;
    uint64_t CaptureBytes;
    uint64_t CaptureDropped;
} USBSIM_STATE;

typedef struct USBSIM_COUNTERS_REQUEST {
    uint32_t Port;
    uint32_t Endpoint; // endpoint address, 0x00: the default pipe
} USBSIM_COUNTERS_REQUEST;

// An endpoint's counters on the port's current (or, once gone, last) device.
typedef struct USBSIM_COUNTERS {
    uint64_t Bytes;
    uint64_t Transfers;
    uint64_t Packets;
    uint64_t IdleMicroframes;
    uint64_t ActiveMicroframes;
    uint64_t LostIsoPackets;
} USBSIM_COUNTERS;

// A file name, UTF-16, not terminated; Length in characters. "Z:\tmp\a.pcap" or an NT path
// ("\??\Z:\tmp\a.pcap").
typedef struct USBSIM_CAPTURE {
    uint32_t Length;
    uint16_t Name[260];
} USBSIM_CAPTURE;
