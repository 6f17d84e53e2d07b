// Descriptor, pipe and control requests as user software sends them: the class/vendor key table
// with its unmasked bytes, the vendor device request's data patterns, and the pipe requests'
// header length under both USBDI versions.
#include "bringup.h"

#include "tovrik/tovrik.h"
#include "usbd/usbd.h"

namespace tovrik_test {
namespace {

class RequestsTest : public OpenedCameraTest {};

std::vector<std::uint8_t> ClassVendor(UCHAR direction, UCHAR type, UCHAR recipient, UCHAR request,
                                      USHORT value, USHORT index) {
    return {direction,
            type,
            recipient,
            0xEE,
            request,
            0xEE,
            static_cast<std::uint8_t>(value),
            static_cast<std::uint8_t>(value >> 8),
            static_cast<std::uint8_t>(index),
            static_cast<std::uint8_t>(index >> 8)};
}

std::vector<std::uint8_t> VendorDevice(UCHAR request, USHORT value, USHORT index, USHORT length,
                                       UCHAR direction, UCHAR dataByte) {
    return {request,
            0xEE,
            static_cast<std::uint8_t>(value),
            static_cast<std::uint8_t>(value >> 8),
            static_cast<std::uint8_t>(index),
            static_cast<std::uint8_t>(index >> 8),
            static_cast<std::uint8_t>(length),
            static_cast<std::uint8_t>(length >> 8),
            direction,
            dataByte};
}

TEST_F(RequestsTest, TheKeyTableTakesWholeBytes) {
    struct Case {
        const char* Label;
        UCHAR Type;
        UCHAR Recipient;
        USHORT Function; // 0: refused
    };
    const Case cases[] = {
        {"class device", 1, 0, URB_FUNCTION_CLASS_DEVICE},
        {"class interface", 1, 1, URB_FUNCTION_CLASS_INTERFACE},
        {"class endpoint", 1, 2, URB_FUNCTION_CLASS_ENDPOINT},
        {"class other", 1, 3, URB_FUNCTION_CLASS_OTHER},
        {"vendor device", 2, 0, URB_FUNCTION_VENDOR_DEVICE},
        {"vendor interface", 2, 1, URB_FUNCTION_VENDOR_INTERFACE},
        {"vendor endpoint", 2, 2, URB_FUNCTION_VENDOR_ENDPOINT},
        {"vendor other", 2, 3, URB_FUNCTION_VENDOR_OTHER},
        {"type 0, recipient 8: key 8", 0, 8, URB_FUNCTION_VENDOR_DEVICE},
        {"type 0, recipient 4: key 4", 0, 4, URB_FUNCTION_CLASS_DEVICE},
        {"type 3, recipient 0: key 12", 3, 0, 0},
        {"type 2, recipient 4: key 12, not a masked 8", 2, 4, 0},
        {"type 5, recipient 0: key 20, not a masked 4", 5, 0, 0},
        {"standard requests are not served", 0, 0, 0},
        {"type 0x40: key 256, not a byte's 0", 0x40, 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Label);
        bus_.ClearSeen();
        auto result = Ioctl(IOCTL_TOVRIK_CONTROL_REQUEST,
                            ClassVendor(0, c.Type, c.Recipient, 0x42, 0x1234, 0x5678));
        std::vector<SeenRequest> seen = bus_.Seen();
        if (c.Function == 0) {
            EXPECT_EQ(result.Status, STATUS_INVALID_PARAMETER);
            EXPECT_TRUE(seen.empty());
            continue;
        }
        EXPECT_EQ(result.Status, STATUS_SUCCESS);
        EXPECT_EQ(result.Information, 0u);
        ASSERT_EQ(seen.size(), 1u);
        EXPECT_EQ(seen[0].Function(), c.Function);
        auto urb = seen[0].As<_URB_CONTROL_VENDOR_OR_CLASS_REQUEST>();
        EXPECT_EQ(urb.Hdr.Length, 136u);
        EXPECT_EQ(urb.TransferFlags, static_cast<ULONG>(USBD_SHORT_TRANSFER_OK));
        EXPECT_EQ(urb.TransferBufferLength, 0u);
        EXPECT_EQ(urb.TransferBufferMDL, nullptr) << "no data stage, no MDL";
        EXPECT_EQ(urb.Request, 0x42);
        EXPECT_EQ(urb.Value, 0x1234);
        EXPECT_EQ(urb.Index, 0x5678);
        EXPECT_EQ(urb.RequestTypeReservedBits, 0);
    }
    // A record of the wrong size is refused before anything else.
    for (std::size_t size : {9u, 11u}) {
        std::vector<std::uint8_t> record = ClassVendor(0, 2, 0, 1, 0, 0);
        record.resize(size);
        bus_.ClearSeen();
        EXPECT_EQ(Ioctl(IOCTL_TOVRIK_CONTROL_REQUEST, record).Status, STATUS_INVALID_PARAMETER);
        EXPECT_TRUE(bus_.Seen().empty());
    }
}

TEST_F(RequestsTest, TheControlCodeMovesDataOnlyFromHostToDevice) {
    // Its output buffer is locked for reading only: a device-to-host data stage would write the
    // device's bytes into memory the caller may not be allowed to write. Refused, nothing sent,
    // not a byte of the buffer changed.
    std::vector<std::uint8_t> buffer(16, 0x5A);
    auto refused = host::FrontEnd::DeviceIoControl(handle_, IOCTL_TOVRIK_CONTROL_REQUEST,
                                                   ClassVendor(1, 2, 0, 0x42, 0, 0), buffer);
    EXPECT_EQ(refused.Status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(buffer, std::vector<std::uint8_t>(16, 0x5A));
    EXPECT_TRUE(bus_.Seen().empty());

    // Device to host without a data stage writes nothing: it goes.
    EXPECT_EQ(Ioctl(IOCTL_TOVRIK_CONTROL_REQUEST, ClassVendor(1, 1, 1, 0x0B, 1, 0)).Status,
              STATUS_SUCCESS);
    auto noData =
        Urbs(URB_FUNCTION_CLASS_INTERFACE).at(0).As<_URB_CONTROL_VENDOR_OR_CLASS_REQUEST>();
    EXPECT_EQ(noData.TransferFlags,
              static_cast<ULONG>(USBD_SHORT_TRANSFER_OK | USBD_TRANSFER_DIRECTION_IN));
    EXPECT_EQ(noData.TransferBufferLength, 0u);

    // Host to device: the data stage is the buffer, through its MDL.
    bus_.ClearSeen();
    auto sent = host::FrontEnd::DeviceIoControl(handle_, IOCTL_TOVRIK_CONTROL_REQUEST,
                                                ClassVendor(0, 2, 0, 0x42, 0, 0), buffer);
    EXPECT_EQ(sent.Status, STATUS_SUCCESS);
    EXPECT_EQ(sent.Information, 16u);
    std::vector<SeenRequest> seen = Urbs(URB_FUNCTION_VENDOR_DEVICE);
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].OutData, buffer);
    auto urb = seen[0].As<_URB_CONTROL_VENDOR_OR_CLASS_REQUEST>();
    EXPECT_EQ(urb.TransferFlags, static_cast<ULONG>(USBD_SHORT_TRANSFER_OK));
    EXPECT_NE(urb.TransferBufferMDL, nullptr);
    EXPECT_EQ(urb.TransferBuffer, nullptr);

