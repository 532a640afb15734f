// The Filter Manager's I/O path: instances on volumes, callback data for each
// request, the pre/post calling sequence, and the I/O a filter issues below
// itself (FltCreateFile, FltReadFile, FltWriteFile, FltQueryInformationFile,
// FltClose).
#include "sim/ke/stack.h"
#include "sim/loader/loader.h"
#include "sim/flt/io.h"

#include "sim/ob/ob.h"
#include "sim/ps/ps.h"

#include <algorithm>
#include <condition_variable>
#include <memory>
#include <unordered_map>

namespace sim::flt {

namespace {

std::mutex gLock;  // instances, volumes, in-flight callback data
std::vector<std::unique_ptr<_FLT_VOLUME>> gVolumes;
std::vector<std::unique_ptr<_FLT_INSTANCE>> gInstances;
ULONG gNextOrder = 0;
std::unordered_map<const FLT_CALLBACK_DATA*, RequestState*> gInFlight;

_FLT_VOLUME* FltVolumeLocked(sim::fs::Volume* volume) {
    for (auto& v : gVolumes) {
        if (v->volume == volume) {
            return v.get();
        }
    }
    auto owned = std::make_unique<_FLT_VOLUME>();
    owned->volume = volume;
    gVolumes.push_back(std::move(owned));
    return gVolumes.back().get();
}

void AttachLocked(_FLT_FILTER* filter, sim::fs::Volume* volume) {
    for (auto& i : gInstances) {
        if (i->filter == filter && i->volume->volume == volume && !i->detached) {
            return;
        }
    }
    auto instance = std::make_unique<_FLT_INSTANCE>();
    instance->filter = filter;
    instance->volume = FltVolumeLocked(volume);
    instance->order = gNextOrder++;
    {
        std::lock_guard<std::mutex> guard(filter->lock);
        filter->instances.push_back(instance.get());
    }
    gInstances.push_back(std::move(instance));
}

NTSTATUS StartFilter(_FLT_FILTER* filter) {
    std::lock_guard<std::mutex> guard(gLock);
    for (sim::fs::Volume* volume : sim::fs::Volumes()) {
        AttachLocked(filter, volume);
    }
    return STATUS_SUCCESS;
}

void DrainInstances(const std::vector<_FLT_INSTANCE*>& instances);
void ClearQueuedPosts();

// The filter is unregistering: its instances stop receiving requests and
// give up their contexts (cleanup callbacks run while the filter still exists);
// post-operation calls still owed to them are made first, draining.
void TeardownFilter(_FLT_FILTER* filter) {
    std::vector<_FLT_INSTANCE*> detached;
    {
        std::lock_guard<std::mutex> guard(gLock);
        for (auto& i : gInstances) {
            if (i->filter == filter && !i->detached) {
                i->detached = true;
                detached.push_back(i.get());
            }
        }
    }
    DrainInstances(detached);
    for (_FLT_INSTANCE* instance : detached) {
        DeleteInstanceContexts(instance);
    }
    std::lock_guard<std::mutex> guard(filter->lock);
    filter->instances.clear();
}

void ResetFltIo() {
    std::lock_guard<std::mutex> guard(gLock);
    gInstances.clear();
    gVolumes.clear();
    gInFlight.clear();
    ClearQueuedPosts();
    gNextOrder = 0;
}

const bool gRegistered = [] {
    RegisterFilterHooks(StartFilter, TeardownFilter);
    sim::RegisterResetHook("flt_io", ResetFltIo);
    return true;
}();

const FLT_OPERATION_REGISTRATION* FindOperation(const _FLT_FILTER* filter, UCHAR major) {
    for (const auto& op : filter->operations) {
        if (op.MajorFunction == major) {
            return &op;
        }
    }
    return nullptr;
}

// Instances that see a request issued by `issuedBy` (null: all of them).
std::vector<_FLT_INSTANCE*> TargetsOf(const sim::fs::Volume* volume, const _FLT_INSTANCE* issuedBy) {
    std::vector<_FLT_INSTANCE*> all = InstancesOn(volume);
    if (issuedBy == nullptr || issuedBy->volume->volume != volume) {
        return all;
    }
    std::vector<_FLT_INSTANCE*> below;
    for (_FLT_INSTANCE* i : all) {
        if (i->order > issuedBy->order) {
            below.push_back(i);
        }
    }
    return below;
}

// A post-operation call owed to an instance. It is made once: by the request
// when it completes, or, when the instance is torn down first, by the
// teardown with FLTFL_POST_OPERATION_DRAINING (the request then skips it).
struct PendingPost {
    enum class State { Queued, Draining, Done };
    _FLT_INSTANCE* instance;
    const FLT_OPERATION_REGISTRATION* op;
    PVOID context;
    FLT_CALLBACK_DATA* data;
    _FLT_VOLUME* volume;
    State state = State::Queued;  // under gLock
};
std::vector<PendingPost*> gQueuedPosts;  // under gLock
std::condition_variable gDrained;

void ClearQueuedPosts() { gQueuedPosts.clear(); }

// The instances are going away: every post-operation call still owed to them
// is made now, in this thread, with the draining flag, while the requests
// themselves may still be in the file system.
void DrainInstances(const std::vector<_FLT_INSTANCE*>& instances) {
    std::vector<PendingPost*> drained;
    {
        std::lock_guard<std::mutex> guard(gLock);
        for (PendingPost* post : gQueuedPosts) {
            if (post->state == PendingPost::State::Queued &&
                std::find(instances.begin(), instances.end(), post->instance) != instances.end()) {
                post->state = PendingPost::State::Draining;
                drained.push_back(post);
            }
        }
    }
    for (PendingPost* post : drained) {
        FLT_RELATED_OBJECTS related{sizeof(FLT_RELATED_OBJECTS), 0, post->instance->filter, post->volume, post->instance,
                                    post->data->Iopb->TargetFileObject, nullptr};
        sim::Count("FltMgr:DrainedPostOperationCallback");
        const char* kind = sim::loader::OperationKind(post->data->Iopb->MajorFunction, false);
        FLT_POSTOP_CALLBACK_STATUS result = FLT_POSTOP_FINISHED_PROCESSING;
        sim::OnKernelStack(kind, sim::StackEntry::SystemCall, [&] {
            const sim::loader::DriverCall driverCall(reinterpret_cast<const void*>(post->op->PostOperation), kind);
            const sim::CallbackEntry entry = sim::EnterDriverCallback();
            result = post->op->PostOperation(post->data, &related, post->context, FLTFL_POST_OPERATION_DRAINING);
            sim::CheckCallbackReturn(entry, "post-operation callback");
        });
        if (result != FLT_POSTOP_FINISHED_PROCESSING) {
            sim::BugCheck(sim::kBugFltmgrFileSystem, "FLTMGR_FILE_SYSTEM",
                          "a post-operation callback called while draining did not return FLT_POSTOP_FINISHED_PROCESSING",
                          static_cast<ULONG_PTR>(result));
        }
        ReleaseRundown(post->instance->filter);
        std::lock_guard<std::mutex> guard(gLock);
        post->state = PendingPost::State::Done;
        gDrained.notify_all();
    }
}

}  // namespace

std::vector<_FLT_INSTANCE*> InstancesOn(const sim::fs::Volume* volume) {
    std::lock_guard<std::mutex> guard(gLock);
    std::vector<_FLT_INSTANCE*> out;
    for (auto& i : gInstances) {
        if (i->volume->volume == volume && !i->detached) {
            out.push_back(i.get());
        }
    }
    std::sort(out.begin(), out.end(), [](auto* a, auto* b) { return a->order < b->order; });
    return out;
}

_FLT_VOLUME* FltVolumeOf(sim::fs::Volume* volume) {
    std::lock_guard<std::mutex> guard(gLock);
    return FltVolumeLocked(volume);
}

_FLT_INSTANCE* InstanceOf(PFLT_FILTER filter, const sim::fs::Volume* volume) {
    std::lock_guard<std::mutex> guard(gLock);
    for (auto& i : gInstances) {
        if (i->filter == filter && i->volume->volume == volume && !i->detached) {
            return i.get();
        }
    }
    return nullptr;
}

_FLT_INSTANCE* CheckInstance(PFLT_INSTANCE instance, const char* routine) {
    std::lock_guard<std::mutex> guard(gLock);
    for (auto& i : gInstances) {
        if (i.get() == instance) {
            return i.get();
        }
    }
    sim::BugCheck(sim::kBugFltmgrFileSystem, "FLTMGR_FILE_SYSTEM", std::string(routine) + ": not an instance",
                  reinterpret_cast<ULONG_PTR>(instance));
}

void OnVolumeMounted(sim::fs::Volume* volume) {
    std::vector<_FLT_FILTER*> filters = RegisteredFilters();
    std::lock_guard<std::mutex> guard(gLock);
    FltVolumeLocked(volume);
    for (_FLT_FILTER* filter : filters) {
        if (filter->started.load() && filter->state.load() == FilterState::Registered) {
            AttachLocked(filter, volume);
        }
    }
}

RequestState* StateOf(const FLT_CALLBACK_DATA* data) {
    std::lock_guard<std::mutex> guard(gLock);
    auto it = gInFlight.find(data);
    return it == gInFlight.end() ? nullptr : it->second;
}

IO_STATUS_BLOCK Performp(IoRequest& request);

// A request a driver makes from one of its routines (the copy before a change
// opens, reads and writes files in a pre-operation callback) runs on the same
// kernel stack, below the frames of the layers it passes through on Windows.
IO_STATUS_BLOCK Perform(IoRequest& request) {
    if (!sim::OnKernelStackNow()) {
        return Performp(request);
    }
    IO_STATUS_BLOCK result{};
    sim::WithStackCharge(sim::StackShareAbove(sim::StackEntry::NestedRequest), [&] { result = Performp(request); });
    return result;
}

IO_STATUS_BLOCK Performp(IoRequest& request) {
    sim::fs::Volume* volume = request.file->volume;
    FLT_IO_PARAMETER_BLOCK iopb{};
    iopb.IrpFlags = request.irpFlags;
    iopb.MajorFunction = request.majorFunction;
    iopb.MinorFunction = request.minorFunction;
    iopb.OperationFlags = request.operationFlags;
    iopb.TargetFileObject = &request.file->fo;
    iopb.Parameters = request.parameters;
    FLT_CALLBACK_DATA data{};
    data.Flags = request.callbackFlags;
    *const_cast<PETHREAD*>(&data.Thread) = sim::CurrentThread();
    *const_cast<PFLT_IO_PARAMETER_BLOCK*>(&data.Iopb) = &iopb;
    data.RequestorMode = request.requestorMode;

    RequestState state;
    state.request = &request;
    {
        std::lock_guard<std::mutex> guard(gLock);
        gInFlight[&data] = &state;
    }

    _FLT_VOLUME* fltVolume;
    {
        std::lock_guard<std::mutex> guard(gLock);
        fltVolume = FltVolumeLocked(volume);
    }
    std::vector<std::unique_ptr<PendingPost>> posts;
    bool completed = false;
    for (_FLT_INSTANCE* instance : TargetsOf(volume, request.issuedBy)) {
        _FLT_FILTER* filter = instance->filter;
        const FLT_OPERATION_REGISTRATION* op = FindOperation(filter, request.majorFunction);
        if (op == nullptr || (op->PreOperation == nullptr && op->PostOperation == nullptr)) {
            continue;
        }
        if (!AcquireRundown(filter)) {
            continue;
        }
        iopb.TargetInstance = instance;
        FLT_RELATED_OBJECTS related{sizeof(FLT_RELATED_OBJECTS), 0, filter, fltVolume, instance, &request.file->fo, nullptr};
        FLT_PREOP_CALLBACK_STATUS result = FLT_PREOP_SUCCESS_WITH_CALLBACK;
        PVOID context = nullptr;
        if (op->PreOperation != nullptr) {
            sim::Count("FltMgr:PreOperationCallback");
            const char* kind = sim::loader::OperationKind(data.Iopb->MajorFunction, true);
            sim::OnKernelStack(kind, sim::StackEntry::SystemCall, [&] {
                const sim::loader::DriverCall driverCall(reinterpret_cast<const void*>(op->PreOperation), kind);
                const sim::CallbackEntry entry = sim::EnterDriverCallback();
                result = op->PreOperation(&data, &related, &context);
                sim::CheckCallbackReturn(entry, "pre-operation callback");
            });
        }
        switch (result) {
        case FLT_PREOP_SUCCESS_WITH_CALLBACK:
        case FLT_PREOP_SYNCHRONIZE:
            if (op->PostOperation != nullptr) {
                posts.push_back(std::make_unique<PendingPost>(PendingPost{instance, op, context, &data, fltVolume}));
                std::lock_guard<std::mutex> guard(gLock);
                gQueuedPosts.push_back(posts.back().get());
                continue;  // rundown held until the post-operation ran
            }
            break;
        case FLT_PREOP_SUCCESS_NO_CALLBACK:
            break;
        case FLT_PREOP_COMPLETE:
            if (data.IoStatus.Status == STATUS_PENDING) {
                sim::BugCheck(sim::kBugFltmgrFileSystem, "FLTMGR_FILE_SYSTEM", "FLT_PREOP_COMPLETE with STATUS_PENDING");
            }
            completed = true;
            break;
        case FLT_PREOP_DISALLOW_FASTIO:
            // Only fast I/O can be refused this way: nothing below sees it,
            // the post-operations above still run, and the I/O manager sends
            // the request again as an IRP.
            if ((data.Flags & FLTFL_CALLBACK_DATA_FAST_IO_OPERATION) == 0) {
                sim::BugCheck(sim::kBugFltmgrFileSystem, "FLTMGR_FILE_SYSTEM",
                              "FLT_PREOP_DISALLOW_FASTIO returned for an operation that is not fast I/O");
            }
            request.fastIoDisallowed = true;
            completed = true;
            break;
        case FLT_PREOP_PENDING:
            sim::NotImplemented("FLT_PREOP_PENDING (FltCompletePendedPreOperation)");
        default:
            sim::BugCheck(sim::kBugFltmgrFileSystem, "FLTMGR_FILE_SYSTEM", "pre-operation callback returned an invalid status",
                          static_cast<ULONG_PTR>(result));
        }
        ReleaseRundown(filter);
        if (completed) {
            break;
        }
    }
    if (!completed) {
        iopb.TargetInstance = nullptr;
        sim::fs::FileSystemDispatch(&data);
    }
    data.Flags |= FLTFL_CALLBACK_DATA_POST_OPERATION;
    {
        std::lock_guard<std::mutex> guard(gLock);
        state.inPostOperation = true;
    }
    for (auto it = posts.rbegin(); it != posts.rend(); ++it) {
        PendingPost* post = it->get();
        {
            // Drained already, or being drained: the call is not made again.
            std::lock_guard<std::mutex> guard(gLock);
            if (post->state != PendingPost::State::Queued) {
                continue;
            }
            post->state = PendingPost::State::Done;
        }
        iopb.TargetInstance = post->instance;
        FLT_RELATED_OBJECTS related{sizeof(FLT_RELATED_OBJECTS), 0, post->instance->filter, fltVolume, post->instance,
                                    &request.file->fo, nullptr};
        sim::Count("FltMgr:PostOperationCallback");
        const char* kind = sim::loader::OperationKind(data.Iopb->MajorFunction, false);
        FLT_POSTOP_CALLBACK_STATUS result = FLT_POSTOP_FINISHED_PROCESSING;
        sim::OnKernelStack(kind, sim::StackEntry::SystemCall, [&] {
            const sim::loader::DriverCall driverCall(reinterpret_cast<const void*>(post->op->PostOperation), kind);
            const sim::CallbackEntry entry = sim::EnterDriverCallback();
            result = post->op->PostOperation(&data, &related, post->context, 0);
            sim::CheckCallbackReturn(entry, "post-operation callback");
        });
        if (result == FLT_POSTOP_MORE_PROCESSING_REQUIRED) {
            sim::NotImplemented("FLT_POSTOP_MORE_PROCESSING_REQUIRED (FltCompletePendedPostOperation)");
        }
        ReleaseRundown(post->instance->filter);
    }
    {
        // A drain still calling into this request's data finishes first.
        std::unique_lock<std::mutex> guard(gLock);
        gDrained.wait(guard, [&posts] {
            for (const auto& post : posts) {
                if (post->state != PendingPost::State::Done) {
                    return false;
                }
            }
            return true;
        });
        for (const auto& post : posts) {
            gQueuedPosts.erase(std::remove(gQueuedPosts.begin(), gQueuedPosts.end(), post.get()), gQueuedPosts.end());
        }
        gInFlight.erase(&data);
    }
    return data.IoStatus;
}

void SendCleanup(PFILE_OBJECT fileObject, KPROCESSOR_MODE mode) {
    sim::fs::FileObjectBody* body = sim::fs::BodyOf(fileObject);
    IoRequest request;
    request.majorFunction = IRP_MJ_CLEANUP;
    request.irpFlags = IRP_CLOSE_OPERATION | IRP_SYNCHRONOUS_API;
    request.requestorMode = mode;
    request.file = body;
    Perform(request);
}

void SendClose(PFILE_OBJECT fileObject) {
    sim::fs::FileObjectBody* body = sim::fs::BodyOf(fileObject);
    if (body->opened) {
        IoRequest request;
        request.majorFunction = IRP_MJ_CLOSE;
        request.irpFlags = IRP_CLOSE_OPERATION | IRP_SYNCHRONOUS_API;
        request.requestorMode = KernelMode;
        request.file = body;
        Perform(request);
    }
    DeleteFileObjectContexts(fileObject);
}

void ForgetFileObject(PFILE_OBJECT fileObject) { DeleteFileObjectContexts(fileObject); }

}  // namespace sim::flt

