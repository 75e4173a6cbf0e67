// The driver's arithmetic (pipeline/decode.cpp, pipeline/grid.cpp), with
// every step checked for overflow the way the driver checks it.
#include "client/calibration_arithmetic.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace vorn {
namespace calibration {
namespace {

constexpr int32_t OutputShift = 5;
constexpr double Screen = 65536.0;

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
void MapCornersChecked(const int32_t* c, int32_t* x, int32_t* y)
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

// The driver's path after the grid corner pass.
ScreenPoint FinishAfterGridPass(const DriverValues& values, int32_t x, int32_t y)
{
    if (values.GridEnabled)
        GridCorrect(values, &x, &y);
    MapCornersChecked(values.Corners, &x, &y);
    return {ScaleToOutput(x), OutputMaximum - ScaleToOutput(y)};
}

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

namespace stages {

void MapCorners(const int32_t* corners, int32_t* x, int32_t* y)
{
    MapCornersChecked(corners, x, y);
}

int16_t CellOf(int32_t coordinate)
{
    int16_t cell;
    int64_t unused;
    FindCell(coordinate, &cell, &unused);
    return cell;
}

ScreenPoint FinishFromGridPass(const DriverValues& values, int32_t x, int32_t y)
{
    return FinishAfterGridPass(values, x, y);
}

} // namespace stages

ScreenPoint DriverMap(const DriverValues& values, int32_t rawX, int32_t rawY)
{
    if (values.GridEnabled)
        MapCornersChecked(values.GridCorners, &rawX, &rawY);
    return FinishAfterGridPass(values, rawX, rawY);
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

RawPoint RawOf(ScreenPoint record)
{
    return {RawAtReference(record.X / 32.0), RawAtReference((Screen - record.Y) / 32.0)};
}

int32_t RoundRaw(double v)
{
    if (!(v > -1e8 && v < 1e8))
        return 0;
    return int32_t(std::lround(v));
}

} // namespace calibration
} // namespace vorn
