/*
 * Operations.cpp - the operation table: which file operations the filter
 * sees, and through which callbacks.
 */
#include "../include/Zentaflt.h"

const FLT_OPERATION_REGISTRATION OperationRegistration[] = {
    {IRP_MJ_OPERATION_END, 0, NULL, NULL, NULL},
};
