// Reads the TOML file into a Config: [line] through the line's option
// checks (host/options.h), [[scan]], [[tag]] with the driver's address checks, and
// each face's table and tag keys through the face's own parsers.
#include "serve/config.h"

#include <fstream>
#include <set>
#include <sstream>
#include <toml++/toml.h>

#include "host/checks.h"
#include "host/options.h"

namespace mira::serve {
namespace {

SourcePos PosOf(const toml::source_region& region) { return {region.begin.line, region.begin.column}; }

nlohmann::json JsonOf(const toml::node& node) {
    if (const auto* s = node.as_string()) return s->get();
    if (const auto* i = node.as_integer()) return i->get();
    if (const auto* f = node.as_floating_point()) return f->get();
    if (const auto* b = node.as_boolean()) return b->get();
    if (const auto* a = node.as_array()) {
        nlohmann::json out = nlohmann::json::array();
        for (const toml::node& n : *a) out.push_back(JsonOf(n));
        return out;
    }
    if (const auto* t = node.as_table()) {
        nlohmann::json out = nlohmann::json::object();
        for (const auto& [key, n] : *t) out[std::string(key.str())] = JsonOf(n);
        return out;
    }
    std::ostringstream text;  // dates and times
    node.visit([&](const auto& v) { text << v; });
    return text.str();
}

ConfigTable TableOf(const std::string& context, const toml::table& table, Problems* problems) {
    std::map<std::string, ConfigValue> values;
    for (const auto& [key, node] : table)
        values[std::string(key.str())] = ConfigValue{JsonOf(node), PosOf(node.source()), PosOf(key.source())};
    return ConfigTable(context, PosOf(table.source()), std::move(values), problems);
}

// [line]: every key through the line's option of the same name, so a value
// means and is refused alike here and on the command line.
void ParseLine(ConfigTable& t, LineConfig* line) {
    static const char* const kOptions[] = {"port",    "baud", "parity",  "data_bits",   "stop_bits",   "model",
                                           "mode",    "station", "dst",  "timeout",     "ack_timeout", "nak_retries",
                                           "enq_retries"};
    for (const char* key : kOptions) {
        const ConfigValue* v = t.Take(key);
        if (v == nullptr) continue;
        std::string text;
        if (v->value.is_string()) {
            text = v->value.get<std::string>();
        } else if (v->value.is_number_integer()) {
            text = std::to_string(v->value.get<int64_t>());
        } else {
            t.Error(key, *v, "expected a text or a whole number");
            continue;
        }
        std::string option = key, why;
        std::replace(option.begin(), option.end(), '_', '-');
        if (!host::ApplyLineOption(option, text, line, &why)) {
            t.Error(key, *v, why);
        } else if (option == "model" && !host::KnownModel(line->model)) {
            t.Error(key, *v, std::string("one of ") + host::kModelTexts);
            line->model.clear();
        }
    }
    if (const ConfigValue* v = t.Take("check")) {
        if (v->value == "crc" || v->value == "bcc")
            line->crc = v->value == "crc";
        else
            t.Error("check", *v, "\"crc\" or \"bcc\"");
    }
    if (const ConfigValue* v = t.Take("turnaround")) {
        uint32_t ms = 0;
        const std::string text = v->value.is_string() ? v->value.get<std::string>()
                                 : v->value.is_number_integer() ? std::to_string(v->value.get<int64_t>())
                                                                : "";
        if (!host::ParseDuration(text, &ms) || ms > 10000)
            t.Error("turnaround", *v, "a time of 0 to 10 s, such as 5ms");
        else
            line->turnaroundMs = ms;
    }
}

// A key the table must have; reported when missing.
const ConfigValue* Required(ConfigTable& t, const char* key, bool* good) {
    const ConfigValue* v = t.Take(key);
    if (v == nullptr) {
        t.Error(std::string("missing key \"") + key + "\"");
        *good = false;
    }
    return v;
}

// The name of a [[scan]] or [[tag]] (`table`), unique among `names`; the
// table's messages name it from here on.
const ConfigValue* TakeName(ConfigTable& t, const char* table, std::set<std::string>* names, std::string* name,
                            bool* good) {
    const ConfigValue* v = Required(t, "name", good);
    if (v == nullptr) return v;
    if (!v->value.is_string()) {
        t.Error("name", *v, "expected a text");
        *good = false;
        return v;
    }
    *name = v->value.get<std::string>();
    // Appended piece by piece: gcc 12 at -O3 misreads a literal joined in
    // front of a string as an overlapping copy (-Wrestrict).
    std::string context = table;
    context += ' ';
    context += Quoted(*name);
    t.SetContext(std::move(context));
    if (const std::string problem = TagNameProblem(*name); !problem.empty()) {
        t.Error("name", *v, problem);
        *good = false;
    } else if (!names->insert(*name).second) {
        t.Error("name", *v, std::string("another [[") + table + "]] has this name");
        *good = false;
    }
    return v;
}

void ParseScan(ConfigTable& t, std::set<std::string>* names, std::vector<ScanClass>* scans) {
    ScanClass scan;
    bool good = true;
    TakeName(t, "scan", names, &scan.name, &good);
    if (const ConfigValue* every = Required(t, "every", &good)) {
        const std::string text = every->value.is_string() ? every->value.get<std::string>() : "";
        if (!host::ParseDuration(text, &scan.everyMs) || scan.everyMs == 0) {
            t.Error("every", *every, "a period such as \"250ms\" or \"1s\"");
            good = false;
        }
    }
    t.ReportUnknown();
    // A scan class in error still takes its name, so that its tags are not
    // reported a second time for naming it.
    if (good || !scan.name.empty()) scans->push_back(scan);
}

void ParseTag(ConfigTable& t, const Config& config, const std::vector<FaceKind>& faces, const AddressCheck& check,
              std::set<std::string>* names, std::vector<TagInfo>* tags) {
    TagInfo tag;
    tag.station = config.line.dst;
    bool good = true;
    auto remember = [&](const std::string& key, const ConfigValue* v) {
        if (v != nullptr) tag.where[key] = v->where;
        return v;
    };
    remember("name", TakeName(t, "tag", names, &tag.name, &good));
    if (const ConfigValue* v = remember("station", t.Take("station"))) {
        host::LineSettings o;
        std::string why;
        if (!v->value.is_number_integer() ||
            !host::ApplyLineOption("dst", std::to_string(v->value.get<int64_t>()), &o, &why)) {
            t.Error("station", *v, "a station number 0 to 255");
            good = false;
        } else {
            tag.station = o.dst;
        }
    }
    const ConfigValue* address = remember("address", Required(t, "address", &good));
    if (address != nullptr && !address->value.is_string()) {
        t.Error("address", *address, "expected a text");
        good = false;
    } else if (address != nullptr) {
        tag.address = address->value.get<std::string>();
        ResolvedAddress r;
        if (tag.address.size() > MIRA_MAX_CHECKED_TEXT)
            r.problem = "longer than " + std::to_string(MIRA_MAX_CHECKED_TEXT) + " characters";
        else
            r = check(tag.address);
        if (!r.problem.empty()) {
            t.Error("address", *address, r.problem);
            good = false;
        }
        tag.header = r.header;
        tag.item = r.item;
        tag.driverType = r.driverType;
        tag.kind = r.kind;
        tag.chars = r.chars;
    }
    if (const ConfigValue* v = remember("scan", t.Take("scan"))) {
        bool found = false;
        for (size_t i = 0; i < config.scans.size() && !found; ++i)
            if (v->value == config.scans[i].name) {
                tag.scan = i;
                found = true;
            }
        if (!found) {
            t.Error("scan", *v, "no [[scan]] has this name");
            good = false;
        }
    }
    if (const ConfigValue* v = remember("writable", t.Take("writable"))) {
        if (v->value.is_boolean())
            tag.writable = v->value.get<bool>();
        else
            t.Error("writable", *v, "expected true or false");
    }
    for (const FaceKind& face : faces)
        for (const std::string& key : face.tagKeys)
            if (const ConfigValue* v = remember(key, t.Take(key))) {
                const size_t before = t.problems().size();
                nlohmann::json parsed = face.parseTagKey(key, *v, tag, t);
                if (t.problems().size() != before) good = false;
                else tag.faces[face.section][key] = std::move(parsed);
            }
    t.ReportUnknown();
    if (good) tags->push_back(std::move(tag));
}

// Each table of the root, by name; the core's and the faces' are known.
struct Root {
    const toml::table* line = nullptr;
    const toml::array* scans = nullptr;
    const toml::array* tags = nullptr;
    std::map<std::string, const toml::table*> faces;
};

Root Tables(const toml::table& root, const std::vector<FaceKind>& faces, Problems* problems) {
    Root r;
    for (const auto& [keyView, node] : root) {
        const std::string key(keyView.str());
        const SourcePos at = PosOf(keyView.source());
        bool isFace = false;
        for (const FaceKind& face : faces) isFace = isFace || face.section == key;
        // A name of its own: clang 14 cannot capture a structured binding.
        const toml::node& value = node;
        auto arrayOfTables = [&](const toml::array** out) {
            const toml::array* a = value.as_array();
            if (a == nullptr || !a->is_array_of_tables()) {
                problems->Add(at, key + ": expected [[" + key + "]] tables");
                return;
            }
            *out = a;
        };
        if (key == "scan") {
            arrayOfTables(&r.scans);
        } else if (key == "tag") {
            arrayOfTables(&r.tags);
        } else if (key == "line" || isFace) {
            const toml::table* t = node.as_table();
            if (t == nullptr)
                problems->Add(at, key + ": expected a table [" + key + "]");
            else if (key == "line")
                r.line = t;
            else
                r.faces[key] = t;
        } else {
            problems->Add(at, "unknown table " + Quoted(key));
        }
    }
    return r;
}

}  // namespace

// Tag and scan names: letters, digits and _ - . /, never an empty, "." or
// ".." part between slashes, so that a name is one path under /api/tags and
// one MQTT topic.
std::string TagNameProblem(const std::string& name) {
    if (name.empty() || name.size() > 100) return "a name of 1 to 100 characters";
    for (char c : name)
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '_' && c != '-' && c != '.' && c != '/')
            return "letters, digits and _ - . / only";
    size_t start = 0;
    while (start <= name.size()) {
        size_t end = name.find('/', start);
        if (end == std::string::npos) end = name.size();
        const std::string part = name.substr(start, end - start);
        if (part.empty() || part == "." || part == "..") return "no empty, \".\" or \"..\" part between slashes";
        start = end + 1;
    }
    return "";
}

