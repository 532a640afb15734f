// Watched and unwatched programs changing values in several threads while the
// client answers (denying some) and switches registry monitoring off and on.
#include "tests/support/fixture.h"

#if VTEST_USER_SIDE
#include "channel/wire.h"
#include "sim/cm/cm.h"
#include "sim/user/registry.h"

#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

class RegMonThreadsTest : public vtest::DriverTest {};

TEST_F(RegMonThreadsTest, ValueChangesRaceTheClientAndTheSwitch) {
    constexpr int kThreads = 6;  // even: watched, odd: not watched
    constexpr int kPerThread = 30;
    ASSERT_EQ(Connect(), vtest::S_OK);
    SetRegMon(true);
    // Denies every value whose name starts with "Deny".
    StartResponder([](const std::vector<uint8_t>& body) -> int32_t {
        RegistryEvent event;
        std::memcpy(&event, body.data(), sizeof(event));
        const auto* name = reinterpret_cast<const char16_t*>(body.data() + REGISTRY_EVENT_TEXT_OFFSET + event.NameOffset);
        return event.NameLength >= 8 && std::u16string_view(name, 4) == u"Deny" ? VerdictDeny : 0;
    });
    std::vector<_EPROCESS*> apps;
    for (int i = 0; i < kThreads; ++i) {
        apps.push_back(i % 2 == 0 ? StartWatched() : StartProcess());
    }

    std::atomic<bool> done{false};
    std::atomic<int> unexpected{0};
    std::vector<std::vector<NTSTATUS>> denyResults(kThreads);
    std::vector<std::thread> programs;
    for (int t = 0; t < kThreads; ++t) {
        programs.emplace_back([&, t] {
            _EPROCESS* app = apps[t];
            const std::u16string path = u"\\REGISTRY\\MACHINE\\SOFTWARE\\T" + std::u16string(1, u'0' + t);
            HANDLE key = nullptr;
            if (sim::user::CreateKey(app, nullptr, path, KEY_ALL_ACCESS, &key) != STATUS_SUCCESS) {
                ++unexpected;
                return;
            }
            for (int i = 0; i < kPerThread; ++i) {
                const uint32_t value = static_cast<uint32_t>(i);
                const std::u16string suffix = std::u16string(1, u'a' + (i % 26));
                if (sim::user::SetValueKey(app, key, u"Ok" + suffix, REG_DWORD, &value, 4) != STATUS_SUCCESS) {
                    ++unexpected;
                }
                denyResults[t].push_back(sim::user::SetValueKey(app, key, u"Deny" + suffix, REG_DWORD, &value, 4));
                NTSTATUS deleted = sim::user::DeleteValueKey(app, key, u"Ok" + suffix);
                if (deleted != STATUS_SUCCESS) {
                    ++unexpected;
                }
            }
            sim::user::DeleteValueKey(app, key, u"Denya");
            sim::user::CloseHandle(app, key);
        });
    }
    std::thread switcher([&] {
        // Monitoring stays on until the first event is in, so some are
        // reported however the threads are scheduled; then it flips.
        while (!done && Messages().empty()) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        bool on = true;
        while (!done) {
            on = !on;
            SetSwitch(CMD_SET_REG_MON, on ? 1 : 0);
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        SetSwitch(CMD_SET_REG_MON, 1);
    });
    for (auto& p : programs) {
        p.join();
    }
    done = true;
    switcher.join();
    StopResponder();

    EXPECT_EQ(unexpected.load(), 0);
    for (int t = 0; t < kThreads; ++t) {
        for (NTSTATUS status : denyResults[t]) {
            if (t % 2 == 0) {
                EXPECT_TRUE(status == STATUS_SUCCESS || status == STATUS_ACCESS_DENIED) << std::hex << status;
            } else {
                EXPECT_EQ(status, STATUS_SUCCESS) << "an unwatched program was refused";
            }
        }
    }
    // Only watched programs were reported (and some were: monitoring was on
    // until the first one).
    EXPECT_FALSE(Messages().empty());
    for (const auto& message : Messages()) {
        RegistryEvent event;
        std::memcpy(&event, message.body.data(), sizeof(event));
        bool watched = false;
        for (int t = 0; t < kThreads; t += 2) {
            watched |= event.ProcessId == Pid(apps[t]);
        }
        EXPECT_TRUE(watched) << "event from process " << event.ProcessId;
    }
    EXPECT_EQ(sim::cm::OutstandingKeyNames(), 0u);
}

}  // namespace
#endif
