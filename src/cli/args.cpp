#include "cli/args.h"

#include <CLI/CLI.hpp>
#include <cstdio>
#include <cstring>

#include "cli/values.h"

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
    const char* summary;
};
constexpr CommandName kCommands[] = {
    {"read", Command::Read, "read items"},
    {"write", Command::Write, "write a group of items"},
    {"write-item", Command::WriteItem, "write one item"},
    {"poll", Command::Poll, "read again and again"},
    {"listen", Command::Listen, "wait for unsolicited messages"},
    {"check", Command::Check, "print canonical addresses"},
    {"sim", Command::Sim, "run the simulator"},
    {"ports", Command::Ports, "list serial ports"},
    {"help", Command::Help, "the commands and options"},
};

// Options that take a value: the names CLI11 knows them by, and which
// commands have them (null: every command).
struct ValueOption {
    const char* name;   // long name, the key for Apply
    const char* names;  // as CLI11 declares it
    const char* only;   // the one command it belongs to, or null
};
constexpr ValueOption kValueOptions[] = {
    {"port", "-p,--port", nullptr},         {"baud", "-b,--baud", nullptr},
    {"parity", "-P,--parity", nullptr},     {"data-bits", "-d,--data-bits", nullptr},
    {"stop-bits", "-s,--stop-bits", nullptr}, {"model", "--model", nullptr},
    {"mode", "--mode", nullptr},            {"station", "--station", nullptr},
    {"dst", "--dst", nullptr},              {"timeout", "-o,--timeout", nullptr},
    {"trace", "--trace", nullptr},          {"every", "--every", "poll"},
    {"count", "--count", "poll"},           {"count", "--count", "listen"},
    {"address", "--address", "check"},      {"listen", "--listen", "sim"},
    {"ack-timeout", "--ack-timeout", nullptr}, {"nak-retries", "--nak-retries", nullptr},
    {"enq-retries", "--enq-retries", nullptr},
};

// Checks and stores one option value; false with a message in *error.
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
    } else if (name == "ack-timeout") {
        if (!ParseDuration(value, &o->ackTimeoutMs) || o->ackTimeoutMs == 0 || o->ackTimeoutMs > 60000)
            return bad("a time-out of 1 ms to 60 s, such as 250ms");
    } else if (name == "nak-retries" || name == "enq-retries") {
        if (!ParseUnsigned(value, 0, 10, name[0] == 'n' ? &o->nakRetries : &o->enqRetries))
            return bad("a count of 0 to 10");
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

// Declares a value option on app; its value is checked and stored by Apply.
void AddValueOption(CLI::App* app, const ValueOption& v, Options* o) {
    const std::string name = v.name;
    app->add_option_function<std::string>(
        v.names,
        [name, o](const std::string& value) {
            std::string why;
            if (!Apply(name, value, o, &why)) throw CLI::ValidationError(why, CLI::ExitCodes::ValidationError);
        });
}

// The operand counts of each command, after the options are taken out.
std::string CheckOperands(const Options& o) {
    const size_t n = o.operands.size();
    std::string error;
    switch (o.command) {
        case Command::Read:
        case Command::Poll:
            if (n < 1) error = "expected HEADER [ITEM...]";
            break;
        case Command::Write:
            if (n < 2) error = "expected HEADER ITEM=VALUE...";
            for (size_t k = 1; k < n && error.empty(); ++k)
                if (o.operands[k].find('=') == std::string::npos || o.operands[k][0] == '=')
                    error = "expected ITEM=VALUE, got \"" + o.operands[k] + "\"";
            break;
        case Command::WriteItem:
            if (n != 3) error = "expected HEADER ITEM VALUE";
            break;
        case Command::Check:
            if (o.address.empty() ? (n < 1 || n > 2) : n != 0) error = "expected HEADER [ITEM] or --address ADDRESS";
            break;
        case Command::Sim:
        case Command::Ports:
            if (n != 0) error = "takes no operands";
            break;
        default:
            break;
    }
    if (n > 4096 && error.empty()) error = "at most 4096 items in one request";
    if (!error.empty()) return error;

    // The address texts the command hands the driver: a header first where
    // the command takes one, then items (of write, the part before '=').
    auto check = [&](const char* what, const std::string& text) {
        const std::string problem = AddressTextProblem(text);
        if (!error.empty() || problem.empty()) return;
        std::string shown;
        for (char ch : text) {
            const auto c = static_cast<unsigned char>(ch);
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\x%02X", c);
            shown += (c < 0x20 || c > 0x7E) ? std::string(buf) : std::string(1, ch);
        }
        error = std::string(what) + " \"" + shown + "\" " + problem;
    };
    const bool hasHeader = o.command == Command::Read || o.command == Command::Poll || o.command == Command::Write ||
                           o.command == Command::WriteItem || (o.command == Command::Check && o.address.empty());
    if (o.command == Command::Sim || o.command == Command::Ports) return error;
    if (o.command == Command::Check && !o.address.empty()) check("address", o.address);
    for (size_t k = 0; k < n; ++k) {
        if (o.command == Command::WriteItem && k == 2) break;  // the value
        const std::string& text = o.operands[k];
        if (hasHeader && k == 0) check("header", text);
        else check("item", o.command == Command::Write ? text.substr(0, text.find('=')) : text);
    }
    return error;
}

// CLI11's words for a missing value and a value given to a flag, in ours.
std::string Reworded(const std::string& message) {
    const size_t colon = message.find(": ");
    if (colon != std::string::npos && message.find(" required ", colon) != std::string::npos &&
        message.size() > 8 && message.compare(message.size() - 8, 8, " missing") == 0)
        return message.substr(0, colon) + " needs a value";
    const std::string flag = " was given a disallowed flag override";
    if (const size_t at = message.find(flag); at != std::string::npos && at + flag.size() == message.size())
        return "--" + message.substr(0, at) + " takes no value";
    return message;
}

}  // namespace

