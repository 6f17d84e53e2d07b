// Every request code through the SDK's host backend: the real driver loaded into the host
// kernel, a simulated camera below it, requests sent the way camera software sends them. Each
// test builds its own world, so nothing one test changes (interface, time limit, device memory)
// reaches the next, and the host kernel's per-test checks see the driver unloaded clean.
#include "camera/camera.h"
#include "host/host_backend.h"
#include "host/host_kernel.h"
#include "tovrik/sdk.hpp"
#include "world/world.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;

constexpr std::int32_t kSuccess = 0;
constexpr std::int32_t kUnsuccessful = static_cast<std::int32_t>(0xC0000001);
constexpr std::int32_t kInvalidParameter = static_cast<std::int32_t>(0xC000000D);
constexpr std::int32_t kDeletePending = static_cast<std::int32_t>(0xC0000056);

// Kernel time runs this much faster than real time: the driver's 1.5 s start-up waits take
// 15 ms, and its 5 s limit on a control transfer keeps 50 ms of real time for a loaded
// machine's late wake-ups; no test sleeps.
constexpr double kClockScale = 100;

template <typename Record> Bytes Record_(const Record& r) {
    auto* p = reinterpret_cast<const std::uint8_t*>(&r);
    return Bytes(p, p + sizeof r);
}

class SdkHost : public ::testing::Test {
  protected:
    void Open(std::uint32_t identity = TOVRIK_SIM_IDENTITY_OWN, std::uint32_t cameras = 1,
              const char* pcap = nullptr, std::uint32_t timing = TOVRIK_SIM_TIMING_UNTHROTTLED) {
        tovrik_system_options o;
        tovrik_system_options_init(&o);
        o.sim_identity = identity;
        o.sim_cameras = cameras;
        o.sim_clock_scale = kClockScale;
        o.sim_pcap_path = pcap;
        o.sim_timing = timing;
        system_.emplace(tovrik::System::Open(&o));
        device_ = system_->OpenCamera(0);
    }
    void SetUp() override { Open(); }
    void TearDown() override {
        device_ = tovrik::Device();
        system_.reset();
    }

    sim::World& World() { return *tovrik::sdk::HostWorld(system_->get()); }

    // The raw call over a buffer poisoned with 0xA5, so a test sees every byte the driver wrote.
    struct Raw {
        std::int32_t Status;
        std::uint64_t Information;
        Bytes Output;
    };
    Raw Call(std::uint32_t code, const Bytes& input, std::uint32_t outputLength) {
        Bytes output(outputLength, 0xA5);
        tovrik_result r = device_.Ioctl(code, input, output);
        return {r.status, r.information, output};
    }

    // Transfers the bus finished on the camera's endpoints: the probe for "nothing was sent".
    std::uint64_t BusTransfers() {
        std::uint64_t n = 0;
        for (std::uint8_t ep : {0x00, 0x01, 0x81, 0x82, 0x83})
            n += World().Counters(0, ep).Transfers;
        return n;
    }

    Bytes ReadMemory(std::uint16_t address, std::uint16_t length) {
        VENDOR_DEVICE_REQUEST read{0xA0, 0, address, 0, length, 1, 0};
        tovrik::BytesResult r = device_.VendorRequest(read, length);
        EXPECT_EQ(r.Status, kSuccess);
        return r.Bytes;
    }

    std::optional<tovrik::System> system_;
    tovrik::Device device_;
};

