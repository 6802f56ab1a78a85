// A configuration served as mira serve serves it, without the program: its
// store and line thread on the line it names (the built-in simulator unless it
// names another), and with `http` its HTTP face. Every wait ends as soon as
// its condition holds; the bound only keeps a broken line thread from hanging
// the test (a scan of the built-in simulator takes milliseconds).
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "serve/faces.h"
#include "serve/http/http_server.h"
#include "serve/line_thread.h"

namespace mira::serve {

inline constexpr std::chrono::milliseconds kBound{20000};

inline bool WaitFor(const std::function<bool()>& done) {
    const auto end = std::chrono::steady_clock::now() + kBound;
    while (!done()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

// Every problem of a file named mira.toml, one a line; none when it loads.
inline std::string ProblemsOf(const std::string& text, const std::vector<FaceKind>& faces = AllFaces()) {
    std::string problems;
    const auto config = ParseConfig(text, "mira.toml", faces, &problems);
    EXPECT_EQ(config.has_value(), problems.empty());
    return problems;
}

inline Config Parsed(const std::string& text) {
    std::string problems;
    std::optional<Config> config = ParseConfig(text, "test.toml", AllFaces(), &problems);
    EXPECT_TRUE(config) << problems;
    return config.value_or(Config{});
}

struct Served {
    explicit Served(const std::string& text, bool http = false, LineThread::Loader loader = nullptr)
        : config(Parsed(text)), store(config.tags, ScanNames(config)), line(store, config, std::move(loader)) {
        if (http) face = std::make_unique<FaceRunner>(http::MakeHttpFace({config, config.faces["http"], store}), store);
        std::string why;
        started = (face == nullptr || face->Start(&why)) && line.Start(&why) == 0;
        EXPECT_TRUE(started) << why;
    }
    ~Served() {
        store.Stop();
        if (face != nullptr) face->Stop();
        line.Stop();
    }
    static std::vector<std::string> ScanNames(const Config& c) {
        std::vector<std::string> names;
        for (const ScanClass& s : c.scans) names.push_back(s.name);
        return names;
    }
    uint64_t Scans() const { return store.Scans()[0].scans; }
    // Until every tag was read, or failed with a code.
    bool AllRead() {
        return WaitFor([&] {
            for (const TagSnapshot& t : store.All())
                if (t.value.quality != kQualityGood && t.value.errorCode == 0) return false;
            return true;
        });
    }
    Config config;
    TagStore store;
    LineThread line;
    std::unique_ptr<FaceRunner> face;
    bool started = false;
};

}  // namespace mira::serve
