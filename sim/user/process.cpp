// User side of processes: starting and ending them as a parent's
// CreateProcess and the process's exit would.
#include "sim/user/process.h"

#include "sim/flt/flt.h"
#include "sim/ob/ob.h"

#include <memory>

namespace sim::user {

NTSTATUS StartProcess(const ProcessStart& start, _EPROCESS** process) {
    *process = nullptr;
    _EPROCESS* parent = start.parent != nullptr ? start.parent : SystemProcess();
    // The process is in the id table, with its first thread, before the
    // routines run: they may look it up.
    _EPROCESS* created = ps::CreateProcessObject(parent, start.imagePath, start.commandLine.value_or(std::u16string_view()),
                                                 start.isAdmin, start.userSid);

    std::unique_ptr<ThreadScope> creator;
    if (start.creatingThread != nullptr) {
        if (CurrentThread() != start.creatingThread) {
            creator = std::make_unique<ThreadScope>(start.creatingThread);
        }
    } else if (CurrentProcess() != parent) {
        creator = std::make_unique<ThreadScope>(parent, InThread::Main);
    }
    _ETHREAD* creatingThread = CurrentThread();

    UNICODE_STRING image{static_cast<USHORT>(created->imagePath.size() * sizeof(WCHAR)),
                         static_cast<USHORT>(created->imagePath.size() * sizeof(WCHAR)), created->imagePath.data()};
    UNICODE_STRING command{static_cast<USHORT>(created->commandLine.size() * sizeof(WCHAR)),
                           static_cast<USHORT>(created->commandLine.size() * sizeof(WCHAR)), created->commandLine.data()};
    FILE_OBJECT imageFile{};
    imageFile.Type = 5;  // IO_TYPE_FILE
    imageFile.Size = sizeof(FILE_OBJECT);
    imageFile.FileName = image;
    imageFile.ReadAccess = TRUE;
    imageFile.SharedRead = TRUE;

    PS_CREATE_NOTIFY_INFO info{};
    info.Size = sizeof(info);
    info.FileOpenNameAvailable = 1;
    info.ParentProcessId = reinterpret_cast<HANDLE>(parent->pid);
    info.CreatingThreadId.UniqueProcess = reinterpret_cast<HANDLE>(creatingThread->process->pid);
    info.CreatingThreadId.UniqueThread = reinterpret_cast<HANDLE>(creatingThread->tid);
    info.FileObject = &imageFile;
    info.ImageFileName = &image;
    info.CommandLine = start.commandLine.has_value() ? &command : nullptr;
    info.CreationStatus = STATUS_SUCCESS;

    // The routines run at PASSIVE_LEVEL in the creator's thread.
    KIRQL oldIrql = CurrentThreadState().irql;
    CurrentThreadState().irql = PASSIVE_LEVEL;
    NTSTATUS status = ps::CallNotifyRoutines(created, &info);
    if (!NT_SUCCESS(status)) {
        created->exited = true;
        // The process never ran; its deletion tells the routines in the
        // creator's thread.
        if (ps::ExitNotifyAfterRefusedStart()) {
            ps::CallNotifyRoutines(created, nullptr);
        }
    }
    CurrentThreadState().irql = oldIrql;
    creator.reset();

    if (!NT_SUCCESS(status)) {
        ps::EndMainThread(created);
        ob::DereferenceObject(created);  // the process never existed
        return status;
    }
    *process = created;
    return STATUS_SUCCESS;
}

NTSTATUS StartProcess(_EPROCESS* parent, std::u16string_view imagePath, std::u16string_view commandLine, bool isAdmin,
                      _EPROCESS** process) {
    ProcessStart start;
    start.parent = parent;
    start.imagePath = imagePath;
    start.commandLine = commandLine;
    start.isAdmin = isAdmin;
    return StartProcess(start, process);
}

_EPROCESS* StartProcess(_EPROCESS* parent, std::u16string_view imagePath, std::u16string_view commandLine, bool isAdmin) {
    _EPROCESS* process = nullptr;
    (void)StartProcess(parent, imagePath, commandLine, isAdmin, &process);
    return process;
}

NTSTATUS EndProcess(_EPROCESS* process) {
    if (process == nullptr || process->isSystem) {
        return STATUS_INVALID_PARAMETER;
    }
    if (process->exited.exchange(true)) {
        return STATUS_PROCESS_IS_TERMINATING;
    }
    {
        // The exit routines run in the last thread of the exiting process,
        // which is terminating; the thread's own operations run there too.
        ThreadScope last(process, InThread::Main);
        last.thread()->terminating = true;
        KIRQL oldIrql = CurrentThreadState().irql;
        CurrentThreadState().irql = PASSIVE_LEVEL;
        ps::CallNotifyRoutines(process, nullptr);
        ob::CloseAllHandles(process);
        CurrentThreadState().irql = oldIrql;
    }
    ps::EndMainThread(process);
    ob::DereferenceObject(process);  // the reference that kept it running
    return STATUS_SUCCESS;
}

_ETHREAD* CreateThread(_EPROCESS* process) { return ps::CreateThreadObject(process); }

void EndThread(_ETHREAD* thread) { ob::DereferenceObject(thread); }

void SetThreadTerminating(_ETHREAD* thread, bool terminating) {
    thread->terminating = terminating;
    if (terminating) {
        // A send it is blocked in ends now, not at its timeout.
        sim::flt::WakeBlockedSender(thread);
    }
}

}  // namespace sim::user

