// Plug and Play through the host PnP manager: a start that fails below or in configuration, stop
// and restart, query-capabilities by version, removal's aborts and link, and every other minor
// code going down untouched.
#include "bringup.h"

#include "tovrik/tovrik.h"

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

namespace tovrik_test {
namespace {

class PnpTest : public BringupTest {
  protected:
    NTSTATUS OpenStatus(unsigned number) {
        host::Handle handle = 0;
        NTSTATUS status = host::FrontEnd::Open(UserPath(number), &handle);
        if (handle != 0) {
            host::FrontEnd::Close(handle);
        }
        return status;
    }

    // The bus's answer to a start replaced by `status` with Information 0x55, so the driver's
    // start runs on what the drivers below it said.
    static void AnswerStartBelow(PnpTap& tap, NTSTATUS status) {
        tap.Answer =
            [status](PIO_STACK_LOCATION stack) -> std::optional<std::pair<NTSTATUS, ULONG_PTR>> {
            if (stack->MinorFunction == IRP_MN_START_DEVICE) {
                return std::pair{status, ULONG_PTR{0x55}};
            }
            return std::nullopt;
        };
    }
};

std::optional<UrbReply> StallConfigurationReads(PURB urb) {
    if (urb->UrbHeader.Function == URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE &&
        urb->UrbControlDescriptorRequest.DescriptorType == USB_CONFIGURATION_DESCRIPTOR_TYPE) {
        return UrbReply{UrbReply::When::Now, STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID};
    }
    return std::nullopt;
}

TEST_F(PnpTest, AStartThatFailsBelowIsCompletedAsTheLowerDriversLeftIt) {
    PDEVICE_OBJECT pdo = bus_.AddPdo();
    PnpTap tap(pdo);
    AnswerStartBelow(tap, STATUS_INSUFFICIENT_RESOURCES);
    host::Pnp::Arrival arrival = host::Pnp::DeviceArrived(pdo, driver_);
    plugged_.push_back(pdo);
    ASSERT_TRUE(arrival.Start.has_value());
    EXPECT_EQ(arrival.Start->Status, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(arrival.Start->Returned, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(arrival.Start->Information, 0x55u);
    EXPECT_TRUE(bus_.Seen().empty()) << "configuration never began";
    EXPECT_FALSE(Extension(pdo)->Started);
    EXPECT_EQ(OpenStatus(0), STATUS_UNSUCCESSFUL);

    // Removed before any start configured it: no pipe to abort, and its link and number go.
    EXPECT_EQ(Unplug(pdo).Status, STATUS_SUCCESS);
    EXPECT_TRUE(bus_.Seen().empty());
    EXPECT_EQ(OpenStatus(0), STATUS_OBJECT_NAME_NOT_FOUND);
    tap.Answer = nullptr;
    PDEVICE_OBJECT next = PlugStarted();
    EXPECT_EQ(std::u16string(Extension(next)->SymbolicLinkName), u"\\DosDevices\\Tovrik318QX-0");
    EXPECT_EQ(DeviceSlotsTried, 1);
}

TEST_F(PnpTest, AStartWhoseConfigurationFailsLeavesTheDeviceUnstartedButItsLinkRemembered) {
    PDEVICE_OBJECT pdo = bus_.AddPdo();
    PnpTap tap(pdo);
    AnswerStartBelow(tap, STATUS_SUCCESS);
    Override = StallConfigurationReads;
    host::Pnp::Arrival arrival = host::Pnp::DeviceArrived(pdo, driver_);
    plugged_.push_back(pdo);
    EXPECT_EQ(arrival.Start->Status, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(arrival.Start->Information, 0u);
    EXPECT_FALSE(Extension(pdo)->Started);
    EXPECT_TRUE(Extension(pdo)->LinkCreated);
    EXPECT_EQ(Extension(pdo)->LastUsbdStatus, USBD_STATUS_STALL_PID);
    EXPECT_EQ(OpenStatus(0), STATUS_UNSUCCESSFUL);

    Unplug(pdo);
    EXPECT_EQ(OpenStatus(0), STATUS_OBJECT_NAME_NOT_FOUND) << "the link went with the device";
    Override = nullptr;
    tap.Answer = nullptr;
    PDEVICE_OBJECT next = PlugStarted();
    EXPECT_EQ(std::u16string(Extension(next)->SymbolicLinkName), u"\\DosDevices\\Tovrik318QX-0");
}

TEST_F(PnpTest, StopDeconfiguresKeepsTheDeviceOpenableAndARestartConfiguresAgain) {
    PDEVICE_OBJECT pdo = PlugStarted();
    PDEVICE_EXTENSION extension = Extension(pdo);
    PUSBD_INTERFACE_INFORMATION table = extension->InterfaceInfo;
    PUSB_DEVICE_DESCRIPTOR descriptor = extension->DeviceDescriptor;
    USBD_CONFIGURATION_HANDLE configuration = extension->ConfigurationHandle;
    const std::size_t blocks = host::Pool::OutstandingCount();

    PnpTap tap(pdo);
    std::size_t urbsBeforeStopWentDown = 99;
    tap.Answer = [&](PIO_STACK_LOCATION stack) -> std::optional<std::pair<NTSTATUS, ULONG_PTR>> {
        if (stack->MinorFunction == IRP_MN_STOP_DEVICE) {
            urbsBeforeStopWentDown = bus_.Seen().size();
        }
        return std::nullopt;
    };
    bus_.ClearSeen();
    host::RequestResult stop = host::Pnp::Stop(pdo);
    EXPECT_EQ(stop.Status, STATUS_SUCCESS);
    EXPECT_EQ(stop.Returned, STATUS_SUCCESS);
    EXPECT_EQ(urbsBeforeStopWentDown, 0u) << "the stop goes down before the deconfigure";
    std::vector<SeenRequest> seen = bus_.Seen();
    ASSERT_EQ(seen.size(), 1u);
    ASSERT_EQ(seen[0].Function(), URB_FUNCTION_SELECT_CONFIGURATION);
    EXPECT_EQ(seen[0].Length(), 88u);
    EXPECT_EQ(seen[0].As<_URB_SELECT_CONFIGURATION>().ConfigurationDescriptor, nullptr);

    // Nothing in the record changes: still started, still openable, same table.
    EXPECT_TRUE(extension->Started);
    EXPECT_EQ(extension->InterfaceInfo, table);
    EXPECT_EQ(extension->DeviceDescriptor, descriptor);
    EXPECT_EQ(extension->ConfigurationHandle, configuration);
    EXPECT_EQ(OpenStatus(0), STATUS_SUCCESS);

    // A restart runs the whole configuration again and replaces what it stored, leaking nothing.
    bus_.ClearSeen();
    EXPECT_EQ(host::Pnp::Start(pdo).Status, STATUS_SUCCESS);
    EXPECT_EQ(Urbs(URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE).size(), 3u);
    EXPECT_EQ(Urbs(URB_FUNCTION_SELECT_CONFIGURATION).size(), 1u);
    EXPECT_EQ(host::Pool::OutstandingCount(), blocks);
    EXPECT_EQ(extension->InterfaceInfo->NumberOfPipes, 4u);
    EXPECT_EQ(extension->DeviceDescriptor->idProduct, 0x0E15);

    // No pool for the deconfigure request: the stop still went down; the routine reports it.
    bus_.ClearSeen();
    host::FaultInjection::FailNth(1, host::AllocationKind::Pool);
    stop = host::Pnp::Stop(pdo);
    host::FaultInjection::Reset();
    EXPECT_EQ(stop.Status, STATUS_SUCCESS);
    EXPECT_EQ(stop.Returned, STATUS_NO_MEMORY);
    EXPECT_TRUE(bus_.Seen().empty());
}

// A bus that finishes a stop later, from its own thread, as a bus may finish any request it is
// given (here once the function driver has answered it); and that answer, with the request's
// state at that moment.
struct PendedStop {
    static inline PDRIVER_DISPATCH BusDispatch = nullptr;
    static inline PDRIVER_DISPATCH FunctionDispatch = nullptr;
    static inline std::thread Completer;
    static inline NTSTATUS Returned = STATUS_PENDING;
    static inline std::string StateOnReturn;
    static inline std::atomic<bool> Answered = false;

    static NTSTATUS Bus(PDEVICE_OBJECT device, PIRP irp) {
        if (IoGetCurrentIrpStackLocation(irp)->MinorFunction != IRP_MN_STOP_DEVICE) {
            return BusDispatch(device, irp);
        }
        IoMarkIrpPending(irp);
        Completer = std::thread([irp] {
            // Once the function driver has answered (a guard in real time against a hang).
            auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
            while (!Answered && std::chrono::steady_clock::now() < deadline) {
                std::this_thread::yield();
            }
            KIRQL old;
            KeRaiseIrql(DISPATCH_LEVEL, &old);
            irp->IoStatus.Status = STATUS_SUCCESS;
            IofCompleteRequest(irp, IO_NO_INCREMENT);
            KeLowerIrql(old);
        });
        return STATUS_PENDING;
    }
    static NTSTATUS Function(PDEVICE_OBJECT device, PIRP irp) {
        bool stop = IoGetCurrentIrpStackLocation(irp)->MinorFunction == IRP_MN_STOP_DEVICE;
        NTSTATUS status = FunctionDispatch(device, irp);
        if (stop) {
            Returned = status;
            StateOnReturn = host::IrpState(irp);
            Answered = true;
        }
        return status;
    }
};

TEST_F(PnpTest, AStopTheBusFinishesLaterIsNotAnsweredBeforeItEnds) {
    PDEVICE_OBJECT pdo = PlugStarted();
    PendedStop::BusDispatch = pdo->DriverObject->MajorFunction[IRP_MJ_PNP];
    PendedStop::FunctionDispatch = driver_->MajorFunction[IRP_MJ_PNP];
    pdo->DriverObject->MajorFunction[IRP_MJ_PNP] = PendedStop::Bus;
    driver_->MajorFunction[IRP_MJ_PNP] = PendedStop::Function;

    host::RequestResult stop = host::Pnp::Stop(pdo);
    PendedStop::Completer.join();
    pdo->DriverObject->MajorFunction[IRP_MJ_PNP] = PendedStop::BusDispatch;
    driver_->MajorFunction[IRP_MJ_PNP] = PendedStop::FunctionDispatch;

    EXPECT_EQ(stop.Status, STATUS_SUCCESS);
    // A request passed down and not yet finished below is answered STATUS_PENDING: the sender
    // takes any other answer as the request's end and goes on while the bus still holds it.
    if (PendedStop::Returned != STATUS_PENDING) {
        EXPECT_EQ(PendedStop::StateOnReturn, "completed")
            << "the stop was answered " << host::StatusName(PendedStop::Returned)
            << " while it was still below";
    }
}

TEST_F(PnpTest, SurpriseRemovalIsDeclaredSafeOnlyForARecordOfVersionOneOrMore) {
    struct Case {
        const char* Label;
        USHORT Version;
        NTSTATUS Lower;
        NTSTATUS Status;
        ULONG SurpriseRemovalOK;
    };
    const Case cases[] = {
        {"version 0 goes down untouched", 0, STATUS_SUCCESS, STATUS_SUCCESS, 0},
        {"version 1 with success below", 1, STATUS_SUCCESS, STATUS_SUCCESS, 1},
        {"version 2 with success below", 2, STATUS_SUCCESS, STATUS_SUCCESS, 1},
        {"version 1 failed below", 1, STATUS_NOT_SUPPORTED, STATUS_NOT_SUPPORTED, 0},
        {"version 0 failed below", 0, STATUS_NOT_SUPPORTED, STATUS_NOT_SUPPORTED, 0},
    };
    PDEVICE_OBJECT pdo = PlugStarted();
    PnpTap tap(pdo);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Label);
        tap.Answer =
            [lower = c.Lower](
                PIO_STACK_LOCATION stack) -> std::optional<std::pair<NTSTATUS, ULONG_PTR>> {
            if (stack->MinorFunction != IRP_MN_QUERY_CAPABILITIES) {
                return std::nullopt;
            }
            PDEVICE_CAPABILITIES capabilities = stack->Parameters.DeviceCapabilities.Capabilities;
            capabilities->Removable = 1;
            capabilities->UniqueID = 1;
            capabilities->D1Latency = 77;
            return std::pair{lower, ULONG_PTR{0x66}};
        };
        DEVICE_CAPABILITIES capabilities{};
        host::RequestResult result = host::Pnp::QueryCapabilities(pdo, sizeof(DEVICE_CAPABILITIES),
                                                                  c.Version, &capabilities);
        EXPECT_EQ(result.Status, c.Status);
        EXPECT_EQ(result.Returned, c.Status);
        EXPECT_EQ(result.Information, 0x66u) << "Information as the lower drivers left it";
        EXPECT_EQ(capabilities.SurpriseRemovalOK, c.SurpriseRemovalOK);
        // Everything else as the lower drivers and the platform left it.
        EXPECT_EQ(capabilities.Removable, 1u);
        EXPECT_EQ(capabilities.UniqueID, 1u);
        EXPECT_EQ(capabilities.D1Latency, 77u);
        EXPECT_EQ(capabilities.Address, 0xFFFFFFFFu);
        EXPECT_EQ(capabilities.UINumber, 0xFFFFFFFFu);
        EXPECT_EQ(capabilities.Version, c.Version);
    }
}

TEST_F(PnpTest, RemovalAbortsEveryPipeOfTheCurrentTableInOrder) {
    auto abortedHandles = [&] {
        std::vector<ULONG_PTR> handles;
        for (const SeenRequest& urb : Urbs(URB_FUNCTION_ABORT_PIPE)) {
            EXPECT_EQ(urb.Length(), 40u);
            handles.push_back(reinterpret_cast<ULONG_PTR>(urb.As<_URB_PIPE_REQUEST>().PipeHandle));
        }
        return handles;
    };
    struct Case {
        const char* Label;
        std::optional<UCHAR> Alternate;
        bool AbortsFail;
        std::vector<ULONG_PTR> Handles;
    };
    const Case cases[] = {
        {"the table of the start", {}, false, {0x7E000001, 0x7E000081, 0x7E000082, 0x7E000083}},
        {"a selected setting's table", 2, false, {0x7E000001, 0x7E000082}},
        {"a setting without pipes", 1, false, {}},
        {"failed aborts do not stop the removal",
         {},
         true,
         {0x7E000001, 0x7E000081, 0x7E000082, 0x7E000083}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Label);
        PDEVICE_OBJECT pdo = PlugStarted();
        if (c.Alternate) {
            ASSERT_EQ(SelectAlternateInterface(Fdo(pdo), 0, *c.Alternate), STATUS_SUCCESS);
        }
        if (c.AbortsFail) {
            Override = [](PURB) {
                return UrbReply{UrbReply::When::Later, STATUS_UNSUCCESSFUL,
                                USBD_STATUS_DEV_NOT_RESPONDING};
            };
        }
        bus_.ClearSeen();
        EXPECT_EQ(Unplug(pdo).Status, STATUS_SUCCESS);
        EXPECT_EQ(bus_.Seen().size(), c.Handles.size()) << "aborts and nothing else";
        EXPECT_EQ(abortedHandles(), c.Handles);
        EXPECT_EQ(OpenStatus(0), STATUS_OBJECT_NAME_NOT_FOUND);
        Override = nullptr;
    }
}

TEST_F(PnpTest, EveryOtherMinorCodeGoesDownUntouched) {
    struct Case {
        const char* Label;
        UCHAR Minor;
        NTSTATUS Lower;
    };
    const Case cases[] = {
        {"query remove", IRP_MN_QUERY_REMOVE_DEVICE, STATUS_SUCCESS},
        {"cancel remove", IRP_MN_CANCEL_REMOVE_DEVICE, STATUS_SUCCESS},
        {"query stop", IRP_MN_QUERY_STOP_DEVICE, STATUS_UNSUCCESSFUL},
        {"cancel stop", IRP_MN_CANCEL_STOP_DEVICE, STATUS_SUCCESS},
        {"query device relations", IRP_MN_QUERY_DEVICE_RELATIONS, STATUS_NOT_SUPPORTED},
        {"query interface", IRP_MN_QUERY_INTERFACE, STATUS_NOT_SUPPORTED},
        {"query resources", 0x0A, STATUS_SUCCESS},
        {"query resource requirements", 0x0B, STATUS_SUCCESS},
        {"query id", 0x13, STATUS_SUCCESS},
        {"query PnP device state", 0x14, STATUS_SUCCESS},
        {"device usage notification", 0x16, STATUS_SUCCESS},
        {"surprise removal", IRP_MN_SURPRISE_REMOVAL, STATUS_SUCCESS},
        {"a code nobody knows", 0x7F, STATUS_NOT_SUPPORTED},
    };
    PDEVICE_OBJECT pdo = PlugStarted();
    PDEVICE_EXTENSION extension = Extension(pdo);
    PnpTap tap(pdo);
    bus_.ClearSeen();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Label);
        tap.Answer =
            [&](PIO_STACK_LOCATION stack) -> std::optional<std::pair<NTSTATUS, ULONG_PTR>> {
            return std::pair{c.Lower, ULONG_PTR{0x1000u + stack->MinorFunction}};
        };
        const std::size_t before = tap.Requests().size();
        host::RequestResult result = host::Pnp::Send(pdo, c.Minor, [](PIO_STACK_LOCATION stack) {
            stack->Parameters.Others.Argument1 = reinterpret_cast<PVOID>(0x11);
            stack->Parameters.Others.Argument2 = reinterpret_cast<PVOID>(0x22);
            stack->Parameters.Others.Argument3 = reinterpret_cast<PVOID>(0x33);
            stack->Parameters.Others.Argument4 = reinterpret_cast<PVOID>(0x44);
        });
        EXPECT_EQ(result.Status, c.Lower);
        EXPECT_EQ(result.Returned, c.Lower);
        EXPECT_EQ(result.Information, 0x1000u + c.Minor);
        std::vector<PnpTap::Seen> seen = tap.Requests();
        ASSERT_EQ(seen.size(), before + 1);
        const IO_STACK_LOCATION& below = seen.back().Stack;
        EXPECT_EQ(below.MajorFunction, IRP_MJ_PNP);
        EXPECT_EQ(below.MinorFunction, c.Minor);
        EXPECT_EQ(below.Parameters.Others.Argument1, reinterpret_cast<PVOID>(0x11));
        EXPECT_EQ(below.Parameters.Others.Argument4, reinterpret_cast<PVOID>(0x44));
        EXPECT_EQ(below.CompletionRoutine, nullptr) << "skipped, not copied with a routine of ours";
    }
    EXPECT_TRUE(bus_.Seen().empty());
    EXPECT_TRUE(extension->Started);
    EXPECT_TRUE(extension->LinkCreated);
    EXPECT_FALSE(extension->RemovePending);
    EXPECT_EQ(extension->IoCount, 1);
}

} // namespace
} // namespace tovrik_test
