// Seeding, inspection and text addresses of the data tables.
#include <gtest/gtest.h>

#include "sim/tables.h"
#include "sim_test_util.h"

namespace mira::sim::test {
namespace {

TEST(SimTables, SeedAndPeek) {
    Simulator sim(Options{});
    EXPECT_EQ(sim.Seed("# start\nN7:0=123\nF8:1=2.5\nST9:0=\"A#B\"\nB3:0/5=1\nB3/17=1\n  T4:0.PRE = 30\n"), 4)
        << "ST9 is not a standard file";
    EXPECT_EQ(sim.Seed("N7:0=123\nF8:1=2.5\nB3:0/5=1\nB3/17=1\n  T4:0.PRE = 30\nC5:1.DN=1\nR6:0.POS=2\n"), 0);
    ExpectPeeks(sim, {{"B3:0", "32"}, {"B3:1/1", "1"}, {"T4:0.PRE", "30"}, {"C5:1", "8192"}, {"R6:0.POS", "2"},
                      {"n7:0", "123"}});
}

TEST(SimTables, ExtraFilesAndStrings) {
    Options o;
    o.extraFiles = {{"ST", 9, 4}, {"A", 10, 8}, {"N", 20, 10}, {"X", 21, 10}, {"N", 22, 0}};
    Simulator sim(o);
    ASSERT_TRUE(sim.Poke("ST9:0", "\"ABC\""));
    ASSERT_TRUE(sim.Poke("ST9:1", "bare"));
    ASSERT_TRUE(sim.Poke("N20:9", "-1"));
    ExpectPeeks(sim, {{"ST9:0", "\"ABC\""}, {"ST9:1", "\"bare\""}});
    std::string v;
    EXPECT_FALSE(sim.Poke("ST9:2", std::string(83, 'x'))) << "longer than an element";
    EXPECT_FALSE(sim.Peek("N21:0", &v)) << "unknown letters make no file";
    EXPECT_FALSE(sim.Peek("N22:0", &v)) << "a file of no elements is not made";
}

TEST(SimTables, BadAddressesAndValuesAreRefused) {
    Simulator sim(Options{});
    const std::pair<const char*, const char*> rows[] = {
        // N7:1000 is beyond the file, N8 a float file.
        {"N7:1000", "1"}, {"N7:", "1"}, {"N7", "1"}, {"Q7:0", "1"}, {"N8:0", "1"}, {"N7:0/16", "1"}, {"B3:0/5", "2"},
        {"N7:0", "abc"}, {"N7:0", "70000"}, {"T4:0.XYZ", "1"}, {"T4:0.3", "1"}, {"F8:0", "1.5x"}, {"N7:0:1", "1"},
        {"N99999999:0", "1"}, {"", "1"}, {"B3/4096", "1"},
    };
    for (const auto& [address, value] : rows)
        EXPECT_FALSE(sim.Poke(address, value)) << address << "=" << value;
    EXPECT_NE(sim.Seed("N7:0=1\nnonsense\n"), 0);
}

TEST(SimTables, IoAddressing) {
    Simulator slc(Options{});
    ASSERT_TRUE(slc.Poke("I:1.2", "7"));
    ExpectPeeks(slc, {{"I1:1.2", "7"}});
    EXPECT_FALSE(slc.Poke("I:1.4", "1")) << "only four words a slot";

    Options o;
    o.family = Family::Plc5;
    Simulator plc5(o);
    ASSERT_TRUE(plc5.Poke("I:017", "5"));
    ExpectPeeks(plc5, {{"I:17/0", "1"}});
    EXPECT_FALSE(plc5.Poke("I:018", "5")) << "octal";
    ASSERT_TRUE(plc5.Poke("T4:0.EX2", "9")) << "five-word timers";
}

TEST(SimTables, DumpSeedsTheSameTables) {
    Options o;
    o.extraFiles = {{"ST", 9, 2}};
    Simulator a(o);
    ASSERT_EQ(a.Seed("N7:3=-5\nF8:0=0.25\nT4:2.ACC=11\nST9:1=\"hi\"\nO:1.3=4\nB3:2=1\n"), 0);
    const std::string dump = a.Dump();
    Simulator b(o);
    ASSERT_EQ(b.Seed(dump), 0) << dump;
    EXPECT_EQ(b.Dump(), dump);
    EXPECT_NE(dump.find("N7:3=-5"), std::string::npos);
    EXPECT_NE(dump.find("ST9:1=\"hi\""), std::string::npos);
}

}  // namespace
}  // namespace mira::sim::test
