/*
 * Port notifications called the way the filter manager calls them, with the
 * service's buffers: validation of commands and connection contexts before
 * anything is run.  Connections made through the port itself, and commands
 * that take effect, are exercised end to end elsewhere.
 */
#include "Harness.h"
#include "SyncRootHelper.h"

#include <memory>
#include <vector>

using namespace zentaflt_test;

namespace {

/* Where nothing is ever mapped: the first 64 KiB of an address space. */
PVOID const Unreadable = (PVOID)(ULONG_PTR)0x1000;

constexpr UCHAR Untouched = 0xAB;

constexpr ULONG TestTag = 0x74736554;  // 'Test'

class PortMessageTest : public FilterTest {
protected:
    void SetUp() override
    {
        FilterTest::SetUp();
        ASSERT_EQ(Load(DebugFlagPrintFailures), STATUS_SUCCESS);

        /* A connection's record with no pending request. */
        Record = std::make_unique<HandBuiltRoot>();
        ASSERT_EQ(Record->LockStatus, STATUS_SUCCESS);

        Input.assign(64, 0);
        Output.assign(16, Untouched);
    }

    void TearDown() override
    {
        Record.reset();
        FilterTest::TearDown();
    }

    void Command(ULONG Code, ULONG64 RequestId)
    {
        SERVICE_COMMAND Command;
        RtlZeroMemory(&Command, sizeof(Command));
        Command.Command = Code;
        Command.TransferData.RequestId = RequestId;
        Command.TransferData.Length = 4096;
        Command.TransferData.BufferAddress = (ULONG64)(ULONG_PTR)Input.data();
        RtlCopyMemory(Input.data(), &Command, sizeof(Command));
    }

    NTSTATUS Send(PVOID In, ULONG InLength, PVOID Out, ULONG OutLength)
    {
        Returned = 0xFFFFFFFF;
        return PortMessage(&Record->Root, In, InLength, Out, OutLength, &Returned);
    }

    bool OutputUntouched() const
    {
        for (UCHAR Byte : Output) {
            if (Byte != Untouched) {
                return false;
            }
        }
        return true;
    }

    std::string Printed() { return System->KernelDebugger().OutputText(); }

