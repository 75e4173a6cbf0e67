// The 25-point grid correction: a 5 x 5 grid of offsets over the reference
// square; each point moves by the offset interpolated bilinearly from the
// four grid points around it.
//
//   grid lines at 102  511  1023  1535  1945   (both axes)
//   cell widths     409  512   512   410
//   GridX/GridY element 5 * column + row, column along X, row along Y
//
// Fractions are in 1/1024 of a cell. A point outside the grid extrapolates
// from the nearest cell.
#include "pipeline/pipeline.h"

namespace {

constexpr SHORT GridCellWidths[4] = {409, 512, 512, 410};
constexpr LONGLONG FractionOne = 1024;

// Only three widths are ever subtracted, so the cell is 0..3 and the last
// cell takes any remainder; a point on a grid line belongs to the cell below.
// The cells start at these offsets from the first grid line.
constexpr LONGLONG CellStarts[4] = {0, GridCellWidths[0], GridCellWidths[0] + GridCellWidths[1],
                                    GridCellWidths[0] + GridCellWidths[1] + GridCellWidths[2]};

void FindCell(LONG coordinate, SHORT* cell, LONGLONG* offset)
{
    LONGLONG p = LONGLONG(coordinate) - ReferenceLow;
    SHORT c = p > CellStarts[3] ? 3 : p > CellStarts[2] ? 2 : p > CellStarts[1] ? 1 : 0;
    *cell = c;
    *offset = p - CellStarts[c];
}

// Inner cells are 512 wide (factor 2), outer ones about 410 (factor 2.5).
// Far outside the grid the fraction is held to 16 bits rather than wrapped,
// so such a point still moves the right way.
SHORT CellFraction(SHORT cell, LONGLONG offset)
{
    LONGLONG fraction = (cell == 1 || cell == 2) ? 2 * offset : 2 * offset + offset / 2;
    if (fraction < ShortMin)
        return ShortMin;
    if (fraction > ShortMax)
        return ShortMax;
    return SHORT(fraction);
}

LONGLONG Interpolate(const LONG* grid, SHORT column, SHORT row, LONGLONG fx, LONGLONG fy)
{
    auto at = [&](int c, int r) { return LONGLONG(grid[5 * c + r]); };
    LONGLONG v00 = at(column, row);
    LONGLONG v10 = at(column + 1, row);
    LONGLONG v01 = at(column, row + 1);
    LONGLONG v11 = at(column + 1, row + 1);
    return v00 + ((v10 - v00) * fx) / FractionOne + ((v01 - v00) * fy) / FractionOne +
           ((((v11 - v01 - v10 + v00) * fy) / FractionOne) * fx) / FractionOne;
}

LONG SubtractSaturated(LONG value, LONGLONG offset)
{
    LONGLONG result = LONGLONG(value) - offset;
    if (result < LongMin)
        return LongMin;
    if (result > LongMax)
        return LongMax;
    return LONG(result);
}

} // namespace

void ApplyGridCorrection(DeviceExtension* device, LONG* x, LONG* y)
{
    SHORT column, row;
    LONGLONG p, q;
    FindCell(*x, &column, &p);
    FindCell(*y, &row, &q);
    InterpolateGridOffset(device, CellFraction(column, p), CellFraction(row, q), row, column, x, y);
}

// The cell and fractions come from the incoming point, so the Y correction
// does not depend on the X correction.
void InterpolateGridOffset(DeviceExtension* device, SHORT fx, SHORT fy, SHORT row, SHORT column,
                           LONG* x, LONG* y)
{
    const TouchSettings& s = device->Settings;
    LONGLONG dX = Interpolate(s.GridX, column, row, fx, fy);
    LONGLONG dY = Interpolate(s.GridY, column, row, fx, fy);
    *x = SubtractSaturated(*x, dX);
    *y = SubtractSaturated(*y, dY);
}
