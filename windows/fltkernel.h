// Filter Manager declarations, written from the documented x64 layouts. The
// cross toolchain ships none of them, and the simulated kernel uses this same
// file, so the model's structures are the real ones. Every structure the driver
// or the Filter Manager reads has its size and offsets asserted.
//
// Needs the base kernel types (UNICODE_STRING, IO_STATUS_BLOCK, FILE_OBJECT,
// OBJECT_ATTRIBUTES, POOL_TYPE, FILE_INFORMATION_CLASS, IO_SECURITY_CONTEXT...)
// to be declared before it is included.
#pragma once

typedef struct _FLT_FILTER* PFLT_FILTER;
typedef struct _FLT_VOLUME* PFLT_VOLUME;
typedef struct _FLT_INSTANCE* PFLT_INSTANCE;
typedef struct _FLT_PORT* PFLT_PORT;
typedef struct _KTRANSACTION* PKTRANSACTION;
typedef PVOID PFLT_CONTEXT;
typedef struct _FLT_TAG_DATA_BUFFER* PFLT_TAG_DATA_BUFFER;

typedef USHORT FLT_CONTEXT_TYPE;
typedef ULONG FLT_FILTER_UNLOAD_FLAGS;
typedef ULONG FLT_POST_OPERATION_FLAGS;
typedef ULONG FLT_FILE_NAME_OPTIONS;
typedef ULONG FLT_OPERATION_REGISTRATION_FLAGS;
typedef USHORT FLT_FILE_NAME_PARSED_FLAGS;
typedef ULONG FLT_REGISTRATION_FLAGS;

#define FLT_VOLUME_CONTEXT 0x0001
#define FLT_INSTANCE_CONTEXT 0x0002
#define FLT_FILE_CONTEXT 0x0004
#define FLT_STREAM_CONTEXT 0x0008
#define FLT_STREAMHANDLE_CONTEXT 0x0010
#define FLT_TRANSACTION_CONTEXT 0x0020
#define FLT_CONTEXT_END 0xffff

#define IRP_MJ_ACQUIRE_FOR_SECTION_SYNCHRONIZATION ((UCHAR)-1)
#define IRP_MJ_OPERATION_END ((UCHAR)0x80)

#define FLTFL_CALLBACK_DATA_IRP_OPERATION 0x00000001
#define FLTFL_CALLBACK_DATA_FAST_IO_OPERATION 0x00000002
#define FLTFL_CALLBACK_DATA_FS_FILTER_OPERATION 0x00000004
#define FLTFL_CALLBACK_DATA_SYSTEM_BUFFER 0x00000008
#define FLTFL_CALLBACK_DATA_GENERATED_IO 0x00010000
#define FLTFL_CALLBACK_DATA_REISSUED_IO 0x00020000
#define FLTFL_CALLBACK_DATA_DRAINING_IO 0x00040000
#define FLTFL_CALLBACK_DATA_POST_OPERATION 0x00080000
#define FLTFL_CALLBACK_DATA_NEW_SYSTEM_BUFFER 0x00100000
#define FLTFL_CALLBACK_DATA_DIRTY 0x80000000
#define FLT_IS_IRP_OPERATION(Data) (((Data)->Flags & FLTFL_CALLBACK_DATA_IRP_OPERATION) != 0)
#define FLT_IS_FASTIO_OPERATION(Data) (((Data)->Flags & FLTFL_CALLBACK_DATA_FAST_IO_OPERATION) != 0)
#define FLT_IS_FS_FILTER_OPERATION(Data) (((Data)->Flags & FLTFL_CALLBACK_DATA_FS_FILTER_OPERATION) != 0)

#define FLTFL_POST_OPERATION_DRAINING 0x00000001
#define FLTFL_FILTER_UNLOAD_MANDATORY 0x00000001

#define FLT_REGISTRATION_VERSION_0200 0x0200
#define FLT_REGISTRATION_VERSION_0201 0x0201
#define FLT_REGISTRATION_VERSION_0202 0x0202
#define FLT_REGISTRATION_VERSION_0203 0x0203

