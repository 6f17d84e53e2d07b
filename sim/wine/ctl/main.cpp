// usbsim.exe: drives the simulated USB bus under Wine (usbsim.sys) from user mode: plugs cameras
// in and pulls them out, arms faults, reads the bus's state and counters, captures to pcap, and
// waits until the cameras are started.
#include "bus_client.h"

#include "camera/camera.h"

#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

#include <chrono>
#include <cstdio>
#include <iostream>
#include <map>
#include <string>
#include <thread>
#include <vector>

namespace usbsim {
namespace {

using Json = nlohmann::ordered_json;
using Clock = std::chrono::steady_clock;

// How many \\.\Tovrik318QX-N names the driver can hand out.
constexpr std::uint32_t kDeviceNames = 32;

const char* StateName(std::uint32_t state) {
    switch (state) {
    case USBSIM_PORT_EMPTY:
        return "empty";
    case USBSIM_PORT_ARRIVING:
        return "arriving";
    case USBSIM_PORT_REPORTED:
        return "reported";
    case USBSIM_PORT_STARTED:
        return "started";
    case USBSIM_PORT_DEPARTING:
        return "departing";
    default:
        return "unknown";
    }
}

std::string Hex(std::uint64_t value, int digits) {
    char text[32];
    std::snprintf(text, sizeof(text), "0x%0*llX", digits, static_cast<unsigned long long>(value));
    return text;
}

Json PortJson(std::uint32_t index, const USBSIM_PORT_INFO& port) {
    return Json{{"port", index},
                {"state", StateName(port.State)},
                {"identity", port.Identity == USBSIM_IDENTITY_OWN ? "own" : "foreign"},
                {"idVendor", Hex(port.VendorId, 4)},
                {"idProduct", Hex(port.ProductId, 4)},
                {"connections", port.Connections},
                {"removals", port.Removals},
                {"pending_urbs", port.Pending},
                {"faults", port.Faults}};
}

Json StateJson(const USBSIM_STATE& state) {
    Json ports = Json::array();
    for (std::uint32_t i = 0; i < state.Ports && i < USBSIM_MAX_PORTS; ++i)
        if (state.Port[i].State != USBSIM_PORT_EMPTY || state.Port[i].Connections != 0)
            ports.push_back(PortJson(i, state.Port[i]));
    return Json{{"cameras", state.Cameras},
                {"ports", ports},
                {"stand_ins",
                 {{"import_slots_replaced", state.StandInSlots},
                  {"IoBuildPartialMdl_calls", state.PartialMdlCalls},
                  {"MmMapLockedPagesSpecifyCache_calls", state.MapLockedPagesCalls}}},
                {"capture",
                 {{"active", state.CaptureActive != 0},
                  {"records", state.CaptureRecords},
                  {"bytes", state.CaptureBytes},
                  {"dropped", state.CaptureDropped},
                  {"error", Hex(static_cast<std::uint32_t>(state.CaptureError), 8)}}}};
}

// A port's device is where a started camera's is: started by the PnP manager, showing the
// camera program's identity.
bool PortReady(const USBSIM_PORT_INFO& port) {
    return port.State == USBSIM_PORT_STARTED && port.VendorId == sim::kOwnVendorId &&
           port.ProductId == sim::kOwnProductId;
}

std::uint32_t CamerasThatOpen() {
    std::uint32_t count = 0;
    for (std::uint32_t n = 0; n < kDeviceNames; ++n)
        if (CameraOpens(n))
            ++count;
    return count;
}

// Waits, bounded in real time, until every plugged camera runs its program, its PDO is started
// and as many cameras open as are plugged in (the driver refuses opens until its start
// succeeded). Prints what is missing when the time is up.
bool WaitStarted(BusClient& bus, std::uint32_t timeoutMs) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        const USBSIM_STATE state = bus.Query();
        bool ready = true;
        for (std::uint32_t i = 0; i < USBSIM_MAX_PORTS; ++i)
            if (state.Port[i].State != USBSIM_PORT_EMPTY && !PortReady(state.Port[i]))
                ready = false;
        const std::uint32_t opens = ready ? CamerasThatOpen() : 0;
        if (ready && opens >= state.Cameras)
            return true;
        if (Clock::now() >= deadline) {
            std::cerr << "usbsim: after " << timeoutMs / 1000.0
                      << " s not every camera is started (a started camera runs its program, "
                         "its device is started and \\\\.\\Tovrik318QX-N opens):\n";
            for (std::uint32_t i = 0; i < USBSIM_MAX_PORTS; ++i)
                if (state.Port[i].State != USBSIM_PORT_EMPTY)
                    std::cerr << "  " << PortJson(i, state.Port[i]).dump() << "\n";
            std::cerr << "  cameras that open: " << CamerasThatOpen() << " of " << state.Cameras
                      << "\n";
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
}

bool WaitGone(BusClient& bus, std::uint32_t port, std::uint32_t timeoutMs) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        const USBSIM_STATE state = bus.Query();
        if (state.Port[port].State == USBSIM_PORT_EMPTY)
            return true;
        if (Clock::now() >= deadline) {
            std::cerr << "usbsim: after " << timeoutMs / 1000.0 << " s port " << port
                      << " still holds a device: " << PortJson(port, state.Port[port]).dump()
                      << "\n";
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

// Plugs cameras in or pulls the highest ones out until `cameras` are plugged.
void SetCameras(BusClient& bus, std::uint32_t cameras, USBSIM_IDENTITY identity) {
    USBSIM_STATE state = bus.Query();
    for (std::uint32_t i = USBSIM_MAX_PORTS; i-- > 0 && state.Cameras > cameras;) {
        if (state.Port[i].State != USBSIM_PORT_EMPTY &&
            state.Port[i].State != USBSIM_PORT_DEPARTING) {
            bus.Unplug(i);
            state = bus.Query();
        }
    }
    while (state.Cameras < cameras) {
        bus.Plug(USBSIM_ANY_PORT, identity);
        state = bus.Query();
    }
}

std::wstring Wide(const std::string& text) {
    if (text.empty())
        return {};
    const int length =
        MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring wide(static_cast<std::size_t>(length), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), wide.data(),
                        length);
    return wide;
}

std::uint32_t Number(const std::string& text, const std::string& what) {
    try {
        std::size_t used = 0;
        const unsigned long long value = std::stoull(text, &used, 0);
        if (used != text.size() || value > 0xFFFFFFFFull)
            throw std::out_of_range(what);
        return static_cast<std::uint32_t>(value);
    } catch (const std::logic_error&) {
        throw CLI::ValidationError(what, "'" + text + "' is not a number (decimal or 0x hex)");
    }
}

const std::map<std::string, std::uint32_t> kFaultKinds = {
    {"stall", USBSIM_FAULT_STALL},
    {"never-answer", USBSIM_FAULT_NEVER_ANSWER},
    {"short-packet", USBSIM_FAULT_SHORT_PACKET},
    {"urb-error", USBSIM_FAULT_URB_ERROR},
    {"packet-error", USBSIM_FAULT_PACKET_ERROR},
    {"fail-request", USBSIM_FAULT_FAIL_REQUEST},
    {"unplug", USBSIM_FAULT_UNPLUG},
};

USBSIM_IDENTITY IdentityOf(const std::string& name) {
    return name == "own" ? USBSIM_IDENTITY_OWN : USBSIM_IDENTITY_FOREIGN;
}

int Run(int argc, char** argv) {
    CLI::App app("Drive the simulated USB bus (usbsim.sys) that runs under Wine's kernel.",
                 "usbsim");
    app.require_subcommand(1);
    std::uint32_t timeoutMs = 60'000;
    std::string identity = "foreign";
    auto addIdentity = [&](CLI::App* command) {
        command
            ->add_option(
                "--identity", identity,
                "foreign (default): the camera arrives without firmware; own: running its program")
            ->check(CLI::IsMember({"foreign", "own"}));
    };
    auto addTimeout = [&](CLI::App* command) {
        command->add_option("--timeout-ms", timeoutMs, "Longest wait, real time (default 60000)");
    };

    bool json = false;
    auto* status = app.add_subcommand("status", "The ports, the stand-ins and the capture");
    status->add_flag("--json", json, "One JSON object");

    std::uint32_t cameras = 1;
    std::string capture;
    auto* up = app.add_subcommand("up", "Capture (if asked), plug cameras in or out until N are "
                                        "plugged, wait until all are started");
    up->add_option("--cameras", cameras, "How many cameras (default 1)")
        ->check(CLI::Range(0u, USBSIM_MAX_PORTS));
    up->add_option("--capture", capture,
                   "pcap file for every URB from now on (Z:\\path\\file.pcap)");
    addIdentity(up);
    addTimeout(up);

    std::uint32_t port = 0;
    auto* plug =
        app.add_subcommand("plug", "Plug a camera into PORT (default: the lowest free port)");
    std::string portText;
    plug->add_option("port", portText, "Port (0 to 7)");
    addIdentity(plug);

    auto* unplug = app.add_subcommand("unplug", "Pull the camera in PORT out (a surprise removal)");
    unplug->add_option("port", port, "Port")->required();
    auto* replug = app.add_subcommand(
        "replug",
        "Plug the camera of PORT back in after it was pulled out (pulls it out first if not)");
    replug->add_option("port", port, "Port")->required();
    addIdentity(replug);

    auto* wait = app.add_subcommand("wait", "Wait until every plugged camera is started and opens");
    addTimeout(wait);
    auto* waitGone = app.add_subcommand("wait-gone", "Wait until the device of PORT is removed");
    waitGone->add_option("port", port, "Port")->required();
    addTimeout(waitGone);

    USBSIM_FAULT fault{};
    std::string kind;
    std::string function = "0xFFFF", endpoint = "0xFF", usbd = "0xC0000004",
                ntstatus = "0xC0000001";
    auto* faultCommand =
        app.add_subcommand("fault", "Arm a fault on PORT (as the host-kernel bus arms them)");
    faultCommand->add_option("port", port, "Port")->required();
    faultCommand
        ->add_option(
            "kind", kind,
            "stall, never-answer, short-packet, urb-error, packet-error, fail-request, unplug")
        ->required()
        ->check(CLI::IsMember([] {
            std::vector<std::string> names;
            for (const auto& [name, value] : kFaultKinds)
                names.push_back(name);
            return names;
        }()));
    faultCommand->add_option("--function", function,
                             "URB function it matches (default 0xFFFF: any)");
    faultCommand->add_option("--endpoint", endpoint,
                             "Endpoint address it matches (0xFF: any, 0: default pipe)");
    faultCommand->add_option("--skip", fault.Skip, "Matching URBs let through first (default 0)");
    fault.Times = 1;
    faultCommand->add_option("--times", fault.Times, "Matching URBs acted on (default 1; 0: all)");
    faultCommand->add_option("--short-length", fault.ShortLength,
                             "short-packet: bytes before the short end");
    faultCommand->add_option("--packet", fault.Packet, "packet-error: the packet");
    faultCommand->add_option(
        "--usbd", usbd,
        "urb-error, packet-error, fail-request: USBD status (default 0xC0000004, stall)");
    faultCommand->add_option("--status", ntstatus,
                             "fail-request: request status (default 0xC0000001)");

    auto* clear = app.add_subcommand("clear-faults", "Disarm every fault of PORT");
    clear->add_option("port", port, "Port")->required();

    std::string endpointText = "0";
    auto* counters =
        app.add_subcommand("counters", "An endpoint's counters on PORT (one JSON object)");
    counters->add_option("port", port, "Port")->required();
    counters->add_option("endpoint", endpointText, "Endpoint address (0: the default pipe)");

    auto* captureCommand =
        app.add_subcommand("capture", "Capture every URB to FILE from now on (no FILE: stop)");
    captureCommand->add_option("file", capture, "Z:\\path\\file.pcap");
    auto* flush = app.add_subcommand("flush", "Write everything captured so far to the file");

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        const int code = app.exit(e);
        return code == 0 ? 0 : 2;
    }

