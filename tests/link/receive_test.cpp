#include "link/receive.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "link/frame.h"
#include "link_fixture.h"
#include "platform/atomic_word.h"

namespace mira {
namespace {

using test::Bytes;
using test::Fake;
using test::FromHex;
using test::Hex;

// ---------------------------------------------------------------------------
// Streams of link events: what the handler sends, stores and does to the
// channel. Each row runs in both check modes.

struct Piece {
    enum Kind { Raw, Good, Bad } kind;
    const char* hex;  // raw bytes, or the message of a frame
};

struct StreamCase {
    const char* name;
    uint32_t busyBefore;
    uint32_t tnsCounter;
    std::vector<Piece> pieces;
    uint32_t replyReady;
    int slots;
    uint32_t busyAfter;
    const char* sent;
    bool protocolError;
};

constexpr const char* kReply4 = "01 00 4F 00 34 12 AA BB";  // TNS low in byte 4
constexpr const char* kReply5 = "01 00 4F 00 99 34";        // TNS low in byte 5
constexpr const char* kForeign = "01 02 08 00 77 00 00 02 01 00";

const StreamCase kStreams[] = {
    {"ReplyTnsInByte4", 1, 0x35, {{Piece::Good, kReply4}}, 1, 0, 0, "10 06", false},
    {"ReplyTnsInByte5", 1, 0x35, {{Piece::Good, kReply5}}, 1, 0, 0, "10 06", false},
    {"TnsWrapsToFF", 1, 0x100, {{Piece::Good, "01 00 4F 00 FF 00"}}, 1, 0, 0, "10 06", false},
    {"ForeignFrameKeepsSender", 1, 0x35, {{Piece::Good, kForeign}}, 0, 1, 1, "10 06", false},
    {"FrameOnFreeChannel", 0, 0x35, {{Piece::Good, kForeign}}, 0, 1, 0, "10 06", false},
    {"RepeatedReplyWithoutSender", 0, 0x35, {{Piece::Good, kReply4}}, 0, 1, 0, "10 06", false},
    {"BadCheckDroppedButAcked", 1, 0x35, {{Piece::Bad, kReply4}}, 0, 0, 0, "10 06", false},
    {"EnqAnswered", 1, 0, {{Piece::Raw, "10 05"}}, 0, 0, 0, "10 06", false},
    {"AckKeepsSender", 1, 0, {{Piece::Raw, "10 06"}}, 0, 0, 1, "", false},
    {"NakKeepsSender", 1, 0, {{Piece::Raw, "10 15"}}, 0, 0, 1, "", false},
    {"AckOnFreeChannel", 0, 0, {{Piece::Raw, "10 06"}}, 0, 0, 0, "", false},
    {"AckDuringIncomingFrame", 2, 0, {{Piece::Raw, "10 06"}}, 0, 0, 0, "", false},
    {"OtherLinkByteFreesChannel", 1, 0, {{Piece::Raw, "10 41"}}, 0, 0, 0, "", false},
    {"NoiseWhileIdleKeepsSender", 1, 0, {{Piece::Raw, "00 41 FF 03 02"}}, 0, 0, 1, "", false},
    {"NoiseWhileIdleKeepsFree", 0, 0, {{Piece::Raw, "00 41 FF 03 02"}}, 0, 0, 0, "", false},
    {"StxInsideFrame", 1, 0, {{Piece::Raw, "10 02 01 02 10 02"}}, 0, 0, 0, "", true},
    {"StrayByteAfterDle", 0, 0, {{Piece::Raw, "10 02 01 10 41"}}, 0, 0, 0, "", true},
    {"AckThenReply", 1, 0x35, {{Piece::Raw, "10 06"}, {Piece::Good, kReply4}}, 1, 0, 0, "10 06", false},
    {"NakThenReply", 1, 0x35, {{Piece::Raw, "10 15"}, {Piece::Good, kReply5}}, 1, 0, 0, "10 06", false},
    {"ForeignThenReply",
     1,
     0x35,
     {{Piece::Good, kForeign}, {Piece::Good, kReply4}},
     1,
     1,
     0,
     "10 06 10 06",
     false},
    // After a protocol error the channel is free, so the next frame takes it
    // as an incoming frame and is kept as unsolicited.
    {"ProtocolErrorThenFrame",
     1,
     0x35,
     {{Piece::Raw, "10 02 01 10 41"}, {Piece::Good, kReply4}},
     0,
     1,
     0,
     "10 06",
     true},
    {"BadThenGoodFrame",
     0,
     0,
     {{Piece::Bad, kForeign}, {Piece::Good, kForeign}},
     0,
     1,
     0,
     "10 06 10 06",
     false},
};

using ReceiveTest = test::LinkFixture;

class StreamTest : public test::LinkFixture,
                   public ::testing::WithParamInterface<std::tuple<StreamCase, uint32_t>> {};

TEST_P(StreamTest, HandlesTheLinkEvents) {
    const auto& [c, useCrc] = GetParam();
    Driver.UseCrc = useCrc;
    Driver.ModelClass = kClassPlc2;
    Driver.ChannelBusy = c.busyBefore;
    Driver.TnsCounter = c.tnsCounter;
    for (const Piece& p : c.pieces) {
        Bytes bytes = FromHex(p.hex);
        if (p.kind != Piece::Raw) bytes = Frame(bytes);
        if (p.kind == Piece::Bad) bytes.back() ^= 0x01;
        Fake().Feed(bytes);
    }
    auto& port = Fake().port;
    EXPECT_EQ(port.ReplyReady, c.replyReady);
    EXPECT_EQ(SlotsInUse(), c.slots);
    EXPECT_EQ(Driver.ChannelBusy, c.busyAfter);
    EXPECT_EQ(Hex(Fake().AllSent()), c.sent);
    EXPECT_EQ(port.RxState, StIdle);
    EXPECT_EQ(Driver.ForeignFrameSeen, 0u);
    EXPECT_EQ(port.ErrorCode, 0u);
    bool sawError = false;
    for (const auto& line : Fake().TraceLines()) sawError |= line == "ERROR OF PROTOCOL.";
    EXPECT_EQ(sawError, c.protocolError);
    EXPECT_EQ(PostedMessages().size(), static_cast<size_t>(c.slots));
}

INSTANTIATE_TEST_SUITE_P(Streams, StreamTest, ::testing::Combine(::testing::ValuesIn(kStreams), ::testing::Values(0u, 1u)),
                         [](const auto& info) {
                             return std::string(std::get<0>(info.param).name) +
                                    (std::get<1>(info.param) ? "_Crc" : "_Bcc");
                         });

// ---------------------------------------------------------------------------
// Unframing and checks of the worked frames.

struct WireCase {
    const char* name;
    uint32_t useCrc;
    const char* wire;
    const char* rxData;
    bool passes;
};

const WireCase kWires[] = {
    {"BccWithDoubledDle", 0, "10 02 01 00 06 00 10 10 00 03 10 03 E6", "01 00 06 00 10 00 03", true},
    {"BccWrongCheck", 0, "10 02 01 00 06 00 10 10 00 03 10 03 E7", "01 00 06 00 10 00 03", false},
    {"CrcWithDoubledDle", 1, "10 02 01 00 06 00 10 10 00 03 10 03 85 9B", "01 00 06 00 10 00 03", true},
    {"CrcWrongLowByte", 1, "10 02 01 00 06 00 10 10 00 03 10 03 84 9B", "01 00 06 00 10 00 03", false},
    {"CrcWrongHighByte", 1, "10 02 01 00 06 00 10 10 00 03 10 03 85 9A", "01 00 06 00 10 00 03", false},
    {"BccEmptyMessage", 0, "10 02 10 03 00", "", true},
    {"CrcEmptyMessage", 1, "10 02 10 03 40 01", "", true},
    {"BccOnlyDle", 0, "10 02 10 10 10 03 F0", "10", true},
    {"CrcOnlyDle", 1, "10 02 10 10 10 03 4D C1", "10", true},
    // A BCC frame read in CRC mode never passes.
    {"BccFrameInCrcMode", 1, "10 02 01 00 06 00 10 10 00 03 10 03 E6 00", "01 00 06 00 10 00 03", false},
};

class WireTest : public test::LinkFixture, public ::testing::WithParamInterface<WireCase> {};

TEST_P(WireTest, UnframesAndChecks) {
    const WireCase& c = GetParam();
    Driver.UseCrc = c.useCrc;
    Driver.ChannelBusy = 0;
    Fake().Feed(FromHex(c.wire));
    const Bytes expected = FromHex(c.rxData);
    EXPECT_EQ(Fake().port.RxCount, expected.size());
    EXPECT_EQ(Hex(Bytes(Driver.RxData, Driver.RxData + expected.size())), c.rxData);
    EXPECT_EQ(SlotsInUse(), c.passes ? 1 : 0);
    EXPECT_EQ(Hex(Fake().AllSent()), "10 06");  // acknowledged either way
    if (c.passes) {
        const size_t checkBytes = c.useCrc ? 2 : 1;
        EXPECT_EQ(Driver.UnsolSlots[0].FrameLength, expected.size() + 2 + checkBytes);
    }
}

INSTANTIATE_TEST_SUITE_P(Wires, WireTest, ::testing::ValuesIn(kWires),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(ReceiveTest, TraceShowsTheDoubledDleOnce) {
    Driver.UseCrc = 0;
    Fake().Feed(FromHex("10 02 01 00 06 00 10 10 00 03 10 03 E6"));
    const auto lines = Fake().TraceLines();
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines[0], "Rx:10 02 01 00 06 00 10 00 03 10 03 E6 ");
    // The stored frame is the raw view after DLE STX: 10 bytes.
    EXPECT_EQ(Driver.UnsolSlots[0].FrameLength, 10u);
    EXPECT_EQ(Hex(Bytes(Driver.UnsolSlots[0].FrameBytes, Driver.UnsolSlots[0].FrameBytes + 10)),
              "01 00 06 00 10 00 03 10 03 E6");
}

TEST_F(ReceiveTest, TraceOfLinkSequence) {
    Fake().Feed(FromHex("10 06"));
    EXPECT_EQ(Fake().TraceLines(), std::vector<std::string>{"Rx:10 06 "});
}

TEST_F(ReceiveTest, TraceLineStopsAt84Bytes) {
    Driver.UseCrc = 0;
    Fake().Feed(Frame(Bytes(200, 0x01)));
    const auto lines = Fake().TraceLines();
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines[0].size(), 3u + 3u * 84u);
    EXPECT_LE(lines[0].size(), 255u);
}

// ---------------------------------------------------------------------------
// Frame length limits.

class LengthTest : public test::LinkFixture, public ::testing::WithParamInterface<uint32_t> {};

TEST_P(LengthTest, Accepts511MessageBytes) {
    Driver.UseCrc = GetParam();
    Fake().Feed(Frame(Bytes(511, 0x01)));
    EXPECT_EQ(Fake().port.RxCount, 511u);
    EXPECT_EQ(Fake().port.ErrorCode, 0u);
    EXPECT_EQ(SlotsInUse(), 1);
    EXPECT_EQ(Driver.UnsolSlots[0].FrameLength, 511u + 2u + (GetParam() ? 2u : 1u));
}

TEST_P(LengthTest, Refuses512MessageBytesAndRecoversAfterReset) {
    Driver.UseCrc = GetParam();
    Bytes wire = Frame(Bytes(512, 0x01));
    Fake().Feed(wire);
    auto& port = Fake().port;
    EXPECT_EQ(port.ErrorCode, 0x100u);
    EXPECT_EQ(port.RxCount, 512u);
    EXPECT_EQ(SlotsInUse(), 0);
    EXPECT_TRUE(Fake().sends.empty());  // the frame never completed
    // The handler stays stuck until a sender resets the receiver.
    Fake().Feed(Frame(FromHex(kForeign)));
    EXPECT_EQ(SlotsInUse(), 0);
    ResetReceiver(&port);
    Fake().Feed(Frame(FromHex(kForeign)));
    EXPECT_EQ(SlotsInUse(), 1);
    EXPECT_EQ(port.RxCount, FromHex(kForeign).size());
}

TEST_P(LengthTest, AllDleMessageOf511Bytes) {
    Driver.UseCrc = GetParam();
    Fake().Feed(Frame(Bytes(511, 0x10)));
    EXPECT_EQ(Fake().port.RxCount, 511u);
    ASSERT_EQ(SlotsInUse(), 1);
    EXPECT_LE(Driver.UnsolSlots[0].FrameLength, 1024u);
}

INSTANTIATE_TEST_SUITE_P(Modes, LengthTest, ::testing::Values(0u, 1u));

// ---------------------------------------------------------------------------
// Key texts of stored frames, and the window message.

struct KeyCase {
    const char* name;
    uint32_t modelClass;
    const char* message;  // DST SRC CMD STS TNS TNS ...; raw[i] is message[i - 2]
    const char16_t* key;
};

const KeyCase kKeys[] = {
    {"Plc2Address512", kClassPlc2, "01 03 08 00 11 00 00 02 05 00", u"U:512\t3"},
    {"Plc5AddressLowByteFirst", kClassPlc5, "01 07 08 00 11 00 34 12 05 00", u"U:4660\t7"},
    {"Plc2AddressMaximum", kClassPlc2, "01 FF 08 00 11 00 FF FF", u"U:65535\t255"},
    {"SlcIntegerFile7", kClassSlc500, "01 03 0F 00 11 00 AA 02 07 89 05 00 01 00", u"integer/0:7:5\t3"},
    {"SlcIntegerFile1", kClassSlc500, "01 03 0F 00 11 00 AA 02 01 89 05 00 01 00", u"integer/5:1:0\t3"},
    {"SlcStatusFile0", kClassSlc500, "01 09 0F 00 11 00 AA 02 00 84 02 03", u"status/2:0:3\t9"},
    {"SlcBit", kClassSlc500, "01 02 0F 00 11 00 AA 02 03 85 0A 04", u"bit/4:3:10\t2"},
    {"SlcTimer", kClassSlc500, "01 02 0F 00 11 00 AA 02 04 86 01 02", u"timer/2:4:1\t2"},
    {"SlcCounter", kClassSlc500, "01 02 0F 00 11 00 AA 02 05 87 01 02", u"counter/2:5:1\t2"},
    {"SlcControl", kClassSlc500, "01 02 0F 00 11 00 AA 02 06 88 01 02", u"control/2:6:1\t2"},
    {"SlcTypeBelowTable", kClassSlc500, "01 02 0F 00 11 00 AA 02 08 83 01 02", u"unknown/2:8:1\t2"},
    {"SlcTypeAboveTable", kClassSlc500, "01 02 0F 00 11 00 AA 02 08 8A 01 02", u"unknown/2:8:1\t2"},
    {"SlcTypeFF", kClassSlc500, "01 02 0F 00 11 00 AA 02 FF FF FF FF", u"unknown/255:255:255\t2"},
    // A frame too short for the fields reads the missing bytes as 0; the
    // trailer DLE ETX stands where the source would be.
    {"SlcShortFrame", kClassSlc500, "01 04", u"unknown/0:0:0\t4"},
    {"Plc2ShortFrame", kClassPlc2, "01", u"U:0\t16"},
    {"Plc2EmptyFrame", kClassPlc2, "", u"U:0\t3"},
};

class KeyTest : public test::LinkFixture, public ::testing::WithParamInterface<std::tuple<KeyCase, uint32_t>> {};

TEST_P(KeyTest, StoresAndAnnouncesTheFrame) {
    const auto& [c, useCrc] = GetParam();
    Driver.UseCrc = useCrc;
    Driver.ModelClass = c.modelClass;
    const Bytes message = FromHex(c.message);
    Fake().Feed(Frame(message));
    ASSERT_EQ(SlotsInUse(), 1);
    const UnsolSlot& slot = Driver.UnsolSlots[0];
    EXPECT_EQ(std::u16string(slot.KeyText), c.key);
    // The frame after DLE STX, the check included.
    const size_t checkBytes = useCrc ? 2 : 1;
    ASSERT_EQ(slot.FrameLength, message.size() + 2 + checkBytes);
    EXPECT_EQ(Hex(Bytes(slot.FrameBytes, slot.FrameBytes + message.size())), Hex(message));
    // Trace: the Rx line, then the key text.
    const auto lines = Fake().TraceLines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[1], test::Narrow(c.key));
    const auto posted = PostedMessages();
    ASSERT_EQ(posted.size(), 1u);
    EXPECT_EQ(posted[0].message, 0x600u);
    EXPECT_EQ(posted[0].wParam, 0u);
    EXPECT_EQ(posted[0].lParam, reinterpret_cast<intptr_t>(slot.KeyText));
}

