// Processes and threads: ids, the current process and thread of each host
// thread, process notification routines, look-ups and image-name queries,
// and routine look-up by name (MmGetSystemRoutineAddress).
#include "sim/ps/ps.h"
#include "sim/ke/stack.h"
#include "sim/loader/loader.h"

#include "sim/cm/cm.h"
#include "sim/io/io.h"
#include "sim/ob/ob.h"

#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <unordered_map>
#include <vector>

namespace sim {
namespace {

// Registered notification routine. Removal waits until inFlight is 0.
struct NotifyEntry {
    bool extended = false;
    void* routine = nullptr;
    PDRIVER_OBJECT owner = nullptr;
    int inFlight = 0;
};

constexpr size_t kMaxNotifyRoutines = 64;

struct PsState {
    std::mutex lock;
    uint64_t generation = 1;
    ULONG_PTR nextCid = 8;  // 4 is the System process; process and thread ids share one space
    std::vector<ULONG_PTR> freeCids;                     // ids of deleted objects, reused last-freed first
    std::unordered_map<ULONG_PTR, _EPROCESS*> processes;  // live process objects by id
    std::vector<_EPROCESS*> graveyard;                   // deleted processes, freed at reset
    std::vector<_ETHREAD*> implicitThreads;              // System threads of unattached host threads
    std::set<_ETHREAD*> threads;                         // threads with a delete procedure, not yet deleted
    _EPROCESS* system = nullptr;

    std::mutex notifyLock;
    std::condition_variable notifyDone;
    std::vector<std::shared_ptr<NotifyEntry>> notify;

