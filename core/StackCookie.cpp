/*
 * StackCookie.cpp - the stack-overrun cookie: its seeding at the image's
 * entry, before DriverEntry runs, and the stop when a protected function
 * finds its frame's copy overwritten.
 *
 * The compiler saves the cookie (mixed with the stack pointer) in the frame
 * of every function with a local array or a local whose address escapes,
 * and compares it before the function returns; a mismatch calls
 * __report_gsfailure.  The routines here run while the cookie changes, so
 * none of them is checked.
 */
#include "../include/Zentaflt.h"

ULONG_PTR __security_cookie = DEFAULT_SECURITY_COOKIE;

/*++

Routine Description:

    Folds one value into a seed: the value is XORed in and the result
    mixed so that every input bit reaches every output bit.

Arguments:

    Seed - The seed so far.
    Value - The value to fold in.

Return Value:

    The new seed.

--*/
DECLSPEC_SAFEBUFFERS static ULONG64
MixIntoSeed(_In_ ULONG64 Seed, _In_ ULONG64 Value)
{
    Seed ^= Value;
    Seed ^= Seed >> 30;
    Seed *= 0xBF58476D1CE4E5B9ULL;
    Seed ^= Seed >> 27;
    Seed *= 0x94D049BB133111EBULL;
    Seed ^= Seed >> 31;

    return Seed;
}

/*++

Routine Description:

    Seeds the cookie for this load, from what differs between loads and
    machines: the processor's time-stamp counter, the time since boot, the
    loading thread, the address the image was loaded at and the address of
    the loading thread's stack.  The top 16 bits are cleared; a result
    equal to the image's default value (or zero) is moved off it, so that a
    seeded cookie is never mistaken for an unseeded one.

    Runs before any protected function of the image, at PASSIVE_LEVEL.

Arguments:

    None.

Return Value:

    None.

--*/
DECLSPEC_SAFEBUFFERS EXTERN_C VOID
__security_init_cookie(VOID)
{
    ULONG64 Seed = 0;
    ULONG_PTR Cookie;

    Seed = MixIntoSeed(Seed, __rdtsc());
    Seed = MixIntoSeed(Seed, KeQueryInterruptTime());
    Seed = MixIntoSeed(Seed, (ULONG64)(ULONG_PTR)PsGetCurrentThreadId());
    Seed = MixIntoSeed(Seed, (ULONG64)(ULONG_PTR)&__security_cookie);
    Seed = MixIntoSeed(Seed, (ULONG64)(ULONG_PTR)&Seed);

    Cookie = (ULONG_PTR)Seed & SECURITY_COOKIE_MASK;
    if (Cookie == 0 || Cookie == DEFAULT_SECURITY_COOKIE) {
        Cookie = DEFAULT_SECURITY_COOKIE ^ ((ULONG_PTR)&__security_cookie & SECURITY_COOKIE_MASK) ^ 1;
    }

    __security_cookie = Cookie;
}

/*++

Routine Description:

    Stops the system: a protected function found the cookie in its frame
    overwritten, so its return address may be too.  Raises the fast fail
    FAST_FAIL_STACK_COOKIE_CHECK_FAILURE, which Windows 8 and later turn
    into bug check KERNEL_SECURITY_CHECK_FAILURE (earlier versions, without
    native fast fail, stop with UNEXPECTED_KERNEL_MODE_TRAP); it makes no
    call and uses nothing of the overrun stack.

Arguments:

    None.

Return Value:

    Does not return.

--*/
EXTERN_C DECLSPEC_NORETURN VOID
__report_gsfailure(VOID)
{
    __fastfail(FAST_FAIL_STACK_COOKIE_CHECK_FAILURE);
}

/*++

Routine Description:

    The image's entry point, which the I/O manager calls to start the
    driver: seeds the stack-overrun cookie, then calls DriverEntry, whose
    own code may be protected.

    Runs at PASSIVE_LEVEL in the system process.

Arguments:

    DriverObject - This driver's object.
    RegistryPath - The driver's service key.

Return Value:

    The status DriverEntry returns.

--*/
_IRQL_requires_max_(PASSIVE_LEVEL)
DECLSPEC_SAFEBUFFERS EXTERN_C NTSTATUS
GsDriverEntry(_In_ PDRIVER_OBJECT DriverObject, _In_ PUNICODE_STRING RegistryPath)
{
    __security_init_cookie();

    return DriverEntry(DriverObject, RegistryPath);
}