#define FLT_FILE_NAME_NORMALIZED 0x01
#define FLT_FILE_NAME_OPENED 0x02
#define FLT_FILE_NAME_SHORT 0x03
#define FLT_FILE_NAME_QUERY_DEFAULT 0x0100
#define FLT_FILE_NAME_QUERY_CACHE_ONLY 0x0200
#define FLT_FILE_NAME_QUERY_FILESYSTEM_ONLY 0x0300
#define FLT_FILE_NAME_QUERY_ALWAYS_ALLOW_CACHE_LOOKUP 0x0400
#define FLT_FILE_NAME_REQUEST_FROM_CURRENT_PROVIDER 0x01000000
#define FLT_FILE_NAME_DO_NOT_CACHE 0x02000000
#define FLT_FILE_NAME_ALLOW_QUERY_ON_REPARSE 0x04000000

#define FLTFL_FILE_NAME_PARSED_FINAL_COMPONENT 0x0001
#define FLTFL_FILE_NAME_PARSED_EXTENSION 0x0002
#define FLTFL_FILE_NAME_PARSED_STREAM 0x0004
#define FLTFL_FILE_NAME_PARSED_PARENT_DIR 0x0008

#define FLTFL_IO_OPERATION_NON_CACHED 0x00000001
#define FLTFL_IO_OPERATION_PAGING 0x00000002
#define FLTFL_IO_OPERATION_DO_NOT_UPDATE_BYTE_OFFSET 0x00000004
#define FLTFL_IO_OPERATION_SYNCHRONOUS_PAGING 0x00000008

#define FLT_PORT_CONNECT 0x0001
#define FLT_PORT_ALL_ACCESS (FLT_PORT_CONNECT | STANDARD_RIGHTS_ALL)

typedef enum _FLT_PREOP_CALLBACK_STATUS {
    FLT_PREOP_SUCCESS_WITH_CALLBACK = 0,
    FLT_PREOP_SUCCESS_NO_CALLBACK = 1,
    FLT_PREOP_PENDING = 2,
    FLT_PREOP_DISALLOW_FASTIO = 3,
    FLT_PREOP_COMPLETE = 4,
    FLT_PREOP_SYNCHRONIZE = 5,
    FLT_PREOP_DISALLOW_FSFILTER_IO = 6,
} FLT_PREOP_CALLBACK_STATUS,
    *PFLT_PREOP_CALLBACK_STATUS;

typedef enum _FLT_POSTOP_CALLBACK_STATUS {
    FLT_POSTOP_FINISHED_PROCESSING = 0,
    FLT_POSTOP_MORE_PROCESSING_REQUIRED = 1,
} FLT_POSTOP_CALLBACK_STATUS,
    *PFLT_POSTOP_CALLBACK_STATUS;

typedef enum _FLT_SET_CONTEXT_OPERATION {
    FLT_SET_CONTEXT_REPLACE_IF_EXISTS = 0,
    FLT_SET_CONTEXT_KEEP_IF_EXISTS = 1,
} FLT_SET_CONTEXT_OPERATION,
    *PFLT_SET_CONTEXT_OPERATION;

