// Work items: IoAllocateWorkItem / IoQueueWorkItem / IoFreeWorkItem, run at
// PASSIVE_LEVEL by system worker threads of the System process. The device
// object (and so its driver) stays referenced until the routine returns.
#include "sim/ke/stack.h"
#include "sim/loader/loader.h"
#include "sim/io/io.h"

#include "sim/ob/ob.h"
#include "sim/ps/ps.h"

#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <thread>

struct _IO_WORKITEM {
    PDEVICE_OBJECT device = nullptr;
    PDRIVER_OBJECT driver = nullptr;  // the device's driver, charged with the item until it is freed
    PIO_WORKITEM_ROUTINE routine = nullptr;
    PVOID context = nullptr;
    bool queued = false;
    uint64_t generation = 0;
};

namespace sim {
namespace {

// WORKER_INVALID: a work item queued while already queued, or freed while queued.
constexpr ULONG kBugWorkerInvalid = 0xE4;
// WORKER_THREAD_RETURNED_AT_BAD_IRQL.
constexpr ULONG kBugWorkerThreadReturnedAtBadIrql = 0xE1;
// Enough for several routines to block (on a reply from user mode, say)
// without starving the others, as the real delayed queue's threads allow.
constexpr size_t kMaxWorkers = 8;

struct WorkState {
    std::mutex lock;
    std::condition_variable wake;
    std::condition_variable idle;
    std::deque<PIO_WORKITEM> queue;
    std::vector<std::thread> workers;
    size_t idleWorkers = 0;
    size_t running = 0;
    bool stopping = false;
    std::map<PDRIVER_OBJECT, size_t> pendingByDriver;
    uint64_t liveItems = 0;
    std::map<PDRIVER_OBJECT, size_t> liveByDriver;
    uint64_t generation = 1;
};

WorkState& S() {
    static WorkState* state = new WorkState;
    return *state;
}

void RunItemp(PIO_WORKITEM item, PIO_WORKITEM_ROUTINE routine, PVOID context) {
    PDEVICE_OBJECT device = item->device;
    PDRIVER_OBJECT driver = device->DriverObject;
    {
        ThreadScope system(SystemProcess());
        CurrentThreadState().irql = PASSIVE_LEVEL;
        const CallbackEntry entry = EnterDriverCallback();
        OnKernelStack("work item", StackEntry::SystemThread, [&] {
            const sim::loader::DriverCall driverCall(reinterpret_cast<const void*>(routine), "work item");
            routine(device, context);
        });
        if (CurrentThreadState().irql != PASSIVE_LEVEL || CurrentThreadState().fastMutexesHeld != 0) {
            BugCheck(kBugWorkerThreadReturnedAtBadIrql, "WORKER_THREAD_RETURNED_AT_BAD_IRQL",
                     "work item routine returned at a raised IRQL or holding a fast mutex",
                     reinterpret_cast<ULONG_PTR>(routine), CurrentThreadState().irql);
        }
        CheckCallbackReturn(entry, "work item routine");
    }
    ob::DereferenceObject(device);
    {
        std::lock_guard<std::mutex> guard(S().lock);
        if (--S().pendingByDriver[driver] == 0) {
            S().pendingByDriver.erase(driver);
        }
        --S().running;
    }
    S().idle.notify_all();
}

void WorkerMainp() {
    std::unique_lock<std::mutex> guard(S().lock);
    for (;;) {
        ++S().idleWorkers;
        S().wake.wait(guard, [] { return S().stopping || !S().queue.empty(); });
        --S().idleWorkers;
        if (S().queue.empty()) {
            return;  // stopping with nothing left to run
        }
        PIO_WORKITEM item = S().queue.front();
        S().queue.pop_front();
        // The item may be queued again from its own routine.
        item->queued = false;
        PIO_WORKITEM_ROUTINE routine = item->routine;
        PVOID context = item->context;
        ++S().running;
        guard.unlock();
        RunItemp(item, routine, context);
        guard.lock();
    }
}

}  // namespace

void DrainWorkItems() {
    std::unique_lock<std::mutex> guard(S().lock);
    S().idle.wait(guard, [] { return S().queue.empty() && S().running == 0; });
}

namespace io {

size_t PendingWorkItems(PDRIVER_OBJECT driver) {
    std::lock_guard<std::mutex> guard(S().lock);
    auto it = S().pendingByDriver.find(driver);
    return it == S().pendingByDriver.end() ? 0 : it->second;
}

void WaitWorkItemsOfDriver(PDRIVER_OBJECT driver) {
    std::unique_lock<std::mutex> guard(S().lock);
    S().idle.wait(guard, [&] { return S().pendingByDriver.count(driver) == 0; });
}

uint64_t LiveWorkItems() {
    std::lock_guard<std::mutex> guard(S().lock);
    return S().liveItems;
}

void ResetWorkItems() {
    DrainWorkItems();
    std::vector<std::thread> workers;
    {
        std::lock_guard<std::mutex> guard(S().lock);
        S().stopping = true;
        workers.swap(S().workers);
    }
    S().wake.notify_all();
    for (auto& worker : workers) {
        worker.join();
    }
    std::lock_guard<std::mutex> guard(S().lock);
    S().stopping = false;
    S().idleWorkers = 0;
    S().pendingByDriver.clear();
    S().liveItems = 0;
    S().liveByDriver.clear();
    ++S().generation;
}

}  // namespace io

namespace {

// Work items are not pool blocks: one never freed is reported at unload with
// the driver's other leftovers.
std::vector<std::string> WorkItemLeftoversp(PDRIVER_OBJECT driver) {
    std::lock_guard<std::mutex> guard(S().lock);
    auto it = S().liveByDriver.find(driver);
    if (it == S().liveByDriver.end() || it->second == 0) {
        return {};
    }
    return {std::to_string(it->second) + " work item(s) allocated and never freed (IoFreeWorkItem)"};
}

const bool kWorkItemLeftoverCheck = (RegisterDriverLeftoverCheck(WorkItemLeftoversp), true);

}  // namespace
}  // namespace sim

