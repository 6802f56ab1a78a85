// What the HTTP face answers, built from the store alone, so that each
// answer is tested without a socket: the JSON of /api/tags, /api/read,
// /api/events and /api/status, and the Prometheus text of /metrics.
#pragma once

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "serve/config.h"
#include "serve/store.h"

namespace mira::serve::http {

// [{"name", "address", "value", "quality", "time", "error"}], TagJson each.
nlohmann::json TagsJson(const std::vector<TagSnapshot>& tags);

// One row of /api/read: {"address", "value", "quality", "time", "error":
// {"code", "message", "cause"} or null}.
nlohmann::json AddressResultJson(const AddressResult& result);

// [{"id", "time", "key", "words"}].
nlohmann::json EventsJson(const std::vector<Event>& events);

// The line's state and settings, the link's counters, each scan class's
// last, mean and longest duration and its overruns, and what the writes
// and reads came to.
nlohmann::json StatusJson(const LineConfig& line, const TagStore& store);

// The Prometheus text format (version 0.0.4): every family with its HELP
// and TYPE lines.
std::string MetricsText(const TagStore& store);

// {"error": {"code", "message"}}, the body of every 4xx and 5xx answer.
nlohmann::json ErrorJson(int32_t code, const std::string& message);

}  // namespace mira::serve::http
