// The device I/O control dispatch: the only way user software reaches a camera.
#pragma once

#include "frame/frame.h"

// Runs in the caller's thread at PASSIVE_LEVEL. Admits the request through the I/O gate, routes
// it by its whole code, and completes it exactly once before returning; never pends it.
DRIVER_DISPATCH DispatchDeviceControl;
