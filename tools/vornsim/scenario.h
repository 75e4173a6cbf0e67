// The scenario runner: carries out a scenario file's commands against the
// driver in the hosted kernel and prints one event a line.
#pragma once

#include "sim/system.h"

#include <istream>
#include <ostream>
#include <string>

namespace vornsim {

// The embedded demo scenario, run when vornsim gets no file.
extern const char* const DemoScenario;

// Runs the scenario; returns the exit status (0, or 2 after a malformed
// line, which is reported on `errors`). Verifier failures end the process
// with status 3. The driver is the linked one unless `driver` names another.
int RunScenario(std::istream& input, std::ostream& output, std::ostream& errors,
                const sim::DriverUnderTest* driver = nullptr);

} // namespace vornsim
