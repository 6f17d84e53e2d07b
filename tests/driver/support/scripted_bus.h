// A bus driver for driver tests that answers every internal request from a script, so a test can
// hold the exact conversation: which URBs arrive, in what order, with what fields, and what the
// bus answers (at once, later from another thread at DISPATCH_LEVEL, or never until cancelled).
#pragma once

#include "host/host_kernel.h"

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace tovrik_test {

struct UrbReply {
    enum class When { Now, Later, Never };
    When How = When::Now;
    NTSTATUS Status = STATUS_SUCCESS;             // the request's final status
    USBD_STATUS UsbdStatus = USBD_STATUS_SUCCESS; // written into the URB header
};

// What the bus saw of one internal request, copied when it arrived.
struct SeenRequest {
    ULONG IoControlCode = 0;
    std::vector<std::uint8_t> Urb;     // the URB block as it arrived (header Length bytes)
    std::vector<std::uint8_t> OutData; // bytes of a host-to-device transfer buffer
    USHORT Function() const;
    USHORT Length() const;
    template <typename T> T As() const {
        T value{};
        std::memcpy(&value, Urb.data(), std::min(sizeof(T), Urb.size()));
        return value;
    }
};

// The transfer buffer of a URB, through its MDL when it has one (host memory is always mapped).
std::uint8_t* TransferBufferOf(PURB urb);
ULONG TransferLengthOf(PURB urb);

class ScriptedBus {
  public:
    ScriptedBus();
    ~ScriptedBus();
    ScriptedBus(const ScriptedBus&) = delete;
    ScriptedBus& operator=(const ScriptedBus&) = delete;

    // A new physical device object of this bus (deleted with the bus, or by DeletePdo).
    PDEVICE_OBJECT AddPdo();
    void DeletePdo(PDEVICE_OBJECT pdo);

    // The handler may fill the URB (buffers, lengths, handles) and says how the bus answers.
    // Without one, every URB succeeds at once and moves nothing.
    std::function<UrbReply(PURB urb)> OnUrb;
    // Port status word and status of IOCTL_INTERNAL_USB_GET_PORT_STATUS.
    ULONG PortStatus = USBD_PORT_ENABLED | USBD_PORT_CONNECTED;
    NTSTATUS PortStatusResult = STATUS_SUCCESS;
    NTSTATUS ResetPortResult = STATUS_SUCCESS;
    // Status the bus gives IRP_MN_START_DEVICE (other PnP requests succeed).
    NTSTATUS StartResult = STATUS_SUCCESS;

    std::vector<SeenRequest> Seen();
    std::vector<SeenRequest> SeenUrbs(USHORT function);
    void ClearSeen();
    // Requests pending below with When::Never, not yet cancelled.
    std::size_t Pending();

  private:
    static NTSTATUS DispatchInternal(PDEVICE_OBJECT device, PIRP irp);
    static NTSTATUS DispatchPnp(PDEVICE_OBJECT device, PIRP irp);
    static NTSTATUS DispatchPower(PDEVICE_OBJECT device, PIRP irp);
    static VOID CancelPending(PDEVICE_OBJECT device, PIRP irp);
    NTSTATUS Internal(PIRP irp);
    void Completer();

    PDRIVER_OBJECT driver_ = nullptr;
    std::vector<PDEVICE_OBJECT> pdos_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::vector<SeenRequest> seen_;
    std::deque<std::pair<PIRP, UrbReply>> later_;
    std::vector<PIRP> never_;
    bool stopping_ = false;
    std::thread completer_;
};

} // namespace tovrik_test
