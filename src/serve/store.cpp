#include "serve/store.h"

#include <algorithm>
#include <cmath>
#include <future>

#include "host/checks.h"
#include "host/values.h"

namespace mira::serve {

const char* OutcomeName(WriteOutcome outcome) {
    switch (outcome) {
        case WriteOutcome::Written: return "written";
        case WriteOutcome::UnknownTag: return "unknown_tag";
        case WriteOutcome::NotWritable: return "not_writable";
        case WriteOutcome::BadValue: return "bad_value";
        case WriteOutcome::Busy: return "busy";
        case WriteOutcome::LineLost: return "line_lost";
        case WriteOutcome::NoReply: return "no_reply";
        case WriteOutcome::Failed: return "failed";
        case WriteOutcome::Stopped: return "stopped";
    }
    return "failed";
}

const char* LineStateName(LineState state) {
    switch (state) {
        case LineState::Opening: return "opening";
        case LineState::Up: return "up";
        case LineState::Lost: return "lost";
        case LineState::Closed: return "closed";
    }
    return "closed";
}

void PendingWrite::Complete(const WriteResult& result) {
    if (!done) return;
    WriteDone once = std::move(done);
    done = nullptr;
    once(result);
}

void PendingRequest::Complete(const AddressAnswer& answer) {
    if (!done) return;
    AddressDone once = std::move(done);
    done = nullptr;
    once(answer);
}

bool MakeWriteValue(const TagInfo& tag, const nlohmann::json& value, HostValueCore* out, std::string* why) {
    host::ValueRule rule;
    rule.kind = tag.kind;
    rule.chars = tag.chars;
    // The JSON value becomes the text `mira write` would be given, so the
    // checks and their messages are the command line's. A type the item
    // cannot take is refused with what the item takes.
    std::string text;
    if (tag.kind == TagKind::String) {
        if (!value.is_string()) {
            *why = "a text";
            return false;
        }
        text = value.get<std::string>();
    } else if (value.is_boolean() && tag.kind == TagKind::Bit) {
        text = value.get<bool>() ? "1" : "0";
    } else if (value.is_number_integer()) {
        text = value.dump();
    } else if (value.is_number_float()) {
        const double d = value.get<double>();
        // A float item takes any finite number; a whole-number item one
        // without a fraction, written as JSON writes it (2.0 is 2).
        if (tag.kind != TagKind::Float && std::isfinite(d) && d == std::floor(d) && std::fabs(d) < 1e15)
            text = std::to_string(static_cast<long long>(d));
        else
            text = value.dump();
    }
    return host::MakeHostValue(rule, text, out, why);
}

// ---- Subscriptions ----------------------------------------------------------

struct Subscription::State {
    std::mutex mutex;  // guards what follows; taken inside the store's mutex, never the other way
    std::condition_variable wake;
    std::vector<bool> dirty;
    size_t dirtyCount = 0;
    bool line = false;
    bool replaced = false;
    bool closed = false;
    uint64_t lastEvent = 0;  // the last event id reported
    bool eventsWaiting = false;
};

Subscription::~Subscription() { Close(); }

void Subscription::Close() {
    TagStore* store = store_.exchange(nullptr);
    if (store == nullptr) return;
    store->Unsubscribe(state_);
    {
        std::lock_guard<std::mutex> lock(state_->mutex);
        state_->closed = true;
    }
    state_->wake.notify_all();
}

Changes Subscription::Wait(std::chrono::milliseconds timeout) {
    Changes out;
    uint64_t after = 0;
    {
        std::unique_lock<std::mutex> lock(state_->mutex);
        State& s = *state_;
        s.wake.wait_for(lock, timeout,
                        [&] { return s.closed || s.dirtyCount > 0 || s.line || s.replaced || s.eventsWaiting; });
        out.closed = s.closed;
        out.line = std::exchange(s.line, false);
        out.tagsReplaced = std::exchange(s.replaced, false);
        for (size_t i = 0; i < s.dirty.size() && s.dirtyCount > 0; ++i)
            if (s.dirty[i]) {
                s.dirty[i] = false;
                --s.dirtyCount;
                out.tags.push_back(i);
            }
        after = s.lastEvent;
        if (!std::exchange(s.eventsWaiting, false)) return out;
    }
    TagStore* store = store_.load();
    if (store == nullptr || out.closed) return out;
    out.events = store->EventsAfter(after);
    if (!out.events.empty()) {
        // Ids run without gaps, so what lies between is what the ring dropped.
        out.missed = out.events.front().id - after - 1;
        std::lock_guard<std::mutex> lock(state_->mutex);
        state_->lastEvent = std::max(state_->lastEvent, out.events.back().id);
    }
    return out;
}

// ---- The store ----------------------------------------------------------------

TagStore::TagStore(std::vector<TagInfo> tags, std::vector<std::string> scanNames) {
    SetTags(std::move(tags), std::move(scanNames));
}

TagStore::~TagStore() { Stop(); }

template <class Mark>
void TagStore::NotifyLocked(Mark mark) {
    for (const auto& s : subscribers_) {
        {
            std::lock_guard<std::mutex> lock(s->mutex);
            mark(*s);
        }
        s->wake.notify_one();
    }
}

void TagStore::SetTags(std::vector<TagInfo> tags, std::vector<std::string> scanNames) {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<TagValue> values(tags.size());
    std::map<std::string, size_t> byName;
    for (size_t i = 0; i < tags.size(); ++i) {
        byName[tags[i].name] = i;
        if (tags_ == nullptr) continue;
        // A tag that reads the same item of the same station keeps its value.
        const auto old = byName_.find(tags[i].name);
        if (old == byName_.end()) continue;
        const TagInfo& before = (*tags_)[old->second];
        if (before.header == tags[i].header && before.item == tags[i].item && before.station == tags[i].station)
            values[i] = values_[old->second];
    }
    const bool replacing = tags_ != nullptr;
    tags_ = std::make_shared<const std::vector<TagInfo>>(std::move(tags));
    byName_ = std::move(byName);
    values_ = std::move(values);
    scanNames_ = std::move(scanNames);
    scans_.assign(scanNames_.size(), ScanStats{});
    if (!replacing) return;
    const size_t n = tags_->size();
    NotifyLocked([n](Subscription::State& s) {
        s.dirty.assign(n, false);
        s.dirtyCount = 0;
        s.replaced = true;
    });
}

std::shared_ptr<const std::vector<TagInfo>> TagStore::Tags() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return tags_;
}

