#include "platform/wide.h"

#include <gtest/gtest.h>

#include <string>

namespace mira::wide {
namespace {

struct WtolCase {
    std::u16string text;
    int32_t value;
};

TEST(Wtol, ReadsBlanksSignAndDigits) {
    const WtolCase cases[] = {
        {std::u16string(80, u'9'), 2147483647},  // neither crashes nor reads on
        {u"42", 42},      {u"  \t7x", 7}, {u"-15", -15}, {u"+3", 3}, {u"", 0},
        {u"abc", 0},      {u"-", 0},      {u"- 4", 0},   {u"0012", 12},
        {u"2147483647", 2147483647},      {u"12 34", 12},
        // Past 32 bits the number saturates instead of wrapping into another.
        {u"2147483648", 2147483647},      {u"4294967297", 2147483647}, {u" +99999999999x", 2147483647},
        {u"-2147483648", -2147483647 - 1}, {u"-2147483649", -2147483647 - 1}, {u"-4294967297", -2147483647 - 1},
    };
    for (const auto& c : cases) EXPECT_EQ(wtol(c.text.c_str()), c.value) << c.text.size();
}

TEST(CaseFunctions, CompareAndUpperCase) {
    EXPECT_EQ(wcsicmp(u"Standard", u"sTANDARD"), 0);
    EXPECT_NE(wcsicmp(u"Standard", u"Standard "), 0);
    EXPECT_LT(wcsicmp(u"abc", u"ABD"), 0);
    EXPECT_EQ(wcsnicmp(u"N7:0", u"n7:9", 3), 0);
    EXPECT_NE(wcsnicmp(u"N7", u"N8", 5), 0);
    char16_t text[] = u"plc5 with i/o octal";
    EXPECT_EQ(std::u16string(wcsupr(text)), u"PLC5 WITH I/O OCTAL");
}

TEST(Copy, WcsncpyPadsAndCopyTextTerminates) {
    char16_t buffer[6];
    for (char16_t& c : buffer) c = u'#';
    wcsncpy(buffer, u"ab", 5);
    EXPECT_EQ(buffer[2], 0);
    EXPECT_EQ(buffer[4], 0);
    EXPECT_EQ(buffer[5], u'#');
    char16_t small[4];
    CopyText(small, 4, u"abcdef");
    EXPECT_EQ(std::u16string(small), u"abc");
    CopyText(small, 0, u"abcdef");  // no room: nothing written
    EXPECT_EQ(std::u16string(small), u"abc");
}

TEST(Wcstok, IsReentrant) {
    char16_t a[] = u"N7:0\tN7:1";
    char16_t b[] = u"x,y";
    char16_t* sa = nullptr;
    char16_t* sb = nullptr;
    EXPECT_EQ(std::u16string(wcstok(a, u"\t", &sa)), u"N7:0");
    EXPECT_EQ(std::u16string(wcstok(b, u",", &sb)), u"x");
    EXPECT_EQ(std::u16string(wcstok(nullptr, u"\t", &sa)), u"N7:1");
    EXPECT_EQ(std::u16string(wcstok(nullptr, u",", &sb)), u"y");
    EXPECT_EQ(wcstok(nullptr, u"\t", &sa), nullptr);
    char16_t only[] = u",,,";
    char16_t* so = nullptr;
    EXPECT_EQ(wcstok(only, u",", &so), nullptr);
}

TEST(Wcstod, ReadsNumbersAndStopsAtTheRest) {
    const char16_t* end = nullptr;
    EXPECT_DOUBLE_EQ(wcstod(u" 1.5e2x", &end), 150.0);
    EXPECT_EQ(*end, u'x');
    EXPECT_DOUBLE_EQ(wcstod(u"-0.25", &end), -0.25);
    const char16_t* text = u"abc";
    EXPECT_DOUBLE_EQ(wcstod(text, &end), 0.0);
    EXPECT_EQ(end, text);
}

struct FormatCase {
    const char16_t* expected;
    int written;
};

TEST(Swprintf, FormatsTheUsedSubset) {
    char16_t out[64];
    swprintf(out, 64, u"%d|%s|%c|%X|%02X|%o|%%", -12, u"N7", u'B', 0xABCDu, 5u, 8u);
    EXPECT_EQ(std::u16string(out), u"-12|N7|B|ABCD|05|10|%");
    swprintf(out, 64, u"%e", 1234.5);
    EXPECT_EQ(std::u16string(out), u"1.234500e+03");
    swprintf(out, 64, u"%02X", 0x1FFu);
    EXPECT_EQ(std::u16string(out), u"1FF");
}

TEST(Swprintf, NeverWritesPastItsBound) {
    for (size_t capacity = 1; capacity < 12; ++capacity) {
        char16_t out[16];
        for (char16_t& c : out) c = u'#';
        const int n = swprintf(out, capacity, u"%s-%d-%X", u"LONGTEXT", 123456, 0xFFFFFFFFu);
        EXPECT_LT(static_cast<size_t>(n), capacity);
        EXPECT_EQ(out[capacity - 1 < static_cast<size_t>(n) ? capacity - 1 : static_cast<size_t>(n)], 0);
        for (size_t i = capacity; i < 16; ++i) EXPECT_EQ(out[i], u'#') << capacity;
    }
}

}  // namespace
}  // namespace mira::wide
