#include "link/channel.h"

#include <chrono>
#include <string>
#include <thread>

#include "link/receive.h"
#include "link_fixture.h"
#include "platform/atomic_word.h"

namespace mira::test {
namespace {

class ChannelTest : public LinkFixture {
protected:
    FakeClock clock;
};

// A holder that never lets go is displaced strictly after TimeoutA + TimeoutB, the receive state with it.
TEST_F(ChannelTest, ForcedReleaseComesStrictlyAfterTheSum) {
    const struct {
        uint16_t timeoutA, timeoutB;
        uint32_t start, yieldMs, busy;
    } rows[] = {{1000, 500, 1000, 1, 1},     {1000, 500, 1000, 1, 2},        {0, 0, 1000, 1, 1},
                {65535, 65535, 1000, 16, 1}, {1000, 500, 0xFFFFFF00u, 1, 1}, {1000, 500, 5, 7, 2}};
    for (const auto& r : rows) {
        SetUp();
        auto& port = Fake().port;
        port.TimeoutA = r.timeoutA;
        port.TimeoutB = r.timeoutB;
        port.RxState = StData;
        port.RxCount = 600;
        Fake().yieldAdvanceMs = r.yieldMs;
        clock.Set(r.start);
        Driver.ChannelBusy = r.busy;
        Driver.ForeignFrameSeen = 1;
        const uint32_t limit = uint32_t{r.timeoutA} + r.timeoutB;
        Fake().onYield = [&] { EXPECT_TRUE(clock.now() - r.start > limit || Driver.ChannelBusy == r.busy); };
        TakeChannel();
        EXPECT_EQ(static_cast<uint32_t>(Fake().yields), limit / r.yieldMs + 1) << limit;
        EXPECT_GT(clock.now() - r.start, limit);
        EXPECT_EQ(Driver.ChannelBusy + Driver.ForeignFrameSeen + port.RxState + port.RxCount, 1u);
    }
    SetUp();
    TakeChannel();  // a free channel is taken without yielding
    EXPECT_EQ(Fake().yields, 0);
}

TEST_F(ChannelTest, ResetLineAlwaysLeavesTheChannelFree) {
    for (const char* answer : {"", "10 06", "10 15", "10 05", "10 02 01 02 03", "FF 00 10"}) {
        SetUp();
        Fake().port.RxCount = 700;
        Fake().onSend = [&](const Bytes& b) {
            if (Hex(b) != "10 05") return;
            EXPECT_EQ(Driver.ChannelBusy, 1u);
            EXPECT_EQ(Fake().port.ReplyPending + Fake().port.RxCount, 0u);
            Fake().Queue(FromHex(answer));
        };
        ResetLine();
        EXPECT_EQ(Driver.ChannelBusy, 0u) << answer;
        EXPECT_EQ(Fake().port.ReplyPending, 1u);
        EXPECT_EQ(Hex(Fake().AllSent()), std::string(answer) == "10 05" ? "10 05 10 06" : "10 05");
        EXPECT_EQ(Fake().outputChecks, 1);
        EXPECT_EQ(Fake().yields, 30);
    }
}

TEST_F(ChannelTest, PollReplyPrefersReplyReady) {
    // ReplyReady, ErrorCode, whether the kept reply answers the request sent last; the poll's result and error
    const std::tuple<uint32_t, uint32_t, bool, int32_t, int32_t> rows[] = {
        {0, 0, true, 0, -7}, {1, 0, true, 1, 0},  {0, 0x101, true, 1, 0x101}, {1, 0x101, true, 1, 0},
        {7, 0x100, true, 1, 0}, {1, 0, false, 0, -7}, {1, 0x101, false, 1, 0x101}};
    for (const auto& [ready, code, current, result, reported] : rows) {
        Fake().port.ReplyReady = ready;
        Fake().port.ErrorCode = code;
        Driver.TnsCounter = 9;
        Driver.ReplyFor = current ? 9 : 8;
        int32_t error = -7;
        EXPECT_EQ(PollReply(&error), result);
        EXPECT_EQ(error, reported);
        EXPECT_EQ(Fake().port.ReplyReady + Fake().port.ErrorCode, ready + code);  // nothing cleared
    }
    EXPECT_EQ(Fake().statusUpdates, 7);
    Driver.Port = nullptr;
    int32_t error = 0;
    EXPECT_EQ(PollReply(&error), 1);
    EXPECT_NE(error, 0);
}

TEST_F(ChannelTest, WaitOutputDrainedEndsInTime) {
    struct {
        uint32_t start, stepMs, jumpTo;
        int doneAt, checks;
    } rows[] = {
        {1000, 1, 0, 1, 1},        {1000, 1, 0, 5, 5},        {1000, 1, 0, 0, 100},
        {1000, 30, 0, 0, 4},       {0xFFFFFFF0u, 0, 5, 0, 1},  // the tick count wraps: the wait ends at once
        {0xFFFFFFC0u, 1, 0, 0, 64}};
    for (const auto& r : rows) {
        SetUp();
        clock.Set(r.start);
        Fake().outputDoneResult = 0;
        Fake().onOutputCheck = [&] {
            if (r.jumpTo != 0) clock.Set(r.jumpTo);
            clock.Advance(r.stepMs);
            Fake().outputDoneResult = r.doneAt != 0 && Fake().outputChecks >= r.doneAt;
        };
        WaitOutputDrained();
        EXPECT_EQ(Fake().outputChecks, r.checks) << r.start << " " << r.stepMs;
    }
}

// A feeder thread plays the peer into HandInts byte by byte while the host thread runs transactions (TSan).
using ThreadsTest = LinkFixture;

TEST_F(ThreadsTest, ReceiveThreadAndHostThread) {
    constexpr int kRounds = 150;
    std::atomic<int> requested{0}, fed{0};
    int foreignSent = 0, foreignSeen = 0;
    Driver.RequestCommand = 0x0F;  // the command every round sends
    std::thread feeder([&] {
        for (int t = 0; t < kRounds; ++t) {
            while (requested.load(std::memory_order_acquire) <= t) std::this_thread::yield();
            const uint8_t tns = static_cast<uint8_t>(t);
            Fake().Feed(FromHex("10 06"));
            if (t % 3 == 0) {  // a controller's write before the reply; no TNS byte matches
                Fake().Feed(Framed({1, 5, 8, 0, uint8_t(tns + 0x80), uint8_t(tns + 0x40), uint8_t(t), 0}));
                ++foreignSent;
            }
            Bytes reply = {1, 0, 0x4F, 0, tns, 0};
            for (int i = 0; i < t % 40; ++i) reply.push_back(uint8_t(i % 5 == 0 ? 0x10 : i + t));
            Fake().Feed(Framed(reply));
            if (t % 3 == 1) {  // a controller's write right after the reply, before the host has read it
                Fake().Feed(Framed({1, 5, 8, 0, uint8_t(tns + 0x80), uint8_t(tns + 0x40), uint8_t(t), 0}));
                ++foreignSent;
            }
            fed.store(t + 1, std::memory_order_release);
        }
    });
    for (int t = 0; t < kRounds; ++t) {
        // A sender cuts a frame that begins between its taking the channel and its send; the
        // controller's write after the last reply is whole before the next request.
        while (fed.load(std::memory_order_acquire) < t) std::this_thread::yield();
        Store(Driver.TnsCounter, t + 1u);  // the command below used TNS t
        const Bytes frame = Framed({0, 1, 0x0F, 0, uint8_t(t), 0});
        TakeChannel();
        ResetReceiver(Driver.Port);
        PkSend(Driver.Port, frame.data(), static_cast<int32_t>(frame.size()));
        requested.store(t + 1, std::memory_order_release);
        int32_t error = -1;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (PollReply(&error) == 0 && std::chrono::steady_clock::now() < deadline)
            std::this_thread::yield();
        if (error != 0) {
            ADD_FAILURE() << "no reply in transaction " << t;
            requested.store(kRounds);  // let the feeder run out
            break;
        }
        WaitOutputDrained();
        uint8_t got[48] = {};
        ASSERT_EQ(CopyReply(0, 6 + t % 40, got), 6 + t % 40);
        EXPECT_EQ(got[4], t % 256);
        EXPECT_TRUE(t % 40 < 2 || got[7] == uint8_t(1 + t)) << t;
        // The host takes its window's messages as the frames come, as a host that consumes a
        // frame by its message does: a window left behind by 64 messages loses the later ones
        // (its queue is full; their frames stay stored), which a starved thread under emulation hit.
        FlushWindowMessages();
        for (int i = 0; i < kUnsolSlotCount; ++i) {
            UnsolSlot& slot = Driver.UnsolSlots[i];
            if (LoadAcquire(slot.InUse) == 0) continue;
            EXPECT_EQ(Narrow(slot.KeyText), "U:" + std::to_string(slot.FrameBytes[6]) + "\t5");
            StoreRelease(slot.InUse, 0u);
            ++foreignSeen;
        }
    }
    feeder.join();
    EXPECT_EQ(foreignSeen, foreignSent);
    EXPECT_EQ(Posts(), foreignSent);
}

}  // namespace
}  // namespace mira::test
