// vornctl.exe: the configuration utility as a Win32 console program. It
// reaches the driver through \\.\VORN with NtDeviceIoControlFile.
#include "tools/vornctl/vornctl.h"
#include "tools/vornctl/win32_calibration.h"

#include <windows.h>

#include <cstdio>

namespace {

// The request goes through NtDeviceIoControlFile, whose return value is the
// request's own status. A request refused before it pends writes neither the
// status block nor the event (OVERLAPPED.Internal would keep STATUS_PENDING),
// so only the return value tells it; a pending one completes into the block,
// STATUS_TIMEOUT included (a success code DeviceIoControl would hide).
// Looked up in ntdll, which every process has loaded, so the program still
// imports only kernel32, user32, gdi32 and msvcrt.
struct StatusBlock {
    union {
        LONG Status;
        PVOID Pointer;
    };
    ULONG_PTR Information;
};

using NtDeviceIoControlFileRoutine = LONG(NTAPI*)(HANDLE file, HANDLE event, PVOID apcRoutine,
                                                  PVOID apcContext, StatusBlock* ioStatus,
                                                  ULONG code, PVOID input, ULONG inputLength,
                                                  PVOID output, ULONG outputLength);

constexpr LONG StatusPending = 0x00000103;
constexpr uint32_t StatusUnsuccessful = 0xC0000001;

bool IsError(LONG status)
{
    return (uint32_t(status) >> 30) == 3;
}

NtDeviceIoControlFileRoutine DeviceIoControlRoutine()
{
    HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    return ntdll ? reinterpret_cast<NtDeviceIoControlFileRoutine>(
                       reinterpret_cast<void*>(GetProcAddress(ntdll, "NtDeviceIoControlFile")))
                 : nullptr;
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
        reply.Status = StatusUnsuccessful;
        NtDeviceIoControlFileRoutine send = DeviceIoControlRoutine();
        HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        if (!send || !event) {
            if (event)
                CloseHandle(event);
            return reply;
        }
        std::vector<uint8_t> output(outputLength);
        StatusBlock ioStatus = {};
        LONG status =
            send(device_, event, nullptr, nullptr, &ioStatus, code,
                 input.empty() ? nullptr : const_cast<uint8_t*>(input.data()), ULONG(input.size()),
                 output.empty() ? nullptr : output.data(), outputLength);
        if (status == StatusPending) {
            WaitForSingleObject(event, INFINITE);
            status = ioStatus.Status;
        }
        CloseHandle(event);
        // The block was written only if the request was not refused at once.
        size_t returned = IsError(status) ? 0 : ioStatus.Information;
        reply.Status = uint32_t(status);
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