INSTANTIATE_TEST_SUITE_P(Keys, KeyTest, ::testing::Combine(::testing::ValuesIn(kKeys), ::testing::Values(0u, 1u)),
                         [](const auto& info) {
                             return std::string(std::get<0>(info.param).name) +
                                    (std::get<1>(info.param) ? "_Crc" : "_Bcc");
                         });

// ---------------------------------------------------------------------------
// Slot table limits.

TEST_F(ReceiveTest, FillsSlotsInOrderAndDropsWhenFull) {
    Driver.UseCrc = 0;
    for (int i = 0; i < kUnsolSlotCount + 3; ++i) {
        Bytes message = FromHex(kForeign);
        message[6] = static_cast<uint8_t>(i);
        Fake().Feed(Frame(message));
    }
    EXPECT_EQ(SlotsInUse(), kUnsolSlotCount);
    for (int i = 0; i < kUnsolSlotCount; ++i) EXPECT_EQ(Driver.UnsolSlots[i].FrameBytes[6], i);
    EXPECT_EQ(PostedMessages().size(), static_cast<size_t>(kUnsolSlotCount));
    EXPECT_EQ(Fake().sends.size(), static_cast<size_t>(kUnsolSlotCount + 3));  // all acknowledged
    int drops = 0;
    for (const auto& line : Fake().TraceLines()) drops += line.find("no free slot") != std::string::npos;
    EXPECT_EQ(drops, 3);
    // A freed slot in the middle is the next one taken.
    Store(Driver.UnsolSlots[7].InUse, 0u);
    Fake().Feed(Frame(FromHex("01 09 08 00 11 00 00 00")));
    EXPECT_EQ(Driver.UnsolSlots[7].FrameBytes[1], 9);
    EXPECT_EQ(SlotsInUse(), kUnsolSlotCount);
}

