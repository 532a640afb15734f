// File ids as NTFS gives them: the low 48 bits are the file's record number
// in the volume's file table, the high 16 bits the record's sequence number,
// which goes up each time a deleted file's record is taken by a new file. So
// an id never names two files in turn, and ids are 64 bits wide in fact, not
// only in type.
//
// The model keeps the table per volume and maps the host file (its inode) to
// its record. At mount the files already in the host folder get records in
// the order of a walk sorted by name, so a machine built the same way has the
// same ids in every run; later files get one when the model first meets them
// (a create, an open). A record is freed when the file's last name goes, and
// the lowest free record is reused first.
#include "sim/fs/local.h"

#include <sys/stat.h>

#include <algorithm>
#include <filesystem>

namespace sim::fs {

namespace {

// Records below this one are the file system's own files (its table, its
// log, the volume's bitmap...); the root directory is record 5.
constexpr uint64_t kRootRecord = 5;
constexpr uint16_t kRootSequence = 5;
constexpr uint64_t kFirstFileRecord = 64;
constexpr uint64_t kRecordMask = (uint64_t{1} << 48) - 1;

uint64_t IdOf(uint64_t record, uint16_t sequence) { return (uint64_t{sequence} << 48) | (record & kRecordMask); }

uint64_t NewRecordLocked(Volume* volume) {
    FileRecords& table = volume->records;
    uint64_t record;
    if (!table.freed.empty()) {
        record = *table.freed.begin();
        table.freed.erase(table.freed.begin());
    } else {
        record = table.next++;
    }
    uint16_t& sequence = table.sequence[record];
    sequence = static_cast<uint16_t>(sequence + 1);
    if (sequence == 0) {
        sequence = 1;  // 0 means "any sequence" to the file system: never handed out
    }
    return IdOf(record, sequence);
}

void Walk(Volume* volume, const std::filesystem::path& folder) {
    std::error_code ec;
    std::vector<std::filesystem::path> entries;
    for (const auto& entry : std::filesystem::directory_iterator(folder, ec)) {
        entries.push_back(entry.path());
    }
    std::sort(entries.begin(), entries.end());
    for (const auto& path : entries) {
        struct stat st;
        if (::lstat(path.c_str(), &st) != 0) {
            continue;
        }
        (void)FileIdOfLocked(volume, static_cast<uint64_t>(st.st_ino));
        if (S_ISDIR(st.st_mode)) {
            Walk(volume, path);
        }
    }
}

}  // namespace

void NumberExistingFiles(Volume* volume) {
    FileRecords& table = volume->records;
    table.next = kFirstFileRecord;
    struct stat st;
    if (::stat(volume->hostRoot.c_str(), &st) == 0) {
        table.sequence[kRootRecord] = kRootSequence;
        table.byInode[static_cast<uint64_t>(st.st_ino)] = IdOf(kRootRecord, kRootSequence);
    }
    Walk(volume, volume->hostRoot);
}

uint64_t FileIdOfLocked(Volume* volume, uint64_t inode) {
    auto [it, added] = volume->records.byInode.try_emplace(inode, 0);
    if (added) {
        it->second = NewRecordLocked(volume);
    }
    return it->second;
}

void ForgetFileLocked(Volume* volume, uint64_t inode) {
    ForgetStreamsLocked(volume, inode);
    FileRecords& table = volume->records;
    auto it = table.byInode.find(inode);
    if (it == table.byInode.end()) {
        return;
    }
    table.freed.insert(it->second & kRecordMask);
    table.byInode.erase(it);
}

}  // namespace sim::fs
