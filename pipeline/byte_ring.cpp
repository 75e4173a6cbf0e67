// The ByteRing: the read completion's only work is to copy the received
// bytes here and queue the ParseDpc.
#include "pipeline/pipeline.h"

namespace {

// Stores the first `count` bytes of ReadBuffer; the caller made sure they
// fit. At most two runs: up to the end of the ring, then from its start.
void CopyIntoRing(DeviceExtension* device, ULONG count)
{
    PUCHAR ring = device->RingBuffer;
    const ULONG capacity = device->RingCapacity;
    const ULONG tail = device->RingTail;
    const ULONG toEnd = capacity - tail;
    const ULONG firstRun = count < toEnd ? count : toEnd;
    for (ULONG i = 0; i < firstRun; ++i)
        ring[tail + i] = device->ReadBuffer[i];
    for (ULONG i = firstRun; i < count; ++i)
        ring[i - firstRun] = device->ReadBuffer[i];
    device->RingTail = AdvanceRingIndex(tail, count, capacity);
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
