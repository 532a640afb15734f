// The registry monitor's configuration-manager callback.
//
// Only the five reported classes go further than a switch on the class; each
// of those passes the gate first (a record, registry monitoring on, not the
// client, a watched process): a process that is not watched costs two short
// mutex acquisitions and nothing else. Only then is the key's name looked
// up, the change classified and reported, and the verdict applied.
#include "regmon/regmon.h"

#include "channel/send.h"
#include "driver/driver_data.h"
#include "driver/tags.h"

namespace {

// The full name of a key object, copied into a string of our own (tag
// TagRegistryPath), or null. Uses the newer routine pair where both exist, else
// the older routine, whose name belongs to the system and is not given back.
PCOUNTED_STRING RegMonpKeyObjectName(PVOID Object) {
    if (Object == nullptr) {
        return nullptr;
    }
    PCUNICODE_STRING name = nullptr;
    PCOUNTED_STRING copy = nullptr;
    auto getEx = reinterpret_cast<REG_MON_GET_KEY_OBJECT_ID_EX>(DriverData.GetKeyObjectIDEx);
    auto releaseEx = reinterpret_cast<REG_MON_RELEASE_KEY_OBJECT_ID_EX>(DriverData.ReleaseKeyObjectIDEx);
    auto get = reinterpret_cast<REG_MON_GET_KEY_OBJECT_ID>(DriverData.GetKeyObjectID);
    if (getEx != nullptr && releaseEx != nullptr) {
        NTSTATUS status = getEx(&DriverData.RegistryCookie, Object, nullptr, &name, 0);
        if (status == STATUS_SUCCESS && name != nullptr) {
            copy = StrDuplicate(name, TagRegistryPath);
            releaseEx(name);
        }
    } else if (get != nullptr) {
        NTSTATUS status = get(&DriverData.RegistryCookie, Object, nullptr, &name);
        if (status == STATUS_SUCCESS && name != nullptr) {
            copy = StrDuplicate(name, TagRegistryPath);
        }
    }
    return copy;
}

BOOLEAN RegMonpHasText(PCUNICODE_STRING Text) {
    return Text != nullptr && Text->Buffer != nullptr && Text->Length != 0;
}

// The path of a key being created: the root key's name, a backslash and the
// relative name. A name that is already absolute (it starts with a backslash)
// is the path by itself: joining it to the root key's name would report a key
// that does not exist ("\REGISTRY\\REGISTRY\...").
PCOUNTED_STRING RegMonpCreatePath(PREG_CREATE_KEY_INFORMATION Create) {
    PCUNICODE_STRING completeName = Create->CompleteName;
    const BOOLEAN absolute = RegMonpHasText(completeName) && completeName->Buffer[0] == VETRONA_WIDE('\\');
    PCOUNTED_STRING rootName = absolute ? nullptr : RegMonpKeyObjectName(Create->RootObject);
    if (!RegMonpHasText(completeName)) {
        return rootName;
    }
    if (rootName == nullptr) {
        return StrDuplicate(completeName, TagRegistryPath);
    }
    PCOUNTED_STRING joined = StrJoin(rootName, completeName, VETRONA_WIDE('\\'), TagString);
    if (joined == nullptr) {
        return rootName;  // the root key's name alone
    }
    StrFree(rootName, TagRegistryPath);
    PCOUNTED_STRING path = StrDuplicate(joined, TagRegistryPath);
    StrFree(joined, TagString);
    return path;
}

// Whether a value of this name exists on the key: a zero-length query answers
// STATUS_OBJECT_NAME_NOT_FOUND only for a value that is not there. The handle
// is a kernel handle: it never enters the caller's handle table, where the
// caller's other threads could close or replace it while we use it. The query
// and the close come back to RegMonCallback in this thread, for classes that
// are not reported.
LONG RegMonpClassifySetValue(PREG_SET_VALUE_KEY_INFORMATION SetValue) {
    if (SetValue->Object == nullptr || SetValue->ValueName == nullptr) {
        return RegOpValueModified;
    }
    HANDLE key = nullptr;
    NTSTATUS status = ObOpenObjectByPointer(SetValue->Object, OBJ_KERNEL_HANDLE, nullptr, 0, nullptr, KernelMode, &key);
    if (!NT_SUCCESS(status)) {
        return RegOpValueModified;
    }
    ULONG resultLength = 0;
    status = ZwQueryValueKey(key, SetValue->ValueName, KeyValueBasicInformation, nullptr, 0, &resultLength);
    (VOID) ZwClose(key);
    return status == STATUS_OBJECT_NAME_NOT_FOUND ? RegOpValueCreated : RegOpValueModified;
}

// The five classes that can be reported. Every other notification (reads,
// opens, closes, enumerations, and the set-value test's own query and close,
// which come back here) is told apart by its class alone, before the gate
// takes any lock: most registry traffic costs the callback a switch.
BOOLEAN RegMonpIsReportedClass(REG_NOTIFY_CLASS NotifyClass) {
    switch (NotifyClass) {
    case RegNtPreDeleteKey:
    case RegNtPreSetValueKey:
    case RegNtPreDeleteValueKey:
    case RegNtPreRenameKey:
    case RegNtPostCreateKeyEx:
        return TRUE;
    default:
        return FALSE;
    }
}

}  // namespace

