// Creating and destroying the control device and the touch devices.
#include "control/control.h"

#include "config/registry.h"
#include "pipeline/pipeline.h"
#include "serial/serial.h"

namespace {

constexpr ULONG TouchDeviceType = 0x8000;
constexpr LONGLONG StopPauseMs = 20;

#define CONTROL_DEVICE_NAME VORN_WIDE("\\Device\\VORN")
#define CONTROL_LINK_NAME VORN_WIDE("\\DosDevices\\VORN")
#define DOS_DEVICES_PREFIX VORN_WIDE("\\DosDevices\\")
#define DEVICE_SUBKEY_PREFIX VORN_WIDE("VORN2000\\Device")

// Capacities of the strings a touch device owns.
constexpr USHORT DeviceNameCapacity = 256;
constexpr USHORT LinkNameCapacity = 512;
constexpr USHORT RegistrySubkeyCapacity = 64;
constexpr USHORT ConfiguredPortCapacity = 64;
// The path holds "\DosDevices\" before the longest name the registry keeps.
constexpr USHORT ConfiguredPortPathCapacity = sizeof(DOS_DEVICES_PREFIX) + ConfiguredPortCapacity;
constexpr USHORT RequestedPortCapacity = 512;
constexpr USHORT DynamicPortPathCapacity = 256;
constexpr USHORT NameWorkCapacity = 512;
constexpr USHORT EntryNumberCapacity = 32;
constexpr USHORT RequestNumberCapacity = 256;

// A zero-filled buffer of `capacity` bytes; a string whose buffer cannot be
// allocated stays empty, with no buffer.
void AllocateString(PUNICODE_STRING string, USHORT capacity, POOL_TYPE pool)
{
    string->Length = 0;
    string->Buffer = static_cast<PWSTR>(ExAllocatePoolWithTag(pool, capacity, DriverPoolTag));
    string->MaximumLength = string->Buffer ? capacity : 0;
    if (string->Buffer)
        RtlZeroMemory(string->Buffer, capacity);
}

void FreeString(PUNICODE_STRING string)
{
    if (string->Buffer)
        ExFreePool(string->Buffer);
    string->Buffer = nullptr;
    string->Length = 0;
    string->MaximumLength = 0;
}

// Work strings of a creation; all or none are allocated.
struct WorkNames {
    UNICODE_STRING Number;
    UNICODE_STRING Link;
    UNICODE_STRING Device;
};

bool AllocateWorkNames(WorkNames* names, USHORT numberCapacity)
{
    AllocateString(&names->Number, numberCapacity, PagedPool);
    AllocateString(&names->Link, NameWorkCapacity, PagedPool);
    AllocateString(&names->Device, NameWorkCapacity, PagedPool);
    if (names->Number.Buffer && names->Link.Buffer && names->Device.Buffer)
        return true;
    FreeString(&names->Number);
    FreeString(&names->Link);
    FreeString(&names->Device);
    return false;
}

void FreeWorkNames(WorkNames* names)
{
    FreeString(&names->Number);
    FreeString(&names->Link);
    FreeString(&names->Device);
}

// Device name = devicePrefix + n, link name = linkPrefix + n.
void ComposeNames(WorkNames* names, PCWSTR devicePrefix, PCWSTR linkPrefix, ULONG number)
{
    ClearString(&names->Number);
    ClearString(&names->Link);
    ClearString(&names->Device);
    AppendText(&names->Device, devicePrefix);
    AppendText(&names->Link, linkPrefix);
    AppendNumber(&names->Number, number);
    RtlAppendUnicodeStringToString(&names->Device, &names->Number);
    RtlAppendUnicodeStringToString(&names->Link, &names->Number);
}

// A string of the record: a fresh buffer holding `prefix` (if any) and `text`.
void SetRecordString(PUNICODE_STRING string, USHORT capacity, POOL_TYPE pool, PCWSTR prefix,
                     PCUNICODE_STRING text)
{
    AllocateString(string, capacity, pool);
    if (!string->Buffer)
        return;
    if (prefix && !AppendText(string, prefix))
        return;
    if (text && !NT_SUCCESS(RtlAppendUnicodeStringToString(string, text)))
        ClearString(string);
}

NTSTATUS CreateTouchDeviceObject(PDRIVER_OBJECT driver, PUNICODE_STRING name,
                                 PDEVICE_OBJECT* device)
{
    *device = nullptr;
    NTSTATUS status =
        IoCreateDevice(driver, sizeof(DeviceExtension), name, TouchDeviceType, 0, TRUE, device);
    if (!NT_SUCCESS(status)) {
        *device = nullptr;
        return status;
    }
    (*device)->Flags |= DO_BUFFERED_IO;
    InitializeTouchRecord(*device);
    ExtensionOf(*device)->Self = *device;
    return STATUS_SUCCESS;
}

// The I/O manager readies only the devices made during driver entry; one
// made later cannot be opened until its creator clears the flag.
void ReadyForOpens(PDEVICE_OBJECT device)
{
    device->Flags &= ~DO_DEVICE_INITIALIZING;
}

// A device no list holds can never be reached by a request or a teardown:
// it is destroyed at once rather than left running.
bool KeepListedDevice(NTSTATUS insertion, PDEVICE_OBJECT device)
{
    if (NT_SUCCESS(insertion))
        return true;
    DestroyTouchDevice(device);
    return false;
}

void DestroyListedDevices(ListNode** head)
{
    ListNode* node = *head;
    *head = nullptr;
    while (node) {
        ListNode* next = node->Next;
        DestroyTouchDevice(node->Device);
        ExFreePool(node);
        node = next;
    }
}

// The DPCs and the click timer of a record whose threads have ended and
// whose requests are back: after this none of them runs again.
void QuiesceDeferredWork(DeviceExtension* device)
{
    // A ParseDpc still running may arm the click timer; let it finish first.
    FlushDeferredProcedures();
    KeCancelTimer(&device->ClickTimer);
    KeRemoveQueueDpc(&device->ClickTimerDpc);
    KeRemoveQueueDpc(&device->ParseDpc);
    FlushDeferredProcedures();
}

void FreeTouchStrings(DeviceExtension* device)
{
    if (device->LinkName.Buffer)
        IoDeleteSymbolicLink(&device->LinkName);
    FreeString(&device->LinkName);
    FreeString(&device->PortPath);
    FreeString(&device->DeviceName);
    FreeString(&device->PortName);
    FreeString(&device->StoredPortName);
    FreeString(&device->RegistrySubkey);
    FreeString(&device->Settings.PortNameSetting);
}

// A calibration written through the driver brings its switches with it; the
// controller's memory will not replace it (see the parser).
void ApplySavedCalibrationFlags(DeviceExtension* device)
{
    if (!device->Settings.CalibrationSaved)
        return;
    device->GridEnabled = (device->Settings.CalFlags & CalFlagGridOn) ? 1 : 0;
    device->SwapXY = (device->Settings.CalFlags & CalFlagSwapXY) ? 1 : 0;
}

void DropUnusedBlocks(ConfiguredDeviceNode* from)
{
    for (; from; from = from->Next)
        if (from->Block->PortNameSetting.Buffer) {
            ExFreePool(from->Block->PortNameSetting.Buffer);
            from->Block->PortNameSetting.Buffer = nullptr;
        }
}

// One device from the block of key Device<key>.
NTSTATUS CreateConfiguredDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT controlDevice,
                                WorkNames* names, ConfiguredDeviceNode* node, ULONG key)
{
    ConfiguredDeviceBlock* block = node->Block;
    DeviceExtension* control = ExtensionOf(controlDevice);
    ULONG number = control->DeviceNumber++;
    ComposeNames(names, VORN_WIDE("\\Device\\vornPort"), VORN_WIDE("\\DosDevices\\vornCom"),
                 number);
    PDEVICE_OBJECT created;
    NTSTATUS status = CreateTouchDeviceObject(driver, &names->Device, &created);
    if (!NT_SUCCESS(status))
        return status;
    DeviceExtension* device = ExtensionOf(created);
    // The unit of its key, as the renumbering that wrote the key gave it:
    // records carry the same unit before and after a restart.
    device->UnitIndex = USHORT(key);
    // Every per-device setting comes from the block; the port name buffer
    // moves to the device with it.
    device->Settings = *block;
    ApplySavedCalibrationFlags(device);
    InvalidateCornerMaps(device);
    block->PortNameSetting.Buffer = nullptr;
    device->StoredPortName = node->StoredPortName;
    node->StoredPortName.Buffer = nullptr;

    SetRecordString(&device->LinkName, LinkNameCapacity, PagedPool, nullptr, &names->Link);
    if (device->LinkName.Buffer)
        IoCreateSymbolicLink(&device->LinkName, &names->Device);
    SetRecordString(&device->DeviceName, DeviceNameCapacity, NonPagedPool, nullptr, &names->Device);
    PCUNICODE_STRING port = &device->Settings.PortNameSetting;
    SetRecordString(&device->PortPath, ConfiguredPortPathCapacity, PagedPool, DOS_DEVICES_PREFIX,
                    port);
    SetRecordString(&device->PortName, ConfiguredPortCapacity, PagedPool, nullptr, port);
    SetRecordString(&device->RegistrySubkey, RegistrySubkeyCapacity, PagedPool,
                    DEVICE_SUBKEY_PREFIX, &names->Number);
    AssignDeviceHandle(control, device);
    KeepListedDevice(AppendPortListDevice(controlDevice, created), created);
    return STATUS_SUCCESS;
}

} // namespace

