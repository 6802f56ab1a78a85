// The group write request: one contiguous run of words over all items.
#pragma once

#include <cstdint>

#include "mira/mira.h"

namespace mira {

// Builds the write request for CurrentHeader and ItemTable rows
// 0..count-1 with one host value per row, into message (kMaxRequestBytes).
// Stores startElement and elementCount in CurrentHeader and advances
// TnsCounter only when the request is built. Returns 0, or -40, 32001, 257
// or -39 with nothing built. String values have their "\0" escapes
// rewritten in place.
[[nodiscard]] int32_t BuildGroupWrite(HostValueCore* values, int32_t count, uint8_t* message,
                                      int32_t* length);

// UDrvWriteGroupStart on an open driver: parses the texts into CurrentHeader
// and ItemTable, builds the request and sends it. 1 when it went out, else
// 0 with *error set.
[[nodiscard]] int32_t StartGroupWrite(const char16_t* stationRef, const char16_t* headerText,
                                      const char16_t* const* itemTexts, HostValueCore* values, int32_t itemCount,
                                      int32_t* error);

}  // namespace mira
