// The camera as a USB device: descriptors, configuration, alternate settings, halts, and canned
// answers to class and vendor requests.

#include "rig.h"

#include <array>

namespace sim::testing {
namespace {

std::vector<std::uint8_t> GetDescriptor(Rig& rig, std::uint8_t type, std::uint8_t index,
                                        std::uint16_t length, ControlStatus* status = nullptr) {
    std::vector<std::uint8_t> data(length + 16u, 0xCC); // room past wLength: must stay untouched
    const ControlResult r = rig.Control(
        Req(0x80, 6, static_cast<std::uint16_t>(type << 8 | index), 0x0409, length), data);
    if (status != nullptr) {
        *status = r.Status;
    }
    for (std::size_t i = length; i < data.size(); ++i) {
        EXPECT_EQ(data[i], 0xCC) << "written past wLength at " << i;
    }
    data.resize(r.Length);
    return data;
}

struct DescriptorCase {
    const char* Name;
    std::uint8_t Type;
    std::uint8_t Index;
    std::uint16_t WLength;
    std::uint32_t Expected;
};

class CameraDescriptors : public ::testing::TestWithParam<DescriptorCase> {};

TEST_P(CameraDescriptors, AnswerHonoursWLength) {
    const DescriptorCase& c = GetParam();
    Rig rig;
    rig.BuildRunning();
    ControlStatus status{};
    const auto data = GetDescriptor(rig, c.Type, c.Index, c.WLength, &status);
    EXPECT_EQ(status, ControlStatus::Ok);
    EXPECT_EQ(data.size(), c.Expected);
}

INSTANTIATE_TEST_SUITE_P(Own, CameraDescriptors,
                         ::testing::Values(DescriptorCase{"device_full", 1, 0, 18, 18},
                                           DescriptorCase{"device_first_8", 1, 0, 8, 8},
                                           DescriptorCase{"device_asked_more", 1, 0, 255, 18},
                                           DescriptorCase{"config_header", 2, 0, 9, 9},
                                           DescriptorCase{"config_whole", 2, 0, 92, 92},
                                           DescriptorCase{"config_asked_more", 2, 0, 4096, 92},
                                           DescriptorCase{"languages", 3, 0, 255, 4},
                                           DescriptorCase{"product_header", 3, 2, 2, 2},
                                           DescriptorCase{"qualifier", 6, 0, 10, 10}),
                         [](const auto& info) { return std::string(info.param.Name); });

TEST(CameraDescriptors, DefaultsDescribeTheTwoIdentities) {
    Rig rig;
    rig.Build();
    auto device = GetDescriptor(rig, 1, 0, 18);
    EXPECT_EQ(device[2] | device[3] << 8, 0x0200) << "bcdUSB";
    EXPECT_EQ(rig.Cam->Identity().VendorId, kForeignVendorId);
    EXPECT_EQ(rig.Cam->Identity().ProductId, kForeignProductId);
    EXPECT_FALSE(kForeignVendorId == kOwnVendorId && kForeignProductId == kOwnProductId);
    EXPECT_EQ(FirstInterfaceNumber(rig.Cam->ConfigurationDescriptor()), 0);

    rig.BuildRunning();
    device = GetDescriptor(rig, 1, 0, 18);
    EXPECT_EQ(device[8] | device[9] << 8, kOwnVendorId);
    EXPECT_EQ(device[10] | device[11] << 8, kOwnProductId);
    const auto product = GetDescriptor(rig, 3, 2, 255);
    ASSERT_GE(product.size(), 4u);
    EXPECT_EQ(product[0], product.size());
    EXPECT_EQ(product[1], 3);
    EXPECT_EQ(product[2], 'T');
    EXPECT_EQ(product[3], 0) << "UTF-16LE";
}

TEST(CameraDescriptors, MissingDescriptorsStall) {
    Rig rig;
    rig.BuildRunning();
    for (const auto& [type, index] : std::vector<std::pair<std::uint8_t, std::uint8_t>>{
             {3, 4}, {3, 200}, {2, 1}, {7, 0}, {0x21, 0}}) {
        ControlStatus status{};
        GetDescriptor(rig, type, index, 64, &status);
        EXPECT_EQ(status, ControlStatus::Stall) << int(type) << "/" << int(index);
    }
}

TEST(CameraDescriptors, TestBytesAreServedAsGivenEvenMalformed) {
    // 300 bytes: a header whose wTotalLength lies, one good interface with a bulk pair, then a
    // zero-length descriptor that a careless parser would loop on.
    std::vector<std::uint8_t> set(300, 0);
    // clang-format off
    const std::uint8_t head[] = {9, 2, 0x10, 0, 1, 1, 0, 0x80, 50,
                                 9, 4, 0, 0, 2, 0xFF, 0, 0, 0,
                                 7, 5, 0x02, 2, 0, 2, 0,
                                 7, 5, 0x86, 2, 0, 2, 0,
                                 7, 5, 0x87, 2, 0, 2, 0, // beyond bNumEndpoints: no pipe
                                 0, 5};
    // clang-format on
    std::copy(std::begin(head), std::end(head), set.begin());
    Rig rig;
    rig.Config.Own.Configuration = set;
    rig.BuildRunning();
    EXPECT_EQ(GetDescriptor(rig, 2, 0, 1000), set);
    EXPECT_EQ(GetDescriptor(rig, 2, 0, 299).size(), 299u);

    std::array<EndpointDescription, 4> found{};
    ASSERT_EQ(rig.Cam->InterfaceEndpoints(0, 0, found), 2u);
    EXPECT_EQ(found[1].Address, 0x86);
    EXPECT_EQ(found[1].PipeIndex, 1);
    EndpointDescription e;
    EXPECT_TRUE(rig.Cam->FindEndpoint(0x86, e));
    EXPECT_FALSE(rig.Cam->FindEndpoint(0x87, e));

    // A descriptor that runs past the end stops the walk, without reading beyond the set.
    // clang-format off
    const std::uint8_t truncated[] = {9, 2, 30, 0, 1, 1, 0, 0x80, 50,
                                      9, 4, 0, 0, 1, 0xFF, 0, 0, 0,
                                      7, 5, 0x81, 2, 0};
    // clang-format on
    EXPECT_EQ(ParseInterfaceEndpoints(truncated, 0, 0, found), 0u);
    EXPECT_TRUE(HasAlternateSetting(truncated, 0, 0));
    EXPECT_EQ(FirstInterfaceNumber(std::span<const std::uint8_t>(truncated).first(12)), -1);
}

// --- Configuration and alternate settings ---------------------------------------------------

struct AlternateCase {
    std::uint8_t Alternate;
    std::vector<std::uint8_t> Addresses;
    std::uint32_t IsoBytesPerMicroframe; // of 0x83; 0 when absent
};

TEST(CameraAlternateSettings, DecideWhichEndpointsExist) {
    const std::vector<AlternateCase> cases = {
        {0, {0x01, 0x81, 0x82, 0x83}, 1024},
        {1, {}, 0},
        {2, {0x01, 0x81, 0x82, 0x83}, 3 * 1024},
    };
    Rig rig;
    rig.BuildRunning();
    for (const auto& c : cases) {
        SCOPED_TRACE(int(c.Alternate));
        ASSERT_EQ(rig.Control(Req(0x01, 11, c.Alternate, 0, 0)).Status, ControlStatus::Ok);
        EXPECT_EQ(rig.Cam->AlternateSetting(0), c.Alternate);
        for (const std::uint8_t address : {0x01, 0x81, 0x82, 0x83}) {
            EndpointDescription e;
            const bool expected =
                std::find(c.Addresses.begin(), c.Addresses.end(), address) != c.Addresses.end();
            EXPECT_EQ(rig.Cam->FindEndpoint(static_cast<std::uint8_t>(address), e), expected)
                << std::hex << int(address);
            if (expected) {
                EXPECT_EQ(e.PipeIndex, std::find(c.Addresses.begin(), c.Addresses.end(), address) -
                                           c.Addresses.begin());
            }
        }
        EndpointDescription iso;
        if (c.IsoBytesPerMicroframe != 0) {
            ASSERT_TRUE(rig.Cam->FindEndpoint(kIsoEndpoint, iso));
            EXPECT_EQ(iso.Kind, EndpointKind::Isochronous);
            EXPECT_EQ(iso.MaxPacketSize, 1024);
            EXPECT_EQ(iso.BytesPerMicroframe(), c.IsoBytesPerMicroframe);
        }
        std::uint8_t alt = 0xFF;
        EXPECT_EQ(rig.Control(Req(0x81, 10, 0, 0, 1), std::span(&alt, 1)).Length, 1u);
        EXPECT_EQ(alt, c.Alternate);
    }
}

TEST(CameraAlternateSettings, RequestsTheDeviceCannotHonourStall) {
    Rig rig;
    rig.Build();
    EXPECT_EQ(rig.Control(Req(0x01, 11, 0, 0, 0)).Status, ControlStatus::Stall)
        << "SET_INTERFACE while unconfigured";
    EXPECT_EQ(rig.Control(Req(0x00, 9, 2, 0, 0)).Status, ControlStatus::Stall)
        << "no configuration 2";
    ASSERT_EQ(rig.Control(Req(0x00, 9, 1, 0, 0)).Status, ControlStatus::Ok);
    EXPECT_EQ(rig.Control(Req(0x01, 11, 1, 0, 0)).Status, ControlStatus::Stall)
        << "the bare chip has no alternate setting 1";
    EXPECT_EQ(rig.Control(Req(0x01, 11, 0, 1, 0)).Status, ControlStatus::Stall) << "no interface 1";
}

TEST(CameraConfiguration, UnconfiguredDeviceHasNoDataEndpoints) {
    Rig rig;
    rig.Config.PowerOn = PowerOnState::CameraRunning;
    rig.Build();
    std::array<std::uint8_t, 64> buffer{};
    EXPECT_EQ(rig.Cam->BulkIn(kImageEndpoint, buffer).Status, TransferStatus::NoHandshake);
    rig.Control(Req(0x00, 9, 1, 0, 0));
    std::uint8_t value = 0;
    rig.Control(Req(0x80, 8, 0, 0, 1), std::span(&value, 1));
    EXPECT_EQ(value, 1);
    EXPECT_EQ(rig.Cam->BulkIn(kImageEndpoint, buffer).Status, TransferStatus::Nak);
    rig.Control(Req(0x00, 9, 0, 0, 0));
    EXPECT_EQ(rig.Cam->BulkIn(kImageEndpoint, buffer).Status, TransferStatus::NoHandshake);
}

// --- Halts ------------------------------------------------------------------------------------

TEST(CameraHalt, SetFeatureHaltsAndEachClearingPathClears) {
    struct Clearing {
        const char* Name;
        void (*Clear)(Rig&);
    };
    const Clearing clearings[] = {
        {"clear_feature", [](Rig& r) { r.Control(Req(0x02, 1, 0, kImageEndpoint, 0)); }},
        {"set_interface", [](Rig& r) { r.Control(Req(0x01, 11, 0, 0, 0)); }},
        {"set_configuration", [](Rig& r) { r.Control(Req(0x00, 9, 1, 0, 0)); }},
        {"bus_clear_halt", [](Rig& r) { r.Cam->ClearHalt(kImageEndpoint); }},
    };
    for (const auto& clearing : clearings) {
        SCOPED_TRACE(clearing.Name);
        Rig rig;
        rig.BuildRunning();
        ASSERT_EQ(rig.Control(Req(0x02, 3, 0, kImageEndpoint, 0)).Status, ControlStatus::Ok);
        std::array<std::uint8_t, 2> status{};
        rig.Control(Req(0x82, 0, 0, kImageEndpoint, 2), status);
        EXPECT_EQ(status[0], 1);
        rig.Command(kCommandStartFrame);
        std::array<std::uint8_t, 512> buffer{};
        EXPECT_EQ(rig.Cam->BulkIn(kImageEndpoint, buffer).Status, TransferStatus::Stall);
        EXPECT_EQ(rig.Cam->BulkIn(kStatusEndpoint, buffer).Status, TransferStatus::Short)
            << "the halt is per endpoint";

        clearing.Clear(rig);
        EXPECT_FALSE(rig.Cam->Halted(kImageEndpoint));
        rig.Control(Req(0x82, 0, 0, kImageEndpoint, 2), status);
        EXPECT_EQ(status[0], 0);
    }
}

TEST(CameraHalt, HaltOnAMissingEndpointStalls) {
    Rig rig;
    rig.BuildRunning();
    EXPECT_EQ(rig.Control(Req(0x02, 3, 0, 0x85, 0)).Status, ControlStatus::Stall);
    EXPECT_EQ(rig.Control(Req(0x02, 3, 0, 0x00, 0)).Status, ControlStatus::Ok)
        << "endpoint 0 takes it and forgets it";
    EXPECT_FALSE(rig.Cam->Halted(0x00));
}

// --- Class and vendor requests ----------------------------------------------------------------

TEST(CameraCannedReplies, AnswerBothDataStagesAndStallTheRest) {
    const std::uint8_t reply[] = {0xDE, 0xAD, 0xBE, 0xEF};
    std::array<std::uint8_t, 8> captured{};
    CannedReply canned[3];
    canned[0].RequestType = 0xC0;
    canned[0].Request = 0x51;
    canned[0].AnyValue = true;
    canned[0].Reply = reply;
    canned[1].RequestType = 0x21; // class, interface, host to device
    canned[1].Request = 0x09;
    canned[1].Value = 0x0200;
    canned[1].Capture = captured;
    canned[2].RequestType = 0x40;
    canned[2].Request = 0x52;
    canned[2].Stall = true;

    Rig rig;
    rig.Config.CannedReplies = canned;
    rig.BuildRunning();

    std::array<std::uint8_t, 16> in{};
    ControlResult r = rig.Control(Req(0xC0, 0x51, 7, 0, 16), in);
    EXPECT_EQ(r.Status, ControlStatus::Ok);
    EXPECT_EQ(r.Length, 4u) << "a shorter reply is a short data stage";
    EXPECT_EQ(in[3], 0xEF);
    r = rig.Control(Req(0xC0, 0x51, 9, 0, 2), in);
    EXPECT_EQ(r.Length, 2u) << "cut to wLength";
    EXPECT_EQ(canned[0].Hits, 2u);

    std::vector<std::uint8_t> out = Bytes(10, 1);
    r = rig.Control(Req(0x21, 0x09, 0x0200, 0, 10), out);
    EXPECT_EQ(r.Status, ControlStatus::Ok);
    EXPECT_EQ(r.Length, 10u);
    EXPECT_EQ(canned[1].CapturedLength, 10u);
    EXPECT_TRUE(std::equal(captured.begin(), captured.end(), out.begin()));

    EXPECT_EQ(rig.Control(Req(0x21, 0x09, 0x0300, 0, 0)).Status, ControlStatus::Stall)
        << "wValue differs";
    EXPECT_EQ(rig.Control(Req(0x40, 0x52, 0, 0, 0)).Status, ControlStatus::Stall);
    EXPECT_EQ(canned[2].Hits, 1u);
    EXPECT_EQ(rig.Control(Req(0xA1, 0x01, 0, 0, 8), in).Status, ControlStatus::Stall)
        << "class request nobody answers";
    EXPECT_EQ(rig.Control(Req(0xC0, 0x77, 0, 0, 8), in).Status, ControlStatus::Stall)
        << "unknown vendor request";
}

} // namespace
} // namespace sim::testing
