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

// ---- processes, work items and logon sessions ---------------------------------

namespace {

VOID NTAPI EndAtOnce(PVOID)
{
    PsTerminateSystemThread(STATUS_SUCCESS);
}

HANDLE CreateThreadWith(ULONG attributes)
{
    OBJECT_ATTRIBUTES object;
    InitializeObjectAttributes(&object, nullptr, attributes, nullptr, nullptr);
    HANDLE handle = nullptr;
    PsCreateSystemThread(&handle, 0, &object, nullptr, nullptr, EndAtOnce, nullptr);
    return handle;
}

struct WorkSeen {
    PDEVICE_OBJECT Device = nullptr;
    PVOID Context = nullptr;
    bool SystemProcess = false;
    KIRQL Irql = HIGH_LEVEL;
    PKTHREAD Thread = nullptr;
    KEVENT Done;
};

VOID NTAPI NoteWork(PDEVICE_OBJECT device, PVOID context)
{
    auto* seen = static_cast<WorkSeen*>(context);
    seen->Device = device;
    seen->Context = context;
    seen->SystemProcess = hosted::InSystemProcess();
    seen->Irql = KeGetCurrentIrql();
    seen->Thread = KeGetCurrentThread();
    KeSetEvent(&seen->Done, IO_NO_INCREMENT, FALSE);
}

NTSTATUS NTAPI SucceedOpen(PDEVICE_OBJECT, PIRP irp)
{
    irp->IoStatus.Status = STATUS_SUCCESS;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}

} // namespace

// "Drivers for Microsoft Windows 2000 [...] must only call PsCreateSystemThread
// from the system process context" (PsCreateSystemThread, Microsoft's docs).
TEST(HostedProcesses, AThreadStartedInAProgramsProcessIsAVerifierFailure)
{
    EXPECT_EXIT(
        {
            hosted::Kernel kernel;
            hosted::ProgramContext program;
            CreateThreadWith(OBJ_KERNEL_HANDLE);
        },
        ::testing::ExitedWithCode(3), "verifier: thread: .*program's process.*Windows 2000");
}

// "On Windows XP and later versions of Windows, if the caller is not running
// in the system process context, it must set the OBJ_KERNEL_HANDLE attribute"
// (PsCreateSystemThread, Microsoft's docs).
TEST(HostedProcesses, AThreadStartedInAProgramsProcessWithoutAKernelHandleIsAVerifierFailure)
{
    EXPECT_EXIT(
        {
            hosted::Kernel kernel;
            hosted::ProgramContext program;
            CreateThreadWith(0);
        },
        ::testing::ExitedWithCode(3), "verifier: thread: .*without OBJ_KERNEL_HANDLE");
}

TEST(HostedProcesses, ThreadHandlesAreReferencedAsThreads)
{
    hosted::Kernel kernel;
    EXPECT_TRUE(hosted::InSystemProcess()) << "the thread that made the kernel: driver entry's";
    HANDLE handle = CreateThreadWith(OBJ_KERNEL_HANDLE);
    PVOID thread = nullptr;
    EXPECT_EQ(ObReferenceObjectByHandle(handle, THREAD_ALL_ACCESS, *PsThreadType, KernelMode,
                                        &thread, nullptr),
              STATUS_SUCCESS);
    PVOID other = nullptr;
    POBJECT_TYPE notAThread = reinterpret_cast<POBJECT_TYPE>(&other);
    EXPECT_EQ(ObReferenceObjectByHandle(handle, THREAD_ALL_ACCESS, notAThread, KernelMode, &other,
                                        nullptr),
              STATUS_OBJECT_TYPE_MISMATCH);
    ZwClose(handle);
    KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, nullptr);
    ObDereferenceObject(thread);
}

// A handle without OBJ_KERNEL_HANDLE lives in its process's own table.
TEST(HostedProcesses, OnlyKernelHandlesAreValidInEveryProcess)
{
    hosted::Kernel kernel;
    HANDLE systemsOwn = CreateThreadWith(0);
    HANDLE kernelHandle = CreateThreadWith(OBJ_KERNEL_HANDLE);
    PVOID thread = nullptr;
    {
        hosted::ProgramContext program;
        EXPECT_EQ(
            ObReferenceObjectByHandle(systemsOwn, 0, *PsThreadType, KernelMode, &thread, nullptr),
            STATUS_INVALID_HANDLE);
        ASSERT_EQ(
            ObReferenceObjectByHandle(kernelHandle, 0, *PsThreadType, KernelMode, &thread, nullptr),
            STATUS_SUCCESS);
        ZwClose(kernelHandle);
    }
    ZwClose(systemsOwn);
    kernel.Settle();
    ObDereferenceObject(thread);
}

