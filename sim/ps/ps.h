// Process and thread objects of the simulated kernel (what PEPROCESS and
// PETHREAD point at), shared by the areas that need the caller's identity.
#pragma once

#include "sim/ke/core.h"

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
    // The token's user, as "S-1-5-21-...-1001": whose hive the process's
    // HKEY_CURRENT_USER is. SYSTEM (S-1-5-18) for the System process.
    std::string userSid;
    bool isSystem = false;       // the System process (pid 4)
    std::atomic<bool> exited{false};
    // The process's own thread: created with it, it runs the user-side
    // operations of the process and is its last thread at the exit. Null
    // before the start and once that thread has ended. Guarded by the ps lock.
    _ETHREAD* mainThread = nullptr;
};

struct _ETHREAD {
    ULONG_PTR tid = 0;
    _EPROCESS* process = nullptr;  // referenced for the thread's life
    std::atomic<bool> terminating{false};
};

namespace sim {

// The System process (pid 4); a host thread that was never attached to a
// simulated thread acts as a thread of it.
_EPROCESS* SystemProcess();

// The current simulated thread and process of this host thread.
_ETHREAD* CurrentThread();
_EPROCESS* CurrentProcess();

// Which thread of a process a ThreadScope runs in: a new thread of its own
// (kernel code acting as the process, tests), or the process's main thread
// (user-side operations of the process, as its own code would make them).
// A process without a main thread (System, or one whose thread has ended)
// gets a new thread either way.
enum class InThread { Fresh, Main };

// Makes this host thread a thread of the given process for the scope's life.
class ThreadScope {
public:
    explicit ThreadScope(_EPROCESS* process, InThread which = InThread::Fresh);
    // Runs in an existing thread (referenced for the scope's life).
    explicit ThreadScope(_ETHREAD* thread);
    ~ThreadScope();
    ThreadScope(const ThreadScope&) = delete;
    ThreadScope& operator=(const ThreadScope&) = delete;
    _ETHREAD* thread() const { return thread_; }

private:
    _ETHREAD* thread_;
    _ETHREAD* previous_;
};

// Whether a driver image was linked with FORCE_INTEGRITY, a property of the
// image file: PsSetCreateProcessNotifyRoutineEx called from a driver whose
// image lacks it is refused with STATUS_ACCESS_DENIED. SetImageForceIntegrity
// sets it for the image of one service ("vetrona"); SetDriverImageForceIntegrity
// for every image without a setting of its own (and for callers that are no
// driver). Default true.
void SetImageForceIntegrity(std::u16string_view serviceName, bool forceIntegrity);
void SetDriverImageForceIntegrity(bool forceIntegrity);

// Whether a process whose start a routine refused gets an exit notification
// too (in the creating thread, the process never having run). Inferred from
// the platform's exit path, so a setting; default true.
void SetExitNotifyAfterRefusedStart(bool notify);

// The names MmGetSystemRoutineAddress finds. By default every routine of the
// model a driver may resolve; tests remove names to play an older system.
void SetExportAvailable(const std::string& name, bool available);

// The user a process runs as when nobody names one: the machine's
// interactive user, whose profile and hive every machine has.
inline constexpr const char* kInteractiveUserSid = "S-1-5-21-2718281828-3141592653-1618033988-1001";
inline constexpr const char* kSystemUserSid = "S-1-5-18";
inline constexpr const char16_t* kInteractiveUserProfile = u"C:\\Users\\alice";

namespace ps {
// Registered process notification routines (legacy and extended).
bool IsNotifyRoutineRegistered(const void* routine);
size_t NotifyRoutineCount();
// A new process object with the next free id, already in the id table,
// holding one reference (the one its running keeps; EndProcess drops it), and
// its main thread. Ids (of processes and threads alike) are multiples of 4
// and go back to the free list when their object is deleted; the most
// recently freed id is handed out first, so ids are reused soon, as on Windows.
// The process runs as `userSid`; empty takes the parent's user, or the
// machine's interactive user (kInteractiveUserSid) when the parent is the
// System process: a program a test or tool starts without a parent stands
// for one the user started. A process running as SYSTEM is elevated.
_EPROCESS* CreateProcessObject(_EPROCESS* parent, std::u16string_view imagePath, std::u16string_view commandLine,
                               bool isAdmin, std::string_view userSid = {});
// A new thread of `process` holding one reference (its running one).
_ETHREAD* CreateThreadObject(_EPROCESS* process);
// Ends a process's main thread (drops its running reference); null-safe.
void EndMainThread(_EPROCESS* process);
bool ExitNotifyAfterRefusedStart();
// Calls the registered routines, in registration order, with a creation
// (createInfo) or an exit (null) in the current thread. A creation stops at
// the first extended routine that sets an error CreationStatus and returns it.
NTSTATUS CallNotifyRoutines(_EPROCESS* process, PPS_CREATE_NOTIFY_INFO createInfo);
// Looks a process up by id without taking a reference (null if unknown).
_EPROCESS* FindProcess(ULONG_PTR pid);
void ResetPs();
}  // namespace ps

}  // namespace sim
