// Configuration manager: the notification classes and the records a registry
// callback receives, with the x64 layouts of the driver kit.
#pragma once

#include "sim/public/ntdef.h"

typedef enum _REG_NOTIFY_CLASS {
    RegNtDeleteKey = 0,
    RegNtPreDeleteKey = RegNtDeleteKey,
    RegNtSetValueKey = 1,
    RegNtPreSetValueKey = RegNtSetValueKey,
    RegNtDeleteValueKey = 2,
    RegNtPreDeleteValueKey = RegNtDeleteValueKey,
    RegNtSetInformationKey = 3,
    RegNtPreSetInformationKey = RegNtSetInformationKey,
    RegNtRenameKey = 4,
    RegNtPreRenameKey = RegNtRenameKey,
    RegNtEnumerateKey = 5,
    RegNtPreEnumerateKey = RegNtEnumerateKey,
    RegNtEnumerateValueKey = 6,
    RegNtPreEnumerateValueKey = RegNtEnumerateValueKey,
    RegNtQueryKey = 7,
    RegNtPreQueryKey = RegNtQueryKey,
    RegNtQueryValueKey = 8,
    RegNtPreQueryValueKey = RegNtQueryValueKey,
    RegNtQueryMultipleValueKey = 9,
    RegNtPreQueryMultipleValueKey = RegNtQueryMultipleValueKey,
    RegNtPreCreateKey = 10,
    RegNtPostCreateKey = 11,
    RegNtPreOpenKey = 12,
    RegNtPostOpenKey = 13,
    RegNtKeyHandleClose = 14,
    RegNtPreKeyHandleClose = RegNtKeyHandleClose,
    RegNtPostDeleteKey = 15,
    RegNtPostSetValueKey = 16,
    RegNtPostDeleteValueKey = 17,
    RegNtPostSetInformationKey = 18,
    RegNtPostRenameKey = 19,
    RegNtPostEnumerateKey = 20,
    RegNtPostEnumerateValueKey = 21,
    RegNtPostQueryKey = 22,
    RegNtPostQueryValueKey = 23,
    RegNtPostQueryMultipleValueKey = 24,
    RegNtPostKeyHandleClose = 25,
    RegNtPreCreateKeyEx = 26,
    RegNtPostCreateKeyEx = 27,
    RegNtPreOpenKeyEx = 28,
    RegNtPostOpenKeyEx = 29,
    RegNtPreFlushKey = 30,
    RegNtPostFlushKey = 31,
    RegNtPreLoadKey = 32,
    RegNtPostLoadKey = 33,
    RegNtPreUnLoadKey = 34,
    RegNtPostUnLoadKey = 35,
    RegNtPreQueryKeySecurity = 36,
    RegNtPostQueryKeySecurity = 37,
    RegNtPreSetKeySecurity = 38,
    RegNtPostSetKeySecurity = 39,
    RegNtCallbackObjectContextCleanup = 40,
    RegNtPreRestoreKey = 41,
    RegNtPostRestoreKey = 42,
    RegNtPreSaveKey = 43,
    RegNtPostSaveKey = 44,
    RegNtPreReplaceKey = 45,
    RegNtPostReplaceKey = 46,
    RegNtPreQueryKeyName = 47,
    RegNtPostQueryKeyName = 48,
    MaxRegNtNotifyClass = 49,
} REG_NOTIFY_CLASS;

#define REG_CREATED_NEW_KEY 0x00000001L
#define REG_OPENED_EXISTING_KEY 0x00000002L

#define REG_NONE 0
#define REG_SZ 1
#define REG_EXPAND_SZ 2
#define REG_BINARY 3
#define REG_DWORD 4
#define REG_MULTI_SZ 7
#define REG_QWORD 11

typedef struct _REG_DELETE_KEY_INFORMATION {
    PVOID Object;
    PVOID CallContext;
    PVOID ObjectContext;
    PVOID Reserved;
} REG_DELETE_KEY_INFORMATION, *PREG_DELETE_KEY_INFORMATION;

