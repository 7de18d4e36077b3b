/*
 * Cost of an emulated lock acquisition with the lock-order checker watching
 * it: an executive resource taken and released while the thread holds 0, 1
 * or 4 other resources (orders already recorded, so this is the steady
 * state: a stack capture and one lookup per lock held), and a spin lock.
 */
#include <benchmark/benchmark.h>

#include <vector>

#include "EmuTesting.h"

namespace {

void BM_ResourceAcquireRelease(benchmark::State &State)
{
    emu::System System;
    int Held = (int)State.range(0);
    std::vector<ERESOURCE> Outer((size_t)Held);
    ERESOURCE Inner;
    ExInitializeResourceLite(&Inner);
    KeEnterCriticalRegion();
    for (ERESOURCE &Resource : Outer) {
        ExInitializeResourceLite(&Resource);
        ExAcquireResourceExclusiveLite(&Resource, TRUE);
    }
    for (auto _ : State) {
        ExAcquireResourceExclusiveLite(&Inner, TRUE);
        ExReleaseResourceLite(&Inner);
    }
    for (ERESOURCE &Resource : Outer) {
        ExReleaseResourceLite(&Resource);
        ExDeleteResourceLite(&Resource);
    }
    KeLeaveCriticalRegion();
    ExDeleteResourceLite(&Inner);
}
BENCHMARK(BM_ResourceAcquireRelease)->Arg(0)->Arg(1)->Arg(4);

void BM_SpinLockAcquireRelease(benchmark::State &State)
{
    emu::System System;
    KSPIN_LOCK SpinLock;
    KeInitializeSpinLock(&SpinLock);
    for (auto _ : State) {
        KIRQL OldIrql;
        KeAcquireSpinLock(&SpinLock, &OldIrql);
        KeReleaseSpinLock(&SpinLock, OldIrql);
    }
}
BENCHMARK(BM_SpinLockAcquireRelease);

}  // namespace
