#include "portkit/port_name.h"

#include <gtest/gtest.h>

#include "mira/portkit_codes.h"

namespace mira::portkit {
namespace {

// What was read, in one line: the line, then the character format.
std::string Shown(const LineSettings& o) {
    static const char* const kFamilies[] = {"slc500", "plc5", "plc2"};
    std::string line = o.kind == LineKind::Serial ? "serial " + o.path
                       : o.kind == LineKind::Tcp
                           ? "tcp " + o.host + ":" + std::to_string(o.tcpPort)
                           : std::string("sim ") + kFamilies[static_cast<int>(o.family)] + ":" +
                                 std::to_string(o.simStation);
    return line + " " + std::to_string(o.baud) + " " + std::to_string(o.dataBits) + std::to_string(o.parity) +
           std::to_string(o.stopBits) + " " + std::to_string(o.replyTimeoutMs) + (o.crc ? " crc" : " bcc");
}

TEST(PortName, NamesAndCharacterFormats) {
    const std::u16string unterminated(128, u'a');  // fills the field: no terminator anywhere
    struct Row {
        std::u16string name;
        uint32_t baud, parity, dataBits, stopBits, timeout;
        int32_t check;
        const char* shown;  // null: refused as bad settings
    };
    const Row rows[] = {
        {u"", 0, 0, 0, 0, 0, 0, "sim slc500:1 19200 801 1000 bcc"},  // the DF1 factory defaults
        {u"sim:plc5", 9600, 2, 7, 2, 250, 1, "sim plc5:1 9600 722 250 crc"},
        {u"sim:plc2:9", 115200, 1, 8, 1, 0, 7, "sim plc2:9 115200 811 1000 crc"},
        {u"sim:slc500:254", 0, 0, 0, 0, 0, -1, "sim slc500:254 19200 801 1000 bcc"},
        {u"simple", 0, 0, 0, 0, 0, 0, "serial simple 19200 801 1000 bcc"},
        {u"/dev/tty\u00e9", 0, 0, 0, 0, 0, 0,
         "serial /dev/tty\xC3\xA9 19200 801 1000 bcc"},  // a path in UTF-8
        {u"socket://[::1]:502", 0, 0, 0, 0, 0, 0, "tcp ::1:502 19200 801 1000 bcc"},
        {u"socket://gw.local:65535", 0, 0, 0, 0, 0, 0, "tcp gw.local:65535 19200 801 1000 bcc"},
        {unterminated, 0, 0, 0, 0, 0, 0, nullptr},
        {u"/dev/x\xD800", 0, 0, 0, 0, 0, 0, nullptr},  // a lone surrogate
        {u"sim:slc500:255", 0, 0, 0, 0, 0, 0, nullptr},
        {u"sim:plc3", 0, 0, 0, 0, 0, 0, nullptr},
        {u"sim:plc5:x", 0, 0, 0, 0, 0, 0, nullptr},
        {u"socket://gw.local:65536", 0, 0, 0, 0, 0, 0, nullptr},
        {u"socket://gw.local:0", 0, 0, 0, 0, 0, 0, nullptr},
        {u"socket://gw.local", 0, 0, 0, 0, 0, 0, nullptr},
        {u"socket://:4001", 0, 0, 0, 0, 0, 0, nullptr},
        {u"socket://[::1]502", 0, 0, 0, 0, 0, 0, nullptr},
        {u"socket://h:12ab", 0, 0, 0, 0, 0, 0, nullptr},
        {u"sim", 19201, 0, 8, 1, 0, 0, nullptr},
        {u"sim", 19200, 3, 8, 1, 0, 0, nullptr},
        {u"sim", 19200, 0, 6, 1, 0, 0, nullptr},
        {u"sim", 19200, 0, 9, 1, 0, 0, nullptr},
        {u"sim", 19200, 0, 8, 3, 0, 0, nullptr},
        {u"sim", 19200, 0, 8, 1, 600001, 0, nullptr},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(testing::PrintToString(row.name) + " " + std::to_string(row.baud));
        DriverSettings s{};
        for (size_t i = 0; i < row.name.size() && i < std::size(s.portName); ++i) s.portName[i] = row.name[i];
        s.baud = row.baud;
        s.parity = row.parity;
        s.dataBits = row.dataBits;
        s.stopBits = row.stopBits;
        s.replyTimeoutMs = row.timeout;
        s.ErrorCheckOption = row.check;
        LineSettings out;
        std::string why;
        const int32_t code = ReadLineSettings(s, &out, &why);
        if (row.shown == nullptr) {
            EXPECT_EQ(code, MIRA_PK_ERR_SETTINGS);
            EXPECT_FALSE(why.empty());
        } else {
            ASSERT_EQ(code, 0) << why;
            EXPECT_EQ(Shown(out), row.shown);
        }
    }
}

}  // namespace
}  // namespace mira::portkit
