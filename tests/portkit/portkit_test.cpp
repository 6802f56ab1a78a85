// Portkit on real descriptors (a pseudo-terminal pair stands in for the cable, a loopback listener for the
// server) and the reading of the port name.
#include "setup/portkit.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <iterator>
#include <cctype>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "mira/portkit_codes.h"
#include "platform/atomic_word.h"
#include "portkit/link_rules.h"
#include "portkit/port_name.h"
#include "portkit/portkit_host.h"

namespace {

using Bytes = std::vector<uint8_t>;
using namespace std::chrono_literals;

using mira::LoadAcquire, mira::StoreRelease;

// How many bytes the test handler took, one per call as the driver's handler does.
std::atomic<size_t> g_received{0};
void TakeOne(generic_port* port) {
    uint8_t b = 0;
    if (PkReceiveByte(port, &b) != 0) ++g_received;
}

template <class F>
bool WaitFor(F condition, std::chrono::milliseconds limit = 2000ms) {
    for (const auto end = std::chrono::steady_clock::now() + limit; !condition(); std::this_thread::sleep_for(1ms))
        if (std::chrono::steady_clock::now() > end) return false;
    return true;
}

// Settings naming the port (128 characters fill the field, leaving no terminator) and the character format.
template <class T>
DriverSettings Settings(const T& name, uint32_t baud = 0, uint32_t parity = 0, uint32_t data = 0, uint32_t stop = 0) {
    DriverSettings s{};
    for (size_t i = 0; i < name.size() && i < std::size(s.portName); ++i) s.portName[i] = char16_t(name[i]);
    s.baud = baud;
    s.parity = parity;
    s.dataBits = data;
    s.stopBits = stop;
    return s;
}

struct Pty {
    int master = posix_openpt(O_RDWR | O_NOCTTY);
    std::string slave = grantpt(master) == 0 && unlockpt(master) == 0 ? ptsname(master) : "";
    ~Pty() { if (master >= 0) close(master); }
    void Write(const Bytes& b) const { ASSERT_EQ(write(master, b.data(), b.size()), ssize_t(b.size())); }
};

// Sends as a driver's sender does: ReplyPending 0, send, ReplyPending 1.
void SendCommand(generic_port* port, const Bytes& bytes) {
    StoreRelease(port->RxState, 0);
    StoreRelease(port->ReplyPending, 0);
    PkSend(port, bytes.data(), static_cast<int32_t>(bytes.size()));
    StoreRelease(port->ReplyPending, 1);
}

const Bytes kFrame = {0x10, 0x02, 0x01, 0x00, 0x0F, 0x00, 0x2A, 0x00, 0x10, 0x03, 0xC5};
const Bytes kEnq = {0x10, 0x05};

class PtyPort : public ::testing::Test {
protected:
    void SetUp() override {
        g_received = 0;
        DriverSettings s = Settings(pty.slave);
        s.replyTimeoutMs = 150;
        int32_t error = -1;
        port = PkPortOpen(0, &s, &error);
        ASSERT_NE(port, nullptr) << PkLastOpenError();
        ASSERT_EQ(error, 0);
        PkRegisterHandler(port, TakeOne);
    }
    void TearDown() override { EXPECT_TRUE(port == nullptr || PkPortClose(port) == 1); }
    Pty pty;
    generic_port* port = nullptr;
};

TEST_F(PtyPort, RawViewRestartsAtIdleAndIsBounded) {
    // Idle: every byte starts the raw view again.
    pty.Write({0x41, 0x42, 0x10});
    ASSERT_TRUE(WaitFor([] { return g_received == 3; }));
    EXPECT_EQ(LoadAcquire(port->RawCount), 1);
    EXPECT_EQ(port->RawBuffer[0], 0x10);
    // Inside a frame the view grows, but never past its buffer.
    StoreRelease(port->RxState, 2);
    pty.Write(Bytes(3000, 0x55));
    ASSERT_TRUE(WaitFor([] { return g_received == 3003; }));
    EXPECT_EQ(LoadAcquire(port->RawCount), 1026);
}

TEST_F(PtyPort, NoTimeOutOnceTheReplyIsReadyOrForLinkSequences) {
    SendCommand(port, kFrame);
    StoreRelease(port->ReplyReady, 1);
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(LoadAcquire(port->ErrorCode), 0u);
    SendCommand(port, {0x10, 0x05});  // DLE ENQ expects no reply frame
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(LoadAcquire(port->ErrorCode), 0u);
}

// The controller keeps sending frames of its own while the reply does not come: the handler's DLE ACK
// for each of them does not put off the reply's time-out, which counts from the command.
void AckEach(generic_port* port) {
    uint8_t b = 0;
    if (PkReceiveByte(port, &b) == 0) return;
    ++g_received;
    static const uint8_t kAck[] = {0x10, 0x06};
    PkSend(port, kAck, 2);
}

TEST_F(PtyPort, TheReplyTimeOutCountsFromTheCommand) {
    PkRegisterHandler(port, AckEach);
    SendCommand(port, kFrame);
    const auto sent = std::chrono::steady_clock::now();
    // A byte every 50 ms, a third of the 150 ms time-out, for 600 ms.
    std::atomic<bool> failed{false};
    for (int i = 0; i < 12 && !failed; ++i) {
        pty.Write({0x41});
        std::this_thread::sleep_for(50ms);
        PkStatusUpdate(port);
        failed = LoadAcquire(port->ErrorCode) == MIRA_PK_ERR_TIMEOUT;
    }
    EXPECT_TRUE(failed);
    EXPECT_LT(std::chrono::steady_clock::now() - sent, 600ms);
}

// The host's line reset starts the line afresh; a command frame keeps what the controller sent before it,
// which in full duplex may be its own frame or the DLE ACK of the host's last one, on its way in.
TEST_F(PtyPort, OnlyALineResetDiscardsWhatWaits) {
    PkRegisterHandler(port, nullptr);  // nobody takes bytes: they wait
    for (const auto& [sent, kept] : {std::pair{kFrame, true}, {Bytes{0x10, 0x05}, false}}) {
        pty.Write({0x10, 0x06});
        std::this_thread::sleep_for(100ms);
        SendCommand(port, sent);
        uint8_t b = 0;
        EXPECT_EQ(PkReceiveByte(port, &b) != 0 && PkReceiveByte(port, &b) != 0 && b == 0x06, kept) << sent.size();
    }
}

TEST_F(PtyPort, VanishedDeviceEndsTheExchangeAndLaterSends) {
    SendCommand(port, kFrame);
    close(pty.master);
    pty.master = -1;
    ASSERT_TRUE(WaitFor([&] { return LoadAcquire(port->ErrorCode) != 0; }, 1000ms));
    EXPECT_EQ(LoadAcquire(port->ErrorCode), uint32_t(MIRA_PK_ERR_CLOSED));
    SendCommand(port, kFrame);
    EXPECT_EQ(LoadAcquire(port->ErrorCode), uint32_t(MIRA_PK_ERR_CLOSED));
    EXPECT_EQ(PkOutputDone(port), 1);
    // No frame can hold the channel any more: the driver takes it at once.
    EXPECT_EQ(LoadAcquire(port->TimeoutA), 0);
    EXPECT_EQ(LoadAcquire(port->TimeoutB), 0);
}

// The receive thread reads a quiet line in long waits (a second); a send ends the wait, so a frame's
// DLE ENQ still goes out one ACK time-out after it, and a close does not wait out the rest.
TEST(PortkitPty, AQuietLineTimesTheNextSendAndClosesAtOnce) {
    const PkLinkSettings link{50, 3, 3};
    ASSERT_EQ(PkSetLinkSettings(&link), 1);
    Pty pty;
    DriverSettings s = Settings(pty.slave);
    s.replyTimeoutMs = 2000;
    int32_t error = 0;
    generic_port* port = PkPortOpen(0, &s, &error);
    ASSERT_NE(port, nullptr) << PkLastOpenError();
    std::this_thread::sleep_for(200ms);  // the receive thread is in its long wait by now
    const auto closing = std::chrono::steady_clock::now();
    EXPECT_EQ(PkPortClose(port), 1);
    EXPECT_LT(std::chrono::steady_clock::now() - closing, 500ms);  // of a 1 s wait, 800 ms were left
    port = PkPortOpen(0, &s, &error);
    ASSERT_EQ(PkSetLinkSettings(nullptr), 1);
    ASSERT_NE(port, nullptr) << PkLastOpenError();
    std::this_thread::sleep_for(200ms);
    const auto sent = std::chrono::steady_clock::now();
    SendCommand(port, kFrame);
    Bytes line;
    const auto seen = [&] {
        uint8_t b[64];
        for (ssize_t n; (n = read(pty.master, b, sizeof b)) > 0;) line.insert(line.end(), b, b + n);
        return std::search(line.begin(), line.end(), kEnq.begin(), kEnq.end()) != line.end();
    };
    fcntl(pty.master, F_SETFL, O_NONBLOCK);
    EXPECT_TRUE(WaitFor(seen, 2000ms));
    // 50 ms of ACK time-out plus 350 ms for a busy machine; without the wake it came 800 ms later.
    EXPECT_LT(std::chrono::steady_clock::now() - sent, 400ms);
    EXPECT_EQ(PkPortClose(port), 1);
}

// A lost line is tried again after 1 s, then after twice as long each time, at most every 30 s.
TEST(PortkitLink, ReopenBackOff) {
    mira::portkit::Backoff backoff;
    backoff.Lost(0xFFFFFF00u);  // the tick count wraps on the way
    uint32_t now = 0xFFFFFF00u;
    for (const uint32_t delay : {1000u, 2000u, 4000u, 8000u, 16000u, 30000u, 30000u}) {
        EXPECT_FALSE(backoff.Due(now + delay - 1)) << delay;
        EXPECT_TRUE(backoff.Due(now += delay)) << delay;
        backoff.Failed(now);
    }
}

// Whom a DLE ACK or DLE NAK answers: the frame waiting for it, else the host's unanswered line resets,
// one answer each; a frame sent after a reset takes every later answer as its own.
TEST(PortkitLink, AnswersToFramesAndToLineResets) {
    using mira::portkit::Transmitter;
    using A = Transmitter::Answers;
    const uint8_t frame[] = {0x10, 0x02, 0x01, 0x10, 0x03, 0xFF};
    const struct { const char* name; int resets; bool frameAfter; std::vector<A> answers; } rows[] = {
        {"a frame: each answer until the ACK", 0, true, {A::Frame, A::Frame}},
        {"four resets: four answers, then nothing", 4, false, {A::LineReset, A::LineReset, A::LineReset,
                                                               A::LineReset, A::Nothing}},
        {"a frame after two resets", 2, true, {A::Frame}},
        {"nothing sent", 0, false, {A::Nothing}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        Transmitter tx;
        for (int i = 0; i < row.resets; ++i) tx.ResetSent();
        if (row.frameAfter) tx.Sent(frame, sizeof frame, true, 0, 1);
        for (const A expected : row.answers) {
            EXPECT_EQ(tx.Answer(), expected);
            if (expected == A::Frame) (void)tx.OnNak(0);  // a NAK: the frame again, still waiting
        }
    }
}

// A host built against the first 17 fields gets those and nothing past them; whole fields only.
TEST(PortkitLink, CountersCopyNoMoreThanTheHostsRecord) {
    constexpr size_t kFirst = 17, kAll = sizeof(PkLinkCounters) / sizeof(uint64_t);
    const struct { const char* name; bool old; uint32_t size; size_t written; } rows[] = {
        {"the first call", true, 0, kFirst},
        {"the whole record", false, sizeof(PkLinkCounters), kAll},
        {"the first record's size", false, kFirst * 8, kFirst},
        {"half a field more", false, kFirst * 8 + 4, kFirst},
        {"nothing", false, 0, 0},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        uint64_t record[kAll + 1];
        std::fill(std::begin(record), std::end(record), ~0ull);  // no counter comes near it
        auto* counters = reinterpret_cast<PkLinkCounters*>(record);
        row.old ? PkGetLinkCounters(counters) : PkGetLinkCountersEx(counters, row.size);
        for (size_t i = 0; i <= kAll; ++i) EXPECT_EQ(record[i] != ~0ull, i < row.written) << "field " << i;
    }
}

TEST_F(PtyPort, FloodWithoutHandlerKeepsABoundedQueue) {
    PkRegisterHandler(port, nullptr);
    for (int i = 0; i < 10; ++i) pty.Write(Bytes(2000, static_cast<uint8_t>(i)));
    std::this_thread::sleep_for(200ms);
    size_t taken = 0;
    uint8_t b = 0;
    while (PkReceiveByte(port, &b) != 0) ++taken;
    EXPECT_LE(taken, 8192u);
    EXPECT_GT(taken, 0u);
    EXPECT_EQ(b, 9);  // the newest bytes survive
}

// A sender discards stale input while the receive thread may be between its poll and its
// read: finding nothing is no vanished device. Noise keeps the race coming.
TEST_F(PtyPort, DiscardingInputDuringANoiseFloodKeepsTheDevice) {
    PkRegisterHandler(port, nullptr);
    std::atomic<bool> stop{false};
    std::thread noise([&] {
        const Bytes chunk(64, 0x55);
        while (!stop.load()) {
            (void)!write(pty.master, chunk.data(), chunk.size());
            std::this_thread::sleep_for(100us);
        }
    });
    const auto end = std::chrono::steady_clock::now() + 1500ms;
    while (std::chrono::steady_clock::now() < end && LoadAcquire(port->ErrorCode) != uint32_t(MIRA_PK_ERR_CLOSED))
        SendCommand(port, {0x10, 0x05});  // each send discards the input first
    stop.store(true);
    noise.join();
    EXPECT_NE(LoadAcquire(port->ErrorCode), uint32_t(MIRA_PK_ERR_CLOSED));
    EXPECT_NE(LoadAcquire(port->TimeoutA), 0);
}

// The channel lock: one longest frame at the line's speed + 100 ms, or the host's; the device held.
TEST(PortkitPty, ChannelBoundAndCharacterFormatFollowTheLine) {
    const struct { uint32_t baud, parity, dataBits, stopBits; uint16_t hostA, hostB, a, b; speed_t speed; } rows[] = {
        {19200, 0, 8, 1, 0, 0, 538, 100, B19200},      {9600, 2, 7, 2, 0, 0, 1183, 100, B9600},
        {110, 0, 8, 1, 0, 0, 65435, 100, B110},  // slower than the 16-bit bound holds
        {19200, 0, 8, 1, 1000, 500, 1000, 500, B19200},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.baud);
        Pty pty;
        DriverSettings s = Settings(pty.slave, r.baud, r.parity, r.dataBits, r.stopBits);
        s.TimeoutA = r.hostA;
        s.TimeoutB = r.hostB;
        int32_t error = 0;
        generic_port* port = PkPortOpen(0, &s, &error);
        ASSERT_NE(port, nullptr) << PkLastOpenError();
        EXPECT_EQ(LoadAcquire(port->TimeoutA), r.a);
        EXPECT_EQ(LoadAcquire(port->TimeoutB), r.b);
        // Only a privileged process gets in; a pseudo-terminal keeps 8N: speed, stop bits and raw mode show.
        if (const int fd = open(pty.slave.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK); fd >= 0) {
            termios tio{};
            ASSERT_EQ(tcgetattr(fd, &tio), 0);
            EXPECT_EQ(cfgetospeed(&tio), r.speed);
            EXPECT_EQ((tio.c_cflag & CSTOPB) != 0, r.stopBits == 2);
            EXPECT_EQ(tio.c_lflag & ICANON, 0u);
            close(fd);
        }
        int32_t second = 0;
        EXPECT_EQ(PkPortOpen(0, &s, &second), nullptr);
        EXPECT_EQ(second, MIRA_PK_ERR_BUSY);
        EXPECT_EQ(PkPortClose(port), 1);
        EXPECT_EQ(PkPortClose(port), 0);  // closed already: refused, no crash
    }
}

TEST(PortkitOpen, ClearCodesForBadPorts) {
    const struct { std::string name; int32_t code; } rows[] = {
        {"/dev/mira-no-such-device", MIRA_PK_ERR_NO_DEVICE},
        {"/dev/null", MIRA_PK_ERR_SETTINGS},  // not a serial device
        {"socket://127.0.0.1:1", MIRA_PK_ERR_CONNECT},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        const DriverSettings s = Settings(row.name);
        int32_t error = 0;
        EXPECT_EQ(PkPortOpen(0, &s, &error), nullptr);
        EXPECT_EQ(error, row.code);
        EXPECT_STRNE(PkLastOpenError(), "");
        EXPECT_NE(PkCodeText(static_cast<uint32_t>(error)), nullptr);
    }
    int32_t error = 0;
    EXPECT_EQ(PkPortOpen(0, nullptr, &error), nullptr);
    EXPECT_EQ(error, MIRA_PK_ERR_SETTINGS);
    EXPECT_EQ(PkPortClose(nullptr), 0);
}

// "HH:MM:SS.mmm " in front of the text.
bool IsStamped(const std::string& line) {
    const std::string shape = "99:99:99.999 ";
    for (size_t i = 0; i < shape.size(); ++i)
        if (i >= line.size() || (shape[i] == '9' ? !std::isdigit(uint8_t(line[i])) : line[i] != shape[i])) return false;
    return true;
}

std::mutex g_traceMutex;
std::vector<std::string> g_traces;
void CollectTrace(void*, const char* line) {
    std::lock_guard<std::mutex> lock(g_traceMutex);
    g_traces.emplace_back(line);
}

TEST(PortkitTrace, LinesCarryATimeStampAndSendsShowAsTx) {
    g_traces.clear();  // no callback yet: nobody else touches it
    PkTraceToCallback(CollectTrace, nullptr);
    PkTrace(u"Rx:10 06 ");
    PkTrace(u"caf\u00e9\n");
    Pty pty;
    DriverSettings s = Settings(pty.slave);
    int32_t error = 0;
    generic_port* port = PkPortOpen(0, &s, &error);
    ASSERT_NE(port, nullptr);
    const Bytes big(100, 0xAB);
    PkSend(port, big.data(), 100);
    // The receive thread's DLE ACK and the host's request race: Tx lines come in the order the peer got them.
    StoreRelease(port->ReplyPending, 1);
    constexpr int kRacing = 400;  // per thread; 800 bytes stay within the pty's buffer
    auto sendMany = [port](uint8_t b) {
        for (int i = 0; i < kRacing; ++i) PkSend(port, &b, 1);
    };
    std::thread other(sendMany, uint8_t{0xB2});
    sendMany(0xA1);
    other.join();
    PkPortClose(port);
    PkTraceOff();
    PkTrace(u"after");
    Bytes wire(2 * kRacing + 100);
    for (size_t got = 0; got < wire.size();) {
        const ssize_t n = read(pty.master, wire.data() + got, wire.size() - got);
        ASSERT_GT(n, 0);
        got += size_t(n);
    }

    std::lock_guard<std::mutex> lock(g_traceMutex);
    ASSERT_EQ(g_traces.size(), 3u + 2 * kRacing);
    for (size_t i = 0; i < 2 * kRacing; ++i)
        ASSERT_EQ(g_traces[3 + i].substr(13), wire[100 + i] == 0xA1 ? "Tx:A1 " : "Tx:B2 ") << "send " << i;
    for (const auto& line : g_traces) EXPECT_TRUE(IsStamped(line)) << line;
    EXPECT_EQ(g_traces[0].substr(13), "Rx:10 06 ");
    EXPECT_EQ(g_traces[1].substr(13), "caf??");
    std::string tx = "Tx:";
    for (int i = 0; i < 84; ++i) tx += "AB ";
    EXPECT_EQ(g_traces[2].substr(13), tx);
}

TEST(PortkitTrace, FileSink) {
    const std::string path = "/tmp/mira-trace-" + std::to_string(getpid());
    ASSERT_EQ(PkTraceToFile(path.c_str()), 1);
    PkTrace(u"ERROR OF PROTOCOL.");
    PkTraceOff();
    std::string text;
    std::getline(std::ifstream(path), text, '\0');
    unlink(path.c_str());
    EXPECT_EQ(text.substr(std::min<size_t>(13, text.size())), "ERROR OF PROTOCOL.\n");
    EXPECT_EQ(PkTraceToFile("/nonexistent-dir/trace"), 0);
}

TEST(PortkitSmall, StationTextIsACopyOfAtMost80) {
    const std::u16string longText(100, u'7');
    const struct { const char16_t* ref; int32_t limit; size_t want; } rows[] = {
        {u"", 80, 0}, {nullptr, 80, 0}, {longText.c_str(), 200, 80}, {longText.c_str(), 5, 5}, {u"12", 0, 0}};
    for (const auto& row : rows) {
        std::u16string buffer(201, u'#');
        PkStationText(nullptr, row.ref, buffer.data(), row.limit);
        EXPECT_EQ(buffer.find(u'\0'), row.want);
        EXPECT_EQ(buffer[row.want + 1], u'#');  // nothing written past the terminator
    }
    char16_t untouched = u'#';
    PkStationText(nullptr, u"1", &untouched, -1);
    EXPECT_EQ(untouched, u'#');
    PkStationText(nullptr, u"1", nullptr, 80);
}

TEST(PortkitSmall, TableAllocation) {
    const struct { int32_t count, size; bool ok; } rows[] = {
        {4096, 28, true}, {1, 1, true}, {0, 28, false}, {28, -1, false}, {0x7FFFFFFF, 0x7FFFFFFF, false},
        {65536, 1025, false}};
    for (const auto& row : rows) {
        void* block = PkTableAlloc(row.count, row.size);
        EXPECT_EQ(block != nullptr, row.ok) << row.count << "x" << row.size;
        if (block != nullptr) {
            const auto* bytes = static_cast<const uint8_t*>(block);
            EXPECT_EQ(bytes[0] | bytes[size_t(row.count) * size_t(row.size) - 1], 0);  // zeroed, first to last
        }
        PkTableFree(block);
    }
}

// What was read, in one line: the line, then the character format.
std::string Shown(const mira::portkit::LineSettings& o) {
    using mira::portkit::LineKind;
    static const std::string kFamilies[] = {"sim slc500:", "sim plc5:", "sim plc2:"};
    const std::string line = o.kind == LineKind::Serial ? "serial " + o.path
                             : o.kind == LineKind::Tcp  ? "tcp " + o.host + ":" + std::to_string(o.tcpPort)
                                                        : kFamilies[int(o.family)] + std::to_string(o.simStation);
    return line + " " + std::to_string(o.baud) + " " + std::to_string(o.dataBits) + std::to_string(o.parity) +
           std::to_string(o.stopBits) + " " + std::to_string(o.replyTimeoutMs) + (o.crc ? " crc" : " bcc");
}

TEST(PortName, NamesAndCharacterFormats) {
    const std::u16string unterminated(128, u'a');  // fills the field: no terminator anywhere
    struct Row {
        std::u16string name;
        uint32_t baud, parity, dataBits, stopBits, timeout;
        int32_t check;
        const char* shown;  // null: refused as bad settings
    };
    const Row rows[] = {
        {u"", 0, 0, 0, 0, 0, 0, "sim slc500:1 19200 801 1000 bcc"},  // the DF1 factory defaults
        {u"sim:plc5", 9600, 2, 7, 2, 250, 1, "sim plc5:1 9600 722 250 crc"},
        {u"sim:plc2:9", 115200, 1, 8, 1, 0, 7, "sim plc2:9 115200 811 1000 crc"},
        {u"sim:slc500:254", 0, 0, 0, 0, 0, -1, "sim slc500:254 19200 801 1000 bcc"},
        {u"simple", 0, 0, 0, 0, 0, 0, "serial simple 19200 801 1000 bcc"},
        {u"/dev/tty\u00e9", 0, 0, 0, 0, 0, 0, "serial /dev/tty\xC3\xA9 19200 801 1000 bcc"},  // a path in UTF-8
        {u"socket://[::1]:502", 0, 0, 0, 0, 0, 0, "tcp ::1:502 19200 801 1000 bcc"},
        {u"socket://gw.local:65535", 0, 0, 0, 0, 0, 0, "tcp gw.local:65535 19200 801 1000 bcc"},
        {unterminated, 0, 0, 0, 0, 0, 0, nullptr},
        {u"/dev/x\xD800", 0, 0, 0, 0, 0, 0, nullptr},  // a lone surrogate
        {u"sim:slc500:255", 0, 0, 0, 0, 0, 0, nullptr},
        {u"sim:plc3", 0, 0, 0, 0, 0, 0, nullptr},
        {u"sim:plc5:x", 0, 0, 0, 0, 0, 0, nullptr},
        {u"socket://gw.local:65536", 0, 0, 0, 0, 0, 0, nullptr},
        {u"socket://gw.local:0", 0, 0, 0, 0, 0, 0, nullptr},
        {u"socket://gw.local", 0, 0, 0, 0, 0, 0, nullptr},
        {u"socket://:4001", 0, 0, 0, 0, 0, 0, nullptr},
        {u"socket://[::1]502", 0, 0, 0, 0, 0, 0, nullptr},
        {u"socket://h:12ab", 0, 0, 0, 0, 0, 0, nullptr},
        {u"sim", 19201, 0, 8, 1, 0, 0, nullptr},
        {u"sim", 19200, 3, 8, 1, 0, 0, nullptr},
        {u"sim", 19200, 0, 6, 1, 0, 0, nullptr},
        {u"sim", 19200, 0, 9, 1, 0, 0, nullptr},
        {u"sim", 19200, 0, 8, 3, 0, 0, nullptr},
        {u"sim", 19200, 0, 8, 1, 600001, 0, nullptr},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(testing::PrintToString(row.name) + " " + std::to_string(row.baud));
        DriverSettings s = Settings(row.name, row.baud, row.parity, row.dataBits, row.stopBits);
        s.replyTimeoutMs = row.timeout;
        s.ErrorCheckOption = row.check;
        mira::portkit::LineSettings out;
        std::string why;
        const int32_t code = mira::portkit::ReadLineSettings(s, &out, &why);
        EXPECT_EQ(code, row.shown != nullptr ? 0 : MIRA_PK_ERR_SETTINGS) << why;
        EXPECT_TRUE(row.shown != nullptr || !why.empty());  // a refusal says why
        if (row.shown != nullptr) { EXPECT_EQ(Shown(out), row.shown); }
    }
}

}  // namespace
