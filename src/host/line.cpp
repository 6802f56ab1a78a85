#include "host/line.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <condition_variable>
#include <deque>
#include <iterator>
#include <mutex>

#include "host/checks.h"
#include "host/codes.h"
#include "host/line_watch.h"
#include "host/values.h"
#include "mira/portkit.h"
#include "mira/portkit_codes.h"
#ifdef _WIN32
#include "host/windows/host_window.h"
#endif

namespace mira::host {
namespace {

// The driver holds one state per process: set while a Line is open or
// ApplyModelOnly borrows the driver.
std::atomic<bool> g_driverHeld{false};

bool TakeDriver() {
    bool expected = false;
    return g_driverHeld.compare_exchange_strong(expected, true);
}

// How soon a wait of the host's own sees the cancel flag.
constexpr std::chrono::milliseconds kCancelStep{10};
// The longest look for a finish's report between the line's events: the
// receive thread's step while an exchange waits.
constexpr uint32_t kFinishLookMs = 10;

uint64_t NowMs() {
    return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                     std::chrono::steady_clock::now().time_since_epoch())
                                     .count());
}

template <size_t N>
void CopyWide(char16_t (&field)[N], const std::string& text) {
    const std::u16string w = ToWide(text);
    const size_t n = std::min(w.size(), N - 1);
    std::copy(w.begin(), w.begin() + static_cast<std::ptrdiff_t>(n), field);
    field[n] = 0;
}

// Texts in the form the driver's group calls take them.
struct WideList {
    std::vector<std::u16string> texts;
    std::vector<const char16_t*> pointers;
    explicit WideList(const std::vector<std::string>& items) {
        for (const auto& item : items) texts.push_back(ToWide(item));
        for (const auto& text : texts) pointers.push_back(text.c_str());
    }
};

}  // namespace

// The window of this host: the bridge's thread hands the key text over here
// and the line's thread takes it.
struct Line::Window {
    MiraWindow record{};
    std::mutex mutex;
    std::condition_variable wake;
    std::deque<std::u16string> keys;
    std::function<void()> onMessage;

    static void Post(void* context, uint32_t message, uintptr_t, intptr_t lParam) {
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
        if (window->onMessage) window->onMessage();
    }
};

bool InProcessSimulator(const LineSettings& s) { return s.port == "sim" || s.port.rfind("sim:", 0) == 0; }

std::string DefaultModel(const LineSettings& s) {
    if (!s.model.empty()) return s.model;
    if (s.port.rfind("sim:plc5", 0) == 0) return "PLC5";
    if (s.port.rfind("sim:plc2", 0) == 0) return "PLC2";
    return "SLC500";
}

std::string PortName(const LineSettings& s) {
    if (!InProcessSimulator(s)) return s.port;
    std::string name = s.port == "sim" ? "sim:slc500" : s.port;
    // gcc 12 -Wrestrict false positive (GCC PR 105329): short literals joined to a std::string at -O3.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wrestrict"
#endif
    if (std::count(name.begin(), name.end(), ':') == 1) name += ":" + std::to_string(std::min(s.dst, 254u));
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif
    return name;
}

DriverSettings MakeSettings(const LineSettings& s) {
    DriverSettings d{};
    d.baud = s.baud;
    d.parity = s.parity;
    d.dataBits = s.dataBits;
    d.stopBits = s.stopBits;
    d.replyTimeoutMs = s.timeoutMs;
    CopyWide(d.StationText, std::to_string(s.station));
    CopyWide(d.ModelText, DefaultModel(s));
    CopyWide(d.ModeText, s.mode);
    d.ErrorCheckOption = s.crc ? 1 : 0;
    CopyWide(d.portName, PortName(s));
    return d;
}

bool ApplyModelOnly(const LineSettings& s) {
    if (!TakeDriver()) return false;
    LineSettings settingsOnly = s;
    settingsOnly.baud = 1;
    const DriverSettings settings = MakeSettings(settingsOnly);
    char16_t version[8] = {};
    int32_t error = 0;
    if (UDrvOpen(0, &settings, version, &error) == 1) UDrvClose();
    g_driverHeld.store(false);
    return true;
}

