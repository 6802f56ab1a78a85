// The MQTT face's parts without a broker: [mqtt] and deadband as the loader
// reads them, local FILETIMEs as UTC, what is worth publishing, and the
// Sparkplug B payload to the byte.
#include <gtest/gtest.h>
#include <time.h>

#include "served.h"
#include "serve/mqtt/json_topics.h"
#include "serve/mqtt/mqtt_face.h"
#include "serve/mqtt/session.h"
#include "serve/mqtt/sparkplug.h"
#include "serve/mqtt/utc.h"

namespace mira::serve::mqtt {
namespace {

TEST(MqttConfig, BadSectionsAndTagKeysGiveTheirPlaceAndCause) {
    const std::string tag = "[[tag]]\nname = \"a\"\naddress = \"N7:0\"\n";
    const struct {
        std::string text;
        const char* problems;
    } kCases[] = {
        {"[mqtt]\nqos = 1\n", "mira.toml:1:1: mqtt: missing key \"url\"\n"},
        {"[mqtt]\nurl = \"http://broker\"\n",
         "mira.toml:2:7: mqtt: url \"http://broker\": mqtt://HOST:PORT or mqtts://HOST:PORT, such as "
         "\"mqtt://127.0.0.1:1883\"\n"},
        {"[mqtt]\nurl = \"mqtt://broker:0\"\n", "mira.toml:2:7: mqtt: url \"mqtt://broker:0\": mqtt://HOST:PORT or "
                                                "mqtts://HOST:PORT, such as \"mqtt://127.0.0.1:1883\"\n"},
        {"[mqtt]\nurl = \"mqtts://broker\"\n",
         "mira.toml:1:1: mqtt: mqtts:// needs ca_file, the CA certificates that sign the broker's\n"},
        {"[mqtt]\nurl = \"mqtt://b\"\nca_file = \"/dev/null\"\n",
         "mira.toml:3:11: mqtt: ca_file \"/dev/null\": only with an mqtts:// url\n"},
        {"[mqtt]\nurl = \"mqtt://b\"\npassword_file = \"/dev/null\"\nclient_id = \"a b\"\n",
         "mira.toml:3:17: mqtt: password_file \"/dev/null\": only with a username\n"
         "mira.toml:4:13: mqtt: client_id \"a b\": 1 to 64 letters, digits and - _ . :\n"},
        {"[mqtt]\nurl = \"mqtt://b\"\nqos = 2\nformat = \"xml\"\n",
         "mira.toml:3:7: mqtt: qos 2: 0 or 1\nmira.toml:4:10: mqtt: format \"xml\": \"json\" or \"sparkplug\"\n"},
        {"[mqtt]\nurl = \"mqtt://b\"\nprefix = \"a/+/b\"\ngroup = \"g\"\n",
         "mira.toml:3:10: mqtt: prefix \"a/+/b\": topic levels separated by /, none empty, without + or #\n"
         "mira.toml:4:9: mqtt: group \"g\": only with format = \"sparkplug\"\n"},
        {"[mqtt]\nurl = \"mqtt://b\"\nformat = \"sparkplug\"\nedge_node = \"a/b\"\nprefix = \"p\"\n",
         "mira.toml:4:13: mqtt: edge_node \"a/b\": a text of 1 to 64 characters without / + #\n"
         "mira.toml:5:10: mqtt: prefix \"p\": only with format = \"json\"\n"},
        {tag + "deadband = -1\n[[tag]]\nname = \"b\"\naddress = \"N7:1\"\ndeadband = \"x\"\n",
         "mira.toml:4:12: tag \"a\": deadband -1: a number of 0 or more: a smaller change is not published\n"
         "mira.toml:8:12: tag \"b\": deadband \"x\": a number of 0 or more: a smaller change is not published\n"},
        {"[[tag]]\nname = \"s\"\naddress = \"ST9:0\"\ndeadband = 1\n",
         "mira.toml:4:12: tag \"s\": deadband 1: a string tag has no deadband\n"},
        {"[mqtt]\nurl = \"mqtt://b\"\n[[tag]]\nname = \"pump/set\"\naddress = \"N7:0\"\n",
         "mira.toml:4:8: tag \"pump/set\": name: its MQTT topic ends in /set, which [mqtt] keeps for writes and "
         "their answers\n"},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(ProblemsOf(c.text), c.problems);
    }
}

TEST(MqttConfig, DefaultsComeFromTheFileAndTheMachine) {
    char host[256] = {};
    ::gethostname(host, sizeof host - 1);
    const struct {
        const char* section;
        const char* clientId;  // "*" stands for the machine's name
        uint16_t port;
        const char* prefix;
        const char* edgeNode;
    } kCases[] = {
        {"url = \"mqtt://b\"", "mira-*-ttyUSB0", 1883, "mira/mira-*-ttyUSB0", "mira-*-ttyUSB0"},
        {"url = \"mqtt://[::1]:1884\"\nclient_id = \"gw\"", "gw", 1884, "mira/gw", "gw"},
        {"url = \"mqtt://b\"\nformat = \"sparkplug\"\nclient_id = \"gw\"\nedge_node = \"n\"", "gw", 1883, "mira/gw", "n"},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.section);
        std::string problems;
        const auto config =
            ParseConfig(std::string("[mqtt]\n") + c.section + "\n", "/etc/mira/ttyUSB0.toml", AllFaces(), &problems);
        ASSERT_TRUE(config) << problems;
        const Settings s = SettingsOf(config->faces.at("mqtt"), *config);
        auto expand = [&](std::string t) {
            if (const size_t star = t.find('*'); star != std::string::npos) t.replace(star, 1, host);
            return t;
        };
        EXPECT_TRUE(s.enabled);
        EXPECT_EQ(s.clientId, expand(c.clientId));
        EXPECT_EQ(s.port, c.port);
        EXPECT_EQ(s.prefix, expand(c.prefix));
        EXPECT_EQ(s.edgeNode, expand(c.edgeNode));
    }
}

// ---- Time ---------------------------------------------------------------------------

int64_t UtcMs(const char* text, int ms = 0) {
    tm t{};
    strptime(text, "%Y-%m-%dT%H:%M:%S", &t);
    return static_cast<int64_t>(timegm(&t)) * 1000 + ms;
}

// The same wall-clock text as a FILETIME, which is what the driver stamps in local time.
uint64_t FileTimeOfLocal(const char* text, int ms = 0) {
    return static_cast<uint64_t>(UtcMs(text, ms) * 10000 + 116444736000000000LL);
}

TEST(MqttTime, LocalFileTimesBecomeUtcAcrossDaylightSavingTime) {
    // A zone one hour ahead of UTC, two in summer; the clocks go forward at
    // 01:00 UTC on 2024-03-31 and back at 01:00 UTC on 2024-10-27.
    const int64_t spring = UtcMs("2024-03-31T01:00:00") / 1000, fall = UtcMs("2024-10-27T01:00:00") / 1000;
    const OffsetAt zone = [=](int64_t u) -> int64_t { return u >= spring && u < fall ? 7200 : 3600; };
    const struct {
        const char* name;
        const char* local;
        const char* now;  // UTC
        const char* utc;
    } kCases[] = {
        {"winter", "2024-01-15T12:00:00", "2024-01-15T11:00:01", "2024-01-15T11:00:00"},
        {"summer", "2024-07-01T12:00:00", "2024-07-01T10:00:01", "2024-07-01T10:00:00"},
        {"a summer value read now, in winter", "2024-10-26T23:00:00", "2024-11-02T00:00:00", "2024-10-26T21:00:00"},
        {"the hour named twice, its first pass", "2024-10-27T02:30:00", "2024-10-27T00:31:00", "2024-10-27T00:30:00"},
        {"the hour named twice, its second pass", "2024-10-27T02:30:00", "2024-10-27T01:31:00", "2024-10-27T01:30:00"},
        {"the hour skipped", "2024-03-31T02:30:00", "2024-03-31T02:00:00", "2024-03-31T01:30:00"},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(UnixMillisOfLocal(FileTimeOfLocal(c.local, 250), UtcMs(c.now), zone), UtcMs(c.utc, 250));
    }
    // The machine's own zone: a FILETIME made as the driver makes it (UTC
    // plus the offset in force) comes back as the instant.
    const time_t now = ::time(nullptr);
    tm local{};
    localtime_r(&now, &local);
    const uint64_t stamp = static_cast<uint64_t>((static_cast<int64_t>(now) + local.tm_gmtoff) * 10000000LL) +
                           116444736000000000ULL;
    EXPECT_EQ(UnixMillisOfLocal(stamp), static_cast<int64_t>(now) * 1000);
}

// ---- What is published --------------------------------------------------------------

TEST(MqttPublishing, OnlyChangesPastTheDeadbandOrOfQualityAreWorthIt) {
    const auto v = [](Value value, uint16_t quality = kQualityGood, int32_t code = 0) {
        TagValue t;
        t.value = std::move(value);
        t.quality = quality;
        t.errorCode = code;
        t.version = 1;  // read
        return t;
    };
    const struct {
        const char* name;
        TagValue last;  // quality 1: nothing published yet
        TagValue now;
        double deadband;
        bool worth;
    } kCases[] = {
        {"nothing published yet", v(5, 1), v(5), 0, true},
        {"never read", v(5, 1), TagValue{}, 0, false},
        {"the same word", v(5), v(5), 0, false},
        {"a word moved by one", v(5), v(6), 0, true},
        {"inside the deadband", v(100), v(104), 5, false},
        {"inside the deadband, down", v(100), v(96), 5, false},
        {"the deadband reached", v(100), v(105), 5, true},
        {"a float inside", v(1.0), v(1.05), 0.1, false},
        {"a float past", v(1.0), v(1.15), 0.1, true},
        {"quality lost, the value kept", v(5), v(5, 0, MIRA_PK_ERR_TIMEOUT), 5, true},
        {"another error", v(5, 0, MIRA_PK_ERR_TIMEOUT), v(5, 0, MIRA_PK_ERR_CLOSED), 5, true},
        {"the same text", v(std::string("A")), v(std::string("A")), 0, false},
        {"another text", v(std::string("A")), v(std::string("B")), 0, true},
        {"a first value", v(Value{}), v(0), 5, true},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.name);
        const Sent last = c.last.quality == 1 ? Sent{} : SentOf(c.last);
        EXPECT_EQ(WorthPublishing(c.now, last, c.deadband), c.worth);
    }
}

