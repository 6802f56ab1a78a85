#include "serve/mqtt/json_topics.h"

#include "serve/mqtt/mqtt_face.h"

namespace mira::serve::mqtt {
namespace {

std::string Dump(const nlohmann::json& j) { return j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace); }

}  // namespace

std::string TagPayload(const TagInfo& info, const TagValue& value) {
    nlohmann::json j = TagJson(info, value);
    j.erase("name");
    j.erase("address");
    return Dump(j);
}

std::string EventPayload(const Event& event) {
    return Dump({{"time", FileTimeText(event.time)}, {"key", event.key}, {"words", event.words}});
}

std::optional<std::string> SetTopicTag(const std::string& prefix, const std::string& topic) {
    const std::string head = prefix + "/tags/";
    const std::string tail = "/set";
    if (topic.size() <= head.size() + tail.size() || topic.compare(0, head.size(), head) != 0 ||
        topic.compare(topic.size() - tail.size(), tail.size(), tail) != 0)
        return std::nullopt;
    return topic.substr(head.size(), topic.size() - head.size() - tail.size());
}

std::vector<std::string> SetSubscriptions(const std::string& prefix, size_t levels) {
    std::vector<std::string> topics;
    std::string middle = "+";
    for (size_t n = 1; n <= levels; ++n, middle += "/+") topics.push_back(prefix + "/tags/" + middle + "/set");
    return topics;
}

SetRequest ParseSet(std::string_view payload) {
    SetRequest r;
    if (payload.size() > kMaxIncoming) {
        r.problem = "a payload of " + std::to_string(payload.size()) + " bytes; at most " +
                    std::to_string(kMaxIncoming) + " are read";
        return r;
    }
    nlohmann::json j = nlohmann::json::parse(payload, nullptr, false);
    if (j.is_discarded()) {
        r.problem = "expected a JSON value, or {\"value\": V, \"id\": \"...\"}";
        return r;
    }
    if (j.is_object() && j.contains("value")) {
        r.value = j["value"];
        if (j.contains("id") && (j["id"].is_string() || j["id"].is_number())) r.id = j["id"];
    } else {
        r.value = std::move(j);
    }
    return r;
}

std::string ResultPayload(const nlohmann::json& id, const WriteResult& result) {
    const bool ok = result.outcome == WriteOutcome::Written;
    return Dump({{"id", id},
                 {"ok", ok},
                 {"outcome", OutcomeName(result.outcome)},
                 {"code", result.code},
                 {"message", result.message},
                 {"value", ok ? ValueJson(result.readBack.value) : nlohmann::json()}});
}

std::string RefusedPayload(const nlohmann::json& id, const std::string& message) {
    return Dump({{"id", id}, {"ok", false}, {"outcome", "bad_request"}, {"code", 0}, {"message", message},
                 {"value", nullptr}});
}

}  // namespace mira::serve::mqtt