// The line resets (the open's, a failed read's) and the controller's answers
// to them are shown apart: on a healthy line they are no faults of the exchanges.
std::vector<NamedCounter> CounterFields(const PkLinkCounters& c) {
    return {{"framesSent", c.framesSent}, {"framesReceived", c.framesReceived}, {"bytesSent", c.bytesSent},
            {"bytesReceived", c.bytesReceived}, {"acksSent", c.acksSent},
            {"acksReceived", c.acksReceived - c.resetAcks}, {"naksSent", c.naksSent},
            {"naksReceived", c.naksReceived - c.resetNaks}, {"enqsSent", c.enqsSent - c.lineResets},
            {"enqsReceived", c.enqsReceived}, {"framesRefused", c.framesRefused},
            {"retransmissions", c.retransmissions}, {"badChecks", c.badChecks},
            {"replyTimeouts", c.replyTimeouts}, {"overflows", c.overflows}, {"bytesDropped", c.bytesDropped},
            {"linesLost", c.linesLost}, {"reconnects", c.reconnects}, {"lineResets", c.lineResets},
            {"resetAcks", c.resetAcks}, {"resetNaks", c.resetNaks}};
}

Line::Line() = default;

Line::~Line() { Close(); }

int32_t Line::Open(const LineSettings& settings, const OpenOptions& options, std::string* why) {
    if (!TakeDriver()) {
        *why = "cannot open " + settings.port + ": " + DescribeCode(kLineAlreadyOpen);
        return kLineAlreadyOpen;
    }
    settings_ = settings;
    options_ = options;
    spent_ = false;
    const DriverSettings block = MakeSettings(settings);
    const PkLinkSettings link{settings.ackTimeoutMs, settings.nakRetries, settings.enqRetries};
    (void)PkSetLinkSettings(&link);
    char16_t version[8] = {};
    int32_t error = 0;
    MiraWindowHandle handle = 0;
    if (options.window) {
        window_ = std::make_unique<Window>();
        window_->record.post = Window::Post;
        window_->record.context = window_.get();
        window_->onMessage = options.onUnsolicited;
#ifdef _WIN32
        // The driver posts to a real window there; its loop hands each
        // message on to the record.
        handle = windows::OpenHostWindow(&window_->record);
        if (handle == 0) error = MIRA_PK_ERR_RESOURCES;
#else
        handle = reinterpret_cast<MiraWindowHandle>(&window_->record);
#endif
    }
    // From here to the close Portkit ends every wait once the flag is set.
    PkWatchCancel(options.cancel);
    if (error == 0 && UDrvOpen(handle, &block, version, &error) == 1 && error == 0) {
        open_ = true;
        if (!Cancelled()) return 0;
        // Ended during the line resets, which then ran to their end at once.
        Close();
        *why = "cannot open " + settings.port + ": " + DescribeCode(MIRA_PK_ERR_CANCELLED);
        return MIRA_PK_ERR_CANCELLED;
    }
    PkWatchCancel(nullptr);
#ifdef _WIN32
    if (handle != 0) windows::CloseHostWindow();
#endif
    window_.reset();
    g_driverHeld.store(false);
    // Portkit's reason names the device already; the code adds its meaning.
    const std::string reason = PkLastOpenError();
    const std::string meaning = error != 0 ? DescribeCode(error) : "the driver did not open the port";
    *why = reason.empty() ? "cannot open " + settings.port + ": " + meaning
                          : "cannot open " + reason + " (" + meaning + ")";
    return error != 0 ? error : kDriverRefused;
}

void Line::Close() {
    if (!open_) return;
#ifdef _WIN32
    // Messages posted so far are handed on; later ones would name key texts
    // that UDrvClose frees.
    if (window_) windows::DrainHostWindow();
    UDrvClose();
    if (window_) windows::CloseHostWindow();
#else
    UDrvClose();  // delivers every message still queued, into window_
#endif
    PkWatchCancel(nullptr);
    window_.reset();
    open_ = false;
    g_driverHeld.store(false);
}

// Waits for a finish call to report the end; a guard beyond the reply
// time-out keeps a misbehaving exchange from hanging the program. The cancel
// flag ends the exchange in Portkit, so that the finish still runs the
// driver's own rules for a failed exchange before it reports.
template <class Finish>
int32_t Line::AwaitFinish(Finish finish) {
    const uint64_t guard = NowMs() + settings_.timeoutMs + 5000;
    int32_t error = 0;
    while (finish(&error) == 0) {
        if (NowMs() > guard) return MIRA_PK_ERR_TIMEOUT;
        // The reply, the exchange's failure and the host's cancel are each
        // announced; the bound only keeps a missed announcement from costing
        // more than a step of the receive thread.
        PkAwaitLineEvent(kFinishLookMs);
    }
    return error;
}

