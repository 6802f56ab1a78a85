// mira as a user runs it: against the built-in simulator, and against the simulator on a
// pseudo-terminal for what a real line does. The driver's own line faults are in tests/portkit.
#include <gtest/gtest.h>

#include <algorithm>
#include <nlohmann/json.hpp>
#include <sstream>
#include <tuple>

#include "../portkit/sim_peer.h"
#include "../support/programs.h"
#include "../support/typo_texts.h"

namespace {

namespace sim = mira::sim;
using namespace mira::test;  // NOLINT: the programs, files and waits of every end-to-end test
const sim::Options kCrc{.crc = true, .extraFiles = {}, .clockUs = {}};

// A line's words split at spaces; '' stands for an empty word.
std::vector<std::string> Words(const std::string& line) {
    std::vector<std::string> words;
    for (size_t at = 0, end; at < line.size(); at = end + 1) {
        end = std::min(line.find(' ', at), line.size());
        if (end > at) words.push_back(line.compare(at, end - at, "''") == 0 ? "" : line.substr(at, end - at));
    }
    return words;
}

// A running mira, its command line as typed, its lines with each time stamp as <time>.
class Mira : public Child {
public:
    explicit Mira(const std::string& command) : Child(Words(command)) {}
    bool Line(std::string* line, Clock::time_point end = Clock::now() + seconds(10)) {
        if (!Child::Line(line, end)) return false;
        *line = Untimed(*line);
        return true;
    }
    // Every remaining line, then the exit status (-1: hung, and killed).
    int Finish(std::vector<std::string>* lines = nullptr, milliseconds limit = seconds(20)) {
        const auto end = Clock::now() + limit;
        for (std::string line; Line(&line, end);)
            if (lines != nullptr) lines->push_back(line);
        const int status = Wait(std::chrono::duration_cast<milliseconds>(end - Clock::now()));
        if (status < 0) ADD_FAILURE() << "mira did not end";
        return status;
    }
    void Interrupt() const { Signal(SIGINT); }
};

int RunMira(const std::string& command, std::vector<std::string>* lines) { return Mira(command).Finish(lines); }

std::string Joined(const std::vector<std::string>& lines) {
    std::string all;
    for (const auto& l : lines) all += l + "\n";
    return all;
}

// One field of a JSON line as written there ("error/code" for a nested one); "<missing>" when not there.
std::string Field(const std::string& line, const std::string& key) {
    const auto json = nlohmann::json::parse(line, nullptr, false);
    const nlohmann::json::json_pointer at("/" + key);
    return json.is_object() && json.contains(at) ? json.at(at).dump() : "<missing>";
}

TEST(MiraAsAUser, TableAndJsonLinesCarryExactlyTheirFields) {
    const struct { std::string command; int status; std::vector<std::string> lines; } cases[] = {
        {"read N7:0 W0 W1 W2", 0, {"ITEM  VALUE  QUALITY  TIME", "W0    100    192      <time>",
                                   "W1    200    192      <time>", "W2    -300   192      <time>"}},
        {"read --json N7:0 W0", 0, {R"({"item":"W0","value":100,"quality":192,"time":"<time>"})"}},
        {"read --json F8:0 0", 0, {R"({"item":"0","value":3.14159,"quality":192,"time":"<time>"})"}},
        {"read --json ST9:0 S0.4", 0, {R"({"item":"S0.4","value":"MIRA","quality":192,"time":"<time>"})"}},
        {"write --json N7:40 W0=12 W1=-3", 0, {R"({"item":"W0","value":12,"quality":null,"time":"<time>"})",
                                               R"({"item":"W1","value":-3,"quality":null,"time":"<time>"})"}},
        // An address the driver refuses: every row carries the error; the request's fault, not the line's.
        {"read --json N7:0 F0/3", 2, {R"({"item":"F0/3","value":null,"quality":null,"time":"<time>","error":)"
                                      R"({"code":-34,"message":"bad or missing mnemonic or separator"}})"}},
    };
    for (const auto& [command, status, expected] : cases) {
        SCOPED_TRACE(command);
        std::vector<std::string> lines;
        ASSERT_EQ(RunMira(command, &lines), status);
        EXPECT_EQ(lines, expected);
        const bool json = command.find("--json") != std::string::npos;
        for (const auto& line : lines) EXPECT_TRUE(!json || nlohmann::json::accept(line)) << line;
    }
}

// A controller that drops duplicates, running on between runs: each run's first request
// would otherwise repeat the last run's (TNS 0) and be thrown away.
TEST(MiraAsAUser, RunAfterRunAgainstOneControllerEachGetsItsReply) {
    SimPeer peer(kCrc);
    ASSERT_EQ(peer.sim().Seed("N7:0=100\n"), 0);
    const std::tuple<const char*, const char*, const char*> runs[] = {
        {"read", "W0", "100"}, {"read", "W0", "100"}, {"write", "W0=7", "7"}, {"read", "W0", "7"}};
    for (const auto& [command, item, value] : runs) {
        SCOPED_TRACE(item);
        std::vector<std::string> lines;
        const std::string line = std::string(command) + " --port " + peer.port() + " -o 300ms --json N7:0 " + item;
        ASSERT_EQ(RunMira(line, &lines), 0);
        ASSERT_EQ(lines.size(), 1u);
        EXPECT_EQ(Field(lines[0], "value"), value) << lines[0];
    }
}

// Nothing on the far end: the read asked for is not sent into the first exchange's silence. A string
// read is read alone; into silence it fails as a word read does.
TEST(MiraAsAUser, ASilentLineGetsOneFrameAMessageAndAnExitCode) {
    const int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_TRUE(master >= 0 && ::grantpt(master) == 0 && ::unlockpt(master) == 0);
    for (const char* items : {"N7:0 W0", "ST9:0 S0.4"}) {
        SCOPED_TRACE(items);
        File trace;
        std::vector<std::string> lines;
        const std::string port = ::ptsname(master);
        EXPECT_EQ(RunMira("read --port " + port + " -o 300ms --trace " + trace.path + " " + items, &lines), 3);
        ASSERT_FALSE(lines.empty());
        EXPECT_NE(lines.back().find("no reply within the reply time-out"), std::string::npos) << lines.back();
        const std::string text = trace.Read();
        const size_t frame = text.find("Tx:10 02");  // exactly one frame sent
        EXPECT_TRUE(frame != std::string::npos && text.find("Tx:10 02", frame + 1) == std::string::npos) << text;
    }
    ::close(master);
}

// The controller's DLE NAKs answer both our frames and the line resets around them (the open's, the
// failed read's); only the first are refused frames. A healthy line's resets are no fault either.
TEST(MiraAsAUser, OnlyRefusedFramesCountAsRefusals) {
    SimPeer peer(kCrc);
    File trace;
    std::vector<std::string> lines;
    // With ten retransmissions, each after an ACK time-out (250 ms), the reply time-out (1 s) ends the
    // exchange first, with the explanation that counts the refusals.
    EXPECT_EQ(RunMira("read --port " + peer.port() + " --bcc --nak-retries 10 --trace " + trace.path + " N7:0 W0", &lines),
              4);
    // The last exchange runs from the first sending of its frame; each refusal there sends it again.
    std::vector<std::string> traced;
    std::istringstream text(trace.Read());
    for (std::string line; std::getline(text, line);) traced.push_back(line.substr(line.find(' ') + 1));
    const auto last = std::find_if(traced.rbegin(), traced.rend(), [](auto& l) { return l.rfind("Tx:10 02", 0) == 0; });
    ASSERT_NE(last, traced.rend());
    const auto first = std::find(traced.begin(), traced.end(), *last);
    const auto resent = std::count(first, traced.end(), "Portkit: DLE NAK; the frame again");
    ASSERT_GT(resent, 0);
    ASSERT_FALSE(lines.empty());
    EXPECT_NE(lines.back().find("refused " + std::to_string(resent) + " frame(s)"), std::string::npos) << lines.back();

    ASSERT_EQ(RunMira("poll --port " + peer.port() + " --count 1 N7:0 W0", &lines), 0);
    ASSERT_FALSE(lines.empty());
    for (const char* field : {" naksReceived 0,", " enqsSent 0,", " framesRefused 0,", " lineResets 4,"})
        EXPECT_NE(lines.back().find(field), std::string::npos) << field << " in " << lines.back();
}

// On Ctrl-C too: CtrlCEndsEveryWaitAtOnce.
TEST(MiraAsAUser, PollPrintsItsStatisticsOnceAtTheEnd) {
    std::vector<std::string> lines;
    ASSERT_EQ(RunMira("poll --every 10ms --count 3 N7:0 W0", &lines), 0);
    const std::string all = Joined(lines);
    EXPECT_NE(all.find("3 reads, 3 good, 0 failed"), std::string::npos) << all;
    EXPECT_NE(all.find("transaction time: min "), std::string::npos) << all;
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "ITEM  VALUE  QUALITY  TIME"), 1) << "one heading: " << all;
    // With --json every line is JSON: the rows on stdout, the statistics one object on stderr.
    lines.clear();
    ASSERT_EQ(RunMira("poll --json --every 10ms --count 2 N7:0 W0", &lines), 0);
    ASSERT_EQ(lines.size(), 3u);
    for (const auto& line : lines) EXPECT_TRUE(nlohmann::json::accept(line)) << line;
    EXPECT_EQ(Field(lines.back(), "reads") + Field(lines.back(), "good"), "22") << lines.back();
    EXPECT_EQ(Field(lines.back(), "link/lineResets"), "4") << lines.back();
}

