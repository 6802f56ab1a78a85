#include "host/options.h"

#include <cctype>
#include <iterator>

namespace mira::host {
namespace {

constexpr const char* kLineOptions[] = {"port",    "baud", "parity",  "data-bits",   "stop-bits",   "model",      "mode",
                                        "station", "dst",  "timeout", "ack-timeout", "nak-retries", "enq-retries"};

std::string Lower(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

}  // namespace

bool ParseUnsigned(const std::string& text, uint32_t min, uint32_t max, uint32_t* value) {
    if (text.empty() || text.size() > 10) return false;
    uint64_t v = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        v = v * 10 + static_cast<uint64_t>(c - '0');
    }
    if (v < min || v > max) return false;
    *value = static_cast<uint32_t>(v);
    return true;
}

bool ParseDuration(const std::string& text, uint32_t* ms) {
    size_t digits = 0;
    while (digits < text.size() && text[digits] >= '0' && text[digits] <= '9') ++digits;
    const std::string unit = text.substr(digits);
    uint32_t scale = 0;
    if (unit.empty() || unit == "ms") scale = 1;
    else if (unit == "s") scale = 1000;
    else if (unit == "min") scale = 60000;
    else return false;
    uint32_t value = 0;
    // At most one day, so that the product cannot wrap.
    if (!ParseUnsigned(text.substr(0, digits), 0, 86400000u / scale, &value)) return false;
    *ms = value * scale;
    return true;
}

bool IsLineOption(const std::string& name) {
    for (const char* option : kLineOptions)
        if (name == option) return true;
    return false;
}

bool ApplyLineOption(const std::string& name, const std::string& value, LineSettings* o, std::string* error) {
    auto bad = [&](const char* what) {
        *error = what;
        return false;
    };
    if (name == "port") {
        if (value.empty() || value.size() > 127) return bad("a port name of 1 to 127 characters");
        o->port = value;
        // The simulator's names take any case, as --model does.
        if (Lower(value.substr(0, 4)) == "sim:" || Lower(value) == "sim") o->port = Lower(value);
    } else if (name == "baud") {
        if (!ParseUnsigned(value, 1, 4000000, &o->baud)) return bad("a baud rate");
    } else if (name == "parity") {
        if (value == "none" || value == "N" || value == "n") o->parity = 0;
        else if (value == "odd" || value == "O" || value == "o") o->parity = 1;
        else if (value == "even" || value == "E" || value == "e") o->parity = 2;
        else return bad("none, odd or even");
    } else if (name == "data-bits") {
        if (!ParseUnsigned(value, 7, 8, &o->dataBits)) return bad("7 or 8");
    } else if (name == "stop-bits") {
        if (!ParseUnsigned(value, 1, 2, &o->stopBits)) return bad("1 or 2");
    } else if (name == "model") {
        if (value.empty() || value.size() > 80) return bad("a model text of 1 to 80 characters");
        o->model = value;
    } else if (name == "mode") {
        if (Lower(value) == "standard") o->mode = "Standard";
        else if (Lower(value) == "nonstandard") o->mode = "Nonstandard";
        else return bad("Standard or Nonstandard (any case)");
    } else if (name == "station") {
        if (!ParseUnsigned(value, 0, 254, &o->station)) return bad("a station number 0 to 254");
    } else if (name == "dst") {
        if (!ParseUnsigned(value, 0, 255, &o->dst)) return bad("a station number 0 to 255");
    } else if (name == "timeout") {
        if (!ParseDuration(value, &o->timeoutMs) || o->timeoutMs == 0 || o->timeoutMs > 600000)
            return bad("a time-out of 1 ms to 10 min, such as 500ms or 2s");
    } else if (name == "ack-timeout") {
        if (!ParseDuration(value, &o->ackTimeoutMs) || o->ackTimeoutMs == 0 || o->ackTimeoutMs > 60000)
            return bad("a time-out of 1 ms to 60 s, such as 250ms");
    } else if (name == "nak-retries" || name == "enq-retries") {
        if (!ParseUnsigned(value, 0, 10, name[0] == 'n' ? &o->nakRetries : &o->enqRetries))
            return bad("a count of 0 to 10");
    } else {
        return bad("an option of the line");
    }
    return true;
}

}  // namespace mira::host
