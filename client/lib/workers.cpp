// Answer workers: receive and reply in parallel, decide one at a time.
#include "client/lib/workers.h"

#include <algorithm>
#include <atomic>
#include <functional>
#include <mutex>
#include <vector>

#ifdef _WIN32
// The Windows client is built with the compiler's Win32 thread model, which
// has no std::thread or std::mutex: the system's own are used.
#include <windows.h>
#else
#include <thread>
#endif

namespace vetrona::client {

namespace {

#ifdef _WIN32
class Lock {
public:
    void lock() { AcquireSRWLockExclusive(&lock_); }
    void unlock() { ReleaseSRWLockExclusive(&lock_); }

private:
    SRWLOCK lock_ = SRWLOCK_INIT;
};

unsigned Processors() { return GetActiveProcessorCount(ALL_PROCESSOR_GROUPS); }

// Runs body(1) to body(count - 1) on threads of their own and body(0) on
// this one; returns when all have.
void RunOnThreads(int count, const std::function<void(int)>& body) {
    struct Start {
        const std::function<void(int)>* body;
        int lane;
    };
    std::vector<Start> starts(static_cast<size_t>(count));
    std::vector<HANDLE> threads;
    for (int lane = 1; lane < count; ++lane) {
        starts[lane] = Start{&body, lane};
        HANDLE t = CreateThread(
            nullptr, 0,
            [](void* p) -> DWORD {
                auto* s = static_cast<Start*>(p);
                (*s->body)(s->lane);
                return 0;
            },
            &starts[lane], 0, nullptr);
        if (t == nullptr) break;  // fewer threads: the lanes left are not served
        threads.push_back(t);
    }
    body(0);
    for (HANDLE t : threads) {
        WaitForSingleObject(t, INFINITE);
        CloseHandle(t);
    }
}
#else
using Lock = std::mutex;

unsigned Processors() { return std::thread::hardware_concurrency(); }

void RunOnThreads(int count, const std::function<void(int)>& body) {
    std::vector<std::thread> threads;
    for (int lane = 1; lane < count; ++lane) threads.emplace_back(body, lane);
    body(0);
    for (std::thread& t : threads) t.join();
}
#endif

}  // namespace

int DefaultWorkers() {
    const unsigned cores = Processors();
    return std::clamp(static_cast<int>(cores == 0 ? 1 : cores), 1, kMaxWorkers);
}

HResult AnswerWorkers::Run(Client& client, int workers, const Decide& decide, const Stop& stop, int* granted,
                           int sliceMs) {
    workers = std::clamp(workers, 1, kMaxWorkers);
    int lanes = 1;
    if (workers > 1 && !Succeeded(client.OpenLanes(workers, &lanes))) lanes = 1;
    lanes = std::clamp(lanes, 1, workers);
    if (granted != nullptr) *granted = lanes;

    Lock lock;
    std::atomic<bool> stopping{false};
    HResult failure = kOk;
    auto work = [&](int lane) {
        Message message;
        while (!stopping.load()) {
            const HResult hr = client.Receive(&message, sliceMs, lane);
            if (hr == kHrTimeout) {
                std::lock_guard<Lock> guard(lock);
                if (!stopping.load() && stop(true)) stopping.store(true);
                continue;
            }
            if (!Succeeded(hr)) {
                std::lock_guard<Lock> guard(lock);
                if (Succeeded(failure)) failure = hr;
                stopping.store(true);
                break;
            }
            Verdict verdict;
            {
                std::lock_guard<Lock> guard(lock);
                verdict = decide(message);
                if (!stopping.load() && stop(false)) stopping.store(true);
            }
            if (message.replyLength != 0) client.Reply(message, verdict, lane);
        }
    };
    RunOnThreads(lanes, work);
    return failure;
}

}  // namespace vetrona::client
