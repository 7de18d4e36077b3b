/*
 * DeviceControl.cpp - device controls: the service's placeholder control
 * request (PlaceholderControlCode) is carried out here and never reaches
 * the file system; every other device control passes untouched.
 *
 * The request is METHOD_BUFFERED, so its input arrives in a system buffer
 * the I/O manager copied from the service: kernel memory, read without an
 * exception handler.  The command runs on the service's thread and
 * completes before the pre-operation returns.
 */
#include "../include/Zentaflt.h"

/*++

Routine Description:

    Pre-operation of IRP_MJ_DEVICE_CONTROL: hands the placeholder control
    request to HandlePlaceholderControl and lets every other control code
    go on to the file system.

Arguments:

    Data - The device-control operation.
    FltObjects - Passed on.
    CompletionContext - Set to null; there is no post-operation.

Return Value:

    FLT_PREOP_SUCCESS_NO_CALLBACK for any other code; otherwise what
    HandlePlaceholderControl returns.

IRQL:

    PASSIVE_LEVEL.

--*/
_IRQL_requires_max_(PASSIVE_LEVEL)
FLT_PREOP_CALLBACK_STATUS FLTAPI
PreDeviceControl(_Inout_ PFLT_CALLBACK_DATA Data, _In_ PCFLT_RELATED_OBJECTS FltObjects,
                 _Flt_CompletionContext_Outptr_ PVOID *CompletionContext)
{
    PAGED_CODE();

    *CompletionContext = NULL;

    /* The code sits at the same place in the IRP's and the fast I/O's
       parameters. */
    if (Data->Iopb->Parameters.DeviceIoControl.Common.IoControlCode != PlaceholderControlCode) {
        return FLT_PREOP_SUCCESS_NO_CALLBACK;
    }

    return HandlePlaceholderControl(Data, FltObjects, CompletionContext);
}

/*++

Routine Description:

    Carries out one placeholder control request.  Sent as fast I/O it is
    refused as fast I/O, so that the I/O manager sends it again as an IRP
    with its system buffer.  As an IRP its input is checked for the least
    length and dispatched by its command to PlaceholderCreate,
    PlaceholderUpdate or PlaceholderConvert, with the payload (the input
    past the 8-byte header) and its length; the request is completed with
    the command's status and no output.

Arguments:

    Data - The device-control operation with PlaceholderControlCode.
    FltObjects - Unused; the commands take the target instance and file
                 object from Data.
    CompletionContext - Set to null.

Return Value:

    FLT_PREOP_DISALLOW_FASTIO - a fast I/O operation.
    FLT_PREOP_COMPLETE - an IRP, completed with Information 0 and:
        STATUS_BUFFER_TOO_SMALL - fewer than 1120 input bytes;
        STATUS_INVALID_PARAMETER_1 - an unknown command;
        the command's status otherwise.

IRQL:

    PASSIVE_LEVEL, on the service's thread.

--*/
_IRQL_requires_max_(PASSIVE_LEVEL)
FLT_PREOP_CALLBACK_STATUS FLTAPI
HandlePlaceholderControl(_Inout_ PFLT_CALLBACK_DATA Data, _In_ PCFLT_RELATED_OBJECTS FltObjects,
                         _Flt_CompletionContext_Outptr_ PVOID *CompletionContext)
{
    PPLACEHOLDER_REQUEST Request;
    ULONG InputLength;
    PUCHAR Payload;
    ULONG PayloadLength;
    NTSTATUS Status;

    UNREFERENCED_PARAMETER(FltObjects);
    PAGED_CODE();

    *CompletionContext = NULL;

    if (FLT_IS_FASTIO_OPERATION(Data)) {
        Data->IoStatus.Status = STATUS_SUCCESS;
        Data->IoStatus.Information = 0;
        return FLT_PREOP_DISALLOW_FASTIO;
    }

    InputLength = Data->Iopb->Parameters.DeviceIoControl.Buffered.InputBufferLength;
    Request = (PPLACEHOLDER_REQUEST)Data->Iopb->Parameters.DeviceIoControl.Buffered.SystemBuffer;

    if (InputLength < PlaceholderRequestMinimumLength || Request == NULL) {
        Status = ReportStatus(STATUS_BUFFER_TOO_SMALL);
        goto Cleanup;
    }

    Payload = (PUCHAR)Request + PlaceholderRequestHeaderLength;
    PayloadLength = InputLength - PlaceholderRequestHeaderLength;

    switch (Request->Command) {
    case PlaceholderCommandCreate:
        Status = PlaceholderCreate(Data, Payload, PayloadLength);
        break;

    case PlaceholderCommandUpdate:
        Status = PlaceholderUpdate(Data, Payload, PayloadLength);
        break;

    case PlaceholderCommandConvert:
        Status = PlaceholderConvert(Data, Payload, PayloadLength);
        break;

    default:
        Status = ReportStatus(STATUS_INVALID_PARAMETER_1);
        break;
    }

Cleanup:
    Data->IoStatus.Information = 0;
    Data->IoStatus.Status = Status;
    return FLT_PREOP_COMPLETE;
}
