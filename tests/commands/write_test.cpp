// Item and group writes: the request of each class, what is refused, and the exchanges.
#include <cmath>
#include <functional>

#include "commands/command_support.h"
#include "commands/write_group.h"
#include "commands/write_item.h"
#include "mira/portkit_codes.h"

namespace mira::test {
namespace {

ItemWords Words(int32_t w, uint16_t h = 0) { return {w, h, {}}; }
ItemWords Element(uint16_t w0, uint16_t w1, uint16_t w2, uint16_t w3 = 0, uint16_t w4 = 0) {
    return {0, 0, {w0, w1, w2, w3, w4}};
}

// One item with its host value: an integer, a double or a text.
struct Item { ItemRequest row; int32_t integer; double real; const char16_t* text; };
Item W(int32_t e, int32_t v) { return {MakeItem(kKindWord, e), v, 0, nullptr}; }
Item B(int32_t e, int32_t v) { return {MakeItem(kKindBcd, e), v, 0, nullptr}; }
Item F(int32_t e, double v) { return {MakeItem(kKindFloat, e), 0, v, nullptr}; }
Item S(int32_t e, int32_t size, const char16_t* t) { return {MakeItem(kKindString, e, size), 0, 0, t}; }
Item R(const ItemRequest& row) { return {row, 0, 0, u"AB"}; }  // an item write's row, its text "AB"
// A PLC-5 typed write: its total size, address text and the bytes after the address.
std::string Plc5Write(const char* size, const char* address, const char* tail) {
    return kPlc5Head + size + " 00 00 24 " + Ascii(address) + " 00 " + tail;
}
template <class... T>
std::vector<Item> L(T... items) {
    return {items...};
}

class WriteTest : public ReadFixture {
protected:
    // An item write of items[0] with the words given, or a group write of all the items.
    int32_t Build(Model model, const PlcAddress& header, const std::vector<Item>& items,
                  const ItemWords* words = nullptr) {
        SetModel(model);
        Driver.CurrentHeader = header;
        values.assign(items.size() + 1, HostValueCore{});
        for (size_t i = 0; i < items.size(); ++i) {
            rows[i] = items[i].row;
            if (items[i].row.kind == kKindFloat) values[i].value.real = items[i].real;
            if (items[i].row.kind < kKindFloat) values[i].value.integer = items[i].integer;
            for (size_t k = 0; items[i].text && items[i].text[k] && k < 84; ++k)
                values[i].value.text[k] = items[i].text[k];
        }
        std::memset(message, 0xEE, sizeof message);
        int32_t length = -1;
        const int32_t code = words ? BuildItemWrite(*words, values[0], message, &length)
                                   : BuildGroupWrite(values.data(), int32_t(items.size()), message, &length);
        sent = Bytes(message, message + (length > 0 ? length : 0));
        return code;
    }
    int32_t Start(const char16_t* header, const char16_t* item, int32_t v, int32_t* error) {
        values.assign(1, HostValueCore{});
        values[0].value.integer = v;
        return UDrvWriteItemStart(u"1", header, item, values.data(), error);
    }
    int32_t Start(const char16_t* header, std::vector<const char16_t*> items, int32_t* error) {
        values.assign(items.size() + 1, HostValueCore{});
        for (size_t i = 0; i < values.size(); ++i) values[i].value.integer = int32_t(i + 1);
        return UDrvWriteGroupStart(u"1", header, items.data(), values.data(), int32_t(items.size()), error);
    }
    std::vector<HostValueCore> values;
};

TEST_F(WriteTest, ItemRequestBytesByClass) {
    const PlcAddress t4 = Header(kFileTimer, kRowT, 4), a9 = Header(kFileAscii, kRowA, 9),
                     u = Header(kFileNone, kRowU, -1), n7 = Header(kFileInteger, kRowN, 7, -1);
    const struct { Model model; PlcAddress header; ItemRequest item; ItemWords words; const char16_t* text;
                   std::string bytes; } cases[] = {
        {kSlc, t4, MakeItem(kKindWord, 2), Element(0x8000, 500, 7), u"", kSlcHead + "06 04 86 00 06 00 80 F4 01 07 00"},
        {kSlc, Header(kFileString, kRowST, 20), MakeItem(kKindString, 0, 82), Words(0), u"\\0ABC",
         kSlcHead + "08 14 8D 00 00 05 00 20 00 42 41 00 43"},
        {kSlc, a9, MakeItem(kKindString, 1, 10), Words(0), u"ABCD", kSlcHead + "06 09 8E 01 00 42 41 44 43 00 00"},
        // A header that names no element addresses from element 0, as reads do.
        {kSlc, n7, MakeItem(kKindWord, 2), Words(9), u"", kSlcHead + "02 07 89 02 00 09 00"},
        {kPlc2, u, MakeItem(kKindWord, 4, 2, 0, 9), Words(0), u"", "01 00 05 00 00 00 08 00 00 00 09 00 00 02"},
        {kPlc2, u, MakeItem(kKindWord, 0, 2, 0, 40), Words(1), u"", "01 00 05 00 00 00 00 00 00 00 01 00 00 00"},
        {kPlc5, t4, MakeItem(kKindWord, 1), Element(0x2000, 10, 0x11, 3, 0x22), u"",
         Plc5Write("01", "T4:1", "99 09 0C 59 0A 00 20 0A 00 11 00 03 00 22 00")},
        {kPlc5, Header(kFileFloat, kRowF, 8), MakeItem(kKindFloat, 3), Words(0xCCCD, 0x3DCC), u"",
         Plc5Write("02", "F8:3", "99 09 06 94 08 CD CC CC 3D 00")},
        {kPlc5, a9, MakeItem(kKindString, 1, 2), Words(0), u"AB", Plc5Write("04", "A9:2", "39 04 41 42 00 00")},
        {kPlc5, Header(kFileString, kRowST, 9), MakeItem(kKindString, 0, 82), Words(0), u"A\\0BC",
         Plc5Write("52", "ST9:0", "39 05 41 00 42 43 00")},
        {kPlc5Octal, Header(kFileOutput, kRowO, 0, 10), MakeItem(kKindWord, 7), Words(-1), u"",
         Plc5Write("01", "O:17.0", "99 09 03 42 FF FF")},
    };
    for (const auto& c : cases) {
        Driver.TnsCounter = 0;
        EXPECT_EQ(Build(c.model, c.header, {{c.item, 0, 0, c.text}}, &c.words), 0) << int(&c - cases);
        EXPECT_EQ(Hex(sent), c.bytes);
    }
    // The SLC string write cuts the host text at its size.
    const ItemWords zero = Words(0);
    ASSERT_EQ(Build(kSlc, Header(kFileInteger, kRowN, 7), L(S(0, 2, u"ABCD")), &zero), 0);
    EXPECT_EQ(std::u16string(values[0].value.text), u"AB");
    // PLC-5 ASCII sends 2 x size characters, never reading past the record.
    const std::u16string text(83, u'Q');
    ASSERT_EQ(Build(kPlc5, Header(kFileAscii, kRowA, 9), L(S(0, 60, text.c_str())), &zero), 0);
    ASSERT_EQ(sent.size(), 20u + 120u);
    EXPECT_EQ(Hex(Bytes(sent.end() - 121, sent.end() - 118)), "78 51 51");
    EXPECT_EQ(Hex(Bytes(sent.end() - 38, sent.end() - 36)), "51 00");
}

TEST_F(WriteTest, GroupRequestBytesByClass) {
    const PlcAddress n7 = Header(kFileInteger, kRowN, 7);
    const struct { Model model; PlcAddress header; std::vector<Item> items; int32_t startElement, elementCount;
                   std::string bytes; } cases[] = {
        {kSlc, Header(kFileInteger, kRowN, 7, 10), L(W(0, 0x1234), W(5, 0x12345678)), 10, 6,
         kSlcHead + "0C 07 89 0A 00 34 12 00 00 00 00 00 00 00 00 78 56"},
        {kSlc, n7, L(B(0, 12345), B(1, 999), B(2, -5), B(3, 1234)), 0, 4,
         kSlcHead + "08 07 89 00 00 45 93 99 09 FB FF 34 12"},
        {kSlc, n7, L(F(1, 0.1)), 2, 2, kSlcHead + "04 07 89 02 00 CD CC CC 3D"},  // a float in an integer file
        {kSlc, Header(kFileFloat, kRowF, 8), L(F(0, -1e300), F(1, std::nan(""))), 0, 4,
         kSlcHead + "08 08 8A 00 00 00 00 80 FF 00 00 C0 7F"},
        {kSlc, n7, L(S(0, 5, u"AB\\0C")), 0, 6, kSlcHead + "0C 07 89 00 00 42 41 20 00 00 43 00 00 00 00 00 00"},
        {kSlcAlt, n7, L(S(0, 4, u"A\\0B")), 0, 2, kSlcHead + "04 07 89 00 00 00 41 42 20"},
        {kPlc2, Header(kFileNone, kRowU, -1, 8), L(W(0, 0x1234), W(1, 0x5678)), 8, 2,
         "01 00 08 00 00 00 10 00 34 12 78 56"},
        {kPlc5, Header(kFileAscii, kRowA, 14, 4), L(S(0, 3, u"A\\0")), 2, 2,
         Plc5Write("02", "A14:2", "39 03 41 00 00")},
        {kPlc5Octal, Header(kFileInput, kRowI, 1, 10), L(W(0, 3)), 10, 1,
         Plc5Write("01", "I:10.0", "99 09 03 42 03 00")},
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

TEST_F(WriteTest, RefusalsBuildNothing) {
    const PlcAddress n7 = Header(kFileInteger, kRowN, 7), u = Header(kFileNone, kRowU, -1);
    // one: 1 for an item write of items[0], its words 1
    const struct { Model model; PlcAddress header; std::vector<Item> items; int32_t code, one = 0; } cases[] = {
        {kPlc2, u, L(R(MakeItem(kKindString, 0, 4))), MIRA_ERR_GROUP_WRITE_BIT, 1},
        {kSlc, Header(kFileTimer, kRowT, 4), L(R(MakeItem(kKindWord, 0, 2, 0, 13))), MIRA_ERR_BAD_MNEMONIC, 1},
        {kSlc, Header(kFileInteger, kRowN, 7, 70000), L(R(MakeItem(kKindWord, 0))), MIRA_ERR_RANGE, 1},
        {kPlc5, Header(kFileAscii, kRowA, 9), L(R(MakeItem(kKindString, 0, 200))), MIRA_ERR_RANGE, 1},
        {kSlc, Header(kFileInteger, kRowN, 65543), L(R(MakeItem(kKindWord, 0))), MIRA_ERR_RANGE, 1},
        {kPlc2, Header(kFileInput, kRowI, 1, 0, 3), L(R(MakeItem(kKindWord, 0))), MIRA_ERR_RANGE, 1},
        {kPlc2, Header(kFileNone, kRowU, -1, 32768), L(R(MakeItem(kKindWord, 0))), MIRA_ERR_RANGE, 1},
        {kSlc, Header(kFileTimer, kRowT, 4), L(W(0, 1)), MIRA_ERR_GROUP_WRITE_TCC},
        {kSlc, Header(kFileString, kRowST, 20), L(S(0, 4, u"AB")), MIRA_ERR_GROUP_WRITE_BIT},
        {kPlc2, u, L(W(0, 1), W(128, 2)), MIRA_ERR_RANGE},
        {kSlc, n7, L(W(0, 1), W(127, 2)), MIRA_ERR_RANGE},
        {kPlc5, Header(kFileAscii, kRowA, 14, 1), L(S(0, 2, u"AB")), MIRA_ERR_ODD_ASCII_START},
        {kSlc, n7, L(W(-1, 1)), MIRA_ERR_RANGE},
        {kSlc, n7, L(F(0x40000000, 1.0)), MIRA_ERR_RANGE},
        {kSlc, n7, L(), MIRA_ERR_RANGE},
        {kSlc, Header(kFileInteger, kRowN, 65536), L(W(0, 1)), MIRA_ERR_RANGE},
        {kPlc5, Header(kFileInput, kRowI, 1, 0, 1), L(W(0, 1)), MIRA_ERR_RANGE},
        {kPlc5Octal, Header(kFileInput, kRowI, 1, 10), L(W(8, 1)), MIRA_ERR_RANGE},
    };
    const ItemWords ones = Words(1);
    for (const auto& c : cases) {
        Driver.TnsCounter = 7;
        EXPECT_EQ(Build(c.model, c.header, c.items, c.one ? &ones : nullptr), c.code) << int(&c - cases);
        EXPECT_TRUE(sent.empty());
        EXPECT_EQ(Driver.TnsCounter, 7u);
    }
    EXPECT_EQ(Build(kPlc2, u, {W(0, 1), W(127, 2)}), 0);  // 128 words are fine
}

TEST_F(WriteTest, DataOutsideTheRunIsClipped) {
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

TEST_F(WriteTest, StartSendsAndFinishTakesTheStatus) {
    // An earlier, longer reply left an EXT STS of 0x12 behind: a reply without one must not report it.
    // after: the bytes after the TNS
    const struct { uint8_t sts; const char* after; int32_t code; } cases[] = {{0, "", 0},
                 {0x10, "", MIRA_ERR_CONTROLLER_STATUS},
                 {0xF0, "0E", 0x0E},
                 {0xF0, "", MIRA_ERR_CONTROLLER_STATUS}};
    for (const auto& c : cases) {
        requests.clear();
        Driver.TnsCounter = 0;  // the same TNS for every row; the counter only grows on a line
        Driver.ReplyFor = ~0u;
        Driver.ReplyData[6] = 0x12;
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
    // A link error of the poll stands, whatever status the kept reply holds.
    int32_t error = -1;
    ASSERT_EQ(Start(u"N7:0", {u"W0"}, &error), 1);
    Driver.ReplyData[3] = 0x10;
    Fake().port.ErrorCode = 0x101;
    EXPECT_EQ(UDrvWriteGroupFinish(&error), 1);
    EXPECT_EQ(error, 0x101);
}

TEST_F(WriteTest, StartRefusalsSendNothing) {
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

TEST_F(WriteTest, BitIsReadModifiedAndWrittenBack) {
    const struct { int32_t value; const char *readWord, *written; } cases[] = {{7, "08 00", "08 00"},
                                                                             {0, "FF FF", "F7 FF"}};
    for (const auto& c : cases) {
        requests.clear();
        Driver.TnsCounter = 0;
        Script(0, FromHex(c.readWord));
        Script(0, {});
        int32_t error = -1;
        ASSERT_EQ(Start(u"N7:0", u"W5/3", c.value, &error), 1) << error;
        ASSERT_EQ(requests.size(), 2u);
        EXPECT_EQ(requests[0][6], 0xA2);  // the read goes first
        EXPECT_EQ(Hex(requests[1]), "01 00 0F 00 01 00 AA 02 07 89 05 00 " + std::string(c.written));
        Fake().Pump();
        EXPECT_EQ(UDrvWriteItemFinish(&error), 1);
        EXPECT_EQ(error, 0);
    }
    // A read that fails sends no write.
    requests.clear();
    Script(0x10, {});
    int32_t error = 0;
    EXPECT_EQ(Start(u"N7:0", u"W5/3", 1, &error), 0);
    EXPECT_EQ(error, MIRA_ERR_CONTROLLER_STATUS);
    EXPECT_EQ(requests.size(), 1u);
}

TEST_F(WriteTest, SubElementIsReadAndWrittenWhole) {
    int32_t error = -1;
    SetModel(kPlc5);
    Script(0, FromHex("99 09 0C 59 0A 00 00 0A 00 11 00 03 00 22 00"));
    Script(0, {});
    ASSERT_EQ(Start(u"T4:0", u"1.DN", 1, &error), 1) << error;
    ASSERT_EQ(requests.size(), 2u);
    const std::string expected = "01 00 0F 00 01 00 67 00 00 01 00 00 24 " + Ascii("T4:1") +
                                 " 00 99 09 0C 59 0A 00 20 0A 00 11 00 03 00";
    EXPECT_EQ(Hex(requests[1]).substr(0, expected.size()), expected);
    EXPECT_EQ(requests[1].size(), 33u);
    // No separator, a float or a string (no part of an element, as its read says), or file type 144.
    requests.clear();
    for (const char16_t* item : {u"5", u"F0.PRE", u"S0.ACC"}) {
        EXPECT_EQ(Start(u"T4:0", item, 1, &error), 0) << Narrow(item);
        EXPECT_EQ(error, MIRA_ERR_BAD_MNEMONIC) << Narrow(item);
    }
    SetModel(kPlc2);
    EXPECT_EQ(Start(u"U:4", u"W0", 1, &error), 0);
    EXPECT_EQ(error, MIRA_ERR_BAD_HEADER);
    EXPECT_TRUE(requests.empty());
}

// A finish whose start sent nothing ends at once with a code of its own, never with the status or
// values of the last reply (another start's, or one a finish already took).
TEST_F(WriteTest, FinishWithNothingOutstanding) {
    HostValue v{};
    static const char16_t* const kItems[] = {u"W0"};
    const std::function<int32_t(int32_t*)> starts[] = {
        [](int32_t* e) { return UDrvReadGroupStart(u"1", u"N7:0", kItems, 1, e); },
        [&](int32_t* e) { return Start(u"N7:0", {u"W0"}, e); },
        [&](int32_t* e) { return Start(u"N7:0", u"W0", 5, e); },
    };
    const std::function<int32_t(int32_t*)> finishes[] = {
        [&](int32_t* e) { return UDrvReadGroupFinishExt(&v, 0, 1, e); },
        [](int32_t* e) { return UDrvWriteGroupFinish(e); },
        [](int32_t* e) { return UDrvWriteItemFinish(e); },
    };
    for (size_t k = 0; k < 3; ++k) {
        int32_t error = 0;
        EXPECT_EQ(finishes[k](&error), 1) << k;
        EXPECT_EQ(error, MIRA_ERR_NOTHING_OUTSTANDING) << k;
        Script(0, {0x2A, 0x00});
        ASSERT_EQ(starts[k](&error), 1) << k;
        Fake().Pump();
        EXPECT_EQ(finishes[k](&error), 1) << k;
        EXPECT_EQ(error, 0) << k;
        v = HostValue{};
        EXPECT_EQ(finishes[k](&error), 1) << k;
        EXPECT_EQ(error, MIRA_ERR_NOTHING_OUTSTANDING) << k;
        EXPECT_EQ(v.quality, 0) << k;
    }
}

}  // namespace
}  // namespace mira::test
