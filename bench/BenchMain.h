#pragma once

// What every benchmark program shares: it runs its benchmarks, then checks the bounds it
// promises against the figures of this very run (side-by-side runs, so a slow machine
// slows both sides) and ends with 1 when one misses. The bounds are printed as a table;
// with VELMORA_BENCH_TABLE naming a file, their rows are appended to it as tab-separated
// lines (program, measure, figure, baseline, ratio, bound, holds) for scripts/bench.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <unistd.h>

namespace velmora::bench {

// The figures of one benchmark: the median of its repetitions when it had several.
struct Figures {
    double seconds = 0;    // wall (or manual) time per iteration
    double cpuSeconds = 0; // CPU time of the benchmark's thread per iteration
    std::map<std::string, double> counters;
    bool failed = false;
    std::string error;
};

class Runs {
public:
    void add(const benchmark::BenchmarkReporter::Run& run) {
        Figures figures;
        const double iterations = run.iterations > 0 ? static_cast<double>(run.iterations) : 1.0;
        figures.seconds = run.real_accumulated_time / iterations;
        figures.cpuSeconds = run.cpu_accumulated_time / iterations;
        for (const auto& [name, counter] : run.counters) {
            figures.counters[name] = counter.value;
        }
        figures.failed = run.error_occurred;
        figures.error = run.error_message;
        m_runs[run.benchmark_name()] = std::move(figures);
    }

    // By the benchmark's name with or without what the library appends to it
    // ("/iterations:10/manual_time"); the median when it ran repeatedly.
    const Figures* find(const std::string& name) const {
        for (const std::string& key : {name + "_median", name}) {
            if (auto found = m_runs.find(key); found != m_runs.end()) {
                return &found->second;
            }
        }
        const Figures* prefixed = nullptr;
        for (const auto& [key, figures] : m_runs) {
            if (key.rfind(name + "/", 0) == 0) {
                if (key.size() > 7 && key.compare(key.size() - 7, 7, "_median") == 0) {
                    return &figures;
                }
                prefixed = prefixed ? prefixed : &figures;
            }
        }
        return prefixed;
    }

    std::vector<std::pair<std::string, std::string>> failures() const {
        std::vector<std::pair<std::string, std::string>> failed;
        for (const auto& [name, figures] : m_runs) {
            if (figures.failed) {
                failed.emplace_back(name, figures.error);
            }
        }
        return failed;
    }

private:
    std::map<std::string, Figures> m_runs;
};

// A figure with its unit, for the table.
struct Quantity {
    double value = 0;
    std::string unit; // "s" for times (printed in a fitting unit), anything else as is

    static Quantity seconds(double value) { return {value, "s"}; }
    static Quantity mib(double value) { return {value, "MiB"}; }
    static Quantity count(double value) { return {value, ""}; }

    std::string text() const {
        char line[64];
        if (unit == "s") {
            const double magnitude = std::fabs(value);
            if (magnitude >= 1.0) {
                std::snprintf(line, sizeof line, "%.3f s", value);
            } else if (magnitude >= 1e-3) {
                std::snprintf(line, sizeof line, "%.2f ms", value * 1e3);
            } else if (magnitude >= 1e-6) {
                std::snprintf(line, sizeof line, "%.2f us", value * 1e6);
            } else {
                std::snprintf(line, sizeof line, "%.1f ns", value * 1e9);
            }
        } else if (unit.empty()) {
            std::snprintf(line, sizeof line, "%g", value);
        } else {
            std::snprintf(line, sizeof line, "%.2f %s", value, unit.c_str());
        }
        return line;
    }
};

// A figure and what it is held against; no baseline for a bound on the figure itself.
struct Measurement {
    Quantity figure;
    std::optional<Quantity> baseline;
};

class Bounds {
public:
    enum class Kind { atMost, exactly };

