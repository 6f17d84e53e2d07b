// The user-mode front end: opening by link name, and the buffers each transfer method hands a
// driver and hands back to the caller.
#include "test_driver.h"

#include <fmt/format.h>

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
    std::vector<unsigned char> DirectOutput; // what a METHOD_IN_DIRECT output held for the driver
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
        auto* out = static_cast<unsigned char*>(MmGetSystemAddressForMdlSafe(
            irp->MdlAddress, NormalPagePriority | MdlMappingNoExecute));
        // An IN_DIRECT output is the caller's data for the driver to read; OUT_DIRECT is written.
        if (method == METHOD_IN_DIRECT)
            seen.DirectOutput.assign(out, out + seen.MdlBytes);
        else
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
        device_object_ = hktest::CreateLinkedDevice(driver_, deviceName_, linkName_);
        ASSERT_NE(device_object_, nullptr);
    }
    void TearDown() override {
        hktest::DeleteLinkedDevice(device_object_, linkName_);
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
            EXPECT_EQ((seen.MdlFlags & MDL_WRITE_OPERATION) != 0, c.Method == METHOD_OUT_DIRECT);
            EXPECT_FALSE(seen.MdlFlags & (MDL_MAPPED_TO_SYSTEM_VA | MDL_SOURCE_IS_NONPAGED_POOL));
        }
        if (c.Method == METHOD_IN_DIRECT) {
            // The driver read the caller's bytes; the caller's buffer is as it was.
            EXPECT_EQ(seen.DirectOutput, std::vector<unsigned char>(c.Out, Poison)) << c.Label;
            for (ULONG i = 0; i < c.Out; ++i)
                ASSERT_EQ(result.Output[i], Poison) << c.Label << " byte " << i;
        } else {
            // The caller's buffer is used in place: what the driver wrote is there, whatever the
            // status.
            for (ULONG i = 0; i < c.Out; ++i)
                ASSERT_EQ(result.Output[i], Written) << c.Label << " byte " << i;
        }
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
        MethodCase{"in_direct_pages_pended", METHOD_IN_DIRECT, 4, 9000, STATUS_SUCCESS, 0, true},
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

// ---------------------------------------------------------------------------------------------
// What a driver may not do with the buffers it is handed: each broken routine below does one
// thing the platform would punish, and the front end must say which request did what.

constexpr ULONG InDirect = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x810, METHOD_IN_DIRECT, FILE_ANY_ACCESS);
constexpr ULONG Buffered = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x811, METHOD_BUFFERED, FILE_ANY_ACCESS);
constexpr ULONG OutDirect =
    CTL_CODE(FILE_DEVICE_UNKNOWN, 0x812, METHOD_OUT_DIRECT, FILE_ANY_ACCESS);

int g_line = 0;                        // the line of the faulty write
const void* g_leakedAddress = nullptr; // what the broken routine copies out
std::size_t g_leakOffset = 0;

unsigned char* OutputOf(PIRP irp) {
    return static_cast<unsigned char*>(
        MmGetSystemAddressForMdlSafe(irp->MdlAddress, NormalPagePriority | MdlMappingNoExecute));
}

// Writes device data into the read-only output of a METHOD_IN_DIRECT request.
NTSTATUS NTAPI WritesIntoInDirectOutput(PDEVICE_OBJECT, PIRP irp) {
    unsigned char* out = OutputOf(irp);
    g_line = __LINE__ + 1;
    out[5] = 0x42;
    out[6] = 0x43;
    irp->IoStatus.Status = STATUS_SUCCESS;
    irp->IoStatus.Information = 7;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}

// Reports output it never wrote: the system buffer's fresh pool goes to the caller.
NTSTATUS NTAPI ReportsUnwrittenOutput(PDEVICE_OBJECT, PIRP irp) {
    PIO_STACK_LOCATION s = IoGetCurrentIrpStackLocation(irp);
    irp->IoStatus.Status = STATUS_SUCCESS;
    irp->IoStatus.Information = s->Parameters.DeviceIoControl.OutputBufferLength;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}

