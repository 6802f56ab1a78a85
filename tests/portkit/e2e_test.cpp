// The driver with this Portkit on one end of a pseudo-terminal (or loopback TCP)
// and the simulator on the other: each class's exchanges and the faults of a real line.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "host/checks.h"
#include "host/line.h"
#include "mira/portkit_codes.h"
#include "portkit/portkit_host.h"
#include "sim_peer.h"

namespace {

namespace sim = mira::sim;
using namespace mira::test::bounds;
using mira::host::ItemResult;
using mira::test::SimPeer;
using Clock = std::chrono::steady_clock;
using Strings = std::vector<std::string>;

constexpr int kUnsolicitedSlots = 20;  // the frames the driver holds for the host

struct Line { const char* name; const char* model; sim::Family family; bool crc; };  // model: the driver's text
void PrintTo(const Line& line, std::ostream* out) { *out << line.name; }

sim::Options SimOptions(const Line& line) {
    sim::Options o;
    o.family = line.family;
    o.crc = line.crc;
    if (line.family != sim::Family::Plc2) o.extraFiles.push_back({"ST", 9, 8});
    return o;
}

// Values as a read shows them ("" for a failed item).
Strings Shown(const std::vector<ItemResult>& results) {
    Strings shown;
    for (const ItemResult& r : results) shown.push_back(r.code != 0 ? "" : mira::host::FormatValue(r.value, false));
    return shown;
}

// One line open through the host library on the port, as Portkit sees it: every request goes out as
// asked (no transaction spent first). Closed at the end of the test, whatever happened.
struct Session {
    Session(const std::string& port, const Line& line, uint32_t timeoutMs = 500, bool window = false,
            uint32_t ackTimeoutMs = kAckTimeoutMs) {
        mira::host::LineSettings s;
        s.port = port;
        s.model = line.model;
        s.crc = line.crc;
        s.timeoutMs = timeoutMs;
        s.ackTimeoutMs = ackTimeoutMs;
        mira::host::OpenOptions o;
        o.window = window;
        o.spendFirstTransaction = false;
        std::string why;
        openError = host.Open(s, o, &why);
        open = openError == 0;
    }
    bool open = false;
    int32_t openError = 0;

    // A group read's error; the results, their values as Shown and the time it took stay behind.
    int32_t Read(const std::string& header, const Strings& items) {
        const int32_t error = Timed([&] { return host.Read(header, items, &results); });
        shown = Shown(results);
        return error;
    }
    std::vector<ItemResult> results;
    Strings shown;
    long took = 0;

