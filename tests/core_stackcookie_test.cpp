/*
 * The stack-overrun cookie: seeded by the image's entry point before
 * DriverEntry's own code runs, different on every load, and a mismatch
 * stops the system with the stack-cookie fast fail.
 */
#include "Harness.h"

using namespace zentaflt_test;

namespace {

void ExpectSeeded(ULONG_PTR Cookie)
{
    EXPECT_NE(Cookie, DEFAULT_SECURITY_COOKIE);
    EXPECT_NE(Cookie, 0u);
    EXPECT_EQ(Cookie & ~SECURITY_COOKIE_MASK, 0u) << std::hex << Cookie;
}

TEST_F(FilterTest, CookieIsSeededBeforeDriverEntryRuns)
{
    /* DriverEntry reports the failed registration, and the debug switch
       breaks there: the break shows the cookie as DriverEntry saw it. */
    ULONG_PTR CookieInDriverEntry = DEFAULT_SECURITY_COOKIE;
    System->KernelDebugger().SetBreakHook([&] { CookieInDriverEntry = __security_cookie; });
    System->Faults().Arm("FltRegisterFilter", STATUS_INSUFFICIENT_RESOURCES);

    EXPECT_EQ(Load(DebugFlagBreakOnStatus, STATUS_INSUFFICIENT_RESOURCES), STATUS_INSUFFICIENT_RESOURCES);

    EXPECT_EQ(System->KernelDebugger().BreakpointCount(), 1u);
    ExpectSeeded(CookieInDriverEntry);
    EXPECT_EQ(__security_cookie, CookieInDriverEntry);
}

TEST_F(FilterTest, EachLoadSeedsItsOwnCookie)
{
    ASSERT_EQ(Load(), STATUS_SUCCESS);
    ULONG_PTR First = __security_cookie;
    ExpectSeeded(First);
    ASSERT_EQ(System->UnloadDriver(0), STATUS_SUCCESS);

    ASSERT_EQ(Load(), STATUS_SUCCESS);
    ExpectSeeded(__security_cookie);
    EXPECT_NE(__security_cookie, First);
}

TEST_F(FilterTest, CookieIsSeededEvenWhenTheImageAlreadyHoldsASeed)
{
    /* Seeding again before any protected function ran is harmless; an
       image whose cookie a loader already set gets a fresh one all the
       same, never the default. */
    __security_cookie = 0x123456789ABCull;
    __security_init_cookie();
    ExpectSeeded(__security_cookie);
    EXPECT_NE(__security_cookie, 0x123456789ABCull);
}

TEST_F(FilterTest, CookieMismatchStopsTheSystemWithTheStackCookieFastFail)
{
    try {
        __report_gsfailure();
    } catch (const emu::BugCheck &Stop) {
        EXPECT_EQ(Stop.Code, emu::KERNEL_SECURITY_CHECK_FAILURE);
        EXPECT_EQ(Stop.Parameter1, (ULONG_PTR)FAST_FAIL_STACK_COOKIE_CHECK_FAILURE);
    }
    std::vector<std::string> Reports = System->Leaks();
    ASSERT_EQ(Reports.size(), 1u);
    EXPECT_NE(Reports[0].find("bug check 0x139 (0x2)"), std::string::npos) << Reports[0];
    System->Accounting().Reset();
}

}  // namespace
