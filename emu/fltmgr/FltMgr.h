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
#include <map>
#include <memory>
#include <string>
#include <vector>

struct _FLT_FILTER;
struct _FLT_INSTANCE;

namespace emu {
struct NtfsVolume;
struct IoRequest;
}

struct _FLT_VOLUME {
    std::u16string DeviceName;  // \Device\HarddiskVolumeN
    std::u16string GuidName;    // \??\Volume{GUID}
    FLT_FILESYSTEM_TYPE FileSystem = FLT_FSTYPE_NTFS;
    DEVICE_TYPE DeviceType = FILE_DEVICE_DISK_FILE_SYSTEM;
    bool Mounted = true;
    WCHAR DriveLetter = 0;                        // C, D, ... for disk volumes
    std::shared_ptr<emu::NtfsVolume> Namespace;   // files and directories
    /* The file system at the bottom of the volume's filter chain: its
       dispatch routine, and its fast I/O path (false: not possible, the
       operation comes again as an IRP). */
    NTSTATUS (*FileSystemDispatch)(emu::IoRequest *Request) = nullptr;
    bool (*FileSystemFastIo)(emu::IoRequest *Request) = nullptr;
};

struct _FLT_INSTANCE {
    _FLT_FILTER *Filter = nullptr;
    _FLT_VOLUME *Volume = nullptr;
    PFLT_CONTEXT InstanceContext = nullptr;
    bool Attached = false;
    NTSTATUS SetupStatus = STATUS_SUCCESS;
    /* Where the instance sits in the volume's chain: higher altitudes see
       an operation first (the filter's altitude from its registry key). */
    std::string Altitude;
};

enum class FilterState { Registered, Filtering, Unregistered };

struct _FLT_FILTER {
    PDRIVER_OBJECT Driver = nullptr;
    FLT_REGISTRATION Registration{};
    std::vector<FLT_CONTEXT_REGISTRATION> Contexts;
    std::vector<FLT_OPERATION_REGISTRATION> Operations;
    FilterState State = FilterState::Registered;
    std::vector<std::unique_ptr<_FLT_INSTANCE>> Instances;
    int RunningCallbacks = 0;  // callbacks of the filter on some thread now; under the manager's lock
    std::string Altitude;  // of its default instance, read at registration
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
    NTSTATUS ReplyStatus = STATUS_SUCCESS;  // STATUS_BUFFER_OVERFLOW: the reply was cut to ReplyCapacity
};

/* One connection of a user-mode client to a server port, with the client
   port the filter sees.  The service's handle refers to a
   "FilterConnectionPort" object that points here.  The connection stays
   in the filter manager's table until it is disconnected, its client port
   is closed and the service's object is gone; holders that outlive a lock
   keep it alive by a shared pointer.  All fields are guarded by the
   dispatcher lock. */
struct PortConnection : std::enable_shared_from_this<PortConnection> {
    enum class Notification { Pending, Running, Done };

    _FLT_PORT *Server = nullptr;
    std::unique_ptr<_FLT_PORT> OwnedClient;
    _FLT_PORT *Client = nullptr;
    PVOID Cookie = nullptr;
    EmuProcess *Process = nullptr;
    bool Connecting = true;          // the connect notification has not returned
    bool Connected = true;           // false once either side closed it
    Notification Disconnect = Notification::Pending;
    bool ServiceObject = false;      // the service's port object exists
    bool Retired = false;            // left the filter manager's table
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
/* Called by FltUnregisterFilter: waits for connects in progress, then
   disconnects every connection to the filter's ports, waiting for
   disconnects already running; closes client ports the filter left open. */
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
    std::vector<std::shared_ptr<PortConnection>> Connections;
    ULONG NextVolumeNumber = 1;
    /* The Altitude value of each driver's Instances registry key, as the
       loader left it for FltRegisterFilter to read. */
    std::map<PDRIVER_OBJECT, std::string> Altitudes;

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

/* Wraps every call into a filter's callback: the CallbackScope checks,
   plus a report of a callback entered after the filter's
   FltUnregisterFilter returned, and the count FltUnregisterFilter checks
   so that it never returns while a callback of the filter runs. */
class FilterCallbackScope {
public:
    FilterCallbackScope(_FLT_FILTER *Filter, const char *Callback);
    ~FilterCallbackScope();
    FilterCallbackScope(const FilterCallbackScope &) = delete;
    FilterCallbackScope &operator=(const FilterCallbackScope &) = delete;

private:
    _FLT_FILTER *Filter;
    CallbackScope Inner;
};
/* At the end of FltUnregisterFilter, with the manager's lock held: reports
   a callback of the filter still running. */
void CheckNoCallbackRuns(_FLT_FILTER *Filter);

ContextHeader *HeaderOf(PFLT_CONTEXT Context);
/* Releases the stream contexts an instance set, at its teardown. */
void TeardownInstanceStreamContexts(_FLT_INSTANCE *Instance);

/* Compares two altitudes (decimal strings, possibly with a fraction):
   negative when A is lower than B. */
int CompareAltitudes(const std::string &A, const std::string &B);

/* The filter chain of a volume for one operation: the attached instances
   of filtering filters below StartBelow (all when null), highest altitude
   first, each with its registration for MajorFunction. */
struct ChainEntry;
std::vector<ChainEntry> ChainFor(_FLT_VOLUME *Volume, UCHAR MajorFunction, _FLT_INSTANCE *StartBelow);

/* Walks a request down the chain from its cursor: pre-operations, then the
   file system, then the completion walk.  Returns when the request has
   completed or is pended. */
void ContinueRequest(IoRequest *Request);

/* Streams: the filter manager tears a stream's contexts down when the file
   system lets the stream go (FsRtlTeardownPerStreamContexts). */
void TeardownStreamContexts(void *Stream);

/* Drops the reference an object (instance, stream) holds on its context. */
void DetachContext(PFLT_CONTEXT Context);

}  // namespace emu
