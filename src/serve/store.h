// The tag store: the one core of `mira serve`. The line thread writes what it
// read into it; the faces (HTTP, MQTT, Modbus) read from it, are told of
// changes through a Subscription, and hand it their writes. No face knows
// another, and none ever talks to the line thread except through here.
//
// Thread safety: every member may be called from any thread. One mutex
// guards the store and is held only to copy or update a few records; no
// member waits on a face or on the line, except Subscription::Wait and
// TakeWrite/WaitForWork, which wait for exactly what they say.
//
// Change delivery: each Subscription keeps a dirty mark per tag. An update
// that changes a tag's value, quality or error sets the mark in every
// subscription and wakes it; it never waits for a subscriber. A face that
// falls behind sees each changed tag once, with its latest state, not a
// backlog, and the memory a subscription takes is bounded by the tag count.
//
// Writes: a face calls Write with a tag name and a JSON value. The store
// answers at once, on the caller's thread, what it can decide alone (an
// unknown tag, a tag not writable, a value that does not fit the item, a
// full queue, a write to the same tag still waiting or under way); the rest
// waits in one bounded queue for the line thread, which calls the request's
// `done` once with the result and the value read back. `done` runs on the
// line thread: it must copy and return, never wait.
//
// One-shot requests by address (Request): a read of addresses that need not
// be tags, or a write by header and items that must each be a writable tag,
// wait in a second bounded queue and are answered the same way.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "mira/mira.h"
#include "portkit/portkit_host.h"
#include "serve/metrics.h"
#include "serve/tag.h"

