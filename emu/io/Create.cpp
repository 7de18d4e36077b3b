/*
 * Create.cpp - file objects, the create path, and the dispatch of a create
 * through the filters attached to a volume.
 */
#include "Io.h"

using namespace emu;

namespace {

constexpr CSHORT IoTypeFile = 5;

void CloseFile(PVOID Object, EmuProcess *, LONG_PTR HandleCount);
void DeleteFile(PVOID Object);

_OBJECT_TYPE FileType = {
    "File",
    {FILE_GENERIC_READ, FILE_GENERIC_WRITE, FILE_GENERIC_EXECUTE, FILE_ALL_ACCESS},
    CloseFile,
    DeleteFile,
};

POBJECT_TYPE FileTypePointer = &FileType;

/* Last handle closed: the cleanup of the file object gives its share
   access back. */
void CloseFile(PVOID Object, EmuProcess *, LONG_PTR HandleCount)
{
    if (HandleCount != 0) {
        return;
    }
    auto File = (EmuFile *)Object;
    NtfsVolume *Namespace = NamespaceOf(File->Volume);
    std::lock_guard<std::recursive_mutex> Guard(Namespace->Lock);
    if (File->Cleaned || File->Node == nullptr) {
        return;
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
    File->Cleaned = true;
    File->File.Flags |= FO_CLEANUP_COMPLETE;
    Node->Handles -= 1;
    if (Node->Handles == 0 && Node->UsnReasons != 0) {
        WriteUsnClose(Namespace, File, Node);
    }
}

/* Last reference gone: the close of the file object. */
void DeleteFile(PVOID Object)
{
    auto File = (EmuFile *)Object;
    bool LastOfStream = false;
    if (File->Node != nullptr) {
        NtfsVolume *Namespace = NamespaceOf(File->Volume);
        std::lock_guard<std::recursive_mutex> Guard(Namespace->Lock);
        File->Node->References -= 1;
        LastOfStream = File->Node->References == 0;
    }
    if (LastOfStream) {
        TeardownStreamContexts(File->Node);
    }
    delete File->OpenedName;
}

/* IoCheckShareAccess: may an open with Access and Share join the opens
   already on Node? */
bool ShareAccessAllows(const NtfsNode *Node, ACCESS_MASK Access, ULONG Share)
{
    bool Read = Access & (FILE_READ_DATA | FILE_EXECUTE);
    bool Write = Access & (FILE_WRITE_DATA | FILE_APPEND_DATA);
    bool Delete = Access & DELETE;
    if (!Read && !Write && !Delete) {
        return true;
    }
    if ((Read && Node->SharedRead < Node->OpenCount) || (Write && Node->SharedWrite < Node->OpenCount) ||
        (Delete && Node->SharedDelete < Node->OpenCount)) {
        return false;
    }
    if ((Node->Readers != 0 && !(Share & FILE_SHARE_READ)) || (Node->Writers != 0 && !(Share & FILE_SHARE_WRITE)) ||
        (Node->Deleters != 0 && !(Share & FILE_SHARE_DELETE))) {
        return false;
    }
    return true;
}

void AddShareAccess(NtfsNode *Node, ACCESS_MASK Access, ULONG Share)
{
    bool Read = Access & (FILE_READ_DATA | FILE_EXECUTE);
    bool Write = Access & (FILE_WRITE_DATA | FILE_APPEND_DATA);
    bool Delete = Access & DELETE;
    if (!Read && !Write && !Delete) {
        return;
    }
    Node->OpenCount += 1;
    Node->Readers += Read;
    Node->Writers += Write;
    Node->Deleters += Delete;
    Node->SharedRead += (Share & FILE_SHARE_READ) != 0;
    Node->SharedWrite += (Share & FILE_SHARE_WRITE) != 0;
    Node->SharedDelete += (Share & FILE_SHARE_DELETE) != 0;
}

std::vector<std::u16string> SplitPath(const std::u16string &Path)
{
    std::vector<std::u16string> Parts;
    std::u16string Current;
    for (char16_t Character : Path) {
        if (Character == u'\\') {
            if (!Current.empty()) {
                Parts.push_back(Current);
            }
            Current.clear();
        } else {
            Current += Character;
        }
    }
    if (!Current.empty()) {
        Parts.push_back(Current);
    }
    return Parts;
}

bool ValidName(const std::u16string &Name)
{
    if (Name == u"." || Name == u"..") {
        return false;
    }
    for (char16_t Character : Name) {
        if (Character < 0x20 || std::u16string(u"\"*/:<>?|").find(Character) != std::u16string::npos) {
            return false;
        }
    }
    return true;
}

/* The file system's part of a create, under the namespace lock. */
NTSTATUS FileSystemCreate(_FLT_VOLUME *Volume, const std::u16string &Path, ACCESS_MASK Access, ULONG Attributes,
                          ULONG Share, ULONG Disposition, ULONG Options, NtfsNode **Opened, ULONG_PTR *Information)
{
    NtfsVolume *Namespace = NamespaceOf(Volume);
    std::vector<std::u16string> Parts = SplitPath(Path);
    NtfsNode *Directory = &Namespace->Root;
    for (size_t Index = 0; Index + 1 < Parts.size(); Index += 1) {
        auto Found = Directory->Children.find(Upcase(Parts[Index]));
        if (Found == Directory->Children.end() || !Found->second->Directory) {
            return STATUS_OBJECT_PATH_NOT_FOUND;
        }
        Directory = Found->second.get();
    }
    NtfsNode *Node = nullptr;
    if (Parts.empty()) {
        Node = &Namespace->Root;
    } else {
        auto Found = Directory->Children.find(Upcase(Parts.back()));
        if (Found != Directory->Children.end()) {
            Node = Found->second.get();
        } else if (!ValidName(Parts.back())) {
            return STATUS_OBJECT_NAME_INVALID;
        }
    }
    if (Node == nullptr) {
        if (Disposition == FILE_OPEN || Disposition == FILE_OVERWRITE) {
            return STATUS_OBJECT_NAME_NOT_FOUND;
        }
        auto Created = std::make_unique<NtfsNode>();
        Created->Name = Parts.back();
        Created->Directory = (Options & FILE_DIRECTORY_FILE) != 0;
        Created->Parent = Directory;
        Created->FileId = Namespace->NextFileId++;
        Created->Attributes = Created->Directory ? FILE_ATTRIBUTE_DIRECTORY
                                                 : ((Attributes & ~FILE_ATTRIBUTE_NORMAL) | FILE_ATTRIBUTE_ARCHIVE);
        LONGLONG Now = TheClock().Now();
        Created->CreationTime = Created->LastAccessTime = Created->LastWriteTime = Created->ChangeTime = Now;
        Node = Created.get();
        Directory->Children[Upcase(Parts.back())] = std::move(Created);
        *Information = FILE_CREATED;
        NoteUsnChange(Namespace, nullptr, Node, USN_REASON_FILE_CREATE);
    } else {
        if (Disposition == FILE_CREATE) {
            return STATUS_OBJECT_NAME_COLLISION;
        }
        if (Node->Directory && (Options & FILE_NON_DIRECTORY_FILE)) {
            return STATUS_FILE_IS_A_DIRECTORY;
        }
        if (!Node->Directory && (Options & FILE_DIRECTORY_FILE)) {
            return STATUS_NOT_A_DIRECTORY;
        }
        if (Node->Directory && Disposition != FILE_OPEN && Disposition != FILE_OPEN_IF) {
            return STATUS_INVALID_PARAMETER;
        }
        if (!ShareAccessAllows(Node, Access, Share)) {
            return STATUS_SHARING_VIOLATION;
        }
        *Information = FILE_OPENED;
        if (Disposition == FILE_SUPERSEDE || Disposition == FILE_OVERWRITE || Disposition == FILE_OVERWRITE_IF) {
            if (!Node->Data.empty()) {
                NoteUsnChange(Namespace, nullptr, Node, USN_REASON_DATA_TRUNCATION);
            }
            Node->Data.clear();
            Node->ValidDataLength = 0;
            Node->Clusters.clear();
            *Information = Disposition == FILE_SUPERSEDE ? FILE_SUPERSEDED : FILE_OVERWRITTEN;
        }
    }
    AddShareAccess(Node, Access, Share);
    Node->References += 1;
    Node->Handles += 1;
    *Opened = Node;
    return STATUS_SUCCESS;
}

struct PendingPost {
    _FLT_INSTANCE *Instance;
    PFLT_POST_OPERATION_CALLBACK Post;
    PVOID Context;
};

}  // namespace

extern "C" {
POBJECT_TYPE *IoFileObjectType = &FileTypePointer;
}

namespace emu {

EmuFile *FileOf(PFILE_OBJECT FileObject)
{
    if (!IsObject(FileObject) || TypeOfObject(FileObject) != &FileType) {
        RaiseBugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION, (ULONG_PTR)FileObject, "not a file object");
    }
    return (EmuFile *)FileObject;
}

NtfsVolume *NamespaceOf(_FLT_VOLUME *Volume)
{
    return Volume->Namespace.get();
}

std::u16string Upcase(const std::u16string &Text)
{
    std::u16string Upper = Text;
    for (char16_t &Character : Upper) {
        Character = (char16_t)RtlUpcaseUnicodeChar((WCHAR)Character);
    }
    return Upper;
}

std::u16string PathOf(const NtfsNode *Node)
{
    if (Node->Parent == nullptr) {
        return u"\\";
    }
    std::u16string Path;
    for (const NtfsNode *Current = Node; Current->Parent != nullptr; Current = Current->Parent) {
        Path = u"\\" + Current->Name + Path;
    }
    return Path;
}

_FLT_VOLUME *VolumeByLetter(WCHAR Letter)
{
    FilterManager &Manager = TheFilterManager();
    std::lock_guard<std::mutex> Guard(Manager.Lock);
    WCHAR Upper = RtlUpcaseUnicodeChar(Letter);
    for (const auto &Volume : Manager.Volumes) {
        if (Volume->Mounted && Volume->DriveLetter == Upper) {
            return Volume.get();
        }
    }
    return nullptr;
}

NTSTATUS CreateFile(_FLT_VOLUME *Volume, const std::u16string &Path, ACCESS_MASK DesiredAccess, ULONG FileAttributes,
                    ULONG ShareAccess, ULONG Disposition, ULONG Options, KPROCESSOR_MODE Mode, HANDLE *Handle,
                    ULONG_PTR *Information)
{
    if (Volume == nullptr || NamespaceOf(Volume) == nullptr || !Volume->Mounted) {
        return STATUS_OBJECT_PATH_NOT_FOUND;
    }
    if (Path.empty() || Path[0] != u'\\' || Disposition > FILE_MAXIMUM_DISPOSITION ||
        (ShareAccess & ~FILE_SHARE_VALID_FLAGS) != 0 ||
        ((Options & FILE_DIRECTORY_FILE) && (Options & FILE_NON_DIRECTORY_FILE))) {
        return STATUS_INVALID_PARAMETER;
    }
    ACCESS_MASK Access = MapGenericAccess(DesiredAccess, FileType.Mapping);
    if (Access & MAXIMUM_ALLOWED) {
        Access = (Access & ~(ACCESS_MASK)MAXIMUM_ALLOWED) | FILE_ALL_ACCESS;
    }

    /* The file object the request carries through the filters. */
    auto File = (EmuFile *)CreateObject(&FileType, sizeof(EmuFile), Narrow(Path));
    File->File.Type = IoTypeFile;
    File->File.Size = sizeof(FILE_OBJECT);
    File->Volume = Volume;
    File->Access = Access;
    File->ShareAccess = ShareAccess;
    File->Options = Options;
    File->OpenedName = new std::u16string(Path);
    File->File.FileName.Buffer = (PWSTR)File->OpenedName->data();
    File->File.FileName.Length = (USHORT)(Path.size() * sizeof(WCHAR));
    File->File.FileName.MaximumLength = File->File.FileName.Length;
    File->File.Flags = FO_SYNCHRONOUS_IO | ((Options & FILE_NO_INTERMEDIATE_BUFFERING) ? FO_NO_INTERMEDIATE_BUFFERING : 0);
    File->File.ReadAccess = (Access & (FILE_READ_DATA | FILE_EXECUTE)) != 0;
    File->File.WriteAccess = (Access & (FILE_WRITE_DATA | FILE_APPEND_DATA)) != 0;
    File->File.DeleteAccess = (Access & DELETE) != 0;
    File->File.SharedRead = (ShareAccess & FILE_SHARE_READ) != 0;
    File->File.SharedWrite = (ShareAccess & FILE_SHARE_WRITE) != 0;
    File->File.SharedDelete = (ShareAccess & FILE_SHARE_DELETE) != 0;

    IO_SECURITY_CONTEXT Security = {NULL, NULL, Access, Options};
    FLT_IO_PARAMETER_BLOCK Iopb = {};
    Iopb.MajorFunction = IRP_MJ_CREATE;
    Iopb.TargetFileObject = &File->File;
    Iopb.Parameters.Create.SecurityContext = &Security;
    Iopb.Parameters.Create.Options = (Disposition << 24) | (Options & 0x00FFFFFF);
    Iopb.Parameters.Create.FileAttributes = (USHORT)FileAttributes;
    Iopb.Parameters.Create.ShareAccess = (USHORT)ShareAccess;
    FLT_CALLBACK_DATA Data = {FLTFL_CALLBACK_DATA_IRP_OPERATION, PsGetCurrentThread(), &Iopb};
    Data.RequestorMode = Mode;

    /* Pre-operation callbacks of every filter attached to the volume. */
    std::vector<std::pair<_FLT_INSTANCE *, const FLT_OPERATION_REGISTRATION *>> Callbacks;
    {
        FilterManager &Manager = TheFilterManager();
        std::lock_guard<std::mutex> Guard(Manager.Lock);
        for (const auto &Filter : Manager.Filters) {
            if (Filter->State != FilterState::Filtering) {
                continue;
            }
            for (const auto &Instance : Filter->Instances) {
                if (Instance->Attached && Instance->Volume == Volume) {
                    for (const auto &Operation : Filter->Operations) {
                        if (Operation.MajorFunction == IRP_MJ_CREATE) {
                            Callbacks.emplace_back(Instance.get(), &Operation);
                        }
                    }
                }
            }
        }
    }
    std::vector<PendingPost> Posts;
    bool Completed = false;
    for (auto &[Instance, Operation] : Callbacks) {
        if (Operation->PreOperation == NULL) {
            Posts.push_back({Instance, Operation->PostOperation, NULL});
            continue;
        }
        Iopb.TargetInstance = Instance;
        FLT_RELATED_OBJECTS Objects = {sizeof(FLT_RELATED_OBJECTS), 0, Instance->Filter, Volume, Instance,
                                       &File->File, NULL};
        PVOID Context = NULL;
        FLT_PREOP_CALLBACK_STATUS Result;
        {
            CallbackScope Scope("PreOperation(IRP_MJ_CREATE)");
            Result = Operation->PreOperation(&Data, &Objects, &Context);
        }
        if (Result == FLT_PREOP_COMPLETE) {
            Completed = true;
            break;
        }
        if (Result == FLT_PREOP_SUCCESS_WITH_CALLBACK || Result == FLT_PREOP_SYNCHRONIZE) {
            Posts.push_back({Instance, Operation->PostOperation, Context});
        } else if (Result != FLT_PREOP_SUCCESS_NO_CALLBACK) {
            TheVerifier().Report("pre-create callback returned an unsupported status " + std::to_string(Result));
        }
    }

    if (!Completed) {
        NtfsNode *Node = nullptr;
        ULONG_PTR Result = 0;
        NtfsVolume *Namespace = NamespaceOf(Volume);
        {
            std::lock_guard<std::recursive_mutex> Guard(Namespace->Lock);
            Data.IoStatus.Status = FileSystemCreate(Volume, Path, Access, FileAttributes, ShareAccess, Disposition,
                                                    Options, &Node, &Result);
        }
        Data.IoStatus.Information = Result;
        if (NT_SUCCESS(Data.IoStatus.Status)) {
            File->Node = Node;
            File->File.FsContext = Node;
        }
        for (auto Post = Posts.rbegin(); Post != Posts.rend(); ++Post) {
            if (Post->Post == NULL) {
                continue;
            }
            Iopb.TargetInstance = Post->Instance;
            FLT_RELATED_OBJECTS Objects = {sizeof(FLT_RELATED_OBJECTS), 0, Post->Instance->Filter, Volume,
                                           Post->Instance, &File->File, NULL};
            Data.Flags |= FLTFL_CALLBACK_DATA_POST_OPERATION;
            CallbackScope Scope("PostOperation(IRP_MJ_CREATE)");
            Post->Post(&Data, &Objects, Post->Context, 0);
        }
    }

    NTSTATUS Status = Data.IoStatus.Status;
    if (Information != nullptr) {
        *Information = Data.IoStatus.Information;
    }
    if (NT_SUCCESS(Status) && File->Node != nullptr) {
        File->File.Flags |= FO_HANDLE_CREATED;
        *Handle = InsertHandle(CurrentProcess(), File, Access);
    } else if (NT_SUCCESS(Status)) {
        Status = STATUS_INTERNAL_ERROR;  // a filter completed a create with success but no file
    }
    ObfDereferenceObject(File);
    return Status;
}

PFLT_CALLBACK_DATA MakeCallbackData(HANDLE Handle, UCHAR MajorFunction, KPROCESSOR_MODE RequestorMode,
                                    bool PostOperation)
{
    PVOID Object;
    ACCESS_MASK Granted;
    if (!NT_SUCCESS(ReferenceByHandle(CurrentProcess(), Handle, &FileType, &Object, &Granted))) {
        return nullptr;
    }
    auto File = (EmuFile *)Object;
    auto Iopb = new FLT_IO_PARAMETER_BLOCK();
    Iopb->MajorFunction = MajorFunction;
    Iopb->TargetFileObject = &File->File;
    FilterManager &Manager = TheFilterManager();
    {
        std::lock_guard<std::mutex> Guard(Manager.Lock);
        for (const auto &Filter : Manager.Filters) {
            for (const auto &Instance : Filter->Instances) {
                if (Instance->Attached && Instance->Volume == File->Volume) {
                    Iopb->TargetInstance = Instance.get();
                }
            }
        }
    }
    FLT_CALLBACK_DATA Template = {FLTFL_CALLBACK_DATA_IRP_OPERATION, PsGetCurrentThread(), Iopb};
    auto Data = new FLT_CALLBACK_DATA(Template);
    Data->RequestorMode = RequestorMode;
    if (PostOperation) {
        Data->Flags |= FLTFL_CALLBACK_DATA_POST_OPERATION;
    }
    return Data;
}

void FreeCallbackData(PFLT_CALLBACK_DATA Data)
{
    ObfDereferenceObject(Data->Iopb->TargetFileObject);
    delete Data->Iopb;
    delete Data;
}

}  // namespace emu
