// System threads of a touch device, and small helpers the serial link shares.
#include "serial/serial.h"

namespace {

// A kernel handle: never one in the table of whatever process is current,
// where that process could use or close it.
PVOID CreateThreadHere(PKSTART_ROUTINE routine, DeviceExtension* device)
{
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, nullptr, OBJ_KERNEL_HANDLE, nullptr, nullptr);
    HANDLE handle = nullptr;
    if (!NT_SUCCESS(
            PsCreateSystemThread(&handle, 0, &attributes, nullptr, nullptr, routine, device)))
        return nullptr;
    PVOID object = nullptr;
    NTSTATUS status = ObReferenceObjectByHandle(handle, THREAD_ALL_ACCESS, ThreadObjectType(),
                                                KernelMode, &object, nullptr);
    ZwClose(handle);
    return NT_SUCCESS(status) ? object : nullptr;
}

struct ThreadCreation {
    PKSTART_ROUTINE Routine;
    DeviceExtension* Device;
    PVOID Thread;
    KEVENT Done;
};

// A system worker thread, PASSIVE_LEVEL, in the system process.
VOID NTAPI CreateThreadOnSystemWorker(PDEVICE_OBJECT deviceObject, PVOID context)
{
    UNREFERENCED_PARAMETER(deviceObject);
    auto* creation = static_cast<ThreadCreation*>(context);
    creation->Thread = CreateThreadHere(creation->Routine, creation->Device);
    KeSetEvent(&creation->Done, IO_NO_INCREMENT, FALSE);
}

} // namespace

// Windows 2000 starts system threads only from the system process. The
// control requests already run there; any other caller that runs in a
// program's process (a mouse attributes query the class driver passes down
// from a program) has a system worker start the thread, and waits for it.
PVOID CreateDeviceThread(PKSTART_ROUTINE routine, DeviceExtension* device)
{
    if (IoGetCurrentProcess() == PsInitialSystemProcess)
        return CreateThreadHere(routine, device);
    ThreadCreation creation;
    creation.Routine = routine;
    creation.Device = device;
    creation.Thread = nullptr;
    KeInitializeEvent(&creation.Done, NotificationEvent, FALSE);
    if (!RunOnSystemWorker(device->Self, CreateThreadOnSystemWorker, &creation, &creation.Done))
        return nullptr;
    return creation.Thread;
}

bool RunOnSystemWorker(PDEVICE_OBJECT device, PIO_WORKITEM_ROUTINE routine, PVOID context,
                       PKEVENT done)
{
    PIO_WORKITEM item = IoAllocateWorkItem(device);
    if (!item)
        return false;
    IoQueueWorkItem(item, routine, DelayedWorkQueue, context);
    // A kernel-mode wait keeps the caller's stack, and the context on it,
    // resident.
    KeWaitForSingleObject(done, Executive, KernelMode, FALSE, nullptr);
    IoFreeWorkItem(item);
    return true;
}

bool LaunchDeviceThread(PKSTART_ROUTINE routine, DeviceExtension* device, PVOID* threadObject,
                        PVOID* runningMarker, PKEVENT started)
{
    ReleaseEndedThread(device, threadObject, runningMarker);
    KeClearEvent(started);
    PVOID thread = CreateDeviceThread(routine, device);
    SetThreadMarker(device, runningMarker, thread);
    if (!thread)
        return false;
    *threadObject = thread;
    KeSetEvent(started, IO_NO_INCREMENT, FALSE);
    return true;
}

// A thread clears its own marker while others poll it: both sides go
// through the device's Lock.
bool ThreadRecorded(DeviceExtension* device, PVOID const* runningMarker)
{
    SpinLockGuard lock(&device->Lock);
    return *runningMarker != nullptr;
}

void SetThreadMarker(DeviceExtension* device, PVOID* runningMarker, PVOID value)
{
    SpinLockGuard lock(&device->Lock);
    *runningMarker = value;
}

void SetStopping(DeviceExtension* device, UCHAR stopping)
{
    SpinLockGuard lock(&device->Lock);
    device->Stopping = stopping;
}

bool IsStopping(DeviceExtension* device)
{
    SpinLockGuard lock(&device->Lock);
    return device->Stopping != 0;
}

bool ParametersAreLoaded(DeviceExtension* device)
{
    SpinLockGuard lock(&device->Lock);
    return device->ParametersLoaded != 0;
}

bool ThreadGone(PVOID threadObject)
{
    if (!threadObject)
        return true;
    LARGE_INTEGER now;
    now.QuadPart = 0;
    return KeWaitForSingleObject(threadObject, Executive, KernelMode, FALSE, &now) ==
           STATUS_SUCCESS;
}

void EnterDeviceThread(DeviceExtension* device, PKEVENT started, PIRP* request)
{
    if (!IsTouchDevice(device))
        EndDeviceThread();
    // Run only once the starter has recorded this thread.
    KeWaitForSingleObject(started, Executive, KernelMode, FALSE, nullptr);
    RaiseToReaderPriority();
    if (KeGetCurrentIrql() > PASSIVE_LEVEL || !*request)
        EndDeviceThread();
}

void EndDeviceThread()
{
    PsTerminateSystemThread(STATUS_SUCCESS);
    __builtin_unreachable(); // the platform's declaration does not say it never returns
}

// GCC 12 takes the x86_64 KeGetCurrentThread's read through the gs segment
// for an out-of-bounds array access.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Warray-bounds"
void RaiseToReaderPriority()
{
    KeSetPriorityThread(KeGetCurrentThread(), LOW_REALTIME_PRIORITY);
}
#pragma GCC diagnostic pop

void ReleaseEndedThread(DeviceExtension* device, PVOID* threadObject, PVOID const* runningMarker)
{
    if (!*threadObject || ThreadRecorded(device, runningMarker))
        return;
    // The marker is cleared shortly before the thread leaves: wait for that.
    KeWaitForSingleObject(*threadObject, Executive, KernelMode, FALSE, nullptr);
    ObDereferenceObject(*threadObject);
    *threadObject = nullptr;
}

bool IsDisconnectStatus(NTSTATUS status)
{
    return status == STATUS_DELETE_PENDING || status == STATUS_DEVICE_NOT_CONNECTED ||
           status == STATUS_CANCELLED;
}

void DelayMs(LONGLONG milliseconds)
{
    LARGE_INTEGER interval = RelativeTimeout(milliseconds);
    KeDelayExecutionThread(KernelMode, FALSE, &interval);
}
