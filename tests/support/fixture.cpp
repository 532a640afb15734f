// Shared test fixtures: a fresh simulated kernel per test, the driver loaded on
// it, and the user-mode side a client program would use.
#include <cstdlib>
#include "tests/support/fixture.h"

#include <algorithm>
#include <chrono>

#include "driver/driver_data.h"
#include "sim/cm/cm.h"
#include "sim/io/io.h"
#include "sim/ob/ob.h"
#include "sim/user/device.h"
#include "sim/user/process.h"

namespace vtest {

std::u16string BackupDirText() {
    if (DriverData.BackupDir == nullptr) {
        return u"<none>";
    }
    return std::u16string(DriverData.BackupDir->Buffer, DriverData.BackupDir->Length / sizeof(WCHAR));
}

std::vector<uint8_t> Utf16Bytes(std::u16string_view text) {
    std::vector<uint8_t> bytes(text.size() * sizeof(char16_t));
    if (!bytes.empty()) {  // an empty view may have no data at all
        std::memcpy(bytes.data(), text.data(), bytes.size());
    }
    return bytes;
}

// ---------------------------------------------------------------------------
// SimTest

void SimTest::SetUp() {
    sim::ResetKernel();
}

void SimTest::TearDown() {
    if (checkPoolAtTearDown_) {
        ExpectPoolEmpty("at the end of the test");
    }
}

void SimTest::ExpectPoolEmpty(const char* when) {
    EXPECT_EQ(sim::pool::LiveBlocks(), 0u) << "pool not empty " << when << ":\n" << sim::pool::Report();
    EXPECT_EQ(sim::cm::OutstandingKeyNames(), 0u) << "key names not given back " << when;
    EXPECT_EQ(sim::io::LiveWorkItems(), 0u) << "work items allocated and not freed " << when;
    EXPECT_LE(sim::ob::CallerReferences(), 0) << "object references taken and not dropped " << when;
}

// ---------------------------------------------------------------------------
// DriverTest: life cycle

void DriverTest::SetUp() {
    SimTest::SetUp();
    if (loadAtSetUp_) {
        ASSERT_EQ(Load(), STATUS_SUCCESS);
    }
}

void DriverTest::TearDown() {
    StopResponder();
    Disconnect();
    for (auto& [process, handle] : controlHandles_) {
        sim::user::CloseHandle(process, handle);
    }
    controlHandles_.clear();
    if (driver_ != nullptr) {
        Stop();
    }
    // Processes end after the driver is gone, so their exits are not reported.
    for (auto it = processes_.rbegin(); it != processes_.rend(); ++it) {
        if (!(*it)->exited) {
            sim::user::EndProcess(*it);
        }
    }
    processes_.clear();
    client_ = nullptr;
    SimTest::TearDown();
}

NTSTATUS DriverTest::Load() {
    PDRIVER_OBJECT driver = nullptr;
    // VETRONA_IMAGE names a driver image to run instead of the linked driver
    // (for the tests that watch the driver only from outside).
    const char* image = std::getenv("VETRONA_IMAGE");
    std::string error;
    NTSTATUS status = image != nullptr && *image != 0 ? sim::LoadDriverImage(image, u"vetrona", &driver, &error)
                                                       : sim::LoadDriver(DriverEntry, u"vetrona", &driver);
    if (!error.empty()) {
        ADD_FAILURE() << error;
    }
    if (NT_SUCCESS(status)) {
        driver_ = driver;
    }
    return status;
}

void DriverTest::Stop() {
    if (driver_ == nullptr) {
        return;
    }
    StopResponder();
    Disconnect();
    for (auto& [process, handle] : controlHandles_) {
        sim::user::CloseHandle(process, handle);
    }
    controlHandles_.clear();
    sim::StopDriver(driver_);
    driver_ = nullptr;
}

NTSTATUS DriverTest::StopWhileConnected() {
    NTSTATUS status = sim::StopDriver(driver_);
    if (NT_SUCCESS(status)) {
        driver_ = nullptr;
    }
    return status;
}

// ---------------------------------------------------------------------------
// Processes

_EPROCESS* DriverTest::Client() {
    if (client_ == nullptr) {
        client_ = StartProcess(kClientImage, nullptr, true, u"vetrona-client.exe");
    }
    return client_;
}

_EPROCESS* DriverTest::StartProcess(const std::u16string& image, _EPROCESS* parent, bool admin,
                                    const std::u16string& commandLine) {
    _EPROCESS* process = sim::user::StartProcess(parent, image, commandLine, admin);
    EXPECT_NE(process, nullptr) << "process start refused";
    if (process != nullptr) {
        processes_.push_back(process);
    }
    return process;
}

_EPROCESS* DriverTest::StartWatched(const std::u16string& image, _EPROCESS* parent) {
    _EPROCESS* process = StartProcess(image, parent);
    if (process != nullptr) {
        NTSTATUS status = AddProcess(Pid(process));
        EXPECT_EQ(status, STATUS_SUCCESS) << "adding the process to the watched set";
    }
    return process;
}

void DriverTest::EndProcess(_EPROCESS* process) {
    auto handle = controlHandles_.find(process);
    if (handle != controlHandles_.end()) {
        sim::user::CloseHandle(process, handle->second);
        controlHandles_.erase(handle);
    }
    if (process == portOwner_) {
        StopResponder();
        Disconnect();
    }
    if (!process->exited) {
        sim::user::EndProcess(process);
    }
}

// ---------------------------------------------------------------------------
// Control device

NTSTATUS DriverTest::OpenControl(_EPROCESS* process, ACCESS_MASK access, HANDLE* handle) {
    *handle = nullptr;
    if (process == nullptr) {
        process = Client();
    }
    return sim::user::CreateFile(process, u"\\\\.\\Vetrona", access, handle);
}

NTSTATUS DriverTest::CloseControl(_EPROCESS* process, HANDLE handle) {
    if (process == nullptr) {
        process = Client();
    }
    auto cached = controlHandles_.find(process);
    if (cached != controlHandles_.end() && cached->second == handle) {
        controlHandles_.erase(cached);
    }
    return sim::user::CloseHandle(process, handle);
}

void DriverTest::CloseCachedControlHandles() {
    for (auto& [process, handle] : controlHandles_) {
        sim::user::CloseHandle(process, handle);
    }
    controlHandles_.clear();
}

DriverTest::IoctlResult DriverTest::Ioctl(ULONG code, const void* input, ULONG inputLength, ULONG outputLength,
                                          _EPROCESS* process) {
    IoctlResult result;
    if (process == nullptr) {
        process = Client();
    }
    HANDLE handle = nullptr;
    auto cached = controlHandles_.find(process);
    if (cached != controlHandles_.end()) {
        handle = cached->second;
    } else {
        result.status = OpenControl(process, GENERIC_READ | GENERIC_WRITE, &handle);
        if (!NT_SUCCESS(result.status)) {
            return result;
        }
        controlHandles_[process] = handle;
    }
    result.output.assign(outputLength, 0xEE);
    result.status = sim::user::DeviceIoControl(process, handle, code, input, inputLength,
                                               outputLength != 0 ? result.output.data() : nullptr, outputLength,
                                               &result.returned);
    return result;
}

NTSTATUS DriverTest::AddProcess(ULONG pid) {
    return Ioctl(IOCTL_ADD_PROCESS, &pid, sizeof(pid), 0).status;
}

NTSTATUS DriverTest::ClearProcesses() {
    return Ioctl(IOCTL_CLEAR_PROCESSES, nullptr, 0, 0).status;
}

NTSTATUS DriverTest::SetBackupDir(std::u16string_view folder) {
    std::vector<uint8_t> bytes = Utf16Bytes(folder);
    return Ioctl(IOCTL_SET_BACKUP_DIR, bytes.empty() ? nullptr : bytes.data(), static_cast<ULONG>(bytes.size()), 0).status;
}

NTSTATUS DriverTest::ClearFileIds() {
    return Ioctl(IOCTL_CLEAR_FILE_IDS, nullptr, 0, 0).status;
}

// ---------------------------------------------------------------------------
// Port

HRESULT DriverTest::Connect(_EPROCESS* process) {
    if (process == nullptr) {
        process = Client();
    }
    HANDLE port = nullptr;
    HRESULT hr = sim::user::FilterConnectCommunicationPort(process, u"\\VetronaFlt_Com", 0, nullptr, 0, &port);
    if (hr >= 0) {
        port_ = port;
        portOwner_ = process;
    }
    return hr;
}

void DriverTest::Disconnect() {
    if (port_ == nullptr) {
        return;
    }
    StopResponder();
    sim::user::CloseHandle(portOwner_, port_);
    port_ = nullptr;
    portOwner_ = nullptr;
}

HRESULT DriverTest::PortCommand(const void* input, ULONG inputLength, void* output, ULONG outputLength, ULONG* returned) {
    sim::user::DWORD bytes = 0;
    HRESULT hr = sim::user::FilterSendMessage(portOwner_, port_, const_cast<void*>(input), inputLength, output,
                                              outputLength, &bytes);
    if (returned != nullptr) {
        *returned = bytes;
    }
    return hr;
}

HRESULT DriverTest::SetSwitch(ULONG command, UCHAR value) {
    uint8_t message[PORT_COMMAND_SET_SIZE] = {};
    std::memcpy(message + PORT_COMMAND_CODE_OFFSET, &command, sizeof(command));
    message[PORT_COMMAND_VALUE_OFFSET] = value;
    return PortCommand(message, sizeof(message), nullptr, 0);
}

int DriverTest::GetSwitch(ULONG command) {
    uint8_t message[PORT_COMMAND_SET_SIZE] = {};
    std::memcpy(message + PORT_COMMAND_CODE_OFFSET, &command, sizeof(command));
    uint8_t answer[PORT_ANSWER_SIZE] = {};
    HRESULT hr = PortCommand(message, sizeof(message), answer, sizeof(answer));
    return hr >= 0 ? answer[PORT_ANSWER_OFFSET] : -1;
}

// ---------------------------------------------------------------------------
// Events

void DriverTest::StartResponder(VerdictRule rule) {
    if (port_ == nullptr) {
        ASSERT_GE(Connect(), 0) << "connecting the responder";
    }
    StopResponder();
    rule_ = std::move(rule);
    responderStop_ = false;
    responder_ = std::thread([this] { ResponderLoop(); });
}

void DriverTest::StopResponder() {
    responderStop_ = true;
    if (responder_.joinable()) {
        responder_.join();
    }
}

void DriverTest::ResponderLoop() {
    // Event messages are at most EVENT_MAX_SIZE bytes behind the header.
    std::vector<uint8_t> buffer(sizeof(sim::user::FILTER_MESSAGE_HEADER) + EVENT_MAX_SIZE);
    while (!responderStop_) {
        // Cleared each time: the receive call does not tell the message's
        // length, so bytes of an earlier, longer message must not linger.
        std::fill(buffer.begin(), buffer.end(), 0);
        auto* header = reinterpret_cast<sim::user::PFILTER_MESSAGE_HEADER>(buffer.data());
        HRESULT hr = sim::user::FilterGetMessage(portOwner_, port_, header, static_cast<sim::user::DWORD>(buffer.size()),
                                                 std::chrono::milliseconds(20));
        if (hr == sim::user::kHrWaitTimeout) {
            continue;
        }
        if (hr < 0) {
            return;  // the port went away
        }
        ReceivedMessage message;
        message.messageId = header->MessageId;
        ULONG bodyLength = static_cast<ULONG>(buffer.size() - sizeof(sim::user::FILTER_MESSAGE_HEADER));
        message.body.assign(buffer.data() + sizeof(sim::user::FILTER_MESSAGE_HEADER), buffer.data() + sizeof(sim::user::FILTER_MESSAGE_HEADER) + bodyLength);
        message.verdict = rule_ ? rule_(message.body) : VerdictNone;

        // The reply header and the 4-byte verdict right behind it, unpadded:
        // the driver's reply buffer holds exactly one verdict.
        alignas(8) uint8_t reply[sizeof(sim::user::FILTER_REPLY_HEADER) + sizeof(int32_t)] = {};
        sim::user::FILTER_REPLY_HEADER replyHeader = {};
        replyHeader.Status = 0;
        replyHeader.MessageId = header->MessageId;
        std::memcpy(reply, &replyHeader, sizeof(replyHeader));
        std::memcpy(reply + sizeof(replyHeader), &message.verdict, sizeof(int32_t));
        hr = sim::user::FilterReplyMessage(portOwner_, port_, reinterpret_cast<sim::user::PFILTER_REPLY_HEADER>(reply),
                                           static_cast<sim::user::DWORD>(sizeof(reply)));
        message.replied = hr >= 0;

        std::lock_guard<std::mutex> guard(messagesLock_);
        messages_.push_back(std::move(message));
        messagesChanged_.notify_all();
    }
}

bool DriverTest::WaitForMessages(size_t count, int timeoutMs) {
    std::unique_lock<std::mutex> guard(messagesLock_);
    return messagesChanged_.wait_for(guard, std::chrono::milliseconds(timeoutMs), [&] { return messages_.size() >= count; });
}

std::vector<ReceivedMessage> DriverTest::Messages() {
    std::lock_guard<std::mutex> guard(messagesLock_);
    return messages_;
}

void DriverTest::ClearMessages() {
    std::lock_guard<std::mutex> guard(messagesLock_);
    messages_.clear();
}

}  // namespace vtest
