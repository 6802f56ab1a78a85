// What the driver's and Portkit's codes mean to a host, and a failed
// exchange explained by what the line showed during it.
#pragma once

#include <cstdint>
#include <string>

#include "host/line_watch.h"

namespace mira::host {

// A start the driver refused without naming a code: the request went nowhere.
inline constexpr int32_t kDriverRefused = -1;
// An open while this process already holds the driver's one line.
inline constexpr int32_t kLineAlreadyOpen = -2;
// A request a host of ours refuses before the line: a command line, a value
// that does not fit its item, a group write of what only an item write
// changes. The message says what.
inline constexpr int32_t kHostRefused = -3;

// What a driver or Portkit code means.
std::string DescribeCode(int32_t code);

// What kind of failure a code is, for a program to answer in its own terms
// (an exit status, an HTTP status).
enum class Cause {
    None,     // no failure
    Refused,  // the driver or the host refused the request as given; nothing was sent
    NoReply,  // the controller did not answer within the reply time-out
    Line,     // any other failure of the line: the device, the connection, DLE NAKs
    Status,   // the controller answered with an error status (STS or EXT STS)
};
Cause CauseOf(int32_t code);

// The meanings of a controller's STS and EXT STS bytes, from the public PCCC
// status tables; null for a value the tables leave unused.
const char* StsMeaning(uint8_t sts);
const char* ExtStsMeaning(uint8_t extSts);

// A failed exchange explained by what the line showed: the controller's
// status where a reply carried one, a likely frame-check mismatch where the
// controller answered with DLE NAK, silence where a string read heard
// nothing. The cause follows what happened, for word and string reads alike.
struct Failure {
    std::string message;
    Cause cause = Cause::None;
};
Failure Explain(int32_t code, const LineObservation& seen);

// The last exchange's failure: Explain(code, Observed()).
Failure ExplainLast(int32_t code);

}  // namespace mira::host
