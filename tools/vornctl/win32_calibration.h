// The calibration screen of vornctl.exe.
#pragma once

#include "tools/vornctl/vornctl.h"

std::unique_ptr<vornctl::CalibrationUi>
OpenWindowsCalibration(const vornctl::CalibrationTarget& target, std::string* why);
