// The Windows side of platform/kernel.h: the DDK of the mingw-w64 sysroot.
#pragma once

#ifndef TOVRIK_PLATFORM_KERNEL_INSIDE
#error "include platform/kernel.h, not this header"
#endif

#include <ntddk.h>
#include <usb.h>
#include <usbioctl.h>

// The USBD library header declares its routines without C linkage.
extern "C" {
#include <usbdlib.h>
}
