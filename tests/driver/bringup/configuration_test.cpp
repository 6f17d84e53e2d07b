// Configuration at start and interface selection: the descriptor reads and their sizes, what a
// device may lie about in its descriptors and what the bus hands back, the pipe table's limits,
// and the select-interface request's sizes.
#include "bringup.h"

#include "tovrik/tovrik.h"

namespace tovrik_test {
namespace {

const USBD_CONFIGURATION_HANDLE kConfigurationHandle =
    reinterpret_cast<USBD_CONFIGURATION_HANDLE>(0xC0F16000ull);

// TransferBufferLength of every configuration-descriptor read, as asked.
std::vector<ULONG> ConfigurationReads(const std::vector<SeenRequest>& urbs) {
    std::vector<ULONG> lengths;
    for (const SeenRequest& urb : urbs) {
        auto request = urb.As<_URB_CONTROL_DESCRIPTOR_REQUEST>();
        if (request.DescriptorType == USB_CONFIGURATION_DESCRIPTOR_TYPE) {
            lengths.push_back(request.TransferBufferLength);
        }
    }
    return lengths;
}

// A pipe entry of the interface information inside a seen select URB.
USBD_PIPE_INFORMATION PipeIn(const SeenRequest& urb, std::size_t interfaceOffset,
                             std::size_t index) {
    USBD_PIPE_INFORMATION pipe{};
    std::size_t at =
        interfaceOffset + offsetof(USBD_INTERFACE_INFORMATION, Pipes) + index * sizeof(pipe);
    EXPECT_LE(at + sizeof(pipe), urb.Urb.size());
    if (at + sizeof(pipe) <= urb.Urb.size()) {
        std::memcpy(&pipe, urb.Urb.data() + at, sizeof(pipe));
    }
    return pipe;
}

void SetTotalLength(std::vector<std::uint8_t>& set, std::size_t total) {
    set[2] = static_cast<std::uint8_t>(total);
    set[3] = static_cast<std::uint8_t>(total >> 8);
}

// The default camera's set grown to `total` bytes by one class-specific descriptor at the end.
std::vector<std::uint8_t> PaddedSet(std::size_t total) {
    std::vector<std::uint8_t> set = CameraScript::Default().Configuration;
    std::size_t pad = total - set.size();
    set.push_back(static_cast<std::uint8_t>(pad));
    set.push_back(0x24);
    set.resize(total, 0);
    SetTotalLength(set, total);
    return set;
}

// Answers every configuration-descriptor read from the given bytes (as many as were asked and
// exist); the rest goes to the script.
std::optional<UrbReply> AnswerConfiguration(PURB urb, const std::vector<std::uint8_t>& bytes) {
    if (urb->UrbHeader.Function != URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE ||
        urb->UrbControlDescriptorRequest.DescriptorType != USB_CONFIGURATION_DESCRIPTOR_TYPE) {
        return std::nullopt;
    }
    auto& request = urb->UrbControlDescriptorRequest;
    ULONG length = std::min<ULONG>(request.TransferBufferLength, static_cast<ULONG>(bytes.size()));
    std::memcpy(TransferBufferOf(urb), bytes.data(), length);
    request.TransferBufferLength = length;
    return UrbReply{};
}

class ConfigurationTest : public BringupTest {};

TEST_F(ConfigurationTest, ReadSizesForSmallAndLargeSets) {
    struct Case {
        const char* Label;
        std::vector<std::uint8_t> Set;
        std::vector<ULONG> AtStart;
        std::vector<ULONG> AtSelection;
    };
    const Case cases[] = {
        {"32 bytes",
         ConfigurationBytes({{0, 0, {{0x01, 2, 512}, {0x81, 2, 512}}}}),
         {9, 48},
         {265}},
        {"300 bytes", PaddedSet(300), {9, 316}, {265, 300}},
        {"exactly 265 bytes", PaddedSet(265), {9, 281}, {265}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Label);
        script_.Configuration = c.Set;
        bus_.ClearSeen();
        PDEVICE_OBJECT pdo = PlugStarted();
        EXPECT_EQ(ConfigurationReads(Urbs(URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE)), c.AtStart);

        bus_.ClearSeen();
        EXPECT_EQ(SelectAlternateInterface(Fdo(pdo), 0, 0), STATUS_SUCCESS);
        EXPECT_EQ(ConfigurationReads(Urbs(URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE)), c.AtSelection);
        Unplug(pdo);
    }
}

TEST_F(ConfigurationTest, ASelectionOverABadSetFailsAndKeepsTheTable) {
    const std::vector<std::uint8_t> good = script_.Configuration;
    auto withTotal = [&](std::size_t total) {
        std::vector<std::uint8_t> set = good;
        SetTotalLength(set, total);
        return set;
    };
    auto withByte = [&](std::size_t at, std::uint8_t value) {
        std::vector<std::uint8_t> set = good;
        set[at] = value;
        return set;
    };
    struct Case {
        const char* Label;
        std::function<std::optional<UrbReply>(PURB)> Device;
        std::vector<ULONG> Reads;
    };
    int reads = 0;
    const Case cases[] = {
        {"an answer of 8 bytes",
         [&](PURB urb) {
             return AnswerConfiguration(urb, {good.begin(), good.begin() + 8});
         },
         {265}},
        {"wTotalLength 8", [&](PURB urb) { return AnswerConfiguration(urb, withTotal(8)); }, {265}},
        {"wTotalLength 0", [&](PURB urb) { return AnswerConfiguration(urb, withTotal(0)); }, {265}},
        {"fewer bytes than wTotalLength",
         [&](PURB urb) { return AnswerConfiguration(urb, withTotal(good.size() + 20)); },
         {265}},
        {"a descriptor of length 0",
         [&](PURB urb) { return AnswerConfiguration(urb, withByte(9, 0)); },
         {265}},
        {"a descriptor of length 1",
         [&](PURB urb) { return AnswerConfiguration(urb, withByte(9, 1)); },
         {265}},
        {"the last descriptor runs past wTotalLength",
         [&](PURB urb) { return AnswerConfiguration(urb, withByte(good.size() - 7, 30)); },
         {265}},
        {"an endpoint descriptor too short to read",
         [&](PURB urb) {
             std::vector<std::uint8_t> set = good;
             set[18] = 2; // the first endpoint of alternate setting 0 becomes a 2-byte descriptor
             set.erase(set.begin() + 20, set.begin() + 25);
             SetTotalLength(set, set.size());
             return AnswerConfiguration(urb, set);
         },
         {265}},
        {"wTotalLength that grows on every read",
         [&](PURB urb) {
             std::optional<UrbReply> reply = AnswerConfiguration(urb, PaddedSet(300 + 100 * reads));
             if (reply) {
                 reads++;
             }
             return reply;
         },
         {265, 300}},
        {"the bus fails the read",
         [&](PURB urb) -> std::optional<UrbReply> {
             if (urb->UrbHeader.Function == URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE) {
                 return UrbReply{UrbReply::When::Now, STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID};
             }
             return std::nullopt;
         },
         {265}},
    };

    PDEVICE_OBJECT pdo = PlugStarted();
    PDEVICE_EXTENSION extension = Extension(pdo);
    PUSBD_INTERFACE_INFORMATION table = extension->InterfaceInfo;
    ASSERT_NE(table, nullptr);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Label);
        bus_.ClearSeen();
        reads = 0;
        Override = c.Device;
        EXPECT_EQ(SelectAlternateInterface(Fdo(pdo), 0, 2), STATUS_UNSUCCESSFUL);
        EXPECT_EQ(ConfigurationReads(Urbs(URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE)), c.Reads);
        EXPECT_TRUE(Urbs(URB_FUNCTION_SELECT_INTERFACE).empty());
        EXPECT_EQ(extension->InterfaceInfo, table);
        EXPECT_EQ(extension->InterfaceInfo->NumberOfPipes, 4u);
    }
    Override = nullptr;
    EXPECT_EQ(SelectAlternateInterface(Fdo(pdo), 0, 2), STATUS_SUCCESS)
        << "a sound set selects again";
}

