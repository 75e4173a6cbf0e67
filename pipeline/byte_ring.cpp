// The ByteRing: the read completion's only work is to copy the received
// bytes here and queue the ParseDpc.
#include "pipeline/pipeline.h"

// DISPATCH_LEVEL, with the touch device's Lock held by the read completion.
void AppendReceivedBytes(DeviceExtension* device, ULONG count)
{
    if (device->RingCapacity == 0 || !IsTouchDevice(device) || count == 0)
        return;
    if (count > ReadSize)
        count = ReadSize;
    ULONG stored = 0;
    // Bytes that do not fit are dropped; the ring is never overwritten.
    while (stored < count && device->RingCount < device->RingCapacity) {
        device->RingBuffer[device->RingTail] = device->ReadBuffer[stored++];
        device->RingCount++;
        device->RingTail = (device->RingTail + 1) % device->RingCapacity;
    }
    if (stored != 0)
        KeInsertQueueDpc(&device->ParseDpc, nullptr, nullptr);
}
