#include "allocation_sites.h"

#include <algorithm>
#include <fstream>
#include <map>
#include <regex>
#include <sstream>

namespace tovrik_faults {

std::string AllocationSite::Label() const {
    return File + ":" + std::to_string(Line) + " " + Routine + " in " + Function;
}

const std::set<std::string>& AllocatingKernelRoutines() {
    static const std::set<std::string> routines = {
        "ExAllocatePool",
        "ExAllocatePoolWithTag",
        "ExAllocatePool2",
        "ExAllocatePoolZero",
        "IoAllocateIrp",
        "IoBuildDeviceIoControlRequest",
        "IoBuildSynchronousFsdRequest",
        "IoBuildAsynchronousFsdRequest",
        "IoAllocateMdl",
        "IoCreateDevice",
        "IoAttachDeviceToDeviceStack",
        "USBD_CreateConfigurationRequestEx",
        "USBD_CreateConfigurationRequest",
        "MmMapLockedPages",
        "MmMapLockedPagesSpecifyCache",
        "MmGetSystemAddressForMdlSafe",
    };
    return routines;
}

namespace {

// Comments and the insides of string and character literals become spaces; line breaks stay,
// so line numbers do not move.
std::string Blank(const std::string& text) {
    std::string out = text;
    enum { Code, LineComment, BlockComment, String, Char } state = Code;
    for (std::size_t i = 0; i < out.size(); ++i) {
        char c = text[i];
        char next = i + 1 < text.size() ? text[i + 1] : '\0';
        switch (state) {
        case Code:
            if (c == '/' && next == '/') {
                state = LineComment;
                out[i] = ' ';
            } else if (c == '/' && next == '*') {
                state = BlockComment;
                out[i] = ' ';
            } else if (c == '"') {
                state = String;
            } else if (c == '\'') {
                state = Char;
            }
            break;
        case LineComment:
            if (c == '\n') {
                state = Code;
            } else {
                out[i] = ' ';
            }
            break;
        case BlockComment:
            if (c == '*' && next == '/') {
                out[i] = out[i + 1] = ' ';
                ++i;
                state = Code;
            } else if (c != '\n') {
                out[i] = ' ';
            }
            break;
        case String:
        case Char:
            if (c == '\\') {
                out[i] = ' ';
                if (i + 1 < out.size()) {
                    out[++i] = ' ';
                }
            } else if ((state == String && c == '"') || (state == Char && c == '\'')) {
                state = Code;
            } else if (c != '\n') {
                out[i] = ' ';
            }
            break;
        }
    }
    return out;
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    return lines;
}

bool StartsWord(const std::string& line, const char* word) {
    std::size_t n = std::char_traits<char>::length(word);
    return line.compare(0, n, word) == 0 && (line.size() == n || !std::isalnum(line[n]));
}

} // namespace

void ScanSource(const std::string& file, const std::string& text, DriverAllocations& into) {
    std::vector<std::string> lines = Lines(Blank(text));
    static const std::regex callPattern(R"(\b([A-Za-z_]\w*)\s*\()");
    static const std::regex namePattern(R"(([A-Za-z_]\w*)\s*\($)");
    std::vector<ScannedRoutine>& routines = into.Routines[file];

    for (std::size_t i = 0; i < lines.size(); ++i) {
        const std::string& line = lines[i];
        if (line.empty() || std::isspace(static_cast<unsigned char>(line[0])) || line[0] == '#' ||
            line[0] == '}' || StartsWord(line, "namespace") || StartsWord(line, "typedef") ||
            StartsWord(line, "struct") || StartsWord(line, "class") || StartsWord(line, "enum") ||
            StartsWord(line, "union") || StartsWord(line, "static_assert") ||
            StartsWord(line, "using")) {
            continue;
        }
        // The signature runs until a line that ends with '{' (a definition) or ';' (anything
        // else: a declaration, a variable).
        std::string signature;
        std::size_t end = i;
        for (; end < lines.size(); ++end) {
            signature += lines[end] + "\n";
            std::string trimmed = lines[end];
            while (!trimmed.empty() && std::isspace(static_cast<unsigned char>(trimmed.back()))) {
                trimmed.pop_back();
            }
            if (!trimmed.empty() && (trimmed.back() == '{' || trimmed.back() == ';')) {
                break;
            }
        }
        if (end >= lines.size() || signature.find('(') == std::string::npos ||
            signature[signature.find_last_not_of(" \t\n")] != '{' ||
            signature.find('=') < signature.find('(')) {
            i = end;
            continue;
        }
        std::string head = signature.substr(0, signature.find('(') + 1);
        std::smatch name;
        if (!std::regex_search(head, name, namePattern)) {
            i = end;
            continue;
        }
        ScannedRoutine routine;
        routine.Name = name[1];
        std::string returnType = head.substr(0, static_cast<std::size_t>(name.position(1)));
        // Windows pointer typedefs start with P and a capital (PURB, PVOID, PBYTE_RING).
        static const std::regex pointerType(R"((\*|\bP[A-Z]\w*)\s*$)");
        routine.ReturnsPointer = std::regex_search(returnType, pointerType);

        // The body: up to the '}' in column 0.
        std::size_t bodyEnd = end + 1;
        while (bodyEnd < lines.size() && lines[bodyEnd].rfind('}', 0) != 0) {
            ++bodyEnd;
        }
        for (std::size_t b = end + 1; b < bodyEnd; ++b) {
            for (std::sregex_iterator it(lines[b].begin(), lines[b].end(), callPattern), last;
                 it != last; ++it) {
                ScannedRoutine::Call call{(*it)[1], static_cast<int>(b + 1),
                                          static_cast<int>(b + 1)};
                // The statement ends at the first later line (or this one) that ends with ';'.
                for (std::size_t s = b; s < bodyEnd; ++s) {
                    std::string t = lines[s];
                    while (!t.empty() && std::isspace(static_cast<unsigned char>(t.back()))) {
                        t.pop_back();
                    }
                    if (!t.empty() && (t.back() == ';' || t.back() == '{')) {
                        call.LastLine = static_cast<int>(s + 1);
                        break;
                    }
                }
                routine.Calls.push_back(call);
            }
        }
        routines.push_back(std::move(routine));
        i = bodyEnd;
    }
}

void FindHelpers(DriverAllocations& allocations) {
    auto& byFile = allocations.Routines;
    const std::set<std::string>& kernel = AllocatingKernelRoutines();
    // A helper returns a pointer and calls an allocating routine or another helper.
    for (bool grew = true; grew;) {
        grew = false;
        for (auto& [file, routines] : byFile) {
            for (const ScannedRoutine& routine : routines) {
                if (!routine.ReturnsPointer || allocations.Helpers.count(routine.Name)) {
                    continue;
                }
                for (const ScannedRoutine::Call& call : routine.Calls) {
                    if (kernel.count(call.Name) || allocations.Helpers.count(call.Name)) {
                        allocations.Helpers.insert(routine.Name);
                        grew = true;
                        break;
                    }
                }
            }
        }
    }
    allocations.Sites.clear();
    for (auto& [file, routines] : byFile) {
        for (const ScannedRoutine& routine : routines) {
            for (const ScannedRoutine::Call& call : routine.Calls) {
                if (kernel.count(call.Name) || allocations.Helpers.count(call.Name)) {
                    allocations.Sites.push_back(
                        {file, call.Line, call.LastLine, call.Name, routine.Name});
                }
            }
        }
    }
    std::sort(allocations.Sites.begin(), allocations.Sites.end(),
              [](const AllocationSite& a, const AllocationSite& b) {
                  return std::tie(a.File, a.Line, a.Routine) < std::tie(b.File, b.Line, b.Routine);
              });
}

DriverAllocations ScanDriverSources(const std::filesystem::path& sourceRoot) {
    DriverAllocations allocations;
    std::vector<std::filesystem::path> files;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(sourceRoot / "driver")) {
        auto extension = entry.path().extension();
        if (entry.is_regular_file() && (extension == ".cpp" || extension == ".h")) {
            files.push_back(entry.path());
        }
    }
    std::sort(files.begin(), files.end());
    for (const auto& path : files) {
        std::ifstream in(path);
        std::stringstream text;
        text << in.rdbuf();
        ScanSource(std::filesystem::relative(path, sourceRoot).generic_string(), text.str(),
                   allocations);
    }
    FindHelpers(allocations);
    return allocations;
}

} // namespace tovrik_faults