    // A failed request reports its failure and moves no Information.
    Override = [](PURB) {
        return UrbReply{UrbReply::When::Now, STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID};
    };
    auto failed = host::FrontEnd::DeviceIoControl(handle_, IOCTL_TOVRIK_CONTROL_REQUEST,
                                                  ClassVendor(0, 2, 0, 0x42, 0, 0), buffer);
    EXPECT_EQ(failed.Status, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(failed.Information, 0u);
}

TEST_F(RequestsTest, VendorDeviceRequestsSendTheirPatternAndReportOnlyWhatCameIn) {
    struct Case {
        const char* Label;
        USHORT Length;
        UCHAR DataByte;
        bool DeviceFails;
        std::vector<std::uint8_t> Sent;
    };
    std::vector<std::uint8_t> wrapped(300);
    for (std::size_t i = 0; i < wrapped.size(); i++) {
        wrapped[i] = static_cast<std::uint8_t>(i);
    }
    const Case cases[] = {
        {"three bytes", 3, 0x99, false, {0x00, 0x01, 0x02}},
        {"one byte is the data byte", 1, 0x99, false, {0x99}},
        {"no data", 0, 0x99, false, {}},
        {"the pattern wraps after 0xFF", 300, 0x99, false, wrapped},
        {"a stalled request is reported", 3, 0x99, true, {0x00, 0x01, 0x02}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Label);
        bus_.ClearSeen();
        Override = [fails = c.DeviceFails](PURB) -> std::optional<UrbReply> {
            if (fails) {
                return UrbReply{UrbReply::When::Now, STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID};
            }
            return std::nullopt;
        };
        auto result = Ioctl(IOCTL_TOVRIK_VENDOR_REQUEST,
                            VendorDevice(0xB5, 0x1357, 0x2468, c.Length, 0, c.DataByte));
        EXPECT_EQ(result.Status, c.DeviceFails ? STATUS_UNSUCCESSFUL : STATUS_SUCCESS);
        EXPECT_EQ(result.Information, 0u);
        std::vector<SeenRequest> seen = Urbs(URB_FUNCTION_VENDOR_DEVICE);
        ASSERT_EQ(seen.size(), 1u);
        auto urb = seen[0].As<_URB_CONTROL_VENDOR_OR_CLASS_REQUEST>();
        EXPECT_EQ(urb.TransferFlags, 0u);
        EXPECT_EQ(urb.TransferBufferLength, c.Length);
        EXPECT_EQ(urb.TransferBufferMDL, nullptr);
        EXPECT_EQ(urb.Request, 0xB5);
        EXPECT_EQ(urb.Value, 0x1357);
        EXPECT_EQ(urb.Index, 0x2468);
        if (c.Length == 0) {
            EXPECT_EQ(urb.TransferBuffer, nullptr);
        }
        EXPECT_EQ(seen[0].OutData, c.Sent);
    }
}

TEST_F(RequestsTest, ADeviceToHostVendorRequestAnswersOverItsRecord) {
    bus_.ClearSeen();
    auto result = Ioctl(IOCTL_TOVRIK_VENDOR_REQUEST, VendorDevice(0xB6, 0, 0, 4, 1, 0), 10);
    EXPECT_EQ(result.Status, STATUS_SUCCESS);
    EXPECT_EQ(result.Information, 4u);
    EXPECT_EQ(std::vector<std::uint8_t>(result.Output.begin(), result.Output.begin() + 4),
              (std::vector<std::uint8_t>{0xC0, 0xFF, 0xEE, 0xC0}));
    std::vector<SeenRequest> seen = Urbs(URB_FUNCTION_VENDOR_DEVICE);
    ASSERT_EQ(seen.size(), 1u);
    auto urb = seen[0].As<_URB_CONTROL_VENDOR_OR_CLASS_REQUEST>();
    EXPECT_EQ(urb.TransferFlags, static_cast<ULONG>(USBD_TRANSFER_DIRECTION_IN))
        << "short transfers not allowed";
    EXPECT_EQ(urb.TransferBufferLength, 4u);
}

TEST_F(RequestsTest, PipeRequestsCarryTheHeaderLengthOfTheReportedUsbdiVersion) {
    struct Case {
        const char* Label;
        std::uint32_t Version;
        USHORT Length;
    };
    const Case cases[] = {
        {"USBDI 0x100", 0x100, 36},
        {"USBDI 0x101", 0x101, 40},
        {"USBDI 0x600", 0x600, 40},
        {"back to 0x100: asked anew every time", 0x100, 36},
    };
    const std::uint8_t pipe1[4] = {1, 0, 0, 0};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Label);
        sim::SetUsbdiVersion(c.Version);
        bus_.ClearSeen();
        EXPECT_EQ(Ioctl(IOCTL_TOVRIK_RESET_PIPE, pipe1).Status, STATUS_SUCCESS);
        EXPECT_EQ(Ioctl(IOCTL_TOVRIK_ABORT_PIPE, pipe1).Status, STATUS_SUCCESS);
        std::vector<SeenRequest> seen = bus_.Seen();
        ASSERT_EQ(seen.size(), 2u);
        EXPECT_EQ(seen[0].Function(), URB_FUNCTION_RESET_PIPE);
        EXPECT_EQ(seen[1].Function(), URB_FUNCTION_ABORT_PIPE);
        for (const SeenRequest& request : seen) {
            EXPECT_EQ(request.Length(), c.Length);
            ASSERT_GE(request.Urb.size(), 32u);
            EXPECT_EQ(request.As<_URB_PIPE_REQUEST>().PipeHandle,
                      reinterpret_cast<USBD_PIPE_HANDLE>(0x7E000081ull));
        }
    }
}

TEST_F(RequestsTest, APipeIndexPastTheTableSendsNothing) {
    for (ULONG code : {IOCTL_TOVRIK_RESET_PIPE, IOCTL_TOVRIK_ABORT_PIPE}) {
        for (std::uint8_t index : {4, 0xFF}) {
            const std::uint8_t input[4] = {index, 0, 0, 0};
            EXPECT_EQ(Ioctl(code, input).Status, STATUS_INVALID_PARAMETER);
        }
    }
    EXPECT_TRUE(bus_.Seen().empty());
    ULONG received = 1;
    EXPECT_EQ(GetDescriptor(Fdo(pdo_), nullptr, 18, USB_DEVICE_DESCRIPTOR_TYPE, &received),
              STATUS_SUCCESS);
    EXPECT_EQ(received, 0u);
    EXPECT_TRUE(bus_.Seen().empty()) << "no buffer, no request";
}

} // namespace
} // namespace tovrik_test
