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

// ---------------------------------------------------------------------------------------------
// What mingw-w64's DDK lacks or spells as an older DDK did.

// The mapping flags that ride in the page priority of the MDL mapping routines.
#ifndef MdlMappingNoWrite
#define MdlMappingNoWrite 0x80000000
#endif
#ifndef MdlMappingNoExecute
#define MdlMappingNoExecute 0x40000000
#endif

// mingw-w64 declares the last parameter of MmMapLockedPagesSpecifyCache as MM_PAGE_PRIORITY, as
// the DDK did before the MdlMapping* flags existed; the platform's own declaration takes a ULONG
// (a page priority with those flags OR'd in), and C++ does not turn that ULONG back into the enum
// by itself. The platform's macro again, with the conversion the older declaration needs.
#undef MmGetSystemAddressForMdlSafe
#define MmGetSystemAddressForMdlSafe(Mdl, Priority)                                                \
    (((Mdl)->MdlFlags & (MDL_MAPPED_TO_SYSTEM_VA | MDL_SOURCE_IS_NONPAGED_POOL))                   \
         ? (Mdl)->MappedSystemVa                                                                   \
         : MmMapLockedPagesSpecifyCache((Mdl), KernelMode, MmCached, NULL, FALSE,                  \
                                        (MM_PAGE_PRIORITY)(ULONG)(Priority)))
