// Device and driver objects, the object namespace (device names and symbolic links), device
// stacks, and counted strings.
//
// A deleted device object's memory is kept (its extension poisoned) while the last 1024 devices
// gone for good are: requests still carry its address in their stack locations, and the
// verifier must be able to say "deleted" rather than guess from freed memory. Older ones are
// freed, so a long run does not keep every device it ever made.
#include "internal.h"

#include <fmt/format.h>

#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>

namespace host {
namespace detail {
namespace {

struct DeviceRecord {
    std::u16string Name;  // folded, empty for an unnamed device
    std::u16string Shown; // as created
    bool Deleted = false;
    // Open handles (and the front end's requests on their way) keep a deleted device's memory
    // and extension valid, as references to the object do on the platform.
    int References = 0;
    std::size_t ExtensionBytes = 0;
    PDEVICE_OBJECT Lower = nullptr; // the device it is attached to
    CallSite Site;
};

struct DriverRecord {
    std::u16string Name;
    std::u16string NameStorage;
    DRIVER_EXTENSION Extension{};
    bool Bus = false;
};

struct ObjectState {
    std::mutex Mutex;
    std::unordered_map<PDEVICE_OBJECT, DeviceRecord> Devices;
    // The extensions of devices that are not yet gone for good (deleted with no reference
    // left): what the user-output check looks an 8-byte value up in. Deleted devices keep their
    // records (to name them in reports), so a walk over Devices would grow with every device
    // the program ever made.
    std::unordered_map<std::uintptr_t, PDEVICE_OBJECT> LiveExtensions;
    // Devices gone for good, oldest first. Their memory stays filled with the deleted pattern
    // for a while, so a late touch is reported as a touch of a deleted device; past the
    // quarantine the oldest are freed, or a long run (a fuzzer makes two devices per input)
    // would keep every device it ever made.
    std::deque<PDEVICE_OBJECT> Retired;
    std::map<std::u16string, PDEVICE_OBJECT> DeviceNames;
    std::map<std::u16string, std::u16string> Links; // folded link name -> target name as given
    std::unordered_map<PDRIVER_OBJECT, std::unique_ptr<DriverRecord>> Drivers;
};
ObjectState& O() {
    static ObjectState* state = new ObjectState;
    return *state;
}

constexpr std::size_t kRetiredDevicesKept = 1024;

// Called with O().Mutex held when a device is deleted and no reference is left.
void Retire(PDEVICE_OBJECT device) {
    O().LiveExtensions.erase(reinterpret_cast<std::uintptr_t>(device->DeviceExtension));
    O().Retired.push_back(device);
}

constexpr unsigned char DeletedExtensionPattern = 0xDD;

// A deleted device's extension goes: the events in it take their waiters' waits with them (a
// driver that deletes its device while a thread waits on an event of its extension), and the
// extension gets the deleted pattern, so what reads it afterwards reads nonsense.
void ExtensionEnds(PDEVICE_OBJECT device, std::size_t bytes, const CallSite& site) {
    if (!device->DeviceExtension || bytes == 0)
        return;
    EventStorageEnds(device->DeviceExtension, bytes, "IoDeleteDevice's extension at", site);
    std::memset(device->DeviceExtension, DeletedExtensionPattern, bytes);
}

// Called with O().Mutex held: frees the devices past the quarantine. Never the one just
// retired, which its deleter may still be filling with the deleted pattern.
void FreeRetiredPastQuarantine() {
    while (O().Retired.size() > kRetiredDevicesKept) {
        PDEVICE_OBJECT oldest = O().Retired.front();
        O().Retired.pop_front();
        O().Devices.erase(oldest);
        std::free(oldest);
    }
}

} // namespace

std::u16string FoldName(std::u16string_view name) {
    std::u16string out(name);
    for (auto& c : out)
        if (c >= u'a' && c <= u'z')
            c = static_cast<char16_t>(c - u'a' + u'A');
    // "\DosDevices\X", "\GLOBAL??\X" and "\??\X" are one directory.
    for (std::u16string_view prefix :
         {std::u16string_view(u"\\DOSDEVICES\\"), std::u16string_view(u"\\GLOBAL??\\")}) {
        if (out.size() >= prefix.size() &&
            std::u16string_view(out).substr(0, prefix.size()) == prefix) {
            out = u"\\??\\" + out.substr(prefix.size());
            break;
        }
    }
    return out;
}

std::optional<std::u16string> FromUnicode(PCUNICODE_STRING s, const char* routine,
                                          const CallSite& site) {
    if (!s || !s->Buffer || s->Length == 0 || (s->Length & 1) || s->Length > s->MaximumLength) {
        Violate(Check::BadArgument,
                fmt::format("{} with a malformed or empty counted string", routine), site);
        return std::nullopt;
    }
    return std::u16string(s->Buffer, s->Length / sizeof(WCHAR));
}

bool IsLiveDevice(PDEVICE_OBJECT device) {
    std::lock_guard lock(O().Mutex);
    auto it = O().Devices.find(device);
    return it != O().Devices.end() && !it->second.Deleted;
}

bool IsCallableDevice(PDEVICE_OBJECT device) {
    std::lock_guard lock(O().Mutex);
    auto it = O().Devices.find(device);
    return it != O().Devices.end() && (!it->second.Deleted || it->second.References > 0);
}

bool DeviceArgumentOrReport(PDEVICE_OBJECT device, bool evenIfDeleted, const char* what,
                            const CallSite& site) {
    if (evenIfDeleted ? IsCallableDevice(device) : IsLiveDevice(device))
        return true;
    Violate(Check::ObjectMisuse,
            fmt::format("{} {}, which is not a device object{}", what, Hex(device),
                        evenIfDeleted ? " (or was deleted)" : ""),
            site);
    return false;
}

bool ReferenceDevice(PDEVICE_OBJECT device, bool evenIfDeleted) {
    std::lock_guard lock(O().Mutex);
    auto it = O().Devices.find(device);
    if (it == O().Devices.end() ||
        (it->second.Deleted && (!evenIfDeleted || it->second.References == 0)))
        return false;
    it->second.References++;
    return true;
}

void DereferenceDevice(PDEVICE_OBJECT device) {
    std::size_t extension = 0;
    {
        std::lock_guard lock(O().Mutex);
        auto it = O().Devices.find(device);
        if (it == O().Devices.end() || it->second.References == 0)
            return;
        if (--it->second.References == 0 && it->second.Deleted) {
            extension = it->second.ExtensionBytes;
            Retire(device);
        }
    }
    // Outside the lock, as IoDeleteDevice does: a report may describe addresses through it.
    ExtensionEnds(device, extension, HOST_SITE());
}

bool IsKnownDriver(PDRIVER_OBJECT driver) {
    std::lock_guard lock(O().Mutex);
    return O().Drivers.count(driver) != 0;
}

PDEVICE_OBJECT AttachedTop(PDEVICE_OBJECT device) {
    std::lock_guard lock(O().Mutex);
    while (device && device->AttachedDevice)
        device = device->AttachedDevice;
    return device;
}

PDEVICE_OBJECT BottomOf(PDEVICE_OBJECT device) {
    std::lock_guard lock(O().Mutex);
    for (;;) {
        auto it = O().Devices.find(device);
        if (it == O().Devices.end() || !it->second.Lower)
            return device;
        device = it->second.Lower;
    }
}

std::string DeviceLabel(PDEVICE_OBJECT device) {
    if (!device)
        return "(no device)";
    std::lock_guard lock(O().Mutex);
    auto it = O().Devices.find(device);
    if (it == O().Devices.end())
        return fmt::format("device {}", Hex(device));
    std::string name = it->second.Shown.empty() ? "unnamed" : ToUtf8(it->second.Shown);
    return fmt::format("device {} ({}{})", Hex(device), name,
                       it->second.Deleted ? ", deleted" : "");
}

const char* ObjectAddressKind(std::uintptr_t value) {
    std::lock_guard lock(O().Mutex);
    if (O().Drivers.count(reinterpret_cast<PDRIVER_OBJECT>(value)))
        return "a driver object";
    auto it = O().Devices.find(reinterpret_cast<PDEVICE_OBJECT>(value));
    if (it != O().Devices.end())
        return it->second.Deleted && it->second.References == 0 ? nullptr : "a device object";
    return O().LiveExtensions.count(value) ? "a device extension" : nullptr;
}

PDEVICE_OBJECT ResolveName(std::u16string_view name) {
    std::u16string key;
    if (name.substr(0, 4) == u"\\\\.\\")
        key = FoldName(u"\\??\\" + std::u16string(name.substr(4)));
    else
        key = FoldName(name);
    std::lock_guard lock(O().Mutex);
    for (int depth = 0; depth < 8; ++depth) {
        auto link = O().Links.find(key);
        if (link == O().Links.end())
            break;
        key = FoldName(link->second);
    }
    auto it = O().DeviceNames.find(key);
    return it == O().DeviceNames.end() ? nullptr : it->second;
}

PDRIVER_OBJECT NewDriverObject(std::u16string_view name, bool bus) {
    auto* driver = static_cast<PDRIVER_OBJECT>(std::calloc(1, sizeof(DRIVER_OBJECT)));
    NoteKernelMemory(driver, sizeof(DRIVER_OBJECT));
    auto rec = std::make_unique<DriverRecord>();
    rec->Name = FoldName(name);
    rec->NameStorage = std::u16string(name);
    rec->Bus = bus;
    rec->Extension.DriverObject = driver;
    driver->Type = IO_TYPE_DRIVER;
    driver->Size = sizeof(DRIVER_OBJECT);
    driver->DriverExtension = &rec->Extension;
    driver->DriverName.Buffer = rec->NameStorage.data();
    driver->DriverName.Length = static_cast<USHORT>(rec->NameStorage.size() * sizeof(WCHAR));
    driver->DriverName.MaximumLength = driver->DriverName.Length;
    for (auto& entry : driver->MajorFunction)
        entry = HostInvalidDeviceRequest;
    std::lock_guard lock(O().Mutex);
    O().Drivers[driver] = std::move(rec);
    return driver;
}

void DeleteDriverObject(PDRIVER_OBJECT driver) {
    {
        std::lock_guard lock(O().Mutex);
        O().Drivers.erase(driver);
    }
    std::free(driver);
}

} // namespace detail

using namespace detail;

std::u16string ToU16(std::string_view ascii) {
    return std::u16string(ascii.begin(), ascii.end());
}

std::string ToUtf8(std::u16string_view text) {
    std::string out;
    for (char16_t c : text)
        out += c < 0x80 ? static_cast<char>(c) : '?';
    return out;
}

UNICODE_STRING MakeUnicode(const std::u16string& text) {
    UNICODE_STRING s;
    s.Length = static_cast<USHORT>(text.size() * sizeof(WCHAR));
    s.MaximumLength = s.Length;
    s.Buffer = const_cast<PWSTR>(text.data());
    return s;
}

std::string StatusName(NTSTATUS status) {
    switch (status) {
#define NAME(s)                                                                                    \
    case s:                                                                                        \
        return #s;
        NAME(STATUS_SUCCESS)
        NAME(STATUS_TIMEOUT)
        NAME(STATUS_PENDING)
        NAME(STATUS_UNSUCCESSFUL)
        NAME(STATUS_NOT_IMPLEMENTED)
        NAME(STATUS_INVALID_PARAMETER)
        NAME(STATUS_NO_SUCH_DEVICE)
        NAME(STATUS_INVALID_DEVICE_REQUEST)
        NAME(STATUS_MORE_PROCESSING_REQUIRED)
        NAME(STATUS_NO_MEMORY)
        NAME(STATUS_ACCESS_DENIED)
        NAME(STATUS_BUFFER_TOO_SMALL)
        NAME(STATUS_OBJECT_NAME_INVALID)
        NAME(STATUS_OBJECT_NAME_NOT_FOUND)
        NAME(STATUS_OBJECT_NAME_COLLISION)
        NAME(STATUS_DELETE_PENDING)
        NAME(STATUS_INSUFFICIENT_RESOURCES)
        NAME(STATUS_DEVICE_NOT_CONNECTED)
        NAME(STATUS_IO_TIMEOUT)
        NAME(STATUS_NOT_SUPPORTED)
        NAME(STATUS_CANCELLED)
        NAME(STATUS_DEVICE_REMOVED)
        NAME(STATUS_INVALID_HANDLE)
#undef NAME
    default:
        return fmt::format("{:#010x}", static_cast<ULONG>(status));
    }
}

PDRIVER_OBJECT CreateBusDriver(std::u16string_view name) {
    return NewDriverObject(name, true);
}

} // namespace host

