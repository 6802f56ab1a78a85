// A format's half of the MQTT face: what one session with the broker
// publishes, and what it does with what the broker delivers. The face keeps
// the connection and the pump; a session keeps what it has published.
//
// Threads: the pump calls every member but Incoming, one at a time.
// Incoming runs on libmosquitto's network thread and shares nothing with the
// others but the store and what it guards itself.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "serve/mqtt/mqtt_face.h"
#include "serve/store.h"

namespace mira::serve::mqtt {

// The message the broker publishes for us when the connection breaks.
struct Will {
    std::string topic;
    std::string payload;
    int qos = 1;
    bool retain = false;
};

// Hands messages to libmosquitto, which queues them; never waits.
class Publisher {
public:
    virtual ~Publisher() = default;
    // False when nothing was queued: the connection is gone.
    virtual bool Publish(const std::string& topic, const std::string& payload, int qos, bool retain) = 0;
    virtual void Subscribe(const std::vector<std::string>& topics) = 0;
    // Whether the queue is below kMaxQueued; a changed tag waits while not.
    virtual bool Room() const = 0;
    virtual Counters& counters() = 0;
};

// What Incoming hands back; it outlives the face, so that a write answered
// after the face stopped finds it and is dropped there.
class Inbound {
public:
    virtual ~Inbound() = default;
    // A message to publish on the pump (a write's answer); dropped and
    // counted while the broker is away or too many wait.
    virtual void Reply(std::string topic, std::string payload) = 0;
    // The births again (Sparkplug's Node Control/Rebirth).
    virtual void Rebirth() = 0;
    virtual Counters& counters() = 0;
};

// What the face last published of a tag.
struct Sent {
    bool valid = false;
    Value value;
    uint16_t quality = 0;
    int32_t errorCode = 0;
};

Sent SentOf(const TagValue& value);

// Whether a tag's state is worth publishing after `last`: never before its
// first read (so that a start publishes no empty values over those a broker
// retained); always when nothing was published yet or the quality or error
// changed; for a number only when it moved by `deadband` or more from the
// value last published (so that slow drift adds up), for anything else when
// it differs.
bool WorthPublishing(const TagValue& now, const Sent& last, double deadband);

// The deadband of a tag ([[tag]] deadband; 0 when not given).
double DeadbandOf(const TagInfo& info);

// A code of the line, not of the controller: no reply, the port or the
// device server gone, frames refused. A station whose every tag failed so
// is unreachable.
bool IsLinkError(int32_t code);

class Session {
public:
    virtual ~Session() = default;
    // The will of the next connection.
    virtual Will NextWill() = 0;
    // A connection began: subscribes, publishes the session's whole state,
    // and returns the tags still to publish as if they had changed.
    virtual std::vector<size_t> Begin(Publisher& out) = 0;
    // The store's tags were replaced (the configuration loaded again).
    virtual std::vector<size_t> TagsReplaced(Publisher& out) = 0;
    virtual void LineChanged(Publisher& out) = 0;
    virtual void Rebirth(Publisher& out) = 0;
    virtual void Events(Publisher& out, const std::vector<Event>& events) = 0;
    // Publishes what is worth it of the changed tags (ascending indices) and
    // returns those left for want of room.
    virtual std::vector<size_t> TagsChanged(Publisher& out, const std::vector<size_t>& tags) = 0;
    // A clean stop: what the will would have said.
    virtual void End(Publisher& out) = 0;
    // A message from the broker (network thread).
    virtual void Incoming(const std::string& topic, std::string_view payload,
                          const std::shared_ptr<Inbound>& inbound) = 0;
};

std::unique_ptr<Session> MakeJsonSession(const Settings& settings, TagStore& store);
std::unique_ptr<Session> MakeSparkplugSession(const Settings& settings, TagStore& store);

}  // namespace mira::serve::mqtt
