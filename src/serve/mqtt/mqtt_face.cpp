// The face's connection and pump. libmosquitto runs each connection on its
// own network thread (mosquitto_loop_start) and only queues what is
// published. A connection that breaks is torn down and a new one made after
// a back-off of 1 s, doubling to 30 s: each gets its own will (Sparkplug's
// bdSeq grows) and starts with an empty queue, so what was queued for the
// broker that went away is never delivered late; the new session publishes
// every tag's latest state once instead.
#include "serve/mqtt/mqtt_face.h"

#include <mosquitto.h>
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <fstream>
#include <mutex>
#include <set>
#include <thread>

#include "serve/log.h"
#include "serve/mqtt/session.h"

namespace mira::serve::mqtt {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr milliseconds kFirstRetry{1000};
constexpr milliseconds kLastRetry{30000};
constexpr int kKeepAliveSeconds = 30;
// Write answers waiting for the pump; more are dropped and counted.
constexpr size_t kRepliesKept = 1024;
// A clean stop waits this long for the broker to take the last word.
constexpr milliseconds kGoodbye{1000};

// The face's counters on /metrics.
constexpr const char* kConnects = "mira_mqtt_connects_total";
constexpr const char* kPublished = "mira_mqtt_published_total";
constexpr const char* kRefused = "mira_mqtt_refused_total";
constexpr const char* kDropped = "mira_mqtt_dropped_total";
constexpr const char* kConnected = "mira_mqtt_connected";

// The face's threads give way to the line thread when the machine is busy:
// a scan is never kept waiting for a publication.
void YieldToTheLine() { ::setpriority(PRIO_PROCESS, static_cast<id_t>(::gettid()), 5); }

// What the face's threads hand the pump, and what outlives the face for the
// write answers that come after it stopped.
struct Mailbox final : Inbound {
    std::mutex mutex;
    std::condition_variable wake;
    // Guarded by mutex:
    std::set<size_t> tags;
    bool line = false, replaced = false, rebirth = false, stopping = false, closed = false;
    std::vector<Event> events;
    std::deque<std::pair<std::string, std::string>> replies;
    struct Link {
        uint64_t generation;
        bool up;
        int code;
    };
    std::deque<Link> links;
    bool wantRoom = false;  // the pump waits for the queue to drain
    // Not guarded:
    Counters counts;
    std::atomic<int> queued{0};

    bool Any() const {
        return !tags.empty() || line || replaced || rebirth || !events.empty() || !replies.empty() || !links.empty();
    }

    void Reply(std::string topic, std::string payload) override {
        {
            std::lock_guard<std::mutex> lock(mutex);
            if (closed || replies.size() >= kRepliesKept) {
                ++counts.droppedReplies;
                return;
            }
            replies.emplace_back(std::move(topic), std::move(payload));
        }
        wake.notify_one();
    }

    void Rebirth() override {
        {
            std::lock_guard<std::mutex> lock(mutex);
            rebirth = true;
        }
        wake.notify_one();
    }

    Counters& counters() override { return counts; }
};

}  // namespace

struct MqttFace::Impl final : Publisher {
    Settings s;
    TagStore& store;
    std::unique_ptr<Session> session;
    std::shared_ptr<Mailbox> box = std::make_shared<Mailbox>();
    std::thread pump;
    std::string password;

    // The pump's own:
    mosquitto* client = nullptr;
    uint64_t generation = 0;
    bool connected = false;
    Clock::time_point retryAt{};
    milliseconds backoff = kFirstRetry;
    std::vector<size_t> pending;  // changed tags not yet published for want of room
    // Each counter as /metrics was last given it; the pump adds what came since.
    struct Shown {
        const std::atomic<uint64_t>* count;
        const char* family;
        FaceMetrics::Labels labels;
        uint64_t shown = 0;
    };
    std::vector<Shown> shown;
    bool connectedShown = false;

    // What libmosquitto's callbacks are given: the face and which connection.
    struct Context {
        Impl* impl;
        uint64_t generation;
    };
    std::unique_ptr<Context> context;

