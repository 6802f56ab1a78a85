#include "serve/http/http_face.h"
#include "serve/http/http_server.h"
#include "serve/listen.h"

namespace mira::serve::http {
namespace {

nlohmann::json ParseSection(ConfigTable& t) {
    nlohmann::json out = {{"listen", "127.0.0.1:8080"}, {"write_token", nullptr}};
    if (const ConfigValue* v = t.Take("listen")) {
        if (v->value.is_string() && ParseListen(v->value.get<std::string>()))
            out["listen"] = v->value;
        else
            t.Error("listen", *v, "HOST:PORT, such as \"127.0.0.1:8080\" or \"[::1]:8080\"");
    }
    if (const ConfigValue* v = t.Take("write_token")) {
        bool good = v->value.is_string() && !v->value.get<std::string>().empty();
        if (good)
            for (char c : v->value.get<std::string>()) good = good && c > 0x20 && c < 0x7F;
        if (good)
            out["write_token"] = v->value;
        else
            t.Error("write_token", *v, "a text of printable characters without blanks");
    }
    return out;
}

constexpr const char* kSample = R"(# HTTP: /api/tags, /api/read, /api/events, /api/status, /metrics and a status page.
[http]
listen = "127.0.0.1:8080"
# write_token = "change-me"   # PUT /api/tags/NAME then needs "Authorization: Bearer change-me"
)";

}  // namespace

FaceKind HttpFaceKind() {
    FaceKind kind;
    kind.section = "http";
    kind.parseSection = ParseSection;
    kind.sample = kSample;
    kind.create = [](const FaceContext& context) { return MakeHttpFace(context); };
    return kind;
}

}  // namespace mira::serve::http
