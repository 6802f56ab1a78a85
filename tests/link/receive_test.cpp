#include "link/receive.h"

#include "commands/request.h"
#include "link/frame.h"
#include "link_fixture.h"
#include "platform/atomic_word.h"

namespace mira::test {
namespace {

// Link events: "F:" a good frame of the message, "B:" the same with its last check byte broken, "L:"
// with its first (CRC low byte), "E:" the message sent as a request and echoed back by the line, else
// raw bytes. Every row runs in both modes.
struct StreamCase {
    const char* name;
    std::vector<std::string> pieces;
    uint32_t busy, tns, ready, busyAfter;
    int slots;
    const char* sent;
    bool protocolError;
    friend void PrintTo(const StreamCase& c, std::ostream* os) { *os << c.name; }  // not its bytes
};

#define REPLY4 "01 00 4F 00 34 00 AA BB"  // TNS 0x0034, low byte first
#define FOREIGN "01 02 08 00 77 00 00 02 01 00"
#define REQUEST "01 00 0F 00 34 00 A2 02 07 89 00 00"  // its reply is CMD 0x4F

const StreamCase kStreams[] = {
    {"ReplyTnsInByte5", {"F:01 00 4F 00 00 34"}, 1, 0x35, 1, 0, 0, "10 06", false},
    // The last request's TNS 0x0000, and a late repeat of the reply to 0x00FF: not our answer.
    {"OtherTnsSharingAByte", {"F:01 00 4F 00 FF 00"}, 1, 0x01, 0, 1, 1, "10 06", false},
    {"OtherHighByte", {"F:01 00 4F 00 34 12"}, 1, 0x35, 0, 1, 1, "10 06", false},
    {"TnsCounterWraps", {"F:01 00 4F 00 FF 00"}, 1, 0x100, 1, 0, 0, "10 06", false},
    {"BadCheckDroppedAcked", {"B:" REPLY4}, 1, 0x35, 0, 0, 0, "10 06", false},
    {"EnqAnswered", {"10 05"}, 1, 0, 0, 0, 0, "10 06", false},
    {"NakKeepsSender", {"10 15"}, 1, 0, 0, 1, 0, "", false},
    {"AckDuringIncoming", {"10 06"}, 2, 0, 0, 0, 0, "", false},
    {"OtherLinkByteFrees", {"10 41"}, 1, 0, 0, 0, 0, "", false},
    {"IdleNoiseKeepsSender", {"00 41 FF 03 02"}, 1, 0, 0, 1, 0, "", false},
    {"AckThenReply", {"10 06", "F:" REPLY4}, 1, 0x35, 1, 0, 0, "10 06", false},
    {"ForeignThenReply", {"F:" FOREIGN, "F:" REPLY4}, 1, 0x35, 1, 0, 1, "10 06 10 06", false},
    // The error frees the channel, so the reply arrives as an incoming frame.
    {"ProtocolErrorThenFrame", {"10 02 01 10 41", "F:" REPLY4}, 1, 0x35, 0, 0, 1, "10 06", true},
    {"BadThenGoodFrame", {"L:" FOREIGN, "F:" FOREIGN}, 0, 0, 0, 0, 1, "10 06 10 06", false},
    // Our TNS without the reply bit: a command of the controller's, no reply.
    {"CommandWithOurTnsIsNoReply", {"F:01 00 0F 00 34 12 A2 02"}, 1, 0x35, 0, 1, 1, "10 06", false},
    {"EchoThenReply", {"E:" REQUEST, "10 06", "F:" REPLY4}, 0, 0x35, 1, 0, 0, "10 06 10 06", false},
};

class StreamTest : public LinkFixture, public ::testing::WithParamInterface<std::tuple<StreamCase, bool>> {};

TEST_P(StreamTest, HandlesTheLinkEvents) {
    const auto& [c, crc] = GetParam();
    Driver.UseCrc = crc ? 1 : 0;
    Driver.ChannelBusy = c.busy;
    Driver.TnsCounter = c.tns;
    Driver.RequestCommand = 0x0F;  // the replies of the table answer CMD 0x0F
    int echoes = 0;
    for (const std::string& p : c.pieces) {
        Bytes bytes = FromHex(p.substr(p[1] == ':' ? 2 : 0));
        if (p[0] == 'E') {
            ++echoes;
            (void)TransmitRequest(bytes.data(), static_cast<int32_t>(bytes.size()));
            Fake().sends.clear();
        }
        if (p[1] == ':') bytes = Framed(bytes);
        if (p[0] == 'B') bytes.back() ^= 1;
        if (p[0] == 'L') bytes[bytes.size() - 1 - crc] ^= 1;
        Fake().Feed(bytes);
    }
    EXPECT_EQ(Fake().port.ReplyReady, c.ready);
    EXPECT_EQ(SlotsInUse(), c.slots);
    EXPECT_EQ(Posts(), c.slots);
    EXPECT_EQ(Driver.ChannelBusy, c.busyAfter);
    EXPECT_EQ(Hex(Fake().AllSent()), c.sent);
    EXPECT_EQ(Fake().port.RxState, StIdle);
    EXPECT_EQ(Driver.ForeignFrameSeen, 0u);
    const auto lines = Fake().TraceLines();
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "ERROR OF PROTOCOL."), c.protocolError ? 1 : 0);
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "Own frame echoed by the line: dropped."), echoes);
}

