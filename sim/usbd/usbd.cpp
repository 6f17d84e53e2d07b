// The USBD library of the host build: the three routines of usbd.sys that the driver imports.
//
// Both parsers take descriptor sets straight from a device, so they trust nothing in them: every
// walk is bounded by wTotalLength, a descriptor shorter than two bytes ends the walk (its length
// would never move the cursor), and a descriptor is only read as an interface descriptor when all
// nine of its bytes lie inside the set. What lies past wTotalLength is never touched, since the
// caller's block may end right there.

#include "usbd/usbd.h"

#include "platform/kernel.h"

#include "host/host_kernel.h"

#include <atomic>

namespace {

std::atomic<std::uint32_t> ReportedUsbdiVersion{sim::DefaultUsbdiVersion};
std::atomic<std::uint32_t> ReportedUsbVersion{sim::DefaultSupportedUsbVersion};

// The end of the part of the set that may be read: wTotalLength bytes from its start, or nothing
// when the header itself claims less than a configuration descriptor.
const UCHAR* SetEnd(const USB_CONFIGURATION_DESCRIPTOR* configuration) {
    const auto* start = reinterpret_cast<const UCHAR*>(configuration);
    if (configuration->wTotalLength < sizeof(USB_CONFIGURATION_DESCRIPTOR))
        return start;
    return start + configuration->wTotalLength;
}

bool Matches(LONG wanted, UCHAR actual) {
    return wanted == -1 || wanted == static_cast<LONG>(actual);
}

// The next interface descriptor at or after position, or null. Position need not sit on a
// descriptor boundary of the set's own walk: the driver passes either the set's start or a
// descriptor it got from an earlier call, and both are walked the same way from there.
const USB_INTERFACE_DESCRIPTOR* NextInterface(const UCHAR* position, const UCHAR* end) {
    while (position + sizeof(USB_COMMON_DESCRIPTOR) <= end) {
        const auto* common = reinterpret_cast<const USB_COMMON_DESCRIPTOR*>(position);
        if (common->bLength < sizeof(USB_COMMON_DESCRIPTOR))
            return nullptr;
        if (common->bLength > end - position)
            return nullptr;
        if (common->bDescriptorType == USB_INTERFACE_DESCRIPTOR_TYPE &&
            common->bLength >= sizeof(USB_INTERFACE_DESCRIPTOR))
            return reinterpret_cast<const USB_INTERFACE_DESCRIPTOR*>(position);
        position += common->bLength;
    }
    return nullptr;
}

} // namespace

namespace sim {

void SetUsbdiVersion(std::uint32_t usbdiVersion, std::uint32_t supportedUsbVersion) {
    ReportedUsbdiVersion.store(usbdiVersion);
    ReportedUsbVersion.store(supportedUsbVersion);
}

void ResetUsbdiVersion() {
    SetUsbdiVersion(DefaultUsbdiVersion, DefaultSupportedUsbVersion);
}

std::uint32_t CurrentUsbdiVersion() {
    return ReportedUsbdiVersion.load();
}

} // namespace sim

