/*
 * Rtl.cpp - run-time library: counted strings, memory comparison, the
 * version query, and the security-descriptor routines.
 */
#include "../runtime/Runtime.h"

using namespace emu;

namespace {

/* Upcasing for case-insensitive comparisons, as RtlUpcaseUnicodeChar and
   the upcase table NTFS compares names with map the letters of these
   blocks ("RtlUpcaseUnicodeChar", "File Names" in the NTFS documentation:
   names that differ only in case are the same name): ASCII, Latin-1 (with
   y-diaeresis and micro sign, whose capitals lie outside it), Latin
   Extended-A, basic Greek and Cyrillic, and the fullwidth Latin letters.
   Letters of other scripts, and those without a one-to-one capital
   (sharp s, dotless i, long s), stay as they are. */
WCHAR Upcase(WCHAR Character)
{
    unsigned Code = Character;
    if ((Code >= 'a' && Code <= 'z') || (Code >= 0xE0 && Code <= 0xFE && Code != 0xF7)) {
        return (WCHAR)(Code - 0x20);
    }
    if (Code == 0xFF) {
        return (WCHAR)0x178;
    }
    if (Code == 0xB5) {
        return (WCHAR)0x39C;
    }
    /* Latin Extended-A: capital and small letters alternate, the capital
       on the even code in two runs and on the odd code in the other two. */
    if ((Code >= 0x100 && Code <= 0x12F) || (Code >= 0x132 && Code <= 0x137) || (Code >= 0x14A && Code <= 0x177)) {
        return (WCHAR)(Code & ~1u);
    }
    if ((Code >= 0x139 && Code <= 0x148) || (Code >= 0x179 && Code <= 0x17E)) {
        return (WCHAR)((Code & 1u) ? Code : Code - 1);
    }
    /* Greek. */
    if (Code == 0x3C2) {
        return (WCHAR)0x3A3;  // final sigma
    }
    if (Code >= 0x3B1 && Code <= 0x3CB) {
        return (WCHAR)(Code - 0x20);
    }
    if (Code == 0x3AC) {
        return (WCHAR)0x386;
    }
    if (Code >= 0x3AD && Code <= 0x3AF) {
        return (WCHAR)(Code - 0x25);
    }
    if (Code == 0x3CC) {
        return (WCHAR)0x38C;
    }
    if (Code == 0x3CD || Code == 0x3CE) {
        return (WCHAR)(Code - 0x3F);
    }
    /* Cyrillic. */
    if (Code >= 0x430 && Code <= 0x44F) {
        return (WCHAR)(Code - 0x20);
    }
    if (Code >= 0x450 && Code <= 0x45F) {
        return (WCHAR)(Code - 0x50);
    }
    /* Fullwidth Latin. */
    if (Code >= 0xFF41 && Code <= 0xFF5A) {
        return (WCHAR)(Code - 0x20);
    }
    return Character;
}

SID_IDENTIFIER_AUTHORITY WorldAuthority = {{0, 0, 0, 0, 0, 1}};

struct WorldSidStorage {
    UCHAR Revision = SID_REVISION;
    UCHAR SubAuthorityCount = 1;
    SID_IDENTIFIER_AUTHORITY Authority = WorldAuthority;
    ULONG SubAuthority = SECURITY_WORLD_RID;
};

WorldSidStorage WorldSid;
SE_EXPORTS Exports;

}  // namespace

extern "C" {

PSE_EXPORTS SeExports = [] {
    Exports.SeWorldSid = &WorldSid;
    return &Exports;
}();

SIZE_T NTAPI RtlCompareMemory(const VOID *Source1, const VOID *Source2, SIZE_T Length)
{
    TouchMemory(Source1, Length, false);
    TouchMemory(Source2, Length, false);
    auto Left = (const UCHAR *)Source1;
    auto Right = (const UCHAR *)Source2;
    SIZE_T Index = 0;
    while (Index < Length && Left[Index] == Right[Index]) {
        Index += 1;
    }
    return Index;
}

VOID NTAPI RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString)
{
    SIZE_T Units = 0;
    if (SourceString != NULL) {
        while (SourceString[Units] != 0) {
            Units += 1;
        }
        if (Units * sizeof(WCHAR) > UNICODE_STRING_MAX_BYTES - sizeof(WCHAR)) {
            Units = (UNICODE_STRING_MAX_BYTES - sizeof(WCHAR)) / sizeof(WCHAR);
        }
        DestinationString->Length = (USHORT)(Units * sizeof(WCHAR));
        DestinationString->MaximumLength = (USHORT)(DestinationString->Length + sizeof(WCHAR));
    } else {
        DestinationString->Length = 0;
        DestinationString->MaximumLength = 0;
    }
    DestinationString->Buffer = (PWSTR)SourceString;
}

