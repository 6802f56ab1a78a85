// The tag model of `mira serve`: one meaning everywhere a tag shows (the
// configuration, /api/tags, MQTT, the Modbus map, --plan). A tag is what the
// configuration says (TagInfo, fixed until the tags are loaded again) and
// what the line last read (TagValue, kept by the tag store).
#pragma once

#include <cstdint>
#include <map>
#include <nlohmann/json.hpp>
#include <string>
#include <variant>

#include "host/values.h"

namespace mira::serve {

// How a value is written and checked, from the driver's type of the item
// (UDrvGetType) and its canonical text: a word, four BCD digits, one bit (a
// bit of a word or a timer, counter or control status bit), a float, a
// string. The host's value rule (host/values.h), so both check alike.
using TagKind = host::ValueRule::Kind;

const char* KindName(TagKind kind);  // "word", "bcd", "bit", "float", "string"

// Where a key of the configuration stands, for messages.
struct SourcePos {
    uint32_t line = 0;
    uint32_t column = 0;
};

struct TagInfo {
    std::string name;     // letters, digits and _ - . /; unique
    std::string address;  // as the configuration gives it
    // What the reads and writes hand the driver: the canonical header and
    // item texts. A whole address (N7:10) is split as the driver splits it
    // (header N7:0, item W10).
    std::string header;
    std::string item;
    int32_t driverType = 1;  // UDrvGetType: 1 whole number, 2 float, 3 string
    TagKind kind = TagKind::Word;
    int32_t chars = 0;       // String: the characters read and written (82 unless the address gives a length)
    bool writable = false;
    uint32_t station = 1;    // the controller's station ([line] dst unless the tag names one)
    size_t scan = 0;         // index of its scan class in Config::scans
    // What each face attached, by the face's section name: {"mqtt":
    // {"deadband": 0.5}}. A face reads only its own entry.
    nlohmann::json faces = nlohmann::json::object();
    // Where each key of the tag's table stands ("name", "address", "deadband" ...).
    std::map<std::string, SourcePos> where;
};

// A value as the driver gave it: nothing yet, a whole number (words, bits,
// BCD, timer parts), a float, or a text (UTF-8).
using Value = std::variant<std::monostate, int32_t, double, std::string>;

// The driver's quality of a good value; 0 marks a failed read.
inline constexpr uint16_t kQualityGood = 192;

struct TagValue {
    // The last value the driver returned and its time stamp (a FILETIME of
    // the driver's local time, 100 ns since 1601). A failed read keeps both:
    // the value and the time of the last read that gave one.
    Value value;
    uint64_t time = 0;
    uint16_t quality = 0;  // 192 good; 0 failed or never read
    // The failure of the last read: 0 and "" when it gave a value.
    int32_t errorCode = 0;
    std::string errorMessage;
    // Counts the changes of value, quality or error (not of time alone).
    uint64_t version = 0;
};

// The JSON of a value: null, a number, or a string.
nlohmann::json ValueJson(const Value& value);

// "YYYY-MM-DDTHH:MM:SS.mmm" of a FILETIME of local time; "" for 0.
std::string FileTimeText(uint64_t fileTime);

// The tag as /api/tags and MQTT show it: {"name", "address", "value",
// "quality", "time", "error": {"code", "message"} or null}.
nlohmann::json TagJson(const TagInfo& info, const TagValue& value);

// The tag's configuration as --plan and /api/status show it: name, address,
// header, item, type, writable, station, scan (by name) and each face's keys.
nlohmann::json TagInfoJson(const TagInfo& info, const std::string& scanName);

}  // namespace mira::serve
