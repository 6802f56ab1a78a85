// The Modbus face as a SCADA system meets it: mira serve on a seeded mira
// sim, polled and written by Debian's mbpoll and pymodbus (modbus_client.py),
// with the line lost and back, and clients that misbehave.
#include <gtest/gtest.h>

#include <sstream>

#include "e2e_support.h"

namespace {

using namespace mira::serve::e2e;  // NOLINT: the helpers of every end-to-end test
using nlohmann::json;

constexpr const char* kPython = "/usr/bin/python3";
constexpr const char* kMbpoll = "/usr/bin/mbpoll";

// mira serve with its Modbus face on a free port, beside its HTTP one: the
// tags one array of inline tables ({name, address, modbus[, writable]}),
// then the line's and the scans' tables.
struct ModbusGateway {
    ModbusGateway(const std::string& tags, const std::string& tables, const std::string& order = "ABCD")
        : http("tag = [" + tags + "]\n" + tables + "[modbus]\nlisten = \"127.0.0.1:0\"\nfloat_order = \"" + order +
               "\"\n") {
        std::smatch m;
        if (http.port != 0 && http.serve.Expect(R"(Modbus TCP on 127\.0\.0\.1:(\d+))", &m)) port = std::stoi(m[1]);
    }
    // Until every tag was read at quality 192.
    bool Scanned() const {
        return WaitFor([&] {
            const json tags = http.Get("/api/tags");
            for (const json& t : tags)
                if (t.value("quality", 0) != 192) return false;
            return tags.is_array() && !tags.empty();
        });
    }
    Gateway http;
    int port = 0;
};

std::unique_ptr<Child> StartPymodbus(int port, const json& steps) {
    return std::make_unique<Child>(
        std::vector<std::string>{kPython, MODBUS_CLIENT_PATH, std::to_string(port), steps.dump()}, true);
}

// The answers of the steps, one a line, and the exit status last.
json Answers(Child& client) {
    const int status = client.Wait();
    json answers = json::array();
    std::istringstream lines(client.Output());
    for (std::string line; std::getline(lines, line);) answers.push_back(json::parse(line, nullptr, false));
    answers.push_back({{"status", status}});
    return answers;
}

json Pymodbus(int port, const json& steps) { return Answers(*StartPymodbus(port, steps)); }

json Read(const char* table, int address, int count = 1) {
    return {{"op", "read"}, {"table", table}, {"address", address}, {"count", count}};
}

// The simulator's tables once it ended, as its dump wrote them.
std::string StopAndDump(ModbusGateway& mb, Child& sim, const File& dump) {
    EXPECT_EQ(mb.http.serve.Stop(SIGTERM), 0);
    EXPECT_EQ(sim.Stop(SIGINT), 0);
    return dump.Read();
}

// Floats low word first (CDAB), which float_order must carry to the face; each order's registers are
// ModbusMap's rows.
TEST(ModbusServe, SeededValuesReadAndWritesLandInTheSimulator) {
    if (::access(kMbpoll, X_OK) != 0) GTEST_SKIP() << "mbpoll is not installed (make test installs it)";
    File seed("N7:0=123\nN7:1=-5\nN7:2=9\nN7:3=0\nF8:0=2.5\nB3:0=96\nST9:0=\"SEED\"\nT4:0.ACC=77\n");
    File dump;
    Child sim({"sim", "--pty", "--seed", seed.path, "--dump", dump.path});
    std::smatch m;
    ASSERT_TRUE(sim.Expect(R"( on (/dev/\S+))", &m));
    ModbusGateway mb(R"({name = "level", address = "N7:0", modbus = "ir:0"},
    {name = "elapsed", address = "T4:0.ACC", modbus = "ir:1"},
    {name = "setpoint", address = "N7:1", modbus = "hr:0", writable = true},
    {name = "flow", address = "F8:0", modbus = "hr:1", writable = true},
    {name = "locked", address = "N7:2", modbus = "hr:3"},
    {name = "recipe", address = "ST9:0", modbus = "hr:10", writable = true},
    {name = "pump", address = "B3:0/5", modbus = "co:0", writable = true},
    {name = "valve", address = "B3:0/4", modbus = "co:1", writable = true},
    {name = "alarm", address = "B3:0/6", modbus = "di:0"})",
                     "[line]\nport = \"" + std::string(m[1]) + "\"\ntimeout = \"500ms\"\n", "CDAB");
    ASSERT_NE(mb.port, 0) << mb.http.serve.Output();
    ASSERT_TRUE(mb.Scanned()) << mb.http.Get("/api/tags");

