// The calibration screen on Windows: a full-screen window on the device's
// monitor showing one target at a time. A touch is seen through the event
// request (both touch and lift are selected while calibrating) and read at
// the pointer position while the finger is down. Esc, or 15 seconds without
// a touch, cancels.
#include "tools/vornctl/win32_calibration.h"

#include "control/request_codes.h"

#include <windows.h>

namespace {

constexpr DWORD NoTouchTimeoutMs = 15000;
constexpr DWORD SampleIntervalMs = 10;
constexpr DWORD LongestTouchMs = 2000;
constexpr int CrossArm = 30;
constexpr int Ring = 12;
constexpr COLORREF Background = RGB(255, 255, 255);
constexpr COLORREF Ink = RGB(0, 0, 0);
constexpr COLORREF TargetRing = RGB(255, 0, 0);
const char* const WindowClass = "VornCalibration";

constexpr int LineHeight = 24;

// What the window paints: the target in window pixels and a line of text,
// which goes in the half of the screen away from the target; above it, why
// the last touch was refused and where the next one goes, when it was.
struct Scene {
    POINT Target = {-1, -1};
    POINT TextCentre = {0, 0};
    char Text[160] = "";
    char Note[240] = "";
};

LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    auto* scene = reinterpret_cast<Scene*>(GetWindowLongPtrA(window, GWLP_USERDATA));
    if (message == WM_PAINT && scene) {
        PAINTSTRUCT paint;
        HDC dc = BeginPaint(window, &paint);
        RECT area;
        GetClientRect(window, &area);
        HBRUSH white = CreateSolidBrush(Background);
        FillRect(dc, &area, white);
        DeleteObject(white);
        HPEN ink = CreatePen(PS_SOLID, 1, Ink);
        HGDIOBJ old = SelectObject(dc, ink);
        POINT t = scene->Target;
        MoveToEx(dc, t.x - CrossArm, t.y, nullptr);
        LineTo(dc, t.x + CrossArm + 1, t.y);
        MoveToEx(dc, t.x, t.y - CrossArm, nullptr);
        LineTo(dc, t.x, t.y + CrossArm + 1);
        HPEN red = CreatePen(PS_SOLID, 3, TargetRing);
        SelectObject(dc, red);
        SelectObject(dc, GetStockObject(NULL_BRUSH));
        Ellipse(dc, t.x - Ring, t.y - Ring, t.x + Ring + 1, t.y + Ring + 1);
        SelectObject(dc, old);
        DeleteObject(ink);
        DeleteObject(red);
        SetBkMode(dc, TRANSPARENT);
        SetTextAlign(dc, TA_CENTER | TA_BASELINE);
        TextOutA(dc, scene->TextCentre.x, scene->TextCentre.y, scene->Text,
                 int(lstrlenA(scene->Text)));
        if (scene->Note[0])
            TextOutA(dc, scene->TextCentre.x, scene->TextCentre.y - LineHeight, scene->Note,
                     int(lstrlenA(scene->Note)));
        EndPaint(window, &paint);
        return 0;
    }
    return DefWindowProcA(window, message, wParam, lParam);
}

class WindowsCalibrationUi : public vornctl::CalibrationUi {
public:
    WindowsCalibrationUi(HANDLE device, RECT monitor, HWND window)
        : device_(device), monitor_(monitor), window_(window)
    {
        SetWindowLongPtrA(window_, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(&scene_));
    }

    ~WindowsCalibrationUi() override
    {
        DestroyWindow(window_);
        CloseHandle(device_);
    }

    void Explain(const std::string& why) override
    {
        lstrcpynA(scene_.Note, why.c_str(), int(sizeof scene_.Note));
    }

    void ShowTarget(size_t index, size_t count, vorn::calibration::ScreenPoint target) override
    {
        LONG width = monitor_.right - monitor_.left, height = monitor_.bottom - monitor_.top;
        scene_.Target.x = LONG(LONGLONG(target.X) * width / 65536);
        scene_.Target.y = LONG(LONGLONG(target.Y) * height / 65536);
        scene_.TextCentre.x = width / 2;
        scene_.TextCentre.y = scene_.Target.y < height / 2 ? height * 3 / 4 : height / 4;
        wsprintfA(scene_.Text, "Touch the centre of target %u of %u. Esc cancels.",
                  unsigned(index + 1), unsigned(count));
        InvalidateRect(window_, nullptr, TRUE);
        UpdateWindow(window_);
    }

    bool WaitForTap(std::vector<vorn::calibration::ScreenPoint>* positions,
                    std::string* why) override
    {
        positions->clear();
        if (!WaitForEvent(NoTouchTimeoutMs, why)) // the finger lands
            return false;
        // Until the lift, sample where the pointer is. A lift that came before
        // this wait was issued is never reported, so the samples also end
        // after a while: a finger held that long has given enough of them.
        OVERLAPPED lift = {};
        if (!StartEventWait(&lift, why))
            return false;
        for (DWORD started = GetTickCount(); GetTickCount() - started < LongestTouchMs;) {
            positions->push_back(PointerPosition());
            DWORD woke =
                MsgWaitForMultipleObjects(1, &lift.hEvent, FALSE, SampleIntervalMs, QS_ALLINPUT);
            if (woke == WAIT_OBJECT_0)
                break;
            if (woke == WAIT_OBJECT_0 + 1 && !PumpMessages(why)) {
                EndEventWait(&lift);
                return false;
            }
        }
        EndEventWait(&lift);
        return true;
    }

private:
    bool StartEventWait(OVERLAPPED* overlapped, std::string* why)
    {
        overlapped->hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        DWORD returned = 0;
        if (!DeviceIoControl(device_, IoctlWaitButtonEvent, nullptr, 0, nullptr, 0, &returned,
                             overlapped) &&
            GetLastError() != ERROR_IO_PENDING) {
            *why = "the driver refused the wait for a touch";
            CloseHandle(overlapped->hEvent);
            return false;
        }
        return true;
    }