std::vector<std::string> TagStore::ScanNames() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return scanNames_;
}

std::optional<size_t> TagStore::IndexOf(const std::string& name) const {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto it = byName_.find(name);
    if (it == byName_.end()) return std::nullopt;
    return it->second;
}

std::optional<TagSnapshot> TagStore::Get(size_t index) const {
    std::lock_guard<std::mutex> lock(mutex_);
    if (index >= values_.size()) return std::nullopt;
    return TagSnapshot{index, (*tags_)[index], values_[index]};
}

std::optional<TagSnapshot> TagStore::Find(const std::string& name) const {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto it = byName_.find(name);
    if (it == byName_.end()) return std::nullopt;
    return TagSnapshot{it->second, (*tags_)[it->second], values_[it->second]};
}

std::vector<TagSnapshot> TagStore::All() const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<TagSnapshot> all;
    all.reserve(values_.size());
    for (size_t i = 0; i < values_.size(); ++i) all.push_back({i, (*tags_)[i], values_[i]});
    return all;
}

std::vector<TagValue> TagStore::Values(const std::vector<size_t>& indices,
                                      std::shared_ptr<const std::vector<TagInfo>>* tags) const {
    std::vector<TagValue> out(indices.size());
    std::lock_guard<std::mutex> lock(mutex_);
    for (size_t n = 0; n < indices.size(); ++n)
        if (indices[n] < values_.size()) out[n] = values_[indices[n]];
    if (tags != nullptr) *tags = tags_;
    return out;
}

void TagStore::Update(const std::vector<Reading>& readings) {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<size_t> changed;
    for (const Reading& r : readings) {
        if (r.tag >= values_.size()) continue;
        TagValue& v = values_[r.tag];
        const Value before = v.value;
        const uint16_t quality = v.quality;
        const int32_t code = v.errorCode;
        if (r.errorCode != 0) {
            // The last value and its time stay; only the quality and error say it failed.
            v.quality = 0;
            v.errorCode = r.errorCode;
            v.errorMessage = r.errorMessage;
            ++counters_.readErrors[r.errorCode];
        } else {
            v.value = r.value;
            v.time = r.time;
            v.quality = r.quality;
            v.errorCode = 0;
            v.errorMessage.clear();
        }
        if (v.value != before || v.quality != quality || v.errorCode != code) {
            ++v.version;
            changed.push_back(r.tag);
        }
    }
    if (changed.empty()) return;
    NotifyLocked([&](Subscription::State& s) {
        for (size_t i : changed)
            if (i < s.dirty.size() && !s.dirty[i]) {
                s.dirty[i] = true;
                ++s.dirtyCount;
            }
    });
}

