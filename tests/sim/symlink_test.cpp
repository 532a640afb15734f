// Symbolic links of the object namespace as drivers and programs meet them:
// the query's length protocol with the terminating null every link is stored
// with, the checks on the name of an open, DOS device names defined from the
// user side (raw and converted targets, definitions stacked and removed), and
// paths that go through them.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sim/ob/ob.h"
#include "sim/user/dosdevice.h"
#include "sim/user/process.h"
#include "tests/support/fixture.h"

namespace {

class SymlinkTest : public vtest::SimTest {
protected:
    void SetUp() override {
        SimTest::SetUp();
        process_ = sim::user::StartProcess(nullptr, vtest::kAppImage);
        ASSERT_NE(process_, nullptr);
    }

    // Opens `name` as a kernel handle for querying.
    NTSTATUS OpenLink(std::u16string name, HANDLE* link, ACCESS_MASK access = SYMBOLIC_LINK_QUERY) {
        UNICODE_STRING text{static_cast<USHORT>(name.size() * 2), static_cast<USHORT>(name.size() * 2), name.data()};
        OBJECT_ATTRIBUTES attributes;
        InitializeObjectAttributes(&attributes, &text, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr, nullptr);
        return ZwOpenSymbolicLinkObject(link, access, &attributes);
    }

    std::u16string Target(std::u16string_view link) {
        std::u16string target;
        EXPECT_EQ(sim::ob::QuerySymbolicLink(link, &target), STATUS_SUCCESS);
        return target;
    }