using namespace host;
using namespace host::detail;

extern "C" {

VOID NTAPI RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString) {
    (void)HOST_SITE();
    if (!SourceString) {
        DestinationString->Length = DestinationString->MaximumLength = 0;
        DestinationString->Buffer = nullptr;
        return;
    }
    std::size_t n = 0;
    while (SourceString[n])
        ++n;
    std::size_t bytes = n * sizeof(WCHAR);
    if (bytes > 0xFFFC)
        bytes = 0xFFFC;
    DestinationString->Length = static_cast<USHORT>(bytes);
    DestinationString->MaximumLength = static_cast<USHORT>(bytes + sizeof(WCHAR));
    DestinationString->Buffer = const_cast<PWSTR>(SourceString);
}

// A zero-filled device object with its extension behind it, as IoCreateDevice hands it out.
static PDEVICE_OBJECT NewDeviceObject(PDRIVER_OBJECT DriverObject, ULONG DeviceExtensionSize,
                                      DEVICE_TYPE DeviceType, ULONG DeviceCharacteristics,
                                      BOOLEAN Exclusive) {
    std::size_t extension = (DeviceExtensionSize + 15) & ~ULONG(15);
    // The extension starts on a 16-byte boundary after the object, as pool blocks do.
    constexpr std::size_t ExtensionOffset = (sizeof(DEVICE_OBJECT) + 15) & ~std::size_t(15);
    std::size_t bytes = ExtensionOffset + extension;
    auto* device = static_cast<PDEVICE_OBJECT>(std::aligned_alloc(16, bytes));
    if (!device)
        Unsupported("IoCreateDevice", "running out of memory");
    NoteKernelMemory(device, bytes);
    std::memset(device, 0, bytes);
    device->Type = IO_TYPE_DEVICE;
    device->Size = static_cast<USHORT>(sizeof(DEVICE_OBJECT) + DeviceExtensionSize);
    device->DriverObject = DriverObject;
    device->Flags = DO_DEVICE_INITIALIZING | (Exclusive ? DO_EXCLUSIVE : 0);
    device->Characteristics = DeviceCharacteristics;
    device->DeviceExtension =
        DeviceExtensionSize ? reinterpret_cast<PUCHAR>(device) + ExtensionOffset : nullptr;
    device->DeviceType = DeviceType;
    device->StackSize = 1;
    InitEvent(&device->DeviceLock, SynchronizationEvent, true);
    return device;
}

