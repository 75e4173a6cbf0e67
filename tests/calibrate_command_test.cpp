// vornctl calibrate as a user runs it: a simulated finger taps the targets on
// an emulated panel, the driver applies what the calibration wrote, and
// later touches land where they were aimed.
#include "sim/system.h"
#include "tools/vornsim/ctl.h"
#include "tests/scenario_run.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <fstream>
#include <map>
#include <mutex>
#include <sstream>
#include <unistd.h>

namespace {

using Outcome = ScenarioRun;

Outcome Scenario(const std::string& lines)
{
    return RunLines(lines);
}

std::vector<std::string> Lines(const std::string& text, const std::string& prefix)
{
    return LinesStartingWith(text, prefix);
}

// A bowed, skewed panel with jitter on COM1; the smoothing filter off so a
// record is the point the driver mapped.
std::string Panel(const char* corners = "1100 1300 15000 1250 15200 14900 1180 15050")
{
    return std::string("reg set VORN2000\\Device0 COMM sz COM1\n"
                       "reg set VORN2000\\Device0 BaudRate dword 9600\n"
                       "reg set VORN2000 Filter dword 0\n"
                       "port add COM1\nport answers COM1 0\n"
                       "port panel COM1 ") +
           corners + " bow 300 -250 jitter 2\nload\npnp add\npnp start\nclass connect\nsleep 50\n";
}

const char* const ReadBack = "ctl show port:0\nctl globals\nreg dump VORN2000\n";

// Taps a 17 x 17 grid 2% in from the edges; the largest and mean distance
// between each landing record and its point.
void MeasureGrid(const std::string& calibrated, double* worst, double* mean)
{
    std::string taps;
    std::vector<std::pair<int, int>> points;
    for (int i = 0; i < 17; ++i)
        for (int j = 0; j < 17; ++j) {
            int x = 1311 + i * (65536 - 2 * 1311) / 16, y = 1311 + j * (65536 - 2 * 1311) / 16;
            points.emplace_back(x, y);
            taps += "port tap COM1 " + std::to_string(x) + " " + std::to_string(y) + "\n";
        }
    Outcome run = Scenario(calibrated + taps + "sleep 600\n");
    ASSERT_EQ(run.Exit, 0) << run.Errors;
    std::vector<std::string> downs = Lines(run.Output, "record unit=0 flags=1 buttons=0x1 ");
    ASSERT_EQ(downs.size(), points.size());
    double sum = 0;
    *worst = 0;
    for (size_t k = 0; k < downs.size(); ++k) {
        long x, y;
        std::sscanf(downs[k].c_str(), "record unit=0 flags=1 buttons=0x1 x=%ld y=%ld", &x, &y);
        double error = std::hypot(double(x - points[k].first), double(y - points[k].second));
        *worst = std::max(*worst, error);
        sum += error;
    }
    *mean = sum / double(downs.size());
}

TEST(CalibrateCommandTest, TwentyFivePointsWithAMisclickLandTouchesWhereAimed)
{
    std::string calibrate = Panel() + "ctl calibrate port:0 25 by=COM1 misclick=3\n";
    Outcome run = Scenario(calibrate);
    ASSERT_EQ(run.Exit, 0) << run.Errors;
    EXPECT_EQ(Lines(run.Output, "calibrating port:0 with 25 points").size(), 1u);
    // The misclick is found as soon as the touches tell, and only its
    // target is asked again: 26 touches, each correct one kept.
    std::vector<std::string> measured = Lines(run.Output, "measured ");
    EXPECT_EQ(measured.size(), 26u);
    EXPECT_EQ(Lines(run.Output, "measured 3/25 ").size(), 2u);
    EXPECT_EQ(Lines(run.Output, "target 3/25: its touch is far from where the later touches put "
                                "it; touch target 3/25 again")
                  .size(),
              1u);
    EXPECT_EQ(Lines(run.Output, "target 3/25 at ").size(), 2u);
    for (const char* refusal : {"target 1/", "target 2/", "target 4/", "target 5/"})
        EXPECT_EQ(Lines(run.Output, refusal).size(), 1u) << refusal;
    EXPECT_EQ(Lines(run.Output, "written GridX=").size(), 1u);
    EXPECT_EQ(Lines(run.Output, "error at the targets").size(), 1u);
    EXPECT_TRUE(Lines(run.Output, "record ").empty()) << "the calibration's taps are its own";

    double worst, mean;
    MeasureGrid(calibrate, &worst, &mean);
    // Through the driver itself: a bowed panel corrected to within a
    // fraction of a percent of the screen.
    EXPECT_LT(worst, 250);
    EXPECT_LT(mean, 80);
}

// Through the driver, a misclick at every place of a 9- and a 25-point run:
// one refusal, naming the missed target, which alone is shown twice.
TEST(CalibrateCommandTest, EveryMisclickThroughTheDriverCostsOnlyItsOwnTarget)
{
    for (int points : {9, 25})
        for (int misclick = 1; misclick <= points; ++misclick) {
            SCOPED_TRACE(testing::Message() << points << " points, misclick " << misclick);
            const std::string target =
                "target " + std::to_string(misclick) + "/" + std::to_string(points);
            Outcome run = Scenario(Panel() + "ctl calibrate port:0 " + std::to_string(points) +
                                   " by=COM1 misclick=" + std::to_string(misclick) + "\n");
            ASSERT_EQ(run.Exit, 0) << run.Errors;
            std::vector<std::string> refusals;
            for (const std::string& line : Lines(run.Output, "target "))
                if (line.find(" again") != std::string::npos)
                    refusals.push_back(line);
            ASSERT_EQ(refusals.size(), 1u);
            EXPECT_EQ(refusals[0].rfind(target + ": ", 0), 0u) << refusals[0];
            EXPECT_EQ(Lines(run.Output, target + " at ").size(), 2u);
            size_t shown = 0;
            for (const std::string& line : Lines(run.Output, "target "))
                shown +=
                    line.find(" at ") != std::string::npos && line.find(':') == std::string::npos;
            EXPECT_EQ(shown, size_t(points) + 1);
            EXPECT_EQ(Lines(run.Output, "written ").size(), 4u);
        }
}

TEST(CalibrateCommandTest, FourAndNinePointsAndTheMeasuringSettingsAreGoneAfterwards)
{
    for (const char* points : {"4", "9"}) {
        SCOPED_TRACE(points);
        Outcome before = Scenario(Panel() + ReadBack);
        Outcome run =
            Scenario(Panel() + "ctl calibrate port:0 " + points + " by=COM1\n" + ReadBack);
        ASSERT_EQ(run.Exit, 0) << run.Errors;
        EXPECT_EQ(Lines(run.Output, "measured ").size(), size_t(std::stoi(points)));
        // The click assist, the event selection and the rotation are back.
        EXPECT_EQ(Lines(run.Output, "MouseMode="), Lines(before.Output, "MouseMode="));
        EXPECT_EQ(Lines(run.Output, "GridEnabled="),
                  std::vector<std::string>{points[0] == '4' ? "GridEnabled=0" : "GridEnabled=1"});
    }
}

// The same system as the scenarios, held open so that what a failed
// calibration left can be read back afterwards.
class HeldSystem {
public:
    explicit HeldSystem(const sim::Panel& panel) : system_(kernel_)
    {
        kernel_.RegistrySetString(u"VORN2000\\Device0", u"COMM", u"COM1");
        kernel_.RegistrySetDword(u"VORN2000\\Device0", u"BaudRate", 9600);
        sim::SerialPort& port = system_.AddPort("COM1");
        port.Controller.AnswersLeft = 0;
        port.SetPanel(panel);
        system_.SetRecordSink([this](const MOUSE_INPUT_DATA& r) {
            std::lock_guard<std::mutex> guard(lock_);
            records_.push_back(r);
        });
        system_.Load();
        system_.AddDevice();
        system_.Pnp(IRP_MN_START_DEVICE);
        system_.ClassConnect();
        kernel_.SleepMs(50);
        kernel_.Settle();
        port_ = &port;
    }

