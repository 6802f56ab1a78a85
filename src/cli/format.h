// Texts of the `mira` host: wide-text conversion, values, time stamps, JSON
// and the meaning of the driver's codes.
#pragma once

#include <cstdint>
#include <string>

#include "cli/line_watch.h"
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

// The meanings of a controller's STS and EXT STS bytes, from the public PCCC
// status tables; null for a value the tables leave unused.
const char* StsMeaning(uint8_t sts);
const char* ExtStsMeaning(uint8_t extSts);

// A failed exchange explained by what the line showed: the controller's
// status where a reply carried one, a likely frame-check mismatch where the
// controller answered with DLE NAK, silence where a string read heard
// nothing. The exit status follows the cause, for word and string reads alike.
struct Failure {
    std::string message;
    int exit = 0;
};
Failure Explain(int32_t code, const LineObservation& seen);

}  // namespace mira::cli
