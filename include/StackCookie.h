/*
 * StackCookie.h - the stack-overrun cookie: the value a protected function
 * keeps in its frame and compares on return, the image entry that seeds it
 * before DriverEntry runs, and the routine that stops the system when a
 * frame's copy no longer matches.
 */
#pragma once

#include <fltKernel.h>

/* The cookie's value in the image file.  A cookie that still holds it after
   the entry ran was never seeded. */
#define DEFAULT_SECURITY_COOKIE ((ULONG_PTR)0x00002B992DDFA232ULL)

/* A seeded cookie keeps its top 16 bits zero, so that it holds zero bytes a
   string copy running over a frame cannot write back in order. */
#define SECURITY_COOKIE_MASK ((ULONG_PTR)0x0000FFFFFFFFFFFFULL)

/* The cookie every protected function compares its frame's copy with. */
EXTERN_C ULONG_PTR __security_cookie;

EXTERN_C VOID __security_init_cookie(VOID);

EXTERN_C DECLSPEC_NORETURN VOID __report_gsfailure(VOID);

/* The image's entry point: seeds the cookie, then calls DriverEntry. */
EXTERN_C DRIVER_INITIALIZE GsDriverEntry;
