#include "tools/vornctl/vornctl.h"

#include "tools/vornctl/session.h"

#include "control/request_codes.h"
#include "resources/version.h"

#include <algorithm>
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

// The values that make sense for a field, and the words a refusal gives.
struct Range {
    int64_t Low, High;
    const char* Why; // null: the field's width is its only bound
};

// A touch report carries X and Y in two 7-bit bytes each.
constexpr Range RawCoordinate = {0, 16383, "the controller's raw coordinates"};
// An offset beyond the whole 0..2048 reference square moves every touch off
// the screen.
constexpr Range GridOffset = {-2048, 2048, "reference units, the size of the reference square"};
// The same 0..10 steps as DoubleClickSpeed; 10 is the default.
constexpr Range Delay = {0, 10, "steps of 0.3 s, as DoubleClickSpeed"};
// Nothing finer than the whole screen, in raw or output units.
constexpr Range Deviation = {0, 65536, "no more than the whole screen"};
// Bit 0 turns the grid on, bit 1 swaps X and Y; no other bit means anything.
constexpr Range CalFlagBits = {0, 3, "bit 0 grid on, bit 1 swap X and Y"};
constexpr Range Unchecked = {0, 0, nullptr};

// The rates Win32 names for a serial port (CBR_110 ... CBR_256000 of DCB).
constexpr uint32_t PortBaudRates[] = {110,   300,   600,   1200,  2400,   4800,   9600,
                                      14400, 19200, 38400, 57600, 115200, 128000, 256000};

struct FieldRef {
    std::string Name;
    Width Type;
    void* Storage;
    bool Settable;
    Range Bounds;
};

// In the order `show` prints them; the corners as the device record keeps
// them: lower-left, lower-right, upper-right, upper-left.
std::vector<FieldRef> BlockFields(ParameterBlock& b)
{
    std::vector<FieldRef> fields = {
        {"LLX", Width::I32, &b.LLX, true, RawCoordinate},
        {"LLY", Width::I32, &b.LLY, true, RawCoordinate},
        {"LRX", Width::I32, &b.LRX, true, RawCoordinate},
        {"LRY", Width::I32, &b.LRY, true, RawCoordinate},
        {"URX", Width::I32, &b.URX, true, RawCoordinate},
        {"URY", Width::I32, &b.URY, true, RawCoordinate},
        {"ULX", Width::I32, &b.ULX, true, RawCoordinate},
        {"ULY", Width::I32, &b.ULY, true, RawCoordinate},
        {"BaudRate", Width::U32, &b.BaudRate, true, Unchecked},
        {"ModeStatus", Width::U32, &b.ModeStatus, false, Unchecked},
        {"Mode", Width::U32, &b.Mode, true, Unchecked},
        {"XDeviation", Width::U32, &b.XDeviation, true, Deviation},
        {"YDeviation", Width::U32, &b.YDeviation, true, Deviation},
        {"SelDelay", Width::U32, &b.SelDelay, true, Delay},
        {"ClickDelay", Width::U32, &b.ClickDelay, true, Delay},
        {"CalFlags", Width::U16, &b.CalFlags, true, CalFlagBits},
        {"CalAux", Width::U16, &b.CalAux, true, Unchecked},
    };
    const char* corners[] = {"LLX", "LLY", "LRX", "LRY", "URX", "URY", "ULX", "ULY"};
    for (int i = 0; i < 8; ++i)
        fields.push_back(
            {std::string("Grid") + corners[i], Width::I32, &b.GridCorners[i], true, RawCoordinate});
    for (int i = 0; i < 25; ++i)
        fields.push_back({"GridX" + std::to_string(i), Width::I32, &b.GridX[i], true, GridOffset});
    for (int i = 0; i < 25; ++i)
        fields.push_back({"GridY" + std::to_string(i), Width::I32, &b.GridY[i], true, GridOffset});
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

// ---- names as the user types them ------------------------------------------

// Edits (insert, delete, replace) between two names, letter case aside.
size_t EditDistance(const std::string& a, const std::string& b)
{
    std::string x = Lowered(a), y = Lowered(b);
    std::vector<size_t> row(y.size() + 1);
    for (size_t j = 0; j <= y.size(); ++j)
        row[j] = j;
    for (size_t i = 1; i <= x.size(); ++i) {
        size_t diagonal = row[0];
        row[0] = i;
        for (size_t j = 1; j <= y.size(); ++j) {
            size_t above = row[j];
            row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (x[i - 1] != y[j - 1])});
            diagonal = above;
        }
    }
    return row[y.size()];
}

