// The one table every bench tool prints: a row per figure, markdown, so that
// docs/performance.md can take it as it is.
#pragma once

#include <string>

namespace mira::bench {

void PrintTableHeader();
// figure, value per operation, rate, further figures.
void PrintRow(const std::string& figure, const std::string& perOp, const std::string& rate, const std::string& notes);

// "1.23 us", "456 ns", "7.8 ms" from nanoseconds.
std::string Duration(double ns);
// "12.3 MB/s" and the like from a per-second rate.
std::string Rate(double perSecond, const char* unit);

}  // namespace mira::bench
