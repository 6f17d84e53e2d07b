#include "scripted_bus.h"

#include "core/bus_core.h"
#include "core/urb_table.h"

#include <algorithm>
#include <cstring>

namespace tovrik_test {

namespace {

// Each PDO's extension points back at its bus.
struct PdoExtension {
    ScriptedBus* Bus;
};

ScriptedBus* BusOf(PDEVICE_OBJECT device) {
    return static_cast<PdoExtension*>(device->DeviceExtension)->Bus;
}

NTSTATUS Complete(PIRP irp, NTSTATUS status, ULONG_PTR information = 0) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

bool IsHostToDevice(PURB urb) {
    // The transfer flags sit at the same place in every URB that carries them.
    return sim::core::CarriesTransferDirection(urb->UrbHeader.Function) &&
           (urb->UrbBulkOrInterruptTransfer.TransferFlags & USBD_TRANSFER_DIRECTION_IN) == 0;
}

} // namespace

USHORT SeenRequest::Function() const {
    return Urb.size() >= 4 ? static_cast<USHORT>(Urb[2] | (Urb[3] << 8)) : 0xFFFF;
}

USHORT SeenRequest::Length() const {
    return Urb.size() >= 2 ? static_cast<USHORT>(Urb[0] | (Urb[1] << 8)) : 0;
}

std::uint8_t* TransferBufferOf(PURB urb) {
    // The transfer members sit at the same place in every transfer URB.
    auto& transfer = urb->UrbBulkOrInterruptTransfer;
    if (transfer.TransferBufferMDL != nullptr) {
        return static_cast<std::uint8_t*>(MmGetMdlVirtualAddress(transfer.TransferBufferMDL));
    }
    return static_cast<std::uint8_t*>(transfer.TransferBuffer);
}

ULONG TransferLengthOf(PURB urb) {
    return urb->UrbBulkOrInterruptTransfer.TransferBufferLength;
}

ScriptedBus::ScriptedBus() {
    driver_ = host::CreateBusDriver(u"\\Driver\\scripted");
    driver_->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = DispatchInternal;
    driver_->MajorFunction[IRP_MJ_PNP] = DispatchPnp;
    driver_->MajorFunction[IRP_MJ_POWER] = DispatchPower;
    completer_ = std::thread([this] { Completer(); });
}

ScriptedBus::~ScriptedBus() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    completer_.join();
    for (PDEVICE_OBJECT pdo : std::vector<PDEVICE_OBJECT>(pdos_)) {
        DeletePdo(pdo);
    }
    host::UnloadDriver(driver_);
}

PDEVICE_OBJECT ScriptedBus::AddPdo() {
    PDEVICE_OBJECT pdo = nullptr;
    NTSTATUS status =
        IoCreateDevice(driver_, sizeof(PdoExtension), nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &pdo);
    if (!NT_SUCCESS(status)) {
        return nullptr;
    }
    static_cast<PdoExtension*>(pdo->DeviceExtension)->Bus = this;
    pdo->Flags &= ~DO_DEVICE_INITIALIZING;
    pdos_.push_back(pdo);
    return pdo;
}

void ScriptedBus::DeletePdo(PDEVICE_OBJECT pdo) {
    auto it = std::find(pdos_.begin(), pdos_.end(), pdo);
    if (it != pdos_.end()) {
        pdos_.erase(it);
        IoDeleteDevice(pdo);
    }
}

std::vector<SeenRequest> ScriptedBus::Seen() {
    std::lock_guard lock(mutex_);
    return seen_;
}

std::vector<SeenRequest> ScriptedBus::SeenUrbs(USHORT function) {
    std::vector<SeenRequest> urbs;
    for (auto& request : Seen()) {
        if (request.IoControlCode == IOCTL_INTERNAL_USB_SUBMIT_URB &&
            request.Function() == function) {
            urbs.push_back(request);
        }
    }
    return urbs;
}

void ScriptedBus::ClearSeen() {
    std::lock_guard lock(mutex_);
    seen_.clear();
}

std::size_t ScriptedBus::Pending() {
    std::lock_guard lock(mutex_);
    return never_.size();
}

NTSTATUS ScriptedBus::DispatchInternal(PDEVICE_OBJECT device, PIRP irp) {
    return BusOf(device)->Internal(irp);
}

