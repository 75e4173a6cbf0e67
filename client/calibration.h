// The calibration engine: from touches at screen targets to the values the
// driver applies (the four corners and, with 9 or 25 points, the grid
// corner set and the 25 grid offsets). Four parts, each its own file: the
// driver's arithmetic, the least squares, the integer search and the tap
// procedure.
#pragma once

#include "client/calibration_arithmetic.h"
#include "client/calibration_procedure.h"
