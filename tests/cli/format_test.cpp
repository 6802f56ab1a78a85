#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>

#include "cli/args.h"
#include "cli/format.h"
#include "cli/line_watch.h"
#include "cli/output.h"
#include "cli/values.h"
#include "mira/portkit_codes.h"

namespace mira::cli {
namespace {

TEST(Format, WideRoundTrip) {
    const struct { std::string in; std::u16string wide; std::string back; } rows[] = {
        {"N7:0", u"N7:0", "N7:0"}, {"caf\xC3\xA9", u"caf\u00E9", "caf\xC3\xA9"},
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

TEST(Format, StringValueStopsAtTheFieldsEnd) {
    MiraValue full{};
    for (auto& c : full.text) c = u'A';  // no terminator
    EXPECT_EQ(FormatValue(MIRA_VALUE_STRING, full, false).size(), 84u);
    EXPECT_EQ(FormatValue(99, full, true), "null");
}

TEST(Format, FailuresExplainedByWhatTheLineShowed) {
    auto reply = [](uint8_t sts, uint8_t ext) {
        LineObservation seen;
        seen.reply = true;
        seen.sts = sts;
        seen.extSts = ext;
        return seen;
    };
    LineObservation naks, silent, flood;
    naks.naks = 3;
    naks.bytes = 6;
    flood.bytes = 600;
    const struct { int32_t code; LineObservation seen; int exit; const char* message; } rows[] = {
        {MIRA_ERR_CONTROLLER_STATUS, reply(0x10, 0), kExitStatus, "STS 0x10: illegal command or format; is --model right?"},
        {MIRA_ERR_CONTROLLER_STATUS, reply(0x50, 0), kExitStatus, "STS 0x50: addressing problem"},
        {MIRA_ERR_CONTROLLER_STATUS, reply(0x02, 0), kExitStatus, "STS 0x02: cannot guarantee delivery"},
        {MIRA_ERR_CONTROLLER_STATUS, reply(0xE0, 0), kExitStatus, "STS 0xE0: no meaning"},
        {6, reply(0xF0, 6), kExitStatus, "EXT STS 0x06: address does not point to something usable"},
        {0x10, reply(0x10, 0), kExitStatus, "STS 0x10"},  // a string read hands on the STS itself
        {0x11, silent, kExitStatus, "EXT STS 0x11: illegal data type"},
        {0x99, silent, kExitStatus, "EXT STS 0x99: no meaning"},
        {MIRA_PK_ERR_TIMEOUT, naks, kExitComm, "refused 3 frame(s) with DLE NAK, likely a frame-check mismatch"},
        {MIRA_ERR_CONTROLLER_STATUS, naks, kExitComm, "frame-check mismatch"},
        {MIRA_ERR_CONTROLLER_STATUS, silent, kExitNoResponse, "no reply within the reply time-out"},
        {MIRA_ERR_CONTROLLER_STATUS, flood, kExitComm, "more than 511 bytes"},
        {MIRA_PK_ERR_TIMEOUT, silent, kExitNoResponse, "no reply"},
        {MIRA_ERR_BAD_HEADER, silent, kExitUsage, "no valid file"},
    };
    for (const auto& row : rows) {
        const Failure f = Explain(row.code, row.seen);
        EXPECT_EQ(f.exit, row.exit) << row.code << " " << f.message;
        EXPECT_NE(f.message.find(row.message), std::string::npos) << f.message;
    }
}

TEST(Format, CodesAndExitStatus) {
    const struct { int32_t code; int exit; const char* fragment; } rows[] = {
        {0, kExitOk, "no error"}, {MIRA_PK_ERR_TIMEOUT, kExitNoResponse, "no reply"},
        {MIRA_PK_ERR_SEND, kExitComm, "written"}, {MIRA_PK_ERR_CLOSED, kExitComm, "vanished"},
        {MIRA_PK_ERR_NO_DEVICE, kExitComm, "does not exist"},
        {MIRA_ERR_CONTROLLER_STATUS, kExitStatus, "controller status"},
        {MIRA_PK_ERR_OVERFLOW, kExitStatus, "511"},  // the same number
        {0x10, kExitStatus, "extended status 0x10"}, {MIRA_ERR_BAD_HEADER, kExitUsage, "header"},
        {MIRA_ERR_BAD_MNEMONIC, kExitUsage, "mnemonic"}, {MIRA_ERR_ODD_ASCII_START, kExitUsage, "odd byte"},
        {kDriverRefused, kExitUsage, "refused"}, {-2, kExitUsage, "error -2"},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(ExitCodeFor(row.code), row.exit) << row.code;
        EXPECT_NE(DescribeCode(row.code).find(row.fragment), std::string::npos) << DescribeCode(row.code);
    }
}

TEST(Values, RuleOfEachItemAndWhatFitsIt) {
    using K = ValueRule::Kind;
    const struct { int32_t type; const char* canonical; const char* text; bool ok; K kind; } rows[] = {
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

TEST(Output, DisplayWidthAndEscapes) {
    const struct { std::string text; size_t width; std::string shown; } rows[] = {
        {"W0", 2, "W0"},
        {"caf\xC3\xA9", 4, "caf\xC3\xA9"},                  // one column for a two-byte letter
        {"e\xCC\x81", 1, "e\xCC\x81"},                      // a combining accent takes none
        {"\xE6\xB8\xA9\xE5\xBA\xA6", 4, "\xE6\xB8\xA9\xE5\xBA\xA6"},  // wide characters take two
        {"a\tb\x01\x7F", 5, "a\\tb\\x01\\x7F"}, {"\xC2\x85", 1, "\\u0085"},
        {"\xC3", 1, "\xC3"},                                 // cut short
    };
    for (const auto& row : rows) {
        EXPECT_EQ(DisplayWidth(row.text), row.width) << row.text;
        EXPECT_EQ(Printable(row.text), row.shown) << row.text;
    }
    char* text = nullptr;
    size_t size = 0;
    FILE* out = ::open_memstream(&text, &size);
    PrintTable({{"ITEM", "VALUE"}, {"caf\xC3\xA9", "1"}, {"W", ""}}, out);
    std::fclose(out);
    EXPECT_EQ(std::string(text, size), "ITEM  VALUE\ncaf\xC3\xA9  1\nW\n");
    std::free(text);
}

TEST(LineWatch, TraceLinesObserved) {
    const struct { const char* line; uint32_t naks; bool reply; uint8_t sts, ext; } rows[] = {
        {"10:00:00.000 Rx:10 15 ", 1, false, 0, 0}, {"10:00:00.000 Rx:10 06 ", 0, false, 0, 0},
        {"10:00:00.000 Rx:10 02 00 01 4F 10 05 00 10 03 A1 B2 ", 0, true, 0x10, 0},
        {"10:00:00.000 Rx:10 02 00 01 4F F0 05 00 06 10 03 A1 B2 ", 0, true, 0xF0, 0x06},
        {"10:00:00.000 Rx:10 02 00 01 0F 10 05 00 10 03 A1 B2 ", 0, false, 0, 0},  // a command, no reply
        {"10:00:00.000 Rx:10 02 00 ", 0, false, 0, 0}, {"10:00:00.000 Tx:10 15 ", 0, false, 0, 0},
        {"10:00:00.000 Rx:zz", 0, false, 0, 0},
    };
    for (const auto& row : rows) {
        LineObservation seen;
        ObserveTraceLine(row.line, &seen);
        EXPECT_EQ(seen.naks, row.naks) << row.line;
        EXPECT_EQ(seen.reply, row.reply) << row.line;
        EXPECT_EQ(seen.sts, row.sts) << row.line;
        EXPECT_EQ(row.sts == 0xF0 ? seen.extSts : 0, row.ext) << row.line;
    }
}

}  // namespace
}  // namespace mira::cli