    // figure / baseline ≤ bound (or, without a baseline, figure ≤ bound).
    void atMost(std::string measure, std::function<std::optional<Measurement>(const Runs&)> compute,
                double bound) {
        m_bounds.push_back({std::move(measure), std::move(compute), bound, Kind::atMost});
    }
    // figure == baseline (a count that must come out exactly).
    void exactly(std::string measure, std::function<std::optional<Measurement>(const Runs&)> compute) {
        m_bounds.push_back({std::move(measure), std::move(compute), 1.0, Kind::exactly});
    }

    // The wall time of one benchmark against another's.
    void timeRatio(std::string measure, std::string figure, std::string baseline, double bound) {
        ratio(std::move(measure), std::move(figure), std::move(baseline), bound, &Figures::seconds);
    }

    // The CPU time of one benchmark's thread against another's: for work done on that thread
    // alone, what it cost without the time it waited for a core, which on a busy machine lands
    // on one side or the other by chance.
    void cpuTimeRatio(std::string measure, std::string figure, std::string baseline, double bound) {
        ratio(std::move(measure), std::move(figure), std::move(baseline), bound, &Figures::cpuSeconds);
    }

    void ratio(std::string measure, std::string figure, std::string baseline, double bound,
               double Figures::*time) {
        atMost(
            std::move(measure),
            [figure, baseline, time](const Runs& runs) -> std::optional<Measurement> {
                const Figures* a = runs.find(figure);
                const Figures* b = runs.find(baseline);
                if (!a || !b || a->failed || b->failed) {
                    return std::nullopt;
                }
                return Measurement{Quantity::seconds(a->*time), Quantity::seconds(b->*time)};
            },
            bound);
    }

    // One counter of a benchmark, as it is or against a fixed baseline.
    static std::optional<double> counter(const Runs& runs, const std::string& benchmark,
                                         const std::string& name) {
        const Figures* figures = runs.find(benchmark);
        if (!figures || figures->failed) {
            return std::nullopt;
        }
        const auto found = figures->counters.find(name);
        return found == figures->counters.end() ? std::nullopt : std::optional<double>(found->second);
    }