TEST_F(ConfigurationTest, AnUnsoundSetOrAShortDescriptorFailsTheStartBeforeAnythingIsSelected) {
    std::vector<std::uint8_t> good = script_.Configuration;
    struct Case {
        const char* Label;
        std::vector<std::uint8_t> Device;
        std::vector<std::uint8_t> Set;
        ULONG HeaderBytes; // what the device answers to the 9-byte read
    };
    std::vector<std::uint8_t> longer = good;
    SetTotalLength(longer, good.size() + 10);
    std::vector<std::uint8_t> zeroLength = good;
    zeroLength[9] = 0;
    std::vector<std::uint8_t> pastEnd = good;
    pastEnd[good.size() - 7] = 8;
    std::vector<std::uint8_t> tinyTotal = good;
    SetTotalLength(tinyTotal, 4);
    std::vector<std::uint8_t> shortHeader = good;
    shortHeader[0] = 4;
    const Case cases[] = {
        {"a device descriptor of 12 bytes",
         std::vector<std::uint8_t>(script_.DeviceDescriptor.begin(),
                                   script_.DeviceDescriptor.begin() + 12),
         good, 9},
        {"fewer bytes than wTotalLength", script_.DeviceDescriptor, longer, 9},
        {"a descriptor of length 0", script_.DeviceDescriptor, zeroLength, 9},
        {"a descriptor past wTotalLength", script_.DeviceDescriptor, pastEnd, 9},
        {"wTotalLength below a configuration descriptor", script_.DeviceDescriptor, tinyTotal, 9},
        {"a configuration descriptor with bLength 4", script_.DeviceDescriptor, shortHeader, 9},
        {"a header read of 5 bytes", script_.DeviceDescriptor, good, 5},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Label);
        script_.DeviceDescriptor = c.Device;
        Override = [set = c.Set, header = c.HeaderBytes](PURB urb) -> std::optional<UrbReply> {
            if (urb->UrbHeader.Function == URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE &&
                urb->UrbControlDescriptorRequest.TransferBufferLength == 9) {
                std::vector<std::uint8_t> bytes(set.begin(), set.begin() + header);
                return AnswerConfiguration(urb, bytes);
            }
            return AnswerConfiguration(urb, set);
        };
        bus_.ClearSeen();
        host::Pnp::Arrival arrival;
        PDEVICE_OBJECT pdo = Plug(&arrival);
        ASSERT_NE(pdo, nullptr);
        EXPECT_EQ(arrival.Start->Status, STATUS_DEVICE_DATA_ERROR);
        EXPECT_EQ(arrival.Start->Information, 0u);
        EXPECT_TRUE(Urbs(URB_FUNCTION_SELECT_CONFIGURATION).empty());
        EXPECT_FALSE(Extension(pdo)->Started);
        EXPECT_EQ(Extension(pdo)->InterfaceInfo, nullptr);
        Unplug(pdo);
        script_ = CameraScript::Default();
    }
}

