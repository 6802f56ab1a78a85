#include "command_support.h"

namespace mira::test {
namespace {

using RequestTest = ReadFixture;

uint8_t out[kMaxRequestBytes];
std::string Sent(int32_t n) {
    return Hex(Bytes(out, out + (n > 0 ? n : 0)));
}

TEST_F(RequestTest, SlcReadLayouts) {
    Driver.ModelClass = kClassSlc500;
    Driver.LocalStation = 0x102;  // only the low byte goes out
    const PlcAddress n7 = Header(kFileInteger, kRowN, 7), t4 = Header(kFileTimer, kRowT, 4);
    const struct { PlcAddress header; int32_t element, byteCount; const char* bytes; } cases[] = {
        {n7, 5, 10, "01 02 0F 00 00 00 A2 0A 07 89 05 00"},
        // Timers carry the slot first; a negative slot goes out as 0.
        {t4, 3, 6, "01 02 0F 00 00 00 A2 06 04 86 00 03"},
        {Header(kFileInput, kRowI, 1, 0, 2), 0, 2, "01 02 0F 00 00 00 A2 02 01 8C 02 00"},
        {Header(kFileOutput, kRowO, 0, 0, 1), 300, 2, "01 02 0F 00 00 00 A2 02 00 8B 01 FF 2C 01"},
        // Number fields: one byte below 255, from 255 on FF low high (a lone FF opens that form).
        {Header(kFileInteger, kRowN, 254), 254, 2, "01 02 0F 00 00 00 A2 02 FE 89 FE 00"},
        {Header(kFileInteger, kRowN, 255), 255, 2, "01 02 0F 00 00 00 A2 02 FF FF 00 89 FF FF 00 00"},
        {Header(kFileInteger, kRowN, 263), 256, 2, "01 02 0F 00 00 00 A2 02 FF 07 01 89 FF 00 01 00"},
        {Header(kFileInteger, kRowN, 65535), 65535, 2, "01 02 0F 00 00 00 A2 02 FF FF FF 89 FF FF FF 00"},
        {t4, 255, 6, "01 02 0F 00 00 00 A2 06 04 86 00 FF FF 00"},
        {Header(kFileInput, kRowI, 1, 0, 255), 0, 2, "01 02 0F 00 00 00 A2 02 01 8C FF FF 00 00"},
    };
    for (const auto& c : cases) {
        Driver.TnsCounter = 0;
        PlcAddress h = c.header;
        EXPECT_EQ(Sent(BuildSlcRead(out, &h, c.element, c.byteCount)), c.bytes);
        EXPECT_GE(h.slot, 0);
        EXPECT_EQ(Driver.TnsCounter, 1u);
    }
}

// The TNS goes out as its low byte with a zero high byte, and wraps.
TEST_F(RequestTest, Plc2ReadByteAddress) {
    Driver.ModelClass = kClassPlc2;
    PlcAddress h = Header(kFileInteger, kRowN, 7);
    h.station = 3;
    Driver.TnsCounter = 0x1FF;
    EXPECT_EQ(Sent(BuildPlc2Read(out, h, 10, 10)), "03 00 01 00 FF 00 0A 00 0A");
    EXPECT_EQ(Sent(BuildPlc2Read(out, h, 0x1234, 255)), "03 00 01 00 00 00 34 12 FF");
}

// A count, element or number no field carries never goes out as another address (on PLC-2 and
// PLC-5, whose requests have no slot field, that is any slot).
TEST_F(RequestTest, AddressesNoFieldCarriesAreRefusedBeforeTheTnsMoves) {
    const PlcAddress n7 = Header(kFileInteger, kRowN, 7);
    const struct { uint32_t model; PlcAddress header; int32_t station, element, count; } cases[] = {
        {kClassSlc500, n7, 1, 0, 256},
        {kClassSlc500, n7, 1, -1, 2},
        {kClassSlc500, n7, 1, 0x10000, 2},
        {kClassPlc2, n7, 1, 0, 256},
        {kClassPlc2, n7, 1, 0x10000, 2},
        {kClassPlc2, n7, 1, -2, 2},
        {kClassPlc5, n7, 1, 0, 0},
        {kClassPlc5, n7, 1, -1, 1},
        {kClassPlc5, n7, 1, 0x10000, 1},
        {kClassSlc500, Header(kFileInteger, kRowN, 65536), 1, 0, 2},
        {kClassSlc500, n7, 256, 0, 2},
        {kClassSlc500, Header(kFileInteger, kRowN, -1), 1, 0, 2},
        {kClassSlc500, n7, -1, 0, 2},
        {kClassSlc500, Header(kFileInput, kRowI, 1, 0, 65536), 1, 0, 2},
        {kClassPlc2, Header(kFileInput, kRowI, 1, 0, 1), 1, 0, 2},
        {kClassPlc5, Header(kFileInteger, kRowN, 65536), 1, 0, 1},
    };
    for (const auto& c : cases) {
        Driver.ModelClass = c.model;
        Driver.Plc5Family = c.model == kClassPlc5 ? 1 : 0;
        PlcAddress h = c.header;
        h.station = c.station;
        Driver.CurrentHeader = h;
        const int32_t n = c.model == kClassSlc500 ? BuildSlcRead(out, &h, c.element, c.count)
                          : c.model == kClassPlc2 ? BuildPlc2Read(out, h, c.element, c.count)
                                                  : BuildPlc5Read(out, h, c.element, c.count);
        EXPECT_EQ(n, MIRA_ERR_RANGE) << int(&c - cases);
    }
    EXPECT_EQ(Driver.TnsCounter, 0u);
}

TEST_F(RequestTest, AsciiAddressTexts) {
    const struct { PlcAddress header; uint32_t octal; int32_t element; const char* text; } cases[] = {
        {Header(kFileStatus, kRowS, 2), 0, 3, "S:3"},
        {Header(kFileInput, kRowI, 1), 0, 8, "I:10.0"},
        {Header(kFileOutput, kRowO, 0), 1, 10, "O:10.0"},
        {Header(kFileNone, kRowU, -1), 0, 40, "U:40"},
        {Header(kFileString, kRowST, 20), 0, 4, "ST20:4"},
        {Header(kFileAscii, kRowA, 14), 0, 0, "A14:0"},
        // The numeric syntax leaves fileLetter stale: the file type decides.
        {Header(kFileTimer, kRowN, 4), 0, 1, "T4:1"},
    };
    for (const auto& c : cases) {
        Driver.CurrentHeader = c.header;
        Driver.OctalIo = c.octal;
        char text[kAsciiAddressCapacity];
        const int32_t n = FormatAsciiAddress(text, sizeof text, c.element);
        EXPECT_EQ(std::string(text), c.text);
        EXPECT_EQ(n, int32_t(std::string(c.text).size()));
    }
    // A small buffer is filled and terminated, never overrun.
    Driver.CurrentHeader = Header(kFileInteger, kRowN, 7);
    char small[4] = {'x', 'x', 'x', 'x'};
    EXPECT_EQ(FormatAsciiAddress(small, 4, 12345), 3);
    EXPECT_EQ(std::string(small), "N7:");
}

TEST_F(RequestTest, OctalConversions) {
    const struct { int32_t digits, value; } both[] = {{0, 0}, {7, 7}, {10, 8}, {17, 15}, {777, 511}, {100, 64}};
    for (const auto& c : both) {
        EXPECT_EQ(OctalDigitsToValue(c.digits), c.value) << c.digits;
        EXPECT_EQ(ValueToOctalDigits(c.value), c.digits) << c.value;
    }
    EXPECT_EQ(OctalDigitsToValue(18), 16);  // 8 and 9 are not refused
    EXPECT_EQ(OctalDigitsToValue(-5), 0);
    EXPECT_EQ(ValueToOctalDigits(-5), 0);
    (void)ValueToOctalDigits(0x7FFFFFFF);  // must not overflow
}

}  // namespace
}  // namespace mira::test