namespace mira::serve {

// ---- Writes ------------------------------------------------------------------

// How a write ended, for the faces to map onto their own answers (HTTP
// status, MQTT result, Modbus exception).
enum class WriteOutcome {
    Written,      // written and read back
    UnknownTag,   // no tag of that name
    NotWritable,  // the tag is not writable = true
    BadValue,     // the value does not fit the item (the message says what it takes)
    Busy,         // the queue is full, or another write to the tag waits or is under way
    LineLost,     // the line is away (4099)
    NoReply,      // the controller did not answer within the time-out
    Failed,       // any other error of the driver, Portkit or the controller
    Stopped,      // the gateway stopped before the write was made
};

const char* OutcomeName(WriteOutcome outcome);  // "written", "unknown_tag" ...

struct WriteResult {
    WriteOutcome outcome = WriteOutcome::Failed;
    // The driver's, Portkit's or the controller's code; 0 when written, and
    // for what the store refuses alone, except BadValue: -39, the value does
    // not fit its item.
    int32_t code = 0;
    std::string message;  // what went wrong, as `mira write` says it; "" when written
    TagValue readBack;    // Written: the tag as read back after the write
};

using WriteDone = std::function<void(const WriteResult&)>;

// What the line thread takes from the queue: the tag, the value typed as
// the driver types the item, and whom to answer. The line thread writes,
// reads the tag back, stores what it read (TagStore::Update), then calls
// Complete; a write it never makes (the gateway stops) is Completed Stopped.
struct PendingWrite {
    size_t tag = 0;
    TagInfo info;
    HostValueCore value{};
    nlohmann::json json;  // as the face gave it
    // Calls the face's `done` once; later calls do nothing.
    void Complete(const WriteResult& result);
    WriteDone done;
};

// Checks a JSON value against a tag's item as `mira write` checks its text,
// and types it for the driver. A number for words, floats and BCD; true,
// false, 0 or 1 for a bit; a text for a string. False with what the item
// takes in *why ("a whole number from -32768 to 32767").
bool MakeWriteValue(const TagInfo& tag, const nlohmann::json& value, HostValueCore* out, std::string* why);

// ---- One-shot requests by address ------------------------------------------------

// GET /api/read and POST /api/write (`mira read`, `mira write` and `mira
// write-item` with --server), made by the line thread between two
// transactions of the scans.
struct AddressRequest {
    enum class Kind { Read, WriteGroup, WriteItem } kind = Kind::Read;
    // Read: each item a whole address (N7:10) or a header and an item
    // separated by a blank (N7:0 W10); header unused. Writes: the items under
    // header, and their values as `mira write` takes them, one text each.
    std::string header;
    std::vector<std::string> items;
    std::vector<std::string> texts;
    std::optional<uint32_t> station;  // the line's dst when not given
};

// What one item of a request gave.
struct AddressResult {
    std::string item;  // as asked
    Value value;       // a read's value; a write's as the driver was given it
    uint16_t quality = 0;
    uint64_t time = 0;  // FILETIME, local time
    int32_t errorCode = 0;
    std::string errorMessage;  // as `mira read` explains it
    std::string cause;         // a failure's kind: "refused", "no_reply", "line" or "status"
};

// Written: the request was made (a read's items carry their own failures);
// any other outcome, with its code, message and cause, as for a tag's write.
struct AddressAnswer {
    WriteOutcome outcome = WriteOutcome::Written;
    int32_t code = 0;
    std::string message;
    std::string cause;
    std::vector<AddressResult> results;
    std::vector<size_t> tags;  // a write: the tags it wrote, read back and stored
};

using AddressDone = std::function<void(const AddressAnswer&)>;

struct PendingRequest {
    AddressRequest request;
    // Calls the face's `done` once; later calls do nothing.
    void Complete(const AddressAnswer& answer);
    AddressDone done;
};

inline constexpr size_t kRequestsQueued = 64;

// ---- Line, scans and events ----------------------------------------------------

enum class LineState { Opening, Up, Lost, Closed };
const char* LineStateName(LineState state);  // "opening", "up", "lost", "closed"

struct LineStatus {
    LineState state = LineState::Opening;
    PkLinkCounters counters{};  // as Portkit counted them at the last update
};

// Scan durations are counted in these buckets (upper bounds, seconds), for
// the histogram of /metrics; the last bucket is +Inf.
inline constexpr double kScanBuckets[] = {0.005, 0.01, 0.025, 0.05, 0.1, 0.25, 0.5, 1, 2.5, 5};
inline constexpr size_t kScanBucketCount = sizeof kScanBuckets / sizeof kScanBuckets[0] + 1;

struct ScanStats {
    uint64_t scans = 0;
    uint64_t overruns = 0;  // times the scan was due again before it had run
    double lastSeconds = 0, meanSeconds = 0, longestSeconds = 0;
    double sumSeconds = 0;
    uint64_t buckets[kScanBucketCount] = {};  // not cumulative
};

// One unsolicited message from the controller, as it was answered.
struct Event {
    uint64_t id = 0;  // 1, 2, 3 ... in arrival order
    uint64_t time = 0;  // FILETIME, local time
    std::string key;    // the driver's key text up to its tab (N7:0 numeric form, or U:n)
    std::vector<int32_t> words;
};

inline constexpr size_t kEventsKept = 1000;
inline constexpr size_t kWritesQueued = 64;

// Counters of /metrics that are not the link's.
struct StoreCounters {
    std::map<int32_t, uint64_t> readErrors;  // by code
    std::map<std::string, uint64_t> writes;  // by OutcomeName
    uint64_t unsolicited = 0;
};

// What a subscriber is told: the tags whose value, quality or error changed
// since its last Wait (indices into Tags(), ascending), whether the line's
// state changed, the events that arrived (at most kEventsKept; `missed`
// counts older ones it was too slow for), and whether the tags were replaced
// (SetTags: indices and names of before mean nothing now).
struct Changes {
    std::vector<size_t> tags;
    bool line = false;
    std::vector<Event> events;
    uint64_t missed = 0;
    bool tagsReplaced = false;
    bool closed = false;  // the subscription was closed: stop waiting
    bool empty() const { return tags.empty() && !line && events.empty() && !tagsReplaced && !closed; }
};

class TagStore;

// A face's view of changes; see the top of this file. Close it (or destroy
// it) to end a Wait on another thread.
class Subscription {
public:
    ~Subscription();
    Subscription(const Subscription&) = delete;
    Subscription& operator=(const Subscription&) = delete;
    // Waits until something changed or the time passed; returns at once when
    // changes are waiting. Every change is reported once.
    Changes Wait(std::chrono::milliseconds timeout);
    void Close();

private:
    friend class TagStore;
    struct State;
    Subscription(TagStore* store, std::shared_ptr<State> state) : store_(store), state_(std::move(state)) {}
    std::atomic<TagStore*> store_;  // null once closed
    std::shared_ptr<State> state_;
};

// A tag and its value, copied out of the store.
struct TagSnapshot {
    size_t index = 0;
    TagInfo info;
    TagValue value;
};

class TagStore {
public:
    // scanNames: the scan classes, by index (TagInfo::scan).
    explicit TagStore(std::vector<TagInfo> tags = {}, std::vector<std::string> scanNames = {});
    ~TagStore();
    TagStore(const TagStore&) = delete;
    TagStore& operator=(const TagStore&) = delete;

