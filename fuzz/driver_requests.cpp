// Fuzzes what a client can send the driver: port commands (any bytes, any
// output length) and control codes (any code of the device type, any input,
// any output length); and what another kernel component can hand the file
// callbacks: set-information requests of any class with any record, writes
// with any length, offset and buffer (or none), and device controls on a
// volume handle with any code, system buffer, input length and flags (the
// pass-through classifier's input), each from a watched process or not, with
// any verdict from the client. The driver runs on the simulated kernel for the whole
// session; after each input its state must be consistent and hold nothing
// beyond what the requests legitimately stored (cleared again each round), so
// a leak, a bugcheck, a request completed twice or an information value past
// the output buffer stops the run.
#include "channel/wire.h"
#include "driver/driver_data.h"
#include "driver/tags.h"
#include "sim/ke/core.h"
#include "sim/io/io.h"
#include "sim/ex/pool.h"
#include "sim/user/device.h"
#include "sim/user/fltuser.h"
#include "sim/user/file.h"
#include "sim/user/process.h"

#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <mutex>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <set>
#include <vector>

namespace {

struct Session {
    PDRIVER_OBJECT driver = nullptr;
    _EPROCESS* client = nullptr;
    HANDLE control = nullptr;
    HANDLE port = nullptr;
    _EPROCESS* app = nullptr;
    _EPROCESS* admin = nullptr;  // may open the volume
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

// The write parameters handed down: a length, an offset, the fuzzer's bytes
// as the buffer or no buffer.
struct WriteChoice {
    ULONG length = 0;
    LONGLONG offset = 0;
    bool buffer = false;
};
WriteChoice gWrite;

// The device-control parameters handed down: the request keeps its own system
// buffer (the fuzzer's bytes) unless it is taken away; the input length can
// only be cut; the buffered-I/O flag can be cleared.
struct ControlChoice {
    bool noSystemBuffer = false;
    bool notBuffered = false;
    ULONG cut = 0;
};
ControlChoice gControl;

// The client's verdict for the current input's write and pass-through
// events (every other event is allowed), and the write and pass-through
// events it saw.
std::atomic<int32_t> gVerdict{0};
struct SeenEvent {
    int32_t operation;
    uint32_t length;
    int64_t offset;
};
std::mutex gSeenLock;
std::vector<SeenEvent> gSeen;

// Above the driver: replaces the request's class and record with the fuzzer's.
FLT_PREOP_CALLBACK_STATUS FLTAPI HandDown(PFLT_CALLBACK_DATA data, PCFLT_RELATED_OBJECTS, PVOID* context) {
    *context = nullptr;
    if (data->Iopb->MajorFunction == IRP_MJ_WRITE) {
        auto& write = data->Iopb->Parameters.Write;
        write.Length = gWrite.length;
        write.ByteOffset.QuadPart = gWrite.offset;
        if (!gWrite.buffer) {
            write.WriteBuffer = nullptr;
        }
        return FLT_PREOP_SUCCESS_NO_CALLBACK;
    }
    if (data->Iopb->MajorFunction == IRP_MJ_DEVICE_CONTROL) {
        auto& control = data->Iopb->Parameters.DeviceIoControl.Buffered;
        if (gControl.noSystemBuffer) {
            control.SystemBuffer = nullptr;
        }
        if (gControl.notBuffered) {
            data->Iopb->IrpFlags &= ~static_cast<ULONG>(IRP_BUFFERED_IO);
        }
        control.InputBufferLength = control.InputBufferLength > gControl.cut ? control.InputBufferLength - gControl.cut : 0;
        return FLT_PREOP_SUCCESS_NO_CALLBACK;
    }
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
    {IRP_MJ_WRITE, 0, HandDown, nullptr, nullptr},
    {IRP_MJ_DEVICE_CONTROL, 0, HandDown, nullptr, nullptr},
    {IRP_MJ_OPERATION_END, 0, nullptr, nullptr, nullptr},
};
const FLT_OPERATION_REGISTRATION kBelowOperations[] = {
    {IRP_MJ_SET_INFORMATION, 0, Absorb, nullptr, nullptr},
    {IRP_MJ_WRITE, 0, Absorb, nullptr, nullptr},
    {IRP_MJ_DEVICE_CONTROL, 0, Absorb, nullptr, nullptr},
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

// The client answers every event at once with the input's verdict.
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
        int32_t verdict = 0;
        FileEvent event{};
        std::memcpy(&event, buffer.data() + sizeof(sim::user::FILTER_MESSAGE_HEADER), sizeof(event));
        if (event.Header.Class == EVENT_CLASS_FILE &&
            (event.Operation == FileOpWrite || event.Operation == FileOpScsiWrite || event.Operation == FileOpAtaWrite)) {
            verdict = gVerdict.load();
            std::lock_guard<std::mutex> guard(gSeenLock);
            gSeen.push_back({event.Operation, event.Params.Write.WriteLength, event.Params.Write.WriteOffset});
        }
        std::memcpy(reply + sizeof(replyHeader), &verdict, sizeof(verdict));
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
        s.admin = sim::user::StartProcess(nullptr, u"\\Device\\HarddiskVolume1\\disktool.exe", u"", true);
        return s;
    }();
    static std::thread answering = [] {
        std::thread t(Answer, &session);
        t.detach();
        return t;
    }();
    return session;
}

// File monitoring on, and the program in the watched set or not.
void MonitorFiles(Session& s, _EPROCESS* process, bool watched) {
    uint8_t on[PORT_COMMAND_SET_SIZE] = {};
    const ULONG setFileMon = CMD_SET_FILE_MON;
    std::memcpy(on + PORT_COMMAND_CODE_OFFSET, &setFileMon, sizeof(setFileMon));
    on[PORT_COMMAND_VALUE_OFFSET] = 1;
    sim::user::DWORD returned = 0;
    (void)sim::user::FilterSendMessage(s.client, s.port, on, sizeof(on), nullptr, 0, &returned);
    if (watched) {
        const ULONG pid = static_cast<ULONG>(process->pid);
        ULONG ignored = 0;
        (void)sim::user::DeviceIoControl(s.client, s.control, IOCTL_ADD_PROCESS, &pid, sizeof(pid), nullptr, 0, &ignored);
    }
}

std::vector<SeenEvent> TakeSeen() {
    std::lock_guard<std::mutex> guard(gSeenLock);
    std::vector<SeenEvent> seen;
    seen.swap(gSeen);
    return seen;
}

// A write through a handle the driver follows when the program is watched:
// bit 7 of the word makes the program watched, bit 6 gives the write a
// buffer, bits 4-5 are the client's verdict and bits 8-31 the stated length;
// the first eight bytes of the input, when there are eight, are the offset.
// A write with a length and a buffer is reported, with its length and
// offset, and fails when denied; any other write is not reported and goes on.
void WriteRequest(Session& s, uint32_t word, std::vector<uint8_t>& input) {
    const bool watched = (word & 0x80) != 0;
    MonitorFiles(s, s.app, watched);
    gVerdict = static_cast<int32_t>((word >> 4) & 3);
    gWrite.length = word >> 8;
    gWrite.buffer = (word & 0x40) != 0;
    gWrite.offset = 0;
    if (input.size() >= sizeof(gWrite.offset)) {
        std::memcpy(&gWrite.offset, input.data(), sizeof(gWrite.offset));
    }
    HANDLE file = nullptr;
    if (sim::user::CreateFile(s.app, u"C:\\file.txt", FILE_WRITE_DATA | SYNCHRONIZE, 0, FILE_OPEN_IF,
                              FILE_NON_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_NONALERT, &file) != STATUS_SUCCESS) {
        std::abort();
    }
    (void)TakeSeen();
    // The program's own write is well formed; the component above swaps in
    // the fuzzer's parameters.
    const uint8_t one = 1;
    const void* data = input.empty() ? static_cast<const void*>(&one) : input.data();
    const NTSTATUS status = sim::user::WriteFile(s.app, file, 0, data, input.empty() ? 1u : static_cast<ULONG>(input.size()));
    const std::vector<SeenEvent> seen = TakeSeen();
    sim::user::CloseHandle(s.app, file);
    const bool reported = watched && gWrite.length != 0 && gWrite.buffer;
    if (seen.size() != (reported ? 1u : 0u)) {
        std::abort();
    }
    if (reported && (seen[0].operation != FileOpWrite || seen[0].length != gWrite.length || seen[0].offset != gWrite.offset)) {
        std::abort();
    }
    if (status != (reported && gVerdict == VerdictDeny ? STATUS_ACCESS_DENIED : STATUS_SUCCESS)) {
        std::abort();
    }
}

// A device control on a volume handle: bit 7 of the word makes the program
// watched, bits 0-1 pick the code (SCSI or ATA pass-through direct, SCSI
// pass-through, or bits 16-27 as the function of a SCSI-base code), bits 4-5
// are the verdict, bit 2 takes the system buffer away, bit 3 clears the
// buffered-I/O flag and bits 8-15 are cut from the input length. The input is
// the system buffer. What is reported is checked against the layouts' bytes.
void VolumeControlRequest(Session& s, uint32_t word, std::vector<uint8_t>& input) {
    const bool watched = (word & 0x80) != 0;
    MonitorFiles(s, s.admin, watched);
    gVerdict = static_cast<int32_t>((word >> 4) & 3);
    gControl.noSystemBuffer = (word & 0x04) != 0;
    gControl.notBuffered = (word & 0x08) != 0;
    gControl.cut = (word >> 8) & 0xFF;
    ULONG code = 0;
    switch (word & 3) {
    case 0: code = IOCTL_SCSI_PASS_THROUGH_DIRECT; break;
    case 1: code = IOCTL_ATA_PASS_THROUGH_DIRECT; break;
    case 2: code = IOCTL_SCSI_PASS_THROUGH; break;
    default: code = CTL_CODE(IOCTL_SCSI_BASE, (word >> 16) & 0xFFF, METHOD_BUFFERED, FILE_READ_ACCESS | FILE_WRITE_ACCESS); break;
    }
    HANDLE volume = nullptr;
    if (sim::user::CreateFile(s.admin, u"\\\\.\\C:", FILE_READ_DATA | FILE_WRITE_DATA | SYNCHRONIZE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              FILE_OPEN, FILE_SYNCHRONOUS_IO_NONALERT, &volume) != STATUS_SUCCESS) {
        std::abort();
    }
    (void)TakeSeen();
    ULONG returned = 0;
    const NTSTATUS status = sim::user::DeviceIoControl(s.admin, volume, code, input.empty() ? nullptr : input.data(),
                                                       static_cast<ULONG>(input.size()), nullptr, 0, &returned);
    const std::vector<SeenEvent> seen = TakeSeen();
    sim::user::CloseHandle(s.admin, volume);

    // What a write request looks like at the bytes the 64-bit layouts give.
    const size_t length = input.size() > gControl.cut ? input.size() - gControl.cut : 0;
    const bool readable = !input.empty() && !gControl.noSystemBuffer && !gControl.notBuffered;
    int32_t expected = FileOpNone;
    static const std::set<int> kScsiWrites = {0x0A, 0x2A, 0xAA, 0x8A, 0x2E, 0xAE, 0x8E, 0x41, 0x93, 0x3F, 0x89, 0x9C, 0x7F};
    static const std::set<int> kScsiDestroys = {0x42, 0x04, 0x48};
    static const std::set<int> kAtaWrites = {0x30, 0x31, 0x34, 0x35, 0x36, 0x39, 0x3A, 0x3B, 0x3D,
                                             0x3E, 0x61, 0xC5, 0xCA, 0xCB, 0xCC, 0xCE, 0xE8};
    static const std::set<int> kAtaDestroys = {0x06, 0xB4, 0xF4};
    const bool scsi = code == IOCTL_SCSI_PASS_THROUGH_DIRECT || code == IOCTL_SCSI_PASS_THROUGH;
    const bool ata = code == IOCTL_ATA_PASS_THROUGH_DIRECT || code == IOCTL_ATA_PASS_THROUGH;
    if (readable && scsi && length > 36 &&
        (kScsiDestroys.count(input[36]) != 0 || (kScsiWrites.count(input[36]) != 0 && (input[8] == 0 || input[8] == 2)))) {
        expected = FileOpScsiWrite;
    }
    if (readable && ata && length > 46 && (kAtaDestroys.count(input[46]) != 0 || (kAtaWrites.count(input[46]) != 0 && (input[2] & 0x04) != 0))) {
        expected = FileOpAtaWrite;
    }
    const bool reported = watched && expected != FileOpNone;
    if (seen.size() != (reported ? 1u : 0u) || (reported && seen[0].operation != expected)) {
        std::abort();
    }
    if ((status == STATUS_ACCESS_DENIED) != (reported && gVerdict == VerdictDeny)) {
        std::abort();
    }
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

    MonitorFiles(s, s.app, watched);
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

// The first byte picks the road (modulo 5: port command, control code, set
// information, write, volume device control); the next four give the output
// length (port), the control code's function (device) or the request's
// parameters (the others); the rest is the input.
void OneRequest(const uint8_t* data, size_t size) {
    Session& s = Machine();
    if (size < 5) {
        return;
    }
    uint32_t word;
    std::memcpy(&word, data + 1, 4);
    std::vector<uint8_t> input(data + 5, data + size);
    void* in = input.empty() ? nullptr : input.data();
    gVerdict = 0;
    const uint8_t road = data[0] % 5;
    if (road == 2) {
        SetInformationRequest(s, word, input);
    } else if (road == 3) {
        WriteRequest(s, word, input);
    } else if (road == 4) {
        VolumeControlRequest(s, word, input);
    } else if (road == 0) {
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
    IdListClearFileIds(&DriverData.FileIdList);
    DriverDataLock();
    StrFree(DriverData.BackupDir, TagString);
    DriverData.BackupDir = nullptr;
    DriverDataUnlock();
    if (sim::pool::LiveBlocks() != 0) {
        std::abort();
    }
    return 0;
}
