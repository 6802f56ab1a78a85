// The driver with this Portkit on one end of a pseudo-terminal (or loopback TCP)
// and the simulator on the other: each class's exchanges and the faults of a real line.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <string>
#include <vector>

#include "mira/mira.h"
#include "mira/portkit_codes.h"
#include "portkit/portkit_host.h"
#include "setup/portkit.h"
#include "sim_peer.h"

namespace {

namespace sim = mira::sim;
using mira::test::SimPeer;
using Clock = std::chrono::steady_clock;

std::u16string W(const std::string& text) { return std::u16string(text.begin(), text.end()); }

// The integer in decimal, a double to six significant digits, a string in quotes.
std::string Shown(uint32_t type, const MiraValue& value) {
    char buf[96] = "\"";
    if (type == MIRA_VALUE_INTEGER) return std::to_string(value.integer);
    if (type != MIRA_VALUE_STRING)
        return type == MIRA_VALUE_DOUBLE && std::snprintf(buf, sizeof buf, "%.6g", value.real) > 0 ? buf : "?";
    for (size_t i = 0; i < 84 && value.text[i] != 0; ++i)
        buf[i + 1] = value.text[i] < 0x80 ? static_cast<char>(value.text[i]) : '?';
    return std::string(buf) + "\"";
}

struct Line {
    const char* name;
    const char* model;    // the driver's model text
    sim::Family family;
    bool crc;
};

void PrintTo(const Line& line, std::ostream* out) { *out << line.name; }

sim::Options SimOptions(const Line& line) {
    sim::Options o;
    o.family = line.family;
    o.crc = line.crc;
    if (line.family != sim::Family::Plc2) o.extraFiles.push_back({"ST", 9, 8});
    return o;
}

DriverSettings Settings(const std::string& port, const Line& line, uint32_t timeoutMs) {
    DriverSettings s{};
    const std::u16string name = W(port), model = W(line.model), mode = u"Standard";
    std::copy(name.begin(), name.end(), s.portName);
    std::copy(model.begin(), model.end(), s.ModelText);
    std::copy(mode.begin(), mode.end(), s.ModeText);
    s.StationText[0] = u'0';
    s.ErrorCheckOption = line.crc ? 1 : 0;
    s.replyTimeoutMs = timeoutMs;
    return s;
}

// What the unsolicited window message hands over: the key texts, in order.
struct Window {
    MiraWindow record{};
    std::mutex mutex;
    std::condition_variable wake;
    std::deque<std::u16string> keys;

    Window() {
        record.context = this;
        record.post = [](void* context, uint32_t message, uintptr_t, intptr_t lParam) {
            auto* self = static_cast<Window*>(context);
            if (message != MIRA_WM_UNSOLICITED || lParam == 0) return;
            std::u16string key(reinterpret_cast<const char16_t*>(lParam));
            std::lock_guard<std::mutex> lock(self->mutex);
            self->keys.push_back(key);
            self->wake.notify_one();
        };
    }
    bool Take(std::u16string* key, std::chrono::milliseconds limit) {
        std::unique_lock<std::mutex> lock(mutex);
        if (!wake.wait_for(lock, limit, [&] { return !keys.empty(); })) return false;
        *key = keys.front();
        keys.pop_front();
        return true;
    }
};

// Item texts as the driver takes them.
struct Texts {
    std::vector<std::u16string> texts;
    std::vector<const char16_t*> pointers;
    explicit Texts(const std::vector<std::string>& items) {
        for (const auto& item : items) texts.push_back(W(item));
        for (const auto& text : texts) pointers.push_back(text.c_str());
    }
};

// One open driver; closes it at the end of the test, whatever happened.
class Session {
public:
    Session(const std::string& port, const Line& line, uint32_t timeoutMs = 500, Window* window = nullptr)
        : timeoutMs_(timeoutMs) {
        const DriverSettings s = Settings(port, line, timeoutMs);
        char16_t version[8] = {};
        const auto handle = window != nullptr ? reinterpret_cast<MiraWindowHandle>(&window->record) : 0;
        open_ = UDrvOpen(handle, &s, version, &openError_) == 1 && openError_ == 0;
    }
    ~Session() {
        if (open_) UDrvClose();
    }
    bool open() const { return open_; }
    int32_t openError() const { return openError_; }

