#include "bench_ratio.h"

#include <benchmark/benchmark.h>

#include <map>
#include <stdio.h>
#include <string>

namespace {

struct Timing {
    double qv = 0;
    std::string peer;
    double peer_time = 0;
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
                t.peer = who;
                t.peer_time = run.GetAdjustedCPUTime();
            }
        }
    }
    void Finalize() override {
        ConsoleReporter::Finalize();
        printf("\n%-40s %-14s %s\n", "case", "peer", "qv_sys / peer");
        for (const auto& [name, t] : cases_) {
            if (t.qv > 0 && t.peer_time > 0)
                printf("%-40s %-14s %.3f\n", name.c_str(), t.peer.c_str(), t.qv / t.peer_time);
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
