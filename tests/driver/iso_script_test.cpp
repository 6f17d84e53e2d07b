// One-shot isochronous transfers as exact conversations with a scripted bus: a bus that answers
// in the submitting call never nests one URB inside the next, packets land in the order the bus
// served them, a transfer of which no packet arrived fails, packets never sent say so, and the
// write code never writes into the caller's buffer, which the platform locked for reading only.
#include "support/camera_script.h"
#include "support/driver_test.h"
#include "support/request_bytes.h"

#include "tovrik/tovrik.h"

#include <algorithm>
#include <cstring>
#include <mutex>

namespace tovrik_test {
namespace {

constexpr ULONG kIsoInPipe = 3;
constexpr ULONG kIsoOutPipe = 4;

ISO_PACKET_DESCRIPTOR DescriptorAt(const Bytes& output, std::size_t offset) {
    ISO_PACKET_DESCRIPTOR descriptor;
    std::memcpy(&descriptor, output.data() + offset, sizeof(descriptor));
    return descriptor;
}

class IsoScriptTest : public ScriptedCameraTest {
  protected:
    void SetUp() override {
        ScriptedCameraTest::SetUp();
        // The usual pipes, and an isochronous OUT pipe at index 4.
        script_.Configuration = ConfigurationBytes({
            {0,
             0,
             {{0x01, 2, 512}, {0x81, 2, 512}, {0x82, 2, 512}, {0x83, 1, 1024}, {0x04, 1, 1024}}},
            {0, 1, {}},
        });
        PlugAndOpen();
    }

    UrbReply Answer(PURB urb) override {
        if (urb->UrbHeader.Function == URB_FUNCTION_ISOCH_TRANSFER) {
            // How deep the stack is where the bus sees each URB.
            char here;
            auto depth = reinterpret_cast<std::uintptr_t>(&here);
            std::lock_guard lock(mutex_);
            lowest_ = std::min(lowest_, depth);
            highest_ = std::max(highest_, depth);
            urbs_++;
            if (isoReply_) {
                return isoReply_(urb);
            }
        }
        return ScriptedCameraTest::Answer(urb);
    }

    host::FrontEnd::IoctlResult Iso(ULONG code, ISO_REQUEST request, Bytes& buffer) {
        {
            std::lock_guard lock(mutex_);
            lowest_ = UINTPTR_MAX;
            highest_ = 0;
            urbs_ = 0;
        }
        return host::FrontEnd::DeviceIoControl(handle_, code, RecordBytes(request), buffer);
    }

    std::size_t StackSpan() {
        std::lock_guard lock(mutex_);
        return highest_ - lowest_;
    }

