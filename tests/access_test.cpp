// Who may open the driver's devices, opened the way programs and drivers open
// them: by name through the hosted I/O manager, with the caller's token.
// Administrators and LocalSystem get in; a standard user gets
// STATUS_ACCESS_DENIED from the control device and every touch device with a
// link; kernel-mode opens and the mouse-port device are not the driver's to
// refuse.
#include "config/device_record.h"
#include "control/control.h"
#include "sim/control_transport.h"
#include "sim/system.h"

#include <gtest/gtest.h>

namespace {

using hosted::Account;

class AccessTest : public ::testing::Test {
protected:
    // Loaded and started, with a configured touch device on COM1
    // (\DosDevices\vornCom0).
    AccessTest()
    {
        kernel.RegistrySetString(u"VORN2000\\Device0", u"COMM", u"COM1");
        system.AddPort("COM1");
        system.Load();
        system.AddDevice();
        system.Pnp(IRP_MN_START_DEVICE);
    }

    NTSTATUS OpenAs(const std::u16string& name, Account user, ACCESS_MASK desired,
                    KPROCESSOR_MODE mode = UserMode)
    {
        hosted::Opener opener;
        opener.User = user;
        opener.DesiredAccess = desired;
        opener.Mode = mode;
        opener.ForceAccessCheck = mode == KernelMode;
        PFILE_OBJECT file = nullptr;
        NTSTATUS status = hosted::OpenHandleByName(name, &file, opener);
        if (NT_SUCCESS(status))
            hosted::CloseHandle(file);
        return status;
    }

    NTSTATUS OpenAs(const std::u16string& name, Account user)
    {
        return OpenAs(name, user, GENERIC_READ | GENERIC_WRITE);
    }

    PDEVICE_OBJECT PortDevice() { return ControlRecord()->PortList->Device; }

    hosted::Kernel kernel;
    sim::System system{kernel};
};

TEST_F(AccessTest, TheControlDeviceAdmitsAdministratorsAndSystemOnly)
{
    EXPECT_EQ(OpenAs(u"\\??\\VORN", Account::StandardUser), STATUS_ACCESS_DENIED);
    EXPECT_EQ(OpenAs(u"\\??\\VORN", Account::Administrator), STATUS_SUCCESS);
    EXPECT_EQ(OpenAs(u"\\??\\VORN", Account::LocalSystem), STATUS_SUCCESS);
    // The device's own name is checked as much as its link.
    EXPECT_EQ(OpenAs(u"\\Device\\VORN", Account::StandardUser), STATUS_ACCESS_DENIED);
}

TEST_F(AccessTest, EveryTouchDeviceWithALinkAdmitsAdministratorsAndSystemOnly)
{
    EXPECT_EQ(OpenAs(u"\\??\\vornCom0", Account::StandardUser), STATUS_ACCESS_DENIED);
    EXPECT_EQ(OpenAs(u"\\??\\vornCom0", Account::Administrator), STATUS_SUCCESS);
    EXPECT_EQ(OpenAs(u"\\??\\vornCom0", Account::LocalSystem), STATUS_SUCCESS);

    // One made by request: \Device\1 with the link \DosDevices\1.
    system.AddPort("COM2");
    sim::HostedTransport utility;
    vorn::Reply created = utility.Call(0x8000041C, {'C', 'O', 'M', '2', 0}, 4);
    ASSERT_EQ(created.Status, 0u);
    ASSERT_EQ(created.Output.size(), 4u);
    EXPECT_EQ(OpenAs(u"\\??\\1", Account::StandardUser), STATUS_ACCESS_DENIED);
    EXPECT_EQ(OpenAs(u"\\??\\1", Account::Administrator), STATUS_SUCCESS);
}

TEST_F(AccessTest, ARefusedOpenLeavesTheDeviceAsItWas)
{
    DeviceExtension* device = ExtensionOf(PortDevice());
    LONG opens = device->OpenCount;
    device->NotifyMask = 0x20000000; // cleared only by a first open
    EXPECT_EQ(OpenAs(u"\\??\\vornCom0", Account::StandardUser), STATUS_ACCESS_DENIED);
    EXPECT_EQ(device->OpenCount, opens);
    EXPECT_EQ(device->NotifyMask, 0x20000000u);
    LONG controlOpens = ControlRecord()->OpenCount;
    EXPECT_EQ(OpenAs(u"\\??\\VORN", Account::StandardUser), STATUS_ACCESS_DENIED);
    EXPECT_EQ(ControlRecord()->OpenCount, controlOpens);
}

// A handle with no access could still send every control request, whose
// codes are FILE_ANY_ACCESS.
TEST_F(AccessTest, AskingForNoAccessDoesNotGetAStandardUserIn)
{
    EXPECT_EQ(OpenAs(u"\\??\\VORN", Account::StandardUser, 0), STATUS_ACCESS_DENIED);
    EXPECT_EQ(OpenAs(u"\\??\\vornCom0", Account::StandardUser, 0), STATUS_ACCESS_DENIED);
    EXPECT_EQ(OpenAs(u"\\??\\VORN", Account::Administrator, 0), STATUS_SUCCESS);
    EXPECT_EQ(OpenAs(u"\\??\\VORN", Account::StandardUser, MAXIMUM_ALLOWED), STATUS_ACCESS_DENIED);
    EXPECT_EQ(OpenAs(u"\\??\\VORN", Account::Administrator, MAXIMUM_ALLOWED), STATUS_SUCCESS);
}

TEST_F(AccessTest, KernelModeOpensAreTrustedUnlessTheyAskForTheCallersCheck)
{
    // What the configuration transport, like any driver, does: a kernel-mode
    // open with IoGetDeviceObjectPointer.
    sim::HostedTransport utility;
    ASSERT_TRUE(utility.IsOpen());
    EXPECT_EQ(utility.Call(0x80000414, {}, 4).Status, 0u);
    EXPECT_EQ(OpenAs(u"\\??\\VORN", Account::StandardUser, FILE_READ_DATA, KernelMode),
              STATUS_ACCESS_DENIED)
        << "asked for the caller's check";
    EXPECT_EQ(OpenAs(u"\\??\\VORN", Account::Administrator, FILE_READ_DATA, KernelMode),
              STATUS_SUCCESS);
}

TEST_F(AccessTest, TheMousePortDeviceIsLeftToItsStack)
{
    PFILE_OBJECT file = nullptr;
    hosted::Opener user;
    user.User = Account::StandardUser;
    ASSERT_EQ(hosted::OpenHandle(system.MousePort(), &file, user), STATUS_SUCCESS);
    hosted::CloseHandle(file);
}

NTSTATUS NTAPI Signal(PDEVICE_OBJECT, PIRP, PVOID context)
{
    KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// Wine's I/O manager sends user-mode creates with no security context (and
// runs every program as an administrator): nobody to check, so admitted.
TEST_F(AccessTest, ACreateWithoutASecurityContextHasNobodyToRefuse)
{
    PDEVICE_OBJECT control = ControlDeviceObject;
    PIRP irp = IoAllocateIrp(control->StackSize, FALSE);
    irp->RequestorMode = UserMode;
    IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_CREATE;
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IoSetCompletionRoutine(irp, Signal, &done, TRUE, TRUE, TRUE);
    EXPECT_EQ(IoCallDriver(control, irp), STATUS_SUCCESS);
    EXPECT_EQ(irp->IoStatus.Status, STATUS_SUCCESS);
    IoFreeIrp(irp);
    EXPECT_EQ(system.Close(control), STATUS_SUCCESS);
}

} // namespace
