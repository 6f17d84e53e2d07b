// Reads the two assembly outputs of layout_probe.cpp (host kernel declarations, host compiler;
// mingw-w64 DDK, cross compiler) and requires that they measure the same things with the same
// results, and that the URB sizes the driver allocates come out of them.
//
// The probe's data is read back from the assembler's data directives rather than trusted to one
// spelling: gcc writes a zero as ".zero 8" on ELF and ".space 8" on PE, clang as ".quad 0", and
// a record as any mix of .byte/.short/.long/.quad/.zero.

#include <gtest/gtest.h>

#include <cstdint>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace {

constexpr const char kPrefix[] = "tovrik_layout.";
constexpr const char kCompileFailed[] = "# tovrik-layout-probe: compile failed";

struct ProbeOutput {
    std::string Path;
    bool Opened = false;
    std::string CompileFailure; // the compiler's diagnostics when the probe did not compile
    std::vector<std::string> Unreadable;              // probe symbols whose data could not be read
    std::map<std::string, std::vector<uint8_t>> Data; // symbol (without the prefix) -> bytes
};

std::string Trim(const std::string& text) {
    size_t begin = text.find_first_not_of(" \t\r");
    if (begin == std::string::npos)
        return "";
    size_t end = text.find_last_not_of(" \t\r");
    return text.substr(begin, end - begin + 1);
}

// One data directive: appends its bytes (little-endian, as on x86-64) and returns true, or
// returns false when the line is not a data directive, which ends the symbol's data.
bool AppendDirective(const std::string& line, std::vector<uint8_t>& bytes, bool& malformed) {
    std::istringstream in(line);
    std::string directive;
    in >> directive;
    std::string operand;
    std::getline(in, operand);
    operand = Trim(operand);

    static const std::map<std::string, int> widths = {
        {".byte", 1}, {".short", 2}, {".value", 2}, {".2byte", 2}, {".word", 2},
        {".long", 4}, {".int", 4},   {".4byte", 4}, {".quad", 8},  {".8byte", 8},
    };
    if (directive == ".zero" || directive == ".space" || directive == ".skip") {
        // ".zero N" or ".space N, FILL"
        std::string count = operand.substr(0, operand.find(','));
        int fill = 0;
        if (operand.find(',') != std::string::npos)
            fill = std::stoi(Trim(operand.substr(operand.find(',') + 1)), nullptr, 0);
        const std::string trimmed = Trim(count);
        char* end = nullptr;
        unsigned long long n = std::strtoull(trimmed.c_str(), &end, 0);
        if (end == nullptr || *end != '\0' || n > 1u << 20) {
            malformed = true;
            return false;
        }
        bytes.insert(bytes.end(), n, static_cast<uint8_t>(fill));
        return true;
    }
    auto width = widths.find(directive);
    if (width == widths.end())
        return false;
    // A symbolic operand (a relocation) cannot be a measurement.
    const std::string text = Trim(operand.substr(0, operand.find(',')));
    char* end = nullptr;
    uint64_t value = text.size() > 0 && text[0] == '-'
                         ? static_cast<uint64_t>(std::strtoll(text.c_str(), &end, 0))
                         : std::strtoull(text.c_str(), &end, 0);
    if (text.empty() || end == nullptr || *end != '\0' || operand.find(',') != std::string::npos) {
        malformed = true;
        return false;
    }
    for (int i = 0; i < width->second; i++)
        bytes.push_back(static_cast<uint8_t>(value >> (8 * i)));
    return true;
}

ProbeOutput ReadProbe(const std::string& path) {
    ProbeOutput probe;
    probe.Path = path;
    std::ifstream file(path);
    if (!file)
        return probe;
    probe.Opened = true;

    std::vector<std::string> lines;
    for (std::string line; std::getline(file, line);)
        lines.push_back(line);
    if (!lines.empty() && lines[0].rfind(kCompileFailed, 0) == 0) {
        for (const std::string& line : lines)
            probe.CompileFailure += line.substr(line.rfind("# ", 0) == 0 ? 2 : 0) + "\n";
        return probe;
    }

    for (size_t i = 0; i < lines.size(); i++) {
        std::string label = Trim(lines[i]);
        if (label.empty() || label.back() != ':')
            continue;
        label.pop_back();
        if (label.size() > 1 && label.front() == '"' && label.back() == '"')
            label = label.substr(1, label.size() - 2);
        if (label.rfind(kPrefix, 0) != 0)
            continue;
        const std::string name = label.substr(sizeof kPrefix - 1);

        std::vector<uint8_t> bytes;
        bool malformed = false;
        for (size_t j = i + 1; j < lines.size(); j++) {
            // Assembler comments ("# 0xd0" after clang's values) are not part of the operand.
            std::string line = Trim(lines[j].substr(0, lines[j].find('#')));
            if (line.empty())
                continue;
            if (!AppendDirective(line, bytes, malformed))
                break;
        }
        if (malformed || bytes.empty() || probe.Data.count(name) != 0)
            probe.Unreadable.push_back(name);
        else
            probe.Data[name] = bytes;
    }
    return probe;
}

