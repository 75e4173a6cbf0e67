#include "tools/vornctl/session.h"

#include "control/request_codes.h"

#include <cstdio>
#include <cstdlib>

namespace vornctl {
namespace detail {

using vorn::Answer;
using vorn::ParameterBlock;

[[noreturn]] void UsageError(const std::string& why)
{
    throw Failure{ExitUsage, why};
}

[[noreturn]] void Refuse(const std::string& why)
{
    throw Failure{ExitRefused, why};
}

std::string Hex32(uint32_t value)
{
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", unsigned(value));
    return text;
}

namespace {

struct StatusMeaning {
    uint32_t Status;
    const char* Words;
};

// The statuses a request of vornctl can come back with, from the driver, the
// I/O manager or the serial port below the driver.
const StatusMeaning StatusMeanings[] = {
    {0x00000000, "success"},
    {0x00000102, "timeout: the wait was ended by another"},
    {0x00000103, "pending"},
    {0xC0000001, "unsuccessful: the driver refused the request"},
    {0xC0000002, "not implemented"},
    {0xC0000008, "invalid handle"},
    {0xC000000D, "invalid parameter"},
    {0xC000000E, "no such device"},
    {0xC0000010, "invalid device request: the device does not take this request"},
    {0xC0000022, "access denied"},
    {0xC0000023, "buffer too small"},
    {0xC0000033, "object name invalid: not a name of a port"},
    {0xC0000034, "object name not found: there is no port of that name"},
    {0xC000003A, "object path not found: there is no port of that name"},
    {0xC0000043, "sharing violation: another program has the port open"},
    {0xC0000056, "delete pending: the device is going away"},
    {0xC000009A, "insufficient resources: out of memory"},
    {0xC000009D, "device not connected: the port went away"},
    {0xC00000B5, "I/O timeout"},
    {0xC00000BB, "not supported"},
    {0xC0000120, "cancelled"},
    {0xC0000184, "invalid device state"},
};

} // namespace

std::string StatusText(uint32_t status)
{
    for (const StatusMeaning& m : StatusMeanings)
        if (m.Status == status)
            return Hex32(status) + " (" + m.Words + ")";
    return Hex32(status) + (status >> 30 == 3 ? " (an error status)" : " (a status)");
}

std::string DriverAnswered(uint32_t status)
{
    return "the driver answered " + StatusText(status);
}

// ---- numbers ---------------------------------------------------------------

// Decimal, or hex with 0x; an optional '-' only where `low` is negative.
int64_t ParseNumber(const std::string& text, const std::string& what, int64_t low, int64_t high)
{
    bool negative = !text.empty() && text[0] == '-';
    std::string digits = negative ? text.substr(1) : text;
    bool hex = digits.size() > 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X');
    const char* allowed = hex ? "0123456789abcdefABCDEF" : "0123456789";
    std::string body = hex ? digits.substr(2) : digits;
    if (body.empty() || body.size() > 20 || body.find_first_not_of(allowed) != std::string::npos)
        UsageError(what + ": not a number: " + text);
    unsigned long long magnitude = std::strtoull(body.c_str(), nullptr, hex ? 16 : 10);
    if (magnitude > (1ull << 32) || (body.size() > 10 && !hex) || (hex && body.size() > 16))
        UsageError(what + ": out of range: " + text);
    int64_t value = negative ? -int64_t(magnitude) : int64_t(magnitude);
    if (value < low || value > high) {
        UsageError(what + ": out of range " + std::to_string(low) + ".." + std::to_string(high) +
                   ": " + text);
    }
    return value;
}

uint32_t ParseCount(const std::string& text, const std::string& what, uint32_t low, uint32_t high)
{
    return uint32_t(ParseNumber(text, what, low, high));
}

// ---- names of ports and paths ----------------------------------------------

std::string CheckedPortName(const std::string& name)
{
    if (name.empty())
        UsageError("port name is empty");
    if (name.size() > MaxPortNameLength)
        UsageError("port name too long: at most " + std::to_string(MaxPortNameLength) +
                   " characters, the registry keeps no more: " + name);
    for (char c : name) {
        bool ok = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                  c == '_' || c == '-' || c == '.';
        if (!ok)
            UsageError("port name must be letters, digits, '_', '-' or '.': " + name);
    }
    return name;
}

std::u16string CheckedPortPath(const std::string& path)
{
    if (path.empty())
        UsageError("path is empty");
    if (path.size() > MaxPortPathLength)
        UsageError("path too long: at most " + std::to_string(MaxPortPathLength) + " characters");
    std::u16string wide;
    for (char c : path) {
        if (c < 0x21 || c > 0x7E)
            UsageError("path must be printable ASCII without spaces");
        wide += char16_t(c);
    }
    return wide;
}

bool ParseSwitch(const std::string& text)
{
    if (text == "on")
        return true;
    if (text == "off")
        return false;
    UsageError("expected on or off, not " + text);
}

// ---- devices ---------------------------------------------------------------

const char* const DeviceForms = "a port name such as COM1 (any letter case), an interface link "
                                "\\??\\..., port:I or dyn:I (the I-th device of that list, "
                                "newest first) or a handle 0x...";

DeviceRef ParseDevice(const std::string& text)
{
    auto indexAfter = [&](size_t prefix) {
        return ParseCount(text.substr(prefix), "device index", 0, 0xFFFF);
    };
    if (text.rfind("port:", 0) == 0)
        return {DeviceRef::Kind::Port, indexAfter(5), ""};
    if (text.rfind("dyn:", 0) == 0)
        return {DeviceRef::Kind::Dynamic, indexAfter(4), ""};
    if (text.rfind("0x", 0) == 0 || text.rfind("0X", 0) == 0)
        return {DeviceRef::Kind::Handle, uint32_t(ParseNumber(text, "handle", 1, 0xFFFFFFFF)), ""};
    bool printable = !text.empty() && text.size() <= MaxPortPathLength;
    for (char c : text)
        printable = printable && c > 0x20 && c < 0x7F;
    if (!printable)
        UsageError(std::string("a device is ") + DeviceForms + ": " + text);
    return {DeviceRef::Kind::Named, 0, text};
}

std::string DeviceText(const Device& d)
{
    return d.Name + " handle=" + Hex32(d.Handle);
}

std::vector<uint32_t> Handles(Session& s, bool dynamic)
{
    Answer<std::vector<uint32_t>> handles =
        dynamic ? s.Client.DynamicDeviceHandles() : s.Client.PortDeviceHandles();
    if (!handles.Ok())
        Refuse("cannot list the touch devices: " + DriverAnswered(handles.Status));
    return handles.Value;
}

std::vector<Device> ListOf(Session& s, bool dynamic)
{
    std::vector<Device> devices;
    std::vector<uint32_t> handles = Handles(s, dynamic);
    for (size_t i = 0; i < handles.size(); ++i)
        devices.push_back({(dynamic ? "dyn:" : "port:") + std::to_string(i), handles[i], dynamic});
    return devices;
}

std::vector<Device> AllDevices(Session& s)
{
    std::vector<Device> devices = ListOf(s, false);
    std::vector<Device> dynamic = ListOf(s, true);
    devices.insert(devices.end(), dynamic.begin(), dynamic.end());
    return devices;
}

std::string Lowered(std::string text)
{
    for (char& c : text)
        if (c >= 'A' && c <= 'Z')
            c = char(c - 'A' + 'a');
    return text;
}

namespace {

// The link as the kernel names it: the Win32 form \\?\ becomes \??\.
std::string KernelLink(const std::string& text)
{
    if (text.rfind("\\\\?\\", 0) == 0)
        return "\\??\\" + text.substr(4);
    return text;
}

// The devices whose port name or interface link is `text`, letter case
// aside, as Windows compares object names.
std::vector<Device> DevicesNamed(Session& s, const std::string& text)
{
    std::string wanted = Lowered(KernelLink(text));
    std::vector<Device> found;
    for (const Device& d : AllDevices(s)) {
        std::string port = PortNameOf(s, d);
        if (port != "-" && Lowered(port) == wanted)
            found.push_back(d);
    }
    return found;
}

Device ResolveNamed(Session& s, const std::string& text)
{
    std::vector<Device> found = DevicesNamed(s, text);
    if (found.empty())
        Refuse("no device on " + text + " (vornctl list shows the port of each)");
    if (found.size() > 1) {
        std::string names;
        for (const Device& d : found)
            names += (names.empty() ? "" : ", ") + d.Name;
        Refuse(text + " names " + std::to_string(found.size()) + " devices (" + names +
               "); name one by port:I, dyn:I or its handle");
    }
    return found[0];
}

} // namespace

Device Resolve(Session& s, const DeviceRef& ref)
{
    if (ref.Type == DeviceRef::Kind::Named)
        return ResolveNamed(s, ref.Text);
    if (ref.Type == DeviceRef::Kind::Handle) {
        for (const Device& d : AllDevices(s))
            if (d.Handle == ref.Value)
                return d;
        Refuse("no such device " + Hex32(ref.Value));
    }
    bool dynamic = ref.Type == DeviceRef::Kind::Dynamic;
    std::vector<Device> devices = ListOf(s, dynamic);
    if (ref.Value >= devices.size()) {
        std::string name = (dynamic ? "dyn:" : "port:") + std::to_string(ref.Value);
        Refuse("no such device " + name + " (the " + (dynamic ? "dynamic" : "port") +
               " list holds " + std::to_string(devices.size()) + ")");
    }
    return devices[ref.Value];
}

// "-" when the device has no port name (a dynamic device made from a path).
// A dynamic device made for an interface holds the link without its "\??\";
// the user sees, and names it by, the whole link.
std::string PortNameOf(Session& s, const Device& d)
{
    Answer<std::string> name = s.Client.PortName(d.Handle);
    if (!name.Ok())
        Refuse("cannot read the port name of " + d.Name + ": " + DriverAnswered(name.Status));
    // A name copied with its terminating null carries it at the end.
    while (!name.Value.empty() && name.Value.back() == '\0')
        name.Value.pop_back();
    if (name.Value.empty())
        return "-";
    if (d.Dynamic)
        name.Value = "\\??\\" + name.Value;
    // The name comes from the registry or another program: it is shown, never
    // allowed to break a line.
    for (char& c : name.Value)
        if (c < 0x20 || c == 0x7F)
            c = '?';
    return name.Value;
}

uint32_t StateOf(Session& s, const Device& d)
{
    Answer<uint32_t> state = s.Client.DeviceState(d.Handle);
    if (!state.Ok())
        Refuse("cannot read the state of " + d.Name + ": " + DriverAnswered(state.Status));
    return state.Value;
}

ParameterBlock BlockOf(Session& s, const Device& d)
{
    Answer<ParameterBlock> block = s.Client.ReadParameters(d.Handle);
    if (!block.Ok())
        Refuse("cannot read the settings of " + d.Name + ": " + DriverAnswered(block.Status));
    block.Value.Handle = d.Handle;
    return block.Value;
}

vorn::ScreenRect RectOf(Session& s, const Device& d)
{
    Answer<vorn::ScreenRect> rect = s.Client.GetScreenRect(d.Handle);
    if (!rect.Ok())
        Refuse("cannot read the screen rectangle of " + d.Name + ": " +
               DriverAnswered(rect.Status));
    return rect.Value;
}

std::string RectText(const vorn::ScreenRect& r)
{
    if (!r.IsSet())
        return "none";
    return std::to_string(r.Left) + " " + std::to_string(r.Top) + " " + std::to_string(r.Right) +
           " " + std::to_string(r.Bottom);
}

} // namespace detail
} // namespace vornctl
