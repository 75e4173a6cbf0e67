// The integer search: the driver's values that follow a fitted model of the
// panel best, judged through the driver's own arithmetic.
#pragma once

#include "client/calibration_arithmetic.h"
#include "client/calibration_least_squares.h"

#include <vector>

namespace vorn {
namespace calibration {

// The screen points the search weighs: a lattice from 1% to 99% of the
// screen.
std::vector<Uv> SearchedPoints();

// Values for `model`: the four corners alone, or (grid) the grid corner set
// as a parallelogram with the grid offsets and the main corners at the
// identity. False when no values come within a tenth of the screen of it.
bool SearchValues(const Surface& model, bool grid, DriverValues* values);

} // namespace calibration
} // namespace vorn
