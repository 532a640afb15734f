// The minifilter's set-information callback.
//
// For now it reports nothing: renames and deletions pass unchanged. The create
// path is filemon/create.cpp; writes, raw disk writes and cleanup are
// filemon/write.cpp.
#include "filemon/filemon.h"

FLT_PREOP_CALLBACK_STATUS FLTAPI FilterPreSetInformation(PFLT_CALLBACK_DATA Data, PCFLT_RELATED_OBJECTS FltObjects,
                                                         PVOID* CompletionContext) {
    UNREFERENCED_PARAMETER(Data);
    UNREFERENCED_PARAMETER(FltObjects);
    if (CompletionContext != nullptr) {
        *CompletionContext = nullptr;
    }
    return FLT_PREOP_SUCCESS_NO_CALLBACK;
}
