// A small driver whose every device does what the test tells it, for building device stacks
// and watching the host kernel from a driver's side.
#pragma once

#include "host/host_kernel.h"

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <string>
#include <vector>

namespace hktest {

enum class Action {
    Complete, // set IoStatus from the behaviour and complete
    Pend,     // mark pending, keep the request in Held, return STATUS_PENDING
    PassCopy, // copy the location down, set the completion routine of the behaviour, call lower
    PassSkip, // skip the location, call lower
};

struct Behaviour {
    Action What = Action::Complete;
    NTSTATUS Status = STATUS_SUCCESS;
    ULONG_PTR Information = 0;
    // PassCopy: the completion routine and what it does.
    bool SetRoutine = true;
    UCHAR InvokeFlags = SL_INVOKE_ON_SUCCESS | SL_INVOKE_ON_ERROR | SL_INVOKE_ON_CANCEL;
    NTSTATUS RoutineReturns = STATUS_SUCCESS;
    bool PropagatePending = true;
};

struct Seen {
    std::string Who;
    PDEVICE_OBJECT Device;
    bool PendingReturned;
};

// The extension of every test device.
struct TestExtension {
    const char* Name;
    Behaviour Do;
    PDEVICE_OBJECT Self;
    PDEVICE_OBJECT Lower;
    std::atomic<PIRP> Held;
    std::vector<Seen>* Log;
    std::mutex* LogMutex;
};

inline TestExtension* Ext(PDEVICE_OBJECT d) {
    return static_cast<TestExtension*>(d->DeviceExtension);
}

inline NTSTATUS NTAPI LogCompletion(PDEVICE_OBJECT device, PIRP irp, PVOID context) {
    auto* ext = static_cast<TestExtension*>(context);
    {
        std::lock_guard lock(*ext->LogMutex);
        ext->Log->push_back({ext->Name, device, irp->PendingReturned != 0});
    }
    if (ext->Do.RoutineReturns != STATUS_MORE_PROCESSING_REQUIRED && ext->Do.PropagatePending &&
        irp->PendingReturned)
        IoMarkIrpPending(irp);
    return ext->Do.RoutineReturns;
}

inline NTSTATUS NTAPI TestDispatch(PDEVICE_OBJECT device, PIRP irp) {
    TestExtension* ext = Ext(device);
    switch (ext->Do.What) {
    case Action::Complete:
        irp->IoStatus.Status = ext->Do.Status;
        irp->IoStatus.Information = ext->Do.Information;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return ext->Do.Status;
    case Action::Pend:
        IoMarkIrpPending(irp);
        ext->Held = irp;
        return STATUS_PENDING;
    case Action::PassCopy:
        IoCopyCurrentIrpStackLocationToNext(irp);
        if (ext->Do.SetRoutine) {
            IoSetCompletionRoutine(irp, LogCompletion, ext,
                                   (ext->Do.InvokeFlags & SL_INVOKE_ON_SUCCESS) != 0,
                                   (ext->Do.InvokeFlags & SL_INVOKE_ON_ERROR) != 0,
                                   (ext->Do.InvokeFlags & SL_INVOKE_ON_CANCEL) != 0);
        }
        return IoCallDriver(ext->Lower, irp);
    case Action::PassSkip:
        IoSkipCurrentIrpStackLocation(irp);
        return IoCallDriver(ext->Lower, irp);
    }
    return STATUS_UNSUCCESSFUL;
}

// A stack of test devices, top first, under one driver object of its own. Unnamed unless names
// are given.
class TestStack {
  public:
    explicit TestStack(std::vector<const char*> names) {
        driver_ = host::CreateBusDriver(u"\\Driver\\hktest");
        for (auto& f : driver_->MajorFunction)
            f = TestDispatch;
        PDEVICE_OBJECT below = nullptr;
        for (auto it = names.rbegin(); it != names.rend(); ++it) {
            PDEVICE_OBJECT d = nullptr;
            EXPECT_EQ(IoCreateDevice(driver_, sizeof(TestExtension), nullptr, FILE_DEVICE_UNKNOWN,
                                     0, FALSE, &d),
                      STATUS_SUCCESS);
            auto* ext = new (d->DeviceExtension) TestExtension{};
            ext->Name = *it;
            ext->Self = d;
            ext->Log = &log_;
            ext->LogMutex = &mutex_;
            d->Flags &= ~DO_DEVICE_INITIALIZING;
            if (below)
                ext->Lower = IoAttachDeviceToDeviceStack(d, below);
            below = d;
            devices_.insert(devices_.begin(), d);
        }
    }
    ~TestStack() {
        for (std::size_t i = 0; i < devices_.size(); ++i) {
            if (i + 1 < devices_.size())
                IoDetachDevice(devices_[i + 1]);
            IoDeleteDevice(devices_[i]);
        }
        host::UnloadDriver(driver_);
    }
    PDEVICE_OBJECT operator[](std::size_t i) const { return devices_[i]; }
    PDEVICE_OBJECT Top() const { return devices_.front(); }
    TestExtension& operator()(std::size_t i) const { return *Ext(devices_[i]); }
    std::vector<Seen> Log() {
        std::lock_guard lock(mutex_);
        return log_;
    }
    PDRIVER_OBJECT Driver() const { return driver_; }

