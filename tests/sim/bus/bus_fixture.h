// What the bus tests share: a world with bare ports (no driver above the PDO) and requests sent
// down to the PDO the way a function driver sends them.
#pragma once

#include "host/host_kernel.h"
#include "usbd/usbd.h"
#include "world/world.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <thread>
#include <vector>

namespace bustest {

// Frees an IRP of ours whose completion routine kept it, once IofCompleteRequest has come back
// from that routine on the controller's thread (the event it set can wake us a moment before).
inline void FreeAfterCompletion(PIRP irp) {
    while (host::IrpState(irp) == "completing")
        std::this_thread::yield();
    IoFreeIrp(irp);
}

// A URB in a pool block of its own size, zero-filled, as the driver allocates them.
struct UrbBlock {
    explicit UrbBlock(std::size_t size, USHORT function, USHORT length = 0) : Size(size) {
        Urb = static_cast<PURB>(ExAllocatePool(NonPagedPool, size));
        std::memset(Urb, 0, size);
        Urb->UrbHeader.Length = length != 0 ? length : static_cast<USHORT>(size);
        Urb->UrbHeader.Function = function;
    }
    ~UrbBlock() { ExFreePool(Urb); }
    UrbBlock(const UrbBlock&) = delete;
    UrbBlock& operator=(const UrbBlock&) = delete;
    PURB operator->() const { return Urb; }
    PURB Urb;
    std::size_t Size;
};

// Makes `urb` an ASAP isochronous IN transfer on `pipe` of `packets` packets of `packetBytes`
// bytes each, over `data` (sized for them here).
inline void FillIsoIn(UrbBlock& urb, USBD_PIPE_HANDLE pipe, std::vector<std::uint8_t>& data,
                      ULONG packets, ULONG packetBytes) {
    data.assign(static_cast<std::size_t>(packets) * packetBytes, 0);
    auto& iso = urb->UrbIsochronousTransfer;
    iso.PipeHandle = pipe;
    iso.TransferFlags =
        USBD_TRANSFER_DIRECTION_IN | USBD_START_ISO_TRANSFER_ASAP | USBD_SHORT_TRANSFER_OK;
    iso.TransferBuffer = data.data();
    iso.TransferBufferLength = static_cast<ULONG>(data.size());
    iso.NumberOfPackets = packets;
    for (ULONG i = 0; i < packets; ++i) {
        iso.IsoPacket[i].Offset = i * packetBytes;
        iso.IsoPacket[i].Length = packetBytes;
    }
}

struct Result {
    NTSTATUS Returned = STATUS_PENDING;
    NTSTATUS Status = STATUS_PENDING;
};

// A synchronous internal request, as the driver's SubmitUrb sends it.
inline Result Send(PDEVICE_OBJECT pdo, ULONG code, PVOID argument) {
    KEVENT event;
    IO_STATUS_BLOCK iosb{};
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    PIRP irp =
        IoBuildDeviceIoControlRequest(code, pdo, nullptr, 0, nullptr, 0, TRUE, &event, &iosb);
    IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = argument;
    Result result;
    result.Returned = IofCallDriver(pdo, irp);
    result.Status = result.Returned;
    if (result.Returned == STATUS_PENDING) {
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
        result.Status = iosb.Status;
    }
    return result;
}

inline Result Submit(PDEVICE_OBJECT pdo, PURB urb) {
    return Send(pdo, IOCTL_INTERNAL_USB_SUBMIT_URB, urb);
}

// An asynchronous URB request of our own, which a test can cancel; Done is signalled by its
// completion routine, which keeps the IRP so the test frees it.
struct Pending {
    Pending(PDEVICE_OBJECT pdo, PURB urb) : Pdo(pdo) {
        KeInitializeEvent(&Done, NotificationEvent, FALSE);
        Irp = IoAllocateIrp(pdo->StackSize, FALSE);
        PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(Irp);
        next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
        next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
        next->Parameters.Others.Argument1 = urb;
        IoSetCompletionRoutine(Irp, Completed, this, TRUE, TRUE, TRUE);
    }
    ~Pending() { FreeAfterCompletion(Irp); }
    Pending(const Pending&) = delete;
    Pending& operator=(const Pending&) = delete;

    NTSTATUS Start() { return Returned = IofCallDriver(Pdo, Irp); }
    NTSTATUS Wait() {
        KeWaitForSingleObject(&Done, Executive, KernelMode, FALSE, nullptr);
        return Status;
    }
    bool Finished() { return KeReadStateEvent(&Done) != 0; }

    static NTSTATUS NTAPI Completed(PDEVICE_OBJECT, PIRP irp, PVOID context) {
        auto* self = static_cast<Pending*>(context);
        self->Status = irp->IoStatus.Status;
        self->Irql = KeGetCurrentIrql();
        KeSetEvent(&self->Done, IO_NO_INCREMENT, FALSE);
        return STATUS_MORE_PROCESSING_REQUIRED;
    }

