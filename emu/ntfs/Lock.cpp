/*
 * Lock.cpp - IRP_MJ_LOCK_CONTROL.
 *
 * Byte-range locks are accepted and released without being kept: no lock
 * conflicts with another yet, so a lock always succeeds and an unlock of a
 * range never locked is not refused.
 */
#include "Ntfs.h"

namespace emu {

NTSTATUS NtfsLockControl(IoRequest *Request)
{
    switch (Request->Iopb.MinorFunction) {
    case IRP_MN_LOCK:
    case IRP_MN_UNLOCK_SINGLE:
    case IRP_MN_UNLOCK_ALL:
    case IRP_MN_UNLOCK_ALL_BY_KEY:
        return STATUS_SUCCESS;
    default:
        return STATUS_INVALID_DEVICE_REQUEST;
    }
}

}  // namespace emu
