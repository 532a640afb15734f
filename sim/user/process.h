// User side of processes: what tests and tools call to start and end simulated
// processes, as a parent process's CreateProcess and the process's exit would.
#pragma once

#include "sim/ps/ps.h"

#include <optional>
#include <string_view>

namespace sim::user {

// Everything a start can be given. The inheritance parent and the creating
// thread may differ (a broker that starts a process on another's behalf).
struct ProcessStart {
    _EPROCESS* parent = nullptr;          // null: the System process
    std::u16string_view imagePath;        // device form
    // The command line; nullopt starts the process without one (the
    // notification's CommandLine is null), as subsystem processes are.
    std::optional<std::u16string_view> commandLine = std::u16string_view();
    bool isAdmin = false;
    // The user the process runs as ("S-1-5-21-...-1001"); empty: the
    // parent's, or the interactive user's when started by the System process.
    std::string_view userSid;
    // The thread that calls the creation: null means the calling thread when
    // it belongs to `parent`, else the parent's main thread.
    _ETHREAD* creatingThread = nullptr;
};
NTSTATUS StartProcess(const ProcessStart& start, _EPROCESS** process);

// Starts a process whose inheritance parent is `parent` (null: the System
// process). The process gets its main thread first; then the creation
// notifications run in the creator's context: the calling thread when it
// already belongs to `parent`, else the parent's main thread. An extended notification routine that sets CreationStatus to an
// error refuses the start: *process stays null, the process never existed and
// that status is returned. `imagePath` is in device form
// ("\Device\HarddiskVolume1\Windows\notepad.exe").
NTSTATUS StartProcess(_EPROCESS* parent, std::u16string_view imagePath, std::u16string_view commandLine, bool isAdmin,
                      _EPROCESS** process);
// Convenience form: the process, or null when the start was refused.
_EPROCESS* StartProcess(_EPROCESS* parent, std::u16string_view imagePath, std::u16string_view commandLine = u"",
                        bool isAdmin = false);

// Ends a process: the exit notifications run in its main thread, its last,
// which is terminating by then (PsIsThreadTerminating), then its handles are
// closed and the thread ends. The process object stays until its
// last reference goes (a referenced process can still be looked up).
// Ending it twice is refused with STATUS_PROCESS_IS_TERMINATING.
NTSTATUS EndProcess(_EPROCESS* process);

// A new thread of `process`, referenced once for the caller (release it
// with EndThread); user-side code runs in it through ThreadScope(thread).
_ETHREAD* CreateThread(_EPROCESS* process);
void EndThread(_ETHREAD* thread);

// Marks a thread as terminating (PsIsThreadTerminating), as a thread that
// was asked to exit is while it runs kernel code.
void SetThreadTerminating(_ETHREAD* thread, bool terminating);

}  // namespace sim::user
