// The raw request: any code, any input, any output length.
#include "codes.h"
#include "commands.h"

#include <memory>

namespace tovrik::cli {

void RegisterRawCommands(CommandSet& commands, CLI::App& root) {
    struct Args {
        std::uint32_t Code = 0;
        std::vector<std::uint8_t> In;
        std::uint32_t OutLen = 0;
    };
    auto a = std::make_shared<Args>();
    auto* ioctl = commands.Add(
        root, "ioctl", "Send any request code; prints status, Information and the output bytes",
        [a](Session& s) {
            CheckOutputLength(a->OutLen, "--out-len");
            Reply reply;
            reply.Device = s.DeviceNumber();
            BytesResult r = s.OpenDevice().Ioctl(a->Code, a->In, a->OutLen);
            std::string name = NameOfCode(a->Code).value_or(Hex(a->Code, 8));
            reply.Status = r.Status;
            reply.Information = r.Information;
            reply.Output = r.Bytes;
            if (!r.Succeeded())
                reply.Failed = name;
            reply.Fields["code"] = Hex(a->Code, 8);
            reply.Fields["code_name"] =
                NameOfCode(a->Code) ? Json(*NameOfCode(a->Code)) : Json(nullptr);
            reply.Fields["input"] = HexString(a->In);
            reply.Fields["output_length"] = a->OutLen;
            return reply;
        });
    ioctl
        ->add_option_function<std::string>(
            "code",
            [a](const std::string& text) {
                try {
                    a->Code = ParseCode(text);
                } catch (const UsageError& e) {
                    throw CLI::ValidationError("code", e.what());
                }
            },
            "The code, in hex (0x222000) or by name (IOCTL_TOVRIK_GET_PIPE_INFO)")
        ->type_name("CODE")
        ->required();
    AddHex(ioctl, "--in", a->In, "Input bytes");
    AddNumber(ioctl, "--out-len", a->OutLen, "Output buffer length (default 0)");
}

} // namespace tovrik::cli
