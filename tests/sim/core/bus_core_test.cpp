// The bus core at its seam, driven the way a front end drives it: a transport that counts its
// memory and records captures, URBs built in plain memory, the schedule stepped by hand. No host
// kernel below, no thread: what the core promises a kernel-mode front end, it must keep here.

#include "core/core.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

namespace {

using sim::core::BusCore;
using sim::core::SubmitOutcome;
using sim::core::Transfer;
using sim::core::TransferList;
using Action = SubmitOutcome::Action;

constexpr std::uint8_t kCommandOut = 0x01, kImageIn = 0x82, kStreamIn = 0x83;

struct CountingTransport final : sim::core::Transport {
    void* AllocateTransfer(std::size_t bytes) override {
        if (FailAllocations)
            return nullptr;
        ++Live;
        return std::malloc(bytes);
    }
    void FreeTransfer(void* block) override {
        --Live;
        std::free(block);
    }
    std::uint64_t Microframe() override { return Frame; }
    void RenumerationDue(sim::core::Port&) override { ++Renumerations; }
    bool Capturing() override { return true; }
    void Capture(const sim::usbpcap::CaptureEvent& event) override {
        Events.push_back({event.Kind, event.Urb.IrpId});
    }

    struct Seen {
        sim::usbpcap::EventKind Kind;
        std::uint64_t Irp;
    };
    int Live = 0;
    bool FailAllocations = false;
    std::uint64_t Frame = 0;
    int Renumerations = 0;
    std::vector<Seen> Events;
};

// A URB in memory of its own, zero-filled.
struct Urb {
    Urb(std::size_t size, USHORT function) : Bytes(size) {
        Get()->UrbHeader.Length = static_cast<USHORT>(size);
        Get()->UrbHeader.Function = function;
    }
    PURB Get() { return reinterpret_cast<PURB>(Bytes.data()); }
    PURB operator->() { return Get(); }
    alignas(8) std::vector<std::uint8_t> Bytes;
};

class BusCoreTest : public ::testing::Test {
  protected:
    BusCoreTest()
        : Storage(std::make_unique<sim::CameraStorage>()), Memory(std::make_unique<Slots>()),
          Core(Transport, {}, Memory->View()) {
        sim::CameraConfig config;
        config.PowerOn = sim::PowerOnState::CameraRunning;
        config.FrameWidth = 256;
        config.FrameHeight = 16;
        Camera = std::make_unique<sim::Camera>(*Storage, config);
        Port = std::make_unique<sim::core::Port>(*Camera);
        EXPECT_TRUE(Core.Connect(Device, *Port, 7));
    }
    ~BusCoreTest() override { EXPECT_EQ(Transport.Live, 0) << "a transfer record was never freed"; }

    // Runs microframes until nothing is queued; finishes what ends, in order.
    std::vector<NTSTATUS> RunDry() {
        std::vector<NTSTATUS> statuses;
        for (int i = 0; i < 100000 && Core.Sched().HasQueuedTransfers(); ++i) {
            TransferList finished;
            Core.Step(finished);
            while (sim::core::ScheduledTransfer* item = finished.PopFront())
                statuses.push_back(Core.Finish(*Transfer::From(item)));
        }
        return statuses;
    }

    // Submits and, when the core prepared a transfer, queues it for the next microframe.
    SubmitOutcome Submit(PURB urb, void* irp = nullptr) {
        SubmitOutcome outcome = Core.Submit(Device, urb, irp != nullptr ? irp : urb);
        if (outcome.What == Action::Queue)
            Core.Queue(*outcome.Pending, Core.Sched().Now());
        return outcome;
    }
    NTSTATUS SubmitAndRun(PURB urb) {
        const SubmitOutcome outcome = Submit(urb);
        if (outcome.What == Action::Complete)
            return outcome.Status;
        const std::vector<NTSTATUS> statuses = RunDry();
        return statuses.empty() ? STATUS_PENDING : statuses.back();
    }