// The probe's measurements as numbers: every 8-byte symbol is a value; a "bits.RECORD.FLAG"
// record becomes "bit.RECORD.FLAG", the position of its one set bit counted from the start of the
// record (or an error note when it has none or several).
struct Measurements {
    std::map<std::string, uint64_t> Values;
    std::vector<std::string> Errors;
};

Measurements Measure(const ProbeOutput& probe) {
    Measurements result;
    for (const auto& [name, bytes] : probe.Data) {
        if (name.rfind("bits.", 0) == 0) {
            std::vector<uint64_t> set;
            for (size_t i = 0; i < bytes.size(); i++) {
                for (unsigned bit = 0; bit < 8; bit++) {
                    if (bytes[i] & (1u << bit))
                        set.push_back(i * 8 + bit);
                }
            }
            if (set.size() != 1) {
                result.Errors.push_back(name + ": " + std::to_string(set.size()) +
                                        " bits set in a record with one flag set");
                continue;
            }
            result.Values["bit." + name.substr(5)] = set[0];
            continue;
        }
        if (bytes.size() != 8) {
            result.Errors.push_back(name + ": " + std::to_string(bytes.size()) +
                                    " bytes, expected 8");
            continue;
        }
        uint64_t value = 0;
        for (int i = 7; i >= 0; i--)
            value = (value << 8) | bytes[i];
        result.Values[name] = value;
    }
    return result;
}

std::string Show(uint64_t value) {
    std::ostringstream out;
    out << static_cast<int64_t>(value) << " (0x" << std::hex << value << ")";
    return out.str();
}

struct Side {
    const char* Name;
    ProbeOutput Probe;
    Measurements Measured;
};

class LayoutProbe : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        host_ = new Side{"host", ReadProbe(TOVRIK_LAYOUT_HOST_ASM), {}};
        windows_ = new Side{"windows", ReadProbe(TOVRIK_LAYOUT_WINDOWS_ASM), {}};
        host_->Measured = Measure(host_->Probe);
        windows_->Measured = Measure(windows_->Probe);
    }
    static void TearDownTestSuite() {
        delete host_;
        delete windows_;
        host_ = windows_ = nullptr;
    }

    // Every test first needs both outputs present, compiled and readable; otherwise it says why.
    void SetUp() override {
        for (const Side* side : {host_, windows_}) {
            ASSERT_TRUE(side->Probe.Opened)
                << side->Name << ": no probe output at " << side->Probe.Path
                << " (build the tovrik_layout_probe target)";
            ASSERT_TRUE(side->Probe.CompileFailure.empty())
                << side->Name << ": the probe did not compile; a declaration the probe measures is "
                << "missing or different on this side:\n"
                << side->Probe.CompileFailure;
            ASSERT_FALSE(side->Probe.Data.empty())
                << side->Name << ": no measurements in " << side->Probe.Path;
        }
    }

    static Side* host_;
    static Side* windows_;
};

Side* LayoutProbe::host_ = nullptr;
Side* LayoutProbe::windows_ = nullptr;

TEST_F(LayoutProbe, EveryMeasurementIsReadable) {
    for (const Side* side : {host_, windows_}) {
        for (const std::string& name : side->Probe.Unreadable)
            ADD_FAILURE() << side->Name << ": could not read the data of " << name;
        for (const std::string& error : side->Measured.Errors)
            ADD_FAILURE() << side->Name << ": " << error;
    }
}

