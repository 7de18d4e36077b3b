/*
 * probe_driver.cpp - a tiny driver image for the self-test of the image
 * checks (windows/selftest/test_checks.py); never installed.
 *
 * windows/build.sh compiles it with the driver's exact flags, so it also
 * shows that __try/__except compile for Windows and leave a scope in the
 * unwind data.  It imports the filter manager's open-reparse-list routines,
 * which the filter does not call yet, so the check for them can be seen to
 * pass on a right image.  Built with PROBE_DIRECT_ACCESS, the guarded read
 * touches the caller's memory in the __try body itself: clang then drops
 * the handler, and the image checks must catch that.  Every probe is linked
 * with the driver's stack-cookie routines (core/StackCookie.cpp) and
 * entered at GsDriverEntry; probe-unprotected.sys is compiled without the
 * stack protector, so no function of it checks the cookie.
 *
 * The routines are declared here rather than taken from fltKernel.h, so the
 * probe keeps compiling whatever that header declares later.
 */
#include <ntifs.h>

extern "C" {
NTSTATUS NTAPI FltAddOpenReparseEntry(_In_ PVOID Filter, _In_ PVOID Data, _In_ PVOID OpenReparseEntry);
VOID NTAPI FltRemoveOpenReparseEntry(_In_ PVOID Filter, _In_ PVOID Data, _In_ PVOID OpenReparseEntry);
DRIVER_INITIALIZE DriverEntry;
}

typedef NTSTATUS (*PROBE_READ)(_In_ const ULONG *Source, _Out_ PULONG Value);

#ifndef PROBE_DIRECT_ACCESS
/* Copies memory that may fault; kept out of line so that the fault is
   raised inside a call made from the __try body. */
__declspec(noinline) static VOID
CopyFromCaller(_Out_writes_bytes_(Length) PVOID Destination, _In_reads_bytes_(Length) const VOID *Source,
               _In_ SIZE_T Length)
{
    RtlCopyMemory(Destination, Source, Length);
}
#endif

/* Reads one ULONG of caller memory; a fault becomes the returned status. */
__declspec(noinline) static NTSTATUS
ReadCallerValue(_In_ const ULONG *Source, _Out_ PULONG Value)
{
    NTSTATUS Status = STATUS_SUCCESS;

    __try {
#ifdef PROBE_DIRECT_ACCESS
        *Value = *(const volatile ULONG *)Source;
#else
        ProbeForRead((PVOID)Source, sizeof(*Source), sizeof(ULONG));
        CopyFromCaller(Value, Source, sizeof(*Value));
#endif
    } __except (Status = GetExceptionCode(), EXCEPTION_EXECUTE_HANDLER) {
        *Value = 0;
    }

    return Status;
}

/* An absolute address in data, so that the image carries relocations. */
static PROBE_READ volatile ProbeRead = ReadCallerValue;

EXTERN_C NTSTATUS
DriverEntry(_In_ PDRIVER_OBJECT DriverObject, _In_ PUNICODE_STRING RegistryPath)
{
    ULONG Value = 0;
    NTSTATUS Status;

    Status = ProbeRead((const ULONG *)RegistryPath->Buffer, &Value);
    if (NT_SUCCESS(Status) && Value == 0) {
        Status = FltAddOpenReparseEntry(DriverObject, NULL, NULL);
        FltRemoveOpenReparseEntry(DriverObject, NULL, NULL);
    }

    return Status;
}