// The parameter union of FLT_IO_PARAMETER_BLOCK; only the members the driver and
// the Filter Manager model use are spelled out, each at its real offset.
typedef union _FLT_PARAMETERS {
    struct {
        PIO_SECURITY_CONTEXT SecurityContext;
        ULONG Options;
        USHORT __attribute__((aligned(8))) FileAttributes;
        USHORT ShareAccess;
        ULONG __attribute__((aligned(8))) EaLength;
        PVOID EaBuffer;
        LARGE_INTEGER AllocationSize;
    } Create;
    struct {
        ULONG Length;
        ULONG __attribute__((aligned(8))) Key;
        LARGE_INTEGER ByteOffset;
        PVOID ReadBuffer;
        PMDL MdlAddress;
    } Read;
    struct {
        ULONG Length;
        ULONG __attribute__((aligned(8))) Key;
        LARGE_INTEGER ByteOffset;
        PVOID WriteBuffer;
        PMDL MdlAddress;
    } Write;
    struct {
        ULONG Length;
        FILE_INFORMATION_CLASS __attribute__((aligned(8))) FileInformationClass;
        PVOID InfoBuffer;
    } QueryFileInformation;
    struct {
        ULONG Length;
        FILE_INFORMATION_CLASS __attribute__((aligned(8))) FileInformationClass;
        PFILE_OBJECT ParentOfTarget;
        union {
            struct {
                BOOLEAN ReplaceIfExists;
                BOOLEAN AdvanceOnly;
            };
            ULONG ClusterCount;
            HANDLE DeleteHandle;
        };
        PVOID InfoBuffer;
    } SetFileInformation;
    union {
        struct {
            ULONG OutputBufferLength;
            ULONG __attribute__((aligned(8))) InputBufferLength;
            ULONG __attribute__((aligned(8))) IoControlCode;
        } Common;
        struct {
            ULONG OutputBufferLength;
            ULONG __attribute__((aligned(8))) InputBufferLength;
            ULONG __attribute__((aligned(8))) IoControlCode;
            PVOID InputBuffer;
            PVOID OutputBuffer;
            PMDL OutputMdlAddress;
        } Neither;
        struct {
            ULONG OutputBufferLength;
            ULONG __attribute__((aligned(8))) InputBufferLength;
            ULONG __attribute__((aligned(8))) IoControlCode;
            PVOID SystemBuffer;
        } Buffered;
        struct {
            ULONG OutputBufferLength;
            ULONG __attribute__((aligned(8))) InputBufferLength;
            ULONG __attribute__((aligned(8))) IoControlCode;
            PVOID InputSystemBuffer;
            PVOID OutputBuffer;
            PMDL OutputMdlAddress;
        } Direct;
    } DeviceIoControl;
    struct {
        PVOID Argument1;
        PVOID Argument2;
        PVOID Argument3;
        PVOID Argument4;
        PVOID Argument5;
        LARGE_INTEGER Argument6;
    } Others;
} FLT_PARAMETERS, *PFLT_PARAMETERS;

typedef struct _FLT_IO_PARAMETER_BLOCK {
    ULONG IrpFlags;
    UCHAR MajorFunction;
    UCHAR MinorFunction;
    UCHAR OperationFlags;
    UCHAR Reserved;
    PFILE_OBJECT TargetFileObject;
    PFLT_INSTANCE TargetInstance;
    FLT_PARAMETERS Parameters;
} FLT_IO_PARAMETER_BLOCK, *PFLT_IO_PARAMETER_BLOCK;

typedef struct _FLT_CALLBACK_DATA {
    ULONG Flags;
    PETHREAD Thread;
    PFLT_IO_PARAMETER_BLOCK Iopb;
    IO_STATUS_BLOCK IoStatus;
    PFLT_TAG_DATA_BUFFER TagData;
    union {
        struct {
            LIST_ENTRY QueueLinks;
            PVOID QueueContext[2];
        };
        PVOID FilterContext[4];
    };
    KPROCESSOR_MODE RequestorMode;
} FLT_CALLBACK_DATA, *PFLT_CALLBACK_DATA;

typedef struct _FLT_RELATED_OBJECTS {
    USHORT Size;
    USHORT TransactionContext;
    PFLT_FILTER Filter;
    PFLT_VOLUME Volume;
    PFLT_INSTANCE Instance;
    PFILE_OBJECT FileObject;
    PKTRANSACTION Transaction;
} FLT_RELATED_OBJECTS, *PFLT_RELATED_OBJECTS;
typedef const FLT_RELATED_OBJECTS* PCFLT_RELATED_OBJECTS;

typedef struct _FLT_FILE_NAME_INFORMATION {
    USHORT Size;
    FLT_FILE_NAME_PARSED_FLAGS NamesParsed;
    FLT_FILE_NAME_OPTIONS Format;
    UNICODE_STRING Name;
    UNICODE_STRING Volume;
    UNICODE_STRING Share;
    UNICODE_STRING Extension;
    UNICODE_STRING Stream;
    UNICODE_STRING FinalComponent;
    UNICODE_STRING ParentDir;
} FLT_FILE_NAME_INFORMATION, *PFLT_FILE_NAME_INFORMATION;

