#include "serve/tag.h"

#include <cmath>

#include "host/text.h"

namespace mira::serve {

const char* KindName(TagKind kind) {
    switch (kind) {
        case TagKind::Word: return "word";
        case TagKind::Bcd: return "bcd";
        case TagKind::Bit: return "bit";
        case TagKind::Float: return "float";
        case TagKind::String: return "string";
    }
    return "word";
}

nlohmann::json ValueJson(const Value& value) {
    if (const auto* i = std::get_if<int32_t>(&value)) return *i;
    if (const auto* d = std::get_if<double>(&value)) return std::isfinite(*d) ? nlohmann::json(*d) : nlohmann::json();
    if (const auto* s = std::get_if<std::string>(&value)) return *s;
    return nullptr;
}

std::string FileTimeText(uint64_t fileTime) {
    if (fileTime == 0) return "";
    MiraFileTime t{static_cast<uint32_t>(fileTime & 0xFFFFFFFFu), static_cast<uint32_t>(fileTime >> 32)};
    return host::FormatFileTime(t);
}

nlohmann::json TagJson(const TagInfo& info, const TagValue& value) {
    nlohmann::json j = {{"name", info.name},
                        {"address", info.address},
                        {"value", ValueJson(value.value)},
                        {"quality", value.quality},
                        {"time", value.time == 0 ? nlohmann::json() : nlohmann::json(FileTimeText(value.time))},
                        {"error", nullptr}};
    if (value.errorCode != 0) j["error"] = {{"code", value.errorCode}, {"message", value.errorMessage}};
    return j;
}

nlohmann::json TagInfoJson(const TagInfo& info, const std::string& scanName) {
    nlohmann::json j = {{"name", info.name},       {"address", info.address},   {"header", info.header},
                        {"item", info.item},       {"type", KindName(info.kind)}, {"writable", info.writable},
                        {"station", info.station}, {"scan", scanName}};
    if (info.kind == TagKind::String) j["chars"] = info.chars;
    for (const auto& [face, keys] : info.faces.items()) j[face] = keys;
    return j;
}

}  // namespace mira::serve
