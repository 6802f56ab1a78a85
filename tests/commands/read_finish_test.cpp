#include <cstring>
#include <string>

#include "address/tables.h"
#include "commands/read_start.h"
#include "read_support.h"

namespace mira::test {
namespace {

using ReadFinish = ReadFixture;

// A reply header (DST SRC CMD STS TNS) and data bytes.
// gcc 12 at -O3 reports a false -Warray-bounds inside std::vector::insert
// after the six-byte initialiser (the vector has grown by then).
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Warray-bounds"
#endif
Bytes ReplyOf(uint8_t sts, const Bytes& data, size_t pad = 0) {
    Bytes m{0, 1, 0x4F, sts, 0, 0};
    m.insert(m.end(), pad, 0);
    m.insert(m.end(), data.begin(), data.end());
    return m;
}
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif

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
};

TEST_F(ReadFinish, DecodesEveryShape) {
    const PlcAddress n7 = MakeHeader(kFileInteger, kRowN, 7), t4 = MakeHeader(kFileTimer, kRowT, 4),
                     c5 = MakeHeader(kFileCounter, kRowC, 5), r6 = MakeHeader(kFileControl, kRowR, 6),
                     in = MakeHeader(kFileInput, kRowI, 1), a9 = MakeHeader(kFileAscii, kRowA, 9);
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
        else EXPECT_EQ(v.value.integer, c.integer) << row;
        EXPECT_EQ(v.timestamp.lowDateTime, clock_.fileTime.lowDateTime);
        EXPECT_EQ(v.timestamp.highDateTime, clock_.fileTime.highDateTime);
    }
}

TEST_F(ReadFinish, FloatArrivesAsTheNearestDouble) {
    for (int32_t fileType : {kFileFloat, kFileInteger}) {
        Driver.CurrentHeader = MakeHeader(fileType, fileType == kFileFloat ? kRowF : kRowN, 8);
        Driver.CurrentHeader.elementCount = 2;
        Driver.ItemTable[0] = MakeItem(kKindFloat, 0);
        SetStartedItemCount(1);
        Reply(ReplyOf(0, {0xCD, 0xCC, 0xCC, 0x3D, 0, 0, 0, 0}));
        HostValue v{};
        int32_t error = -1;
        ASSERT_EQ(UDrvReadGroupFinishExt(&v, 0, 1, &error), 1);
        EXPECT_EQ(error, 0);
        EXPECT_EQ(v.valueType, 2u);
        EXPECT_EQ(v.value.real, 0.1);
    }
}

TEST_F(ReadFinish, StringFileSlotsInBothByteOrders) {
    Driver.CurrentHeader = MakeHeader(kFileString, kRowST, 9);
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

struct ErrorCase {
    int32_t elementCount;
    Bytes reply;
    int32_t error;
};

TEST_F(ReadFinish, BadRepliesLeaveTheRecordsAlone) {
    const ErrorCase cases[] = {
        {2, ReplyOf(0x10, {}), 256},
        {2, ReplyOf(0xF0, {0x0E}), 14},
        {2, ReplyOf(0, {1, 0}), 256},   // one word short
        {2, ReplyOf(0, {}), 256},
        {2, {0, 1}, 256},               // shorter than a reply header
        {2, {0, 1, 0x4F, 0xF0}, 256},   // EXT STS missing: the stale byte 6 is no status
        {251, ReplyOf(0, Bytes(502, 1)), MIRA_ERR_RANGE},
    };
    for (const auto& c : cases) {
        SetUp();
        Driver.ModelClass = kClassPlc2;
        Driver.CurrentHeader = MakeHeader(kFileInteger, kRowN, 7);
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
    Driver.CurrentHeader = MakeHeader(kFileInteger, kRowN, 7);
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
