// Process and thread objects of the simulated kernel (what PEPROCESS and
// PETHREAD point at), shared by the areas that need the caller's identity.
#pragma once

#include "sim/private/core.h"

#include <atomic>
#include <memory>
#include <string>
#include <string_view>

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

// Whether the image that registers the extended process notification was
// linked with FORCE_INTEGRITY (default true); without it
// PsSetCreateProcessNotifyRoutineEx is refused with STATUS_ACCESS_DENIED.
void SetDriverImageForceIntegrity(bool forceIntegrity);

// The names MmGetSystemRoutineAddress finds. By default every routine of the
// model a driver may resolve; tests remove names to play an older system.
void SetExportAvailable(const std::string& name, bool available);

namespace ps {
// Registered process notification routines (legacy and extended).
bool IsNotifyRoutineRegistered(const void* routine);
size_t NotifyRoutineCount();
// A new process object with the next id, already in the id table, holding
// one reference (the one its running keeps; EndProcess drops it).
_EPROCESS* CreateProcessObject(_EPROCESS* parent, std::u16string_view imagePath, std::u16string_view commandLine,
                               bool isAdmin);
// Calls the registered routines, in registration order, with a creation
// (createInfo) or an exit (null) in the current thread. A creation stops at
// the first extended routine that sets an error CreationStatus and returns it.
NTSTATUS CallNotifyRoutines(_EPROCESS* process, PPS_CREATE_NOTIFY_INFO createInfo);
// Looks a process up by id without taking a reference (null if unknown).
_EPROCESS* FindProcess(ULONG_PTR pid);
void ResetPs();
}  // namespace ps

}  // namespace sim
