#include "driver_test.h"

#include <algorithm>

namespace tovrik_test {

// The host kernel's GoogleTest glue brackets every test (violations fail it, leftovers too).
void DriverTest::SetUp() {
    host::Clock::SetScale(kFastClock);
    // Driver-wide values as a fresh load leaves them.
    BulkTimeoutMs = 3000;
    DeviceSlotsTried = 0;
    driver_ = host::LoadDriver(DriverEntry);
    ASSERT_NE(driver_, nullptr);
    host::Pnp::SetFunctionDriver(driver_);
}

void DriverTest::TearDown() {
    for (PDEVICE_OBJECT pdo : std::vector<PDEVICE_OBJECT>(plugged_)) {
        Unplug(pdo);
    }
    if (driver_ != nullptr) {
        host::UnloadDriver(driver_);
    }
}

PDEVICE_OBJECT DriverTest::Plug(host::Pnp::Arrival* arrival) {
    PDEVICE_OBJECT pdo = bus_.AddPdo();
    host::Pnp::Arrival result = host::Pnp::DeviceArrived(pdo, driver_);
    if (arrival != nullptr) {
        *arrival = result;
    }
    if (NT_SUCCESS(result.AddDevice)) {
        plugged_.push_back(pdo);
    } else {
        bus_.DeletePdo(pdo);
        return nullptr;
    }
    return pdo;
}

host::RequestResult DriverTest::Unplug(PDEVICE_OBJECT pdo) {
    host::RequestResult result = host::Pnp::Remove(pdo);
    plugged_.erase(std::remove(plugged_.begin(), plugged_.end(), pdo), plugged_.end());
    bus_.DeletePdo(pdo);
    return result;
}

PDEVICE_OBJECT DriverTest::Fdo(PDEVICE_OBJECT pdo) {
    return host::Pnp::TopOf(pdo);
}

PDEVICE_EXTENSION DriverTest::Extension(PDEVICE_OBJECT pdo) {
    return DeviceExtensionOf(Fdo(pdo));
}

void ScriptedCameraTest::SetUp() {
    DriverTest::SetUp();
    script_ = CameraScript::Default();
    bus_.OnUrb = [this](PURB urb) { return Answer(urb); };
}

void ScriptedCameraTest::TearDown() {
    if (handle_ != 0) {
        host::FrontEnd::Close(handle_);
        handle_ = 0;
    }
    DriverTest::TearDown();
}

void ScriptedCameraTest::PlugAndOpen() {
    pdo_ = Plug();
    ASSERT_NE(pdo_, nullptr);
    ASSERT_EQ(host::FrontEnd::Open(UserPath(0), &handle_), STATUS_SUCCESS);
    bus_.ClearSeen();
}

std::u16string UserPath(unsigned number) {
    std::u16string path = u"\\\\.\\Tovrik318QX-";
    path.push_back(static_cast<char16_t>(0x30 + number));
    return path;
}

} // namespace tovrik_test
