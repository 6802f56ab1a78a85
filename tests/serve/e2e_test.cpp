// mira serve as it runs in the field: the program against mira sim on a
// pseudo-terminal and on TCP, seeded, asked over HTTP and by mira --server,
// signalled, and its status page in a headless browser.
#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>

#include "e2e_support.h"

namespace {

using namespace mira::serve::e2e;  // NOLINT: the helpers of every end-to-end test

// The simulator on a pseudo-terminal, seeded: mira serve scans it, serves
// mira --server, and stops within 2 s of SIGTERM. A write of each kind over
// HTTP: LineThread.WritesAreMadeAndReadBackBeforeTheyAnswer and Http.
TEST(Serve, AgainstTheSimulatorOnAPseudoTerminal) {
    File seed("N7:0=123\nN7:1=-5\nF8:0=2.5\nB3:0=32\nST9:0=\"SEED\"\nT4:0.ACC=77\n");
    File dump;
    Child sim({"sim", "--pty", "--seed", seed.path, "--dump", dump.path});
    std::smatch m;
    ASSERT_TRUE(sim.Expect(R"( on (/dev/\S+))", &m));
    const std::string pty = m[1];
    Gateway g("[line]\nport = \"" + pty + "\"\ntimeout = \"500ms\"\n"
              "[[tag]]\nname = \"level\"\naddress = \"N7:0\"\n"
              "[[tag]]\nname = \"setpoint\"\naddress = \"N7:0 W1\"\nwritable = true\n"
              "[[tag]]\nname = \"flow\"\naddress = \"F8:0\"\n"
              "[[tag]]\nname = \"pump\"\naddress = \"B3:0/5\"\nwritable = true\n"
              "[[tag]]\nname = \"recipe\"\naddress = \"ST9:0\"\n"
              "[[tag]]\nname = \"elapsed\"\naddress = \"T4:0.ACC\"\n");
    ASSERT_NE(g.port, 0) << g.serve.Output();
    const std::pair<const char*, nlohmann::json> kSeeded[] = {
        {"level", 123}, {"setpoint", -5}, {"flow", 2.5}, {"pump", 1}, {"recipe", "SEED"}, {"elapsed", 77}};
    for (const auto& seeded : kSeeded) {
        const char* name = seeded.first;  // a plain name: clang 14 cannot capture a structured binding
        SCOPED_TRACE(name);
        ASSERT_TRUE(WaitFor([&] { return g.Tag(name).value("quality", 0) == 192; })) << g.Tag(name);
        EXPECT_EQ(g.Tag(name)["value"], seeded.second);
    }

    // mira's commands through the gateway.
    const struct {
        std::string command;
        int status;
        std::string output;
    } kCommands[] = {
        {"read N7:0 W0 W1", 0, "ITEM  VALUE  QUALITY  TIME\nW0    123    192      <time>\nW1    -5     192      <time>\n"},
        {"write --json N7:0 W1=42", 0, "{\"item\":\"W1\",\"value\":42,\"quality\":null,\"time\":\"<time>\"}\n"},
        {"read --json N7:0 W1", 0, "{\"item\":\"W1\",\"value\":42,\"quality\":192,\"time\":\"<time>\"}\n"},
        {"read --json N7:0 F0/3", 2,
         "{\"item\":\"F0/3\",\"value\":null,\"quality\":null,\"time\":\"<time>\",\"error\":{\"code\":-34,"
         "\"message\":\"bad or missing mnemonic or separator\"}}\n"},
        {"read --json N77:0 W0", 5,
         "{\"item\":\"W0\",\"value\":null,\"quality\":null,\"time\":\"<time>\",\"error\":{\"code\":6,"
         "\"message\":\"EXT STS 0x06: address does not point to something usable\"}}\n"},
        {"write N7:0 W9=1", 2,
         "mira: N7:0 W9 (station 1) is no writable tag of this gateway, which writes its tags marked writable = true "
         "only\n"},
        {"write-item B3:0 0/5 0", 0, "ITEM  VALUE  QUALITY  TIME\n0/5   0      -        <time>\n"},
        {"read --port sim N7:0", 2,
         "mira: read: --port: the line is mira serve's with --server; --dst, --model and --json apply\n"
         "Run \"mira --help\" for the commands and options.\n"},
    };
    for (const auto& k : kCommands) {
        SCOPED_TRACE(k.command);
        std::vector<std::string> args;
        std::istringstream words(k.command);
        for (std::string w; words >> w;) args.push_back(w);
        args.insert(args.begin() + 1, {"--server", g.Url()});
        Child mira(args);
        EXPECT_EQ(mira.Wait(), k.status);
        EXPECT_EQ(Untimed(mira.Output()), k.output);
    }

    // SIGTERM closes the driver within 2 s: the exchange under way ends at
    // once and the close waits for nothing longer than the channel's bound.
    const auto stop = Clock::now();
    EXPECT_EQ(g.serve.Stop(SIGTERM), 0);
    EXPECT_LT(Clock::now() - stop, milliseconds(2000 + 1000)) << "2 s, and 1 s for the process on a loaded machine";
    const std::string log = g.serve.Output();
    EXPECT_NE(log.find("line closed"), std::string::npos) << log;
    EXPECT_EQ(sim.Stop(SIGINT), 0);
    const std::string tables = dump.Read();
    EXPECT_NE(tables.find("N7:1=42\n"), std::string::npos) << tables;
    EXPECT_EQ(tables.find("B3:0="), std::string::npos) << "the seeded bit cleared: " << tables;
}

// The controller's own writes every 200 ms, answered as mira listen answers
// them and kept as events with every word.
TEST(Serve, UnsolicitedWritesAreAnsweredAndKeptAsEvents) {
    Child sim({"sim", "--pty", "--unsolicited", "200ms", "N7:0", "W0=5", "W1=-7", "W2=300"});
    std::smatch m;
    ASSERT_TRUE(sim.Expect(R"( on (/dev/\S+))", &m));
    Gateway g("[line]\nport = \"" + std::string(m[1]) + "\"\n[[tag]]\nname = \"level\"\naddress = \"N7:0\"\n");
    ASSERT_NE(g.port, 0) << g.serve.Output();
    ASSERT_TRUE(WaitFor([&] { return g.Get("/api/events?after=0").size() >= 2; }));
    const nlohmann::json events = g.Get("/api/events?after=0");
    EXPECT_EQ(events[0]["id"], 1);
    EXPECT_EQ(events[0]["key"], "integer/0:7:0");
    EXPECT_EQ(events[0]["words"], nlohmann::json({5, -7, 300}));
    EXPECT_EQ(g.Get("/api/events?after=1")[0]["id"], 2);
    EXPECT_EQ(g.serve.Stop(SIGTERM), 0);
    EXPECT_EQ(sim.Stop(SIGINT), 0);
    const std::string counts = sim.Output();
    EXPECT_TRUE(std::regex_search(counts, std::regex(R"(, [1-9]\d* answered done, 0 refused)")))
        << counts;
}

// The simulator on TCP goes away and comes back on its port: the tags go
// to quality 0 with the line's code, keeping value and time, and come back.
TEST(Serve, ALostLineGoesToQualityZeroAndComesBack) {
    File seed("N7:0=321\n");
    const std::string tcp = std::to_string(FreePort());
    auto sim = std::make_unique<Child>(std::vector<std::string>{"sim", "--listen", tcp, "--seed", seed.path});
    ASSERT_TRUE(sim->Expect("on TCP port"));
    Gateway g("[line]\nport = \"socket://127.0.0.1:" + tcp + "\"\ntimeout = \"300ms\"\n"
              "[[scan]]\nname = \"fast\"\nevery = \"100ms\"\n[[tag]]\nname = \"level\"\naddress = \"N7:0\"\n");
    ASSERT_NE(g.port, 0) << g.serve.Output();
    ASSERT_TRUE(WaitFor([&] { return g.Tag("level").value("quality", 0) == 192; }));
    const nlohmann::json good = g.Tag("level");
    ASSERT_EQ(sim->Stop(SIGINT), 0);
    ASSERT_TRUE(WaitFor([&] { return g.Tag("level").value("quality", 192) == 0; }));
    const nlohmann::json lost = g.Tag("level");
    EXPECT_EQ(lost["value"], 321);
    EXPECT_GE(lost["time"].get<std::string>(), good["time"].get<std::string>());
    ASSERT_TRUE(WaitFor([&] { return g.Get("/api/status")["line"]["state"] == "lost"; }));
    // While the line is lost every scan fails at once with its code, and
    // the last good value keeps its time.
    EXPECT_TRUE(WaitFor([&] { return g.Tag("level")["error"].value("code", 0) == 4099; })) << g.Tag("level");
    EXPECT_EQ(g.Tag("level")["time"], lost["time"]);
    EXPECT_EQ(g.Tag("level")["value"], 321);
    sim = std::make_unique<Child>(std::vector<std::string>{"sim", "--listen", tcp, "--seed", seed.path});
    ASSERT_TRUE(sim->Expect("on TCP port"));
    ASSERT_TRUE(WaitFor([&] { return g.Tag("level").value("quality", 0) == 192; })) << g.Tag("level");
    // The line's state is noted when the scan that read the tag ends.
    EXPECT_TRUE(WaitFor([&] { return g.Get("/api/status")["line"]["state"] == "up"; }));
    EXPECT_TRUE(g.serve.Expect("the line is lost"));
    EXPECT_TRUE(g.serve.Expect("the line is back"));
    EXPECT_EQ(g.serve.Stop(SIGINT), 0);
}

TEST(Serve, SighupTakesNewTagsAndABadFileKeepsTheOldOnes) {
    const std::string a = "[[tag]]\nname = \"a\"\naddress = \"N7:0\"\n";
    Gateway g(a);
    ASSERT_NE(g.port, 0) << g.serve.Output();
    ASSERT_TRUE(WaitFor([&] { return g.Tag("a").value("quality", 0) == 192; }));
    g.config.Write(a + "[[tag]]\nname = \"b\"\naddress = \"N7:W1x\"\n[http]\nlisten = \"127.0.0.1:0\"\n");
    g.serve.Signal(SIGHUP);
    EXPECT_TRUE(g.serve.Expect("the tags stay as they were"));
    EXPECT_TRUE(g.serve.Expect(R"(:6:11: tag "b": address "N7:W1x": likely a typo)"));
    EXPECT_EQ(g.Get("/api/tags").size(), 1u);
    g.config.Write(a + "[[tag]]\nname = \"b\"\naddress = \"N7:1\"\n[http]\nlisten = \"127.0.0.1:0\"\n");
    g.serve.Signal(SIGHUP);
    ASSERT_TRUE(WaitFor([&] { return g.Tag("b").value("quality", 0) == 192; }));
    EXPECT_EQ(g.Tag("b")["value"], 200);
    EXPECT_EQ(g.Tag("a")["value"], 100);
    EXPECT_EQ(g.serve.Stop(SIGTERM), 0);
}

TEST(Serve, WhatCannotBeServedEndsBeforeTheLineOpens) {
    File taken("[http]\nlisten = \"127.0.0.1:0\"\n");
    Child holder({"serve", taken.path});
    std::smatch m;
    ASSERT_TRUE(holder.Expect(R"(HTTP on http://127\.0\.0\.1:(\d+)/)", &m));
    const struct {
        std::string config;
        int status;
        const char* message;
    } kCases[] = {
        {"[[tag]]\nname = \"t\"\naddress = \"T4:0.XYZ\"\n", 2, "address \"T4:0.XYZ\": names no valid address"},
        {"[http]\nlisten = \"127.0.0.1:" + std::string(m[1]) + "\"\n", 4, "HTTP: cannot listen on 127.0.0.1:"},
        {"[line]\nport = \"/dev/mira-no-such-device\"\n[http]\nlisten = \"127.0.0.1:0\"\n", 4,
         "cannot open /dev/mira-no-such-device"},
    };
    for (const auto& k : kCases) {
        SCOPED_TRACE(k.message);
        File config(k.config);
        Child serve({"serve", config.path});
        EXPECT_EQ(serve.Wait(), k.status);
        EXPECT_NE(serve.Output().find(k.message), std::string::npos) << serve.Output();
    }
    Child missing({"serve", "/nonexistent-dir/mira.toml"});
    EXPECT_EQ(missing.Wait(), 2);
    EXPECT_EQ(missing.Output(), "/nonexistent-dir/mira.toml: cannot read the file\n");
    EXPECT_EQ(holder.Stop(SIGTERM), 0);
}

// The page as a browser shows it, at a phone's width: the table filled from
// /api within the page's first seconds.
TEST(Serve, TheStatusPageShowsTheTagsInAHeadlessBrowser) {
    const char* chromium = "/usr/bin/chromium";
    if (::access(chromium, X_OK) != 0)
        GTEST_SKIP() << "chromium is not installed (apt-get install chromium; make test installs it)";
    Gateway g("[[tag]]\nname = \"tank/level\"\naddress = \"N7:0\"\n[[tag]]\nname = \"recipe\"\naddress = \"ST9:0\"\n");
    ASSERT_NE(g.port, 0) << g.serve.Output();
    ASSERT_TRUE(WaitFor([&] { return g.Tag("recipe").value("quality", 0) == 192; }));
    char profile[] = "/tmp/mira-chromium-XXXXXX";
    ASSERT_NE(::mkdtemp(profile), nullptr);
    Child browser({chromium, "--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
                   "--disable-background-networking", "--disable-component-update", "--disable-sync",
                   std::string("--user-data-dir=") + profile, "--window-size=375,800", "--virtual-time-budget=5000",
                   "--dump-dom", g.Url() + "/"},
                  true);
    // Chromium's start on a loaded machine takes seconds; the page then runs on virtual time.
    EXPECT_EQ(browser.Wait(milliseconds(90000)), 0);
    const std::string dom = browser.Output();
    std::filesystem::remove_all(profile);
    EXPECT_NE(dom.find(R"(<tr id="tag-tank/level"><td>tank/level</td><td class="value">100</td><td>192</td>)"),
              std::string::npos)
        << dom;
    EXPECT_NE(dom.find(R"(<td class="value">"MIRA"</td>)"), std::string::npos);
    EXPECT_NE(dom.find(R"(<span id="state" class="state up">up</span>)"), std::string::npos);
    EXPECT_EQ(g.serve.Stop(SIGTERM), 0);
}

}  // namespace
