// The minifilter: registration record, per-handle record, parameter record and
// the helpers the operation callbacks share.
#pragma once

#include "platform/kernel.h"
#include "driver/counted_string.h"

extern const FLT_REGISTRATION FilterRegistration;

NTSTATUS FLTAPI FilterUnload(FLT_FILTER_UNLOAD_FLAGS Flags);

// What the driver knows about one open handle, from its create to its cleanup.
struct HandleTrack {
    PFLT_FILE_NAME_INFORMATION NameInfo;
    UCHAR Tracked;
    UCHAR Written;
    ULONG64 FileId;
};
typedef HandleTrack* PHandleTrack;

// Pointers into the current request's parameter block; at most one is set,
// chosen by the major function.
struct OpParams {
    PFLT_PARAMETERS Create;
    PFLT_PARAMETERS AcquireForSection;
    PFLT_PARAMETERS SetInformation;
    PFLT_PARAMETERS Write;
    PFLT_PARAMETERS DeviceControl;
};

typedef LONG FILE_OPERATION;

// The completion context pre-create hands to post-create: the name it took,
// which post-create stores in the handle's record or releases.
struct CreateCompletion {
    PFLT_FILE_NAME_INFORMATION NameInfo;
};

// Bytes of a pass-through request's system buffer the classifier reads (the
// 64-bit layouts): SCSI DataIn and the CDB's operation code, ATA flags and the
// command register.
constexpr ULONG FilterScsiDataInOffset = 8;
constexpr ULONG FilterScsiOpCodeOffset = 36;
constexpr ULONG FilterAtaFlagsOffset = 2;
constexpr ULONG FilterAtaCommandOffset = 46;

// Desired-access bits that let a handle change a file's data: the specific
// write rights (append alone can still change a file), the generic ones a
// caller may pass unmapped, and MAXIMUM_ALLOWED, which can be granted them.
constexpr ACCESS_MASK FilterWriteRights =
    FILE_WRITE_DATA | FILE_APPEND_DATA | FILE_WRITE_EA | GENERIC_WRITE | GENERIC_ALL | MAXIMUM_ALLOWED;
// SCSI operation codes that write the medium: reported when the request sends
// data out or leaves the direction unspecified (WRITE(6/10/12/16), WRITE AND
// VERIFY, WRITE SAME, WRITE LONG, COMPARE AND WRITE, WRITE ATOMIC, the
// variable-length commands).
constexpr UCHAR FilterScsiWriteOpCodes[] = {0x0A, 0x2A, 0xAA, 0x8A, 0x2E, 0xAE, 0x8E, 0x41, 0x93, 0x3F, 0x89, 0x9C, 0x7F};
// SCSI commands that destroy data without sending it (UNMAP, FORMAT UNIT,
// SANITIZE): reported whatever the direction.
constexpr UCHAR FilterScsiDestroyOpCodes[] = {0x42, 0x04, 0x48};
// ATA commands that write sectors: reported when ATA_FLAGS_DATA_OUT is set,
// whatever other flags are.
constexpr UCHAR FilterAtaWriteCommands[] = {0x30, 0x31, 0x34, 0x35, 0x36, 0x39, 0x3A, 0x3B, 0x3D,
                                            0x3E, 0x61, 0xC5, 0xCA, 0xCB, 0xCC, 0xCE, 0xE8};
// ATA commands that destroy data (DATA SET MANAGEMENT/TRIM, SANITIZE,
// SECURITY ERASE UNIT): reported whatever the flags.
constexpr UCHAR FilterAtaDestroyCommands[] = {0x06, 0xB4, 0xF4};
// Partition-table requests sent to a volume: reported as SCSI writes.
constexpr ULONG FilterPartitionTableCodes[] = {0x7C054, 0x7C058, 0x7C100};

FILE_OPERATION FilterClassifyCreate(PFLT_PARAMETERS Create);
FILE_OPERATION FilterClassifyDeviceControl(ULONG IrpFlags, PFLT_PARAMETERS DeviceControl);

// The backup copy. FileMonBackupFile takes a private copy of the folder (a
// full object name) and, on success, hands back the copy's name, which the
// caller frees with StrFree (tag "GSVQ"). The probe, the folder and the target
// go through TargetInstance (this filter's instance on the folder's volume);
// the source is read through the file's own instance.
NTSTATUS FileMonBackupFile(PFLT_FILE_NAME_INFORMATION NameInfo, PCFLT_RELATED_OBJECTS FltObjects, PCOUNTED_STRING Folder,
                           PCOUNTED_STRING* Target);
NTSTATUS FileMonCopyFileWithLock(PCFLT_RELATED_OBJECTS FltObjects, PCUNICODE_STRING SourceName, PCUNICODE_STRING TargetName,
                                 PFLT_INSTANCE TargetInstance);
