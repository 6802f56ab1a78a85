#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "address/tables.h"
#include "commands/request.h"
#include "commands/write_common.h"
#include "commands/write_group.h"
#include "setup/driver_state.h"
#include "support/fake_portkit.h"

namespace mira {
namespace {

using test::Bytes;
using test::Hex;

std::string Ascii(const char* text) { return Hex(Bytes(text, text + std::strlen(text))); }

enum Model { kSlc, kSlcAlt, kPlc5, kPlc5Octal, kPlc2 };

void SetModel(Model model) {
    Driver.ModelClass = model == kPlc2 ? kClassPlc2 : (model == kPlc5 || model == kPlc5Octal) ? kClassPlc5 : kClassSlc500;
    Driver.Plc5Family = (model == kPlc5 || model == kPlc5Octal) ? 1 : 0;
    Driver.OctalIo = model == kPlc5Octal ? 1 : 0;
    Driver.AltAddressMode = model == kSlcAlt ? 1 : 0;
}

PlcAddress Header(int32_t fileType, int32_t fileLetter, int32_t fileNumber, int32_t base, int32_t slot = -1) {
    PlcAddress h{};
    h.station = 1;
    h.fileType = fileType;
    h.fileLetter = fileLetter;
    h.fileNumber = fileNumber;
    h.slot = slot;
    h.elementBase = base;
    return h;
}

// One item with its host value: an integer, a double or a text.
struct Item {
    int32_t kind;
    int32_t element;
    int32_t size;
    int32_t integer;
    double real;
    const char16_t* text;
};
Item W(int32_t e, int32_t v) { return {kKindWord, e, 2, v, 0, nullptr}; }
Item B(int32_t e, int32_t v) { return {kKindBcd, e, 2, v, 0, nullptr}; }
Item F(int32_t e, double v) { return {kKindFloat, e, 2, 0, v, nullptr}; }
Item S(int32_t e, int32_t size, const char16_t* t) { return {kKindString, e, size, 0, 0, t}; }

class WriteGroupTest : public ::testing::Test {
protected:
    void SetUp() override {
        ResetDriverState();
        test::ResetFake();
        rows.assign(kItemTableRows, ItemRequest{});
        Driver.ItemTable = rows.data();
        Driver.Port = &test::Fake().port;
    }
    void TearDown() override { ResetDriverState(); }

    // Builds the request for the items; returns the code and keeps the bytes.
    int32_t Build(Model model, const PlcAddress& header, const std::vector<Item>& items) {
        SetModel(model);
        Driver.CurrentHeader = header;
        values.assign(items.size() + 1, HostValueCore{});
        for (size_t i = 0; i < items.size(); ++i) {
            ItemRequest& r = rows[i];
            r = ItemRequest{};
            r.kind = items[i].kind;
            r.element = items[i].element;
            r.size = items[i].size;
            HostValueCore& v = values[i];
            if (items[i].text != nullptr) {
                std::u16string t = items[i].text;
                for (size_t k = 0; k < t.size() && k < 84; ++k) v.value.text[k] = t[k];
            } else if (items[i].kind == kKindFloat) {
                v.value.real = items[i].real;
            } else {
                v.value.integer = items[i].integer;
            }
        }
        std::memset(message, 0xEE, sizeof message);
        int32_t length = -1;
        const int32_t code = BuildGroupWrite(values.data(), int32_t(items.size()), message, &length);
        sent = Bytes(message, message + (length > 0 ? length : 0));
        return code;
    }

