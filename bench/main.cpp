// mira_bench: runs the driver-side benchmarks and prints them as rows of the
// bench table. Google Benchmark's own flags work (--benchmark_filter=...,
// --benchmark_min_time=...); --no-header leaves the table header out.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "loop_port.h"
#include "report.h"

namespace mira::bench {
namespace {

double ToNs(double value, benchmark::TimeUnit unit) {
    switch (unit) {
        case benchmark::kSecond: return value * 1e9;
        case benchmark::kMillisecond: return value * 1e6;
        case benchmark::kMicrosecond: return value * 1e3;
        default: return value;
    }
}

std::string Figure(double value, const std::string& name) {
    char buf[64];
    if (name == "allocs")
        std::snprintf(buf, sizeof buf, "%s %.2f", name.c_str(), value);
    else if (name.size() > 3 && name.compare(name.size() - 3, 3, "_ns") == 0)
        std::snprintf(buf, sizeof buf, "%s %s", name.substr(0, name.size() - 3).c_str(), Duration(value).c_str());
    else
        std::snprintf(buf, sizeof buf, "%s %.0f", name.c_str(), value);
    return buf;
}

class TableReporter : public benchmark::BenchmarkReporter {
public:
    explicit TableReporter(bool header) : header_(header) {}
    bool ReportContext(const Context&) override {
        if (header_) PrintTableHeader();
        return true;
    }
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs) {
            if (run.error_occurred) {
                PrintRow(run.benchmark_name(), "-", "-", "failed: " + run.error_message);
                continue;
            }
            const double ns = ToNs(run.GetAdjustedRealTime(), run.time_unit);
            std::string rate, notes;
            for (const auto& [name, counter] : run.counters) {
                if (name == "bytes_per_second")
                    rate = Rate(counter.value, "B");
                else if (name == "items_per_second")
                    rate = Rate(counter.value, "calls");
                else
                    notes += (notes.empty() ? "" : ", ") + Figure(counter.value, name);
            }
            if (rate.empty() && ns > 0) rate = Rate(1e9 / ns, "ops");
            PrintRow(run.benchmark_name(), Duration(ns), rate, notes);
        }
    }

private:
    bool header_;
};

}  // namespace
}  // namespace mira::bench

int main(int argc, char** argv) {
    bool header = true;
    std::vector<char*> args;
    for (int i = 0; i < argc; ++i) {
        if (std::strcmp(argv[i], "--no-header") == 0)
            header = false;
        else
            args.push_back(argv[i]);
    }
    int count = static_cast<int>(args.size());
    benchmark::Initialize(&count, args.data());
    if (benchmark::ReportUnrecognizedArguments(count, args.data())) return 1;
    mira::bench::TableReporter reporter(header);
    benchmark::RunSpecifiedBenchmarks(&reporter);
    mira::bench::CloseLoop();
    benchmark::Shutdown();
    return 0;
}
