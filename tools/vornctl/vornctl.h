// vornctl, the configuration utility: its commands over the client library.
// The same code runs as vornctl.exe on Windows (DeviceIoControl on
// \\.\VORN) and inside vornsim as `ctl` (the hosted I/O manager), so both
// print exactly the same lines for the same arguments.
#pragma once

#include "client/calibration.h"
#include "client/vorn_client.h"

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace vornctl {

// Exit statuses.
constexpr int ExitOk = 0;
constexpr int ExitRefused = 1; // the driver, or the state of the system, refused
constexpr int ExitUsage = 2;   // the arguments are wrong

// Opens the control device. On failure returns null and sets `error` to the
// one-line reason.
using Connector = std::function<std::unique_ptr<vorn::Transport>(std::string& error)>;

// Receives each line the command prints, without its line end.
using LineSink = std::function<void(const std::string& line)>;

struct Result {
    int Exit = ExitOk;
    std::string Error; // one line, set when Exit is not ExitOk
};

// The screen and the finger of a calibration: on Windows a full-screen
// window on the device's monitor, in vornsim a simulated user at a panel.
class CalibrationUi {
public:
    virtual ~CalibrationUi() = default;
    // Shows target `index` (from 0) of `count` at `target`, in output units
    // of the device's own screen (0..65536 from the left and top edges).
    virtual void ShowTarget(size_t index, size_t count, vorn::calibration::ScreenPoint target) = 0;
    // Shows, with the next target, why the last touch was not taken as it
    // was (one line, empty when it was).
    virtual void Explain(const std::string& why) { (void)why; }
    // Waits for one tap: the record positions seen while the finger was
    // down. False when the user cancelled or no touch came in time, with
    // the reason in `why`.
    virtual bool WaitForTap(std::vector<vorn::calibration::ScreenPoint>* positions,
                            std::string* why) = 0;
};

// What a calibration UI is opened for.
struct CalibrationTarget {
    vorn::ControlClient* Client;
    uint32_t Handle;
    vorn::ScreenRect Screen; // the device's rectangle as it was; none: primary
};

// What only some ways of running vornctl can do; an empty member means the
// feature is not there.
struct Platform {
    // The rectangle of monitor N, counted from 1 as Display Properties
    // numbers the monitors, in 0..65536 units of the virtual desktop.
    std::function<bool(int monitor, vorn::ScreenRect* rect, std::string* why)> MonitorRect;
    // A screen to calibrate on; null with `why` when there is none.
    std::function<std::unique_ptr<CalibrationUi>(const CalibrationTarget& target, std::string* why)>
        OpenCalibration;
};

// Runs `vornctl ARGS...` (args without the program name).
Result Run(const std::vector<std::string>& args, const Connector& connect, const LineSink& print);
Result Run(const std::vector<std::string>& args, const Connector& connect, const LineSink& print,
           const Platform& platform);

// The usage text, one entry a line.
std::vector<std::string> UsageLines();

// The reason line for a failed open of \\.\VORN, from the Win32 error.
std::string CannotOpenMessage(unsigned long win32Error);

} // namespace vornctl
