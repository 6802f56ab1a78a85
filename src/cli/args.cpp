#include "cli/args.h"

#include <CLI/CLI.hpp>
#include <cctype>
#include <cstdio>
#include <cstring>

#include "cli/scan.h"
#include "host/options.h"
#include "host/values.h"

namespace mira::cli {

using host::AddressTextProblem;

namespace {

struct CommandName {
    const char* name;
    Command command;
    const char* summary;
    const char* operands;  // what the operands are, for the command's help
};
constexpr CommandName kCommands[] = {
    {"read", Command::Read, "read items under a header, in one request",
     "HEADER [ITEM...]: N7:0 W0 W1; no item reads the header's element"},
    {"write", Command::Write, "write a group of items in one request", "HEADER ITEM=VALUE...: N7:10 W0=5 W1=-7"},
    {"write-item", Command::WriteItem, "write one item: a bit, a timer, counter or control part, a string",
     "HEADER ITEM VALUE: B3:0 0/3 1"},
    {"poll", Command::Poll, "read again and again; Ctrl-C ends and prints the statistics",
     "HEADER [ITEM...], as for read"},
    {"listen", Command::Listen, "print and answer the controller's unsolicited writes",
     "[ITEM...]: the items of each message (none: word 0, W0 under a U: key)"},
    {"check", Command::Check,
     "print the canonical texts and say which changed; exit 1 when a text names no valid address",
     "HEADER [ITEM], or none with --address ADDRESS"},
    {"sim", Command::Sim, "run the simulator on a pseudo-terminal (--pty) or a TCP port (--listen PORT)",
     "HEADER ITEM=VALUE... after --unsolicited PERIOD: the controller's own write, sent every PERIOD"},
    {"ports", Command::Ports, "list serial ports and their stable names", "none"},
    {"scan", Command::Scan, "find the controller on a line: speed, parity, frame check, station and family", "none"},
    {"serve", Command::Serve, "own the line, scan the tags of CONFIG and serve them (--plan: print the scan plan)",
     "CONFIG: the TOML file (mira serve --example prints one)"},
    {"help", Command::Help, "the commands and options; help COMMAND or help addresses for more",
     "[COMMAND | addresses]"},
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
    {"seed", "--seed", "sim"},              {"dump", "--dump", "sim"},
    {"unsolicited", "--unsolicited", "sim"},
    {"ack-timeout", "--ack-timeout", nullptr}, {"nak-retries", "--nak-retries", nullptr},
    {"enq-retries", "--enq-retries", nullptr},
    {"server", "--server", "read"},         {"server", "--server", "write"},
    {"server", "--server", "write-item"},
};

// What each option of one command is, for that command's help.
const char* OptionHelp(const std::string& name) {
    if (name == "every") return "T: the period (default 1s)";
    if (name == "count") return "N: this many, then end (default: until Ctrl-C)";
    if (name == "address") return "ADDRESS: check one whole address (N7:W5, T4:2.ACC)";
    if (name == "listen") return "PORT: serve a TCP port instead of a pseudo-terminal";
    if (name == "seed") return "FILE: lines of address=value (N7:0=123) to start from";
    if (name == "dump") return "FILE: the tables as address=value lines, written on exit";
    if (name == "unsolicited") return "PERIOD: send the write of the operands every PERIOD (1s, 500ms)";
    if (name == "server") return "http://HOST:PORT: through a running mira serve, not a line of its own";
    return "";
}

}  // namespace

// Checks and stores one option value; false with what it takes in *error.
bool ApplyOption(const std::string& name, const std::string& value, Options* o, std::string* error) {
    if (host::IsLineOption(name)) return host::ApplyLineOption(name, value, o, error);
    auto bad = [&](const char* what) {
        // A bare number is refused by ParseDuration, as the unit was left out.
        *error = name == "every" || name == "unsolicited" ? host::DurationRefusal(value, what) : what;
        return false;
    };
    if (name == "trace") {
        if (value.empty()) return bad("a file name or -");
        o->trace = value;
    } else if (name == "every") {
        if (!ParseDuration(value, &o->everyMs) || o->everyMs == 0) return bad("a period such as 500ms, 1s or 1.5s");
    } else if (name == "count") {
        if (!ParseUnsigned(value, 1, 1000000000, &o->count)) return bad("a count of at least 1");
    } else if (name == "address") {
        if (value.empty() || value.size() > 255) return bad("an address of 1 to 255 characters");
        o->address = value;
    } else if (name == "listen") {
        if (!ParseUnsigned(value, 1, 65535, &o->listenPort)) return bad("a TCP port 1 to 65535");
    } else if (name == "seed" || name == "dump") {
        if (value.empty()) return bad("a file name");
        (name == "seed" ? o->seed : o->dump) = value;
    } else if (name == "server") {
        // http://HOST:PORT, kept as HOST:PORT; the host a name, an IPv4
        // address or an IPv6 one in brackets.
        const std::string scheme = "http://";
        std::string rest = value.rfind(scheme, 0) == 0 ? value.substr(scheme.size()) : "";
        if (!rest.empty() && rest.back() == '/') rest.pop_back();
        const size_t colon = rest.rfind(':');
        uint32_t port = 0;
        if (colon == std::string::npos || colon == 0 || !ParseUnsigned(rest.substr(colon + 1), 1, 65535, &port) ||
            rest.find_first_of("/?#@ ") != std::string::npos)
            return bad("http://HOST:PORT of a running mira serve");
        o->server = rest;
    } else if (name == "unsolicited") {
        if (!ParseDuration(value, &o->unsolicitedMs) || o->unsolicitedMs == 0) return bad("a period such as 500ms, 1s or 1.5s");
    }
    return true;
}

namespace {

std::string NameOf(Command command) {
    for (const CommandName& c : kCommands)
        if (c.command == command) return c.name;
    return "";
}

// The commands that have an option of their own: "poll", "poll and listen";
// "" for one no command has.
std::string OwnersOf(const std::string& option) {
    static const std::pair<const char*, const char*> kFlags[] = {{"--pty", "sim"}, {"--example", "serve"}, {"--plan", "serve"}};
    std::vector<std::string> owners;
    for (const ValueOption& v : kValueOptions)
        if (v.only != nullptr && option == std::string("--") + v.name) owners.push_back(v.only);
    for (const auto& [flag, command] : kFlags)
        if (option == flag) owners.push_back(command);
    std::string text;
    for (size_t k = 0; k < owners.size(); ++k) text += (k == 0 ? "" : k + 1 == owners.size() ? " and " : ", ") + owners[k];
    return text;
}

// Declares a value option on app; its value is checked and stored by Apply.
void AddValueOption(CLI::App* app, const ValueOption& v, Options* o) {
    const std::string name = v.name;
    app->add_option_function<std::string>(
        v.names,
        [name, o](const std::string& given) {
            // -p=NAME gives "=NAME"; an empty value, or the next option taken
            // for the value (-p --json), leaves the option without one.
            const std::string value = given.rfind('=', 0) == 0 ? given.substr(1) : given;
            const bool option = value.size() > 1 && value[0] == '-' && !std::isdigit(static_cast<unsigned char>(value[1]));
            if (value.empty() || option)
                throw CLI::ValidationError("--" + name + " needs a value" + (option ? ", got the option " + value : ""),
                                           CLI::ExitCodes::ValidationError);
            std::string why;
            if (!ApplyOption(name, value, o, &why))
                throw CLI::ValidationError("--" + name + ": " + why + ", got \"" + value + "\"",
                                           CLI::ExitCodes::ValidationError);
            o->given.push_back(name);
        },
        OptionHelp(name));
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
            break;
        case Command::WriteItem:
            if (n != 3) error = "expected HEADER ITEM VALUE";
            break;
        case Command::Check:
            if (o.address.empty() ? (n < 1 || n > 2) : n != 0) error = "expected HEADER [ITEM] or --address ADDRESS";
            break;
        case Command::Sim:
            if (o.unsolicitedMs == 0 ? n != 0 : n < 2) error = "expected HEADER ITEM=VALUE... after --unsolicited PERIOD";
            break;
        case Command::Ports:
        case Command::Scan:
            if (n != 0) error = "takes no operands";
            break;
        case Command::Serve:
            if (o.example ? n != 0 || o.plan : n != 1) error = "expected CONFIG, --plan CONFIG or --example";
            break;
        case Command::Help:
            if (n > 1) error = "expected [COMMAND | addresses]";
            break;
        default:
            break;
    }
    if (n > 4096 && error.empty()) error = "at most 4096 items in one request";
    // Through a gateway its configuration sets the line; of the line's
    // options only the controller's station and the model the values are
    // checked under apply.
    if (!o.server.empty() && error.empty())
        for (const std::string& given : o.given)
            if (given != "server" && given != "dst" && given != "model")
                error = "--" + given + ": the line is mira serve's with --server; --dst, --model and --json apply";
    if (o.command == Command::Write || o.command == Command::Sim)
        for (size_t k = 1; k < n && error.empty(); ++k)
            if (o.operands[k].find('=') == std::string::npos || o.operands[k][0] == '=')
                error = "expected ITEM=VALUE, got \"" + o.operands[k] + "\"";
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
    if (o.command == Command::Sim || o.command == Command::Ports || o.command == Command::Scan ||
        o.command == Command::Help || o.command == Command::Serve)
        return error;
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

// Declares mira's command line on app, storing what it parses into *out.
void Declare(CLI::App& app, Options* out) {
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
    app.add_flag_callback("-V,--version", [out] { out->version = true; })->disable_flag_override();
    CLI::Option* crc = app.add_flag_callback("--crc", [out] {
                               out->crc = true;
                               out->given.push_back("crc");
                           })->disable_flag_override();
    CLI::Option* bcc = app.add_flag_callback("--bcc", [out] {
                               out->crc = false;
                               out->given.push_back("bcc");
                           })->disable_flag_override();
    crc->excludes(bcc);

    for (const CommandName& c : kCommands) {
        CLI::App* sub = app.add_subcommand(c.name, c.summary);
        // The common options may follow the command and its operands.
        sub->fallthrough();
        sub->set_help_flag("-h,--help", "this help");
        sub->add_option("operands", out->operands, c.operands)->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
        for (const ValueOption& v : kValueOptions)
            if (v.only != nullptr && std::strcmp(v.only, c.name) == 0) AddValueOption(sub, v, out);
        if (c.command == Command::Sim)
            sub->add_flag_callback("--pty", [out] { out->pty = true; }, "on a pseudo-terminal (the default)")
                ->disable_flag_override();
        if (c.command == Command::Serve) {
            sub->add_flag_callback("--example", [out] { out->example = true; }, "print a commented example CONFIG")
                ->disable_flag_override();
            sub->add_flag_callback("--plan", [out] { out->plan = true; },
                                   "print the scan plan of CONFIG without opening the line")
                ->disable_flag_override();
            CLI::Option* verbose =
                sub->add_flag_callback("--verbose", [out] { out->verbose = true; }, "log debug lines too")
                    ->disable_flag_override();
            CLI::Option* quiet =
                sub->add_flag_callback("--quiet", [out] { out->quiet = true; }, "log warnings and errors only")
                    ->disable_flag_override();
            verbose->excludes(quiet);
        }
        if (c.command == Command::Scan)
            sub->footer(kScanHelp);
        else if (c.command == Command::Ports)
            sub->footer("--json: one JSON object per port: port, stable (or null) and latency_ms (or null).");
        else if (c.command != Command::Help && c.command != Command::Ports && c.command != Command::Serve)
            sub->footer(std::string("The common options (port, line, model, --json ...): mira --help.") +
                        (c.command == Command::Sim || c.command == Command::Listen ? "" : "\nAddresses and limits: mira help addresses."));
    }
}

}  // namespace

bool ParseArgs(int argc, const char* const* argv, Options* out, std::string* error) {
    *out = Options{};
    error->clear();
    CLI::App app("mira", "mira");
    Declare(app, out);
    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp&) {
        // -h after a command asks for that command's help.
        std::string topic;
        for (const CommandName& c : kCommands)
            if (c.command != Command::Help && app.got_subcommand(c.name)) topic = c.name;
        *out = Options{};
        out->command = Command::Help;
        out->helpTopic = topic;
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
        const std::string option = first.substr(0, first.find('='));
        const std::string owners = OwnersOf(option);
        if (out->command == Command::None && (first.empty() || first[0] != '-')) {
            *error = "unknown command \"" + first + "\"";
        } else if (!owners.empty()) {
            *error = option + " is an option of " + owners + (out->command == Command::None ? "" : ", not of " + NameOf(out->command));
        } else {
            *error = "unknown option " + option;
        }
        return false;
    }
    if (out->version) {
        out->command = Command::Version;
        return true;
    }
    if (out->command == Command::None) {
        *error = "no command given";
        return false;
    }
    *error = CheckOperands(*out);
    if (error->empty() && out->command == Command::Help && !out->operands.empty()) {
        out->helpTopic = out->operands[0];
        if (HelpText(out->helpTopic).empty()) *error = "no help on \"" + out->helpTopic + "\"";
    }
    if (!error->empty()) {
        for (const CommandName& c : kCommands)
            if (c.command == out->command) *error = std::string(c.name) + ": " + *error;
        return false;
    }
    return true;
}

