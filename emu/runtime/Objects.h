/*
 * Objects.h - the emulated object manager and processes.
 *
 * Objects carry a header before their body with their type and their
 * pointer and handle counts; ObfReferenceObject and ObfDereferenceObject
 * work on the body, as on Windows.  Each process has a handle table; a
 * handle grants the access it was opened with, and ObReferenceObjectByHandle
 * checks it for user-mode callers.  Every live object is counted by the
 * verifier, so a reference a driver keeps shows as a leak.
 */
#pragma once

#include "Runtime.h"

struct _OBJECT_TYPE {
    const char *Name;
    GENERIC_MAPPING Mapping;
    /* A handle to the object was closed in Process; HandleCount handles of
       the object remain open in all processes. */
    void (*Close)(PVOID Object, emu::EmuProcess *Process, LONG_PTR HandleCount);
    /* The last reference went; release what the body holds (not the body
       itself, which the object manager frees). */
    void (*Delete)(PVOID Object);
};

namespace emu {

/* Creates an object of BodySize zeroed bytes with one pointer reference. */
PVOID CreateObject(_OBJECT_TYPE *Type, SIZE_T BodySize, const std::string &Description);
_OBJECT_TYPE *TypeOfObject(PVOID Object);
LONG_PTR PointerCountOf(PVOID Object);
bool IsObject(PVOID Object);

/* Handles. InsertHandle takes a reference of its own.  A handle made with
   OBJ_KERNEL_HANDLE is a kernel handle: it goes into the system process's
   table whatever Process is, its value carries KernelHandleBits (the top
   bits, as Windows sets them on x64), and it is valid only in kernel mode
   ("OBJECT_ATTRIBUTES": "the handle can only be accessed in kernel mode").
   CloseHandleIn and ReferenceByHandle look a kernel handle up in the system
   process's table; a user-mode caller never reaches them with one. */
HANDLE InsertHandle(EmuProcess *Process, PVOID Object, ACCESS_MASK GrantedAccess, ULONG Attributes = 0);
NTSTATUS CloseHandleIn(EmuProcess *Process, HANDLE Handle);
constexpr uint64_t KernelHandleBits = 0xFFFFFFFF80000000ull;
bool IsKernelHandle(HANDLE Handle);
/* Looks a handle up without an access check; references the object. */
NTSTATUS ReferenceByHandle(EmuProcess *Process, HANDLE Handle, _OBJECT_TYPE *Type, PVOID *Object,
                           ACCESS_MASK *GrantedAccess);
ACCESS_MASK MapGenericAccess(ACCESS_MASK Access, const GENERIC_MAPPING &Mapping);

/* Processes. */
EmuProcess *SystemProcess();
EmuProcess *CurrentProcess();
EmuProcess *CreateProcess(const std::string &Name);
/* Ends a process: every handle it holds is closed, in the order opened. */
void TerminateProcess(EmuProcess *Process);
void ResetProcesses();
/* When set, new processes and threads get ids above 32 bits. */
void UseWideIds(bool Wide);
uint64_t NewThreadId();

/* Runs the current thread as a thread of Process until the scope ends. */
class ProcessScope {
public:
    explicit ProcessScope(EmuProcess *Process);
    ~ProcessScope();
    ProcessScope(const ProcessScope &) = delete;
    ProcessScope &operator=(const ProcessScope &) = delete;

private:
    EmuProcess *Saved;
};

}  // namespace emu
