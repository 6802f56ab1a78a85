#include <gtest/gtest.h>

#include "mira/portkit_codes.h"
#include "portkit/port_name.h"

namespace mira::portkit {
namespace {

DriverSettings WithName(const char* name) {
    DriverSettings s{};
    for (size_t i = 0; name[i] != 0 && i < 127; ++i) s.portName[i] = static_cast<char16_t>(name[i]);
    return s;
}

// What was read, in one line: the line, then the character format.
std::string Shown(const LineSettings& o) {
    static const char* const kFamilies[] = {"slc500", "plc5", "plc2"};
    std::string line = o.kind == LineKind::Serial ? "serial " + o.path
                       : o.kind == LineKind::Tcp  ? "tcp " + o.host + ":" + std::to_string(o.tcpPort)
                                                  : std::string("sim ") + kFamilies[static_cast<int>(o.family)] +
                                                       ":" + std::to_string(o.simStation);
    return line + " " + std::to_string(o.baud) + " " + std::to_string(o.dataBits) + std::to_string(o.parity) +
           std::to_string(o.stopBits) + " " + std::to_string(o.replyTimeoutMs) + (o.crc ? " crc" : " bcc");
}

TEST(PortName, NamesAndCharacterFormats) {
    struct Row {
        const char* name;
        uint32_t baud, parity, dataBits, stopBits, timeout;
        int32_t check;
        const char* shown;  // null: refused as bad settings
    };
    const Row rows[] = {
        {"", 0, 0, 0, 0, 0, 0, "sim slc500:1 19200 801 1000 bcc"},  // the DF1 factory defaults
        {"sim:plc5", 9600, 2, 7, 2, 250, 1, "sim plc5:1 9600 722 250 crc"},
        {"sim:plc2:9", 115200, 1, 8, 1, 0, 7, "sim plc2:9 115200 811 1000 crc"},
        {"sim:slc500:254", 0, 0, 0, 0, 0, -1, "sim slc500:254 19200 801 1000 bcc"},
        {"simple", 0, 0, 0, 0, 0, 0, "serial simple 19200 801 1000 bcc"},
        {"/dev/ttyUSB0", 0, 0, 0, 0, 0, 0, "serial /dev/ttyUSB0 19200 801 1000 bcc"},
        {"socket://127.0.0.1:4001", 0, 0, 0, 0, 0, 0, "tcp 127.0.0.1:4001 19200 801 1000 bcc"},
        {"socket://[::1]:502", 0, 0, 0, 0, 0, 0, "tcp ::1:502 19200 801 1000 bcc"},
        {"socket://gw.local:65535", 0, 0, 0, 0, 0, 0, "tcp gw.local:65535 19200 801 1000 bcc"},
        {"sim:slc500:255", 0, 0, 0, 0, 0, 0, nullptr}, {"sim:plc3", 0, 0, 0, 0, 0, 0, nullptr},
        {"sim:plc5:x", 0, 0, 0, 0, 0, 0, nullptr},
        {"socket://gw.local:65536", 0, 0, 0, 0, 0, 0, nullptr},
        {"socket://gw.local:0", 0, 0, 0, 0, 0, 0, nullptr},
        {"socket://gw.local", 0, 0, 0, 0, 0, 0, nullptr},
        {"socket://:4001", 0, 0, 0, 0, 0, 0, nullptr},
        {"socket://[::1]502", 0, 0, 0, 0, 0, 0, nullptr},
        {"socket://h:12ab", 0, 0, 0, 0, 0, 0, nullptr},
        {"sim", 19201, 0, 8, 1, 0, 0, nullptr}, {"sim", 14400, 0, 8, 1, 0, 0, nullptr},
        {"sim", 19200, 3, 8, 1, 0, 0, nullptr}, {"sim", 19200, 0, 6, 1, 0, 0, nullptr},
        {"sim", 19200, 0, 9, 1, 0, 0, nullptr}, {"sim", 19200, 0, 8, 3, 0, 0, nullptr},
        {"sim", 19200, 0, 8, 1, 600001, 0, nullptr},
    };
    for (const Row& row : rows) {
        DriverSettings s = WithName(row.name);
        s.baud = row.baud;
        s.parity = row.parity;
        s.dataBits = row.dataBits;
        s.stopBits = row.stopBits;
        s.replyTimeoutMs = row.timeout;
        s.ErrorCheckOption = row.check;
        LineSettings out;
        std::string why;
        const int32_t code = ReadLineSettings(s, &out, &why);
        SCOPED_TRACE(std::string(row.name) + " " + std::to_string(row.baud));
        if (row.shown == nullptr) {
            EXPECT_EQ(code, MIRA_PK_ERR_SETTINGS);
            EXPECT_FALSE(why.empty());
        } else {
            ASSERT_EQ(code, 0) << why;
            EXPECT_EQ(Shown(out), row.shown);
        }
    }
}

TEST(PortName, UnterminatedOrOddNamesStayInBounds) {
    DriverSettings s{};
    for (auto& c : s.portName) c = u'a';  // no terminator anywhere
    LineSettings out;
    std::string why;
    EXPECT_EQ(ReadLineSettings(s, &out, &why), MIRA_PK_ERR_SETTINGS);
    DriverSettings t = WithName("/dev/x");
    t.portName[6] = 0xD800;  // a lone surrogate
    EXPECT_EQ(ReadLineSettings(t, &out, &why), MIRA_PK_ERR_SETTINGS);
    DriverSettings u = WithName("/dev/tty");
    u.portName[8] = 0x00E9;  // é: a path in UTF-8
    ASSERT_EQ(ReadLineSettings(u, &out, &why), 0);
    EXPECT_EQ(out.path, "/dev/tty\xC3\xA9");
}

}  // namespace
}  // namespace mira::portkit
