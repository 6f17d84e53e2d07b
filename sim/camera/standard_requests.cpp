// The standard requests of every USB device (USB 2.0, chapter 9), as the chip's USB core answers
// them: status, features, address, configuration, interface and descriptors.

#include "camera/camera.h"
#include "camera/replies.h"

#include <cstring>

namespace sim {

using namespace replies;

ControlResult Camera::Standard(const SetupRequest& setup, std::span<std::uint8_t> data) {
    switch (setup.Request) {
    case kGetDescriptor:
        if (!setup.In() || (setup.RequestType & kRecipientMask) != kRecipientDevice) {
            return Stall();
        }
        return GetDescriptor(setup, data);
    case kGetStatus:
        return GetStatus(setup, data);
    case kClearFeature:
    case kSetFeature:
        return Feature(setup);
    case kSetAddress:
        return SetAddress(setup);
    case kGetConfiguration:
        return GetConfiguration(setup, data);
    case kSetConfiguration:
        return SetConfiguration(setup);
    case kGetInterface:
        return GetInterface(setup, data);
    case kSetInterface:
        return SetInterface(setup);
    default:
        return Stall(); // SET_DESCRIPTOR, SYNCH_FRAME and anything unknown
    }
}

ControlResult Camera::GetStatus(const SetupRequest& setup, std::span<std::uint8_t> data) {
    if (!setup.In()) {
        return Stall();
    }
    const std::uint8_t recipient = setup.RequestType & kRecipientMask;
    const auto set = ConfigurationDescriptor();
    std::uint8_t status = 0;
    if (recipient == kRecipientDevice) {
        const bool selfPowered = set.size() >= 8 && (set[7] & 0x40) != 0;
        status = static_cast<std::uint8_t>((selfPowered ? 1 : 0) | (remoteWakeup_ ? 2 : 0));
    } else if (recipient == kRecipientInterface) {
        const auto number = static_cast<std::uint8_t>(setup.Index);
        if (configuration_ == 0 || setup.Index > 0xFF ||
            !HasAlternateSetting(set, number, alternate_[number])) {
            return Stall();
        }
    } else if (recipient == kRecipientEndpoint) {
        const auto endpoint = static_cast<std::uint8_t>(setup.Index);
        if ((endpoint & 0x0F) != 0) {
            if (Active(endpoint) == nullptr) {
                return Stall();
            }
            status = Halted(endpoint) ? 1 : 0;
        }
    } else {
        return Stall();
    }
    const std::uint8_t reply[2] = {status, 0};
    return Done(Answer(data, reply));
}

ControlResult Camera::Feature(const SetupRequest& setup) {
    const bool setting = setup.Request == kSetFeature;
    const std::uint8_t recipient = setup.RequestType & kRecipientMask;
    if (setup.In()) {
        return Stall();
    }
    if (recipient == kRecipientEndpoint && setup.Value == kFeatureEndpointHalt) {
        return EndpointFeature(setup, setting);
    }
    if (recipient == kRecipientDevice && setup.Value == kFeatureRemoteWakeup) {
        remoteWakeup_ = setting;
        return Done(0);
    }
    return Stall(); // test modes and interface features: nothing the camera does
}

ControlResult Camera::SetAddress(const SetupRequest& setup) {
    if (setup.In() || (setup.RequestType & kRecipientMask) != kRecipientDevice ||
        setup.Value > 127) {
        return Stall();
    }
    address_ = static_cast<std::uint8_t>(setup.Value);
    return Done(0);
}

ControlResult Camera::GetConfiguration(const SetupRequest& setup, std::span<std::uint8_t> data) {
    if (!setup.In() || (setup.RequestType & kRecipientMask) != kRecipientDevice) {
        return Stall();
    }
    const std::uint8_t reply[1] = {configuration_};
    return Done(Answer(data, reply));
}

ControlResult Camera::SetConfiguration(const SetupRequest& setup) {
    if (setup.In() || (setup.RequestType & kRecipientMask) != kRecipientDevice ||
        setup.Value > 0xFF) {
        return Stall();
    }
    // A set too short to carry bConfigurationValue offers no configuration but 0.
    const auto set = ConfigurationDescriptor();
    const auto value = static_cast<std::uint8_t>(setup.Value);
    if (value != 0 && (set.size() < 6 || set[5] != value)) {
        return Stall();
    }
    // Also when the value is the current one: the host relies on the reset of alternate
    // settings and halts.
    configuration_ = value;
    alternate_.fill(0);
    halted_.fill(false);
    RecomputeActiveEndpoints();
    return Done(0);
}

ControlResult Camera::GetInterface(const SetupRequest& setup, std::span<std::uint8_t> data) {
    const auto number = static_cast<std::uint8_t>(setup.Index);
    if (!setup.In() || (setup.RequestType & kRecipientMask) != kRecipientInterface ||
        configuration_ == 0 || setup.Index > 0xFF ||
        !HasAlternateSetting(ConfigurationDescriptor(), number, alternate_[number])) {
        return Stall();
    }
    const std::uint8_t reply[1] = {alternate_[number]};
    return Done(Answer(data, reply));
}

ControlResult Camera::SetInterface(const SetupRequest& setup) {
    const auto number = static_cast<std::uint8_t>(setup.Index);
    const auto alternate = static_cast<std::uint8_t>(setup.Value);
    if (setup.In() || (setup.RequestType & kRecipientMask) != kRecipientInterface ||
        configuration_ == 0 || setup.Index > 0xFF || setup.Value > 0xFF ||
        !HasAlternateSetting(ConfigurationDescriptor(), number, alternate)) {
        return Stall();
    }
    ClearInterfaceHalts(number, alternate_[number]);
    ClearInterfaceHalts(number, alternate);
    alternate_[number] = alternate;
    RecomputeActiveEndpoints();
    return Done(0);
}

ControlResult Camera::GetDescriptor(const SetupRequest& setup, std::span<std::uint8_t> data) {
    const auto type = static_cast<std::uint8_t>(setup.Value >> 8);
    const auto index = static_cast<std::uint8_t>(setup.Value);
    std::span<const std::uint8_t> reply;
    std::uint8_t qualifier[10] = {};
    switch (type) {
    case kDescriptorDevice:
        reply = DeviceDescriptor();
        break;
    case kDescriptorConfiguration:
        // The whole set as given, cut to wLength: a test's wTotalLength may lie, and the bytes
        // are what it wants the host to see.
        if (index == 0) {
            reply = ConfigurationDescriptor();
        }
        break;
    case kDescriptorString:
        reply = StringDescriptor(index);
        break;
    case kDescriptorQualifier: {
        // A high-speed device has one; it repeats the device descriptor's class fields.
        const auto device = DeviceDescriptor();
        if (device.size() >= 18) {
            qualifier[0] = 10;
            qualifier[1] = kDescriptorQualifier;
            std::memcpy(&qualifier[2], &device[2], 6); // bcdUSB, class, subclass, protocol, ep0
            qualifier[8] = device[17];
            reply = qualifier;
        }
        break;
    }
    default:
        break;
    }
    if (reply.empty()) {
        return Stall();
    }
    return Done(Answer(data, reply));
}

ControlResult Camera::EndpointFeature(const SetupRequest& setup, bool set) {
    const auto endpoint = static_cast<std::uint8_t>(setup.Index);
    if (setup.Index > 0xFF) {
        return Stall();
    }
    if ((endpoint & 0x0F) == 0) {
        return Done(0); // endpoint 0's halt ends with the next setup anyway
    }
    if (Active(endpoint) == nullptr) {
        return Stall();
    }
    if (set) {
        SetHalt(endpoint);
    } else {
        ClearHalt(endpoint);
    }
    return Done(0);
}

} // namespace sim
