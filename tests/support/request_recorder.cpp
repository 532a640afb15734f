#include "tests/support/request_recorder.h"

#include <gtest/gtest.h>

namespace vtest {

namespace {

std::mutex gLock;
std::vector<RecordedRequest> gRequests;

std::u16string Text(const UNICODE_STRING& s) {
    return s.Buffer == nullptr ? std::u16string() : std::u16string(s.Buffer, s.Length / sizeof(WCHAR));
}

FLT_PREOP_CALLBACK_STATUS FLTAPI Pre(PFLT_CALLBACK_DATA data, PCFLT_RELATED_OBJECTS objects, PVOID* context) {
    RecordedRequest r;
    const FLT_IO_PARAMETER_BLOCK* iopb = data->Iopb;
    r.major = iopb->MajorFunction;
    r.operationFlags = iopb->OperationFlags;
    r.irpFlags = iopb->IrpFlags;
    r.callbackFlags = data->Flags;
    r.requestorMode = data->RequestorMode;
    r.processId = reinterpret_cast<ULONG_PTR>(PsGetCurrentProcessId());
    r.fileObject = objects->FileObject;
    r.fileName = Text(objects->FileObject->FileName);
    const auto& p = iopb->Parameters;
    switch (r.major) {
    case IRP_MJ_CREATE: {
        r.desiredAccess = p.Create.SecurityContext->DesiredAccess;
        r.options = p.Create.Options;
        r.shareAccess = p.Create.ShareAccess;
        r.fileAttributes = p.Create.FileAttributes;
        PFLT_FILE_NAME_INFORMATION name = nullptr;
        r.openedNameStatus = FltGetFileNameInformation(data, FLT_FILE_NAME_OPENED | FLT_FILE_NAME_QUERY_DEFAULT, &name);
        if (NT_SUCCESS(r.openedNameStatus)) {
            r.openedName = Text(name->Name);
            FltReleaseFileNameInformation(name);
        }
        break;
    }
    case IRP_MJ_SET_INFORMATION:
        r.infoClass = p.SetFileInformation.FileInformationClass;
        r.parentOfTarget = p.SetFileInformation.ParentOfTarget;
        break;
    case IRP_MJ_READ:
    case IRP_MJ_WRITE:
        r.length = p.Write.Length;
        r.offset = p.Write.ByteOffset.QuadPart;
        r.hasBuffer = p.Write.WriteBuffer != nullptr;
        r.hasMdl = p.Write.MdlAddress != nullptr;
        break;
    default:
        break;
    }
    std::lock_guard<std::mutex> guard(gLock);
    gRequests.push_back(r);
    *context = reinterpret_cast<PVOID>(gRequests.size());  // index + 1
    return FLT_PREOP_SUCCESS_WITH_CALLBACK;
}

FLT_POSTOP_CALLBACK_STATUS FLTAPI Post(PFLT_CALLBACK_DATA data, PCFLT_RELATED_OBJECTS objects, PVOID context,
                                       FLT_POST_OPERATION_FLAGS) {
    std::lock_guard<std::mutex> guard(gLock);
    const size_t index = reinterpret_cast<size_t>(context);
    if (index != 0 && index <= gRequests.size()) {
        RecordedRequest& r = gRequests[index - 1];
        r.completed = true;
        r.status = data->IoStatus.Status;
        r.information = data->IoStatus.Information;
        r.fileNameAfter = Text(objects->FileObject->FileName);
    }
    return FLT_POSTOP_FINISHED_PROCESSING;
}

const FLT_OPERATION_REGISTRATION kOperations[] = {
    {IRP_MJ_CREATE, 0, Pre, Post, nullptr},           {IRP_MJ_READ, 0, Pre, Post, nullptr},
    {IRP_MJ_WRITE, 0, Pre, Post, nullptr},            {IRP_MJ_SET_INFORMATION, 0, Pre, Post, nullptr},
    {IRP_MJ_CLEANUP, 0, Pre, Post, nullptr},          {IRP_MJ_CLOSE, 0, Pre, Post, nullptr},
    {IRP_MJ_OPERATION_END, 0, nullptr, nullptr, nullptr},
};

}  // namespace

void RequestRecorder::Start() {
    Clear();
    filter_.Start(kOperations);
}

void RequestRecorder::Stop() {
    filter_.Stop();
}

std::vector<RecordedRequest> RequestRecorder::Requests() {
    std::lock_guard<std::mutex> guard(gLock);
    return gRequests;
}

std::vector<RecordedRequest> RequestRecorder::Requests(UCHAR major) {
    std::vector<RecordedRequest> out;
    for (const RecordedRequest& r : Requests()) {
        if (r.major == major) {
            out.push_back(r);
        }
    }
    return out;
}

void RequestRecorder::Clear() {
    std::lock_guard<std::mutex> guard(gLock);
    gRequests.clear();
}

}  // namespace vtest
