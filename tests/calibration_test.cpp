// The calibration engine: its copy of the driver's arithmetic against the
// driver itself, the measuring calibration, and whole calibrations of
// generated panels by a simulated user, with misclicks and bad input.
#include "client/calibration.h"
#include "fixture.h"
#include "sim/panel.h"

#include <cmath>
#include <random>
#include <set>

namespace {

using namespace vorn::calibration;

// ---- DriverMap against the driver ------------------------------------------

class DriverMapTest : public DriverTest {
protected:
    DriverMapTest()
    {
        Control().Filter = 0;
        Control().MouseMode = 1; // click assist off
        touch = rig.AddTouchDevice();
        device = ExtensionOf(touch);
    }

    void Load(const DriverValues& v)
    {
        TouchSettings& s = device->Settings;
        LONG* main[8] = {&s.LLX, &s.LLY, &s.LRX, &s.LRY, &s.URX, &s.URY, &s.ULX, &s.ULY};
        LONG* grid[8] = {&s.GridLLX, &s.GridLLY, &s.GridLRX, &s.GridLRY,
                         &s.GridURX, &s.GridURY, &s.GridULX, &s.GridULY};
        for (int k = 0; k < 8; ++k) {
            *main[k] = v.Corners[k];
            *grid[k] = v.GridCorners[k];
        }
        for (int i = 0; i < 25; ++i) {
            s.GridX[i] = v.GridX[i];
            s.GridY[i] = v.GridY[i];
        }
        device->GridEnabled = v.GridEnabled ? 1 : 0;
        device->SwapXY = 0;
        InvalidateCornerMaps(device); // as every writer of the corners does
    }

    // The driver's decode of one report at raw (x, y).
    std::pair<LONG, LONG> Decode(ULONG x, ULONG y)
    {
        auto bytes = sim::TouchReportBytes(x, y, true);
        std::copy(bytes.begin(), bytes.end(), device->ReportBytes);
        MOUSE_INPUT_DATA record;
        std::memset(&record, 0, sizeof record);
        DecodeTouchReport(device, &record);
        return {record.LastX, record.LastY};
    }

    std::pair<LONG, LONG> Engine(const DriverValues& v, int32_t x, int32_t y)
    {
        ScreenPoint s = DriverMap(v, x, y);
        return {s.X, s.Y};
    }