TEST_F(LayoutProbe, BothSidesMeasureTheSameNames) {
    const auto& host = host_->Measured.Values;
    const auto& windows = windows_->Measured.Values;
    for (const auto& [name, value] : host) {
        if (windows.count(name) == 0)
            ADD_FAILURE() << name << " measured on the host side only";
    }
    for (const auto& [name, value] : windows) {
        if (host.count(name) == 0)
            ADD_FAILURE() << name << " measured on the windows side only";
    }
}

TEST_F(LayoutProbe, HostDeclarationsMatchTheDdk) {
    int differing = 0;
    std::ostringstream report;
    for (const auto& [name, host_value] : host_->Measured.Values) {
        auto windows = windows_->Measured.Values.find(name);
        if (windows == windows_->Measured.Values.end() || windows->second == host_value)
            continue;
        differing++;
        report << "  " << name << ": host " << Show(host_value) << ", windows (DDK) "
               << Show(windows->second) << "\n";
    }
    EXPECT_EQ(differing, 0) << "host kernel declarations differ from the DDK:\n" << report.str();
}

// The sizes the driver allocates its URBs and pipe tables with. The comparison above proves the
// two sides agree; these prove both agree with the sizes the driver's allocations are written
// for, and that the probe still measures them at all.
TEST_F(LayoutProbe, UrbSizesTheDriverAllocates) {
    std::vector<std::pair<std::string, uint64_t>> expected = {
        {"size._URB_CONTROL_DESCRIPTOR_REQUEST", 136},
        {"size._URB_CONTROL_VENDOR_OR_CLASS_REQUEST", 136},
        {"size._URB_CONTROL_FEATURE_REQUEST", 136},
        {"size._URB_BULK_OR_INTERRUPT_TRANSFER", 128},
        {"size._URB_SELECT_CONFIGURATION", 88},
        {"macro.GET_SELECT_CONFIGURATION_REQUEST_SIZE.1.1", 88},
        {"size._URB_PIPE_REQUEST", 40},
        {"size._URB_GET_CURRENT_FRAME_NUMBER", 32},
        {"size._URB_ISOCH_TRANSFER", 152},
        {"size.USBD_ISO_PACKET_DESCRIPTOR", 12},
        {"size.USBD_PIPE_INFORMATION", 24},
        {"size.USBD_INTERFACE_INFORMATION", 48},
        {"offset.USBD_INTERFACE_INFORMATION.Pipes", 24},
        {"size._URB_SELECT_INTERFACE", 80},
    };
    // Isochronous: 152 + 12 per packet (the record already holds one, and the platform's macro
    // adds n more; the driver allocates what the macro says).
    for (uint64_t n : {0, 1, 8})
        expected.push_back({"macro.GET_ISO_URB_SIZE." + std::to_string(n), 152 + 12 * n});
    // Interface information: 24 + 24 per pipe.
    for (uint64_t n : {0, 1, 4})
        expected.push_back({"macro.GET_USBD_INTERFACE_SIZE." + std::to_string(n), 24 + 24 * n});
    // Select interface: 80 + 24 per pipe past the first; 56 for none.
    expected.push_back({"macro.GET_SELECT_INTERFACE_REQUEST_SIZE.0", 56});
    for (uint64_t n : {1, 4})
        expected.push_back(
            {"macro.GET_SELECT_INTERFACE_REQUEST_SIZE." + std::to_string(n), 80 + 24 * (n - 1)});

    for (const Side* side : {host_, windows_}) {
        for (const auto& [name, size] : expected) {
            auto found = side->Measured.Values.find(name);
            if (found == side->Measured.Values.end())
                ADD_FAILURE() << side->Name << ": " << name << " is not measured";
            else if (found->second != size)
                ADD_FAILURE() << side->Name << ": " << name << " is " << found->second
                              << ", the driver allocates " << size;
        }
    }
}

// The driver reports surprise removal as harmless by setting this one flag in the capabilities
// the bus filled in; a flag word laid out differently would set some other capability.
TEST_F(LayoutProbe, SurpriseRemovalOkIsBit9OfTheFlagWord) {
    for (const Side* side : {host_, windows_}) {
        auto found = side->Measured.Values.find("bit.DEVICE_CAPABILITIES.SurpriseRemovalOK");
        ASSERT_NE(found, side->Measured.Values.end())
            << side->Name << ": SurpriseRemovalOK not measured";
        EXPECT_EQ(found->second, 4 * 8 + 9u) << side->Name;
    }
}

