#include "serve/http/http_server.h"

#include <httplib.h>

#include <sys/socket.h>

#include <atomic>
#include <cctype>
#include <chrono>
#include <cerrno>
#include <cstring>
#include <thread>

#include "host/options.h"
#include "serve/config.h"
#include "serve/http/render.h"
#include "serve/log.h"

namespace mira::serve::http {
namespace {

using std::chrono::milliseconds;

constexpr size_t kMostBody = 64 * 1024;
constexpr size_t kMostAddresses = 100;
// What a handler waits for the line thread at most. A write waits for the
// transaction under way and the writes queued before it, each a write and a
// read back; the bound only keeps a stuck line from holding the connection.
constexpr milliseconds kLineWait{60000};

const char* const kJson = "application/json";

void Answer(httplib::Response& res, int status, const nlohmann::json& body) {
    res.status = status;
    res.set_content(body.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace), kJson);
}

void Refuse(httplib::Response& res, int status, int32_t code, const std::string& message) {
    Answer(res, status, ErrorJson(code, message));
}

// A tag name from the path: %2F is no slash of a name, and names are what
// the configuration takes, so nothing reaches past /api/tags.
std::string NameProblem(const httplib::Request& req, const std::string& name) {
    std::string target = req.target;
    for (char& c : target) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    if (target.find("%2F") != std::string::npos) return "a tag name's slashes are written as /, not %2F";
    if (const std::string problem = TagNameProblem(name); !problem.empty()) return "a tag name of " + problem;
    return "";
}

class HttpFace : public Face {
public:
    HttpFace(const FaceContext& c)
        : line_(c.config.line),
          store_(c.store),
          listen_(c.settings.value("listen", "127.0.0.1:8080")),
          token_(c.settings.value("write_token", nlohmann::json()).is_string()
                     ? c.settings["write_token"].get<std::string>()
                     : "") {}

    bool Start(std::string* why) override {
        Routes();
        const size_t colon = listen_.rfind(':');
        std::string host = listen_.substr(0, colon);
        if (host.size() > 2 && host.front() == '[') host = host.substr(1, host.size() - 2);
        uint32_t port = 0;
        host::ParseUnsigned(listen_.substr(colon + 1), 0, 65535, &port);
        errno = 0;
        int bound = static_cast<int>(port);
        const bool ok = port == 0 ? (bound = server_.bind_to_any_port(host)) > 0
                                  : server_.bind_to_port(host, bound);
        if (!ok) {
            *why = "HTTP: cannot listen on " + listen_ + (errno != 0 ? ": " + std::string(std::strerror(errno)) : "");
            return false;
        }
        thread_ = std::thread([this] {
            server_.listen_after_bind();
            listened_.store(true);
        });
        const std::string shown = host.find(':') != std::string::npos ? "[" + host + "]" : host;
        Log(LogLevel::Notice, "HTTP on http://" + shown + ":" + std::to_string(bound) + "/" +
                                  (token_.empty() ? "" : " (writes need the write token)"));
        return true;
    }

    void Stop() override {
        // The server's stop ends only a listen that has begun; one that began
        // after it would wait for connections for good (a face stopped right
        // after its start, as when the line then fails to open). The listen
        // begins at once, or has ended already.
        const auto bound = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (thread_.joinable() && !server_.is_running() && !listened_.load() &&
               std::chrono::steady_clock::now() < bound)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        server_.stop();
        if (thread_.joinable()) thread_.join();
    }

    // HTTP answers from the store when asked; it keeps nothing of its own.
    void Changed(const Changes&) override {}

private:
    void Routes();
    bool Allowed(const httplib::Request& req, httplib::Response& res) const {
        if (token_.empty() || Authorized(req.get_header_value("Authorization"), token_)) return true;
        Refuse(res, 403, 0, "writes need \"Authorization: Bearer\" with the write token");
        return false;
    }
    void GetTag(const httplib::Request& req, httplib::Response& res);
    void PutTag(const httplib::Request& req, httplib::Response& res);
    void Read(const httplib::Request& req, httplib::Response& res);
    void Write(const httplib::Request& req, httplib::Response& res);

