#include "platform/wide.h"

#include <gtest/gtest.h>

#include <string>

namespace mira::wide {
namespace {

// Past 32 bits the number saturates instead of wrapping into another; 80 digits neither crash nor read on.
TEST(Wtol, ReadsBlanksSignAndDigits) {
    const std::pair<std::u16string, int32_t> cases[] = {
        {std::u16string(80, u'9'), 2147483647},
        {u"  \t7x", 7},
        {u"+3", 3},
        {u"- 4", 0},
        {u"2147483647", 2147483647},
        {u"2147483648", 2147483647},
        {u"-2147483648", -2147483647 - 1},
        {u"-2147483649", -2147483647 - 1},
    };
    for (const auto& [text, value] : cases) EXPECT_EQ(wtol(text.c_str()), value) << text.size();
}

TEST(Copy, CopyTextTerminates) {
    char16_t small[4] = u"abc";
    CopyText(small, 0, u"abcdef");  // no room: nothing written
    EXPECT_EQ(std::u16string(small), u"abc");
}

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
