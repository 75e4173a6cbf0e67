// Devices that expose the companion interface: a dynamic touch device per
// arrival, torn down at the interface's removal.
#include "serial/serial.h"

#include "control/control.h"
#include "pipeline/pipeline.h"

namespace {

constexpr ULONG TouchDeviceType = 0x8000;

bool SameGuid(const GUID& a, const GUID& b)
{
    return RtlCompareMemory(&a, &b, sizeof(GUID)) == sizeof(GUID);
}

// Keeps the registration NotificationEntry held so that it can still be
// ended; when all places are taken the oldest one ends now.
void KeepEarlierRegistration(DeviceExtension* control)
{
    if (!control->NotificationEntry)
        return;
    constexpr ULONG places = sizeof control->EarlierNotificationEntries / sizeof(PVOID);
    PVOID* earlier = control->EarlierNotificationEntries;
    if (earlier[places - 1])
        IoUnregisterPlugPlayNotification(earlier[places - 1]);
    for (ULONG i = places - 1; i > 0; --i)
        earlier[i] = earlier[i - 1];
    earlier[0] = control->NotificationEntry;
    control->NotificationEntry = nullptr;
}

void CopyLinkToPortPath(DeviceExtension* device, PCUNICODE_STRING linkName)
{
    UNICODE_STRING& path = device->PortPath;
    path.Length = 0;
    path.MaximumLength = linkName->MaximumLength;
    path.Buffer = path.MaximumLength ? static_cast<PWSTR>(ExAllocatePoolWithTag(
                                           PagedPool, path.MaximumLength, DriverPoolTag))
                                     : nullptr;
    if (!path.Buffer) {
        path.MaximumLength = 0;
        return;
    }
    RtlZeroMemory(path.Buffer, path.MaximumLength);
    RtlAppendUnicodeStringToString(&path, linkName);
}

// Serial ports already present need no call: the configured devices open
// theirs when the class driver connects.
void RegisterPortArrivals(PDEVICE_OBJECT controlDevice)
{
    DeviceExtension* control = ExtensionOf(controlDevice);
    if (control->PortArrivalEntry)
        return;
    IoRegisterPlugPlayNotification(EventCategoryDeviceInterfaceChange, 0,
                                   const_cast<GUID*>(&ComPortInterfaceClass),
                                   controlDevice->DriverObject, PortArrivalCallback, controlDevice,
                                   &control->PortArrivalEntry);
}

void Unregister(PVOID* entry)
{
    if (*entry)
        IoUnregisterPlugPlayNotification(*entry);
    *entry = nullptr;
}

} // namespace

NTSTATUS RegisterInterfaceNotification(PDEVICE_OBJECT controlDevice)
{
    DeviceExtension* control = ExtensionOf(controlDevice);
    RegisterPortArrivals(controlDevice);
    KeepEarlierRegistration(control);
    return IoRegisterPlugPlayNotification(
        EventCategoryDeviceInterfaceChange, PNPNOTIFY_DEVICE_INTERFACE_INCLUDE_EXISTING_INTERFACES,
        const_cast<GUID*>(&CompanionInterfaceClass), controlDevice->DriverObject,
        InterfaceChangeCallback, controlDevice, &control->NotificationEntry);
}

void UnregisterInterfaceNotifications(DeviceExtension* control)
{
    Unregister(&control->NotificationEntry);
    Unregister(&control->PortArrivalEntry);
    for (PVOID& entry : control->EarlierNotificationEntries)
        Unregister(&entry);
}

