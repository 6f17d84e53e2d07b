// What the camera program puts on its endpoints: framed image readout, status packets and the
// isochronous stream, checked byte for byte against the pure pattern functions.

#include "rig.h"

#include <array>

namespace sim::testing {
namespace {

// Expects `data` to be bytes [offset, offset + size) of frame `frame`.
::testing::AssertionResult IsFrame(std::span<const std::uint8_t> data, std::uint32_t frame,
                                   std::uint64_t offset) {
    for (std::size_t i = 0; i < data.size(); ++i) {
        if (data[i] != FrameByte(frame, offset + i)) {
            return ::testing::AssertionFailure()
                   << "byte " << offset + i << " of frame " << frame << " is " << int(data[i])
                   << ", expected " << int(FrameByte(frame, offset + i));
        }
    }
    return ::testing::AssertionSuccess();
}

TEST(CameraPattern, FramePixelsAreReadableAndPlaceSensitive) {
    EXPECT_EQ(FramePixel(0, 0, 0, 1280), 0x0000);
    EXPECT_EQ(FramePixel(0, 5, 1, 1280), 1285);
    EXPECT_EQ(FrameByte(0, 2 * 1285), 1285 & 0xFF);
    EXPECT_EQ(FrameByte(0, 2 * 1285 + 1), 1285 >> 8);
    // Data from another frame, or shifted by a whole number of 64 KiB pieces (as a chunk that
    // landed in the wrong place would be), never matches.
    auto pixelAtByte = [](std::uint32_t frame, std::uint64_t offset) {
        return FrameByte(frame, offset) | FrameByte(frame, offset + 1) << 8;
    };
    for (const std::uint32_t x : {0u, 1u, 777u, 1279u}) {
        for (const std::uint32_t y : {0u, 51u, 52u, 959u}) {
            const std::uint64_t offset = 2ull * (y * 1280 + x);
            EXPECT_EQ(pixelAtByte(7, offset), FramePixel(7, x, y, 1280));
            EXPECT_NE(FramePixel(7, x, y, 1280), FramePixel(8, x, y, 1280));
            for (const std::uint64_t shift : {65536ull, 131072ull, 262144ull}) {
                EXPECT_NE(pixelAtByte(7, offset), pixelAtByte(7, offset + shift)) << shift;
            }
        }
    }
}

TEST(CameraPattern, FillMatchesByteFunctionAtAnyAlignment) {
    // The fill goes a word of four pixels at a time: starts and ends inside a pixel, inside a
    // word, and runs across the 65536-pixel stretches whose keys differ.
    for (const std::uint64_t offset :
         {0ull, 1ull, 2ull, 6ull, 7ull, 131064ull, 131066ull, 131071ull, 131072ull, 262143ull}) {
        for (const std::size_t size : {0u, 1u, 2u, 3u, 7u, 8u, 9u, 15u, 17u, 1000u, 262150u}) {
            std::vector<std::uint8_t> out(size);
            FillFrameBytes(3, offset, out);
            EXPECT_TRUE(IsFrame(out, 3, offset)) << offset << "+" << size;
        }
    }
}

TEST(CameraPattern, IsochronousFillMatchesByteFunction) {
    for (const std::uint8_t endpoint : {std::uint8_t{0x83}, std::uint8_t{0x86}}) {
        for (const std::uint32_t sequence : {0u, 1u, 0x12345678u, 0xFFFFFFFFu}) {
            for (const std::size_t size : {0u, 3u, 4u, 8u, 13u, 255u, 256u, 257u, 1024u, 3072u}) {
                std::vector<std::uint8_t> out(size);
                FillIsoPacket(endpoint, sequence, out);
                for (std::size_t i = 0; i < size; ++i) {
                    ASSERT_EQ(out[i],
                              IsoPacketByte(endpoint, sequence, static_cast<std::uint32_t>(i)))
                        << "endpoint " << int(endpoint) << " sequence " << sequence << " size "
                        << size << " byte " << i;
                }
            }
        }
    }
}

// --- Frame readout ----------------------------------------------------------------------------

// Reads a whole frame in pieces of `piece` bytes; returns the bytes and the last status.
struct Readout {
    std::vector<std::uint8_t> Data;
    TransferStatus Last = TransferStatus::Ok;
    std::size_t Reads = 0;
};
Readout ReadFrame(Camera& cam, std::size_t piece) {
    Readout out;
    std::vector<std::uint8_t> buffer(piece);
    for (;;) {
        const TransferResult r = cam.BulkIn(kImageEndpoint, buffer);
        ++out.Reads;
        out.Last = r.Status;
        out.Data.insert(out.Data.end(), buffer.begin(), buffer.begin() + r.Length);
        if (r.Status != TransferStatus::Ok) {
            return out;
        }
    }
}

struct FrameCase {
    const char* Name;
    std::uint32_t Width;
    std::uint32_t Height;
    std::size_t Piece; // bytes per BulkIn call: a packet or a whole URB
    std::size_t ExpectedReads;
};

class CameraFrames : public ::testing::TestWithParam<FrameCase> {};

TEST_P(CameraFrames, ReadoutIsTheWholeFrameThenAShortEndThenNothing) {
    const FrameCase& c = GetParam();
    Rig rig;
    rig.Config.FrameWidth = c.Width;
    rig.Config.FrameHeight = c.Height;
    Camera& cam = rig.BuildRunning();
    std::array<std::uint8_t, 512> probe{};
    EXPECT_EQ(cam.BulkIn(kImageEndpoint, probe).Status, TransferStatus::Nak) << "no frame yet";

    ASSERT_EQ(rig.Command(kCommandStartFrame).Status, TransferStatus::Ok);
    ASSERT_EQ(rig.Command(kCommandEndFrame).Status, TransferStatus::Ok);
    const Readout frame = ReadFrame(cam, c.Piece);
    EXPECT_EQ(frame.Last, TransferStatus::Short);
    EXPECT_EQ(frame.Reads, c.ExpectedReads);
    ASSERT_EQ(frame.Data.size(), 2ull * c.Width * c.Height);
    EXPECT_TRUE(IsFrame(frame.Data, 0, 0));
    EXPECT_EQ(cam.Counters().FramesCompleted, 1u);

    EXPECT_EQ(cam.BulkIn(kImageEndpoint, probe).Status, TransferStatus::Nak);
    EXPECT_EQ(cam.BulkIn(kImageEndpoint, probe).Status, TransferStatus::Nak);

    rig.Command(kCommandStartFrame);
    const Readout next = ReadFrame(cam, c.Piece);
    EXPECT_TRUE(IsFrame(next.Data, 1, 0)) << "the next frame carries the next number";
}

INSTANTIATE_TEST_SUITE_P(
    Sizes, CameraFrames,
    ::testing::Values(
        // 2,457,600 bytes, 4800 packets exactly: the end is a zero-length packet.
        FrameCase{"default_by_packet", 1280, 960, 512, 4801},
        // 37 whole URBs and a short one of 32,768: no zero-length packet reaches a URB.
        FrameCase{"default_by_urb", 1280, 960, 65536, 38},
        // 1000 bytes: the last packet, 488 bytes, is short by itself.
        FrameCase{"small_by_packet", 25, 20, 512, 2},
        FrameCase{"small_by_odd_piece", 25, 20, 7, 143}, FrameCase{"empty_frame", 0, 960, 512, 1}),
    [](const auto& info) { return std::string(info.param.Name); });

TEST(CameraFrames, ReadThatTakesExactlyTheRestLeavesTheEndPacketForTheNextRead) {
    Rig rig;
    rig.Config.FrameWidth = 256; // 512 bytes a line
    rig.Config.FrameHeight = 2;
    Camera& cam = rig.BuildRunning();
    rig.Command(kCommandStartFrame);
    std::vector<std::uint8_t> all(1024);
    EXPECT_EQ(cam.BulkIn(kImageEndpoint, all).Status, TransferStatus::Ok);
    EXPECT_TRUE(cam.Frame().EndPending);
    std::vector<std::uint8_t> more(512);
    const TransferResult end = cam.BulkIn(kImageEndpoint, more);
    EXPECT_EQ(end.Status, TransferStatus::Short);
    EXPECT_EQ(end.Length, 0u);
    EXPECT_EQ(cam.BulkIn(kImageEndpoint, more).Status, TransferStatus::Nak);
}

TEST(CameraFrames, EndCommandDoesNotCutAndStartCommandDropsTheRest) {
    Rig rig;
    Camera& cam = rig.BuildRunning();
    rig.Command(kCommandStartFrame);
    std::vector<std::uint8_t> piece(4096);
    ASSERT_EQ(cam.BulkIn(kImageEndpoint, piece).Status, TransferStatus::Ok);

    rig.Command(kCommandEndFrame);
    ASSERT_EQ(cam.BulkIn(kImageEndpoint, piece).Status, TransferStatus::Ok);
    EXPECT_TRUE(IsFrame(piece, 0, 4096)) << "command 3 changes nothing";

    rig.Command(kCommandStartFrame);
    ASSERT_EQ(cam.BulkIn(kImageEndpoint, piece).Status, TransferStatus::Ok);
    EXPECT_TRUE(IsFrame(piece, 1, 0)) << "a new frame from its first byte";
    EXPECT_EQ(cam.Counters().FramesAbandoned, 1u);
    EXPECT_EQ(cam.Frame().Number, 1u);
}

TEST(CameraFrames, OtherCommandsAndOtherLengthsAreIgnoredAndCounted) {
    Rig rig;
    Camera& cam = rig.BuildRunning();
    const std::pair<std::uint8_t, std::size_t> ignored[] = {
        {2, 63}, {2, 65}, {2, 0}, {0, 64}, {9, 64}};
    for (const auto& [command, length] : ignored) {
        EXPECT_EQ(rig.Command(command, length).Status, TransferStatus::Ok) << "taken, not stalled";
    }
    EXPECT_FALSE(cam.Frame().Active);
    EXPECT_EQ(cam.Counters().MalformedCommands, 3u);
    EXPECT_EQ(cam.Counters().UnknownCommands, 2u);
    EXPECT_EQ(cam.Counters().FramesStarted, 0u);
}

TEST(CameraFrames, WithoutTheCameraProgramDataEndpointsNak) {
    Rig rig;
    rig.Build();
    rig.Control(Req(0x00, 9, 1, 0, 0)); // the bare chip's bulk pair
    std::array<std::uint8_t, 64> buffer{};
    EXPECT_EQ(rig.Command(kCommandStartFrame).Status, TransferStatus::Nak);
    EXPECT_EQ(rig.Cam->BulkIn(0x81, buffer).Status, TransferStatus::Nak);
    EXPECT_EQ(rig.Cam->BulkIn(kImageEndpoint, buffer).Status, TransferStatus::NoHandshake);
    EXPECT_EQ(rig.Cam->BulkIn(kCommandEndpoint, buffer).Status, TransferStatus::NoHandshake)
        << "direction is part of the endpoint";
}

// --- Status packets ---------------------------------------------------------------------------

TEST(CameraStatus, OtherInEndpointsReportTheFrameState) {
    Rig rig;
    Camera& cam = rig.BuildRunning();
    rig.Command(kCommandStartFrame);
    std::vector<std::uint8_t> piece(1000);
    cam.BulkIn(kImageEndpoint, piece);
    rig.Command(7);

    std::array<std::uint8_t, 512> status{};
    const TransferResult r = cam.BulkIn(kStatusEndpoint, status);
    EXPECT_EQ(r.Status, TransferStatus::Short);
    EXPECT_EQ(r.Length, kStatusPacketBytes);
    auto u32 = [&](std::uint32_t at) {
        return IsoPacketSequence(std::span(status).subspan(at, 4));
    };
    EXPECT_EQ(status[StatusPacketLayout::Program],
              static_cast<std::uint8_t>(RunningProgram::Camera));
    EXPECT_EQ(status[StatusPacketLayout::Flags], 1);
    EXPECT_EQ(status[StatusPacketLayout::LastCommand], 7);
    EXPECT_EQ(u32(StatusPacketLayout::FramesStarted), 1u);
    EXPECT_EQ(u32(StatusPacketLayout::BytesLeft), cam.FrameBytes() - 1000);
    EXPECT_EQ(u32(StatusPacketLayout::IgnoredCommands), 1u);
}

TEST(CameraStatus, CommandEndpointDeclaredInAnswersWithStatus) {
    // A test's descriptors with an interrupt IN endpoint at pipe 0: the driver then reads its
    // "command" transfer from the device.
    // clang-format off
    const std::uint8_t set[] = {9, 2, 39, 0, 1, 1, 0, 0x80, 50,
                                9, 4, 0, 0, 3, 0xFF, 0, 0, 0,
                                7, 5, 0x81, 3, 64, 0, 1,
                                7, 5, 0x02, 2, 0, 2, 0,
                                7, 5, 0x86, 2, 0, 2, 0};
    // clang-format on
    Rig rig;
    rig.Config.Own.Configuration = set;
    Camera& cam = rig.BuildRunning();
    std::array<std::uint8_t, 64> packet{};
    const TransferResult r = cam.BulkIn(0x81, packet);
    EXPECT_EQ(r.Status, TransferStatus::Ok);
    EXPECT_EQ(r.Length, 64u);
    std::array<std::uint8_t, 64> command{2};
    EXPECT_EQ(cam.BulkOut(0x02, command).Status, TransferStatus::Ok);
    EXPECT_FALSE(cam.Frame().Active) << "pipe 1 is not the command endpoint";
}

// --- Isochronous stream -----------------------------------------------------------------------

TEST(CameraIso, PacketsCarryConsecutiveSequenceNumbersAndThePattern) {
    struct Case {
        std::uint8_t Alternate;
        std::size_t Asked;
        std::uint32_t Expected;
    };
    const Case cases[] = {
        {0, 1024, 1024}, {0, 3072, 1024}, {2, 3072, 3072}, {2, 100, 100}, {2, 3, 3}};
    Rig rig;
    Camera& cam = rig.BuildRunning();
    std::uint32_t sequence = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message() << "alt " << int(c.Alternate) << " asked " << c.Asked);
        rig.Control(Req(0x01, 11, c.Alternate, 0, 0));
        for (int k = 0; k < 3; ++k) {
            std::vector<std::uint8_t> packet(c.Asked);
            const TransferResult r = cam.IsoIn(kIsoEndpoint, packet);
            ASSERT_EQ(r.Status, TransferStatus::Ok);
            ASSERT_EQ(r.Length, c.Expected);
            std::vector<std::uint8_t> expected(c.Expected);
            FillIsoPacket(kIsoEndpoint, sequence, expected);
            packet.resize(r.Length);
            EXPECT_EQ(packet, expected);
            if (r.Length >= 4) {
                EXPECT_EQ(IsoPacketSequence(packet), sequence);
            }
            ++sequence;
        }
    }
    EXPECT_EQ(cam.NextIsoSequence(kIsoEndpoint), sequence);
}

