// The host backend's world, for tests that need to act on it while the SDK talks to it
// (unplug a camera, arm a fault, read the bus counters).
#pragma once

#include "tovrik/sdk.h"

namespace sim {
class World;
}

namespace tovrik::sdk {

// The world behind a system opened by the host backend; null for any other system.
sim::World* HostWorld(tovrik_system* system);

} // namespace tovrik::sdk
