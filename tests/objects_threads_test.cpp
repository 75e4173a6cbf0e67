// Hosted object manager, system threads and target-device notifications,
// with the verifier rules for what is left at teardown.
#include "platform/hosted/hosted.h"

#include <gtest/gtest.h>

#include <string>

namespace {

UNICODE_STRING Name(const char16_t* text)
{
    UNICODE_STRING s;
    RtlInitUnicodeString(&s, text);
    return s;
}

struct Waited {
    KEVENT First, Second;
    NTSTATUS Result = -1;
};

VOID NTAPI WaitForEither(PVOID context)
{
    auto* w = static_cast<Waited*>(context);
    PVOID objects[2] = {&w->First, &w->Second};
    w->Result = KeWaitForMultipleObjects(2, objects, WaitAny, Executive, KernelMode, FALSE, nullptr,
                                         nullptr);
    PsTerminateSystemThread(STATUS_SUCCESS);
}

PVOID StartThread(PKSTART_ROUTINE routine, PVOID context)
{
    HANDLE handle;
    EXPECT_EQ(PsCreateSystemThread(&handle, 0, nullptr, nullptr, nullptr, routine, context),
              STATUS_SUCCESS);
    PVOID thread;
    EXPECT_EQ(
        ObReferenceObjectByHandle(handle, THREAD_ALL_ACCESS, nullptr, KernelMode, &thread, nullptr),
        STATUS_SUCCESS);
    ZwClose(handle);
    return thread;
}

TEST(HostedThreads, WaitAnyReturnsTheIndexAndAPulseStillReleasesTheWaiter)
{
    hosted::Kernel kernel;
    Waited w;
    KeInitializeEvent(&w.First, NotificationEvent, FALSE);
    KeInitializeEvent(&w.Second, NotificationEvent, FALSE);
    PVOID thread = StartThread(WaitForEither, &w);
    kernel.Settle(); // the thread is waiting
    EXPECT_EQ(kernel.LiveThreads(), 2);
    // Set and reset before the waiter runs: the wait was satisfied at the set.
    KeSetEvent(&w.Second, IO_NO_INCREMENT, FALSE);
    KeClearEvent(&w.Second);
    KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, nullptr);
    EXPECT_EQ(w.Result, STATUS_WAIT_1);
    ObDereferenceObject(thread);
    EXPECT_EQ(kernel.LiveThreads(), 1);
}

struct Sleeper {
    LONGLONG WokeAt = 0;
};

VOID NTAPI SleepThenEnd(PVOID context)
{
    LARGE_INTEGER interval;
    interval.QuadPart = -250 * hosted::TicksPerMs;
    KeDelayExecutionThread(KernelMode, FALSE, &interval);
    static_cast<Sleeper*>(context)->WokeAt = hosted::Kernel::Current().Now();
}

TEST(HostedThreads, TimeMovesOnlyWhenEveryThreadIsBlocked)
{
    hosted::Kernel kernel;
    Sleeper s;
    PVOID thread = StartThread(SleepThenEnd, &s);
    kernel.Settle();
    EXPECT_EQ(kernel.Now(), 0); // this thread ran on: no time passed
    kernel.SleepMs(1000);
    EXPECT_EQ(s.WokeAt, 250 * hosted::TicksPerMs);
    EXPECT_EQ(kernel.Now(), 1000 * hosted::TicksPerMs);
    ObDereferenceObject(thread);
}

NTSTATUS NTAPI CompleteAtOnce(PDEVICE_OBJECT, PIRP irp)
{
    irp->IoStatus.Status = STATUS_SUCCESS;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}

// A driver that serves opens and closes: without that, no open succeeds.
PDRIVER_OBJECT OpenableDriver(hosted::Kernel& kernel, const char* name)
{
    PDRIVER_OBJECT driver = kernel.CreateDriverObject(name);
    for (UCHAR major : {IRP_MJ_CREATE, IRP_MJ_CLEANUP, IRP_MJ_CLOSE})
        driver->MajorFunction[major] = CompleteAtOnce;
    return driver;
}

