// Bulk and chunked transfers as exact conversations with a scripted bus: framing order, piece
// arithmetic, size limits, direction, short reads, time limits and allocation failures.
#include "support/camera_script.h"
#include "support/driver_test.h"
#include "support/requested_waits.h"

#include "tovrik/tovrik.h"

#include <cstring>
#include <mutex>

namespace tovrik_test {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes PipeIndex(std::uint32_t index) {
    return {static_cast<std::uint8_t>(index), 0, 0, 0};
}

// The endpoint a bulk URB addresses, from the canned camera's fake handles.
UCHAR EndpointOf(const SeenRequest& request) {
    return static_cast<UCHAR>(
        reinterpret_cast<ULONG_PTR>(request.As<_URB_BULK_OR_INTERRUPT_TRANSFER>().PipeHandle) &
        0xFF);
}

class TransferTest : public DriverTest {
  protected:
    void SetUp() override {
        DriverTest::SetUp();
        script_ = CameraScript::Default();
        bus_.OnUrb = [this](PURB urb) {
            if (urb->UrbHeader.Function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER) {
                auto& transfer = urb->UrbBulkOrInterruptTransfer;
                UCHAR endpoint =
                    static_cast<UCHAR>(reinterpret_cast<ULONG_PTR>(transfer.PipeHandle) & 0xFF);
                if (endpoint != 0x01) {
                    std::lock_guard lock(mutex_);
                    if (transfer.TransferBufferMDL != nullptr) {
                        pieceAddresses_.push_back(static_cast<std::uint8_t*>(
                            MmGetMdlVirtualAddress(transfer.TransferBufferMDL)));
                    }
                    if (dataReply_) {
                        return dataReply_(urb);
                    }
                }
            }
            return script_.Answer(urb);
        };
        pdo_ = Plug();
        ASSERT_NE(pdo_, nullptr);
        ASSERT_EQ(host::FrontEnd::Open(UserPath(0), &handle_), STATUS_SUCCESS);
        bus_.ClearSeen();
        // Answers that come later come from another thread in real time: the 3 s limit must
        // stay far longer than that (30 ms here), or a late answer would look like a time-out.
        host::Clock::SetScale(100);
    }

    void TearDown() override {
        host::FrontEnd::Close(handle_);
        DriverTest::TearDown();
    }

    host::FrontEnd::IoctlResult Read(ULONG code, std::uint32_t pipe,
                                     std::span<std::uint8_t> buffer) {
        return host::FrontEnd::DeviceIoControl(handle_, code, PipeIndex(pipe), buffer);
    }

    // The bulk URBs on data pipes, and the command packets, in the order they arrived.
    std::vector<std::string> Conversation() {
        std::vector<std::string> lines;
        for (const SeenRequest& request : bus_.SeenUrbs(URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER)) {
            auto urb = request.As<_URB_BULK_OR_INTERRUPT_TRANSFER>();
            if (EndpointOf(request) == 0x01) {
                lines.push_back("command " + std::to_string(request.OutData.at(0)) + " of " +
                                std::to_string(request.OutData.size()));
            } else {
                lines.push_back("data " + std::to_string(urb.TransferBufferLength));
            }
        }
        return lines;
    }