    Impl(Settings settings, TagStore& st)
        : s(std::move(settings)),
          store(st),
          session(s.format == Format::Json ? MakeJsonSession(s, st) : MakeSparkplugSession(s, st)) {}

    // ---- /metrics (the pump) ----
    void DescribeMetrics() {
        FaceMetrics& m = store.Metrics();
        m.Describe(kConnects, "MQTT sessions begun with the broker.");
        m.Describe(kPublished, "MQTT messages handed to the broker's connection.");
        m.Describe(kRefused, "MQTT messages from the broker refused: by why.");
        m.Describe(kDropped, "Unsolicited messages and write results not published (broker away, queue full).");
        m.Describe(kConnected, "1 while the face is connected to its broker.");
        const Counters& c = box->counts;
        shown = {{&c.connects, kConnects, {}},
                 {&c.published, kPublished, {}},
                 {&c.malformed, kRefused, {{"why", "malformed"}}},
                 {&c.oversized, kRefused, {{"why", "oversized"}}},
                 {&c.unknownTopics, kRefused, {{"why", "unknown_topic"}}},
                 {&c.refusedCommands, kRefused, {{"why", "command"}}},
                 {&c.droppedEvents, kDropped, {{"what", "unsolicited"}}},
                 {&c.droppedReplies, kDropped, {{"what", "write_result"}}}};
        for (const Shown& s : shown) m.Add(s.family, s.labels, 0);  // each sample from the start
        m.Set(kConnected, {}, 0);
    }

    // After each pass of the pump: only what moved takes the metrics' lock.
    void ShowMetrics() {
        FaceMetrics& m = store.Metrics();
        for (Shown& s : shown) {
            const uint64_t now = s.count->load();
            if (now == s.shown) continue;
            m.Add(s.family, s.labels, static_cast<double>(now - s.shown));
            s.shown = now;
        }
        if (connected != connectedShown) m.Set(kConnected, {}, connected ? 1 : 0);
        connectedShown = connected;
    }

    // ---- Publisher (the pump) ----
    bool Publish(const std::string& topic, const std::string& payload, int qos, bool retain) override {
        if (client == nullptr || !connected) return false;
        ++box->queued;
        const int rc = mosquitto_publish(client, nullptr, topic.c_str(), static_cast<int>(payload.size()),
                                         payload.data(), qos, retain);
        if (rc != MOSQ_ERR_SUCCESS) {
            --box->queued;
            return false;
        }
        ++box->counts.published;
        return true;
    }

    void Subscribe(const std::vector<std::string>& topics) override {
        for (const std::string& t : topics) mosquitto_subscribe(client, nullptr, t.c_str(), s.qos);
    }

    bool Room() const override { return box->queued.load() < kMaxQueued; }

    Counters& counters() override { return box->counts; }

    // ---- libmosquitto's callbacks (its network thread) ----
    static void OnConnect(mosquitto*, void* obj, int rc) {
        YieldToTheLine();  // libmosquitto's network thread
        const auto* c = static_cast<Context*>(obj);
        c->impl->Link(c->generation, rc == 0, rc);
    }
    static void OnDisconnect(mosquitto* m, void* obj, int rc) {
        // Keeps libmosquitto from connecting again by itself: the pump makes
        // the next connection, with its own will.
        mosquitto_disconnect(m);
        const auto* c = static_cast<Context*>(obj);
        c->impl->Link(c->generation, false, rc);
    }
    static void OnPublish(mosquitto*, void* obj, int) {
        Mailbox& box = *static_cast<Context*>(obj)->impl->box;
        // Crossing half way down wakes a pump that waits for room.
        if (--box.queued == kMaxQueued / 2) {
            std::lock_guard<std::mutex> lock(box.mutex);
            if (box.wantRoom) box.wake.notify_one();
        }
    }
    static void OnMessage(mosquitto*, void* obj, const mosquitto_message* m) {
        Impl* impl = static_cast<Context*>(obj)->impl;
        const std::string_view payload(static_cast<const char*>(m->payload),
                                       m->payloadlen > 0 ? static_cast<size_t>(m->payloadlen) : 0);
        impl->session->Incoming(m->topic, payload, impl->box);
    }

