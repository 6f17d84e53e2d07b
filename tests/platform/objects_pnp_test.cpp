// Device objects, names, links and stacks; driver loading and the PnP manager's conversation
// with a bus driver and a function driver.
#include "test_driver.h"

#include <cstring>

namespace {

TEST(Objects, CreateDeviceGivesAZeroedExtensionAndInitialState) {
    PDRIVER_OBJECT driver = host::CreateBusDriver(u"\\Driver\\objtest");
    std::u16string name = u"\\Device\\ObjTest";
    UNICODE_STRING u = host::MakeUnicode(name);
    PDEVICE_OBJECT d = nullptr;
    ASSERT_EQ(IoCreateDevice(driver, 100, &u, FILE_DEVICE_UNKNOWN, 0, FALSE, &d), STATUS_SUCCESS);
    auto* ext = static_cast<unsigned char*>(d->DeviceExtension);
    for (int i = 0; i < 100; ++i)
        ASSERT_EQ(ext[i], 0) << i;
    EXPECT_TRUE(d->Flags & DO_DEVICE_INITIALIZING);
    EXPECT_EQ(d->StackSize, 1);
    EXPECT_EQ(d->DriverObject, driver);
    EXPECT_EQ(driver->DeviceObject, d);
    EXPECT_EQ(d->DeviceType, (DEVICE_TYPE)FILE_DEVICE_UNKNOWN);
    PDEVICE_OBJECT again = nullptr;
    std::u16string upper = u"\\DEVICE\\OBJTEST";
    UNICODE_STRING u2 = host::MakeUnicode(upper);
    EXPECT_EQ(IoCreateDevice(driver, 0, &u2, FILE_DEVICE_UNKNOWN, 0, FALSE, &again),
              STATUS_OBJECT_NAME_COLLISION);
    PDEVICE_OBJECT unnamed1 = nullptr, unnamed2 = nullptr;
    EXPECT_EQ(IoCreateDevice(driver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &unnamed1),
              STATUS_SUCCESS);
    EXPECT_EQ(IoCreateDevice(driver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &unnamed2),
              STATUS_SUCCESS);
    IoDeleteDevice(unnamed1);
    IoDeleteDevice(unnamed2);
    IoDeleteDevice(d);
    // The name is free again once its device is gone.
    ASSERT_EQ(IoCreateDevice(driver, 0, &u, FILE_DEVICE_UNKNOWN, 0, FALSE, &d), STATUS_SUCCESS);
    IoDeleteDevice(d);
    EXPECT_EQ(driver->DeviceObject, nullptr);
    host::UnloadDriver(driver);
}

TEST(Objects, SymbolicLinksCollideAndMissingOnesAreNotFound) {
    std::u16string link = u"\\DosDevices\\LinkTest", target = u"\\Device\\Nowhere",
                   other = u"\\??\\linktest";
    UNICODE_STRING l = host::MakeUnicode(link), t = host::MakeUnicode(target),
                   o = host::MakeUnicode(other);
    EXPECT_EQ(IoCreateSymbolicLink(&l, &t), STATUS_SUCCESS);
    EXPECT_EQ(IoCreateSymbolicLink(&l, &t), STATUS_OBJECT_NAME_COLLISION);
    EXPECT_EQ(IoCreateSymbolicLink(&o, &t),
              STATUS_OBJECT_NAME_COLLISION); // one directory, any case
    host::Handle h = 0;
    EXPECT_EQ(host::FrontEnd::Open(u"\\\\.\\LinkTest", &h),
              STATUS_OBJECT_NAME_NOT_FOUND); // dangling
    EXPECT_EQ(IoDeleteSymbolicLink(&l), STATUS_SUCCESS);
    EXPECT_EQ(IoDeleteSymbolicLink(&l), STATUS_OBJECT_NAME_NOT_FOUND);
}

TEST(Objects, RtlInitUnicodeStringCountsBytes) {
    UNICODE_STRING s;
    RtlInitUnicodeString(&s, u"\\Device\\X");
    EXPECT_EQ(s.Length, 18);
    EXPECT_EQ(s.MaximumLength, 20);
    RtlInitUnicodeString(&s, nullptr);
    EXPECT_EQ(s.Length, 0);
    EXPECT_EQ(s.Buffer, nullptr);
}

TEST(Objects, AttachGoesOnTopAndSizesTheStack) {
    hktest::TestStack stack({"A", "B", "C"}); // C bottom
    EXPECT_EQ(stack[2]->StackSize, 1);
    EXPECT_EQ(stack[1]->StackSize, 2);
    EXPECT_EQ(stack[0]->StackSize, 3);
    EXPECT_EQ(stack(0).Lower, stack[1]);
    // A fourth device attached to the bottom lands on the top of the stack.
    PDEVICE_OBJECT d = nullptr;
    ASSERT_EQ(IoCreateDevice(stack.Driver(), 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &d),
              STATUS_SUCCESS);
    EXPECT_EQ(IoAttachDeviceToDeviceStack(d, stack[2]), stack[0]);
    EXPECT_EQ(d->StackSize, 4);
    EXPECT_EQ(stack[0]->AttachedDevice, d);
    IoDetachDevice(stack[0]);
    EXPECT_EQ(stack[0]->AttachedDevice, nullptr);
    // A target being deleted gives nothing to attach to.
    host::FaultInjection::FailAttach(1);
    EXPECT_EQ(IoAttachDeviceToDeviceStack(d, stack[2]), nullptr);
    EXPECT_EQ(stack[0]->AttachedDevice, nullptr);
    IoDeleteDevice(d);
}

// ---------------------------------------------------------------------------------------------
// A bus with PDOs and a function driver loaded through DriverEntry.

struct PdoExtension {
    bool Present;
    int Starts, Removes, Surprises, Powers;
};

NTSTATUS NTAPI BusPnp(PDEVICE_OBJECT pdo, PIRP irp) {
    auto* ext = static_cast<PdoExtension*>(pdo->DeviceExtension);
    PIO_STACK_LOCATION s = IoGetCurrentIrpStackLocation(irp);
    NTSTATUS status = irp->IoStatus.Status;
    switch (s->MinorFunction) {
    case IRP_MN_START_DEVICE:
        ext->Starts++;
        status = STATUS_SUCCESS;
        break;
    case IRP_MN_QUERY_CAPABILITIES:
        s->Parameters.DeviceCapabilities.Capabilities->DeviceD1 = 1;
        s->Parameters.DeviceCapabilities.Capabilities->Removable = 1;
        status = STATUS_SUCCESS;
        break;
    case IRP_MN_SURPRISE_REMOVAL:
        ext->Surprises++;
        status = STATUS_SUCCESS;
        break;
    case IRP_MN_REMOVE_DEVICE:
        ext->Removes++;
        status = STATUS_SUCCESS;
        irp->IoStatus.Status = status;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        if (!ext->Present)
            IoDeleteDevice(pdo); // a device that has gone takes its PDO with it
        return status;
    case IRP_MN_STOP_DEVICE:
        status = STATUS_SUCCESS;
        break;
    default:
        break; // not ours: leave the status as it came
    }
    irp->IoStatus.Status = status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS NTAPI BusPower(PDEVICE_OBJECT pdo, PIRP irp) {
    static_cast<PdoExtension*>(pdo->DeviceExtension)->Powers++;
    PoStartNextPowerIrp(irp);
    irp->IoStatus.Status = STATUS_SUCCESS;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}

// The function driver.
struct FdoExtension {
    PDEVICE_OBJECT Lower;
    WCHAR Link[32];
    bool Started;
};
int g_number = 0;

NTSTATUS NTAPI Forwarded(PDEVICE_OBJECT, PIRP, PVOID context) {
    KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS NTAPI FdoPnp(PDEVICE_OBJECT fdo, PIRP irp) {
    auto* ext = static_cast<FdoExtension*>(fdo->DeviceExtension);
    PIO_STACK_LOCATION s = IoGetCurrentIrpStackLocation(irp);
    if (s->MinorFunction == IRP_MN_START_DEVICE || s->MinorFunction == IRP_MN_QUERY_CAPABILITIES) {
        KEVENT done;
        KeInitializeEvent(&done, NotificationEvent, FALSE);
        IoCopyCurrentIrpStackLocationToNext(irp);
        IoSetCompletionRoutine(irp, Forwarded, &done, TRUE, TRUE, TRUE);
        NTSTATUS status = IoCallDriver(ext->Lower, irp);
        if (status == STATUS_PENDING) {
            KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
            status = irp->IoStatus.Status;
        }
        if (s->MinorFunction == IRP_MN_START_DEVICE && NT_SUCCESS(status))
            ext->Started = true;
        if (s->MinorFunction == IRP_MN_QUERY_CAPABILITIES && NT_SUCCESS(status))
            s->Parameters.DeviceCapabilities.Capabilities->SurpriseRemovalOK = 1;
        irp->IoStatus.Status = status;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return status;
    }
    if (s->MinorFunction == IRP_MN_REMOVE_DEVICE) {
        UNICODE_STRING link;
        RtlInitUnicodeString(&link, ext->Link);
        IoDeleteSymbolicLink(&link);
        PDEVICE_OBJECT lower = ext->Lower;
        IoDetachDevice(lower);
        IoDeleteDevice(fdo);
        IoSkipCurrentIrpStackLocation(irp);
        return IoCallDriver(lower, irp);
    }
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(ext->Lower, irp);
}

NTSTATUS NTAPI FdoPower(PDEVICE_OBJECT fdo, PIRP irp) {
    IoCopyCurrentIrpStackLocationToNext(irp);
    PoStartNextPowerIrp(irp);
    return PoCallDriver(static_cast<FdoExtension*>(fdo->DeviceExtension)->Lower, irp);
}

std::atomic<int> g_closes{0};
NTSTATUS NTAPI FdoOpenClose(PDEVICE_OBJECT, PIRP irp) {
    if (IoGetCurrentIrpStackLocation(irp)->MajorFunction == IRP_MJ_CLOSE)
        g_closes++;
    irp->IoStatus.Status = STATUS_SUCCESS;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI FdoAddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
    WCHAR name[32], link[32];
    std::u16string n = u"\\Device\\PnpTest" + host::ToU16(std::to_string(g_number));
    std::u16string l = u"\\DosDevices\\PnpTest" + host::ToU16(std::to_string(g_number));
    g_number++;
    std::memcpy(name, n.c_str(), (n.size() + 1) * 2);
    std::memcpy(link, l.c_str(), (l.size() + 1) * 2);
    UNICODE_STRING un, ul;
    RtlInitUnicodeString(&un, name);
    RtlInitUnicodeString(&ul, link);
    PDEVICE_OBJECT fdo = nullptr;
    NTSTATUS status =
        IoCreateDevice(driver, sizeof(FdoExtension), &un, FILE_DEVICE_UNKNOWN, 0, FALSE, &fdo);
    if (!NT_SUCCESS(status))
        return status;
    auto* ext = static_cast<FdoExtension*>(fdo->DeviceExtension);
    std::memcpy(ext->Link, link, sizeof(link));
    IoCreateSymbolicLink(&ul, &un);
    fdo->Flags &= ~DO_DEVICE_INITIALIZING;
    fdo->Flags |= DO_DIRECT_IO | DO_POWER_PAGABLE;
    ext->Lower = IoAttachDeviceToDeviceStack(fdo, pdo);
    return STATUS_SUCCESS;
}

bool g_unloaded = false;
VOID NTAPI FdoUnload(PDRIVER_OBJECT) {
    g_unloaded = true;
}

NTSTATUS NTAPI FdoEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    driver->MajorFunction[IRP_MJ_PNP] = FdoPnp;
    driver->MajorFunction[IRP_MJ_POWER] = FdoPower;
    driver->MajorFunction[IRP_MJ_CREATE] = FdoOpenClose;
    driver->MajorFunction[IRP_MJ_CLOSE] = FdoOpenClose;
    driver->DriverUnload = FdoUnload;
    driver->DriverExtension->AddDevice = FdoAddDevice;
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI FailingEntry(PDRIVER_OBJECT, PUNICODE_STRING) {
    return STATUS_UNSUCCESSFUL;
}

class PnpTest : public ::testing::Test {
  protected:
    void SetUp() override {
        g_number = 0;
        g_unloaded = false;
        host::Pnp::ClearHistory();
        bus_ = host::CreateBusDriver(u"\\Driver\\bustest");
        bus_->MajorFunction[IRP_MJ_PNP] = BusPnp;
        bus_->MajorFunction[IRP_MJ_POWER] = BusPower;
        NTSTATUS status;
        fdoDriver_ = host::LoadDriver(FdoEntry, u"\\Driver\\pnptest", &status);
        ASSERT_EQ(status, STATUS_SUCCESS);
        host::Pnp::SetFunctionDriver(fdoDriver_);
    }
    void TearDown() override {
        host::UnloadDriver(fdoDriver_);
        EXPECT_TRUE(g_unloaded);
        host::UnloadDriver(bus_);
    }
    PDEVICE_OBJECT NewPdo() {
        PDEVICE_OBJECT pdo = nullptr;
        EXPECT_EQ(IoCreateDevice(bus_, sizeof(PdoExtension), nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE,
                                 &pdo),
                  STATUS_SUCCESS);
        static_cast<PdoExtension*>(pdo->DeviceExtension)->Present = true;
        pdo->Flags &= ~DO_DEVICE_INITIALIZING;
        return pdo;
    }
    // A device the bus has just reported, its stack built and started.
    PDEVICE_OBJECT ArrivedPdo() {
        PDEVICE_OBJECT pdo = NewPdo();
        host::Pnp::DeviceArrived(pdo);
        return pdo;
    }
    // A handle to the first device's link, expected to open.
    static host::Handle OpenFirst() {
        host::Handle h = 0;
        EXPECT_EQ(host::FrontEnd::Open(u"\\\\.\\PnpTest0", &h), STATUS_SUCCESS);
        return h;
    }
    static PdoExtension& Ext(PDEVICE_OBJECT pdo) {
        return *static_cast<PdoExtension*>(pdo->DeviceExtension);
    }
    void Unplug(PDEVICE_OBJECT pdo) {
        Ext(pdo).Present = false;
        host::Pnp::DeviceDeparted(pdo);
    }

    PDRIVER_OBJECT bus_ = nullptr;
    PDRIVER_OBJECT fdoDriver_ = nullptr;
};

TEST_F(PnpTest, ArrivalAddsTheDeviceAndStartsTheStack) {
    PDEVICE_OBJECT pdo = NewPdo();
    auto arrival = host::Pnp::DeviceArrived(pdo);
    EXPECT_EQ(arrival.AddDevice, STATUS_SUCCESS);
    ASSERT_TRUE(arrival.Start);
    EXPECT_EQ(arrival.Start->Status, STATUS_SUCCESS);
    EXPECT_EQ(arrival.Start->Returned, STATUS_SUCCESS);
    EXPECT_EQ(Ext(pdo).Starts, 1);
    PDEVICE_OBJECT fdo = host::Pnp::TopOf(pdo);
    ASSERT_NE(fdo, pdo);
    EXPECT_EQ(fdo->StackSize, 2);
    EXPECT_TRUE(static_cast<FdoExtension*>(fdo->DeviceExtension)->Started);
    auto history = host::Pnp::History();
    ASSERT_EQ(history.size(), 1u);
    EXPECT_EQ(history[0].Minor, IRP_MN_START_DEVICE);
    Unplug(pdo);
}

TEST_F(PnpTest, QueryCapabilitiesCarriesTheCallersSizeAndVersion) {
    PDEVICE_OBJECT pdo = ArrivedPdo();
    DEVICE_CAPABILITIES caps;
    auto r = host::Pnp::QueryCapabilities(pdo, sizeof(DEVICE_CAPABILITIES), 1, &caps);
    EXPECT_EQ(r.Status, STATUS_SUCCESS);
    EXPECT_EQ(caps.Size, sizeof(DEVICE_CAPABILITIES));
    EXPECT_EQ(caps.Version, 1);
    EXPECT_EQ(caps.DeviceD1, 1u);
    EXPECT_EQ(caps.SurpriseRemovalOK, 1u);
    EXPECT_EQ(caps.Address, 0xFFFFFFFFu);
    Unplug(pdo);
}

TEST_F(PnpTest, UnansweredMinorCodeKeepsThePresetStatus) {
    PDEVICE_OBJECT pdo = ArrivedPdo();
    auto r = host::Pnp::Send(pdo, IRP_MN_QUERY_DEVICE_RELATIONS);
    EXPECT_EQ(r.Status, STATUS_NOT_SUPPORTED);
    auto stop = host::Pnp::Stop(pdo);
    EXPECT_EQ(stop.Status, STATUS_SUCCESS);
    POWER_STATE state;
    state.DeviceState = PowerDeviceD3;
    auto power = host::Pnp::Power(pdo, IRP_MN_SET_POWER, DevicePowerState, state);
    EXPECT_EQ(power.Status, STATUS_SUCCESS);
    EXPECT_EQ(Ext(pdo).Powers, 1);
    Unplug(pdo);
}

TEST_F(PnpTest, DepartureWithAnOpenHandleRemovesTheStackWhenTheHandleCloses) {
    PDEVICE_OBJECT pdo = ArrivedPdo();
    host::Handle h = OpenFirst();
    ASSERT_NE(h, 0u);
    Ext(pdo).Present = false;
    host::Pnp::DeviceDeparted(pdo);
    EXPECT_EQ(Ext(pdo).Surprises, 1);
    EXPECT_EQ(Ext(pdo).Removes, 0);
    host::Handle refused = 0;
    EXPECT_EQ(host::FrontEnd::Open(u"\\\\.\\PnpTest0", &refused), STATUS_DELETE_PENDING);
    EXPECT_EQ(host::FrontEnd::Close(h), STATUS_SUCCESS);
    host::Pnp::WaitIdle();
    auto history = host::Pnp::History();
    ASSERT_EQ(history.back().Minor, IRP_MN_REMOVE_DEVICE);
    EXPECT_EQ(host::Pnp::TopOf(pdo), nullptr); // the bus deleted its PDO
}

TEST_F(PnpTest, RemoveUnderAnOpenHandleStillDeliversItsClose) {
    PDEVICE_OBJECT pdo = ArrivedPdo();
    host::Handle h = OpenFirst();
    ASSERT_NE(h, 0u);
    Ext(pdo).Present = false;
    EXPECT_EQ(host::Pnp::Remove(pdo).Status, STATUS_SUCCESS);
    EXPECT_EQ(host::Pnp::TopOf(pdo), nullptr);
    host::Handle again = 0;
    EXPECT_EQ(host::FrontEnd::Open(u"\\\\.\\PnpTest0", &again), STATUS_OBJECT_NAME_NOT_FOUND);
    // The handle kept the deleted device object alive; its close still reaches the driver.
    g_closes = 0;
    EXPECT_EQ(host::FrontEnd::Close(h), STATUS_SUCCESS);
    EXPECT_EQ(g_closes, 1);
}

TEST_F(PnpTest, DeviceThatComesBackWithANewIdentityGetsANewStack) {
    PDEVICE_OBJECT first = ArrivedPdo();
    Unplug(first);
    PDEVICE_OBJECT second = NewPdo();
    auto arrival = host::Pnp::DeviceArrived(second);
    EXPECT_EQ(arrival.Start->Status, STATUS_SUCCESS);
    host::Handle h = 0, old = 0;
    EXPECT_EQ(host::FrontEnd::Open(u"\\\\.\\PnpTest1", &h), STATUS_SUCCESS);
    EXPECT_EQ(host::FrontEnd::Open(u"\\\\.\\PnpTest0", &old), STATUS_OBJECT_NAME_NOT_FOUND);
    host::FrontEnd::Close(h);
    std::vector<UCHAR> minors;
    for (auto& r : host::Pnp::History())
        minors.push_back(r.Minor);
    EXPECT_EQ(minors, (std::vector<UCHAR>{IRP_MN_START_DEVICE, IRP_MN_SURPRISE_REMOVAL,
                                          IRP_MN_REMOVE_DEVICE, IRP_MN_START_DEVICE}));
    Unplug(second);
}

TEST_F(PnpTest, FailingDriverEntryLoadsNothing) {
    NTSTATUS status = STATUS_SUCCESS;
    EXPECT_EQ(host::LoadDriver(FailingEntry, u"\\Driver\\broken", &status), nullptr);
    EXPECT_EQ(status, STATUS_UNSUCCESSFUL);
}

} // namespace
