#pragma once

#include <cstdint>

namespace mira {

// Turns a reply's STS (and, three bytes on, its EXT STS) into the host's
// error code, writing the trace line for reported statuses.
[[nodiscard]] int32_t CheckReplyStatus(const uint8_t* sts);

// The same for a whole message of `length` bytes (DST, SRC, CMD, STS, TNS,
// ...), reading nothing past its end. A message too short to carry its STS,
// or an STS of 0xF0 without the EXT STS it points to, is a failure the
// controller gave no reason for.
[[nodiscard]] int32_t CheckMessageStatus(const uint8_t* message, int32_t length);

// A reply with status `sts` that carries fewer data bytes than the request
// asked for (a bridge that cut it short): writes the trace line "Reply
// carries N of the M data bytes asked for, STS 0x%X", which names what
// happened, and returns the code a failed read has (256).
[[nodiscard]] int32_t ShortReply(int32_t carried, int32_t asked, uint8_t sts);

}  // namespace mira
