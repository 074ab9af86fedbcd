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

// Passes every run to the console reporter and keeps the per-iteration times of the pairs.
class RatioReporter : public benchmark::ConsoleReporter {
  public:
    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs) {
            if (run.run_type != Run::RT_Iteration || run.error_occurred)
                continue;
            const std::string name = run.benchmark_name();
            // "<case>/<who>" possibly followed by "/<argument>..." that the library appends.
            const size_t slash = name.find('/');
            if (slash == std::string::npos)
                continue;
            const size_t end = name.find('/', slash + 1);
            const std::string who = name.substr(
                slash + 1, end == std::string::npos ? std::string::npos : end - slash - 1);
            Timing& t = cases_[name.substr(0, slash)];
            if (who == "qv_sys") {
                t.qv = run.GetAdjustedCPUTime();
            } else {
                t.peers.emplace_back(who, run.GetAdjustedCPUTime());
            }
        }
    }
    void Finalize() override {
        ConsoleReporter::Finalize();
        printf("\n%-40s %-14s %s\n", "case", "peer", "qv_sys / peer");
        for (const auto& [name, t] : cases_) {
            for (const auto& [peer, time] : t.peers)
                if (t.qv > 0 && time > 0)
                    printf("%-40s %-14s %.3f\n", name.c_str(), peer.c_str(), t.qv / time);
        }
    }

  private:
    std::map<std::string, Timing> cases_;
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
