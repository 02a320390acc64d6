// Helpers shared by the benchmark programs: collecting Google Benchmark timings by name and
// printing "GOAL <name> <measured> <target> PASS|FAIL" lines.
#pragma once

#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <string>

class CollectingReporter : public benchmark::ConsoleReporter {
public:
    std::map<std::string, double> seconds;  // real time per iteration
    std::map<std::string, std::map<std::string, double>> counters;

    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& r : runs) {
            if (r.run_type != Run::RT_Iteration && r.aggregate_name != "median") continue;
            std::string name = r.benchmark_name();
            const auto slash = name.find("/");
            if (slash != std::string::npos) name = name.substr(0, slash);
            seconds[name] = r.GetAdjustedRealTime() * Multiplier(r.time_unit);
            for (const auto& [k, c] : r.counters) counters[name][k] = c.value;
        }
        ConsoleReporter::ReportRuns(runs);
    }

private:
    static double Multiplier(benchmark::TimeUnit u) {
        switch (u) {
        case benchmark::kNanosecond:
            return 1e-9;
        case benchmark::kMicrosecond:
            return 1e-6;
        case benchmark::kMillisecond:
            return 1e-3;
        default:
            return 1.0;
        }
    }
};

// Prints a goal whose measured value must stay at or below the target.
inline bool GoalAtMost(const char* name, double measured, double target, const char* unit) {
    const bool pass = measured <= target;
    std::printf("GOAL %s %.2f%s <=%.2f%s %s\n", name, measured, unit, target, unit, pass ? "PASS" : "FAIL");
    return pass;
}

inline bool GoalAtLeast(const char* name, double measured, double target, const char* unit) {
    const bool pass = measured >= target;
    std::printf("GOAL %s %.2f%s >=%.2f%s %s\n", name, measured, unit, target, unit, pass ? "PASS" : "FAIL");
    return pass;
}
