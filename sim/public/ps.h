// Process structure and configuration manager: processes, threads, process
// notifications, registry callbacks.
#pragma once

#include "sim/public/io.h"

typedef struct _PS_CREATE_NOTIFY_INFO {
    SIZE_T Size;
    union {
        ULONG Flags;
        struct {
            ULONG FileOpenNameAvailable : 1;
            ULONG IsSubsystemProcess : 1;
            ULONG Reserved : 30;
        };
    };
    HANDLE ParentProcessId;
    CLIENT_ID CreatingThreadId;
    PFILE_OBJECT FileObject;
    PCUNICODE_STRING ImageFileName;
    PCUNICODE_STRING CommandLine;
    NTSTATUS CreationStatus;
} PS_CREATE_NOTIFY_INFO, *PPS_CREATE_NOTIFY_INFO;
static_assert(sizeof(PS_CREATE_NOTIFY_INFO) == 72, "PS_CREATE_NOTIFY_INFO is 72 bytes");

typedef VOID NTAPI CREATE_PROCESS_NOTIFY_ROUTINE(HANDLE ParentId, HANDLE ProcessId, BOOLEAN Create);
typedef CREATE_PROCESS_NOTIFY_ROUTINE* PCREATE_PROCESS_NOTIFY_ROUTINE;
typedef VOID NTAPI CREATE_PROCESS_NOTIFY_ROUTINE_EX(PEPROCESS Process, HANDLE ProcessId, PPS_CREATE_NOTIFY_INFO CreateInfo);
typedef CREATE_PROCESS_NOTIFY_ROUTINE_EX* PCREATE_PROCESS_NOTIFY_ROUTINE_EX;

typedef NTSTATUS NTAPI EX_CALLBACK_FUNCTION(PVOID CallbackContext, PVOID Argument1, PVOID Argument2);
typedef EX_CALLBACK_FUNCTION* PEX_CALLBACK_FUNCTION;

typedef NTSTATUS(NTAPI* PPS_SET_CREATE_PROCESS_NOTIFY_ROUTINE_EX)(PCREATE_PROCESS_NOTIFY_ROUTINE_EX NotifyRoutine,
                                                                   BOOLEAN Remove);
typedef NTSTATUS(NTAPI* PCM_REGISTER_CALLBACK_EX)(PEX_CALLBACK_FUNCTION Function, PCUNICODE_STRING Altitude, PVOID Driver,
                                                   PVOID Context, PLARGE_INTEGER Cookie, PVOID Reserved);


typedef enum _PROCESSINFOCLASS {
    ProcessBasicInformation = 0,
    ProcessImageFileName = 27,
    ProcessImageFileNameWin32 = 43,
} PROCESSINFOCLASS;

#define NtCurrentProcess() ((HANDLE)(LONG_PTR)-1)
#define PROCESS_QUERY_INFORMATION 0x0400
#define PROCESS_QUERY_LIMITED_INFORMATION 0x1000

extern "C" {

NTKERNELAPI HANDLE NTAPI PsGetCurrentProcessId(VOID);
NTKERNELAPI HANDLE NTAPI PsGetCurrentThreadId(VOID);
NTKERNELAPI PETHREAD NTAPI PsGetCurrentThread(VOID);
NTKERNELAPI HANDLE NTAPI PsGetProcessId(PEPROCESS Process);
NTKERNELAPI NTSTATUS NTAPI PsLookupProcessByProcessId(HANDLE ProcessId, PEPROCESS* Process);
NTKERNELAPI BOOLEAN NTAPI PsIsThreadTerminating(PETHREAD Thread);

NTKERNELAPI NTSTATUS NTAPI PsSetCreateProcessNotifyRoutine(PCREATE_PROCESS_NOTIFY_ROUTINE NotifyRoutine, BOOLEAN Remove);
NTKERNELAPI NTSTATUS NTAPI PsSetCreateProcessNotifyRoutineEx(PCREATE_PROCESS_NOTIFY_ROUTINE_EX NotifyRoutine, BOOLEAN Remove);

NTKERNELAPI NTSTATUS NTAPI CmRegisterCallback(PEX_CALLBACK_FUNCTION Function, PVOID Context, PLARGE_INTEGER Cookie);
NTKERNELAPI NTSTATUS NTAPI CmRegisterCallbackEx(PEX_CALLBACK_FUNCTION Function, PCUNICODE_STRING Altitude, PVOID Driver,
                                                PVOID Context, PLARGE_INTEGER Cookie, PVOID Reserved);
NTKERNELAPI NTSTATUS NTAPI CmUnRegisterCallback(LARGE_INTEGER Cookie);
NTKERNELAPI NTSTATUS NTAPI CmCallbackGetKeyObjectID(PLARGE_INTEGER Cookie, PVOID Object, PULONG_PTR ObjectID,
                                                    PCUNICODE_STRING* ObjectName);
NTKERNELAPI NTSTATUS NTAPI CmCallbackGetKeyObjectIDEx(PLARGE_INTEGER Cookie, PVOID Object, PULONG_PTR ObjectID,
                                                      PCUNICODE_STRING* ObjectName, ULONG Flags);
NTKERNELAPI VOID NTAPI CmCallbackReleaseKeyObjectIDEx(PCUNICODE_STRING ObjectName);

extern POBJECT_TYPE* PsProcessType;
extern POBJECT_TYPE* PsThreadType;
NTSYSAPI NTSTATUS NTAPI ZwQueryInformationProcess(HANDLE ProcessHandle, PROCESSINFOCLASS ProcessInformationClass,
                                                  PVOID ProcessInformation, ULONG ProcessInformationLength,
                                                  PULONG ReturnLength);

}  // extern "C"
