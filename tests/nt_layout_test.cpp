// The kernel objects a loaded vorn.sys reads, filled in as Windows fills them:
// the object types and sizes in their headers, a fresh request's bookkeeping,
// the request's storage left wholly to its users, and the privileges and SIDs
// of SeExports. (Their layouts are held to the DDK's at build time.)
#include "platform/hosted/hosted.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

NTSTATUS NTAPI Succeed(PDEVICE_OBJECT, PIRP irp)
{
    irp->IoStatus.Status = STATUS_SUCCESS;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}

// The request comes back to its allocator, who frees it.
NTSTATUS NTAPI KeepRequest(PDEVICE_OBJECT, PIRP, PVOID)
{
    return STATUS_MORE_PROCESSING_REQUIRED;
}

class KernelObjects : public ::testing::Test {
protected:
    KernelObjects()
    {
        driver = kernel.CreateDriverObject("\\Driver\\Objects");
        for (UCHAR major : {IRP_MJ_CREATE, IRP_MJ_CLEANUP, IRP_MJ_CLOSE})
            driver->MajorFunction[major] = Succeed;
    }

    hosted::Kernel kernel;
    PDRIVER_OBJECT driver;
};

bool IsEmptyList(const LIST_ENTRY& head)
{
    return head.Flink == &head && head.Blink == &head;
}

// The kernel-mode test IoIrp (ReactOS's kmtests, which pass on Windows): an
// IoAllocateIrp request has Type 6, Size >= sizeof(IRP) + n locations,
// StackCount n, CurrentLocation n + 1, an empty ThreadListEntry and its
// current location just past the last of its n.
TEST_F(KernelObjects, AFreshRequestIsLaidOutAsIoInitializeIrpLeavesIt)
{
    for (CCHAR locations : {CCHAR(1), CCHAR(2), CCHAR(5)}) {
        SCOPED_TRACE(int(locations));
        PIRP irp = IoAllocateIrp(locations, FALSE);
        ASSERT_NE(irp, nullptr);
        EXPECT_EQ(irp->Type, IO_TYPE_IRP);
        EXPECT_EQ(irp->Type, 6);
        EXPECT_GE(irp->Size, sizeof(IRP) + locations * sizeof(IO_STACK_LOCATION));
        EXPECT_EQ(irp->Size, IoSizeOfIrp(locations));
        EXPECT_EQ(irp->StackCount, locations);
        EXPECT_EQ(irp->CurrentLocation, locations + 1);
        EXPECT_TRUE(IsEmptyList(irp->ThreadListEntry));
        EXPECT_EQ(irp->Tail.Overlay.CurrentStackLocation,
                  reinterpret_cast<PIO_STACK_LOCATION>(irp + 1) + locations);
        IoFreeIrp(irp);
    }
}

// A request is IoSizeOfIrp bytes of IRP and stack locations: the I/O
// manager's own record of it lives outside them, so a request overwritten end
// to end but for its size and stack count (which IoReuseIrp reads) is still
// one the I/O manager can reuse, send and free.
TEST_F(KernelObjects, TheIoManagersRecordOfARequestIsNotInTheRequest)
{
    PDEVICE_OBJECT device = nullptr;
    ASSERT_EQ(IoCreateDevice(driver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device),
              STATUS_SUCCESS);
    driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = Succeed;
    PIRP irp = IoAllocateIrp(device->StackSize, FALSE);
    const USHORT size = irp->Size;
    std::memset(static_cast<void*>(irp), 0xA5, size);
    irp->Size = size;
    irp->StackCount = device->StackSize;
    IoReuseIrp(irp, STATUS_SUCCESS);
    EXPECT_EQ(irp->Type, IO_TYPE_IRP);
    EXPECT_EQ(irp->CurrentLocation, device->StackSize + 1);
    IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_DEVICE_CONTROL;
    IoSetCompletionRoutine(irp, KeepRequest, nullptr, TRUE, TRUE, TRUE);
    EXPECT_EQ(IoCallDriver(device, irp), STATUS_SUCCESS);
    EXPECT_EQ(irp->IoStatus.Status, STATUS_SUCCESS);
    IoFreeIrp(irp);
    IoDeleteDevice(device);
}

// Microsoft's DEVICE_OBJECT reference: Type is 3 for a device object; Size
// includes the device extension (and not the opaque DeviceObjectExtension).
TEST_F(KernelObjects, ADeviceObjectHasItsTypeAndASizeThatCountsItsExtension)
{
    constexpr ULONG ExtensionSize = 40;
    PDEVICE_OBJECT device = nullptr;
    ASSERT_EQ(
        IoCreateDevice(driver, ExtensionSize, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device),
        STATUS_SUCCESS);
    EXPECT_EQ(device->Type, IO_TYPE_DEVICE);
    EXPECT_EQ(device->Type, 3);
    EXPECT_EQ(device->Size, sizeof(DEVICE_OBJECT) + ExtensionSize);
    EXPECT_EQ(device->DeviceExtension, reinterpret_cast<char*>(device) + sizeof(DEVICE_OBJECT));
    IoDeleteDevice(device);
}

