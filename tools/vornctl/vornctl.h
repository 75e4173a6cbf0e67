// vornctl, the configuration utility: its commands over the client library.
// The same code runs as vornctl.exe on Windows (DeviceIoControl on
// \\.\VORN) and inside vornsim as `ctl` (the hosted I/O manager), so both
// print exactly the same lines for the same arguments.
#pragma once

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

// What only some ways of running vornctl can do; an empty member means the
// feature is not there.
struct Platform {
    // The rectangle of monitor N in 0..65536 units of the virtual desktop.
    std::function<bool(int monitor, vorn::ScreenRect* rect, std::string* why)> MonitorRect;
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
