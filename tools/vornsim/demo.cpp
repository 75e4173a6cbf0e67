#include "tools/vornsim/scenario.h"

namespace vornsim {

const char* const DemoScenario =
    R"(# The embedded demo: one controller on COM1, configured in the registry,
# whose parameter memory holds a real calibration.
reg set VORN2000\Device0 COMM sz COM1
reg set VORN2000\Device0 BaudRate dword 9600
reg set VORN2000 DoubleClickSpeed dword 2
reg set VORN2000 DoubleClickSize dword 2000
port add COM1
# Corners as the controller measured them, raw X then Y, in the order
# vornctl shows them: lower-left, lower-right, upper-right, upper-left.
# The controller keeps the upper-left corner in words 4 and 5, the
# upper-right in words 6 and 7.
port param COM1 0 1210
port param COM1 1 1330
port param COM1 2 15120
port param COM1 3 1290
port param COM1 6 15160
port param COM1 7 15010
port param COM1 4 1180
port param COM1 5 15050
load
pnp add
pnp start
# The class driver connects: the device opens COM1 and reads its 64 words.
class connect
sleep 50
port log COM1
# A tap.
port touch COM1 8000 8000
port touch COM1 8000 8000 up
sleep 600
# A double tap: the second tap lands a little off and is snapped back.
port touch COM1 4000 12000
port touch COM1 4000 12000 up
sleep 100
port touch COM1 4060 11950
port touch COM1 4060 11950 up
sleep 600
# A stroke, smoothed by the filter.
port touch COM1 2000 2000
port touch COM1 2600 2300
port touch COM1 3400 2500
port touch COM1 4000 3100
port touch COM1 4800 3300
port touch COM1 4800 3300 up
sleep 600
# The settings, read back by the configuration utility: the device, named
# by its port, with the corners it took from the controller; then the
# driver's global settings.
ctl list
ctl show COM1
ctl globals
)";

} // namespace vornsim
