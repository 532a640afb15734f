// Fuzzes the builders' clipping with random text lengths: a message never
// exceeds 0xFFFF bytes, and decoding it gives back exactly the leading bytes
// of each text that the budget leaves room for, in placement order.
#include "sim/user/memory.h"
#include "channel/message.h"
#include "client/lib/decode.h"
#include "sim/ke/core.h"
#include "sim/ex/pool.h"

#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

std::vector<uint8_t> gText(3 * 70000);

uint32_t Length(const uint8_t*& data, size_t& size, uint32_t limit) {
    uint32_t v = 0;
    if (size >= 3) {
        v = data[0] | (data[1] << 8) | (uint32_t{data[2]} << 16);
        data += 3;
        size -= 3;
    }
    return v % (limit + 1);
}

void Expect(bool condition) {
    if (!condition) {
        std::abort();
    }
}

// The decoded text must be the first `expected` bytes of what was given.
void ExpectText(const vetrona::client::TextView& text, const uint8_t* given, uint32_t length, uint32_t expected) {
    Expect(text.bytes.size() == expected);
    // A text clipped to nothing is absent: no flag.
    Expect(text.truncated == (expected != 0 && expected < length));
    Expect(expected == 0 || std::memcmp(text.bytes.data(), given, expected) == 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // The value's data is the caller's own buffer until the driver starts:
    // it lies in user memory.
    static uint8_t* userData = nullptr;
    static bool booted = [] {
        sim::ResetKernel();
        for (size_t i = 0; i < gText.size(); ++i) gText[i] = static_cast<uint8_t>(i * 131 + 7);
        userData = static_cast<uint8_t*>(sim::user::AllocateUserMemory(70000));
        std::memcpy(userData, gText.data() + 140000, 70000);
        return true;
    }();
    (void)booted;
    // Registry event: key path (a UNICODE_STRING: at most 0xFFFE), name, data.
    const uint32_t keyLength = Length(data, size, 0xFFFE);
    const uint32_t nameLength = Length(data, size, 0xFFFE);
    const uint32_t dataLength = Length(data, size, 70000);
    UNICODE_STRING key{static_cast<USHORT>(keyLength), static_cast<USHORT>(keyLength),
                       reinterpret_cast<PWSTR>(gText.data())};
    UNICODE_STRING name{static_cast<USHORT>(nameLength), static_cast<USHORT>(nameLength),
                        reinterpret_cast<PWSTR>(gText.data() + 70000)};
    REG_SET_VALUE_KEY_INFORMATION set{};
    set.ValueName = &name;
    set.Data = userData;
    set.DataSize = dataLength;
    set.Type = REG_BINARY;
    RegEventInfo info{};
    info.KeyPath = &key;
    info.SetValueInfo = &set;

    RegistryEvent* message = nullptr;
    PLONG reply = nullptr;
    Expect(RegMonBuildMessage(&message, &reply, nullptr, RegOpValueModified, &info) == STATUS_SUCCESS);
    Expect(message->Header.Size <= 0xFFFF);
    Expect(*reply == VerdictNone);
    uint32_t budget = EVENT_TEXT_BUDGET;
    const uint32_t k = keyLength < budget ? keyLength : budget;
    budget -= k;
    const uint32_t n = nameLength < budget ? nameLength : budget;
    budget -= n;
    const uint32_t d = dataLength < budget ? dataLength : budget;
    Expect(message->Header.Size == 104 + k + n + d);
    auto decoded = vetrona::client::DecodeEvent(
        std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(message), message->Header.Size));
    Expect(decoded.ok());
    const auto& view = std::get<vetrona::client::RegistryEventView>(decoded.event);
    ExpectText(view.keyPath, gText.data(), keyLength, k);
    ExpectText(view.name, gText.data() + 70000, nameLength, n);
    ExpectText(view.data, gText.data() + 140000, dataLength, d);
    MessageFree(message);
    MessageFree(reply);

    // Process event: image name and command line.
    ProcessEvent* process = nullptr;
    Expect(ProcMonBuildMessage(&process, nullptr, &key, &name, nullptr, nullptr, TRUE) == STATUS_SUCCESS);
    Expect(process->Header.Size <= 0xFFFF);
    auto decodedProcess = vetrona::client::DecodeEvent(
        std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(process), process->Header.Size));
    Expect(decodedProcess.ok());
    const auto& pview = std::get<vetrona::client::ProcessEventView>(decodedProcess.event);
    budget = EVENT_TEXT_BUDGET;
    const uint32_t i = keyLength < budget ? keyLength : budget;
    budget -= i;
    const uint32_t c = nameLength < budget ? nameLength : budget;
    ExpectText(pview.imageName, gText.data(), keyLength, i);
    ExpectText(pview.commandLine, gText.data() + 70000, nameLength, c);
    MessageFree(process);
    Expect(sim::pool::LiveBlocks() == 0);
    return 0;
}
