// The set-information tests' fixture: two volumes with a document, a client
// that answers every event with one verdict, and the file events it received,
// decoded.
#pragma once

#include "tests/support/fixture.h"

#include "channel/wire.h"
#include "driver/driver_data.h"
#include "filemon/filemon.h"
#include "sim/fs/fs.h"
#include "sim/ex/pool.h"
#include "sim/flt/io.h"
#include "sim/ob/ob.h"
#include "sim/user/dosdevice.h"
#include "sim/user/file.h"

#include <unistd.h>

#include <filesystem>
#include <functional>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

namespace vtest::setinfo {

namespace fs = std::filesystem;

inline constexpr char16_t kVolume1[] = u"\\Device\\HarddiskVolume1";

// One file event as the client receives it.
struct Event {
    int32_t operation = FileOpNone;
    uint32_t processId = 0;
    std::u16string name;
    std::optional<std::u16string> dest;
    uint8_t replaceIfExists = 0;
};

inline std::u16string TextAt(const std::vector<uint8_t>& body, size_t offset, size_t bytes) {
    std::u16string text(bytes / 2, u'\0');
    std::memcpy(text.data(), body.data() + offset, bytes);
    return text;
}

inline Event Decode(const std::vector<uint8_t>& body) {
    FileEvent header;
    std::memcpy(&header, body.data(), sizeof(header));
    Event event;
    event.operation = header.Operation;
    event.processId = header.ProcessId;
    event.name = TextAt(body, FILE_EVENT_NAME_OFFSET, header.NameLength);
    if (header.Operation == FileOpRename || header.Operation == FileOpLink) {
        event.replaceIfExists = header.Params.Rename.ReplaceIfExists;
        if (header.Params.Rename.DestNameLength != 0) {
            event.dest = TextAt(body, FILE_EVENT_DEST_BASE + header.Params.Rename.DestNameOffset,
                                header.Params.Rename.DestNameLength);
        }
    }
    return event;
}

inline std::string Line(const char* format, ULONG pid, const std::string& rest = "") {
    char text[256];
    std::snprintf(text, sizeof(text), format, pid, rest.c_str());
    return text;
}
inline constexpr char kRiplaceLine[] = "[%u][FilterGetDestFileName] Possible RIPlace, resolving path...\n%s";
inline constexpr char kLinkLine[] = "[%u][FilterGetDestFileName] Symbolic link found: %s...\n";
inline constexpr char kFailureLine[] = "[%u][FilterGetDestFileName] Failure: %s\n";

class SetInfoTest : public vtest::DriverTest {
protected:
    void SetUp() override {
        DriverTest::SetUp();
        root_ = fs::temp_directory_path() / ("vetrona-setinfo-" + std::to_string(::getpid()) + "-" +
                                             ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(root_);
        sim::fs::MountVolume((root_ / "C").string(), u'C');
        sim::fs::MountVolume((root_ / "D").string(), u'D');
        Put("docs/report.txt", "quarterly numbers");
        fs::create_directories(root_ / "C" / "docs" / "sub");
        fs::create_directories(root_ / "D");
    }

    void TearDown() override {
        DriverTest::TearDown();
        fs::remove_all(root_);
    }

    // The client connects, switches file monitoring on and answers every
    // event with `verdict`.
    void Monitor(int32_t verdict) {
        if (!connected()) {
            ASSERT_EQ(Connect(), vtest::S_OK);
        }
        SetFileMon(true);
        StartResponder([verdict](const std::vector<uint8_t>&) { return verdict; });
    }

    void Put(const std::string& relative, const std::string& content) {
        fs::create_directories((root_ / "C" / relative).parent_path());
        std::ofstream(root_ / "C" / relative, std::ios::binary) << content;
    }
    bool Exists(const std::string& relative) const { return fs::exists(root_ / "C" / relative); }
    std::string Get(const std::string& relative) const {
        std::ifstream in(root_ / "C" / relative, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }

    HANDLE Open(_EPROCESS* process, std::u16string_view path, ACCESS_MASK access = DELETE | FILE_READ_DATA,
                ULONG options = FILE_NON_DIRECTORY_FILE) {
        HANDLE handle = nullptr;
        EXPECT_EQ(sim::user::CreateFile(process, path, access | SYNCHRONIZE, FILE_SHARE_READ | FILE_SHARE_DELETE, FILE_OPEN,
                                        options | FILE_SYNCHRONOUS_IO_NONALERT, &handle),
                  STATUS_SUCCESS)
            << std::string(path.begin(), path.end());
        return handle;
    }

    // Renames C:\docs\report.txt as `process` and closes the handle.
    NTSTATUS RenameReport(_EPROCESS* process, std::u16string_view newName, bool replace = true, HANDLE root = nullptr) {
        HANDLE handle = Open(process, u"C:\\docs\\report.txt");
        const NTSTATUS status = sim::user::SetRenameInformation(process, handle, newName, replace, root);
        sim::user::CloseHandle(process, handle);
        return status;
    }

    std::vector<Event> Events(size_t expected) {
        EXPECT_TRUE(WaitForMessages(expected));
        std::vector<Event> events;
        for (const auto& message : Messages()) {
            events.push_back(Decode(message.body));
        }
        EXPECT_EQ(events.size(), expected);
        return events;
    }

    uint64_t Sent() const { return sim::CallCount("FltSendMessage"); }

    fs::path root_;
};

}  // namespace vtest::setinfo
