// The small USB operations user software reaches through device control: descriptors, class and
// vendor requests, pipe reset and abort, the frame number and set-feature. Each builds one URB,
// sends it with SubmitUrb, and frees it on every path.
#include "usb/usb.h"

namespace {

// Pipe requests carry a header Length of 36 for a bus driver older than USBDI 0x101, which knows
// the request without its trailing reserved field; the block stays 40 bytes either way.
USHORT PipeRequestLength(void) {
    USBD_VERSION_INFORMATION version;
    RtlZeroMemory(&version, sizeof(version));
    USBD_GetUSBDIVersion(&version);
    return version.USBDI_Version < 0x101 ? sizeof(struct _URB_PIPE_REQUEST) - 4
                                         : sizeof(struct _URB_PIPE_REQUEST);
}

_IRQL_requires_(PASSIVE_LEVEL) NTSTATUS
    SendPipeRequest(_In_ PDEVICE_OBJECT DeviceObject, _In_ USHORT Function,
                    _In_ USBD_PIPE_HANDLE PipeHandle) {
    PAGED_CODE();
    PURB urb = AllocateUrb(sizeof(struct _URB_PIPE_REQUEST), Function);
    if (urb == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    urb->UrbHeader.Length = PipeRequestLength();
    urb->UrbPipeRequest.PipeHandle = PipeHandle;
    NTSTATUS status = SubmitUrb(DeviceObject, urb);
    ExFreePool(urb);
    return status;
}

// Class and vendor requests by (request type << 2) | recipient, both whole bytes.
USHORT ClassOrVendorFunction(ULONG Key) {
    switch (Key) {
    case 4:
        return URB_FUNCTION_CLASS_DEVICE;
    case 5:
        return URB_FUNCTION_CLASS_INTERFACE;
    case 6:
        return URB_FUNCTION_CLASS_ENDPOINT;
    case 7:
        return URB_FUNCTION_CLASS_OTHER;
    case 8:
        return URB_FUNCTION_VENDOR_DEVICE;
    case 9:
        return URB_FUNCTION_VENDOR_INTERFACE;
    case 10:
        return URB_FUNCTION_VENDOR_ENDPOINT;
    case 11:
        return URB_FUNCTION_VENDOR_OTHER;
    default:
        return 0;
    }
}

_IRQL_requires_(PASSIVE_LEVEL) NTSTATUS
    ReadDescriptorOfType(_In_ PDEVICE_OBJECT DeviceObject, _In_ UCHAR Type, _In_ UCHAR Index,
                         _In_ USHORT LanguageId,
                         _Out_writes_bytes_to_opt_(Length, *Received) PVOID Buffer,
                         _In_ ULONG Length, _Out_ ULONG* Received) {
    PAGED_CODE();
    *Received = 0;
    if (Buffer == NULL) {
        // Nothing asked for: nothing sent.
        return STATUS_SUCCESS;
    }
    PURB urb = AllocateUrb(sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST),
                           URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE);
    if (urb == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    struct _URB_CONTROL_DESCRIPTOR_REQUEST* request = &urb->UrbControlDescriptorRequest;
    request->DescriptorType = Type;
    request->Index = Index;
    request->LanguageId = LanguageId;
    request->TransferBuffer = Buffer;
    request->TransferBufferLength =
        Length < CONTROL_TRANSFER_MAX_LENGTH ? Length : CONTROL_TRANSFER_MAX_LENGTH;

    NTSTATUS status = SubmitUrb(DeviceObject, urb);
    if (NT_SUCCESS(status)) {
        *Received = request->TransferBufferLength < Length ? request->TransferBufferLength : Length;
    }
    ExFreePool(urb);
    return status;
}

} // namespace

_Use_decl_annotations_ NTSTATUS GetDescriptor(PDEVICE_OBJECT DeviceObject, PVOID Buffer,
                                              ULONG Length, UCHAR DescriptorType, ULONG* Received) {
    PAGED_CODE();
    return ReadDescriptorOfType(DeviceObject, DescriptorType, 0, 0, Buffer, Length, Received);
}

_Use_decl_annotations_ NTSTATUS GetStringDescriptor(PDEVICE_OBJECT DeviceObject, UCHAR Index,
                                                    USHORT LanguageId, PVOID Buffer, ULONG Length,
                                                    ULONG* Received) {
    PAGED_CODE();
    return ReadDescriptorOfType(DeviceObject, USB_STRING_DESCRIPTOR_TYPE, Index, LanguageId, Buffer,
                                Length, Received);
}

_Use_decl_annotations_ NTSTATUS SendClassOrVendorRequest(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PAGED_CODE();
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    const UCHAR* record = (const UCHAR*)Irp->AssociatedIrp.SystemBuffer;

    if (stack->Parameters.DeviceIoControl.InputBufferLength != 10 || record == NULL) {
        return STATUS_INVALID_PARAMETER;
    }
    // The data stage is the output buffer, which this code's method locks for reading only: a
    // device-to-host data stage would write the device's bytes into memory the caller may not
    // write itself (a read-only file mapping, a shared image). Proving the pages writable takes
    // a probe under structured exception handling, which this driver's compiler does not give,
    // so such requests are refused; one without a data stage writes nothing and goes ahead.
    // Vendor device requests can bring data back through IOCTL_TOVRIK_VENDOR_REQUEST.
    if (record[0] != 0 && stack->Parameters.DeviceIoControl.OutputBufferLength != 0 &&
        OutputBufferIsReadOnly(Irp)) {
        return STATUS_INVALID_PARAMETER;
    }
    PURB urb = AllocateUrb(sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST), 0);
    if (urb == NULL) {
        return STATUS_NO_MEMORY;
    }
    USHORT function = ClassOrVendorFunction(((ULONG)record[1] << 2) | (ULONG)record[2]);
    if (function == 0) {
        ExFreePool(urb);
        return STATUS_INVALID_PARAMETER;
    }
    struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST* request = &urb->UrbControlVendorClassRequest;
    request->Hdr.Function = function;
    request->TransferFlags =
        USBD_SHORT_TRANSFER_OK | (record[0] != 0 ? USBD_TRANSFER_DIRECTION_IN : 0);
    request->TransferBufferLength = stack->Parameters.DeviceIoControl.OutputBufferLength;
    request->TransferBufferMDL = request->TransferBufferLength != 0 ? Irp->MdlAddress : NULL;
    request->Request = record[4];
    request->Value = ReadUshortLe(record + 6);
    request->Index = ReadUshortLe(record + 8);

