#include "cli/args.h"

#include <cstring>

namespace mira::cli {

bool ParseUnsigned(const std::string& text, uint32_t min, uint32_t max, uint32_t* value) {
    if (text.empty() || text.size() > 10) return false;
    uint64_t v = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        v = v * 10 + static_cast<uint64_t>(c - '0');
    }
    if (v < min || v > max) return false;
    *value = static_cast<uint32_t>(v);
    return true;
}

bool ParseDuration(const std::string& text, uint32_t* ms) {
    size_t digits = 0;
    while (digits < text.size() && text[digits] >= '0' && text[digits] <= '9') ++digits;
    const std::string unit = text.substr(digits);
    uint32_t scale = 0;
    if (unit.empty() || unit == "ms") scale = 1;
    else if (unit == "s") scale = 1000;
    else if (unit == "min") scale = 60000;
    else return false;
    uint32_t value = 0;
    // At most one day, so that the product cannot wrap.
    if (!ParseUnsigned(text.substr(0, digits), 0, 86400000u / scale, &value)) return false;
    *ms = value * scale;
    return true;
}

namespace {

struct CommandName {
    const char* name;
    Command command;
};
constexpr CommandName kCommands[] = {
    {"read", Command::Read},   {"write", Command::Write}, {"write-item", Command::WriteItem},
    {"poll", Command::Poll},   {"listen", Command::Listen}, {"check", Command::Check},
    {"sim", Command::Sim},     {"ports", Command::Ports},   {"help", Command::Help},
};

// Options that take a value: long name, short name (0: none).
struct ValueOption {
    const char* name;
    char shortName;
};
constexpr ValueOption kValueOptions[] = {
    {"port", 'p'},  {"baud", 'b'},    {"parity", 'P'},  {"data-bits", 'd'}, {"stop-bits", 's'},
    {"model", 0},   {"mode", 0},      {"station", 0},   {"dst", 0},         {"timeout", 'o'},
    {"trace", 0},   {"every", 0},     {"count", 0},     {"address", 0},     {"listen", 0},
};

bool Apply(const std::string& name, const std::string& value, Options* o, std::string* error) {
    auto bad = [&](const char* what) {
        *error = "--" + name + ": " + what + ", got \"" + value + "\"";
        return false;
    };
    if (name == "port") {
        if (value.empty() || value.size() > 127) return bad("a port name of 1 to 127 characters");
        o->port = value;
    } else if (name == "baud") {
        if (!ParseUnsigned(value, 1, 4000000, &o->baud)) return bad("a baud rate");
    } else if (name == "parity") {
        if (value == "none" || value == "N" || value == "n") o->parity = 0;
        else if (value == "odd" || value == "O" || value == "o") o->parity = 1;
        else if (value == "even" || value == "E" || value == "e") o->parity = 2;
        else return bad("none, odd or even");
    } else if (name == "data-bits") {
        if (!ParseUnsigned(value, 7, 8, &o->dataBits)) return bad("7 or 8");
    } else if (name == "stop-bits") {
        if (!ParseUnsigned(value, 1, 2, &o->stopBits)) return bad("1 or 2");
    } else if (name == "model") {
        if (value.empty() || value.size() > 80) return bad("a model text of 1 to 80 characters");
        o->model = value;
    } else if (name == "mode") {
        if (value.size() > 80) return bad("a mode text of at most 80 characters");
        o->mode = value;
    } else if (name == "station") {
        if (!ParseUnsigned(value, 0, 254, &o->station)) return bad("a station number 0 to 254");
    } else if (name == "dst") {
        if (!ParseUnsigned(value, 0, 255, &o->dst)) return bad("a station number 0 to 255");
    } else if (name == "timeout") {
        if (!ParseDuration(value, &o->timeoutMs) || o->timeoutMs == 0 || o->timeoutMs > 600000)
            return bad("a time-out of 1 ms to 10 min, such as 500ms or 2s");
    } else if (name == "trace") {
        if (value.empty()) return bad("a file name or -");
        o->trace = value;
    } else if (name == "every") {
        if (!ParseDuration(value, &o->everyMs) || o->everyMs == 0) return bad("a period such as 500ms or 1s");
    } else if (name == "count") {
        if (!ParseUnsigned(value, 1, 1000000000, &o->count)) return bad("a count of at least 1");
    } else if (name == "address") {
        if (value.empty() || value.size() > 255) return bad("an address of 1 to 255 characters");
        o->address = value;
    } else if (name == "listen") {
        if (!ParseUnsigned(value, 1, 65535, &o->listenPort)) return bad("a TCP port 1 to 65535");
    }
    return true;
}

const ValueOption* FindValueOption(const std::string& name, char shortName) {
    for (const ValueOption& v : kValueOptions)
        if ((!name.empty() && name == v.name) || (shortName != 0 && shortName == v.shortName)) return &v;
    return nullptr;
}

}  // namespace

