// The tool's subcommands. Each one is a CLI11 subcommand with a runner that does its requests
// and returns a Reply; the same runners serve one command line and every line of `shell`, so a
// command behaves the same in both and prints either a table or one JSON object.
//
// Adding a group: write a Register*
// function in its own file that calls CommandSet::Add for each subcommand, and list it in
// RegisterAll. Nothing else changes: parsing, --json, shell, exit codes and errors come with it.
#pragma once

#include "format.h"
#include "tovrik/sdk.hpp"

#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <ostream>
#include <span>
#include <string>
#include <utility>
#include <vector>

namespace tovrik::cli {

using Json = nlohmann::ordered_json;

// What a command did, for JSON and for people. Status, Information and Output are those of
// the command's request; a command made of several requests (info, list) reports the first that
// failed, or success, with Information 0 and no output, and lists its requests in its fields.
struct Reply {
    std::string Command;
    std::optional<std::uint32_t> Device;
    std::int32_t Status = 0;
    std::uint64_t Information = 0;
    std::vector<std::uint8_t> Output;
    Json Fields = Json::object();
    // Printed instead of the JSON when --json is not given.
    std::function<void(std::ostream&)> Human;
    // Print Human even when the command failed (a capture's summary names its failures).
    bool HumanOnFailure = false;
    // What failed, for the error line ("IOCTL_TOVRIK_GET_STRING_DESCRIPTOR", "open").
    std::string Failed;

    // What went wrong beyond the request's status (a frame came short, a file was not
    // written): the command fails although every request succeeded.
    std::string Problem;

    bool Succeeded() const { return Status >= 0; }
    bool Ok() const { return Succeeded() && Problem.empty(); }
    // Takes status and Information of a request's result (the output stays as set).
    template <typename Result> Reply& From(const Result& r, std::string request) {
        Status = r.status;
        Information = r.information;
        if (r.status < 0)
            Failed = std::move(request);
        return *this;
    }
};

// The JSON object of a reply: command, device, status as "0x%08X", status_name, information,
// output as lowercase hex, then the command's own fields.
Json ToJson(const Reply& reply);

// Open cameras by number. A program keeps its handle while it works with a camera, and the
// driver ends a camera's stream when the last handle to it closes: a shell keeps one handle per
// camera for the whole session, so a stream started on one line is there on the next.
using OpenCameras = std::map<std::uint32_t, tovrik::Device>;

// What a command runs against: the system and the camera number chosen with --device.
class Session {
  public:
    Session(tovrik::System& system, std::uint32_t device, std::ostream* progress = nullptr,
            OpenCameras* shared = nullptr)
        : system_(system), device_(device), progress_(progress),
          cameras_(shared != nullptr ? shared : &own_) {}
    tovrik::System& System() { return system_; }
    std::uint32_t DeviceNumber() const { return device_; }
    // The camera, opened at the first call and kept open: for this command, or with `shared`
    // for as long as whoever owns that set keeps it. Throws tovrik::Error when it does not open.
    tovrik::Device& OpenDevice();
    // Where a long command draws its progress line: a terminal, or null for none.
    std::ostream* Progress() const { return progress_; }

  private:
    tovrik::System& system_;
    std::uint32_t device_;
    std::ostream* progress_;
    OpenCameras own_;
    OpenCameras* cameras_;
};

// The reply of a command made of one request to the selected camera: the request's status and
// Information, the fields naming what was asked, and the bytes the request brought back.
template <typename Result>
Reply RequestReply(const Session& s, const Result& result, std::string request,
                   Json fields = Json::object(), std::span<const std::uint8_t> output = {}) {
    Reply reply;
    reply.Device = s.DeviceNumber();
    reply.From(result, std::move(request));
    reply.Fields = std::move(fields);
    reply.Output.assign(output.begin(), output.end());
    return reply;
}

// Adds an option that takes one of `choices`, named in its help.
inline CLI::Option* AddChoice(CLI::App* app, const std::string& name, std::string& target,
                              const std::string& description, std::vector<std::string> choices) {
    return app->add_option(name, target, description)->check(CLI::IsMember(std::move(choices)));
}

using Runner = std::function<Reply(Session&)>;

class CommandSet {
  public:
    // A subcommand of `parent` (the root, or a group such as `ram`) that runs `runner`.
    CLI::App* Add(CLI::App& parent, const std::string& name, const std::string& description,
                  Runner runner);
    // A subcommand that runs `run` on a record of its own, which the options the caller adds
    // fill while parsing: the runner and those options share it, so it outlives the parse.
    template <typename Args>
    std::pair<CLI::App*, std::shared_ptr<Args>>
    AddWithArgs(CLI::App& parent, const std::string& name, const std::string& description,
                Reply (*run)(const Args&, Session&)) {
        auto args = std::make_shared<Args>();
        CLI::App* app =
            Add(parent, name, description, [args, run](Session& s) { return run(*args, s); });
        return {app, std::move(args)};
    }
    // The runner of the subcommand the last parse chose, if any.
    const Runner* Chosen() const;

  private:
    std::vector<std::pair<CLI::App*, Runner>> commands_;
};

// The number type an option fills: T itself, or T inside an optional (an option that may be
// left out).
template <typename Target> struct NumberOf { using Type = Target; };
template <typename T> struct NumberOf<std::optional<T>> { using Type = T; };

// Adds an option parsed as a number (decimal or 0x hex, range-checked for its type) into
// `target`, a number or an optional number.
template <typename Target>
CLI::Option* AddNumber(CLI::App* app, const std::string& name, Target& target,
                       const std::string& description) {
    using T = typename NumberOf<Target>::Type;
    std::string label = name;
    while (!label.empty() && label.front() == '-')
        label.erase(label.begin());
    return app
        ->add_option_function<std::string>(
            name,
            [&target, label](const std::string& text) {
                try {
                    target = ParseNumber<T>(text, label);
                } catch (const UsageError& e) {
                    throw CLI::ValidationError(label, e.what());
                }
            },
            description)
        ->type_name("N");
}

// Adds an option (or positional) holding hex bytes.
CLI::Option* AddHex(CLI::App* app, const std::string& name, std::vector<std::uint8_t>& target,
                    const std::string& description);

void RegisterInfoCommands(CommandSet& commands, CLI::App& root);
void RegisterControlCommands(CommandSet& commands, CLI::App& root);
void RegisterRawCommands(CommandSet& commands, CLI::App& root);
// capture, iso, stream.
void RegisterDataCommands(CommandSet& commands, CLI::App& root);
// Every group above.
void RegisterAll(CommandSet& commands, CLI::App& root);

// Common human output: the status line and Information, then the output bytes if any.
void PrintStatus(std::ostream& out, const Reply& reply);

std::string PipeTypeName(std::uint32_t type);

} // namespace tovrik::cli
