// The HTTP face over a line thread on the built-in simulator: bad input of
// every kind gets a 4xx and a JSON error and never stops the scans; two
// writers of one tag; the metrics and status as a scraper reads them.
#include <gtest/gtest.h>
#include <httplib.h>

#include <future>
#include <map>
#include <sstream>

#include "../support/free_port.h"
#include "serve/log.h"
#include "served.h"

namespace mira::serve {
namespace {

// The tags served with the HTTP face on a free port, more keys of [http] given.
struct Http : Served {
    explicit Http(const std::string& tags, const std::string& keys = "") : Http(FreePort(), tags, keys) {}
    Http(int p, const std::string& tags, const std::string& keys)
        : Served("[line]\ntimeout = \"300ms\"\n[http]\nlisten = \"127.0.0.1:" + std::to_string(p) + "\"\n" +
                     keys + tags, true),
          port(p) {}
    int port;
};

const std::string kTags = "[[tag]]\nname = \"tank/level\"\naddress = \"N7:0\"\nwritable = true\n"
                          "[[tag]]\nname = \"locked\"\naddress = \"N7:1\"\n";

TEST(Http, BadInputGetsA4xxWithAJsonErrorAndTheScansGoOn) {
    Http s(kTags, "write_token = \"s3cret\"\n");
    ASSERT_TRUE(s.started);
    httplib::Client c("127.0.0.1", s.port);
    const httplib::Headers token = {{"Authorization", "Bearer s3cret"}};
    const std::string big(64 * 1024 + 1, ' ');
    const struct {
        const char* method;
        std::string path, body;
        httplib::Headers headers;
        int status;
        const char* message;
    } kCases[] = {
        {"GET", "/api/tags/nope", "", {}, 404, "no tag \"nope\""},
        {"GET", "/api/tags/tank/../locked", "", {}, 400, "no empty, \".\" or \"..\" part between slashes"},
        {"GET", "/api/tags/tank%2Flevel", "", {}, 400, "not %2F"},
        {"PUT", "/api/tags/tank/level", "{\"value\": ", token, 400, "the body is not JSON"},
        {"PUT", "/api/tags/tank/level", "{\"val\": 1}", token, 400, "expected {\"value\": V}"},
        {"PUT", "/api/tags/tank/level", "{\"value\": \"" + big + "\"}", token, 413, "over 64 KiB"},
        {"PUT", "/api/tags/tank/level", "{\"value\": 1}", {}, 403, "write token"},
        {"PUT", "/api/tags/locked", "{\"value\": 1}", token, 403, "is not writable"},
        {"PUT", "/api/tags/nope", "{\"value\": 1}", token, 404, "no tag \"nope\""},
        {"PUT", "/api/tags/tank/level", "{\"value\": 70000}", token, 400, "W0: expected a whole number"},
        {"GET", "/api/read", "", {}, 400, "expected address=A"},
        {"GET", "/api/events?after=x", "", {}, 400, "an event id"},
        {"POST", "/api/write", "[]", token, 400, "expected {\"header\""},
        {"POST", "/api/write", "{\"header\":\"N7:0\",\"items\":[\"W1\"],\"values\":[\"1\"]}", {}, 403, "write token"},
        {"GET", "/nope", "", {}, 404, "no such endpoint"},
    };
    const uint64_t before = s.Scans();
    for (const auto& k : kCases) {
        SCOPED_TRACE(std::string(k.method) + " " + k.path.substr(0, 60));
        const std::string method = k.method;
        httplib::Result r = method == "GET"   ? c.Get(k.path.c_str(), k.headers)
                            : method == "PUT" ? c.Put(k.path.c_str(), k.headers, k.body, "application/json")
                                              : c.Post(k.path.c_str(), k.headers, k.body, "application/json");
        ASSERT_TRUE(r);
        EXPECT_EQ(r->status, k.status);
        const nlohmann::json body = nlohmann::json::parse(r->body, nullptr, false);
        ASSERT_TRUE(body.is_object() && body.contains("error")) << r->body;
        EXPECT_NE(body["error"]["message"].get<std::string>().find(k.message), std::string::npos) << r->body;
    }
    EXPECT_TRUE(WaitFor([&] { return s.Scans() >= before + 2; })) << "the scans went on";
    const httplib::Result good = c.Put("/api/tags/tank/level", token, "{\"value\": 7}", "application/json");
    ASSERT_TRUE(good);
    EXPECT_EQ(good->status, 200);
    EXPECT_EQ(nlohmann::json::parse(good->body)["value"], 7);
}

// A face stopped right after its start, as when the line then fails to open: the server's stop ends only
// a listen that has begun, and one that began after it waited for connections for good (mira serve hung at
// exit about once in a hundred; here the first stop hung). A hang ends in the test's time-out.
TEST(Http, AStopRightAfterTheStartEndsTheServer) {
    const Config config = Parsed("[http]\nlisten = \"127.0.0.1:0\"\n");
    TagStore store;
    SetLogSettings({LogLevel::Warning, false});  // not a line a start
    for (int i = 0; i < 100; ++i) {
        const std::unique_ptr<Face> face = http::MakeHttpFace({config, config.faces.at("http"), store});
        std::string why;
        ASSERT_TRUE(face->Start(&why)) << why;
        face->Stop();
    }
}

// The line is kept busy by a station that never answers (300 ms a scan), so
// that a write waits there while the second writer comes: one is refused.
TEST(Http, TwoWritersOfOneTagAtOnceOneIsRefused) {
    Http s(kTags + "[[tag]]\nname = \"silent\"\naddress = \"N7:2\"\nstation = 9\n");
    ASSERT_TRUE(s.started);
    std::map<int, int> seen;
    for (int attempt = 0; attempt < 10 && seen[409] == 0; ++attempt) {
        std::promise<void> go;
        std::shared_future<void> start = go.get_future().share();
        auto writer = [&](int value) {
            start.wait();
            httplib::Client c("127.0.0.1", s.port);
            const httplib::Result r =
                c.Put("/api/tags/tank/level", "{\"value\": " + std::to_string(value) + "}", "application/json");
            return r ? r->status : 0;
        };
        std::future<int> a = std::async(std::launch::async, writer, 1);
        std::future<int> b = std::async(std::launch::async, writer, 2);
        go.set_value();
        const int first = a.get(), second = b.get();
        EXPECT_TRUE(first == 200 || second == 200) << first << " " << second;
        ++seen[first];
        ++seen[second];
    }
    EXPECT_GT(seen[409], 0);
    EXPECT_EQ(seen[200] + seen[409], [&] {
        int n = 0;
        for (const auto& [status, count] : seen) n += count;
        return n;
    }());
}

TEST(Http, MetricsStatusAndThePageAsAScraperAndABrowserGetThem) {
    Http s(kTags);
    ASSERT_TRUE(s.started);
    httplib::Client c("127.0.0.1", s.port);
    ASSERT_TRUE(WaitFor([&] { return s.Scans() >= 2; }));
    const httplib::Result metrics = c.Get("/metrics");
    ASSERT_TRUE(metrics);
    EXPECT_EQ(metrics->get_header_value("Content-Type"), "text/plain; version=0.0.4; charset=utf-8");
    const std::string& text = metrics->body;
    for (const char* name :
         {"mira_line_up", "mira_link_frames_sent_total", "mira_link_frames_received_total",
          "mira_link_bytes_sent_total", "mira_link_bytes_received_total", "mira_link_naks_received_total",
          "mira_link_enqs_sent_total", "mira_link_retransmissions_total", "mira_link_bad_checks_total",
          "mira_link_reply_timeouts_total", "mira_link_lines_lost_total", "mira_link_reconnects_total",
          "mira_scans_total", "mira_scan_overruns_total", "mira_scan_duration_seconds", "mira_tag_read_errors_total",
          "mira_writes_total", "mira_unsolicited_messages_total"}) {
        SCOPED_TRACE(name);
        EXPECT_NE(text.find(std::string("# HELP ") + name + " "), std::string::npos);
        EXPECT_NE(text.find(std::string("# TYPE ") + name + " "), std::string::npos);
    }
    EXPECT_NE(text.find("\nmira_line_up 1\n"), std::string::npos) << text;
    // The histogram's buckets add up: each at least the one before, +Inf the count.
    std::istringstream lines(text);
    uint64_t last = 0, inf = 0, count = 0;
    for (std::string line; std::getline(lines, line);) {
        const uint64_t v = line.empty() || line[0] == '#' ? 0 : std::stoull(line.substr(line.rfind(' ') + 1));
        if (line.rfind("mira_scan_duration_seconds_bucket{scan=\"default\",le=", 0) == 0) {
            EXPECT_GE(v, last) << line;
            last = v;
            if (line.find("le=\"+Inf\"") != std::string::npos) inf = v;
        }
        if (line.rfind("mira_scan_duration_seconds_count{scan=\"default\"}", 0) == 0) count = v;
    }
    EXPECT_GT(count, 0u);
    EXPECT_EQ(inf, count);

    const httplib::Result status = c.Get("/api/status");
    ASSERT_TRUE(status);
    const nlohmann::json j = nlohmann::json::parse(status->body);
    EXPECT_EQ(j["line"]["state"], "up");
    EXPECT_EQ(j["line"]["port"], "sim");
    EXPECT_EQ(j["scans"][0]["name"], "default");
    EXPECT_GE(j["link"]["framesSent"].get<uint64_t>(), 2u);
    const httplib::Result page = c.Get("/");
    ASSERT_TRUE(page);
    EXPECT_EQ(page->get_header_value("Content-Type"), "text/html; charset=utf-8");
    EXPECT_NE(page->body.find("fetch(\"api/tags\")"), std::string::npos);
    EXPECT_EQ(page->body.find("http"), std::string::npos) << "no external assets";
}

TEST(Http, TheWriteTokenIsTheWholeBearerTokenOnly) {
    const struct {
        const char* header;
        bool allowed;
    } kCases[] = {
        {"Bearer s3cret", true}, {"bearer s3cret", true}, {"Bearer s3cre", false}, {"Bearer s3crett", false},
        {"Basic s3cret", false}, {"Bearer ", false},      {"", false},             {"Bearers3cret", false},
    };
    for (const auto& k : kCases) {
        SCOPED_TRACE(k.header);
        EXPECT_EQ(http::Authorized(k.header, "s3cret"), k.allowed);
    }
    EXPECT_FALSE(http::Authorized("Bearer ", ""));
}

}  // namespace
}  // namespace mira::serve
