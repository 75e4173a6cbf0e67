// Driver entry, its dispatch table, and the create and close routines every
// device of the driver shares.
#include "driver/driver.h"

#include "control/control.h"
#include "pipeline/pipeline.h"

namespace {

constexpr LONG CreateLockLine = 37;
constexpr LONG CloseLockLine = 93;

} // namespace

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath)
{
    PDEVICE_OBJECT control = nullptr;
    CreateControlDevice(driver, &control);
    if (control) {
        SaveDriverRegistryPath(control, registryPath);
        CreateConfiguredTouchPortDevices(driver, control, registryPath);
    }
    driver->MajorFunction[IRP_MJ_CREATE] = CreateDispatch;
    driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = DeviceControlDispatch;
    driver->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = DeviceControlDispatch;
    driver->MajorFunction[IRP_MJ_CLOSE] = CloseDispatch;
    driver->MajorFunction[IRP_MJ_PNP] = PnpDispatch;
    driver->MajorFunction[IRP_MJ_POWER] = PowerDispatch;
    driver->DriverExtension->AddDevice = AddDevice;
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI CreateDispatch(PDEVICE_OBJECT deviceObject, PIRP irp)
{
    DeviceExtension* record = ExtensionOf(deviceObject);
    if (record->IsMousePort) {
        NTSTATUS status = IoAcquireRemoveLockEx(&record->RemoveLock, irp, "classentry",
                                                CreateLockLine, sizeof(IO_REMOVE_LOCK));
        if (NT_SUCCESS(status)) {
            InterlockedIncrement(&record->OpenCount);
            IoReleaseRemoveLockEx(&record->RemoveLock, irp, sizeof(IO_REMOVE_LOCK));
        }
        return CompleteRequest(irp, status);
    }
    // A refused open never counts: no close follows it.
    NTSTATUS access = CheckOpenAccess(irp);
    if (!NT_SUCCESS(access))
        return CompleteRequest(irp, access);
    if (InterlockedIncrement(&record->OpenCount) == 1) {
        SpinLockGuard lock(&record->Lock);
        record->EventIrp = nullptr;
        record->NotifyMask = 0;
    }
    return CompleteRequest(irp, STATUS_SUCCESS);
}

NTSTATUS NTAPI CloseDispatch(PDEVICE_OBJECT deviceObject, PIRP irp)
{
    DeviceExtension* record = ExtensionOf(deviceObject);
    if (record->IsMousePort) {
        NTSTATUS status = IoAcquireRemoveLockEx(&record->RemoveLock, irp, "classentry",
                                                CloseLockLine, sizeof(IO_REMOVE_LOCK));
        if (!NT_SUCCESS(status))
            return CompleteRequest(irp, status);
        bool last = InterlockedDecrement(&record->OpenCount) == 0;
        IoReleaseRemoveLockEx(&record->RemoveLock, irp, sizeof(IO_REMOVE_LOCK));
        if (!last)
            return CompleteRequest(irp, STATUS_SUCCESS);
        IoSkipCurrentIrpStackLocation(irp);
        return IoCallDriver(record->LowerDevice, irp);
    }
    if (InterlockedDecrement(&record->OpenCount) == 0)
        CompletePendingButtonEvent(record, STATUS_SUCCESS);
    return CompleteRequest(irp, STATUS_SUCCESS);
}