TEST(CameraIso, NoPacketWithoutProgramOrEndpointAndStallWhenHalted) {
    Rig rig;
    Camera& cam = rig.BuildRunning();
    std::array<std::uint8_t, 1024> packet{};
    EXPECT_EQ(cam.IsoIn(kIsoEndpoint, std::span(packet).first(0)).Length, 0u);
    EXPECT_EQ(cam.NextIsoSequence(kIsoEndpoint), 0u) << "an empty request uses no number";
    EXPECT_EQ(cam.IsoIn(kImageEndpoint, packet).Status, TransferStatus::NoHandshake);
    cam.SetHalt(kIsoEndpoint);
    EXPECT_EQ(cam.IsoIn(kIsoEndpoint, packet).Status, TransferStatus::Stall);
    cam.ClearHalt(kIsoEndpoint);
    rig.Control(Req(0x01, 11, 1, 0, 0));
    EXPECT_EQ(cam.IsoIn(kIsoEndpoint, packet).Status, TransferStatus::NoHandshake) << "alt 1";
    rig.Control(Req(0x01, 11, 0, 0, 0));
    rig.Cpucs(1);
    EXPECT_EQ(cam.IsoIn(kIsoEndpoint, packet).Status, TransferStatus::Nak);
    EXPECT_EQ(cam.NextIsoSequence(kIsoEndpoint), 0u);
}

TEST(CameraIso, OutEndpointsTakeEverything) {
    // clang-format off
    const std::uint8_t set[] = {9, 2, 25, 0, 1, 1, 0, 0x80, 50,
                                9, 4, 0, 0, 1, 0xFF, 0, 0, 0,
                                7, 5, 0x04, 1, 0, 4, 1};
    // clang-format on
    Rig rig;
    rig.Config.Own.Configuration = set;
    Camera& cam = rig.BuildRunning();
    std::array<std::uint8_t, 900> packet{};
    EXPECT_EQ(cam.IsoOut(0x04, packet).Length, 900u);
    EXPECT_EQ(cam.IsoIn(0x84, packet).Status, TransferStatus::NoHandshake);
    EXPECT_EQ(cam.Counters().SinkBytes, 900u);
}

} // namespace
} // namespace sim::testing
