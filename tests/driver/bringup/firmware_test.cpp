// Firmware at start and device-memory writes: the exact write sequence of both images, the identity
// that suppresses it, the start delay on the kernel clock, the passes and the reset around them
// when writes fail, and how user writes are cut into pieces and blocks.
#include "bringup.h"
#include "support/requested_waits.h"

#include "tovrik/tovrik.h"

namespace tovrik_test {
namespace {

// Every vendor write whose address is `failAt` (and, when `firstByte` is given, whose data starts
// with it) fails with a stall.
std::function<std::optional<UrbReply>(PURB)> FailWriteAt(USHORT failAt,
                                                         std::optional<UCHAR> firstByte = {}) {
    return [failAt, firstByte](PURB urb) -> std::optional<UrbReply> {
        if (urb->UrbHeader.Function == URB_FUNCTION_VENDOR_DEVICE &&
            urb->UrbControlVendorClassRequest.Value == failAt &&
            (!firstByte || (TransferLengthOf(urb) > 0 && TransferBufferOf(urb)[0] == *firstByte))) {
            return UrbReply{UrbReply::When::Now, STATUS_SUCCESS, USBD_STATUS_STALL_PID};
        }
        return std::nullopt;
    };
}

FIRMWARE_RECORD Record(USHORT address, std::initializer_list<UCHAR> data, UCHAR type = 0) {
    FIRMWARE_RECORD record{};
    record.Length = static_cast<UCHAR>(data.size());
    record.Address = address;
    record.Type = type;
    std::copy(data.begin(), data.end(), record.Data);
    return record;
}

std::vector<VendorWrite> Concat(std::vector<VendorWrite> a, const std::vector<VendorWrite>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

class FirmwareTest : public BringupTest {};

TEST_F(FirmwareTest, AForeignCameraGetsBothImagesRecordByRecord) {
    // The stand-ins have the real images' layout: nothing above internal memory, so the first
    // pass sends nothing and every record goes with 0xA0 inside the reset.
    ASSERT_EQ(DataRecordCount(FirmwareImageA), 58u);
    ASSERT_EQ(DataRecordCount(FirmwareImageB), 313u);
    script_ = CameraScript::Foreign();
    PlugStarted();

    std::vector<VendorWrite> expected =
        Concat(ExpectedDownload(FirmwareImageA), ExpectedDownload(FirmwareImageB));
    std::vector<VendorWrite> writes = VendorWritesIn(bus_.Seen());
    ASSERT_EQ(writes.size(), 58u + 313u + 8u);
    for (std::size_t i = 0; i < expected.size(); i++) {
        ASSERT_EQ(writes[i], expected[i]) << "write " << i;
    }
    for (const SeenRequest& urb : Urbs(URB_FUNCTION_VENDOR_DEVICE)) {
        auto request = urb.As<_URB_CONTROL_VENDOR_OR_CLASS_REQUEST>();
        ASSERT_EQ(request.Hdr.Length, 136u);
        ASSERT_EQ(request.TransferFlags, 0u);
        ASSERT_EQ(request.TransferBufferMDL, nullptr);
        ASSERT_EQ(request.UrbLink, nullptr);
        ASSERT_EQ(request.RequestTypeReservedBits, 0);
        ASSERT_EQ(request.Index, 0);
    }
    // The download comes after the configuration, never before.
    std::vector<SeenRequest> seen = bus_.Seen();
    std::size_t lastSelect = 0, firstWrite = seen.size();
    for (std::size_t i = 0; i < seen.size(); i++) {
        if (seen[i].Function() == URB_FUNCTION_SELECT_CONFIGURATION)
            lastSelect = i;
        if (seen[i].Function() == URB_FUNCTION_VENDOR_DEVICE && firstWrite == seen.size())
            firstWrite = i;
    }
    EXPECT_LT(lastSelect, firstWrite);
}

TEST_F(FirmwareTest, AForeignCameraWhoseDownloadFailsIsNotStarted) {
    // The tenth write of the loader image is stalled: the camera never runs its program, so its
    // start must not pass for a success.
    script_ = CameraScript::Foreign();
    auto writes = std::make_shared<int>(0);
    Override = [writes](PURB urb) -> std::optional<UrbReply> {
        if (urb->UrbHeader.Function == URB_FUNCTION_VENDOR_DEVICE && ++*writes == 10) {
            return UrbReply{UrbReply::When::Now, STATUS_SUCCESS, USBD_STATUS_STALL_PID};
        }
        return std::nullopt;
    };
    host::Pnp::Arrival arrival;
    PDEVICE_OBJECT pdo = Plug(&arrival);
    ASSERT_NE(pdo, nullptr);
    ASSERT_TRUE(arrival.Start.has_value());
    EXPECT_EQ(arrival.Start->Status, STATUS_UNSUCCESSFUL);
    EXPECT_FALSE(Extension(pdo)->Started);
    EXPECT_EQ(Open(0), 0u) << "a device that did not start takes no handle";
    // The CPU was released all the same, and the second image was not tried.
    std::vector<VendorWrite> seen = VendorWritesIn(bus_.Seen());
    ASSERT_GE(seen.size(), 2u);
    EXPECT_EQ(seen.back(), (VendorWrite{0xA0, 0xE600, {0}}));
    EXPECT_LT(seen.size(), 58u + 4u);
}

TEST_F(FirmwareTest, OnlyTheExactOwnIdentitySkipsTheDownload) {
    struct Case {
        const char* Label;
        USHORT Vendor;
        USHORT Product;
        bool Download;
    };
    const Case cases[] = {
        {"own identity", 0x5A17, 0x0E15, false},
        {"own vendor, another product", 0x5A17, 0x0E10, true},
        {"another vendor, own product", 0x175A, 0x0E15, true},
        {"a bare chip", 0x0000, 0x0000, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Label);
        script_.DeviceDescriptor = DeviceDescriptorBytes(c.Vendor, c.Product);
        bus_.ClearSeen();
        PDEVICE_OBJECT pdo = PlugStarted();
        EXPECT_EQ(VendorWritesIn(bus_.Seen()).size(), c.Download ? 58u + 313u + 8u : 0u);
        Unplug(pdo);
    }
}

TEST_F(FirmwareTest, TheStartDelayGrowsWithTheSlotsTheLastAddDeviceTried) {
    host::Clock::SetScale(50);
    // The delay the start asked the kernel clock for, and at least that much passing between
    // the configuration and the first write (how much more is up to the machine's load).
    auto expectStartDelay = [&](auto start, LONGLONG expected) {
        const std::size_t from = Stamps().size();
        const std::size_t mark = RequestedWaits::Mark();
        start();
        const LONGLONG end = host::Clock::Now();
        EXPECT_EQ(RequestedWaits::Relative(mark, RequestedWait::Kind::Delay),
                  std::vector<LONGLONG>{expected});
        std::vector<UrbStamp> stamps = Stamps();
        LONGLONG selected = 0;
        LONGLONG measured = 0;
        for (std::size_t i = from; i < stamps.size() && measured == 0; i++) {
            if (stamps[i].Function == URB_FUNCTION_SELECT_CONFIGURATION) {
                selected = stamps[i].Time;
            } else if (selected != 0 && stamps[i].Function == URB_FUNCTION_VENDOR_DEVICE) {
                measured = stamps[i].Time - selected;
            }
        }
        EXPECT_NE(selected, 0);
        EXPECT_GE(measured != 0 ? measured : end - selected, expected);
    };

    PDEVICE_OBJECT first = nullptr;
    expectStartDelay([&] { first = PlugStarted(); }, 3 * kSecond);
    EXPECT_EQ(DeviceSlotsTried, 1);
    script_ = CameraScript::Foreign();
    expectStartDelay([&] { PlugStarted(); }, 4 * kSecond + kSecond / 2);
    EXPECT_EQ(DeviceSlotsTried, 2);
    // A restart of the first camera waits as long as the most recent AddDevice says, not its own.
    script_ = CameraScript::Default();
    host::Pnp::Stop(first);
    expectStartDelay([&] { EXPECT_EQ(host::Pnp::Start(first).Status, STATUS_SUCCESS); },
                     4 * kSecond + kSecond / 2);
}

TEST_F(FirmwareTest, WithoutADeviceDescriptorTheDelayIsTakenAndNothingDownloaded) {
    host::Clock::SetScale(100);
    struct Case {
        const char* Label;
        std::function<std::optional<UrbReply>(PURB)> Device;
        NTSTATUS Start;
    };
    auto deviceDescriptorRead = [](PURB urb) {
        return urb->UrbHeader.Function == URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE &&
               urb->UrbControlDescriptorRequest.DescriptorType == USB_DEVICE_DESCRIPTOR_TYPE;
    };
    const Case cases[] = {
        {"the read stalls",
         [&](PURB urb) -> std::optional<UrbReply> {
             if (deviceDescriptorRead(urb)) {
                 return UrbReply{UrbReply::When::Now, STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID};
             }
             return std::nullopt;
         },
         STATUS_UNSUCCESSFUL},
        {"a foreign camera answers 8 bytes",
         [&](PURB urb) -> std::optional<UrbReply> {
             if (deviceDescriptorRead(urb)) {
                 std::vector<std::uint8_t> bytes = DeviceDescriptorBytes(0x1111, 0x2222);
                 std::memcpy(TransferBufferOf(urb), bytes.data(), 8);
                 urb->UrbControlDescriptorRequest.TransferBufferLength = 8;
                 return UrbReply{};
             }
             return std::nullopt;
         },
         STATUS_DEVICE_DATA_ERROR},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Label);
        Override = c.Device;
        bus_.ClearSeen();
        host::Pnp::Arrival arrival;
        const LONGLONG before = host::Clock::Now();
        PDEVICE_OBJECT pdo = Plug(&arrival);
        EXPECT_GE(host::Clock::Now() - before, 3 * kSecond);
        EXPECT_EQ(arrival.Start->Status, c.Start);
        EXPECT_EQ(Extension(pdo)->DeviceDescriptor, nullptr);
        std::vector<SeenRequest> seen = bus_.Seen();
        ASSERT_EQ(seen.size(), 1u) << "only the device descriptor was asked for";
        Unplug(pdo);
    }
}

TEST_F(FirmwareTest, TheResetIsHeldAroundTheSecondPassAndAlwaysReleased) {
    const FIRMWARE_RECORD mixed[] = {
        Record(0x2000, {0xA1, 0xA2}), Record(0x0100, {1, 2, 3}), Record(0x3000, {0xB1}),
        Record(0x0200, {4}),          Record(0x0300, {5, 6}),    Record(0, {}, 1),
    };
    const FIRMWARE_RECORD endsAtOnce[] = {Record(0, {}, 1), Record(0x0100, {1})};
    const FIRMWARE_RECORD typeTwoEnds[] = {Record(0x0100, {1}), Record(0x0200, {2}, 2),
                                           Record(0x0300, {3})};
    auto write = [](UCHAR request, USHORT value, std::vector<std::uint8_t> data) {
        return VendorWrite{request, value, data};
    };
    const VendorWrite hold7F92 = write(0xA0, 0x7F92, {1}), holdE600 = write(0xA0, 0xE600, {1});
    const VendorWrite run7F92 = write(0xA0, 0x7F92, {0}), runE600 = write(0xA0, 0xE600, {0});

    struct Case {
        const char* Label;
        const FIRMWARE_RECORD* Image;
        std::function<std::optional<UrbReply>(PURB)> Device;
        std::vector<VendorWrite> Writes;
        NTSTATUS Result;
    };
    const Case cases[] = {
        {"external records first, internal ones inside the reset",
         mixed,
         nullptr,
         {write(0xA3, 0x2000, {0xA1, 0xA2}), write(0xA3, 0x3000, {0xB1}), hold7F92, holdE600,
          write(0xA0, 0x0100, {1, 2, 3}), write(0xA0, 0x0200, {4}), write(0xA0, 0x0300, {5, 6}),
          run7F92, runE600},
         STATUS_SUCCESS},
        {"a first record that ends the image",
         endsAtOnce,
         nullptr,
         {hold7F92, holdE600, run7F92, runE600},
         STATUS_SUCCESS},
        {"any non-zero type ends the image",
         typeTwoEnds,
         nullptr,
         {hold7F92, holdE600, write(0xA0, 0x0100, {1}), run7F92, runE600},
         STATUS_SUCCESS},
        {"a failed write in the second pass skips the rest",
         mixed,
         FailWriteAt(0x0200),
         {write(0xA3, 0x2000, {0xA1, 0xA2}), write(0xA3, 0x3000, {0xB1}), hold7F92, holdE600,
          write(0xA0, 0x0100, {1, 2, 3}), write(0xA0, 0x0200, {4}), run7F92, runE600},
         STATUS_UNSUCCESSFUL},
        {"a failed write in the first pass ends that pass only, and fails the image",
         mixed,
         FailWriteAt(0x2000),
         {write(0xA3, 0x2000, {0xA1, 0xA2}), hold7F92, holdE600, write(0xA0, 0x0100, {1, 2, 3}),
          write(0xA0, 0x0200, {4}), write(0xA0, 0x0300, {5, 6}), run7F92, runE600},
         STATUS_UNSUCCESSFUL},
        {"a hold that fails writes no internal record, still releases, and fails the image",
         mixed,
         FailWriteAt(0xE600, 1),
         {write(0xA3, 0x2000, {0xA1, 0xA2}), write(0xA3, 0x3000, {0xB1}), hold7F92, holdE600,
          run7F92, runE600},
         STATUS_UNSUCCESSFUL},
        {"a release that fails fails the image",
         mixed,
         FailWriteAt(0xE600, 0),
         {write(0xA3, 0x2000, {0xA1, 0xA2}), write(0xA3, 0x3000, {0xB1}), hold7F92, holdE600,
          write(0xA0, 0x0100, {1, 2, 3}), write(0xA0, 0x0200, {4}), write(0xA0, 0x0300, {5, 6}),
          run7F92, runE600},
         STATUS_UNSUCCESSFUL},
    };
    PDEVICE_OBJECT pdo = PlugStarted();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Label);
        bus_.ClearSeen();
        Override = c.Device;
        EXPECT_EQ(DownloadFirmwareImage(Fdo(pdo), c.Image), c.Result);
        EXPECT_EQ(VendorWritesIn(bus_.Seen()), c.Writes);
    }
    Override = nullptr;

