// The host side of platform/kernel.h: our own declarations of the kernel types, constants and
// routines the driver uses, for the user-mode host kernel in platform/host.
//
// Written from the documented behaviour of the Windows kernel and the USB driver stack. Where a
// layout is visible to a bus driver or to user software (URBs, USBD records, USB descriptors,
// DEVICE_CAPABILITIES, IO_STATUS_BLOCK) it is the real 64-bit (LLP64) layout; so are the members
// of IRP, IO_STACK_LOCATION, DEVICE_OBJECT, DRIVER_OBJECT and MDL that a driver touches. The
// layout test compiles one source against these declarations and against the DDK and compares.
//
// Nothing here includes a system header: the driver is compiled without the standard library.
#pragma once

#ifndef TOVRIK_PLATFORM_KERNEL_INSIDE
#error "include platform/kernel.h, not this header"
#endif

// The declarations live in role headers that refuse to be included any other way; this is the
// one header that stands for them all, in dependency order.
#include "tovrik_platform/base.h"
#include "tovrik_platform/io.h"
#include "tovrik_platform/routines.h"
#include "tovrik_platform/usb.h"
#include "tovrik_platform/contracts.h"
