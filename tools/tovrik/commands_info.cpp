// Commands that look at a camera: list, info, pipes, descriptor, configuration, string,
// version, last-error, frame-number.
#include "codes.h"
#include "commands.h"

#include <fmt/format.h>

#include <memory>

namespace tovrik::cli {

std::string PipeTypeName(std::uint32_t type) {
    switch (type) {
    case TOVRIK_PIPE_CONTROL:
        return "control";
    case TOVRIK_PIPE_ISOCHRONOUS:
        return "isochronous";
    case TOVRIK_PIPE_BULK:
        return "bulk";
    case TOVRIK_PIPE_INTERRUPT:
        return "interrupt";
    default:
        return fmt::format("type {}", type);
    }
}

namespace {

std::string Hex8(std::uint32_t v) {
    return Hex(v, 2);
}
std::string Hex16(std::uint32_t v) {
    return Hex(v, 4);
}
std::string Bcd(std::uint32_t v) {
    return fmt::format("{:x}.{:02x}", v >> 8, v & 0xFF);
}

// Records each request of a command made of several, and keeps the first failure as the
// command's status.
class Requests {
  public:
    explicit Requests(Reply& reply) : reply_(reply) {}
    template <typename Result> const Result& Note(const char* request, const Result& r) {
        list_.push_back(
            Json{{"request", request},
                 {"status", fmt::format("0x{:08X}", static_cast<std::uint32_t>(r.status))},
                 {"status_name", StatusName(r.status)},
                 {"information", r.information}});
        if (r.status < 0 && reply_.Succeeded()) {
            reply_.Status = r.status;
            reply_.Failed = request;
        }
        return r;
    }
    void Finish() { reply_.Fields["requests"] = std::move(list_); }