    std::vector<ItemRequest> rows;
    std::vector<HostValueCore> values;
    uint8_t message[kMaxRequestBytes + 16];
    Bytes sent;
};

TEST_F(WriteGroupTest, RequestBytesByClass) {
    const struct {
        const char* name;
        Model model;
        PlcAddress header;
        std::vector<Item> items;
        std::string bytes;
        int32_t startElement, elementCount;
    } cases[] = {
        {"slc_run_of_six_words", kSlc, Header(kFileInteger, kRowN, 7, 10), {W(0, 0x1234), W(5, -1)},
         "01 00 0F 00 00 00 AA 0C 07 89 0A 00 34 12 00 00 00 00 00 00 00 00 FF FF", 10, 6},
        {"slc_bcd_words", kSlc, Header(kFileInteger, kRowN, 7, 0), {B(0, 12345), B(1, 999), B(2, -5), B(3, 1234)},
         "01 00 0F 00 00 00 AA 08 07 89 00 00 45 93 99 09 FB FF 34 12", 0, 4},
        {"slc_float_in_integer_file", kSlc, Header(kFileInteger, kRowN, 7, 0), {F(1, 0.1)},
         "01 00 0F 00 00 00 AA 04 07 89 02 00 CD CC CC 3D", 2, 2},
        {"slc_float_file", kSlc, Header(kFileFloat, kRowF, 8, 0), {F(0, 1.0), F(1, -2.0)},
         "01 00 0F 00 00 00 AA 08 08 8A 00 00 00 00 80 3F 00 00 00 C0", 0, 4},
        {"slc_escaped_element", kSlc, Header(kFileInteger, kRowN, 7, 300), {W(0, 5)},
         "01 00 0F 00 00 00 AA 02 07 89 FF 2C 01 00 05 00", 300, 1},
        {"slc_input_file_slot_first", kSlc, Header(kFileInput, kRowI, 1, 0, 2), {W(0, 7)},
         "01 00 0F 00 00 00 AA 02 01 8C 02 00 07 00", 0, 1},
        {"slc_values_past_16_bits", kSlc, Header(kFileInteger, kRowN, 7, 0), {W(0, 0x12345678)},
         "01 00 0F 00 00 00 AA 02 07 89 00 00 78 56", 0, 1},
        {"slc_string_escape_pair_start", kSlc, Header(kFileInteger, kRowN, 7, 0), {S(0, 5, u"AB\\0C")},
         "01 00 0F 00 00 00 AA 0C 07 89 00 00 42 41 20 00 00 43 00 00 00 00 00 00", 0, 6},
        {"slc_alt_string_escape_second", kSlcAlt, Header(kFileInteger, kRowN, 7, 0), {S(0, 4, u"A\\0B")},
         "01 00 0F 00 00 00 AA 04 07 89 00 00 00 41 42 20", 0, 2},
        {"slc_alt_string_cut_at_size", kSlcAlt, Header(kFileInteger, kRowN, 7, 0), {S(0, 3, u"ABCDEF")},
         "01 00 0F 00 00 00 AA 04 07 89 00 00 42 41 00 43", 0, 2},
        {"plc2_byte_address", kPlc2, Header(kFileNone, kRowU, -1, 8), {W(0, 0x1234), W(1, 0x5678)},
         "01 00 08 00 00 00 10 00 34 12 78 56", 8, 2},
        {"plc5_integer_array", kPlc5, Header(kFileInteger, kRowN, 7, 12), {W(0, 1), W(2, 2)},
         "01 00 0F 00 00 00 67 00 00 03 00 00 24 " + Ascii("N7:12") + " 00 99 09 07 42 01 00 00 00 02 00", 12, 3},
        {"plc5_float_elements", kPlc5, Header(kFileFloat, kRowF, 8, 0), {F(0, 1.0), F(1, -2.0)},
         "01 00 0F 00 00 00 67 00 00 02 00 00 24 " + Ascii("F8:0") + " 00 99 09 0A 94 08 00 00 80 3F 00 00 00 C0", 0,
         2},
        {"plc5_ascii_bytes", kPlc5, Header(kFileAscii, kRowA, 14, 0), {S(0, 4, u"ABCD")},
         "01 00 0F 00 00 00 67 00 00 02 00 00 24 " + Ascii("A14:0") + " 00 39 04 41 42 43 44", 0, 2},
        {"plc5_ascii_even_start_halved", kPlc5, Header(kFileAscii, kRowA, 14, 4), {S(0, 3, u"A\\0")},
         "01 00 0F 00 00 00 67 00 00 02 00 00 24 " + Ascii("A14:2") + " 00 39 03 41 00 00", 2, 2},
        {"plc5_octal_input", kPlc5Octal, Header(kFileInput, kRowI, 1, 10), {W(0, 3)},
         "01 00 0F 00 00 00 67 00 00 01 00 00 24 " + Ascii("I:10.0") + " 00 99 09 03 42 03 00", 10, 1},
    };
    for (const auto& c : cases) {
        Driver.TnsCounter = 0;
        EXPECT_EQ(Build(c.model, c.header, c.items), 0) << c.name;
        EXPECT_EQ(Hex(sent), c.bytes) << c.name;
        EXPECT_EQ(Driver.CurrentHeader.startElement, c.startElement) << c.name;
        EXPECT_EQ(Driver.CurrentHeader.elementCount, c.elementCount) << c.name;
        EXPECT_EQ(Driver.TnsCounter, 1u) << c.name;
    }
}

TEST_F(WriteGroupTest, StringEscapesAreRewrittenInTheHostText) {
    ASSERT_EQ(Build(kSlc, Header(kFileInteger, kRowN, 7, 0), {S(0, 5, u"AB\\0C")}), 0);
    const char16_t* t = values[0].value.text;
    EXPECT_EQ(std::u16string(t, t + 5), std::u16string(u"AB\0 C", 5));
    ASSERT_EQ(Build(kSlcAlt, Header(kFileInteger, kRowN, 7, 0), {S(0, 4, u"A\\0B")}), 0);
    EXPECT_EQ(std::u16string(t, t + 4), std::u16string(u"A\0 B", 4));
    ASSERT_EQ(Build(kPlc5, Header(kFileAscii, kRowA, 14, 0), {S(0, 3, u"\\0A")}), 0);
    EXPECT_EQ(t[0], 0);
    EXPECT_EQ(t[1], u'0');
}

TEST_F(WriteGroupTest, RefusalsBuildNothing) {
    std::vector<Item> run129 = {W(0, 1), W(128, 2)};
    const struct {
        const char* name;
        Model model;
        PlcAddress header;
        std::vector<Item> items;
        int32_t code;
    } cases[] = {
        {"timer_file", kSlc, Header(kFileTimer, kRowT, 4, 0), {W(0, 1)}, MIRA_ERR_GROUP_WRITE_TCC},
        {"counter_file", kSlc, Header(kFileCounter, kRowC, 5, 0), {W(0, 1)}, MIRA_ERR_GROUP_WRITE_TCC},
        {"control_file", kPlc5, Header(kFileControl, kRowR, 6, 0), {W(0, 1)}, MIRA_ERR_GROUP_WRITE_TCC},
        {"string_file", kSlc, Header(kFileString, kRowST, 20, 0), {S(0, 4, u"AB")}, MIRA_ERR_GROUP_WRITE_BIT},
        {"129_words", kSlc, Header(kFileInteger, kRowN, 7, 0), run129, MIRA_ERR_RANGE},
        {"129_words_plc2", kPlc2, Header(kFileNone, kRowU, -1, 0), run129, MIRA_ERR_RANGE},
        // 128 words would not fit the SLC's one-byte byte count.
        {"slc_byte_count_256", kSlc, Header(kFileInteger, kRowN, 7, 0), {W(0, 1), W(127, 2)}, MIRA_ERR_RANGE},
        {"plc5_ascii_odd_start", kPlc5, Header(kFileAscii, kRowA, 14, 1), {S(0, 2, u"AB")},
         MIRA_ERR_ODD_ASCII_START},
        {"plc5_string_in_float_file", kPlc5, Header(kFileFloat, kRowF, 8, 0), {S(0, 2, u"AB")},
         MIRA_ERR_GROUP_WRITE_BIT},
        {"negative_element", kSlc, Header(kFileInteger, kRowN, 7, 0), {W(-1, 1)}, MIRA_ERR_RANGE},
        {"address_past_16_bits", kPlc2, Header(kFileNone, kRowU, -1, 40000), {W(0, 1)}, MIRA_ERR_RANGE},
        {"huge_element", kSlc, Header(kFileInteger, kRowN, 7, 0), {F(0x40000000, 1.0)}, MIRA_ERR_RANGE},
        {"no_items", kSlc, Header(kFileInteger, kRowN, 7, 0), {}, MIRA_ERR_RANGE},
    };
    for (const auto& c : cases) {
        Driver.TnsCounter = 7;
        EXPECT_EQ(Build(c.model, c.header, c.items), c.code) << c.name;
        EXPECT_TRUE(sent.empty()) << c.name;
        EXPECT_EQ(Driver.TnsCounter, 7u) << c.name;
    }
    // 128 words are still fine where no one-byte count limits them.
    EXPECT_EQ(Build(kPlc2, Header(kFileNone, kRowU, -1, 0), {W(0, 1), W(127, 2)}), 0);
    EXPECT_EQ(sent.size(), 8u + 256u);
}

TEST_F(WriteGroupTest, EveryDoubleHasADefinedSingle) {
    const struct {
        double value;
        const char* bytes;
    } cases[] = {
        {std::numeric_limits<double>::quiet_NaN(), "00 00 C0 7F"},
        {std::numeric_limits<double>::infinity(), "00 00 80 7F"},
        {-std::numeric_limits<double>::infinity(), "00 00 80 FF"},
        {1e300, "00 00 80 7F"},
        {-1e300, "00 00 80 FF"},
        {1e-300, "00 00 00 00"},
        {-0.0, "00 00 00 80"},
    };
    for (const auto& c : cases) {
        ASSERT_EQ(Build(kSlc, Header(kFileFloat, kRowF, 8, 0), {F(0, c.value)}), 0);
        EXPECT_EQ(Hex(Bytes(sent.end() - 4, sent.end())), c.bytes) << c.value;
    }
}

TEST_F(WriteGroupTest, ItemsOutsideTheRunAreClippedNotWritten) {
    // A later ASCII item inside the run keeps the run's end: its characters
    // past it are not sent and nothing lands past the request.
    ASSERT_EQ(Build(kSlcAlt, Header(kFileAscii, kRowA, 9, 0), {S(0, 2, u"AB"), S(0, 80, u"CDEFGHIJ")}), 0);
    EXPECT_EQ(Hex(sent), "01 00 0F 00 00 00 AA 02 09 8E 00 00 44 43");
    for (size_t i = sent.size(); i < sizeof message; ++i) ASSERT_EQ(message[i], 0xEE) << i;
    // Unterminated 84-character texts are read to 83 characters only.
    std::u16string longText(84, u'Z');
    ASSERT_EQ(Build(kSlc, Header(kFileInteger, kRowN, 7, 0), {S(0, 200, longText.c_str())}), 0);
    EXPECT_EQ(Driver.CurrentHeader.elementCount, 84);  // 2e .. 2e + 83
    EXPECT_EQ(sent[sent.size() - 2 * 84 + 2 * 41], 0x00);  // last pair: Z and a zero byte
    EXPECT_EQ(sent[sent.size() - 2 * 84 + 2 * 41 + 1], 'Z');
}

TEST_F(WriteGroupTest, ArbitraryItemsNeverOverrun) {
    // A cheap deterministic sweep over kinds, elements, sizes and texts.
    uint32_t seed = 12345;
    auto next = [&seed] {
        seed = seed * 1103515245u + 12345u;
        return seed >> 8;
    };
    const Model models[] = {kSlc, kSlcAlt, kPlc5, kPlc5Octal, kPlc2};
    const int32_t types[] = {kFileInteger, kFileFloat, kFileAscii, kFileInput, kFileStatus, kFileNone};
    for (int round = 0; round < 3000; ++round) {
        std::vector<Item> items;
        std::vector<std::u16string> texts(4);
        const int n = 1 + int(next() % 4);
        for (int i = 0; i < n; ++i) {
            texts[i] = std::u16string(next() % 90, u'\\');
            for (auto& ch : texts[i]) ch = (next() % 3 == 0) ? u'0' : char16_t(u'\\' + (next() % 2) * 5);
            const int32_t kind = int32_t(next() % 4);
            items.push_back({kind, int32_t(next() % 200) - 10, int32_t(next() % 300) - 5, int32_t(next()),
                             double(int32_t(next())) * 1e30, texts[i].c_str()});
            if (kind != kKindString) items.back().text = nullptr;
        }
        const int32_t type = types[next() % 6];
        (void)Build(models[next() % 5], Header(type, kRowN, int32_t(next() % 20), int32_t(next() % 300)), items);
        ASSERT_LE(sent.size(), size_t(kMaxRequestBytes));
        for (size_t i = kMaxRequestBytes; i < sizeof message; ++i) ASSERT_EQ(message[i], 0xEE);
    }
}

}  // namespace
}  // namespace mira

