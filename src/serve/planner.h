// Scan planning: the tags of each scan class read in as little line time as
// possible. Tags of one station and data-table file are cut into read groups
// by an exact dynamic program over their elements in order: a group reads
// the whole range from its first to its last element, gaps included, and
// costs one transaction; another group costs another. No group exceeds what
// one read carries; strings are read one request each.
//
// A transaction costs, in bit times at the line's baud and character frame
// (start bit, data bits, parity bit, stop bits): its request frame, its reply
// frame, the two DLE ACKs and the controller's turnaround. A frame is its
// message with DLE STX, DLE ETX and the BCC or CRC, counted without DLE
// stuffing, since which bytes need it is known only once the values are:
// every data byte of 0x10 sent adds one byte the plan does not count.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "serve/config.h"

namespace mira::serve {

// What one transaction costs on the line, in millibits (a thousandth of a
// bit time), so that sums and comparisons stay exact integers.
struct LineTiming {
    uint32_t baud = 19200;
    uint32_t bitsPerChar = 10;  // start + data + parity + stop
    uint32_t turnaroundMs = 5;
    bool crc = true;
    static LineTiming Of(const LineConfig& line);
    int64_t Frame(uint32_t messageBytes) const;          // the frame's bytes
    int64_t Cost(uint32_t requestBytes, uint32_t replyBytes) const;  // millibits
    double Seconds(int64_t cost) const;
};

// The controller families the request layouts differ by.
enum class Family { Slc500, Plc5, Plc2 };
Family FamilyOf(const std::string& model);
// Whether the line's model numbers I/O in octal (5:1).
bool OctalIo(const LineConfig& line);

// How a tag sits in its file, for planning: the units of a read range (words,
// floats or timer, counter and control elements) it needs, and what one
// read of that file carries.
struct FileShape {
    uint32_t wordsPerUnit = 1;
    int32_t capacity = 127;  // units in one read
    uint32_t extraUnits = 0; // units the driver reads past the last (SLC 500 floats)
    bool single = false;     // read alone: strings, ASCII files, octal I/O
};

// One tag as the planner sees it.
struct PlanTag {
    size_t tag = 0;      // index into Config::tags
    uint32_t station = 1;
    std::string file;    // the header with its element number taken off ("N7:", "I:1.")
    int32_t first = 0, last = 0;  // units of the read range
    FileShape shape;
    int32_t chars = 0;   // a string's length
    std::string itemPrefix, itemRest;  // the item text around its element number
};

// The read of one group: UDrvReadGroupStart(station, header, items).
struct ReadGroup {
    uint32_t station = 1;
    std::string header;               // names element 0 of the file (N7:0)
    std::vector<size_t> tags;         // indices into Config::tags, one per item
    std::vector<std::string> items;   // item texts under header
    int32_t first = 0, last = 0;      // units read
    uint32_t words = 0;               // words the reply carries
    uint32_t requestBytes = 0, replyBytes = 0;  // frames, without DLE stuffing
    int64_t cost = 0;                 // millibits
};

struct ScanPlan {
    std::string name;
    uint32_t everyMs = 0;
    std::vector<ReadGroup> groups;
    int64_t cost = 0;
    double lineSeconds = 0;
};

struct Plan {
    std::vector<ScanPlan> scans;
};

Plan MakePlan(const Config& config);

// The plan as `mira serve --plan` prints it.
std::string PlanText(const Config& config, const Plan& plan);

// ---- The pieces, for the tests and the benchmark ----

// How a tag of the configuration is planned.
PlanTag PlanTagOf(const TagInfo& tag, size_t index, Family family, bool octalIo);

// The request and reply message bytes of a read of units first..last.
struct Exchange {
    uint32_t request = 0, reply = 0, words = 0;
};
Exchange ReadExchange(Family family, const PlanTag& head, int32_t first, int32_t last);

// The cost of reading the tags `members` (indices into tags, all of one
// station and file) in one group, or -1 when one read cannot carry them.
int64_t GroupCost(const std::vector<PlanTag>& tags, const std::vector<size_t>& members, Family family,
                  const LineTiming& timing);

// The optimal cut of tags (one station and file) into groups: each group a
// list of indices into tags. The dynamic program runs over the tags sorted by
// their first unit; a group is a run of consecutive tags in that order.
std::vector<std::vector<size_t>> CutFile(const std::vector<PlanTag>& tags, Family family, const LineTiming& timing);

// The least cost over every partition of tags into groups, by exhaustion:
// what CutFile is measured against (tests, bench). Bell(n) partitions: keep
// n small. -1 when no partition can be read.
int64_t ExhaustiveCost(const std::vector<PlanTag>& tags, Family family, const LineTiming& timing);

}  // namespace mira::serve
