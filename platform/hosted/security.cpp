// Hosted security reference monitor: the tokens of three accounts, the
// well-known SIDs the kernel exports, the descriptor and ACL routines, and
// SeAccessCheck with NT's rules for discretionary ACLs (only the request's
// generic rights are mapped, never an ACE's). What is not modelled:
// privileges (a token holds none, so ACCESS_SYSTEM_SECURITY is never
// granted), self-relative descriptors, object ACEs, restricted tokens and
// auditing.
#include "platform/hosted/state.h"

#include <cstring>
#include <vector>

namespace hosted {

namespace {

// A SID with room for `N` subauthorities, laid out as SID is.
template <int N> struct WellKnownSid {
    UCHAR Revision;
    UCHAR SubAuthorityCount;
    SID_IDENTIFIER_AUTHORITY IdentifierAuthority;
    ULONG SubAuthority[N];
};

constexpr SID_IDENTIFIER_AUTHORITY WorldAuthority = {{0, 0, 0, 0, 0, 1}};
constexpr SID_IDENTIFIER_AUTHORITY NtAuthority = {{0, 0, 0, 0, 0, 5}};

WellKnownSid<1> g_world = {SID_REVISION, 1, WorldAuthority, {0}};       // S-1-1-0
WellKnownSid<1> g_localSystem = {SID_REVISION, 1, NtAuthority, {18}};   // S-1-5-18
WellKnownSid<1> g_interactive = {SID_REVISION, 1, NtAuthority, {4}};    // S-1-5-4
WellKnownSid<1> g_authenticated = {SID_REVISION, 1, NtAuthority, {11}}; // S-1-5-11
WellKnownSid<2> g_admins = {SID_REVISION, 2, NtAuthority, {32, 544}};   // S-1-5-32-544
WellKnownSid<2> g_users = {SID_REVISION, 2, NtAuthority, {32, 545}};    // S-1-5-32-545
WellKnownSid<5> g_adminUser = {SID_REVISION, 5, NtAuthority, {21, 1, 2, 3, 500}};
WellKnownSid<5> g_standardUser = {SID_REVISION, 5, NtAuthority, {21, 1, 2, 3, 1001}};

constexpr SID_IDENTIFIER_AUTHORITY NullAuthority = {{0, 0, 0, 0, 0, 0}};
constexpr SID_IDENTIFIER_AUTHORITY LocalAuthority = {{0, 0, 0, 0, 0, 2}};
constexpr SID_IDENTIFIER_AUTHORITY CreatorAuthority = {{0, 0, 0, 0, 0, 3}};
WellKnownSid<1> g_null = {SID_REVISION, 1, NullAuthority, {0}};            // S-1-0-0
WellKnownSid<1> g_local = {SID_REVISION, 1, LocalAuthority, {0}};          // S-1-2-0
WellKnownSid<1> g_creatorOwner = {SID_REVISION, 1, CreatorAuthority, {0}}; // S-1-3-0
WellKnownSid<1> g_creatorGroup = {SID_REVISION, 1, CreatorAuthority, {1}}; // S-1-3-1
WellKnownSid<1> g_ntAuthority = {SID_REVISION, 0, NtAuthority, {0}};       // S-1-5
WellKnownSid<1> g_dialup = {SID_REVISION, 1, NtAuthority, {1}};            // S-1-5-1
WellKnownSid<1> g_network = {SID_REVISION, 1, NtAuthority, {2}};           // S-1-5-2
WellKnownSid<1> g_batch = {SID_REVISION, 1, NtAuthority, {3}};             // S-1-5-3
WellKnownSid<1> g_anonymous = {SID_REVISION, 1, NtAuthority, {7}};         // S-1-5-7
WellKnownSid<1> g_restricted = {SID_REVISION, 1, NtAuthority, {12}};       // S-1-5-12
WellKnownSid<1> g_localService = {SID_REVISION, 1, NtAuthority, {19}};     // S-1-5-19
WellKnownSid<1> g_networkService = {SID_REVISION, 1, NtAuthority, {20}};   // S-1-5-20
WellKnownSid<2> g_guests = {SID_REVISION, 2, NtAuthority, {32, 546}};      // S-1-5-32-546
WellKnownSid<2> g_powerUsers = {SID_REVISION, 2, NtAuthority, {32, 547}};  // S-1-5-32-547
WellKnownSid<2> g_accountOps = {SID_REVISION, 2, NtAuthority, {32, 548}};  // S-1-5-32-548
WellKnownSid<2> g_systemOps = {SID_REVISION, 2, NtAuthority, {32, 549}};   // S-1-5-32-549
WellKnownSid<2> g_printOps = {SID_REVISION, 2, NtAuthority, {32, 550}};    // S-1-5-32-550
WellKnownSid<2> g_backupOps = {SID_REVISION, 2, NtAuthority, {32, 551}};   // S-1-5-32-551

constexpr LUID Privilege(ULONG value)
{
    return LUID{value, 0};
}

// What Windows 2000 and XP export: the privileges by their well-known
// values, then the SIDs. The members later systems added stay empty.
constexpr SE_EXPORTS MakeExports()
{
    SE_EXPORTS e{};
    e.SeCreateTokenPrivilege = Privilege(2);
    e.SeAssignPrimaryTokenPrivilege = Privilege(3);
    e.SeLockMemoryPrivilege = Privilege(4);
    e.SeIncreaseQuotaPrivilege = Privilege(5);
    e.SeUnsolicitedInputPrivilege = Privilege(6);
    e.SeTcbPrivilege = Privilege(7);
    e.SeSecurityPrivilege = Privilege(8);
    e.SeTakeOwnershipPrivilege = Privilege(9);
    e.SeLoadDriverPrivilege = Privilege(10);
    e.SeSystemProfilePrivilege = Privilege(11);
    e.SeSystemtimePrivilege = Privilege(12);
    e.SeProfileSingleProcessPrivilege = Privilege(13);
    e.SeIncreaseBasePriorityPrivilege = Privilege(14);
    e.SeCreatePagefilePrivilege = Privilege(15);
    e.SeCreatePermanentPrivilege = Privilege(16);
    e.SeBackupPrivilege = Privilege(17);
    e.SeRestorePrivilege = Privilege(18);
    e.SeShutdownPrivilege = Privilege(19);
    e.SeDebugPrivilege = Privilege(20);
    e.SeAuditPrivilege = Privilege(21);
    e.SeSystemEnvironmentPrivilege = Privilege(22);
    e.SeChangeNotifyPrivilege = Privilege(23);
    e.SeRemoteShutdownPrivilege = Privilege(24);
    e.SeUndockPrivilege = Privilege(25);
    e.SeSyncAgentPrivilege = Privilege(26);
    e.SeEnableDelegationPrivilege = Privilege(27);
    e.SeManageVolumePrivilege = Privilege(28);
    e.SeImpersonatePrivilege = Privilege(29);
    e.SeCreateGlobalPrivilege = Privilege(30);
    e.SeNullSid = &g_null;
    e.SeWorldSid = &g_world;
    e.SeLocalSid = &g_local;
    e.SeCreatorOwnerSid = &g_creatorOwner;
    e.SeCreatorGroupSid = &g_creatorGroup;
    e.SeNtAuthoritySid = &g_ntAuthority;
    e.SeDialupSid = &g_dialup;
    e.SeNetworkSid = &g_network;
    e.SeBatchSid = &g_batch;
    e.SeInteractiveSid = &g_interactive;
    e.SeLocalSystemSid = &g_localSystem;
    e.SeAliasAdminsSid = &g_admins;
    e.SeAliasUsersSid = &g_users;
    e.SeAliasGuestsSid = &g_guests;
    e.SeAliasPowerUsersSid = &g_powerUsers;
    e.SeAliasAccountOpsSid = &g_accountOps;
    e.SeAliasSystemOpsSid = &g_systemOps;
    e.SeAliasPrintOpsSid = &g_printOps;
    e.SeAliasBackupOpsSid = &g_backupOps;
    e.SeAuthenticatedUsersSid = &g_authenticated;
    e.SeRestrictedSid = &g_restricted;
    e.SeAnonymousLogonSid = &g_anonymous;
    e.SeLocalServiceSid = &g_localService;
    e.SeNetworkServiceSid = &g_networkService;
    return e;
}

SE_EXPORTS g_exports = MakeExports();

// A token: the user's SID first, then its enabled groups.
struct HostedToken {
    const char* Name;
    std::vector<PSID> Sids;
};

HostedToken g_tokens[] = {
    {"administrator",
     {&g_adminUser, &g_world, &g_admins, &g_users, &g_interactive, &g_authenticated}},
    {"standard user", {&g_standardUser, &g_world, &g_users, &g_interactive, &g_authenticated}},
    {"LocalSystem", {&g_localSystem, &g_admins, &g_world, &g_authenticated}},
};

const HostedToken& TokenFrom(PACCESS_TOKEN token)
{
    for (const HostedToken& known : g_tokens)
        if (token == &known)
            return known;
    VerifierFail("security", "SeAccessCheck with %p, which is no token", token);
}

const GENERIC_MAPPING g_fileMapping = {FILE_GENERIC_READ, FILE_GENERIC_WRITE, FILE_GENERIC_EXECUTE,
                                       FILE_ALL_ACCESS};

bool EqualSid(PSID first, PSID second)
{
    auto* a = static_cast<const SID*>(first);
    auto* b = static_cast<const SID*>(second);
    return a->Revision == b->Revision && a->SubAuthorityCount == b->SubAuthorityCount &&
           std::memcmp(&a->IdentifierAuthority, &b->IdentifierAuthority,
                       sizeof a->IdentifierAuthority) == 0 &&
           std::memcmp(a->SubAuthority, b->SubAuthority, a->SubAuthorityCount * sizeof(ULONG)) == 0;
}

bool TokenHolds(const HostedToken& token, PSID sid)
{
    for (PSID held : token.Sids)
        if (EqualSid(held, sid))
            return true;
    return false;
}

bool ValidAclRevision(ULONG revision)
{
    return revision >= ACL_REVISION && revision <= ACL_REVISION_DS;
}

// The first byte after the ACL's last ACE, or null when the ACEs it counts do
// not fit in it.
PUCHAR EndOfAces(PACL acl)
{
    PUCHAR at = reinterpret_cast<PUCHAR>(acl + 1);
    PUCHAR end = reinterpret_cast<PUCHAR>(acl) + acl->AclSize;
    for (USHORT i = 0; i < acl->AceCount; ++i) {
        if (at + sizeof(ACE_HEADER) > end)
            return nullptr;
        USHORT size = reinterpret_cast<PACE_HEADER>(at)->AceSize;
        if (size < sizeof(ACE_HEADER) || at + size > end)
            return nullptr;
        at += size;
    }
    return at;
}

} // namespace

PACCESS_TOKEN TokenOf(Account account)
{
    switch (account) {
    case Account::Administrator:
        return &g_tokens[0];
    case Account::StandardUser:
        return &g_tokens[1];
    case Account::LocalSystem:
        return &g_tokens[2];
    }
    return nullptr;
}

CreateSecurity::CreateSecurity(const Opener& opener) : opener_(opener)
{
    // The object manager maps generic rights with the file type's mapping
    // before the create goes down.
    ACCESS_MASK desired = opener.DesiredAccess;
    RtlMapGenericMask(&desired, &g_fileMapping);
    state_.RemainingDesiredAccess = desired;
    state_.OriginalDesiredAccess = desired;
    state_.SubjectSecurityContext.PrimaryToken = TokenOf(opener.User);
    state_.SubjectSecurityContext.ImpersonationLevel = SecurityAnonymous;
    context_.AccessState = &state_;
    context_.DesiredAccess = desired;
}

void CreateSecurity::Apply(PIRP irp) const
{
    irp->RequestorMode = opener_.Mode;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->Parameters.Create.SecurityContext = const_cast<PIO_SECURITY_CONTEXT>(&context_);
    if (opener_.ForceAccessCheck)
        next->Flags |= SL_FORCE_ACCESS_CHECK;
}

} // namespace hosted