typedef FLT_PREOP_CALLBACK_STATUS FLTAPI FLT_PRE_OPERATION_CALLBACK(PFLT_CALLBACK_DATA Data, PCFLT_RELATED_OBJECTS FltObjects,
                                                                     PVOID* CompletionContext);
typedef FLT_PRE_OPERATION_CALLBACK* PFLT_PRE_OPERATION_CALLBACK;
typedef FLT_POSTOP_CALLBACK_STATUS FLTAPI FLT_POST_OPERATION_CALLBACK(PFLT_CALLBACK_DATA Data, PCFLT_RELATED_OBJECTS FltObjects,
                                                                       PVOID CompletionContext, FLT_POST_OPERATION_FLAGS Flags);
typedef FLT_POST_OPERATION_CALLBACK* PFLT_POST_OPERATION_CALLBACK;
typedef NTSTATUS FLTAPI FLT_FILTER_UNLOAD_CALLBACK(FLT_FILTER_UNLOAD_FLAGS Flags);
typedef FLT_FILTER_UNLOAD_CALLBACK* PFLT_FILTER_UNLOAD_CALLBACK;
typedef VOID FLTAPI FLT_CONTEXT_CLEANUP_CALLBACK(PFLT_CONTEXT Context, FLT_CONTEXT_TYPE ContextType);
typedef FLT_CONTEXT_CLEANUP_CALLBACK* PFLT_CONTEXT_CLEANUP_CALLBACK;
typedef PVOID PFLT_CONTEXT_ALLOCATE_CALLBACK;
typedef PVOID PFLT_CONTEXT_FREE_CALLBACK;
typedef PVOID PFLT_INSTANCE_SETUP_CALLBACK;
typedef PVOID PFLT_INSTANCE_QUERY_TEARDOWN_CALLBACK;
typedef PVOID PFLT_INSTANCE_TEARDOWN_CALLBACK;
typedef PVOID PFLT_GENERATE_FILE_NAME;
typedef PVOID PFLT_NORMALIZE_NAME_COMPONENT;
typedef PVOID PFLT_NORMALIZE_CONTEXT_CLEANUP;

typedef struct _FLT_OPERATION_REGISTRATION {
    UCHAR MajorFunction;
    FLT_OPERATION_REGISTRATION_FLAGS Flags;
    PFLT_PRE_OPERATION_CALLBACK PreOperation;
    PFLT_POST_OPERATION_CALLBACK PostOperation;
    PVOID Reserved1;
} FLT_OPERATION_REGISTRATION, *PFLT_OPERATION_REGISTRATION;

typedef struct _FLT_CONTEXT_REGISTRATION {
    FLT_CONTEXT_TYPE ContextType;
    USHORT Flags;
    PFLT_CONTEXT_CLEANUP_CALLBACK ContextCleanupCallback;
    SIZE_T Size;
    ULONG PoolTag;
    PFLT_CONTEXT_ALLOCATE_CALLBACK ContextAllocateCallback;
    PFLT_CONTEXT_FREE_CALLBACK ContextFreeCallback;
    PVOID Reserved1;
} FLT_CONTEXT_REGISTRATION, *PFLT_CONTEXT_REGISTRATION;

// The version-0x0200 registration record: 88 bytes.
typedef struct _FLT_REGISTRATION {
    USHORT Size;
    USHORT Version;
    FLT_REGISTRATION_FLAGS Flags;
    const FLT_CONTEXT_REGISTRATION* ContextRegistration;
    const FLT_OPERATION_REGISTRATION* OperationRegistration;
    PFLT_FILTER_UNLOAD_CALLBACK FilterUnloadCallback;
    PFLT_INSTANCE_SETUP_CALLBACK InstanceSetupCallback;
    PFLT_INSTANCE_QUERY_TEARDOWN_CALLBACK InstanceQueryTeardownCallback;
    PFLT_INSTANCE_TEARDOWN_CALLBACK InstanceTeardownStartCallback;
    PFLT_INSTANCE_TEARDOWN_CALLBACK InstanceTeardownCompleteCallback;
    PFLT_GENERATE_FILE_NAME GenerateFileNameCallback;
    PFLT_NORMALIZE_NAME_COMPONENT NormalizeNameComponentCallback;
    PFLT_NORMALIZE_CONTEXT_CLEANUP NormalizeContextCleanupCallback;
} FLT_REGISTRATION, *PFLT_REGISTRATION;