std::string StreamName(const ::testing::TestParamInfo<std::tuple<StreamCase, bool>>& i) {
    return std::get<0>(i.param).name + std::string(std::get<1>(i.param) ? "_Crc" : "_Bcc");
}

INSTANTIATE_TEST_SUITE_P(Streams, StreamTest,
                         ::testing::Combine(::testing::ValuesIn(kStreams), ::testing::Bool()), StreamName);

TEST_F(StreamTest, FrameLengthLimits) {
    for (uint32_t crc : {0u, 1u}) {
        SetUp();
        Driver.UseCrc = crc;
        Fake().Feed(Framed(Bytes(511, 0x10)));
        EXPECT_EQ(Fake().port.RxCount, 511u);
        ASSERT_EQ(SlotsInUse(), 1);
        EXPECT_EQ(Driver.UnsolSlots[0].FrameLength, 511u + 3u + crc);
        EXPECT_EQ(Fake().TraceLines()[0].size(), 3u + 3u * 84u);  // the trace stops at 84 bytes
        Fake().Feed(Framed(Bytes(512, 0x01)));
        EXPECT_EQ(Fake().port.ErrorCode, 0x100u);
        EXPECT_EQ(SlotsInUse(), 1);  // dropped, and never acknowledged
        EXPECT_EQ(Fake().sends.size(), 1u);
        ResetReceiver(&Fake().port);  // what a sender does before it sends
        Fake().Feed(Framed(FromHex(FOREIGN)));
        EXPECT_EQ(SlotsInUse(), 2);
    }
}

// The key is read from raw[i], which is message[i - 2].
TEST_F(StreamTest, KeyTextsAndWindowMessage) {
    const std::tuple<uint32_t, const char*, const char*> rows[] = {
        {kClassPlc5, "01 FF 08 00 11 00 FF FF", "U:65535\t255"},
        {kClassSlc500, "01 03 0F 00 11 00 AA 02 01 89 05 00", "integer/5:1:0\t3"},
        {kClassSlc500, "01 09 0F 00 11 00 AA 02 00 84 02 03", "status/2:0:3\t9"},
        {kClassSlc500, "01 02 0F 00 11 00 AA 02 08 83 01 02", "unknown/2:8:1\t2"},
        {kClassSlc500, "01 02 0F 00 11 00 AA 02 FF 8A FF FF", "unknown/255:255:255\t2"},
        {kClassSlc500, "01 04", "unknown/0:0:0\t4"},  // missing bytes read as 0
    };
    for (const auto& [modelClass, message, key] : rows) {
        SetUp();
        Driver.ModelClass = modelClass;
        Fake().Feed(Framed(FromHex(message)));
        const UnsolSlot& slot = Driver.UnsolSlots[0];
        EXPECT_EQ(Narrow(slot.KeyText), key);
        EXPECT_EQ(Fake().TraceLines().back(), key);
        EXPECT_EQ(Hex(Bytes(slot.FrameBytes, slot.FrameBytes + slot.FrameLength - 3)), message);
        EXPECT_EQ(Posts(), 1);
        EXPECT_EQ(Narrow(reinterpret_cast<const char16_t*>(lastKey_.load())), key);
        EXPECT_EQ(sentAtPost_, 1u) << "the DLE ACK leaves before the host hears of the frame";
    }
}

// With every slot taken a controller's command is acknowledged, then answered with STS 0x90 (source and
// destination swapped, its TNS) so that its message instruction fails; a reply, or a frame too short to
// answer, is only acknowledged. The refusal's echo is not taken for a command; a freed slot is used again.
TEST_F(StreamTest, FullSlotTableRefusesCommands) {
    for (int i = 0; i < kUnsolSlotCount; ++i) Fake().Feed(Framed(FromHex("01 02 08 00 11 00 00 00")));
    ASSERT_EQ(Posts(), kUnsolSlotCount);  // delivered: the window's thread reads the sends no more
    const std::tuple<const char*, const char*, const char*> rows[] = {
        {"01 02 08 00 34 12 00 02 05 00", "02 01 48 90 34 12", "No free slot: U:512 from station 2 refused with STS 0x90."},
        {"01 10 0F 00 10 00 AA 02", "10 01 4F 90 10 00", "No free slot: U:682 from station 16 refused with STS 0x90."},
        {"01 02 48 00 34 12", "", "Unsolicited frame dropped: no free slot."},
        {"01 02 08 00 34", "", "Unsolicited frame dropped: no free slot."},
    };
    for (const auto& [message, refusal, trace] : rows) {
        SCOPED_TRACE(message);
        Fake().sends.clear();
        Fake().Feed(Framed(FromHex(message)));
        EXPECT_EQ(Hex(Fake().AllSent()), "10 06" + (*refusal ? " " + Hex(Framed(FromHex(refusal))) : ""));
        EXPECT_EQ(Fake().TraceLines().back(), trace);
    }
    EXPECT_EQ(SlotsInUse(), kUnsolSlotCount);
    Store(Driver.UnsolSlots[7].InUse, 0u);
    Fake().Feed(Framed(FromHex(std::get<1>(rows[0]))));
    EXPECT_EQ(Fake().TraceLines().back(), "Own frame echoed by the line: dropped.");
    Fake().Feed(Framed(FromHex("01 09 08 00 11 00 00 00")));
    EXPECT_EQ(Driver.UnsolSlots[7].FrameBytes[1], 9);
    EXPECT_EQ(SlotsInUse(), kUnsolSlotCount);
}