TEST(MiraAsAUser, ListenPrintsAndAnswersAnUnsolicitedWrite) {
    SimPeer peer(kCrc);
    Mira mira("listen --port " + peer.port() + " --count 1 W0 W1");
    std::string line;
    ASSERT_TRUE(mira.Line(&line));
    EXPECT_EQ(line.rfind("listening on ", 0), 0u) << line;
    peer.sim().SendUnsolicitedTypedWrite(0, 7, 0x89, 5, 0, {11, 22});
    std::vector<std::string> lines;
    ASSERT_EQ(mira.Finish(&lines), 0);
    const std::vector<std::string> expected = {
        "unsolicited integer/0:7:5 (N7:5) from station 1", "ITEM              VALUE  QUALITY  TIME",
        "integer/0:7:5 W0  11     192      <time>", "integer/0:7:5 W1  22     192      <time>"};
    EXPECT_EQ(lines, expected);  // and answered: SimSendsWritesThatListenPrintsAndAnswers

    // Each item its own row and verdict: a word the message did not carry fails alone. A PLC-2
    // style write, as a PLC-5 sends, heard under the SLC 500 class gets a hint.
    const struct { const char* items; bool plc2; std::vector<std::string> fields; } messages[] = {
        {"0 W9 1", false, {R"("header":"N7:5")", R"("value":11)", R"("code":-39)", R"("value":22)"}},
        {"", true, {"is --model right? PLC-5 and PLC-2 controllers write as a PLC-2 does"}}};
    for (const auto& m : messages) {
        SCOPED_TRACE(m.items);
        Mira json("listen --json --trace - --port " + peer.port() + " --count 1 " + m.items);
        // The open is over once its four line resets are answered.
        for (int answers = 0; answers < 4 && json.Line(&line);) answers += line.find("Rx:10 ") != std::string::npos;
        if (m.plc2) peer.sim().SendUnsolicitedPlc2Write(0, 20, {11});
        else peer.sim().SendUnsolicitedTypedWrite(0, 7, 0x89, 5, 0, {11, 22});
        lines.clear();
        ASSERT_EQ(json.Finish(&lines), 0);
        const std::string all = Joined(lines);
        for (const std::string& field : m.fields) EXPECT_NE(all.find(field), std::string::npos) << field << " in " << all;
    }
}

