/*
 * Testing.cpp - callback data a test builds to call a driver routine the
 * way a filter callback would be called.  It is an I/O request that is never
 * sent: the routine sees the same FLT_CALLBACK_DATA a callback gets.
 */
#include "Io.h"

namespace emu {

PFLT_CALLBACK_DATA MakeCallbackData(HANDLE Handle, UCHAR MajorFunction, KPROCESSOR_MODE RequestorMode,
                                    bool PostOperation)
{
    PVOID Object;
    ACCESS_MASK Granted;
    if (!NT_SUCCESS(ReferenceByHandle(CurrentProcess(), Handle, *IoFileObjectType, &Object, &Granted))) {
        return nullptr;
    }
    auto File = (EmuFile *)Object;
    IoRequest *Request = AllocateRequest(File, MajorFunction, RequestorMode);
    ObfDereferenceObject(File);  // the request holds its own reference
    FilterManager &Manager = TheFilterManager();
    {
        std::lock_guard<std::mutex> Guard(Manager.Lock);
        for (const auto &Filter : Manager.Filters) {
            for (const auto &Instance : Filter->Instances) {
                if (Instance->Attached && Instance->Volume == File->Volume) {
                    Request->Iopb.TargetInstance = Instance.get();
                }
            }
        }
    }
    if (PostOperation) {
        Request->Data.Flags |= FLTFL_CALLBACK_DATA_POST_OPERATION;
    }
    return &Request->Data;
}

void FreeCallbackData(PFLT_CALLBACK_DATA Data)
{
    FreeRequest(RequestOf(Data));
}

}  // namespace emu

namespace emu {

NTSTATUS OpenBelow(PFLT_INSTANCE Instance, const std::u16string &Path, ACCESS_MASK DesiredAccess, ULONG ShareAccess,
                   ULONG Options, HANDLE *Handle, PFILE_OBJECT *FileObject)
{
    ULONG_PTR Information = 0;
    return CreateFile(Instance->Volume, Path, DesiredAccess, 0, ShareAccess, FILE_OPEN, Options, KernelMode, Handle,
                      &Information, Instance, nullptr, FileObject);
}

}  // namespace emu