TEST_F(ReceiveTest, NoSlotTableStoresNothing) {
    Driver.UnsolSlots = nullptr;
    Fake().Feed(Frame(FromHex(kForeign)));
    EXPECT_EQ(Hex(Fake().AllSent()), "10 06");
    EXPECT_TRUE(PostedMessages().empty());
    Driver.UnsolSlots = reinterpret_cast<UnsolSlot*>(slotStore_ + kGuard);
}

TEST_F(ReceiveTest, OverlongRawViewIsCutToTheSlot) {
    // A port whose raw view runs past a slot (never in a well-formed frame).
    Driver.UseCrc = 0;
    Fake().Feed(FromHex("10 02 01 02"));
    Fake().port.RawCount = 2000;
    Fake().Feed(FromHex("10 03"));
    Fake().port.RawCount = 2000;
    Fake().Feed({static_cast<uint8_t>(0x100 - 3)});
    ASSERT_EQ(SlotsInUse(), 1);
    EXPECT_EQ(Driver.UnsolSlots[0].FrameLength, 1024u);
}

// ---------------------------------------------------------------------------
// Replies and ReplyReady.

TEST_F(ReceiveTest, AckKeepsReplyReadyAcrossItsSend) {
    Driver.ChannelBusy = 1;
    Driver.TnsCounter = 0x35;
    Fake().onSend = [](const Bytes&) { EXPECT_EQ(Fake().port.ReplyReady, 0u); };
    Fake().Feed(Frame(FromHex(kReply4)));
    EXPECT_EQ(Fake().port.ReplyReady, 1u);
    EXPECT_EQ(Hex(Bytes(Driver.RxData, Driver.RxData + 8)), kReply4);
}