void TagStore::SetLine(const LineStatus& status) {
    std::lock_guard<std::mutex> lock(mutex_);
    const bool changed = status.state != line_.state;
    line_ = status;
    if (changed) NotifyLocked([](Subscription::State& s) { s.line = true; });
}

void TagStore::RecordScan(size_t scan, double seconds, bool overrun) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (scan >= scans_.size()) return;
    ScanStats& s = scans_[scan];
    if (overrun) ++s.overruns;
    ++s.scans;
    s.lastSeconds = seconds;
    s.sumSeconds += seconds;
    s.meanSeconds = s.sumSeconds / static_cast<double>(s.scans);
    s.longestSeconds = std::max(s.longestSeconds, seconds);
    size_t b = 0;
    while (b + 1 < kScanBucketCount && seconds > kScanBuckets[b]) ++b;
    ++s.buckets[b];
}

void TagStore::AddEvent(uint64_t time, const std::string& key, std::vector<int32_t> words) {
    std::lock_guard<std::mutex> lock(mutex_);
    events_.push_back(Event{nextEvent_++, time, key, std::move(words)});
    if (events_.size() > kEventsKept) events_.pop_front();
    ++counters_.unsolicited;
    NotifyLocked([](Subscription::State& s) { s.eventsWaiting = true; });
}

LineStatus TagStore::Line() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return line_;
}

std::vector<ScanStats> TagStore::Scans() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return scans_;
}

std::vector<Event> TagStore::EventsAfter(uint64_t id) const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<Event> out;
    for (const Event& e : events_)
        if (e.id > id) out.push_back(e);
    return out;
}

StoreCounters TagStore::Counters() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return counters_;
}

std::unique_ptr<Subscription> TagStore::Subscribe() {
    auto state = std::make_shared<Subscription::State>();
    std::lock_guard<std::mutex> lock(mutex_);
    state->dirty.assign(values_.size(), false);
    state->lastEvent = nextEvent_ - 1;  // events from now on
    state->closed = stopped_;
    subscribers_.push_back(state);
    return std::unique_ptr<Subscription>(new Subscription(this, state));
}

void TagStore::Unsubscribe(const std::shared_ptr<Subscription::State>& state) {
    std::lock_guard<std::mutex> lock(mutex_);
    subscribers_.erase(std::remove(subscribers_.begin(), subscribers_.end(), state), subscribers_.end());
}

// ---- Writes ------------------------------------------------------------------

void TagStore::Answer(WriteDone& done, WriteResult result) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        ++counters_.writes[OutcomeName(result.outcome)];
    }
    if (done) done(result);
}

void TagStore::Write(const std::string& tag, const nlohmann::json& value, WriteDone done) {
    PendingWrite w;
    WriteResult refused;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        const auto it = byName_.find(tag);
        if (stopped_) {
            refused = {WriteOutcome::Stopped, 0, "the gateway is stopping", {}};
        } else if (it == byName_.end()) {
            refused = {WriteOutcome::UnknownTag, 0, "no tag \"" + tag + "\"", {}};
        } else if (!(*tags_)[it->second].writable) {
            refused = {WriteOutcome::NotWritable, 0, "tag \"" + tag + "\" is not writable", {}};
        } else if (writes_.size() >= kWritesQueued) {
            refused = {WriteOutcome::Busy, 0, "too many writes waiting for the line", {}};
        } else {
            w.tag = it->second;
            w.info = (*tags_)[it->second];
        }
    }
    if (refused.message.empty()) {
        std::string why;
        if (!MakeWriteValue(w.info, value, &w.value, &why)) {
            const std::string shown = value.is_string() ? value.get<std::string>() : value.dump();
            refused = {WriteOutcome::BadValue, MIRA_ERR_RANGE, host::ValueRefusal(w.info.item, why, shown), {}};
        }
    }
    if (!refused.message.empty()) return Answer(done, refused);
    w.json = value;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (stopped_) {
            refused = {WriteOutcome::Stopped, 0, "the gateway is stopping", {}};
        } else if (writing_.count(tag) != 0) {
            // Two writers of one tag: which value stays would be a race.
            refused = {WriteOutcome::Busy, 0, "another write to tag \"" + tag + "\" is under way", {}};
        } else {
            // Counted when the line thread answers; the tag takes writes again then.
            w.done = [this, tag, done = std::move(done)](const WriteResult& r) {
                {
                    std::lock_guard<std::mutex> inner(mutex_);
                    ++counters_.writes[OutcomeName(r.outcome)];
                    writing_.erase(tag);
                }
                if (done) done(r);
            };
            writing_.insert(tag);
            writes_.push_back(std::move(w));
            work_.notify_one();
            return;
        }
    }
    Answer(done, refused);
}

