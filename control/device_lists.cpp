// The control device's two lists of touch devices, and device handles.
#include "control/control.h"

namespace {

ListNode* AllocateNode(PDEVICE_OBJECT device)
{
    auto* node =
        static_cast<ListNode*>(ExAllocatePoolWithTag(PagedPool, sizeof(ListNode), DriverPoolTag));
    if (node) {
        RtlZeroMemory(node, sizeof *node);
        node->Device = device;
    }
    return node;
}

NTSTATUS InsertAtHead(DeviceExtension* control, ListNode** head, PDEVICE_OBJECT device)
{
    ListNode* node = AllocateNode(device);
    if (!node)
        return STATUS_UNSUCCESSFUL;
    MutexGuard hold(&control->ListMutex);
    node->Next = *head;
    if (*head)
        (*head)->Prev = node;
    *head = node;
    return STATUS_SUCCESS;
}

NTSTATUS InsertAtTail(DeviceExtension* control, ListNode** head, PDEVICE_OBJECT device)
{
    ListNode* node = AllocateNode(device);
    if (!node)
        return STATUS_UNSUCCESSFUL;
    MutexGuard hold(&control->ListMutex);
    ListNode** link = head;
    while (*link) {
        node->Prev = *link;
        link = &(*link)->Next;
    }
    *link = node;
    return STATUS_SUCCESS;
}

} // namespace

// Devices made from the registry keep the order of their keys, Device0 at
// the head, which is the order renumbering wrote them in: the list, and
// with it every position a script names, is the same after a restart.
NTSTATUS AppendPortListDevice(PDEVICE_OBJECT controlDevice, PDEVICE_OBJECT device)
{
    DeviceExtension* control = ExtensionOf(controlDevice);
    return InsertAtTail(control, &control->PortList, device);
}

NTSTATUS InsertPortListDevice(PDEVICE_OBJECT controlDevice, PDEVICE_OBJECT device)
{
    DeviceExtension* control = ExtensionOf(controlDevice);
    return InsertAtHead(control, &control->PortList, device);
}

NTSTATUS InsertDynamicListDevice(PDEVICE_OBJECT controlDevice, PDEVICE_OBJECT device)
{
    DeviceExtension* control = ExtensionOf(controlDevice);
    return InsertAtHead(control, &control->DynamicList, device);
}

void UnlinkNode(ListNode** head, ListNode* node)
{
    if (node->Prev)
        node->Prev->Next = node->Next;
    if (node->Next)
        node->Next->Prev = node->Prev;
    if (*head == node)
        *head = node->Next;
    ExFreePool(node);
}

NTSTATUS UnlinkDynamicListDevice(PDEVICE_OBJECT controlDevice, PDEVICE_OBJECT device)
{
    DeviceExtension* control = ExtensionOf(controlDevice);
    MutexGuard hold(&control->ListMutex);
    for (ListNode* node = control->DynamicList; node; node = node->Next) {
        if (node->Device == device) {
            UnlinkNode(&control->DynamicList, node);
            break;
        }
    }
    return STATUS_SUCCESS;
}

// Where a device object's address fits in 32 bits it is the handle. Where it
// does not, each touch device gets the next value of a counter that never
// repeats while the driver is loaded (0 is skipped), so a removed device's
// handle names nothing.
constexpr bool HandlesAreAddresses = sizeof(PVOID) == sizeof(ULONG);

void AssignDeviceHandle(DeviceExtension* control, DeviceExtension* device)
{
    if (HandlesAreAddresses)
        return;
    if (control->NextDeviceHandle == 0)
        control->NextDeviceHandle = 1;
    device->DeviceHandle = control->NextDeviceHandle++;
}

ULONG HandleOfDevice(PDEVICE_OBJECT device)
{
    if (HandlesAreAddresses)
        return ULONG(ULONG_PTR(device));
    return ExtensionOf(device)->DeviceHandle;
}

ListNode* FindListNode(ListNode* head, ULONG handle)
{
    if (handle == 0)
        return nullptr;
    for (ListNode* node = head; node; node = node->Next)
        if (HandleOfDevice(node->Device) == handle)
            return node;
    return nullptr;
}