bool ConvertAnsiName(const CHAR* text, ULONG length, PUNICODE_STRING converted)
{
    converted->Buffer = nullptr;
    converted->Length = 0;
    converted->MaximumLength = 0;
    if (length > MaxAnsiNameLength)
        return false;
    ANSI_STRING ansi;
    ansi.Buffer = const_cast<PCHAR>(text);
    ansi.Length = USHORT(length);
    ansi.MaximumLength = USHORT(length);
    ULONG capacity = RtlAnsiStringToUnicodeSize(&ansi) + sizeof(WCHAR);
    AllocateString(converted, USHORT(capacity), PagedPool);
    if (!converted->Buffer)
        return false;
    if (NT_SUCCESS(RtlAnsiStringToUnicodeString(converted, &ansi, FALSE)))
        return true;
    FreeString(converted);
    return false;
}

void FreeConvertedName(PUNICODE_STRING converted)
{
    FreeString(converted);
}

NTSTATUS CreateControlDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT* controlDevice)
{
    if (ControlDeviceObject) {
        *controlDevice = ControlDeviceObject;
        return STATUS_SUCCESS;
    }
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, CONTROL_DEVICE_NAME);
    PDEVICE_OBJECT device = nullptr;
    NTSTATUS status =
        IoCreateDevice(driver, sizeof(DeviceExtension), &name, TouchDeviceType, 0, FALSE, &device);
    if (!NT_SUCCESS(status)) {
        *controlDevice = nullptr;
        return status;
    }
    DeviceExtension* control = ExtensionOf(device);
    control->Self = device;
    device->Flags |= DO_BUFFERED_IO;
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    ControlDeviceObject = device;
    *controlDevice = device;
    UNICODE_STRING link;
    RtlInitUnicodeString(&link, CONTROL_LINK_NAME);
    IoCreateSymbolicLink(&link, &name);
    InitializeControlRecord(device);
    ReadGlobalSettings(VORN_SERVICE_KEY, control);
    KeInitializeMutex(&control->ListMutex, 0);
    return status;
}