TEST_F(SdkHost, ForeignCamerasComeUpRunningTheirFirmware) {
    TearDown();
    auto pcap = std::filesystem::temp_directory_path() /
                ("tovrik_sdk_" + std::to_string(::getpid()) + ".pcap");
    Open(TOVRIK_SIM_IDENTITY_FOREIGN, 2, pcap.c_str(), TOVRIK_SIM_TIMING_HIGH_SPEED);
    ASSERT_EQ(system_->Cameras(), (std::vector<std::uint32_t>{0, 1}));
    for (std::uint32_t n : system_->Cameras()) {
        tovrik::Device camera = system_->OpenCamera(n);
        auto d = camera.DeviceDescriptor();
        ASSERT_TRUE(d.valid);
        EXPECT_EQ(d.descriptor.idVendor, sim::kOwnVendorId);
        EXPECT_EQ(d.descriptor.idProduct, sim::kOwnProductId);
        EXPECT_EQ(camera.PipeInfo().number_of_pipes, 4u);
        // Microframes pass on the bus, so the frame number is a real one.
        auto frame = camera.FrameNumber();
        EXPECT_EQ(frame.status, kSuccess);
        EXPECT_EQ(frame.information, 4u);
    }
    EXPECT_THROW(system_->OpenCamera(2), tovrik::Error);
    device_ = tovrik::Device();
    system_.reset();
    // The download went over the bus, so the capture holds far more than its header.
    EXPECT_GT(std::filesystem::file_size(pcap), 4096u);
    std::filesystem::remove(pcap);

    // One world at a time: the host kernel is one per process.
    Open();
    tovrik_system* second = nullptr;
    EXPECT_EQ(tovrik_system_open(nullptr, &second), TOVRIK_STATUS_NOT_SUPPORTED);
    tovrik_system_options bad;
    tovrik_system_options_init(&bad);
    bad.sim_cameras = 33;
    EXPECT_EQ(tovrik_system_open(&bad, &second), TOVRIK_STATUS_INVALID_PARAMETER);
}

// A camera whose start the driver fails: the system answers the start's own status at once,
// rather than a general failure after waiting for a camera that will never open.
TEST_F(SdkHost, ACameraTheDriverCannotStartIsReportedWithTheStartsStatus) {
    TearDown();
    const sim::DescriptorSet own = sim::DefaultOwnDescriptors();
    std::vector<std::uint8_t> configuration(own.Configuration.begin(), own.Configuration.end());
    configuration[9] = 0; // the interface descriptor's bLength: a descriptor of length 0
    tovrik_system_options o;
    tovrik_system_options_init(&o);
    o.sim_identity = TOVRIK_SIM_IDENTITY_OWN;
    o.sim_clock_scale = kClockScale;
    o.sim_configuration_descriptor = configuration.data();
    o.sim_configuration_descriptor_length = static_cast<std::uint32_t>(configuration.size());
    tovrik_system* system = nullptr;
    const auto before = std::chrono::steady_clock::now();
    EXPECT_EQ(tovrik_system_open(&o, &system), static_cast<std::int32_t>(0xC000009C))
        << "STATUS_DEVICE_DATA_ERROR, as the driver's start answered";
    EXPECT_EQ(system, nullptr);
    // Far below the 60 s the system waits for a camera that is merely slow to start.
    EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::seconds(30));
    Open();
}

struct FixedCase {
    const char* Label;
    std::uint32_t Code;
    Bytes Input;
    std::uint32_t OutputLength;
    std::int32_t Status;
    std::uint64_t Information;
    std::optional<Bytes> Output; // the first Information bytes, when they are known
};

// A request the driver must refuse as malformed: STATUS_INVALID_PARAMETER, nothing written.
FixedCase Refused(const char* label, std::uint32_t code, Bytes input, std::uint32_t outputLength) {
    return {label, code, std::move(input), outputLength, kInvalidParameter, 0, {}};
}

