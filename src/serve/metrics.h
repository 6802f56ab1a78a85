// Counters and gauges a face keeps for /metrics. A face fills them under the
// names it chooses (mira_modbus_requests_total ...); /metrics prints them with
// Text() after its own, knowing no face. One per store: TagStore::Metrics().
//
// Thread safety: every member may be called from any thread; one mutex,
// held to update or print a few numbers.
#pragma once

#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace mira::serve {

class FaceMetrics {
public:
    // Label names and values, in the order they are printed.
    using Labels = std::vector<std::pair<std::string, std::string>>;

    // The HELP text of a family; a family without one prints none.
    void Describe(const std::string& name, const std::string& help);
    // A counter: adds to the sample of these labels (0 first).
    void Add(const std::string& name, const Labels& labels, double delta = 1);
    // A gauge: sets the sample of these labels.
    void Set(const std::string& name, const Labels& labels, double value);

    // The families in the Prometheus text format, by name, each sample by its
    // labels; "" when no face counted anything.
    std::string Text() const;
    // One sample, for tests; 0 when never counted.
    double Value(const std::string& name, const Labels& labels = {}) const;

private:
    struct Family {
        std::string help;
        const char* type = "untyped";
        std::map<std::string, double> samples;  // by the printed label set: {a="1",b="x"}
    };
    Family& FamilyLocked(const std::string& name, const char* type);
    mutable std::mutex mutex_;
    std::map<std::string, Family> families_;
};

}  // namespace mira::serve
