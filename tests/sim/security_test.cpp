// Security in the simulated kernel: binary SIDs, the ACL routines' limits, and
// the access check for SYSTEM, elevated administrators and standard users
// against the descriptors the platform and the driver build.
#include "platform/kernel.h"
#include "sim/ke/core.h"
#include "sim/ex/pool.h"
#include "sim/ps/ps.h"
#include "sim/se/security.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

using sim::security::AccessCheck;
using sim::security::FileGenericMapping;

constexpr ACCESS_MASK kPortConnect = 0x0001;
constexpr ACCESS_MASK kPortAllAccess = kPortConnect | STANDARD_RIGHTS_ALL;
constexpr ULONG kTag = 'dSlF';

class SimSecurity : public ::testing::Test {
protected:
    void SetUp() override {
        sim::ResetKernel();
        system_.isSystem = true;
        admin_.isAdmin = true;
    }
    void TearDown() override { sim::ResetKernel(); }

    // Status of an access check, the granted mask through `granted`.
    NTSTATUS Check(const void* sd, const _EPROCESS* caller, ACCESS_MASK desired, ACCESS_MASK* granted = nullptr) {
        ACCESS_MASK out = 0xDEADBEEF;
        NTSTATUS status = AccessCheck(sd, caller, desired, FileGenericMapping(), &out);
        if (status != STATUS_SUCCESS) {
            EXPECT_EQ(out, 0u) << "nothing is granted on failure";
        }
        if (granted) *granted = out;
        return status;
    }

    _EPROCESS system_;
    _EPROCESS admin_;
    _EPROCESS user_;
};

TEST_F(SimSecurity, WellKnownSidsHaveTheirBinaryForm) {
    ASSERT_NE(SeExports, nullptr);
    EXPECT_EQ(sim::security::SidToString(SeExports->SeLocalSystemSid), "S-1-5-18");
    EXPECT_EQ(sim::security::SidToString(SeExports->SeAliasAdminsSid), "S-1-5-32-544");
    EXPECT_EQ(sim::security::SidToString(SeExports->SeWorldSid), "S-1-1-0");
    EXPECT_EQ(RtlLengthSid(SeExports->SeLocalSystemSid), 12u);
    EXPECT_EQ(RtlLengthSid(SeExports->SeAliasAdminsSid), 16u);
    EXPECT_EQ(RtlLengthSid(SeExports->SeWorldSid), 12u);
    const auto* admins = static_cast<const UCHAR*>(SeExports->SeAliasAdminsSid);
    const UCHAR expected[16] = {1, 2, 0, 0, 0, 0, 0, 5, 32, 0, 0, 0, 0x20, 0x02, 0, 0};
    EXPECT_EQ(std::vector<UCHAR>(admins, admins + 16), std::vector<UCHAR>(expected, expected + 16));
}

