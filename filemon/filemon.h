// The minifilter: registration record, per-handle record, parameter record and
// the helpers the operation callbacks share.
#pragma once

#include "platform/kernel.h"

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
BOOLEAN FilterIsRename(PFLT_PARAMETERS SetInformation);
// Renames and deletions by disposition (setinfo.cpp). The classifier gives
// FileOpRename, FileOpDelete or FileOpNone; a disposition record shorter than
// the field it reads is FileOpNone. FilterGetDestFileName names a rename's
// destination, through the object-namespace link it may be given as; on
// success the caller owns the name and releases it with FilterReleaseName.
FILE_OPERATION FilterClassifySetInfo(PFLT_PARAMETERS SetInformation);
NTSTATUS FilterGetDestFileName(PFLT_INSTANCE Instance, PFILE_OBJECT FileObject, const FILE_RENAME_INFORMATION* RenameInfo,
                               PFLT_FILE_NAME_INFORMATION* DestNameInfo);
VOID FilterReleaseName(PFLT_FILE_NAME_INFORMATION NameInfo);
VOID FilterReleaseContext(PFLT_CONTEXT Context);
