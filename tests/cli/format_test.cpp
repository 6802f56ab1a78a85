#include <gtest/gtest.h>

#include "cli/args.h"
#include "cli/format.h"
#include "cli/output.h"
#include "cli/values.h"
#include "mira/portkit_codes.h"

namespace mira::cli {
namespace {

TEST(Format, WideRoundTrip) {
    const struct {
        std::string in;
        std::u16string wide;
        std::string back;
    } rows[] = {
        {"N7:0", u"N7:0", "N7:0"},
        {"caf\xC3\xA9", u"caf\u00E9", "caf\xC3\xA9"},
        {"\xE2\x82\xAC", u"\u20AC", "\xE2\x82\xAC"},
        {"a\xFF", u"a\uFFFD", "a\xEF\xBF\xBD"},     // a stray byte
        {"\xC3", u"\uFFFD", "\xEF\xBF\xBD"},        // cut short
        {"\xF0\x9F\x98\x80", u"\uFFFD", "\xEF\xBF\xBD"},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(ToWide(row.in), row.wide) << row.in;
        EXPECT_EQ(ToUtf8(row.wide.c_str(), 100), row.back) << row.in;
    }
    const char16_t unterminated[3] = {u'a', u'b', u'c'};
    EXPECT_EQ(ToUtf8(unterminated, 3), "abc");
}

TEST(Format, JsonStrings) {
    EXPECT_EQ(JsonString("W0"), "\"W0\"");
    EXPECT_EQ(JsonString("a\"b\\c\n\t\x01"), "\"a\\\"b\\\\c\\n\\t\\u0001\"");
}

TEST(Format, FileTimes) {
    // 2026-12-07 03:04:05.678 as a FILETIME.
    const uint64_t seconds = 1796612645ull + 11644473600ull;
    const uint64_t ticks = seconds * 10000000ull + 6780000ull;
    EXPECT_EQ(FormatFileTime({static_cast<uint32_t>(ticks), static_cast<uint32_t>(ticks >> 32)}),
              "2026-12-07T03:04:05.678");
    EXPECT_EQ(FormatFileTime({0, 0}), "1970-01-01T00:00:00.000");
}

TEST(Format, Values) {
    MiraValue v{};
    v.integer = -5;
    EXPECT_EQ(FormatValue(MIRA_VALUE_INTEGER, v, true), "-5");
    v.real = 1.5;
    EXPECT_EQ(FormatValue(MIRA_VALUE_DOUBLE, v, true), "1.5");
    v.real = 1.0 / 0.0;
    EXPECT_EQ(FormatValue(MIRA_VALUE_DOUBLE, v, true), "null");
    MiraValue t{};
    const std::u16string text = u"HI \"X\"";
    std::copy(text.begin(), text.end(), t.text);
    EXPECT_EQ(FormatValue(MIRA_VALUE_STRING, t, false), "HI \"X\"");
    EXPECT_EQ(FormatValue(MIRA_VALUE_STRING, t, true), "\"HI \\\"X\\\"\"");
    MiraValue full{};
    for (auto& c : full.text) c = u'A';  // no terminator: stops at the field's end
    EXPECT_EQ(FormatValue(MIRA_VALUE_STRING, full, false).size(), 84u);
    EXPECT_EQ(FormatValue(99, v, true), "null");
}

TEST(Format, CodesAndExitStatus) {
    const struct {
        int32_t code;
        int exit;
        const char* fragment;
    } rows[] = {
        {0, kExitOk, "no error"},
        {MIRA_PK_ERR_TIMEOUT, kExitNoResponse, "no reply"},
        {MIRA_PK_ERR_SEND, kExitComm, "written"},
        {MIRA_PK_ERR_CLOSED, kExitComm, "vanished"},
        {MIRA_PK_ERR_NO_DEVICE, kExitComm, "does not exist"},
        {MIRA_ERR_CONTROLLER_STATUS, kExitStatus, "controller status"},
        {MIRA_PK_ERR_OVERFLOW, kExitStatus, "511"},  // the same number
        {0x10, kExitStatus, "extended status 0x10"},
        {MIRA_ERR_BAD_HEADER, kExitUsage, "header"},
        {MIRA_ERR_BAD_MNEMONIC, kExitUsage, "mnemonic"},
        {MIRA_ERR_ODD_ASCII_START, kExitUsage, "odd byte"},
        {kDriverRefused, kExitUsage, "refused"},
        {-2, kExitUsage, "error -2"},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(ExitCodeFor(row.code), row.exit) << row.code;
        EXPECT_NE(DescribeCode(row.code).find(row.fragment), std::string::npos) << DescribeCode(row.code);
    }
}

TEST(Values, RuleOfEachItemAndWhatFitsIt) {
    using K = ValueRule::Kind;
    const struct {
        int32_t type;
        const char* canonical;
        const char* text;
        bool ok;
        K kind;
    } rows[] = {
        {1, "W5", "32767", true, K::Word},       {1, "W5", "-32769", false, K::Word},
        {1, "W5", "70000", false, K::Word},      {1, "W5", "1.5", false, K::Word},
        {1, "B5", "9999", true, K::Bcd},         {1, "B5", "-1", false, K::Bcd},
        {1, "5/3", "1", true, K::Bit},           {1, "5.3", "2", false, K::Bit},
        {1, "0.DN", "0", true, K::Bit},          {1, "B0.PRE", "10000", false, K::Bcd},
        {1, "0.ACC", "-5", true, K::Word},       {2, "F0", "3.4e38", true, K::Float},
        {2, "F0", "1e39", false, K::Float},      {2, "F0", "inf", false, K::Float},
        {3, "S0.4", "ABCD", true, K::String},    {3, "S0.4", "ABCDE", false, K::String},
        {3, "0.2", "\xE2\x82\xAC", false, K::String},  // no 8-bit character
    };
    for (const auto& row : rows) {
        const ValueRule rule = RuleFor(row.type, row.canonical);
        EXPECT_EQ(rule.kind, row.kind) << row.canonical;
        HostValueCore value;
        std::string why;
        EXPECT_EQ(MakeHostValue(rule, row.text, &value, &why), row.ok) << row.canonical << " " << row.text;
        EXPECT_EQ(why.empty(), row.ok) << why;
    }
}

TEST(Output, JsonRowsHaveExactlyTheFields) {
    Row good;
    good.item = "W0";
    good.jsonValue = "42";
    good.quality = 192;
    good.time = "2026-12-07T03:04:05.678";
    EXPECT_EQ(RowJson(good), R"({"item":"W0","value":42,"quality":192,"time":"2026-12-07T03:04:05.678"})");
    Row bad;
    bad.item = "W\"1";
    bad.time = "t";
    bad.errorCode = 257;
    bad.errorMessage = "odd";
    EXPECT_EQ(RowJson(bad),
              R"({"item":"W\"1","value":null,"quality":null,"time":"t","error":{"code":257,"message":"odd"}})");
}

}  // namespace
}  // namespace mira::cli