typedef NTSTATUS FLTAPI FLT_CONNECT_NOTIFY(PFLT_PORT ClientPort, PVOID ServerPortCookie, PVOID ConnectionContext,
                                           ULONG SizeOfContext, PVOID* ConnectionPortCookie);
typedef FLT_CONNECT_NOTIFY* PFLT_CONNECT_NOTIFY;
typedef VOID FLTAPI FLT_DISCONNECT_NOTIFY(PVOID ConnectionCookie);
typedef FLT_DISCONNECT_NOTIFY* PFLT_DISCONNECT_NOTIFY;
typedef NTSTATUS FLTAPI FLT_MESSAGE_NOTIFY(PVOID PortCookie, PVOID InputBuffer, ULONG InputBufferLength, PVOID OutputBuffer,
                                           ULONG OutputBufferLength, PULONG ReturnOutputBufferLength);
typedef FLT_MESSAGE_NOTIFY* PFLT_MESSAGE_NOTIFY;

// Layouts, x64.
static_assert(sizeof(FLT_PARAMETERS) == 0x30, "FLT_PARAMETERS");
static_assert(offsetof(FLT_PARAMETERS, Create.Options) == 0x08, "Create.Options");
static_assert(offsetof(FLT_PARAMETERS, Create.FileAttributes) == 0x10, "Create.FileAttributes");
static_assert(offsetof(FLT_PARAMETERS, Create.ShareAccess) == 0x12, "Create.ShareAccess");
static_assert(offsetof(FLT_PARAMETERS, Create.EaLength) == 0x18, "Create.EaLength");
static_assert(offsetof(FLT_PARAMETERS, Create.EaBuffer) == 0x20, "Create.EaBuffer");
static_assert(offsetof(FLT_PARAMETERS, Create.AllocationSize) == 0x28, "Create.AllocationSize");
static_assert(offsetof(FLT_PARAMETERS, Write.Key) == 0x08, "Write.Key");
static_assert(offsetof(FLT_PARAMETERS, Write.ByteOffset) == 0x10, "Write.ByteOffset");
static_assert(offsetof(FLT_PARAMETERS, Write.WriteBuffer) == 0x18, "Write.WriteBuffer");
static_assert(offsetof(FLT_PARAMETERS, Write.MdlAddress) == 0x20, "Write.MdlAddress");
static_assert(offsetof(FLT_PARAMETERS, SetFileInformation.FileInformationClass) == 0x08, "SetFileInformation.Class");
static_assert(offsetof(FLT_PARAMETERS, SetFileInformation.ParentOfTarget) == 0x10, "SetFileInformation.ParentOfTarget");
static_assert(offsetof(FLT_PARAMETERS, SetFileInformation.ReplaceIfExists) == 0x18, "SetFileInformation.ReplaceIfExists");
static_assert(offsetof(FLT_PARAMETERS, SetFileInformation.InfoBuffer) == 0x20, "SetFileInformation.InfoBuffer");
static_assert(offsetof(FLT_PARAMETERS, DeviceIoControl.Buffered.InputBufferLength) == 0x08, "Buffered.InputBufferLength");
static_assert(offsetof(FLT_PARAMETERS, DeviceIoControl.Buffered.IoControlCode) == 0x10, "Buffered.IoControlCode");
static_assert(offsetof(FLT_PARAMETERS, DeviceIoControl.Buffered.SystemBuffer) == 0x18, "Buffered.SystemBuffer");
static_assert(offsetof(FLT_PARAMETERS, DeviceIoControl.Neither.OutputMdlAddress) == 0x28, "Neither.OutputMdlAddress");