TEST_F(SdkHost, EachCodeAnswersWithItsStatusAndInformation) {
    const std::vector<FixedCase> cases = {
        {"version, 6 bytes",
         IOCTL_TOVRIK_GET_DRIVER_VERSION,
         {},
         6,
         kSuccess,
         6,
         Bytes{1, 0, 1, 0, 0, 0}},
        {"version, 5 bytes", IOCTL_TOVRIK_GET_DRIVER_VERSION, {}, 5, kUnsuccessful, 0, {}},
        {"last error, fresh", IOCTL_TOVRIK_GET_LAST_ERROR, {}, 4, kSuccess, 4, Bytes{0, 0, 0, 0}},
        {"last error, 3 bytes", IOCTL_TOVRIK_GET_LAST_ERROR, {}, 3, kUnsuccessful, 0, {}},
        Refused("frame number, 3 bytes", IOCTL_TOVRIK_GET_FRAME_NUMBER, {}, 3),
        {"device descriptor, no buffers",
         IOCTL_TOVRIK_GET_DEVICE_DESCRIPTOR,
         {},
         0,
         kSuccess,
         0,
         {}},
        Refused("device descriptor, 17 bytes", IOCTL_TOVRIK_GET_DEVICE_DESCRIPTOR, {}, 17),
        {"device descriptor", IOCTL_TOVRIK_GET_DEVICE_DESCRIPTOR, {}, 18, kSuccess, 18, {}},
        {"configuration, no buffer",
         IOCTL_TOVRIK_GET_CONFIGURATION_DESCRIPTOR,
         {},
         0,
         kSuccess,
         0,
         {}},
        {"configuration, header",
         IOCTL_TOVRIK_GET_CONFIGURATION_DESCRIPTOR,
         {},
         9,
         kSuccess,
         9,
         {}},
        {"pipe table", IOCTL_TOVRIK_GET_PIPE_INFO, {}, 200, kSuccess, 24 + 24 * 4, {}},
        Refused("pipe table, one byte short", IOCTL_TOVRIK_GET_PIPE_INFO, {}, 24 + 24 * 4 - 1),
        {"no operation, buffers untouched",
         IOCTL_TOVRIK_NO_OPERATION,
         {1, 2, 3},
         8,
         kSuccess,
         0,
         {}},
        {"stop stream, none running", IOCTL_TOVRIK_STOP_ISO_STREAM, {}, 0, kSuccess, 0, {}},
        {"reset port", IOCTL_TOVRIK_RESET_PORT, {}, 0, kSuccess, 0, {}},
        {"time limit, other selector",
         IOCTL_TOVRIK_SET_TIMEOUT,
         {2, 0, 0, 0, 0x10, 0x27, 0, 0},
         0,
         kSuccess,
         0,
         {}},
        {"string, language list",
         IOCTL_TOVRIK_GET_STRING_DESCRIPTOR,
         {0, 0, 0, 0},
         255,
         kSuccess,
         4,
         Bytes{4, 3, 0x09, 0x04}},
        {"string, absent index",
         IOCTL_TOVRIK_GET_STRING_DESCRIPTOR,
         {9, 0, 0x09, 0x04},
         255,
         kUnsuccessful,
         0,
         {}},
        Refused("function 0x803, buffered", TOVRIK_CTL_CODE(0x803, TOVRIK_METHOD_BUFFERED), {}, 16),
        Refused("function 0x800, in direct", TOVRIK_CTL_CODE(0x800, TOVRIK_METHOD_IN_DIRECT), {},
                200),
        Refused("function 0x82B", TOVRIK_CTL_CODE(0x82B, TOVRIK_METHOD_BUFFERED), {}, 0),
        Refused("another device type", 0x00012000, {}, 0),
        {"stream read before any start",
         IOCTL_TOVRIK_READ_ISO_STREAM,
         Record_(ISO_REQUEST{0, 16, 2, 0, 0}),
         56,
         kUnsuccessful,
         0,
         {}},
    };
    for (const FixedCase& c : cases) {
        SCOPED_TRACE(c.Label);
        Raw r = Call(c.Code, c.Input, c.OutputLength);
        EXPECT_EQ(r.Status, c.Status) << tovrik_status_name(r.Status);
        EXPECT_EQ(r.Information, c.Information);
        if (c.Output) {
            EXPECT_EQ(Bytes(r.Output.begin(), r.Output.begin() + c.Output->size()), *c.Output);
        }
        // Nothing past Information is written, and a refused request writes nothing at all.
        for (std::size_t i = r.Information; i < r.Output.size(); ++i)
            ASSERT_EQ(r.Output[i], 0xA5) << "byte " << i;
    }
}