TEST(HostedObjects, NamesLinksAndReferences)
{
    hosted::Kernel kernel;
    PDRIVER_OBJECT driver = OpenableDriver(kernel, "\\Driver\\Serial");
    UNICODE_STRING deviceName = Name(u"\\Device\\Serial0");
    UNICODE_STRING link = Name(u"\\DosDevices\\COM1");
    PDEVICE_OBJECT device;
    ASSERT_EQ(IoCreateDevice(driver, 8, &deviceName, FILE_DEVICE_SERIAL_PORT, 0, FALSE, &device),
              STATUS_SUCCESS);
    PDEVICE_OBJECT again;
    EXPECT_EQ(IoCreateDevice(driver, 8, &deviceName, FILE_DEVICE_SERIAL_PORT, 0, FALSE, &again),
              STATUS_OBJECT_NAME_COLLISION);
    ASSERT_EQ(IoCreateSymbolicLink(&link, &deviceName), STATUS_SUCCESS);
    device->Flags &= ~DO_DEVICE_INITIALIZING;

    UNICODE_STRING lower = Name(u"\\dosdevices\\com1"); // names ignore case
    PFILE_OBJECT file;
    PDEVICE_OBJECT found;
    ASSERT_EQ(IoGetDeviceObjectPointer(&lower, FILE_ALL_ACCESS, &file, &found), STATUS_SUCCESS);
    EXPECT_EQ(found, device);
    EXPECT_EQ(file->DeviceObject, device);
    ObReferenceObjectByPointer(device, FILE_ALL_ACCESS, nullptr, KernelMode);

    EXPECT_EQ(IoDeleteSymbolicLink(&link), STATUS_SUCCESS);
    EXPECT_EQ(IoGetDeviceObjectPointer(&link, FILE_ALL_ACCESS, &file, &found),
              STATUS_OBJECT_NAME_NOT_FOUND);
    // Deleted while referenced: the object stays until the last reference goes.
    IoDeleteDevice(device);
    EXPECT_EQ(kernel.DeviceOfExtension(device->DeviceExtension), device);
    ObDereferenceObject(file);
    ObDereferenceObject(device);
    UNICODE_STRING gone = Name(u"\\Device\\Serial0");
    EXPECT_EQ(IoGetDeviceObjectPointer(&gone, FILE_ALL_ACCESS, &file, &found),
              STATUS_OBJECT_NAME_NOT_FOUND);
}

PDEVICE_OBJECT MadeInEntry = nullptr;

NTSTATUS NTAPI EntryMakingADevice(PDRIVER_OBJECT driver, PUNICODE_STRING)
{
    UNICODE_STRING name = Name(u"\\Device\\Early");
    return IoCreateDevice(driver, 0, &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &MadeInEntry);
}

TEST(HostedObjects, OnlyDevicesMadeDuringDriverEntryAreReadyWithoutTheirDriver)
{
    hosted::Kernel kernel;
    PDRIVER_OBJECT driver = OpenableDriver(kernel, "\\Driver\\X");
    UNICODE_STRING path = Name(u"\\Registry\\Machine\\X");
    ASSERT_EQ(hosted::LoadDriver(driver, EntryMakingADevice, &path), STATUS_SUCCESS);
    EXPECT_EQ(MadeInEntry->Flags & DO_DEVICE_INITIALIZING, 0u);
    UNICODE_STRING lateName = Name(u"\\Device\\Late");
    PDEVICE_OBJECT late;
    ASSERT_EQ(IoCreateDevice(driver, 0, &lateName, FILE_DEVICE_UNKNOWN, 0, FALSE, &late),
              STATUS_SUCCESS);
    EXPECT_NE(late->Flags & DO_DEVICE_INITIALIZING, 0u);

    PFILE_OBJECT file = nullptr;
    PDEVICE_OBJECT found = nullptr;
    EXPECT_EQ(IoGetDeviceObjectPointer(&lateName, FILE_ALL_ACCESS, &file, &found),
              STATUS_NO_SUCH_DEVICE);
    late->Flags &= ~DO_DEVICE_INITIALIZING;
    ASSERT_EQ(IoGetDeviceObjectPointer(&lateName, FILE_ALL_ACCESS, &file, &found), STATUS_SUCCESS);
    EXPECT_EQ(found, late);
    ObDereferenceObject(file);
    IoDeleteDevice(late);
    IoDeleteDevice(MadeInEntry);
}

