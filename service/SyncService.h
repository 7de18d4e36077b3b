/*
 * SyncService.h - the service SDK: what a sync service is built on.
 *
 * The same source builds for Windows (mingw-w64 or MSVC, linked with
 * fltlib) and for the emulated platform, where tests and tools run it on
 * Linux.  ServiceClient.h is the layer below (one call per port operation);
 * this header is the one a service is written against.
 *
 * THE CONTRACT: what a service must do, in what order, and what it may
 * rely on
 * ----------------------------------------------------------------------
 * 1. Connect once per sync-root directory (SyncService::Connect).  The
 *    connection hands the filter a handle to the directory, which must not
 *    equal, contain or lie inside the directory of another connection
 *    (Connect fails with the filter's status otherwise).  The connection
 *    stays open for as long as the directory is served.
 * 2. Take every message within 300 seconds of its sending: a message not
 *    taken in time fails the program's operation with access denied.  The
 *    receive pool (Options::Threads) keeps a receive posted on each of its
 *    threads; a data source or policy that blocks holds up only its own
 *    thread.
 * 3. Answer the three questions (a directory deleted, a directory renamed,
 *    a file moved out of its sync root) with a 4-byte reply within the same
 *    300 seconds: ReplyDeny (775) refuses, ReplyHydrateFirst (773, file
 *    moves only) asks for the file's data first, any other value consents.
 *    A hydration request gets no reply.
 * 4. For each hydration request: send the file's data in pieces with the
 *    request's id, then exactly one completion with a status (negative
 *    fails the hydration; the program's operation fails with it).  The
 *    data is read from the service's own memory when the command arrives.
 * 5. Every piece starts at a multiple of 4096, and every piece except the
 *    one that ends the file is a multiple of 4096 long; then the file
 *    receives exactly the service's bytes.  Pieces of one request are
 *    applied in the order they reach the filter.  The hydration loop does
 *    this (PieceLength in ServiceClient.h).
 * 6. Create placeholders on a handle to their directory opened with
 *    write-data access; convert and update through a handle to the file
 *    opened without buffering and without sharing (MakePlaceholders,
 *    ConvertFile and ChangePlaceholder below open them so).  A placeholder
 *    carries its size, times, attributes and up to 1024 bytes of the
 *    service's own reparse data.
 * 7. Closing the connection (SyncService::Stop, or the process ending)
 *    fails every pending hydration of the sync root with
 *    STATUS_CLOUD_FILE_PROVIDER_NOT_RUNNING (0xC000CF01); a later
 *    connection hydrates those files afresh.
 *
 * What the service may rely on: the filter treats the placeholder's
 * reparse data (at most 1024 bytes) as opaque and hands it back in every
 * hydration request and file-move question; a completion for an id that is
 * not pending fails with STATUS_NOT_FOUND and changes nothing; a program
 * waiting for a hydration waits, without a time limit, until the service
 * completes it, the connection closes, or the program's operation is
 * cancelled.
 *
 * Errors are values: every call returns a Result holding an HRESULT and a
 * message that says what failed; nothing fails silently.
 */
#pragma once

#include <windows.h>

#include <atomic>
#include <functional>
#include <string>
#include <vector>

#include "ServiceClient.h"

namespace zentaflt::service {

/* ------------------------------------------------------------------------
 * Results
 * ---------------------------------------------------------------------- */

/* The outcome of a call: Code is S_OK or a failure HRESULT; Message says
   what was attempted and why it failed (empty on success). */
struct Result {
    HRESULT Code = S_OK;
    std::string Message;

