// The USBD library against descriptor sets as devices send them, well-formed or not. Each set
// sits at the very end of a pool block of exactly its size, so a read past it is caught.

#include "usbd/usbd.h"

#include "host/host_kernel.h"
#include "platform/kernel.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace {

std::vector<std::uint8_t> Interface(std::uint8_t number, std::uint8_t alternate,
                                    std::uint8_t endpoints, std::uint8_t cls = 0xFF) {
    return {9, USB_INTERFACE_DESCRIPTOR_TYPE, number, alternate, endpoints, cls, 0, 0, 0};
}
std::vector<std::uint8_t> Endpoint(std::uint8_t address, std::uint8_t attributes,
                                   std::uint16_t maxPacket) {
    return {
        7,          USB_ENDPOINT_DESCRIPTOR_TYPE,         address,
        attributes, static_cast<std::uint8_t>(maxPacket), static_cast<std::uint8_t>(maxPacket >> 8),
        1};
}

// A configuration set; wTotalLength is the real length unless `total` says otherwise.
std::vector<std::uint8_t> Set(std::vector<std::vector<std::uint8_t>> parts, int total = -1) {
    std::vector<std::uint8_t> bytes{9, USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0, 1, 1, 0, 0x80, 50};
    for (auto& part : parts)
        bytes.insert(bytes.end(), part.begin(), part.end());
    const std::size_t length = total < 0 ? bytes.size() : static_cast<std::size_t>(total);
    bytes[2] = static_cast<std::uint8_t>(length);
    bytes[3] = static_cast<std::uint8_t>(length >> 8);
    return bytes;
}

// The set copied to a pool block of exactly `blockSize` bytes (default: its own size).
struct PoolCopy {
    PoolCopy(const std::vector<std::uint8_t>& bytes, std::size_t blockSize = 0) {
        Size = blockSize == 0 ? bytes.size() : blockSize;
        Block = static_cast<std::uint8_t*>(ExAllocatePool(NonPagedPool, Size));
        std::memcpy(Block, bytes.data(), std::min(Size, bytes.size()));
    }
    ~PoolCopy() { ExFreePool(Block); }
    PUSB_CONFIGURATION_DESCRIPTOR Configuration() const {
        return reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(Block);
    }
    std::uint8_t* Block;
    std::size_t Size;
};

struct ParseCase {
    const char* Name;
    std::vector<std::uint8_t> Bytes;
    LONG Number, Alternate, Class;
    int ExpectedOffset; // -1: none found
};

TEST(UsbdTest, ParseFindsInterfacesAndSurvivesMalformedSets) {
    const auto two = Set(
        {Interface(0, 0, 1), Endpoint(0x81, 2, 512), Interface(0, 1, 0, 0x0E), Interface(1, 0, 0)});
    const ParseCase cases[] = {
        {"first of any", two, -1, -1, -1, 9},
        {"by alternate setting", two, 0, 1, -1, 25},
        {"by class", two, -1, -1, 0x0E, 25},
        {"by interface number", two, 1, -1, -1, 34},
        {"no such setting", two, 0, 2, -1, -1},
        {"bLength 0 ends the walk", Set({{0, 4, 0, 0, 0, 0, 0, 0, 0}, Interface(0, 0, 0)}), -1, -1,
         -1, -1},
        {"bLength 1 ends the walk", Set({{1, 4}, Interface(0, 0, 0)}), -1, -1, -1, -1},
        {"a descriptor running past wTotalLength", Set({{0x7F, 5, 0x81, 2}, Interface(0, 0, 0)}),
         -1, -1, -1, -1},
        {"interface cut by wTotalLength", Set({Interface(0, 0, 0)}, 14), -1, -1, -1, -1},
        {"interface shorter than nine bytes", Set({{5, 4, 0, 0, 0}}), -1, -1, -1, -1},
        {"wTotalLength below a configuration descriptor", Set({Interface(0, 0, 0)}, 4), -1, -1, -1,
         -1},
        {"only the header", Set({}), -1, -1, -1, -1},
    };
    for (const ParseCase& c : cases) {
        SCOPED_TRACE(c.Name);
        PoolCopy set(c.Bytes);
        PUSB_INTERFACE_DESCRIPTOR found = USBD_ParseConfigurationDescriptorEx(
            set.Configuration(), set.Block, c.Number, c.Alternate, c.Class, -1, -1);
        if (c.ExpectedOffset < 0) {
            EXPECT_EQ(found, nullptr);
        } else {
            EXPECT_EQ(reinterpret_cast<std::uint8_t*>(found) - set.Block, c.ExpectedOffset);
        }
    }
}

