// The link as a controller runs it: checks, ACK/NAK/ENQ, retransmission, repeats, its own messages.
#include <gtest/gtest.h>

#include "sim/link.h"
#include "sim_test_util.h"

namespace mira::sim::test {
namespace {

// N7:0 read of one word, TNS 0x0041.
const Bytes kReadN7 = {0x01, 0x00, 0x0F, 0x00, 0x41, 0x00, 0xA2, 0x02, 0x07, 0x89, 0x00, 0x00};
const Bytes kReadN7Reply = {0x00, 0x01, 0x4F, 0x00, 0x41, 0x00, 0x7B, 0x00};
const Bytes kWriteN7 = {0x01, 0x00, 0x0F, 0x00, 0x42, 0x00, 0xAA, 0x02, 0x07, 0x89, 0x00, 0x00, 0x09, 0x00};

// Frames are compared with the helpers' own encoder; a check both got wrong would fail
// every exchange with the driver, whose encoder is pinned by worked examples.
TEST(SimLink, BadChecksAreNakedAndNotExecuted) {
    // Whether the check is a CRC, and which byte of the frame to spoil, counted from its end.
    for (const auto& [crc, flipFromEnd] : {std::pair{false, 1}, {true, 2}, {true, 1}}) {
        SCOPED_TRACE(testing::Message() << "crc " << crc << ", byte " << flipFromEnd);
        StepClock clock;
        Simulator sim(Opts(clock, crc));
        Bytes f = Frame(kWriteN7, crc);
        f[f.size() - size_t(flipFromEnd)] ^= 0x01;
        EXPECT_EQ(Send(sim, f), kNakSeq);
        ExpectPeeks(sim, {{"N7:0", "0"}});
        EXPECT_EQ(Send(sim, kEnqSeq), kNakSeq);  // ENQ repeats the last response
    }
}

TEST(SimLink, ReplyRetransmittedOnNakAndAfterSilence) {
    StepClock clock;
    Options o = Opts(clock);
    o.nakRetries = 2;
    o.enqRetries = 2;
    Simulator sim(o);
    ASSERT_TRUE(sim.Poke("N7:0", "123"));
    const Bytes reply = Frame(kReadN7Reply);
    EXPECT_EQ(Send(sim, Frame(kReadN7)), Cat(kAckSeq, reply));
    EXPECT_EQ(Send(sim, kNakSeq), reply);  // NAK: sent again
    // Silence: after the ACK time-out the controller asks with ENQ.
    clock.AdvanceMs(99);
    EXPECT_EQ(Drain(sim), Bytes{});
    clock.AdvanceMs(2);
    EXPECT_EQ(Drain(sim), kEnqSeq);
    // The master answers the ENQ with NAK: the reply goes out once more.
    EXPECT_EQ(Send(sim, kNakSeq), reply);
    // A further NAK exceeds the retries: the reply is abandoned.
    EXPECT_EQ(Send(sim, kNakSeq), Bytes{});
    EXPECT_EQ(sim.GetStats().abandoned, 1u);
    EXPECT_EQ(sim.GetStats().retransmissions, 2u);
}

TEST(SimLink, SilentMasterGetsBoundedEnquiries) {
    StepClock clock;
    Options o = Opts(clock);
    o.enqRetries = 3;
    Simulator sim(o);
    Send(sim, Frame(kReadN7));
    for (int i = 0; i < 3; ++i) {
        clock.AdvanceMs(101);
        EXPECT_EQ(Drain(sim), kEnqSeq) << i;
    }
    clock.AdvanceMs(101);
    EXPECT_EQ(Drain(sim), Bytes{});
    EXPECT_EQ(sim.GetStats().abandoned, 1u);
}

TEST(SimLink, RepeatedCommandIsAckedNotExecutedTwice) {
    for (bool detect : {true, false}) {
        StepClock clock;
        Options o = Opts(clock);
        o.duplicateDetection = detect;
        Simulator sim(o);
        ASSERT_TRUE(sim.Poke("N7:0", "5"));
        Send(sim, Frame(kWriteN7));
        Send(sim, kAckSeq);
        Bytes second = Send(sim, Frame(kWriteN7));
        EXPECT_EQ(Bytes(second.begin(), second.begin() + 2), kAckSeq);
        EXPECT_EQ(second.size() > 2, !detect) << "a repeated command is answered only without detection";
        EXPECT_EQ(sim.GetStats().duplicates, detect ? 1u : 0u);
        EXPECT_EQ(sim.GetStats().commands, detect ? 1u : 2u);
        Send(sim, kAckSeq);
        // Same TNS but another source station is a new command.
        Bytes other = kWriteN7;
        other[1] = 0x05;
        Bytes third = Send(sim, Frame(other));
        EXPECT_GT(third.size(), 2u);
    }
}

TEST(SimLink, OtherStationIsAckedNotAnswered) {
    StepClock clock;
    Simulator sim(Opts(clock));
    Bytes msg = kReadN7;
    msg[0] = 0x09;
    EXPECT_EQ(Send(sim, Frame(msg)), kAckSeq);
    EXPECT_EQ(sim.GetStats().otherStation, 1u);
}

TEST(SimLink, BrokenAndOversizedFramesNeverCrash) {
    StepClock clock;
    Simulator sim(Opts(clock));
    // DLE followed by a stray byte inside a frame: dropped without reply.
    EXPECT_EQ(Send(sim, {0x10, 0x02, 0x01, 0x00, 0x10, 0x41, 0x00}), Bytes{});
    EXPECT_EQ(Send(sim, kEnqSeq), kNakSeq);
    // A frame longer than any command is refused.
    Bytes big = {0x10, 0x02};
    big.insert(big.end(), 2000, 0x01);
    big.insert(big.end(), {0x10, 0x03, 0x00});
    EXPECT_EQ(Send(sim, big), kNakSeq);
    // Too short to hold a header.
    EXPECT_EQ(Send(sim, Frame({0x01, 0x00, 0x0F})), kNakSeq);
    // The link still works afterwards.
    Bytes out = Send(sim, Frame(kReadN7));
    EXPECT_EQ(Bytes(out.begin(), out.begin() + 2), kAckSeq);
}

// Element 300 goes out escaped; the PLC-2 write and the master's reply run end to end.
TEST(SimLink, UnsolicitedTypedWriteEscapesTheElement) {
    StepClock clock;
    Simulator sim(Opts(clock));
    sim.SendUnsolicitedTypedWrite(0x00, 7, 0x89, 300, 0, {0x0005});
    EXPECT_EQ(Drain(sim), Frame({0x00, 0x01, 0x0F, 0x00, 0x01, 0x00, 0xAA, 0x02, 0x07, 0x89, 0xFF, 0x2C, 0x01, 0x00,
                                 0x05, 0x00}));
}

// The controller's own write by address, a new TNS each period; nothing for an address it lacks.
// The PLC-2 write and its frame: MiraAsAUser.SimSendsWritesThatListenPrintsAndAnswers.
TEST(SimLink, PeriodicWriteRenewsTheTns) {
    StepClock clock;
    Simulator sim(Opts(clock));
    ASSERT_TRUE(sim.SetPeriodicWrite(0x00, "T4:1.ACC", 1, {0x0005}, 50));
    EXPECT_EQ(Drain(sim), Bytes{});
    const auto write = [](uint8_t tns) { return Frame({0x00, 0x01, 0x0F, 0x00, tns, 0x00, 0xAA, 0x02, 0x04, 0x86, 0x02, 0, 0x05, 0}); };
    for (uint8_t tns : {1, 2}) {
        clock.AdvanceMs(50);
        EXPECT_EQ(Drain(sim), write(tns));
        Send(sim, kAckSeq);
        // The master answers the first as done, the second with STS 0x90: it could not buffer it.
        EXPECT_EQ(Send(sim, Frame({0x01, 0x00, 0x4F, uint8_t(tns == 1 ? 0x00 : 0x90), tns, 0x00})), kAckSeq);
    }
    // A master that does not acknowledge holds the writes up: one waits for the line, the turns after it
    // are skipped rather than piled up to go out in one burst.
    for (int period = 0; period < 4; ++period) clock.AdvanceMs(50), Drain(sim);
    EXPECT_EQ(Send(sim, kAckSeq), write(4));
    EXPECT_EQ(Send(sim, kAckSeq), Bytes{});
    const Stats stats = sim.GetStats();
    EXPECT_EQ(std::tuple(stats.ownCommands, stats.masterReplies, stats.masterRefusals, stats.cannotBuffer),
              std::tuple(4u, 1u, 1u, 1u));
    const struct { const char* address; uint32_t offset; size_t words; } refused[] = {
        {"X9:0", 0, 1}, {"N7:999", 0, 2}, {"N7:0", 1000, 1}, {"B3:0/1", 0, 1}, {"U:0", 0, 1}, {"N7:0", 0, 121},
        {"N7:0", 0, 0}};
    for (const auto& r : refused)
        EXPECT_FALSE(sim.SetPeriodicWrite(0, r.address, r.offset, std::vector<uint16_t>(r.words, 1), 50))
            << r.address;
    Options plc2 = Opts(clock);
    plc2.family = Family::Plc2;
    Simulator p2(plc2);
    EXPECT_FALSE(p2.SetPeriodicWrite(0x00, "N7:0", 0, {1}, 50));
    EXPECT_FALSE(p2.SetPeriodicWrite(0x00, "U:32767", 0, {1, 2}, 50)) << "beyond 16-bit byte addresses";
}

// The benchmarks' line speeds: byte n of what answers a command leaves n * 10 bits / baud after it
// came in, to the microsecond however long the run (at 115200 baud 86.8 us a byte, not 86), and the
// simulator tells when the next one is due.
TEST(SimLink, PacingIsExactOverAWholeFrame) {
    StepClock unpacedClock;
    Simulator unpaced(Opts(unpacedClock));
    const size_t total = Send(unpaced, Frame(kReadN7)).size();  // DLE ACK and the reply
    for (const uint32_t baud : {9600u, 19200u, 115200u}) {
        SCOPED_TRACE(baud);
        StepClock clock;
        Options o = Opts(clock);
        o.baud = baud;
        Simulator paced(o);
        const uint64_t start = *clock.us;
        paced.FromMaster(Frame(kReadN7).data(), Frame(kReadN7).size());
        size_t out = 0;
        for (const size_t n : {size_t{1}, size_t{2}, total}) {
            const uint64_t doneUs = (n * 10 * 1000000 + baud - 1) / baud;
            *clock.us = start + doneUs - 1;
            out += Drain(paced).size();
            EXPECT_EQ(out, n - 1) << "byte " << n << " before " << doneUs << " us";
            EXPECT_EQ(paced.NextEventUs(), start + doneUs) << "a far end waking for byte " << n;
            *clock.us = start + doneUs;
            out += Drain(paced).size();
            EXPECT_EQ(out, n) << "byte " << n << " at " << doneUs << " us";
        }
    }
}

}  // namespace
}  // namespace mira::sim::test
