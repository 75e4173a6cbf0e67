// The calibration engine.
//
// Targets sit where the driver's grid points land (reference 102, 511,
// 1023, 1535, 1945 on each axis, x 32 in output units, Y inverted), so the
// grid corner set carries the panel's corners and each grid offset corrects
// the panel right at its grid point; the main corners stay the identity.
//
// From the taps a smooth model of the panel (screen -> raw) is fitted in
// floating point; it gives first values, which an integer search then
// improves by running the driver's own arithmetic over a dense set of
// screen points. The driver truncates, so the values aim half a reference
// unit high: a record then lies within half a step of its screen point.
#include "client/calibration.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>

namespace vorn {
namespace calibration {
namespace {

// ---- The driver's arithmetic (pipeline/decode.cpp, pipeline/grid.cpp) ------

constexpr int64_t ReferenceLow = 102;
constexpr int64_t ReferenceSpan = 1843;
constexpr int64_t ReferenceHigh = ReferenceLow + ReferenceSpan;
constexpr int32_t OutputShift = 5;
constexpr int32_t OutputMaximum = 0x10000;
constexpr int32_t RawMax = 16383;

// A 64-bit value that remembers whether any step producing it overflowed.
struct Checked {
    int64_t Value;
    bool Valid;

    constexpr Checked(int64_t value) : Value(value), Valid(true) {} // formulas read as written
    constexpr Checked(int64_t value, bool valid) : Value(value), Valid(valid) {}

