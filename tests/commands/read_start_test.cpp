// Read starts: from records and from the host's texts, what goes out and what is refused.

#include "commands/read_start.h"

#include "command_support.h"

namespace mira::test {
namespace {

using ReadStart = ReadFixture;

TEST_F(ReadStart, RefusalsSendNothing) {
    const PlcAddress n7 = Header(kFileInteger, kRowN, 7);
    // item: the last of count items, each before it a word
    const struct { PlcAddress header; ItemRequest item; int32_t count, error; } cases[] = {
        {n7, MakeItem(kKindWord, 127), 128, MIRA_ERR_RANGE},  // 256 bytes do not fit the size byte
        {n7, MakeItem(kKindString, 0, 4, 0, 1), 1, MIRA_ERR_BAD_MNEMONIC},
        {n7, MakeItem(kKindNone, 0), 1, MIRA_ERR_BAD_MNEMONIC},
        {Header(kFileTimer, kRowT, 4), MakeItem(kKindWord, 0, 2, 99), 1, MIRA_ERR_BAD_MNEMONIC},
        {Header(kFileAscii, kRowA, 14), MakeItem(kKindFloat, 0), 1, MIRA_ERR_BAD_MNEMONIC},
        {Header(kFileInteger, kRowN, 7, 0x10000), MakeItem(kKindWord, 0), 1, MIRA_ERR_RANGE},
    };
    for (const auto& c : cases) {
        SetUp();
        Driver.CurrentHeader = c.header;
        for (int32_t i = 0; i < c.count; ++i) Driver.ItemTable[i] = MakeItem(kKindWord, i);
        Driver.ItemTable[c.count - 1] = c.item;
        int32_t error = 0;
        EXPECT_EQ(StartRead(c.count, kMaxTextReadElements, &error), 0);
        EXPECT_EQ(error, c.error) << int(&c - cases);
        EXPECT_TRUE(Fake().sends.empty());
        EXPECT_EQ(Driver.TnsCounter, 0u);
    }
}

TEST_F(ReadStart, SpansCoverWhatTheFinishReads) {
    const struct { bool plc5; int32_t fileType; ItemRequest item; int32_t lo, hi; } cases[] = {
        {false, kFileInteger, MakeItem(kKindFloat, 4), 4, 5},
        {true, kFileInteger, MakeItem(kKindFloat, 4), 4, 5},
        {true, kFileFloat, MakeItem(kKindFloat, 4), 4, 4},
        {false, kFileInteger, MakeItem(kKindString, 3, 5), 3, 5},
        {true, kFileInteger, MakeItem(kKindString, 3, 5), 3, 7},
        {false, kFileInteger, MakeItem(kKindString, 3, 0), 3, 3},
        {false, kFileAscii, MakeItem(kKindWord, 3), 6, 6},
        {false, kFileAscii, MakeItem(kKindString, 3, 4), 6, 7},
        {true, kFileAscii, MakeItem(kKindString, 3, 4), 6, 9},
    };
    for (const auto& c : cases) {
        Driver.Plc5Family = c.plc5 ? 1 : 0;
        int32_t lo = -1, hi = -1;
        ASSERT_TRUE(ItemSpan(c.fileType, c.item, &lo, &hi));
        EXPECT_EQ(lo, c.lo) << c.fileType << " " << c.item.kind;
        EXPECT_EQ(hi, c.hi) << c.fileType << " " << c.item.kind;
    }
    Driver.Plc5Family = 1;
    int32_t lo, hi;
    EXPECT_FALSE(ItemSpan(kFileAscii, MakeItem(kKindWord, 0), &lo, &hi));
}

TEST_F(ReadStart, Plc5OctalInputAddress) {
    SetModel(kPlc5Octal);
    Driver.CurrentHeader = Header(kFileInput, kRowI, 1, 10);
    Driver.ItemTable[0] = MakeItem(kKindWord, 0);
    Driver.ItemTable[1] = MakeItem(kKindWord, 10);  // octal 10: the value 8
    int32_t error = 0;
    ASSERT_EQ(StartRead(2, kMaxTextReadElements, &error), 1);
    EXPECT_EQ(Driver.ItemTable[1].element, 8);
    EXPECT_EQ(Driver.CurrentHeader.elementCount, 9);
    const Bytes m = Message(0);
    EXPECT_EQ(std::string(m.begin() + 13, m.end() - 3), "I:10.0");
}

TEST_F(ReadStart, SendFailureIsTheError) {
    Fake().sendErrorCode = 0x102;
    Driver.CurrentHeader = Header(kFileInteger, kRowN, 7);
    Driver.ItemTable[0] = MakeItem(kKindWord, 0);
    int32_t error = 0;
    EXPECT_EQ(StartRead(1, kMaxTextReadElements, &error), 0);
    EXPECT_EQ(error, 0x102);
    EXPECT_EQ(StartedItemCount(), 0);
}

using ReadTexts = ReadFixture;

struct TextCase { uint32_t modelClass; const char16_t* header; std::vector<const char16_t*> items; const char* message;
                  int32_t start, count; };

TEST_F(ReadTexts, RequestsPerClassFromTexts) {
    const TextCase cases[] = {
        {2, u"T4:2", {u"0.DN", u"1.PRE"}, "01 00 01 00 00 00 06 00 0C", 0, 2},
        {500, u"N7:256", {u"W0", u"W6"}, "01 00 0F 00 00 00 A2 0E 07 89 FF 00 01 00", 0, 7},
        // A string size past the value field is cut to it (the last row, for the check below).
        {500, u"N7:0", {u"S0.200"}, "01 00 0F 00 00 00 A2 54 07 89 00 00", 0, (kMaxStringChars + 1) / 2},
    };
    for (const auto& c : cases) {
        SetUp();
        Driver.ModelClass = c.modelClass;
        int32_t error = -1;
        ASSERT_EQ(UDrvReadGroupStart(u"1", c.header, c.items.data(), int32_t(c.items.size()), &error), 1);
        EXPECT_EQ(error, 0);
        EXPECT_EQ(Hex(Message(0)), c.message);
        EXPECT_EQ(Driver.CurrentHeader.startElement, c.start);
        EXPECT_EQ(Driver.CurrentHeader.elementCount, c.count);
        EXPECT_EQ(StartedItemCount(), int32_t(c.items.size()));
        EXPECT_EQ(Driver.ChannelBusy, 1u);
    }
    EXPECT_EQ(Driver.ItemTable[0].size, kMaxStringChars);
}

// count: -1 for the size of items
struct RefusedText { const char16_t* header; std::vector<const char16_t*> items; int32_t count, error; };

TEST_F(ReadTexts, RefusedTextsSendNothing) {
    const RefusedText cases[] = {
        {u"N7:0", {nullptr}, -1, MIRA_ERR_BAD_MNEMONIC},
        {u"N7:0", {u"W1"}, 0, MIRA_ERR_RANGE},
        {u"N7:0", {u"W1"}, 4097, MIRA_ERR_RANGE},
        {nullptr, {u"W1"}, -1, MIRA_ERR_BAD_HEADER},
        {u"Q7:0", {u"W1"}, -1, MIRA_ERR_BAD_HEADER},
        {u"T4:0", {u"0.XX"}, -1, MIRA_ERR_BAD_MNEMONIC},
        {u"T4:0", {u"F0.ACC"}, -1, MIRA_ERR_BAD_MNEMONIC},  // a float has no place in a timer
        {u"N7:0", {u"F1/3"}, -1, MIRA_ERR_BAD_MNEMONIC},    // nor a bit of a float
        {u"N7:0", {u"W-3"}, -1, MIRA_ERR_RANGE},            // before the file's first element
        {u"N7:0", {u"W0", u"W128"}, -1, MIRA_ERR_RANGE},    // 129 elements
        // Numbers past what a field carries, saturated, never wrap to N7:1.
        {u"N7:4294967297", {u"W0"}, -1, MIRA_ERR_RANGE},
        {u"N7:0", {u"W4294967297"}, -1, MIRA_ERR_RANGE},
        {u"N65543:0", {u"W0"}, -1, MIRA_ERR_RANGE},
        {u"N7:-1", {u"W1"}, -1, MIRA_ERR_BAD_HEADER},
        {u"N7:0", {u""}, -1, MIRA_ERR_BAD_MNEMONIC},
        {u"N7:0", {u"W\u0661"}, -1, MIRA_ERR_BAD_MNEMONIC},
    };
    for (const auto& c : cases) {
        SetUp();
        const int32_t count = c.count == -1 ? int32_t(c.items.size()) : c.count;
        int32_t error = 0;
        EXPECT_EQ(UDrvReadGroupStart(u"1", c.header, c.items.data(), count, &error), 0);
        EXPECT_EQ(error, c.error) << int(&c - cases);
        EXPECT_TRUE(Fake().sends.empty());
    }
    EXPECT_EQ(UDrvReadGroupStart(u"1", u"N7:0", nullptr, 1, nullptr), 0);
}

TEST_F(ReadTexts, RegisteredGroupHandles) {
    int32_t error = 7;
    for (int32_t handle : {-1, 16384}) {
        EXPECT_EQ(UDrvReadGroupStartEx2(handle, &error), 0);
        EXPECT_EQ(error, 0);
    }
    const char16_t* items[] = {u"W2", u"W3"};
    Fake().stationText = [](const char16_t*) { return std::u16string(u"9"); };
    ASSERT_EQ(UDrvAddGroup(5, u"station ref", u"N7:0", items, 2), 1);
    ASSERT_EQ(UDrvReadGroupStartEx2(5, &error), 1);
    EXPECT_EQ(Message(0)[0], 9);  // the station is evaluated afresh
    EXPECT_EQ(Driver.CurrentHeader.elementCount, 2);
    ASSERT_EQ(UDrvAddGroup(6, u"1", u"U:0", items, 2), 1);
    EXPECT_EQ(UDrvReadGroupStartEx2(6, &error), 0);
    EXPECT_EQ(error, MIRA_ERR_BAD_HEADER);
    UDrvRemoveAllGroups();
}

}  // namespace
}  // namespace mira::test
