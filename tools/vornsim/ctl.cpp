#include "tools/vornsim/ctl.h"

#include "sim/control_transport.h"

namespace vornsim {
namespace {

// ERROR_FILE_NOT_FOUND: what CreateFile reports when no driver made \\.\VORN.
constexpr unsigned long NoControlDevice = 2;

std::unique_ptr<vorn::Transport> OpenHostedControlDevice(std::string& error)
{
    auto transport = std::make_unique<sim::HostedTransport>("\\DosDevices\\VORN");
    if (!transport->IsOpen()) {
        error = vornctl::CannotOpenMessage(NoControlDevice);
        return nullptr;
    }
    return transport;
}

} // namespace

vornctl::Result RunCtl(const std::vector<std::string>& args, const vornctl::LineSink& print,
                       const vornctl::Platform& platform)
{
    return vornctl::Run(args, OpenHostedControlDevice, print, platform);
}

void SimulatedUser::ShowTarget(size_t, size_t, vorn::calibration::ScreenPoint target)
{
    target_ = target;
}

// The records while the finger is down: the landing and the moves, not the
// lift, which a finger may make anywhere.
bool SimulatedUser::WaitForTap(std::vector<vorn::calibration::ScreenPoint>* positions,
                               std::string* why)
{
    vorn::calibration::ScreenPoint at = target_;
    if (++taps_ == misclick_) // a third of the screen away, wrapping round
        at = {(at.X + 21845) % 65536, (at.Y + 21845) % 65536};
    positions->clear();
    for (const MOUSE_INPUT_DATA& r : tap_(at))
        if (!(r.ButtonFlags & (MOUSE_LEFT_BUTTON_UP | MOUSE_RIGHT_BUTTON_UP)))
            positions->push_back({r.LastX, r.LastY});
    if (positions->empty()) {
        *why = "no record reached the class driver";
        return false;
    }
    return true;
}

BackgroundCtl::BackgroundCtl(std::vector<std::string> args) : args_(std::move(args))
{
    HANDLE handle;
    hosted::NeighbourCalls program; // vornctl's own thread, not the driver's
    if (!NT_SUCCESS(PsCreateSystemThread(&handle, 0, nullptr, nullptr, nullptr, Main, this))) {
        result_ = {vornctl::ExitRefused, "cannot start a thread for the command"};
        finished_ = true;
        return;
    }
    ObReferenceObjectByHandle(handle, THREAD_ALL_ACCESS, nullptr, KernelMode, &thread_, nullptr);
    ZwClose(handle);
}

BackgroundCtl::~BackgroundCtl()
{
    if (!thread_)
        return;
    KeWaitForSingleObject(thread_, Executive, KernelMode, FALSE, nullptr);
    ObDereferenceObject(thread_);
}

VOID NTAPI BackgroundCtl::Main(PVOID context)
{
    auto* self = static_cast<BackgroundCtl*>(context);
    vornctl::Result result = RunCtl(self->args_, [self](const std::string& line) {
        std::lock_guard<std::mutex> guard(self->lock_);
        self->lines_.push_back(line);
    });
    std::lock_guard<std::mutex> guard(self->lock_);
    self->result_ = result;
    self->finished_ = true;
}

std::vector<std::string> BackgroundCtl::TakeLines()
{
    std::lock_guard<std::mutex> guard(lock_);
    std::vector<std::string> lines;
    lines.swap(lines_);
    return lines;
}

bool BackgroundCtl::Finished()
{
    std::lock_guard<std::mutex> guard(lock_);
    return finished_;
}

vornctl::Result BackgroundCtl::Outcome()
{
    std::lock_guard<std::mutex> guard(lock_);
    return result_;
}

} // namespace vornsim
