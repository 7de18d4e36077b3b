/*
 * Registration.cpp - the registration record and the context table the
 * filter manager reads when the filter registers.
 */
#include "../include/Zentaflt.h"

/* Contexts the filter uses: one per attached volume, one per placeholder
   stream.  The filter manager allocates them from the pool type the filter
   passes to FltAllocateContext. */
static const FLT_CONTEXT_REGISTRATION ContextRegistration[] = {
    {FLT_INSTANCE_CONTEXT, 0, NULL, InstanceContextSize, PoolTagInstanceContext, NULL, NULL, NULL},
    {FLT_STREAM_CONTEXT, 0, StreamContextCleanup, StreamContextSize, PoolTagStreamContext, NULL, NULL, NULL},
    {FLT_CONTEXT_END, 0, NULL, 0, 0, NULL, NULL, NULL},
};

const FLT_REGISTRATION FilterRegistration = {
    sizeof(FLT_REGISTRATION),   /* Size: 0x70 */
    FLT_REGISTRATION_VERSION,   /* Version: 0x0203 */
    0,                          /* Flags */
    ContextRegistration,
    OperationRegistration,
    FilterUnload,
    InstanceSetup,
    InstanceQueryTeardown,
    NULL,                       /* InstanceTeardownStartCallback */
    NULL,                       /* InstanceTeardownCompleteCallback */
    NULL,                       /* GenerateFileNameCallback */
    NULL,                       /* NormalizeNameComponentCallback */
    NULL,                       /* NormalizeContextCleanupCallback */
    NULL,                       /* TransactionNotificationCallback */
    NULL,                       /* NormalizeNameComponentExCallback */
    NULL,                       /* SectionNotificationCallback */
};

C_ASSERT(FLT_REGISTRATION_VERSION == 0x0203);
