// The process monitor's creation and exit notifications.
//
// For now they report nothing and leave the watched set alone: every start
// and exit goes ahead unchanged.
#include "procmon/procmon.h"

VOID NTAPI ProcMonNotifyEx(PEPROCESS Process, HANDLE ProcessId, PPS_CREATE_NOTIFY_INFO CreateInfo) {
    UNREFERENCED_PARAMETER(Process);
    UNREFERENCED_PARAMETER(ProcessId);
    UNREFERENCED_PARAMETER(CreateInfo);
}

VOID NTAPI ProcMonNotify(HANDLE ParentId, HANDLE ProcessId, BOOLEAN Create) {
    UNREFERENCED_PARAMETER(ParentId);
    UNREFERENCED_PARAMETER(ProcessId);
    UNREFERENCED_PARAMETER(Create);
}
