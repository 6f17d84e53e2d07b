// The chip: RAM through 0xA0, CPUCS, the violation log, 0xA3, and knowing the programs by content.

#include "rig.h"

namespace sim::testing {
namespace {

TEST(CameraMemory, WritesAndReadsBackThroughA0) {
    Rig rig;
    rig.Build();
    const auto data = Bytes(100, 3);
    EXPECT_EQ(rig.Write(kRequestMemory, 0x1234, data).Length, 100u);
    EXPECT_EQ(rig.Read(kRequestMemory, 0x1234, 100), data);
    EXPECT_EQ(rig.Cam->Memory()[0x1233], 0);
    EXPECT_EQ(rig.Cam->Memory()[0x1234 + 100], 0);
}

TEST(CameraMemory, TransferPastTheTopWrapsToAddressZero) {
    Rig rig;
    rig.Build();
    const auto data = Bytes(32, 9);
    rig.Write(kRequestMemory, 0xFFF0, data);
    EXPECT_EQ(rig.Cam->Memory()[0xFFFF], data[15]);
    EXPECT_EQ(rig.Cam->Memory()[0x0000], data[16]);
    EXPECT_EQ(rig.Cam->Memory()[0x000F], data[31]);
    EXPECT_EQ(rig.Read(kRequestMemory, 0xFFF0, 32), data);
}

TEST(CameraMemory, DataStageIsCutToWLength) {
    Rig rig;
    rig.Build();
    std::vector<std::uint8_t> data = Bytes(8, 1);
    const ControlResult r = rig.Control(Req(0x40, kRequestMemory, 0x100, 0, 5), data);
    EXPECT_EQ(r.Length, 5u);
    EXPECT_EQ(rig.Cam->Memory()[0x104], data[4]);
    EXPECT_EQ(rig.Cam->Memory()[0x105], 0);
}

TEST(CameraCpu, EitherCpucsAddressHoldsAndReleasesTheCpu) {
    for (const std::uint16_t address : {kCpucsAddressOld, kCpucsAddressNew}) {
        SCOPED_TRACE(address);
        Rig rig;
        rig.Build();
        EXPECT_TRUE(rig.Cam->CpuInReset()) << "a chip without boot EEPROM powers up in reset";
        rig.Write(kRequestMemory, address, {0});
        EXPECT_FALSE(rig.Cam->CpuInReset());
        EXPECT_EQ(rig.Cam->Program(), RunningProgram::Unrecognised);
        rig.Write(kRequestMemory, address, {1});
        EXPECT_TRUE(rig.Cam->CpuInReset());
        EXPECT_EQ(rig.Cam->Program(), RunningProgram::None);
        // Both addresses are one register, and CPUCS is not RAM.
        EXPECT_EQ(rig.Read(kRequestMemory, kCpucsAddressOld, 1), std::vector<std::uint8_t>{1});
        EXPECT_EQ(rig.Read(kRequestMemory, kCpucsAddressNew, 1), std::vector<std::uint8_t>{1});
        EXPECT_EQ(rig.Cam->Memory()[address], 0);
    }
}

TEST(CameraViolations, CodeWrittenWhileTheCpuRunsIsFlaggedOncePerRequest) {
    Rig rig;
    rig.Build();
    rig.Write(kRequestMemory, 0x0200, Bytes(16, 0)); // in reset: fine
    EXPECT_EQ(rig.Cam->ViolationCount(), 0u);

    rig.Cpucs(0);
    EXPECT_EQ(rig.Cam->ViolationCount(), 0u) << "CPUCS writes are what a running CPU expects";
    rig.Write(kRequestMemory, 0x0300, Bytes(16, 0));
    ASSERT_EQ(rig.Cam->ViolationCount(), 1u);
    const ViolationRecord v = rig.Cam->Violations()[0];
    EXPECT_EQ(v.Kind, ViolationKind::WriteWhileRunning);
    EXPECT_EQ(v.Address, 0x0300);
    EXPECT_EQ(v.Length, 16);
    EXPECT_EQ(v.Program, RunningProgram::Unrecognised);
    EXPECT_EQ(rig.Cam->Memory()[0x0300], Bytes(16, 0)[0]) << "the write still happens";
    EXPECT_TRUE(rig.Read(kRequestMemory, 0x0300, 4).size() == 4) << "reads are not violations";
    EXPECT_EQ(rig.Cam->ViolationCount(), 1u);
}

TEST(CameraViolations, ReleaseInsideABlockFlagsTheBytesAfterIt) {
    Rig rig;
    rig.Build();
    std::vector<std::uint8_t> block(512, 0); // covers 0x7E00..0x7FFF, CPUCS at 0x7F92 gets 0
    rig.Write(kRequestMemory, 0x7E00, block);
    EXPECT_FALSE(rig.Cam->CpuInReset());
    ASSERT_EQ(rig.Cam->ViolationCount(), 1u);
    EXPECT_EQ(rig.Cam->Violations()[0].Address, 0x7F93);
}

TEST(CameraViolations, LogKeepsTheFirstEntriesAndCountsAll) {
    Rig rig;
    rig.Build();
    rig.Cpucs(0);
    for (std::uint16_t i = 0; i < kViolationLogEntries + 5; ++i) {
        rig.Write(kRequestMemory, static_cast<std::uint16_t>(0x1000 + i), {1});
    }
    EXPECT_EQ(rig.Cam->ViolationCount(), kViolationLogEntries + 5);
    ASSERT_EQ(rig.Cam->Violations().size(), kViolationLogEntries);
    EXPECT_EQ(rig.Cam->Violations()[0].Address, 0x1000);
    EXPECT_EQ(rig.Cam->Violations().back().Address, 0x1000 + kViolationLogEntries - 1);
    rig.Cam->ClearViolations();
    EXPECT_EQ(rig.Cam->ViolationCount(), 0u);
}

TEST(CameraExternalMemory, A3WorksOnlyWhileTheLoaderRuns) {
    Rig rig;
    rig.Build();
    const auto data = Bytes(16, 5);
    EXPECT_EQ(rig.Write(kRequestExternalMemory, 0x2000, data).Status, ControlStatus::Stall)
        << "bare chip in reset";
    ASSERT_EQ(rig.Cam->ViolationCount(), 1u);
    EXPECT_EQ(rig.Cam->Violations()[0].Kind, ViolationKind::ExternalWithoutLoader);

    rig.Download(LoaderRanges());
    ASSERT_EQ(rig.Cam->Program(), RunningProgram::Loader);
    EXPECT_EQ(rig.Write(kRequestExternalMemory, 0x2000, data).Status, ControlStatus::Ok);
    EXPECT_EQ(rig.Read(kRequestExternalMemory, 0x2000, 16), data);
    EXPECT_EQ(rig.Cam->ViolationCount(), 1u);

    rig.Cpucs(1);
    EXPECT_EQ(rig.Write(kRequestExternalMemory, 0x2000, data).Status, ControlStatus::Stall);
    EXPECT_TRUE(rig.Read(kRequestExternalMemory, 0x2000, 16).empty());
}

// --- Programs known by content ----------------------------------------------------------------

struct Recognition {
    const char* Name;
    bool Camera;          // download the camera image, else the loader
    int FlipRange;        // -1: no change; else the range whose byte is changed
    std::size_t FlipByte; // within that range
    RunningProgram Expected;
};

class CameraRecognition : public ::testing::TestWithParam<Recognition> {};

TEST_P(CameraRecognition, OnlyAnExactImageRuns) {
    const Recognition& c = GetParam();
    Rig rig;
    rig.Build();
    auto ranges = c.Camera ? CameraRanges() : LoaderRanges();
    if (c.FlipRange >= 0) {
        ranges[c.FlipRange].Data[c.FlipByte] ^= 0x01;
    }
    rig.Download(ranges);
    EXPECT_EQ(rig.Cam->Program(), c.Expected);
    const bool renumerates = c.Expected == RunningProgram::Camera;
    EXPECT_EQ(rig.Cam->TakeEvents(), renumerates ? CameraEventRenumerate : 0u);
    EXPECT_EQ(rig.Cam->ViolationCount(), 0u) << "the driver's download order breaks no rule";
    // Whatever ran, the old device stays on the bus until the bus reconnects it.
    EXPECT_EQ(rig.Cam->Identity().ProductId, kForeignProductId);
}

INSTANTIATE_TEST_SUITE_P(
    Images, CameraRecognition,
    ::testing::Values(Recognition{"loader", false, -1, 0, RunningProgram::Loader},
                      Recognition{"camera", true, -1, 0, RunningProgram::Camera},
                      Recognition{"loader_first_byte", false, 0, 0, RunningProgram::Unrecognised},
                      Recognition{"loader_last_byte", false, 2, 199, RunningProgram::Unrecognised},
                      Recognition{"camera_middle_byte", true, 2, 250, RunningProgram::Unrecognised},
                      Recognition{"camera_small_range", true, 1, 1, RunningProgram::Unrecognised}),
    [](const auto& info) { return std::string(info.param.Name); });

TEST(CameraRecognition, UncoveredBytesDoNotMatter) {
    Rig rig;
    rig.Build();
    rig.Write(kRequestMemory, 0x0010, {0xAA, 0xBB}); // between the image's ranges
    rig.Download(CameraRanges());
    EXPECT_EQ(rig.Cam->Program(), RunningProgram::Camera);
}

TEST(CameraRecognition, AnEmptyImageIsNeverRecognised) {
    Rig rig;
    rig.Storage->Loader.Clear();
    rig.Build();
    rig.Cpucs(0); // RAM is all zero, which an empty image would "match"
    EXPECT_EQ(rig.Cam->Program(), RunningProgram::Unrecognised);
}

TEST(CameraRecognition, DriverSequenceLoaderThenCameraRenumeratesOnce) {
    Rig rig;
    rig.Build();
    rig.Download(LoaderRanges());
    EXPECT_EQ(rig.Cam->Program(), RunningProgram::Loader);
    EXPECT_EQ(rig.Cam->TakeEvents(), 0u);
    rig.Download(CameraRanges());
    EXPECT_EQ(rig.Cam->Program(), RunningProgram::Camera);
    EXPECT_EQ(rig.Cam->TakeEvents(), CameraEventRenumerate);
    EXPECT_EQ(rig.Cam->TakeEvents(), 0u);
    EXPECT_EQ(rig.Cam->ViolationCount(), 0u);

    EXPECT_FALSE(rig.Cam->PresentsOwnIdentity());
    rig.Cam->Reconnect();
    EXPECT_TRUE(rig.Cam->PresentsOwnIdentity());
    EXPECT_EQ(rig.Cam->Identity().VendorId, kOwnVendorId);
    EXPECT_EQ(rig.Cam->Identity().ProductId, kOwnProductId);
    EXPECT_EQ(rig.Cam->Configuration(), 0) << "a new device starts unconfigured";
}

TEST(CameraRecognition, ImagesFromDriverRecords) {
    // Two data records out of address order and the end record, in the driver's 22-byte layout.
    std::vector<std::uint8_t> records(3 * 22, 0);
    auto record = [&](std::size_t i, std::uint8_t length, std::uint16_t address, std::uint8_t type,
                      std::uint8_t seed) {
        std::uint8_t* r = &records[i * 22];
        r[0] = length;
        r[2] = static_cast<std::uint8_t>(address);
        r[3] = static_cast<std::uint8_t>(address >> 8);
        r[4] = type;
        for (std::uint8_t k = 0; k < length; ++k) {
            r[5 + k] = static_cast<std::uint8_t>(seed + k);
        }
    };
    record(0, 16, 0x0100, 0, 0x50);
    record(1, 3, 0x0000, 0, 0x02);
    record(2, 0, 0x0000, 1, 0);

    auto storage = std::make_unique<CameraStorage>();
    FirmwareImage& image = storage->Program;
    EXPECT_TRUE(image.AddRecords(records));
    EXPECT_EQ(image.CoveredBytes(), 19u);
    EXPECT_TRUE(image.Covers(0x010F));
    EXPECT_FALSE(image.Covers(0x0110));
    EXPECT_FALSE(image.Covers(0x0003));
    EXPECT_EQ(image.At(0x0101), 0x51);

    FirmwareImage& bad = storage->Loader;
    EXPECT_FALSE(bad.AddRecords(std::span(records).first(44))) << "no end record";
    bad.Clear();
    records[0] = 17;
    EXPECT_FALSE(bad.AddRecords(records)) << "a record longer than 16 bytes";
    EXPECT_EQ(bad.CoveredBytes(), 0u);
}

TEST(CameraRecognition, CameraRunningAtPowerOnNeedsNoDownload) {
    Rig rig;
    rig.Config.PowerOn = PowerOnState::CameraRunning;
    rig.Build();
    EXPECT_EQ(rig.Cam->Program(), RunningProgram::Camera);
    EXPECT_TRUE(rig.Cam->PresentsOwnIdentity());
    EXPECT_EQ(rig.Cam->TakeEvents(), 0u);
    EXPECT_TRUE(rig.Storage->Program.Matches(rig.Cam->Memory()));
    // Reset and release: the firmware starts again, and leaves the bus again.
    rig.Cpucs(1);
    rig.Cpucs(0);
    EXPECT_EQ(rig.Cam->TakeEvents(), CameraEventRenumerate);
}

} // namespace
} // namespace sim::testing