    try {
        BusClient bus;
        if (status->parsed()) {
            const USBSIM_STATE state = bus.Query();
            if (json) {
                std::cout << StateJson(state).dump() << "\n";
            } else {
                std::cout << StateJson(state).dump(2) << "\n";
            }
        } else if (up->parsed()) {
            if (!capture.empty())
                bus.Capture(Wide(capture));
            SetCameras(bus, cameras, IdentityOf(identity));
            return WaitStarted(bus, timeoutMs) ? 0 : 1;
        } else if (plug->parsed()) {
            const std::uint32_t at = portText.empty() ? USBSIM_ANY_PORT : Number(portText, "port");
            std::cout << bus.Plug(at, IdentityOf(identity)) << "\n";
        } else if (unplug->parsed()) {
            bus.Unplug(port);
        } else if (replug->parsed()) {
            if (port >= USBSIM_MAX_PORTS)
                throw CLI::ValidationError("port", "0 to 7");
            const USBSIM_STATE state = bus.Query();
            if (state.Port[port].State != USBSIM_PORT_EMPTY &&
                state.Port[port].State != USBSIM_PORT_DEPARTING)
                bus.Unplug(port);
            bus.Plug(port, IdentityOf(identity));
        } else if (wait->parsed()) {
            return WaitStarted(bus, timeoutMs) ? 0 : 1;
        } else if (waitGone->parsed()) {
            if (port >= USBSIM_MAX_PORTS)
                throw CLI::ValidationError("port", "0 to 7");
            return WaitGone(bus, port, timeoutMs) ? 0 : 1;
        } else if (faultCommand->parsed()) {
            fault.Port = port;
            fault.Kind = kFaultKinds.at(kind);
            fault.Function = Number(function, "--function");
            fault.Endpoint = Number(endpoint, "--endpoint");
            fault.UsbdStatus = static_cast<int32_t>(Number(usbd, "--usbd"));
            fault.Status = static_cast<int32_t>(Number(ntstatus, "--status"));
            bus.AddFault(fault);
        } else if (clear->parsed()) {
            bus.ClearFaults(port);
        } else if (counters->parsed()) {
            const USBSIM_COUNTERS c = bus.Counters(port, Number(endpointText, "endpoint"));
            std::cout << Json{{"port", port},
                              {"endpoint", Hex(Number(endpointText, "endpoint"), 2)},
                              {"bytes", c.Bytes},
                              {"transfers", c.Transfers},
                              {"packets", c.Packets},
                              {"idle_microframes", c.IdleMicroframes},
                              {"active_microframes", c.ActiveMicroframes},
                              {"lost_iso_packets", c.LostIsoPackets}}
                             .dump()
                      << "\n";
        } else if (captureCommand->parsed()) {
            bus.Capture(Wide(capture));
        } else if (flush->parsed()) {
            bus.Flush();
        }
    } catch (const CLI::ValidationError& e) {
        std::cerr << "usbsim: " << e.what() << "\n";
        return 2;
    } catch (const std::exception& e) {
        std::cerr << "usbsim: " << e.what() << "\n";
        return 1;
    }
    return 0;
}

} // namespace
} // namespace usbsim

int main(int argc, char** argv) {
    return usbsim::Run(argc, argv);
}