    CameraScript script_;
    std::function<UrbReply(PURB)> dataReply_;
    std::mutex mutex_;
    std::vector<std::uint8_t*> pieceAddresses_;
    PDEVICE_OBJECT pdo_ = nullptr;
    host::Handle handle_ = 0;
};

TEST_F(TransferTest, AnImageReadIsFramedByTheTwoCommands) {
    dataReply_ = [](PURB) { return UrbReply{UrbReply::When::Later}; };
    Bytes buffer(4096);
    auto result = Read(IOCTL_TOVRIK_BULK_READ, 2, buffer);
    EXPECT_EQ(result.Status, STATUS_SUCCESS);
    EXPECT_EQ(result.Information, 4096u);
    EXPECT_EQ(Conversation(),
              (std::vector<std::string>{"command 2 of 64", "data 4096", "command 3 of 64"}));
    auto data = bus_.SeenUrbs(URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER)[1]
                    .As<_URB_BULK_OR_INTERRUPT_TRANSFER>();
    EXPECT_EQ(data.TransferFlags,
              static_cast<ULONG>(USBD_SHORT_TRANSFER_OK | USBD_TRANSFER_DIRECTION_IN));
    EXPECT_EQ(data.TransferBuffer, nullptr);
    EXPECT_EQ(data.Hdr.Length, 128);

    // Pipe 1 is an IN pipe too, but not the image pipe: no framing (and at most 1024 bytes).
    bus_.ClearSeen();
    auto small = std::span(buffer).first(1024);
    EXPECT_EQ(Read(IOCTL_TOVRIK_BULK_READ, 1, small).Status, STATUS_SUCCESS);
    EXPECT_EQ(Conversation(), (std::vector<std::string>{"data 1024"}));

    // The write code on an IN pipe still reads: the direction is the endpoint's.
    bus_.ClearSeen();
    EXPECT_EQ(Read(IOCTL_TOVRIK_BULK_WRITE, 1, small).Status, STATUS_SUCCESS);
    auto write = bus_.SeenUrbs(URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER)
                     .at(0)
                     .As<_URB_BULK_OR_INTERRUPT_TRANSFER>();
    EXPECT_EQ(write.TransferFlags & USBD_TRANSFER_DIRECTION_IN,
              static_cast<ULONG>(USBD_TRANSFER_DIRECTION_IN));

    // An empty buffer is a transfer of 0 bytes without an MDL.
    bus_.ClearSeen();
    EXPECT_EQ(Read(IOCTL_TOVRIK_BULK_READ, 1, {}).Status, STATUS_SUCCESS);
    auto empty = bus_.SeenUrbs(URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER)
                     .at(0)
                     .As<_URB_BULK_OR_INTERRUPT_TRANSFER>();
    EXPECT_EQ(empty.TransferBufferLength, 0u);
    EXPECT_EQ(empty.TransferBufferMDL, nullptr);
}

TEST_F(TransferTest, BulkReadsRespectThePipeAndItsSizeLimit) {
    // Pipe 2 takes up to 0x3FFFFF bytes in one transfer; one more is refused before anything moves.
    Bytes big(0x400000);
    EXPECT_EQ(Read(IOCTL_TOVRIK_BULK_READ, 2, std::span(big).first(0x3FFFFF)).Status,
              STATUS_SUCCESS);
    bus_.ClearSeen();
    auto refused = Read(IOCTL_TOVRIK_BULK_READ, 2, big);
    EXPECT_EQ(refused.Status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(refused.Information, 0u);
    EXPECT_TRUE(bus_.Seen().empty());

    Bytes buffer(64);
    EXPECT_EQ(Read(IOCTL_TOVRIK_BULK_READ, 4, buffer).Status, STATUS_INVALID_PARAMETER)
        << "index = NumberOfPipes";
    EXPECT_EQ(Read(IOCTL_TOVRIK_BULK_READ, 3, buffer).Status, STATUS_INVALID_PARAMETER)
        << "isochronous pipe";
    EXPECT_EQ(Read(IOCTL_TOVRIK_CHUNKED_READ, 3, buffer).Status, STATUS_INVALID_PARAMETER)
        << "isochronous pipe";
    EXPECT_TRUE(bus_.Seen().empty());
}

TEST_F(TransferTest, AShortReadReportsTheBytesThatCame) {
    dataReply_ = [](PURB urb) {
        urb->UrbBulkOrInterruptTransfer.TransferBufferLength = 100;
        return UrbReply{UrbReply::When::Later};
    };
    Bytes buffer(1024);
    auto result = Read(IOCTL_TOVRIK_BULK_READ, 1, buffer);
    EXPECT_EQ(result.Status, STATUS_SUCCESS);
    EXPECT_EQ(result.Information, 100u);
}

TEST_F(TransferTest, ATransferThatNeverEndsIsCancelledAtTheTimeLimit) {
    dataReply_ = [](PURB) { return UrbReply{UrbReply::When::Never}; };
    Bytes buffer(512);

    LONGLONG before = host::Clock::Now();
    auto result = Read(IOCTL_TOVRIK_BULK_READ, 1, buffer);
    LONGLONG waited = host::Clock::Now() - before;
    // The cancelled URB carries USBD_STATUS_CANCELED: a failure, remembered as the last error.
    EXPECT_EQ(result.Status, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(Extension(pdo_)->LastUsbdStatus, USBD_STATUS_CANCELED);
    EXPECT_GE(waited, 3000 * 10000LL) << "waits BulkTimeoutMs of kernel time";
    EXPECT_EQ(bus_.Pending(), 0u) << "returns only after the cancelled request came back";

    for (LONG64 limit : {0LL, -1LL}) {
        BulkTimeoutMs = limit;
        const std::size_t mark = RequestedWaits::Mark();
        result = Read(IOCTL_TOVRIK_BULK_READ, 1, buffer);
        EXPECT_EQ(result.Status, STATUS_UNSUCCESSFUL) << limit;
        for (LONGLONG wait : RequestedWaits::Relative(mark, RequestedWait::Kind::Wait))
            EXPECT_EQ(wait, 0) << "no wait with a limit of " << limit;
        EXPECT_EQ(bus_.Pending(), 0u);
    }
}

TEST_F(TransferTest, ChunkedReadsCutTheBufferIntoPiecesOverTheCallersPages) {
    struct Case {
        std::size_t Length;
        std::vector<ULONG> Pieces;
    };
    const Case cases[] = {
        {65536, {65536}},
        {65537, {65536, 1}},
        {200000, {65536, 65536, 65536, 3392}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Length);
        bus_.ClearSeen();
        pieceAddresses_.clear();
        Bytes buffer(c.Length);
        auto result = Read(IOCTL_TOVRIK_CHUNKED_READ, 2, buffer);
        EXPECT_EQ(result.Status, STATUS_SUCCESS);
        EXPECT_EQ(result.Information, c.Length);

        std::vector<std::string> expected = {"command 2 of 64"};
        for (ULONG piece : c.Pieces) {
            expected.push_back("data " + std::to_string(piece));
        }
        expected.push_back("command 3 of 64");
        EXPECT_EQ(Conversation(), expected);
        // Each piece is a partial MDL over the caller's own buffer: nothing is copied.
        ASSERT_EQ(pieceAddresses_.size(), c.Pieces.size());
        for (std::size_t k = 0; k < c.Pieces.size(); k++) {
            EXPECT_EQ(pieceAddresses_[k], buffer.data() + k * 65536) << "piece " << k;
        }
    }
}

TEST_F(TransferTest, AChunkedReadThatNeverEndsTimesOutAsAFailure) {
    dataReply_ = [](PURB) { return UrbReply{UrbReply::When::Never}; };
    Bytes buffer(200000);
    LONGLONG before = host::Clock::Now();
    std::size_t mark = RequestedWaits::Mark();
    auto result = Read(IOCTL_TOVRIK_CHUNKED_READ, 2, buffer);
    LONGLONG waited = host::Clock::Now() - before;
    EXPECT_EQ(result.Status, STATUS_IO_TIMEOUT);
    EXPECT_GE(waited, 3000 * 10000LL);
    EXPECT_EQ(RequestedWaits::Relative(mark, RequestedWait::Kind::Wait),
              std::vector<LONGLONG>{3000 * 10000LL})
        << "no bytes moved: one wait, not two";
    EXPECT_EQ(bus_.Pending(), 0u) << "every piece came back cancelled before the request ended";

    // Idle again: the next transfer does not first wait out a time limit for the last one.
    dataReply_ = nullptr;
    mark = RequestedWaits::Mark();
    EXPECT_EQ(Read(IOCTL_TOVRIK_CHUNKED_READ, 2, buffer).Status, STATUS_SUCCESS);
    EXPECT_EQ(RequestedWaits::Relative(mark, RequestedWait::Kind::Wait),
              std::vector<LONGLONG>{3000 * 10000LL})
        << "one time limit, not waited out: the pieces came back";
}

TEST_F(TransferTest, AChunkedReadWhosePiecesMovedSomeBytesWaitsTwice) {
    std::atomic<int> served{0};
    dataReply_ = [&](PURB) {
        return served++ == 0 ? UrbReply{UrbReply::When::Later} : UrbReply{UrbReply::When::Never};
    };
    Bytes buffer(3 * 65536);
    LONGLONG before = host::Clock::Now();
    auto result = Read(IOCTL_TOVRIK_CHUNKED_READ, 2, buffer);
    EXPECT_EQ(result.Status, STATUS_IO_TIMEOUT);
    EXPECT_GE(host::Clock::Now() - before, 6000 * 10000LL);
    EXPECT_EQ(bus_.Pending(), 0u);
}

TEST_F(TransferTest, APieceThatCannotBeBuiltEndsTheLoopAndTheRestIsAccountedFor) {
    // The third IRP of the request is the second piece's (the start command's comes first).
    host::FaultInjection::FailNth(3, host::AllocationKind::Irp);
    Bytes buffer(3 * 65536);
    auto result = Read(IOCTL_TOVRIK_CHUNKED_READ, 2, buffer);
    // The piece that went down is waited for; the caller hears the failure, not a short success;
    // the pipe is reset after it.
    EXPECT_EQ(result.Status, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(result.Information, 64u) << "as the command packets left it";
    EXPECT_EQ(bus_.SeenUrbs(URB_FUNCTION_RESET_PIPE).size(), 1u);
    EXPECT_EQ(Extension(pdo_)->ChunkContexts, nullptr);
}

TEST_F(TransferTest, ChunkedReadsOfOneDeviceRunOneAtATime) {
    // The piece counters and the context array exist once per device: requests that overlapped
    // would hand each other's totals back.
    dataReply_ = [](PURB) { return UrbReply{UrbReply::When::Later}; };
    std::vector<std::thread> readers;
    std::atomic<int> good{0};
    for (int t = 0; t < 3; t++) {
        readers.emplace_back([&] {
            Bytes buffer(65536);
            for (int i = 0; i < 20; i++) {
                auto result = Read(IOCTL_TOVRIK_CHUNKED_READ, 2, buffer);
                good += result.Status == STATUS_SUCCESS && result.Information == buffer.size();
            }
        });
    }
    for (auto& reader : readers) {
        reader.join();
    }
    EXPECT_EQ(good.load(), 60);
}

} // namespace
} // namespace tovrik_test
