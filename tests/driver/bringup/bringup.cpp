#include "bringup.h"

#include "usbd/usbd.h"

#include <chrono>
#include <iomanip>
#include <ostream>

namespace tovrik_test {

std::ostream& operator<<(std::ostream& out, const VendorWrite& write) {
    out << "{request 0x" << std::hex << unsigned(write.Request) << ", value 0x" << write.Value
        << ", " << std::dec << write.Data.size() << " bytes:";
    for (std::size_t i = 0; i < write.Data.size() && i < 8; i++) {
        out << ' ' << std::hex << std::setw(2) << std::setfill('0') << unsigned(write.Data[i]);
    }
    return out << std::dec << std::setfill(' ') << (write.Data.size() > 8 ? " ...}" : "}");
}

std::vector<VendorWrite> VendorWritesIn(const std::vector<SeenRequest>& seen) {
    std::vector<VendorWrite> writes;
    for (const SeenRequest& request : seen) {
        if (request.IoControlCode != IOCTL_INTERNAL_USB_SUBMIT_URB ||
            request.Function() != URB_FUNCTION_VENDOR_DEVICE) {
            continue;
        }
        auto urb = request.As<_URB_CONTROL_VENDOR_OR_CLASS_REQUEST>();
        if ((urb.TransferFlags & USBD_TRANSFER_DIRECTION_IN) != 0) {
            continue;
        }
        writes.push_back({urb.Request, urb.Value, request.OutData});
    }
    return writes;
}

std::size_t DataRecordCount(const FIRMWARE_RECORD* image) {
    std::size_t count = 0;
    while (image[count].Type == 0) {
        count++;
    }
    return count;
}

std::vector<VendorWrite> ExpectedDownload(const FIRMWARE_RECORD* image) {
    std::vector<VendorWrite> writes;
    auto record = [](const FIRMWARE_RECORD& r, UCHAR request) {
        return VendorWrite{request, r.Address,
                           std::vector<std::uint8_t>(r.Data, r.Data + r.Length)};
    };
    for (std::size_t i = 0; image[i].Type == 0; i++) {
        if (image[i].Address > 0x1B3F) {
            writes.push_back(record(image[i], 0xA3));
        }
    }
    writes.push_back({0xA0, 0x7F92, {1}});
    writes.push_back({0xA0, 0xE600, {1}});
    for (std::size_t i = 0; image[i].Type == 0; i++) {
        if (image[i].Address <= 0x1B3F) {
            writes.push_back(record(image[i], 0xA0));
        }
    }
    writes.push_back({0xA0, 0x7F92, {0}});
    writes.push_back({0xA0, 0xE600, {0}});
    return writes;
}

// ---- BringupTest --------------------------------------------------------------------------------

UrbReply BringupTest::Answer(PURB urb) {
    {
        std::lock_guard lock(stampsMutex_);
        stamps_.push_back({urb->UrbHeader.Function, host::Clock::Now()});
    }
    if (Override) {
        if (std::optional<UrbReply> reply = Override(urb)) {
            return *reply;
        }
    }
    return ScriptedCameraTest::Answer(urb);
}

void BringupTest::TearDown() {
    // A test's override may answer from its own locals, gone by now: the removal gets the script.
    Override = nullptr;
    ScriptedCameraTest::TearDown();
    sim::ResetUsbdiVersion();
}

PDEVICE_OBJECT BringupTest::PlugStarted() {
    host::Pnp::Arrival arrival;
    PDEVICE_OBJECT pdo = Plug(&arrival);
    EXPECT_NE(pdo, nullptr);
    EXPECT_TRUE(arrival.Start.has_value() && arrival.Start->Status == STATUS_SUCCESS);
    return pdo;
}

std::vector<UrbStamp> BringupTest::Stamps() {
    std::lock_guard lock(stampsMutex_);
    return stamps_;
}

host::Handle BringupTest::Open(unsigned number) {
    host::Handle handle = 0;
    return NT_SUCCESS(host::FrontEnd::Open(UserPath(number), &handle)) ? handle : 0;
}

// ---- StartedCameraTest, OpenedCameraTest --------------------------------------------------------

void StartedCameraTest::SetUp() {
    BringupTest::SetUp();
    pdo_ = PlugStarted();
    ASSERT_NE(pdo_, nullptr);
    fdo_ = Fdo(pdo_);
    extension_ = Extension(pdo_);
    bus_.ClearSeen();
}

void OpenedCameraTest::SetUp() {
    StartedCameraTest::SetUp();
    handle_ = Open(0);
    ASSERT_NE(handle_, 0u);
    bus_.ClearSeen();
}

// ---- UrbHold ------------------------------------------------------------------------------------

namespace {
UrbHold* ActiveHold = nullptr;
PnpTap* ActiveTap = nullptr;
constexpr auto kBound = std::chrono::seconds(20);
} // namespace

UrbHold::UrbHold(PDEVICE_OBJECT pdo, std::function<bool(PURB)> match)
    : driver_(pdo->DriverObject),
      original_(pdo->DriverObject->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL]),
      match_(std::move(match)) {
    ActiveHold = this;
    driver_->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = Dispatch;
}

