// usbsim.sys: the simulated USB bus as a kernel driver for Wine's NT kernel.
//
// A legacy kernel service (started with `net start usbsim`) that plays a USB host controller with
// up to USBSIM_MAX_PORTS ports. A camera model (sim/camera) sits in each plugged port; the bus
// reports one child PDO per device on the bus, with the hardware IDs a USB hub would report, so
// Wine's PnP manager installs tovrik.inf over it and loads the real tovrik.sys as its function
// driver. What user mode sees of the bus itself is the control interface of sim/wine/control.h.
//
// The driver's files, by role:
//   entry.cpp     DriverEntry: the bus device, the worker thread, the stand-ins
//   ports.cpp     ports and their devices: plug, unplug, renumeration, arrivals
//   pnp.cpp       IRP_MJ_PNP of the bus device and of the PDOs, power
//   control.cpp   the control requests (create, close, device control of the bus device)
//   worker.cpp    the bus's own thread: the schedule, departures, arrivals, the capture file
//   capture.cpp   the capture queue and its file
//   standins.cpp  stand-ins for kernel routines Wine only stubs, put into tovrik.sys's imports
//
// Locks: one spin lock, Bus->Lock, guards the ports, the devices and the camera models. No
// request is completed and no PnP routine is called with it held.
#pragma once

#include "platform/kernel.h"
#include "wine/control.h"

#include "camera/camera.h"
#include "core/core.h"