    // The image matches what the expectation builder says of it, so the real images' check
    // above rests on the same rule.
    EXPECT_EQ(ExpectedDownload(mixed), cases[0].Writes);

    // Without a URB block nothing is written, not even the reset.
    bus_.ClearSeen();
    host::FaultInjection::FailNth(1, host::AllocationKind::Pool);
    EXPECT_EQ(DownloadFirmwareImage(Fdo(pdo), mixed), STATUS_NO_MEMORY);
    EXPECT_TRUE(bus_.Seen().empty());
    host::FaultInjection::Reset();

    // The reset's result is that of its second address; the first is written whatever happens.
    for (auto [failAt, result] :
         {std::pair<USHORT, NTSTATUS>{0x7F92, STATUS_SUCCESS}, {0xE600, STATUS_UNSUCCESSFUL}}) {
        bus_.ClearSeen();
        Override = FailWriteAt(failAt);
        EXPECT_EQ(SetCpuReset(Fdo(pdo), 1), result);
        EXPECT_EQ(VendorWritesIn(bus_.Seen()), (std::vector<VendorWrite>{hold7F92, holdE600}));
    }
}

TEST_F(FirmwareTest, DeviceRamWritesGoInPiecesOfSixtyFourWrappingAtSixtyFourK) {
    struct Piece {
        USHORT Address;
        ULONG Offset;
        ULONG Length;
    };
    struct Case {
        const char* Label;
        USHORT Address;
        ULONG Length;
        std::optional<USHORT> FailAt;
        std::vector<Piece> Pieces;
        NTSTATUS Result;
    };
    const Case cases[] = {
        {"64 bytes: one piece", 0x1000, 64, {}, {{0x1000, 0, 64}}, STATUS_SUCCESS},
        {"65 bytes: 64 and 1", 0x1000, 65, {}, {{0x1000, 0, 64}, {0x1040, 64, 1}}, STATUS_SUCCESS},
        {"128 bytes at 0xFFC0: the second piece at 0",
         0xFFC0,
         128,
         {},
         {{0xFFC0, 0, 64}, {0x0000, 64, 64}},
         STATUS_SUCCESS},
        {"1 byte", 0x0042, 1, {}, {{0x0042, 0, 1}}, STATUS_SUCCESS},
        {"0 bytes: nothing", 0x1000, 0, {}, {}, STATUS_SUCCESS},
        {"a failed piece ends the write",
         0x1000,
         200,
         0x1040,
         {{0x1000, 0, 64}, {0x1040, 64, 64}},
         STATUS_UNSUCCESSFUL},
    };
    std::vector<std::uint8_t> data(256);
    for (std::size_t i = 0; i < data.size(); i++) {
        data[i] = static_cast<std::uint8_t>(0xFF - i);
    }
    PDEVICE_OBJECT pdo = PlugStarted();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Label);
        bus_.ClearSeen();
        Override = c.FailAt ? FailWriteAt(*c.FailAt) : nullptr;
        EXPECT_EQ(WriteDeviceRam(Fdo(pdo), c.Address, data.data(), c.Length), c.Result);
        std::vector<VendorWrite> expected;
        for (const Piece& piece : c.Pieces) {
            expected.push_back(
                {0xA0, piece.Address,
                 std::vector<std::uint8_t>(data.begin() + piece.Offset,
                                           data.begin() + piece.Offset + piece.Length)});
        }
        EXPECT_EQ(VendorWritesIn(bus_.Seen()), expected);
    }

    // A length near 4 GiB is counted in pieces without wrapping to none: the first piece goes
    // (and, failing, ends the write before anything past our 256 bytes is read).
    bus_.ClearSeen();
    Override = FailWriteAt(0x2000);
    EXPECT_EQ(WriteDeviceRam(Fdo(pdo), 0x2000, data.data(), 0xFFFFFFF0u), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(VendorWritesIn(bus_.Seen()).size(), 1u);
    Override = nullptr;

    // The same through the request user software sends: address in, data through the MDL.
    host::Handle handle = Open(0);
    ASSERT_NE(handle, 0u);
    bus_.ClearSeen();
    const std::uint8_t address[2] = {0xC0, 0xFF};
    std::vector<std::uint8_t> user(data.begin(), data.begin() + 100);
    auto result = host::FrontEnd::DeviceIoControl(handle, IOCTL_TOVRIK_WRITE_RAM, address, user);
    EXPECT_EQ(result.Status, STATUS_SUCCESS);
    EXPECT_EQ(result.Information, 0u);
    EXPECT_EQ(VendorWritesIn(bus_.Seen()),
              (std::vector<VendorWrite>{{0xA0, 0xFFC0, {user.begin(), user.begin() + 64}},
                                        {0xA0, 0x0000, {user.begin() + 64, user.end()}}}));
    host::FrontEnd::Close(handle);
}

