// Object manager: the routines a driver calls (references, opens by pointer,
// handles, symbolic-link objects), and the leftover check of the references
// driver code took. The namespace, handle tables and reference counts they
// use: ob.cpp.
#include "sim/ob/ob.h"

#include "sim/cm/cm.h"
#include "sim/io/io.h"
#include "sim/ps/ps.h"

#include <atomic>
#include <string>
#include <vector>

namespace {

// A handle from ObOpenObjectByPointer holds a reference on its object.
void CloseReferencedObjectp(_EPROCESS*, void* object, ACCESS_MASK) { sim::ob::DereferenceObject(object); }
const sim::ob::HandleProcedures kReferencedObjectHandle{"object", CloseReferencedObjectp, nullptr};

struct OpenLink {
    std::u16string path;
};
void CloseLinkHandlep(_EPROCESS*, void* object, ACCESS_MASK) { delete static_cast<OpenLink*>(object); }
const sim::ob::HandleProcedures kLinkHandle{"symbolic link", CloseLinkHandlep, nullptr};

}  // namespace

namespace sim::ob {
namespace {

// References that driver code took (ObfReferenceObject, the look-ups that
// return a referenced object) less those it dropped (ObfDereferenceObject).
std::atomic<int64_t> gCallerReferences{0};

std::vector<std::string> CallerReferenceLeftoversp(PDRIVER_OBJECT) {
    const int64_t held = gCallerReferences.load();
    if (held <= 0) {
        return {};
    }
    return {std::to_string(held) + " object reference(s) taken and never dropped (ObDereferenceObject)"};
}

const bool kCallerReferenceCheck = (RegisterDriverLeftoverCheck(CallerReferenceLeftoversp), true);
const bool kCallerReferenceReset = (RegisterResetHook("ob-caller-references", [] { gCallerReferences.store(0); }), true);

}  // namespace

void NoteCallerReference(int delta) { gCallerReferences.fetch_add(delta); }
int64_t CallerReferences() { return gCallerReferences.load(); }

}  // namespace sim::ob

extern "C" VOID NTAPI ObfReferenceObject(PVOID Object) {
    sim::Count("ObfReferenceObject");
    sim::ob::ReferenceObject(Object);
    sim::ob::NoteCallerReference(1);
}

extern "C" VOID NTAPI ObfDereferenceObject(PVOID Object) {
    sim::Count("ObfDereferenceObject");
    sim::ob::DereferenceObject(Object);
    sim::ob::NoteCallerReference(-1);
}

extern "C" NTSTATUS NTAPI ObOpenObjectByPointer(PVOID Object, ULONG HandleAttributes, PVOID PassedAccessState,
                                                ACCESS_MASK DesiredAccess, POBJECT_TYPE ObjectType,
                                                KPROCESSOR_MODE AccessMode, PHANDLE Handle) {
    sim::Count("ObOpenObjectByPointer");
    *Handle = nullptr;
    sim::RequireIrqlAtMost(PASSIVE_LEVEL, "ObOpenObjectByPointer");
    NTSTATUS injected = sim::TakeInjectedFailure("ObOpenObjectByPointer");
    if (!NT_SUCCESS(injected)) {
        return injected;
    }
    if (PassedAccessState != nullptr) {
        sim::NotImplemented("ObOpenObjectByPointer with an access state");
    }
    if (AccessMode != KernelMode) {
        sim::NotImplemented("ObOpenObjectByPointer with UserMode access checks");
    }
    sim::ob::ObjectType type = sim::ob::TypeOfObject(Object);
    if (ObjectType != nullptr && sim::ob::TypeFromObjectType(ObjectType) != type) {
        return STATUS_OBJECT_TYPE_MISMATCH;
    }
    sim::ob::ReferenceObject(Object);
    // Key handles close through the configuration manager (its handle-close notifications).
    const sim::ob::HandleProcedures* procedures =
        type == sim::ob::ObjectType::Key ? sim::cm::KeyHandleProcedures() : &kReferencedObjectHandle;
    NTSTATUS status = sim::ob::CreateHandle(sim::CurrentProcess(), (HandleAttributes & OBJ_KERNEL_HANDLE) != 0, type, Object,
                                            DesiredAccess, procedures, Handle);
    if (!NT_SUCCESS(status)) {
        sim::ob::DereferenceObject(Object);
    }
    if (NT_SUCCESS(status) && (HandleAttributes & OBJ_KERNEL_HANDLE) != 0) {
        sim::Count("ObOpenObjectByPointer:kernel-handle");
    }
    return status;
}