    PDEVICE_OBJECT touch;
    DeviceExtension* device;
};

DriverValues Identity()
{
    DriverValues v;
    const int32_t identity[8] = {102, 102, 1945, 102, 1945, 1945, 102, 1945};
    std::copy(identity, identity + 8, v.Corners);
    std::copy(identity, identity + 8, v.GridCorners);
    return v;
}

TEST_F(DriverMapTest, WorkedExamplesOfTheCornerMappingAndTheGrid)
{
    DriverValues v = Identity();
    const int32_t worked[8] = {180, 150, 1890, 130, 1910, 1880, 160, 1900};
    std::copy(worked, worked + 8, v.Corners);
    EXPECT_EQ(Engine(v, 1000, 500), std::make_pair(31392, 50176));
    EXPECT_EQ(Engine(v, 500, 1000), std::make_pair(449 * 32, 65536 - 1001 * 32));
    EXPECT_EQ(Engine(v, 1890, 130), std::make_pair(1944 * 32, 65536 - 102 * 32));

    DriverValues g = Identity();
    g.GridEnabled = true;
    g.GridX[7] = 20;
    g.GridY[7] = -12;
    EXPECT_EQ(Engine(g, 600, 1100), std::make_pair(586 * 32, 65536 - 1109 * 32));
    EXPECT_EQ(Engine(g, 767, 767), std::make_pair(762 * 32, 65536 - 770 * 32));
    EXPECT_EQ(Engine(g, 511, 1023), std::make_pair(492 * 32, 65536 - 1034 * 32));

    // Default corners: the identity scaled and inverted, clamped past 2047.
    DriverValues d = Identity();
    EXPECT_EQ(Engine(d, 0, 0), std::make_pair(0, 65536));
    EXPECT_EQ(Engine(d, 2047, 2047), std::make_pair(65504, 32));
    EXPECT_EQ(Engine(d, 2700, 2700), std::make_pair(65536, 0));
    // A grid corner set left all zero passes the point through.
    DriverValues z = Identity();
    z.GridEnabled = true;
    std::fill(z.GridCorners, z.GridCorners + 8, 0);
    EXPECT_EQ(Engine(z, 1000, 500), std::make_pair(32000, 65536 - 16000));

    for (const DriverValues* values : {&v, &g, &d, &z}) {
        Load(*values);
        for (auto [x, y] : {std::pair<int, int>{1000, 500}, {500, 1000}, {600, 1100}, {0, 0}})
            EXPECT_EQ(Engine(*values, x, y), Decode(x, y)) << x << ", " << y;
    }
}

// Corner sets from the ordinary to the absurd: near the identity, a real
// panel's raw range, wide random ones, nearly collinear, all one point.
DriverValues RandomValues(std::mt19937& random, int kind)
{
    DriverValues v = Identity();
    auto jitter = [&](int32_t span) { return int32_t(random() % uint32_t(2 * span + 1)) - span; };
    auto wide = [&]() { return int32_t(random()); };
    const int32_t panel[8] = {1200, 1200, 15100, 1200, 15100, 15100, 1200, 15100};
    for (int k = 0; k < 8; ++k) {
        switch (kind % 5) {
        case 0:
            v.Corners[k] += jitter(60);
            v.GridCorners[k] = panel[k] + jitter(1500);
            break;
        case 1:
            v.Corners[k] = panel[k] + jitter(2000);
            v.GridCorners[k] = v.GridCorners[k] + jitter(3);
            break;
        case 2:
            v.Corners[k] = wide();
            v.GridCorners[k] = wide();
            break;
        case 3: // collinear corners with a little noise
            v.Corners[k] = 500 + 10 * k + jitter(2);
            v.GridCorners[k] = jitter(1);
            break;
        default:
            v.Corners[k] = jitter(100000);
            v.GridCorners[k] = jitter(20);
            break;
        }
    }
    v.GridEnabled = (random() % 3) != 0;
    int32_t offsetSpan = kind % 7 == 6 ? 0x7fffffff : kind % 2 ? 40 : 3000;
    for (int i = 0; i < 25; ++i) {
        v.GridX[i] = offsetSpan == 0x7fffffff ? wide() : jitter(offsetSpan);
        v.GridY[i] = offsetSpan == 0x7fffffff ? wide() : jitter(offsetSpan);
    }
    return v;
}

TEST_F(DriverMapTest, BitIdenticalToTheDriverOverRandomValuesAndPoints)
{
    std::mt19937 random(12);
    int compared = 0;
    for (int set = 0; set < 400; ++set) {
        DriverValues v = RandomValues(random, set);
        Load(v);
        for (int i = 0; i < 60; ++i) {
            uint32_t x = random() % 16384, y = random() % 16384;
            if (i < 4) // the edges of the raw range
                x = (i & 1) ? 16383 : 0, y = (i & 2) ? 16383 : 0;
            ASSERT_EQ(Engine(v, int32_t(x), int32_t(y)), Decode(x, y))
                << "set " << set << " raw " << x << ", " << y;
            ++compared;
        }
    }
    EXPECT_EQ(compared, 400 * 60);
}

// Corner sets whose spans straddle the size up to which a report is mapped
// without overflow checks (coefficients of 2^29 come with spans near
// 1,165,000; diagonals of 2^30), with grid offsets wide enough to carry the
// point anywhere in 32 bits: both ways agree with the checked arithmetic.
TEST_F(DriverMapTest, CornerSetsAtTheEdgeOfTheUncheckedStepsMatch)
{
    std::mt19937 random(29);
    const int32_t spans[] = {1164000, 1165247, 1165248, 1166000, (1 << 30) - 1, 1 << 30};
    for (int32_t span : spans) {
        for (int set = 0; set < 20; ++set) {
            DriverValues v = Identity();
            auto jitter = [&] { return int32_t(random() % 5) - 2; };
            const int32_t corners[8] = {0, 0, span, 0, span, span, 0, span};
            for (int k = 0; k < 8; ++k) {
                v.Corners[k] = corners[k] + jitter();
                v.GridCorners[k] = set % 2 ? corners[k] + jitter() : v.GridCorners[k];
            }
            v.GridEnabled = set % 4 != 0;
            for (int i = 0; i < 25; ++i) {
                v.GridX[i] = int32_t(random());
                v.GridY[i] = int32_t(random());
            }
            Load(v);
            for (int i = 0; i < 40; ++i) {
                uint32_t x = random() % 16384, y = random() % 16384;
                ASSERT_EQ(Engine(v, int32_t(x), int32_t(y)), Decode(x, y))
                    << "span " << span << " set " << set << " raw " << x << ", " << y;
            }
        }
    }
}

TEST_F(DriverMapTest, RecordsThroughTheWholePipelineMatch)
{
    std::mt19937 random(3);
    DriverValues v = RandomValues(random, 0);
    v.GridEnabled = true;
    Load(v);
    for (int i = 0; i < 20; ++i) {
        ULONG x = random() % 16384, y = random() % 16384;
        rig.Touch(touch, x, y);
        rig.Touch(touch, x, y, false);
        auto records = rig.TakeRecords();
        ASSERT_EQ(records.size(), 2u);
        EXPECT_EQ(Engine(v, int32_t(x), int32_t(y)),
                  std::make_pair(records[0].LastX, records[0].LastY));
    }
}

// ---- The measuring calibration -----------------------------------------------

TEST(MeasuringValuesTest, EveryRawPositionIsRecoveredUnclamped)
{
    const DriverValues measuring = MeasuringValues();
    EXPECT_FALSE(measuring.GridEnabled);
    int32_t previous = -1;
    double worst = 0;
    for (int32_t raw = 0; raw <= 16383; ++raw) {
        ScreenPoint record = DriverMap(measuring, raw, 16383 - raw);
        ASSERT_GE(record.X, 0);
        ASSERT_LT(record.X, 65536) << raw; // never at the clamp
        ASSERT_GT(record.Y, 0);
        ASSERT_GE(record.X, previous); // in order
        previous = record.X;
        RawPoint back = RawOf(record);
        worst = std::max({worst, std::fabs(back.X - raw), std::fabs(back.Y - (16383 - raw))});
    }
    // One reference unit is 8 raw units; the unit at 102 takes 15.
    EXPECT_LE(worst, 7.0);
    EXPECT_EQ(DriverMap(measuring, 0, 0).X, 0);
    EXPECT_EQ(DriverMap(measuring, 16383, 16383).X, 65504);
}

TEST(MeasuringValuesTest, AveragedRecordsReadBackBetweenUnits)
{
    RawPoint low = RawOf({32 * 500, 65536 - 32 * 500});
    RawPoint high = RawOf({32 * 501, 65536 - 32 * 501});
    RawPoint middle = RawOf({32 * 500 + 16, 65536 - 32 * 500 - 16});
    EXPECT_DOUBLE_EQ(middle.X, (low.X + high.X) / 2);
    EXPECT_DOUBLE_EQ(middle.Y, (low.Y + high.Y) / 2);
}

// ---- Procedures on generated panels --------------------------------------------

sim::Panel MakePanel(std::initializer_list<int32_t> corners, int32_t bowX = 0, int32_t bowY = 0)
{
    sim::Panel panel;
    std::copy(corners.begin(), corners.end(), panel.Corners);
    panel.BowX = bowX;
    panel.BowY = bowY;
    panel.Jitter = 2;
    return panel;
}

const sim::Panel Linear = MakePanel({1200, 1200, 15100, 1200, 15100, 15100, 1200, 15100});
const sim::Panel Skewed = MakePanel({2100, 500, 14300, 1900, 15900, 14200, 700, 15800});
const sim::Panel Bowed = MakePanel({1500, 900, 14800, 1300, 15300, 14700, 1000, 15400}, 400, -380);

// A finger at rest on a screen point: reports jittered by the panel,
// recorded under the measuring calibration, read back. The same target
// always gives the same reports, so a repeated tap repeats them.
std::vector<RawPoint> Finger(const sim::Panel& panel, int32_t sx, int32_t sy, uint32_t seed,
                             int reports = 8)
{
    std::mt19937 random(seed);
    std::vector<RawPoint> samples;
    for (int k = 0; k < reports; ++k) {
        sim::RawTouch raw = sim::PanelRaw(panel, sx, sy, random);
        samples.push_back(RawOf(DriverMap(MeasuringValues(), raw.X, raw.Y)));
    }
    return samples;
}

class User {
public:
    explicit User(const sim::Panel& panel, int misclick = -1, std::vector<int> swapped = {})
        : Panel(panel), Misclick(misclick), Swapped(std::move(swapped))
    {
    }

