// The line's options by the names the command line gives them (--baud,
// --data-bits, --timeout ...) and `mira serve`'s [line] table with _ for -:
// one reading of each, so that a value means and is refused alike in both.
#pragma once

#include <cstdint>
#include <string>

#include "host/line.h"

namespace mira::host {

// A decimal number within [min, max].
bool ParseUnsigned(const std::string& text, uint32_t min, uint32_t max, uint32_t* value);

// A duration: a number with its unit ms, s or min, decimals too ("500ms",
// "2s", "1.5s"), of whole milliseconds up to one day. A bare number is
// refused: whether 2 meant 2 s or 2 ms cannot be told.
bool ParseDuration(const std::string& text, uint32_t* ms);

// What a refused duration option takes (what), or, for a bare number, that
// it needs its unit.
std::string DurationRefusal(const std::string& value, const std::string& what);

// Whether name (long, without dashes) is one of the line's options: port,
// baud, parity, data-bits, stop-bits, model, mode, station, dst, timeout,
// ack-timeout, nak-retries, enq-retries.
bool IsLineOption(const std::string& name);

// Checks and stores the value of one line option; false with what the option
// takes in *error ("a baud rate"). A model text is only checked for its
// length here: whether the driver knows it is KnownModel (host/checks.h).
bool ApplyLineOption(const std::string& name, const std::string& value, LineSettings* out, std::string* error);

}  // namespace mira::host
