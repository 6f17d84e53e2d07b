// Device I/O control dispatch.
//
// Every length an operation relies on is tested here before any buffer is read or written: a
// short request is refused with STATUS_INVALID_PARAMETER and touches nothing.
#include "control/control.h"
#include "firmware/firmware.h"
#include "tovrik/tovrik.h"
#include "transfer/transfer.h"
#include "usb/usb.h"

namespace {

#define DEVICE_DESCRIPTOR_LENGTH 18

// What one request carries, read once from its stack location.
struct REQUEST {
    PIRP Irp;
    PDEVICE_OBJECT DeviceObject;
    PDEVICE_EXTENSION Extension;
    ULONG InputLength;
    ULONG OutputLength;
    PUCHAR SystemBuffer;
};

VOID WriteUlong(PUCHAR Bytes, ULONG Value) {
    Bytes[0] = (UCHAR)Value;
    Bytes[1] = (UCHAR)(Value >> 8);
    Bytes[2] = (UCHAR)(Value >> 16);
    Bytes[3] = (UCHAR)(Value >> 24);
}

// The interface and pipe handles are the bus driver's kernel addresses: a user-mode copy of them
// would tell any caller where kernel pool lies. The copy carries small tokens instead, which keep
// the one thing a handle told a caller, whether the bus opened the pipe: the interface handle is
// 1 and pipe i's handle is i + 1 when the bus gave one, 0 when it gave none. Requests address
// pipes by index, never by handle, so nothing a caller sends back is affected.
VOID HidePipeTableHandles(PUSBD_INTERFACE_INFORMATION Copy) {
    Copy->InterfaceHandle = (USBD_INTERFACE_HANDLE)(ULONG_PTR)(Copy->InterfaceHandle != NULL);
    for (ULONG i = 0; i < Copy->NumberOfPipes; i++) {
        PUSBD_PIPE_INFORMATION pipe = &Copy->Pipes[i];
        pipe->PipeHandle = (USBD_PIPE_HANDLE)(ULONG_PTR)(pipe->PipeHandle != NULL ? i + 1 : 0);
    }
}

NTSTATUS CopyPipeTable(const REQUEST& Request) {
    PDEVICE_EXTENSION extension = Request.Extension;
    NTSTATUS status = STATUS_SUCCESS;

    PipeTableLockShared(extension);
    PUSBD_INTERFACE_INFORMATION table = extension->InterfaceInfo;
    if (table != NULL) {
        if (Request.OutputLength < table->Length) {
            status = STATUS_INVALID_PARAMETER;
        } else {
            RtlCopyMemory(Request.SystemBuffer, table, table->Length);
            HidePipeTableHandles((PUSBD_INTERFACE_INFORMATION)Request.SystemBuffer);
            Request.Irp->IoStatus.Information = table->Length;
        }
    }
    PipeTableUnlock(extension);
    return status;
}

NTSTATUS ReadDeviceDescriptor(const REQUEST& Request) {
    // No buffer at all is answered as an empty success; a buffer must hold the whole descriptor.
    if (Request.SystemBuffer == NULL) {
        return STATUS_SUCCESS;
    }
    if (Request.OutputLength < DEVICE_DESCRIPTOR_LENGTH) {
        return STATUS_INVALID_PARAMETER;
    }
    // A read that failed is the caller's to hear, not a success with no bytes.
    ULONG received;
    NTSTATUS status =
        GetDescriptor(Request.DeviceObject, Request.SystemBuffer, DEVICE_DESCRIPTOR_LENGTH,
                      USB_DEVICE_DESCRIPTOR_TYPE, &received);
    Request.Irp->IoStatus.Information = received;
    return status;
}

NTSTATUS ReadConfigurationDescriptor(const REQUEST& Request) {
    ULONG received;
    NTSTATUS status =
        GetDescriptor(Request.DeviceObject, Request.SystemBuffer, Request.OutputLength,
                      USB_CONFIGURATION_DESCRIPTOR_TYPE, &received);
    Request.Irp->IoStatus.Information = received;
    return status;
}

NTSTATUS VendorRequest(const REQUEST& Request) {
    if (Request.InputLength < sizeof(VENDOR_DEVICE_REQUEST)) {
        return STATUS_INVALID_PARAMETER;
    }
    const UCHAR* record = Request.SystemBuffer;
    USHORT length = ReadUshortLe(record + FIELD_OFFSET(VENDOR_DEVICE_REQUEST, Length));
    BOOLEAN toHost = record[FIELD_OFFSET(VENDOR_DEVICE_REQUEST, Direction)] != 0;
    // The answer lands over the record and goes back to the caller's output buffer.
    if (toHost && Request.OutputLength < length) {
        return STATUS_INVALID_PARAMETER;
    }
    ULONG bufferLength =
        Request.InputLength > Request.OutputLength ? Request.InputLength : Request.OutputLength;
    ULONG received;
    NTSTATUS status = SendVendorDeviceRequest(Request.DeviceObject, Request.SystemBuffer,
                                              bufferLength, &received);
    Request.Irp->IoStatus.Information = received;
    return status;
}

NTSTATUS PipeIndexOperation(const REQUEST& Request, NTSTATUS (*Operation)(PDEVICE_OBJECT, ULONG)) {
    if (Request.InputLength < sizeof(PIPE_INDEX_REQUEST)) {
        return STATUS_INVALID_PARAMETER;
    }
    return Operation(Request.DeviceObject, ReadUlongLe(Request.SystemBuffer));
}

// A stream keeps resubmitting on its pipe: aborting that pipe ends the stream too, as a stop
// does, and returns once it is gone, so that no slot whose completion was running as the abort
// came sends a URB after it.
NTSTATUS AbortPipeRequest(const REQUEST& Request) {
    if (Request.InputLength < sizeof(PIPE_INDEX_REQUEST)) {
        return STATUS_INVALID_PARAMETER;
    }
    ULONG pipeIndex = ReadUlongLe(Request.SystemBuffer);
    BOOLEAN streamPipe = StreamUsesPipe(Request.DeviceObject, pipeIndex);
    if (streamPipe) {
        RequestStreamStop(Request.DeviceObject);
    }
    NTSTATUS status = AbortPipeByIndex(Request.DeviceObject, pipeIndex);
    if (streamPipe && NT_SUCCESS(status)) {
        status = StopIsoStream(Request.DeviceObject);
    }
    return status;
}

NTSTATUS SetInterface(const REQUEST& Request) {
    if (Request.InputLength < sizeof(INTERFACE_SELECTION)) {
        return STATUS_INVALID_PARAMETER;
    }
    return SelectAlternateInterface(Request.DeviceObject, Request.SystemBuffer[0],
                                    Request.SystemBuffer[1]);
}

NTSTATUS ReadStringDescriptor(const REQUEST& Request) {
    if (Request.InputLength != sizeof(STRING_DESCRIPTOR_REQUEST) || Request.OutputLength == 0) {
        return STATUS_INVALID_PARAMETER;
    }
    ULONG count;
    NTSTATUS status = GetStringDescriptor(Request.DeviceObject, Request.SystemBuffer[0],
                                          ReadUshortLe(Request.SystemBuffer + 2),
                                          Request.SystemBuffer, Request.OutputLength, &count);
    Request.Irp->IoStatus.Information = count;
    // A string the device has but sends empty is no string either.
    return NT_SUCCESS(status) && count == 0 ? STATUS_UNSUCCESSFUL : status;
}

NTSTATUS ReadFrameNumber(const REQUEST& Request) {
    if (Request.OutputLength < sizeof(ULONG)) {
        return STATUS_INVALID_PARAMETER;
    }
    ULONG frame = GetCurrentFrameNumber(Request.DeviceObject);
    // A frame number of 0 cannot be told from a failed query.
    if (frame == 0) {
        return STATUS_UNSUCCESSFUL;
    }
    WriteUlong(Request.SystemBuffer, frame);
    Request.Irp->IoStatus.Information = sizeof(ULONG);
    return STATUS_SUCCESS;
}

NTSTATUS ReadLastError(const REQUEST& Request) {
    if (Request.OutputLength < sizeof(ULONG)) {
        return STATUS_UNSUCCESSFUL;
    }
    WriteUlong(Request.SystemBuffer, (ULONG)ReadAcquire(&Request.Extension->LastUsbdStatus));
    Request.Irp->IoStatus.Information = sizeof(ULONG);
    return STATUS_SUCCESS;
}

NTSTATUS WriteRam(const REQUEST& Request) {
    if (Request.InputLength != sizeof(USHORT) || Request.OutputLength == 0 ||
        Request.Irp->MdlAddress == NULL) {
        return STATUS_INVALID_PARAMETER;
    }
    const UCHAR* data = (const UCHAR*)RequestBufferAddress(Request.Irp);
    if (data == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    return WriteDeviceRam(Request.DeviceObject, ReadUshortLe(Request.SystemBuffer), data,
                          Request.OutputLength);
}

NTSTATUS ReadDriverVersion(const REQUEST& Request) {
    if (Request.OutputLength < sizeof(DRIVER_VERSION)) {
        return STATUS_UNSUCCESSFUL;
    }
    static const UCHAR version[sizeof(DRIVER_VERSION)] = {1, 0, 1, 0, 0, 0};
    RtlCopyMemory(Request.SystemBuffer, version, sizeof(version));
    Request.Irp->IoStatus.Information = sizeof(version);
    return STATUS_SUCCESS;
}

NTSTATUS SetFeature(const REQUEST& Request) {
    if (Request.InputLength != sizeof(FEATURE_REQUEST)) {
        return STATUS_INVALID_PARAMETER;
    }
    return SetDeviceFeature(Request.DeviceObject, ReadUshortLe(Request.SystemBuffer),
                            ReadUshortLe(Request.SystemBuffer + 2));
}

NTSTATUS SetTimeout(const REQUEST& Request) {
    if (Request.InputLength < sizeof(TIMEOUT_REQUEST)) {
        return STATUS_INVALID_PARAMETER;
    }
    if (ReadUlongLe(Request.SystemBuffer) == TOVRIK_TIMEOUT_SELECTOR_BULK) {
        // A signed 32-bit count, sign-extended: 0 and negative limits end every wait at once.
        WriteRelease64(&BulkTimeoutMs, (LONG64)(LONG)ReadUlongLe(Request.SystemBuffer + 4));
    }
    return STATUS_SUCCESS;
}

NTSTATUS Bulk(const REQUEST& Request) {
    if (Request.InputLength < sizeof(PIPE_INDEX_REQUEST)) {
        return STATUS_INVALID_PARAMETER;
    }
    return BulkTransfer(Request.DeviceObject, Request.Irp);
}

NTSTATUS Chunked(const REQUEST& Request) {
    // The pieces are partial MDLs over the caller's buffer: there must be one.
    if (Request.InputLength < sizeof(PIPE_INDEX_REQUEST) || Request.OutputLength == 0 ||
        Request.Irp->MdlAddress == NULL) {
        return STATUS_INVALID_PARAMETER;
    }
    return ChunkedTransfer(Request.DeviceObject, Request.Irp);
}

// The one-shot isochronous transfers and the stream's start take an ISO_REQUEST.
NTSTATUS IsoShapeOperation(const REQUEST& Request, NTSTATUS (*Operation)(PDEVICE_OBJECT, PIRP)) {
    if (Request.InputLength < sizeof(ISO_REQUEST)) {
        return STATUS_INVALID_PARAMETER;
    }
    NTSTATUS status = Operation(Request.DeviceObject, Request.Irp);
    // The caller knows the layout from its own record; Information stays 0.
    Request.Irp->IoStatus.Information = 0;
    return status;
}

NTSTATUS ReadStream(const REQUEST& Request) {
    if (Request.InputLength != sizeof(ISO_REQUEST)) {
        return STATUS_INVALID_PARAMETER;
    }
    ULONG packetSize = ReadUlongLe(Request.SystemBuffer + FIELD_OFFSET(ISO_REQUEST, PacketSize));
    ULONG packetCount = ReadUlongLe(Request.SystemBuffer + FIELD_OFFSET(ISO_REQUEST, PacketCount));
    if (packetSize == 0 || packetCount == 0 ||
        (ULONG64)Request.OutputLength !=
            (ULONG64)packetCount * (packetSize + (ULONG64)ISO_DESCRIPTOR_SIZE) ||
        Request.Irp->MdlAddress == NULL) {
        return STATUS_INVALID_PARAMETER;
    }
    PUCHAR output = (PUCHAR)RequestBufferAddress(Request.Irp);
    if (output == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    ULONG written;
    NTSTATUS status =
        ReadIsoStream(Request.DeviceObject, packetSize, packetCount, output, &written);
    Request.Irp->IoStatus.Information = written;
    return status;
}

// Every operation routed here may wait for the bus: the request's thread at PASSIVE_LEVEL.
_IRQL_requires_(PASSIVE_LEVEL) _Must_inspect_result_ NTSTATUS
    Route(const REQUEST& Request, ULONG IoControlCode) {
    PAGED_CODE();
    switch (IoControlCode) {
    case IOCTL_TOVRIK_GET_PIPE_INFO:
        return CopyPipeTable(Request);
    case IOCTL_TOVRIK_GET_DEVICE_DESCRIPTOR:
        return ReadDeviceDescriptor(Request);
    case IOCTL_TOVRIK_GET_CONFIGURATION_DESCRIPTOR:
        return ReadConfigurationDescriptor(Request);
    case IOCTL_TOVRIK_VENDOR_REQUEST:
        return VendorRequest(Request);
    case IOCTL_TOVRIK_NO_OPERATION:
        return STATUS_SUCCESS;
    case IOCTL_TOVRIK_DOWNLOAD_RAM:
        return DownloadRamBlocks(Request.DeviceObject, Request.SystemBuffer, Request.InputLength);
    case IOCTL_TOVRIK_RESET_PORT:
        return ResetPort(Request.DeviceObject);
    case IOCTL_TOVRIK_RESET_PIPE:
        return PipeIndexOperation(Request, ResetPipe);
    case IOCTL_TOVRIK_ABORT_PIPE:
        return AbortPipeRequest(Request);
    case IOCTL_TOVRIK_SET_INTERFACE:
        return SetInterface(Request);
    case IOCTL_TOVRIK_GET_STRING_DESCRIPTOR:
        return ReadStringDescriptor(Request);
    case IOCTL_TOVRIK_GET_FRAME_NUMBER:
        return ReadFrameNumber(Request);
    case IOCTL_TOVRIK_CONTROL_REQUEST:
        return SendClassOrVendorRequest(Request.DeviceObject, Request.Irp);
    case IOCTL_TOVRIK_GET_LAST_ERROR:
        return ReadLastError(Request);
    case IOCTL_TOVRIK_WRITE_RAM:
        return WriteRam(Request);
    case IOCTL_TOVRIK_GET_DRIVER_VERSION:
        return ReadDriverVersion(Request);
    case IOCTL_TOVRIK_STOP_ISO_STREAM:
        // Returns once the stream is gone, so a start right after it finds none.
        return StopIsoStream(Request.DeviceObject);
    case IOCTL_TOVRIK_BULK_READ:
    case IOCTL_TOVRIK_BULK_WRITE:
        return Bulk(Request);
    case IOCTL_TOVRIK_CHUNKED_READ:
    case IOCTL_TOVRIK_CHUNKED_WRITE:
        return Chunked(Request);
    case IOCTL_TOVRIK_ISO_READ:
    case IOCTL_TOVRIK_ISO_WRITE:
        return IsoShapeOperation(Request, IsoTransfer);
    case IOCTL_TOVRIK_START_ISO_STREAM:
        return IsoShapeOperation(Request, StartIsoStream);
    case IOCTL_TOVRIK_READ_ISO_STREAM:
        return ReadStream(Request);
    case IOCTL_TOVRIK_SET_FEATURE:
        return SetFeature(Request);
    case IOCTL_TOVRIK_SET_TIMEOUT:
        return SetTimeout(Request);
    default:
        return STATUS_INVALID_PARAMETER;
    }
}

} // namespace

_Use_decl_annotations_ NTSTATUS DispatchDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PAGED_CODE();
    BOOLEAN admitted = IoGateEnter(DeviceObject);
    Irp->IoStatus.Information = 0;
    if (!admitted) {
        return CompleteRequest(Irp, STATUS_DELETE_PENDING, 0);
    }

    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    REQUEST request;
    request.Irp = Irp;
    request.DeviceObject = DeviceObject;
    request.Extension = DeviceExtensionOf(DeviceObject);
    request.InputLength = stack->Parameters.DeviceIoControl.InputBufferLength;
    request.OutputLength = stack->Parameters.DeviceIoControl.OutputBufferLength;
    request.SystemBuffer = (PUCHAR)Irp->AssociatedIrp.SystemBuffer;

    Irp->IoStatus.Status = STATUS_SUCCESS;
    NTSTATUS status = Route(request, stack->Parameters.DeviceIoControl.IoControlCode);
    // Every operation ends before it returns here: none leaves the request pending below.
    NT_ASSERT(status != STATUS_PENDING);
    Irp->IoStatus.Status = status;

    IoGateLeave(DeviceObject);
    IofCompleteRequest(Irp, IO_NO_INCREMENT);
    return status;
}
