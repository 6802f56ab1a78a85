#include "portkit/port_name.h"

#ifdef _WIN32
#include "portkit/speeds_win.h"
#else
#include <termios.h>
#endif

#include "mira/portkit_codes.h"

namespace mira::portkit {
namespace {

// The name as UTF-8, read no further than the field's end even when the host
// left it unterminated. Lone surrogates make the name unusable.
bool NarrowName(const char16_t* wide, size_t capacity, std::string* out) {
    out->clear();
    for (size_t i = 0; i < capacity && wide[i] != 0; ++i) {
        const uint32_t c = wide[i];
        if (c < 0x80) {
            out->push_back(static_cast<char>(c));
        } else if (c < 0x800) {
            out->push_back(static_cast<char>(0xC0 | (c >> 6)));
            out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
        } else if (c >= 0xD800 && c <= 0xDFFF) {
            return false;
        } else {
            out->push_back(static_cast<char>(0xE0 | (c >> 12)));
            out->push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
            out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
        }
    }
    return true;
}

// A decimal number of 1 to 5 digits no greater than max; nothing else.
bool ParseNumber(const std::string& text, uint32_t max, uint32_t* value) {
    if (text.empty() || text.size() > 5) return false;
    uint32_t v = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        v = v * 10 + static_cast<uint32_t>(c - '0');
    }
    if (v > max) return false;
    *value = v;
    return true;
}

int32_t Refuse(std::string* why, const std::string& reason) {
    *why = reason;
    return MIRA_PK_ERR_SETTINGS;
}

int32_t ReadSimName(const std::string& name, LineSettings* out, std::string* why) {
    // sim[:FAMILY[:STATION]]
    std::string rest = name.size() > 3 ? name.substr(4) : std::string();
    if (name.size() > 3 && name[3] != ':') return Refuse(why, "unknown port name \"" + name + "\"");
    std::string family = rest, station;
    if (const size_t colon = rest.find(':'); colon != std::string::npos) {
        family = rest.substr(0, colon);
        station = rest.substr(colon + 1);
    }
    if (family.empty() || family == "slc500") {
        out->family = SimFamily::Slc500;
    } else if (family == "plc5") {
        out->family = SimFamily::Plc5;
    } else if (family == "plc2") {
        out->family = SimFamily::Plc2;
    } else {
        return Refuse(why, "unknown simulator \"" + family + "\" (slc500, plc5 or plc2)");
    }
    if (!station.empty()) {
        uint32_t value = 0;
        if (!ParseNumber(station, 254, &value)) return Refuse(why, "bad simulator station \"" + station + "\"");
        out->simStation = static_cast<uint8_t>(value);
    }
    out->kind = LineKind::Simulator;
    return 0;
}

int32_t ReadTcpName(const std::string& name, LineSettings* out, std::string* why) {
    const std::string rest = name.substr(9);  // after socket://
    std::string host, port;
    if (!rest.empty() && rest[0] == '[') {
        const size_t close = rest.find(']');
        if (close == std::string::npos || close + 1 >= rest.size() || rest[close + 1] != ':')
            return Refuse(why, "expected socket://HOST:PORT, got \"" + name + "\"");
        host = rest.substr(1, close - 1);
        port = rest.substr(close + 2);
    } else {
        const size_t colon = rest.rfind(':');
        if (colon == std::string::npos) return Refuse(why, "expected socket://HOST:PORT, got \"" + name + "\"");
        host = rest.substr(0, colon);
        port = rest.substr(colon + 1);
    }
    uint32_t value = 0;
    if (host.empty()) return Refuse(why, "no host in \"" + name + "\"");
    if (!ParseNumber(port, 65535, &value) || value == 0) return Refuse(why, "bad TCP port in \"" + name + "\"");
    out->kind = LineKind::Tcp;
    out->host = host;
    out->tcpPort = static_cast<uint16_t>(value);
    return 0;
}

}  // namespace

uint32_t SpeedConstant(uint32_t baud) {
    struct Row {
        uint32_t baud;
        uint32_t speed;
    };
    static constexpr Row kSpeeds[] = {
        {110, B110},       {300, B300},       {600, B600},       {1200, B1200},     {2400, B2400},
        {4800, B4800},     {9600, B9600},     {19200, B19200},   {38400, B38400},   {57600, B57600},
        {115200, B115200}, {230400, B230400},
    };
    for (const Row& row : kSpeeds)
        if (row.baud == baud) return row.speed;
    return 0;
}

int32_t ReadLineSettings(const DriverSettings& settings, LineSettings* out, std::string* why) {
    *out = LineSettings{};
    why->clear();
    std::string name;
    if (!NarrowName(settings.portName, sizeof settings.portName / sizeof settings.portName[0], &name))
        return Refuse(why, "the port name is not valid text");
    if (name.size() > kMaxPortName) return Refuse(why, "the port name is too long");

    out->baud = settings.baud != 0 ? settings.baud : 19200;
    out->parity = settings.parity;
    out->dataBits = settings.dataBits != 0 ? settings.dataBits : 8;
    out->stopBits = settings.stopBits != 0 ? settings.stopBits : 1;
    out->replyTimeoutMs = settings.replyTimeoutMs != 0 ? settings.replyTimeoutMs : 1000;
    out->crc = settings.ErrorCheckOption > 0;
    if (SpeedConstant(out->baud) == 0) return Refuse(why, "unsupported baud rate " + std::to_string(out->baud));
    if (out->parity > 2) return Refuse(why, "parity must be 0 (none), 1 (odd) or 2 (even)");
    if (out->dataBits != 7 && out->dataBits != 8) return Refuse(why, "data bits must be 7 or 8");
    if (out->stopBits != 1 && out->stopBits != 2) return Refuse(why, "stop bits must be 1 or 2");
    if (out->replyTimeoutMs > 600000) return Refuse(why, "reply time-out above 600000 ms");

    if (name.empty() || name.rfind("sim", 0) == 0) {
        if (name.empty()) name = "sim";
        if (name == "sim" || name[3] == ':') return ReadSimName(name, out, why);
    }
    if (name.rfind("socket://", 0) == 0) return ReadTcpName(name, out, why);
    out->kind = LineKind::Serial;
    out->path = name;
    return 0;
}

}  // namespace mira::portkit
