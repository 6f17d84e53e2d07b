// A camera on the bench: storage, small synthetic firmware images, and the requests a host sends.

#pragma once

#include "camera/camera.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <span>
#include <vector>

namespace sim::testing {

constexpr std::uint8_t kCommandEndpoint = 0x01;
constexpr std::uint8_t kStatusEndpoint = 0x81;
constexpr std::uint8_t kImageEndpoint = 0x82;
constexpr std::uint8_t kIsoEndpoint = 0x83;

inline SetupRequest Req(std::uint8_t type, std::uint8_t request, std::uint16_t value,
                        std::uint16_t index, std::uint16_t length) {
    return SetupRequest{type, request, value, index, length};
}

inline std::vector<std::uint8_t> Bytes(std::size_t n, std::uint8_t seed) {
    std::vector<std::uint8_t> out(n);
    for (std::size_t i = 0; i < n; ++i) {
        out[i] = static_cast<std::uint8_t>(seed + i * 7);
    }
    return out;
}

// Two images shaped like the real ones, only smaller: both start at 0, both cover a vector
// table and a code block, and they overlap.
struct Range {
    std::uint16_t Address;
    std::vector<std::uint8_t> Data;
};
inline std::vector<Range> LoaderRanges() {
    return {{0x0000, Bytes(6, 0x02)}, {0x0043, Bytes(3, 0x11)}, {0x0080, Bytes(200, 0x40)}};
}
inline std::vector<Range> CameraRanges() {
    return {{0x0000, Bytes(3, 0x02)}, {0x0033, Bytes(3, 0x21)}, {0x0080, Bytes(500, 0x90)}};
}

struct Rig {
    std::unique_ptr<CameraStorage> Storage = std::make_unique<CameraStorage>();
    CameraConfig Config;
    std::unique_ptr<Camera> Cam;

    Rig() {
        for (const auto& r : LoaderRanges()) {
            Storage->Loader.Add(r.Address, r.Data);
        }
        for (const auto& r : CameraRanges()) {
            Storage->Program.Add(r.Address, r.Data);
        }
    }

    Camera& Build() {
        Cam = std::make_unique<Camera>(*Storage, Config);
        return *Cam;
    }

    // A camera already running its program, configured: what a driver test starts from.
    Camera& BuildRunning() {
        Config.PowerOn = PowerOnState::CameraRunning;
        Build();
        EXPECT_EQ(Control(Req(0x00, 9, 1, 0, 0)).Status, ControlStatus::Ok);
        return *Cam;
    }

    ControlResult Control(const SetupRequest& setup, std::span<std::uint8_t> data = {}) {
        return Cam->Control(setup, data);
    }
    ControlResult Write(std::uint8_t request, std::uint16_t address,
                        std::vector<std::uint8_t> data) {
        return Cam->Control(Req(0x40, request, address, 0, static_cast<std::uint16_t>(data.size())),
                            data);
    }
    std::vector<std::uint8_t> Read(std::uint8_t request, std::uint16_t address, std::uint16_t n) {
        std::vector<std::uint8_t> data(n);
        const ControlResult r = Cam->Control(Req(0xC0, request, address, 0, n), data);
        data.resize(r.Status == ControlStatus::Ok ? r.Length : 0);
        return data;
    }
    void Cpucs(std::uint8_t value) {
        Write(kRequestMemory, kCpucsAddressOld, {value});
        Write(kRequestMemory, kCpucsAddressNew, {value});
    }
    // The driver's download of one image: reset, the records with 0xA0, release.
    void Download(const std::vector<Range>& ranges) {
        Cpucs(1);
        for (const auto& r : ranges) {
            Write(kRequestMemory, r.Address, r.Data);
        }
        Cpucs(0);
    }

    TransferResult Command(std::uint8_t command, std::size_t length = kCommandPacketBytes) {
        std::vector<std::uint8_t> packet(length, 0xEE);
        if (!packet.empty()) {
            packet[0] = command;
        }
        return Cam->BulkOut(kCommandEndpoint, packet);
    }
};

} // namespace sim::testing
