#include "call_chain.h"

#include <dlfcn.h>
#include <unwind.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <optional>
#include <set>
#include <sstream>

namespace tovrik_faults {

namespace {

struct Walk {
    RawChain* Chain;
    int Skip;
    int Left;
};

_Unwind_Reason_Code Visit(struct _Unwind_Context* context, void* argument) {
    auto* walk = static_cast<Walk*>(argument);
    if (walk->Skip > 0) {
        walk->Skip--;
        return _URC_NO_REASON;
    }
    if (walk->Left-- <= 0) {
        return _URC_END_OF_STACK;
    }
    walk->Chain->push_back(reinterpret_cast<const void*>(_Unwind_GetIP(context)));
    return _URC_NO_REASON;
}

} // namespace

RawChain TakeRawChain(int depth) {
    // The unwinder itself, from the unwind tables: the C library's backtrace() is replaced by
    // the sanitizers with a frame-pointer walk that gives different chains for the same path.
    RawChain chain;
    Walk walk{&chain, 1, depth};
    _Unwind_Backtrace(Visit, &walk);
    return chain;
}

Symbolizer::Symbolizer(std::string sourceRoot) : Root(std::move(sourceRoot)) {
    if (!Root.empty() && Root.back() != '/') {
        Root += '/';
    }
}

namespace {

// The program's own path, for addr2line.
std::string ProgramPath() {
    char path[4096];
    ssize_t length = readlink("/proc/self/exe", path, sizeof(path) - 1);
    if (length <= 0) {
        return {};
    }
    return std::string(path, static_cast<std::size_t>(length));
}

// Where the program itself is loaded (not a shared library).
const void* ProgramBase() {
    Dl_info info{};
    dladdr(reinterpret_cast<const void*>(&ProgramPath), &info);
    return info.dli_fbase;
}

// The address as addr2line wants it: an offset into the program's file (it is position
// independent), one byte back so that it lies inside the call instruction, not after it.
// Nothing for an address in a shared library: the program's debug information does not name it.
std::optional<std::uintptr_t> FileAddress(const void* address) {
    Dl_info info{};
    if (dladdr(address, &info) == 0 || info.dli_fbase != ProgramBase()) {
        return std::nullopt;
    }
    return reinterpret_cast<std::uintptr_t>(address) - 1 -
           reinterpret_cast<std::uintptr_t>(info.dli_fbase);
}

} // namespace

bool Symbolizer::Name(const std::vector<RawChain>& chains) {
    std::set<const void*> wanted;
    for (const RawChain& chain : chains) {
        for (const void* address : chain) {
            if (Named.count(address)) {
                continue;
            }
            if (FileAddress(address)) {
                wanted.insert(address);
            } else {
                Dl_info info{};
                dladdr(address, &info);
                Named[address] = {{info.dli_sname != nullptr ? info.dli_sname : "?",
                                   info.dli_fname != nullptr ? info.dli_fname : "?", 0}};
            }
        }
    }
    if (wanted.empty()) {
        return true;
    }
    char listName[] = "/tmp/tovrik-chain-XXXXXX";
    int fd = mkstemp(listName);
    if (fd < 0) {
        return false;
    }
    {
        std::ofstream list(listName);
        for (const void* address : wanted) {
            list << std::hex << "0x" << *FileAddress(address) << '\n';
        }
    }
    close(fd);
    std::string command =
        "addr2line -a -C -f -i -e '" + ProgramPath() + "' < '" + listName + "' 2>/dev/null";
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) {
        std::remove(listName);
        return false;
    }
    // Output: per address a line "0x...", then pairs of lines (function, file:line), the
    // innermost inlined frame first.
    std::vector<std::string> lines;
    char buffer[8192];
    while (fgets(buffer, sizeof(buffer), pipe) != nullptr) {
        std::string line(buffer);
        while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) {
            line.pop_back();
        }
        lines.push_back(line);
    }
    int status = pclose(pipe);
    std::remove(listName);
    if (status != 0) {
        return false;
    }
    auto next = wanted.begin();
    std::vector<SourceFrame>* current = nullptr;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        if (lines[i].rfind("0x", 0) == 0) {
            if (next == wanted.end()) {
                return false;
            }
            current = &Named[*next++];
            continue;
        }
        if (current == nullptr || i + 1 >= lines.size()) {
            return false;
        }
        SourceFrame frame;
        frame.Function = lines[i];
        std::string place = lines[++i];
        // "file:line" or "file:line (discriminator n)"
        if (auto space = place.find(" ("); space != std::string::npos) {
            place.resize(space);
        }
        if (auto colon = place.rfind(':'); colon != std::string::npos) {
            frame.File = place.substr(0, colon);
            frame.Line = std::atoi(place.c_str() + colon + 1);
        } else {
            frame.File = place;
        }
        if (frame.File.rfind(Root, 0) == 0) {
            frame.File.erase(0, Root.size());
        }
        current->push_back(std::move(frame));
    }
    return next == wanted.end();
}

std::vector<SourceFrame> Symbolizer::Frames(const RawChain& chain) const {
    std::vector<SourceFrame> frames;
    for (const void* address : chain) {
        auto it = Named.find(address);
        if (it != Named.end()) {
            frames.insert(frames.end(), it->second.begin(), it->second.end());
        }
    }
    return frames;
}

} // namespace tovrik_faults