TEST(UsbdTest, ParseNeverReadsPastWTotalLengthEvenWhenLessArrived) {
    // The device claimed 300 bytes but sent 32; the caller's block holds 48 of them, the rest
    // of the claim lies beyond the block. The walk stops at the zeros the caller left... or at
    // wTotalLength, but never reads past the block: garbage is a descriptor of length 0.
    const auto sent = Set({Interface(0, 0, 1), Endpoint(0x81, 2, 512)}, 48);
    PoolCopy set(sent, 48);
    std::memset(set.Block + sent.size(), 0, 48 - sent.size());
    EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(set.Configuration(), set.Block, 0, 0, -1, -1, -1),
              reinterpret_cast<PUSB_INTERFACE_DESCRIPTOR>(set.Block + 9));
    EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(set.Configuration(), set.Block, 1, 0, -1, -1, -1),
              nullptr);
    // A start position outside the set finds nothing.
    EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(set.Configuration(), set.Block + 48, -1, -1, -1,
                                                  -1, -1),
              nullptr);
}

TEST(UsbdTest, CreateConfigurationRequestLaysOutOneRecordPerInterface) {
    const auto bytes = Set({Interface(0, 0, 3), Endpoint(0x01, 2, 512), Endpoint(0x82, 2, 512),
                            Endpoint(0x83, 1, 1024), Interface(1, 0, 0)});
    PoolCopy set(bytes);
    auto* first =
        USBD_ParseConfigurationDescriptorEx(set.Configuration(), set.Block, 0, 0, -1, -1, -1);
    auto* second =
        USBD_ParseConfigurationDescriptorEx(set.Configuration(), set.Block, 1, 0, -1, -1, -1);
    struct Case {
        const char* Name;
        std::vector<PUSB_INTERFACE_DESCRIPTOR> Interfaces;
        USHORT Length;
    } cases[] = {
        {"one interface with three pipes", {first}, 40 + 24 + 3 * 24},
        {"an interface without pipes", {second}, 88},
        {"both", {first, second}, 40 + 96 + 24},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        std::vector<USBD_INTERFACE_LIST_ENTRY> list;
        for (auto* interface : c.Interfaces)
            list.push_back({interface, nullptr});
        list.push_back({nullptr, nullptr});
        PURB urb = USBD_CreateConfigurationRequestEx(set.Configuration(), list.data());
        ASSERT_NE(urb, nullptr);
        EXPECT_EQ(urb->UrbHeader.Length, c.Length);
        EXPECT_EQ(urb->UrbHeader.Function, URB_FUNCTION_SELECT_CONFIGURATION);
        EXPECT_EQ(urb->UrbSelectConfiguration.ConfigurationDescriptor, set.Configuration());
        auto* cursor = reinterpret_cast<std::uint8_t*>(&urb->UrbSelectConfiguration.Interface);
        for (std::size_t i = 0; i + 1 < list.size(); ++i) {
            PUSBD_INTERFACE_INFORMATION info = list[i].Interface;
            EXPECT_EQ(reinterpret_cast<std::uint8_t*>(info), cursor) << "records follow each other";
            EXPECT_EQ(info->InterfaceNumber, list[i].InterfaceDescriptor->bInterfaceNumber);
            EXPECT_EQ(info->NumberOfPipes, list[i].InterfaceDescriptor->bNumEndpoints);
            EXPECT_EQ(info->Length, GET_USBD_INTERFACE_SIZE(info->NumberOfPipes));
            for (ULONG p = 0; p < info->NumberOfPipes; ++p)
                EXPECT_EQ(info->Pipes[p].MaximumTransferSize,
                          ULONG{USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE});
            cursor += info->Length;
        }
        ExFreePool(urb);
    }
}

TEST(UsbdTest, RequestBuilderFailsUnderFaultInjection) {
    const auto bytes = Set({Interface(0, 0, 0)});
    PoolCopy set(bytes);
    USBD_INTERFACE_LIST_ENTRY list[2] = {
        {USBD_ParseConfigurationDescriptorEx(set.Configuration(), set.Block, -1, -1, -1, -1, -1),
         nullptr},
        {nullptr, nullptr}};
    host::FaultInjection::FailNth(1, host::AllocationKind::Usbd);
    EXPECT_EQ(USBD_CreateConfigurationRequestEx(set.Configuration(), list), nullptr);
    PURB urb = USBD_CreateConfigurationRequestEx(set.Configuration(), list);
    ASSERT_NE(urb, nullptr);
    ExFreePool(urb);
}

TEST(UsbdTest, VersionIsSettable) {
    USBD_VERSION_INFORMATION version{};
    USBD_GetUSBDIVersion(&version);
    EXPECT_EQ(version.USBDI_Version, 0x600u);
    EXPECT_EQ(version.Supported_USB_Version, 0x200u);
    sim::SetUsbdiVersion(0x100, 0x110);
    USBD_GetUSBDIVersion(&version);
    EXPECT_EQ(version.USBDI_Version, 0x100u);
    EXPECT_EQ(version.Supported_USB_Version, 0x110u);
    sim::ResetUsbdiVersion();
}

} // namespace
