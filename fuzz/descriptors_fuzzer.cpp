// Fuzz target: the device and configuration descriptors a camera presents at start. First the
// USBD library's parser and request builder see the raw bytes, as a driver could hand them over;
// then a camera presenting them is plugged in, started (the driver's own checks, the
// configuration, the pipe table), asked for its pipe table and descriptors, switched to an
// alternate setting the input names, and removed.
//
// Input: u8 device descriptor length (at most 64), u8 interface number, u8 alternate setting,
// the device descriptor bytes, then the configuration descriptor set (the rest). The vendor and
// product in the device descriptor are set to the camera's own when the descriptor is long enough
// to hold them, so the start takes no firmware download.
#include "support/fuzz_bench.h"

#include <cstddef>
#include <cstdint>
#include <vector>

#include "tovrik/tovrik.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 3) {
        return 0;
    }
    std::size_t deviceLength = std::min<std::size_t>(data[0] % 65, size - 3);
    std::uint8_t interfaceNumber = data[1];
    std::uint8_t alternate = data[2];
    std::vector<std::uint8_t> device(data + 3, data + 3 + deviceLength);
    std::vector<std::uint8_t> configuration(data + 3 + deviceLength, data + size);
    if (device.size() >= 12) {
        device[8] = 0x17; // idVendor 0x5A17
        device[9] = 0x5A;
        device[10] = 0x15; // idProduct 0x0E15
        device[11] = 0x0E;
    }

    // The library on its own, over exactly the bytes there are (a copy the size of the input,
    // so the sanitizer sees any read past it).
    if (configuration.size() >= sizeof(USB_CONFIGURATION_DESCRIPTOR)) {
        auto* set = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(configuration.data());
        if (set->wTotalLength <= configuration.size()) {
            PUSB_INTERFACE_DESCRIPTOR found = USBD_ParseConfigurationDescriptorEx(
                set, set, interfaceNumber, alternate, -1, -1, -1);
            if (found != nullptr) {
                USBD_INTERFACE_LIST_ENTRY list[2] = {{found, nullptr}, {nullptr, nullptr}};
                PURB urb = USBD_CreateConfigurationRequestEx(set, list);
                if (urb != nullptr) {
                    ExFreePool(urb);
                }
            }
        }
    }

    tovrik_fuzz::FuzzBench& bench = tovrik_fuzz::FuzzBench::Get();
    tovrik_fuzz::CameraSetup setup;
    // The descriptors come back whole from one request each, so a run shorter than the check's
    // cannot grow by meeting another.
    tovrik_fuzz::LimitPoolFillRuns(device, 15);
    tovrik_fuzz::LimitPoolFillRuns(configuration, 15);
    setup.Own = sim::DescriptorSet{device, configuration, {}};
    if (bench.Plug(setup) == STATUS_SUCCESS && bench.Open()) {
        std::vector<std::uint8_t> output(4096, 0xA5);
        bench.Call(IOCTL_TOVRIK_GET_PIPE_INFO, {}, output);
        bench.Call(IOCTL_TOVRIK_GET_DEVICE_DESCRIPTOR, {}, std::span(output).first(18));
        bench.Call(IOCTL_TOVRIK_GET_CONFIGURATION_DESCRIPTOR, {}, output);
        const std::uint8_t selection[2] = {interfaceNumber, alternate};
        bench.Call(IOCTL_TOVRIK_SET_INTERFACE, selection, {});
        bench.Call(IOCTL_TOVRIK_GET_PIPE_INFO, {}, output);
        std::uint8_t pipe[4] = {2, 0, 0, 0};
        bench.Call(IOCTL_TOVRIK_BULK_READ, pipe, std::span(output).first(512));
    }
    bench.Unplug();
    return 0;
}
