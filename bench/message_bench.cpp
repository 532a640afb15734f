// Message build rate against a plain copy of the same bytes: what the layout,
// clipping and the two pool allocations cost over the copy they cannot avoid.
#include "sim/user/memory.h"
#include "channel/message.h"
#include "sim/ke/core.h"

#include <benchmark/benchmark.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

// Registry events carry the most texts; `textBytes` is split between the key
// path, the value name and the data.
void BuildRegistry(benchmark::State& state) {
    sim::ResetKernel();
    const size_t textBytes = static_cast<size_t>(state.range(0));
    std::u16string key(textBytes / 4, u'k');
    std::u16string value(textBytes / 8, u'v');
    std::vector<uint8_t> data(textBytes - key.size() * 2 - value.size() * 2, 0x5A);
    UNICODE_STRING keyUs{static_cast<USHORT>(key.size() * 2), static_cast<USHORT>(key.size() * 2), key.data()};
    UNICODE_STRING valueUs{static_cast<USHORT>(value.size() * 2), static_cast<USHORT>(value.size() * 2), value.data()};
    // The caller's own buffer (as before 6.2): user memory.
    sim::user::UserView caller(data.data(), data.size(), false);
    REG_SET_VALUE_KEY_INFORMATION set{};
    set.ValueName = &valueUs;
    set.Data = caller.address();
    set.DataSize = static_cast<ULONG>(data.size());
    RegEventInfo info{};
    info.KeyPath = &keyUs;
    info.SetValueInfo = &set;
    const uint64_t allocationsBefore = sim::CallCount("ExAllocatePoolWithTag");
    for (auto _ : state) {
        RegistryEvent* message = nullptr;
        PLONG reply = nullptr;
        RegMonBuildMessage(&message, &reply, nullptr, RegOpValueModified, &info);
        benchmark::DoNotOptimize(message);
        MessageFree(message);
        MessageFree(reply);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * (104 + textBytes)));
    state.SetItemsProcessed(state.iterations());
    state.counters["allocs_per_msg"] =
        static_cast<double>(sim::CallCount("ExAllocatePoolWithTag") - allocationsBefore) / static_cast<double>(state.iterations());
}

// The baseline: one heap block of the same size, zeroed, the texts copied in.
void PlainCopy(benchmark::State& state) {
    const size_t textBytes = static_cast<size_t>(state.range(0));
    std::vector<uint8_t> source(textBytes, 0x5A);
    for (auto _ : state) {
        auto* block = static_cast<uint8_t*>(std::malloc(104 + textBytes));
        std::memset(block, 0, 104 + textBytes);
        std::memcpy(block + 54, source.data(), textBytes);
        benchmark::DoNotOptimize(block);
        std::free(block);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * (104 + textBytes)));
    state.SetItemsProcessed(state.iterations());
}

// Small (a typical event) and near the 0xFFFF limit; the plain copy first, so
// the ratio table reads each build against it.
BENCHMARK(PlainCopy)->Name("MessageBuild64/plain_copy")->Arg(64);
BENCHMARK(BuildRegistry)->Name("MessageBuild64/registry")->Arg(64);
BENCHMARK(PlainCopy)->Name("MessageBuild65400/plain_copy")->Arg(65400);
BENCHMARK(BuildRegistry)->Name("MessageBuild65400/registry")->Arg(65400);

}  // namespace

// The benchmark binary's entry point (one for all bench/*.cpp).