    friend Checked operator+(Checked a, Checked b)
    {
        int64_t r;
        bool overflow = __builtin_add_overflow(a.Value, b.Value, &r);
        return Checked(r, a.Valid && b.Valid && !overflow);
    }
    friend Checked operator-(Checked a, Checked b)
    {
        int64_t r;
        bool overflow = __builtin_sub_overflow(a.Value, b.Value, &r);
        return Checked(r, a.Valid && b.Valid && !overflow);
    }
    friend Checked operator*(Checked a, Checked b)
    {
        int64_t r;
        bool overflow = __builtin_mul_overflow(a.Value, b.Value, &r);
        return Checked(r, a.Valid && b.Valid && !overflow);
    }
    friend Checked operator/(Checked a, Checked b)
    {
        if (!a.Valid || !b.Valid || b.Value == 0 ||
            (b.Value == -1 && a.Value == std::numeric_limits<int64_t>::min()))
            return Checked(0, false);
        return Checked(a.Value / b.Value);
    }
};

int32_t SaturateTo32(int64_t value)
{
    if (value < std::numeric_limits<int32_t>::min())
        return std::numeric_limits<int32_t>::min();
    if (value > std::numeric_limits<int32_t>::max())
        return std::numeric_limits<int32_t>::max();
    return int32_t(value);
}

// Corners in block order LLX, LLY, LRX, LRY, URX, URY, ULX, ULY. A triangle
// that is degenerate or does not fit 64 bits leaves the point as it is.
void MapCorners(const int32_t* c, int32_t* x, int32_t* y)
{
    const Checked llx = c[0], lly = c[1];
    Checked dx = Checked(c[4]) - llx;
    Checked dy = Checked(c[5]) - lly;
    auto cross = [&](Checked px, Checked py) { return dy * (px - llx) - dx * (py - lly); };
    Checked cU = cross(c[6], c[7]);
    Checked cP = cross(*x, *y);

    Checked vx = 0, vy = 0;
    int64_t a0, a1, a2, a3;
    if ((cU.Value < 0) == (cP.Value < 0)) {
        vx = Checked(c[6]) - llx;
        vy = Checked(c[7]) - lly;
        a0 = 0, a1 = ReferenceSpan, a2 = ReferenceSpan, a3 = ReferenceSpan;
    } else {
        vx = Checked(c[2]) - llx;
        vy = Checked(c[3]) - lly;
        a0 = ReferenceSpan, a1 = ReferenceSpan, a2 = 0, a3 = ReferenceSpan;
    }
    Checked d4 = (vx * dy - dx * vy) / 4;
    Checked kx1 = (Checked(a0) * dy - Checked(a1) * vy) / 4;
    Checked kx2 = (Checked(a1) * vx - Checked(a0) * dx) / 4;
    Checked ky1 = (Checked(a2) * dy - Checked(a3) * vy) / 4;
    Checked ky2 = (Checked(a3) * vx - Checked(a2) * dx) / 4;
    if (!d4.Valid || !cU.Valid || !cP.Valid || d4.Value == 0)
        return;
    Checked ux = Checked(*x) - llx;
    Checked uy = Checked(*y) - lly;
    Checked mappedX = (kx1 * ux + kx2 * uy) / d4 + ReferenceLow;
    Checked mappedY = (ky1 * ux + ky2 * uy) / d4 + ReferenceLow;
    if (!mappedX.Valid || !mappedY.Valid)
        return;
    *x = SaturateTo32(mappedX.Value);
    *y = SaturateTo32(mappedY.Value);
}

constexpr int16_t GridCellWidths[4] = {409, 512, 512, 410};
constexpr int64_t FractionOne = 1024;

void FindCell(int32_t coordinate, int16_t* cell, int64_t* offset)
{
    int64_t p = int64_t(coordinate) - ReferenceLow;
    int16_t c = 0;
    while (c < 3 && p > GridCellWidths[c]) {
        p -= GridCellWidths[c];
        ++c;
    }
    *cell = c;
    *offset = p;
}

int16_t CellFraction(int16_t cell, int64_t offset)
{
    int64_t fraction = (cell == 1 || cell == 2) ? 2 * offset : 2 * offset + offset / 2;
    if (fraction < std::numeric_limits<int16_t>::min())
        return std::numeric_limits<int16_t>::min();
    if (fraction > std::numeric_limits<int16_t>::max())
        return std::numeric_limits<int16_t>::max();
    return int16_t(fraction);
}

int64_t Interpolate(const int32_t* grid, int column, int row, int64_t fx, int64_t fy)
{
    auto at = [&](int c, int r) { return int64_t(grid[5 * c + r]); };
    int64_t v00 = at(column, row), v10 = at(column + 1, row);
    int64_t v01 = at(column, row + 1), v11 = at(column + 1, row + 1);
    return v00 + ((v10 - v00) * fx) / FractionOne + ((v01 - v00) * fy) / FractionOne +
           ((((v11 - v01 - v10 + v00) * fy) / FractionOne) * fx) / FractionOne;
}

void GridCorrect(const DriverValues& values, int32_t* x, int32_t* y)
{
    int16_t column, row;
    int64_t p, q;
    FindCell(*x, &column, &p);
    FindCell(*y, &row, &q);
    int16_t fx = CellFraction(column, p), fy = CellFraction(row, q);
    int64_t dX = Interpolate(values.GridX, column, row, fx, fy);
    int64_t dY = Interpolate(values.GridY, column, row, fx, fy);
    *x = SaturateTo32(int64_t(*x) - dX);
    *y = SaturateTo32(int64_t(*y) - dY);
}

int32_t ScaleToOutput(int32_t reference)
{
    int64_t scaled = int64_t(reference) * (1 << OutputShift);
    if (scaled < 0)
        return 0;
    if (scaled > OutputMaximum)
        return OutputMaximum;
    return int32_t(scaled);
}

// The driver's path split where the grid corner pass ends, so that a search
// over grid offsets can start from a cached first pass.
ScreenPoint FinishFromGridPass(const DriverValues& values, int32_t x, int32_t y)
{
    if (values.GridEnabled)
        GridCorrect(values, &x, &y);
    MapCorners(values.Corners, &x, &y);
    return {ScaleToOutput(x), OutputMaximum - ScaleToOutput(y)};
}

// ---- Screen geometry ---------------------------------------------------------

// The driver's grid lines in reference units; the targets sit on them.
constexpr int32_t GridLines[5] = {102, 511, 1023, 1535, 1945};
constexpr double Screen = 65536.0;

// Screen position as fractions of the screen, v counting up from the bottom
// like the reference space and the raw Y of an upright panel.
struct Uv {
    double U = 0, V = 0;
};

Uv UvOf(double sx, double sy)
{
    return {sx / Screen, (Screen - sy) / Screen};
}

// Where a screen point should land in reference units before the driver
// truncates: half a unit high, so the truncated record straddles it.
void DesiredReference(double sx, double sy, double* rx, double* ry)
{
    *rx = sx / 32.0 + 0.5;
    *ry = (Screen - sy) / 32.0 + 0.5;
}

void ScreenOfReference(double rx, double ry, double* sx, double* sy)
{
    *sx = 32.0 * (rx - 0.5);
    *sy = Screen - 32.0 * (ry - 0.5);
}

double Distance(double ax, double ay, double bx, double by)
{
    return std::hypot(ax - bx, ay - by);
}

// ---- Least squares over tensor polynomials -----------------------------------

// Solves the n x n system in place by Gaussian elimination with partial
// pivoting; false when it is singular.
bool SolveLinear(std::vector<double>& a, std::vector<double>& b, int n)
{
    double scale = 0;
    for (double v : a)
        scale = std::max(scale, std::fabs(v));
    if (scale == 0)
        return false;
    for (int col = 0; col < n; ++col) {
        int pivot = col;
        for (int r = col + 1; r < n; ++r)
            if (std::fabs(a[r * n + col]) > std::fabs(a[pivot * n + col]))
                pivot = r;
        if (std::fabs(a[pivot * n + col]) < 1e-11 * scale)
            return false;
        if (pivot != col) {
            for (int k = 0; k < n; ++k)
                std::swap(a[col * n + k], a[pivot * n + k]);
            std::swap(b[col], b[pivot]);
        }
        for (int r = col + 1; r < n; ++r) {
            double f = a[r * n + col] / a[col * n + col];
            for (int k = col; k < n; ++k)
                a[r * n + k] -= f * a[col * n + k];
            b[r] -= f * b[col];
        }
    }
    for (int col = n - 1; col >= 0; --col) {
        double s = b[col];
        for (int k = col + 1; k < n; ++k)
            s -= a[col * n + k] * b[k];
        b[col] = s / a[col * n + col];
    }
    return true;
}

// raw = sum c_ij a^i b^j with a = 2u - 1, b = 2v - 1: degree 1 is the
// bilinear patch through four corners; degree 2 and 3 also follow bowed and
// S-shaped edges. Affine leaves out the ab term.
class Surface {
public:
    enum class Kind { Affine, Tensor };

