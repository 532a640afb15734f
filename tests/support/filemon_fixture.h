// A fixture for the file monitor: the driver loaded on two volumes (C: and D:,
// host folders under a fresh temporary folder), a watched program, the client
// connected with file monitoring on and a responder that answers each file
// event with the verdict the test chose for its operation (0 unless set).
#pragma once

#include "tests/support/fixture.h"

#include <filesystem>
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace vtest {

// One file event as the client decodes it.
struct FileEventSeen {
    int32_t operation = FileOpNone;
    std::u16string name;
    uint32_t processId = 0;
    uint64_t fileId = 0;
    uint8_t majorFunction = 0;
    int32_t verdict = VerdictNone;
};

class FileMonTest : public DriverTest {
protected:
    void SetUp() override;
    void TearDown() override;

    // The verdict the responder gives to events of `operation` (a value outside
    // 0..3 is sent as it is).
    void Answer(int32_t operation, int32_t verdict);
    // File events received so far, after giving the responder a moment to
    // record the ones already answered (`atLeast` of them are waited for).
    std::vector<FileEventSeen> Events(size_t atLeast = 0);
    std::vector<int32_t> Operations(size_t atLeast = 0);
    void ClearEvents() { ClearMessages(); }

    // A host file of the C: or D: volume ("docs/a.txt").
    std::filesystem::path HostC(const std::string& relative) const { return root_ / "C" / relative; }
    std::filesystem::path HostD(const std::string& relative) const { return root_ / "D" / relative; }
    static std::string ReadHost(const std::filesystem::path& path);
    static void WriteHost(const std::filesystem::path& path, const std::string& content);

    // As the watched program (or `process`): create or open, write, close.
    NTSTATUS Open(std::u16string_view path, ACCESS_MASK access, ULONG disposition, HANDLE* handle, ULONG options = 0,
                  ULONG share = FILE_SHARE_READ, _EPROCESS* process = nullptr, ULONG_PTR* information = nullptr);
    NTSTATUS Write(HANDLE handle, const std::string& data, int64_t offset = 0, _EPROCESS* process = nullptr);
    NTSTATUS Close(HANDLE handle, _EPROCESS* process = nullptr);
    // Creates `path`, writes `data` through the new handle and closes it.
    NTSTATUS CreateWriteClose(std::u16string_view path, const std::string& data, _EPROCESS* process = nullptr);

    _EPROCESS* app_ = nullptr;
    std::filesystem::path root_;

private:
    std::mutex verdictsLock_;
    std::map<int32_t, int32_t> verdicts_;
};

// The text of a backup folder as the client sets it (the C: or D: volume).
inline constexpr char16_t kBackupOnC[] = u"\\??\\C:\\backup";
inline constexpr char16_t kBackupOnD[] = u"\\??\\D:\\backup";

}  // namespace vtest