NTSTATUS NTAPI IoCreateDevice(PDRIVER_OBJECT DriverObject, ULONG DeviceExtensionSize,
                              PUNICODE_STRING DeviceName, DEVICE_TYPE DeviceType,
                              ULONG DeviceCharacteristics, BOOLEAN Exclusive,
                              PDEVICE_OBJECT* DeviceObject) {
    CallSite site = HOST_SITE();
    ReportIrqlAbove(PASSIVE_LEVEL, "IoCreateDevice", site);
    if (!IsKnownDriver(DriverObject)) {
        Violate(
            Check::BadArgument,
            fmt::format("IoCreateDevice for {}, which is not a driver object", Hex(DriverObject)),
            site);
        return STATUS_INVALID_PARAMETER;
    }
    std::u16string shown;
    if (DeviceName) {
        auto name = FromUnicode(DeviceName, "IoCreateDevice", site);
        if (!name)
            return STATUS_OBJECT_NAME_INVALID;
        shown = *name;
    }
    if (FaultInjection::ShouldFail(AllocationKind::Device, site))
        return STATUS_INSUFFICIENT_RESOURCES;
    std::u16string key = shown.empty() ? std::u16string() : FoldName(shown);
    {
        std::lock_guard lock(O().Mutex);
        if (!key.empty() && (O().DeviceNames.count(key) || O().Links.count(key)))
            return STATUS_OBJECT_NAME_COLLISION;
    }
    PDEVICE_OBJECT device = NewDeviceObject(DriverObject, DeviceExtensionSize, DeviceType,
                                            DeviceCharacteristics, Exclusive);
    std::lock_guard lock(O().Mutex);
    if (!key.empty() && (O().DeviceNames.count(key) || O().Links.count(key))) {
        std::free(device);
        return STATUS_OBJECT_NAME_COLLISION;
    }
    DeviceRecord rec;
    rec.Name = key;
    rec.Shown = shown;
    rec.Site = site;
    rec.ExtensionBytes = DeviceExtensionSize;
    FreeRetiredPastQuarantine();
    O().Devices[device] = std::move(rec);
    if (device->DeviceExtension)
        O().LiveExtensions[reinterpret_cast<std::uintptr_t>(device->DeviceExtension)] = device;
    if (!key.empty())
        O().DeviceNames[key] = device;
    device->NextDevice = DriverObject->DeviceObject;
    DriverObject->DeviceObject = device;
    *DeviceObject = device;
    return STATUS_SUCCESS;
}