bool ParseArgs(int argc, const char* const* argv, Options* out, std::string* error) {
    *out = Options{};
    error->clear();
    bool optionsDone = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i] != nullptr ? argv[i] : "";
        if (!optionsDone && arg == "--") {
            optionsDone = true;
            continue;
        }
        const bool isLong = !optionsDone && arg.size() > 2 && arg[0] == '-' && arg[1] == '-';
        // "-5" is an operand (a value to write), not an option.
        const bool isShort = !optionsDone && !isLong && arg.size() == 2 && arg[0] == '-' &&
                             !(arg[1] >= '0' && arg[1] <= '9');
        if (isLong || isShort) {
            std::string name, value;
            bool hasValue = false;
            char shortName = 0;
            if (isLong) {
                name = arg.substr(2);
                if (const size_t eq = name.find('='); eq != std::string::npos) {
                    value = name.substr(eq + 1);
                    name = name.substr(0, eq);
                    hasValue = true;
                }
            } else {
                shortName = arg[1];
            }
            if (name == "help" || shortName == 'h') {
                out->command = Command::Help;
                return true;
            }
            const std::string shown = isLong ? "--" + name : arg;
            if (name == "json" || name == "crc" || name == "bcc" || name == "pty") {
                if (hasValue) {
                    *error = shown + " takes no value";
                    return false;
                }
                if (name == "json") out->json = true;
                if (name == "crc") out->crc = true;
                if (name == "bcc") out->crc = false;
                if (name == "pty") out->pty = true;
                continue;
            }
            const ValueOption* option = FindValueOption(name, shortName);
            if (option == nullptr) {
                *error = "unknown option " + shown;
                return false;
            }
            if (!hasValue) {
                if (i + 1 >= argc || argv[i + 1] == nullptr) {
                    *error = shown + " needs a value";
                    return false;
                }
                value = argv[++i];
            }
            if (!Apply(option->name, value, out, error)) return false;
            continue;
        }
        if (out->command == Command::None) {
            for (const CommandName& c : kCommands)
                if (arg == c.name) out->command = c.command;
            if (out->command == Command::None) {
                *error = "unknown command \"" + arg + "\"";
                return false;
            }
            continue;
        }
        out->operands.push_back(arg);
    }
    if (out->command == Command::None) {
        *error = "no command given";
        return false;
    }
    // Operand counts per command.
    const size_t n = out->operands.size();
    switch (out->command) {
        case Command::Read:
        case Command::Poll:
            if (n < 1) *error = "expected HEADER [ITEM...]";
            break;
        case Command::Write:
            if (n < 2) *error = "expected HEADER ITEM=VALUE...";
            for (size_t k = 1; k < n && error->empty(); ++k)
                if (out->operands[k].find('=') == std::string::npos || out->operands[k][0] == '=')
                    *error = "expected ITEM=VALUE, got \"" + out->operands[k] + "\"";
            break;
        case Command::WriteItem:
            if (n != 3) *error = "expected HEADER ITEM VALUE";
            break;
        case Command::Check:
            if (out->address.empty() ? (n < 1 || n > 2) : n != 0)
                *error = "expected HEADER [ITEM] or --address ADDRESS";
            break;
        case Command::Sim:
        case Command::Ports:
            if (n != 0) *error = "takes no operands";
            break;
        default:
            break;
    }
    if (n > 4096 && error->empty()) *error = "at most 4096 items in one request";
    return error->empty();
}

const char* UsageText() {
    return R"(usage: mira COMMAND [OPTIONS] [OPERANDS]

Commands:
  read HEADER [ITEM...]            read items (no item: the header's element)
  write HEADER ITEM=VALUE...       write a group of items
  write-item HEADER ITEM VALUE     write one item (bits, timer/counter parts)
  poll HEADER [ITEM...]            read again and again; Ctrl-C ends and
                                   prints the statistics
  listen [ITEM...]                 wait for unsolicited messages, print and
                                   answer them (no item: word 0)
  check HEADER [ITEM]              print the canonical header and item
  check --address ADDRESS          print the canonical whole address
  sim                              run the simulator on a pseudo-terminal
                                   (--pty) or a TCP port (--listen PORT)
  ports                            list serial ports

Options:
  -p, --port NAME       sim, sim:slc500, sim:plc5, sim:plc2, a device such as
                        /dev/ttyUSB0, or socket://HOST:PORT   (default sim)
  -b, --baud N          19200          -P, --parity none|odd|even   none
  -d, --data-bits 7|8   8              -s, --stop-bits 1|2          1
      --crc | --bcc     frame check (default CRC)
      --model TEXT      controller model: SLC500, PLC5, PLC2, 500, 5, 5:1 ...
      --mode TEXT       BCD mode (default Standard)
      --station N       our own station (default 0)
      --dst N           the controller's station (default 1)
  -o, --timeout T       reply time-out, such as 500ms or 2s (default 1s)
      --trace FILE|-    trace every line event to FILE or stderr
      --json            one JSON object per line
      --every T         poll period (default 1s)
      --count N         poll this many times
  -h, --help            this text

Exit status: 0 success, 2 usage or address error, 3 no response from the
controller, 4 other communication error, 5 controller status error.
)";
}

}  // namespace mira::cli
