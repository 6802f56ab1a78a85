// A face of `mira serve`: one way of serving the tag store to other programs
// (HTTP, MQTT, Modbus TCP). Each face lives in its own folder of src/serve
// and is known to the core by two things only, both declared here:
//
// 1. Its FaceKind: the table it owns in the configuration ([http], [mqtt],
//    [modbus]), the keys it owns in each [[tag]] (deadband, modbus), its
//    parsers for both, its commented sample for `mira serve --example`, and
//    a factory. The loader calls the parsers; it knows no face by name.
//    AllFaces() (serve/faces.h) is the one list of them.
//
// 2. The Face it makes: Start, Stop and Changed. The core calls Start once
//    the store holds the tags, hands every change to Changed on a thread of
//    the face's own (so a slow face delays nothing but itself), and calls
//    Stop before the store goes away.
//
// A face reads the store (Tags, Get, All, Line, Scans, EventsAfter,
// Counters) and asks for writes with TagStore::Write, whose `done` it gets
// once with a WriteResult; it never calls the driver, never waits on the
// line thread and never sees another face.
//
// Writing a face, for instance MQTT:
//   - src/serve/mqtt/mqtt_face.h declares `FaceKind MqttFaceKind();`.
//   - parseSection reads [mqtt] through ConfigTable (Take each key it knows;
//     the loader reports every key left untaken as unknown) and returns its
//     settings as JSON, which ends up in Config::faces["mqtt"].
//   - tagKeys = {"deadband"}; parseTagKey checks one such key of one tag and
//     returns its JSON, which ends up in TagInfo::faces["mqtt"]["deadband"].
//   - checkAll sees the whole configuration once every tag is parsed
//     (the Modbus face refuses overlapping registers there).
//   - sample is TOML text, every line commented out or valid as it stands,
//     appended to the example after the core's own.
//   - create builds the face from Config::faces["mqtt"] and the store.
//   - serve/faces.cpp adds MqttFaceKind() to AllFaces().
#pragma once

#include <functional>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "serve/config_table.h"
#include "serve/store.h"
#include "serve/tag.h"

namespace mira::serve {

struct Config;

class Face {
public:
    virtual ~Face() = default;
    // Begins serving (binds its socket, connects to its broker ...). False
    // with the reason in *why when it cannot; the gateway then stops.
    virtual bool Start(std::string* why) = 0;
    // Ends serving and returns once the face calls nothing of the store any
    // more. Called once, after Start succeeded.
    virtual void Stop() = 0;
    // Tags, the line or events changed (serve/store.h, Changes). Runs on a
    // thread the core keeps for this face alone, never on the line thread;
    // it may take its time, the changes meanwhile gather without a backlog.
    virtual void Changed(const Changes& changes) = 0;
};

// What a face's factory is given.
struct FaceContext {
    const Config& config;
    const nlohmann::json& settings;  // its own section, as its parseSection returned it
    TagStore& store;
};

struct FaceKind {
    // The name of its table in the configuration and of its entry in
    // Config::faces and TagInfo::faces: "http", "mqtt", "modbus".
    std::string section;
    // Reads its table, taking every key it knows from `table` and reporting
    // bad values through `table.Error`. Called also when the file has no such
    // table (an empty one), so the face's defaults apply.
    std::function<nlohmann::json(ConfigTable& table)> parseSection;
    // The keys it owns in a [[tag]] table, and the parser of one of them:
    // returns the key's JSON, or reports through `table.Error` (the tag's
    // table) and returns null.
    std::vector<std::string> tagKeys;
    std::function<nlohmann::json(const std::string& key, const ConfigValue& value, const TagInfo& tag,
                                 ConfigTable& table)>
        parseTagKey;
    // Optional: checks across tags once all are parsed (overlapping maps).
    std::function<void(const Config& config, Problems& problems)> checkAll;
    // Commented TOML for `mira serve --example`; it must load as it stands.
    std::string sample;
    // Optional: what `mira serve --plan` prints for this face after the scan
    // plan (the Modbus register map); "" for nothing.
    std::function<std::string(const Config& config)> planText;
    // Builds the face; null while the face serves nothing yet.
    std::function<std::unique_ptr<Face>(const FaceContext& context)> create;
};

// Runs one face: its Changed on a thread of its own, fed by a subscription
// to the store. Start starts the face, then the thread; Stop (or the
// destructor) ends the thread, then stops the face.
class FaceRunner {
public:
    FaceRunner(std::unique_ptr<Face> face, TagStore& store);
    ~FaceRunner();
    FaceRunner(const FaceRunner&) = delete;
    FaceRunner& operator=(const FaceRunner&) = delete;
    bool Start(std::string* why);
    void Stop();

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace mira::serve