    LineConfig line_;
    TagStore& store_;
    std::string listen_;
    std::string token_;
    httplib::Server server_;
    std::thread thread_;
    std::atomic<bool> listened_{false};  // the listen has returned
};

void HttpFace::Routes() {
    server_.set_payload_max_length(kMostBody);
    // An answer is written as headers and body: without TCP_NODELAY the body
    // waits for the client's delayed ACK, 40 ms on Linux, longer than the
    // wire time of a one-word read.
    server_.set_tcp_nodelay(true);
    // The library's default shares the port with any other process that asks
    // (SO_REUSEPORT): a second gateway on the port must fail instead of
    // taking half the requests. A restart still takes its port back at once.
    server_.set_socket_options([](int socket) {
        const int on = 1;
        ::setsockopt(socket, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    });
    server_.Get("/", [](const httplib::Request&, httplib::Response& res) {
        res.set_content(kStatusPage, "text/html; charset=utf-8");
    });
    server_.Get("/api/tags", [this](const httplib::Request&, httplib::Response& res) {
        Answer(res, 200, TagsJson(store_.All()));
    });
    server_.Get(R"(/api/tags/(.+))", [this](const httplib::Request& req, httplib::Response& res) { GetTag(req, res); });
    server_.Put(R"(/api/tags/(.+))", [this](const httplib::Request& req, httplib::Response& res) { PutTag(req, res); });
    server_.Get("/api/read", [this](const httplib::Request& req, httplib::Response& res) { Read(req, res); });
    server_.Post("/api/write", [this](const httplib::Request& req, httplib::Response& res) { Write(req, res); });
    server_.Get("/api/events", [this](const httplib::Request& req, httplib::Response& res) {
        uint64_t after = 0;
        if (req.has_param("after")) {
            const std::string text = req.get_param_value("after");
            char* end = nullptr;
            errno = 0;
            after = std::strtoull(text.c_str(), &end, 10);
            if (text.empty() || *end != 0 || errno != 0 || !std::isdigit(static_cast<unsigned char>(text[0])))
                return Refuse(res, 400, 0, "after: an event id, a whole number from 0");
        }
        Answer(res, 200, EventsJson(store_.EventsAfter(after)));
    });
    server_.Get("/api/status", [this](const httplib::Request&, httplib::Response& res) {
        Answer(res, 200, StatusJson(line_, store_));
    });
    server_.Get("/metrics", [this](const httplib::Request&, httplib::Response& res) {
        res.set_content(MetricsText(store_), "text/plain; version=0.0.4; charset=utf-8");
    });
    // What the library answers alone (no such path, a body over the limit,
    // a request it cannot read) gets the same JSON error as ours.
    server_.set_error_handler(httplib::Server::HandlerWithResponse([](const httplib::Request&, httplib::Response& res) {
        if (!res.body.empty()) return httplib::Server::HandlerResponse::Unhandled;
        const std::string message = res.status == 413   ? "the body is over 64 KiB"
                                    : res.status == 404 ? "no such endpoint or method"
                                    : res.status == 400 ? "the request could not be read"
                                                        : "refused with HTTP status " + std::to_string(res.status);
        Refuse(res, res.status, 0, message);
        return httplib::Server::HandlerResponse::Handled;
    }));
    server_.set_exception_handler([](const httplib::Request&, httplib::Response& res, std::exception_ptr) {
        Refuse(res, 500, 0, "the request could not be served");
    });
    // Method, path and status only: never a header, which may carry the token.
    server_.set_logger([](const httplib::Request& req, const httplib::Response& res) {
        if (Logs(LogLevel::Debug))
            Log(LogLevel::Debug, "HTTP " + req.method + " " + req.path + " " + std::to_string(res.status));
    });
}

void HttpFace::GetTag(const httplib::Request& req, httplib::Response& res) {
    const std::string name = req.matches[1];
    if (const std::string problem = NameProblem(req, name); !problem.empty()) return Refuse(res, 400, 0, problem);
    const std::optional<TagSnapshot> tag = store_.Find(name);
    if (!tag) return Refuse(res, 404, 0, "no tag " + Quoted(name));
    Answer(res, 200, TagJson(tag->info, tag->value));
}

void HttpFace::PutTag(const httplib::Request& req, httplib::Response& res) {
    if (!Allowed(req, res)) return;
    const std::string name = req.matches[1];
    if (const std::string problem = NameProblem(req, name); !problem.empty()) return Refuse(res, 400, 0, problem);
    const nlohmann::json body = nlohmann::json::parse(req.body, nullptr, false);
    if (body.is_discarded()) return Refuse(res, 400, 0, "the body is not JSON");
    if (!body.is_object() || !body.contains("value") || body.size() != 1)
        return Refuse(res, 400, 0, "expected {\"value\": V}: a number, true or false, or a text");
    const WriteResult r = store_.WriteAndWait(name, body["value"], kLineWait);
    if (r.outcome != WriteOutcome::Written) return Refuse(res, StatusOf(r.outcome), r.code, r.message);
    const std::optional<TagSnapshot> tag = store_.Find(name);
    Answer(res, 200, tag ? TagJson(tag->info, r.readBack) : nlohmann::json::object());
}

void HttpFace::Read(const httplib::Request& req, httplib::Response& res) {
    AddressRequest request;
    const size_t count = req.get_param_value_count("address");
    if (count == 0 || count > kMostAddresses)
        return Refuse(res, 400, 0, "expected address=A, one to " + std::to_string(kMostAddresses) + " of them");
    for (size_t k = 0; k < count; ++k) {
        const std::string address = req.get_param_value("address", k);
        if (address.empty() || address.size() > MIRA_MAX_CHECKED_TEXT)
            return Refuse(res, 400, 0, "an address of 1 to " + std::to_string(MIRA_MAX_CHECKED_TEXT) + " characters");
        request.items.push_back(address);
    }
    if (req.has_param("station")) {
        uint32_t station = 0;
        if (!host::ParseUnsigned(req.get_param_value("station"), 0, 255, &station))
            return Refuse(res, 400, 0, "station: a station number 0 to 255");
        request.station = station;
    }
    const AddressAnswer a = store_.RequestAndWait(std::move(request), kLineWait);
    if (a.outcome != WriteOutcome::Written) return Refuse(res, StatusOf(a.outcome), a.code, a.message);
    nlohmann::json rows = nlohmann::json::array();
    for (const AddressResult& r : a.results) rows.push_back(AddressResultJson(r));
    Answer(res, 200, rows);
}

// {"header": "N7:0", "items": ["W0", "W1"], "values": ["5", "-7"], "item":
// false, "station": 1}: values as `mira write` takes them, "item" true for
// the item write of `mira write-item`.
void HttpFace::Write(const httplib::Request& req, httplib::Response& res) {
    if (!Allowed(req, res)) return;
    const nlohmann::json body = nlohmann::json::parse(req.body, nullptr, false);
    if (body.is_discarded()) return Refuse(res, 400, 0, "the body is not JSON");
    const char* const shape =
        "expected {\"header\": H, \"items\": [I...], \"values\": [V...], \"item\": false, \"station\": N}, "
        "the values as texts";
    if (!body.is_object() || !body.contains("header") || !body["header"].is_string() || !body.contains("items") ||
        !body["items"].is_array() || !body.contains("values") || !body["values"].is_array() ||
        body["items"].size() != body["values"].size() || body["items"].empty() || body["items"].size() > 4096)
        return Refuse(res, 400, 0, shape);
    AddressRequest request;
    request.kind = body.value("item", false) ? AddressRequest::Kind::WriteItem : AddressRequest::Kind::WriteGroup;
    request.header = body["header"].get<std::string>();
    for (size_t k = 0; k < body["items"].size(); ++k) {
        if (!body["items"][k].is_string() || !body["values"][k].is_string()) return Refuse(res, 400, 0, shape);
        request.items.push_back(body["items"][k].get<std::string>());
        request.texts.push_back(body["values"][k].get<std::string>());
    }
    if (body.contains("station")) {
        if (!body["station"].is_number_unsigned() || body["station"].get<uint64_t>() > 255)
            return Refuse(res, 400, 0, "station: a station number 0 to 255");
        request.station = body["station"].get<uint32_t>();
    }
    const AddressAnswer a = store_.RequestAndWait(std::move(request), kLineWait);
    if (a.outcome != WriteOutcome::Written) {
        nlohmann::json error = ErrorJson(a.code, a.message);
        error["error"]["cause"] = a.cause;
        return Answer(res, StatusOf(a.outcome), error);
    }
    nlohmann::json tags = nlohmann::json::array();
    for (size_t index : a.tags)
        if (const std::optional<TagSnapshot> t = store_.Get(index)) tags.push_back(TagJson(t->info, t->value));
    Answer(res, 200, {{"tags", tags}});
}

}  // namespace

int StatusOf(WriteOutcome outcome) {
    switch (outcome) {
        case WriteOutcome::Written: return 200;
        case WriteOutcome::UnknownTag: return 404;
        case WriteOutcome::NotWritable: return 403;
        case WriteOutcome::BadValue: return 400;
        case WriteOutcome::Busy: return 409;
        case WriteOutcome::LineLost: return 503;
        case WriteOutcome::NoReply: return 504;
        case WriteOutcome::Failed: return 502;
        case WriteOutcome::Stopped: return 503;
    }
    return 502;
}

bool Authorized(const std::string& header, const std::string& token) {
    constexpr size_t kScheme = 7;  // "Bearer "
    if (header.size() < kScheme || token.empty()) return false;
    std::string scheme = header.substr(0, kScheme);
    for (char& c : scheme) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    const std::string given = header.substr(kScheme);
    // Every byte of the token is looked at, whatever was given.
    unsigned diff = scheme == "bearer " ? 0 : 1;
    diff |= given.size() == token.size() ? 0 : 1;
    for (size_t i = 0; i < token.size(); ++i)
        diff |= static_cast<unsigned char>(token[i]) ^
                static_cast<unsigned char>(given.empty() ? 0 : given[i % given.size()]);
    return diff == 0;
}

std::unique_ptr<Face> MakeHttpFace(const FaceContext& context) { return std::make_unique<HttpFace>(context); }

}  // namespace mira::serve::http
