/*
 * The emulated filter manager: registration checks, contexts, volume names
 * and ports, driven by a small filter of the test's own.
 */
#include <gtest/gtest.h>

#include "EmuTesting.h"

namespace {

constexpr ULONG ContextTag = 0x78744354;  // 'TCtx'

struct TestFilterState {
    PFLT_FILTER Filter = nullptr;
    int Setups = 0;
    int Cleanups = 0;
} State;

VOID FLTAPI CleanupContext(PFLT_CONTEXT, FLT_CONTEXT_TYPE)
{
    State.Cleanups += 1;
}

NTSTATUS FLTAPI Setup(PCFLT_RELATED_OBJECTS, FLT_INSTANCE_SETUP_FLAGS, DEVICE_TYPE, FLT_FILESYSTEM_TYPE)
{
    State.Setups += 1;
    return STATUS_SUCCESS;
}

NTSTATUS FLTAPI Unload(FLT_FILTER_UNLOAD_FLAGS)
{
    FltUnregisterFilter(State.Filter);
    return STATUS_SUCCESS;
}

const FLT_CONTEXT_REGISTRATION Contexts[] = {
    {FLT_INSTANCE_CONTEXT, 0, CleanupContext, 64, ContextTag, NULL, NULL, NULL},
    {FLT_CONTEXT_END},
};

const FLT_OPERATION_REGISTRATION NoOperations[] = {{IRP_MJ_OPERATION_END}};

FLT_REGISTRATION MakeRegistration()
{
    FLT_REGISTRATION Registration = {};
    Registration.Size = sizeof(FLT_REGISTRATION);
    Registration.Version = FLT_REGISTRATION_VERSION;
    Registration.ContextRegistration = Contexts;
    Registration.OperationRegistration = NoOperations;
    Registration.FilterUnloadCallback = Unload;
    Registration.InstanceSetupCallback = Setup;
    return Registration;
}

FLT_REGISTRATION Registration;

NTSTATUS EntryWith(PDRIVER_OBJECT Driver, PUNICODE_STRING)
{
    NTSTATUS Status = FltRegisterFilter(Driver, &Registration, &State.Filter);
    if (NT_SUCCESS(Status)) {
        Status = FltStartFiltering(State.Filter);
        if (!NT_SUCCESS(Status)) {
            FltUnregisterFilter(State.Filter);
        }
    }
    return Status;
}

class EmulatedFilterManager : public ::testing::Test {
protected:
    void SetUp() override
    {
        State = TestFilterState{};
        Registration = MakeRegistration();
    }

    void TearDown() override
    {
        if (System.DriverLoaded()) {
            EXPECT_EQ(System.UnloadDriver(), STATUS_SUCCESS);
        }
        for (const auto &Leak : System.Leaks()) {
            ADD_FAILURE() << "left behind: " << Leak;
        }
    }

