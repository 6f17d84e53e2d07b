// Bulk and chunked transfers as exact conversations with a scripted bus: framing order, piece
// arithmetic, size limits, direction, short reads, time limits and allocation failures.
#include "support/camera_script.h"
#include "support/driver_test.h"
#include "support/request_bytes.h"
#include "support/requested_waits.h"

#include "tovrik/tovrik.h"

#include <cstring>
#include <functional>
#include <mutex>
#include <optional>

namespace tovrik_test {
namespace {

// The endpoint a bulk URB addresses, from the canned camera's fake handles.
UCHAR EndpointOf(const SeenRequest& request) {
    return static_cast<UCHAR>(
        reinterpret_cast<ULONG_PTR>(request.As<_URB_BULK_OR_INTERRUPT_TRANSFER>().PipeHandle) &
        0xFF);
}

class TransferTest : public ScriptedCameraTest {
  protected:
    void SetUp() override {
        ScriptedCameraTest::SetUp();
        PlugAndOpen();
        // Answers that come later come from another thread in real time: the 3 s limit must
        // stay far longer than that (30 ms here), or a late answer would look like a time-out.
        host::Clock::SetScale(100);
    }

    UrbReply Answer(PURB urb) override {
        if (urb->UrbHeader.Function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER) {
            auto& transfer = urb->UrbBulkOrInterruptTransfer;
            UCHAR endpoint =
                static_cast<UCHAR>(reinterpret_cast<ULONG_PTR>(transfer.PipeHandle) & 0xFF);
            if (endpoint == 0x01 && commandReply_) {
                auto command = static_cast<const UCHAR*>(transfer.TransferBuffer)[0];
                if (std::optional<UrbReply> reply = commandReply_(command)) {
                    return *reply;
                }
            }
            if (endpoint != 0x01) {
                std::lock_guard lock(mutex_);
                if (transfer.TransferBufferMDL != nullptr) {
                    pieceAddresses_.push_back(static_cast<std::uint8_t*>(
                        MmGetMdlVirtualAddress(transfer.TransferBufferMDL)));
                    mdlSizes_.push_back(transfer.TransferBufferMDL->Size);
                }
                if (dataReply_) {
                    return dataReply_(urb);
                }
            }
        }
        return ScriptedCameraTest::Answer(urb);
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

    std::function<UrbReply(PURB)> dataReply_;
    std::function<std::optional<UrbReply>(UCHAR command)> commandReply_;
    std::mutex mutex_;
    std::vector<std::uint8_t*> pieceAddresses_;
    std::vector<CSHORT> mdlSizes_;
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

    // The write code takes OUT pipes only: its buffer is locked for reading only, and an IN
    // pipe would fill it. On an OUT pipe it sends.
    bus_.ClearSeen();
    EXPECT_EQ(Read(IOCTL_TOVRIK_BULK_WRITE, 1, small).Status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Read(IOCTL_TOVRIK_CHUNKED_WRITE, 2, small).Status, STATUS_INVALID_PARAMETER);
    EXPECT_TRUE(bus_.Seen().empty());
    EXPECT_EQ(Read(IOCTL_TOVRIK_BULK_WRITE, 0, small).Status, STATUS_SUCCESS);
    auto write = bus_.SeenUrbs(URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER)
                     .at(0)
                     .As<_URB_BULK_OR_INTERRUPT_TRANSFER>();
    EXPECT_EQ(write.TransferFlags, static_cast<ULONG>(USBD_SHORT_TRANSFER_OK));

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

TEST_F(TransferTest, AChunkedReadEndsAtItsFailedPieceAndResetsThePipe) {
    // A host controller halts a pipe whose transfer failed: the pieces behind the failed one
    // are not served until the pipe is reset. The read ends with the piece's failure once it
    // comes, not at the time limit (ten minutes here) with a time-out, and resets the pipe.
    BulkTimeoutMs = 600000;
    std::atomic<int> served{0};
    dataReply_ = [&](PURB) {
        switch (served++) {
        case 0:
            return UrbReply{UrbReply::When::Later};
        case 1:
            return UrbReply{UrbReply::When::Later, STATUS_UNSUCCESSFUL, USBD_STATUS_XACT_ERROR};
        default:
            return UrbReply{UrbReply::When::Never};
        }
    };
    bus_.ClearSeen();
    Bytes buffer(4 * 65536);
    auto result = Read(IOCTL_TOVRIK_CHUNKED_READ, 2, buffer);
    EXPECT_EQ(result.Status, STATUS_UNSUCCESSFUL) << host::StatusName(result.Status);
    EXPECT_EQ(result.Information, 0u);
    EXPECT_EQ(Extension(pdo_)->LastUsbdStatus, USBD_STATUS_XACT_ERROR);
    EXPECT_EQ(bus_.Pending(), 0u) << "the pieces behind the failed one were ended";
    EXPECT_EQ(bus_.SeenUrbs(URB_FUNCTION_RESET_PIPE).size(), 1u);
}

TEST_F(TransferTest, APieceThatCannotBeBuiltEndsTheLoopAndTheRestIsAccountedFor) {
    // The third IRP of the request is the second piece's (the start command's comes first).
    host::FaultInjection::FailNth(3, host::AllocationKind::Irp);
    Bytes buffer(3 * 65536);
    auto result = Read(IOCTL_TOVRIK_CHUNKED_READ, 2, buffer);
    // The piece that went down is waited for; the caller hears the failure, not a short success;
    // the pipe is reset after it.
    EXPECT_EQ(result.Status, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(result.Information, 0u) << "a failed transfer moved nothing the caller can use";
    EXPECT_EQ(bus_.SeenUrbs(URB_FUNCTION_RESET_PIPE).size(), 1u);
    EXPECT_EQ(Extension(pdo_)->ChunkContexts, nullptr);
}

TEST_F(TransferTest, EachPieceHasAnMdlForItsOwnPages) {
    // A 4 MiB read in 64 pieces: an MDL over the whole buffer for each would carry 1,025 page
    // entries, 64 times over; a piece of 64 KiB spans 17 pages at most.
    Bytes buffer(4 << 20);
    ASSERT_EQ(Read(IOCTL_TOVRIK_CHUNKED_READ, 2, buffer).Status, STATUS_SUCCESS);
    ASSERT_EQ(mdlSizes_.size(), 64u);
    const std::size_t mostPerPiece = sizeof(MDL) + 17 * sizeof(ULONG_PTR);
    for (std::size_t k = 0; k < mdlSizes_.size(); k++) {
        EXPECT_LE(static_cast<std::size_t>(mdlSizes_[k]), mostPerPiece) << "piece " << k;
    }
}

TEST_F(TransferTest, AChunkedReadSucceedsOnlyOverBytesThatLieTogether) {
    // The piece a reply belongs to, from where its MDL starts in the caller's buffer.
    std::uint8_t* base = nullptr;
    auto pieceOf = [&](PURB urb) {
        auto* start = static_cast<std::uint8_t*>(
            MmGetMdlVirtualAddress(urb->UrbBulkOrInterruptTransfer.TransferBufferMDL));
        return static_cast<std::size_t>(start - base) / 65536;
    };
    struct Case {
        const char* Label;
        std::function<UrbReply(std::size_t piece, PURB urb)> Reply;
        NTSTATUS Status;
        ULONG_PTR Information;
    };
    const Case cases[] = {
        {"the last piece short: a frame that ended",
         [](std::size_t piece, PURB urb) {
             if (piece == 3) {
                 urb->UrbBulkOrInterruptTransfer.TransferBufferLength = 100;
             }
             return UrbReply{UrbReply::When::Later};
         },
         STATUS_SUCCESS, 3 * 65536 + 100},
        {"a middle piece short, the later ones empty",
         [](std::size_t piece, PURB urb) {
             if (piece >= 1) {
                 urb->UrbBulkOrInterruptTransfer.TransferBufferLength = piece == 1 ? 10 : 0;
             }
             return UrbReply{UrbReply::When::Later};
         },
         STATUS_SUCCESS, 65536 + 10},
        {"a middle piece short, a later one with data: a hole",
         [](std::size_t piece, PURB urb) {
             if (piece == 1) {
                 urb->UrbBulkOrInterruptTransfer.TransferBufferLength = 10;
             }
             return UrbReply{UrbReply::When::Later};
         },
         STATUS_DEVICE_DATA_ERROR, 0},
        {"a middle piece failed",
         [](std::size_t piece, PURB) {
             return piece == 2 ? UrbReply{UrbReply::When::Later, STATUS_UNSUCCESSFUL,
                                          USBD_STATUS_XACT_ERROR}
                               : UrbReply{UrbReply::When::Later};
         },
         STATUS_UNSUCCESSFUL, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Label);
        Bytes buffer(4 * 65536);
        base = buffer.data();
        dataReply_ = [&](PURB urb) { return c.Reply(pieceOf(urb), urb); };
        auto result = Read(IOCTL_TOVRIK_CHUNKED_READ, 2, buffer);
        EXPECT_EQ(result.Status, c.Status);
        EXPECT_EQ(result.Information, c.Information);
    }
    EXPECT_EQ(Extension(pdo_)->LastUsbdStatus, USBD_STATUS_XACT_ERROR);

    // A failure never reports more than the buffer holds: no command packet's length leaks into
    // Information.
    dataReply_ = [](PURB) {
        return UrbReply{UrbReply::When::Now, STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID};
    };
    Bytes three(3);
    auto failed = Read(IOCTL_TOVRIK_CHUNKED_READ, 2, three);
    EXPECT_EQ(failed.Status, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(failed.Information, 0u);
    failed = Read(IOCTL_TOVRIK_BULK_READ, 2, three);
    EXPECT_EQ(failed.Status, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(failed.Information, 0u);

    // More than the driver hands down at once is refused before anything moves.
    dataReply_ = nullptr;
    bus_.ClearSeen();
    Bytes tooLong(TOVRIK_CHUNKED_MAX_LENGTH + 1);
    EXPECT_EQ(Read(IOCTL_TOVRIK_CHUNKED_READ, 2, tooLong).Status, STATUS_INVALID_PARAMETER);
    EXPECT_TRUE(bus_.Seen().empty());
}

TEST_F(TransferTest, AnImageReadWhoseFramingCommandFailedFails) {
    const UrbReply stalled{UrbReply::When::Now, STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID};
    for (ULONG code : {IOCTL_TOVRIK_BULK_READ, IOCTL_TOVRIK_CHUNKED_READ}) {
        SCOPED_TRACE(code == IOCTL_TOVRIK_BULK_READ ? "bulk" : "chunked");
        Bytes buffer(3 * 65536);
        auto image = std::span(buffer);

        // No start command: the camera would send nothing, so nothing else is sent.
        bus_.ClearSeen();
        commandReply_ = [&](UCHAR command) -> std::optional<UrbReply> {
            return command == COMMAND_START_FRAME ? std::optional(stalled) : std::nullopt;
        };
        auto result = Read(code, 2, image);
        EXPECT_EQ(result.Status, STATUS_UNSUCCESSFUL);
        EXPECT_EQ(result.Information, 0u);
        EXPECT_EQ(Conversation(), (std::vector<std::string>{"command 2 of 64"}));

        // No end command: the data came, but the camera is left framing, and the next read
        // would fail; this one says so.
        bus_.ClearSeen();
        commandReply_ = [&](UCHAR command) -> std::optional<UrbReply> {
            return command == COMMAND_END_FRAME ? std::optional(stalled) : std::nullopt;
        };
        result = Read(code, 2, image);
        EXPECT_EQ(result.Status, STATUS_UNSUCCESSFUL);
        EXPECT_EQ(result.Information, 0u);
        EXPECT_EQ(Conversation().back(), "command 3 of 64");
    }
    commandReply_ = nullptr;
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
