// The Windows backend: cameras are the driver's links \\.\Tovrik318QX-N, requests go through
// DeviceIoControl.
//
// Status. Callers want the driver's NTSTATUS, not the Win32 error the platform turns it into
// (several statuses share one error: STATUS_DELETE_PENDING and STATUS_ACCESS_DENIED are both
// ERROR_ACCESS_DENIED). Handles are opened for overlapped I/O because the OVERLAPPED then is
// the request's I/O status block: once the request has reached the driver, Internal holds its
// NTSTATUS and InternalHigh its Information. Internal is preset to STATUS_PENDING; if it still
// says so afterwards, the I/O manager did not write it: the request never reached the driver (a
// bad handle, a buffer the platform refused), or the driver failed it at once, which the
// platform answers through the call's return alone. Then, as for a failed CreateFileW, the
// thread's last NTSTATUS (ntdll's RtlGetLastNtStatus, which the failing call set) is the answer
// when it agrees with the Win32 error; otherwise the error is mapped back to the NTSTATUS that
// produces it (NTSTATUS_FROM_WIN32 for errors with no single source).
#include "../backend.h"
#include "tovrik/sdk.h"

#include <windows.h>
#include <winternl.h>

#include <string>

namespace tovrik::sdk {
namespace {

constexpr std::int32_t kStatusPending = 0x00000103;

std::int32_t StatusFromWin32(DWORD error) {
    switch (error) {
    case ERROR_SUCCESS:
        return 0;
    case ERROR_INVALID_FUNCTION:
        return static_cast<std::int32_t>(0xC0000010); // STATUS_INVALID_DEVICE_REQUEST
    case ERROR_FILE_NOT_FOUND:
        return TOVRIK_STATUS_OBJECT_NAME_NOT_FOUND;
    case ERROR_PATH_NOT_FOUND:
        return static_cast<std::int32_t>(0xC000003A); // STATUS_OBJECT_PATH_NOT_FOUND
    case ERROR_ACCESS_DENIED:
        return static_cast<std::int32_t>(0xC0000022); // also STATUS_DELETE_PENDING
    case ERROR_INVALID_HANDLE:
        return TOVRIK_STATUS_INVALID_HANDLE;
    case ERROR_NOT_ENOUGH_MEMORY:
    case ERROR_OUTOFMEMORY:
        return TOVRIK_STATUS_NO_MEMORY;
    case ERROR_GEN_FAILURE:
        return TOVRIK_STATUS_UNSUCCESSFUL;
    case ERROR_NOT_SUPPORTED:
        return TOVRIK_STATUS_NOT_SUPPORTED;
    case ERROR_INVALID_PARAMETER:
        return TOVRIK_STATUS_INVALID_PARAMETER;
    case ERROR_SEM_TIMEOUT:
        return static_cast<std::int32_t>(0xC00000B5); // STATUS_IO_TIMEOUT
    case ERROR_INSUFFICIENT_BUFFER:
        return static_cast<std::int32_t>(0xC0000023); // STATUS_BUFFER_TOO_SMALL
    case ERROR_BUSY:
        return static_cast<std::int32_t>(0x80000011); // STATUS_DEVICE_BUSY
    case ERROR_OPERATION_ABORTED:
        return static_cast<std::int32_t>(0xC0000120); // STATUS_CANCELLED
    case ERROR_DEVICE_NOT_CONNECTED:
        return static_cast<std::int32_t>(0xC000009D);
    case ERROR_NO_SYSTEM_RESOURCES:
        return static_cast<std::int32_t>(0xC000009A); // STATUS_INSUFFICIENT_RESOURCES
    default:
        return static_cast<std::int32_t>(0xC0070000u | (error & 0xFFFFu)); // NTSTATUS_FROM_WIN32
    }
}

std::int32_t LastNtStatusFor(DWORD error) {
    using GetLast = LONG(NTAPI*)();
    static const GetLast getLast = [] {
        HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
        return ntdll != nullptr ? reinterpret_cast<GetLast>(reinterpret_cast<void*>(
                                      GetProcAddress(ntdll, "RtlGetLastNtStatus")))
                                : nullptr;
    }();
    if (getLast != nullptr) {
        LONG status = getLast();
        if (status < 0 && RtlNtStatusToDosError(status) == error)
            return status;
    }
    return StatusFromWin32(error);
}

class Handle {
  public:
    explicit Handle(HANDLE handle = INVALID_HANDLE_VALUE) : handle_(handle) {}
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    ~Handle() {
        if (handle_ != INVALID_HANDLE_VALUE && handle_ != nullptr)
            CloseHandle(handle_);
    }
    HANDLE get() const { return handle_; }

  private:
    HANDLE handle_;
};

class Win32Channel final : public Channel {
  public:
    Win32Channel(HANDLE device, HANDLE event) : device_(device), event_(event) {}

    RawResult Ioctl(std::uint32_t code, std::span<const std::uint8_t> input,
                    std::span<std::uint8_t> output) override {
        OVERLAPPED overlapped{};
        overlapped.hEvent = event_.get();
        overlapped.Internal = static_cast<ULONG_PTR>(kStatusPending);
        BOOL ok = DeviceIoControl(device_.get(), code, const_cast<std::uint8_t*>(input.data()),
                                  static_cast<DWORD>(input.size()), output.data(),
                                  static_cast<DWORD>(output.size()), nullptr, &overlapped);
        DWORD error = ok ? ERROR_SUCCESS : GetLastError();
        if (!ok && error == ERROR_IO_PENDING) {
            // The driver never pends a request, but a filter above it might.
            DWORD bytes = 0;
            GetOverlappedResult(device_.get(), &overlapped, &bytes, TRUE);
            error = ERROR_SUCCESS;
        }
        auto status = static_cast<std::int32_t>(overlapped.Internal);
        if (status == kStatusPending)
            return {LastNtStatusFor(error), 0};
        return {status, static_cast<std::uint64_t>(overlapped.InternalHigh)};
    }

  private:
    Handle device_;
    Handle event_;
};

class Win32Backend final : public Backend {
  public:
    std::int32_t Open(std::uint32_t number, std::unique_ptr<Channel>& channel) override {
        std::wstring path = L"\\\\.\\Tovrik318QX-";
        path += static_cast<wchar_t>(0x30 + number);
        HANDLE device = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                    FILE_FLAG_OVERLAPPED, nullptr);
        if (device == INVALID_HANDLE_VALUE)
            return LastNtStatusFor(GetLastError());
        HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        if (event == nullptr) {
            DWORD error = GetLastError();
            CloseHandle(device);
            return StatusFromWin32(error);
        }
        channel = std::make_unique<Win32Channel>(device, event);
        return 0;
    }
};

} // namespace
} // namespace tovrik::sdk

extern "C" const char* tovrik_backend_name(void) {
    return "win32";
}

extern "C" std::int32_t tovrik_system_open(const tovrik_system_options* options,
                                           tovrik_system** system) {
    (void)options; // the real system has nothing to shape
    if (system == nullptr)
        return TOVRIK_STATUS_INVALID_PARAMETER;
    *system = tovrik::sdk::AdoptBackend(std::make_unique<tovrik::sdk::Win32Backend>());
    return *system != nullptr ? TOVRIK_STATUS_SUCCESS : TOVRIK_STATUS_NO_MEMORY;
}
