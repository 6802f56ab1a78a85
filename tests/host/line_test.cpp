// The host's line against the built-in simulator: one line per process, the
// cancel hook ending a wait, and what a read gives item by item. Each kind
// written and read back: LineThread.WritesAreMadeAndReadBackBeforeTheyAnswer.
#include "host/line.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "host/checks.h"
#include "host/codes.h"
#include "mira/portkit_codes.h"

namespace mira::host {
namespace {

std::string Shown(const ItemResult& r) {
    return r.code != 0 ? "error " + std::to_string(r.code) : FormatValue(r.value, false);
}

TEST(Line, OneLinePerProcess) {
    LineSettings sim;
    Line first, second;
    std::string why;
    ASSERT_EQ(first.Open(sim, {}, &why), 0) << why;
    EXPECT_EQ(second.Open(sim, {}, &why), kLineAlreadyOpen);
    EXPECT_NE(why.find("one line per process"), std::string::npos) << why;
    EXPECT_FALSE(ApplyModelOnly(sim)) << "the open line's settings stand";
    std::vector<ItemResult> results;
    EXPECT_EQ(first.Read("N7:0", {"W0"}, &results), 0) << "the refused open left the line alone";
    first.Close();
    // A failed open gives the driver back as well.
    LineSettings missing;
    missing.port = "/dev/mira-no-such-device";
    EXPECT_EQ(second.Open(missing, {}, &why), MIRA_PK_ERR_NO_DEVICE);
    EXPECT_NE(why.find("cannot open /dev/mira-no-such-device"), std::string::npos) << why;
    EXPECT_TRUE(ApplyModelOnly(sim));
    EXPECT_EQ(second.Open(sim, {}, &why), 0) << why;
    EXPECT_EQ(first.Read("N7:0", {"W0"}, &results), MIRA_PK_ERR_CLOSED);
}

// The flag set 100 ms into a wait: a read of a station the simulator is not,
// which answers nothing, and the open of a line where no one answers its
// line resets (1.2 s). Each ends with the cancel code, and the driver is
// sound for the next open once the flag is down.
TEST(Line, CancelEndsTheOpenAndAWait) {
    const int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_TRUE(master >= 0 && ::grantpt(master) == 0 && ::unlockpt(master) == 0);
    LineSettings silent;
    silent.port = ::ptsname(master);
    LineSettings sim;
    sim.timeoutMs = 60000;
    sim.ackTimeoutMs = 60000;  // Portkit's own wait for the DLE ACK as long
    const struct { const char* name; const LineSettings& settings; bool read; } rows[] = {
        {"a reply wait", sim, true}, {"the open's line resets", silent, false}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        std::atomic<bool> cancel{false};
        OpenOptions options;
        options.cancel = &cancel;
        Line line;
        std::string why;
        std::vector<ItemResult> results;
        if (row.read) {
            ASSERT_EQ(line.Open(row.settings, options, &why), 0) << why;
        }
        std::thread canceller([&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            cancel.store(true);
        });
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(row.read ? line.Read(9, "N7:0", {"W0", "W1"}, &results) : line.Open(row.settings, options, &why),
                  MIRA_PK_ERR_CANCELLED);
        const auto took = std::chrono::steady_clock::now() - start;
        canceller.join();
        // The open alone would take 1.2 s, the read 60 s: the flag's 100 ms and a 10 ms pass
        // of Portkit's receive thread, with 500 ms for a loaded machine under a sanitizer.
        EXPECT_LT(took, std::chrono::milliseconds(100 + 10 + 500));
        EXPECT_EQ(line.IsOpen(), row.read);
        EXPECT_EQ(results.size(), row.read ? 2u : 0u);
        EXPECT_EQ(row.read ? results[1].message : why.substr(why.find(": ") + 2), DescribeCode(MIRA_PK_ERR_CANCELLED));
    }
    ::close(master);
    Line line;
    std::string why;
    std::vector<ItemResult> results;
    ASSERT_EQ(line.Open(LineSettings{}, {}, &why), 0) << why;
    EXPECT_EQ(line.Read("N7:0", {"W0"}, &results), 0);
}

// The item texts our hosts hand the driver, and what a group write refuses (nothing for a text the
// driver refuses as typed, S0/4 and T4:0 W0, which keeps the driver's code).
TEST(Line, WholeStringsGroupWritesAndLetterHeaders) {
    ASSERT_TRUE(ApplyModelOnly(LineSettings{}));
    const struct { const char* header; const char* item; const char* sent; const char* group; } rows[] = {
        {"ST9:0", "S0", "S0.82", "a string"}, {"ST9:0", "0", "0.82", "a string"},
        {"ST9:0", "S0.4", "S0.4", "a string"}, {"ST9:0", "S0/4", "S0/4", ""},
        {"N7:0", "W0", "W0", ""}, {"F8:0", "F1", "F1", ""}, {"N7:0", "W0/3", "W0/3", "a bit"},
        {"B3:0", "0/3", "0/3", "a bit"}, {"T4:0", "0.PRE", "0.PRE", "a timer, counter or control part"},
        {"T4:0", "W0", "W0", ""}, {"C5:0", "0.DN", "0.DN", "a timer, counter or control part"},
    };
    for (const auto& [header, item, sent, group] : rows) {
        SCOPED_TRACE(std::string(header) + " " + item);
        EXPECT_EQ(WholeStringItem(header, item), sent);
        EXPECT_EQ(GroupWriteProblem(header, item), group);
    }
    const std::pair<const char*, const char*> keys[] = {
        {"integer/0:7:5", "N7:5"}, {"timer/0:4:0", "T4:0"}, {"bit/0:3:12", "B3:12"},
        {"integer/2:7:5", ""}, {"unknown/0:5:6", ""}, {"U:10", ""}};
    for (const auto& [key, letters] : keys) EXPECT_EQ(LetterHeader(key), letters) << key;
}

TEST(Line, ResultsItemByItem) {
    const struct { const char* name; const char* port; const char* header; std::vector<std::string> items;
                   int32_t code; std::vector<std::string> shown; uint32_t type; } rows[] = {
        {"words", "sim", "N7:0", {"W0", "W1", "W2"}, 0, {"100", "200", "-300"}, MIRA_VALUE_INTEGER},
        {"float", "sim", "F8:0", {"F0"}, 0, {"3.14159"}, MIRA_VALUE_DOUBLE},
        {"string", "sim", "ST9:0", {"S0.4"}, 0, {"MIRA"}, MIRA_VALUE_STRING},
        {"whole strings", "sim", "ST9:0", {"S0", "0", "S0.2"}, 0, {"MIRA", "MIRA", "MI"}, MIRA_VALUE_STRING},
        {"timer parts", "sim", "T4:0", {"0.PRE", "0.ACC"}, 0, {"1000", "250"}, MIRA_VALUE_INTEGER},
        // An item beyond one read fails the group: every item carries the code.
        {"beyond a read", "sim", "N7:0", {"W0", "W200"}, MIRA_ERR_RANGE, {"error -39", "error -39"}, 0},
        {"bad header", "sim", "Q7:0", {"W0"}, MIRA_ERR_BAD_HEADER, {"error -37"}, 0},
        {"PLC-5 words", "sim:plc5", "N7:0", {"W0", "W1"}, 0, {"100", "200"}, MIRA_VALUE_INTEGER},
    };
    Line line;  // opened again where the port changes: an open costs its line resets
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        LineSettings settings;
        settings.port = row.port;
        std::string why;
        if (line.Settings().port != row.port || !line.IsOpen()) {
            line.Close();
            ASSERT_EQ(line.Open(settings, {}, &why), 0) << why;
        }
        const MiraFileTime before = LocalNow();
        std::vector<ItemResult> results;
        EXPECT_EQ(line.Read(settings.dst, row.header, row.items, &results), row.code);
        ASSERT_EQ(results.size(), row.items.size());
        for (size_t k = 0; k < results.size(); ++k) {
            const ItemResult& r = results[k];
            EXPECT_EQ(r.item, row.items[k]);
            EXPECT_EQ(Shown(r), row.shown[k]);
            EXPECT_EQ(r.value.type, row.type);
            EXPECT_EQ(r.quality, row.code == 0 ? static_cast<int32_t>(MIRA_QUALITY_GOOD) : -1);
            EXPECT_EQ(r.message.empty(), row.code == 0) << r.message;
            // The driver's stamp and the host's clock are the same local time:
            // no more apart than a read takes (1 s is far beyond it).
            const auto ticks = [](MiraFileTime t) { return (uint64_t{t.highDateTime} << 32) | t.lowDateTime; };
            EXPECT_LE(ticks(before), ticks(r.time) + 10000000u) << FormatFileTime(r.time);
            EXPECT_LE(ticks(r.time), ticks(LocalNow()) + 10000000u) << FormatFileTime(r.time);
        }
    }
}

}  // namespace
}  // namespace mira::host
