/*
 * User.h - what the emulated user-mode libraries share, and what tests
 * may ask of them.
 */
#pragma once

#include <ntdef.h>
#include <ntstatus.h>

namespace emu::user {

/* The Win32 error the user-mode libraries report for an NTSTATUS, as
   RtlNtStatusToDosError maps it. */
ULONG Win32ErrorOf(NTSTATUS Status);

/* The NTSTATUS behind the calling thread's last user-mode library call,
   so a test can tell apart failures that share one Win32 error. */
void NoteStatus(NTSTATUS Status);
NTSTATUS LastStatus();

}  // namespace emu::user