TEST_F(SdkHost, MalformedRequestsAreRefusedBeforeAnythingIsSent) {
    const std::vector<FixedCase> cases = {
        Refused("string, 5-byte input", IOCTL_TOVRIK_GET_STRING_DESCRIPTOR, {2, 0, 0x09, 0x04, 0},
                255),
        Refused("string, 3-byte input", IOCTL_TOVRIK_GET_STRING_DESCRIPTOR, {2, 0, 0x09}, 255),
        Refused("string, no output", IOCTL_TOVRIK_GET_STRING_DESCRIPTOR, {2, 0, 0x09, 0x04}, 0),
        Refused("vendor, 9-byte input", IOCTL_TOVRIK_VENDOR_REQUEST,
                {0xA0, 0, 0, 0x30, 0, 0, 4, 0, 1}, 4),
        Refused("vendor in, output shorter than Length", IOCTL_TOVRIK_VENDOR_REQUEST,
                Record_(VENDOR_DEVICE_REQUEST{0xA0, 0, 0x3000, 0, 64, 1, 0}), 32),
        Refused("control, 9-byte input", IOCTL_TOVRIK_CONTROL_REQUEST,
                {1, 2, 0, 0, 0xA0, 0, 0, 0x30, 0}, 4),
        Refused("control, type 3 (key 12)", IOCTL_TOVRIK_CONTROL_REQUEST,
                Record_(CLASS_VENDOR_REQUEST{1, 3, 0, 0, 0xA0, 0, 0, 0}), 4),
        Refused("reset pipe, 3-byte input", IOCTL_TOVRIK_RESET_PIPE, {0, 0, 0}, 0),
        Refused("reset pipe, index = pipe count", IOCTL_TOVRIK_RESET_PIPE, {4, 0, 0, 0}, 0),
        Refused("abort pipe, 3-byte input", IOCTL_TOVRIK_ABORT_PIPE, {0, 0, 0}, 0),
        Refused("abort pipe, index = pipe count", IOCTL_TOVRIK_ABORT_PIPE, {4, 0, 0, 0}, 0),
        Refused("abort pipe, index -1", IOCTL_TOVRIK_ABORT_PIPE, {0xFF, 0xFF, 0xFF, 0xFF}, 0),
        Refused("set interface, 1-byte input", IOCTL_TOVRIK_SET_INTERFACE, {0}, 0),
        Refused("set feature, 3-byte input", IOCTL_TOVRIK_SET_FEATURE, {1, 0, 0}, 0),
        Refused("set feature, 5-byte input", IOCTL_TOVRIK_SET_FEATURE, {1, 0, 0, 0, 0}, 0),
        Refused("time limit, 7-byte input", IOCTL_TOVRIK_SET_TIMEOUT, {1, 0, 0, 0, 0, 0, 0}, 0),
        Refused("write memory, 3-byte input", IOCTL_TOVRIK_WRITE_RAM, {0, 0x30, 0}, 4),
        Refused("write memory, no data", IOCTL_TOVRIK_WRITE_RAM, {0, 0x30}, 0),
        Refused("bulk read, 3-byte input", IOCTL_TOVRIK_BULK_READ, {2, 0, 0}, 512),
        Refused("chunked read, 3-byte input", IOCTL_TOVRIK_CHUNKED_READ, {2, 0, 0}, 512),
        Refused("iso read, 19-byte input", IOCTL_TOVRIK_ISO_READ, Bytes(19, 1), 1036),
        Refused("stream start, 19-byte input", IOCTL_TOVRIK_START_ISO_STREAM, Bytes(19, 1), 0),
        Refused("stream read, packet size 0", IOCTL_TOVRIK_READ_ISO_STREAM,
                Record_(ISO_REQUEST{0, 0, 2, 0, 0}), 24),
        Refused("stream read, one byte short", IOCTL_TOVRIK_READ_ISO_STREAM,
                Record_(ISO_REQUEST{0, 16, 2, 0, 0}), 55),
    };
    // The probe works: a well-formed request does reach the bus.
    std::uint64_t before = BusTransfers();
    ReadMemory(0x3000, 4);
    ASSERT_GT(BusTransfers(), before);

    before = BusTransfers();
    for (const FixedCase& c : cases) {
        SCOPED_TRACE(c.Label);
        Raw r = Call(c.Code, c.Input, c.OutputLength);
        EXPECT_EQ(r.Status, c.Status) << tovrik_status_name(r.Status);
        EXPECT_EQ(r.Information, 0u);
        for (std::size_t i = 0; i < r.Output.size(); ++i)
            ASSERT_EQ(r.Output[i], 0xA5) << "byte " << i;
    }
    EXPECT_EQ(BusTransfers(), before);
    EXPECT_EQ(device_.LastError().value, 0u);
}