// PASSIVE_LEVEL, in the platform's delivery. The context is the control
// device, which outlives every registration made on it (a removal only
// retires it); a call that comes after the registration ended finds it
// retired, or finds nothing that calls for work.
NTSTATUS NTAPI InterfaceChangeCallback(PVOID notificationStructure, PVOID context)
{
    auto* notification = static_cast<PDEVICE_INTERFACE_CHANGE_NOTIFICATION>(notificationStructure);
    auto* controlDevice = static_cast<PDEVICE_OBJECT>(context);
    DeviceExtension* control = ExtensionOf(controlDevice);
    MutexGuard hold(&control->ListMutex);
    if (control->ControlRemoved)
        return STATUS_SUCCESS;
    if (SameGuid(notification->Event, GUID_DEVICE_INTERFACE_ARRIVAL))
        return InterfaceArrival(controlDevice, notification->SymbolicLinkName);
    if (SameGuid(notification->Event, GUID_DEVICE_INTERFACE_REMOVAL))
        InterfaceRemoval(controlDevice, notification->SymbolicLinkName);
    return STATUS_SUCCESS;
}

// PASSIVE_LEVEL, in the platform's delivery; the context as above. Which
// port arrived does not matter: every device still waiting tries its own,
// and only the one whose name now resolves opens.
NTSTATUS NTAPI PortArrivalCallback(PVOID notificationStructure, PVOID context)
{
    auto* notification = static_cast<PDEVICE_INTERFACE_CHANGE_NOTIFICATION>(notificationStructure);
    if (!SameGuid(notification->Event, GUID_DEVICE_INTERFACE_ARRIVAL))
        return STATUS_SUCCESS;
    DeviceExtension* control = ExtensionOf(static_cast<PDEVICE_OBJECT>(context));
    MutexGuard hold(&control->ListMutex);
    if (!control->ControlRemoved)
        OpenAwaitedPorts(control);
    return STATUS_SUCCESS;
}

// Only devices the class connection has linked: the others open theirs when
// the class driver connects.
void OpenAwaitedPorts(DeviceExtension* control)
{
    for (ListNode* node = control->PortList; node; node = node->Next) {
        DeviceExtension* device = ExtensionOf(node->Device);
        if (device->ServiceTarget && device->AwaitingPort && !device->PortOpen)
            OpenPort(node->Device);
    }
}

namespace {

bool ListHolds(const ListNode* head, PDEVICE_OBJECT device)
{
    for (; head; head = head->Next)
        if (head->Device == device)
            return true;
    return false;
}

} // namespace

bool IsListedDevice(DeviceExtension* control, PDEVICE_OBJECT device)
{
    return ListHolds(control->PortList, device) || ListHolds(control->DynamicList, device);
}

// The new device is listed and started under ListMutex, like every other
// list change: a removal request for it waits until it is whole.
NTSTATUS InterfaceArrival(PDEVICE_OBJECT controlDevice, PCUNICODE_STRING linkName)
{
    MutexGuard hold(&ExtensionOf(controlDevice)->ListMutex);
    PDEVICE_OBJECT own;
    NTSTATUS status = IoCreateDevice(controlDevice->DriverObject, sizeof(DeviceExtension), nullptr,
                                     TouchDeviceType, 0, TRUE, &own);
    if (!NT_SUCCESS(status))
        return status;
    own->Flags |= DO_BUFFERED_IO;
    InitializeTouchRecord(own);
    DeviceExtension* device = ExtensionOf(own);
    device->Settings.ModeStatus |= ModeStatusDynamic;
    device->Self = own;
    SetPortNameFromLink(own, linkName);
    CopyLinkToPortPath(device, linkName);
    if (ListAndStartDynamicDevice(controlDevice, own) && device->WriteIrp)
        StartParameterRead(device);
    return STATUS_SUCCESS;
}

NTSTATUS InterfaceRemoval(PDEVICE_OBJECT controlDevice, PCUNICODE_STRING linkName)
{
    DeviceExtension* control = ExtensionOf(controlDevice);
    MutexGuard hold(&control->ListMutex);
    for (ListNode* node = control->DynamicList; node; node = node->Next) {
        DeviceExtension* device = ExtensionOf(node->Device);
        if (!device || RtlCompareUnicodeString(&device->PortPath, linkName, FALSE) != 0)
            continue;
        PDEVICE_OBJECT own = node->Device;
        // Unlinked first, so the list never names a device being torn down.
        UnlinkDynamicListDevice(controlDevice, own);
        DestroyTouchDevice(own);
        break;
    }
    return STATUS_SUCCESS;
}
