// The built tool as scripts use it: a shell session in one world, `info` for people, and the
// exit codes. The world runs its clock 1000 times faster than real time.
#include <nlohmann/json.hpp>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

namespace fs = std::filesystem;
using Json = nlohmann::json;

struct Outcome {
    int Exit = -1;
    std::string Out;
    std::string Err;
};

std::string Slurp(const fs::path& p) {
    std::ifstream in(p);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

// Runs the tool with `arguments` (shell words, already quoted) and `input` on standard input.
Outcome Tool(const std::string& arguments, const std::string& input = "") {
    fs::path dir = fs::temp_directory_path() / ("tovrik_run_" + std::to_string(::getpid()));
    fs::create_directories(dir);
    std::ofstream(dir / "in") << input;
    std::string command = std::string("'") + TOVRIK_TOOL + "' " + arguments + " < '" +
                          (dir / "in").string() + "' > '" + (dir / "out").string() + "' 2> '" +
                          (dir / "err").string() + "'";
    int status = std::system(command.c_str());
    Outcome run{WIFEXITED(status) ? WEXITSTATUS(status) : -1, Slurp(dir / "out"),
                Slurp(dir / "err")};
    fs::remove_all(dir);
    return run;
}

// A hundred times real time: the driver's 5 s limit on a control transfer keeps 50 ms of real
// time for a loaded machine's late wake-ups.
const std::string kWorld = "--sim-clock-scale 100 ";

struct Step {
    std::string Line;
    std::string Expect; // a status name, or "error" for a line the shell refuses
};

TEST(ToolShell, AnswersEveryLineWithOneJsonObject) {
    const std::vector<Step> steps = {
        {"version", "STATUS_SUCCESS"},
        {"pipes", "STATUS_SUCCESS"},
        {"descriptor", "STATUS_SUCCESS"},
        {"configuration", "STATUS_SUCCESS"},
        {"string 0", "STATUS_SUCCESS"},
        {"string 2", "STATUS_SUCCESS"},
        {"last-error", "STATUS_SUCCESS"},
        {"string 9", "STATUS_UNSUCCESSFUL"},
        {"control 0x55 --type class", "STATUS_UNSUCCESSFUL"},
        {"last-error", "STATUS_SUCCESS"},
        {"ram write 0x3000 \"de ad be ef\"", "STATUS_SUCCESS"},
        {"vendor 0xA0 --value 0x3000 --length 4", "STATUS_SUCCESS"},
        {"vendor 0xA0 --value 0x3100 --length 3 --out", "STATUS_SUCCESS"},
        {"vendor 0xA0 --value 0x3100 --length 3", "STATUS_SUCCESS"},
        {"ram download 00112233", "STATUS_SUCCESS"},
        {"reset-pipe 0", "STATUS_SUCCESS"},
        {"reset-pipe 4", "STATUS_INVALID_PARAMETER"},
        {"abort-pipe 2", "STATUS_SUCCESS"},
        {"abort-pipe 0xFFFFFFFF", "STATUS_INVALID_PARAMETER"},
        {"reset-port", "STATUS_SUCCESS"},
        {"set-interface 0 1", "STATUS_SUCCESS"},
        {"pipes", "STATUS_SUCCESS"},
        {"set-interface 0 9", "STATUS_UNSUCCESSFUL"},
        {"set-interface 0 0", "STATUS_SUCCESS"},
        {"feature 1", "STATUS_SUCCESS"},
        {"timeout 5000", "STATUS_SUCCESS"},
        {"timeout 1 --selector 2", "STATUS_SUCCESS"},
        {"noop", "STATUS_SUCCESS"},
        {"ioctl IOCTL_TOVRIK_GET_DRIVER_VERSION --out-len 6", "STATUS_SUCCESS"},
        {"ioctl 0x222074 --out-len 5", "STATUS_UNSUCCESSFUL"},
        {"ioctl 0x22200C --out-len 16", "STATUS_INVALID_PARAMETER"},
        {"ioctl 0x222001 --out-len 200", "STATUS_INVALID_PARAMETER"},
        {"ioctl GET_FRAME_NUMBER --out-len 3", "STATUS_INVALID_PARAMETER"},
        {"ioctl IOCTL_TOVRIK_GET_STRING_DESCRIPTOR --in 0200090400 --out-len 64",
         "STATUS_INVALID_PARAMETER"},
        {"--device 5 version", "STATUS_OBJECT_NAME_NOT_FOUND"},
        {"list", "STATUS_SUCCESS"},
        {"info", "STATUS_SUCCESS"},
        {"frobnicate", "error"},
        {"reset-pipe", "error"},
        {"reset-pipe lots", "error"},
        {"ram write 0x3000 xyz", "error"},
        {"ioctl IOCTL_TOVRIK_NOTHING", "error"},
        {"vendor 0xA0 --in --out", "error"},
        {"timeout 99999999999", "error"},
        {"shell", "error"},
        {"version", "STATUS_SUCCESS"},
        // The control code's buffer is read-only to the driver: no data comes back through it.
        {"control 0xA0 --type vendor --recipient device --value 0x3100 --length 3",
         "STATUS_INVALID_PARAMETER"},
        {"control 0xA0 --type vendor --recipient device --value 0x3100 --data 010203",
         "STATUS_SUCCESS"},
    };
    std::string script = "# comments and blank lines get no answer\n\n";
    for (const Step& s : steps)
        script += s.Line + "\n";
    script += "exit\nversion\n"; // nothing after exit runs

    Outcome run = Tool(kWorld + "shell", script);
    ASSERT_EQ(run.Exit, 0) << run.Err;
    std::istringstream lines(run.Out);
    std::string line;
    std::size_t i = 0;
    for (; std::getline(lines, line); ++i) {
        ASSERT_LT(i, steps.size()) << "extra answer: " << line;
        SCOPED_TRACE(steps[i].Line);
        Json j = Json::parse(line); // one object per line, nothing else on it
        ASSERT_TRUE(j.is_object());
        if (steps[i].Expect == "error") {
            EXPECT_TRUE(j.contains("error")) << line;
            EXPECT_EQ(j.value("line", ""), steps[i].Line);
            continue;
        }
        ASSERT_TRUE(j.contains("status") && j.contains("status_name") &&
                    j.contains("information") && j.contains("output"))
            << line;
        EXPECT_EQ(j["status_name"], steps[i].Expect) << line;
        EXPECT_TRUE(j["information"].is_number());
        std::string status = j["status"];
        EXPECT_EQ(status.size(), 10u);
        EXPECT_EQ(status.substr(0, 2), "0x");
        std::string output = j["output"];
        EXPECT_EQ(output.find_first_not_of("0123456789abcdef"), std::string::npos);
        EXPECT_EQ(output.size() % 2, 0u);
    }
    EXPECT_EQ(i, steps.size());

    // The answers carry the command's own fields and the bytes the camera sent.
    std::istringstream again(run.Out);
    std::vector<Json> answers;
    while (std::getline(again, line))
        answers.push_back(Json::parse(line));
    ASSERT_EQ(answers.size(), steps.size());
    EXPECT_EQ(answers[0]["output"], "010001000000");
    EXPECT_EQ(answers[0]["version"], "1.1.0");
    EXPECT_EQ(answers[1]["information"], 120);
    EXPECT_EQ(answers[1]["pipe_table"]["number_of_pipes"], 4);
    EXPECT_EQ(answers[5]["text"], "Tovrik 318QX");
    EXPECT_EQ(answers[6]["usbd_status"], "0x00000000");
    EXPECT_EQ(answers[9]["usbd_status_name"], "USBD_STATUS_STALL_PID");
    EXPECT_EQ(answers[11]["output"], "deadbeef");
    EXPECT_EQ(answers[13]["output"], "000102");
    EXPECT_EQ(answers[21]["information"], 24);
    EXPECT_EQ(answers[28]["code_name"], "IOCTL_TOVRIK_GET_DRIVER_VERSION");
    EXPECT_EQ(answers[35]["cameras"].size(), 1u);
    EXPECT_EQ(answers[36]["pipe_table"]["pipes"][2]["endpoint"], "0x82");
}

TEST(ToolInfo, ShowsTheSimulatedCamera) {
    // A camera plugged in without firmware: the world downloads it and waits for the camera to
    // come back under its own identity before `info` runs.
    Outcome run = Tool(kWorld + "info");
    ASSERT_EQ(run.Exit, 0) << run.Err;
    for (const char* expected :
         {"idVendor            0x5A17", "idProduct           0x0E15",
          "product       2      Tovrik 318QX",
          "interface 0, alternate setting 0, class 0xFF, 4 pipe(s), 120 bytes",
          "pipe  endpoint  dir  type         max packet  interval  max transfer  flags       "
          "handle",
          "3     0x83      in   isochronous  1024        1", "Driver version   1.1.0",
          "Last USBD error  0x00000000  USBD_STATUS_SUCCESS",
          "39      7       endpoint       0x83 IN isochronous"})
        EXPECT_NE(run.Out.find(expected), std::string::npos) << expected << "\n" << run.Out;

    run = Tool(kWorld + "--json info");
    ASSERT_EQ(run.Exit, 0) << run.Err;
    Json j = Json::parse(run.Out);
    EXPECT_EQ(j["status_name"], "STATUS_SUCCESS");
    EXPECT_EQ(j["device_descriptor"]["idProduct"], "0x0E15");
    EXPECT_EQ(j["pipe_table"]["length"], 120);
    EXPECT_EQ(j["driver_version"], "1.1.0");
    for (const Json& request : j["requests"])
        EXPECT_EQ(request["status_name"], "STATUS_SUCCESS") << request;
}

TEST(ToolExit, BadArgumentsFailedRequestsAndHelp) {
    // Bad arguments never build a world and exit with 2.
    for (const char* arguments : {"", "frobnicate", "--device x info", "reset-pipe", "ioctl NOPE",
                                  "--sim-identity alien list", "--sim-clock-scale 0 list", "ram",
                                  "ram write 0x10000 00", "stream --ring 4 --per-urb 8"}) {
        Outcome run = Tool(arguments);
        EXPECT_EQ(run.Exit, 2) << arguments << "\n" << run.Err;
        EXPECT_FALSE(run.Err.empty()) << arguments;
    }
    // A failed request names its status and exits with 1; its reply still goes to stdout.
    Outcome run = Tool(kWorld + "ioctl 0x22200C --out-len 4");
    EXPECT_EQ(run.Exit, 1);
    EXPECT_NE(run.Err.find("STATUS_INVALID_PARAMETER"), std::string::npos) << run.Err;
    EXPECT_NE(run.Out.find("0xC000000D"), std::string::npos) << run.Out;
    run = Tool(kWorld + "--device 3 --json version");
    EXPECT_EQ(run.Exit, 1);
    EXPECT_EQ(Json::parse(run.Out)["status_name"], "STATUS_OBJECT_NAME_NOT_FOUND");

    for (const char* arguments : {"--help", "ram --help", "ioctl --help", "shell --help"}) {
        run = Tool(arguments);
        EXPECT_EQ(run.Exit, 0) << arguments;
        EXPECT_NE(run.Out.find("Usage"), std::string::npos) << arguments << run.Out;
    }
    run = Tool("ioctl --help");
    EXPECT_NE(run.Out.find("--out-len"), std::string::npos);
}

TEST(ToolFiles, ARefusedRequestLeavesAnExistingOutputFileAsItWas) {
    // The driver refuses pipe 2 (bulk) for isochronous reads and streams: nothing is read, so
    // nothing may be written over the file the user named.
    fs::path dir = fs::temp_directory_path() / ("tovrik_keep_" + std::to_string(::getpid()));
    fs::create_directories(dir);
    const std::string kept = "an earlier capture\n";
    for (const char* command : {"iso --pipe 2", "stream --pipe 2"}) {
        fs::path file = dir / "payload.bin";
        std::ofstream(file, std::ios::binary) << kept;
        Outcome run = Tool(kWorld + command + " --output '" + file.string() + "'");
        EXPECT_EQ(run.Exit, 1) << command << "\n" << run.Err;
        EXPECT_NE(run.Err.find("STATUS_INVALID_PARAMETER"), std::string::npos) << run.Err;
        EXPECT_EQ(Slurp(file), kept) << command << " emptied the file before its request failed";
    }
    fs::remove_all(dir);
}

TEST(ToolExit, AStreamOfNoPacketsIsABadArgument) {
    // --packets 0 is neither a count to reach nor a time to run for.
    Outcome run = Tool(kWorld + "stream --packets 0 --ring 64");
    EXPECT_EQ(run.Exit, 2) << run.Out << run.Err;
    EXPECT_NE(run.Err.find("packets"), std::string::npos) << run.Err;
    run = Tool(kWorld + "shell", "stream --packets 0 --ring 64\n");
    EXPECT_EQ(run.Exit, 0) << run.Err;
    EXPECT_TRUE(Json::parse(run.Out).contains("error")) << run.Out;
}

TEST(ToolExit, AnOutputLengthTooLargeToHoldIsRefusedNotFatal) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "the sanitizers reserve more address space than the limit below allows";
#else
    // A 4 GiB output buffer is a typo, not a request: the tool says so instead of trying to
    // allocate it. Address space is capped at 3 GB so that a tool which does try fails at once
    // rather than taking the machine's memory.
    fs::path dir = fs::temp_directory_path() / ("tovrik_big_" + std::to_string(::getpid()));
    fs::create_directories(dir);
    std::ofstream(dir / "in") << "ioctl IOCTL_TOVRIK_NO_OPERATION --out-len 0xFFFFFFFF\n"
                                 "vendor 0xA0 --value 0x1000 --length 16 --out-len 0xFFFFFFFF\n"
                                 "version\n";
    auto run = [&](const std::string& arguments) {
        std::string command = "ulimit -v 3000000; '" + std::string(TOVRIK_TOOL) + "' " + kWorld +
                              arguments + " < '" + (dir / "in").string() + "' > '" +
                              (dir / "out").string() + "' 2> '" + (dir / "err").string() + "'";
        int status = std::system(command.c_str());
        return Outcome{WIFEXITED(status) ? WEXITSTATUS(status) : -1, Slurp(dir / "out"),
                       Slurp(dir / "err")};
    };
    for (const char* arguments : {"ioctl IOCTL_TOVRIK_NO_OPERATION --out-len 0xFFFFFFFF",
                                  "vendor 0xA0 --length 16 --out-len 0xFFFFFFFF"}) {
        Outcome one = run(arguments);
        EXPECT_EQ(one.Exit, 2) << arguments << "\n" << one.Err;
        EXPECT_NE(one.Err.find("out-len"), std::string::npos) << arguments << "\n" << one.Err;
    }
    // In a shell the line is refused and the session goes on.
    Outcome shell = run("shell");
    EXPECT_EQ(shell.Exit, 0) << shell.Err;
    std::istringstream lines(shell.Out);
    std::vector<Json> answers;
    for (std::string line; std::getline(lines, line);)
        answers.push_back(Json::parse(line));
    ASSERT_EQ(answers.size(), 3u) << shell.Out << shell.Err;
    EXPECT_TRUE(answers[0].contains("error")) << answers[0];
    EXPECT_TRUE(answers[1].contains("error")) << answers[1];
    EXPECT_EQ(answers[2]["status_name"], "STATUS_SUCCESS");
    fs::remove_all(dir);
#endif
}

} // namespace
