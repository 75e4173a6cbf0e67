// The client library's transport over the hosted I/O manager: each call is a
// buffered device control request built with IoBuildDeviceIoControlRequest
// and sent to the device a link names, waited for when it pends.
#pragma once

#include "client/vorn_client.h"
#include "platform/hosted/hosted.h"

#include <string>

namespace sim {

// Sends one device control request built with IoBuildDeviceIoControlRequest
// to `device` and waits for it when it pends; returns its status block and
// the dispatch routine's own result.
struct BuiltRequestResult {
    IO_STATUS_BLOCK Status;
    NTSTATUS Dispatch;
};
BuiltRequestResult SendBuiltRequest(PDEVICE_OBJECT device, ULONG code, PVOID input,
                                    ULONG inputLength, PVOID output, ULONG outputLength,
                                    bool internal);

class HostedTransport : public vorn::Transport {
public:
    // Opens `link` (for example \DosDevices\VORN); calls run on the calling
    // hosted thread at PASSIVE_LEVEL, in a program's process, as `user`.
    explicit HostedTransport(const std::string& link = "\\DosDevices\\VORN",
                             hosted::Account user = hosted::Account::Administrator);
    ~HostedTransport() override;
    HostedTransport(const HostedTransport&) = delete;
    HostedTransport& operator=(const HostedTransport&) = delete;

    bool IsOpen() const { return device_ != nullptr; }
    // Sends the following calls as internal device control requests.
    void SetInternal(bool internal) { internal_ = internal; }
    // The dispatch routine's own result for the last call.
    NTSTATUS LastDispatchStatus() const { return lastDispatch_; }

    vorn::Reply Call(uint32_t code, const std::vector<uint8_t>& input,
                     uint32_t outputLength) override;

private:
    PFILE_OBJECT file_ = nullptr;
    PDEVICE_OBJECT device_ = nullptr;
    bool internal_ = false;
    hosted::Account user_;
    NTSTATUS lastDispatch_ = STATUS_SUCCESS;
};

} // namespace sim
