// Whole exchanges through the fake Portkit and the real receive handler.
#include <algorithm>
#include <cstring>
#include <string>

#include "address/tables.h"
#include "commands/read_start.h"
#include "commands/request.h"
#include "link/frame.h"
#include "read_support.h"

namespace mira::test {
namespace {

using ReadExchange = ReadFixture;

// DLE ACK for the request, then the reply frame.
Bytes Answer(const Bytes& message) {
    uint8_t frame[2 * kRxDataBytes + 6];
    int32_t n = 0;
    EncodeDriverFrame(message.data(), int32_t(message.size()), frame, &n);
    // Sized first, then filled: gcc 12 at -O2 misreads an insert after a braced list as out of bounds.
    Bytes out(static_cast<size_t>(n) + 2);
    out[0] = 0x10;
    out[1] = 0x06;
    std::copy(frame, frame + n, out.begin() + 2);
    return out;
}

TEST_F(ReadExchange, FromTheHostsTextsToItsValues) {
    const char16_t* items[] = {u"W9", u"W5", u"B6"};
    int32_t error = -1;
    ASSERT_EQ(UDrvReadGroupStart(u"1", u"N7:0", items, 3, &error), 1);
    EXPECT_EQ(error, 0);
    EXPECT_EQ(Hex(Message(0)), "01 00 0F 00 00 00 A2 0A 07 89 05 00");
    HostValue v[3]{};
    EXPECT_EQ(UDrvReadGroupFinishExt(v, 0, 3, &error), 0);  // nothing in yet
    EXPECT_EQ(UDrvGetType(u"ST9:0", u"S1.5"), 3);  // a type query leaves the read alone
    Fake().Feed(Answer({0x00, 0x01, 0x4F, 0x00, 0x00, 0x00, 0xFE, 0xFF, 0x34, 0x12, 0, 0, 0, 0, 0x07, 0x00}));
    EXPECT_EQ(Driver.ChannelBusy, 0u);  // the handler freed the channel with the reply
    ASSERT_EQ(UDrvReadGroupFinishExt(v, 0, 3, &error), 1);
    ASSERT_EQ(error, 0);
    // The driver's default BCD mode carries the thousands digit as quality.
    const int32_t expected[] = {7, -2, 234};
    const uint16_t quality[] = {192, 192, 1};
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(v[i].valueType, 1u);
        EXPECT_EQ(v[i].value.integer, expected[i]);
        EXPECT_EQ(v[i].quality, quality[i]);
        EXPECT_EQ(v[i].timestamp.highDateTime, clock_.fileTime.highDateTime);
    }
}

TEST_F(ReadExchange, TimedOutReplyResetsTheLine) {
    Driver.CurrentHeader = MakeHeader(kFileInteger, kRowN, 7);
    Driver.ItemTable[0] = MakeItem(kKindWord, 0);
    int32_t error = -1;
    ASSERT_EQ(StartRead(1, kMaxTextReadElements, &error), 1);
    Fake().port.ErrorCode = 0x101;  // Portkit's reply time-out
    HostValue v{};
    ASSERT_EQ(UDrvReadGroupFinishExt(&v, 0, 1, &error), 1);
    EXPECT_EQ(error, 0x101);
    ASSERT_EQ(Fake().sends.size(), 5u);
    for (size_t i = 1; i < 5; ++i) EXPECT_EQ(Fake().sends[i], (Bytes{0x10, 0x05}));
}

struct StringCase {
    uint32_t modelClass;
    uint8_t sts;
    Bytes data;  // reply bytes from byte 6
    int32_t error;
    Bytes slot;  // the slot's first bytes afterwards
};

TEST_F(ReadExchange, StringItemsOneRequestEach) {
    const StringCase cases[] = {
        {500, 0, {3, 0, 0x42, 0x41, 0x7A, 0x43}, 0, {0x42, 0x41, 0, 0x43, 0, 0xEE}},
        {5, 0, {0x00, 3, 'X', 'Y', 'Z', 0x55}, 0, {'X', 'Y', 'Z', 0, 0xEE}},
        // A longer string than asked for: the characters asked for, cut at the size.
        {500, 0, {4, 0, 'I', 'M', 'A', 'R'}, 0, {'I', 'M', 0, 'R', 0, 0xEE}},
        {5, 0, {0x00, 5, 'H', 'E', 'L', 'L', 'O'}, 0, {'H', 'E', 'L', 0, 0xEE}},
        {500, 0, {255, 0, 0x42, 0x41}, 256, {0xEE}},  // a length the reply does not carry
        {500, 0xF0, {0x06}, 0xF0, {0xEE}},            // a refusal carries no string
    };
    for (const auto& c : cases) {
        SetUp();
        Driver.ModelClass = c.modelClass;
        if (c.modelClass == 5) Plc5();
        std::memset(Driver.StringSlots, 0xEE, 2 * kStringSlotBytes);
        Driver.CurrentHeader = MakeHeader(kFileString, kRowST, 9);
        Driver.ItemTable[0] = MakeItem(kKindString, 0, 3);
        Fake().onSend = [&](const Bytes& sent) {
            if (sent.size() > 2) {
                Bytes reply{0x00, 0x01, 0x4F, c.sts, uint8_t(Driver.TnsCounter - 1), 0x00};
                reply.insert(reply.end(), c.data.begin(), c.data.end());
                Fake().Queue(Answer(reply));
            }
        };
        int32_t error = -1;
        EXPECT_EQ(StartRead(1, kMaxTextReadElements, &error), c.error == 0 ? 1 : 0);
        EXPECT_EQ(error, c.error);
        EXPECT_EQ(Bytes(Driver.StringSlots, Driver.StringSlots + c.slot.size()), c.slot);
        EXPECT_EQ(Fake().stringSteps, c.error == 0 ? 1 : 0);
    }
}

TEST_F(ReadExchange, StringReadRefusals) {
    Driver.CurrentHeader = MakeHeader(kFileString, kRowST, 9);
    Driver.ItemTable[0] = MakeItem(kKindWord, 0);
    EXPECT_EQ(ReadStringItems(&Driver.CurrentHeader, Driver.ItemTable, 1), MIRA_ERR_BAD_MNEMONIC);
    EXPECT_EQ(ReadStringItems(&Driver.CurrentHeader, Driver.ItemTable, 256), MIRA_ERR_RANGE);
    // PLC-2 has no string files: its read reply would carry no length word.
    Driver.ModelClass = kClassPlc2;
    Driver.ItemTable[0] = MakeItem(kKindString, 0, 2);
    int32_t error = 0;
    EXPECT_EQ(StartRead(1, kMaxTextReadElements, &error), 0);
    EXPECT_EQ(error, MIRA_ERR_BAD_HEADER);
    EXPECT_TRUE(Fake().sends.empty());
}

}  // namespace
}  // namespace mira::test
