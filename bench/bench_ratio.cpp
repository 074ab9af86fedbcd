#include "bench_ratio.h"

#include <benchmark/benchmark.h>

#include <map>
#include <stdio.h>
#include <string>
#include <utility>
#include <vector>

namespace {

struct Timing {
    double qv = 0;
    std::vector<std::pair<std::string, double>> peers; // in the order they ran
};

// One table from single runs, and two when --benchmark_repetitions asks for repeats: the
// medians, and the fastest repetition of each side. On a shared machine a repetition is only
// ever slowed by what else runs, so the fastest one is the least disturbed; the two tables
// agreeing is the sign that the machine was quiet enough.
struct Table {
    std::map<std::string, Timing> cases;
    void add(const std::string& name, double time, bool keep_least = false) {
        // "<case>/<who>" possibly followed by "/<argument>..." that the library appends.
        const size_t slash = name.find('/');
        if (slash == std::string::npos)
            return;
        const size_t end = name.find('/', slash + 1);
        const std::string who =
            name.substr(slash + 1, end == std::string::npos ? std::string::npos : end - slash - 1);
        Timing& t = cases[name.substr(0, slash)];
        if (who == "qv_sys") {
            t.qv = keep_least && t.qv > 0 && t.qv < time ? t.qv : time;
            return;
        }
        for (auto& [peer, least] : t.peers) {
            if (keep_least && peer == who) {
                least = least < time ? least : time;
                return;
            }
        }
        t.peers.emplace_back(who, time);
    }
    void print(const char* title) const {
        if (cases.empty())
            return;
        printf("\n%-40s %-14s %s\n", "case", "peer", title);
        for (const auto& [name, t] : cases) {
            for (const auto& [peer, time] : t.peers)
                if (t.qv > 0 && time > 0)
                    printf("%-40s %-14s %.3f\n", name.c_str(), peer.c_str(), t.qv / time);
        }
    }
};

// Passes every run to the console reporter and keeps the per-iteration times of the pairs.
class RatioReporter : public benchmark::ConsoleReporter {
  public:
    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs) {
            if (run.error_occurred)
                continue;
            if (run.run_type == Run::RT_Iteration && run.repetitions <= 1)
                single_.add(run.benchmark_name(), run.GetAdjustedCPUTime());
            else if (run.run_type == Run::RT_Iteration)
                fastest_.add(run.run_name.str(), run.GetAdjustedCPUTime(), true);
            else if (run.run_type == Run::RT_Aggregate && run.aggregate_name == "median")
                median_.add(run.run_name.str(), run.GetAdjustedCPUTime());
        }
    }
    void Finalize() override {
        ConsoleReporter::Finalize();
        single_.print("qv_sys / peer");
        median_.print("qv_sys / peer (medians)");
        fastest_.print("qv_sys / peer (fastest repetitions)");
    }

  private:
    Table single_;
    Table median_;
    Table fastest_;
};

} // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return 0;
}
