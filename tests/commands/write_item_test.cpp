#include "commands/write_item.h"

#include <functional>

#include "commands/command_support.h"

namespace mira::test {
namespace {

ItemWords Words(int32_t w, uint16_t h = 0) {
    return {w, h, {}};
}
ItemWords Element(uint16_t w0, uint16_t w1, uint16_t w2, uint16_t w3 = 0, uint16_t w4 = 0) {
    return {0, 0, {w0, w1, w2, w3, w4}};
}

class WriteItemTest : public WriteFixture {
protected:
    int32_t Build(Model model, const PlcAddress& header, const ItemRequest& item, const ItemWords& words,
                  const char16_t* text = u"") {
        SetModel(model);
        Driver.CurrentHeader = header;
        rows[0] = item;
        value = HostValueCore{};
        for (size_t k = 0; text[k] != 0 && k < 84; ++k) value.value.text[k] = text[k];
        int32_t length = -1;
        const int32_t code = BuildItemWrite(words, value, message, &length);
        sent = Bytes(message, message + (length > 0 ? length : 0));
        return code;
    }
    int32_t Start(const char16_t* header, const char16_t* item, int32_t v, int32_t* error) {
        value = HostValueCore{};
        value.value.integer = v;
        return UDrvWriteItemStart(u"1", header, item, &value, error);
    }
    HostValueCore value{};
};

TEST_F(WriteItemTest, RequestBytesByClass) {
    const PlcAddress u = Header(kFileNone, kRowU, -1);
    const struct {
        Model model;
        PlcAddress header;
        ItemRequest item;
        ItemWords words;
        const char16_t* text;
        std::string bytes;
    } cases[] = {
        {kSlc, Header(kFileTimer, kRowT, 4), MakeItem(kKindWord, 2), Element(0x8000, 500, 7), u"",
         kSlcHead + "06 04 86 00 06 00 80 F4 01 07 00"},
        {kSlc, Header(kFileString, kRowST, 20), MakeItem(kKindString, 0, 82), Words(0), u"\\0ABC",
         kSlcHead + "08 14 8D 00 00 05 00 20 00 42 41 00 43"},
        {kSlc, Header(kFileAscii, kRowA, 9), MakeItem(kKindString, 1, 10), Words(0), u"ABCD",
         kSlcHead + "06 09 8E 01 00 42 41 44 43 00 00"},
        // A header that names no element addresses from element 0, as reads do.
        {kSlc, Header(kFileInteger, kRowN, 7, -1), MakeItem(kKindWord, 2), Words(9), u"",
         kSlcHead + "02 07 89 02 00 09 00"},
        {kPlc2, u, MakeItem(kKindWord, 4, 2, 0, 9), Words(0), u"",
         "01 00 05 00 00 00 08 00 00 00 09 00 00 02"},
        {kPlc2, u, MakeItem(kKindWord, 0, 2, 0, 40), Words(1), u"",
         "01 00 05 00 00 00 00 00 00 00 01 00 00 00"},
        {kPlc5, Header(kFileTimer, kRowT, 4), MakeItem(kKindWord, 1), Element(0x2000, 10, 0x11, 3, 0x22), u"",
         kPlc5Head + "01 00 00 24 " + Ascii("T4:1") + " 00 99 09 0C 59 0A 00 20 0A 00 11 00 03 00 22 00"},
        {kPlc5, Header(kFileFloat, kRowF, 8), MakeItem(kKindFloat, 3), Words(0xCCCD, 0x3DCC), u"",
         kPlc5Head + "02 00 00 24 " + Ascii("F8:3") + " 00 99 09 06 94 08 CD CC CC 3D 00"},
        {kPlc5, Header(kFileAscii, kRowA, 9), MakeItem(kKindString, 1, 2), Words(0), u"AB",
         kPlc5Head + "04 00 00 24 " + Ascii("A9:2") + " 00 39 04 41 42 00 00"},
        {kPlc5, Header(kFileString, kRowST, 9), MakeItem(kKindString, 0, 82), Words(0), u"A\\0BC",
         kPlc5Head + "52 00 00 24 " + Ascii("ST9:0") + " 00 39 05 41 00 42 43 00"},
        {kPlc5Octal, Header(kFileOutput, kRowO, 0, 10), MakeItem(kKindWord, 7), Words(-1), u"",
         kPlc5Head + "01 00 00 24 " + Ascii("O:17.0") + " 00 99 09 03 42 FF FF"},
    };
    for (const auto& c : cases) {
        Driver.TnsCounter = 0;
        EXPECT_EQ(Build(c.model, c.header, c.item, c.words, c.text), 0) << int(&c - cases);
        EXPECT_EQ(Hex(sent), c.bytes);
    }
    // The SLC string write cuts the host text at its size.
    ASSERT_EQ(Build(kSlc, Header(kFileInteger, kRowN, 7), MakeItem(kKindString, 0, 2), Words(0), u"ABCD"), 0);
    EXPECT_EQ(std::u16string(value.value.text), u"AB");
    // PLC-5 ASCII sends 2 x size characters, never reading past the record.
    const std::u16string text(83, u'Q');
    ASSERT_EQ(
        Build(kPlc5, Header(kFileAscii, kRowA, 9), MakeItem(kKindString, 0, 60), Words(0), text.c_str()), 0);
    ASSERT_EQ(sent.size(), 20u + 120u);
    EXPECT_EQ(Hex(Bytes(sent.end() - 121, sent.end() - 118)), "78 51 51");
    EXPECT_EQ(Hex(Bytes(sent.end() - 38, sent.end() - 36)), "51 00");
}

TEST_F(WriteItemTest, RefusalsBuildNothing) {
    const PlcAddress u = Header(kFileNone, kRowU, -1);
    const struct {
        Model model;
        PlcAddress header;
        ItemRequest item;
        int32_t code;
    } cases[] = {
        {kPlc2, u, MakeItem(kKindString, 0, 4), MIRA_ERR_GROUP_WRITE_BIT},
        {kSlc, Header(kFileTimer, kRowT, 4), MakeItem(kKindWord, 0, 2, 0, 13), MIRA_ERR_BAD_MNEMONIC},
        {kSlc, Header(kFileInteger, kRowN, 7, 70000), MakeItem(kKindWord, 0), MIRA_ERR_RANGE},
        {kPlc5, Header(kFileAscii, kRowA, 9), MakeItem(kKindString, 0, 200), MIRA_ERR_RANGE},
        {kSlc, Header(kFileInteger, kRowN, 65543), MakeItem(kKindWord, 0), MIRA_ERR_RANGE},
        {kPlc2, Header(kFileInput, kRowI, 1, 0, 3), MakeItem(kKindWord, 0), MIRA_ERR_RANGE},
        {kPlc2, Header(kFileNone, kRowU, -1, 32768), MakeItem(kKindWord, 0), MIRA_ERR_RANGE},
    };
    for (const auto& c : cases) {
        Driver.TnsCounter = 3;
        EXPECT_EQ(Build(c.model, c.header, c.item, Words(1), u"AB"), c.code) << int(&c - cases);
        EXPECT_TRUE(sent.empty());
        EXPECT_EQ(Driver.TnsCounter, 3u);
    }
}

TEST_F(WriteItemTest, BitIsReadModifiedAndWrittenBack) {
    const struct {
        int32_t value;
        const char *readWord, *written;
    } cases[] = {{7, "08 00", "08 00"}, {0, "FF FF", "F7 FF"}};
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

TEST_F(WriteItemTest, SubElementIsReadAndWrittenWhole) {
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
TEST_F(WriteItemTest, FinishWithNothingOutstanding) {
    HostValue v{};
    static const char16_t* const kItems[] = {u"W0"};
    const std::function<int32_t(int32_t*)> starts[] = {
        [](int32_t* e) { return UDrvReadGroupStart(u"1", u"N7:0", kItems, 1, e); },
        [&](int32_t* e) { return UDrvWriteGroupStart(u"1", u"N7:0", kItems, &value, 1, e); },
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
