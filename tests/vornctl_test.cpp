// The configuration utility as a user meets it: `ctl` lines of a scenario
// against the loaded driver, and every argument a user might type.
#include "control/request_codes.h"
#include "resources/version.h"
#include "tools/vornctl/session.h"
#include "tools/vornctl/vornctl.h"
#include "tests/scenario_run.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <set>
#include <random>
#include <sstream>

namespace {

// One configured device on COM1, loaded and started, and one dynamic device.
const char* const Loaded = "reg set VORN2000\\Device0 COMM sz COM1\n"
                           "reg set VORN2000\\Device0 BaudRate dword 9600\n"
                           "load\npnp add\npnp start\n"
                           "ctl add-path \\??\\PIPE0\n";
constexpr int LoadedLines = 6;

TEST(VornctlTest, EveryRefusalIsOneLineAndStopsTheScenario)
{
    struct Case {
        const char* Line;
        const char* Error;
    } const cases[] = {
        {"ctl", "ctl needs a vornctl command"},
        {"ctl frob", "unknown command frob; vornctl help lists them"},
        {"ctl show", "usage: vornctl show DEV"},
        {"ctl show port:1", "no such device port:1 (the port list holds 1)"},
        {"ctl show dyn:x", "device index: not a number: x"},
        {"ctl show 0x99", "no such device 0x00000099"},
        {"ctl show COM9", "no device on COM9 (vornctl list shows the port of each)"},
        {"ctl show \\\\?\\PIPE0",
         "no device on \\\\?\\PIPE0 (vornctl list shows the port of each)"},
        {"ctl add COM12345678901234567890123456789",
         "port name too long: at most 31 characters, the registry keeps no more: "
         "COM12345678901234567890123456789"},
        {"ctl add CO\\M1", "port name must be letters, digits, '_', '-' or '.': CO\\M1"},
        {"ctl add-path x", ""},
        {"ctl set port:0 ModeStatus=1", "ModeStatus is read only"},
        {"ctl set port:0 LLX=abc", "LLX: not a number: abc"},
        {"ctl set port:0 CalFlags=65536", "CalFlags: out of range 0..65535: 65536"},
        {"ctl set port:0 CalFlags=4",
         "CalFlags: out of range 0..3 (bit 0 grid on, bit 1 swap X and Y): 4"},
        {"ctl set port:0 LLX=16384",
         "LLX: out of range 0..16383 (the controller's raw coordinates): 16384"},
        {"ctl set port:0 GridURY=-1",
         "GridURY: out of range 0..16383 (the controller's raw coordinates): -1"},
        {"ctl set port:0 GridY24=2049",
         "GridY24: out of range -2048..2048 (reference units, the size of the reference "
         "square): 2049"},
        {"ctl set port:0 SelDelay=11",
         "SelDelay: out of range 0..10 (steps of 0.3 s, as DoubleClickSpeed): 11"},
        {"ctl set port:0 XDeviation=65537",
         "XDeviation: out of range 0..65536 (no more than the whole screen): 65537"},
        {"ctl set port:0 BaudRate=9601",
         "BaudRate: 9601 is not a rate a serial port takes; one of 110, 300, 600, 1200, 2400, "
         "4800, 9600, 14400, 19200, 38400, 57600, 115200, 128000, 256000"},
        {"ctl set port:0 BaudRate=0",
         "BaudRate: 0 is not a rate a serial port takes; one of 110, 300, 600, 1200, 2400, "
         "4800, 9600, 14400, 19200, 38400, 57600, 115200, 128000, 256000"},
        {"ctl set port:0 llx=5", "unknown setting llx; did you mean LLX?"},
        {"ctl set port:0 Baudrate=9600", "unknown setting Baudrate; did you mean BaudRate?"},
        {"ctl set port:0 ClikDelay=3", "unknown setting ClikDelay; did you mean ClickDelay?"},
        {"ctl set port:0 swapxy=1", "unknown setting swapxy; did you mean SwapXY?"},
        {"ctl set port:0 Frobnicate=1", "unknown setting Frobnicate (vornctl show DEV lists them)"},
        {"ctl set-globals mousemode=1",
         "unknown global setting mousemode; did you mean MouseMode?"},
        {"ctl set-globals DoubleClickSpeed=11", "DoubleClickSpeed: out of range 0..10: 11"},
        {"ctl set port:0 LLX=1 LLX=2", "LLX is given twice"},
        {"ctl set port:0 LLX", "expected Name=value, not LLX"},
        {"ctl set port:0 Port=COM2", "Port is set with set-port DEV PORT"},
        {"ctl set port:0 Screen=0", "Screen is set with map DEV L T R B"},
        {"ctl set port:0 LLX=99999999999", "LLX: out of range: 99999999999"},
        {"ctl set port:0 BaudRate=-1", "BaudRate: out of range 0..4294967295: -1"},
        {"ctl set-port dyn:0 COM2",
         "cannot set the port of dyn:0: a dynamic device's port is fixed"},
        {"ctl set-globals A0=1",
         "A0 comes from the registry only and is read when the driver loads"},
        {"ctl set-globals Rotation=4", "Rotation: out of range 0..3: 4"},
        {"ctl swap port:0 maybe", "expected on or off, not maybe"},
        {"ctl watch 0", "count: out of range 1..1000000: 0"},
        {"ctl watch", "MouseMode selects no touch events: set bit 28 (0x10000000, lift) or bit 29 "
                      "(0x20000000, touch) with set-globals"},
        {"ctl open port:0", "cannot open the port of port:0 (COM1): the driver answered "
                            "0xC0000034 (object name not found: there is no port of that "
                            "name); is the port present and not in use?"},
        {"ctl map port:0 monitor 0", "monitor: out of range 1..64: 0"},
        {"ctl map port:0 monitor 1", "map DEV monitor N needs the display layout of Windows"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Line);
        ScenarioRun run = RunLines(std::string(Loaded) + c.Line + "\nctl list\n");
        if (!*c.Error) { // a command that works, to keep the table honest
            EXPECT_EQ(run.Exit, 0);
            continue;
        }
        EXPECT_EQ(run.Exit, 2);
        EXPECT_EQ(run.Errors,
                  "error " + std::to_string(LoadedLines + 1) + ": " + std::string(c.Error) + "\n");
        EXPECT_EQ(run.Output.find("kind=configured"), std::string::npos) << "ran past the error";
    }
}

TEST(VornctlTest, WithoutTheDriverItSaysSo)
{
    ScenarioRun run = RunLines("ctl list\n");
    EXPECT_EQ(run.Exit, 2);
    EXPECT_EQ(run.Errors,
              "error 1: cannot open \\\\.\\VORN: the driver is not running (error 2)\n");
    EXPECT_EQ(vornctl::CannotOpenMessage(5),
              "cannot open \\\\.\\VORN: access denied; run as an administrator (error 5)");
}

// A set names fields of the block; the block write would also set SwapXY and
// GridEnabled from CalFlags, so the switches must come back as they were.
TEST(VornctlTest, SetChangesOnlyWhatItNames)
{
    ScenarioRun run =
        RunLines(std::string(Loaded) + "ctl set port:0 LRX=1900 XDeviation=12\n"
                                       "ctl swap port:0 on\nctl grid port:0 off\n"
                                       "ctl set port:0 LLX=7\nctl show port:0\n"
                                       "ctl set port:0 CalFlags=1\nctl show port:0\n");
    ASSERT_EQ(run.Exit, 0) << run.Errors;
    size_t first = run.Output.find("LLX=7\n");
    ASSERT_NE(first, std::string::npos);
    std::string afterSet = run.Output.substr(first);
    EXPECT_NE(afterSet.find("LRX=1900\n"), std::string::npos);
    EXPECT_NE(afterSet.find("XDeviation=12\n"), std::string::npos);
    EXPECT_NE(afterSet.find("BaudRate=9600\n"), std::string::npos);
    EXPECT_NE(afterSet.find("SwapXY=1\nGridEnabled=0\n"), std::string::npos);
    // Naming CalFlags asks for what its bits say: grid on, swap off.
    std::string afterCalFlags = run.Output.substr(run.Output.find("CalFlags=1\n"));
    EXPECT_NE(afterCalFlags.find("SwapXY=0\nGridEnabled=1\n"), std::string::npos);
}

// The block write sets both switches from CalFlags, whose two bits may
// disagree with each other and with the switches: each switch must come back
// from its own bit, never from the other's.
TEST(VornctlTest, SetPutsEachSwitchBackFromItsOwnBit)
{
    struct Case {
        const char* Before; // CalFlags, then the switches as the user left them
        const char* Expected;
    } const cases[] = {
        {"ctl set port:0 CalFlags=1\nctl swap port:0 on\n", "SwapXY=1\nGridEnabled=1\n"},
        {"ctl set port:0 CalFlags=2\nctl grid port:0 on\n", "SwapXY=1\nGridEnabled=1\n"},
        {"ctl set port:0 CalFlags=1\nctl swap port:0 on\nctl grid port:0 off\n",
         "SwapXY=1\nGridEnabled=0\n"},
        {"ctl set port:0 CalFlags=2\nctl swap port:0 off\nctl grid port:0 on\n",
         "SwapXY=0\nGridEnabled=1\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Before);
        ScenarioRun run =
            RunLines(std::string(Loaded) + c.Before + "ctl set port:0 LLX=5\nctl show port:0\n");
        ASSERT_EQ(run.Exit, 0) << run.Errors;
        std::string shown = run.Output.substr(run.Output.rfind("LLX=5\n"));
        EXPECT_NE(shown.find(c.Expected), std::string::npos) << shown;
    }
}

// ... and a touch shows it: the swap kept through a set exchanges the axes of
// the records (the default corners, grid neutral: raw 102, 1945 lands at
// 3264, 3296 unswapped).
TEST(VornctlTest, ASwapKeptThroughASetSwapsTheTouches)
{
    ScenarioRun run =
        RunLines("reg set VORN2000\\Device0 COMM sz COM1\n"
                 "reg set VORN2000 Filter dword 0\n"
                 "port add COM1\nport answers COM1 0\nload\npnp add\npnp start\n"
                 "class connect\nsleep 50\n"
                 "ctl set port:0 LLX=102 LLY=102 LRX=1945 LRY=102 URX=1945 URY=1945 "
                 "ULX=102 ULY=1945 CalFlags=1\n"
                 "ctl swap port:0 on\nctl grid port:0 off\n"
                 "ctl set port:0 Mode=1\n"
                 "port touch COM1 102 1945\nport touch COM1 102 1945 up\nsleep 600\n");
    ASSERT_EQ(run.Exit, 0) << run.Errors;
    EXPECT_EQ(LinesStartingWith(run.Output, "record "),
              (std::vector<std::string>{"record unit=0 flags=1 buttons=0x1 x=3296 y=3264",
                                        "record unit=0 flags=1 buttons=0x2 x=3296 y=3264"}));
}

// Scripts name a screen by its port: the name keeps meaning the same device
// when a newer device moves it down the port list, in any letter case; an
// interface device is named by its link, in the kernel's or Win32's form.
TEST(VornctlTest, ADeviceIsNamedByItsPortOrItsInterfaceLink)
{
    ScenarioRun run = RunLines("reg set VORN2000\\Device0 COMM sz COM1\n"
                               "port add COM1\nport add COM2\niface add \\??\\VORNTOUCH#1\n"
                               "load\npnp add\npnp start\nclass connect\nsleep 50\n"
                               "ctl add COM2\nctl list\n"
                               "ctl set com1 LLX=1300\nctl show port:1\n"
                               "ctl swap \\\\?\\vorntouch#1 on\nctl show \\??\\VORNTOUCH#1\n"
                               "ctl close Com2\n");
    ASSERT_EQ(run.Exit, 0) << run.Errors;
    EXPECT_NE(run.Output.find("port:1 handle=0x00000001 kind=configured port=COM1 open=yes\n"),
              std::string::npos);
    EXPECT_NE(run.Output.find("kind=dynamic port=\\??\\VORNTOUCH#1 open=yes\n"), std::string::npos);
    EXPECT_NE(run.Output.find("port:1 LLX=1300\n"), std::string::npos);
    std::string shownPort = run.Output.substr(run.Output.find("port:1 LLX=1300\n"));
    EXPECT_NE(shownPort.find("LLX=1300\n"), std::string::npos);
    EXPECT_NE(shownPort.find("Port=COM1\n"), std::string::npos);
    EXPECT_NE(run.Output.find("dyn:0 SwapXY=1\n"), std::string::npos);
    std::string shownLink = run.Output.substr(run.Output.find("dyn:0 SwapXY=1\n"));
    EXPECT_NE(shownLink.find("Port=\\??\\VORNTOUCH#1\nScreen=none\nSwapXY=1\n"), std::string::npos);
    EXPECT_NE(run.Output.find("port:0 closed\n"), std::string::npos);
}

TEST(VornctlTest, APortNameOfTwoDevicesIsRefusedNamingBoth)
{
    ScenarioRun run = RunLines(std::string(Loaded) + "ctl add com1\nctl show COM1\n");
    EXPECT_EQ(run.Exit, 2);
    EXPECT_EQ(run.Errors, "error " + std::to_string(LoadedLines + 2) +
                              ": COM1 names 2 devices (port:0, port:1); name one by port:I, "
                              "dyn:I or its handle\n");
}

TEST(VornctlTest, WatchSaysWhatItWaitsForAndHowToStop)
{
    ScenarioRun run =
        RunLines(std::string(Loaded) + "ctl set-globals MouseMode=0x30000000\nctl watch 3\n"
                                       "ctl set-globals NotifyMask=1\n");
    ASSERT_EQ(run.Exit, 0) << run.Errors;
    EXPECT_NE(run.Output.find("waiting for 3 touch or lift events; Ctrl+C stops\n"),
              std::string::npos);
    EXPECT_NE(run.Output.find("vornctl: the wait was ended by another wait or a new NotifyMask "
                              "(0x00000102)\n"),
              std::string::npos);
}

TEST(VornctlTest, StatusesAreShownInWordsWithTheirHex)
{
    EXPECT_EQ(vornctl::detail::StatusText(0xC0000043),
              "0xC0000043 (sharing violation: another program has the port open)");
    EXPECT_EQ(vornctl::detail::StatusText(0xC0000001),
              "0xC0000001 (unsuccessful: the driver refused the request)");
    EXPECT_EQ(vornctl::detail::StatusText(0xC0001234), "0xC0001234 (an error status)");
}

TEST(VornctlTest, HelpSaysWhatEachCommandDoes)
{
    std::vector<std::string> lines = vornctl::UsageLines();
    size_t commands = 0;
    for (size_t i = 0; i < lines.size(); ++i) {
        if (lines[i].rfind("  vornctl ", 0) != 0)
            continue;
        ++commands;
        ASSERT_LT(i + 1, lines.size());
        EXPECT_EQ(lines[i + 1].rfind("      ", 0), 0u) << lines[i];
        EXPECT_GT(lines[i + 1].size(), 20u) << lines[i];
    }
    EXPECT_GE(commands, 18u);
    EXPECT_NE(lines[lines.size() - 2].find("COM1"), std::string::npos);
}

// A driver of one configured device, handle 7, that takes every request.
class OneDeviceTransport : public vorn::Transport {
public:
    vorn::Reply Call(uint32_t code, const std::vector<uint8_t>& in, uint32_t out) override
    {
        vorn::Reply reply;
        reply.Status = vorn::StatusSuccess;
        reply.Output.assign(out, 0);
        if (code == IoctlPortDeviceCount || code == IoctlPortDeviceHandles)
            reply.Output[0] = code == IoctlPortDeviceCount ? 1 : 7;
        if (code == IoctlSetScreenRect)
            Rect = in;
        return reply;
    }

    std::vector<uint8_t> Rect;
};

// Display Properties numbers monitors from 1; so does map.
TEST(VornctlTest, MapMonitorCountsMonitorsFromOne)
{
    OneDeviceTransport driver;
    std::vector<int> asked;
    vornctl::Platform platform;
    platform.MonitorRect = [&](int monitor, vorn::ScreenRect* rect, std::string*) {
        asked.push_back(monitor);
        *rect = {32768, 0, 65536, 65536};
        return true;
    };
    std::vector<std::string> lines;
    vornctl::Result result = vornctl::Run(
        {"map", "port:0", "monitor", "2"},
        [&](std::string&) {
            struct Borrowed : vorn::Transport {
                vorn::Transport& Inner;
                explicit Borrowed(vorn::Transport& inner) : Inner(inner) {}
                vorn::Reply Call(uint32_t c, const std::vector<uint8_t>& i, uint32_t o) override
                {
                    return Inner.Call(c, i, o);
                }
            };
            return std::unique_ptr<vorn::Transport>(new Borrowed(driver));
        },
        [&](const std::string& line) { lines.push_back(line); }, platform);
    ASSERT_EQ(result.Exit, vornctl::ExitOk) << result.Error;
    EXPECT_EQ(asked, std::vector<int>{2});
    EXPECT_EQ(lines, std::vector<std::string>{"port:0 screen=32768 0 65536 65536"});
    ASSERT_EQ(driver.Rect.size(), 20u);
    EXPECT_EQ(driver.Rect[0], 7);
}

// The demo reads its settings back the way a user does, in names and
// decimal: the corners the controller held, the port, the global settings.
TEST(VornctlTest, TheDemoShowsTheSettingsByName)
{
    ScenarioRun run = RunLines(vornsim::DemoScenario);
    ASSERT_EQ(run.Exit, 0) << run.Errors;
    EXPECT_TRUE(LinesStartingWith(run.Output, "ioctl ").empty());
    EXPECT_NE(run.Output.find("port:0 handle=0x00000001 kind=configured port=COM1 open=yes\n"),
              std::string::npos);
    EXPECT_NE(run.Output.find("LLX=1210\nLLY=1330\nLRX=15120\nLRY=1290\nURX=15160\nURY=15010\n"
                              "ULX=1180\nULY=15050\n"),
              std::string::npos);
    EXPECT_NE(run.Output.find("Port=COM1\n"), std::string::npos);
    EXPECT_NE(run.Output.find("DoubleClickSpeed=2\nDoubleClickSize=2000\n"), std::string::npos);
}

// The .reg text of export, turned into the scenario lines that set the same
// registry: what regedit would do on import.
std::string RegistryLinesOf(const std::string& exported)
{
    const std::string root = "HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\";
    std::istringstream in(exported);
    std::string lines, key;
    for (std::string line; std::getline(in, line);) {
        if (line.rfind("[-" + root, 0) == 0) {
            lines +=
                "reg delete " + line.substr(2 + root.size(), line.size() - 3 - root.size()) + "\n";
        } else if (line.rfind("[" + root, 0) == 0) {
            key = line.substr(1 + root.size(), line.size() - 2 - root.size());
        } else if (line.size() > 2 && line[0] == '"') {
            size_t close = line.find('"', 1);
            std::string name = line.substr(1, close - 1), value = line.substr(close + 2);
            if (value.rfind("dword:", 0) == 0)
                lines += "reg set " + key + " " + name + " dword 0x" + value.substr(6) + "\n";
            else
                lines += "reg set " + key + " " + name + " sz " +
                         value.substr(1, value.size() - 2) + "\n";
        }
    }
    return lines;
}

// The lines of list, show and globals that the registry keeps: all but the
// notify mask, which lives nowhere.
std::string Persisted(const std::string& text)
{
    static const std::set<std::string> kept = {"LLX",
                                               "LLY",
                                               "LRX",
                                               "LRY",
                                               "URX",
                                               "URY",
                                               "ULX",
                                               "ULY",
                                               "BaudRate",
                                               "ModeStatus",
                                               "Mode",
                                               "XDeviation",
                                               "YDeviation",
                                               "SelDelay",
                                               "ClickDelay",
                                               "Port",
                                               "MouseMode",
                                               "DoubleClickSpeed",
                                               "DoubleClickSize",
                                               "Language",
                                               "Rotation",
                                               "A0",
                                               "A1",
                                               "A2",
                                               "A3",
                                               "Uppper",
                                               "Low",
                                               "FilterThreshold",
                                               "Filter"};
    std::istringstream in(text);
    std::string lines;
    for (std::string line; std::getline(in, line);) {
        // Handles are given out anew at each load.
        if (line.rfind("port:", 0) == 0 && line.find(" kind=") != std::string::npos)
            lines += line.substr(0, line.find(' ')) + line.substr(line.find(" kind=")) + "\n";
        else if (kept.count(line.substr(0, line.find('='))) || line.rfind("Grid", 0) == 0 ||
                 line.rfind("Cal", 0) == 0)
            lines += line + "\n";
    }
    return lines;
}

TEST(VornctlTest, ExportReloadsToTheSameDevicesAndSettings)
{
    const std::string changes = "ctl add COM3\nctl add COM4\nctl remove port:1\n"
                                "ctl set port:0 LLX=5 ULY=1800 Mode=3 CalAux=4 CalFlags=3 "
                                "GridX3=-7 GridULY=1900\n"
                                "ctl set port:1 BaudRate=19200 SelDelay=7\n"
                                "ctl set-globals MouseMode=0x10000000 DoubleClickSpeed=4 "
                                "Rotation=2 Language=9\n";
    const std::string readBack = "ctl list\nctl show port:0\nctl show port:1\nctl globals\n";
    ScenarioRun before = RunLines(std::string(Loaded) + changes + "ctl export\n");
    ASSERT_EQ(before.Exit, 0) << before.Errors;
    std::string exported = before.Output.substr(before.Output.find("REGEDIT4"));

    // Stale keys beyond the exported ones must not come back as devices.
    ScenarioRun first = RunLines(std::string(Loaded) + changes + readBack);
    ScenarioRun reloaded = RunLines("reg set VORN2000\\Device2 COMM sz COM9\n" +
                                    RegistryLinesOf(exported) + "load\n" + readBack);
    ASSERT_EQ(reloaded.Exit, 0) << reloaded.Errors;
    size_t listed = first.Output.rfind('\n', first.Output.find(" kind=")) + 1;
    std::string expected = Persisted(first.Output.substr(listed));
    EXPECT_EQ(Persisted(reloaded.Output), expected);
    EXPECT_NE(expected.find("port:1 kind="), std::string::npos);
    EXPECT_NE(expected.find("LLX=5\n"), std::string::npos);
    EXPECT_NE(expected.find("GridX3=-7"), std::string::npos);
    EXPECT_NE(expected.find("CalFlags=3"), std::string::npos);
}

// Requests as vornctl builds them, checked against each code's layout.
class CheckingTransport : public vorn::Transport {
public:
    explicit CheckingTransport(std::mt19937& random) : random_(random) {}

    vorn::Reply Call(uint32_t code, const std::vector<uint8_t>& in, uint32_t out) override
    {
        Check(code, in, out);
        vorn::Reply reply;
        reply.Status = random_() % 8 == 0 ? vorn::StatusUnsuccessful : vorn::StatusSuccess;
        if (code == IoctlWaitButtonEvent && random_() % 2)
            reply.Status = random_() % 2 ? vorn::StatusTimeout : vorn::StatusCancelled;
        uint32_t answer = std::min<uint32_t>(out, random_() % 2 ? out : random_() % 400);
        for (uint32_t i = 0; i < answer; ++i)
            reply.Output.push_back(uint8_t(i < 4 ? random_() % 3 : random_()));
        return reply;
    }

    int Requests = 0;

private:
    static uint32_t Value(const std::vector<uint8_t>& in, size_t at)
    {
        return uint32_t(in[at]) | uint32_t(in[at + 1]) << 8 | uint32_t(in[at + 2]) << 16 |
               uint32_t(in[at + 3]) << 24;
    }

    void Check(uint32_t code, const std::vector<uint8_t>& in, uint32_t out)
    {
        ++Requests;
        static const std::map<uint32_t, std::pair<size_t, uint32_t>> fixed = {
            {IoctlClosePort, {4, 0}},          {IoctlOpenPort, {4, 0}},
            {IoctlWriteParameters, {300, 0}},  {IoctlReadParameters, {4, 300}},
            {IoctlPortDeviceCount, {0, 4}},    {IoctlRemovePortDevice, {4, 0}},
            {IoctlPortNameLength, {4, 4}},     {IoctlRemoveDynamicDevice, {4, 0}},
            {IoctlDynamicDeviceCount, {0, 4}}, {IoctlSetSwapXY, {8, 0}},
            {IoctlSetGridEnabled, {8, 0}},     {IoctlSetNotifyMask, {4, 0}},
            {IoctlGetNotifyMask, {0, 4}},      {IoctlWaitButtonEvent, {0, 0}},
            {IoctlSetMouseSettings, {12, 0}},  {IoctlGetMouseSettings, {0, 12}},
            {IoctlSetLanguage, {4, 0}},        {IoctlGetLanguage, {0, 4}},
            {IoctlGetFilterSettings, {0, 32}}, {IoctlGetRotation, {0, 4}},
            {IoctlSetRotation, {4, 0}},        {IoctlGetDeviceState, {4, 4}},
            {IoctlSetScreenRect, {20, 0}},     {IoctlGetScreenRect, {4, 16}},
        };
        auto layout = fixed.find(code);
        if (layout != fixed.end()) {
            EXPECT_EQ(in.size(), layout->second.first) << std::hex << code;
            EXPECT_EQ(out, layout->second.second) << std::hex << code;
            return;
        }
        switch (code) {
        case IoctlSetPortName:
            ASSERT_GE(in.size(), 9u);
            EXPECT_EQ(in.size(), 8 + Value(in, 4));
            EXPECT_EQ(in.back(), 0);
            break;
        case IoctlCreatePortDevice:
            ASSERT_GE(in.size(), 2u);
            EXPECT_EQ(in.back(), 0);
            EXPECT_EQ(out, 4u);
            break;
        case IoctlCreateDynamicDevice:
            ASSERT_GE(in.size(), 4u);
            EXPECT_EQ(in.size() % 2, 0u);
            EXPECT_EQ(in[in.size() - 1] | in[in.size() - 2], 0);
            EXPECT_EQ(out, 4u);
            break;
        case IoctlGetPortName:
            EXPECT_EQ(in.size(), 4u);
            EXPECT_LE(out, 32769u);
            break;
        case IoctlPortDeviceHandles:
        case IoctlDynamicDeviceHandles:
            EXPECT_TRUE(in.empty());
            EXPECT_EQ(out % 4, 0u);
            EXPECT_LE(out, 65536u * 4);
            break;
        default:
            ADD_FAILURE() << "unknown code " << std::hex << code;
        }
    }

    std::mt19937& random_;
};

TEST(VornctlTest, NoArgumentsCrashItOrSendAMismatchedBuffer)
{
    // The 18 commands first, then arguments of every kind; "" stands for an
    // empty argument.
    std::vector<std::string> words;
    std::istringstream vocabulary(
        "list show add add-path remove open close set-port swap grid set globals set-globals "
        "right-click watch export map help calibrate none monitor 25 --svg port:0 port:1 dyn:0 0x1 "
        "0x0 0xFFFFFFFF "
        "COM1 on off LLX=5 GridY24=-3 CalFlags=3 MouseMode=0x30000000 Rotation=3 = \"\" -1 "
        "99999999999999999999 \\??\\X 3 65536 NotifyMask=1 Language=0x");
    for (std::string word; vocabulary >> word;)
        words.push_back(word == "\"\"" ? "" : word);
    std::mt19937 random(20261208);
    int ran = 0;
    for (int round = 0; round < 4000; ++round) {
        SCOPED_TRACE(round);
        std::vector<std::string> args;
        // Mostly a command first, then anything.
        if (random() % 8)
            args.push_back(words[random() % 18]);
        for (size_t n = random() % 5; n > 0; --n)
            args.push_back(words[random() % words.size()]);
        CheckingTransport transport(random);
        vornctl::Result result = vornctl::Run(
            args,
            [&](std::string&) {
                struct Borrowed : vorn::Transport {
                    vorn::Transport& Inner;
                    explicit Borrowed(vorn::Transport& inner) : Inner(inner) {}
                    vorn::Reply Call(uint32_t c, const std::vector<uint8_t>& i, uint32_t o) override
                    {
                        return Inner.Call(c, i, o);
                    }
                };
                return std::unique_ptr<vorn::Transport>(new Borrowed(transport));
            },
            [](const std::string&) {});
        EXPECT_TRUE(result.Exit == vornctl::ExitOk || !result.Error.empty());
        EXPECT_EQ(result.Error.find('\n'), std::string::npos);
        ran += transport.Requests > 0;
    }
    EXPECT_GT(ran, 200); // enough of the rounds reached the driver
}

// The version the files carry, without the driver: it answers where the
// driver is not installed or not running.
TEST(VornctlTest, VersionPrintsTheProductVersionWithoutTheDriver)
{
    bool connected = false;
    std::vector<std::string> lines;
    auto connect = [&](std::string& error) {
        connected = true;
        error = "no driver";
        return std::unique_ptr<vorn::Transport>();
    };
    auto print = [&](const std::string& line) { lines.push_back(line); };
    vornctl::Result result = vornctl::Run({"version"}, connect, print);
    EXPECT_EQ(result.Exit, vornctl::ExitOk);
    EXPECT_EQ(lines, std::vector<std::string>{"vorn " VORN_VERSION_TEXT});
    EXPECT_FALSE(connected);

    result = vornctl::Run({"version", "port:0"}, connect, print);
    EXPECT_EQ(result.Exit, vornctl::ExitUsage);
    EXPECT_EQ(result.Error, "usage: vornctl version");

    lines.clear();
    vornctl::Run({"help"}, connect, print);
    EXPECT_NE(std::find(lines.begin(), lines.end(), "  vornctl version"), lines.end());
}

} // namespace
