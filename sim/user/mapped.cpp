// Mapped views of files as the memory manager gives them to a program: the
// view's pages come in through paging reads (an MDL over the pages) in the
// program's thread, the view is memory the program changes directly, and the changes reach the file
// system only as paging writes (no user buffer, an MDL over the pages), either
// when the program flushes the view (in its own thread) or when the mapped page
// writer gets to the dirty pages later (in a System thread). The section keeps
// the file object it was made from, so a paging write can come after the
// program closed its handle, carrying that file object.
#include "sim/user/file.h"

#include "sim/flt/io.h"
#include "sim/io/mdl.h"
#include "sim/ob/ob.h"
#include "sim/ps/ps.h"

#include <algorithm>
#include <cstring>
#include <list>
#include <memory>

namespace sim::user {

struct MappedView {
    PFILE_OBJECT fileObject = nullptr;  // referenced while the view or its dirty pages live
    std::vector<uint8_t> memory;        // the view, a whole number of pages
    std::vector<uint8_t> written;       // the pages as the file last had them
    size_t fileSize = 0;
    bool mapped = true;
};

namespace {

constexpr size_t kPage = 0x1000;

std::mutex gLock;
std::list<std::unique_ptr<MappedView>> gViews;

const bool gRegistered = [] {
    sim::RegisterResetHook("user_mapped", [] {
        std::lock_guard<std::mutex> guard(gLock);
        gViews.clear();  // the file objects went with the object manager's reset
    });
    return true;
}();

// The memory manager reads a file in clusters of up to 16 pages.
constexpr size_t kReadCluster = 16 * kPage;

// One paging read or write of [offset, offset + length) of the file through
// the view's memory, in the current thread: a write flushes those pages, a
// read is the page fault that brings them in. An MDL, no buffer.
NTSTATUS PagingIo(UCHAR major, MappedView* view, PFILE_OBJECT fileObject, size_t offset, size_t length) {
    const bool write = major == IRP_MJ_WRITE;
    PMDL mdl = IoAllocateMdl(view->memory.data() + offset, static_cast<ULONG>(length), FALSE, FALSE, nullptr);
    if (mdl == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    MmProbeAndLockPages(mdl, KernelMode, write ? IoReadAccess : IoWriteAccess);
    sim::flt::IoRequest request;
    request.majorFunction = major;
    request.irpFlags = IRP_PAGING_IO | IRP_NOCACHE | IRP_SYNCHRONOUS_PAGING_IO |
                       (write ? IRP_WRITE_OPERATION : IRP_READ_OPERATION);
    request.requestorMode = KernelMode;
    request.file = sim::fs::BodyOf(fileObject);
    if (write) {
        request.parameters.Write.Length = static_cast<ULONG>(length);
        request.parameters.Write.ByteOffset.QuadPart = static_cast<LONGLONG>(offset);
        request.parameters.Write.WriteBuffer = nullptr;
        request.parameters.Write.MdlAddress = mdl;
    } else {
        request.parameters.Read.Length = static_cast<ULONG>(length);
        request.parameters.Read.ByteOffset.QuadPart = static_cast<LONGLONG>(offset);
        request.parameters.Read.ReadBuffer = nullptr;
        request.parameters.Read.MdlAddress = mdl;
    }
    IO_STATUS_BLOCK result = sim::flt::Perform(request);
    MmUnlockPages(mdl);
    IoFreeMdl(mdl);
    return result.Status;
}

// Writes every dirty run of pages of the view; a page that fails stays dirty.
NTSTATUS WriteDirtyPages(MappedView* view) {
    NTSTATUS status = STATUS_SUCCESS;
    const size_t pages = view->memory.size() / kPage;
    size_t page = 0;
    while (page < pages) {
        auto dirty = [view](size_t p) {
            return std::memcmp(view->memory.data() + p * kPage, view->written.data() + p * kPage, kPage) != 0;
        };
        if (!dirty(page)) {
            ++page;
            continue;
        }
        size_t end = page + 1;
        while (end < pages && dirty(end)) {
            ++end;
        }
        // Whole pages, the last one too: the file system cuts a paging write
        // at the end of the file (what the program put past it is dropped).
        const size_t from = page * kPage;
        const size_t to = end * kPage;
        NTSTATUS written = PagingIo(IRP_MJ_WRITE, view, view->fileObject, from, to - from);
        if (NT_SUCCESS(written)) {
            std::memcpy(view->written.data() + from, view->memory.data() + from, to - from);
        } else if (NT_SUCCESS(status)) {
            status = written;
        }
        page = end;
    }
    return status;
}

bool Dirty(const MappedView* view) { return view->memory != view->written; }

// Drops a view whose memory is unmapped and clean.
void ForgetIfDoneLocked(MappedView* view) {
    if (view->mapped || Dirty(view)) {
        return;
    }
    sim::ob::DereferenceObject(view->fileObject);
    gViews.remove_if([view](const std::unique_ptr<MappedView>& v) { return v.get() == view; });
}

}  // namespace

NTSTATUS MapViewOfFile(_EPROCESS* process, HANDLE handle, MappedView** view, uint8_t** data, size_t* size) {
    *view = nullptr;
    *data = nullptr;
    *size = 0;
    sim::ob::HandleEntry entry;
    NTSTATUS status = sim::ob::LookupHandle(process, handle, sim::ob::ObjectType::File, &entry);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    auto* fo = static_cast<PFILE_OBJECT>(entry.object);
    sim::fs::FileObjectBody* body = sim::fs::BodyOf(fo);
    if (body == nullptr || body->volumeOpen) {
        return STATUS_INVALID_PARAMETER;
    }
    // A read-write view needs a handle that may read and write the data.
    if ((entry.grantedAccess & (FILE_READ_DATA | FILE_WRITE_DATA)) != (FILE_READ_DATA | FILE_WRITE_DATA)) {
        return STATUS_ACCESS_DENIED;
    }
    // The size comes from the file system's own record of the file (no I/O).
    auto owned = std::make_unique<MappedView>();
    std::vector<uint8_t> bytes;
    status = sim::fs::ReadWholeFile(fo, &bytes);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    if (bytes.empty()) {
        return STATUS_MAPPED_FILE_SIZE_ZERO;
    }
    owned->fileSize = bytes.size();
    owned->memory.assign((owned->fileSize + kPage - 1) / kPage * kPage, 0);
    // The program reads the view at once: its pages fault in through paging
    // reads in its own thread, whole pages in clusters, the last one reaching
    // past the end of the file (the rest of that page stays zero).
    {
        sim::ThreadScope scope(process, sim::InThread::Main);
        for (size_t offset = 0; offset < owned->memory.size(); offset += kReadCluster) {
            status = PagingIo(IRP_MJ_READ, owned.get(), fo, offset, std::min(kReadCluster, owned->memory.size() - offset));
            if (!NT_SUCCESS(status)) {
                return status;
            }
        }
    }
    owned->written = owned->memory;
    sim::ob::ReferenceObject(fo);
    owned->fileObject = fo;
    *view = owned.get();
    *data = owned->memory.data();
    *size = owned->fileSize;
    std::lock_guard<std::mutex> guard(gLock);
    gViews.push_back(std::move(owned));
    return STATUS_SUCCESS;
}

NTSTATUS FlushViewOfFile(_EPROCESS* process, MappedView* view) {
    sim::ThreadScope scope(process, sim::InThread::Main);
    return WriteDirtyPages(view);
}

NTSTATUS UnmapViewOfFile(_EPROCESS* process, MappedView* view) {
    (void)process;
    std::lock_guard<std::mutex> guard(gLock);
    if (!view->mapped) {
        return STATUS_NOT_MAPPED_VIEW;
    }
    view->mapped = false;
    ForgetIfDoneLocked(view);
    return STATUS_SUCCESS;
}

size_t RunMappedPageWriter() {
    std::vector<MappedView*> dirty;
    {
        std::lock_guard<std::mutex> guard(gLock);
        for (auto& view : gViews) {
            if (Dirty(view.get())) {
                dirty.push_back(view.get());
            }
        }
    }
    sim::ThreadScope scope(sim::SystemProcess());
    for (MappedView* view : dirty) {
        (void)WriteDirtyPages(view);
    }
    std::lock_guard<std::mutex> guard(gLock);
    for (MappedView* view : dirty) {
        ForgetIfDoneLocked(view);
    }
    return dirty.size();
}

}  // namespace sim::user
