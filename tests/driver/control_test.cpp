// The device I/O control dispatch through the user-mode front end: every non-data code's tests,
// statuses, Information and output, and the refusals of short or malformed requests, which must
// touch neither the device nor the caller's buffer.
#include "support/camera_script.h"
#include "support/driver_test.h"
#include "support/request_bytes.h"

#include "tovrik/tovrik.h"

#include <cstring>

namespace tovrik_test {
namespace {

Bytes Ulong(std::uint32_t value) {
    return {static_cast<std::uint8_t>(value), static_cast<std::uint8_t>(value >> 8),
            static_cast<std::uint8_t>(value >> 16), static_cast<std::uint8_t>(value >> 24)};
}

std::uint32_t ReadUlong(const Bytes& bytes, std::size_t offset = 0) {
    return bytes[offset] | (bytes[offset + 1] << 8) | (bytes[offset + 2] << 16) |
           (static_cast<std::uint32_t>(bytes[offset + 3]) << 24);
}

constexpr std::uint8_t kPoison = 0xA5;

bool Untouched(const Bytes& output) {
    return std::all_of(output.begin(), output.end(), [](std::uint8_t b) { return b == kPoison; });
}

class ControlTest : public ScriptedCameraTest {
  protected:
    void SetUp() override {
        ScriptedCameraTest::SetUp();
        PlugAndOpen();
    }

    UrbReply Answer(PURB urb) override {
        if (failNext_) {
            failNext_ = false;
            return UrbReply{UrbReply::When::Now, STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID};
        }
        return ScriptedCameraTest::Answer(urb);
    }

    host::FrontEnd::IoctlResult Call(ULONG code, const Bytes& input, ULONG outputLength) {
        return host::FrontEnd::DeviceIoControl(handle_, code, input, outputLength, kPoison);
    }

