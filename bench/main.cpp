// Runs the benchmarks and, for every family whose runs are named
// "<family>/<configuration>", prints each configuration's throughput as a ratio
// against the family's first configuration (its baseline) measured in the same
// run. Ratios within one run are what we compare: the machines are shared.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

namespace {

class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs) {
            if (run.run_type != Run::RT_Iteration || run.error_occurred) {
                continue;
            }
            auto it = run.counters.find("items_per_second");
            if (it == run.counters.end()) {
                continue;
            }
            const std::string name = run.benchmark_name();
            const auto slash = name.find('/');
            if (slash == std::string::npos) {
                continue;
            }
            auto& family = families_[name.substr(0, slash)];
            family.emplace_back(name.substr(slash + 1), it->second.value);
        }
    }

    void Finalize() override {
        ConsoleReporter::Finalize();
        for (const auto& [family, configurations] : families_) {
            if (configurations.size() < 2 || configurations.front().second <= 0) {
                continue;
            }
            const auto& baseline = configurations.front();
            std::printf("\n%s: throughput relative to %s (%.0f items/s)\n", family.c_str(), baseline.first.c_str(),
                        baseline.second);
            for (const auto& [configuration, rate] : configurations) {
                std::printf("  %-28s %10.0f items/s   ratio %.3f\n", configuration.c_str(), rate, rate / baseline.second);
            }
        }
    }

private:
    std::map<std::string, std::vector<std::pair<std::string, double>>> families_;
};

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return 0;
}
