// The command line of `mira`: one subcommand, its operands and the common
// options. Parsing is pure so that it can be tested without a line.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace mira::cli {

enum class Command { None, Help, Read, Write, WriteItem, Poll, Listen, Check, Sim, Ports, Scan };

struct Options {
    Command command = Command::None;
    std::vector<std::string> operands;  // after the subcommand, options removed
    std::string port = "sim";
    uint32_t baud = 19200;
    uint32_t parity = 0;     // 0 none, 1 odd, 2 even
    uint32_t dataBits = 8;
    uint32_t stopBits = 1;
    std::string model;       // empty: chosen from the port (SLC500 unless sim:plc5/plc2)
    std::string mode = "Standard";
    uint32_t station = 0;    // our own station
    uint32_t dst = 1;        // the controller's station
    bool crc = true;         // the DF1 factory default
    uint32_t timeoutMs = 1000;
    uint32_t ackTimeoutMs = 250;  // Portkit's link rules (PkSetLinkSettings)
    uint32_t nakRetries = 3;
    uint32_t enqRetries = 3;
    std::string trace;       // FILE, "-" for stderr, empty for none
    bool json = false;
    uint32_t everyMs = 1000;  // poll
    uint32_t count = 0;       // poll: 0 = until Ctrl-C
    std::string address;      // check --address
    bool pty = false;         // sim: on a pseudo-terminal (the default)
    uint32_t listenPort = 0;  // sim: on this TCP port instead
    std::string seed;         // sim: FILE of address=value lines to start from
    std::string dump;         // sim: FILE the tables are written to on exit
    uint32_t unsolicitedMs = 0;  // sim: period of the controller's own write (operands)
    std::string helpTopic;    // help: "", a command name or "addresses"
    std::vector<std::string> given;  // the options given, by long name: scan narrows its search to them
};

// The model texts the driver knows (UDrvValidString1), for messages.
inline constexpr const char* kModelTexts = "SLC500, 500, PLC5, 5, 5:0, 5:1, \"PLC5 WITH I/O OCTAL\", PLC2, 2 (any case)";

// Exit codes, also documented in the README.
enum ExitCode : int {
    kExitOk = 0,
    kExitInvalid = 1,      // check: a text named no valid address
    kExitUsage = 2,        // bad command line or address text
    kExitNoResponse = 3,   // the controller did not answer in time
    kExitComm = 4,         // any other communication failure
    kExitStatus = 5,       // the controller answered with an error status
};

// Fills *out. Returns true, or false with a message in *error.
bool ParseArgs(int argc, const char* const* argv, Options* out, std::string* error);

// A duration: a number with an optional unit ms, s or min (no unit: ms).
bool ParseDuration(const std::string& text, uint32_t* ms);

// A decimal number within [min, max].
bool ParseUnsigned(const std::string& text, uint32_t min, uint32_t max, uint32_t* value);

// The usage text, for --help and after usage errors.
const char* UsageText();

// The help of one topic: a command (from its CLI11 declaration) or
// "addresses"; "" for an unknown topic.
std::string HelpText(const std::string& topic);

}  // namespace mira::cli