    const sim::Panel& Panel;
    int Misclick;             // this tap lands far from its target
    std::vector<int> Swapped; // touches these two targets the other way round
    int Taps = 0;
    std::vector<size_t> Asked; // the target of each tap
    std::vector<Procedure::Verdict> Verdicts;

    void Run(Procedure& procedure)
    {
        while (procedure.Next() < procedure.Targets().size() && Taps < 120) {
            size_t target = procedure.Next();
            size_t place = target;
            if (Swapped.size() == 2 && int(target) == Swapped[0])
                place = size_t(Swapped[1]);
            else if (Swapped.size() == 2 && int(target) == Swapped[1])
                place = size_t(Swapped[0]);
            ScreenPoint t = procedure.Targets()[place];
            if (Taps == Misclick) {
                t.X = (t.X + 30000) % 60000 + 2000;
                t.Y = (t.Y + 21000) % 60000 + 2000;
            }
            Asked.push_back(target);
            Verdicts.push_back(procedure.AddTap(Finger(Panel, t.X, t.Y, 100 + uint32_t(place))));
            ++Taps;
        }
    }
};

struct Accuracy {
    double Max = 0, Mean = 0;
};

// A 17 x 17 grid of test taps, 2% in from the edges.
Accuracy Measure(const sim::Panel& panel, const DriverValues& values)
{
    std::mt19937 random(9);
    Accuracy a;
    for (int i = 0; i < 17; ++i)
        for (int j = 0; j < 17; ++j) {
            int32_t sx = int32_t(65536 * (0.02 + 0.06 * i)),
                    sy = int32_t(65536 * (0.02 + 0.06 * j));
            sim::RawTouch raw = sim::PanelRaw(panel, sx, sy, random);
            ScreenPoint r = DriverMap(values, raw.X, raw.Y);
            double e = std::hypot(r.X - sx, r.Y - sy);
            a.Max = std::max(a.Max, e);
            a.Mean += e / 289;
        }
    return a;
}

DriverValues Calibrate(const sim::Panel& panel, int points, Procedure* out = nullptr)
{
    Procedure procedure(points);
    User user(panel);
    user.Run(procedure);
    DriverValues values;
    std::string why;
    EXPECT_TRUE(procedure.Compute(&values, &why)) << why;
    if (out)
        *out = procedure;
    return values;
}

bool Same(const DriverValues& a, const DriverValues& b)
{
    return std::equal(a.Corners, a.Corners + 8, b.Corners) && a.GridEnabled == b.GridEnabled &&
           std::equal(a.GridCorners, a.GridCorners + 8, b.GridCorners) &&
           std::equal(a.GridX, a.GridX + 25, b.GridX) && std::equal(a.GridY, a.GridY + 25, b.GridY);
}

TEST(ProcedureTest, TargetsSitOnTheGridLinesCornersFirst)
{
    for (int points : {4, 9, 25}) {
        Procedure procedure(points);
        ASSERT_EQ(procedure.Targets().size(), size_t(points));
        EXPECT_EQ(procedure.Next(), 0u);
        std::set<std::pair<int, int>> distinct;
        for (const ScreenPoint& t : procedure.Targets()) {
            distinct.insert({t.X, t.Y});
            int rx = t.X / 32, ry = (65536 - t.Y) / 32;
            EXPECT_EQ(t.X % 32, 0);
            for (int r : {rx, ry})
                EXPECT_TRUE(r == 102 || r == 511 || r == 1023 || r == 1535 || r == 1945) << r;
        }
        EXPECT_EQ(distinct.size(), size_t(points));
        const auto& t = procedure.Targets();
        EXPECT_EQ(std::make_pair(t[0].X, t[0].Y), std::make_pair(3264, 65536 - 1945 * 32));
        EXPECT_EQ(std::make_pair(t[2].X, t[2].Y), std::make_pair(62240, 65536 - 102 * 32));
    }
    Procedure none(7);
    EXPECT_TRUE(none.Targets().empty());
    DriverValues values;
    std::string why;
    EXPECT_FALSE(none.Compute(&values, &why));
    EXPECT_EQ(why, "a calibration takes 4, 9 or 25 points");
}

TEST(ProcedureTest, LinearSkewedAndBowedPanelsReachSmallErrors)
{
    struct Case {
        const sim::Panel* Panel;
        int Points;
        double Max, Mean;
    };
    // The linear panel leaves only the record's steps of 32 and the jitter;
    // a 25-point calibration follows a strong twist and bowed edges to
    // within a few steps, and 9 points do nearly as well on these panels.
    for (const Case& c :
         {Case{&Linear, 25, 64, 24}, Case{&Skewed, 25, 120, 40}, Case{&Bowed, 25, 180, 50},
          Case{&Linear, 9, 64, 24}, Case{&Bowed, 9, 180, 50}, Case{&Linear, 4, 64, 24}}) {
        Procedure procedure(c.Points);
        DriverValues values = Calibrate(*c.Panel, c.Points, &procedure);
        EXPECT_EQ(values.GridEnabled, c.Points != 4);
        Accuracy a = Measure(*c.Panel, values);
        EXPECT_LE(a.Max, c.Max) << c.Points << " points";
        EXPECT_LE(a.Mean, c.Mean) << c.Points << " points";
        std::vector<double> errors = ErrorsAtTargets(procedure, values);
        ASSERT_EQ(errors.size(), size_t(c.Points));
        for (double e : errors)
            EXPECT_LE(e, c.Max) << c.Points << " points";
    }
    // Four points cannot follow a bow: the grid can.
    EXPECT_GT(Measure(Bowed, Calibrate(Bowed, 4)).Max,
              3 * Measure(Bowed, Calibrate(Bowed, 25)).Max);
}

TEST(ProcedureTest, FirstReportsOfALandingFingerDoNotCount)
{
    for (size_t target : {0u, 5u, 12u}) {
        Procedure steady(25), landing(25);
        while (steady.Next() < 25) {
            size_t next = steady.Next();
            ScreenPoint t = steady.Targets()[next];
            std::vector<RawPoint> samples = Finger(Bowed, t.X, t.Y, 7 + uint32_t(next), 12);
            ASSERT_EQ(steady.AddTap(samples), Procedure::Verdict::Accepted);
            if (next == target) { // the finger slides in: the first reports lag behind
                samples[0] = {samples[0].X + 400, samples[0].Y - 300};
                samples[1] = {samples[1].X + 150, samples[1].Y - 110};
            }
            ASSERT_EQ(landing.AddTap(samples), Procedure::Verdict::Accepted);
        }
        EXPECT_DOUBLE_EQ(steady.Measured()[target].X, landing.Measured()[target].X);
        EXPECT_DOUBLE_EQ(steady.Measured()[target].Y, landing.Measured()[target].Y);
    }
}

TEST(ProcedureTest, TooFewOrUnsteadySamplesAskAgain)
{
    Procedure procedure(9);
    ScreenPoint t = procedure.Targets()[0];
    EXPECT_EQ(procedure.AddTap({}), Procedure::Verdict::TooFew);
    EXPECT_EQ(procedure.AddTap(Finger(Linear, t.X, t.Y, 1, 2)), Procedure::Verdict::TooFew);
    // A finger that wanders across the screen while down.
    std::vector<RawPoint> wandering;
    for (int k = 0; k < 8; ++k)
        wandering.push_back({2000.0 + 900 * k, 14000.0 - 700 * k});
    EXPECT_EQ(procedure.AddTap(wandering), Procedure::Verdict::TooFew);
    EXPECT_EQ(procedure.Next(), 0u);
    EXPECT_EQ(procedure.AddTap(Finger(Linear, t.X, t.Y, 1)), Procedure::Verdict::Accepted);
    EXPECT_EQ(procedure.Next(), 1u);
}

// Random panels as the benchmark draws them: corners up to 8% of the raw
// span from a nominal 1200..15100, bow up to 3%, jitter 2; every fourth
// one turned a quarter round, as a panel mounted on its side is.
sim::Panel RandomPanel(std::mt19937& random, int turn)
{
    const double span = 15100 - 1200;
    std::uniform_real_distribution<double> corner(-0.08 * span, 0.08 * span);
    std::uniform_real_distribution<double> bow(-0.03 * span, 0.03 * span);
    const int32_t nominal[8] = {1200, 1200, 15100, 1200, 15100, 15100, 1200, 15100};
    sim::Panel panel;
    for (int k = 0; k < 8; ++k)
        panel.Corners[k] = nominal[(k + 2 * turn) % 8] + int32_t(std::lround(corner(random)));
    panel.BowX = int32_t(std::lround(bow(random)));
    panel.BowY = int32_t(std::lround(bow(random)));
    panel.Jitter = 2;
    return panel;
}

// Where a misclick lands: a third of the screen across and a quarter down
// (or a third down), wrapped round within the screen.
ScreenPoint MisclickOf(ScreenPoint t, int style)
{
    if (style % 2)
        return {(t.X + 21845) % 65536, (t.Y + 21845) % 65536};
    return {int32_t(std::fmod(t.X + 65536 / 3.0, 65536 * 0.9) + 65536 * 0.05),
            int32_t(std::fmod(t.Y + 65536 / 4.0, 65536 * 0.9) + 65536 * 0.05)};
}

// A user who taps what is shown, except that tap `misclick` lands far away.
struct Sweep {
    std::vector<size_t> Asked;
    std::vector<Procedure::Verdict> Verdicts;
    std::vector<size_t> Others;

