// The device I/O control dispatch: the only way user software reaches a camera.
#pragma once

#include "frame/frame.h"

// Runs in the caller's thread at PASSIVE_LEVEL. Admits the request through the I/O gate, routes
// it by its whole code, and completes it exactly once before returning; never pends it.
_Dispatch_type_(IRP_MJ_DEVICE_CONTROL)
    _IRQL_requires_(PASSIVE_LEVEL) DRIVER_DISPATCH DispatchDeviceControl;