TEST_F(FirmwareTest, RamBlocksGoInFiveTwelvesWithTheRemainderLastAndEveryBlockTried) {
    struct Case {
        const char* Label;
        ULONG Length;
        std::optional<USHORT> FailAt;
        std::vector<std::pair<USHORT, ULONG>> Blocks; // address, length
        NTSTATUS Result;
    };
    std::vector<std::pair<USHORT, ULONG>> wrapping;
    for (ULONG i = 0; i < 129; i++) {
        wrapping.push_back({static_cast<USHORT>(i * 512), 512});
    }
    wrapping.push_back({0x0200, 1});
    const Case cases[] = {
        {"1000 bytes: 512 at 0, 488 at 512", 1000, {}, {{0, 512}, {512, 488}}, STATUS_SUCCESS},
        {"exactly one block", 512, {}, {{0, 512}}, STATUS_SUCCESS},
        {"less than a block", 100, {}, {{0, 100}}, STATUS_SUCCESS},
        {"nothing", 0, {}, {}, STATUS_SUCCESS},
        {"a failed block does not stop the rest; the first failure is reported",
         1300,
         0,
         {{0, 512}, {512, 512}, {1024, 276}},
         STATUS_UNSUCCESSFUL},
        {"from the 129th block the addresses start again at 0",
         129 * 512 + 1,
         {},
         wrapping,
         STATUS_SUCCESS},
    };
    std::vector<std::uint8_t> data(129 * 512 + 1);
    for (std::size_t i = 0; i < data.size(); i++) {
        data[i] = static_cast<std::uint8_t>(i * 7 + i / 512);
    }
    PDEVICE_OBJECT pdo = PlugStarted();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Label);
        bus_.ClearSeen();
        Override = c.FailAt ? FailWriteAt(*c.FailAt) : nullptr;
        EXPECT_EQ(DownloadRamBlocks(Fdo(pdo), data.data(), c.Length), c.Result);
        std::vector<VendorWrite> expected;
        ULONG offset = 0;
        for (auto [blockAddress, length] : c.Blocks) {
            expected.push_back(
                {0xA0, blockAddress,
                 std::vector<std::uint8_t>(data.begin() + offset, data.begin() + offset + length)});
            offset += length;
        }
        std::vector<VendorWrite> writes = VendorWritesIn(bus_.Seen());
        ASSERT_EQ(writes.size(), expected.size());
        for (std::size_t i = 0; i < expected.size(); i++) {
            ASSERT_EQ(writes[i], expected[i]) << "block " << i;
        }
    }
}

} // namespace
} // namespace tovrik_test