    // A group read's error; the records, their values as Shown and the time it took stay behind.
    int32_t Read(const std::string& header, const std::vector<std::string>& items) {
        Texts texts(items);
        raw.assign(items.size(), HostValue{});
        shown.clear();
        const auto start = Clock::now();
        int32_t error = 0;
        const auto count = static_cast<int32_t>(items.size());
        if (UDrvReadGroupStart(u"1", W(header).c_str(), texts.pointers.data(), count, &error) != 1)
            error = error != 0 ? error : -1;
        else
            error = Await([&](int32_t* e) { return UDrvReadGroupFinishExt(raw.data(), 0, count, e); });
        took = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
        for (const HostValue& v : raw) shown.push_back(Shown(v.valueType, v.value));
        return error;
    }
    std::vector<HostValue> raw;
    std::vector<std::string> shown;
    long took = 0;

    int32_t WriteGroup(const std::string& header, const std::vector<std::string>& items,
                       const std::vector<HostValueCore>& values) {
        Texts texts(items);
        std::vector<HostValueCore> copy = values;
        int32_t error = 0;
        if (UDrvWriteGroupStart(u"1", W(header).c_str(), texts.pointers.data(), copy.data(),
                                static_cast<int32_t>(items.size()), &error) != 1)
            return error != 0 ? error : -1;
        return Await([](int32_t* e) { return UDrvWriteGroupFinish(e); });
    }

    int32_t WriteItem(const std::string& header, const std::string& item, HostValueCore value) {
        int32_t error = 0;
        if (UDrvWriteItemStart(u"1", W(header).c_str(), W(item).c_str(), &value, &error) != 1)
            return error != 0 ? error : -1;
        return Await([](int32_t* e) { return UDrvWriteItemFinish(e); });
    }

private:
    // Finish until it ends; a guard well past the reply time-out turns a hang into a failure.
    template <class Finish>
    int32_t Await(Finish finish) {
        const auto guard = Clock::now() + std::chrono::milliseconds(timeoutMs_ + 2 * mira::test::bounds::kAfterTimeoutMs);
        int32_t error = 0;
        while (finish(&error) == 0) {
            if (Clock::now() > guard) {
                ADD_FAILURE() << "the exchange did not end";
                return -2;
            }
            PkYield();
        }
        return error;
    }

    uint32_t timeoutMs_;
    bool open_ = false;
    int32_t openError_ = 0;
};

HostValueCore Int(int32_t v) { return {MIRA_VALUE_INTEGER, 0, {.integer = v}}; }
HostValueCore Real(double v) { return {MIRA_VALUE_DOUBLE, 0, {.real = v}}; }
HostValueCore Text(const std::string& v) {
    HostValueCore value{MIRA_VALUE_STRING, 0, {}};
    std::copy(v.begin(), v.end(), value.value.text);
    return value;
}

// One line per class: the check mode is the link's, pinned byte by byte in tests/link.
constexpr Line kLines[] = {{"Slc500Crc", "SLC500", sim::Family::Slc500, true},
                           {"Plc5Bcc", "PLC5", sim::Family::Plc5, false},
                           {"Plc2Bcc", "PLC2", sim::Family::Plc2, false}};

// What the controller holds before each test of a class.
constexpr const char* kTables =
    "N7:0=100\nN7:1=200\nN7:2=-300\nN7:10=0x1234\nB3:0=5\nF8:0=3.14159\nF8:1=-0.5\n"
    "T4:0.PRE=1000\nT4:0.ACC=250\nT4:0.DN=1\nST9:0=\"HELLO MIRA\"\n";
constexpr const char* kPlc2Tables = "U:0=100\nU:1=200\nU:2=-300\nU:10=0x1234\n";

class EveryClass : public ::testing::TestWithParam<Line> {
protected:
    void SetUp() override {
        peer = std::make_unique<SimPeer>(SimOptions(GetParam()));
        ASSERT_FALSE(peer->port().empty());
        ASSERT_EQ(peer->sim().Seed(plc2() ? kPlc2Tables : kTables), 0);
        session = std::make_unique<Session>(peer->port(), GetParam());
        ASSERT_TRUE(session->open()) << session->openError();
    }
    bool plc2() const { return GetParam().family == sim::Family::Plc2; }