namespace usbsim {

inline constexpr ULONG kPoolTag = 0x6D697355; // 'Usim'

// Pool helpers: every allocation of the bus is non-paged and tagged.
void* Allocate(SIZE_T bytes);
void Free(void* block);

// The bus's clock: 100-ns units since the machine started, from the performance counter. (The
// DDK's KeQuerySystemTime reads the shared user data page at its kernel address, which Wine only
// emulates through a slow fault handler.)
LONG64 Now();

struct PORT;

// One device on the bus, from its arrival to the removal of its PDO. A camera that renumerates
// is a new device on the same port.
struct CONNECTION {
    PORT* Port;
    PDEVICE_OBJECT Pdo;
    ULONG Number;     // the USB address captures show
    BOOLEAN Present;  // on the bus: in the bus relations, serving URBs
    BOOLEAN Reported; // the PnP manager has seen it in the relations
    BOOLEAN Started;  // the PnP manager started its PDO
    // What the device presented when it arrived: the PnP manager asks for IDs later.
    USHORT VendorId;
    USHORT ProductId;
    USHORT Revision;
    UCHAR Class;
    UCHAR SubClass;
    UCHAR Protocol;
    sim::core::Connection Core; // the bus core's record of the device (constructed in place)
};

struct PORT {
    ULONG Index;
    BOOLEAN Plugged; // a camera is in the port
    ULONG Identity;  // USBSIM_IDENTITY it was plugged in as
    sim::CameraStorage* Storage;
    sim::Camera* Device;
    sim::core::Port* CorePort; // the bus core's record of the port: its faults and status bits
    BOOLEAN CameraBuilt;       // Device holds a camera (built at the first plug, rebuilt at each)
    CONNECTION* Current;       // the device on the bus, or null
    ULONG Departing;           // devices that left the bus and whose PDO is not removed yet
    BOOLEAN ArrivalPending;    // a device is on the bus but not reported yet
    LONG64 DepartAt;           // a renumeration under way: when the device leaves (0: none)
    ULONG Connections;         // devices since the camera was plugged in
    ULONG Removals;            // of those, removed by the PnP manager
    BOOLEAN UnplugDue;         // a fault pulls the camera out: the worker does it
    LONG Pending;              // URBs of its devices pending (interlocked)
    ULONG Faults;              // fault rules armed
};

enum class DeviceKind : ULONG { Bus = 0x53554255, Pdo = 0x4F445055 };

// Every device extension of the driver starts with its kind.
struct BUS_EXTENSION {
    DeviceKind Kind;
};
struct PDO_EXTENSION {
    DeviceKind Kind;
    CONNECTION* Link;
};

struct BUS {
    PDRIVER_OBJECT Driver;
    PDEVICE_OBJECT Device; // \Device\UsbSim: parent of the PDOs and the control device
    KSPIN_LOCK Lock;
    PORT Ports[USBSIM_MAX_PORTS];
    ULONG NextAddress;
    KEVENT Wake; // the worker has something to do
    PKTHREAD Worker;
};

extern BUS* Bus;

// --- ports.cpp ---------------------------------------------------------------------------------

// Powers a camera on in `port` (USBSIM_ANY_PORT: the lowest free one); its device arrives on the
// bus. Returns the port, or STATUS_* through `status`.
NTSTATUS PlugCamera(ULONG port, ULONG identity, ULONG* plugged);
// The camera is pulled out: its device leaves the bus (a surprise removal).
NTSTATUS UnplugCamera(ULONG port);
// Called with the lock held when the camera model raised its renumerate event: the device leaves
// the bus a moment later and comes back with the identity of the program it runs.
void RenumerateLocked(PORT& port);
// Worker: devices due to leave leave, devices waiting to arrive arrive. Returns the time of the
// next departure due (0: none).
LONG64 RunPortEvents();
// pnp.cpp: the PnP manager removed a device's PDO.
void ConnectionRemoved(CONNECTION& connection);
// The state a port reports (USBSIM_PORT_STATE). Lock held.
ULONG PortStateLocked(const PORT& port);

// --- urb.cpp: the bus core -------------------------------------------------------------------

NTSTATUS StartCore();
DRIVER_DISPATCH DispatchInternalDeviceControl;
void ConstructConnection(CONNECTION& connection);
// The device appears on the bus. Lock held. False when the schedule has no room for it.
bool ArriveLocked(PORT& port, CONNECTION& connection);
// The device leaves the bus: what it had pending ends with USBD_STATUS_DEVICE_GONE, completed by
// CompleteGoneTransfers once the lock is dropped.
void DeviceGoneLocked(CONNECTION& connection);
void CompleteGoneTransfers();
// Worker: serves every microframe up to the present; true while transfers wait for the bus.
bool RunSchedule();
void ClearFaultsLocked(PORT& port);
NTSTATUS AddFault(const USBSIM_FAULT& fault);
NTSTATUS ClearFaults(ULONG port);
NTSTATUS EndpointCounters(ULONG port, ULONG endpoint, USBSIM_COUNTERS& counters);

// --- pnp.cpp -----------------------------------------------------------------------------------

DRIVER_DISPATCH DispatchPnp;
DRIVER_DISPATCH DispatchPower;
// Creates a PDO for a device arriving on `port`; the caller reports it (invalidates the bus
// relations). Called at PASSIVE_LEVEL without the lock.
CONNECTION* CreateConnection(PORT& port);

// --- control.cpp -------------------------------------------------------------------------------

DRIVER_DISPATCH DispatchCreateClose;
DRIVER_DISPATCH DispatchDeviceControl;

// --- worker.cpp --------------------------------------------------------------------------------

NTSTATUS StartWorker();
void WakeWorker();

// --- capture.cpp -------------------------------------------------------------------------------

// Opens `name` (a DOS or NT path) for the capture and writes the pcap header; an empty name ends
// the capture. PASSIVE_LEVEL.
NTSTATUS SetCaptureFile(const USHORT* name, ULONG length);
void InitialiseCapture();
bool CaptureActive();
// Appends one record, its header and data (any IRQL, any thread); dropped and counted when the
// queue is full.
void CaptureRecord(std::span<const std::uint8_t> header, std::span<const std::uint8_t> data);
// A record that could not be made; counted as dropped, `status` kept as the capture's error.
void CaptureLost(NTSTATUS status);
// Writes what is queued to the file. PASSIVE_LEVEL (the worker, and the flush request).
void DrainCapture();
void CaptureState(USBSIM_STATE& state);

// --- standins.cpp ------------------------------------------------------------------------------

NTSTATUS InstallStandIns();
void StandInState(USBSIM_STATE& state);

// A scoped hold of the bus lock.
class BusLock {
  public:
    BusLock() { KeAcquireSpinLock(&Bus->Lock, &Irql); }
    ~BusLock() { KeReleaseSpinLock(&Bus->Lock, Irql); }
    BusLock(const BusLock&) = delete;
    BusLock& operator=(const BusLock&) = delete;

  private:
    KIRQL Irql;
};

} // namespace usbsim
