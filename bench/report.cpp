#include "report.h"

#include <cstdio>

namespace mira::bench {

void PrintTableHeader() {
    std::printf("| figure | per operation | rate | details |\n");
    std::printf("|---|---:|---:|---|\n");
    std::fflush(stdout);
}

void PrintRow(const std::string& figure, const std::string& perOp, const std::string& rate, const std::string& notes) {
    std::printf("| %s | %s | %s | %s |\n", figure.c_str(), perOp.c_str(), rate.c_str(), notes.c_str());
    std::fflush(stdout);
}

std::string Duration(double ns) {
    char buf[32];
    if (ns < 1e3)
        std::snprintf(buf, sizeof buf, "%.0f ns", ns);
    else if (ns < 1e6)
        std::snprintf(buf, sizeof buf, "%.2f us", ns / 1e3);
    else if (ns < 1e9)
        std::snprintf(buf, sizeof buf, "%.2f ms", ns / 1e6);
    else
        std::snprintf(buf, sizeof buf, "%.2f s", ns / 1e9);
    return buf;
}

std::string Rate(double perSecond, const char* unit) {
    char buf[48];
    if (perSecond >= 1e9)
        std::snprintf(buf, sizeof buf, "%.2f G%s/s", perSecond / 1e9, unit);
    else if (perSecond >= 1e6)
        std::snprintf(buf, sizeof buf, "%.2f M%s/s", perSecond / 1e6, unit);
    else if (perSecond >= 1e3)
        std::snprintf(buf, sizeof buf, "%.2f k%s/s", perSecond / 1e3, unit);
    else
        std::snprintf(buf, sizeof buf, "%.1f %s/s", perSecond, unit);
    return buf;
}

}  // namespace mira::bench