    // Runs vornctl; its lines, or "error: WHY".
    std::string Ctl(const std::string& command, int misclick = 0)
    {
        std::istringstream words(command);
        std::vector<std::string> args;
        for (std::string w; words >> w;)
            args.push_back(w);
        vornctl::Platform platform;
        platform.OpenCalibration = [this, misclick](const vornctl::CalibrationTarget&,
                                                    std::string*) {
            ++screensShown;
            return std::unique_ptr<vornctl::CalibrationUi>(new Screen(
                [this](vorn::calibration::ScreenPoint at) { return Tap(at); }, misclick, this));
        };
        std::string out;
        vornctl::Result result = vornsim::RunCtl(
            args, [&](const std::string& line) { out += line + "\n"; }, platform);
        return result.Exit == vornctl::ExitOk ? out : "error: " + result.Error;
    }

    sim::System& System() { return system_; }

    // What the calibration screen showed: each note, and the target shown
    // with it ("N/M at X Y").
    int screensShown = 0;
    std::vector<std::string> notes;

private:
    // The simulated user's screen, which also keeps what it was told.
    class Screen : public vornsim::SimulatedUser {
    public:
        Screen(Tapper tap, int misclick, HeldSystem* held)
            : SimulatedUser(std::move(tap), misclick), held_(held)
        {
        }
        void Explain(const std::string& why) override { note_ = why; }
        void ShowTarget(size_t index, size_t count, vorn::calibration::ScreenPoint at) override
        {
            if (!note_.empty())
                held_->notes.push_back(note_ + " | " + std::to_string(index + 1) + "/" +
                                       std::to_string(count) + " at " + std::to_string(at.X) + " " +
                                       std::to_string(at.Y));
            SimulatedUser::ShowTarget(index, count, at);
        }

