/*
 * Zentaflt.h - the driver's routines, by subsystem.  Every driver source
 * includes this header.
 */
#pragma once

#include <fltKernel.h>

#include "FilterGlobals.h"
#include "InstanceContext.h"
#include "ServiceProtocol.h"
#include "StreamContext.h"

/* ------------------------------------------------------------------------
 * Filter core.
 * ---------------------------------------------------------------------- */
EXTERN_C DRIVER_INITIALIZE DriverEntry;

NTSTATUS FLTAPI FilterUnload(_In_ FLT_FILTER_UNLOAD_FLAGS Flags);

NTSTATUS FLTAPI InstanceQueryTeardown(_In_ PCFLT_RELATED_OBJECTS FltObjects,
                                      _In_ FLT_INSTANCE_QUERY_TEARDOWN_FLAGS Flags);

NTSTATUS FLTAPI InstanceSetup(_In_ PCFLT_RELATED_OBJECTS FltObjects, _In_ FLT_INSTANCE_SETUP_FLAGS Flags,
                              _In_ DEVICE_TYPE VolumeDeviceType, _In_ FLT_FILESYSTEM_TYPE VolumeFilesystemType);

NTSTATUS BuildVolumePath(_In_ PFLT_VOLUME Volume, _Inout_ PUNICODE_STRING GuidName, _Inout_ PUNICODE_STRING Path);

NTSTATUS ReportStatus(_In_ NTSTATUS Status);

/* The registration record handed to FltRegisterFilter. */
extern const FLT_REGISTRATION FilterRegistration;

/* ------------------------------------------------------------------------
 * Service channel.
 * ---------------------------------------------------------------------- */
NTSTATUS CreateServerPort(VOID);

VOID CloseServerPort(VOID);

NTSTATUS FLTAPI PortConnect(_In_ PFLT_PORT ClientPort, _In_opt_ PVOID ServerPortCookie,
                            _In_reads_bytes_opt_(SizeOfContext) PVOID ConnectionContext, _In_ ULONG SizeOfContext,
                            _Outptr_result_maybenull_ PVOID *ConnectionCookie);

VOID FLTAPI PortDisconnect(_In_opt_ PVOID ConnectionCookie);

NTSTATUS FLTAPI PortMessage(_In_opt_ PVOID ConnectionCookie, _In_reads_bytes_opt_(InputBufferLength) PVOID InputBuffer,
                            _In_ ULONG InputBufferLength,
                            _Out_writes_bytes_to_opt_(OutputBufferLength, *ReturnOutputBufferLength) PVOID OutputBuffer,
                            _In_ ULONG OutputBufferLength, _Out_ PULONG ReturnOutputBufferLength);

/* ------------------------------------------------------------------------
 * Operation interception.
 * ---------------------------------------------------------------------- */
extern const FLT_OPERATION_REGISTRATION OperationRegistration[];

/* ------------------------------------------------------------------------
 * Placeholder files.
 * ---------------------------------------------------------------------- */
VOID FLTAPI StreamContextCleanup(_In_ PFLT_CONTEXT Context, _In_ FLT_CONTEXT_TYPE ContextType);