WriteResult TagStore::WriteAndWait(const std::string& tag, const nlohmann::json& value,
                                   std::chrono::milliseconds timeout) {
    auto promise = std::make_shared<std::promise<WriteResult>>();
    std::future<WriteResult> answer = promise->get_future();
    Write(tag, value, [promise](const WriteResult& r) { promise->set_value(r); });
    if (answer.wait_for(timeout) != std::future_status::ready)
        return {WriteOutcome::Failed, MIRA_PK_ERR_TIMEOUT, "no answer from the line thread in time", {}};
    return answer.get();
}

std::optional<PendingWrite> TagStore::TakeWrite() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (writes_.empty()) return std::nullopt;
    PendingWrite w = std::move(writes_.front());
    writes_.pop_front();
    return w;
}

void TagStore::Request(AddressRequest request, AddressDone done) {
    PendingRequest r{std::move(request), std::move(done)};
    AddressAnswer refused;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (stopped_) {
            refused = {WriteOutcome::Stopped, 0, "the gateway is stopping", "", {}, {}};
        } else if (requests_.size() >= kRequestsQueued) {
            refused = {WriteOutcome::Busy, 0, "too many requests waiting for the line", "", {}, {}};
        } else {
            requests_.push_back(std::move(r));
            work_.notify_one();
            return;
        }
    }
    r.Complete(refused);
}

AddressAnswer TagStore::RequestAndWait(AddressRequest request, std::chrono::milliseconds timeout) {
    auto promise = std::make_shared<std::promise<AddressAnswer>>();
    std::future<AddressAnswer> answer = promise->get_future();
    Request(std::move(request), [promise](const AddressAnswer& a) { promise->set_value(a); });
    if (answer.wait_for(timeout) != std::future_status::ready)
        return {WriteOutcome::Failed, MIRA_PK_ERR_TIMEOUT, "no answer from the line thread in time", "no_reply", {}, {}};
    return answer.get();
}

std::optional<PendingRequest> TagStore::TakeRequest() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (requests_.empty()) return std::nullopt;
    PendingRequest r = std::move(requests_.front());
    requests_.pop_front();
    return r;
}

bool TagStore::WaitForWork(std::chrono::steady_clock::time_point until) {
    std::unique_lock<std::mutex> lock(mutex_);
    work_.wait_until(lock, until, [&] { return stopped_ || nudged_ || !writes_.empty() || !requests_.empty(); });
    const bool work = nudged_ || !writes_.empty() || !requests_.empty();
    nudged_ = false;
    return work && !stopped_;
}

void TagStore::Nudge() {
    std::lock_guard<std::mutex> lock(mutex_);
    nudged_ = true;
    work_.notify_one();
}

void TagStore::Stop() {
    std::deque<PendingWrite> waiting;
    std::deque<PendingRequest> asked;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopped_ = true;
        waiting.swap(writes_);
        asked.swap(requests_);
        NotifyLocked([](Subscription::State& s) { s.closed = true; });
        work_.notify_all();
    }
    for (PendingWrite& w : waiting) w.Complete({WriteOutcome::Stopped, 0, "the gateway is stopping", {}});
    for (PendingRequest& r : asked) r.Complete({WriteOutcome::Stopped, 0, "the gateway is stopping", "", {}, {}});
}

}  // namespace mira::serve