void Line::FailAll(const std::vector<std::string>& items, int32_t code, std::vector<ItemResult>* results) {
    const std::string message = ExplainLast(code).message;
    const MiraFileTime now = LocalNow();
    results->clear();
    for (const auto& item : items) {
        ItemResult result;
        result.item = item;
        result.time = now;
        result.code = code;
        result.message = message;
        results->push_back(result);
    }
}

int32_t Line::ReadNow(uint32_t station, const std::string& header, const std::vector<std::string>& items,
                      std::vector<ItemResult>* results) {
    const std::u16string stationText = ToWide(std::to_string(station));
    const std::u16string head = ToWide(header);
    WideList list(items);
    std::vector<HostValue> values(items.size());
    int32_t error = 0;
    const auto count = static_cast<int32_t>(items.size());
    BeginExchange();
    if (UDrvReadGroupStart(stationText.c_str(), head.c_str(), list.pointers.data(), count, &error) != 1 ||
        error != 0) {
        if (error == 0) error = kDriverRefused;
    } else {
        error = AwaitFinish([&](int32_t* e) { return UDrvReadGroupFinishExt(values.data(), 0, count, e); });
    }
    error = EndedBy(error);
    if (error != 0) {
        FailAll(items, error, results);
        return error;
    }
    results->clear();
    for (size_t i = 0; i < items.size(); ++i) {
        ItemResult result;
        result.item = items[i];
        result.value = ValueOf(values[i].valueType, values[i].value);
        result.quality = values[i].quality;
        result.time = values[i].timestamp;
        results->push_back(result);
    }
    return 0;
}

int32_t Line::Spend(uint32_t station, const std::string& header, const std::string& item) {
    spent_ = true;
    if (InProcessSimulator(settings_)) return 0;
    const uint64_t heard = PkReceivedBytes();
    std::vector<ItemResult> ignored;
    const int32_t error = ReadNow(station, header, {item}, &ignored);
    // Nothing reached a device that is gone: the next request spends it.
    if (error == MIRA_PK_ERR_CLOSED) {
        spent_ = false;
        return error;
    }
    if (error == MIRA_PK_ERR_CANCELLED) return error;
    // A string read that heard nothing fails with 256: the same silence.
    const bool silent = error == MIRA_PK_ERR_TIMEOUT || error == MIRA_ERR_CONTROLLER_STATUS;
    if (silent && PkReceivedBytes() == heard) return error;
    return 0;
}

int32_t Line::SpendIfDue(uint32_t station, const std::string& header, const std::string& item) {
    return options_.spendFirstTransaction && !spent_ ? Spend(station, header, item) : 0;
}

int32_t Line::SpendFirstTransaction(const std::string& header, const std::string& item) {
    if (!open_) return MIRA_PK_ERR_CLOSED;
    return Spend(settings_.dst, header, item);
}

int32_t Line::Read(uint32_t station, const std::string& header, const std::vector<std::string>& items,
                   std::vector<ItemResult>* results) {
    int32_t error = open_ ? 0 : MIRA_PK_ERR_CLOSED;
    if (error == 0 && !items.empty()) error = SpendIfDue(station, header, items[0]);
    if (error != 0) {
        FailAll(items, error, results);
        return error;
    }
    std::vector<std::string> asked;
    for (const std::string& item : items) asked.push_back(WholeStringItem(header, item));
    error = ReadNow(station, header, asked, results);
    for (size_t k = 0; k < results->size(); ++k) (*results)[k].item = items[k];
    return error;
}

int32_t Line::Read(const std::string& header, const std::vector<std::string>& items,
                   std::vector<ItemResult>* results) {
    return Read(settings_.dst, header, items, results);
}

int32_t Line::WriteGroup(uint32_t station, const std::string& header, const std::vector<std::string>& items,
                         const std::vector<HostValueCore>& values) {
    if (!open_) return MIRA_PK_ERR_CLOSED;
    if (items.empty() || items.size() != values.size()) return kDriverRefused;
    // Nothing is written when the first exchange found the controller silent or gone.
    if (const int32_t spent = SpendIfDue(station, header, items[0]); spent != 0) return spent;
    const std::u16string stationText = ToWide(std::to_string(station));
    const std::u16string head = ToWide(header);
    WideList list(items);
    std::vector<HostValueCore> sent = values;  // the driver takes them by a non-const pointer
    int32_t error = 0;
    BeginExchange();
    if (UDrvWriteGroupStart(stationText.c_str(), head.c_str(), list.pointers.data(), sent.data(),
                            static_cast<int32_t>(items.size()), &error) != 1 ||
        error != 0)
        return EndedBy(error != 0 ? error : kDriverRefused);
    return EndedBy(AwaitFinish([](int32_t* e) { return UDrvWriteGroupFinish(e); }));
}