static_assert(sizeof(FLT_IO_PARAMETER_BLOCK) == 0x48, "FLT_IO_PARAMETER_BLOCK");
static_assert(offsetof(FLT_IO_PARAMETER_BLOCK, MajorFunction) == 0x04, "Iopb.MajorFunction");
static_assert(offsetof(FLT_IO_PARAMETER_BLOCK, OperationFlags) == 0x06, "Iopb.OperationFlags");
static_assert(offsetof(FLT_IO_PARAMETER_BLOCK, TargetFileObject) == 0x08, "Iopb.TargetFileObject");
static_assert(offsetof(FLT_IO_PARAMETER_BLOCK, TargetInstance) == 0x10, "Iopb.TargetInstance");
static_assert(offsetof(FLT_IO_PARAMETER_BLOCK, Parameters) == 0x18, "Iopb.Parameters");

static_assert(sizeof(FLT_CALLBACK_DATA) == 0x58, "FLT_CALLBACK_DATA");
static_assert(offsetof(FLT_CALLBACK_DATA, Thread) == 0x08, "Data.Thread");
static_assert(offsetof(FLT_CALLBACK_DATA, Iopb) == 0x10, "Data.Iopb");
static_assert(offsetof(FLT_CALLBACK_DATA, IoStatus) == 0x18, "Data.IoStatus");
static_assert(offsetof(FLT_CALLBACK_DATA, TagData) == 0x28, "Data.TagData");
static_assert(offsetof(FLT_CALLBACK_DATA, FilterContext) == 0x30, "Data.FilterContext");
static_assert(offsetof(FLT_CALLBACK_DATA, RequestorMode) == 0x50, "Data.RequestorMode");

static_assert(sizeof(FLT_RELATED_OBJECTS) == 0x30, "FLT_RELATED_OBJECTS");
static_assert(offsetof(FLT_RELATED_OBJECTS, Filter) == 0x08, "Related.Filter");
static_assert(offsetof(FLT_RELATED_OBJECTS, Volume) == 0x10, "Related.Volume");
static_assert(offsetof(FLT_RELATED_OBJECTS, Instance) == 0x18, "Related.Instance");
static_assert(offsetof(FLT_RELATED_OBJECTS, FileObject) == 0x20, "Related.FileObject");
static_assert(offsetof(FLT_RELATED_OBJECTS, Transaction) == 0x28, "Related.Transaction");

static_assert(sizeof(FLT_FILE_NAME_INFORMATION) == 0x78, "FLT_FILE_NAME_INFORMATION");
static_assert(offsetof(FLT_FILE_NAME_INFORMATION, Name) == 0x08, "NameInfo.Name");
static_assert(offsetof(FLT_FILE_NAME_INFORMATION, Volume) == 0x18, "NameInfo.Volume");
static_assert(offsetof(FLT_FILE_NAME_INFORMATION, Share) == 0x28, "NameInfo.Share");
static_assert(offsetof(FLT_FILE_NAME_INFORMATION, Extension) == 0x38, "NameInfo.Extension");
static_assert(offsetof(FLT_FILE_NAME_INFORMATION, Stream) == 0x48, "NameInfo.Stream");
static_assert(offsetof(FLT_FILE_NAME_INFORMATION, FinalComponent) == 0x58, "NameInfo.FinalComponent");
static_assert(offsetof(FLT_FILE_NAME_INFORMATION, ParentDir) == 0x68, "NameInfo.ParentDir");

static_assert(sizeof(FLT_OPERATION_REGISTRATION) == 0x20, "FLT_OPERATION_REGISTRATION");
static_assert(offsetof(FLT_OPERATION_REGISTRATION, Flags) == 0x04, "OpReg.Flags");
static_assert(offsetof(FLT_OPERATION_REGISTRATION, PreOperation) == 0x08, "OpReg.PreOperation");
static_assert(offsetof(FLT_OPERATION_REGISTRATION, PostOperation) == 0x10, "OpReg.PostOperation");