VOID NTAPI IoDeleteDevice(PDEVICE_OBJECT DeviceObject) {
    CallSite site = HOST_SITE();
    ReportIrqlAbove(PASSIVE_LEVEL, "IoDeleteDevice", site);
    std::size_t extension = 0;
    {
        std::lock_guard lock(O().Mutex);
        auto it = O().Devices.find(DeviceObject);
        if (it == O().Devices.end() || it->second.Deleted) {
            Violate(it == O().Devices.end() ? Check::BadArgument : Check::TouchedAfterFree,
                    fmt::format("IoDeleteDevice of {}, which is not a live device object",
                                Hex(DeviceObject)),
                    site);
            return;
        }
        DeviceRecord& rec = it->second;
        if (DeviceObject->AttachedDevice)
            Violate(Check::ObjectMisuse,
                    fmt::format("IoDeleteDevice of {} while device {} is still attached above it",
                                Hex(DeviceObject), Hex(DeviceObject->AttachedDevice)),
                    site);
        if (rec.Lower) {
            Violate(
                Check::ObjectMisuse,
                fmt::format(
                    "IoDeleteDevice of {} while it is still attached to {} (IoDetachDevice first)",
                    Hex(DeviceObject), Hex(rec.Lower)),
                site);
            if (rec.Lower->AttachedDevice == DeviceObject)
                rec.Lower->AttachedDevice = nullptr;
            rec.Lower = nullptr;
        }
        if (!rec.Name.empty())
            O().DeviceNames.erase(rec.Name);
        rec.Deleted = true;
        PDRIVER_OBJECT driver = DeviceObject->DriverObject;
        for (PDEVICE_OBJECT* link = &driver->DeviceObject; *link; link = &(*link)->NextDevice) {
            if (*link == DeviceObject) {
                *link = DeviceObject->NextDevice;
                break;
            }
        }
        // The extension goes now unless handles still refer to the device; then with the last.
        if (rec.References == 0) {
            extension = rec.ExtensionBytes;
            Retire(DeviceObject);
        }
    }
    PoolDeviceDeleted(DeviceObject);
    ExtensionEnds(DeviceObject, extension, site);
}