    void Run(Procedure& procedure, const sim::Panel& panel, int misclick, int style)
    {
        while (procedure.Next() < procedure.Targets().size() && Asked.size() < 100) {
            size_t target = procedure.Next();
            ScreenPoint t = procedure.Targets()[target];
            uint32_t seed = 100 + uint32_t(target);
            if (int(Asked.size()) == misclick) {
                t = MisclickOf(t, style);
                seed = 7;
            }
            Asked.push_back(target);
            Verdicts.push_back(procedure.AddTap(Finger(panel, t.X, t.Y, seed)));
            Others.push_back(procedure.Other());
        }
    }
};

bool SameTouches(const Procedure& a, const Procedure& b)
{
    for (size_t i = 0; i < a.Targets().size(); ++i)
        if (a.HasTap(i) != b.HasTap(i) || a.Measured()[i].X != b.Measured()[i].X ||
            a.Measured()[i].Y != b.Measured()[i].Y)
            return false;
    return true;
}

// Over every misclick position of 9- and 25-point runs on random panels:
// only the misclicked target is asked again, once, and the run ends with the
// very touches (so the very values) of the run without the misclick.
TEST(ProcedureTest, AMisclickAnywhereCostsOnlyItsOwnTarget)
{
    std::mt19937 random(20240612);
    int runs = 0, computed = 0;
    double delay = 0;
    for (int p = 0; p < 40; ++p) {
        sim::Panel panel = RandomPanel(random, p % 4 == 3 ? 1 : 0);
        for (int points : {9, 25}) {
            Procedure clean(points);
            Sweep cleanUser;
            cleanUser.Run(clean, panel, -1, 0);
            ASSERT_EQ(cleanUser.Asked.size(), size_t(points)) << "panel " << p;
            DriverValues reference;
            std::string why;
            ASSERT_TRUE(clean.Compute(&reference, &why)) << why;
            for (int misclick = 0; misclick < points; ++misclick) {
                SCOPED_TRACE(testing::Message() << "panel " << p << ", " << points
                                                << " points, misclick at tap " << misclick);
                Procedure procedure(points);
                Sweep user;
                user.Run(procedure, panel, misclick, p + misclick);
                ++runs;
                size_t missed = size_t(misclick);
                // No correct touch refused: every verdict but Accepted names
                // the misclicked target, and it alone is asked twice.
                for (size_t k = 0; k < user.Verdicts.size(); ++k) {
                    Procedure::Verdict v = user.Verdicts[k];
                    if (v == Procedure::Verdict::Misplaced) {
                        EXPECT_EQ(k, missed) << "a correct touch was refused";
                    }
                    if (v == Procedure::Verdict::TakenBack) {
                        EXPECT_EQ(user.Others[k], missed) << "a correct touch was taken back";
                    }
                    EXPECT_NE(v, Procedure::Verdict::SameSpot);
                    EXPECT_NE(v, Procedure::Verdict::TooFew);
                    EXPECT_NE(v, Procedure::Verdict::Confirmed);
                    if (v == Procedure::Verdict::Misplaced || v == Procedure::Verdict::TakenBack)
                        delay += double(k - missed);
                }
                ASSERT_EQ(user.Asked.size(), size_t(points) + 1) << "taps";
                EXPECT_EQ(std::count(user.Asked.begin(), user.Asked.end(), missed), 2);
                EXPECT_TRUE(SameTouches(procedure, clean));
                if (p < 1) {
                    DriverValues values;
                    ASSERT_TRUE(procedure.Compute(&values, &why)) << why;
                    EXPECT_TRUE(Same(values, reference));
                    ++computed;
                }
            }
        }
    }
    EXPECT_EQ(runs, 40 * 34);
    EXPECT_EQ(computed, 34);
    // Found as soon as the touches can tell: mostly by the very touch or
    // the next (0.35 taps later on average when this was written).
    EXPECT_LT(delay / runs, 1.0);
}

// Four touches cannot always tell at once: a misclick there costs at most
// one touch besides the one that replaces it.
TEST(ProcedureTest, AFourPointMisclickCostsAtMostOneExtraTouch)
{
    std::mt19937 random(4);
    for (int p = 0; p < 40; ++p) {
        sim::Panel panel = RandomPanel(random, p % 4 == 3 ? 1 : 0);
        Procedure clean(4);
        Sweep cleanUser;
        cleanUser.Run(clean, panel, -1, 0);
        ASSERT_EQ(cleanUser.Asked.size(), 4u);
        for (int misclick = 0; misclick < 4; ++misclick) {
            SCOPED_TRACE(testing::Message() << "panel " << p << ", misclick at tap " << misclick);
            Procedure procedure(4);
            Sweep user;
            user.Run(procedure, panel, misclick, p + misclick);
            EXPECT_LE(user.Asked.size(), 6u);
            EXPECT_TRUE(SameTouches(procedure, clean));
        }
    }
}

// 4-point misclicks along an edge, to the edge's middle: only one pair
// disagrees, which cannot tell which of its two touches is wrong. With every
// target touched, the earlier of the two is asked again: a touch that moves
// was the wrong one; one that lands on its spot again stands, and the other
// is taken back. Either way at most one touch more than the replacement.
TEST(ProcedureTest, TouchesThatStillDisagreeAtTheEndAreCheckedByTouchingAgain)
{
    Procedure clean(4);
    User(Linear).Run(clean);
    struct Case {
        int Misclick; // the tap, which goes to the middle of its edge
        std::set<size_t> Pair;
        size_t Taps;
    };
    for (const Case& c : {Case{1, {1, 2}, 5}, Case{3, {0, 3}, 6}}) {
        SCOPED_TRACE(c.Misclick);
        Procedure procedure(4);
        std::vector<Procedure::Verdict> verdicts;
        std::vector<size_t> others;
        bool checked = false;
        while (procedure.Next() < 4 && verdicts.size() < 10) {
            size_t target = procedure.Next();
            ScreenPoint t = procedure.Targets()[target];
            if (int(verdicts.size()) == c.Misclick)
                t.X = 32768;
            if (procedure.Checking()) {
                checked = true;
                EXPECT_EQ(target, *c.Pair.begin());
                EXPECT_EQ(procedure.Disputed(), *c.Pair.rbegin());
            }
            verdicts.push_back(procedure.AddTap(Finger(Linear, t.X, t.Y, 100 + uint32_t(target))));
            others.push_back(procedure.Other());
        }
        EXPECT_TRUE(checked);
        EXPECT_EQ(verdicts.size(), c.Taps);
        for (size_t k = 0; k < 4; ++k)
            EXPECT_EQ(verdicts[k], Procedure::Verdict::Accepted) << k;
        if (c.Taps == 6) {
            EXPECT_EQ(verdicts[4], Procedure::Verdict::TakenBack); // confirmed, the other back
            EXPECT_EQ(others[4], size_t(c.Misclick));
        }
        EXPECT_TRUE(SameTouches(procedure, clean));
    }
}

TEST(ProcedureTest, AMisclickAtAFourPointCornerIsCaught)
{
    Procedure procedure(4);
    User user(Skewed, 3);
    user.Run(procedure);
    EXPECT_EQ(user.Verdicts[3], Procedure::Verdict::Misplaced);
    EXPECT_EQ(user.Asked[4], 3u);
    DriverValues values;
    std::string why;
    ASSERT_TRUE(procedure.Compute(&values, &why)) << why;
    EXPECT_TRUE(Same(values, Calibrate(Skewed, 4)));
}

// A finger back on the first target when the second is shown: two targets
// never share a spot, so the touch is refused at once and the second
// target stays next, however often the finger lands there.
TEST(ProcedureTest, ASecondTargetsTouchOnTheFirstTargetsSpotIsRefused)
{
    for (int points : {4, 9, 25}) {
        SCOPED_TRACE(points);
        Procedure procedure(points);
        ScreenPoint first = procedure.Targets()[0];
        ASSERT_EQ(procedure.AddTap(Finger(Linear, first.X, first.Y, 1)),
                  Procedure::Verdict::Accepted);
        for (uint32_t again : {2u, 3u}) {
            EXPECT_EQ(procedure.AddTap(Finger(Linear, first.X, first.Y, again)),
                      Procedure::Verdict::SameSpot);
            EXPECT_EQ(procedure.Other(), 0u);
            EXPECT_EQ(procedure.Next(), 1u);
            EXPECT_FALSE(procedure.HasTap(1));
        }
        ScreenPoint second = procedure.Targets()[1];
        EXPECT_EQ(procedure.AddTap(Finger(Linear, second.X, second.Y, 4)),
                  Procedure::Verdict::Accepted);
        EXPECT_EQ(procedure.Next(), 2u);
    }
}

// A user who touches one target at another screen point, and insists: each
// refused touch is touched again at the same spot and so believed.
struct Insisting {
    size_t Target;
    ScreenPoint At;
    int Taps = 0;

