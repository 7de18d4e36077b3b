/*
 * DriverLockOrder.h - the filter's lock order (stated in Zentaflt.h),
 * declared to the emulator's lock-order checker, so that every acquisition
 * in a test is checked against it: a stream's lock, then a sync root's
 * lock; the list lock alone; never two locks of one kind.
 *
 * Locks are told apart by where they live: the list lock in FilterGlobals,
 * a sync root's lock in a pool block tagged PoolTagSyncRoot, a stream's
 * lock in a stream context (PoolTagStreamContext).  Records a test builds
 * on its own stack are not classified.
 */
#pragma once

#include "EmuTesting.h"
#include "Zentaflt.h"

namespace zentaflt_test {

enum DriverLockClass { StreamLockClass, SyncRootLockClass, ListLockClass };

inline void DeclareDriverLockOrder(emu::System &System)
{
    emu::DeclaredLockOrder Order;
    Order.Classes = {{"stream lock", false}, {"sync-root lock", false}, {"sync-root list lock", true}};
    emu::Verifier *Accounting = &System.Accounting();
    Order.Classify = [Accounting](const void *Lock) -> int {
        if (Lock == &FilterGlobals.SyncRootListLock) {
            return ListLockClass;
        }
        ULONG Tag = 0;
        if (!Accounting->PoolTagAt(Lock, &Tag)) {
            return -1;
        }
        return Tag == PoolTagStreamContext ? StreamLockClass : Tag == PoolTagSyncRoot ? SyncRootLockClass : -1;
    };
    System.LockOrder().DeclareOrder(std::move(Order));
}

}  // namespace zentaflt_test
