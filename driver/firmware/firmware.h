// Firmware loading: the start-time download of the two images, the CPU reset of the camera's
// controller, and the device-memory writes user software asks for. Every write is a vendor
// control request sent and waited for with SubmitUrb, so all of this runs at PASSIVE_LEVEL and
// each public routine starts with PAGED_CODE().
#pragma once

#include "frame/frame.h"
#include "firmware/firmware_images.h"

// A camera that reports exactly this identity runs its own program: it gets no download.
#define CAMERA_VENDOR_ID 0x5A17
#define CAMERA_PRODUCT_ID 0x0E15

// The controller's memory-write request and its external-memory variant, and the two addresses
// of the CPU control register (two generations of the chip); bit 0 holds the CPU in reset.
#define FIRMWARE_REQUEST_WRITE_MEMORY 0xA0
#define FIRMWARE_REQUEST_WRITE_EXTERNAL 0xA3
#define FIRMWARE_INTERNAL_MEMORY_LIMIT 0x1B3F
#define CPUCS_ADDRESS_FIRST 0x7F92
#define CPUCS_ADDRESS_SECOND 0xE600

// The last step of the start-time configuration: waits (DeviceSlotsTried + 1) × 1.5 s and, when
// a device descriptor was read and it does not carry the camera's own identity, downloads both
// images. Without a descriptor nothing identifies the camera, so nothing is downloaded. Returns
// the failure of the first image that did not download (the second is then not tried), else
// STATUS_SUCCESS.
_IRQL_requires_max_(PASSIVE_LEVEL) _Must_inspect_result_ NTSTATUS
    LoadFirmwareAtStart(_In_ PDEVICE_OBJECT DeviceObject,
                        _In_opt_ const USB_DEVICE_DESCRIPTOR* DeviceDescriptor);

// Writes one image: records above the internal-memory limit first (request 0xA3, while the
// current program runs), then the CPU is held in reset, the internal records follow (0xA0), and
// the reset is released on every path. Each pass stops at its first failed write. Returns the
// first failure of the two passes, else the status of the release (the CPU must run again).
_IRQL_requires_max_(PASSIVE_LEVEL) _Must_inspect_result_ NTSTATUS
    DownloadFirmwareImage(_In_ PDEVICE_OBJECT DeviceObject, _In_ const FIRMWARE_RECORD* Image);

// Writes the reset byte (1 hold, 0 run) to both CPU control register addresses, in order;
// returns the status of the second write.
_IRQL_requires_max_(PASSIVE_LEVEL) _Must_inspect_result_ NTSTATUS
    SetCpuReset(_In_ PDEVICE_OBJECT DeviceObject, _In_ UCHAR ResetByte);

// Writes Length bytes upward from Address in pieces of 64, the address wrapping at 64 KiB; stops
// at the first failed piece and returns the status of the last piece written (success for 0 bytes).
_IRQL_requires_max_(PASSIVE_LEVEL) _Must_inspect_result_ NTSTATUS
    WriteDeviceRam(_In_ PDEVICE_OBJECT DeviceObject, _In_ USHORT Address,
                   _In_reads_bytes_(Length) const UCHAR* Data, _In_ ULONG Length);

// Writes Length bytes from device address 0 in blocks of 512 (the address wrapping at 64 KiB), the
// remainder as one final shorter block. Every block is attempted; returns the first failure, or
// STATUS_SUCCESS.
// Data may be NULL when Length is 0 (a request with no input carries no buffer).
_IRQL_requires_max_(PASSIVE_LEVEL) _Must_inspect_result_ NTSTATUS
    DownloadRamBlocks(_In_ PDEVICE_OBJECT DeviceObject,
                      _In_reads_bytes_opt_(Length) const UCHAR* Data, _In_ ULONG Length);
