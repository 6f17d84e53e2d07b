#include "cli.h"

#include "commands.h"
#include "progress.h"

#include <fmt/format.h>

#ifndef TOVRIK_VERSION_STRING
#error "the build defines TOVRIK_VERSION_STRING (cmake/Version.cmake)"
#endif

#include <iostream>
#include <string>
#include <vector>

namespace tovrik::cli {

void RegisterAll(CommandSet& commands, CLI::App& root) {
    RegisterInfoCommands(commands, root);
    RegisterControlCommands(commands, root);
    RegisterRawCommands(commands, root);
    RegisterDataCommands(commands, root);
}

namespace {

struct Globals {
    std::uint32_t Device = 0;
    bool Json = false;
    std::uint32_t SimCameras = 1;
    std::string SimIdentity = "foreign";
    double SimClockScale = 1.0;
    std::string SimPcap;
    std::string SimTiming = "unthrottled";
};

// Runs a command and turns a camera that does not open into a reply like any other failure.
Reply Run(const Runner& runner, Session& session, const std::string& name) {
    Reply reply;
    try {
        reply = runner(session);
    } catch (const tovrik::Error& e) {
        reply = Reply{};
        reply.Status = e.Status();
        reply.Failed = "open " + tovrik::System::Path(session.DeviceNumber());
        reply.Fields["error"] = e.what();
    }
    if (reply.Command.empty())
        reply.Command = name;
    return reply;
}

std::string CommandName(const CLI::App& root) {
    std::string name;
    const CLI::App* app = &root;
    for (;;) {
        auto chosen = app->get_subcommands();
        if (chosen.empty())
            break;
        app = chosen.front();
        if (!name.empty())
            name += ' ';
        name += app->get_name();
    }
    return name;
}

// One input line of the shell, answered with one JSON line (or, for people, the command's
// table). Each line gets a fresh parser, so nothing a line sets leaks into the next. Returns
// whether the line did what it asked.
// Whether a status says the handle's device is gone (removed, or left the bus to come back as a
// new device): the shell then drops that handle and opens the camera afresh on the next line.
bool DeviceGone(std::int32_t status) {
    constexpr std::int32_t kDeletePending = static_cast<std::int32_t>(0xC0000056);
    constexpr std::int32_t kDeviceRemoved = static_cast<std::int32_t>(0xC00002B6);
    constexpr std::int32_t kNoSuchDevice = static_cast<std::int32_t>(0xC000000E);
    return status == kDeletePending || status == kDeviceRemoved || status == kNoSuchDevice;
}

bool ShellLine(tovrik::System& system, std::uint32_t device, const std::string& line,
               std::ostream& out, const ShellOptions& options, OpenCameras& cameras) {
    CLI::App app("tovrik shell line", "tovrik");
    std::uint32_t lineDevice = device;
    bool json = true;
    AddNumber(&app, "--device", lineDevice, "Camera number for this line");
    app.add_flag("--json", json, "Accepted for symmetry; the shell always answers in JSON");
    app.require_subcommand(1);
    CommandSet commands;
    RegisterAll(commands, app);
    Json answer;
    bool ok = false;
    try {
        app.parse(line, false);
        const Runner* runner = commands.Chosen();
        if (runner == nullptr)
            throw CLI::RequiredError("a subcommand");
        Session session(system, lineDevice, options.Human ? options.Progress : nullptr, &cameras);
        Reply reply = Run(*runner, session, CommandName(app));
        ok = reply.Ok();
        if (DeviceGone(reply.Status))
            cameras.erase(lineDevice);
        if (options.Human) {
            out << "> " << line << '\n';
            if (reply.Human && (reply.Succeeded() || reply.HumanOnFailure))
                reply.Human(out);
            else
                PrintStatus(out, reply);
            if (!reply.Problem.empty())
                out << "  failed: " << reply.Problem << '\n';
            out << '\n';
            out.flush();
            return ok;
        }
        answer = ToJson(reply);
    } catch (const CLI::CallForHelp&) {
        answer = Json{{"help", app.help()}};
        ok = true;
    } catch (const CLI::CallForAllHelp&) {
        answer = Json{{"help", app.help("", CLI::AppFormatMode::All)}};
        ok = true;
    } catch (const CLI::ParseError& e) {
        answer = Json{{"error", e.what()}, {"line", line}};
    } catch (const UsageError& e) {
        answer = Json{{"error", e.what()}, {"line", line}};
    } catch (const std::exception& e) {
        // Whatever else a line runs into (memory, a file system) ends that line, not the shell.
        answer = Json{{"error", e.what()}, {"line", line}};
    }
    if (options.Human) {
        out << "> " << line << '\n'
            << (answer.contains("help") ? answer["help"].get<std::string>()
                                        : "  error: " + answer.value("error", std::string()))
            << "\n\n";
    } else {
        out << answer.dump(-1, ' ', false, Json::error_handler_t::replace) << '\n';
    }
    out.flush();
    return ok;
}

} // namespace

std::uint32_t RunShell(tovrik::System& system, std::uint32_t device, std::istream& in,
                       std::ostream& out, const ShellOptions& options) {
    // One handle per camera for the whole session, as a program holds it: what a line starts
    // (a stream) is still there for the lines after it, and ends when the session does.
    OpenCameras cameras;
    std::uint32_t failed = 0;
    std::string line;
    while (std::getline(in, line)) {
        std::size_t first = line.find_first_not_of(" \t\r");
        if (first == std::string::npos || line[first] == '#')
            continue;
        std::size_t last = line.find_last_not_of(" \t\r");
        line = line.substr(first, last - first + 1);
        if (line == "exit" || line == "quit")
            break;
        if (!ShellLine(system, device, line, out, options, cameras))
            ++failed;
    }
    return failed;
}

int Main(int argc, const char* const* argv, std::istream& in, std::ostream& out,
         std::ostream& err) {
    CLI::App app("Look at and drive Tovrik 318QX cameras.", "tovrik");
    app.footer(std::string("Backend: ") + tovrik_backend_name() +
               ". Exit codes: 0 done, 1 a request failed (its status is named) or a command could "
               "not finish (a short "
               "frame, a file not written), 2 bad arguments.");
    app.require_subcommand(1);
    app.fallthrough(false);
    // The tool's version, and the SDK's as loaded: on Windows the DLL beside the tool may come
    // from another package than the tool.
    app.set_version_flag("--version", [] {
        return fmt::format("tovrik {} (SDK {}, {} backend)", TOVRIK_VERSION_STRING,
                           tovrik_sdk_version(nullptr, nullptr, nullptr), tovrik_backend_name());
    });
    Globals g;
    AddNumber(&app, "--device", g.Device, "Camera number (default 0)");
    app.add_flag("--json", g.Json, "Answer with one JSON object instead of tables");
    auto* cameras = AddNumber(&app, "--sim-cameras", g.SimCameras,
                              "Simulated cameras in the world (default 1)");
    auto* identity = AddChoice(
        &app, "--sim-identity", g.SimIdentity,
        "Simulated cameras arrive without firmware (foreign, default) or running it (own)",
        {"foreign", "own"});
    auto* scale = app.add_option("--sim-clock-scale", g.SimClockScale,
                                 "Kernel time per real time: 1 is real time (default), 100 runs "
                                 "the driver's delays 100 times faster")
                      ->check(CLI::PositiveNumber);
    auto* pcap = app.add_option("--sim-pcap", g.SimPcap,
                                "Write every URB of the simulated bus to this pcap file (USBPcap)");
    auto* timing =
        AddChoice(&app, "--sim-timing", g.SimTiming,
                  "Simulated bus timing: unthrottled (default) or high-speed (USB 2.0 microframes)",
                  {"unthrottled", "high-speed"});
    CommandSet commands;
    RegisterAll(commands, app);
    bool shell = false;
    bool shellHuman = false;
    auto* shellApp =
        app.add_subcommand(
               "shell",
               "Read subcommands from standard input, one per line, against one world; answer "
               "each with one JSON line (a malformed line gets {\"error\": ...}); 'exit' or end "
               "of input ends it")
            ->callback([&shell] { shell = true; });
    shellApp->add_flag(
        "--human", shellHuman,
        "Answer with each command's tables instead of JSON, and exit with 1 when a line failed");

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        int code = app.exit(e, out, err);
        return code == 0 ? 0 : 2;
    }

