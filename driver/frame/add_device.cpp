// Device creation: one named device object per camera, its symbolic link, and the attach above
// the bus driver's physical device object.
#include "frame/frame.h"
#include "transfer/transfer.h"

LONG DeviceSlotsTried = 0;

namespace {

// A UTF-16 copy of a name template, made at compile time so that no constructor runs at load
// and the same source serves a platform whose WCHAR is wchar_t and one whose WCHAR is char16_t.
template <ULONG N> struct WIDE_NAME { WCHAR Chars[N]; };

template <ULONG N> constexpr WIDE_NAME<N> Widen(const char (&Text)[N]) {
    WIDE_NAME<N> name{};
    for (ULONG i = 0; i < N; i++) {
        name.Chars[i] = (WCHAR)Text[i];
    }
    return name;
}

constexpr auto DeviceNameTemplate = Widen("\\Device\\Tovrik318QX-0");
constexpr auto LinkNameTemplate = Widen("\\DosDevices\\Tovrik318QX-0");

static_assert(sizeof(DeviceNameTemplate.Chars) == 44, "22 characters with the NUL");
static_assert(sizeof(LinkNameTemplate.Chars) == 52, "26 characters with the NUL");
static_assert(sizeof(LinkNameTemplate.Chars) == sizeof(DEVICE_EXTENSION::SymbolicLinkName),
              "the extension keeps the whole link name");

// Copies a template and writes the device number as one character before the NUL: '0' to '9',
// then ':' for 10 and onwards through the character table up to 'O' for 31.
template <ULONG N>
VOID NumberedName(const WIDE_NAME<N>& Template, WCHAR (&Name)[N], ULONG DeviceNumber) {
    RtlCopyMemory(Name, Template.Chars, sizeof(Name));
    Name[N - 2] = (WCHAR)(0x30 + DeviceNumber);
}

} // namespace

_Use_decl_annotations_ NTSTATUS CreateDeviceObject(PDRIVER_OBJECT DriverObject,
                                                   PDEVICE_OBJECT* DeviceObject,
                                                   ULONG DeviceNumber) {
    PAGED_CODE();
    WCHAR deviceName[sizeof(DeviceNameTemplate.Chars) / sizeof(WCHAR)];
    WCHAR linkName[sizeof(LinkNameTemplate.Chars) / sizeof(WCHAR)];
    UNICODE_STRING deviceNameString;
    UNICODE_STRING linkNameString;

    NumberedName(DeviceNameTemplate, deviceName, DeviceNumber);
    NumberedName(LinkNameTemplate, linkName, DeviceNumber);

    RtlInitUnicodeString(&deviceNameString, deviceName);
    NTSTATUS status = IoCreateDevice(DriverObject, sizeof(DEVICE_EXTENSION), &deviceNameString,
                                     FILE_DEVICE_UNKNOWN, 0, FALSE, DeviceObject);
    if (!NT_SUCCESS(status)) {
        return status;
    }

    PDEVICE_EXTENSION extension = DeviceExtensionOf(*DeviceObject);
    RtlCopyMemory(extension->SymbolicLinkName, linkName, sizeof(extension->SymbolicLinkName));
    extension->OpenCount = 0;
    extension->ConfigurationHandle = NULL;
    extension->DeviceDescriptor = NULL;
    extension->InterfaceInfo = NULL;
    extension->LinkCreated = FALSE;
    extension->Started = FALSE;
    extension->StreamDataRing = NULL;
    extension->StreamPacketRing = NULL;

    RtlInitUnicodeString(&linkNameString, linkName);
    status = IoCreateSymbolicLink(&linkNameString, &deviceNameString);

    KeInitializeEvent(&extension->ChunkDoneEvent, NotificationEvent, FALSE);
    KeInitializeSpinLock(&extension->ChunkLock);
    extension->ChunkContexts = NULL;
    InitializeTransferState(*DeviceObject);

    if (!NT_SUCCESS(status)) {
        // The link name is taken: this number is unusable, give the device object back.
        IoDeleteDevice(*DeviceObject);
        *DeviceObject = NULL;
        return status;
    }
    // Remembered from the moment the link exists, so that a device removed before its start
    // configured anything still deletes its link and frees its number.
    extension->LinkCreated = TRUE;
    ExInitializeResourceLite(&extension->PipeTableLock);
    return status;
}

_Use_decl_annotations_ NTSTATUS AddDevice(PDRIVER_OBJECT DriverObject,
                                          PDEVICE_OBJECT PhysicalDeviceObject) {
    PAGED_CODE();
    PDEVICE_OBJECT deviceObject = NULL;
    NTSTATUS status = STATUS_UNSUCCESSFUL;

    // The lowest number whose device name and link name are both free.
    for (ULONG number = 0; number < TOVRIK_MAX_DEVICES; number++) {
        status = CreateDeviceObject(DriverObject, &deviceObject, number);
        WriteRelease(&DeviceSlotsTried, (LONG)(number + 1));
        if (NT_SUCCESS(status)) {
            break;
        }
    }
    if (!NT_SUCCESS(status)) {
        return status;
    }

    deviceObject->Flags &= ~DO_DEVICE_INITIALIZING;
    deviceObject->Flags |= DO_DIRECT_IO | DO_POWER_PAGABLE;

    PDEVICE_EXTENSION extension = DeviceExtensionOf(deviceObject);
    extension->PhysicalDeviceObject = PhysicalDeviceObject;
    extension->LowerDeviceObject = IoAttachDeviceToDeviceStack(deviceObject, PhysicalDeviceObject);
    if (extension->LowerDeviceObject == NULL) {
        // Without a stack below there is no target for any request: leave nothing behind.
        UNICODE_STRING linkNameString;
        RtlInitUnicodeString(&linkNameString, extension->SymbolicLinkName);
        IoDeleteSymbolicLink(&linkNameString);
        extension->LinkCreated = FALSE;
        ExDeleteResourceLite(&extension->PipeTableLock);
        IoDeleteDevice(deviceObject);
        return STATUS_NO_SUCH_DEVICE;
    }

    extension->LastUsbdStatus = 0;
    extension->IoCount = 1;
    KeInitializeEvent(&extension->NoIoEvent, NotificationEvent, FALSE);
    return status;
}
