#include "request_cases.h"

namespace tovrik_faults {

std::vector<RequestCase> GoodRequests(ULONG frameBytes) {
    const ULONG frame = frameBytes;
    const ISO_REQUEST iso = {kIsoPipe, 1024, 32, 8, 2};
    const ULONG isoOutput = 32 * (1024 + 12);
    Bytes ram(1030);
    for (std::size_t i = 0; i < ram.size(); ++i) {
        ram[i] = static_cast<std::uint8_t>(i * 7);
    }
    Bytes command(64, 0);
    command[0] = 3; // an end command: harmless whenever it comes
    return {
        {"GET_PIPE_INFO", IOCTL_TOVRIK_GET_PIPE_INFO, {}, 256, {}},
        {"GET_DEVICE_DESCRIPTOR", IOCTL_TOVRIK_GET_DEVICE_DESCRIPTOR, {}, 18, {}},
        {"GET_CONFIGURATION_DESCRIPTOR", IOCTL_TOVRIK_GET_CONFIGURATION_DESCRIPTOR, {}, 256, {}},
        {"VENDOR_REQUEST in",
         IOCTL_TOVRIK_VENDOR_REQUEST,
         RecordBytes(VENDOR_DEVICE_REQUEST{0xA0, 0, 0x2000, 0, 16, 1, 0}),
         16,
         {}},
        {"VENDOR_REQUEST out",
         IOCTL_TOVRIK_VENDOR_REQUEST,
         RecordBytes(VENDOR_DEVICE_REQUEST{0xA0, 0, 0x2000, 0, 16, 0, 0}),
         0,
         {}},
        {"NO_OPERATION", IOCTL_TOVRIK_NO_OPERATION, {}, 0, {}},
        {"DOWNLOAD_RAM", IOCTL_TOVRIK_DOWNLOAD_RAM, ram, 0, {}},
        {"RESET_PORT", IOCTL_TOVRIK_RESET_PORT, {}, 0, {}},
        {"RESET_PIPE", IOCTL_TOVRIK_RESET_PIPE, PipeIndex(kImagePipe), 0, {}},
        {"ABORT_PIPE", IOCTL_TOVRIK_ABORT_PIPE, PipeIndex(kImagePipe), 0, {}},
        {"SET_INTERFACE",
         IOCTL_TOVRIK_SET_INTERFACE,
         RecordBytes(INTERFACE_SELECTION{0, 2}),
         0,
         {}},
        {"GET_STRING_DESCRIPTOR",
         IOCTL_TOVRIK_GET_STRING_DESCRIPTOR,
         RecordBytes(STRING_DESCRIPTOR_REQUEST{0, 0, 0}),
         255,
         {}},
        {"BULK_READ", IOCTL_TOVRIK_BULK_READ, PipeIndex(kImagePipe), frame, {}},
        {"BULK_WRITE", IOCTL_TOVRIK_BULK_WRITE, PipeIndex(kCommandPipe), 64, command},
        {"GET_FRAME_NUMBER", IOCTL_TOVRIK_GET_FRAME_NUMBER, {}, 4, {}},
        {"CONTROL_REQUEST", IOCTL_TOVRIK_CONTROL_REQUEST,
         RecordBytes(CLASS_VENDOR_REQUEST{0, 2, 0, 0, 0xA0, 0, 0x2000, 0}), 16, Bytes(16, 0x5A)},
        {"GET_LAST_ERROR", IOCTL_TOVRIK_GET_LAST_ERROR, {}, 4, {}},
        {"ISO_READ", IOCTL_TOVRIK_ISO_READ, RecordBytes(iso), isoOutput, {}},
        {"ISO_WRITE", IOCTL_TOVRIK_ISO_WRITE, RecordBytes(iso), isoOutput, Bytes(isoOutput, 0),
         false, STATUS_INVALID_PARAMETER},
        {"WRITE_RAM", IOCTL_TOVRIK_WRITE_RAM, {0x00, 0x20}, 100, Bytes(100, 0x3C)},
        {"GET_DRIVER_VERSION", IOCTL_TOVRIK_GET_DRIVER_VERSION, {}, 6, {}},
        {"START_ISO_STREAM", IOCTL_TOVRIK_START_ISO_STREAM, RecordBytes(kStreamShape), 0, {}},
        {"STOP_ISO_STREAM", IOCTL_TOVRIK_STOP_ISO_STREAM, {}, 0, {}, true},
        {"READ_ISO_STREAM",
         IOCTL_TOVRIK_READ_ISO_STREAM,
         RecordBytes(ISO_REQUEST{0, 1024, 16, 0, 0}),
         16 * (1024 + 12),
         {},
         true},
        {"SET_FEATURE", IOCTL_TOVRIK_SET_FEATURE, RecordBytes(FEATURE_REQUEST{1, 0}), 0, {}},
        {"SET_TIMEOUT",
         IOCTL_TOVRIK_SET_TIMEOUT,
         RecordBytes(TIMEOUT_REQUEST{TOVRIK_TIMEOUT_SELECTOR_BULK, 3000}),
         0,
         {}},
        {"CHUNKED_READ", IOCTL_TOVRIK_CHUNKED_READ, PipeIndex(kImagePipe), frame, {}},
        {"CHUNKED_WRITE", IOCTL_TOVRIK_CHUNKED_WRITE, PipeIndex(kCommandPipe), 64, command},
    };
}

NTSTATUS Send(CameraSession& session, const RequestCase& request) {
    Bytes output = request.Output;
    if (output.empty()) {
        output.assign(request.OutputLength, 0xA5);
    }
    return session.Call(request.Code, request.Input, output).Status;
}

NTSTATUS StartStream(CameraSession& session) {
    return session.Call(IOCTL_TOVRIK_START_ISO_STREAM, RecordBytes(kStreamShape), 0).Status;
}

std::string StreamIsGone(CameraSession& session) {
    Bytes output(16 * (1024 + 12));
    NTSTATUS read =
        session
            .Call(IOCTL_TOVRIK_READ_ISO_STREAM, RecordBytes(ISO_REQUEST{0, 1024, 16, 0, 0}), output)
            .Status;
    if (read != STATUS_UNSUCCESSFUL) {
        return "after the stop, a stream read answered " + host::StatusName(read);
    }
    NTSTATUS start = StartStream(session);
    if (start != STATUS_SUCCESS) {
        return "after the stop, a new stream's start answered " + host::StatusName(start);
    }
    session.Call(IOCTL_TOVRIK_STOP_ISO_STREAM, {}, 0);
    return {};
}

} // namespace tovrik_faults
