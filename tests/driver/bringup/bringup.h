// What the bring-up tests share: a started camera over the scripted bus whose answers a test can
// change URB by URB, the kernel time at which each URB arrived, the firmware writes the bus saw,
// and two taps on the bus driver's own dispatch table: one that holds chosen URBs until the test
// completes them (so a test decides when a cancelled request comes back), and one that watches
// and, when asked, answers the Plug and Play requests that reach the bus.
#pragma once

#include "support/camera_script.h"
#include "support/driver_test.h"

#include "firmware/firmware.h"

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <vector>

namespace tovrik_test {

// One vendor device request the bus saw, as the firmware code sends them.
struct VendorWrite {
    UCHAR Request = 0;
    USHORT Value = 0;
    std::vector<std::uint8_t> Data;
    bool operator==(const VendorWrite&) const = default;
};
std::ostream& operator<<(std::ostream& out, const VendorWrite& write);

// The host-to-device vendor device requests among the seen requests, in order.
std::vector<VendorWrite> VendorWritesIn(const std::vector<SeenRequest>& seen);
// The writes one image's download must make: the records above 0x1B3F with 0xA3, the reset held
// at both CPU control addresses, the other records with 0xA0 in file order, the reset released.
std::vector<VendorWrite> ExpectedDownload(const FIRMWARE_RECORD* image);
std::size_t DataRecordCount(const FIRMWARE_RECORD* image);

// A kernel-time mark of one URB as it reached the bus.
struct UrbStamp {
    USHORT Function = 0;
    LONGLONG Time = 0;
};

inline constexpr LONGLONG kSecond = 10'000'000; // 100-ns units

class BringupTest : public ScriptedCameraTest {
  protected:
    void TearDown() override;
    // Stamps the URB, then lets Override answer it, then the script.
    UrbReply Answer(PURB urb) override;

    // Plugs a camera in and expects its start to succeed.
    PDEVICE_OBJECT PlugStarted();
    // The URBs of one function that reached the bus since the last ClearSeen.
    std::vector<SeenRequest> Urbs(USHORT function) { return bus_.SeenUrbs(function); }
    std::vector<UrbStamp> Stamps();
    // Opens the camera with this number; 0 when refused.
    host::Handle Open(unsigned number);

    // Answers a URB before the script does; nullopt lets the script answer. Cleared before the
    // frame unplugs what the test left plugged.
    std::function<std::optional<UrbReply>(PURB)> Override;

  private:
    std::mutex stampsMutex_;
    std::vector<UrbStamp> stamps_;
};

// A camera plugged in and started, what the bus saw of its bring-up forgotten.
class StartedCameraTest : public BringupTest {
  protected:
    void SetUp() override;

    PDEVICE_OBJECT fdo_ = nullptr;
    PDEVICE_EXTENSION extension_ = nullptr;
};

// The started camera opened by user software as camera 0 (closed by the frame's TearDown).
class OpenedCameraTest : public StartedCameraTest {
  protected:
    void SetUp() override;

    host::FrontEnd::IoctlResult Ioctl(ULONG code, std::span<const std::uint8_t> input,
                                      ULONG output = 0) {
        return host::FrontEnd::DeviceIoControl(handle_, code, input, output);
    }
};

// Holds the URBs that `match` picks on their way into the bus: they pend, and a cancel only
// records that it came. The test completes a held URB when it chooses. One at a time.
class UrbHold {
  public:
    UrbHold(PDEVICE_OBJECT pdo, std::function<bool(PURB)> match);
    ~UrbHold();
    UrbHold(const UrbHold&) = delete;
    UrbHold& operator=(const UrbHold&) = delete;

    // Bounded waits (real time, generous): false when it did not happen.
    bool WaitUntilHeld();
    bool WaitUntilCancelled();
    bool Cancelled();
    // Completes the held request the way a bus would, from DISPATCH_LEVEL.
    void Complete(NTSTATUS status, USBD_STATUS usbdStatus);

  private:
    static NTSTATUS Dispatch(PDEVICE_OBJECT device, PIRP irp);
    static VOID Cancel(PDEVICE_OBJECT device, PIRP irp);

    PDRIVER_OBJECT driver_;
    PDRIVER_DISPATCH original_;
    std::function<bool(PURB)> match_;
    std::mutex mutex_;
    std::condition_variable changed_;
    PIRP held_ = nullptr;
    bool cancelled_ = false;
};

// Watches the Plug and Play requests that reach the bus below the driver; `Answer` may complete
// one itself (status and Information) instead of the bus.
class PnpTap {
  public:
    struct Seen {
        UCHAR Minor;
        IO_STACK_LOCATION Stack; // the bus's stack location as it arrived
    };
    explicit PnpTap(PDEVICE_OBJECT pdo);
    ~PnpTap();
    PnpTap(const PnpTap&) = delete;
    PnpTap& operator=(const PnpTap&) = delete;

    std::function<std::optional<std::pair<NTSTATUS, ULONG_PTR>>(PIO_STACK_LOCATION)> Answer;
    std::vector<Seen> Requests();

  private:
    static NTSTATUS Dispatch(PDEVICE_OBJECT device, PIRP irp);

    PDRIVER_OBJECT driver_;
    PDRIVER_DISPATCH original_;
    std::mutex mutex_;
    std::vector<Seen> seen_;
};

} // namespace tovrik_test
