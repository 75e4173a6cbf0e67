// The driver in the hosted kernel, as tests and benchmarks drive it: a
// control device, touch devices fed the way read completions feed them, and a
// mouse class driver stand-in collecting the records it is handed.
#pragma once

#include "config/device_record.h"
#include "platform/hosted/hosted.h"
#include "sim/serial_port.h"

#include <memory>
#include <string>
#include <vector>

namespace sim {

// Teaches the verifier the driver's lock order: the control device's Lock
// before any other device's Lock.
void InstallDriverLockOrder(hosted::Kernel& kernel);

// Encodes a controller TouchReport for raw X, Y (0..16383).
std::vector<UCHAR> TouchReportBytes(ULONG x, ULONG y, bool touching);
// Encodes a controller answer carrying word `index` of its parameter memory.
std::vector<UCHAR> ParameterResponseBytes(UCHAR index, USHORT word);

class PipelineRig {
public:
    // Creates the control device (published as the driver-wide pointer) and a
    // connected, enabled class driver stand-in.
    explicit PipelineRig(hosted::Kernel& kernel, bool lockOrder = true);
    // Tears every device down; the kernel's leak check sees nothing left.
    ~PipelineRig();
    PipelineRig(const PipelineRig&) = delete;
    PipelineRig& operator=(const PipelineRig&) = delete;

    PDRIVER_OBJECT Driver() const { return driver_; }
    PDEVICE_OBJECT Control() const { return control_; }
    DeviceExtension& ControlExt() const { return *ExtensionOf(control_); }

    // Makes the touch port devices the registry configures, as driver entry
    // does: unlinked and not started.
    NTSTATUS LoadConfiguredDevices();

    // A touch device initialised as the driver does, linked to the control
    // device unless `link` is false.
    PDEVICE_OBJECT AddTouchDevice(bool link = true);

    // A serial port at \DosDevices\NAME with an emulated controller.
    SerialPort& AddSerialPort(const std::string& name);
    // A touch device whose PortPath is `portPath` (for example
    // "\DosDevices\COM1"); `dynamic` marks it as created on an interface
    // arrival, so it watches its port for removal.
    PDEVICE_OBJECT AddPortDevice(const std::string& portPath, bool dynamic = false);

    // Bytes arriving as read completions deliver them: at most 5 per read,
    // appended under the device's Lock; the ParseDpc then runs.
    void Receive(PDEVICE_OBJECT touch, const std::vector<UCHAR>& bytes, ULONG perRead = 5);
    void Touch(PDEVICE_OBJECT touch, ULONG x, ULONG y, bool touching = true);

    // The class service takes at most this many records per call (-1: all).
    void SetClassTakeLimit(int limit) { takeLimit_ = limit; }
    void SetClassEnabled(bool enabled);
    std::vector<MOUSE_INPUT_DATA> TakeRecords();
    const std::vector<ULONG>& OfferedRunSizes() const { return offeredRuns_; }
    void ClearOfferedRuns() { offeredRuns_.clear(); }

private:
    static VOID NTAPI ClassService(PDEVICE_OBJECT classDevice, PMOUSE_INPUT_DATA start,
                                   PMOUSE_INPUT_DATA end, PULONG consumed);

    hosted::Kernel& kernel_;
    PDRIVER_OBJECT driver_;
    PDEVICE_OBJECT control_ = nullptr;
    PDEVICE_OBJECT classDevice_ = nullptr;
    std::vector<PDEVICE_OBJECT> touches_;
    PDRIVER_OBJECT serialDriver_ = nullptr;
    std::vector<std::unique_ptr<SerialPort>> ports_;
    std::vector<MOUSE_INPUT_DATA> records_;
    std::vector<ULONG> offeredRuns_;
    int takeLimit_ = -1;
};

} // namespace sim
