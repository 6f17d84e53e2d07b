// Commands that act on a camera: vendor and control requests, device memory, pipes, port,
// interface, feature, time limit, no-op.
#include "commands.h"

#include <fmt/format.h>

#include <fstream>
#include <iterator>
#include <memory>

namespace tovrik::cli {

namespace {

Reply Simple(Session& s, const char* request, tovrik_result (tovrik::Device::*call)()) {
    tovrik::Device& device = s.OpenDevice();
    return RequestReply(s, (device.*call)(), request);
}

std::vector<std::uint8_t> ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        throw UsageError(fmt::format("cannot read '{}'", path));
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// Data given inline as hex or as a file, not both.
struct DataArgs {
    std::vector<std::uint8_t> Hex;
    std::string File;
    bool HexGiven = false;
    std::vector<std::uint8_t> Bytes() const { return File.empty() ? Hex : ReadFile(File); }
};

void AddData(CLI::App* app, DataArgs& args, const std::string& what) {
    auto* hex = AddHex(app, "data", args.Hex, what + " as hex bytes");
    auto* file = app->add_option("--file", args.File, what + " from a binary file")
                     ->check(CLI::ExistingFile);
    hex->excludes(file);
    file->excludes(hex);
}

std::uint8_t Recipient(const std::string& text) {
    if (text == "device")
        return 0;
    if (text == "interface")
        return 1;
    if (text == "endpoint")
        return 2;
    if (text == "other")
        return 3;
    return ParseNumber<std::uint8_t>(text, "recipient");
}

// An option's check from the parser that reads it later: the parser's complaint is the error
// shown, so the user learns of a bad value before any request is sent.
std::function<std::string(const std::string&)>
CheckedBy(std::uint8_t (*parse)(const std::string&)) {
    return [parse](const std::string& text) {
        try {
            parse(text);
            return std::string();
        } catch (const UsageError& e) {
            return std::string(e.what());
        }
    };
}

std::uint8_t RequestType(const std::string& text) {
    if (text == "class")
        return 1;
    if (text == "vendor")
        return 2;
    return ParseNumber<std::uint8_t>(text, "type");
}

void Control(CommandSet& commands, CLI::App& root) {
    struct VendorArgs {
        std::uint8_t Request = 0;
        std::uint16_t Value = 0, Index = 0, Length = 0;
        bool Out = false;
        std::uint8_t DataByte = 0;
        std::optional<std::uint32_t> OutLen;
        std::uint32_t OutLenValue = 0;
    };
    auto va = std::make_shared<VendorArgs>();
    auto* vendor = commands.Add(
        root, "vendor",
        "A vendor request to the device (device to host by default; --out sends Length bytes: the "
        "pattern 00 01 02 "
        "..., or --data-byte when Length is 1)",
        [va](Session& s) {
            VENDOR_DEVICE_REQUEST request{va->Request, 0,
                                          va->Value,   va->Index,
                                          va->Length,  static_cast<std::uint8_t>(va->Out ? 0 : 1),
                                          va->DataByte};
            // Device to host, the answer lands in the request's own buffer, which must hold Length
            // bytes; host to device has no output.
            std::uint32_t outLen = va->OutLen ? *va->OutLen : (va->Out ? 0 : va->Length);
            CheckOutputLength(outLen, "--out-len");
            Reply reply;
            reply.Device = s.DeviceNumber();
            BytesResult r = s.OpenDevice().VendorRequest(request, outLen);
            reply.Status = r.Status;
            reply.Information = r.Information;
            if (!r.Succeeded())
                reply.Failed = "IOCTL_TOVRIK_VENDOR_REQUEST";
            reply.Output = r.Bytes;
            reply.Fields["direction"] = va->Out ? "out" : "in";
            reply.Fields["received"] = r.Bytes.size();
            return reply;
        });
    AddNumber(vendor, "request", va->Request, "bRequest")->required();
    AddNumber(vendor, "--value", va->Value, "wValue (default 0)");
    AddNumber(vendor, "--index", va->Index, "wIndex (default 0)");
    AddNumber(vendor, "--length", va->Length, "wLength: bytes to move (default 0)");
    auto* vendorOut = vendor->add_flag("--out", va->Out, "Host to device");
    auto* vendorIn = vendor->add_flag_function(
        "--in", [va](std::int64_t) { va->Out = false; }, "Device to host (the default)");
    vendorOut->excludes(vendorIn);
    vendorIn->excludes(vendorOut);
    AddNumber(vendor, "--data-byte", va->DataByte,
              "The byte a host-to-device request of length 1 sends");
    vendor
        ->add_option_function<std::string>(
            "--out-len",
            [va](const std::string& t) {
                try {
                    va->OutLen = ParseNumber<std::uint32_t>(t, "out-len");
                } catch (const UsageError& e) {
                    throw CLI::ValidationError("out-len", e.what());
                }
            },
            "Output buffer length (default: Length device to host, 0 host to device)")
        ->type_name("N");

    struct ControlArgs {
        std::uint8_t Request = 0;
        std::string Type = "vendor", Recipient = "device";
        std::uint16_t Value = 0, Index = 0;
        bool Out = false;
        std::uint32_t Length = 0;
        std::vector<std::uint8_t> Data;
    };
    auto ca = std::make_shared<ControlArgs>();
    auto* control = commands.Add(
        root, "control",
        "A class or vendor control request (data stage: --data out; the driver refuses data in "
        "on this code, whose buffer is read-only to it: read with 'vendor' instead)",
        [ca](Session& s) {
            CLASS_VENDOR_REQUEST request{static_cast<std::uint8_t>(ca->Out ? 0 : 1),
                                         RequestType(ca->Type),
                                         Recipient(ca->Recipient),
                                         0,
                                         ca->Request,
                                         0,
                                         ca->Value,
                                         ca->Index};
            std::vector<std::uint8_t> buffer =
                ca->Out ? ca->Data : std::vector<std::uint8_t>(ca->Length);
            Reply reply;
            reply.Device = s.DeviceNumber();
            auto r = s.OpenDevice().ControlRequest(request, buffer);
            reply.From(r, "IOCTL_TOVRIK_CONTROL_REQUEST");
            if (!ca->Out && r.status >= 0)
                reply.Output.assign(buffer.begin(), buffer.begin() + r.length);
            reply.Fields["direction"] = ca->Out ? "out" : "in";
            reply.Fields["transferred"] = r.status >= 0 ? r.information : 0;
            return reply;
        });
    AddNumber(control, "request", ca->Request, "bRequest")->required();
    control->add_option("--type", ca->Type, "class, vendor or a number (default vendor)")
        ->check(CheckedBy(RequestType));
    control
        ->add_option("--recipient", ca->Recipient,
                     "device, interface, endpoint, other or a number (default device)")
        ->check(CheckedBy(Recipient));
    AddNumber(control, "--value", ca->Value, "wValue (default 0)");
    AddNumber(control, "--index", ca->Index, "wIndex (default 0)");
    auto* length =
        AddNumber(control, "--length", ca->Length,
                  "Bytes to read, device to host (default 0; refused by the driver unless 0)");
    auto* data = AddHex(control, "--data", ca->Data, "Bytes to send, host to device");
    auto* out = control->add_flag("--out", ca->Out, "Host to device (implied by --data)");
    data->excludes(length);
    length->excludes(data);
    data->each([ca](const std::string&) { ca->Out = true; });
    (void)out;

    CLI::App* ram = root.add_subcommand("ram", "Device memory");
    ram->require_subcommand(1);
    struct WriteArgs {
        std::uint16_t Address = 0;
        DataArgs Data;
    };
    auto wa = std::make_shared<WriteArgs>();
    auto* write = commands.Add(
        *ram, "write", "Write bytes to device memory from ADDRESS upward", [wa](Session& s) {
            std::vector<std::uint8_t> bytes = wa->Data.Bytes();
            Reply reply;
            reply.Device = s.DeviceNumber();
            reply.From(s.OpenDevice().WriteRam(wa->Address, bytes), "IOCTL_TOVRIK_WRITE_RAM");
            reply.Fields["address"] = Hex(wa->Address, 4);
            reply.Fields["bytes"] = bytes.size();
            return reply;
        });
    AddNumber(write, "address", wa->Address, "Start address")->required();
    AddData(write, wa->Data, "Bytes to write");
    auto da = std::make_shared<DataArgs>();
    auto* download = commands.Add(
        *ram, "download", "Download bytes to device memory in 512-byte blocks from address 0",
        [da](Session& s) {
            std::vector<std::uint8_t> bytes = da->Bytes();
            Reply reply;
            reply.Device = s.DeviceNumber();
            reply.From(s.OpenDevice().DownloadRam(bytes), "IOCTL_TOVRIK_DOWNLOAD_RAM");
            reply.Fields["bytes"] = bytes.size();
            return reply;
        });
    AddData(download, *da, "Bytes to download");

    for (auto [name, code, description] :
         {std::tuple{"reset-pipe", "IOCTL_TOVRIK_RESET_PIPE", "Reset a pipe (clears a halt)"},
          std::tuple{"abort-pipe", "IOCTL_TOVRIK_ABORT_PIPE", "Abort the transfers of a pipe"}}) {
        auto pipe = std::make_shared<std::uint32_t>(0);
        bool reset = std::string_view(name) == "reset-pipe";
        auto* app = commands.Add(root, name, description, [pipe, reset, code = code](Session& s) {
            Reply reply;
            reply.Device = s.DeviceNumber();
            tovrik::Device& device = s.OpenDevice();
            reply.From(reset ? device.ResetPipe(*pipe) : device.AbortPipe(*pipe), code);
            reply.Fields["pipe"] = *pipe;
            return reply;
        });
        AddNumber(app, "pipe", *pipe, "Pipe index")->required();
    }

    commands.Add(root, "reset-port", "Reset the camera's USB port", [](Session& s) {
        return Simple(s, "IOCTL_TOVRIK_RESET_PORT", &tovrik::Device::ResetPort);
    });
    commands.Add(root, "noop", "The no-operation request", [](Session& s) {
        return Simple(s, "IOCTL_TOVRIK_NO_OPERATION", &tovrik::Device::NoOperation);
    });

    struct InterfaceArgs {
        std::uint8_t Interface = 0, Alternate = 0;
    };
    auto ia = std::make_shared<InterfaceArgs>();
    auto* setInterface = commands.Add(
        root, "set-interface", "Select an alternate setting of an interface", [ia](Session& s) {
            return RequestReply(
                s, s.OpenDevice().SetInterface(ia->Interface, ia->Alternate),
                "IOCTL_TOVRIK_SET_INTERFACE",
                {{"interface", ia->Interface}, {"alternate_setting", ia->Alternate}});
        });
    AddNumber(setInterface, "interface", ia->Interface, "Interface number")->required();
    AddNumber(setInterface, "alternate", ia->Alternate, "Alternate setting")->required();

    struct FeatureArgs {
        std::uint16_t Selector = 0, Index = 0;
    };
    auto fa = std::make_shared<FeatureArgs>();
    auto* feature = commands.Add(root, "feature", "SET_FEATURE to the device", [fa](Session& s) {
        return RequestReply(s, s.OpenDevice().SetFeature(fa->Selector, fa->Index),
                            "IOCTL_TOVRIK_SET_FEATURE",
                            {{"selector", fa->Selector}, {"index", fa->Index}});
    });
    AddNumber(feature, "selector", fa->Selector, "Feature selector")->required();
    AddNumber(feature, "index", fa->Index, "wIndex (default 0)");

    struct TimeoutArgs {
        std::int32_t Milliseconds = 0;
        std::uint32_t Selector = TOVRIK_TIMEOUT_SELECTOR_BULK;
    };
    auto ta = std::make_shared<TimeoutArgs>();
    auto* timeout = commands.Add(
        root, "timeout",
        "Set the driver-wide bulk time limit in milliseconds (0 or negative: end at once)",
        [ta](Session& s) {
            return RequestReply(s, s.OpenDevice().SetTimeout(ta->Selector, ta->Milliseconds),
                                "IOCTL_TOVRIK_SET_TIMEOUT",
                                {{"selector", ta->Selector}, {"milliseconds", ta->Milliseconds}});
        });
    AddNumber(timeout, "milliseconds", ta->Milliseconds, "The limit")->required();
    AddNumber(timeout, "--selector", ta->Selector,
              "Selector (1, the default, is the bulk limit; others change nothing)");
}

} // namespace

void RegisterControlCommands(CommandSet& commands, CLI::App& root) {
    Control(commands, root);
}

} // namespace tovrik::cli
