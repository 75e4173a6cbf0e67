// vornctl calibrate: collects touches at targets under a known linear
// calibration, computes the values with the calibration engine, and writes
// them; every setting it changes on the way is put back on failure.
#include "client/calibration_svg.h"
#include "control/request_codes.h"
#include "tools/vornctl/session.h"

#include <cmath>
#include <cstdio>
#include <fstream>

namespace vornctl {
namespace detail {
namespace {

using vorn::calibration::DriverValues;
using vorn::calibration::Procedure;
using vorn::calibration::RawPoint;
using vorn::calibration::ScreenPoint;

// A target shown this often without a touch that stands ends the run.
constexpr int TriesPerTarget = 4;
constexpr uint16_t CalFlagGridOn = 1;

// What the procedure changes, as it was before.
struct Saved {
    vorn::ParameterBlock Block;
    uint32_t State = 0;
    vorn::ScreenRect Screen;
    vorn::MouseSettings Mouse;
    uint32_t Rotation = 0;
};

Saved Save(Session& s, const Device& d)
{
    Saved saved;
    saved.Block = BlockOf(s, d);
    saved.State = StateOf(s, d);
    saved.Screen = RectOf(s, d);
    saved.Mouse = Need(s.Client.GetMouseSettings(), "the mouse settings");
    saved.Rotation = Need(s.Client.Rotation(), "the rotation");
    return saved;
}

void Check(uint32_t status, const std::string& what)
{
    if (status != vorn::StatusSuccess)
        Refuse("cannot " + what + ": " + DriverAnswered(status));
}

void WriteBlock(Session& s, const vorn::ParameterBlock& block, const DriverValues& values,
                uint16_t calFlags)
{
    vorn::ParameterBlock b = block;
    int32_t* corners[] = {&b.LLX, &b.LLY, &b.LRX, &b.LRY, &b.URX, &b.URY, &b.ULX, &b.ULY};
    for (int i = 0; i < 8; ++i)
        *corners[i] = values.Corners[i];
    if (values.GridEnabled) {
        for (int i = 0; i < 8; ++i)
            b.GridCorners[i] = values.GridCorners[i];
        for (int i = 0; i < 25; ++i) {
            b.GridX[i] = values.GridX[i];
            b.GridY[i] = values.GridY[i];
        }
    }
    b.CalFlags = calFlags;
    Check(s.Client.WriteParameters(b), "write the calibration");
}

// Grid, swap and the screen rectangle off, the click assist off so taps are
// not snapped, no rotation, and both touch events selected for the window.
void StartMeasuring(Session& s, const Device& d, const Saved& saved)
{
    WriteBlock(s, saved.Block, vorn::calibration::MeasuringValues(), 0);
    Check(s.Client.SetScreenRect(d.Handle, {}), "turn the screen rectangle off");
    vorn::MouseSettings mouse = saved.Mouse;
    mouse.MouseMode =
        (mouse.MouseMode & ~RightButtonMode) | ClickAssistOff | EventOnUp | EventOnDown;
    Check(s.Client.SetMouseSettings(mouse), "set the mouse mode");
    Check(s.Client.SetRotation(0), "set the rotation");
}

void RestoreGlobals(Session& s, const Device& d, const Saved& saved)
{
    s.Client.SetMouseSettings(saved.Mouse);
    s.Client.SetRotation(saved.Rotation);
    s.Client.SetScreenRect(d.Handle, saved.Screen);
}

// Everything as it was; best effort, since it runs when something failed.
void RestoreAll(Session& s, const Device& d, const Saved& saved)
{
    s.Client.WriteParameters(saved.Block);
    s.Client.SetSwapXY(d.Handle, (saved.State & DeviceStateSwapXY) != 0);
    s.Client.SetGridEnabled(d.Handle, (saved.State & DeviceStateGridEnabled) != 0);
    RestoreGlobals(s, d, saved);
}

// The values in force before, for the picture of what changed.
DriverValues ValuesOf(const Saved& saved)
{
    DriverValues v;
    const vorn::ParameterBlock& b = saved.Block;
    const int32_t corners[] = {b.LLX, b.LLY, b.LRX, b.LRY, b.URX, b.URY, b.ULX, b.ULY};
    for (int i = 0; i < 8; ++i) {
        v.Corners[i] = corners[i];
        v.GridCorners[i] = b.GridCorners[i];
    }
    for (int i = 0; i < 25; ++i) {
        v.GridX[i] = b.GridX[i];
        v.GridY[i] = b.GridY[i];
    }
    v.GridEnabled = (saved.State & DeviceStateGridEnabled) != 0;
    return v;
}

// Where a target of the records' frame appears with the global rotation in
// force: the records are rotated after the calibration, so the user must
// touch the rotated point for the calibration to come out right.
ScreenPoint Rotated(ScreenPoint p, uint32_t rotation)
{
    constexpr int32_t Full = 0x10000;
    switch (rotation) {
    case 1:
        return {Full - p.Y, p.X};
    case 2:
        return {Full - p.X, Full - p.Y};
    case 3:
        return {p.Y, Full - p.X};
    default:
        return p;
    }
}

std::string Decimal(double value)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.1f", value);
    return text;
}

std::string TargetText(size_t index, size_t count)
{
    return std::to_string(index + 1) + "/" + std::to_string(count);
}

std::string RawText(const RawPoint& m)
{
    return Decimal(m.X) + " " + Decimal(m.Y);
}

// Why the touch just made was not taken as it was, and where the next one
// goes; empty when it was simply kept.
std::string Refusal(const Procedure& procedure, Procedure::Verdict verdict, size_t touched)
{
    const size_t count = procedure.Targets().size();
    const std::string at = "target " + TargetText(touched, count);
    switch (verdict) {
    case Procedure::Verdict::Misplaced:
        return at + ": the touch is far from where the other touches put it; touch target " +
               TargetText(touched, count) + " again";
    case Procedure::Verdict::TakenBack:
        return "target " + TargetText(procedure.Other(), count) +
               ": its touch is far from where the later touches put it; touch target " +
               TargetText(procedure.Other(), count) + " again";
    case Procedure::Verdict::SameSpot:
        return at + ": the touch landed where target " + TargetText(procedure.Other(), count) +
               " was touched; touch target " + TargetText(touched, count) + " at its own place";
    case Procedure::Verdict::TooFew:
        return at + ": too few samples; touch target " + TargetText(touched, count) +
               " again and hold a moment";
    default:
        return "";
    }
}

// Why a touched target is shown again.
std::string CheckText(const Procedure& procedure)
{
    const size_t count = procedure.Targets().size();
    return "target " + TargetText(procedure.Next(), count) + " and target " +
           TargetText(procedure.Disputed(), count) + " disagree; touch target " +
           TargetText(procedure.Next(), count) + " again to tell which is right";
}

// Taps until every target has one that the others agree with.
void CollectTaps(Session& s, CalibrationUi& ui, Procedure& procedure, uint32_t rotation)
{
    const std::vector<ScreenPoint>& targets = procedure.Targets();
    std::vector<int> tries(targets.size(), 0);
    std::string note;
    for (size_t next; (next = procedure.Next()) < targets.size();) {
        if (++tries[next] > TriesPerTarget)
            Refuse("target " + TargetText(next, targets.size()) + " was not hit in " +
                   std::to_string(TriesPerTarget) + " tries");
        if (procedure.Checking()) {
            note = CheckText(procedure);
            s.Print(note);
        }
        ScreenPoint shown = Rotated(targets[next], rotation);
        s.Print("target " + TargetText(next, targets.size()) + " at " + std::to_string(shown.X) +
                " " + std::to_string(shown.Y));
        ui.Explain(note);
        ui.ShowTarget(next, targets.size(), shown);
        std::vector<ScreenPoint> positions;
        std::string why;
        if (!ui.WaitForTap(&positions, &why))
            Refuse("calibration cancelled (" + why + "); the settings are as they were");
        std::vector<RawPoint> samples;
        for (ScreenPoint p : positions)
            samples.push_back(vorn::calibration::RawOf(p));
        Procedure::Verdict verdict = procedure.AddTap(samples);
        if (verdict == Procedure::Verdict::Accepted || verdict == Procedure::Verdict::TakenBack ||
            verdict == Procedure::Verdict::Confirmed)
            s.Print(
                std::string(verdict == Procedure::Verdict::Confirmed ? "confirmed " : "measured ") +
                TargetText(next, targets.size()) + " raw " + RawText(procedure.Measured()[next]) +
                " from " + std::to_string(samples.size()) + " samples");
        note = Refusal(procedure, verdict, next);
        if (!note.empty())
            s.Print(note);
    }
}

std::string Joined(const int32_t* values, int count)
{
    std::string text;
    for (int i = 0; i < count; ++i)
        text += (i ? "," : "") + std::to_string(values[i]);
    return text;
}

void PrintValues(Session& s, const DriverValues& v)
{
    static const char* const names[] = {"LLX", "LLY", "LRX", "LRY", "URX", "URY", "ULX", "ULY"};
    std::string corners = "written", grid = "written";
    for (int i = 0; i < 8; ++i) {
        corners += std::string(" ") + names[i] + "=" + std::to_string(v.Corners[i]);
        grid += std::string(" Grid") + names[i] + "=" + std::to_string(v.GridCorners[i]);
    }
    s.Print(corners + " CalFlags=" + (v.GridEnabled ? "1" : "0"));
    if (!v.GridEnabled)
        return;
    s.Print(grid);
    s.Print("written GridX=" + Joined(v.GridX, 25));
    s.Print("written GridY=" + Joined(v.GridY, 25));
}

void PrintErrors(Session& s, const Procedure& procedure, const DriverValues& values)
{
    std::vector<double> errors = vorn::calibration::ErrorsAtTargets(procedure, values);
    double worst = 0, sum = 0;
    for (double e : errors) {
        worst = std::max(worst, e);
        sum += e;
    }
    s.Print("error at the targets in output units: max " + Decimal(worst) + " mean " +
            Decimal(errors.empty() ? 0 : sum / double(errors.size())));
}

void WriteSvg(const std::string& path, const Procedure& procedure, const DriverValues& before,
              const DriverValues& after)
{
    std::ofstream file(path, std::ios::binary);
    file << vorn::calibration::CalibrationSvg(procedure, before, after);
    if (!file.flush())
        Refuse("calibration written, but the picture could not be written to " + path);
}

// No touch reaches the driver from a port that is not open: say so at once
// rather than wait for touches that cannot come.
void RefuseUnlessOpen(Session& s, const Device& d)
{
    if (StateOf(s, d) & DeviceStatePortOpen)
        return;
    std::string port = PortNameOf(s, d);
    Refuse("cannot calibrate " + d.Name + ": " +
           (port == "-" ? std::string("it has no port") : "its port " + port + " is not open") +
           " (list shows open=no), so no touch can reach the driver");
}

} // namespace

// calibrate DEV [4|9|25] [--svg FILE]
Action CalibrateCommand(const std::vector<std::string>& args)
{
    DeviceRef ref = ParseDevice(args[1]);
    int points = 25;
    std::string svg;
    for (size_t i = 2; i < args.size(); ++i) {
        if (args[i] == "--svg" && i + 1 < args.size())
            svg = args[++i];
        else if (args[i] == "4" || args[i] == "9" || args[i] == "25")
            points = std::stoi(args[i]);
        else
            UsageError("usage: vornctl calibrate DEV [4|9|25] [--svg FILE]");
    }
    return [ref, points, svg](Session& s) {
        if (!s.Features.OpenCalibration)
            Refuse("calibrate needs a screen to show its targets on");
        Device d = Resolve(s, ref);
        RefuseUnlessOpen(s, d);
        Saved saved = Save(s, d);
        std::string why;
        std::unique_ptr<CalibrationUi> ui =
            s.Features.OpenCalibration({&s.Client, d.Handle, saved.Screen}, &why);
        if (!ui)
            Refuse("cannot show the calibration targets: " + why);
        s.Print("calibrating " + d.Name + " with " + std::to_string(points) + " points");
        Procedure procedure(points);
        DriverValues values;
        try {
            StartMeasuring(s, d, saved);
            CollectTaps(s, *ui, procedure, saved.Rotation);
            ui.reset();
            if (!procedure.Compute(&values, &why))
                Refuse("calibration failed: " + why + "; the settings are as they were");
            WriteBlock(s, saved.Block, values, values.GridEnabled ? CalFlagGridOn : 0);
            RestoreGlobals(s, d, saved);
        } catch (const Failure&) {
            ui.reset();
            RestoreAll(s, d, saved);
            throw;
        }
        PrintValues(s, values);
        PrintErrors(s, procedure, values);
        if (!svg.empty()) {
            WriteSvg(svg, procedure, ValuesOf(saved), values);
            s.Print("picture written to " + svg);
        }
    };
}

} // namespace detail
} // namespace vornctl