TEST(MqttPublishing, OnlySetTopicsUnderThePrefixNameATag) {
    const struct {
        const char* topic;
        std::optional<std::string> tag;
    } kCases[] = {
        {"mira/t/tags/a/set", "a"},          {"mira/t/tags/a/b/set", "a/b"}, {"mira/t/tags/set", std::nullopt},
        {"mira/t/tags//set", std::nullopt}, {"mira/u/tags/a/set", std::nullopt}, {"mira/t/tags/a/result", std::nullopt},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.topic);
        EXPECT_EQ(SetTopicTag("mira/t", c.topic), c.tag);
    }
    EXPECT_EQ(SetSubscriptions("p", 3), (std::vector<std::string>{"p/tags/+/set", "p/tags/+/+/set", "p/tags/+/+/+/set"}));
}

// ---- Sparkplug B payloads -----------------------------------------------------------

std::string Hex(const std::string& bytes) {
    std::string out;
    char b[4];
    for (unsigned char c : bytes) {
        std::snprintf(b, sizeof b, out.empty() ? "%02X" : " %02X", c);
        out += b;
    }
    return out;
}

std::string Bytes(const std::string& hex) {
    std::string out;
    for (size_t i = 0; i + 1 < hex.size(); i += 3) out += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
    return out;
}