    const struct {
        const char* name;
        std::vector<std::string> args;
        const char* write;  // the value to write, or null to read
        int status;
        const char* shown;
    } kPolls[] = {
        {"input registers", {"-t", "3", "-r", "0", "-c", "2"}, nullptr, 0, "[0]: \t123\n[1]: \t77\n"},
        {"a float, low word first", {"-t", "4:float", "-r", "1"}, nullptr, 0, "[1]: \t2.5\n"},
        {"a discrete input", {"-t", "1", "-r", "0"}, nullptr, 0, "[0]: \t1\n"},
        {"an address without a tag", {"-t", "4", "-r", "200"}, nullptr, 1, "failed: Illegal data address"},
        {"a tag that is not writable", {"-t", "4", "-r", "3"}, "1", 1, "failed: Illegal data address"},
    };
    for (const auto& c : kPolls) {
        SCOPED_TRACE(c.name);
        std::vector<std::string> args = {kMbpoll, "-m", "tcp", "-p", std::to_string(mb.port), "-0", "-1", "-o", "10"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        args.push_back("127.0.0.1");
        if (c.write != nullptr) args.push_back(c.write);
        Child mbpoll(args, true);
        EXPECT_EQ(mbpoll.Wait(), c.status);
        const std::string shown = mbpoll.Output();
        EXPECT_NE(shown.find(c.shown), std::string::npos) << shown;
    }

    // ST9:0 holds 82 characters: a write covers its 41 registers, "NEW" padded with 0.
    std::vector<int> recipe(41, 0);
    recipe[0] = 0x4E45;
    recipe[1] = 0x5700;
    const struct {
        const char* name;
        json step;
        json answer;
    } kSteps[] = {
        {"a negative word", Read("hr", 0), {{"value", {65531}}}},
        {"a string", {{"op", "string"}, {"address", 10}, {"count", 4}}, {{"value", "SEED"}}},
        {"fc 6", {{"op", "write"}, {"address", 0}, {"values", {42}}}, {{"value", "written"}}},
        {"fc 16 over a word and a float", {{"op", "write"}, {"address", 0}, {"values", {7, 0, 0x40E8}}},
         {{"value", "written"}}},
        {"fc 5", {{"op", "coil"}, {"address", 1}, {"value", true}}, {{"value", "written"}}},
        {"fc 15", {{"op", "coils"}, {"address", 0}, {"values", {false, true}}}, {{"value", "written"}}},
        {"a string's first registers only", {{"op", "write"}, {"address", 10}, {"values", {0x4E45, 0x5700}}},
         {{"exception", 2}}},
        {"fc 16, a whole string", {{"op", "write"}, {"address", 10}, {"values", recipe}}, {{"value", "written"}}},
        {"read back", Read("hr", 0, 3), {{"value", {7, 0, 0x40E8}}}},
        {"a float read back", {{"op", "float"}, {"address", 1}, {"order", "CDAB"}}, {{"value", 7.25}}},
        {"bits read back", Read("co", 0, 2), {{"value", {0, 1}}}},
        {"more registers than a read takes", Read("hr", 0, 126), {{"exception", 3}}},
    };
    json steps = json::array();
    for (const auto& s : kSteps) steps.push_back(s.step);
    const json answers = Pymodbus(mb.port, steps);
    ASSERT_EQ(answers.size(), std::size(kSteps) + 1) << answers;
    EXPECT_EQ(answers.back(), json({{"status", 0}}));
    for (size_t i = 0; i < std::size(kSteps); ++i) {
        SCOPED_TRACE(kSteps[i].name);
        EXPECT_EQ(answers[i], kSteps[i].answer);
    }

    httplib::Client c("127.0.0.1", mb.http.port);
    const httplib::Result metrics = c.Get("/metrics");
    ASSERT_TRUE(metrics);
    for (const char* line : {"mira_modbus_requests_total{function=\"16\",result=\"ok\"} 2\n",
                             "mira_modbus_requests_total{function=\"3\",result=\"illegal_value\"} 1\n",
                             "# TYPE mira_modbus_clients gauge\n"})
        EXPECT_NE(metrics->body.find(line), std::string::npos) << line << " in\n" << metrics->body;

    const std::string tables = StopAndDump(mb, sim, dump);
    // Pump (bit 5) off, valve (bit 4) on, alarm (bit 6) as seeded.
    for (const char* landed : {"N7:1=7\n", "F8:0=7.25\n", "B3:0=80\n", "ST9:0=\"NEW\"\n"})
        EXPECT_NE(tables.find(landed), std::string::npos) << landed << " in\n" << tables;
}

// The simulator on TCP goes away and comes back on its port.
TEST(ModbusServe, ALostLineGivesGatewayTargetFailedUntilItIsBack) {
    File seed("N7:0=321\n");
    const std::string tcp = std::to_string(FreePort());
    auto sim = std::make_unique<Child>(std::vector<std::string>{"sim", "--listen", tcp, "--seed", seed.path});
    ASSERT_TRUE(sim->Expect("on TCP port"));
    ModbusGateway mb(R"({name = "level", address = "N7:0", modbus = "ir:0"},
                        {name = "trim", address = "N7:1", modbus = "hr:0", writable = true})",
                     "[line]\nport = \"socket://127.0.0.1:" + tcp + "\"\ntimeout = \"300ms\"\n"
                     "[[scan]]\nname = \"fast\"\nevery = \"100ms\"\n");
    ASSERT_NE(mb.port, 0) << mb.http.serve.Output();
    ASSERT_TRUE(mb.Scanned());
    const json read = json::array({Read("ir", 0)});
    EXPECT_EQ(Pymodbus(mb.port, read)[0], json({{"value", {321}}}));
    ASSERT_EQ(sim->Stop(SIGINT), 0);
    EXPECT_TRUE(WaitFor([&] { return Pymodbus(mb.port, read)[0] == json({{"exception", 11}}); }));
    EXPECT_EQ(Pymodbus(mb.port, {{{"op", "write"}, {"address", 0}, {"values", {5}}}})[0], json({{"exception", 11}}));
    sim = std::make_unique<Child>(std::vector<std::string>{"sim", "--listen", tcp, "--seed", seed.path});
    ASSERT_TRUE(sim->Expect("on TCP port"));
    EXPECT_TRUE(WaitFor([&] { return Pymodbus(mb.port, read)[0] == json({{"value", {321}}}); }));
    EXPECT_EQ(mb.http.serve.Stop(SIGTERM), 0);
}