    void Link(uint64_t gen, bool up, int code) {
        {
            std::lock_guard<std::mutex> lock(box->mutex);
            box->links.push_back({gen, up, code});
        }
        box->wake.notify_one();
    }

    // ---- The connection (the pump) ----
    void Connect() {
        context = std::make_unique<Context>(Context{this, ++generation});
        client = mosquitto_new(s.clientId.c_str(), true, context.get());
        if (client == nullptr) return Retry("no memory for a client");
        mosquitto_int_option(client, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V311);
        // A change goes out at once, not held back to fill a segment.
        mosquitto_int_option(client, MOSQ_OPT_TCP_NODELAY, 1);
        if (!s.username.empty()) mosquitto_username_pw_set(client, s.username.c_str(), password.empty() ? nullptr : password.c_str());
        if (s.tls && mosquitto_tls_set(client, s.caFile.c_str(), nullptr, nullptr, nullptr, nullptr) != MOSQ_ERR_SUCCESS)
            return Retry("cannot read ca_file " + s.caFile);
        const Will will = session->NextWill();
        mosquitto_will_set(client, will.topic.c_str(), static_cast<int>(will.payload.size()), will.payload.data(),
                           will.qos, will.retain);
        // Every message libmosquitto holds is in flight: the face bounds the queue.
        mosquitto_max_inflight_messages_set(client, kMaxQueued);
        mosquitto_reconnect_delay_set(client, 3600, 3600, false);
        mosquitto_connect_callback_set(client, OnConnect);
        mosquitto_disconnect_callback_set(client, OnDisconnect);
        mosquitto_publish_callback_set(client, OnPublish);
        mosquitto_message_callback_set(client, OnMessage);
        const int rc = mosquitto_connect_async(client, s.host.c_str(), s.port, kKeepAliveSeconds);
        if (rc != MOSQ_ERR_SUCCESS) return Retry(std::string("cannot reach the broker: ") + mosquitto_strerror(rc));
        if (mosquitto_loop_start(client) != MOSQ_ERR_SUCCESS) return Retry("no thread for the connection");
    }

    void TearDown() {
        if (client == nullptr) return;
        mosquitto_disconnect(client);
        mosquitto_loop_stop(client, false);
        mosquitto_destroy(client);
        client = nullptr;
        connected = false;
        box->queued = 0;
    }

    void Retry(const std::string& why) {
        TearDown();
        Log(LogLevel::Warning, "MQTT: " + why + "; trying again in " + std::to_string(backoff.count() / 1000) + " s");
        retryAt = Clock::now() + backoff;
        backoff = std::min(backoff * 2, kLastRetry);
    }