    Surface(Kind kind, int degree)
    {
        if (kind == Kind::Affine) {
            terms_ = {{0, 0}, {1, 0}, {0, 1}};
        } else {
            for (int i = 0; i <= degree; ++i)
                for (int j = 0; j <= degree; ++j)
                    terms_.push_back({i, j});
        }
    }

    size_t Terms() const { return terms_.size(); }

    bool Fit(const std::vector<Uv>& at, const std::vector<RawPoint>& raw)
    {
        const int n = int(terms_.size());
        if (at.size() < terms_.size())
            return false;
        std::vector<double> ata(n * n, 0.0), atx(n, 0.0), aty(n, 0.0), row(n);
        for (size_t k = 0; k < at.size(); ++k) {
            Basis(at[k], row.data(), nullptr, nullptr);
            for (int i = 0; i < n; ++i) {
                for (int j = 0; j < n; ++j)
                    ata[i * n + j] += row[i] * row[j];
                atx[i] += row[i] * raw[k].X;
                aty[i] += row[i] * raw[k].Y;
            }
        }
        std::vector<double> copy = ata;
        if (!SolveLinear(ata, atx, n) || !SolveLinear(copy, aty, n))
            return false;
        cx_ = atx;
        cy_ = aty;
        return true;
    }

    RawPoint At(Uv p) const
    {
        double row[16];
        Basis(p, row, nullptr, nullptr);
        RawPoint r;
        for (size_t i = 0; i < terms_.size(); ++i) {
            r.X += cx_[i] * row[i];
            r.Y += cy_[i] * row[i];
        }
        return r;
    }

    // d raw / d(u, v) as x_u, x_v, y_u, y_v.
    void Jacobian(Uv p, double* j) const
    {
        double row[16], du[16], dv[16];
        Basis(p, row, du, dv);
        j[0] = j[1] = j[2] = j[3] = 0;
        for (size_t i = 0; i < terms_.size(); ++i) {
            j[0] += cx_[i] * du[i];
            j[1] += cx_[i] * dv[i];
            j[2] += cy_[i] * du[i];
            j[3] += cy_[i] * dv[i];
        }
    }

    double Determinant(Uv p) const
    {
        double j[4];
        Jacobian(p, j);
        return j[0] * j[3] - j[1] * j[2];
    }

