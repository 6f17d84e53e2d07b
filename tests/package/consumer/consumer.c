/* Uses the SDK through its C interface: the version of the library it loaded, then every camera
 * it finds, with the identity of each. Prints one "key value" line per fact, for the test.
 *
 *   consumer [--sim]   --sim: a host SDK's simulated world with one camera running its firmware,
 *                      on a fast clock (the Win32 SDK ignores the sim_ options)
 */
#include <stdio.h>
#include <string.h>

#include "tovrik/sdk.h"

int cpp_view_count_cameras(tovrik_system* system); /* consumer_cpp.cpp */

int main(int argc, char** argv) {
    uint32_t major = 0, minor = 0, patch = 0;
    const char* version = tovrik_sdk_version(&major, &minor, &patch);
    char parts[64];
    snprintf(parts, sizeof parts, "%u.%u.%u", (unsigned)major, (unsigned)minor, (unsigned)patch);
    printf("sdk_version %s\n", version);
    printf("sdk_version_parts %s\n", parts);
    printf("backend %s\n", tovrik_backend_name());

    tovrik_system_options options;
    tovrik_system_options_init(&options);
    if (argc > 1 && strcmp(argv[1], "--sim") == 0) {
        options.sim_cameras = 1;
        options.sim_identity = TOVRIK_SIM_IDENTITY_OWN;
        /* A hundred times real time: the driver bounds each control transfer of the start at 5 s
         * of kernel time, 50 ms of real time here, which a loaded machine still leaves the
         * simulated bus. */
        options.sim_clock_scale = 100.0;
    }
    tovrik_system* system = NULL;
    int32_t status = tovrik_system_open(&options, &system);
    if (!tovrik_succeeded(status)) {
        printf("system_open %s\n", tovrik_status_name(status));
        return 1;
    }
    uint32_t numbers[TOVRIK_MAX_CAMERAS];
    uint32_t count = tovrik_enumerate(system, numbers, TOVRIK_MAX_CAMERAS);
    printf("cameras %u\n", (unsigned)count);
    for (uint32_t i = 0; i < count && i < TOVRIK_MAX_CAMERAS; ++i) {
        tovrik_device* device = NULL;
        status = tovrik_open(system, numbers[i], &device);
        if (!tovrik_succeeded(status)) {
            printf("open %u %s\n", (unsigned)numbers[i], tovrik_status_name(status));
            tovrik_system_close(system);
            return 1;
        }
        tovrik_device_descriptor_result d = tovrik_get_device_descriptor(device);
        if (!tovrik_succeeded(d.status) || !d.valid) {
            printf("descriptor %u %s\n", (unsigned)numbers[i], tovrik_status_name(d.status));
            tovrik_close(device);
            tovrik_system_close(system);
            return 1;
        }
        printf("camera %u %04x:%04x\n", (unsigned)numbers[i], (unsigned)d.descriptor.idVendor,
               (unsigned)d.descriptor.idProduct);
        tovrik_close(device);
    }
    printf("cpp_view_cameras %d\n", cpp_view_count_cameras(system));
    tovrik_system_close(system);
    return 0;
}
