/*
 * Port.cpp - filter communication ports: the named server port a filter
 * creates, with its security descriptor captured for the access check that
 * connecting clients meet.
 */
#include "FltMgr.h"

using namespace emu;

namespace {

NTSTATUS CaptureSecurity(PSECURITY_DESCRIPTOR Descriptor, CapturedSecurity *Captured)
{
    *Captured = CapturedSecurity();
    if (Descriptor == NULL) {
        return STATUS_SUCCESS;
    }
    if (!RtlValidSecurityDescriptor(Descriptor)) {
        return STATUS_INVALID_SECURITY_DESCR;
    }
    auto Absolute = (PISECURITY_DESCRIPTOR)Descriptor;
    if (Absolute->Control & SE_SELF_RELATIVE) {
        return STATUS_INVALID_SECURITY_DESCR;  // the emulation captures absolute descriptors only
    }
    Captured->Present = true;
    Captured->Control = Absolute->Control;
    Captured->HasOwner = Absolute->Owner != NULL;
    Captured->HasGroup = Absolute->Group != NULL;
    Captured->HasSacl = (Absolute->Control & SE_SACL_PRESENT) != 0;
    Captured->DaclPresent = (Absolute->Control & SE_DACL_PRESENT) != 0;
    if (!Captured->DaclPresent) {
        return STATUS_SUCCESS;
    }
    PACL Acl = Absolute->Dacl;
    if (Acl == NULL) {
        Captured->DaclNull = true;
        return STATUS_SUCCESS;
    }
    Captured->AclRevision = Acl->AclRevision;
    ULONG Offset = sizeof(ACL);
    for (USHORT Index = 0; Index < Acl->AceCount; Index += 1) {
        auto Header = (PACE_HEADER)((PUCHAR)Acl + Offset);
        if (Header->AceSize < sizeof(ACE_HEADER) || Offset + Header->AceSize > Acl->AclSize) {
            return STATUS_INVALID_ACL;
        }
        CapturedAce Ace;
        Ace.Type = Header->AceType;
        Ace.Mask = 0;
        if (Header->AceType == ACCESS_ALLOWED_ACE_TYPE || Header->AceType == ACCESS_DENIED_ACE_TYPE) {
            auto Allowed = (PACCESS_ALLOWED_ACE)Header;
            Ace.Mask = Allowed->Mask;
            auto Sid = (PUCHAR)&Allowed->SidStart;
            ULONG SidLength = Header->AceSize - (ULONG)FIELD_OFFSET(ACCESS_ALLOWED_ACE, SidStart);
            if (!RtlValidSid(Sid) || RtlLengthSid(Sid) > SidLength) {
                return STATUS_INVALID_ACL;
            }
            Ace.Sid.assign(Sid, Sid + RtlLengthSid(Sid));
        }
        Captured->Dacl.push_back(std::move(Ace));
        Offset += Header->AceSize;
    }
    return STATUS_SUCCESS;
}

}  // namespace

extern "C" {

NTSTATUS FLTAPI FltCreateCommunicationPort(PFLT_FILTER Filter, PFLT_PORT *ServerPort,
                                           POBJECT_ATTRIBUTES ObjectAttributes, PVOID ServerPortCookie,
                                           PFLT_CONNECT_NOTIFY ConnectNotifyCallback,
                                           PFLT_DISCONNECT_NOTIFY DisconnectNotifyCallback,
                                           PFLT_MESSAGE_NOTIFY MessageNotifyCallback, LONG MaxConnections)
{
    PAGED_CODE();
    EMU_INJECT_STATUS("FltCreateCommunicationPort");
    FilterManager &Manager = TheFilterManager();
    if (!Manager.IsFilter(Filter) || ServerPort == NULL || ObjectAttributes == NULL ||
        ObjectAttributes->Length != sizeof(OBJECT_ATTRIBUTES) || ConnectNotifyCallback == NULL ||
        DisconnectNotifyCallback == NULL || MaxConnections <= 0) {
        return STATUS_INVALID_PARAMETER;
    }
    PUNICODE_STRING Name = ObjectAttributes->ObjectName;
    if (Name == NULL || Name->Length == 0 || Name->Buffer == NULL || Name->Buffer[0] != L'\\' ||
        (ObjectAttributes->Attributes & ~(ULONG)OBJ_VALID_ATTRIBUTES) != 0) {
        return STATUS_OBJECT_NAME_INVALID;
    }
    auto Port = std::make_unique<_FLT_PORT>();
    NTSTATUS Status = CaptureSecurity(ObjectAttributes->SecurityDescriptor, &Port->Security);
    if (!NT_SUCCESS(Status)) {
        return Status;
    }
    Port->Server = true;
    Port->Filter = Filter;
    Port->Name.assign((const char16_t *)Name->Buffer, Name->Length / sizeof(WCHAR));
    Port->Attributes = ObjectAttributes->Attributes;
    Port->Cookie = ServerPortCookie;
    Port->Connect = ConnectNotifyCallback;
    Port->Disconnect = DisconnectNotifyCallback;
    Port->Message = MessageNotifyCallback;
    Port->MaxConnections = MaxConnections;
    std::lock_guard<std::mutex> Guard(Manager.Lock);
    for (const auto &Existing : Manager.Ports) {
        if (Existing->Server && !Existing->Closed && Existing->Name.size() == Port->Name.size()) {
            UNICODE_STRING Left = {(USHORT)(Existing->Name.size() * 2), (USHORT)(Existing->Name.size() * 2),
                                   (PWSTR)Existing->Name.data()};
            if (RtlEqualUnicodeString(&Left, Name, TRUE)) {
                return STATUS_OBJECT_NAME_COLLISION;
            }
        }
    }
    *ServerPort = Port.get();
    TheVerifier().OnCreate("communication port", Port.get(),
                           "server port " + Narrow(Port->Name));
    Manager.Ports.push_back(std::move(Port));
    return STATUS_SUCCESS;
}

VOID FLTAPI FltCloseCommunicationPort(PFLT_PORT ServerPort)
{
    PAGED_CODE();
    FilterManager &Manager = TheFilterManager();
    std::lock_guard<std::mutex> Guard(Manager.Lock);
    if (ServerPort == NULL || !TheVerifier().IsLive("communication port", ServerPort) || !ServerPort->Server) {
        RaiseBugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION, (ULONG_PTR)ServerPort,
                      "FltCloseCommunicationPort on a port that is not an open server port");
    }
    ServerPort->Closed = true;
    TheVerifier().OnDestroy("communication port", ServerPort);
}

}  // extern "C"
