/*
 * FltMgr.h - the emulated filter manager's objects.
 *
 * Filters, volumes, instances, contexts and communication ports are plain
 * emulator records behind the opaque handles of fltKernel.h.  All of them
 * hang off the one FilterManager, which the booted System owns.
 */
#pragma once

#include <fltKernel.h>

#include "../runtime/Objects.h"

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

struct _FLT_FILTER;
struct _FLT_INSTANCE;

namespace emu {
struct NtfsVolume;
}

struct _FLT_VOLUME {
    std::u16string DeviceName;  // \Device\HarddiskVolumeN
    std::u16string GuidName;    // \??\Volume{GUID}
    FLT_FILESYSTEM_TYPE FileSystem = FLT_FSTYPE_NTFS;
    DEVICE_TYPE DeviceType = FILE_DEVICE_DISK_FILE_SYSTEM;
    bool Mounted = true;
    WCHAR DriveLetter = 0;                        // C, D, ... for disk volumes
    std::shared_ptr<emu::NtfsVolume> Namespace;   // files and directories
};

struct _FLT_INSTANCE {
    _FLT_FILTER *Filter = nullptr;
    _FLT_VOLUME *Volume = nullptr;
    PFLT_CONTEXT InstanceContext = nullptr;
    bool Attached = false;
    NTSTATUS SetupStatus = STATUS_SUCCESS;
};

enum class FilterState { Registered, Filtering, Unregistered };

struct _FLT_FILTER {
    PDRIVER_OBJECT Driver = nullptr;
    FLT_REGISTRATION Registration{};
    std::vector<FLT_CONTEXT_REGISTRATION> Contexts;
    std::vector<FLT_OPERATION_REGISTRATION> Operations;
    FilterState State = FilterState::Registered;
    std::vector<std::unique_ptr<_FLT_INSTANCE>> Instances;
};

/* An access-control entry captured from a port's security descriptor. */
struct CapturedAce {
    UCHAR Type;
    ACCESS_MASK Mask;
    std::vector<UCHAR> Sid;
};

struct CapturedSecurity {
    bool Present = false;       // a descriptor was given
    USHORT Control = 0;
    bool HasOwner = false;
    bool HasGroup = false;
    bool HasSacl = false;
    bool DaclPresent = false;
    bool DaclNull = false;      // DACL present but null: everyone allowed
    UCHAR AclRevision = 0;
    std::vector<CapturedAce> Dacl;
};

namespace emu {
struct PortConnection;
}

struct _FLT_PORT {
    bool Server = true;
    emu::PortConnection *Connection = nullptr;  // client ports: their connection
    _FLT_FILTER *Filter = nullptr;
    std::u16string Name;
    ULONG Attributes = 0;
    PVOID Cookie = nullptr;
    PFLT_CONNECT_NOTIFY Connect = nullptr;
    PFLT_DISCONNECT_NOTIFY Disconnect = nullptr;
    PFLT_MESSAGE_NOTIFY Message = nullptr;
    LONG MaxConnections = 0;
    CapturedSecurity Security;
    bool Closed = false;
};

namespace emu {

/* Context header, placed just before the context the driver sees. */
struct ContextHeader {
    ULONG64 Magic;
    FLT_CONTEXT_TYPE Type;
    volatile LONG References;
    _FLT_FILTER *Filter;
    PFLT_CONTEXT_CLEANUP_CALLBACK Cleanup;
    PFLT_CONTEXT_FREE_CALLBACK FreeCallback;
    SIZE_T Size;
    ULONG Tag;
    void *AttachedTo;  // instance or stream the context is set on
    ULONG64 Padding;
};

/* A message a filter sent to a client port, until the service takes it
   (and, when a reply is awaited, answers it). */
struct PortMessage {
    uint64_t Id = 0;
    std::vector<UCHAR> Data;
    bool ExpectsReply = false;
    ULONG ReplyCapacity = 0;
    enum class Stage { Queued, Taken, Replied, Abandoned } State = Stage::Queued;
    std::vector<UCHAR> Reply;
};

/* One connection of a user-mode client to a server port.  The service's
   handle refers to a "FilterConnectionPort" object that points here.  All
   fields are guarded by the dispatcher lock. */
struct PortConnection {
    _FLT_PORT *Server = nullptr;
    _FLT_PORT *Client = nullptr;
    PVOID Cookie = nullptr;
    EmuProcess *Process = nullptr;
    bool Connected = true;           // false once either side closed it
    bool DisconnectNotified = false;
    int ActiveNotifications = 0;     // message notifications running
    int Waiters = 0;                 // service threads in FilterGetMessage
    std::vector<std::shared_ptr<PortMessage>> Queue;
    std::map<uint64_t, std::shared_ptr<PortMessage>> AwaitingReply;
    uint64_t NextMessageId = 1;
};

/* The service side of a connection, as the user-mode port library uses it.
   Each returns the NTSTATUS the library turns into an HRESULT. */
NTSTATUS ConnectToPort(const std::u16string &Name, const void *Context, ULONG ContextSize, HANDLE *Port);
NTSTATUS SendToFilter(HANDLE Port, PVOID Input, ULONG InputLength, PVOID Output, ULONG OutputLength,
                      ULONG *Returned);
/* Header is the 16-byte FILTER_MESSAGE_HEADER at the start of Buffer. */
NTSTATUS GetFilterMessage(HANDLE Port, PVOID Buffer, ULONG BufferLength);
NTSTATUS ReplyToFilter(HANDLE Port, PVOID Buffer, ULONG BufferLength);
/* Delivers the disconnect of every connection to a filter's ports. */
void DisconnectAll(_FLT_FILTER *Filter);
/* Number of messages queued on a connection and not yet taken. */
size_t QueuedMessages(HANDLE Port, EmuProcess *Process);
/* A driver's client-port variable, read under the lock FltCloseClientPort
   and FltSendMessage take to access it: null once the port is closed. */
PFLT_PORT ClientPortIn(PFLT_PORT const *ClientPort);

class FilterManager {
public:
    std::mutex Lock;  // guards the tables below; never held across callbacks
    std::vector<std::unique_ptr<_FLT_VOLUME>> Volumes;
    std::vector<std::unique_ptr<_FLT_FILTER>> Filters;
    std::vector<std::unique_ptr<_FLT_PORT>> Ports;
    std::vector<std::unique_ptr<PortConnection>> Connections;
    ULONG NextVolumeNumber = 1;

    bool IsFilter(const _FLT_FILTER *Filter);
    /* Offers a volume to a filter: builds the instance and runs the
       filter's instance-setup callback. */
    void SetupInstance(_FLT_FILTER *Filter, _FLT_VOLUME *Volume, FLT_INSTANCE_SETUP_FLAGS Flags);
    /* Tears an attached instance down: teardown callbacks, then its
       contexts go. */
    void TeardownInstance(_FLT_INSTANCE *Instance, FLT_INSTANCE_TEARDOWN_FLAGS Reason);
    void Reset();
};

FilterManager &TheFilterManager();

ContextHeader *HeaderOf(PFLT_CONTEXT Context);
/* Releases the stream contexts an instance set, at its teardown. */
void TeardownInstanceStreamContexts(_FLT_INSTANCE *Instance);

/* Drops the reference an object (instance, stream) holds on its context. */
void DetachContext(PFLT_CONTEXT Context);

}  // namespace emu
