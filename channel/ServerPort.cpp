/*
 * ServerPort.cpp - the communication port the service connects to.
 */
#include "../include/Zentaflt.h"

/* One access-allowed ACE for the world SID fits with room to spare. */
#define PortDaclSize 88

/*++

Routine Description:

    Creates the filter's listening communication port, open to everyone:
    its DACL grants GENERIC_ALL to the world SID.  Any number of
    connections may be open at once, one per sync root.  The descriptor and
    DACL live on the stack; the filter manager needs them only during the
    call.

Arguments:

    None.  FilterGlobals.Filter must be registered.

Return Value:

    STATUS_SUCCESS with FilterGlobals.ServerPort set; the status of a failing
    ACL or descriptor routine, not reported; or the status of
    FltCreateCommunicationPort, reported.

--*/
_IRQL_requires_max_(PASSIVE_LEVEL)
NTSTATUS
CreateServerPort(VOID)
{
    ULONG DaclBuffer[PortDaclSize / sizeof(ULONG)];
    PACL Dacl = (PACL)DaclBuffer;
    SECURITY_DESCRIPTOR Descriptor;
    OBJECT_ATTRIBUTES Attributes;
    UNICODE_STRING PortName;
    NTSTATUS Status;

    PAGED_CODE();

    Status = RtlCreateAcl(Dacl, PortDaclSize, ACL_REVISION);
    if (!NT_SUCCESS(Status)) {
        goto Cleanup;
    }

    Status = RtlAddAccessAllowedAce(Dacl, ACL_REVISION, GENERIC_ALL, SeExports->SeWorldSid);
    if (!NT_SUCCESS(Status)) {
        goto Cleanup;
    }

    Status = RtlCreateSecurityDescriptor(&Descriptor, SECURITY_DESCRIPTOR_REVISION);
    if (!NT_SUCCESS(Status)) {
        goto Cleanup;
    }

    Status = RtlSetDaclSecurityDescriptor(&Descriptor, TRUE, Dacl, FALSE);
    if (!NT_SUCCESS(Status)) {
        goto Cleanup;
    }

    RtlInitUnicodeString(&PortName, ServerPortName);
    InitializeObjectAttributes(&Attributes, &PortName, OBJ_KERNEL_HANDLE | OBJ_CASE_INSENSITIVE, NULL, &Descriptor);

    Status = FltCreateCommunicationPort(FilterGlobals.Filter, &FilterGlobals.ServerPort, &Attributes, NULL,
                                        PortConnect, PortDisconnect, PortMessage, MAXLONG);
    if (!NT_SUCCESS(Status)) {
        ReportStatus(Status);
    }

Cleanup:
    return Status;
}

/*++

Routine Description:

    Closes the listening port, if one is open.  Existing connections are
    not touched; each ends through its own disconnect notification.

Arguments:

    None.

Return Value:

    None.

--*/
_IRQL_requires_max_(PASSIVE_LEVEL)
VOID
CloseServerPort(VOID)
{
    PAGED_CODE();

    if (FilterGlobals.ServerPort != NULL) {
        FltCloseCommunicationPort(FilterGlobals.ServerPort);
        FilterGlobals.ServerPort = NULL;
    }
}
