// Each of the driver's 27 request codes with inputs a camera program would send to a started
// camera: the cases the allocation sweep and the removal matrix run one by one.
#pragma once

#include "camera_session.h"

#include <string>
#include <vector>

namespace tovrik_faults {

struct RequestCase {
    std::string Name;
    ULONG Code;
    Bytes Input;
    ULONG OutputLength;
    // The output buffer's bytes (for codes that send it to the device); else 0xA5 everywhere.
    Bytes Output;
    // A stream must be running before the request is sent.
    bool NeedsStream = false;
    // What a started camera answers (the camera has no isochronous OUT endpoint, so the write
    // code has nowhere to go and is refused before anything is allocated).
    NTSTATUS Answer = STATUS_SUCCESS;
};

// The stream every case that needs one starts: pipe 3, 1024-byte packets, a ring of 64 packets,
// 8 packets per URB, 4 URBs.
inline constexpr ISO_REQUEST kStreamShape = {kIsoPipe, 1024, 64, 8, 4};

// `frameBytes`: the bytes of one image of the camera (SessionOptions' frame size).
std::vector<RequestCase> GoodRequests(ULONG frameBytes);

// Sends the case's request and returns its status.
NTSTATUS Send(CameraSession& session, const RequestCase& request);

// Starts the stream of kStreamShape; its status.
NTSTATUS StartStream(CameraSession& session);

// Empty when no stream is left and a new one starts (and is stopped again), else what is wrong.
std::string StreamIsGone(CameraSession& session);

} // namespace tovrik_faults
