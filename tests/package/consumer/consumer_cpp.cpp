// The C++ view compiles and links in a program of its own: the SDK's headers carry everything
// it needs.
#include "tovrik/sdk.hpp"

extern "C" int cpp_view_count_cameras(tovrik_system* system) {
    if (tovrik::StatusName(TOVRIK_STATUS_INVALID_PARAMETER) != "STATUS_INVALID_PARAMETER" ||
        tovrik::SdkVersion() != tovrik_sdk_version(nullptr, nullptr, nullptr))
        return -1;
    return static_cast<int>(tovrik_enumerate(system, nullptr, 0));
}
