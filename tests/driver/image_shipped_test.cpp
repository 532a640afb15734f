// The shipped image (build/windows/vetrona.sys) on the simulated kernel, at
// the places only the image has: its own exception handler for a client
// buffer that faults, its checked lists' fast fail, control-flow guard on a
// callback its table lacks, and an import the model does not have. Skipped
// when the image has not been built (windows/build-sys.sh; the test command
// builds it first) and in the sanitizer builds, whose signal handling the
// image's traps cannot share.
#include "tests/support/fixture.h"

#include "channel/wire.h"
#include "driver/driver_data.h"
#include "sim/loader/loader.h"
#include "sim/ke/core.h"
#include "sim/io/io.h"
#include "sim/user/memory.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

namespace {

using sim::user::S_OK;

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif

const std::string kImage = std::string(VETRONA_SOURCE_DIR) + "/build/windows/vetrona.sys";

std::vector<uint8_t> ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

template <typename T>
T Get(const std::vector<uint8_t>& b, size_t at) {
    T value{};
    std::memcpy(&value, b.data() + at, sizeof(T));
    return value;
}

template <typename T>
void Set(std::vector<uint8_t>& b, size_t at, T value) {
    std::memcpy(b.data() + at, &value, sizeof(T));
}

// The few places of a PE32+ file the tests patch.
struct Pe {
    explicit Pe(const std::vector<uint8_t>& bytes) : b(bytes) {
        const uint32_t pe = Get<uint32_t>(b, 0x3C);
        sections = Get<uint16_t>(b, pe + 6);
        optional = pe + 24;
        sectionTable = optional + Get<uint16_t>(b, pe + 20);
        imageBase = Get<uint64_t>(b, optional + 24);
    }
    size_t FileOffset(uint32_t rva) const {
        for (uint16_t i = 0; i < sections; ++i) {
            const size_t s = sectionTable + 40 * i;
            const uint32_t va = Get<uint32_t>(b, s + 12), raw = Get<uint32_t>(b, s + 16);
            if (rva >= va && rva < va + raw) return Get<uint32_t>(b, s + 20) + (rva - va);
        }
        ADD_FAILURE() << "rva " << rva << " is in no section";
        return 0;
    }
    uint32_t Directory(int index) const { return Get<uint32_t>(b, optional + 112 + 8 * index); }
    const std::vector<uint8_t>& b;
    uint16_t sections = 0;
    size_t optional = 0, sectionTable = 0;
    uint64_t imageBase = 0;
};

// The image checksum, as the kernel's loader computes it before it accepts a driver.
void FixChecksum(std::vector<uint8_t>& b) {
    const size_t field = Get<uint32_t>(b, 0x3C) + 24 + 64;
    uint64_t sum = 0;
    for (size_t i = 0; i + 1 < b.size() + 1; i += 2) {
        if (i == field || i == field + 2) continue;
        const uint16_t word = static_cast<uint16_t>(b[i] | (i + 1 < b.size() ? b[i + 1] << 8 : 0));
        sum += word;
        sum = (sum & 0xFFFF) + (sum >> 16);
    }
    sum = (sum & 0xFFFF) + (sum >> 16);
    Set<uint32_t>(b, field, static_cast<uint32_t>(sum + b.size()));
}

// The RVA of a routine of the image, from the link map beside it.
uint32_t RoutineRva(const std::string& name) {
    std::ifstream in(kImage.substr(0, kImage.size() - 4) + ".map");
    std::string line;
    while (std::getline(in, line)) {
        if (line.size() > name.size() && line.compare(line.size() - name.size(), name.size(), name) == 0 &&
            line.find("(") != std::string::npos) {
            return static_cast<uint32_t>(std::stoul(line.substr(0, 8), nullptr, 16));
        }
    }
    return 0;
}

std::string WriteCopy(const std::vector<uint8_t>& bytes, const std::string& name) {
    const std::string path = ::testing::TempDir() + name;
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()),
                                                static_cast<std::streamsize>(bytes.size()));
    // The link map goes with it, for the harness's look at the driver's state.
    std::filesystem::copy_file(kImage.substr(0, kImage.size() - 4) + ".map",
                               path.substr(0, path.size() - 4) + ".map",
                               std::filesystem::copy_options::overwrite_existing);
    return path;
}

class ShippedImage : public vtest::DriverTest {
protected:
    ShippedImage() { loadAtSetUp_ = false; }
    void SetUp() override {
        if (kSanitized) GTEST_SKIP() << "the image's traps do not run under a sanitizer";
        if (!std::filesystem::exists(kImage)) GTEST_SKIP() << kImage << " is not built (windows/build-sys.sh)";
        DriverTest::SetUp();
    }
    void TearDown() override {
        unsetenv("VETRONA_IMAGE");
        DriverTest::TearDown();
    }
    NTSTATUS LoadImage(const std::string& path) {
        setenv("VETRONA_IMAGE", path.c_str(), 1);
        return Load();
    }
};

TEST_F(ShippedImage, AClientBufferThatFaultsReachesTheImagesOwnHandler) {
    ASSERT_EQ(LoadImage(kImage), STATUS_SUCCESS);
    ASSERT_TRUE(sim::loader::FindImage(driver()->DriverStart) != nullptr) << "the driver runs from the image";
    ASSERT_EQ(Connect(), S_OK);
    // A command whose bytes lie on a page the client cannot read: the image's
    // guarded copy faults, its scope's handler takes the exception, and the
    // client gets the access violation, as from the host build.
    uint8_t* page = static_cast<uint8_t*>(sim::user::AllocateUserMemory(4096));
    sim::user::ProtectUserMemory(page, 4096, false, false);
    const uint64_t handled = sim::CallCount("__C_specific_handler");
    EXPECT_EQ(PortCommand(page, PORT_COMMAND_SET_SIZE, nullptr, 0), sim::user::HResultFromNtStatus(STATUS_ACCESS_VIOLATION));
    EXPECT_GT(sim::CallCount("__C_specific_handler"), handled) << "the image's language handler ran";
    // The driver goes on serving: a good command after the fault.
    EXPECT_EQ(SetSwitch(CMD_SET_FILE_MON, 1), S_OK);
    EXPECT_EQ(GetSwitch(CMD_GET_FILE_MON), 1);
    sim::user::ProtectUserMemory(page, 4096, true, true);
    sim::user::FreeUserMemory(page);
}

