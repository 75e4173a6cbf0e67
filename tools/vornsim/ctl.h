// vornsim's `ctl`: the configuration utility's own command code, run over the
// hosted transport, so a scenario prints exactly what vornctl prints.
#pragma once

#include "platform/hosted/hosted.h"
#include "tools/vornctl/vornctl.h"

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace vornsim {

// Runs one vornctl command on the calling hosted thread.
vornctl::Result RunCtl(const std::vector<std::string>& args, const vornctl::LineSink& print,
                       const vornctl::Platform& platform = {});

// The user of `ctl calibrate`: taps each target it is shown on a panel, as
// a finger does, with several reports per tap. The `misclick`-th tap (from
// 1; 0: none) lands far from its target.
class SimulatedUser : public vornctl::CalibrationUi {
public:
    static constexpr int ReportsPerTap = 8;

    // `tap` puts a finger on the panel at a screen point and returns the
    // records the class driver took for it.
    using Tapper = std::function<std::vector<MOUSE_INPUT_DATA>(vorn::calibration::ScreenPoint)>;
    SimulatedUser(Tapper tap, int misclick) : tap_(std::move(tap)), misclick_(misclick) {}

    void ShowTarget(size_t index, size_t count, vorn::calibration::ScreenPoint target) override;
    bool WaitForTap(std::vector<vorn::calibration::ScreenPoint>* positions,
                    std::string* why) override;

private:
    Tapper tap_;
    int misclick_;
    int taps_ = 0;
    vorn::calibration::ScreenPoint target_;
};

// A vornctl command that waits for the driver (watch) runs on a hosted
// thread of its own while the scenario goes on. Its lines are collected and
// handed out when the runner has settled, so the output does not depend on
// thread timing.
class BackgroundCtl {
public:
    explicit BackgroundCtl(std::vector<std::string> args);
    // Waits for the command to end: whoever tears the driver down ends its wait.
    ~BackgroundCtl();
    BackgroundCtl(const BackgroundCtl&) = delete;
    BackgroundCtl& operator=(const BackgroundCtl&) = delete;

    // Lines printed since the last call.
    std::vector<std::string> TakeLines();
    bool Finished();
    // The command's result once Finished().
    vornctl::Result Outcome();

private:
    static VOID NTAPI Main(PVOID context);

    std::vector<std::string> args_;
    std::mutex lock_;
    std::vector<std::string> lines_;
    bool finished_ = false;
    vornctl::Result result_;
    PVOID thread_ = nullptr;
};

} // namespace vornsim