    private:
        HeldSystem* held_;
        std::string note_;
    };

    std::vector<MOUSE_INPUT_DATA> Tap(vorn::calibration::ScreenPoint at)
    {
        port_->Tap(at.X, at.Y, vornsim::SimulatedUser::ReportsPerTap);
        kernel_.Settle();
        std::lock_guard<std::mutex> guard(lock_);
        return std::move(records_);
    }

    hosted::Kernel kernel_;
    sim::System system_;
    sim::SerialPort* port_ = nullptr;
    std::mutex lock_;
    std::vector<MOUSE_INPUT_DATA> records_;
};

sim::Panel MakePanel(std::initializer_list<int32_t> corners)
{
    sim::Panel panel;
    std::copy(corners.begin(), corners.end(), panel.Corners);
    panel.BowX = 300;
    panel.BowY = -250;
    panel.Jitter = 2;
    return panel;
}

TEST(CalibrateCommandTest, AFailedOrCancelledCalibrationChangesNothing)
{
    const char* const readBack[] = {"show port:0", "globals"};
    struct Case {
        sim::Panel Panel;
        bool Disabled; // no record reaches the class driver
        std::string Error;
    } const cases[] = {
        {MakePanel({15000, 1250, 1100, 1300, 1180, 15050, 15200, 14900}), false, // mirrored
         "error: calibration failed: the panel is turned inside out: its touches run mirror-wise "
         "to the screen; the settings are as they were"},
        {MakePanel({1100, 1300, 15000, 1250, 15200, 14900, 1180, 15050}), true,
         "error: calibration cancelled (no record reached the class driver); the settings are as "
         "they were"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Error);
        HeldSystem held(c.Panel);
        // A rectangle, swap, grid and rotation to be kept.
        held.Ctl("swap port:0 on");
        held.Ctl("grid port:0 off");
        held.Ctl("map port:0 0 0 32768 65536");
        held.Ctl("set-globals Rotation=1 MouseMode=0x20000000");
        std::string before;
        for (const char* command : readBack)
            before += held.Ctl(command);
        if (c.Disabled)
            held.System().ClassRequest(IOCTL_INTERNAL_MOUSE_DISABLE);
        EXPECT_EQ(held.Ctl("calibrate port:0 9"), c.Error);
        std::string after;
        for (const char* command : readBack)
            after += held.Ctl(command);
        EXPECT_EQ(after, before);
        EXPECT_NE(before.find("SwapXY=1\nGridEnabled=0"), std::string::npos);
        EXPECT_NE(before.find("Screen=0 0 32768 65536"), std::string::npos);
    }
}

// The screen says each refusal in words, with the target shown next, and
// the console says the same.
TEST(CalibrateCommandTest, TheScreenSaysWhyATouchWasRefusedAndWhereTheNextGoes)
{
    HeldSystem held(MakePanel({1100, 1300, 15000, 1250, 15200, 14900, 1180, 15050}));
    std::string out = held.Ctl("calibrate port:0 9", 6);
    ASSERT_NE(out.rfind("error: ", 0), 0u) << out;
    ASSERT_EQ(held.notes.size(), 1u);
    const std::string note =
        "target 6/9: the touch is far from where the other touches put it; touch target 6/9 again";
    EXPECT_EQ(held.notes[0], note + " | 6/9 at 32736 3296");
    EXPECT_NE(out.find(note + "\ntarget 6/9 at 32736 3296\n"), std::string::npos) << out;
}

// A device whose port is not open gets no touches: refused at once, before
// a screen is shown or a setting changed.
TEST(CalibrateCommandTest, ADeviceWhosePortIsNotOpenIsRefusedAtOnce)
{
    HeldSystem held(MakePanel({1100, 1300, 15000, 1250, 15200, 14900, 1180, 15050}));
    EXPECT_EQ(held.Ctl("close port:0"), "port:0 closed\n");
    std::string before = held.Ctl("show port:0") + held.Ctl("globals");
    EXPECT_EQ(held.Ctl("calibrate port:0 25"),
              "error: cannot calibrate port:0: its port COM1 is not open (list shows open=no), so "
              "no touch can reach the driver");
    EXPECT_EQ(held.screensShown, 0);
    EXPECT_EQ(held.Ctl("show port:0") + held.Ctl("globals"), before);
    // Opened again, it calibrates.
    EXPECT_EQ(held.Ctl("open port:0"), "port:0 open\n");
    EXPECT_NE(held.Ctl("calibrate port:0 4").find("written LLX="), std::string::npos);
    EXPECT_EQ(held.screensShown, 1);
}

// Checks the tags nest and close, and returns how many of each element.
std::map<std::string, int> Elements(const std::string& svg, bool* wellFormed)
{
    std::map<std::string, int> counts;
    std::vector<std::string> open;
    *wellFormed = true;
    for (size_t at = svg.find('<'); at != std::string::npos; at = svg.find('<', at + 1)) {
        size_t end = svg.find('>', at);
        if (end == std::string::npos) {
            *wellFormed = false;
            break;
        }
        std::string tag = svg.substr(at + 1, end - at - 1);
        if (tag[0] == '?')
            continue;
        if (tag[0] == '/') {
            if (open.empty() || open.back() != tag.substr(1))
                *wellFormed = false;
            else
                open.pop_back();
            continue;
        }
        std::string name = tag.substr(0, tag.find_first_of(" /"));
        ++counts[name];
        std::string id = "id=\"";
        size_t idAt = tag.find(id);
        if (idAt != std::string::npos)
            ++counts["#" + tag.substr(idAt + 4, tag.find('"', idAt + 4) - idAt - 4)];
        if (tag.back() != '/')
            open.push_back(name);
    }
    *wellFormed = *wellFormed && open.empty();
    return counts;
}

TEST(CalibrateCommandTest, ThePictureIsCompleteAndWellFormed)
{
    std::string path =
        ::testing::TempDir() + "vorn_calibration_" + std::to_string(getpid()) + ".svg";
    Outcome run = Scenario(Panel() + "ctl calibrate port:0 25 by=COM1 --svg " + path + "\n");
    ASSERT_EQ(run.Exit, 0) << run.Errors;
    EXPECT_EQ(Lines(run.Output, "picture written to " + path).size(), 1u);
    std::ifstream file(path);
    std::string svg((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    std::remove(path.c_str());
    bool wellFormed;
    std::map<std::string, int> count = Elements(svg, &wellFormed);
    EXPECT_TRUE(wellFormed);
    EXPECT_EQ(count["svg"], 1);
    for (const char* group : {"#screen", "#targets", "#touches", "#errors-before", "#errors-after",
                              "#corrected-grid", "#legend"})
        EXPECT_EQ(count[group], 1) << group;
    EXPECT_EQ(count["circle"], 50);   // 25 targets and 25 touches
    EXPECT_EQ(count["line"], 50);     // an error vector per target, before and after
    EXPECT_EQ(count["polyline"], 10); // five rows and five columns of the lattice
}

TEST(CalibrateCommandTest, ScenarioLinesWithoutAPanelAreErrors)
{
    Outcome noUser = Scenario(Panel() + "ctl calibrate port:0 25\n");
    EXPECT_EQ(noUser.Exit, 2);
    EXPECT_NE(noUser.Errors.find("ctl calibrate needs by=NAME"), std::string::npos);
    Outcome badPoints = Scenario(Panel() + "ctl calibrate port:0 7 by=COM1\n");
    EXPECT_EQ(badPoints.Exit, 2);
    EXPECT_NE(badPoints.Errors.find("usage: vornctl calibrate DEV [4|9|25] [--svg FILE]"),
              std::string::npos);
}

} // namespace