    std::function<UrbReply(PURB)> isoReply_;
    std::mutex mutex_;
    std::uintptr_t lowest_ = UINTPTR_MAX;
    std::uintptr_t highest_ = 0;
    std::size_t urbs_ = 0;
};

TEST_F(IsoScriptTest, ABusThatAnswersInTheSubmittingCallNeverNestsOneUrbInsideTheNext) {
    // 400 URBs of one packet each through one slot, every one answered before IofCallDriver
    // returns: each next URB must go down from the same frame, not from inside the last one's
    // completion (a Windows kernel stack is 24 KiB).
    constexpr ULONG kPackets = 400;
    Bytes buffer(kPackets * (8 + 12), 0xA5);
    auto result = Iso(IOCTL_TOVRIK_ISO_READ, {kIsoInPipe, 8, kPackets, 1, 1}, buffer);
    EXPECT_EQ(result.Status, STATUS_SUCCESS);
    EXPECT_EQ(urbs_, kPackets);
    EXPECT_LT(StackSpan(), 8u * 1024) << "the URBs went down from ever deeper frames";
    for (ULONG p = 0; p < kPackets; p += 99) {
        EXPECT_EQ(DescriptorAt(buffer, kPackets * 8 + 12 * p).Status, USBD_STATUS_SUCCESS);
    }

    // The bus refuses every URB at once: the slot ends at the first, and the transfer, of which
    // not one packet arrived, fails with the bus's answer.
    isoReply_ = [](PURB) {
        return UrbReply{UrbReply::When::Now, STATUS_INVALID_PARAMETER,
                        USBD_STATUS_INVALID_PARAMETER};
    };
    std::fill(buffer.begin(), buffer.end(), 0xA5);
    result = Iso(IOCTL_TOVRIK_ISO_READ, {kIsoInPipe, 8, kPackets, 1, 1}, buffer);
    EXPECT_EQ(result.Status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(urbs_, 1u) << "a refused URB is not sent again";
    EXPECT_EQ(Extension(pdo_)->LastUsbdStatus, USBD_STATUS_INVALID_PARAMETER);
    // The refused URB's packet carries the refusal; the packets never sent say "not accessed",
    // never the caller's old bytes.
    EXPECT_EQ(DescriptorAt(buffer, kPackets * 8).Status, USBD_STATUS_INVALID_PARAMETER);
    for (ULONG p = 1; p < kPackets; p += 57) {
        ISO_PACKET_DESCRIPTOR descriptor = DescriptorAt(buffer, kPackets * 8 + 12 * p);
        EXPECT_EQ(descriptor.Status, USBD_STATUS_ISO_NOT_ACCESSED_BY_HW) << p;
        EXPECT_EQ(descriptor.Length, 0u) << p;
        EXPECT_EQ(descriptor.Offset, 0u) << p;
    }
}

TEST_F(IsoScriptTest, PacketsLandInTheOrderTheBusServedThem) {
    // Each group's place in the buffer is fixed by its slot; the bus serves the URBs in the
    // order they arrive and numbers the packets as it serves them. A slot that comes back before
    // every slot has its first URB below (here: each one, inside the submitting call) must not
    // send its next group ahead of the other slots' first, or the caller's packets come out of
    // time order (seen as 0-7, 16-23, ..., 8-15 when the submitting thread lost the processor).
    std::uint32_t served = 0;
    isoReply_ = [&](PURB urb) {
        auto& iso = urb->UrbIsochronousTransfer;
        for (ULONG j = 0; j < iso.NumberOfPackets; j++) {
            std::memcpy(TransferBufferOf(urb) + iso.IsoPacket[j].Offset, &served, sizeof(served));
            served++;
        }
        return UrbReply{UrbReply::When::Now, STATUS_SUCCESS, USBD_STATUS_SUCCESS};
    };
    struct Shape {
        ULONG Packets, PerUrb, Urbs;
    };
    // Two and three groups per slot; one slot; more slots than groups per slot.
    for (Shape shape : {Shape{16, 2, 4}, Shape{24, 2, 4}, Shape{12, 3, 1}, Shape{40, 1, 8}}) {
        served = 0;
        Bytes buffer(shape.Packets * (8 + 12), 0xA5);
        auto result = Iso(IOCTL_TOVRIK_ISO_READ,
                          {kIsoInPipe, 8, shape.Packets, shape.PerUrb, shape.Urbs}, buffer);
        ASSERT_EQ(result.Status, STATUS_SUCCESS);
        for (ULONG p = 0; p < shape.Packets; p++) {
            std::uint32_t number;
            std::memcpy(&number, buffer.data() + 8 * p, sizeof(number));
            EXPECT_EQ(number, p) << "packet " << p << " of " << shape.Packets << " in groups of "
                                 << shape.PerUrb << " over " << shape.Urbs << " URBs";
        }
    }
}

TEST_F(IsoScriptTest, ATransferOfWhichNoPacketArrivedFails) {
    // The requests go through, but every packet comes back with an error.
    int failedPackets = 8;
    isoReply_ = [&](PURB urb) {
        auto& iso = urb->UrbIsochronousTransfer;
        for (ULONG j = 0; j < iso.NumberOfPackets; j++) {
            bool fails = static_cast<int>(j) < failedPackets;
            iso.IsoPacket[j].Status = fails ? USBD_STATUS_XACT_ERROR : USBD_STATUS_SUCCESS;
            iso.IsoPacket[j].Length = fails ? 0 : iso.IsoPacket[j].Length;
        }
        USBD_STATUS header = failedPackets == 8 ? USBD_STATUS_ISOCH_REQUEST_FAILED : 0;
        return UrbReply{UrbReply::When::Later, STATUS_SUCCESS, header};
    };
    host::Clock::SetScale(100);
    Bytes buffer(32 * (64 + 12));
    auto result = Iso(IOCTL_TOVRIK_ISO_READ, {kIsoInPipe, 64, 32, 8, 2}, buffer);
    EXPECT_EQ(result.Status, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(Extension(pdo_)->LastUsbdStatus, USBD_STATUS_ISOCH_REQUEST_FAILED);
    EXPECT_EQ(urbs_, 4u) << "each slot carried both its groups";

    // One packet per URB arrives: the transfer succeeds and the descriptors tell the rest.
    failedPackets = 7;
    result = Iso(IOCTL_TOVRIK_ISO_READ, {kIsoInPipe, 64, 32, 8, 2}, buffer);
    EXPECT_EQ(result.Status, STATUS_SUCCESS);
    EXPECT_EQ(DescriptorAt(buffer, 32 * 64 + 12 * 7).Status, USBD_STATUS_SUCCESS);
    EXPECT_EQ(DescriptorAt(buffer, 32 * 64 + 12 * 6).Status, USBD_STATUS_XACT_ERROR);
}

TEST_F(IsoScriptTest, TheWriteCodeNeverWritesIntoItsReadOnlyBuffer) {
    // The platform locks the write code's buffer for reading only. On an OUT pipe the data goes
    // out of it and the packet descriptors stay with the driver.
    Bytes buffer(16 * (64 + 12));
    for (std::size_t i = 0; i < buffer.size(); i++) {
        buffer[i] = static_cast<std::uint8_t>(i * 13);
    }
    const Bytes before = buffer;
    auto result = Iso(IOCTL_TOVRIK_ISO_WRITE, {kIsoOutPipe, 64, 16, 8, 2}, buffer);
    EXPECT_EQ(result.Status, STATUS_SUCCESS);
    EXPECT_EQ(buffer, before);
    auto sent = bus_.SeenUrbs(URB_FUNCTION_ISOCH_TRANSFER);
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[0].OutData, Bytes(before.begin(), before.begin() + 8 * 64));
    EXPECT_EQ(sent[1].OutData, Bytes(before.begin() + 8 * 64, before.begin() + 16 * 64));

    // On an IN pipe the data would land in that buffer: refused, nothing sent.
    bus_.ClearSeen();
    result = Iso(IOCTL_TOVRIK_ISO_WRITE, {kIsoInPipe, 64, 16, 8, 2}, buffer);
    EXPECT_EQ(result.Status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(buffer, before);
    EXPECT_TRUE(bus_.Seen().empty());

    // A write of which nothing went out fails although the caller sees no descriptor.
    isoReply_ = [](PURB) {
        return UrbReply{UrbReply::When::Now, STATUS_UNSUCCESSFUL, USBD_STATUS_XACT_ERROR};
    };
    result = Iso(IOCTL_TOVRIK_ISO_WRITE, {kIsoOutPipe, 64, 16, 8, 2}, buffer);
    EXPECT_EQ(result.Status, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(buffer, before);
}

TEST_F(IsoScriptTest, ShapesAreTestedForRoomBeforeTheDriversLimits) {
    struct Case {
        const char* Label;
        ISO_REQUEST Request;
        std::size_t Output;
        NTSTATUS Status;
    };
    const Case cases[] = {
        // Data and descriptors past 4 GiB never fit an output buffer: too small, whatever else.
        {"products past 4 GiB", {kIsoInPipe, 0x10000, 0x10000, 8, 8}, 4096, STATUS_UNSUCCESSFUL},
        {"packets per URB past the bus",
         {kIsoInPipe, 0x10000, 0x10000, 2048, 1},
         4096,
         STATUS_UNSUCCESSFUL},
        {"room short by one byte", {kIsoInPipe, 64, 16, 8, 2}, 16 * 76 - 1, STATUS_UNSUCCESSFUL},
        {"packets not a multiple of a group",
         {kIsoInPipe, 64, 60, 8, 4},
         60 * 76,
         STATUS_INVALID_PARAMETER},
        {"no URBs", {kIsoInPipe, 64, 16, 8, 0}, 16 * 76, STATUS_INVALID_PARAMETER},
        {"group past 32 bits",
         {kIsoInPipe, 64, 16, 0x10000, 0x10000},
         16 * 76,
         STATUS_INVALID_PARAMETER},
        {"packet size 0 with room", {kIsoInPipe, 0, 16, 8, 2}, 16 * 12, STATUS_INVALID_PARAMETER},
        {"packets per URB past the bus, with room",
         {kIsoInPipe, 1, 2048, 2048, 1},
         2048 * 13,
         STATUS_INVALID_PARAMETER},
        {"URBs past the limit",
         {kIsoInPipe, 1, 65 * 8, 8, 65},
         65 * 8 * 13,
         STATUS_INVALID_PARAMETER},
        {"the most URBs", {kIsoInPipe, 1, 64 * 8, 8, 64}, 64 * 8 * 13, STATUS_SUCCESS},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Label);
        bus_.ClearSeen();
        Bytes buffer(c.Output);
        EXPECT_EQ(Iso(IOCTL_TOVRIK_ISO_READ, c.Request, buffer).Status, c.Status);
        if (c.Status != STATUS_SUCCESS) {
            EXPECT_TRUE(bus_.Seen().empty());
        }
    }
}

} // namespace
} // namespace tovrik_test
