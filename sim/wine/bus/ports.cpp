// Ports and the devices in them.
//
// A camera plugged into a port powers on and its device arrives on the bus; the bus reports it
// to the PnP manager (Wine's) as a new PDO. When the camera program starts, the device leaves the
// bus a moment later and comes back as another device with the program's identity, as the real
// camera does; pulling the camera out makes its device leave for good. Wine's PnP manager handles
// the arrivals and departures of one bus relations query in a fixed order, new devices first;
// the bus therefore reports a device coming back only once the PnP manager has removed the one
// that left, so the function driver sees the old device go before the new one comes, as on
// Windows, where the new device arrives tens of milliseconds after the old one left.
#include "wine/bus/bus.h"

#include "driver/firmware/firmware_images.h"

#include <new>

namespace usbsim {

namespace {

// A real camera leaves the bus milliseconds after its program starts, long after the writes that
// follow the release of the CPU.
constexpr LONG64 kRenumerationDelay = 20 * 10'000;

std::span<const std::uint8_t> RecordBytes(const FIRMWARE_RECORD* image) {
    SIZE_T count = 0;
    while (image[count].Type == 0)
        ++count;
    return {reinterpret_cast<const std::uint8_t*>(image), (count + 1) * sizeof(FIRMWARE_RECORD)};
}

// The images the camera recognises: the driver's own two (the stand-ins the build generates, or
// the camera's files given to the build).
void LoadImages(sim::CameraStorage& storage) {
    storage.Loader.Clear();
    storage.Program.Clear();
    storage.Loader.AddRecords(RecordBytes(FirmwareImageA));
    storage.Program.AddRecords(RecordBytes(FirmwareImageB));
}

// The device of `port` leaves the bus. Lock held. Whatever the device had pending ends; a PDO
// the PnP manager never saw goes into `unseen` for the caller to delete.
void DisconnectLocked(PORT& port, PDEVICE_OBJECT& unseen) {
    CONNECTION* connection = port.Current;
    unseen = nullptr;
    if (connection == nullptr)
        return;
    connection->Present = FALSE;
    port.Current = nullptr;
    DeviceGoneLocked(*connection);
    if (connection->Reported) {
        ++port.Departing;
    } else {
        // Never in a relations answer: the PnP manager will not remove it, the bus does.
        unseen = connection->Pdo;
    }
}

void DeleteUnseen(PDEVICE_OBJECT pdo) {
    if (pdo == nullptr)
        return;
    CONNECTION* connection = static_cast<PDO_EXTENSION*>(pdo->DeviceExtension)->Link;
    IoDeleteDevice(pdo);
    Free(connection);
}

// The memory a port's camera lives in (its storage, the model, the core's port record), made the
// first time a camera goes into the port and kept for later ones. PASSIVE_LEVEL, lock not held.
NTSTATUS PreparePort(PORT& port) {
    {
        BusLock lock;
        if (port.Storage != nullptr)
            return STATUS_SUCCESS;
    }
    void* storage = Allocate(sizeof(sim::CameraStorage));
    void* camera = Allocate(sizeof(sim::Camera));
    void* core = Allocate(sizeof(sim::core::Port));
    if (storage == nullptr || camera == nullptr || core == nullptr) {
        Free(storage);
        Free(camera);
        Free(core);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    BusLock lock;
    if (port.Storage != nullptr) {
        // Another request prepared it meanwhile.
        Free(storage);
        Free(camera);
        Free(core);
        return STATUS_SUCCESS;
    }
    port.Storage = new (storage) sim::CameraStorage();
    LoadImages(*port.Storage);
    port.Device = static_cast<sim::Camera*>(camera);
    port.CorePort = new (core) sim::core::Port(*port.Device);
    return STATUS_SUCCESS;
}

// The port a plug request names, or the lowest free one. Lock held.
PORT* ChoosePortLocked(ULONG requested, NTSTATUS& status) {
    if (requested != USBSIM_ANY_PORT) {
        PORT& port = Bus->Ports[requested];
        status = port.Plugged ? STATUS_DEVICE_BUSY : STATUS_SUCCESS;
        return port.Plugged ? nullptr : &port;
    }
    for (PORT& port : Bus->Ports) {
        if (!port.Plugged) {
            status = STATUS_SUCCESS;
            return &port;
        }
    }
    status = STATUS_INSUFFICIENT_RESOURCES;
    return nullptr;
}

} // namespace

NTSTATUS PlugCamera(ULONG requested, ULONG identity, ULONG* plugged) {
    if (identity != USBSIM_IDENTITY_FOREIGN && identity != USBSIM_IDENTITY_OWN)
        return STATUS_INVALID_PARAMETER;
    if (requested != USBSIM_ANY_PORT && requested >= USBSIM_MAX_PORTS)
        return STATUS_INVALID_PARAMETER;
    for (;;) {
        PORT* port;
        {
            BusLock lock;
            NTSTATUS status;
            port = ChoosePortLocked(requested, status);
            if (port == nullptr)
                return status;
            if (port->Storage != nullptr) {
                // Power-on: the model starts afresh, as a camera does when it gets power again.
                sim::CameraConfig config;
                config.PowerOn = identity == USBSIM_IDENTITY_OWN ? sim::PowerOnState::CameraRunning
                                                                 : sim::PowerOnState::HeldInReset;
                if (port->CameraBuilt)
                    port->Device->~Camera();
                new (port->Device) sim::Camera(*port->Storage, config);
                port->CameraBuilt = TRUE;
                port->Plugged = TRUE;
                port->UnplugDue = FALSE;
                port->Identity = identity;
                port->ArrivalPending = TRUE;
                port->DepartAt = 0;
                port->Connections = 0;
                port->Removals = 0;
                ClearFaultsLocked(*port);
                *plugged = port->Index;
                break;
            }
        }
        const NTSTATUS status = PreparePort(*port);
        if (!NT_SUCCESS(status))
            return status;
    }
    WakeWorker();
    return STATUS_SUCCESS;
}

NTSTATUS UnplugCamera(ULONG index) {
    if (index >= USBSIM_MAX_PORTS)
        return STATUS_INVALID_PARAMETER;
    PDEVICE_OBJECT unseen = nullptr;
    {
        BusLock lock;
        PORT& port = Bus->Ports[index];
        if (!port.Plugged)
            return STATUS_NO_SUCH_DEVICE;
        port.Plugged = FALSE;
        port.ArrivalPending = FALSE;
        port.UnplugDue = FALSE;
        port.DepartAt = 0;
        DisconnectLocked(port, unseen);
    }
    CompleteGoneTransfers();
    DeleteUnseen(unseen);
    IoInvalidateDeviceRelations(Bus->Device, BusRelations);
    return STATUS_SUCCESS;
}

void RenumerateLocked(PORT& port) {
    if (port.DepartAt == 0)
        port.DepartAt = Now() + kRenumerationDelay;
    KeSetEvent(&Bus->Wake, IO_NO_INCREMENT, FALSE);
}

LONG64 RunPortEvents() {
    for (PORT& port : Bus->Ports) {
        bool due;
        {
            BusLock lock;
            due = port.UnplugDue != FALSE;
        }
        if (due)
            UnplugCamera(port.Index);
    }
    bool changed = false;
    LONG64 next = 0;
    PDEVICE_OBJECT unseen[USBSIM_MAX_PORTS] = {};
    {
        BusLock lock;
        const LONG64 now = Now();
        for (PORT& port : Bus->Ports) {
            if (port.DepartAt == 0)
                continue;
            if (now < port.DepartAt) {
                if (next == 0 || port.DepartAt < next)
                    next = port.DepartAt;
                continue;
            }
            // The camera program runs: the device leaves and comes straight back with the
            // program's identity.
            port.DepartAt = 0;
            DisconnectLocked(port, unseen[port.Index]);
            port.Device->Reconnect();
            port.ArrivalPending = TRUE;
            changed = true;
        }
    }
    CompleteGoneTransfers();
    for (PDEVICE_OBJECT pdo : unseen)
        DeleteUnseen(pdo);

    for (PORT& port : Bus->Ports) {
        {
            BusLock lock;
            if (!port.Plugged || !port.ArrivalPending || port.Departing != 0)
                continue;
        }
        CONNECTION* connection = CreateConnection(port);
        if (connection == nullptr)
            continue; // no PDO now: the worker tries again on its next round
        bool attached = false;
        {
            BusLock lock;
            if (port.Plugged && port.ArrivalPending && port.Departing == 0 &&
                port.Current == nullptr)
                attached = ArriveLocked(port, *connection);
        }
        if (!attached) {
            DeleteUnseen(connection->Pdo);
            continue;
        }
        changed = true;
    }
    if (changed)
        IoInvalidateDeviceRelations(Bus->Device, BusRelations);
    return next;
}

void ConnectionRemoved(CONNECTION& connection) {
    {
        BusLock lock;
        PORT& port = *connection.Port;
        if (port.Departing > 0)
            --port.Departing;
        ++port.Removals;
    }
    IoDeleteDevice(connection.Pdo);
    Free(&connection);
    // A device waiting for this removal may arrive now.
    WakeWorker();
}

ULONG PortStateLocked(const PORT& port) {
    if (port.Current != nullptr)
        return port.Current->Started    ? USBSIM_PORT_STARTED
               : port.Current->Reported ? USBSIM_PORT_REPORTED
                                        : USBSIM_PORT_ARRIVING;
    if (port.Departing != 0)
        return USBSIM_PORT_DEPARTING;
    if (port.Plugged)
        return USBSIM_PORT_ARRIVING;
    return USBSIM_PORT_EMPTY;
}

} // namespace usbsim
