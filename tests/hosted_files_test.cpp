// The hosted I/O manager's file objects, as NT keeps them: opens that send
// IRP_MJ_CREATE down the stack, the cleanup when the last handle closes, the
// close with the last reference, handles that outlive their device, and the
// interleaving hooks tests use to place one thread's step inside another's.
#include "platform/hosted/hosted.h"
#include "sim/serial_port.h"

#include <gtest/gtest.h>

namespace {

struct FileRequests {
    std::vector<UCHAR> Majors;
    std::vector<PFILE_OBJECT> Files;
    NTSTATUS CreateAnswer = STATUS_SUCCESS;
};
FileRequests* g_requests = nullptr;

// Records each request with the file object it names, and answers it.
NTSTATUS NTAPI RecordRequest(PDEVICE_OBJECT, PIRP irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    g_requests->Majors.push_back(stack->MajorFunction);
    g_requests->Files.push_back(stack->FileObject);
    NTSTATUS status =
        stack->MajorFunction == IRP_MJ_CREATE ? g_requests->CreateAnswer : STATUS_SUCCESS;
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

class HostedFiles : public ::testing::Test {
protected:
    HostedFiles()
    {
        g_requests = &requests;
        driver = kernel.CreateDriverObject("\\Driver\\Recorder");
        for (UCHAR major : {IRP_MJ_CREATE, IRP_MJ_CLEANUP, IRP_MJ_CLOSE, IRP_MJ_DEVICE_CONTROL})
            driver->MajorFunction[major] = RecordRequest;
        RtlInitUnicodeString(&name, u"\\Device\\Recorder");
        IoCreateDevice(driver, 0, &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
        device->Flags &= ~DO_DEVICE_INITIALIZING;
    }
    ~HostedFiles() override { g_requests = nullptr; }

    NTSTATUS Control(PDEVICE_OBJECT target, PFILE_OBJECT file)
    {
        KEVENT done;
        KeInitializeEvent(&done, NotificationEvent, FALSE);
        IO_STATUS_BLOCK status{};
        PIRP irp = IoBuildDeviceIoControlRequest(0x222000, target, nullptr, 0, nullptr, 0, FALSE,
                                                 &done, &status);
        IoGetNextIrpStackLocation(irp)->FileObject = file;
        return IoCallDriver(target, irp);
    }

    hosted::Kernel kernel;
    FileRequests requests;
    PDRIVER_OBJECT driver;
    UNICODE_STRING name;
    PDEVICE_OBJECT device = nullptr;
};

using Majors = std::vector<UCHAR>;

TEST_F(HostedFiles, DeviceObjectPointerOpensCleansUpAtOnceAndClosesWithTheLastReference)
{
    PFILE_OBJECT file = nullptr;
    PDEVICE_OBJECT top = nullptr;
    ASSERT_EQ(IoGetDeviceObjectPointer(&name, FILE_ALL_ACCESS, &file, &top), STATUS_SUCCESS);
    // Its handle is closed before it returns: the cleanup comes at once.
    EXPECT_EQ(requests.Majors, (Majors{IRP_MJ_CREATE, IRP_MJ_CLEANUP}));
    EXPECT_EQ(requests.Files, (std::vector<PFILE_OBJECT>{file, file}));
    ObReferenceObjectByPointer(file, FILE_ALL_ACCESS, nullptr, KernelMode);
    ObDereferenceObject(file);
    EXPECT_EQ(requests.Majors.size(), 2u) << "not the last reference";
    ObDereferenceObject(file);
    EXPECT_EQ(requests.Majors, (Majors{IRP_MJ_CREATE, IRP_MJ_CLEANUP, IRP_MJ_CLOSE}));
    IoDeleteDevice(device);
}

TEST_F(HostedFiles, AFailedCreateFailsTheOpenAndIsNeverClosed)
{
    requests.CreateAnswer = STATUS_ACCESS_DENIED;
    PFILE_OBJECT file = nullptr;
    PDEVICE_OBJECT top = nullptr;
    EXPECT_EQ(IoGetDeviceObjectPointer(&name, FILE_ALL_ACCESS, &file, &top), STATUS_ACCESS_DENIED);
    EXPECT_EQ(requests.Majors, (Majors{IRP_MJ_CREATE}));
    PFILE_OBJECT handle = nullptr;
    EXPECT_EQ(hosted::OpenHandle(device, &handle), STATUS_ACCESS_DENIED);
    EXPECT_EQ(requests.Majors, (Majors{IRP_MJ_CREATE, IRP_MJ_CREATE}));
    IoDeleteDevice(device); // the teardown finds no file object left behind
}

TEST_F(HostedFiles, HandlesOutliveTheDeviceAndNewOpensFail)
{
    PFILE_OBJECT handle = nullptr;
    ASSERT_EQ(hosted::OpenHandle(device, &handle), STATUS_SUCCESS);
    IoDeleteDevice(device);
    // Delete-pending: still there for the handle, gone for everyone else.
    EXPECT_EQ(kernel.DeviceOfExtension(reinterpret_cast<char*>(device) + sizeof(DEVICE_OBJECT)),
              device);
    PFILE_OBJECT another = nullptr;
    EXPECT_EQ(hosted::OpenHandle(device, &another), STATUS_NO_SUCH_DEVICE);
    PFILE_OBJECT file = nullptr;
    PDEVICE_OBJECT top = nullptr;
    EXPECT_EQ(IoGetDeviceObjectPointer(&name, FILE_ALL_ACCESS, &file, &top),
              STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(Control(device, handle), STATUS_SUCCESS) << "requests on the handle still arrive";
    hosted::CloseHandle(handle);
    EXPECT_EQ(requests.Majors,
              (Majors{IRP_MJ_CREATE, IRP_MJ_DEVICE_CONTROL, IRP_MJ_CLEANUP, IRP_MJ_CLOSE}));
    EXPECT_EQ(kernel.DeviceOfExtension(reinterpret_cast<char*>(device) + sizeof(DEVICE_OBJECT)),
              nullptr)
        << "the last handle took the device with it";
}

TEST_F(HostedFiles, ADeviceStillInitialisingTakesNoHandle)
{
    device->Flags |= DO_DEVICE_INITIALIZING;
    PFILE_OBJECT handle = nullptr;
    EXPECT_EQ(hosted::OpenHandle(device, &handle), STATUS_NO_SUCH_DEVICE);
    EXPECT_TRUE(requests.Majors.empty());
    IoDeleteDevice(device);
}

NTSTATUS NTAPI SignalAndKeep(PDEVICE_OBJECT, PIRP, PVOID context)
{
    KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

TEST(HostedSerialPort, CountsOpensAndCancelsWhatItHoldsAtCleanup)
{
    hosted::Kernel kernel;
    PDRIVER_OBJECT serial = kernel.CreateDriverObject("\\Driver\\Serial");
    sim::SerialPort port(serial, "COM1", 0);
    PFILE_OBJECT handle = nullptr;
    ASSERT_EQ(hosted::OpenHandle(port.Device(), &handle), STATUS_SUCCESS);
    PFILE_OBJECT second = nullptr;
    EXPECT_EQ(hosted::OpenHandle(port.Device(), &second), STATUS_ACCESS_DENIED)
        << "a serial port is exclusive";

    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    UCHAR buffer[5];
    PIRP read = IoAllocateIrp(port.Device()->StackSize, FALSE);
    read->AssociatedIrp.SystemBuffer = buffer;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(read);
    next->MajorFunction = IRP_MJ_READ;
    next->Parameters.Read.Length = sizeof buffer;
    next->FileObject = handle;
    IoSetCompletionRoutine(read, SignalAndKeep, &done, TRUE, TRUE, TRUE);
    EXPECT_EQ(IoCallDriver(port.Device(), read), STATUS_PENDING);
    hosted::CloseHandle(handle);
    EXPECT_NE(KeReadStateEvent(&done), 0);
    EXPECT_EQ(read->IoStatus.Status, STATUS_CANCELLED);
    IoFreeIrp(read);
    EXPECT_EQ(port.Opens(), 1);
    EXPECT_EQ(port.Cleanups(), 1);
    EXPECT_EQ(port.Closes(), 1);
}

// ---- interleaving hooks -------------------------------------------------------

TEST(HostedHooks, AHookRunsBeforeTheAcquisitionUntilItIsDone)
{
    hosted::Kernel kernel;
    KSPIN_LOCK lock, other;
    KeInitializeSpinLock(&lock);
    KeInitializeSpinLock(&other);
    std::vector<KIRQL> seen;
    kernel.HookSpinLockAcquire(&lock, [&] {
        seen.push_back(KeGetCurrentIrql());
        // Taking the same lock inside the hook does not run it again.
        KIRQL old;
        KeAcquireSpinLock(&lock, &old);
        KeReleaseSpinLock(&lock, old);
        return seen.size() == 2;
    });
    KIRQL old;
    KeAcquireSpinLock(&other, &old);
    KeReleaseSpinLock(&other, old);
    EXPECT_TRUE(seen.empty()) << "only the hooked lock";
    for (int i = 0; i < 3; ++i) {
        KeAcquireSpinLock(&lock, &old);
        KeReleaseSpinLock(&lock, old);
    }
    EXPECT_EQ(seen, (std::vector<KIRQL>{PASSIVE_LEVEL, PASSIVE_LEVEL}))
        << "at the caller's level, before it raises; gone once it returned true";
}

} // namespace
