// Texts of a MIRA host: the driver's 16-bit texts to and from UTF-8, JSON
// strings, the driver's local time stamps, and values for people or JSON.
#pragma once

#include <cstdint>
#include <string>

#include "mira/mira.h"

namespace mira::host {

// UTF-8 to 16-bit code units (invalid bytes become U+FFFD).
std::u16string ToWide(const std::string& text);

// 16-bit code units, read no further than limit, to UTF-8.
std::string ToUtf8(const char16_t* text, size_t limit);

// A JSON string literal with its quotes.
std::string JsonString(const std::string& text);

// "YYYY-MM-DDTHH:MM:SS.mmm" of a local FILETIME.
std::string FormatFileTime(MiraFileTime time);

// The FILETIME of a text FormatFileTime wrote; false for any other text.
bool ParseFileTime(const std::string& text, MiraFileTime* time);

// The host's clock now as the driver stamps its values: a local FILETIME.
MiraFileTime LocalNow();

// FormatFileTime(LocalNow()).
std::string NowText();

// A value as the driver hands it over, its text already UTF-8.
struct Value {
    uint32_t type = 0;  // MIRA_VALUE_INTEGER, _DOUBLE or _STRING; 0: none
    int32_t integer = 0;
    double real = 0;
    std::string text;
};

// The value of a driver record of that type; a string stops at the record's
// end when it has no terminator.
Value ValueOf(uint32_t type, const MiraValue& value);

// A value for people (text as is) or as a JSON value ("null" for none and
// for a float that is not finite).
std::string FormatValue(const Value& value, bool json);

}  // namespace mira::host
