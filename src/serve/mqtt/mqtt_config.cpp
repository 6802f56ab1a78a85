// [mqtt] and the tag key `deadband`: what the loader hands the face.
#include <unistd.h>

#include <cmath>
#include <fstream>

#include "serve/config.h"
#include "serve/mqtt/mqtt_face.h"

namespace mira::serve::mqtt {
namespace {

bool Readable(const std::string& path) { return std::ifstream(path).good(); }

// A port: 1 to 65535, in decimal digits only.
bool ParsePort(const std::string& text, uint32_t* port) {
    if (text.empty() || text.size() > 5 || text.find_first_not_of("0123456789") != std::string::npos) return false;
    *port = static_cast<uint32_t>(std::stoul(text));
    return *port >= 1 && *port <= 65535;
}

// Letters, digits and `allowed`, 1 to `most` characters.
bool PlainText(const std::string& text, const char* allowed, size_t most) {
    if (text.empty() || text.size() > most) return false;
    for (char c : text)
        if (!std::isalnum(static_cast<unsigned char>(c)) && std::string_view(allowed).find(c) == std::string::npos)
            return false;
    return true;
}

// A level of a Sparkplug topic: any printable text but the topic's own
// separators and wildcards.
bool TopicLevel(const std::string& text) {
    if (text.empty() || text.size() > 64) return false;
    for (char c : text)
        if (static_cast<unsigned char>(c) < 0x20 || c == '/' || c == '+' || c == '#') return false;
    return true;
}

// A JSON topic prefix: levels separated by /, none empty, no wildcard.
bool TopicPrefix(const std::string& text) {
    if (text.empty() || text.size() > 128 || text.front() == '/' || text.back() == '/') return false;
    if (text.find("//") != std::string::npos) return false;
    for (char c : text)
        if (static_cast<unsigned char>(c) < 0x20 || c == '+' || c == '#') return false;
    return true;
}

// mqtt://HOST[:PORT] or mqtts://HOST[:PORT]; HOST a name, an IPv4 address or
// an IPv6 one in brackets.
bool ParseUrl(const std::string& url, nlohmann::json* out) {
    std::string rest;
    bool tls = false;
    if (url.rfind("mqtt://", 0) == 0) {
        rest = url.substr(7);
    } else if (url.rfind("mqtts://", 0) == 0) {
        rest = url.substr(8);
        tls = true;
    } else {
        return false;
    }
    uint32_t port = tls ? 8883 : 1883;
    std::string host = rest;
    const size_t close = rest.rfind(']');
    const size_t colon = rest.rfind(':');
    if (colon != std::string::npos && (close == std::string::npos || colon > close)) {
        if (!ParsePort(rest.substr(colon + 1), &port)) return false;
        host = rest.substr(0, colon);
    }
    if (!host.empty() && host.front() == '[') {
        if (host.size() < 3 || host.back() != ']') return false;
        host = host.substr(1, host.size() - 2);
        if (!PlainText(host, ":.", 64)) return false;
    } else if (!PlainText(host, ".-", 253)) {
        return false;
    }
    (*out)["host"] = host;
    (*out)["port"] = port;
    (*out)["tls"] = tls;
    return true;
}

nlohmann::json ParseSection(ConfigTable& t) {
    nlohmann::json out = {{"enabled", false}, {"host", ""},       {"port", 1883},     {"tls", false},
                          {"ca_file", ""},    {"client_id", ""},  {"username", ""},   {"password_file", ""},
                          {"qos", 1},         {"format", "json"}, {"prefix", ""},     {"group", "mira"},
                          {"edge_node", ""}};
    // Without an [mqtt] table the loader hands an empty one, standing nowhere.
    const bool present = t.where().line != 0;
    if (const ConfigValue* v = t.Take("url")) {
        if (!v->value.is_string() || !ParseUrl(v->value.get<std::string>(), &out))
            t.Error("url", *v, "mqtt://HOST:PORT or mqtts://HOST:PORT, such as \"mqtt://127.0.0.1:1883\"");
        out["enabled"] = true;
    } else if (present) {
        t.Error("missing key \"url\"");
    }
    if (const ConfigValue* v = t.Take("ca_file")) {
        if (!v->value.is_string() || !Readable(v->value.get<std::string>()))
            t.Error("ca_file", *v, "a readable file of CA certificates (PEM)");
        else if (!out["tls"].get<bool>())
            t.Error("ca_file", *v, "only with an mqtts:// url");
        else
            out["ca_file"] = v->value;
    } else if (out["tls"].get<bool>()) {
        t.Error("mqtts:// needs ca_file, the CA certificates that sign the broker's");
    }
    if (const ConfigValue* v = t.Take("client_id")) {
        if (v->value.is_string() && PlainText(v->value.get<std::string>(), "-_.:", 64))
            out["client_id"] = v->value;
        else
            t.Error("client_id", *v, "1 to 64 letters, digits and - _ . :");
    }
    if (const ConfigValue* v = t.Take("username")) {
        if (v->value.is_string() && !v->value.get<std::string>().empty())
            out["username"] = v->value;
        else
            t.Error("username", *v, "a text");
    }
    if (const ConfigValue* v = t.Take("password_file")) {
        if (!v->value.is_string() || !Readable(v->value.get<std::string>()))
            t.Error("password_file", *v, "a readable file whose first line is the password");
        else if (out["username"] == "")
            t.Error("password_file", *v, "only with a username");
        else
            out["password_file"] = v->value;
    }
    if (const ConfigValue* v = t.Take("qos")) {
        if (v->value == 0 || v->value == 1)
            out["qos"] = v->value;
        else
            t.Error("qos", *v, "0 or 1");
    }
    if (const ConfigValue* v = t.Take("format")) {
        if (v->value == "json" || v->value == "sparkplug")
            out["format"] = v->value;
        else
            t.Error("format", *v, "\"json\" or \"sparkplug\"");
    }
    const bool json = out["format"] == "json";
    if (const ConfigValue* v = t.Take("prefix")) {
        if (!json)
            t.Error("prefix", *v, "only with format = \"json\"");
        else if (v->value.is_string() && TopicPrefix(v->value.get<std::string>()))
            out["prefix"] = v->value;
        else
            t.Error("prefix", *v, "topic levels separated by /, none empty, without + or #");
    }
    for (const char* key : {"group", "edge_node"})
        if (const ConfigValue* v = t.Take(key)) {
            if (json)
                t.Error(key, *v, "only with format = \"sparkplug\"");
            else if (v->value.is_string() && TopicLevel(v->value.get<std::string>()))
                out[key] = v->value;
            else
                t.Error(key, *v, "a text of 1 to 64 characters without / + #");
        }
    return out;
}

nlohmann::json ParseTagKey(const std::string& key, const ConfigValue& v, const TagInfo& tag, ConfigTable& t) {
    if (!v.value.is_number() || !std::isfinite(v.value.get<double>()) || v.value.get<double>() < 0) {
        t.Error(key, v, "a number of 0 or more: a smaller change is not published");
        return nullptr;
    }
    if (tag.kind == TagKind::String) {
        t.Error(key, v, "a string tag has no deadband");
        return nullptr;
    }
    return v.value.get<double>();
}

// A JSON tag's topic must not be another tag's set or result topic.
void CheckAll(const Config& config, Problems& problems) {
    const nlohmann::json& s = config.faces.at("mqtt");
    if (!s.value("enabled", false) || s.value("format", "") != "json") return;
    for (const TagInfo& tag : config.tags) {
        const std::string last = tag.name.substr(tag.name.rfind('/') + 1);
        if (last == "set" || last == "result")
            problems.Add(tag.where.count("name") ? tag.where.at("name") : SourcePos{},
                         "tag " + Quoted(tag.name) + ": name: its MQTT topic ends in /" + last +
                             ", which [mqtt] keeps for writes and their answers");
    }
}

constexpr const char* kSample = R"(# MQTT: every tag retained on PREFIX/tags/NAME as JSON, writes taken on
# PREFIX/tags/NAME/set and answered on PREFIX/tags/NAME/result; or Sparkplug B
# with format = "sparkplug". Uncomment [mqtt] and url to publish.
# [mqtt]
# url = "mqtt://127.0.0.1:1883"   # or "mqtts://HOST:8883" with ca_file = "/etc/ssl/certs/broker-ca.pem"
# client_id = "mira-line1"        # default: mira-HOST-FILE, this machine's name and this file's
# username = "mira"
# password_file = "/etc/mira/mqtt.password"
# qos = 1                         # 0 or 1
# format = "json"                 # "json" or "sparkplug"
# prefix = "mira/line1"           # json: default mira/CLIENT_ID
# group = "plant"                 # sparkplug: spBv1.0/GROUP/.../EDGE_NODE/station1
# edge_node = "line1"             # sparkplug: default the client_id
# A [[tag]] may set deadband = 0.5: a smaller change of its value is not published.
)";

std::string HostName() {
    char name[256] = {};
    if (::gethostname(name, sizeof name - 1) != 0) return "host";
    std::string plain;
    for (char c : std::string(name))
        plain += std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '.' ? c : '-';
    return plain.empty() ? "host" : plain;
}

}  // namespace

