// The hosted security reference monitor: descriptors and ACLs built with the
// Rtl routines, SeAccessCheck with NT's rules for discretionary ACLs, and the
// caller a create carries, by mode and token.
#include "platform/hosted/hosted.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

struct Descriptor {
    SECURITY_DESCRIPTOR Sd;
    alignas(ULONG) UCHAR Acl[256];
    PACL Dacl() { return reinterpret_cast<PACL>(Acl); }
};

// A descriptor whose DACL allows `mask` to each SID in turn.
void Build(Descriptor* d, std::initializer_list<std::pair<PSID, ACCESS_MASK>> allowed)
{
    ASSERT_EQ(RtlCreateSecurityDescriptor(&d->Sd, SECURITY_DESCRIPTOR_REVISION), STATUS_SUCCESS);
    ASSERT_EQ(RtlCreateAcl(d->Dacl(), sizeof d->Acl, ACL_REVISION), STATUS_SUCCESS);
    for (auto [sid, mask] : allowed)
        ASSERT_EQ(RtlAddAccessAllowedAce(d->Dacl(), ACL_REVISION, mask, sid), STATUS_SUCCESS);
    ASSERT_EQ(RtlSetDaclSecurityDescriptor(&d->Sd, TRUE, d->Dacl(), FALSE), STATUS_SUCCESS);
}

struct Outcome {
    BOOLEAN Allowed;
    ACCESS_MASK Granted;
    NTSTATUS Status;
};

Outcome Check(Descriptor& d, hosted::Account account, ACCESS_MASK desired,
              KPROCESSOR_MODE mode = UserMode, ACCESS_MASK previously = 0)
{
    SECURITY_SUBJECT_CONTEXT subject{};
    subject.PrimaryToken = hosted::TokenOf(account);
    Outcome o{};
    PPRIVILEGE_SET privileges = reinterpret_cast<PPRIVILEGE_SET>(1);
    o.Allowed = SeAccessCheck(&d.Sd, &subject, FALSE, desired, previously, &privileges,
                              IoGetFileObjectGenericMapping(), mode, &o.Granted, &o.Status);
    EXPECT_EQ(privileges, nullptr);
    return o;
}

class SecurityTest : public ::testing::Test {
protected:
    hosted::Kernel kernel;
    Descriptor d;
};

TEST_F(SecurityTest, AnAclOfAdministratorsAndSystemAdmitsThemAndNoStandardUser)
{
    Build(&d, {{SeExports->SeAliasAdminsSid, FILE_ALL_ACCESS},
               {SeExports->SeLocalSystemSid, FILE_ALL_ACCESS}});
    EXPECT_EQ(d.Dacl()->AceCount, 2);
    // Administrators' SID is S-1-5-32-544: two subauthorities.
    EXPECT_EQ(RtlLengthSid(SeExports->SeAliasAdminsSid), 16u);
    EXPECT_EQ(RtlLengthSid(SeExports->SeLocalSystemSid), 12u);

    Outcome admin = Check(d, hosted::Account::Administrator, GENERIC_READ | GENERIC_WRITE);
    EXPECT_TRUE(admin.Allowed);
    EXPECT_EQ(admin.Status, STATUS_SUCCESS);
    EXPECT_EQ(admin.Granted, ACCESS_MASK(FILE_GENERIC_READ | FILE_GENERIC_WRITE)) << "mapped";
    EXPECT_TRUE(Check(d, hosted::Account::LocalSystem, FILE_READ_DATA).Allowed);

    Outcome user = Check(d, hosted::Account::StandardUser, FILE_READ_DATA);
    EXPECT_FALSE(user.Allowed);
    EXPECT_EQ(user.Status, STATUS_ACCESS_DENIED);
    EXPECT_EQ(user.Granted, 0u);
}

