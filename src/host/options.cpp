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
    size_t whole = 0;
    while (whole < text.size() && text[whole] >= '0' && text[whole] <= '9') ++whole;
    size_t end = whole;
    if (end < text.size() && text[end] == '.')
        while (++end < text.size() && text[end] >= '0' && text[end] <= '9') {
        }
    const std::string unit = text.substr(end);
    uint64_t scale = 0;
    if (unit == "ms") scale = 1;
    else if (unit == "s") scale = 1000;
    else if (unit == "min") scale = 60000;
    else return false;  // no unit: 2 could mean 2 s as well as 2 ms
    // Digits on both sides of a point, at most three after it: 1.5s, 0.25s.
    const std::string fraction = end > whole ? text.substr(whole + 1, end - whole - 1) : "";
    if (whole == 0 || (end > whole && (fraction.empty() || fraction.size() > 3))) return false;
    uint32_t value = 0, part = 0;
    // At most one day, so that the product cannot wrap.
    if (!ParseUnsigned(text.substr(0, whole), 0, 86400000u, &value) ||
        (!fraction.empty() && !ParseUnsigned(fraction, 0, 999, &part)))
        return false;
    uint64_t denominator = 1;
    for (size_t i = 0; i < fraction.size(); ++i) denominator *= 10;
    const uint64_t scaled = (uint64_t{value} * denominator + part) * scale;
    // A whole number of milliseconds: 1.5ms names none.
    if (scaled % denominator != 0 || scaled / denominator > 86400000u) return false;
    *ms = static_cast<uint32_t>(scaled / denominator);
    return true;
}

std::string DurationRefusal(const std::string& value, const std::string& what) {
    const bool bare = !value.empty() && value.find_first_not_of("0123456789.") == std::string::npos;
    if (!bare) return what;
    std::string out = "a duration needs its unit, such as ";
    out.append(value).append("s or ").append(value).append("ms");
    return out;
}

bool IsLineOption(const std::string& name) {
    for (const char* option : kLineOptions)
        if (name == option) return true;
    return false;
}

bool ApplyLineOption(const std::string& name, const std::string& value, LineSettings* o, std::string* error) {
    auto bad = [&](const char* what) {
        *error = name == "timeout" || name == "ack-timeout" ? DurationRefusal(value, what) : what;
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
            return bad("a time-out of 1 ms to 10 min, such as 500ms, 2s or 1.5s");
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
