#include <gtest/gtest.h>
#include <termios.h>

#include "mira/portkit_codes.h"
#include "portkit/port_name.h"

namespace mira::portkit {
namespace {

DriverSettings WithName(const char* name) {
    DriverSettings s{};
    for (size_t i = 0; name[i] != 0 && i < 127; ++i) s.portName[i] = static_cast<char16_t>(name[i]);
    return s;
}

TEST(PortName, KindsAndParts) {
    struct Row {
        const char* name;
        int32_t code;
        LineKind kind;
        const char* hostOrPath;
        uint16_t port;
        SimFamily family;
        uint8_t station;
    };
    const Row rows[] = {
        {"", 0, LineKind::Simulator, "", 0, SimFamily::Slc500, 1},
        {"sim", 0, LineKind::Simulator, "", 0, SimFamily::Slc500, 1},
        {"sim:plc5", 0, LineKind::Simulator, "", 0, SimFamily::Plc5, 1},
        {"sim:plc2:9", 0, LineKind::Simulator, "", 0, SimFamily::Plc2, 9},
        {"sim:slc500:254", 0, LineKind::Simulator, "", 0, SimFamily::Slc500, 254},
        {"sim:slc500:255", MIRA_PK_ERR_SETTINGS, LineKind::Simulator, "", 0, SimFamily::Slc500, 1},
        {"sim:plc3", MIRA_PK_ERR_SETTINGS, LineKind::Simulator, "", 0, SimFamily::Slc500, 1},
        {"sim:plc5:x", MIRA_PK_ERR_SETTINGS, LineKind::Simulator, "", 0, SimFamily::Slc500, 1},
        {"simple", 0, LineKind::Serial, "simple", 0, SimFamily::Slc500, 1},
        {"/dev/ttyUSB0", 0, LineKind::Serial, "/dev/ttyUSB0", 0, SimFamily::Slc500, 1},
        {"socket://127.0.0.1:4001", 0, LineKind::Tcp, "127.0.0.1", 4001, SimFamily::Slc500, 1},
        {"socket://[::1]:502", 0, LineKind::Tcp, "::1", 502, SimFamily::Slc500, 1},
        {"socket://gw.local:65535", 0, LineKind::Tcp, "gw.local", 65535, SimFamily::Slc500, 1},
        {"socket://gw.local:65536", MIRA_PK_ERR_SETTINGS, LineKind::Tcp, "", 0, SimFamily::Slc500, 1},
        {"socket://gw.local:0", MIRA_PK_ERR_SETTINGS, LineKind::Tcp, "", 0, SimFamily::Slc500, 1},
        {"socket://gw.local", MIRA_PK_ERR_SETTINGS, LineKind::Tcp, "", 0, SimFamily::Slc500, 1},
        {"socket://:4001", MIRA_PK_ERR_SETTINGS, LineKind::Tcp, "", 0, SimFamily::Slc500, 1},
        {"socket://[::1]502", MIRA_PK_ERR_SETTINGS, LineKind::Tcp, "", 0, SimFamily::Slc500, 1},
        {"socket://h:12ab", MIRA_PK_ERR_SETTINGS, LineKind::Tcp, "", 0, SimFamily::Slc500, 1},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        LineSettings out;
        std::string why;
        ASSERT_EQ(ReadLineSettings(WithName(row.name), &out, &why), row.code);
        if (row.code != 0) {
            EXPECT_FALSE(why.empty());
            continue;
        }
        EXPECT_EQ(out.kind, row.kind);
        if (row.kind == LineKind::Serial) {
            EXPECT_EQ(out.path, row.hostOrPath);
        }
        if (row.kind == LineKind::Tcp) {
            EXPECT_EQ(out.host, row.hostOrPath);
            EXPECT_EQ(out.tcpPort, row.port);
        }
        if (row.kind == LineKind::Simulator) {
            EXPECT_EQ(out.family, row.family);
            EXPECT_EQ(out.simStation, row.station);
        }
    }
}

TEST(PortName, CharacterFormat) {
    struct Row {
        uint32_t baud, parity, dataBits, stopBits, timeout;
        int32_t code;
        uint32_t wantBaud, wantData, wantStop, wantTimeout;
    };
    const Row rows[] = {
        {0, 0, 0, 0, 0, 0, 19200, 8, 1, 1000},  // the DF1 factory defaults
        {9600, 2, 7, 2, 250, 0, 9600, 7, 2, 250},
        {115200, 1, 8, 1, 0, 0, 115200, 8, 1, 1000},
        {19201, 0, 8, 1, 0, MIRA_PK_ERR_SETTINGS, 0, 0, 0, 0},
        {19200, 3, 8, 1, 0, MIRA_PK_ERR_SETTINGS, 0, 0, 0, 0},
        {19200, 0, 6, 1, 0, MIRA_PK_ERR_SETTINGS, 0, 0, 0, 0},
        {19200, 0, 9, 1, 0, MIRA_PK_ERR_SETTINGS, 0, 0, 0, 0},
        {19200, 0, 8, 3, 0, MIRA_PK_ERR_SETTINGS, 0, 0, 0, 0},
        {19200, 0, 8, 1, 600001, MIRA_PK_ERR_SETTINGS, 0, 0, 0, 0},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.baud * 100 + row.dataBits);
        DriverSettings s = WithName("sim");
        s.baud = row.baud;
        s.parity = row.parity;
        s.dataBits = row.dataBits;
        s.stopBits = row.stopBits;
        s.replyTimeoutMs = row.timeout;
        LineSettings out;
        std::string why;
        ASSERT_EQ(ReadLineSettings(s, &out, &why), row.code);
        if (row.code != 0) continue;
        EXPECT_EQ(out.baud, row.wantBaud);
        EXPECT_EQ(out.dataBits, row.wantData);
        EXPECT_EQ(out.stopBits, row.wantStop);
        EXPECT_EQ(out.replyTimeoutMs, row.wantTimeout);
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

TEST(PortName, CheckOptionChoosesCrc) {
    const struct {
        int32_t option;
        bool crc;
    } rows[] = {{-1, false}, {0, false}, {1, true}, {7, true}};
    for (const auto& row : rows) {
        DriverSettings s = WithName("sim");
        s.ErrorCheckOption = row.option;
        LineSettings out;
        std::string why;
        ASSERT_EQ(ReadLineSettings(s, &out, &why), 0);
        EXPECT_EQ(out.crc, row.crc) << row.option;
    }
}

TEST(PortName, SpeedTable) {
    EXPECT_EQ(SpeedConstant(19200), static_cast<uint32_t>(B19200));
    EXPECT_EQ(SpeedConstant(300), static_cast<uint32_t>(B300));
    EXPECT_EQ(SpeedConstant(0), 0u);
    EXPECT_EQ(SpeedConstant(14400), 0u);
}

}  // namespace
}  // namespace mira::portkit