TEST_F(SecurityTest, MaximumAllowedIsWhatTheAclGrantsAndNothingIsDenied)
{
    Build(&d, {{SeExports->SeAliasAdminsSid, FILE_ALL_ACCESS},
               {SeExports->SeAliasUsersSid, FILE_GENERIC_READ}});
    EXPECT_EQ(Check(d, hosted::Account::Administrator, MAXIMUM_ALLOWED).Granted,
              ACCESS_MASK(FILE_ALL_ACCESS));
    EXPECT_EQ(Check(d, hosted::Account::StandardUser, MAXIMUM_ALLOWED).Granted,
              ACCESS_MASK(FILE_GENERIC_READ));
    EXPECT_FALSE(
        Check(d, hosted::Account::StandardUser, MAXIMUM_ALLOWED | FILE_WRITE_DATA).Allowed);

    Descriptor admins;
    Build(&admins, {{SeExports->SeAliasAdminsSid, FILE_ALL_ACCESS}});
    Outcome nothing = Check(admins, hosted::Account::StandardUser, MAXIMUM_ALLOWED);
    EXPECT_FALSE(nothing.Allowed) << "granted nothing at all";
    EXPECT_EQ(nothing.Status, STATUS_ACCESS_DENIED);
}

TEST_F(SecurityTest, AskingForNothingIsGrantedOnlyWhatWasGrantedBefore)
{
    Build(&d, {{SeExports->SeWorldSid, FILE_ALL_ACCESS}});
    EXPECT_FALSE(Check(d, hosted::Account::Administrator, 0).Allowed);
    Outcome before = Check(d, hosted::Account::StandardUser, 0, UserMode, FILE_READ_DATA);
    EXPECT_TRUE(before.Allowed);
    EXPECT_EQ(before.Granted, ACCESS_MASK(FILE_READ_DATA));
}

TEST_F(SecurityTest, AnAceIsComparedBitByBitAndItsGenericRightsAreNeverMapped)
{
    // MS-DTYP 2.5.3.2 (Access Check Algorithm Pseudocode): ACE masks are compared as they are.
    Build(&d, {{SeExports->SeAliasAdminsSid, GENERIC_ALL}});
    constexpr ACCESS_MASK readWrite = 0x0012019F; // GENERIC_READ | GENERIC_WRITE from CreateFile
    static_assert(readWrite == (FILE_GENERIC_READ | FILE_GENERIC_WRITE));
    Outcome generic = Check(d, hosted::Account::Administrator, readWrite);
    EXPECT_FALSE(generic.Allowed);
    EXPECT_EQ(generic.Status, STATUS_ACCESS_DENIED);
    EXPECT_FALSE(Check(d, hosted::Account::Administrator, GENERIC_READ | GENERIC_WRITE).Allowed)
        << "the request is mapped, the ACE is not";

    Descriptor specific;
    Build(&specific, {{SeExports->SeAliasAdminsSid, FILE_ALL_ACCESS}});
    Outcome granted = Check(specific, hosted::Account::Administrator, readWrite);
    EXPECT_TRUE(granted.Allowed);
    EXPECT_EQ(granted.Granted, readWrite);
}

TEST_F(SecurityTest, KernelModeIsGrantedWhateverTheDescriptorSays)
{
    Build(&d, {}); // an empty DACL denies everyone in user mode
    EXPECT_FALSE(Check(d, hosted::Account::Administrator, FILE_READ_DATA).Allowed);
    Outcome kernelMode = Check(d, hosted::Account::StandardUser, FILE_READ_DATA, KernelMode);
    EXPECT_TRUE(kernelMode.Allowed);
    EXPECT_EQ(kernelMode.Granted, ACCESS_MASK(FILE_READ_DATA));
    EXPECT_EQ(Check(d, hosted::Account::StandardUser, MAXIMUM_ALLOWED, KernelMode).Granted,
              ACCESS_MASK(FILE_ALL_ACCESS));
}

TEST_F(SecurityTest, WithoutADaclEverythingIsGranted)
{
    ASSERT_EQ(RtlCreateSecurityDescriptor(&d.Sd, SECURITY_DESCRIPTOR_REVISION), STATUS_SUCCESS);
    EXPECT_TRUE(Check(d, hosted::Account::StandardUser, FILE_ALL_ACCESS).Allowed);
    ASSERT_EQ(RtlSetDaclSecurityDescriptor(&d.Sd, TRUE, nullptr, FALSE), STATUS_SUCCESS);
    EXPECT_EQ(Check(d, hosted::Account::StandardUser, MAXIMUM_ALLOWED).Granted,
              ACCESS_MASK(FILE_ALL_ACCESS))
        << "a null DACL";
}