static_assert(sizeof(FLT_CONTEXT_REGISTRATION) == 0x38, "FLT_CONTEXT_REGISTRATION");
static_assert(offsetof(FLT_CONTEXT_REGISTRATION, ContextCleanupCallback) == 0x08, "CtxReg.Cleanup");
static_assert(offsetof(FLT_CONTEXT_REGISTRATION, Size) == 0x10, "CtxReg.Size");
static_assert(offsetof(FLT_CONTEXT_REGISTRATION, PoolTag) == 0x18, "CtxReg.PoolTag");
static_assert(offsetof(FLT_CONTEXT_REGISTRATION, ContextAllocateCallback) == 0x20, "CtxReg.Allocate");
static_assert(offsetof(FLT_CONTEXT_REGISTRATION, ContextFreeCallback) == 0x28, "CtxReg.Free");

static_assert(sizeof(FLT_REGISTRATION) == 0x58, "FLT_REGISTRATION, version 0x0200");
static_assert(offsetof(FLT_REGISTRATION, ContextRegistration) == 0x08, "Reg.ContextRegistration");
static_assert(offsetof(FLT_REGISTRATION, OperationRegistration) == 0x10, "Reg.OperationRegistration");
static_assert(offsetof(FLT_REGISTRATION, FilterUnloadCallback) == 0x18, "Reg.FilterUnloadCallback");
static_assert(offsetof(FLT_REGISTRATION, InstanceSetupCallback) == 0x20, "Reg.InstanceSetupCallback");
static_assert(offsetof(FLT_REGISTRATION, GenerateFileNameCallback) == 0x40, "Reg.GenerateFileNameCallback");
static_assert(offsetof(FLT_REGISTRATION, NormalizeContextCleanupCallback) == 0x50, "Reg.NormalizeContextCleanupCallback");