// Copies an address into the caller's output, between bytes of ordinary data.
NTSTATUS NTAPI CopiesAnAddressOut(PDEVICE_OBJECT, PIRP irp) {
    PIO_STACK_LOCATION s = IoGetCurrentIrpStackLocation(irp);
    ULONG length = s->Parameters.DeviceIoControl.OutputBufferLength;
    unsigned char* out = (s->Parameters.DeviceIoControl.IoControlCode & 3) == METHOD_BUFFERED
                             ? static_cast<unsigned char*>(irp->AssociatedIrp.SystemBuffer)
                             : OutputOf(irp);
    for (ULONG i = 0; i < length; ++i)
        out[i] = static_cast<unsigned char>(i * 7 + 1);
    std::memcpy(out + g_leakOffset, &g_leakedAddress, sizeof(g_leakedAddress));
    irp->IoStatus.Status = STATUS_SUCCESS;
    irp->IoStatus.Information = length;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}

std::vector<host::Violation> ViolationsOf(host::Check kind) {
    std::vector<host::Violation> out;
    for (const auto& v : host::Verifier::Violations())
        if (v.Kind == kind)
            out.push_back(v);
    return out;
}

TEST_F(FrontEndTest, AWriteIntoAnInDirectOutputIsReportedAndNeverReachesTheCaller) {
    driver_->MajorFunction[IRP_MJ_DEVICE_CONTROL] = WritesIntoInDirectOutput;
    host::Handle h = Open();
    host::FrontEnd::IoctlResult result;
    {
        host::Verifier::ExpectViolation e(host::Check::WriteToReadOnlyBuffer);
        result = host::FrontEnd::DeviceIoControl(h, InDirect, {}, 64, Poison);
    }
    EXPECT_EQ(result.Status, STATUS_SUCCESS) << "the driver went on after the write";
    EXPECT_EQ(result.Output, std::vector<unsigned char>(64, Poison));
    auto seen = ViolationsOf(host::Check::WriteToReadOnlyBuffer);
    ASSERT_EQ(seen.size(), 1u) << "one report per request, however many bytes it wrote";
    EXPECT_NE(seen[0].Message.find("IOCTL 0x222041"), std::string::npos) << seen[0].Message;
    EXPECT_NE(seen[0].Message.find("byte 5 of 64"), std::string::npos) << seen[0].Message;
    EXPECT_NE(seen[0].Message.find("dispatch routine of"), std::string::npos) << seen[0].Message;
    // The report names the line that wrote, from the program's debug information.
    if (seen[0].Site.File) {
        EXPECT_NE(std::string(seen[0].Site.File).find("frontend_test.cpp"), std::string::npos);
        EXPECT_EQ(seen[0].Site.Line, g_line);
    }
    // The same request that only reads is quiet.
    driver_->MajorFunction[IRP_MJ_DEVICE_CONTROL] = Control;
    result = host::FrontEnd::DeviceIoControl(h, InDirect, {}, 64, Poison);
    EXPECT_EQ(device_.Seen.DirectOutput, std::vector<unsigned char>(64, Poison));
    host::FrontEnd::Close(h);
}

TEST_F(FrontEndTest, AWriteIntoAnInDirectOutputFromAnotherThreadIsReportedToo) {
    device_.Pend = true;
    host::Handle h = Open();
    std::thread bus([&] {
        while (!device_.Held.load())
            std::this_thread::yield();
        PIRP irp = device_.Held.exchange(nullptr);
        // Byte by byte across a page boundary: a memset may store its tail first, and the
        // report names the first byte written.
        volatile unsigned char* out = OutputOf(irp) + 4090;
        for (int i = 0; i < 20; ++i)
            out[i] = 0x11;
        irp->IoStatus.Status = STATUS_SUCCESS;
        KIRQL old;
        KeRaiseIrql(DISPATCH_LEVEL, &old);
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        KeLowerIrql(old);
    });
    host::FrontEnd::IoctlResult result;
    {
        host::Verifier::ExpectViolation e(host::Check::WriteToReadOnlyBuffer);
        result = host::FrontEnd::DeviceIoControl(h, InDirect, {}, 8192, Poison);
    }
    bus.join();
    EXPECT_EQ(result.Output, std::vector<unsigned char>(8192, Poison));
    auto seen = ViolationsOf(host::Check::WriteToReadOnlyBuffer);
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_NE(seen[0].Message.find("byte 4090 of 8192"), std::string::npos) << seen[0].Message;
    EXPECT_NE(seen[0].Message.find("running no driver routine"), std::string::npos)
        << seen[0].Message;
    host::FrontEnd::Close(h);
}

