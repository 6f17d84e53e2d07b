#include "camera_script.h"

#include "core/urb_table.h"

#include <algorithm>
#include <cstring>

namespace tovrik_test {

namespace {

// Fake pipe handles: recognisable and unique per endpoint address.
USBD_PIPE_HANDLE HandleFor(UCHAR endpointAddress) {
    return reinterpret_cast<USBD_PIPE_HANDLE>(
        static_cast<ULONG_PTR>(0x7E000000u + endpointAddress));
}

void FillInterface(const std::vector<std::uint8_t>& set, PUSBD_INTERFACE_INFORMATION info) {
    // Find the interface descriptor with this number and alternate setting, then its endpoints;
    // the bus reports as many pipes as the request has room for.
    ULONG room = (info->Length - FIELD_OFFSET(USBD_INTERFACE_INFORMATION, Pipes)) /
                 sizeof(USBD_PIPE_INFORMATION);
    info->NumberOfPipes = room;
    std::size_t offset = 0;
    bool inside = false;
    ULONG pipe = 0;
    while (offset + 2 <= set.size() && set[offset] >= 2) {
        const std::uint8_t* d = &set[offset];
        if (d[1] == USB_INTERFACE_DESCRIPTOR_TYPE) {
            inside = d[2] == info->InterfaceNumber && d[3] == info->AlternateSetting;
            if (inside) {
                info->Class = d[5];
                info->SubClass = d[6];
                info->Protocol = d[7];
                info->InterfaceHandle =
                    reinterpret_cast<USBD_INTERFACE_HANDLE>(0x1F000000ull + d[3]);
            }
        } else if (d[1] == USB_ENDPOINT_DESCRIPTOR_TYPE && inside && pipe < info->NumberOfPipes) {
            USBD_PIPE_INFORMATION& p = info->Pipes[pipe++];
            p.EndpointAddress = d[2];
            p.PipeType = static_cast<USBD_PIPE_TYPE>(d[3] & 3);
            p.MaximumPacketSize = static_cast<USHORT>(d[4] | (d[5] << 8));
            p.Interval = d[6];
            p.PipeHandle = HandleFor(d[2]);
        }
        offset += d[0];
    }
    info->NumberOfPipes = pipe;
}

} // namespace

std::vector<std::uint8_t> DeviceDescriptorBytes(USHORT vendor, USHORT product) {
    return {18,
            1,
            0x00,
            0x02,
            0xFF,
            0xFF,
            0xFF,
            64,
            static_cast<std::uint8_t>(vendor),
            static_cast<std::uint8_t>(vendor >> 8),
            static_cast<std::uint8_t>(product),
            static_cast<std::uint8_t>(product >> 8),
            0x00,
            0x01,
            1,
            2,
            0,
            1};
}

std::vector<std::uint8_t> ConfigurationBytes(const std::vector<AlternateSpec>& alternates) {
    std::vector<std::uint8_t> set = {9, 2, 0, 0, 1, 1, 0, 0x80, 50};
    for (const AlternateSpec& alternate : alternates) {
        set.insert(set.end(),
                   {9, 4, alternate.Interface, alternate.Alternate,
                    static_cast<std::uint8_t>(alternate.Endpoints.size()), 0xFF, 0, 0, 0});
        for (const EndpointSpec& endpoint : alternate.Endpoints) {
            set.insert(set.end(), {7, 5, endpoint.Address, endpoint.Attributes,
                                   static_cast<std::uint8_t>(endpoint.MaxPacket),
                                   static_cast<std::uint8_t>(endpoint.MaxPacket >> 8), 1});
        }
    }
    set[2] = static_cast<std::uint8_t>(set.size());
    set[3] = static_cast<std::uint8_t>(set.size() >> 8);
    return set;
}

CameraScript CameraScript::Default() {
    CameraScript script;
    script.DeviceDescriptor = DeviceDescriptorBytes(0x5A17, 0x0E15);
    script.Configuration = ConfigurationBytes({
        {0, 0, {{0x01, 2, 512}, {0x81, 2, 512}, {0x82, 2, 512}, {0x83, 1, 1024}}},
        {0, 1, {}},
        {0, 2, {{0x01, 2, 512}, {0x82, 2, 512}}},
    });
    return script;
}

CameraScript CameraScript::Foreign() {
    CameraScript script = Default();
    script.DeviceDescriptor = DeviceDescriptorBytes(0x5A17, 0x0E10);
    return script;
}

UrbReply CameraScript::Answer(PURB urb) {
    switch (urb->UrbHeader.Function) {
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE: {
        auto& request = urb->UrbControlDescriptorRequest;
        const std::vector<std::uint8_t>* source = nullptr;
        if (request.DescriptorType == USB_DEVICE_DESCRIPTOR_TYPE) {
            source = &DeviceDescriptor;
        } else if (request.DescriptorType == USB_CONFIGURATION_DESCRIPTOR_TYPE) {
            source = &Configuration;
        }
        if (source == nullptr) {
            return {UrbReply::When::Now, STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID};
        }
        ULONG length =
            std::min<ULONG>(request.TransferBufferLength, static_cast<ULONG>(source->size()));
        std::memcpy(TransferBufferOf(urb), source->data(), length);
        request.TransferBufferLength = length;
        return {};
    }
    case URB_FUNCTION_SELECT_CONFIGURATION: {
        auto& select = urb->UrbSelectConfiguration;
        if (select.ConfigurationDescriptor != nullptr) {
            select.ConfigurationHandle = reinterpret_cast<USBD_CONFIGURATION_HANDLE>(0xC0F16000ull);
            FillInterface(Configuration, &select.Interface);
        }
        return {};
    }
    case URB_FUNCTION_SELECT_INTERFACE:
        FillInterface(Configuration, &urb->UrbSelectInterface.Interface);
        return {};
    case URB_FUNCTION_GET_CURRENT_FRAME_NUMBER:
        urb->UrbGetCurrentFrameNumber.FrameNumber = FrameNumber;
        return {};
    default:
        // Bulk reads and vendor or class requests read the script's data.
        if (urb->UrbHeader.Function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER ||
            sim::core::IsVendorOrClass(urb->UrbHeader.Function)) {
            auto& transfer = urb->UrbBulkOrInterruptTransfer;
            if ((transfer.TransferFlags & USBD_TRANSFER_DIRECTION_IN) != 0 && !InData.empty()) {
                std::uint8_t* buffer = TransferBufferOf(urb);
                for (ULONG i = 0; i < transfer.TransferBufferLength; i++) {
                    buffer[i] = InData[i % InData.size()];
                }
            }
        }
        return {};
    }
}

} // namespace tovrik_test
