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
};

#define ROUTINE(name) {#name, reinterpret_cast<void*>(&name), false}
#define ROUTINE_AS(name, routine) {name, reinterpret_cast<void*>(&routine), false}
#define DATA(name) {#name, reinterpret_cast<void*>(&name), true}

const std::vector<Export>& Ntoskrnl() {
    static const std::vector<Export> table = {
        ROUTINE(CmCallbackGetKeyObjectID),
        ROUTINE(CmCallbackGetKeyObjectIDEx),
        ROUTINE(CmCallbackReleaseKeyObjectIDEx),
        ROUTINE(CmRegisterCallback),
        ROUTINE(CmRegisterCallbackEx),
        ROUTINE(CmUnRegisterCallback),
        ROUTINE(DbgPrint),
        ROUTINE(ExAcquireFastMutex),
        ROUTINE(ExAcquireRundownProtection),
        ROUTINE(ExAllocatePoolWithTag),
        ROUTINE(ExFreePool),
        ROUTINE(ExFreePoolWithTag),
        ROUTINE(ExInitializeRundownProtection),
        ROUTINE(ExReInitializeRundownProtection),
        ROUTINE(ExReleaseFastMutex),
        ROUTINE(ExReleaseRundownProtection),
        ROUTINE(ExTryToAcquireFastMutex),
        ROUTINE(ExWaitForRundownProtectionRelease),
        ROUTINE(IoAllocateWorkItem),
        ROUTINE(IoCreateDevice),
        ROUTINE(IoCreateSymbolicLink),
        ROUTINE(IoDeleteDevice),
        ROUTINE(IoDeleteSymbolicLink),
        ROUTINE(IoFreeWorkItem),
        ROUTINE(IoGetCurrentProcess),
        ROUTINE(IoQueueWorkItem),
        ROUTINE(IoThreadToProcess),
        ROUTINE(IofCallDriver),
        ROUTINE(IofCompleteRequest),
        ROUTINE(KeBugCheckEx),
        ROUTINE(KeGetCurrentIrql),
        ROUTINE(KeEnterCriticalRegion),
        ROUTINE(KeInitializeEvent),
        ROUTINE(KeLeaveCriticalRegion),
        ROUTINE(MmGetSystemRoutineAddress),
        DATA(MmUserProbeAddress),
        ROUTINE(ObOpenObjectByPointer),
        ROUTINE(ObReferenceObjectByHandle),
        ROUTINE(ObSetSecurityObjectByPointer),
        ROUTINE(ObfDereferenceObject),
        ROUTINE(ObfReferenceObject),
        ROUTINE(PsGetCurrentProcessId),
        ROUTINE(PsGetCurrentThread),
        ROUTINE(PsGetCurrentThreadId),
        ROUTINE(PsGetProcessId),
        ROUTINE(PsIsThreadTerminating),
        ROUTINE(PsLookupProcessByProcessId),
        ROUTINE(PsSetCreateProcessNotifyRoutine),
        ROUTINE(PsSetCreateProcessNotifyRoutineEx),
        ROUTINE(RtlAddAccessAllowedAce),
        ROUTINE(RtlCopyUnicodeString),
        ROUTINE(RtlCreateAcl),
        ROUTINE(RtlCreateSecurityDescriptor),
        ROUTINE(RtlEqualUnicodeString),
        ROUTINE(RtlGetVersion),
        ROUTINE(RtlInitUnicodeString),
        ROUTINE(RtlIntegerToUnicodeString),
        ROUTINE(RtlLengthSid),
        ROUTINE(RtlPrefixUnicodeString),
        ROUTINE(RtlSetDaclSecurityDescriptor),
        DATA(SeExports),
        ROUTINE(ZwClose),
        ROUTINE(ZwOpenSymbolicLinkObject),
        ROUTINE(ZwQueryInformationProcess),
        ROUTINE(ZwQuerySymbolicLinkObject),
        ROUTINE(ZwQueryValueKey),
        ROUTINE_AS("__C_specific_handler", SimCSpecificHandler),
        ROUTINE_AS("memcpy", SimKernelMemcpy),
        ROUTINE_AS("memmove", SimKernelMemmove),
        ROUTINE_AS("memset", SimKernelMemset),
    };
    return table;
}

const std::vector<Export>& Fltmgr() {
    static const std::vector<Export> table = {
        ROUTINE(FltAcquirePushLockExclusive),
        ROUTINE(FltAcquirePushLockShared),
        ROUTINE(FltAllocateContext),
        ROUTINE(FltBuildDefaultSecurityDescriptor),
        ROUTINE(FltClose),
        ROUTINE(FltCloseClientPort),
        ROUTINE(FltCloseCommunicationPort),
        ROUTINE(FltCreateCommunicationPort),
        ROUTINE(FltCreateFile),
        ROUTINE(FltDeletePushLock),
        ROUTINE(FltDeleteStreamHandleContext),
        ROUTINE(FltFreeSecurityDescriptor),
        ROUTINE(FltGetDestinationFileNameInformation),
        ROUTINE(FltGetFileNameInformation),
        ROUTINE(FltGetStreamHandleContext),
        ROUTINE(FltGetVolumeFromName),
        ROUTINE(FltGetVolumeInstanceFromName),
        ROUTINE(FltInitializePushLock),
        ROUTINE(FltObjectDereference),
        ROUTINE(FltParseFileNameInformation),
        ROUTINE(FltQueryInformationFile),
        ROUTINE(FltReadFile),
        ROUTINE(FltReferenceContext),
        ROUTINE(FltReferenceFileNameInformation),
        ROUTINE(FltRegisterFilter),
        ROUTINE(FltReleaseContext),
        ROUTINE(FltReleaseFileNameInformation),
        ROUTINE(FltReleasePushLock),
        ROUTINE(FltSendMessage),
        ROUTINE(FltSetStreamHandleContext),
        ROUTINE(FltStartFiltering),
        ROUTINE(FltUnregisterFilter),
        ROUTINE(FltWriteFile),
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
    Extra().push_back({module, Export{name, address, false}});
}

void* LookupExport(const std::string& module, const std::string& name) {
    if (const auto* table = TableOf(module)) {
        for (const Export& e : *table) {
            if (name == e.name) {
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
