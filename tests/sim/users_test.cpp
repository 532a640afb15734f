// Users of the simulated machine: the user a process runs as, the hive its
// HKEY_CURRENT_USER names, the hives a logon loads, the user's SID in access
// checks, and a folder made as a program's CreateDirectory calls make it.
#include "tests/support/fixture.h"

#include "sim/cm/cm.h"
#include "sim/fs/fs.h"
#include "sim/se/security.h"
#include "sim/user/folder.h"
#include "sim/user/process.h"
#include "sim/user/registry.h"

#include <unistd.h>

#include <filesystem>
#include <fstream>

namespace {

namespace fs = std::filesystem;

constexpr char kBob[] = "S-1-5-21-2718281828-3141592653-1618033988-1002";
constexpr char16_t kBobHive[] = u"\\REGISTRY\\USER\\S-1-5-21-2718281828-3141592653-1618033988-1002";

std::u16string Wide(std::string_view text) { return std::u16string(text.begin(), text.end()); }

class UsersTest : public vtest::SimTest {
protected:
    _EPROCESS* Start(_EPROCESS* parent, std::string_view user = {}, bool admin = false) {
        sim::user::ProcessStart start;
        start.parent = parent;
        start.imagePath = vtest::kAppImage;
        start.isAdmin = admin;
        start.userSid = user;
        _EPROCESS* process = nullptr;
        EXPECT_EQ(sim::user::StartProcess(start, &process), STATUS_SUCCESS);
        if (process != nullptr) started_.push_back(process);
        return process;
    }
    void TearDown() override {
        for (auto it = started_.rbegin(); it != started_.rend(); ++it) sim::user::EndProcess(*it);
        SimTest::TearDown();
    }
    std::vector<_EPROCESS*> started_;
};

TEST_F(UsersTest, AProcessRunsAsItsParentsUserOrTheOneNamedAndSystemIsElevated) {
    _EPROCESS* shell = Start(nullptr);
    EXPECT_EQ(shell->userSid, sim::kInteractiveUserSid) << "started by the System process: the interactive user";
    _EPROCESS* child = Start(shell);
    EXPECT_EQ(child->userSid, sim::kInteractiveUserSid) << "a child runs as its parent's user";
    _EPROCESS* runAs = Start(shell, kBob);
    EXPECT_EQ(runAs->userSid, kBob);
    EXPECT_EQ(Start(runAs)->userSid, kBob);
    _EPROCESS* service = Start(nullptr, sim::kSystemUserSid);
    EXPECT_TRUE(service->isAdmin) << "a SYSTEM token is an elevated one";
    EXPECT_FALSE(runAs->isAdmin);
}

TEST_F(UsersTest, CurrentUserIsTheHiveOfTheProcesssOwnUser) {
    _EPROCESS* alice = Start(nullptr);
    _EPROCESS* bob = Start(nullptr, kBob);
    EXPECT_EQ(sim::user::CurrentUserKeyPath(alice), u"\\REGISTRY\\USER\\" + Wide(sim::kInteractiveUserSid));
    EXPECT_EQ(sim::user::CurrentUserKeyPath(bob), kBobHive);
    // The interactive user is logged on at boot: their profile's keys are there.
    EXPECT_TRUE(sim::cm::KeyExists(sim::user::CurrentUserKeyPath(alice) + u"\\Software\\Microsoft\\Windows\\CurrentVersion\\Run"));
    EXPECT_FALSE(sim::cm::UserHiveLoaded(Wide(kBob))) << "nobody loaded bob's hive yet";
}

TEST_F(UsersTest, ALogonLoadsTheUsersHiveAndTheMachineListsTheProfile) {
    ASSERT_EQ(sim::cm::LoadUserHive(Wide(kBob), u"C:\\Users\\bob"), STATUS_SUCCESS);
    EXPECT_TRUE(sim::cm::UserHiveLoaded(Wide(kBob)));
    EXPECT_TRUE(sim::cm::KeyExists(std::u16string(kBobHive) + u"\\Software\\Microsoft\\Windows\\CurrentVersion\\RunOnce"));
    EXPECT_TRUE(sim::cm::KeyExists(std::u16string(kBobHive) + u"\\Software\\Classes"));
    ULONG type = 0;
    std::vector<uint8_t> data;
    ASSERT_TRUE(sim::cm::QueryValue(
        u"\\REGISTRY\\MACHINE\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\ProfileList\\" + Wide(kBob),
        u"ProfileImagePath", &type, &data));
    EXPECT_EQ(type, static_cast<ULONG>(REG_EXPAND_SZ));
    EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t*>(data.data()), data.size() / 2 - 1), u"C:\\Users\\bob");
    // A program of bob's writes its own hive through HKEY_CURRENT_USER.
    _EPROCESS* bob = Start(nullptr, kBob);
    HANDLE key = nullptr;
    ASSERT_EQ(sim::user::OpenKey(bob, nullptr, sim::user::CurrentUserKeyPath(bob) + u"\\Software\\Microsoft\\Windows\\CurrentVersion\\Run",
                                 KEY_SET_VALUE, &key),
              STATUS_SUCCESS);
    const uint32_t one = 1;
    EXPECT_EQ(sim::user::SetValueKey(bob, key, u"Tool", REG_DWORD, &one, sizeof(one)), STATUS_SUCCESS);
    sim::user::CloseHandle(bob, key);
    EXPECT_TRUE(sim::cm::QueryValue(std::u16string(kBobHive) + u"\\Software\\Microsoft\\Windows\\CurrentVersion\\Run", u"Tool",
                                    nullptr, nullptr));
    EXPECT_EQ(sim::cm::LoadUserHive(u"S-1-5-21-x", u"C:\\Users\\x"), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(sim::cm::LoadUserHive(u"bob", u"C:\\Users\\bob"), STATUS_INVALID_PARAMETER);
}

