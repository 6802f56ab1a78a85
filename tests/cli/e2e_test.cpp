// mira as a user runs it: against the built-in simulator, and against the simulator on a
// pseudo-terminal for what a real line does. The driver's own line faults are in tests/portkit.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "../portkit/sim_peer.h"

namespace {

namespace sim = mira::sim;
using mira::test::SimPeer;
namespace bounds = mira::test::bounds;
using Clock = std::chrono::steady_clock;

// A running mira: stdout and stderr through one pipe, read line by line.
class Mira {
public:
    explicit Mira(const std::vector<std::string>& args) {
        int fds[2];
        if (::pipe(fds) != 0) return;
        pid_ = ::fork();
        if (pid_ == 0) {
            ::dup2(fds[1], 1);
            ::dup2(fds[1], 2);
            ::close(fds[0]);
            ::close(fds[1]);
            std::vector<std::string> copy = args;
            copy.insert(copy.begin(), MIRA_CLI_PATH);
            std::vector<char*> argv;
            for (auto& a : copy) argv.push_back(a.data());
            argv.push_back(nullptr);
            ::execv(argv[0], argv.data());
            ::_exit(127);
        }
        ::close(fds[1]);
        out_ = fds[0];
    }
    ~Mira() {
        if (pid_ > 0 && status_ < 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
        if (out_ >= 0) ::close(out_);
    }

    // The next line without its line feed; false at the end or after limit.
    bool Line(std::string* line, std::chrono::milliseconds limit = std::chrono::seconds(10)) {
        const auto end = Clock::now() + limit;
        for (;;) {
            if (const size_t nl = buffer_.find('\n'); nl != std::string::npos) {
                *line = buffer_.substr(0, nl);
                buffer_.erase(0, nl + 1);
                return true;
            }
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count();
            pollfd p{out_, POLLIN, 0};
            if (left <= 0 || ::poll(&p, 1, static_cast<int>(left)) <= 0) return false;
            char chunk[512];
            const ssize_t n = ::read(out_, chunk, sizeof chunk);
            if (n <= 0) return false;
            buffer_.append(chunk, static_cast<size_t>(n));
        }
    }

    // Every remaining line, then the exit status (-1: killed or hung).
    int Finish(std::vector<std::string>* lines = nullptr, std::chrono::milliseconds limit = std::chrono::seconds(20)) {
        const auto end = Clock::now() + limit;
        std::string line;
        while (Clock::now() < end &&
               Line(&line, std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now())))
            if (lines != nullptr) lines->push_back(line);
        int status = 0;
        while (::waitpid(pid_, &status, WNOHANG) != pid_) {
            if (Clock::now() > end) {
                ADD_FAILURE() << "mira did not end";
                return -1;
            }
            ::usleep(5000);
        }
        status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        return status_;
    }

    void Interrupt() const { ::kill(pid_, SIGINT); }

private:
    pid_t pid_ = -1;
    int out_ = -1, status_ = -1;
    std::string buffer_;
};

int RunMira(const std::vector<std::string>& args, std::vector<std::string>* lines, long* tookMs = nullptr) {
    const auto start = Clock::now();
    Mira mira(args);
    const int status = mira.Finish(lines);
    if (tookMs != nullptr)
        *tookMs = static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
    return status;
}

std::vector<std::string> Words(const std::string& line) {
    std::istringstream in(line);
    std::vector<std::string> words;
    for (std::string w; in >> w;) words.push_back(w);
    return words;
}

sim::Options WithCrc() {
    sim::Options o;
    o.crc = true;
    return o;
}

std::string Joined(const std::vector<std::string>& lines) {
    std::string all;
    for (const auto& l : lines) all += l + "\n";
    return all;
}

bool IsTimeStamp(const std::string& t) {  // YYYY-MM-DDTHH:MM:SS.mmm
    const std::string shape = "dddd-dd-ddTdd:dd:dd.ddd";
    if (t.size() != shape.size()) return false;
    for (size_t i = 0; i < t.size(); ++i)
        if (shape[i] == 'd' ? !std::isdigit(static_cast<unsigned char>(t[i])) : t[i] != shape[i]) return false;
    return true;
}

// A JSON line as flat fields written as in the line; a nested key comes out as "error.code".
class JsonLine {
public:
    explicit JsonLine(const std::string& text) { ok_ = Flatten(nlohmann::json::parse(text, nullptr, false), ""); }
    bool ok() const { return ok_; }
    const std::map<std::string, std::string>& fields() const { return fields_; }
    std::string operator[](const std::string& key) const {
        const auto found = fields_.find(key);
        return found == fields_.end() ? "<missing>" : found->second;
    }

private:
    bool Flatten(const nlohmann::json& object, const std::string& prefix) {
        if (!object.is_object()) return false;
        for (const auto& [key, value] : object.items()) {
            // mira writes no arrays or booleans
            if (value.is_object() ? !Flatten(value, prefix + key + ".") : value.is_array() || value.is_boolean())
                return false;
            if (!value.is_object()) fields_[prefix + key] = value.dump();
        }
        return true;
    }