    // The screen position the model puts at `raw`, by Newton's method from
    // the screen's centre; false if it does not settle.
    bool Invert(RawPoint raw, Uv* out) const
    {
        Uv p{0.5, 0.5};
        for (int iteration = 0; iteration < 50; ++iteration) {
            RawPoint r = At(p);
            double ex = raw.X - r.X, ey = raw.Y - r.Y;
            if (std::fabs(ex) < 1e-7 && std::fabs(ey) < 1e-7) {
                *out = p;
                return true;
            }
            double j[4];
            Jacobian(p, j);
            double det = j[0] * j[3] - j[1] * j[2];
            if (det == 0)
                return false;
            double du = (j[3] * ex - j[1] * ey) / det;
            double dv = (j[0] * ey - j[2] * ex) / det;
            // Damped far away, so a bowed model cannot throw it off the screen.
            double step = std::hypot(du, dv);
            if (step > 0.25) {
                du *= 0.25 / step;
                dv *= 0.25 / step;
            }
            p.U += du;
            p.V += dv;
        }
        RawPoint r = At(p);
        if (std::hypot(raw.X - r.X, raw.Y - r.Y) < 1e-3) {
            *out = p;
            return true;
        }
        return false;
    }

private:
    void Basis(Uv p, double* row, double* du, double* dv) const
    {
        double a = 2 * p.U - 1, b = 2 * p.V - 1;
        double pa[5] = {1, a, a * a, a * a * a, a * a * a * a};
        double pb[5] = {1, b, b * b, b * b * b, b * b * b * b};
        for (size_t k = 0; k < terms_.size(); ++k) {
            int i = terms_[k].first, j = terms_[k].second;
            row[k] = pa[i] * pb[j];
            if (du)
                du[k] = i ? 2.0 * i * pa[i - 1] * pb[j] : 0.0;
            if (dv)
                dv[k] = j ? 2.0 * j * pa[i] * pb[j - 1] : 0.0;
        }
    }

    std::vector<std::pair<int, int>> terms_;
    std::vector<double> cx_, cy_;
};

// ---- Tap checks ----------------------------------------------------------------

// Thresholds in fractions of the panel's raw span per screen: panels are
// twisted by up to a few tens of percent (which only the four corners
// together show) and bowed by a few percent (which a bilinear patch misses).
constexpr double AffineTolerance = 0.20;
constexpr double PatchTolerance = 0.08;
// A second tap this close to a refused one at the same target is believed.
constexpr double SameSpot = 0.03;
// Samples of one tap: a finger at rest, jittered and quantised to 8 raw units.
constexpr double SteadyRadius = 24.0;
constexpr double MinimumSeparation = 32.0;
constexpr size_t MinimumSamples = 3;

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

// ---- The integer search --------------------------------------------------------

struct DensePoint {
    double Sx, Sy;
    int32_t RawX, RawY;
    int32_t RefX = 0, RefY = 0; // after the grid corner pass
};

double SquaredError(const DriverValues& values, const DensePoint& p)
{
    ScreenPoint s = DriverMap(values, p.RawX, p.RawY);
    double ex = s.X - p.Sx, ey = s.Y - p.Sy;
    return ex * ex + ey * ey;
}

double Penalty(double squared)
{
    return squared + squared * squared / (64.0 * 64.0);
}

class Search {
public:
    Search(std::vector<DensePoint> points, DriverValues* values)
        : points_(std::move(points)), values_(values)
    {
    }

    void Run()
    {
        for (int round = 0; round < 4; ++round) {
            bool moved =
                SearchCorners(values_->GridEnabled ? values_->GridCorners : values_->Corners,
                              values_->GridEnabled);
            if (values_->GridEnabled)
                moved = SearchOffsets() || moved;
            if (!moved)
                break;
        }
    }

    double Cost() const
    {
        double sum = 0;
        for (const DensePoint& p : points_)
            sum += Penalty(SquaredError(*values_, p));
        return sum;
    }

private:
    // A parallelogram keeps UL = LL + UR - LR as its other corners move.
    bool SearchCorners(int32_t* corners, bool parallelogram)
    {
        auto shift = [&](int k, int32_t by) {
            corners[k] += by;
            if (parallelogram)
                corners[6 + k % 2] += k == 2 || k == 3 ? -by : by;
        };
        bool movedAny = false;
        double best = Cost();
        for (int pass = 0; pass < 3; ++pass) {
            bool moved = false;
            for (int k = 0; k < (parallelogram ? 6 : 8); ++k)
                for (int32_t step : {8, 4, 2, 1})
                    for (int32_t direction : {1, -1}) {
                        while (true) {
                            shift(k, direction * step);
                            double cost = Cost();
                            if (cost < best) {
                                best = cost;
                                moved = true;
                            } else {
                                shift(k, -direction * step);
                                break;
                            }
                        }
                    }
            movedAny = movedAny || moved;
            if (!moved)
                break;
        }
        return movedAny;
    }

