// Runs the benchmarks and, for every family whose runs are named
// "<family>/<configuration>", prints each configuration's throughput as a ratio
// against the family's first configuration (its baseline) measured in the same
// run. Ratios within one run are what we compare: the machines are shared.
#include <benchmark/benchmark.h>

#include <algorithm>
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
            const std::string configuration = name.substr(slash + 1);
            auto entry = std::find_if(family.begin(), family.end(),
                                      [&](const Configuration& c) { return c.name == configuration; });
            if (entry == family.end()) {
                family.push_back(Configuration{configuration, {}});
                entry = family.end() - 1;
            }
            entry->rates.push_back(it->second.value);
        }
    }

    // Per family: each configuration's mean throughput, its ratio to the
    // baseline's mean ("ratio"; its inverse "cost x" is how many times the
    // baseline's time one item takes), and with repetitions the spread of
    // the ratio of repetition i against the baseline's repetition i.
    void Finalize() override {
        ConsoleReporter::Finalize();
        for (const auto& [family, configurations] : families_) {
            if (configurations.size() < 2) {
                continue;
            }
            const Configuration& baseline = configurations.front();
            const double baseMean = Mean(baseline.rates);
            if (baseMean <= 0) {
                continue;
            }
            std::printf("\n%s: throughput relative to %s (%.0f items/s)\n", family.c_str(), baseline.name.c_str(),
                        baseMean);
            for (const Configuration& c : configurations) {
                const double mean = Mean(c.rates);
                std::printf("  %-28s %12.0f items/s   ratio %.3f   cost x%.2f", c.name.c_str(), mean, mean / baseMean,
                            mean > 0 ? baseMean / mean : 0.0);
                const size_t reps = std::min(c.rates.size(), baseline.rates.size());
                if (reps > 1 && &c != &baseline) {
                    double lo = 1e300;
                    double hi = 0;
                    for (size_t i = 0; i < reps; ++i) {
                        const double r = c.rates[i] / baseline.rates[i];
                        lo = std::min(lo, r);
                        hi = std::max(hi, r);
                    }
                    const double mid = mean / baseMean;
                    std::printf("   per repetition %.3f..%.3f (%+.1f%%..%+.1f%%)", lo, hi, (lo / mid - 1) * 100,
                                (hi / mid - 1) * 100);
                }
                std::printf("\n");
            }
        }
    }

private:
    struct Configuration {
        std::string name;
        std::vector<double> rates;  // one per repetition
    };
    static double Mean(const std::vector<double>& v) {
        double sum = 0;
        for (double x : v) {
            sum += x;
        }
        return v.empty() ? 0 : sum / static_cast<double>(v.size());
    }
    std::map<std::string, std::vector<Configuration>> families_;
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
