// The user-mode front end: opening by link name, and the buffers each transfer method hands a
// driver and hands back to the caller.
#include "test_driver.h"

#include <cstring>
#include <thread>

namespace {

constexpr unsigned char Poison = 0xA5;
constexpr unsigned char Written = 0x5C;

// A named device with a link, whose dispatch routines record what the platform handed over.
struct Observed {
    bool HadSystemBuffer = false;
    std::vector<unsigned char> SystemInput;
    bool HadMdl = false;
    CSHORT MdlFlags = 0;
    ULONG MdlBytes = 0;
    ULONG InLength = 0, OutLength = 0;
    KPROCESSOR_MODE Mode = KernelMode;
    KIRQL Irql = HIGH_LEVEL;
};

struct Device {
    NTSTATUS Status = STATUS_SUCCESS;
    ULONG_PTR Information = 0;
    bool Pend = false;
    bool RefuseCreate = false;
    Observed Seen;
    std::atomic<PIRP> Held{nullptr};
    int Opens = 0, Closes = 0, Cleanups = 0;
};
Device* g_device = nullptr;

NTSTATUS NTAPI Create(PDEVICE_OBJECT, PIRP irp) {
    NTSTATUS status = g_device->RefuseCreate ? STATUS_UNSUCCESSFUL : STATUS_SUCCESS;
    if (NT_SUCCESS(status))
        g_device->Opens++;
    irp->IoStatus.Status = status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS NTAPI CloseOrCleanup(PDEVICE_OBJECT, PIRP irp) {
    if (IoGetCurrentIrpStackLocation(irp)->MajorFunction == IRP_MJ_CLOSE)
        g_device->Closes++;
    else
        g_device->Cleanups++;
    irp->IoStatus.Status = STATUS_SUCCESS;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI Control(PDEVICE_OBJECT, PIRP irp) {
    PIO_STACK_LOCATION s = IoGetCurrentIrpStackLocation(irp);
    // Function 0x801 comes from many threads at once: it records nothing.
    Observed mine;
    bool shared = ((s->Parameters.DeviceIoControl.IoControlCode >> 2) & 0xFFF) == 0x801;
    Observed& seen = shared ? mine : g_device->Seen;
    seen.Irql = KeGetCurrentIrql();
    seen.Mode = irp->RequestorMode;
    seen.InLength = s->Parameters.DeviceIoControl.InputBufferLength;
    seen.OutLength = s->Parameters.DeviceIoControl.OutputBufferLength;
    ULONG method = s->Parameters.DeviceIoControl.IoControlCode & 3;
    auto* system = static_cast<unsigned char*>(irp->AssociatedIrp.SystemBuffer);
    seen.HadSystemBuffer = system != nullptr;
    if (system)
        seen.SystemInput.assign(system, system + seen.InLength);
    seen.HadMdl = irp->MdlAddress != nullptr;
    if (method == METHOD_BUFFERED) {
        if (system)
            std::memset(system, Written, seen.OutLength);
    } else if (irp->MdlAddress) {
        seen.MdlFlags = irp->MdlAddress->MdlFlags;
        seen.MdlBytes = MmGetMdlByteCount(irp->MdlAddress);
        void* out = MmMapLockedPages(irp->MdlAddress, KernelMode);
        std::memset(out, Written, seen.MdlBytes);
    }
    irp->IoStatus.Information = g_device->Information;
    if (g_device->Pend) {
        IoMarkIrpPending(irp);
        g_device->Held = irp;
        return STATUS_PENDING;
    }
    irp->IoStatus.Status = g_device->Status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return g_device->Status;
}

class FrontEndTest : public ::testing::Test {
  protected:
    void SetUp() override {
        g_device = &device_;
        driver_ = host::CreateBusDriver(u"\\Driver\\fronttest");
        driver_->MajorFunction[IRP_MJ_CREATE] = Create;
        driver_->MajorFunction[IRP_MJ_CLOSE] = CloseOrCleanup;
        driver_->MajorFunction[IRP_MJ_CLEANUP] = CloseOrCleanup;
        driver_->MajorFunction[IRP_MJ_DEVICE_CONTROL] = Control;
        UNICODE_STRING name = host::MakeUnicode(deviceName_);
        ASSERT_EQ(IoCreateDevice(driver_, 0, &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &device_object_),
                  STATUS_SUCCESS);
        UNICODE_STRING link = host::MakeUnicode(linkName_);
        ASSERT_EQ(IoCreateSymbolicLink(&link, &name), STATUS_SUCCESS);
        device_object_->Flags &= ~DO_DEVICE_INITIALIZING;
    }
    void TearDown() override {
        UNICODE_STRING link = host::MakeUnicode(linkName_);
        EXPECT_EQ(IoDeleteSymbolicLink(&link), STATUS_SUCCESS);
        IoDeleteDevice(device_object_);
        host::UnloadDriver(driver_);
        g_device = nullptr;
    }
    host::Handle Open() {
        host::Handle h = 0;
        EXPECT_EQ(host::FrontEnd::Open(u"\\\\.\\FrontTest", &h), STATUS_SUCCESS);
        return h;
    }

    Device device_;
    PDRIVER_OBJECT driver_ = nullptr;
    PDEVICE_OBJECT device_object_ = nullptr;
    std::u16string deviceName_ = u"\\Device\\FrontTest";
    std::u16string linkName_ = u"\\DosDevices\\FrontTest";
};

TEST_F(FrontEndTest, OpensByEitherLinkSpellingAndClosesWithCleanupThenClose) {
    host::Handle a = 0, b = 0, c = 0;
    EXPECT_EQ(host::FrontEnd::Open(u"\\\\.\\FrontTest", &a), STATUS_SUCCESS);
    EXPECT_EQ(host::FrontEnd::Open(u"\\DosDevices\\fronttest", &b), STATUS_SUCCESS);
    EXPECT_EQ(host::FrontEnd::Open(u"\\\\.\\Missing", &c), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(c, 0u);
    EXPECT_NE(a, b);
    EXPECT_EQ(device_.Opens, 2);
    EXPECT_EQ(host::FrontEnd::Close(a), STATUS_SUCCESS);
    EXPECT_EQ(host::FrontEnd::Close(b), STATUS_SUCCESS);
    EXPECT_EQ(host::FrontEnd::Close(b), STATUS_INVALID_HANDLE);
    EXPECT_EQ(device_.Closes, 2);
    EXPECT_EQ(device_.Cleanups, 2);
}

TEST_F(FrontEndTest, RefusedCreateGivesNoHandle) {
    device_.RefuseCreate = true;
    host::Handle h = 1;
    EXPECT_EQ(host::FrontEnd::Open(u"\\\\.\\FrontTest", &h), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(h, 0u);
    EXPECT_EQ(host::FrontEnd::OpenHandles(), 0u);
}

TEST_F(FrontEndTest, DeviceStillInitializingCannotBeOpened) {
    device_object_->Flags |= DO_DEVICE_INITIALIZING;
    host::Handle h = 0;
    EXPECT_EQ(host::FrontEnd::Open(u"\\\\.\\FrontTest", &h), STATUS_NO_SUCH_DEVICE);
}

// Method x lengths x final status, with the caller's output poisoned first and the driver
// writing a pattern over everything it is given.
struct MethodCase {
    const char* Label;
    ULONG Method;
    ULONG In;
    ULONG Out;
    NTSTATUS Status;
    ULONG_PTR Information;
    bool Pend;
};

class Methods : public FrontEndTest, public ::testing::WithParamInterface<MethodCase> {};

TEST_P(Methods, BuffersAreHandedOverAndBackAsTheMethodSays) {
    const MethodCase& c = GetParam();
    device_.Status = c.Status;
    device_.Information = c.Information;
    device_.Pend = c.Pend;
    host::Handle h = Open();
    std::vector<unsigned char> input(c.In);
    for (ULONG i = 0; i < c.In; ++i)
        input[i] = static_cast<unsigned char>(i + 1);
    ULONG code = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x800, c.Method, FILE_ANY_ACCESS);
    std::thread completer;
    if (c.Pend) {
        completer = std::thread([&] {
            while (!device_.Held.load())
                std::this_thread::yield();
            PIRP irp = device_.Held.exchange(nullptr);
            irp->IoStatus.Status = c.Status;
            KIRQL old;
            KeRaiseIrql(DISPATCH_LEVEL, &old);
            IoCompleteRequest(irp, IO_NO_INCREMENT);
            KeLowerIrql(old);
        });
    }
    auto result = host::FrontEnd::DeviceIoControl(h, code, input, c.Out, Poison);
    if (completer.joinable())
        completer.join();
    const Observed& seen = device_.Seen;
    EXPECT_EQ(seen.Mode, UserMode);
    EXPECT_EQ(seen.Irql, PASSIVE_LEVEL);
    EXPECT_EQ(seen.InLength, c.In);
    EXPECT_EQ(seen.OutLength, c.Out);
    EXPECT_EQ(result.Status, c.Status);
    EXPECT_EQ(result.Returned, c.Pend ? STATUS_PENDING : c.Status);
    EXPECT_EQ(result.Information, c.Information);
    ASSERT_EQ(result.Output.size(), c.Out);
    bool error = (static_cast<ULONG>(c.Status) >> 30) == 3;
    if (c.Method == METHOD_BUFFERED) {
        EXPECT_EQ(seen.HadSystemBuffer, c.In > 0 || c.Out > 0);
        EXPECT_FALSE(seen.HadMdl);
        std::size_t copied = error ? 0 : c.Information;
        for (ULONG i = 0; i < c.Out; ++i)
            ASSERT_EQ(result.Output[i], i < copied ? Written : Poison) << c.Label << " byte " << i;
    } else {
        EXPECT_EQ(seen.HadSystemBuffer, c.In > 0);
        EXPECT_EQ(seen.HadMdl, c.Out > 0);
        if (c.Out) {
            EXPECT_EQ(seen.MdlBytes, c.Out);
            EXPECT_TRUE(seen.MdlFlags & MDL_PAGES_LOCKED);
            EXPECT_FALSE(seen.MdlFlags & (MDL_MAPPED_TO_SYSTEM_VA | MDL_SOURCE_IS_NONPAGED_POOL));
        }
        // The caller's buffer is used in place: what the driver wrote is there, whatever the
        // status.
        for (ULONG i = 0; i < c.Out; ++i)
            ASSERT_EQ(result.Output[i], Written) << c.Label << " byte " << i;
    }
    EXPECT_EQ(seen.SystemInput, input);
    EXPECT_EQ(host::FrontEnd::Close(h), STATUS_SUCCESS);
}

constexpr NTSTATUS Overflow = (NTSTATUS)0x80000005L; // a warning: data still comes back

INSTANTIATE_TEST_SUITE_P(
    Table, Methods,
    ::testing::Values(
        MethodCase{"buffered_none", METHOD_BUFFERED, 0, 0, STATUS_SUCCESS, 0, false},
        MethodCase{"buffered_in_only", METHOD_BUFFERED, 8, 0, STATUS_SUCCESS, 0, false},
        MethodCase{"buffered_out_only", METHOD_BUFFERED, 0, 16, STATUS_SUCCESS, 16, false},
        MethodCase{"buffered_in_gt_out", METHOD_BUFFERED, 32, 8, STATUS_SUCCESS, 8, false},
        MethodCase{"buffered_partial_info", METHOD_BUFFERED, 4, 16, STATUS_SUCCESS, 5, false},
        MethodCase{"buffered_error_copies_nothing", METHOD_BUFFERED, 4, 16, STATUS_UNSUCCESSFUL, 16,
                   false},
        MethodCase{"buffered_warning_copies", METHOD_BUFFERED, 4, 16, Overflow, 16, false},
        MethodCase{"buffered_pended", METHOD_BUFFERED, 4, 16, STATUS_SUCCESS, 12, true},
        MethodCase{"in_direct_none", METHOD_IN_DIRECT, 0, 0, STATUS_SUCCESS, 0, false},
        MethodCase{"in_direct_both", METHOD_IN_DIRECT, 4, 100, STATUS_SUCCESS, 100, false},
        MethodCase{"out_direct_out_only", METHOD_OUT_DIRECT, 0, 5000, STATUS_SUCCESS, 5000, false},
        MethodCase{"out_direct_error", METHOD_OUT_DIRECT, 4, 64, STATUS_INVALID_PARAMETER, 0,
                   false},
        MethodCase{"out_direct_pended", METHOD_OUT_DIRECT, 4, 64, STATUS_SUCCESS, 64, true}),
    [](const auto& info) { return std::string(info.param.Label); });

TEST_F(FrontEndTest, ManyThreadsCallAtOnce) {
    host::Handle h = Open();
    device_.Information = 0;
    std::vector<std::thread> threads;
    std::atomic<int> good{0};
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&] {
            for (int i = 0; i < 50; ++i) {
                unsigned char in[4] = {1, 2, 3, 4};
                auto r = host::FrontEnd::DeviceIoControl(
                    h, CTL_CODE(FILE_DEVICE_UNKNOWN, 0x801, METHOD_OUT_DIRECT, FILE_ANY_ACCESS), in,
                    32);
                good += r.Status == STATUS_SUCCESS && r.Output[31] == Written;
            }
        });
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(good, 200);
    host::FrontEnd::Close(h);
}

} // namespace