TEST_F(SecurityTest, AcesCountInOrderAndInheritOnlyAcesNotAtAll)
{
    Build(&d, {{SeExports->SeWorldSid, FILE_READ_DATA}});
    // A denied ACE after the allowed one cannot take back what it granted.
    auto* acl = d.Dacl();
    auto* denied = reinterpret_cast<PACCESS_DENIED_ACE>(reinterpret_cast<PUCHAR>(acl) + 8 + 20);
    denied->Header = {ACCESS_DENIED_ACE_TYPE, 0, USHORT(8 + 12)};
    denied->Mask = FILE_READ_DATA | FILE_WRITE_DATA;
    std::memcpy(&denied->SidStart, SeExports->SeWorldSid, 12);
    acl->AceCount = 2;
    EXPECT_TRUE(Check(d, hosted::Account::StandardUser, FILE_READ_DATA).Allowed);

    // Denied first: the same allowed ACE after it no longer helps.
    Descriptor first;
    Build(&first, {});
    std::memcpy(first.Acl + 8, denied, 20);
    std::memcpy(first.Acl + 28, acl + 1, 20);
    first.Dacl()->AceCount = 2;
    EXPECT_FALSE(Check(first, hosted::Account::StandardUser, FILE_READ_DATA).Allowed);

    reinterpret_cast<PACE_HEADER>(first.Acl + 8)->AceFlags = INHERIT_ONLY_ACE;
    EXPECT_TRUE(Check(first, hosted::Account::StandardUser, FILE_READ_DATA).Allowed);
}

TEST_F(SecurityTest, TheOwnerMayReadAndChangeTheDacl)
{
    Build(&d, {});
    ASSERT_EQ(RtlSetOwnerSecurityDescriptor(&d.Sd, SeExports->SeAliasAdminsSid, FALSE),
              STATUS_SUCCESS);
    EXPECT_TRUE(Check(d, hosted::Account::Administrator, READ_CONTROL | WRITE_DAC).Allowed);
    EXPECT_FALSE(Check(d, hosted::Account::Administrator, FILE_READ_DATA).Allowed);
    EXPECT_FALSE(Check(d, hosted::Account::StandardUser, READ_CONTROL).Allowed);
}

TEST_F(SecurityTest, AnImpersonatingClientIsCheckedByItsOwnToken)
{
    Build(&d, {{SeExports->SeAliasAdminsSid, GENERIC_ALL}});
    SECURITY_SUBJECT_CONTEXT subject{};
    subject.PrimaryToken = hosted::TokenOf(hosted::Account::LocalSystem);
    subject.ClientToken = hosted::TokenOf(hosted::Account::StandardUser);
    subject.ImpersonationLevel = SecurityImpersonation;
    ACCESS_MASK granted = 0;
    NTSTATUS status = STATUS_SUCCESS;
    EXPECT_FALSE(SeAccessCheck(&d.Sd, &subject, FALSE, FILE_READ_DATA, 0, nullptr,
                               IoGetFileObjectGenericMapping(), UserMode, &granted, &status));
    subject.ImpersonationLevel = SecurityIdentification;
    EXPECT_FALSE(SeAccessCheck(&d.Sd, &subject, FALSE, FILE_READ_DATA, 0, nullptr,
                               IoGetFileObjectGenericMapping(), UserMode, &granted, &status));
    EXPECT_EQ(status, STATUS_BAD_IMPERSONATION_LEVEL);
}