// mira sim with sample tables, a seed file and a write every period, which mira listen prints
// and answers (W0 under a U: key, words signed); on Ctrl-C the counts and the dump.
TEST(MiraAsAUser, SimSendsWritesThatListenPrintsAndAnswers) {
    // The options of both, then sim's own; the seed; the value listen prints.
    const std::tuple<const char*, const char*, const char*, const char*> cases[] = {
        {"", "--unsolicited 1s N7:0 W0=5", "N7:9=123\nST9:1=\"Grüße\\t\\\"\"\n", "5"},
        {"--model plc2", "--unsolicited 1s U:3 W0=-5", "U:9=123\n", "-5"},
    };
    for (const auto& [both, own, seedText, value] : cases) {
        SCOPED_TRACE(value);
        const File seed(seedText), dump;
        Mira simulator("sim --pty --seed " + seed.path + " --dump " + dump.path + " " + both + " " + own);
        std::string line;
        ASSERT_TRUE(simulator.Line(&line));
        const std::string port = Words(line).back();
        std::vector<std::string> lines;
        ASSERT_EQ(RunMira("listen --port " + port + " --count 1 " + both, &lines), 0) << Joined(lines);
        ASSERT_FALSE(lines.empty());
        EXPECT_EQ(Words(lines.back()).at(2), value) << lines.back();
        if (*both == 0) {
            ASSERT_EQ(RunMira("read --port " + port + " --json N7:0 W0 W9", &lines), 0);
            EXPECT_EQ(Field(lines[lines.size() - 2], "value"), "100");  // the sample tables
            EXPECT_EQ(Field(lines.back(), "value"), "123");             // and the seed
            ASSERT_EQ(RunMira("read --port " + port + " --json ST9:1 S0.7", &lines), 0);
            EXPECT_EQ(Field(lines.back(), "value"), R"("Grüße\t\"")");  // UTF-8 in, one byte a character
        }
        simulator.Interrupt();
        lines.clear();
        ASSERT_EQ(simulator.Finish(&lines, seconds(5)), 0);
        ASSERT_FALSE(lines.empty());
        EXPECT_EQ(lines.back().rfind("counts: ", 0), 0u) << lines.back();
        EXPECT_EQ(lines.back().find(" 0 answered done"), std::string::npos) << lines.back();
        EXPECT_NE(lines.back().find(" 0 refused"), std::string::npos) << lines.back();
        EXPECT_NE(dump.Read().find("9=123\n"), std::string::npos) << dump.Read();
    }
}

