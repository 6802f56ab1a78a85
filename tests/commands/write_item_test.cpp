#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "address/tables.h"
#include "commands/request.h"
#include "commands/write_item.h"
#include "setup/driver_state.h"
#include "support/fake_portkit.h"

namespace mira {
namespace {

using test::Bytes;
using test::Hex;

std::string Ascii(const char* text) { return Hex(Bytes(text, text + std::strlen(text))); }

PlcAddress Header(int32_t fileType, int32_t fileLetter, int32_t fileNumber, int32_t base = 0) {
    PlcAddress h{};
    h.station = 1;
    h.fileType = fileType;
    h.fileLetter = fileLetter;
    h.fileNumber = fileNumber;
    h.slot = -1;
    h.elementBase = base;
    return h;
}

ItemRequest Item(int32_t kind, int32_t element, int32_t size = 2, int32_t bit = -1) {
    ItemRequest r{};
    r.kind = kind;
    r.element = element;
    r.size = size;
    r.hasBit = bit >= 0 ? 1 : 0;
    r.bit = bit >= 0 ? bit : 0;
    r.mnemonic = -1;
    return r;
}

ItemWords Words(int32_t w, uint16_t h = 0) {
    ItemWords words;
    words.w = w;
    words.h = h;
    return words;
}

ItemWords Element(uint16_t con, uint16_t pre, uint16_t acc, uint16_t ex1 = 0, uint16_t ex2 = 0) {
    ItemWords words;
    const uint16_t e[5] = {con, pre, acc, ex1, ex2};
    std::memcpy(words.element, e, sizeof e);
    return words;
}

enum Model { kSlc, kPlc5, kPlc5Octal, kPlc2 };

class WriteItemTest : public ::testing::Test {
protected:
    void SetUp() override {
        ResetDriverState();
        test::ResetFake();
        rows.assign(kItemTableRows, ItemRequest{});
        Driver.ItemTable = rows.data();
        Driver.Port = &test::Fake().port;
    }
    void TearDown() override { ResetDriverState(); }

    int32_t Build(Model model, const PlcAddress& header, const ItemRequest& item, const ItemWords& words,
                  const char16_t* text = u"") {
        Driver.ModelClass = model == kPlc2 ? kClassPlc2 : model == kSlc ? kClassSlc500 : kClassPlc5;
        Driver.Plc5Family = (model == kPlc5 || model == kPlc5Octal) ? 1 : 0;
        Driver.OctalIo = model == kPlc5Octal ? 1 : 0;
        Driver.CurrentHeader = header;
        rows[0] = item;
        value = HostValueCore{};
        for (size_t k = 0; text[k] != 0 && k < 84; ++k) value.value.text[k] = text[k];
        std::memset(message, 0xEE, sizeof message);
        int32_t length = -1;
        const int32_t code = BuildItemWrite(words, value, message, &length);
        sent = Bytes(message, message + (length > 0 ? length : 0));
        return code;
    }