// The copy a backup verdict asks for before a watched program changes a file
// that exists: an open for writing that keeps or truncates it, a deletion, a
// rename over it. Copies NameInfo's file into the backup folder as
// FileMonBackupFile does, when a folder is set, the client's limit is not 0
// and the file holds at most that many bytes. Passive level only; Lock is
// held only to read the folder and the limit. STATUS_SUCCESS with nothing
// done when there is nothing to keep (no folder, limit 0, no such file, a
// directory); STATUS_FILE_TOO_LARGE past the limit.
NTSTATUS FileMonBackupBeforeChange(PFLT_FILE_NAME_INFORMATION NameInfo, PCFLT_RELATED_OBJECTS FltObjects);
NTSTATUS FileMonCopyData(HANDLE Source, PCUNICODE_STRING Target, PFLT_FILTER Filter, PFLT_INSTANCE SourceInstance,
                         PFLT_INSTANCE TargetInstance);
NTSTATUS FileMonOpenFile(PCUNICODE_STRING Name, ACCESS_MASK DesiredAccess, ULONG ShareAccess, ULONG Disposition, ULONG CreateOptions,
                         PHANDLE Handle, PFLT_FILTER Filter, PFLT_INSTANCE Instance);
NTSTATUS FileMonCreateDirectory(PCUNICODE_STRING Folder, PFLT_FILTER Filter, PFLT_INSTANCE Instance);

FLT_PREOP_CALLBACK_STATUS FLTAPI FilterPreCreate(PFLT_CALLBACK_DATA Data, PCFLT_RELATED_OBJECTS FltObjects, PVOID* CompletionContext);
FLT_POSTOP_CALLBACK_STATUS FLTAPI FilterPostCreate(PFLT_CALLBACK_DATA Data, PCFLT_RELATED_OBJECTS FltObjects, PVOID CompletionContext,
                                                   FLT_POST_OPERATION_FLAGS Flags);
FLT_PREOP_CALLBACK_STATUS FLTAPI FilterPreWrite(PFLT_CALLBACK_DATA Data, PCFLT_RELATED_OBJECTS FltObjects, PVOID* CompletionContext);
FLT_PREOP_CALLBACK_STATUS FLTAPI FilterPreSetInformation(PFLT_CALLBACK_DATA Data, PCFLT_RELATED_OBJECTS FltObjects,
                                                         PVOID* CompletionContext);
FLT_PREOP_CALLBACK_STATUS FLTAPI FilterPreDeviceControl(PFLT_CALLBACK_DATA Data, PCFLT_RELATED_OBJECTS FltObjects,
                                                        PVOID* CompletionContext);
FLT_PREOP_CALLBACK_STATUS FLTAPI FilterPreCleanup(PFLT_CALLBACK_DATA Data, PCFLT_RELATED_OBJECTS FltObjects, PVOID* CompletionContext);
FLT_POSTOP_CALLBACK_STATUS FLTAPI FilterPostCleanup(PFLT_CALLBACK_DATA Data, PCFLT_RELATED_OBJECTS FltObjects, PVOID CompletionContext,
                                                    FLT_POST_OPERATION_FLAGS Flags);
// A record's name is released once: by FilterHandleTrackReleaseName, which
// also clears the pointer (post-cleanup), or by the context's cleanup when the
// record goes without it.
VOID FLTAPI FilterHandleTrackCleanup(PFLT_CONTEXT Context, FLT_CONTEXT_TYPE ContextType);
VOID FilterHandleTrackReleaseName(PHandleTrack Track);

// The caller owns the name it receives and releases it with FilterReleaseName.
NTSTATUS FilterGetFileName(PFLT_CALLBACK_DATA Data, PFLT_FILE_NAME_INFORMATION* NameInfo);
OpParams FilterGetParams(PFLT_IO_PARAMETER_BLOCK Iopb);
// Both hand the caller a reference to the record, found or created alike,
// which it releases with FilterReleaseContext.
NTSTATUS FilterGetHandleTrack(PFLT_INSTANCE Instance, PFILE_OBJECT FileObject, PHandleTrack* Track);
NTSTATUS FilterGetOrCreateHandleTrack(PFLT_INSTANCE Instance, PFLT_FILTER Filter, PFILE_OBJECT FileObject, SIZE_T Size,
                                      PHandleTrack* Track);
NTSTATUS FilterDeleteHandleTrack(PFLT_INSTANCE Instance, PFILE_OBJECT FileObject);
NTSTATUS FilterQueryFileId(PFLT_INSTANCE Instance, PFILE_OBJECT FileObject, PULONG64 FileId);
// Whether a set-information record carries a new name: renames and hard links.
BOOLEAN FilterIsRename(PFLT_PARAMETERS SetInformation);
// Renames, hard links and deletions by disposition (setinfo.cpp). The
// classifier gives FileOpRename, FileOpLink, FileOpDelete or FileOpNone; a disposition record shorter than
// the field it reads is FileOpNone. FilterGetDestFileName names a rename's
// destination, through the object-namespace link it may be given as; on
// success the caller owns the name and releases it with FilterReleaseName.
FILE_OPERATION FilterClassifySetInfo(PFLT_PARAMETERS SetInformation);
NTSTATUS FilterGetDestFileName(PFLT_INSTANCE Instance, PFILE_OBJECT FileObject, const FILE_RENAME_INFORMATION* RenameInfo,
                               PFLT_FILE_NAME_INFORMATION* DestNameInfo);
VOID FilterReleaseName(PFLT_FILE_NAME_INFORMATION NameInfo);
VOID FilterReleaseContext(PFLT_CONTEXT Context);
