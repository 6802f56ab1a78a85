#include "link/channel.h"

#include <gtest/gtest.h>

#include <string>

#include "link/receive.h"
#include "link_fixture.h"
#include "platform/clock.h"

namespace mira {
namespace {

using test::Bytes;
using test::Fake;
using test::FakeClock;
using test::FromHex;
using test::Hex;

class ChannelTest : public test::LinkFixture {
protected:
    FakeClock clock;
};

TEST_F(ChannelTest, FreeChannelIsTakenWithoutYielding) {
    TakeChannel();
    EXPECT_EQ(Driver.ChannelBusy, 1u);
    EXPECT_EQ(Fake().yields, 0);
}

// A holder that never lets go is displaced strictly after TimeoutA + TimeoutB.
struct ForceCase {
    const char* name;
    uint16_t timeoutA, timeoutB;
    uint32_t startTick;
    uint32_t yieldMs;
    uint32_t busy;
};

const ForceCase kForce[] = {
    {"Usual", 1000, 500, 1000, 1, 1},
    {"HeldByIncomingFrame", 1000, 500, 1000, 1, 2},
    {"ZeroTimeouts", 0, 0, 1000, 1, 1},
    {"SumPast16Bits", 65535, 65535, 1000, 16, 1},
    {"AcrossTickWrap", 1000, 500, 0xFFFFFF00u, 1, 1},
    {"CoarseYield", 1000, 500, 5, 7, 2},
};

class ForceTest : public ChannelTest, public ::testing::WithParamInterface<ForceCase> {};

TEST_P(ForceTest, ReleasesOnlyAfterTheSum) {
    const ForceCase& c = GetParam();
    auto& port = Fake().port;
    port.TimeoutA = c.timeoutA;
    port.TimeoutB = c.timeoutB;
    Fake().yieldAdvanceMs = c.yieldMs;
    clock.Set(c.startTick);
    Driver.ChannelBusy = c.busy;
    Driver.ForeignFrameSeen = 1;
    port.RxState = StData;
    port.RxCount = 600;
    port.RawCount = 77;
    const uint32_t limit = uint32_t{c.timeoutA} + c.timeoutB;
    uint32_t lastBusyElapsed = 0;
    Fake().onYield = [&] {
        // Still held at every yield that starts at or before the limit.
        if (clock.now() - c.startTick <= limit) {
            EXPECT_EQ(Driver.ChannelBusy, c.busy);
            lastBusyElapsed = clock.now() - c.startTick;
        }
    };
    TakeChannel();
    const uint32_t elapsed = clock.now() - c.startTick;
    EXPECT_GT(elapsed, limit);
    EXPECT_LE(elapsed, limit + c.yieldMs);
    EXPECT_EQ(static_cast<uint32_t>(Fake().yields), limit / c.yieldMs + 1);
    EXPECT_EQ(Driver.ChannelBusy, 1u);
    EXPECT_EQ(Driver.ForeignFrameSeen, 0u);
    EXPECT_EQ(port.RxState, StIdle);
    EXPECT_EQ(port.RxCount, 0u);
    EXPECT_EQ(port.RawCount, 0u);
    EXPECT_LE(lastBusyElapsed, limit);
}

INSTANTIATE_TEST_SUITE_P(Force, ForceTest, ::testing::ValuesIn(kForce),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(ChannelTest, WaitsForTheFrameToEnd) {
    Driver.ChannelBusy = 2;
    Driver.UseCrc = 0;
    // An incoming frame ends during the first yield.
    Fake().port.RxState = StIdle;
    Fake().Queue(FromHex("10 06"));
    Driver.ChannelBusy = 2;
    TakeChannel();
    EXPECT_EQ(Fake().yields, 1);
    EXPECT_EQ(Driver.ChannelBusy, 1u);
}

// ResetLine: one DLE ENQ cycle that leaves the channel free whatever answers.
struct ResetCase {
    const char* name;
    uint32_t busyBefore;
    const char* answer;
    const char* sent;
};

const ResetCase kResets[] = {
    {"PeerSilent", 0, "", "10 05"},
    {"PeerAcks", 0, "10 06", "10 05"},
    {"PeerNaks", 0, "10 15", "10 05"},
    {"PeerEnquires", 0, "10 05", "10 05 10 06"},
    {"PeerStartsAFrame", 0, "10 02 01 02 03", "10 05"},
    {"PeerSendsGarbage", 0, "FF 00 10", "10 05"},
    {"ChannelLeftBySender", 1, "10 06", "10 05"},
};

class ResetTest : public ChannelTest, public ::testing::WithParamInterface<ResetCase> {};

TEST_P(ResetTest, SendsEnqAndFreesTheChannel) {
    const ResetCase& c = GetParam();
    auto& port = Fake().port;
    Driver.ChannelBusy = c.busyBefore;
    port.RxState = StData;
    port.RxCount = 700;
    Fake().onSend = [&](const Bytes& bytes) {
        if (Hex(bytes) == "10 05") {
            EXPECT_EQ(port.ReplyPending, 0u);
            EXPECT_EQ(port.RxState, StIdle);
            EXPECT_EQ(port.RxCount, 0u);
            EXPECT_EQ(Driver.ChannelBusy, 1u);
            Fake().Queue(FromHex(c.answer));
        }
    };
    ResetLine();
    EXPECT_EQ(Driver.ChannelBusy, 0u);
    EXPECT_EQ(port.ReplyPending, 1u);
    EXPECT_EQ(Hex(Fake().AllSent()), c.sent);
    EXPECT_EQ(Fake().outputChecks, 1);
    EXPECT_GE(Fake().yields, 30);
    EXPECT_EQ(clock.sleepCalls, 30u + static_cast<uint32_t>(Fake().yields));  // yields sleep too
}

INSTANTIATE_TEST_SUITE_P(Resets, ResetTest, ::testing::ValuesIn(kResets),
                         [](const auto& info) { return std::string(info.param.name); });

// PollReply: ReplyReady wins over ErrorCode; neither word is cleared.
struct PollCase {
    const char* name;
    uint32_t replyReady;
    uint32_t errorCode;
    int32_t result;
    int32_t error;
};

const PollCase kPolls[] = {
    {"StillOpen", 0, 0, 0, -7},
    {"ReplyIn", 1, 0, 1, 0},
    {"Failed", 0, 0x101, 1, 0x101},
    {"Overflow", 0, 0x100, 1, 0x100},
    {"ReplyWinsOverError", 1, 0x101, 1, 0},
    {"AnyNonzeroReady", 7, 0, 1, 0},
};

class PollTest : public ChannelTest, public ::testing::WithParamInterface<PollCase> {};

TEST_P(PollTest, ReportsTheExchange) {
    const PollCase& c = GetParam();
    auto& port = Fake().port;
    port.ReplyReady = c.replyReady;
    port.ErrorCode = c.errorCode;
    int32_t error = -7;
    EXPECT_EQ(PollReply(&error), c.result);
    EXPECT_EQ(error, c.error);
    EXPECT_EQ(Fake().statusUpdates, 1);
    EXPECT_EQ(port.ReplyReady, c.replyReady);
    EXPECT_EQ(port.ErrorCode, c.errorCode);
}

INSTANTIATE_TEST_SUITE_P(Polls, PollTest, ::testing::ValuesIn(kPolls),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(ChannelTest, PollWithoutPortEndsTheExchange) {
    Driver.Port = nullptr;
    int32_t error = 0;
    EXPECT_EQ(PollReply(&error), 1);
    EXPECT_NE(error, 0);
}

// WaitOutputDrained stops on output done, after 100 ms, or on a tick wrap.
struct DrainCase {
    const char* name;
    uint32_t startTick;
    uint32_t stepMs;       // clock advance per output check
    int doneAfterChecks;   // 0 = never
    uint32_t jumpTo;       // nonzero: the clock jumps here at the first check
    int checks;
};

const DrainCase kDrains[] = {
    {"DoneAtOnce", 1000, 1, 1, 0, 1},
    {"DoneAfterFive", 1000, 1, 5, 0, 5},
    {"NeverDoneStopsAt100ms", 1000, 1, 0, 0, 100},
    {"CoarseClock", 1000, 30, 0, 0, 4},
    {"TickWrapEndsAtOnce", 0xFFFFFFF0u, 0, 0, 5, 1},
    {"WrapPartWayEndsTheWait", 0xFFFFFFC0u, 1, 0, 0, 64},
};

class DrainTest : public ChannelTest, public ::testing::WithParamInterface<DrainCase> {};

TEST_P(DrainTest, StopsInTime) {
    const DrainCase& c = GetParam();
    clock.Set(c.startTick);
    Fake().outputDoneResult = 0;
    Fake().onOutputCheck = [&] {
        if (c.jumpTo != 0 && Fake().outputChecks == 1) clock.Set(c.jumpTo);
        clock.Advance(c.stepMs);
        if (c.doneAfterChecks != 0 && Fake().outputChecks >= c.doneAfterChecks) Fake().outputDoneResult = 1;
    };
    WaitOutputDrained();
    EXPECT_EQ(Fake().outputChecks, c.checks);
}

INSTANTIATE_TEST_SUITE_P(Drains, DrainTest, ::testing::ValuesIn(kDrains),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace mira
