// Firmware download and device-memory writes.
#include "firmware/firmware.h"
#include "usb/usb.h"

namespace {

#define RAM_PIECE 64
#define RAM_BLOCK 512

// One vendor write to device memory through a URB block the caller owns; the block is cleared
// and refilled for every write.
// Not _Must_inspect_result_: the first of the two CPU control writes goes on whatever happened.
_IRQL_requires_(PASSIVE_LEVEL) NTSTATUS
    VendorWrite(_In_ PDEVICE_OBJECT DeviceObject, _Inout_ PURB Urb, _In_ UCHAR Request,
                _In_ USHORT Address, _In_reads_bytes_(Length) const UCHAR* Data,
                _In_ ULONG Length) {
    PAGED_CODE();
    struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST* request = &Urb->UrbControlVendorClassRequest;

    RtlZeroMemory(request, sizeof(*request));
    request->Hdr.Length = sizeof(*request);
    request->Hdr.Function = URB_FUNCTION_VENDOR_DEVICE;
    request->TransferFlags = 0;
    // Host-to-device: the bus only reads the buffer.
    request->TransferBuffer = (PVOID)Data;
    request->TransferBufferLength = Length;
    request->Request = Request;
    request->Value = Address;
    return SubmitUrb(DeviceObject, Urb);
}

PURB AllocateVendorUrb(void) {
    return AllocateUrb(sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST),
                       URB_FUNCTION_VENDOR_DEVICE);
}

// Writes Length bytes to device memory from Address on, in pieces of PieceSize and whatever is
// left as one shorter piece (no byte is dropped), through one URB block. StopAtFailure ends at
// the first failed piece; otherwise every piece is sent and the first failure is the answer.
_IRQL_requires_(PASSIVE_LEVEL) _Must_inspect_result_ NTSTATUS
    WriteRamInPieces(_In_ PDEVICE_OBJECT DeviceObject, _In_ USHORT Address,
                     _In_reads_bytes_(Length) const UCHAR* Data, _In_ ULONG Length,
                     _In_ ULONG PieceSize, _In_ BOOLEAN StopAtFailure) {
    PAGED_CODE();
    PURB urb = AllocateVendorUrb();
    if (urb == NULL) {
        return STATUS_NO_MEMORY;
    }
    NTSTATUS firstFailure = STATUS_SUCCESS;
    // Counted without (Length + PieceSize - 1), which would wrap for lengths near 4 GiB.
    ULONG pieces = Length / PieceSize + (Length % PieceSize != 0 ? 1 : 0);
    for (ULONG i = 0; i < pieces; i++) {
        ULONG offset = i * PieceSize;
        ULONG length = Length - offset < PieceSize ? Length - offset : PieceSize;
        // The 16-bit device address wraps past 0xFFFF.
        NTSTATUS status = VendorWrite(DeviceObject, urb, FIRMWARE_REQUEST_WRITE_MEMORY,
                                      (USHORT)(Address + offset), Data + offset, length);
        if (!NT_SUCCESS(status) && NT_SUCCESS(firstFailure)) {
            firstFailure = status;
            if (StopAtFailure) {
                break;
            }
        }
    }
    ExFreePool(urb);
    return firstFailure;
}

} // namespace

_Use_decl_annotations_ NTSTATUS LoadFirmwareAtStart(PDEVICE_OBJECT DeviceObject,
                                                    const USB_DEVICE_DESCRIPTOR* DeviceDescriptor) {
    PAGED_CODE();
    // The controller needs time after the configuration before it takes its program; later
    // cameras wait longer. The product is formed in 64 bits, so no slot count can overflow it.
    LONG slots = ReadAcquire(&DeviceSlotsTried);
    LARGE_INTEGER interval;
    interval.QuadPart = -((LONG64)slots + 1) * 15000000;
    KeDelayExecutionThread(KernelMode, FALSE, &interval);

    if (DeviceDescriptor == NULL || (DeviceDescriptor->idVendor == CAMERA_VENDOR_ID &&
                                     DeviceDescriptor->idProduct == CAMERA_PRODUCT_ID)) {
        return STATUS_SUCCESS;
    }
    // The loader first; the camera program second is the one left running. A camera whose
    // download did not complete never runs its program: its start fails rather than leave a
    // device that looks started and does nothing.
    NTSTATUS status = DownloadFirmwareImage(DeviceObject, FirmwareImageA);
    if (NT_SUCCESS(status)) {
        status = DownloadFirmwareImage(DeviceObject, FirmwareImageB);
    }
    return status;
}