    _EPROCESS* process_ = nullptr;
};

TEST_F(SymlinkTest, QueryReportsTheStoredNullAndNeedsRoomForIt) {
    const std::u16string target = u"\\??\\C:\\dir\\target.txt";
    const auto bytes = static_cast<USHORT>(target.size() * 2);
    ASSERT_EQ(sim::ob::CreateSymbolicLink(u"\\??\\Name", target), STATUS_SUCCESS);
    HANDLE link = nullptr;
    ASSERT_EQ(OpenLink(u"\\??\\NAME", &link), STATUS_SUCCESS);
    EXPECT_TRUE(sim::ob::IsKernelHandle(link));

    // No buffer, and a buffer with room for the characters only: too small,
    // the string untouched, the length needed reported with the null.
    std::vector<WCHAR> buffer(bytes / 2 + 1, u'#');
    for (USHORT maximum : {USHORT(0), bytes, USHORT(bytes + 1)}) {
        SCOPED_TRACE(maximum);
        UNICODE_STRING out{0, maximum, maximum == 0 ? nullptr : buffer.data()};
        ULONG returned = 0;
        EXPECT_EQ(ZwQuerySymbolicLinkObject(link, &out, &returned), STATUS_BUFFER_TOO_SMALL);
        EXPECT_EQ(returned, bytes + 2u);
        EXPECT_EQ(out.Length, 0);
        EXPECT_EQ(buffer[0], u'#');
    }
    // Room for both: the characters and the null; Length without it.
    UNICODE_STRING out{0, static_cast<USHORT>(bytes + 2), buffer.data()};
    ULONG returned = 0;
    ASSERT_EQ(ZwQuerySymbolicLinkObject(link, &out, &returned), STATUS_SUCCESS);
    EXPECT_EQ(returned, bytes + 2u);
    EXPECT_EQ(out.Length, bytes);
    EXPECT_EQ(std::u16string(out.Buffer, out.Length / 2), target);
    EXPECT_EQ(buffer[bytes / 2], 0);
    EXPECT_EQ(ZwClose(link), STATUS_SUCCESS);

    // Without query access the handle cannot read the target.
    ASSERT_EQ(OpenLink(u"\\??\\Name", &link, 0), STATUS_SUCCESS);
    EXPECT_EQ(ZwQuerySymbolicLinkObject(link, &out, &returned), STATUS_ACCESS_DENIED);
    EXPECT_EQ(ZwClose(link), STATUS_SUCCESS);
}

TEST_F(SymlinkTest, OpenChecksTheName) {
    ASSERT_EQ(sim::ob::CreateSymbolicLink(u"\\??\\Name", u"\\Device\\Somewhere"), STATUS_SUCCESS);
    struct Case {
        const char* what;
        std::u16string name;
        USHORT length;  // bytes; the text's own length unless odd on purpose
        NTSTATUS status;
    };
    const Case cases[] = {
        {"odd length", u"\\??\\Name", 15, STATUS_OBJECT_NAME_INVALID},
        {"empty", u"", 0, STATUS_OBJECT_PATH_SYNTAX_BAD},
        {"relative", u"Name", 8, STATUS_OBJECT_PATH_SYNTAX_BAD},
        {"a directory, not a link", u"\\??", 6, STATUS_OBJECT_TYPE_MISMATCH},
        {"missing", u"\\??\\Other", 18, STATUS_OBJECT_NAME_NOT_FOUND},
        {"below a missing directory", u"\\Nowhere\\Name", 26, STATUS_OBJECT_PATH_NOT_FOUND},
        {"a path through a link to nothing", u"\\??\\Name\\x", 20, STATUS_OBJECT_PATH_NOT_FOUND},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::u16string name = c.name;
        UNICODE_STRING text{c.length, static_cast<USHORT>(name.size() * 2), name.empty() ? nullptr : name.data()};
        OBJECT_ATTRIBUTES attributes;
        InitializeObjectAttributes(&attributes, &text, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr, nullptr);
        HANDLE link = reinterpret_cast<HANDLE>(0x1234);
        EXPECT_EQ(ZwOpenSymbolicLinkObject(&link, SYMBOLIC_LINK_QUERY, &attributes), c.status);
        EXPECT_EQ(link, nullptr);
    }
    EXPECT_EQ(sim::ob::HandleCount(nullptr, true), 0u);
}

TEST_F(SymlinkTest, DefineDosDeviceTargets) {
    struct Case {
        ULONG flags;
        std::u16string target;
        std::u16string stored;
    };
    const Case cases[] = {
        {DDD_RAW_TARGET_PATH, u"\\??\\C:\\dir\\target.txt", u"\\??\\C:\\dir\\target.txt"},
        {DDD_RAW_TARGET_PATH, u"\\Device\\HarddiskVolume1", u"\\Device\\HarddiskVolume1"},
        {0, u"C:\\dir\\target.txt", u"\\??\\C:\\dir\\target.txt"},
        {0, u"d:", u"\\??\\d:"},
        {0, u"\\\\?\\C:\\dir", u"\\??\\C:\\dir"},
        {0, u"\\\\server\\share\\x", u"\\??\\UNC\\server\\share\\x"},
    };
    for (const Case& c : cases) {
        ASSERT_EQ(sim::user::DefineDosDevice(process_, c.flags, u"Name", c.target), STATUS_SUCCESS);
        EXPECT_EQ(Target(u"\\??\\Name"), c.stored);
        // Defined in the caller's \??, seen through \GLOBAL?? and \DosDevices alike here.
        EXPECT_EQ(Target(u"\\DosDevices\\Name"), c.stored);
        ASSERT_EQ(sim::user::DefineDosDevice(process_, DDD_REMOVE_DEFINITION, u"Name", u""), STATUS_SUCCESS);
    }
    std::u16string target;
    EXPECT_EQ(sim::ob::QuerySymbolicLink(u"\\??\\Name", &target), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(sim::user::DefineDosDevice(process_, 0, u"Name", u"relative\\dir"), STATUS_OBJECT_NAME_INVALID);
    EXPECT_EQ(sim::user::DefineDosDevice(process_, 0, u"A\\B", u"C:\\dir"), STATUS_OBJECT_NAME_INVALID);
    EXPECT_EQ(sim::user::DefineDosDevice(process_, 0, u"", u"C:\\dir"), STATUS_OBJECT_NAME_INVALID);
    EXPECT_EQ(sim::user::DefineDosDevice(process_, DDD_REMOVE_DEFINITION, u"Name", u""), STATUS_OBJECT_NAME_NOT_FOUND);
}

TEST_F(SymlinkTest, DefinitionsStackAndComeBack) {
    ASSERT_EQ(sim::user::DefineDosDevice(process_, DDD_RAW_TARGET_PATH, u"Name", u"\\Device\\First"), STATUS_SUCCESS);
    ASSERT_EQ(sim::user::DefineDosDevice(process_, DDD_RAW_TARGET_PATH, u"Name", u"\\Device\\Second"), STATUS_SUCCESS);
    ASSERT_EQ(sim::user::DefineDosDevice(process_, DDD_RAW_TARGET_PATH, u"Name", u"\\Device\\Third"), STATUS_SUCCESS);
    EXPECT_EQ(Target(u"\\??\\Name"), u"\\Device\\Third");

    // An exact-match removal of an older definition leaves the newest standing.
    EXPECT_EQ(sim::user::DefineDosDevice(process_, DDD_RAW_TARGET_PATH | DDD_REMOVE_DEFINITION | DDD_EXACT_MATCH_ON_REMOVE,
                                         u"Name", u"\\Device\\First"),
              STATUS_SUCCESS);
    EXPECT_EQ(sim::user::DefineDosDevice(process_, DDD_RAW_TARGET_PATH | DDD_REMOVE_DEFINITION | DDD_EXACT_MATCH_ON_REMOVE,
                                         u"Name", u"\\Device\\Missing"),
              STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(Target(u"\\??\\Name"), u"\\Device\\Third");

    ASSERT_EQ(sim::user::DefineDosDevice(process_, DDD_REMOVE_DEFINITION, u"Name", u""), STATUS_SUCCESS);
    EXPECT_EQ(Target(u"\\??\\Name"), u"\\Device\\Second");
    ASSERT_EQ(sim::user::DefineDosDevice(process_, DDD_REMOVE_DEFINITION, u"Name", u""), STATUS_SUCCESS);
    std::u16string target;
    EXPECT_EQ(sim::ob::QuerySymbolicLink(u"\\??\\Name", &target), STATUS_OBJECT_NAME_NOT_FOUND);
}

// The object manager follows links met anywhere in a path, a chain of them too.
TEST_F(SymlinkTest, PathsGoThroughDefinedNames) {
    int device = 0;
    ASSERT_EQ(sim::ob::InsertObject(u"\\Device\\Disk", sim::ob::ObjectType::Device, &device), STATUS_SUCCESS);
    ASSERT_EQ(sim::user::DefineDosDevice(process_, DDD_RAW_TARGET_PATH, u"Inner", u"\\Device\\Disk\\dir\\file.txt"),
              STATUS_SUCCESS);
    ASSERT_EQ(sim::user::DefineDosDevice(process_, DDD_RAW_TARGET_PATH, u"Outer", u"\\??\\Inner"), STATUS_SUCCESS);
    for (const char16_t* path : {u"\\??\\Inner", u"\\??\\Outer", u"\\GLOBAL??\\OUTER"}) {
        SCOPED_TRACE(testing::Message() << std::char_traits<char16_t>::length(path) << " characters");
        sim::ob::LookupResult result;
        ASSERT_EQ(sim::ob::ParseName(path, &result), STATUS_SUCCESS);
        EXPECT_EQ(result.body, &device);
        EXPECT_EQ(result.remainder, u"\\dir\\file.txt");
    }
    // A loop of links ends the parse.
    ASSERT_EQ(sim::user::DefineDosDevice(process_, DDD_RAW_TARGET_PATH, u"Loop", u"\\??\\Loop"), STATUS_SUCCESS);
    sim::ob::LookupResult result;
    EXPECT_EQ(sim::ob::ParseName(u"\\??\\Loop", &result), STATUS_OBJECT_NAME_INVALID);
}

}  // namespace
