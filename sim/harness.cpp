#include "sim/harness.h"

#include "driver/driver.h"

#include "pipeline/pipeline.h"
#include "control/control.h"
#include "serial/serial.h"

#include <cstddef>

namespace sim {

void InstallDriverLockOrder(hosted::Kernel& kernel)
{
    kernel.SetLockRanker([&kernel](const void* lock, const char** name) {
        const void* record = static_cast<const char*>(lock) - offsetof(DeviceExtension, Lock);
        PDEVICE_OBJECT device = kernel.DeviceOfExtension(record);
        if (!device)
            return 0;
        if (ExtensionOf(device)->IsControl) {
            *name = "the control device's Lock";
            return 1;
        }
        *name = "a touch device's Lock";
        return 2;
    });
}

std::vector<UCHAR> TouchReportBytes(ULONG x, ULONG y, bool touching)
{
    return {UCHAR(touching ? 0x81 : 0x80), UCHAR((x >> 7) & 0x7F), UCHAR(x & 0x7F),
            UCHAR((y >> 7) & 0x7F), UCHAR(y & 0x7F)};
}

std::vector<UCHAR> ParameterResponseBytes(UCHAR index, USHORT word)
{
    return {0x0A, 0x04, 0x43, index, UCHAR(word & 0xFF), UCHAR(word >> 8)};
}

PipelineRig::PipelineRig(hosted::Kernel& kernel, bool lockOrder)
    : kernel_(kernel), driver_(kernel.CreateDriverObject("\\Driver\\VORN2000"))
{
    if (lockOrder)
        InstallDriverLockOrder(kernel);
    driver_->MajorFunction[IRP_MJ_CREATE] = CreateDispatch;
    driver_->MajorFunction[IRP_MJ_CLOSE] = CloseDispatch;
    driver_->MajorFunction[IRP_MJ_DEVICE_CONTROL] = ControlDispatch;
    driver_->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = ControlDispatch;
    CreateControlDevice(driver_, &control_);
    std::u16string path = std::u16string(hosted::Kernel::ServicesRoot()) + u"\\VORN2000";
    UNICODE_STRING registryPath;
    RtlInitUnicodeString(&registryPath, path.c_str());
    SaveDriverRegistryPath(control_, &registryPath);

    IoCreateDevice(driver_, sizeof(PipelineRig*), nullptr, FILE_DEVICE_MOUSE, 0, FALSE,
                   &classDevice_);
    *static_cast<PipelineRig**>(classDevice_->DeviceExtension) = this;
    DeviceExtension& c = ControlExt();
    c.ClassDevice = classDevice_;
    c.ClassService = ClassService;
    c.ClassEnabled = 1;
}

PipelineRig::~PipelineRig()
{
    for (PDEVICE_OBJECT touch : touches_)
        ::DestroyTouchDevice(touch);
    if (control_)
        DestroyControlDevice(control_);
    ports_.clear();
    IoDeleteDevice(classDevice_);
    kernel_.SetLockRanker(nullptr);
}

NTSTATUS PipelineRig::LoadConfiguredDevices()
{
    NTSTATUS status =
        CreateConfiguredTouchPortDevices(driver_, control_, &ControlExt().DriverRegistryPath);
    // As at the end of driver entry.
    hosted::FinishDriverEntry(driver_);
    return status;
}

SerialPort& PipelineRig::AddSerialPort(const std::string& name)
{
    if (!serialDriver_)
        serialDriver_ = kernel_.CreateDriverObject("\\Driver\\Serial");
    ports_.push_back(std::make_unique<SerialPort>(serialDriver_, name, int(ports_.size())));
    return *ports_.back();
}

PDEVICE_OBJECT PipelineRig::AddPortDevice(const std::string& portPath, bool dynamic)
{
    PDEVICE_OBJECT touch = AddTouchDevice();
    DeviceExtension* device = ExtensionOf(touch);
    USHORT bytes = USHORT(portPath.size() * sizeof(WCHAR));
    device->PortPath.Buffer =
        static_cast<PWSTR>(ExAllocatePoolWithTag(PagedPool, bytes, DriverPoolTag));
    for (size_t i = 0; i < portPath.size(); ++i)
        device->PortPath.Buffer[i] = WCHAR(portPath[i]);
    device->PortPath.Length = device->PortPath.MaximumLength = bytes;
    if (dynamic) {
        // Listed like every dynamic device: a removal notification acts
        // only on a device it finds in a list. The list's teardown ends it.
        device->Settings.ModeStatus |= ModeStatusDynamic;
        touches_.pop_back();
        InsertDynamicListDevice(control_, touch);
    }
    return touch;
}

PDEVICE_OBJECT PipelineRig::AddTouchDevice(bool link)
{
    PDEVICE_OBJECT touch;
    IoCreateDevice(driver_, sizeof(DeviceExtension), nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE,
                   &touch);
    InitializeTouchRecord(touch);
    ExtensionOf(touch)->UnitIndex = USHORT(touches_.size());
    if (link)
        LinkTouchDevice(touch, control_);
    touches_.push_back(touch);
    return touch;
}

void PipelineRig::Receive(PDEVICE_OBJECT touch, const std::vector<UCHAR>& bytes, ULONG perRead)
{
    DeviceExtension* device = ExtensionOf(touch);
    for (size_t at = 0; at < bytes.size(); at += perRead) {
        ULONG count = ULONG(std::min<size_t>(perRead, bytes.size() - at));
        KIRQL old;
        KeAcquireSpinLock(&device->Lock, &old);
        RtlCopyMemory(device->ReadBuffer, bytes.data() + at, count);
        AppendReceivedBytes(device, count);
        KeReleaseSpinLock(&device->Lock, old); // the ParseDpc runs here
    }
}

void PipelineRig::Touch(PDEVICE_OBJECT touch, ULONG x, ULONG y, bool touching)
{
    Receive(touch, TouchReportBytes(x, y, touching));
}

void PipelineRig::SetClassEnabled(bool enabled)
{
    DeviceExtension& c = ControlExt();
    KIRQL old;
    KeAcquireSpinLock(&c.Lock, &old);
    c.ClassEnabled = enabled ? 1 : 0;
    KeReleaseSpinLock(&c.Lock, old);
}

std::vector<MOUSE_INPUT_DATA> PipelineRig::TakeRecords()
{
    std::vector<MOUSE_INPUT_DATA> taken;
    taken.swap(records_);
    return taken;
}

VOID NTAPI PipelineRig::ClassService(PDEVICE_OBJECT classDevice, PMOUSE_INPUT_DATA start,
                                     PMOUSE_INPUT_DATA end, PULONG consumed)
{
    PipelineRig* rig = *static_cast<PipelineRig**>(classDevice->DeviceExtension);
    ULONG offered = ULONG(end - start);
    rig->offeredRuns_.push_back(offered);
    ULONG take = rig->takeLimit_ < 0 ? offered : std::min<ULONG>(offered, ULONG(rig->takeLimit_));
    rig->records_.insert(rig->records_.end(), start, start + take);
    *consumed = take;
}

} // namespace sim
