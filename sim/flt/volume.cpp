// Volumes and instances by name: how a filter reaches a volume other than the
// one a request came on (FltGetVolumeFromName, FltGetVolumeInstanceFromName),
// and the references those routines hand out (FltObjectDereference).
#include "sim/flt/io.h"

#include <map>
#include <mutex>

namespace sim::flt {

namespace {

std::mutex gRefLock;
std::map<const void*, long> gReferences;  // volume or instance -> references handed out

void AddReference(const void* object) {
    std::lock_guard<std::mutex> guard(gRefLock);
    ++gReferences[object];
}

void ResetReferences() {
    std::lock_guard<std::mutex> guard(gRefLock);
    gReferences.clear();
}

const bool gRegistered = [] {
    sim::RegisterResetHook("flt_volume", ResetReferences);
    return true;
}();

}  // namespace

size_t OutstandingObjectReferences() {
    std::lock_guard<std::mutex> guard(gRefLock);
    size_t total = 0;
    for (const auto& [object, count] : gReferences) {
        total += static_cast<size_t>(count);
    }
    return total;
}

}  // namespace sim::flt

extern "C" NTSTATUS FLTAPI FltGetVolumeFromName(PFLT_FILTER Filter, PCUNICODE_STRING VolumeName, PFLT_VOLUME* RetVolume) {
    sim::Count("FltGetVolumeFromName");
    sim::RequireIrqlAtMost(PASSIVE_LEVEL, "FltGetVolumeFromName");
    sim::flt::CheckFilter(Filter, "FltGetVolumeFromName");
    if (RetVolume == nullptr || VolumeName == nullptr || VolumeName->Buffer == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    *RetVolume = nullptr;
    if (NTSTATUS injected = sim::TakeInjectedFailure("FltGetVolumeFromName"); !NT_SUCCESS(injected)) {
        return injected;
    }
    std::u16string name(VolumeName->Buffer, VolumeName->Length / sizeof(WCHAR));
    // "D:" is taken as the DOS device name.
    if (name.size() == 2 && name[1] == u':') {
        name = u"\\??\\" + name;
    }
    sim::fs::Volume* volume = nullptr;
    std::u16string rest;
    NTSTATUS status = sim::fs::ResolveNtPath(name, &volume, &rest);
    if (!NT_SUCCESS(status) || volume == nullptr) {
        return STATUS_FLT_VOLUME_NOT_FOUND;
    }
    if (!rest.empty() && rest != u"\\") {
        return STATUS_INVALID_PARAMETER;  // a path below the volume is not a volume name
    }
    _FLT_VOLUME* fltVolume = sim::flt::FltVolumeOf(volume);
    sim::flt::AddReference(fltVolume);
    *RetVolume = fltVolume;
    return STATUS_SUCCESS;
}

extern "C" NTSTATUS FLTAPI FltGetVolumeInstanceFromName(PFLT_FILTER Filter, PFLT_VOLUME Volume, PCUNICODE_STRING InstanceName,
                                                        PFLT_INSTANCE* RetInstance) {
    sim::Count("FltGetVolumeInstanceFromName");
    sim::RequireIrqlAtMost(PASSIVE_LEVEL, "FltGetVolumeInstanceFromName");
    sim::flt::CheckFilter(Filter, "FltGetVolumeInstanceFromName");
    if (RetInstance == nullptr || Volume == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    *RetInstance = nullptr;
    if (Volume->magic != _FLT_VOLUME::kMagic) {
        sim::BugCheck(sim::kBugFltmgrFileSystem, "FLTMGR_FILE_SYSTEM", "FltGetVolumeInstanceFromName: not a volume",
                      reinterpret_cast<ULONG_PTR>(Volume));
    }
    if (InstanceName != nullptr) {
        sim::NotImplemented("FltGetVolumeInstanceFromName with an instance name (instances here are unnamed)");
    }
    if (NTSTATUS injected = sim::TakeInjectedFailure("FltGetVolumeInstanceFromName"); !NT_SUCCESS(injected)) {
        return injected;
    }
    _FLT_INSTANCE* instance = sim::flt::InstanceOf(Filter, Volume->volume);
    if (instance == nullptr) {
        return STATUS_FLT_INSTANCE_NOT_FOUND;
    }
    sim::flt::AddReference(instance);
    *RetInstance = instance;
    return STATUS_SUCCESS;
}

extern "C" VOID FLTAPI FltObjectDereference(PVOID FltObject) {
    sim::Count("FltObjectDereference");
    std::lock_guard<std::mutex> guard(sim::flt::gRefLock);
    auto it = sim::flt::gReferences.find(FltObject);
    if (it == sim::flt::gReferences.end() || it->second == 0) {
        sim::BugCheck(sim::kBugFltmgrFileSystem, "FLTMGR_FILE_SYSTEM", "FltObjectDereference without a reference",
                      reinterpret_cast<ULONG_PTR>(FltObject));
    }
    if (--it->second == 0) {
        sim::flt::gReferences.erase(it);
    }
}
