// Several watched threads write and close followed files while the client
// answers, denies writes and asks for backups; backups of files with the same
// final name race for the same free names in one folder.
#include "tests/support/filemon_fixture.h"

#include "sim/flt/io.h"
#include "sim/fs/fs.h"

#include <algorithm>
#include <cstring>
#include <thread>

namespace {

class FileMonThreads : public vtest::FileMonTest {};

// A short stand-in for a file's content: its head, size and a checksum.
std::string Digest(const std::string& content) {
    uint64_t sum = 1469598103934665603ull;
    for (unsigned char c : content) {
        sum = (sum ^ c) * 1099511628211ull;
    }
    return content.substr(0, 16) + "/" + std::to_string(content.size()) + "/" + std::to_string(sum);
}

TEST_F(FileMonThreads, WritersClosersAndRacingBackups) {
    ASSERT_EQ(SetBackupDir(vtest::kBackupOnC), STATUS_SUCCESS);
    std::filesystem::create_directories(HostC("backup"));
    // Denies writes to files whose name holds "deny"; asks for a backup at
    // every close of a modified file.
    StartResponder([](const std::vector<uint8_t>& body) {
        FileEvent event;
        std::memcpy(&event, body.data(), sizeof(event));
        std::u16string name(event.NameLength / 2, u'\0');
        std::memcpy(name.data(), body.data() + FILE_EVENT_NAME_OFFSET, name.size() * 2);
        if (event.Operation == FileOpWrite && name.find(u"deny") != std::u16string::npos) {
            return int32_t{VerdictDeny};
        }
        return event.Operation == FileOpCloseModified ? int32_t{VerdictBackup} : int32_t{0};
    });
    constexpr int kThreads = 4;
    constexpr int kFiles = 5;  // 20 files named same.txt: all fit in the 21 names
    std::vector<std::string> originals;
    for (int t = 0; t < kThreads; ++t) {
        for (int k = 0; k < kFiles; ++k) {
            std::filesystem::create_directories(HostC("d" + std::to_string(t) + "_" + std::to_string(k)));
            originals.push_back("thread " + std::to_string(t) + " file " + std::to_string(k) + std::string(3000 + 100 * k, 'a' + t));
        }
    }
    std::vector<_EPROCESS*> programs;
    for (int t = 0; t < kThreads; ++t) {
        programs.push_back(StartWatched());
    }
    std::vector<NTSTATUS> deniedWrites(kThreads, STATUS_SUCCESS);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int k = 0; k < kFiles; ++k) {
                const std::u16string dir = u"C:\\d" + sim::fs::FromHost(std::to_string(t) + "_" + std::to_string(k));
                EXPECT_EQ(CreateWriteClose(dir + u"\\same.txt", originals[t * kFiles + k], programs[t]), STATUS_SUCCESS);
            }
            deniedWrites[t] = CreateWriteClose(u"C:\\d" + sim::fs::FromHost(std::to_string(t)) + u"_0\\deny.txt", "never", programs[t]);
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    for (NTSTATUS status : deniedWrites) {
        EXPECT_EQ(status, STATUS_ACCESS_DENIED);
    }
    // Every copy under its own name, each byte-exact to one original.
    std::vector<std::string> copies;
    size_t denyCopies = 0;
    for (const auto& entry : std::filesystem::directory_iterator(HostC("backup"))) {
        const std::string name = entry.path().filename().string();
        if (name.rfind("deny.txt", 0) == 0) {
            ++denyCopies;
            EXPECT_EQ(ReadHost(entry.path()), "");  // its only write was denied
            continue;
        }
        ASSERT_EQ(name.rfind("same.txt", 0), 0u) << name;
        copies.push_back(Digest(ReadHost(entry.path())));
    }
    std::vector<std::string> expected;
    for (const std::string& original : originals) {
        expected.push_back(Digest(original));
    }
    std::sort(copies.begin(), copies.end());
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(copies, expected);
    EXPECT_EQ(denyCopies, static_cast<size_t>(kThreads));
    for (int t = 0; t < kThreads; ++t) {
        EXPECT_EQ(ReadHost(HostC("d" + std::to_string(t) + "_0/deny.txt")), "");
    }
    StopResponder();
    EXPECT_EQ(sim::flt::LiveContextCount(), 0u);
}

}  // namespace