    // ---- Tags: read by anyone ----
    std::shared_ptr<const std::vector<TagInfo>> Tags() const;
    std::vector<std::string> ScanNames() const;
    std::optional<size_t> IndexOf(const std::string& name) const;
    std::optional<TagSnapshot> Get(size_t index) const;
    std::optional<TagSnapshot> Find(const std::string& name) const;
    std::vector<TagSnapshot> All() const;
    // The values alone of some tags, under one lock and without copying
    // their configuration: what a face that publishes every change reads,
    // so that it holds the store as little as the line thread does. *tags
    // (when given) is set to the tags those indices refer to; an index past
    // them gives an unread value.
    std::vector<TagValue> Values(const std::vector<size_t>& indices,
                                 std::shared_ptr<const std::vector<TagInfo>>* tags = nullptr) const;
    // Replaces the tags (a configuration loaded again): values of tags whose
    // name, header, item and station stay are kept, the others start unread.
    // Every subscriber is told (tagsReplaced).
    void SetTags(std::vector<TagInfo> tags, std::vector<std::string> scanNames);

    // ---- Written by the line thread ----
    // What one read gave a tag: a value with its quality and time, or a
    // failure (code nonzero), which sets quality 0 and keeps the last value.
    struct Reading {
        size_t tag = 0;
        Value value;
        uint16_t quality = 0;
        uint64_t time = 0;
        int32_t errorCode = 0;
        std::string errorMessage;
    };
    void Update(const std::vector<Reading>& readings);
    void SetLine(const LineStatus& status);
    void RecordScan(size_t scan, double seconds, bool overrun);
    void AddEvent(uint64_t time, const std::string& key, std::vector<int32_t> words);

    // ---- Read by the faces ----
    LineStatus Line() const;
    std::vector<ScanStats> Scans() const;
    std::vector<Event> EventsAfter(uint64_t id) const;
    StoreCounters Counters() const;
    std::unique_ptr<Subscription> Subscribe();
    // What the faces count for /metrics (serve/metrics.h).
    FaceMetrics& Metrics() { return metrics_; }
    const FaceMetrics& Metrics() const { return metrics_; }

    // ---- Writes ----
    // A face asks for a write; `done` is called exactly once, at once for what
    // the store decides alone, else on the line thread after the write.
    void Write(const std::string& tag, const nlohmann::json& value, WriteDone done);
    // The same, waiting at most `timeout` for the answer (a face's handler
    // thread); Failed with "no answer" when the line thread took longer.
    WriteResult WriteAndWait(const std::string& tag, const nlohmann::json& value, std::chrono::milliseconds timeout);
    // The line thread: the oldest waiting write, if any.
    std::optional<PendingWrite> TakeWrite();
    // A one-shot request; `done` is called exactly once, as for Write.
    void Request(AddressRequest request, AddressDone done);
    AddressAnswer RequestAndWait(AddressRequest request, std::chrono::milliseconds timeout);
    // The line thread: the oldest waiting request, if any.
    std::optional<PendingRequest> TakeRequest();
    // The line thread between scans: waits until a write or a request waits,
    // Nudge was called, or `until` passed (true: something waits or was
    // nudged), or Stop was called.
    bool WaitForWork(std::chrono::steady_clock::time_point until);
    // Ends the line thread's WaitForWork now or, if it waits for nothing,
    // its next one: an unsolicited message or a reload waits.
    void Nudge();
    // Ends the waits: WaitForWork returns at once, waiting writes are
    // answered Stopped, later ones too, and every subscription is closed.
    void Stop();

private:
    friend class Subscription;
    void Unsubscribe(const std::shared_ptr<Subscription::State>& state);
    void Answer(WriteDone& done, WriteResult result);
    template <class Mark>
    void NotifyLocked(Mark mark);

    mutable std::mutex mutex_;
    std::shared_ptr<const std::vector<TagInfo>> tags_;
    std::vector<std::string> scanNames_;
    std::map<std::string, size_t> byName_;
    std::vector<TagValue> values_;
    LineStatus line_;
    std::vector<ScanStats> scans_;
    std::deque<Event> events_;
    uint64_t nextEvent_ = 1;
    StoreCounters counters_;
    std::vector<std::shared_ptr<Subscription::State>> subscribers_;
    std::deque<PendingWrite> writes_;
    std::set<std::string> writing_;  // tags with a write waiting or under way
    std::deque<PendingRequest> requests_;
    bool nudged_ = false;
    std::condition_variable work_;
    bool stopped_ = false;
    FaceMetrics metrics_;
};

}  // namespace mira::serve