// ---------------------------------------------------------------------------
// Filter-issued I/O.

namespace {

using sim::flt::IoRequest;

// What a kernel file handle does when it is closed: cleanup, then the
// handle's reference on the file object goes.
void CloseFileHandlep(_EPROCESS* process, void* object, ACCESS_MASK) {
    auto* fo = static_cast<PFILE_OBJECT>(object);
    if (sim::fs::DropFileHandle(sim::fs::BodyOf(fo))) {
        sim::flt::SendCleanup(fo, process == sim::SystemProcess() ? KernelMode : UserMode);
    }
    sim::ob::DereferenceObject(fo);
}

const sim::ob::HandleProcedures kKernelFileHandle{"File", CloseFileHandlep, nullptr};

_FLT_INSTANCE* InstanceForIop(PFLT_INSTANCE instance, PFILE_OBJECT fileObject, const char* routine,
                              sim::fs::FileObjectBody** body) {
    _FLT_INSTANCE* checked = sim::flt::CheckInstance(instance, routine);
    *body = sim::fs::BodyOf(fileObject);
    if (*body == nullptr) {
        sim::BugCheck(sim::kBugFltmgrFileSystem, "FLTMGR_FILE_SYSTEM", std::string(routine) + ": not a file object",
                      reinterpret_cast<ULONG_PTR>(fileObject));
    }
    return checked;
}

NTSTATUS ReadWritep(bool write, PFLT_INSTANCE InitiatingInstance, PFILE_OBJECT FileObject, PLARGE_INTEGER ByteOffset,
                    ULONG Length, PVOID Buffer, ULONG Flags, PULONG Bytes, PVOID CallbackRoutine) {
    const char* routine = write ? "FltWriteFile" : "FltReadFile";
    if (Bytes != nullptr) {
        *Bytes = 0;
    }
    bool paging = (Flags & (FLTFL_IO_OPERATION_PAGING | FLTFL_IO_OPERATION_SYNCHRONOUS_PAGING)) != 0;
    sim::RequireIrqlAtMost(paging ? APC_LEVEL : PASSIVE_LEVEL, routine);
    if (CallbackRoutine != nullptr) {
        sim::NotImplemented("asynchronous FltReadFile/FltWriteFile");
    }
    sim::fs::FileObjectBody* body;
    _FLT_INSTANCE* instance = InstanceForIop(InitiatingInstance, FileObject, routine, &body);
    if (Flags & FLTFL_IO_OPERATION_NON_CACHED) {
        if ((Length % 512) != 0 || (ByteOffset != nullptr && (ByteOffset->QuadPart % 512) != 0)) {
            return STATUS_INVALID_PARAMETER;
        }
    }
    bool synchronous = (FileObject->Flags & FO_SYNCHRONOUS_IO) != 0;
    if (ByteOffset == nullptr && !synchronous) {
        return STATUS_INVALID_PARAMETER;
    }
    LARGE_INTEGER savedPosition = FileObject->CurrentByteOffset;
    IoRequest request;
    request.majorFunction = write ? IRP_MJ_WRITE : IRP_MJ_READ;
    request.irpFlags = (write ? IRP_WRITE_OPERATION : IRP_READ_OPERATION) | IRP_SYNCHRONOUS_API |
                       ((Flags & FLTFL_IO_OPERATION_NON_CACHED) ? IRP_NOCACHE : 0) |
                       ((Flags & FLTFL_IO_OPERATION_PAGING) ? IRP_PAGING_IO : 0);
    request.callbackFlags |= FLTFL_CALLBACK_DATA_GENERATED_IO;
    request.requestorMode = KernelMode;
    request.file = body;
    request.issuedBy = instance;
    LARGE_INTEGER offset;
    if (ByteOffset != nullptr) {
        offset = *ByteOffset;
    } else {
        offset.LowPart = FILE_USE_FILE_POINTER_POSITION;
        offset.HighPart = -1;
    }
    sim::flt::SetTransfer(request, write, Length, offset, Buffer);
    IO_STATUS_BLOCK result = sim::flt::Perform(request);
    // An explicit offset, or DO_NOT_UPDATE_BYTE_OFFSET, leaves the position alone.
    if (ByteOffset != nullptr || (Flags & FLTFL_IO_OPERATION_DO_NOT_UPDATE_BYTE_OFFSET)) {
        FileObject->CurrentByteOffset = savedPosition;
    }
    if (Bytes != nullptr) {
        *Bytes = static_cast<ULONG>(result.Information);
    }
    return result.Status;
}

}  // namespace

