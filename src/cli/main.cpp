// mira: reads, writes, polls and listens to a DF1 controller through
// libmira and Portkit; checks addresses; runs the simulator.
#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <functional>
#include <iterator>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "cli/args.h"
#include "cli/commands.h"
#include "cli/format.h"
#include "cli/line_watch.h"
#include "cli/output.h"
#include "cli/values.h"
#include "mira/mira.h"
#include "mira/portkit_codes.h"
#include "portkit/portkit_host.h"
#include "mira/portkit.h"

namespace mira::cli {
namespace {

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

std::string NowText() {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    tm local{};
    localtime_r(&ts.tv_sec, &local);
    char buf[96];
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02dT%02d:%02d:%02d.%03d", local.tm_year + 1900, local.tm_mon + 1,
                  local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec, static_cast<int>(ts.tv_nsec / 1000000L));
    return buf;
}

template <size_t N>
void CopyWide(char16_t (&field)[N], const std::string& text) {
    const std::u16string w = ToWide(text);
    const size_t n = std::min(w.size(), N - 1);
    std::copy(w.begin(), w.begin() + static_cast<std::ptrdiff_t>(n), field);
    field[n] = 0;
}

// The window of this host: the receive thread hands the key text over here.
struct Window {
    MiraWindow record{};
    std::mutex mutex;
    std::condition_variable wake;
    std::deque<std::u16string> keys;
};

void PostToWindow(void* context, uint32_t message, uintptr_t, intptr_t lParam) {
    if (message != MIRA_WM_UNSOLICITED || lParam == 0) return;
    auto* window = static_cast<Window*>(context);
    const auto* key = reinterpret_cast<const char16_t*>(lParam);
    std::u16string copy;
    for (size_t i = 0; i < 64 && key[i] != 0; ++i) copy.push_back(key[i]);  // a key text holds 64 at most
    {
        std::lock_guard<std::mutex> lock(window->mutex);
        if (window->keys.size() < 1000) window->keys.push_back(copy);
    }
    window->wake.notify_one();
}

bool InProcessSimulator(const Options& o) { return o.port == "sim" || o.port.rfind("sim:", 0) == 0; }

std::string DefaultModel(const Options& o) {
    if (!o.model.empty()) return o.model;
    if (o.port.rfind("sim:plc5", 0) == 0) return "PLC5";
    if (o.port.rfind("sim:plc2", 0) == 0) return "PLC2";
    return "SLC500";
}

// The simulator answers as the station --dst names, unless the port gives one.
std::string PortName(const Options& o) {
    if (!InProcessSimulator(o)) return o.port;
    std::string name = o.port == "sim" ? "sim:slc500" : o.port;
    // gcc 12 -Wrestrict false positive (GCC PR 105329): short literals joined to a std::string at -O3.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wrestrict"
#endif
    if (std::count(name.begin(), name.end(), ':') == 1) name += ":" + std::to_string(std::min(o.dst, 254u));
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif
    return name;
}

DriverSettings MakeSettings(const Options& o) {
    DriverSettings s{};
    s.baud = o.baud;
    s.parity = o.parity;
    s.dataBits = o.dataBits;
    s.stopBits = o.stopBits;
    s.replyTimeoutMs = o.timeoutMs;
    CopyWide(s.StationText, std::to_string(o.station));
    CopyWide(s.ModelText, DefaultModel(o));
    CopyWide(s.ModeText, o.mode);
    s.ErrorCheckOption = o.crc ? 1 : 0;
    CopyWide(s.portName, PortName(o));
    return s;
}

class Driver {
public:
    ~Driver() {
        if (open_) UDrvClose();
    }
    // Opens the port; prints why not and returns the exit status otherwise.
    int Open(const Options& o, Window* window) {
        const DriverSettings settings = MakeSettings(o);
        const PkLinkSettings link{o.ackTimeoutMs, o.nakRetries, o.enqRetries};
        (void)PkSetLinkSettings(&link);
        char16_t version[8] = {};
        int32_t error = 0;
        if (window != nullptr) {
            window->record.post = PostToWindow;
            window->record.context = window;
        }
        const auto handle = window != nullptr ? reinterpret_cast<MiraWindowHandle>(&window->record) : 0;
        if (UDrvOpen(handle, &settings, version, &error) == 1 && error == 0) {
            open_ = true;
            return kExitOk;
        }
        // Portkit's reason names the device already; the code adds its meaning.
        const std::string why = PkLastOpenError();
        const std::string meaning = error != 0 ? DescribeCode(error) : "the driver did not open the port";
        if (why.empty()) {
            std::fprintf(stderr, "mira: cannot open %s: %s\n", o.port.c_str(), meaning.c_str());
        } else {
            std::fprintf(stderr, "mira: cannot open %s (%s)\n", why.c_str(), meaning.c_str());
        }
        return error == MIRA_PK_ERR_SETTINGS ? kExitUsage : kExitComm;
    }

private:
    bool open_ = false;
};

// Says on stderr when Portkit has lost the line and when it has it back; the
// commands that run on go on by themselves.
class LineWatch {
public:
    explicit LineWatch(const Options& o) : port_(o.port) { PkGetLinkCounters(&seen_); }
    void Note() {
        PkLinkCounters now{};
        PkGetLinkCounters(&now);
        if (now.linesLost != seen_.linesLost)
            std::fprintf(stderr, "mira: %s: the line is lost; Portkit opens it again\n", port_.c_str());
        if (now.reconnects != seen_.reconnects) std::fprintf(stderr, "mira: %s: the line is back\n", port_.c_str());
        seen_ = now;
    }

private:
    std::string port_;
    PkLinkCounters seen_{};
};

// What the line did, after the statistics of `mira poll`.
void PrintLinkCounters(bool json, FILE* out) {
    PkLinkCounters c{};
    PkGetLinkCounters(&c);
    const struct {
        const char* name;
        uint64_t value;
    } fields[] = {{"framesSent", c.framesSent}, {"framesReceived", c.framesReceived}, {"bytesSent", c.bytesSent},
                  {"bytesReceived", c.bytesReceived}, {"acksSent", c.acksSent}, {"acksReceived", c.acksReceived},
                  {"naksSent", c.naksSent}, {"naksReceived", c.naksReceived}, {"enqsSent", c.enqsSent},
                  {"enqsReceived", c.enqsReceived}, {"retransmissions", c.retransmissions},
                  {"badChecks", c.badChecks}, {"replyTimeouts", c.replyTimeouts}, {"overflows", c.overflows},
                  {"bytesDropped", c.bytesDropped}, {"linesLost", c.linesLost}, {"reconnects", c.reconnects}};
    std::fputs(json ? "{\"link\":{" : "link:", out);
    for (size_t i = 0; i < std::size(fields); ++i)
        std::fprintf(out, json ? "%s\"%s\":%llu" : "%s%s %llu", i == 0 ? (json ? "" : " ") : (json ? "," : ", "),
                     fields[i].name, static_cast<unsigned long long>(fields[i].value));
    std::fputs(json ? "}}\n" : "\n", out);
}

struct WideList {
    std::vector<std::u16string> texts;
    std::vector<const char16_t*> pointers;
    explicit WideList(const std::vector<std::string>& items) {
        for (const auto& item : items) texts.push_back(ToWide(item));
        for (const auto& text : texts) pointers.push_back(text.c_str());
    }
};

// Waits for a finish call to report the end; a guard beyond the reply
// time-out keeps a misbehaving exchange from hanging the command.
template <class Finish>
int32_t AwaitFinish(const Options& o, Finish finish) {
    const uint64_t guard = NowMs() + o.timeoutMs + 5000;
    int32_t error = 0;
    while (finish(&error) == 0) {
        if (NowMs() > guard || g_interrupted.load()) return MIRA_PK_ERR_TIMEOUT;
        PkYield();
    }
    return error;
}

// The exit status of a command whose last exchange ended with this code.
int ExitFor(int32_t code) { return Explain(code, Observed()).exit; }

void ErrorRows(const std::vector<std::string>& items, int32_t code, std::vector<Row>* rows) {
    const std::string message = Explain(code, Observed()).message;
    for (const auto& item : items) {
        Row row;
        row.item = item;
        row.time = NowText();
        row.errorCode = code;
        row.errorMessage = message;
        rows->push_back(row);
    }
}

// One group read; appends a row per item and returns 0 or the code.
int32_t ReadOnce(const Options& o, const std::string& header, const std::vector<std::string>& items,
                 std::vector<Row>* rows) {
    const std::u16string station = ToWide(std::to_string(o.dst));
    const std::u16string head = ToWide(header);
    WideList list(items);
    std::vector<HostValue> values(items.size());
    int32_t error = 0;
    const auto count = static_cast<int32_t>(items.size());
    BeginExchange();
    if (UDrvReadGroupStart(station.c_str(), head.c_str(), list.pointers.data(), count, &error) != 1 || error != 0) {
        if (error == 0) error = kDriverRefused;
    } else {
        error = AwaitFinish(o, [&](int32_t* e) { return UDrvReadGroupFinishExt(values.data(), 0, count, e); });
    }
    if (error != 0) {
        ErrorRows(items, error, rows);
        return error;
    }
    for (size_t i = 0; i < items.size(); ++i) {
        Row row;
        row.item = items[i];
        row.value = FormatValue(values[i].valueType, values[i].value, false);
        row.jsonValue = FormatValue(values[i].valueType, values[i].value, true);
        row.quality = values[i].quality;
        row.time = FormatFileTime(values[i].timestamp);
        rows->push_back(row);
    }
    return 0;
}

// The driver numbers its transactions from 0 after every open, and a
// controller that drops duplicate messages remembers the last command it
// took. The first request of a run would then repeat the first request of
// the run before (same source, command and TNS 0) and be acknowledged and
// thrown away. One read of the header's first item spends TNS 0 whatever its
// answer, and the requests asked for follow with fresh numbers. The
// in-process simulator starts afresh with every run and needs none.
//
// Returns 0, or the code the requests asked for would meet as well: a
// controller silent through the whole exchange (not even the DLE ACK a
// duplicate gets), or a device that is gone. Reporting it at once spares a
// second wait for the same silence.
int32_t SpendFirstTransaction(const Options& o, const std::string& header, const std::string& item) {
    if (InProcessSimulator(o)) return 0;
    const uint64_t heard = PkReceivedBytes();
    std::vector<Row> ignored;
    const int32_t error = ReadOnce(o, header, {item}, &ignored);
    if (error == MIRA_PK_ERR_CLOSED) return error;
    // A string read that heard nothing fails with 256: the same silence.
    const bool silent = error == MIRA_PK_ERR_TIMEOUT || error == MIRA_ERR_CONTROLLER_STATUS;
    if (silent && PkReceivedBytes() == heard) return error;
    return 0;
}

std::vector<std::string> ItemsOf(const Options& o) {
    std::vector<std::string> items(o.operands.begin() + 1, o.operands.end());
    if (items.empty()) items.push_back("0");
    return items;
}

int RunRead(const Options& o) {
    Driver driver;
    if (const int rc = driver.Open(o, nullptr); rc != kExitOk) return rc;
    const std::vector<std::string> items = ItemsOf(o);
    std::vector<Row> rows;
    int32_t error = SpendFirstTransaction(o, o.operands[0], items[0]);
    if (error != 0) {
        ErrorRows(items, error, &rows);
    } else {
        error = ReadOnce(o, o.operands[0], items, &rows);
    }
    PrintRows(rows, o.json, stdout);
    return ExitFor(error);
}

int RunPoll(const Options& o) {
    Driver driver;
    if (const int rc = driver.Open(o, nullptr); rc != kExitOk) return rc;
    CatchInterrupts();
    const std::vector<std::string> items = ItemsOf(o);
    (void)SpendFirstTransaction(o, o.operands[0], items[0]);  // the polls count their own failures
    LineWatch watch(o);
    uint32_t reads = 0, good = 0;
    uint64_t minMs = UINT64_MAX, maxMs = 0, sumMs = 0;
    std::map<int32_t, uint32_t> errors;
    int32_t lastError = 0;
    while (!g_interrupted.load() && (o.count == 0 || reads < o.count)) {
        const uint64_t start = NowMs();
        std::vector<Row> rows;
        const int32_t error = ReadOnce(o, o.operands[0], items, &rows);
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
        PrintRows(rows, o.json, stdout);
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
    PrintLinkCounters(o.json, out);
    return good > 0 || reads == 0 ? kExitOk : ExitFor(lastError);
}

// The checks of texts and values need only the model settings. A block that
// Portkit refuses at once (speed 1) applies them without opening a line.
void ApplyModelOnly(const Options& o) {
    Options settingsOnly = o;
    settingsOnly.baud = 1;
    DriverSettings settings = MakeSettings(settingsOnly);
    char16_t version[8] = {};
    int32_t error = 0;
    if (UDrvOpen(0, &settings, version, &error) == 1) UDrvClose();
}

// The checks rewrite a host's text in place, into a buffer of their size;
// their result (0, or the code a read refuses the text with) goes to *verdict.
std::string Checked(const std::string& text, const std::function<int32_t(char16_t*)>& check,
                    int32_t* verdict = nullptr) {
    char16_t buffer[MIRA_CHECKED_TEXT_BUFFER] = {};
    const std::u16string w = ToWide(text);
    std::copy(w.begin(), w.begin() + static_cast<std::ptrdiff_t>(std::min<size_t>(w.size(), MIRA_MAX_CHECKED_TEXT)),
              buffer);
    const int32_t result = check(buffer);
    if (verdict != nullptr) *verdict = result;
    return ToUtf8(buffer, MIRA_CHECKED_TEXT_BUFFER);
}

// The host value for a write, typed as the driver types the item and
// refused when it does not fit the item (the driver would send another).
bool MakeValue(const std::string& header, const std::string& item, const std::string& text, HostValueCore* value,
               std::string* why) {
    const std::u16string h = ToWide(header), i = ToWide(item);
    const int32_t type = UDrvGetType(h.c_str(), i.c_str());
    const std::string canonical = Checked(item, [&](char16_t* b) { return UDrvValidAddress(h.c_str(), b); });
    return MakeHostValue(RuleFor(type, canonical), text, value, why);
}

void WrittenRows(const std::vector<std::string>& items, const std::vector<std::string>& texts,
                 const std::vector<HostValueCore>& values, int32_t error, std::vector<Row>* rows) {
    for (size_t k = 0; k < items.size(); ++k) {
        Row row;
        row.item = items[k];
        row.value = texts[k];
        row.jsonValue = FormatValue(values[k].valueType, values[k].value, true);
        row.time = NowText();
        row.errorCode = error;
        if (error != 0) row.errorMessage = Explain(error, Observed()).message;
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
            std::fprintf(stderr, "mira: %s: expected %s, got \"%s\"\n", items[k].c_str(), why.c_str(), texts[k].c_str());
            return kExitUsage;
        }
    }
    Driver driver;
    if (const int rc = driver.Open(o, nullptr); rc != kExitOk) return rc;
    const std::u16string station = ToWide(std::to_string(o.dst));
    const std::u16string head = ToWide(header);
    WideList list(items);
    // Nothing is written when the first exchange found the controller silent or gone.
    int32_t error = SpendFirstTransaction(o, header, items[0]);
    if (error == 0) {
        BeginExchange();
        int32_t started = 0;
        if (single) {
            started = UDrvWriteItemStart(station.c_str(), head.c_str(), list.pointers[0], values.data(), &error);
        } else {
            started = UDrvWriteGroupStart(station.c_str(), head.c_str(), list.pointers.data(), values.data(),
                                          static_cast<int32_t>(items.size()), &error);
        }
        if (started != 1 || error != 0) {
            if (error == 0) error = kDriverRefused;
        } else if (single) {
            error = AwaitFinish(o, [](int32_t* e) { return UDrvWriteItemFinish(e); });
        } else {
            error = AwaitFinish(o, [](int32_t* e) { return UDrvWriteGroupFinish(e); });
        }
    }
    std::vector<Row> rows;
    WrittenRows(items, texts, values, error, &rows);
    PrintRows(rows, o.json, stdout);
    return ExitFor(error);
}

int RunListen(const Options& o) {
    Window window;
    Driver driver;
    if (const int rc = driver.Open(o, &window); rc != kExitOk) return rc;
    CatchInterrupts();
    if (!o.json) std::fprintf(stdout, "listening on %s; Ctrl-C ends\n", o.port.c_str());
    std::fflush(stdout);
    uint32_t handled = 0;
    LineWatch watch(o);
    while (!g_interrupted.load() && (o.count == 0 || handled < o.count)) {
        watch.Note();
        std::u16string key;
        {
            std::unique_lock<std::mutex> lock(window.mutex);
            window.wake.wait_for(lock, std::chrono::milliseconds(100), [&] { return !window.keys.empty(); });
            if (window.keys.empty()) continue;
            key = window.keys.front();
            window.keys.pop_front();
        }
        const size_t tab = key.find(u'\t');
        const std::u16string header = key.substr(0, tab);
        const std::u16string station = tab == std::u16string::npos ? u"0" : key.substr(tab + 1);
        // With no items, word 0 of the message: "W0" under a "U:" key, where
        // an item needs its type letter, "0" under a numeric one.
        const bool uKey = header.size() >= 2 && (header[0] == u'U' || header[0] == u'u') && header[1] == u':';
        const std::vector<std::string> items =
            !o.operands.empty() ? o.operands : std::vector<std::string>{uKey ? "W0" : "0"};
        WideList list(items);
        std::vector<HostValueCore> values(items.size());
        int32_t error = 0;
        const int32_t delivered = UDrvProcessUnsolicitedReadMessage(
            0, header.c_str(), station.c_str(), list.pointers.data(), values.data(),
            static_cast<int32_t>(items.size()), &error);
        if (error != 0) {
            // Refused or carrying an error status: drop it so the slot frees.
            int32_t ignored = 0;
            UDrvProcessUnsolicitedReadMessage(0, header.c_str(), station.c_str(), nullptr, nullptr, 0, &ignored);
        }
        const std::string keyText = ToUtf8(header.c_str(), header.size());
        const std::string stationText = ToUtf8(station.c_str(), station.size());
        std::vector<Row> rows;
        for (size_t k = 0; k < items.size(); ++k) {
            Row row;
            row.item = keyText + " " + items[k];
            row.time = NowText();
            if (delivered == 1 && error == 0) {
                // The message's words come unsigned; read shows them signed.
                if (values[k].valueType == MIRA_VALUE_INTEGER && values[k].value.integer > 32767 &&
                    values[k].value.integer <= 65535)
                    values[k].value.integer -= 65536;
                row.value = FormatValue(values[k].valueType, values[k].value, false);
                row.jsonValue = FormatValue(values[k].valueType, values[k].value, true);
                row.quality = MIRA_QUALITY_GOOD;
            } else {
                row.errorCode = error;
                row.errorMessage = DescribeCode(error);
            }
            rows.push_back(row);
        }
        if (!o.json) std::fprintf(stdout, "unsolicited %s from station %s\n", keyText.c_str(), stationText.c_str());
        PrintRows(rows, o.json, stdout);
        ++handled;
    }
    return kExitOk;
}

int RunCheck(const Options& o) {
    ApplyModelOnly(o);
    struct Text {
        CheckedText kind;
        std::string typed;
        std::function<int32_t(char16_t*)> check;
    };
    std::vector<Text> texts;
    if (!o.address.empty()) {
        texts.push_back({CheckedText::Address, o.address, [](char16_t* b) { return UDrvValidAddressEx(b); }});
    } else {
        texts.push_back({CheckedText::Header, o.operands[0], [](char16_t* b) { return UDrvValidHeader(b); }});
        const std::u16string header = ToWide(o.operands[0]);
        if (o.operands.size() > 1)
            texts.push_back({CheckedText::Item, o.operands[1],
                             [header](char16_t* b) { return UDrvValidAddress(header.c_str(), b); }});
    }
    std::vector<Row> rows;
    bool invalid = false;
    for (const Text& t : texts) {
        Row row;
        row.item = t.typed;
        int32_t refused = 0;
        row.value = Checked(t.typed, t.check, &refused);
        row.jsonValue = JsonString(row.value);
        row.time = NowText();
        // The check's result is the read's own verdict: a text it refuses is
        // never shown as merely rewritten.
        const auto rewrite = [&t](const std::string& s) { return Checked(s, t.check); };
        if (refused != 0) {
            row.note = ReplacedByDefault(t.kind, t.typed, row.value, rewrite)
                           ? "replaced by the default: names no valid address"
                           : "a read refuses it: error " + std::to_string(refused) + ": " + DescribeCode(refused);
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
    if (!o.model.empty() && UDrvValidString1(ToWide(o.model).c_str()) != 0) {
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
        default: break;
    }
    StopWatching();
    return rc;
}

}  // namespace mira::cli

int main(int argc, char** argv) { return mira::cli::Run(argc, argv); }