TEST_F(SdkHost, TypedCallsDecodeTheCamera) {
    auto pipes = device_.PipeInfo();
    ASSERT_EQ(pipes.status, kSuccess);
    EXPECT_EQ(pipes.information, 24u + 24u * 4u);
    EXPECT_EQ(pipes.length, 24 + 24 * 4);
    ASSERT_EQ(pipes.pipes_decoded, 4u);
    const std::uint8_t endpoints[] = {0x01, 0x81, 0x82, 0x83};
    const std::uint32_t types[] = {TOVRIK_PIPE_BULK, TOVRIK_PIPE_BULK, TOVRIK_PIPE_BULK,
                                   TOVRIK_PIPE_ISOCHRONOUS};
    for (std::uint32_t i = 0; i < 4; ++i) {
        EXPECT_EQ(pipes.pipes[i].endpoint_address, endpoints[i]);
        EXPECT_EQ(pipes.pipes[i].pipe_type, types[i]);
        EXPECT_NE(pipes.pipes[i].pipe_handle, 0u);
    }

    auto descriptor = device_.DeviceDescriptor();
    ASSERT_TRUE(descriptor.valid);
    EXPECT_EQ(descriptor.descriptor.bLength, 18);
    EXPECT_EQ(descriptor.descriptor.idVendor, sim::kOwnVendorId);

    tovrik::BytesResult configuration = device_.ConfigurationDescriptor();
    ASSERT_EQ(configuration.Status, kSuccess);
    ASSERT_GE(configuration.Bytes.size(), 9u);
    EXPECT_EQ(configuration.Bytes[1], 2);
    EXPECT_EQ(configuration.Bytes.size(),
              static_cast<std::size_t>(configuration.Bytes[2] | configuration.Bytes[3] << 8));

    auto languages = device_.StringDescriptor(0, 0);
    ASSERT_EQ(languages.language_id_count, 1u);
    EXPECT_EQ(languages.language_ids[0], TOVRIK_LANGUAGE_ENGLISH_US);
    auto product = device_.StringDescriptor(descriptor.descriptor.iProduct);
    EXPECT_EQ(product.status, kSuccess);
    EXPECT_STREQ(product.utf8, "Tovrik 318QX");
    EXPECT_EQ(product.information, product.raw[0]);

    auto version = device_.DriverVersion();
    EXPECT_EQ(version.version.Major, 1);
    EXPECT_EQ(version.version.Minor, 1);
    EXPECT_EQ(version.version.Build, 0);
}

TEST_F(SdkHost, DeviceMemoryWritesReadBack) {
    const Bytes bytes{0xDE, 0xAD, 0xBE, 0xEF, 0x42};
    EXPECT_EQ(device_.WriteRam(0x3000, bytes).status, kSuccess);
    EXPECT_EQ(ReadMemory(0x3000, 5), bytes);

    // Host to device: Length 3 sends 00 01 02, Length 1 sends DataByte; neither reports bytes.
    VENDOR_DEVICE_REQUEST three{0xA0, 0, 0x3100, 0, 3, 0, 0x77};
    tovrik::BytesResult sent = device_.VendorRequest(three, 0);
    EXPECT_EQ(sent.Status, kSuccess);
    EXPECT_EQ(sent.Information, 0u);
    EXPECT_EQ(ReadMemory(0x3100, 3), (Bytes{0, 1, 2}));
    VENDOR_DEVICE_REQUEST one{0xA0, 0, 0x3100, 0, 1, 0, 0x5C};
    device_.VendorRequest(one, 0);
    EXPECT_EQ(ReadMemory(0x3100, 3), (Bytes{0x5C, 1, 2}));

    // The control code's buffer is read-only to the driver: a device-to-host data stage is
    // refused and the buffer left as it was; host to device it writes.
    CLASS_VENDOR_REQUEST read{1, 2, 0, 0, 0xA0, 0, 0x3000, 3};
    Bytes buffer(8, 0x11);
    auto r = device_.ControlRequest(read, buffer);
    EXPECT_EQ(r.status, kInvalidParameter);
    EXPECT_EQ(buffer, Bytes(8, 0x11));
    CLASS_VENDOR_REQUEST write{0, 2, 0, 0, 0xA0, 0, 0x3000, 3};
    r = device_.ControlRequest(write, buffer);
    EXPECT_EQ(r.status, kSuccess);
    EXPECT_EQ(r.information, 8u);
    EXPECT_EQ(ReadMemory(0x3000, 8), buffer);

    // Download writes whole 512-byte blocks and then the rest as one shorter block: 1000 bytes
    // land at 0 to 999, nothing is dropped.
    Bytes image(1000);
    for (std::size_t i = 0; i < image.size(); ++i)
        image[i] = static_cast<std::uint8_t>(i * 7 + 3);
    EXPECT_EQ(device_.DownloadRam(image).status, kSuccess);
    Bytes back = ReadMemory(0, 500);
    Bytes rest = ReadMemory(500, 500);
    back.insert(back.end(), rest.begin(), rest.end());
    EXPECT_EQ(back, image);
}