    bool Ok() const { return SUCCEEDED(Code); }
};

Result Success();
/* A failure: What names the attempt ("open C:\Sync\a.txt"); the code's
   description is added to it. */
Result Failure(HRESULT Code, const std::string &What);
/* A failure carrying an NTSTATUS (HRESULT_FROM_NT). */
Result NtFailure(LONG Status, const std::string &What);
/* A failure from the calling thread's last Win32 error. */
Result LastErrorFailure(const std::string &What);

/* "0x80070002 (the file was not found)" and the like. */
std::string DescribeCode(HRESULT Code);

/* The NTSTATUS a hydration is completed with when the data source fails
   with Code: the status an NT-facility HRESULT carries; for the Win32
   errors of a missing or unreadable file STATUS_OBJECT_NAME_NOT_FOUND
   (0xC0000034) and STATUS_ACCESS_DENIED (0xC0000022); for anything else
   STATUS_UNSUCCESSFUL (0xC0000001).  Always a failure status. */
LONG CompletionStatusOf(HRESULT Code);

/* Text of UTF-16 strings for messages (UTF-8), and back. */
std::string Utf8(const std::u16string &Text);
std::u16string Utf16(const std::string &Text);

/* ------------------------------------------------------------------------
 * Hydration
 * ---------------------------------------------------------------------- */

/* A hydration request as the service receives it. */
struct HydrationRequest {
    std::u16string VolumePath;              // \\?\Volume{GUID}\ of the file's volume
    std::u16string Path;                    // volume-relative path (\Sync\dir\file.bin)
    ULONGLONG RequestId = 0;                // quoted back in every command
    LONGLONG FileSize = 0;                  // the file's size when the request was made
    std::vector<unsigned char> ReparseData; // the service's own data of the placeholder
    ULONG ThreadId = 0;                     // the waiting program's thread and process
    ULONG ProcessId = 0;
};

/* The service's data: fills Buffer with the Length bytes of the file at
   Offset.  Called on a pool thread, possibly for several requests at once
   (one per thread); must be safe for that.  A failure completes the
   hydration with CompletionStatusOf(its code), and the program's operation
   fails with that status. */
using DataSource =
    std::function<Result(const HydrationRequest &Request, ULONGLONG Offset, void *Buffer, ULONG Length)>;

/* What the loop did, for a service's log, progress or trace.  Called on
   pool threads; must be safe for that. */
enum class EventKind {
    HydrationStarted,    // a request arrived: Request set
    PieceSent,           // Offset, Length of a piece the filter took
    HydrationCompleted,  // completed with STATUS_SUCCESS
    HydrationFailed,     // completed with Status; Message says why
    QuestionAnswered,    // MessageType, Path, DestinationPath, Reply (Message if the reply failed)
    ReceiveFailed,       // the port failed other than by closing; Message
};

struct ServiceEvent {
    EventKind Kind = EventKind::HydrationStarted;
    const HydrationRequest *Request = nullptr;  // hydration events only
    ULONGLONG Offset = 0;
    ULONG Length = 0;
    LONG Status = 0;
    ULONG MessageType = 0;                      // questions
    std::u16string Path, DestinationPath;       // questions
    SERVICE_REPLY Reply = 0;
    std::string Message;
};

using EventObserver = std::function<void(const ServiceEvent &Event)>;

struct ServiceOptions {
    /* Threads that receive and serve messages. */
    unsigned Threads = 4;
    /* The longest piece sent (rounded down to a multiple of 4096). */
    ULONG PieceSize = 1024 * 1024;
    /* Answers the questions (ServiceClient.h: Question, QuestionPolicy):
       ReplyDeny refuses, ReplyHydrateFirst asks for a moved file's data
       first, anything else allows.  Called on a pool thread, within the
       300 seconds the filter waits.  Empty: AllowEverything. */
    QuestionPolicy Policy;
    /* Told of everything the loop does; may be empty. */
    EventObserver Observer;
};

/* Counters of a running service. */
struct ServiceStatistics {
    ULONGLONG Requests = 0;      // hydration requests received
    ULONGLONG Completed = 0;     // completed with success
    ULONGLONG Failed = 0;        // completed with a failure status
    ULONGLONG InProgress = 0;    // received, not yet completed
    ULONGLONG BytesSent = 0;     // data the filter took
    ULONGLONG Pieces = 0;
    ULONGLONG Questions = 0;     // questions answered
};

/* One connected sync root and the pool of threads that serves it.  Stop
   (or the destructor) disconnects: every hydration still pending fails in
   the programs with 0xC000CF01 rather than waiting. */
class SyncService {
public:
    SyncService() = default;
    ~SyncService();
    SyncService(const SyncService &) = delete;
    SyncService &operator=(const SyncService &) = delete;

    /* Connects the sync root at SyncRootPath (a directory, e.g. C:\Sync)
       and starts Options.Threads threads serving it from Source. */
    Result Start(LPCWSTR SyncRootPath, DataSource Source, ServiceOptions Options = {});

    /* Disconnects and waits for the pool to end.  Hydrations in progress
       end as the filter fails them; safe to call more than once, but not
       from a pool thread (a data source, policy or observer), which it
       would wait for. */
    void Stop();

    bool Running() const { return Connected.load(); }
    /* The sync root's path as given to Start. */
    const std::u16string &SyncRoot() const { return Root; }
    ServiceStatistics Statistics() const;

private:
    static DWORD WINAPI PoolThread(LPVOID Parameter);
    void Serve();
    void Hydrate(const SERVICE_MESSAGE &Message, std::vector<unsigned char> &Buffer);
    void Answer(const ReceivedMessage &Received);
    void Tell(const ServiceEvent &Event) const;

    std::u16string Root;
    DataSource Source;
    ServiceOptions Options;
    ServiceConnection Connection;
    std::vector<HANDLE> Threads;
    std::atomic<bool> Connected{false};
    std::atomic<bool> Stopping{false};
    std::atomic<ULONGLONG> Requests{0}, Completed{0}, Failed{0}, BytesSent{0}, Pieces{0}, Questions{0};
};

/* Serves one hydration request on the calling thread: reads the file from
   Source piece by piece (at most PieceSize bytes, following the alignment
   rules), sends each piece, and completes the request with success, or
   with CompletionStatusOf the first failure.  Returns the failure, if any.
   The building block of SyncService, for services with their own loop. */
Result ServeHydration(const ServiceConnection &Connection, const HydrationRequest &Request,
                      const DataSource &Source, ULONG PieceSize, std::vector<unsigned char> &Buffer,
                      const EventObserver &Observer = {});

/* The request a hydrate message carries. */
HydrationRequest DecodeHydration(const SERVICE_MESSAGE &Message);

/* ------------------------------------------------------------------------
 * Placeholders (the placeholder control request, ServiceClient.h)
 * ---------------------------------------------------------------------- */

/* Makes one placeholder in the directory at DirectoryPath. */
Result MakePlaceholder(LPCWSTR DirectoryPath, const PlaceholderDescription &Placeholder);

/* Makes several placeholders in one directory, opened once.  Each (when
   given) gets a Result per placeholder, in order; every placeholder is
   tried.  The result is the first failure, or success when all were
   made. */
Result MakePlaceholders(LPCWSTR DirectoryPath, const std::vector<PlaceholderDescription> &Placeholders,
                        std::vector<Result> *Each = nullptr);

/* Turns the full file at Path into a placeholder that carries ReparseData
   (its data is thrown away, its size kept; the next use hydrates it). */
Result ConvertFile(LPCWSTR Path, const std::vector<unsigned char> &ReparseData);

/* Changes the placeholder at Path: UpdateFlags (PlaceholderUpdate*) says
   which of its reparse data, times and attributes, and end of file take
   Placeholder's values. */
Result ChangePlaceholder(LPCWSTR Path, ULONG UpdateFlags, const PlaceholderDescription &Placeholder);

}  // namespace zentaflt::service