TEST_F(ReceiveTest, StateOutsideMachineDropsBytes) {
    Fake().port.RxState = 6;
    Fake().Feed(Frame(FromHex(kForeign)));
    EXPECT_EQ(SlotsInUse(), 0);
    EXPECT_TRUE(Fake().sends.empty());
    EXPECT_EQ(Fake().port.RxState, 6u);
}

TEST_F(ReceiveTest, NoByteWaitingDoesNothing) {
    HandInts(&Fake().port);
    HandInts(nullptr);
    EXPECT_EQ(Fake().port.RxState, StIdle);
    EXPECT_TRUE(Fake().traces.empty());
}

TEST_F(ReceiveTest, RxDataAccessorsStayInside) {
    for (int i = 0; i < kRxDataBytes; ++i) Driver.RxData[i] = static_cast<uint8_t>(i);
    EXPECT_EQ(RxByte(-1), 0);
    EXPECT_EQ(RxByte(kRxDataBytes), 0);
    EXPECT_EQ(RxByte(511), 0xFF);
    uint8_t out[16] = {};
    EXPECT_EQ(CopyRxData(508, 16, out), 4);
    EXPECT_EQ(out[3], 0xFF);
    EXPECT_EQ(CopyRxData(-1, 4, out), 0);
    EXPECT_EQ(CopyRxData(0, -4, out), 0);
    EXPECT_EQ(CopyRxData(600, 4, out), 0);
}

