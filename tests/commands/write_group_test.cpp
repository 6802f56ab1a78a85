#include "commands/write_group.h"

#include <cmath>

#include "commands/command_support.h"
#include "mira/portkit_codes.h"

namespace mira::test {
namespace {

// One item with its host value: an integer, a double or a text.
struct Item { int32_t kind, element, size, integer; double real; const char16_t* text; };
Item W(int32_t e, int32_t v) { return {kKindWord, e, 2, v, 0, nullptr}; }
Item B(int32_t e, int32_t v) { return {kKindBcd, e, 2, v, 0, nullptr}; }
Item F(int32_t e, double v) { return {kKindFloat, e, 2, 0, v, nullptr}; }
Item S(int32_t e, int32_t size, const char16_t* t) { return {kKindString, e, size, 0, 0, t}; }

class WriteGroupTest : public WriteFixture {
protected:
    int32_t Build(Model model, const PlcAddress& header, const std::vector<Item>& items) {
        SetModel(model);
        Driver.CurrentHeader = header;
        values.assign(items.size() + 1, HostValueCore{});
        for (size_t i = 0; i < items.size(); ++i) {
            rows[i] = ItemRequest{items[i].kind, items[i].element, items[i].size, 0, 0, -1, 0};
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

const std::string kSlcHead = "01 00 0F 00 00 00 AA ";
const std::string kPlc5Head = "01 00 0F 00 00 00 67 00 00 ";
TEST_F(WriteGroupTest, RequestBytesByClass) {
    const struct {
        const char* name;
        Model model;
        PlcAddress header;
        std::vector<Item> items;
        std::string bytes;
        int32_t startElement, elementCount;
    } cases[] = {
        {"run_of_six_words", kSlc, Header(kFileInteger, kRowN, 7, 10), {W(0, 0x1234), W(5, 0x12345678)},
         kSlcHead + "0C 07 89 0A 00 34 12 00 00 00 00 00 00 00 00 78 56", 10, 6},
        {"bcd", kSlc, Header(kFileInteger, kRowN, 7), {B(0, 12345), B(1, 999), B(2, -5), B(3, 1234)},
         kSlcHead + "08 07 89 00 00 45 93 99 09 FB FF 34 12", 0, 4},
        {"float_in_integer_file", kSlc, Header(kFileInteger, kRowN, 7), {F(1, 0.1)},
         kSlcHead + "04 07 89 02 00 CD CC CC 3D", 2, 2},
        {"float_nan_and_past_range", kSlc, Header(kFileFloat, kRowF, 8), {F(0, -1e300), F(1, std::nan(""))},
         kSlcHead + "08 08 8A 00 00 00 00 80 FF 00 00 C0 7F", 0, 4},
        {"escaped_element", kSlc, Header(kFileInteger, kRowN, 7, 300), {W(0, 5)},
         kSlcHead + "02 07 89 FF 2C 01 00 05 00", 300, 1},
        {"string_escape_starts_pair", kSlc, Header(kFileInteger, kRowN, 7), {S(0, 5, u"AB\\0C")},
         kSlcHead + "0C 07 89 00 00 42 41 20 00 00 43 00 00 00 00 00 00", 0, 6},
        {"string_escape_ends_pair", kSlcAlt, Header(kFileInteger, kRowN, 7), {S(0, 4, u"A\\0B")},
         kSlcHead + "04 07 89 00 00 00 41 42 20", 0, 2},
        // Number fields from 255 on take the three-byte form; 254 stays one byte.
        {"file_and_element_254", kSlc, Header(kFileInteger, kRowN, 254, 254), {W(0, 5)},
         kSlcHead + "02 FE 89 FE 00 05 00", 254, 1},
        {"file_and_element_255", kSlc, Header(kFileInteger, kRowN, 255, 255), {W(0, 5)},
         kSlcHead + "02 FF FF 00 89 FF FF 00 00 05 00", 255, 1},
        {"input_slot_256", kSlc, Header(kFileInput, kRowI, 1, 0, 256), {W(0, 1)},
         kSlcHead + "02 01 8C FF 00 01 00 01 00", 0, 1},
        {"plc2_byte_address", kPlc2, Header(kFileNone, kRowU, -1, 8), {W(0, 0x1234), W(1, 0x5678)},
         "01 00 08 00 00 00 10 00 34 12 78 56", 8, 2},
        {"plc5_integers", kPlc5, Header(kFileInteger, kRowN, 7, 12), {W(0, 1), W(2, 2)},
         kPlc5Head + "03 00 00 24 " + Ascii("N7:12") + " 00 99 09 07 42 01 00 00 00 02 00", 12, 3},
        {"plc5_float_elements", kPlc5, Header(kFileFloat, kRowF, 8), {F(0, 1.0), F(1, -2.0)},
         kPlc5Head + "02 00 00 24 " + Ascii("F8:0") + " 00 99 09 0A 94 08 00 00 80 3F 00 00 00 C0", 0, 2},
        {"plc5_ascii_start_halved", kPlc5, Header(kFileAscii, kRowA, 14, 4), {S(0, 3, u"A\\0")},
         kPlc5Head + "02 00 00 24 " + Ascii("A14:2") + " 00 39 03 41 00 00", 2, 2},
        {"plc5_octal_input", kPlc5Octal, Header(kFileInput, kRowI, 1, 10), {W(0, 3)},
         kPlc5Head + "01 00 00 24 " + Ascii("I:10.0") + " 00 99 09 03 42 03 00", 10, 1},
    };
    for (const auto& c : cases) {
        Driver.TnsCounter = 0;
        EXPECT_EQ(Build(c.model, c.header, c.items), 0) << c.name;
        EXPECT_EQ(Hex(sent), c.bytes) << c.name;
        EXPECT_EQ(Driver.CurrentHeader.startElement, c.startElement) << c.name;
        EXPECT_EQ(Driver.CurrentHeader.elementCount, c.elementCount) << c.name;
        EXPECT_EQ(Driver.TnsCounter, 1u) << c.name;
    }
    // Both escape forms are rewritten in the host's text.
    ASSERT_EQ(Build(kPlc5, Header(kFileAscii, kRowA, 14), {S(0, 3, u"A\\0")}), 0);
    EXPECT_EQ(std::u16string(values[0].value.text, 3), std::u16string(u"A\0" u"0", 3));
    ASSERT_EQ(Build(kSlc, Header(kFileInteger, kRowN, 7), {S(0, 5, u"AB\\0C")}), 0);
    EXPECT_EQ(std::u16string(values[0].value.text, 5), std::u16string(u"AB\0 C", 5));
}

TEST_F(WriteGroupTest, RefusalsBuildNothing) {
    const struct {
        const char* name;
        Model model;
        PlcAddress header;
        std::vector<Item> items;
        int32_t code;
    } cases[] = {
        {"timer_file", kSlc, Header(kFileTimer, kRowT, 4), {W(0, 1)}, MIRA_ERR_GROUP_WRITE_TCC},
        {"control_file", kPlc5, Header(kFileControl, kRowR, 6), {W(0, 1)}, MIRA_ERR_GROUP_WRITE_TCC},
        {"string_file", kSlc, Header(kFileString, kRowST, 20), {S(0, 4, u"AB")}, MIRA_ERR_GROUP_WRITE_BIT},
        {"129_words", kPlc2, Header(kFileNone, kRowU, -1), {W(0, 1), W(128, 2)}, MIRA_ERR_RANGE},
        {"byte_count_past_255", kSlc, Header(kFileInteger, kRowN, 7), {W(0, 1), W(127, 2)}, MIRA_ERR_RANGE},
        {"plc5_ascii_odd", kPlc5, Header(kFileAscii, kRowA, 14, 1), {S(0, 2, u"AB")}, MIRA_ERR_ODD_ASCII_START},
        {"negative_element", kSlc, Header(kFileInteger, kRowN, 7), {W(-1, 1)}, MIRA_ERR_RANGE},
        {"element_past_32_bits", kSlc, Header(kFileInteger, kRowN, 7), {F(0x40000000, 1.0)}, MIRA_ERR_RANGE},
        {"no_items", kSlc, Header(kFileInteger, kRowN, 7), {}, MIRA_ERR_RANGE},
        {"file_past_16_bits", kSlc, Header(kFileInteger, kRowN, 65536), {W(0, 1)}, MIRA_ERR_RANGE},
        {"slot_past_16_bits", kSlc, Header(kFileInput, kRowI, 1, 0, 65536), {W(0, 1)}, MIRA_ERR_RANGE},
        {"plc5_slot", kPlc5, Header(kFileInput, kRowI, 1, 0, 1), {W(0, 1)}, MIRA_ERR_RANGE},
        {"plc5_octal_digit_8", kPlc5Octal, Header(kFileInput, kRowI, 1, 10), {W(8, 1)}, MIRA_ERR_RANGE},
    };
    for (const auto& c : cases) {
        Driver.TnsCounter = 7;
        EXPECT_EQ(Build(c.model, c.header, c.items), c.code) << c.name;
        EXPECT_TRUE(sent.empty()) << c.name;
        EXPECT_EQ(Driver.TnsCounter, 7u) << c.name;
    }
    EXPECT_EQ(Build(kPlc2, Header(kFileNone, kRowU, -1), {W(0, 1), W(127, 2)}), 0);  // 128 words are fine
}

TEST_F(WriteGroupTest, DataOutsideTheRunIsClipped) {
    // A later ASCII item inside the run keeps the run's end; its characters
    // past it are not sent and nothing lands past the request.
    ASSERT_EQ(Build(kSlcAlt, Header(kFileAscii, kRowA, 9), {S(0, 2, u"AB"), S(0, 80, u"CDEFGHIJ")}), 0);
    EXPECT_EQ(Hex(sent), kSlcHead + "02 09 8E 00 00 44 43");
    for (size_t i = sent.size(); i < sizeof message; ++i) ASSERT_EQ(message[i], 0xEE) << i;
    // An unterminated 84-character text counts as 83 characters.
    const std::u16string full(84, u'Z');
    ASSERT_EQ(Build(kSlc, Header(kFileInteger, kRowN, 7), {S(0, 200, full.c_str())}), 0);
    EXPECT_EQ(Driver.CurrentHeader.elementCount, 84);
    EXPECT_EQ(Hex(Bytes(sent.end() - 88, sent.end() - 84)), "5A 5A 00 5A");
}

TEST_F(WriteGroupTest, StartSendsAndFinishTakesTheStatus) {
    // An earlier, longer reply left an EXT STS of 0x12 behind in RxData: a
    // reply that carries no EXT STS of its own must not report it.
    const struct {
        uint8_t sts;
        Bytes after;  // the bytes after the TNS
        int32_t code;
    } cases[] = {{0, {}, 0},
                 {0x10, {}, MIRA_ERR_CONTROLLER_STATUS}, {0xF0, {0x00}, 0}, {0xF0, {0x0E}, 0x0E},
                 {0xF0, {}, MIRA_ERR_CONTROLLER_STATUS}};
    for (const auto& c : cases) {
        requests.clear();
        Driver.TnsCounter = 0;
        Driver.RxData[6] = 0x12;
        Reply(c.sts, c.after);
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
    const struct { const char* name; std::vector<const char16_t*> items; int32_t code; } cases[] = {
        {"bit_item", {u"W3/2"}, MIRA_ERR_GROUP_WRITE_BIT},
        {"null_item_text", {u"W0", nullptr}, MIRA_ERR_BAD_MNEMONIC}, {"no_items", {}, MIRA_ERR_RANGE},
    };
    int32_t error = 0;
    for (const auto& c : cases) {
        EXPECT_EQ(Start(u"N7:0", c.items, &error), 0) << c.name;
        EXPECT_EQ(error, c.code) << c.name;
    }
    EXPECT_EQ(UDrvWriteGroupStart(u"1", u"N7:0", nullptr, nullptr, kItemTableRows + 1, nullptr), 0);
    Driver.ItemTable = nullptr;  // not open
    EXPECT_EQ(Start(u"N7:0", {u"W0"}, &error), 0);
    EXPECT_EQ(error, MIRA_PK_ERR_CLOSED);
    EXPECT_TRUE(Fake().sends.empty());
}

}  // namespace
}  // namespace mira::test
