// What vornctl's commands share: failures, numbers, devices by name, and
// the requests every command reads its device through.
#pragma once

#include "client/vorn_client.h"
#include "tools/vornctl/vornctl.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace vornctl {
namespace detail {

// Ends a command with its exit status and one line saying why.
struct Failure {
    int Exit;
    std::string Why;
};

[[noreturn]] void UsageError(const std::string& why);
[[noreturn]] void Refuse(const std::string& why);

std::string Hex32(uint32_t value);
// A status as the user reads it: its hex and what it means, in words.
std::string StatusText(uint32_t status);
std::string DriverAnswered(uint32_t status);

// Decimal, or hex with 0x; an optional '-' only where `low` is negative.
int64_t ParseNumber(const std::string& text, const std::string& what, int64_t low, int64_t high);
uint32_t ParseCount(const std::string& text, const std::string& what, uint32_t low, uint32_t high);

// The registry keeps a port name of up to 31 characters; a longer one would
// make the next load stop reading the configured devices at its key.
constexpr size_t MaxPortNameLength = 31;
// A dynamic device keeps a path of up to 128 characters.
constexpr size_t MaxPortPathLength = 128;

// ASCII letters in lower case: names of ports and settings compare so.
std::string Lowered(std::string text);

std::string CheckedPortName(const std::string& name);
std::u16string CheckedPortPath(const std::string& path);
bool ParseSwitch(const std::string& text);

// A device as named on the command line: port:I, dyn:I, a handle 0x..., or
// the name of its port (COM1, any letter case) or its interface link.
struct DeviceRef {
    enum class Kind { Port, Dynamic, Handle, Named } Type;
    uint32_t Value = 0; // the index, or the handle
    std::string Text;   // the port name or link, for Named
};

// What `help` and the refusals say a DEV may be.
extern const char* const DeviceForms;

DeviceRef ParseDevice(const std::string& text);

// A device of one of the two lists.
struct Device {
    std::string Name; // port:I or dyn:I
    uint32_t Handle;
    bool Dynamic;
};

std::string DeviceText(const Device& d);

struct Session {
    vorn::ControlClient& Client;
    const LineSink& Print;
    const vornctl::Platform& Features;
};

using Action = std::function<void(Session&)>;

std::vector<uint32_t> Handles(Session& s, bool dynamic);
std::vector<Device> ListOf(Session& s, bool dynamic);
std::vector<Device> AllDevices(Session& s);
Device Resolve(Session& s, const DeviceRef& ref);
// The port as the user names it: the port name of a configured device, the
// interface link of a dynamic one; "-" when there is none; never a control
// character.
std::string PortNameOf(Session& s, const Device& d);
uint32_t StateOf(Session& s, const Device& d);
vorn::ParameterBlock BlockOf(Session& s, const Device& d);
vorn::ScreenRect RectOf(Session& s, const Device& d);
std::string RectText(const vorn::ScreenRect& r);

template <typename T> T Need(const vorn::Answer<T>& answer, const char* what)
{
    if (!answer.Ok())
        Refuse(std::string("cannot read ") + what + ": " + DriverAnswered(answer.Status));
    return answer.Value;
}

// MouseMode bits.
constexpr uint32_t ClickAssistOff = 0x00000001u;
constexpr uint32_t EventOnUp = 0x10000000u;
constexpr uint32_t EventOnDown = 0x20000000u;
constexpr uint32_t RightButtonMode = 0x80000000u;

// calibrate.cpp
Action CalibrateCommand(const std::vector<std::string>& args);

} // namespace detail
} // namespace vornctl