extern "C" {

NTSTATUS FLTAPI FltRegisterFilter(PDRIVER_OBJECT Driver, const FLT_REGISTRATION* Registration, PFLT_FILTER* RetFilter);
VOID FLTAPI FltUnregisterFilter(PFLT_FILTER Filter);
NTSTATUS FLTAPI FltStartFiltering(PFLT_FILTER Filter);

NTSTATUS FLTAPI FltBuildDefaultSecurityDescriptor(PSECURITY_DESCRIPTOR* SecurityDescriptor, ACCESS_MASK DesiredAccess);
VOID FLTAPI FltFreeSecurityDescriptor(PSECURITY_DESCRIPTOR SecurityDescriptor);
NTSTATUS FLTAPI FltCreateCommunicationPort(PFLT_FILTER Filter, PFLT_PORT* ServerPort, POBJECT_ATTRIBUTES ObjectAttributes,
                                           PVOID ServerPortCookie, PFLT_CONNECT_NOTIFY ConnectNotifyCallback,
                                           PFLT_DISCONNECT_NOTIFY DisconnectNotifyCallback,
                                           PFLT_MESSAGE_NOTIFY MessageNotifyCallback, LONG MaxConnections);
VOID FLTAPI FltCloseCommunicationPort(PFLT_PORT ServerPort);
VOID FLTAPI FltCloseClientPort(PFLT_FILTER Filter, PFLT_PORT* ClientPort);
NTSTATUS FLTAPI FltSendMessage(PFLT_FILTER Filter, PFLT_PORT* ClientPort, PVOID SenderBuffer, ULONG SenderBufferLength,
                               PVOID ReplyBuffer, PULONG ReplyLength, PLARGE_INTEGER Timeout);

NTSTATUS FLTAPI FltGetFileNameInformation(PFLT_CALLBACK_DATA CallbackData, FLT_FILE_NAME_OPTIONS NameOptions,
                                          PFLT_FILE_NAME_INFORMATION* FileNameInformation);
NTSTATUS FLTAPI FltGetDestinationFileNameInformation(PFLT_INSTANCE Instance, PFILE_OBJECT FileObject, HANDLE RootDirectory,
                                                     PWSTR FileName, ULONG FileNameLength, FLT_FILE_NAME_OPTIONS NameOptions,
                                                     PFLT_FILE_NAME_INFORMATION* RetFileNameInformation);
NTSTATUS FLTAPI FltParseFileNameInformation(PFLT_FILE_NAME_INFORMATION FileNameInformation);
VOID FLTAPI FltReleaseFileNameInformation(PFLT_FILE_NAME_INFORMATION FileNameInformation);
VOID FLTAPI FltReferenceFileNameInformation(PFLT_FILE_NAME_INFORMATION FileNameInformation);

NTSTATUS FLTAPI FltAllocateContext(PFLT_FILTER Filter, FLT_CONTEXT_TYPE ContextType, SIZE_T ContextSize, POOL_TYPE PoolType,
                                   PFLT_CONTEXT* ReturnedContext);
NTSTATUS FLTAPI FltSetStreamHandleContext(PFLT_INSTANCE Instance, PFILE_OBJECT FileObject, FLT_SET_CONTEXT_OPERATION Operation,
                                          PFLT_CONTEXT NewContext, PFLT_CONTEXT* OldContext);
NTSTATUS FLTAPI FltGetStreamHandleContext(PFLT_INSTANCE Instance, PFILE_OBJECT FileObject, PFLT_CONTEXT* Context);
NTSTATUS FLTAPI FltDeleteStreamHandleContext(PFLT_INSTANCE Instance, PFILE_OBJECT FileObject, PFLT_CONTEXT* OldContext);
VOID FLTAPI FltReleaseContext(PFLT_CONTEXT Context);
VOID FLTAPI FltReferenceContext(PFLT_CONTEXT Context);

NTSTATUS FLTAPI FltQueryInformationFile(PFLT_INSTANCE Instance, PFILE_OBJECT FileObject, PVOID FileInformation, ULONG Length,
                                        FILE_INFORMATION_CLASS FileInformationClass, PULONG LengthReturned);
NTSTATUS FLTAPI FltCreateFile(PFLT_FILTER Filter, PFLT_INSTANCE Instance, PHANDLE FileHandle, ACCESS_MASK DesiredAccess,
                              POBJECT_ATTRIBUTES ObjectAttributes, PIO_STATUS_BLOCK IoStatusBlock, PLARGE_INTEGER AllocationSize,
                              ULONG FileAttributes, ULONG ShareAccess, ULONG CreateDisposition, ULONG CreateOptions,
                              PVOID EaBuffer, ULONG EaLength, ULONG Flags);
NTSTATUS FLTAPI FltReadFile(PFLT_INSTANCE InitiatingInstance, PFILE_OBJECT FileObject, PLARGE_INTEGER ByteOffset, ULONG Length,
                            PVOID Buffer, ULONG Flags, PULONG BytesRead, PVOID CallbackRoutine, PVOID CallbackContext);
NTSTATUS FLTAPI FltWriteFile(PFLT_INSTANCE InitiatingInstance, PFILE_OBJECT FileObject, PLARGE_INTEGER ByteOffset, ULONG Length,
                             PVOID Buffer, ULONG Flags, PULONG BytesWritten, PVOID CallbackRoutine, PVOID CallbackContext);
NTSTATUS FLTAPI FltClose(HANDLE FileHandle);

// A filter reaches another volume through its own instance there.
NTSTATUS FLTAPI FltGetVolumeFromName(PFLT_FILTER Filter, PCUNICODE_STRING VolumeName, PFLT_VOLUME* RetVolume);
NTSTATUS FLTAPI FltGetVolumeInstanceFromName(PFLT_FILTER Filter, PFLT_VOLUME Volume, PCUNICODE_STRING InstanceName,
                                             PFLT_INSTANCE* RetInstance);
VOID FLTAPI FltObjectDereference(PVOID FltObject);

// Push locks: shared or exclusive, not recursive, at IRQL <= APC_LEVEL with
// normal kernel APCs disabled (KeEnterCriticalRegion) while one is held.
VOID FLTAPI FltInitializePushLock(PEX_PUSH_LOCK PushLock);
VOID FLTAPI FltDeletePushLock(PEX_PUSH_LOCK PushLock);
VOID FLTAPI FltAcquirePushLockShared(PEX_PUSH_LOCK PushLock);
VOID FLTAPI FltAcquirePushLockExclusive(PEX_PUSH_LOCK PushLock);
VOID FLTAPI FltReleasePushLock(PEX_PUSH_LOCK PushLock);

}  // extern "C"
