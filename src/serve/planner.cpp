#include "serve/planner.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <limits>
#include <map>
#include <tuple>

namespace mira::serve {
namespace {

// DLE STX before the message, DLE ETX and the check after it.
constexpr uint32_t kFrameOverhead = 4;
constexpr uint32_t kAckBytes = 2;  // DLE ACK
// The command header every message starts with: DST SRC CMD STS TNS TNS.
constexpr uint32_t kCommandHeader = 6;

std::string Upper(std::string text) {
    for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return text;
}

bool StartsWith(const std::string& text, const char* prefix) { return text.rfind(prefix, 0) == 0; }

// A letter file followed by its number: "T4:0" is a timer file, "TIMER/4:0"
// the same in the numeric form.
bool FileOf(const std::string& header, char letter, const char* word = nullptr) {
    return (header.size() > 1 && header[0] == letter && std::isdigit(static_cast<unsigned char>(header[1]))) ||
           (word != nullptr && StartsWith(header, word));
}

// An SLC 500 number field: one byte below 255, else 0xFF and two bytes.
uint32_t FieldBytes(int64_t n) { return n >= 0 && n < 255 ? 1 : 3; }

uint32_t Digits(int64_t n) { return static_cast<uint32_t>(std::to_string(n).size()); }

// The first number in a text, after its letters: 7 of "N7:", 1 of "I:1.".
int64_t FirstNumber(const std::string& text) {
    const size_t at = text.find_first_of("0123456789");
    if (at == std::string::npos) return 0;
    return std::atoll(text.c_str() + at);
}

}  // namespace

LineTiming LineTiming::Of(const LineConfig& line) {
    LineTiming t;
    t.baud = line.baud;
    t.bitsPerChar = 1 + line.dataBits + (line.parity != 0 ? 1 : 0) + line.stopBits;
    t.turnaroundMs = line.turnaroundMs;
    t.crc = line.crc;
    return t;
}

int64_t LineTiming::Frame(uint32_t messageBytes) const { return messageBytes + kFrameOverhead + (crc ? 2 : 1); }

int64_t LineTiming::Cost(uint32_t requestBytes, uint32_t replyBytes) const {
    const int64_t bytes = Frame(requestBytes) + Frame(replyBytes) + 2 * kAckBytes;
    // A turnaround of t ms at b baud is t * b millibits.
    return bytes * bitsPerChar * 1000 + int64_t(turnaroundMs) * baud;
}

double LineTiming::Seconds(int64_t cost) const { return static_cast<double>(cost) / (1000.0 * baud); }

Family FamilyOf(const std::string& model) {
    const std::string m = Upper(model);
    if (StartsWith(m, "PLC5") || StartsWith(m, "5")) return Family::Plc5;
    if (StartsWith(m, "PLC2") || m == "2") return Family::Plc2;
    return Family::Slc500;
}

PlanTag PlanTagOf(const TagInfo& tag, size_t index, Family family, bool octalIo) {
    PlanTag p;
    p.tag = index;
    p.station = tag.station;
    p.chars = tag.chars;
    // The header's element is its last number: N7:10, I:1.2, S:5, U:40.
    size_t cut = tag.header.size();
    while (cut > 0 && std::isdigit(static_cast<unsigned char>(tag.header[cut - 1]))) --cut;
    p.file = tag.header.substr(0, cut);
    const int64_t base = cut < tag.header.size() ? std::atoll(tag.header.c_str() + cut) : 0;
    // The item: its type letter, its element offset, and the rest (a bit, a
    // mnemonic, a length).
    size_t at = 0;
    while (at < tag.item.size() && std::isalpha(static_cast<unsigned char>(tag.item[at]))) ++at;
    p.itemPrefix = tag.item.substr(0, at);
    size_t end = at + (at < tag.item.size() && tag.item[at] == '-' ? 1 : 0);
    while (end < tag.item.size() && std::isdigit(static_cast<unsigned char>(tag.item[end]))) ++end;
    const int64_t offset = end > at ? std::atoll(tag.item.c_str() + at) : 0;
    p.itemRest = tag.item.substr(end);
    const int64_t element = std::clamp<int64_t>(base + offset, std::numeric_limits<int32_t>::min() / 2,
                                                std::numeric_limits<int32_t>::max() / 2);
    p.first = p.last = static_cast<int32_t>(element);

    const std::string h = Upper(tag.header);
    FileShape& s = p.shape;
    if (FileOf(h, 'T', "TIMER/") || FileOf(h, 'C', "COUNTER/") || FileOf(h, 'R', "CONTROL/")) {
        s.wordsPerUnit = family == Family::Plc5 && FileOf(h, 'T', "TIMER/") ? 5 : 3;
        s.capacity = 41;
    } else if (FileOf(h, 'F')) {
        s.wordsPerUnit = 2;
        s.capacity = 62;
        // The PLC-2 and SLC 500 reads of a float file take one float more.
        s.extraUnits = family == Family::Plc5 ? 0 : 1;
    } else if (tag.driverType == 2) {
        p.last = p.first + 1;  // a float in a file of words
    }
    // Strings and ASCII files are read one item a request; octal I/O numbers
    // do not add up as the plan would add them.
    const bool octal = octalIo && (StartsWith(h, "I:") || StartsWith(h, "O:"));
    s.single = tag.driverType == 3 || FileOf(h, 'A') || StartsWith(h, "ST") || octal;
    return p;
}

Exchange ReadExchange(Family family, const PlanTag& head, int32_t first, int32_t last) {
    Exchange e;
    const FileShape& s = head.shape;
    const bool text = head.chars > 0;
    // A string: its length word and its characters, two to a word.
    e.words = text ? 1 + (static_cast<uint32_t>(head.chars) + 1) / 2
                   : (static_cast<uint32_t>(last - first) + 1 + s.extraUnits) * s.wordsPerUnit;
    switch (family) {
        case Family::Plc2:
            e.request = kCommandHeader + 3;  // byte address, byte count
            e.reply = kCommandHeader + 2 * e.words;
            break;
        case Family::Slc500: {
            // Function, byte count, file number, file type, element, slot.
            // The number of an I/O header is its slot; its file is 0 or 1.
            const bool io = StartsWith(head.file, "I:") || StartsWith(head.file, "O:");
            const int64_t number = FirstNumber(head.file);
            e.request = kCommandHeader + 2 + FieldBytes(io ? 0 : number) + 1 + FieldBytes(first) +
                        FieldBytes(io ? number : 0);
            e.reply = kCommandHeader + 2 * e.words;
            break;
        }
        case Family::Plc5:
            // Function, packet offset, total, the address text "$N7:12" with
            // its terminator, size; the reply's typed data descriptor before
            // the words (one byte more for floats and timers).
            e.request = kCommandHeader + 1 + 2 + 2 + 2 + static_cast<uint32_t>(head.file.size()) + Digits(first) + 1 + 2;
            e.reply = kCommandHeader + 4 + (s.wordsPerUnit == 2 || s.wordsPerUnit == 5 ? 1 : 0) + 2 * e.words;
            break;
    }
    return e;
}

int64_t GroupCost(const std::vector<PlanTag>& tags, const std::vector<size_t>& members, Family family,
                  const LineTiming& timing) {
    if (members.empty()) return 0;
    const PlanTag& head = tags[members.front()];
    int32_t first = head.first, last = head.last;
    for (size_t m : members) {
        if (tags[m].shape.single && members.size() > 1) return -1;
        first = std::min(first, tags[m].first);
        last = std::max(last, tags[m].last);
    }
    if (int64_t(last) - first + 1 > head.shape.capacity) return -1;
    const Exchange e = ReadExchange(family, head, first, last);
    return timing.Cost(e.request, e.reply);
}

std::vector<std::vector<size_t>> CutFile(const std::vector<PlanTag>& tags, Family family, const LineTiming& timing) {
    const size_t n = tags.size();
    std::vector<size_t> order(n);
    for (size_t i = 0; i < n; ++i) order[i] = i;
    std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) {
        return std::tie(tags[a].first, tags[a].last) < std::tie(tags[b].first, tags[b].last);
    });
    // best[j]: the least cost of the first j tags in order; from[j]: where
    // the last group of that cut begins.
    constexpr int64_t kNone = std::numeric_limits<int64_t>::max();
    std::vector<int64_t> best(n + 1, kNone);
    std::vector<size_t> from(n + 1, 0);
    best[0] = 0;
    for (size_t j = 1; j <= n; ++j) {
        std::vector<size_t> members;
        for (size_t i = j; i-- > 0;) {
            members.insert(members.begin(), order[i]);
            const int64_t cost = GroupCost(tags, members, family, timing);
            // Taking in earlier tags only widens the range, and a tag read
            // alone never joins: no longer run can be carried either.
            if (cost < 0) break;
            if (best[i] != kNone && best[i] + cost < best[j]) {
                best[j] = best[i] + cost;
                from[j] = i;
            }
        }
    }
    std::vector<std::vector<size_t>> groups;
    for (size_t j = n; j > 0; j = from[j]) groups.insert(groups.begin(), {order.begin() + from[j], order.begin() + j});
    return groups;
}