    // Selects alternate setting 0 of the camera's interface: the four pipes.
    void Configure(std::uint32_t maximumTransfer = 0x10000) {
        const auto set = Camera->ConfigurationDescriptor();
        Configuration.assign(set.begin(), set.end());
        Urb urb(FIELD_OFFSET(_URB_SELECT_CONFIGURATION, Interface) + GET_USBD_INTERFACE_SIZE(4),
                URB_FUNCTION_SELECT_CONFIGURATION);
        urb->UrbSelectConfiguration.ConfigurationDescriptor =
            reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(Configuration.data());
        auto& info = urb->UrbSelectConfiguration.Interface;
        info.Length = static_cast<USHORT>(GET_USBD_INTERFACE_SIZE(4));
        for (int i = 0; i < 4; ++i)
            info.Pipes[i].MaximumTransferSize = maximumTransfer;
        const SubmitOutcome outcome = Submit(urb.Get());
        ASSERT_EQ(outcome.Status, STATUS_SUCCESS);
        ConfigurationHandle = urb->UrbSelectConfiguration.ConfigurationHandle;
        for (int i = 0; i < 4; ++i)
            Pipes[i] = info.Pipes[i];
    }
    const USBD_PIPE_INFORMATION& PipeAt(std::uint8_t address) const {
        for (const auto& pipe : Pipes)
            if (pipe.EndpointAddress == address)
                return pipe;
        return Pipes[0];
    }
    Urb Bulk(std::uint8_t address, void* buffer, ULONG length) {
        Urb urb(sizeof(_URB_BULK_OR_INTERRUPT_TRANSFER), URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER);
        auto& bulk = urb->UrbBulkOrInterruptTransfer;
        bulk.PipeHandle = PipeAt(address).PipeHandle;
        bulk.TransferFlags =
            USBD_SHORT_TRANSFER_OK | ((address & 0x80) != 0 ? USBD_TRANSFER_DIRECTION_IN : 0);
        bulk.TransferBuffer = buffer;
        bulk.TransferBufferLength = length;
        return urb;
    }
    void StartFrame() {
        std::vector<std::uint8_t> command(64, 0);
        command[0] = sim::kCommandStartFrame;
        Urb start = Bulk(kCommandOut, command.data(), 64);
        ASSERT_EQ(SubmitAndRun(start.Get()), STATUS_SUCCESS);
    }

