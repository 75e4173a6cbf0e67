// A picture of a calibration, as SVG: the screen, the targets, the measured
// touches, the error at the targets before and after as vectors, and where
// the lattice of targets lands once corrected.
#pragma once

#include "client/calibration.h"

#include <string>

namespace vorn {
namespace calibration {

std::string CalibrationSvg(const Procedure& procedure, const DriverValues& before,
                           const DriverValues& after);

} // namespace calibration
} // namespace vorn