// Ctrl-C at each moment a command waits: during the open's line resets on a silent line, in a
// reply wait, in poll's sleep, in listen. Each ends at once, poll with its statistics.
TEST(MiraAsAUser, CtrlCEndsEveryWaitAtOnce) {
    const int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_TRUE(master >= 0 && ::grantpt(master) == 0 && ::unlockpt(master) == 0);
    const std::string silent = ::ptsname(master);
    // The command, the line it waits after, its exit status and a line of what it prints then.
    const struct { std::string command, after; int status; const char* shown; } rows[] = {
        {"poll -p " + silent + " --trace - N7:0 W0", "Tx:10 05", 0, "0 reads, 0 good, 0 failed"},
        {"poll --json -p " + silent + " --trace - N7:0 W0", "Tx:10 05", 0, R"({"reads":0,"good":0,"failed":0,)"},
        {"read -p " + silent + " -o 10s --trace - N7:0 W0", "Tx:10 02", 130, "error 4102: ended by the host"},
        {"poll --every 10s N7:0 W0", "W0 ", 0, "1 reads, 1 good, 0 failed"},
        {"listen -p " + silent, "listening on ", 0, ""},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.command);
        Mira mira(row.command);
        std::string line;
        while (mira.Line(&line) && line.find(row.after) == std::string::npos) {
        }
        ASSERT_NE(line.find(row.after), std::string::npos);
        const auto start = Clock::now();
        mira.Interrupt();
        std::vector<std::string> lines;
        EXPECT_EQ(mira.Finish(&lines, seconds(5)), row.status);
        // Within 100 ms, and a pass of Portkit's receive thread (10 ms); 900 ms for the process to close
        // the port and end on a loaded machine under a sanitizer. Without it: 1.2 s of resets, 10 s or forever.
        EXPECT_LT(Clock::now() - start, milliseconds(100 + 10 + 900));
        EXPECT_NE(Joined(lines).find(row.shown), std::string::npos) << Joined(lines);
    }
    ::close(master);
}