TEST_F(ShippedImage, ACorruptListEntryEndsInTheImagesFastFail) {
    ASSERT_EQ(LoadImage(kImage), STATUS_SUCCESS);
    const sim::loader::Image* image = sim::loader::FindImage(driver()->DriverStart);
    ASSERT_NE(image, nullptr);
    auto* data = reinterpret_cast<DRIVER_DATA*>(sim::loader::ImageSymbolAddress(image, "DriverData"));
    ASSERT_NE(data, nullptr);
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(
        {
            // The watched set's head points back at something else: the next
            // insertion's check of its neighbours fails.
            data->ProcessList.Head.Blink = reinterpret_cast<PLIST_ENTRY>(&data->FileIdList);
            AddProcess(4242);
        },
        "STOP: 0x00000139 \\(0x0000000000000003");
}

TEST_F(ShippedImage, ACallbackMissingFromTheGuardTableIsStoppedAtItsFirstCall) {
    std::vector<uint8_t> bytes = ReadFile(kImage);
    Pe pe(bytes);
    const uint32_t target = RoutineRva("PortMessage(void*, void*, unsigned long, void*, unsigned long, unsigned long*)");
    ASSERT_NE(target, 0u) << "PortMessage in the link map";
    const size_t config = pe.FileOffset(pe.Directory(10));
    const uint64_t tableVa = Get<uint64_t>(bytes, config + 0x80);
    const uint64_t count = Get<uint64_t>(bytes, config + 0x88);
    const size_t table = pe.FileOffset(static_cast<uint32_t>(tableVa - pe.imageBase));
    bool removed = false;
    for (uint64_t i = 0, kept = 0; i < count; ++i) {
        const uint32_t rva = Get<uint32_t>(bytes, table + 4 * i);
        if (rva == target) {
            removed = true;
            continue;
        }
        Set<uint32_t>(bytes, table + 4 * kept++, rva);
    }
    ASSERT_TRUE(removed) << "the port's message callback is a valid call target of the shipped image";
    Set<uint64_t>(bytes, config + 0x88, count - 1);
    FixChecksum(bytes);
    const std::string path = WriteCopy(bytes, "vetrona-no-port-message.sys");

    // It loads and runs: nothing has called the callback yet.
    ASSERT_EQ(LoadImage(path), STATUS_SUCCESS);
    ASSERT_EQ(Connect(), S_OK);
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(SetSwitch(CMD_SET_FILE_MON, 1), "STOP: 0x00000139 \\(0x000000000000000A");
}

TEST_F(ShippedImage, AStartThatFailsLeavesNoImageMapped) {
    // DriverEntry fails (its device cannot be made): the start undoes itself
    // and the loader takes the image away with the driver object.
    sim::InjectFailure("IoCreateDevice", STATUS_INSUFFICIENT_RESOURCES);
    PDRIVER_OBJECT driver = nullptr;
    std::string error;
    EXPECT_EQ(sim::LoadDriverImage(kImage, u"vetrona", &driver, &error), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(driver, nullptr);
    EXPECT_NE(error.find("DriverEntry failed"), std::string::npos) << error;
    // A second start maps it afresh and runs.
    ASSERT_EQ(LoadImage(kImage), STATUS_SUCCESS);
    const sim::loader::Image* image = sim::loader::FindImage(this->driver()->DriverStart);
    ASSERT_NE(image, nullptr);
    EXPECT_EQ(sim::loader::ImageBase(image), reinterpret_cast<uintptr_t>(this->driver()->DriverStart));
    EXPECT_EQ(sim::loader::LoadedImageCount(), 1u) << "the failed start's mapping is gone";
}

TEST_F(ShippedImage, AnImportTheModelLacksRefusesTheLoadByName) {
    std::vector<uint8_t> bytes = ReadFile(kImage);
    const std::string from = "FltSendMessage", to = "FltSendMessagX";
    auto at = std::search(bytes.begin(), bytes.end(), from.begin(), from.end());
    ASSERT_NE(at, bytes.end());
    std::copy(to.begin(), to.end(), at);
    FixChecksum(bytes);
    const std::string path = WriteCopy(bytes, "vetrona-unknown-import.sys");
    PDRIVER_OBJECT driver = nullptr;
    std::string error;
    EXPECT_EQ(sim::LoadDriverImage(path, u"vetrona", &driver, &error), STATUS_PROCEDURE_NOT_FOUND);
    EXPECT_EQ(driver, nullptr);
    EXPECT_NE(error.find("FLTMGR.SYS!FltSendMessagX"), std::string::npos) << error;
    // A checksum left as it was refuses the file before any import is looked at.
    std::vector<uint8_t> stale = ReadFile(kImage);
    stale[stale.size() / 2] ^= 1;
    EXPECT_NE(sim::LoadDriverImage(WriteCopy(stale, "vetrona-stale-checksum.sys"), u"vetrona", &driver, &error),
              STATUS_SUCCESS);
    EXPECT_NE(error.find("checksum"), std::string::npos) << error;
}

}  // namespace