    void EndEventWait(OVERLAPPED* overlapped)
    {
        DWORD returned = 0;
        CancelIo(device_);
        GetOverlappedResult(device_, overlapped, &returned, TRUE);
        CloseHandle(overlapped->hEvent);
    }

    bool WaitForEvent(DWORD timeoutMs, std::string* why)
    {
        OVERLAPPED touch = {};
        if (!StartEventWait(&touch, why))
            return false;
        DWORD started = GetTickCount();
        for (;;) {
            DWORD elapsed = GetTickCount() - started;
            if (elapsed >= timeoutMs) {
                *why = "no touch for 15 seconds";
                EndEventWait(&touch);
                return false;
            }
            DWORD woke = MsgWaitForMultipleObjects(1, &touch.hEvent, FALSE, timeoutMs - elapsed,
                                                   QS_ALLINPUT);
            if (woke == WAIT_OBJECT_0)
                break;
            if (woke == WAIT_OBJECT_0 + 1 && !PumpMessages(why)) {
                EndEventWait(&touch);
                return false;
            }
        }
        EndEventWait(&touch);
        return true;
    }

    // False once Esc was pressed.
    bool PumpMessages(std::string* why)
    {
        MSG message;
        while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
            if (message.message == WM_KEYDOWN && message.wParam == VK_ESCAPE) {
                *why = "Esc pressed";
                return false;
            }
            TranslateMessage(&message);
            DispatchMessageA(&message);
        }
        return true;
    }

    // While calibrating the device has no rectangle, so its records land on
    // the primary monitor: the pointer there, back in record units.
    static vorn::calibration::ScreenPoint PointerPosition()
    {
        POINT p;
        GetCursorPos(&p);
        LONGLONG width = GetSystemMetrics(SM_CXSCREEN), height = GetSystemMetrics(SM_CYSCREEN);
        return {int32_t((p.x * 65536 + width / 2) / width),
                int32_t((p.y * 65536 + height / 2) / height)};
    }

    HANDLE device_;
    RECT monitor_;
    HWND window_;
    Scene scene_;
};

// The device's monitor: the one its rectangle covers, else the primary.
RECT MonitorOf(const vorn::ScreenRect& screen)
{
    RECT primary = {0, 0, GetSystemMetrics(SM_CXSCREEN), GetSystemMetrics(SM_CYSCREEN)};
    if (!screen.IsSet())
        return primary;
    LONGLONG left = GetSystemMetrics(SM_XVIRTUALSCREEN), top = GetSystemMetrics(SM_YVIRTUALSCREEN);
    LONGLONG width = GetSystemMetrics(SM_CXVIRTUALSCREEN);
    LONGLONG height = GetSystemMetrics(SM_CYVIRTUALSCREEN);
    POINT centre = {LONG(left + (LONGLONG(screen.Left) + screen.Right) / 2 * width / 65536),
                    LONG(top + (LONGLONG(screen.Top) + screen.Bottom) / 2 * height / 65536)};
    MONITORINFO info = {};
    info.cbSize = sizeof info;
    if (!GetMonitorInfoA(MonitorFromPoint(centre, MONITOR_DEFAULTTOPRIMARY), &info))
        return primary;
    return info.rcMonitor;
}

HWND CreateCalibrationWindow(const RECT& monitor)
{
    WNDCLASSA windowClass = {};
    windowClass.lpfnWndProc = WindowProc;
    windowClass.hInstance = GetModuleHandleA(nullptr);
    windowClass.hCursor = LoadCursor(nullptr, IDC_CROSS);
    windowClass.lpszClassName = WindowClass;
    RegisterClassA(&windowClass); // fails harmlessly when already registered
    HWND window = CreateWindowExA(WS_EX_TOPMOST, WindowClass, "vorn calibration",
                                  WS_POPUP | WS_VISIBLE, monitor.left, monitor.top,
                                  monitor.right - monitor.left, monitor.bottom - monitor.top,
                                  nullptr, nullptr, windowClass.hInstance, nullptr);
    if (window)
        SetForegroundWindow(window);
    return window;
}

} // namespace

std::unique_ptr<vornctl::CalibrationUi>
OpenWindowsCalibration(const vornctl::CalibrationTarget& target, std::string* why)
{
    HANDLE device =
        CreateFileA("\\\\.\\VORN", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                    nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    if (device == INVALID_HANDLE_VALUE) {
        *why = vornctl::CannotOpenMessage(GetLastError());
        return nullptr;
    }
    RECT monitor = MonitorOf(target.Screen);
    HWND window = CreateCalibrationWindow(monitor);
    if (!window) {
        CloseHandle(device);
        *why =
            "cannot create the calibration window (error " + std::to_string(GetLastError()) + ")";
        return nullptr;
    }
    return std::make_unique<WindowsCalibrationUi>(device, monitor, window);
}
