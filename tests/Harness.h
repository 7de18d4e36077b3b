/*
 * Harness.h - the test fixture: one emulated system per test, the filter
 * loaded into it as a fresh image, and the verifier's accounting checked
 * when the test ends.
 */
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "DriverLockOrder.h"
#include "EmuTesting.h"
#include "Zentaflt.h"

namespace zentaflt_test {

inline std::string Narrow(const WCHAR *Text, size_t Units)
{
    std::string Out;
    for (size_t Index = 0; Index < Units; Index += 1) {
        Out += (char)Text[Index];
    }
    return Out;
}

inline std::string Narrow(const UNICODE_STRING &Text)
{
    return Narrow(Text.Buffer, Text.Length / sizeof(WCHAR));
}

inline std::string Narrow(const std::u16string &Text)
{
    return Narrow((const WCHAR *)Text.data(), Text.size());
}

class FilterTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        System = std::make_unique<emu::System>();
        DeclareDriverLockOrder(*System);
    }

    void TearDown() override
    {
        if (System->DriverLoaded()) {
            EXPECT_EQ(System->UnloadDriver(0), STATUS_SUCCESS);
        }
        ExpectNothingLeft();
        System.reset();
    }

    /* Loads the filter as a freshly loaded image: its global record is zero,
       except for debug switches a debugger may have set before DriverEntry
       ran, and its stack cookie holds the image's default value.  The
       system calls the image's entry point, which seeds the cookie and then
       calls DriverEntry. */
    NTSTATUS Load(ULONG DebugFlags = 0, NTSTATUS DebugBreakStatus = 0)
    {
        RtlZeroMemory(&FilterGlobals, sizeof(FilterGlobals));
        FilterGlobals.DebugFlags = DebugFlags;
        FilterGlobals.DebugBreakStatus = DebugBreakStatus;
        __security_cookie = DEFAULT_SECURITY_COOKIE;
        return System->LoadDriver(GsDriverEntry);
    }

    /* Fails the test for anything still allocated, live or reported. */
    void ExpectNothingLeft()
    {
        std::string Report;
        for (const std::string &Leak : System->Leaks()) {
            Report += "\n  " + Leak;
        }
        if (!Report.empty()) {
            ADD_FAILURE() << "left behind:" << Report;
        }
    }

    /* The filter's instance context on a volume, referenced; null when the
       filter is not attached. */
    PINSTANCE_CONTEXT InstanceContextOn(PFLT_VOLUME Volume)
    {
        PFLT_INSTANCE Instance = System->InstanceOn(Volume);
        PFLT_CONTEXT Context = NULL;
        if (Instance == NULL || !NT_SUCCESS(FltGetInstanceContext(Instance, &Context))) {
            return NULL;
        }
        return (PINSTANCE_CONTEXT)Context;
    }

    std::unique_ptr<emu::System> System;
};

}  // namespace zentaflt_test
