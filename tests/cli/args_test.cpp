#include "cli/args.h"

#include <gtest/gtest.h>

#include <tuple>

namespace mira::cli {
namespace {

// A command line as typed, its words split at each space; '' stands for an empty word.
bool Parse(const std::string& line, Options* o, std::string* error) {
    std::vector<std::string> words;
    for (size_t at = 0, end = 0; !line.empty() && end != std::string::npos; at = end + 1) {
        end = line.find(' ', at);
        words.push_back(line.substr(at, end - at));
        if (words.back() == "''") words.back().clear();
    }
    std::vector<const char*> argv = {"mira"};
    for (const auto& w : words) argv.push_back(w.c_str());
    return ParseArgs(static_cast<int>(argv.size()), argv.data(), o, error);
}

TEST(Args, CommandsAndOperands) {
    const std::tuple<const char*, Command, size_t> rows[] = {
        {"read N7:0", Command::Read, 1}, {"write N7:0 W0=5 W1=-7", Command::Write, 3},
        {"write-item N7:0 W0 -5", Command::WriteItem, 3},  // a negative value, not an option
        {"poll N7:0 W0 --every 500ms --count 3", Command::Poll, 2}, {"listen", Command::Listen, 0},
        {"check N7:0 W5", Command::Check, 2}, {"check --address N7:W5", Command::Check, 0},
        {"sim --listen 4001", Command::Sim, 0}, {"ports", Command::Ports, 0},
        {"read -- -N7:0", Command::Read, 1}, {"read -h", Command::Help, 0}, {"--version", Command::Version, 0},
        {"-V", Command::Version, 0}, {"read -p=/dev/ttyS1 N7:0", Command::Read, 1},  // the short form's '='
        {"write-item N7:0 S0.4 \x01", Command::WriteItem, 3},  // a write-item value is no address
    };
    for (const auto& [line, command, operands] : rows) {
        SCOPED_TRACE(line);
        Options o;
        std::string error;
        ASSERT_TRUE(Parse(line, &o, &error)) << error;
        EXPECT_EQ(o.command, command);
        EXPECT_EQ(o.operands.size(), operands);
    }
}

TEST(Args, CommonOptionsLongShortAndEquals) {
    Options o;
    std::string error;
    ASSERT_TRUE(Parse("read -p /dev/ttyUSB0 -b 9600 -P even -d 7 -s 2 -o 2s --station=3 --dst 9 --bcc --model PLC5 "
                      "--trace - --json N7:0", &o, &error)) << error;
    EXPECT_EQ(std::tie(o.port, o.model, o.trace), std::make_tuple("/dev/ttyUSB0", "PLC5", "-"));
    EXPECT_EQ(std::tie(o.baud, o.parity, o.dataBits, o.stopBits, o.timeoutMs, o.station, o.dst),
              std::make_tuple(9600u, 2u, 7u, 2u, 2000u, 3u, 9u));
    EXPECT_FALSE(o.crc);
    EXPECT_TRUE(o.json);
    ASSERT_EQ(o.operands.size(), 1u);
}

TEST(Args, RefusedWithAMessage) {
    std::vector<std::string> rows = {
        // Operands, and address texts the driver would misread.
        "read", "write N7:0 =5", "write N7:0", "write-item N7:0 W0", "check N7:0 W5 W6",
        "check --address N7:W5 N7:0", "check", "sim extra", "--json", "read N7:\x01 W0",
        "write N7:0 W\xD9\xA3=5", "listen W0\t", "check --address N7:W\x7F",
        // Option values.
        "read N7:0 --baud fast", "read N7:0 --baud 0", "read N7:0 -P mark", "read N7:0 -d 6",
        "read N7:0 -s 3", "read N7:0 --station 255", "read N7:0 --dst 256", "read N7:0 -o 0",
        "read N7:0 -o 11min", "poll N7:0 --every 0s", "poll N7:0 --count 0", "read N7:0 -x",
        "read N7:0 --port ''", "sim --listen 70000", "read N7:0 --dst 99999999999"};
    rows.emplace_back("read N7:0");
    for (int i = 0; i < 4096; ++i) rows.back() += " W0";  // too many items
    for (const auto& row : rows) {
        Options o;
        std::string error;
        EXPECT_FALSE(Parse(row, &o, &error)) << row.substr(0, 40);
        EXPECT_FALSE(error.empty()) << row.substr(0, 40);
    }
}

TEST(Args, PlacementRepeatsAndConflicts) {
    // Accepted: the baud rate taken; refused: a fragment of the message.
    const std::tuple<const char*, uint32_t, const char*> rows[] = {
        {"--baud 9600 read N7:0", 9600, ""},          // before the command
        {"read N7:0 -b9600", 9600, ""},               // joined short form
        {"read -b 1200 N7:0 --baud=4800", 4800, ""},  // the last one counts
        {"read N7:0 --crc --bcc", 0, "--crc excludes --bcc"}, {"read N7:0 --json=1", 0, "--json takes no value"},
        {"read N7:0 --baud", 0, "--baud needs a value"},
        // Another command's option says whose it is.
        {"read N7:0 --every 1s", 0, "--every is an option of poll, not of read"},
        {"read N7:0 --count 2", 0, "--count is an option of poll and listen, not of read"},
        {"poll N7:0 --address N7:W0", 0, "--address is an option of check"}, {"read --pty", 0, "--pty is an option of sim"},
        {"read N7:0 --frob", 0, "unknown option --frob"}, {"frob N7:0", 0, "unknown command \"frob\""},
        {"write N7:0 W0", 0, "write: expected ITEM=VALUE"},
        // An option without its value never takes the next option or a '=' for it.
        {"read N7:0 -p --json", 0, "--port needs a value, got the option --json"},
        {"read -p -b 9600 N7:0", 0, "--port needs a value, got the option -b"}, {"read N7:0 -p=", 0, "--port needs a value"},
        {"read N7:0 --port ''", 0, "--port needs a value"},
        // A number without its unit.
        {"poll N7:0 --every 2", 0, "--every: a duration needs its unit, such as 2s or 2ms, got \"2\""},
        {"read N7:0 -o 5", 0, "--timeout: a duration needs its unit, such as 5s or 5ms"},
    };
    for (const auto& [line, baud, fragment] : rows) {
        SCOPED_TRACE(line);
        Options o;
        std::string error;
        ASSERT_EQ(Parse(line, &o, &error), baud != 0) << error;
        if (baud != 0) {
            EXPECT_EQ(o.baud, baud);
            EXPECT_EQ(o.operands.size(), 1u);
        } else {
            EXPECT_NE(error.find(fragment), std::string::npos) << error;
        }
    }
}

TEST(Args, Durations) {
    const std::pair<const char*, uint32_t> good[] = {
        {"500ms", 500}, {"2s", 2000}, {"1min", 60000}, {"86400s", 86400000}, {"1.5s", 1500}, {"0.25s", 250},
        {"1.5min", 90000}, {"2.125s", 2125}, {"0ms", 0}};
    for (const auto& [text, ms] : good) {
        uint32_t parsed = 0;
        EXPECT_TRUE(ParseDuration(text, &parsed)) << text;
        EXPECT_EQ(parsed, ms) << text;
    }
    // No unit, no digits, a fraction of a millisecond, more than a day.
    for (const char* text : {"", "ms", "500", "2", "1.5", "-1", "2 s", ".5s", "1.s", "1.5ms", "1.0001s", "2sec",
                             "86400001ms", "1441min", "86400.001s"}) {
        uint32_t parsed = 0;
        EXPECT_FALSE(ParseDuration(text, &parsed)) << text;
    }
}

}  // namespace
}  // namespace mira::cli
