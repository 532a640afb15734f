// Fuzzes what a client can send the driver: port commands (any bytes, any
// output length) and control codes (any code of the device type, any input,
// any output length). The driver runs on the simulated kernel for the whole
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
#include "sim/user/process.h"

#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

struct Session {
    PDRIVER_OBJECT driver = nullptr;
    _EPROCESS* client = nullptr;
    HANDLE control = nullptr;
    HANDLE port = nullptr;
};

Session& Machine() {
    static Session session = [] {
        Session s;
        sim::ResetKernel();
        if (sim::LoadDriver(DriverEntry, u"vetrona", &s.driver) != STATUS_SUCCESS) {
            std::abort();
        }
        s.client = sim::user::StartProcess(nullptr, u"\\Device\\HarddiskVolume1\\client.exe", u"", true);
        if (sim::user::CreateFile(s.client, u"\\\\.\\Vetrona", GENERIC_READ | GENERIC_WRITE, &s.control) != STATUS_SUCCESS ||
            sim::user::FilterConnectCommunicationPort(s.client, u"\\VetronaFlt_Com", 0, nullptr, 0, &s.port) != sim::user::S_OK) {
            std::abort();
        }
        return s;
    }();
    return session;
}

// The first byte picks the road; the next four give the output length (port)
// or the control code's function (device); the rest is the input.
void OneRequest(const uint8_t* data, size_t size) {
    Session& s = Machine();
    if (size < 5) {
        return;
    }
    uint32_t word;
    std::memcpy(&word, data + 1, 4);
    std::vector<uint8_t> input(data + 5, data + size);
    void* in = input.empty() ? nullptr : input.data();
    if ((data[0] & 1) == 0) {
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
