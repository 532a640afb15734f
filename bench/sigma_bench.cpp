// Detection rules on a mixed stream of events: every shared rule loaded, the
// events of the shared regression logs mixed with ordinary activity (programs
// starting, documents written, settings saved). "Sigma/every_rule" tries each
// rule of the event's category (the baseline); "Sigma/prefiltered" is what the
// client runs: the literal prefilter picks the candidates. Counters: per-event
// p50 and p99 in microseconds of the thread's processor time (a shared machine
// preempts the thread; wall-clock p99 is wall_p99_us), each sample including
// the clock's own cost. The shared rules live beside the repository
// (../shared/sigma); without them the benchmarks say so and skip.
#include "client/lib/sigma/replay.h"
#include "client/lib/sigma/sigma.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>

#include <time.h>

namespace {

using namespace vetrona::client::sigma;

const std::string kShared = std::string(VETRONA_SOURCE_DIR) + "/../shared/sigma";

struct Corpus {
    RuleSet rules;
    std::vector<Event> events;
    bool ready = false;
};

Event Ordinary(int i) {
    static const char* const images[] = {"C:\\Windows\\System32\\notepad.exe", "C:\\Program Files\\App\\app.exe",
                                         "C:\\Windows\\explorer.exe", "C:\\Program Files (x86)\\Editor\\editor.exe"};
    Event e;
    switch (i % 3) {
    case 0:
        e.categories = {"process_creation"};
        e.Set("Image", images[i % 4]);
        e.Set("CommandLine", std::string("\"") + images[i % 4] + "\" C:\\Users\\alice\\Documents\\report" +
                                 std::to_string(i) + ".txt");
        e.Set("ParentImage", "C:\\Windows\\explorer.exe");
        e.Set("ParentCommandLine", "C:\\Windows\\explorer.exe");
        e.Set("ProcessId", std::to_string(1000 + i));
        e.Set("ParentProcessId", "400");
        break;
    case 1:
        e.categories = {"file_event"};
        e.Set("TargetFilename", "C:\\Users\\alice\\Documents\\draft" + std::to_string(i) + ".docx");
        e.Set("Image", images[i % 4]);
        break;
    default:
        e.categories = {"registry_set", "registry_event"};
        e.Set("EventType", "SetValue");
        e.Set("TargetObject", "HKU\\S-1-5-21-1-2-3-1001\\Software\\Editor\\Recent\\File" + std::to_string(i % 10));
        e.Set("Details", "C:\\Users\\alice\\Documents\\draft.docx");
        e.Set("Image", images[i % 4]);
        break;
    }
    return e;
}

Corpus& Shared() {
    static Corpus corpus = [] {
        Corpus c;
        std::string error;
        if (!std::filesystem::is_directory(kShared + "/rules") || !c.rules.LoadDirectory(kShared + "/rules", &error)) return c;
        for (const std::string& folder : FindCases({kShared + "/regression_data"})) {
            for (const auto& entry : std::filesystem::directory_iterator(folder)) {
                if (entry.path().extension() != ".json") continue;
                std::ifstream in(entry.path());
                while (in >> std::ws, in.peek() != EOF) {
                    nlohmann::json record;
                    try {
                        in >> record;
                    } catch (...) {
                        break;
                    }
                    std::string why;
                    if (auto e = EventFromLogged(record, &why)) c.events.push_back(*e);
                }
            }
        }
        // Three ordinary events for each logged one: most of what a client sees is benign.
        const size_t logged = c.events.size();
        for (size_t i = 0; i < logged * 3; ++i) c.events.push_back(Ordinary(static_cast<int>(i)));
        std::rotate(c.events.begin(), c.events.begin() + logged / 2, c.events.end());
        c.ready = !c.events.empty();
        return c;
    }();
    return corpus;
}

void Run(benchmark::State& state, bool prefiltered) {
    Corpus& c = Shared();
    if (!c.ready) {
        state.SkipWithError("no shared rules and logs beside the repository (../shared/sigma)");
        return;
    }
    auto scratch = NewMatchScratch();
    std::vector<size_t> matches;
    std::vector<double> times, wall;
    times.reserve(1 << 20);
    wall.reserve(1 << 20);
    size_t i = 0, hits = 0;
    for (auto _ : state) {
        const Event& e = c.events[i++ % c.events.size()];
        timespec cpuStart, cpuEnd;
        const auto start = std::chrono::steady_clock::now();
        clock_gettime(CLOCK_THREAD_CPUTIME_ID, &cpuStart);
        if (prefiltered) {
            c.rules.Match(e, scratch.get(), &matches);
        } else {
            c.rules.MatchEveryRule(e, scratch.get(), &matches);
        }
        clock_gettime(CLOCK_THREAD_CPUTIME_ID, &cpuEnd);
        const auto end = std::chrono::steady_clock::now();
        hits += matches.size();
        if (times.size() < times.capacity()) {
            times.push_back((cpuEnd.tv_sec - cpuStart.tv_sec) * 1e6 + (cpuEnd.tv_nsec - cpuStart.tv_nsec) / 1e3);
            wall.push_back(std::chrono::duration<double, std::micro>(end - start).count());
        }
    }
    state.SetItemsProcessed(state.iterations());
    std::sort(times.begin(), times.end());
    if (!times.empty()) {
        state.counters["p50_us"] = times[times.size() / 2];
        state.counters["p99_us"] = times[times.size() * 99 / 100];
        std::sort(wall.begin(), wall.end());
        state.counters["wall_p99_us"] = wall[wall.size() * 99 / 100];
    }
    state.counters["rules"] = static_cast<double>(c.rules.size());
    state.counters["matches_per_event"] = static_cast<double>(hits) / static_cast<double>(std::max<size_t>(1, i));
}

BENCHMARK_CAPTURE(Run, every_rule, false)->Name("Sigma/every_rule");
BENCHMARK_CAPTURE(Run, prefiltered, true)->Name("Sigma/prefiltered");

}  // namespace
