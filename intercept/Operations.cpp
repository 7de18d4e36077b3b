/*
 * Operations.cpp - the operation table: which file operations the filter
 * sees, and through which callbacks.  Paging reads and writes are skipped
 * by registration: the memory manager's I/O and the filter's own writes of
 * a placeholder's data never wait here.
 */
#include "../include/Zentaflt.h"

const FLT_OPERATION_REGISTRATION OperationRegistration[] = {
    {IRP_MJ_ACQUIRE_FOR_SECTION_SYNCHRONIZATION, 0, PreAcquireForSection, NULL, NULL},
    {IRP_MJ_CREATE, 0, PreCreate, PostCreate, NULL},
    {IRP_MJ_DEVICE_CONTROL, 0, PreDeviceControl, NULL, NULL},
    {IRP_MJ_FILE_SYSTEM_CONTROL, 0, PreFileSystemControl, NULL, NULL},
    {IRP_MJ_LOCK_CONTROL, 0, PreHydrateAccess, NULL, NULL},
    {IRP_MJ_READ, FLTFL_OPERATION_REGISTRATION_SKIP_PAGING_IO, PreHydrateAccess, NULL, NULL},
    {IRP_MJ_SET_INFORMATION, 0, PreSetInformation, NULL, NULL},
    {IRP_MJ_WRITE, FLTFL_OPERATION_REGISTRATION_SKIP_PAGING_IO, PreHydrateAccess, NULL, NULL},
    {IRP_MJ_OPERATION_END, 0, NULL, NULL, NULL},
};
