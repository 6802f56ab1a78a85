// The command line of `mira`: one subcommand, its operands and the common
// options. Parsing is pure so that it can be tested without a line.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "host/codes.h"
#include "host/line.h"
#include "host/options.h"

namespace mira::cli {

enum class Command { None, Help, Version, Read, Write, WriteItem, Poll, Listen, Check, Sim, Ports, Scan, Serve };

// The line's settings (host/line.h) and the command's own.
struct Options : host::LineSettings {
    Command command = Command::None;
    std::vector<std::string> operands;  // after the subcommand, options removed
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
    bool example = false;     // serve: print the example configuration
    bool plan = false;        // serve: print the scan plan of CONFIG
    bool verbose = false;     // serve: debug lines in the log
    bool quiet = false;       // serve: warnings and errors only
    std::string server;       // read, write, write-item: http://HOST:PORT of a running mira serve
    bool version = false;     // -V, --version
};

// The version of the build, from the one place the build sets it.
const char* VersionText();

// Exit codes, also documented in the README.
enum ExitCode : int {
    kExitOk = 0,
    kExitInvalid = 1,      // check: a text named no valid address
    kExitUsage = 2,        // bad command line or address text
    kExitNoResponse = 3,   // the controller did not answer in time
    kExitComm = 4,         // any other communication failure
    kExitStatus = 5,       // the controller answered with an error status
    kExitSignal = 128,     // + the signal's number: Ctrl-C (130) or SIGTERM (143) ended read or write
};

// The exit status that a failure of this cause earns.
inline int ExitStatusOf(host::Cause cause) {
    switch (cause) {
        case host::Cause::None: return kExitOk;
        case host::Cause::NoReply: return kExitNoResponse;
        case host::Cause::Line: return kExitComm;
        case host::Cause::Status: return kExitStatus;
        case host::Cause::Refused: break;
    }
    return kExitUsage;  // the driver refused the request as typed
}

// Fills *out. Returns true, or false with a message in *error.
bool ParseArgs(int argc, const char* const* argv, Options* out, std::string* error);

// Checks and stores the value of one option, by its long name without the
// dashes ("baud", "data-bits", "timeout", "every"), as the command line does;
// false with what the option takes in *error ("a baud rate"). The line's own
// options are host::ApplyLineOption's, which `mira serve` reads [line] with.
bool ApplyOption(const std::string& name, const std::string& value, Options* out, std::string* error);

// Durations and numbers as the line's options take them (host/options.h).
using host::ParseDuration;
using host::ParseUnsigned;

// The usage text, for --help and after usage errors.
const char* UsageText();

// The help of one topic: a command (from its CLI11 declaration) or
// "addresses"; "" for an unknown topic.
std::string HelpText(const std::string& topic);

}  // namespace mira::cli
