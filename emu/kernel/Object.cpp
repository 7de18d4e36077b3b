/*
 * Object.cpp - object headers, reference counts and handle tables.
 */
#include "../runtime/Objects.h"

#include <cstdio>

using namespace emu;

namespace {

constexpr uint64_t ObjectMagic = 0x54434A424F554D45ULL;  // "EMUOBJCT"

struct alignas(16) ObjectHeader {
    uint64_t Magic;
    _OBJECT_TYPE *Type;
    std::atomic<LONG_PTR> PointerCount;
    std::atomic<LONG_PTR> HandleCount;
};

ObjectHeader *HeaderOf(PVOID Object)
{
    auto Header = (ObjectHeader *)Object - 1;
    if (Object == NULL || !TheVerifier().IsLive("object", Object) || Header->Magic != ObjectMagic) {
        RaiseBugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION, (ULONG_PTR)Object,
                      "reference to something that is not a live object (dereferenced too often?)");
    }
    return Header;
}

}  // namespace

namespace emu {

PVOID CreateObject(_OBJECT_TYPE *Type, SIZE_T BodySize, const std::string &Description)
{
    auto Block = (char *)calloc(1, sizeof(ObjectHeader) + BodySize);
    auto Header = new (Block) ObjectHeader();
    Header->Magic = ObjectMagic;
    Header->Type = Type;
    Header->PointerCount = 1;
    Header->HandleCount = 0;
    PVOID Body = Header + 1;
    TheVerifier().OnCreate("object", Body, std::string(Type->Name) + " " + Description);
    return Body;
}

_OBJECT_TYPE *TypeOfObject(PVOID Object)
{
    return HeaderOf(Object)->Type;
}

LONG_PTR PointerCountOf(PVOID Object)
{
    return HeaderOf(Object)->PointerCount.load();
}

bool IsObject(PVOID Object)
{
    return Object != NULL && TheVerifier().IsLive("object", Object);
}

ACCESS_MASK MapGenericAccess(ACCESS_MASK Access, const GENERIC_MAPPING &Mapping)
{
    ACCESS_MASK Mapped = Access & ~(ACCESS_MASK)(GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL);
    if (Access & GENERIC_READ) {
        Mapped |= Mapping.GenericRead;
    }
    if (Access & GENERIC_WRITE) {
        Mapped |= Mapping.GenericWrite;
    }
    if (Access & GENERIC_EXECUTE) {
        Mapped |= Mapping.GenericExecute;
    }
    if (Access & GENERIC_ALL) {
        Mapped |= Mapping.GenericAll;
    }
    return Mapped;
}

bool IsKernelHandle(HANDLE Handle)
{
    return ((uint64_t)Handle & KernelHandleBits) == KernelHandleBits;
}

HANDLE InsertHandle(EmuProcess *Process, PVOID Object, ACCESS_MASK GrantedAccess, ULONG Attributes)
{
    ObjectHeader *Header = HeaderOf(Object);
    Header->PointerCount += 1;
    Header->HandleCount += 1;
    bool Kernel = (Attributes & OBJ_KERNEL_HANDLE) != 0;
    if (Kernel) {
        Process = SystemProcess();
    }
    std::lock_guard<std::mutex> Guard(Process->HandleLock);
    uint64_t Value = Process->NextHandle | (Kernel ? KernelHandleBits : 0);
    Process->NextHandle += 4;
    Process->Handles[Value] = HandleEntry{Object, GrantedAccess, Attributes};
    return (HANDLE)Value;
}

/* A handle's entry in its table: the low two bits of the value are tag
   bits the caller may use, which Windows ignores (OBJ_HANDLE_TAGBITS in
   ntdef.h). */
static uint64_t HandleIndex(HANDLE Handle)
{
    return (uint64_t)Handle & ~(uint64_t)OBJ_HANDLE_TAGBITS;
}

NTSTATUS CloseHandleIn(EmuProcess *Process, HANDLE Handle)
{
    PVOID Object;
    if (IsKernelHandle(Handle)) {
        Process = SystemProcess();
    }
    {
        std::lock_guard<std::mutex> Guard(Process->HandleLock);
        auto Found = Process->Handles.find(HandleIndex(Handle));
        if (Found == Process->Handles.end()) {
            return STATUS_INVALID_HANDLE;
        }
        Object = Found->second.Object;
        Process->Handles.erase(Found);
    }
    ObjectHeader *Header = HeaderOf(Object);
    LONG_PTR Remaining = --Header->HandleCount;
    if (Header->Type->Close != nullptr) {
        Header->Type->Close(Object, Process, Remaining);
    }
    ObfDereferenceObject(Object);
    return STATUS_SUCCESS;
}

NTSTATUS ReferenceByHandle(EmuProcess *Process, HANDLE Handle, _OBJECT_TYPE *Type, PVOID *Object,
                           ACCESS_MASK *GrantedAccess)
{
    if (IsKernelHandle(Handle)) {
        Process = SystemProcess();
    }
    std::lock_guard<std::mutex> Guard(Process->HandleLock);
    auto Found = Process->Handles.find(HandleIndex(Handle));
    if (Found == Process->Handles.end()) {
        return STATUS_INVALID_HANDLE;
    }
    if (Type != nullptr && HeaderOf(Found->second.Object)->Type != Type) {
        return STATUS_OBJECT_TYPE_MISMATCH;
    }
    HeaderOf(Found->second.Object)->PointerCount += 1;
    *Object = Found->second.Object;
    *GrantedAccess = Found->second.GrantedAccess;
    return STATUS_SUCCESS;
}

}  // namespace emu