void SaveDriverRegistryPath(PDEVICE_OBJECT controlDevice, PCUNICODE_STRING registryPath)
{
    PUNICODE_STRING saved = &ExtensionOf(controlDevice)->DriverRegistryPath;
    if (registryPath->MaximumLength == 0)
        return;
    AllocateString(saved, registryPath->MaximumLength, PagedPool);
    if (saved->Buffer)
        RtlAppendUnicodeStringToString(saved, registryPath);
}

NTSTATUS CreateConfiguredTouchPortDevices(PDRIVER_OBJECT driver, PDEVICE_OBJECT controlDevice,
                                          PCUNICODE_STRING registryPath)
{
    ConfiguredDeviceNode* blocks = EnumerateConfiguredDevices(registryPath);
    WorkNames names;
    if (!AllocateWorkNames(&names, EntryNumberCapacity)) {
        DropUnusedBlocks(blocks);
        FreeConfiguredDevices(blocks);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    NTSTATUS status = STATUS_SUCCESS;
    ULONG key = 0;
    for (ConfiguredDeviceNode* node = blocks; node; node = node->Next, ++key) {
        status = CreateConfiguredDevice(driver, controlDevice, &names, node, key);
        if (!NT_SUCCESS(status))
            break;
    }
    FreeWorkNames(&names);
    DropUnusedBlocks(blocks);
    FreeConfiguredDevices(blocks);
    return status;
}

NTSTATUS DestroyTouchDevice(PDEVICE_OBJECT own)
{
    DeviceExtension* device = ExtensionOf(own);
    if (!IsTouchDevice(device))
        return STATUS_UNSUCCESSFUL;
    KeSetEvent(&device->StopEvent, IO_NO_INCREMENT, FALSE);
    DelayMs(StopPauseMs);
    // The pause alone proves nothing: wait until both threads have left, the
    // requests are back from the port and its notification is unregistered.
    ShutDownSerialLink(device);
    QuiesceDeferredWork(device);
    FreeTouchStrings(device);
    FreeTouchRecordStorage(device);
    IoDeleteDevice(own);
    return STATUS_SUCCESS;
}

NTSTATUS DestroyControlDevice(PDEVICE_OBJECT controlDevice)
{
    DeviceExtension* control = ExtensionOf(controlDevice);
    if (control->IsMousePort || !control->IsControl)
        return STATUS_UNSUCCESSFUL;
    {
        // The lists change only under ListMutex. A request on a handle that
        // outlives the device waits here, then finds it removed.
        MutexGuard hold(&control->ListMutex);
        // Retired first: everything that serves input goes; then what a
        // retired device keeps.
        RetireControlDevice(controlDevice);
        UNICODE_STRING link;
        RtlInitUnicodeString(&link, CONTROL_LINK_NAME);
        IoDeleteSymbolicLink(&link);
        FreeString(&control->DriverRegistryPath);
        if (control->QueueBuffer)
            FreeControlRecordStorage(control);
        if (ControlDeviceObject == controlDevice)
            ControlDeviceObject = nullptr;
    }
    // Released before: without open handles the mutex goes with the device.
    IoDeleteDevice(controlDevice);
    return STATUS_SUCCESS;
}

// The control device outlives its mouse-port device: a late notification
// may still name it (an unregistration does not wait for a call already
// under way), and the next AddDevice brings its devices back. Everything
// that serves input goes; the device, its link, its settings, the copy of
// the registry path and the queue's storage stay.
void RetireControlDevice(PDEVICE_OBJECT controlDevice)
{
    DeviceExtension* control = ExtensionOf(controlDevice);
    MutexGuard hold(&control->ListMutex);
    control->ControlRemoved = 1;
    UnregisterInterfaceNotifications(control);
    DestroyListedDevices(&control->PortList);
    // The dynamic devices deliver into this device: they go with it.
    DestroyListedDevices(&control->DynamicList);
    // A waiting event request would otherwise never complete.
    CompletePendingButtonEvent(control, STATUS_CANCELLED);
    {
        // The class driver connects afresh to the next mouse-port device.
        SpinLockGuard lock(&control->Lock);
        control->ClassService = nullptr;
        control->ClassDevice = nullptr;
        control->ClassEnabled = 0;
        control->QueueHead = control->QueueTail = control->QueueCount = 0;
    }
    KeRemoveQueueDpc(&control->DeliveryDpc);
    FlushDeferredProcedures();
}

// A new mouse-port device after a removal: the settings and the configured
// devices are read again, as at driver entry.
void ReviveControlDevice(PDRIVER_OBJECT driver)
{
    if (!ControlDeviceObject)
        return;
    DeviceExtension* control = ExtensionOf(ControlDeviceObject);
    MutexGuard hold(&control->ListMutex);
    if (!control->ControlRemoved)
        return;
    ReadGlobalSettings(VORN_SERVICE_KEY, control);
    if (control->DriverRegistryPath.Buffer)
        CreateConfiguredTouchPortDevices(driver, ControlDeviceObject, &control->DriverRegistryPath);
    control->ControlRemoved = 0;
}

NTSTATUS CreateTouchPortDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT controlDevice,
                               const CHAR* portName, ULONG portNameLength, PDEVICE_OBJECT* created)
{
    *created = nullptr;
    DeviceExtension* control = ExtensionOf(controlDevice);
    WorkNames names;
    if (!AllocateWorkNames(&names, RequestNumberCapacity))
        return STATUS_INSUFFICIENT_RESOURCES;
    ComposeNames(&names, VORN_WIDE("\\Device\\"), DOS_DEVICES_PREFIX, control->DeviceNumber);
    PDEVICE_OBJECT own;
    NTSTATUS status = CreateTouchDeviceObject(driver, &names.Device, &own);
    if (!NT_SUCCESS(status)) {
        FreeWorkNames(&names);
        return status;
    }
    DeviceExtension* device = ExtensionOf(own);
    device->DeviceNumber = control->DeviceNumber++;
    SetRecordString(&device->LinkName, LinkNameCapacity, PagedPool, nullptr, &names.Link);
    if (device->LinkName.Buffer)
        IoCreateSymbolicLink(&device->LinkName, &names.Device);
    UNICODE_STRING port;
    // Without a name there is no path either: both strings stay empty.
    bool converted = ConvertAnsiName(portName, portNameLength, &port);
    SetRecordString(&device->PortPath, RequestedPortCapacity, PagedPool,
                    converted ? DOS_DEVICES_PREFIX : nullptr, converted ? &port : nullptr);
    SetRecordString(&device->PortName, RequestedPortCapacity, PagedPool, nullptr,
                    converted ? &port : nullptr);
    FreeConvertedName(&port);
    SetRecordString(&device->DeviceName, DeviceNameCapacity, NonPagedPool, nullptr, &names.Device);
    SetRecordString(&device->RegistrySubkey, RegistrySubkeyCapacity, PagedPool,
                    DEVICE_SUBKEY_PREFIX, &names.Number);
    FreeWorkNames(&names);
    AssignDeviceHandle(control, device);
    ReadyForOpens(own);
    if (!KeepListedDevice(InsertPortListDevice(controlDevice, own), own))
        return STATUS_SUCCESS;
    LinkTouchDevice(own, controlDevice);
    *created = own;
    return STATUS_SUCCESS;
}