// "WorkItem and WorkItemEx routines run in a system thread context. If a
// driver dispatch routine can run in a user-mode thread context, that routine
// can call a WorkItem [...] routine to perform any operations that require a
// system thread context" (System Worker Threads, Microsoft's docs).
TEST(HostedProcesses, AWorkItemRunsOnASystemWorkerInTheSystemProcess)
{
    hosted::Kernel kernel;
    PDRIVER_OBJECT driver = kernel.CreateDriverObject("\\Driver\\Work");
    PDEVICE_OBJECT device = nullptr;
    ASSERT_EQ(IoCreateDevice(driver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device),
              STATUS_SUCCESS);
    WorkSeen seen;
    KeInitializeEvent(&seen.Done, NotificationEvent, FALSE);
    {
        hosted::ProgramContext program(hosted::Account::StandardUser);
        EXPECT_FALSE(hosted::InSystemProcess());
        PIO_WORKITEM item = IoAllocateWorkItem(device);
        ASSERT_NE(item, nullptr);
        IoQueueWorkItem(item, NoteWork, DelayedWorkQueue, &seen);
        KeWaitForSingleObject(&seen.Done, Executive, KernelMode, FALSE, nullptr);
        IoFreeWorkItem(item);
        EXPECT_FALSE(hosted::InSystemProcess());
    }
    EXPECT_TRUE(hosted::InSystemProcess());
    EXPECT_EQ(seen.Device, device);
    EXPECT_EQ(seen.Context, &seen);
    EXPECT_TRUE(seen.SystemProcess);
    EXPECT_EQ(seen.Irql, PASSIVE_LEVEL);
    EXPECT_NE(seen.Thread, KeGetCurrentThread());
    kernel.Settle();
    EXPECT_EQ(kernel.LiveThreads(), 1);
    IoDeleteDevice(device);
}

TEST(HostedProcesses, AWorkItemLeftAllocatedIsFoundAtTeardown)
{
    EXPECT_EXIT(
        {
            hosted::Kernel kernel;
            PDRIVER_OBJECT driver = kernel.CreateDriverObject("\\Driver\\Work");
            PDEVICE_OBJECT device = nullptr;
            IoCreateDevice(driver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
            IoAllocateWorkItem(device);
            IoDeleteDevice(device);
        },
        ::testing::ExitedWithCode(3), "verifier: workitem-leak");
}

// "On Windows XP and later, each logon session has its own local DosDevices
// context. System threads [...] do not run in a local DosDevices context [...]
// any MS-DOS device names that it creates are created only in the local
// DosDevices directory [...] it first searches the local \DosDevices
// directory, and then the global" (Local and Global MS-DOS Device Names).
TEST(HostedProcesses, LinksMadeInAUsersContextStayInTheirLogonSession)
{
    hosted::Kernel kernel;
    PDRIVER_OBJECT driver = kernel.CreateDriverObject("\\Driver\\Links");
    driver->MajorFunction[IRP_MJ_CREATE] = SucceedOpen;
    driver->MajorFunction[IRP_MJ_CLEANUP] = SucceedOpen;
    driver->MajorFunction[IRP_MJ_CLOSE] = SucceedOpen;
    UNICODE_STRING deviceName = Name(u"\\Device\\Linked");
    PDEVICE_OBJECT device = nullptr;
    ASSERT_EQ(IoCreateDevice(driver, 0, &deviceName, FILE_DEVICE_UNKNOWN, 0, FALSE, &device),
              STATUS_SUCCESS);
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    UNICODE_STRING local = Name(u"\\DosDevices\\Mine");
    UNICODE_STRING global = Name(u"\\DosDevices\\Global\\Everyone");
    {
        hosted::ProgramContext program(hosted::Account::Administrator);
        EXPECT_EQ(IoCreateSymbolicLink(&local, &deviceName), STATUS_SUCCESS);
        EXPECT_EQ(IoCreateSymbolicLink(&global, &deviceName), STATUS_SUCCESS);
    }
    EXPECT_EQ(kernel.SymbolicLinks(),
              (std::vector<std::u16string>{u"\\DOSDEVICES\\EVERYONE",
                                           u"\\SESSIONS\\1\\DOSDEVICES\\MINE"}));

    hosted::Opener admin, standard;
    standard.User = hosted::Account::StandardUser;
    PFILE_OBJECT file = nullptr;
    EXPECT_EQ(hosted::OpenHandleByName(u"\\??\\Mine", &file, admin), STATUS_SUCCESS);
    hosted::CloseHandle(file);
    EXPECT_EQ(hosted::OpenHandleByName(u"\\??\\Mine", &file, standard),
              STATUS_OBJECT_NAME_NOT_FOUND)
        << "another logon session does not see it";
    EXPECT_EQ(hosted::OpenHandleByName(u"\\??\\Everyone", &file, standard), STATUS_SUCCESS);
    hosted::CloseHandle(file);

    // A system thread reaches only the global directory.
    EXPECT_EQ(IoDeleteSymbolicLink(&local), STATUS_OBJECT_NAME_NOT_FOUND);
    UNICODE_STRING everyone = Name(u"\\DosDevices\\Everyone");
    EXPECT_EQ(IoDeleteSymbolicLink(&everyone), STATUS_SUCCESS);
    {
        hosted::ProgramContext program(hosted::Account::Administrator);
        EXPECT_EQ(IoDeleteSymbolicLink(&local), STATUS_SUCCESS);
    }
    EXPECT_TRUE(kernel.SymbolicLinks().empty());
    IoDeleteDevice(device);
}