typedef struct _REG_SET_VALUE_KEY_INFORMATION {
    PVOID Object;
    PUNICODE_STRING ValueName;
    ULONG TitleIndex;
    ULONG Type;
    PVOID Data;
    ULONG DataSize;
    PVOID CallContext;
    PVOID ObjectContext;
    PVOID Reserved;
} REG_SET_VALUE_KEY_INFORMATION, *PREG_SET_VALUE_KEY_INFORMATION;

typedef struct _REG_DELETE_VALUE_KEY_INFORMATION {
    PVOID Object;
    PUNICODE_STRING ValueName;
    PVOID CallContext;
    PVOID ObjectContext;
    PVOID Reserved;
} REG_DELETE_VALUE_KEY_INFORMATION, *PREG_DELETE_VALUE_KEY_INFORMATION;

typedef struct _REG_RENAME_KEY_INFORMATION {
    PVOID Object;
    PUNICODE_STRING NewName;
    PVOID CallContext;
    PVOID ObjectContext;
    PVOID Reserved;
} REG_RENAME_KEY_INFORMATION, *PREG_RENAME_KEY_INFORMATION;

typedef struct _REG_POST_OPERATION_INFORMATION {
    PVOID Object;
    NTSTATUS Status;
    PVOID PreInformation;
    NTSTATUS ReturnStatus;
    PVOID CallContext;
    PVOID ObjectContext;
    PVOID Reserved;
} REG_POST_OPERATION_INFORMATION, *PREG_POST_OPERATION_INFORMATION;

typedef struct _REG_CREATE_KEY_INFORMATION {
    PUNICODE_STRING CompleteName;
    PVOID RootObject;
    PVOID ObjectType;
    ULONG CreateOptions;
    PUNICODE_STRING Class;
    PVOID SecurityDescriptor;
    PVOID SecurityQualityOfService;
    ACCESS_MASK DesiredAccess;
    ACCESS_MASK GrantedAccess;
    PULONG Disposition;
    PVOID* ResultObject;
    PVOID CallContext;
    PVOID RootObjectContext;
    PVOID Transaction;
    PVOID Reserved;
} REG_CREATE_KEY_INFORMATION, REG_OPEN_KEY_INFORMATION, *PREG_CREATE_KEY_INFORMATION, *PREG_OPEN_KEY_INFORMATION;

typedef struct _REG_CREATE_KEY_INFORMATION_V1 {
    PUNICODE_STRING CompleteName;
    PVOID RootObject;
    PVOID ObjectType;
    ULONG Options;
    PUNICODE_STRING Class;
    PVOID SecurityDescriptor;
    PVOID SecurityQualityOfService;
    ACCESS_MASK DesiredAccess;
    ACCESS_MASK GrantedAccess;
    PULONG Disposition;
    PVOID* ResultObject;
    PVOID CallContext;
    PVOID RootObjectContext;
    PVOID Transaction;
    ULONG_PTR Version;
    PUNICODE_STRING RemainingName;
    ULONG Wow64Flags;
    ULONG Attributes;
    KPROCESSOR_MODE CheckAccessMode;
} REG_CREATE_KEY_INFORMATION_V1, REG_OPEN_KEY_INFORMATION_V1, *PREG_CREATE_KEY_INFORMATION_V1,
    *PREG_OPEN_KEY_INFORMATION_V1;

// Key access rights.
#define KEY_QUERY_VALUE 0x0001
#define KEY_SET_VALUE 0x0002
#define KEY_CREATE_SUB_KEY 0x0004
#define KEY_ENUMERATE_SUB_KEYS 0x0008
#define KEY_NOTIFY 0x0010
#define KEY_CREATE_LINK 0x0020
#define KEY_READ 0x00020019L
#define KEY_WRITE 0x00020006L
#define KEY_ALL_ACCESS 0x000F003FL

typedef enum _KEY_VALUE_INFORMATION_CLASS {
    KeyValueBasicInformation = 0,
    KeyValueFullInformation = 1,
    KeyValuePartialInformation = 2,
} KEY_VALUE_INFORMATION_CLASS;

