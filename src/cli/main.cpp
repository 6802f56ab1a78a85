// mira: reads, writes, polls and listens to a DF1 controller through the
// host library over libmira and Portkit; checks addresses; runs the simulator.
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "cli/args.h"
#include "cli/commands.h"
#include "cli/output.h"
#include "cli/server_client.h"
#include "host/checks.h"
#include "host/codes.h"
#include "host/line.h"
#include "host/line_watch.h"
#include "host/text.h"
#include "host/values.h"
#include "mira/portkit_codes.h"

namespace mira::cli {
namespace {

using namespace mira::host;

// Set by Ctrl-C or SIGTERM: Portkit and the host end every wait at once.
std::atomic<bool> g_interrupted{false};
std::atomic<int> g_signal{0};

#ifdef _WIN32
// Ctrl-C reaches a signal handler there as SIGINT, on a thread of its own.
class InterruptCatcher {
public:
    InterruptCatcher() {
        struct sigaction action {};
        action.sa_handler = [](int number) {
            g_signal.store(number);
            g_interrupted.store(true);
        };
        sigemptyset(&action.sa_mask);
        sigaction(SIGINT, &action, nullptr);
        sigaction(SIGTERM, &action, nullptr);
    }
};
#else
// A thread of its own takes SIGINT and SIGTERM, blocked in every other
// thread (the line's threads, started later, inherit the mask): the signal
// never waits on a thread that is not looking for it. SIGUSR2, blocked with
// them, is how the program ends that thread before it exits.
class InterruptCatcher {
public:
    InterruptCatcher() {
        sigemptyset(&signals_);
        for (int s : {SIGINT, SIGTERM, SIGUSR2}) sigaddset(&signals_, s);
        pthread_sigmask(SIG_BLOCK, &signals_, nullptr);
        thread_ = std::thread([this] {
            for (int number = 0; sigwait(&signals_, &number) == 0 && number != SIGUSR2;) {
                g_signal.store(number);
                g_interrupted.store(true);
            }
        });
    }
    ~InterruptCatcher() {
        pthread_kill(thread_.native_handle(), SIGUSR2);
        thread_.join();
    }
    InterruptCatcher(const InterruptCatcher&) = delete;
    InterruptCatcher& operator=(const InterruptCatcher&) = delete;

private:
    sigset_t signals_;
    std::thread thread_;
};
#endif

// The exit status of a command a signal ended: 128 and its number.
int Interrupted() { return kExitSignal + g_signal.load(); }

// A failure no result row carries: its message on stderr, and with --json
// one object with error on stdout as well.
int Fail(bool json, int status, int32_t code, const std::string& message) {
    std::fprintf(stderr, "mira: %s\n", message.c_str());
    if (json) {
        std::fprintf(stdout, "%s\n", ErrorJson(code, message).c_str());
        std::fflush(stdout);
    }
    return status;
}

uint64_t NowMs() {
    return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                     std::chrono::steady_clock::now().time_since_epoch())
                                     .count());
}

// Opens the line; returns 0, or the code after saying why, except for a
// signal, which each command answers in its own way. Ctrl-C ends every wait
// on the line at once, the open's included.
int32_t OpenLine(Line* line, const Options& o, bool window, bool spendFirstTransaction = true) {
    OpenOptions options;
    options.window = window;
    options.spendFirstTransaction = spendFirstTransaction;
    options.cancel = &g_interrupted;
    std::string why;
    const int32_t error = line->Open(o, options, &why);
    if (error != 0 && error != MIRA_PK_ERR_CANCELLED)
        (void)Fail(o.json, error == MIRA_PK_ERR_SETTINGS ? kExitUsage : kExitComm, error, why);
    return error;
}

int OpenStatus(int32_t error) {
    return error == MIRA_PK_ERR_CANCELLED ? Interrupted() : error == MIRA_PK_ERR_SETTINGS ? kExitUsage : kExitComm;
}