    std::vector<ItemRequest> rows;
    HostValueCore value{};
    uint8_t message[kMaxRequestBytes + 16];
    Bytes sent;
};

TEST_F(WriteItemTest, RequestBytesByClass) {
    const std::string head = "01 00 0F 00 00 00 ";
    const struct {
        const char* name;
        Model model;
        PlcAddress header;
        ItemRequest item;
        ItemWords words;
        const char16_t* text;
        std::string bytes;
    } cases[] = {
        {"slc_bit_word", kSlc, Header(kFileInteger, kRowN, 7), Item(kKindWord, 5, 2, 3), Words(0x0008), u"",
         head + "AA 02 07 89 05 00 08 00"},
        {"slc_timer_pre_slot_first", kSlc, Header(kFileTimer, kRowT, 4), Item(kKindWord, 2),
         Element(0x8000, 500, 7), u"", head + "AA 06 04 86 00 06 00 80 F4 01 07 00"},
        {"slc_float", kSlc, Header(kFileFloat, kRowF, 8), Item(kKindFloat, 3), Words(0xCCCD, 0x3DCC), u"",
         head + "AA 04 08 8A 03 00 CD CC CC 3D"},
        {"slc_string_file", kSlc, Header(kFileString, kRowST, 20), Item(kKindString, 0, 82), Words(0), u"ABC",
         head + "AA 06 14 8D 00 00 03 00 42 41 00 43"},
        {"slc_ascii_even_terminator", kSlc, Header(kFileAscii, kRowA, 9), Item(kKindString, 1, 10), Words(0),
         u"ABCD", head + "AA 06 09 8E 01 00 42 41 44 43 00 00"},
        {"slc_string_cut_at_size", kSlc, Header(kFileInteger, kRowN, 7), Item(kKindString, 0, 2), Words(0),
         u"ABCD", head + "AA 02 07 89 00 00 42 41"},
        {"slc_string_escape", kSlc, Header(kFileString, kRowST, 20), Item(kKindString, 0, 82), Words(0),
         u"\\0AB", head + "AA 06 14 8D 00 00 04 00 20 00 42 41"},
        {"plc2_bit_set", kPlc2, Header(kFileNone, kRowU, -1), Item(kKindWord, 4, 2, 9), Words(1), u"",
         "01 00 05 00 00 00 08 00 00 00 09 00 02 00"},
        {"plc2_bit_clear", kPlc2, Header(kFileNone, kRowU, -1), Item(kKindWord, 4, 2, 9), Words(0), u"",
         "01 00 05 00 00 00 08 00 00 00 09 00 00 02"},
        {"plc2_low_bit_negative_clears", kPlc2, Header(kFileNone, kRowU, -1), Item(kKindWord, 4, 2, 3), Words(-1),
         u"", "01 00 05 00 00 00 08 00 00 08 09 00 00 00"},
        {"plc2_bit_past_word_masks_nothing", kPlc2, Header(kFileNone, kRowU, -1), Item(kKindWord, 0, 2, 40),
         Words(1), u"", "01 00 05 00 00 00 00 00 00 00 01 00 00 00"},
        {"plc2_word", kPlc2, Header(kFileNone, kRowU, -1, 2), Item(kKindWord, 2), Words(0x12345), u"",
         "01 00 08 00 00 00 08 00 45 23"},
        {"plc2_float", kPlc2, Header(kFileNone, kRowU, -1), Item(kKindFloat, 4), Words(0xCCCD, 0x3DCC), u"",
         "01 00 08 00 00 00 08 00 CD CC CC 3D"},
        {"plc5_timer_five_words", kPlc5, Header(kFileTimer, kRowT, 4), Item(kKindWord, 1),
         Element(0x2000, 10, 3, 0x11, 0x22), u"",
         head + "67 00 00 01 00 00 24 " + Ascii("T4:1") + " 00 99 09 0C 59 0A 00 20 0A 00 11 00 03 00 22 00"},
        {"plc5_counter", kPlc5, Header(kFileCounter, kRowC, 5), Item(kKindWord, 0), Element(1, 2, 3), u"",
         head + "67 00 00 01 00 00 24 " + Ascii("C5:0") + " 00 99 09 07 66 01 00 02 00 03 00"},
        {"plc5_control", kPlc5, Header(kFileControl, kRowR, 6), Item(kKindWord, 0), Element(1, 2, 3), u"",
         head + "67 00 00 01 00 00 24 " + Ascii("R6:0") + " 00 99 09 07 76 01 00 02 00 03 00"},
        {"plc5_float_five_bytes", kPlc5, Header(kFileFloat, kRowF, 8), Item(kKindFloat, 3), Words(0xCCCD, 0x3DCC),
         u"", head + "67 00 00 02 00 00 24 " + Ascii("F8:3") + " 00 99 09 06 94 08 CD CC CC 3D 00"},
        {"plc5_integer", kPlc5, Header(kFileInteger, kRowN, 7), Item(kKindWord, 5), Words(-1), u"",
         head + "67 00 00 01 00 00 24 " + Ascii("N7:5") + " 00 99 09 03 42 FF FF"},
        {"plc5_ascii_padded", kPlc5, Header(kFileAscii, kRowA, 9), Item(kKindString, 1, 2), Words(0), u"AB",
         head + "67 00 00 04 00 00 24 " + Ascii("A9:2") + " 00 39 04 41 42 00 00"},
        {"plc5_string_odd_padded", kPlc5, Header(kFileString, kRowST, 9), Item(kKindString, 0, 82), Words(0),
         u"ABC", head + "67 00 00 52 00 00 24 " + Ascii("ST9:0") + " 00 39 04 41 42 43 00"},
        {"plc5_string_escape_one_byte", kPlc5, Header(kFileString, kRowST, 9), Item(kKindString, 0, 82), Words(0),
         u"A\\0B", head + "67 00 00 52 00 00 24 " + Ascii("ST9:0") + " 00 39 03 41 00 42"},
        {"plc5_octal_output", kPlc5Octal, Header(kFileOutput, kRowO, 0, 10), Item(kKindWord, 7), Words(5), u"",
         head + "67 00 00 01 00 00 24 " + Ascii("O:17.0") + " 00 99 09 03 42 05 00"},
    };
    for (const auto& c : cases) {
        Driver.TnsCounter = 0;
        EXPECT_EQ(Build(c.model, c.header, c.item, c.words, c.text), 0) << c.name;
        EXPECT_EQ(Hex(sent), c.bytes) << c.name;
        EXPECT_EQ(Driver.TnsCounter, 1u) << c.name;
    }
}

TEST_F(WriteItemTest, StringTextsAreCutAndPaddedInPlace) {
    ASSERT_EQ(Build(kSlc, Header(kFileInteger, kRowN, 7), Item(kKindString, 0, 2), Words(0), u"ABCD"), 0);
    EXPECT_EQ(std::u16string(value.value.text), u"AB");
    // A PLC-5 ASCII item sends 2 x size characters: padded up to 81 from the
    // host text, zero bytes past that, never read beyond the record.
    std::u16string text(83, u'Q');
    ASSERT_EQ(Build(kPlc5, Header(kFileAscii, kRowA, 9), Item(kKindString, 0, 60), Words(0), text.c_str()), 0);
    ASSERT_EQ(sent.size(), 6u + 7u + 4u + 1u + 1u + 1u + 120u);
    EXPECT_EQ(sent[sent.size() - 121], 120);
    EXPECT_EQ(sent[sent.size() - 120 + 82], 'Q');
    EXPECT_EQ(sent[sent.size() - 120 + 83], 0);
    EXPECT_EQ(sent.back(), 0);
}

TEST_F(WriteItemTest, RefusalsBuildNothing) {
    const struct {
        const char* name;
        Model model;
        PlcAddress header;
        ItemRequest item;
        int32_t code;
    } cases[] = {
        {"plc2_string", kPlc2, Header(kFileNone, kRowU, -1), Item(kKindString, 0, 4), MIRA_ERR_GROUP_WRITE_BIT},
        {"slc_bit_of_timer", kSlc, Header(kFileTimer, kRowT, 4), Item(kKindWord, 0, 2, 13), MIRA_ERR_BAD_MNEMONIC},
        {"plc5_bit_of_counter", kPlc5, Header(kFileCounter, kRowC, 5), Item(kKindWord, 0, 2, 1),
         MIRA_ERR_BAD_MNEMONIC},
        {"slc_element_past_16_bits", kSlc, Header(kFileInteger, kRowN, 7, 70000), Item(kKindWord, 0),
         MIRA_ERR_RANGE},
        {"slc_timer_element_times_three", kSlc, Header(kFileTimer, kRowT, 4), Item(kKindWord, 30000),
         MIRA_ERR_RANGE},
        {"slc_negative_element", kSlc, Header(kFileInteger, kRowN, 7), Item(kKindWord, -1), MIRA_ERR_RANGE},
        {"plc2_byte_address_past_16_bits", kPlc2, Header(kFileNone, kRowU, -1), Item(kKindWord, 32768),
         MIRA_ERR_RANGE},
        {"plc5_ascii_past_count_byte", kPlc5, Header(kFileAscii, kRowA, 9), Item(kKindString, 0, 200),
         MIRA_ERR_RANGE},
    };
    for (const auto& c : cases) {
        Driver.TnsCounter = 3;
        EXPECT_EQ(Build(c.model, c.header, c.item, Words(1), u"AB"), c.code) << c.name;
        EXPECT_TRUE(sent.empty()) << c.name;
        EXPECT_EQ(Driver.TnsCounter, 3u) << c.name;
    }
}

TEST_F(WriteItemTest, MnemonicsNameOneWordOrOneBit) {
    const struct {
        int32_t fileType, mnemonic, word, bit;
    } cases[] = {
        {kFileTimer, kTmDN, -1, 13}, {kFileTimer, kTmEN, -1, 15},     {kFileTimer, kTmPRE, 1, -1},
        {kFileTimer, kTmACC, 2, -1}, {kFileTimer, kTmCON, 0, -1},     {kFileTimer, kTmEX1, -1, -1},
        {kFileTimer, kTmEX2, -1, -1}, {kFileCounter, kCtUA, -1, 10},  {kFileCounter, kCtCU, -1, 15},
        {kFileCounter, kCtPRE, 1, -1}, {kFileCounter, kCtCON, 0, -1}, {kFileControl, kCrFD, -1, 8},
        {kFileControl, kCrEN, -1, 15}, {kFileControl, kCrLEN, 1, -1}, {kFileControl, kCrPOS, 2, -1},
        {kFileControl, 11, -1, -1},   {kFileTimer, -1, -1, -1},       {kFileInteger, 0, -1, -1},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(MnemonicWord(c.fileType, c.mnemonic), c.word) << c.fileType << " " << c.mnemonic;
        EXPECT_EQ(MnemonicBit(c.fileType, c.mnemonic), c.bit) << c.fileType << " " << c.mnemonic;
    }
}

}  // namespace
}  // namespace mira