    NTSTATUS status = SubmitUrb(DeviceObject, urb);
    if (NT_SUCCESS(status)) {
        Irp->IoStatus.Information = request->TransferBufferLength;
    }
    ExFreePool(urb);
    return status;
}

_Use_decl_annotations_ NTSTATUS SendVendorDeviceRequest(PDEVICE_OBJECT DeviceObject, PUCHAR Record,
                                                        ULONG RecordBufferLength, ULONG* Received) {
    PAGED_CODE();
    USHORT length = ReadUshortLe(Record + 6);
    BOOLEAN toHost = Record[8] != 0;
    PUCHAR data = NULL;

    *Received = 0;
    // The caller has checked the record and, for a device-to-host request, the room for its data.
    if (RecordBufferLength < 10 || (toHost && RecordBufferLength < length)) {
        return STATUS_INVALID_PARAMETER;
    }
    PURB urb = AllocateUrb(sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST),
                           URB_FUNCTION_VENDOR_DEVICE);
    if (urb == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST* request = &urb->UrbControlVendorClassRequest;
    request->TransferBufferLength = length;
    request->Request = Record[0];
    request->Value = ReadUshortLe(Record + 2);
    request->Index = ReadUshortLe(Record + 4);
    if (toHost) {
        request->TransferFlags = USBD_TRANSFER_DIRECTION_IN;
        request->TransferBuffer = Record;
    } else if (length != 0) {
        data = (PUCHAR)ExAllocatePool(NonPagedPool, length);
        if (data == NULL) {
            ExFreePool(urb);
            return STATUS_INSUFFICIENT_RESOURCES;
        }
        // One byte carries the record's data byte; longer writes carry the 00 01 02 ... pattern.
        for (ULONG i = 0; i < length; i++) {
            data[i] = length == 1 ? Record[9] : (UCHAR)i;
        }
        request->TransferBuffer = data;
    }

    // A request the device stalls (or any other failure) is the caller's to hear, with the USB
    // status kept as the last error.
    NTSTATUS status = SubmitUrb(DeviceObject, urb);
    if (NT_SUCCESS(status) && toHost) {
        *Received = request->TransferBufferLength < length ? request->TransferBufferLength : length;
    }
    ExFreePool(urb);
    FreePoolIfAllocated(data);
    return status;
}

