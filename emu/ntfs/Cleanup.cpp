/*
 * Cleanup.cpp - IRP_MJ_CLEANUP and IRP_MJ_CLOSE.
 *
 * Cleanup (the last handle of a file object closed) gives the file
 * object's share access and byte-range locks back and, when it was the
 * file's last handle and changes were journaled, writes the USN close
 * record; deletes pending on the file are carried out then
 * (Disposition.cpp).  Then the file object's private cache map goes
 * (CcUninitializeCacheMap, emu/cache/), which may let the lazy writer
 * write the stream's dirty pages and the cache map go.  Close (the last
 * reference gone) lets the file object go; when it was the stream's last,
 * the filter manager tears the stream's contexts down, as a file system
 * does with FsRtlTeardownPerStreamContexts when it frees the stream.
 */
#include "Ntfs.h"

#include "../cache/Cache.h"

namespace emu {

namespace {

NTSTATUS CleanupFile(IoRequest *Request)
{
    EmuFile *File = Request->File;
    NtfsVolume *Namespace = NamespaceOf(File->Volume);
    std::lock_guard<std::recursive_mutex> Guard(Namespace->Lock);
    if (File->Cleaned || File->Node == nullptr) {
        return STATUS_SUCCESS;
    }
    NtfsNode *Node = File->Node;
    bool Read = File->Access & (FILE_READ_DATA | FILE_EXECUTE);
    bool Write = File->Access & (FILE_WRITE_DATA | FILE_APPEND_DATA);
    bool Delete = File->Access & DELETE;
    if (Read || Write || Delete) {
        Node->OpenCount -= 1;
        Node->Readers -= Read;
        Node->Writers -= Write;
        Node->Deleters -= Delete;
        Node->SharedRead -= (File->ShareAccess & FILE_SHARE_READ) != 0;
        Node->SharedWrite -= (File->ShareAccess & FILE_SHARE_WRITE) != 0;
        Node->SharedDelete -= (File->ShareAccess & FILE_SHARE_DELETE) != 0;
    }
    ReleaseLocksOf(Node, File);
    File->Cleaned = true;
    File->File.Flags |= FO_CLEANUP_COMPLETE;
    Node->Handles -= 1;
    if (NtfsLink *Link = FindLink(Node, File->LinkId)) {
        Link->Handles -= 1;
    }
    CleanupDisposition(Namespace, File, Node);
    if (Node->Handles == 0 && Node->UsnReasons != 0) {
        WriteUsnClose(Namespace, File, Node);
    }
    return STATUS_SUCCESS;
}

}  // namespace

NTSTATUS NtfsCleanup(IoRequest *Request)
{
    NTSTATUS Status = CleanupFile(Request);
    UninitializeCacheMap(Request->File);
    return Status;
}

NTSTATUS NtfsClose(IoRequest *Request)
{
    EmuFile *File = Request->File;
    bool LastOfStream = false;
    {
        NtfsVolume *Namespace = NamespaceOf(File->Volume);
        std::lock_guard<std::recursive_mutex> Guard(Namespace->Lock);
        File->Node->References -= 1;
        LastOfStream = File->Node->References == 0;
    }
    delete File->Scan;
    File->Scan = nullptr;
    if (LastOfStream) {
        TeardownStreamContexts(File->Node);
    }
    return STATUS_SUCCESS;
}

}  // namespace emu
