// Stream-handle contexts: allocation through the pool with the registered tag,
// reference counts, attach with keep-if-exists or replace, look-up, delete, the
// cleanup callback once at the last reference, and automatic deletion when the
// file object is closed or the instance detaches.
#include "sim/ke/stack.h"
#include "sim/loader/loader.h"
#include "sim/flt/io.h"
#include "sim/ex/pool.h"

#include <map>
#include <unordered_map>

namespace sim::flt {

namespace {

struct Context {
    _FLT_FILTER* filter = nullptr;
    FLT_CONTEXT_TYPE type = 0;
    SIZE_T size = 0;
    ULONG tag = 0;
    PFLT_CONTEXT_CLEANUP_CALLBACK cleanup = nullptr;
    LONG references = 0;
    bool linked = false;
    _FLT_INSTANCE* instance = nullptr;
    PFILE_OBJECT fileObject = nullptr;
};

std::mutex gLock;
std::unordered_map<PFLT_CONTEXT, Context> gContexts;
std::map<std::pair<_FLT_INSTANCE*, PFILE_OBJECT>, PFLT_CONTEXT> gStreamHandle;

const bool gRegistered = [] {
    sim::RegisterResetHook("flt_context", [] {
        std::lock_guard<std::mutex> guard(gLock);
        gContexts.clear();
        gStreamHandle.clear();
    });
    return true;
}();

Context& CheckContextLocked(PFLT_CONTEXT context, const char* routine) {
    auto it = gContexts.find(context);
    if (it == gContexts.end()) {
        sim::BugCheck(sim::kBugFltmgrFileSystem, "FLTMGR_FILE_SYSTEM", std::string(routine) + ": not a live context",
                      reinterpret_cast<ULONG_PTR>(context));
    }
    return it->second;
}

// Drops one reference; at zero the cleanup callback runs, then the memory goes.
void ReleaseReference(PFLT_CONTEXT context, const char* routine) {
    PFLT_CONTEXT_CLEANUP_CALLBACK cleanup = nullptr;
    FLT_CONTEXT_TYPE type = 0;
    ULONG tag = 0;
    {
        std::lock_guard<std::mutex> guard(gLock);
        Context& c = CheckContextLocked(context, routine);
        if (c.references <= 0) {
            sim::BugCheck(sim::kBugFltmgrFileSystem, "FLTMGR_FILE_SYSTEM", std::string(routine) + ": context released too often",
                          reinterpret_cast<ULONG_PTR>(context));
        }
        if (--c.references > 0) {
            return;
        }
        cleanup = c.cleanup;
        type = c.type;
        tag = c.tag;
    }
    if (cleanup != nullptr) {
        sim::OnKernelStack("context cleanup", sim::StackEntry::SystemCall, [&] {
            const sim::loader::DriverCall driverCall(reinterpret_cast<const void*>(cleanup), "context cleanup");
            cleanup(context, type);
        });
    }
    {
        std::lock_guard<std::mutex> guard(gLock);
        gContexts.erase(context);
    }
    sim::pool::SetOwner(context, sim::pool::BlockOwner::Caller);
    ExFreePoolWithTag(context, tag);
}

// Unlinks every stream-handle context matching `match`, then drops the link references.
template <typename Match>
void UnlinkWhere(Match match) {
    std::vector<PFLT_CONTEXT> unlinked;
    {
        std::lock_guard<std::mutex> guard(gLock);
        for (auto it = gStreamHandle.begin(); it != gStreamHandle.end();) {
            if (match(it->first.first, it->first.second)) {
                Context& c = gContexts.at(it->second);
                c.linked = false;
                unlinked.push_back(it->second);
                it = gStreamHandle.erase(it);
            } else {
                ++it;
            }
        }
    }
    for (PFLT_CONTEXT context : unlinked) {
        ReleaseReference(context, "context teardown");
    }
}

NTSTATUS CheckStreamTargetp(_FLT_INSTANCE* instance, PFILE_OBJECT fileObject) {
    if (instance->detached) {
        return STATUS_FLT_DELETING_OBJECT;
    }
    sim::fs::FileObjectBody* body = sim::fs::BodyOf(fileObject);
    if (body == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    if (!body->opened) {
        return STATUS_INVALID_PARAMETER;  // pre-create: the file object is not open yet
    }
    if (body->pagingFile) {
        return STATUS_NOT_SUPPORTED;  // paging files carry no stream or stream-handle contexts
    }
    return STATUS_SUCCESS;
}

}  // namespace

void DeleteFileObjectContexts(PFILE_OBJECT fileObject) {
    UnlinkWhere([fileObject](_FLT_INSTANCE*, PFILE_OBJECT fo) { return fo == fileObject; });
}

void DeleteInstanceContexts(_FLT_INSTANCE* instance) {
    UnlinkWhere([instance](_FLT_INSTANCE* i, PFILE_OBJECT) { return i == instance; });
}

size_t LiveContextCount() {
    std::lock_guard<std::mutex> guard(gLock);
    return gContexts.size();
}

}  // namespace sim::flt

using sim::flt::Context;

extern "C" NTSTATUS FLTAPI FltAllocateContext(PFLT_FILTER Filter, FLT_CONTEXT_TYPE ContextType, SIZE_T ContextSize,
                                              POOL_TYPE PoolType, PFLT_CONTEXT* ReturnedContext) {
    sim::Count("FltAllocateContext");
    sim::RequireIrqlAtMost(APC_LEVEL, "FltAllocateContext");
    if (ReturnedContext != nullptr) {
        *ReturnedContext = nullptr;
    }
    _FLT_FILTER* filter = sim::flt::CheckFilter(Filter, "FltAllocateContext");
    if (ReturnedContext == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    if (filter->state.load() != sim::flt::FilterState::Registered) {
        return STATUS_FLT_DELETING_OBJECT;
    }
    if (ContextSize == 0 || ContextSize > 0xFFFF) {
        return STATUS_INVALID_PARAMETER;
    }
    if (PoolType != NonPagedPool && PoolType != NonPagedPoolNx && PoolType != PagedPool) {
        return STATUS_INVALID_PARAMETER;
    }
    const FLT_CONTEXT_REGISTRATION* registration = nullptr;
    for (const auto& entry : filter->contextRegistrations) {
        if (entry.ContextType != ContextType) {
            continue;
        }
        bool fits = entry.Size == static_cast<SIZE_T>(-1) || entry.Size == ContextSize ||
                    ((entry.Flags & 0x1 /* NO_EXACT_SIZE_MATCH */) && ContextSize <= entry.Size);
        if (fits) {
            registration = &entry;
            break;
        }
    }
    if (registration == nullptr) {
        return STATUS_FLT_CONTEXT_ALLOCATION_NOT_FOUND;
    }
    if (ContextType == FLT_VOLUME_CONTEXT && PoolType == PagedPool) {
        return STATUS_FLT_MUST_BE_NONPAGED_POOL;
    }
    if (registration->ContextAllocateCallback != nullptr || registration->ContextFreeCallback != nullptr) {
        sim::NotImplemented("context allocate/free callbacks");
    }
    NTSTATUS status = sim::TakeInjectedFailure("FltAllocateContext");
    if (!NT_SUCCESS(status)) {
        return status;
    }
    PVOID memory = ExAllocatePoolWithTag(PoolType, ContextSize, registration->PoolTag);
    if (memory == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    sim::pool::SetOwner(memory, sim::pool::BlockOwner::FilterContext);
    Context context;
    context.filter = filter;
    context.type = ContextType;
    context.size = ContextSize;
    context.tag = registration->PoolTag;
    context.cleanup = registration->ContextCleanupCallback;
    context.references = 1;
    {
        std::lock_guard<std::mutex> guard(sim::flt::gLock);
        sim::flt::gContexts[memory] = context;
    }
    *ReturnedContext = memory;
    return STATUS_SUCCESS;
}

extern "C" NTSTATUS FLTAPI FltSetStreamHandleContext(PFLT_INSTANCE Instance, PFILE_OBJECT FileObject,
                                                     FLT_SET_CONTEXT_OPERATION Operation, PFLT_CONTEXT NewContext,
                                                     PFLT_CONTEXT* OldContext) {
    sim::Count("FltSetStreamHandleContext");
    sim::RequireIrqlAtMost(APC_LEVEL, "FltSetStreamHandleContext");
    if (OldContext != nullptr) {
        *OldContext = nullptr;
    }
    _FLT_INSTANCE* instance = sim::flt::CheckInstance(Instance, "FltSetStreamHandleContext");
    if (Operation != FLT_SET_CONTEXT_REPLACE_IF_EXISTS && Operation != FLT_SET_CONTEXT_KEEP_IF_EXISTS) {
        return STATUS_INVALID_PARAMETER;
    }
    NTSTATUS status = sim::flt::CheckStreamTargetp(instance, FileObject);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    status = sim::TakeInjectedFailure("FltSetStreamHandleContext");
    if (!NT_SUCCESS(status)) {
        return status;
    }
    PFLT_CONTEXT replaced = nullptr;
    {
        std::lock_guard<std::mutex> guard(sim::flt::gLock);
        Context& context = sim::flt::CheckContextLocked(NewContext, "FltSetStreamHandleContext");
        if (context.type != FLT_STREAMHANDLE_CONTEXT || context.filter != instance->filter) {
            return STATUS_INVALID_PARAMETER;
        }
        if (context.linked) {
            return STATUS_FLT_CONTEXT_ALREADY_LINKED;
        }
        auto key = std::make_pair(instance, FileObject);
        auto it = sim::flt::gStreamHandle.find(key);
        if (it != sim::flt::gStreamHandle.end()) {
            if (Operation == FLT_SET_CONTEXT_KEEP_IF_EXISTS) {
                if (OldContext != nullptr) {
                    sim::flt::gContexts.at(it->second).references++;
                    *OldContext = it->second;
                }
                return STATUS_FLT_CONTEXT_ALREADY_DEFINED;
            }
            replaced = it->second;
            sim::flt::gContexts.at(replaced).linked = false;
        }
        sim::flt::gStreamHandle[key] = NewContext;
        context.linked = true;
        context.instance = instance;
        context.fileObject = FileObject;
        context.references++;
    }
    if (replaced != nullptr) {
        if (OldContext != nullptr) {
            *OldContext = replaced;  // the link's reference passes to the caller
        } else {
            sim::flt::ReleaseReference(replaced, "FltSetStreamHandleContext");
        }
    }
    return STATUS_SUCCESS;
}

extern "C" NTSTATUS FLTAPI FltGetStreamHandleContext(PFLT_INSTANCE Instance, PFILE_OBJECT FileObject, PFLT_CONTEXT* Context) {
    sim::Count("FltGetStreamHandleContext");
    sim::RequireIrqlAtMost(APC_LEVEL, "FltGetStreamHandleContext");
    if (Context != nullptr) {
        *Context = nullptr;
    }
    _FLT_INSTANCE* instance = sim::flt::CheckInstance(Instance, "FltGetStreamHandleContext");
    if (Context == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    std::lock_guard<std::mutex> guard(sim::flt::gLock);
    auto it = sim::flt::gStreamHandle.find({instance, FileObject});
    if (it == sim::flt::gStreamHandle.end()) {
        return STATUS_NOT_FOUND;
    }
    sim::flt::gContexts.at(it->second).references++;
    *Context = it->second;
    return STATUS_SUCCESS;
}

extern "C" NTSTATUS FLTAPI FltDeleteStreamHandleContext(PFLT_INSTANCE Instance, PFILE_OBJECT FileObject,
                                                        PFLT_CONTEXT* OldContext) {
    sim::Count("FltDeleteStreamHandleContext");
    sim::RequireIrqlAtMost(APC_LEVEL, "FltDeleteStreamHandleContext");
    if (OldContext != nullptr) {
        *OldContext = nullptr;
    }
    _FLT_INSTANCE* instance = sim::flt::CheckInstance(Instance, "FltDeleteStreamHandleContext");
    PFLT_CONTEXT removed;
    {
        std::lock_guard<std::mutex> guard(sim::flt::gLock);
        auto it = sim::flt::gStreamHandle.find({instance, FileObject});
        if (it == sim::flt::gStreamHandle.end()) {
            return STATUS_NOT_FOUND;
        }
        removed = it->second;
        sim::flt::gContexts.at(removed).linked = false;
        sim::flt::gStreamHandle.erase(it);
    }
    if (OldContext != nullptr) {
        *OldContext = removed;
    } else {
        sim::flt::ReleaseReference(removed, "FltDeleteStreamHandleContext");
    }
    return STATUS_SUCCESS;
}

extern "C" VOID FLTAPI FltReleaseContext(PFLT_CONTEXT Context) {
    sim::Count("FltReleaseContext");
    sim::RequireIrqlAtMost(DISPATCH_LEVEL, "FltReleaseContext");
    sim::flt::ReleaseReference(Context, "FltReleaseContext");
}

extern "C" VOID FLTAPI FltReferenceContext(PFLT_CONTEXT Context) {
    sim::Count("FltReferenceContext");
    sim::RequireIrqlAtMost(DISPATCH_LEVEL, "FltReferenceContext");
    std::lock_guard<std::mutex> guard(sim::flt::gLock);
    sim::flt::CheckContextLocked(Context, "FltReferenceContext").references++;
}