// A station no controller answers to: the controller takes the frame (DLE ACK) and never answers.
// The failure takes the two exchanges' reply time-outs (the first may be a dropped duplicate) and
// line resets the controller answers at once, and says what to check.
TEST(MiraAsAUser, AWrongStationFailsInItsTimeOutWithAHint) {
    SimPeer peer(kCrc);
    std::vector<std::string> lines;
    const auto start = Clock::now();
    EXPECT_EQ(RunMira("read --port " + peer.port() + " --dst 5 -o 200ms N7:0 W0", &lines), 3);
    // Two time-outs of 200 ms, twelve answered resets of one 10 ms pass each, a second for the process
    // to start and end; twice for the load. It took 5.9 s when every reset waited 300 ms.
    EXPECT_LT(Clock::now() - start, milliseconds(bounds::kLoadFactor * (2 * 200 + 12 * 10 + 1000)));
    EXPECT_NE(Joined(lines).find("acknowledged the frame (DLE ACK) but never answered; is --dst right?"),
              std::string::npos) << Joined(lines);
}

// With --json every failure is also one JSON object with error on stdout, next to the message on stderr.
TEST(MiraProgram, EveryFailureIsAlsoAJsonError) {
    const int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_TRUE(master >= 0 && ::grantpt(master) == 0 && ::unlockpt(master) == 0);
    const struct { std::string command; int status; int code; const char* message; } rows[] = {
        {"read --json --port /dev/mira-no-such-port N7:0", 4, 4112, "cannot open /dev/mira-no-such-port: No such"},
        {"read --json N7:0 --every 1s", 2, -3, "--every is an option of poll"},
        {"read N7:0 -p --json", 2, -3, "--port needs a value, got the option --json"},
        {"write --json N7:0 W0=70000", 2, -3, "W0: expected a whole number from -32768 to 32767"},
        {"read --json --model FOO N7:0", 2, -3, "--model: one of"},
        {"read --json --trace /nonexistent-dir/t N7:0", 2, -3, "cannot write the trace"},
        {"scan --json -p " + std::string(::ptsname(master)) + " -b 19200 -P none --crc --station 1", 3, 4097,
         "no controller found"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.command);
        std::vector<std::string> lines;
        EXPECT_EQ(RunMira(row.command, &lines), row.status);
        const auto json = std::count_if(lines.begin(), lines.end(), [](auto& l) { return l.rfind('{', 0) == 0; });
        ASSERT_EQ(json, 1) << Joined(lines);
        const auto& object = *std::find_if(lines.begin(), lines.end(), [](auto& l) { return l.rfind('{', 0) == 0; });
        EXPECT_EQ(Field(object, "error/code"), std::to_string(row.code)) << object;
        EXPECT_NE(Field(object, "error/message").find(row.message), std::string::npos) << object;
    }
    ::close(master);
}

// mira sim --pty with options: its dump and its last line (the counts) once `use` had its port.
std::pair<std::string, std::string> SimAfter(const std::string& options, const std::function<void(std::string)>& use) {
    const File dump;
    Mira simulator("sim --pty --dump " + dump.path + options);
    std::string line;
    EXPECT_TRUE(simulator.Line(&line));
    use(Words(line).back());
    simulator.Interrupt();
    std::vector<std::string> lines;
    // A hang bound only: the simulator sees Ctrl-C within its 2 ms poll and writes a dozen lines;
    // a sanitizer build just started on a loaded machine has taken more than 5 s.
    EXPECT_EQ(simulator.Finish(&lines, seconds(30)), 0);
    return {dump.Read(), lines.empty() ? "" : lines.back()};
}

// The typo table through mira write against mira sim, a quarter of the rows each: every row is refused
// with its code before a frame reaches the line, mira check exits 1 on it, and the simulator's tables
// end as those of one nobody wrote to.
constexpr size_t kTypoShards = 4;
class TypoWrites : public ::testing::TestWithParam<size_t> {};