NTSTATUS NTAPI IoCreateSymbolicLink(PUNICODE_STRING SymbolicLinkName, PUNICODE_STRING DeviceName) {
    CallSite site = HOST_SITE();
    ReportIrqlAbove(PASSIVE_LEVEL, "IoCreateSymbolicLink", site);
    auto link = FromUnicode(SymbolicLinkName, "IoCreateSymbolicLink", site);
    auto target = FromUnicode(DeviceName, "IoCreateSymbolicLink", site);
    if (!link || !target)
        return STATUS_OBJECT_NAME_INVALID;
    std::u16string key = FoldName(*link);
    std::lock_guard lock(O().Mutex);
    if (O().Links.count(key) || O().DeviceNames.count(key))
        return STATUS_OBJECT_NAME_COLLISION;
    O().Links[key] = *target;
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI IoDeleteSymbolicLink(PUNICODE_STRING SymbolicLinkName) {
    CallSite site = HOST_SITE();
    ReportIrqlAbove(PASSIVE_LEVEL, "IoDeleteSymbolicLink", site);
    auto link = FromUnicode(SymbolicLinkName, "IoDeleteSymbolicLink", site);
    if (!link)
        return STATUS_OBJECT_NAME_INVALID;
    std::lock_guard lock(O().Mutex);
    if (O().Links.erase(FoldName(*link)) == 0)
        return STATUS_OBJECT_NAME_NOT_FOUND;
    return STATUS_SUCCESS;
}

PDEVICE_OBJECT NTAPI IoAttachDeviceToDeviceStack(PDEVICE_OBJECT SourceDevice,
                                                 PDEVICE_OBJECT TargetDevice) {
    CallSite site = HOST_SITE();
    if (TakeAttachFailure())
        return nullptr;
    std::lock_guard lock(O().Mutex);
    auto source = O().Devices.find(SourceDevice);
    auto target = O().Devices.find(TargetDevice);
    if (source == O().Devices.end() || target == O().Devices.end() || source->second.Deleted) {
        Violate(Check::BadArgument,
                fmt::format("IoAttachDeviceToDeviceStack of {} to {}: both must be device objects",
                            Hex(SourceDevice), Hex(TargetDevice)),
                site);
        return nullptr;
    }
    if (source->second.Lower) {
        Violate(Check::ObjectMisuse,
                fmt::format("IoAttachDeviceToDeviceStack of {}, which is already attached to {}",
                            Hex(SourceDevice), Hex(source->second.Lower)),
                site);
        return nullptr;
    }
    PDEVICE_OBJECT top = TargetDevice;
    while (top->AttachedDevice)
        top = top->AttachedDevice;
    if (O().Devices[top].Deleted)
        return nullptr; // the target is going away: nothing to attach to
    top->AttachedDevice = SourceDevice;
    SourceDevice->StackSize = static_cast<CCHAR>(top->StackSize + 1);
    if (top->AlignmentRequirement > SourceDevice->AlignmentRequirement)
        SourceDevice->AlignmentRequirement = top->AlignmentRequirement;
    source->second.Lower = top;
    return top;
}

VOID NTAPI IoDetachDevice(PDEVICE_OBJECT TargetDevice) {
    CallSite site = HOST_SITE();
    std::lock_guard lock(O().Mutex);
    auto target = O().Devices.find(TargetDevice);
    if (target == O().Devices.end() || !TargetDevice->AttachedDevice) {
        Violate(Check::ObjectMisuse,
                fmt::format("IoDetachDevice of {}, which has no device attached to it",
                            Hex(TargetDevice)),
                site);
        return;
    }
    PDEVICE_OBJECT upper = TargetDevice->AttachedDevice;
    TargetDevice->AttachedDevice = nullptr;
    auto it = O().Devices.find(upper);
    if (it != O().Devices.end())
        it->second.Lower = nullptr;
}

} // extern "C"