// Microsoft's FILE_OBJECT reference: Type is 5 for a file object. The DDK's
// IO_TYPE_DRIVER (4) marks a driver object.
TEST_F(KernelObjects, FileAndDriverObjectsCarryTheirTypes)
{
    EXPECT_EQ(driver->Type, IO_TYPE_DRIVER);
    EXPECT_EQ(driver->Size, sizeof(DRIVER_OBJECT));
    PDEVICE_OBJECT device = nullptr;
    ASSERT_EQ(IoCreateDevice(driver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device),
              STATUS_SUCCESS);
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    PFILE_OBJECT file = nullptr;
    ASSERT_EQ(hosted::OpenHandle(device, &file), STATUS_SUCCESS);
    EXPECT_EQ(file->Type, IO_TYPE_FILE);
    EXPECT_EQ(file->Type, 5);
    EXPECT_EQ(file->Size, sizeof(FILE_OBJECT));
    EXPECT_EQ(file->DeviceObject, device);
    hosted::CloseHandle(file);
    IoDeleteDevice(device);
}

std::string SidText(PSID sid)
{
    const auto* s = static_cast<const SID*>(sid);
    ULONGLONG authority = 0;
    for (UCHAR byte : s->IdentifierAuthority.Value)
        authority = authority << 8 | byte;
    std::string text = "S-" + std::to_string(s->Revision) + "-" + std::to_string(authority);
    for (UCHAR i = 0; i < s->SubAuthorityCount; ++i)
        text += "-" + std::to_string(s->SubAuthority[i]);
    return text;
}

// Microsoft's SE_EXPORTS reference: the privileges' LUIDs first, then the
// SIDs; the privilege values are wdm.h's SE_*_PRIVILEGE constants, the SIDs
// the well-known ones of Microsoft's "Well-known SIDs" list.
TEST(SeExportsTest, HoldsThePrivilegesByTheirValuesAndTheWellKnownSids)
{
    struct Privilege {
        const LUID& Luid;
        ULONG Value;
    } const privileges[] = {
        {SeExports->SeCreateTokenPrivilege, 2},    {SeExports->SeTcbPrivilege, 7},
        {SeExports->SeSecurityPrivilege, 8},       {SeExports->SeLoadDriverPrivilege, 10},
        {SeExports->SeSystemProfilePrivilege, 11}, {SeExports->SeCreatePagefilePrivilege, 15},
        {SeExports->SeChangeNotifyPrivilege, 23},  {SeExports->SeRemoteShutdownPrivilege, 24},
        {SeExports->SeUndockPrivilege, 25},        {SeExports->SeImpersonatePrivilege, 29},
    };
    for (const Privilege& p : privileges) {
        EXPECT_EQ(p.Luid.LowPart, p.Value);
        EXPECT_EQ(p.Luid.HighPart, 0);
    }
    EXPECT_EQ(SidText(SeExports->SeNullSid), "S-1-0-0");
    EXPECT_EQ(SidText(SeExports->SeWorldSid), "S-1-1-0");
    EXPECT_EQ(SidText(SeExports->SeLocalSid), "S-1-2-0");
    EXPECT_EQ(SidText(SeExports->SeCreatorOwnerSid), "S-1-3-0");
    EXPECT_EQ(SidText(SeExports->SeNtAuthoritySid), "S-1-5");
    EXPECT_EQ(SidText(SeExports->SeNetworkSid), "S-1-5-2");
    EXPECT_EQ(SidText(SeExports->SeInteractiveSid), "S-1-5-4");
    EXPECT_EQ(SidText(SeExports->SeLocalSystemSid), "S-1-5-18");
    EXPECT_EQ(SidText(SeExports->SeAliasAdminsSid), "S-1-5-32-544");
    EXPECT_EQ(SidText(SeExports->SeAliasUsersSid), "S-1-5-32-545");
    EXPECT_EQ(SidText(SeExports->SeAliasGuestsSid), "S-1-5-32-546");
    EXPECT_EQ(SidText(SeExports->SeAuthenticatedUsersSid), "S-1-5-11");
    EXPECT_EQ(SidText(SeExports->SeAnonymousLogonSid), "S-1-5-7");
    EXPECT_EQ(SidText(SeExports->SeLocalServiceSid), "S-1-5-19");
    EXPECT_EQ(SidText(SeExports->SeNetworkServiceSid), "S-1-5-20");
    EXPECT_TRUE(RtlValidSid(SeExports->SeNtAuthoritySid));
}

} // namespace