    using Slots = sim::core::ScheduleStorage<8>;
    CountingTransport Transport;
    std::unique_ptr<sim::CameraStorage> Storage;
    std::unique_ptr<sim::Camera> Camera;
    std::unique_ptr<sim::core::Port> Port;
    std::unique_ptr<Slots> Memory;
    BusCore Core;
    sim::core::Connection Device;
    std::vector<std::uint8_t> Configuration;
    USBD_CONFIGURATION_HANDLE ConfigurationHandle = nullptr;
    USBD_PIPE_INFORMATION Pipes[4]{};
};

TEST_F(BusCoreTest, ATransferFromSubmitToFinish) {
    Configure();
    StartFrame();
    Transport.Events.clear();
    std::vector<std::uint8_t> data(2048), expected(2048);
    Urb read = Bulk(kImageIn, data.data(), 2048);
    const SubmitOutcome outcome = Submit(read.Get());
    ASSERT_EQ(outcome.What, Action::Queue) << "a transfer waits for the bus";
    EXPECT_EQ(read->UrbHeader.Status, USBD_STATUS_PENDING);
    EXPECT_EQ(Transport.Live, 1);
    EXPECT_EQ(RunDry(), std::vector<NTSTATUS>{STATUS_SUCCESS});
    EXPECT_EQ(read->UrbHeader.Status, USBD_STATUS_SUCCESS);
    EXPECT_EQ(read->UrbBulkOrInterruptTransfer.TransferBufferLength, 2048u);
    sim::FillFrameBytes(0, 0, expected);
    EXPECT_EQ(data, expected);
    ASSERT_EQ(Transport.Events.size(), 2u);
    EXPECT_EQ(Transport.Events[0].Kind, sim::usbpcap::EventKind::BulkSubmit);
    EXPECT_EQ(Transport.Events[1].Kind, sim::usbpcap::EventKind::BulkComplete);
    EXPECT_EQ(Transport.Events[1].Irp, reinterpret_cast<std::uintptr_t>(read.Get()));
}

TEST_F(BusCoreTest, NoMemoryForATransferIsARefusalThatKeepsNothing) {
    Configure();
    Transport.FailAllocations = true;
    std::vector<std::uint8_t> data(512);
    Urb read = Bulk(kImageIn, data.data(), 512);
    const SubmitOutcome outcome = Submit(read.Get());
    EXPECT_EQ(outcome.What, Action::Complete);
    EXPECT_EQ(outcome.Status, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(read->UrbHeader.Status, USBD_STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_FALSE(Core.Sched().HasQueuedTransfers());
}

TEST_F(BusCoreTest, TransfersTheCoreEndsComeBackWithTheirStatus) {
    Configure();
    // No frame started: the image endpoint NAKs, so reads stay queued.
    std::vector<std::uint8_t> data(3 * 512);
    std::vector<std::unique_ptr<Urb>> reads;
    std::vector<Transfer*> pending;
    for (int i = 0; i < 3; ++i) {
        reads.push_back(std::make_unique<Urb>(Bulk(kImageIn, data.data() + 512 * i, 512)));
        pending.push_back(Submit(reads.back()->Get()).Pending);
    }
    TransferList none;
    Core.Step(none);
    EXPECT_TRUE(none.Empty());

    // A cancel routine takes one out: it ends cancelled.
    Core.Cancel(*pending[1]);
    EXPECT_EQ(Core.Finish(*pending[1]), STATUS_CANCELLED);

    // Abort-pipe hands back the rest, in queue order, to be ended before the abort completes.
    Urb abort(sizeof(_URB_PIPE_REQUEST), URB_FUNCTION_ABORT_PIPE);
    abort->UrbPipeRequest.PipeHandle = PipeAt(kImageIn).PipeHandle;
    SubmitOutcome outcome = Submit(abort.Get());
    ASSERT_EQ(outcome.Status, STATUS_SUCCESS);
    ASSERT_EQ(outcome.Ended.Size(), 2u);
    EXPECT_EQ(Transfer::From(outcome.Ended.Front()), pending[0]);
    while (sim::core::ScheduledTransfer* item = outcome.Ended.PopFront())
        EXPECT_EQ(Core.Finish(*Transfer::From(item)), STATUS_CANCELLED);
    EXPECT_EQ(reads[2]->Get()->UrbHeader.Status, USBD_STATUS_CANCELED);

    // The device leaves: what is queued ends as gone, and later URBs are refused so.
    Urb last = Bulk(kImageIn, data.data(), 512);
    Submit(last.Get());
    TransferList ended;
    Core.Disconnect(Device, ended);
    ASSERT_EQ(ended.Size(), 1u);
    EXPECT_EQ(Core.Finish(*Transfer::From(ended.PopFront())), STATUS_DEVICE_NOT_CONNECTED);
    Urb after = Bulk(kImageIn, data.data(), 512);
    EXPECT_EQ(Submit(after.Get()).Status, STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(after->UrbHeader.Status, USBD_STATUS_DEVICE_GONE);
}

TEST_F(BusCoreTest, HandlesAreNeverReused) {
    Configure();
    const USBD_PIPE_HANDLE first = PipeAt(kImageIn).PipeHandle;
    Configure();
    EXPECT_NE(PipeAt(kImageIn).PipeHandle, first) << "a new configuration, new handles";
    std::vector<std::uint8_t> data(512);
    Urb stale = Bulk(kImageIn, data.data(), 512);
    stale->UrbBulkOrInterruptTransfer.PipeHandle = first;
    EXPECT_EQ(Submit(stale.Get()).Status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(stale->UrbHeader.Status, USBD_STATUS_INVALID_PIPE_HANDLE);

    // The same camera back on the bus is a new device: the old handles mean nothing to it.
    const USBD_PIPE_HANDLE before = PipeAt(kImageIn).PipeHandle;
    TransferList ended;
    Core.Disconnect(Device, ended);
    sim::core::Connection again;
    ASSERT_TRUE(Core.Connect(again, *Port, 8));
    Urb old = Bulk(kImageIn, data.data(), 512);
    old->UrbBulkOrInterruptTransfer.PipeHandle = before;
    EXPECT_EQ(Core.Submit(again, old.Get(), old.Get()).Status, STATUS_INVALID_PARAMETER);
    TransferList gone;
    Core.Disconnect(again, gone);
}

TEST_F(BusCoreTest, AConfigurationTheScheduleHasNoRoomForIsRefusedAndTheOldOneStays) {
    Configure();
    // Eight endpoint slots: the first device's default pipe and four pipes, then two more
    // devices' default pipes leave one free. Its own four pipes close before the new ones
    // open, so the first device can configure again; the second, with none open, cannot.
    sim::core::Port other(*Camera);
    sim::core::Connection second, third;
    ASSERT_TRUE(Core.Connect(second, other, 9));
    ASSERT_TRUE(Core.Connect(third, other, 10));
    Configure();
    const USBD_PIPE_HANDLE kept = PipeAt(kImageIn).PipeHandle;
    Urb urb(FIELD_OFFSET(_URB_SELECT_CONFIGURATION, Interface) + GET_USBD_INTERFACE_SIZE(4),
            URB_FUNCTION_SELECT_CONFIGURATION);
    urb->UrbSelectConfiguration.ConfigurationDescriptor =
        reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(Configuration.data());
    urb->UrbSelectConfiguration.Interface.Length = static_cast<USHORT>(GET_USBD_INTERFACE_SIZE(4));
    ASSERT_EQ(Core.Submit(second, urb.Get(), urb.Get()).Status, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(urb->UrbHeader.Status, USBD_STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_FALSE(second.Configured());
    std::vector<std::uint8_t> data(64, 0);
    Urb command = Bulk(kCommandOut, data.data(), 64);
    EXPECT_EQ(SubmitAndRun(command.Get()), STATUS_SUCCESS) << "the first device is untouched";
    EXPECT_EQ(PipeAt(kImageIn).PipeHandle, kept);
    TransferList ended;
    Core.Disconnect(second, ended);
    Core.Disconnect(third, ended);
    EXPECT_TRUE(ended.Empty());
}

TEST_F(BusCoreTest, LostIsochronousPacketsStillUseTheCamerasSequenceNumbers) {
    // Alternate setting 2: 3 x 1024 bytes per microframe.
    Configure();
    Urb select(sizeof(_URB_SELECT_INTERFACE) + 3 * sizeof(USBD_PIPE_INFORMATION),
               URB_FUNCTION_SELECT_INTERFACE);
    select->UrbSelectInterface.ConfigurationHandle = ConfigurationHandle;
    select->UrbSelectInterface.Interface.Length = static_cast<USHORT>(GET_USBD_INTERFACE_SIZE(4));
    select->UrbSelectInterface.Interface.AlternateSetting = 2;
    ASSERT_EQ(Submit(select.Get()).Status, STATUS_SUCCESS);
    const USBD_PIPE_HANDLE stream = select->UrbSelectInterface.Interface.Pipes[3].PipeHandle;

    constexpr ULONG kPackets = 8, kRoom = 3 * 1024;
    std::vector<std::uint8_t> data(kPackets * kRoom);
    Urb iso(GET_ISO_URB_SIZE(kPackets), URB_FUNCTION_ISOCH_TRANSFER);
    const auto fill = [&] {
        auto& request = iso->UrbIsochronousTransfer;
        request.PipeHandle = stream;
        request.TransferFlags = USBD_TRANSFER_DIRECTION_IN | USBD_START_ISO_TRANSFER_ASAP;
        request.TransferBuffer = data.data();
        request.TransferBufferLength = static_cast<ULONG>(data.size());
        request.NumberOfPackets = kPackets;
        for (ULONG i = 0; i < kPackets; ++i)
            request.IsoPacket[i].Offset = i * kRoom;
    };
    fill();
    ASSERT_EQ(SubmitAndRun(iso.Get()), STATUS_SUCCESS);
    const auto sequence = [&](ULONG packet) {
        return sim::IsoPacketSequence(std::span(data).subspan(packet * kRoom, 4));
    };
    EXPECT_EQ(sequence(kPackets - 1), kPackets - 1);

    // Three microframes with nothing queued: three packets the camera sent and nobody took.
    TransferList finished;
    for (int i = 0; i < 3; ++i)
        Core.Step(finished);
    fill();
    ASSERT_EQ(SubmitAndRun(iso.Get()), STATUS_SUCCESS);
    EXPECT_EQ(sequence(0), kPackets + 3) << "the gap in the numbers is the loss";
    EXPECT_EQ(Core.Counters(Device, kStreamIn).LostIsoPackets, 3u);
    EXPECT_EQ(iso->UrbIsochronousTransfer.ErrorCount, 0u);
}

// The device sends whole packets: with less than a packet of room left, what fits is kept, the
// transfer fails as a babble and reports the bytes it took; the rest of that packet is gone, so
// the next read starts at the device's next packet. Served by the schedule and by RunNow alike.
TEST_F(BusCoreTest, APacketBiggerThanTheRoomLeftIsABabbleThatKeepsWhatFits) {
    Configure();
    std::vector<std::uint8_t> frame(4 * 512);
    for (const bool now : {false, true}) {
        SCOPED_TRACE(now ? "RunNow" : "schedule");
        StartFrame();
        sim::FillFrameBytes(now ? 1 : 0, 0, frame);
        std::vector<std::uint8_t> data(600, 0xEE);
        Urb across = Bulk(kImageIn, data.data(), 600);
        NTSTATUS status = STATUS_PENDING;
        if (now) {
            const SubmitOutcome outcome = Core.Submit(Device, across.Get(), across.Get());
            ASSERT_EQ(outcome.What, Action::Queue);
            ASSERT_TRUE(Core.RunNow(*outcome.Pending));
            status = Core.Finish(*outcome.Pending);
        } else {
            status = SubmitAndRun(across.Get());
        }
        EXPECT_EQ(status, STATUS_UNSUCCESSFUL);
        EXPECT_EQ(across->UrbHeader.Status, USBD_STATUS_BABBLE_DETECTED);
        EXPECT_EQ(across->UrbBulkOrInterruptTransfer.TransferBufferLength, 600u);
        EXPECT_TRUE(std::equal(data.begin(), data.end(), frame.begin()));

        std::vector<std::uint8_t> next(512);
        Urb after = Bulk(kImageIn, next.data(), 512);
        EXPECT_EQ(SubmitAndRun(after.Get()), STATUS_SUCCESS);
        EXPECT_TRUE(std::equal(next.begin(), next.end(), frame.begin() + 1024))
            << "the overflowed packet's last 424 bytes are lost, not served again";
    }

    // The status endpoint's packet is 64 bytes: a 64-byte buffer takes it whole, 63 bytes do not.
    std::vector<std::uint8_t> status(64);
    Urb whole = Bulk(0x81, status.data(), 64);
    EXPECT_EQ(SubmitAndRun(whole.Get()), STATUS_SUCCESS);
    EXPECT_EQ(whole->UrbBulkOrInterruptTransfer.TransferBufferLength, 64u);
    EXPECT_EQ(status[sim::StatusPacketLayout::FramesStarted], 2);
    Urb shorter = Bulk(0x81, status.data(), 63);
    EXPECT_EQ(SubmitAndRun(shorter.Get()), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(shorter->UrbHeader.Status, USBD_STATUS_BABBLE_DETECTED);
    EXPECT_EQ(shorter->UrbBulkOrInterruptTransfer.TransferBufferLength, 63u);
}

// A zero-length read is one IN token: a data packet is a babble with nothing kept, and the
// zero-length packet that ends a frame of whole packets ends it with success.
TEST_F(BusCoreTest, AZeroLengthReadEndsWithTheDevicesNextPacket) {
    Configure();
    // The frame is 8192 bytes, 16 whole packets.
    StartFrame();
    Urb first = Bulk(kImageIn, nullptr, 0);
    EXPECT_EQ(SubmitAndRun(first.Get()), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(first->UrbHeader.Status, USBD_STATUS_BABBLE_DETECTED);
    EXPECT_EQ(first->UrbBulkOrInterruptTransfer.TransferBufferLength, 0u);
    std::vector<std::uint8_t> rest(15 * 512);
    Urb read = Bulk(kImageIn, rest.data(), static_cast<ULONG>(rest.size()));
    EXPECT_EQ(SubmitAndRun(read.Get()), STATUS_SUCCESS);
    EXPECT_EQ(read->UrbBulkOrInterruptTransfer.TransferBufferLength, 15u * 512);
    EXPECT_TRUE(Camera->Frame().Active) << "its zero-length end packet is still to go";
    Urb end = Bulk(kImageIn, nullptr, 0);
    EXPECT_EQ(SubmitAndRun(end.Get()), STATUS_SUCCESS);
    EXPECT_EQ(end->UrbHeader.Status, USBD_STATUS_SUCCESS);
    EXPECT_FALSE(Camera->Frame().Active);
}

// An isochronous packet whose place is smaller than the device's service fails alone, with
// Length 0 and the buffer untouched; a place as big as the service in the same URB is served.
TEST_F(BusCoreTest, AnIsochronousPacketWithoutRoomForTheServiceOverrunsAlone) {
    Configure();
    const USBD_PIPE_HANDLE stream = PipeAt(kStreamIn).PipeHandle;
    constexpr ULONG kPackets = 8;
    // Packet 3 has 1000 bytes of room; the others 1024, the endpoint's service.
    std::vector<ULONG> offsets;
    ULONG at = 0;
    for (ULONG i = 0; i < kPackets; ++i) {
        offsets.push_back(at);
        at += i == 3 ? 1000 : 1024;
    }
    std::vector<std::uint8_t> data(at, 0xEE);
    Urb iso(GET_ISO_URB_SIZE(kPackets), URB_FUNCTION_ISOCH_TRANSFER);
    auto& request = iso->UrbIsochronousTransfer;
    request.PipeHandle = stream;
    request.TransferFlags = USBD_TRANSFER_DIRECTION_IN | USBD_START_ISO_TRANSFER_ASAP;
    request.TransferBuffer = data.data();
    request.TransferBufferLength = at;
    request.NumberOfPackets = kPackets;
    for (ULONG i = 0; i < kPackets; ++i)
        request.IsoPacket[i].Offset = offsets[i];
    EXPECT_EQ(SubmitAndRun(iso.Get()), STATUS_SUCCESS);
    EXPECT_EQ(request.ErrorCount, 1u);
    for (ULONG i = 0; i < kPackets; ++i) {
        SCOPED_TRACE(i);
        if (i == 3) {
            EXPECT_EQ(request.IsoPacket[i].Status, USBD_STATUS_BABBLE_DETECTED);
            EXPECT_EQ(request.IsoPacket[i].Length, 0u);
            EXPECT_EQ(data[offsets[i]], 0xEE) << "nothing of the packet is kept";
        } else {
            EXPECT_EQ(request.IsoPacket[i].Status, USBD_STATUS_SUCCESS);
            EXPECT_EQ(request.IsoPacket[i].Length, 1024u);
            EXPECT_EQ(sim::IsoPacketSequence(std::span(data).subspan(offsets[i], 4)), i)
                << "the overrun packet still used its sequence number";
        }
    }
    EXPECT_EQ(request.TransferBufferLength, 7u * 1024);
}

// A PDO succeeds the state changes it agrees to and hands every other request back with the
// status its sender set: succeeding one it does not serve (removal is each bus's own, relations
// and interfaces are not a camera's) would tell the PnP manager something false.
TEST(PdoAnswers, OnlyWhatItAgreesToSucceeds) {
    EXPECT_TRUE(sim::core::PdoAgreesTo(IRP_MN_START_DEVICE));
    EXPECT_TRUE(sim::core::PdoAgreesTo(IRP_MN_QUERY_REMOVE_DEVICE));
    EXPECT_TRUE(sim::core::PdoAgreesTo(IRP_MN_SURPRISE_REMOVAL));
    const UCHAR others[] = {IRP_MN_REMOVE_DEVICE, IRP_MN_QUERY_DEVICE_RELATIONS,
                            IRP_MN_QUERY_INTERFACE, IRP_MN_QUERY_CAPABILITIES, 0xFF};
    for (const UCHAR minor : others)
        EXPECT_FALSE(sim::core::PdoAgreesTo(minor)) << int{minor};

    const NTSTATUS untouched = STATUS_NOT_SUPPORTED;
    EXPECT_EQ(sim::core::PdoPowerStatus(IRP_MN_SET_POWER, untouched), STATUS_SUCCESS);
    EXPECT_EQ(sim::core::PdoPowerStatus(IRP_MN_QUERY_POWER, untouched), STATUS_SUCCESS);
    EXPECT_EQ(sim::core::PdoPowerStatus(IRP_MN_WAIT_WAKE, untouched), untouched)
        << "a camera that cannot wake the system must not accept a wait-wake";
    EXPECT_EQ(sim::core::PdoPowerStatus(IRP_MN_POWER_SEQUENCE, untouched), untouched);
}

TEST(UrbTable, VendorAndClassFunctionsNameTheirRequestType) {
    struct Case {
        USHORT Function;
        std::uint8_t In, Out;
    } cases[] = {
        {URB_FUNCTION_VENDOR_DEVICE, 0xC0, 0x40},   {URB_FUNCTION_VENDOR_INTERFACE, 0xC1, 0x41},
        {URB_FUNCTION_VENDOR_ENDPOINT, 0xC2, 0x42}, {URB_FUNCTION_VENDOR_OTHER, 0xC3, 0x43},
        {URB_FUNCTION_CLASS_DEVICE, 0xA0, 0x20},    {URB_FUNCTION_CLASS_INTERFACE, 0xA1, 0x21},
        {URB_FUNCTION_CLASS_ENDPOINT, 0xA2, 0x22},  {URB_FUNCTION_CLASS_OTHER, 0xA3, 0x23},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Function);
        const sim::core::UrbFunction* entry = sim::core::FindUrbFunction(c.Function);
        ASSERT_NE(entry, nullptr);
        EXPECT_TRUE(sim::core::IsVendorOrClass(c.Function));
        EXPECT_TRUE(sim::core::CarriesTransferDirection(c.Function));
        EXPECT_EQ(sim::core::VendorOrClassRequestType(*entry, true, 0), c.In);
        EXPECT_EQ(sim::core::VendorOrClassRequestType(*entry, false, 0), c.Out);
    }
    EXPECT_FALSE(sim::core::IsVendorOrClass(URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER));
    EXPECT_TRUE(sim::core::CarriesTransferDirection(URB_FUNCTION_CONTROL_TRANSFER));
    EXPECT_EQ(sim::core::FindUrbFunction(URB_FUNCTION_CONTROL_TRANSFER), nullptr)
        << "the bus does not serve what the driver never sends";
}

} // namespace
