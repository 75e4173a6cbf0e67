// The calibration window of vornctl.exe, shown on its own for the Wine test:
// under Wine no serial port can be bound, so `vornctl calibrate` refuses
// every device, and this program shows the window that calibrate shows for
// a device whose port is open, through the same code.
//
// usage: calibration_window.exe POINTS [NOTE]
//   Shows the first target of a POINTS-point calibration (with NOTE, the
//   line that explains a refused touch), prints `target 1/POINTS at X Y` as
//   calibrate does, and waits for a touch; a cancel (Esc, or 15 s without a
//   touch) prints calibrate's cancel line and exits with 1.
#include "client/calibration.h"
#include "tools/vornctl/win32_calibration.h"

#include <cstdio>
#include <cstdlib>
#include <string>

int main(int argc, char** argv)
{
    if (argc < 2 || argc > 3) {
        std::fprintf(stderr, "usage: calibration_window.exe POINTS [NOTE]\n");
        return 2;
    }
    const int points = std::atoi(argv[1]);
    vorn::calibration::Procedure procedure(points);
    if (procedure.Targets().empty()) {
        std::fprintf(stderr, "a calibration takes 4, 9 or 25 points\n");
        return 2;
    }
    std::string why;
    std::unique_ptr<vornctl::CalibrationUi> ui =
        OpenWindowsCalibration({nullptr, 0, vorn::ScreenRect{}}, &why);
    if (!ui) {
        std::fprintf(stderr, "vornctl: cannot show the calibration targets: %s\n", why.c_str());
        return 1;
    }
    vorn::calibration::ScreenPoint target = procedure.Targets()[0];
    std::printf("target 1/%d at %d %d\n", points, int(target.X), int(target.Y));
    std::fflush(stdout);
    if (argc == 3)
        ui->Explain(argv[2]);
    ui->ShowTarget(0, procedure.Targets().size(), target);
    std::vector<vorn::calibration::ScreenPoint> positions;
    if (!ui->WaitForTap(&positions, &why)) {
        std::fprintf(stderr, "vornctl: calibration cancelled (%s); the settings are as they were\n",
                     why.c_str());
        return 1;
    }
    std::printf("touched, %u samples\n", unsigned(positions.size()));
    return 0;
}