int32_t Line::WriteItem(uint32_t station, const std::string& header, const std::string& item, HostValueCore value) {
    if (!open_) return MIRA_PK_ERR_CLOSED;
    if (const int32_t spent = SpendIfDue(station, header, item); spent != 0) return spent;
    const std::u16string stationText = ToWide(std::to_string(station));
    const std::u16string head = ToWide(header), itemText = ToWide(WholeStringItem(header, item));
    int32_t error = 0;
    BeginExchange();
    if (UDrvWriteItemStart(stationText.c_str(), head.c_str(), itemText.c_str(), &value, &error) != 1 || error != 0)
        return EndedBy(error != 0 ? error : kDriverRefused);
    return EndedBy(AwaitFinish([](int32_t* e) { return UDrvWriteItemFinish(e); }));
}

bool Line::NextUnsolicited(uint32_t waitMs, UnsolicitedKey* key) {
    if (!window_) return false;
    std::u16string text;
    {
        // In steps, so that the cancel flag, which no one announces, ends
        // the wait soon.
        const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs);
        std::unique_lock<std::mutex> lock(window_->mutex);
        for (auto now = std::chrono::steady_clock::now(); window_->keys.empty() && !Cancelled() && now < until;
             now = std::chrono::steady_clock::now())
            window_->wake.wait_for(lock, std::min<std::chrono::steady_clock::duration>(until - now, kCancelStep));
        if (window_->keys.empty()) return false;
        text = window_->keys.front();
        window_->keys.pop_front();
    }
    // "header TAB station"; a key without a station came from station 0.
    const size_t tab = text.find(u'\t');
    const std::u16string header = text.substr(0, tab);
    const std::u16string station = tab == std::u16string::npos ? u"0" : text.substr(tab + 1);
    key->header = ToUtf8(header.c_str(), header.size());
    key->station = ToUtf8(station.c_str(), station.size());
    return true;
}

namespace {

// Drops the stored message, so that its slot frees for the next one.
void Drop(const UnsolicitedKey& key) {
    const std::u16string header = ToWide(key.header), station = ToWide(key.station);
    int32_t ignored = 0;
    UDrvProcessUnsolicitedReadMessage(0, header.c_str(), station.c_str(), nullptr, nullptr, 0, &ignored);
}

}  // namespace

// One call of the driver for a message's items: 0 with the values (the
// message is answered and gone), or the code.
int32_t Line::Deliver(const UnsolicitedKey& key, const std::vector<std::string>& items,
                      std::vector<HostValueCore>* values) {
    const std::u16string header = ToWide(key.header), station = ToWide(key.station);
    WideList list(items);
    values->assign(items.size(), HostValueCore{});
    int32_t error = 0;
    const int32_t delivered =
        UDrvProcessUnsolicitedReadMessage(0, header.c_str(), station.c_str(), list.pointers.data(), values->data(),
                                          static_cast<int32_t>(items.size()), &error);
    return delivered == 1 && error == 0 ? 0 : error != 0 ? error : kDriverRefused;
}