TEST_F(FrontEndTest, BufferedOutputTheDriverNeverWroteIsReported) {
    driver_->MajorFunction[IRP_MJ_DEVICE_CONTROL] = ReportsUnwrittenOutput;
    host::Handle h = Open();
    const std::vector<unsigned char> input(8, 1);
    {
        host::Verifier::ExpectViolation e(host::Check::KernelDataToUser);
        host::FrontEnd::DeviceIoControl(h, Buffered, input, 40);
    }
    auto seen = ViolationsOf(host::Check::KernelDataToUser);
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_NE(seen[0].Message.find("32 bytes of never-written pool"), std::string::npos)
        << seen[0].Message;
    EXPECT_NE(seen[0].Message.find("bytes 8..39 of the 40-byte output"), std::string::npos)
        << seen[0].Message;
    // Fifteen bytes of the fill in a row are data, not pool: the input ends one short of it.
    host::Verifier::Clear();
    host::FrontEnd::DeviceIoControl(h, Buffered, input, 8 + 15);
    EXPECT_TRUE(ViolationsOf(host::Check::KernelDataToUser).empty());
    host::FrontEnd::Close(h);
}

struct AddressCase {
    const char* Label;
    ULONG Code;
    std::size_t Offset;
    enum Source { PoolBlock, DeviceObject, DeclaredInside, HeapData } What;
    const char* Named; // what the report must say the address is ("" : no report)
};

class Addresses : public FrontEndTest, public ::testing::WithParamInterface<AddressCase> {};

TEST_P(Addresses, AKernelAddressInTheOutputIsReportedWhereverItSits) {
    const AddressCase& c = GetParam();
    driver_->MajorFunction[IRP_MJ_DEVICE_CONTROL] = CopiesAnAddressOut;
    host::Handle h = Open();
    void* block = ExAllocatePoolWithTag(NonPagedPool, 48, 0x6B616554);
    unsigned char declared[64];
    host::KernelAddresses::Declare(declared, sizeof(declared), "a USB pipe handle");
    auto heap = std::make_unique<unsigned char[]>(16); // the caller's own memory: not the kernel's
    g_leakOffset = c.Offset;
    switch (c.What) {
    case AddressCase::PoolBlock:
        g_leakedAddress = block;
        break;
    case AddressCase::DeviceObject:
        g_leakedAddress = device_object_;
        break;
    case AddressCase::DeclaredInside:
        g_leakedAddress = declared + 9;
        break;
    case AddressCase::HeapData:
        g_leakedAddress = heap.get();
        break;
    }
    std::vector<host::Violation> seen;
    if (*c.Named) {
        host::Verifier::ExpectViolation e(host::Check::KernelDataToUser);
        host::FrontEnd::DeviceIoControl(h, c.Code, {}, 32);
        seen = ViolationsOf(host::Check::KernelDataToUser);
        ASSERT_EQ(seen.size(), 1u);
        EXPECT_NE(seen[0].Message.find(c.Named), std::string::npos) << seen[0].Message;
        EXPECT_NE(seen[0].Message.find(fmt::format("bytes {}..{}", c.Offset, c.Offset + 7)),
                  std::string::npos)
            << seen[0].Message;
        // The report stands at the driver's completion of the request.
        ASSERT_NE(seen[0].Site.File, nullptr);
        EXPECT_NE(std::string(seen[0].Site.File).find("frontend_test.cpp"), std::string::npos);
    } else {
        host::FrontEnd::DeviceIoControl(h, c.Code, {}, 32);
        EXPECT_TRUE(ViolationsOf(host::Check::KernelDataToUser).empty());
    }
    host::KernelAddresses::Withdraw(declared);
    ExFreePoolWithTag(block, 0x6B616554);
    host::FrontEnd::Close(h);
}

INSTANTIATE_TEST_SUITE_P(
    Table, Addresses,
    ::testing::Values(
        AddressCase{"pool_block_buffered", Buffered, 8, AddressCase::PoolBlock,
                    "pool block of 48 bytes"},
        AddressCase{"pool_block_out_direct_unaligned", OutDirect, 13, AddressCase::PoolBlock,
                    "frontend_test.cpp"},
        AddressCase{"device_object", OutDirect, 0, AddressCase::DeviceObject, "a device object"},
        AddressCase{"inside_a_declared_handle", Buffered, 24, AddressCase::DeclaredInside,
                    "inside a USB pipe handle"},
        AddressCase{"user_memory_is_not_kernel", OutDirect, 4, AddressCase::HeapData, ""}),
    [](const auto& info) { return std::string(info.param.Label); });

} // namespace