Settings SettingsOf(const nlohmann::json& j, const Config& config) {
    Settings s;
    s.enabled = j.value("enabled", false);
    s.host = j.value("host", "");
    s.port = j.value<uint16_t>("port", 1883);
    s.tls = j.value("tls", false);
    s.caFile = j.value("ca_file", "");
    s.clientId = j.value("client_id", "");
    if (s.clientId.empty()) {
        std::string file = config.file.substr(config.file.rfind('/') + 1);
        if (file.size() > 5 && file.compare(file.size() - 5, 5, ".toml") == 0) file.resize(file.size() - 5);
        std::string plain;
        for (char c : file) plain += std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '_' ? c : '-';
        s.clientId = ("mira-" + HostName() + (plain.empty() ? "" : "-" + plain)).substr(0, 64);
    }
    s.username = j.value("username", "");
    s.passwordFile = j.value("password_file", "");
    s.qos = j.value("qos", 1);
    s.format = j.value("format", "json") == "sparkplug" ? Format::Sparkplug : Format::Json;
    s.prefix = j.value("prefix", "");
    if (s.prefix.empty()) s.prefix = "mira/" + s.clientId;
    s.group = j.value("group", "mira");
    s.edgeNode = j.value("edge_node", "");
    if (s.edgeNode.empty()) s.edgeNode = s.clientId;
    return s;
}

FaceKind MqttFaceKind() {
    FaceKind kind;
    kind.section = "mqtt";
    kind.parseSection = ParseSection;
    kind.tagKeys = {"deadband"};
    kind.parseTagKey = ParseTagKey;
    kind.checkAll = CheckAll;
    kind.sample = kSample;
    kind.create = [](const FaceContext& c) -> std::unique_ptr<Face> {
        Settings s = SettingsOf(c.settings, c.config);
        if (!s.enabled) return nullptr;
        return std::make_unique<MqttFace>(std::move(s), c.store);
    };
    return kind;
}

}  // namespace mira::serve::mqtt