    emu::System System;
};

TEST_F(EmulatedFilterManager, RegistrationRecordIsChecked)
{
    Registration.Size = 0x60;  // too small for version 0x0203
    EXPECT_EQ(System.LoadDriver(EntryWith), STATUS_INVALID_PARAMETER);
    Registration = MakeRegistration();
    Registration.Version = 0x0100;
    EXPECT_EQ(System.LoadDriver(EntryWith), STATUS_INVALID_PARAMETER);

    static const FLT_CONTEXT_REGISTRATION TwoTypes[] = {
        {FLT_INSTANCE_CONTEXT | FLT_STREAM_CONTEXT, 0, NULL, 8, ContextTag},
        {FLT_CONTEXT_END},
    };
    Registration = MakeRegistration();
    Registration.ContextRegistration = TwoTypes;
    EXPECT_EQ(System.LoadDriver(EntryWith), STATUS_FLT_INVALID_CONTEXT_REGISTRATION);

    static const FLT_OPERATION_REGISTRATION NoCallbacks[] = {{IRP_MJ_READ}, {IRP_MJ_OPERATION_END}};
    Registration = MakeRegistration();
    Registration.OperationRegistration = NoCallbacks;
    EXPECT_EQ(System.LoadDriver(EntryWith), STATUS_INVALID_PARAMETER);

    /* An older version with its own, smaller size is accepted. */
    Registration = MakeRegistration();
    Registration.Version = FLT_REGISTRATION_VERSION_0202;
    Registration.Size = offsetof(FLT_REGISTRATION, SectionNotificationCallback);
    EXPECT_EQ(System.LoadDriver(EntryWith), STATUS_SUCCESS);
}

TEST_F(EmulatedFilterManager, InstancesAreOfferedAtStartAndAtMount)
{
    System.Mount();
    ASSERT_EQ(System.LoadDriver(EntryWith), STATUS_SUCCESS);
    EXPECT_EQ(State.Setups, 1);
    PFLT_VOLUME Later = System.Mount();
    EXPECT_EQ(State.Setups, 2);
    EXPECT_TRUE(System.IsAttached(Later));
    /* Without a query-teardown callback a manual detach is refused. */
    EXPECT_EQ(System.Detach(Later), STATUS_FLT_DO_NOT_DETACH);
}

TEST_F(EmulatedFilterManager, ContextsAreReferenceCounted)
{
    PFLT_VOLUME Volume = System.Mount();
    ASSERT_EQ(System.LoadDriver(EntryWith), STATUS_SUCCESS);
    PFLT_INSTANCE Instance = System.InstanceOn(Volume);

    PFLT_CONTEXT Context = NULL;
    EXPECT_EQ(FltAllocateContext(State.Filter, FLT_INSTANCE_CONTEXT, 65, NonPagedPoolNx, &Context),
              STATUS_FLT_CONTEXT_ALLOCATION_NOT_FOUND);
    EXPECT_EQ(FltAllocateContext(State.Filter, FLT_STREAM_CONTEXT, 64, NonPagedPoolNx, &Context),
              STATUS_FLT_CONTEXT_ALLOCATION_NOT_FOUND);
    ASSERT_EQ(FltAllocateContext(State.Filter, FLT_INSTANCE_CONTEXT, 64, NonPagedPoolNx, &Context), STATUS_SUCCESS);
    EXPECT_EQ(System.Accounting().PoolByTag()[ContextTag].OutstandingBlocks, 1u);

    PFLT_CONTEXT Probe = NULL;
    EXPECT_EQ(FltGetInstanceContext(Instance, &Probe), STATUS_NOT_FOUND);
    PFLT_CONTEXT Mine = NULL;
    ASSERT_EQ(FltAllocateContext(State.Filter, FLT_INSTANCE_CONTEXT, 64, NonPagedPoolNx, &Mine), STATUS_SUCCESS);
    ASSERT_EQ(FltSetInstanceContext(Instance, FLT_SET_CONTEXT_KEEP_IF_EXISTS, Mine, NULL), STATUS_SUCCESS);

    /* Keep-if-exists hands back the context already set, referenced. */
    PFLT_CONTEXT Other = NULL;
    PFLT_CONTEXT Existing = NULL;
    ASSERT_EQ(FltAllocateContext(State.Filter, FLT_INSTANCE_CONTEXT, 64, NonPagedPoolNx, &Other), STATUS_SUCCESS);
    EXPECT_EQ(FltSetInstanceContext(Instance, FLT_SET_CONTEXT_KEEP_IF_EXISTS, Other, &Existing),
              STATUS_FLT_CONTEXT_ALREADY_DEFINED);
    EXPECT_EQ(Existing, Mine);
    FltReleaseContext(Existing);
    FltReleaseContext(Other);
    EXPECT_EQ(State.Cleanups, 1);

    PFLT_CONTEXT Got = NULL;
    ASSERT_EQ(FltGetInstanceContext(Instance, &Got), STATUS_SUCCESS);
    EXPECT_EQ(Got, Mine);
    FltReleaseContext(Got);
    FltReleaseContext(Mine);
    EXPECT_EQ(State.Cleanups, 1);  // still held by the instance

    FltReleaseContext(Context);
    EXPECT_EQ(State.Cleanups, 2);
    ASSERT_EQ(System.UnloadDriver(), STATUS_SUCCESS);
    EXPECT_EQ(State.Cleanups, 3);  // the instance's reference went at teardown
    /* Released once too often: the verifier stops the system. */
    EXPECT_THROW(FltReleaseContext(Mine), emu::BugCheck);
    System.Accounting().Reset();
}

TEST_F(EmulatedFilterManager, VolumeGuidNameReportsTheSizeItNeeds)
{
    PFLT_VOLUME Volume = System.Mount();
    ASSERT_EQ(System.LoadDriver(EntryWith), STATUS_SUCCESS);
    WCHAR Buffer[48];
    UNICODE_STRING Name = {0, 94, Buffer};
    ULONG Needed = 0;
    EXPECT_EQ(FltGetVolumeGuidName(Volume, &Name, &Needed), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(Needed, 96u);
    Name.MaximumLength = 96;
    ASSERT_EQ(FltGetVolumeGuidName(Volume, &Name, &Needed), STATUS_SUCCESS);
    EXPECT_EQ(Name.Length, 96);
    EXPECT_EQ(std::u16string((const char16_t *)Buffer, 11), u"\\??\\Volume{");
    EXPECT_EQ(Buffer[47], L'}');
}

TEST_F(EmulatedFilterManager, PortNamesAreUniqueAndPortsMustBeClosed)
{
    ASSERT_EQ(System.LoadDriver(EntryWith), STATUS_SUCCESS);
    UNICODE_STRING Name;
    RtlInitUnicodeString(&Name, L"\\TestPort");
    OBJECT_ATTRIBUTES Attributes;
    InitializeObjectAttributes(&Attributes, &Name, OBJ_KERNEL_HANDLE, NULL, NULL);
    auto Connect = [](PFLT_PORT, PVOID, PVOID, ULONG, PVOID *) -> NTSTATUS { return STATUS_SUCCESS; };
    auto Disconnect = [](PVOID) {};
    PFLT_PORT Port = NULL;
    PFLT_PORT Second = NULL;
    ASSERT_EQ(FltCreateCommunicationPort(State.Filter, &Port, &Attributes, NULL, Connect, Disconnect, NULL, 1),
              STATUS_SUCCESS);
    RtlInitUnicodeString(&Name, L"\\testport");
    EXPECT_EQ(FltCreateCommunicationPort(State.Filter, &Second, &Attributes, NULL, Connect, Disconnect, NULL, 1),
              STATUS_OBJECT_NAME_COLLISION);
    EXPECT_TRUE(System.Leaks().size() == 2);  // the filter and its open port

    /* Unloading with the port open is misuse. */
    ASSERT_EQ(System.UnloadDriver(), STATUS_SUCCESS);
    bool Reported = false;
    for (const auto &Violation : System.Accounting().Violations()) {
        Reported |= Violation.find("communication port of the filter still open") != std::string::npos;
    }
    EXPECT_TRUE(Reported);
    FltCloseCommunicationPort(Port);
    System.Accounting().Reset();
}

}  // namespace
