/*
 * Statuses.h - NTSTATUS values the filter uses that older driver-kit
 * headers (the mingw-w64 ones among them) do not define.  Values are those
 * of the Windows headers; a kit that has them keeps its own definition.
 */
#pragma once

/* The cloud files provider (the service) is not connected. */
#ifndef STATUS_CLOUD_FILE_PROVIDER_NOT_RUNNING
#define STATUS_CLOUD_FILE_PROVIDER_NOT_RUNNING ((NTSTATUS)0xC000CF01L)
#endif

/* The file is a placeholder outside every connected sync root. */
#ifndef STATUS_CLOUD_FILE_NOT_UNDER_SYNC_ROOT
#define STATUS_CLOUD_FILE_NOT_UNDER_SYNC_ROOT ((NTSTATUS)0xC000CF13L)
#endif

/* The provider's connection is being torn down. */
#ifndef STATUS_CLOUD_FILE_PROVIDER_TERMINATED
#define STATUS_CLOUD_FILE_PROVIDER_TERMINATED ((NTSTATUS)0xC000CF1DL)
#endif
