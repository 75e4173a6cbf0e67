// The configuration utility as a user meets it: `ctl` lines of a scenario
// against the loaded driver, and every argument a user might type.
#include "control/request_codes.h"
#include "resources/version.h"
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
        {"ctl show COM1", "a device is port:I, dyn:I or a handle 0x...: COM1"},
        {"ctl add COM12345678901234567890123456789",
         "port name too long: at most 31 characters, the registry keeps no more: "
         "COM12345678901234567890123456789"},
        {"ctl add CO\\M1", "port name must be letters, digits, '_', '-' or '.': CO\\M1"},
        {"ctl add-path x", ""},
        {"ctl set port:0 ModeStatus=1", "ModeStatus is read only"},
        {"ctl set port:0 LLX=abc", "LLX: not a number: abc"},
        {"ctl set port:0 CalFlags=65536", "CalFlags: out of range 0..65535: 65536"},
        {"ctl set port:0 LLX=1 LLX=2", "LLX is given twice"},
        {"ctl set port:0 LLX", "expected Name=value, not LLX"},
        {"ctl set port:0 Port=COM2", "Port is set with set-port DEV PORT"},
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
                            "0xC0000034; is the port present and not in use?"},
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
                                       "ctl set port:0 LLX=-7\nctl show port:0\n"
                                       "ctl set port:0 CalFlags=1\nctl show port:0\n");
    ASSERT_EQ(run.Exit, 0) << run.Errors;
    size_t first = run.Output.find("LLX=-7\n");
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

// The lines of list, show and globals that the registry keeps: the grid,
// CalFlags and CalAux live in the controller, the notify mask nowhere.
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
        else if (kept.count(line.substr(0, line.find('='))))
            lines += line + "\n";
    }
    return lines;
}

TEST(VornctlTest, ExportReloadsToTheSameDevicesAndSettings)
{
    const std::string changes = "ctl add COM3\nctl add COM4\nctl remove port:1\n"
                                "ctl set port:0 LLX=-5 ULY=1800 Mode=3 CalAux=4\n"
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
    EXPECT_NE(expected.find("LLX=-5"), std::string::npos);
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