    bool ok_ = false;
    std::map<std::string, std::string> fields_;
};

TEST(MiraAsAUser, ReadAgainstTheBuiltInSimulatorPrintsATable) {
    std::vector<std::string> lines;
    ASSERT_EQ(RunMira({"read", "N7:0", "W0", "W1", "W2"}, &lines), 0);
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(Words(lines[0]), (std::vector<std::string>{"ITEM", "VALUE", "QUALITY", "TIME"}));
    const char* expected[][2] = {{"W0", "100"}, {"W1", "200"}, {"W2", "-300"}};
    for (size_t i = 0; i < 3; ++i) {
        const auto words = Words(lines[i + 1]);
        ASSERT_EQ(words.size(), 4u) << lines[i + 1];
        EXPECT_EQ(words[0], expected[i][0]);
        EXPECT_EQ(words[1], expected[i][1]);
        EXPECT_EQ(words[2], "192");
        EXPECT_TRUE(IsTimeStamp(words[3])) << words[3];
        // The columns line up under their headings.
        EXPECT_EQ(lines[i + 1].find(words[1]), lines[0].find("VALUE")) << lines[i + 1];
        EXPECT_EQ(lines[i + 1].find("192"), lines[0].find("QUALITY")) << lines[i + 1];
    }
}

TEST(MiraAsAUser, JsonLinesCarryExactlyTheirFields) {
    const struct {
        std::vector<std::string> args;
        int status;
        std::vector<std::map<std::string, std::string>> rows;  // the fields each line must hold
    } cases[] = {
        {{"read", "--json", "N7:0", "W0", "W2"},
         0,
         {{{"item", "\"W0\""}, {"value", "100"}, {"quality", "192"}},
          {{"item", "\"W2\""}, {"value", "-300"}, {"quality", "192"}}}},
        {{"read", "--json", "F8:0", "0"}, 0, {{{"item", "\"0\""}, {"value", "3.14159"}, {"quality", "192"}}}},
        {{"read", "--json", "ST9:0", "S0.4"}, 0, {{{"item", "\"S0.4\""}, {"value", "\"MIRA\""}, {"quality", "192"}}}},
        {{"write", "--json", "N7:40", "W0=12", "W1=-3"},
         0,
         {{{"item", "\"W0\""}, {"value", "12"}, {"quality", "null"}},
          {{"item", "\"W1\""}, {"value", "-3"}, {"quality", "null"}}}},
        // An address the driver refuses: every row carries the error.
        {{"read", "--json", "N7:0", "F0/3"}, 2, {{{"item", "\"F0/3\""}, {"value", "null"}, {"quality", "null"}}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args[2] + " " + c.args[3]);
        std::vector<std::string> lines;
        ASSERT_EQ(RunMira(c.args, &lines), c.status);
        ASSERT_EQ(lines.size(), c.rows.size());
        for (size_t i = 0; i < lines.size(); ++i) {
            const JsonLine json(lines[i]);
            ASSERT_TRUE(json.ok()) << lines[i];
            for (const auto& [key, value] : c.rows[i]) EXPECT_EQ(json[key], value) << key << " in " << lines[i];
            EXPECT_TRUE(IsTimeStamp(json["time"].substr(1, 23))) << lines[i];
            const size_t expectedFields = c.status == 0 ? 4 : 6;  // error.code and error.message
            EXPECT_EQ(json.fields().size(), expectedFields) << lines[i];
            if (c.status != 0) {
                EXPECT_NE(json["error.code"], "<missing>");
                EXPECT_GT(json["error.message"].size(), 2u);
            }
        }
    }
}

// A controller that drops duplicates, running on between runs: each run's first request
// would otherwise repeat the last run's (TNS 0) and be thrown away.
TEST(MiraAsAUser, RunAfterRunAgainstOneControllerEachGetsItsReply) {
    SimPeer peer(WithCrc());
    ASSERT_EQ(peer.sim().Seed("N7:0=100\n"), 0);
    const std::vector<std::vector<std::string>> runs = {
        {"read", "N7:0", "W0"}, {"read", "N7:0", "W0"}, {"write", "N7:0", "W0=7"}, {"read", "N7:0", "W0"}};
    const char* expected[] = {"100", "100", "7", "7"};
    for (size_t k = 0; k < runs.size(); ++k) {
        std::vector<std::string> args = runs[k];
        args.insert(args.begin() + 1, {"--port", peer.port(), "-o", "300ms", "--json"});
        std::vector<std::string> lines;
        ASSERT_EQ(RunMira(args, &lines), 0) << "run " << k;
        ASSERT_EQ(lines.size(), 1u);
        EXPECT_EQ(JsonLine(lines[0])["value"], expected[k]) << lines[0];
    }
}

TEST(MiraAsAUser, ExitCodesOfEachKindOfFailure) {
    using sim::FaultKind;
    // On every command; a good read on a line is in RunAfterRun.
    const struct { const char* what; sim::Fault fault; int status; const char* code; } rows[] = {
        {"silent controller", {.kind = FaultKind::NoReply, .times = 0}, 3, "4097"},
        {"NAK to every frame and its retransmissions", {.kind = FaultKind::Nak, .times = 0}, 4, "4101"},
        {"status error", {.kind = FaultKind::Status, .times = 0, .sts = 0x10}, 5, "256"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        SimPeer peer(WithCrc());
        peer.sim().InjectFault(row.fault);
        std::vector<std::string> lines;
        long took = 0;
        ASSERT_EQ(RunMira({"read", "--port", peer.port(), "-o", "300ms", "--json", "N7:0", "W0"}, &lines, &took),
                  row.status);
        ASSERT_EQ(lines.size(), 1u);
        const JsonLine json(lines[0]);
        ASSERT_TRUE(json.ok()) << lines[0];
        EXPECT_EQ(json["error.code"], row.code) << lines[0];
        // A silent controller looks like one that dropped the first exchange as a
        // duplicate, so the read is tried after it: two failed exchanges. Only a hang bound.
        EXPECT_LT(took, 9000);
    }
}

TEST(MiraAsAUser, BadLinesGetAMessageAndAnExitCodeAndNothingHangs) {
    {
        // Nothing on the far end: the read asked for is not sent into the first exchange's silence.
        const int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        ASSERT_GE(master, 0);
        ASSERT_EQ(::grantpt(master), 0);
        ASSERT_EQ(::unlockpt(master), 0);
        char trace[] = "/tmp/mira-trace-XXXXXX";
        const int fd = ::mkstemp(trace);
        ASSERT_GE(fd, 0);
        ::close(fd);
        // A string read is read alone; into silence it fails as a word read does.
        for (const char* item : {"W0", "S0.4"}) {
            std::vector<std::string> lines;
            const char* header = item[0] == 'W' ? "N7:0" : "ST9:0";
            EXPECT_EQ(RunMira({"read", "--port", ::ptsname(master), "-o", "300ms", "--trace", trace, header, item}, &lines),
                      3);
            ASSERT_FALSE(lines.empty());
            EXPECT_NE(lines.back().find("no reply within the reply time-out"), std::string::npos) << lines.back();
            std::ifstream in(trace);
            int frames = 0;
            for (std::string line; std::getline(in, line);) frames += line.find("Tx:10 02") != std::string::npos;
            EXPECT_EQ(frames, 1) << item;
            ::unlink(trace);
        }
        ::close(master);
    }
    {
        // The device goes away in the middle of a read with a long time-out.
        SimPeer peer(WithCrc());
        peer.sim().InjectFault({.kind = sim::FaultKind::NoReply});
        Mira mira({"read", "--port", peer.port(), "-o", "10s", "N7:0", "W0"});
        // The read's request has reached the controller: the open is over.
        const auto opened = Clock::now() + std::chrono::milliseconds(10 * bounds::kFourResetsMs);
        while (peer.sim().GetStats().framesReceived == 0 && Clock::now() < opened)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        ASSERT_GT(peer.sim().GetStats().framesReceived, 0u);
        peer.Vanish();
        const auto start = Clock::now();
        std::vector<std::string> lines;
        EXPECT_EQ(mira.Finish(&lines), 4);
        // Once gone, the channel is taken at once: only the four resets remain.
        EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(bounds::kLoadFactor * bounds::kFourResetsMs + 1000));
        EXPECT_NE(Joined(lines).find("vanished"), std::string::npos) << Joined(lines);
    }
}

TEST(MiraAsAUser, PollPrintsItsStatisticsAtTheEndAndOnCtrlC) {
    std::vector<std::string> lines;
    ASSERT_EQ(RunMira({"poll", "--every", "10ms", "--count", "3", "N7:0", "W0"}, &lines), 0);
    std::string all = Joined(lines);
    EXPECT_NE(all.find("3 reads, 3 good, 0 failed"), std::string::npos) << all;
    EXPECT_NE(all.find("transaction time: min "), std::string::npos) << all;

    Mira mira({"poll", "--every", "20ms", "N7:0", "W0"});
    std::string line;
    int rows = 0;
    while (rows < 3 && mira.Line(&line))
        if (line.rfind("W0 ", 0) == 0) ++rows;
    ASSERT_EQ(rows, 3);
    mira.Interrupt();
    lines.clear();
    EXPECT_EQ(mira.Finish(&lines, std::chrono::seconds(5)), 0);
    all = Joined(lines);
    EXPECT_NE(all.find(" good, 0 failed"), std::string::npos) << all;
    EXPECT_NE(all.find("mean"), std::string::npos) << all;
}

TEST(MiraAsAUser, ListenPrintsAndAnswersAnUnsolicitedWrite) {
    SimPeer peer(WithCrc());
    Mira mira({"listen", "--port", peer.port(), "--count", "1", "W0", "W1"});
    std::string line;
    ASSERT_TRUE(mira.Line(&line));
    EXPECT_EQ(line.rfind("listening on ", 0), 0u) << line;
    peer.sim().SendUnsolicitedTypedWrite(0, 7, 0x89, 5, 0, {11, 22});
    std::vector<std::string> lines;
    ASSERT_EQ(mira.Finish(&lines), 0);
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[0], "unsolicited integer/0:7:5 from station 1");
    EXPECT_EQ(Words(lines[2]).at(1), "W0");
    EXPECT_EQ(Words(lines[2]).at(2), "11");
    EXPECT_EQ(Words(lines[3]).at(2), "22");
    const auto end = Clock::now() + std::chrono::seconds(2);
    size_t answered = 0;
    while (answered == 0 && Clock::now() < end) {
        answered = peer.sim().TakeMasterReplies().size();
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    EXPECT_EQ(answered, 1u);

    // Ctrl-C ends a listen that has heard nothing.
    Mira idle({"listen", "--port", peer.port()});
    ASSERT_TRUE(idle.Line(&line));
    idle.Interrupt();
    EXPECT_EQ(idle.Finish(nullptr, std::chrono::seconds(5)), 0);
}

// mira sim with sample tables, a seed file and a write every period, which mira listen prints
// and answers (W0 under a U: key, words signed); on Ctrl-C the counts and the dump.
TEST(MiraAsAUser, SimSendsWritesThatListenPrintsAndAnswers) {
    const struct {
        std::vector<std::string> options;  // of both, then sim's own
        const char* seed;
        const char* value;
    } cases[] = {
        {{"--unsolicited", "1s", "N7:0", "W0=5"}, "N7:9=123\n", "5"},
        {{"--model", "plc2", "--unsolicited", "1s", "U:3", "W0=-5"}, "U:9=123\n", "-5"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.value);
        char seed[] = "/tmp/mira-seed-XXXXXX";
        const int fd = ::mkstemp(seed);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(::write(fd, c.seed, std::strlen(c.seed)), static_cast<ssize_t>(std::strlen(c.seed)));
        ::close(fd);
        const std::string dump = std::string(seed) + ".dump";
        std::vector<std::string> simArgs = {"sim", "--pty", "--seed", seed, "--dump", dump};
        simArgs.insert(simArgs.end(), c.options.begin(), c.options.end());
        Mira simulator(simArgs);
        std::string line;
        ASSERT_TRUE(simulator.Line(&line));
        const std::string port = Words(line).back();
        std::vector<std::string> listen = {"listen", "--port", port, "--count", "1"};
        if (c.options[0] == "--model") listen.insert(listen.end(), c.options.begin(), c.options.begin() + 2);
        std::vector<std::string> lines;
        ASSERT_EQ(RunMira(listen, &lines), 0);
        ASSERT_FALSE(lines.empty());
        EXPECT_EQ(Words(lines.back()).at(2), c.value) << lines.back();
        if (c.options[0] != "--model") {
            ASSERT_EQ(RunMira({"read", "--port", port, "--json", "N7:0", "W0", "W9"}, &lines), 0);
            EXPECT_EQ(JsonLine(lines[lines.size() - 2])["value"], "100");  // the sample tables
            EXPECT_EQ(JsonLine(lines.back())["value"], "123");           // and the seed
        }
        simulator.Interrupt();
        lines.clear();
        ASSERT_EQ(simulator.Finish(&lines, std::chrono::seconds(5)), 0);
        ASSERT_FALSE(lines.empty());
        EXPECT_EQ(lines.back().rfind("counts: ", 0), 0u) << lines.back();
        EXPECT_EQ(lines.back().find(" 0 replies to the controller's own commands"), std::string::npos) << lines.back();
        std::ifstream in(dump);
        std::stringstream tables;
        tables << in.rdbuf();
        EXPECT_NE(tables.str().find("9=123\n"), std::string::npos) << tables.str();
        ::unlink(seed);
        ::unlink(dump.c_str());
    }
}

}  // namespace
