#include "core/urb_table.h"

namespace sim::core {

namespace {

constexpr std::uint16_t Size(std::size_t bytes) {
    return static_cast<std::uint16_t>(bytes);
}

// bmRequestType's type bits of a vendor and of a class request.
constexpr std::uint8_t kVendor = 0x40;
constexpr std::uint8_t kClass = 0x20;

// The vendor and class functions share one URB layout; they differ only in the type and the
// recipient (0 device, 1 interface, 2 endpoint, 3 other) they put in bmRequestType.
constexpr UrbFunction VendorOrClass(USHORT function, const char* name, std::uint8_t type,
                                    std::uint8_t recipient) {
    return {function,
            name,
            UrbKind::VendorOrClass,
            Size(sizeof(_URB_CONTROL_VENDOR_OR_CLASS_REQUEST)),
            type,
            recipient};
}

constexpr UrbFunction kServed[] = {
    {URB_FUNCTION_SELECT_CONFIGURATION, "SELECT_CONFIGURATION", UrbKind::SelectConfiguration,
     Size(FIELD_OFFSET(_URB_SELECT_CONFIGURATION, Interface)), 0, 0},
    {URB_FUNCTION_SELECT_INTERFACE, "SELECT_INTERFACE", UrbKind::SelectInterface,
     Size(FIELD_OFFSET(_URB_SELECT_INTERFACE, Interface) + GET_USBD_INTERFACE_SIZE(0)), 0, 0},
    {URB_FUNCTION_ABORT_PIPE, "ABORT_PIPE", UrbKind::PipeRequest, Size(sizeof(_URB_PIPE_REQUEST)),
     0, 0},
    {URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL, "SYNC_RESET_PIPE_AND_CLEAR_STALL",
     UrbKind::PipeRequest, Size(sizeof(_URB_PIPE_REQUEST)), 0, 0},
    {URB_FUNCTION_GET_CURRENT_FRAME_NUMBER, "GET_CURRENT_FRAME_NUMBER", UrbKind::FrameNumber,
     Size(sizeof(_URB_GET_CURRENT_FRAME_NUMBER)), 0, 0},
    {URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER, "BULK_OR_INTERRUPT_TRANSFER",
     UrbKind::BulkOrInterrupt, Size(sizeof(_URB_BULK_OR_INTERRUPT_TRANSFER)), 0, 0},
    {URB_FUNCTION_ISOCH_TRANSFER, "ISOCH_TRANSFER", UrbKind::Isochronous,
     Size(FIELD_OFFSET(_URB_ISOCH_TRANSFER, IsoPacket)), 0, 0},
    {URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE, "GET_DESCRIPTOR_FROM_DEVICE", UrbKind::GetDescriptor,
     Size(sizeof(_URB_CONTROL_DESCRIPTOR_REQUEST)), 0, 0},
    {URB_FUNCTION_SET_FEATURE_TO_DEVICE, "SET_FEATURE_TO_DEVICE", UrbKind::SetFeature,
     Size(sizeof(_URB_CONTROL_FEATURE_REQUEST)), 0, 0},
    VendorOrClass(URB_FUNCTION_VENDOR_DEVICE, "VENDOR_DEVICE", kVendor, 0),
    VendorOrClass(URB_FUNCTION_VENDOR_INTERFACE, "VENDOR_INTERFACE", kVendor, 1),
    VendorOrClass(URB_FUNCTION_VENDOR_ENDPOINT, "VENDOR_ENDPOINT", kVendor, 2),
    VendorOrClass(URB_FUNCTION_VENDOR_OTHER, "VENDOR_OTHER", kVendor, 3),
    VendorOrClass(URB_FUNCTION_CLASS_DEVICE, "CLASS_DEVICE", kClass, 0),
    VendorOrClass(URB_FUNCTION_CLASS_INTERFACE, "CLASS_INTERFACE", kClass, 1),
    VendorOrClass(URB_FUNCTION_CLASS_ENDPOINT, "CLASS_ENDPOINT", kClass, 2),
    VendorOrClass(URB_FUNCTION_CLASS_OTHER, "CLASS_OTHER", kClass, 3),
};

} // namespace

std::span<const UrbFunction> ServedUrbFunctions() {
    return kServed;
}

const UrbFunction* FindUrbFunction(USHORT function) {
    for (const UrbFunction& entry : kServed)
        if (entry.Function == function)
            return &entry;
    return nullptr;
}

bool IsVendorOrClass(USHORT function) {
    const UrbFunction* entry = FindUrbFunction(function);
    return entry != nullptr && entry->Kind == UrbKind::VendorOrClass;
}

bool CarriesTransferDirection(USHORT function) {
    switch (function) {
    case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER:
    case URB_FUNCTION_ISOCH_TRANSFER:
    case URB_FUNCTION_CONTROL_TRANSFER:
        return true;
    default:
        return IsVendorOrClass(function);
    }
}

std::uint8_t VendorOrClassRequestType(const UrbFunction& function, bool in,
                                      std::uint8_t reservedBits) {
    return static_cast<std::uint8_t>((in ? 0x80 : 0x00) | function.RequestType |
                                     function.Recipient | reservedBits);
}

NTSTATUS RequestStatusFor(USBD_STATUS status) {
    switch (status) {
    case USBD_STATUS_SUCCESS:
        return STATUS_SUCCESS;
    case USBD_STATUS_CANCELED:
        return STATUS_CANCELLED;
    case USBD_STATUS_DEVICE_GONE:
        return STATUS_DEVICE_NOT_CONNECTED;
    case USBD_STATUS_NO_BANDWIDTH:
    case USBD_STATUS_INSUFFICIENT_RESOURCES:
        return STATUS_INSUFFICIENT_RESOURCES;
    case USBD_STATUS_INVALID_PARAMETER:
    case USBD_STATUS_INVALID_URB_FUNCTION:
    case USBD_STATUS_INVALID_PIPE_HANDLE:
    case USBD_STATUS_BAD_START_FRAME:
    case USBD_STATUS_INTERFACE_NOT_FOUND:
    case USBD_STATUS_BUFFER_TOO_SMALL:
        return STATUS_INVALID_PARAMETER;
    default:
        return STATUS_UNSUCCESSFUL;
    }
}

} // namespace sim::core