VOID NTAPI RtlCopyUnicodeString(PUNICODE_STRING DestinationString, PCUNICODE_STRING SourceString)
{
    if (SourceString == NULL) {
        DestinationString->Length = 0;
        return;
    }
    USHORT Bytes = SourceString->Length < DestinationString->MaximumLength ? SourceString->Length
                                                                            : DestinationString->MaximumLength;
    memmove(DestinationString->Buffer, SourceString->Buffer, Bytes);
    DestinationString->Length = Bytes;
    /* Like Windows, terminate the copy when there is room for it. */
    if (Bytes + sizeof(WCHAR) <= DestinationString->MaximumLength) {
        DestinationString->Buffer[Bytes / sizeof(WCHAR)] = UNICODE_NULL;
    }
}

LONG NTAPI RtlCompareUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2, BOOLEAN CaseInSensitive)
{
    USHORT Units1 = String1->Length / sizeof(WCHAR);
    USHORT Units2 = String2->Length / sizeof(WCHAR);
    USHORT Common = Units1 < Units2 ? Units1 : Units2;
    for (USHORT Index = 0; Index < Common; Index += 1) {
        WCHAR Left = String1->Buffer[Index];
        WCHAR Right = String2->Buffer[Index];
        if (CaseInSensitive) {
            Left = Upcase(Left);
            Right = Upcase(Right);
        }
        if (Left != Right) {
            return (LONG)Left - (LONG)Right;
        }
    }
    return (LONG)Units1 - (LONG)Units2;
}

BOOLEAN NTAPI RtlEqualUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2, BOOLEAN CaseInSensitive)
{
    if (String1->Length != String2->Length) {
        return FALSE;
    }
    return (BOOLEAN)(RtlCompareUnicodeString(String1, String2, CaseInSensitive) == 0);
}

BOOLEAN NTAPI RtlPrefixUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2, BOOLEAN CaseInSensitive)
{
    if (String1->Length > String2->Length) {
        return FALSE;
    }
    UNICODE_STRING Head = *String2;
    Head.Length = String1->Length;
    return (BOOLEAN)(RtlCompareUnicodeString(String1, &Head, CaseInSensitive) == 0);
}

WCHAR NTAPI RtlUpcaseUnicodeChar(WCHAR SourceCharacter)
{
    return Upcase(SourceCharacter);
}