    bool forceIntegrity = true;
    std::map<std::u16string, bool> imageForceIntegrity;  // by upcased service name
    bool exitAfterRefusedStart = true;
    std::set<std::string> removedExports;
};

PsState& S() {
    static PsState* state = new PsState;  // never destroyed: worker threads may outlive static destruction
    return *state;
}

ULONG_PTR NewCidp() {
    std::lock_guard<std::mutex> guard(S().lock);
    if (!S().freeCids.empty()) {
        ULONG_PTR cid = S().freeCids.back();
        S().freeCids.pop_back();
        return cid;
    }
    ULONG_PTR cid = S().nextCid;
    S().nextCid += 4;
    return cid;
}

// The id goes back to the table when the object is deleted, not at the exit:
// a referenced process keeps its id (and can still be looked up).
void DeleteProcessp(void* object) {
    auto* process = static_cast<_EPROCESS*>(object);
    std::lock_guard<std::mutex> guard(S().lock);
    S().processes.erase(process->pid);
    S().freeCids.push_back(process->pid);
    S().graveyard.push_back(process);
}

void DeleteThreadp(void* object) {
    auto* thread = static_cast<_ETHREAD*>(object);
    _EPROCESS* process = thread->process;
    {
        std::lock_guard<std::mutex> guard(S().lock);
        S().threads.erase(thread);
        S().freeCids.push_back(thread->tid);
    }
    delete thread;
    ob::DereferenceObject(process);
}

_EPROCESS* CreateSystemProcessp() {
    auto* system = new _EPROCESS;
    system->pid = 4;
    system->parentPid = 0;
    system->imagePath = u"System";
    system->isAdmin = true;
    system->isSystem = true;
    system->userSid = kSystemUserSid;
    ob::RegisterObject(system, ob::ObjectType::Process, DeleteProcessp);
    return system;
}

// The implicit System thread of a host thread that was never attached.
struct ImplicitThread {
    uint64_t generation = 0;
    _ETHREAD* thread = nullptr;
};
thread_local ImplicitThread tImplicit;

void ResetAllp() {
    // Order matters: work items may still run driver code, drivers own devices
    // and registrations, and everything holds objects.
    io::ResetWorkItems();
    io::ResetIo();
    cm::ResetCm();
    ps::ResetPs();
}

const bool kResetRegistered = (RegisterResetHook("simsys", ResetAllp), true);

}  // namespace

_EPROCESS* SystemProcess() {
    std::lock_guard<std::mutex> guard(S().lock);
    if (S().system == nullptr) {
        S().system = CreateSystemProcessp();
        S().processes[4] = S().system;
    }
    return S().system;
}

_ETHREAD* CurrentThread() {
    ThreadState& state = CurrentThreadState();
    if (state.thread != nullptr) {
        return state.thread;
    }
    uint64_t generation;
    {
        std::lock_guard<std::mutex> guard(S().lock);
        generation = S().generation;
    }
    if (tImplicit.thread == nullptr || tImplicit.generation != generation) {
        // The previous one belonged to an earlier boot and was freed with it.
        tImplicit.thread = new _ETHREAD;
        tImplicit.thread->tid = NewCidp();
        tImplicit.thread->process = SystemProcess();
        tImplicit.generation = generation;
        // Never deleted through references: it lives as long as this boot.
        ob::RegisterObject(tImplicit.thread, ob::ObjectType::Thread, nullptr);
        std::lock_guard<std::mutex> guard(S().lock);
        S().implicitThreads.push_back(tImplicit.thread);
    }
    return tImplicit.thread;
}

_EPROCESS* CurrentProcess() { return CurrentThread()->process; }

ThreadScope::ThreadScope(_EPROCESS* process, InThread which) : thread_(nullptr), previous_(CurrentThreadState().thread) {
    if (process == nullptr) {
        process = SystemProcess();
    }
    if (which == InThread::Main) {
        std::lock_guard<std::mutex> guard(S().lock);
        if (process->mainThread != nullptr && ob::TryReferenceObject(process->mainThread)) {
            thread_ = process->mainThread;
        }
    }
    if (thread_ == nullptr) {
        // A thread of its own, ending with the scope.
        thread_ = ps::CreateThreadObject(process);
    }
    CurrentThreadState().thread = thread_;
}

ThreadScope::ThreadScope(_ETHREAD* thread) : thread_(thread), previous_(CurrentThreadState().thread) {
    ob::ReferenceObject(thread_);
    CurrentThreadState().thread = thread_;
}

ThreadScope::~ThreadScope() {
    CurrentThreadState().thread = previous_;
    ob::DereferenceObject(thread_);
}

void SetDriverImageForceIntegrity(bool forceIntegrity) {
    std::lock_guard<std::mutex> guard(S().lock);
    S().forceIntegrity = forceIntegrity;
}

void SetImageForceIntegrity(std::u16string_view serviceName, bool forceIntegrity) {
    std::lock_guard<std::mutex> guard(S().lock);
    S().imageForceIntegrity[ob::Upcase(serviceName)] = forceIntegrity;
}

void SetExitNotifyAfterRefusedStart(bool notify) {
    std::lock_guard<std::mutex> guard(S().lock);
    S().exitAfterRefusedStart = notify;
}

void SetExportAvailable(const std::string& name, bool available) {
    std::lock_guard<std::mutex> guard(S().lock);
    if (available) {
        S().removedExports.erase(name);
    } else {
        S().removedExports.insert(name);
    }
}

namespace ps {

bool IsNotifyRoutineRegistered(const void* routine) {
    std::lock_guard<std::mutex> guard(S().notifyLock);
    for (auto& entry : S().notify) {
        if (entry->routine == routine) {
            return true;
        }
    }
    return false;
}

size_t NotifyRoutineCount() {
    std::lock_guard<std::mutex> guard(S().notifyLock);
    return S().notify.size();
}

_EPROCESS* FindProcess(ULONG_PTR pid) {
    std::lock_guard<std::mutex> guard(S().lock);
    auto it = S().processes.find(pid);
    return it == S().processes.end() ? nullptr : it->second;
}

std::vector<std::string> NotifyLeftoversp(PDRIVER_OBJECT driver) {
    std::vector<std::string> leftovers;
    std::lock_guard<std::mutex> guard(S().notifyLock);
    for (auto& entry : S().notify) {
        if (entry->owner == driver) {
            leftovers.push_back(std::string(entry->extended ? "extended" : "legacy") +
                                " process notification routine still registered");
        }
    }
    return leftovers;
}

void ResetPs() {
    {
        std::lock_guard<std::mutex> guard(S().notifyLock);
        S().notify.clear();
    }
    ob::ResetOb();
    std::lock_guard<std::mutex> guard(S().lock);
    for (auto& [pid, process] : S().processes) {
        delete process;
    }
    for (_EPROCESS* process : S().graveyard) {
        delete process;
    }
    for (_ETHREAD* thread : S().implicitThreads) {
        delete thread;
    }
    for (_ETHREAD* thread : S().threads) {
        delete thread;
    }
    S().implicitThreads.clear();
    S().threads.clear();
    S().freeCids.clear();
    S().imageForceIntegrity.clear();
    S().exitAfterRefusedStart = true;
    S().processes.clear();
    S().graveyard.clear();
    S().system = nullptr;
    S().nextCid = 8;
    S().forceIntegrity = true;
    S().removedExports.clear();
    ++S().generation;
}

}  // namespace ps

namespace {

const bool kLeftoverCheckRegistered = (RegisterDriverLeftoverCheck(ps::NotifyLeftoversp), true);

// Calls every registered routine with the creation or exit of `process`.
// For a creation, stops at the first extended routine that refuses it and
// returns that status (the routines after it are not told).
NTSTATUS CallNotifyRoutinesp(_EPROCESS* process, PPS_CREATE_NOTIFY_INFO createInfo) {
    std::vector<std::shared_ptr<NotifyEntry>> entries;
    {
        std::lock_guard<std::mutex> guard(S().notifyLock);
        entries = S().notify;
        for (auto& entry : entries) {
            ++entry->inFlight;
        }
    }
    NTSTATUS status = STATUS_SUCCESS;
    size_t next = 0;
    for (; next < entries.size(); ++next) {
        NotifyEntry& entry = *entries[next];
        OnKernelStack("process notify", StackEntry::SystemCall, [&] {
            const sim::loader::DriverCall driverCall(entry.routine, "process notify");
            const CallbackEntry called = EnterDriverCallback();
            if (entry.extended) {
                auto routine = reinterpret_cast<PCREATE_PROCESS_NOTIFY_ROUTINE_EX>(entry.routine);
                routine(process, reinterpret_cast<HANDLE>(process->pid), createInfo);
            } else {
                auto routine = reinterpret_cast<PCREATE_PROCESS_NOTIFY_ROUTINE>(entry.routine);
                routine(reinterpret_cast<HANDLE>(process->parentPid), reinterpret_cast<HANDLE>(process->pid),
                        createInfo != nullptr ? TRUE : FALSE);
            }
            CheckCallbackReturn(called, "process notify routine");
        });
        {
            std::lock_guard<std::mutex> guard(S().notifyLock);
            --entry.inFlight;
        }
        S().notifyDone.notify_all();
        if (createInfo != nullptr && !NT_SUCCESS(createInfo->CreationStatus)) {
            status = createInfo->CreationStatus;
            ++next;
            break;
        }
    }
    {
        std::lock_guard<std::mutex> guard(S().notifyLock);
        for (; next < entries.size(); ++next) {
            --entries[next]->inFlight;
        }
    }
    S().notifyDone.notify_all();
    return status;
}

// The FORCE_INTEGRITY flag of the image the calling driver was loaded from.
bool ImageHasForceIntegrityp(PDRIVER_OBJECT driver) {
    std::lock_guard<std::mutex> guard(S().lock);
    if (driver != nullptr && driver->DriverName.Buffer != nullptr) {
        std::u16string_view name(driver->DriverName.Buffer, driver->DriverName.Length / sizeof(WCHAR));
        constexpr std::u16string_view kPrefix = u"\\Driver\\";
        if (name.size() > kPrefix.size() && ob::NamesEqual(name.substr(0, kPrefix.size()), kPrefix)) {
            auto it = S().imageForceIntegrity.find(ob::Upcase(name.substr(kPrefix.size())));
            if (it != S().imageForceIntegrity.end()) {
                return it->second;
            }
        }
    }
    return S().forceIntegrity;
}

NTSTATUS SetNotifyRoutinep(void* routine, bool extended, BOOLEAN remove) {
    RequireIrqlAtMost(PASSIVE_LEVEL, extended ? "PsSetCreateProcessNotifyRoutineEx" : "PsSetCreateProcessNotifyRoutine");
    // Only a registration can fail for want of resources; a removal finds
    // the routine or answers STATUS_PROCEDURE_NOT_FOUND.
    if (!remove) {
        NTSTATUS injected = TakeInjectedFailure(extended ? "PsSetCreateProcessNotifyRoutineEx" : "PsSetCreateProcessNotifyRoutine");
        if (!NT_SUCCESS(injected)) {
            return injected;
        }
    }
    if (routine == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    std::unique_lock<std::mutex> guard(S().notifyLock);
    auto& list = S().notify;
    auto found = list.end();
    for (auto it = list.begin(); it != list.end(); ++it) {
        if ((*it)->routine == routine && (*it)->extended == extended) {
            found = it;
        }
    }
    if (remove) {
        if (found == list.end()) {
            return STATUS_PROCEDURE_NOT_FOUND;
        }
        std::shared_ptr<NotifyEntry> entry = *found;
        list.erase(found);
        // A routine may be running in another thread: its code must stay until it returns.
        S().notifyDone.wait(guard, [&] { return entry->inFlight == 0; });
        return STATUS_SUCCESS;
    }
    if (extended && !ImageHasForceIntegrityp(CurrentDriverContext())) {
        return STATUS_ACCESS_DENIED;
    }
    if (found != list.end() || list.size() >= kMaxNotifyRoutines) {
        return STATUS_INVALID_PARAMETER;
    }
    auto entry = std::make_shared<NotifyEntry>();
    entry->extended = extended;
    entry->routine = routine;
    entry->owner = CurrentDriverContext();
    list.push_back(std::move(entry));
    return STATUS_SUCCESS;
}

}  // namespace

namespace ps {

_EPROCESS* CreateProcessObject(_EPROCESS* parent, std::u16string_view imagePath, std::u16string_view commandLine,
                               bool isAdmin, std::string_view userSid) {
    auto* created = new _EPROCESS;
    created->pid = NewCidp();
    created->parentPid = parent->pid;
    created->imagePath = imagePath;
    created->commandLine = commandLine;
    created->isAdmin = isAdmin;
    if (!userSid.empty()) {
        created->userSid = userSid;
    } else {
        created->userSid = parent->isSystem ? kInteractiveUserSid : parent->userSid;
    }
    // A SYSTEM token is always an elevated one.
    created->isAdmin = isAdmin || created->userSid == kSystemUserSid;
    ob::RegisterObject(created, ob::ObjectType::Process, DeleteProcessp);
    {
        std::lock_guard<std::mutex> guard(S().lock);
        S().processes[created->pid] = created;
    }
    // The initial thread exists before the creation routines run.
    _ETHREAD* main = CreateThreadObject(created);
    std::lock_guard<std::mutex> guard(S().lock);
    created->mainThread = main;
    return created;
}

_ETHREAD* CreateThreadObject(_EPROCESS* process) {
    auto* thread = new _ETHREAD;
    thread->tid = NewCidp();
    thread->process = process;
    // The thread keeps its process object alive while it exists.
    ob::ReferenceObject(process);
    {
        std::lock_guard<std::mutex> guard(S().lock);
        S().threads.insert(thread);
    }
    ob::RegisterObject(thread, ob::ObjectType::Thread, DeleteThreadp);
    return thread;
}

void EndMainThread(_EPROCESS* process) {
    _ETHREAD* main;
    {
        std::lock_guard<std::mutex> guard(S().lock);
        main = process->mainThread;
        process->mainThread = nullptr;
    }
    if (main != nullptr) {
        ob::DereferenceObject(main);
    }
}

bool ExitNotifyAfterRefusedStart() {
    std::lock_guard<std::mutex> guard(S().lock);
    return S().exitAfterRefusedStart;
}

NTSTATUS CallNotifyRoutines(_EPROCESS* process, PPS_CREATE_NOTIFY_INFO createInfo) {
    return CallNotifyRoutinesp(process, createInfo);
}

}  // namespace ps
}  // namespace sim

using sim::S;

// ---------------------------------------------------------------------------
// Driver-visible routines.

extern "C" HANDLE NTAPI PsGetCurrentProcessId(VOID) {
    sim::Count("PsGetCurrentProcessId");
    return reinterpret_cast<HANDLE>(sim::CurrentProcess()->pid);
}

extern "C" HANDLE NTAPI PsGetCurrentThreadId(VOID) {
    sim::Count("PsGetCurrentThreadId");
    return reinterpret_cast<HANDLE>(sim::CurrentThread()->tid);
}

extern "C" PETHREAD NTAPI PsGetCurrentThread(VOID) {
    sim::Count("PsGetCurrentThread");
    return sim::CurrentThread();
}

extern "C" HANDLE NTAPI PsGetProcessId(PEPROCESS Process) {
    sim::Count("PsGetProcessId");
    return reinterpret_cast<HANDLE>(Process->pid);
}

extern "C" NTSTATUS NTAPI PsLookupProcessByProcessId(HANDLE ProcessId, PEPROCESS* Process) {
    sim::Count("PsLookupProcessByProcessId");
    *Process = nullptr;
    sim::RequireIrqlAtMost(APC_LEVEL, "PsLookupProcessByProcessId");
    NTSTATUS injected = sim::TakeInjectedFailure("PsLookupProcessByProcessId");
    if (!NT_SUCCESS(injected)) {
        return injected;
    }
    std::lock_guard<std::mutex> guard(S().lock);
    auto it = S().processes.find(reinterpret_cast<ULONG_PTR>(ProcessId));
    // A process whose last reference is going away is no longer found.
    if (it == S().processes.end() || !sim::ob::TryReferenceObject(it->second)) {
        return STATUS_INVALID_CID;
    }
    *Process = it->second;
    sim::ob::NoteCallerReference(1);
    return STATUS_SUCCESS;
}

extern "C" BOOLEAN NTAPI PsIsThreadTerminating(PETHREAD Thread) {
    sim::Count("PsIsThreadTerminating");
    return Thread->terminating ? TRUE : FALSE;
}

extern "C" PEPROCESS NTAPI IoGetCurrentProcess(VOID) {
    sim::Count("IoGetCurrentProcess");
    return sim::CurrentProcess();
}

extern "C" PEPROCESS NTAPI IoThreadToProcess(PETHREAD Thread) {
    sim::Count("IoThreadToProcess");
    return Thread->process;
}

extern "C" NTSTATUS NTAPI PsSetCreateProcessNotifyRoutine(PCREATE_PROCESS_NOTIFY_ROUTINE NotifyRoutine, BOOLEAN Remove) {
    sim::Count("PsSetCreateProcessNotifyRoutine");
    return sim::SetNotifyRoutinep(reinterpret_cast<void*>(NotifyRoutine), false, Remove);
}

extern "C" NTSTATUS NTAPI PsSetCreateProcessNotifyRoutineEx(PCREATE_PROCESS_NOTIFY_ROUTINE_EX NotifyRoutine, BOOLEAN Remove) {
    sim::Count("PsSetCreateProcessNotifyRoutineEx");
    return sim::SetNotifyRoutinep(reinterpret_cast<void*>(NotifyRoutine), true, Remove);
}

extern "C" PVOID NTAPI MmGetSystemRoutineAddress(PUNICODE_STRING SystemRoutineName) {
    sim::Count("MmGetSystemRoutineAddress");
    sim::RequireIrqlAtMost(PASSIVE_LEVEL, "MmGetSystemRoutineAddress");
    std::string name;
    for (USHORT i = 0; i < SystemRoutineName->Length / sizeof(WCHAR); ++i) {
        char16_t c = SystemRoutineName->Buffer[i];
        if (c > 0x7F) {
            return nullptr;  // export names are ASCII
        }
        name.push_back(static_cast<char>(c));
    }
    {
        std::lock_guard<std::mutex> guard(S().lock);
        if (S().removedExports.count(name) != 0) {
            return nullptr;
        }
    }
    // The kernel's own export table, the one an image's imports bind to.
    return sim::loader::LookupExport("ntoskrnl.exe", name);
}

extern "C" NTSTATUS NTAPI ZwQueryInformationProcess(HANDLE ProcessHandle, PROCESSINFOCLASS ProcessInformationClass,
                                                    PVOID ProcessInformation, ULONG ProcessInformationLength,
                                                    PULONG ReturnLength) {
    sim::Count("ZwQueryInformationProcess");
    sim::RequireIrqlAtMost(PASSIVE_LEVEL, "ZwQueryInformationProcess");
    if (ReturnLength != nullptr) {
        *ReturnLength = 0;
    }
    NTSTATUS injected = sim::TakeInjectedFailure("ZwQueryInformationProcess");
    if (!NT_SUCCESS(injected)) {
        return injected;
    }
    _EPROCESS* process = nullptr;
    if (ProcessHandle == NtCurrentProcess()) {
        process = sim::CurrentProcess();
    } else {
        sim::ob::HandleEntry entry;
        NTSTATUS status = sim::ob::LookupHandle(sim::CurrentProcess(), ProcessHandle, sim::ob::ObjectType::Process, &entry);
        if (!NT_SUCCESS(status)) {
            return status;
        }
        process = static_cast<_EPROCESS*>(entry.object);
    }
    if (ProcessInformationClass != ProcessImageFileName) {
        sim::NotImplemented("ZwQueryInformationProcess (class other than ProcessImageFileName)");
    }
    // UNICODE_STRING header immediately followed by the characters.
    const std::u16string& name = process->isSystem ? std::u16string() : process->imagePath;
    ULONG needed = static_cast<ULONG>(sizeof(UNICODE_STRING) + name.size() * sizeof(WCHAR));
    if (ReturnLength != nullptr) {
        *ReturnLength = needed;
    }
    if (ProcessInformationLength < needed || ProcessInformation == nullptr) {
        return STATUS_INFO_LENGTH_MISMATCH;
    }
    auto* header = static_cast<UNICODE_STRING*>(ProcessInformation);
    auto* chars = reinterpret_cast<WCHAR*>(header + 1);
    if (!name.empty()) {
        memcpy(chars, name.data(), name.size() * sizeof(WCHAR));
    }
    header->Length = static_cast<USHORT>(name.size() * sizeof(WCHAR));
    header->MaximumLength = header->Length;
    header->Buffer = name.empty() ? nullptr : chars;
    return STATUS_SUCCESS;
}