namespace {

// Addresses as the driver reads them, per controller class, and what one
// request can carry.
constexpr const char* kAddressHelp = R"(Addresses

A read or write names a HEADER (a file and its first element) and ITEMs,
each an offset from that element, with a type letter where it matters.
Letters and mnemonics take any case.

HEADER
  N7:0      integer file 7 from element 0; B3:0 bit, T4:0 timer, C5:0 counter,
            R6:0 control, F8:0 float, ST9:0 string, A10:0 ASCII file
  S:0       the status file
  I:1.0     input slot 1 from word 0; O:0.0 output (slots on SLC 500 only)
  U:0       PLC-2 memory from word 0 (U:40 is word 40)
  7:0, integer/7:0, timer/1:4:0   the numeric form: [type word/] [slot:] file:element
ITEM
  W5 or 5   word 5 after the header's element
  B5        word 5 read and written as four BCD digits
  F5 or 5   float 5, under an F header
  5/3, 5.3  bit 3 of word 5 (bits 0 to 15; 0 to 17 with octal I/O)
  0.PRE     a part of timer 0: EN TT DN PRE ACC; of a counter: CU CD DN OV UN
            UA PRE ACC; of a control: EN EU DN EM ER UL IN FD LEN POS
  S0.10     string 0, its first 10 characters (S0 alone: the whole string,
            82 characters; the driver's own default for other hosts is 2)
  Under a U: header every item needs its type letter: W40, not 40.

By class (--model)
  SLC500, 500         files, elements and slots up to 65535
  PLC5, 5, 5:0, 5:1   no slots; 5:1 and "PLC5 WITH I/O OCTAL" number I/O
                      words and bits in octal (no digit 8 or 9)
  PLC2, 2             U: addresses; no string files

What one read carries (more is refused with -39, range too large)
  127 words (W0 to W126 under one header), 62 floats, 41 timer, counter or
  control elements; strings are read one request per item, up to 82
  characters each.

mira check HEADER [ITEM] prints the canonical form of what you typed and
says when a read refuses it: a typo is refused, never read as another address.
)";

}  // namespace

