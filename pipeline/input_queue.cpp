// The link from touch devices to the control device, the 128-record input
// queue they all share, and its delivery to the mouse class driver.
#include "pipeline/pipeline.h"

NTSTATUS LinkTouchDevice(PDEVICE_OBJECT touch, PDEVICE_OBJECT control)
{
    DeviceExtension* device = ExtensionOf(touch);
    device->ServiceRoutine = InternalServiceCallback;
    device->ServiceTarget = control;
    return STATUS_SUCCESS;
}

// The caller holds the control device's Lock; this routine takes none.
// Records that find the queue full or without storage are dropped.
VOID NTAPI InternalServiceCallback(PDEVICE_OBJECT controlDevice, PMOUSE_INPUT_DATA first,
                                   ULONG count, PULONG consumed)
{
    *consumed = 0;
    DeviceExtension* control = ExtensionOf(controlDevice);
    if (!control->QueueBuffer || control->QueueCount == control->QueueCapacity) {
        KeInsertQueueDpc(&control->DeliveryDpc, nullptr, nullptr);
        return;
    }
    if (count == 0)
        return;
    for (ULONG i = 0; i < count; ++i) {
        control->QueueBuffer[control->QueueTail] = first[i];
        control->QueueTail = AdvanceRingIndex(control->QueueTail, 1, control->QueueCapacity);
        control->QueueCount++;
        (*consumed)++;
        if (control->QueueCount == control->QueueCapacity)
            break;
    }
    KeInsertQueueDpc(&control->DeliveryDpc, nullptr, nullptr);
}

namespace {

// Offers `count` records from QueueHead; returns how many the class took.
ULONG OfferRun(DeviceExtension* control, ULONG count)
{
    PMOUSE_INPUT_DATA start = control->QueueBuffer + control->QueueHead;
    ULONG consumed = 0;
    control->ClassService(control->ClassDevice, start, start + count, &consumed);
    if (consumed > count)
        consumed = count; // a class driver cannot take more than it was offered
    control->QueueHead = AdvanceRingIndex(control->QueueHead, consumed, control->QueueCapacity);
    control->QueueCount -= consumed;
    return consumed;
}

} // namespace

// DISPATCH_LEVEL. Takes the control device's Lock and calls the class
// service with it held. The queued records go out oldest first, in at most
// two contiguous runs; what the class does not take stays queued.
VOID NTAPI DeliverQueuedRecords(PKDPC Dpc, PVOID DeferredContext, PVOID SystemArgument1,
                                PVOID SystemArgument2)
{
    UNREFERENCED_PARAMETER(Dpc);
    UNREFERENCED_PARAMETER(SystemArgument1);
    UNREFERENCED_PARAMETER(SystemArgument2);
    auto* control = static_cast<DeviceExtension*>(DeferredContext);
    if (control->IsMousePort || !control->IsControl || control->QueueCapacity == 0)
        return;

    SpinLockGuard lock(&control->Lock);
    if (!control->ClassService || !control->ClassEnabled || control->QueueCount == 0)
        return;
    ULONG first = control->QueueCount, second = 0;
    if (control->QueueHead + control->QueueCount >= control->QueueCapacity) {
        first = control->QueueCapacity - control->QueueHead;
        second = control->QueueCount - first;
    }
    if (OfferRun(control, first) < first)
        return;
    if (second != 0)
        OfferRun(control, second);
}