  private:
    Reply& reply_;
    Json list_ = Json::array();
};

Json DeviceDescriptorJson(const tovrik_device_descriptor_result& r) {
    if (!r.valid)
        return nullptr;
    const tovrik_device_descriptor& d = r.descriptor;
    return Json{{"bLength", d.bLength},
                {"bDescriptorType", d.bDescriptorType},
                {"bcdUSB", Hex16(d.bcdUSB)},
                {"bDeviceClass", d.bDeviceClass},
                {"bDeviceSubClass", d.bDeviceSubClass},
                {"bDeviceProtocol", d.bDeviceProtocol},
                {"bMaxPacketSize0", d.bMaxPacketSize0},
                {"idVendor", Hex16(d.idVendor)},
                {"idProduct", Hex16(d.idProduct)},
                {"bcdDevice", Hex16(d.bcdDevice)},
                {"iManufacturer", d.iManufacturer},
                {"iProduct", d.iProduct},
                {"iSerialNumber", d.iSerialNumber},
                {"bNumConfigurations", d.bNumConfigurations},
                {"raw", HexString({r.raw, 18})}};
}

void PrintDeviceDescriptor(std::ostream& out, const tovrik_device_descriptor& d,
                           std::string_view indent) {
    Table t;
    t.Add({"bLength", std::to_string(d.bLength)});
    t.Add({"bDescriptorType", std::to_string(d.bDescriptorType)});
    t.Add({"bcdUSB", Bcd(d.bcdUSB)});
    t.Add({"bDeviceClass", Hex8(d.bDeviceClass)});
    t.Add({"bDeviceSubClass", Hex8(d.bDeviceSubClass)});
    t.Add({"bDeviceProtocol", Hex8(d.bDeviceProtocol)});
    t.Add({"bMaxPacketSize0", std::to_string(d.bMaxPacketSize0)});
    t.Add({"idVendor", Hex16(d.idVendor)});
    t.Add({"idProduct", Hex16(d.idProduct)});
    t.Add({"bcdDevice", Bcd(d.bcdDevice)});
    t.Add({"iManufacturer", std::to_string(d.iManufacturer)});
    t.Add({"iProduct", std::to_string(d.iProduct)});
    t.Add({"iSerialNumber", std::to_string(d.iSerialNumber)});
    t.Add({"bNumConfigurations", std::to_string(d.bNumConfigurations)});
    t.Render(out, indent);
}

// One descriptor of a configuration set, decoded as far as its type is known.
struct DescriptorRow {
    std::size_t Offset;
    std::uint8_t Length;
    std::uint8_t Type;
    std::string TypeName;
    std::string Summary;
    Json Fields;
};

// Walks the set the way a careful host does: a descriptor shorter than 2 bytes or running past
// the end stops the walk, so a device's malformed lengths cannot make the tool read too far.
std::vector<DescriptorRow> WalkConfiguration(std::span<const std::uint8_t> set) {
    std::vector<DescriptorRow> rows;
    std::size_t at = 0;
    while (at + 2 <= set.size()) {
        std::uint8_t length = set[at];
        if (length < 2 || at + length > set.size())
            break;
        auto d = set.subspan(at, length);
        DescriptorRow row{at, length, d[1], "", "", Json::object()};
        auto u16 = [&d](std::size_t i) { return static_cast<std::uint32_t>(d[i] | d[i + 1] << 8); };
        if (d[1] == 2 && length >= 9) {
            row.TypeName = "configuration";
            row.Fields = {{"wTotalLength", u16(2)},      {"bNumInterfaces", d[4]},
                          {"bConfigurationValue", d[5]}, {"iConfiguration", d[6]},
                          {"bmAttributes", Hex8(d[7])},  {"bMaxPower_mA", d[8] * 2}};
            row.Summary =
                fmt::format("value {}, {} interface(s), total {} bytes, attributes {}, {} mA", d[5],
                            d[4], u16(2), Hex8(d[7]), d[8] * 2);
        } else if (d[1] == 4 && length >= 9) {
            row.TypeName = "interface";
            row.Fields = {{"bInterfaceNumber", d[2]},
                          {"bAlternateSetting", d[3]},
                          {"bNumEndpoints", d[4]},
                          {"bInterfaceClass", Hex8(d[5])},
                          {"bInterfaceSubClass", Hex8(d[6])},
                          {"bInterfaceProtocol", Hex8(d[7])},
                          {"iInterface", d[8]}};
            row.Summary = fmt::format("interface {} alternate {}, {} endpoint(s), class {}", d[2],
                                      d[3], d[4], Hex8(d[5]));
        } else if (d[1] == 5 && length >= 7) {
            row.TypeName = "endpoint";
            std::uint32_t size = u16(4);
            row.Fields = {{"bEndpointAddress", Hex8(d[2])},
                          {"bmAttributes", Hex8(d[3])},
                          {"wMaxPacketSize", Hex16(size)},
                          {"bInterval", d[6]}};
            row.Summary = fmt::format("{} {} {}, max packet {} x {}, interval {}", Hex8(d[2]),
                                      (d[2] & 0x80) ? "IN" : "OUT", PipeTypeName(d[3] & 3),
                                      size & 0x7FF, 1 + ((size >> 11) & 3), d[6]);
        } else {
            row.TypeName = fmt::format("type {}", d[1]);
            row.Summary = HexDump(d.subspan(2), 0);
        }
        row.Fields["offset"] = at;
        row.Fields["bLength"] = length;
        row.Fields["bDescriptorType"] = d[1];
        rows.push_back(std::move(row));
        at += length;
    }
    return rows;
}

Json ConfigurationJson(std::span<const std::uint8_t> set) {
    Json list = Json::array();
    for (auto& row : WalkConfiguration(set)) {
        Json entry{{"type", row.TypeName}};
        for (auto& [k, v] : row.Fields.items())
            entry[k] = v;
        list.push_back(std::move(entry));
    }
    return Json{{"length", set.size()}, {"descriptors", std::move(list)}, {"raw", HexString(set)}};
}

void PrintConfiguration(std::ostream& out, std::span<const std::uint8_t> set,
                        std::string_view indent) {
    Table t({"offset", "length", "type", "contents"});
    for (const auto& row : WalkConfiguration(set))
        t.Add({std::to_string(row.Offset), std::to_string(row.Length), row.TypeName, row.Summary});
    t.Render(out, indent);
}

Json PipeTableJson(const tovrik_pipe_info_result& r) {
    if (!r.present)
        return nullptr;
    Json pipes = Json::array();
    for (std::uint32_t i = 0; i < r.pipes_decoded; ++i) {
        const tovrik_pipe& p = r.pipes[i];
        pipes.push_back(Json{{"index", i},
                             {"endpoint", Hex8(p.endpoint_address)},
                             {"direction", (p.endpoint_address & 0x80) ? "in" : "out"},
                             {"type", PipeTypeName(p.pipe_type)},
                             {"maximum_packet_size", p.maximum_packet_size},
                             {"interval", p.interval},
                             {"maximum_transfer_size", p.maximum_transfer_size},
                             {"pipe_flags", Hex(p.pipe_flags, 8)},
                             {"pipe_handle", Hex(p.pipe_handle, 16)}});
    }
    return Json{{"length", r.length},
                {"interface_number", r.interface_number},
                {"alternate_setting", r.alternate_setting},
                {"class", Hex8(r.interface_class)},
                {"subclass", Hex8(r.interface_subclass)},
                {"protocol", Hex8(r.interface_protocol)},
                {"interface_handle", Hex(r.interface_handle, 16)},
                {"number_of_pipes", r.number_of_pipes},
                {"pipes", std::move(pipes)}};
}

void PrintPipeTable(std::ostream& out, const tovrik_pipe_info_result& r, std::string_view indent) {
    if (!r.present) {
        out << indent << "no pipe table (the device is not configured)\n";
        return;
    }
    out << indent
        << fmt::format("interface {}, alternate setting {}, class {}, {} pipe(s), {} bytes\n",
                       r.interface_number, r.alternate_setting, Hex8(r.interface_class),
                       r.number_of_pipes, r.length);
    Table t({"pipe", "endpoint", "dir", "type", "max packet", "interval", "max transfer", "flags",
             "handle"});
    for (std::uint32_t i = 0; i < r.pipes_decoded; ++i) {
        const tovrik_pipe& p = r.pipes[i];
        t.Add({std::to_string(i), Hex8(p.endpoint_address),
               (p.endpoint_address & 0x80) ? "in" : "out", PipeTypeName(p.pipe_type),
               std::to_string(p.maximum_packet_size), std::to_string(p.interval),
               std::to_string(p.maximum_transfer_size), Hex(p.pipe_flags, 8),
               Hex(p.pipe_handle, 16)});
    }
    t.Render(out, indent);
}

std::string VersionText(const DRIVER_VERSION& v) {
    return fmt::format("{}.{}.{}", v.Major, v.Minor, v.Build);
}

void Info(CommandSet& commands, CLI::App& root) {
    commands.Add(root, "list", "List the cameras that can be opened", [](Session& s) {
        Reply reply;
        reply.Command = "list";
        Json cameras = Json::array();
        Table t({"device", "path", "vendor", "product", "release", "name"});
        for (std::uint32_t n : s.System().Cameras()) {
            Json entry{{"device", n}, {"path", tovrik::System::Path(n)}};
            std::string vendor = "?", product = "?", release = "?", name;
            try {
                tovrik::Device device = s.System().OpenCamera(n);
                auto d = device.DeviceDescriptor();
                if (d.valid) {
                    vendor = Hex16(d.descriptor.idVendor);
                    product = Hex16(d.descriptor.idProduct);
                    release = Bcd(d.descriptor.bcdDevice);
                    entry["idVendor"] = vendor;
                    entry["idProduct"] = product;
                    entry["bcdDevice"] = Hex16(d.descriptor.bcdDevice);
                    if (d.descriptor.iProduct != 0) {
                        auto p = device.StringDescriptor(d.descriptor.iProduct);
                        if (p.status >= 0)
                            name = p.utf8;
                    }
                    entry["product"] = name;
                }
            } catch (const tovrik::Error& e) {
                entry["error"] = StatusName(e.Status());
            }
            t.Add({std::to_string(n), tovrik::System::Path(n), vendor, product, release, name});
            cameras.push_back(std::move(entry));
        }
        reply.Fields["cameras"] = std::move(cameras);
        reply.Human = [t](std::ostream& out) {
            if (t.Empty())
                out << "no cameras\n";
            else
                t.Render(out);
        };
        return reply;
    });

    commands.Add(
        root, "info",
        "Device descriptor, strings, configuration, pipe table, driver version and last USBD error",
        [](Session& s) {
            Reply reply;
            reply.Command = "info";
            reply.Device = s.DeviceNumber();
            tovrik::Device& device = s.OpenDevice();
            Requests requests(reply);
            auto descriptor =
                requests.Note("IOCTL_TOVRIK_GET_DEVICE_DESCRIPTOR", device.DeviceDescriptor());
            reply.Fields["device_descriptor"] = DeviceDescriptorJson(descriptor);

            struct Text {
                std::string Role;
                std::uint8_t Index;
                std::string Value;
            };
            auto texts = std::make_shared<std::vector<Text>>();
            Json strings = Json::array();
            if (descriptor.valid) {
                const tovrik_device_descriptor& d = descriptor.descriptor;
                std::uint16_t language = TOVRIK_LANGUAGE_ENGLISH_US;
                if (d.iManufacturer || d.iProduct || d.iSerialNumber) {
                    auto languages = requests.Note("IOCTL_TOVRIK_GET_STRING_DESCRIPTOR",
                                                   device.StringDescriptor(0, 0));
                    if (languages.language_id_count > 0)
                        language = languages.language_ids[0];
                }
                for (auto [role, index] :
                     {std::pair<const char*, std::uint8_t>{"manufacturer", d.iManufacturer},
                      {"product", d.iProduct},
                      {"serial", d.iSerialNumber}}) {
                    if (index == 0)
                        continue;
                    auto text = requests.Note("IOCTL_TOVRIK_GET_STRING_DESCRIPTOR",
                                              device.StringDescriptor(index, language));
                    texts->push_back({role, index, text.utf8});
                    strings.push_back(Json{{"role", role},
                                           {"index", index},
                                           {"language", Hex16(language)},
                                           {"text", text.utf8}});
                }
            }
            reply.Fields["strings"] = std::move(strings);

            BytesResult configuration = device.ConfigurationDescriptor();
            requests.Note("IOCTL_TOVRIK_GET_CONFIGURATION_DESCRIPTOR",
                          tovrik_result{configuration.Status, 0, configuration.Information});
            reply.Fields["configuration"] = ConfigurationJson(configuration.Bytes);

            auto pipes = requests.Note("IOCTL_TOVRIK_GET_PIPE_INFO", device.PipeInfo());
            reply.Fields["pipe_table"] = PipeTableJson(pipes);
            auto version = requests.Note("IOCTL_TOVRIK_GET_DRIVER_VERSION", device.DriverVersion());
            reply.Fields["driver_version"] =
                version.status >= 0 ? Json(VersionText(version.version)) : Json(nullptr);
            auto last = requests.Note("IOCTL_TOVRIK_GET_LAST_ERROR", device.LastError());
            reply.Fields["last_usbd_status"] = Hex(last.value, 8);
            reply.Fields["last_usbd_status_name"] = UsbdStatusName(last.value);
            requests.Finish();

            std::uint32_t number = s.DeviceNumber();
            reply.Human = [=, bytes = configuration.Bytes](std::ostream& out) {
                out << fmt::format("Camera {}  {}\n\n", number, tovrik::System::Path(number));
                out << "Device descriptor\n";
                if (descriptor.valid)
                    PrintDeviceDescriptor(out, descriptor.descriptor, "  ");
                else
                    out << "  not available\n";
                out << "\nStrings\n";
                Table st({"role", "index", "text"});
                for (const Text& t : *texts)
                    st.Add({t.Role, std::to_string(t.Index), t.Value});
                if (st.Empty())
                    out << "  none\n";
                else
                    st.Render(out, "  ");
                out << "\nConfiguration\n";
                PrintConfiguration(out, bytes, "  ");
                out << "\nPipe table\n";
                PrintPipeTable(out, pipes, "  ");
                out << "\nDriver version   "
                    << (version.status >= 0 ? VersionText(version.version)
                                            : StatusName(version.status))
                    << "\n";
                out << "Last USBD error  " << Hex(last.value, 8) << "  "
                    << UsbdStatusName(last.value) << "\n";
            };
            return reply;
        });

    commands.Add(root, "pipes", "The pipe table of the selected interface", [](Session& s) {
        auto r = s.OpenDevice().PipeInfo();
        Reply reply = RequestReply(s, r, "IOCTL_TOVRIK_GET_PIPE_INFO",
                                   {{"pipe_table", PipeTableJson(r)}}, {r.raw, r.raw_length});
        reply.Human = [r](std::ostream& out) { PrintPipeTable(out, r, ""); };
        return reply;
    });

    commands.Add(root, "descriptor", "The device descriptor", [](Session& s) {
        auto r = s.OpenDevice().DeviceDescriptor();
        Reply reply = RequestReply(s, r, "IOCTL_TOVRIK_GET_DEVICE_DESCRIPTOR",
                                   {{"device_descriptor", DeviceDescriptorJson(r)}},
                                   {r.raw, std::min<std::size_t>(r.information, 18)});
        reply.Human = [r](std::ostream& out) {
            if (r.valid)
                PrintDeviceDescriptor(out, r.descriptor, "");
            else
                out << fmt::format("short descriptor: {} bytes\n", r.information);
        };
        return reply;
    });

    auto length = std::make_shared<std::uint32_t>(65535);
    auto* configuration = commands.Add(
        root, "configuration", "The configuration descriptor set", [length](Session& s) {
            Reply reply;
            reply.Device = s.DeviceNumber();
            BytesResult r = s.OpenDevice().ConfigurationDescriptor(*length);
            reply.Status = r.Status;
            reply.Information = r.Information;
            if (!r.Succeeded())
                reply.Failed = "IOCTL_TOVRIK_GET_CONFIGURATION_DESCRIPTOR";
            reply.Output = r.Bytes;
            reply.Fields["configuration"] = ConfigurationJson(r.Bytes);
            reply.Human = [bytes = r.Bytes](std::ostream& out) {
                PrintConfiguration(out, bytes, "");
            };
            return reply;
        });
    AddNumber(configuration, "--max-length", *length,
              "Read at most this many bytes (default 65535)");

    struct StringArgs {
        std::uint8_t Index = 0;
        std::uint16_t Language = TOVRIK_LANGUAGE_ENGLISH_US;
    };
    auto sa = std::make_shared<StringArgs>();
    auto* string = commands.Add(root, "string", "A string descriptor, decoded", [sa](Session& s) {
        auto r = s.OpenDevice().StringDescriptor(sa->Index, sa->Language);
        Reply reply = RequestReply(s, r, "IOCTL_TOVRIK_GET_STRING_DESCRIPTOR",
                                   {{"index", sa->Index}, {"language", Hex16(sa->Language)}},
                                   {r.raw, r.raw_length});
        if (sa->Index == 0) {
            Json languages = Json::array();
            for (std::uint32_t i = 0; i < r.language_id_count; ++i)
                languages.push_back(Hex16(r.language_ids[i]));
            reply.Fields["languages"] = languages;
        } else {
            reply.Fields["text"] = r.utf8;
        }
        reply.Human = [r, index = sa->Index](std::ostream& out) {
            if (index != 0) {
                out << r.utf8 << "\n";
                return;
            }
            for (std::uint32_t i = 0; i < r.language_id_count; ++i)
                out << Hex16(r.language_ids[i]) << "\n";
        };
        return reply;
    });
    AddNumber(string, "index", sa->Index, "String index (0: the language list)")->required();
    AddNumber(string, "--language", sa->Language, "Language id (default 0x0409)");

    commands.Add(root, "version", "The driver's version", [](Session& s) {
        Reply reply;
        reply.Device = s.DeviceNumber();
        auto r = s.OpenDevice().DriverVersion();
        reply.From(r, "IOCTL_TOVRIK_GET_DRIVER_VERSION");
        if (r.status >= 0) {
            reply.Output = {static_cast<std::uint8_t>(r.version.Major),
                            static_cast<std::uint8_t>(r.version.Major >> 8),
                            static_cast<std::uint8_t>(r.version.Minor),
                            static_cast<std::uint8_t>(r.version.Minor >> 8),
                            static_cast<std::uint8_t>(r.version.Build),
                            static_cast<std::uint8_t>(r.version.Build >> 8)};
            reply.Output.resize(std::min<std::uint64_t>(r.information, 6));
            reply.Fields["version"] = VersionText(r.version);
        }
        reply.Human = [r](std::ostream& out) { out << VersionText(r.version) << "\n"; };
        return reply;
    });

    commands.Add(root, "last-error", "The last USBD error of the camera (0 when none)",
                 [](Session& s) {
                     Reply reply;
                     reply.Device = s.DeviceNumber();
                     auto r = s.OpenDevice().LastError();
                     reply.From(r, "IOCTL_TOVRIK_GET_LAST_ERROR");
                     if (r.status >= 0 && r.information >= 4)
                         reply.Output = {static_cast<std::uint8_t>(r.value),
                                         static_cast<std::uint8_t>(r.value >> 8),
                                         static_cast<std::uint8_t>(r.value >> 16),
                                         static_cast<std::uint8_t>(r.value >> 24)};
                     reply.Fields["usbd_status"] = Hex(r.value, 8);
                     reply.Fields["usbd_status_name"] = UsbdStatusName(r.value);
                     reply.Human = [r](std::ostream& out) {
                         out << Hex(r.value, 8) << "  " << UsbdStatusName(r.value) << "\n";
                     };
                     return reply;
                 });

    commands.Add(root, "frame-number", "The bus's current USB frame number", [](Session& s) {
        Reply reply;
        reply.Device = s.DeviceNumber();
        auto r = s.OpenDevice().FrameNumber();
        reply.From(r, "IOCTL_TOVRIK_GET_FRAME_NUMBER");
        if (r.status >= 0 && r.information >= 4)
            reply.Output = {
                static_cast<std::uint8_t>(r.value), static_cast<std::uint8_t>(r.value >> 8),
                static_cast<std::uint8_t>(r.value >> 16), static_cast<std::uint8_t>(r.value >> 24)};
        reply.Fields["frame_number"] = r.value;
        reply.Human = [r](std::ostream& out) { out << r.value << "\n"; };
        return reply;
    });
}

} // namespace

void RegisterInfoCommands(CommandSet& commands, CLI::App& root) {
    Info(commands, root);
}

} // namespace tovrik::cli