// Says on stderr when Portkit has lost the line and when it has it back; the
// commands that run on go on by themselves.
class LineWatch {
public:
    LineWatch(const Line& line, const Options& o) : line_(line), port_(o.port), seen_(line.Counters()) {}
    void Note() {
        const PkLinkCounters now = line_.Counters();
        if (now.linesLost != seen_.linesLost)
            std::fprintf(stderr, "mira: %s: the line is lost; Portkit opens it again\n", port_.c_str());
        if (now.reconnects != seen_.reconnects) std::fprintf(stderr, "mira: %s: the line is back\n", port_.c_str());
        seen_ = now;
    }

private:
    const Line& line_;
    std::string port_;
    PkLinkCounters seen_{};
};

// What `mira poll` counted.
struct PollStats {
    uint32_t reads = 0, good = 0;
    uint64_t minMs = UINT64_MAX, maxMs = 0, sumMs = 0;
    std::map<int32_t, uint32_t> errors;
};

// The statistics, then what the line did: lines of text on stdout, or with
// --json one object on stderr, so that stdout stays JSON lines.
void PrintStats(const PollStats& s, const PkLinkCounters& counters, bool json) {
    const std::vector<NamedCounter> fields = CounterFields(counters);
    if (!json) {
        std::printf("%u reads, %u good, %u failed\n", s.reads, s.good, s.reads - s.good);
        for (const auto& [code, n] : s.errors) std::printf("  %u x error %d: %s\n", n, code, DescribeCode(code).c_str());
        if (s.good > 0)
            std::printf("transaction time: min %llu ms, mean %.1f ms, max %llu ms\n",
                        static_cast<unsigned long long>(s.minMs), static_cast<double>(s.sumMs) / s.good,
                        static_cast<unsigned long long>(s.maxMs));
        std::fputs("link:", stdout);
        for (size_t i = 0; i < fields.size(); ++i)
            std::printf("%s%s %llu", i == 0 ? " " : ", ", fields[i].name,
                        static_cast<unsigned long long>(fields[i].value));
        std::fputs("\n", stdout);
        std::fflush(stdout);
        return;
    }
    std::string text = "{\"reads\":" + std::to_string(s.reads) + ",\"good\":" + std::to_string(s.good) +
                       ",\"failed\":" + std::to_string(s.reads - s.good) + ",\"errors\":[";
    for (const auto& [code, n] : s.errors)
        text += std::string(text.back() == '[' ? "" : ",") + "{\"code\":" + std::to_string(code) +
                ",\"count\":" + std::to_string(n) + ",\"message\":" + JsonString(DescribeCode(code)) + "}";
    text += "],\"transactionMs\":";
    if (s.good > 0) {
        char mean[32];
        std::snprintf(mean, sizeof mean, "%.1f", static_cast<double>(s.sumMs) / s.good);
        text += "{\"min\":" + std::to_string(s.minMs) + ",\"mean\":" + mean + ",\"max\":" + std::to_string(s.maxMs) + "}";
    } else {
        text += "null";
    }
    text += ",\"link\":{";
    for (size_t i = 0; i < fields.size(); ++i)
        text += std::string(i == 0 ? "" : ",") + "\"" + fields[i].name + "\":" + std::to_string(fields[i].value);
    std::fprintf(stderr, "%s}}\n", text.c_str());
}

// The exit status of a command whose last exchange ended with this code.
int ExitFor(int32_t code) {
    return code == MIRA_PK_ERR_CANCELLED ? Interrupted() : ExitStatusOf(ExplainLast(code).cause);
}

// Whether the gateway served the request: otherwise why not is on stderr.
bool Answered(const Served& served) {
    if (served.reached && served.httpStatus == 200) return true;
    std::fprintf(stderr, "mira: %s\n", served.message.c_str());
    return false;
}

// The exit status of a request the gateway did not serve: it could not be
// reached (4), refused the request as given (2: an unknown or read-only tag,
// a value that does not fit), or its line failed the way a line of our own
// fails.
int ServedExit(const Served& served) {
    if (!served.reached) return kExitComm;
    if (served.cause != host::Cause::None) return ExitStatusOf(served.cause);
    return served.httpStatus < 500 ? kExitUsage : kExitComm;
}

