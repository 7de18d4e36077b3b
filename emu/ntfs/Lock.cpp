/*
 * Lock.cpp - IRP_MJ_LOCK_CONTROL: byte-range locks, as the file-system
 * run-time library keeps them ("FsRtlProcessFileLock",
 * "FsRtlCheckLockForReadAccess", "FsRtlCheckLockForWriteAccess").
 *
 * A lock belongs to its file object, process and key.  An exclusive lock
 * conflicts with every overlapping lock; a shared one with an overlapping
 * exclusive lock of another owner; a zero-length lock with none.  A lock
 * request that meets a conflict fails with STATUS_LOCK_NOT_GRANTED when it
 * asked to fail at once, and otherwise waits until the range is free.
 * Reads meet exclusive locks of other owners, writes any lock of another
 * owner: STATUS_FILE_LOCK_CONFLICT; paging I/O meets none.  Unlocking a
 * range that is not locked as given fails with STATUS_RANGE_NOT_LOCKED.
 * The locks of a file object go at its cleanup.
 */
#include "Ntfs.h"

#include <condition_variable>

using namespace emu;

namespace {

/* Signalled when locks are released, for lock requests that wait. */
std::condition_variable_any LocksReleased;

bool Overlaps(const ByteRangeLock &Lock, ULONGLONG Offset, ULONGLONG Length)
{
    return Lock.Length != 0 && Length != 0 && Offset < Lock.Offset + Lock.Length && Lock.Offset < Offset + Length;
}

bool SameOwner(const ByteRangeLock &Lock, EmuFile *File, void *Process)
{
    return Lock.File == File && Lock.Process == Process;
}

bool LockRefused(const NtfsNode *Node, const ByteRangeLock &Wanted)
{
    for (const ByteRangeLock &Held : Node->Locks) {
        if (!Overlaps(Held, Wanted.Offset, Wanted.Length)) {
            continue;
        }
        bool OwnShared = SameOwner(Held, Wanted.File, Wanted.Process) && Held.Key == Wanted.Key;
        if (Wanted.Exclusive || (Held.Exclusive && !OwnShared)) {
            return true;
        }
    }
    return false;
}

}  // namespace

namespace emu {

bool LockConflicts(IoRequest *Request, ULONGLONG Offset, ULONGLONG Length, bool Write)
{
    if (Request->Iopb.IrpFlags & IRP_PAGING_IO) {
        return false;
    }
    for (const ByteRangeLock &Held : Request->File->Node->Locks) {
        if (!Overlaps(Held, Offset, Length) || SameOwner(Held, Request->File, Request->Process)) {
            continue;
        }
        if (Write || Held.Exclusive) {
            return true;
        }
    }
    return false;
}

void ReleaseLocksOf(NtfsNode *Node, EmuFile *File)
{
    size_t Before = Node->Locks.size();
    std::erase_if(Node->Locks, [File](const ByteRangeLock &Lock) { return Lock.File == File; });
    if (Node->Locks.size() != Before) {
        LocksReleased.notify_all();
    }
}

NTSTATUS NtfsLockControl(IoRequest *Request)
{
    auto &Parameters = Request->Iopb.Parameters.LockControl;
    EmuFile *File = Request->File;
    NtfsNode *Node = File->Node;
    NtfsVolume *Namespace = NamespaceOf(File->Volume);
    std::unique_lock<std::recursive_mutex> Guard(Namespace->Lock);
    ByteRangeLock Wanted = {File, Request->Process, Parameters.Key, (ULONGLONG)Parameters.ByteOffset.QuadPart,
                            Parameters.Length != NULL ? (ULONGLONG)Parameters.Length->QuadPart : 0,
                            Parameters.ExclusiveLock != FALSE};
    switch (Request->Iopb.MinorFunction) {
    case IRP_MN_LOCK:
        if (Parameters.ByteOffset.QuadPart < 0 || Parameters.Length == NULL || Parameters.Length->QuadPart < 0) {
            return STATUS_INVALID_PARAMETER;
        }
        while (LockRefused(Node, Wanted)) {
            if (Parameters.FailImmediately) {
                return STATUS_LOCK_NOT_GRANTED;
            }
            LocksReleased.wait(Guard);
        }
        Node->Locks.push_back(Wanted);
        return STATUS_SUCCESS;
    case IRP_MN_UNLOCK_SINGLE:
        for (auto Held = Node->Locks.begin(); Held != Node->Locks.end(); ++Held) {
            if (SameOwner(*Held, File, Request->Process) && Held->Key == Wanted.Key && Held->Offset == Wanted.Offset &&
                Held->Length == Wanted.Length) {
                Node->Locks.erase(Held);
                LocksReleased.notify_all();
                return STATUS_SUCCESS;
            }
        }
        return STATUS_RANGE_NOT_LOCKED;
    case IRP_MN_UNLOCK_ALL:
    case IRP_MN_UNLOCK_ALL_BY_KEY: {
        size_t Before = Node->Locks.size();
        bool ByKey = Request->Iopb.MinorFunction == IRP_MN_UNLOCK_ALL_BY_KEY;
        std::erase_if(Node->Locks, [&](const ByteRangeLock &Held) {
            return SameOwner(Held, File, Request->Process) && (!ByKey || Held.Key == Wanted.Key);
        });
        if (Node->Locks.size() != Before) {
            LocksReleased.notify_all();
        }
        return STATUS_SUCCESS;
    }
    default:
        return STATUS_INVALID_DEVICE_REQUEST;
    }
}

}  // namespace emu
