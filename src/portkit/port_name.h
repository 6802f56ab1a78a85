// Reading the port part of the settings block: which line to open and with
// which character format. Pure functions, so they can be tested alone.
#pragma once

#include <cstdint>
#include <string>

#include "mira/mira.h"

namespace mira::portkit {

enum class LineKind { Serial, Tcp, Simulator };

enum class SimFamily { Slc500, Plc5, Plc2 };

struct LineSettings {
    LineKind kind = LineKind::Simulator;
    std::string path;          // device path (Serial)
    std::string host;          // Tcp
    uint16_t tcpPort = 0;      // Tcp
    SimFamily family = SimFamily::Slc500;
    uint8_t simStation = 1;    // the simulated controller's station
    uint32_t baud = 19200;
    uint32_t parity = 0;       // 0 none, 1 odd, 2 even
    uint32_t dataBits = 8;
    uint32_t stopBits = 1;
    uint32_t replyTimeoutMs = 1000;
    bool crc = false;
};

// Longest port name taken from the settings block.
inline constexpr size_t kMaxPortName = 127;

// Fills *out from the block. Returns 0, or MIRA_PK_ERR_SETTINGS with a reason
// in *why when the name, speed or character format cannot be served.
int32_t ReadLineSettings(const DriverSettings& settings, LineSettings* out, std::string* why);

// The termios speed constant for a baud rate, or 0 when there is none.
uint32_t SpeedConstant(uint32_t baud);

}  // namespace mira::portkit
