// Pre-create tests the watched set before it asks for the file's name. For a
// process outside the set every road of pre-create ends with the name released
// and no callback, so the outcome cannot differ: the same workload run the
// shipped way and through the name-first reference copy gives the same events,
// verdict effects, statuses, records and files, and unwatched opens cost no
// name query only the shipped way.
#include "tests/support/create_reference.h"
#include "tests/support/filemon_fixture.h"

#include "driver/driver_data.h"
#include "filemon/filemon.h"
#include "sim/flt/io.h"
#include "sim/user/file.h"

namespace {

struct Outcome {
    std::vector<std::string> events;  // operation, process and name relative to the run's folder
    std::vector<NTSTATUS> statuses;
    std::vector<std::string> files;   // contents at the end
    std::vector<bool> tracked;        // file ids in the tracked set
    uint64_t unwatchedNameQueries = 0;
    size_t liveContexts = 0;
};

class MembershipFirst : public vtest::FileMonTest {
protected:
    void TearDown() override {
        vtest::UseReferenceCreatePath(false);
        FileMonTest::TearDown();
    }

    uint64_t NameQueries() {
        auto counts = sim::CallCounts();
        auto it = counts.find("FltGetFileNameInformation");
        return it == counts.end() ? 0 : it->second;
    }

    Outcome Run(const std::u16string& folder, _EPROCESS* other) {
        Outcome out;
        Answer(FileOpWrite, VerdictNone);
        HANDLE dir = nullptr;
        sim::user::CreateFile(Client(), u"C:\\" + folder, FILE_LIST_DIRECTORY, FILE_SHARE_READ, FILE_CREATE, FILE_DIRECTORY_FILE, &dir);
        sim::user::CloseHandle(Client(), dir);
        const std::u16string base = u"C:\\" + folder + u"\\";
        auto record = [&](NTSTATUS status) { out.statuses.push_back(status); };

        // The unwatched program: creates, writes, reads, overwrites, deletes on close.
        const uint64_t before = NameQueries();
        record(CreateWriteClose(base + u"theirs.txt", "theirs", other));
        HANDLE h = nullptr;
        record(Open(base + u"theirs.txt", FILE_GENERIC_READ, FILE_OPEN, &h, 0, FILE_SHARE_READ, other));
        record(Close(h, other));
        record(Open(base + u"theirs.txt", FILE_GENERIC_WRITE, FILE_OVERWRITE_IF, &h, 0, FILE_SHARE_READ, other));
        record(Write(h, "overwritten", 0, other));
        record(Close(h, other));
        record(Open(base + u"gone.txt", FILE_GENERIC_WRITE | DELETE, FILE_CREATE, &h, FILE_DELETE_ON_CLOSE, 0, other));
        record(Close(h, other));
        out.unwatchedNameQueries = NameQueries() - before;

        // The watched program: the same, plus a denied write and a write-through open.
        record(CreateWriteClose(base + u"mine.txt", "mine"));
        record(Open(base + u"mine.txt", FILE_GENERIC_READ | FILE_GENERIC_WRITE, FILE_OPEN, &h));
        Answer(FileOpWrite, VerdictDeny);
        record(Write(h, "denied"));
        Answer(FileOpWrite, VerdictNone);
        record(Close(h));
        record(Open(base + u"theirs.txt", FILE_GENERIC_WRITE, FILE_OPEN, &h, FILE_WRITE_THROUGH));
        record(Write(h, "through"));
        record(Close(h));
        record(Open(base + u"gone2.txt", FILE_GENERIC_WRITE | DELETE, FILE_CREATE, &h, FILE_DELETE_ON_CLOSE));
        record(Close(h));

        for (const vtest::FileEventSeen& e : Events(9)) {
            std::string name = sim::fs::ToHost(e.name);
            const std::string marker = sim::fs::ToHost(folder);
            name = name.substr(name.find(marker) + marker.size());
            out.events.push_back(std::to_string(e.operation) + (e.processId == Pid(app_) ? " watched " : " other ") + name);
        }
        for (const char* file : {"theirs.txt", "mine.txt", "gone.txt", "gone2.txt"}) {
            const auto path = HostC(sim::fs::ToHost(folder) + "/" + file);
            out.files.push_back(std::filesystem::exists(path) ? ReadHost(path) : "(none)");
        }
        for (const std::u16string file : {u"theirs.txt", u"mine.txt"}) {
            HANDLE q = nullptr;
            ULONG64 id = 0;
            sim::user::CreateFile(Client(), base + file, FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE, FILE_OPEN,
                                  FILE_NON_DIRECTORY_FILE, &q);
            sim::user::QueryFileId(Client(), q, &id);
            sim::user::CloseHandle(Client(), q);
            out.tracked.push_back(IdListHasFileId(&DriverData.FileIdList, id));
        }
        out.liveContexts = sim::flt::LiveContextCount();
        ClearEvents();
        ClearFileIds();
        return out;
    }
};

TEST_F(MembershipFirst, SameOutcomeBothWaysAndNoNameQueryForUnwatchedOpens) {
    _EPROCESS* other = StartProcess();
    vtest::UseReferenceCreatePath(true);
    const Outcome longWay = Run(u"long", other);
    vtest::UseReferenceCreatePath(false);
    const Outcome shortWay = Run(u"short", other);

    EXPECT_EQ(shortWay.events, longWay.events);
    EXPECT_EQ(shortWay.statuses, longWay.statuses);
    EXPECT_EQ(shortWay.files, longWay.files);
    EXPECT_EQ(shortWay.tracked, longWay.tracked);
    EXPECT_EQ(shortWay.liveContexts, 0u);
    EXPECT_EQ(longWay.liveContexts, 0u);
    // The workload is not trivial: events, a denial and a tracked file.
    EXPECT_GE(shortWay.events.size(), 8u);
    EXPECT_NE(std::find(shortWay.statuses.begin(), shortWay.statuses.end(), STATUS_ACCESS_DENIED), shortWay.statuses.end());
    EXPECT_EQ(shortWay.tracked, (std::vector<bool>{false, true}));
    // What changes is the cost of the unwatched program's opens.
    EXPECT_GT(longWay.unwatchedNameQueries, 0u);
    EXPECT_EQ(shortWay.unwatchedNameQueries, 0u);
}

}  // namespace
