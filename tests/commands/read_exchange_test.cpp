// Read finishes: replies decoded into the host's records, and whole exchanges
// through the fake Portkit and the real receive handler.
#include <algorithm>

#include "commands/read_start.h"
#include "command_support.h"

namespace mira::test {
namespace {

using ReadExchange = ReadFixture;

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
        EXPECT_EQ(v[i].timestamp.highDateTime, clock.fileTime.highDateTime);
    }
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
        Driver.CurrentHeader = Header(kFileString, kRowST, 9);
        Driver.ItemTable[0] = MakeItem(kKindString, 0, 3);
        Fake().onSend = [&](const Bytes& sent) {
            if (sent.size() > 2) {
                // Sized first: gcc 12 under ThreadSanitizer reports a false
                // -Warray-bounds for an insert after a six-byte initialiser.
                Bytes reply(6 + c.data.size(), 0);
                reply[1] = 0x01;
                reply[2] = 0x4F;
                reply[3] = c.sts;
                reply[4] = uint8_t(Driver.TnsCounter - 1);
                std::copy(c.data.begin(), c.data.end(), reply.begin() + 6);
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
    Driver.CurrentHeader = Header(kFileString, kRowST, 9);
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

using ReadFinish = ReadFixture;

// A reply header (DST SRC CMD STS TNS), pad bytes and data bytes.
Bytes ReplyOf(uint8_t sts, const Bytes& data, size_t pad = 0) {
    Bytes m(6 + pad + data.size(), 0);
    m[1] = 1;
    m[2] = 0x4F;
    m[3] = sts;
    std::copy(data.begin(), data.end(), m.begin() + ptrdiff_t(6 + pad));
    return m;
}

std::string Text(const HostValue& v) {
    std::string s;
    for (int i = 0; i < 84 && v.value.text[i]; ++i) s.push_back(char(v.value.text[i]));
    return s;
}

struct DecodeCase {
    bool plc5;
    uint8_t nonStandardBcd;
    PlcAddress header;
    int32_t start, count;
    ItemRequest item;
    Bytes data;  // from the class's data start
    uint32_t type;
    int32_t integer;
    const char* text;
    uint16_t quality;
    double real = 0;  // a float arrives as the nearest double
};

TEST_F(ReadFinish, DecodesEveryShape) {
    const PlcAddress n7 = Header(kFileInteger, kRowN, 7), t4 = Header(kFileTimer, kRowT, 4),
                     c5 = Header(kFileCounter, kRowC, 5), r6 = Header(kFileControl, kRowR, 6),
                     in = Header(kFileInput, kRowI, 1), a9 = Header(kFileAscii, kRowA, 9);
    const Bytes timers{0, 0x20, 1, 0, 2, 0, 0, 0x20, 0x34, 0x12, 9, 0};  // two timers, DN set
    const DecodeCase cases[] = {
        {false, 0, n7, 5, 5, MakeItem(kKindWord, 7), {0, 0, 1, 0, 0xFF, 0xFF, 0, 0, 0, 0}, 1, -1, nullptr, 192},
        {false, 0, n7, 0, 1, MakeItem(kKindBcd, 0), {0x34, 0x12}, 1, 1234, nullptr, 192},
        {false, 1, n7, 0, 1, MakeItem(kKindBcd, 0), {0x34, 0x12}, 1, 234, nullptr, 1},
        {false, 0, n7, 0, 1, MakeItem(kKindWord, 0, 2, 0, 20), {0, 0x80}, 1, 1, nullptr, 192},
        {false, 0, t4, 0, 2, MakeItem(kKindBcd, 1, 2, kTmPRE), timers, 1, 1234, nullptr, 192},
        {false, 0, t4, 0, 1, MakeItem(kKindWord, 0, 2, kTmEX1), timers, 1, 0, nullptr, 192},
        {false, 0, c5, 0, 1, MakeItem(kKindWord, 0, 2, kCtOV), {0, 0x10, 0, 0, 0, 0}, 1, 1, nullptr, 192},
        {false, 0, r6, 0, 1, MakeItem(kKindWord, 0, 2, kCrEM), {0, 0x10, 0, 0, 0, 0}, 1, 1, nullptr, 192},
        {false, 0, n7, 0, 2, MakeItem(kKindString, 0, 3), {0x42, 0x41, 0x00, 0x43}, 3, 0, "ABC", 192},
        {false, 0, n7, 0, 2, MakeItem(kKindString, 0, 4), {0x42, 0x41, 0x44, 0}, 3, 0, "AB", 192},
        {false, 0, a9, 0, 3, MakeItem(kKindWord, 1), {1, 0, 2, 0, 0xFE, 0xFF}, 1, -2, nullptr, 192},
        {false, 0, a9, 2, 2, MakeItem(kKindString, 1, 4), {0x42, 0x41, 0x44, 0x43}, 3, 0, "ABCD", 192},
        {true, 0, n7, 0, 2, MakeItem(kKindString, 0, 2), {'X', 0, 'Y', 0}, 3, 0, "XY", 192},
        {true, 0, in, 0, 1, MakeItem(kKindWord, 0, 2, 0, 12), {0, 0x04}, 1, 1, nullptr, 192},
        {true, 0, t4, 0, 1, MakeItem(kKindWord, 0, 2, kTmEX2), {0, 0, 1, 0, 2, 0, 3, 0, 4, 0}, 1, 4, nullptr, 192},
        {true, 0, a9, 0, 6, MakeItem(kKindString, 0, 5), {'h', 'e', 'l', 'l', 'o', 0}, 3, 0, "hello", 192},
        {false, 0, Header(kFileFloat, kRowF, 8), 0, 2, MakeItem(kKindFloat, 0), {0xCD, 0xCC, 0xCC, 0x3D, 0, 0, 0, 0},
         2, 0, nullptr, 192, 0.1},
        {false, 0, Header(kFileInteger, kRowN, 8), 0, 2, MakeItem(kKindFloat, 0), {0xCD, 0xCC, 0xCC, 0x3D, 0, 0, 0, 0},
         2, 0, nullptr, 192, 0.1},
    };
    for (const auto& c : cases) {
        SetUp();
        if (c.plc5) Plc5();
        Driver.OctalIo = c.plc5 ? 1 : 0;
        Driver.NonStandardBcd = c.nonStandardBcd;
        Driver.CurrentHeader = c.header;
        Driver.CurrentHeader.startElement = c.start;
        Driver.CurrentHeader.elementCount = c.count;
        Driver.ItemTable[0] = c.item;
        SetStartedItemCount(1);
        const size_t pad = c.plc5 ? (c.header.fileType == kFileTimer ? 5 : c.header.fileType == kFileAscii ? 2 : 4) : 0;
        Reply(ReplyOf(0, c.data, pad));
        HostValue v{};
        int32_t error = -1;
        ASSERT_EQ(UDrvReadGroupFinishExt(&v, 0, 1, &error), 1);
        const std::string row = std::to_string(c.header.fileType) + "/" + std::to_string(c.item.element);
        ASSERT_EQ(error, 0) << row;
        EXPECT_EQ(v.valueType, c.type) << row;
        EXPECT_EQ(v.quality, c.quality) << row;
        if (c.text) EXPECT_EQ(Text(v), c.text) << row;
        else if (c.type == 2) EXPECT_EQ(v.value.real, c.real) << row;
        else EXPECT_EQ(v.value.integer, c.integer) << row;
        EXPECT_EQ(v.timestamp.lowDateTime, clock.fileTime.lowDateTime);
        EXPECT_EQ(v.timestamp.highDateTime, clock.fileTime.highDateTime);
    }
}

TEST_F(ReadFinish, StringFileSlotsInBothByteOrders) {
    Driver.CurrentHeader = Header(kFileString, kRowST, 9);
    Driver.ItemTable[0] = MakeItem(kKindString, 0, 83);
    Driver.ItemTable[1] = MakeItem(kKindString, 1, 3);
    std::memset(Driver.StringSlots, 'Z', kStringSlotBytes);  // no terminator in the slot
    std::memcpy(Driver.StringSlots + kStringSlotBytes, "BA\0C\0", 5);
    SetStartedItemCount(2);
    Fake().port.ReplyReady = 1;
    HostValue v[2]{};
    int32_t error = -1;
    ASSERT_EQ(UDrvReadGroupFinishExt(v, 0, 2, &error), 1);
    EXPECT_EQ(error, 0);
    EXPECT_EQ(Text(v[0]), std::string(83, 'Z'));  // bounded by the value field
    EXPECT_EQ(Text(v[1]), "ABC");
    Plc5();
    SetStartedItemCount(2);  // each finish takes the read of one start
    ASSERT_EQ(UDrvReadGroupFinishExt(v, 0, 2, &error), 1);
    EXPECT_EQ(Text(v[1]), "BA");
    Driver.ItemTable[1].kind = kKindWord;
    SetStartedItemCount(2);
    ASSERT_EQ(UDrvReadGroupFinishExt(v, 0, 2, &error), 1);
    EXPECT_EQ(error, MIRA_ERR_BAD_MNEMONIC);
}

struct ErrorCase { int32_t elementCount; Bytes reply; int32_t error; };

TEST_F(ReadFinish, BadRepliesLeaveTheRecordsAlone) {
    const ErrorCase cases[] = {
        {2, ReplyOf(0x10, {}), 256}, {2, ReplyOf(0xF0, {0x0E}), 14},
        {2, ReplyOf(0, {1, 0}), 256},   // one word short
        {2, ReplyOf(0, {}), 256},
        {2, {0, 1}, 256},               // shorter than a reply header
        {2, {0, 1, 0x4F, 0xF0}, 256},   // EXT STS missing: the stale byte 6 is no status
        {251, ReplyOf(0, Bytes(502, 1)), MIRA_ERR_RANGE},
    };
    for (const auto& c : cases) {
        SetUp();
        Driver.ModelClass = kClassPlc2;
        Driver.CurrentHeader = Header(kFileInteger, kRowN, 7);
        Driver.CurrentHeader.elementCount = c.elementCount;
        Driver.ItemTable[0] = MakeItem(kKindWord, 0);
        Driver.ItemTable[1] = MakeItem(kKindWord, 1);
        SetStartedItemCount(2);
        std::memset(Driver.RxData, 0x0E, 8);  // a former reply's bytes
        Reply(c.reply);
        HostValue v[2]{};
        int32_t error = 0;
        ASSERT_EQ(UDrvReadGroupFinishExt(v, 0, 2, &error), 1);
        EXPECT_EQ(error, c.error) << c.reply.size();
        EXPECT_EQ(v[0].quality, 0) << c.reply.size();
        EXPECT_EQ(v[1].quality, 0);
    }
    EXPECT_EQ(Fake().TraceLines().size(), 0u);  // the fixture resets the fake per row
}

TEST_F(ReadFinish, ElementLimitAndPending) {
    Driver.ModelClass = kClassPlc2;
    Driver.CurrentHeader = Header(kFileInteger, kRowN, 7);
    Driver.CurrentHeader.elementCount = 250;
    Driver.ItemTable[0] = MakeItem(kKindWord, 249);
    SetStartedItemCount(1);
    HostValue v{};
    int32_t error = -1;
    EXPECT_EQ(UDrvReadGroupFinishExt(&v, 0, 1, &error), 0);  // nothing in yet
    Bytes data(500, 0);
    data[498] = 7;
    Reply(ReplyOf(0, data));
    ASSERT_EQ(UDrvReadGroupFinishExt(&v, 0, 1, &error), 1);
    EXPECT_EQ(error, 0);
    EXPECT_EQ(v.value.integer, 7);
    SetStartedItemCount(1);
    EXPECT_EQ(UDrvReadGroupFinishExt(&v, 0, 2, &error), 1);  // more than were read
    EXPECT_EQ(error, MIRA_ERR_RANGE);
}

}  // namespace
}  // namespace mira::test