spb::Metric M(std::optional<std::string> name, std::optional<uint64_t> alias, std::optional<uint32_t> datatype,
              spb::MetricValue value, std::optional<int32_t> quality = std::nullopt) {
    spb::Metric m;
    m.name = std::move(name);
    m.alias = alias;
    m.datatype = datatype;
    m.isNull = std::holds_alternative<std::monostate>(value);
    m.value = std::move(value);
    m.quality = quality;
    return m;
}

// The bytes worked out by hand from the published field numbers and wire
// types, so that the .proto cannot drift unseen.
TEST(Sparkplug, PayloadsAreTheDefinitionsBytes) {
    const struct {
        const char* name;
        spb::Metric metric;
        const char* hex;
    } kCases[] = {
        {"Int16 -1, sign-extended", M("a", 3, spb::kInt16, uint32_t(-1)),
         "08 01 12 0D 0A 01 61 10 03 20 02 50 FF FF FF FF 0F 18 02"},
        {"Float 3.5", M(std::nullopt, 100, std::nullopt, 3.5f), "08 01 12 07 10 64 65 00 00 60 40 18 02"},
        {"Boolean", M(std::nullopt, 5, spb::kBoolean, true), "08 01 12 06 10 05 20 0B 70 01 18 02"},
        {"String", M("s", std::nullopt, spb::kString, std::string("OK")), "08 01 12 09 0A 01 73 20 0C 7A 02 4F 4B 18 02"},
        {"UInt64", M("bdSeq", std::nullopt, spb::kUInt64, uint64_t{300}),
         "08 01 12 0C 0A 05 62 64 53 65 71 20 08 58 AC 02 18 02"},
        {"null with Quality 0", M(std::nullopt, 7, std::nullopt, std::monostate{}, 0),
         "08 01 12 15 10 07 38 01 4A 0F 0A 07 51 75 61 6C 69 74 79 12 04 08 03 18 00 18 02"},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.name);
        spb::Payload p;
        p.timestamp = 1;
        p.seq = 2;
        p.metrics = {c.metric};
        EXPECT_EQ(Hex(spb::Encode(p)), c.hex);
        spb::Payload back;
        ASSERT_TRUE(spb::Decode(Bytes(c.hex), &back));
        EXPECT_EQ(back.timestamp, 1u);
        EXPECT_EQ(back.seq, 2u);
        ASSERT_EQ(back.metrics.size(), 1u);
        EXPECT_EQ(back.metrics[0].name, c.metric.name);
        EXPECT_EQ(back.metrics[0].alias, c.metric.alias);
        EXPECT_EQ(back.metrics[0].datatype, c.metric.datatype);
        EXPECT_EQ(back.metrics[0].value, c.metric.value);
        EXPECT_EQ(back.metrics[0].isNull, c.metric.isNull);
    }
    // What does not decode, or is more than is read.
    spb::Payload p;
    p.metrics.assign(3, M("x", 1, spb::kInt16, uint32_t{1}));
    const std::string three = spb::Encode(p);
    p.metrics = {M(std::string(200, 'n'), 1, spb::kInt16, uint32_t{1})};
    const std::string longName = spb::Encode(p);
    const struct {
        const char* name;
        std::string bytes;
        size_t most;
        bool decodes;
    } kReads[] = {
        {"three metrics", three, 3, true},          {"three metrics, two read", three, 2, false},
        {"a name cut to its field", longName, 9, true}, {"a cut payload", three.substr(0, three.size() - 3), 9, false},
        {"no payload", "\xff\x01 not protobuf", 9, false},
        {"a name over its field", Bytes("12 84 01 0A 81 01") + std::string(129, 'n'), 9, false},
    };
    for (const auto& r : kReads) {
        SCOPED_TRACE(r.name);
        spb::Payload back;
        EXPECT_EQ(spb::Decode(r.bytes, &back, r.most), r.decodes);
    }
}