VOID RegMonGetKeyInfo(REG_NOTIFY_CLASS NotifyClass, PVOID Argument2, RegEventInfo* Info) {
    RtlZeroMemory(Info, sizeof(*Info));
    Info->NotifyClass = NotifyClass;
    if (Argument2 == nullptr) {
        return;
    }
    switch (NotifyClass) {
    case RegNtPreDeleteKey:
        Info->DeleteKeyInfo = static_cast<PREG_DELETE_KEY_INFORMATION>(Argument2);
        Info->KeyPath = RegMonpKeyObjectName(Info->DeleteKeyInfo->Object);
        break;
    case RegNtPreSetValueKey:
        Info->SetValueInfo = static_cast<PREG_SET_VALUE_KEY_INFORMATION>(Argument2);
        Info->KeyPath = RegMonpKeyObjectName(Info->SetValueInfo->Object);
        break;
    case RegNtPreDeleteValueKey:
        Info->DeleteValueInfo = static_cast<PREG_DELETE_VALUE_KEY_INFORMATION>(Argument2);
        Info->KeyPath = RegMonpKeyObjectName(Info->DeleteValueInfo->Object);
        break;
    case RegNtPreRenameKey:
        Info->RenameInfo = static_cast<PREG_RENAME_KEY_INFORMATION>(Argument2);
        Info->KeyPath = RegMonpKeyObjectName(Info->RenameInfo->Object);
        break;
    case RegNtPostCreateKeyEx: {
        auto post = static_cast<PREG_POST_OPERATION_INFORMATION>(Argument2);
        Info->CreateInfo = static_cast<PREG_CREATE_KEY_INFORMATION>(post->PreInformation);
        if (Info->CreateInfo != nullptr) {
            Info->KeyPath = RegMonpCreatePath(Info->CreateInfo);
        }
        break;
    }
    default:
        break;
    }
    // An empty name counts as none.
    if (Info->KeyPath != nullptr && Info->KeyPath->Length == 0) {
        StrFree(Info->KeyPath, TagRegistryPath);
        Info->KeyPath = nullptr;
    }
}

LONG RegMonClassify(const RegEventInfo* Info) {
    if (Info == nullptr) {
        return RegOpNone;
    }
    if (Info->CreateInfo != nullptr) {
        if (Info->CreateInfo->Disposition != nullptr && *Info->CreateInfo->Disposition == REG_CREATED_NEW_KEY) {
            return RegOpKeyCreated;
        }
        return RegOpNone;
    }
    if (Info->RenameInfo != nullptr) {
        return RegOpKeyRenamed;
    }
    if (Info->DeleteKeyInfo != nullptr) {
        return RegOpKeyDeleted;
    }
    if (Info->SetValueInfo != nullptr) {
        return RegMonpClassifySetValue(Info->SetValueInfo);
    }
    if (Info->DeleteValueInfo != nullptr) {
        return RegOpValueDeleted;
    }
    return RegOpNone;
}

NTSTATUS NTAPI RegMonCallback(PVOID CallbackContext, PVOID Argument1, PVOID Argument2) {
    UNREFERENCED_PARAMETER(CallbackContext);
    const auto notifyClass = static_cast<REG_NOTIFY_CLASS>(static_cast<ULONG>(reinterpret_cast<ULONG_PTR>(Argument1)));
    if (Argument2 == nullptr || !RegMonpIsReportedClass(notifyClass)) {
        return STATUS_SUCCESS;
    }
    HANDLE processId = PsGetCurrentProcessId();
    if (!RegMonIsWanted(processId)) {
        return STATUS_SUCCESS;
    }
    if (!IdListHasPid(&DriverData.ProcessList, static_cast<ULONG>(reinterpret_cast<ULONG_PTR>(processId)))) {
        return STATUS_SUCCESS;
    }

    RegEventInfo info;
    RegMonGetKeyInfo(notifyClass, Argument2, &info);

    NTSTATUS result = STATUS_SUCCESS;
    const LONG operation = RegMonClassify(&info);
    if (operation != RegOpNone && RegMonSendEvent(processId, operation, &info) == VerdictDeny) {
        result = STATUS_ACCESS_DENIED;
    }
    if (info.KeyPath != nullptr) {
        StrFree(info.KeyPath, TagRegistryPath);
    }
    return result;
}
