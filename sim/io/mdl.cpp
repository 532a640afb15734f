// Memory descriptor lists over host memory (see sim/io/mdl.h).
#include "sim/io/mdl.h"

#include <mutex>
#include <unordered_set>

namespace {

constexpr ULONG_PTR kPageSize = 0x1000;
// The largest transfer one MDL describes on x64 (a ULONG byte count less a page).
constexpr ULONG kMaxMdlLength = 0xFFFFFFFFu - static_cast<ULONG>(kPageSize);

std::mutex gLock;
std::unordered_set<PMDL> gMdls;

const bool gRegistered = [] {
    sim::RegisterResetHook("io_mdl", [] {
        std::lock_guard<std::mutex> guard(gLock);
        for (PMDL mdl : gMdls) {
            delete mdl;
        }
        gMdls.clear();
    });
    return true;
}();

void CheckMdl(PMDL mdl, const char* routine) {
    std::lock_guard<std::mutex> guard(gLock);
    if (mdl == nullptr || gMdls.count(mdl) == 0) {
        sim::BugCheck(sim::kBugDriverVerifierDetectedViolation, "DRIVER_VERIFIER_DETECTED_VIOLATION",
                      std::string(routine) + ": not a live MDL", reinterpret_cast<ULONG_PTR>(mdl));
    }
}

}  // namespace

namespace sim::io {
size_t LiveMdlCount() {
    std::lock_guard<std::mutex> guard(gLock);
    return gMdls.size();
}
}  // namespace sim::io

extern "C" PMDL NTAPI IoAllocateMdl(PVOID VirtualAddress, ULONG Length, BOOLEAN SecondaryBuffer, BOOLEAN ChargeQuota,
                                    struct _IRP* Irp) {
    sim::Count("IoAllocateMdl");
    sim::RequireIrqlAtMost(DISPATCH_LEVEL, "IoAllocateMdl");
    if (SecondaryBuffer || Irp != nullptr) {
        sim::NotImplemented("IoAllocateMdl with an IRP or a secondary buffer");
    }
    (void)ChargeQuota;
    if (!NT_SUCCESS(sim::TakeInjectedFailure("IoAllocateMdl")) || Length == 0 || Length > kMaxMdlLength) {
        return nullptr;
    }
    auto* mdl = new MDL{};
    const auto address = reinterpret_cast<ULONG_PTR>(VirtualAddress);
    mdl->Size = static_cast<SHORT>(sizeof(MDL));
    mdl->StartVa = reinterpret_cast<PVOID>(address & ~(kPageSize - 1));
    mdl->ByteOffset = static_cast<ULONG>(address & (kPageSize - 1));
    mdl->ByteCount = Length;
    std::lock_guard<std::mutex> guard(gLock);
    gMdls.insert(mdl);
    return mdl;
}

extern "C" VOID NTAPI IoFreeMdl(PMDL Mdl) {
    sim::Count("IoFreeMdl");
    CheckMdl(Mdl, "IoFreeMdl");
    if ((Mdl->MdlFlags & MDL_PAGES_LOCKED) != 0) {
        sim::BugCheck(sim::kBugDriverVerifierDetectedViolation, "DRIVER_VERIFIER_DETECTED_VIOLATION",
                      "IoFreeMdl: the MDL's pages are still locked", reinterpret_cast<ULONG_PTR>(Mdl));
    }
    std::lock_guard<std::mutex> guard(gLock);
    gMdls.erase(Mdl);
    delete Mdl;
}

extern "C" VOID NTAPI MmProbeAndLockPages(PMDL Mdl, KPROCESSOR_MODE AccessMode, LOCK_OPERATION Operation) {
    sim::Count("MmProbeAndLockPages");
    sim::RequireIrqlAtMost(DISPATCH_LEVEL, "MmProbeAndLockPages");
    CheckMdl(Mdl, "MmProbeAndLockPages");
    (void)AccessMode;
    (void)Operation;
    if ((Mdl->MdlFlags & (MDL_PAGES_LOCKED | MDL_SOURCE_IS_NONPAGED_POOL)) != 0) {
        sim::BugCheck(sim::kBugDriverVerifierDetectedViolation, "DRIVER_VERIFIER_DETECTED_VIOLATION",
                      "MmProbeAndLockPages: the pages are locked already", reinterpret_cast<ULONG_PTR>(Mdl));
    }
    Mdl->MdlFlags |= MDL_PAGES_LOCKED;
}

extern "C" VOID NTAPI MmUnlockPages(PMDL Mdl) {
    sim::Count("MmUnlockPages");
    CheckMdl(Mdl, "MmUnlockPages");
    if ((Mdl->MdlFlags & MDL_PAGES_LOCKED) == 0) {
        sim::BugCheck(sim::kBugDriverVerifierDetectedViolation, "DRIVER_VERIFIER_DETECTED_VIOLATION",
                      "MmUnlockPages: the pages are not locked", reinterpret_cast<ULONG_PTR>(Mdl));
    }
    Mdl->MdlFlags &= ~(MDL_PAGES_LOCKED | MDL_MAPPED_TO_SYSTEM_VA);
    Mdl->MappedSystemVa = nullptr;
}

extern "C" VOID NTAPI MmBuildMdlForNonPagedPool(PMDL Mdl) {
    sim::Count("MmBuildMdlForNonPagedPool");
    CheckMdl(Mdl, "MmBuildMdlForNonPagedPool");
    Mdl->MdlFlags |= MDL_SOURCE_IS_NONPAGED_POOL;
    Mdl->MappedSystemVa = static_cast<char*>(Mdl->StartVa) + Mdl->ByteOffset;
}

extern "C" PVOID NTAPI MmGetSystemAddressForMdlSafe(PMDL Mdl, ULONG Priority) {
    sim::Count("MmGetSystemAddressForMdlSafe");
    sim::RequireIrqlAtMost(DISPATCH_LEVEL, "MmGetSystemAddressForMdlSafe");
    CheckMdl(Mdl, "MmGetSystemAddressForMdlSafe");
    (void)Priority;
    if ((Mdl->MdlFlags & (MDL_MAPPED_TO_SYSTEM_VA | MDL_SOURCE_IS_NONPAGED_POOL)) != 0) {
        return Mdl->MappedSystemVa;
    }
    if ((Mdl->MdlFlags & MDL_PAGES_LOCKED) == 0) {
        sim::BugCheck(sim::kBugDriverVerifierDetectedViolation, "DRIVER_VERIFIER_DETECTED_VIOLATION",
                      "MmGetSystemAddressForMdlSafe: the pages are not locked", reinterpret_cast<ULONG_PTR>(Mdl));
    }
    if (!NT_SUCCESS(sim::TakeInjectedFailure("MmGetSystemAddressForMdlSafe"))) {
        return nullptr;  // no system address space left
    }
    Mdl->MappedSystemVa = static_cast<char*>(Mdl->StartVa) + Mdl->ByteOffset;
    Mdl->MdlFlags |= MDL_MAPPED_TO_SYSTEM_VA;
    return Mdl->MappedSystemVa;
}