bool ParseArgs(int argc, const char* const* argv, Options* out, std::string* error) {
    *out = Options{};
    error->clear();
    CLI::App app("mira", "mira");
    // The help text is ours (UsageText); -h anywhere asks for it.
    app.set_help_flag("-h,--help");
    app.require_subcommand(0, 1);
    // Words CLI11 cannot place are collected and reported below in our terms.
    app.allow_extras();
    // A repeated option takes its last value, as serial tools do.
    app.option_defaults()->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);

    for (const ValueOption& v : kValueOptions)
        if (v.only == nullptr) AddValueOption(&app, v, out);
    // Flags take no value: "--json=1" is refused rather than read as a choice.
    app.add_flag_callback("--json", [out] { out->json = true; })->disable_flag_override();
    CLI::Option* crc = app.add_flag_callback("--crc", [out] { out->crc = true; })->disable_flag_override();
    CLI::Option* bcc = app.add_flag_callback("--bcc", [out] { out->crc = false; })->disable_flag_override();
    crc->excludes(bcc);

    for (const CommandName& c : kCommands) {
        CLI::App* sub = app.add_subcommand(c.name, c.summary);
        // The common options may follow the command and its operands.
        sub->fallthrough();
        sub->add_option("operands", out->operands)->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
        for (const ValueOption& v : kValueOptions)
            if (v.only != nullptr && std::strcmp(v.only, c.name) == 0) AddValueOption(sub, v, out);
        if (c.command == Command::Sim) sub->add_flag_callback("--pty", [out] { out->pty = true; })->disable_flag_override();
    }

    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp&) {
        *out = Options{};
        out->command = Command::Help;
        return true;
    } catch (const CLI::ParseError& e) {
        *error = Reworded(e.what());
        return false;
    }
    for (const CLI::App* sub : app.get_subcommands())
        for (const CommandName& c : kCommands)
            if (sub->get_name() == c.name) out->command = c.command;
    if (!app.remaining().empty()) {
        const std::string first = app.remaining().front();
        if (out->command == Command::None && (first.empty() || first[0] != '-')) {
            *error = "unknown command \"" + first + "\"";
        } else {
            *error = "unknown option " + first.substr(0, first.find('='));
        }
        return false;
    }
    if (out->command == Command::None) {
        *error = "no command given";
        return false;
    }
    *error = CheckOperands(*out);
    if (!error->empty()) {
        for (const CommandName& c : kCommands)
            if (c.command == out->command) *error = std::string(c.name) + ": " + *error;
        return false;
    }
    return true;
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
      --crc | --bcc     frame check, one of them (default CRC)
      --model TEXT      controller model: SLC500, PLC5, PLC2, 500, 5, 5:1 ...
      --mode TEXT       BCD mode (default Standard)
      --station N       our own station (default 0)
      --dst N           the controller's station (default 1)
  -o, --timeout T       reply time-out, such as 500ms or 2s (default 1s)
      --ack-timeout T   wait for the controller's DLE ACK (default 250ms)
      --nak-retries N   frames sent again after DLE NAK, 0 to 10 (default 3)
      --enq-retries N   DLE ENQs when no DLE ACK came, 0 to 10 (default 3)
      --trace FILE|-    trace every line event to FILE or stderr
      --json            one JSON object per line
      --every T         poll: the period (default 1s)
      --count N         poll: this many reads; listen: this many messages
  -h, --help            this text

Exit status: 0 success, 2 usage or address error, 3 no response from the
controller, 4 other communication error, 5 controller status error.
)";
}

}  // namespace mira::cli
