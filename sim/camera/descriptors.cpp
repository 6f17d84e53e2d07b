// The camera's default descriptors and the walkers over configuration descriptor sets.
//
// Everything here is constant data: no constructor runs before the kernel-side user of the model
// does, so the tables are plain arrays built at compile time.

#include "camera/camera.h"

#include <cstddef>

namespace sim {
namespace {

constexpr std::uint8_t kTypeDevice = 1;
constexpr std::uint8_t kTypeInterface = 4;
constexpr std::uint8_t kTypeEndpoint = 5;

// A string descriptor from ASCII text: UTF-16LE after the two header bytes.
template <std::size_t N>
constexpr std::array<std::uint8_t, 2 * N> StringDescriptor(const char (&text)[N]) {
    std::array<std::uint8_t, 2 * N> out{};
    out[0] = static_cast<std::uint8_t>(2 * N); // N counts the terminating NUL: 2 + 2 * (N - 1)
    out[1] = 3;
    for (std::size_t i = 0; i + 1 < N; ++i) {
        out[2 + 2 * i] = static_cast<std::uint8_t>(text[i]);
    }
    return out;
}

// Descriptor tables are laid out one descriptor per line, as the USB documents draw them.
// clang-format off
constexpr std::uint8_t kLanguages[] = {4, 3, 0x09, 0x04}; // US English only
// Both faces of the camera name the same maker.
constexpr auto kManufacturer = StringDescriptor("Tovrik");

// --- The bare chip ---------------------------------------------------------------------------

constexpr std::uint8_t kForeignDevice[] = {
    18, kTypeDevice, 0x00, 0x02,           // USB 2.0
    0xFF, 0xFF, 0xFF, 64,                  // vendor class 0xFF, 64-byte endpoint 0
    kForeignVendorId & 0xFF, kForeignVendorId >> 8,
    kForeignProductId & 0xFF, kForeignProductId >> 8,
    0x00, 0x00,                            // bcdDevice 0.00
    1, 2, 0, 1,                            // manufacturer, product, no serial; one configuration
};

constexpr std::uint8_t kForeignConfiguration[] = {
    9, 2, 32, 0, 1, 1, 0, 0x80, 50,                // bus powered, 100 mA
    9, kTypeInterface, 0, 0, 2, 0xFF, 0xFF, 0xFF, 0,
    7, kTypeEndpoint, 0x01, 0x02, 0x00, 0x02, 0,   // bulk OUT, 512
    7, kTypeEndpoint, 0x81, 0x02, 0x00, 0x02, 0,   // bulk IN, 512
};
static_assert(sizeof(kForeignConfiguration) == 32);

constexpr auto kForeignProduct = StringDescriptor("Tovrik 318QX (no firmware)");

constexpr std::span<const std::uint8_t> kForeignStrings[] = {
    kLanguages,
    kManufacturer,
    kForeignProduct,
};

// --- The camera running its program ----------------------------------------------------------

constexpr std::uint8_t kOwnDevice[] = {
    18, kTypeDevice, 0x00, 0x02,
    0xFF, 0xFF, 0xFF, 64,
    kOwnVendorId & 0xFF, kOwnVendorId >> 8,
    kOwnProductId & 0xFF, kOwnProductId >> 8,
    0x00, 0x01,                            // bcdDevice 1.00
    1, 2, 3, 1,
};

constexpr std::uint8_t kOwnConfiguration[] = {
    9, 2, 92, 0, 1, 1, 0, 0x80, 250,               // bus powered, 500 mA
    // alt 0: commands, status, image, and a modest isochronous stream
    9, kTypeInterface, 0, 0, 4, 0xFF, 0xFF, 0xFF, 0,
    7, kTypeEndpoint, 0x01, 0x02, 0x00, 0x02, 0,   // bulk OUT 512: commands
    7, kTypeEndpoint, 0x81, 0x02, 0x00, 0x02, 0,   // bulk IN 512: status
    7, kTypeEndpoint, 0x82, 0x02, 0x00, 0x02, 0,   // bulk IN 512: image
    7, kTypeEndpoint, 0x83, 0x05, 0x00, 0x04, 1,   // isochronous IN, asynchronous, 1024 a uframe
    // alt 1: no bandwidth at all
    9, kTypeInterface, 0, 1, 0, 0xFF, 0xFF, 0xFF, 0,
    // alt 2: the bulk endpoints and a high-bandwidth stream, 3 x 1024 a microframe
    9, kTypeInterface, 0, 2, 4, 0xFF, 0xFF, 0xFF, 0,
    7, kTypeEndpoint, 0x01, 0x02, 0x00, 0x02, 0,
    7, kTypeEndpoint, 0x81, 0x02, 0x00, 0x02, 0,
    7, kTypeEndpoint, 0x82, 0x02, 0x00, 0x02, 0,
    7, kTypeEndpoint, 0x83, 0x05, 0x00, 0x14, 1,
};
static_assert(sizeof(kOwnConfiguration) == 92);

constexpr auto kOwnProduct = StringDescriptor("Tovrik 318QX");
constexpr auto kOwnSerial = StringDescriptor("318QX-000001");

constexpr std::span<const std::uint8_t> kOwnStrings[] = {
    kLanguages,
    kManufacturer,
    kOwnProduct,
    kOwnSerial,
};
// clang-format on

// --- Walking a configuration set -------------------------------------------------------------

// Calls visit(descriptor) for each whole descriptor in the set, until it returns false or the
// set ends or turns malformed.
template <typename Visit> void ForEachDescriptor(std::span<const std::uint8_t> set, Visit visit) {
    std::size_t offset = 0;
    while (set.size() - offset >= 2) {
        const std::size_t length = set[offset];
        if (length < 2 || length > set.size() - offset) {
            return;
        }
        if (!visit(set.subspan(offset, length))) {
            return;
        }
        offset += length;
    }
}

bool IsInterface(std::span<const std::uint8_t> d) {
    return d[1] == kTypeInterface && d.size() >= 9;
}
bool IsEndpoint(std::span<const std::uint8_t> d) {
    return d[1] == kTypeEndpoint && d.size() >= 7;
}

EndpointDescription Describe(std::span<const std::uint8_t> d, std::uint8_t number,
                             std::uint8_t alternate, std::uint8_t pipe) {
    EndpointDescription e;
    e.Address = d[2];
    e.Kind = static_cast<EndpointKind>(d[3] & 0x03);
    const std::uint16_t raw = static_cast<std::uint16_t>(d[4] | d[5] << 8);
    e.MaxPacketSize = raw & 0x07FF;
    if (e.Kind == EndpointKind::Isochronous || e.Kind == EndpointKind::Interrupt) {
        // 3 in bits 11-12 is reserved; the most a microframe can carry is three transactions.
        const std::uint8_t extra = static_cast<std::uint8_t>((raw >> 11) & 0x03);
        e.Multiplier = static_cast<std::uint8_t>(1 + (extra > 2 ? 2 : extra));
    }
    e.Interval = d[6];
    e.InterfaceNumber = number;
    e.AlternateSetting = alternate;
    e.PipeIndex = pipe;
    return e;
}

} // namespace

DescriptorSet DefaultForeignDescriptors() {
    return DescriptorSet{kForeignDevice, kForeignConfiguration, kForeignStrings};
}

DescriptorSet DefaultOwnDescriptors() {
    return DescriptorSet{kOwnDevice, kOwnConfiguration, kOwnStrings};
}

bool HasAlternateSetting(std::span<const std::uint8_t> configuration, std::uint8_t number,
                         std::uint8_t alternate) {
    bool found = false;
    ForEachDescriptor(configuration, [&](std::span<const std::uint8_t> d) {
        found = IsInterface(d) && d[2] == number && d[3] == alternate;
        return !found;
    });
    return found;
}

std::uint32_t ParseInterfaceEndpoints(std::span<const std::uint8_t> configuration,
                                      std::uint8_t number, std::uint8_t alternate,
                                      std::span<EndpointDescription> out) {
    bool inside = false; // within the first matching alternate setting
    std::uint32_t declared = 0;
    std::uint32_t count = 0;
    ForEachDescriptor(configuration, [&](std::span<const std::uint8_t> d) {
        if (IsInterface(d)) {
            if (inside) {
                return false; // its endpoints have ended
            }
            inside = d[2] == number && d[3] == alternate;
            declared = d[4];
            return true;
        }
        if (inside && IsEndpoint(d) && count < declared) {
            if (count < out.size()) {
                out[count] = Describe(d, number, alternate, static_cast<std::uint8_t>(count));
            }
            ++count;
        }
        return true;
    });
    return count;
}

int FirstInterfaceNumber(std::span<const std::uint8_t> configuration) {
    int number = -1;
    ForEachDescriptor(configuration, [&](std::span<const std::uint8_t> d) {
        if (IsInterface(d)) {
            number = d[2];
        }
        return number < 0;
    });
    return number;
}

} // namespace sim
