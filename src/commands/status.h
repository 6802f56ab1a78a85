#pragma once

#include <cstdint>

namespace mira {

// Turns a reply's STS (and, three bytes on, its EXT STS) into the host's
// error code, writing the trace line for reported statuses.
[[nodiscard]] int32_t CheckReplyStatus(const uint8_t* sts);

}  // namespace mira
