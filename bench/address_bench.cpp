// Address texts as a driver sheet holds them: 10 000 rows generated with a
// fixed seed, in the proportions a plant's tag list has (mostly integer words
// and bits, then timers, counters, floats, I/O, strings, status and control).
// Each benchmark walks the whole set, one call per row.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "address/parser.h"
#include "address/taken.h"
#include "mira/mira.h"
#include "setup/driver_state.h"

namespace mira::bench {
namespace {

constexpr size_t kRows = 10000;

struct Row {
    std::u16string station, header, item, full;
};

std::u16string Wide(const std::string& s) { return std::u16string(s.begin(), s.end()); }

std::vector<Row> SheetRows() {
    std::mt19937 random(20261207u);
    auto pick = [&](int n) { return static_cast<int>(random() % static_cast<uint32_t>(n)); };
    const char* timer[] = {"DN", "TT", "EN", "PRE", "ACC"};
    const char* counter[] = {"DN", "CU", "CD", "OV", "PRE", "ACC"};
    const char* control[] = {"DN", "EN", "ER", "LEN", "POS"};
    std::vector<Row> rows;
    rows.reserve(kRows);
    while (rows.size() < kRows) {
        const int roll = pick(100);
        const std::string station = std::to_string(1 + pick(8));
        std::string file, head, item, full;
        if (roll < 35) {  // integer words
            // File 8 is the float file; integer files beyond N7 start at 9.
            const int n = pick(4);
            file = "N" + std::to_string(n == 0 ? 7 : 8 + n);
            const std::string w = "W" + std::to_string(pick(256));
            head = file + ":0", item = w, full = file + ":" + w;
        } else if (roll < 50) {  // bits of integer and bit files
            file = pick(2) ? "B3" : "N7";
            const std::string w = "W" + std::to_string(pick(128)) + "/" + std::to_string(pick(16));
            head = file + ":0", item = w, full = file + ":" + w;
        } else if (roll < 62) {  // timers
            const std::string e = std::to_string(pick(100)) + "." + timer[pick(5)];
            head = "T4:0", item = e, full = "T4:W" + e;
        } else if (roll < 70) {  // counters
            const std::string e = std::to_string(pick(50)) + "." + counter[pick(6)];
            head = "C5:0", item = e, full = "C5:W" + e;
        } else if (roll < 80) {  // floats
            const std::string f = "F" + std::to_string(pick(128));
            head = "F8:0", item = f, full = "F8:" + f;
        } else if (roll < 90) {  // I/O image words and bits
            const std::string slot = std::to_string(pick(8));
            const std::string letter = pick(2) ? "I" : "O";
            const std::string w = pick(2) ? "W0" : "W0/" + std::to_string(pick(16));
            head = letter + ":" + slot + ".0", item = w, full = letter + ":" + slot + "." + w;
        } else if (roll < 95) {  // strings
            const std::string s = "S" + std::to_string(pick(50)) + ".82";
            head = "ST20:0", item = s, full = "ST20:" + s;
        } else if (roll < 98) {  // status words
            const std::string w = "W" + std::to_string(pick(64));
            head = "S:0", item = w, full = "S:" + w;
        } else {  // control elements
            const std::string e = std::to_string(pick(20)) + "." + control[pick(5)];
            head = "R6:0", item = e, full = "R6:W" + e;
        }
        rows.push_back({Wide(station), Wide(head), Wide(item), Wide(full)});
    }
    return rows;
}

const std::vector<Row>& Sheet() {
    static const std::vector<Row> rows = SheetRows();
    return rows;
}

void Slc500() {
    ResetDriverState();
    Driver.ModelClass = kClassSlc500;
}

// One header and item per sheet row through `parse`; `counter` is the share
// of rows it accepted.
template <class Parse>
void ParseRows(benchmark::State& state, const char* counter, Parse parse) {
    Slc500();
    const auto& rows = Sheet();
    size_t i = 0;
    int64_t good = 0;
    for (auto _ : state) {
        PlcAddress header{};
        ItemRequest item{};
        if (parse(rows[i], &header, &item)) ++good;
        benchmark::DoNotOptimize(item);
        if (++i == rows.size()) i = 0;
    }
    state.SetItemsProcessed(state.iterations());
    state.counters[counter] = 100.0 * static_cast<double>(good) / static_cast<double>(state.iterations());
}

void BM_ParseHeaderItem(benchmark::State& state) {
    ParseRows(state, "good_pct", [](const Row& r, PlcAddress* header, ItemRequest* item) {
        return ParseHeader(header, r.station.c_str(), r.header.c_str(), kClassSlc500).code == 0 &&
               ParseItem(header, item, r.item.c_str()).code == 0;
    });
}
BENCHMARK(BM_ParseHeaderItem);

// The same texts as the starts take them: the parse, then the rule that the
// parse accounted for every character and the address fits a request.
void BM_TakeHeaderItem(benchmark::State& state) {
    ParseRows(state, "taken_pct", [](const Row& r, PlcAddress* header, ItemRequest* item) {
        return TakeHeader(header, r.station.c_str(), r.header.c_str()).code == 0 &&
               TakeItem(header, item, r.item.c_str()).code == 0;
    });
}
BENCHMARK(BM_TakeHeaderItem);

void BM_ValidAddressEx(benchmark::State& state) {
    Slc500();
    const auto& rows = Sheet();
    size_t i = 0;
    int64_t good = 0;
    char16_t text[MIRA_CHECKED_TEXT_BUFFER];
    for (auto _ : state) {
        // The call rewrites its text, so each gets a fresh copy.
        const std::u16string& full = rows[i].full;
        full.copy(text, full.size());
        text[full.size()] = 0;
        const int32_t verdict = UDrvValidAddressEx(text);
        // The sheet holds canonical texts a read takes, so each should come
        // back as it was, with the verdict 0.
        good += full.compare(0, std::u16string::npos, text) == 0 && verdict == 0 ? 1 : 0;
        benchmark::DoNotOptimize(text);
        if (++i == rows.size()) i = 0;
    }
    state.SetItemsProcessed(state.iterations());
    state.counters["unchanged_pct"] = 100.0 * static_cast<double>(good) / static_cast<double>(state.iterations());
}
BENCHMARK(BM_ValidAddressEx);

void BM_CompareAddress(benchmark::State& state) {
    Slc500();
    const auto& rows = Sheet();
    size_t i = 0;
    int64_t same = 0;
    for (auto _ : state) {
        // Each row against the next one, and every eighth against itself.
        const Row& a = rows[i];
        const Row& b = (i % 8 == 0) ? a : rows[(i + 1) % rows.size()];
        same += UDrvCompareAddress(a.station.c_str(), a.full.c_str(), b.station.c_str(), b.full.c_str()) != 0;
        if (++i == rows.size()) i = 0;
    }
    state.SetItemsProcessed(state.iterations());
    state.counters["true_pct"] = 100.0 * static_cast<double>(same) / static_cast<double>(state.iterations());
}
BENCHMARK(BM_CompareAddress);

}  // namespace
}  // namespace mira::bench