// The stream hands user software the packet descriptors the USB stack filled in, as the public
// ISO_PACKET_DESCRIPTOR; a copy between records that are not the same bytes would scramble them.
TEST_F(LayoutProbe, PublicPacketDescriptorIsTheUsbStacks) {
    for (const Side* side : {host_, windows_}) {
        const auto& values = side->Measured.Values;
        const std::vector<std::pair<std::string, std::string>> pairs = {
            {"size.ISO_PACKET_DESCRIPTOR", "size.USBD_ISO_PACKET_DESCRIPTOR"},
            {"offset.ISO_PACKET_DESCRIPTOR.Offset", "offset.USBD_ISO_PACKET_DESCRIPTOR.Offset"},
            {"offset.ISO_PACKET_DESCRIPTOR.Length", "offset.USBD_ISO_PACKET_DESCRIPTOR.Length"},
            {"offset.ISO_PACKET_DESCRIPTOR.Status", "offset.USBD_ISO_PACKET_DESCRIPTOR.Status"},
            {"size.ISO_PACKET_DESCRIPTOR.Offset", "size.USBD_ISO_PACKET_DESCRIPTOR.Offset"},
            {"size.ISO_PACKET_DESCRIPTOR.Length", "size.USBD_ISO_PACKET_DESCRIPTOR.Length"},
            {"size.ISO_PACKET_DESCRIPTOR.Status", "size.USBD_ISO_PACKET_DESCRIPTOR.Status"},
        };
        for (const auto& [public_name, platform_name] : pairs) {
            auto public_value = values.find(public_name);
            auto platform_value = values.find(platform_name);
            if (public_value == values.end() || platform_value == values.end()) {
                ADD_FAILURE() << side->Name << ": " << public_name << " or " << platform_name
                              << " not measured";
                continue;
            }
            EXPECT_EQ(public_value->second, platform_value->second)
                << side->Name << ": " << public_name << " against " << platform_name;
        }
    }
}

// The reader itself, on the spellings the compilers use, so that a silent misreading cannot make
// two different outputs look equal.
TEST(LayoutProbeReader, ReadsEveryCompilersSpelling) {
    const std::string path = ::testing::TempDir() + "layout_reader_sample.s";
    {
        std::ofstream out(path);
        out << "\t.globl\ttovrik_layout.size.A\n"
               "tovrik_layout.size.A:\n\t.quad\t208                             # 0xd0\n"
               "\t.size\ttovrik_layout.size.A, 8\n"
               "tovrik_layout.offset.B:\n\t.zero\t8\n"
               "tovrik_layout.offset.C:\n\t.space 8\n"
               "\t.align 8\n"
               "tovrik_layout.value.D:\n\t.quad\t-1073741823\n"
               "tovrik_layout.bits.R.F:\n\t.short\t0\n\t.short\t0\n\t.byte\t0\n\t.byte\t2\n\t."
               "zero\t58\n"
               "unrelated:\n\t.quad\t5\n"
               "tovrik_layout.value.E:\n\t.quad\tsome_symbol\n";
    }
    ProbeOutput probe = ReadProbe(path);
    Measurements measured = Measure(probe);
    EXPECT_EQ(measured.Values.at("size.A"), 208u);
    EXPECT_EQ(measured.Values.at("offset.B"), 0u);
    EXPECT_EQ(measured.Values.at("offset.C"), 0u);
    EXPECT_EQ(measured.Values.at("value.D"), 0xFFFFFFFFC0000001ull);
    EXPECT_EQ(measured.Values.at("bit.R.F"), 41u);
    EXPECT_EQ(measured.Values.count("unrelated"), 0u);
    EXPECT_EQ(probe.Unreadable, std::vector<std::string>{"value.E"});
    EXPECT_TRUE(measured.Errors.empty());
}

TEST(LayoutProbeReader, ReportsACompileFailureWithItsDiagnostics) {
    const std::string path = ::testing::TempDir() + "layout_reader_failed.s";
    {
        std::ofstream out(path);
        out << kCompileFailed << " (exit 1)\n# g++\n# probe.cpp:3:1: error: 'X' was not declared\n";
    }
    ProbeOutput probe = ReadProbe(path);
    EXPECT_NE(probe.CompileFailure.find("'X' was not declared"), std::string::npos)
        << probe.CompileFailure;
    EXPECT_TRUE(probe.Data.empty());
}

} // namespace