    void Run(Procedure& procedure, const sim::Panel& panel)
    {
        while (procedure.Next() < procedure.Targets().size() && Taps < 200) {
            size_t target = procedure.Next();
            ScreenPoint t = target == Target ? At : procedure.Targets()[target];
            procedure.AddTap(Finger(panel, t.X, t.Y, 100 + uint32_t(target)));
            ++Taps;
        }
    }
};

// The target at the second grid lines from the bottom left touched a little
// short of its cell's diagonal: that one cell of the 25-point lattice turns
// over at that corner, the cells around it do not, and a smooth fit through
// all the touches still turns the same way everywhere. It is refused.
TEST(ProcedureTest, ALatticeWithOneFoldedCellIsRefused)
{
    const std::vector<ScreenPoint> targets = Procedure(25).Targets();
    size_t inner = 0;
    while (targets[inner].X != 32 * 511 || targets[inner].Y != 65536 - 32 * 511)
        ++inner;
    for (int reference : {300, 290}) {
        SCOPED_TRACE(reference);
        Procedure procedure(25);
        Insisting user{inner, {32 * reference, 65536 - 32 * reference}};
        user.Run(procedure, Linear);
        ASSERT_EQ(procedure.Next(), 25u);
        DriverValues values;
        values.Corners[0] = 12345;
        std::string why;
        EXPECT_FALSE(procedure.Compute(&values, &why));
        EXPECT_EQ(why, "the targets were touched in the wrong order: the touches fold over");
        EXPECT_EQ(values.Corners[0], 12345);
    }
    // The same target touched as far off, but not past the diagonal, is a
    // bad touch in a lattice that does not fold: it calibrates.
    Procedure fine(25);
    Insisting fineUser{inner, {32 * 700, 65536 - 32 * 330}};
    fineUser.Run(fine, Linear);
    DriverValues values;
    std::string why;
    EXPECT_TRUE(fine.Compute(&values, &why)) << why;
}

TEST(ProcedureTest, BadInputIsRefusedAndChangesNothing)
{
    DriverValues untouched;
    untouched.Corners[0] = 12345;
    std::string why;

    Procedure cut(25);
    for (int i = 0; i < 10; ++i) {
        ScreenPoint t = cut.Targets()[cut.Next()];
        cut.AddTap(Finger(Linear, t.X, t.Y, uint32_t(i)));
    }
    DriverValues values = untouched;
    EXPECT_FALSE(cut.Compute(&values, &why));
    EXPECT_EQ(why, "too few touches: 10 of 25 targets");
    EXPECT_TRUE(Same(values, untouched));

    // Two corners touched the other way round: the user insists, each tap
    // is taken at its second try, and the touches fold over.
    for (int points : {4, 9, 25}) {
        Procedure procedure(points);
        User user(Linear, -1, {0, 1});
        user.Run(procedure);
        values = untouched;
        EXPECT_FALSE(procedure.Compute(&values, &why)) << points;
        EXPECT_EQ(why, "the targets were touched in the wrong order: the touches fold over");
        EXPECT_TRUE(Same(values, untouched));
    }

    // A mirrored panel: left and right exchanged.
    const sim::Panel mirrored = MakePanel({15100, 1200, 1200, 1200, 1200, 15100, 15100, 15100});
    for (int points : {4, 9, 25}) {
        Procedure procedure(points);
        User(mirrored).Run(procedure);
        values = untouched;
        EXPECT_FALSE(procedure.Compute(&values, &why)) << points;
        EXPECT_EQ(why, "the panel is turned inside out: its touches run mirror-wise to the screen");
        EXPECT_TRUE(Same(values, untouched));
    }

    // A panel turned a quarter round is no mirror: it calibrates.
    const sim::Panel quarter = MakePanel({15100, 1200, 15100, 15100, 1200, 15100, 1200, 1200});
    DriverValues turned = Calibrate(quarter, 25);
    EXPECT_LE(Measure(quarter, turned).Max, 80);
}

TEST(ProcedureTest, ArbitrarySamplesNeverBreakIt)
{
    std::mt19937 random(21);
    std::uniform_real_distribution<double> anywhere(-20000, 40000);
    for (int run = 0; run < 30; ++run) {
        Procedure procedure(run % 3 == 0 ? 4 : run % 3 == 1 ? 9 : 25);
        for (int tap = 0; tap < 80 && procedure.Next() < procedure.Targets().size(); ++tap) {
            std::vector<RawPoint> samples(random() % 10);
            for (RawPoint& p : samples)
                p = {anywhere(random), anywhere(random)};
            if (!samples.empty() && tap % 7 == 3)
                samples[0].X = std::nan("");
            procedure.AddTap(samples);
        }
        DriverValues values;
        std::string why;
        if (!procedure.Compute(&values, &why)) {
            EXPECT_FALSE(why.empty());
        }
        ErrorsAtTargets(procedure, values);
    }
}

// ---- Through the driver ----------------------------------------------------------

// The measuring calibration on a device, the smoothing filter on as it
// always is: taps become records, records become raw samples again.
TEST_F(DriverMapTest, CalibrationFromRecordsOfTheFilteredPipeline)
{
    Control().Filter = 1;
    Load(MeasuringValues());
    std::mt19937 random(4);
    Procedure procedure(25);
    while (procedure.Next() < procedure.Targets().size()) {
        ScreenPoint t = procedure.Targets()[procedure.Next()];
        for (int k = 0; k < 10; ++k) {
            sim::RawTouch raw = sim::PanelRaw(Bowed, t.X, t.Y, random);
            rig.Touch(touch, ULONG(raw.X), ULONG(raw.Y));
        }
        rig.Touch(touch, 0, 0, false);
        std::vector<RawPoint> samples;
        for (const MOUSE_INPUT_DATA& r : rig.TakeRecords())
            if (r.ButtonFlags != MOUSE_LEFT_BUTTON_UP)
                samples.push_back(RawOf({r.LastX, r.LastY}));
        ASSERT_EQ(procedure.AddTap(samples), Procedure::Verdict::Accepted);
    }
    DriverValues values;
    std::string why;
    ASSERT_TRUE(procedure.Compute(&values, &why)) << why;
    Accuracy a = Measure(Bowed, values);
    EXPECT_LE(a.Max, 190);
    EXPECT_LE(a.Mean, 55);
}

} // namespace
