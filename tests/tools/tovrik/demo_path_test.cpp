// The main command's path without the script: the built tool, run as scripts/demo.sh runs it
// (a camera without firmware brought up, one human shell, a chunked capture and a stream), on
// a fast clock. The picture it leaves must be the camera's first frame.
//
// The clock runs 20 times faster, not 1000: with the bus paced as USB 2.0 high speed, a frame
// takes 46 ms of camera time to move, and at 1000 times the driver's 3 s limit would end the
// read before the simulated controller, which cannot keep such a pace, has moved it.
#include "camera/camera.h"
#include "png_decode.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;

Bytes Slurp(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

struct Outcome {
    int Exit = -1;
    std::string Out;
};

Outcome RunShell(const fs::path& dir, const std::string& lines) {
    std::ofstream(dir / "lines") << lines;
    std::string command = std::string("'") + TOVRIK_TOOL +
                          "' --sim-clock-scale 20 --sim-timing high-speed shell --human < '" +
                          (dir / "lines").string() + "' > '" + (dir / "stdout").string() + "' 2>&1";
    int status = std::system(command.c_str());
    std::ifstream out(dir / "stdout");
    std::stringstream text;
    text << out.rdbuf();
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, text.str()};
}

class DemoPath : public ::testing::Test {
  protected:
    void SetUp() override {
        dir_ = fs::temp_directory_path() / ("tovrik_demo_" + std::to_string(::getpid()));
        fs::remove_all(dir_);
        fs::create_directories(dir_);
    }
    void TearDown() override { fs::remove_all(dir_); }
    fs::path dir_;
};

TEST_F(DemoPath, TheFrameAndTheStreamTheDemoWrites) {
    const fs::path out = dir_ / "out" / "demo";
    Outcome run =
        RunShell(dir_, "list\npipes\ncapture --method chunked --output " +
                           (out / "frame.png").string() + " --raw " + (out / "frame.raw").string() +
                           "\nstream --packets 2000 --ring 1024 --output " +
                           (out / "stream.bin").string() + "\n");
    ASSERT_EQ(run.Exit, 0) << run.Out;
    for (const char* expected : {"> capture --method chunked", "frames    1 of 1 complete",
                                 "failures  0", "packets          2000"})
        EXPECT_NE(run.Out.find(expected), std::string::npos) << expected << "\n" << run.Out;

    Bytes frame(std::size_t{sim::kDefaultFrameWidth} * sim::kDefaultFrameHeight * 2);
    sim::FillFrameBytes(0, 0, frame);
    tovrik::test::DecodedPng png = tovrik::test::ReadPng((out / "frame.png").string());
    ASSERT_TRUE(png.Ok) << "bit depth " << png.BitDepth << ", colour type " << png.ColorType;
    EXPECT_EQ(png.Width, sim::kDefaultFrameWidth);
    EXPECT_EQ(png.Height, sim::kDefaultFrameHeight);
    EXPECT_TRUE(png.LittleEndian == frame);
    EXPECT_TRUE(Slurp(out / "frame.raw") == frame);
    EXPECT_EQ(fs::file_size(out / "stream.bin"), 2000u * 1024);
}

TEST_F(DemoPath, AFailedLineMakesTheHumanShellFail) {
    // The demo script relies on the exit code to stop on a failure.
    Outcome run = RunShell(dir_, "capture --height 961\nversion\n");
    EXPECT_EQ(run.Exit, 1) << run.Out;
    EXPECT_NE(run.Out.find("came short"), std::string::npos) << run.Out;
    EXPECT_NE(run.Out.find("> version"), std::string::npos)
        << run.Out; // the lines after it still ran
    EXPECT_EQ(RunShell(dir_, "frobnicate\n").Exit, 1);
}

} // namespace