std::string HelpText(const std::string& topic) {
    if (topic.empty()) return UsageText();
    if (topic == "addresses") return kAddressHelp;
    Options unused;
    CLI::App app("mira", "mira");
    Declare(app, &unused);
    for (const CommandName& c : kCommands)
        if (topic == c.name) return app.get_subcommand(c.name)->help("mira");
    return "";
}

const char* VersionText() { return "mira " MIRA_VERSION; }

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
  sim ... --unsolicited PERIOD HEADER ITEM=VALUE...
                                   and send the controller's own write
                                   every PERIOD; --seed FILE, --dump FILE
  ports                            list serial ports (--json: JSON lines)
  scan                             find the controller on --port: its speed,
                                   parity, frame check, station and family
  serve CONFIG                     own the line and serve the tags of CONFIG
                                   (--verbose, --quiet: more or less log);
                                   --plan CONFIG prints the scan plan,
                                   --example a commented CONFIG
  help [COMMAND | addresses]       a command's help; the address syntax

Options:
  -p, --port NAME       sim, sim:slc500, sim:plc5, sim:plc2, a device such as
                        /dev/ttyUSB0, or socket://HOST:PORT   (default sim)
  -b, --baud N          19200          -P, --parity none|odd|even   none
  -d, --data-bits 7|8   8              -s, --stop-bits 1|2          1
      --crc | --bcc     frame check, one of them (default CRC)
      --model TEXT      controller model: SLC500, PLC5, PLC2, 500, 5, 5:1 ...
      --mode TEXT       BCD mode: Standard (default) or Nonstandard
      --station N       our own station (default 0)
      --dst N           the controller's station (default 1)
  -o, --timeout T       reply time-out, such as 500ms or 2s (default 1s)
      --ack-timeout T   wait for the controller's DLE ACK (default 250ms)
      --nak-retries N   frames sent again after DLE NAK, 0 to 10 (default 3)
      --enq-retries N   DLE ENQs when no DLE ACK came, 0 to 10 (default 3)
      --trace FILE|-    trace every line event to FILE or stderr
      --json            one JSON object per line
      --server URL      read, write, write-item: through a running mira
                        serve at http://HOST:PORT (write token: the
                        environment's MIRA_WRITE_TOKEN)
      --every T         poll: the period (default 1s)
      --count N         poll: this many reads; listen: this many messages
  -h, --help            this text
  -V, --version         the version

A time T takes its unit: 500ms, 2s, 1.5s, 1min.

Ctrl-C ends any command at once; poll prints its statistics then.

Exit status: 0 success, 1 check: a text names no valid address, 2 usage or
address error, 3 no response from the controller, 4 other communication
error (also frames the controller refused with NAK), 5 controller status.
)";
}

}  // namespace mira::cli
