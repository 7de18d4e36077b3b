/*
 * Synchronous.cpp - FltIsOperationSynchronous, by the conditions its page
 * lists, in order: an operation that is not IRP-based (fast I/O, callback
 * operations such as section synchronisation) is synchronous; asynchronous
 * paging I/O is asynchronous whatever else holds; synchronous paging I/O
 * is synchronous; so is an operation on a file object opened for
 * synchronous I/O, one whose IRP carries IRP_SYNCHRONOUS_API, and a
 * device or file-system control with a METHOD_BUFFERED code; anything
 * else is asynchronous.
 */
#include "../io/Io.h"

using namespace emu;

extern "C" {

BOOLEAN FLTAPI FltIsOperationSynchronous(PFLT_CALLBACK_DATA CallbackData)
{
    IoRequest *Request = RequestOf(CallbackData);
    if (!FLT_IS_IRP_OPERATION(CallbackData)) {
        return TRUE;
    }
    ULONG IrpFlags = Request->Iopb.IrpFlags;
    if (IrpFlags & IRP_PAGING_IO) {
        return (IrpFlags & IRP_SYNCHRONOUS_PAGING_IO) ? TRUE : FALSE;
    }
    if ((Request->File->File.Flags & FO_SYNCHRONOUS_IO) || (IrpFlags & IRP_SYNCHRONOUS_API)) {
        return TRUE;
    }
    UCHAR Major = Request->Iopb.MajorFunction;
    if (Major == IRP_MJ_DEVICE_CONTROL || Major == IRP_MJ_INTERNAL_DEVICE_CONTROL ||
        Major == IRP_MJ_FILE_SYSTEM_CONTROL) {
        ULONG Code = Request->Iopb.Parameters.DeviceIoControl.Common.IoControlCode;
        return METHOD_FROM_CTL_CODE(Code) == METHOD_BUFFERED ? TRUE : FALSE;
    }
    return FALSE;
}

}  // extern "C"
