/*
 * SyncRootHelper.h - a sync-root record built by a test, for tests that
 * drive the record's routines without a connection: what SyncRootCreate
 * makes (an empty pending list, run-down protection and lock set up, not
 * linked), around a normalized directory name a test gives, in the test's
 * own memory.  The record's lock is deleted with it, so a fixture drops its
 * records before the system goes (before FilterTest::TearDown).
 */
#pragma once

#include <string>

#include "EmuTesting.h"
#include "Zentaflt.h"

namespace zentaflt_test {

struct HandBuiltRoot {
    explicit HandBuiltRoot(const std::u16string &Name = u"") : Text(Name)
    {
        RtlZeroMemory(&NameInfo, sizeof(NameInfo));
        NameInfo.Size = sizeof(NameInfo);
        NameInfo.Format = FLT_FILE_NAME_NORMALIZED;
        NameInfo.Name.Buffer = (PWSTR)Text.data();
        NameInfo.Name.Length = (USHORT)(Text.size() * sizeof(WCHAR));
        NameInfo.Name.MaximumLength = NameInfo.Name.Length;
        RtlZeroMemory(&Root, sizeof(Root));
        InitializeListHead(&Root.PendingRequests);
        ExInitializeRundownProtection(&Root.RundownRef);
        Root.NameInfo = &NameInfo;
        LockStatus = ExInitializeResourceLite(&Root.Lock);
    }

    ~HandBuiltRoot()
    {
        if (NT_SUCCESS(LockStatus)) {
            ExDeleteResourceLite(&Root.Lock);
        }
    }

    HandBuiltRoot(const HandBuiltRoot &) = delete;
    HandBuiltRoot &operator=(const HandBuiltRoot &) = delete;

    std::u16string Text;
    FLT_FILE_NAME_INFORMATION NameInfo;
    SYNC_ROOT Root;
    NTSTATUS LockStatus;
};

}  // namespace zentaflt_test
