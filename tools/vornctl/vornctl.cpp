#include "tools/vornctl/vornctl.h"

#include "tools/vornctl/session.h"

#include "control/request_codes.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <set>
#include <utility>

namespace vornctl {
namespace {

using namespace detail;
using vorn::Answer;
using vorn::ControlClient;
using vorn::ParameterBlock;

// ---- the parameter block by name -------------------------------------------

enum class Width { I32, U32, U16 };

struct FieldRef {
    std::string Name;
    Width Type;
    void* Storage;
    bool Settable;
};

std::vector<FieldRef> BlockFields(ParameterBlock& b)
{
    std::vector<FieldRef> fields = {
        {"LLX", Width::I32, &b.LLX, true},
        {"LLY", Width::I32, &b.LLY, true},
        {"LRX", Width::I32, &b.LRX, true},
        {"LRY", Width::I32, &b.LRY, true},
        {"URX", Width::I32, &b.URX, true},
        {"URY", Width::I32, &b.URY, true},
        {"ULX", Width::I32, &b.ULX, true},
        {"ULY", Width::I32, &b.ULY, true},
        {"BaudRate", Width::U32, &b.BaudRate, true},
        {"ModeStatus", Width::U32, &b.ModeStatus, false},
        {"Mode", Width::U32, &b.Mode, true},
        {"XDeviation", Width::U32, &b.XDeviation, true},
        {"YDeviation", Width::U32, &b.YDeviation, true},
        {"SelDelay", Width::U32, &b.SelDelay, true},
        {"ClickDelay", Width::U32, &b.ClickDelay, true},
        {"CalFlags", Width::U16, &b.CalFlags, true},
        {"CalAux", Width::U16, &b.CalAux, true},
    };
    const char* corners[] = {"LLX", "LLY", "LRX", "LRY", "URX", "URY", "ULX", "ULY"};
    for (int i = 0; i < 8; ++i)
        fields.push_back({std::string("Grid") + corners[i], Width::I32, &b.GridCorners[i], true});
    for (int i = 0; i < 25; ++i)
        fields.push_back({"GridX" + std::to_string(i), Width::I32, &b.GridX[i], true});
    for (int i = 0; i < 25; ++i)
        fields.push_back({"GridY" + std::to_string(i), Width::I32, &b.GridY[i], true});
    return fields;
}

int64_t ReadField(const FieldRef& f)
{
    switch (f.Type) {
    case Width::I32:
        return *static_cast<int32_t*>(f.Storage);
    case Width::U32:
        return *static_cast<uint32_t*>(f.Storage);
    case Width::U16:
        return *static_cast<uint16_t*>(f.Storage);
    }
    return 0;
}

void WriteField(const FieldRef& f, int64_t value)
{
    switch (f.Type) {
    case Width::I32:
        *static_cast<int32_t*>(f.Storage) = int32_t(value);
        break;
    case Width::U32:
        *static_cast<uint32_t*>(f.Storage) = uint32_t(value);
        break;
    case Width::U16:
        *static_cast<uint16_t*>(f.Storage) = uint16_t(value);
        break;
    }
}

std::pair<int64_t, int64_t> RangeOf(Width type)
{
    switch (type) {
    case Width::I32:
        return {INT32_MIN, INT32_MAX};
    case Width::U32:
        return {0, UINT32_MAX};
    case Width::U16:
        return {0, UINT16_MAX};
    }
    return {0, 0};
}

// Name=value arguments, each name once.
std::vector<std::pair<std::string, std::string>> Assignments(const std::vector<std::string>& args,
                                                             size_t from)
{
    std::vector<std::pair<std::string, std::string>> pairs;
    std::set<std::string> seen;
    for (size_t i = from; i < args.size(); ++i) {
        size_t equals = args[i].find('=');
        if (equals == std::string::npos || equals == 0)
            UsageError("expected Name=value, not " + args[i]);
        std::string name = args[i].substr(0, equals);
        if (!seen.insert(name).second)
            UsageError(name + " is given twice");
        pairs.emplace_back(name, args[i].substr(equals + 1));
    }
    return pairs;
}

struct FieldValue {
    std::string Name;
    int64_t Value;
};

std::vector<FieldValue> ParseBlockAssignments(const std::vector<std::string>& args, size_t from)
{
    ParameterBlock scratch;
    std::vector<FieldRef> fields = BlockFields(scratch);
    std::vector<FieldValue> values;
    for (const auto& [name, text] : Assignments(args, from)) {
        const FieldRef* field = nullptr;
        for (const FieldRef& f : fields)
            if (f.Name == name)
                field = &f;
        if (name == "Port")
            UsageError("Port is set with set-port DEV PORT");
        if (name == "SwapXY" || name == "GridEnabled")
            UsageError(name + " is set with " + (name == "SwapXY" ? "swap" : "grid") +
                       " DEV on|off");
        if (!field)
            UsageError("unknown setting " + name + " (vornctl show DEV lists them)");
        if (!field->Settable)
            UsageError(name + " is read only");
        auto range = RangeOf(field->Type);
        values.push_back({name, ParseNumber(text, name, range.first, range.second)});
    }
    return values;
}

// ---- commands --------------------------------------------------------------

struct Command {
    const char* Name;
    size_t MinArgs, MaxArgs; // after the command name; SIZE_MAX: any number
    const char* Usage;
    Action (*Prepare)(const std::vector<std::string>& args);
};

Action ListCommand(const std::vector<std::string>&)
{
    return [](Session& s) {
        std::vector<Device> devices = AllDevices(s);
        if (devices.empty())
            s.Print("no touch devices");
        for (const Device& d : devices) {
            uint32_t state = StateOf(s, d);
            bool open = (state & DeviceStatePortOpen) != 0;
            std::string why = (state & DeviceStatePortNameTooLong)
                                  ? " (its port name in the registry is longer than 31 characters)"
                                  : "";
            s.Print(DeviceText(d) + " kind=" + (d.Dynamic ? "dynamic" : "configured") +
                    " port=" + PortNameOf(s, d) + " open=" + (open ? "yes" : "no") + why);
        }
    };
}

Action ShowCommand(const std::vector<std::string>& args)
{
    DeviceRef ref = ParseDevice(args[1]);
    return [ref](Session& s) {
        Device d = Resolve(s, ref);
        ParameterBlock block = BlockOf(s, d);
        for (const FieldRef& f : BlockFields(block))
            s.Print(f.Name + "=" + std::to_string(ReadField(f)));
        s.Print("Port=" + PortNameOf(s, d));
        s.Print("Screen=" + RectText(RectOf(s, d)));
        uint32_t state = StateOf(s, d);
        s.Print(std::string("SwapXY=") + ((state & DeviceStateSwapXY) ? "1" : "0"));
        s.Print(std::string("GridEnabled=") + ((state & DeviceStateGridEnabled) ? "1" : "0"));
        s.Print(std::string("PortOpen=") + ((state & DeviceStatePortOpen) ? "1" : "0"));
        s.Print(std::string("ParametersLoaded=") +
                ((state & DeviceStateParametersLoaded) ? "1" : "0"));
    };
}

// The handle a creation answered; refused when the driver made no device.
uint32_t CreatedHandle(const Answer<uint32_t>& created, const std::string& what)
{
    if (!created.Ok())
        Refuse("cannot add a device for " + what + ": " + DriverAnswered(created.Status));
    if (created.Value == 0)
        Refuse("cannot add a device for " + what +
               ": the driver made none (out of memory or device objects)");
    return created.Value;
}

// A new device goes to the head of its list.
Action AddCommand(const std::vector<std::string>& args)
{
    std::string name = CheckedPortName(args[1]);
    return [name](Session& s) {
        uint32_t handle = CreatedHandle(s.Client.CreatePortDevice(name), name);
        s.Print("added " + DeviceText({"port:0", handle, false}) + " port=" + name);
    };
}

Action AddPathCommand(const std::vector<std::string>& args)
{
    std::string text = args[1];
    std::u16string path = CheckedPortPath(text);
    return [text, path](Session& s) {
        uint32_t handle = CreatedHandle(s.Client.CreateDynamicDevice(path), text);
        s.Print("added " + DeviceText({"dyn:0", handle, true}) + " path=" + text);
    };
}

Action RemoveCommand(const std::vector<std::string>& args)
{
    DeviceRef ref = ParseDevice(args[1]);
    return [ref](Session& s) {
        Device d = Resolve(s, ref);
        uint32_t status = d.Dynamic ? s.Client.RemoveDynamicDevice(d.Handle)
                                    : s.Client.RemovePortDevice(d.Handle);
        if (status != vorn::StatusSuccess)
            Refuse("cannot remove " + d.Name + ": " + DriverAnswered(status));
        s.Print("removed " + DeviceText(d));
    };
}

Action OpenCloseCommand(const std::vector<std::string>& args)
{
    bool open = args[0] == "open";
    DeviceRef ref = ParseDevice(args[1]);
    return [open, ref](Session& s) {
        Device d = Resolve(s, ref);
        uint32_t status = open ? s.Client.OpenPort(d.Handle) : s.Client.ClosePort(d.Handle);
        if (status != vorn::StatusSuccess) {
            std::string port = PortNameOf(s, d);
            Refuse(std::string("cannot ") + (open ? "open" : "close") + " the port of " + d.Name +
                   " (" + port + "): " + DriverAnswered(status) +
                   (open ? "; is the port present and not in use?" : ""));
        }
        s.Print(d.Name + (open ? " open" : " closed"));
    };
}

Action SetPortCommand(const std::vector<std::string>& args)
{
    DeviceRef ref = ParseDevice(args[1]);
    std::string name = CheckedPortName(args[2]);
    return [ref, name](Session& s) {
        Device d = Resolve(s, ref);
        if (d.Dynamic)
            Refuse("cannot set the port of " + d.Name + ": a dynamic device's port is fixed");
        uint32_t status = s.Client.SetPortName(d.Handle, name);
        if (status != vorn::StatusSuccess)
            Refuse("cannot set the port of " + d.Name + ": " + DriverAnswered(status));
        s.Print(d.Name + " port=" + name + " (used from the next open)");
    };
}

Action SwitchCommand(const std::vector<std::string>& args)
{
    bool swap = args[0] == "swap";
    DeviceRef ref = ParseDevice(args[1]);
    bool on = ParseSwitch(args[2]);
    return [swap, ref, on](Session& s) {
        Device d = Resolve(s, ref);
        uint32_t status =
            swap ? s.Client.SetSwapXY(d.Handle, on) : s.Client.SetGridEnabled(d.Handle, on);
        if (status != vorn::StatusSuccess)
            Refuse("cannot switch " + std::string(swap ? "SwapXY" : "GridEnabled") + " of " +
                   d.Name + ": " + DriverAnswered(status));
        s.Print(d.Name + (swap ? " SwapXY=" : " GridEnabled=") + (on ? "1" : "0"));
    };
}

// Writing the block sets SwapXY and GridEnabled from CalFlags; unless the
// caller named CalFlags, the switches are put back as they were.
void KeepSwitches(Session& s, const Device& d, uint32_t before, uint16_t calFlags)
{
    bool swap = (before & DeviceStateSwapXY) != 0;
    bool grid = (before & DeviceStateGridEnabled) != 0;
    uint32_t status = vorn::StatusSuccess;
    if (swap != ((calFlags & 2) != 0))
        status = s.Client.SetSwapXY(d.Handle, swap);
    if (status == vorn::StatusSuccess && grid != ((calFlags & 1) != 0))
        status = s.Client.SetGridEnabled(d.Handle, grid);
    if (status != vorn::StatusSuccess)
        Refuse("settings of " + d.Name +
               " written, but SwapXY and GridEnabled could not be kept: " + DriverAnswered(status));
}

// map DEV L T R B | map DEV none | (Windows) map DEV monitor N
Action MapCommand(const std::vector<std::string>& args)
{
    DeviceRef ref = ParseDevice(args[1]);
    vorn::ScreenRect rect;
    int monitor = -1;
    if (args.size() == 3 && args[2] == "none") {
    } else if (args.size() == 4 && args[2] == "monitor") {
        monitor = int(ParseCount(args[3], "monitor", 0, 63));
    } else if (args.size() == 6) {
        rect = {ParseCount(args[2], "L", 0, 65536), ParseCount(args[3], "T", 0, 65536),
                ParseCount(args[4], "R", 0, 65536), ParseCount(args[5], "B", 0, 65536)};
        if (rect.Left >= rect.Right || rect.Top >= rect.Bottom)
            UsageError("a rectangle needs L < R and T < B, each 0..65536");
    } else {
        UsageError("usage: vornctl map DEV L T R B | map DEV none | map DEV monitor N");
    }
    return [ref, rect, monitor](Session& s) {
        vorn::ScreenRect chosen = rect;
        if (monitor >= 0) {
            if (!s.Features.MonitorRect)
                Refuse("map DEV monitor N needs the display layout of Windows");
            std::string why;
            if (!s.Features.MonitorRect(monitor, &chosen, &why))
                Refuse(why);
        }
        Device d = Resolve(s, ref);
        uint32_t status = s.Client.SetScreenRect(d.Handle, chosen);
        if (status != vorn::StatusSuccess)
            Refuse("cannot map " + d.Name + ": " + DriverAnswered(status));
        s.Print(d.Name + " screen=" + RectText(chosen));
    };
}

Action SetCommand(const std::vector<std::string>& args)
{
    DeviceRef ref = ParseDevice(args[1]);
    std::vector<FieldValue> values = ParseBlockAssignments(args, 2);
    return [ref, values](Session& s) {
        Device d = Resolve(s, ref);
        uint32_t state = StateOf(s, d);
        ParameterBlock block = BlockOf(s, d);
        std::vector<FieldRef> fields = BlockFields(block);
        bool namesCalFlags = false;
        std::string changed;
        for (const FieldValue& v : values) {
            for (const FieldRef& f : fields)
                if (f.Name == v.Name)
                    WriteField(f, v.Value);
            namesCalFlags = namesCalFlags || v.Name == "CalFlags";
            changed += " " + v.Name + "=" + std::to_string(v.Value);
        }
        uint32_t status = s.Client.WriteParameters(block);
        if (status != vorn::StatusSuccess)
            Refuse("cannot write the settings of " + d.Name + ": " + DriverAnswered(status));
        if (!namesCalFlags)
            KeepSwitches(s, d, state, block.CalFlags);
        s.Print(d.Name + changed + (d.Dynamic ? " (dynamic: not kept in the registry)" : ""));
    };
}

// ---- global settings -------------------------------------------------------

struct Globals {
    vorn::MouseSettings Mouse;
    uint32_t Language = 0, Rotation = 0, NotifyMask = 0;
    vorn::FilterSettings Filter;
};

Globals ReadGlobals(Session& s)
{
    Globals g;
    g.Mouse = Need(s.Client.GetMouseSettings(), "the mouse settings");
    g.Language = Need(s.Client.Language(), "the language");
    g.Rotation = Need(s.Client.Rotation(), "the rotation");
    g.Filter = Need(s.Client.GetFilterSettings(), "the smoothing values");
    g.NotifyMask = Need(s.Client.NotifyMask(), "the notify mask");
    return g;
}

Action GlobalsCommand(const std::vector<std::string>&)
{
    return [](Session& s) {
        Globals g = ReadGlobals(s);
        const vorn::FilterSettings& f = g.Filter;
        s.Print("MouseMode=" + Hex32(g.Mouse.MouseMode));
        s.Print("DoubleClickSpeed=" + std::to_string(g.Mouse.DoubleClickSpeed));
        s.Print("DoubleClickSize=" + std::to_string(g.Mouse.DoubleClickSize));
        s.Print("Language=" + std::to_string(g.Language));
        s.Print("Rotation=" + std::to_string(g.Rotation));
        const std::pair<const char*, int64_t> filter[] = {{"A0", f.A0},
                                                          {"A1", f.A1},
                                                          {"A2", f.A2},
                                                          {"A3", f.A3},
                                                          {"Uppper", f.Uppper},
                                                          {"Low", f.Low},
                                                          {"FilterThreshold", f.FilterThreshold},
                                                          {"Filter", f.Filter}};
        for (const auto& [name, value] : filter)
            s.Print(std::string(name) + "=" + std::to_string(value));
        s.Print("NotifyMask=" + Hex32(g.NotifyMask));
    };
}

struct GlobalChange {
    std::string Name;
    int64_t Value;
};

Action SetGlobalsCommand(const std::vector<std::string>& args)
{
    static const std::set<std::string> registryOnly = {
        "A0", "A1", "A2", "A3", "Uppper", "Low", "FilterThreshold", "Filter"};
    std::vector<GlobalChange> changes;
    for (const auto& [name, text] : Assignments(args, 1)) {
        if (registryOnly.count(name))
            UsageError(name + " comes from the registry only and is read when the driver loads");
        int64_t value;
        if (name == "MouseMode" || name == "Language" || name == "NotifyMask")
            value = ParseNumber(text, name, 0, UINT32_MAX);
        else if (name == "DoubleClickSpeed")
            value = ParseNumber(text, name, 0, 10);
        else if (name == "DoubleClickSize")
            value = ParseNumber(text, name, 0, 0x10000);
        else if (name == "Rotation")
            value = ParseNumber(text, name, 0, 3);
        else
            UsageError("unknown global setting " + name + " (vornctl globals lists them)");
        changes.push_back({name, value});
    }
    return [changes](Session& s) {
        vorn::MouseSettings mouse = Need(s.Client.GetMouseSettings(), "the mouse settings");
        bool mouseChanged = false;
        std::string changed;
        for (const GlobalChange& c : changes) {
            uint32_t status = vorn::StatusSuccess;
            if (c.Name == "MouseMode")
                mouse.MouseMode = uint32_t(c.Value);
            else if (c.Name == "DoubleClickSpeed")
                mouse.DoubleClickSpeed = uint32_t(c.Value);
            else if (c.Name == "DoubleClickSize")
                mouse.DoubleClickSize = int32_t(c.Value);
            else if (c.Name == "Language")
                status = s.Client.SetLanguage(uint32_t(c.Value));
            else if (c.Name == "Rotation")
                status = s.Client.SetRotation(uint32_t(c.Value));
            else if (c.Name == "NotifyMask")
                status = s.Client.SetNotifyMask(uint32_t(c.Value));
            mouseChanged = mouseChanged || c.Name == "MouseMode" || c.Name == "DoubleClickSpeed" ||
                           c.Name == "DoubleClickSize";
            if (status != vorn::StatusSuccess)
                Refuse("cannot set " + c.Name + ": " + DriverAnswered(status));
            changed += (changed.empty() ? "" : " ") + c.Name + "=" + std::to_string(c.Value);
        }
        if (mouseChanged) {
            uint32_t status = s.Client.SetMouseSettings(mouse);
            if (status != vorn::StatusSuccess)
                Refuse("cannot set the mouse settings: " + DriverAnswered(status));
        }
        s.Print(changed);
    };
}

Action RightClickCommand(const std::vector<std::string>&)
{
    return [](Session& s) {
        vorn::MouseSettings mouse = Need(s.Client.GetMouseSettings(), "the mouse settings");
        mouse.MouseMode |= RightButtonMode;
        uint32_t status = s.Client.SetMouseSettings(mouse);
        if (status != vorn::StatusSuccess)
            Refuse("cannot arm the right button: " + DriverAnswered(status));
        s.Print("right button armed for the next touch");
    };
}

Action WatchCommand(const std::vector<std::string>& args)
{
    uint32_t count = args.size() > 1 ? ParseCount(args[1], "count", 1, 1000000) : 1;
    return [count](Session& s) {
        uint32_t mode = Need(s.Client.GetMouseSettings(), "the mouse settings").MouseMode;
        bool up = (mode & EventOnUp) != 0, down = (mode & EventOnDown) != 0;
        if (!up && !down)
            Refuse("MouseMode selects no touch events: set bit 28 (0x10000000, lift) or "
                   "bit 29 (0x20000000, touch) with set-globals");
        const char* kind = up && down ? "button" : down ? "down" : "up";
        for (uint32_t seen = 1; seen <= count; ++seen) {
            uint32_t status = s.Client.WaitForButtonEvent();
            if (status == vorn::StatusTimeout)
                Refuse("the wait was ended by another wait or a new NotifyMask (" + Hex32(status) +
                       ")");
            if (status != vorn::StatusSuccess)
                Refuse("the wait for touch events ended: " + DriverAnswered(status));
            s.Print("event " + std::to_string(seen) + " " + kind);
        }
    };
}

// ---- export ----------------------------------------------------------------

const char* const ServiceKey = "HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\VORN2000";

std::string Dword(const char* name, uint32_t value)
{
    char text[80];
    std::snprintf(text, sizeof text, "\"%s\"=dword:%08x", name, unsigned(value));
    return text;
}

std::string RegString(const char* name, const std::string& value)
{
    std::string escaped;
    for (char c : value) {
        if (c == '\\' || c == '"')
            escaped += '\\';
        escaped += c;
    }
    return std::string("\"") + name + "\"=\"" + escaped + "\"";
}

void ExportGlobals(Session& s)
{
    Globals g = ReadGlobals(s);
    const vorn::FilterSettings& f = g.Filter;
    s.Print(std::string("[") + ServiceKey + "]");
    // The right-button mode lasts one touch; it is not a setting to keep.
    s.Print(Dword("MouseMode", g.Mouse.MouseMode & ~RightButtonMode));
    s.Print(Dword("DoubleClickSpeed", g.Mouse.DoubleClickSpeed));
    s.Print(Dword("DoubleClickSize", uint32_t(g.Mouse.DoubleClickSize)));
    s.Print(Dword("Language", g.Language));
    s.Print(Dword("A0", uint32_t(f.A0)));
    s.Print(Dword("A1", uint32_t(f.A1)));
    s.Print(Dword("A2", uint32_t(f.A2)));
    s.Print(Dword("A3", uint32_t(f.A3)));
    s.Print(Dword("Uppper", uint32_t(f.Uppper)));
    s.Print(Dword("Low", uint32_t(f.Low)));
    s.Print(Dword("Filter Threshold", uint32_t(f.FilterThreshold)));
    s.Print(Dword("Filter", f.Filter));
    s.Print(Dword("Rotation", g.Rotation));
}

void ExportDevice(Session& s, const Device& d, size_t keyNumber)
{
    ParameterBlock b = BlockOf(s, d);
    std::string name = PortNameOf(s, d);
    std::string key = std::string(ServiceKey) + "\\Device" + std::to_string(keyNumber);
    s.Print("");
    // Removing the key first leaves no stale value behind.
    s.Print("[-" + key + "]");
    s.Print("[" + key + "]");
    s.Print(Dword("LLX", uint32_t(b.LLX)));
    s.Print(Dword("LLY", uint32_t(b.LLY)));
    s.Print(Dword("LRX", uint32_t(b.LRX)));
    s.Print(Dword("LRY", uint32_t(b.LRY)));
    s.Print(Dword("ULX", uint32_t(b.ULX)));
    s.Print(Dword("ULY", uint32_t(b.ULY)));
    s.Print(Dword("URX", uint32_t(b.URX)));
    s.Print(Dword("URY", uint32_t(b.URY)));
    s.Print(Dword("BaudRate", b.BaudRate));
    s.Print(RegString("COMM", name == "-" ? "" : name));
    s.Print(Dword("ModeStatus", b.ModeStatus));
    s.Print(Dword("Mode", b.Mode));
    s.Print(Dword("SelDelay", b.SelDelay));
    s.Print(Dword("ClickDelay", b.ClickDelay));
    s.Print(Dword("XDeviation", b.XDeviation));
    s.Print(Dword("YDeviation", b.YDeviation));
    vorn::ScreenRect rect = RectOf(s, d);
    if (rect.IsSet()) {
        s.Print(Dword("ScreenLeft", rect.Left));
        s.Print(Dword("ScreenTop", rect.Top));
        s.Print(Dword("ScreenRight", rect.Right));
        s.Print(Dword("ScreenBottom", rect.Bottom));
    }
}

// The configured devices load newest first: the last key read becomes the
// head of the port list. The head is therefore written as the highest key,
// so that the next load lists the devices in today's order; the key after
// the last is removed, since the driver reads keys until the first gap.
Action ExportCommand(const std::vector<std::string>&)
{
    return [](Session& s) {
        std::vector<Device> devices = ListOf(s, false);
        s.Print("REGEDIT4");
        s.Print("");
        ExportGlobals(s);
        for (size_t i = 0; i < devices.size(); ++i)
            ExportDevice(s, devices[i], devices.size() - 1 - i);
        s.Print("");
        s.Print("[-" + std::string(ServiceKey) + "\\Device" + std::to_string(devices.size()) + "]");
        s.Print("; Interface, RxBufferSize and PointBufferSize cannot be read back from the "
                "driver and are left out.");
    };
}

const Command Commands[] = {
    {"list", 0, 0, "list", ListCommand},
    {"show", 1, 1, "show DEV", ShowCommand},
    {"add", 1, 1, "add PORT", AddCommand},
    {"add-path", 1, 1, "add-path PATH", AddPathCommand},
    {"remove", 1, 1, "remove DEV", RemoveCommand},
    {"open", 1, 1, "open DEV", OpenCloseCommand},
    {"close", 1, 1, "close DEV", OpenCloseCommand},
    {"set-port", 2, 2, "set-port DEV PORT", SetPortCommand},
    {"swap", 2, 2, "swap DEV on|off", SwitchCommand},
    {"grid", 2, 2, "grid DEV on|off", SwitchCommand},
    {"set", 2, SIZE_MAX, "set DEV Name=value...", SetCommand},
    {"globals", 0, 0, "globals", GlobalsCommand},
    {"set-globals", 1, SIZE_MAX, "set-globals Name=value...", SetGlobalsCommand},
    {"right-click", 0, 0, "right-click", RightClickCommand},
    {"watch", 0, 1, "watch [N]", WatchCommand},
    {"export", 0, 0, "export", ExportCommand},
    {"map", 2, 5, "map DEV L T R B | map DEV none | map DEV monitor N", MapCommand},
    {"calibrate", 1, 4, "calibrate DEV [4|9|25] [--svg FILE]", CalibrateCommand},
};

const Command* FindCommand(const std::string& name)
{
    for (const Command& c : Commands)
        if (name == c.Name)
            return &c;
    return nullptr;
}

} // namespace

std::vector<std::string> UsageLines()
{
    std::vector<std::string> lines = {"usage: vornctl COMMAND [ARGS...]"};
    for (const Command& c : Commands)
        lines.push_back(std::string("  vornctl ") + c.Usage);
    lines.push_back("DEV is port:I or dyn:I (the I-th device of that list, newest first) "
                    "or a handle 0x...");
    return lines;
}

std::string CannotOpenMessage(unsigned long win32Error)
{
    std::string code = " (error " + std::to_string(win32Error) + ")";
    switch (win32Error) {
    case 2: // ERROR_FILE_NOT_FOUND
        return "cannot open \\\\.\\VORN: the driver is not running" + code;
    case 5: // ERROR_ACCESS_DENIED
        return "cannot open \\\\.\\VORN: access denied; run as an administrator" + code;
    default:
        return "cannot open \\\\.\\VORN" + code;
    }
}

Result Run(const std::vector<std::string>& args, const Connector& connect, const LineSink& print)
{
    return Run(args, connect, print, Platform{});
}

Result Run(const std::vector<std::string>& args, const Connector& connect, const LineSink& print,
           const Platform& platform)
{
    try {
        if (args.empty())
            UsageError("no command; vornctl help lists them");
        if (args[0] == "help" || args[0] == "--help" || args[0] == "-h") {
            for (const std::string& line : UsageLines())
                print(line);
            return {};
        }
        const Command* command = FindCommand(args[0]);
        if (!command)
            UsageError("unknown command " + args[0] + "; vornctl help lists them");
        size_t given = args.size() - 1;
        if (given < command->MinArgs || given > command->MaxArgs)
            UsageError(std::string("usage: vornctl ") + command->Usage);
        Action action = command->Prepare(args);
        std::string error;
        std::unique_ptr<vorn::Transport> transport = connect(error);
        if (!transport)
            Refuse(error);
        ControlClient client(*transport);
        Session session{client, print, platform};
        action(session);
        return {};
    } catch (const Failure& failure) {
        return {failure.Exit, failure.Why};
    }
}

} // namespace vornctl