TEST_F(SecurityTest, AnAclRefusesAnAceItHasNoRoomFor)
{
    alignas(ULONG) UCHAR small[8 + 20];
    auto* acl = reinterpret_cast<PACL>(small);
    EXPECT_EQ(RtlCreateAcl(acl, 4, ACL_REVISION), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(RtlCreateAcl(acl, sizeof small, 9), STATUS_INVALID_PARAMETER);
    ASSERT_EQ(RtlCreateAcl(acl, sizeof small, ACL_REVISION), STATUS_SUCCESS);
    EXPECT_EQ(RtlAddAccessAllowedAce(acl, ACL_REVISION, GENERIC_ALL, SeExports->SeLocalSystemSid),
              STATUS_SUCCESS);
    EXPECT_EQ(RtlAddAccessAllowedAce(acl, ACL_REVISION, GENERIC_ALL, SeExports->SeWorldSid),
              STATUS_ALLOTTED_SPACE_EXCEEDED);
    EXPECT_EQ(acl->AceCount, 1);
}

TEST_F(SecurityTest, GenericRightsMapThroughTheFileMapping)
{
    ACCESS_MASK mask = GENERIC_READ | GENERIC_EXECUTE | DELETE;
    RtlMapGenericMask(&mask, IoGetFileObjectGenericMapping());
    EXPECT_EQ(mask, ACCESS_MASK(FILE_GENERIC_READ | FILE_GENERIC_EXECUTE | DELETE));
}

// What the recorder saw of the last create.
struct SeenCreate {
    KPROCESSOR_MODE Mode = -1;
    UCHAR Flags = 0;
    ACCESS_MASK Desired = 0;
    PACCESS_TOKEN Token = nullptr;
};
SeenCreate g_seen;

NTSTATUS NTAPI RecordCreate(PDEVICE_OBJECT, PIRP irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    if (stack->MajorFunction == IRP_MJ_CREATE) {
        PIO_SECURITY_CONTEXT context = stack->Parameters.Create.SecurityContext;
        g_seen = SeenCreate{irp->RequestorMode, stack->Flags, context->DesiredAccess,
                            context->AccessState->SubjectSecurityContext.PrimaryToken};
    }
    irp->IoStatus.Status = STATUS_SUCCESS;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}

TEST_F(SecurityTest, ACreateCarriesItsOpenersModeTokenAndMappedAccess)
{
    PDRIVER_OBJECT driver = kernel.CreateDriverObject("\\Driver\\Recorder");
    for (UCHAR major : {IRP_MJ_CREATE, IRP_MJ_CLEANUP, IRP_MJ_CLOSE})
        driver->MajorFunction[major] = RecordCreate;
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, u"\\Device\\Recorder");
    PDEVICE_OBJECT device = nullptr;
    ASSERT_EQ(IoCreateDevice(driver, 0, &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &device),
              STATUS_SUCCESS);
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    UNICODE_STRING link;
    RtlInitUnicodeString(&link, u"\\DosDevices\\Recorder");
    IoCreateSymbolicLink(&link, &name);

    hosted::Opener user;
    user.User = hosted::Account::StandardUser;
    PFILE_OBJECT file = nullptr;
    ASSERT_EQ(hosted::OpenHandleByName(u"\\??\\Recorder", &file, user), STATUS_SUCCESS);
    EXPECT_EQ(g_seen.Mode, UserMode);
    EXPECT_EQ(g_seen.Desired, ACCESS_MASK(FILE_GENERIC_READ | FILE_GENERIC_WRITE));
    EXPECT_EQ(g_seen.Token, hosted::TokenOf(hosted::Account::StandardUser));
    EXPECT_EQ(g_seen.Flags & SL_FORCE_ACCESS_CHECK, 0);
    hosted::CloseHandle(file);

    hosted::Opener forced;
    forced.Mode = KernelMode;
    forced.ForceAccessCheck = true;
    ASSERT_EQ(hosted::OpenHandle(device, &file, forced), STATUS_SUCCESS);
    EXPECT_EQ(g_seen.Mode, KernelMode);
    EXPECT_EQ(g_seen.Flags & SL_FORCE_ACCESS_CHECK, SL_FORCE_ACCESS_CHECK);
    hosted::CloseHandle(file);

    PDEVICE_OBJECT top = nullptr;
    ASSERT_EQ(IoGetDeviceObjectPointer(&name, FILE_READ_DATA, &file, &top), STATUS_SUCCESS);
    EXPECT_EQ(g_seen.Mode, KernelMode) << "a kernel-mode open";
    EXPECT_EQ(g_seen.Token, hosted::TokenOf(hosted::Account::LocalSystem));
    EXPECT_EQ(g_seen.Desired, ACCESS_MASK(FILE_READ_DATA));
    ObDereferenceObject(file);

    EXPECT_EQ(hosted::OpenHandleByName(u"\\??\\Nothing", &file), STATUS_OBJECT_NAME_NOT_FOUND);
    IoDeleteSymbolicLink(&link);
    IoDeleteDevice(device);
}

TEST_F(SecurityTest, AnAccessCheckAbovePassiveLevelStopsTheRun)
{
    Build(&d, {{SeExports->SeWorldSid, GENERIC_ALL}});
    EXPECT_EXIT(
        {
            KIRQL old;
            KeRaiseIrql(DISPATCH_LEVEL, &old);
            Check(d, hosted::Account::Administrator, FILE_READ_DATA);
        },
        ::testing::ExitedWithCode(3), "verifier: irql: SeAccessCheck at IRQL 2");
}

} // namespace