    tovrik_system_options options;
    tovrik_system_options_init(&options);
    if (std::string(tovrik_backend_name()) == "win32") {
        for (const CLI::Option* sim : {cameras, identity, scale, pcap, timing}) {
            if (sim->count() != 0) {
                err << "tovrik: " << sim->get_name()
                    << " shapes the simulated world; this build talks to the real driver\n";
                return 2;
            }
        }
    }
    options.sim_cameras = g.SimCameras;
    options.sim_identity =
        g.SimIdentity == "own" ? TOVRIK_SIM_IDENTITY_OWN : TOVRIK_SIM_IDENTITY_FOREIGN;
    options.sim_timing =
        g.SimTiming == "high-speed" ? TOVRIK_SIM_TIMING_HIGH_SPEED : TOVRIK_SIM_TIMING_UNTHROTTLED;
    options.sim_clock_scale = g.SimClockScale;
    options.sim_pcap_path = g.SimPcap.empty() ? nullptr : g.SimPcap.c_str();
    if (g.SimCameras < 1 || g.SimCameras > TOVRIK_MAX_CAMERAS) {
        err << "tovrik: --sim-cameras must be 1 to " << TOVRIK_MAX_CAMERAS << "\n";
        return 2;
    }

    std::optional<tovrik::System> system;
    try {
        system.emplace(tovrik::System::Open(&options));
    } catch (const tovrik::Error& e) {
        err << "tovrik: " << e.what() << "\n";
        return 1;
    }

