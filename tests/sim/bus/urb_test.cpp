// The URB functions and the bus's refusals, driven from test code the way a function driver
// sends them, with no driver above the PDO.

#include "bus_fixture.h"

#include "camera/camera.h"

#include <array>
#include <chrono>
#include <thread>

namespace bustest {
namespace {

constexpr ULONG kStatusIn = 0x81, kImageIn = 0x82, kStreamIn = 0x83;

TEST_F(BusTest, DescriptorsComeBackWithTheBytesReceived) {
    Build();
    struct Case {
        const char* Name;
        UCHAR Type, Index;
        USHORT Language;
        ULONG Asked;
        ULONG Expected; // 0: whatever the device has, but fewer than asked
    } cases[] = {
        {"device descriptor", USB_DEVICE_DESCRIPTOR_TYPE, 0, 0, 18, 18},
        {"configuration header", USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0, 9, 9},
        {"whole configuration, asked for more", USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0, 265, 0},
        {"language list", USB_STRING_DESCRIPTOR_TYPE, 0, 0, 255, 4},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        std::vector<std::uint8_t> buffer(c.Asked, 0xEE);
        UrbBlock urb(sizeof(_URB_CONTROL_DESCRIPTOR_REQUEST),
                     URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE);
        urb->UrbControlDescriptorRequest.DescriptorType = c.Type;
        urb->UrbControlDescriptorRequest.Index = c.Index;
        urb->UrbControlDescriptorRequest.LanguageId = c.Language;
        urb->UrbControlDescriptorRequest.TransferBuffer = buffer.data();
        urb->UrbControlDescriptorRequest.TransferBufferLength = c.Asked;
        const Result result = Submit(Pdo(), urb.Urb);
        EXPECT_EQ(result.Returned, STATUS_PENDING)
            << "control transfers complete from the controller";
        EXPECT_EQ(result.Status, STATUS_SUCCESS);
        EXPECT_EQ(urb->UrbHeader.Status, USBD_STATUS_SUCCESS);
        const ULONG got = urb->UrbControlDescriptorRequest.TransferBufferLength;
        if (c.Expected != 0) {
            EXPECT_EQ(got, c.Expected);
        } else {
            EXPECT_LT(got, c.Asked);
        }
        EXPECT_EQ(buffer[1], c.Type);
    }
    std::array<std::uint8_t, 18> device{};
    UrbBlock urb(sizeof(_URB_CONTROL_DESCRIPTOR_REQUEST), URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE);
    urb->UrbControlDescriptorRequest.DescriptorType = USB_DEVICE_DESCRIPTOR_TYPE;
    urb->UrbControlDescriptorRequest.TransferBuffer = device.data();
    urb->UrbControlDescriptorRequest.TransferBufferLength = 18;
    Submit(Pdo(), urb.Urb);
    EXPECT_EQ(device[8] | device[9] << 8, sim::kOwnVendorId);
    EXPECT_EQ(device[10] | device[11] << 8, sim::kOwnProductId);
}

TEST_F(BusTest, SelectConfigurationOpensThePipesAndSelectInterfaceReplacesThem) {
    Build();
    auto set = ReadConfiguration();
    USBD_INTERFACE_INFORMATION* info = SelectFirstInterface(set, 0x3FFFFF);
    ASSERT_EQ(info->NumberOfPipes, 4u);
    const struct {
        UCHAR Address;
        USBD_PIPE_TYPE Type;
        USHORT MaxPacket;
    } expected[] = {{0x01, UsbdPipeTypeBulk, 512},
                    {0x81, UsbdPipeTypeBulk, 512},
                    {0x82, UsbdPipeTypeBulk, 512},
                    {0x83, UsbdPipeTypeIsochronous, 1024}};
    for (ULONG i = 0; i < 4; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(info->Pipes[i].EndpointAddress, expected[i].Address);
        EXPECT_EQ(info->Pipes[i].PipeType, expected[i].Type);
        EXPECT_EQ(info->Pipes[i].MaximumPacketSize, expected[i].MaxPacket);
        EXPECT_EQ(info->Pipes[i].MaximumTransferSize, 0x3FFFFFu) << "the caller's size is honoured";
        EXPECT_NE(info->Pipes[i].PipeHandle, nullptr);
    }
    EXPECT_NE(ConfigurationHandle, nullptr);
    EXPECT_NE(info->InterfaceHandle, nullptr);
    const USBD_PIPE_HANDLE oldImage = info->Pipes[2].PipeHandle;

    // Alternate setting 1 has no endpoints: the smallest select-interface URB there is.
    for (const auto& [alternate, pipes, size] : {std::tuple{1, 0u, 56u}, std::tuple{2, 4u, 152u}}) {
        SCOPED_TRACE(alternate);
        UrbBlock urb(size, URB_FUNCTION_SELECT_INTERFACE);
        urb->UrbSelectInterface.ConfigurationHandle = ConfigurationHandle;
        urb->UrbSelectInterface.Interface.Length =
            static_cast<USHORT>(GET_USBD_INTERFACE_SIZE(pipes));
        urb->UrbSelectInterface.Interface.AlternateSetting = static_cast<UCHAR>(alternate);
        for (ULONG i = 0; i < pipes; ++i)
            urb->UrbSelectInterface.Interface.Pipes[i].MaximumTransferSize = 0xFFFF;
        EXPECT_EQ(Submit(Pdo(), urb.Urb).Status, STATUS_SUCCESS);
        EXPECT_EQ(urb->UrbSelectInterface.Interface.NumberOfPipes, pipes);
        if (pipes == 4) {
            EXPECT_EQ(urb->UrbSelectInterface.Interface.Pipes[3].MaximumPacketSize, 3 * 1024)
                << "a high-bandwidth endpoint reports all its transactions";
        }
    }

    // The pipes of the first setting are gone with it.
    std::array<std::uint8_t, 512> buffer{};
    UrbBlock read(sizeof(_URB_BULK_OR_INTERRUPT_TRANSFER), URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER);
    FillBulk(read, info->Pipes[2], buffer.data(), 512);
    read->UrbBulkOrInterruptTransfer.PipeHandle = oldImage;
    EXPECT_EQ(Submit(Pdo(), read.Urb).Status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(read->UrbHeader.Status, USBD_STATUS_INVALID_PIPE_HANDLE);

    // Unconfigure: 88 bytes, no descriptor.
    UrbBlock none(sizeof(_URB_SELECT_CONFIGURATION), URB_FUNCTION_SELECT_CONFIGURATION);
    EXPECT_EQ(Submit(Pdo(), none.Urb).Status, STATUS_SUCCESS);
    UrbBlock frame(sizeof(_URB_GET_CURRENT_FRAME_NUMBER), URB_FUNCTION_GET_CURRENT_FRAME_NUMBER);
    EXPECT_EQ(Submit(Pdo(), frame.Urb).Status, STATUS_SUCCESS)
        << "the frame number needs no configuration";
}

// Each refusal: the URB as built, the status in its header and the request's status.
TEST_F(BusTest, StrictValidation) {
    Build();
    Configure();
    std::vector<std::uint8_t> buffer(4096);
    const USBD_PIPE_INFORMATION image = PipeAt(kImageIn);
    const USBD_PIPE_INFORMATION stream = PipeAt(kStreamIn);
    PMDL small = IoAllocateMdl(buffer.data(), 100, FALSE, FALSE, nullptr);

    struct Case {
        const char* Name;
        std::function<void(UrbBlock&)> Build;
        std::size_t Size;
        USHORT Function;
        USBD_STATUS Usbd;
        NTSTATUS Status;
        ULONG UsbdiVersion = sim::DefaultUsbdiVersion;
    };
    const auto bulk = [&](ULONG length, bool in) {
        return [&, length, in](UrbBlock& urb) {
            FillBulk(urb, image, buffer.data(), length);
            if (!in)
                urb->UrbBulkOrInterruptTransfer.TransferFlags &= ~USBD_TRANSFER_DIRECTION_IN;
        };
    };
    const auto iso = [&](ULONG packets) {
        return [&, packets](UrbBlock& urb) {
            auto& request = urb->UrbIsochronousTransfer;
            request.PipeHandle = stream.PipeHandle;
            request.TransferFlags = USBD_TRANSFER_DIRECTION_IN | USBD_START_ISO_TRANSFER_ASAP;
            request.TransferBuffer = buffer.data();
            request.TransferBufferLength = 4096;
            request.NumberOfPackets = packets;
            for (ULONG i = 0; i < packets && i < 8; ++i)
                request.IsoPacket[i].Offset = i * 512;
        };
    };
    const auto pipe = [&](USBD_PIPE_HANDLE handle) {
        return [handle](UrbBlock& urb) { urb->UrbPipeRequest.PipeHandle = handle; };
    };
    const std::size_t bulkSize = sizeof(_URB_BULK_OR_INTERRUPT_TRANSFER);
    // A 512-byte bulk read refused for the one thing `edit` changes in it.
    const auto bulkRefused = [&](const char* name,
                                 std::function<void(_URB_BULK_OR_INTERRUPT_TRANSFER&)> edit,
                                 USBD_STATUS usbd = USBD_STATUS_INVALID_PARAMETER) {
        return Case{name,
                    [&, edit](UrbBlock& urb) {
                        bulk(512, true)(urb);
                        edit(urb->UrbBulkOrInterruptTransfer);
                    },
                    bulkSize,
                    URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER,
                    usbd,
                    STATUS_INVALID_PARAMETER};
    };
    const std::size_t isoSize = GET_ISO_URB_SIZE(8);
    const Case cases[] = {
        {"unknown function", [](UrbBlock&) {}, 136, 0x0099, USBD_STATUS_INVALID_URB_FUNCTION,
         STATUS_INVALID_PARAMETER},
        {"bulk header too short", bulk(512, true), bulkSize - 8,
         URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER, USBD_STATUS_INVALID_PARAMETER,
         STATUS_INVALID_PARAMETER},
        bulkRefused(
            "pipe handle of nothing", [&](auto& read) { read.PipeHandle = &buffer; },
            USBD_STATUS_INVALID_PIPE_HANDLE),
        {"OUT flag on an IN endpoint", bulk(512, false), bulkSize,
         URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER, USBD_STATUS_INVALID_PARAMETER,
         STATUS_INVALID_PARAMETER},
        bulkRefused("longer than its MDL",
                    [&](auto& read) {
                        read.TransferBuffer = nullptr;
                        read.TransferBufferMDL = small;
                    }),
        bulkRefused("no buffer at all", [&](auto& read) { read.TransferBuffer = nullptr; }),
        bulkRefused("bulk transfer on the isochronous pipe",
                    [&](auto& read) { read.PipeHandle = stream.PipeHandle; }),
        {"isochronous packets not a multiple of 8", iso(7), isoSize, URB_FUNCTION_ISOCH_TRANSFER,
         USBD_STATUS_INVALID_PARAMETER, STATUS_INVALID_PARAMETER},
        {"isochronous packets over 1024", iso(1032), isoSize, URB_FUNCTION_ISOCH_TRANSFER,
         USBD_STATUS_INVALID_PARAMETER, STATUS_INVALID_PARAMETER},
        {"isochronous header shorter than its packets", iso(8), isoSize - 24,
         URB_FUNCTION_ISOCH_TRANSFER, USBD_STATUS_INVALID_PARAMETER, STATUS_INVALID_PARAMETER},
        {"isochronous offsets out of order",
         [&](UrbBlock& urb) {
             iso(8)(urb);
             urb->UrbIsochronousTransfer.IsoPacket[3].Offset = 0;
         },
         isoSize, URB_FUNCTION_ISOCH_TRANSFER, USBD_STATUS_INVALID_PARAMETER,
         STATUS_INVALID_PARAMETER},
        {"pipe request of 36 bytes on a current stack", pipe(image.PipeHandle), 36,
         URB_FUNCTION_RESET_PIPE, USBD_STATUS_INVALID_PARAMETER, STATUS_INVALID_PARAMETER},
        {"pipe request of 36 bytes on an old stack", pipe(image.PipeHandle), 36,
         URB_FUNCTION_RESET_PIPE, USBD_STATUS_SUCCESS, STATUS_SUCCESS, 0x100},
        {"pipe request of 40 bytes on an old stack", pipe(image.PipeHandle), 40,
         URB_FUNCTION_ABORT_PIPE, USBD_STATUS_SUCCESS, STATUS_SUCCESS, 0x100},
        {"abort of a null pipe", pipe(nullptr), 40, URB_FUNCTION_ABORT_PIPE,
         USBD_STATUS_INVALID_PIPE_HANDLE, STATUS_INVALID_PARAMETER},
        {"frame number header too short", [](UrbBlock&) {}, 24,
         URB_FUNCTION_GET_CURRENT_FRAME_NUMBER, USBD_STATUS_INVALID_PARAMETER,
         STATUS_INVALID_PARAMETER},
        {"select interface with a stale configuration handle",
         [&](UrbBlock& urb) {
             urb->UrbSelectInterface.ConfigurationHandle = &buffer;
             urb->UrbSelectInterface.Interface.Length = 24;
             urb->UrbSelectInterface.Interface.AlternateSetting = 1;
         },
         56, URB_FUNCTION_SELECT_INTERFACE, USBD_STATUS_INVALID_PARAMETER,
         STATUS_INVALID_PARAMETER},
        {"select interface URB too short for its pipes",
         [&](UrbBlock& urb) {
             urb->UrbSelectInterface.ConfigurationHandle = ConfigurationHandle;
             urb->UrbSelectInterface.Interface.Length = 24;
             urb->UrbSelectInterface.Interface.AlternateSetting = 2;
         },
         56, URB_FUNCTION_SELECT_INTERFACE, USBD_STATUS_BUFFER_TOO_SMALL, STATUS_INVALID_PARAMETER},
        {"select interface of a setting the device lacks",
         [&](UrbBlock& urb) {
             urb->UrbSelectInterface.ConfigurationHandle = ConfigurationHandle;
             urb->UrbSelectInterface.Interface.Length = 24;
             urb->UrbSelectInterface.Interface.AlternateSetting = 9;
         },
         56, URB_FUNCTION_SELECT_INTERFACE, USBD_STATUS_INTERFACE_NOT_FOUND,
         STATUS_INVALID_PARAMETER},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        sim::SetUsbdiVersion(c.UsbdiVersion);
        UrbBlock urb(std::max<std::size_t>(c.Size, isoSize + 1100 * 12), c.Function,
                     static_cast<USHORT>(c.Size));
        c.Build(urb);
        urb->UrbHeader.Status = 0x12345678; // poisoned: the bus must write it
        const Result result = Submit(Pdo(), urb.Urb);
        EXPECT_EQ(result.Status, c.Status);
        EXPECT_EQ(urb->UrbHeader.Status, c.Usbd);
        if (!NT_SUCCESS(c.Status)) {
            EXPECT_EQ(result.Returned, c.Status) << "a refusal is completed in the submitting call";
        }
    }
    IoFreeMdl(small);
}

TEST_F(BusTest, ImageReadThroughCommandsAndShortTransfers) {
    Build();
    Configure();
    CommandUrb start(PipeAt(kCommandOut), sim::kCommandStartFrame);
    ASSERT_EQ(Submit(Pdo(), start.Urb()).Status, STATUS_SUCCESS);
    EXPECT_EQ(start.Block->UrbBulkOrInterruptTransfer.TransferBufferLength, 64u);

    // 64 x 16 pixels: 2048 bytes. A read of 1536 is whole; one of 1024 more ends short at 512.
    std::vector<std::uint8_t> data(2048, 0);
    PMDL mdl = IoAllocateMdl(data.data(), 2048, FALSE, FALSE, nullptr);
    UrbBlock first(sizeof(_URB_BULK_OR_INTERRUPT_TRANSFER),
                   URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER);
    FillBulk(first, PipeAt(kImageIn), nullptr, 1536);
    first->UrbBulkOrInterruptTransfer.TransferBufferMDL = mdl;
    EXPECT_EQ(Submit(Pdo(), first.Urb).Status, STATUS_SUCCESS);
    EXPECT_EQ(first->UrbBulkOrInterruptTransfer.TransferBufferLength, 1536u);

    UrbBlock rest(sizeof(_URB_BULK_OR_INTERRUPT_TRANSFER), URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER);
    FillBulk(rest, PipeAt(kImageIn), data.data() + 1536, 1024);
    EXPECT_EQ(Submit(Pdo(), rest.Urb).Status, STATUS_SUCCESS);
    EXPECT_EQ(rest->UrbBulkOrInterruptTransfer.TransferBufferLength, 512u)
        << "short at the frame's end";
    std::vector<std::uint8_t> expected(2048);
    sim::FillFrameBytes(0, 0, expected);
    EXPECT_EQ(data, expected);

    // The same short end without USBD_SHORT_TRANSFER_OK is an underrun, the bytes kept.
    ASSERT_EQ(Submit(Pdo(), start.Urb()).Status, STATUS_SUCCESS);
    std::vector<std::uint8_t> again(4096);
    UrbBlock strict(sizeof(_URB_BULK_OR_INTERRUPT_TRANSFER),
                    URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER);
    FillBulk(strict, PipeAt(kImageIn), again.data(), 4096, false);
    EXPECT_EQ(Submit(Pdo(), strict.Urb).Status, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(strict->UrbHeader.Status, USBD_STATUS_DATA_UNDERRUN);
    EXPECT_EQ(strict->UrbBulkOrInterruptTransfer.TransferBufferLength, 2048u);
    IoFreeMdl(mdl);
}

// A device sends whole packets of its endpoint's size: a read whose buffer ends inside a packet
// the device sends in full is a babble on the bus, and the transfer fails, however few bytes
// the buffer had room for.
TEST_F(BusTest, ReadEndingInsideADevicePacketIsAnOverrun) {
    Build();
    Configure();
    CommandUrb start(PipeAt(kCommandOut), sim::kCommandStartFrame);
    ASSERT_EQ(Submit(Pdo(), start.Urb()).Status, STATUS_SUCCESS);

    // The frame has 2048 bytes: the device's first packet on the image pipe is a full 512.
    std::vector<std::uint8_t> image(100);
    UrbBlock part(sizeof(_URB_BULK_OR_INTERRUPT_TRANSFER), URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER);
    FillBulk(part, PipeAt(kImageIn), image.data(), 100);
    const Result partResult = Submit(Pdo(), part.Urb);
    EXPECT_FALSE(NT_SUCCESS(partResult.Status))
        << "a 512-byte packet does not fit a 100-byte buffer";
    EXPECT_TRUE(USBD_ERROR(part->UrbHeader.Status)) << std::hex << part->UrbHeader.Status;

    // A read of 600 takes one whole packet and ends inside the second.
    std::vector<std::uint8_t> more(600);
    UrbBlock across(sizeof(_URB_BULK_OR_INTERRUPT_TRANSFER),
                    URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER);
    FillBulk(across, PipeAt(kImageIn), more.data(), 600);
    const Result acrossResult = Submit(Pdo(), across.Urb);
    EXPECT_FALSE(NT_SUCCESS(acrossResult.Status));
    EXPECT_TRUE(USBD_ERROR(across->UrbHeader.Status)) << std::hex << across->UrbHeader.Status;

    // The status pipe answers with its whole 64-byte packet: 8 bytes of room overflow too.
    std::array<std::uint8_t, 8> status{};
    UrbBlock small(sizeof(_URB_BULK_OR_INTERRUPT_TRANSFER),
                   URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER);
    FillBulk(small, PipeAt(kStatusIn), status.data(), static_cast<ULONG>(status.size()));
    const Result smallResult = Submit(Pdo(), small.Urb);
    EXPECT_FALSE(NT_SUCCESS(smallResult.Status));
    EXPECT_TRUE(USBD_ERROR(small->UrbHeader.Status)) << std::hex << small->UrbHeader.Status;
}

// A zero-length read is an IN token like any other: with no frame started the image endpoint
// NAKs it, and it waits until it is cancelled.
TEST_F(BusTest, ZeroLengthReadWaitsForTheDevice) {
    Build();
    Configure();
    UrbBlock empty(sizeof(_URB_BULK_OR_INTERRUPT_TRANSFER),
                   URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER);
    FillBulk(empty, PipeAt(kImageIn), nullptr, 0);
    Pending read(Pdo(), empty.Urb);
    EXPECT_EQ(read.Start(), STATUS_PENDING);
    // The bus is never idle while a NAKed read is queued: wait until the device has been asked
    // in a few microframes (the guard only bounds a hang, in real time).
    const auto guard = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (World->Counters(0, kImageIn).IdleMicroframes < 3 &&
           std::chrono::steady_clock::now() < guard)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_GE(World->Counters(0, kImageIn).IdleMicroframes, 3u);
    EXPECT_FALSE(read.Finished()) << "the device sent nothing, not even a zero-length packet";
    IoCancelIrp(read.Irp);
    EXPECT_EQ(read.Wait(), STATUS_CANCELLED);
}

TEST_F(BusTest, CancelAndAbortEndPendingTransfers) {
    Build();
    Configure();
    // No frame was started: the image endpoint NAKs, so reads stay pending.
    std::vector<std::uint8_t> data(3 * 512);
    std::vector<std::unique_ptr<UrbBlock>> urbs;
    std::vector<std::unique_ptr<Pending>> reads;
    for (int i = 0; i < 3; ++i) {
        urbs.push_back(std::make_unique<UrbBlock>(sizeof(_URB_BULK_OR_INTERRUPT_TRANSFER),
                                                  URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER));
        FillBulk(*urbs.back(), PipeAt(kImageIn), data.data() + 512 * i, 512);
        reads.push_back(std::make_unique<Pending>(Pdo(), urbs.back()->Urb));
        EXPECT_EQ(reads.back()->Start(), STATUS_PENDING);
    }
    EXPECT_FALSE(reads[0]->Finished());

    // Cancel one: it ends alone.
    IoCancelIrp(reads[1]->Irp);
    EXPECT_EQ(reads[1]->Wait(), STATUS_CANCELLED);
    EXPECT_EQ(urbs[1]->Urb->UrbHeader.Status, USBD_STATUS_CANCELED);
    EXPECT_FALSE(reads[0]->Finished());

    // Abort the pipe: the rest end before the abort does.
    UrbBlock abort(sizeof(_URB_PIPE_REQUEST), URB_FUNCTION_ABORT_PIPE);
    abort->UrbPipeRequest.PipeHandle = PipeAt(kImageIn).PipeHandle;
    EXPECT_EQ(Submit(Pdo(), abort.Urb).Status, STATUS_SUCCESS);
    for (int i : {0, 2}) {
        EXPECT_TRUE(reads[i]->Finished()) << i;
        EXPECT_EQ(reads[i]->Status, STATUS_CANCELLED);
        EXPECT_EQ(urbs[i]->Urb->UrbHeader.Status, USBD_STATUS_CANCELED);
    }
}

TEST_F(BusTest, TransfersCompleteAtDispatchLevelFromTheController) {
    Build();
    Configure();
    CommandUrb command(PipeAt(kCommandOut), 0);
    Pending write(Pdo(), command.Urb());
    EXPECT_EQ(write.Start(), STATUS_PENDING);
    EXPECT_EQ(write.Wait(), STATUS_SUCCESS);
    EXPECT_EQ(write.Irql, DISPATCH_LEVEL);
}

TEST_F(BusTest, PortStatusAndReset) {
    Build();
    Configure();
    ULONG status = 0xFFFFFFFF;
    EXPECT_EQ(Send(Pdo(), IOCTL_INTERNAL_USB_GET_PORT_STATUS, &status).Status, STATUS_SUCCESS);
    EXPECT_EQ(status, ULONG{USBD_PORT_CONNECTED | USBD_PORT_ENABLED});
    World->SetPortStatus(0, true, false);
    EXPECT_EQ(Send(Pdo(), IOCTL_INTERNAL_USB_GET_PORT_STATUS, &status).Status, STATUS_SUCCESS);
    EXPECT_EQ(status, ULONG{USBD_PORT_CONNECTED});
    EXPECT_EQ(Send(Pdo(), IOCTL_INTERNAL_USB_RESET_PORT, nullptr).Status, STATUS_SUCCESS);
    EXPECT_EQ(Send(Pdo(), IOCTL_INTERNAL_USB_GET_PORT_STATUS, &status).Status, STATUS_SUCCESS);
    EXPECT_EQ(status, ULONG{USBD_PORT_CONNECTED | USBD_PORT_ENABLED}) << "a reset enables the port";
    World->WithCamera(0, [](sim::Camera& camera) {
        EXPECT_EQ(camera.Configuration(), 1) << "configuration restored";
    });
    EXPECT_EQ(World->UsbBus().PortResets(0), 1u);

    // No place for the bits, or a request no bus serves: refused, nothing reset.
    EXPECT_EQ(Send(Pdo(), IOCTL_INTERNAL_USB_GET_PORT_STATUS, nullptr).Status,
              STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Send(Pdo(), IOCTL_INTERNAL_USB_RESET_PORT + 0x100, &status).Status,
              STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(World->UsbBus().PortResets(0), 1u);
}

TEST_F(BusTest, PdoAnswersCapabilitiesAndPower) {
    Build();
    for (const auto& [size, version, expected] :
         {std::tuple{USHORT{sizeof(DEVICE_CAPABILITIES)}, USHORT{1}, STATUS_SUCCESS},
          std::tuple{USHORT{sizeof(DEVICE_CAPABILITIES) - 4}, USHORT{1}, STATUS_UNSUCCESSFUL},
          std::tuple{USHORT{sizeof(DEVICE_CAPABILITIES)}, USHORT{2}, STATUS_UNSUCCESSFUL}}) {
        DEVICE_CAPABILITIES caps{};
        const host::RequestResult result =
            host::Pnp::QueryCapabilities(Pdo(), size, version, &caps);
        EXPECT_EQ(result.Status, expected) << size << "/" << version;
        if (expected == STATUS_SUCCESS) {
            EXPECT_EQ(caps.Removable, 1u);
            EXPECT_EQ(caps.SurpriseRemovalOK, 1u);
            EXPECT_EQ(caps.DeviceState[PowerSystemWorking], PowerDeviceD0);
        }
    }
    POWER_STATE state;
    state.DeviceState = PowerDeviceD0;
    EXPECT_EQ(host::Pnp::Power(Pdo(), IRP_MN_SET_POWER, DevicePowerState, state).Status,
              STATUS_SUCCESS);
}

} // namespace
} // namespace bustest
