// The communication port: the switch commands, malformed and hostile client
// buffers, and the one client's connection life cycle, all through real
// connections of the simulated port.
#include "sim/user/memory.h"
#include "tests/support/fixture.h"

#if VTEST_USER_SIDE

#include <sys/mman.h>
#include <unistd.h>

#include <array>
#include <cstring>

#include "channel/port.h"
#include "driver/driver_data.h"
#include "sim/user/fltuser.h"

namespace {

using sim::user::HRESULT;
using sim::user::HResultFromNtStatus;
using sim::user::S_OK;

struct SwitchCase {
    ULONG set;
    ULONG get;
    UCHAR DRIVER_DATA::*field;
    const char* name;
};

const std::array<SwitchCase, 4> kSwitches = {{
    {CMD_SET_FILE_MON, CMD_GET_FILE_MON, &DRIVER_DATA::FileMonEnabled, "FileMonEnabled"},
    {CMD_SET_PROC_MON, CMD_GET_PROC_MON, &DRIVER_DATA::ProcMonEnabled, "ProcMonEnabled"},
    {CMD_SET_SWITCH2, CMD_GET_SWITCH2, &DRIVER_DATA::Switch2, "Switch2"},
    {CMD_SET_REG_MON, CMD_GET_REG_MON, &DRIVER_DATA::RegMonEnabled, "RegMonEnabled"},
}};

std::array<UCHAR, 4> Switches() {
    return {DriverData.FileMonEnabled, DriverData.ProcMonEnabled, DriverData.Switch2, DriverData.RegMonEnabled};
}

// A page of the process that no longer exists, and one that may only be read.
class Pages {
public:
    Pages() {
        pageSize_ = static_cast<size_t>(sysconf(_SC_PAGESIZE));
        // Three pages in a row: readable and writable, then unmapped, then
        // read-only, so a buffer at the end of the first runs into the hole.
        void* three = mmap(nullptr, 3 * pageSize_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        EXPECT_NE(three, MAP_FAILED);
        mapped_ = static_cast<uint8_t*>(three);
        unmapped_ = mapped_ + pageSize_;
        readOnly_ = mapped_ + 2 * pageSize_;
        EXPECT_EQ(munmap(unmapped_, pageSize_), 0);
        EXPECT_EQ(mprotect(readOnly_, pageSize_, PROT_READ), 0);
    }
    ~Pages() {
        munmap(mapped_, pageSize_);
        munmap(readOnly_, pageSize_);
    }
    uint8_t* unmapped() const { return unmapped_; }
    uint8_t* readOnly() const { return readOnly_; }
    // The last `n` bytes of the mapped page: a buffer that runs into the unmapped one.
    uint8_t* endOfMapped(size_t n) const { return mapped_ + pageSize_ - n; }

private:
    size_t pageSize_ = 0;
    uint8_t* mapped_ = nullptr;
    uint8_t* unmapped_ = nullptr;
    uint8_t* readOnly_ = nullptr;
};

std::vector<uint8_t> Command(ULONG code, UCHAR value, size_t length = PORT_COMMAND_SET_SIZE) {
    std::vector<uint8_t> bytes(std::max<size_t>(length, PORT_COMMAND_SET_SIZE), 0x5A);
    std::memcpy(bytes.data() + PORT_COMMAND_CODE_OFFSET, &code, sizeof(code));
    bytes[PORT_COMMAND_VALUE_OFFSET] = value;
    bytes.resize(length);
    return bytes;
}

class PortCommands : public vtest::DriverTest {
protected:
    void SetUp() override {
        DriverTest::SetUp();
        ASSERT_EQ(Connect(), S_OK);
    }

