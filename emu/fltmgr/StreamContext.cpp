/*
 * StreamContext.cpp - stream contexts, kept by the filter manager per
 * stream (the file system's FsContext) and instance.  A stream's contexts
 * go when the file system lets the stream go (its last file object closed)
 * or when the instance is torn down ("Stream Contexts" and
 * FltSetStreamContext in the minifilter documentation).
 */
#include "../io/Io.h"

using namespace emu;

namespace {

/* Stream contexts, by stream and instance. */
std::mutex StreamContextsLock;
std::map<std::pair<void *, _FLT_INSTANCE *>, PFLT_CONTEXT> StreamContexts;

/* Releases every stream context whose key matches. */
template <typename Predicate> void ReleaseStreamContexts(Predicate Matches)
{
    std::vector<PFLT_CONTEXT> Released;
    {
        std::lock_guard<std::mutex> Guard(StreamContextsLock);
        for (auto Entry = StreamContexts.begin(); Entry != StreamContexts.end();) {
            if (Matches(Entry->first)) {
                Released.push_back(Entry->second);
                Entry = StreamContexts.erase(Entry);
            } else {
                ++Entry;
            }
        }
    }
    for (PFLT_CONTEXT Context : Released) {
        DetachContext(Context);
    }
}

}  // namespace

namespace emu {

void TeardownStreamContexts(void *Stream)
{
    ReleaseStreamContexts([Stream](const auto &Key) { return Key.first == Stream; });
}

void TeardownInstanceStreamContexts(_FLT_INSTANCE *Instance)
{
    ReleaseStreamContexts([Instance](const auto &Key) { return Key.second == Instance; });
}

}  // namespace emu

extern "C" {

NTSTATUS FLTAPI FltSetStreamContext(PFLT_INSTANCE Instance, PFILE_OBJECT FileObject,
                                    FLT_SET_CONTEXT_OPERATION Operation, PFLT_CONTEXT NewContext,
                                    PFLT_CONTEXT *OldContext)
{
    EMU_INJECT_STATUS("FltSetStreamContext");
    EmuFile *File = FileOf(FileObject);
    ContextHeader *Header = HeaderOf(NewContext);
    if (Header->Type != FLT_STREAM_CONTEXT || Header->Filter != Instance->Filter) {
        return STATUS_INVALID_PARAMETER;
    }
    if (OldContext != NULL) {
        *OldContext = NULL;
    }
    if (File->File.FsContext == nullptr) {
        return STATUS_NOT_SUPPORTED;
    }
    PFLT_CONTEXT Replaced = NULL;
    {
        std::lock_guard<std::mutex> Guard(StreamContextsLock);
        auto Key = std::make_pair(File->File.FsContext, (_FLT_INSTANCE *)Instance);
        auto Found = StreamContexts.find(Key);
        if (Found != StreamContexts.end()) {
            if (Operation == FLT_SET_CONTEXT_KEEP_IF_EXISTS) {
                if (OldContext != NULL) {
                    FltReferenceContext(Found->second);
                    *OldContext = Found->second;
                }
                return STATUS_FLT_CONTEXT_ALREADY_DEFINED;
            }
            Replaced = Found->second;
        }
        FltReferenceContext(NewContext);
        Header->AttachedTo = File->File.FsContext;
        StreamContexts[Key] = NewContext;
    }
    if (Replaced != NULL) {
        if (OldContext != NULL) {
            FltReferenceContext(Replaced);
            *OldContext = Replaced;
        }
        DetachContext(Replaced);
    }
    return STATUS_SUCCESS;
}

NTSTATUS FLTAPI FltGetStreamContext(PFLT_INSTANCE Instance, PFILE_OBJECT FileObject, PFLT_CONTEXT *Context)
{
    EMU_INJECT_STATUS("FltGetStreamContext");
    EmuFile *File = FileOf(FileObject);
    *Context = NULL;
    std::lock_guard<std::mutex> Guard(StreamContextsLock);
    auto Found = StreamContexts.find(std::make_pair(File->File.FsContext, (_FLT_INSTANCE *)Instance));
    if (Found == StreamContexts.end()) {
        return STATUS_NOT_FOUND;
    }
    FltReferenceContext(Found->second);
    *Context = Found->second;
    return STATUS_SUCCESS;
}

NTSTATUS FLTAPI FltDeleteStreamContext(PFLT_INSTANCE Instance, PFILE_OBJECT FileObject, PFLT_CONTEXT *OldContext)
{
    EmuFile *File = FileOf(FileObject);
    PFLT_CONTEXT Existing = NULL;
    {
        std::lock_guard<std::mutex> Guard(StreamContextsLock);
        auto Found = StreamContexts.find(std::make_pair(File->File.FsContext, (_FLT_INSTANCE *)Instance));
        if (Found != StreamContexts.end()) {
            Existing = Found->second;
            StreamContexts.erase(Found);
        }
    }
    if (OldContext != NULL) {
        *OldContext = Existing;
    }
    if (Existing == NULL) {
        return STATUS_NOT_FOUND;
    }
    if (OldContext != NULL) {
        FltReferenceContext(Existing);
    }
    DetachContext(Existing);
    return STATUS_SUCCESS;
}

}  // extern "C"