// The reader opens the port; once it has the write request, the parameter
// read starts.
void StartTouchPortDevice(PDEVICE_OBJECT own)
{
    DeviceExtension* device = ExtensionOf(own);
    StartReader(device);
    if (device->WriteIrp)
        StartParameterRead(device);
}

NTSTATUS CreateDynamicTouchDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT controlDevice,
                                  PCWSTR portPath, PDEVICE_OBJECT* created)
{
    *created = nullptr;
    PDEVICE_OBJECT own;
    NTSTATUS status = CreateTouchDeviceObject(driver, nullptr, &own);
    if (!NT_SUCCESS(status))
        return status;
    DeviceExtension* device = ExtensionOf(own);
    device->Settings.ModeStatus |= ModeStatusDynamic;
    AllocateString(&device->PortPath, DynamicPortPathCapacity, PagedPool);
    if (device->PortPath.Buffer)
        AppendText(&device->PortPath, portPath);
    if (ListAndStartDynamicDevice(controlDevice, own))
        *created = own;
    return STATUS_SUCCESS;
}

bool ListAndStartDynamicDevice(PDEVICE_OBJECT controlDevice, PDEVICE_OBJECT own)
{
    DeviceExtension* device = ExtensionOf(own);
    AssignDeviceHandle(ExtensionOf(controlDevice), device);
    ReadyForOpens(own);
    if (!KeepListedDevice(InsertDynamicListDevice(controlDevice, own), own))
        return false;
    LinkTouchDevice(own, controlDevice);
    StartReader(device);
    return true;
}

