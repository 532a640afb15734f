#include "tests/support/filemon_fixture.h"

#include "sim/fs/fs.h"
#include "sim/user/file.h"

#include <chrono>
#include <cstring>
#include <fstream>
#include <thread>

#include <stdlib.h>

namespace vtest {

void FileMonTest::SetUp() {
    char pattern[] = "/tmp/vetrona-filemon-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    root_ = pattern;
    DriverTest::SetUp();
    if (!loaded()) {
        return;
    }
    sim::fs::MountVolume((root_ / "C").string(), u'C');
    sim::fs::MountVolume((root_ / "D").string(), u'D');
    app_ = StartWatched();
    StartResponder([this](const std::vector<uint8_t>& body) {
        FileEvent event;
        std::memcpy(&event, body.data(), sizeof(event));
        if (event.Header.Class != EVENT_CLASS_FILE) {
            return int32_t{VerdictNone};
        }
        std::lock_guard<std::mutex> guard(verdictsLock_);
        auto it = verdicts_.find(event.Operation);
        return it == verdicts_.end() ? int32_t{0} : it->second;
    });
    SetFileMon(true);
}

void FileMonTest::TearDown() {
    DriverTest::TearDown();
    sim::fs::ClearFaults();
    std::error_code ignored;
    std::filesystem::remove_all(root_, ignored);
}

void FileMonTest::Answer(int32_t operation, int32_t verdict) {
    std::lock_guard<std::mutex> guard(verdictsLock_);
    verdicts_[operation] = verdict;
}

std::vector<FileEventSeen> FileMonTest::Events(size_t atLeast) {
    WaitForMessages(atLeast, 5000);
    // A message is recorded just after its reply; let the last one land.
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
    std::vector<FileEventSeen> events;
    for (const ReceivedMessage& message : Messages()) {
        FileEvent event;
        std::memcpy(&event, message.body.data(), sizeof(event));
        if (event.Header.Class != EVENT_CLASS_FILE) {
            continue;
        }
        FileEventSeen seen;
        seen.operation = event.Operation;
        seen.processId = event.ProcessId;
        seen.fileId = event.FileId;
        seen.majorFunction = event.MajorFunction;
        seen.verdict = message.verdict;
        seen.name.resize(event.NameLength / sizeof(char16_t));
        std::memcpy(seen.name.data(), message.body.data() + FILE_EVENT_NAME_OFFSET, seen.name.size() * sizeof(char16_t));
        events.push_back(seen);
    }
    return events;
}

std::vector<int32_t> FileMonTest::Operations(size_t atLeast) {
    std::vector<int32_t> operations;
    for (const FileEventSeen& event : Events(atLeast)) {
        operations.push_back(event.operation);
    }
    return operations;
}

std::string FileMonTest::ReadHost(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void FileMonTest::WriteHost(const std::filesystem::path& path, const std::string& content) {
    std::filesystem::create_directories(path.parent_path());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(content.data(), static_cast<std::streamsize>(content.size()));
}

NTSTATUS FileMonTest::Open(std::u16string_view path, ACCESS_MASK access, ULONG disposition, HANDLE* handle, ULONG options, ULONG share,
                           _EPROCESS* process, ULONG_PTR* information) {
    return sim::user::CreateFile(process != nullptr ? process : app_, path, access, share, disposition,
                                 options | FILE_SYNCHRONOUS_IO_NONALERT | FILE_NON_DIRECTORY_FILE, handle, information);
}

NTSTATUS FileMonTest::Write(HANDLE handle, const std::string& data, int64_t offset, _EPROCESS* process) {
    ULONG written = 0;
    return sim::user::WriteFile(process != nullptr ? process : app_, handle, offset, data.data(), static_cast<ULONG>(data.size()),
                                &written);
}

NTSTATUS FileMonTest::Close(HANDLE handle, _EPROCESS* process) {
    return sim::user::CloseHandle(process != nullptr ? process : app_, handle);
}

NTSTATUS FileMonTest::CreateWriteClose(std::u16string_view path, const std::string& data, _EPROCESS* process) {
    HANDLE handle = nullptr;
    NTSTATUS status = Open(path, FILE_GENERIC_READ | FILE_GENERIC_WRITE, FILE_CREATE, &handle, 0, FILE_SHARE_READ, process);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    status = Write(handle, data, 0, process);
    NTSTATUS closed = Close(handle, process);
    return NT_SUCCESS(status) ? closed : status;
}

}  // namespace vtest
