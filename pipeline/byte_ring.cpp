// The ByteRing: the read completion's only work is to copy the received
// bytes here and queue the ParseDpc.
#include "pipeline/pipeline.h"

namespace {

// Stores the first `count` bytes of ReadBuffer; the caller made sure they
// fit. The indices stay in locals: each byte stored could alias them.
void CopyIntoRing(DeviceExtension* device, ULONG count)
{
    PUCHAR ring = device->RingBuffer;
    const ULONG capacity = device->RingCapacity;
    ULONG tail = device->RingTail;
    for (ULONG i = 0; i < count; ++i) {
        ring[tail] = device->ReadBuffer[i];
        tail = AdvanceRingIndex(tail, 1, capacity);
    }
    device->RingTail = tail;
    device->RingCount += count;
}

} // namespace

// DISPATCH_LEVEL, with the touch device's Lock held by the read completion.
void AppendReceivedBytes(DeviceExtension* device, ULONG count)
{
    if (device->RingCapacity == 0 || !IsTouchDevice(device) || count == 0)
        return;
    if (count > ReadSize)
        count = ReadSize;
    // Bytes that do not fit are dropped; the ring is never overwritten.
    ULONG room = device->RingCapacity - device->RingCount;
    ULONG stored = count < room ? count : room;
    CopyIntoRing(device, stored);
    if (stored != 0)
        KeInsertQueueDpc(&device->ParseDpc, nullptr, nullptr);
}
