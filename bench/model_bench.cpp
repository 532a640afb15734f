// What the simulated kernel's own machinery costs, each against the host
// primitive it stands for, measured in the same run (main.cpp prints the
// ratios): a routine counter, a fast-mutex acquire/release pair, a pool
// allocate/free pair.
#include "platform/kernel.h"
#include "sim/ke/core.h"

#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdlib>
#include <mutex>

namespace {

// The floor of a counter: one relaxed atomic add.
void Counter_HostAtomic(benchmark::State& state) {
    static std::atomic<uint64_t> cell{0};
    for (auto _ : state) {
        cell.fetch_add(1, std::memory_order_relaxed);
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations());
}

void Counter_Model(benchmark::State& state) {
    sim::ResetKernel();
    for (auto _ : state) {
        sim::Count("ExAcquireFastMutex");
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations());
    state.counters["counted"] = static_cast<double>(sim::CallCount("ExAcquireFastMutex"));
}

void MutexPair_Host(benchmark::State& state) {
    std::mutex mutex;
    for (auto _ : state) {
        mutex.lock();
        benchmark::ClobberMemory();
        mutex.unlock();
    }
    state.SetItemsProcessed(state.iterations());
}

void MutexPair_FastMutex(benchmark::State& state) {
    sim::ResetKernel();
    static FAST_MUTEX mutex;
    ExInitializeFastMutex(&mutex);
    for (auto _ : state) {
        ExAcquireFastMutex(&mutex);
        benchmark::ClobberMemory();
        ExReleaseFastMutex(&mutex);
    }
    state.SetItemsProcessed(state.iterations());
    sim::ResetKernel();
}

constexpr ULONG kBenchTag = 0x686E6342;  // "Bcnh" in memory

void PoolPair_HostMalloc(benchmark::State& state) {
    const size_t size = static_cast<size_t>(state.range(0));
    for (auto _ : state) {
        void* block = std::malloc(size);
        benchmark::DoNotOptimize(block);
        std::free(block);
    }
    state.SetItemsProcessed(state.iterations());
}

void PoolPair_SimPool(benchmark::State& state) {
    sim::ResetKernel();
    const size_t size = static_cast<size_t>(state.range(0));
    for (auto _ : state) {
        void* block = ExAllocatePoolWithTag(NonPagedPoolNx, size, kBenchTag);
        benchmark::DoNotOptimize(block);
        ExFreePoolWithTag(block, kBenchTag);
    }
    state.SetItemsProcessed(state.iterations());
    sim::ResetKernel();
}

// Family names "<family>/<configuration>": the first configuration of a
// family is its baseline in the ratio table.
BENCHMARK(Counter_HostAtomic)->Name("Counter/host_atomic");
BENCHMARK(Counter_Model)->Name("Counter/sim_count");
BENCHMARK(MutexPair_Host)->Name("MutexPair/host_mutex");
BENCHMARK(MutexPair_FastMutex)->Name("MutexPair/fast_mutex");
BENCHMARK(PoolPair_HostMalloc)->Name("PoolPair/host_malloc")->Arg(64);
BENCHMARK(PoolPair_SimPool)->Name("PoolPair/sim_pool")->Arg(64);

}  // namespace