TEST_P(TypoWrites, AreRefusedBeforeTheLineAndCheckSaysSo) {
    using mira::test::TypoModel;
    for (const auto& [model, options] : {std::pair(TypoModel::Slc, ""), std::pair(TypoModel::Plc5Octal, " --model 5:1"),
                                         std::pair(TypoModel::Plc2, " --model plc2")}) {
        const auto [dump, counts] = SimAfter(options, [&, model = model, options = options](const std::string& port) {
            for (size_t k = GetParam(); k < std::size(mira::test::kTypos); k += kTypoShards) {
                const auto& t = mira::test::kTypos[k];
                const std::string texts = options + std::string(" ") + t.header + " " + t.item;
                if (t.model != model) continue;
                SCOPED_TRACE(texts);
                std::vector<std::string> lines;
                EXPECT_EQ(RunMira("write --json -p " + port + texts + "=1", &lines), 2);
                EXPECT_EQ(Field(lines.empty() ? "" : lines.back(), "error/code"), std::to_string(t.code));
                EXPECT_EQ(RunMira("check" + texts, &lines), 1);
            }
        });
        EXPECT_EQ(dump, SimAfter(options, [](const std::string&) {}).first);
        EXPECT_EQ(counts.rfind("counts: 0 frames received", 0), 0u) << counts;
    }
}

INSTANTIATE_TEST_SUITE_P(Shards, TypoWrites, ::testing::Range<size_t>(0, kTypoShards));

// mira sim writing every 10 ms to a host that never collects (poll): once the driver's 20 slots are taken,
// every further write is answered with STS 0x90, and sim counts it refused, not delivered.
// A dump that cannot be written at exit says why.
TEST(MiraAsAUser, SimCountsTheWritesAHostCouldNotBuffer) {
    Mira simulator("sim --pty --dump /dev/full --unsolicited 10ms N7:0 W0=5");
    std::string line;
    ASSERT_TRUE(simulator.Line(&line));
    std::vector<std::string> lines;
    ASSERT_EQ(RunMira("poll --port " + Words(line).back() + " --every 100ms --count 3 N7:0 W0", &lines), 0);
    simulator.Interrupt();
    lines.clear();
    EXPECT_EQ(simulator.Finish(&lines, seconds(5)), 4);
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines.back(), "mira sim: cannot write the tables to /dev/full: No space left on device");
    unsigned done = 1, refused = 0, busy = 0;
    const std::string& counts = lines[lines.size() - 2];
    ASSERT_EQ(std::sscanf(counts.c_str() + counts.rfind(';') + 1, " %*u writes of its own sent, %u answered done, "
                          "%u refused (%u with STS 0x90", &done, &refused, &busy), 3) << counts;
    EXPECT_TRUE(done == 0 && refused > 0 && busy == refused) << counts;
}