extern "C" PIO_WORKITEM NTAPI IoAllocateWorkItem(PDEVICE_OBJECT DeviceObject) {
    sim::Count("IoAllocateWorkItem");
    sim::RequireIrqlAtMost(DISPATCH_LEVEL, "IoAllocateWorkItem");
    if (!NT_SUCCESS(sim::TakeInjectedFailure("IoAllocateWorkItem"))) {
        return nullptr;
    }
    auto* item = new _IO_WORKITEM;
    item->device = DeviceObject;
    item->driver = DeviceObject->DriverObject;
    std::lock_guard<std::mutex> guard(sim::S().lock);
    item->generation = sim::S().generation;
    ++sim::S().liveItems;
    ++sim::S().liveByDriver[item->driver];
    return item;
}

extern "C" VOID NTAPI IoQueueWorkItem(PIO_WORKITEM IoWorkItem, PIO_WORKITEM_ROUTINE WorkerRoutine, WORK_QUEUE_TYPE QueueType,
                                      PVOID Context) {
    sim::Count("IoQueueWorkItem");
    sim::RequireIrqlAtMost(DISPATCH_LEVEL, "IoQueueWorkItem");
    auto& state = sim::S();
    {
        std::lock_guard<std::mutex> guard(state.lock);
        if (IoWorkItem->queued) {
            sim::BugCheck(sim::kBugWorkerInvalid, "WORKER_INVALID", "a work item was queued while it is already queued", 1,
                          reinterpret_cast<ULONG_PTR>(IoWorkItem));
        }
    }
    // Keeps the device, and so the driver's code, until the routine returns.
    sim::ob::ReferenceObject(IoWorkItem->device);
    bool spawn = false;
    {
        std::lock_guard<std::mutex> guard(state.lock);
        IoWorkItem->queued = true;
        IoWorkItem->routine = WorkerRoutine;
        IoWorkItem->context = Context;
        ++state.pendingByDriver[IoWorkItem->device->DriverObject];
        state.queue.push_back(IoWorkItem);
        spawn = state.idleWorkers < state.queue.size() && state.workers.size() < sim::kMaxWorkers;
        if (spawn) {
            state.workers.emplace_back(sim::WorkerMainp);
        }
    }
    state.wake.notify_one();
}

extern "C" VOID NTAPI IoFreeWorkItem(PIO_WORKITEM IoWorkItem) {
    sim::Count("IoFreeWorkItem");
    {
        std::lock_guard<std::mutex> guard(sim::S().lock);
        if (IoWorkItem->queued) {
            sim::BugCheck(sim::kBugWorkerInvalid, "WORKER_INVALID", "a work item was freed while it is still queued", 2,
                          reinterpret_cast<ULONG_PTR>(IoWorkItem));
        }
        if (IoWorkItem->generation == sim::S().generation) {
            --sim::S().liveItems;
            auto it = sim::S().liveByDriver.find(IoWorkItem->driver);
            if (it != sim::S().liveByDriver.end() && --it->second == 0) {
                sim::S().liveByDriver.erase(it);
            }
        }
    }
    delete IoWorkItem;
}