void SetPortNameFromLink(PDEVICE_OBJECT own, PCUNICODE_STRING linkName)
{
    PUNICODE_STRING portName = &ExtensionOf(own)->PortName;
    USHORT capacity = linkName->MaximumLength;
    portName->Length = 0;
    portName->MaximumLength = 0;
    portName->Buffer =
        static_cast<PWSTR>(ExAllocatePoolWithTag(PagedPool, 2 * ULONG(capacity), DriverPoolTag));
    if (!portName->Buffer)
        return;
    RtlZeroMemory(portName->Buffer, 2 * ULONG(capacity));
    portName->MaximumLength = capacity;
    // The link is "\??\" followed by the port's own name. Its text ends at
    // its length: the capacity beyond may hold the terminating zero, which is
    // no part of a name.
    constexpr USHORT PrefixBytes = 8;
    USHORT text = linkName->Length < capacity ? linkName->Length : capacity;
    if (text <= PrefixBytes || !linkName->Buffer)
        return;
    USHORT characters = USHORT((text - PrefixBytes) / sizeof(WCHAR));
    RtlCopyMemory(portName->Buffer, linkName->Buffer + PrefixBytes / sizeof(WCHAR),
                  characters * sizeof(WCHAR));
    portName->Length = USHORT(characters * sizeof(WCHAR));
}

// Unlinked first, so the list never names a device being torn down.
void RemoveListedDevice(ListNode** head, ListNode* node)
{
    PDEVICE_OBJECT device = node->Device;
    UnlinkNode(head, node);
    DestroyTouchDevice(device);
}

NTSTATUS RemoveTouchPortDevice(PDEVICE_OBJECT controlDevice, ULONG handle)
{
    DeviceExtension* control = ExtensionOf(controlDevice);
    MutexGuard hold(&control->ListMutex);
    ListNode* node = FindListNode(control->PortList, handle);
    if (!node)
        return STATUS_UNSUCCESSFUL;
    DeleteDeviceKeys(control);
    RemoveListedDevice(&control->PortList, node);
    RenumberPortDevices(control);
    return STATUS_SUCCESS;
}

NTSTATUS RemoveDynamicTouchDevice(PDEVICE_OBJECT controlDevice, ULONG handle)
{
    DeviceExtension* control = ExtensionOf(controlDevice);
    MutexGuard hold(&control->ListMutex);
    ListNode* node = FindListNode(control->DynamicList, handle);
    if (!node)
        return STATUS_UNSUCCESSFUL;
    RemoveListedDevice(&control->DynamicList, node);
    return STATUS_SUCCESS;
}