    // ---- The pump ----
    void Run() {
        YieldToTheLine();
        for (;;) {
            std::set<size_t> tags;
            std::vector<Event> events;
            std::deque<std::pair<std::string, std::string>> replies;
            std::deque<Mailbox::Link> links;
            bool line = false, replaced = false, rebirth = false;
            {
                std::unique_lock<std::mutex> lock(box->mutex);
                const auto ready = [&] {
                    return box->stopping || box->Any() || (client == nullptr && Clock::now() >= retryAt) ||
                           (connected && !pending.empty() && Room());
                };
                box->wantRoom = connected && !pending.empty();
                if (client == nullptr)
                    box->wake.wait_until(lock, retryAt, ready);
                else
                    box->wake.wait(lock, ready);
                box->wantRoom = false;
                if (box->stopping) return;
                tags.swap(box->tags);
                events.swap(box->events);
                replies.swap(box->replies);
                links.swap(box->links);
                line = std::exchange(box->line, false);
                replaced = std::exchange(box->replaced, false);
                rebirth = std::exchange(box->rebirth, false);
            }
            for (const Mailbox::Link& l : links) {
                if (l.generation != generation || client == nullptr) continue;
                if (l.up) {
                    connected = true;
                    backoff = kFirstRetry;
                    ++box->counts.connects;
                    Log(LogLevel::Notice, std::string(s.tls ? "MQTT: connected to mqtts://" : "MQTT: connected to mqtt://")
                                             .append(s.host).append(":").append(std::to_string(s.port)));
                    pending = session->Begin(*this);
                    replaced = line = rebirth = false;
                } else {
                    const bool was = connected;
                    Retry(was ? "lost the broker" : std::string("the broker refused the connection: ") +
                                                          mosquitto_connack_string(l.code));
                }
            }
            if (client == nullptr && Clock::now() >= retryAt) Connect();
            if (!connected) {
                box->counts.droppedEvents += events.size();
                box->counts.droppedReplies += replies.size();
                ShowMetrics();
                continue;  // the next session publishes every tag
            }
            if (replaced) pending = session->TagsReplaced(*this);
            if (line) session->LineChanged(*this);
            if (rebirth) session->Rebirth(*this);
            session->Events(*this, events);
            for (const auto& [topic, payload] : replies)
                if (!Publish(topic, payload, s.qos, false)) ++box->counts.droppedReplies;
            if (!replaced) pending.insert(pending.end(), tags.begin(), tags.end());
            std::sort(pending.begin(), pending.end());
            pending.erase(std::unique(pending.begin(), pending.end()), pending.end());
            if (!pending.empty()) pending = session->TagsChanged(*this, pending);
            ShowMetrics();
        }
    }

    // A clean stop: the session's last word, and the broker given a moment
    // to take it before the connection closes.
    void Goodbye() {
        if (client == nullptr) return;
        if (connected) {
            session->End(*this);
            const auto end = Clock::now() + kGoodbye;
            while (box->queued.load() > 0 && Clock::now() < end) std::this_thread::sleep_for(milliseconds(5));
        }
        TearDown();
    }
};

MqttFace::MqttFace(Settings settings, TagStore& store) : impl_(std::make_unique<Impl>(std::move(settings), store)) {}

MqttFace::~MqttFace() { Stop(); }

bool MqttFace::Start(std::string* why) {
    static std::once_flag init;
    std::call_once(init, [] { mosquitto_lib_init(); });
    if (!impl_->s.passwordFile.empty()) {
        std::ifstream in(impl_->s.passwordFile);
        if (!in || !std::getline(in, impl_->password)) {
            *why = "mqtt: cannot read password_file " + impl_->s.passwordFile;
            return false;
        }
        if (!impl_->password.empty() && impl_->password.back() == '\r') impl_->password.pop_back();
    }
    impl_->retryAt = Clock::now();
    impl_->DescribeMetrics();
    impl_->pump = std::thread([impl = impl_.get()] { impl->Run(); });
    return true;
}

void MqttFace::Stop() {
    if (!impl_->pump.joinable()) return;
    {
        std::lock_guard<std::mutex> lock(impl_->box->mutex);
        impl_->box->stopping = true;
    }
    impl_->box->wake.notify_one();
    impl_->pump.join();
    impl_->Goodbye();
    impl_->ShowMetrics();
    std::lock_guard<std::mutex> lock(impl_->box->mutex);
    impl_->box->closed = true;
}

void MqttFace::Changed(const Changes& changes) {
    {
        std::lock_guard<std::mutex> lock(impl_->box->mutex);
        Mailbox& box = *impl_->box;
        if (changes.tagsReplaced) {
            box.tags.clear();
            box.replaced = true;
        }
        box.tags.insert(changes.tags.begin(), changes.tags.end());
        box.line = box.line || changes.line;
        box.events.insert(box.events.end(), changes.events.begin(), changes.events.end());
        box.counts.droppedEvents += changes.missed;
        if (box.events.size() > kEventsKept) {
            box.counts.droppedEvents += box.events.size() - kEventsKept;
            box.events.erase(box.events.begin(), box.events.end() - static_cast<ptrdiff_t>(kEventsKept));
        }
    }
    impl_->box->wake.notify_one();
}

const Counters& MqttFace::counters() const { return impl_->box->counts; }

}  // namespace mira::serve::mqtt
