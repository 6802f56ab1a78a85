// The host's texts, the meaning of codes and values for a write: pure, no line.
#include <gtest/gtest.h>

#include <cmath>
#include <tuple>

#include "host/codes.h"
#include "host/line_watch.h"
#include "host/text.h"
#include "host/values.h"
#include "mira/portkit_codes.h"

namespace mira::host {
namespace {

TEST(Format, WideRoundTrip) {
    const struct { std::string in; std::u16string wide; std::string back; } rows[] = {
        {"N7:0", u"N7:0", "N7:0"}, {"caf\xC3\xA9", u"caf\u00E9", "caf\xC3\xA9"},
        {"\xE2\x82\xAC", u"\u20AC", "\xE2\x82\xAC"}, {"\xF0\x9F\x98\x80", u"\uFFFD", "\xEF\xBF\xBD"},
        {"a\xFF", u"a\uFFFD", "a\xEF\xBF\xBD"}, {"\xC3", u"\uFFFD", "\xEF\xBF\xBD"},  // a stray byte; cut short
    };
    for (const auto& [in, wide, back] : rows) {
        EXPECT_EQ(ToWide(in), wide) << in;
        EXPECT_EQ(ToUtf8(wide.c_str(), 100), back) << in;
    }
    const char16_t unterminated[3] = {u'a', u'b', u'c'};
    EXPECT_EQ(ToUtf8(unterminated, 3), "abc");
}

TEST(Format, JsonStringsFileTimesAndStringValues) {
    EXPECT_EQ(JsonString("a\"b\\c\n\t\x01"), "\"a\\\"b\\\\c\\n\\t\\u0001\"");
    // 2026-12-07 03:04:05.678 as a FILETIME.
    const uint64_t ticks = (1796612645ull + 11644473600ull) * 10000000ull + 6780000ull;
    EXPECT_EQ(FormatFileTime({static_cast<uint32_t>(ticks), static_cast<uint32_t>(ticks >> 32)}),
              "2026-12-07T03:04:05.678");
    EXPECT_EQ(FormatFileTime({0, 0}), "1970-01-01T00:00:00.000");
    MiraValue full{};
    for (auto& c : full.text) c = u'A';  // no terminator: the value stops at the field's end
    EXPECT_EQ(FormatValue(ValueOf(MIRA_VALUE_STRING, full), false).size(), 84u);
    EXPECT_EQ(FormatValue(ValueOf(99, full), true), "null");
}

TEST(Format, FailuresExplainedByWhatTheLineShowed) {
    const int32_t status = MIRA_ERR_CONTROLLER_STATUS;
    const auto reply = [](uint8_t sts, uint8_t ext) {
        return LineObservation{.reply = true, .sts = sts, .extSts = ext};
    };
    const LineObservation naks{.naks = 3, .bytes = 6}, silent{}, flood{.bytes = 600}, acked{.acks = 1, .bytes = 2};
    const struct { int32_t code; LineObservation seen; Cause cause; const char* message; } rows[] = {
        {status, reply(0x10, 0), Cause::Status, "STS 0x10: illegal command or format; is --model right?"},
        {status, reply(0x02, 0), Cause::Status, "STS 0x02: cannot guarantee delivery"},
        {status, reply(0xE0, 0), Cause::Status, "STS 0xE0: no meaning"},
        {6, reply(0xF0, 6), Cause::Status, "EXT STS 0x06: address does not point to something usable"},
        {status, {.reply = true, .carried = 189, .asked = 200}, Cause::Line,
         "short reply: it carried 189 of the 200 data bytes asked for, with STS 0x00: success"},
        {0x11, silent, Cause::Status, "EXT STS 0x11: illegal data type"},
        {0x99, silent, Cause::Status, "EXT STS 0x99: no meaning"},
        {MIRA_PK_ERR_TIMEOUT, naks, Cause::Line, "refused 3 frame(s) with DLE NAK, likely a frame-check mismatch"},
        {status, naks, Cause::Line, "frame-check mismatch"},
        {status, silent, Cause::NoReply, "no reply within the reply time-out"},
        {status, flood, Cause::Line, "more than 511 bytes"},
        // The frame taken, never answered: most often another station's number.
        {MIRA_PK_ERR_TIMEOUT, acked, Cause::NoReply, "acknowledged the frame (DLE ACK) but never answered; is --dst right?"},
    };
    for (const auto& [code, seen, cause, message] : rows) {
        const Failure f = Explain(code, seen);
        EXPECT_EQ(f.cause, cause) << code << " " << f.message;
        EXPECT_NE(f.message.find(message), std::string::npos) << f.message;
    }
    EXPECT_EQ(Explain(MIRA_PK_ERR_TIMEOUT, silent).message, DescribeCode(MIRA_PK_ERR_TIMEOUT)) << "no hint without an ACK";
}

TEST(Format, CodesAndTheirCauses) {
    const struct { int32_t code; Cause cause; const char* fragment; } rows[] = {
        {0, Cause::None, "no error"}, {MIRA_PK_ERR_TIMEOUT, Cause::NoReply, "no reply"},
        {MIRA_PK_ERR_SEND, Cause::Line, "written"}, {MIRA_PK_ERR_NO_DEVICE, Cause::Line, "does not exist"},
        {MIRA_ERR_CONTROLLER_STATUS, Cause::Status, "controller status"},
        {MIRA_PK_ERR_OVERFLOW, Cause::Status, "511"},  // the same number
        {0x10, Cause::Status, "extended status 0x10"}, {MIRA_ERR_BAD_HEADER, Cause::Refused, "header"},
        {kDriverRefused, Cause::Refused, "refused"}, {kHostRefused, Cause::Refused, "refused before anything"},
        {-4, Cause::Refused, "error -4"}, {MIRA_PK_ERR_CANCELLED, Cause::Line, "ended by the host"},
        {MIRA_PK_ERR_CLOSED, Cause::Line, "vanished"}, {MIRA_PK_ERR_REFUSED, Cause::Line, "refused the frame"},
        {kLineAlreadyOpen, Cause::Refused, "one line per process"},
    };
    for (const auto& [code, cause, fragment] : rows) {
        EXPECT_EQ(CauseOf(code), cause) << code;
        EXPECT_NE(DescribeCode(code).find(fragment), std::string::npos) << DescribeCode(code);
    }
}

TEST(Values, RuleOfEachItemAndWhatFitsIt) {
    using K = ValueRule::Kind;
    const struct { int32_t type; const char* canonical; const char* text; bool ok; K kind; } rows[] = {
        {1, "W5", "32767", true, K::Word}, {1, "W5", "-32769", false, K::Word}, {1, "W5", "1.5", false, K::Word},
        {1, "B5", "9999", true, K::Bcd}, {1, "B5", "-1", false, K::Bcd}, {1, "5/3", "1", true, K::Bit},
        {1, "5.3", "2", false, K::Bit}, {1, "0.DN", "0", true, K::Bit}, {1, "B0.PRE", "10000", false, K::Bcd},
        {1, "0.ACC", "-5", true, K::Word}, {2, "F0", "3.4e38", true, K::Float}, {2, "F0", "inf", false, K::Float},
        {2, "F0", "-3.40282347e+38", true, K::Float}, {2, "F0", "3.4028236e38", false, K::Float},  // rounds past
        {3, "S0.4", "ABCD", true, K::String}, {3, "S0.4", "ABCDE", false, K::String},
        {3, "0.2", "\xE2\x82\xAC", false, K::String},  // no 8-bit character
    };
    for (const auto& [type, canonical, text, ok, kind] : rows) {
        SCOPED_TRACE(std::string(canonical) + " " + text);
        const ValueRule rule = RuleFor(type, canonical);
        EXPECT_EQ(rule.kind, kind);
        HostValueCore value;
        std::string why;
        EXPECT_EQ(MakeHostValue(rule, text, &value, &why), ok);
        EXPECT_EQ(why.empty(), ok) << why;
        EXPECT_TRUE(!ok || kind != K::Float || std::isfinite(static_cast<float>(value.value.real)));
    }
}

TEST(LineWatch, TraceLinesObserved) {
    // Each after the trace's time stamp "10:00:00.000 ".
    // A DLE NAK is not counted from the trace: it may answer a line reset rather than a frame.
    const struct { const char* line; bool reply; uint8_t sts, ext; } rows[] = {
        {"Rx:10 15 ", false, 0, 0}, {"Rx:10 06 ", false, 0, 0},
        {"Rx:10 02 00 01 4F 10 05 00 10 03 A1 B2 ", true, 0x10, 0},
        {"Rx:10 02 00 01 4F F0 05 00 06 10 03 A1 B2 ", true, 0xF0, 0x06},
        {"Rx:10 02 00 01 0F 10 05 00 10 03 A1 B2 ", false, 0, 0},  // a command, no reply
        {"Rx:10 02 00 ", false, 0, 0}, {"Tx:10 15 ", false, 0, 0}, {"Rx:zz", false, 0, 0},
    };
    for (const auto& [line, reply, sts, ext] : rows) {
        LineObservation seen;
        ObserveTraceLine(("10:00:00.000 " + std::string(line)).c_str(), &seen);
        EXPECT_EQ(seen.naks, 0u) << line;
        EXPECT_EQ(seen.reply, reply) << line;
        EXPECT_EQ(seen.sts, sts) << line;
        EXPECT_EQ(sts == 0xF0 ? seen.extSts : 0, ext) << line;
        EXPECT_EQ(std::tie(seen.carried, seen.asked), std::make_tuple(-1, -1)) << line;
    }
    LineObservation seen;
    ObserveTraceLine("10:00:00.000 Reply carries 189 of the 200 data bytes asked for, STS 0x0", &seen);
    EXPECT_EQ(std::tie(seen.carried, seen.asked, seen.reply), std::make_tuple(189, 200, false));
}

}  // namespace
}  // namespace mira::host
