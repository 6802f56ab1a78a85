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
#include <string>
#include <vector>

#include "cli/args.h"
#include "cli/commands.h"
#include "cli/output.h"
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

std::atomic<bool> g_interrupted{false};
void OnSignal(int) { g_interrupted.store(true); }

void CatchInterrupts() {
    struct sigaction action {};
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

uint64_t NowMs() {
    return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                     std::chrono::steady_clock::now().time_since_epoch())
                                     .count());
}

// Opens the line; prints why not and returns the exit status otherwise.
// Ctrl-C ends a wait on the line at once.
int OpenLine(Line* line, const Options& o, bool window, bool spendFirstTransaction = true) {
    OpenOptions options;
    options.window = window;
    options.spendFirstTransaction = spendFirstTransaction;
    options.cancel = &g_interrupted;
    std::string why;
    const int32_t error = line->Open(o, options, &why);
    if (error == 0) return kExitOk;
    std::fprintf(stderr, "mira: %s\n", why.c_str());
    return error == MIRA_PK_ERR_SETTINGS ? kExitUsage : kExitComm;
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

// What the line did, after the statistics of `mira poll`.
void PrintLinkCounters(const PkLinkCounters& counters, bool json, FILE* out) {
    const std::vector<NamedCounter> fields = CounterFields(counters);
    std::fputs(json ? "{\"link\":{" : "link:", out);
    for (size_t i = 0; i < fields.size(); ++i)
        std::fprintf(out, json ? "%s\"%s\":%llu" : "%s%s %llu", i == 0 ? (json ? "" : " ") : (json ? "," : ", "),
                     fields[i].name, static_cast<unsigned long long>(fields[i].value));
    std::fputs(json ? "}}\n" : "\n", out);
}

// The exit status of a command whose last exchange ended with this code.
int ExitFor(int32_t code) { return ExitStatusOf(ExplainLast(code).cause); }

// A row per result, its item shown after prefix.
std::vector<Row> RowsOf(const std::vector<ItemResult>& results, const std::string& prefix = "") {
    std::vector<Row> rows;
    for (const ItemResult& result : results) {
        Row row;
        row.item = prefix + result.item;
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
    Line line;
    if (const int rc = OpenLine(&line, o, false); rc != kExitOk) return rc;
    std::vector<ItemResult> results;
    const int32_t error = line.Read(o.operands[0], ItemsOf(o), &results);
    PrintRows(RowsOf(results), o.json, stdout);
    return ExitFor(error);
}

int RunPoll(const Options& o) {
    Line line;
    // The first transaction is spent before the polls, outside their times.
    if (const int rc = OpenLine(&line, o, false, false); rc != kExitOk) return rc;
    CatchInterrupts();
    const std::vector<std::string> items = ItemsOf(o);
    (void)line.SpendFirstTransaction(o.operands[0], items[0]);  // the polls count their own failures
    LineWatch watch(line, o);
    uint32_t reads = 0, good = 0;
    uint64_t minMs = UINT64_MAX, maxMs = 0, sumMs = 0;
    std::map<int32_t, uint32_t> errors;
    int32_t lastError = 0;
    while (!g_interrupted.load() && (o.count == 0 || reads < o.count)) {
        const uint64_t start = NowMs();
        std::vector<ItemResult> results;
        const int32_t error = line.Read(o.operands[0], items, &results);
        const uint64_t took = NowMs() - start;
        watch.Note();
        ++reads;
        lastError = error;
        if (error == 0) {
            ++good;
            minMs = std::min(minMs, took);
            maxMs = std::max(maxMs, took);
            sumMs += took;
        } else {
            ++errors[error];
        }
        PrintRows(RowsOf(results), o.json, stdout);
        if (o.count != 0 && reads >= o.count) break;
        for (uint64_t until = start + o.everyMs; NowMs() < until && !g_interrupted.load();)
            usleep(std::min<uint64_t>(10, until - NowMs()) * 1000u);
    }
    // The statistics go to stderr with --json, so that stdout stays JSON lines.
    FILE* out = o.json ? stderr : stdout;
    std::fprintf(out, "%u reads, %u good, %u failed\n", reads, good, reads - good);
    for (const auto& [code, n] : errors) std::fprintf(out, "  %u x error %d: %s\n", n, code, DescribeCode(code).c_str());
    if (good > 0)
        std::fprintf(out, "transaction time: min %llu ms, mean %.1f ms, max %llu ms\n",
                     static_cast<unsigned long long>(minMs), static_cast<double>(sumMs) / good,
                     static_cast<unsigned long long>(maxMs));
    PrintLinkCounters(line.Counters(), o.json, out);
    return good > 0 || reads == 0 ? kExitOk : ExitFor(lastError);
}

void WrittenRows(const std::vector<std::string>& items, const std::vector<std::string>& texts,
                 const std::vector<HostValueCore>& values, int32_t error, std::vector<Row>* rows) {
    const std::string message = error != 0 ? ExplainLast(error).message : "";
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
    // its item never goes near it.
    ApplyModelOnly(o);
    std::vector<HostValueCore> values(items.size());
    for (size_t k = 0; k < items.size(); ++k) {
        std::string why;
        if (!MakeValue(header, items[k], texts[k], &values[k], &why)) {
            std::fprintf(stderr, "mira: %s\n", ValueRefusal(items[k], why, texts[k]).c_str());
            return kExitUsage;
        }
    }
    Line line;
    if (const int rc = OpenLine(&line, o, false); rc != kExitOk) return rc;
    const int32_t error = single ? line.WriteItem(o.dst, header, items[0], values[0])
                                 : line.WriteGroup(o.dst, header, items, values);
    std::vector<Row> rows;
    WrittenRows(items, texts, values, error, &rows);
    PrintRows(rows, o.json, stdout);
    return ExitFor(error);
}

int RunListen(const Options& o) {
    Line line;
    if (const int rc = OpenLine(&line, o, true); rc != kExitOk) return rc;
    CatchInterrupts();
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
        if (!o.json)
            std::fprintf(stdout, "unsolicited %s from station %s\n", key.header.c_str(), key.station.c_str());
        PrintRows(RowsOf(results, key.header + " "), o.json, stdout);
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
        std::fprintf(stderr, "mira: %s\nRun \"mira --help\" for the commands and options.\n", error.c_str());
        return kExitUsage;
    }
    // The driver takes any model text and reads an unknown one as SLC 500;
    // mira refuses it instead, with the texts the driver knows.
    if (!o.model.empty() && !KnownModel(o.model)) {
        std::fprintf(stderr, "mira: --model: one of %s, got \"%s\"\n", kModelTexts, o.model.c_str());
        return kExitUsage;
    }
    if (o.command == Command::Help) {
        std::fputs(HelpText(o.helpTopic).c_str(), stdout);
        return kExitOk;
    }
    if (!WatchLine(o.trace)) {
        std::fprintf(stderr, "mira: cannot write the trace to %s: %s\n", o.trace.c_str(), std::strerror(errno));
        return kExitUsage;
    }
    int rc = kExitOk;
    switch (o.command) {
        case Command::Read: rc = RunRead(o); break;
        case Command::Poll: rc = RunPoll(o); break;
        case Command::Write: rc = RunWrite(o, false); break;
        case Command::WriteItem: rc = RunWrite(o, true); break;
        case Command::Listen: rc = RunListen(o); break;
        case Command::Check: rc = RunCheck(o); break;
        case Command::Sim: CatchInterrupts(); rc = RunSim(o, g_interrupted); break;
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