TEST_F(UsersTest, TheMachineBootsWithItsAutostartAndSecurityValues) {
    std::vector<uint8_t> data;
    EXPECT_TRUE(sim::cm::QueryValue(u"\\REGISTRY\\MACHINE\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Winlogon", u"Shell",
                                    nullptr, &data));
    EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t*>(data.data()), data.size() / 2 - 1), u"explorer.exe");
    ULONG type = 0;
    ASSERT_TRUE(sim::cm::QueryValue(u"\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Control\\Lsa", u"Notification Packages",
                                    &type, &data));
    EXPECT_EQ(type, static_cast<ULONG>(REG_MULTI_SZ));
    EXPECT_EQ(data, (std::vector<uint8_t>{'s', 0, 'c', 0, 'e', 0, 'c', 0, 'l', 0, 'i', 0, 0, 0, 0, 0}));
    EXPECT_TRUE(sim::cm::KeyExists(u"\\REGISTRY\\MACHINE\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Image File Execution Options"));
}

TEST_F(UsersTest, TheUsersSidCountsInAnAccessCheck) {
    _EPROCESS* alice = Start(nullptr);
    _EPROCESS* bob = Start(nullptr, kBob);
    const auto onlyBob = sim::security::DescriptorFromSddl(std::string("D:P(A;;FA;;;") + kBob + ")");
    ASSERT_TRUE(onlyBob.has_value());
    ACCESS_MASK granted = 0;
    EXPECT_EQ(sim::security::AccessCheck(onlyBob->data(), bob, FILE_GENERIC_READ, sim::security::FileGenericMapping(), &granted),
              STATUS_SUCCESS);
    EXPECT_EQ(sim::security::AccessCheck(onlyBob->data(), alice, FILE_GENERIC_READ, sim::security::FileGenericMapping(), &granted),
              STATUS_ACCESS_DENIED);
}

class FolderTest : public UsersTest {
protected:
    void SetUp() override {
        UsersTest::SetUp();
        root_ = fs::temp_directory_path() / ("vetrona-folder-" + std::to_string(::getpid()) + "-" +
                                              ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(root_);
        fs::create_directories(root_ / "Backup");
        std::ofstream(root_ / "notes.txt") << "a file";
        sim::fs::MountVolume(root_.string(), u'C');
        process_ = Start(nullptr, {}, true);
    }
    void TearDown() override {
        UsersTest::TearDown();
        fs::remove_all(root_);
    }
    fs::path root_;
    _EPROCESS* process_ = nullptr;
};

TEST_F(FolderTest, AFolderIsFoundMadeWithItsParentsOrRefused) {
    sim::user::FolderFound found{};
    EXPECT_EQ(sim::user::EnsureFolder(process_, u"C:\\Backup", true, &found), STATUS_SUCCESS);
    EXPECT_EQ(found, sim::user::FolderFound::Existed);
    EXPECT_EQ(sim::user::EnsureFolder(process_, u"C:\\Vault\\Copies", false, &found), STATUS_SUCCESS);
    EXPECT_EQ(found, sim::user::FolderFound::Missing);
    EXPECT_FALSE(fs::exists(root_ / "Vault")) << "only looked at";
    EXPECT_EQ(sim::user::EnsureFolder(process_, u"C:\\Vault\\Copies\\", true, &found), STATUS_SUCCESS);
    EXPECT_EQ(found, sim::user::FolderFound::Created);
    EXPECT_TRUE(fs::is_directory(root_ / "Vault" / "Copies"));
    EXPECT_EQ(sim::user::EnsureFolder(process_, u"\\??\\C:\\Vault\\Copies", true, &found), STATUS_SUCCESS);
    EXPECT_EQ(found, sim::user::FolderFound::Existed);
    EXPECT_EQ(sim::user::EnsureFolder(process_, u"C:\\notes.txt", true, &found), STATUS_SUCCESS);
    EXPECT_EQ(found, sim::user::FolderFound::NotAFolder);
    EXPECT_FALSE(NT_SUCCESS(sim::user::EnsureFolder(process_, u"Q:\\Vault", true, &found))) << "no such volume";
}

}  // namespace
