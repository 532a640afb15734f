// Fuzzes what a hostile peer of `vetrona-sim serve` can send: a sequence of
// request frames (kind, payload) answered by a peer session running as a
// client process on a simulated machine with the driver loaded. Each input
// is one connection; at its end the session closes what it opened, and the
// driver must be left with no client recorded.
#include "client/lib/socket/protocol.h"
#include "driver/driver_data.h"
#include "sim/ke/core.h"
#include "sim/io/io.h"
#include "sim/user/process.h"
#include "tools/serve.h"

#include <cstdlib>
#include <vector>

namespace {

_EPROCESS* Client() {
    static _EPROCESS* client = [] {
        sim::ResetKernel();
        PDRIVER_OBJECT driver = nullptr;
        if (sim::LoadDriver(DriverEntry, u"vetrona", &driver) != STATUS_SUCCESS) std::abort();
        _EPROCESS* p = sim::user::StartProcess(nullptr, u"\\Device\\HarddiskVolume1\\client.exe", u"", true);
        if (p == nullptr) std::abort();
        return p;
    }();
    return client;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    namespace proto = vetrona::client::socket;
    vsim::PeerSession session(Client(), nullptr);
    // Frames: kind (1 byte), length (2 bytes), payload. Receives wait at most
    // a few milliseconds so the fuzzer keeps its pace.
    size_t at = 0;
    while (at + 3 <= size) {
        uint32_t kind = data[at];
        const size_t length = data[at + 1] | (data[at + 2] << 8);
        at += 3;
        std::vector<uint8_t> payload(data + at, data + std::min(size, at + length));
        at += payload.size();
        if (kind == proto::kGetMessage && payload.size() == 8) {
            payload[4] = static_cast<uint8_t>(payload[4] % 5);
            payload[5] = payload[6] = payload[7] = 0;
        }
        std::vector<uint8_t> response;
        const bool keep = session.Handle(kind, payload, &response);
        if (response.size() < proto::kHeaderSize + 8 || proto::Get32(response.data()) != proto::kMagic ||
            proto::Get32(response.data() + 8) != response.size() - proto::kHeaderSize) {
            __builtin_trap();
        }
        if (!keep) break;
    }
    session.Close();
    if (DriverData.ClientPort != nullptr) __builtin_trap();
    return 0;
}