TEST_F(SimSecurity, AclRoutinesEnforceTheirSizes) {
    alignas(4) UCHAR buffer[64];
    auto* acl = reinterpret_cast<PACL>(buffer);
    EXPECT_EQ(RtlCreateAcl(acl, 4, ACL_REVISION), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(RtlCreateAcl(acl, sizeof(buffer), 9), STATUS_INVALID_PARAMETER);

    // Room for the SYSTEM ACE (20 bytes) but not the Administrators one (24).
    ASSERT_EQ(RtlCreateAcl(acl, sizeof(ACL) + 20 + 20, ACL_REVISION), STATUS_SUCCESS);
    EXPECT_EQ(RtlAddAccessAllowedAce(acl, ACL_REVISION, GENERIC_ALL, SeExports->SeLocalSystemSid), STATUS_SUCCESS);
    EXPECT_EQ(RtlAddAccessAllowedAce(acl, ACL_REVISION, GENERIC_ALL, SeExports->SeAliasAdminsSid),
              STATUS_ALLOTTED_SPACE_EXCEEDED);
    EXPECT_EQ(acl->AceCount, 1);
    UCHAR badSid[12] = {7, 1, 0, 0, 0, 0, 0, 5, 18, 0, 0, 0};
    EXPECT_EQ(RtlAddAccessAllowedAce(acl, ACL_REVISION, GENERIC_ALL, badSid), STATUS_INVALID_SID);

    SECURITY_DESCRIPTOR sd;
    EXPECT_EQ(RtlCreateSecurityDescriptor(&sd, 2), STATUS_UNKNOWN_REVISION);
}

// The descriptor a driver builds by hand: SYSTEM and Administrators only.
TEST_F(SimSecurity, HandBuiltDescriptorAdmitsOnlySystemAndAdministrators) {
    SECURITY_DESCRIPTOR sd;
    alignas(4) UCHAR aclBuffer[sizeof(ACL) + 20 + 24];
    auto* acl = reinterpret_cast<PACL>(aclBuffer);
    ASSERT_EQ(RtlCreateSecurityDescriptor(&sd, SECURITY_DESCRIPTOR_REVISION), STATUS_SUCCESS);
    ASSERT_EQ(RtlCreateAcl(acl, sizeof(aclBuffer), ACL_REVISION), STATUS_SUCCESS);
    ASSERT_EQ(RtlAddAccessAllowedAce(acl, ACL_REVISION, GENERIC_ALL, SeExports->SeLocalSystemSid), STATUS_SUCCESS);
    ASSERT_EQ(RtlAddAccessAllowedAce(acl, ACL_REVISION, GENERIC_ALL, SeExports->SeAliasAdminsSid), STATUS_SUCCESS);

    // Before the DACL is set, nothing is protected.
    EXPECT_EQ(Check(&sd, &user_, GENERIC_ALL), STATUS_SUCCESS);
    ASSERT_EQ(RtlSetDaclSecurityDescriptor(&sd, TRUE, acl, FALSE), STATUS_SUCCESS);

    ACCESS_MASK granted = 0;
    EXPECT_EQ(Check(&sd, &admin_, GENERIC_READ | GENERIC_WRITE, &granted), STATUS_SUCCESS);
    EXPECT_EQ(granted, static_cast<ACCESS_MASK>(FILE_GENERIC_READ | FILE_GENERIC_WRITE));
    EXPECT_EQ(Check(&sd, &system_, GENERIC_ALL, &granted), STATUS_SUCCESS);
    EXPECT_EQ(granted, static_cast<ACCESS_MASK>(FILE_ALL_ACCESS));
    EXPECT_EQ(Check(&sd, nullptr, FILE_READ_ACCESS), STATUS_SUCCESS) << "the kernel itself";
    EXPECT_EQ(Check(&sd, &user_, FILE_READ_ACCESS), STATUS_ACCESS_DENIED);
    EXPECT_EQ(Check(&sd, &user_, MAXIMUM_ALLOWED), STATUS_ACCESS_DENIED);

    // A self-relative copy judges the same.
    std::vector<uint8_t> copy = sim::security::CopyDescriptor(&sd);
    ASSERT_FALSE(copy.empty());
    EXPECT_EQ(Check(copy.data(), &admin_, GENERIC_ALL), STATUS_SUCCESS);
    EXPECT_EQ(Check(copy.data(), &user_, FILE_READ_ACCESS), STATUS_ACCESS_DENIED);

    // An empty DACL shuts everybody out, SYSTEM included; asking for nothing still succeeds.
    ASSERT_EQ(RtlCreateAcl(acl, sizeof(aclBuffer), ACL_REVISION), STATUS_SUCCESS);
    EXPECT_EQ(Check(&sd, &system_, FILE_READ_ACCESS), STATUS_ACCESS_DENIED);
    EXPECT_EQ(Check(&sd, &user_, 0, &granted), STATUS_SUCCESS);
    EXPECT_EQ(granted, 0u);
}

TEST_F(SimSecurity, MissingDescriptorOrDaclGrantsEverything) {
    ACCESS_MASK granted = 0;
    EXPECT_EQ(Check(nullptr, &user_, GENERIC_WRITE | WRITE_DAC, &granted), STATUS_SUCCESS);
    EXPECT_EQ(granted, static_cast<ACCESS_MASK>(FILE_GENERIC_WRITE | WRITE_DAC));
    EXPECT_EQ(Check(nullptr, &user_, MAXIMUM_ALLOWED, &granted), STATUS_SUCCESS);
    EXPECT_EQ(granted & FILE_ALL_ACCESS, static_cast<ACCESS_MASK>(FILE_ALL_ACCESS));
    auto noDacl = sim::security::DescriptorFromSddl("O:BA");
    EXPECT_FALSE(noDacl.has_value()) << "a DACL part is required by the subset";
}

TEST_F(SimSecurity, DefaultNamedDeviceIsOpenToEveryoneForReadAndWrite) {
    const void* sd = sim::security::DefaultNamedDeviceSecurityDescriptor();
    ACCESS_MASK granted = 0;
    EXPECT_EQ(Check(sd, &user_, GENERIC_READ | GENERIC_WRITE), STATUS_SUCCESS);
    EXPECT_EQ(Check(sd, &user_, FILE_READ_ACCESS | FILE_WRITE_ACCESS), STATUS_SUCCESS);
    EXPECT_EQ(Check(sd, &user_, WRITE_DAC), STATUS_ACCESS_DENIED);
    EXPECT_EQ(Check(sd, &user_, MAXIMUM_ALLOWED, &granted), STATUS_SUCCESS);
    EXPECT_EQ(granted, static_cast<ACCESS_MASK>(FILE_GENERIC_READ | FILE_GENERIC_WRITE | FILE_GENERIC_EXECUTE));
    // Administrators get read, write and execute, not all access; SYSTEM gets all.
    EXPECT_EQ(Check(sd, &admin_, GENERIC_ALL), STATUS_ACCESS_DENIED);
    EXPECT_EQ(Check(sd, &system_, GENERIC_ALL), STATUS_SUCCESS);
}

TEST_F(SimSecurity, SecureDeviceStringsKeepStandardUsersOut) {
    auto sysAdmAll = sim::security::DescriptorFromSddl("D:P(A;;GA;;;SY)(A;;GA;;;BA)");
    ASSERT_TRUE(sysAdmAll.has_value());
    EXPECT_EQ(Check(sysAdmAll->data(), &user_, FILE_READ_ACCESS), STATUS_ACCESS_DENIED);
    EXPECT_EQ(Check(sysAdmAll->data(), &admin_, GENERIC_ALL), STATUS_SUCCESS);
    EXPECT_EQ(Check(sysAdmAll->data(), &system_, GENERIC_ALL), STATUS_SUCCESS);
    // Opening with no access at all is not refused (queries without access work).
    EXPECT_EQ(Check(sysAdmAll->data(), &user_, 0), STATUS_SUCCESS);

    auto worldRead = sim::security::DescriptorFromSddl("D:P(A;;GA;;;SY)(A;;GRGWGX;;;BA)(A;;GR;;;WD)");
    ASSERT_TRUE(worldRead.has_value());
    EXPECT_EQ(Check(worldRead->data(), &user_, GENERIC_READ), STATUS_SUCCESS);
    EXPECT_EQ(Check(worldRead->data(), &user_, GENERIC_READ | GENERIC_WRITE), STATUS_ACCESS_DENIED);

    EXPECT_FALSE(sim::security::DescriptorFromSddl("D:P(A;;QQ;;;SY)").has_value());
    EXPECT_FALSE(sim::security::DescriptorFromSddl("D:P(A;;GA;;;XX)").has_value());
    EXPECT_FALSE(sim::security::DescriptorFromSddl("D:P(A;;GA;;SY)").has_value());
    EXPECT_FALSE(sim::security::DescriptorFromSddl("D:P(A;;GA;;;SY").has_value());
    auto numeric = sim::security::DescriptorFromSddl("D:(A;;0x1;;;S-1-5-32-545)");
    ASSERT_TRUE(numeric.has_value());
    EXPECT_EQ(Check(numeric->data(), &user_, 0x1), STATUS_SUCCESS);
    EXPECT_EQ(Check(numeric->data(), &user_, 0x2), STATUS_ACCESS_DENIED);
}

TEST_F(SimSecurity, DenyAcesCountInOrder) {
    // A deny before the allow wins; a deny after an allow of the same rights is too late.
    auto denyFirst = sim::security::DescriptorFromSddl("D:(D;;0x2;;;WD)(A;;GA;;;WD)");
    auto allowFirst = sim::security::DescriptorFromSddl("D:(A;;GA;;;WD)(D;;GW;;;WD)");
    ASSERT_TRUE(denyFirst && allowFirst);
    EXPECT_EQ(Check(denyFirst->data(), &admin_, GENERIC_WRITE), STATUS_ACCESS_DENIED);
    EXPECT_EQ(Check(denyFirst->data(), &admin_, GENERIC_READ), STATUS_SUCCESS);
    ACCESS_MASK granted = 0;
    EXPECT_EQ(Check(denyFirst->data(), &user_, MAXIMUM_ALLOWED, &granted), STATUS_SUCCESS);
    EXPECT_EQ(granted & FILE_WRITE_ACCESS, 0u);
    EXPECT_NE(granted & FILE_READ_ACCESS, 0u);
    EXPECT_EQ(Check(allowFirst->data(), &user_, GENERIC_WRITE), STATUS_SUCCESS);

    // Denying GENERIC_WRITE also denies SYNCHRONIZE and READ_CONTROL, which
    // GENERIC_READ needs as well: such a deny shuts out readers too.
    auto denyGenericWrite = sim::security::DescriptorFromSddl("D:(D;;GW;;;WD)(A;;GA;;;WD)");
    ASSERT_TRUE(denyGenericWrite);
    EXPECT_EQ(Check(denyGenericWrite->data(), &user_, GENERIC_READ), STATUS_ACCESS_DENIED);
    EXPECT_EQ(Check(denyGenericWrite->data(), &user_, FILE_READ_ACCESS), STATUS_SUCCESS);
}

TEST_F(SimSecurity, PortDescriptorIsOnePoolBlockForSystemAndAdministrators) {
    PSECURITY_DESCRIPTOR sd = reinterpret_cast<PSECURITY_DESCRIPTOR>(1);
    ASSERT_EQ(sim::security::BuildSystemAdminDescriptor(kPortAllAccess, kTag, &sd), STATUS_SUCCESS);
    ASSERT_NE(sd, nullptr);
    EXPECT_EQ(sim::pool::TypeOf(sd), PagedPool);
    EXPECT_EQ(sim::pool::LiveByTag()[kTag].count, 1u);
    EXPECT_EQ(Check(sd, &admin_, kPortConnect), STATUS_SUCCESS);
    EXPECT_EQ(Check(sd, &system_, kPortAllAccess), STATUS_SUCCESS);
    EXPECT_EQ(Check(sd, &user_, kPortConnect), STATUS_ACCESS_DENIED);
    // Only the access asked for when it was built is granted.
    EXPECT_EQ(Check(sd, &admin_, FILE_WRITE_ACCESS | kPortConnect), STATUS_ACCESS_DENIED);
    ExFreePoolWithTag(sd, kTag);
    EXPECT_EQ(sim::pool::LiveBlocks(), 0u);

    sim::pool::FailTag(kTag);
    sd = reinterpret_cast<PSECURITY_DESCRIPTOR>(1);
    EXPECT_EQ(sim::security::BuildSystemAdminDescriptor(kPortAllAccess, kTag, &sd), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(sd, nullptr);
}

TEST_F(SimSecurity, MalformedDescriptorsAreRefused) {
    SECURITY_DESCRIPTOR sd;
    ASSERT_EQ(RtlCreateSecurityDescriptor(&sd, SECURITY_DESCRIPTOR_REVISION), STATUS_SUCCESS);
    alignas(4) UCHAR aclBuffer[32] = {};
    auto* acl = reinterpret_cast<PACL>(aclBuffer);
    ASSERT_EQ(RtlCreateAcl(acl, sizeof(aclBuffer), ACL_REVISION), STATUS_SUCCESS);
    ASSERT_EQ(RtlSetDaclSecurityDescriptor(&sd, TRUE, acl, FALSE), STATUS_SUCCESS);
    acl->AceCount = 3;  // claims ACEs that are not there
    EXPECT_EQ(Check(&sd, &admin_, FILE_READ_ACCESS), STATUS_INVALID_SECURITY_DESCR);
    EXPECT_TRUE(sim::security::CopyDescriptor(&sd).empty());
    acl->AceCount = 0;
    sd.Revision = 2;
    EXPECT_EQ(Check(&sd, &admin_, FILE_READ_ACCESS), STATUS_INVALID_SECURITY_DESCR);
    EXPECT_EQ(RtlSetDaclSecurityDescriptor(&sd, TRUE, acl, FALSE), STATUS_UNKNOWN_REVISION);
}

}  // namespace
