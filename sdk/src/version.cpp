// The SDK's version: the product version the build was made from (cmake/Version.cmake), so a
// program can tell which SDK it loaded, whatever headers it was compiled against.
#include "tovrik/sdk.h"

#ifndef TOVRIK_VERSION_STRING
#error "the build defines TOVRIK_VERSION_STRING and its parts (cmake/Version.cmake)"
#endif

extern "C" const char* tovrik_sdk_version(uint32_t* major, uint32_t* minor, uint32_t* patch) {
    if (major != nullptr)
        *major = TOVRIK_VERSION_MAJOR;
    if (minor != nullptr)
        *minor = TOVRIK_VERSION_MINOR;
    if (patch != nullptr)
        *patch = TOVRIK_VERSION_PATCH;
    return TOVRIK_VERSION_STRING;
}