int64_t ExhaustiveCost(const std::vector<PlanTag>& tags, Family family, const LineTiming& timing) {
    // Every partition of the tags, as a restricted growth string: tag i goes
    // into one of the groups 0 .. (the highest so far) + 1.
    const size_t n = tags.size();
    if (n == 0) return 0;
    std::vector<size_t> group(n, 0);
    int64_t best = -1;
    while (true) {
        const size_t groups = *std::max_element(group.begin(), group.end()) + 1;
        int64_t total = 0;
        for (size_t g = 0; g < groups && total >= 0; ++g) {
            std::vector<size_t> members;
            for (size_t i = 0; i < n; ++i)
                if (group[i] == g) members.push_back(i);
            const int64_t cost = GroupCost(tags, members, family, timing);
            total = cost < 0 ? -1 : total + cost;
        }
        if (total >= 0 && (best < 0 || total < best)) best = total;
        // The next string: raise the last position that may grow, reset the rest.
        size_t i = n;
        while (i-- > 1) {
            const size_t highest = *std::max_element(group.begin(), group.begin() + static_cast<std::ptrdiff_t>(i));
            if (group[i] <= highest) {
                ++group[i];
                std::fill(group.begin() + static_cast<std::ptrdiff_t>(i) + 1, group.end(), 0);
                break;
            }
        }
        if (i == 0) return best;
    }
}

