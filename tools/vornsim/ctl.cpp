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

vornctl::Result RunCtl(const std::vector<std::string>& args, const vornctl::LineSink& print)
{
    return vornctl::Run(args, OpenHostedControlDevice, print);
}

BackgroundCtl::BackgroundCtl(std::vector<std::string> args) : args_(std::move(args))
{
    HANDLE handle;
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
