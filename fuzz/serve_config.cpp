// The configuration loader of mira serve with any file: it reads it whole or
// reports problems, each at a place of the file, and a configuration it
// takes can always be planned, every group within one read.
#include <cstdint>
#include <cstdlib>
#include <sstream>
#include <string>

#include "serve/config.h"
#include "serve/faces.h"
#include "serve/planner.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    std::string problems;
    const auto config = mira::serve::ParseConfig(text, "fuzz.toml", mira::serve::AllFaces(), &problems);
    if (config.has_value() != problems.empty()) std::abort();
    std::istringstream lines(problems);
    for (std::string line; std::getline(lines, line);)
        if (line.rfind("fuzz.toml:", 0) != 0) std::abort();
    if (!config) return 0;
    const mira::serve::Plan plan = mira::serve::MakePlan(*config);
    size_t planned = 0;
    for (const auto& scan : plan.scans)
        for (const auto& group : scan.groups) {
            planned += group.tags.size();
            if (group.items.size() != group.tags.size() || group.last - group.first + 1 > 127) std::abort();
        }
    if (planned != config->tags.size()) std::abort();
    (void)mira::serve::PlanText(*config, plan);
    return 0;
}
