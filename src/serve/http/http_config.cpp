#include <cctype>

#include "host/options.h"
#include "serve/http/http_face.h"
#include "serve/http/http_server.h"

namespace mira::serve::http {
namespace {

// HOST:PORT, the host a name or an IPv4 address, or an IPv6 one in brackets.
bool ListenAddress(const std::string& text) {
    const size_t colon = text.rfind(':');
    if (colon == std::string::npos || colon == 0) return false;
    uint32_t port = 0;
    // Port 0: a free port the system picks; the log names it.
    if (!host::ParseUnsigned(text.substr(colon + 1), 0, 65535, &port)) return false;
    const std::string host = text.substr(0, colon);
    if (host.front() == '[') return host.size() > 2 && host.back() == ']';
    for (char c : host)
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '.' && c != '-') return false;
    return true;
}

nlohmann::json ParseSection(ConfigTable& t) {
    nlohmann::json out = {{"listen", "127.0.0.1:8080"}, {"write_token", nullptr}};
    if (const ConfigValue* v = t.Take("listen")) {
        if (v->value.is_string() && ListenAddress(v->value.get<std::string>()))
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

FaceSpec HttpFaceSpec() {
    FaceSpec spec;
    spec.section = "http";
    spec.parseSection = ParseSection;
    spec.sample = kSample;
    spec.create = [](const FaceContext& context) { return MakeHttpFace(context); };
    return spec;
}

}  // namespace mira::serve::http
