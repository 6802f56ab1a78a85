// The MQTT face against a real broker, fed by a fake line: what the end-to-end
// tests cannot reach (malformed and oversized payloads, writes refused, two
// stations, seq past 255, a broker that comes back, a stolen session, TLS).
#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <nlohmann/json.hpp>

#include "broker.h"
#include "fake_line.h"
#include "sparkplug_messages.h"
#include "serve/face.h"
#include "serve/mqtt/mqtt_face.h"
#include "serve/mqtt/sparkplug.h"

namespace mira::serve::mqtt {
namespace {

using test::Broker;
using test::Client;
using test::Message;
using test::Messages;
using namespace test::spb_messages;
using std::chrono::milliseconds;

TagInfo Tag(const std::string& name, TagKind kind, const std::string& item, bool writable, uint32_t station = 1) {
    TagInfo t;
    t.name = name;
    t.header = kind == TagKind::Float ? "F8:0" : kind == TagKind::String ? "ST9:0" : "N7:0";
    t.item = item;
    t.kind = kind;
    t.chars = kind == TagKind::String ? 82 : 0;
    t.writable = writable;
    t.station = station;
    return t;
}

// What a seeded controller holds: a word, a float, a bit, a string on
// station 1, a word on station 2.
std::vector<TagInfo> Tags() {
    return {Tag("tank/level", TagKind::Word, "W0", false),   Tag("tank/setpoint", TagKind::Word, "W1", true),
            Tag("flow", TagKind::Float, "F0", false),        Tag("pump/running", TagKind::Bit, "W2/5", true),
            Tag("recipe", TagKind::String, "S0.82", true),   Tag("far/count", TagKind::Word, "W0", true, 2)};
}

constexpr uint64_t kTime = 133000000000000000ULL;  // a FILETIME in 2022

TagStore::Reading Good(size_t tag, Value v) { return {tag, std::move(v), kQualityGood, kTime, 0, ""}; }

Settings BrokerSettings(const Broker& broker, Format format) {
    Settings s;
    s.enabled = true;
    s.host = "127.0.0.1";
    s.port = broker.port();
    s.clientId = "mira-test";
    s.format = format;
    s.prefix = "mira/test";
    s.group = "plant";
    s.edgeNode = "line1";
    return s;
}

// A store seeded with the values of Tags(), its fake line, and the face
// running as the gateway runs it.
struct Gateway {
    Gateway(const Broker& broker, Format format) : Gateway(BrokerSettings(broker, format)) {}
    explicit Gateway(const Settings& settings) : store(Tags(), {"fast"}), line(store) {
        store.SetLine({LineState::Up, {}});
        store.Update({Good(0, 100), Good(1, 200), Good(2, 3.5), Good(3, 1), Good(4, std::string("MIRA")), Good(5, -7)});
        auto f = std::make_unique<MqttFace>(settings, store);
        face = f.get();
        runner = std::make_unique<FaceRunner>(std::move(f), store);
        std::string why;
        EXPECT_TRUE(runner->Start(&why)) << why;
    }
    TagStore store;
    test::FakeLine line;
    MqttFace* face;
    std::unique_ptr<FaceRunner> runner;
};

const std::string kTags = "mira/test/tags/";

// The last message on a tag's topic (or another under it), as JSON.
nlohmann::json Latest(Client& c, const std::string& tag) { return test::Json(test::Last(c.All(), kTags + tag)); }

// Publishing, the deadband and writes that land: ServeMqtt.JsonTopicsAgainstTheSimulator.
TEST(MqttJson, FailedReadsAndRefusedWritesAreAnswered) {
    Broker broker;
    Gateway gw(broker, Format::Json);
    Client c(broker.port(), {"mira/test/#"});
    ASSERT_TRUE(c.WaitFor(kTags + "far/count", 1));
    // A failed read: quality 0 with the error, the last value kept.
    gw.store.Update({{1, {}, 0, 0, MIRA_PK_ERR_TIMEOUT, "no reply"}});
    ASSERT_TRUE(c.WaitFor(kTags + "tank/setpoint", 2));
    EXPECT_EQ(Latest(c, "tank/setpoint"), nlohmann::json::parse(R"({"quality": 0, "value": 200, "time": )"
                                                                R"("2022-06-18T04:26:40.000", "error": )"
                                                                R"({"code": 4097, "message": "no reply"}})"));

    // Writes: answered on result, good or bad, and the scans never stop.
    const struct {
        const char* name;
        const char* tag;
        std::string payload;
        bool ok;
        const char* outcome;
        const char* message;  // a part of it
    } kWrites[] = {
        {"a text", "recipe", R"("BATCH 7")", true, "written", ""},
        {"unknown tag", "no/such/tag", "1", false, "unknown_tag", "no tag"},
        {"wrong type", "tank/setpoint", R"("high")", false, "bad_value", "expected a whole number"},
        {"out of range", "tank/setpoint", "70000", false, "bad_value", "from -32768 to 32767"},
        {"malformed JSON", "tank/setpoint", "{\"value\": ", false, "bad_request", "expected a JSON value"},
        {"an object without value", "tank/setpoint", R"({"id": "x"})", false, "bad_value", "expected"},
        {"1 MiB", "tank/setpoint", std::string(1 << 20, '7'), false, "bad_request", "at most 65536"},
    };
    int n = 0;
    for (const auto& w : kWrites) {
        SCOPED_TRACE(w.name);
        const std::string result = kTags + w.tag + "/result";
        const size_t before = c.On(result).size();
        c.Publish(kTags + w.tag + "/set", w.payload);
        ASSERT_TRUE(c.WaitFor(result, before + 1));
        const nlohmann::json r = Latest(c, w.tag + std::string("/result"));
        EXPECT_EQ(r["ok"], w.ok);
        EXPECT_EQ(r["outcome"], w.outcome);
        EXPECT_NE(r["message"].get<std::string>().find(w.message), std::string::npos) << r;
        EXPECT_EQ(r["id"], nlohmann::json());
        n += w.ok;
        // A scan after each: the change still arrives.
        gw.store.Update({Good(2, 10.0 + n + before)});
    }
    EXPECT_EQ(gw.line.writes.load(), 1);
    EXPECT_EQ(Latest(c, "recipe")["value"], "BATCH 7");
    EXPECT_EQ(gw.face->counters().malformed.load(), 1u);
    EXPECT_EQ(gw.face->counters().oversized.load(), 1u);
    // /metrics shows them, and the connection.
    const FaceMetrics& shown = gw.store.Metrics();
    EXPECT_TRUE(test::Eventually([&] { return shown.Value("mira_mqtt_refused_total", {{"why", "oversized"}}) == 1; }));
    EXPECT_EQ(shown.Value("mira_mqtt_connected"), 1);

    // A clean stop leaves "offline".
    gw.runner->Stop();
    ASSERT_TRUE(c.WaitFor([](const Messages& m) { return m.back().payload == "offline"; }));
    EXPECT_EQ(shown.Value("mira_mqtt_connected"), 0);
    EXPECT_GT(shown.Value("mira_mqtt_published_total"), 8);
}

// The broker goes away and comes back empty: every tag's latest state is
// published once, not what changed meanwhile.
TEST(MqttJson, ABrokerThatComesBackGetsTheLatestStateOnce) {
    Broker broker;
    Gateway gw(broker, Format::Json);
    {
        Client c(broker.port(), {"mira/test/#"});
        ASSERT_TRUE(c.WaitFor(kTags + "far/count", 1));
    }
    broker.Stop();
    for (int32_t v = 0; v <= 50; ++v) gw.store.Update({Good(1, v), Good(5, -v)});
    ASSERT_TRUE(broker.Start());
    Client c(broker.port(), {"mira/test/#"});
    // The face tries again within 1 s, 2 s, 4 s of the loss.
    ASSERT_TRUE(c.WaitFor(kTags + "far/count", 1, milliseconds(20000)));
    EXPECT_EQ(c.On(kTags + "tank/setpoint").size(), 1u);
    EXPECT_EQ(Latest(c, "tank/setpoint")["value"], 50);
    EXPECT_EQ(Latest(c, "far/count")["value"], -50);
    EXPECT_EQ(c.On("mira/test/status").back().payload, "online");
}

// mqtts://: the broker's certificate is trusted through ca_file alone.
TEST(MqttJson, MqttsTrustsTheBrokerThroughCaFile) {
    const std::string dir = "/tmp/mira-tls-" + std::to_string(::getpid());
    const std::string key = "-newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2 ";
    const std::string make =
        "mkdir -p " + dir + " && cd " + dir + " && openssl req -x509 " + key + "-keyout ca.key -out ca.crt " +
        "-subj /CN=mira-test-ca && openssl req " + key + "-keyout server.key -out server.csr -subj /CN=127.0.0.1 " +
        "&& echo subjectAltName=IP:127.0.0.1 > san && openssl x509 -req -in server.csr -CA ca.crt -CAkey ca.key " +
        "-CAcreateserial -days 2 -extfile san -out server.crt && chmod 644 *";
    ASSERT_EQ(std::system(("(" + make + ") >/dev/null 2>&1").c_str()), 0);
    Broker broker("cafile " + dir + "/ca.crt\ncertfile " + dir + "/server.crt\nkeyfile " + dir + "/server.key\n");
    Settings s = BrokerSettings(broker, Format::Json);
    s.tls = true;
    s.caFile = dir + "/ca.crt";
    Gateway gw(s);
    EXPECT_TRUE(test::Eventually([&] { return gw.face->counters().connects.load() == 1; }));
    gw.runner->Stop();
    std::system(("rm -rf " + dir).c_str());
}

// ---- Sparkplug B -------------------------------------------------------------------

TEST(MqttSparkplug, BirthsDataDeathsAndCommands) {
    Broker broker;
    Client c(broker.port(), {"spBv1.0/#"});
    Gateway gw(broker, Format::Sparkplug);
    ASSERT_TRUE(c.WaitFor(kNode + "DBIRTH/line1/station2", 1));
    const spb::Payload nbirth = Got(c, "NBIRTH/line1");
    EXPECT_EQ(ValueOf(nbirth, "bdSeq"), spb::MetricValue(uint64_t{0}));
    EXPECT_EQ(ValueOf(nbirth, "Node Control/Rebirth"), spb::MetricValue(false));
    EXPECT_EQ(ValueOf(nbirth, "Line/State"), spb::MetricValue(std::string("up")));
    EXPECT_EQ(ValueOf(nbirth, "Line/Frames Sent"), spb::MetricValue(uint64_t{0}));

    // Each tag named in its station's DBIRTH with an alias and a time; their datatypes, and the
    // DDATA of a change alone: ServeMqtt.SparkplugAgainstTheSimulator.
    std::map<std::string, uint64_t> alias;
    for (const char* birth : {"DBIRTH/line1/station1", "DBIRTH/line1/station2"})
        for (const spb::Metric& m : Got(c, birth).metrics) {
            ASSERT_TRUE(m.name && m.alias && m.timestamp);
            alias[*m.name] = *m.alias;
        }
    EXPECT_EQ(alias.size(), 6u);
    EXPECT_EQ(ValueOf(Got(c, "DBIRTH/line1/station2"), "far/count"), spb::MetricValue(uint32_t(-7)));  // sign-extended

    // More than 256 messages wrap seq.
    for (size_t v = 0; v < 300; ++v) {
        gw.store.Update({Good(2, 0.5 * static_cast<double>(v))});
        ASSERT_TRUE(c.WaitFor(kNode + "DDATA/line1/station1", 1 + v));
    }

    // A lost line: DDEATH for both stations; back, DBIRTH once a station's
    // tags read again, with their fresh values.
    gw.store.SetLine({LineState::Lost, {}});
    ASSERT_TRUE(c.WaitFor(kNode + "DDEATH/line1/station2", 1));
    EXPECT_EQ(c.On(kNode + "DDEATH/line1/station1").size(), 1u);
    gw.store.Update({{5, {}, 0, 0, MIRA_PK_ERR_CLOSED, "line lost"}});
    gw.store.SetLine({LineState::Up, {}});
    ASSERT_TRUE(c.WaitFor(kNode + "DBIRTH/line1/station1", 2));
    EXPECT_EQ(c.On(kNode + "DBIRTH/line1/station2").size(), 1u);
    gw.store.Update({Good(5, 12)});
    ASSERT_TRUE(c.WaitFor(kNode + "DBIRTH/line1/station2", 2));
    EXPECT_EQ(ValueOf(Got(c, "DBIRTH/line1/station2", 1), "far/count"), spb::MetricValue(uint32_t{12}));

    // Commands: writes by alias or by name land; the rest is refused and counted.
    c.Publish(kNode + "DCMD/line1/station1", Command({Wants(std::nullopt, alias["tank/setpoint"], uint32_t(-5)),
                                                       Wants("pump/running", std::nullopt, false),
                                                       Wants("tank/level", std::nullopt, uint32_t{1}),
                                                       Wants("far/count", std::nullopt, uint32_t{1})}));
    c.Publish(kNode + "DCMD/line1/station1", "\xff\x01 not a payload");
    const Counters& counted = gw.face->counters();
    EXPECT_TRUE(test::Eventually([&] {
        // Not writable; another station's. And the payload that does not decode.
        return gw.line.writes.load() == 2 && counted.refusedCommands.load() == 2 && counted.malformed.load() == 1;
    }));
    EXPECT_EQ(gw.line.Written(), (std::vector<std::string>{"tank/setpoint=-5", "pump/running=false"}));

    // Rebirth: NBIRTH with the same bdSeq, then the DBIRTHs.
    c.Publish(kNode + "NCMD/line1", Command({Wants("Node Control/Rebirth", std::nullopt, true)}));
    ASSERT_TRUE(c.WaitFor(kNode + "DBIRTH/line1/station2", 3));
    EXPECT_EQ(ValueOf(Got(c, "NBIRTH/line1", 1), "bdSeq"), spb::MetricValue(uint64_t{0}));
    ExpectSeqInOrder(c.All());

    // The broker loses the connection (another client takes its id): the
    // will is the NDEATH of that bdSeq, and the next session's is one more.
    { Client thief(broker.port(), {}, "mira-test"); }
    ASSERT_TRUE(c.WaitFor(kNode + "NBIRTH/line1", 3));
    ASSERT_EQ(c.On(kNode + "NDEATH/line1").size(), 1u);
    EXPECT_FALSE(Got(c, "NDEATH/line1").seq);
    EXPECT_EQ(ValueOf(Got(c, "NDEATH/line1"), "bdSeq"), spb::MetricValue(uint64_t{0}));
    EXPECT_EQ(ValueOf(Got(c, "NBIRTH/line1", 2), "bdSeq"), spb::MetricValue(uint64_t{1}));
    // A clean stop publishes the NDEATH itself.
    gw.runner->Stop();
    ASSERT_TRUE(c.WaitFor(kNode + "NDEATH/line1", 2));
    EXPECT_EQ(ValueOf(Got(c, "NDEATH/line1", 1), "bdSeq"), spb::MetricValue(uint64_t{1}));
}

}  // namespace
}  // namespace mira::serve::mqtt