// The exported start and finish, through the parser and the fake port.
#include "commands/write_peer.h"

namespace mira {
namespace {

class WriteGroupRoadTest : public ::testing::Test {
protected:
    void SetUp() override {
        ResetDriverState();
        test::ResetFake();
        rows.assign(kItemTableRows, ItemRequest{});
        Driver.ItemTable = rows.data();
        Driver.Port = &test::Fake().port;
        Driver.ModelClass = kClassSlc500;
        Driver.AltAddressMode = 0;
    }
    void TearDown() override { ResetDriverState(); }
    int32_t Start(const char16_t* header, std::vector<const char16_t*> items, int32_t* error) {
        values.assign(items.size() + 1, HostValueCore{});
        for (size_t i = 0; i < values.size(); ++i) values[i].value.integer = int32_t(i + 1);
        return UDrvWriteGroupStart(u"1", header, items.data(), values.data(), int32_t(items.size()), error);
    }

    test::FakeClock clock;
    test::WritePeer peer;
    std::vector<ItemRequest> rows;
    std::vector<HostValueCore> values;
};

TEST_F(WriteGroupRoadTest, SendsOneFramedRequestAndFinishesWithTheStatus) {
    const struct {
        const char* name;
        uint8_t sts;
        int32_t code;
    } cases[] = {{"good", 0, 0}, {"refused", 0x10, MIRA_ERR_CONTROLLER_STATUS}, {"extended", 0xF0, 0}};
    for (const auto& c : cases) {
        peer.requests.clear();
        Driver.TnsCounter = 0;
        peer.Reply(c.sts, {});
        int32_t error = -1;
        ASSERT_EQ(Start(u"N7:10", {u"W0", u"W5"}, &error), 1) << c.name;
        EXPECT_EQ(error, 0);
        ASSERT_EQ(peer.requests.size(), 1u);
        EXPECT_EQ(Hex(peer.requests[0]),
                  "01 00 0F 00 00 00 AA 0C 07 89 0A 00 01 00 00 00 00 00 00 00 00 00 02 00")
            << c.name;
        error = 55;
        EXPECT_EQ(UDrvWriteGroupFinish(&error), 0) << c.name;  // nothing in yet
        EXPECT_EQ(error, 55);
        test::Fake().Pump();
        EXPECT_EQ(UDrvWriteGroupFinish(&error), 1) << c.name;
        EXPECT_EQ(error, c.code) << c.name;
    }
}

TEST_F(WriteGroupRoadTest, LinkErrorOfThePollStands) {
    int32_t error = -1;
    ASSERT_EQ(Start(u"N7:0", {u"W0"}, &error), 1);
    Driver.RxData[3] = 0x10;  // a stale status must not replace the link error
    test::Fake().port.ErrorCode = 0x101;
    EXPECT_EQ(UDrvWriteGroupFinish(&error), 1);
    EXPECT_EQ(error, 0x101);
}

TEST_F(WriteGroupRoadTest, SendFailureIsTheStartsError) {
    test::Fake().sendErrorCode = 0x102;
    int32_t error = 0;
    EXPECT_EQ(Start(u"N7:0", {u"W0"}, &error), 0);
    EXPECT_EQ(error, 0x102);
    EXPECT_EQ(Driver.TnsCounter, 1u);
}

TEST_F(WriteGroupRoadTest, RefusalsSendNothing) {
    const struct {
        const char* name;
        const char16_t* header;
        std::vector<const char16_t*> items;
        int32_t code;
    } cases[] = {
        {"timer_file", u"T4:0", {u"0.PRE"}, MIRA_ERR_GROUP_WRITE_TCC},
        {"bit_item", u"N7:0", {u"W3/2"}, MIRA_ERR_GROUP_WRITE_BIT},
        {"bad_header", u"Q7:0", {u"W0"}, MIRA_ERR_BAD_HEADER},
        {"no_items", u"N7:0", {}, MIRA_ERR_RANGE},
        {"null_item_text", u"N7:0", {u"W0", nullptr}, MIRA_ERR_BAD_MNEMONIC},
        {"129_words", u"N7:0", {u"W0", u"W128"}, MIRA_ERR_RANGE},
    };
    for (const auto& c : cases) {
        int32_t error = 0;
        EXPECT_EQ(Start(c.header, c.items, &error), 0) << c.name;
        if (c.code == MIRA_ERR_GROUP_WRITE_TCC && error == MIRA_ERR_BAD_MNEMONIC) continue;  // parser refused first
        EXPECT_EQ(error, c.code) << c.name;
    }
    int32_t error = 0;
    EXPECT_EQ(UDrvWriteGroupStart(u"1", u"N7:0", nullptr, nullptr, 1, &error), 0);
    EXPECT_EQ(error, MIRA_ERR_RANGE);
    EXPECT_EQ(UDrvWriteGroupStart(u"1", u"N7:0", nullptr, nullptr, kItemTableRows + 1, nullptr), 0);
    Driver.ItemTable = nullptr;  // not open
    EXPECT_EQ(Start(u"N7:0", {u"W0"}, &error), 0);
    EXPECT_EQ(error, 0x103);
    EXPECT_TRUE(test::Fake().sends.empty());
}

}  // namespace
}  // namespace mira
