// The JSON topics: what each message holds, and what a write on
// PREFIX/tags/NAME/set asks.
#pragma once

#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "serve/store.h"

namespace mira::serve::mqtt {

// {"value": ..., "quality": 192, "time": "...", "error": null}, as
// /api/tags shows the tag without its name and address.
std::string TagPayload(const TagInfo& info, const TagValue& value);

// {"time": "...", "key": "...", "words": [...]}
std::string EventPayload(const Event& event);

// The tag a topic PREFIX/tags/NAME/set names; nullopt for another topic.
std::optional<std::string> SetTopicTag(const std::string& prefix, const std::string& topic);

// The subscriptions that take PREFIX/tags/NAME/set for every name of at most
// `levels` levels (one more than the deepest tag's, so that a write to an
// unknown tag below a known one is answered too).
std::vector<std::string> SetSubscriptions(const std::string& prefix, size_t levels);

// A write as the payload of a set asks it: a JSON value, or {"value": V,
// "id": "..."}. `problem` says why there is none.
struct SetRequest {
    nlohmann::json value;
    nlohmann::json id;  // null when not given
    std::string problem;
};
SetRequest ParseSet(std::string_view payload);

// {"id", "ok", "outcome", "code", "message", "value"}: the write's answer,
// `value` the tag as read back.
std::string ResultPayload(const nlohmann::json& id, const WriteResult& result);
// The answer to a set that asked nothing the store could take.
std::string RefusedPayload(const nlohmann::json& id, const std::string& message);

}  // namespace mira::serve::mqtt
