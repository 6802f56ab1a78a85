#include "cli/server_client.h"

#include <httplib.h>

#include <algorithm>
#include <cstdlib>
#include <nlohmann/json.hpp>

#include "host/text.h"

namespace mira::cli {
namespace {

// The gateway waits up to a minute for its line; a little more here.
constexpr time_t kAnswerSeconds = 70;

httplib::Headers TokenHeader() {
    const char* token = std::getenv("MIRA_WRITE_TOKEN");
    if (token == nullptr || *token == 0) return {};
    return {{"Authorization", std::string("Bearer ") + token}};
}

host::Value ValueOfJson(const nlohmann::json& v) {
    host::Value out;
    if (v.is_number_integer()) {
        out.type = MIRA_VALUE_INTEGER;
        out.integer = v.get<int32_t>();
    } else if (v.is_number()) {
        out.type = MIRA_VALUE_DOUBLE;
        out.real = v.get<double>();
    } else if (v.is_string()) {
        out.type = MIRA_VALUE_STRING;
        out.text = v.get<std::string>();
    }
    return out;
}

// The error object of an answer that is not 200: {"error": {"code",
// "message", "cause"}}.
void TakeError(const httplib::Response& res, Served* s) {
    const nlohmann::json body = nlohmann::json::parse(res.body, nullptr, false);
    const nlohmann::json error = body.is_object() ? body.value("error", nlohmann::json()) : nlohmann::json();
    s->message = "mira serve answered HTTP " + std::to_string(res.status);
    if (!error.is_object()) return;
    s->code = error.value("code", 0);
    s->message = error.value("message", s->message);
    s->cause = CauseNamed(error.value("cause", ""));
}

template <class Request>
Served Ask(const Options& o, Request ask) {
    Served s;
    httplib::Client client("http://" + o.server);
    client.set_connection_timeout(5);
    client.set_tcp_nodelay(true);  // a write's body goes out without waiting for an ACK
    client.set_read_timeout(kAnswerSeconds);
    const httplib::Result res = ask(client);
    if (!res) {
        s.message = "cannot reach mira serve at http://" + o.server + ": " + httplib::to_string(res.error());
        return s;
    }
    s.reached = true;
    s.httpStatus = res->status;
    if (res->status != 200) TakeError(*res, &s);
    return s;
}

}  // namespace

host::Cause CauseNamed(const std::string& name) {
    if (name == "refused") return host::Cause::Refused;
    if (name == "no_reply") return host::Cause::NoReply;
    if (name == "line") return host::Cause::Line;
    if (name == "status") return host::Cause::Status;
    return host::Cause::None;
}

Served ServedRead(const Options& o, const std::string& header, const std::vector<std::string>& items) {
    httplib::Params params;
    for (const std::string& item : items) params.emplace("address", header + " " + item);
    if (std::find(o.given.begin(), o.given.end(), "dst") != o.given.end())
        params.emplace("station", std::to_string(o.dst));
    std::string body;
    Served s = Ask(o, [&](httplib::Client& c) {
        httplib::Result r = c.Get("/api/read", params, httplib::Headers{});
        if (r) body = r->body;
        return r;
    });
    if (s.httpStatus != 200) return s;
    const nlohmann::json rows = nlohmann::json::parse(body, nullptr, false);
    if (!rows.is_array() || rows.size() != items.size()) {
        s.httpStatus = 502;
        s.message = "mira serve gave an answer of another shape";
        return s;
    }
    for (size_t k = 0; k < items.size(); ++k) {
        const nlohmann::json& row = rows[k];
        host::ItemResult r;
        r.item = items[k];
        if (row.value("time", nlohmann::json()).is_string()) host::ParseFileTime(row["time"], &r.time);
        const nlohmann::json error = row.value("error", nlohmann::json());
        if (error.is_object()) {
            r.code = error.value("code", 0);
            r.message = error.value("message", "");
            if (s.code == 0) {
                s.code = r.code;
                s.cause = CauseNamed(error.value("cause", ""));
            }
        } else {
            r.value = ValueOfJson(row.value("value", nlohmann::json()));
            r.quality = row.value("quality", -1);
        }
        s.results.push_back(r);
    }
    return s;
}

Served ServedWrite(const Options& o, const std::string& header, const std::vector<std::string>& items,
                   const std::vector<std::string>& texts, bool single) {
    nlohmann::json body = {{"header", header}, {"items", items}, {"values", texts}, {"item", single}};
    if (std::find(o.given.begin(), o.given.end(), "dst") != o.given.end()) body["station"] = o.dst;
    return Ask(o, [&](httplib::Client& c) {
        return c.Post("/api/write", TokenHeader(), body.dump(), "application/json");
    });
}

}  // namespace mira::cli