typedef struct _KEY_VALUE_BASIC_INFORMATION {
    ULONG TitleIndex;
    ULONG Type;
    ULONG NameLength;
    WCHAR Name[1];
} KEY_VALUE_BASIC_INFORMATION, *PKEY_VALUE_BASIC_INFORMATION;

typedef struct _KEY_VALUE_PARTIAL_INFORMATION {
    ULONG TitleIndex;
    ULONG Type;
    ULONG DataLength;
    UCHAR Data[1];
} KEY_VALUE_PARTIAL_INFORMATION, *PKEY_VALUE_PARTIAL_INFORMATION;

typedef struct _REG_QUERY_VALUE_KEY_INFORMATION {
    PVOID Object;
    PUNICODE_STRING ValueName;
    KEY_VALUE_INFORMATION_CLASS KeyValueInformationClass;
    PVOID KeyValueInformation;
    ULONG Length;
    PULONG ResultLength;
    PVOID CallContext;
    PVOID ObjectContext;
    PVOID Reserved;
} REG_QUERY_VALUE_KEY_INFORMATION, *PREG_QUERY_VALUE_KEY_INFORMATION;

typedef struct _REG_KEY_HANDLE_CLOSE_INFORMATION {
    PVOID Object;
    PVOID CallContext;
    PVOID ObjectContext;
    PVOID Reserved;
} REG_KEY_HANDLE_CLOSE_INFORMATION, *PREG_KEY_HANDLE_CLOSE_INFORMATION;

extern "C" {
NTSYSAPI NTSTATUS NTAPI ZwQueryValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName,
                                        KEY_VALUE_INFORMATION_CLASS KeyValueInformationClass, PVOID KeyValueInformation,
                                        ULONG Length, PULONG ResultLength);
}  // extern "C"

static_assert(sizeof(KEY_VALUE_BASIC_INFORMATION) == 16, "KEY_VALUE_BASIC_INFORMATION");
static_assert(offsetof(KEY_VALUE_BASIC_INFORMATION, Name) == 12, "KeyValueBasic.Name");
static_assert(sizeof(KEY_VALUE_PARTIAL_INFORMATION) == 16, "KEY_VALUE_PARTIAL_INFORMATION");
static_assert(offsetof(KEY_VALUE_PARTIAL_INFORMATION, Data) == 12, "KeyValuePartial.Data");
static_assert(sizeof(REG_QUERY_VALUE_KEY_INFORMATION) == 72, "REG_QUERY_VALUE_KEY_INFORMATION");
static_assert(offsetof(REG_QUERY_VALUE_KEY_INFORMATION, KeyValueInformation) == 24, "QueryValue.KeyValueInformation");
static_assert(offsetof(REG_QUERY_VALUE_KEY_INFORMATION, ResultLength) == 40, "QueryValue.ResultLength");
static_assert(sizeof(REG_KEY_HANDLE_CLOSE_INFORMATION) == 32, "REG_KEY_HANDLE_CLOSE_INFORMATION");

static_assert(sizeof(REG_DELETE_KEY_INFORMATION) == 32, "REG_DELETE_KEY_INFORMATION");
static_assert(offsetof(REG_DELETE_KEY_INFORMATION, CallContext) == 8, "DeleteKey.CallContext");
static_assert(offsetof(REG_DELETE_KEY_INFORMATION, Reserved) == 24, "DeleteKey.Reserved");

static_assert(sizeof(REG_SET_VALUE_KEY_INFORMATION) == 64, "REG_SET_VALUE_KEY_INFORMATION");
static_assert(offsetof(REG_SET_VALUE_KEY_INFORMATION, ValueName) == 8, "SetValue.ValueName");
static_assert(offsetof(REG_SET_VALUE_KEY_INFORMATION, TitleIndex) == 16, "SetValue.TitleIndex");
static_assert(offsetof(REG_SET_VALUE_KEY_INFORMATION, Type) == 20, "SetValue.Type");
static_assert(offsetof(REG_SET_VALUE_KEY_INFORMATION, Data) == 24, "SetValue.Data");
static_assert(offsetof(REG_SET_VALUE_KEY_INFORMATION, DataSize) == 32, "SetValue.DataSize");
static_assert(offsetof(REG_SET_VALUE_KEY_INFORMATION, CallContext) == 40, "SetValue.CallContext");
static_assert(offsetof(REG_SET_VALUE_KEY_INFORMATION, Reserved) == 56, "SetValue.Reserved");

