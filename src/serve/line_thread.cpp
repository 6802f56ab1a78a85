#include "serve/line_thread.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <future>
#include <map>
#include <thread>

#include "host/checks.h"
#include "host/codes.h"
#include "host/line.h"
#include "mira/portkit_codes.h"
#include "serve/log.h"
#include "serve/planner.h"

namespace mira::serve {
namespace {

using Clock = std::chrono::steady_clock;

uint64_t FileTimeOf(const MiraFileTime& t) { return (uint64_t{t.highDateTime} << 32) | t.lowDateTime; }

Value ValueOf(const host::Value& v) {
    switch (v.type) {
        case MIRA_VALUE_INTEGER: return v.integer;
        case MIRA_VALUE_DOUBLE: return v.real;
        case MIRA_VALUE_STRING: return v.text;
        default: return {};
    }
}

Value ValueOf(const HostValueCore& v) { return ValueOf(host::ValueOf(v.valueType, v.value)); }

std::string Trimmed(const std::string& text) {
    const size_t from = text.find_first_not_of(" \t");
    if (from == std::string::npos) return "";
    return text.substr(from, text.find_last_not_of(" \t") + 1 - from);
}

// How a write that ended with code is answered.
WriteOutcome OutcomeOf(int32_t code, host::Cause cause) {
    if (code == MIRA_PK_ERR_CLOSED) return WriteOutcome::LineLost;
    if (cause == host::Cause::NoReply) return WriteOutcome::NoReply;
    return WriteOutcome::Failed;
}

// A value for the log: a text in quotes, a number as JSON writes it.
std::string Shown(const Value& value) { return ValueJson(value).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace); }

}  // namespace

const char* CauseName(host::Cause cause) {
    switch (cause) {
        case host::Cause::None: return "";
        case host::Cause::Refused: return "refused";
        case host::Cause::NoReply: return "no_reply";
        case host::Cause::Line: return "line";
        case host::Cause::Status: return "status";
    }
    return "";
}

struct LineThread::Impl {
    TagStore& store;
    Config config;
    Loader loader;
    Plan plan;
    AddressCheck check;
    host::Line line;
    std::thread thread;
    std::atomic<bool> stopping{false};  // also the line's cancel flag
    std::atomic<bool> reload{false};
    std::promise<std::pair<int32_t, std::string>> opened;
    std::vector<Clock::time_point> due;
    LineState state = LineState::Opening;

    Impl(TagStore& s, Config c, Loader l) : store(s), config(std::move(c)), loader(std::move(l)) {}

    void Run();
    void Schedule();
    void Serve();
    void ServeQueued();
    void RunScan(size_t scan);
    void ReadGroup(const serve::ReadGroup& group);
    std::vector<TagStore::Reading> Readings(const std::vector<size_t>& tags,
                                            const std::vector<host::ItemResult>& results) const;
    void ReadBack(const std::vector<TagInfo>& tags);
    void DoWrite(PendingWrite& write);
    void DoRequest(PendingRequest& request);
    AddressAnswer ReadAddresses(const AddressRequest& request);
    AddressAnswer WriteAddresses(const AddressRequest& request);
    void TakeUnsolicited();
    void DoReload();
    void NoteLine();
};

void LineThread::Impl::Run() {
    host::OpenOptions options;
    options.window = true;
    options.cancel = &stopping;
    options.onUnsolicited = [this] { store.Nudge(); };
    std::string why;
    const int32_t code = line.Open(config.line, options, &why);
    opened.set_value({code, why});
    if (code != 0) return;
    Log(LogLevel::Info, "line open on " + config.line.port + ": " + std::to_string(config.tags.size()) +
                            " tags in " + std::to_string(config.scans.size()) + " scan classes");
    check = DriverAddressCheck(config.line);
    NoteLine();
    Schedule();
    while (!stopping.load()) {
        Serve();
        if (stopping.load()) break;
        size_t next = 0;
        for (size_t s = 1; s < due.size(); ++s)
            if (due[s] < due[next]) next = s;
        if (due.empty() || Clock::now() < due[next]) {
            // Writes, requests, messages and a reload end the wait early.
            store.WaitForWork(due.empty() ? Clock::now() + std::chrono::seconds(1) : due[next]);
            continue;
        }
        RunScan(next);
    }
    line.Close();
    LineStatus status = store.Line();
    status.state = LineState::Closed;
    store.SetLine(status);
    Log(LogLevel::Info, "line closed");
}

void LineThread::Impl::Schedule() {
    plan = MakePlan(config);
    due.assign(plan.scans.size(), Clock::now());
}

void LineThread::Impl::Serve() {
    // Between scans only: a reload replaces the plan a scan runs through.
    if (reload.exchange(false)) DoReload();
    ServeQueued();
}