TEST_F(ConfigurationTest, WhatTheBusReturnsIsCheckedBeforeItIsCopied) {
    struct Case {
        const char* Label;
        std::function<void(PURB, PUSBD_INTERFACE_INFORMATION)> Spoil;
    };
    const Case cases[] = {
        {"more pipes than the request has room for",
         [](PURB, PUSBD_INTERFACE_INFORMATION info) { info->NumberOfPipes = 200; }},
        {"a Length past the request",
         [](PURB, PUSBD_INTERFACE_INFORMATION info) { info->Length = 0xFFF0; }},
        {"a Length that disagrees with the pipes",
         [](PURB, PUSBD_INTERFACE_INFORMATION info) { info->Length = 24; }},
        {"a grown header Length to make room for more pipes",
         [](PURB urb, PUSBD_INTERFACE_INFORMATION info) {
             urb->UrbHeader.Length = 0xFFF0;
             info->NumberOfPipes = 200;
             info->Length = static_cast<USHORT>(GET_USBD_INTERFACE_SIZE(200));
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Label);
        // The script's answer to one kind of selection, then spoiled by the case.
        auto spoilAnswerTo = [&](USHORT function) {
            return [&, function](PURB urb) -> std::optional<UrbReply> {
                if (urb->UrbHeader.Function != function) {
                    return std::nullopt;
                }
                UrbReply reply = script_.Answer(urb);
                c.Spoil(urb, function == URB_FUNCTION_SELECT_CONFIGURATION
                                 ? &urb->UrbSelectConfiguration.Interface
                                 : &urb->UrbSelectInterface.Interface);
                return reply;
            };
        };
        // At start, in the select-configuration request.
        Override = spoilAnswerTo(URB_FUNCTION_SELECT_CONFIGURATION);
        host::Pnp::Arrival arrival;
        PDEVICE_OBJECT pdo = Plug(&arrival);
        EXPECT_EQ(arrival.Start->Status, STATUS_DEVICE_DATA_ERROR);
        EXPECT_EQ(Extension(pdo)->InterfaceInfo, nullptr);
        Unplug(pdo);

        // Later, in a select-interface request.
        Override = nullptr;
        pdo = PlugStarted();
        Override = spoilAnswerTo(URB_FUNCTION_SELECT_INTERFACE);
        EXPECT_EQ(SelectAlternateInterface(Fdo(pdo), 0, 2), STATUS_DEVICE_DATA_ERROR);
        // The bus has switched the interface: the old handles are gone, and so is the table.
        EXPECT_EQ(Extension(pdo)->InterfaceInfo, nullptr);
        Override = nullptr;
        Unplug(pdo);
    }
}

TEST_F(ConfigurationTest, MaximumTransferSizesAtStartAndAfterASelection) {
    struct Case {
        const char* Label;
        std::vector<std::uint8_t> Set;
        std::vector<ULONG> Sizes;
    };
    const Case cases[] = {
        {"four pipes: pipe 2 takes whole images",
         CameraScript::Default().Configuration,
         {1024, 1024, 0x3FFFFF, 1024}},
        {"two pipes: no large pipe",
         ConfigurationBytes({{0, 0, {{0x01, 2, 512}, {0x82, 2, 512}}}}),
         {1024, 1024}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Label);
        script_.Configuration = c.Set;
        bus_.ClearSeen();
        PDEVICE_OBJECT pdo = PlugStarted();
        std::vector<SeenRequest> select = Urbs(URB_FUNCTION_SELECT_CONFIGURATION);
        ASSERT_EQ(select.size(), 1u);
        PUSBD_INTERFACE_INFORMATION table = Extension(pdo)->InterfaceInfo;
        ASSERT_EQ(table->NumberOfPipes, c.Sizes.size());
        for (std::size_t i = 0; i < c.Sizes.size(); i++) {
            EXPECT_EQ(PipeIn(select[0], offsetof(_URB_SELECT_CONFIGURATION, Interface), i)
                          .MaximumTransferSize,
                      c.Sizes[i])
                << "pipe " << i << " as asked";
            EXPECT_EQ(table->Pipes[i].MaximumTransferSize, c.Sizes[i])
                << "pipe " << i << " as stored";
        }
        EXPECT_EQ(Extension(pdo)->ConfigurationHandle, kConfigurationHandle);
        Unplug(pdo);
    }

    // After a selection, the table user software reads offers 0xFFFF on every pipe.
    script_ = CameraScript::Default();
    PlugStarted();
    host::Handle handle = Open(0);
    ASSERT_NE(handle, 0u);
    const std::uint8_t selection[2] = {0, 2};
    EXPECT_EQ(
        host::FrontEnd::DeviceIoControl(handle, IOCTL_TOVRIK_SET_INTERFACE, selection, 0).Status,
        STATUS_SUCCESS);
    auto info = host::FrontEnd::DeviceIoControl(handle, IOCTL_TOVRIK_GET_PIPE_INFO, {}, 512);
    ASSERT_EQ(info.Status, STATUS_SUCCESS);
    ASSERT_EQ(info.Information, GET_USBD_INTERFACE_SIZE(2));
    auto* table = reinterpret_cast<const USBD_INTERFACE_INFORMATION*>(info.Output.data());
    EXPECT_EQ(table->AlternateSetting, 2u);
    ASSERT_EQ(table->NumberOfPipes, 2u);
    EXPECT_EQ(table->Pipes[0].MaximumTransferSize, 0xFFFFu);
    EXPECT_EQ(table->Pipes[1].MaximumTransferSize, 0xFFFFu);
    host::FrontEnd::Close(handle);
}

TEST_F(ConfigurationTest, SelectInterfaceRequestsAreSizedByTheirPipes) {
    struct Case {
        const char* Label;
        UCHAR Alternate;
        ULONG Pipes;
        USHORT UrbLength;
        USHORT InterfaceLength;
    };
    const Case cases[] = {
        {"no endpoints", 1, 0, 56, 24},
        {"two endpoints", 2, 2, 104, 72},
        {"four endpoints", 0, 4, 152, 120},
    };
    PDEVICE_OBJECT pdo = PlugStarted();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Label);
        bus_.ClearSeen();
        ASSERT_EQ(SelectAlternateInterface(Fdo(pdo), 0, c.Alternate), STATUS_SUCCESS);
        std::vector<SeenRequest> select = Urbs(URB_FUNCTION_SELECT_INTERFACE);
        ASSERT_EQ(select.size(), 1u);
        ASSERT_EQ(select[0].Length(), c.UrbLength);
        auto urb = select[0].As<_URB_SELECT_INTERFACE>();
        EXPECT_EQ(urb.ConfigurationHandle, kConfigurationHandle);
        EXPECT_EQ(urb.Interface.Length, c.InterfaceLength);
        EXPECT_EQ(urb.Interface.InterfaceNumber, 0u);
        EXPECT_EQ(urb.Interface.AlternateSetting, c.Alternate);
        for (ULONG i = 0; i < c.Pipes; i++) {
            EXPECT_EQ(PipeIn(select[0], offsetof(_URB_SELECT_INTERFACE, Interface), i)
                          .MaximumTransferSize,
                      0xFFFFu);
        }
        PUSBD_INTERFACE_INFORMATION table = Extension(pdo)->InterfaceInfo;
        ASSERT_NE(table, nullptr);
        EXPECT_EQ(table->NumberOfPipes, c.Pipes);
        EXPECT_EQ(table->Length, c.InterfaceLength);
    }

    // A setting or interface the configuration lacks: nothing is sent and the table stays.
    PUSBD_INTERFACE_INFORMATION table = Extension(pdo)->InterfaceInfo;
    for (auto [number, alternate] : {std::pair<UCHAR, UCHAR>{0, 7}, {3, 0}}) {
        bus_.ClearSeen();
        EXPECT_EQ(SelectAlternateInterface(Fdo(pdo), number, alternate), STATUS_UNSUCCESSFUL);
        EXPECT_TRUE(Urbs(URB_FUNCTION_SELECT_INTERFACE).empty());
        EXPECT_EQ(Extension(pdo)->InterfaceInfo, table);
    }
    // The bus refusing the selection: its failure, and the table stays.
    Override = [](PURB urb) -> std::optional<UrbReply> {
        if (urb->UrbHeader.Function == URB_FUNCTION_SELECT_INTERFACE) {
            return UrbReply{UrbReply::When::Now, STATUS_SUCCESS, USBD_STATUS_INTERFACE_NOT_FOUND};
        }
        return std::nullopt;
    };
    EXPECT_EQ(SelectAlternateInterface(Fdo(pdo), 0, 2), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(Extension(pdo)->InterfaceInfo, table);
    EXPECT_EQ(Extension(pdo)->LastUsbdStatus, USBD_STATUS_INTERFACE_NOT_FOUND);
}

} // namespace
} // namespace tovrik_test
