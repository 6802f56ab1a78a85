// What the end-to-end tests of mira serve over HTTP share besides the
// programs of tests/support/programs.h: a running gateway with its HTTP port.
#pragma once

#include <httplib.h>

#include <nlohmann/json.hpp>
#include <regex>
#include <string>

#include "../support/programs.h"

namespace mira::serve::e2e {

using namespace mira::test;  // NOLINT: the programs, files and waits of every end-to-end test

// A running mira serve of a configuration, and its HTTP port.
struct Gateway {
    explicit Gateway(const std::string& text) : config(text + "[http]\nlisten = \"127.0.0.1:0\"\n") {
        std::smatch m;
        if (serve.Expect(R"(HTTP on http://127\.0\.0\.1:(\d+)/)", &m)) port = std::stoi(m[1]);
    }
    nlohmann::json Get(const std::string& path) const {
        httplib::Client c("127.0.0.1", port);
        const httplib::Result r = c.Get(path.c_str());
        return r ? nlohmann::json::parse(r->body, nullptr, false) : nlohmann::json();
    }
    nlohmann::json Tag(const std::string& name) const { return Get("/api/tags/" + name); }
    std::string Url() const { return "http://127.0.0.1:" + std::to_string(port); }
    File config;
    Child serve{{"serve", config.path}};
    int port = 0;
};

}  // namespace mira::serve::e2e
