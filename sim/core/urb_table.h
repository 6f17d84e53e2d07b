// The URB functions the simulated bus serves, and the status table: which request status goes
// with which USBD status. One table for the bus core and for the test buses that stand in for it.
//
// Refusals and results, as the platform's USB 2.0 stack reports them:
//
//   refusal                                               URB status                    request
//   no URB, header Length too small for the function      USBD_STATUS_INVALID_PARAMETER
//                                                                       STATUS_INVALID_PARAMETER
//   function the bus does not serve                       USBD_STATUS_INVALID_URB_FUNCTION
//                                                                       STATUS_INVALID_PARAMETER
//   pipe handle not of the current configuration          USBD_STATUS_INVALID_PIPE_HANDLE
//                                                                       STATUS_INVALID_PARAMETER
//   direction flag against the endpoint, wrong pipe       USBD_STATUS_INVALID_PARAMETER
//   type, buffer longer than its MDL, packet count 0,                   STATUS_INVALID_PARAMETER
//   over 1024 or not a multiple of 8, packet offsets
//   out of order
//   isochronous start frame out of reach                  USBD_STATUS_BAD_START_FRAME
//                                                                       STATUS_INVALID_PARAMETER
//   select-interface of a setting the device lacks        USBD_STATUS_INTERFACE_NOT_FOUND
//                                                                       STATUS_INVALID_PARAMETER
//   interface record shorter than its pipes need          USBD_STATUS_BUFFER_TOO_SMALL
//                                                                       STATUS_INVALID_PARAMETER
//   periodic bandwidth over 80 % of a microframe          USBD_STATUS_NO_BANDWIDTH
//                                                                   STATUS_INSUFFICIENT_RESOURCES
//   no memory for the transfer                            USBD_STATUS_INSUFFICIENT_RESOURCES
//                                                                   STATUS_INSUFFICIENT_RESOURCES
//   device gone (before or while the URB pends)           USBD_STATUS_DEVICE_GONE
//                                                                    STATUS_DEVICE_NOT_CONNECTED
//   cancelled, or ended by abort-pipe                     USBD_STATUS_CANCELED
//                                                                              STATUS_CANCELLED
//   the device stalls                                     USBD_STATUS_STALL_PID
//                                                                            STATUS_UNSUCCESSFUL
//   the device does not answer on that endpoint           USBD_STATUS_DEV_NOT_RESPONDING
//                                                                            STATUS_UNSUCCESSFUL
//
// A short IN transfer without USBD_SHORT_TRANSFER_OK ends with USBD_STATUS_DATA_UNDERRUN and
// STATUS_UNSUCCESSFUL, TransferBufferLength holding the bytes that did arrive: that is what the
// USB 2.0 host controller drivers report for an early short packet the caller did not allow
// (the flag is honoured for bulk, interrupt and control transfers alike). The pipe stays usable;
// nothing on the device halted.
//
// An isochronous URB ends with USBD_STATUS_SUCCESS unless every packet failed
// (USBD_STATUS_ISOCH_REQUEST_FAILED, STATUS_UNSUCCESSFUL); the per-packet statuses tell the rest.
#pragma once

#include "platform/kernel.h"

#include <cstdint>
#include <span>

namespace sim::core {

// What the bus does with a function: which handler validates and serves it.
enum class UrbKind : std::uint8_t {
    SelectConfiguration,
    SelectInterface,
    PipeRequest, // abort pipe, reset pipe
    FrameNumber,
    BulkOrInterrupt,
    Isochronous,
    GetDescriptor,
    SetFeature,
    VendorOrClass,
};

struct UrbFunction {
    USHORT Function;
    const char* Name;
    UrbKind Kind;
    // The header Length below which the URB is refused (for isochronous transfers, the fixed
    // part; the packets add theirs; pipe requests of a stack older than USBDI 0x101 may be 4
    // bytes shorter).
    std::uint16_t MinimumLength;
    // Vendor and class requests: bmRequestType's type bits (0x20 class, 0x40 vendor) and
    // recipient (0 device, 1 interface, 2 endpoint, 3 other); 0 for the others.
    std::uint8_t RequestType;
    std::uint8_t Recipient;
};

// Every function the bus serves.
std::span<const UrbFunction> ServedUrbFunctions();
// The entry of a function the bus serves, or null.
const UrbFunction* FindUrbFunction(USHORT function);
// Whether the function is one of the eight vendor and class requests.
bool IsVendorOrClass(USHORT function);
// Whether the function's URB carries TransferFlags whose direction bit says which way its data
// goes (transfers and vendor/class requests, served or not).
bool CarriesTransferDirection(USHORT function);
// bmRequestType of a vendor or class request: direction, type and recipient of the function,
// and the caller's reserved bits.
std::uint8_t VendorOrClassRequestType(const UrbFunction& function, bool in,
                                      std::uint8_t reservedBits);

// The request status that goes with a URB's USBD status.
NTSTATUS RequestStatusFor(USBD_STATUS status);

// Highest packet count of one isochronous URB at high speed.
inline constexpr std::uint32_t MaxIsoPackets = 1024;
// 80 % of the 7500 bytes of a high-speed microframe may be reserved for periodic endpoints.
inline constexpr std::uint32_t PeriodicBytesPerMicroframe = 6000;

} // namespace sim::core
