#include "cli/output.h"

#include <algorithm>

#include "cli/format.h"

namespace mira::cli {

std::string RowJson(const Row& row) {
    std::string s = "{\"item\":" + JsonString(row.item) + ",\"value\":" + (row.jsonValue.empty() ? "null" : row.jsonValue) +
                    ",\"quality\":" + (row.quality >= 0 ? std::to_string(row.quality) : "null") +
                    ",\"time\":" + JsonString(row.time);
    if (row.errorCode != 0)
        s += ",\"error\":{\"code\":" + std::to_string(row.errorCode) + ",\"message\":" + JsonString(row.errorMessage) +
             "}";
    return s + "}";
}

void PrintRows(const std::vector<Row>& rows, bool json, FILE* out) {
    if (json) {
        for (const Row& row : rows) std::fprintf(out, "%s\n", RowJson(row).c_str());
        std::fflush(out);
        return;
    }
    size_t itemWidth = 4, valueWidth = 5;
    for (const Row& row : rows) {
        itemWidth = std::max(itemWidth, row.item.size());
        if (row.errorCode == 0) valueWidth = std::max(valueWidth, row.value.size());
    }
    std::fprintf(out, "%-*s  %-*s  %-7s  %s\n", int(itemWidth), "ITEM", int(valueWidth), "VALUE", "QUALITY", "TIME");
    for (const Row& row : rows) {
        if (row.errorCode != 0) {
            std::fprintf(out, "%-*s  error %d: %s\n", int(itemWidth), row.item.c_str(), row.errorCode,
                         row.errorMessage.c_str());
            continue;
        }
        const std::string quality = row.quality >= 0 ? std::to_string(row.quality) : "-";
        std::fprintf(out, "%-*s  %-*s  %-7s  %s\n", int(itemWidth), row.item.c_str(), int(valueWidth),
                     row.value.c_str(), quality.c_str(), row.time.c_str());
    }
    std::fflush(out);
}

}  // namespace mira::cli
