#include "commands/write_group.h"

#include <cmath>

#include "commands/command_support.h"
#include "mira/portkit_codes.h"

namespace mira::test {
namespace {

// One item with its host value: an integer, a double or a text.
struct Item {
    int32_t kind, element, size, integer;
    double real;
    const char16_t* text;
};
class WriteGroupTest : public WriteFixture {
protected:
    static Item W(int32_t e, int32_t v) { return {kKindWord, e, 2, v, 0, nullptr}; }
    static Item B(int32_t e, int32_t v) { return {kKindBcd, e, 2, v, 0, nullptr}; }
    static Item F(int32_t e, double v) { return {kKindFloat, e, 2, 0, v, nullptr}; }
    static Item S(int32_t e, int32_t size, const char16_t* t) { return {kKindString, e, size, 0, 0, t}; }
    template <class... T>
    static std::vector<Item> L(T... items) {
        return {items...};
    }
    int32_t Build(Model model, const PlcAddress& header, const std::vector<Item>& items) {
        SetModel(model);
        Driver.CurrentHeader = header;
        values.assign(items.size() + 1, HostValueCore{});
        for (size_t i = 0; i < items.size(); ++i) {
            rows[i] = MakeItem(items[i].kind, items[i].element, items[i].size);
            for (size_t k = 0; items[i].text && items[i].text[k] && k < 84; ++k)
                values[i].value.text[k] = items[i].text[k];
            if (items[i].kind == kKindFloat) values[i].value.real = items[i].real;
            if (items[i].kind < kKindFloat) values[i].value.integer = items[i].integer;
        }
        std::memset(message, 0xEE, sizeof message);
        int32_t length = -1;
        const int32_t code = BuildGroupWrite(values.data(), int32_t(items.size()), message, &length);
        sent = Bytes(message, message + (length > 0 ? length : 0));
        return code;
    }
    int32_t Start(const char16_t* header, std::vector<const char16_t*> items, int32_t* error) {
        values.assign(items.size() + 1, HostValueCore{});
        for (size_t i = 0; i < values.size(); ++i) values[i].value.integer = int32_t(i + 1);
        return UDrvWriteGroupStart(u"1", header, items.data(), values.data(), int32_t(items.size()), error);
    }
    std::vector<HostValueCore> values;
};

TEST_F(WriteGroupTest, RequestBytesByClass) {
    const PlcAddress n7 = Header(kFileInteger, kRowN, 7);
    const struct {
        Model model;
        PlcAddress header;
        std::vector<Item> items;
        int32_t startElement, elementCount;
        std::string bytes;
    } cases[] = {
        {kSlc, Header(kFileInteger, kRowN, 7, 10), L(W(0, 0x1234), W(5, 0x12345678)), 10, 6,
         kSlcHead + "0C 07 89 0A 00 34 12 00 00 00 00 00 00 00 00 78 56"},
        {kSlc, n7, L(B(0, 12345), B(1, 999), B(2, -5), B(3, 1234)), 0, 4,
         kSlcHead + "08 07 89 00 00 45 93 99 09 FB FF 34 12"},
        {kSlc, n7, L(F(1, 0.1)), 2, 2,
         kSlcHead + "04 07 89 02 00 CD CC CC 3D"},  // a float in an integer file
        {kSlc, Header(kFileFloat, kRowF, 8), L(F(0, -1e300), F(1, std::nan(""))), 0, 4,
         kSlcHead + "08 08 8A 00 00 00 00 80 FF 00 00 C0 7F"},
        {kSlc, n7, L(S(0, 5, u"AB\\0C")), 0, 6,
         kSlcHead + "0C 07 89 00 00 42 41 20 00 00 43 00 00 00 00 00 00"},
        {kSlcAlt, n7, L(S(0, 4, u"A\\0B")), 0, 2, kSlcHead + "04 07 89 00 00 00 41 42 20"},
        // Number fields from 255 on take the three-byte form.
        {kSlc, Header(kFileInteger, kRowN, 255, 255), L(W(0, 5)), 255, 1,
         kSlcHead + "02 FF FF 00 89 FF FF 00 00 05 00"},
        {kSlc, Header(kFileInput, kRowI, 1, 0, 256), L(W(0, 1)), 0, 1,
         kSlcHead + "02 01 8C FF 00 01 00 01 00"},
        {kPlc2, Header(kFileNone, kRowU, -1, 8), L(W(0, 0x1234), W(1, 0x5678)), 8, 2,
         "01 00 08 00 00 00 10 00 34 12 78 56"},
        {kPlc5, Header(kFileAscii, kRowA, 14, 4), L(S(0, 3, u"A\\0")), 2, 2,
         kPlc5Head + "02 00 00 24 " + Ascii("A14:2") + " 00 39 03 41 00 00"},
        {kPlc5Octal, Header(kFileInput, kRowI, 1, 10), L(W(0, 3)), 10, 1,
         kPlc5Head + "01 00 00 24 " + Ascii("I:10.0") + " 00 99 09 03 42 03 00"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.bytes);
        Driver.TnsCounter = 0;
        EXPECT_EQ(Build(c.model, c.header, c.items), 0);
        EXPECT_EQ(Hex(sent), c.bytes);
        EXPECT_EQ(Driver.CurrentHeader.startElement, c.startElement);
        EXPECT_EQ(Driver.CurrentHeader.elementCount, c.elementCount);
        EXPECT_EQ(Driver.TnsCounter, 1u);
    }
    // Both escape forms are rewritten in the host's text.
    ASSERT_EQ(Build(kPlc5, Header(kFileAscii, kRowA, 14), L(S(0, 3, u"A\\0"))), 0);
    EXPECT_EQ(std::u16string(values[0].value.text, 3), (std::u16string{u'A', 0, u'0'}));
    ASSERT_EQ(Build(kSlc, Header(kFileInteger, kRowN, 7), L(S(0, 5, u"AB\\0C"))), 0);
    EXPECT_EQ(std::u16string(values[0].value.text, 5), std::u16string(u"AB\0 C", 5));
}

TEST_F(WriteGroupTest, RefusalsBuildNothing) {
    const PlcAddress n7 = Header(kFileInteger, kRowN, 7), u = Header(kFileNone, kRowU, -1);
    const struct {
        Model model;
        PlcAddress header;
        std::vector<Item> items;
        int32_t code;
    } cases[] = {
        {kSlc, Header(kFileTimer, kRowT, 4), L(W(0, 1)), MIRA_ERR_GROUP_WRITE_TCC},
        {kSlc, Header(kFileString, kRowST, 20), L(S(0, 4, u"AB")), MIRA_ERR_GROUP_WRITE_BIT},
        {kPlc2, u, L(W(0, 1), W(128, 2)), MIRA_ERR_RANGE},
        {kSlc, n7, L(W(0, 1), W(127, 2)), MIRA_ERR_RANGE},
        {kPlc5, Header(kFileAscii, kRowA, 14, 1), L(S(0, 2, u"AB")), MIRA_ERR_ODD_ASCII_START},
        {kSlc, n7, L(W(-1, 1)), MIRA_ERR_RANGE},
        {kSlc, n7, L(F(0x40000000, 1.0)), MIRA_ERR_RANGE},
        {kSlc, n7, L(), MIRA_ERR_RANGE},
        {kSlc, Header(kFileInteger, kRowN, 65536), L(W(0, 1)), MIRA_ERR_RANGE},
        {kSlc, Header(kFileInput, kRowI, 1, 0, 65536), L(W(0, 1)), MIRA_ERR_RANGE},
        {kPlc5, Header(kFileInput, kRowI, 1, 0, 1), L(W(0, 1)), MIRA_ERR_RANGE},
        {kPlc5Octal, Header(kFileInput, kRowI, 1, 10), L(W(8, 1)), MIRA_ERR_RANGE},
    };
    for (const auto& c : cases) {
        Driver.TnsCounter = 7;
        EXPECT_EQ(Build(c.model, c.header, c.items), c.code) << int(&c - cases);
        EXPECT_TRUE(sent.empty());
        EXPECT_EQ(Driver.TnsCounter, 7u);
    }
    EXPECT_EQ(Build(kPlc2, u, {W(0, 1), W(127, 2)}), 0);  // 128 words are fine
}

TEST_F(WriteGroupTest, DataOutsideTheRunIsClipped) {
    // A later ASCII item inside the run keeps the run's end: nothing past it is sent or written.
    ASSERT_EQ(Build(kSlcAlt, Header(kFileAscii, kRowA, 9), L(S(0, 2, u"AB"), S(0, 80, u"CDEFGHIJ"))), 0);
    EXPECT_EQ(Hex(sent), kSlcHead + "02 09 8E 00 00 44 43");
    for (size_t i = sent.size(); i < sizeof message; ++i) ASSERT_EQ(message[i], 0xEE) << i;
    // An unterminated 84-character text counts as 83 characters.
    const std::u16string full(84, u'Z');
    ASSERT_EQ(Build(kSlc, Header(kFileInteger, kRowN, 7), L(S(0, 200, full.c_str()))), 0);
    EXPECT_EQ(Driver.CurrentHeader.elementCount, 84);
    EXPECT_EQ(Hex(Bytes(sent.end() - 88, sent.end() - 84)), "5A 5A 00 5A");
}

TEST_F(WriteGroupTest, StartSendsAndFinishTakesTheStatus) {
    // An earlier, longer reply left an EXT STS of 0x12 in RxData: a reply without one must not report it.
    const struct {
        uint8_t sts;
        const char* after;  // the bytes after the TNS
        int32_t code;
    } cases[] = {{0, "", 0},
                 {0x10, "", MIRA_ERR_CONTROLLER_STATUS},
                 {0xF0, "0E", 0x0E},
                 {0xF0, "", MIRA_ERR_CONTROLLER_STATUS}};
    for (const auto& c : cases) {
        requests.clear();
        Driver.TnsCounter = 0;
        Driver.RxData[6] = 0x12;
        Script(c.sts, FromHex(c.after));
        int32_t error = -1;
        ASSERT_EQ(Start(u"N7:10", {u"W0", u"W5"}, &error), 1);
        EXPECT_EQ(error, 0);
        ASSERT_EQ(requests.size(), 1u);
        EXPECT_EQ(Hex(requests[0]), kSlcHead + "0C 07 89 0A 00 01 00 00 00 00 00 00 00 00 00 02 00");
        error = 55;
        EXPECT_EQ(UDrvWriteGroupFinish(&error), 0);  // the reply is not in yet
        EXPECT_EQ(error, 55);
        Fake().Pump();
        EXPECT_EQ(UDrvWriteGroupFinish(&error), 1);
        EXPECT_EQ(error, c.code) << int(c.sts);
    }
    // A link error of the poll stands, whatever status RxData holds.
    int32_t error = -1;
    ASSERT_EQ(Start(u"N7:0", {u"W0"}, &error), 1);
    Driver.RxData[3] = 0x10;
    Fake().port.ErrorCode = 0x101;
    EXPECT_EQ(UDrvWriteGroupFinish(&error), 1);
    EXPECT_EQ(error, 0x101);
}

TEST_F(WriteGroupTest, StartRefusalsSendNothing) {
    const std::pair<std::vector<const char16_t*>, int32_t> cases[] = {
        {{u"W3/2"}, MIRA_ERR_GROUP_WRITE_BIT},
        {{u"W0", nullptr}, MIRA_ERR_BAD_MNEMONIC},
        {{}, MIRA_ERR_RANGE}};
    int32_t error = 0;
    for (const auto& [items, code] : cases) {
        EXPECT_EQ(Start(u"N7:0", items, &error), 0) << items.size();
        EXPECT_EQ(error, code) << items.size();
    }
    EXPECT_EQ(UDrvWriteGroupStart(u"1", u"N7:0", nullptr, nullptr, kItemTableRows + 1, nullptr), 0);
    Driver.ItemTable = nullptr;  // not open
    EXPECT_EQ(Start(u"N7:0", {u"W0"}, &error), 0);
    EXPECT_EQ(error, MIRA_PK_ERR_CLOSED);
    EXPECT_TRUE(Fake().sends.empty());
}

}  // namespace
}  // namespace mira::test
