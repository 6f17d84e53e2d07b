// capture, iso and stream in one process: the tool's shell against a world the test opened, so
// a test can check what the commands wrote against the camera model's own patterns, arm faults,
// and put the host kernel's clock back to real time for the stream.
#include "camera/camera.h"
#include "cli.h"
#include "host/host_kernel.h"
#include "packets.h"
#include "png_decode.h"
#include "tovrik/sdk.hpp"

#include <nlohmann/json.hpp>

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <sstream>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

namespace fs = std::filesystem;
using Json = nlohmann::json;
using Bytes = std::vector<std::uint8_t>;

constexpr std::uint32_t kWidth = sim::kDefaultFrameWidth;
constexpr std::uint32_t kHeight = sim::kDefaultFrameHeight;
constexpr std::uint64_t kFrameBytes = std::uint64_t{kWidth} * kHeight * 2;
constexpr std::uint8_t kIsoEndpoint = 0x83;

Bytes Slurp(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

Bytes Frame(std::uint32_t frame, std::uint64_t bytes = kFrameBytes) {
    Bytes b(bytes);
    sim::FillFrameBytes(frame, 0, b);
    return b;
}

// The payload of consecutive packets from `first` on, each `size` bytes long.
Bytes IsoPayload(std::uint32_t first, std::uint32_t packets, std::uint32_t size) {
    Bytes b(std::size_t{packets} * size);
    for (std::uint32_t i = 0; i < packets; ++i)
        sim::FillIsoPacket(kIsoEndpoint, first + i,
                           std::span(b).subspan(std::size_t{i} * size, size));
    return b;
}

class ToolData : public ::testing::Test {
  protected:
    void Open(std::uint32_t timing = TOVRIK_SIM_TIMING_UNTHROTTLED,
              std::vector<tovrik_sim_fault> faults = {}) {
        faults_ = std::move(faults);
        tovrik_system_options o;
        tovrik_system_options_init(&o);
        o.sim_identity = TOVRIK_SIM_IDENTITY_OWN;
        // The driver's 3 s start-up wait in 30 ms; its 5 s limit for a command packet keeps
        // 50 ms of real time, room for one queued behind a whole frame on a slow build.
        o.sim_clock_scale = 100;
        o.sim_timing = timing;
        o.sim_faults = faults_.data();
        o.sim_fault_count = static_cast<std::uint32_t>(faults_.size());
        system_.emplace(tovrik::System::Open(&o));
    }
    void SetUp() override {
        dir_ = fs::temp_directory_path() / ("tovrik_data_" + std::to_string(::getpid()));
        fs::remove_all(dir_);
    }
    void TearDown() override {
        system_.reset();
        fs::remove_all(dir_);
    }
    // Runs shell lines; one JSON answer each.
    std::vector<Json> Shell(const std::string& script) {
        std::istringstream in(script);
        std::ostringstream out;
        tovrik::cli::RunShell(*system_, 0, in, out);
        std::vector<Json> answers;
        std::istringstream lines(out.str());
        for (std::string line; std::getline(lines, line);)
            answers.push_back(Json::parse(line));
        return answers;
    }
    Json One(const std::string& line) {
        auto answers = Shell(line + "\n");
        EXPECT_EQ(answers.size(), 1u);
        return answers.empty() ? Json() : answers[0];
    }
    std::string Path(const std::string& name) const { return (dir_ / name).string(); }

    std::vector<tovrik_sim_fault> faults_;
    std::optional<tovrik::System> system_;
    fs::path dir_;
};

void ExpectPngIsFrame(const std::string& path, std::uint32_t frame) {
    tovrik::test::DecodedPng png = tovrik::test::ReadPng(path);
    ASSERT_TRUE(png.Ok) << path << " bit depth " << png.BitDepth << " colour type "
                        << png.ColorType;
    EXPECT_EQ(png.Width, kWidth);
    EXPECT_EQ(png.Height, kHeight);
    // Whole vectors: a mismatch anywhere fails, and gtest does not print 2.4 MB.
    EXPECT_TRUE(png.LittleEndian == Frame(frame)) << path << " is not frame " << frame;
}

TEST_F(ToolData, ChunkedAndBulkCapturesAreTheCamerasFramesByteForByte) {
    Open();
    Json chunked = One("capture --output " + Path("c.png") + " --raw " + Path("c.raw"));
    EXPECT_EQ(chunked["status_name"], "STATUS_SUCCESS") << chunked;
    EXPECT_EQ(chunked["information"], kFrameBytes);
    EXPECT_EQ(chunked["output"], ""); // the frame is in the files, not in the answer
    EXPECT_EQ(chunked["frames_complete"], 1);
    EXPECT_EQ(chunked["failures"], 0);
    ASSERT_EQ(chunked["files"].size(), 2u);
    EXPECT_EQ(chunked["files"][0]["path"], Path("c.raw"));
    EXPECT_EQ(chunked["files"][0]["bytes"], kFrameBytes);
    EXPECT_EQ(chunked["files"][1]["kind"], "png");
    ExpectPngIsFrame(Path("c.png"), 0);
    EXPECT_TRUE(Slurp(Path("c.raw")) == Frame(0));

    // Frames are numbered after the first; each file holds the frame read in its turn. A new
    // folder is made on the way.
    Json bulk = One("capture --method bulk --frames 2 --output " + Path("sub/b.png") + " --raw " +
                    Path("sub/b.raw"));
    EXPECT_EQ(bulk["status_name"], "STATUS_SUCCESS") << bulk;
    EXPECT_EQ(bulk["bytes"], 2 * kFrameBytes);
    EXPECT_EQ(bulk["frames_complete"], 2);
    ExpectPngIsFrame(Path("sub/b-0001.png"), 1);
    ExpectPngIsFrame(Path("sub/b-0002.png"), 2);
    EXPECT_TRUE(Slurp(Path("sub/b-0002.raw")) == Frame(2));
    EXPECT_FALSE(fs::exists(Path("sub/b.png")));
}

TEST_F(ToolData, AFrameThatEndsShortIsAFailureWithItsBytesKept) {
    Open();
    // One row more than the camera sends: the read ends short at the frame's end.
    for (const char* method : {"chunked", "bulk"}) {
        SCOPED_TRACE(method);
        fs::remove_all(dir_);
        Json j = One(std::string("capture --method ") + method + " --height 961 --output " +
                     Path("s.png") + " --raw " + Path("s.raw"));
        EXPECT_EQ(j["status_name"], "STATUS_SUCCESS") << j; // every request went through
        EXPECT_EQ(j["failures"], 1);
        EXPECT_EQ(j["frames_complete"], 0);
        EXPECT_EQ(j["frame_results"][0]["bytes"], kFrameBytes);
        EXPECT_NE(j.value("error", "").find("came short"), std::string::npos) << j;
        EXPECT_FALSE(fs::exists(Path("s.png"))); // not a picture
        EXPECT_EQ(Slurp(Path("s.raw")).size(), kFrameBytes);
    }
    // A smaller geometry reads the start of the next frame and makes a picture of it.
    Json small = One("capture --width 64 --height 4 --output " + Path("small.png"));
    EXPECT_EQ(small["failures"], 0) << small;
    tovrik::test::DecodedPng png = tovrik::test::ReadPng(Path("small.png"));
    ASSERT_TRUE(png.Ok);
    EXPECT_EQ(png.Width, 64u);
    EXPECT_TRUE(png.LittleEndian == Frame(2, 64 * 4 * 2));
}

TEST_F(ToolData, CaptureRefusesWhatCannotWork) {
    Open();
    auto answers = Shell("capture --frames 0\n"
                         "capture --width 65536 --height 65536\n"
                         "capture --method iso\n"
                         "capture --pipe 3\n"
                         "capture --method bulk --width 2048 --height 1024\n");
    ASSERT_EQ(answers.size(), 5u);
    for (int i = 0; i < 3; ++i)
        EXPECT_TRUE(answers[i].contains("error")) << answers[i];
    EXPECT_EQ(answers[3]["status_name"], "STATUS_INVALID_PARAMETER"); // not a bulk pipe
    EXPECT_EQ(answers[3]["failures"], 1);
    // 4 MiB is above the image pipe's largest single transfer; the chunked read has no such limit.
    EXPECT_EQ(answers[4]["status_name"], "STATUS_INVALID_PARAMETER");
}

TEST_F(ToolData, IsoCountsPacketsErrorsAndShortPackets) {
    tovrik_sim_fault error{};
    error.kind = TOVRIK_SIM_FAULT_PACKET_ERROR;
    error.urb_function = TOVRIK_SIM_ANY_FUNCTION;
    error.endpoint = kIsoEndpoint;
    error.skip = 2; // the third URB
    error.times = 1;
    error.packet = 5;
    Open(TOVRIK_SIM_TIMING_UNTHROTTLED, {error});

    Json j = One("iso --pipe 3 --packet-size 1024 --packets 64 --per-urb 8 --urbs 4 --output " +
                 Path("iso.bin"));
    EXPECT_EQ(j["status_name"], "STATUS_SUCCESS") << j;
    EXPECT_EQ(j["information"], 0); // the driver reports none for this code
    EXPECT_EQ(j["packets"], 64);
    EXPECT_EQ(j["error_packets"], 1);
    ASSERT_EQ(j["errors"].size(), 1u);
    EXPECT_EQ(j["errors"][0]["usbd_status_name"], "USBD_STATUS_XACT_ERROR");
    EXPECT_EQ(j["short_packets"], 0);
    EXPECT_EQ(j["lost_sequence_numbers"], 1) << j; // the failed packet's number

    // Without a fault every packet is whole and no number is missing; the file holds exactly
    // the packets' bytes, each packet the camera's packet of its number. (The order of the
    // URBs' completions is the bus's business, so the packets are checked one by one.)
    j = One("iso --packets 32 --per-urb 8 --urbs 2 --output " + Path("iso.bin"));
    EXPECT_EQ(j["packets"], 32);
    EXPECT_EQ(j["bytes"], 32 * 1024);
    EXPECT_EQ(j["error_packets"], 0);
    EXPECT_EQ(j["lost_sequence_numbers"], 0) << j;
    Bytes payload = Slurp(Path("iso.bin"));
    ASSERT_EQ(payload.size(), 32u * 1024);
    std::vector<std::uint32_t> numbers;
    for (std::size_t p = 0; p < 32; ++p) {
        std::span<const std::uint8_t> packet(payload.data() + p * 1024, 1024);
        numbers.push_back(sim::IsoPacketSequence(packet));
        EXPECT_TRUE(Bytes(packet.begin(), packet.end()) == IsoPayload(numbers.back(), 1, 1024))
            << "packet " << p;
    }
    std::sort(numbers.begin(), numbers.end());
    for (std::size_t p = 1; p < numbers.size(); ++p)
        EXPECT_EQ(numbers[p], numbers[0] + p);
    EXPECT_EQ(j["files"][0]["bytes"], 32 * 1024);

    // Packets larger than the endpoint's 1024 bytes come short.
    j = One("iso --packet-size 1500 --packets 8 --per-urb 8 --urbs 1");
    EXPECT_EQ(j["short_packets"], 8) << j;
    EXPECT_EQ(j["bytes"], 8 * 1024);

    // The driver's own checks come back as statuses: 60 packets are not whole URB rounds.
    EXPECT_EQ(One("iso --packets 60 --per-urb 8 --urbs 4")["status_name"],
              "STATUS_INVALID_PARAMETER");
    EXPECT_EQ(One("iso --pipe 2")["status_name"], "STATUS_INVALID_PARAMETER");
    EXPECT_TRUE(One("iso --packets 4000000 --packet-size 4096")
                    .contains("error")); // 16 GB is refused before any request
}

TEST(ToolPacketStats, MissingNumbersWhateverTheOrderAcrossTheWrap) {
    tovrik::cli::PacketStats stats;
    auto packet = [&](std::uint32_t sequence, std::uint32_t length, std::int32_t status = 0) {
        Bytes place(16, 0);
        for (int i = 0; i < 4; ++i)
            place[i] = static_cast<std::uint8_t>(sequence >> (8 * i));
        stats.Add(ISO_PACKET_DESCRIPTOR{0, length, status}, place);
    };
    packet(0xFFFFFFFE, 16);
    packet(0xFFFFFFFF, 16);
    packet(0, 16);                                       // wraps without a gap
    packet(3, 16);                                       // 1 and 2 missing
    packet(9, 0, static_cast<std::int32_t>(0xC0000011)); // an error carries no number
    packet(5, 8);                                        // short
    packet(4, 16);                                       // came late: out of order, not lost
    packet(7, 2);                                        // too short to carry a number
    packet(10, 40); // a length past its place counts the place only
    EXPECT_EQ(stats.Packets, 9u);
    EXPECT_EQ(stats.SequenceGaps, 3u); // 0 → 3, 3 → 5, 4 → 10
    EXPECT_EQ(stats.OutOfOrder, 1u);
    EXPECT_EQ(stats.LostSequenceNumbers(), 6u); // 1, 2, 6, 7, 8, 9
    EXPECT_EQ(stats.ErrorPackets(), 1u);
    EXPECT_EQ(stats.ShortPackets, 2u);
    EXPECT_EQ(stats.Bytes, 16u * 6 + 8 + 2);
    EXPECT_EQ(*stats.FirstSequence, 0xFFFFFFFEu);
    EXPECT_EQ(*stats.LastSequence, 10u);

    // A reordered transfer loses nothing.
    tovrik::cli::PacketStats shuffled;
    for (std::uint32_t sequence : {8u, 9u, 10u, 11u, 0u, 1u, 2u, 3u, 4u, 5u, 6u, 7u}) {
        Bytes place{static_cast<std::uint8_t>(sequence), 0, 0, 0};
        shuffled.Add(ISO_PACKET_DESCRIPTOR{0, 4, 0}, place);
    }
    EXPECT_EQ(shuffled.LostSequenceNumbers(), 0u);
    EXPECT_EQ(shuffled.OutOfOrder, 1u);
}

TEST_F(ToolData, StreamAtRealTimeDeliversEveryPacketInOrder) {
    Open(TOVRIK_SIM_TIMING_HIGH_SPEED);
    // The camera sends one packet per 125 us microframe; at real time a reader polling every
    // millisecond keeps up with a ring of 256 packets, and 16 URBs of 16 packets keep 32 ms
    // queued. A loaded machine may still hold the completion path back longer than that: then
    // the bus loses packets, as a real one would, and the tool must say where each went.
    host::Clock::SetScale(1);
    Json j = One("stream --packets 2000 --ring 256 --urbs 16 --per-urb 16 --poll-ms 1 --output " +
                 Path("stream.bin"));
    host::Clock::SetScale(100);
    EXPECT_EQ(j["status_name"], "STATUS_SUCCESS") << j;
    EXPECT_EQ(j["packets"], 2000);
    EXPECT_EQ(j["bytes"], 2000 * 1024);
    EXPECT_EQ(j["information"], 2000 * 1024);
    EXPECT_EQ(j["error_packets"], 0);
    EXPECT_EQ(j["out_of_order"], 0);
    EXPECT_EQ(j["stream_ended"], true);
    EXPECT_LE(j["missing_sequence_numbers"].get<std::uint64_t>(),
              j["lost_on_bus"].get<std::uint64_t>() + j["ring_full_drops"].get<std::uint64_t>())
        << "every missing packet is one the bus lost or one a full ring dropped: " << j;
    // Each packet is the camera's packet of the number it carries, in order.
    const Bytes payload = Slurp(Path("stream.bin"));
    ASSERT_EQ(payload.size(), 2000u * 1024);
    std::uint32_t previous = 0;
    for (std::uint32_t p = 0; p < 2000; ++p) {
        const auto packet = std::span(payload).subspan(std::size_t{p} * 1024, 1024);
        const std::uint32_t sequence = sim::IsoPacketSequence(packet);
        EXPECT_TRUE(Bytes(packet.begin(), packet.end()) == IsoPayload(sequence, 1, 1024)) << p;
        if (p > 0) {
            EXPECT_GT(sequence, previous) << p;
        }
        previous = sequence;
    }
    if (j["missing_sequence_numbers"] == 0) {
        std::uint32_t first = j["first_sequence"];
        EXPECT_EQ(j["last_sequence"], first + 1999);
    }
}

TEST_F(ToolData, OneUrbAtATimeLosesPacketsOnTheBusNotInTheRing) {
    Open(TOVRIK_SIM_TIMING_HIGH_SPEED);
    // One URB of 8 packets: its completion comes after its last microframe, and the URB it
    // sends again is served no sooner than the microframe after that, so every turn loses at
    // least one packet on the bus. The ring is large enough that nothing is dropped there.
    host::Clock::SetScale(1);
    Json j = One("stream --packets 400 --ring 8192 --urbs 1 --per-urb 8");
    host::Clock::SetScale(100);
    EXPECT_EQ(j["status_name"], "STATUS_SUCCESS") << j;
    EXPECT_EQ(j["packets"], 400);
    EXPECT_GE(j["missing_sequence_numbers"].get<std::uint64_t>(), 400u / 8 - 1) << j;
    // The bus also counts what it lost before the URB in flight at the stop, whose packets the
    // driver discards as the stream ends.
    EXPECT_GE(j["lost_on_bus"].get<std::uint64_t>(), j["missing_sequence_numbers"]) << j;
    EXPECT_EQ(j["ring_full_drops"], 0) << j;

    std::istringstream in("stream --packets 40 --ring 8192 --urbs 1 --per-urb 8\n");
    std::ostringstream out;
    host::Clock::SetScale(1);
    tovrik::cli::RunShell(*system_, 0, in, out, {.Human = true});
    host::Clock::SetScale(100);
    const std::string human = out.str();
    EXPECT_NE(human.find("lost on the bus: "), std::string::npos) << human;
    EXPECT_NE(human.find("; dropped because the ring was full: 0"), std::string::npos) << human;
}

TEST_F(ToolData, StreamForATimeAndOneAfterAnother) {
    Open(TOVRIK_SIM_TIMING_UNTHROTTLED);
    // Kernel time: half a second of the camera's clock, a millisecond of ours.
    Json timed = One("stream --seconds 0.5 --ring 64 --per-urb 8 --urbs 4");
    EXPECT_EQ(timed["status_name"], "STATUS_SUCCESS") << timed;
    EXPECT_GE(timed["kernel_seconds"].get<double>(), 0.5);
    EXPECT_GE(timed["reads"].get<std::uint64_t>(),
              1u); // how many packets half a real millisecond brings is the scheduler's call
    EXPECT_EQ(timed["stream_ended"], true);
    // The stop waited for the driver to let the stream go, so the next one starts at once.
    Json next = One("stream --packets 100 --ring 64 --read 16");
    EXPECT_EQ(next["status_name"], "STATUS_SUCCESS") << next;
    EXPECT_EQ(next["packets"], 100);
    EXPECT_GE(next["reads"].get<std::uint64_t>(), 7u); // at most 16 a read

    auto refused = Shell("stream --packets 10 --seconds 1\n"
                         "stream --ring 16 --read 17\n"
                         "stream --pipe 2\n");
    ASSERT_EQ(refused.size(), 3u);
    EXPECT_TRUE(refused[0].contains("error"));
    EXPECT_TRUE(refused[1].contains("error"));
    EXPECT_EQ(refused[2]["status_name"], "STATUS_INVALID_PARAMETER"); // start refused
}

TEST_F(ToolData, AShellSessionMixesTheDataCommandsWithTheOthers) {
    Open();
    auto answers = Shell("pipes\n"
                         "capture --output " +
                         Path("f.png") +
                         "\n"
                         "iso --packets 16 --per-urb 8 --urbs 2\n"
                         "stream --packets 64 --ring 32 --output " +
                         Path("s.bin") +
                         "\n"
                         "set-interface 0 2\n"
                         "iso --packet-size 3072 --packets 16 --per-urb 8 --urbs 2\n"
                         "set-interface 0 0\n"
                         "capture\n"
                         "version\n");
    ASSERT_EQ(answers.size(), 9u);
    for (const Json& a : answers) {
        EXPECT_EQ(a["status_name"], "STATUS_SUCCESS") << a;
        for (const char* field : {"status", "information", "output"})
            EXPECT_TRUE(a.contains(field)) << a;
    }
    EXPECT_EQ(answers[1]["output"], "");
    EXPECT_EQ(answers[1]["files"][0]["path"], Path("f.png"));
    ExpectPngIsFrame(Path("f.png"), 0);
    EXPECT_EQ(answers[3]["files"][0]["bytes"], 64 * 1024);
    // The high-bandwidth setting carries three 1024-byte transactions per microframe.
    EXPECT_EQ(answers[5]["bytes"], 16 * 3072) << answers[5];
    EXPECT_EQ(answers[5]["short_packets"], 0);
    EXPECT_EQ(answers[7]["frames_complete"], 1);
}

TEST_F(ToolData, AShellKeepsItsCameraOpenSoAStreamOutlivesTheLineThatStartedIt) {
    Open();
    // START {pipe 3, 1024, ring 64, 8 per URB, 4 URBs}; READ of 4 packets; STOP; READ again.
    auto answers = Shell("ioctl IOCTL_TOVRIK_START_ISO_STREAM --in "
                         "0300000000040000400000000800000004000000\n"
                         "ioctl IOCTL_TOVRIK_READ_ISO_STREAM --in "
                         "0000000000040000040000000000000000000000 --out-len 4144\n"
                         "ioctl IOCTL_TOVRIK_STOP_ISO_STREAM\n"
                         "ioctl IOCTL_TOVRIK_READ_ISO_STREAM --in "
                         "0000000000040000040000000000000000000000 --out-len 4144\n");
    ASSERT_EQ(answers.size(), 4u);
    EXPECT_EQ(answers[0]["status_name"], "STATUS_SUCCESS") << answers[0];
    // The stream the first line started is still there: the handle stayed open.
    EXPECT_EQ(answers[1]["status_name"], "STATUS_SUCCESS") << answers[1];
    EXPECT_EQ(answers[2]["status_name"], "STATUS_SUCCESS") << answers[2];
    // The stop returned once the stream was gone.
    EXPECT_EQ(answers[3]["status_name"], "STATUS_UNSUCCESSFUL") << answers[3];
}

TEST_F(ToolData, TheBusLossesOfAStreamAreThoseOfItsOwnCamera) {
    tovrik_system_options o;
    tovrik_system_options_init(&o);
    o.sim_cameras = 2;
    o.sim_identity = TOVRIK_SIM_IDENTITY_OWN;
    o.sim_clock_scale = 100;
    o.sim_timing = TOVRIK_SIM_TIMING_HIGH_SPEED;
    system_.emplace(tovrik::System::Open(&o));
    ASSERT_EQ(system_->Cameras().size(), 2u);

    // Camera 1 streams with one URB in flight, so its bus drops a packet at every turn, while
    // the tool streams from camera 0 with four.
    tovrik::Device other = system_->OpenCamera(1);
    host::Clock::SetScale(1);
    ASSERT_EQ(other.StartIsoStream({3, 1024, 8192, 8, 1}).status, 0);
    auto lost = [this](std::uint32_t camera) {
        return system_->BusCounters(kIsoEndpoint, camera).value().lost_packets;
    };
    const std::uint64_t before0 = lost(0), before1 = lost(1);
    Json j = One("stream --packets 400 --ring 8192 --urbs 4 --per-urb 8");
    const std::uint64_t after0 = lost(0), after1 = lost(1);
    EXPECT_EQ(other.StopIsoStream().status, 0);
    host::Clock::SetScale(100);

    EXPECT_EQ(j["status_name"], "STATUS_SUCCESS") << j;
    ASSERT_GT(after1, before1); // the other camera did lose packets meanwhile
    // What the tool puts on the bus's account is what camera 0's bus lost, not the other's.
    EXPECT_EQ(j["lost_on_bus"], after0 - before0) << j;
}

} // namespace
