// File-name information: the normalized and opened names of a request's file
// in device form (\Device\HarddiskVolume1\dir\file.txt), destination names for
// renames, reference counts, and the parsing of a name into its components.
#include "sim/flt/io.h"

#include "sim/ob/ob.h"
#include "sim/ex/pool.h"

#include <atomic>
#include <unordered_map>

namespace sim::flt {

namespace {

// Name records come from paged pool under a Filter Manager tag ("FMfn").
constexpr ULONG kNameTag = 'nfMF';

std::mutex gLock;
std::unordered_map<const FLT_FILE_NAME_INFORMATION*, LONG> gNames;
std::atomic<NTSTATUS> gThroughLinkStatus{STATUS_OBJECT_NAME_INVALID};

const bool gRegistered = [] {
    sim::RegisterResetHook("flt_name", [] {
        std::lock_guard<std::mutex> guard(gLock);
        gNames.clear();
        gThroughLinkStatus = STATUS_OBJECT_NAME_INVALID;
    });
    return true;
}();

UNICODE_STRING Slice(const UNICODE_STRING& name, size_t start, size_t end) {
    UNICODE_STRING s{};
    s.Buffer = name.Buffer + start;
    s.Length = static_cast<USHORT>((end - start) * sizeof(WCHAR));
    s.MaximumLength = s.Length;
    return s;
}

bool IsRedirector(std::u16string_view volume) {
    std::u16string upper;
    for (char16_t c : volume) {
        upper += (c >= u'a' && c <= u'z') ? static_cast<char16_t>(c - 32) : c;
    }
    return upper == u"\\DEVICE\\LANMANREDIRECTOR" || upper == u"\\DEVICE\\MUP";
}

NTSTATUS CheckOptionsp(FLT_FILE_NAME_OPTIONS options, bool preCreate) {
    ULONG format = options & 0xFF;
    ULONG method = options & 0xFF00;
    if (format == FLT_FILE_NAME_SHORT) {
        if (preCreate) {
            return STATUS_FLT_INVALID_NAME_REQUEST;
        }
        sim::NotImplemented("short (8.3) file names");
    }
    if (format != FLT_FILE_NAME_NORMALIZED && format != FLT_FILE_NAME_OPENED) {
        return STATUS_INVALID_PARAMETER;
    }
    if (method != FLT_FILE_NAME_QUERY_DEFAULT && method != FLT_FILE_NAME_QUERY_CACHE_ONLY &&
        method != FLT_FILE_NAME_QUERY_FILESYSTEM_ONLY && method != FLT_FILE_NAME_QUERY_ALWAYS_ALLOW_CACHE_LOOKUP) {
        return STATUS_INVALID_PARAMETER;
    }
    // The model keeps no name cache: a cache-only query always misses.
    if (method == FLT_FILE_NAME_QUERY_CACHE_ONLY) {
        return STATUS_FLT_NAME_CACHE_MISS;
    }
    return STATUS_SUCCESS;
}

NTSTATUS NameFaultp(ULONG format, const sim::fs::Volume* volume, std::u16string_view path) {
    sim::fs::FaultOp op = format == FLT_FILE_NAME_NORMALIZED ? sim::fs::FaultOp::NameQueryNormalized
                                                             : sim::fs::FaultOp::NameQueryOpened;
    return sim::fs::TakeFault(op, volume, path);
}

}  // namespace

PFLT_FILE_NAME_INFORMATION NewFileNameInformation(std::u16string_view name, FLT_FILE_NAME_OPTIONS format) {
    if (name.size() > 0x7FFF) {
        return nullptr;
    }
    SIZE_T bytes = sizeof(FLT_FILE_NAME_INFORMATION) + name.size() * sizeof(WCHAR);
    auto* info = static_cast<PFLT_FILE_NAME_INFORMATION>(ExAllocatePoolWithTag(PagedPool, bytes, kNameTag));
    if (info == nullptr) {
        return nullptr;
    }
    sim::pool::SetOwner(info, sim::pool::BlockOwner::FileNameRecord);
    std::memset(info, 0, sizeof(*info));
    info->Size = sizeof(FLT_FILE_NAME_INFORMATION);
    info->Format = format & 0xFF;
    auto* buffer = reinterpret_cast<PWCHAR>(info + 1);
    std::memcpy(buffer, name.data(), name.size() * sizeof(WCHAR));
    info->Name.Buffer = buffer;
    info->Name.Length = static_cast<USHORT>(name.size() * sizeof(WCHAR));
    info->Name.MaximumLength = info->Name.Length;
    std::lock_guard<std::mutex> guard(gLock);
    gNames[info] = 1;
    return info;
}

void SetDestinationThroughLinkStatus(NTSTATUS status) { gThroughLinkStatus = status; }

size_t LiveFileNameCount() {
    std::lock_guard<std::mutex> guard(gLock);
    return gNames.size();
}

}  // namespace sim::flt

