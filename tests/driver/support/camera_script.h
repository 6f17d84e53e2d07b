// A canned USB device for scripted-bus tests: answers the configuration conversation of a start
// from descriptor bytes the test can change, and everything else with success. Scenario tests use
// the simulated world instead; this is for tests that hold the exact conversation.
#pragma once

#include "scripted_bus.h"

#include <cstdint>
#include <vector>

namespace tovrik_test {

struct CameraScript {
    std::vector<std::uint8_t> DeviceDescriptor;
    std::vector<std::uint8_t> Configuration; // the whole configuration descriptor set
    // Bytes a device-to-host class/vendor request or bulk IN transfer returns (repeated).
    std::vector<std::uint8_t> InData = {0xC0, 0xFF, 0xEE};
    // The frame number the bus reports.
    ULONG FrameNumber = 1234;

    // Own identity (no firmware download), one interface with pipes: 0 bulk OUT 0x01,
    // 1 bulk IN 0x81, 2 bulk IN 0x82, 3 isochronous IN 0x83; alternate setting 1 without
    // endpoints; alternate setting 2 with two bulk pipes.
    static CameraScript Default();
    // The same with the identity a camera shows before its firmware runs.
    static CameraScript Foreign();

    // Answers one URB: fills what the device would, says how the bus completes.
    UrbReply Answer(PURB urb);
};

// Descriptor builders.
std::vector<std::uint8_t> DeviceDescriptorBytes(USHORT vendor, USHORT product);
struct EndpointSpec {
    UCHAR Address;
    UCHAR Attributes; // transfer type in bits 0..1
    USHORT MaxPacket;
};
struct AlternateSpec {
    UCHAR Interface;
    UCHAR Alternate;
    std::vector<EndpointSpec> Endpoints;
};
std::vector<std::uint8_t> ConfigurationBytes(const std::vector<AlternateSpec>& alternates);

} // namespace tovrik_test
