// Control requests with any code, lengths, contents and handles (live,
// removed, the control device's own, made up) through ControlDispatch as the
// hosted I/O manager delivers them. The system buffer is exactly as large as
// the caller's, so AddressSanitizer sees any access outside it; the bytes
// past the caller's input are filled with a pattern of this run, so an answer
// whose Information covers bytes the driver never wrote shows that pattern.
#include "control/control.h"
#include "control/request_codes.h"
#include "fuzz/fuzz_input.h"
#include "sim/control_transport.h"
#include "sim/harness.h"

#include <random>

namespace {

constexpr ULONG MaxLength = 600;

ULONG PickCode(fuzz::Input& in)
{
    switch (in.Pick(4)) {
    case 0:
        return in.Take<ULONG>(); // anything at all
    case 1:
        return ControlRequestCode(0x100 + in.Pick(0x50)) | in.Pick(4); // any transfer method
    default:
        return ControlRequestCode(0x100 + in.Pick(0x50));
    }
}

ULONG PickHandle(fuzz::Input& in, const std::vector<ULONG>& seen, PDEVICE_OBJECT control)
{
    switch (in.Pick(4)) {
    case 0:
        return in.Take<ULONG>();
    case 1:
        return HandleOfDevice(control);
    default:
        return seen.empty() ? 0 : seen[in.Pick(ULONG(seen.size()))];
    }
}

// Four bytes in a row as the fill left them: the answer reports bytes nobody wrote.
bool ShowsFill(const std::vector<UCHAR>& output, const std::vector<UCHAR>& fill, size_t from,
               size_t to)
{
    size_t run = 0;
    for (size_t i = from; i < to; ++i) {
        run = output[i] == fill[i] ? run + 1 : 0;
        if (run == 4)
            return true;
    }
    return false;
}

void SendOne(fuzz::Input& in, PDEVICE_OBJECT target, std::vector<ULONG>& seen,
             PDEVICE_OBJECT control, std::mt19937& random)
{
    ULONG code = PickCode(in);
    // The event wait pends until a touch comes; the fuzzer has no finger.
    if (code == IoctlWaitButtonEvent)
        return;
    ULONG inputLength = in.Pick(MaxLength);
    ULONG outputLength = in.Pick(MaxLength);
    std::vector<UCHAR> input = in.Bytes(inputLength);
    input.resize(inputLength);
    if (inputLength >= 4 && in.Flag()) {
        ULONG handle = PickHandle(in, seen, control);
        std::memcpy(input.data(), &handle, 4);
    }
    std::vector<UCHAR> output(outputLength, 0xEE);
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IO_STATUS_BLOCK status{};
    PIRP irp = IoBuildDeviceIoControlRequest(code, target, inputLength ? input.data() : nullptr,
                                             inputLength, outputLength ? output.data() : nullptr,
                                             outputLength, FALSE, &done, &status);
    FUZZ_CHECK(irp != nullptr);
    ULONG systemLength = std::max(inputLength, outputLength);
    std::vector<UCHAR> fill(systemLength);
    for (UCHAR& b : fill)
        b = UCHAR(random());
    if (irp->AssociatedIrp.SystemBuffer && systemLength > inputLength)
        std::memcpy(static_cast<UCHAR*>(irp->AssociatedIrp.SystemBuffer) + inputLength,
                    fill.data() + inputLength, systemLength - inputLength);
    status.Status = STATUS_PENDING; // stays unless the request completes into it
    NTSTATUS dispatch = IoCallDriver(target, irp);
    if (dispatch == STATUS_PENDING)
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    else if (NT_ERROR(dispatch)) {
        // Refused before it pended: nothing was written to the status block.
        FUZZ_CHECK(status.Status == STATUS_PENDING && !KeReadStateEvent(&done));
        status = IO_STATUS_BLOCK{{dispatch}, 0};
    } else
        FUZZ_CHECK(dispatch == status.Status);
    FUZZ_CHECK(status.Information <= outputLength);
    if ((code & 3) == METHOD_BUFFERED && NT_SUCCESS(status.Status)) {
        FUZZ_CHECK(!ShowsFill(output, fill, inputLength, status.Information));
        for (size_t i = status.Information; i < outputLength; ++i)
            FUZZ_CHECK(output[i] == 0xEE);
    }
    if (NT_SUCCESS(status.Status) && status.Information >= 4) {
        ULONG handle;
        std::memcpy(&handle, output.data(), 4);
        seen.push_back(handle);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    fuzz::CrashOnVerifierFailure();
    fuzz::Input in(data, size);
    hosted::Kernel kernel;
    {
        sim::PipelineRig rig(kernel);
        rig.AddSerialPort("COM1");
        sim::HostedTransport transport;
        vorn::ControlClient client(transport);
        std::mt19937 random(in.Take<uint32_t>());
        std::vector<ULONG> seen;
        for (int round = 0; round < 64 && in.Left() > 0; ++round) {
            switch (in.Pick(8)) {
            case 0:
                seen.push_back(client.CreatePortDevice(in.Flag() ? "COM1" : "COM9").Value);
                break;
            case 1:
                seen.push_back(client.CreateDynamicDevice(u"\\DosDevices\\COM1").Value);
                break;
            case 2: {
                // A request to a touch device rather than the control device.
                PDEVICE_OBJECT touch = nullptr;
                for (ListNode* n = rig.ControlExt().PortList; n && !touch; n = n->Next)
                    touch = n->Device;
                SendOne(in, touch ? touch : rig.Control(), seen, rig.Control(), random);
                break;
            }
            default:
                SendOne(in, rig.Control(), seen, rig.Control(), random);
                break;
            }
        }
        kernel.Settle();
    }
    return 0;
}