bool OctalIo(const LineConfig& line) {
    const std::string model = Upper(host::DefaultModel(line));
    return model == "5:1" || model == "PLC5 WITH I/O OCTAL";
}

Plan MakePlan(const Config& config) {
    const Family family = FamilyOf(host::DefaultModel(config.line));
    const bool octalIo = OctalIo(config.line);
    const LineTiming timing = LineTiming::Of(config.line);
    Plan plan;
    for (size_t s = 0; s < config.scans.size(); ++s) {
        ScanPlan scan;
        scan.name = config.scans[s].name;
        scan.everyMs = config.scans[s].everyMs;
        // The tags of one station and file, in the order of the file.
        std::map<std::tuple<uint32_t, std::string, size_t>, std::vector<PlanTag>> files;
        for (size_t t = 0; t < config.tags.size(); ++t) {
            if (config.tags[t].scan != s) continue;
            PlanTag p = PlanTagOf(config.tags[t], t, family, octalIo);
            files[{p.station, p.file, p.shape.single ? t + 1 : 0}].push_back(std::move(p));
        }
        for (const auto& [key, tags] : files)
            for (const std::vector<size_t>& members : CutFile(tags, family, timing)) {
                ReadGroup g;
                const PlanTag& head = tags[members.front()];
                g.station = head.station;
                g.first = head.first;
                g.last = head.last;
                for (size_t m : members) {
                    g.first = std::min(g.first, tags[m].first);
                    g.last = std::max(g.last, tags[m].last);
                }
                // One tag read alone keeps its texts; a group's items are
                // counted from element 0 of the file.
                g.header = head.shape.single ? config.tags[head.tag].header : head.file + "0";
                for (size_t m : members) {
                    g.tags.push_back(tags[m].tag);
                    g.items.push_back(head.shape.single ? config.tags[tags[m].tag].item
                                                        : tags[m].itemPrefix + std::to_string(tags[m].first) +
                                                              tags[m].itemRest);
                }
                const Exchange e = ReadExchange(family, head, g.first, g.last);
                g.words = e.words;
                g.requestBytes = static_cast<uint32_t>(timing.Frame(e.request));
                g.replyBytes = static_cast<uint32_t>(timing.Frame(e.reply));
                g.cost = timing.Cost(e.request, e.reply);
                scan.cost += g.cost;
                scan.groups.push_back(std::move(g));
            }
        scan.lineSeconds = timing.Seconds(scan.cost);
        plan.scans.push_back(std::move(scan));
    }
    return plan;
}

std::string PlanText(const Config& config, const Plan& plan) {
    const LineTiming timing = LineTiming::Of(config.line);
    std::string out;
    char buf[256];
    for (const ScanPlan& scan : plan.scans) {
        std::snprintf(buf, sizeof buf, "scan %s every %u ms: %zu read%s, %.1f ms of line time at %u baud\n",
                      Quoted(scan.name).c_str(), scan.everyMs, scan.groups.size(), scan.groups.size() == 1 ? "" : "s",
                      scan.lineSeconds * 1000, timing.baud);
        out += buf;
        std::vector<std::vector<std::string>> rows = {
            {"STATION", "HEADER", "ITEMS", "WORDS", "REQUEST", "REPLY", "MS", "TAGS"}};
        for (const ReadGroup& g : scan.groups) {
            std::string items, names;
            for (size_t k = 0; k < g.items.size(); ++k) {
                items += (k ? " " : "") + g.items[k];
                names += (k ? " " : "") + config.tags[g.tags[k]].name;
            }
            std::snprintf(buf, sizeof buf, "%.1f", timing.Seconds(g.cost) * 1000);
            rows.push_back({std::to_string(g.station), g.header, items, std::to_string(g.words),
                            std::to_string(g.requestBytes), std::to_string(g.replyBytes), buf, names});
        }
        std::vector<size_t> width(rows[0].size(), 0);
        for (const auto& row : rows)
            for (size_t c = 0; c < row.size(); ++c) width[c] = std::max(width[c], row[c].size());
        for (const auto& row : rows) {
            std::string line;
            for (size_t c = 0; c < row.size(); ++c)
                line += "  " + (c + 1 < row.size() ? row[c] + std::string(width[c] - row[c].size(), ' ') : row[c]);
            out += line + "\n";
        }
    }
    std::snprintf(buf, sizeof buf,
                  "Bytes are whole frames without DLE stuffing; a read costs its request and reply, two DLE ACKs "
                  "and a turnaround of %u ms, at %u bits a character.\n",
                  timing.turnaroundMs, timing.bitsPerChar);
    return out + buf;
}

}  // namespace mira::serve