    std::unique_ptr<HandBuiltRoot> Record;
    std::vector<UCHAR> Input;
    std::vector<UCHAR> Output;
    ULONG Returned = 0;
};

TEST_F(PortMessageTest, MissingBuffersAreInvalidParameters)
{
    Command(CommandCompleteHydration, 0);
    EXPECT_EQ(Send(NULL, 40, Output.data(), 4), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Send(Input.data(), 40, NULL, 4), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Send(NULL, 0, NULL, 0), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Returned, 0u);
    EXPECT_TRUE(OutputUntouched());
    EXPECT_EQ(Printed(), "Zentaflt: 0xc000000d\nZentaflt: 0xc000000d\nZentaflt: 0xc000000d\n");
}

TEST_F(PortMessageTest, ShortBuffersAreRefusedBeforeTheInputIsRead)
{
    /* Were the input read, the unreadable address would fault instead. */
    EXPECT_EQ(Send(Unreadable, 39, Output.data(), 4), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Send(Unreadable, 40, Output.data(), 3), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Send(Unreadable, 0, Output.data(), 16), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Send(Unreadable, 40, Output.data(), 0), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Returned, 0u);
    EXPECT_TRUE(OutputUntouched());
    EXPECT_EQ((ULONG)STATUS_INVALID_PARAMETER, 0xC000000Du);
}

TEST_F(PortMessageTest, UnknownCommandsAreRefusedWithTheOutputUntouched)
{
    for (ULONG Code : {0u, 1298u, 1301u, 0xFFFFFFFFu}) {
        Command(Code, 0);
        /* Exactly 40 bytes in and 4 out are enough to reach the dispatch. */
        EXPECT_EQ(Send(Input.data(), 40, Output.data(), 4), STATUS_INVALID_DEVICE_REQUEST) << Code;
        EXPECT_EQ(Returned, 0u);
    }
    EXPECT_TRUE(OutputUntouched());
    EXPECT_EQ((ULONG)STATUS_INVALID_DEVICE_REQUEST, 0xC0000010u);
    EXPECT_EQ(Printed(), "Zentaflt: 0xc0000010\nZentaflt: 0xc0000010\nZentaflt: 0xc0000010\nZentaflt: 0xc0000010\n");
}

TEST_F(PortMessageTest, OnlyTheFirstFortyBytesAreTheCommand)
{
    /* A longer input is accepted; what follows the command is not looked
       at. */
    Command(1301, 0);
    std::fill(Input.begin() + 40, Input.end(), 0xEE);
    EXPECT_EQ(Send(Input.data(), (ULONG)Input.size(), Output.data(), (ULONG)Output.size()),
              STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_TRUE(OutputUntouched());
}

TEST_F(PortMessageTest, AFailingHandlerLeavesTheOutputUnwritten)
{
    /* No request has ever been registered under this record, so both
       handlers fail as for an id that is not pending. */
    Command(CommandTransferData, 0);
    EXPECT_EQ(Send(Input.data(), 40, Output.data(), 4), STATUS_NOT_FOUND);
    EXPECT_EQ(Returned, 0u);
    Command(CommandCompleteHydration, 7);
    EXPECT_EQ(Send(Input.data(), 40, Output.data(), 16), STATUS_NOT_FOUND);
    EXPECT_EQ(Returned, 0u);
    EXPECT_TRUE(OutputUntouched());

    /* Each failure is reported by the handler and again on its way out. */
    EXPECT_EQ(Printed(), "Zentaflt: 0xc0000225\nZentaflt: 0xc0000225\nZentaflt: 0xc0000225\nZentaflt: 0xc0000225\n");
}

TEST_F(PortMessageTest, AnUnreadableCommandFailsWithTheFaultAndRunsNothing)
{
    EXPECT_EQ(Send(Unreadable, 40, Output.data(), 4), STATUS_ACCESS_VIOLATION);
    EXPECT_EQ(Returned, 0u);
    EXPECT_TRUE(OutputUntouched());
    /* Only the fault is reported: no handler ran. */
    EXPECT_EQ(Printed(), "Zentaflt: 0xc0000005\n");
}

TEST_F(PortMessageTest, ACommandInKernelMemoryIsNotRead)
{
    /* A service cannot make the filter read kernel memory: pool is not
       user memory. */
    PVOID Pool = ExAllocatePoolWithTag(PagedPool, 64, TestTag);
    ASSERT_NE(Pool, nullptr);
    Command(CommandTransferData, 0);
    RtlCopyMemory(Pool, Input.data(), 40);
    EXPECT_EQ(Send(Pool, 40, Output.data(), 4), STATUS_ACCESS_VIOLATION);
    EXPECT_TRUE(OutputUntouched());
    ExFreePoolWithTag(Pool, TestTag);
}

/* ------------------------------------------------------------------------
 * Connection contexts.
 * ---------------------------------------------------------------------- */
class PortConnectTest : public FilterTest {
protected:
    void SetUp() override
    {
        FilterTest::SetUp();
        ASSERT_EQ(Load(DebugFlagPrintFailures), STATUS_SUCCESS);
    }
};

TEST_F(PortConnectTest, AMissingOrShortContextRefusesTheConnection)
{
    UCHAR Context[16] = {};
    PVOID Cookie = (PVOID)(ULONG_PTR)0x5A5A;

    EXPECT_EQ(PortConnect(NULL, NULL, NULL, 0, &Cookie), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(Cookie, nullptr);

    Cookie = (PVOID)(ULONG_PTR)0x5A5A;
    EXPECT_EQ(PortConnect(NULL, NULL, NULL, 8, &Cookie), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(Cookie, nullptr);

    Cookie = (PVOID)(ULONG_PTR)0x5A5A;
    EXPECT_EQ(PortConnect(NULL, NULL, Context, 7, &Cookie), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(Cookie, nullptr);

    EXPECT_EQ((ULONG)STATUS_BUFFER_TOO_SMALL, 0xC0000023u);
    EXPECT_EQ(System->KernelDebugger().OutputText(),
              "Zentaflt: 0xc0000023\nZentaflt: 0xc0000023\nZentaflt: 0xc0000023\n");
}

}  // namespace
