// Fuzzes what a client can send the driver: port commands (any bytes, any
// output length) and control codes (any code of the device type, any input,
// any output length); and what another kernel component can hand the file
// callbacks: set-information requests of any class with any record, from a
// watched process or not. The driver runs on the simulated kernel for the whole
// session; after each input its state must be consistent and hold nothing
// beyond what the requests legitimately stored (cleared again each round), so
// a leak, a bugcheck, a request completed twice or an information value past
// the output buffer stops the run.
#include "channel/wire.h"
#include "driver/driver_data.h"
#include "driver/tags.h"
#include "sim/private/core.h"
#include "sim/private/io.h"
#include "sim/private/pool.h"
#include "sim/user/device.h"
#include "sim/user/fltuser.h"
#include "sim/user/file.h"
#include "sim/user/process.h"

#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

namespace {

struct Session {
    PDRIVER_OBJECT driver = nullptr;
    _EPROCESS* client = nullptr;
    HANDLE control = nullptr;
    HANDLE port = nullptr;
    _EPROCESS* app = nullptr;
    // A driver registers one filter: the two components come from two drivers.
    DRIVER_OBJECT aboveDriver{};
    DRIVER_OBJECT belowDriver{};
    FLT_REGISTRATION above{};
    FLT_REGISTRATION below{};
    PFLT_FILTER aboveFilter = nullptr;
    PFLT_FILTER belowFilter = nullptr;
};

// The record the component above the driver hands down for the current input.
FILE_INFORMATION_CLASS gClass = FileBasicInformation;
std::vector<uint8_t> gRecord;
ULONG gStatedLength = 0;

// Above the driver: replaces the request's class and record with the fuzzer's.
FLT_PREOP_CALLBACK_STATUS FLTAPI HandDown(PFLT_CALLBACK_DATA data, PCFLT_RELATED_OBJECTS, PVOID* context) {
    *context = nullptr;
    auto& params = data->Iopb->Parameters.SetFileInformation;
    params.FileInformationClass = gClass;
    params.InfoBuffer = gRecord.empty() ? nullptr : gRecord.data();
    params.Length = gStatedLength;
    return FLT_PREOP_SUCCESS_NO_CALLBACK;
}

// Below the driver: the request ends here, so the volume never changes.
FLT_PREOP_CALLBACK_STATUS FLTAPI Absorb(PFLT_CALLBACK_DATA data, PCFLT_RELATED_OBJECTS, PVOID* context) {
    *context = nullptr;
    data->IoStatus.Status = STATUS_SUCCESS;
    data->IoStatus.Information = 0;
    return FLT_PREOP_COMPLETE;
}

const FLT_OPERATION_REGISTRATION kAboveOperations[] = {
    {IRP_MJ_SET_INFORMATION, 0, HandDown, nullptr, nullptr},
    {IRP_MJ_OPERATION_END, 0, nullptr, nullptr, nullptr},
};
const FLT_OPERATION_REGISTRATION kBelowOperations[] = {
    {IRP_MJ_SET_INFORMATION, 0, Absorb, nullptr, nullptr},
    {IRP_MJ_OPERATION_END, 0, nullptr, nullptr, nullptr},
};

void StartComponent(DRIVER_OBJECT* driver, FLT_REGISTRATION* registration, const FLT_OPERATION_REGISTRATION* operations,
                    PFLT_FILTER* filter) {
    registration->Size = sizeof(FLT_REGISTRATION);
    registration->Version = FLT_REGISTRATION_VERSION_0200;
    registration->OperationRegistration = operations;
    if (FltRegisterFilter(driver, registration, filter) != STATUS_SUCCESS || FltStartFiltering(*filter) != STATUS_SUCCESS) {
        std::abort();
    }
}

// The client answers every event at once with "allow".
void Answer(Session* s) {
    std::vector<uint8_t> buffer(sizeof(sim::user::FILTER_MESSAGE_HEADER) + EVENT_MAX_SIZE);
    for (;;) {
        auto* header = reinterpret_cast<sim::user::PFILTER_MESSAGE_HEADER>(buffer.data());
        if (sim::user::FilterGetMessage(s->client, s->port, header, static_cast<sim::user::DWORD>(buffer.size())) < 0) {
            return;
        }
        alignas(8) uint8_t reply[sizeof(sim::user::FILTER_REPLY_HEADER) + sizeof(int32_t)] = {};
        sim::user::FILTER_REPLY_HEADER replyHeader = {};
        replyHeader.MessageId = header->MessageId;
        std::memcpy(reply, &replyHeader, sizeof(replyHeader));
        (void)sim::user::FilterReplyMessage(s->client, s->port, reinterpret_cast<sim::user::PFILTER_REPLY_HEADER>(reply),
                                            static_cast<sim::user::DWORD>(sizeof(reply)));
    }
}

Session& Machine() {
    static Session session = [] {
        Session s;
        sim::ResetKernel();
        // The volume, then the component above, the driver, the component below:
        // filters that start earlier sit higher on the volume's stack.
        const std::string folder = (std::filesystem::temp_directory_path() / ("vetrona-fuzz-" + std::to_string(::getpid()))).string();
        sim::fs::MountVolume(folder, u'C');
        StartComponent(&s.aboveDriver, &s.above, kAboveOperations, &s.aboveFilter);
        if (sim::LoadDriver(DriverEntry, u"vetrona", &s.driver) != STATUS_SUCCESS) {
            std::abort();
        }
        StartComponent(&s.belowDriver, &s.below, kBelowOperations, &s.belowFilter);
        s.client = sim::user::StartProcess(nullptr, u"\\Device\\HarddiskVolume1\\client.exe", u"", true);
        if (sim::user::CreateFile(s.client, u"\\\\.\\Vetrona", GENERIC_READ | GENERIC_WRITE, &s.control) != STATUS_SUCCESS ||
            sim::user::FilterConnectCommunicationPort(s.client, u"\\VetronaFlt_Com", 0, nullptr, 0, &s.port) != sim::user::S_OK) {
            std::abort();
        }
        s.app = sim::user::StartProcess(nullptr, u"\\Device\\HarddiskVolume1\\app.exe", u"");
        return s;
    }();
    static std::thread answering = [] {
        std::thread t(Answer, &session);
        t.detach();
        return t;
    }();
    return session;
}

// A set-information request of the class the word gives, carrying the input
// as its record; the stated length may be shorter than the record. Bit 7
// makes the requester a watched process.
void SetInformationRequest(Session& s, uint32_t word, std::vector<uint8_t>& input) {
    const bool watched = (word & 0x80) != 0;
    gClass = static_cast<FILE_INFORMATION_CLASS>(word & 0x7F);
    gRecord = input;
    const ULONG cut = (word >> 8) & 0xFF;
    gStatedLength = static_cast<ULONG>(input.size()) > cut ? static_cast<ULONG>(input.size()) - cut : 0;

    uint8_t on[PORT_COMMAND_SET_SIZE] = {};
    const ULONG setFileMon = CMD_SET_FILE_MON;
    std::memcpy(on + PORT_COMMAND_CODE_OFFSET, &setFileMon, sizeof(setFileMon));
    on[PORT_COMMAND_VALUE_OFFSET] = 1;
    sim::user::DWORD returned = 0;
    (void)sim::user::FilterSendMessage(s.client, s.port, on, sizeof(on), nullptr, 0, &returned);
    if (watched) {
        const ULONG pid = static_cast<ULONG>(s.app->pid);
        ULONG ignored = 0;
        (void)sim::user::DeviceIoControl(s.client, s.control, IOCTL_ADD_PROCESS, &pid, sizeof(pid), nullptr, 0, &ignored);
    }
    HANDLE file = nullptr;
    if (sim::user::CreateFile(s.app, u"C:\\file.txt", DELETE | FILE_WRITE_DATA | FILE_WRITE_ATTRIBUTES | SYNCHRONIZE, 0,
                              FILE_OPEN_IF, FILE_NON_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_NONALERT, &file) != STATUS_SUCCESS) {
        std::abort();
    }
    // What the program itself sends is a well-formed record of a class it may
    // set; the component above swaps in the fuzzer's.
    const LONGLONG zero = 0;
    (void)sim::user::SetInformationFile(s.app, file, FileEndOfFileInformation, &zero, sizeof(zero));
    sim::user::CloseHandle(s.app, file);
}

// The first byte picks the road; the next four give the output length (port),
// the control code's function (device) or the class and the requester (set
// information); the rest is the input.
void OneRequest(const uint8_t* data, size_t size) {
    Session& s = Machine();
    if (size < 5) {
        return;
    }
    uint32_t word;
    std::memcpy(&word, data + 1, 4);
    std::vector<uint8_t> input(data + 5, data + size);
    void* in = input.empty() ? nullptr : input.data();
    if (data[0] % 3 == 2) {
        SetInformationRequest(s, word, input);
    } else if ((data[0] & 1) == 0) {
        std::vector<uint8_t> output(word % 64);
        sim::user::DWORD returned = 0;
        (void)sim::user::FilterSendMessage(s.client, s.port, in, static_cast<sim::user::DWORD>(input.size()),
                                           output.empty() ? nullptr : output.data(), static_cast<sim::user::DWORD>(output.size()),
                                           &returned);
        if (returned > output.size()) {
            std::abort();
        }
    } else {
        // Functions 0x700 and 0x800 to 0x807 of the device's type, method and access.
        const ULONG function = (word & 0x10) ? 0x700 : 0x800 + (word & 7);
        const ULONG code = CTL_CODE(FILE_DEVICE_UNKNOWN, function, METHOD_BUFFERED, FILE_READ_ACCESS | FILE_WRITE_ACCESS);
        std::vector<uint8_t> output((word >> 8) % 32);
        ULONG returned = 0;
        const NTSTATUS status = sim::user::DeviceIoControl(s.client, s.control, code, in, static_cast<ULONG>(input.size()),
                                                           output.empty() ? nullptr : output.data(),
                                                           static_cast<ULONG>(output.size()), &returned);
        if (!NT_ERROR(status) && !output.empty() && returned > output.size()) {
            std::abort();
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    OneRequest(data, size);
    // What the requests may legitimately have stored goes again, and then the
    // driver must hold no pool at all.
    IdListClearPids(&DriverData.ProcessList);
    DriverDataLock();
    StrFree(DriverData.BackupDir, TagString);
    DriverData.BackupDir = nullptr;
    DriverDataUnlock();
    if (sim::pool::LiveBlocks() != 0) {
        std::abort();
    }
    return 0;
}