TEST_F(SdkHost, LastErrorIsZeroUntilAStallThenItsUsbdStatus) {
    EXPECT_EQ(device_.LastError().value, 0u);
    CLASS_VENDOR_REQUEST unknown{1, 1, 0, 0, 0x55, 0, 0, 0};
    EXPECT_EQ(device_.ControlRequest(unknown, {}).status, kUnsuccessful);
    auto last = device_.LastError();
    EXPECT_EQ(last.status, kSuccess);
    EXPECT_EQ(last.information, 4u);
    EXPECT_EQ(last.value, 0xC0000004u);
    EXPECT_STREQ(tovrik_usbd_status_name(last.value), "USBD_STATUS_STALL_PID");
    // Reading it does not clear it, and success afterwards does not either.
    EXPECT_EQ(device_.NoOperation().status, kSuccess);
    EXPECT_EQ(device_.LastError().value, 0xC0000004u);
}

TEST_F(SdkHost, InterfaceSelectionReshapesThePipeTable) {
    EXPECT_EQ(device_.SetInterface(0, 1).status, kSuccess);
    auto empty = device_.PipeInfo();
    EXPECT_EQ(empty.information, 24u);
    EXPECT_EQ(empty.alternate_setting, 1);
    EXPECT_EQ(empty.number_of_pipes, 0u);
    // With no pipes every pipe index is out of range.
    EXPECT_EQ(device_.ResetPipe(0).status, kInvalidParameter);

    EXPECT_EQ(device_.SetInterface(0, 2).status, kSuccess);
    auto wide = device_.PipeInfo();
    EXPECT_EQ(wide.information, 24u + 24u * 4u);
    EXPECT_EQ(wide.alternate_setting, 2);

    // A setting the camera does not have fails as such, and the table stays as it was.
    auto missing = device_.SetInterface(0, 9);
    EXPECT_LT(missing.status, 0);
    EXPECT_EQ(device_.PipeInfo().alternate_setting, 2);
}

TEST_F(SdkHost, PipePortFeatureAndTimeLimitRequests) {
    EXPECT_EQ(device_.ResetPipe(0).status, kSuccess);
    EXPECT_EQ(device_.ResetPipe(3).status, kSuccess);
    EXPECT_EQ(device_.AbortPipe(2).status, kSuccess);
    EXPECT_EQ(device_.ResetPort().status, kSuccess);
    EXPECT_EQ(device_.SetFeature(1, 0).status, kSuccess);
    EXPECT_EQ(device_.SetTimeout(TOVRIK_TIMEOUT_SELECTOR_BULK, 500).status, kSuccess);
    EXPECT_EQ(device_.SetTimeout(TOVRIK_TIMEOUT_SELECTOR_BULK, -1).status, kSuccess);
    EXPECT_EQ(device_.SetTimeout(TOVRIK_TIMEOUT_SELECTOR_BULK, 3000).status, kSuccess);
    // The camera still answers after all of it.
    EXPECT_EQ(device_.DeviceDescriptor().information, 18u);
}

