// The driver's only window on the operating system.
//
// Every file of driver/ includes this header and nothing else from the platform. Which platform
// stands behind it is decided by the build, not by the preprocessor: the Windows build puts
// platform/windows on the include path (the DDK headers), the host build puts
// platform/host/include there (our own host kernel's declarations, written from the documented
// behaviour of the kernel routines the driver uses). The ordered reads and writes are the same
// on both (ordered_access.h).
#pragma once

#define TOVRIK_PLATFORM_KERNEL_INSIDE 1
#include <tovrik_platform_kernel.h>
#include "ordered_access.h"
#undef TOVRIK_PLATFORM_KERNEL_INSIDE