  private:
    PDRIVER_OBJECT driver_;
    std::vector<PDEVICE_OBJECT> devices_;
    std::vector<Seen> log_;
    std::mutex mutex_;
};

// The originator's side: a request of its own with a completion routine in the first location
// that takes it back (STATUS_MORE_PROCESSING_REQUIRED) and notes what it saw.
struct Originator {
    std::atomic<bool> Called{false};
    std::atomic<bool> PendingReturned{false};
    PDEVICE_OBJECT DeviceSeen = reinterpret_cast<PDEVICE_OBJECT>(1);
    KEVENT Done;

    static NTSTATUS NTAPI Routine(PDEVICE_OBJECT device, PIRP irp, PVOID context) {
        auto* self = static_cast<Originator*>(context);
        self->DeviceSeen = device;
        self->PendingReturned = irp->PendingReturned != 0;
        self->Called = true;
        KeSetEvent(&self->Done, IO_NO_INCREMENT, FALSE);
        return STATUS_MORE_PROCESSING_REQUIRED;
    }

    // Allocates a request for `target`, sets this routine with `flags`, and sends it.
    PIRP Send(PDEVICE_OBJECT target, UCHAR major = IRP_MJ_INTERNAL_DEVICE_CONTROL,
              UCHAR flags = SL_INVOKE_ON_SUCCESS | SL_INVOKE_ON_ERROR | SL_INVOKE_ON_CANCEL,
              NTSTATUS* returned = nullptr, bool cancelFirst = false) {
        KeInitializeEvent(&Done, NotificationEvent, FALSE);
        PIRP irp = IoAllocateIrp(target->StackSize, FALSE);
        PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
        next->MajorFunction = major;
        irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
        IoSetCompletionRoutine(irp, Routine, this, (flags & SL_INVOKE_ON_SUCCESS) != 0,
                               (flags & SL_INVOKE_ON_ERROR) != 0,
                               (flags & SL_INVOKE_ON_CANCEL) != 0);
        if (cancelFirst)
            IoCancelIrp(irp);
        NTSTATUS status = IoCallDriver(target, irp);
        if (returned)
            *returned = status;
        return irp;
    }

    void Wait() {
        LARGE_INTEGER limit;
        limit.QuadPart = host::Clock::Relative(10000);
        ASSERT_EQ(KeWaitForSingleObject(&Done, Executive, KernelMode, FALSE, &limit),
                  STATUS_SUCCESS);
    }
};

// Completes a held request from the test, at DISPATCH_LEVEL as a lower driver's DPC would.
inline void CompleteHeld(TestExtension& ext, NTSTATUS status, ULONG_PTR information = 0) {
    PIRP irp = ext.Held.exchange(nullptr);
    ASSERT_NE(irp, nullptr) << ext.Name << " holds no request";
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    KeLowerIrql(old);
}

// One device, "A", holding (pending) the one request an originator sent it: the usual start of a
// test about what may and may not be done to a request a driver holds.
struct HeldRequest {
    TestStack Stack{{"A"}};
    Originator Origin;
    PIRP Irp = nullptr;

    HeldRequest() {
        Stack(0).Do.What = Action::Pend;
        Irp = Origin.Send(Stack.Top());
    }
    // The holder completes it; returns once the originator has it back.
    void Complete(NTSTATUS status = STATUS_SUCCESS) {
        CompleteHeld(Stack(0), status);
        Origin.Wait();
    }
};

// A named device of `driver` with a DOS link to it, ready for the front end to open.
inline PDEVICE_OBJECT CreateLinkedDevice(PDRIVER_OBJECT driver, const std::u16string& deviceName,
                                         const std::u16string& linkName) {
    PDEVICE_OBJECT device = nullptr;
    UNICODE_STRING name = host::MakeUnicode(deviceName);
    EXPECT_EQ(IoCreateDevice(driver, 0, &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &device),
              STATUS_SUCCESS);
    UNICODE_STRING link = host::MakeUnicode(linkName);
    EXPECT_EQ(IoCreateSymbolicLink(&link, &name), STATUS_SUCCESS);
    if (device != nullptr)
        device->Flags &= ~DO_DEVICE_INITIALIZING;
    return device;
}

// Deletes what CreateLinkedDevice made.
inline void DeleteLinkedDevice(PDEVICE_OBJECT device, const std::u16string& linkName) {
    UNICODE_STRING link = host::MakeUnicode(linkName);
    EXPECT_EQ(IoDeleteSymbolicLink(&link), STATUS_SUCCESS);
    IoDeleteDevice(device);
}

} // namespace hktest
