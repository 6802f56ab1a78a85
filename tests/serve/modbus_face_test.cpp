// The Modbus face over loopback TCP, with libmodbus as the client and a fake
// line thread answering the store's writes: reads from the scanned values,
// writes in address order up to the first failure, a lost line, and clients
// that misbehave while another keeps polling.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <modbus/modbus.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <map>
#include <thread>

#include "serve/modbus/modbus_face.h"

namespace mira::serve::modbus {
namespace {

using std::chrono::milliseconds;
using Clock = std::chrono::steady_clock;

TagInfo Tag(const std::string& name, TagKind kind, const std::string& place, bool writable, int32_t chars = 0) {
    TagInfo t;
    t.name = name;
    t.header = "N7:0";
    t.item = "W" + name;  // what tells tags apart when they are replaced
    t.kind = kind;
    t.chars = chars;
    t.writable = writable;
    t.faces["modbus"]["modbus"] = place;
    return t;
}

std::vector<TagInfo> Tags() {
    return {Tag("level", TagKind::Word, "ir:0", false),   Tag("setpoint", TagKind::Word, "hr:0", true),
            Tag("limit", TagKind::Word, "hr:1", true),    Tag("flow", TagKind::Float, "hr:2", true),
            Tag("refused", TagKind::Word, "hr:4", true),  Tag("silent", TagKind::Word, "hr:5", true),
            Tag("failed", TagKind::Word, "hr:6", true),   Tag("pump", TagKind::Bit, "co:0", true),
            Tag("alarm", TagKind::Bit, "di:0", false),    Tag("recipe", TagKind::String, "hr:10", true, 4),
            Tag("stuck", TagKind::Word, "hr:7", true)};
}

TagStore::Reading Good(size_t tag, Value v) { return {tag, std::move(v), kQualityGood, 1, 0, ""}; }

// The line thread: stores what is written and answers with it read back;
// three tags answer as a controller that refuses, stays silent or fails,
// and a write of "stuck" is never answered.
class FakeLine {
public:
    explicit FakeLine(TagStore& store) : store_(store), thread_([this] { Run(); }) {}
    ~FakeLine() {
        store_.Stop();
        thread_.join();
    }
    std::vector<std::string> Written() {
        std::lock_guard<std::mutex> lock(mutex_);
        return std::exchange(written_, {});
    }

private:
    void Run() {
        static const std::map<std::string, WriteResult> kAnswers = {
            {"refused", {WriteOutcome::BadValue, MIRA_ERR_RANGE, "refused", {}}},
            {"silent", {WriteOutcome::NoReply, MIRA_PK_ERR_TIMEOUT, "no reply", {}}},
            {"failed", {WriteOutcome::Failed, 16, "the controller's status", {}}}};
        // Until the store stops: WaitForWork returns false then, and only then within the hour.
        while (store_.WaitForWork(Clock::now() + std::chrono::hours(1)))
            while (auto w = store_.TakeWrite()) {
                {
                    std::lock_guard<std::mutex> lock(mutex_);
                    written_.push_back(w->info.name + "=" + w->json.dump());
                }
                if (w->info.name == "stuck") {
                    held_.push_back(std::move(*w));
                    continue;
                }
                if (const auto a = kAnswers.find(w->info.name); a != kAnswers.end()) {
                    w->Complete(a->second);
                    continue;
                }
                const Value v = w->info.kind == TagKind::String  ? Value(w->json.get<std::string>())
                                : w->info.kind == TagKind::Float ? Value(w->json.get<double>())
                                                                 : Value(w->json.get<int32_t>());
                store_.Update({Good(w->tag, v)});
                w->Complete({WriteOutcome::Written, 0, "", store_.Get(w->tag)->value});
            }
    }
    TagStore& store_;
    std::mutex mutex_;
    std::vector<std::string> written_;
    std::vector<PendingWrite> held_;
    std::thread thread_;
};

struct Client {
    explicit Client(uint16_t port) : ctx(modbus_new_tcp("127.0.0.1", port)) {
        modbus_set_response_timeout(ctx, 10, 0);  // far past any answer here; only a hung face reaches it
        connected = modbus_connect(ctx) == 0;
    }
    ~Client() {
        modbus_close(ctx);
        modbus_free(ctx);
    }
    modbus_t* ctx;
    bool connected = false;
};

// The exception of the last call, 0 when it answered.
int ExceptionOf(int rc) { return rc >= 0 ? 0 : errno - MODBUS_ENOBASE; }

class ModbusFaceTest : public ::testing::Test {
protected:
    void SetUp() override {
        store_.Update({Good(0, 100), Good(1, 1), Good(2, 2), Good(3, 2.5), Good(4, 0), Good(5, 0), Good(6, 0),
                       Good(7, 0), Good(8, 1), Good(9, std::string("AB"))});
        runner_ = std::make_unique<FaceRunner>(std::unique_ptr<Face>(face_), store_);
        std::string why;
        ASSERT_TRUE(runner_->Start(&why)) << why;
    }
    FaceOptions Options() {
        FaceOptions o;
        o.server.port = 0;
        o.server.maxClients = 4;
        o.server.idle = milliseconds(60000);
        o.server.frame = milliseconds(300);
        o.server.evictAfter = milliseconds(200);
        o.writeWait = milliseconds(60000);  // only a stop or the fake line ends a write here
        return o;
    }
    TagStore store_{Tags(), {"fast"}};
    FakeLine line_{store_};
    ModbusFace* face_ = new ModbusFace(store_, Options());
    std::unique_ptr<FaceRunner> runner_;
};

TEST_F(ModbusFaceTest, ClientsReadTheScannedValuesAndWriteThroughTheLine) {
    Client c(face_->Port());
    ASSERT_TRUE(c.connected);
    enum Op { ReadHr, ReadIr, ReadCo, ReadDi, WriteHr, WriteCo, LoseLine, RestoreLine };
    const struct {
        const char* name;
        Op op;
        int address;
        std::vector<uint16_t> values;  // to write, or as read
        int exception;
        std::vector<std::string> written;
    } kSteps[] = {
        {"an input register", ReadIr, 0, {100}, 0, {}},
        {"words and a float", ReadHr, 0, {1, 2, 0x4020, 0}, 0, {}},
        {"a string", ReadHr, 10, {0x4142, 0}, 0, {}},
        {"a discrete input", ReadDi, 0, {1}, 0, {}},
        {"two tags in address order", WriteHr, 0, {7, 0xFFF9}, 0, {"setpoint=7", "limit=-7"}},
        {"read back", ReadHr, 0, {7, 0xFFF9}, 0, {}},
        {"up to the first failure", WriteHr, 2, {0x3F80, 0, 5, 6, 7}, kIllegalValue, {"flow=1.0", "refused=5"}},
        {"no reply", WriteHr, 5, {1}, kTargetFailed, {"silent=1"}},
        {"the controller's error", WriteHr, 6, {1}, kDeviceFailure, {"failed=1"}},
        {"a value refused before the line", WriteHr, 2, {0x7FC0, 0}, kIllegalValue, {}},
        {"half a float", WriteHr, 1, {1, 0x3F80}, kIllegalAddress, {}},
        {"past the string", WriteHr, 10, {0x4142, 0x4344, 0x4500}, kIllegalAddress, {}},
        {"a string written", WriteHr, 10, {0x6869, 0x2100}, 0, {"recipe=\"hi!\""}},
        {"a coil", WriteCo, 0, {1}, 0, {"pump=1"}},
        {"the coil read back", ReadCo, 0, {1}, 0, {}},
        {"the line lost", LoseLine, 0, {}, 0, {}},
        {"words while the line is lost", ReadHr, 0, {0, 0}, kTargetFailed, {}},
        {"the line back", RestoreLine, 0, {}, 0, {}},
        {"words again", ReadHr, 0, {9, 9}, 0, {}},
    };
    for (const auto& s : kSteps) {
        SCOPED_TRACE(s.name);
        std::vector<uint16_t> got(s.values.size() + 1);
        std::vector<uint8_t> bits(s.values.size() + 1);
        const int n = static_cast<int>(s.values.size());
        int rc = 0;
        switch (s.op) {
            case ReadHr: rc = modbus_read_registers(c.ctx, s.address, n, got.data()); break;
            case ReadIr: rc = modbus_read_input_registers(c.ctx, s.address, n, got.data()); break;
            case ReadCo: rc = modbus_read_bits(c.ctx, s.address, n, bits.data()); break;
            case ReadDi: rc = modbus_read_input_bits(c.ctx, s.address, n, bits.data()); break;
            case WriteHr:
                rc = n == 1 ? modbus_write_register(c.ctx, s.address, s.values[0])
                            : modbus_write_registers(c.ctx, s.address, n, s.values.data());
                break;
            case WriteCo: rc = modbus_write_bit(c.ctx, s.address, s.values[0]); break;
            case LoseLine:
            case RestoreLine: {
                std::vector<TagStore::Reading> r;
                for (size_t i = 0; i < Tags().size(); ++i)
                    r.push_back(s.op == LoseLine ? TagStore::Reading{i, {}, 0, 0, 4099, "line lost"} : Good(i, 9));
                store_.Update(r);
                // The face takes changes on a thread of its own: the next
                // read waits until it shows them.
                const auto end = Clock::now() + std::chrono::seconds(10);
                uint16_t probe[1];
                while (Clock::now() < end &&
                       (modbus_read_registers(c.ctx, 0, 1, probe) == 1) == (s.op == LoseLine))
                    std::this_thread::sleep_for(milliseconds(5));
                continue;
            }
        }
        EXPECT_EQ(ExceptionOf(rc), s.exception);
        EXPECT_EQ(line_.Written(), s.written);
        if (s.exception != 0 || s.op >= WriteHr) continue;
        for (int i = 0; i < n; ++i)
            EXPECT_EQ(s.op == ReadCo || s.op == ReadDi ? bits[i] : got[i], s.values[i]) << "at " << i;
    }
}

// Opens a raw connection to the face; -1 when refused.
int Connect(uint16_t port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// What the face sends until it closes the connection, waiting at most `bound`.
std::vector<uint8_t> ReadToClose(int fd, milliseconds bound) {
    std::vector<uint8_t> got;
    const auto end = Clock::now() + bound;
    for (;;) {
        pollfd p{fd, POLLIN, 0};
        const auto left = std::chrono::duration_cast<milliseconds>(end - Clock::now()).count();
        if (left <= 0 || ::poll(&p, 1, static_cast<int>(left)) <= 0) break;
        uint8_t buf[300];
        const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
        if (n <= 0) return got;
        got.insert(got.end(), buf, buf + n);
    }
    got.push_back(0xEE);  // still open at the bound
    return got;
}

TEST_F(ModbusFaceTest, BadClientsStopNeitherTheOthersNorTheLine) {
    Client poller(face_->Port());
    ASSERT_TRUE(poller.connected);
    uint16_t reg[1];
    // The bound of each wait for the face to close: the frame time (300 ms) with ample margin.
    const milliseconds bound(10000);
    const struct {
        const char* name;
        std::vector<uint8_t> sent;
        std::vector<uint8_t> answer;  // before the face closes the connection
    } kCases[] = {
        {"a truncated header", {0, 1, 0}, {}},
        {"another protocol", {0, 1, 0, 7, 0, 6, 1, 3, 0, 0, 0, 1}, {}},
        {"a length past 260 bytes", {0, 2, 0, 0, 1, 0, 9, 16, 0, 0}, {0, 2, 0, 0, 0, 3, 9, 0x90, kIllegalValue}},
        {"a length without a function", {0, 3, 0, 0, 0, 1, 1}, {}},
        {"a frame cut short", {0, 4, 0, 0, 0, 6, 1, 3, 0}, {}},
        {"an unserved function, then a read",
         {0, 5, 0, 0, 0, 5, 1, 0x2B, 0x0E, 1, 0, 0, 6, 0, 0, 0, 6, 1, 4, 0, 0, 0, 1},
         {0, 5, 0, 0, 0, 3, 1, 0xAB, kIllegalFunction, 0, 6, 0, 0, 0, 5, 1, 4, 2, 0, 100, 0xEE}},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.name);
        const int fd = Connect(face_->Port());
        ASSERT_GE(fd, 0);
        ASSERT_EQ(::send(fd, c.sent.data(), c.sent.size(), MSG_NOSIGNAL), static_cast<ssize_t>(c.sent.size()));
        // The last case keeps its connection: its answers end at the bound.
        EXPECT_EQ(ReadToClose(fd, c.answer.empty() || c.answer.back() != 0xEE ? bound : milliseconds(500)), c.answer);
        ::close(fd);
        EXPECT_EQ(modbus_read_registers(poller.ctx, 0, 1, reg), 1);
    }

    // 100 connections that send nothing: the places beyond the first go to
    // newcomers only once their holders fell silent, so the poller, asking
    // every few milliseconds, keeps its own; after the flood a newcomer
    // gets a place by taking the longest silent one.
    std::vector<int> flood;
    for (int i = 0; i < 100; ++i) {
        const int fd = Connect(face_->Port());
        if (fd >= 0) flood.push_back(fd);
        EXPECT_EQ(modbus_read_registers(poller.ctx, 0, 1, reg), 1);
    }
    std::this_thread::sleep_for(milliseconds(400));  // past evictAfter (200 ms)
    Client late(face_->Port());
    EXPECT_EQ(modbus_read_input_registers(late.ctx, 0, 1, reg), 1);
    EXPECT_EQ(reg[0], 100);
    EXPECT_LE(store_.Metrics().Value("mira_modbus_clients"), 4 + 1);  // the acceptor counts as they end
    for (int fd : flood) ::close(fd);

    // The line thread still answers writes.
    EXPECT_EQ(modbus_write_register(poller.ctx, 0, 3), 1);
    EXPECT_EQ(line_.Written(), std::vector<std::string>{"setpoint=3"});
    const FaceMetrics& m = store_.Metrics();
    EXPECT_EQ(m.Value("mira_modbus_requests_total", {{"function", "16"}, {"result", "illegal_value"}}), 1);
    EXPECT_EQ(m.Value("mira_modbus_requests_total", {{"function", "other"}, {"result", "illegal_function"}}), 1);
    EXPECT_EQ(m.Value("mira_modbus_requests_total", {{"function", "6"}, {"result", "ok"}}), 1);
    EXPECT_NE(m.Text().find("# TYPE mira_modbus_clients gauge\n"), std::string::npos);
}

TEST_F(ModbusFaceTest, StopEndsAWriteThatWaitsOnTheLine) {
    Client c(face_->Port());
    std::thread writer([&] { modbus_write_register(c.ctx, 7, 1); });
    // Until the line holds the write; the bound only keeps a broken face from hanging the test.
    const auto end = Clock::now() + std::chrono::seconds(10);
    while (Clock::now() < end && line_.Written().empty()) std::this_thread::sleep_for(milliseconds(5));
    const auto start = Clock::now();
    runner_->Stop();
    writer.join();
    // The write would wait 60 s; the stop is seen within a slice of 100 ms.
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(30));
}

}  // namespace
}  // namespace mira::serve::modbus
