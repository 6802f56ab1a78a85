// Texts of the `mira` host: wide-text conversion, values, time stamps, JSON
// and the meaning of the driver's codes.
#pragma once

#include <cstdint>
#include <string>

#include "mira/mira.h"

namespace mira::cli {

// UTF-8 to 16-bit code units (invalid bytes become U+FFFD).
std::u16string ToWide(const std::string& text);

// 16-bit code units, read no further than limit, to UTF-8.
std::string ToUtf8(const char16_t* text, size_t limit);

// A JSON string literal with its quotes.
std::string JsonString(const std::string& text);

// "YYYY-MM-DDTHH:MM:SS.mmm" of a local FILETIME.
std::string FormatFileTime(MiraFileTime time);

// A value of a HostValue for people (text as is) or as a JSON value.
std::string FormatValue(uint32_t valueType, const MiraValue& value, bool json);

// A start the driver refused without naming a code: the request went nowhere.
inline constexpr int32_t kDriverRefused = -1;

// What a driver or Portkit code means.
std::string DescribeCode(int32_t code);

// The exit status that a failed exchange with this code earns (args.h).
int ExitCodeFor(int32_t code);

}  // namespace mira::cli