// ---------------------------------------------------------------------------
// Arbitrary line bytes: only RxData, the slots and the raw view are written,
// and the next good frame after a receiver reset is received.

TEST_F(ReceiveTest, RandomBytesThenGoodFrame) {
    std::mt19937 rng(12345);
    for (int round = 0; round < 200; ++round) {
        Driver.UseCrc = round & 1;
        Driver.ModelClass = (round % 3 == 0) ? kClassSlc500 : kClassPlc2;
        const size_t n = rng() % 1500;
        Bytes junk(n);
        // Mostly control bytes so that the machine visits every state.
        for (auto& b : junk) {
            const uint32_t r = rng();
            b = (r & 3) == 0 ? static_cast<uint8_t>(r >> 8) : Bytes{0x10, 0x02, 0x03, 0x05, 0x06}[(r >> 8) % 5];
        }
        Fake().Feed(junk);
        ASSERT_TRUE(GuardsIntact()) << "round " << round;
        for (int i = 0; i < kUnsolSlotCount; ++i) Store(Driver.UnsolSlots[i].InUse, 0u);
        ResetReceiver(&Fake().port);
        Store(Driver.ChannelBusy, 0u);
        Fake().Feed(Frame(FromHex(kForeign)));
        ASSERT_EQ(SlotsInUse(), 1) << "round " << round;
        Store(Driver.UnsolSlots[0].InUse, 0u);
    }
}

}  // namespace
}  // namespace mira
