// A real broker for the MQTT tests and benchmark: Debian's mosquitto on a
// free loopback port, started and ended by its process id, and a small
// client of libmosquitto that keeps what it receives.
#pragma once

#include <mosquitto.h>
#include <signal.h>
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <fstream>
#include <functional>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>

#include "../support/free_port.h"

namespace mira::test {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// Polls `done` until it holds, at most `limit` (a bound for a broken face,
// not a figure of its speed).
inline bool Eventually(const std::function<bool()>& done, milliseconds limit = milliseconds(10000)) {
    for (const auto end = Clock::now() + limit; !done(); std::this_thread::sleep_for(milliseconds(5)))
        if (Clock::now() > end) return false;
    return true;
}

// Whether something takes connections on 127.0.0.1:port.
inline bool Listening(uint16_t port) {
    const int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{AF_INET, htons(port), {htonl(INADDR_LOOPBACK)}, {}};
    const bool connected = ::connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    ::close(s);
    return connected;
}

class Broker {
public:
    // `extra`: more lines of its configuration (a TLS listener's files).
    explicit Broker(const std::string& extra = "")
        : port_(static_cast<uint16_t>(FreePort())),
          config_("/tmp/mira-broker-" + std::to_string(::getpid()) + "-" + std::to_string(port_)) {
        std::ofstream(config_) << "listener " << port_ << " 127.0.0.1\nallow_anonymous true\npersistence false\n"
                               << "log_dest none\n" << extra;
        Start();
    }
    ~Broker() {
        Stop();
        std::remove(config_.c_str());
    }
    uint16_t port() const { return port_; }

    // Starts it and waits until it takes connections (at most 10 s: a
    // broker is up in milliseconds; the rest is the load of a busy machine).
    bool Start() {
        if ((pid_ = ::fork()) == 0) {
            ::execl(MIRA_MOSQUITTO_BROKER, "mosquitto", "-c", config_.c_str(), static_cast<char*>(nullptr));
            ::_exit(127);
        }
        return Eventually([this] { return Listening(port_); });
    }
    // SIGTERM, and SIGKILL after 5 s.
    void Stop() {
        if (pid_ <= 0) return;
        ::kill(pid_, SIGTERM);
        if (!Eventually([this] { return ::waitpid(pid_, nullptr, WNOHANG) != 0; }, milliseconds(5000))) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
        pid_ = -1;
    }

private:
    uint16_t port_;
    std::string config_;
    pid_t pid_ = -1;
};

struct Message {
    std::string topic, payload;
    bool retain = false;
};
using Messages = std::vector<Message>;

// A message's JSON object; an empty one for anything else.
inline nlohmann::json Json(const Message& m) {
    nlohmann::json j = nlohmann::json::parse(m.payload, nullptr, false);
    return j.is_object() ? j : nlohmann::json::object();
}

// The last message on `topic` among `all`; an empty one when there is none.
inline Message Last(const Messages& all, const std::string& topic) {
    const auto m = std::find_if(all.rbegin(), all.rend(), [&](const Message& m) { return m.topic == topic; });
    return m != all.rend() ? *m : Message{};
}

// Connects, subscribes at `qos`, and keeps every message in arrival order.
class Client {
public:
    Client(uint16_t port, const std::vector<std::string>& topics, const std::string& id = "", int qos = 1) {
        mosquitto_lib_init();
        m_ = mosquitto_new(id.empty() ? nullptr : id.c_str(), true, this);
        mosquitto_connect_callback_set(m_, [](mosquitto*, void* self, int rc) {
            static_cast<Client*>(self)->Note([&](Client& c) { c.connected_ = rc == 0; });
        });
        mosquitto_subscribe_callback_set(m_, [](mosquitto*, void* self, int, int, const int*) {
            static_cast<Client*>(self)->Note([](Client& c) { ++c.subscribed_; });
        });
        mosquitto_message_callback_set(m_, [](mosquitto*, void* self, const mosquitto_message* m) {
            static_cast<Client*>(self)->Note([&](Client& c) {
                c.messages_.push_back({m->topic, {static_cast<const char*>(m->payload), size_t(m->payloadlen)}, m->retain});
            });
        });
        mosquitto_connect(m_, "127.0.0.1", port, 30);
        mosquitto_loop_start(m_);
        WaitFor([this](const Messages&) { return connected_; });
        for (const auto& t : topics) mosquitto_subscribe(m_, nullptr, t.c_str(), qos);
        WaitFor([this, n = topics.size()](const Messages&) { return subscribed_ == n; });
    }
    ~Client() {
        mosquitto_disconnect(m_);
        mosquitto_loop_stop(m_, false);
        mosquitto_destroy(m_);
    }

    void Publish(const std::string& topic, const std::string& payload) {
        mosquitto_publish(m_, nullptr, topic.c_str(), static_cast<int>(payload.size()), payload.data(), 1, false);
    }
    // Waits until `done` holds of the messages so far, at most `limit`.
    bool WaitFor(const std::function<bool(const Messages&)>& done, milliseconds limit = milliseconds(10000)) {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_for(lock, limit, [&] { return done(messages_); });
    }
    // Waits until `topic` has had n messages.
    bool WaitFor(const std::string& topic, size_t n, milliseconds limit = milliseconds(10000)) {
        return WaitFor([&](const Messages& all) {
            return size_t(std::count_if(all.begin(), all.end(), [&](const Message& m) { return m.topic == topic; })) >= n;
        }, limit);
    }
    Messages On(const std::string& topic) {
        Messages out;
        for (auto& m : All())
            if (m.topic == topic) out.push_back(std::move(m));
        return out;
    }
    // The messages from the `first`th on.
    Messages All(size_t first = 0) {
        std::lock_guard<std::mutex> lock(mutex_);
        return {messages_.begin() + static_cast<ptrdiff_t>(std::min(first, messages_.size())), messages_.end()};
    }

private:
    template <class F>
    void Note(F f) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            f(*this);
        }
        changed_.notify_all();
    }

    mosquitto* m_ = nullptr;
    std::mutex mutex_;
    std::condition_variable changed_;
    bool connected_ = false;
    size_t subscribed_ = 0;
    Messages messages_;
};

}  // namespace mira::test