// Two clients poll every 30 ms while a third sends bad frames and opens 100
// connections that send nothing: the pollers, the scans and a newcomer are
// all served.
TEST(ModbusServe, BadClientsStopNeitherTheScansNorTheOtherClients) {
    Child sim({"sim", "--pty"});
    std::smatch m;
    ASSERT_TRUE(sim.Expect(R"( on (/dev/\S+))", &m));
    ModbusGateway mb(R"({name = "level", address = "N7:0", modbus = "ir:0"})",
                     "[line]\nport = \"" + std::string(m[1]) + "\"\n[[scan]]\nname = \"fast\"\nevery = \"200ms\"\n");
    ASSERT_NE(mb.port, 0) << mb.http.serve.Output();
    ASSERT_TRUE(mb.Scanned());
    const auto scans = [&] { return mb.http.Get("/api/status")["scans"][0].value("scans", 0); };
    const int before = scans();
    const json poll = {{{"op", "poll"}, {"table", "ir"}, {"address", 0}, {"times", 100}, {"every", 0.03}}};
    auto first = StartPymodbus(mb.port, poll), second = StartPymodbus(mb.port, poll);
    const struct {
        const char* name;
        const char* hex;
        const char* answer;  // what came back before the gateway closed the connection
    } kBad[] = {
        {"a truncated header", "000100", ""},
        {"another protocol id", "000100070006010300000001", ""},
        {"a length past 260 bytes", "00020000010009100000", "000200000003099003"},
    };
    json steps = json::array();
    for (const auto& b : kBad) steps.push_back({{"op", "raw"}, {"hex", b.hex}});
    steps.push_back({{"op", "flood"}, {"count", 100}});
    steps.push_back({{"op", "sleep"}, {"seconds", 4}});  // holding the flood while a newcomer comes
    auto bad = StartPymodbus(mb.port, steps);
    ASSERT_TRUE(bad->Expect(R"(\{"value": 100\})")) << bad->Output();
    // Past the second after which a silent client gives its place up.
    std::this_thread::sleep_for(milliseconds(1500));
    EXPECT_EQ(Pymodbus(mb.port, json::array({Read("ir", 0)}))[0], json({{"value", {100}}}));
    const json answers = Answers(*bad);
    for (size_t i = 0; i < std::size(kBad); ++i) {
        SCOPED_TRACE(kBad[i].name);
        EXPECT_EQ(answers[i], json({{"value", kBad[i].answer}}));
    }
    EXPECT_EQ(Answers(*first), json({{{"value", 100}}, {{"status", 0}}}));
    EXPECT_EQ(Answers(*second), json({{{"value", 100}}, {{"status", 0}}}));
    EXPECT_GT(scans(), before);
    EXPECT_EQ(mb.http.serve.Stop(SIGTERM), 0);
}

}  // namespace
