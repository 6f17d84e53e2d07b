// Fuzz target: the Intel HEX reader and converter of the firmware tools. Any text either is
// refused with a HexError or gives records that survive the conversion whole: split into
// driver-sized records, written back as HEX and read again, the same records and the same
// memory image come out.
#include "intel_hex.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string_view>

namespace fw = tovrik::firmware;

namespace {

[[noreturn]] void Finding(const char* what) {
    std::fprintf(stderr, "\n==FINDING== %s\n", what);
    std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string_view text(reinterpret_cast<const char*>(data), size);
    std::vector<fw::DataRecord> records;
    try {
        records = fw::parse_intel_hex(text);
    } catch (const fw::HexError&) {
        return 0;
    }
    std::vector<fw::DataRecord> split = fw::split_records(records);
    std::size_t bytes = 0;
    for (const fw::DataRecord& record : records) {
        bytes += record.data.size();
    }
    std::size_t splitBytes = 0;
    for (const fw::DataRecord& record : split) {
        if (record.data.empty() || record.data.size() > fw::kMaxRecordData ||
            record.end() > 0x10000) {
            Finding("split_records made a record that is empty, too long or past 0xFFFF");
        }
        splitBytes += record.data.size();
    }
    if (splitBytes != bytes) {
        Finding("split_records lost or added bytes");
    }
    std::vector<std::uint8_t> image = fw::memory_image(records);
    std::vector<fw::DataRecord> again;
    try {
        again = fw::parse_intel_hex(fw::format_intel_hex(split));
    } catch (const fw::HexError&) {
        Finding("format_intel_hex wrote text that parse_intel_hex refuses");
    }
    if (again != split) {
        Finding("the records read back from format_intel_hex differ");
    }
    if (fw::memory_image(again) != image) {
        Finding("the memory image changed through the conversion");
    }
    return 0;
}
