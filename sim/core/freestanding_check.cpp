// A kernel image made of the bus core and nothing else, linked in the cross build against
// ntoskrnl alone: if the core needed a C++ runtime (exceptions, RTTI, a pure-virtual handler,
// operator new) or any routine a kernel does not export, this image would not link. It is never
// loaded; building it is the check.

#include "core/core.h"

#include <new>

namespace {

class NothingTransport final : public sim::core::Transport {};

} // namespace

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath) {
    static sim::core::ScheduleStorage<4> memory;
    alignas(sim::core::BusCore) static unsigned char room[sizeof(sim::core::BusCore)];
    static NothingTransport transport;
    sim::core::BusCore* core = new (room) sim::core::BusCore(transport, {}, memory.View());
    static sim::CameraStorage storage;
    alignas(sim::Camera) static unsigned char cameraRoom[sizeof(sim::Camera)];
    sim::Camera* camera = new (cameraRoom) sim::Camera(storage, sim::CameraConfig{});
    alignas(sim::core::Port) static unsigned char portRoom[sizeof(sim::core::Port)];
    auto* port = new (portRoom) sim::core::Port(*camera);
    static sim::core::Connection connection;
    if (!core->Connect(connection, *port, 1))
        return STATUS_INSUFFICIENT_RESOURCES;
    const sim::core::SubmitOutcome outcome = core->Submit(connection, nullptr, nullptr);
    return outcome.Status == STATUS_INVALID_PARAMETER ? STATUS_UNSUCCESSFUL : STATUS_SUCCESS;
}