struct Watch {
    PVOID Entry = nullptr;
    std::vector<ULONG> Events; // Data1 of each event heard
};

NTSTATUS NTAPI HearAndLeave(PVOID structure, PVOID context)
{
    auto* notification = static_cast<PTARGET_DEVICE_REMOVAL_NOTIFICATION>(structure);
    auto* watch = static_cast<Watch*>(context);
    watch->Events.push_back(notification->Event.Data1);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    if (watch->Entry) { // a callback may end its own registration
        IoUnregisterPlugPlayNotification(watch->Entry);
        watch->Entry = nullptr;
    }
    return STATUS_SUCCESS;
}

TEST(HostedObjects, TargetDeviceCallbackMayEndItsOwnRegistration)
{
    hosted::Kernel kernel;
    PDRIVER_OBJECT driver = OpenableDriver(kernel, "\\Driver\\Serial");
    UNICODE_STRING deviceName = Name(u"\\Device\\Serial0");
    PDEVICE_OBJECT device;
    IoCreateDevice(driver, 0, &deviceName, FILE_DEVICE_SERIAL_PORT, 0, FALSE, &device);
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    PFILE_OBJECT file;
    PDEVICE_OBJECT top;
    IoGetDeviceObjectPointer(&deviceName, FILE_ALL_ACCESS, &file, &top);
    Watch watch;
    ASSERT_EQ(IoRegisterPlugPlayNotification(EventCategoryTargetDeviceChange, 1, file, driver,
                                             HearAndLeave, &watch, &watch.Entry),
              STATUS_SUCCESS);
    hosted::NotifyTargetDeviceChange(device, GUID_TARGET_DEVICE_QUERY_REMOVE);
    hosted::NotifyTargetDeviceChange(device, GUID_TARGET_DEVICE_REMOVE_COMPLETE);
    EXPECT_EQ(watch.Events, (std::vector<ULONG>{GUID_TARGET_DEVICE_QUERY_REMOVE.Data1}));
    ObDereferenceObject(file);
    IoDeleteDevice(device);
}

VOID NTAPI WaitForever(PVOID context)
{
    KeWaitForSingleObject(context, Executive, KernelMode, FALSE, nullptr);
    PsTerminateSystemThread(STATUS_SUCCESS);
}

TEST(TeardownVerifier, ThreadLeftRunningFails)
{
    EXPECT_EXIT(
        {
            hosted::Kernel kernel;
            static KEVENT never;
            KeInitializeEvent(&never, NotificationEvent, FALSE);
            ObDereferenceObject(StartThread(WaitForever, &never));
            kernel.Settle();
        },
        ::testing::ExitedWithCode(3), "verifier: thread-leak: 1 system thread");
}

TEST(TeardownVerifier, ReferenceLeftFails)
{
    EXPECT_EXIT(
        {
            hosted::Kernel kernel;
            PDRIVER_OBJECT driver = kernel.CreateDriverObject("\\Driver\\X");
            PDEVICE_OBJECT device;
            IoCreateDevice(driver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
            ObReferenceObjectByPointer(device, FILE_ALL_ACCESS, nullptr, KernelMode);
        },
        ::testing::ExitedWithCode(3), "verifier: reference-leak: device object .* 2 reference");
}

TEST(TeardownVerifier, RegistrationLeftFails)
{
    EXPECT_EXIT(
        {
            hosted::Kernel kernel;
            PDRIVER_OBJECT driver = OpenableDriver(kernel, "\\Driver\\X");
            UNICODE_STRING name = Name(u"\\Device\\X");
            PDEVICE_OBJECT device;
            IoCreateDevice(driver, 0, &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
            device->Flags &= ~DO_DEVICE_INITIALIZING;
            PFILE_OBJECT file;
            PDEVICE_OBJECT top;
            IoGetDeviceObjectPointer(&name, FILE_ALL_ACCESS, &file, &top);
            Watch watch;
            PVOID entry;
            IoRegisterPlugPlayNotification(EventCategoryTargetDeviceChange, 1, file, driver,
                                           HearAndLeave, &watch, &entry);
        },
        ::testing::ExitedWithCode(3), "verifier: notification-leak");
}

} // namespace