    if (shell) {
        ShellOptions options;
        options.Human = shellHuman;
        options.Progress = &out == &std::cout && StandardOutputIsTerminal() ? &out : nullptr;
        std::uint32_t failed = RunShell(*system, g.Device, in, out, options);
        if (shellHuman && failed != 0) {
            err << "tovrik: " << failed << " shell line(s) failed\n";
            return 1;
        }
        return 0;
    }
    const Runner* runner = commands.Chosen();
    if (runner == nullptr) {
        err << "tovrik: no subcommand\n";
        return 2;
    }
    // A progress line only where a person watches it: never into a pipe, a file or JSON.
    std::ostream* progress =
        !g.Json && &out == &std::cout && StandardOutputIsTerminal() ? &out : nullptr;
    Session session(*system, g.Device, progress);
    Reply reply;
    try {
        reply = Run(*runner, session, CommandName(app));
    } catch (const UsageError& e) {
        err << "tovrik: " << e.what() << "\n";
        return 2;
    } catch (const std::exception& e) {
        err << "tovrik: " << CommandName(app) << " failed: " << e.what() << "\n";
        return 1;
    }
    if (g.Json) {
        out << ToJson(reply).dump(2, ' ', false, Json::error_handler_t::replace) << '\n';
    } else if (reply.Human && (reply.Succeeded() || reply.HumanOnFailure)) {
        reply.Human(out);
    } else {
        PrintStatus(out, reply);
    }
    if (!reply.Succeeded()) {
        err << fmt::format("tovrik: {} failed: {} (0x{:08X}){}\n",
                           reply.Failed.empty() ? reply.Command : reply.Failed,
                           StatusName(reply.Status), static_cast<std::uint32_t>(reply.Status),
                           reply.Problem.empty() ? "" : ": " + reply.Problem);
        return 1;
    }
    if (!reply.Problem.empty()) {
        err << fmt::format("tovrik: {} failed: {}\n", reply.Command, reply.Problem);
        return 1;
    }
    return 0;
}

} // namespace tovrik::cli