using namespace hosted;

extern "C" {

PSE_EXPORTS SeExports = &g_exports;

NTSTATUS NTAPI RtlCreateSecurityDescriptor(PSECURITY_DESCRIPTOR SecurityDescriptor, ULONG Revision)
{
    if (Revision != SECURITY_DESCRIPTOR_REVISION)
        return STATUS_UNKNOWN_REVISION;
    auto* descriptor = static_cast<PISECURITY_DESCRIPTOR>(SecurityDescriptor);
    *descriptor = SECURITY_DESCRIPTOR{};
    descriptor->Revision = SECURITY_DESCRIPTOR_REVISION;
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI RtlSetDaclSecurityDescriptor(PSECURITY_DESCRIPTOR SecurityDescriptor,
                                            BOOLEAN DaclPresent, PACL Dacl, BOOLEAN DaclDefaulted)
{
    auto* descriptor = static_cast<PISECURITY_DESCRIPTOR>(SecurityDescriptor);
    if (descriptor->Revision != SECURITY_DESCRIPTOR_REVISION)
        return STATUS_UNKNOWN_REVISION;
    if (descriptor->Control & SE_SELF_RELATIVE)
        return STATUS_INVALID_SECURITY_DESCR;
    if (!DaclPresent) {
        descriptor->Control &= ~SE_DACL_PRESENT;
        return STATUS_SUCCESS;
    }
    descriptor->Control |= SE_DACL_PRESENT;
    descriptor->Dacl = Dacl;
    if (DaclDefaulted)
        descriptor->Control |= SE_DACL_DEFAULTED;
    else
        descriptor->Control &= ~SE_DACL_DEFAULTED;
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI RtlSetOwnerSecurityDescriptor(PSECURITY_DESCRIPTOR SecurityDescriptor, PSID Owner,
                                             BOOLEAN OwnerDefaulted)
{
    auto* descriptor = static_cast<PISECURITY_DESCRIPTOR>(SecurityDescriptor);
    if (descriptor->Revision != SECURITY_DESCRIPTOR_REVISION)
        return STATUS_UNKNOWN_REVISION;
    if (descriptor->Control & SE_SELF_RELATIVE)
        return STATUS_INVALID_SECURITY_DESCR;
    descriptor->Owner = Owner;
    if (OwnerDefaulted)
        descriptor->Control |= SE_OWNER_DEFAULTED;
    else
        descriptor->Control &= ~SE_OWNER_DEFAULTED;
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI RtlCreateAcl(PACL Acl, ULONG AclLength, ULONG AclRevision)
{
    if (AclLength < sizeof(ACL))
        return STATUS_BUFFER_TOO_SMALL;
    if (!ValidAclRevision(AclRevision) || AclLength > 0xFFFF)
        return STATUS_INVALID_PARAMETER;
    *Acl = ACL{};
    Acl->AclRevision = UCHAR(AclRevision);
    Acl->AclSize = USHORT(AclLength & ~3u);
    return STATUS_SUCCESS;
}

BOOLEAN NTAPI RtlValidSid(PSID Sid)
{
    auto* sid = static_cast<const SID*>(Sid);
    return sid && sid->Revision == SID_REVISION &&
           sid->SubAuthorityCount <= SID_MAX_SUB_AUTHORITIES;
}

ULONG NTAPI RtlLengthSid(PSID Sid)
{
    return ULONG(offsetof(SID, SubAuthority)) +
           static_cast<const SID*>(Sid)->SubAuthorityCount * ULONG(sizeof(ULONG));
}

NTSTATUS NTAPI RtlAddAccessAllowedAce(PACL Acl, ULONG AceRevision, ACCESS_MASK AccessMask, PSID Sid)
{
    if (!RtlValidSid(Sid))
        return STATUS_INVALID_SID;
    if (!ValidAclRevision(Acl->AclRevision) || !ValidAclRevision(AceRevision))
        return STATUS_REVISION_MISMATCH;
    PUCHAR end = EndOfAces(Acl);
    if (!end)
        return STATUS_INVALID_ACL;
    ULONG size = ULONG(offsetof(ACCESS_ALLOWED_ACE, SidStart)) + RtlLengthSid(Sid);
    if (end + size > reinterpret_cast<PUCHAR>(Acl) + Acl->AclSize)
        return STATUS_ALLOTTED_SPACE_EXCEEDED;
    auto* ace = reinterpret_cast<PACCESS_ALLOWED_ACE>(end);
    ace->Header.AceType = ACCESS_ALLOWED_ACE_TYPE;
    ace->Header.AceFlags = 0;
    ace->Header.AceSize = USHORT(size);
    ace->Mask = AccessMask;
    std::memcpy(&ace->SidStart, Sid, RtlLengthSid(Sid));
    Acl->AceCount++;
    if (AceRevision > Acl->AclRevision)
        Acl->AclRevision = UCHAR(AceRevision);
    return STATUS_SUCCESS;
}

VOID NTAPI RtlMapGenericMask(PACCESS_MASK AccessMask, const GENERIC_MAPPING* GenericMapping)
{
    ACCESS_MASK mask = *AccessMask;
    if (mask & GENERIC_READ)
        mask |= GenericMapping->GenericRead;
    if (mask & GENERIC_WRITE)
        mask |= GenericMapping->GenericWrite;
    if (mask & GENERIC_EXECUTE)
        mask |= GenericMapping->GenericExecute;
    if (mask & GENERIC_ALL)
        mask |= GenericMapping->GenericAll;
    *AccessMask = mask & ~(GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL);
}

PGENERIC_MAPPING NTAPI IoGetFileObjectGenericMapping(VOID)
{
    return const_cast<PGENERIC_MAPPING>(&g_fileMapping);
}

BOOLEAN NTAPI SeAccessCheck(PSECURITY_DESCRIPTOR SecurityDescriptor,
                            PSECURITY_SUBJECT_CONTEXT SubjectSecurityContext,
                            BOOLEAN SubjectContextLocked, ACCESS_MASK DesiredAccess,
                            ACCESS_MASK PreviouslyGrantedAccess, PPRIVILEGE_SET* Privileges,
                            PGENERIC_MAPPING GenericMapping, KPROCESSOR_MODE AccessMode,
                            PACCESS_MASK GrantedAccess, NTSTATUS* AccessStatus)
{
    UNREFERENCED_PARAMETER(SubjectContextLocked);
    if (CurrentThread().Irql != PASSIVE_LEVEL)
        VerifierFail("irql", "SeAccessCheck at IRQL %d", CurrentThread().Irql);
    if (Privileges)
        *Privileges = nullptr;
    auto deny = [&](NTSTATUS status) {
        *GrantedAccess = 0;
        *AccessStatus = status;
        return BOOLEAN(FALSE);
    };
    auto grant = [&](ACCESS_MASK access) {
        *GrantedAccess = access;
        *AccessStatus = STATUS_SUCCESS;
        return BOOLEAN(TRUE);
    };

    // Kernel mode is trusted: whatever it asks is granted.
    if (AccessMode == KernelMode) {
        if (DesiredAccess & MAXIMUM_ALLOWED)
            return grant(GenericMapping->GenericAll | (DesiredAccess & ~MAXIMUM_ALLOWED));
        return grant(DesiredAccess | PreviouslyGrantedAccess);
    }
    if (!SecurityDescriptor)
        return deny(STATUS_ACCESS_DENIED);
    const SECURITY_SUBJECT_CONTEXT& subject = *SubjectSecurityContext;
    if (subject.ClientToken && subject.ImpersonationLevel < SecurityImpersonation)
        return deny(STATUS_BAD_IMPERSONATION_LEVEL);
    const HostedToken& token =
        TokenFrom(subject.ClientToken ? subject.ClientToken : subject.PrimaryToken);
    // Asking for nothing is granted only what was granted before.
    if (!DesiredAccess)
        return PreviouslyGrantedAccess ? grant(PreviouslyGrantedAccess)
                                       : deny(STATUS_ACCESS_DENIED);

    auto* descriptor = static_cast<PISECURITY_DESCRIPTOR>(SecurityDescriptor);
    if (descriptor->Revision != SECURITY_DESCRIPTOR_REVISION ||
        (descriptor->Control & SE_SELF_RELATIVE))
        VerifierFail("security", "SeAccessCheck with a descriptor that is not an absolute one "
                                 "of revision 1");
    RtlMapGenericMask(&DesiredAccess, GenericMapping);
    RtlMapGenericMask(&PreviouslyGrantedAccess, GenericMapping);
    // Needs SeSecurityPrivilege, which no hosted token holds.
    if (DesiredAccess & ACCESS_SYSTEM_SECURITY)
        return deny(STATUS_PRIVILEGE_NOT_HELD);
    bool maximum = (DesiredAccess & MAXIMUM_ALLOWED) != 0;
    ACCESS_MASK wanted = DesiredAccess & ~MAXIMUM_ALLOWED & ~PreviouslyGrantedAccess;

    // No DACL, or a null one: nothing is protected.
    if (!(descriptor->Control & SE_DACL_PRESENT) || !descriptor->Dacl)
        return grant(maximum ? GenericMapping->GenericAll | (DesiredAccess & ~MAXIMUM_ALLOWED) |
                                   PreviouslyGrantedAccess
                             : DesiredAccess | PreviouslyGrantedAccess);

    // The owner may always read and change the DACL.
    ACCESS_MASK granted = 0;
    ACCESS_MASK denied = 0;
    if (descriptor->Owner && TokenHolds(token, descriptor->Owner))
        granted |= READ_CONTROL | WRITE_DAC;

    // ACEs in order: an allowed ACE grants what no earlier ACE denied, a
    // denied ACE denies what no earlier ACE granted.
    PACL acl = descriptor->Dacl;
    PUCHAR at = reinterpret_cast<PUCHAR>(acl + 1);
    if (!EndOfAces(acl))
        VerifierFail("security", "SeAccessCheck with a malformed ACL");
    for (USHORT i = 0; i < acl->AceCount; ++i) {
        auto* ace = reinterpret_cast<PACCESS_ALLOWED_ACE>(at);
        at += ace->Header.AceSize;
        if (ace->Header.AceFlags & INHERIT_ONLY_ACE)
            continue;
        if (ace->Header.AceType != ACCESS_ALLOWED_ACE_TYPE &&
            ace->Header.AceType != ACCESS_DENIED_ACE_TYPE)
            continue;
        if (!TokenHolds(token, &ace->SidStart))
            continue;
        // Compared bit by bit: a generic bit in an ACE is never mapped here
        // (the system maps them when it builds a descriptor), so an ACE of
        // GENERIC_ALL alone grants none of the specific rights asked for.
        ACCESS_MASK mask = ace->Mask;
        if (ace->Header.AceType == ACCESS_ALLOWED_ACE_TYPE)
            granted |= mask & ~denied;
        else
            denied |= mask & ~granted;
    }
    if (wanted & ~granted)
        return deny(STATUS_ACCESS_DENIED);
    ACCESS_MASK result = maximum ? granted | (DesiredAccess & ~MAXIMUM_ALLOWED) : DesiredAccess;
    result |= PreviouslyGrantedAccess;
    if (!result)
        return deny(STATUS_ACCESS_DENIED);
    return grant(result);
}

VOID NTAPI SeFreePrivileges(PPRIVILEGE_SET Privileges)
{
    // SeAccessCheck never hands out a privilege set here.
    VerifierFail("security", "SeFreePrivileges(%p): no such privilege set", (void*)Privileges);
}

} // extern "C"
