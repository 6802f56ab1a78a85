// The address checks row by row: what the user typed, against the text written back and the result.

#include <tuple>

#include "address/checks_support.h"

namespace mira::test {
namespace {

using Row = std::tuple<uint32_t, const char16_t*, const char16_t*>;  // model class, typed, expected

TEST(ValidHeader, RewritesEachRow) {
    const Row rows[] = {
        {500, u"   ", u"N7:0"}, {500, u"INVALID:N7:0", u"N7:0"}, {500, u"T", u"T4:0"}, {500, u"N12", u"N12:0"},
        {500, u"S", u"S:0"}, {500, u"S:5", u"S:5"}, {500, u"I", u"I:0.0"}, {500, u"I:1", u"I:1.0"},
        {500, u"U:40", u"U:40"}, {500, u"timer/1:4:0", u"timer/1:4:0"}, {500, u"N3:5", u"N3:0"}, {5, u"N3:5", u"N3:5"},
        {2, u"T7:1", u"T7:0"},
        // As typed into a sheet: blanks, small letters, stray separators.
        {500, u"  n7:5  ", u"N7:5"}, {500, u"N7:5:9", u"N7:5"}, {500, u"i:1.2.3", u"I:1.2"},
        // A numeric header with a negative element gets the letter form of its own file.
        {500, u"timer/1:4:-2", u"T4:0"}, {5, u"ST -2147483648:2147483647", u"ST-2147483648:2147483647"},
    };
    for (const auto& [model, typed, expected] : rows) {
        SCOPED_TRACE(Narrow(typed));
        PrepareDriver(model);
        EXPECT_EQ(Narrow(ValidHeader(typed)), Narrow(expected));
    }
}

TEST(ValidAddress, RewritesEachItem) {
    const std::tuple<const char16_t*, const char16_t*, const char16_t*> rows[] = {
        // header, typed, expected
        {u"N7:0", u"w5", u"W5"}, {u"N7:0", u"F5", u"5"}, {u"N7:0", u"W5.3", u"W5.3"}, {u"N7:0", u"F5/2", u"5"},
        {u"N7:0", u"S5", u"S5.2"}, {u"F8:0", u"5", u"5"}, {u"F8:0", u"F5/2", u"F5"}, {u"F8:0", u"W5/2", u"5"},
        {u"T4:0", u"W0/EN", u"W0.EN"}, {u"T4:0", u"2.acc", u"2.ACC"}, {u"T4:0", u"5", u"5.DN"},
        {u"T4:0", u"5.XX", u"0.DN"}, {u"ST20:0", u"4", u"4.2"}, {u"ST20:0", u"S4.10", u"S4.10"},
        {u"A14:0", u"4", u"4.2"}, {u"A14:0", u"W4", u"W4"}, {u"U:0", u"40", u"0"},
        // A header that names no file: the item keeps its typed letter, or its number.
        {u"X9:0", u"W5", u"W5"}, {u"", u"5/3", u"5/3"},
        // As typed into a sheet.
        {u"N7:0", u"", u"0"}, {u"N7:0", u"W", u"W0"}, {u"N7:0", u"5/", u"5/0"},
        // Read from 15 characters; the number wraps as the platform's conversion does.
        {u"N7:0", u"12345678901234567", u"2147483647"}, {u"N7:0", u"W2147483648/999", u"W2147483647/999"},
    };
    for (const auto& [header, typed, expected] : rows) {
        SCOPED_TRACE(Narrow(header) + " " + Narrow(typed));
        PrepareDriver(500);
        EXPECT_EQ(Narrow(ValidAddress(header, typed)), Narrow(expected));
    }
}

TEST(ValidString1, AcceptsTheModelTexts) {
    for (const char16_t* text :
         {u"slc500", u"plc5 with i/o octal", u"2", u"500", u"Plc5", u"PLC2", u"5:0", u"5:1", u"5x"})
        EXPECT_EQ(UDrvValidString1(text), 0) << Narrow(text);
    for (const char16_t* text : {u"PLC3", u"", u" SLC500", u"SLC500 ", u"5:2", u"SLC5", u"SLC5000"})
        EXPECT_EQ(UDrvValidString1(text), 3) << Narrow(text);
}

TEST(CompareAddress, OrdersByStationFileAndElement) {
    const std::tuple<const char16_t*, const char16_t*, const char16_t*, const char16_t*, int32_t> rows[] = {
        {u"1", u"N7:W5", u"1", u"N7:W6", -1}, {u"1", u"N7:5", u"1", u"N7:W5", 0}, {u"1", u"N7:W5", u"1", u"N9:W0", -1},
        {u"1", u"N7:W5", u"1", u"B3:W5", 1}, {u"1", u"I:1.W3", u"1", u"I:2.W0", -1}, {u"1", u"7:W5", u"1", u"N7:W5", 1},
        {u"1", u"N7:W5/3", u"1", u"N7:W5", 1}, {u"1", u"N7:W5/3", u"1", u"N7:W5/4", -1},
        {u"1", u"N7:S5.4", u"1", u"N7:S5.10", -1}, {u"1", u"N7:W5", u"1", u"N7:S5.9", 0},
        {u"1", u"N7:S5.9", u"1", u"N7:W5", 1}, {u"1", u"T4:W0.DN", u"1", u"T4:W0.EN", 0},
        {u"1", u"N7:W5", u"1", u"N7:B5", 0}, {u"1", u"xyz", u"1", u"N7:W0", -1},
        // Station texts before station numbers, and only as far as A's text goes.
        {u"1", u"N7:W5", u"2", u"N7:W5", -1}, {u"10", u"N7:W5", u"9", u"N7:W5", -1},
        {u"1", u"N7:W5", u"1x", u"N7:W5", 0},
    };
    for (const auto& [stationA, a, stationB, b, result] : rows) {
        SCOPED_TRACE(Narrow(stationA) + " " + Narrow(a) + " / " + Narrow(stationB) + " " + Narrow(b));
        PrepareDriver(500);
        EXPECT_EQ(UDrvCompareAddress(stationA, a, stationB, b), result);
    }
}

TEST(GetHeaderAddress, SplitsTheSecondAddress) {
    const std::tuple<const char16_t*, const char16_t*, int32_t, const char16_t*, const char16_t*> rows[] = {
        {u"N7:W0", u"N7:W117", 1, u"N7:0", u"W117"}, {u"N7:W0", u"N7:W118", 0, u"N7:0", u"W118"},
        {u"F8:F0", u"F8:F57", 1, u"F8:0", u"F57"}, {u"F8:F0", u"F8:F58", 0, u"F8:0", u"F58"},
        {u"T4:W0.DN", u"T4:W38.ACC", 1, u"T4:0", u"W38.ACC"}, {u"T4:W0.DN", u"T4:W39.DN", 0, u"T4:0", u"W39.DN"},
        {u"R6:W0.FD", u"R6:W100.EN", 1, u"R6:0", u"W100.EN"}, {u"N7:W5", u"N7:W3", 0, u"N7:0", u"W3"},
        {u"N7:W5", u"N9:W5", 0, u"N9:0", u"W5"}, {u"N7:W100", u"N7:S110.20", 0, u"N7:0", u"S110.20"},
        {u"N7:W100", u"N7:S110.17", 1, u"N7:0", u"S110.17"}, {u"N7:W0", u"N7:W2147483647", 0, u"N7:0", u"W2147483647"},
        {u"I:1.W0", u"I:1.W3", 1, u"I:1.0", u"W3"}, {u"I:1.W0", u"I:2.W0", 0, u"I:2.0", u"W0"},
        {u"I:1.W0", u"I", 0, u"I:0.0", u"W0"}, {u"S:W0", u"S:W2", 1, u"S:0", u"W2"},
        {u"ST11:S0.2", u"ST11:S0.2", 1, u"ST11:0", u"S0.2"}, {u"U:W0", u"U:W40", 1, u"U:0", u"W40"},
        {u"N7:5", u"N7:5/3", 1, u"N7:0", u"W5/3"}, {u"N7:W0", u"xyz", 0, u"N7:0", u"W0"},
        {u"T4:W0.DN", u"T4:5", 1, u"T4:0", u"W5.DN"}, {u"N7:W0", u"ST:W5", 0, u"ST-1:0", u"W0"},
        // A numeric second address gets a numeric header naming the same file and slot.
        {u"7:W0", u"7:5", 1, u"integer/7:0", u"W5"},
        {u"timer/1:4:W0.DN", u"timer/1:4:W2.ACC", 1, u"timer/1:4:0", u"W2.ACC"},
        {u"N7:W0", u"7:W5", 0, u"integer/7:0", u"W5"},
    };
    for (const auto& [a, b, result, header, item] : rows) {
        SCOPED_TRACE(Narrow(a) + " / " + Narrow(b));
        PrepareDriver(500);
        const HeaderAddress got = GetHeaderAddress(u"1", a, u"1", b);
        EXPECT_EQ(std::tuple(got.result, Narrow(got.header), Narrow(got.item)),
                  std::tuple(result, Narrow(header), Narrow(item)));
    }
    PrepareDriver(500);
    EXPECT_EQ(GetHeaderAddress(u"1", u"N7:W0", u"2", u"N7:W1").result, 0);
    EXPECT_EQ(GetHeaderAddress(u"01", u"N7:W0", u"1", u"N7:W1").result, 0);  // same station, other text
}

TEST(ValidAddressEx, RewritesEachAddress) {
    const std::pair<const char16_t*, const char16_t*> rows[] = {
        {u"", u"N7:W0"}, {u"XYZ", u"N7:W0"},
        // Example addresses of a file: a number below the file's threshold gets its default file.
        {u"N8", u"N7:W0"}, {u"N9", u"N9:W0"}, {u"B9", u"B3:W0"}, {u"B10", u"B10:W0"}, {u"A", u"A10:S0.2"},
        {u"I:1.", u"I:1.W0"}, {u"I:2", u"I:0.W0"}, {u"U:40", u"U:0"}, {u"INVALID:W3", u"U:W3"},
        // A float item on a file that is not a float file.
        {u"N7:F3", u"N7:W0"}, {u"A20:F1", u"A14:S0.2"}, {u"F8:F3/2", u"F8:F3"}, {u"F8:W3/2", u"F8:3"},
        {u"F8:3", u"F8:3"}, {u"T4:S2.ACC", u"T4:2.ACC"}, {u"T4:2", u"T4:2.DN"}, {u"C5:3.XX", u"C5:0.UA"},
        {u"ST9:4", u"ST9:4.2"}, {u"A10:4", u"A10:4.2"}, {u"A10:S4.7", u"A10:S4.7"}, {u"N7:S4", u"N7:S4.2"},
        {u"N7:S4/3", u"N7:S4/3"}, {u"I:1.3/4", u"I:1.W3/4"}, {u"7:5", u"7:5"}, {u"N3:5", u"N3:5"},
        // As typed into a sheet.
        {u"  n7:w5  ", u"N7:W5"}, {u"N7::5", u"N7:5"}, {u"N7:", u"N7:W0"},
        {u"N -2147483648:W2147483648/2147483648", u"N-2147483648:W2147483647/214"},
    };
    for (const auto& [typed, expected] : rows) {
        SCOPED_TRACE(Narrow(typed));
        PrepareDriver(500);
        EXPECT_EQ(Narrow(ValidAddressEx(typed)), Narrow(expected));
    }
}

// The verdict on a whole address is that of its split into a header and an item.
TEST(ValidAddressEx, ReturnsWhetherAReadTakesTheAddress) {
    const std::pair<const char16_t*, int32_t> rows[] = {
        {u"N7:W5", 0}, {u" n7:w05 ", 0}, {u"T4:2/acc", 0}, {u"I:1.W3/4", 0}, {u"7:W5", 0}, {u"timer/1:4:0.DN", 0},
        {u"ST9:S0.4", 0}, {u"N7:W5:3", -34}, {u"T4:W0", -34}, {u"N7:F3", -34}, {u"I:1.W3/4x", -34},
        {u"timer/1:4:0x.DN", -34}, {u"N7: W5", -34}, {u"7:\r1", -34}, {u"N7", -37}, {u"I:1.", -37}, {u"INVALID:W3", -37}, {u"N7x:W5", -37},
        {u"integer/7/0:W5", -37}, {u"N70000:W0", -39}, {u"N7:W5/16", -39},
    };
    for (const auto& [typed, verdict] : rows) {
        SCOPED_TRACE(Narrow(typed));
        PrepareDriver(500);
        HostBuffer b(typed, MIRA_VALID_ADDRESS_EX_MAX);
        EXPECT_EQ(UDrvValidAddressEx(b.data()), verdict);
    }
}

}  // namespace
}  // namespace mira::test
