// ObReferenceObjectByHandle: the object behind a handle, with a reference the
// caller drops with ObfDereferenceObject.
#include "sim/ob/ob.h"
#include "sim/fs/fs.h"
#include "sim/ps/ps.h"

extern "C" NTSTATUS NTAPI ObReferenceObjectByHandle(HANDLE Handle, ACCESS_MASK DesiredAccess, POBJECT_TYPE ObjectType,
                                                    KPROCESSOR_MODE AccessMode, PVOID* Object, PVOID HandleInformation) {
    sim::Count("ObReferenceObjectByHandle");
    sim::RequireIrqlAtMost(PASSIVE_LEVEL, "ObReferenceObjectByHandle");
    if (Object == nullptr) {
        sim::BugCheck(sim::ob::kBugReferenceByPointer, "REFERENCE_BY_POINTER", "ObReferenceObjectByHandle without an out-parameter");
    }
    *Object = nullptr;
    if (HandleInformation != nullptr) {
        sim::NotImplemented("ObReferenceObjectByHandle with handle information");
    }
    NTSTATUS status = sim::TakeInjectedFailure("ObReferenceObjectByHandle");
    if (!NT_SUCCESS(status)) {
        return status;
    }
    // A kernel handle named from user mode is not the caller's.
    if (AccessMode == UserMode && sim::ob::IsKernelHandle(Handle)) {
        return STATUS_INVALID_HANDLE;
    }
    // Kernel mode with a user handle: the access check is skipped for a
    // handle the driver does not own.
    if (AccessMode == KernelMode) {
        sim::ob::RequireKernelHandle(Handle, "ObReferenceObjectByHandle");
    }
    sim::ob::HandleEntry entry;
    status = sim::ob::LookupHandle(sim::CurrentProcess(), Handle, sim::ob::TypeFromObjectType(ObjectType), &entry);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    // Kernel-mode callers are trusted with any access; user-mode ones get what
    // the handle was granted.
    if (AccessMode == UserMode) {
        ACCESS_MASK wanted = sim::fs::MapGenericFileAccess(DesiredAccess);
        if ((entry.grantedAccess & wanted) != wanted) {
            return STATUS_ACCESS_DENIED;
        }
    }
    if (!sim::ob::TryReferenceObject(entry.object)) {
        return STATUS_INVALID_HANDLE;
    }
    *Object = entry.object;
    sim::ob::NoteCallerReference(1);
    return STATUS_SUCCESS;
}