std::optional<Config> ParseConfig(std::string_view text, const std::string& file, const std::vector<FaceKind>& faces,
                                  std::string* problemText, AddressCheck check) {
    Problems problems(file);
    toml::table root;
    try {
        root = toml::parse(text, file);
    } catch (const toml::parse_error& e) {
        problems.Add(PosOf(e.source()), std::string(e.description()));
        *problemText = problems.Text();
        return std::nullopt;
    }
    Config config;
    config.file = file;
    const Root r = Tables(root, faces, &problems);

    const toml::table empty;
    ConfigTable line = TableOf("line", r.line != nullptr ? *r.line : empty, &problems);
    ParseLine(line, &config.line);
    line.ReportUnknown();

    std::set<std::string> names;
    if (r.scans != nullptr)
        for (const toml::node& node : *r.scans) {
            ConfigTable t = TableOf("scan", *node.as_table(), &problems);
            ParseScan(t, &names, &config.scans);
        }
    // Without a [[scan]], every tag is read once a second.
    if (r.scans == nullptr) config.scans.push_back({"default", 1000});

    if (!check) check = DriverAddressCheck(config.line);
    names.clear();
    if (r.tags != nullptr)
        for (const toml::node& node : *r.tags) {
            ConfigTable t = TableOf("tag", *node.as_table(), &problems);
            ParseTag(t, config, faces, check, &names, &config.tags);
        }

    for (const FaceKind& face : faces) {
        const auto it = r.faces.find(face.section);
        ConfigTable t = TableOf(face.section, it != r.faces.end() ? *it->second : empty, &problems);
        config.faces[face.section] = face.parseSection ? face.parseSection(t) : nlohmann::json::object();
        t.ReportUnknown();
    }
    for (const FaceKind& face : faces)
        if (face.checkAll) face.checkAll(config, problems);

    if (!problems.empty()) {
        *problemText = problems.Text();
        return std::nullopt;
    }
    return config;
}

std::optional<Config> LoadConfig(const std::string& path, const std::vector<FaceKind>& faces, std::string* problems) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        *problems = path + ": cannot read the file\n";
        return std::nullopt;
    }
    std::ostringstream text;
    text << in.rdbuf();
    return ParseConfig(text.str(), path, faces, problems);
}

}  // namespace mira::serve