// A row per result, its item shown after prefix.
std::vector<Row> RowsOf(const std::vector<ItemResult>& results, const std::string& prefix = "",
                        const std::string& header = "") {
    std::vector<Row> rows;
    for (const ItemResult& result : results) {
        Row row;
        row.item = prefix + result.item;
        row.header = header;
        row.time = FormatFileTime(result.time);
        if (result.code != 0) {
            row.errorCode = result.code;
            row.errorMessage = result.message;
        } else {
            row.value = FormatValue(result.value, false);
            row.jsonValue = FormatValue(result.value, true);
            row.quality = result.quality;
        }
        rows.push_back(row);
    }
    return rows;
}

std::vector<std::string> ItemsOf(const Options& o) {
    std::vector<std::string> items(o.operands.begin() + 1, o.operands.end());
    if (items.empty()) items.push_back("0");
    return items;
}

// Against a real line the read begins with the line's first-transaction
// read (host/line.h), whose answer is not shown.
int RunRead(const Options& o) {
    if (!o.server.empty()) {
        const Served served = ServedRead(o, o.operands[0], ItemsOf(o));
        if (!Answered(served)) return ServedExit(served);
        PrintRows(RowsOf(served.results), o.json, stdout);
        return ExitStatusOf(served.cause);
    }
    Line line;
    if (const int32_t error = OpenLine(&line, o, false); error != 0) return OpenStatus(error);
    std::vector<ItemResult> results;
    const int32_t error = line.Read(o.operands[0], ItemsOf(o), &results);
    PrintRows(RowsOf(results), o.json, stdout);
    return ExitFor(error);
}

int RunPoll(const Options& o) {
    Line line;
    PollStats stats;
    // The first transaction is spent before the polls, outside their times.
    // Ctrl-C during the open still ends with the statistics.
    if (const int32_t error = OpenLine(&line, o, false, false); error != 0) {
        if (error != MIRA_PK_ERR_CANCELLED) return OpenStatus(error);
        PrintStats(stats, line.Counters(), o.json);
        return kExitOk;
    }
    const std::vector<std::string> items = ItemsOf(o);
    (void)line.SpendFirstTransaction(o.operands[0], items[0]);  // the polls count their own failures
    LineWatch watch(line, o);
    RowPrinter printer(o.json, stdout);  // the heading once
    int32_t lastError = 0;
    while (!g_interrupted.load() && (o.count == 0 || stats.reads < o.count)) {
        const uint64_t start = NowMs();
        std::vector<ItemResult> results;
        const int32_t error = line.Read(o.operands[0], items, &results);
        if (error == MIRA_PK_ERR_CANCELLED) break;  // no read: Ctrl-C ended it
        const uint64_t took = NowMs() - start;
        watch.Note();
        ++stats.reads;
        lastError = error;
        if (error == 0) {
            ++stats.good;
            stats.minMs = std::min(stats.minMs, took);
            stats.maxMs = std::max(stats.maxMs, took);
            stats.sumMs += took;
        } else {
            ++stats.errors[error];
        }
        printer.Print(RowsOf(results));
        if (o.count != 0 && stats.reads >= o.count) break;
        for (uint64_t until = start + o.everyMs; NowMs() < until && !g_interrupted.load();)
            usleep(std::min<uint64_t>(10, until - NowMs()) * 1000u);
    }
    PrintStats(stats, line.Counters(), o.json);
    return stats.good > 0 || stats.reads == 0 ? kExitOk : ExitFor(lastError);
}

void WrittenRows(const std::vector<std::string>& items, const std::vector<std::string>& texts,
                 const std::vector<HostValueCore>& values, int32_t error, const std::string& message,
                 std::vector<Row>* rows) {
    for (size_t k = 0; k < items.size(); ++k) {
        Row row;
        row.item = items[k];
        row.value = texts[k];
        row.jsonValue = FormatValue(ValueOf(values[k].valueType, values[k].value), true);
        row.time = NowText();
        row.errorCode = error;
        row.errorMessage = message;
        rows->push_back(row);
    }
}

