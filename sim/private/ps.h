// Process and thread objects of the simulated kernel (what PEPROCESS and
// PETHREAD point at), shared by the areas that need the caller's identity.
#pragma once

#include "sim/private/core.h"

#include <atomic>
#include <memory>
#include <string>

struct _EPROCESS {
    ULONG_PTR pid = 0;
    ULONG_PTR parentPid = 0;
    std::u16string imagePath;    // device form: \Device\HarddiskVolume1\...\x.exe
    std::u16string commandLine;
    bool isAdmin = false;        // elevated administrator token
    bool isSystem = false;       // the System process (pid 4)
    std::atomic<bool> exited{false};
};

struct _ETHREAD {
    ULONG_PTR tid = 0;
    _EPROCESS* process = nullptr;
    std::atomic<bool> terminating{false};
};

namespace sim {

// The System process (pid 4); a host thread that was never attached to a
// simulated thread acts as a thread of it.
_EPROCESS* SystemProcess();

// The current simulated thread and process of this host thread.
_ETHREAD* CurrentThread();
_EPROCESS* CurrentProcess();

// Makes this host thread a thread of the given process for the scope's life.
class ThreadScope {
public:
    explicit ThreadScope(_EPROCESS* process);
    ~ThreadScope();
    ThreadScope(const ThreadScope&) = delete;
    ThreadScope& operator=(const ThreadScope&) = delete;
    _ETHREAD* thread() const { return thread_; }

private:
    _ETHREAD* thread_;
    _ETHREAD* previous_;
};

}  // namespace sim
