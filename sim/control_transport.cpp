#include "sim/control_transport.h"

#include <algorithm>

namespace sim {

BuiltRequestResult SendBuiltRequest(PDEVICE_OBJECT device, ULONG code, PVOID input,
                                    ULONG inputLength, PVOID output, ULONG outputLength,
                                    bool internal)
{
    BuiltRequestResult result{};
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    PIRP irp;
    {
        hosted::NeighbourCalls caller; // the caller's request is not the driver's call
        irp = IoBuildDeviceIoControlRequest(code, device, input, inputLength, output, outputLength,
                                            internal ? TRUE : FALSE, &done, &result.Status);
    }
    if (!irp) {
        result.Status.Status = result.Dispatch = STATUS_INSUFFICIENT_RESOURCES;
        return result;
    }
    result.Dispatch = IoCallDriver(device, irp);
    if (result.Dispatch == STATUS_PENDING)
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    else if (NT_ERROR(result.Dispatch))
        // Refused before it pended: the status block was never written.
        result.Status = IO_STATUS_BLOCK{{result.Dispatch}, 0};
    return result;
}

HostedTransport::HostedTransport(const std::string& link, hosted::Account user) : user_(user)
{
    hosted::ProgramContext program(user_);
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
    // The configuration utility is a program: its requests run in its
    // process, as its user.
    hosted::ProgramContext program(user_);
    BuiltRequestResult result =
        SendBuiltRequest(device_, code, const_cast<uint8_t*>(input.data()), ULONG(input.size()),
                         output.empty() ? nullptr : output.data(), outputLength, internal_);
    lastDispatch_ = result.Dispatch;
    const IO_STATUS_BLOCK& status = result.Status;
    reply.Status = uint32_t(status.Status);
    output.resize(std::min<size_t>(status.Information, output.size()));
    reply.Output = std::move(output);
    return reply;
}

} // namespace sim
