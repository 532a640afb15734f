// Cost of the id-list operations as the lists grow: 10, 1,000 and 100,000
// listed ids. Each family's ratios compare the larger lists with the 10-id one
// in the same run; a flat family stays near 1.
//
//   IdListHasPid      a process id that is not listed (the test every start
//                     and exit by an unwatched process makes)
//   IdListAddPid      a new process id, then removing it again
//   IdListRemovePid   a listed id from the middle of the list, then adding it back
//   IdListHasFileId   a listed file id from the middle of the list
//   IdListAddFileId   a new file id (file ids are never removed one by one;
//                     the list is cleared at the end)
#include "driver/driver_data.h"
#include "sim/ke/core.h"

#include <benchmark/benchmark.h>

namespace {

// A list holding `count` ids: pids 8, 12, ... or file ids 0x10000, 0x10001, ...
struct FilledList {
    explicit FilledList(int64_t count, bool files) : files_(files) {
        sim::ResetKernel();
        IdListInit(&list);
        for (int64_t i = 0; i < count; ++i) {
            if (files_) {
                (VOID) IdListAddFileId(&list, kFirstFileId + static_cast<ULONG64>(i));
            } else {
                (VOID) IdListAddPid(&list, Pid(i));
            }
        }
    }
    ~FilledList() {
        if (files_) {
            IdListClearFileIds(&list);
        } else {
            IdListClearPids(&list);
        }
    }
    static ULONG Pid(int64_t i) { return static_cast<ULONG>(8 + 4 * i); }
    static constexpr ULONG64 kFirstFileId = 0x10000;

    LockedIdList list;
    bool files_;
};

void Finish(benchmark::State& state, uint64_t allocationsBefore) {
    state.SetItemsProcessed(state.iterations());
    state.counters["listed"] = static_cast<double>(state.range(0));
    state.counters["allocs_per_op"] =
        static_cast<double>(sim::CallCount("ExAllocatePoolWithTag") - allocationsBefore) / static_cast<double>(state.iterations());
}

void IdListHasPidBench(benchmark::State& state) {
    FilledList filled(state.range(0), false);
    const ULONG absent = 2;  // no process has an id that is not a multiple of 4
    const uint64_t before = sim::CallCount("ExAllocatePoolWithTag");
    for (auto _ : state) {
        benchmark::DoNotOptimize(IdListHasPid(&filled.list, absent));
    }
    Finish(state, before);
}

void IdListAddPidBench(benchmark::State& state) {
    FilledList filled(state.range(0), false);
    const ULONG fresh = FilledList::Pid(state.range(0));
    const uint64_t before = sim::CallCount("ExAllocatePoolWithTag");
    for (auto _ : state) {
        if (IdListAddPid(&filled.list, fresh) != STATUS_SUCCESS || IdListRemovePid(&filled.list, fresh) != STATUS_SUCCESS) {
            state.SkipWithError("add or remove failed");
            break;
        }
    }
    Finish(state, before);
}

void IdListRemovePidBench(benchmark::State& state) {
    FilledList filled(state.range(0), false);
    const ULONG middle = FilledList::Pid(state.range(0) / 2);
    const uint64_t before = sim::CallCount("ExAllocatePoolWithTag");
    for (auto _ : state) {
        if (IdListRemovePid(&filled.list, middle) != STATUS_SUCCESS || IdListAddPid(&filled.list, middle) != STATUS_SUCCESS) {
            state.SkipWithError("remove or add failed");
            break;
        }
    }
    Finish(state, before);
}

void IdListHasFileIdBench(benchmark::State& state) {
    FilledList filled(state.range(0), true);
    const ULONG64 middle = FilledList::kFirstFileId + static_cast<ULONG64>(state.range(0) / 2);
    const uint64_t before = sim::CallCount("ExAllocatePoolWithTag");
    for (auto _ : state) {
        benchmark::DoNotOptimize(IdListHasFileId(&filled.list, middle));
    }
    Finish(state, before);
}

void IdListAddFileIdBench(benchmark::State& state) {
    FilledList filled(state.range(0), true);
    ULONG64 next = FilledList::kFirstFileId + static_cast<ULONG64>(state.range(0));
    const uint64_t before = sim::CallCount("ExAllocatePoolWithTag");
    for (auto _ : state) {
        if (IdListAddFileId(&filled.list, next++) != STATUS_SUCCESS) {
            state.SkipWithError("add failed");
            break;
        }
    }
    Finish(state, before);
}

#define VETRONA_ID_LIST_SIZES ->Arg(10)->Arg(1000)->Arg(100000)
BENCHMARK(IdListHasPidBench)->Name("IdListHasPid") VETRONA_ID_LIST_SIZES;
BENCHMARK(IdListAddPidBench)->Name("IdListAddPid") VETRONA_ID_LIST_SIZES;
BENCHMARK(IdListRemovePidBench)->Name("IdListRemovePid") VETRONA_ID_LIST_SIZES;
BENCHMARK(IdListHasFileIdBench)->Name("IdListHasFileId") VETRONA_ID_LIST_SIZES;
// Bounded: every iteration leaves one more id behind.
BENCHMARK(IdListAddFileIdBench)->Name("IdListAddFileId") VETRONA_ID_LIST_SIZES->Iterations(2000);

}  // namespace
