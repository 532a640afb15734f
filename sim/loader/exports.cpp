// The model's export tables: what a driver image's imports bind to, and what
// MmGetSystemRoutineAddress finds. One table per kernel module, with the real
// modules' names; a routine the model does not implement is simply absent, so
// an image that imports it is refused by name, as the real loader refuses it.
#include "sim/loader/loader.h"

#include "sim/ke/core.h"

#include <algorithm>
#include <cstring>
#include <mutex>
#include <strings.h>
#include <unordered_set>
#include <vector>

// The C library routines ntoskrnl exports, in the kernel's calling convention.
// The image calls these through its import table; the host's own memcpy follows
// the host's convention and cannot be handed to it.
extern "C" {
NTAPI void* SimKernelMemcpy(void* destination, const void* source, size_t length) {
    return memcpy(destination, source, length);
}
NTAPI void* SimKernelMemmove(void* destination, const void* source, size_t length) {
    return memmove(destination, source, length);
}
NTAPI void* SimKernelMemset(void* destination, int value, size_t length) {
    return memset(destination, value, length);
}
}

namespace sim::loader {

namespace {

struct Export {
    const char* name;
    void* address;
    bool data;
    WindowsVersion since;  // the first version whose module exports it
};

// Each with the first Windows version that exports it, from the routine's
// documentation ("Win2000": Windows 2000 or earlier).
#define ROUTINE(name, since) {#name, reinterpret_cast<void*>(&name), false, WindowsVersion::since}
#define ROUTINE_AS(name, routine, since) {name, reinterpret_cast<void*>(&routine), false, WindowsVersion::since}
#define DATA(name, since) {#name, reinterpret_cast<void*>(&name), true, WindowsVersion::since}

const std::vector<Export>& Ntoskrnl() {
    static const std::vector<Export> table = {
        ROUTINE(CmCallbackGetKeyObjectID, WinVista),
        ROUTINE(CmCallbackGetKeyObjectIDEx, Win8),
        ROUTINE(CmCallbackReleaseKeyObjectIDEx, Win8),
        ROUTINE(CmRegisterCallback, WinXP),
        ROUTINE(CmRegisterCallbackEx, WinVista),
        ROUTINE(CmUnRegisterCallback, WinXP),
        ROUTINE(DbgPrint, Win2000),
        ROUTINE(ExAcquireFastMutex, Win2000),
        ROUTINE(ExAcquireRundownProtection, WinXP),
        ROUTINE(ExAllocatePoolWithTag, Win2000),
        ROUTINE(ExFreePool, Win2000),
        ROUTINE(ExFreePoolWithTag, Win2000),
        ROUTINE(ExInitializeRundownProtection, WinXP),
        ROUTINE(ExReInitializeRundownProtection, WinXP),
        ROUTINE(ExReleaseFastMutex, Win2000),
        ROUTINE(ExReleaseRundownProtection, WinXP),
        ROUTINE(ExTryToAcquireFastMutex, Win2000),
        ROUTINE(ExWaitForRundownProtectionRelease, WinXP),
        ROUTINE(IoAllocateWorkItem, Win2000),
        ROUTINE(IoCreateDevice, Win2000),
        ROUTINE(IoCreateSymbolicLink, Win2000),
        ROUTINE(IoDeleteDevice, Win2000),
        ROUTINE(IoDeleteSymbolicLink, Win2000),
        ROUTINE(IoFreeWorkItem, Win2000),
        ROUTINE(IoGetCurrentProcess, Win2000),
        ROUTINE(IoQueueWorkItem, Win2000),
        ROUTINE(IoThreadToProcess, Win2000),
        ROUTINE(IofCallDriver, Win2000),
        ROUTINE(IofCompleteRequest, Win2000),
        ROUTINE(KeBugCheckEx, Win2000),
        ROUTINE(KeGetCurrentIrql, Win2000),
        ROUTINE(KeInitializeEvent, Win2000),
        ROUTINE(MmGetSystemRoutineAddress, Win2000),
        DATA(MmUserProbeAddress, Win2000),
        ROUTINE(ObOpenObjectByPointer, Win2000),
        ROUTINE(ObReferenceObjectByHandle, Win2000),
        ROUTINE(ObSetSecurityObjectByPointer, Win2000),
        ROUTINE(ObfDereferenceObject, Win2000),
        ROUTINE(ObfReferenceObject, Win2000),
        ROUTINE(PsGetCurrentProcessId, Win2000),
        ROUTINE(PsGetCurrentThread, Win2000),
        ROUTINE(PsGetCurrentThreadId, Win2000),
        ROUTINE(PsGetProcessId, WinXP),
        ROUTINE(PsIsThreadTerminating, Win2000),
        ROUTINE(PsLookupProcessByProcessId, Win2000),
        ROUTINE(PsSetCreateProcessNotifyRoutine, Win2000),
        ROUTINE(PsSetCreateProcessNotifyRoutineEx, WinVista),
        ROUTINE(RtlAddAccessAllowedAce, Win2000),
        ROUTINE(RtlCopyUnicodeString, Win2000),
        ROUTINE(RtlCreateAcl, Win2000),
        ROUTINE(RtlCreateSecurityDescriptor, Win2000),
        ROUTINE(RtlEqualUnicodeString, Win2000),
        ROUTINE(RtlGetVersion, Win2000),
        ROUTINE(RtlInitUnicodeString, Win2000),
        ROUTINE(RtlIntegerToUnicodeString, Win2000),
        ROUTINE(RtlLengthSid, Win2000),
        ROUTINE(RtlPrefixUnicodeString, Win2000),
        ROUTINE(RtlSetDaclSecurityDescriptor, Win2000),
        DATA(SeExports, Win2000),
        ROUTINE(ZwClose, Win2000),
        ROUTINE(ZwOpenSymbolicLinkObject, Win2000),
        ROUTINE(ZwQueryInformationProcess, WinXP),
        ROUTINE(ZwQuerySymbolicLinkObject, Win2000),
        ROUTINE(ZwQueryValueKey, Win2000),
        ROUTINE_AS("__C_specific_handler", SimCSpecificHandler, Win2000),
        ROUTINE_AS("memcpy", SimKernelMemcpy, Win2000),
        ROUTINE_AS("memmove", SimKernelMemmove, Win2000),
        ROUTINE_AS("memset", SimKernelMemset, Win2000),
        ROUTINE(KeEnterCriticalRegion, Win2000),
        ROUTINE(KeLeaveCriticalRegion, Win2000),
    };
    return table;
}

const std::vector<Export>& Fltmgr() {
    static const std::vector<Export> table = {
        ROUTINE(FltAcquirePushLockExclusive, WinXP),
        ROUTINE(FltAcquirePushLockShared, WinXP),
        ROUTINE(FltAllocateContext, WinXP),
        ROUTINE(FltBuildDefaultSecurityDescriptor, WinXP),
        ROUTINE(FltClose, WinXP),
        ROUTINE(FltCloseClientPort, WinXP),
        ROUTINE(FltCloseCommunicationPort, WinXP),
        ROUTINE(FltCreateCommunicationPort, WinXP),
        ROUTINE(FltCreateFile, WinXP),
        ROUTINE(FltDeletePushLock, WinXP),
        ROUTINE(FltDeleteStreamHandleContext, WinXP),
        ROUTINE(FltFreeSecurityDescriptor, WinXP),
        ROUTINE(FltGetDestinationFileNameInformation, WinXP),
        ROUTINE(FltGetFileNameInformation, WinXP),
        ROUTINE(FltGetStreamHandleContext, WinXP),
        ROUTINE(FltGetVolumeFromName, WinXP),
        ROUTINE(FltGetVolumeInstanceFromName, WinXP),
        ROUTINE(FltInitializePushLock, WinXP),
        ROUTINE(FltObjectDereference, WinXP),
        ROUTINE(FltParseFileNameInformation, WinXP),
        ROUTINE(FltQueryInformationFile, WinXP),
        ROUTINE(FltReadFile, WinXP),
        ROUTINE(FltReferenceContext, WinXP),
        ROUTINE(FltReferenceFileNameInformation, WinXP),
        ROUTINE(FltRegisterFilter, WinXP),
        ROUTINE(FltReleaseContext, WinXP),
        ROUTINE(FltReleaseFileNameInformation, WinXP),
        ROUTINE(FltReleasePushLock, WinXP),
        ROUTINE(FltSendMessage, WinXP),
        ROUTINE(FltSetStreamHandleContext, WinXP),
        ROUTINE(FltStartFiltering, WinXP),
        ROUTINE(FltUnregisterFilter, WinXP),
        ROUTINE(FltWriteFile, WinXP),
    };
    return table;
}

#undef ROUTINE
#undef ROUTINE_AS
#undef DATA

// Routines added at run time by other parts of the model (the exception
// dispatcher's language handler, for one).
std::mutex gExtraLock;
std::vector<std::pair<std::string, Export>>& Extra() {
    static std::vector<std::pair<std::string, Export>> extra;
    return extra;
}

const std::vector<Export>* TableOf(const std::string& module) {
    if (strcasecmp(module.c_str(), "ntoskrnl.exe") == 0) {
        return &Ntoskrnl();
    }
    if (strcasecmp(module.c_str(), "FLTMGR.SYS") == 0) {
        return &Fltmgr();
    }
    return nullptr;  // HAL.dll and the rest: the model exports nothing from them
}

}  // namespace

void AddExport(const std::string& module, const char* name, void* address) {
    std::lock_guard<std::mutex> guard(gExtraLock);
    for (auto& [m, e] : Extra()) {
        if (strcasecmp(m.c_str(), module.c_str()) == 0 && strcmp(e.name, name) == 0) {
            e.address = address;
            return;
        }
    }
    Extra().push_back({module, Export{name, address, false, WindowsVersion::Win2000}});
}

const char* WindowsVersionName(WindowsVersion version) {
    switch (version) {
    case WindowsVersion::Win2000: return "Windows 2000";
    case WindowsVersion::WinXP: return "Windows XP";
    case WindowsVersion::WinVista: return "Windows Vista";
    case WindowsVersion::Win7: return "Windows 7";
    case WindowsVersion::Win8: return "Windows 8";
    case WindowsVersion::Win81: return "Windows 8.1";
    case WindowsVersion::Win10_1507: return "Windows 10 1507";
    case WindowsVersion::Win10_1703: return "Windows 10 1703";
    case WindowsVersion::Win10_2004: return "Windows 10 2004";
    case WindowsVersion::Win11: return "Windows 11";
    }
    return "a later Windows";
}

void* LookupExport(const std::string& module, const std::string& name) {
    WindowsVersion since;
    return LookupExport(module, name, &since);
}

void* LookupExport(const std::string& module, const std::string& name, WindowsVersion* since) {
    *since = WindowsVersion::Win2000;
    if (const auto* table = TableOf(module)) {
        for (const Export& e : *table) {
            if (name == e.name) {
                *since = e.since;
                return e.address;
            }
        }
    }
    std::lock_guard<std::mutex> guard(gExtraLock);
    for (const auto& [m, e] : Extra()) {
        if (strcasecmp(m.c_str(), module.c_str()) == 0 && name == e.name) {
            return e.address;
        }
    }
    return nullptr;
}

bool IsExportedRoutine(const void* address) {
    for (const auto* table : {&Ntoskrnl(), &Fltmgr()}) {
        for (const Export& e : *table) {
            if (!e.data && e.address == address) {
                return true;
            }
        }
    }
    std::lock_guard<std::mutex> guard(gExtraLock);
    for (const auto& [m, e] : Extra()) {
        if (e.address == address) {
            return true;
        }
    }
    return false;
}

}  // namespace sim::loader