TEST(MiraProgram, ExitCodesAndMessages) {
    const std::tuple<const char*, int, const char*> rows[] = {
        // A missing device, a trace that cannot be written, --model and --every out of place, a value
        // that does not fit: EveryFailureIsAlsoAJsonError.
        {"--help", 0, "usage: mira"}, {"", 2, "no command"}, {"read N7:0 --port sim:plc9", 2, "plc9"}, {"read --port SIM:PLC5 N7:0 W0", 0, "100"},
        // Values that do not fit their item, and texts the driver would misread: refused before the open.
        {"write N7:0 B0=10000", 2, "0 to 9999"}, {"write F8:0 F0=1e39", 2, "single precision"},
        {"write-item ST9:0 S0.4 ABCDEFGHIJ", 2, "at most 4 characters"}, {"write-item B3:0 0/3 2", 2, "0 or 1"},
        {"read N7:0 ''", 2, "item \"\" is empty"}, {"read N7:0 W\x01", 2, "outside printable ASCII"},
        // Model and mode texts the driver would read as SLC 500 / Standard.
        {"read N7:0 --mode FOO", 2, "--mode: Standard or Nonstandard"},
        // A string read refused by a controller of another family.
        {"read --model plc5 ST9:0 S0.4", 5, "STS 0x10: illegal command or format; is --model right?"},
        // Which texts check changed, and which named nothing.
        {"check L19:0", 1, "N7:0       replaced by the default"},
        {"check U:0 40", 1, "40    0          replaced by the default"},
        {"check n7:0 w5", 0, "w5    W5         canonical form"}, {"check --address I:1.", 1, "replaced by the default"},
        {"check --address N7:F3", 1, "N7:W0      replaced by the default"},
        {"check --address T4:W0", 1, "T4:W0.DN   a read refuses it: error -34: bad or missing mnemonic"},
        {"check N7:4294967297", 1, "N7:2147483647  a read refuses it: error -39: range too large"},
        {"help addresses", 0, "127 words (W0 to W126 under one header), 62 floats"},
        {"read --help", 0, "HEADER [ITEM...]: N7:0 W0 W1"}, {"help frob", 2, "no help on \"frob\""},
        {"sim --unsolicited 1s X:0 W0=1", 2, "X:0 names no words"},
        {"sim --seed /nonexistent-dir/seed", 2, "cannot read /nonexistent-dir/seed: No such file or directory"},
        {"sim --pty --dump /nonexistent-dir/d.txt", 2, "--dump /nonexistent-dir/d.txt: No such file or directory"},
        // Every bad line, with its cause, before anything is served.
        {"sim --pty --seed SEED", 2, " line 2: F8:2: expected a finite number from -3.4"},
        {"sim --pty --seed SEED", 2, " line 4: ST9:0: character U+20AC is beyond U+00FF"},
        {"sim --unsolicited 1s N7:0 W0=1 W2=3", 2, "follow one another"},
        {"sim --unsolicited 1s N7:0 W0=70000", 2, "from -32768 to 32767, as write takes"},
        // What only an item write changes, refused before the open.
        {"write B3:0 0/3=1", 2, "0/3 is a bit, which a group write does not change: use write-item B3:0 0/3 1"},
        {"write T4:0 0.PRE=5", 2, "a timer, counter or control part, which a group write does not change: use write-item"},
        {"write ST9:0 S0.4=AB", 2, "S0.4 is a string, which a group write does not change: use write-item"},
        // A string without a length is read whole.
        {"read ST9:0 S0", 0, "S0    MIRA   192"}, {"read ST9:0", 0, "0     MIRA   192"},
        {"ports --help", 0, "--json: one JSON object per port"}, {"--version", 0, "mira " MIRA_VERSION "\n"},
    };
    const File seed("ST9:0=\"Grüße\"\nF8:2=1e40\nN7:0=1\nST9:0=\"\u20AC\"\n");
    for (const auto& [row, status, fragment] : rows) {
        std::string command = row;
        if (const size_t at = command.find("SEED"); at != std::string::npos) command.replace(at, 4, seed.path);
        SCOPED_TRACE(command);
        std::vector<std::string> lines;
        EXPECT_EQ(RunMira(command, &lines), status) << Joined(lines);
        EXPECT_NE(Joined(lines).find(fragment), std::string::npos) << Joined(lines);
    }
}