extern "C" NTSTATUS FLTAPI FltGetFileNameInformation(PFLT_CALLBACK_DATA CallbackData, FLT_FILE_NAME_OPTIONS NameOptions,
                                                     PFLT_FILE_NAME_INFORMATION* FileNameInformation) {
    sim::Count("FltGetFileNameInformation");
    sim::RequireIrqlAtMost(APC_LEVEL, "FltGetFileNameInformation");
    if (FileNameInformation != nullptr) {
        *FileNameInformation = nullptr;
    }
    sim::flt::RequestState* state = sim::flt::StateOf(CallbackData);
    if (state == nullptr) {
        sim::BugCheck(sim::kBugFltmgrFileSystem, "FLTMGR_FILE_SYSTEM", "FltGetFileNameInformation: not live callback data",
                      reinterpret_cast<ULONG_PTR>(CallbackData));
    }
    if (FileNameInformation == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    const sim::flt::IoRequest& request = *state->request;
    sim::fs::FileObjectBody* body = request.file;
    bool preCreate = request.majorFunction == IRP_MJ_CREATE && !state->inPostOperation;
    NTSTATUS status = sim::flt::CheckOptionsp(NameOptions, preCreate);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    if ((CallbackData->Iopb->IrpFlags & IRP_PAGING_IO) ||
        (request.majorFunction == IRP_MJ_CLOSE && state->inPostOperation)) {
        return STATUS_FLT_INVALID_NAME_REQUEST;
    }
    status = sim::TakeInjectedFailure("FltGetFileNameInformation");
    if (!NT_SUCCESS(status)) {
        return status;
    }
    ULONG format = NameOptions & 0xFF;
    sim::fs::Volume* volume = body->volume;
    std::u16string path;
    if (body->volumeOpen) {
        path.clear();
    } else if (body->opened && body->fo.FsContext != nullptr) {
        if (format == FLT_FILE_NAME_NORMALIZED) {
            sim::fs::CurrentPath(&body->fo, &path);
        } else {
            path = body->openedPath;
        }
    } else {
        // Before the file system opened it (pre-create, or a create that failed):
        // the opened name is the caller's text, the normalized one needs every parent.
        status = sim::fs::CreatePathOf(body, &path);
        if (!NT_SUCCESS(status)) {
            return status;
        }
        // An open of a target's directory is named by that directory.
        if ((request.operationFlags & SL_OPEN_TARGET_DIRECTORY) != 0) {
            const size_t end = path.find_last_not_of(u'\\');
            const size_t cut = end == std::u16string::npos ? std::u16string::npos : path.rfind(u'\\', end);
            if (cut == std::u16string::npos) {
                return STATUS_OBJECT_NAME_INVALID;
            }
            path = cut == 0 ? u"\\" : path.substr(0, cut);
        }
        if (format == FLT_FILE_NAME_NORMALIZED) {
            bool exists = false;
            std::u16string normalized;
            status = sim::fs::NormalizePath(volume, path, &normalized, &exists);
            if (!NT_SUCCESS(status)) {
                return status;
            }
            path = normalized;
        }
    }
    status = sim::flt::NameFaultp(format, volume, path.empty() ? u"\\" : path);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    PFLT_FILE_NAME_INFORMATION info = sim::flt::NewFileNameInformation(volume->deviceName + path, format);
    if (info == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    // The volume part is filled at once, as drivers commonly rely on it before parsing.
    info->Volume = sim::flt::Slice(info->Name, 0, volume->deviceName.size());
    *FileNameInformation = info;
    return STATUS_SUCCESS;
}

extern "C" NTSTATUS FLTAPI FltGetDestinationFileNameInformation(PFLT_INSTANCE Instance, PFILE_OBJECT FileObject,
                                                                HANDLE RootDirectory, PWSTR FileName, ULONG FileNameLength,
                                                                FLT_FILE_NAME_OPTIONS NameOptions,
                                                                PFLT_FILE_NAME_INFORMATION* RetFileNameInformation) {
    sim::Count("FltGetDestinationFileNameInformation");
    sim::RequireIrqlAtMost(APC_LEVEL, "FltGetDestinationFileNameInformation");
    if (RetFileNameInformation != nullptr) {
        *RetFileNameInformation = nullptr;
    }
    sim::flt::CheckInstance(Instance, "FltGetDestinationFileNameInformation");
    if (RetFileNameInformation == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    if ((NameOptions & 0xFF) == FLT_FILE_NAME_SHORT) {
        return STATUS_FLT_INVALID_NAME_REQUEST;
    }
    NTSTATUS status = sim::flt::CheckOptionsp(NameOptions, false);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    if ((FileName == nullptr && FileNameLength != 0) || (FileNameLength & 1) != 0) {
        return STATUS_INVALID_PARAMETER;
    }
    // An empty name, or one longer than any counted string holds, names nothing.
    if (FileNameLength == 0 || FileNameLength > 0xFFFE) {
        return STATUS_OBJECT_NAME_INVALID;
    }
    sim::fs::FileObjectBody* body = sim::fs::BodyOf(FileObject);
    if (body == nullptr || !body->opened) {
        return STATUS_INVALID_PARAMETER;
    }
    status = sim::TakeInjectedFailure("FltGetDestinationFileNameInformation");
    if (!NT_SUCCESS(status)) {
        return status;
    }
    std::u16string_view name(FileName, FileNameLength / sizeof(WCHAR));
    if (RootDirectory == nullptr && name[0] == u'\\') {
        // The destination's parent must be a directory of a file system. One in
        // the object namespace (a DOS-device name such as \??\Name, which the
        // I/O manager itself would follow as a link) is refused.
        size_t slash = name.rfind(u'\\');
        sim::ob::LookupResult parent;
        if (NT_SUCCESS(sim::ob::ParseName(slash == 0 ? std::u16string_view(u"\\") : name.substr(0, slash), &parent)) &&
            parent.type == sim::ob::ObjectType::Directory) {
            return sim::flt::gThroughLinkStatus.load();
        }
    }
    std::u16string target;
    status = sim::fs::DestinationPath(FileObject, RootDirectory, name, &target);
    if (status == STATUS_NOT_SAME_DEVICE) {
        return STATUS_MOUNT_POINT_NOT_RESOLVED;
    }
    if (!NT_SUCCESS(status)) {
        return status;
    }
    status = sim::flt::NameFaultp(NameOptions & 0xFF, body->volume, target);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    // Both formats need the destination's parent and a valid final component;
    // only the normalized one takes the on-disk case.
    ULONG format = NameOptions & 0xFF;
    bool exists = false;
    std::u16string normalized;
    status = sim::fs::NormalizePath(body->volume, target, &normalized, &exists);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    if (format == FLT_FILE_NAME_NORMALIZED) {
        target = normalized;
    }
    PFLT_FILE_NAME_INFORMATION info = sim::flt::NewFileNameInformation(body->volume->deviceName + target, format);
    if (info == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    info->Volume = sim::flt::Slice(info->Name, 0, body->volume->deviceName.size());
    *RetFileNameInformation = info;
    return STATUS_SUCCESS;
}

extern "C" NTSTATUS FLTAPI FltParseFileNameInformation(PFLT_FILE_NAME_INFORMATION FileNameInformation) {
    sim::Count("FltParseFileNameInformation");
    sim::RequireIrqlAtMost(APC_LEVEL, "FltParseFileNameInformation");
    if (FileNameInformation == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    {
        std::lock_guard<std::mutex> guard(sim::flt::gLock);
        if (sim::flt::gNames.find(FileNameInformation) == sim::flt::gNames.end()) {
            sim::BugCheck(sim::kBugFltmgrFileSystem, "FLTMGR_FILE_SYSTEM", "FltParseFileNameInformation: not a name record",
                          reinterpret_cast<ULONG_PTR>(FileNameInformation));
        }
    }
    NTSTATUS injected = sim::TakeInjectedFailure("FltParseFileNameInformation");
    if (!NT_SUCCESS(injected)) {
        return injected;
    }
    PFLT_FILE_NAME_INFORMATION info = FileNameInformation;
    const UNICODE_STRING& name = info->Name;
    std::u16string_view text(name.Buffer, name.Length / sizeof(WCHAR));
    UNICODE_STRING empty{};
    empty.Buffer = name.Buffer;
    info->Volume = info->Share = info->Extension = info->Stream = info->FinalComponent = info->ParentDir = empty;

    size_t pathStart = 0;
    if (!text.empty() && text[0] == u'\\') {
        // \Device\<name> is the volume; a redirector adds \server\share.
        size_t second = text.find(u'\\', 1);
        size_t third = second == std::u16string_view::npos ? std::u16string_view::npos : text.find(u'\\', second + 1);
        size_t volumeEnd = third == std::u16string_view::npos ? text.size() : third;
        info->Volume = sim::flt::Slice(name, 0, volumeEnd);
        pathStart = volumeEnd;
        if (sim::flt::IsRedirector(text.substr(0, volumeEnd)) && pathStart < text.size()) {
            size_t server = text.find(u'\\', pathStart + 1);
            size_t share = server == std::u16string_view::npos ? std::u16string_view::npos : text.find(u'\\', server + 1);
            size_t shareEnd = share == std::u16string_view::npos ? text.size() : share;
            info->Share = sim::flt::Slice(name, pathStart, shareEnd);
            pathStart = shareEnd;
        }
        size_t lastSlash = text.rfind(u'\\');
        if (pathStart < text.size() && lastSlash >= pathStart) {
            info->ParentDir = sim::flt::Slice(name, pathStart, lastSlash + 1);
            info->FinalComponent = sim::flt::Slice(name, lastSlash + 1, text.size());
        }
    } else {
        // A bare component (a short name): only the final component and extension.
        info->FinalComponent = sim::flt::Slice(name, 0, text.size());
    }
    size_t finalStart = static_cast<size_t>(info->FinalComponent.Buffer - name.Buffer);
    std::u16string_view final = text.substr(finalStart, info->FinalComponent.Length / sizeof(WCHAR));
    size_t colon = final.find(u':');
    size_t baseEnd = colon == std::u16string_view::npos ? final.size() : colon;
    if (colon != std::u16string_view::npos) {
        info->Stream = sim::flt::Slice(name, finalStart + colon, finalStart + final.size());
    }
    size_t dot = final.substr(0, baseEnd).rfind(u'.');
    if (dot != std::u16string_view::npos) {
        info->Extension = sim::flt::Slice(name, finalStart + dot + 1, finalStart + baseEnd);
    }
    info->NamesParsed |= FLTFL_FILE_NAME_PARSED_FINAL_COMPONENT | FLTFL_FILE_NAME_PARSED_EXTENSION |
                         FLTFL_FILE_NAME_PARSED_STREAM | FLTFL_FILE_NAME_PARSED_PARENT_DIR;
    return STATUS_SUCCESS;
}

extern "C" VOID FLTAPI FltReleaseFileNameInformation(PFLT_FILE_NAME_INFORMATION FileNameInformation) {
    sim::Count("FltReleaseFileNameInformation");
    sim::RequireIrqlAtMost(APC_LEVEL, "FltReleaseFileNameInformation");
    {
        std::lock_guard<std::mutex> guard(sim::flt::gLock);
        auto it = sim::flt::gNames.find(FileNameInformation);
        if (it == sim::flt::gNames.end()) {
            sim::BugCheck(sim::kBugFltmgrFileSystem, "FLTMGR_FILE_SYSTEM",
                          "FltReleaseFileNameInformation: not a live name record (released too often?)",
                          reinterpret_cast<ULONG_PTR>(FileNameInformation));
        }
        if (--it->second > 0) {
            return;
        }
        sim::flt::gNames.erase(it);
    }
    sim::pool::SetOwner(FileNameInformation, sim::pool::BlockOwner::Caller);
    ExFreePoolWithTag(FileNameInformation, sim::flt::kNameTag);
}

extern "C" VOID FLTAPI FltReferenceFileNameInformation(PFLT_FILE_NAME_INFORMATION FileNameInformation) {
    sim::Count("FltReferenceFileNameInformation");
    sim::RequireIrqlAtMost(APC_LEVEL, "FltReferenceFileNameInformation");
    std::lock_guard<std::mutex> guard(sim::flt::gLock);
    auto it = sim::flt::gNames.find(FileNameInformation);
    if (it == sim::flt::gNames.end()) {
        sim::BugCheck(sim::kBugFltmgrFileSystem, "FLTMGR_FILE_SYSTEM", "FltReferenceFileNameInformation: not a live name record",
                      reinterpret_cast<ULONG_PTR>(FileNameInformation));
    }
    ++it->second;
}