// The name the user most likely meant: the same in another letter case, or
// else the one name within two edits; empty when there is none.
std::string Suggestion(const std::string& typed, const std::vector<std::string>& names)
{
    for (const std::string& name : names)
        if (Lowered(name) == Lowered(typed))
            return name;
    std::string best;
    size_t bestDistance = 3;
    bool tie = false;
    for (const std::string& name : names) {
        size_t distance = EditDistance(typed, name);
        if (distance < bestDistance) {
            best = name;
            bestDistance = distance;
            tie = false;
        } else if (distance == bestDistance) {
            tie = true;
        }
    }
    return tie ? "" : best;
}

[[noreturn]] void UnknownName(const std::string& what, const std::string& typed,
                              const std::vector<std::string>& names, const std::string& lister)
{
    std::string meant = Suggestion(typed, names);
    if (!meant.empty())
        UsageError("unknown " + what + " " + typed + "; did you mean " + meant + "?");
    UsageError("unknown " + what + " " + typed + " (" + lister + " lists them)");
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

std::string BaudRateList()
{
    std::string list;
    for (uint32_t rate : PortBaudRates)
        list += (list.empty() ? "" : ", ") + std::to_string(rate);
    return list;
}

int64_t ParseBaudRate(const std::string& text)
{
    int64_t rate = ParseNumber(text, "BaudRate", 0, UINT32_MAX);
    for (uint32_t allowed : PortBaudRates)
        if (rate == allowed)
            return rate;
    UsageError("BaudRate: " + text + " is not a rate a serial port takes; one of " +
               BaudRateList());
}

int64_t ParseFieldValue(const FieldRef& field, const std::string& text)
{
    if (field.Name == "BaudRate")
        return ParseBaudRate(text);
    auto width = RangeOf(field.Type);
    int64_t value = ParseNumber(text, field.Name, width.first, width.second);
    const Range& r = field.Bounds;
    if (r.Why && (value < r.Low || value > r.High))
        UsageError(field.Name + ": out of range " + std::to_string(r.Low) + ".." +
                   std::to_string(r.High) + " (" + r.Why + "): " + text);
    return value;
}

struct FieldValue {
    std::string Name;
    int64_t Value;
};

// What `set` takes by another command, and the command.
const std::pair<const char*, const char*> SetElsewhere[] = {
    {"Port", "set-port DEV PORT"},
    {"SwapXY", "swap DEV on|off"},
    {"GridEnabled", "grid DEV on|off"},
    {"Screen", "map DEV L T R B"},
};

std::vector<FieldValue> ParseBlockAssignments(const std::vector<std::string>& args, size_t from)
{
    ParameterBlock scratch;
    std::vector<FieldRef> fields = BlockFields(scratch);
    std::vector<std::string> names;
    for (const FieldRef& f : fields)
        names.push_back(f.Name);
    for (const auto& [name, command] : SetElsewhere)
        names.push_back(name);
    std::vector<FieldValue> values;
    for (const auto& [name, text] : Assignments(args, from)) {
        for (const auto& [elsewhere, command] : SetElsewhere)
            if (name == elsewhere)
                UsageError(name + " is set with " + command);
        const FieldRef* field = nullptr;
        for (const FieldRef& f : fields)
            if (f.Name == name)
                field = &f;
        if (!field)
            UnknownName("setting", name, names, "vornctl show DEV");
        if (!field->Settable)
            UsageError(name + " is read only");
        values.push_back({name, ParseFieldValue(*field, text)});
    }
    return values;
}

// ---- commands --------------------------------------------------------------

struct Command {
    const char* Name;
    size_t MinArgs, MaxArgs; // after the command name; SIZE_MAX: any number
    const char* Usage;
    const char* Does; // what `help` says the command does
    Action (*Prepare)(const std::vector<std::string>& args);
};

// Under a configured device that waits for its port: why it is not open,
// and that it needs nothing from the user. (A dynamic device does not wait:
// its interface's arrival makes a new one.)
void PrintWhyNotOpen(Session& s, const Device& d, uint32_t state, const std::string& port)
{
    if (!d.Dynamic && !(state & DeviceStatePortOpen) && (state & DeviceStatePortAbsent))
        s.Print("  port " + port + " is not present; it opens when it appears");
}

Action ListCommand(const std::vector<std::string>&)
{
    return [](Session& s) {
        std::vector<Device> devices = AllDevices(s);
        if (devices.empty())
            s.Print("no touch devices");
        for (const Device& d : devices) {
            uint32_t state = StateOf(s, d);
            bool open = (state & DeviceStatePortOpen) != 0;
            std::string port = PortNameOf(s, d);
            std::string why = (state & DeviceStatePortNameTooLong)
                                  ? " (its port name in the registry is longer than 31 characters)"
                                  : "";
            s.Print(DeviceText(d) + " kind=" + (d.Dynamic ? "dynamic" : "configured") +
                    " port=" + port + " open=" + (open ? "yes" : "no") + why);
            PrintWhyNotOpen(s, d, state, port);
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
        Device added{"port:0", handle, false};
        s.Print("added " + DeviceText(added) + " port=" + name);
        // The device is there whatever its state says; a state that cannot
        // be read only leaves the note out.
        vorn::Answer<uint32_t> state = s.Client.DeviceState(handle);
        if (state.Ok())
            PrintWhyNotOpen(s, added, state.Value, name);
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

constexpr uint16_t CalFlagGrid = 1;
constexpr uint16_t CalFlagSwap = 2;

// Writing the block sets SwapXY and GridEnabled from CalFlags; unless the
// caller named CalFlags, the switches are put back as they were.
void KeepSwitches(Session& s, const Device& d, uint32_t before, uint16_t calFlags)
{
    bool swap = (before & DeviceStateSwapXY) != 0;
    bool grid = (before & DeviceStateGridEnabled) != 0;
    uint32_t status = vorn::StatusSuccess;
    if (swap != ((calFlags & CalFlagSwap) != 0))
        status = s.Client.SetSwapXY(d.Handle, swap);
    if (status == vorn::StatusSuccess && grid != ((calFlags & CalFlagGrid) != 0))
        status = s.Client.SetGridEnabled(d.Handle, grid);
    if (status != vorn::StatusSuccess)
        Refuse("settings of " + d.Name +
               " written, but SwapXY and GridEnabled could not be kept: " + DriverAnswered(status));
}

// map DEV L T R B | map DEV none | (Windows) map DEV monitor N, the monitors
// numbered from 1 as Display Properties numbers them.
Action MapCommand(const std::vector<std::string>& args)
{
    DeviceRef ref = ParseDevice(args[1]);
    vorn::ScreenRect rect;
    int monitor = 0; // none
    if (args.size() == 3 && args[2] == "none") {
    } else if (args.size() == 4 && args[2] == "monitor") {
        monitor = int(ParseCount(args[3], "monitor", 1, 64));
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
        if (monitor > 0) {
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
    static const std::vector<std::string> names = {"MouseMode",
                                                   "DoubleClickSpeed",
                                                   "DoubleClickSize",
                                                   "Language",
                                                   "Rotation",
                                                   "NotifyMask",
                                                   "A0",
                                                   "A1",
                                                   "A2",
                                                   "A3",
                                                   "Uppper",
                                                   "Low",
                                                   "FilterThreshold",
                                                   "Filter"};
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
            UnknownName("global setting", name, names, "vornctl globals");
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
        const char* which = up && down ? "touch or lift" : down ? "touch" : "lift";
        s.Print("waiting for " + std::to_string(count) + " " + which + " event" +
                (count == 1 ? "" : "s") + "; Ctrl+C stops");
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
    s.Print(Dword("URX", uint32_t(b.URX)));
    s.Print(Dword("URY", uint32_t(b.URY)));
    s.Print(Dword("ULX", uint32_t(b.ULX)));
    s.Print(Dword("ULY", uint32_t(b.ULY)));
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
    // The whole calibration where the driver keeps it, so that restoring the
    // backup restores it; one the controller holds stays the controller's.
    if (!(StateOf(s, d) & DeviceStateCalibrationSaved))
        return;
    s.Print(Dword("CalFlags", b.CalFlags));
    s.Print(Dword("CalAux", b.CalAux));
    const char* const gridCorners[8] = {"GridLLX", "GridLLY", "GridLRX", "GridLRY",
                                        "GridURX", "GridURY", "GridULX", "GridULY"};
    for (int i = 0; i < 8; ++i)
        s.Print(Dword(gridCorners[i], uint32_t(b.GridCorners[i])));
    for (int k = 0; k < 25; ++k)
        s.Print(Dword(("GridX" + std::to_string(k)).c_str(), uint32_t(b.GridX[k])));
    for (int k = 0; k < 25; ++k)
        s.Print(Dword(("GridY" + std::to_string(k)).c_str(), uint32_t(b.GridY[k])));
}

// The configured devices load in key order, Device0 at the head of the port
// list, so the list's order is the keys'; the key after the last is removed,
// since the driver reads keys until the first gap.
Action ExportCommand(const std::vector<std::string>&)
{
    return [](Session& s) {
        std::vector<Device> devices = ListOf(s, false);
        s.Print("REGEDIT4");
        s.Print("");
        ExportGlobals(s);
        for (size_t i = 0; i < devices.size(); ++i)
            ExportDevice(s, devices[i], i);
        s.Print("");
        s.Print("[-" + std::string(ServiceKey) + "\\Device" + std::to_string(devices.size()) + "]");
        s.Print("; Interface, RxBufferSize and PointBufferSize cannot be read back from the "
                "driver and are left out.");
    };
}

const Command Commands[] = {
    {"list", 0, 0, "list",
     "every touch device: its name, handle, kind, port and whether it is open", ListCommand},
    {"show", 1, 1, "show DEV", "every setting of the device, Name=value", ShowCommand},
    {"add", 1, 1, "add PORT", "a configured device on a serial port, kept in the registry",
     AddCommand},
    {"add-path", 1, 1, "add-path PATH", "a dynamic device on a device path, until the next restart",
     AddPathCommand},
    {"remove", 1, 1, "remove DEV", "the device goes, with its settings", RemoveCommand},
    {"open", 1, 1, "open DEV", "opens the device's port: its touches reach the screen",
     OpenCloseCommand},
    {"close", 1, 1, "close DEV", "closes the device's port", OpenCloseCommand},
    {"set-port", 2, 2, "set-port DEV PORT", "the serial port the device uses from its next open",
     SetPortCommand},
    {"swap", 2, 2, "swap DEV on|off", "exchanges X and Y of the device's touches", SwitchCommand},
    {"grid", 2, 2, "grid DEV on|off", "the 25-point correction grid on or off", SwitchCommand},
    {"set", 2, SIZE_MAX, "set DEV Name=value...",
     "changes the settings it names (show DEV lists them) and keeps the rest", SetCommand},
    {"globals", 0, 0, "globals", "the driver's global settings, Name=value", GlobalsCommand},
    {"set-globals", 1, SIZE_MAX, "set-globals Name=value...",
     "changes the global settings it names", SetGlobalsCommand},
    {"right-click", 0, 0, "right-click", "the next touch clicks the right button",
     RightClickCommand},
    {"watch", 0, 1, "watch [N]", "waits for N touch events (1 if not given); Ctrl+C stops",
     WatchCommand},
    {"export", 0, 0, "export", "every setting the registry keeps, as a .reg file for regedit",
     ExportCommand},
    {"map", 2, 5, "map DEV L T R B | map DEV none | map DEV monitor N",
     "the part of the desktop the device covers (0..65536), none, or monitor N from 1", MapCommand},
    {"calibrate", 1, 4, "calibrate DEV [4|9|25] [--svg FILE]",
     "touch the targets shown; the calibration is computed and written", CalibrateCommand},
};

const Command* FindCommand(const std::string& name)
{
    for (const Command& c : Commands)
        if (name == c.Name)
            return &c;
    return nullptr;
}

} // namespace

// Each command's usage, then what it does on the next line.
std::vector<std::string> UsageLines()
{
    std::vector<std::string> lines = {"usage: vornctl COMMAND [ARGS...]", "  vornctl help",
                                      "      this text: each command and what it does"};
    for (const Command& c : Commands) {
        lines.push_back(std::string("  vornctl ") + c.Usage);
        lines.push_back(std::string("      ") + c.Does);
    }
    lines.push_back("  vornctl version");
    lines.push_back("      the version of vornctl and of the driver it came with");
    lines.push_back(std::string("DEV is ") + DeviceForms);
    lines.push_back("A refusal is one line on the error stream; exit status 1: refused, "
                    "2: wrong arguments.");
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
        // Needs no driver: the version the program and its driver were built as.
        if (args[0] == "version") {
            if (args.size() != 1)
                UsageError("usage: vornctl version");
            print(VORN_PRODUCT_NAME " " VORN_VERSION_TEXT);
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