TEST_F(SdkHost, ChunkedReadDeliversTheFrame) {
    // A chunked read of the image pipe, whole 512-byte packets: the bytes are the camera's first
    // frame.
    Bytes frame(391 * 512);
    auto chunked = device_.ChunkedRead(2, frame);
    ASSERT_EQ(chunked.status, kSuccess) << tovrik_status_name(chunked.status);
    EXPECT_EQ(chunked.information, frame.size());
    Bytes expected(frame.size());
    sim::FillFrameBytes(0, 0, expected);
    EXPECT_EQ(frame, expected);

    // A buffer of 200000 bytes ends inside a packet the camera sends whole: the last piece
    // overflows, and the read fails with the bus's babble as its USB error.
    Bytes ragged(200'000);
    auto overflow = device_.ChunkedRead(2, ragged);
    EXPECT_EQ(overflow.status, kUnsuccessful) << tovrik_status_name(overflow.status);
    EXPECT_EQ(device_.LastError().value, 0xC0000012u);
    EXPECT_STREQ(tovrik_usbd_status_name(device_.LastError().value), "USBD_STATUS_BABBLE_DETECTED");
}

// Isochronous data in the high-speed timing, where the camera's endpoint is serviced each
// microframe as on a real bus (so a URB carries a whole number of frames: 8 packets).
TEST_F(SdkHost, IsochronousCallsSplitTheirOutputs) {
    TearDown();
    Open(TOVRIK_SIM_IDENTITY_OWN, 1, nullptr, TOVRIK_SIM_TIMING_HIGH_SPEED);
    // A one-shot isochronous read: data first, then one descriptor per packet.
    ISO_REQUEST iso{3, 1024, 16, 8, 2};
    tovrik::PacketsResult packets = device_.IsoRead(iso);
    ASSERT_EQ(packets.Status, kSuccess) << tovrik_status_name(packets.Status);
    ASSERT_EQ(packets.Descriptors.size(), 16u);
    std::optional<std::uint32_t> previous;
    for (std::size_t p = 0; p < packets.Descriptors.size(); ++p) {
        EXPECT_EQ(packets.Descriptors[p].Offset, (p % 8) * 1024u);
        if (packets.Descriptors[p].Length < 4)
            continue;
        std::uint32_t sequence = sim::IsoPacketSequence(packets.Packet(p));
        if (previous) {
            EXPECT_GT(sequence, *previous);
        }
        previous = sequence;
    }

    // The stream: started, drained, stopped; each read is split by what it reported.
    ISO_REQUEST stream{3, 1024, 64, 8, 2};
    ASSERT_EQ(device_.StartIsoStream(stream).status, kSuccess);
    std::size_t received = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (received < 16 && std::chrono::steady_clock::now() < deadline) {
        tovrik::PacketsResult read = device_.ReadIsoStream(1024, 16);
        ASSERT_EQ(read.Status, kSuccess);
        EXPECT_EQ(read.Information, read.Descriptors.size() * (1024u + 12u));
        received += read.Descriptors.size();
        if (read.Descriptors.empty())
            std::this_thread::yield();
    }
    EXPECT_GE(received, 16u);
    EXPECT_EQ(device_.StopIsoStream().status, kSuccess);
}

// The unplug that releases the held request comes while the remove waits for it, so the
// departure it reports reaches a device whose stack the remove has taken down by then.
TEST_F(SdkHost, RequestsDuringRemovalAreRefusedWithDeletePending) {
    tovrik::Device probe = system_->OpenCamera(0);
    // A vendor request the camera never answers holds one request inside the driver.
    sim::FaultRule hang;
    hang.What = sim::FaultRule::Kind::NeverAnswer;
    hang.Endpoint = 0x00;
    World().AddFault(0, hang);
    std::atomic<bool> held{false};
    std::thread holder([&] {
        held = true;
        VENDOR_DEVICE_REQUEST read{0xA0, 0, 0x3000, 0, 4, 1, 0};
        device_.VendorRequest(read, 4);
    });
    while (!held || host::IrpsInFlight() == 0)
        std::this_thread::yield();

    // Remove begins and waits for the held request; every new request is turned away.
    PDEVICE_OBJECT pdo = World().Pdo(0);
    std::thread remover([pdo] { host::Pnp::Remove(pdo); });
    std::optional<tovrik_result> refused;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!refused && std::chrono::steady_clock::now() < deadline) {
        tovrik_result r = probe.NoOperation();
        if (r.status == kDeletePending)
            refused = r;
        else
            std::this_thread::yield();
    }
    ASSERT_TRUE(refused.has_value());
    EXPECT_EQ(refused->information, 0u);
    EXPECT_EQ(probe.DriverVersion().status, kDeletePending);
    EXPECT_EQ(probe.PipeInfo().status, kDeletePending);

    // The camera leaves: the held URB ends, the held request leaves the driver, and remove
    // finishes, which it could not if a refused request had kept a count in the gate.
    World().Unplug(0);
    holder.join();
    remover.join();
}

} // namespace
