// The tap procedure.
//
// Targets sit where the driver's grid points land (reference 102, 511,
// 1023, 1535, 1945 on each axis, x 32 in output units, Y inverted), so the
// grid corner set carries the panel's corners and each grid offset corrects
// the panel right at its grid point; the main corners stay the identity.
//
// A touch is judged only by what the touches so far can tell: the targets'
// order on the screen. Whatever way the panel is turned, the touch for a
// target to the right of another lands in the panel's "right" direction
// from that one's, the touch for a target below lands "below", and so on
// for every pair of touches, within the twist and bow of a real panel.
// Which way is "right" on the panel is the way most pairs agree on. A pair
// that disagrees says one of its two touches is wrong, not which: both are
// kept until a second disagreement names the touch they share. Only that
// touch is taken back, and its target is asked again at once. When every
// target is touched and a pair still disagrees, the earlier of the two is
// asked again: a touch that moves replaces the wrong one, one that lands on
// its spot again stands and names the other. A refused touch that the
// finger puts on the same spot again is believed too.
#include "client/calibration_procedure.h"

#include "client/calibration_least_squares.h"
#include "client/calibration_search.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>

namespace vorn {
namespace calibration {
namespace {

// The largest angle between where a pair of touches points on the panel and
// where its targets point on the screen that a real panel gives: tilt of
// its axes, twist, unequal spans per axis and bow. Over random panels with
// corners 8% off and edges bowed 3% it stays under 14 degrees, under 17
// with corners 10% off; a touch a third of the screen away from its target
// turns its pairs with the touches nearby by far more.
constexpr double Pi = 3.14159265358979323846;
constexpr double PairTolerance = 21.0 * Pi / 180.0;
// Two touches this close are one spot: a finger back on an earlier target,
// or the same target touched again.
constexpr double SameSpotRadius = 200.0;
// Samples of one tap: a finger at rest, jittered and quantised to 8 raw units.
constexpr double SteadyRadius = 24.0;
constexpr double MinimumSeparation = 32.0;
constexpr size_t MinimumSamples = 3;

constexpr size_t None = std::numeric_limits<size_t>::max();

double Distance(RawPoint a, RawPoint b)
{
    return std::hypot(a.X - b.X, a.Y - b.Y);
}

RawPoint Median(std::vector<RawPoint> points)
{
    std::vector<double> xs, ys;
    for (const RawPoint& p : points) {
        xs.push_back(p.X);
        ys.push_back(p.Y);
    }
    auto median = [](std::vector<double>& v) {
        std::sort(v.begin(), v.end());
        size_t n = v.size();
        return n % 2 ? v[n / 2] : 0.5 * (v[n / 2 - 1] + v[n / 2]);
    };
    return {median(xs), median(ys)};
}

std::string Format(const char* format, int a, int b)
{
    char text[160];
    std::snprintf(text, sizeof text, format, a, b);
    return text;
}

// The ways a panel's raw axes can lie under the screen: turned by quarter
// turns, and mirrored. Each maps a screen step (u right, v up) to the raw
// direction it points in.
struct Frame {
    int Uu, Uv, Vu, Vv; // raw x = Uu u + Uv v, raw y = Vu u + Vv v
};

constexpr Frame Frames[8] = {
    {1, 0, 0, 1},  {0, -1, 1, 0}, {-1, 0, 0, -1}, {0, 1, -1, 0},
    {-1, 0, 0, 1}, {0, 1, 1, 0},  {1, 0, 0, -1},  {0, -1, -1, 0},
};

// The angle between the raw step and the screen step seen through `frame`;
// a step too short to point anywhere is as wrong as can be.
double Deviation(const Frame& frame, Uv screen, RawPoint raw)
{
    if (std::hypot(raw.X, raw.Y) < SameSpotRadius)
        return Pi;
    double ex = frame.Uu * screen.U + frame.Uv * screen.V;
    double ey = frame.Vu * screen.U + frame.Vv * screen.V;
    return std::fabs(std::atan2(ex * raw.Y - ey * raw.X, ex * raw.X + ey * raw.Y));
}

// Two touched targets and how far their touches turn from their targets'
// step in each frame.
struct TouchPair {
    size_t A, B;
    double Deviation[8];
};

TouchPair PairOf(size_t a, size_t b, const std::vector<ScreenPoint>& targets,
                 const std::vector<RawPoint>& measured)
{
    Uv ua = UvOf(targets[a].X, targets[a].Y), ub = UvOf(targets[b].X, targets[b].Y);
    Uv step{ub.U - ua.U, ub.V - ua.V};
    RawPoint raw{measured[b].X - measured[a].X, measured[b].Y - measured[a].Y};
    TouchPair pair{a, b, {}};
    for (int f = 0; f < 8; ++f)
        pair.Deviation[f] = Deviation(Frames[f], step, raw);
    return pair;
}

// The frame that most pairs agree with (the smaller total turn on a tie);
// -1 when another agrees with as many.
int CommonFrame(const std::vector<TouchPair>& pairs)
{
    int agree[8] = {};
    double total[8] = {};
    for (const TouchPair& p : pairs)
        for (int f = 0; f < 8; ++f) {
            agree[f] += p.Deviation[f] <= PairTolerance;
            total[f] += p.Deviation[f];
        }
    int best = 0;
    for (int f = 1; f < 8; ++f)
        if (agree[f] > agree[best] || (agree[f] == agree[best] && total[f] < total[best]))
            best = f;
    for (int f = 0; f < 8; ++f)
        if (f != best && agree[f] >= agree[best])
            return -1;
    return best;
}

} // namespace

// Corners first, so that the first touches span the screen; then the
// centre, then the others in reading order.
Procedure::Procedure(int points) : points_(points), check_(None), disputed_(None), other_(None)
{
    std::vector<int> lines;
    if (points == 4)
        lines = {0, 4};
    else if (points == 9)
        lines = {0, 2, 4};
    else if (points == 25)
        lines = {0, 1, 2, 3, 4};
    const int n = int(lines.size());
    std::vector<std::pair<int, int>> order; // (column, row) with row 0 at the bottom
    if (n) {
        order = {{0, n - 1}, {n - 1, n - 1}, {n - 1, 0}, {0, 0}};
        if (n % 2)
            order.push_back({n / 2, n / 2});
        for (int row = n - 1; row >= 0; --row)
            for (int column = 0; column < n; ++column)
                if (std::find(order.begin(), order.end(), std::make_pair(column, row)) ==
                    order.end())
                    order.push_back({column, row});
    }
    for (auto [column, row] : order) {
        ScreenPoint target;
        target.X = 32 * GridLines[lines[column]];
        target.Y = OutputMaximum - 32 * GridLines[lines[row]];
        targets_.push_back(target);
        columns_.push_back(column);
        rows_.push_back(row);
    }
    measured_.assign(targets_.size(), RawPoint{});
    have_.assign(targets_.size(), false);
    confirmed_.assign(targets_.size(), false);
    refused_.assign(targets_.size(), RawPoint{});
    haveRefused_.assign(targets_.size(), false);
}

int Procedure::Points() const
{
    return points_;
}

const std::vector<ScreenPoint>& Procedure::Targets() const
{
    return targets_;
}

size_t Procedure::Next() const
{
    for (size_t i = 0; i < have_.size(); ++i)
        if (!have_[i])
            return i;
    return check_ == None ? targets_.size() : check_;
}

bool Procedure::Checking() const
{
    return Next() == check_ && check_ != None;
}

size_t Procedure::Disputed() const
{
    return disputed_;
}

size_t Procedure::Other() const
{
    return other_;
}

bool Procedure::HasTap(size_t target) const
{
    return target < have_.size() && have_[target];
}

const std::vector<RawPoint>& Procedure::Measured() const
{
    return measured_;
}

// The later samples of a tap count: the first reports of a stroke may still
// carry the landing finger through the driver's smoothing. The median finds
// the resting place, and the mean of the samples near it keeps the
// resolution that jitter gives past the 8-unit steps of a record.
bool Procedure::Combine(const std::vector<RawPoint>& samples, RawPoint* combined)
{
    std::vector<RawPoint> usable;
    for (const RawPoint& p : samples)
        if (std::fabs(p.X) <= RawMax && std::fabs(p.Y) <= RawMax) // also rules out NaN
            usable.push_back(p);
    if (usable.size() < MinimumSamples)
        return false;
    std::vector<RawPoint> kept(usable.begin() + usable.size() / 4, usable.end());
    RawPoint median = Median(kept);
    double sx = 0, sy = 0;
    size_t count = 0;
    for (const RawPoint& p : kept)
        if (Distance(p, median) <= SteadyRadius) {
            sx += p.X;
            sy += p.Y;
            ++count;
        }
    if (count < 2 || 2 * count < kept.size())
        return false;
    *combined = {sx / double(count), sy / double(count)};
    return true;
}

// The pairs of touches that disagree about the panel's directions, judged
// in the frame most pairs agree with. Empty while no frame stands out, so a
// frame chosen by a wrong touch cannot turn the right ones against it.
std::vector<Procedure::Dispute> Procedure::Disputes() const
{
    std::vector<TouchPair> pairs;
    for (size_t a = 0; a < targets_.size(); ++a)
        for (size_t b = a + 1; b < targets_.size(); ++b)
            if (have_[a] && have_[b])
                pairs.push_back(PairOf(a, b, targets_, measured_));
    std::vector<Dispute> disputes;
    int frame = CommonFrame(pairs);
    if (frame < 0)
        return disputes;
    for (const TouchPair& p : pairs)
        if (p.Deviation[frame] > PairTolerance)
            disputes.push_back({p.A, p.B});
    return disputes;
}

// The touch the disputes name: one that disagrees with a confirmed touch,
// or the one touch that two or more disputes share and every dispute
// involves. None while they cannot tell.
size_t Procedure::Blame(const std::vector<Dispute>& disputes) const
{
    std::vector<Dispute> open;
    for (const Dispute& d : disputes) {
        if (confirmed_[d.A] && !confirmed_[d.B])
            return d.B;
        if (confirmed_[d.B] && !confirmed_[d.A])
            return d.A;
        if (!confirmed_[d.A] && !confirmed_[d.B])
            open.push_back(d);
    }
    if (open.size() < 2)
        return None;
    for (size_t candidate : {open[0].A, open[0].B}) {
        bool shared = true;
        for (const Dispute& d : open)
            shared = shared && (d.A == candidate || d.B == candidate);
        if (shared)
            return candidate;
    }
    return None;
}

// With every target touched and a dispute still open: the touch in most
// disputes, the earlier on a tie, to be touched again.
size_t Procedure::Suspect(const std::vector<Dispute>& disputes) const
{
    std::vector<int> count(targets_.size(), 0);
    for (const Dispute& d : disputes)
        if (!confirmed_[d.A] && !confirmed_[d.B]) {
            ++count[d.A];
            ++count[d.B];
        }
    size_t suspect = None;
    for (size_t i = 0; i < targets_.size(); ++i)
        if (count[i] > 0 && (suspect == None || count[i] > count[suspect]))
            suspect = i;
    return suspect;
}

// Takes back the touch the disputes name, if any, and chooses the touch to
// check when every target is touched and they still cannot tell.
void Procedure::Judge()
{
    check_ = disputed_ = None;
    std::vector<Dispute> disputes = Disputes();
    size_t blamed = Blame(disputes);
    if (blamed != None) {
        refused_[blamed] = measured_[blamed];
        haveRefused_[blamed] = true;
        measured_[blamed] = RawPoint{};
        have_[blamed] = false;
        other_ = blamed;
        return;
    }
    if (std::count(have_.begin(), have_.end(), false) > 0)
        return;
    check_ = Suspect(disputes);
    for (const Dispute& d : disputes)
        if (check_ != None && disputed_ == None && (d.A == check_ || d.B == check_))
            disputed_ = d.A == check_ ? d.B : d.A;
}

Procedure::Verdict Procedure::AddTap(const std::vector<RawPoint>& samples)
{
    other_ = None;
    const size_t target = Next();
    if (target >= targets_.size())
        return Verdict::Misplaced;
    RawPoint tap;
    if (!Combine(samples, &tap))
        return Verdict::TooFew;

    Verdict verdict = Verdict::Accepted;
    if (have_[target]) {
        // Asked again to check it: the same spot confirms the touch, another
        // one replaces it.
        if (Distance(tap, measured_[target]) <= SameSpotRadius)
            verdict = Verdict::Confirmed;
        else
            measured_[target] = tap;
        confirmed_[target] = verdict == Verdict::Confirmed;
    } else {
        for (size_t i = 0; i < targets_.size(); ++i)
            if (have_[i] && Distance(tap, measured_[i]) <= SameSpotRadius) {
                other_ = i;
                return Verdict::SameSpot;
            }
        // Refused, and touched again at the same spot: believe the finger.
        if (haveRefused_[target] && Distance(tap, refused_[target]) <= SameSpotRadius)
            verdict = Verdict::Confirmed;
        confirmed_[target] = verdict == Verdict::Confirmed;
        measured_[target] = tap;
        have_[target] = true;
        haveRefused_[target] = false;
    }
    Judge();
    if (other_ == target) {
        other_ = None;
        return Verdict::Misplaced;
    }
    return other_ != None ? Verdict::TakenBack : verdict;
}

// The lattice of targets, each cell split into its four corner triangles:
// on the screen they all turn the same way; touched in the wrong order
// some turn the other way, and a mirrored panel turns them all.
bool Procedure::CheckLattice(std::string* why) const
{
    const int n = points_ == 4 ? 2 : points_ == 9 ? 3 : 5;
    std::vector<RawPoint> lattice(n * n);
    for (size_t i = 0; i < targets_.size(); ++i)
        lattice[columns_[i] * n + rows_[i]] = measured_[i];
    const std::vector<RawPoint>& raw = measured_;
    double extent = 0;
    for (const RawPoint& a : raw)
        for (const RawPoint& b : raw)
            extent = std::max(extent, Distance(a, b));
    if (extent < 4 * MinimumSeparation) {
        *why = "the touches do not span the panel";
        return false;
    }
    int forward = 0, backward = 0;
    for (int c = 0; c + 1 < n; ++c)
        for (int r = 0; r + 1 < n; ++r) {
            const RawPoint quad[4] = {lattice[c * n + r], lattice[(c + 1) * n + r],
                                      lattice[(c + 1) * n + r + 1], lattice[c * n + r + 1]};
            for (int k = 0; k < 4; ++k) {
                const RawPoint& a = quad[k];
                const RawPoint& b = quad[(k + 1) % 4];
                const RawPoint& d = quad[(k + 3) % 4];
                double turn = (b.X - a.X) * (d.Y - a.Y) - (b.Y - a.Y) * (d.X - a.X);
                if (turn > 0)
                    ++forward;
                else
                    ++backward;
            }
        }
    if (forward == 0) {
        *why = "the panel is turned inside out: its touches run mirror-wise to the screen";
        return false;
    }
    if (backward > 0) {
        *why = "the targets were touched in the wrong order: the touches fold over";
        return false;
    }
    return true;
}

bool Procedure::Compute(DriverValues* values, std::string* why) const
{
    std::string reason;
    if (!why)
        why = &reason;
    if (targets_.empty()) {
        *why = "a calibration takes 4, 9 or 25 points";
        return false;
    }
    int touched = int(std::count(have_.begin(), have_.end(), true));
    if (touched < int(targets_.size())) {
        *why = Format("too few touches: %d of %d targets", touched, int(targets_.size()));
        return false;
    }
    if (!CheckLattice(why))
        return false;

    // 4 points give a bilinear patch, 9 a quadratic one through every tap;
    // 25 a cubic least-squares fit that smooths what each tap got wrong.
    Surface model(Surface::Kind::Tensor, points_ == 4 ? 1 : points_ == 9 ? 2 : 3);
    std::vector<Uv> at;
    for (const ScreenPoint& t : targets_)
        at.push_back(UvOf(t.X, t.Y));
    if (!model.Fit(at, measured_)) {
        *why = "no mapping fits the touches";
        return false;
    }
    for (const Uv& p : SearchedPoints())
        if (model.Determinant(p) <= 0) {
            *why = "the targets were touched in the wrong order: the touches fold over";
            return false;
        }
    if (!SearchValues(model, points_ != 4, values)) {
        *why = "no mapping fits the touches";
        return false;
    }
    return true;
}

std::vector<double> ErrorsAtTargets(const Procedure& procedure, const DriverValues& values)
{
    std::vector<double> errors;
    const auto& targets = procedure.Targets();
    for (size_t i = 0; i < targets.size(); ++i) {
        if (!procedure.HasTap(i)) {
            errors.push_back(std::numeric_limits<double>::quiet_NaN());
            continue;
        }
        const RawPoint& raw = procedure.Measured()[i];
        ScreenPoint s = DriverMap(values, RoundRaw(raw.X), RoundRaw(raw.Y));
        errors.push_back(std::hypot(s.X - targets[i].X, s.Y - targets[i].Y));
    }
    return errors;
}

} // namespace calibration
} // namespace vorn
