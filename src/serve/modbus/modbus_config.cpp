// The Modbus face's part of the configuration: [modbus], each tag's `modbus`
// key, the check that no two tags share a register or a bit, the sample of
// `mira serve --example` and the register map of `mira serve --plan`.
#include <algorithm>
#include <cctype>

#include "serve/config.h"
#include "serve/listen.h"
#include "serve/modbus/modbus_face.h"

namespace mira::serve::modbus {
namespace {

constexpr int64_t kMostClients = 256;

nlohmann::json ParseSection(ConfigTable& t) {
    nlohmann::json out = {{"listen", "127.0.0.1:1502"}, {"unit_id", 255}, {"float_order", "ABCD"}, {"max_clients", 8}};
    if (const ConfigValue* v = t.Take("listen")) {
        if (v->value.is_string() && ParseListen(v->value.get<std::string>()))
            out["listen"] = v->value;
        else
            t.Error("listen", *v, "HOST:PORT, such as \"127.0.0.1:1502\" or \"0.0.0.0:502\"");
    }
    if (const ConfigValue* v = t.Take("unit_id")) {
        if (v->value.is_number_integer() && v->value.get<int64_t>() >= 0 && v->value.get<int64_t>() <= 255)
            out["unit_id"] = v->value;
        else
            t.Error("unit_id", *v, "a unit id from 0 to 255 (255 answers any)");
    }
    if (const ConfigValue* v = t.Take("float_order")) {
        std::string text = v->value.is_string() ? v->value.get<std::string>() : "";
        for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        if (ParseFloatOrder(text))
            out["float_order"] = text;
        else
            t.Error("float_order", *v, "\"ABCD\", \"CDAB\", \"BADC\" or \"DCBA\"");
    }
    if (const ConfigValue* v = t.Take("max_clients")) {
        if (v->value.is_number_integer() && v->value.get<int64_t>() >= 1 && v->value.get<int64_t>() <= kMostClients)
            out["max_clients"] = v->value;
        else
            t.Error("max_clients", *v, "a number of clients from 1 to " + std::to_string(kMostClients));
    }
    return out;
}

nlohmann::json ParseTagKey(const std::string& key, const ConfigValue& value, const TagInfo& tag, ConfigTable& t) {
    Place place;
    std::string why;
    if (!value.value.is_string()) {
        t.Error(key, value, "expected a text such as \"hr:100\"");
        return nullptr;
    }
    std::string text = value.value.get<std::string>();
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    // A tag whose address was refused has no type to check the table by (its
    // address's problem is reported): only the text is checked then.
    TagInfo typed = tag;
    if (tag.header.empty()) typed.kind = text.rfind("co", 0) == 0 || text.rfind("di", 0) == 0 ? TagKind::Bit : TagKind::Word;
    if (!ParsePlace(text, typed, &place, &why)) {
        t.Error(key, value, why);
        return nullptr;
    }
    return text;
}

void CheckAll(const Config& config, Problems& problems) {
    std::vector<std::pair<size_t, size_t>> overlaps;
    RegisterMap::Build(config.tags, &overlaps);
    for (const auto& [earlier, later] : overlaps) {
        const TagInfo& a = config.tags[earlier];
        const TagInfo& b = config.tags[later];
        Place pa, pb;
        std::string why;
        ParsePlace(*MappingOf(a), a, &pa, &why);
        ParsePlace(*MappingOf(b), b, &pb, &why);
        const auto at = b.where.find("modbus");
        problems.Add(at != b.where.end() ? at->second : SourcePos{},
                     "tag " + Quoted(b.name) + ": modbus " + Quoted(*MappingOf(b)) + ": " + PlaceText(pb) +
                         " overlaps tag " + Quoted(a.name) + " at " + PlaceText(pa));
    }
}

// The register map as `mira serve --plan` prints it, after the scans.
std::string PlanText(const Config& config) {
    const RegisterMap map = RegisterMap::Build(config.tags);
    if (map.empty()) return "";
    const FaceOptions o = OptionsOf(config.faces.at("modbus"), config.line.timeoutMs);
    std::string out = "Modbus TCP on " + config.faces.at("modbus").value("listen", "") + ", unit id " +
                      (o.unitId == 255 ? std::string("any") : std::to_string(o.unitId)) + ", floats " +
                      FloatOrderName(o.order) + ", at most " + std::to_string(o.server.maxClients) + " clients:\n";
    std::vector<std::vector<std::string>> rows = {{"PLACE", "TYPE", "ACCESS", "TAG"}};
    for (size_t t = 0; t < kTables; ++t)
        for (const Entry& e : map.Of(static_cast<Table>(t))) {
            const TagInfo& tag = config.tags[e.tag];
            const bool writable = tag.writable && IsWritableTable(e.place.table);
            rows.push_back({PlaceText(e.place), KindName(tag.kind), writable ? "read/write" : "read", tag.name});
        }
    std::vector<size_t> width(rows[0].size(), 0);
    for (const auto& row : rows)
        for (size_t c = 0; c < row.size(); ++c) width[c] = std::max(width[c], row[c].size());
    for (const auto& row : rows) {
        for (size_t c = 0; c < row.size(); ++c)
            out += "  " + (c + 1 < row.size() ? row[c] + std::string(width[c] - row[c].size(), ' ') : row[c]);
        out += "\n";
    }
    return out;
}

constexpr const char* kSample = R"(# Modbus TCP: served when a tag names its place, zero-based, with a key
#   modbus = "hr:0"   a holding register (read, and written when the tag is writable)
#   modbus = "ir:0"   an input register; "co:0" a coil; "di:0" a discrete input
# in its [[tag]] table. Bits take a coil or a discrete input; a word, BCD value or
# timer, counter or control part one register; a float two; a string one per two
# characters, high byte first. `mira serve --plan FILE` prints the map.
[modbus]
listen = "127.0.0.1:1502"     # port 502 needs privileges: see the README
unit_id = 255                 # 255 answers any unit id
float_order = "ABCD"          # ABCD (high word first), CDAB, BADC or DCBA
max_clients = 8
)";

}  // namespace

FaceKind ModbusFaceKind() {
    FaceKind kind;
    kind.section = "modbus";
    kind.parseSection = ParseSection;
    kind.tagKeys = {"modbus"};
    kind.parseTagKey = ParseTagKey;
    kind.checkAll = CheckAll;
    kind.sample = kSample;
    kind.planText = PlanText;
    kind.create = [](const FaceContext& c) -> std::unique_ptr<Face> {
        if (RegisterMap::Build(c.config.tags).empty()) return nullptr;
        return std::make_unique<ModbusFace>(c.store, OptionsOf(c.settings, c.config.line.timeoutMs));
    };
    return kind;
}

}  // namespace mira::serve::modbus
