// The planner: the dynamic program's cut against an exhaustive search, the
// limits of one read, and a plan of a configuration end to end.
#include <gtest/gtest.h>

#include <random>

#include "serve/faces.h"
#include "serve/planner.h"

namespace mira::serve {
namespace {

PlanTag Tag(int32_t first, int32_t width = 1, FileShape shape = {}) {
    PlanTag t;
    t.file = "N7:";
    t.first = first;
    t.last = first + width - 1;
    t.shape = shape;
    return t;
}

int64_t CutCost(const std::vector<PlanTag>& tags, Family family, const LineTiming& timing) {
    int64_t total = 0;
    for (const auto& group : CutFile(tags, family, timing)) {
        const int64_t cost = GroupCost(tags, group, family, timing);
        EXPECT_GE(cost, 0);
        total += cost;
    }
    return total;
}

TEST(Planner, CutEqualsExhaustiveSearchOnRandomFiles) {
    const FileShape kShapes[] = {{1, 127, 0, false}, {2, 62, 1, false}, {3, 41, 0, false}, {5, 41, 0, false}};
    const Family kFamilies[] = {Family::Slc500, Family::Plc5, Family::Plc2};
    std::mt19937 random(20261207);
    for (int round = 0; round < 300; ++round) {
        const FileShape shape = kShapes[round % 4];
        const Family family = kFamilies[round % 3];
        LineTiming timing;
        timing.baud = round % 2 ? 19200 : 1200;
        timing.turnaroundMs = static_cast<uint32_t>(random() % 20);
        timing.crc = round % 5 != 0;
        std::vector<PlanTag> tags;
        const int n = 1 + static_cast<int>(random() % 7);
        const int spread = 1 + static_cast<int>(random() % 300);  // some files wider than one read
        for (int i = 0; i < n; ++i)
            tags.push_back(Tag(static_cast<int32_t>(random() % spread), shape.wordsPerUnit == 1 ? 1 + random() % 2 : 1,
                               shape));
        SCOPED_TRACE("round " + std::to_string(round));
        EXPECT_EQ(CutCost(tags, family, timing), ExhaustiveCost(tags, family, timing));
    }
}

TEST(Planner, GapsAreReadThroughOnlyWhenCheaper) {
    LineTiming timing;  // 19200 baud, 10 bits, 5 ms: a transaction's fixed part is ~ 60 words of reply
    // elements: single ones, or with dense set, every element from 0 to that.
    const struct {
        const char* name;
        std::vector<int32_t> elements;
        FileShape shape;
        size_t groups;
        bool dense = false;
    } kCases[] = {
        {"near words share a read", {0, 5, 20}, {}, 1},
        {"a wide gap splits", {0, 1, 120}, {}, 2},
        {"127 words fit one read", {126}, {}, 1, true},
        {"128 words do not", {127}, {}, 2, true},
        {"62 floats fit one read", {61}, {2, 62, 1, false}, 1, true},
        {"63 do not", {62}, {2, 62, 1, false}, 2, true},
        {"41 timers fit one read", {40}, {3, 41, 0, false}, 1, true},
        {"42 do not", {41}, {3, 41, 0, false}, 2, true},
        {"strings one request each", {0, 1}, {1, 127, 0, true}, 2},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.name);
        std::vector<PlanTag> tags;
        for (int32_t e : c.elements)
            for (int32_t k = c.dense ? 0 : e; k <= e; ++k) tags.push_back(Tag(k, 1, c.shape));
        EXPECT_EQ(CutFile(tags, Family::Slc500, timing).size(), c.groups);
    }
}

// The message bytes of each family's read: the SLC 500 number fields grow
// from one byte to three at 255, the PLC-5 address text with its digits.
TEST(Planner, ReadsCostWhatEachFamilySends) {
    const struct {
        const char* name;
        Family family;
        const char* file;
        int32_t first, last;
        uint32_t request, reply;
    } kCases[] = {
        {"SLC 500, element 254", Family::Slc500, "N7:", 254, 254, 12, 8},
        {"SLC 500, element 255", Family::Slc500, "N7:", 255, 256, 14, 10},
        {"SLC 500, file 300", Family::Slc500, "N300:", 0, 0, 14, 8},
        {"SLC 500, input slot 1", Family::Slc500, "I:1.", 0, 3, 12, 14},
        {"PLC-5, N7:12", Family::Plc5, "N7:", 12, 14, 21, 16},
        {"PLC-2", Family::Plc2, "U:", 40, 49, 9, 26},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.name);
        PlanTag head = Tag(c.first);
        head.file = c.file;
        const Exchange e = ReadExchange(c.family, head, c.first, c.last);
        EXPECT_EQ(e.request, c.request);
        EXPECT_EQ(e.reply, c.reply);
    }
}

TEST(Planner, PlanOfAConfigurationReadsEachFileOfEachStationApart) {
    const char* text = R"([line]
baud = 9600
parity = "even"
[[scan]]
name = "fast"
every = "100ms"
[[tag]]
name = "a"
address = "N7:10 W2"
[[tag]]
name = "b"
address = "N7:14"
[[tag]]
name = "c"
address = "N7:14"
station = 2
[[tag]]
name = "d"
address = "N9:0"
[[tag]]
name = "s"
address = "ST9:1.10"
)";
    std::string problems;
    const auto config = ParseConfig(text, "mira.toml", AllFaces(), &problems);
    ASSERT_TRUE(config) << problems;
    const Plan plan = MakePlan(*config);
    ASSERT_EQ(plan.scans.size(), 1u);
    const struct {
        uint32_t station;
        const char* header;
        std::vector<std::string> items;
        uint32_t words;
    } kGroups[] = {
        {1, "N7:0", {"W12", "W14"}, 3}, {1, "N9:0", {"W0"}, 1}, {1, "ST9:0", {"S1.10"}, 6}, {2, "N7:0", {"W14"}, 1},
    };
    ASSERT_EQ(plan.scans[0].groups.size(), std::size(kGroups));
    int64_t sum = 0;
    for (size_t i = 0; i < std::size(kGroups); ++i) {
        SCOPED_TRACE(i);
        const ReadGroup& g = plan.scans[0].groups[i];
        EXPECT_EQ(g.station, kGroups[i].station);
        EXPECT_EQ(g.header, kGroups[i].header);
        EXPECT_EQ(g.items, kGroups[i].items);
        EXPECT_EQ(g.words, kGroups[i].words);
        sum += g.cost;
    }
    // 9600 baud, 8E1: 11 bits a character. The first read: a 12-byte request
    // and a 6 + 6-byte reply, each with 6 bytes of framing, two ACKs and 5 ms.
    EXPECT_EQ(plan.scans[0].groups[0].cost, (18 + 18 + 4) * 11 * 1000 + 5 * 9600);
    EXPECT_EQ(plan.scans[0].cost, sum);
    EXPECT_NE(PlanText(*config, plan).find("scan \"fast\" every 100 ms: 4 reads"), std::string::npos);
}

}  // namespace
}  // namespace mira::serve
