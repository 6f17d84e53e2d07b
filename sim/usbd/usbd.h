// Test controls of the host build's USBD library.
//
// The library itself is the three USBD routines the driver imports (declared with the other
// kernel routines in platform/kernel.h); this header only lets a test choose what
// USBD_GetUSBDIVersion reports, so both header-length rules of pipe requests can be exercised.
#pragma once

#include <cstdint>

namespace sim {

// What the USB stack of a current Windows reports: USBDI 0x600, USB 2.0.
inline constexpr std::uint32_t DefaultUsbdiVersion = 0x600;
inline constexpr std::uint32_t DefaultSupportedUsbVersion = 0x200;

// Sets the versions every later USBD_GetUSBDIVersion call reports, in any thread. The bus reads
// the same value when it checks the header length of a pipe request, so driver and bus agree.
void SetUsbdiVersion(std::uint32_t usbdiVersion,
                     std::uint32_t supportedUsbVersion = DefaultSupportedUsbVersion);
// Back to the defaults; a test fixture calls it in its tear-down.
void ResetUsbdiVersion();
// The USBDI version currently reported.
std::uint32_t CurrentUsbdiVersion();

} // namespace sim
