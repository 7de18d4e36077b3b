/*
 * Status reporting: failures printed only with the print switch, a break
 * only with the break switch and a matching status, the status returned
 * unchanged.
 */
#include "Harness.h"

using namespace zentaflt_test;

namespace {

class ReportStatusTest : public FilterTest {
protected:
    void SetUp() override
    {
        FilterTest::SetUp();
        ASSERT_EQ(Load(), STATUS_SUCCESS);
    }

    void Switches(ULONG Flags, NTSTATUS BreakStatus)
    {
        FilterGlobals.DebugFlags = Flags;
        FilterGlobals.DebugBreakStatus = BreakStatus;
    }

    std::string Printed() { return System->KernelDebugger().OutputText(); }
    uint64_t Breaks() { return System->KernelDebugger().BreakpointCount(); }
};

TEST_F(ReportStatusTest, SilentWhenTheSwitchesAreOff)
{
    Switches(0, STATUS_ACCESS_DENIED);
    EXPECT_EQ(ReportStatus(STATUS_ACCESS_DENIED), STATUS_ACCESS_DENIED);
    EXPECT_EQ(ReportStatus(STATUS_BUFFER_OVERFLOW), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(Printed(), "");
    EXPECT_EQ(Breaks(), 0u);
}

TEST_F(ReportStatusTest, PrintsFailuresOnlyWithThePrintSwitch)
{
    Switches(DebugFlagPrintFailures, 0);
    EXPECT_EQ(ReportStatus(STATUS_ACCESS_DENIED), STATUS_ACCESS_DENIED);
    EXPECT_EQ(ReportStatus((NTSTATUS)0xC000CF01), (NTSTATUS)0xC000CF01);
    /* Warnings are negative, so they count as failures. */
    EXPECT_EQ(ReportStatus(STATUS_BUFFER_OVERFLOW), STATUS_BUFFER_OVERFLOW);
    /* Success, information and success-class codes such as 0x102 are not. */
    EXPECT_EQ(ReportStatus(STATUS_SUCCESS), STATUS_SUCCESS);
    EXPECT_EQ(ReportStatus(STATUS_TIMEOUT), STATUS_TIMEOUT);
    EXPECT_EQ(ReportStatus(STATUS_OBJECT_NAME_EXISTS), STATUS_OBJECT_NAME_EXISTS);

    EXPECT_EQ(Printed(), "Zentaflt: 0xc0000022\nZentaflt: 0xc000cf01\nZentaflt: 0x80000005\n");
    for (const auto &Line : System->KernelDebugger().Output()) {
        EXPECT_EQ(Line.ComponentId, 93u);
        EXPECT_EQ(Line.Level, 0u);
    }
    EXPECT_EQ(Breaks(), 0u);
}

TEST_F(ReportStatusTest, BreaksOnlyOnTheChosenStatus)
{
    Switches(DebugFlagBreakOnStatus, STATUS_SHARING_VIOLATION);
    ReportStatus(STATUS_ACCESS_DENIED);
    EXPECT_EQ(Breaks(), 0u);
    EXPECT_EQ(ReportStatus(STATUS_SHARING_VIOLATION), STATUS_SHARING_VIOLATION);
    EXPECT_EQ(Breaks(), 1u);
    EXPECT_EQ(Printed(), "");

    /* The chosen status without the break switch does nothing. */
    Switches(0, STATUS_SHARING_VIOLATION);
    ReportStatus(STATUS_SHARING_VIOLATION);
    EXPECT_EQ(Breaks(), 1u);

    /* Other bits have no meaning. */
    Switches(0xFFFFFFFC, STATUS_SHARING_VIOLATION);
    ReportStatus(STATUS_SHARING_VIOLATION);
    EXPECT_EQ(Breaks(), 1u);
    EXPECT_EQ(Printed(), "");
}

TEST_F(ReportStatusTest, ZeroBreakStatusNeverBreaks)
{
    Switches(DebugFlagBreakOnStatus, 0);
    ReportStatus(STATUS_SUCCESS);
    ReportStatus(STATUS_ACCESS_DENIED);
    EXPECT_EQ(Breaks(), 0u);
}

TEST_F(ReportStatusTest, BothSwitchesPrintThenBreak)
{
    std::string PrintedAtBreak;
    System->KernelDebugger().SetBreakHook([&] { PrintedAtBreak = Printed(); });
    Switches(DebugFlagBreakOnStatus | DebugFlagPrintFailures, STATUS_NOT_FOUND);
    EXPECT_EQ(ReportStatus(STATUS_NOT_FOUND), STATUS_NOT_FOUND);
    EXPECT_EQ(Breaks(), 1u);
    EXPECT_EQ(PrintedAtBreak, "Zentaflt: 0xc0000225\n");
}

}  // namespace