    // Calls the message notification as the Filter Manager does: the
    // program's buffers at user addresses, and a returned-length cell that
    // starts at a sentinel.
    static NTSTATUS Direct(const void* input, ULONG inputLength, void* output, ULONG outputLength, ULONG* returned) {
        *returned = 0xDEADBEEF;
        sim::user::UserView in(input, inputLength, false);
        sim::user::UserView out(output, outputLength, true);
        return PortMessage(nullptr, in.address(), inputLength, out.address(), outputLength, returned);
    }
};

// ---------------------------------------------------------------------------
// Commands

TEST_F(PortCommands, EverySwitchKeepsTheRawByteItWasSetTo) {
    for (const SwitchCase& s : kSwitches) {
        SCOPED_TRACE(s.name);
        for (UCHAR value : {UCHAR{2}, UCHAR{0x80}, UCHAR{0}, UCHAR{1}}) {
            const std::array<UCHAR, 4> before = Switches();
            ULONG returned = 0xFFFF;
            std::vector<uint8_t> set = Command(s.set, value);
            ASSERT_EQ(PortCommand(set.data(), static_cast<ULONG>(set.size()), nullptr, 0, &returned), S_OK);
            EXPECT_EQ(returned, 0u);
            EXPECT_EQ(DriverData.*s.field, value);
            // No other switch moved.
            std::array<UCHAR, 4> after = Switches();
            for (size_t i = 0; i < 4; ++i) {
                if (&(DriverData.*kSwitches[i].field) != &(DriverData.*s.field)) {
                    EXPECT_EQ(after[i], before[i]) << kSwitches[i].name;
                }
            }

            // The answer lands in byte 4 alone; the returned length stays 0.
            std::vector<uint8_t> get = Command(s.get, 0);
            std::array<uint8_t, 8> output;
            output.fill(0xAA);
            returned = 0xFFFF;
            ASSERT_EQ(PortCommand(get.data(), static_cast<ULONG>(get.size()), output.data(), static_cast<ULONG>(output.size()),
                                  &returned),
                      S_OK);
            EXPECT_EQ(returned, 0u);
            for (size_t i = 0; i < output.size(); ++i) {
                EXPECT_EQ(output[i], i == PORT_ANSWER_OFFSET ? value : 0xAA) << "output byte " << i;
            }
        }
    }
}

TEST_F(PortCommands, ProcMonSetToTwoCountsAsOn) {
    ASSERT_EQ(SetSwitch(CMD_SET_PROC_MON, 2), S_OK);
    EXPECT_EQ(GetSwitch(CMD_GET_PROC_MON), 2);
    _EPROCESS* other = StartProcess();
    EXPECT_TRUE(ProcMonIsWanted(reinterpret_cast<HANDLE>(other->pid)));
    // The client's own process is never wanted.
    EXPECT_FALSE(ProcMonIsWanted(reinterpret_cast<HANDLE>(Client()->pid)));
}

TEST_F(PortCommands, InputShorterThanACommandChangesNothing) {
    ASSERT_EQ(SetSwitch(CMD_SET_REG_MON, 1), S_OK);
    const std::array<UCHAR, 4> before = Switches();
    uint8_t three[3] = {0, 0, 0};
    EXPECT_EQ(PortCommand(three, sizeof(three), nullptr, 0), S_OK);
    uint8_t setOff[3] = {CMD_SET_REG_MON, 0, 0};
    EXPECT_EQ(PortCommand(setOff, sizeof(setOff), nullptr, 0), S_OK);
    EXPECT_EQ(Switches(), before);

    // Nothing is written, not even the returned length.
    ULONG returned = 0;
    EXPECT_EQ(Direct(setOff, sizeof(setOff), nullptr, 0, &returned), STATUS_SUCCESS);
    EXPECT_EQ(returned, 0xDEADBEEFu);
    EXPECT_EQ(Direct(nullptr, 16, nullptr, 0, &returned), STATUS_SUCCESS);
    EXPECT_EQ(returned, 0xDEADBEEFu);
    EXPECT_EQ(Switches(), before);
}

TEST_F(PortCommands, SetWithoutItsValueByteIsRefused) {
    for (size_t length = 4; length < PORT_COMMAND_SET_SIZE; ++length) {
        SCOPED_TRACE(length);
        std::vector<uint8_t> set = Command(CMD_SET_FILE_MON, 1, length);
        ULONG returned = 0xFFFF;
        EXPECT_EQ(PortCommand(set.data(), static_cast<ULONG>(length), nullptr, 0, &returned),
                  HResultFromNtStatus(STATUS_INVALID_PARAMETER));
        EXPECT_EQ(returned, 0u);
        EXPECT_EQ(DriverData.FileMonEnabled, 0u);
    }
}

TEST_F(PortCommands, GetWithoutRoomForTheAnswerIsRefused) {
    ASSERT_EQ(SetSwitch(CMD_SET_FILE_MON, 7), S_OK);
    std::vector<uint8_t> get = Command(CMD_GET_FILE_MON, 0);
    ULONG returned = 0xFFFF;
    EXPECT_EQ(PortCommand(get.data(), static_cast<ULONG>(get.size()), nullptr, 0, &returned),
              HResultFromNtStatus(STATUS_INVALID_PARAMETER));
    EXPECT_EQ(returned, 0u);

    // Four bytes end before byte 4: nothing may be written there.
    uint8_t four[PORT_ANSWER_SIZE] = {0xAA, 0xAA, 0xAA, 0xAA, 0xAA};
    EXPECT_EQ(PortCommand(get.data(), static_cast<ULONG>(get.size()), four, 4, &returned),
              HResultFromNtStatus(STATUS_INVALID_PARAMETER));
    EXPECT_EQ(four[PORT_ANSWER_OFFSET], 0xAA);
    EXPECT_EQ(DriverData.FileMonEnabled, 7u);

    EXPECT_EQ(Direct(get.data(), static_cast<ULONG>(get.size()), nullptr, 0, &returned), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(returned, 0u);
}

TEST_F(PortCommands, UnknownCommandIsNotSupportedAndLeavesTheReturnedLength) {
    const std::array<UCHAR, 4> before = Switches();
    for (ULONG code : {10u, 11u, 0x80000000u, 0xFFFFFFFFu}) {
        SCOPED_TRACE(code);
        std::vector<uint8_t> command = Command(code, 1);
        uint8_t output[8] = {};
        EXPECT_EQ(PortCommand(command.data(), static_cast<ULONG>(command.size()), output, sizeof(output)),
                  HResultFromNtStatus(STATUS_NOT_SUPPORTED));
        ULONG returned = 0;
        EXPECT_EQ(Direct(command.data(), static_cast<ULONG>(command.size()), output, sizeof(output), &returned),
                  STATUS_NOT_SUPPORTED);
        EXPECT_EQ(returned, 0xDEADBEEFu);
    }
    EXPECT_EQ(Switches(), before);
}

// The backup limit: a 64-bit value at byte 8, answered at byte 4; a short
// set or a get without room is refused and changes nothing.
TEST_F(PortCommands, TheBackupLimitIsSixtyFourBitsAndShortBuffersAreRefused) {
    EXPECT_EQ(DriverData.BackupLimit, 0u) << "nothing is copied before a change until the client says so";
    std::vector<uint8_t> set(PORT_LIMIT_SET_SIZE, 0);
    const ULONG setCode = CMD_SET_BACKUP_LIMIT;
    const uint64_t limit = 0x0000000123456789ull;
    std::memcpy(set.data() + PORT_COMMAND_CODE_OFFSET, &setCode, sizeof(setCode));
    std::memcpy(set.data() + PORT_COMMAND_VALUE_OFFSET, &limit, sizeof(limit));
    ULONG returned = 0;
    EXPECT_EQ(Direct(set.data(), static_cast<ULONG>(set.size()), nullptr, 0, &returned), STATUS_SUCCESS);
    EXPECT_EQ(DriverData.BackupLimit, limit);
    EXPECT_EQ(returned, 0u);

    // A set one byte short of the value: refused, the limit stays.
    EXPECT_EQ(Direct(set.data(), PORT_LIMIT_SET_SIZE - 1, nullptr, 0, &returned), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(DriverData.BackupLimit, limit);

    std::vector<uint8_t> get(PORT_COMMAND_SET_SIZE, 0);
    const ULONG getCode = CMD_GET_BACKUP_LIMIT;
    std::memcpy(get.data() + PORT_COMMAND_CODE_OFFSET, &getCode, sizeof(getCode));
    uint8_t answer[PORT_LIMIT_ANSWER_SIZE] = {};
    EXPECT_EQ(Direct(get.data(), static_cast<ULONG>(get.size()), answer, PORT_LIMIT_ANSWER_SIZE - 1, &returned),
              STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Direct(get.data(), static_cast<ULONG>(get.size()), answer, sizeof(answer), &returned), STATUS_SUCCESS);
    uint64_t read = 0;
    std::memcpy(&read, answer + PORT_ANSWER_OFFSET, sizeof(read));
    EXPECT_EQ(read, limit);

}

// ---------------------------------------------------------------------------
// Hostile buffers

TEST_F(PortCommands, FaultingInputIsAnAccessViolationAndChangesNothing) {
    Pages pages;
    const HRESULT violation = HResultFromNtStatus(STATUS_ACCESS_VIOLATION);
    ASSERT_LT(violation, 0);

    // The command itself unreadable.
    EXPECT_EQ(PortCommand(pages.unmapped(), PORT_COMMAND_SET_SIZE, nullptr, 0), violation);

    // A set whose code is readable but whose value byte lies on the unmapped page.
    uint8_t* straddling = pages.endOfMapped(PORT_COMMAND_VALUE_OFFSET);
    const ULONG code = CMD_SET_FILE_MON;
    std::memcpy(straddling, &code, sizeof(code));
    EXPECT_EQ(PortCommand(straddling, PORT_COMMAND_SET_SIZE, nullptr, 0), violation);
    EXPECT_EQ(DriverData.FileMonEnabled, 0u);

    // Lock was not left held: another thread can take it, and the next command works.
    ASSERT_TRUE(ExTryToAcquireFastMutex(&DriverData.Lock));
    ExReleaseFastMutex(&DriverData.Lock);
    EXPECT_EQ(SetSwitch(CMD_SET_FILE_MON, 1), S_OK);
    EXPECT_EQ(GetSwitch(CMD_GET_FILE_MON), 1);
}

TEST_F(PortCommands, FaultingOutputIsAnAccessViolationAndChangesNothing) {
    Pages pages;
    const HRESULT violation = HResultFromNtStatus(STATUS_ACCESS_VIOLATION);
    ASSERT_EQ(SetSwitch(CMD_SET_REG_MON, 3), S_OK);
    const std::array<UCHAR, 4> before = Switches();
    std::vector<uint8_t> get = Command(CMD_GET_REG_MON, 0);

    EXPECT_EQ(PortCommand(get.data(), static_cast<ULONG>(get.size()), pages.readOnly(), PORT_ANSWER_SIZE), violation);
    EXPECT_EQ(pages.readOnly()[PORT_ANSWER_OFFSET], 0u);
    EXPECT_EQ(PortCommand(get.data(), static_cast<ULONG>(get.size()), pages.unmapped(), PORT_ANSWER_SIZE), violation);
    EXPECT_EQ(Switches(), before);

    ASSERT_TRUE(ExTryToAcquireFastMutex(&DriverData.Lock));
    ExReleaseFastMutex(&DriverData.Lock);
    EXPECT_EQ(GetSwitch(CMD_GET_REG_MON), 3);
}

// ---------------------------------------------------------------------------
// Connection life cycle

TEST_F(PortCommands, ReconnectKeepsTheSwitchesAndRecordsTheNewClient) {
    ASSERT_EQ(SetSwitch(CMD_SET_FILE_MON, 1), S_OK);
    ASSERT_EQ(SetSwitch(CMD_SET_PROC_MON, 2), S_OK);
    ASSERT_EQ(SetSwitch(CMD_SET_SWITCH2, 3), S_OK);
    ASSERT_EQ(SetSwitch(CMD_SET_REG_MON, 4), S_OK);
    const std::array<UCHAR, 4> before = Switches();

    Disconnect();
    EXPECT_EQ(DriverData.ClientPort, nullptr);
    EXPECT_EQ(DriverData.ClientProcess, nullptr);
    EXPECT_EQ(DriverData.ClientProcessId, nullptr);
    EXPECT_EQ(DriverData.ConnectionCookie, 0u);
    EXPECT_EQ(Switches(), before);

    _EPROCESS* second = StartProcess(vtest::kClientImage, nullptr, true);
    ASSERT_EQ(Connect(second), S_OK);
    EXPECT_EQ(DriverData.ClientProcess, second);
    EXPECT_EQ(DriverData.ClientProcessId, reinterpret_cast<HANDLE>(second->pid));
    EXPECT_TRUE(IsClientProcess(second));
    EXPECT_FALSE(IsClientProcess(Client()));
    EXPECT_EQ(GetSwitch(CMD_GET_FILE_MON), 1);
    EXPECT_EQ(GetSwitch(CMD_GET_PROC_MON), 2);
    EXPECT_EQ(GetSwitch(CMD_GET_SWITCH2), 3);
    EXPECT_EQ(GetSwitch(CMD_GET_REG_MON), 4);
}

TEST_F(PortCommands, SecondClientIsRefusedAndTheFirstStaysRecorded) {
    _EPROCESS* second = StartProcess(vtest::kClientImage, nullptr, true);
    HANDLE port = nullptr;
    EXPECT_EQ(sim::user::FilterConnectCommunicationPort(second, u"\\VetronaFlt_Com", 0, nullptr, 0, &port),
              sim::user::kHrConnectionCountLimit);
    EXPECT_EQ(port, sim::user::INVALID_HANDLE_VALUE);
    EXPECT_EQ(DriverData.ClientProcess, Client());
    EXPECT_EQ(SetSwitch(CMD_SET_SWITCH2, 1), S_OK);
}

TEST_F(PortCommands, NotificationsForAnotherConnectionLeaveTheClientRecorded) {
    PFLT_PORT const port = DriverData.ClientPort;
    const ULONG_PTR cookie = DriverData.ConnectionCookie;

    // A disconnect whose cookie is not the recorded one.
    PortDisconnect(reinterpret_cast<PVOID>(cookie + 0x1000));
    EXPECT_EQ(DriverData.ClientPort, port);
    EXPECT_EQ(DriverData.ClientProcess, Client());

    // A connect while a client is recorded succeeds and records nothing.
    PVOID slot = reinterpret_cast<PVOID>(0x77);
    char context[4] = {};
    EXPECT_EQ(PortConnect(reinterpret_cast<PFLT_PORT>(0x1234), nullptr, context, sizeof(context), &slot), STATUS_SUCCESS);
    EXPECT_EQ(DriverData.ClientPort, port);
    EXPECT_EQ(DriverData.ConnectionCookie, cookie);
    EXPECT_EQ(DriverData.ClientProcess, Client());
    EXPECT_EQ(slot, reinterpret_cast<PVOID>(0x77));  // the slot is never written
}

// ---------------------------------------------------------------------------
// Port creation at start-up

class PortCreation : public vtest::DriverTest {
protected:
    PortCreation() { loadAtSetUp_ = false; }
};

TEST_F(PortCreation, NoSecurityDescriptorFailsTheLoadWithMemoryNotAllocated) {
    sim::InjectFailure("FltBuildDefaultSecurityDescriptor", STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(Load(), STATUS_MEMORY_NOT_ALLOCATED);
    EXPECT_EQ(sim::CallCount("FltCreateCommunicationPort"), 0u);
}

TEST_F(PortCreation, PortCreationFailureFreesTheDescriptorAndFailsTheLoad) {
    sim::InjectFailure("FltCreateCommunicationPort", STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(Load(), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(sim::CallCount("FltFreeSecurityDescriptor"), 1u);
    // The pool check at tear-down shows the descriptor was freed.
}

TEST_F(PortCreation, LoadCreatesAPortForAdministratorsOnly) {
    ASSERT_EQ(Load(), STATUS_SUCCESS);
    EXPECT_NE(DriverData.ServerPort, nullptr);
    EXPECT_EQ(sim::CallCount("FltBuildDefaultSecurityDescriptor"), 1u);
    EXPECT_EQ(sim::CallCount("FltFreeSecurityDescriptor"), 1u);
    // A non-administrator is refused by the default descriptor.
    _EPROCESS* user = StartProcess(vtest::kAppImage, nullptr, false);
    HANDLE port = nullptr;
    EXPECT_EQ(sim::user::FilterConnectCommunicationPort(user, u"\\VetronaFlt_Com", 0, nullptr, 0, &port),
              sim::user::kHrAccessDenied);
    EXPECT_EQ(DriverData.ClientPort, nullptr);
}

}  // namespace

#endif  // VTEST_USER_SIDE
