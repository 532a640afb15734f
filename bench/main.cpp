// Runs the benchmarks and, for every family whose runs are named
// "<family>/<configuration>", prints each configuration's throughput as a ratio
// against the family's first configuration (its baseline) measured in the same
// run. Ratios within one run are what we compare: the machines are shared.
//
// --rounds=N runs every selected benchmark once per round, N rounds in a row,
// so the configurations of a family take turns: round i of a configuration
// and round i of its baseline ran next to each other in time, and a change in
// the machine's load between rounds falls on both. The summary then gives the
// median of the per-round ratios with their full spread, beside the ratio of
// the means. (With --benchmark_repetitions instead, all repetitions of one
// configuration run before the next configuration starts.)
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
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
    // baseline's time one item takes), and with repetitions or rounds the
    // ratio of run i against the baseline's run i: their median, lowest and
    // highest, and coefficient of variation.
    void PrintRatios(const char* unit) const {
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
                    std::vector<double> ratios;
                    for (size_t i = 0; i < reps; ++i) {
                        ratios.push_back(c.rates[i] / baseline.rates[i]);
                    }
                    std::sort(ratios.begin(), ratios.end());
                    const double median = reps % 2 == 1 ? ratios[reps / 2] : (ratios[reps / 2 - 1] + ratios[reps / 2]) / 2;
                    const double m = Mean(ratios);
                    double var = 0;
                    for (double r : ratios) {
                        var += (r - m) * (r - m);
                    }
                    const double cv = std::sqrt(var / static_cast<double>(reps - 1)) / m;
                    std::printf("   per %s (%zu): median %.3f, %.3f..%.3f (%+.1f%%..%+.1f%%), cv %.1f%%", unit, reps, median,
                                ratios.front(), ratios.back(), (ratios.front() / median - 1) * 100,
                                (ratios.back() / median - 1) * 100, cv * 100);
                }
                std::printf("\n");
            }
        }
    }

private:
    struct Configuration {
        std::string name;
        std::vector<double> rates;  // one per repetition or round
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
    // Our own flag first: the library refuses flags it does not know.
    int rounds = 1;
    int kept = 1;
    for (int i = 1; i < argc; ++i) {
        if (std::strncmp(argv[i], "--rounds=", 9) == 0) {
            rounds = std::max(1, std::atoi(argv[i] + 9));
        } else {
            argv[kept++] = argv[i];
        }
    }
    argc = kept;
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    RatioReporter reporter;
    for (int round = 0; round < rounds; ++round) {
        benchmark::RunSpecifiedBenchmarks(&reporter);
    }
    reporter.PrintRatios(rounds > 1 ? "round" : "repetition");
    benchmark::Shutdown();
    return 0;
}
