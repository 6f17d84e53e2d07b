// tovrik-fw-standins: writes the repository's stand-in firmware images, loader.hex (image A) and
// camera.hex (image B).
//
//   tovrik-fw-standins --output-dir driver/firmware/images
//
// The camera's own firmware cannot be shipped, but the driver, the simulated camera and the tests
// need two images with its layout: the same record counts, byte totals and address ranges, records
// out of address order with the first record not at the lowest address. The output depends on
// nothing but this file (fixed seeds, our own generator of numbers), so running it again gives
// byte-identical files; a test checks that. README.md beside this file explains the layout.

#include "intel_hex.h"

#include <CLI/CLI.hpp>
#include <fmt/format.h>

#include <cstdio>
#include <exception>
#include <map>
#include <optional>

namespace fw = tovrik::firmware;

namespace {

// SplitMix64: small, well mixed from any seed, and defined here bit for bit, unlike the standard
// library's distributions, whose results differ between implementations.
class SplitMix64 {
  public:
    explicit SplitMix64(std::uint64_t seed) : state_(seed) {}

    std::uint64_t next() {
        state_ += 0x9E3779B97F4A7C15ull;
        std::uint64_t z = state_;
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    std::size_t below(std::size_t bound) { return static_cast<std::size_t>(next() % bound); }
    std::uint8_t byte() { return static_cast<std::uint8_t>(next() >> 56); }

  private:
    std::uint64_t state_;
};

constexpr std::uint8_t kLjmp = 0x02;
constexpr std::uint8_t kNop = 0x00;
constexpr std::uint8_t kRet = 0x22;
constexpr std::uint8_t kReti = 0x32;

// A small absolute piece outside the body: "LJMP target" at a vector address, optionally
// followed by a NOP (the four-byte entries of an interrupt jump table).
struct Stub {
    std::uint16_t address;
    std::optional<std::size_t> routine = std::nullopt; // jump to this body routine's start...
    std::uint16_t target = 0;                          // ...or, without one, to this address
    bool nop_pad = false;
};

struct Profile {
    std::string_view file_name;
    std::uint64_t seed;
    std::uint16_t body_start;
    std::uint32_t body_bytes;
    std::size_t body_records;
    std::size_t routines;
    std::vector<Stub> stubs;
    // What the image must come to; checked after generation.
    std::size_t total_records;
    std::size_t total_bytes;
};

const Profile kLoader{
    .file_name = "loader.hex",
    .seed = 0x318A,
    .body_start = 0x0080,
    .body_bytes = 0x0382 - 0x0080 + 1, // 771
    .body_records = 54,
    .routines = 12,
    .stubs = {{.address = 0x0000, .routine = 0},                   // reset
              {.address = 0x0003, .routine = 1},                   // external interrupt 0
              {.address = 0x0043, .target = 0x0400},               // USB interrupt, via table
              {.address = 0x0400, .routine = 2, .nop_pad = true}}, // its jump table entry
    .total_records = 58,
    .total_bytes = 784,
};

const Profile kCamera{
    .file_name = "camera.hex",
    .seed = 0x318B,
    .body_start = 0x0080,
    .body_bytes = 0x1002 - 0x0080 + 1, // 3971
    .body_records = 308,
    .routines = 120,
    .stubs = {{.address = 0x0000, .routine = 0},  // reset
              {.address = 0x0033, .routine = 1},  // resume
              {.address = 0x0043, .routine = 2},  // USB interrupt
              {.address = 0x004B, .routine = 3},  // I2C interrupt
              {.address = 0x0053, .routine = 4}}, // port interrupt
    .total_records = 313,
    .total_bytes = 3986,
};

// Splits the body into routines so that writing each routine as 16-byte records plus one shorter
// (or full) last record gives exactly body_records records. A routine of 16 * f + r bytes
// (1 <= r <= 16) takes f + 1 records, so with K routines the f's add up to body_records - K and
// the r's to body_bytes - 16 * (body_records - K); both are spread over the routines one unit at
// a time at places the generator picks.
std::vector<std::size_t> routine_lengths(const Profile& profile, SplitMix64& rng) {
    const std::size_t k = profile.routines;
    const std::size_t full_records = profile.body_records - k;
    if (profile.body_records < k || profile.body_bytes < 16 * full_records + k ||
        profile.body_bytes > 16 * profile.body_records) {
        throw std::logic_error(fmt::format("{}: {} bytes cannot make {} records in {} routines",
                                           profile.file_name, profile.body_bytes,
                                           profile.body_records, k));
    }
    std::vector<std::size_t> full(k, 0);
    for (std::size_t i = 0; i < full_records; ++i) {
        ++full[rng.below(k)];
    }
    std::vector<std::size_t> tail(k, 1);
    for (std::size_t left = profile.body_bytes - 16 * full_records - k; left > 0;) {
        auto& r = tail[rng.below(k)];
        if (r < 16) {
            ++r;
            --left;
        }
    }
    std::vector<std::size_t> lengths(k);
    for (std::size_t i = 0; i < k; ++i) {
        lengths[i] = 16 * full[i] + tail[i];
    }
    return lengths;
}

std::vector<fw::DataRecord> generate(const Profile& profile) {
    SplitMix64 rng(profile.seed);
    const auto lengths = routine_lengths(profile, rng);

    std::vector<std::uint16_t> starts;
    std::uint32_t at = profile.body_start;
    for (const auto length : lengths) {
        starts.push_back(static_cast<std::uint16_t>(at));
        at += static_cast<std::uint32_t>(length);
    }

    // Routines that a vector other than reset jumps to are interrupt handlers and end in RETI.
    std::vector<bool> handler(lengths.size(), false);
    for (const auto& stub : profile.stubs) {
        if (stub.routine && stub.address != 0) {
            handler.at(*stub.routine) = true;
        }
    }

    // Each routine as its own records, in address order within the routine.
    std::vector<std::vector<fw::DataRecord>> routines;
    for (std::size_t i = 0; i < lengths.size(); ++i) {
        std::vector<std::uint8_t> code(lengths[i]);
        for (auto& b : code) {
            b = rng.byte();
        }
        code.back() = handler[i] ? kReti : kRet;
        routines.push_back(fw::split_records(std::vector{fw::DataRecord{starts[i], code}}));
    }

    // A linker writes modules in its own order, not by address: shuffle the routines (Fisher-
    // Yates), then the vectors from the highest address down, the reset vector last. So the
    // first record is never the lowest address and the records are never in address order.
    for (std::size_t i = routines.size() - 1; i > 0; --i) {
        std::swap(routines[i], routines[rng.below(i + 1)]);
    }
    std::vector<fw::DataRecord> records;
    for (auto& routine : routines) {
        std::ranges::move(routine, std::back_inserter(records));
    }
    auto stubs = profile.stubs;
    std::ranges::sort(stubs, std::greater{}, &Stub::address);
    for (const auto& stub : stubs) {
        const std::uint16_t target = stub.routine ? starts.at(*stub.routine) : stub.target;
        std::vector<std::uint8_t> code{kLjmp, static_cast<std::uint8_t>(target >> 8),
                                       static_cast<std::uint8_t>(target & 0xFF)};
        if (stub.nop_pad) {
            code.push_back(kNop);
        }
        records.push_back({stub.address, std::move(code)});
    }
    return records;
}

// The profile's totals, and no two records writing the same byte.
void check(const Profile& profile, const std::vector<fw::DataRecord>& records) {
    std::map<std::uint16_t, std::uint32_t> spans;
    std::size_t bytes = 0;
    for (const auto& record : records) {
        bytes += record.data.size();
        spans.emplace(record.address, record.end());
    }
    std::uint32_t previous_end = 0;
    for (const auto& [start, end] : spans) {
        if (start < previous_end) {
            throw std::logic_error(
                fmt::format("{}: records overlap at {:04X}", profile.file_name, start));
        }
        previous_end = end;
    }
    if (spans.size() != records.size() || records.size() != profile.total_records ||
        bytes != profile.total_bytes) {
        throw std::logic_error(fmt::format("{}: {} records and {} bytes, expected {} and {}",
                                           profile.file_name, records.size(), bytes,
                                           profile.total_records, profile.total_bytes));
    }
}

} // namespace

int main(int argc, char** argv) {
    CLI::App app{"Writes the stand-in firmware images loader.hex and camera.hex"};
    std::filesystem::path output_dir;
    app.add_option("-d,--output-dir", output_dir, "folder to write the two files into")
        ->required()
        ->check(CLI::ExistingDirectory);
    CLI11_PARSE(app, argc, argv);

    try {
        for (const auto* profile : {&kLoader, &kCamera}) {
            const auto records = generate(*profile);
            check(*profile, records);
            fw::write_file_atomically(output_dir / profile->file_name,
                                      fw::format_intel_hex(records));
        }
    } catch (const std::exception& e) {
        fmt::print(stderr, "tovrik-fw-standins: {}\n", e.what());
        return 1;
    }
    return 0;
}
