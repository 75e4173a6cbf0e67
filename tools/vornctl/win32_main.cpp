// vornctl.exe: the configuration utility as a Win32 console program. It
// reaches the driver through \\.\VORN with DeviceIoControl.
#include "tools/vornctl/vornctl.h"
#include "tools/vornctl/win32_calibration.h"

#include <windows.h>

#include <cstdio>

namespace {

// Overlapped I/O hands back the request's own NTSTATUS in Internal, so the
// program sees exactly what the driver completed, STATUS_TIMEOUT included
// (a success code that DeviceIoControl alone would not tell apart).
constexpr ULONG_PTR StatusNotWritten = 0xFFFFFFFF;

// For a request refused before it pended, when only the Win32 error is left.
uint32_t StatusOfWin32Error(DWORD error)
{
    switch (error) {
    case ERROR_INVALID_FUNCTION:
        return 0xC0000010; // STATUS_INVALID_DEVICE_REQUEST
    case ERROR_ACCESS_DENIED:
        return 0xC0000022; // STATUS_ACCESS_DENIED
    case ERROR_INVALID_PARAMETER:
        return 0xC000000D; // STATUS_INVALID_PARAMETER
    case ERROR_OPERATION_ABORTED:
        return 0xC0000120; // STATUS_CANCELLED
    default:
        return 0xC0000001; // STATUS_UNSUCCESSFUL
    }
}

class DeviceIoTransport : public vorn::Transport {
public:
    explicit DeviceIoTransport(HANDLE device) : device_(device) {}
    ~DeviceIoTransport() override { CloseHandle(device_); }
    DeviceIoTransport(const DeviceIoTransport&) = delete;
    DeviceIoTransport& operator=(const DeviceIoTransport&) = delete;

    vorn::Reply Call(uint32_t code, const std::vector<uint8_t>& input,
                     uint32_t outputLength) override
    {
        vorn::Reply reply;
        std::vector<uint8_t> output(outputLength);
        OVERLAPPED overlapped = {};
        overlapped.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        if (!overlapped.hEvent)
            return reply;
        overlapped.Internal = StatusNotWritten;
        DWORD returned = 0;
        BOOL ok = DeviceIoControl(device_, code,
                                  input.empty() ? nullptr : const_cast<uint8_t*>(input.data()),
                                  DWORD(input.size()), output.empty() ? nullptr : output.data(),
                                  outputLength, &returned, &overlapped);
        if (!ok && GetLastError() == ERROR_IO_PENDING)
            ok = GetOverlappedResult(device_, &overlapped, &returned, TRUE);
        DWORD error = ok ? ERROR_SUCCESS : GetLastError();
        CloseHandle(overlapped.hEvent);
        if (overlapped.Internal != StatusNotWritten) {
            reply.Status = uint32_t(overlapped.Internal);
            returned = DWORD(overlapped.InternalHigh);
        } else {
            reply.Status = ok ? 0 : StatusOfWin32Error(error);
        }
        output.resize(returned < outputLength ? returned : outputLength);
        reply.Output = std::move(output);
        return reply;
    }

private:
    HANDLE device_;
};

std::unique_ptr<vorn::Transport> OpenControlDevice(std::string& error)
{
    HANDLE device =
        CreateFileA("\\\\.\\VORN", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                    nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    if (device == INVALID_HANDLE_VALUE) {
        error = vornctl::CannotOpenMessage(GetLastError());
        return nullptr;
    }
    return std::make_unique<DeviceIoTransport>(device);
}

// Display device N, counted from 1 as Display Properties numbers the
// monitors: in the order EnumDisplayDevices lists them, mirroring drivers
// left out. False with `why` when there is none.
bool DisplayDevice(int n, DISPLAY_DEVICEA* device, std::string* why)
{
    int number = 0;
    for (DWORD i = 0;; ++i) {
        *device = {};
        device->cb = sizeof *device;
        if (!EnumDisplayDevicesA(nullptr, i, device, 0)) {
            *why = "no monitor " + std::to_string(n) + " (Display Properties shows " +
                   std::to_string(number) + ", numbered from 1)";
            return false;
        }
        if (!(device->StateFlags & DISPLAY_DEVICE_MIRRORING_DRIVER) && ++number == n)
            return true;
    }
}

// Monitor N (from 1) of the display layout, in 0..65536 units of the virtual
// desktop.
bool MonitorRect(int n, vorn::ScreenRect* rect, std::string* why)
{
    DISPLAY_DEVICEA device;
    if (!DisplayDevice(n, &device, why))
        return false;
    DEVMODEA mode = {};
    mode.dmSize = sizeof mode;
    if (!(device.StateFlags & DISPLAY_DEVICE_ATTACHED_TO_DESKTOP) ||
        !EnumDisplaySettingsA(device.DeviceName, ENUM_CURRENT_SETTINGS, &mode)) {
        *why = "monitor " + std::to_string(n) +
               " is not part of the desktop; extend the desktop onto it in Display Properties";
        return false;
    }
    long long left = GetSystemMetrics(SM_XVIRTUALSCREEN);
    long long top = GetSystemMetrics(SM_YVIRTUALSCREEN);
    long long width = GetSystemMetrics(SM_CXVIRTUALSCREEN);
    long long height = GetSystemMetrics(SM_CYVIRTUALSCREEN);
    if (width <= 0 || height <= 0) {
        *why = "the virtual desktop has no size";
        return false;
    }
    long long x = mode.dmPosition.x, y = mode.dmPosition.y;
    rect->Left = uint32_t((x - left) * 65536 / width);
    rect->Top = uint32_t((y - top) * 65536 / height);
    rect->Right = uint32_t((x + mode.dmPelsWidth - left) * 65536 / width);
    rect->Bottom = uint32_t((y + mode.dmPelsHeight - top) * 65536 / height);
    return true;
}

} // namespace

int main(int argc, char** argv)
{
    std::vector<std::string> args(argv + 1, argv + argc);
    vornctl::Platform platform;
    platform.MonitorRect = MonitorRect;
    platform.OpenCalibration = OpenWindowsCalibration;
    vornctl::Result result = vornctl::Run(
        args, OpenControlDevice,
        [](const std::string& line) {
            std::fputs(line.c_str(), stdout);
            std::fputs("\n", stdout);
            std::fflush(stdout);
        },
        platform);
    if (result.Exit != vornctl::ExitOk)
        std::fprintf(stderr, "vornctl: %s\n", result.Error.c_str());
    return result.Exit;
}