TEST(Sparkplug, CommandValuesBecomeWhatTheTagTakes) {
    const auto with = [](spb::MetricValue v, std::optional<uint32_t> datatype = std::nullopt) {
        return M(std::nullopt, 1, datatype, std::move(v));
    };
    const struct {
        const char* name;
        TagKind kind;
        spb::Metric metric;
        nlohmann::json json;  // null: refused
    } kCases[] = {
        {"Int16 -5 sign-extended", TagKind::Word, with(uint32_t(-5)), -5},
        {"Int16 -5 as 16 bits", TagKind::Word, with(uint32_t{0xFFFB}, spb::kInt16), -5},
        {"16 bits without a datatype", TagKind::Word, with(uint32_t{0xFFFB}), 65531},
        {"a double to a word", TagKind::Word, with(7.0), 7.0},
        {"Int64", TagKind::Bcd, with(uint64_t{1234}), 1234},
        {"a bit from a Boolean", TagKind::Bit, with(true), true},
        {"a bit from a number", TagKind::Bit, with(uint32_t{1}), 1},
        {"a Boolean to a word", TagKind::Word, with(true), nullptr},
        {"a float", TagKind::Float, with(2.5f), 2.5},
        {"a text", TagKind::String, with(std::string("A")), "A"},
        {"a number to a text", TagKind::String, with(uint32_t{1}), nullptr},
        {"null", TagKind::Word, with(std::monostate{}), nullptr},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.name);
        const auto json = spb::WriteValue(c.kind, c.metric);
        EXPECT_EQ(json.value_or(nullptr), c.json);
    }
}

}  // namespace
}  // namespace mira::serve::mqtt
