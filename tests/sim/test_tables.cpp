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

// Seed and dump files are UTF-8 within U+00FF; texts take \" \\ \t and \xNN. A dump seeds the same tables,
// on each family (a PLC-2's memory dumps as the U:n its seeds name).
TEST(SimTables, DumpSeedsTheSameTables) {
    const std::tuple<Family, const char*, const char*> rows[] = {
        {Family::Slc500,
         "N7:3=-5\nN7:4=0xFFFF\nF8:0=0.25\nF8:1=0.1\nF8:2=-3.40282347e+38\nT4:2.ACC=11\nO:1.3=4\nB3:2=1\n"
         "ST9:0=\"Grüße\"  # a comment after a text\nST9:1=\"a\\tb\\\"c\\\\d\\x01\\x7F\\x9F#\xC3\xBF\"\nST9:2=bare\n",
         "ST9:1=\"a\\tb\\\"c\\\\d\\x01\\x7F\\x9F#ÿ\"\n"},
        {Family::Plc5, "I:017=5\nT4:0.EX2=9\nST9:0=\"\\xE9t\xC3\xA9\"\n", "ST9:0=\"été\"\n"},
        {Family::Plc2, "U:9=123\nu:10=-1\n", "U:9=123\nU:10=-1\n"},
    };
    for (const auto& [family, seed, dumped] : rows) {
        SCOPED_TRACE(seed);
        Options o;
        o.family = family;
        if (family != Family::Plc2) o.extraFiles = {{"ST", 9, 3}};
        Simulator a(o);
        ASSERT_EQ(a.Seed(seed), 0);
        const std::string dump = a.Dump();
        EXPECT_NE(dump.find(dumped), std::string::npos) << dump;
        Simulator b(o);
        ASSERT_EQ(b.Seed(dump), 0) << dump;
        EXPECT_EQ(b.Dump(), dump);
    }
    Options o;
    o.extraFiles = {{"ST", 9, 1}};
    Simulator sim(o);
    ASSERT_EQ(sim.Seed("\xEF\xBB\xBFST9:0=\"Gr\xC3\xBC\xC3\x9F\x65\"\n"), 0);  // a byte-order mark is no address
    ExpectPeeks(sim, {{"ST9:0", "\"Grüße\""}});  // stored as five bytes, read back as UTF-8
}

// Every bad line is reported with its number and cause, the good ones are taken; what `mira write` refuses
// is refused. The rows are the seed's lines, each with its cause, or none for a line that is taken.
TEST(SimTables, EveryBadSeedLineHasItsCause) {
    const std::string word = ": expected a whole number from -32768 to 32767 (or 0x0000 to 0xFFFF)";
    const std::pair<std::string, std::string> rows[] = {
        {"N7:0=7", ""},
        {"F8:2=1e40", "F8:2: expected a finite number from -3.40282347e+38 to 3.40282347e+38 (single precision)"},
        {"N7:1=32768", "N7:1" + word}, {"N7:1=0x10000", "N7:1" + word}, {"no equals", "expected ADDRESS=VALUE"},
        {"T4:0.DN=0x1", "T4:0.DN: expected 0 or 1"},
        {"ST9:1=\"\xE2\x82\xAC\"", "ST9:1: character U+20AC is beyond U+00FF, the controller's 8-bit range"},
        {"ST9:1=\"Gr\xFC\xDF\x65\"", "ST9:1: byte 0xFC is not UTF-8 (seed files are UTF-8)"},
        {"ST9:1=\"\\q\"", "ST9:1: unknown escape \\q (a text takes \\\", \\\\, \\t and \\xNN)"},
        {"ST9:1=\"open", "ST9:1: no closing quote"}, {"ST9:1=\"a\"b", "ST9:1: text after the closing quote"},
        {"ST9:1=\"" + std::string(83, 'x') + "\"", "ST9:1: expected a text of at most 82 characters"},
        {"N7:1000=1", "\"N7:1000\" names no element this controller has"},
        {"Q7:0=1", "\"Q7:0\" is not an address (N7:0, B3:0/5, T4:0.PRE, F8:1, ST9:0)"}, {"N7:2=-32768", ""},
    };
    std::string seed, expected, reported;
    for (size_t i = 0; i < std::size(rows); ++i) {
        seed += rows[i].first + "\n";
        if (!rows[i].second.empty()) expected += std::to_string(i + 1) + " " + rows[i].second + "\n";
    }
    Options o;
    o.extraFiles = {{"ST", 9, 2}};
    Simulator sim(o);
    std::vector<SeedProblem> problems;
    EXPECT_EQ(sim.Seed(seed, &problems), 2);
    for (const SeedProblem& p : problems) reported += std::to_string(p.line) + " " + p.cause + "\n";
    EXPECT_EQ(reported, expected);
    ExpectPeeks(sim, {{"N7:0", "7"}, {"N7:2", "-32768"}, {"F8:2", "0"}, {"N7:1", "0"}});
}

}  // namespace
}  // namespace mira::sim::test