NTSTATUS ScriptedBus::Internal(PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
    SeenRequest seen;
    seen.IoControlCode = code;

    if (code == IOCTL_INTERNAL_USB_GET_PORT_STATUS) {
        {
            std::lock_guard lock(mutex_);
            seen_.push_back(seen);
        }
        *static_cast<ULONG*>(stack->Parameters.Others.Argument1) = PortStatus;
        return Complete(irp, PortStatusResult);
    }
    if (code == IOCTL_INTERNAL_USB_RESET_PORT) {
        {
            std::lock_guard lock(mutex_);
            seen_.push_back(seen);
        }
        return Complete(irp, ResetPortResult);
    }
    if (code != IOCTL_INTERNAL_USB_SUBMIT_URB) {
        return Complete(irp, STATUS_INVALID_DEVICE_REQUEST);
    }

    auto urb = static_cast<PURB>(stack->Parameters.Others.Argument1);
    auto* bytes = reinterpret_cast<const std::uint8_t*>(urb);
    seen.Urb.assign(bytes, bytes + urb->UrbHeader.Length);
    if (IsHostToDevice(urb) && TransferBufferOf(urb) != nullptr) {
        seen.OutData.assign(TransferBufferOf(urb), TransferBufferOf(urb) + TransferLengthOf(urb));
    }
    {
        std::lock_guard lock(mutex_);
        seen_.push_back(std::move(seen));
    }

    UrbReply reply = OnUrb ? OnUrb(urb) : UrbReply{};
    urb->UrbHeader.Status = reply.UsbdStatus;
    switch (reply.How) {
    case UrbReply::When::Now:
        return Complete(irp, reply.Status);
    case UrbReply::When::Later: {
        IoMarkIrpPending(irp);
        std::lock_guard lock(mutex_);
        later_.emplace_back(irp, reply);
        wake_.notify_all();
        return STATUS_PENDING;
    }
    case UrbReply::When::Never:
        IoMarkIrpPending(irp);
        {
            std::lock_guard lock(mutex_);
            never_.push_back(irp);
        }
        IoSetCancelRoutine(irp, CancelPending);
        // A cancel that came before the routine was set finds none: finish it here.
        if (irp->Cancel && IoSetCancelRoutine(irp, nullptr) != nullptr) {
            {
                std::lock_guard lock(mutex_);
                never_.erase(std::find(never_.begin(), never_.end(), irp));
            }
            urb->UrbHeader.Status = USBD_STATUS_CANCELED;
            Complete(irp, STATUS_CANCELLED);
        }
        return STATUS_PENDING;
    }
    return STATUS_PENDING;
}

VOID ScriptedBus::CancelPending(PDEVICE_OBJECT device, PIRP irp) {
    IoReleaseCancelSpinLock(irp->CancelIrql);
    ScriptedBus* bus = BusOf(device);
    {
        std::lock_guard lock(bus->mutex_);
        auto it = std::find(bus->never_.begin(), bus->never_.end(), irp);
        if (it != bus->never_.end()) {
            bus->never_.erase(it);
        }
    }
    auto urb = static_cast<PURB>(IoGetCurrentIrpStackLocation(irp)->Parameters.Others.Argument1);
    urb->UrbHeader.Status = USBD_STATUS_CANCELED;
    Complete(irp, STATUS_CANCELLED);
}

void ScriptedBus::Completer() {
    std::unique_lock lock(mutex_);
    for (;;) {
        wake_.wait(lock, [this] { return stopping_ || !later_.empty(); });
        if (later_.empty()) {
            return;
        }
        auto [irp, reply] = later_.front();
        later_.pop_front();
        lock.unlock();
        // Completions of a real bus arrive from its DPC, at DISPATCH_LEVEL, on another thread.
        KIRQL old;
        KeRaiseIrql(DISPATCH_LEVEL, &old);
        Complete(irp, reply.Status);
        KeLowerIrql(old);
        lock.lock();
    }
}

NTSTATUS ScriptedBus::DispatchPnp(PDEVICE_OBJECT device, PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    switch (stack->MinorFunction) {
    case IRP_MN_START_DEVICE:
        return Complete(irp, BusOf(device)->StartResult);
    case IRP_MN_QUERY_CAPABILITIES: {
        PDEVICE_CAPABILITIES capabilities = stack->Parameters.DeviceCapabilities.Capabilities;
        capabilities->Removable = 1;
        capabilities->UniqueID = 1;
        return Complete(irp, STATUS_SUCCESS);
    }
    case IRP_MN_REMOVE_DEVICE:
        return Complete(irp, STATUS_SUCCESS);
    default:
        // The changes of state every PDO of the buses agrees to.
        if (sim::core::PdoAgreesTo(stack->MinorFunction))
            return Complete(irp, STATUS_SUCCESS);
        // A PDO completes the requests it does not handle with the status already in them.
        NTSTATUS status = irp->IoStatus.Status;
        IofCompleteRequest(irp, IO_NO_INCREMENT);
        return status;
    }
}

NTSTATUS ScriptedBus::DispatchPower(PDEVICE_OBJECT device, PIRP irp) {
    PoStartNextPowerIrp(irp);
    return Complete(irp, STATUS_SUCCESS);
}

} // namespace tovrik_test