extern "C" NTSTATUS FLTAPI FltCreateFile(PFLT_FILTER Filter, PFLT_INSTANCE Instance, PHANDLE FileHandle,
                                         ACCESS_MASK DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes,
                                         PIO_STATUS_BLOCK IoStatusBlock, PLARGE_INTEGER AllocationSize, ULONG FileAttributes,
                                         ULONG ShareAccess, ULONG CreateDisposition, ULONG CreateOptions, PVOID EaBuffer,
                                         ULONG EaLength, ULONG Flags) {
    sim::Count("FltCreateFile");
    sim::RequireIrqlAtMost(PASSIVE_LEVEL, "FltCreateFile");
    if (FileHandle != nullptr) {
        *FileHandle = nullptr;
    }
    sim::flt::CheckFilter(Filter, "FltCreateFile");
    _FLT_INSTANCE* instance = Instance != nullptr ? sim::flt::CheckInstance(Instance, "FltCreateFile") : nullptr;
    if (FileHandle == nullptr || ObjectAttributes == nullptr || IoStatusBlock == nullptr ||
        ObjectAttributes->ObjectName == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    IoStatusBlock->Status = STATUS_SUCCESS;
    IoStatusBlock->Information = 0;
    NTSTATUS status = sim::TakeInjectedFailure("FltCreateFile");
    if (!NT_SUCCESS(status)) {
        return status;
    }
    if (EaBuffer != nullptr || EaLength != 0) {
        sim::NotImplemented("extended attributes in FltCreateFile");
    }
    // Every argument is honoured or refused: what the model does not implement
    // stops the run instead of being ignored.
    if (AllocationSize != nullptr && AllocationSize->QuadPart != 0) {
        sim::NotImplemented("an allocation size in FltCreateFile");
    }
    if ((FileAttributes & ~static_cast<ULONG>(FILE_ATTRIBUTE_NORMAL | FILE_ATTRIBUTE_DIRECTORY)) != 0) {
        sim::NotImplemented("file attributes other than FILE_ATTRIBUTE_NORMAL and FILE_ATTRIBUTE_DIRECTORY in FltCreateFile");
    }
    if ((Flags & IO_OPEN_PAGING_FILE) != 0) {
        sim::NotImplemented("IO_OPEN_PAGING_FILE in FltCreateFile");
    }
    if ((Flags & IO_OPEN_TARGET_DIRECTORY) != 0) {
        sim::NotImplemented("IO_OPEN_TARGET_DIRECTORY in FltCreateFile");
    }
    if ((Flags & ~static_cast<ULONG>(IO_NO_PARAMETER_CHECKING | IO_IGNORE_SHARE_ACCESS_CHECK)) != 0) {
        sim::NotImplemented("FltCreateFile flags other than IO_NO_PARAMETER_CHECKING and IO_IGNORE_SHARE_ACCESS_CHECK");
    }
    constexpr ULONG kImplementedOptions = FILE_DIRECTORY_FILE | FILE_WRITE_THROUGH | FILE_SEQUENTIAL_ONLY | FILE_SYNCHRONOUS_IO_ALERT |
                                          FILE_SYNCHRONOUS_IO_NONALERT | FILE_NON_DIRECTORY_FILE | FILE_COMPLETE_IF_OPLOCKED |
                                          FILE_RANDOM_ACCESS | FILE_DELETE_ON_CLOSE;
    if ((CreateOptions & ~kImplementedOptions) != 0) {
        sim::NotImplemented("this create option in FltCreateFile");
    }
    if ((ObjectAttributes->Attributes & ~static_cast<ULONG>(OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE)) != 0 ||
        ObjectAttributes->SecurityDescriptor != nullptr || ObjectAttributes->SecurityQualityOfService != nullptr) {
        sim::NotImplemented("object attributes other than OBJ_CASE_INSENSITIVE and OBJ_KERNEL_HANDLE in FltCreateFile");
    }
    const UNICODE_STRING* name = ObjectAttributes->ObjectName;
    std::u16string_view path(name->Buffer == nullptr ? u"" : name->Buffer, name->Length / sizeof(WCHAR));

    sim::fs::Volume* volume = nullptr;
    std::u16string rest;
    PFILE_OBJECT related = nullptr;
    if (ObjectAttributes->RootDirectory != nullptr) {
        sim::ob::HandleEntry entry;
        status = sim::ob::LookupHandle(sim::CurrentProcess(), ObjectAttributes->RootDirectory, sim::ob::ObjectType::File,
                                       &entry);
        if (!NT_SUCCESS(status)) {
            return status;
        }
        related = static_cast<PFILE_OBJECT>(entry.object);
        sim::fs::FileObjectBody* relatedBody = sim::fs::BodyOf(related);
        if (relatedBody == nullptr) {
            return STATUS_INVALID_HANDLE;
        }
        volume = relatedBody->volume;
        rest = std::u16string(path);
    } else {
        status = sim::fs::ResolveNtPath(path, &volume, &rest);
        if (!NT_SUCCESS(status)) {
            IoStatusBlock->Status = status;
            return status;
        }
        if (rest.empty()) {
            sim::NotImplemented("FltCreateFile of a volume device");
        }
    }
    // The instance must be attached to the volume the name leads to; another
    // volume is reached through the filter's instance there.
    if (instance != nullptr && instance->volume->volume != volume) {
        IoStatusBlock->Status = STATUS_INVALID_DEVICE_OBJECT_PARAMETER;
        return STATUS_INVALID_DEVICE_OBJECT_PARAMETER;
    }
    sim::fs::FileObjectBody* body = sim::fs::NewFileObject(volume, rest, related);
    body->ignoreShareAccess = (Flags & IO_IGNORE_SHARE_ACCESS_CHECK) != 0;
    IO_SECURITY_CONTEXT security{};
    security.DesiredAccess = sim::fs::MapGenericFileAccess(DesiredAccess);
    security.FullCreateOptions = CreateOptions;
    IoRequest request;
    request.majorFunction = IRP_MJ_CREATE;
    request.irpFlags = IRP_CREATE_OPERATION | IRP_SYNCHRONOUS_API;
    request.operationFlags = (ObjectAttributes->Attributes & OBJ_CASE_INSENSITIVE) ? 0 : SL_CASE_SENSITIVE;
    request.callbackFlags |= FLTFL_CALLBACK_DATA_GENERATED_IO;
    request.requestorMode = KernelMode;
    request.file = body;
    request.issuedBy = instance;
    request.parameters.Create.SecurityContext = &security;
    request.parameters.Create.Options = (CreateDisposition << 24) | (CreateOptions & FILE_VALID_OPTION_FLAGS);
    request.parameters.Create.FileAttributes = static_cast<USHORT>(FileAttributes);
    request.parameters.Create.ShareAccess = static_cast<USHORT>(ShareAccess);
    IO_STATUS_BLOCK result = sim::flt::Perform(request);
    *IoStatusBlock = result;
    if (!NT_SUCCESS(result.Status)) {
        sim::fs::DiscardFileObject(body);
        return result.Status;
    }
    // Handles made outside the System process without OBJ_KERNEL_HANDLE belong to that process.
    bool kernelHandle = (ObjectAttributes->Attributes & OBJ_KERNEL_HANDLE) != 0 || sim::CurrentProcess() == sim::SystemProcess();
    status = sim::ob::CreateHandle(sim::CurrentProcess(), kernelHandle, sim::ob::ObjectType::File, &body->fo,
                                   body->grantedAccess, &kKernelFileHandle, FileHandle);
    if (NT_SUCCESS(status)) {
        sim::fs::AddFileHandle(body);
    }
    if (!NT_SUCCESS(status)) {
        sim::flt::SendCleanup(&body->fo, KernelMode);
        sim::ob::DereferenceObject(&body->fo);
        return status;
    }
    return result.Status;
}

extern "C" NTSTATUS FLTAPI FltClose(HANDLE FileHandle) {
    sim::Count("FltClose");
    sim::RequireIrqlAtMost(PASSIVE_LEVEL, "FltClose");
    return sim::ob::CloseHandle(sim::CurrentProcess(), FileHandle);
}

extern "C" NTSTATUS FLTAPI FltReadFile(PFLT_INSTANCE InitiatingInstance, PFILE_OBJECT FileObject, PLARGE_INTEGER ByteOffset,
                                       ULONG Length, PVOID Buffer, ULONG Flags, PULONG BytesRead, PVOID CallbackRoutine,
                                       PVOID CallbackContext) {
    sim::Count("FltReadFile");
    (void)CallbackContext;
    NTSTATUS status = sim::TakeInjectedFailure("FltReadFile");
    if (!NT_SUCCESS(status)) {
        if (BytesRead != nullptr) {
            *BytesRead = 0;
        }
        return status;
    }
    return ReadWritep(false, InitiatingInstance, FileObject, ByteOffset, Length, Buffer, Flags, BytesRead, CallbackRoutine);
}

extern "C" NTSTATUS FLTAPI FltWriteFile(PFLT_INSTANCE InitiatingInstance, PFILE_OBJECT FileObject, PLARGE_INTEGER ByteOffset,
                                        ULONG Length, PVOID Buffer, ULONG Flags, PULONG BytesWritten, PVOID CallbackRoutine,
                                        PVOID CallbackContext) {
    sim::Count("FltWriteFile");
    (void)CallbackContext;
    NTSTATUS status = sim::TakeInjectedFailure("FltWriteFile");
    if (!NT_SUCCESS(status)) {
        if (BytesWritten != nullptr) {
            *BytesWritten = 0;
        }
        return status;
    }
    return ReadWritep(true, InitiatingInstance, FileObject, ByteOffset, Length, Buffer, Flags, BytesWritten,
                      CallbackRoutine);
}

extern "C" NTSTATUS FLTAPI FltQueryInformationFile(PFLT_INSTANCE Instance, PFILE_OBJECT FileObject, PVOID FileInformation,
                                                   ULONG Length, FILE_INFORMATION_CLASS FileInformationClass,
                                                   PULONG LengthReturned) {
    sim::Count("FltQueryInformationFile");
    sim::RequireIrqlAtMost(PASSIVE_LEVEL, "FltQueryInformationFile");
    if (LengthReturned != nullptr) {
        *LengthReturned = 0;
    }
    sim::fs::FileObjectBody* body;
    _FLT_INSTANCE* instance = InstanceForIop(Instance, FileObject, "FltQueryInformationFile", &body);
    NTSTATUS status = sim::TakeInjectedFailure("FltQueryInformationFile");
    if (!NT_SUCCESS(status)) {
        return status;
    }
    IoRequest request;
    request.majorFunction = IRP_MJ_QUERY_INFORMATION;
    request.irpFlags = IRP_BUFFERED_IO | IRP_INPUT_OPERATION | IRP_SYNCHRONOUS_API;
    request.callbackFlags |= FLTFL_CALLBACK_DATA_GENERATED_IO;
    request.requestorMode = KernelMode;
    request.file = body;
    request.issuedBy = instance;
    request.parameters.QueryFileInformation.Length = Length;
    request.parameters.QueryFileInformation.FileInformationClass = FileInformationClass;
    request.parameters.QueryFileInformation.InfoBuffer = FileInformation;
    IO_STATUS_BLOCK result = sim::flt::Perform(request);
    if (LengthReturned != nullptr && NT_SUCCESS(result.Status)) {
        *LengthReturned = static_cast<ULONG>(result.Information);
    }
    return result.Status;
}