static_assert(sizeof(REG_DELETE_VALUE_KEY_INFORMATION) == 40, "REG_DELETE_VALUE_KEY_INFORMATION");
static_assert(offsetof(REG_DELETE_VALUE_KEY_INFORMATION, ValueName) == 8, "DeleteValue.ValueName");
static_assert(offsetof(REG_DELETE_VALUE_KEY_INFORMATION, Reserved) == 32, "DeleteValue.Reserved");

static_assert(sizeof(REG_RENAME_KEY_INFORMATION) == 40, "REG_RENAME_KEY_INFORMATION");
static_assert(offsetof(REG_RENAME_KEY_INFORMATION, NewName) == 8, "RenameKey.NewName");
static_assert(offsetof(REG_RENAME_KEY_INFORMATION, Reserved) == 32, "RenameKey.Reserved");

static_assert(sizeof(REG_POST_OPERATION_INFORMATION) == 56, "REG_POST_OPERATION_INFORMATION");
static_assert(offsetof(REG_POST_OPERATION_INFORMATION, Status) == 8, "Post.Status");
static_assert(offsetof(REG_POST_OPERATION_INFORMATION, PreInformation) == 16, "Post.PreInformation");
static_assert(offsetof(REG_POST_OPERATION_INFORMATION, ReturnStatus) == 24, "Post.ReturnStatus");
static_assert(offsetof(REG_POST_OPERATION_INFORMATION, CallContext) == 32, "Post.CallContext");
static_assert(offsetof(REG_POST_OPERATION_INFORMATION, Reserved) == 48, "Post.Reserved");

static_assert(sizeof(REG_CREATE_KEY_INFORMATION) == 112, "REG_CREATE_KEY_INFORMATION");
static_assert(offsetof(REG_CREATE_KEY_INFORMATION, RootObject) == 8, "CreateKey.RootObject");
static_assert(offsetof(REG_CREATE_KEY_INFORMATION, CreateOptions) == 24, "CreateKey.CreateOptions");
static_assert(offsetof(REG_CREATE_KEY_INFORMATION, Class) == 32, "CreateKey.Class");
static_assert(offsetof(REG_CREATE_KEY_INFORMATION, DesiredAccess) == 56, "CreateKey.DesiredAccess");
static_assert(offsetof(REG_CREATE_KEY_INFORMATION, GrantedAccess) == 60, "CreateKey.GrantedAccess");
static_assert(offsetof(REG_CREATE_KEY_INFORMATION, Disposition) == 64, "CreateKey.Disposition");
static_assert(offsetof(REG_CREATE_KEY_INFORMATION, ResultObject) == 72, "CreateKey.ResultObject");
static_assert(offsetof(REG_CREATE_KEY_INFORMATION, Transaction) == 96, "CreateKey.Transaction");
static_assert(offsetof(REG_CREATE_KEY_INFORMATION, Reserved) == 104, "CreateKey.Reserved");

static_assert(sizeof(REG_CREATE_KEY_INFORMATION_V1) == 136, "REG_CREATE_KEY_INFORMATION_V1");
static_assert(offsetof(REG_CREATE_KEY_INFORMATION_V1, Version) == 104, "CreateKeyV1.Version");
static_assert(offsetof(REG_CREATE_KEY_INFORMATION_V1, RemainingName) == 112, "CreateKeyV1.RemainingName");
static_assert(offsetof(REG_CREATE_KEY_INFORMATION_V1, Wow64Flags) == 120, "CreateKeyV1.Wow64Flags");
static_assert(offsetof(REG_CREATE_KEY_INFORMATION_V1, Attributes) == 124, "CreateKeyV1.Attributes");
static_assert(offsetof(REG_CREATE_KEY_INFORMATION_V1, CheckAccessMode) == 128, "CreateKeyV1.CheckAccessMode");