    PDEVICE_OBJECT Pdo;
    PIRP Irp;
    KEVENT Done;
    NTSTATUS Returned = STATUS_PENDING;
    NTSTATUS Status = STATUS_PENDING;
    KIRQL Irql = PASSIVE_LEVEL;
};

// The default test world: one camera, bare, already running its own program (so its default
// descriptors have the four pipes), in high-speed timing on virtual time.
inline sim::WorldOptions BareWorld(bool own = true) {
    sim::WorldOptions options;
    options.Cameras[0].OwnIdentity = own;
    options.VirtualTime = true;
    options.ClockScale = 1000;
    options.Cameras[0].FrameWidth = 64;
    options.Cameras[0].FrameHeight = 16;
    return options;
}

class BusTest : public ::testing::Test {
  protected:
    // The host kernel's test glue brackets every test and checks what it left; the world goes
    // first so its PDOs and requests are gone by then.
    void TearDown() override {
        World.reset();
        sim::ResetUsbdiVersion();
    }

    void Build(sim::WorldOptions options = BareWorld()) {
        World = std::make_unique<sim::World>(options);
    }
    PDEVICE_OBJECT Pdo() { return World->Pdo(0); }

    // Reads the configuration set and selects the first interface, as the driver does at
    // start; returns the interface information (a copy) and keeps the configuration handle.
    std::vector<std::uint8_t> ReadConfiguration() {
        std::vector<std::uint8_t> set(512);
        UrbBlock urb(sizeof(_URB_CONTROL_DESCRIPTOR_REQUEST),
                     URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE);
        urb->UrbControlDescriptorRequest.DescriptorType = USB_CONFIGURATION_DESCRIPTOR_TYPE;
        urb->UrbControlDescriptorRequest.TransferBuffer = set.data();
        urb->UrbControlDescriptorRequest.TransferBufferLength = static_cast<ULONG>(set.size());
        EXPECT_EQ(Submit(Pdo(), urb.Urb).Status, STATUS_SUCCESS);
        set.resize(urb->UrbControlDescriptorRequest.TransferBufferLength);
        return set;
    }

    USBD_INTERFACE_INFORMATION* SelectFirstInterface(std::vector<std::uint8_t>& set,
                                                     ULONG maximumTransfer = 0x10000) {
        auto* configuration = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(set.data());
        PUSB_INTERFACE_DESCRIPTOR interface =
            USBD_ParseConfigurationDescriptorEx(configuration, configuration, -1, -1, -1, -1, -1);
        USBD_INTERFACE_LIST_ENTRY list[2] = {{interface, nullptr}, {nullptr, nullptr}};
        PURB urb = USBD_CreateConfigurationRequestEx(configuration, list);
        for (ULONG i = 0; i < list[0].Interface->NumberOfPipes; ++i)
            list[0].Interface->Pipes[i].MaximumTransferSize = maximumTransfer;
        EXPECT_EQ(Submit(Pdo(), urb).Status, STATUS_SUCCESS);
        ConfigurationHandle = urb->UrbSelectConfiguration.ConfigurationHandle;
        Interface.assign(reinterpret_cast<std::uint8_t*>(list[0].Interface),
                         reinterpret_cast<std::uint8_t*>(list[0].Interface) +
                             list[0].Interface->Length);
        ExFreePool(urb);
        return Info();
    }

    USBD_INTERFACE_INFORMATION* Info() {
        return reinterpret_cast<USBD_INTERFACE_INFORMATION*>(Interface.data());
    }
    USBD_PIPE_INFORMATION& PipeAt(ULONG endpointAddress) {
        for (ULONG i = 0; i < Info()->NumberOfPipes; ++i)
            if (Info()->Pipes[i].EndpointAddress == endpointAddress)
                return Info()->Pipes[i];
        ADD_FAILURE() << "no pipe for endpoint " << endpointAddress;
        return Info()->Pipes[0];
    }

    void Configure() {
        auto set = ReadConfiguration();
        SelectFirstInterface(set);
    }

    std::unique_ptr<sim::World> World;
    USBD_CONFIGURATION_HANDLE ConfigurationHandle = nullptr;
    std::vector<std::uint8_t> Interface;
};

// A bulk or interrupt URB on a pipe.
inline void FillBulk(UrbBlock& urb, const USBD_PIPE_INFORMATION& pipe, void* buffer, ULONG length,
                     bool shortOk = true) {
    auto& bulk = urb->UrbBulkOrInterruptTransfer;
    bulk.PipeHandle = pipe.PipeHandle;
    bulk.TransferFlags =
        (USB_ENDPOINT_DIRECTION_IN(pipe.EndpointAddress) ? USBD_TRANSFER_DIRECTION_IN : 0) |
        (shortOk ? USBD_SHORT_TRANSFER_OK : 0);
    bulk.TransferBuffer = buffer;
    bulk.TransferBufferLength = length;
}

// The camera's command pipe: bulk OUT, endpoint 1.
constexpr ULONG kCommandOut = 0x01;

// The camera's 64-byte command packet (first byte `command`, the rest 0) in a bulk URB on the
// command pipe (PipeAt(kCommandOut)), ready to submit.
struct CommandUrb {
    CommandUrb(const USBD_PIPE_INFORMATION& commandPipe, std::uint8_t command)
        : Packet(64, 0),
          Block(sizeof(_URB_BULK_OR_INTERRUPT_TRANSFER), URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER) {
        Packet[0] = command;
        FillBulk(Block, commandPipe, Packet.data(), 64);
    }
    PURB Urb() const { return Block.Urb; }
    std::vector<std::uint8_t> Packet;
    UrbBlock Block;
};

} // namespace bustest
