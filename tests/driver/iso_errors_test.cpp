// One-shot isochronous transfers whose URBs meet an error on the bus: a URB that ran and failed
// costs its own packets, not the groups its slot would have carried after it.
#include "support/camera_script.h"
#include "support/driver_test.h"
#include "support/request_bytes.h"

#include "tovrik/tovrik.h"

#include <atomic>
#include <cstring>

namespace tovrik_test {
namespace {

constexpr ULONG kIsoInPipe = 3;

class IsoErrorsTest : public ScriptedCameraTest {
  protected:
    void SetUp() override {
        ScriptedCameraTest::SetUp();
        PlugAndOpen();
    }

    UrbReply Answer(PURB urb) override {
        if (urb->UrbHeader.Function != URB_FUNCTION_ISOCH_TRANSFER) {
            return ScriptedCameraTest::Answer(urb);
        }
        // The URBs run on the bus (answered later, from the bus's own thread). The first one
        // meets a transaction error in every packet, as a burst of noise on the cable would
        // give; the bus then fails it as a whole. Every later URB goes through.
        auto& iso = urb->UrbIsochronousTransfer;
        const bool fail = urbs_++ == 0;
        for (ULONG j = 0; j < iso.NumberOfPackets; j++) {
            iso.IsoPacket[j].Status = fail ? USBD_STATUS_XACT_ERROR : USBD_STATUS_SUCCESS;
            iso.IsoPacket[j].Length = fail ? 0 : iso.IsoPacket[j].Length;
        }
        if (fail) {
            return UrbReply{UrbReply::When::Later, STATUS_UNSUCCESSFUL,
                            USBD_STATUS_ISOCH_REQUEST_FAILED};
        }
        return UrbReply{UrbReply::When::Later, STATUS_SUCCESS, USBD_STATUS_SUCCESS};
    }

    std::atomic<int> urbs_{0};
};

TEST_F(IsoErrorsTest, AUrbThatFailsOnTheBusCostsOnlyItsOwnPackets) {
    // 64 packets in groups of 8 over 4 slots: each slot carries two groups, so the failed URB's
    // slot still has a group to carry after it.
    constexpr ULONG kPackets = 64;
    constexpr ULONG kSize = 8;
    Bytes output(kPackets * (kSize + 12), 0xA5);
    auto result = host::FrontEnd::DeviceIoControl(
        handle_, IOCTL_TOVRIK_ISO_READ, RecordBytes(ISO_REQUEST{kIsoInPipe, kSize, kPackets, 8, 4}),
        output);
    EXPECT_EQ(result.Status, STATUS_SUCCESS) << host::StatusName(result.Status);
    EXPECT_EQ(urbs_.load(), 8) << "every group of the transfer is asked for";

    std::uint32_t failed = 0;
    std::uint32_t neverSent = 0;
    for (ULONG p = 0; p < kPackets; p++) {
        USBD_STATUS status;
        std::memcpy(&status, output.data() + kPackets * kSize + 12 * p + 8, sizeof(status));
        if (status == USBD_STATUS_ISO_NOT_ACCESSED_BY_HW) {
            neverSent++;
        } else if (USBD_ERROR(status)) {
            failed++;
        }
    }
    EXPECT_EQ(failed, 8u) << "the failed URB's packets say why";
    EXPECT_EQ(neverSent, 0u) << "packets of a transfer that succeeded were never asked for";
}

} // namespace
} // namespace tovrik_test
