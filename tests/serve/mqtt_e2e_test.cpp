// mira serve publishing to a real broker: Debian's mosquitto on a free
// loopback port, mira sim seeded, mira serve between them, and clients of
// the broker that read what it publishes and write through it.
#include <gtest/gtest.h>

#include <map>
#include <nlohmann/json.hpp>

#include "broker.h"
#include "../support/programs.h"
#include "sparkplug_messages.h"

namespace {

using namespace mira::test;
using namespace mira::test::spb_messages;

// A step's bound (programs.h), and the face's reconnection after a broker
// that went away: 1 s, then 2 s and 4 s.
constexpr milliseconds kBack = kBound + milliseconds(7000);

const char* const kSeed = "N7:0=100\nN7:1=200\nF8:0=2.5\nB3:0=32\nST9:0=\"SEED\"\n";
const char* const kTags =
    "[[scan]]\nname = \"fast\"\nevery = \"100ms\"\n"
    "[[tag]]\nname = \"tank/level\"\naddress = \"N7:0\"\nwritable = true\ndeadband = 5\n"
    "[[tag]]\nname = \"tank/setpoint\"\naddress = \"N7:1\"\nwritable = true\n"
    "[[tag]]\nname = \"flow\"\naddress = \"F8:0\"\n"
    "[[tag]]\nname = \"pump\"\naddress = \"B3:0/5\"\nwritable = true\n"
    "[[tag]]\nname = \"recipe\"\naddress = \"ST9:0\"\n";

// mira serve of the seeded tags on `port` (a pseudo-terminal or
// socket://...), publishing to the broker as [mqtt] `more` says.
struct MqttServe {
    MqttServe(const std::string& port, const Broker& broker, const std::string& more)
        : config("[line]\nport = \"" + port + "\"\ntimeout = \"500ms\"\n" + kTags +
                 "[http]\nlisten = \"127.0.0.1:0\"\n[mqtt]\nurl = \"mqtt://127.0.0.1:" +
                 std::to_string(broker.port()) + "\"\nclient_id = \"e2e\"\n" + more) {}
    File config;
    Child serve{{"serve", config.path}};
};

TEST(ServeMqtt, JsonTopicsAgainstTheSimulator) {
    Broker broker;
    File seed(kSeed), dump;
    Child sim({"sim", "--pty", "--seed", seed.path, "--dump", dump.path, "--unsolicited", "500ms", "N7:9", "W0=5"});
    std::smatch pty;
    ASSERT_TRUE(sim.Expect(R"( on (/dev/\S+))", &pty));
    Client c(broker.port(), {"mira/e2e/#"});
    MqttServe g(pty[1], broker, "");
    const std::string tags = "mira/e2e/tags/";
    const std::pair<const char*, nlohmann::json> kSeeded[] = {
        {"tank/level", 100}, {"tank/setpoint", 200}, {"flow", 2.5}, {"pump", 1}, {"recipe", "SEED"}};
    // The simulator's first message went out before the line opened: its DLE ENQ may cost the
    // first scan its replies. The tags are all good again after the first message taken.
    ASSERT_TRUE(c.WaitFor("mira/e2e/unsolicited", 1, kBound));
    EXPECT_EQ(Json(c.On("mira/e2e/unsolicited")[0])["words"], nlohmann::json({5}));
    ASSERT_TRUE(c.WaitFor([&](const Messages& all) {
        return std::all_of(std::begin(kSeeded), std::end(kSeeded), [&](const auto& s) {
            return Json(Last(all, tags + s.first)).value("quality", 0) == 192;
        });
    }, kBound)) << g.serve.Output(milliseconds(100));
    for (const auto& [name, value] : kSeeded) EXPECT_EQ(Json(c.On(tags + name).back())["value"], value) << name;
    EXPECT_EQ(c.On("mira/e2e/status").at(0).payload, "online");

    // Writes through the broker land in the simulator and are answered;
    // what the next scans read again is not published again.
    const struct {
        const char* tag;
        const char* payload;
        const char* outcome;
        size_t published;  // the tag's messages it adds
    } kWrites[] = {
        {"tank/level", "103", "written", 0},  // inside its deadband
        {"tank/level", "106", "written", 1},
        {"tank/setpoint", R"({"value": 250, "id": "w1"})", "written", 1},
        {"flow", "1.5", "not_writable", 0},
    };
    std::map<std::string, size_t> published;
    for (const auto& w : kWrites) {
        SCOPED_TRACE(w.payload);
        const std::string result = tags + w.tag + "/result";
        const size_t before = c.On(result).size(), was = c.On(tags + w.tag).size();
        c.Publish(tags + w.tag + "/set", w.payload);
        ASSERT_TRUE(c.WaitFor(result, before + 1, kBound));
        EXPECT_EQ(Json(c.On(result).back())["outcome"], w.outcome);
        ASSERT_TRUE(c.WaitFor(tags + w.tag, was + w.published, kBound));
        published[w.tag] = was + w.published;
    }
    EXPECT_EQ(Json(c.On(tags + "tank/setpoint/result")[0])["id"], "w1");
    std::this_thread::sleep_for(milliseconds(1000));  // ten scans, which find nothing new
    for (const auto& [tag, n] : published) EXPECT_EQ(c.On(tags + tag).size(), n) << tag;
    EXPECT_EQ(Json(c.On(tags + "tank/setpoint").back())["value"], 250);

    // The broker goes away, and meanwhile the line too: once the broker is
    // back, every tag's final state is there, retained, at quality 0.
    broker.Stop();
    EXPECT_EQ(sim.Stop(SIGINT), 0);
    for (const char* landed : {"N7:0=106\n", "N7:1=250\n"}) EXPECT_NE(dump.Read().find(landed), std::string::npos) << landed;
    ASSERT_TRUE(broker.Start());
    Client late(broker.port(), {"mira/e2e/#"});
    ASSERT_TRUE(late.WaitFor([&](const Messages& all) { return Json(Last(all, tags + "tank/level")).value("quality", -1) == 0; }, kBack));
    Client later(broker.port(), {tags + "tank/level"});  // handed what the broker retained
    ASSERT_TRUE(later.WaitFor(tags + "tank/level", 1, kBound));
    EXPECT_TRUE(later.On(tags + "tank/level")[0].retain);
    EXPECT_EQ(Json(later.On(tags + "tank/level")[0])["value"], 106);
    EXPECT_EQ(Json(later.On(tags + "tank/level")[0])["quality"], 0);

    // Killed: the broker publishes the connection's will.
    g.serve.Stop(SIGKILL);
    ASSERT_TRUE(late.WaitFor([](const Messages& all) { return Last(all, "mira/e2e/status").payload == "offline"; }, kBound));
}

// The simulator on TCP here, so that the line can be lost and come back on
// the same port.
TEST(ServeMqtt, SparkplugAgainstTheSimulator) {
    Broker broker;
    File seed(kSeed), dump;
    const std::string tcp = std::to_string(FreePort());
    auto sim = std::make_unique<Child>(std::vector<std::string>{"sim", "--listen", tcp, "--seed", seed.path, "--dump", dump.path});
    ASSERT_TRUE(sim->Expect("on TCP port"));
    Client c(broker.port(), {"spBv1.0/#"});
    MqttServe g("socket://127.0.0.1:" + tcp, broker, "format = \"sparkplug\"\ngroup = \"plant\"\nedge_node = \"line1\"\n");
    const std::string device = "DBIRTH/line1/station1";
    ASSERT_TRUE(c.WaitFor(kNode + device, 1, kBound)) << g.serve.Output(milliseconds(100));
    EXPECT_EQ(c.All().at(0).topic, kNode + "NBIRTH/line1");
    const struct {
        const char* tag;
        uint32_t datatype;
        spb::MetricValue value;
    } kBirth[] = {
        {"tank/level", spb::kInt16, uint32_t{100}}, {"tank/setpoint", spb::kInt16, uint32_t{200}},
        {"flow", spb::kFloat, 2.5f}, {"pump", spb::kBoolean, true}, {"recipe", spb::kString, std::string("SEED")},
    };
    const spb::Payload birth = Got(c, device);
    ASSERT_EQ(birth.metrics.size(), std::size(kBirth));
    for (size_t i = 0; i < std::size(kBirth); ++i) {
        SCOPED_TRACE(kBirth[i].tag);
        EXPECT_EQ(birth.metrics[i].name, kBirth[i].tag);
        EXPECT_EQ(birth.metrics[i].datatype, kBirth[i].datatype);
        EXPECT_EQ(birth.metrics[i].value, kBirth[i].value);
    }

    // A DCMD by alias lands in the simulator; the DDATA carries it by alias.
    const uint64_t setpoint = *birth.metrics[1].alias;
    c.Publish(kNode + "DCMD/line1/station1", Command({Wants(std::nullopt, setpoint, uint32_t{250})}));
    const auto landed = [&](const Messages& all) {
        return std::any_of(all.begin(), all.end(), [&](const Message& m) {
            if (m.topic != kNode + "DDATA/line1/station1") return false;
            const spb::Payload p = Decoded(m);
            for (const spb::Metric& metric : p.metrics) EXPECT_FALSE(metric.name) << *metric.name;
            return p.metrics.size() == 1 && p.metrics[0].alias == setpoint &&
                   p.metrics[0].value == spb::MetricValue(uint32_t{250});
        });
    };
    ASSERT_TRUE(c.WaitFor(landed, kBound));

    // Rebirth, then a lost line (DDEATH) and its return (DBIRTH).
    c.Publish(kNode + "NCMD/line1", Command({Wants("Node Control/Rebirth", std::nullopt, true)}));
    ASSERT_TRUE(c.WaitFor(kNode + device, 2, kBound));
    EXPECT_EQ(sim->Stop(SIGINT), 0);
    EXPECT_NE(dump.Read().find("N7:1=250\n"), std::string::npos) << dump.Read();
    ASSERT_TRUE(c.WaitFor(kNode + "DDEATH/line1/station1", 1, kBound));
    sim = std::make_unique<Child>(std::vector<std::string>{"sim", "--listen", tcp, "--seed", seed.path});
    ASSERT_TRUE(sim->Expect("on TCP port"));
    // Born again; the simulator's seed read since (in the birth, or a DDATA
    // when the birth came between the line's return and that read).
    ASSERT_TRUE(c.WaitFor([&](const Messages& all) {
        size_t births = 0;
        spb::MetricValue now;
        for (const Message& m : all) {
            births += m.topic == kNode + device;
            if (births == 3 && m.topic.find("/station1") != std::string::npos && m.topic.find("CMD/") == std::string::npos)
                for (const spb::Metric& metric : Decoded(m).metrics)
                    if (metric.name == "tank/setpoint" || metric.alias == setpoint) now = metric.value;
        }
        return now == spb::MetricValue(uint32_t{200});
    }, kBound));

    // Killed: the will is the NDEATH of the NBIRTH's bdSeq.
    g.serve.Stop(SIGKILL);
    ASSERT_TRUE(c.WaitFor(kNode + "NDEATH/line1", 1, kBound));
    EXPECT_EQ(ValueOf(Got(c, "NDEATH/line1"), "bdSeq"), ValueOf(Got(c, "NBIRTH/line1"), "bdSeq"));
    ExpectSeqInOrder(c.All());
    EXPECT_EQ(sim->Stop(SIGINT), 0);
}

}  // namespace