namespace scan {

// The words of a line after the first n.
std::string After(const std::string& line, size_t n) {
    std::string rest;
    const std::vector<std::string> words = Words(line);
    for (size_t i = n; i < words.size(); ++i) rest += (rest.empty() ? "" : " ") + words[i];
    return rest;
}

std::string WithPort(std::string text, const std::string& port) {
    for (size_t at; (at = text.find("PORT")) != std::string::npos;) text.replace(at, 4, port);
    return text;
}

// mira scan against mira sim on a pseudo-terminal at several settings, each found and identified;
// the command line it prints reads the simulator's sample word. The simulator hears only the
// settings it was given, so the scan finds exactly those. Finding 9600 baud, even parity, BCC is
// bounded by 10 s; on this design it takes the three garbled settings before it (milliseconds
// each) and four exchanges, well under a second.
TEST(MiraScan, FindsIdentifiesAndReachesTheSimulatorAtEachSetting) {
    const struct { const char* sim; const char* scan; const char* found; } rows[] = {
        {"-b 9600 -P even --bcc", "", "SLC 500 class, SLC 5/03, series C firmware release 3, by diagnostic status; "
         "station 1, 9600 baud, parity even, BCC: mira read -p PORT -b 9600 -P even --bcc --model SLC500 --dst 1 N7:0"},
        {"-b 2400 -P even --model plc2 --dst 3", "", "PLC-2 family, PLC-2/30, interface series A revision B, by "
         "diagnostic status; station 3, 2400 baud, parity even, CRC: mira read -p PORT -b 2400 -P even --crc "
         "--model PLC2 --dst 3 U:0 W0"},
        {"-b 57600 -P odd --bcc --dst 9", "-P odd --bcc --station 9", "SLC 500 class, SLC 5/03, series C firmware "
         "release 3, by diagnostic status; station 9, 57600 baud, parity odd, BCC: mira read -p PORT -b 57600 -P odd "
         "--bcc --model SLC500 --dst 9 N7:0"},
        {"-b 1200 --model plc5 --dst 0", "--json", R"({"port":"PORT","baud":1200,"parity":"none","check":"CRC",)"
         R"("station":0,"family":"PLC-5 family","model":"PLC5","processor":"PLC-5/40","series":"E","revision":"D",)"
         R"("seriesOf":"processor","identifiedBy":"diagnostic status","command":"mira read -p PORT -b 1200 -P none )"
         R"(--crc --model PLC5 --dst 0 N7:0"})"},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.sim);
        Mira simulator(std::string("sim --pty ") + r.sim);
        std::string line;
        ASSERT_TRUE(simulator.Line(&line));
        const std::string port = Words(line).back();
        std::vector<std::string> lines;
        const auto start = Clock::now();
        ASSERT_EQ(RunMira("scan -p " + port + " " + r.scan, &lines), 0) << Joined(lines);
        const auto took = std::chrono::duration_cast<milliseconds>(Clock::now() - start).count();
        std::printf("[ figure ] scan found %s in %lld ms\n", r.sim, static_cast<long long>(took));
        EXPECT_TRUE(std::string(r.sim) != "-b 9600 -P even --bcc" || took < 10000) << took;  // the bound; see above
        ASSERT_EQ(lines, std::vector<std::string>{WithPort(r.found, port)});
        const std::string found = lines[0][0] == '{' ? nlohmann::json::parse(lines[0])["command"].get<std::string>()
                                                     : lines[0].substr(lines[0].find("mira read"));
        ASSERT_EQ(RunMira(After(found, 1) + " --json", &lines), 0) << Joined(lines);
        EXPECT_EQ(Field(lines.back(), "quality"), "192") << lines.back();
        simulator.Interrupt();
        EXPECT_EQ(simulator.Finish(nullptr, seconds(5)), 0);
    }
}

// Nothing answers: every speed and parity's two DLE ENQs go unanswered, 4 characters + 50 ms, then
// + 150 ms, about 5.1 s for all 40 settings; the bound is 30 s. Noise, and the bound on the line's own
// clock: Scan.BadLinesEndTheSearchInTimeWithNothingFound.
TEST(MiraScan, SilenceFindsNothingInTimeAndSaysSo) {
    const int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_TRUE(master >= 0 && ::grantpt(master) == 0 && ::unlockpt(master) == 0);
    const std::string port = ::ptsname(master);
    std::vector<std::string> lines;
    const auto start = Clock::now();
    EXPECT_EQ(RunMira("scan -p " + port, &lines), 3);
    const auto took = std::chrono::duration_cast<milliseconds>(Clock::now() - start).count();
    std::printf("[ figure ] scan of a silent line ended in %lld ms\n", static_cast<long long>(took));
    EXPECT_LT(took, 30000);  // the bound; see above
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].rfind("mira scan: no controller found on " + port + ": the line was silent (40 of 40 settings in ",
                             0), 0u) << lines[0];
    ::close(master);
}

}  // namespace scan
}  // namespace
