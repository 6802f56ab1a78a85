#include <gtest/gtest.h>

#include "cli/args.h"

namespace mira::cli {
namespace {

bool Parse(std::vector<const char*> args, Options* o, std::string* error) {
    args.insert(args.begin(), "mira");
    return ParseArgs(static_cast<int>(args.size()), args.data(), o, error);
}

TEST(Args, CommandsAndOperands) {
    const struct { std::vector<const char*> args; bool ok; Command command; size_t operands; } rows[] = {
        {{"read", "N7:0", "W0", "W1"}, true, Command::Read, 3}, {{"read", "N7:0"}, true, Command::Read, 1},
        {{"read"}, false, Command::Read, 0}, {{"write", "N7:0", "W0=5", "W1=-7"}, true, Command::Write, 3},
        {{"write", "N7:0", "=5"}, false, Command::Write, 0}, {{"write", "N7:0"}, false, Command::Write, 0},
        {{"write-item", "N7:0", "W0", "-5"}, true, Command::WriteItem, 3},  // a negative value, not an option
        {{"write-item", "N7:0", "W0"}, false, Command::WriteItem, 0},
        {{"poll", "N7:0", "W0", "--every", "500ms", "--count", "3"}, true, Command::Poll, 2},
        {{"listen"}, true, Command::Listen, 0}, {{"check", "N7:0", "W5"}, true, Command::Check, 2},
        {{"check", "N7:0", "W5", "W6"}, false, Command::Check, 0},
        {{"check", "--address", "N7:W5"}, true, Command::Check, 0},
        {{"check", "--address", "N7:W5", "N7:0"}, false, Command::Check, 0},
        {{"check"}, false, Command::Check, 0}, {{"sim", "--listen", "4001"}, true, Command::Sim, 0},
        {{"sim", "extra"}, false, Command::Sim, 0}, {{"ports"}, true, Command::Ports, 0},
        {{}, false, Command::None, 0}, {{"--json"}, false, Command::None, 0},
        {{"read", "--", "-N7:0"}, true, Command::Read, 1}, {{"--help"}, true, Command::Help, 0},
        {{"read", "-h"}, true, Command::Help, 0}, {{"help"}, true, Command::Help, 0},
        // Address texts the driver would misread; a write-item value is no address.
        {{"read", "N7:0", ""}, false, Command::Read, 0}, {{"read", "N7:\x01", "W0"}, false, Command::Read, 0},
        {{"write", "N7:0", "W\xD9\xA3=5"}, false, Command::Write, 0},
        {{"listen", "W0\t"}, false, Command::Listen, 0},
        {{"check", "--address", "N7:W\x7F"}, false, Command::Check, 0},
        {{"write-item", "N7:0", "S0.4", "\x01"}, true, Command::WriteItem, 3},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.args.empty() ? "(none)" : row.args[0]);
        Options o;
        std::string error;
        ASSERT_EQ(Parse(row.args, &o, &error), row.ok) << error;
        if (!row.ok) {
            EXPECT_FALSE(error.empty());
            continue;
        }
        EXPECT_EQ(o.command, row.command);
        EXPECT_EQ(o.operands.size(), row.operands);
    }
}

TEST(Args, CommonOptionsLongShortAndEquals) {
    Options o;
    std::string error;
    ASSERT_TRUE(Parse({"read", "-p", "/dev/ttyUSB0", "-b", "9600", "-P", "even", "-d", "7", "-s", "2", "-o", "2s",
                       "--station=3", "--dst", "9", "--bcc", "--model", "PLC5", "--trace", "-", "--json", "N7:0"},
                      &o, &error))
        << error;
    EXPECT_EQ(o.port, "/dev/ttyUSB0");
    EXPECT_EQ(o.baud, 9600u);
    EXPECT_EQ(o.parity, 2u);
    EXPECT_EQ(o.dataBits, 7u);
    EXPECT_EQ(o.stopBits, 2u);
    EXPECT_EQ(o.timeoutMs, 2000u);
    EXPECT_EQ(o.station, 3u);
    EXPECT_EQ(o.dst, 9u);
    EXPECT_FALSE(o.crc);
    EXPECT_EQ(o.model, "PLC5");
    EXPECT_EQ(o.trace, "-");
    EXPECT_TRUE(o.json);
    ASSERT_EQ(o.operands.size(), 1u);
}

TEST(Args, BadOptionValuesAreRefused) {
    const std::vector<std::vector<const char*>> rows = {
        {"read", "N7:0", "--baud", "fast"},   {"read", "N7:0", "--baud", "0"},
        {"read", "N7:0", "-P", "mark"},       {"read", "N7:0", "-d", "6"},
        {"read", "N7:0", "-s", "3"},          {"read", "N7:0", "--station", "255"},
        {"read", "N7:0", "--dst", "256"},     {"read", "N7:0", "-o", "0"},
        {"read", "N7:0", "-o", "11min"},      {"read", "N7:0", "-o", "5h"},
        {"read", "N7:0", "--every", "0s"},    {"read", "N7:0", "--count", "0"},
        {"read", "N7:0", "--frob"},           {"read", "N7:0", "-x"},
        {"read", "N7:0", "--port", ""},       {"sim", "--listen", "70000"},
        {"read", "N7:0", "--dst", "99999999999"},
    };
    for (const auto& row : rows) {
        Options o;
        std::string error;
        EXPECT_FALSE(Parse(row, &o, &error)) << row[2];
        EXPECT_FALSE(error.empty());
    }
}

TEST(Args, PlacementRepeatsAndConflicts) {
    const struct {
        std::vector<const char*> args;
        bool ok;
        uint32_t baud;
        const char* error;  // a fragment of the message when refused
    } rows[] = {
        {{"--baud", "9600", "read", "N7:0"}, true, 9600, ""},            // before the command
        {{"read", "N7:0", "-b9600"}, true, 9600, ""},                     // joined short form
        {{"read", "-b", "1200", "N7:0", "--baud=4800"}, true, 4800, ""},  // the last one counts
        {{"read", "N7:0", "--crc", "--bcc"}, false, 0, "--crc excludes --bcc"},
        {{"read", "N7:0", "--json=1"}, false, 0, "--json takes no value"},
        {{"read", "N7:0", "--baud"}, false, 0, "--baud needs a value"},
        {{"read", "N7:0", "--every", "1s"}, false, 0, "unknown option --every"},  // poll's own
        {{"poll", "N7:0", "--address", "N7:W0"}, false, 0, "unknown option --address"},
        {{"frob", "N7:0"}, false, 0, "unknown command \"frob\""},
        {{"write", "N7:0", "W0"}, false, 0, "write: expected ITEM=VALUE"},
    };
    for (const auto& row : rows) {
        Options o;
        std::string error;
        ASSERT_EQ(Parse(row.args, &o, &error), row.ok) << row.args.back() << ": " << error;
        if (row.ok) {
            EXPECT_EQ(o.baud, row.baud);
            EXPECT_EQ(o.operands.size(), 1u);
        } else {
            EXPECT_NE(error.find(row.error), std::string::npos) << error;
        }
    }
}

TEST(Args, TooManyItems) {
    std::vector<const char*> args = {"read", "N7:0"};
    for (int i = 0; i < 4096; ++i) args.push_back("W0");
    Options o;
    std::string error;
    EXPECT_FALSE(Parse(args, &o, &error));
}

TEST(Args, Durations) {
    const struct {
        const char* text;
        bool ok;
        uint32_t ms;
    } rows[] = {{"500", true, 500},   {"500ms", true, 500},      {"2s", true, 2000}, {"1min", true, 60000},
                {"", false, 0},       {"ms", false, 0},          {"1.5s", false, 0}, {"-1", false, 0},
                {"2 s", false, 0},    {"86400001", false, 0},    {"1441min", false, 0},
                {"86400s", true, 86400000}};
    for (const auto& row : rows) {
        uint32_t ms = 0;
        EXPECT_EQ(ParseDuration(row.text, &ms), row.ok) << row.text;
        if (row.ok) {
            EXPECT_EQ(ms, row.ms) << row.text;
        }
    }
}

}  // namespace
}  // namespace mira::cli
