// Loading a driver image: mapped away from its preferred base with every
// relocation applied, sections with their page protections, imports bound by
// name (routines through stubs that keep the calling convention, data as the
// variable's address), and the refusals of the kernel's loader: an import the
// model lacks (named), a wrong checksum, a file that is no x64 driver, a
// relocation an x64 driver cannot have.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "tests/loader/harness.h"

namespace {

using ltest::LoaderTest;
using ltest::Notes;

std::vector<uint8_t> ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::string WriteTemp(const std::string& name, const std::vector<uint8_t>& bytes) {
    const std::string path = ::testing::TempDir() + name;
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    return path;
}

uint32_t U32(const std::vector<uint8_t>& d, size_t at) {
    uint32_t v;
    std::memcpy(&v, d.data() + at, 4);
    return v;
}

void PutU32(std::vector<uint8_t>& d, size_t at, uint32_t v) { std::memcpy(d.data() + at, &v, 4); }

size_t PeOffset(const std::vector<uint8_t>& d) { return U32(d, 0x3C); }
size_t ChecksumOffset(const std::vector<uint8_t>& d) { return PeOffset(d) + 24 + 64; }

// The file's sum as the PE format defines it, written into the header: an
// edited test image that should be refused for another reason than its checksum.
void Reseal(std::vector<uint8_t>& d) {
    const size_t field = ChecksumOffset(d);
    PutU32(d, field, 0);
    uint64_t sum = 0;
    for (size_t i = 0; i + 1 < d.size(); i += 2) {
        sum += d[i] | (d[i + 1] << 8);
        sum = (sum & 0xFFFF) + (sum >> 16);
    }
    if (d.size() % 2 != 0) {
        sum += d.back();
        sum = (sum & 0xFFFF) + (sum >> 16);
    }
    sum = (sum & 0xFFFF) + (sum >> 16);
    PutU32(d, field, static_cast<uint32_t>(sum + d.size()));
}

// File offset of the RVA `rva`, through the section table.
size_t FileOffset(const std::vector<uint8_t>& d, uint32_t rva) {
    const size_t pe = PeOffset(d);
    const uint16_t sections = d[pe + 6] | (d[pe + 7] << 8);
    const uint16_t optional = d[pe + 20] | (d[pe + 21] << 8);
    for (uint16_t i = 0; i < sections; ++i) {
        const size_t s = pe + 24 + optional + 40 * i;
        const uint32_t va = U32(d, s + 12);
        const uint32_t raw = U32(d, s + 16);
        if (rva >= va && rva < va + raw) {
            return U32(d, s + 20) + (rva - va);
        }
    }
    ADD_FAILURE() << "no section holds RVA " << rva;
    return 0;
}

NTSTATUS Map(const std::string& path, std::string* error, sim::loader::Image** image) {
    return sim::loader::MapImage(path, image, error);
}

// The protection of the host page holding `address`, as /proc/self/maps gives it ("r-xp").
std::string PageProtection(const void* address) {
    std::ifstream maps("/proc/self/maps");
    std::string line;
    const auto at = reinterpret_cast<uintptr_t>(address);
    while (std::getline(maps, line)) {
        unsigned long long begin = 0;
        unsigned long long end = 0;
        char perms[8] = {};
        if (std::sscanf(line.c_str(), "%llx-%llx %7s", &begin, &end, perms) == 3 && at >= begin && at < end) {
            return perms;
        }
    }
    return "unmapped";
}

TEST_F(LoaderTest, DriverEntryRunsAtAnotherBaseWithItsDataRelocated) {
    ASSERT_EQ(LoadBasic(), STATUS_SUCCESS);
    const uintptr_t base = sim::loader::ImageBase(image_);
    EXPECT_NE(base, 0x140000000u);
    // DriverEntry read the IRQL (CR8) first, then registered its routines.
    ASSERT_FALSE(Notes().empty());
    EXPECT_EQ(Notes()[0], PASSIVE_LEVEL);
    // A table of string pointers: absolute addresses the relocations moved.
    const char* word = Call<const char*>("Word", uint64_t{1});
    EXPECT_STREQ(word, "beta");
    EXPECT_GE(reinterpret_cast<uintptr_t>(word), base);
    EXPECT_LT(reinterpret_cast<uintptr_t>(word), base + sim::loader::ImageSize(image_));
    EXPECT_EQ(sim::loader::FindImage(word), image_);
}

TEST_F(LoaderTest, SectionsKeepTheirProtections) {
    ASSERT_EQ(LoadBasic(), STATUS_SUCCESS);
    EXPECT_EQ(PageProtection(ltest::Routine("Twice")), "r-xp");  // code
    EXPECT_EQ(PageProtection(Call<const char*>("Word", uint64_t{0})), "r--p");  // read-only data, the bound IAT
    EXPECT_EQ(PageProtection(reinterpret_cast<void*>(sim::loader::ImageBase(image_))), "r--p");  // headers
}

TEST_F(LoaderTest, ImportsKeepTheCallingConvention) {
    ASSERT_EQ(LoadBasic(), STATUS_SUCCESS);
    // Fourteen arguments: ten of them on the stack, passed on by the import stub.
    uint64_t expected = 0;
    for (uint64_t i = 1; i <= 14; ++i) {
        expected += i * i * i;
    }
    EXPECT_EQ(Call("ManyArguments"), expected);
    // Floating point in and out through XMM registers.
    EXPECT_EQ(Call("ScaleByThousand", uint64_t{7}), 7000u);
    // A data import reads the model's variable through the import table.
    ltest::gTestVariable = 0x5EED;
    EXPECT_EQ(Call("ReadVariable"), 0x5EEDu);
}

TEST_F(LoaderTest, AnImportTheModelLacksRefusesTheLoadByName) {
    sim::loader::Image* image = nullptr;
    std::string error;
    EXPECT_EQ(Map(ltest::ImagePath("missing.sys"), &error, &image), STATUS_PROCEDURE_NOT_FOUND);
    EXPECT_EQ(image, nullptr);
    EXPECT_NE(error.find("missing.sys"), std::string::npos) << error;
    EXPECT_NE(error.find("HAL.dll!HalExamineMBR"), std::string::npos) << error;
    EXPECT_EQ(error.find("TestNote"), std::string::npos) << error;  // that one the model has

    // Without the tests' routines every one of them is named.
    sim::loader::SetFallbackExports({});
    EXPECT_EQ(Map(ltest::ImagePath("basic.sys"), &error, &image), STATUS_PROCEDURE_NOT_FOUND);
    EXPECT_NE(error.find("ntoskrnl.exe!TestRegister"), std::string::npos) << error;
    // What the model exports binds; only the tests' routines are missing.
    EXPECT_EQ(error.find("__C_specific_handler"), std::string::npos) << error;
    EXPECT_EQ(error.find("memcpy"), std::string::npos) << error;
}

TEST_F(LoaderTest, AnImportNewerThanTheOldestSupportedWindowsRefusesTheLoad) {
    std::vector<sim::loader::FallbackExport> exports = ltest::TestExports();
    for (auto& e : exports) {
        if (e.name == "TestNote" || e.name == "TestVariable") {
            e.since = sim::loader::WindowsVersion::Win11;
        }
    }
    sim::loader::SetFallbackExports(exports);
    std::string error;
    sim::loader::Image* image = nullptr;
    EXPECT_EQ(Map(ltest::ImagePath("basic.sys"), &error, &image), STATUS_PROCEDURE_NOT_FOUND);
    EXPECT_EQ(image, nullptr);
    EXPECT_NE(error.find("Windows 10 1507, the oldest Windows the driver supports"), std::string::npos) << error;
    EXPECT_NE(error.find("ntoskrnl.exe!TestNote (from Windows 11)"), std::string::npos) << error;
    EXPECT_NE(error.find("ntoskrnl.exe!TestVariable (from Windows 11)"), std::string::npos) << error;
    EXPECT_EQ(error.find("TestRegister"), std::string::npos) << error;

    // What the oldest supported version has binds.
    for (auto& e : exports) {
        e.since = sim::loader::kOldestSupportedWindows;
    }
    sim::loader::SetFallbackExports(exports);
    ASSERT_EQ(Map(ltest::ImagePath("basic.sys"), &error, &image), STATUS_SUCCESS) << error;
    sim::loader::UnmapImage(image);
}

TEST_F(LoaderTest, AWrongChecksumRefusesTheLoad) {
    const std::vector<uint8_t> good = ReadFile(ltest::ImagePath("basic.sys"));
    ASSERT_FALSE(good.empty());
    sim::loader::Image* image = nullptr;
    std::string error;
    // One byte of code changed.
    std::vector<uint8_t> patched = good;
    patched[FileOffset(good, 0x1000) + 5] ^= 0x40;
    EXPECT_EQ(Map(WriteTemp("patched.sys", patched), &error, &image), STATUS_IMAGE_CHECKSUM_MISMATCH);
    EXPECT_NE(error.find("checksum"), std::string::npos) << error;
    // The header's checksum changed.
    std::vector<uint8_t> wrongSum = good;
    PutU32(wrongSum, ChecksumOffset(good), U32(good, ChecksumOffset(good)) + 1);
    EXPECT_EQ(Map(WriteTemp("wrongsum.sys", wrongSum), &error, &image), STATUS_IMAGE_CHECKSUM_MISMATCH);
    // Sealed again, the changed byte is accepted: the checksum was the reason.
    Reseal(patched);
    EXPECT_EQ(Map(WriteTemp("resealed.sys", patched), &error, &image), STATUS_SUCCESS) << error;
    sim::loader::UnmapImage(image);
}

TEST_F(LoaderTest, OnlyAnX64NativeImageWithX64RelocationsLoads) {
    const std::vector<uint8_t> good = ReadFile(ltest::ImagePath("basic.sys"));
    ASSERT_FALSE(good.empty());
    const size_t pe = PeOffset(good);
    const size_t optional = pe + 24;
    struct Case {
        const char* what;
        size_t offset;
        uint16_t value;
        const char* reason;
    };
    // The first base relocation entry of the first block becomes a 32-bit one.
    const uint32_t relocRva = U32(good, optional + 112 + 8 * 5);
    const size_t firstEntry = FileOffset(good, relocRva) + 8;
    const uint16_t entry = good[firstEntry] | (good[firstEntry + 1] << 8);
    const Case cases[] = {
        {"an x86 image", pe + 4, 0x014C, "not AMD64"},
        {"a PE32 optional header", optional, 0x010B, "not PE32+"},
        {"a Windows GUI subsystem", optional + 68, 2, "not native"},
        {"a 32-bit relocation", firstEntry, static_cast<uint16_t>((entry & 0x0FFF) | 0x3000), "relocation of type 3"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<uint8_t> bytes = good;
        bytes[c.offset] = static_cast<uint8_t>(c.value);
        bytes[c.offset + 1] = static_cast<uint8_t>(c.value >> 8);
        Reseal(bytes);
        sim::loader::Image* image = nullptr;
        std::string error;
        EXPECT_EQ(Map(WriteTemp("case.sys", bytes), &error, &image), STATUS_INVALID_IMAGE_FORMAT);
        EXPECT_NE(error.find(c.reason), std::string::npos) << error;
        EXPECT_EQ(image, nullptr);
    }
}

}  // namespace
