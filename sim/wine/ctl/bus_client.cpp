#include "bus_client.h"

#include <vector>

namespace usbsim {

std::string BusError::Describe(DWORD error) {
    char* text = nullptr;
    const DWORD length = FormatMessageA(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, error, 0, reinterpret_cast<char*>(&text), 0, nullptr);
    std::string description;
    if (length != 0 && text != nullptr) {
        description.assign(text, length);
        while (!description.empty() && (description.back() == '\n' || description.back() == '\r' ||
                                        description.back() == ' ' || description.back() == '.'))
            description.pop_back();
    }
    if (text != nullptr)
        LocalFree(text);
    return (description.empty() ? std::string("error") : description) + " (Win32 error " +
           std::to_string(error) + ")";
}

namespace {

HANDLE OpenBus() {
    HANDLE handle =
        CreateFileW(USBSIM_USER_PATH, GENERIC_READ | GENERIC_WRITE,
                    FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        throw BusError("cannot open the simulated bus \\\\.\\UsbSim (is usbsim.sys started?)",
                       GetLastError());
    return handle;
}

} // namespace

BusClient::BusClient() : handle_(OpenBus()) {}

void BusClient::Request(const char* what, DWORD code, const void* in, DWORD inLength, void* out,
                        DWORD outLength) {
    DWORD returned = 0;
    if (!DeviceIoControl(handle_.get(), code, const_cast<void*>(in), inLength, out, outLength,
                         &returned, nullptr))
        throw BusError(what, GetLastError());
    if (returned != outLength)
        throw BusError(std::string(what) + ": the bus answered " + std::to_string(returned) +
                           " bytes, not " + std::to_string(outLength),
                       ERROR_INVALID_DATA);
}

USBSIM_STATE BusClient::Query() {
    USBSIM_STATE state{};
    Request("query", IOCTL_USBSIM_QUERY, nullptr, 0, &state, sizeof(state));
    return state;
}

std::uint32_t BusClient::Plug(std::uint32_t port, USBSIM_IDENTITY identity) {
    USBSIM_PLUG request{port, static_cast<uint32_t>(identity)};
    USBSIM_PORT_REQUEST reply{};
    Request("plug", IOCTL_USBSIM_PLUG, &request, sizeof(request), &reply, sizeof(reply));
    return reply.Port;
}

void BusClient::Unplug(std::uint32_t port) {
    USBSIM_PORT_REQUEST request{port};
    Request("unplug", IOCTL_USBSIM_UNPLUG, &request, sizeof(request), nullptr, 0);
}

void BusClient::AddFault(const USBSIM_FAULT& fault) {
    Request("fault", IOCTL_USBSIM_ADD_FAULT, &fault, sizeof(fault), nullptr, 0);
}

void BusClient::ClearFaults(std::uint32_t port) {
    USBSIM_PORT_REQUEST request{port};
    Request("clear faults", IOCTL_USBSIM_CLEAR_FAULTS, &request, sizeof(request), nullptr, 0);
}

USBSIM_COUNTERS BusClient::Counters(std::uint32_t port, std::uint32_t endpoint) {
    USBSIM_COUNTERS_REQUEST request{port, endpoint};
    USBSIM_COUNTERS reply{};
    Request("counters", IOCTL_USBSIM_COUNTERS, &request, sizeof(request), &reply, sizeof(reply));
    return reply;
}

void BusClient::Capture(const std::wstring& path) {
    USBSIM_CAPTURE request{};
    if (path.size() > sizeof(request.Name) / sizeof(request.Name[0]))
        throw BusError("capture: the file name is too long", ERROR_FILENAME_EXCED_RANGE);
    request.Length = static_cast<uint32_t>(path.size());
    for (std::size_t i = 0; i < path.size(); ++i)
        request.Name[i] = static_cast<uint16_t>(path[i]);
    Request("capture", IOCTL_USBSIM_CAPTURE, &request, sizeof(request), nullptr, 0);
}

void BusClient::Flush() {
    Request("flush", IOCTL_USBSIM_FLUSH, nullptr, 0, nullptr, 0);
}

bool CameraOpens(std::uint32_t number) {
    const std::wstring path =
        L"\\\\.\\Tovrik318QX-" + std::wstring(1, static_cast<wchar_t>(L'0' + number));
    HANDLE handle =
        CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                    nullptr, OPEN_EXISTING, 0, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return false;
    CloseHandle(handle);
    return true;
}

} // namespace usbsim