// The whole road through the parser, the read path and the fake port.
#include "commands/write_peer.h"

namespace mira {
namespace {

class WriteItemRoadTest : public ::testing::Test {
protected:
    void SetUp() override {
        ResetDriverState();
        test::ResetFake();
        rows.assign(kItemTableRows, ItemRequest{});
        Driver.ItemTable = rows.data();
        Driver.Port = &test::Fake().port;
        Driver.StringSlots = strings.data();
        Driver.ModelClass = kClassSlc500;
        Driver.AltAddressMode = 0;
        Driver.NonStandardBcd = 0;
    }
    void TearDown() override { ResetDriverState(); }
    void UsePlc5() {
        Driver.ModelClass = kClassPlc5;
        Driver.Plc5Family = 1;
    }
    int32_t Start(const char16_t* header, const char16_t* item, int32_t value, int32_t* error) {
        record = HostValueCore{};
        record.value.integer = value;
        return UDrvWriteItemStart(u"1", header, item, &record, error);
    }

    test::FakeClock clock;
    test::WritePeer peer;
    std::vector<ItemRequest> rows;
    std::vector<uint8_t> strings = std::vector<uint8_t>(kStringSlotCount * kStringSlotBytes);
    HostValueCore record{};
};

TEST_F(WriteItemRoadTest, BitIsReadModifiedAndWrittenBack) {
    const struct {
        const char* name;
        int32_t value;
        const char* readWord;
        const char* written;
    } cases[] = {
        {"set", 1, "F0 00", "F8 00"},
        {"set_already_set", 7, "08 00", "08 00"},
        {"clear", 0, "FF FF", "F7 FF"},
    };
    for (const auto& c : cases) {
        peer.requests.clear();
        Driver.TnsCounter = 0;
        peer.Reply(0, test::FromHex(c.readWord));
        peer.Reply(0, {});
        int32_t error = -1;
        ASSERT_EQ(Start(u"N7:0", u"W5/3", c.value, &error), 1) << c.name;
        EXPECT_EQ(error, 0);
        ASSERT_EQ(peer.requests.size(), 2u) << c.name;
        EXPECT_EQ(peer.requests[0][6], 0xA2) << c.name;  // the read goes first
        EXPECT_EQ(Hex(peer.requests[1]), std::string("01 00 0F 00 01 00 AA 02 07 89 05 00 ") + c.written) << c.name;
        test::Fake().Pump();
        error = -1;
        EXPECT_EQ(UDrvWriteItemFinish(&error), 1);
        EXPECT_EQ(error, 0);
    }
}

TEST_F(WriteItemRoadTest, FailedReadSendsNoWrite) {
    peer.Reply(0x10, {});
    int32_t error = 0;
    EXPECT_EQ(Start(u"N7:0", u"W5/3", 1, &error), 0);
    EXPECT_EQ(error, MIRA_ERR_CONTROLLER_STATUS);
    EXPECT_EQ(peer.requests.size(), 1u);
}

TEST_F(WriteItemRoadTest, SlcTimerPresetCarriesTheWordsReadBack) {
    peer.Reply(0, test::FromHex("00 80 64 00 07 00"));
    peer.Reply(0, {});
    int32_t error = -1;
    ASSERT_EQ(Start(u"T4:0", u"2.PRE", 500, &error), 1);
    ASSERT_EQ(peer.requests.size(), 2u);
    EXPECT_EQ(Hex(peer.requests[1]), "01 00 0F 00 01 00 AA 06 04 86 00 06 00 80 F4 01 07 00");
}

TEST_F(WriteItemRoadTest, Plc5TimerDoneBitWritesFiveWords) {
    UsePlc5();
    peer.Reply(0, test::FromHex("99 09 0C 59 0A 00 00 0A 00 11 00 03 00 22 00"));
    peer.Reply(0, {});
    int32_t error = -1;
    ASSERT_EQ(Start(u"T4:0", u"1.DN", 1, &error), 1) << error;
    ASSERT_EQ(peer.requests.size(), 2u);
    const std::string written = Hex(peer.requests[1]);
    const std::string expected = "01 00 0F 00 01 00 67 00 00 01 00 00 24 " + Ascii("T4:1") +
                                 " 00 99 09 0C 59 0A 00 20 0A 00 11 00 03 00";
    EXPECT_EQ(written.substr(0, expected.size()), expected);
    EXPECT_EQ(peer.requests[1].size(), 6u + 7u + 4u + 1u + 5u + 10u);
}

TEST_F(WriteItemRoadTest, RefusedBeforeAnythingIsSent) {
    const struct {
        const char* name;
        const char16_t* header;
        const char16_t* item;
        int32_t code;
    } cases[] = {
        {"timer_item_without_separator", u"T4:0", u"5", MIRA_ERR_BAD_MNEMONIC},
        {"bad_header", u"Q7:0", u"W5", MIRA_ERR_BAD_HEADER},
    };
    for (const auto& c : cases) {
        int32_t error = 0;
        EXPECT_EQ(Start(c.header, c.item, 1, &error), 0) << c.name;
        EXPECT_NE(error, 0) << c.name;
        if (c.code == MIRA_ERR_BAD_HEADER) EXPECT_EQ(error, c.code) << c.name;
    }
    int32_t error = 0;
    EXPECT_EQ(UDrvWriteItemStart(u"1", u"N7:0", nullptr, &record, &error), 0);
    EXPECT_EQ(error, MIRA_ERR_BAD_MNEMONIC);
    EXPECT_EQ(UDrvWriteItemStart(u"1", u"N7:0", u"W5", nullptr, &error), 0);
    EXPECT_EQ(error, MIRA_ERR_RANGE);
    EXPECT_TRUE(test::Fake().sends.empty());
}

TEST_F(WriteItemRoadTest, PlainWordIsOneRequestAndFinishTakesTheStatus) {
    Driver.ModelClass = kClassPlc2;
    peer.Reply(0x10, {});
    int32_t error = -1;
    ASSERT_EQ(Start(u"N7:4", u"W0", 0x1234, &error), 1) << error;
    ASSERT_EQ(peer.requests.size(), 1u);
    EXPECT_EQ(Hex(peer.requests[0]), "01 00 08 00 00 00 08 00 34 12");
    error = 77;
    EXPECT_EQ(UDrvWriteItemFinish(&error), 0);  // reply not in yet
    EXPECT_EQ(error, 77);
    test::Fake().Pump();
    EXPECT_EQ(UDrvWriteItemFinish(&error), 1);
    EXPECT_EQ(error, MIRA_ERR_CONTROLLER_STATUS);
}

}  // namespace
}  // namespace mira
