// Shared test fixtures. SimTest: a freshly booted simulated kernel without the
// driver. DriverTest: the same with the driver loaded, plus helpers that act as
// user-mode programs do: start processes, open the control device and send
// control codes, connect to the port as the client, send port commands and
// answer event messages with verdicts. Both end by checking that the pool is
// empty (every tag back to zero).
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "channel/wire.h"
#include "platform/kernel.h"
#include "sim/ke/core.h"
#include "sim/ex/pool.h"
#include "sim/ps/ps.h"
#include "sim/user/fltuser.h"

// The driver fixture and the user side it drives are available (tests written
// while the simulated kernel was being built test this).
#define VTEST_USER_SIDE 1

namespace vtest {

using sim::user::HRESULT;
using sim::user::S_OK;

// Image paths in device form for the processes tests start.
inline constexpr char16_t kClientImage[] = u"\\Device\\HarddiskVolume1\\Program Files\\Vetrona\\vetrona-client.exe";
inline constexpr char16_t kAppImage[] = u"\\Device\\HarddiskVolume1\\Apps\\app.exe";

// The bytes of a UTF-16 text, as the wire carries it.
std::vector<uint8_t> Utf16Bytes(std::u16string_view text);

// The backup folder the driver holds, "<none>" when it holds none.
std::u16string BackupDirText();

class SimTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Adds a failure naming every live pool block when the pool is not empty
    // (and one when a key name from the configuration manager was not given back).
    static void ExpectPoolEmpty(const char* when);

    // Set to false by a test that leaves blocks on purpose (a death test's parent).
    bool checkPoolAtTearDown_ = true;
};

// One event message the responder received, and the verdict it answered with.
// `body` is the receive buffer behind the Filter Manager's message header
// (EVENT_MAX_SIZE bytes, zero beyond the message): the receive call does not
// report a length, so a reader goes by the message's own size fields.
struct ReceivedMessage {
    uint64_t messageId = 0;
    std::vector<uint8_t> body;
    int32_t verdict = VerdictNone;
    bool replied = false;
};

class DriverTest : public SimTest {
public:
    struct IoctlResult {
        NTSTATUS status = STATUS_UNSUCCESSFUL;
        ULONG returned = 0;
        std::vector<uint8_t> output;  // the caller's output buffer after the call
    };

    // Chooses the answer to one message; returning nullopt-like VerdictNone
    // still replies (with -1). Runs on the responder's thread.
    using VerdictRule = std::function<int32_t(const std::vector<uint8_t>& body)>;

protected:
    void SetUp() override;
    void TearDown() override;

    // Tests that change the machine before the driver starts (versions,
    // exports, injected failures) set this to false in their constructor and
    // call Load() themselves.
    bool loadAtSetUp_ = true;

    // Loads the driver on the simulated kernel; the status the loader got.
    NTSTATUS Load();
    // Stops the driver (filter unload callback, then the driver's unload).
    void Stop();
    // Stops the driver as Stop does, but with the client still connected and
    // answering: the unload meets whatever is in flight.
    NTSTATUS StopWhileConnected();
    bool loaded() const { return driver_ != nullptr; }
    PDRIVER_OBJECT driver() const { return driver_; }

    // --- processes -------------------------------------------------------
    // The client program: an elevated administrator process, started on first use.
    _EPROCESS* Client();
    // Starts a process (parent null: started by the System process).
    _EPROCESS* StartProcess(const std::u16string& image = kAppImage, _EPROCESS* parent = nullptr, bool admin = false,
                            const std::u16string& commandLine = u"");
    // Starts a process and adds it to the watched set through the control device.
    _EPROCESS* StartWatched(const std::u16string& image = kAppImage, _EPROCESS* parent = nullptr);
    void EndProcess(_EPROCESS* process);
    static ULONG Pid(const _EPROCESS* process) { return static_cast<ULONG>(process->pid); }

    // --- control device ---------------------------------------------------
    // Opens "\\.\Vetrona" as `process` (null: the client). The handle is kept
    // and closed at tear-down unless the test closes it.
    NTSTATUS OpenControl(_EPROCESS* process, ACCESS_MASK access, HANDLE* handle);
    NTSTATUS CloseControl(_EPROCESS* process, HANDLE handle);
    // Closes the handles Ioctl keeps open (an open handle holds an unload back).
    void CloseCachedControlHandles();
    // Sends a control code through a handle of `process` (null: the client's,
    // opened for reading and writing on first use).
    IoctlResult Ioctl(ULONG code, const void* input, ULONG inputLength, ULONG outputLength, _EPROCESS* process = nullptr);
    NTSTATUS AddProcess(ULONG pid);
    NTSTATUS ClearProcesses();
    NTSTATUS SetBackupDir(std::u16string_view folder);
    NTSTATUS ClearFileIds();

    // --- port -------------------------------------------------------------
    // Connects `process` (null: the client) to "\VetronaFlt_Com"; one connection at a time.
    HRESULT Connect(_EPROCESS* process = nullptr);
    void Disconnect();
    bool connected() const { return port_ != nullptr; }
    // Sends raw bytes as a port command; `returned` receives the byte count.
    HRESULT PortCommand(const void* input, ULONG inputLength, void* output, ULONG outputLength, ULONG* returned = nullptr);
    // A set command (CMD_SET_*) with the value byte.
    HRESULT SetSwitch(ULONG command, UCHAR value);
    // A get command (CMD_GET_*): the answer byte, or -1 when the command failed.
    int GetSwitch(ULONG command);
    void SetFileMon(bool on) { ASSERT_EQ(SetSwitch(CMD_SET_FILE_MON, on ? 1 : 0), S_OK); }
    void SetProcMon(bool on) { ASSERT_EQ(SetSwitch(CMD_SET_PROC_MON, on ? 1 : 0), S_OK); }
    void SetRegMon(bool on) { ASSERT_EQ(SetSwitch(CMD_SET_REG_MON, on ? 1 : 0), S_OK); }

    // --- events -----------------------------------------------------------
    // Starts a thread that gets each event message on the connected port and
    // replies with rule(body) (no rule: VerdictNone). Connects first if needed.
    void StartResponder(VerdictRule rule = nullptr);
    void StopResponder();
    // Waits until at least `count` messages were answered (false on timeout).
    bool WaitForMessages(size_t count, int timeoutMs = 5000);
    std::vector<ReceivedMessage> Messages();
    void ClearMessages();

private:
    void ResponderLoop();

    PDRIVER_OBJECT driver_ = nullptr;
    _EPROCESS* client_ = nullptr;
    std::vector<_EPROCESS*> processes_;
    std::map<_EPROCESS*, HANDLE> controlHandles_;
    _EPROCESS* portOwner_ = nullptr;
    HANDLE port_ = nullptr;

    std::thread responder_;
    std::atomic<bool> responderStop_{false};
    VerdictRule rule_;
    std::mutex messagesLock_;
    std::condition_variable messagesChanged_;
    std::vector<ReceivedMessage> messages_;
};

}  // namespace vtest
