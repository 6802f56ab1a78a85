#include <string>

#include "address/tables.h"
#include "commands/read_start.h"
#include "read_support.h"

namespace mira::test {
namespace {

using ReadStart = ReadFixture;

struct RefusalCase {
    PlcAddress header;
    std::vector<ItemRequest> items;
    int32_t error;
};

TEST_F(ReadStart, RefusalsSendNothing) {
    std::vector<ItemRequest> words128;
    for (int i = 0; i < 128; ++i) words128.push_back(MakeItem(kKindWord, i));
    const PlcAddress n7 = MakeHeader(kFileInteger, kRowN, 7), t4 = MakeHeader(kFileTimer, kRowT, 4);
    const RefusalCase cases[] = {
        {n7, words128, MIRA_ERR_RANGE},  // 256 bytes do not fit the size byte
        {n7, {MakeItem(kKindString, 0, 4, 0, 1)}, MIRA_ERR_BAD_MNEMONIC},
        {n7, {MakeItem(kKindNone, 0)}, MIRA_ERR_BAD_MNEMONIC},
        {t4, {MakeItem(kKindWord, 0, 2, 99)}, MIRA_ERR_BAD_MNEMONIC},
        {MakeHeader(kFileAscii, kRowA, 14), {MakeItem(kKindFloat, 0)}, MIRA_ERR_BAD_MNEMONIC},
        {MakeHeader(kFileInteger, kRowN, 7, 0x10000), {MakeItem(kKindWord, 0)}, MIRA_ERR_RANGE},
    };
    for (const auto& c : cases) {
        SetUp();
        Driver.CurrentHeader = c.header;
        for (size_t i = 0; i < c.items.size(); ++i) Driver.ItemTable[i] = c.items[i];
        int32_t error = 0;
        EXPECT_EQ(StartRead(int32_t(c.items.size()), kMaxTextReadElements, &error), 0);
        EXPECT_EQ(error, c.error) << c.items.size();
        EXPECT_TRUE(Fake().sends.empty());
        EXPECT_EQ(Driver.TnsCounter, 0u);
    }
}

TEST_F(ReadStart, SpansCoverWhatTheFinishReads) {
    // Classes 2 and 500 and the PLC-5 family, one row per item shape.
    const struct {
        bool plc5;
        int32_t fileType;
        ItemRequest item;
        int32_t lo, hi;
    } cases[] = {
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
    Plc5();
    Driver.OctalIo = 1;
    Driver.CurrentHeader = MakeHeader(kFileInput, kRowI, 1, 10);
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
    Driver.CurrentHeader = MakeHeader(kFileInteger, kRowN, 7);
    Driver.ItemTable[0] = MakeItem(kKindWord, 0);
    int32_t error = 0;
    EXPECT_EQ(StartRead(1, kMaxTextReadElements, &error), 0);
    EXPECT_EQ(error, 0x102);
    EXPECT_EQ(StartedItemCount(), 0);
}

}  // namespace
}  // namespace mira::test
