// User side of processes: what tests and tools call to start and end simulated
// processes, as a parent process's CreateProcess and the process's exit would.
#pragma once

#include "sim/private/ps.h"

#include <string_view>

namespace sim::user {

// Starts a process whose inheritance parent is `parent` (null: the System
// process). The creation notifications run in the creator's context: the
// calling thread when it already belongs to `parent`, else a new thread of
// `parent`. An extended notification routine that sets CreationStatus to an
// error refuses the start: *process stays null, the process never existed and
// that status is returned. `imagePath` is in device form
// ("\Device\HarddiskVolume1\Windows\notepad.exe").
NTSTATUS StartProcess(_EPROCESS* parent, std::u16string_view imagePath, std::u16string_view commandLine, bool isAdmin,
                      _EPROCESS** process);
// Convenience form: the process, or null when the start was refused.
_EPROCESS* StartProcess(_EPROCESS* parent, std::u16string_view imagePath, std::u16string_view commandLine = u"",
                        bool isAdmin = false);

// Ends a process: the exit notifications run in a thread of the exiting
// process, then its handles are closed. The process object stays until its
// last reference goes (a referenced process can still be looked up).
// Ending it twice is refused with STATUS_PROCESS_IS_TERMINATING.
NTSTATUS EndProcess(_EPROCESS* process);

// Marks a thread as terminating (PsIsThreadTerminating), as a thread that
// was asked to exit is while it runs kernel code.
void SetThreadTerminating(_ETHREAD* thread, bool terminating);

}  // namespace sim::user
