// Who may open the driver's devices: Administrators and LocalSystem only.
//
// Every control request is FILE_ANY_ACCESS and the codes cannot change, so
// the open is the one place where callers can be told apart. Windows 2000
// has no IoCreateDeviceSecure, and a descriptor set on the device object
// would still let opens of a name below it (\Device\VORN\x) through unless
// the device had FILE_DEVICE_SECURE_OPEN. So the create dispatch checks every
// open of the control device and of a touch device itself, with SeAccessCheck
// against a descriptor built here and the subject context the I/O manager
// captured for the create.
#include "driver/driver.h"

namespace {

// ACEs carry specific rights: the access check compares them bit by bit with
// the already-mapped rights of the create and never maps a generic bit found
// in an ACE, so GENERIC_ALL here would admit nobody.
constexpr ACCESS_MASK AllowedRights = FILE_ALL_ACCESS;

// Room for an ACL with one access-allowed ACE for each of two SIDs of any size.
constexpr ULONG LargestSidLength = 8 + 4 * SID_MAX_SUB_AUTHORITIES;
constexpr ULONG AceLength = sizeof(ACCESS_ALLOWED_ACE) - sizeof(ULONG) + LargestSidLength;
constexpr ULONG AclLength = (sizeof(ACL) + 2 * AceLength + 3) & ~3u;

// The descriptor lives on the stack of the create: it is small, and so there
// is nothing to allocate, own or fail.
struct AdministratorsOnly {
    SECURITY_DESCRIPTOR Descriptor;
    union {
        ACL Header;
        ULONG Words[AclLength / sizeof(ULONG)];
    } Dacl;
};

NTSTATUS BuildAdministratorsOnly(AdministratorsOnly* security)
{
    PSID administrators = SeExports->SeAliasAdminsSid;
    PSID localSystem = SeExports->SeLocalSystemSid;
    NTSTATUS status =
        RtlCreateSecurityDescriptor(&security->Descriptor, SECURITY_DESCRIPTOR_REVISION);
    if (NT_SUCCESS(status))
        status = RtlCreateAcl(&security->Dacl.Header, sizeof security->Dacl, ACL_REVISION);
    if (NT_SUCCESS(status))
        status = RtlAddAccessAllowedAce(&security->Dacl.Header, ACL_REVISION, AllowedRights,
                                        administrators);
    if (NT_SUCCESS(status))
        status = RtlAddAccessAllowedAce(&security->Dacl.Header, ACL_REVISION, AllowedRights,
                                        localSystem);
    if (NT_SUCCESS(status))
        status = RtlSetOwnerSecurityDescriptor(&security->Descriptor, administrators, FALSE);
    if (NT_SUCCESS(status))
        status = RtlSetDaclSecurityDescriptor(&security->Descriptor, TRUE, &security->Dacl.Header,
                                              FALSE);
    return status;
}

} // namespace

NTSTATUS CheckOpenAccess(PIRP irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    // Kernel-mode opens (the mouse class driver's, other drivers') are
    // trusted, as the object manager trusts them, unless they ask for the
    // caller's check.
    if (irp->RequestorMode == KernelMode && !(stack->Flags & SL_FORCE_ACCESS_CHECK))
        return STATUS_SUCCESS;
    // NT's I/O manager gives every create its caller's context. A platform
    // that gives none does not model callers (Wine runs everything as an
    // administrator), and there is nobody to check.
    PIO_SECURITY_CONTEXT context = stack->Parameters.Create.SecurityContext;
    if (!context || !context->AccessState)
        return STATUS_SUCCESS;

    AdministratorsOnly security;
    if (!NT_SUCCESS(BuildAdministratorsOnly(&security)))
        return STATUS_ACCESS_DENIED;
    // Asking for no access would be refused to everyone, and a handle with no
    // access can still send every control request: such an open is admitted
    // only if the caller could have had some access.
    ACCESS_MASK desired = context->DesiredAccess ? context->DesiredAccess : MAXIMUM_ALLOWED;
    ACCESS_MASK granted = 0;
    PPRIVILEGE_SET privileges = nullptr;
    NTSTATUS status = STATUS_ACCESS_DENIED;
    // What the device object's own default descriptor granted is not passed
    // on: this descriptor alone decides.
    BOOLEAN allowed = SeAccessCheck(
        &security.Descriptor, &context->AccessState->SubjectSecurityContext, FALSE, desired, 0,
        &privileges, IoGetFileObjectGenericMapping(), UserMode, &granted, &status);
    if (privileges)
        SeFreePrivileges(privileges);
    return allowed ? STATUS_SUCCESS : status;
}
