#include "host/text.h"

#include <chrono>
#include <cmath>
#include <cstdio>
#include <ctime>

namespace mira::host {
namespace {

constexpr uint64_t kEpochDelta = 11644473600ull;  // seconds 1601 .. 1970

// Days from 1970-01-01 to a date of the proleptic Gregorian calendar.
int64_t DaysFromCivil(int64_t year, unsigned month, unsigned day) {
    year -= month <= 2 ? 1 : 0;
    const int64_t era = (year >= 0 ? year : year - 399) / 400;
    const auto yearOfEra = static_cast<unsigned>(year - era * 400);
    const unsigned dayOfYear = (153 * (month > 2 ? month - 3 : month + 9) + 2) / 5 + day - 1;
    const unsigned dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
    return era * 146097 + static_cast<int64_t>(dayOfEra) - 719468;
}

}  // namespace

std::u16string ToWide(const std::string& text) {
    std::u16string out;
    for (size_t i = 0; i < text.size();) {
        const auto b = static_cast<unsigned char>(text[i]);
        uint32_t c = 0xFFFD;
        size_t used = 1;
        auto cont = [&](size_t k) {
            return i + k < text.size() && (static_cast<unsigned char>(text[i + k]) & 0xC0) == 0x80;
        };
        if (b < 0x80) {
            c = b;
        } else if ((b & 0xE0) == 0xC0 && cont(1)) {
            c = ((b & 0x1Fu) << 6) | (static_cast<unsigned char>(text[i + 1]) & 0x3Fu);
            used = 2;
        } else if ((b & 0xF0) == 0xE0 && cont(1) && cont(2)) {
            c = ((b & 0x0Fu) << 12) | ((static_cast<unsigned char>(text[i + 1]) & 0x3Fu) << 6) |
                (static_cast<unsigned char>(text[i + 2]) & 0x3Fu);
            used = 3;
        } else if ((b & 0xF8) == 0xF0 && cont(1) && cont(2) && cont(3)) {
            used = 4;  // outside the 16-bit range the driver's texts use
        }
        out.push_back(static_cast<char16_t>(c));
        i += used;
    }
    return out;
}

std::string ToUtf8(const char16_t* text, size_t limit) {
    std::string out;
    for (size_t i = 0; i < limit && text[i] != 0; ++i) {
        const uint32_t c = text[i];
        if (c < 0x80) {
            out.push_back(static_cast<char>(c));
        } else if (c < 0x800) {
            out.push_back(static_cast<char>(0xC0 | (c >> 6)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        } else {
            out.push_back(static_cast<char>(0xE0 | (c >> 12)));
            out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        }
    }
    return out;
}

std::string JsonString(const std::string& text) {
    std::string out = "\"";
    for (char ch : text) {
        const auto c = static_cast<unsigned char>(ch);
        switch (c) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\t': out += "\\t"; break;
            default:
                if (c < 0x20) {
                    char buf[8];
                    std::snprintf(buf, sizeof buf, "\\u%04x", c);
                    out += buf;
                } else {
                    out.push_back(ch);
                }
        }
    }
    return out + "\"";
}

std::string FormatFileTime(MiraFileTime time) {
    const uint64_t ticks = (static_cast<uint64_t>(time.highDateTime) << 32) | time.lowDateTime;
    const uint64_t seconds = ticks / 10000000u;
    const auto ms = static_cast<unsigned>((ticks / 10000u) % 1000u);
    if (seconds < kEpochDelta) return "1970-01-01T00:00:00.000";
    const auto unixSeconds = static_cast<time_t>(seconds - kEpochDelta);
    tm parts{};
    gmtime_r(&unixSeconds, &parts);  // the FILETIME holds local time already
    char buf[96];
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02dT%02d:%02d:%02d.%03u", parts.tm_year + 1900, parts.tm_mon + 1,
                  parts.tm_mday, parts.tm_hour, parts.tm_min, parts.tm_sec, ms);
    return buf;
}

bool ParseFileTime(const std::string& text, MiraFileTime* time) {
    int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0, ms = 0, used = 0;
    if (text.size() != 23 ||
        std::sscanf(text.c_str(), "%4d-%2d-%2dT%2d:%2d:%2d.%3d%n", &year, &month, &day, &hour, &minute, &second, &ms,
                    &used) != 7 ||
        used != 23 || year < 1970 || month < 1 || month > 12 || day < 1 || day > 31 || hour > 23 || minute > 59 ||
        second > 60 || ms < 0)
        return false;
    const int64_t days = DaysFromCivil(year, static_cast<unsigned>(month), static_cast<unsigned>(day));
    const int64_t seconds = days * 86400 + hour * 3600 + minute * 60 + second;
    const uint64_t ticks =
        (static_cast<uint64_t>(seconds) + kEpochDelta) * 10000000u + static_cast<uint64_t>(ms) * 10000u;
    *time = {static_cast<uint32_t>(ticks), static_cast<uint32_t>(ticks >> 32)};
    return true;
}

MiraFileTime LocalNow() {
    const auto since = std::chrono::system_clock::now().time_since_epoch();
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(since).count();
    const auto seconds = static_cast<time_t>(ms / 1000);
    tm local{};
    localtime_r(&seconds, &local);
    // The local calendar time counted as if it were UTC, as a FILETIME of
    // local time is.
    const int64_t days = DaysFromCivil(local.tm_year + 1900, static_cast<unsigned>(local.tm_mon + 1),
                                       static_cast<unsigned>(local.tm_mday));
    const int64_t localSeconds = days * 86400 + local.tm_hour * 3600 + local.tm_min * 60 + local.tm_sec;
    const uint64_t ticks = (static_cast<uint64_t>(localSeconds) + kEpochDelta) * 10000000u +
                           static_cast<uint64_t>(ms % 1000) * 10000u;
    return {static_cast<uint32_t>(ticks), static_cast<uint32_t>(ticks >> 32)};
}

std::string NowText() { return FormatFileTime(LocalNow()); }

Value ValueOf(uint32_t type, const MiraValue& value) {
    Value out;
    out.type = type;
    if (type == MIRA_VALUE_INTEGER) out.integer = value.integer;
    if (type == MIRA_VALUE_DOUBLE) out.real = value.real;
    if (type == MIRA_VALUE_STRING) out.text = ToUtf8(value.text, sizeof value.text / sizeof value.text[0]);
    return out;
}

std::string FormatValue(const Value& value, bool json) {
    char buf[64];
    switch (value.type) {
        case MIRA_VALUE_INTEGER:
            return std::to_string(value.integer);
        case MIRA_VALUE_DOUBLE:
            if (!std::isfinite(value.real)) return json ? "null" : std::to_string(value.real);
            std::snprintf(buf, sizeof buf, "%.9g", value.real);
            return buf;
        case MIRA_VALUE_STRING:
            return json ? JsonString(value.text) : value.text;
        default:
            return json ? "null" : "?";
    }
}

}  // namespace mira::host