    // An offset moves only the points in the up to four cells around its
    // grid point, so each try is judged on those.
    bool SearchOffsets()
    {
        std::vector<size_t> byCell[4][4];
        for (size_t i = 0; i < points_.size(); ++i) {
            DensePoint& p = points_[i];
            p.RefX = p.RawX, p.RefY = p.RawY;
            MapCorners(values_->GridCorners, &p.RefX, &p.RefY);
            int16_t column, row;
            int64_t unused;
            FindCell(p.RefX, &column, &unused);
            FindCell(p.RefY, &row, &unused);
            byCell[column][row].push_back(i);
        }
        bool movedAny = false;
        for (int pass = 0; pass < 4; ++pass) {
            bool moved = false;
            for (int c = 0; c < 5; ++c)
                for (int r = 0; r < 5; ++r) {
                    std::vector<size_t> near;
                    for (int cc = c - 1; cc <= c; ++cc)
                        for (int rr = r - 1; rr <= r; ++rr)
                            if (cc >= 0 && cc < 4 && rr >= 0 && rr < 4)
                                near.insert(near.end(), byCell[cc][rr].begin(),
                                            byCell[cc][rr].end());
                    if (near.empty())
                        continue;
                    for (int32_t* grid : {values_->GridX, values_->GridY})
                        moved = Descend(&grid[5 * c + r], near) || moved;
                }
            movedAny = movedAny || moved;
            if (!moved)
                break;
        }
        return movedAny;
    }

    bool Descend(int32_t* offset, const std::vector<size_t>& near)
    {
        auto localCost = [&]() {
            double sum = 0;
            for (size_t i : near) {
                const DensePoint& p = points_[i];
                ScreenPoint s = FinishFromGridPass(*values_, p.RefX, p.RefY);
                double ex = s.X - p.Sx, ey = s.Y - p.Sy;
                sum += Penalty(ex * ex + ey * ey);
            }
            return sum;
        };
        double best = localCost();
        bool moved = false;
        for (int32_t direction : {1, -1})
            while (true) {
                *offset += direction;
                double cost = localCost();
                if (cost < best) {
                    best = cost;
                    moved = true;
                } else {
                    *offset -= direction;
                    break;
                }
            }
        return moved;
    }

