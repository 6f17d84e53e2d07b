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

// The role and IRQL annotations mingw-w64's driverspecs.h and sal.h do not have, empty as theirs
// are: they speak to the platform's static analysis, not to a compiler.
#ifndef _Dispatch_type_
#define _Dispatch_type_(Major)
#endif
#ifndef _IRQL_saves_global_
#define _IRQL_saves_global_(Kind, Parameter)
#endif
#ifndef _IRQL_restores_global_
#define _IRQL_restores_global_(Kind, Parameter)
#endif
#ifndef _IRQL_always_function_max_
#define _IRQL_always_function_max_(Irql)
#endif
#ifndef _IRQL_always_function_min_
#define _IRQL_always_function_min_(Irql)
#endif
#ifndef _IRQL_uses_cancel_
#define _IRQL_uses_cancel_
#endif
#ifndef _IRQL_is_cancel_
#define _IRQL_is_cancel_
#endif
#ifndef _Kernel_requires_resource_held_
#define _Kernel_requires_resource_held_(Kind)
#endif
#ifndef _Kernel_requires_resource_not_held_
#define _Kernel_requires_resource_not_held_(Kind)
#endif
#ifndef _Kernel_acquires_resource_
#define _Kernel_acquires_resource_(Kind)
#endif
#ifndef _Kernel_releases_resource_
#define _Kernel_releases_resource_(Kind)
#endif
#ifndef _Kernel_clear_do_init_
#define _Kernel_clear_do_init_(YesNo)
#endif
#ifndef _Frees_ptr_
#define _Frees_ptr_
#endif
#ifndef _Frees_ptr_opt_
#define _Frees_ptr_opt_
#endif
#ifndef _Notnull_
#define _Notnull_
#endif
#ifndef _Post_invalid_
#define _Post_invalid_
#endif
#ifndef _Post_ptr_invalid_
#define _Post_ptr_invalid_
#endif

// The counterpart of PAGED_CODE() for routines that may run at DISPATCH_LEVEL but not above.
// The DDK has no such check; like PAGED_CODE() it is empty in a free build and an assertion in a
// checked one.
#ifndef NONPAGED_CODE
#if DBG
#define NONPAGED_CODE() NT_ASSERT(KeGetCurrentIrql() <= DISPATCH_LEVEL)
#else
#define NONPAGED_CODE()
#endif
#endif