UrbHold::~UrbHold() {
    driver_->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = original_;
    ActiveHold = nullptr;
}

NTSTATUS UrbHold::Dispatch(PDEVICE_OBJECT device, PIRP irp) {
    UrbHold* self = ActiveHold;
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    auto urb = static_cast<PURB>(stack->Parameters.Others.Argument1);
    if (stack->Parameters.DeviceIoControl.IoControlCode != IOCTL_INTERNAL_USB_SUBMIT_URB ||
        !self->match_(urb)) {
        return self->original_(device, irp);
    }
    IoMarkIrpPending(irp);
    {
        std::lock_guard lock(self->mutex_);
        self->held_ = irp;
        self->cancelled_ = false;
    }
    IoSetCancelRoutine(irp, Cancel);
    if (irp->Cancel && IoSetCancelRoutine(irp, nullptr) != nullptr) {
        std::lock_guard lock(self->mutex_);
        self->cancelled_ = true;
    }
    self->changed_.notify_all();
    return STATUS_PENDING;
}

VOID UrbHold::Cancel(PDEVICE_OBJECT, PIRP irp) {
    IoReleaseCancelSpinLock(irp->CancelIrql);
    UrbHold* self = ActiveHold;
    {
        std::lock_guard lock(self->mutex_);
        self->cancelled_ = true;
    }
    self->changed_.notify_all();
}

bool UrbHold::WaitUntilHeld() {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, kBound, [this] { return held_ != nullptr; });
}

bool UrbHold::WaitUntilCancelled() {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, kBound, [this] { return cancelled_; });
}

bool UrbHold::Cancelled() {
    std::lock_guard lock(mutex_);
    return cancelled_;
}

void UrbHold::Complete(NTSTATUS status, USBD_STATUS usbdStatus) {
    PIRP irp;
    {
        std::lock_guard lock(mutex_);
        irp = held_;
        held_ = nullptr;
    }
    ASSERT_NE(irp, nullptr);
    IoSetCancelRoutine(irp, nullptr);
    auto urb = static_cast<PURB>(IoGetCurrentIrpStackLocation(irp)->Parameters.Others.Argument1);
    urb->UrbHeader.Status = usbdStatus;
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = 0;
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    KeLowerIrql(old);
}

// ---- PnpTap -------------------------------------------------------------------------------------

PnpTap::PnpTap(PDEVICE_OBJECT pdo)
    : driver_(pdo->DriverObject), original_(pdo->DriverObject->MajorFunction[IRP_MJ_PNP]) {
    ActiveTap = this;
    driver_->MajorFunction[IRP_MJ_PNP] = Dispatch;
}

PnpTap::~PnpTap() {
    driver_->MajorFunction[IRP_MJ_PNP] = original_;
    ActiveTap = nullptr;
}

std::vector<PnpTap::Seen> PnpTap::Requests() {
    std::lock_guard lock(mutex_);
    return seen_;
}

NTSTATUS PnpTap::Dispatch(PDEVICE_OBJECT device, PIRP irp) {
    PnpTap* self = ActiveTap;
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    {
        std::lock_guard lock(self->mutex_);
        self->seen_.push_back({stack->MinorFunction, *stack});
    }
    if (self->Answer) {
        if (auto answer = self->Answer(stack)) {
            irp->IoStatus.Status = answer->first;
            irp->IoStatus.Information = answer->second;
            IofCompleteRequest(irp, IO_NO_INCREMENT);
            return answer->first;
        }
    }
    return self->original_(device, irp);
}

} // namespace tovrik_test
