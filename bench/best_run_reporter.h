#pragma once

// Google Benchmark's console table, keeping the best run of every repeated measurement
// for the summaries the benchmarks print after it.

#include <algorithm>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include <benchmark/benchmark.h>
#include <unistd.h>

namespace script::bench {

/// The statistic every repeated measurement computes: its best (smallest) run.
inline double best_of(const std::vector<double>& values)
{
    return values.empty() ? 0.0 : *std::min_element(values.begin(), values.end());
}

class BestRunReporter : public benchmark::ConsoleReporter
{
public:
    struct Figures
    {
        double milliseconds = 0;
        std::map<std::string, double> counters;
    };

    BestRunReporter() : ConsoleReporter(::isatty(STDOUT_FILENO) ? OO_ColorTabular : OO_Tabular) {}

    void ReportRuns(const std::vector<Run>& runs) override
    {
        for (const Run& run : runs) {
            // Every measurement is repeated; its "min" aggregate (best_of) is the best run.
            if (run.error_occurred || run.run_type != Run::RT_Aggregate || run.aggregate_name != "min")
                continue;
            Figures figures;
            figures.milliseconds = run.GetAdjustedRealTime() *
                                   benchmark::GetTimeUnitMultiplier(benchmark::kMillisecond) /
                                   benchmark::GetTimeUnitMultiplier(run.time_unit);
            for (const auto& [name, counter] : run.counters)
                figures.counters[name] = counter.value;
            m_figures[run.run_name.function_name] = figures;
        }
        ConsoleReporter::ReportRuns(runs);
    }

    /// The best run of the measurement named `prefix` + `size`, or nullptr.
    const Figures* find(std::string_view prefix, std::string_view size) const
    {
        const auto it = m_figures.find(std::string(prefix) + std::string(size));
        return it == m_figures.end() ? nullptr : &it->second;
    }

private:
    std::map<std::string, Figures> m_figures;
};

} // namespace script::bench