int32_t Line::TakeUnsolicited(const UnsolicitedKey& key, const std::vector<std::string>& items,
                              std::vector<ItemResult>* results) {
    std::vector<int32_t> codes(items.size(), 0);
    std::vector<HostValueCore> values;
    const int32_t all = items.empty() ? kDriverRefused : Deliver(key, items, &values);
    // The driver refuses the whole message for one item it cannot take (a
    // bad text, a word the message did not carry) and keeps it: each item
    // then gets its own verdict, and the others their values, taken in one
    // last call. A refused header or an error status concerns every item.
    const bool oneItem = all == MIRA_ERR_BAD_MNEMONIC || all == MIRA_ERR_RANGE ||
                         (all == MIRA_ERR_BAD_HEADER && CanonicalHeader(key.header) == key.header);
    // A probe with a word no message carries after the item can never be
    // taken: it yields the item's own refusal, or -39 once the item passed.
    const std::string beyond = "W999";
    std::vector<HostValueCore> unused;
    if (all != 0 && oneItem && Deliver(key, {beyond}, &unused) == MIRA_ERR_RANGE) {
        std::vector<size_t> taken;
        for (size_t k = 0; k < items.size(); ++k) {
            codes[k] = Deliver(key, {items[k], beyond}, &unused);
            if (codes[k] == MIRA_ERR_RANGE) taken.push_back(k);
        }
        // Words the message did not carry: the highest first, until the
        // rest is taken. The element is the item's first number.
        auto element = [&](size_t k) {
            const std::string c = CanonicalItem(key.header, items[k]);
            const size_t at = c.find_first_of("0123456789");
            return at == std::string::npos ? 0L : std::strtol(c.c_str() + at, nullptr, 10);
        };
        std::stable_sort(taken.begin(), taken.end(), [&](size_t a, size_t b) { return element(a) < element(b); });
        for (int32_t last = MIRA_ERR_RANGE; !taken.empty() && last == MIRA_ERR_RANGE;) {
            std::vector<std::string> asked;
            for (size_t k : taken) asked.push_back(items[k]);
            std::vector<HostValueCore> got;
            last = Deliver(key, asked, &got);
            for (size_t i = 0; i < taken.size(); ++i) {
                codes[taken[i]] = last;
                if (last == 0) values[taken[i]] = got[i];
            }
            const long highest = element(taken.back());
            while (last == MIRA_ERR_RANGE && !taken.empty() && element(taken.back()) == highest) taken.pop_back();
        }
    } else {
        values.resize(items.size());
        std::fill(codes.begin(), codes.end(), all);
    }
    // Nothing taken: drop it so the slot frees.
    if (std::find(codes.begin(), codes.end(), 0) == codes.end()) Drop(key);
    const MiraFileTime now = LocalNow();
    results->clear();
    int32_t first = 0;
    for (size_t k = 0; k < items.size(); ++k) {
        ItemResult result;
        result.item = items[k];
        result.time = now;
        if (codes[k] == 0) {
            // The message's words come unsigned; a read shows them signed.
            if (values[k].valueType == MIRA_VALUE_INTEGER && values[k].value.integer > 32767 &&
                values[k].value.integer <= 65535)
                values[k].value.integer -= 65536;
            result.value = ValueOf(values[k].valueType, values[k].value);
            result.quality = MIRA_QUALITY_GOOD;
        } else {
            result.code = codes[k];
            result.message = DescribeCode(codes[k]);
            // Under the SLC 500 class a PLC-2 style write, as PLC-5 and PLC-2
            // controllers send, is named by a numeric header with no file.
            if (codes[k] == MIRA_ERR_BAD_HEADER && key.header.find('/') != std::string::npos)
                result.message += "; is --model right? PLC-5 and PLC-2 controllers write as a PLC-2 does, heard "
                                  "with --model PLC5 or --model PLC2";
            if (first == 0) first = codes[k];
        }
        results->push_back(result);
    }
    return first;
}

int32_t Line::TakeUnsolicitedWords(const UnsolicitedKey& key, std::vector<int32_t>* words) {
    // Word k is item k, with the type letter a U: key needs. A request for
    // more words than the message carries is refused and leaves it stored,
    // so the count comes down until the message is taken.
    const bool uKey = key.header.size() >= 2 && (key.header[0] == 'U' || key.header[0] == 'u') && key.header[1] == ':';
    std::vector<std::string> items;
    for (int32_t k = 0; k < kMostUnsolicitedWords; ++k) {
        items.push_back(std::to_string(k));
        if (uKey) items.back().insert(0, 1, 'W');
    }
    std::vector<HostValueCore> values;
    int32_t error = MIRA_ERR_RANGE;
    while (error == MIRA_ERR_RANGE && !items.empty()) {
        error = Deliver(key, items, &values);
        if (error == MIRA_ERR_RANGE) items.pop_back();
    }
    // A message no count takes, or one with an error status, is dropped.
    if (error != 0) Drop(key);
    words->clear();
    if (error == 0)
        for (const HostValueCore& v : values) {
            // The message's words come unsigned; a read shows them signed.
            const int32_t w = v.value.integer;
            words->push_back(w > 32767 && w <= 65535 ? w - 65536 : w);
        }
    return error;
}

PkLinkCounters Line::Counters() const {
    PkLinkCounters counters{};
    PkGetLinkCountersEx(&counters, sizeof counters);
    return counters;
}

bool Line::Lost() const {
    const PkLinkCounters counters = Counters();
    return counters.linesLost > counters.reconnects;
}

}  // namespace mira::host
