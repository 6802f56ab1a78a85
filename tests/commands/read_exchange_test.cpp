// Read finishes: replies decoded into the host's records, and whole exchanges through the fake
// Portkit and the real receive handler.
#include "command_support.h"
#include "commands/read_start.h"

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
    EXPECT_EQ(UDrvGetType(u"ST9:0", u"S1.5"), 3);           // a type query leaves the read alone
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

TEST_F(ReadExchange, StringItemsOneRequestEach) {
    // data: the reply from byte 6; slot: the slot's first bytes afterwards
    const struct { Model model; uint8_t sts; const char *data, *slot; int32_t error; } cases[] = {
        {kSlc, 0, "03 00 42 41 7A 43", "42 41 00 43 00 EE", 0},
        {kPlc5, 0, "00 03 58 59 5A 55", "58 59 5A 00 EE", 0},
        // A longer string than asked for: the characters asked for, cut at the size.
        {kSlc, 0, "04 00 49 4D 41 52", "49 4D 00 52 00 EE", 0},
        {kPlc5, 0, "00 05 48 45 4C 4C 4F", "48 45 4C 00 EE", 0},
        {kSlc, 0, "FF 00 42 41", "EE", 256},  // a length the reply does not carry
        {kSlc, 0xF0, "06", "EE", 0x06},       // a refusal carries no string; its code is a word read's
    };
    for (const auto& c : cases) {
        SetUp();
        SetModel(c.model);
        std::memset(Driver.StringSlots, 0xEE, 2 * kStringSlotBytes);
        Driver.CurrentHeader = Header(kFileString, kRowST, 9);
        Driver.ItemTable[0] = MakeItem(kKindString, 0, 3);
        Script(c.sts, FromHex(c.data));
        int32_t error = -1;
        EXPECT_EQ(StartRead(1, kMaxTextReadElements, &error), c.error == 0 ? 1 : 0);
        EXPECT_EQ(error, c.error);
        const size_t n = FromHex(c.slot).size();
        EXPECT_EQ(Hex(Bytes(Driver.StringSlots, Driver.StringSlots + n)), c.slot);
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

TEST_F(ReadFinish, DecodesEveryShape) {
    const PlcAddress n7 = Header(kFileInteger, kRowN, 7), t4 = Header(kFileTimer, kRowT, 4),
                     c5 = Header(kFileCounter, kRowC, 5), in = Header(kFileInput, kRowI, 1),
                     a9 = Header(kFileAscii, kRowA, 9), f8 = Header(kFileFloat, kRowF, 8);
    const char* timers = "00 20 01 00 02 00 00 20 34 12 09 00";  // two timers, DN set
    // data: from the class's data start; real: a float arrives as the nearest double
    const struct { bool plc5; PlcAddress header; int32_t start, count; ItemRequest item; const char* data;
                   uint32_t type; int32_t integer; const char* text; double real = 0; } cases[] = {
        {false, n7, 5, 5, MakeItem(kKindWord, 7), "00 00 01 00 FF FF 00 00 00 00", 1, -1, nullptr},
        {false, n7, 0, 1, MakeItem(kKindWord, 0, 2, 0, 20), "00 80", 1, 1, nullptr},
        {false, t4, 0, 2, MakeItem(kKindBcd, 1, 2, kTmPRE), timers, 1, 1234, nullptr},
        {false, t4, 0, 1, MakeItem(kKindWord, 0, 2, kTmEX1), timers, 1, 0, nullptr},
        {false, c5, 0, 1, MakeItem(kKindWord, 0, 2, kCtOV), "00 10 00 00 00 00", 1, 1, nullptr},
        {false, n7, 0, 2, MakeItem(kKindString, 0, 3), "42 41 00 43", 3, 0, "ABC"},
        {false, n7, 0, 2, MakeItem(kKindString, 0, 4), "42 41 44 00", 3, 0, "AB"},
        {false, a9, 0, 3, MakeItem(kKindWord, 1), "01 00 02 00 FE FF", 1, -2, nullptr},
        {false, a9, 2, 2, MakeItem(kKindString, 1, 4), "42 41 44 43", 3, 0, "ABCD"},
        {true, n7, 0, 2, MakeItem(kKindString, 0, 2), "58 00 59 00", 3, 0, "XY"},
        {true, in, 0, 1, MakeItem(kKindWord, 0, 2, 0, 12), "00 04", 1, 1, nullptr},
        {true, t4, 0, 1, MakeItem(kKindWord, 0, 2, kTmEX2), "00 00 01 00 02 00 03 00 04 00", 1, 4, nullptr},
        {true, a9, 0, 6, MakeItem(kKindString, 0, 5), "68 65 6C 6C 6F 00", 3, 0, "hello"},
        {false, f8, 0, 2, MakeItem(kKindFloat, 0), "CD CC CC 3D 00 00 00 00", 2, 0, nullptr, 0.1},
        {false, Header(kFileInteger, kRowN, 8), 0, 2, MakeItem(kKindFloat, 0), "CD CC CC 3D 00 00 00 00", 2,
         0, nullptr, 0.1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(int(&c - cases));
        SetUp();
        SetModel(c.plc5 ? kPlc5Octal : kSlc);
        Driver.NonStandardBcd = 0;
        Driver.CurrentHeader = c.header;
        Driver.CurrentHeader.startElement = c.start;
        Driver.CurrentHeader.elementCount = c.count;
        Driver.ItemTable[0] = c.item;
        SetStartedItemCount(1);
        const size_t pad = !c.plc5 ? 0 : c.header.fileType == kFileTimer ? 5 : c.header.fileType == kFileAscii ? 2 : 4;
        Reply(ReplyOf(0, FromHex(c.data), pad));
        HostValue v{};
        int32_t error = -1;
        ASSERT_EQ(UDrvReadGroupFinishExt(&v, 0, 1, &error), 1);
        ASSERT_EQ(error, 0);
        EXPECT_EQ(v.valueType, c.type);
        EXPECT_EQ(v.quality, 192);
        if (c.text)
            EXPECT_EQ(Text(v), c.text);
        else if (c.type == 2)
            EXPECT_EQ(v.value.real, c.real);
        else
            EXPECT_EQ(v.value.integer, c.integer);
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
    SetModel(kPlc5);
    SetStartedItemCount(2);  // each finish takes the read of one start
    ASSERT_EQ(UDrvReadGroupFinishExt(v, 0, 2, &error), 1);
    EXPECT_EQ(Text(v[1]), "BA");
    Driver.ItemTable[1].kind = kKindWord;
    SetStartedItemCount(2);
    ASSERT_EQ(UDrvReadGroupFinishExt(v, 0, 2, &error), 1);
    EXPECT_EQ(error, MIRA_ERR_BAD_MNEMONIC);
}

TEST_F(ReadFinish, BadRepliesLeaveTheRecordsAlone) {
    // the second item reads the last element of elementCount; the trace line it leaves
    const struct { int32_t elementCount; Bytes reply; int32_t error; const char* trace; } cases[] = {
        {2, ReplyOf(0x10, Bytes()), 256, "STS Error Code returned: 0x10"},
        {2, ReplyOf(0, FromHex("01 00")), 256, "Reply carries 2 of the 4 data bytes asked for, STS 0x0"},
        {100, ReplyOf(0, Bytes(189, 1)), 256, "Reply carries 189 of the 200 data bytes asked for, STS 0x0"},
        {2, FromHex("00 01"), 256, nullptr},                                 // shorter than a reply header
        {2, FromHex("00 01 4F F0"), 256, "STS Error Code returned: 0xF0"},  // the stale byte 6 is no EXT STS
        {251, ReplyOf(0, Bytes(502, 1)), MIRA_ERR_RANGE, nullptr},
        {250, ReplyOf(0, {7, 0}, 498), 0, nullptr},  // the most a reply carries; the last row, for the check below
    };
    HostValue v[2]{};
    int32_t error = 0;
    for (const auto& c : cases) {
        SetUp();
        Driver.ModelClass = kClassPlc2;
        Driver.CurrentHeader = Header(kFileInteger, kRowN, 7);
        Driver.CurrentHeader.elementCount = c.elementCount;
        Driver.ItemTable[0] = MakeItem(kKindWord, 0);
        Driver.ItemTable[1] = MakeItem(kKindWord, c.elementCount - 1);
        SetStartedItemCount(2);
        std::memset(Driver.ReplyData, 0x0E, 8);  // a former reply's bytes
        Reply(c.reply);
        v[0] = v[1] = HostValue{};
        ASSERT_EQ(UDrvReadGroupFinishExt(v, 0, 2, &error), 1);
        EXPECT_EQ(error, c.error) << c.reply.size();
        EXPECT_EQ(v[0].quality, c.error == 0 ? 192 : 0) << c.reply.size();
        EXPECT_EQ(v[1].quality, c.error == 0 ? 192 : 0);
        EXPECT_EQ(v[1].value.integer, c.error == 0 ? 7 : 0);
        EXPECT_EQ(Fake().TraceLines(), c.trace ? std::vector<std::string>{c.trace} : std::vector<std::string>{});
    }
    SetStartedItemCount(1);
    EXPECT_EQ(UDrvReadGroupFinishExt(v, 0, 2, &error), 1);  // more than were read
    EXPECT_EQ(error, MIRA_ERR_RANGE);
}

}  // namespace
}  // namespace mira::test