int RunWrite(const Options& o, bool single) {
    const std::string& header = o.operands[0];
    std::vector<std::string> items, texts;
    if (single) {
        items.push_back(o.operands[1]);
        texts.push_back(o.operands[2]);
    } else {
        for (size_t k = 1; k < o.operands.size(); ++k) {
            const size_t eq = o.operands[k].find('=');
            items.push_back(o.operands[k].substr(0, eq));
            texts.push_back(o.operands[k].substr(eq + 1));
        }
    }
    // Values are checked before the line is opened: one that does not fit
    // its item never goes near it, and neither does a group write of what
    // the driver changes only item by item.
    ApplyModelOnly(o);
    std::vector<HostValueCore> values(items.size());
    for (size_t k = 0; k < items.size(); ++k) {
        if (const std::string what = single ? "" : GroupWriteProblem(header, items[k]); !what.empty())
            return Fail(o.json, kExitUsage, kHostRefused,
                        items[k] + " is " + what + ", which a group write does not change: use write-item " + header +
                            " " + items[k] + " " + texts[k]);
        std::string why;
        if (!MakeValue(header, items[k], texts[k], &values[k], &why))
            return Fail(o.json, kExitUsage, kHostRefused, ValueRefusal(items[k], why, texts[k]));
    }
    std::vector<Row> rows;
    if (!o.server.empty()) {
        const Served served = ServedWrite(o, header, items, texts, single);
        // A write the gateway's line failed shows as a write of our own
        // would; one it refused before the line is a refusal.
        const bool lineFailed = served.reached && served.code != 0 && served.httpStatus >= 500;
        if (!lineFailed && !Answered(served)) return ServedExit(served);
        WrittenRows(items, texts, values, served.code, served.message, &rows);
        PrintRows(rows, o.json, stdout);
        return ExitStatusOf(served.cause);
    }
    Line line;
    if (const int32_t error = OpenLine(&line, o, false); error != 0) return OpenStatus(error);
    const int32_t error = single ? line.WriteItem(o.dst, header, items[0], values[0])
                                 : line.WriteGroup(o.dst, header, items, values);
    WrittenRows(items, texts, values, error, error != 0 ? ExplainLast(error).message : "", &rows);
    PrintRows(rows, o.json, stdout);
    return ExitFor(error);
}

int RunListen(const Options& o) {
    Line line;
    if (const int32_t error = OpenLine(&line, o, true); error != 0)
        return error == MIRA_PK_ERR_CANCELLED ? kExitOk : OpenStatus(error);
    if (!o.json) std::fprintf(stdout, "listening on %s; Ctrl-C ends\n", o.port.c_str());
    std::fflush(stdout);
    uint32_t handled = 0;
    LineWatch watch(line, o);
    while (!g_interrupted.load() && (o.count == 0 || handled < o.count)) {
        watch.Note();
        UnsolicitedKey key;
        if (!line.NextUnsolicited(100, &key)) continue;
        // With no items, word 0 of the message: "W0" under a "U:" key, where
        // an item needs its type letter, "0" under a numeric one.
        const bool uKey = key.header.size() >= 2 && (key.header[0] == 'U' || key.header[0] == 'u') &&
                          key.header[1] == ':';
        const std::vector<std::string> items =
            !o.operands.empty() ? o.operands : std::vector<std::string>{uKey ? "W0" : "0"};
        std::vector<ItemResult> results;
        (void)line.TakeUnsolicited(key, items, &results);
        // An SLC 500 names the file it writes in the numeric form; the
        // letter form beside it is the one a read takes.
        const std::string letters = LetterHeader(key.header);
        if (!o.json)
            std::fprintf(stdout, "unsolicited %s%s from station %s\n", key.header.c_str(),
                         letters.empty() ? "" : (" (" + letters + ")").c_str(), key.station.c_str());
        PrintRows(RowsOf(results, key.header + " ", letters), o.json, stdout);
        ++handled;
    }
    return kExitOk;
}