    std::vector<DensePoint> points_;
    DriverValues* values_;
};

constexpr int32_t IdentityCorners[8] = {102, 102, 1945, 102, 1945, 1945, 102, 1945};

// Far beyond any raw position, and small enough that sums of corners stay
// within 32 bits.
int32_t RoundRaw(double v)
{
    if (!(v > -1e8 && v < 1e8))
        return 0;
    return int32_t(std::lround(v));
}

std::string Format(const char* format, int a, int b)
{
    char text[160];
    std::snprintf(text, sizeof text, format, a, b);
    return text;
}

} // namespace

ScreenPoint DriverMap(const DriverValues& values, int32_t rawX, int32_t rawY)
{
    if (values.GridEnabled)
        MapCorners(values.GridCorners, &rawX, &rawY);
    return FinishFromGridPass(values, rawX, rawY);
}

// Raw 8 x (reference - 102) + 816 spans 0..16383 within 0..2047: one
// reference unit, the record's resolution, is 8 raw units.
DriverValues MeasuringValues()
{
    DriverValues values;
    const int32_t corners[8] = {816, 816, 15560, 816, 15560, 15560, 816, 15560};
    std::copy(corners, corners + 8, values.Corners);
    values.GridEnabled = false;
    return values;
}

namespace {

// The middle of the raw values that the measuring calibration sends to
// reference r. The driver truncates toward zero from raw 816, so the unit at
// 102 is 15 raw values wide and those below it lie under their start.
double RawAtReference(int64_t r)
{
    if (r <= 0)
        return 0;
    if (r < ReferenceLow)
        return 8.0 * double(r) - 3.5;
    if (r == ReferenceLow)
        return 816;
    if (r >= 2047)
        return 16379.5;
    return 8.0 * double(r) + 3.5;
}

// Records that a smoothing filter averaged fall between whole units.
double RawAtReference(double r)
{
    double whole = std::floor(r);
    double part = r - whole;
    double low = RawAtReference(int64_t(whole));
    double raw = part > 0 ? low + part * (RawAtReference(int64_t(whole) + 1) - low) : low;
    return std::min(std::max(raw, 0.0), double(RawMax));
}

} // namespace

RawPoint RawOf(ScreenPoint record)
{
    return {RawAtReference(record.X / 32.0), RawAtReference((Screen - record.Y) / 32.0)};
}

// Corners first, so that three taps fix an affine prediction for the rest;
// then the centre, then the others in reading order.
Procedure::Procedure(int points) : points_(points)
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
    refused_.assign(targets_.size(), RawPoint{});
    haveRefused_.assign(targets_.size(), false);
    insisted_.assign(targets_.size(), false);
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
    return targets_.size();
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
        if (Distance(p.X, p.Y, median.X, median.Y) <= SteadyRadius) {
            sx += p.X;
            sy += p.Y;
            ++count;
        }
    if (count < 2 || 2 * count < kept.size())
        return false;
    *combined = {sx / double(count), sy / double(count)};
    return true;
}

namespace {

Uv UvOfTarget(const ScreenPoint& t)
{
    return UvOf(t.X, t.Y);
}

// The panel's raw span per screen, from an affine fit: the unit the
// tolerances are expressed in.
double SpanOf(const std::vector<Uv>& at, const std::vector<RawPoint>& raw)
{
    Surface affine(Surface::Kind::Affine, 1);
    if (!affine.Fit(at, raw))
        return 0;
    return std::sqrt(std::fabs(affine.Determinant({0.5, 0.5})));
}

} // namespace

// Where the accepted taps, except `skip`, put target `target`; the
// tolerance that goes with the prediction, or 0 when none can be made.
double Procedure::Predict(size_t target, size_t skip, RawPoint* predicted, double* span) const
{
    std::vector<Uv> at;
    std::vector<RawPoint> raw;
    for (size_t i = 0; i < targets_.size(); ++i)
        if (have_[i] && i != skip && i != target) {
            at.push_back(UvOfTarget(targets_[i]));
            raw.push_back(measured_[i]);
        }
    if (at.size() < 3)
        return 0;
    *span = SpanOf(at, raw);
    if (*span < MinimumSeparation)
        return 0;
    Surface patch(Surface::Kind::Tensor, 1);
    if (at.size() >= 4 && patch.Fit(at, raw)) {
        *predicted = patch.At(UvOfTarget(targets_[target]));
        return PatchTolerance;
    }
    Surface affine(Surface::Kind::Affine, 1);
    if (!affine.Fit(at, raw))
        return 0;
    *predicted = affine.At(UvOfTarget(targets_[target]));
    return AffineTolerance;
}

bool Procedure::Plausible(size_t target, RawPoint tap) const
{
    std::vector<RawPoint> accepted;
    for (size_t i = 0; i < targets_.size(); ++i)
        if (have_[i] && i != target) {
            // Taps at different targets do not land on one spot.
            if (Distance(tap.X, tap.Y, measured_[i].X, measured_[i].Y) < MinimumSeparation)
                return false;
            accepted.push_back(measured_[i]);
        }
    if (accepted.size() == 2) {
        // Three targets of a screen's corners are not on one line.
        double ax = accepted[1].X - accepted[0].X, ay = accepted[1].Y - accepted[0].Y;
        double bx = tap.X - accepted[0].X, by = tap.Y - accepted[0].Y;
        double sine = std::fabs(ax * by - ay * bx) / (std::hypot(ax, ay) * std::hypot(bx, by));
        if (sine < 0.2)
            return false;
    }
    RawPoint predicted;
    double span = 0;
    double tolerance = Predict(target, targets_.size(), &predicted, &span);
    if (tolerance == 0)
        return true;
    return Distance(tap.X, tap.Y, predicted.X, predicted.Y) <= tolerance * span;
}

// Once enough taps are in, each is predicted from all the others: one that
// stands out, while the rest agree without it, is taken back.
size_t Procedure::Outlier() const
{
    std::vector<size_t> accepted;
    for (size_t i = 0; i < targets_.size(); ++i)
        if (have_[i])
            accepted.push_back(i);
    const size_t none = targets_.size();
    if (accepted.size() < 6)
        return none;
    size_t worst = none;
    double worstRatio = 0;
    for (size_t i : accepted) {
        RawPoint predicted;
        double span = 0;
        double tolerance = Predict(i, none, &predicted, &span);
        if (tolerance == 0 || insisted_[i])
            continue;
        double ratio =
            Distance(measured_[i].X, measured_[i].Y, predicted.X, predicted.Y) / (tolerance * span);
        if (ratio > worstRatio) {
            worstRatio = ratio;
            worst = i;
        }
    }
    if (worstRatio <= 1)
        return none;
    for (size_t i : accepted) {
        if (i == worst)
            continue;
        RawPoint predicted;
        double span = 0;
        double tolerance = Predict(i, worst, &predicted, &span);
        if (tolerance == 0 ||
            Distance(measured_[i].X, measured_[i].Y, predicted.X, predicted.Y) > tolerance * span)
            return none;
    }
    return worst;
}

Procedure::Verdict Procedure::AddTap(const std::vector<RawPoint>& samples)
{
    const size_t target = Next();
    if (target >= targets_.size())
        return Verdict::Misplaced;
    RawPoint tap;
    if (!Combine(samples, &tap))
        return Verdict::TooFew;

    bool plausible = Plausible(target, tap);
    if (!plausible) {
        // Touched twice at the same spot: believe the finger, and look for
        // an earlier tap that misled the prediction.
        bool confirmed = false;
        if (haveRefused_[target]) {
            std::vector<Uv> at;
            std::vector<RawPoint> raw;
            for (size_t i = 0; i < targets_.size(); ++i)
                if (have_[i]) {
                    at.push_back(UvOfTarget(targets_[i]));
                    raw.push_back(measured_[i]);
                }
            double span = SpanOf(at, raw);
            confirmed =
                Distance(tap.X, tap.Y, refused_[target].X, refused_[target].Y) <= SameSpot * span;
        }
        if (!confirmed) {
            refused_[target] = tap;
            haveRefused_[target] = true;
            return Verdict::Misplaced;
        }
    }
    measured_[target] = tap;
    have_[target] = true;
    insisted_[target] = !plausible;
    haveRefused_[target] = false;

    // A tap taken back counts as refused: touched there again, it stays.
    size_t outlier = Outlier();
    if (outlier < targets_.size()) {
        have_[outlier] = false;
        refused_[outlier] = measured_[outlier];
        haveRefused_[outlier] = true;
        measured_[outlier] = RawPoint{};
        if (outlier == target)
            return Verdict::Misplaced;
    }
    return Verdict::Accepted;
}

namespace {

// Screen points the search weighs: a lattice over the screen from 1% to 99%.
constexpr int DenseLines = 33;

std::vector<DensePoint> DenseSet(const Surface& model)
{
    std::vector<DensePoint> points;
    for (int i = 0; i < DenseLines; ++i)
        for (int j = 0; j < DenseLines; ++j) {
            DensePoint p;
            p.Sx = Screen * (0.01 + 0.98 * i / (DenseLines - 1));
            p.Sy = Screen * (0.01 + 0.98 * j / (DenseLines - 1));
            RawPoint raw = model.At(UvOf(p.Sx, p.Sy));
            p.RawX = std::min(std::max(RoundRaw(raw.X), 0), RawMax);
            p.RawY = std::min(std::max(RoundRaw(raw.Y), 0), RawMax);
            points.push_back(p);
        }
    return points;
}

// The raw point that the floating-point form of a corner mapping sends to
// reference (rx, ry): the inverse of the triangle that holds it.
RawPoint CornerMapInverse(const int32_t* c, double rx, double ry)
{
    double p = (rx - ReferenceLow) / double(ReferenceSpan);
    double q = (ry - ReferenceLow) / double(ReferenceSpan);
    double llx = c[0], lly = c[1];
    if (q > p) { // upper-left triangle
        return {llx + p * (c[4] - llx) + (q - p) * (c[6] - llx),
                lly + p * (c[5] - lly) + (q - p) * (c[7] - lly)};
    }
    return {llx + (p - q) * (c[2] - llx) + q * (c[4] - llx),
            lly + (p - q) * (c[3] - lly) + q * (c[5] - lly)};
}

// The grid corner set as an exact parallelogram, the affine map that fits
// the model best: its two triangles then agree, and the grid offsets are left
// a smooth correction to follow instead of a fold along the diagonal.
void ModelParallelogram(const Surface& model, int32_t* corners)
{
    std::vector<Uv> at;
    std::vector<RawPoint> raw;
    for (int i = 0; i <= 8; ++i)
        for (int j = 0; j <= 8; ++j) {
            Uv p{0.05 + 0.9 * i / 8, 0.05 + 0.9 * j / 8};
            at.push_back(p);
            raw.push_back(model.At(p));
        }
    Surface affine(Surface::Kind::Affine, 1);
    if (!affine.Fit(at, raw))
        return;
    const double refs[3][2] = {{double(ReferenceLow), double(ReferenceLow)},
                               {double(ReferenceHigh), double(ReferenceLow)},
                               {double(ReferenceHigh), double(ReferenceHigh)}};
    for (int k = 0; k < 3; ++k) {
        double sx, sy;
        ScreenOfReference(refs[k][0], refs[k][1], &sx, &sy);
        RawPoint r = affine.At(UvOf(sx, sy));
        corners[2 * k] = RoundRaw(r.X);
        corners[2 * k + 1] = RoundRaw(r.Y);
    }
    corners[6] = corners[0] + corners[4] - corners[2];
    corners[7] = corners[1] + corners[5] - corners[3];
}

// The corner set that sends where the model puts the screen's reference
// corners onto 102 and 1945.
void ModelCorners(const Surface& model, int32_t* corners)
{
    const double refs[4][2] = {{double(ReferenceLow), double(ReferenceLow)},
                               {double(ReferenceHigh), double(ReferenceLow)},
                               {double(ReferenceHigh), double(ReferenceHigh)},
                               {double(ReferenceLow), double(ReferenceHigh)}};
    for (int k = 0; k < 4; ++k) {
        double sx, sy;
        ScreenOfReference(refs[k][0], refs[k][1], &sx, &sy);
        RawPoint raw = model.At(UvOf(sx, sy));
        corners[2 * k] = RoundRaw(raw.X);
        corners[2 * k + 1] = RoundRaw(raw.Y);
    }
}

// Grid offsets that take each grid point to where the model says its
// screen point wants it: the residual of the corner mapping there.
bool ModelOffsets(const Surface& model, DriverValues* values)
{
    for (int c = 0; c < 5; ++c)
        for (int r = 0; r < 5; ++r) {
            RawPoint raw = CornerMapInverse(values->GridCorners, GridLines[c], GridLines[r]);
            Uv at;
            if (!model.Invert(raw, &at))
                return false;
            double rx, ry;
            DesiredReference(Screen * at.U, Screen * (1 - at.V), &rx, &ry);
            double dx = GridLines[c] - rx, dy = GridLines[r] - ry;
            if (!(std::fabs(dx) < 1e6 && std::fabs(dy) < 1e6))
                return false;
            values->GridX[5 * c + r] = int32_t(std::lround(dx));
            values->GridY[5 * c + r] = int32_t(std::lround(dy));
        }
    return true;
}

} // namespace

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
            extent = std::max(extent, Distance(a.X, a.Y, b.X, b.Y));
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
        at.push_back(UvOfTarget(t));
    if (!model.Fit(at, measured_)) {
        *why = "no mapping fits the touches";
        return false;
    }
    std::vector<DensePoint> dense = DenseSet(model);
    for (const DensePoint& p : dense)
        if (model.Determinant(UvOf(p.Sx, p.Sy)) <= 0) {
            *why = "the targets were touched in the wrong order: the touches fold over";
            return false;
        }

    DriverValues result;
    if (points_ == 4) {
        ModelCorners(model, result.Corners);
        result.GridEnabled = false;
    } else {
        std::copy(IdentityCorners, IdentityCorners + 8, result.Corners);
        result.GridEnabled = true;
        ModelParallelogram(model, result.GridCorners);
        if (!ModelOffsets(model, &result)) {
            *why = "no mapping fits the touches";
            return false;
        }
    }
    Search search(dense, &result);
    search.Run();

    // A mapping that still misses by a tenth of the screen is no mapping.
    for (const DensePoint& p : dense)
        if (SquaredError(result, p) > (0.1 * Screen) * (0.1 * Screen)) {
            *why = "no mapping fits the touches";
            return false;
        }
    *values = result;
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
        errors.push_back(Distance(s.X, s.Y, targets[i].X, targets[i].Y));
    }
    return errors;
}

} // namespace calibration
} // namespace vorn