    std::unique_ptr<SimPeer> peer;
    std::unique_ptr<Session> session;  // closed before the peer goes
};

TEST_P(EveryClass, ReadsOfEveryKind) {
    const struct {
        const char* header;
        std::vector<std::string> items, expected;
        bool plc2;  // a PLC-2 has one word table and no typed files
    } rows[] = {
        {"N7:0", {"W0", "W1", "W2"}, {"100", "200", "-300"}, true},
        {"N7:10", {"B0", "W0"}, {"1234", "4660"}, true},                   // BCD
        {"N7:0", {"0/2", "0/3", "W2/15"}, {"1", "0", "1"}, true},            // bits of words
        {"B3:0", {"0/0", "0/1", "0/2"}, {"1", "0", "1"}, false},
        {"F8:0", {"0", "1"}, {"3.14159", "-0.5"}, false}, {"ST9:0", {"S0.10"}, {"\"HELLO MIRA\""}, false},
        {"T4:0", {"0.PRE", "0.ACC", "0.DN", "0.EN"}, {"1000", "250", "1", "0"}, false},
    };
    for (const auto& row : rows) {
        if (plc2() && !row.plc2) continue;
        SCOPED_TRACE(row.header);
        ASSERT_EQ(session->Read(row.header, row.items), 0);
        EXPECT_EQ(session->shown, row.expected);
        for (const HostValue& v : session->raw) EXPECT_EQ(v.quality, MIRA_QUALITY_GOOD);
    }
}

TEST_P(EveryClass, WritesReadBack) {
    const struct {
        const char* header;
        std::vector<std::string> items;
        std::vector<HostValueCore> values;
        std::vector<std::string> expected;
        bool plc2;
    } groups[] = {
        {"N7:20", {"W0", "W1", "W2"}, {Int(7), Int(-1), Int(32767)}, {"7", "-1", "32767"}, true},
        {"F8:4", {"0", "1"}, {Real(2.5), Real(-1e3)}, {"2.5", "-1000"}, false},
    };
    for (const auto& row : groups) {
        if (plc2() && !row.plc2) continue;
        SCOPED_TRACE(row.header);
        ASSERT_EQ(session->WriteGroup(row.header, row.items, row.values), 0);
        ASSERT_EQ(session->Read(row.header, row.items), 0);
        EXPECT_EQ(session->shown, row.expected);
    }
    const struct {
        const char *header, *item;
        HostValueCore value;
        std::vector<std::string> readItems, expected;  // a neighbour shows the rest of the word survived
        bool plc2;
    } items[] = {
        {"N7:1", "0/4", Int(1), {"W0"}, {"216"}, true},  // 200 with bit 4 set; clearing is in tests/commands
        {"B3:0", "0/7", Int(1), {"0/7", "0/0"}, {"1", "1"}, false},
        {"T4:0", "0.PRE", Int(1500), {"0.PRE", "0.ACC", "0.DN"}, {"1500", "250", "1"}, false},
        {"ST9:1", "S0.6", Text("MIRA 2"), {"S0.6"}, {"\"MIRA 2\""}, false},
    };
    for (const auto& row : items) {
        if (plc2() && !row.plc2) continue;
        SCOPED_TRACE(std::string(row.header) + " " + row.item);
        ASSERT_EQ(session->WriteItem(row.header, row.item, row.value), 0);
        ASSERT_EQ(session->Read(row.header, row.readItems), 0);
        EXPECT_EQ(session->shown, row.expected);
    }
}

// The path of `mira listen`: the controller writes 11 and 22, the window message carries
// the key, the host hands it back with W0 and W1; what it got, and the answer within 2 s.
struct Delivery {
    std::u16string key;
    int32_t error = -1;
    std::vector<std::string> values;
    std::vector<std::vector<uint8_t>> replies;
};
Delivery DeliverUnsolicited(SimPeer& peer, Window& window, sim::Family family) {
    Delivery d;
    family == sim::Family::Slc500 ? peer.sim().SendUnsolicitedTypedWrite(0, 7, 0x89, 5, 0, {11, 22})
                                  : peer.sim().SendUnsolicitedPlc2Write(0, 80, {11, 22});
    if (!window.Take(&d.key, std::chrono::seconds(3))) return d;
    const size_t tab = d.key.find(u'\t');
    const std::u16string header = d.key.substr(0, tab), station = d.key.substr(tab + 1);
    const char16_t* items[] = {u"W0", u"W1"};
    HostValueCore values[2] = {};
    if (UDrvProcessUnsolicitedReadMessage(0, header.c_str(), station.c_str(), items, values, 2, &d.error) == 1)
        for (const HostValueCore& v : values) d.values.push_back(Shown(v.valueType, v.value));
    for (const auto end = Clock::now() + std::chrono::seconds(2); d.replies.empty() && Clock::now() < end;) {
        d.replies = peer.sim().TakeMasterReplies();
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return d;
}

TEST_P(EveryClass, UnsolicitedWriteIsDeliveredAndAnswered) {
    session.reset();
    Window window;
    session = std::make_unique<Session>(peer->port(), GetParam(), 500, &window);
    ASSERT_TRUE(session->open());
    const Delivery d = DeliverUnsolicited(*peer, window, GetParam().family);
    EXPECT_EQ(d.key, GetParam().family == sim::Family::Slc500 ? u"integer/0:7:5\t1" : u"U:80\t1");
    EXPECT_EQ(d.error, 0);
    EXPECT_EQ(d.values, (std::vector<std::string>{"11", "22"}));
    ASSERT_EQ(d.replies.size(), 1u);
    ASSERT_GE(d.replies[0].size(), 4u);
    EXPECT_EQ(d.replies[0][3], 0);  // STS: done
}

INSTANTIATE_TEST_SUITE_P(Lines, EveryClass, ::testing::ValuesIn(kLines),
                         [](const ::testing::TestParamInfo<Line>& info) { return std::string(info.param.name); });

// Only bounds against hangs, never measurements.
using mira::test::bounds::kAckTimeoutMs;
using mira::test::bounds::kAfterTimeoutMs;
using mira::test::bounds::kLineResetMs;
using mira::test::bounds::kFirstReopenMs;
using mira::test::bounds::kLoadFactor;

PkLinkCounters Counters() {
    PkLinkCounters c{};
    PkGetLinkCounters(&c);
    return c;
}

// The faults of the line, one after another on one open driver. A corrupt reply is
// dropped by the driver's own rules, so it ends in the time-out.
TEST(EndToEnd, LineFaultsEndInTheirCodesAndTheNextReadWorks) {
    const Line line = kLines[0];
    SimPeer peer(SimOptions(line));
    ASSERT_EQ(peer.sim().Seed("N7:0=100\nN7:1=200\n"), 0);
    // The default reply time-out: the good rows must outlast a busy machine's
    // scheduling (a peer's answer was seen 370 ms late under load).
    constexpr uint32_t kTimeout = 1000;
    // An ACK time-out with the same margin, so that a peer slow to answer on a
    // busy machine draws no DLE ENQ the rows do not count.
    constexpr uint32_t kAckMs = kLoadFactor * kAckTimeoutMs;
    const PkLinkSettings link{kAckMs, 3, 3};
    ASSERT_EQ(PkSetLinkSettings(&link), 1);
    struct Defaults {
        ~Defaults() { PkSetLinkSettings(nullptr); }
    } restore;
    Session session(peer.port(), line, kTimeout);
    ASSERT_TRUE(session.open());

    using sim::FaultKind;
    const struct {
        const char* what;
        bool inject;
        sim::Fault fault;
        int32_t error;
        uint64_t resent, badChecks, enqs;  // what the counters gain
    } rows[] = {
        {"good", false, {}, 0, 0, 0, 0},
        {"corrupted reply", true, {.kind = FaultKind::CorruptCheck}, MIRA_PK_ERR_TIMEOUT, 0, 1, 4},
        {"after the corrupted reply", false, {}, 0, 0, 0, 0},
        {"one NAK: the frame again", true, {.kind = FaultKind::Nak}, 0, 1, 0, 0},
        {"three NAKs, then the ACK", true, {.kind = FaultKind::Nak, .times = 3}, 0, 3, 0, 0},
        {"NAK to every frame", true, {.kind = FaultKind::Nak, .times = 0}, MIRA_PK_ERR_REFUSED, 3, 0, 4},
        {"after the NAKs", false, {}, 0, 0, 0, 0},
        {"lost ACK: DLE ENQ, answered by ACK", true, {.kind = FaultKind::NoAck}, 0, 0, 0, 1},
        {"silent controller", true, {.kind = FaultKind::NoReply}, MIRA_PK_ERR_TIMEOUT, 0, 0, 4},
        {"after the silence", false, {}, 0, 0, 0, 0},
        // The late reply comes in the middle of the four line resets that follow
        // the time-out: 600 ms from either end.
        {"reply past the time-out", true, {.kind = FaultKind::Delay, .delayMs = kTimeout + 2 * kLineResetMs},
         MIRA_PK_ERR_TIMEOUT, 0, 0, 4},
        {"after the late reply", false, {}, 0, 0, 0, 0}, {"and again", false, {}, 0, 0, 0, 0},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        if (row.inject) peer.sim().InjectFault(row.fault);
        const PkLinkCounters before = Counters();
        ASSERT_EQ(session.Read("N7:0", {"W0", "W1"}), row.error);
        const long took = session.took;
        if (row.error == 0) {
            EXPECT_EQ(session.shown, (std::vector<std::string>{"100", "200"}));
        } else if (row.error == MIRA_PK_ERR_REFUSED) {
            EXPECT_LT(took, static_cast<long>(kTimeout) + kAfterTimeoutMs);  // NAKs come at once
        } else {
            // Not before the reply time-out; after it only the channel's hold
            // limit (one longest frame at 19200) and the four line resets.
            EXPECT_GE(took, static_cast<long>(kTimeout) - 10);
            EXPECT_LT(took, static_cast<long>(kTimeout) + kAfterTimeoutMs);
        }
        // A lost ACK's DLE ENQ goes out one ACK time-out after the frame, maybe after the
        // read; the failed reads' four line resets send one each.
        const auto settle = Clock::now() + std::chrono::milliseconds(kLoadFactor * (kAckMs + 100));
        while (Counters().enqsSent - before.enqsSent < row.enqs && Clock::now() < settle)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        const PkLinkCounters after = Counters();
        EXPECT_EQ(after.retransmissions - before.retransmissions, row.resent);
        EXPECT_EQ(after.badChecks - before.badChecks, row.badChecks);
        // Four NAKs may all come back before the start reads the port's error word: the
        // start then reports the refusal, and no finish runs the line resets.
        const bool startSawRefusal = row.error == MIRA_PK_ERR_REFUSED && after.enqsSent == before.enqsSent;
        if (!startSawRefusal) {
            EXPECT_EQ(after.enqsSent - before.enqsSent, row.enqs);
        }
        peer.sim().ClearFaults();
    }
}

// A two-wire adapter hands back every byte sent: alone, no read is good and no write
// succeeds; with a controller, exchanges work and no own frame is announced as its command.
TEST(EndToEnd, AnEchoingLineNeverTakesOurOwnFramesForTheController) {
    constexpr uint32_t kTimeout = 300;
    for (const Line& line : {kLines[0], kLines[2]}) {
        SCOPED_TRACE(line.name);
        SimPeer peer(SimOptions(line));
        ASSERT_EQ(peer.sim().Seed(line.family == sim::Family::Plc2 ? kPlc2Tables : kTables), 0);
        peer.Echo(true, false);
        Window window;
        Session session(peer.port(), line, kTimeout, &window);
        ASSERT_TRUE(session.open());
        EXPECT_EQ(session.Read("N7:0", {"W0"}), MIRA_PK_ERR_TIMEOUT);
        EXPECT_NE(session.raw[0].quality, MIRA_QUALITY_GOOD);
        EXPECT_EQ(session.WriteGroup("N7:0", {"W0"}, {Int(5)}), MIRA_PK_ERR_TIMEOUT);
        EXPECT_EQ(session.WriteItem("N7:0", "0/4", Int(1)), MIRA_PK_ERR_TIMEOUT);

        peer.Echo(true, true);
        ASSERT_EQ(session.WriteGroup("N7:1", {"W0"}, {Int(5)}), 0);
        ASSERT_EQ(session.Read("N7:0", {"W0", "W1"}), 0);
        EXPECT_EQ(session.shown, (std::vector<std::string>{"100", "5"}));
        // The answer's echo arrives within a receive poll (10 ms) of the
        // controller hearing it; 300 ms is room for a loaded machine.
        EXPECT_EQ(DeliverUnsolicited(peer, window, line.family).replies.size(), 1u);
        std::u16string key;
        EXPECT_FALSE(window.Take(&key, std::chrono::milliseconds(300))) << "our own answer was announced";
    }
}

// Reads until one succeeds, as `mira poll` goes on; every failure ends at once with a lost line's code.
void ReadsAgain(Session& session, long withinMs) {
    const auto end = Clock::now() + std::chrono::milliseconds(withinMs);
    int32_t error = 0;
    while ((error = session.Read("N7:0", {"W0"})) != 0 && Clock::now() < end) {
        EXPECT_TRUE(error == MIRA_PK_ERR_CLOSED || error == MIRA_PK_ERR_DISCONNECTED) << error;
        EXPECT_LT(session.took, kAfterTimeoutMs);
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    ASSERT_EQ(error, 0) << "the line did not come back";
    EXPECT_EQ(session.shown, std::vector<std::string>{"100"});
}

// A device server that restarts, and meanwhile accepts and closes at once: the
// requests end at once, and the reads go on once it is back.
TEST(EndToEnd, OverTcpWithAServerThatRestarts) {
    const Line line = kLines[1];
    auto peer = std::make_unique<SimPeer>(SimOptions(line), SimPeer::Via::Tcp);
    ASSERT_EQ(peer->port().rfind("socket://127.0.0.1:", 0), 0u);
    ASSERT_EQ(peer->sim().Seed("N7:0=100\n"), 0);
    Session session(peer->port(), line);
    ASSERT_TRUE(session.open()) << session.openError();
    ASSERT_EQ(session.Read("N7:0", {"W0"}), 0);

    const PkLinkCounters before = Counters();
    const uint16_t tcpPort = peer->tcpPort();
    peer.reset();
    peer = std::make_unique<SimPeer>(SimOptions(line), SimPeer::Via::Tcp, tcpPort);
    ASSERT_EQ(peer->sim().Seed("N7:0=100\n"), 0);
    peer->Slam(true);
    // Through the first reopen (accepted, then closed) and a little past it.
    const auto slam = Clock::now() + std::chrono::milliseconds(kFirstReopenMs + 500);
    while (Clock::now() < slam) {
        const int32_t error = session.Read("N7:0", {"W0"});
        EXPECT_TRUE(error == MIRA_PK_ERR_CLOSED || error == MIRA_PK_ERR_DISCONNECTED) << error;
        EXPECT_LT(session.took, kAfterTimeoutMs);
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    peer->Slam(false);
    ReadsAgain(session, kLoadFactor * (3 * kFirstReopenMs + 1000));
    const PkLinkCounters after = Counters();
    EXPECT_GE(after.linesLost - before.linesLost, 2u);
    EXPECT_EQ(after.linesLost - before.linesLost, after.reconnects - before.reconnects);
}

// An adapter pulled out mid-read and plugged in again: its by-id link comes back to a new device.
TEST(EndToEnd, ADeviceThatVanishesEndsTheReadAtOnceAndComesBackUnderItsName) {
    const Line line = kLines[0];
    auto peer = std::make_unique<SimPeer>(SimOptions(line));
    char dir[] = "/tmp/mira-byid-XXXXXX";
    ASSERT_NE(::mkdtemp(dir), nullptr);
    const std::string link = std::string(dir) + "/usb-plc";
    ASSERT_EQ(::symlink(peer->port().c_str(), link.c_str()), 0);
    constexpr uint32_t kTimeout = 5000;
    Session session(link, line, kTimeout);
    ASSERT_TRUE(session.open());
    peer->sim().InjectFault({.kind = sim::FaultKind::NoReply});
    std::thread unplug([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        peer->Vanish();
        ::unlink(link.c_str());
    });
    EXPECT_EQ(session.Read("N7:0", {"W0"}), MIRA_PK_ERR_CLOSED);
    unplug.join();
    EXPECT_LT(session.took, static_cast<long>(kTimeout));  // the loss ends it, not the time-out
    EXPECT_EQ(session.Read("N7:0", {"W0"}), MIRA_PK_ERR_CLOSED);
    EXPECT_LT(session.took, kAfterTimeoutMs);

    peer = std::make_unique<SimPeer>(SimOptions(line));
    ASSERT_EQ(peer->sim().Seed("N7:0=100\n"), 0);
    ASSERT_EQ(::symlink(peer->port().c_str(), link.c_str()), 0);
    ReadsAgain(session, kLoadFactor * (3 * kFirstReopenMs + 1000));
    ::unlink(link.c_str());
    ::rmdir(dir);
}

TEST(EndToEnd, ANoiseFloodEndsInATimeOutAndTheLineRecovers) {
    const Line line = kLines[1];
    SimPeer peer(SimOptions(line));
    ASSERT_EQ(peer.sim().Seed("N7:0=100\n"), 0);
    constexpr uint32_t kTimeout = 300;
    Session session(peer.port(), line, kTimeout);
    ASSERT_TRUE(session.open());
    peer.Flood(true);
    for (int i = 0; i < 3; ++i) {
        EXPECT_NE(session.Read("N7:0", {"W0"}), 0);  // a time-out, or an overflowing frame of noise
        EXPECT_LT(session.took, static_cast<long>(kTimeout) + kAfterTimeoutMs);
    }
    // What noise is still on its way in is handed through HandInts within
    // one line reset's time, twice over for a loaded machine.
    peer.Flood(false);
    std::this_thread::sleep_for(std::chrono::milliseconds(mira::test::bounds::kLoadFactor * mira::test::bounds::kLineResetMs));
    EXPECT_EQ(session.Read("N7:0", {"W0"}), 0);
    EXPECT_EQ(session.shown, std::vector<std::string>{"100"});
}

}  // namespace