TEST_F(StreamTest, OverlongRawViewIsCutToTheSlot) {
    Fake().Feed(FromHex("10 02 01 02 10 03"));
    Fake().port.RawCount = 2000;  // a port whose raw view runs past a slot
    Fake().Feed({0xFD});
    EXPECT_EQ(Driver.UnsolSlots[0].FrameLength, 1024u);
}

TEST_F(StreamTest, TheReplyOutlivesTheFramesAfterIt) {
    // The controller's own write right after its reply, then the reply repeated with other
    // data (the channel is free by then: both are stored): the sender reads the reply as it came.
    Driver.ChannelBusy = 1;
    Driver.TnsCounter = 0x35;
    Driver.RequestCommand = 0x0F;
    for (const char* message : {REPLY4, FOREIGN, "01 00 4F 00 34 00 CC DD EE"}) Fake().Feed(Framed(FromHex(message)));
    EXPECT_EQ(SlotsInUse(), 2);
    uint8_t out[16] = {};
    ASSERT_EQ(CopyReply(0, 16, out), 8);
    EXPECT_EQ(Hex(Bytes(out, out + 8)), REPLY4);
    EXPECT_EQ(CopyReply(6, 8, out), 2);
    EXPECT_EQ(out[1], 0xBB);
    EXPECT_EQ(CopyReply(-1, 4, out) + CopyReply(0, -4, out) + CopyReply(8, 4, out), 0);
    EXPECT_EQ(RxByte(-1) + RxByte(512), 0);
}

using Frame = LinkFixture;

TEST_F(Frame, EncodesTheWorkedExamples) {
    const std::tuple<bool, const char*, const char*> rows[] = {
        {false, "01 00 06 00 10 00 03", "10 02 01 00 06 00 10 10 00 03 10 03 E6"},
        {true, "01 00 06 00 10 00 03", "10 02 01 00 06 00 10 10 00 03 10 03 85 9B"},
        {true, "", "10 02 10 03 40 01"},
        {false, "80 80", "10 02 80 80 10 03 00"},  // the sum a multiple of 256
        {false, "02 03", "10 02 02 03 10 03 FB"},  // STX and ETX unchanged
        {true, "10 10 10", "10 02 10 10 10 10 10 10 10 03 48 C4"},
    };
    for (const auto& [crc, hex, frame] : rows) {
        SCOPED_TRACE(hex);
        Driver.UseCrc = crc ? 1 : 0;
        const Bytes message = FromHex(hex);
        const int32_t n = static_cast<int32_t>(message.size());
        // A guard zone behind the promised capacity catches any overrun.
        Bytes out(static_cast<size_t>(FrameCapacity(n)) + 8, 0xAA);
        int32_t length = -1;
        EncodeDriverFrame(message.data(), n, out.data(), &length);
        ASSERT_GE(length, 0);
        ASSERT_LE(length, FrameCapacity(n));
        EXPECT_EQ(Hex(Bytes(out.begin(), out.begin() + length)), frame);
        EXPECT_EQ(Bytes(out.begin() + FrameCapacity(n), out.end()), Bytes(8, 0xAA));
    }
}

// A negative length frames nothing; the largest message, all DLEs, fills exactly its promised capacity.
TEST_F(Frame, LengthBounds) {
    uint8_t out[FrameCapacity(0)];
    int32_t length = 0;
    const uint8_t unused = 0x55;
    EncodeDriverFrame(&unused, -5, out, &length);
    EXPECT_EQ(Hex(Bytes(out, out + length)), "10 02 10 03 00");
    Driver.UseCrc = 1;
    Bytes message(511, kDLE), big(static_cast<size_t>(FrameCapacity(511)));
    EncodeDriverFrame(message.data(), 511, big.data(), &length);
    EXPECT_EQ(length, FrameCapacity(511));
}

}  // namespace
}  // namespace mira::test