    // Values typed as `mira write` types them: to the items as a group, or the first to `item` alone.
    int32_t Write(const std::string& header, const Strings& items, const Strings& texts, const char* item = nullptr) {
        std::vector<HostValueCore> values(texts.size());
        std::string why;
        for (size_t k = 0; k < texts.size(); ++k)
            if (!mira::host::MakeValue(header, item ? item : items[k], texts[k], &values[k], &why)) return -1;
        const uint32_t dst = host.Settings().dst;
        return Timed([&] { return item ? host.WriteItem(dst, header, item, values[0])
                                       : host.WriteGroup(dst, header, items, values); });
    }
    mira::host::Line host;

private:
    // The host gives up on an exchange 5 s past its reply time-out with a time-out of its own: here
    // that is an exchange that did not end.
    template <class Exchange>
    int32_t Timed(Exchange exchange) {
        const auto start = Clock::now();
        const int32_t error = exchange();
        took = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
        EXPECT_LT(took, static_cast<long>(host.Settings().timeoutMs) + 5000) << "the exchange did not end";
        return error;
    }
};

// One line per class: the check mode is the link's, pinned byte by byte in tests/link.
constexpr Line kLines[] = {{"Slc500Crc", "SLC500", sim::Family::Slc500, true},
                           {"Plc5Bcc", "PLC5", sim::Family::Plc5, false},
                           {"Plc2Bcc", "PLC2", sim::Family::Plc2, false}};

// What the controller holds before each test of a class.
constexpr const char* kTables =
    "N7:0=100\nN7:1=200\nN7:2=-300\nB3:0=5\nF8:0=3.14159\nF8:1=-0.5\n"
    "T4:0.PRE=1000\nT4:0.ACC=250\nT4:0.DN=1\nST9:0=\"HELLO MIRA\"\n";
constexpr const char* kPlc2Tables = "U:0=100\nU:1=200\nU:2=-300\n";

// The path of `mira listen`: the controller writes 11 and 22, the window message carries
// the key, the host hands it back with W0 and W1 and gets the words; the answer within 2 s.
void DeliverUnsolicited(SimPeer& peer, mira::host::Line& host, sim::Family family) {
    const bool slc = family == sim::Family::Slc500;
    slc ? peer.sim().SendUnsolicitedTypedWrite(0, 7, 0x89, 5, 0, {11, 22})
        : peer.sim().SendUnsolicitedPlc2Write(0, 80, {11, 22});
    mira::host::UnsolicitedKey key;
    ASSERT_TRUE(host.NextUnsolicited(3000, &key));
    EXPECT_EQ(key.header + " from " + key.station, slc ? "integer/0:7:5 from 1" : "U:80 from 1");
    std::vector<ItemResult> results;
    ASSERT_EQ(host.TakeUnsolicited(key, {"W0", "W1"}, &results), 0);
    EXPECT_EQ(Shown(results), (Strings{"11", "22"}));
    std::vector<std::vector<uint8_t>> replies;
    for (const auto end = Clock::now() + std::chrono::seconds(2); replies.empty() && Clock::now() < end;) {
        replies = peer.sim().TakeMasterReplies();
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    ASSERT_EQ(replies.size(), 1u);
    ASSERT_GE(replies[0].size(), 4u);
    EXPECT_EQ(replies[0][3], 0);  // STS: done
}

class EveryClass : public ::testing::TestWithParam<Line> {
protected:
    void SetUp() override {
        peer = std::make_unique<SimPeer>(SimOptions(GetParam()));
        ASSERT_EQ(peer->sim().Seed(plc2() ? kPlc2Tables : kTables), 0);
        session = std::make_unique<Session>(peer->port(), GetParam());
        ASSERT_TRUE(session->open) << session->openError;
    }
    bool plc2() const { return GetParam().family == sim::Family::Plc2; }

    std::unique_ptr<SimPeer> peer;
    std::unique_ptr<Session> session;  // closed before the peer goes
};

TEST_P(EveryClass, ReadsAndWritesOfEveryKind) {
    const struct {
        const char* header;
        Strings items;
        Strings expected;           // read, after the write if there is one
        bool plc2;                  // a PLC-2 has one word table and no typed files
        Strings written = {};       // written to the items as a group ...
        const char* item = nullptr;  // ... or the first to this item alone
    } rows[] = {
        {"B3:0", {"0/0", "0/1", "0/2"}, {"1", "0", "1"}, false},
        {"F8:0", {"0", "1"}, {"3.14159", "-0.5"}, false},
        {"ST9:0", {"S0.10"}, {"HELLO MIRA"}, false},
        {"T4:0", {"0.PRE", "0.ACC", "0.DN", "0.EN"}, {"1000", "250", "1", "0"}, false},
        {"N7:20", {"W0", "W1", "W2"}, {"7", "-1", "32767"}, true, {"7", "-1", "32767"}},
        {"F8:4", {"0", "1"}, {"2.5", "-1000"}, false, {"2.5", "-1e3"}},
        // A neighbour read back shows the rest of the word survived; clearing is in tests/commands.
        {"N7:1", {"W0"}, {"216"}, true, {"1"}, "0/4"},
        {"T4:0", {"0.PRE", "0.ACC", "0.DN"}, {"1500", "250", "1"}, false, {"1500"}, "0.PRE"},
        {"ST9:1", {"S0.6"}, {"MIRA 2"}, false, {"MIRA 2"}, "S0.6"},
    };
    for (const auto& row : rows) {
        if (plc2() && !row.plc2) continue;
        SCOPED_TRACE(std::string(row.header) + " " + (row.item ? row.item : row.items[0]));
        if (!row.written.empty()) {
            ASSERT_EQ(session->Write(row.header, row.items, row.written, row.item), 0);
        }
        ASSERT_EQ(session->Read(row.header, row.items), 0);
        EXPECT_EQ(session->shown, row.expected);
        for (const ItemResult& r : session->results) EXPECT_EQ(r.quality, MIRA_QUALITY_GOOD);
    }
}

INSTANTIATE_TEST_SUITE_P(Lines, EveryClass, ::testing::ValuesIn(kLines),
                         [](const auto& info) { return std::string(info.param.name); });

PkLinkCounters Counters() {
    PkLinkCounters c{};
    PkGetLinkCountersEx(&c, sizeof c);
    return c;
}

// The faults of the line on one open driver; a corrupt reply is dropped, so it ends in the time-out.
TEST(EndToEnd, LineFaultsEndInTheirCodesAndTheNextReadWorks) {
    const Line line = kLines[0];
    SimPeer peer(SimOptions(line));
    ASSERT_EQ(peer.sim().Seed("N7:0=100\nN7:1=200\n"), 0);
    // The default reply time-out and ACK time-out doubled: a peer's answer was seen 370 ms late under load.
    constexpr uint32_t kTimeout = 1000;
    constexpr uint32_t kAckMs = kLoadFactor * kAckTimeoutMs;
    Session session(peer.port(), line, kTimeout, false, kAckMs);
    ASSERT_TRUE(session.open);

    using sim::FaultKind;
    // The late reply comes in the middle of the four line resets after the time-out.
    const sim::Fault late{.kind = FaultKind::Delay, .delayMs = kTimeout + 2 * kLineResetMs};
    const struct {
        const char* what;
        bool inject;
        sim::Fault fault;
        int32_t error;
        // What the counters gain: the exchange's DLE ENQs and refused frames, and the failed read's
        // line resets apart from them.
        uint64_t resent, refused, badChecks, enqs, resets;
    } rows[] = {
        {"good", false, {}, 0, 0, 0, 0, 0, 0},
        {"corrupted reply", true, {.kind = FaultKind::CorruptCheck}, MIRA_PK_ERR_TIMEOUT, 0, 0, 1, 0, 4},
        {"after the corrupted reply", false, {}, 0, 0, 0, 0, 0, 0},
        {"one NAK: the frame again", true, {.kind = FaultKind::Nak}, 0, 1, 1, 0, 0, 0},
        {"three NAKs, then the ACK", true, {.kind = FaultKind::Nak, .times = 3}, 0, 3, 3, 0, 0, 0},
        {"NAK to every frame", true, {.kind = FaultKind::Nak, .times = 0}, MIRA_PK_ERR_REFUSED, 3, 4, 0, 0, 4},
        {"after the NAKs", false, {}, 0, 0, 0, 0, 0, 0},
        {"lost ACK: DLE ENQ, answered by ACK", true, {.kind = FaultKind::NoAck}, 0, 0, 0, 0, 1, 0},
        {"silent controller", true, {.kind = FaultKind::NoReply}, MIRA_PK_ERR_TIMEOUT, 0, 0, 0, 0, 4},
        {"after the silence", false, {}, 0, 0, 0, 0, 0, 0},
        {"reply past the time-out", true, late, MIRA_PK_ERR_TIMEOUT, 0, 0, 0, 0, 4},
        {"after the late reply", false, {}, 0, 0, 0, 0, 0, 0},
        {"and again", false, {}, 0, 0, 0, 0, 0, 0},
    };
    const auto gain = [](const PkLinkCounters& before, const PkLinkCounters& after, uint64_t PkLinkCounters::*field) {
        return after.*field - before.*field;
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        if (row.inject) peer.sim().InjectFault(row.fault);
        const PkLinkCounters before = Counters();
        ASSERT_EQ(session.Read("N7:0", {"W0", "W1"}), row.error);
        if (row.error == 0) {
            EXPECT_EQ(session.shown, (Strings{"100", "200"}));
        } else {
            // Not before the reply time-out unless NAKs end it at once; past it only channel bounds and resets.
            EXPECT_GE(session.took, row.error == MIRA_PK_ERR_TIMEOUT ? kTimeout - 10 : 0);
            EXPECT_LT(session.took, static_cast<long>(kTimeout) + kAfterTimeoutMs);
        }
        // A lost ACK's DLE ENQ goes out an ACK time-out after the frame; each of four line resets sends one.
        const auto settle = Clock::now() + std::chrono::milliseconds(kLoadFactor * (kAckMs + 100));
        while (gain(before, Counters(), &PkLinkCounters::enqsSent) < row.enqs + row.resets && Clock::now() < settle)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        const PkLinkCounters after = Counters();
        EXPECT_EQ(gain(before, after, &PkLinkCounters::retransmissions), row.resent);
        EXPECT_EQ(gain(before, after, &PkLinkCounters::framesRefused), row.refused);
        EXPECT_EQ(gain(before, after, &PkLinkCounters::badChecks), row.badChecks);
        // Four NAKs may all be back before the start reads the error word: no finish runs the resets.
        const bool startSawRefusal = row.error == MIRA_PK_ERR_REFUSED && after.lineResets == before.lineResets;
        const uint64_t resets = gain(before, after, &PkLinkCounters::lineResets);
        EXPECT_EQ(resets, startSawRefusal ? 0 : row.resets);
        EXPECT_EQ(gain(before, after, &PkLinkCounters::enqsSent), row.enqs + resets);
        // Each reset is answered within its 300 ms, and no answer is taken for a frame's.
        EXPECT_EQ(gain(before, after, &PkLinkCounters::resetAcks) + gain(before, after, &PkLinkCounters::resetNaks),
                  resets);
        EXPECT_EQ(gain(before, after, &PkLinkCounters::naksReceived),
                  row.refused + gain(before, after, &PkLinkCounters::resetNaks));
        peer.sim().ClearFaults();
    }
}

// A two-wire adapter hands back every byte sent: alone, no read is good and no write succeeds; with a
// controller, exchanges and its unsolicited write work and no own frame is announced as its command.
// One class per frame check: a PLC-5's unsolicited write takes the PLC-2's path in the driver.
TEST(EndToEnd, AnEchoingLineNeverTakesOurOwnFramesForTheController) {
    for (const Line& line : {kLines[0], kLines[2]}) {
        SCOPED_TRACE(line.name);
        SimPeer peer(SimOptions(line));
        ASSERT_EQ(peer.sim().Seed(line.family == sim::Family::Plc2 ? kPlc2Tables : kTables), 0);
        peer.Echo(true, false);
        // The default reply time-out: the exchanges with the controller must not fail on a loaded machine.
        Session session(peer.port(), line, 1000, true);
        ASSERT_TRUE(session.open);
        EXPECT_EQ(session.Read("N7:0", {"W0"}), MIRA_PK_ERR_TIMEOUT);
        EXPECT_NE(session.results[0].quality, MIRA_QUALITY_GOOD);
        EXPECT_EQ(session.Write("N7:0", {"W0"}, {"5"}), MIRA_PK_ERR_TIMEOUT);

        peer.Echo(true, true);
        ASSERT_EQ(session.Write("N7:1", {"W0"}, {"5"}), 0);
        ASSERT_EQ(session.Read("N7:0", {"W0", "W1"}), 0);
        EXPECT_EQ(session.shown, (Strings{"100", "5"}));
        DeliverUnsolicited(peer, session.host, line.family);
        // The answer's echo arrives within a receive poll (10 ms); 300 ms is room for a loaded machine.
        mira::host::UnsolicitedKey key;
        EXPECT_FALSE(session.host.NextUnsolicited(300, &key)) << "our own answer was announced";
    }
}

// A controller writes every 5 ms to a host that first collects nothing, then a message every 15 ms, then the
// rest: the first 20 frames wait in the slots, each frame that finds none free is answered with STS 0x90 at
// once (the 21st first), each message delivers its own frame, oldest first, and every frame is answered once.
TEST(EndToEnd, FramesBeyondTheSlotsAreRefusedAndNoneIsLost) {
    const Line line = kLines[0];
    SimPeer peer(SimOptions(line));
    Session session(peer.port(), line, 1000, true);
    ASSERT_TRUE(session.open);
    const PkLinkCounters before = Counters();
    ASSERT_TRUE(peer.sim().SetPeriodicWrite(0, "N7:0", 0, {5}, 5));
    std::vector<std::vector<uint8_t>> replies;
    const auto collect = [&](int messages, std::chrono::milliseconds pause) {
        if (messages == 0) std::this_thread::sleep_for(pause);
        for (mira::host::UnsolicitedKey key; messages-- > 0 && session.host.NextUnsolicited(300, &key);) {
            std::vector<ItemResult> results;
            EXPECT_EQ(session.host.TakeUnsolicited(key, {"0"}, &results), 0);
            EXPECT_EQ(Shown(results), Strings{"5"});
            std::this_thread::sleep_for(pause);
        }
        for (auto& r : peer.sim().TakeMasterReplies()) replies.push_back(std::move(r));
    };
    const auto deadline = Clock::now() + std::chrono::seconds(20);  // a hang bound only
    while (replies.size() < 5 && Clock::now() < deadline) collect(0, std::chrono::milliseconds(5));
    collect(30, std::chrono::milliseconds(15));
    peer.sim().SetPeriodicUnsolicited({}, 0);
    while (replies.size() < peer.sim().GetStats().ownCommands && Clock::now() < deadline)
        collect(kUnsolicitedSlots, std::chrono::milliseconds(0));
    const sim::Stats stats = peer.sim().GetStats();
    std::string seen(stats.ownCommands + 1, '-');  // by TNS: d done, r refused with STS 0x90
    int lastDone = 0;
    for (const auto& r : replies) {
        const int tns = r.at(4) | r.at(5) << 8;
        ASSERT_TRUE(tns >= 1 && tns <= int(stats.ownCommands) && seen[size_t(tns)] == '-') << tns;
        seen[size_t(tns)] = r[3] == 0x90 ? 'r' : r[3] == 0 ? 'd' : '?';
        EXPECT_TRUE(r[3] != 0 || tns > std::exchange(lastDone, tns)) << tns << " delivered out of order";
    }
    EXPECT_EQ(seen.substr(1, 21), std::string(20, 'd') + "r") << "the 21st frame is the first without a slot";
    const PkLinkCounters after = Counters();  // what the line did, should a frame go missing
    EXPECT_EQ(seen.find_first_of("-?", 1), std::string::npos)
        << seen << "; sim: " << stats.enqsSent << " ENQ sent, " << stats.abandoned << " abandoned, " << stats.badChecks
        << " bad checks; driver: " << after.enqsReceived - before.enqsReceived << " ENQ received, "
        << after.badChecks - before.badChecks << " bad checks, " << after.linesLost - before.linesLost << " lost lines";
    const auto refused = static_cast<uint64_t>(std::count(seen.begin(), seen.end(), 'r'));
    EXPECT_EQ(after.cannotBufferReplies - before.cannotBufferReplies, refused);
    EXPECT_EQ(stats.cannotBuffer, refused);
}

// A device server restarts (for a while accepting and closing at once), an adapter is pulled out and plugged
// in again under its by-id link: the read in flight ends at once, and so does every read until the line is back.
TEST(EndToEnd, ALostLineEndsTheReadAtOnceAndComesBack) {
    const struct { const char* what; Line line; SimPeer::Via via; int32_t lost; } rows[] = {
        {"device server restarts", kLines[1], SimPeer::Via::Tcp, MIRA_PK_ERR_DISCONNECTED},
        {"adapter plugged in again", kLines[0], SimPeer::Via::Pty, MIRA_PK_ERR_CLOSED},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        const bool tcp = row.via == SimPeer::Via::Tcp;
        auto peer = std::make_unique<SimPeer>(SimOptions(row.line), row.via);
        char dir[] = "/tmp/mira-byid-XXXXXX";
        ASSERT_NE(::mkdtemp(dir), nullptr);
        const std::string link = std::string(dir) + "/usb-plc";
        ASSERT_TRUE(tcp || ::symlink(peer->port().c_str(), link.c_str()) == 0);
        constexpr uint32_t kTimeout = 5000;
        Session session(tcp ? peer->port() : link, row.line, kTimeout);
        ASSERT_TRUE(session.open) << session.openError;
        const PkLinkCounters before = Counters();
        peer->sim().InjectFault({.kind = sim::FaultKind::NoReply});
        std::thread unplug([&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            peer->Vanish();
            ::unlink(link.c_str());
        });
        EXPECT_EQ(session.Read("N7:0", {"W0"}), row.lost);
        unplug.join();
        EXPECT_LT(session.took, static_cast<long>(kTimeout));  // the loss ends it, not the time-out
        EXPECT_EQ(session.Read("N7:0", {"W0"}), MIRA_PK_ERR_CLOSED);
        EXPECT_LT(session.took, kAfterTimeoutMs);

        peer = std::make_unique<SimPeer>(SimOptions(row.line), row.via, peer->tcpPort());
        ASSERT_EQ(peer->sim().Seed("N7:0=100\n"), 0);
        ASSERT_TRUE(tcp || ::symlink(peer->port().c_str(), link.c_str()) == 0);
        peer->Slam(tcp);  // accepts and closes at once until a reopen has met it
        // Reopens at 1 s (refused: the failed read's resets outlast it), 3 s (slammed), 4 s; + 1 s, twice over.
        const auto end = Clock::now() + std::chrono::milliseconds(kLoadFactor * (4 * kFirstReopenMs + 1000));
        int32_t error = 0;
        // Reads go on as `mira poll` does; every failure ends at once with a lost line's code.
        while ((error = session.Read("N7:0", {"W0"})) != 0 && Clock::now() < end) {
            EXPECT_TRUE(error == MIRA_PK_ERR_CLOSED || error == MIRA_PK_ERR_DISCONNECTED) << error;
            EXPECT_LT(session.took, kAfterTimeoutMs);
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            if (Counters().linesLost - before.linesLost >= 2) peer->Slam(false);
        }
        ASSERT_EQ(error, 0) << "the line did not come back";
        EXPECT_EQ(session.shown, Strings{"100"});
        const PkLinkCounters after = Counters();
        EXPECT_GE(after.linesLost - before.linesLost, tcp ? 2u : 1u);
        EXPECT_EQ(after.linesLost - before.linesLost, after.reconnects - before.reconnects);
        ::unlink(link.c_str());
        ::rmdir(dir);
    }
}

TEST(EndToEnd, ANoiseFloodEndsInATimeOutAndTheLineRecovers) {
    const Line line = kLines[1];
    SimPeer peer(SimOptions(line));
    ASSERT_EQ(peer.sim().Seed("N7:0=100\n"), 0);
    constexpr uint32_t kTimeout = 300;
    Session session(peer.port(), line, kTimeout);
    ASSERT_TRUE(session.open);
    peer.Flood(true);
    for (int i = 0; i < 3; ++i) {
        EXPECT_NE(session.Read("N7:0", {"W0"}), 0);  // a time-out, or an overflowing frame of noise
        EXPECT_LT(session.took, static_cast<long>(kTimeout) + kAfterTimeoutMs);
    }
    // Noise still on its way in goes through HandInts within one line reset, twice over under load.
    peer.Flood(false);
    std::this_thread::sleep_for(std::chrono::milliseconds(kLoadFactor * kLineResetMs));
    EXPECT_EQ(session.Read("N7:0", {"W0"}), 0);
    EXPECT_EQ(session.shown, Strings{"100"});
}

}  // namespace