extern "C" {

LONG_PTR FASTCALL ObfReferenceObject(PVOID Object)
{
    return ++HeaderOf(Object)->PointerCount;
}

LONG_PTR FASTCALL ObfDereferenceObject(PVOID Object)
{
    ObjectHeader *Header = HeaderOf(Object);
    LONG_PTR Remaining = --Header->PointerCount;
    if (Remaining < 0) {
        RaiseBugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION, (ULONG_PTR)Object, "object dereferenced too often");
    }
    if (Remaining == 0) {
        if (Header->Type->Delete != nullptr) {
            Header->Type->Delete(Object);
        }
        TheVerifier().OnDestroy("object", Object);
        Header->Magic = 0;
        Header->~ObjectHeader();
        free(Header);
    }
    return Remaining;
}

NTSTATUS NTAPI ObReferenceObjectByHandle(HANDLE Handle, ACCESS_MASK DesiredAccess, POBJECT_TYPE ObjectType,
                                         KPROCESSOR_MODE AccessMode, PVOID *Object,
                                         POBJECT_HANDLE_INFORMATION HandleInformation)
{
    EMU_INJECT_STATUS("ObReferenceObjectByHandle");
    PVOID Found = NULL;
    ACCESS_MASK Granted = 0;
    if (AccessMode == UserMode && IsKernelHandle(Handle)) {
        return STATUS_INVALID_HANDLE;  // kernel handles are for kernel mode only
    }
    NTSTATUS Status = ReferenceByHandle(CurrentProcess(), Handle, ObjectType, &Found, &Granted);
    if (!NT_SUCCESS(Status)) {
        return Status;
    }
    if (AccessMode == UserMode) {
        ACCESS_MASK Wanted = MapGenericAccess(DesiredAccess, TypeOfObject(Found)->Mapping);
        if ((Granted & Wanted) != Wanted) {
            ObfDereferenceObject(Found);
            return STATUS_ACCESS_DENIED;
        }
    }
    *Object = Found;
    if (HandleInformation != NULL) {
        HandleInformation->HandleAttributes = 0;
        HandleInformation->GrantedAccess = Granted;
    }
    return STATUS_SUCCESS;
}

/* ObOpenObjectByPointer: a handle for an object the caller holds by
   pointer, in the current process's table or, with OBJ_KERNEL_HANDLE, in
   the system process's.  KernelMode grants the desired access unchecked
   ("If AccessMode is KernelMode, the requested access is always allowed");
   no security descriptors are kept on objects, so UserMode grants it too.
   No access state is emulated (PassedAccessState must be null). */
NTSTATUS NTAPI ObOpenObjectByPointer(PVOID Object, ULONG HandleAttributes, PACCESS_STATE PassedAccessState,
                                     ACCESS_MASK DesiredAccess, POBJECT_TYPE ObjectType, KPROCESSOR_MODE AccessMode,
                                     PHANDLE Handle)
{
    UNREFERENCED_PARAMETER(AccessMode);
    EMU_INJECT_STATUS("ObOpenObjectByPointer");
    if (!IsObject(Object)) {
        RaiseBugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION, (ULONG_PTR)Object, "ObOpenObjectByPointer: not an object");
    }
    if (PassedAccessState != NULL) {
        TheVerifier().Report("ObOpenObjectByPointer with an access state, which is not emulated");
        return STATUS_NOT_IMPLEMENTED;
    }
    if (ObjectType != NULL && TypeOfObject(Object) != ObjectType) {
        return STATUS_OBJECT_TYPE_MISMATCH;
    }
    ACCESS_MASK Granted = MapGenericAccess(DesiredAccess, TypeOfObject(Object)->Mapping);
    *Handle = InsertHandle(CurrentProcess(), Object, Granted, HandleAttributes & OBJ_KERNEL_HANDLE);
    return STATUS_SUCCESS;
}

/* ZwClose: a kernel handle from the system process's table, any other from
   the current process's; STATUS_INVALID_HANDLE for one that is not open. */
NTSTATUS NTAPI ZwClose(HANDLE Handle)
{
    return CloseHandleIn(CurrentProcess(), Handle);
}

}  // extern "C"