    bool failNext_ = false;
};

// Requests refused by their length tests: each status with Information 0, nothing sent below,
// and the caller's output buffer untouched.
struct Refusal {
    const char* Label;
    ULONG Code;
    Bytes Input;
    ULONG OutputLength;
    NTSTATUS Status;
};

TEST_F(ControlTest, MalformedRequestsAreRefusedBeforeAnythingIsTouched) {
    VENDOR_DEVICE_REQUEST toHost{};
    toHost.Request = 0x51;
    toHost.Length = 16;
    toHost.Direction = 1;
    const Refusal refusals[] = {
        {"unknown function 0x803",
         TOVRIK_CTL_CODE(0x803, TOVRIK_METHOD_BUFFERED),
         {},
         16,
         STATUS_INVALID_PARAMETER},
        {"pipe table code with another method",
         TOVRIK_CTL_CODE(0x800, TOVRIK_METHOD_IN_DIRECT),
         {},
         256,
         STATUS_INVALID_PARAMETER},
        {"pipe table longer than the output",
         IOCTL_TOVRIK_GET_PIPE_INFO,
         {},
         24 + 4 * 24 - 1,
         STATUS_INVALID_PARAMETER},
        {"device descriptor in 17 bytes",
         IOCTL_TOVRIK_GET_DEVICE_DESCRIPTOR,
         {},
         17,
         STATUS_INVALID_PARAMETER},
        {"vendor request of 9 bytes", IOCTL_TOVRIK_VENDOR_REQUEST, Bytes(9), 16,
         STATUS_INVALID_PARAMETER},
        {"vendor answer longer than the output", IOCTL_TOVRIK_VENDOR_REQUEST, RecordBytes(toHost),
         15, STATUS_INVALID_PARAMETER},
        {"reset pipe of 3 bytes", IOCTL_TOVRIK_RESET_PIPE, Bytes(3), 0, STATUS_INVALID_PARAMETER},
        {"reset pipe past the table", IOCTL_TOVRIK_RESET_PIPE, Ulong(4), 0,
         STATUS_INVALID_PARAMETER},
        {"abort pipe of 3 bytes", IOCTL_TOVRIK_ABORT_PIPE, Bytes(3), 0, STATUS_INVALID_PARAMETER},
        {"abort pipe past the table", IOCTL_TOVRIK_ABORT_PIPE, Ulong(4), 0,
         STATUS_INVALID_PARAMETER},
        {"abort pipe of a negative index", IOCTL_TOVRIK_ABORT_PIPE, Ulong(0xFFFFFFFF), 0,
         STATUS_INVALID_PARAMETER},
        {"set interface of 1 byte", IOCTL_TOVRIK_SET_INTERFACE, Bytes(1), 0,
         STATUS_INVALID_PARAMETER},
        {"string descriptor of 5 bytes", IOCTL_TOVRIK_GET_STRING_DESCRIPTOR, Bytes(5), 64,
         STATUS_INVALID_PARAMETER},
        {"string descriptor without output", IOCTL_TOVRIK_GET_STRING_DESCRIPTOR, Bytes(4), 0,
         STATUS_INVALID_PARAMETER},
        {"frame number in 3 bytes", IOCTL_TOVRIK_GET_FRAME_NUMBER, {}, 3, STATUS_INVALID_PARAMETER},
        {"last error in 3 bytes", IOCTL_TOVRIK_GET_LAST_ERROR, {}, 3, STATUS_UNSUCCESSFUL},
        {"driver version in 5 bytes", IOCTL_TOVRIK_GET_DRIVER_VERSION, {}, 5, STATUS_UNSUCCESSFUL},
        {"write memory with a 3-byte address", IOCTL_TOVRIK_WRITE_RAM, Bytes(3), 64,
         STATUS_INVALID_PARAMETER},
        {"write memory without data", IOCTL_TOVRIK_WRITE_RAM, Bytes(2), 0,
         STATUS_INVALID_PARAMETER},
        {"set feature of 3 bytes", IOCTL_TOVRIK_SET_FEATURE, Bytes(3), 0, STATUS_INVALID_PARAMETER},
        {"set feature of 5 bytes", IOCTL_TOVRIK_SET_FEATURE, Bytes(5), 0, STATUS_INVALID_PARAMETER},
        {"time limit of 7 bytes", IOCTL_TOVRIK_SET_TIMEOUT, Bytes(7), 0, STATUS_INVALID_PARAMETER},
        {"control request of 9 bytes", IOCTL_TOVRIK_CONTROL_REQUEST, Bytes(9), 8,
         STATUS_INVALID_PARAMETER},
        {"control request of key 12", IOCTL_TOVRIK_CONTROL_REQUEST,
         Bytes{1, 3, 0, 0, 1, 0, 0, 0, 0, 0}, 8, STATUS_INVALID_PARAMETER},
        {"bulk read of 3 bytes", IOCTL_TOVRIK_BULK_READ, Bytes(3), 64, STATUS_INVALID_PARAMETER},
        {"chunked read of 3 bytes", IOCTL_TOVRIK_CHUNKED_READ, Bytes(3), 64,
         STATUS_INVALID_PARAMETER},
        {"chunked read without output", IOCTL_TOVRIK_CHUNKED_READ, Ulong(2), 0,
         STATUS_INVALID_PARAMETER},
        {"iso read of 19 bytes", IOCTL_TOVRIK_ISO_READ, Bytes(19), 64, STATUS_INVALID_PARAMETER},
        {"stream start of 19 bytes", IOCTL_TOVRIK_START_ISO_STREAM, Bytes(19), 0,
         STATUS_INVALID_PARAMETER},
        {"stream read of 21 bytes", IOCTL_TOVRIK_READ_ISO_STREAM, Bytes(21), 16 * (1024 + 12),
         STATUS_INVALID_PARAMETER},
    };
    for (const Refusal& refusal : refusals) {
        SCOPED_TRACE(refusal.Label);
        auto result = Call(refusal.Code, refusal.Input, refusal.OutputLength);
        EXPECT_EQ(result.Status, refusal.Status);
        EXPECT_EQ(result.Information, 0u);
        EXPECT_TRUE(Untouched(result.Output));
        EXPECT_TRUE(bus_.Seen().empty());
        bus_.ClearSeen();
    }
}

TEST_F(ControlTest, PipeTableIsAnExactCopyOfTheSelectedInterface) {
    auto result = Call(IOCTL_TOVRIK_GET_PIPE_INFO, {}, 512);
    ASSERT_EQ(result.Status, STATUS_SUCCESS);
    ASSERT_EQ(result.Information, 24u + 4 * 24);
    EXPECT_EQ(result.Output[0] | (result.Output[1] << 8), 24 + 4 * 24);
    EXPECT_EQ(ReadUlong(result.Output, 16), 4u);
    // Pipe 2 carries images: offered 0x3FFFFF bytes; the others 1024.
    EXPECT_EQ(result.Output[24 + 2 * 24 + 2], 0x82);
    EXPECT_EQ(ReadUlong(result.Output, 24 + 2 * 24 + 16), 0x3FFFFFu);
    EXPECT_EQ(ReadUlong(result.Output, 24 + 0 * 24 + 16), 1024u);
    EXPECT_EQ(ReadUlong(result.Output, 24 + 3 * 24 + 4),
              static_cast<std::uint32_t>(UsbdPipeTypeIsochronous));

    // An interface with two pipes: 72 bytes, every pipe offered 0xFFFF.
    ASSERT_EQ(Call(IOCTL_TOVRIK_SET_INTERFACE, {0, 2}, 0).Status, STATUS_SUCCESS);
    result = Call(IOCTL_TOVRIK_GET_PIPE_INFO, {}, 72);
    ASSERT_EQ(result.Status, STATUS_SUCCESS);
    EXPECT_EQ(result.Information, 72u);
    EXPECT_EQ(ReadUlong(result.Output, 24 + 16), 0xFFFFu);
    EXPECT_EQ(ReadUlong(result.Output, 48 + 16), 0xFFFFu);
}

TEST_F(ControlTest, PipeTableCopyCarriesTokensInsteadOfKernelHandles) {
    PUSBD_INTERFACE_INFORMATION table = Extension(pdo_)->InterfaceInfo;
    auto result = Call(IOCTL_TOVRIK_GET_PIPE_INFO, {}, 512);
    ASSERT_EQ(result.Status, STATUS_SUCCESS);
    ASSERT_EQ(result.Information, table->Length);
    // The interface handle says "opened" as 1, pipe i's handle as i + 1; every other byte is the
    // table's own.
    Bytes expected(reinterpret_cast<const std::uint8_t*>(table),
                   reinterpret_cast<const std::uint8_t*>(table) + table->Length);
    auto putHandle = [&](std::size_t offset, std::uint64_t value) {
        std::memcpy(expected.data() + offset, &value, sizeof(value));
    };
    putHandle(offsetof(USBD_INTERFACE_INFORMATION, InterfaceHandle), 1);
    for (ULONG i = 0; i < table->NumberOfPipes; i++) {
        putHandle(offsetof(USBD_INTERFACE_INFORMATION, Pipes) + i * sizeof(USBD_PIPE_INFORMATION) +
                      offsetof(USBD_PIPE_INFORMATION, PipeHandle),
                  i + 1);
    }
    EXPECT_EQ(Bytes(result.Output.begin(), result.Output.begin() + table->Length), expected);

    // A pipe the bus left without a handle reads 0, as before.
    USBD_PIPE_HANDLE saved = table->Pipes[1].PipeHandle;
    table->Pipes[1].PipeHandle = nullptr;
    result = Call(IOCTL_TOVRIK_GET_PIPE_INFO, {}, 512);
    table->Pipes[1].PipeHandle = saved;
    EXPECT_EQ(ReadUlong(result.Output, 24 + 24 + 8), 0u);
    EXPECT_EQ(ReadUlong(result.Output, 24 + 2 * 24 + 8), 3u);
}

TEST_F(ControlTest, AnInterfaceSelectionThatCannotAllocateLeavesATable) {
    // Each allocation of the selection fails in turn: the device always keeps a table that
    // names the interface the bus has selected, never none.
    for (std::uint64_t k = 1; k <= 6; k++) {
        SCOPED_TRACE("allocation " + std::to_string(k));
        bus_.ClearSeen();
        host::FaultInjection::FailNth(k, host::AllocationKind::Pool);
        NTSTATUS status = Call(IOCTL_TOVRIK_SET_INTERFACE, {0, 2}, 0).Status;
        host::FaultInjection::Reset();
        PUSBD_INTERFACE_INFORMATION table = Extension(pdo_)->InterfaceInfo;
        ASSERT_NE(table, nullptr);
        bool selected = !bus_.SeenUrbs(URB_FUNCTION_SELECT_INTERFACE).empty();
        EXPECT_EQ(table->AlternateSetting, selected ? 2 : 0);
        EXPECT_EQ(NT_SUCCESS(status), selected);
        ASSERT_EQ(Call(IOCTL_TOVRIK_SET_INTERFACE, {0, 0}, 0).Status, STATUS_SUCCESS);
    }
}

TEST_F(ControlTest, PipeTableRequestWithoutATableSucceedsEmpty) {
    PDEVICE_EXTENSION extension = Extension(pdo_);
    PUSBD_INTERFACE_INFORMATION table = extension->InterfaceInfo;
    extension->InterfaceInfo = nullptr;
    auto result = Call(IOCTL_TOVRIK_GET_PIPE_INFO, {}, 512);
    EXPECT_EQ(result.Status, STATUS_SUCCESS);
    EXPECT_EQ(result.Information, 0u);
    // Without a table every pipe operation finds nothing to address.
    EXPECT_EQ(Call(IOCTL_TOVRIK_ABORT_PIPE, Ulong(0), 0).Status, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(Call(IOCTL_TOVRIK_RESET_PIPE, Ulong(0), 0).Status, STATUS_UNSUCCESSFUL);
    extension->InterfaceInfo = table;
    EXPECT_TRUE(bus_.Seen().empty());
}

TEST_F(ControlTest, VersionLastErrorFrameNumberAndNoOperation) {
    auto version = Call(IOCTL_TOVRIK_GET_DRIVER_VERSION, {}, 6);
    EXPECT_EQ(version.Status, STATUS_SUCCESS);
    EXPECT_EQ(version.Information, 6u);
    EXPECT_EQ(version.Output, (Bytes{0x01, 0x00, 0x01, 0x00, 0x00, 0x00}));

    auto lastError = Call(IOCTL_TOVRIK_GET_LAST_ERROR, {}, 4);
    EXPECT_EQ(lastError.Status, STATUS_SUCCESS);
    EXPECT_EQ(lastError.Information, 4u);
    EXPECT_EQ(ReadUlong(lastError.Output), 0u);

    // A stalled request leaves its USBD status behind; reading it does not clear it.
    failNext_ = true;
    EXPECT_EQ(Call(IOCTL_TOVRIK_RESET_PIPE, Ulong(1), 0).Status, STATUS_UNSUCCESSFUL);
    for (int read = 0; read < 2; read++) {
        lastError = Call(IOCTL_TOVRIK_GET_LAST_ERROR, {}, 4);
        EXPECT_EQ(ReadUlong(lastError.Output), static_cast<std::uint32_t>(USBD_STATUS_STALL_PID));
    }

    auto frame = Call(IOCTL_TOVRIK_GET_FRAME_NUMBER, {}, 4);
    EXPECT_EQ(frame.Status, STATUS_SUCCESS);
    EXPECT_EQ(frame.Information, 4u);
    EXPECT_EQ(ReadUlong(frame.Output), 1234u);
    script_.FrameNumber = 0;
    frame = Call(IOCTL_TOVRIK_GET_FRAME_NUMBER, {}, 4);
    EXPECT_EQ(frame.Status, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(frame.Information, 0u);

    auto nothing = Call(IOCTL_TOVRIK_NO_OPERATION, {1, 2, 3}, 8);
    EXPECT_EQ(nothing.Status, STATUS_SUCCESS);
    EXPECT_EQ(nothing.Information, 0u);
}

TEST_F(ControlTest, DescriptorsAsTheDeviceSendsThem) {
    auto none = Call(IOCTL_TOVRIK_GET_DEVICE_DESCRIPTOR, {}, 0);
    EXPECT_EQ(none.Status, STATUS_SUCCESS);
    EXPECT_EQ(none.Information, 0u);
    EXPECT_TRUE(bus_.Seen().empty());

    auto device = Call(IOCTL_TOVRIK_GET_DEVICE_DESCRIPTOR, {}, 18);
    EXPECT_EQ(device.Status, STATUS_SUCCESS);
    EXPECT_EQ(device.Output, script_.DeviceDescriptor);

    auto configuration = Call(IOCTL_TOVRIK_GET_CONFIGURATION_DESCRIPTOR, {}, 9);
    EXPECT_EQ(configuration.Status, STATUS_SUCCESS);
    EXPECT_EQ(configuration.Information, 9u);
    EXPECT_TRUE(std::equal(configuration.Output.begin(), configuration.Output.end(),
                           script_.Configuration.begin()));

    // A failed read is a failure, with its USB status as the last error; so is one without
    // pool for its URB.
    failNext_ = true;
    auto failed = Call(IOCTL_TOVRIK_GET_DEVICE_DESCRIPTOR, {}, 18);
    EXPECT_EQ(failed.Status, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(failed.Information, 0u);
    EXPECT_EQ(Extension(pdo_)->LastUsbdStatus, USBD_STATUS_STALL_PID);
    failNext_ = true;
    failed = Call(IOCTL_TOVRIK_GET_CONFIGURATION_DESCRIPTOR, {}, 9);
    EXPECT_EQ(failed.Status, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(failed.Information, 0u);
    host::FaultInjection::FailNth(1, host::AllocationKind::Pool);
    failed = Call(IOCTL_TOVRIK_GET_DEVICE_DESCRIPTOR, {}, 18);
    host::FaultInjection::Reset();
    EXPECT_EQ(failed.Status, STATUS_INSUFFICIENT_RESOURCES);

    // The string request's failure is reported.
    failNext_ = true;
    auto string = Call(IOCTL_TOVRIK_GET_STRING_DESCRIPTOR, {2, 0, 0x09, 0x04}, 64);
    EXPECT_EQ(string.Status, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(string.Information, 0u);
    auto request = bus_.SeenUrbs(URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE).back();
    auto descriptor = request.As<_URB_CONTROL_DESCRIPTOR_REQUEST>();
    EXPECT_EQ(descriptor.DescriptorType, USB_STRING_DESCRIPTOR_TYPE);
    EXPECT_EQ(descriptor.Index, 2);
    EXPECT_EQ(descriptor.LanguageId, 0x0409);
}

TEST_F(ControlTest, VendorRequestsMoveTheirDataBothWays) {
    VENDOR_DEVICE_REQUEST request{};
    request.Request = 0x51;
    request.Value = 0x1234;
    request.Index = 0x0002;
    request.Length = 4;
    request.Direction = 1;
    auto in = Call(IOCTL_TOVRIK_VENDOR_REQUEST, RecordBytes(request), 10);
    EXPECT_EQ(in.Status, STATUS_SUCCESS);
    ASSERT_EQ(in.Information, 4u);
    EXPECT_EQ(Bytes(in.Output.begin(), in.Output.begin() + 4), (Bytes{0xC0, 0xFF, 0xEE, 0xC0}));

    // A request the device stalls is a failure, in either direction; its USB status is the last
    // error.
    failNext_ = true;
    auto stalled = Call(IOCTL_TOVRIK_VENDOR_REQUEST, RecordBytes(request), 10);
    EXPECT_EQ(stalled.Status, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(stalled.Information, 0u);
    EXPECT_EQ(Extension(pdo_)->LastUsbdStatus, USBD_STATUS_STALL_PID);

    request.Direction = 0;
    request.Length = 3;
    failNext_ = true;
    EXPECT_EQ(Call(IOCTL_TOVRIK_VENDOR_REQUEST, RecordBytes(request), 0).Status,
              STATUS_UNSUCCESSFUL);
    auto out = Call(IOCTL_TOVRIK_VENDOR_REQUEST, RecordBytes(request), 0);
    EXPECT_EQ(out.Status, STATUS_SUCCESS);
    EXPECT_EQ(out.Information, 0u);
    auto seen = bus_.SeenUrbs(URB_FUNCTION_VENDOR_DEVICE).back();
    EXPECT_EQ(seen.OutData, (Bytes{0x00, 0x01, 0x02}));
    auto urb = seen.As<_URB_CONTROL_VENDOR_OR_CLASS_REQUEST>();
    EXPECT_EQ(urb.Request, 0x51);
    EXPECT_EQ(urb.Value, 0x1234);
    EXPECT_EQ(urb.Index, 0x0002);
    EXPECT_EQ(urb.TransferFlags, 0u);

    // Class and vendor requests through the control code: key 8 is a vendor device request.
    // Its buffer is locked for reading only, so data moves from host to device alone.
    auto control =
        Call(IOCTL_TOVRIK_CONTROL_REQUEST, Bytes{0, 0, 8, 0, 0x22, 0, 0x34, 0x12, 0x01, 0x00}, 6);
    EXPECT_EQ(control.Status, STATUS_SUCCESS);
    EXPECT_EQ(control.Information, 6u);
    auto vendor =
        bus_.SeenUrbs(URB_FUNCTION_VENDOR_DEVICE).back().As<_URB_CONTROL_VENDOR_OR_CLASS_REQUEST>();
    EXPECT_EQ(vendor.TransferFlags, static_cast<ULONG>(USBD_SHORT_TRANSFER_OK));
    EXPECT_EQ(vendor.Request, 0x22);
    EXPECT_EQ(vendor.Value, 0x1234);
    bus_.ClearSeen();
    auto toHost =
        Call(IOCTL_TOVRIK_CONTROL_REQUEST, Bytes{1, 0, 8, 0, 0x22, 0, 0x34, 0x12, 0x01, 0x00}, 6);
    EXPECT_EQ(toHost.Status, STATUS_INVALID_PARAMETER);
    EXPECT_TRUE(Untouched(toHost.Output));
    EXPECT_TRUE(bus_.Seen().empty());

    // Without data the request has no data stage and no MDL.
    auto noData = Call(IOCTL_TOVRIK_CONTROL_REQUEST, Bytes{0, 1, 1, 0, 0x0B, 0, 1, 0, 0, 0}, 0);
    EXPECT_EQ(noData.Status, STATUS_SUCCESS);
    auto classInterface = bus_.SeenUrbs(URB_FUNCTION_CLASS_INTERFACE)
                              .back()
                              .As<_URB_CONTROL_VENDOR_OR_CLASS_REQUEST>();
    EXPECT_EQ(classInterface.TransferBufferLength, 0u);
    EXPECT_EQ(classInterface.TransferBufferMDL, nullptr);
}

TEST_F(ControlTest, MemoryWritesSendEveryByteAndReportFailures) {
    Bytes data(1000);
    for (std::size_t i = 0; i < data.size(); i++) {
        data[i] = static_cast<std::uint8_t>(i * 7);
    }
    EXPECT_EQ(Call(IOCTL_TOVRIK_DOWNLOAD_RAM, data, 0).Status, STATUS_SUCCESS);
    auto writes = bus_.SeenUrbs(URB_FUNCTION_VENDOR_DEVICE);
    ASSERT_EQ(writes.size(), 2u);
    EXPECT_EQ(writes[0].As<_URB_CONTROL_VENDOR_OR_CLASS_REQUEST>().Value, 0);
    EXPECT_EQ(writes[0].OutData, Bytes(data.begin(), data.begin() + 512));
    EXPECT_EQ(writes[1].As<_URB_CONTROL_VENDOR_OR_CLASS_REQUEST>().Value, 512);
    EXPECT_EQ(writes[1].OutData, Bytes(data.begin() + 512, data.end()));

    failNext_ = true;
    EXPECT_EQ(Call(IOCTL_TOVRIK_DOWNLOAD_RAM, Bytes(512), 0).Status, STATUS_UNSUCCESSFUL);

    // Write memory: the data is the output buffer, in 64-byte pieces from the address given.
    bus_.ClearSeen();
    Bytes payload(100, 0x5C);
    auto write = host::FrontEnd::DeviceIoControl(handle_, IOCTL_TOVRIK_WRITE_RAM, Bytes{0xF0, 0x1F},
                                                 payload);
    EXPECT_EQ(write.Status, STATUS_SUCCESS);
    writes = bus_.SeenUrbs(URB_FUNCTION_VENDOR_DEVICE);
    ASSERT_EQ(writes.size(), 2u);
    EXPECT_EQ(writes[0].As<_URB_CONTROL_VENDOR_OR_CLASS_REQUEST>().Value, 0x1FF0);
    EXPECT_EQ(writes[0].OutData.size(), 64u);
    EXPECT_EQ(writes[1].As<_URB_CONTROL_VENDOR_OR_CLASS_REQUEST>().Value, 0x1FF0 + 64);
    EXPECT_EQ(writes[1].OutData.size(), 36u);

    failNext_ = true;
    write = host::FrontEnd::DeviceIoControl(handle_, IOCTL_TOVRIK_WRITE_RAM, Bytes{0, 0}, payload);
    EXPECT_EQ(write.Status, STATUS_UNSUCCESSFUL);
}

TEST_F(ControlTest, BuffersAreMappedSoThatAFailedMappingIsAnAnswerNotACrash) {
    // The codes that reach the caller's buffer through a system mapping: each asks for one that
    // may fail, no-execute, and read-only where the buffer was locked for reading only.
    struct Case {
        const char* Label;
        ULONG Code;
        Bytes Input;
        ULONG Output;
        bool ReadOnly;
    };
    const Case cases[] = {
        {"write memory", IOCTL_TOVRIK_WRITE_RAM, Bytes{0x00, 0x30}, 16, true},
        {"iso read", IOCTL_TOVRIK_ISO_READ, RecordBytes(ISO_REQUEST{3, 64, 8, 8, 1}), 8 * 76,
         false},
        {"stream read", IOCTL_TOVRIK_READ_ISO_STREAM, RecordBytes(ISO_REQUEST{0, 64, 8, 0, 0}),
         8 * 76, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Label);
        bus_.ClearSeen();
        host::FaultInjection::FailNth(1, host::AllocationKind::Mapping);
        auto failed = Call(c.Code, c.Input, c.Output);
        host::FaultInjection::Reset();
        EXPECT_EQ(failed.Status, STATUS_INSUFFICIENT_RESOURCES);
        EXPECT_TRUE(bus_.Seen().empty());
        std::vector<host::MdlMapping> mappings = host::MdlMappings();
        ASSERT_FALSE(mappings.empty());
        const host::MdlMapping& mapping = mappings.back();
        EXPECT_TRUE(mapping.Safe);
        EXPECT_TRUE(mapping.Failed);
        EXPECT_TRUE(mapping.NoExecute);
        EXPECT_EQ(mapping.NoWrite, c.ReadOnly);
        EXPECT_EQ(mapping.Priority, static_cast<ULONG>(NormalPagePriority));
    }
}

TEST_F(ControlTest, PipePortInterfaceAndFeatureFailuresAreReported) {
    // Reset and abort address the pipe the table names.
    EXPECT_EQ(Call(IOCTL_TOVRIK_RESET_PIPE, Ulong(2), 0).Status, STATUS_SUCCESS);
    EXPECT_EQ(Call(IOCTL_TOVRIK_ABORT_PIPE, Ulong(3), 0).Status, STATUS_SUCCESS);
    auto reset = bus_.SeenUrbs(URB_FUNCTION_RESET_PIPE).at(0).As<_URB_PIPE_REQUEST>();
    auto abort = bus_.SeenUrbs(URB_FUNCTION_ABORT_PIPE).at(0).As<_URB_PIPE_REQUEST>();
    PUSBD_INTERFACE_INFORMATION table = Extension(pdo_)->InterfaceInfo;
    EXPECT_EQ(reset.PipeHandle, table->Pipes[2].PipeHandle);
    EXPECT_EQ(abort.PipeHandle, table->Pipes[3].PipeHandle);

    failNext_ = true;
    EXPECT_EQ(Call(IOCTL_TOVRIK_ABORT_PIPE, Ulong(0), 0).Status, STATUS_UNSUCCESSFUL);

    bus_.ResetPortResult = STATUS_DEVICE_NOT_CONNECTED;
    EXPECT_EQ(Call(IOCTL_TOVRIK_RESET_PORT, {}, 0).Status, STATUS_DEVICE_NOT_CONNECTED);
    bus_.ResetPortResult = STATUS_SUCCESS;
    EXPECT_EQ(Call(IOCTL_TOVRIK_RESET_PORT, {}, 0).Status, STATUS_SUCCESS);

    // An alternate setting the configuration lacks: the failure shows and the old table stays.
    EXPECT_EQ(Call(IOCTL_TOVRIK_SET_INTERFACE, {0, 7}, 0).Status, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(Extension(pdo_)->InterfaceInfo->NumberOfPipes, 4u);

    EXPECT_EQ(Call(IOCTL_TOVRIK_SET_FEATURE, {1, 0, 0, 0}, 0).Status, STATUS_SUCCESS);
    auto feature =
        bus_.SeenUrbs(URB_FUNCTION_SET_FEATURE_TO_DEVICE).at(0).As<_URB_CONTROL_FEATURE_REQUEST>();
    EXPECT_EQ(feature.Hdr.Length, 136);
    EXPECT_EQ(feature.FeatureSelector, 1);
    failNext_ = true;
    EXPECT_EQ(Call(IOCTL_TOVRIK_SET_FEATURE, {1, 0, 0, 0}, 0).Status, STATUS_UNSUCCESSFUL);
}

TEST_F(ControlTest, TimeLimitAndStreamStopNeedNoDevice) {
    TIMEOUT_REQUEST limit{2, 10000};
    EXPECT_EQ(Call(IOCTL_TOVRIK_SET_TIMEOUT, RecordBytes(limit), 0).Status, STATUS_SUCCESS);
    EXPECT_EQ(BulkTimeoutMs, 3000);
    limit.Selector = 1;
    EXPECT_EQ(Call(IOCTL_TOVRIK_SET_TIMEOUT, RecordBytes(limit), 0).Status, STATUS_SUCCESS);
    EXPECT_EQ(BulkTimeoutMs, 10000);
    EXPECT_EQ(BulkTimeoutInterval().QuadPart, -100000000);
    limit.Milliseconds = -1;
    EXPECT_EQ(Call(IOCTL_TOVRIK_SET_TIMEOUT, RecordBytes(limit), 0).Status, STATUS_SUCCESS);
    EXPECT_EQ(BulkTimeoutMs, -1);
    EXPECT_GT(BulkTimeoutInterval().QuadPart, 0);

    EXPECT_EQ(Call(IOCTL_TOVRIK_STOP_ISO_STREAM, {}, 0).Status, STATUS_SUCCESS);
    EXPECT_TRUE(Extension(pdo_)->StreamStopRequested);
    // With no stream the read finds no rings.
    ISO_REQUEST read{0, 1024, 16, 0, 0};
    EXPECT_EQ(Call(IOCTL_TOVRIK_READ_ISO_STREAM, RecordBytes(read), 16 * (1024 + 12)).Status,
              STATUS_UNSUCCESSFUL);
    EXPECT_TRUE(bus_.Seen().empty());
}

TEST_F(ControlTest, RequestsDuringRemovalAreRefusedWithTheCountUnchanged) {
    PDEVICE_EXTENSION extension = Extension(pdo_);
    extension->RemovePending = TRUE;
    LONG before = extension->IoCount;
    auto result = Call(IOCTL_TOVRIK_GET_DRIVER_VERSION, {}, 6);
    EXPECT_EQ(result.Status, STATUS_DELETE_PENDING);
    EXPECT_EQ(result.Information, 0u);
    EXPECT_TRUE(Untouched(result.Output));
    EXPECT_EQ(extension->IoCount, before);
    extension->RemovePending = FALSE;
}

} // namespace
} // namespace tovrik_test