_Use_decl_annotations_ NTSTATUS ResetPipe(PDEVICE_OBJECT DeviceObject, ULONG PipeIndex) {
    PAGED_CODE();
    PDEVICE_EXTENSION extension = DeviceExtensionOf(DeviceObject);
    PUSBD_PIPE_INFORMATION pipe;

    PipeTableLockShared(extension);
    NTSTATUS status = PipeByIndex(extension, PipeIndex, &pipe);
    if (NT_SUCCESS(status)) {
        status = SendPipeRequest(DeviceObject, URB_FUNCTION_RESET_PIPE, pipe->PipeHandle);
    }
    PipeTableUnlock(extension);
    return status;
}

_Use_decl_annotations_ NTSTATUS AbortPipe(PDEVICE_OBJECT DeviceObject,
                                          USBD_PIPE_HANDLE PipeHandle) {
    PAGED_CODE();
    return SendPipeRequest(DeviceObject, URB_FUNCTION_ABORT_PIPE, PipeHandle);
}

_Use_decl_annotations_ NTSTATUS AbortPipeByIndex(PDEVICE_OBJECT DeviceObject, ULONG PipeIndex) {
    PAGED_CODE();
    PDEVICE_EXTENSION extension = DeviceExtensionOf(DeviceObject);
    PUSBD_PIPE_INFORMATION pipe;

    // An abort is how a caller ends a transfer that hangs: it must get past an interface
    // selection queued behind that very transfer.
    PipeTableLockSharedStarveExclusive(extension);
    NTSTATUS status = PipeByIndex(extension, PipeIndex, &pipe);
    if (NT_SUCCESS(status)) {
        status = AbortPipe(DeviceObject, pipe->PipeHandle);
    }
    PipeTableUnlock(extension);
    return status;
}

_Use_decl_annotations_ ULONG GetCurrentFrameNumber(PDEVICE_OBJECT DeviceObject) {
    PAGED_CODE();
    PURB urb = AllocateUrb(sizeof(struct _URB_GET_CURRENT_FRAME_NUMBER),
                           URB_FUNCTION_GET_CURRENT_FRAME_NUMBER);
    if (urb == NULL) {
        return 0;
    }
    NTSTATUS status = SubmitUrb(DeviceObject, urb);
    ULONG frame = NT_SUCCESS(status) ? urb->UrbGetCurrentFrameNumber.FrameNumber : 0;
    ExFreePool(urb);
    return frame;
}

_Use_decl_annotations_ NTSTATUS SetDeviceFeature(PDEVICE_OBJECT DeviceObject,
                                                 USHORT FeatureSelector, USHORT Index) {
    PAGED_CODE();
    PURB urb = AllocateUrb(sizeof(struct _URB_CONTROL_FEATURE_REQUEST),
                           URB_FUNCTION_SET_FEATURE_TO_DEVICE);
    if (urb == NULL) {
        return STATUS_UNSUCCESSFUL;
    }
    urb->UrbControlFeatureRequest.FeatureSelector = FeatureSelector;
    urb->UrbControlFeatureRequest.Index = Index;
    NTSTATUS status = SubmitUrb(DeviceObject, urb);
    ExFreePool(urb);
    return status;
}
