// Fault injection, and bytes from the line that must never hurt the controller.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <utility>

#include "sim_test_util.h"

namespace mira::sim::test {
namespace {

const Bytes kRead = {0x01, 0x00, 0x0F, 0x00, 0x10, 0x00, 0xA2, 0x02, 0x07, 0x89, 0x00, 0x00};
const Bytes kReply = {0x00, 0x01, 0x4F, 0x00, 0x10, 0x00, 0x2A, 0x00};

Bytes WithTns(Bytes m, uint8_t tns) {
    m[4] = tns;
    return m;
}

// A corrupt check, a NAK, a lost ACK, a delay and silence are played end to end; here the
// faults whose bytes only this side can see.
TEST(SimFaults, EachKindOnTheNextCommand) {
    const Bytes reply = Frame(kReply);
    Bytes dropped = reply;
    dropped.erase(dropped.begin() + static_cast<long>(dropped.size() / 2));
    // afterAck: what the controller sends once the master has acknowledged the reply
    const struct { const char* name; Fault fault; Bytes expected, afterAck; } rows[] = {
        {"drop byte", {.kind = FaultKind::DropByte}, Cat(kAckSeq, dropped), {}},
        {"noise", {.kind = FaultKind::Noise}, Cat(Cat(kAckSeq, {0x00, 0xFF, 0x55}), reply), {}},
        {"status F0", {.kind = FaultKind::Status, .sts = 0xF0, .extSts = 0x06},
         Cat(kAckSeq, Frame({0x00, 0x01, 0x4F, 0xF0, 0x10, 0x00, 0x06})), {}},
        {"own command after", {.kind = FaultKind::OwnCommandAfter}, Cat(kAckSeq, reply),
         Frame({0x00, 0x01, 0x0F, 0x00, 0x01, 0x00, 0xAA, 0x04, 0x07, 0x89, 0x00, 0x00, 0xD0, 0xBA, 0xD1, 0xBA})},
    };
    for (const auto& row : rows) {
        StepClock clock;
        Simulator sim(Opts(clock));
        ASSERT_TRUE(sim.Poke("N7:0", "42"));
        sim.InjectFault(row.fault);
        EXPECT_EQ(Send(sim, Frame(kRead)), row.expected) << row.name;
        EXPECT_EQ(Send(sim, kAckSeq), row.afterAck) << row.name;
        Send(sim, kAckSeq);
        // Applied once: the next command is answered normally.
        EXPECT_EQ(Send(sim, Frame(WithTns(kRead, 0x11))), Cat(kAckSeq, Frame(WithTns(kReply, 0x11))))
            << row.name;
    }
}

TEST(SimFaults, NakedCommandIsNotExecutedAndRetransmitWorks) {
    StepClock clock;
    Simulator sim(Opts(clock));
    sim.InjectFault({.kind = FaultKind::Nak});
    const Bytes write = {0x01, 0x00, 0x0F, 0x00, 0x20, 0x00, 0xAA, 0x02, 0x07, 0x89, 0x00, 0x00, 0x05, 0x00};
    EXPECT_EQ(Send(sim, Frame(write)), kNakSeq);
    ExpectPeeks(sim, {{"N7:0", "0"}});
    // The retransmission of the same TNS is a new command: the NAK discarded the first.
    EXPECT_EQ(Send(sim, Frame(write)), Cat(kAckSeq, Frame({0x00, 0x01, 0x4F, 0x00, 0x20, 0x00})));
    ExpectPeeks(sim, {{"N7:0", "5"}});
}

TEST(SimFaults, RepeatAndEveryNth) {
    StepClock clock;
    Simulator sim(Opts(clock));
    sim.InjectFault({.kind = FaultKind::RepeatReply});
    const Bytes r = Frame({0x00, 0x01, 0x4F, 0x00, 0x11, 0x00, 0x00, 0x00});
    EXPECT_EQ(Send(sim, Frame(WithTns(kRead, 0x11))), Cat(kAckSeq, r));
    EXPECT_EQ(Send(sim, kAckSeq), r);
    EXPECT_EQ(Send(sim, kAckSeq), Bytes{});

    // Every third command, without limit, gets no reply.
    sim.ClearFaults();
    sim.InjectFault({.kind = FaultKind::NoReply, .every = 3, .times = 0});
    for (uint8_t i = 1; i <= 6; ++i) {
        const Bytes out = Send(sim, Frame(WithTns(kRead, static_cast<uint8_t>(0x20 + i))));
        EXPECT_EQ(out.size() == 2, i % 3 == 0) << int(i);
        Send(sim, kAckSeq);
    }
}

// What the line does to the controller's bytes, round by round: a spoilt message framed well (a good
// frame: its command may run), random bytes, or a good write hit by noise after it was framed (one
// byte of it changed: its check no longer holds). The controller must never crash, and its tables may
// change only in a round whose good frame it executed: line noise never writes.
TEST(SimFaults, RandomLineBytesNeverHurt) {
    enum Kind { kSpoiltMessage, kRandomBytes, kHitWrite };
    for (Family family : {Family::Slc500, Family::Plc5, Family::Plc2}) {
        for (bool crc : {false, true}) {
            SCOPED_TRACE(testing::Message() << "family " << int(family) << (crc ? " CRC" : " BCC"));
            StepClock clock;
            Options o = Opts(clock, crc);
            o.family = family;
            o.anyStation = true;
            o.duplicateDetection = false;
            if (family != Family::Plc2) o.extraFiles.push_back({"N", 9, 64});  // the PLC-2 writes' file
            Simulator sim(o);
            std::mt19937 rng(1234);
            // A PLC-2 style write of two bytes at byte address 0 (N9:0), which every family takes.
            const Bytes write = {0x01, 0x00, 0x08, 0x00, 0x20, 0x00, 0x00, 0x00, 0x05, 0x00};
            const Bytes seeds[] = {
                kRead,
                write,
                {0x01, 0x00, 0x0F, 0x00, 0x10, 0x00, 0x68, 0, 0, 1, 0, 0, '$', 'N', '7', ':', '1', 0, 1, 0},
                {0x01, 0x00, 0x01, 0x00, 0x10, 0x00, 0x00, 0x00, 0x10},
                {0x01, 0x00, 0x0F, 0x00, 0x10, 0x00, 0xAA, 0x04, 0x07, 0x89, 0xFF, 0xE6, 0x03, 0x00, 1, 2, 3, 4},
            };
            int written = 0;
            std::string tables = sim.Dump();
            for (int round = 0; round < 3000; ++round) {
                const Kind kind = static_cast<Kind>(round % 3);
                Bytes b;
                if (kind == kSpoiltMessage) {
                    Bytes m = seeds[rng() % std::size(seeds)];
                    // Spoil a few bytes of the message, then frame it well.
                    for (int k = 0; k < 3; ++k) m[rng() % m.size()] = static_cast<uint8_t>(rng());
                    if (rng() % 4 == 0) m.resize(rng() % m.size());
                    b = Frame(m, crc);
                } else if (kind == kRandomBytes) {
                    const size_t n = rng() % 40;
                    for (size_t k = 0; k < n; ++k)
                        b.push_back(rng() % 3 == 0 ? 0x10 : static_cast<uint8_t>(rng()));
                } else {
                    Bytes m = write;
                    m[8] = static_cast<uint8_t>(rng() | 1);  // never the value N9:0 holds already
                    b = Frame(m, crc);
                    // One bit of a message byte flips, neither byte being DLE: the frame keeps its shape and
                    // fails its check.
                    size_t at = 0;
                    uint8_t hit = 0x10;
                    while (hit == 0x10) {
                        at = 2 + rng() % m.size();
                        hit = b[at] == 0x10 ? 0x10 : static_cast<uint8_t>(b[at] ^ (1u << (rng() % 8)));
                    }
                    b[at] = hit;
                }
                const Stats seen = sim.GetStats();
                sim.FromMaster(b.data(), b.size());
                Drain(sim);
                if (round % 7 == 0) sim.FromMaster(kAckSeq.data(), kAckSeq.size());
                clock.AdvanceMs(rng() % 150);
                const Stats now = sim.GetStats();
                const bool executed = now.commands > seen.commands;
                EXPECT_FALSE(kind == kHitWrite && executed) << "round " << round << ": a frame with a bad check ran";
                std::string after = sim.Dump();
                if (after == tables) continue;
                ++written;
                EXPECT_TRUE(executed && kind != kHitWrite)
                    << "round " << round << ": the tables changed from\n" << tables << "to\n" << after;
                tables = std::move(after);
            }
            EXPECT_GT(written, 0) << "no spoilt write ever ran: the check above tested nothing";
            EXPECT_GE(sim.GetStats().badChecks, 1000u);
        }
    }
}

TEST(SimFaults, NullAndEmptyCallsAreHarmless) {
    Simulator sim(Options{});
    sim.FromMaster(nullptr, 10);
    sim.FromMaster(kAckSeq.data(), 0);
    EXPECT_EQ(sim.ToMaster(nullptr, 10), 0u);
    uint8_t b[1];
    EXPECT_EQ(sim.ToMaster(b, 0), 0u);
    EXPECT_FALSE(sim.Peek("N7:0", nullptr));
    sim.SendUnsolicited({0x01, 0x02});  // too short to be a command: not sent
    EXPECT_EQ(Drain(sim), Bytes{});
}

}  // namespace
}  // namespace mira::sim::test
