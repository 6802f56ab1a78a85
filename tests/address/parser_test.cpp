// Header, item and whole-address parsing, row by row.
#include "address/parser.h"

#include <gtest/gtest.h>

#include <tuple>

#include "address/tables.h"
#include "support/fake_portkit.h"

namespace mira {
namespace {

constexpr int32_t kUntouched = 99;

PlcAddress FreshHeader() {
    PlcAddress h{};
    h.fileNumber = h.fileType = h.fileLetter = h.slot = h.elementBase = kUntouched;
    return h;
}

struct HeaderRow {
    uint32_t modelClass;
    const char16_t* text;
    int32_t result, fileType, fileNumber, slot, elementBase, fileLetter, letterSyntax;
};

constexpr int32_t U = kUntouched;
// class, text, result, type, file, slot, element, letter row, letter syntax
const HeaderRow kHeaderRows[] = {
    {500, u"  n7:12  ", 0, 137, 7, -1, 12, 0, 1}, {500, u"7:0", 0, 137, 7, 0, 0, U, 0},
    {500, u"integer/7:0", 0, 137, 7, 0, 0, U, 0}, {500, u"TIMER/1:4:0", 0, 134, 4, 1, 0, U, 0},
    // Three numbers need a type word; the letter syntax then finds no row.
    {500, u"1:4:0", -37, -1, -1, -1, -1, U, 1}, {500, u"I:1.2", 0, 140, 1, 1, 2, 2, 1},
    {500, u"I:1", -37, 140, 1, 1, -1, 2, 1}, {500, u"I", 0, 140, 1, -1, -1, 2, 1},
    {500, u"O2:0", -37, 139, -1, -1, -1, 1, 1}, {500, u"S:4", 0, 132, 2, -1, 4, 3, 1},
    {500, u"ST12:3", 0, 141, 12, -1, 3, 11, 1}, {500, u"ST:3", -37, 141, -1, -1, -1, 11, 1},
    {500, u"U7:40", 0, 144, -1, -1, 40, 9, 1}, {500, u"N-7:0", -37, -1, -1, -1, -1, U, 1},
    {500, u"S-", -37, -1, -1, -1, -1, U, 1}, {500, u"N3:0", -37, 137, 3, -1, -1, 0, 1},
    {2, u"T7:0", -37, 134, 7, -1, -1, 5, 1}, {5, u"N3:0", 0, 137, 3, -1, 0, 0, 1},
    {500, u"F7:0", -37, 138, 7, -1, -1, 8, 1},
    // Numbers past 32 bits saturate as the platform's conversion does.
    {500, u"N9:4294967297", 0, 137, 9, -1, 2147483647, 0, 1},
    // A code unit outside ASCII ends a number: "N\u00e97" is file N0.
    {500, u"N\u00e97:0", -37, 137, 0, -1, -1, 0, 1},
    // A negative number or a character outside printable ASCII would name another address: refused.
    {5, u"N7:-1", -37, 137, 7, -1, -1, 0, 1}, {500, u"7:-3", -37, 137, 7, 0, -3, U, 0},
    {500, u"I:-1.0", -37, 140, 1, -1, 0, 2, 1}, {500, u"N7:\u0663", -37, 137, 7, -1, 0, 0, 1},
    {500, u"N7:1\u0001", -37, 137, 7, -1, 1, 0, 1}, {500, u"\u00c97:0", -37, -1, -1, -1, -1, U, 1},
    {500, u"X7:0", -37, -1, -1, -1, -1, U, 1}, {500, u"", -37, -1, -1, -1, -1, U, 1},
    {500, u"::N7::5", 0, 137, 7, -1, 5, 0, 1},
    // An unknown type word falls to the letter syntax: "BOGUS/7" is file B0.
    {500, u"bogus/7:0", -37, 133, 0, -1, -1, 4, 1}, {500, u"invalid:N7", -37, U, U, U, U, U, 0},
};

TEST(HeaderParse, FillsTheRecord) {
    for (const HeaderRow& row : kHeaderRows) {
        SCOPED_TRACE(test::Narrow(row.text));
        PlcAddress h = FreshHeader();
        h.stationText[0] = u'x';
        const HeaderResult parsed = ParseHeader(&h, u" 12", row.text, row.modelClass);
        EXPECT_EQ(std::tuple(parsed.code, h.fileType, h.fileNumber, h.slot, h.elementBase, h.fileLetter),
                  std::tuple(row.result, row.fileType, row.fileNumber, row.slot, row.elementBase, row.fileLetter));
        EXPECT_EQ(parsed.letterSyntax, row.letterSyntax == 1);
        EXPECT_EQ(h.stationText[0], 0);
    }
}

TEST(HeaderParse, SetsStationFromItsText) {
    PlcAddress h = FreshHeader();
    ASSERT_EQ(ParseHeader(&h, u"  -5x", u"N7:0", 500).code, 0);
    EXPECT_EQ(h.station, -5);
    ASSERT_EQ(ParseHeader(&h, nullptr, u"N7:0", 500).code, 0);
    EXPECT_EQ(h.station, 0);
}

TEST(HeaderParse, RefusesTextsPastTheWorkBoundWithoutReadingThem) {
    // 255 characters fit; 256 do not, and the parser reads no further than the bound.
    std::u16string fits = u"N7:" + std::u16string(252, u'0');
    PlcAddress h = FreshHeader();
    EXPECT_EQ(ParseHeader(&h, u"", fits.c_str(), 500).code, 0);
    EXPECT_EQ(h.fileNumber, 7);
    std::u16string tooLong = fits + u"1";
    EXPECT_EQ(ParseHeader(&h, u"", tooLong.c_str(), 500).code, -37);
    EXPECT_EQ(h.fileType, -1);
    EXPECT_EQ(ParseHeader(&h, u"", nullptr, 500).code, -37);

    // A numeric tail of 31 characters fits its work text; 32 are refused.
    std::u16string tail31 = u"7:" + std::u16string(30, u'0') + u"5";
    EXPECT_EQ(ParseHeader(&h, u"", tail31.c_str(), 500).code, 0);
    EXPECT_EQ(h.elementBase, 5);
    EXPECT_EQ(ParseHeader(&h, u"", (tail31 + u"0").c_str(), 500).code, -37);
    EXPECT_EQ(h.fileType, -1);
}

struct ItemRow {
    int32_t fileType;
    const char16_t* text;
    int32_t result, kind, element, size, hasBit, bit, mnemonic;
    char16_t separator;
    uint8_t hasPrefix;
};

// A bit that was not parsed keeps its old value -3 and separator '?'.
// file type, text, result, kind, element, size, hasBit, bit, mnemonic, sep, prefix
const ItemRow kItemRows[] = {
    {134, u"0/dn", 0, 0, 0, 0, 0, -3, 0, u'?', 0}, {134, u"3.EX2", 0, 0, 3, 0, 0, -3, 7, u'?', 0},
    {134, u"0.XX", -34, 0, 0, 0, 0, -3, 0, u'?', 0}, {134, u"5", -34, 0, 5, 0, 0, -3, 0, u'?', 0},
    {135, u"W2.CU", 0, 0, 2, 0, 0, -3, 5, u'?', 1}, {137, u"W12/3", 0, 0, 12, 0, 1, 3, 0, u'/', 1},
    {137, u" 12.3 ", 0, 0, 12, 0, 1, 3, 0, u'.', 0}, {137, u"b4", 0, 1, 4, 2, 0, -3, 0, u'?', 1},
    {137, u"S4.10", 0, 3, 4, 10, 0, -3, 0, u'?', 1}, {137, u"S4.0", 0, 3, 4, 2, 0, -3, 0, u'?', 1},
    {141, u"4.0", 0, 3, 4, 0, 0, -3, 0, u'?', 0}, {141, u"3", 0, 3, 3, 2, 0, -3, 0, u'?', 0},
    {138, u"7", 0, 2, 7, 2, 0, -3, 0, u'?', 0}, {142, u"1", 0, 3, 1, 2, 0, -3, 0, u'?', 0},
    {144, u"7", -37, 0, 0, 0, 0, -3, 0, u'?', 0}, {144, u"W7", 0, 0, 7, 2, 0, -3, 0, u'?', 1},
    {-1, u"7", 0, 4, 7, 2, 0, -3, 0, u'?', 0}, {137, u" \t ", -34, 0, 0, 2, 0, -3, 0, u'?', 0},
    {137, u"W\u0663", -34, 0, 0, 2, 0, -3, 0, u'?', 1}, {137, u"W1\u0007", -34, 0, 1, 2, 0, -3, 0, u'?', 1},
    // Only the first 15 characters count: the "/9" is cut off.
    {137, u"W00000000000001/9", 0, 0, 1, 2, 0, -3, 0, u'?', 1},
    // Without a prefix the element text is cut to 14 characters: bit 0, not 9.
    {137, u"0000000000001/9", 0, 0, 1, 0, 1, 0, 0, u'/', 0},
};

TEST(ItemParse, FillsTheRecord) {
    for (const ItemRow& row : kItemRows) {
        SCOPED_TRACE(test::Narrow(row.text));
        PlcAddress h{};
        h.fileType = row.fileType;
        ItemRequest item{};
        item.kind = item.element = item.size = item.hasBit = item.mnemonic = 77;
        item.bit = -3;
        item.separator = u'?';
        const ItemResult parsed = ParseItem(&h, &item, row.text);
        EXPECT_EQ(std::tuple(parsed.code, item.kind, item.element, item.size, item.hasBit, item.bit, item.mnemonic),
                  std::tuple(row.result, row.kind, row.element, row.size, row.hasBit, row.bit, row.mnemonic));
        EXPECT_EQ(item.separator, row.separator);
        EXPECT_EQ(parsed.typePrefix, row.hasPrefix == 1);
    }
}

TEST(ItemParse, NullTextIsAnEmptyItem) {
    PlcAddress h{};
    h.fileType = kFileInteger;
    ItemRequest item{};
    EXPECT_EQ(ParseItem(&h, &item, nullptr).code, -34);
    EXPECT_EQ(item.element, 0);
}

// What whole addresses parse into is pinned by the address checks' tables; here the station and bounds.
TEST(FullParse, TakesTheStationFromPortkitKeepsItsTextAndRefusesOverlongTexts) {
    test::ResetFake();
    test::Fake().stationText = [](const char16_t*) { return std::u16string(u"17"); };
    PlcAddress h = FreshHeader();
    ItemRequest item{};
    ParseFullAddress(&h, &item, u"{LINE2.PLC}", u"N7:W1");
    EXPECT_EQ(h.station, 17);
    EXPECT_EQ(std::u16string(h.stationText), u"{LINE2.PLC}");
    ASSERT_EQ(test::Fake().stationRequests.size(), 1u);
    test::ResetFake();
    // Eighty station characters are kept; an overlong address is refused.
    std::u16string station(100, u'9');
    ParseFullAddress(&h, &item, station.c_str(), u"N7:W1");
    EXPECT_EQ(std::u16string(h.stationText), station.substr(0, 80));
    std::u16string tooLong = u"N7:W1" + std::u16string(300, u' ');
    EXPECT_TRUE(ParseFullAddress(&h, &item, u"", tooLong.c_str()).letterSyntax);
    EXPECT_EQ(h.fileType, -1);
}

TEST(TrimBlanks, RemovesWhiteSpaceAtBothEnds) {
    for (const auto& [in, out] : {std::pair<std::u16string, std::u16string>{u"", u""}, {u" \t\r\n\v\f", u""},
                                  {u"  N7:0 \t", u"N7:0"}, {u"a b", u"a b"}}) {
        std::u16string buffer = in;
        TrimBlanks(buffer.data());
        EXPECT_EQ(std::u16string(buffer.c_str()), out);
    }
    TrimBlanks(nullptr);
}

}  // namespace
}  // namespace mira
