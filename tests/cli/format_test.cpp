#include "cli/format.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <tuple>

#include "cli/args.h"
#include "cli/line_watch.h"
#include "cli/output.h"
#include "cli/ports.h"
#include "cli/values.h"
#include "mira/portkit_codes.h"

namespace mira::cli {
namespace {

namespace fs = std::filesystem;

// What print writes to a FILE.
template <class Print>
std::string Printed(Print print) {
    char* text = nullptr;
    size_t size = 0;
    FILE* out = ::open_memstream(&text, &size);
    print(out);
    std::fclose(out);
    std::string printed(text, size);
    std::free(text);
    return printed;
}

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
    EXPECT_EQ(FormatValue(MIRA_VALUE_STRING, full, false).size(), 84u);
    EXPECT_EQ(FormatValue(99, full, true), "null");
}

TEST(Format, FailuresExplainedByWhatTheLineShowed) {
    const int32_t status = MIRA_ERR_CONTROLLER_STATUS;
    const auto reply = [](uint8_t sts, uint8_t ext) {
        return LineObservation{.reply = true, .sts = sts, .extSts = ext};
    };
    const LineObservation naks{.naks = 3, .bytes = 6}, silent{}, flood{.bytes = 600};
    const struct { int32_t code; LineObservation seen; int exit; const char* message; } rows[] = {
        {status, reply(0x10, 0), kExitStatus, "STS 0x10: illegal command or format; is --model right?"},
        {status, reply(0x02, 0), kExitStatus, "STS 0x02: cannot guarantee delivery"},
        {status, reply(0xE0, 0), kExitStatus, "STS 0xE0: no meaning"},
        {6, reply(0xF0, 6), kExitStatus, "EXT STS 0x06: address does not point to something usable"},
        {status, {.reply = true, .carried = 189, .asked = 200}, kExitComm,
         "short reply: it carried 189 of the 200 data bytes asked for, with STS 0x00: success"},
        {0x11, silent, kExitStatus, "EXT STS 0x11: illegal data type"},
        {0x99, silent, kExitStatus, "EXT STS 0x99: no meaning"},
        {MIRA_PK_ERR_TIMEOUT, naks, kExitComm, "refused 3 frame(s) with DLE NAK, likely a frame-check mismatch"},
        {status, naks, kExitComm, "frame-check mismatch"},
        {status, silent, kExitNoResponse, "no reply within the reply time-out"},
        {status, flood, kExitComm, "more than 511 bytes"},
    };
    for (const auto& [code, seen, exit, message] : rows) {
        const Failure f = Explain(code, seen);
        EXPECT_EQ(f.exit, exit) << code << " " << f.message;
        EXPECT_NE(f.message.find(message), std::string::npos) << f.message;
    }
}

TEST(Format, CodesAndExitStatus) {
    const struct { int32_t code; int exit; const char* fragment; } rows[] = {
        {0, kExitOk, "no error"}, {MIRA_PK_ERR_TIMEOUT, kExitNoResponse, "no reply"},
        {MIRA_PK_ERR_SEND, kExitComm, "written"}, {MIRA_PK_ERR_NO_DEVICE, kExitComm, "does not exist"},
        {MIRA_ERR_CONTROLLER_STATUS, kExitStatus, "controller status"},
        {MIRA_PK_ERR_OVERFLOW, kExitStatus, "511"},  // the same number
        {0x10, kExitStatus, "extended status 0x10"}, {MIRA_ERR_BAD_HEADER, kExitUsage, "header"},
        {kDriverRefused, kExitUsage, "refused"}, {-2, kExitUsage, "error -2"},
    };
    for (const auto& [code, exit, fragment] : rows) {
        EXPECT_EQ(ExitCodeFor(code), exit) << code;
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
    }
}

TEST(Output, DisplayWidthAndEscapes) {
    const struct { std::string text; size_t width; std::string shown; } rows[] = {
        {"W0", 2, "W0"}, {"caf\xC3\xA9", 4, "caf\xC3\xA9"},  // one column for a two-byte letter
        {"e\xCC\x81", 1, "e\xCC\x81"},                  // a combining accent takes none
        {"\xE6\xB8\xA9\xE5\xBA\xA6", 4, "\xE6\xB8\xA9\xE5\xBA\xA6"},  // wide characters take two
        {"a\tb\x01\x7F", 5, "a\\tb\\x01\\x7F"}, {"\xC2\x85", 1, "\\u0085"}, {"\xC3", 1, "\xC3"},  // last: cut short
    };
    for (const auto& [text, width, shown] : rows) {
        EXPECT_EQ(DisplayWidth(text), width) << text;
        EXPECT_EQ(Printable(text), shown) << text;
    }
    EXPECT_EQ(Printed([](FILE* out) { PrintTable({{"ITEM", "VALUE"}, {"caf\xC3\xA9", "1"}, {"W", ""}}, out); }),
              "ITEM  VALUE\ncaf\xC3\xA9  1\nW\n");
}

TEST(LineWatch, TraceLinesObserved) {
    // Each after the trace's time stamp "10:00:00.000 ".
    const struct { const char* line; uint32_t naks; bool reply; uint8_t sts, ext; } rows[] = {
        {"Rx:10 15 ", 1, false, 0, 0}, {"Rx:10 06 ", 0, false, 0, 0},
        {"Rx:10 02 00 01 4F 10 05 00 10 03 A1 B2 ", 0, true, 0x10, 0},
        {"Rx:10 02 00 01 4F F0 05 00 06 10 03 A1 B2 ", 0, true, 0xF0, 0x06},
        {"Rx:10 02 00 01 0F 10 05 00 10 03 A1 B2 ", 0, false, 0, 0},  // a command, no reply
        {"Rx:10 02 00 ", 0, false, 0, 0}, {"Tx:10 15 ", 0, false, 0, 0}, {"Rx:zz", 0, false, 0, 0},
    };
    for (const auto& [line, naks, reply, sts, ext] : rows) {
        LineObservation seen;
        ObserveTraceLine(("10:00:00.000 " + std::string(line)).c_str(), &seen);
        EXPECT_EQ(seen.naks, naks) << line;
        EXPECT_EQ(seen.reply, reply) << line;
        EXPECT_EQ(seen.sts, sts) << line;
        EXPECT_EQ(sts == 0xF0 ? seen.extSts : 0, ext) << line;
        EXPECT_EQ(std::tie(seen.carried, seen.asked), std::make_tuple(-1, -1)) << line;
    }
    LineObservation seen;
    ObserveTraceLine("10:00:00.000 Reply carries 189 of the 200 data bytes asked for, STS 0x0", &seen);
    EXPECT_EQ(std::tie(seen.carried, seen.asked, seen.reply), std::make_tuple(189, 200, false));
}

// A machine's /sys and /dev under a temporary root: a USB adapter with a stable name and a latency
// timer of each row ("": none), an on-board port, and a virtual terminal that is no serial port.
TEST(Ports, StableNamesAndSlowAdaptersAndNothingFound) {
    char dir[] = "/tmp/mira-ports-XXXXXX";
    const fs::path root = ::mkdtemp(dir);
    auto listing = [&](bool json) { return Printed([&](FILE* out) { ListPorts(root.string(), out, json); }); };
    EXPECT_EQ(listing(false), "no serial ports found\n");
    for (const auto& [latency, warned] : {std::pair{"3", true}, {"2", false}, {"", false}, {"junk", false}}) {
        SCOPED_TRACE(latency);
        for (const char* d : {"sys/class/tty/ttyUSB0/device", "sys/class/tty/ttyS0/device",
                              "sys/class/tty/tty1", "dev/serial/by-id"})
            fs::create_directories(root / d);
        std::ofstream(root / "dev/ttyUSB0").put('\n');
        if (*latency != 0)
            std::ofstream(root / "sys/class/tty/ttyUSB0/device/latency_timer") << latency << "\n";
        fs::create_symlink("../../ttyUSB0", root / "dev/serial/by-id/usb-Adapter_A1-if00-port0");
        const std::string text = listing(false), json = listing(true);
        const std::string stable = "/dev/serial/by-id/usb-Adapter_A1-if00-port0";
        EXPECT_NE(text.find("/dev/ttyUSB0     " + stable + "\n"), std::string::npos) << text;
        EXPECT_NE(text.find("/dev/ttyS0\n"), std::string::npos) << "no blanks after a port without a stable name";
        const std::string ms = std::isdigit(static_cast<unsigned char>(latency[0])) ? latency : "null";
        const std::string usb = R"({"port":"/dev/ttyUSB0","stable":")" + stable + R"(","latency_ms":)" + ms + "}\n";
        EXPECT_NE(json.find(usb), std::string::npos) << json;
        EXPECT_NE(json.find(R"({"port":"/dev/ttyS0","stable":null,"latency_ms":null})"), std::string::npos) << json;
        EXPECT_EQ(text.find("tty1"), std::string::npos);  // no device behind it
        const std::string warning = "warning: USB latency timer " + std::string(latency) + " ms";
        EXPECT_EQ(text.find(warning) != std::string::npos, warned) << text;
        for (const auto& entry : fs::directory_iterator(root)) fs::remove_all(entry.path());
    }
    fs::remove_all(root);
}

}  // namespace
}  // namespace mira::cli