_Use_decl_annotations_ NTSTATUS DownloadFirmwareImage(PDEVICE_OBJECT DeviceObject,
                                                      const FIRMWARE_RECORD* Image) {
    PAGED_CODE();
    PURB urb = AllocateVendorUrb();
    if (urb == NULL) {
        return STATUS_NO_MEMORY;
    }
    NTSTATUS status = STATUS_SUCCESS;

    // External memory is written by the program already running, before the CPU is stopped.
    // A failed write ends that pass; the image has then failed, whatever follows.
    for (const FIRMWARE_RECORD* record = Image; record->Type == 0; record++) {
        if (record->Address > FIRMWARE_INTERNAL_MEMORY_LIMIT) {
            status = VendorWrite(DeviceObject, urb, FIRMWARE_REQUEST_WRITE_EXTERNAL,
                                 record->Address, record->Data, record->Length);
            if (!NT_SUCCESS(status)) {
                break;
            }
        }
    }
    NTSTATUS firstFailure = status;

    // Program memory is rewritten only under a CPU known to be held: records written under a
    // running CPU would have it execute half an image.
    NTSTATUS hold = SetCpuReset(DeviceObject, 1);
    if (!NT_SUCCESS(hold) && NT_SUCCESS(status)) {
        status = hold;
    }
    for (const FIRMWARE_RECORD* record = Image; NT_SUCCESS(hold) && record->Type == 0; record++) {
        if (record->Address <= FIRMWARE_INTERNAL_MEMORY_LIMIT) {
            status = VendorWrite(DeviceObject, urb, FIRMWARE_REQUEST_WRITE_MEMORY, record->Address,
                                 record->Data, record->Length);
            if (!NT_SUCCESS(status)) {
                break;
            }
        }
    }
    // Released on every path: a CPU left in reset would leave the camera dead on the bus.
    NTSTATUS release = SetCpuReset(DeviceObject, 0);

    ExFreePool(urb);
    if (!NT_SUCCESS(firstFailure)) {
        return firstFailure;
    }
    return NT_SUCCESS(status) ? release : status;
}

_Use_decl_annotations_ NTSTATUS SetCpuReset(PDEVICE_OBJECT DeviceObject, UCHAR ResetByte) {
    PAGED_CODE();
    PURB urb = AllocateVendorUrb();
    if (urb == NULL) {
        return STATUS_NO_MEMORY;
    }
    UCHAR value = ResetByte;
    VendorWrite(DeviceObject, urb, FIRMWARE_REQUEST_WRITE_MEMORY, CPUCS_ADDRESS_FIRST, &value, 1);
    NTSTATUS status = VendorWrite(DeviceObject, urb, FIRMWARE_REQUEST_WRITE_MEMORY,
                                  CPUCS_ADDRESS_SECOND, &value, 1);
    ExFreePool(urb);
    return status;
}

_Use_decl_annotations_ NTSTATUS WriteDeviceRam(PDEVICE_OBJECT DeviceObject, USHORT Address,
                                               const UCHAR* Data, ULONG Length) {
    PAGED_CODE();
    return WriteRamInPieces(DeviceObject, Address, Data, Length, RAM_PIECE, TRUE);
}

_Use_decl_annotations_ NTSTATUS DownloadRamBlocks(PDEVICE_OBJECT DeviceObject, const UCHAR* Data,
                                                  ULONG Length) {
    PAGED_CODE();
    // Every block goes out even after a failed one; the first failure is the answer.
    return WriteRamInPieces(DeviceObject, 0, Data, Length, RAM_BLOCK, FALSE);
}