extern "C" {

// Called by a function driver at PASSIVE_LEVEL or DISPATCH_LEVEL, no locks needed: it only reads.
PUSB_INTERFACE_DESCRIPTOR NTAPI USBD_ParseConfigurationDescriptorEx(
    PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor, PVOID StartPosition,
    LONG InterfaceNumber, LONG AlternateSetting, LONG InterfaceClass, LONG InterfaceSubClass,
    LONG InterfaceProtocol) {
    if (ConfigurationDescriptor == nullptr)
        return nullptr;
    const auto* start = reinterpret_cast<const UCHAR*>(ConfigurationDescriptor);
    const UCHAR* end = SetEnd(ConfigurationDescriptor);
    const auto* position = static_cast<const UCHAR*>(StartPosition);
    if (position == nullptr || position < start || position >= end)
        return nullptr;

    for (const USB_INTERFACE_DESCRIPTOR* found = NextInterface(position, end); found != nullptr;
         found = NextInterface(reinterpret_cast<const UCHAR*>(found) + found->bLength, end)) {
        if (Matches(InterfaceNumber, found->bInterfaceNumber) &&
            Matches(AlternateSetting, found->bAlternateSetting) &&
            Matches(InterfaceClass, found->bInterfaceClass) &&
            Matches(InterfaceSubClass, found->bInterfaceSubClass) &&
            Matches(InterfaceProtocol, found->bInterfaceProtocol))
            return const_cast<PUSB_INTERFACE_DESCRIPTOR>(found);
    }
    return nullptr;
}

// Called at PASSIVE_LEVEL by a function driver; the URB comes from non-paged pool and belongs to
// the caller, who frees it with ExFreePool. The interface list is ended by an entry whose
// InterfaceDescriptor is null; each listed entry gets its Interface pointed into the URB.
PURB NTAPI USBD_CreateConfigurationRequestEx(PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor,
                                             PUSBD_INTERFACE_LIST_ENTRY InterfaceList) {
    // The caller's site, for fault injection and the pool report; taken before anything else
    // can overwrite it.
    const host::CallSite site = host::TakeCallSite();
    if (ConfigurationDescriptor == nullptr || InterfaceList == nullptr)
        return nullptr;
    if (host::FaultInjection::ShouldFail(host::AllocationKind::Usbd, site))
        return nullptr;

    // The URB is the fixed part followed by one interface record per listed interface, each as
    // long as its own pipe array. bNumEndpoints is a byte, so the size cannot overflow.
    SIZE_T size = FIELD_OFFSET(struct _URB_SELECT_CONFIGURATION, Interface);
    ULONG interfaces = 0;
    for (PUSBD_INTERFACE_LIST_ENTRY entry = InterfaceList; entry->InterfaceDescriptor != nullptr;
         ++entry) {
        size += GET_USBD_INTERFACE_SIZE(entry->InterfaceDescriptor->bNumEndpoints);
        ++interfaces;
    }
    if (interfaces == 0)
        return nullptr;
    // A caller may read the whole published structure even when the only interface has no pipes.
    if (size < sizeof(struct _URB_SELECT_CONFIGURATION))
        size = sizeof(struct _URB_SELECT_CONFIGURATION);
    if (size > 0xFFFF)
        return nullptr;

    auto* urb = static_cast<PURB>(ExAllocatePool(NonPagedPool, size));
    if (urb == nullptr)
        return nullptr;
    RtlZeroMemory(urb, size);

    urb->UrbHeader.Length = static_cast<USHORT>(size);
    urb->UrbHeader.Function = URB_FUNCTION_SELECT_CONFIGURATION;
    urb->UrbSelectConfiguration.ConfigurationDescriptor = ConfigurationDescriptor;

    auto* cursor = reinterpret_cast<UCHAR*>(&urb->UrbSelectConfiguration.Interface);
    for (PUSBD_INTERFACE_LIST_ENTRY entry = InterfaceList; entry->InterfaceDescriptor != nullptr;
         ++entry) {
        const USB_INTERFACE_DESCRIPTOR* descriptor = entry->InterfaceDescriptor;
        auto* interface = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(cursor);
        const ULONG pipes = descriptor->bNumEndpoints;
        interface->Length = static_cast<USHORT>(GET_USBD_INTERFACE_SIZE(pipes));
        interface->InterfaceNumber = descriptor->bInterfaceNumber;
        interface->AlternateSetting = descriptor->bAlternateSetting;
        interface->NumberOfPipes = pipes;
        for (ULONG i = 0; i < pipes; ++i) {
            interface->Pipes[i].MaximumTransferSize = USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE;
            interface->Pipes[i].PipeFlags = 0;
        }
        entry->Interface = interface;
        cursor += interface->Length;
    }
    return urb;
}

// Any IRQL; fills the caller's record.
VOID NTAPI USBD_GetUSBDIVersion(PUSBD_VERSION_INFORMATION VersionInformation) {
    if (VersionInformation == nullptr)
        return;
    VersionInformation->USBDI_Version = ReportedUsbdiVersion.load();
    VersionInformation->Supported_USB_Version = ReportedUsbVersion.load();
}

} // extern "C"