    // Checks every bound against the runs, prints the table, appends its rows to the
    // file VELMORA_BENCH_TABLE names, and says whether all held. A bound whose
    // benchmarks did not run misses, unless a filter chose which benchmarks run.
    bool check(const Runs& runs, const std::string& program, bool filtered) const {
        bool allHold = true;
        std::FILE* table = nullptr;
        if (const char* path = std::getenv("VELMORA_BENCH_TABLE"); path && *path) {
            table = std::fopen(path, "a");
        }
        std::printf("\n%-66s %12s %12s %8s %8s  %s\n", "measure", "figure", "baseline", "ratio", "bound",
                    "holds");
        for (const Bound& bound : m_bounds) {
            const std::optional<Measurement> measured = bound.compute(runs);
            std::string figure = "-", baseline = "-", ratioText = "-", boundText, holds;
            if (bound.kind == Kind::exactly) {
                boundText = "= 1";
            } else {
                char line[32];
                std::snprintf(line, sizeof line, "%s%.2f", measured && !measured->baseline ? "" : "x ",
                              bound.bound);
                boundText = line;
            }
            bool held = false;
            if (!measured) {
                holds = filtered ? "not run" : "no (not run)";
                held = filtered;
            } else {
                figure = measured->figure.text();
                double ratio = measured->figure.value;
                if (measured->baseline) {
                    baseline = measured->baseline->text();
                    ratio = measured->baseline->value != 0
                                ? measured->figure.value / measured->baseline->value
                                : INFINITY;
                    char line[32];
                    std::snprintf(line, sizeof line, "%.3f", ratio);
                    ratioText = line;
                } else if (bound.kind == Kind::atMost) {
                    boundText = Quantity{bound.bound, measured->figure.unit}.text();
                }
                held = bound.kind == Kind::exactly ? ratio == 1.0 : ratio <= bound.bound;
                holds = held ? "yes" : "NO";
            }
            allHold = allHold && held;
            std::printf("%-66s %12s %12s %8s %8s  %s\n", bound.measure.c_str(), figure.c_str(),
                        baseline.c_str(), ratioText.c_str(), boundText.c_str(), holds.c_str());
            if (table) {
                std::fprintf(table, "%s\t%s\t%s\t%s\t%s\t%s\t%s\n", program.c_str(), bound.measure.c_str(),
                             figure.c_str(), baseline.c_str(), ratioText.c_str(), boundText.c_str(),
                             holds.c_str());
            }
        }
        for (const auto& [name, error] : runs.failures()) {
            std::printf("%s failed: %s\n", name.c_str(), error.c_str());
            if (table) {
                std::fprintf(table, "%s\t%s\t-\t-\t-\t-\tNO (%s)\n", program.c_str(), name.c_str(),
                             error.c_str());
            }
            allHold = false;
        }
        std::fflush(stdout);
        if (table) {
            std::fclose(table);
        }
        return allHold;
    }

private:
    struct Bound {
        std::string measure;
        std::function<std::optional<Measurement>(const Runs&)> compute;
        double bound;
        Kind kind;
    };
    std::vector<Bound> m_bounds;
};

// The console output as usual, with every run kept for the bounds.
class CollectingReporter : public benchmark::ConsoleReporter {
public:
    CollectingReporter() : benchmark::ConsoleReporter(::isatty(STDOUT_FILENO) ? OO_Defaults : OO_Tabular) {}
    void ReportRuns(const std::vector<Run>& reports) override {
        for (const Run& run : reports) {
            if (run.run_type == Run::RT_Iteration || run.aggregate_name == "median") {
                runs.add(run);
            }
        }
        benchmark::ConsoleReporter::ReportRuns(reports);
    }
    Runs runs;
};

// The CPU time of the calling thread so far, in seconds: what a batch of work on one thread
// cost, without the time the thread waited for a core on a busy machine.
inline double threadCpuSeconds() {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

inline double median(std::vector<double> values) {
    if (values.empty()) {
        return 0;
    }
    std::sort(values.begin(), values.end());
    const std::size_t middle = values.size() / 2;
    return values.size() % 2 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

// The body of every benchmark program's main() once its Qt application exists: runs the
// benchmarks the command line names (all by default) and checks `bounds` against them;
// 1 when a bound misses or a benchmark failed. With `rejectUnrecognized`, an argument
// that is not the library's own ends the program with 1 before anything runs.
inline int runBenchmarks(int& argc, char** argv, const Bounds& bounds, bool rejectUnrecognized = false) {
    bool filtered = false;
    for (int i = 1; i < argc; ++i) {
        filtered = filtered || std::strncmp(argv[i], "--benchmark_filter", 18) == 0;
    }
    const std::string program = [&] {
        const std::string path = argc > 0 ? argv[0] : "bench";
        const auto slash = path.rfind('/');
        return slash == std::string::npos ? path : path.substr(slash + 1);
    }();
    benchmark::Initialize(&argc, argv);
    if (rejectUnrecognized && benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    CollectingReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return bounds.check(reporter.runs, program, filtered) ? 0 : 1;
}

// runBenchmarks with the repetitions of all benchmarks run in a random order: the two sides of
// a ratio take turns, so a spell of noise on the machine falls on both alike rather than on
// whichever ran then.
inline int runInterleaved(int argc, char** argv, const Bounds& bounds) {
    std::vector<char*> arguments(argv, argv + argc);
    static char interleaved[] = "--benchmark_enable_random_interleaving=true";
    arguments.insert(arguments.begin() + 1, interleaved);
    int count = static_cast<int>(arguments.size());
    arguments.push_back(nullptr);
    return runBenchmarks(count, arguments.data(), bounds);
}

} // namespace velmora::bench
