// A touch screen on its own monitor: the device's rectangle of the virtual
// desktop, set by request, kept in the registry, and applied to every record.
#include "tests/scenario_run.h"

#include <gtest/gtest.h>

#include <sstream>
#include <vector>

namespace {

std::string Scenario(const std::string& lines)
{
    ScenarioRun run = RunLines(lines);
    EXPECT_EQ(run.Exit, 0) << run.Errors;
    return run.Output;
}

std::vector<std::string> Lines(const std::string& text, const std::string& prefix)
{
    return LinesStartingWith(text, prefix);
}

// One configured device on COM1, connected, with the calibration corners of
// the controller's memory left at the defaults.
const char* const Connected = "reg set VORN2000\\Device0 COMM sz COM1\n"
                              "reg set VORN2000\\Device0 BaudRate dword 9600\n"
                              "port add COM1\nport answers COM1 0\n"
                              "load\npnp add\npnp start\nclass connect\nsleep 50\n";

const char* const Strokes = "port touch COM1 102 102\nport touch COM1 1000 400\n"
                            "port touch COM1 1945 1945\nport touch COM1 2047 0 up\nsleep 600\n";

struct Record {
    int Flags;
    long X, Y;
};

std::vector<Record> RecordsOf(const std::string& output)
{
    std::vector<Record> records;
    for (const std::string& line : Lines(output, "record ")) {
        Record r{};
        unsigned unit, buttons;
        std::sscanf(line.c_str(), "record unit=%u flags=%d buttons=0x%X x=%ld y=%ld", &unit,
                    &r.Flags, &buttons, &r.X, &r.Y);
        records.push_back(r);
    }
    return records;
}

TEST(ScreenTest, RecordsAreScaledIntoTheRectangleAsTheLastStage)
{
    std::vector<Record> plain = RecordsOf(Scenario(std::string(Connected) + Strokes));
    std::vector<Record> mapped = RecordsOf(
        Scenario(std::string(Connected) + "ctl map port:0 40000 1000 65536 30001\n" + Strokes));
    ASSERT_EQ(plain.size(), 4u);
    ASSERT_EQ(mapped.size(), plain.size());
    for (size_t i = 0; i < plain.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(plain[i].Flags, 1);
        EXPECT_EQ(mapped[i].Flags, 3); // MOUSE_MOVE_ABSOLUTE | MOUSE_VIRTUAL_DESKTOP
        EXPECT_EQ(mapped[i].X, 40000 + plain[i].X * 25536 / 65536);
        EXPECT_EQ(mapped[i].Y, 1000 + plain[i].Y * 29001 / 65536);
    }
    // Raw (102, 102) is (3264, 62272) before the rectangle.
    EXPECT_EQ(mapped[0].X, 41271);
    EXPECT_EQ(mapped[0].Y, 28556);
    // The whole desktop keeps the coordinates but still marks them.
    std::vector<Record> whole =
        RecordsOf(Scenario(std::string(Connected) + "ctl map port:0 0 0 65536 65536\n" + Strokes));
    for (size_t i = 0; i < plain.size(); ++i)
        EXPECT_TRUE(whole[i].Flags == 3 && whole[i].X == plain[i].X && whole[i].Y == plain[i].Y);
}

TEST(ScreenTest, BadRectanglesAreRefusedAndChangeNothing)
{
    std::string set = "ioctl 0x80000500 in={port:0}";
    auto le = [](uint32_t v) {
        char text[12];
        std::snprintf(text, sizeof text, "%02x%02x%02x%02x", v & 0xFF, (v >> 8) & 0xFF,
                      (v >> 16) & 0xFF, v >> 24);
        return std::string(text);
    };
    auto rect = [&](uint32_t l, uint32_t t, uint32_t r, uint32_t b) {
        return set + le(l) + le(t) + le(r) + le(b) + "\n";
    };
    std::string output =
        Scenario(std::string(Connected) + rect(100, 200, 300, 400) + rect(300, 0, 300, 10) +
                 rect(0, 10, 5, 10) + rect(0, 0, 65537, 10) + rect(0, 0, 10, 65537) +
                 rect(0xFFFFFFFF, 0, 10, 10) + "ioctl 0x80000500 in={port:0}0000000000000000\n" +
                 "ioctl 0x80000504 in={port:0} out=16\n" + "ioctl 0x80000504 in={port:0} out=15\n");
    std::vector<std::string> answers = Lines(output, "ioctl ");
    // Five bad rectangles and one input too short to hold one.
    ASSERT_EQ(answers.size(), 9u);
    EXPECT_EQ(answers[0], "ioctl 0x80000500 status=0x00000000 info=0 out=");
    for (size_t i = 1; i <= 6; ++i)
        EXPECT_EQ(answers[i], "ioctl 0x80000500 status=0xC0000001 info=0 out=") << i;
    EXPECT_EQ(answers[7], "ioctl 0x80000504 status=0x00000000 info=16 out=" + le(100) + le(200) +
                              le(300) + le(400));
    EXPECT_EQ(answers[8], "ioctl 0x80000504 status=0xC0000001 info=0 out=");
}

TEST(ScreenTest, TheRegistryKeepsTheRectangleAndAbsentValuesMeanNone)
{
    std::string output = Scenario(std::string(Connected) + "ctl map port:0 0 0 32768 65536\n" +
                                  "reg dump VORN2000\\Device0\n" + "ctl map port:0 none\n" +
                                  "reg dump VORN2000\\Device0\n");
    std::vector<std::string> screen = Lines(output, "reg VORN2000\\Device0 Screen");
    ASSERT_EQ(screen.size(), 4u); // written once, gone after the clear
    EXPECT_EQ(screen[0], "reg VORN2000\\Device0 ScreenBottom dword 65536");
    EXPECT_EQ(screen[2], "reg VORN2000\\Device0 ScreenRight dword 32768");

    const std::string device = "reg set VORN2000\\Device0 COMM sz COM1\n";
    std::string loaded =
        Scenario(device + "reg set VORN2000\\Device0 ScreenLeft dword 16\n" +
                 "reg set VORN2000\\Device0 ScreenTop dword 32\n" +
                 "reg set VORN2000\\Device0 ScreenRight dword 48\n" +
                 "reg set VORN2000\\Device0 ScreenBottom dword 64\n" + "load\nctl show port:0\n");
    EXPECT_EQ(Lines(loaded, "Screen="), std::vector<std::string>{"Screen=16 32 48 64"});
    // Three of four values, or values that make no rectangle, make none.
    for (const char* partial : {"reg set VORN2000\\Device0 ScreenRight dword 48\n"
                                "reg set VORN2000\\Device0 ScreenBottom dword 64\n",
                                "reg set VORN2000\\Device0 ScreenRight dword 70000\n"
                                "reg set VORN2000\\Device0 ScreenBottom dword 64\n"}) {
        std::string none = Scenario(device + partial + "load\nctl show port:0\n");
        EXPECT_EQ(Lines(none, "Screen="), std::vector<std::string>{"Screen=none"});
    }
}

TEST(ScreenTest, DynamicDevicesMapWithoutTouchingTheRegistry)
{
    std::string output = Scenario("load\nctl add-path \\??\\PIPE0\nctl map dyn:0 0 0 100 100\n"
                                  "ctl show dyn:0\nreg dump VORN2000\n");
    EXPECT_EQ(Lines(output, "Screen="), std::vector<std::string>{"Screen=0 0 100 100"});
    EXPECT_TRUE(Lines(output, "reg ").empty());
}

} // namespace
