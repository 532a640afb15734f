// The process monitor's creation and exit notifications.
#pragma once

#include "platform/kernel.h"

VOID NTAPI ProcMonNotifyEx(PEPROCESS Process, HANDLE ProcessId, PPS_CREATE_NOTIFY_INFO CreateInfo);
VOID NTAPI ProcMonNotify(HANDLE ParentId, HANDLE ProcessId, BOOLEAN Create);
