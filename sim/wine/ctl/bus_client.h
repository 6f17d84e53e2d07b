// User mode's side of the simulated bus's control interface (sim/wine/control.h): an open handle
// to \\.\UsbSim and one call per request. A request the bus refuses throws BusError with the
// Win32 error of the refusal.
#pragma once

#include "wine/control.h"

#include <windows.h>

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>

namespace usbsim {

class BusError : public std::runtime_error {
  public:
    BusError(const std::string& what, DWORD error)
        : std::runtime_error(what + ": " + Describe(error)), error_(error) {}
    DWORD Error() const { return error_; }
    static std::string Describe(DWORD error);

  private:
    DWORD error_;
};

class BusClient {
  public:
    // Opens the bus's control device; throws BusError when the bus is not loaded.
    BusClient();

    USBSIM_STATE Query();
    // The port the camera went to.
    std::uint32_t Plug(std::uint32_t port, USBSIM_IDENTITY identity);
    void Unplug(std::uint32_t port);
    void AddFault(const USBSIM_FAULT& fault);
    void ClearFaults(std::uint32_t port);
    USBSIM_COUNTERS Counters(std::uint32_t port, std::uint32_t endpoint);
    // An empty path ends the capture.
    void Capture(const std::wstring& path);
    void Flush();

  private:
    void Request(const char* what, DWORD code, const void* in, DWORD inLength, void* out,
                 DWORD outLength);
    struct CloseHandleOnce {
        void operator()(HANDLE handle) const { CloseHandle(handle); }
    };
    // The open control device, closed with the client (which can move but not be copied).
    std::unique_ptr<void, CloseHandleOnce> handle_;
};

// Whether \\.\Tovrik318QX-N opens now (the driver refuses opens until its start succeeded).
bool CameraOpens(std::uint32_t number);

} // namespace usbsim
