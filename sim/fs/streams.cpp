// Named data streams on the simulated volume. A file's streams are kept in
// memory beside the host folder, by volume and file id (the host inode), so
// a rename or a second hard link of the file keeps them, and they never show
// among the folder's entries. Each stream's data is an anonymous memory file:
// reads, writes, sizes and mapped views work on its descriptor as on a host
// file's. They last until the file's last name goes or the model is reset.
#include "sim/fs/local.h"

#include "sim/ob/ob.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

namespace sim::fs {

namespace {

struct StoredStream {
    std::u16string name;  // ":name", on-disk case
    int fd = -1;
};

// Innermost lock: nothing else is taken under it.
std::mutex gStreamLock;
std::map<std::pair<ULONG, uint64_t>, std::map<std::u16string, StoredStream>> gStreams;  // by upcased name

void ResetStreams() {
    std::lock_guard<std::mutex> guard(gStreamLock);
    for (auto& [file, streams] : gStreams) {
        for (auto& [key, stored] : streams) {
            ::close(stored.fd);
        }
    }
    gStreams.clear();
}

const bool gRegistered = [] {
    sim::RegisterResetHook("fs_streams", ResetStreams);
    return true;
}();

StoredStream* FindLocked(const Volume* volume, uint64_t fileId, std::u16string_view stream) {
    auto file = gStreams.find({volume->number, fileId});
    if (file == gStreams.end()) {
        return nullptr;
    }
    auto it = file->second.find(sim::ob::Upcase(stream));
    return it == file->second.end() ? nullptr : &it->second;
}

// What a stream name cannot hold (the separators, the type's colon, and the
// characters a component cannot hold either).
bool BadStreamCharacter(char16_t c) {
    return c < 0x20 || c == u'"' || c == u'*' || c == u'/' || c == u'\\' || c == u':' || c == u'<' || c == u'>' ||
           c == u'?' || c == u'|';
}

}  // namespace

FcbKey KeyOf(const Volume* volume, uint64_t fileId, std::u16string_view stream) {
    return {volume->number, fileId, sim::ob::Upcase(stream)};
}

FcbKey KeyOf(const Fcb* fcb) { return KeyOf(fcb->volume, fcb->fileId, fcb->stream); }

NTSTATUS SplitStream(std::u16string_view componentIn, std::u16string* name, std::u16string* stream) {
    // The component may be a view of *name itself (a caller splits a path's
    // last part in place): work on a copy, since *name is written first.
    const std::u16string owned(componentIn);
    const std::u16string_view component(owned);
    stream->clear();
    const size_t colon = component.find(u':');
    *name = std::u16string(component.substr(0, colon));
    if (colon == std::u16string_view::npos) {
        return STATUS_SUCCESS;
    }
    std::u16string_view rest = component.substr(colon + 1);
    const size_t typeColon = rest.find(u':');
    std::u16string_view streamName = rest.substr(0, typeColon);
    if (typeColon != std::u16string_view::npos) {
        // Only the data type can be named; "::$DATA" is the default stream.
        if (!sim::ob::NamesEqual(rest.substr(typeColon + 1), u"$DATA")) {
            return STATUS_OBJECT_NAME_INVALID;
        }
    } else if (streamName.empty()) {
        return STATUS_OBJECT_NAME_INVALID;  // "name:" names nothing
    }
    if (streamName.size() > 255) {
        return STATUS_OBJECT_NAME_INVALID;
    }
    for (char16_t c : streamName) {
        if (BadStreamCharacter(c)) {
            return STATUS_OBJECT_NAME_INVALID;
        }
    }
    if (!streamName.empty()) {
        *stream = u":" + std::u16string(streamName);
    }
    return STATUS_SUCCESS;
}

std::u16string WithoutStream(std::u16string_view path) {
    const size_t slash = path.rfind(u'\\');
    const size_t colon = path.find(u':', slash == std::u16string_view::npos ? 0 : slash);
    return std::u16string(path.substr(0, colon));
}

bool FindStream(const Volume* volume, uint64_t fileId, std::u16string_view stream, std::u16string* onDisk) {
    std::lock_guard<std::mutex> guard(gStreamLock);
    const StoredStream* stored = FindLocked(volume, fileId, stream);
    if (stored != nullptr && onDisk != nullptr) {
        *onDisk = stored->name;
    }
    return stored != nullptr;
}

int OpenStream(const Volume* volume, uint64_t fileId, std::u16string_view stream, bool create) {
    std::lock_guard<std::mutex> guard(gStreamLock);
    StoredStream* stored = FindLocked(volume, fileId, stream);
    if (stored == nullptr) {
        if (!create) {
            return -1;
        }
        const int fd = ::memfd_create("vetrona-stream", MFD_CLOEXEC);
        if (fd < 0) {
            return -1;
        }
        stored = &gStreams[{volume->number, fileId}][sim::ob::Upcase(stream)];
        stored->name = std::u16string(stream);
        stored->fd = fd;
    }
    return ::fcntl(stored->fd, F_DUPFD_CLOEXEC, 0);
}

void DeleteStream(const Volume* volume, uint64_t fileId, std::u16string_view stream) {
    std::lock_guard<std::mutex> guard(gStreamLock);
    auto file = gStreams.find({volume->number, fileId});
    if (file == gStreams.end()) {
        return;
    }
    auto it = file->second.find(sim::ob::Upcase(stream));
    if (it != file->second.end()) {
        ::close(it->second.fd);
        file->second.erase(it);
    }
    if (file->second.empty()) {
        gStreams.erase(file);
    }
}

void RenameStream(const Volume* volume, uint64_t fileId, std::u16string_view from, std::u16string_view to) {
    std::lock_guard<std::mutex> guard(gStreamLock);
    auto file = gStreams.find({volume->number, fileId});
    if (file == gStreams.end()) {
        return;
    }
    auto it = file->second.find(sim::ob::Upcase(from));
    if (it == file->second.end()) {
        return;
    }
    StoredStream moved = it->second;
    file->second.erase(it);
    moved.name = std::u16string(to);
    auto& slot = file->second[sim::ob::Upcase(to)];
    if (slot.fd >= 0) {
        ::close(slot.fd);
    }
    slot = moved;
}

void ForgetStreamsLocked(const Volume* volume, uint64_t fileId) {
    for (auto it = gFcbs.lower_bound(KeyOf(volume, fileId, u"")); it != gFcbs.end();) {
        if (std::get<0>(it->first) != volume->number || std::get<1>(it->first) != fileId) {
            break;
        }
        if (!it->second->stream.empty()) {
            it->second->deleted = true;
            it = gFcbs.erase(it);
        } else {
            ++it;
        }
    }
    std::lock_guard<std::mutex> guard(gStreamLock);
    auto file = gStreams.find({volume->number, fileId});
    if (file == gStreams.end()) {
        return;
    }
    for (auto& [key, stored] : file->second) {
        ::close(stored.fd);
    }
    gStreams.erase(file);
}

}  // namespace sim::fs