void LineThread::Impl::ServeQueued() {
    while (std::optional<PendingWrite> w = store.TakeWrite()) DoWrite(*w);
    while (std::optional<PendingRequest> r = store.TakeRequest()) DoRequest(*r);
    TakeUnsolicited();
}

void LineThread::Impl::RunScan(size_t s) {
    const Clock::time_point start = Clock::now();
    const Clock::duration period = std::chrono::milliseconds(plan.scans[s].everyMs);
    // Periods that went by while the line was busy are skipped, not caught up.
    const auto missed = (start - due[s]) / period;
    for (const serve::ReadGroup& group : plan.scans[s].groups) {
        if (stopping.load()) return;
        ServeQueued();
        ReadGroup(group);
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    store.RecordScan(s, seconds, missed >= 1);
    due[s] += period * (missed + 1);
    if (missed >= 1 && Logs(LogLevel::Debug))
        Log(LogLevel::Debug, "scan " + Quoted(plan.scans[s].name) + " overran its period by " +
                                 std::to_string(missed) + " period(s)");
    NoteLine();
}

std::vector<TagStore::Reading> LineThread::Impl::Readings(const std::vector<size_t>& tags,
                                                          const std::vector<host::ItemResult>& results) const {
    std::vector<TagStore::Reading> readings;
    for (size_t k = 0; k < tags.size() && k < results.size(); ++k) {
        const host::ItemResult& r = results[k];
        TagStore::Reading reading;
        reading.tag = tags[k];
        if (r.code != 0) {
            reading.errorCode = r.code;
            reading.errorMessage = r.message;
        } else {
            reading.value = ValueOf(r.value);
            reading.quality = static_cast<uint16_t>(std::max(r.quality, 0));
            reading.time = FileTimeOf(r.time);
        }
        readings.push_back(std::move(reading));
    }
    return readings;
}

void LineThread::Impl::ReadGroup(const serve::ReadGroup& group) {
    std::vector<host::ItemResult> results;
    line.Read(group.station, group.header, group.items, &results);
    store.Update(Readings(group.tags, results));
}

// Reads tags again after a write, one read per tag, and stores what came.
void LineThread::Impl::ReadBack(const std::vector<TagInfo>& tags) {
    for (const TagInfo& tag : tags) {
        // A reload may have moved or replaced the tag meanwhile.
        const std::optional<TagSnapshot> now = store.Find(tag.name);
        if (!now || now->info.header != tag.header || now->info.item != tag.item || now->info.station != tag.station)
            continue;
        std::vector<host::ItemResult> results;
        line.Read(tag.station, tag.header, {tag.item}, &results);
        store.Update(Readings({now->index}, results));
    }
}

void LineThread::Impl::DoWrite(PendingWrite& w) {
    const TagInfo& t = w.info;
    // Bits, strings and timer, counter and control parts (0.ACC) through the
    // driver's read-modify-write of one item; words and floats as a group.
    const bool asItem = t.kind == TagKind::Bit || t.kind == TagKind::String || t.item.find('.') != std::string::npos;
    const int32_t code = asItem ? line.WriteItem(t.station, t.header, t.item, w.value)
                                : line.WriteGroup(t.station, t.header, {t.item}, {w.value});
    if (code != 0) {
        const host::Failure f = host::ExplainLast(code);
        Log(LogLevel::Warning, "write of tag " + Quoted(t.name) + " failed: error " + std::to_string(code) + ": " +
                                   f.message);
        w.Complete({OutcomeOf(code, f.cause), code, f.message, {}});
        NoteLine();
        return;
    }
    ReadBack({t});
    WriteResult done{WriteOutcome::Written, 0, "", {}};
    if (const std::optional<TagSnapshot> now = store.Find(t.name)) done.readBack = now->value;
    Log(LogLevel::Info, "tag " + Quoted(t.name) + " written: " + Shown(ValueOf(w.value)));
    w.Complete(done);
}

void LineThread::Impl::DoRequest(PendingRequest& r) {
    AddressAnswer answer =
        r.request.kind == AddressRequest::Kind::Read ? ReadAddresses(r.request) : WriteAddresses(r.request);
    NoteLine();
    r.Complete(answer);
}

AddressAnswer LineThread::Impl::ReadAddresses(const AddressRequest& request) {
    const uint32_t station = request.station.value_or(config.line.dst);
    AddressAnswer answer;
    answer.results.resize(request.items.size());
    // One read per header, in the order the headers first come, as `mira
    // read` reads the items of one header.
    std::vector<std::string> order;
    std::map<std::string, std::pair<std::vector<size_t>, std::vector<std::string>>> byHeader;
    for (size_t k = 0; k < request.items.size(); ++k) {
        AddressResult& row = answer.results[k];
        row.item = request.items[k];
        const std::string text = Trimmed(request.items[k]);
        const size_t blank = text.find_first_of(" \t");
        std::string header, item;
        if (blank != std::string::npos) {
            // A header and an item go to the driver as typed, as `mira read`
            // hands them over: its own refusals and codes apply.
            header = text.substr(0, blank);
            item = Trimmed(text.substr(blank));
        } else {
            const ResolvedAddress resolved = check(text);
            if (!resolved.problem.empty()) {
                row.errorCode = host::kDriverRefused;
                row.errorMessage = "address " + Quoted(text) + ": " + resolved.problem;
                row.cause = CauseName(host::Cause::Refused);
                continue;
            }
            header = resolved.header;
            item = resolved.item;
        }
        if (!byHeader.count(header)) order.push_back(header);
        byHeader[header].first.push_back(k);
        byHeader[header].second.push_back(item);
    }
    for (const std::string& header : order) {
        const auto& [rows, items] = byHeader[header];
        std::vector<host::ItemResult> results;
        const int32_t code = line.Read(station, header, items, &results);
        const std::string cause = code != 0 ? CauseName(host::ExplainLast(code).cause) : "";
        for (size_t k = 0; k < rows.size() && k < results.size(); ++k) {
            AddressResult& row = answer.results[rows[k]];
            const host::ItemResult& r = results[k];
            row.value = ValueOf(r.value);
            row.quality = static_cast<uint16_t>(std::max(r.quality, 0));
            row.time = FileTimeOf(r.time);
            row.errorCode = r.code;
            row.errorMessage = r.message;
            row.cause = r.code != 0 ? cause : "";
        }
    }
    return answer;
}

AddressAnswer LineThread::Impl::WriteAddresses(const AddressRequest& request) {
    const uint32_t station = request.station.value_or(config.line.dst);
    const Family family = FamilyOf(host::DefaultModel(config.line));
    const bool octal = OctalIo(config.line);
    AddressAnswer answer;
    auto refuse = [&](WriteOutcome outcome, int32_t code, const std::string& message) {
        answer.outcome = outcome;
        answer.code = code;
        answer.message = message;
        answer.cause = CauseName(host::Cause::Refused);
        return answer;
    };
    const bool oneItem = request.kind == AddressRequest::Kind::WriteItem;
    if (request.items.empty() || request.items.size() != request.texts.size() || (oneItem && request.items.size() != 1))
        return refuse(WriteOutcome::BadValue, MIRA_ERR_RANGE, "expected items and a value for each");
    // Only the gateway's writable tags are written: an item of the request
    // is one when it names the same element, bit or part of the same file
    // and station as a tag (a string of any length).
    const auto key = [&](const TagInfo& tag) {
        PlanTag p = PlanTagOf(tag, 0, family, octal);
        if (tag.kind == TagKind::String) p.itemRest.clear();
        // An item without its type letter (0/5) is the file's own type (W0/5,
        // F0, S0); B, the BCD word, is another way to read it.
        if (p.itemPrefix == "W" || p.itemPrefix == "F" || p.itemPrefix == "S") p.itemPrefix.clear();
        return std::make_tuple(p.station, p.file, p.first, p.itemPrefix, p.itemRest);
    };
    const std::shared_ptr<const std::vector<TagInfo>> tags = store.Tags();
    std::vector<TagInfo> written;
    std::vector<HostValueCore> values(request.items.size());
    for (size_t k = 0; k < request.items.size(); ++k) {
        const std::string& item = request.items[k];
        const ResolvedAddress resolved = check(request.header + " " + item);
        TagInfo asked;
        asked.header = resolved.header;
        asked.item = resolved.item;
        asked.kind = resolved.kind;
        asked.driverType = resolved.driverType;
        asked.station = station;
        const TagInfo* match = nullptr;
        for (const TagInfo& tag : *tags)
            if (resolved.problem.empty() && tag.writable && key(tag) == key(asked)) match = &tag;
        if (match == nullptr)
            return refuse(WriteOutcome::NotWritable, 0,
                          request.header + " " + item + " (station " + std::to_string(station) +
                              ") is no writable tag of this gateway, which writes its tags marked writable = true only");
        written.push_back(*match);
        std::string why;
        if (!host::MakeValue(request.header, item, request.texts[k], &values[k], &why))
            return refuse(WriteOutcome::BadValue, MIRA_ERR_RANGE, host::ValueRefusal(item, why, request.texts[k]));
    }
    // Written as `mira write` and `mira write-item` write them.
    const int32_t code = oneItem ? line.WriteItem(station, request.header, request.items[0], values[0])
                                 : line.WriteGroup(station, request.header, request.items, values);
    if (code != 0) {
        const host::Failure f = host::ExplainLast(code);
        answer.outcome = OutcomeOf(code, f.cause);
        answer.code = code;
        answer.message = f.message;
        answer.cause = CauseName(f.cause);
        Log(LogLevel::Warning, "write of " + request.header + " failed: error " + std::to_string(code) + ": " +
                                   f.message);
        return answer;
    }
    for (size_t k = 0; k < request.items.size(); ++k) {
        AddressResult row;
        row.item = request.items[k];
        row.value = ValueOf(values[k]);
        answer.results.push_back(std::move(row));
    }
    ReadBack(written);
    for (const TagInfo& tag : written)
        if (const std::optional<size_t> index = store.IndexOf(tag.name)) answer.tags.push_back(*index);
    Log(LogLevel::Info, "written through the gateway: " + request.header + " " + std::to_string(written.size()) +
                            " item(s)");
    return answer;
}

void LineThread::Impl::TakeUnsolicited() {
    host::UnsolicitedKey key;
    while (line.NextUnsolicited(0, &key)) {
        std::vector<int32_t> words;
        const int32_t code = line.TakeUnsolicitedWords(key, &words);
        if (code != 0) {
            Log(LogLevel::Warning, "unsolicited message " + key.header + " from station " + key.station +
                                       " dropped: error " + std::to_string(code) + ": " + host::DescribeCode(code));
            continue;
        }
        const uint64_t time = FileTimeOf(host::LocalNow());
        if (Logs(LogLevel::Debug))
            Log(LogLevel::Debug, "unsolicited message " + key.header + " from station " + key.station + ": " +
                                     std::to_string(words.size()) + " word(s)");
        store.AddEvent(time, key.header, std::move(words));
    }
}

void LineThread::Impl::DoReload() {
    std::string problems;
    std::optional<Config> next = loader ? loader(&problems) : std::nullopt;
    if (!next) {
        // One line per problem, so each is its own entry of the journal.
        Log(LogLevel::Error, "the configuration read again has problems; the tags stay as they were:");
        size_t from = 0;
        while (from < problems.size()) {
            const size_t end = std::min(problems.find('\n', from), problems.size());
            if (end > from) Log(LogLevel::Error, problems.substr(from, end - from));
            from = end + 1;
        }
        return;
    }
    const LineConfig& a = config.line;
    const LineConfig& b = next->line;
    const bool sameLine = a.port == b.port && a.baud == b.baud && a.parity == b.parity && a.dataBits == b.dataBits &&
                          a.stopBits == b.stopBits && a.model == b.model && a.mode == b.mode &&
                          a.station == b.station && a.dst == b.dst && a.crc == b.crc && a.timeoutMs == b.timeoutMs &&
                          a.ackTimeoutMs == b.ackTimeoutMs && a.nakRetries == b.nakRetries &&
                          a.enqRetries == b.enqRetries && a.turnaroundMs == b.turnaroundMs;
    if (!sameLine) Log(LogLevel::Warning, "[line] changed: the line keeps its settings until mira serve starts again");
    if (next->faces != config.faces)
        Log(LogLevel::Warning, "a face's table changed: the faces keep their settings until mira serve starts again");
    next->line = config.line;
    next->faces = config.faces;
    config = std::move(*next);
    std::vector<std::string> names;
    for (const ScanClass& s : config.scans) names.push_back(s.name);
    store.SetTags(config.tags, names);
    Schedule();
    Log(LogLevel::Info, "configuration read again: " + std::to_string(config.tags.size()) + " tags in " +
                            std::to_string(config.scans.size()) + " scan classes");
}

void LineThread::Impl::NoteLine() {
    LineStatus status;
    status.counters = line.Counters();
    status.state = line.Lost() ? LineState::Lost : LineState::Up;
    if (status.state != state) {
        if (status.state == LineState::Lost)
            Log(LogLevel::Warning, config.line.port + ": the line is lost; Portkit opens it again");
        else if (state == LineState::Lost)
            Log(LogLevel::Notice, config.line.port + ": the line is back");
        state = status.state;
    }
    store.SetLine(status);
}

LineThread::LineThread(TagStore& store, Config config, Loader loader)
    : impl_(std::make_unique<Impl>(store, std::move(config), std::move(loader))) {}

LineThread::~LineThread() { Stop(); }

int32_t LineThread::Start(std::string* why) {
    std::future<std::pair<int32_t, std::string>> opened = impl_->opened.get_future();
    impl_->thread = std::thread([this] { impl_->Run(); });
    const auto [code, reason] = opened.get();
    if (code != 0) {
        impl_->thread.join();
        *why = reason;
    }
    return code;
}

void LineThread::Reload() {
    impl_->reload.store(true);
    impl_->store.Nudge();
}

void LineThread::Stop() {
    impl_->stopping.store(true);
    impl_->store.Nudge();
    if (impl_->thread.joinable()) impl_->thread.join();
}

}  // namespace mira::serve
