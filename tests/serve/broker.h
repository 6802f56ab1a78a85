// A real broker for the MQTT tests: Debian's mosquitto on a free loopback
// port, started and ended by its process id, and a small client of
// libmosquitto that keeps what it receives.
#pragma once

#include <mosquitto.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <fstream>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace mira::test {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// A port the kernel just gave out and took back.
inline uint16_t FreePort() {
    const int s = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t n = sizeof a;
    ::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
    ::getsockname(s, reinterpret_cast<sockaddr*>(&a), &n);
    ::close(s);
    return ntohs(a.sin_port);
}

inline bool Accepts(uint16_t port) {
    const int s = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(port);
    const bool ok = ::connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    ::close(s);
    return ok;
}

class Broker {
public:
    // `extra`: more lines of its configuration (a TLS listener's files).
    explicit Broker(const std::string& extra = "")
        : port_(FreePort()), config_("/tmp/mira-broker-" + std::to_string(::getpid()) + "-" + std::to_string(port_)) {
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
        pid_ = ::fork();
        if (pid_ == 0) {
            ::execl(MIRA_MOSQUITTO_BROKER, "mosquitto", "-c", config_.c_str(), static_cast<char*>(nullptr));
            ::_exit(127);
        }
        const auto end = Clock::now() + std::chrono::seconds(10);
        while (Clock::now() < end && !Accepts(port_)) std::this_thread::sleep_for(milliseconds(20));
        return Accepts(port_);
    }
    void Stop() {
        if (pid_ <= 0) return;
        ::kill(pid_, SIGTERM);
        const auto end = Clock::now() + std::chrono::seconds(5);
        while (::waitpid(pid_, nullptr, WNOHANG) == 0) {
            if (Clock::now() > end) {
                ::kill(pid_, SIGKILL);
                ::waitpid(pid_, nullptr, 0);
                break;
            }
            std::this_thread::sleep_for(milliseconds(10));
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

// Connects, subscribes, and keeps every message in arrival order.
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
        mosquitto_message_callback_set(m_, [](mosquitto*, void* self, const mosquitto_message* msg) {
            static_cast<Client*>(self)->Note([&](Client& c) {
                c.messages_.push_back({msg->topic, std::string(static_cast<const char*>(msg->payload),
                                                               static_cast<size_t>(msg->payloadlen)),
                                       msg->retain});
            });
        });
        mosquitto_connect(m_, "127.0.0.1", port, 30);
        mosquitto_loop_start(m_);
        Wait([](const Client& c) { return c.connected_; });
        for (const auto& t : topics) mosquitto_subscribe(m_, nullptr, t.c_str(), qos);
        Wait([n = topics.size()](const Client& c) { return c.subscribed_ == n; });
    }
    ~Client() {
        mosquitto_disconnect(m_);
        mosquitto_loop_stop(m_, false);
        mosquitto_destroy(m_);
    }

    void Publish(const std::string& topic, const std::string& payload, bool retain = false) {
        mosquitto_publish(m_, nullptr, topic.c_str(), static_cast<int>(payload.size()), payload.data(), 1, retain);
    }

    // Waits until `done` holds of the messages so far, at most `limit`; the
    // limit only keeps a broken face from hanging the test.
    bool WaitFor(const std::function<bool(const std::vector<Message>&)>& done, milliseconds limit = milliseconds(10000)) {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_for(lock, limit, [&] { return done(messages_); });
    }
    // The messages on `topic` so far.
    std::vector<Message> On(const std::string& topic) {
        std::lock_guard<std::mutex> lock(mutex_);
        std::vector<Message> out;
        for (const auto& m : messages_)
            if (m.topic == topic) out.push_back(m);
        return out;
    }
    // The messages from the `first`th on.
    std::vector<Message> All(size_t first = 0) {
        std::lock_guard<std::mutex> lock(mutex_);
        return {messages_.begin() + static_cast<ptrdiff_t>(std::min(first, messages_.size())), messages_.end()};
    }
    void Clear() {
        std::lock_guard<std::mutex> lock(mutex_);
        messages_.clear();
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
    bool Wait(const std::function<bool(const Client&)>& done) {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_for(lock, milliseconds(10000), [&] { return done(*this); });
    }

    mosquitto* m_ = nullptr;
    std::mutex mutex_;
    std::condition_variable changed_;
    bool connected_ = false;
    size_t subscribed_ = 0;
    std::vector<Message> messages_;
};

// Polls `done` until it holds, at most `limit` (a bound for a broken face,
// not a figure of its speed).
inline bool Eventually(const std::function<bool()>& done, milliseconds limit = milliseconds(10000)) {
    const auto end = Clock::now() + limit;
    while (!done()) {
        if (Clock::now() > end) return false;
        std::this_thread::sleep_for(milliseconds(5));
    }
    return true;
}

// Counts the messages on `topic`.
inline std::function<bool(const std::vector<Message>&)> Count(const std::string& topic, size_t n) {
    return [=](const std::vector<Message>& all) {
        size_t k = 0;
        for (const auto& m : all) k += m.topic == topic;
        return k >= n;
    };
}

}  // namespace mira::test
