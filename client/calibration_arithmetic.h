// The driver's own integer arithmetic from a raw position to a record, as
// the calibration engine needs it: the values the driver applies, the
// corner mapping, the grid pass, scaling and the inversion of Y, and the
// linear calibration in force while touches are collected. Plain C++, no
// kernel: vornctl runs it on Windows and inside vornsim.
//
// Units: screen points and records are in output units, 0..65536 on each
// axis, x from the left edge and y from the top edge, as records carry them.
// Raw positions are the controller's coordinates, 0..16383.
#pragma once

#include <cstdint>

namespace vorn {
namespace calibration {

struct ScreenPoint {
    int32_t X = 0, Y = 0;
};

struct RawPoint {
    double X = 0, Y = 0;
};

// What the driver applies. Corners are in the order of the parameter block:
// LLX, LLY, LRX, LRY, URX, URY, ULX, ULY.
struct DriverValues {
    int32_t Corners[8] = {};
    bool GridEnabled = false;
    int32_t GridCorners[8] = {};
    int32_t GridX[25] = {}; // column by column: element 5 * column + row
    int32_t GridY[25] = {};
};

// The reference space the corners map onto, and the record's range.
constexpr int64_t ReferenceLow = 102;
constexpr int64_t ReferenceSpan = 1843;
constexpr int64_t ReferenceHigh = ReferenceLow + ReferenceSpan;
constexpr int32_t OutputMaximum = 0x10000;
constexpr int32_t RawMax = 16383;
constexpr int32_t IdentityCorners[8] = {102, 102, 1945, 102, 1945, 1945, 102, 1945};
// The driver's grid lines in reference units.
constexpr int32_t GridLines[5] = {102, 511, 1023, 1535, 1945};

// The driver's path from a raw position to a record's LastX, LastY (before
// rotation, filter and click assist): the grid pass when enabled, the corner
// mapping, scaling, clamping and the inversion of Y. Bit-identical to the
// driver; the hosted tests hold it to that.
ScreenPoint DriverMap(const DriverValues& values, int32_t rawX, int32_t rawY);

// The linear calibration in force while touches are collected: grid off,
// corners chosen so that every raw position 0..16383 lands inside
// 0..65536 unclamped. RawOf inverts it for a record's position (to the
// resolution the reference space allows).
DriverValues MeasuringValues();
RawPoint RawOf(ScreenPoint record);

// A raw value rounded to an integer the corner arithmetic takes: far
// beyond any raw position gives 0, so sums of corners stay within 32 bits.
int32_t RoundRaw(double v);

// The driver's path split where the grid corner pass ends, for a search
// over grid offsets that starts from a cached first pass.
namespace stages {

// Corners in block order; a triangle that is degenerate or does not fit 64
// bits leaves the point as it is.
void MapCorners(const int32_t* corners, int32_t* x, int32_t* y);
// The grid cell (0..3) a reference coordinate falls in.
int16_t CellOf(int32_t coordinate);
// Grid correction, corner mapping and scaling after the grid corner pass.
ScreenPoint FinishFromGridPass(const DriverValues& values, int32_t x, int32_t y);

} // namespace stages

} // namespace calibration
} // namespace vorn
