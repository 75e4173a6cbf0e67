#include "sim/control_transport.h"

#include <algorithm>

namespace sim {

HostedTransport::HostedTransport(const std::string& link)
{
    std::u16string wide(link.begin(), link.end());
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, wide.c_str());
    if (!NT_SUCCESS(IoGetDeviceObjectPointer(&name, FILE_ALL_ACCESS, &file_, &device_))) {
        file_ = nullptr;
        device_ = nullptr;
    }
}

HostedTransport::~HostedTransport()
{
    if (file_)
        ObDereferenceObject(file_);
}

vorn::Reply HostedTransport::Call(uint32_t code, const std::vector<uint8_t>& input,
                                  uint32_t outputLength)
{
    vorn::Reply reply;
    if (!device_)
        return reply;
    std::vector<uint8_t> output(outputLength);
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IO_STATUS_BLOCK status{};
    PIRP irp =
        IoBuildDeviceIoControlRequest(code, device_, const_cast<uint8_t*>(input.data()),
                                      ULONG(input.size()), output.empty() ? nullptr : output.data(),
                                      outputLength, internal_ ? TRUE : FALSE, &done, &status);
    if (!irp)
        return reply;
    lastDispatch_ = IoCallDriver(device_, irp);
    if (lastDispatch_ == STATUS_PENDING)
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    reply.Status = uint32_t(status.Status);
    output.resize(std::min<size_t>(status.Information, output.size()));
    reply.Output = std::move(output);
    return reply;
}

} // namespace sim