int RunCheck(const Options& o) {
    ApplyModelOnly(o);
    struct Text {
        CheckedText kind;
        std::string typed;
        std::function<CheckedForm(const std::string&)> check;
    };
    std::vector<Text> texts;
    if (!o.address.empty()) {
        texts.push_back({CheckedText::Address, o.address, CheckAddress});
    } else {
        texts.push_back({CheckedText::Header, o.operands[0], CheckHeader});
        const std::string& header = o.operands[0];
        if (o.operands.size() > 1)
            texts.push_back({CheckedText::Item, o.operands[1],
                             [header](const std::string& t) { return CheckItem(header, t); }});
    }
    std::vector<Row> rows;
    bool invalid = false;
    for (const Text& t : texts) {
        Row row;
        row.item = t.typed;
        const CheckedForm checked = t.check(t.typed);
        row.value = checked.canonical;
        row.jsonValue = JsonString(row.value);
        row.time = NowText();
        // The check's result is the read's own verdict: a text it refuses is
        // never shown as merely rewritten.
        const auto rewrite = [&t](const std::string& s) { return t.check(s).canonical; };
        if (checked.refused != 0) {
            // Appended, not "literal" + string: gcc 12 at -O3 warns -Wrestrict on the latter.
            row.note = "a read refuses it: error ";
            row.note.append(std::to_string(checked.refused)).append(": ").append(DescribeCode(checked.refused));
            if (ReplacedByDefault(t.kind, t.typed, row.value, rewrite))
                row.note = "replaced by the default: names no valid address";
            invalid = true;
        } else if (row.value != t.typed) {
            row.note = "canonical form";
        }
        rows.push_back(row);
    }
    if (o.json) {
        PrintRows(rows, true, stdout);
    } else {
        std::vector<std::vector<std::string>> lines = {{"TEXT", "CANONICAL", "NOTE"}};
        for (const Row& row : rows) lines.push_back({Printable(row.item), Printable(row.value), row.note});
        PrintTable(lines, stdout);
    }
    return invalid ? kExitInvalid : kExitOk;
}

}  // namespace

int Run(int argc, const char* const* argv) {
    Options o;
    std::string error;
    if (!ParseArgs(argc, argv, &o, &error)) {
        // --json asked for anywhere before "--": the refusal as JSON too.
        bool json = false;
        for (int i = 1; i < argc && std::strcmp(argv[i], "--") != 0; ++i) json = json || std::strcmp(argv[i], "--json") == 0;
        (void)Fail(json, kExitUsage, kHostRefused, error);
        std::fputs("Run \"mira --help\" for the commands and options.\n", stderr);
        return kExitUsage;
    }
    // The driver takes any model text and reads an unknown one as SLC 500;
    // mira refuses it instead, with the texts the driver knows.
    if (!o.model.empty() && !KnownModel(o.model))
        return Fail(o.json, kExitUsage, kHostRefused,
                    std::string("--model: one of ") + kModelTexts + ", got \"" + o.model + "\"");
    if (o.command == Command::Help) {
        std::fputs(HelpText(o.helpTopic).c_str(), stdout);
        return kExitOk;
    }
    if (o.command == Command::Version) {
        std::printf("%s\n", VersionText());
        return kExitOk;
    }
    if (!WatchLine(o.trace))
        return Fail(o.json, kExitUsage, kHostRefused,
                    "cannot write the trace to " + o.trace + ": " + std::strerror(errno));
    // Ctrl-C ends a command that uses the line at any moment, the open included.
    const Command c = o.command;
    std::optional<InterruptCatcher> interrupts;
    if (c == Command::Read || c == Command::Poll || c == Command::Write || c == Command::WriteItem ||
        c == Command::Listen || c == Command::Sim)
        interrupts.emplace();
    int rc = kExitOk;
    switch (o.command) {
        case Command::Read: rc = RunRead(o); break;
        case Command::Poll: rc = RunPoll(o); break;
        case Command::Write: rc = RunWrite(o, false); break;
        case Command::WriteItem: rc = RunWrite(o, true); break;
        case Command::Listen: rc = RunListen(o); break;
        case Command::Check: rc = RunCheck(o); break;
        case Command::Sim: rc = RunSim(o, g_interrupted); break;
        case Command::Ports: rc = RunPorts(o); break;
        case Command::Scan: rc = RunScan(o); break;
        case Command::Serve: rc = RunServe(o); break;
        default: break;
    }
    StopWatching();
    return rc;
}

}  // namespace mira::cli

int main(int argc, char** argv) { return mira::cli::Run(argc, argv); }