NTSTATUS NTAPI RtlAppendUnicodeStringToString(PUNICODE_STRING Destination, PCUNICODE_STRING Source)
{
    if (Source->Length == 0) {
        return STATUS_SUCCESS;
    }
    if ((ULONG)Destination->Length + Source->Length > Destination->MaximumLength) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    memmove((PUCHAR)Destination->Buffer + Destination->Length, Source->Buffer, Source->Length);
    Destination->Length = (USHORT)(Destination->Length + Source->Length);
    if ((ULONG)Destination->Length + sizeof(WCHAR) <= Destination->MaximumLength) {
        Destination->Buffer[Destination->Length / sizeof(WCHAR)] = UNICODE_NULL;
    }
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI RtlGetVersion(PRTL_OSVERSIONINFOW Version)
{
    EMU_INJECT_STATUS("RtlGetVersion");
    if (Version->dwOSVersionInfoSize != sizeof(RTL_OSVERSIONINFOW) &&
        Version->dwOSVersionInfoSize != sizeof(RTL_OSVERSIONINFOEXW)) {
        return STATUS_INVALID_PARAMETER;
    }
    const OsVersion &Current = TheOsVersion();
    Version->dwMajorVersion = Current.Major;
    Version->dwMinorVersion = Current.Minor;
    Version->dwBuildNumber = Current.Build;
    Version->dwPlatformId = 2;  // VER_PLATFORM_WIN32_NT
    memset(Version->szCSDVersion, 0, sizeof(Version->szCSDVersion));
    if (Version->dwOSVersionInfoSize == sizeof(RTL_OSVERSIONINFOEXW)) {
        auto Extended = (PRTL_OSVERSIONINFOEXW)Version;
        Extended->wServicePackMajor = 0;
        Extended->wServicePackMinor = 0;
        Extended->wSuiteMask = 0;
        Extended->wProductType = 1;  // VER_NT_WORKSTATION
        Extended->wReserved = 0;
    }
    return STATUS_SUCCESS;
}

/* ---------------------------------------------------------------------------
 * Security identifiers, access-control lists and descriptors, with the
 * binary layouts and checks of the Windows run-time library.
 * ------------------------------------------------------------------------- */
BOOLEAN NTAPI RtlValidSid(PSID Sid)
{
    auto Value = (PISID)Sid;
    return (BOOLEAN)(Value != NULL && Value->Revision == SID_REVISION &&
                     Value->SubAuthorityCount <= SID_MAX_SUB_AUTHORITIES);
}

ULONG NTAPI RtlLengthSid(PSID Sid)
{
    return (ULONG)(FIELD_OFFSET(SID, SubAuthority) + ((PISID)Sid)->SubAuthorityCount * sizeof(ULONG));
}

BOOLEAN NTAPI RtlEqualSid(PSID Sid1, PSID Sid2)
{
    ULONG Length = RtlLengthSid(Sid1);
    return (BOOLEAN)(Length == RtlLengthSid(Sid2) && memcmp(Sid1, Sid2, Length) == 0);
}

NTSTATUS NTAPI RtlCreateAcl(PACL Acl, ULONG AclLength, ULONG AclRevision)
{
    EMU_INJECT_STATUS("RtlCreateAcl");
    if (AclLength < sizeof(ACL)) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    if (AclRevision < MIN_ACL_REVISION || AclRevision > MAX_ACL_REVISION || AclLength > MAXUSHORT) {
        return STATUS_INVALID_PARAMETER;
    }
    memset(Acl, 0, sizeof(ACL));
    Acl->AclRevision = (UCHAR)AclRevision;
    Acl->AclSize = (USHORT)(AclLength & ~3u);
    Acl->AceCount = 0;
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI RtlAddAccessAllowedAce(PACL Acl, ULONG AceRevision, ACCESS_MASK AccessMask, PSID Sid)
{
    EMU_INJECT_STATUS("RtlAddAccessAllowedAce");
    if (!RtlValidSid(Sid)) {
        return STATUS_INVALID_SID;
    }
    if (Acl->AclRevision < MIN_ACL_REVISION || Acl->AclRevision > MAX_ACL_REVISION ||
        AceRevision < MIN_ACL_REVISION || AceRevision > MAX_ACL_REVISION) {
        return STATUS_REVISION_MISMATCH;
    }
    /* Find the end of the ACEs already present. */
    ULONG Used = sizeof(ACL);
    for (USHORT Index = 0; Index < Acl->AceCount; Index += 1) {
        auto Header = (PACE_HEADER)((PUCHAR)Acl + Used);
        if (Header->AceSize < sizeof(ACE_HEADER) || Used + Header->AceSize > Acl->AclSize) {
            return STATUS_INVALID_ACL;
        }
        Used += Header->AceSize;
    }
    ULONG SidLength = RtlLengthSid(Sid);
    ULONG AceSize = (ULONG)FIELD_OFFSET(ACCESS_ALLOWED_ACE, SidStart) + SidLength;
    if (Used + AceSize > Acl->AclSize) {
        return STATUS_ALLOTTED_SPACE_EXCEEDED;
    }
    auto Ace = (PACCESS_ALLOWED_ACE)((PUCHAR)Acl + Used);
    Ace->Header.AceType = ACCESS_ALLOWED_ACE_TYPE;
    Ace->Header.AceFlags = 0;
    Ace->Header.AceSize = (USHORT)AceSize;
    Ace->Mask = AccessMask;
    memcpy(&Ace->SidStart, Sid, SidLength);
    Acl->AceCount += 1;
    if (AceRevision > Acl->AclRevision) {
        Acl->AclRevision = (UCHAR)AceRevision;
    }
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI RtlCreateSecurityDescriptor(PSECURITY_DESCRIPTOR SecurityDescriptor, ULONG Revision)
{
    EMU_INJECT_STATUS("RtlCreateSecurityDescriptor");
    if (Revision != SECURITY_DESCRIPTOR_REVISION) {
        return STATUS_UNKNOWN_REVISION;
    }
    memset(SecurityDescriptor, 0, sizeof(SECURITY_DESCRIPTOR));
    ((PISECURITY_DESCRIPTOR)SecurityDescriptor)->Revision = SECURITY_DESCRIPTOR_REVISION;
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI RtlSetDaclSecurityDescriptor(PSECURITY_DESCRIPTOR SecurityDescriptor, BOOLEAN DaclPresent, PACL Dacl,
                                            BOOLEAN DaclDefaulted)
{
    EMU_INJECT_STATUS("RtlSetDaclSecurityDescriptor");
    auto Descriptor = (PISECURITY_DESCRIPTOR)SecurityDescriptor;
    if (Descriptor->Revision != SECURITY_DESCRIPTOR_REVISION) {
        return STATUS_UNKNOWN_REVISION;
    }
    if (Descriptor->Control & SE_SELF_RELATIVE) {
        return STATUS_INVALID_SECURITY_DESCR;
    }
    if (!DaclPresent) {
        Descriptor->Control &= (USHORT)~SE_DACL_PRESENT;
        return STATUS_SUCCESS;
    }
    Descriptor->Control |= SE_DACL_PRESENT;
    Descriptor->Dacl = Dacl;
    if (DaclDefaulted) {
        Descriptor->Control |= SE_DACL_DEFAULTED;
    } else {
        Descriptor->Control &= (USHORT)~SE_DACL_DEFAULTED;
    }
    return STATUS_SUCCESS;
}

BOOLEAN NTAPI RtlValidSecurityDescriptor(PSECURITY_DESCRIPTOR SecurityDescriptor)
{
    auto Descriptor = (PISECURITY_DESCRIPTOR)SecurityDescriptor;
    if (Descriptor == NULL || Descriptor->Revision != SECURITY_DESCRIPTOR_REVISION) {
        return FALSE;
    }
    if ((Descriptor->Control & SE_DACL_PRESENT) && Descriptor->Dacl != NULL) {
        PACL Acl = Descriptor->Dacl;
        if (Acl->AclRevision < MIN_ACL_REVISION || Acl->AclRevision > MAX_ACL_REVISION) {
            return FALSE;
        }
    }
    return TRUE;
}

}  // extern "C"
