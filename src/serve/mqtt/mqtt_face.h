// The MQTT face of `mira serve`: the tags published to a broker, as JSON
// topics or as Sparkplug B, and writes taken from it.
//
// Its part of the configuration is [mqtt] (url, client_id, username,
// password_file, ca_file, qos, format, prefix, group, edge_node) and the tag
// key `deadband`. Without an [mqtt] table the face serves nothing.
//
// The face runs three threads of its own besides the store's: the one the
// core calls Changed on (it only notes what changed), a pump that owns every
// publication, and libmosquitto's network thread, which calls back with the
// connection's state and what the broker delivers. None of them ever waits
// for the line; a write is handed to the store and answered when it is done.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "serve/face.h"

namespace mira::serve::mqtt {

FaceKind MqttFaceKind();

enum class Format { Json, Sparkplug };

// [mqtt] as the face uses it, every default resolved.
struct Settings {
    bool enabled = false;
    std::string host;
    uint16_t port = 1883;
    bool tls = false;        // mqtts://
    std::string caFile;
    std::string clientId;    // default "mira-HOST-FILE": the machine's name and the file's without .toml
    std::string username;
    std::string passwordFile;
    int qos = 1;
    Format format = Format::Json;
    std::string prefix;      // JSON: default "mira/CLIENT_ID"
    std::string group = "mira";
    std::string edgeNode;    // Sparkplug: default the client id
};

// The settings of the section parseSection returned, with the defaults that
// depend on the file and the machine filled in.
Settings SettingsOf(const nlohmann::json& section, const Config& config);

// What came from the broker and could not be served, and what was not
// published; kept by the face (the counts are the face's own).
struct Counters {
    std::atomic<uint64_t> connects{0};        // sessions with the broker begun
    std::atomic<uint64_t> published{0};       // messages handed to libmosquitto
    std::atomic<uint64_t> malformed{0};       // payloads that are no JSON value or no Sparkplug payload
    std::atomic<uint64_t> oversized{0};       // payloads over kMaxIncoming bytes
    std::atomic<uint64_t> unknownTopics{0};   // messages on a topic the face does not serve
    std::atomic<uint64_t> refusedCommands{0}; // Sparkplug command metrics naming nothing writable, or refused
    std::atomic<uint64_t> droppedEvents{0};   // unsolicited messages not published (broker away or queue full)
    std::atomic<uint64_t> droppedReplies{0};  // write results not published (broker away or too many waiting)
};

// A message from the broker larger than this is refused unread.
inline constexpr size_t kMaxIncoming = 64 * 1024;
// At most this many messages wait in libmosquitto's queue; beyond it a
// changed tag stays marked and is published, with its latest state, once
// the broker has taken some.
inline constexpr int kMaxQueued = 2000;

class MqttFace final : public Face {
public:
    MqttFace(Settings settings, TagStore& store);
    ~MqttFace() override;
    MqttFace(const MqttFace&) = delete;
    MqttFace& operator=(const MqttFace&) = delete;

    bool Start(std::string* why) override;
    void Stop() override;
    void Changed(const Changes& changes) override;

    const Counters& counters() const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace mira::serve::mqtt
