/*
 * Dispatch.cpp - operations programs start, passed through the filters
 * attached to the file's volume: pre-operation callbacks from the top,
 * then the file system, then post-operation callbacks from the bottom.
 * A pre-operation callback that completes the operation ends it there,
 * with the status it set.
 */
#include "Io.h"

namespace emu {

NTSTATUS DispatchToFilters(EmuFile *File, FLT_IO_PARAMETER_BLOCK *Iopb, KPROCESSOR_MODE Mode,
                           const std::function<NTSTATUS(ULONG_PTR *)> &FileSystem, ULONG_PTR *Information)
{
    FLT_CALLBACK_DATA Data = {FLTFL_CALLBACK_DATA_IRP_OPERATION, PsGetCurrentThread(), Iopb};
    Data.RequestorMode = Mode;
    Iopb->TargetFileObject = &File->File;

    std::vector<std::pair<_FLT_INSTANCE *, const FLT_OPERATION_REGISTRATION *>> Callbacks;
    {
        FilterManager &Manager = TheFilterManager();
        std::lock_guard<std::mutex> Guard(Manager.Lock);
        for (const auto &Filter : Manager.Filters) {
            if (Filter->State != FilterState::Filtering) {
                continue;
            }
            for (const auto &Instance : Filter->Instances) {
                if (!Instance->Attached || Instance->Volume != File->Volume) {
                    continue;
                }
                for (const auto &Operation : Filter->Operations) {
                    if (Operation.MajorFunction == Iopb->MajorFunction) {
                        Callbacks.emplace_back(Instance.get(), &Operation);
                    }
                }
            }
        }
    }

    struct Pending {
        _FLT_INSTANCE *Instance;
        PFLT_POST_OPERATION_CALLBACK Post;
        PVOID Context;
    };
    std::vector<Pending> Posts;
    std::string Major = std::to_string(Iopb->MajorFunction);
    for (auto &[Instance, Operation] : Callbacks) {
        Iopb->TargetInstance = Instance;
        if (Operation->PreOperation == NULL) {
            Posts.push_back({Instance, Operation->PostOperation, NULL});
            continue;
        }
        FLT_RELATED_OBJECTS Objects = {sizeof(FLT_RELATED_OBJECTS), 0, Instance->Filter, File->Volume, Instance,
                                       &File->File, NULL};
        PVOID Context = NULL;
        FLT_PREOP_CALLBACK_STATUS Result;
        {
            CallbackScope Scope("PreOperation");
            Result = Operation->PreOperation(&Data, &Objects, &Context);
        }
        if (Result == FLT_PREOP_COMPLETE) {
            if (Data.IoStatus.Status == STATUS_PENDING) {
                TheVerifier().Report("pre-operation callback of major " + Major +
                                     " completed the operation with STATUS_PENDING");
            }
            *Information = Data.IoStatus.Information;
            return Data.IoStatus.Status;
        }
        if (Result == FLT_PREOP_SUCCESS_WITH_CALLBACK || Result == FLT_PREOP_SYNCHRONIZE) {
            Posts.push_back({Instance, Operation->PostOperation, Context});
        } else if (Result != FLT_PREOP_SUCCESS_NO_CALLBACK) {
            TheVerifier().Report("pre-operation callback of major " + Major + " returned unsupported status " +
                                 std::to_string(Result));
        }
    }

    ULONG_PTR Result = 0;
    Data.IoStatus.Status = FileSystem(&Result);
    Data.IoStatus.Information = Result;
    for (auto Post = Posts.rbegin(); Post != Posts.rend(); ++Post) {
        if (Post->Post == NULL) {
            continue;
        }
        Iopb->TargetInstance = Post->Instance;
        FLT_RELATED_OBJECTS Objects = {sizeof(FLT_RELATED_OBJECTS), 0, Post->Instance->Filter, File->Volume,
                                       Post->Instance, &File->File, NULL};
        Data.Flags |= FLTFL_CALLBACK_DATA_POST_OPERATION;
        CallbackScope Scope("PostOperation");
        Post->Post(&Data, &Objects, Post->Context, 0);
    }
    *Information = Data.IoStatus.Information;
    return Data.IoStatus.Status;
}

}  // namespace emu
