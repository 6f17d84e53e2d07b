// Shaping of replies, shared by one-shot commands and the shell.
#include "commands.h"

#include <fmt/format.h>

namespace tovrik::cli {

Json ToJson(const Reply& reply) {
    Json j;
    j["command"] = reply.Command;
    if (reply.Device)
        j["device"] = *reply.Device;
    j["status"] = fmt::format("0x{:08X}", static_cast<std::uint32_t>(reply.Status));
    j["status_name"] = StatusName(reply.Status);
    j["information"] = reply.Information;
    j["output"] = HexString(reply.Output);
    for (const auto& [key, value] : reply.Fields.items())
        j[key] = value;
    return j;
}

tovrik::Device& Session::OpenDevice() {
    auto found = cameras_->find(device_);
    if (found == cameras_->end())
        found = cameras_->emplace(device_, system_.OpenCamera(device_)).first;
    return found->second;
}

CLI::App* CommandSet::Add(CLI::App& parent, const std::string& name, const std::string& description,
                          Runner runner) {
    CLI::App* app = parent.add_subcommand(name, description);
    commands_.emplace_back(app, std::move(runner));
    return app;
}

const Runner* CommandSet::Chosen() const {
    // A group (`ram`) is parsed too when one of its members is; the member is the one to run.
    const Runner* chosen = nullptr;
    for (const auto& [app, runner] : commands_) {
        if (app->parsed())
            chosen = &runner;
    }
    return chosen;
}

CLI::Option* AddHex(CLI::App* app, const std::string& name, std::vector<std::uint8_t>& target,
                    const std::string& description) {
    return app
        ->add_option_function<std::string>(
            name,
            [&target, name](const std::string& text) {
                try {
                    target = ParseHex(text);
                } catch (const UsageError& e) {
                    throw CLI::ValidationError(name, e.what());
                }
            },
            description)
        ->type_name("HEX");
}

void PrintStatus(std::ostream& out, const Reply& reply) {
    Table t;
    t.Add({"status", fmt::format("0x{:08X}", static_cast<std::uint32_t>(reply.Status)),
           StatusName(reply.Status)});
    t.Add({"information", std::to_string(reply.Information)});
    if (!reply.Output.empty())
        t.Add({"output", HexDump(reply.Output, 16, "             ")});
    t.Render(out);
}

} // namespace tovrik::cli