extern "C" NTSTATUS NTAPI ZwClose(HANDLE Handle) {
    sim::Count("ZwClose");
    sim::RequireIrqlAtMost(PASSIVE_LEVEL, "ZwClose");
    // Kernel code closes only kernel handles: a user handle names whatever the
    // process that happens to be current holds under that value.
    sim::ob::RequireKernelHandle(Handle, "ZwClose");
    NTSTATUS status = sim::ob::CloseHandle(sim::CurrentProcess(), Handle);
    if (status == STATUS_INVALID_HANDLE && sim::ob::IsKernelHandle(Handle)) {
        // Kernel-mode close of a kernel handle that does not exist.
        sim::BugCheck(0x93, "INVALID_KERNEL_HANDLE", "ZwClose of a kernel handle that is not open",
                      reinterpret_cast<ULONG_PTR>(Handle));
    }
    return status;
}

extern "C" NTSTATUS NTAPI ZwOpenSymbolicLinkObject(PHANDLE LinkHandle, ACCESS_MASK DesiredAccess,
                                                   POBJECT_ATTRIBUTES ObjectAttributes) {
    sim::Count("ZwOpenSymbolicLinkObject");
    *LinkHandle = nullptr;
    sim::RequireIrqlAtMost(PASSIVE_LEVEL, "ZwOpenSymbolicLinkObject");
    NTSTATUS injected = sim::TakeInjectedFailure("ZwOpenSymbolicLinkObject");
    if (!NT_SUCCESS(injected)) {
        return injected;
    }
    if (ObjectAttributes == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    if (ObjectAttributes->RootDirectory != nullptr) {
        sim::NotImplemented("ZwOpenSymbolicLinkObject relative to a root directory");
    }
    // The object manager captures the name first: an odd length, or one past
    // the maximum, is malformed; without a root directory the name must be
    // absolute.
    PUNICODE_STRING name = ObjectAttributes->ObjectName;
    if (name != nullptr && ((name->Length & 1) != 0 || name->Length > name->MaximumLength)) {
        return STATUS_OBJECT_NAME_INVALID;
    }
    if (name == nullptr || name->Length == 0 || name->Buffer == nullptr || name->Buffer[0] != u'\\') {
        return STATUS_OBJECT_PATH_SYNTAX_BAD;
    }
    std::u16string path(name->Buffer, name->Length / sizeof(WCHAR));
    std::u16string target;
    NTSTATUS status = sim::ob::QuerySymbolicLink(path, &target);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    auto* handleObject = new OpenLink{path};
    status = sim::ob::CreateHandle(sim::CurrentProcess(), (ObjectAttributes->Attributes & OBJ_KERNEL_HANDLE) != 0,
                                   sim::ob::ObjectType::SymbolicLink, handleObject, DesiredAccess, &kLinkHandle, LinkHandle);
    if (!NT_SUCCESS(status)) {
        delete handleObject;
    }
    return status;
}

extern "C" NTSTATUS NTAPI ZwQuerySymbolicLinkObject(HANDLE LinkHandle, PUNICODE_STRING LinkTarget, PULONG ReturnedLength) {
    sim::Count("ZwQuerySymbolicLinkObject");
    sim::RequireIrqlAtMost(PASSIVE_LEVEL, "ZwQuerySymbolicLinkObject");
    NTSTATUS injected = sim::ob::TakeLinkQueryFault();
    if (!NT_SUCCESS(injected)) {
        return injected;
    }
    sim::ob::HandleEntry entry;
    NTSTATUS status = sim::ob::LookupHandle(sim::CurrentProcess(), LinkHandle, sim::ob::ObjectType::SymbolicLink, &entry);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    if ((entry.grantedAccess & SYMBOLIC_LINK_QUERY) == 0) {
        return STATUS_ACCESS_DENIED;
    }
    std::u16string target;
    status = sim::ob::QuerySymbolicLink(static_cast<OpenLink*>(entry.object)->path, &target);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    // Every link is stored with a terminating null, and the length reported
    // back counts it. The caller's buffer must hold the target and the null;
    // one that holds only the characters is too small too, and the string is
    // then left as it was.
    auto bytes = static_cast<ULONG>(target.size() * sizeof(WCHAR));
    const ULONG stored = bytes + sizeof(WCHAR);
    if (ReturnedLength != nullptr) {
        *ReturnedLength = stored;
    }
    if (LinkTarget->MaximumLength < stored) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    memcpy(LinkTarget->Buffer, target.data(), bytes);
    LinkTarget->Buffer[target.size()] = 0;
    LinkTarget->Length = static_cast<USHORT>(bytes);
    return STATUS_SUCCESS;
}
